// Where the program keeps its files (options.dat, pairs.dat, comdb.dat and
// dev/): beside the executable, as always, unless that folder cannot be
// written (a copy installed in a system folder); then in the user's own
// "$XDG_CONFIG_HOME/velkaro_redi" (default "~/.config/velkaro_redi"), or is
// a system folder such as /usr/bin (an installed copy run as root).
#pragma once

#include <string>

// The user's configuration folder: $XDG_CONFIG_HOME when it is an absolute
// path, else $HOME/.config, else the password entry's home + "/.config";
// empty when none is known.
std::string ConfigHome();

// Creates every missing folder of an absolute path (0700, as XDG asks).
// True when the path is a folder at the end.
bool MakeFolders(const std::string& path);

// The folder of the program's files for a program directory.
std::string DataDirectory(const std::string& programDir);
