#include "engine/line_watch.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

LineWatch::LineWatch(int masterFd, LineListener& listener)
    : fd_(masterFd), listener_(listener), last_(listener.Line())
{
    // A bridge side that is no pseudo-terminal (the socket behind a CUSE
    // device) takes no packet mode: its bytes then pass as they are.
    int on = 1;
    packet_ = ioctl(fd_, TIOCPKT, &on) == 0;
    if (!packet_)
        return;
    // On a pseudo-terminal's bridge side, termios calls reach the user side.
    termios t{};
    if (tcgetattr(fd_, &t) != 0)
        return;
    // A program that holds the port keeps the settings it reads back; one
    // that opens it later finds the port's line.
    pollfd p{fd_, 0, 0};
    if (poll(&p, 1, 0) == 1 && (p.revents & POLLHUP))
        LineSettingsToTermios(last_, &t);
    KeepExtproc(&t);
}

LineWatch::~LineWatch()
{
    int off = 0;
    if (packet_)
        ioctl(fd_, TIOCPKT, &off);
}

void LineWatch::KeepExtproc(termios* t)
{
    t->c_lflag |= EXTPROC;
    tcsetattr(fd_, TCSANOW, t);
}

ssize_t LineWatch::Read(unsigned char* buf, size_t n)
{
    const ssize_t r = read(fd_, buf, n);
    if (r <= 0 || !packet_)
        return r;
    if (buf[0] != TIOCPKT_DATA) {
        OnReport(buf[0]);
        errno = EAGAIN;
        return -1;
    }
    std::memmove(buf, buf + 1, static_cast<size_t>(r - 1));
    if (r == 1) {
        errno = EAGAIN;
        return -1;
    }
    return r - 1;
}

void LineWatch::OnReport(unsigned char status)
{
    const unsigned char flushes = status & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE);
    if (flushes == (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE))
        listener_.PurgeData(LineListener::kPurgeBoth);
    else if (flushes == TIOCPKT_FLUSHREAD)
        listener_.PurgeData(LineListener::kPurgeReceived);
    else if (flushes == TIOCPKT_FLUSHWRITE)
        listener_.PurgeData(LineListener::kPurgeSent);
    if (!(status & TIOCPKT_IOCTL))
        return;
    termios t{};
    if (tcgetattr(fd_, &t) != 0)
        return;
    // The pseudo-terminal erases data bits and parity: those stay the
    // port's own.
    LineSettings now = LineSettingsFromTermios(t, last_);
    now.dataBits = last_.dataBits;
    now.parity = last_.parity;
    if (now != last_) {
        last_ = now;
        listener_.SetLine(now);
    }
    if (!(t.c_lflag & EXTPROC))
        KeepExtproc(&t);
}
