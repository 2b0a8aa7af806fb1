// Bridge threads: starting and stopping the bridge of a port record, the
// thread handle, and the thread's body.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

struct PortRecord;
class StopEvent;

// Bridge control, user-interface thread only.
bool StartBridge(PortRecord* record);
bool StopBridge(PortRecord* record);
// Whether the record has a bridge thread that has not ended.
bool BridgeRunning(const PortRecord* record);
// Waits for every bridge thread, including ones StopBridge gave up waiting
// for; used at the program's end.
void JoinAllBridges();

// A running bridge thread. The thread keeps its own reference to the stop
// event, so a thread that StopBridge gave up waiting for can still see it.
class BridgeThreadHandle {
public:
    // Starts BridgeThread on record; nullptr when no thread could be made.
    static std::shared_ptr<BridgeThreadHandle> Start(PortRecord* record,
                                                     std::shared_ptr<StopEvent> stop);
    // Signals the thread and waits for it: a thread is never left running
    // without an owner.
    ~BridgeThreadHandle();
    BridgeThreadHandle(const BridgeThreadHandle&) = delete;
    BridgeThreadHandle& operator=(const BridgeThreadHandle&) = delete;

    // True once the thread has ended, waiting at most ms milliseconds.
    bool WaitFor(int ms);
    void Join();
    const PortRecord* Record() const { return record_; }

private:
    struct Ending {
        std::mutex mutex;
        std::condition_variable cv;
        bool ended = false;
    };

    BridgeThreadHandle(PortRecord* record, std::shared_ptr<StopEvent> stop)
        : record_(record), stop_(std::move(stop)), ending_(std::make_shared<Ending>())
    {
    }

    PortRecord* record_;
    std::shared_ptr<StopEvent> stop_;
    std::shared_ptr<Ending> ending_;
    std::thread thread_;
};

// The body of a bridge thread: fixed serial settings, the framing object,
// and the loop of the record's mode, until stop is signalled.
void BridgeThread(PortRecord* record, const StopEvent& stop);
