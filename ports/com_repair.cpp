#include "ports/com_repair.h"

#include "engine/com_name.h"
#include "engine/limits.h"
#include "ports/pair_setup.h"

std::vector<std::string> StaleComClaims(PairSetup& pairs)
{
    std::vector<std::string> names;
    for (int n = 1; n <= kComNumberMax; ++n) {
        const std::string name = ComName(n);
        if (pairs.ComClaimed(n) && !pairs.DeviceExists(name))
            names.push_back(name);
    }
    return names;
}

bool ReleaseComClaim(PairSetup& pairs, const std::string& name)
{
    const int n = ComNumber(name);
    return n > 0 && pairs.SetComClaim(n, false);
}
