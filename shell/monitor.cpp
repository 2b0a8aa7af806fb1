#include "shell/monitor.h"

#include "engine/port_table.h"

std::shared_ptr<PortMonitor> PortMonitor::Attach(PortRecord* record)
{
    std::shared_ptr<PortMonitor> m(new PortMonitor(record));
    // A first line at once: the person (or script) knows the monitor stands.
    FormatTraceEvent(&m->pending_, WallMicros(), LogName(record), "monitor on");
    record->trace.AddMonitor(m);
    return m;
}

void PortMonitor::Take(const std::string& lines)
{
    std::lock_guard<std::mutex> hold(mutex_);
    AppendBounded(&pending_, &dropped_, lines, kPendingMax);
}

std::string PortMonitor::TakeText()
{
    std::lock_guard<std::mutex> hold(mutex_);
    std::string text;
    text.swap(pending_);
    if (dropped_ != 0) {
        FormatTraceEvent(&text, WallMicros(), LogName(record_),
                         "monitor: " + std::to_string(dropped_) + " lines dropped, this monitor lagged");
        dropped_ = 0;
    }
    return text;
}

void PortMonitor::Closed() { record_->trace.RemoveMonitor(this); }
