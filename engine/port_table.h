// The port table: 256 port records shared by every part of the program, the
// naming of a pair's devices and the text conversions.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "engine/limits.h"
#include "engine/line_settings.h"
#include "engine/trace.h"

struct PortRecord;
class StopEvent;
class BridgeThreadHandle;

enum PortState : int32_t {
    STATE_STOPPED = 0,
    STATE_WAITING = 1,
    STATE_CHECKING = 2,
    STATE_CONNECTING = 3,
    STATE_CONNECTED = 4,
    STATE_REGISTERED = 5,
};

enum PortMode : uint32_t {
    MODE_TCPCLIENT = 0,
    MODE_TCPSERVER = 1,
    MODE_UDP = 2,
};

constexpr int kInvalidSocket = -1;

// Receives every state change of a bridge. Called on the bridge thread: an
// implementation must only queue the notification (the main window hands it
// to the user-interface thread), never block or touch widgets.
class PortStateTarget {
public:
    virtual ~PortStateTarget() = default;
    virtual void PostPortStateMessage(PortRecord* record, int32_t state) = 0;
};

struct PortRecord {
    // Written by the bridge thread, read by the user interface at any time.
    std::atomic<int> sock{kInvalidSocket};
    int32_t number = -1;
    uint32_t dstAddr = 0;   // host byte order
    // The remote host as typed: a dotted address or a host name, resolved at
    // each connect. Empty: dstAddr alone.
    char dstHost[256] = {};
    uint32_t locAddr = 0;   // host byte order; 0 binds to any address
    uint32_t dstPort = 0;
    uint32_t locPort = 0;
    int32_t useCustom = 0;
    int32_t emuBR = 1;
    int32_t detectDtr = 0;
    char devName[32] = {};
    uint32_t keepAlive = 0;
    uint32_t idleTime = 0;
    // Seconds within which a TCP peer that vanished without a word (power
    // cut, cable, NAT) is noticed; 0 never, else 5..3600.
    uint32_t deadPeer = 60;
    // A tcpclient port whose peer is a device server speaking Telnet with
    // the COM-PORT-OPTION, and the line sent to it until the serial program
    // sets its own.
    int32_t rfc2217 = 0;
    LineSettings line;
    std::atomic<int32_t> state{STATE_STOPPED};
    uint32_t mode = MODE_TCPCLIENT;
    char name[8] = {};
    PortStateTarget* notify = nullptr;
    std::shared_ptr<StopEvent> stopEvent;
    std::shared_ptr<BridgeThreadHandle> thread;
    // What the port list shows of a running bridge, written by its thread:
    // bytes from and to the peer in this connection, and the error of the
    // last attempt that failed (0 once a connection stands; its text through
    // LastFailureText).
    std::atomic<uint64_t> bytesIn{0};
    std::atomic<uint64_t> bytesOut{0};
    std::atomic<int> lastError{0};
    // The line the device server last confirmed (PackLineSettings), 0 for
    // none in this bridge's run.
    std::atomic<uint64_t> lineConfirmed{0};
    // A tcpserver or udp port whose local address or port cannot be had yet
    // waits in STATE_WAITING and tries again; true meanwhile.
    std::atomic<bool> waitingToBind{false};
    mutable std::mutex failureMutex;
    std::string failureText;  // under failureMutex
    std::string peerText;     // "ADDRESS:PORT" of the connected peer; under failureMutex
    // For scripts: connections made since the program started, and the
    // wall-clock microseconds (0: never) of the last failure, of the last
    // bytes each way (marked at most once per pump pass) and of the state.
    std::atomic<uint64_t> connects{0};
    std::atomic<int64_t> lastErrorAt{0};
    std::atomic<int64_t> lastFromSerialAt{0};
    std::atomic<int64_t> lastToSerialAt{0};
    std::atomic<int64_t> stateSince{0};
    PortTrace trace;
};

// Process-wide table, indexed by pair number.
extern PortRecord PortTable[kPortCount];

// The record of pair `number` when that slot is occupied; nullptr otherwise
// (out of range included).
PortRecord* OccupiedPort(int number);

// Empties every slot (number -1) and gives each the notification target;
// settings return to their first-use values. Bridges must be stopped.
void InitPortTable(PortStateTarget* target);

const char* PortStateText(int32_t state);  // "Stopped" ... "Registered"; "" when out of range
const char* PortModeName(uint32_t mode);   // "tcpclient", "tcpserver", "udp"; "" when out of range

// Stores the state, then notifies the record's target.
void PostPortState(PortRecord* record, int32_t state);

// Device names of a record; each writes into buf and gives it, or nullptr
// for an empty slot.
char* UserSideName(const PortRecord* record, char* buf, size_t size);     // "ZPVA7"
char* BridgeSideName(const PortRecord* record, char* buf, size_t size);   // "ZPVB7"
// What a port's log lines start with, so that a reader of 256 ports' lines
// can tell which spoke: its COM name ("COM5"), or "-" before it has one.
const char* LogName(const PortRecord* record);

// Dotted text of an address; the text lives in a per-thread buffer until the
// thread's next conversion.
const char* LocAddrText(const PortRecord* record);
const char* DstAddrText(const PortRecord* record);
char* LocPortText(const PortRecord* record, char* buf, size_t size);
char* DstPortText(const PortRecord* record, char* buf, size_t size);

void SetLocAddrText(PortRecord* record, const char* text);  // not dotted IPv4 -> 255.255.255.255
// A dotted address as before; any other text is kept as a host name (cut to
// fit), and DstAddrText gives it back as typed.
void SetDstAddrText(PortRecord* record, const char* text);
// Marks the start of a connection or a listening socket had (counters to
// 0, no error, not waiting to bind), or a failed attempt: its errno and its
// text ("bind 10.9.9.9:4003: Cannot assign requested address").
void NoteConnected(PortRecord* record);
void NoteFailure(PortRecord* record, int error, const std::string& text);
// No failure stands: a new start is not judged by the last run's.
void ForgetFailure(PortRecord* record);
// A connection made on sock: counted, its peer kept, traced. NotePeerGone
// forgets the peer and traces why the connection ended.
void NoteConnection(PortRecord* record, int sock);
void NotePeerGone(PortRecord* record, const std::string& reason);
std::string PeerText(const PortRecord* record);
// The text of the last failure; empty when none stands.
std::string LastFailureText(const PortRecord* record);
void SetLocPortText(PortRecord* record, const char* text);  // leading digits, 0 when none
void SetDstPortText(PortRecord* record, const char* text);
void SetModeByName(PortRecord* record, const char* text);   // unchanged when nothing matches

// Copies at most max characters of src into a field of fieldSize bytes,
// always zero-terminated.
void CopyField(char* field, size_t fieldSize, const char* src, size_t max);
