// Whole bridges through StartBridge and StopBridge: each mode's states, bytes
// both ways, the stop bounds, restarts and the program's end.
#include <gtest/gtest.h>

#include <atomic>

#include "engine_fixtures.h"

namespace enginetest {
namespace {

constexpr int W = STATE_WAITING, CH = STATE_CHECKING, CG = STATE_CONNECTING,
              CD = STATE_CONNECTED, S = STATE_STOPPED;

class BridgeTest : public EngineTest {
protected:
    void TearDown() override
    {
        for (int fd : fds_)
            close(fd);
        EngineTest::TearDown();
    }
    int Keep(int fd)
    {
        fds_.push_back(fd);
        return fd;
    }
    // Both directions at once; each must arrive whole and in order.
    static void ExpectBothWays(int peer, int user, size_t size, unsigned seed)
    {
        const std::string toUser = Pattern(size, seed), toPeer = Pattern(size, seed + 1);
        std::string atPeer;
        std::thread t([&] { atPeer = Exchange(peer, toUser, toPeer.size()); });
        std::string atUser = Exchange(user, toPeer, toUser.size());
        t.join();
        EXPECT_TRUE(atUser == toUser) << "serial side got " << atUser.size() << " of " << size;
        EXPECT_TRUE(atPeer == toPeer) << "peer got " << atPeer.size() << " of " << size;
    }

    std::vector<int> fds_;
};

TEST_F(BridgeTest, TcpClientCarriesBytesAndReconnectsWhenThePeerComesBack)
{
    int listener = Listen();
    const uint16_t port = LocalPort(listener);
    PortRecord* r = Record(2, MODE_TCPCLIENT);
    SetDst(r, "127.0.0.1", port);
    int user = Keep(pairs_.OpenUser(2));
    CapturedOutput out;

    auto start = Clock::now();
    ASSERT_TRUE(StartBridge(r));
    int peer = AcceptWithin(listener, 6000);
    ASSERT_GE(peer, 0);
    long firstAttempt = ElapsedMs(start);
    ASSERT_TRUE(target_.WaitFor(r, CD));
    ExpectBothWays(peer, user, 2 << 20, 10);

    // The peer goes away, and for one attempt nobody listens.
    close(peer);
    ASSERT_TRUE(target_.WaitFor(r, W, 2));
    close(listener);
    ASSERT_TRUE(target_.WaitFor(r, CG, 2));
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(r->sock.load(), kInvalidSocket);
    listener = Keep(Listen(port));
    peer = Keep(AcceptWithin(listener, 6000));
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(target_.WaitFor(r, CD, 2));
    ExpectBothWays(peer, user, 64 << 10, 20);

    EXPECT_TRUE(StopBridge(r));
    out.Restore();
    // A wait of 2000 ms and a pause of 1000 ms before the first attempt.
    EXPECT_GE(firstAttempt, 2900);
    EXPECT_LT(firstAttempt, 4500);
    EXPECT_EQ(target_.States(r), (std::vector<int32_t>{W, CH, CG, CD, W, CH, CG, CH, CG, CD, W, S}));
    EXPECT_EQ(r->state.load(), S);
    char p[16];
    snprintf(p, sizeof p, "%u", port);
    const std::string connection = std::string("Connect(\"127.0.0.1\", \"") + p +
                                   "\") - OK\n"
                                   "OpenDevice(\"\\\\.\\ZPVB2\", baud=19200, data=8, parity=no, "
                                   "stop=1) - OK\n"
                                   "InOut() START\nDSR is ON\nReceived EOF\nEVENT_CLOSE\n"
                                   "InOut() - STOP\nDisconnect() - OK\n";
    EXPECT_EQ(out.Out().substr(0, connection.size()), connection);
    EXPECT_EQ(out.Err(), "");
}

TEST_F(BridgeTest, TcpServerServesTheNewestClient)
{
    const uint16_t port = FreePort();
    PortRecord* r = Record(3, MODE_TCPSERVER);
    SetLoc(r, "127.0.0.1", port);
    int user = Keep(pairs_.OpenUser(3));
    CapturedOutput out;

    // The user interface reads sock and asks for its addresses at any time.
    std::atomic<bool> watching{true};
    std::thread watcher([&] {
        while (watching) {
            int s = r->sock.load();
            sockaddr_in a{};
            socklen_t len = sizeof a;
            if (s >= 0)
                getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
            std::this_thread::sleep_for(milliseconds(1));
        }
    });

    ASSERT_TRUE(StartBridge(r));
    ASSERT_TRUE(target_.WaitFor(r, W));
    EXPECT_EQ(LocalPort(r->sock.load()), port);  // the listening socket between clients
    int first = Keep(ConnectTo(port));
    ASSERT_TRUE(target_.WaitFor(r, CD));
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ASSERT_EQ(getpeername(r->sock.load(), reinterpret_cast<sockaddr*>(&a), &len), 0);
    EXPECT_EQ(ntohs(a.sin_port), LocalPort(first));  // the data socket while connected
    ExpectBothWays(first, user, 2 << 20, 30);

    int second = Keep(ConnectTo(port));
    EXPECT_EQ(ReadSome(first, 1, 3000), "");  // the first client is let go
    ASSERT_TRUE(target_.WaitFor(r, CD, 2));
    ExpectBothWays(second, user, 4096, 40);

    EXPECT_TRUE(StopBridge(r));
    watching = false;
    watcher.join();
    out.Restore();
    EXPECT_EQ(target_.States(r), (std::vector<int32_t>{W, CH, CD, W, CH, CD, S}));
    EXPECT_EQ(r->sock.load(), kInvalidSocket);
    const std::string log = out.Out();
    EXPECT_NE(log.find("Accept(127.0.0.1) - OK\nOpenDevice("), std::string::npos) << log;
    EXPECT_NE(log.find("EVENT_ACCEPT\nInOut() - STOP\nDisconnect() - OK\n"), std::string::npos)
        << log;
}

TEST_F(BridgeTest, TcpServerLetsOnlyTheConfiguredPeerInAndDetectDtrEndsItsConnection)
{
    const uint16_t port = FreePort();
    const uint16_t allowedSource = FreePort();
    PortRecord* r = Record(4, MODE_TCPSERVER);
    SetLoc(r, "0.0.0.0", port);
    SetDst(r, "127.0.0.2", allowedSource);
    r->chkDTR = 1;
    int user = pairs_.OpenUser(4);
    ASSERT_TRUE(StartBridge(r));
    ASSERT_TRUE(target_.WaitFor(r, W));

    int wrongAddr = Keep(ConnectTo(port, allowedSource, "127.0.0.1"));
    EXPECT_EQ(ReadSome(wrongAddr, 1, 2000), "");
    ASSERT_TRUE(target_.WaitFor(r, W, 2));
    int wrongPort = Keep(ConnectTo(port, 0, "127.0.0.2"));
    EXPECT_EQ(ReadSome(wrongPort, 1, 2000), "");
    ASSERT_TRUE(target_.WaitFor(r, W, 3));

    int good = Keep(ConnectTo(port, allowedSource, "127.0.0.2"));
    ASSERT_GE(good, 0);
    ASSERT_TRUE(target_.WaitFor(r, CD));
    EXPECT_EQ(ReadSome(good, 1, 200), "");  // still connected: nothing, no end

    // Detect DTR: the program closing its port ends the connection at once.
    close(user);
    auto start = Clock::now();
    EXPECT_EQ(ReadSome(good, 1, 2000), "");
    EXPECT_LT(ElapsedMs(start), 500);
    ASSERT_TRUE(target_.WaitFor(r, W, 4));
    EXPECT_TRUE(StopBridge(r));
    // Rejected clients post nothing of their own.
    EXPECT_EQ(target_.States(r), (std::vector<int32_t>{W, W, W, CH, CD, W, S}));
}

TEST_F(BridgeTest, UdpCarriesDatagramsBothWaysIncludingEmptyOnes)
{
    int peer = Keep(UdpSocket());
    PortRecord* r = Record(5, MODE_UDP);
    SetDst(r, "127.0.0.1", LocalPort(peer));
    SetLoc(r, "127.0.0.1", 0);
    int user = Keep(pairs_.OpenUser(5));
    CapturedOutput out;

    auto start = Clock::now();
    ASSERT_TRUE(StartBridge(r));
    ASSERT_TRUE(target_.WaitFor(r, CD));
    EXPECT_GE(ElapsedMs(start), 1900);  // a 2000 ms wait, and no pause
    EXPECT_LT(ElapsedMs(start), 3000);
    sockaddr_in bridge = Loopback(LocalPort(r->sock.load()));
    ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&bridge), sizeof bridge), 0);
    std::this_thread::sleep_for(milliseconds(100));

    std::string sent;
    for (int i = 0; i < 40; ++i) {
        std::string d = Pattern(1000, 50 + i);
        ASSERT_EQ(send(peer, "", 0, 0), 0);
        ASSERT_EQ(send(peer, d.data(), d.size(), 0), 1000);
        sent += d;
        std::this_thread::sleep_for(milliseconds(2));
    }
    EXPECT_TRUE(ReadSome(user, sent.size(), 2000) == sent);

    const std::string up = Pattern(40000, 99);
    ASSERT_TRUE(WriteAll(user, up));
    std::string got;
    char buf[2048];
    while (got.size() < up.size() && WaitReadable(peer, 1000)) {
        ssize_t n = recv(peer, buf, sizeof buf, 0);
        ASSERT_GT(n, 0);
        EXPECT_LE(n, 1024);  // one pump buffer per datagram
        got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_TRUE(got == up) << "peer got " << got.size() << " of " << up.size();

    EXPECT_TRUE(StopBridge(r));
    out.Restore();
    EXPECT_EQ(target_.States(r), (std::vector<int32_t>{W, CH, CD, W, S}));
    EXPECT_EQ(out.Err(), "");
    EXPECT_NE(out.Out().find("InOut() - STOP\nDisconnect() - OK\n"), std::string::npos);
}

TEST_F(BridgeTest, StopIsSeenWhileConnectingAcceptingAndPumping)
{
    // A listener whose queue is full drops new connection requests, so a
    // connection attempt to it hangs.
    int full = Keep(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in any = Loopback(0);
    bind(full, reinterpret_cast<sockaddr*>(&any), sizeof any);
    listen(full, 0);
    sockaddr_in fullAddr = Loopback(LocalPort(full));
    for (int i = 0; i < 3; ++i) {
        int filler = Keep(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        connect(filler, reinterpret_cast<sockaddr*>(&fullAddr), sizeof fullAddr);
    }
    std::this_thread::sleep_for(milliseconds(100));

    PortRecord* client = Record(7, MODE_TCPCLIENT);
    SetDst(client, "127.0.0.1", LocalPort(full));
    PortRecord* server = Record(8, MODE_TCPSERVER);
    const uint16_t port = FreePort();
    SetLoc(server, "127.0.0.1", port);
    CapturedOutput out;
    ASSERT_TRUE(StartBridge(client));
    ASSERT_TRUE(StartBridge(server));

    ASSERT_TRUE(target_.WaitFor(server, W));
    std::this_thread::sleep_for(milliseconds(100));
    auto start = Clock::now();
    EXPECT_TRUE(StopBridge(server));  // in the accept wait
    EXPECT_LT(ElapsedMs(start), 500);

    ASSERT_TRUE(target_.WaitFor(client, CG));
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(out.Out().find("Connect("), std::string::npos);  // still connecting
    start = Clock::now();
    EXPECT_TRUE(StopBridge(client));
    EXPECT_LT(ElapsedMs(start), 500);

    ASSERT_TRUE(StartBridge(server));
    ASSERT_TRUE(target_.WaitFor(server, W, 2));
    int peer = Keep(ConnectTo(port));
    ASSERT_TRUE(target_.WaitFor(server, CD));
    std::this_thread::sleep_for(milliseconds(100));
    start = Clock::now();
    EXPECT_TRUE(StopBridge(server));  // in the pump
    EXPECT_LT(ElapsedMs(start), 500);
    EXPECT_EQ(ReadSome(peer, 1, 1000), "");
    out.Restore();

    EXPECT_EQ(target_.States(client), (std::vector<int32_t>{W, CH, CG, S}));
    EXPECT_EQ(target_.States(server), (std::vector<int32_t>{W, S, W, CH, CD, S}));
}

// Empty slots, unknown modes and servers that cannot bind run no loop and
// post no state.
TEST_F(BridgeTest, RecordsThatCannotRunPostNothing)
{
    EXPECT_FALSE(StartBridge(&PortTable[9]));  // number -1
    EXPECT_FALSE(StopBridge(&PortTable[9]));
    EXPECT_FALSE(PortTable[9].hThread);

    PortRecord* r = Record(2, MODE_TCPCLIENT);
    EXPECT_FALSE(StopBridge(r));  // neither event nor thread
    r->hStopEvent = StopEvent::Create();
    EXPECT_TRUE(StopBridge(r));  // an event alone is released
    EXPECT_FALSE(r->hStopEvent);

    r->mode = 3;
    r->state = STATE_CONNECTED;
    ASSERT_TRUE(StartBridge(r));
    EXPECT_TRUE(r->hThread->WaitFor(1000));  // ends at once on its own
    EXPECT_TRUE(StopBridge(r));
    EXPECT_EQ(r->state.load(), STATE_CONNECTED);

    int taken = Keep(Listen());
    PortRecord* server = Record(3, MODE_TCPSERVER);
    SetLoc(server, "127.0.0.1", LocalPort(taken));
    CapturedOutput out;
    ASSERT_TRUE(StartBridge(server));
    EXPECT_TRUE(server->hThread->WaitFor(1000));
    EXPECT_TRUE(StopBridge(server));
    out.Restore();
    EXPECT_EQ(out.Err(), "Socket(): bind(\"127.0.0.1\", \"" + std::to_string(LocalPort(taken)) +
                             "\") ERROR Address already in use (98)\n");
    EXPECT_EQ(server->state.load(), STATE_STOPPED);
    EXPECT_EQ(target_.PostCount(), 0u);
}

TEST_F(BridgeTest, MissingBridgeSideEndsEachConnectionAndTheLoopGoesOn)
{
    const uint16_t port = FreePort();
    PortRecord* r = Record(20, MODE_TCPSERVER);  // no pair 20
    SetLoc(r, "127.0.0.1", port);
    CapturedOutput out;
    ASSERT_TRUE(StartBridge(r));
    ASSERT_TRUE(target_.WaitFor(r, W));
    int client = Keep(ConnectTo(port));
    EXPECT_EQ(ReadSome(client, 1, 2000), "");
    ASSERT_TRUE(target_.WaitFor(r, W, 2));
    EXPECT_TRUE(StopBridge(r));
    out.Restore();
    EXPECT_EQ(out.Err(),
              "OpenDevice(): CreateFile(\"\\\\.\\ZPVB20\") ERROR No such file or directory (2)\n");
    EXPECT_EQ(target_.States(r), (std::vector<int32_t>{W, CH, CD, W, S}));
}

// A thread that outlives StopBridge's 2000 ms (here: its state target is
// slow once) must not run beside its successor, nor overwrite its state.
TEST_F(BridgeTest, ForgottenThreadFinishesBeforeTheRecordStartsAgain)
{
    PortRecord* r = Record(2, MODE_TCPSERVER);
    SetLoc(r, "127.0.0.1", FreePort());
    std::atomic<bool> slowOnce{true};
    target_.onPost = [&](PortRecord*, int32_t state) {
        if (state == W && slowOnce.exchange(false))
            std::this_thread::sleep_for(milliseconds(2600));
    };
    ASSERT_TRUE(StartBridge(r));
    ASSERT_TRUE(target_.WaitFor(r, W));  // now inside the slow post

    auto start = Clock::now();
    EXPECT_TRUE(StopBridge(r));
    EXPECT_GE(ElapsedMs(start), 1900);  // gave up waiting
    EXPECT_FALSE(r->hThread);

    start = Clock::now();
    ASSERT_TRUE(StartBridge(r));
    EXPECT_GE(ElapsedMs(start), 300);  // waited for the old thread's end
    // The new thread can listen on the port: the old one has let it go.
    ASSERT_TRUE(target_.WaitFor(r, W, 2));
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(r->state.load(), W);  // the new thread's state stands
    EXPECT_EQ(target_.States(r), (std::vector<int32_t>{W, S, W}));

    // Start on a running record restarts it with a fresh stop event; and at
    // the program's end a forgotten thread is waited for too.
    auto oldEvent = r->hStopEvent;
    slowOnce = true;
    ASSERT_TRUE(StartBridge(r));  // the new thread's first "Waiting" is slow
    EXPECT_NE(r->hStopEvent, oldEvent);
    EXPECT_TRUE(oldEvent->IsSignalled());
    EXPECT_FALSE(r->hStopEvent->IsSignalled());
    ASSERT_TRUE(target_.WaitFor(r, W, 3));
    EXPECT_EQ(target_.States(r), (std::vector<int32_t>{W, S, W, S, W}));
    EXPECT_TRUE(StopBridge(r));
    JoinAllBridges();
    EXPECT_EQ(r->state.load(), S);
    EXPECT_EQ(target_.States(r).back(), S);
}

// Idle bridges of every kind neither spin nor, once stopped, leave a
// descriptor behind.
TEST_F(BridgeTest, IdleBridgesCostAlmostNoCpuAndLeaveNoDescriptor)
{
    int listener = Keep(Listen());
    int udpPeer = Keep(UdpSocket());
    const uint16_t serverPort = FreePort();
    CapturedOutput out;
    const int before = CountOpenFds();

    PortRecord* refused = Record(2, MODE_TCPCLIENT);  // cycles against a closed port
    SetDst(refused, "127.0.0.1", FreePort());
    PortRecord* server = Record(3, MODE_TCPSERVER);
    SetLoc(server, "127.0.0.1", serverPort);
    PortRecord* udp = Record(4, MODE_UDP);  // connected, nobody on the port
    SetDst(udp, "127.0.0.1", LocalPort(udpPeer));
    PortRecord* client = Record(5, MODE_TCPCLIENT);
    SetDst(client, "127.0.0.1", LocalPort(listener));
    const std::vector<PortRecord*> all{refused, server, udp, client};
    for (PortRecord* r : all)
        ASSERT_TRUE(StartBridge(r));
    int accepted = AcceptWithin(listener, 6000);
    ASSERT_TRUE(target_.WaitFor(udp, CD));
    ASSERT_TRUE(target_.WaitFor(client, CD));

    // Waiting for a client, pausing between attempts, connected and quiet.
    double cpu = ProcessCpuSeconds();
    std::this_thread::sleep_for(milliseconds(2000));
    cpu = ProcessCpuSeconds() - cpu;
    EXPECT_LT(cpu, 0.1) << "four idle bridges used " << cpu << " s of CPU in 2 s";
    RecordProperty("idle_bridges_cpu_ms_per_s", std::to_string(cpu * 500.0));

    int connected = ConnectTo(serverPort);
    ASSERT_TRUE(target_.WaitFor(server, CD));
    EXPECT_GT(CountOpenFds(), before + 5);
    for (PortRecord* r : all)
        EXPECT_TRUE(StopBridge(r));
    close(connected);
    close(accepted);
    JoinAllBridges();
    EXPECT_EQ(CountOpenFds(), before);
}

}  // namespace
}  // namespace enginetest
