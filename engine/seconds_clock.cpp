#include "engine/seconds_clock.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace {

class MonotonicSeconds : public SecondsClock {
public:
    int32_t Now() const override
    {
        auto secs = std::chrono::duration_cast<std::chrono::seconds>(
            std::chrono::steady_clock::now().time_since_epoch()).count();
        // Only differences matter: keep the low 32 bits.
        return static_cast<int32_t>(static_cast<uint32_t>(secs));
    }
};

}  // namespace

const SecondsClock& RealSecondsClock()
{
    static const MonotonicSeconds clock;
    return clock;
}

int MsUntil(Deadline deadline)
{
    if (deadline == kNoDeadline)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT32_MAX));
}

int MsUntilSecondsPass(uint32_t seconds)
{
    constexpr int64_t kHourMs = 3600 * 1000;
    const int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch()).count();
    const int64_t dueMs = (nowMs / 1000 + static_cast<int64_t>(seconds)) * 1000;
    return static_cast<int>(std::clamp<int64_t>(dueMs - nowMs, 0, kHourMs));
}

Deadline DeadlineIn(int ms)
{
    return ms < 0 ? kNoDeadline : std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

int PollUntil(pollfd* fds, nfds_t n, Deadline deadline)
{
    for (;;) {
        const int r = poll(fds, n, MsUntil(deadline));
        if (r >= 0 || errno != EINTR)
            return r;
    }
}
