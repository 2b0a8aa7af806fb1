// How fast network bytes can reach a serial program through a pseudo-terminal
// at all, whatever the bridge does: a TCP peer that writes and a serial
// program that reads the user side as bridge_bench's does (poll, non-blocking
// reads, every byte compared), and between them a bridge process in one of
// several shapes. The shapes, run back to back and in turn:
//   socat    8 KiB reads, a wait in poll() and a blocking write (what socat
//            does with its default buffer, as strace shows)
//   poll     64 KiB reads, non-blocking writes after a wait in poll()
//            (this program's pump)
//   blocking 64 KiB reads, blocking writes; unusable in a bridge (a program
//            that stops reading would freeze the other direction), shown as
//            what the fewest wake-ups could give
//   alone    no network and no bridge: the writer writes the master itself,
//            blocking
// Each figure is a median; ratios are medians of back-to-back pairs against
// the socat shape. The shapes are small and alike in all but their shape, so
// the figures stay apart from how the program and socat start and log.
//
//   build/bench/pty_ceiling [REPS] [MIB]     (defaults 15 and 32)
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

enum Shape { SOCAT, POLL, BLOCKING, ALONE, SHAPES };
const char* const kNames[SHAPES] = {"socat", "poll", "blocking", "alone"};

size_t g_bytes = 32u << 20;

// The stream repeats after a length that no buffer size divides.
constexpr size_t kPeriod = 251;

void SetBlocking(int fd, bool blocking)
{
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

void WaitFor(int fd, short events)
{
    pollfd p{fd, events, 0};
    poll(&p, 1, 200);
}

double Seconds(const timeval& t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

// A connected loopback pair; false when the machine gives none.
bool TcpPair(int* writer, int* bridge)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    bool ok = listener >= 0 && bind(listener, reinterpret_cast<sockaddr*>(&sa), len) == 0 &&
              listen(listener, 1) == 0 &&
              getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len) == 0;
    *writer = ok ? socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    ok = ok && *writer >= 0 && connect(*writer, reinterpret_cast<sockaddr*>(&sa), len) == 0;
    *bridge = ok ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    if (listener >= 0)
        close(listener);
    int one = 1;
    setsockopt(*writer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return *bridge >= 0;
}

// The stream from any offset: kChunk bytes of it start at Stream(offset).
constexpr size_t kChunk = 65536;
const std::vector<unsigned char>& StreamBytes()
{
    static const std::vector<unsigned char> bytes = [] {
        std::vector<unsigned char> b(kChunk + kPeriod);
        for (size_t i = 0; i < b.size(); ++i)
            b[i] = static_cast<unsigned char>(i % kPeriod);
        return b;
    }();
    return bytes;
}
const unsigned char* Stream(size_t offset) { return StreamBytes().data() + offset % kPeriod; }

// Writes the whole stream into fd, blocking.
void WriteStream(int fd)
{
    for (size_t sent = 0; sent < g_bytes;) {
        ssize_t w = write(fd, Stream(sent), std::min(kChunk, g_bytes - sent));
        if (w > 0)
            sent += static_cast<size_t>(w);
        else if (w < 0 && errno != EINTR)
            return;
    }
}

// The bridge: from the socket into the pseudo-terminal's master.
void Bridge(Shape shape, int sock, int master)
{
    std::vector<unsigned char> buf(shape == SOCAT ? 8192 : kChunk);
    SetBlocking(master, shape == BLOCKING || shape == SOCAT);
    for (size_t moved = 0; moved < g_bytes;) {
        ssize_t got = recv(sock, buf.data(), buf.size(), 0);
        if (got <= 0)
            break;
        for (size_t off = 0; off < static_cast<size_t>(got);) {
            if (shape != BLOCKING)
                WaitFor(master, POLLOUT);
            ssize_t w = write(master, buf.data() + off, static_cast<size_t>(got) - off);
            if (w > 0)
                off += static_cast<size_t>(w);
        }
        moved += static_cast<size_t>(got);
    }
}

// One transfer; MiB/s, or -1 when a byte was lost or changed.
double Run(Shape shape, double* writerCpu)
{
    int master = -1, user = -1, writer = -1, sock = -1;
    if (openpty(&master, &user, nullptr, nullptr, nullptr) != 0 ||
        (shape != ALONE && !TcpPair(&writer, &sock))) {
        perror("pty_ceiling");
        exit(2);
    }
    termios t{};
    tcgetattr(user, &t);
    cfmakeraw(&t);
    tcsetattr(user, TCSANOW, &t);
    SetBlocking(user, false);

    // The master's writer is a process of its own, as a bridge is: a switch
    // between processes costs more than one between threads.
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        if (shape == ALONE)
            WriteStream(master);
        else
            Bridge(shape, sock, master);
        pause();  // a master that closes takes the bytes not yet read with it
        _exit(0);
    }
    close(master);
    if (sock >= 0)
        close(sock);
    std::thread source;
    if (shape != ALONE)
        source = std::thread(WriteStream, writer);
    std::vector<unsigned char> buf(kChunk);
    bool ok = true;
    for (size_t got = 0; ok && got < g_bytes;) {
        WaitFor(user, POLLIN);
        ssize_t n = read(user, buf.data(), buf.size());
        if (n > 0) {
            ok = memcmp(buf.data(), Stream(got), static_cast<size_t>(n)) == 0;
            got += static_cast<size_t>(n);
        } else {
            ok = n < 0 && errno == EAGAIN && Clock::now() - start < std::chrono::seconds(60);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    kill(child, SIGKILL);
    if (source.joinable())
        source.join();
    rusage usage{};
    wait4(child, nullptr, 0, &usage);
    *writerCpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    close(user);
    if (writer >= 0)
        close(writer);
    return ok ? static_cast<double>(g_bytes >> 20) / seconds : -1;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    const int reps = argc > 1 ? std::max(1, atoi(argv[1])) : 15;
    signal(SIGPIPE, SIG_IGN);  // a writer whose reader failed ends with an error instead
    if (argc > 2)
        g_bytes = static_cast<size_t>(std::max(1, atoi(argv[2]))) << 20;
    std::vector<double> rate[SHAPES], cpu[SHAPES], ratio[SHAPES];
    for (int rep = 0; rep < reps; ++rep) {
        double now[SHAPES];
        for (int k = 0; k < SHAPES; ++k) {
            const int s = (rep + k) % SHAPES;  // nobody always meets a warmer machine
            double c = 0;
            now[s] = Run(static_cast<Shape>(s), &c);
            if (now[s] < 0) {
                fprintf(stderr, "pty_ceiling: %s lost or changed bytes\n", kNames[s]);
                return 1;
            }
            rate[s].push_back(now[s]);
            cpu[s].push_back(c * 1000 / static_cast<double>(g_bytes >> 20));
        }
        for (int s = 0; s < SHAPES; ++s)
            ratio[s].push_back(now[s] / now[SOCAT]);
    }
    printf("network to serial, %d runs of %zu MiB each\n", reps, g_bytes >> 20);
    printf("%-9s %8s %10s %18s\n", "shape", "MiB/s", "x socat", "writer CPU ms/MiB");
    for (int s = 0; s < SHAPES; ++s)
        printf("%-9s %8.1f %10.2f %18.2f\n", kNames[s], Median(rate[s]), Median(ratio[s]),
               Median(cpu[s]));
    return 0;
}
