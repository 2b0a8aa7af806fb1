// Where the program keeps its files (options.dat, pairs.dat, comdb.dat,
// pairs.lock and dev/): beside the executable, as always, unless that folder
// holds none of them and cannot be written (a copy installed in a system
// folder), or is a system folder such as /usr/bin that root could write;
// then in the user's own "$XDG_CONFIG_HOME/velkaro_redi" (default
// "~/.config/velkaro_redi"). $STATE_DIRECTORY, which systemd sets for a
// service with StateDirectory=, names it outright. The choice depends on what the folder holds, not
// on whether it can be written now: a folder made read-only while the
// program runs stays the program's folder, and its failures are reported.
#pragma once

#include <string>

// The names in the program's folder; each marks it as one.
constexpr const char kOptionsFileName[] = "options.dat";
constexpr const char kPairsFileName[] = "pairs.dat";
constexpr const char kComDbFileName[] = "comdb.dat";
constexpr const char kLockFileName[] = "pairs.lock";
constexpr const char kDevFolderName[] = "dev";
constexpr const char* kProgramFolderEntries[] = {kOptionsFileName, kPairsFileName, kComDbFileName,
                                                 kLockFileName, kDevFolderName};

// The user's configuration folder: $XDG_CONFIG_HOME when it is an absolute
// path, else $HOME/.config, else the password entry's home + "/.config";
// empty when none is known.
std::string ConfigHome();

// Creates every missing folder of an absolute path (0700, as XDG asks).
// True when the path is a folder at the end.
bool MakeFolders(const std::string& path);

// Whether the folder holds any of kProgramFolderEntries.
bool HoldsProgramFiles(const std::string& folder);

// The folder of the program's files for a program directory.
std::string DataDirectory(const std::string& programDir);
