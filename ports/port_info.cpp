#include "ports/port_info.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "engine/port_table.h"

std::string ByteCountText(uint64_t bytes)
{
    static const char* const kUnits[] = {"KB", "MB", "GB", "TB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    double v = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    while (v >= 1024 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
        v /= 1024;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, "%.1f %s", v, kUnits[unit]);
    return text;
}

bool SocketEndpoint(int sock, bool peer, std::string* addr, uint16_t* port)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    auto* sa = reinterpret_cast<sockaddr*>(&a);
    if (sock < 0 || (peer ? getpeername(sock, sa, &len) : getsockname(sock, sa, &len)) != 0 ||
        a.sin_family != AF_INET)
        return false;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    *addr = text;
    *port = ntohs(a.sin_port);
    return true;
}

std::string PortInformationText(const PortRecord& r)
{
    const int32_t state = r.state.load();
    const int sock = r.sock.load();
    if (state >= STATE_CONNECTED && sock >= 0) {
        // The bridge may close the socket at any moment: a failed query just
        // shows nothing for this second.
        std::string addr;
        uint16_t port = 0;
        if (SocketEndpoint(sock, true, &addr, &port)) {
            std::string text = addr + ":" + std::to_string(port) + " \u00B7 in " +
                               ByteCountText(r.bytesIn.load()) + " \u00B7 out " + ByteCountText(r.bytesOut.load());
            LineSettings line;
            if (UnpackLineSettings(r.lineConfirmed.load(), &line))
                text += " \u00B7 line " + FormatLineSettings(line);
            return text;
        }
        return {};
    }
    if (r.lastError.load() == 0 || state == STATE_STOPPED)
        return {};
    const std::string failure = LastFailureText(&r);
    return r.waitingToBind.load() ? "waiting to bind: " + failure : failure;
}
