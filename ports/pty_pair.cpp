#include "ports/pty_pair.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>

#include <cerrno>
#include <climits>

bool OpenRawPty(UniqueFd* master, std::string* slavePath)
{
    // Close-on-exec: a child process holding a master would keep the pair
    // alive after the program removed it.
    UniqueFd m(open("/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!m.IsValid())
        return false;
    char name[PATH_MAX];
    if (grantpt(m.Get()) != 0 || unlockpt(m.Get()) != 0 || ptsname_r(m.Get(), name, sizeof name) != 0)
        return false;
    UniqueFd s(open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!s.IsValid())
        return false;
    termios t{};
    if (tcgetattr(s.Get(), &t) != 0)
        return false;
    cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXOFF | IXANY);
    t.c_cflag |= CREAD | CLOCAL;
    if (tcsetattr(s.Get(), TCSANOW, &t) != 0)
        return false;
    *master = std::move(m);
    *slavePath = name;
    return true;
}
