// The bridge side of a pair as the bridge's serial device.
#pragma once

#include <cstdint>

#include "engine/diagnostics.h"

class BridgeSideProvider;

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
    friend BridgeDevice OpenDevice(const char* path, const SerialParams& params);

    int fd_ = -1;
    int savedFlags_ = 0;
    char name_[16] = {};
    BridgeSideProvider* provider_ = nullptr;
    SerialParams settings_;
};

// Opens "\\.\ZPVB5" through the bridge-side provider. Logs and gives a
// closed device on failure.
BridgeDevice OpenDevice(const char* path, const SerialParams& params);

// The modem status of the bridge side. DSR is on while some program holds
// the user side open; input tells that bytes wait to be read.
struct DeviceStatus {
    bool dsr = false;
    bool input = false;
};
bool ReadDeviceStatus(const BridgeDevice& device, DeviceStatus* status);

// Throws away what was written towards the user side and not yet read, so
// that the next program to open the port does not get bytes meant for the
// one that closed it.
void PurgeUserSide(const BridgeDevice& device);
