// The port list for scripts: --list --json, one JSON array of one object per
// port with its settings, state, counters and times.
#pragma once

#include <string>

class PairSetup;

// The array, ended by a line feed.
std::string ListJson(PairSetup& pairs);
