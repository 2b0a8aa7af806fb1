// Shared pieces of the engine tests: real pseudo-terminal pairs behind a
// bridge-side provider, a recording state target, captured diagnostics and
// loopback peers.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/bridge.h"
#include "engine/bridge_side.h"
#include "engine/port_table.h"

namespace enginetest {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline long ElapsedMs(Clock::time_point since)
{
    return static_cast<long>(
        std::chrono::duration_cast<milliseconds>(Clock::now() - since).count());
}

// Pairs made with openpty, as the pair layer makes them: the master is held
// for the pair's life, the user side is raw and nobody holds it open.
class FakePairs : public BridgeSideProvider {
public:
    ~FakePairs() override
    {
        for (auto& [n, pair] : pairs_)
            close(pair.master);
    }

    void Add(int number)
    {
        termios raw{};
        cfmakeraw(&raw);
        int master = -1, user = -1;
        char path[128];
        ASSERT_EQ(openpty(&master, &user, path, &raw, nullptr), 0);
        close(user);
        std::lock_guard<std::mutex> lock(mutex_);
        pairs_[number] = Pair{master, path, false};
    }

    // The serial program's side: opens the user side of a pair.
    int OpenUser(int number)
    {
        std::string path;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            path = pairs_.at(number).userPath;
        }
        int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_GE(fd, 0) << strerror(errno);
        return fd;
    }

    int OpenBridgeSide(const char* name) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = pairs_.find(Number(name));
        if (it == pairs_.end() || it->second.open) {
            errno = it == pairs_.end() ? ENOENT : EBUSY;
            return -1;
        }
        int fd = fcntl(it->second.master, F_DUPFD_CLOEXEC, 0);
        it->second.open = fd >= 0;
        return fd;
    }

    void CloseBridgeSide(const char* name, int fd) override
    {
        close(fd);
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = pairs_.find(Number(name));
        if (it != pairs_.end())
            it->second.open = false;
    }

private:
    static int Number(const char* name)
    {
        int number = -1;
        return sscanf(name, "ZPVB%d", &number) == 1 ? number : -1;
    }
    struct Pair {
        int master;
        std::string userPath;
        bool open;
    };
    std::mutex mutex_;
    std::map<int, Pair> pairs_;
};

// Records every state a bridge posts.
class RecordingTarget : public PortStateTarget {
public:
    void PostPortStateMessage(PortRecord* record, int32_t state) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            posts_.push_back({record, state});
        }
        cv_.notify_all();
        if (onPost)
            onPost(record, state);
    }

    std::vector<int32_t> States(const PortRecord* record)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<int32_t> out;
        for (auto& [r, state] : posts_)
            if (r == record)
                out.push_back(state);
        return out;
    }

    size_t PostCount()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return posts_.size();
    }

    // Waits until record has posted state `count` times in all.
    bool WaitFor(const PortRecord* record, int32_t state, int count = 1, int timeoutMs = 8000)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, milliseconds(timeoutMs), [&] {
            int seen = 0;
            for (auto& [r, s] : posts_)
                seen += r == record && s == state;
            return seen >= count;
        });
    }

    // Set before the bridge starts; runs on the bridge thread.
    std::function<void(PortRecord*, int32_t)> onPost;

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::pair<PortRecord*, int32_t>> posts_;
};

// Sends standard output and standard error to files while alive.
class CapturedOutput {
public:
    CapturedOutput()
    {
        fflush(stdout);
        fflush(stderr);
        savedOut_ = dup(1);
        savedErr_ = dup(2);
        dup2(fileno(out_), 1);
        dup2(fileno(err_), 2);
    }
    ~CapturedOutput() { Restore(); fclose(out_); fclose(err_); }

    void Restore()
    {
        if (savedOut_ < 0)
            return;
        fflush(stdout);
        fflush(stderr);
        dup2(savedOut_, 1);
        dup2(savedErr_, 2);
        close(savedOut_);
        close(savedErr_);
        savedOut_ = savedErr_ = -1;
    }
    std::string Out() { return Contents(out_); }
    std::string Err() { return Contents(err_); }

private:
    static std::string Contents(FILE* f)
    {
        fflush(stdout);
        fflush(stderr);
        std::string s(static_cast<size_t>(lseek(fileno(f), 0, SEEK_END)), '\0');
        s.resize(static_cast<size_t>(std::max<ssize_t>(0, pread(fileno(f), s.data(), s.size(), 0))));
        return s;
    }
    int savedOut_ = -1, savedErr_ = -1;
    FILE* out_ = tmpfile();
    FILE* err_ = tmpfile();
};

// ---- descriptors and loopback sockets -------------------------------------

inline int CountOpenFds()
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (dirent* e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n - 1;  // the directory's own descriptor
}

inline sockaddr_in Loopback(uint16_t port, const char* addr = "127.0.0.1")
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, addr, &a.sin_addr);
    return a;
}

inline uint16_t LocalPort(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// A TCP listener on addr at a port of the system's choosing (or port).
inline int Listen(uint16_t port = 0, const char* addr = "127.0.0.1")
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = Loopback(port, addr);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << strerror(errno);
    EXPECT_EQ(listen(fd, 16), 0);
    return fd;
}

// A UDP socket bound to 127.0.0.1 at a port of the system's choosing.
inline int UdpSocket(int flags = 0)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | flags, 0);
    sockaddr_in any = Loopback(0);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    return fd;
}

// A port that was free a moment ago, for a bridge to bind.
inline uint16_t FreePort()
{
    int fd = Listen();
    uint16_t port = LocalPort(fd);
    close(fd);
    return port;
}

inline bool WaitReadable(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) > 0;
}

inline int AcceptWithin(int listener, int timeoutMs)
{
    return WaitReadable(listener, timeoutMs) ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)
                                             : -1;
}

// Connects to 127.0.0.1:port, optionally from a given source address/port.
inline int ConnectTo(uint16_t port, uint16_t fromPort = 0, const char* from = nullptr)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (from || fromPort) {
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in b = Loopback(fromPort, from ? from : "127.0.0.1");
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&b), sizeof b), 0) << strerror(errno);
    }
    sockaddr_in a = Loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads until n bytes came, or nothing arrives for timeoutMs.
inline std::string ReadSome(int fd, size_t n, int timeoutMs = 3000)
{
    std::string s;
    char buf[65536];
    while (s.size() < n && WaitReadable(fd, timeoutMs)) {
        ssize_t r = read(fd, buf, std::min(sizeof buf, n - s.size()));
        if (r > 0)
            s.append(buf, static_cast<size_t>(r));
        else if (r == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return s;
}

inline bool WriteAll(int fd, const std::string& data, int timeoutMs = 5000)
{
    size_t done = 0;
    auto start = Clock::now();
    while (done < data.size()) {
        ssize_t w = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0 && errno == ENOTSOCK)
            w = write(fd, data.data() + done, data.size() - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if ((w < 0 && errno != EAGAIN && errno != EINTR) || ElapsedMs(start) > timeoutMs)
            return false;
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 50);
    }
    return true;
}

inline std::string Pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

// Moves `out` to fd while collecting `expect` bytes from fd, both at once,
// so that neither side's buffers fill and stall the other.
inline std::string Exchange(int fd, const std::string& out, size_t expect, int timeoutMs = 20000)
{
    std::string in;
    size_t sent = 0;
    char buf[65536];
    auto start = Clock::now();
    while ((sent < out.size() || in.size() < expect) && ElapsedMs(start) < timeoutMs) {
        pollfd p{fd, static_cast<short>((in.size() < expect ? POLLIN : 0) |
                                        (sent < out.size() ? POLLOUT : 0)),
                 0};
        if (poll(&p, 1, 200) <= 0)
            continue;
        if (p.revents & POLLIN) {
            ssize_t r = read(fd, buf, sizeof buf);
            if (r == 0)
                break;
            if (r > 0)
                in.append(buf, static_cast<size_t>(r));
        }
        if (p.revents & POLLOUT) {
            ssize_t w = write(fd, out.data() + sent, std::min<size_t>(65536, out.size() - sent));
            if (w > 0)
                sent += static_cast<size_t>(w);
        }
    }
    return in;
}

// CPU time (user + system) this process has used so far.
inline double ProcessCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Base fixture: a fresh port table, pairs 1 to 9, and every bridge joined
// before the next test.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        InitPortTable(&target_);
        for (int n = 1; n <= 9; ++n)
            pairs_.Add(n);
        SetBridgeSideProvider(&pairs_);
    }
    void TearDown() override
    {
        JoinAllBridges();
        SetBridgeSideProvider(nullptr);
    }

    PortRecord* Record(int n, PortMode mode)
    {
        PortRecord* r = &PortTable[n];
        r->number = n;
        r->mode = mode;
        snprintf(r->name, sizeof r->name, "COM%d", n);
        return r;
    }
    static void SetDst(PortRecord* r, const char* addr, uint16_t port)
    {
        SetDstAddrText(r, addr);
        r->dstPort = port;
    }
    static void SetLoc(PortRecord* r, const char* addr, uint16_t port)
    {
        SetLocAddrText(r, addr);
        r->locPort = port;
    }

    FakePairs pairs_;
    RecordingTarget target_;
};

}  // namespace enginetest
