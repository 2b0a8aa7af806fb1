// The pump on its own: a real pseudo-terminal on one side, a real loopback
// socket on the other, the test playing both the serial program and the peer.
#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "engine/protocol.h"
#include "engine/pump.h"
#include "engine/serial_side.h"
#include "engine_fixtures.h"

namespace enginetest {
namespace {

const std::string kOpenLine =
    "OpenDevice(\"\\\\.\\ZPVB1\", baud=19200, data=8, parity=no, stop=1) - OK\n";

// Transparent, but counts its polls and watches its queues.
class WatchingProtocol : public Protocol {
public:
    WatchingProtocol() : Protocol(1024, 1024) {}

    int FromSerial(const unsigned char* bytes, int n) override
    {
        int r = Protocol::FromSerial(bytes, n);
        maxToNet = std::max(maxToNet.load(), toNet.Count());
        return r;
    }
    int FromNet(const unsigned char* bytes, int n) override
    {
        int r = Protocol::FromNet(bytes, n);
        maxToSerial = std::max(maxToSerial.load(), toSerial.Count());
        return r;
    }
    bool Poll() override
    {
        ++polls;
        return Protocol::Poll();
    }

    std::atomic<int> polls{0};
    std::atomic<uint32_t> maxToNet{0};
    std::atomic<uint32_t> maxToSerial{0};
};

class PumpTest : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        stop_ = StopEvent::Create();
        ASSERT_TRUE(stop_);
        record_ = Record(1, MODE_TCPCLIENT);
    }
    void TearDown() override
    {
        if (stop_)
            stop_->Signal();
        if (pump_.valid())
            pump_.wait();
        for (int fd : {bridgeSock_, peer_, user_})
            if (fd >= 0)
                close(fd);
        EngineTest::TearDown();
    }

    void ConnectTcp()
    {
        int listener = Listen();
        bridgeSock_ = ConnectTo(LocalPort(listener));
        peer_ = AcceptWithin(listener, 1000);
        close(listener);
        ASSERT_GE(peer_, 0);
        fcntl(bridgeSock_, F_SETFL, O_NONBLOCK);
        fcntl(peer_, F_SETFL, O_NONBLOCK);
    }

    void ConnectUdp()
    {
        bridgeSock_ = UdpSocket(SOCK_NONBLOCK);
        peer_ = UdpSocket(SOCK_NONBLOCK);
        sockaddr_in b = Loopback(LocalPort(bridgeSock_)), p = Loopback(LocalPort(peer_));
        connect(bridgeSock_, reinterpret_cast<sockaddr*>(&p), sizeof p);
        connect(peer_, reinterpret_cast<sockaddr*>(&b), sizeof b);
    }

    // The framing object belongs to the fixture: it must outlive the pump,
    // which TearDown stops.
    WatchingProtocol& StartPump(bool ignoreDsr, int listenFd = -1)
    {
        framing_ = std::make_unique<WatchingProtocol>();
        WatchingProtocol& framing = *framing_;
        SerialParams params;
        params.ignoreDSR = ignoreDsr;
        device_ = OpenDevice("\\\\.\\ZPVB1", params);
        EXPECT_TRUE(device_.IsOpen());
        pump_ = std::async(std::launch::async, [this, &framing, ignoreDsr, listenFd] {
            InOut(record_, device_, bridgeSock_, framing, ignoreDsr, listenFd, *stop_);
        });
        return framing;
    }

    bool PumpEndsWithin(int ms)
    {
        return pump_.wait_for(milliseconds(ms)) == std::future_status::ready;
    }

    std::shared_ptr<StopEvent> stop_;
    std::unique_ptr<WatchingProtocol> framing_;
    PortRecord* record_ = nullptr;
    BridgeDevice device_;
    std::future<void> pump_;
    int bridgeSock_ = -1;
    int peer_ = -1;
    int user_ = -1;
};

TEST_F(PumpTest, IdleConnectionNeverWakes)
{
    ConnectTcp();
    user_ = pairs_.OpenUser(1);
    WatchingProtocol& framing = StartPump(true);
    std::this_thread::sleep_for(milliseconds(200));

    int polls = framing.polls;
    double cpu = ProcessCpuSeconds();
    std::this_thread::sleep_for(milliseconds(2000));
    cpu = ProcessCpuSeconds() - cpu;
    polls = framing.polls - polls;
    EXPECT_EQ(polls, 0);
    EXPECT_LT(cpu, 0.1) << "idle connected pump used " << cpu << " s of CPU in 2 s";
    RecordProperty("idle_connected_cpu_ms_per_s", std::to_string(cpu * 500.0));
}

// Bytes for a closed user side are discarded, not kept for the next program
// to open the port, and waiting for one costs no CPU.
TEST_F(PumpTest, ClosedUserSideNeitherSpinsNorKeepsBytesForTheNextProgram)
{
    ConnectTcp();
    CapturedOutput out;
    StartPump(true);  // nobody holds the user side open
    std::this_thread::sleep_for(milliseconds(200));

    double cpu = ProcessCpuSeconds();
    ASSERT_TRUE(WriteAll(peer_, Pattern(20000, 1)));  // more than the pseudo-terminal would keep
    std::this_thread::sleep_for(milliseconds(1500));
    cpu = ProcessCpuSeconds() - cpu;
    EXPECT_LT(cpu, 0.1) << "pump with a closed user side used " << cpu << " s of CPU";
    EXPECT_FALSE(PumpEndsWithin(0));

    for (int program = 0; program < 2; ++program) {
        user_ = pairs_.OpenUser(1);
        std::this_thread::sleep_for(milliseconds(200));  // the pump notices the program
        EXPECT_EQ(ReadSome(user_, 100, 100), "") << program;
        ASSERT_TRUE(WriteAll(peer_, "fresh"));
        EXPECT_EQ(ReadSome(user_, 5, 1000), "fresh") << program;
        // The program goes away, leaving bytes unread.
        ASSERT_TRUE(WriteAll(peer_, "unread"));
        ASSERT_TRUE(WaitReadable(user_, 1000));
        close(user_);
        user_ = -1;
        std::this_thread::sleep_for(milliseconds(200));
    }

    stop_->Signal();
    EXPECT_TRUE(PumpEndsWithin(500));
    out.Restore();
    EXPECT_EQ(out.Out(), kOpenLine + "InOut() START\nDSR is OFF\nDSR is ON\nDSR is OFF\nDSR is ON\n"
                                     "DSR is OFF\nInOut() - STOP\n");
}

TEST_F(PumpTest, PeerCloseDeliversWhatWasSentThenEndsTheConnection)
{
    ConnectTcp();
    user_ = pairs_.OpenUser(1);
    CapturedOutput out;
    StartPump(true);

    const std::string data = Pattern(200000, 2);
    ASSERT_TRUE(WriteAll(peer_, data));
    shutdown(peer_, SHUT_WR);
    std::string got = ReadSome(user_, data.size(), 3000);
    bool ended = PumpEndsWithin(2000);
    out.Restore();
    EXPECT_TRUE(got == data) << "serial side got " << got.size() << " of " << data.size();
    EXPECT_TRUE(ended);
    std::string log = out.Out();
    EXPECT_EQ(log, kOpenLine + "InOut() START\nDSR is ON\nReceived EOF\nEVENT_CLOSE\nInOut() - STOP\n");
}

TEST_F(PumpTest, DetectDtrEndsAtOnceWhenNoProgramHoldsThePort)
{
    ConnectTcp();
    CapturedOutput out;
    auto start = Clock::now();
    StartPump(false);
    EXPECT_TRUE(PumpEndsWithin(500));
    EXPECT_LT(ElapsedMs(start), 500);
    out.Restore();
    EXPECT_EQ(out.Out(), kOpenLine + "InOut() START\nDSR is OFF\nInOut() - STOP\n");
}

TEST_F(PumpTest, DetectDtrSendsTheClosingProgramsLastBytesThenEnds)
{
    ConnectTcp();
    user_ = pairs_.OpenUser(1);
    StartPump(false);
    std::this_thread::sleep_for(milliseconds(100));

    ASSERT_TRUE(WriteAll(user_, "last words"));
    close(user_);
    user_ = -1;
    EXPECT_EQ(ReadSome(peer_, 10, 1500), "last words");
    EXPECT_TRUE(PumpEndsWithin(1500));
}

TEST_F(PumpTest, QueuesStayBoundedWhenOneSideStopsReading)
{
    ConnectTcp();
    user_ = pairs_.OpenUser(1);
    WatchingProtocol& framing = StartPump(true);

    // Neither the serial program nor the peer reads for a while.
    const std::string toUser = Pattern(300000, 3), toPeer = Pattern(300000, 4);
    std::thread peerWriter([&] { WriteAll(peer_, toUser, 10000); });
    std::thread userWriter([&] { WriteAll(user_, toPeer, 10000); });
    std::this_thread::sleep_for(milliseconds(500));

    std::string gotUser, gotPeer;
    std::thread userReader([&] { gotUser = ReadSome(user_, toUser.size(), 3000); });
    gotPeer = ReadSome(peer_, toPeer.size(), 3000);
    userReader.join();
    peerWriter.join();
    userWriter.join();
    EXPECT_TRUE(gotUser == toUser) << "serial side got " << gotUser.size() << " bytes";
    EXPECT_TRUE(gotPeer == toPeer) << "peer got " << gotPeer.size() << " bytes";
    // Reads pause once a queue holds more than 1024 bytes: at most one more
    // 1024-byte read lands on top of that.
    EXPECT_LE(framing.maxToSerial.load(), 2048u);
    EXPECT_LE(framing.maxToNet.load(), 2048u);
}

TEST_F(PumpTest, StopEndsTheConnectionWhileBytesFlow)
{
    ConnectTcp();
    user_ = pairs_.OpenUser(1);
    CapturedOutput out;
    StartPump(true);

    std::atomic<bool> running{true};
    auto flood = [&running](int fd) {
        const std::string chunk = Pattern(4096, 5);
        char sink[65536];
        while (running) {
            (void)!write(fd, chunk.data(), chunk.size());
            (void)!read(fd, sink, sizeof sink);
            pollfd p{fd, POLLIN | POLLOUT, 0};
            poll(&p, 1, 10);
        }
    };
    std::thread a(flood, user_), b(flood, peer_);
    std::this_thread::sleep_for(milliseconds(300));
    auto start = Clock::now();
    stop_->Signal();
    bool ended = PumpEndsWithin(1000);
    long took = ElapsedMs(start);
    running = false;
    a.join();
    b.join();
    EXPECT_TRUE(ended);
    EXPECT_LT(took, 500);  // typically one wait of 50 ms
    out.Restore();
    EXPECT_NE(out.Out().find("InOut() - STOP\n"), std::string::npos);
}

TEST_F(PumpTest, WaitingClientEndsTheConnection)
{
    ConnectTcp();
    int listener = Listen();
    fcntl(listener, F_SETFL, O_NONBLOCK);
    CapturedOutput out;
    StartPump(true, listener);
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_FALSE(PumpEndsWithin(0));

    int newer = ConnectTo(LocalPort(listener));
    EXPECT_TRUE(PumpEndsWithin(500));
    out.Restore();
    EXPECT_NE(out.Out().find("EVENT_ACCEPT\nInOut() - STOP\n"), std::string::npos) << out.Out();
    close(newer);
    close(listener);
}

TEST_F(PumpTest, ResetByThePeerIsLoggedAndEndsTheConnection)
{
    ConnectTcp();
    user_ = pairs_.OpenUser(1);
    CapturedOutput out;
    StartPump(true);
    std::this_thread::sleep_for(milliseconds(100));

    linger hard{1, 0};
    setsockopt(peer_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(peer_);
    peer_ = -1;
    EXPECT_TRUE(PumpEndsWithin(500));
    out.Restore();
    EXPECT_NE(out.Err().find("InOut(): GetOverlappedResult(EVENT_RECEIVED) ERROR Connection reset "
                             "by peer (104)\n"),
              std::string::npos)
        << out.Err();
}

TEST_F(PumpTest, EmptyDatagramIsAnEmptyMessageNotAnEnd)
{
    ConnectUdp();
    user_ = pairs_.OpenUser(1);
    CapturedOutput out;
    StartPump(true);

    ASSERT_EQ(send(peer_, "", 0, 0), 0);
    std::this_thread::sleep_for(milliseconds(100));
    ASSERT_EQ(send(peer_, "abc", 3, 0), 3);
    ASSERT_EQ(send(peer_, "", 0, 0), 0);
    ASSERT_EQ(send(peer_, "def", 3, 0), 3);
    EXPECT_EQ(ReadSome(user_, 6, 1000), "abcdef");

    // Serial to network: each chunk goes out as one datagram.
    ASSERT_TRUE(WriteAll(user_, "xyz"));
    ASSERT_TRUE(WaitReadable(peer_, 1000));
    char buf[2048];
    EXPECT_EQ(recv(peer_, buf, sizeof buf, 0), 3);
    EXPECT_FALSE(PumpEndsWithin(0));

    // A datagram larger than the pump's buffer is not cut silently.
    const std::string big = Pattern(1500, 6);
    ASSERT_EQ(send(peer_, big.data(), big.size(), 0), 1500);
    EXPECT_TRUE(PumpEndsWithin(500));
    out.Restore();
    EXPECT_EQ(out.Out().find("Received EOF"), std::string::npos);
    EXPECT_NE(out.Err().find("InOut(): GetOverlappedResult(EVENT_RECEIVED) ERROR Message too long "
                             "(90)\n"),
              std::string::npos);
    EXPECT_EQ(ReadSome(user_, 1, 100), "");
}

}  // namespace
}  // namespace enginetest
