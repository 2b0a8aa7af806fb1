// The pump on a real pseudo-terminal and loopback socket, and whole bridges
// through StartBridge and StopBridge, the test playing the serial programs
// and the peers.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <algorithm>
#include <sstream>

#include "engine/bridge.h"
#include "engine/protocol.h"
#include "engine/pump.h"
#include "engine/serial_side.h"
#include "engine/stop_event.h"
#include "engine/trace.h"
#include "engine_fixtures.h"

namespace enginetest {
namespace {

constexpr int W = STATE_WAITING, CH = STATE_CHECKING, CG = STATE_CONNECTING,
              CD = STATE_CONNECTED, RG = STATE_REGISTERED, S = STATE_STOPPED;

// Transparent with a raw TCP link's limits; counts its passes and watches
// its queues.
class WatchingProtocol : public Protocol {
public:
    WatchingProtocol() : Protocol(64 * 1024, 64 * 1024) {}
    int FromSerial(const unsigned char* b, int n) override { return Watch(Protocol::FromSerial(b, n)); }
    int FromNet(const unsigned char* b, int n) override { return Watch(Protocol::FromNet(b, n)); }
    bool Poll() override { return ++polls, Protocol::Poll(); }
    int Watch(int n) { return maxQueued = std::max({maxQueued.load(), toNet.Count(), toSerial.Count()}), n; }
    std::atomic<int> polls{0};
    std::atomic<uint32_t> maxQueued{0};
};

class PumpTest : public EngineTest {
protected:
    void TearDown() override
    {
        stop_->Signal();
        if (pump_.valid())
            pump_.wait();
        EngineTest::TearDown();
    }
    // A connected socket for the bridge, and its peer; a user side opened
    // or not; the pump started.
    int Start(int type, bool open, bool detectDtr = false)
    {
        int listener = Bound(type);
        sock_ = Keep(Bound(type, 0, "127.0.0.1", LocalPort(listener)));
        peer_ = Keep(type == SOCK_STREAM ? AcceptWithin(listener, 1000) : dup(listener));
        sockaddr_in b = Loopback(LocalPort(sock_));
        if (close(listener), type == SOCK_DGRAM)
            connect(peer_, reinterpret_cast<sockaddr*>(&b), sizeof b);
        fcntl(sock_, F_SETFL, O_NONBLOCK);
        int user = open ? Keep(OpenUser(1)) : -1;
        device_.Close(), device_ = OpenDevice(Record(1, MODE_TCPCLIENT, "0.0.0.0", 0));
        pump_ = std::async(std::launch::async, [=, this] {
            InOut(&PortTable[1], device_, sock_, framing_, detectDtr, -1, *stop_);
        });
        return user;
    }
    bool EndsWithin(int ms) { return pump_.wait_for(milliseconds(ms)) == std::future_status::ready; }

    std::shared_ptr<StopEvent> stop_ = StopEvent::Create();
    WatchingProtocol framing_;
    BridgeDevice device_;
    std::future<void> pump_;
    int sock_ = -1, peer_ = -1;
};

TEST_F(PumpTest, LargePiecesArriveExactWithSlowReadersAnIdleLinkNeverWakesAndACloseDrains)
{
    int user = Start(SOCK_STREAM, true);
    // Neither reader takes anything for a while: the writers are held back,
    // the queues stay bounded, and nothing is lost or reordered.
    ExpectBothWays(peer_, user, 4 << 20, 1, 700);
    EXPECT_LE(framing_.maxQueued.load(), 2u * 64 * 1024);
    SleepMs(100);
    int polls = framing_.polls;
    SleepMs(1500);
    EXPECT_EQ(framing_.polls, polls);
    // What the peer sent before it closed all reaches the program, which
    // takes longer than a second for the last of it.
    const std::string data = Pattern(100000, 2);
    std::thread writer([&] { WriteAll(peer_, data), shutdown(peer_, SHUT_WR); });
    std::string got;
    for (std::string piece = "-"; got.size() < data.size() && !piece.empty(); SleepMs(150))
        got += piece = ReadSome(user, std::min<size_t>(8192, data.size() - got.size()));
    EXPECT_TRUE(got == data) << got.size();
    writer.join();
    EXPECT_TRUE(EndsWithin(2000));
    EXPECT_EQ(Out(), "COM1: open(\"ZPVB1\", baud=19200, data=8, parity=no, stop=1) - OK\n"
                     "COM1: InOut() START\nCOM1: DSR is ON\nCOM1: Received EOF\nCOM1: EVENT_CLOSE\n"
                     "COM1: InOut() - STOP\n");
}

// What a program wrote and no connection took, and what waited for a
// program that has gone, are thrown away when the pump finds the port
// closed; so is whatever the peer sends while nobody holds it.
TEST_F(PumpTest, NoBytesOutliveTheOpenOfThePortTheyBelongTo)
{
    int early = OpenUser(1);
    ASSERT_TRUE(WriteAll(early, "OLD"));
    ASSERT_TRUE(WriteAll(OpenDevice(Record(1, MODE_TCPCLIENT, "0.0.0.0", 0)).Fd(), "STALE"));
    close(early);
    Start(SOCK_STREAM, false);
    ASSERT_TRUE(WriteAll(peer_, Pattern(20000, 3)));  // more than a terminal keeps
    SleepMs(300);
    for (int program = 0; program < 2; ++program) {
        int user = OpenUser(1);
        SleepMs(150);
        EXPECT_EQ(ReadSome(user, 100, 100), "") << program;
        ASSERT_TRUE(WriteAll(peer_, "fresh"));
        EXPECT_EQ(ReadSome(user, 5, 1000), "fresh") << program;
        ASSERT_TRUE(WriteAll(peer_, "unread") && WaitReadable(user, 1000));
        close(user);
        SleepMs(150);
    }
    EXPECT_EQ(ReadSome(peer_, 100, 200), "");
}

TEST_F(PumpTest, ConnectionEndsWithTheProgramAfterItsLastBytesAndOnABrokenSocket)
{
    int user = Start(SOCK_STREAM, true, true);
    SleepMs(100);
    ASSERT_TRUE(WriteAll(user, "last words"));
    dup2(sock_, user);  // closes the program's side
    EXPECT_EQ(ReadSome(peer_, 10, 1500), "last words");
    EXPECT_TRUE(EndsWithin(1500));
    // A socket that can send no more ends the connection, never the program.
    user = Start(SOCK_STREAM, true);
    shutdown(sock_, SHUT_WR);
    ASSERT_TRUE(WriteAll(user, "x"));
    EXPECT_TRUE(EndsWithin(1000));
    EXPECT_NE(Err().find("COM1: InOut(): send() ERROR Broken pipe (32)\n"), std::string::npos);
}

TEST_F(PumpTest, DatagramsStayWithin1024BytesAndEmptyOnesAreNoEnd)
{
    int user = Start(SOCK_DGRAM, true);
    ASSERT_EQ(send(peer_, "", 0, 0) + send(peer_, "abc", 3, 0), 3);
    EXPECT_EQ(ReadSome(user, 3, 1000), "abc");
    const std::string up = Pattern(40000, 4);
    ASSERT_TRUE(WriteAll(user, up));
    std::string got;
    char buf[70000];
    for (ssize_t n; got.size() < up.size() && WaitReadable(peer_, 1000); got.append(buf, std::max<ssize_t>(n, 0)))
        EXPECT_LE(n = recv(peer_, buf, sizeof buf, 0), 1024);
    EXPECT_TRUE(got == up) << got.size();
    ASSERT_EQ(send(peer_, buf, 1025, 0), 1025);  // never cut silently
    EXPECT_TRUE(EndsWithin(500));
    EXPECT_EQ(Err(), "COM1: InOut(): recv() ERROR Message too long (90)\n");
}

// A program that never reads keeps the network's bytes waiting at its
// terminal; what it writes still goes out, and a stop ends the connection
// at once, also in the drain after the peer's close (which may take 1 s).
TEST_F(PumpTest, AProgramThatDoesNotReadStillSendsAndAStopEndsEveryWait)
{
    int user = Start(SOCK_STREAM, true);
    ASSERT_TRUE(WriteAll(peer_, Pattern(60000, 6)));
    const std::string up = Pattern(200000, 7);
    std::thread writer([&] { EXPECT_TRUE(WriteAll(user, up, 5000)); });
    EXPECT_TRUE(ReadSome(peer_, up.size(), 5000) == up);
    writer.join();
    stop_->Signal();
    EXPECT_TRUE(EndsWithin(800));

    stop_ = StopEvent::Create();
    Start(SOCK_STREAM, true);
    ASSERT_TRUE(WriteAll(peer_, Pattern(60000, 6)));
    shutdown(peer_, SHUT_WR);
    SleepMs(300);
    stop_->Signal();
    EXPECT_TRUE(EndsWithin(800));
}

class BridgeTest : public EngineTest {};

TEST_F(BridgeTest, TcpClientTellsARefusalOnceCarriesBytesReconnectsAndStopsInItsPause)
{
    // A host name is looked up at the connect.
    const uint16_t port = FreePort();
    PortRecord* r = Record(2, MODE_TCPCLIENT, "localhost", port);
    int user = Keep(OpenUser(2));
    NoteFailure(r, EADDRNOTAVAIL, "the last run's");
    ASSERT_TRUE(StartBridge(r));
    EXPECT_EQ(LastFailureText(r), "");  // a start is not judged by the last run; its first try is 2 s away
    ASSERT_TRUE(WaitFor(r, CG));
    const std::string refused = "connect localhost:" + std::to_string(port) + ": Connection refused";
    for (int i = 0; i < 100 && r->lastError.load() == 0; ++i)
        SleepMs(50);
    EXPECT_EQ(LastFailureText(r) + "\n", Err().substr(6));  // COM2: ...
    int listener = Bound(SOCK_STREAM, port), peer = AcceptWithin(listener, 6000);
    ASSERT_TRUE(WaitFor(r, CD));
    ExpectBothWays(peer, user, 1 << 20, 10);
    EXPECT_EQ(r->bytesIn + r->bytesOut, 2u << 20);  // what the port list shows
    close(peer), close(listener);
    ASSERT_TRUE(WaitFor(r, CH, 3));
    SleepMs(200);
    auto start = Clock::now();
    EXPECT_TRUE(StopBridge(r));  // inside the 1 s pause before a connect
    EXPECT_LT(ElapsedMs(start), 800);
    EXPECT_EQ(States(r), (std::vector<int32_t>{W, CH, CG, CH, CG, CD, W, CH, S}));
    EXPECT_EQ(Err(), "COM2: " + refused + "\nCOM2: connected to localhost:" + std::to_string(port) +
                         " (cleared after 1 failures: " + refused + ")\n");
    EXPECT_EQ(LastFailureText(r), "");
}

TEST_F(BridgeTest, TcpServerServesTheNewestAllowedClientRefusesStrangersAndDetectDtrEndsIt)
{
    const uint16_t port = FreePort();
    PortRecord* r = Record(3, MODE_TCPSERVER, "127.0.0.2", 0, port);
    r->detectDtr = 1;
    int user = OpenUser(3);
    std::atomic<bool> watching{true};
    std::thread watcher([&] {  // the user interface asks for sock's addresses any time
        for (sockaddr_in a{}; watching; SleepMs(1))
            if (socklen_t len = sizeof a; r->sock.load() >= 0)
                getsockname(r->sock.load(), reinterpret_cast<sockaddr*>(&a), &len);
    });
    ASSERT_TRUE(StartBridge(r));
    ASSERT_TRUE(WaitFor(r, W));
    EXPECT_EQ(ReadSome(Keep(ConnectTo(port)), 1, 2000), "");  // not the configured peer
    int first = Keep(ConnectTo(port, "127.0.0.2"));
    ASSERT_TRUE(WaitFor(r, CD));
    ExpectBothWays(first, user, 1 << 20, 30);
    EXPECT_EQ(ReadSome(Keep(ConnectTo(port)), 1, 1500), "");  // a stranger cuts nothing off
    ExpectBothWays(first, user, 4096, 35);
    int second = Keep(ConnectTo(port, "127.0.0.2"));
    EXPECT_EQ(ReadSome(first, 1, 3000), "");  // the newest client wins
    ASSERT_TRUE(WaitFor(r, CD, 2));
    ExpectBothWays(second, user, 4096, 40);
    close(user);  // Detect DTR
    EXPECT_EQ(ReadSome(second, 1, 2000), "");
    EXPECT_TRUE(StopBridge(r));
    watching = false;
    watcher.join();
    EXPECT_EQ(States(r), (std::vector<int32_t>{W, W, CH, CD, W, CH, CD, S}));
}

std::string Frame(char type, const std::string& payload)  // short ones, named GW1
{
    return std::string{'\x7E', type, '\0', static_cast<char>(payload.size() + 4)} + std::string("GW1", 4) + payload + '\x7E';
}

TEST_F(BridgeTest, CustomProtocolRegistersAndFramesBothWays)
{
    const uint16_t port = FreePort();
    PortRecord* r = Record(4, MODE_TCPSERVER, "0.0.0.0", 0, port);
    r->useCustom = 1, strcpy(r->devName, "GW1");
    int user = Keep(OpenUser(4));
    ASSERT_TRUE(StartBridge(r));
    ASSERT_TRUE(WaitFor(r, W));
    int peer = Keep(ConnectTo(port));
    ASSERT_TRUE(WriteAll(user, "hello"));  // framed before any registration
    EXPECT_EQ(ReadSome(peer, 14), Frame(4, "hello"));
    ASSERT_TRUE(WriteAll(peer, Frame(4, "early") + Frame(0, "")));  // data before it is dropped
    EXPECT_EQ(ReadSome(peer, 10), Frame(3, std::string(1, '\0')));
    ASSERT_TRUE(WriteAll(peer, Frame(4, std::string("a\x7E\x00z", 4))));
    EXPECT_EQ(ReadSome(user, 4), std::string("a\x7E\x00z", 4));
    std::string foreign = Frame(4, "x");
    foreign[6] = '2';  // another device's
    ASSERT_TRUE(WriteAll(peer, foreign));
    ASSERT_TRUE(WaitFor(r, W, 2));
    EXPECT_TRUE(StopBridge(r));
    EXPECT_EQ(States(r), (std::vector<int32_t>{W, CH, CD, RG, W, S}));
}

// Between connections too: bytes a program wrote and closed on never reach
// the next peer, and bytes for a program that closed never reach the next.
TEST_F(BridgeTest, NoBytesOutliveTheOpenTheyBelongToBetweenConnections)
{
    const uint16_t port = FreePort();
    PortRecord* client = Record(6, MODE_TCPCLIENT, "127.0.0.1", port);
    PortRecord* server = Record(7, MODE_TCPSERVER, "0.0.0.0", 0, FreePort());
    ASSERT_TRUE(StartBridge(client) && StartBridge(server));
    int writer = OpenUser(6);
    ASSERT_TRUE(WriteAll(writer, "OLD"));  // nothing to connect to yet
    close(writer);
    int reader = OpenUser(7);  // holds the port, reads nothing
    ASSERT_TRUE(WaitFor(server, W));
    int sender = ConnectTo(server->locPort);
    ASSERT_TRUE(WriteAll(sender, "FOR-FIRST"));
    close(sender);
    ASSERT_TRUE(WaitFor(server, W, 2));
    close(reader);  // while no connection runs
    SleepMs(100);
    EXPECT_EQ(ReadSome(Keep(OpenUser(7)), 9, 300), "");

    int listener = Keep(Bound(SOCK_STREAM, port));
    int peer = Keep(AcceptWithin(listener, 6000));
    int user = Keep(OpenUser(6));
    ASSERT_TRUE(WriteAll(user, "NEW"));
    EXPECT_EQ(ReadSome(peer, 6, 1000), "NEW");
}

// 0.0.0.0 names no peer: Linux would connect to whatever listens here.
TEST_F(BridgeTest, ZeroAddressFailsLikeAnyConnect)
{
    int tcp = Keep(Bound(SOCK_STREAM, 0, "0.0.0.0")), udp = Keep(Bound(SOCK_DGRAM, 0, "0.0.0.0"));
    PortRecord* client = Record(2, MODE_TCPCLIENT, "0.0.0.0", LocalPort(tcp));
    PortRecord* dgram = Record(3, MODE_UDP, "0.0.0.0", LocalPort(udp));

    ASSERT_TRUE(StartBridge(client) && StartBridge(dgram));
    ASSERT_TRUE(WriteAll(Keep(OpenUser(2)), "x") && WriteAll(Keep(OpenUser(3)), "x"));
    ASSERT_TRUE(WaitFor(client, CG, 2));
    EXPECT_EQ(AcceptWithin(tcp, 100), -1);
    EXPECT_FALSE(WaitReadable(udp, 100));
    JoinAllBridges();
    EXPECT_EQ(Out().find("connect("), std::string::npos);
    EXPECT_EQ(client->lastError.load(), EADDRNOTAVAIL);
    for (int fd : {tcp, udp})
        EXPECT_NE(Err().find(": connect 0.0.0.0:" + std::to_string(LocalPort(fd)) + ": Cannot assign"), std::string::npos);
}

// The bytes of one direction in a trace: lines of another form are left out.
std::string TracedBytes(const std::string& text, const std::string& direction)
{
    std::string bytes, l;
    for (std::istringstream in(text); std::getline(in, l);) {
        char dir[16] = {};
        unsigned count = 0, byte = 0;
        int at = 0;  // after "2026-12-07T18:00:00.123456Z COM1 net>serial 3"
        if (l.size() < 28 || l[10] != 'T' || l[19] != '.' || l[26] != 'Z' ||
            sscanf(l.c_str() + 27, " COM1 %15s %u%n", dir, &count, &at) != 2 || direction != dir)
            continue;
        const size_t hexEnd = 27 + at + 3 * count;
        EXPECT_TRUE(count >= 1 && count <= 16 && l.compare(hexEnd, 2, " |") == 0 && l.back() == '|') << l;
        std::istringstream hex(l.substr(27 + at, 3 * count));
        while (hex >> std::hex >> byte)
            bytes.push_back(static_cast<char>(byte));
    }
    return bytes;
}

TEST_F(PumpTest, TraceShowsEveryByteEachWayInOrderUntilOffAndItsFileRotatesAtTheCap)
{
    const std::string path = testing::TempDir() + "/vr-trace-" + std::to_string(getpid()), older = path + ".1";
    std::string error;
    ASSERT_TRUE(PortTable[1].trace.StartFile(path, TraceFile::kDefaultCap, &error)) << error;
    int user = Start(SOCK_STREAM, true);
    ExpectBothWays(peer_, user, 50000, 7);
    // Traced before it is sent, so the pump is past every earlier byte.
    ASSERT_TRUE(WriteAll(user, "x") && ReadSome(peer_, 1) == "x");
    PortTable[1].trace.StopFile();  // off: written and closed
    ASSERT_TRUE(WriteAll(user, "after") && ReadSome(peer_, 5) == "after");
    const std::string text = FileText(path);
    EXPECT_TRUE(TracedBytes(text, "net>serial") == Pattern(50000, 7));
    EXPECT_TRUE(TracedBytes(text, "serial>net") == Pattern(50000, 8) + "x");
    // A small cap: whole lines in each file, none above the cap, none lost.
    unlink(path.c_str());
    std::string lines;
    for (int i = 0; i < 30; ++i)
        FormatTraceData(&lines, 0, "COM1", TraceDirection::kSerialToNet,
                        reinterpret_cast<const unsigned char*>(Pattern(10, i).data()), 10);
    TraceFile::Open(path, 1000, &error)->Take(lines);
    const std::string first = FileText(older), last = FileText(path);
    EXPECT_TRUE(first.size() <= 1000 && first.size() > 900 && last.size() <= 1000) << first.size() << " " << last.size();
    EXPECT_EQ(lines.substr(lines.size() - first.size() - last.size()), first + last);
    unlink(path.c_str()), unlink(older.c_str());
}

// A thread that outlives StopBridge's 2000 ms (its state target is slow
// once) must not run beside its successor, nor overwrite its state.
TEST_F(BridgeTest, ForgottenThreadFinishesBeforeTheRecordStartsAgain)
{
    PortRecord* r = Record(2, MODE_TCPSERVER, "0.0.0.0", 0, FreePort());
    std::atomic<bool> slowOnce{true};
    onPost_ = [&](int32_t state) {
        if (state == W && slowOnce.exchange(false))
            SleepMs(2600);
    };
    ASSERT_TRUE(StartBridge(r));
    ASSERT_TRUE(WaitFor(r, W));
    auto start = Clock::now();
    EXPECT_TRUE(StopBridge(r));
    EXPECT_GE(ElapsedMs(start), 1900);  // gave up waiting
    ASSERT_TRUE(StartBridge(r));        // waits for the old thread first
    ASSERT_TRUE(WaitFor(r, W, 2));
    SleepMs(100);
    EXPECT_EQ(r->state.load(), W);
    EXPECT_EQ(States(r), (std::vector<int32_t>{W, S, W}));
}

}  // namespace
}  // namespace enginetest
