// Loopback sockets, patterns and timed reads and writes, for tests that play
// a bridge's peers or its serial programs.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace testnet {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline long ElapsedMs(Clock::time_point t) { return (Clock::now() - t) / milliseconds(1); }
inline void SleepMs(int ms) { std::this_thread::sleep_for(milliseconds(ms)); }

// Asked again until it holds or ms have passed.
inline bool Within(int ms, const std::function<bool()>& done)
{
    for (auto start = Clock::now(); !done(); SleepMs(20))
        if (ElapsedMs(start) > ms)
            return false;
    return true;
}

inline std::string FileText(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

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

}  // namespace testnet
