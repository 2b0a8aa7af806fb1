// Throughput and idle cost of one tcpserver bridge, against socat doing the
// same job (a pseudo-terminal bridged to a TCP listener) in the same run.
//   build/bench/bridge_bench [megabytes]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "engine/bridge_side.h"
#include "engine/port_table.h"

namespace {

using Clock = std::chrono::steady_clock;

// One pair, made as the pair layer makes it.
class OnePair : public BridgeSideProvider {
public:
    OnePair()
    {
        termios raw{};
        cfmakeraw(&raw);
        cfsetspeed(&raw, B38400);
        int user;
        openpty(&master_, &user, path_, &raw, nullptr);
        close(user);
    }
    int OpenBridgeSide(const char*) override { return fcntl(master_, F_DUPFD_CLOEXEC, 0); }
    void CloseBridgeSide(const char*, int fd) override { close(fd); }
    const char* UserPath() const { return path_; }

private:
    int master_ = -1;
    char path_[128];
};

uint16_t FreePort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

int ConnectRetrying(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 100; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            return fd;
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

std::string Pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    uint32_t x = seed;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

// Sends `bytes` each way between the peer socket and the serial program at
// once; gives the seconds taken, or -1 when a byte was lost or changed.
double BothWays(int peer, int user, size_t bytes)
{
    const std::string down = Pattern(bytes, 1), up = Pattern(bytes, 2);
    std::string atUser, atPeer;
    size_t sentDown = 0, sentUp = 0;
    fcntl(peer, F_SETFL, O_NONBLOCK);
    fcntl(user, F_SETFL, O_NONBLOCK);
    char buf[65536];
    auto start = Clock::now();
    while (atUser.size() < bytes || atPeer.size() < bytes) {
        if (Clock::now() - start > std::chrono::seconds(120))
            return -1;
        pollfd p[2] = {{peer, static_cast<short>(POLLIN | (sentDown < bytes ? POLLOUT : 0)), 0},
                       {user, static_cast<short>(POLLIN | (sentUp < bytes ? POLLOUT : 0)), 0}};
        poll(p, 2, 1000);
        if (p[0].revents & POLLOUT) {
            ssize_t n = write(peer, down.data() + sentDown, std::min<size_t>(65536, bytes - sentDown));
            sentDown += n > 0 ? static_cast<size_t>(n) : 0;
        }
        if (p[1].revents & POLLOUT) {
            ssize_t n = write(user, up.data() + sentUp, std::min<size_t>(4096, bytes - sentUp));
            sentUp += n > 0 ? static_cast<size_t>(n) : 0;
        }
        if (p[0].revents & POLLIN) {
            ssize_t n = read(peer, buf, sizeof buf);
            if (n > 0)
                atPeer.append(buf, static_cast<size_t>(n));
        }
        if (p[1].revents & POLLIN) {
            ssize_t n = read(user, buf, sizeof buf);
            if (n > 0)
                atUser.append(buf, static_cast<size_t>(n));
        }
    }
    double s = std::chrono::duration<double>(Clock::now() - start).count();
    return atUser == down && atPeer == up ? s : -1;
}

double SelfCpu()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double ChildCpu(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* f = fopen(path, "r");
    if (!f)
        return 0;
    char line[1024];
    double ticks = 0;
    if (fgets(line, sizeof line, f)) {
        const char* p = strrchr(line, ')');
        unsigned long ut = 0, st = 0;
        // Fields after the command: state, then 10 more before utime, stime.
        if (p && sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &st) == 2)
            ticks = static_cast<double>(ut + st);
    }
    fclose(f);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Result {
    double seconds = -1;
    double idleMsPerS = 0;
};

constexpr int kIdleSeconds = 3;

Result RunOurs(size_t bytes)
{
    static OnePair pair;
    SetBridgeSideProvider(&pair);
    InitPortTable(nullptr);
    PortRecord* r = &PortTable[1];
    r->number = 1;
    r->mode = MODE_TCPSERVER;
    SetLocAddrText(r, "127.0.0.1");
    r->locPort = FreePort();
    int user = open(pair.UserPath(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    StartBridge(r);
    int peer = ConnectRetrying(static_cast<uint16_t>(r->locPort));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Result res;
    double cpu = SelfCpu();
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
    res.idleMsPerS = (SelfCpu() - cpu) * 1000.0 / kIdleSeconds;
    res.seconds = BothWays(peer, user, bytes);
    StopBridge(r);
    JoinAllBridges();
    close(peer);
    close(user);
    return res;
}

Result RunSocat(size_t bytes)
{
    const uint16_t port = FreePort();
    char link[64];
    snprintf(link, sizeof link, "/tmp/vr_bench_pty_%d", static_cast<int>(getpid()));
    unlink(link);
    char listen[96], ptyArg[128];
    snprintf(listen, sizeof listen, "TCP-LISTEN:%u,bind=127.0.0.1,reuseaddr", port);
    snprintf(ptyArg, sizeof ptyArg, "PTY,raw,echo=0,link=%s", link);
    pid_t pid = fork();
    if (pid == 0) {
        execlp("socat", "socat", listen, ptyArg, static_cast<char*>(nullptr));
        _exit(127);
    }
    // socat makes its pseudo-terminal once the TCP client has come.
    int peer = ConnectRetrying(port);
    int user = -1;
    for (int i = 0; i < 100 && user < 0; ++i) {
        user = open(link, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (user < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    Result res;
    if (user >= 0 && peer >= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        double cpu = ChildCpu(pid);
        std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
        res.idleMsPerS = (ChildCpu(pid) - cpu) * 1000.0 / kIdleSeconds;
        res.seconds = BothWays(peer, user, bytes);
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    if (peer >= 0)
        close(peer);
    if (user >= 0)
        close(user);
    unlink(link);
    return res;
}

}  // namespace

int main(int argc, char** argv)
{
    const size_t mb = argc > 1 ? static_cast<size_t>(atoi(argv[1])) : 16;
    const size_t bytes = mb << 20;
    Result ours = RunOurs(bytes);
    Result socat = RunSocat(bytes);
    if (ours.seconds < 0 || socat.seconds < 0) {
        fprintf(stderr, "bridge_bench: a transfer lost bytes or timed out (ours %.2f, socat %.2f)\n",
                ours.seconds, socat.seconds);
        return 1;
    }
    const double oursRate = 2.0 * static_cast<double>(mb) / ours.seconds;
    const double socatRate = 2.0 * static_cast<double>(mb) / socat.seconds;
    printf("both ways, %zu MiB each: bridge %.1f MiB/s, socat %.1f MiB/s, ratio %.2f\n", mb,
           oursRate, socatRate, oursRate / socatRate);
    printf("idle connected, CPU ms per s: bridge %.2f, socat %.2f\n", ours.idleMsPerS,
           socat.idleMsPerS);
    return 0;
}
