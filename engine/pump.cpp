#include "engine/pump.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "engine/diagnostics.h"
#include "engine/line_watch.h"
#include "engine/net.h"
#include "engine/port_table.h"
#include "engine/protocol.h"
#include "engine/seconds_clock.h"
#include "engine/serial_side.h"
#include "engine/stop_event.h"
#include "engine/trace.h"
#include "engine/unique_fd.h"

namespace {

// A datagram never carries more than this, and framed links and udp keep
// their buffers at it; a raw TCP link may use buffers as large as its
// queue limit, up to kMaxStreamBuffer.
constexpr uint32_t kDatagramSize = 1024;
constexpr uint32_t kMaxStreamBuffer = 64 * 1024;
// The last bytes of a connection may wait this long for each piece to be
// taken: a slow reader gets them all, one that stopped reading does not hold
// the connection.
constexpr int kLastWritePauseMs = 1000;

// The order is the priority: the events ready in one pass are taken in
// this order, so a close, a newer client or a stop comes after the data
// that was ready with it.
enum Event : int {
    EVENT_READ,      // the bridge side has bytes for the network
    EVENT_SENT,      // the socket takes more of the socket-output buffer
    EVENT_RECEIVED,  // the socket has bytes (or its end, or an error)
    EVENT_WRITTEN,   // the bridge side takes more of the device-output buffer
    EVENT_STAT,      // DSR may have changed
    EVENT_CLOSE,     // the peer closed the connection
    EVENT_ACCEPT,    // a newer client waits (tcpserver)
    EVENT_STOP,      // the bridge is being stopped
    EVENT_COUNT
};

// SLOT_LINES: a change of the user side's own lines, where it has them.
enum PollSlot { SLOT_STOP, SLOT_SOCK, SLOT_LISTEN, SLOT_DEVICE, SLOT_LINES, SLOT_COUNT };

struct OutBuffer {
    unsigned char* data = nullptr;
    uint32_t count = 0;
    uint32_t written = 0;

    bool Empty() const { return written >= count; }
    void Fill(ByteQueue& queue, uint32_t size)
    {
        count = queue.Read(data, size);
        written = 0;
    }
    const unsigned char* Rest() const { return data + written; }
    unsigned char* Tail() const { return data + count; }
    uint32_t RestSize() const { return count - written; }
    void Advance(uint32_t n)
    {
        written += n;
        if (written >= count)
            Clear();
    }
    void Clear() { count = written = 0; }
};

bool WouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

// The shorter of two poll() time-outs, -1 meaning none.
int Sooner(int a, int b) { return a < 0 ? b : b < 0 ? a : std::min(a, b); }

class Pump {
public:
    Pump(PortRecord* record, const BridgeDevice& device, int sock, Protocol& framing,
         bool detectDtr, int listenFd, const StopEvent& stop)
        : record_(record), name_(LogName(record)), device_(device), sock_(sock),
          framing_(framing), detectDtr_(detectDtr), listenFd_(listenFd), stop_(stop)
    {
    }

    // Gives the newer allowed client that ended the connection, or -1.
    int Run();

private:
    enum class Dsr { Unknown, Off, On };

    bool Allocate();
    bool StartOperations();
    bool ReadStatus();
    bool ReadLines(DeviceStatus* status);
    bool Wait(bool ready[EVENT_COUNT]);
    int BuildPollSet(pollfd fds[SLOT_COUNT], bool ready[EVENT_COUNT]);
    bool LookAtClosedUserSide(bool ready[EVENT_COUNT]);
    void MarkReady(const pollfd fds[SLOT_COUNT], bool ready[EVENT_COUNT]);
    void Handle(int event);
    void HandleRead();
    void HandleSent();
    void HandleReceived();
    void HandleWritten();
    void HandleAccept();
    void SocketFailed(const char* call);
    ssize_t Put(bool toSocket);
    void Drain(bool toSocket);
    bool MayRead(const ByteQueue& queue, const OutBuffer& out) const;
    void Moved(TraceDirection direction, const unsigned char* data, size_t count);
    void MarkPassTimes();
    void End(std::string reason);
    uint32_t DirectRoom(const ByteQueue& queue, const OutBuffer& out) const;
    ssize_t ReadDevice(unsigned char* buf, size_t n);

    PortRecord* record_;
    const char* name_;
    const BridgeDevice& device_;
    int sock_;
    Protocol& framing_;
    bool detectDtr_;
    int listenFd_;  // -1 once accept() has failed on it
    const StopEvent& stop_;
    UniqueFd newer_;
    std::unique_ptr<LineWatch> lineWatch_;  // while the framing wants the line

    uint32_t size_ = kDatagramSize;  // of each of the four buffers
    std::unique_ptr<unsigned char[]> memory_;
    unsigned char* devIn_ = nullptr;
    unsigned char* sockIn_ = nullptr;
    OutBuffer sockOut_;
    OutBuffer devOut_;

    // A pending operation is wanted and waits for its descriptor to be
    // ready.
    bool devReadPending_ = false;
    bool sockWritePending_ = false;
    bool sockReadPending_ = false;
    bool devWritePending_ = false;
    bool statPending_ = false;

    bool ready_[EVENT_COUNT] = {};
    Dsr dsr_ = Dsr::Unknown;
    int lineFd_ = -1;  // from the last status read
    bool lineTaken_ = false;  // the user side's line was read this connection
    bool datagram_ = false;
    bool transparent_ = false;
    bool endOfStream_ = false;  // the peer's end was read: no more socket reads
    bool discardDevOut_ = false;
    bool end_ = false;
    std::string endReason_ = "the bridge side failed";
    bool fromSerial_ = false;  // bytes moved this pass, each way
    bool toSerial_ = false;
};

// Buffers sized for the link, had once per connection: nothing is
// allocated while bytes flow.
bool Pump::Allocate()
{
    int type = 0;
    socklen_t len = sizeof type;
    datagram_ = getsockopt(sock_, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_DGRAM;
    if (!datagram_)
        size_ = std::clamp(framing_.toNet.Limit(), kDatagramSize, kMaxStreamBuffer);
    transparent_ = framing_.Transparent();
    memory_.reset(new (std::nothrow) unsigned char[4 * size_]);
    if (!memory_) {
        errno = ENOMEM;
        LogLastError("%s: InOut(): new[]", name_);
        return false;
    }
    devIn_ = memory_.get();
    sockIn_ = devIn_ + size_;
    sockOut_.data = sockIn_ + size_;
    devOut_.data = sockOut_.data + size_;
    return true;
}

int Pump::Run()
{
    LogLine("%s: InOut() START\n", name_);
    framing_.Reset();
    if (LineListener* line = framing_.LineChanges())
        lineWatch_.reset(new (std::nothrow) LineWatch(device_.Fd(), *line));
    if (Allocate()) {
        while (StartOperations() && Wait(ready_)) {
            for (int e = 0; e < EVENT_COUNT && !end_; ++e) {
                if (ready_[e])
                    Handle(e);
            }
            if (framing_.Poll()) {
                endReason_ = "the framed link closed (idle, or the peer asked)";
                break;
            }
            if (framing_.TakeRegistered())
                PostPortState(record_, STATE_REGISTERED);
            if (uint8_t modem; framing_.TakeModemLines(&modem))
                SetUserSideModem(device_, modem);
            MarkPassTimes();
            if (end_)
                break;
        }
    }
    MarkPassTimes();
    LogLine("%s: InOut() - STOP\n", name_);
    NotePeerGone(record_, endReason_);
    return newer_.Release();
}

// Bytes that left or reached the serial program: traced when a trace is on,
// and marked for the pass's times.
void Pump::Moved(TraceDirection direction, const unsigned char* data, size_t count)
{
    (direction == TraceDirection::kSerialToNet ? fromSerial_ : toSerial_) = true;
    if (record_->trace.On())
        record_->trace.Data(name_, direction, data, count);
}

// One coarse clock read for a pass that moved bytes, none for one that did not.
void Pump::MarkPassTimes()
{
    if (!fromSerial_ && !toSerial_)
        return;
    const int64_t now = CoarseWallMicros();
    if (fromSerial_)
        record_->lastFromSerialAt.store(now, std::memory_order_relaxed);
    if (toSerial_)
        record_->lastToSerialAt.store(now, std::memory_order_relaxed);
    fromSerial_ = toSerial_ = false;
}

void Pump::End(std::string reason)
{
    if (!end_)
        endReason_ = std::move(reason);
    end_ = true;
}

// The start of a pass: reads DSR (and the line) when the last pass saw it
// change, first, so that what that queues goes out in this pass; fills the
// output buffers, and asks for the reads that the queues have room for.
// False ends the connection at once.
bool Pump::StartOperations()
{
    if (!statPending_) {
        statPending_ = true;
        if (!ReadStatus())
            return false;
    }
    if (!sockWritePending_) {
        if (sockOut_.Empty())
            sockOut_.Fill(framing_.toNet, size_);
        sockWritePending_ = !sockOut_.Empty();
    }
    if (!devReadPending_ && MayRead(framing_.toNet, sockOut_))
        devReadPending_ = true;
    if (!devWritePending_) {
        if (devOut_.Empty())
            devOut_.Fill(framing_.toSerial, size_);
        devWritePending_ = !devOut_.Empty();
    }
    if (!sockReadPending_ && MayRead(framing_.toSerial, devOut_))
        sockReadPending_ = true;
    return true;
}

bool Pump::MayRead(const ByteQueue& queue, const OutBuffer& out) const
{
    if (queue.IsOverLimit())
        return false;
    // A raw stream waits for room in the output buffer rather than queue:
    // the kernel's buffers hold the writer back just the same, and no byte
    // is copied twice.
    return !transparent_ || datagram_ || queue.Count() != 0 || out.count < size_;
}

// Room for a read straight behind what an output buffer holds, or 0 when
// the bytes must go through the framing object: it changes them, or bytes
// queued before them must go first. A datagram is read only into an empty
// buffer, so that none is cut.
uint32_t Pump::DirectRoom(const ByteQueue& queue, const OutBuffer& out) const
{
    if (!transparent_ || queue.Count() != 0 || (datagram_ && out.count != 0))
        return 0;
    return size_ - out.count;
}

// The device's status, and on a user side that sees the program's line
// itself what the program did to it, for the framing that wants it. Only a
// change wakes this: bytes pass without it.
bool Pump::ReadLines(DeviceStatus* status)
{
    if (!ReadDeviceStatus(device_, status))
        return false;
    lineFd_ = status->lineEventFd;
    LineListener* line = framing_.LineChanges();
    if (line && lineFd_ >= 0) {
        TakeUserSideLine(device_, *line, !lineTaken_);
        lineTaken_ = true;
    }
    return true;
}

bool Pump::ReadStatus()
{
    DeviceStatus status;
    if (!ReadLines(&status)) {
        LogLastError("%s: InOut(): poll()", name_);
        return false;
    }
    // With "Detect DTR" the link lasts while the program holds DTR on.
    if (detectDtr_ ? status.dtr : status.dsr) {
        if (dsr_ != Dsr::On)
            LogLine("%s: DSR is ON\n", name_);
        dsr_ = Dsr::On;
        return true;
    }
    if (dsr_ != Dsr::Off) {
        LogLine("%s: DSR is OFF\n", name_);
        // Found closed as the connection starts: what a program wrote
        // before, no connection took; bytes waiting for the user side were
        // meant for a program that has gone. Found closed later: what the
        // program wrote is still read and carried.
        PurgeUserSide(device_, dsr_ == Dsr::Unknown);
        dsr_ = Dsr::Off;
    }
    if (!detectDtr_)
        return true;
    // The closing program's last bytes still go out.
    ssize_t n;
    while ((n = ReadDevice(devIn_, size_)) > 0) {
        Moved(TraceDirection::kSerialToNet, devIn_, static_cast<size_t>(n));
        framing_.FromSerial(devIn_, static_cast<int>(n));
    }
    Drain(true);
    endReason_ = "the serial program closed its port";
    return false;
}

// The one wait of a pass. Marks what is ready; false ends the connection.
bool Pump::Wait(bool ready[EVENT_COUNT])
{
    pollfd fds[SLOT_COUNT];
    int timeout = BuildPollSet(fds, ready);
    if (end_)
        return false;
    int n = poll(fds, SLOT_COUNT, timeout);
    if (n < 0) {
        if (errno == EINTR)
            return true;
        LogLastError("%s: InOut(): poll()", name_);
        return false;
    }
    for (const pollfd& p : fds) {
        if (p.revents & POLLNVAL) {
            errno = EBADF;
            LogLastError("%s: InOut(): poll()", name_);
            return false;
        }
    }
    MarkReady(fds, ready);
    return true;
}

// What the pass waits for, and how long: with no time-out unless the
// framing has a probe or close due, or the user side is closed and only
// looking again tells of an open. Events known before the wait are marked.
int Pump::BuildPollSet(pollfd fds[SLOT_COUNT], bool ready[EVENT_COUNT])
{
    std::fill(ready, ready + EVENT_COUNT, false);
    discardDevOut_ = false;
    pollfd device{device_.Fd(), 0, 0};
    if (devReadPending_)
        device.events |= POLLIN;
    if (devWritePending_)
        device.events |= POLLOUT;
    int timeout = -1;
    if (dsr_ != Dsr::On) {
        if (!LookAtClosedUserSide(ready)) {
            end_ = true;
            return 0;
        }
        device.fd = -1;
        // A user side with lines of its own tells of an open: no looking.
        if (lineFd_ < 0)
            timeout = kClosedLookMs;
    }
    ready[EVENT_CLOSE] = endOfStream_;

    short sockEvents = 0;
    if (sockWritePending_)
        sockEvents |= POLLOUT;
    if (sockReadPending_ && !endOfStream_)
        sockEvents |= POLLIN;
    fds[SLOT_STOP] = {stop_.Fd(), POLLIN, 0};
    fds[SLOT_SOCK] = {sock_, sockEvents, 0};
    fds[SLOT_LISTEN] = {listenFd_, POLLIN, 0};
    fds[SLOT_DEVICE] = device;
    fds[SLOT_LINES] = {lineFd_, POLLIN, 0};

    int due = framing_.SecondsUntilDue();
    if (due >= 0)
        timeout = Sooner(timeout, MsUntilSecondsPass(static_cast<uint32_t>(due)));
    if (std::find(ready, ready + EVENT_COUNT, true) != ready + EVENT_COUNT)
        timeout = 0;
    return timeout;
}

// The bridge side reports its hang-up without pause while nobody holds the
// user side: it stays out of the poll set and is looked at once per pass.
// False when it cannot be looked at.
bool Pump::LookAtClosedUserSide(bool ready[EVENT_COUNT])
{
    DeviceStatus status;
    if (!ReadLines(&status)) {
        LogLastError("%s: InOut(): poll()", name_);
        return false;
    }
    ready[EVENT_READ] = devReadPending_ && status.input;
    // Nobody listens: the bytes go nowhere, at once.
    discardDevOut_ = devWritePending_ && !status.dsr;
    ready[EVENT_WRITTEN] = discardDevOut_;
    ready[EVENT_STAT] = detectDtr_ ? status.dtr : status.dsr;
    return true;
}

void Pump::MarkReady(const pollfd fds[SLOT_COUNT], bool ready[EVENT_COUNT])
{
    const short s = fds[SLOT_SOCK].revents;
    const short d = fds[SLOT_DEVICE].revents;
    if (dsr_ == Dsr::On) {
        ready[EVENT_READ] = devReadPending_ && (d & POLLIN);
        // Never write into a user side that was just closed: the hang-up is
        // taken first, and the bytes are discarded from then on.
        ready[EVENT_WRITTEN] = devWritePending_ && (d & POLLOUT) && !(d & POLLHUP);
        ready[EVENT_STAT] = (d & (POLLHUP | POLLERR)) != 0;
    }
    if (fds[SLOT_LINES].revents)
        ready[EVENT_STAT] = true;
    ready[EVENT_SENT] = sockWritePending_ && (s & (POLLOUT | POLLERR));
    // An error reaches the socket read even when none is wanted, so that
    // it ends the connection instead of being reported again and again.
    ready[EVENT_RECEIVED] =
        (sockReadPending_ && !endOfStream_ && (s & (POLLIN | POLLHUP))) || (s & POLLERR);
    if (!datagram_ && (s & POLLHUP))
        ready[EVENT_CLOSE] = true;
    ready[EVENT_ACCEPT] = fds[SLOT_LISTEN].revents != 0;
    ready[EVENT_STOP] = fds[SLOT_STOP].revents != 0;
}

void Pump::Handle(int event)
{
    switch (event) {
    case EVENT_READ:
        HandleRead();
        break;
    case EVENT_SENT:
        HandleSent();
        break;
    case EVENT_RECEIVED:
        HandleReceived();
        break;
    case EVENT_WRITTEN:
        HandleWritten();
        break;
    case EVENT_STAT:
        statPending_ = false;  // the next pass reads the status
        break;
    case EVENT_CLOSE:
        LogLine("%s: EVENT_CLOSE\n", name_);
        if (devWritePending_ || framing_.toSerial.Count() != 0)
            Drain(false);
        End("the peer closed the connection");
        break;
    case EVENT_ACCEPT:
        HandleAccept();
        break;
    case EVENT_STOP:
        End("stopped");
        break;
    }
}

// The socket failed (a reset, a peer found dead): the connection ends, and
// the port list shows why.
void Pump::SocketFailed(const char* call)
{
    const int err = errno;
    LogLastError("%s: InOut(): %s", name_, call);
    char text[256];
    const std::string reason = strerror_r(err, text, sizeof text);
    NoteFailure(record_, err, "connection: " + reason);
    // A vanished peer is what keepalive and the user time-out find.
    End(err == ETIMEDOUT ? "dead peer: " + reason : reason);
}

// A client the filter refuses is closed without touching this connection;
// an allowed one ends it and is served next.
void Pump::HandleAccept()
{
    newer_.Reset(AcceptAllowed(record_, listenFd_));
    if (newer_.IsValid()) {
        LogLine("%s: EVENT_ACCEPT\n", name_);
        End("a newer client");
    } else if (errno != EACCES && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
               errno != ECONNABORTED) {
        listenFd_ = -1;  // out of descriptors: the listener would wake every pass
    }
}

void Pump::HandleRead()
{
    const uint32_t room = DirectRoom(framing_.toNet, sockOut_);
    ssize_t n = room ? read(device_.Fd(), sockOut_.Tail(), room) : ReadDevice(devIn_, size_);
    if (n > 0) {
        devReadPending_ = false;
        if (room) {
            // A pseudo-terminal gives a few KiB per read and refills while
            // the last piece is taken: a long read is followed by another,
            // so that the socket gets fewer, larger pieces. A short one
            // means nothing more is there, and a lone byte goes at once.
            const uint32_t start = sockOut_.count;
            sockOut_.count += static_cast<uint32_t>(n);
            while (n >= static_cast<ssize_t>(kDatagramSize) && sockOut_.count < size_) {
                n = read(device_.Fd(), sockOut_.Tail(), size_ - sockOut_.count);
                if (n > 0)
                    sockOut_.count += static_cast<uint32_t>(n);
            }
            Moved(TraceDirection::kSerialToNet, sockOut_.data + start, sockOut_.count - start);
        } else {
            Moved(TraceDirection::kSerialToNet, devIn_, static_cast<size_t>(n));
            framing_.FromSerial(devIn_, static_cast<int>(n));
        }
        // Sent in this pass if the socket takes it, as the next event in
        // order: a wait less per piece.
        if (!sockWritePending_) {
            if (sockOut_.Empty())
                sockOut_.Fill(framing_.toNet, size_);
            sockWritePending_ = ready_[EVENT_SENT] = !sockOut_.Empty();
        }
    } else if (n == 0 || errno == EIO) {
        devReadPending_ = false;  // the user side is closed: no data now
    } else if (!WouldBlock(errno)) {
        LogLastError("%s: InOut(): read()", name_);
        End(std::string("read(): ") + strerror(errno));
    }
}

// A read of the bridge side that is not the raw fast path's.
ssize_t Pump::ReadDevice(unsigned char* buf, size_t n)
{
    return lineWatch_ ? lineWatch_->Read(buf, n) : read(device_.Fd(), buf, n);
}

void Pump::HandleSent()
{
    if (Put(true) >= 0) {
        sockWritePending_ = false;
    } else if (!WouldBlock(errno)) {
        SocketFailed("send()");
    }
}

void Pump::HandleReceived()
{
    if (!sockReadPending_ || endOfStream_) {
        // Only an error condition brings us here: take it off the socket.
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(sock_, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err != 0) {
            errno = err;
            SocketFailed("getsockopt(SO_ERROR)");
        }
        return;
    }
    const uint32_t room = DirectRoom(framing_.toSerial, devOut_);
    ssize_t n = recv(sock_, room ? devOut_.Tail() : sockIn_, room ? room : size_,
                     datagram_ ? MSG_TRUNC : 0);
    if (n > static_cast<ssize_t>(size_)) {
        // A datagram cut to fit the buffer would reach the serial side with a
        // hole in it.
        errno = EMSGSIZE;
        SocketFailed("recv()");
    } else if (n > 0) {
        sockReadPending_ = false;
        record_->bytesIn.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        if (room)
            devOut_.count += static_cast<uint32_t>(n);
        else
            framing_.FromNet(sockIn_, static_cast<int>(n));
        if (!devWritePending_ && dsr_ == Dsr::On && !ready_[EVENT_STAT]) {
            if (devOut_.Empty())
                devOut_.Fill(framing_.toSerial, size_);
            devWritePending_ = ready_[EVENT_WRITTEN] = !devOut_.Empty();
        }
    } else if (n == 0 && datagram_) {
        sockReadPending_ = false;  // an empty datagram is an empty message, not an end
    } else if (n == 0) {
        LogLine("%s: Received EOF\n", name_);
        endOfStream_ = true;  // the read stays pending: nothing more comes
    } else if (!WouldBlock(errno)) {
        SocketFailed("recv()");
    }
}

void Pump::HandleWritten()
{
    if (discardDevOut_) {
        devOut_.Clear();
        devWritePending_ = false;
        return;
    }
    if (Put(false) >= 0) {
        devWritePending_ = false;
    } else if (errno == EIO) {
        devOut_.Clear();  // the user side went away under the write
        devWritePending_ = false;
    } else if (!WouldBlock(errno)) {
        LogLastError("%s: InOut(): write()", name_);
        End(std::string("write(): ") + strerror(errno));
    }
}

// Writes what one direction's output buffer holds, to the socket (counted
// as sent) or to the bridge side. As send() and write(): -1 with errno.
ssize_t Pump::Put(bool toSocket)
{
    OutBuffer& out = toSocket ? sockOut_ : devOut_;
    const ssize_t n = toSocket ? send(sock_, out.Rest(), out.RestSize(), MSG_NOSIGNAL)
                               : write(device_.Fd(), out.Rest(), out.RestSize());
    if (n > 0) {
        if (!toSocket)
            Moved(TraceDirection::kNetToSerial, out.Rest(), static_cast<size_t>(n));
        out.Advance(static_cast<uint32_t>(n));
        if (toSocket)
            record_->bytesOut.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    }
    return n;
}

// The last bytes of a connection leave while they are taken: what a closing
// serial program wrote, to the socket; what the peer sent before it closed,
// to the serial program, unless it has closed its port too. A stop ends it.
void Pump::Drain(bool toSocket)
{
    OutBuffer& out = toSocket ? sockOut_ : devOut_;
    ByteQueue& queue = toSocket ? framing_.toNet : framing_.toSerial;
    const int fd = toSocket ? sock_ : device_.Fd();
    // A socket's error is taken by the send; a user side that hung up takes
    // nothing more.
    const short ready = toSocket ? POLLOUT | POLLERR : POLLOUT;
    const short gone = toSocket ? 0 : POLLHUP;
    for (;;) {
        if (out.Empty()) {
            out.Fill(queue, size_);
            if (out.Empty())
                return;
        }
        pollfd p[2] = {{fd, POLLOUT, 0}, {stop_.Fd(), POLLIN, 0}};
        if (PollUntil(p, 2, DeadlineIn(kLastWritePauseMs)) <= 0 || p[1].revents ||
            !(p[0].revents & ready) || (p[0].revents & gone))
            return;
        if (Put(toSocket) < 0 && !WouldBlock(errno)) {
            if (toSocket || errno != EIO)
                LogLastError("%s: InOut(): %s", name_, toSocket ? "send()" : "write()");
            return;
        }
    }
}

}  // namespace

int InOut(PortRecord* record, const BridgeDevice& device, int sock, Protocol& framing,
          bool detectDtr, int listenFd, const StopEvent& stop)
{
    Pump pump(record, device, sock, framing, detectDtr, listenFd, stop);
    return pump.Run();
}
