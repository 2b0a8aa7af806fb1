// A peer that vanishes without a word (power cut, cable, NAT) is found within
// the port's dead-peer seconds, by a tcpclient whose serial side is silent
// and by a tcpserver whose serial side sends; then the client connects
// again and the server waits for its next client. Runs in a child process
// with a user and a network namespace of its own (skipped where unshare is
// refused); about 17 s.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <fstream>

#include <cstdlib>

#include "engine/bridge.h"
#include "engine/unique_fd.h"
#include "engine_fixtures.h"

namespace enginetest {
namespace {

// In a private network namespace (a user namespace gives the rights), the
// peers live behind a veth link in a namespace of their own; the link is
// taken down, so nothing more arrives, not even a reset.
bool Shell(const std::string& command) { return system((command + " >/dev/null 2>&1").c_str()) == 0; }
bool Put(const char* path, const std::string& text)
{
    UniqueFd fd(open(path, O_WRONLY | O_CLOEXEC));
    return fd.IsValid() && write(fd.Get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}
TEST_F(EngineTest, APeerThatVanishesIsFoundWithinItsDeadPeerSecondsAndAHangingLookupNeverHoldsAStop)
{
    // The name server is on the veth link under a made-up hardware address,
    // so the queries vanish: the lookup hangs (and nothing leaves the
    // machine), yet a stop takes under 1 s.
    auto stopsWhileALookupHangs = [this](PortRecord* named) {
        const std::string conf = "/tmp/vr-resolv-" + std::to_string(getpid());
        std::ofstream(conf) << "nameserver 10.9.0.3\noptions timeout:30 attempts:5\n";
        bool hangs = mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                     mount(conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0 &&
                     Shell("ip neigh add 10.9.0.3 lladdr 02:00:00:00:00:03 dev v0 nud permanent") &&
                     StartBridge(named) && WaitFor(named, STATE_CONNECTING);
        SleepMs(1500);
        const auto start = Clock::now();
        hangs = hangs && LastFailureText(named).empty() && StopBridge(named) && ElapsedMs(start) < 1000;
        unlink(conf.c_str());
        JoinAllBridges();
        return hangs;
    };
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready) | pipe(go), 0);
    pid_t test = fork();
    if (test == 0) {
        char c = 0;
        const std::string id = std::to_string(getuid()), gid = std::to_string(getgid());
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWNS) != 0 || !Put("/proc/self/setgroups", "deny") ||
            !Put("/proc/self/uid_map", "0 " + id + " 1") || !Put("/proc/self/gid_map", "0 " + gid + " 1"))
            _exit(77);
        pid_t peers = fork();
        if (peers == 0) {  // the peers' namespace: one takes COM2's connection, one connects to COM3
            if (unshare(CLONE_NEWNET) != 0 || write(ready[1], "r", 1) != 1 || read(go[0], &c, 1) != 1 ||
                !Shell("ip link set lo up && ip addr add 10.9.0.2/24 dev v1 && ip link set v1 up"))
                _exit(1);
            int listener = Bound(SOCK_STREAM, 4001, "10.9.0.2"), client = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in server = Loopback(4002, "10.9.0.1");
            for (int i = 0; i < 100 && connect(client, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0; ++i)
                SleepMs(50), close(client), client = socket(AF_INET, SOCK_STREAM, 0);
            if (AcceptWithin(listener, 8000) >= 0 && read(go[0], &c, 1) == 1)
                Shell("ip link set v1 down");
            pause();
        }
        PortRecord *client = Record(2, MODE_TCPCLIENT, "10.9.0.2", 4001), *server = Record(3, MODE_TCPSERVER, "10.9.0.2", 0, 4002);
        client->deadPeer = server->deadPeer = 10;
        int sending = OpenUser(3);
        bool found = read(ready[0], &c, 1) == 1 &&
                     Shell("ip link set lo up && ip link add v0 type veth peer name v1 && ip link set v1 netns " +
                           std::to_string(peers) + " && ip addr add 10.9.0.1/24 dev v0 && ip link set v0 up") &&
                     write(go[1], "g", 1) == 1 && StartBridge(client) && StartBridge(server) &&
                     WaitFor(client, STATE_CONNECTED) && WaitFor(server, STATE_CONNECTED) && write(go[1], "d", 1) == 1;
        for (auto start = Clock::now(); found && ElapsedMs(start) < 20000 && !(client->lastError && server->lastError);)
            WriteAll(sending, "x", 100), SleepMs(100);
        // Unacknowledged bytes end with the system's reason, "No route to host" here.
        found = found && client->lastError == ETIMEDOUT && server->lastError != 0 &&
                WaitFor(client, STATE_CHECKING, 2) && WaitFor(server, STATE_WAITING, 2);
        kill(peers, SIGKILL);
        _exit(!found ? 1 : stopsWhileALookupHangs(Record(4, MODE_TCPCLIENT, "meter.example", 4001)) ? 0 : 2);
    }
    int status = 0;
    waitpid(test, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no user and network namespace here";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace enginetest
