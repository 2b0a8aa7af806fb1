#include "engine/net.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/com_name.h"
#include "engine/port_table.h"
#include "engine/diagnostics.h"
#include "engine/serial_side.h"
#include "engine/stop_event.h"
#include "engine/unique_fd.h"

namespace {

// Waits without a time limit until one of the descriptors is ready.
int PollForever(pollfd* fds, int n, UserSideKeeper* keeper)
{
    if (keeper)
        return keeper->Poll(fds, n, kNoDeadline);
    return PollUntil(fds, static_cast<nfds_t>(n), kNoDeadline);
}

}  // namespace

bool SetAddr(const PortRecord* record, sockaddr_in* addr, const char* addrText, const char* portText)
{
    memset(addr, 0, sizeof *addr);
    addr->sin_family = AF_INET;
    if (portText) {
        servent entry{};
        servent* found = nullptr;
        char buf[1024];
        if (getservbyname_r(portText, "tcp", &entry, buf, sizeof buf, &found) == 0 && found)
            addr->sin_port = static_cast<in_port_t>(found->s_port);
        else
            addr->sin_port = htons(static_cast<uint16_t>(LeadingDigits(portText)));
    }
    in_addr_t a = addrText ? inet_addr(addrText) : INADDR_ANY;
    if (a != INADDR_NONE) {
        addr->sin_addr.s_addr = a;
        return true;
    }
    // Not a dotted address (or the all-ones one, which the conversion cannot
    // tell apart): ask the resolver.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* list = nullptr;
    int rc = getaddrinfo(addrText, nullptr, &hints, &list);
    if (rc != 0 || !list) {
        if (rc != EAI_SYSTEM)
            errno = ENOENT;
        LogLastError("%s: getaddrinfo(\"%s\")", LogName(record), addrText);
        if (list)
            freeaddrinfo(list);
        return false;
    }
    addr->sin_addr = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr;
    freeaddrinfo(list);
    return true;
}

int Socket(const PortRecord* record, int protocol, const char* addrText, const char* portText)
{
    // TCP's number is fixed by the protocol itself; no lookup can change it.
    int type = protocol == kProtoTcp ? SOCK_STREAM : SOCK_DGRAM;
    int proto = protocol == kProtoTcp ? IPPROTO_TCP : 0;
    UniqueFd fd(socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, proto));
    if (!fd.IsValid()) {
        LogLastError("%s: socket()", LogName(record));
        return -1;
    }
    if (!addrText && !portText)
        return fd.Release();
    sockaddr_in addr;
    if (!SetAddr(record, &addr, addrText, portText))
        return -1;
    int one = 1;
    setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        LogLastError("%s: bind(\"%s\", \"%s\")", LogName(record), addrText ? addrText : "",
                     portText ? portText : "");
        return -1;
    }
    return fd.Release();
}

int Connect(int protocol, const PortRecord* record, const StopEvent& stop, UserSideKeeper* keeper)
{
    char locPort[16], dstPort[16];
    LocPortText(record, locPort, sizeof locPort);
    DstPortText(record, dstPort, sizeof dstPort);
    // The address texts live in one per-thread buffer: copy each.
    const std::string locAddr = LocAddrText(record);
    const std::string dstAddr = DstAddrText(record);

    sockaddr_in remote;
    if (!SetAddr(record, &remote, dstAddr.c_str(), dstPort))
        return -1;
    UniqueFd fd(Socket(record, protocol, locAddr.c_str(), locPort));
    if (!fd.IsValid())
        return -1;

    const auto* sa = reinterpret_cast<const sockaddr*>(&remote);
    if (remote.sin_addr.s_addr == htonl(INADDR_ANY)) {
        // Linux would take it for this machine and hand the serial program's
        // bytes to whatever listens here.
        errno = EADDRNOTAVAIL;
        LogLastError("%s: connect(\"%s\", \"%s\")", LogName(record), dstAddr.c_str(), dstPort);
        return -1;
    }
    if (protocol != kProtoTcp) {
        // Fixes the datagram peer; nothing travels yet.
        if (connect(fd.Get(), sa, sizeof remote) != 0) {
            LogLastError("%s: connect(\"%s\", \"%s\")", LogName(record), dstAddr.c_str(), dstPort);
            return -1;
        }
    } else if (connect(fd.Get(), sa, sizeof remote) != 0) {
        if (errno != EINPROGRESS)
            return -1;
        pollfd fds[2] = {{stop.Fd(), POLLIN, 0}, {fd.Get(), POLLOUT, 0}};
        if (PollForever(fds, 2, keeper) < 0 || fds[0].revents)
            return -1;
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            if (err != 0)
                errno = err;  // "Connection refused" is what the port list shows
            return -1;
        }
    }
    LogLine("%s: connect(\"%s\", \"%s\") - OK\n", LogName(record), dstAddr.c_str(), dstPort);
    return fd.Release();
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
    return fd;
}

int Accept(const PortRecord* record, int listenFd, const StopEvent& stop, UserSideKeeper* keeper)
{
    pollfd fds[2] = {{stop.Fd(), POLLIN, 0}, {listenFd, POLLIN, 0}};
    if (PollForever(fds, 2, keeper) < 0 || fds[0].revents || !fds[1].revents)
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
