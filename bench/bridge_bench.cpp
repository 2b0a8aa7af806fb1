// Drives the bridge benchmark of bench/bridge_bench.sh: the real program with
// one tcpclient port against socat doing the same job, one pseudo-terminal
// bridged to a TCP peer, with the same serial program and the same peer (both
// this process) on both; a framed port's wake-ups; then the program with 256
// connected idle ports (a peer and a serial program on each), and with 256
// idle ports of every mode and the time it takes to stop them.
//
//   bridge_bench --exe DIR1/velkaro_redi --many DIR2/velkaro_redi --work DIR
//                [--mib N] [--reps N] [--echoes N] [--idle-seconds N] [--parts ofcib]
//                [--base DIR3/velkaro_redi]
// Defaults: 8 MiB per transfer, 15 repetitions, 10000 echoes each, 20 s idle,
// every part (o one port against socat, f framed wake-ups, c 256 connected,
// i 256 idle and their stop; b, with --base, this build against an earlier
// one and socat).
// The executables may be the program or bench's bridge_host (its bridges
// without the window), which reads and writes the same files.
//
// DIR1 and DIR2 hold a copy of the executable each and nothing else; this
// program writes their pairs.dat and options.dat. Every child is recorded in
// WORK/pids (for the calling script's clean-up) and dies with this process.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

[[noreturn]] void Die(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    fprintf(stderr, "bridge_bench: ");
    vfprintf(stderr, format, args);
    fprintf(stderr, "\n");
    va_end(args);
    exit(1);
}

void Note(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
}

double Since(Clock::time_point t) { return Seconds(Clock::now() - t).count(); }

// ---------------------------------------------------------------- processes

std::string g_work;
std::vector<pid_t> g_children;

void KillChildren()
{
    for (pid_t pid : g_children)
        kill(pid, SIGKILL);
    for (pid_t pid : g_children)
        waitpid(pid, nullptr, 0);
    g_children.clear();
}

// Starts argv[0] in `dir` with its output in `log`; it gets SIGTERM when
// this process dies, however that happens.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& dir, const std::string& log)
{
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0)
        Die("fork: %s", strerror(errno));
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(1);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        if (out < 0 || in < 0 || chdir(dir.c_str()) != 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    g_children.push_back(pid);
    std::ofstream(g_work + "/pids", std::ios::app) << pid << "\n";
    return pid;
}

// Waits for the child to end; gives the seconds taken, or -1 on the deadline.
double WaitExit(pid_t pid, double limit)
{
    auto start = Clock::now();
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            double s = Since(start);
            if (pidfd >= 0)
                close(pidfd);
            g_children.erase(std::remove(g_children.begin(), g_children.end(), pid),
                             g_children.end());
            return s;
        }
        double left = limit - Since(start);
        if (left <= 0) {
            if (pidfd >= 0)
                close(pidfd);
            return -1;
        }
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            poll(&p, 1, static_cast<int>(std::min(left, 1.0) * 1000) + 1);
        } else {
            usleep(1000);
        }
    }
}

// CPU seconds (user and system, all threads) of a running process.
double CpuSeconds(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(f, line);
    size_t close = line.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    unsigned long long ut = 0, st = 0;
    // state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            ut = std::stoull(field);
        if (i == 15)
            st = std::stoull(field);
    }
    return static_cast<double>(ut + st) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The thread ids of a running process.
std::vector<int> Tasks(pid_t pid)
{
    std::vector<int> out;
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (!d)
        return out;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            out.push_back(atoi(e->d_name));
    closedir(d);
    return out;
}

std::string TaskFile(pid_t pid, int tid, const char* name)
{
    return "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/" + name;
}

// Nanoseconds on a CPU of each thread of a running process, by thread id;
// finer than the clock ticks of /proc/PID/stat, for short windows.
std::vector<std::pair<int, double>> ThreadCpu(pid_t pid)
{
    std::vector<std::pair<int, double>> out;
    for (int tid : Tasks(pid)) {
        std::ifstream f(TaskFile(pid, tid, "schedstat"));
        double ns = 0;
        if (f >> ns)
            out.emplace_back(tid, ns);
    }
    return out;
}

double PreciseCpuSeconds(pid_t pid)
{
    double ns = 0;
    for (const auto& t : ThreadCpu(pid))
        ns += t.second;
    return ns / 1e9;
}

int ThreadCount(pid_t pid) { return static_cast<int>(ThreadCpu(pid).size()); }

// Times the threads of a running process have gone to sleep and been woken:
// the context switches of all its threads.
double Wakes(pid_t pid)
{
    double n = 0;
    for (int tid : Tasks(pid)) {
        std::ifstream f(TaskFile(pid, tid, "status"));
        std::string line;
        while (std::getline(f, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                n += atof(line.substr(line.find(':') + 1).c_str());
        }
    }
    return n;
}

// What a thread of the program waits in, from its current system call: the
// bridge threads all wait in poll(), and the number of descriptors tells
// where (4 in the pump, 3 for an accept or a connect, 2 for the waits and
// the pause between attempts).

std::string WaitKind(pid_t pid, int tid)
{
    if (tid == pid)
        return "main thread";
    std::ifstream f(TaskFile(pid, tid, "syscall"));
    long nr = -1;
    std::string fds, count;
    f >> nr >> fds >> count;
    if (nr == SYS_poll) {
        long n = strtol(count.c_str(), nullptr, 16);
        if (n == 4)
            return "threads in the pump";
        if (n == 3)
            return "threads waiting to accept or connect";
        if (n == 2)
            return "threads waiting or pausing between attempts";
    }
    return "other threads";
}

// ------------------------------------------------------------------ sockets

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

uint16_t LocalPort(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// A socket bound to a fresh loopback port; listening when asked.
int Bound(int type, bool listening, int backlog = 4)
{
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (listening && listen(fd, backlog) != 0))
        Die("bind: %s", strerror(errno));
    return fd;
}

int AcceptWithin(int listener, double limit)
{
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(limit * 1000)) != 1)
        return -1;
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// The serial program's side: raw, non-blocking, reads return what is there.
int OpenSerial(const std::string& path, double limit)
{
    auto start = Clock::now();
    int fd = -1;
    while (fd < 0 && Since(start) < limit) {
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            usleep(20000);
    }
    if (fd < 0)
        return -1;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// ---------------------------------------------------------------- transfers

// Bytes of a pattern that repeats after a length that is no multiple of
// any buffer size on the way.
class Pattern {
public:
    Pattern() : bytes_(kLength + kChunk)
    {
        uint32_t x = 12345;
        for (unsigned char& c : bytes_) {
            x = x * 1103515245u + 12345u;
            c = static_cast<unsigned char>(x >> 16);
        }
        std::copy(bytes_.begin(), bytes_.begin() + kChunk, bytes_.begin() + kLength);
    }
    // Up to kChunk bytes of the stream from `offset` on.
    const unsigned char* At(size_t offset) const { return bytes_.data() + offset % kLength; }

    static constexpr size_t kLength = (1u << 20) + 13;
    static constexpr size_t kChunk = 65536;

private:
    std::vector<unsigned char> bytes_;
};

const Pattern g_pattern;

bool WaitFor(int fd, short events, double limit)
{
    pollfd p{fd, events, 0};
    int n;
    do {
        n = poll(&p, 1, static_cast<int>(limit * 1000));
    } while (n < 0 && errno == EINTR);
    return n == 1 && (p.revents & events);
}

// Writes `bytes` of the pattern into `from` on a second thread while this
// one reads them from `to`; gives the seconds from the first write to the
// last byte read, or -1 when a byte was lost or changed or time ran out.
double Transfer(int from, int to, size_t bytes, double limit)
{
    std::atomic<bool> stop{false};
    auto start = Clock::now();
    std::thread writer([&] {
        size_t sent = 0;
        while (sent < bytes && !stop) {
            if (!WaitFor(from, POLLOUT, 0.2))
                continue;
            ssize_t n = write(from, g_pattern.At(sent), std::min(Pattern::kChunk, bytes - sent));
            if (n > 0)
                sent += static_cast<size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
        }
    });
    size_t got = 0;
    bool ok = true;
    unsigned char buf[Pattern::kChunk];
    while (got < bytes) {
        if (Since(start) > limit) {
            ok = false;
            break;
        }
        if (!WaitFor(to, POLLIN, 0.2))
            continue;
        ssize_t n = read(to, buf, std::min(sizeof buf, bytes - got));
        if (n > 0) {
            if (memcmp(buf, g_pattern.At(got), static_cast<size_t>(n)) != 0) {
                ok = false;
                break;
            }
            got += static_cast<size_t>(n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            ok = false;
            break;
        }
    }
    double s = Since(start);
    stop = true;
    writer.join();
    return ok ? s : -1;
}

// One byte from the serial program to the peer and back; microseconds, or
// -1 when it did not come back in time or came back changed.
double EchoOnce(int serial, int peer, unsigned char value)
{
    auto start = Clock::now();
    unsigned char b = value;
    if (write(serial, &b, 1) != 1 || !WaitFor(peer, POLLIN, 2) || read(peer, &b, 1) != 1 ||
        write(peer, &b, 1) != 1 || !WaitFor(serial, POLLIN, 2) || read(serial, &b, 1) != 1 ||
        b != value)
        return -1;
    return Since(start) * 1e6;
}

// ------------------------------------------------------------------ figures

double Median(std::vector<double> v)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size()))) - 1;
    return v[std::min(i, v.size() - 1)];
}

// Ratio of ours to socat from measurements taken back to back, pair by
// pair: the median of the pairs' ratios follows the bridges, not the load
// that other work puts on the machine over the run.
double PairedRatio(const std::vector<double>& ours, const std::vector<double>& socat)
{
    std::vector<double> r;
    for (size_t i = 0; i < std::min(ours.size(), socat.size()); ++i)
        if (socat[i] > 0)
            r.push_back(ours[i] / socat[i]);
    return Median(r);
}

struct Row {
    std::string figure;
    double ours;
    double socat;  // NAN when there is no socat figure
    double ratio;  // NAN when a ratio says nothing
    std::string target;
    bool met;
};

std::vector<Row> g_rows;

void AddRow(const std::string& figure, double ours, double socat, double ratio,
            const std::string& target, bool met)
{
    g_rows.push_back({figure, ours, socat, ratio, target, met});
}

std::string Num(double v)
{
    if (std::isnan(v))
        return "-";
    char b[32];
    snprintf(b, sizeof b, std::fabs(v) >= 100 ? "%.0f" : std::fabs(v) >= 10 ? "%.1f" : "%.2f", v);
    return b;
}

void PrintTable()
{
    printf("\n%-46s %9s %9s %7s  %s\n", "figure", "ours", "socat", "ratio", "target");
    printf("%s\n", std::string(96, '-').c_str());
    for (const Row& r : g_rows) {
        printf("%-46s %9s %9s %7s  %s%s\n", r.figure.c_str(), Num(r.ours).c_str(),
               Num(r.socat).c_str(), Num(r.ratio).c_str(), r.target.c_str(),
               r.target.empty() ? "" : r.met ? "  met" : "  MISSED");
    }
    printf("ours and socat: medians; ratio: median of the ratios of back-to-back pairs\n");
}

// ------------------------------------------------------------------- config

std::string DirOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
    if (!f)
        Die("cannot write %s", path.c_str());
}

std::string PortElement(int com, const char* mode, uint16_t dstPort, uint16_t locPort,
                        unsigned keepAlive = 0)
{
    std::ostringstream s;
    s << "<COM" << com << ">\r\n"
      << "<DSTADDR>" << (dstPort ? "127.0.0.1" : "0.0.0.0") << "</DSTADDR>\r\n"
      << "<DSTPORT>" << dstPort << "</DSTPORT>\r\n"
      << "<LOCADDR>" << (locPort ? "127.0.0.1" : "0.0.0.0") << "</LOCADDR>\r\n"
      << "<LOCPORT>" << locPort << "</LOCPORT>\r\n"
      << "<MODE>" << mode << "</MODE>\r\n"
      << "<USECUSTOM>" << (keepAlive ? "TRUE" : "FALSE") << "</USECUSTOM>\r\n"
      << "<CHKDTR>FALSE</CHKDTR>\r\n"
      << (keepAlive ? "<DEVNAME>GW1</DEVNAME>" : "<DEVNAME/>") << "\r\n"
      << "<KEEPALIVE>" << keepAlive << "</KEEPALIVE>\r\n"
      << "<IDLETIME>0</IDLETIME>\r\n"
      << "</COM" << com << ">\r\n";
    return s.str();
}

std::string OptionsText(const std::string& ports)
{
    return "<OPTIONS>\r\n<SYSTEM>\r\n<ADDNEW>FALSE</ADDNEW>\r\n<STARTUP>TRUE</STARTUP>\r\n"
           "<DETECTDSR>FALSE</DETECTDSR>\r\n<AUTORUN>FALSE</AUTORUN>\r\n</SYSTEM>\r\n" +
           ports + "</OPTIONS>\r\n";
}

std::string PairLine(int pair, int com)
{
    return std::to_string(pair) + "\tPortName=COM" + std::to_string(com) +
           ",OverrunCheck=yes,BaudPacing=yes\n";
}

// ------------------------------------------------------------------- phases

struct Options {
    std::string exe, many;
    std::string base;  // an earlier build for part b
    size_t mib = 8;
    int reps = 15;
    int echoes = 10000;
    int idleSeconds = 20;
    std::string parts = "ofci";
};

struct Bridge {
    const char* name;
    pid_t pid;
    int serial;
    int peer;
};

void OneToOne(const Options& o)
{
    const std::string oursDir = DirOf(o.exe);
    // The peer listens for both bridges before either starts.
    int oursListener = Bound(SOCK_STREAM, true);
    int socatListener = Bound(SOCK_STREAM, true);
    WriteFile(oursDir + "/pairs.dat", PairLine(5, 5));
    WriteFile(oursDir + "/options.dat",
              OptionsText(PortElement(5, "tcpclient", LocalPort(oursListener), 0)));

    Note("starting our bridge (tcpclient, connects after its 3 s of waiting) and socat\n");
    Bridge ours{"ours", Spawn({o.exe, "-platform", "offscreen"}, oursDir, oursDir + "/log.txt"),
                -1, -1};
    const std::string link = g_work + "/socatpty";
    Bridge socat{"socat",
                 Spawn({"socat", "pty,link=" + link + ",raw,echo=0",
                        "tcp:127.0.0.1:" + std::to_string(LocalPort(socatListener))},
                       g_work, g_work + "/socat.log"),
                 -1, -1};
    // The serial program opens its port as soon as it is there.
    ours.serial = OpenSerial(oursDir + "/dev/COM5", 10);
    socat.serial = OpenSerial(link, 10);
    if (ours.serial < 0 || socat.serial < 0)
        Die("a serial port did not appear (ours %d, socat %d)", ours.serial, socat.serial);
    socat.peer = AcceptWithin(socatListener, 10);
    ours.peer = AcceptWithin(oursListener, 15);
    if (ours.peer < 0 || socat.peer < 0)
        Die("a bridge did not connect (ours %d, socat %d)", ours.peer, socat.peer);
    close(oursListener);
    close(socatListener);
    Bridge* both[2] = {&ours, &socat};
    for (Bridge* b : both)
        if (EchoOnce(b->serial, b->peer, 0x55) < 0)
            Die("%s does not carry bytes", b->name);

    // Connected and idle: what a quiet link costs, once the echo's last
    // passes have gone back to sleep.
    {
        usleep(300000);
        double c0[2] = {PreciseCpuSeconds(ours.pid), PreciseCpuSeconds(socat.pid)};
        double w0[2] = {Wakes(ours.pid), Wakes(socat.pid)};
        sleep(5);
        double c1[2] = {PreciseCpuSeconds(ours.pid), PreciseCpuSeconds(socat.pid)};
        double w1[2] = {Wakes(ours.pid), Wakes(socat.pid)};
        double ms = (c1[0] - c0[0]) * 1000 / 5;
        AddRow("connected, idle: CPU ms per s", ms, (c1[1] - c0[1]) * 1000 / 5, NAN, "<= 0.01",
               ms <= 0.01);
        AddRow("connected, idle: wake-ups per s", (w1[0] - w0[0]) / 5, (w1[1] - w0[1]) / 5, NAN,
               "0", w1[0] == w0[0]);
    }

    // Throughput, each direction alone, ours and socat back to back; which
    // goes first alternates, so that neither always meets a warmer machine.
    const size_t bytes = o.mib << 20;
    std::vector<double> rate[2][2], cpu[2][2];  // [bridge][0 serial-to-net, 1 net-to-serial]
    for (int rep = 0; rep < o.reps; ++rep) {
        for (int dir = 0; dir < 2; ++dir) {
            for (int k = 0; k < 2; ++k) {
                int bi = (rep + dir + k) % 2;
                Bridge* b = both[bi];
                double c = PreciseCpuSeconds(b->pid);
                double s = dir == 0 ? Transfer(b->serial, b->peer, bytes, 30)
                                    : Transfer(b->peer, b->serial, bytes, 30);
                if (s < 0)
                    Die("%s lost or changed bytes, or timed out (%s)", b->name,
                        dir == 0 ? "serial to network" : "network to serial");
                rate[bi][dir].push_back(static_cast<double>(o.mib) / s);
                cpu[bi][dir].push_back((PreciseCpuSeconds(b->pid) - c) * 1000 /
                                       static_cast<double>(o.mib));
            }
        }
        Note("throughput %2d/%d, MiB/s: serial to network ours %5.1f socat %5.1f, "
             "network to serial ours %5.1f socat %5.1f\n",
             rep + 1, o.reps, rate[0][0].back(), rate[1][0].back(), rate[0][1].back(),
             rate[1][1].back());
    }
    const char* names[2] = {"serial to network", "network to serial"};
    for (int dir = 0; dir < 2; ++dir) {
        double ratio = PairedRatio(rate[0][dir], rate[1][dir]);
        AddRow(std::string("throughput ") + names[dir] + ", MiB/s", Median(rate[0][dir]),
               Median(rate[1][dir]), ratio, ">= 1.1 x socat", ratio >= 1.1);
    }
    // The bridge process's own CPU time per MiB: steadier than the rates
    // on a busy machine, and what a slower rate comes from.
    for (int dir = 0; dir < 2; ++dir) {
        double ratio = PairedRatio(cpu[0][dir], cpu[1][dir]);
        AddRow(std::string("  its CPU ms per MiB, ") + names[dir], Median(cpu[0][dir]),
               Median(cpu[1][dir]), ratio, "<= socat", ratio <= 1);
    }

    // Round trip of one byte, in blocks that alternate between the two.
    std::vector<double> rtt[2], blockMedian[2];
    const int blocks = 20, perBlock = std::max(1, o.echoes / blocks);
    for (int block = 0; block < blocks; ++block) {
        for (int k = 0; k < 2; ++k) {
            int bi = (block + k) % 2;
            Bridge* b = both[bi];
            for (int i = 0; i < 20; ++i)  // settle the path first
                EchoOnce(b->serial, b->peer, static_cast<unsigned char>(i));
            std::vector<double> samples;
            for (int i = 0; i < perBlock; ++i) {
                double us = EchoOnce(b->serial, b->peer, static_cast<unsigned char>(i * 7));
                if (us < 0)
                    Die("%s lost an echo", b->name);
                samples.push_back(us);
            }
            blockMedian[bi].push_back(Median(samples));
            rtt[bi].insert(rtt[bi].end(), samples.begin(), samples.end());
        }
    }
    double ratio = PairedRatio(blockMedian[0], blockMedian[1]);
    AddRow("one-byte round trip, median us (" + std::to_string(rtt[0].size()) + " each)",
           Median(rtt[0]), Median(rtt[1]), ratio, "<= socat", ratio <= 1);
    double p0 = Percentile(rtt[0], 99), p1 = Percentile(rtt[1], 99);
    AddRow("one-byte round trip, p99 us", p0, p1, p0 / p1, "<= socat", p0 <= p1);

    for (Bridge* b : both) {
        kill(b->pid, SIGTERM);
        if (WaitExit(b->pid, 5) < 0)
            Note("%s did not end within 5 s of SIGTERM\n", b->name);
        close(b->serial);
        close(b->peer);
    }
}

// Throughput of this build against an earlier one (--base) and socat, the
// three back to back in turn: what a change to the byte path costs.
void AgainstBase(const Options& o)
{
    const std::string dirs[2] = {DirOf(o.exe), DirOf(o.base)};
    int listeners[3] = {Bound(SOCK_STREAM, true), Bound(SOCK_STREAM, true), Bound(SOCK_STREAM, true)};
    Bridge b[3] = {{"ours", -1, -1, -1}, {"base", -1, -1, -1}, {"socat", -1, -1, -1}};
    for (int i = 0; i < 2; ++i) {
        WriteFile(dirs[i] + "/pairs.dat", PairLine(5, 5));
        WriteFile(dirs[i] + "/options.dat", OptionsText(PortElement(5, "tcpclient", LocalPort(listeners[i]), 0)));
        b[i].pid = Spawn({i ? o.base : o.exe, "-platform", "offscreen"}, dirs[i], dirs[i] + "/log.txt");
        b[i].serial = OpenSerial(dirs[i] + "/dev/COM5", 10);
    }
    const std::string link = g_work + "/basepty";
    b[2].pid = Spawn({"socat", "pty,link=" + link + ",raw,echo=0", "tcp:127.0.0.1:" + std::to_string(LocalPort(listeners[2]))},
                     g_work, g_work + "/socat.log");
    b[2].serial = OpenSerial(link, 10);
    for (int i = 0; i < 3; ++i)
        if (b[i].serial < 0 || (b[i].peer = AcceptWithin(listeners[i], 15)) < 0 || EchoOnce(b[i].serial, b[i].peer, 1) < 0)
            Die("%s did not connect or carry a byte", b[i].name);
    const size_t bytes = o.mib << 20;
    std::vector<double> rate[3][2], cpu[3][2];  // [ours, base, socat][direction]
    for (int rep = 0; rep < o.reps; ++rep)
        for (int dir = 0; dir < 2; ++dir)
            for (int k = 0; k < 3; ++k) {
                const int i = (rep + dir + k) % 3;
                const double c = PreciseCpuSeconds(b[i].pid);
                double t = dir == 0 ? Transfer(b[i].serial, b[i].peer, bytes, 30) : Transfer(b[i].peer, b[i].serial, bytes, 30);
                if (t < 0)
                    Die("%s lost or changed bytes, or timed out", b[i].name);
                rate[i][dir].push_back(static_cast<double>(o.mib) / t);
                cpu[i][dir].push_back((PreciseCpuSeconds(b[i].pid) - c) * 1000 / static_cast<double>(o.mib));
            }
    const char* names[2] = {"serial to network", "network to serial"};
    for (int dir = 0; dir < 2; ++dir) {
        for (int i = 0; i < 2; ++i)
            AddRow(std::string(b[i].name) + ": throughput " + names[dir] + ", MiB/s", Median(rate[i][dir]),
                   Median(rate[2][dir]), PairedRatio(rate[i][dir], rate[2][dir]), "(against socat)", true);
        double r = PairedRatio(rate[0][dir], rate[1][dir]);
        AddRow(std::string("  ours / base, MiB/s ") + names[dir], Median(rate[0][dir]), Median(rate[1][dir]), r,
               ">= 0.97", r >= 0.97);
        r = PairedRatio(cpu[0][dir], cpu[1][dir]);
        AddRow(std::string("  ours / base, CPU ms per MiB ") + names[dir], Median(cpu[0][dir]), Median(cpu[1][dir]), r,
               "<= 1.03", r <= 1.03);
    }
    for (Bridge& x : b) {
        kill(x.pid, SIGTERM);
        WaitExit(x.pid, 5);
        close(x.serial), close(x.peer), close(listeners[&x - b]);
    }
}

// Listening TCP sockets on the given loopback ports, from /proc/net/tcp.
int ListeningOn(const std::vector<uint16_t>& ports)
{
    std::ifstream f("/proc/net/tcp");
    std::string line;
    std::getline(f, line);
    int n = 0;
    while (std::getline(f, line)) {
        unsigned a, port, st;
        if (sscanf(line.c_str(), " %*d: %x:%x %*x:%*x %x", &a, &port, &st) == 3 && st == 0x0A &&
            std::find(ports.begin(), ports.end(), static_cast<uint16_t>(port)) != ports.end())
            ++n;
    }
    return n;
}

// Raises the limit of open descriptors: 256 serial ports and 256 peers.
void RaiseFileLimit()
{
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
}

// A framed port with keepalive 2 s and a peer that registers and answers
// every probe: the bridge should wake for the probes due and the answers,
// and for nothing else.
void CustomWakes(const Options& o)
{
    const std::string dir = DirOf(o.many);
    int listener = Bound(SOCK_STREAM, true);
    WriteFile(dir + "/pairs.dat", PairLine(5, 5));
    WriteFile(dir + "/options.dat", OptionsText(PortElement(5, "tcpclient", LocalPort(listener), 0, 2)));
    pid_t pid = Spawn({o.many, "-platform", "offscreen"}, dir, dir + "/log.txt");
    int serial = OpenSerial(dir + "/dev/COM5", 10);
    int peer = AcceptWithin(listener, 15);
    if (serial < 0 || peer < 0)
        Die("the framed port did not connect");
    close(listener);
    const unsigned char reg[] = {0x7E, 0, 0, 4, 'G', 'W', '1', 0, 0x7E};
    const unsigned char ack[] = {0x7E, 17, 0, 4, 'G', 'W', '1', 0, 0x7E};
    if (write(peer, reg, sizeof reg) != sizeof reg)
        Die("cannot register");
    // Answers every probe for the window; counts them.
    const int seconds = 12;
    int probes = 0;
    double w0 = 0;
    auto start = Clock::now();
    bool measuring = false;
    while (Since(start) < seconds + 3) {
        if (!measuring && Since(start) >= 3) {
            measuring = true;
            w0 = Wakes(pid);
            probes = 0;
        }
        if (!WaitFor(peer, POLLIN, 0.2))
            continue;
        unsigned char buf[256];
        ssize_t n = read(peer, buf, sizeof buf);
        if (n <= 0)
            Die("the framed port let its peer go");
        for (ssize_t i = 0; i + 1 < n; ++i) {
            if (buf[i] == 0x7E && buf[i + 1] == 16) {
                ++probes;
                if (write(peer, ack, sizeof ack) != sizeof ack)
                    Die("cannot answer a probe");
            }
        }
    }
    double wakes = Wakes(pid) - w0;
    Note("framed port: %d probes answered in %d s, %.0f wake-ups\n", probes, seconds, wakes);
    AddRow("framed, keepalive 2 s: wake-ups per probe", probes ? wakes / probes : NAN, NAN, NAN,
           "<= 2 (the probe, its answer)", probes > 0 && wakes <= 2.5 * probes);
    kill(pid, SIGTERM);
    WaitExit(pid, 10);
    close(serial);
    close(peer);
}

// 256 tcpclient ports, each connected to a peer and held open by a serial
// program, nothing flowing: what a quiet installation costs.
void ManyConnected(const Options& o)
{
    const std::string dir = DirOf(o.many);
    int listener = Bound(SOCK_STREAM, true, 512);
    std::string pairs, ports;
    for (int pair = 0; pair < 256; ++pair) {
        pairs += PairLine(pair, pair + 1);
        ports += PortElement(pair + 1, "tcpclient", LocalPort(listener), 0);
    }
    WriteFile(dir + "/pairs.dat", pairs);
    WriteFile(dir + "/options.dat", OptionsText(ports));
    pid_t pid = Spawn({o.many, "-platform", "offscreen"}, dir, dir + "/log.txt");
    std::vector<int> serials, peers;
    for (int com = 1; com <= 256; ++com) {
        int fd = OpenSerial(dir + "/dev/COM" + std::to_string(com), 10);
        if (fd < 0)
            Die("COM%d did not appear", com);
        serials.push_back(fd);
    }
    while (peers.size() < 256) {
        int fd = AcceptWithin(listener, 15);
        if (fd < 0)
            Die("only %zu of 256 ports connected", peers.size());
        peers.push_back(fd);
    }
    close(listener);
    sleep(2);
    for (int fd : peers)  // every link carries a byte, and is quiet again
        if (write(fd, "x", 1) != 1)
            Die("a peer cannot write");
    unsigned char b;
    for (int fd : serials)
        if (!WaitFor(fd, POLLIN, 5) || read(fd, &b, 1) != 1)
            Die("a serial port got nothing");
    sleep(1);
    double c0 = CpuSeconds(pid), w0 = Wakes(pid);
    auto t0 = Clock::now();
    sleep(static_cast<unsigned>(o.idleSeconds));
    double window = Since(t0);
    double percent = (CpuSeconds(pid) - c0) / window * 100;
    AddRow("256 connected idle bridges: CPU % of one core", percent, NAN, NAN, "< 0.5 %",
           percent < 0.5);
    AddRow("256 connected idle bridges: wake-ups per s", (Wakes(pid) - w0) / window, NAN, NAN, "",
           true);
    kill(pid, SIGTERM);
    WaitExit(pid, 30);
    for (int fd : serials)
        close(fd);
    for (int fd : peers)
        close(fd);
}

void ManyIdle(const Options& o)
{
    const std::string dir = DirOf(o.many);
    // A mix of what idle ports do: most listen with nobody coming; a quarter
    // keep trying a client connection that is refused (a bound socket that
    // does not listen), which puts them in the 1 s pause a third of the
    // time; some run a udp link with no serial program on it.
    int refusing = Bound(SOCK_STREAM, false);
    int udpSink = Bound(SOCK_DGRAM, false);
    std::vector<int> reserved;
    std::vector<uint16_t> listenPorts;
    std::string pairs, ports;
    int servers = 0, clients = 0, udps = 0;
    for (int pair = 0; pair < 256; ++pair) {
        const int com = pair + 1;
        pairs += PairLine(pair, com);
        if (pair % 4 == 3) {
            ports += PortElement(com, "tcpclient", LocalPort(refusing), 0);
            ++clients;
        } else if (pair % 8 == 6) {
            ports += PortElement(com, "udp", LocalPort(udpSink), 0);
            ++udps;
        } else {
            // Held until the program starts, so that no two ports get the
            // same number.
            int fd = Bound(SOCK_STREAM, false);
            reserved.push_back(fd);
            listenPorts.push_back(LocalPort(fd));
            ports += PortElement(com, "tcpserver", 0, listenPorts.back());
            ++servers;
        }
    }
    WriteFile(dir + "/pairs.dat", pairs);
    WriteFile(dir + "/options.dat", OptionsText(ports));
    for (int fd : reserved)
        close(fd);

    Note("starting 256 ports: %d tcpserver, %d tcpclient (refused), %d udp\n", servers, clients, udps);
    auto start = Clock::now();
    pid_t pid = Spawn({o.many, "-platform", "offscreen"}, dir, dir + "/log.txt");
    // The bridges start together: a server listens at once, a client waits
    // 2 s, pauses 1 s and is refused, every 3 s from then.
    while (Since(start) < 10 && ListeningOn(listenPorts) == 0)
        usleep(2000);
    const auto bridgesStarted = Clock::now();
    // Settled: every server listens, every bridge thread runs, and the
    // clients have been through a connection attempt.
    int listening = 0, threads = 0;
    while (Since(start) < 30) {
        listening = ListeningOn(listenPorts);
        threads = ThreadCount(pid);
        if (listening == servers && threads >= 256 && Since(start) > 5)
            break;
        usleep(200000);
    }
    if (listening != servers)
        Die("only %d of %d servers listen (see %s/log.txt)", listening, servers, dir.c_str());
    sleep(2);
    Note("settled after %.1f s (%d threads); measuring idle CPU for %d s\n", Since(start), threads,
         o.idleSeconds);

    double c0 = CpuSeconds(pid);
    auto threads0 = ThreadCpu(pid);
    auto t0 = Clock::now();
    sleep(static_cast<unsigned>(o.idleSeconds));
    double c1 = CpuSeconds(pid);
    auto threads1 = ThreadCpu(pid);
    double window = Since(t0);
    double percent = (c1 - c0) / window * 100;
    AddRow("256 idle bridges: CPU % of one core", percent, NAN, NAN, "< 2 %", percent < 2);

    // Where that time went, by what each thread waits in at the end.
    std::map<int, double> cpuBefore;
    for (const auto& t : threads0)
        cpuBefore[t.first] = t.second;
    std::map<std::string, std::pair<int, double>> kinds;
    for (const auto& t : threads1) {
        auto& k = kinds[WaitKind(pid, t.first)];
        k.first += 1;
        k.second += (t.second - cpuBefore[t.first]) / 1e9 / window * 100;
    }
    for (const auto& [kind, v] : kinds)
        Note("  %-44s %3d: %.3f %% of a core\n", kind.c_str(), v.first, v.second);

    struct stat mid{};
    stat((dir + "/options.dat").c_str(), &mid);
    // SIGTERM in the middle of the clients' pause: 2.5 s into a 3 s cycle.
    double cycle = Since(bridgesStarted) - 2.5;
    double next = 2.5 + 3.0 * std::ceil(std::max(0.0, cycle) / 3.0 + 0.01);
    std::this_thread::sleep_until(bridgesStarted + std::chrono::duration_cast<Clock::duration>(
                                                       Seconds(next)));
    kill(pid, SIGTERM);
    double stopSeconds = WaitExit(pid, 60);
    if (stopSeconds < 0)
        Die("the program did not end within 60 s of SIGTERM");
    Note("SIGTERM came %.1f s after the bridges started, in the pause of the %d clients\n", next,
         clients);
    AddRow("256 bridges, 64 in a 1 s pause: SIGTERM to exit, ms", stopSeconds * 1000, NAN, NAN,
           "< 200", stopSeconds < 0.2);

    struct stat after{};
    std::ifstream f(dir + "/options.dat", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    bool written = stat((dir + "/options.dat").c_str(), &after) == 0 &&
                   (after.st_mtim.tv_sec != mid.st_mtim.tv_sec ||
                    after.st_mtim.tv_nsec != mid.st_mtim.tv_nsec || after.st_ino != mid.st_ino);
    int elements = 0;
    for (int com = 1; com <= 256; ++com)
        if (text.find("<COM" + std::to_string(com) + ">\r\n") != std::string::npos)
            ++elements;
    printf("options.dat at exit: %s, %d of 256 ports in it\n",
           written ? "written" : "NOT written", elements);
    AddRow("options.dat written at exit, ports in it", written ? elements : 0, NAN, NAN, "256",
           written && elements == 256);
    close(refusing);
    close(udpSink);
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--exe")
            o.exe = v;
        else if (k == "--base")
            o.base = v;
        else if (k == "--many")
            o.many = v;
        else if (k == "--work")
            g_work = v;
        else if (k == "--mib")
            o.mib = static_cast<size_t>(std::max(1, atoi(v.c_str())));
        else if (k == "--reps")
            o.reps = std::max(1, atoi(v.c_str()));
        else if (k == "--echoes")
            o.echoes = std::max(10, atoi(v.c_str()));
        else if (k == "--parts")
            o.parts = v;
        else if (k == "--idle-seconds")
            o.idleSeconds = std::max(1, atoi(v.c_str()));
        else
            Die("unknown option %s", k.c_str());
    }
    if (o.exe.empty() || o.many.empty() || g_work.empty())
        Die("usage: bridge_bench --exe DIR1/velkaro_redi --many DIR2/velkaro_redi --work DIR "
            "[--mib N] [--reps N] [--echoes N] [--idle-seconds N] [--parts ofci]");
    signal(SIGPIPE, SIG_IGN);
    atexit(KillChildren);

    RaiseFileLimit();
    if (o.parts.find('o') != std::string::npos)
        OneToOne(o);
    if (o.parts.find('b') != std::string::npos && !o.base.empty())
        AgainstBase(o);
    if (o.parts.find('f') != std::string::npos)
        CustomWakes(o);
    if (o.parts.find('c') != std::string::npos)
        ManyConnected(o);
    if (o.parts.find('i') != std::string::npos)
        ManyIdle(o);
    PrintTable();
    bool all = std::all_of(g_rows.begin(), g_rows.end(), [](const Row& r) { return r.met; });
    printf("\n%s\n", all ? "all targets met" : "some targets MISSED");
    return 0;
}
