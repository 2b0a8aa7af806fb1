// The serial side's view of a program's line settings on a pseudo-terminal:
// packet mode on the bridge side and EXTPROC on the user side make each
// tcsetattr of the program a report to the bridge side, which then reads the
// settings; the packet byte in front of every read is taken off here.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include "engine/line_settings.h"

class LineWatch {
public:
    // masterFd: the bridge side, which the caller keeps open longer than
    // this object. A user side that nobody holds takes the listener's line
    // (baud, stop bits, flow), so that it holds until a program sets its own.
    LineWatch(int masterFd, LineListener& listener);
    // Packet mode off again: the descriptor shares its terminal with the
    // pair layer.
    ~LineWatch();
    LineWatch(const LineWatch&) = delete;
    LineWatch& operator=(const LineWatch&) = delete;

    // As read() on the bridge side, without the packet byte. A report is
    // handled here and gives -1 with errno EAGAIN. Any other descriptor
    // reads as it is.
    ssize_t Read(unsigned char* buf, size_t n);

private:
    void OnReport(unsigned char status);
    // A program that writes a termios of its own clears EXTPROC: set it again.
    void KeepExtproc(termios* t);

    int fd_;
    bool packet_ = false;
    LineListener& listener_;
    LineSettings last_;
};
