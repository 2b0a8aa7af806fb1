// COM numbers that comdb.dat claims although no device of that name exists:
// claims left behind by a pair that went away without releasing its name.
#pragma once

#include <string>
#include <vector>

// "COM1" to "COM256", ascending: every claimed name whose device lookup
// fails for any reason but a target too long to show (such a device exists).
std::vector<std::string> StaleComClaims();

// Releases the claim of a COM name ("COM5"). False when the name is no COM
// name; the release's own result is not reported.
bool ReleaseComClaim(const char* name);
