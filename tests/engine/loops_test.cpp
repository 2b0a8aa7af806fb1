// Ports that stay up for months: failures told once, lookups that never hold
// a stop, and listening sockets that come when their address or port does.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <sstream>

#include "engine/bridge.h"
#include "engine/failure_log.h"
#include "engine/resolver.h"
#include "engine_fixtures.h"
#include "../test_folder.h"

namespace enginetest {
namespace {

struct FakeClock : SecondsClock {
    int32_t Now() const override { return static_cast<int32_t>(now); }
    uint32_t now = 0x7FFFFFF0;  // wraps while the test runs
};

TEST_F(EngineTest, AFailureIsToldOnceThenHourlyWithItsCountAndWhenItClears)
{
    FakeClock clock;
    FailureLog log("COM5", clock);
    const std::string refused = "connect 10.0.0.7:4001: Connection refused", none = "lookup gw: Unknown";
    for (int attempt = 0; attempt < 20; ++attempt, clock.now += 1)  // 20 s of retries
        log.Failed(refused);
    EXPECT_EQ(Err(), "COM5: " + refused + "\n");
    clock.now += 3600;
    for (const std::string& text : {refused, refused, none})
        log.Failed(text);
    log.Cleared("connected to gw:4001");
    log.Cleared("connected to gw:4001");
    EXPECT_EQ(Err(), "COM5: " + refused + "\nCOM5: " + refused + " (repeated 20 times)\nCOM5: " + refused +
                         " (repeated 1 times)\nCOM5: " + none + "\nCOM5: connected to gw:4001 (cleared after 1 "
                         "failures: " + none + ")\n");
}

// A helper for which "hang.test" is a name server that does not answer.
TEST_F(EngineTest, LookupsNeverHoldAStopNorOutliveItAndAFailedOneIsToldOnceAndTriedAgain)
{
    uitest::TempFolder folder;
    folder.Write("lookup", "#!/bin/sh\necho $$ >>" + folder.File("asked") + "\n[ $1 = hang.test ] && exec sleep 60\necho ERR -2 0\n");
    chmod(folder.File("lookup").c_str(), 0700);
    SetLookupHelper(folder.File("lookup"));
    auto asked = [&] { return folder.Read("asked"); };
    PortRecord *hang = Record(2, MODE_TCPCLIENT, "hang.test", 4001), *none = Record(3, MODE_TCPCLIENT, "none.test", 4001);
    ASSERT_TRUE(StartBridge(hang) && StartBridge(none) && WaitFor(none, STATE_CONNECTING, 2));
    ASSERT_TRUE(Within(2000, [&] { return !asked().empty(); }));
    auto start = Clock::now();
    EXPECT_TRUE(StopBridge(hang));
    EXPECT_LT(ElapsedMs(start), 1900);  // not given up on after 2 s
    EXPECT_TRUE(Within(4000, [&] { const std::string a = asked(); return std::count(a.begin(), a.end(), '\n') >= 3; }));  // afresh each time
    EXPECT_TRUE(StopBridge(none));
    std::istringstream pids(asked());
    for (int pid; pids >> pid;)  // each helper ended and reaped: not even a zombie is left
        EXPECT_TRUE(kill(pid, 0) != 0 && errno == ESRCH) << pid;
    EXPECT_EQ(LastFailureText(none), "lookup none.test: Name or service not known");
    EXPECT_EQ(Err(), "COM3: lookup none.test: Name or service not known\n");
}

TEST_F(EngineTest, ListeningPortsWaitForTheirPortAndServeOnceItIsFree)
{
    const uint16_t port = FreePort();
    int tcp = Bound(SOCK_STREAM, port), udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);  // no SO_REUSEADDR
    sockaddr_in any = Loopback(port, "0.0.0.0");
    ASSERT_EQ(bind(udp, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    PortRecord *server = Record(2, MODE_TCPSERVER, "0.0.0.0", 0, port), *dgram = Record(3, MODE_UDP, "127.0.0.1", FreePort(), port);
    ASSERT_TRUE(StartBridge(server) && StartBridge(dgram) && WaitFor(server, STATE_WAITING) && WaitFor(dgram, STATE_WAITING, 2));
    const std::string inUse = "bind 0.0.0.0:" + std::to_string(port) + ": Address already in use";
    EXPECT_TRUE(server->waitingToBind && dgram->waitingToBind);
    EXPECT_EQ(LastFailureText(server) + LastFailureText(dgram), inUse + inUse);
    close(tcp), close(udp);
    Within(8000, [&] { return !server->waitingToBind; });
    ExpectBothWays(Keep(ConnectTo(port)), Keep(OpenUser(2)), 4096, 50);
    ASSERT_TRUE(WaitFor(dgram, STATE_CONNECTED));
    EXPECT_FALSE(server->waitingToBind || dgram->waitingToBind || !LastFailureText(server).empty());
}

}  // namespace
}  // namespace enginetest
