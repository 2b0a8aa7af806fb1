// The pseudo-terminal behind a virtual pair. Its slave (/dev/pts/N) is the
// user side that serial programs open; its master is the bridge side.
#pragma once

#include <string>

#include "engine/unique_fd.h"

// Opens a new pseudo-terminal and puts its slave in raw mode: no echo, no
// line editing, no character translation, 8 data bits. The slave's settings
// live as long as the terminal, so raw mode holds for every later opening
// until a program changes it. The temporary opening of the slave also
// means the master reports POLLHUP from now on while no program holds the
// slave (a master whose slave was never opened does not).
// Gives false with errno set.
bool OpenRawPty(UniqueFd* master, std::string* slavePath);
