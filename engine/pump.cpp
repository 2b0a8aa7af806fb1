#include "engine/pump.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

#include "engine/bridge.h"
#include "engine/port_table.h"
#include "engine/protocol.h"
#include "engine/serial_side.h"

namespace {

constexpr uint32_t kBufferSize = 1024;
constexpr int kWaitMs = 50;
constexpr int kShortWaitMs = 5;
constexpr auto kLastWritePause = std::chrono::milliseconds(1000);

using Clock = std::chrono::steady_clock;

// The order is the priority: when several are ready in one pass, the lowest
// data event (0 to 4) is handled, and the lowest of 5 to 7 with it.
enum Event : int {
    EVENT_READ,      // the bridge side has bytes for the network
    EVENT_SENT,      // the socket takes more of the socket-output buffer
    EVENT_RECEIVED,  // the socket has bytes (or its end, or an error)
    EVENT_WRITTEN,   // the bridge side takes more of the device-output buffer
    EVENT_STAT,      // DSR changed
    EVENT_CLOSE,     // the peer closed the connection
    EVENT_ACCEPT,    // a newer client waits (tcpserver)
    EVENT_STOP,      // the bridge is being stopped
    EVENT_COUNT
};

struct OutBuffer {
    unsigned char data[kBufferSize];
    uint32_t count = 0;
    uint32_t written = 0;

    bool Empty() const { return written >= count; }
    void Fill(ByteQueue& queue)
    {
        count = queue.Read(data, kBufferSize);
        written = 0;
    }
    const unsigned char* Rest() const { return data + written; }
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

int MsUntil(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

class Pump {
public:
    Pump(PortRecord* record, const BridgeDevice& device, int sock, Protocol& framing,
         bool ignoreDsr, int listenFd, const StopEvent& stop)
        : record_(record), device_(device), sock_(sock), framing_(framing),
          ignoreDsr_(ignoreDsr), listenFd_(listenFd), stop_(stop)
    {
    }

    void Run();

private:
    enum class Dsr { Unknown, Off, On };

    bool StartOperations();
    void Wait(bool signalled[EVENT_COUNT]);
    void Handle(int event);
    void HandleRead();
    void HandleSent();
    void HandleReceived();
    void HandleWritten();
    void DrainToSocket(Clock::time_point deadline);
    void DrainToDevice(Clock::time_point deadline);
    bool WaitReady(int fd, short events, Clock::time_point deadline, short* revents);

    PortRecord* record_;
    const BridgeDevice& device_;
    int sock_;
    Protocol& framing_;
    bool ignoreDsr_;
    int listenFd_;
    const StopEvent& stop_;

    unsigned char devIn_[kBufferSize];
    unsigned char sockIn_[kBufferSize];
    OutBuffer sockOut_;
    OutBuffer devOut_;

    // A pending operation is wanted and waits for its descriptor to be
    // ready; the log texts keep the names these operations have always had.
    bool devReadPending_ = false;
    bool sockWritePending_ = false;
    bool sockReadPending_ = false;
    bool devWritePending_ = false;
    bool statPending_ = false;

    Dsr dsr_ = Dsr::Unknown;
    bool datagram_ = false;
    bool endOfStream_ = false;  // the peer's end was read: no more socket reads
    bool discardDevOut_ = false;
    bool end_ = false;
};

void Pump::Run()
{
    LogLine("InOut() START\n");
    framing_.Reset();
    int type = 0;
    socklen_t len = sizeof type;
    datagram_ = getsockopt(sock_, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_DGRAM;

    for (;;) {
        if (!StartOperations())
            break;
        bool signalled[EVENT_COUNT];
        Wait(signalled);
        if (!end_) {
            const bool* first = std::find(signalled, signalled + EVENT_STAT + 1, true);
            const bool* control = std::find(signalled + EVENT_CLOSE, signalled + EVENT_COUNT, true);
            if (first != signalled + EVENT_STAT + 1)
                Handle(static_cast<int>(first - signalled));
            // A close, a newer client or a stop never waits behind a steady
            // stream of data: it is taken in the same pass.
            if (!end_ && control != signalled + EVENT_COUNT)
                Handle(static_cast<int>(control - signalled));
        }
        if (framing_.Poll())
            break;
        if (framing_.TakeRegistered())
            PostPortState(record_, STATE_REGISTERED);
        if (end_)
            break;
    }
    LogLine("InOut() - STOP\n");
}

// The start of a pass: fills the output buffers, asks for the reads that
// the queues have room for, and reads DSR when its watch has fired. False
// ends the connection at once.
bool Pump::StartOperations()
{
    if (!sockWritePending_) {
        if (sockOut_.Empty())
            sockOut_.Fill(framing_.toNet);
        sockWritePending_ = !sockOut_.Empty();
    }
    if (!devReadPending_ && !framing_.toNet.IsOverLimit())
        devReadPending_ = true;
    if (!devWritePending_) {
        if (devOut_.Empty())
            devOut_.Fill(framing_.toSerial);
        devWritePending_ = !devOut_.Empty();
    }
    if (!sockReadPending_ && !framing_.toSerial.IsOverLimit())
        sockReadPending_ = true;

    if (!statPending_) {
        statPending_ = true;
        DeviceStatus status;
        if (!ReadDeviceStatus(device_, &status)) {
            LogLastError("InOut(): GetCommModemStatus()");
            return false;
        }
        if (!status.dsr) {
            if (dsr_ != Dsr::Off) {
                LogLine("DSR is OFF\n");
                dsr_ = Dsr::Off;
                PurgeUserSide(device_);
            }
            if (!ignoreDsr_) {
                if (sockWritePending_)
                    DrainToSocket(Clock::now() + kLastWritePause);
                return false;
            }
        } else if (dsr_ != Dsr::On) {
            LogLine("DSR is ON\n");
            dsr_ = Dsr::On;
        }
    }
    return true;
}

// The one wait of a pass: at most 50 ms (5 ms while a direction has nothing
// under way, for the close, accept and stop events only). Marks what is ready.
void Pump::Wait(bool signalled[EVENT_COUNT])
{
    std::fill(signalled, signalled + EVENT_COUNT, false);
    const bool idle = (!devReadPending_ && !sockWritePending_) ||
                      (!sockReadPending_ && !devWritePending_) || !statPending_;
    discardDevOut_ = false;

    // While no program holds the user side open the master reports a hang-up
    // without pause; it stays out of the poll set then and is looked at once
    // per pass, so a closed port costs a wakeup per wait bound, not a core.
    bool deviceInSet = false;
    if (!idle) {
        if (dsr_ == Dsr::On) {
            deviceInSet = true;
        } else {
            DeviceStatus status;
            if (!ReadDeviceStatus(device_, &status)) {
                LogLastError("InOut(): GetCommModemStatus()");
                end_ = true;
                return;
            }
            signalled[EVENT_READ] = devReadPending_ && status.input;
            // Nobody listens: the bytes go nowhere, at once.
            discardDevOut_ = devWritePending_ && !status.dsr;
            signalled[EVENT_WRITTEN] = discardDevOut_;
            signalled[EVENT_STAT] = status.dsr;
        }
    }
    signalled[EVENT_CLOSE] = endOfStream_;

    short sockEvents = 0;
    if (!idle) {
        if (sockWritePending_)
            sockEvents |= POLLOUT;
        if (sockReadPending_ && !endOfStream_)
            sockEvents |= POLLIN;
    }
    short devEvents = 0;
    if (devReadPending_)
        devEvents |= POLLIN;
    if (devWritePending_)
        devEvents |= POLLOUT;
    pollfd fds[4] = {
        {stop_.Fd(), POLLIN, 0},
        {sock_, sockEvents, 0},
        {listenFd_, POLLIN, 0},
        {deviceInSet ? device_.Fd() : -1, devEvents, 0},
    };
    const bool ready = std::find(signalled, signalled + EVENT_COUNT, true) != signalled + EVENT_COUNT;
    int n = poll(fds, 4, ready ? 0 : (idle ? kShortWaitMs : kWaitMs));
    if (n < 0) {
        if (errno != EINTR) {
            LogLastError("InOut(): WaitForMultipleObjects()");
            end_ = true;
        }
        return;
    }
    for (const pollfd& p : fds) {
        if (p.revents & POLLNVAL) {
            errno = EBADF;
            LogLastError("InOut(): WaitForMultipleObjects()");
            end_ = true;
            return;
        }
    }

    const short s = fds[1].revents;
    const short d = fds[3].revents;
    if (deviceInSet) {
        signalled[EVENT_READ] = devReadPending_ && (d & POLLIN);
        // Never write into a user side that was just closed: the hang-up is
        // taken first, and the bytes are discarded from then on.
        signalled[EVENT_WRITTEN] = devWritePending_ && (d & POLLOUT) && !(d & POLLHUP);
        signalled[EVENT_STAT] = (d & (POLLHUP | POLLERR)) != 0;
    }
    if (!idle) {
        signalled[EVENT_SENT] = sockWritePending_ && (s & (POLLOUT | POLLERR));
        // An error reaches the socket read even when none is wanted, so that
        // it ends the connection instead of being reported again and again.
        signalled[EVENT_RECEIVED] =
            (sockReadPending_ && !endOfStream_ && (s & (POLLIN | POLLHUP))) || (s & POLLERR);
        if (!datagram_ && (s & POLLHUP))
            signalled[EVENT_CLOSE] = true;
    } else if (s & (POLLHUP | POLLERR)) {
        signalled[EVENT_CLOSE] = true;
    }
    signalled[EVENT_ACCEPT] = fds[2].revents != 0;
    signalled[EVENT_STOP] = fds[0].revents != 0;
}

// Takes one ready event.
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
        LogLine("EVENT_CLOSE\n");
        if (devWritePending_ || framing_.toSerial.Count() != 0)
            DrainToDevice(Clock::now() + kLastWritePause);
        end_ = true;
        break;
    case EVENT_ACCEPT:
        LogLine("EVENT_ACCEPT\n");
        end_ = true;
        break;
    case EVENT_STOP:
        end_ = true;
        break;
    }
}

void Pump::HandleRead()
{
    ssize_t n = read(device_.Fd(), devIn_, kBufferSize);
    if (n > 0) {
        devReadPending_ = false;
        framing_.FromSerial(devIn_, static_cast<int>(n));
    } else if (n == 0 || errno == EIO) {
        devReadPending_ = false;  // the user side is closed: no data now
    } else if (!WouldBlock(errno)) {
        LogLastError("InOut(): GetOverlappedResult(EVENT_READ)");
        end_ = true;
    }
}

void Pump::HandleSent()
{
    ssize_t n = send(sock_, sockOut_.Rest(), sockOut_.RestSize(), MSG_NOSIGNAL);
    if (n >= 0) {
        sockOut_.Advance(static_cast<uint32_t>(n));
        sockWritePending_ = false;
    } else if (!WouldBlock(errno)) {
        LogLastError("InOut(): GetOverlappedResult(EVENT_SENT)");
        end_ = true;
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
            LogLastError("InOut(): GetOverlappedResult(EVENT_RECEIVED)");
            end_ = true;
        }
        return;
    }
    ssize_t n = recv(sock_, sockIn_, kBufferSize, datagram_ ? MSG_TRUNC : 0);
    if (n > static_cast<ssize_t>(kBufferSize)) {
        // A datagram cut to fit the buffer would reach the serial side with a
        // hole in it.
        errno = EMSGSIZE;
        LogLastError("InOut(): GetOverlappedResult(EVENT_RECEIVED)");
        end_ = true;
    } else if (n > 0) {
        sockReadPending_ = false;
        framing_.FromNet(sockIn_, static_cast<int>(n));
    } else if (n == 0 && datagram_) {
        sockReadPending_ = false;  // an empty datagram is an empty message, not an end
    } else if (n == 0) {
        LogLine("Received EOF\n");
        endOfStream_ = true;  // the read stays pending: nothing more comes
    } else if (!WouldBlock(errno)) {
        LogLastError("InOut(): GetOverlappedResult(EVENT_RECEIVED)");
        end_ = true;
    }
}

void Pump::HandleWritten()
{
    if (discardDevOut_) {
        devOut_.Clear();
        devWritePending_ = false;
        return;
    }
    ssize_t n = write(device_.Fd(), devOut_.Rest(), devOut_.RestSize());
    if (n >= 0) {
        devOut_.Advance(static_cast<uint32_t>(n));
        devWritePending_ = false;
    } else if (errno == EIO) {
        devOut_.Clear();  // the user side went away under the write
        devWritePending_ = false;
    } else if (!WouldBlock(errno)) {
        LogLastError("InOut(): GetOverlappedResult(EVENT_WRITTEN)");
        end_ = true;
    }
}

// Waits until fd is ready or the deadline passes; false on the deadline.
bool Pump::WaitReady(int fd, short events, Clock::time_point deadline, short* revents)
{
    *revents = 0;
    pollfd p{fd, events, 0};
    int n;
    do {
        n = poll(&p, 1, MsUntil(deadline));
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return false;
    *revents = p.revents;
    return true;
}

// The last bytes of a serial program that closed its port get up to the
// pause to reach the network before the connection ends.
void Pump::DrainToSocket(Clock::time_point deadline)
{
    for (;;) {
        if (sockOut_.Empty()) {
            sockOut_.Fill(framing_.toNet);
            if (sockOut_.Empty())
                return;
        }
        short revents = 0;
        if (!WaitReady(sock_, POLLOUT, deadline, &revents) || !(revents & (POLLOUT | POLLERR)))
            return;
        ssize_t n = send(sock_, sockOut_.Rest(), sockOut_.RestSize(), MSG_NOSIGNAL);
        if (n >= 0) {
            sockOut_.Advance(static_cast<uint32_t>(n));
        } else if (!WouldBlock(errno)) {
            LogLastError("InOut(): GetOverlappedResult(EVENT_SENT)");
            return;
        }
    }
}

// What the peer sent before it closed gets up to the pause to reach the
// serial program; with no program on the user side it is discarded.
void Pump::DrainToDevice(Clock::time_point deadline)
{
    for (;;) {
        if (devOut_.Empty()) {
            devOut_.Fill(framing_.toSerial);
            if (devOut_.Empty())
                return;
        }
        short revents = 0;
        if (!WaitReady(device_.Fd(), POLLOUT, deadline, &revents) || (revents & POLLHUP) ||
            !(revents & POLLOUT))
            return;
        ssize_t n = write(device_.Fd(), devOut_.Rest(), devOut_.RestSize());
        if (n >= 0) {
            devOut_.Advance(static_cast<uint32_t>(n));
        } else if (!WouldBlock(errno)) {
            if (errno != EIO)
                LogLastError("InOut(): GetOverlappedResult(EVENT_WRITTEN)");
            return;
        }
    }
}

}  // namespace

void InOut(PortRecord* record, const BridgeDevice& device, int sock, Protocol& framing,
           bool ignoreDSR, int listenFd, const StopEvent& stop)
{
    Pump pump(record, device, sock, framing, ignoreDSR, listenFd, stop);
    pump.Run();
}
