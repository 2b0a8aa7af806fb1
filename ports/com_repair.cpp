#include "ports/com_repair.h"

#include <cerrno>
#include <cstdio>

#include "ports/pair_setup.h"

namespace {

constexpr int kComNumberLast = 256;  // as in the port dialog's list
constexpr uint32_t kTargetSize = 128;

}  // namespace

std::vector<std::string> StaleComClaims()
{
    std::vector<std::string> names;
    for (int n = 1; n <= kComNumberLast; ++n) {
        char name[16];
        snprintf(name, sizeof name, "COM%d", n);
        int inUse = 0;
        ComDbGetInUse(name, &inUse);
        if (!inUse)
            continue;
        if (!DeviceNameExists(name, kTargetSize))
            names.emplace_back(name);
    }
    return names;
}

bool ReleaseComClaim(const char* name)
{
    int n = 0;
    if (!name || sscanf(name, "COM%d", &n) != 1)
        return false;
    ClaimReleasePort(static_cast<uint32_t>(n), 0);
    return true;
}
