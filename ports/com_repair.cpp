#include "ports/com_repair.h"

#include "engine/com_name.h"
#include "engine/limits.h"
#include "ports/pair_setup.h"

namespace {

constexpr uint32_t kTargetSize = 128;

}  // namespace

std::vector<std::string> StaleComClaims()
{
    std::vector<std::string> names;
    for (int n = 1; n <= kComNumberMax; ++n) {
        const std::string name = ComName(n);
        int inUse = 0;
        ComDbGetInUse(name.c_str(), &inUse);
        if (!inUse)
            continue;
        if (!DeviceNameExists(name.c_str(), kTargetSize))
            names.push_back(name);
    }
    return names;
}

bool ReleaseComClaim(const char* name)
{
    int n = name ? ComNumber(name) : -1;
    if (n < 0)
        return false;
    ClaimReleasePort(static_cast<uint32_t>(n), 0);
    return true;
}
