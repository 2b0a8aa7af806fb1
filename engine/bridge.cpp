#include "engine/bridge.h"


#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>
#include <system_error>
#include <vector>

#include "engine/custom_proto.h"
#include "engine/diagnostics.h"
#include "engine/loops.h"
#include "engine/port_table.h"
#include "engine/protocol.h"
#include "engine/rfc2217.h"
#include "engine/stop_event.h"

namespace {

constexpr int kStopWaitMs = 2000;
// Framed links and udp keep the 1024 bytes a frame or datagram holds; a raw
// TCP stream moves in larger pieces, which costs fewer wake-ups per byte.
constexpr uint32_t kQueueLimit = 1024;
constexpr uint32_t kStreamQueueLimit = 64 * 1024;

// Threads that StopBridge gave up waiting for. They end by themselves at
// their next wait; a restart of their record and the program's end wait for
// them first, so that a record never has two threads and a late "Stopped"
// never lands on top of a newer thread's state.
std::mutex g_forgottenMutex;
std::vector<std::shared_ptr<BridgeThreadHandle>> g_forgotten;

void Forget(std::shared_ptr<BridgeThreadHandle> handle)
{
    std::lock_guard<std::mutex> lock(g_forgottenMutex);
    g_forgotten.push_back(std::move(handle));
}

// Joins the forgotten threads of record, or all of them for nullptr.
void JoinForgotten(const PortRecord* record)
{
    std::vector<std::shared_ptr<BridgeThreadHandle>> mine;
    {
        std::lock_guard<std::mutex> lock(g_forgottenMutex);
        auto keep = std::stable_partition(g_forgotten.begin(), g_forgotten.end(),
                                          [record](const auto& h) {
                                              return record && h->Record() != record;
                                          });
        std::move(keep, g_forgotten.end(), std::back_inserter(mine));
        g_forgotten.erase(keep, g_forgotten.end());
    }
    for (auto& handle : mine)
        handle->Join();
}

std::unique_ptr<Protocol> CreateFraming(PortRecord& record)
{
    if (record.useCustom)
        return std::unique_ptr<Protocol>(new (std::nothrow) CustomProto(
            record.devName, record.keepAlive, record.idleTime, kQueueLimit, kQueueLimit));
    const uint32_t limit = record.mode == MODE_UDP ? kQueueLimit : kStreamQueueLimit;
    if (record.rfc2217 && record.mode == MODE_TCPCLIENT)
        return std::unique_ptr<Protocol>(new (std::nothrow) Rfc2217(
            record.line, LogName(&record), &record.lineConfirmed, limit, limit));
    return std::unique_ptr<Protocol>(new (std::nothrow) Protocol(limit, limit));
}

}  // namespace

std::shared_ptr<BridgeThreadHandle> BridgeThreadHandle::Start(PortRecord* record,
                                                              std::shared_ptr<StopEvent> stop)
{
    std::shared_ptr<BridgeThreadHandle> handle(new (std::nothrow) BridgeThreadHandle(record, stop));
    if (!handle) {
        errno = ENOMEM;
        return nullptr;
    }
    auto ending = handle->ending_;
    try {
        handle->thread_ = std::thread([record, stop, ending] {
            BridgeThread(record, *stop);
            std::lock_guard<std::mutex> lock(ending->mutex);
            ending->ended = true;
            ending->cv.notify_all();
        });
    } catch (const std::system_error& e) {
        errno = e.code().value();
        return nullptr;
    }
    return handle;
}

BridgeThreadHandle::~BridgeThreadHandle()
{
    if (thread_.joinable()) {
        stop_->Signal();
        thread_.join();
    }
}

bool BridgeThreadHandle::WaitFor(int ms)
{
    std::unique_lock<std::mutex> lock(ending_->mutex);
    return ending_->cv.wait_for(lock, std::chrono::milliseconds(ms),
                                [this] { return ending_->ended; });
}

void BridgeThreadHandle::Join()
{
    if (thread_.joinable())
        thread_.join();
}

void BridgeThread(PortRecord* record, const StopEvent& stop)
{
    std::unique_ptr<Protocol> framing = CreateFraming(*record);
    if (!framing)
        return;
    switch (record->mode) {
    case MODE_TCPCLIENT:
        ClientLoop(record, stop, *framing);
        break;
    case MODE_TCPSERVER:
        ServerLoop(record, stop, *framing);
        break;
    case MODE_UDP:
        UdpLoop(record, stop, *framing);
        break;
    default:
        break;  // an unknown mode runs nothing and posts nothing
    }
    framing->Reset();
}

bool StartBridge(PortRecord* record)
{
    if (!record || record->number < 0)
        return false;
    if (record->thread && !StopBridge(record))
        return false;
    JoinForgotten(record);
    ForgetFailure(record);
    if (!record->stopEvent) {
        record->stopEvent = StopEvent::Create();
        if (!record->stopEvent) {
            LogLastError("%s: eventfd()", LogName(record));
            return false;
        }
    }
    record->thread = BridgeThreadHandle::Start(record, record->stopEvent);
    if (!record->thread) {
        LogLastError("%s: pthread_create()", LogName(record));
        record->stopEvent.reset();
        return false;
    }
    return true;
}

bool StopBridge(PortRecord* record)
{
    if (!record || record->number < 0 || !record->stopEvent)
        return false;
    if (record->thread) {
        record->stopEvent->Signal();
        if (record->thread->WaitFor(kStopWaitMs))
            record->thread->Join();
        else
            Forget(std::move(record->thread));
        record->thread.reset();
    }
    record->stopEvent.reset();
    return true;
}

void JoinAllBridges()
{
    // Signal every bridge first so that they all end together.
    for (PortRecord& record : PortTable) {
        if (record.thread && record.stopEvent)
            record.stopEvent->Signal();
    }
    for (PortRecord& record : PortTable) {
        if (record.thread) {
            record.thread->Join();
            record.thread.reset();
            record.stopEvent.reset();
        }
    }
    JoinForgotten(nullptr);
}

bool BridgeRunning(const PortRecord* record)
{
    return record && record->thread && !record->thread->WaitFor(0);
}
