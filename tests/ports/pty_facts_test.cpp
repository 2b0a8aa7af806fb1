// What the Linux pseudo-terminal does that the bridge relies on. These pin
// the kernel's behaviour down: if one fails on a new kernel, the bridge's
// reading of DSR, EIO and stale bytes must be revisited.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "ports/pty_pair.h"

namespace {

short Revents(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 ? p.revents : 0;
}

ssize_t ReadNow(int fd, char* buf, size_t n)
{
    pollfd p{fd, POLLIN, 200};
    poll(&p, 1, 200);
    return read(fd, buf, n);
}

TEST(PtyFacts, HangupMarksAClosedUserSideAndReadGivesEio)
{
    // A terminal whose slave was never opened shows no hangup at all.
    UniqueFd fresh(open("/dev/ptmx", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(fresh.IsValid());
    ASSERT_EQ(unlockpt(fresh.Get()), 0);
    EXPECT_FALSE(Revents(fresh.Get()) & POLLHUP);

    // After the layer's own raw-mode opening it does, and reading fails
    // with EIO at once, even in blocking mode.
    UniqueFd master;
    std::string slave;
    ASSERT_TRUE(OpenRawPty(&master, &slave));
    EXPECT_TRUE(Revents(master.Get()) & POLLHUP);
    pollfd none{master.Get(), 0, 0};  // a hangup cannot be masked
    EXPECT_EQ(poll(&none, 1, 0), 1);
    char buf[16];
    errno = 0;
    EXPECT_EQ(read(master.Get(), buf, sizeof buf), -1);
    EXPECT_EQ(errno, EIO);

    {
        UniqueFd user(open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        EXPECT_FALSE(Revents(master.Get()) & POLLHUP);
        ASSERT_EQ(write(user.Get(), "abc", 3), 3);
    }
    // Bytes the program wrote before it closed come first, then EIO.
    EXPECT_TRUE(Revents(master.Get()) & POLLHUP);
    EXPECT_EQ(ReadNow(master.Get(), buf, sizeof buf), 3);
    EXPECT_EQ(read(master.Get(), buf, sizeof buf), -1);
    EXPECT_EQ(errno, EIO);
}

TEST(PtyFacts, BytesForAClosedUserSideWaitForTheNextProgramUnlessDiscarded)
{
    UniqueFd master;
    std::string slave;
    ASSERT_TRUE(OpenRawPty(&master, &slave));
    char buf[64];

    ASSERT_EQ(write(master.Get(), "stale", 5), 5);
    {
        UniqueFd user(open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        EXPECT_EQ(ReadNow(user.Get(), buf, sizeof buf), 5);  // kept for the next opener
    }

    // Flushing through the master does not reach them...
    ASSERT_EQ(write(master.Get(), "stale", 5), 5);
    EXPECT_EQ(tcflush(master.Get(), TCIOFLUSH), 0);
    // ...flushing the user side's input does, through a peer opened from
    // the master alone; the hangup comes back once the peer is closed.
    {
        UniqueFd peer(ioctl(master.Get(), TIOCGPTPEER, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        ASSERT_TRUE(peer.IsValid());
        EXPECT_EQ(tcflush(peer.Get(), TCIFLUSH), 0);
    }
    EXPECT_TRUE(Revents(master.Get()) & POLLHUP);
    UniqueFd user(open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    errno = 0;
    EXPECT_EQ(ReadNow(user.Get(), buf, sizeof buf), -1);
    EXPECT_EQ(errno, EAGAIN);
}

TEST(PtyFacts, RawModeHoldsAcrossOpeningsButTheMasterCanChangeIt)
{
    UniqueFd master;
    std::string slave;
    ASSERT_TRUE(OpenRawPty(&master, &slave));
    for (int flags : {O_NOCTTY, 0}) {
        UniqueFd user(open(slave.c_str(), O_RDWR | O_CLOEXEC | flags));
        termios t{};
        ASSERT_EQ(tcgetattr(user.Get(), &t), 0);
        EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
        EXPECT_FALSE(t.c_iflag & (ICRNL | INLCR | IXON | ISTRIP));
        EXPECT_FALSE(t.c_oflag & OPOST);
    }
    // Terminal settings asked of the master are the user side's: the
    // bridge must never set them.
    termios t{};
    ASSERT_EQ(tcgetattr(master.Get(), &t), 0);
    t.c_lflag |= ECHO;
    ASSERT_EQ(tcsetattr(master.Get(), TCSANOW, &t), 0);
    UniqueFd user(open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_EQ(tcgetattr(user.Get(), &t), 0);
    EXPECT_TRUE(t.c_lflag & ECHO);
}

}  // namespace
