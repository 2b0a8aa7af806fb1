// The stop event of a bridge thread: an eventfd that every wait of the
// thread polls beside its other descriptors.
#pragma once

#include <memory>

// Asks a bridge thread to end. Stays readable once signalled and is never
// reset, so every later wait of that thread returns at once.
class StopEvent {
public:
    // nullptr when no event descriptor could be had (errno set).
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
