// What the Linux pseudo-terminal does that the bridge relies on: if this
// fails on a new kernel, the bridge's reading of DSR, EIO and stale bytes
// must be revisited.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include "ports/pty_pair.h"

TEST(PtyFacts, AClosedUserSideShowsAsHangupAndItsBytesWaitForTheNextProgramUnlessFlushed)
{
    UniqueFd master;
    std::string slave;
    ASSERT_TRUE(OpenRawPty(&master, &slave));
    auto hungUp = [&] {
        pollfd p{master.Get(), 0, 0};  // a hangup cannot be masked
        return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
    };
    auto readSoon = [](int fd) {  // what read() gives, or -errno
        char buf[64];
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 200);
        const ssize_t n = read(fd, buf, sizeof buf);
        return n < 0 ? -errno : n;
    };
    auto openUser = [&] { return UniqueFd(open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)); };
    EXPECT_TRUE(hungUp());  // from the layer's own opening on
    EXPECT_EQ(readSoon(master.Get()), -EIO);
    {
        UniqueFd user = openUser();
        EXPECT_FALSE(hungUp());
        ASSERT_EQ(write(user.Get(), "abc", 3), 3);
    }
    EXPECT_EQ(readSoon(master.Get()), 3);  // what it wrote first, then EIO
    EXPECT_EQ(readSoon(master.Get()), -EIO);
    ASSERT_EQ(write(master.Get(), "stale", 5), 5);
    EXPECT_EQ(readSoon(openUser().Get()), 5);  // kept for the next opener
    ASSERT_EQ(write(master.Get(), "stale", 5), 5);
    EXPECT_EQ(tcflush(master.Get(), TCIOFLUSH), 0);  // does not reach them; the user side's input
    EXPECT_EQ(tcflush(UniqueFd(ioctl(master.Get(), TIOCGPTPEER, O_RDWR | O_NOCTTY)).Get(), TCIFLUSH), 0);
    EXPECT_TRUE(hungUp());  // flushed through a peer of the master does
    EXPECT_EQ(readSoon(openUser().Get()), -EAGAIN);
}
