// Logon autorun: an XDG autostart entry named after the executable,
//   <config home>/autostart/<executable file name>.desktop
// whose Exec is the executable's full path. The config home is
// $XDG_CONFIG_HOME when it is an absolute path, else $HOME/.config.
#pragma once

#include <string>

// The entry's path for an executable; empty when no config home is known or
// the path has no file name.
std::string AutostartEntryPath(const std::string& executable);

// The entry's text: a desktop entry whose Exec runs `executable`, quoted and
// escaped so that any path survives the launcher's parsing.
std::string AutostartEntryText(const std::string& executable);

// Writes (enable) or deletes the entry of `executable`. 1 when the entry was
// written; 0 when it could not be, and always after a deletion. A failure is
// never reported to the user: the flag in the options file stays as chosen.
int SetLogonAutorunFor(const std::string& executable, int enable);

// The same for the running executable.
int SetLogonAutorun(int enable);
