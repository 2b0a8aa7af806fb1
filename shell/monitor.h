// A live monitor of one port (--monitor): the port's trace lines, kept for
// the control socket's client that follows them. A client that lags loses
// lines, never holds the bridge, and is told how many.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "engine/trace.h"
#include "shell/control_socket.h"

struct PortRecord;

class PortMonitor final : public TraceOutput, public FollowSource {
public:
    // A monitor attached to the record's trace until Closed.
    static std::shared_ptr<PortMonitor> Attach(PortRecord* record);

    void Take(const std::string& lines) override;
    std::string TakeText() override;
    void Closed() override;

private:
    explicit PortMonitor(PortRecord* record) : record_(record) {}

    static constexpr size_t kPendingMax = 1u << 20;

    PortRecord* record_;
    std::mutex mutex_;
    std::string pending_;   // under mutex_
    uint64_t dropped_ = 0;  // lines, under mutex_
};
