// Host-name lookups that never hold a bridge thread: each runs on a thread of
// its own, and an answer that nobody waits for any more is dropped with it.
#pragma once

#include <netinet/in.h>

#include <string>

class StopEvent;
class UserSideKeeper;

// The blocking lookup that runs on that thread: fills *address and gives 0,
// or gives a getaddrinfo() error code (EAI_SYSTEM with errno set).
using LookupFunction = int (*)(const char* host, in_addr* address);

// Replaced only by tests; nullptr restores getaddrinfo().
void SetLookupFunction(LookupFunction lookup);

// The IPv4 address of host, looked up afresh. Waits for the answer or for
// stop, the keeper looking after the user side meanwhile. True with *address
// set; false with *error the reason ("Name or service not known"), or with
// *error empty when stop came first.
bool LookUp(const std::string& host, const StopEvent& stop, UserSideKeeper& keeper,
            in_addr* address, std::string* error);
