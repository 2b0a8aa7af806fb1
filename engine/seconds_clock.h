// Time for deadlines: whole seconds for the framing layer, and the waits of
// poll() until a deadline of the steady clock. Second times are 32-bit values that wrap; compare
// them only through SecondsDue, never with <.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>

class SecondsClock {
public:
    virtual ~SecondsClock() = default;
    virtual int32_t Now() const = 0;
};

// The running system's clock: whole seconds of a monotonic clock, so a change
// of the wall-clock time neither fires nor postpones a deadline.
const SecondsClock& RealSecondsClock();

// Milliseconds until the real clock reads `seconds` more than it reads now
// (held at an hour: a longer wait is simply taken again).
int MsUntilSecondsPass(uint32_t seconds);

using Deadline = std::chrono::steady_clock::time_point;
// A deadline that never comes: a wait without a time limit.
constexpr Deadline kNoDeadline = Deadline::max();

// Milliseconds from now until a deadline, as poll() takes them: 0 once it
// has passed, -1 for kNoDeadline.
int MsUntil(Deadline deadline);

// The deadline ms milliseconds from now; kNoDeadline for a negative ms.
Deadline DeadlineIn(int ms);

// poll() until one of fds is ready or the deadline passes, taken up again
// after a signal with the time that is left. Gives poll()'s result: the
// number of ready descriptors, 0 at the deadline, -1 with errno on failure.
int PollUntil(pollfd* fds, nfds_t n, Deadline deadline);

// A deadline is due once (deadline - now), as a signed 32-bit difference,
// is 0 or less.
inline bool SecondsDue(int32_t deadline, int32_t now)
{
    return static_cast<int32_t>(static_cast<uint32_t>(deadline) - static_cast<uint32_t>(now)) <= 0;
}

// now + seconds. An interval too long for the signed difference would wrap to
// "already due", so it is held at the longest one that compares correctly.
inline int32_t SecondsAfter(int32_t now, uint32_t seconds)
{
    if (seconds > 0x7FFFFFFFu)
        seconds = 0x7FFFFFFFu;
    return static_cast<int32_t>(static_cast<uint32_t>(now) + seconds);
}
