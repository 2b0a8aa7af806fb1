// A serial line's settings (baud, data bits, parity, stop bits, flow
// control, DTR and RTS): their text form "9600,8,N,1", their termios form,
// a packed form one atomic word can carry between threads, and the interface
// through which a serial side reports a program's changes.
#pragma once

#include <termios.h>

#include <cstdint>
#include <string>

#include "engine/modem_lines.h"

enum class StopBits : uint8_t { kOne = 1, kTwo = 2, kOneAndHalf = 3 };
enum class FlowControl : uint8_t { kNone = 1, kXonXoff = 2, kRtsCts = 3 };

struct LineSettings {
    uint32_t baud = 9600;
    uint8_t dataBits = 8;  // 5 to 8
    char parity = 'N';     // N, E, O, M or S
    StopBits stop = StopBits::kOne;
    FlowControl flow = FlowControl::kNone;
    bool dtr = true;
    bool rts = true;

    bool operator==(const LineSettings& o) const
    {
        return baud == o.baud && dataBits == o.dataBits && parity == o.parity && stop == o.stop &&
               flow == o.flow && dtr == o.dtr && rts == o.rts;
    }
    bool operator!=(const LineSettings& o) const { return !(*this == o); }
};

// "BAUD,BITS,PARITY,STOP" as typed (parity in either case). False with
// *error (when given) saying what is wrong ("parity must be N, E, O, M or
// S"); *out is then unchanged. Flow control, DTR and RTS are not part of the text.
bool ParseLineSettings(const std::string& text, LineSettings* out, std::string* error);
// The same text: "9600,8,N,1", "2400,7,E,1.5".
std::string FormatLineSettings(const LineSettings& line);

// Baud, data bits, parity, stop bits and flow control into *t, the rest of
// it untouched. False, leaving the speed as it was, for a rate that has no
// B constant.
bool LineSettingsToTermios(const LineSettings& line, termios* t);
// The settings a termios holds; fields it cannot tell (a rate without a B
// constant, 1.5 against 2 stop bits, DTR, RTS) come from base.
LineSettings LineSettingsFromTermios(const termios& t, const LineSettings& base);

// Packed into one word for a reader on another thread; 0 is "none yet".
uint64_t PackLineSettings(const LineSettings& line);
bool UnpackLineSettings(uint64_t packed, LineSettings* line);

// Where a serial side sends what the serial program does to its line.
class LineListener {
public:
    virtual ~LineListener() = default;
    // The settings in force, which a new connection starts from.
    virtual const LineSettings& Line() const = 0;
    virtual void SetLine(const LineSettings& line) = 0;
    virtual void SetBreak(bool on) = 0;
    // Data the program dropped: its input (kPurgeReceived), its output
    // (kPurgeSent), or both.
    enum Purge : uint8_t { kPurgeReceived = 1, kPurgeSent = 2, kPurgeBoth = 3 };
    virtual void PurgeData(Purge which) = 0;
};
