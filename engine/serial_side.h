// The bridge side of a pair as the bridge's serial device, and the care that
// no byte to or from the user side outlives the open of the port it belongs to.
#pragma once

#include <poll.h>
#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <cstdint>

#include "engine/diagnostics.h"
#include "engine/unique_fd.h"

class BridgeSideProvider;
struct PortRecord;

struct SerialParams {
    int32_t baudRate = 19200;  // applied when > 0
    int32_t byteSize = 8;      // applied when > 0
    int32_t parity = 0;        // 0 none, 1 odd, 2 even, 3 mark, 4 space; -1 keeps the device's
    int32_t stopBits = 0;      // 0 one, 1 one and a half, 2 two; -1 keeps the device's
    int32_t ignoreDSR = 1;     // 0: the connection ends when DSR goes off
};

const char* ParityName(int32_t parity);      // -1 "default", 0 "no", ... 4 "space", else "?"
const char* StopBitsName(int32_t stopBits);  // -1 "default", 0 "1", 1 "1.5", 2 "2", else "?"

// The open bridge side of a pair: a pseudo-terminal master from the pair
// layer, non-blocking while the bridge holds it. Handed back to the pair
// layer when the object goes away.
class BridgeDevice {
public:
    BridgeDevice() = default;
    ~BridgeDevice() { Close(); }
    BridgeDevice(BridgeDevice&& other) noexcept;
    BridgeDevice& operator=(BridgeDevice&& other) noexcept;
    BridgeDevice(const BridgeDevice&) = delete;
    BridgeDevice& operator=(const BridgeDevice&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    // The line settings the bridge side keeps; a pseudo-terminal has no line,
    // so they are bookkeeping for the log and for callers that ask.
    const SerialParams& Settings() const { return settings_; }
    void Close();

private:
    friend BridgeDevice HoldBridgeSide(const char* path);
    friend BridgeDevice OpenDevice(const char* path, const SerialParams& params);

    int fd_ = -1;
    int savedFlags_ = 0;
    char name_[16] = {};
    BridgeSideProvider* provider_ = nullptr;
    SerialParams settings_;
};

// Writes into the bridge side that may wait a little for room. A writer woken
// inside the kernel when the serial program has read refills the terminal at
// once, where one woken from poll() first returns to the bridge and comes
// back: a fuller terminal moves network bytes faster. A timer of the calling
// thread ends each write after the limit, so that what else the bridge waits
// for (the other direction, a stop, a hang-up) never waits longer. Made and
// used on the one bridge thread; without a timer it writes as write() does.
class BoundedDeviceWriter {
public:
    explicit BoundedDeviceWriter(std::chrono::microseconds limit);
    ~BoundedDeviceWriter();
    BoundedDeviceWriter(const BoundedDeviceWriter&) = delete;
    BoundedDeviceWriter& operator=(const BoundedDeviceWriter&) = delete;

    // As write() on the bridge side's non-blocking descriptor, except that
    // it may wait up to the limit for room; a wait that ends with nothing
    // written fails with EINTR.
    ssize_t Write(int fd, const void* data, size_t n);

private:
    timer_t timer_{};
    bool hasTimer_ = false;
    std::chrono::microseconds limit_;
};

// Opens "\\.\ZPVB5" through the bridge-side provider. Logs and gives a
// closed device on failure.
BridgeDevice OpenDevice(const char* path, const SerialParams& params);

// The same bridge side, held without a word in the log and without settings:
// the connection loops keep an eye on the user side with it between
// connections. A closed device (errno set) on failure.
BridgeDevice HoldBridgeSide(const char* path);

// The modem status of the bridge side. DSR is on while some program holds
// the user side open; input tells that bytes wait to be read.
struct DeviceStatus {
    bool dsr = false;
    bool input = false;
};
bool ReadDeviceStatus(const BridgeDevice& device, DeviceStatus* status);

// Throws away what was written towards the user side and not yet read, so
// that the next program to open the port does not get bytes meant for the
// one that closed it; with programBytes also what a program wrote and no
// connection took, so that no later peer gets it.
void PurgeUserSide(const BridgeDevice& device, bool programBytes);

// While nobody holds the user side, nothing tells of a program opening it:
// the bridge side reports its hang-up without pause, and an inotify watch
// would take one of the few that a user gets (128 by default) per port. A
// pump waiting on a closed user side looks again after this long, so that a
// program that opens it gets the network's bytes from then on.
constexpr int kClosedLookMs = 50;

// Between connections the bridge holds its bridge side and looks after the
// user side: whatever a program leaves behind when it closes the port is
// thrown away, both ways, so it never reaches the next program or peer.
// Bytes of a program that still holds the port stay for the next connection.
class UserSideKeeper {
public:
    explicit UserSideKeeper(const PortRecord* record);
    // Lets go of the bridge side for a connection, and takes it back after.
    void Release();
    void Reacquire();
    // poll() on fds for up to timeoutMs (-1: no limit), looking after the
    // user side meanwhile; gives the number of fds ready, 0 on time-out.
    int Poll(pollfd* fds, int n, int timeoutMs);
    // Waits up to ms for stop; true when stopped.
    bool WaitStop(int stopFd, int ms);

private:
    void Look();

    char path_[32] = {};
    BridgeDevice device_;
    UniqueFd edges_;
    bool dsr_ = false;
    bool purged_ = false;
};
