// A port's trace: its bytes both ways and its events, as lines stable for
// scripts, handed to the outputs attached to the port (a capped file, live
// monitors). While nothing is attached, the byte path pays one relaxed load.
//
//   2026-12-07T18:00:00.123456Z COM5 serial>net 5 48 65 6c 6c 6f |Hello|
//   2026-12-07T18:00:00.200000Z COM5 event disconnect: peer closed the connection
//
// A piece of more than 16 bytes takes several lines of at most 16, each with
// its own count, so every byte appears once, in order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/unique_fd.h"

enum class TraceDirection { kSerialToNet, kNetToSerial };

// Wall-clock time in microseconds since 1970: exact, and coarse (a few
// milliseconds, no system call) for marks taken while bytes flow.
int64_t WallMicros();
int64_t CoarseWallMicros();
// "2026-12-07T18:00:00.123456Z".
std::string IsoUtc(int64_t micros);

// The lines of one piece of data, and of one event, appended to *out.
void FormatTraceData(std::string* out, int64_t micros, const char* name, TraceDirection direction,
                     const unsigned char* data, size_t count);
void FormatTraceEvent(std::string* out, int64_t micros, const char* name, const std::string& text);
// Appends lines to *pending unless that would pass max; then counts them in
// *dropped instead. False when they were dropped. A reader that lags loses
// whole lines, never the bridge's time.
bool AppendBounded(std::string* pending, uint64_t* dropped, const std::string& lines, size_t max);

// Takes whole lines. Called on a bridge thread with the port's trace held:
// it must only queue them, never wait.
class TraceOutput {
public:
    virtual ~TraceOutput() = default;
    virtual void Take(const std::string& lines) = 0;
};

// A trace file, written on a thread of its own so that a slow disk never
// holds a bridge. At its cap the file becomes FILE.1 (the one older file
// kept) and a new one begins. Lines that come faster than the disk takes
// them are dropped past a limit, with a line that says so.
class TraceFile final : public TraceOutput {
public:
    static constexpr uint64_t kDefaultCap = 16u << 20;

    // Appends to path, made for this user alone (mode 0600: a serial line
    // carries logins); nullptr with *error ("open PATH: reason") when it
    // cannot be opened.
    static std::unique_ptr<TraceFile> Open(const std::string& path, uint64_t cap, std::string* error);
    // Writes what is queued, then closes.
    ~TraceFile() override;
    void Take(const std::string& lines) override;
    const std::string& Path() const { return path_; }

private:
    TraceFile(std::string path, uint64_t cap, UniqueFd fd, uint64_t size);
    void Run();
    void Write(std::string text);
    bool WriteAll(const char* data, size_t n);
    void Rotate();

    const std::string path_;
    const uint64_t cap_;
    UniqueFd fd_;
    uint64_t size_;  // of the current file
    bool failed_ = false;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::string pending_;   // under mutex_
    uint64_t dropped_ = 0;  // lines, under mutex_
    bool stop_ = false;     // under mutex_
    std::thread writer_;
};

// The outputs attached to one port: at most one file, any number of
// monitors. Attach and detach from any thread; a detached output gets no
// more lines once the call returns.
class PortTrace {
public:
    bool On() const { return on_.load(std::memory_order_relaxed); }
    void Data(const char* name, TraceDirection direction, const unsigned char* data, size_t count);
    void Event(const char* name, const std::string& text);

    // Traces to the file at path from now on, in place of any other file;
    // false with *error when it cannot be opened (the old file goes on).
    bool StartFile(const std::string& path, uint64_t cap, std::string* error);
    // Ends the file output; its lines are written before this returns.
    void StopFile();
    bool HasFile() const;
    void AddMonitor(std::shared_ptr<TraceOutput> monitor);
    void RemoveMonitor(const TraceOutput* monitor);
    // Every output let go of: the port is gone, nothing of a later one may
    // reach its file or its monitors.
    void Clear();

private:
    void Deliver(const std::string& lines);
    std::shared_ptr<TraceOutput> SetFile(std::shared_ptr<TraceOutput> file);
    void UpdateOn();

    std::atomic<bool> on_{false};
    mutable std::mutex mutex_;
    std::shared_ptr<TraceOutput> file_;
    std::vector<std::shared_ptr<TraceOutput>> monitors_;
    std::string lines_;  // formatted under mutex_, kept to reuse its memory
};
