#include "engine/seconds_clock.h"

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
