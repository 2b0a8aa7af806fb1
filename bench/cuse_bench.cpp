// CUSE ports against pseudo-terminals, in one run on one machine: bytes per
// second each way, the one-byte round trip, CPU time per MiB, and what 256
// idle devices cost and take to stop. Needs root and /dev/cuse: run it with
// bench/cuse_bench.sh, which starts it in the VM (scripts/vm.sh).
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/unique_fd.h"
#include "ports/cuse_port.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRunFor = std::chrono::seconds(3);
constexpr size_t kChunk = 4096;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long ContextSwitches()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_nvcsw + u.ru_nivcsw;
}

long RssKiB()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key && key != "VmRSS:")
        status.ignore(256, '\n');
    status >> value;
    return value;
}

// A side of a pair: what the program opens, and what the bridge holds.
struct Pair {
    UniqueFd program;
    UniqueFd bridge;
    // Null for a pseudo-terminal. Destroyed first: a process that serves a
    // device must end it before it closes its own openings of it, or the
    // close waits for an answer that only this process could give.
    std::unique_ptr<CusePort> cuse;
};

Pair MakePty()
{
    Pair p;
    p.bridge.Reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!p.bridge.IsValid() || grantpt(p.bridge.Get()) != 0 || unlockpt(p.bridge.Get()) != 0)
        return p;
    p.program.Reset(open(ptsname(p.bridge.Get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios t;
    tcgetattr(p.program.Get(), &t);
    cfmakeraw(&t);
    tcsetattr(p.program.Get(), TCSANOW, &t);
    return p;
}

Pair MakeCuse(int n)
{
    Pair p;
    CuseNode node;
    node.name = "ttyS" + std::to_string(300 + n);
    node.minor = 64 + 300 + unsigned(n);
    std::string error;
    p.cuse = CusePort::Create(node, &error);
    if (!p.cuse) {
        fprintf(stderr, "cuse_bench: %s\n", error.c_str());
        return p;
    }
    p.bridge.Reset(dup(p.cuse->BridgeFd()));
    p.program.Reset(open(p.cuse->Path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    return p;
}

struct Flow {
    double mibPerSecond;
    double cpuMsPerMiB;
};

// One writer of `bytes` in chunks, one reader until it has every byte: the
// reader blocks in read() as a serial program does, with no poll() first.
Flow Transfer(int from, int to, uint64_t bytes)
{
    double cpu0 = CpuSeconds();
    Clock::time_point start = Clock::now();
    std::thread writer([&] {
        std::vector<char> chunk(kChunk, 'x');
        for (uint64_t left = bytes; left > 0;) {
            ssize_t n = write(from, chunk.data(), std::min<uint64_t>(left, chunk.size()));
            if (n <= 0)
                break;
            left -= uint64_t(n);
        }
    });
    std::vector<char> buf(kChunk);
    uint64_t got = 0;
    while (got < bytes) {
        ssize_t n = read(to, buf.data(), buf.size());
        if (n <= 0)
            break;
        got += uint64_t(n);
    }
    writer.join();
    double mib = double(got) / (1 << 20);
    return {mib / Seconds(Clock::now() - start), 1000 * (CpuSeconds() - cpu0) / mib};
}

// As much as takes about kRunFor, from a short first measure.
Flow Throughput(int from, int to)
{
    Flow probe = Transfer(from, to, 4 << 20);
    double seconds = std::chrono::duration<double>(kRunFor).count();
    return Transfer(from, to, uint64_t(probe.mibPerSecond * seconds) << 20);
}

// The program writes one byte, the bridge sends it back: microseconds each.
double RoundTripUs(int program, int bridge)
{
    std::thread echo([&] {
        char c;
        while (read(bridge, &c, 1) == 1 && c != 'q')
            (void)!write(bridge, &c, 1);
    });
    int trips = 0;
    Clock::time_point start = Clock::now();
    char c = 'a';
    while (Clock::now() - start < kRunFor && write(program, &c, 1) == 1 && read(program, &c, 1) == 1)
        ++trips;
    double us = 1e6 * Seconds(Clock::now() - start) / trips;
    c = 'q';
    (void)!write(program, &c, 1);
    echo.join();
    return us;
}

// Three rounds, alternating: a busy machine shows as rounds that disagree.
void Compare()
{
    printf("%-10s %14s %14s %14s %14s %12s\n", "backend", "prog->bridge", "bridge->prog", "CPU ms/MiB out",
           "CPU ms/MiB in", "round trip");
    for (bool cuse : {false, true, false, true, false, true}) {
        Pair p = cuse ? MakeCuse(0) : MakePty();
        if (!p.program.IsValid())
            continue;
        Flow out = Throughput(p.program.Get(), p.bridge.Get());
        Flow in = Throughput(p.bridge.Get(), p.program.Get());
        double rtt = RoundTripUs(p.program.Get(), p.bridge.Get());
        printf("%-10s %9.1f MiB/s %9.1f MiB/s %14.1f %14.1f %9.0f us\n", cuse ? "cuse" : "pty", out.mibPerSecond,
               in.mibPerSecond, out.cpuMsPerMiB, in.cpuMsPerMiB, rtt);
        fflush(stdout);
    }
}

// 256 devices, each held open by a program, left alone; then all stopped.
void ManyIdle()
{
    constexpr int kPorts = 256;
    long rss0 = RssKiB();
    Clock::time_point t0 = Clock::now();
    std::vector<Pair> pairs;
    for (int i = 0; i < kPorts; ++i) {
        pairs.push_back(MakeCuse(i));
        if (!pairs.back().program.IsValid())
            return;  // the devices go before the programs' descriptors: see Pair
    }
    double made = Seconds(Clock::now() - t0);
    long rss1 = RssKiB();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    long switches0 = ContextSwitches();
    double cpu0 = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    double idleCpu = CpuSeconds() - cpu0;
    long switches = ContextSwitches() - switches0;
    t0 = Clock::now();
    for (Pair& p : pairs)
        p.cuse.reset();  // the programs still hold their devices open
    double stopped = Seconds(Clock::now() - t0);
    printf("%d cuse ports held open: made in %.2f s; each idle one: %.1f KiB of process memory, "
           "%.3f ms CPU and %.2f wakes in 10 s; all stopped in %.3f s\n",
           kPorts, made, double(rss1 - rss0) / kPorts, 1000 * idleCpu / kPorts, double(switches) / kPorts, stopped);
}

}  // namespace

int main()
{
    // Each device takes five descriptors here and two more for the bench.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    Compare();
    ManyIdle();
    return 0;
}
