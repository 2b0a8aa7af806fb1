// COM numbers that comdb.dat claims although no device of that name exists:
// claims left behind by a pair that went away without releasing its name.
#pragma once

#include <string>
#include <vector>

class PairSetup;

// "COM1" to "COM256", ascending: every claimed name with no device.
std::vector<std::string> StaleComClaims(PairSetup& pairs);

// Releases the claim of a COM name ("COM5"). False when the name is no COM
// name or the claim could not be released.
bool ReleaseComClaim(PairSetup& pairs, const std::string& name);
