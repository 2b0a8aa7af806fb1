// Host-name lookups that never hold a bridge thread and never outlive it:
// each runs getaddrinfo() in a small process of its own (the lookup helper,
// engine/lookup_helper.cpp, which answers "OK 192.0.2.7" or "ERR <code> <errno>"),
// which a stop kills and reaps at once, however long a name server keeps
// silent. A thread stuck in getaddrinfo() could not be taken back.
#pragma once

#include <netinet/in.h>

#include <string>

class StopEvent;
class UserSideKeeper;

// The helper's name: found beside the running program (a build tree), else
// in ../libexec/velkaro_redi from it (installed).
inline constexpr const char* kLookupHelperName = "velkaro_redi-lookup";

// The helper run by every lookup from now on; "" goes back to the default.
// Tests give one of their own.
void SetLookupHelper(const std::string& path);

// The IPv4 address of host, looked up afresh. Waits for the answer or for
// stop, the keeper looking after the user side meanwhile. True with *address
// set; false with *error the reason ("Name or service not known"), or with
// *error empty when stop came first. Either way no helper is left running.
bool LookUp(const std::string& host, const StopEvent& stop, UserSideKeeper& keeper,
            in_addr* address, std::string* error);
