// Shared pieces of the engine tests: real pseudo-terminal pairs behind a
// bridge-side provider, recorded states, captured diagnostics and loopback
// peers.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/bridge.h"
#include "engine/bridge_side.h"
#include "engine/diagnostics.h"
#include "engine/port_table.h"

namespace enginetest {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline long ElapsedMs(Clock::time_point t) { return (Clock::now() - t) / milliseconds(1); }
inline void SleepMs(int ms) { std::this_thread::sleep_for(milliseconds(ms)); }

inline sockaddr_in Loopback(uint16_t port, const char* addr = "127.0.0.1")
{
    sockaddr_in a{AF_INET, htons(port), {}, {}};
    inet_pton(AF_INET, addr, &a.sin_addr);
    return a;
}

inline uint16_t LocalPort(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    return getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), ntohs(a.sin_port);
}

// A socket bound to addr:port (0: the system's choice); a TCP one listens.
// With `to`, connected to 127.0.0.1:to instead.
inline int Bound(int type, uint16_t port = 0, const char* addr = "127.0.0.1", uint16_t to = 0)
{
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0), one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = Loopback(port, addr), b = Loopback(to);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << strerror(errno);
    if (to ? connect(fd, reinterpret_cast<sockaddr*>(&b), sizeof b) : type == SOCK_STREAM ? listen(fd, 16) : 0)
        return close(fd), -1;
    return fd;
}
inline int ConnectTo(uint16_t port, const char* from = "127.0.0.1") { return Bound(SOCK_STREAM, 0, from, port); }

inline uint16_t FreePort()
{
    int fd = Bound(SOCK_STREAM);
    uint16_t port = LocalPort(fd);
    return close(fd), port;
}

inline bool WaitReadable(int fd, int ms) { pollfd p{fd, POLLIN, 0}; return poll(&p, 1, ms) > 0; }
inline int AcceptWithin(int fd, int ms) { return WaitReadable(fd, ms) ? accept4(fd, nullptr, nullptr, SOCK_CLOEXEC) : -1; }

// Reads until n bytes came, or nothing arrives for timeoutMs.
inline std::string ReadSome(int fd, size_t n, int timeoutMs = 3000)
{
    std::string s;
    char buf[65536];
    for (ssize_t r = 1; s.size() < n && WaitReadable(fd, timeoutMs) && (r > 0 || (r < 0 && errno == EAGAIN));)
        if ((r = read(fd, buf, std::min(sizeof buf, n - s.size()))) > 0)
            s.append(buf, static_cast<size_t>(r));
    return s;
}

inline bool WriteAll(int fd, const std::string& data, int timeoutMs = 5000)
{
    size_t done = 0;
    for (auto start = Clock::now(); done < data.size() && ElapsedMs(start) < timeoutMs;) {
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 50);
        ssize_t w = write(fd, data.data() + done, data.size() - done);
        if (w < 0 && errno != EAGAIN)
            return false;
        done += static_cast<size_t>(std::max<ssize_t>(w, 0));
    }
    return done == data.size();
}

inline std::string Pattern(size_t n, uint32_t x)
{
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
    return s;
}

// A pattern each way at once, read after slowMs; both must arrive whole and
// in order.
inline void ExpectBothWays(int peer, int user, size_t size, unsigned seed, int slowMs = 0)
{
    const std::string toUser = Pattern(size, seed), toPeer = Pattern(size, seed + 1);
    std::string atPeer, atUser;
    std::thread a([&] { EXPECT_TRUE(WriteAll(peer, toUser, 20000)); });
    std::thread b([&] { EXPECT_TRUE(WriteAll(user, toPeer, 20000)); });
    std::thread c([&] { SleepMs(slowMs), atPeer = ReadSome(peer, size); });
    SleepMs(slowMs);
    atUser = ReadSome(user, size);
    for (std::thread* t : {&a, &b, &c})
        t->join();
    EXPECT_TRUE(atUser == toUser) << "serial side got " << atUser.size() << " of " << size;
    EXPECT_TRUE(atPeer == toPeer) << "peer got " << atPeer.size() << " of " << size;
}

// A fresh port table and pairs 1 to 9, made with openpty as the pair layer
// makes them (the master held for the pair's life, the user side raw and
// closed); the fixture hands out their bridge sides and records the states
// the bridges post. Every bridge is joined before the next test.
class EngineTest : public ::testing::Test, public BridgeSideProvider, public PortStateTarget {
protected:
    void SetUp() override
    {
        Capture(DiagStream::Out, nullptr, true);
        SetDiagSink(&Sink);
        InitPortTable(this);
        termios raw{};
        cfmakeraw(&raw);
        char path[128];
        for (int n = 1, user; n <= 9; ++n, close(user)) {
            ASSERT_EQ(openpty(&pairs_[n].master, &user, path, &raw, nullptr), 0);
            pairs_[n].userPath = path;
        }
        SetBridgeSideProvider(this);
    }
    void TearDown() override
    {
        JoinAllBridges();
        SetBridgeSideProvider(nullptr);
        SetDiagSink(nullptr);
        for (auto& [n, pair] : pairs_)
            fds_.push_back(pair.master);
        for (int fd : fds_)
            close(fd);
    }
    int Keep(int fd) { return fds_.push_back(fd), fd; }
    // The serial program's side.
    int OpenUser(int n) { return open(pairs_.at(n).userPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK); }
    int OpenBridgeSide(const char* name) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = pairs_.find(atoi(name + 4));
        errno = it == pairs_.end() ? ENOENT : EBUSY;
        if (it == pairs_.end() || std::exchange(it->second.open, true))
            return -1;
        return fcntl(it->second.master, F_DUPFD_CLOEXEC, 0);
    }
    void CloseBridgeSide(const char* name, int fd) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pairs_[atoi(name + 4)].open = false;
        close(fd);
    }
    void PostPortStateMessage(PortRecord* record, int32_t state) override
    {
        std::unique_lock<std::mutex> lock(mutex_);
        posts_[record].push_back(state);
        cv_.notify_all();
        lock.unlock();
        if (onPost_)
            onPost_(state);
    }
    std::vector<int32_t> States(PortRecord* record)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return posts_[record];
    }
    // Waits until record has posted state `count` times in all.
    bool WaitFor(PortRecord* record, int32_t state, long count = 1)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, milliseconds(8000), [&] {
            return std::count(posts_[record].begin(), posts_[record].end(), state) >= count;
        });
    }
    // The diagnostic lines so far: standard output's, standard error's.
    std::string Out() { return Capture(DiagStream::Out, nullptr); }
    std::string Err() { return Capture(DiagStream::Err, nullptr); }
    static void Sink(DiagStream stream, const std::string& line) { Capture(stream, &line); }
    static std::string Capture(DiagStream stream, const std::string* line, bool clear = false)
    {
        static std::mutex mutex;
        static std::string lines[2];
        std::lock_guard<std::mutex> lock(mutex);
        if (clear)
            lines[0].clear(), lines[1].clear();
        return line ? lines[stream == DiagStream::Err] += *line : lines[stream == DiagStream::Err];
    }
    PortRecord* Record(int n, PortMode mode, const char* dst, uint16_t dstPort, uint16_t locPort = 0)
    {
        PortRecord* r = &PortTable[n];
        r->number = n, r->mode = mode, r->dstPort = dstPort, r->locPort = locPort;
        snprintf(r->name, sizeof r->name, "COM%d", n);
        return SetDstAddrText(r, dst), r;
    }

    struct Pair { int master = -1; std::string userPath; bool open = false; };
    std::map<int, Pair> pairs_;
    std::vector<int> fds_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::map<PortRecord*, std::vector<int32_t>> posts_;
    std::function<void(int32_t)> onPost_;  // runs on the bridge thread
};

}  // namespace enginetest
