#include "engine/line_settings.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Rate {
    uint32_t baud;
    speed_t code;
};

constexpr Rate kRates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

std::vector<std::string> SplitCommas(const std::string& text)
{
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == ',')
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

bool AllDigits(const std::string& s)
{
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

tcflag_t SizeFlag(uint8_t bits)
{
    switch (bits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

}  // namespace

bool ParseLineSettings(const std::string& text, LineSettings* out, std::string* error)
{
    const std::vector<std::string> p = SplitCommas(text);
    LineSettings line = *out;
    auto fail = [error](const char* why) {
        if (error)
            *error = why;
        return false;
    };
    if (p.size() != 4)
        return fail("the line setting must be BAUD,BITS,PARITY,STOP, for example 9600,8,N,1");
    // Nine digits at most: anything longer is no rate a line runs at.
    if (!AllDigits(p[0]) || p[0].size() > 9 || std::strtoul(p[0].c_str(), nullptr, 10) == 0)
        return fail("baud must be a whole number from 1 to 999999999");
    line.baud = static_cast<uint32_t>(std::strtoul(p[0].c_str(), nullptr, 10));
    if (p[1].size() != 1 || p[1][0] < '5' || p[1][0] > '8')
        return fail("data bits must be 5, 6, 7 or 8");
    line.dataBits = static_cast<uint8_t>(p[1][0] - '0');
    const char parity = p[2].size() == 1 ? static_cast<char>(p[2][0] & ~0x20) : '?';
    if (!std::strchr("NEOMS", parity) || parity == '\0')
        return fail("parity must be N, E, O, M or S");
    line.parity = parity;
    if (p[3] == "1")
        line.stop = StopBits::kOne;
    else if (p[3] == "1.5")
        line.stop = StopBits::kOneAndHalf;
    else if (p[3] == "2")
        line.stop = StopBits::kTwo;
    else
        return fail("stop bits must be 1, 1.5 or 2");
    *out = line;
    return true;
}

std::string FormatLineSettings(const LineSettings& line)
{
    const char* stop = line.stop == StopBits::kTwo ? "2" : line.stop == StopBits::kOneAndHalf ? "1.5" : "1";
    return std::to_string(line.baud) + "," + std::to_string(line.dataBits) + "," + line.parity + "," + stop;
}

bool LineSettingsToTermios(const LineSettings& line, termios* t)
{
    t->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t->c_cflag |= SizeFlag(line.dataBits);
    if (line.parity != 'N')
        t->c_cflag |= PARENB;
    if (line.parity == 'O' || line.parity == 'M')
        t->c_cflag |= PARODD;
    if (line.parity == 'M' || line.parity == 'S')
        t->c_cflag |= CMSPAR;
    if (line.stop != StopBits::kOne)
        t->c_cflag |= CSTOPB;
    t->c_iflag &= ~(IXON | IXOFF);
    if (line.flow == FlowControl::kRtsCts)
        t->c_cflag |= CRTSCTS;
    else if (line.flow == FlowControl::kXonXoff)
        t->c_iflag |= IXON | IXOFF;
    for (const Rate& r : kRates) {
        if (r.baud == line.baud)
            return cfsetispeed(t, r.code) == 0 && cfsetospeed(t, r.code) == 0;
    }
    return false;
}

LineSettings LineSettingsFromTermios(const termios& t, const LineSettings& base)
{
    LineSettings line = base;
    const speed_t code = cfgetospeed(&t);
    for (const Rate& r : kRates) {
        if (r.code == code)
            line.baud = r.baud;
    }
    switch (t.c_cflag & CSIZE) {
    case CS5: line.dataBits = 5; break;
    case CS6: line.dataBits = 6; break;
    case CS7: line.dataBits = 7; break;
    default: line.dataBits = 8; break;
    }
    if (!(t.c_cflag & PARENB))
        line.parity = 'N';
    else if (t.c_cflag & CMSPAR)
        line.parity = (t.c_cflag & PARODD) ? 'M' : 'S';
    else
        line.parity = (t.c_cflag & PARODD) ? 'O' : 'E';
    if (!(t.c_cflag & CSTOPB))
        line.stop = StopBits::kOne;
    else if (base.stop == StopBits::kOne)
        line.stop = StopBits::kTwo;
    if (t.c_cflag & CRTSCTS)
        line.flow = FlowControl::kRtsCts;
    else if (t.c_iflag & (IXON | IXOFF))
        line.flow = FlowControl::kXonXoff;
    else
        line.flow = FlowControl::kNone;
    return line;
}

uint64_t PackLineSettings(const LineSettings& line)
{
    const uint64_t parity = static_cast<uint64_t>(std::strchr("NEOMS", line.parity) - "NEOMS") & 7;
    return uint64_t{1} << 63 | uint64_t{line.baud} | uint64_t{line.dataBits} << 32 | parity << 36 |
           uint64_t{static_cast<uint8_t>(line.stop)} << 40 | uint64_t{static_cast<uint8_t>(line.flow)} << 44 |
           uint64_t{line.dtr} << 48 | uint64_t{line.rts} << 49;
}

bool UnpackLineSettings(uint64_t packed, LineSettings* line)
{
    if (!(packed >> 63))
        return false;
    line->baud = static_cast<uint32_t>(packed);
    line->dataBits = static_cast<uint8_t>((packed >> 32) & 15);
    line->parity = "NEOMS"[std::min<uint64_t>((packed >> 36) & 7, 4)];
    line->stop = static_cast<StopBits>((packed >> 40) & 15);
    line->flow = static_cast<FlowControl>((packed >> 44) & 15);
    line->dtr = (packed >> 48) & 1;
    line->rts = (packed >> 49) & 1;
    return true;
}
