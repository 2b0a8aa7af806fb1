// Bridge threads: the stop event, the thread handle, and the thread's body.
// StartBridge, StopBridge and JoinAllBridges are declared in port_table.h.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/port_table.h"

// Asks a bridge thread to end. Stays readable once signalled and is never
// reset, so every later wait of that thread returns at once.
class StopEvent {
public:
    // nullptr when no event descriptor could be had.
    static std::shared_ptr<StopEvent> Create();
    ~StopEvent();
    StopEvent(const StopEvent&) = delete;
    StopEvent& operator=(const StopEvent&) = delete;

    void Signal();
    bool IsSignalled() const;
    // Waits up to ms milliseconds (-1: no limit); true when signalled.
    bool Wait(int ms) const;
    // For poll(): readable once signalled.
    int Fd() const { return fd_; }

private:
    explicit StopEvent(int fd) : fd_(fd) {}
    int fd_;
};

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
