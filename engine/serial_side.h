// The bridge side of a pair as the bridge's serial device, and the care that
// no byte to or from the user side outlives the open of the port it belongs to.
#pragma once

#include <poll.h>

#include <cstdint>
#include <string>

#include "engine/seconds_clock.h"
#include "engine/unique_fd.h"

class BridgeSideProvider;
class LineListener;
struct DeviceStatus;
struct PortRecord;

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
    void Close();

private:
    friend BridgeDevice HoldBridgeSide(const char* name);
    friend BridgeDevice OpenDevice(const PortRecord* record);
    friend bool ReadDeviceStatus(const BridgeDevice& device, DeviceStatus* status);
    friend void TakeUserSideLine(const BridgeDevice& device, LineListener& to, bool fresh);
    friend void SetUserSideModem(const BridgeDevice& device, uint8_t lines);

    int fd_ = -1;
    int savedFlags_ = 0;
    char name_[16] = {};
    BridgeSideProvider* provider_ = nullptr;
};

// Opens the record's bridge side ("ZPVB5") through the bridge-side provider,
// non-blocking. Logs and gives a closed device on failure.
BridgeDevice OpenDevice(const PortRecord* record);

// The same bridge side, held as the provider gives it and without a word in
// the log:
// the connection loops keep an eye on the user side with it between
// connections. A closed device (errno set) on failure.
BridgeDevice HoldBridgeSide(const char* name);

// The modem status of the bridge side. DSR is on while some program holds
// the user side open; dtr is the program's DTR where the user side has one
// (a CUSE device), DSR otherwise; input tells that bytes wait to be read.
// lineEventFd, where not -1, turns readable when DSR, DTR or the program's line change (it is
// cleared by ReadDeviceStatus); elsewhere the bridge side's hang-up tells.
struct DeviceStatus {
    bool dsr = false;
    bool dtr = false;
    bool input = false;
    int lineEventFd = -1;
};
bool ReadDeviceStatus(const BridgeDevice& device, DeviceStatus* status);

// The provider's TakeUserSideLine and SetUserSideModem for this device.
void TakeUserSideLine(const BridgeDevice& device, LineListener& to, bool fresh);
void SetUserSideModem(const BridgeDevice& device, uint8_t lines);

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
// user side: whatever a program leaves behind when it closes the port (or,
// with Detect DTR, drops DTR) is thrown away, both ways, so it never reaches
// the next program or peer. Bytes of a program that still holds the port
// stay for the next connection.
class UserSideKeeper {
public:
    explicit UserSideKeeper(const PortRecord* record);
    // Whether it holds the bridge side; when not, Missing says why, and the
    // port has nothing to carry.
    bool Holds() const { return device_.IsOpen(); }
    const std::string& Missing() const { return missing_; }
    // Lets go of the bridge side for a connection, and takes it back after.
    void Release();
    void Reacquire();
    // poll() on up to three fds until the deadline, looking after the user
    // side meanwhile; gives the number of fds ready, 0 at the deadline.
    int Poll(pollfd* fds, int n, Deadline deadline);
    // Waits up to ms for stop; true when stopped.
    bool WaitStop(int stopFd, int ms);

private:
    void Look();

    char name_[16] = {};
    bool detectDtr_ = false;
    BridgeDevice device_;
    UniqueFd edges_;
    int lineFd_ = -1;      // the user side's line events, where it has lines
    bool dsr_ = false;     // a program's session is on: held open (with Detect DTR: DTR on)
    bool purged_ = false;
    std::string missing_;
};
