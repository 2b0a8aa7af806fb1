#include "engine/trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "engine/diagnostics.h"

namespace {

constexpr size_t kBytesPerLine = 16;
// The writer wakes this often, or sooner once this much waits.
constexpr auto kWritePause = std::chrono::milliseconds(200);
constexpr size_t kWriteSoon = 64 * 1024;
// More than this waiting for the disk: new lines are dropped.
constexpr size_t kPendingMax = 8u << 20;

int64_t Micros(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

void AppendLine(std::string* out, int64_t micros, const char* name, const char* kind)
{
    out->append(IsoUtc(micros)).append(" ").append(name).append(" ").append(kind);
}

std::string ErrorText(int err)
{
    char buf[256];
    return strerror_r(err, buf, sizeof buf);
}

}  // namespace

int64_t WallMicros() { return Micros(CLOCK_REALTIME); }
int64_t CoarseWallMicros() { return Micros(CLOCK_REALTIME_COARSE); }

std::string IsoUtc(int64_t micros)
{
    const time_t seconds = static_cast<time_t>(micros / 1000000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char buf[64];
    snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", utc.tm_year + 1900, utc.tm_mon + 1,
             utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(micros % 1000000));
    return buf;
}

void FormatTraceData(std::string* out, int64_t micros, const char* name, TraceDirection direction,
                     const unsigned char* data, size_t count)
{
    const char* kind = direction == TraceDirection::kSerialToNet ? "serial>net" : "net>serial";
    for (size_t at = 0; at < count; at += kBytesPerLine) {
        const size_t n = std::min(kBytesPerLine, count - at);
        AppendLine(out, micros, name, kind);
        char hex[8];
        snprintf(hex, sizeof hex, " %zu", n);
        out->append(hex);
        for (size_t i = 0; i < n; ++i) {
            snprintf(hex, sizeof hex, " %02x", data[at + i]);
            out->append(hex);
        }
        out->append(" |");
        for (size_t i = 0; i < n; ++i) {
            const unsigned char c = data[at + i];
            out->push_back(c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '.');
        }
        out->append("|\n");
    }
}

void FormatTraceEvent(std::string* out, int64_t micros, const char* name, const std::string& text)
{
    AppendLine(out, micros, name, "event ");
    // One event, one line, whatever a system text holds.
    for (char c : text)
        out->push_back(c == '\n' || c == '\r' ? ' ' : c);
    out->push_back('\n');
}

// ---- the file

std::unique_ptr<TraceFile> TraceFile::Open(const std::string& path, uint64_t cap, std::string* error)
{
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    struct stat st {};
    if (!fd.IsValid() || fstat(fd.Get(), &st) != 0) {
        *error = "open " + path + ": " + ErrorText(errno);
        return nullptr;
    }
    return std::unique_ptr<TraceFile>(
        new TraceFile(path, std::max<uint64_t>(cap, 1), std::move(fd), static_cast<uint64_t>(st.st_size)));
}

TraceFile::TraceFile(std::string path, uint64_t cap, UniqueFd fd, uint64_t size)
    : path_(std::move(path)), cap_(cap), fd_(std::move(fd)), size_(size), writer_([this] { Run(); })
{
}

TraceFile::~TraceFile()
{
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    writer_.join();
}

bool AppendBounded(std::string* pending, uint64_t* dropped, const std::string& lines, size_t max)
{
    if (pending->size() + lines.size() > max) {
        *dropped += static_cast<uint64_t>(std::count(lines.begin(), lines.end(), '\n'));
        return false;
    }
    *pending += lines;
    return true;
}

void TraceFile::Take(const std::string& lines)
{
    std::lock_guard<std::mutex> hold(mutex_);
    if (AppendBounded(&pending_, &dropped_, lines, kPendingMax) && pending_.size() >= kWriteSoon)
        wake_.notify_one();
}

void TraceFile::Run()
{
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
        wake_.wait_for(hold, kWritePause, [this] { return stop_ || pending_.size() >= kWriteSoon; });
        std::string text;
        text.swap(pending_);
        if (dropped_ != 0) {
            FormatTraceEvent(&text, WallMicros(), "-",
                             "trace: " + std::to_string(dropped_) + " lines dropped, the disk was too slow");
            dropped_ = 0;
        }
        const bool last = stop_;
        hold.unlock();
        Write(std::move(text));
        if (last)
            return;
        hold.lock();
    }
}

// Whole lines to the file; the file rotated before a line that would take
// it past the cap.
void TraceFile::Write(std::string text)
{
    size_t at = 0;
    while (at < text.size() && !failed_) {
        const uint64_t room = size_ < cap_ ? cap_ - size_ : 0;
        size_t end = text.size();
        if (end - at > room) {
            const size_t cut = room ? text.rfind('\n', at + static_cast<size_t>(room) - 1) : std::string::npos;
            if (cut == std::string::npos || cut < at) {
                if (size_ != 0) {
                    Rotate();
                    continue;
                }
                end = text.find('\n', at) + 1;  // one line longer than the cap goes alone
            } else {
                end = cut + 1;
            }
        }
        if (!WriteAll(text.data() + at, end - at))
            return;
        at = end;
    }
}

bool TraceFile::WriteAll(const char* data, size_t n)
{
    while (n != 0) {
        const ssize_t w = ::write(fd_.Get(), data, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            LogLastError("trace %s: write()", path_.c_str());
            failed_ = true;
            return false;
        }
        data += w;
        n -= static_cast<size_t>(w);
        size_ += static_cast<uint64_t>(w);
    }
    return true;
}

void TraceFile::Rotate()
{
    const std::string older = path_ + ".1";
    UniqueFd fresh;
    if (rename(path_.c_str(), older.c_str()) == 0)
        fresh.Reset(open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600));
    if (!fresh.IsValid()) {
        LogLastError("trace %s: rotation to %s", path_.c_str(), older.c_str());
        failed_ = true;
        return;
    }
    fd_ = std::move(fresh);
    size_ = 0;
}

// ---- the port's outputs

void PortTrace::Data(const char* name, TraceDirection direction, const unsigned char* data, size_t count)
{
    std::lock_guard<std::mutex> hold(mutex_);
    lines_.clear();
    FormatTraceData(&lines_, WallMicros(), name, direction, data, count);
    Deliver(lines_);
}

void PortTrace::Event(const char* name, const std::string& text)
{
    std::lock_guard<std::mutex> hold(mutex_);
    lines_.clear();
    FormatTraceEvent(&lines_, WallMicros(), name, text);
    Deliver(lines_);
}

void PortTrace::Deliver(const std::string& lines)
{
    if (file_)
        file_->Take(lines);
    for (const auto& m : monitors_)
        m->Take(lines);
}

std::shared_ptr<TraceOutput> PortTrace::SetFile(std::shared_ptr<TraceOutput> file)
{
    std::lock_guard<std::mutex> hold(mutex_);
    file_.swap(file);
    UpdateOn();
    return file;
}

bool PortTrace::StartFile(const std::string& path, uint64_t cap, std::string* error)
{
    std::shared_ptr<TraceOutput> file = TraceFile::Open(path, cap, error);
    if (!file)
        return false;
    SetFile(std::move(file));  // the old one is written and closed here, outside the lock
    return true;
}

void PortTrace::StopFile() { SetFile(nullptr); }

bool PortTrace::HasFile() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return file_ != nullptr;
}

void PortTrace::AddMonitor(std::shared_ptr<TraceOutput> monitor)
{
    std::lock_guard<std::mutex> hold(mutex_);
    monitors_.push_back(std::move(monitor));
    UpdateOn();
}

void PortTrace::RemoveMonitor(const TraceOutput* monitor)
{
    std::shared_ptr<TraceOutput> gone;  // let go of outside the lock
    std::lock_guard<std::mutex> hold(mutex_);
    for (auto it = monitors_.begin(); it != monitors_.end(); ++it) {
        if (it->get() == monitor) {
            gone = std::move(*it);
            monitors_.erase(it);
            break;
        }
    }
    UpdateOn();
}

void PortTrace::Clear()
{
    std::vector<std::shared_ptr<TraceOutput>> gone;  // let go of outside the lock
    {
        std::lock_guard<std::mutex> hold(mutex_);
        gone.swap(monitors_);
        gone.push_back(std::move(file_));
        UpdateOn();
    }
}

void PortTrace::UpdateOn() { on_.store(file_ || !monitors_.empty(), std::memory_order_relaxed); }
