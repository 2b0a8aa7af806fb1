#include "engine/net.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/diagnostics.h"
#include "engine/port_table.h"
#include "engine/resolver.h"
#include "engine/serial_side.h"
#include "engine/stop_event.h"
#include "engine/unique_fd.h"

namespace {

std::string Endpoint(const std::string& host, uint32_t port)
{
    return host + ":" + std::to_string(port);
}

// "connect 10.0.0.7:4001: Connection refused", of errno.
std::string Failure(const char* step, const std::string& endpoint)
{
    char buf[256];
    return std::string(step) + " " + endpoint + ": " + strerror_r(errno, buf, sizeof buf);
}

sockaddr_in Address(in_addr host, uint32_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr = host;
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

// Keepalive and a user time-out on a TCP socket, so that a peer that vanished
// is found within the record's deadPeer seconds (0: never).
void WatchForDeadPeer(const PortRecord* record, int fd)
{
    const int seconds = static_cast<int>(std::min<uint32_t>(record->deadPeer, 3600));
    if (seconds == 0)
        return;
    // Unanswered probes of a silent link end it after about `seconds`; bytes
    // that go unacknowledged for that long end it as well.
    const int idle = std::max(1, seconds / 2), count = 3;
    const int interval = std::max(1, (seconds - idle) / count);
    const unsigned timeoutMs = static_cast<unsigned>(seconds) * 1000;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeoutMs, sizeof timeoutMs);
}

}  // namespace

int Bound(const PortRecord* record, int protocol, std::string* failure)
{
    const std::string local = Endpoint(LocAddrText(record), record->locPort);
    if (record->locPort > 0xFFFF) {
        errno = EINVAL;  // never a port of another number
        *failure = Failure("bind", local);
        return -1;
    }
    const int type = protocol == kProtoTcp ? SOCK_STREAM : SOCK_DGRAM;
    UniqueFd fd(socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.IsValid()) {
        *failure = Failure("socket", local);
        return -1;
    }
    int one = 1;
    setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in a = Address(in_addr{htonl(record->locAddr)}, record->locPort);
    if (bind(fd.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        *failure = Failure("bind", local);
        return -1;
    }
    if (protocol == kProtoTcp)
        WatchForDeadPeer(record, fd.Get());
    return fd.Release();
}

namespace {

// The remote address: the record's dotted one, or its host name looked up.
bool RemoteAddress(const PortRecord* record, const StopEvent& stop, UserSideKeeper& keeper,
                   in_addr* host, std::string* failure)
{
    if (!record->dstHost[0]) {
        host->s_addr = htonl(record->dstAddr);
        return true;
    }
    std::string error;
    if (LookUp(record->dstHost, stop, keeper, host, &error))
        return true;
    failure->clear();
    if (!error.empty())
        *failure = std::string("lookup ") + record->dstHost + ": " + error;
    errno = EHOSTUNREACH;
    return false;
}

// Waits for a TCP connect in progress; false with errno on failure or stop.
bool ConnectDone(int fd, const StopEvent& stop, UserSideKeeper& keeper, bool* stopped)
{
    pollfd fds[2] = {{stop.Fd(), POLLIN, 0}, {fd, POLLOUT, 0}};
    if (keeper.Poll(fds, 2, kNoDeadline) < 0)
        return false;
    if (fds[0].revents) {
        *stopped = true;
        return false;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return false;
    errno = err;
    return err == 0;
}

}  // namespace

int Listen(const PortRecord* record, std::string* failure)
{
    UniqueFd fd(Bound(record, kProtoTcp, failure));
    if (fd.IsValid() && listen(fd.Get(), SOMAXCONN) != 0) {
        *failure = Failure("listen", Endpoint(LocAddrText(record), record->locPort));
        return -1;
    }
    return fd.Release();
}

int Connect(UniqueFd sock, const PortRecord* record, const StopEvent& stop,
            UserSideKeeper& keeper, std::string* failure)
{
    const std::string remote = Endpoint(DstAddrText(record), record->dstPort);
    in_addr host{};
    if (!RemoteAddress(record, stop, keeper, &host, failure))
        return -1;
    if (host.s_addr == htonl(INADDR_ANY) || record->dstPort > 0xFFFF) {
        // Linux would take 0.0.0.0 for this machine and hand the serial
        // program's bytes to whatever listens here.
        errno = record->dstPort > 0xFFFF ? EINVAL : EADDRNOTAVAIL;
        *failure = Failure("connect", remote);
        return -1;
    }
    // For udp this fixes the datagram peer; nothing travels yet.
    const sockaddr_in a = Address(host, record->dstPort);
    bool stopped = false;
    if (connect(sock.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 &&
        (errno != EINPROGRESS || !ConnectDone(sock.Get(), stop, keeper, &stopped))) {
        if (stopped)
            failure->clear();
        else
            *failure = Failure("connect", remote);
        return -1;
    }
    LogLine("%s: connect(\"%s\", \"%u\") - OK\n", LogName(record), DstAddrText(record),
            record->dstPort);
    return sock.Release();
}

int AcceptAllowed(const PortRecord* record, int listenFd)
{
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            LogLastError("%s: accept()", LogName(record));
        return -1;
    }
    const uint32_t a = ntohl(peer.sin_addr.s_addr);
    LogLine("%s: accept(%d.%d.%d.%d) - OK\n", LogName(record), static_cast<int>(a >> 24),
            static_cast<int>((a >> 16) & 0xFF), static_cast<int>((a >> 8) & 0xFF),
            static_cast<int>(a & 0xFF));
    if ((record->dstAddr != 0 && record->dstAddr != a) ||
        (record->dstPort != 0 && record->dstPort != ntohs(peer.sin_port))) {
        Disconnect(record, fd);
        errno = EACCES;
        return -1;
    }
    WatchForDeadPeer(record, fd);
    return fd;
}

int Accept(const PortRecord* record, int listenFd, const StopEvent& stop, UserSideKeeper& keeper)
{
    pollfd fds[2] = {{stop.Fd(), POLLIN, 0}, {listenFd, POLLIN, 0}};
    if (keeper.Poll(fds, 2, kNoDeadline) < 0 || fds[0].revents || !fds[1].revents)
        return -1;
    return AcceptAllowed(record, listenFd);
}

void Disconnect(const PortRecord* record, int fd)
{
    if (shutdown(fd, SHUT_RDWR) != 0)
        LogLastError("%s: shutdown()", LogName(record));
    if (close(fd) != 0)
        LogLastError("%s: close()", LogName(record));
    LogLine("%s: Disconnect() - OK\n", LogName(record));
}
