// A CUSE port as serial programs use it, through the C library's calls.
// Runs as root where /dev/cuse exists (scripts/vm.sh).
#include "ports/cuse_port.h"

#include "engine/modem_lines.h"

#include "../net_helpers.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>

#include <future>

namespace {

using namespace testnet;
constexpr int kWaitMs = 20000;  // only for what must happen; never a speed bound

bool Readable(int fd) { return WaitReadable(fd, kWaitMs); }
int OrErrno(long r) { return r < 0 ? -errno : static_cast<int>(r); }  // -errno for a failed call

class CuseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int next = 0;
        node_.name = "ttyS" + std::to_string(200 + next);
        node_.minor = 64 + 200 + next++;
        std::string error;
        port_ = CusePort::Create(node_, &error);
        ASSERT_TRUE(port_) << error;
    }
    int TryOpen(int flags = 0) { return open(port_->Path().c_str(), O_RDWR | O_NOCTTY | flags); }
    int Open(int flags = 0)
    {
        int fd = TryOpen(flags);
        EXPECT_GE(fd, 0) << strerror(errno);
        return fd;
    }
    void FromBridge(const std::string& bytes) { ASSERT_TRUE(WriteAll(port_->BridgeFd(), bytes)); }
    std::string ToBridge(size_t n) { return ReadSome(port_->BridgeFd(), n, kWaitMs); }
    void Timing(int fd, cc_t vmin, cc_t vtime)
    {
        termios t;
        tcgetattr(fd, &t);
        t.c_cc[VMIN] = vmin, t.c_cc[VTIME] = vtime;
        tcsetattr(fd, TCSANOW, &t);
    }
    int Got(int fd, unsigned long request) { int v = -1; return ioctl(fd, request, &v) == 0 ? v : -1; }

    CuseNode node_;
    std::unique_ptr<CusePort> port_;
};

const std::string kAwkward("\x00\x11\x13\xff\r\n\x7f", 7);

TEST_F(CuseTest, IsASerialDeviceOfGroupDialoutAndItsNameIsTakenOnlyOnce)
{
    struct stat st;
    ASSERT_EQ(stat(port_->Path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_gid, 20u);  // dialout on Debian
    std::string error;
    EXPECT_FALSE(CusePort::Create(node_, &error));
    EXPECT_NE(error.find(node_.name), std::string::npos) << error;
    CuseNode sameNumber = node_;
    sameNumber.name += "x";
    EXPECT_FALSE(CusePort::Create(sameNumber, &error));
    EXPECT_NE(error.find("taken"), std::string::npos) << error;
    int fd = Open();
    EXPECT_TRUE(isatty(fd));
    close(fd);
    std::string path = port_->Path();
    port_.reset();
    EXPECT_NE(stat(path.c_str(), &st), 0);
}

TEST_F(CuseTest, BytesPassExactlyBothWaysBlockingAndNonBlocking)
{
    int fd = Open(O_NONBLOCK);
    char buf[64];
    EXPECT_EQ(OrErrno(read(fd, buf, sizeof buf)), -EAGAIN);
    FromBridge(kAwkward);
    ASSERT_TRUE(Readable(fd));
    EXPECT_EQ(Got(fd, FIONREAD), 7);
    EXPECT_EQ(std::string(buf, size_t(read(fd, buf, sizeof buf))), kAwkward);
    fcntl(fd, F_SETFL, 0);
    auto blocked = std::async(std::launch::async, [&] { return read(fd, buf, sizeof buf); });
    FromBridge("x");
    EXPECT_EQ(blocked.get(), 1);
    // Far more than every buffer on the way: the writer waits for room.
    const std::string big = Pattern(1 << 20, 7);
    auto writer = std::async(std::launch::async, [&] { return write(fd, big.data(), big.size()); });
    EXPECT_TRUE(ToBridge(big.size()) == big);
    EXPECT_EQ(writer.get(), ssize_t(big.size()));
    // VMIN 0 with VTIME: a blocking read that ends empty; VMIN 2: it waits for both.
    Timing(fd, 0, 1);
    EXPECT_EQ(read(fd, buf, sizeof buf), 0);
    Timing(fd, 2, 0);
    auto pair = std::async(std::launch::async, [&] { return read(fd, buf, sizeof buf); });
    FromBridge("a");
    EXPECT_EQ(pair.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    FromBridge("b");
    EXPECT_EQ(pair.get(), 2);
    close(fd);
}

TEST_F(CuseTest, PollSelectAndEpollTellReadinessBothWays)
{
    int fd = Open();
    pollfd p{fd, POLLIN | POLLOUT, 0};
    ASSERT_EQ(poll(&p, 1, kWaitMs), 1);
    EXPECT_EQ(p.revents, POLLOUT);
    int ep = epoll_create1(0);
    epoll_event ev{EPOLLIN, {}};
    ASSERT_EQ(epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev), 0);
    auto waiter = std::async(std::launch::async, [&] { return epoll_wait(ep, &ev, 1, kWaitMs); });
    usleep(100000);  // let it sleep first; it must be woken, not find the byte
    FromBridge("a");
    EXPECT_EQ(waiter.get(), 1);
    fd_set readable{};
    FD_SET(fd, &readable);
    timeval tv{kWaitMs / 1000, 0};
    EXPECT_EQ(select(fd + 1, &readable, nullptr, nullptr, &tv), 1);
    // Full: a writer's poll wakes when the bridge has read.
    fcntl(fd, F_SETFL, O_NONBLOCK);
    std::string chunk(4096, 'f');
    size_t queued = 0;
    for (int refused = 0; refused < 3;) {  // until the socket pair is full too
        ssize_t n = write(fd, chunk.data(), chunk.size());
        refused = n > 0 ? 0 : refused + 1;
        queued += n > 0 ? size_t(n) : (usleep(50000), 0);
    }
    p = {fd, POLLOUT, 0};
    // (A poll's last look at its time-out finds it writable anyway: only waking counts.)
    auto writable = std::async(std::launch::async, [&] { return poll(&p, 1, 2 * kWaitMs); });
    usleep(100000);
    EXPECT_EQ(ToBridge(queued).size(), queued);
    EXPECT_EQ(writable.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    close(ep);
    close(fd);
}

TEST_F(CuseTest, EverySettingIsKeptAcrossOpens)
{
    int fd = Open();
    termios t, back;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);  // raw from the start
    const tcflag_t frames[] = {CS8 | PARENB, CS7 | PARENB | PARODD, CS5 | CSTOPB,
                               CS6 | PARENB | CMSPAR | CRTSCTS};
    for (tcflag_t frame : frames) {
        t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | PARODD | CSTOPB | CMSPAR | CRTSCTS)) | frame;
        t.c_iflag = IXON | IXOFF | INPCK;
        cfsetspeed(&t, B115200);
        ASSERT_EQ(tcsetattr(fd, TCSADRAIN, &t), 0);
        ASSERT_EQ(tcgetattr(fd, &back), 0);
        EXPECT_EQ(back.c_cflag, t.c_cflag);
        EXPECT_EQ(back.c_iflag, t.c_iflag);
    }
    close(fd);
    fd = Open();
    ASSERT_EQ(tcgetattr(fd, &back), 0);
    EXPECT_EQ(back.c_cflag, t.c_cflag);
    EXPECT_EQ(cfgetispeed(&back), speed_t(B115200));
    EXPECT_EQ(port_->Settings().ospeed, 115200u);
    close(fd);
}

TEST_F(CuseTest, ModemLinesFollowTheProgramAndTheBridge)
{
    int fd = Open();
    EXPECT_EQ(Got(fd, TIOCMGET), TIOCM_DTR | TIOCM_RTS);
    EXPECT_TRUE(port_->Lines().dtr && port_->Lines().heldOpen);
    ASSERT_TRUE(Readable(port_->LineEventFd()));
    uint64_t events;
    ASSERT_EQ(read(port_->LineEventFd(), &events, sizeof events), 8);
    int dtr = TIOCM_DTR;
    ASSERT_EQ(ioctl(fd, TIOCMBIC, &dtr), 0);
    EXPECT_TRUE(Readable(port_->LineEventFd()));
    EXPECT_TRUE(!port_->Lines().dtr && port_->Lines().rts);
    ASSERT_EQ(ioctl(fd, TIOCMBIS, &dtr), 0);
    int none = 0;
    ASSERT_EQ(ioctl(fd, TIOCMSET, &none), 0);
    EXPECT_EQ(Got(fd, TIOCMGET), 0);

    auto wait = std::async(std::launch::async, [&] { return ioctl(fd, TIOCMIWAIT, TIOCM_CD); });
    usleep(100000);
    port_->SetConnected(true);
    EXPECT_EQ(wait.get(), 0);
    EXPECT_EQ(Got(fd, TIOCMGET), TIOCM_CTS | TIOCM_DSR | TIOCM_CD);
    serial_icounter_struct counts{};
    ASSERT_EQ(ioctl(fd, TIOCGICOUNT, &counts), 0);
    EXPECT_EQ(counts.dcd, 1);
    wait = std::async(std::launch::async, [&] { return ioctl(fd, TIOCMIWAIT, TIOCM_CTS); });
    usleep(100000);
    port_->SetModemInputs(kModemDsr | kModemRi);  // the far end's word, while connected
    EXPECT_EQ(wait.get(), 0);
    EXPECT_EQ(Got(fd, TIOCMGET), TIOCM_DSR | TIOCM_RNG);
    ASSERT_EQ(ioctl(fd, TIOCGICOUNT, &counts), 0);
    EXPECT_EQ(counts.cts + counts.dcd + counts.rng, 2 + 2 + 1);
    port_->SetConnected(false);
    ASSERT_EQ(ioctl(fd, TIOCMSET, &dtr), 0);
    // Without HUPCL the last close keeps DTR; with it, DTR drops.
    termios t;
    tcgetattr(fd, &t);
    t.c_cflag &= ~HUPCL;
    tcsetattr(fd, TCSANOW, &t);
    close(fd);
    EXPECT_TRUE(port_->Lines().dtr);
    EXPECT_FALSE(port_->Lines().heldOpen);
    fd = Open();
    t.c_cflag |= HUPCL;
    tcsetattr(fd, TCSANOW, &t);
    EXPECT_EQ(Got(fd, TIOCMGET), TIOCM_DTR | TIOCM_RTS);
    close(fd);
    EXPECT_FALSE(port_->Lines().dtr || port_->Lines().rts);
}

TEST_F(CuseTest, SeveralOpensUntilOneTakesThePortExclusively)
{
    int a = Open(), b = Open();
    ASSERT_EQ(ioctl(a, TIOCEXCL), 0);
    EXPECT_EQ(OrErrno(TryOpen()), -EBUSY);
    close(a);
    close(b);
    EXPECT_EQ(close(Open()), 0);
}

TEST_F(CuseTest, DrainWaitsForTheBridgeAndFlushDropsWhatItNames)
{
    int fd = Open();
    ASSERT_EQ(write(fd, "0123456789", 10), 10);
    auto drain = std::async(std::launch::async, [&] { return tcdrain(fd); });
    EXPECT_EQ(drain.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    EXPECT_EQ(Got(fd, TIOCOUTQ), 10);
    EXPECT_EQ(ToBridge(10), "0123456789");
    EXPECT_EQ(drain.get(), 0);
    port_->TakeLineEvents();
    EXPECT_EQ(tcsendbreak(fd, 0), 0);
    EXPECT_EQ(ioctl(fd, TIOCSBRK), 0);
    EXPECT_EQ(ioctl(fd, TIOCCBRK), 0);
    using E = CuseLineEvent;
    EXPECT_EQ(port_->TakeLineEvents(), (std::vector<E>{E::kBreakOn, E::kBreakOff, E::kBreakOn, E::kBreakOff}));

    FromBridge("stale");
    char buf[16];
    ASSERT_EQ(read(fd, buf, 1), 1);  // the bytes have reached the device
    ASSERT_EQ(tcflush(fd, TCIFLUSH), 0);
    ASSERT_EQ(write(fd, "gone", 4), 4);
    ASSERT_EQ(tcflush(fd, TCOFLUSH), 0);
    ASSERT_EQ(write(fd, "kept", 4), 4);
    EXPECT_EQ(ToBridge(4), "kept");
    EXPECT_EQ(port_->TakeLineEvents(), (std::vector<E>{E::kFlushInput, E::kFlushOutput}));
    FromBridge("new");
    EXPECT_EQ(std::string(buf, size_t(read(fd, buf, sizeof buf))), "new");
    winsize ws;
    EXPECT_EQ(OrErrno(ioctl(fd, TIOCGWINSZ, &ws)), -ENOTTY);
    close(fd);
}

TEST_F(CuseTest, NoByteOutlivesItsSession)
{
    FromBridge("nobody listens");
    int fd = Open(O_NONBLOCK);
    usleep(200000);
    char buf[64];
    EXPECT_EQ(read(fd, buf, sizeof buf), -1);
    FromBridge("left behind");
    ASSERT_TRUE(Readable(fd));
    close(fd);
    fd = Open(O_NONBLOCK);
    EXPECT_EQ(read(fd, buf, sizeof buf), -1);
    close(fd);
}

TEST_F(CuseTest, AProgramThatDiesOrAPortThatEndsLeavesNobodyStuck)
{
    char c;
    pid_t child = fork();
    if (child == 0)
        _exit(read(TryOpen(), &c, 1) < 0);
    EXPECT_TRUE(Within(kWaitMs, [&] { return port_->Lines().heldOpen; }));
    kill(child, SIGKILL);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    ASSERT_TRUE(Within(kWaitMs, [&] { return !port_->Lines().heldOpen; }));

    int fd = Open();
    auto blocked = std::async(std::launch::async, [&] { return read(fd, &c, 1); });
    usleep(100000);
    port_.reset();
    EXPECT_EQ(blocked.get(), -1);
    close(fd);
}

// pyserial opens the port with a baud rate of its own
// (TCSETS2, BOTHER), finds it among the serial ports, and passes bytes.
TEST_F(CuseTest, PyserialSeesASerialPort)
{
    std::string cmd = "/usr/bin/python3 " VR_SOURCE_DIR "/tests/cuse/pyserial_check.py " + port_->Path();
    FILE* check = popen(cmd.c_str(), "r");
    ASSERT_TRUE(check);
    char line[64] = {};
    ASSERT_TRUE(fgets(line, sizeof line, check));  // "open": the port is held
    FromBridge(kAwkward);
    EXPECT_EQ(ToBridge(kAwkward.size()), kAwkward);
    EXPECT_EQ(pclose(check), 0);
}

}  // namespace
