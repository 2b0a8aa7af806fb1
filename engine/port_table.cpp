#include "engine/port_table.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "engine/com_name.h"

PortRecord PortTable[kPortCount];

namespace {

const char* const kStateText[] = {"Stopped", "Waiting", "Checking", "Connecting", "Connected",
                                  "Registered"};
const char* const kModeName[] = {"tcpclient", "tcpserver", "udp"};

const char* AddrText(uint32_t hostOrder)
{
    thread_local char buf[INET_ADDRSTRLEN];
    in_addr a{};
    a.s_addr = htonl(hostOrder);
    if (!inet_ntop(AF_INET, &a, buf, sizeof buf))
        buf[0] = '\0';
    return buf;
}

uint32_t AddrFromText(const char* text)
{
    // inet_addr's forms ("10.1", "0x0A.1", "010.0.0.1") are what users of
    // such settings have always been able to type.
    in_addr_t a = inet_addr(text ? text : "");
    return ntohl(a);
}

char* PortText(uint32_t port, char* buf, size_t size)
{
    snprintf(buf, size, "%d", static_cast<int32_t>(port));
    return buf;
}

char* FormatName(const PortRecord* record, const char* fmt, char* buf, size_t size)
{
    if (!record || record->number < 0 || size == 0)
        return nullptr;
    snprintf(buf, size, fmt, record->number);
    return buf;
}

}  // namespace

PortRecord* OccupiedPort(int number)
{
    if (number < 0 || number >= kPortCount || PortTable[number].number != number)
        return nullptr;
    return &PortTable[number];
}

void InitPortTable(PortStateTarget* target)
{
    for (int i = 0; i < kPortCount; ++i) {
        PortRecord& r = PortTable[i];
        r.sock.store(kInvalidSocket);
        r.number = -1;
        r.dstAddr = r.locAddr = r.dstPort = r.locPort = 0;
        r.dstHost[0] = '\0';
        r.bytesIn.store(0);
        r.bytesOut.store(0);
        r.lastError.store(0);
        r.waitingToBind.store(false);
        r.failureText.clear();
        r.peerText.clear();
        r.connects.store(0);
        r.lastErrorAt.store(0);
        r.lastFromSerialAt.store(0);
        r.lastToSerialAt.store(0);
        r.stateSince.store(0);
        r.trace.Clear();
        r.useCustom = 0;
        r.emuBR = 1;
        r.detectDtr = 0;
        r.devName[0] = '\0';
        r.keepAlive = r.idleTime = 0;
        r.deadPeer = 60;
        r.rfc2217 = 0;
        r.line = LineSettings{};
        r.lineConfirmed.store(0);
        r.state.store(STATE_STOPPED);
        r.mode = MODE_TCPCLIENT;
        r.name[0] = '\0';
        r.notify = target;
    }
}

const char* PortStateText(int32_t state)
{
    if (state < 0 || state > STATE_REGISTERED)
        return "";
    return kStateText[state];
}

const char* PortModeName(uint32_t mode)
{
    if (mode > MODE_UDP)
        return "";
    return kModeName[mode];
}

void PostPortState(PortRecord* record, int32_t state)
{
    if (record->state.exchange(state) != state)
        record->stateSince.store(WallMicros(), std::memory_order_relaxed);
    if (state == STATE_REGISTERED && record->trace.On())
        record->trace.Event(LogName(record), "registered");
    if (PortStateTarget* target = record->notify)
        target->PostPortStateMessage(record, state);
}

char* UserSideName(const PortRecord* record, char* buf, size_t size)
{
    return FormatName(record, "ZPVA%d", buf, size);
}

char* BridgeSideName(const PortRecord* record, char* buf, size_t size)
{
    return FormatName(record, "ZPVB%d", buf, size);
}

const char* LogName(const PortRecord* record)
{
    return record && record->name[0] ? record->name : "-";
}

const char* LocAddrText(const PortRecord* record) { return AddrText(record->locAddr); }
const char* DstAddrText(const PortRecord* record)
{
    return record->dstHost[0] ? record->dstHost : AddrText(record->dstAddr);
}

char* LocPortText(const PortRecord* record, char* buf, size_t size)
{
    return PortText(record->locPort, buf, size);
}

char* DstPortText(const PortRecord* record, char* buf, size_t size)
{
    return PortText(record->dstPort, buf, size);
}

void SetLocAddrText(PortRecord* record, const char* text) { record->locAddr = AddrFromText(text); }
void SetDstAddrText(PortRecord* record, const char* text)
{
    record->dstAddr = AddrFromText(text);
    // What inet_addr takes ("10.1", "0x0A.0.0.1") reads as before, shown
    // dotted; anything else is a host name for the resolver.
    in_addr parsed{};
    if (!text || inet_aton(text, &parsed))
        record->dstHost[0] = '\0';
    else
        CopyField(record->dstHost, sizeof record->dstHost, text, sizeof record->dstHost - 1);
}

void NoteConnected(PortRecord* record)
{
    record->bytesIn.store(0);
    record->bytesOut.store(0);
    ForgetFailure(record);
}

void ForgetFailure(PortRecord* record)
{
    record->lastError.store(0);
    record->waitingToBind.store(false);
    std::lock_guard<std::mutex> hold(record->failureMutex);
    record->failureText.clear();
}

void NoteFailure(PortRecord* record, int error, const std::string& text)
{
    {
        std::lock_guard<std::mutex> hold(record->failureMutex);
        record->failureText = text;
    }
    record->lastError.store(error ? error : EIO);
    record->lastErrorAt.store(WallMicros(), std::memory_order_relaxed);
    if (record->trace.On())
        record->trace.Event(LogName(record), "failed: " + text);
}

void NoteConnection(PortRecord* record, int sock)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    char text[INET_ADDRSTRLEN + 8] = "?";
    if (getpeername(sock, reinterpret_cast<sockaddr*>(&a), &len) == 0 && a.sin_family == AF_INET) {
        char addr[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &a.sin_addr, addr, sizeof addr);
        snprintf(text, sizeof text, "%s:%u", addr, ntohs(a.sin_port));
    }
    record->connects.fetch_add(1, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> hold(record->failureMutex);
        record->peerText = text;
    }
    if (record->trace.On())
        record->trace.Event(LogName(record), std::string("connect ") + text);
}

void NotePeerGone(PortRecord* record, const std::string& reason)
{
    {
        std::lock_guard<std::mutex> hold(record->failureMutex);
        record->peerText.clear();
    }
    if (record->trace.On())
        record->trace.Event(LogName(record), "disconnect: " + reason);
}

std::string PeerText(const PortRecord* record)
{
    std::lock_guard<std::mutex> hold(record->failureMutex);
    return record->peerText;
}

std::string LastFailureText(const PortRecord* record)
{
    std::lock_guard<std::mutex> hold(record->failureMutex);
    return record->failureText;
}
void SetLocPortText(PortRecord* record, const char* text) { record->locPort = LeadingDigits(text); }
void SetDstPortText(PortRecord* record, const char* text) { record->dstPort = LeadingDigits(text); }

void SetModeByName(PortRecord* record, const char* text)
{
    if (!text)
        return;
    for (uint32_t i = 0; i <= MODE_UDP; ++i) {
        if (strcmp(text, kModeName[i]) == 0) {
            record->mode = i;
            return;
        }
    }
}

void CopyField(char* field, size_t fieldSize, const char* src, size_t max)
{
    if (fieldSize == 0)
        return;
    size_t n = 0;
    if (src) {
        size_t limit = max < fieldSize - 1 ? max : fieldSize - 1;
        while (n < limit && src[n])
            ++n;
        memcpy(field, src, n);
    }
    field[n] = '\0';
}
