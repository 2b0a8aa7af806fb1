// A port's user side as a real serial device: a character device in user
// space (CUSE, through libfuse3) that this process answers, /dev/ttyS100 and
// the like. A serial program gets every line setting kept, DTR and RTS as it
// sets them, CTS/DSR/DCD following the bridge's connection, break, drain and
// flush; the bridge gets the other end of a socket pair to poll, read and
// write, as it would a pseudo-terminal's master. Needs /dev/cuse (root).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The device's termios, laid out as the kernel's struct termios2: the flags,
// the line discipline, the control characters and both speeds in baud.
struct CuseLineSettings {
    uint32_t iflag = 0;
    uint32_t oflag = 0;
    uint32_t cflag = 0;
    uint32_t lflag = 0;
    uint8_t line = 0;
    uint8_t cc[19] = {};
    uint32_t ispeed = 0;
    uint32_t ospeed = 0;
};

// What a device is made as.
struct CuseNode {
    std::string name;        // under /dev, such as "ttyS100": letters, digits, '_' and '-'
    unsigned major = 4;      // 4 with minor 64 + n is the number Linux gives ttySn
    unsigned minor = 164;
    std::string group = "dialout";  // the device is root:group, mode 0660
};

// The device for pair n: /dev/ttyS<100 + n>, number 4:<164 + n>. Serial
// port listers (pyserial's among them) find ttyS names; the 8250 driver
// keeps to ttyS0..ttyS31, so these do not meet real ports.
CuseNode CuseNodeForPair(int pair);

// The modem lines a program drives, and whether any program holds the device.
struct CuseLines {
    bool dtr = false;
    bool rts = false;
    bool heldOpen = false;
};

// What a program did to the line, in order, for the bridge to pass on.
enum class CuseLineEvent : uint8_t {
    kSettings,     // the termios, DTR or RTS changed: read Settings() and Lines()
    kBreakOn,
    kBreakOff,
    kFlushInput,   // tcflush: what the program had not read
    kFlushOutput,  // what it had written and the bridge not taken
    kFlushBoth,
};

// One device, served by a thread of its own: each device reads its own
// /dev/cuse connection, so one busy or stuck device never delays another,
// and an idle one sleeps in poll() with no timeout.
class CusePort {
public:
    // Makes the device and waits until it is in /dev, root:group 0660.
    // nullptr and a reason a user can act on in *error when it cannot be
    // made: no /dev/cuse, not root, the name or the number taken.
    static std::unique_ptr<CusePort> Create(const CuseNode& node, std::string* error);
    // Removes the device, also while programs hold it open: their next call
    // fails (ENODEV) and their pending calls end.
    ~CusePort();
    CusePort(const CusePort&) = delete;
    CusePort& operator=(const CusePort&) = delete;

    const std::string& Path() const;  // "/dev/ttyS100"
    // The bridge's end of the socket pair: reading gives what programs
    // wrote, writing gives programs bytes to read. The port keeps it open;
    // a bridge uses a duplicate. Bytes written while no program holds the
    // device are thrown away, as on a line nobody listens to.
    int BridgeFd() const;
    // CTS, DSR and DCD follow this: on while the bridge is connected, off
    // otherwise; a disconnect forgets the far end's word (SetModemInputs).
    void SetConnected(bool connected);
    // While connected, CTS, DSR, DCD and RI as the far end says
    // (kModemCts | ...) instead of all on: TIOCMIWAIT wakes, TIOCGICOUNT counts.
    void SetModemInputs(uint8_t lines);
    CuseLines Lines() const;
    CuseLineSettings Settings() const;
    // Whether a program ever set the termios (else they are the port's).
    bool ProgramSettings() const;
    // The port's own line, while no program has set one: what a program
    // finds at its open, as on a serial port left configured. iflag and
    // cflag as a termios has them (the speed bits aside), baud any rate.
    void OfferLine(uint32_t iflag, uint32_t cflag, uint32_t baud);
    // Readable (an eventfd) after DTR, RTS, the held-open state or a line
    // event; read its 8 bytes to clear it, then look at Lines() and take the
    // events.
    int LineEventFd() const;
    // The line events since the last call, oldest first; only the newest
    // kMaxLineEvents are kept for a bridge that does not take them.
    static constexpr size_t kMaxLineEvents = 64;
    std::vector<CuseLineEvent> TakeLineEvents();
    // The kernel ended the device on its own (its connection was aborted):
    // programs can no longer use it.
    bool Ended() const;

    class Impl;

private:
    explicit CusePort(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};
