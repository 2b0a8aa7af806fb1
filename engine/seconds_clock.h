// Time for deadlines: whole seconds for the framing layer, and the waits of
// poll() until a deadline. Second times are 32-bit values that wrap; compare
// them only through SecondsDue, never with <.
#pragma once

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

// Milliseconds from now until a deadline of the steady clock, as poll()
// takes them: 0 once it has passed.
int MsUntil(std::chrono::steady_clock::time_point deadline);

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
