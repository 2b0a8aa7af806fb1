#include "engine/rfc2217.h"

#include <cstring>

#include "engine/diagnostics.h"

namespace {

// Parity and flow as the option codes them.
uint8_t ParityCode(char parity)
{
    switch (parity) {
    case 'O': return 2;
    case 'E': return 3;
    case 'M': return 4;
    case 'S': return 5;
    default: return 1;
    }
}

char ParityOfCode(uint8_t code, char otherwise)
{
    return code >= 1 && code <= 5 ? "NOEMS"[code - 1] : otherwise;
}

enum : uint8_t {
    kControlBreakOn = 5, kControlBreakOff = 6, kControlDtrOn = 8, kControlDtrOff = 9,
    kControlRtsOn = 11, kControlRtsOff = 12,
};

}  // namespace

Rfc2217::Rfc2217(const LineSettings& line, const char* logName, std::atomic<uint64_t>* confirmed,
                 uint32_t toNetLimit, uint32_t toSerialLimit)
    : Protocol(toNetLimit, toSerialLimit), line_(line), confirmedOut_(confirmed)
{
    std::strncpy(logName_, logName ? logName : "-", sizeof logName_ - 1);
    if (confirmedOut_)
        confirmedOut_->store(0);
    Reset();
}

void Rfc2217::Reset()
{
    Protocol::Reset();
    parse_ = kData;
    sbCount_ = 0;
    modemState_ = 0;
    modemNews_ = modemKnown_ = false;
    myBinary_ = mySga_ = comPort_ = theirBinary_ = theirSga_ = kAsked;
    Command(kWill, kOptBinary);
    Command(kDo, kOptBinary);
    Command(kWill, kOptSga);
    Command(kDo, kOptSga);
    Command(kWill, kOptComPort);
}

void Rfc2217::Command(uint8_t verb, uint8_t option)
{
    // A server that asks and asks but never reads our answers gets no more
    // of them: its requests would otherwise grow the queue without end.
    if (toNet.IsOverLimit())
        return;
    const unsigned char c[3] = {kIac, verb, option};
    toNet.Write(c, 3);
}

int Rfc2217::FromSerial(const unsigned char* bytes, int n)
{
    // Runs without 0xFF go as they are; each 0xFF goes twice.
    int start = 0;
    for (int i = 0; i < n; ++i) {
        if (bytes[i] != kIac)
            continue;
        toNet.Write(bytes + start, static_cast<uint32_t>(i + 1 - start));
        start = i;
    }
    if (n > start)
        toNet.Write(bytes + start, static_cast<uint32_t>(n - start));
    return n < 0 ? 0 : n;
}

int Rfc2217::FromNet(const unsigned char* bytes, int n)
{
    int start = 0;  // the run of plain data not yet queued
    auto flush = [&](int end) {
        if (end > start)
            toSerial.Write(bytes + start, static_cast<uint32_t>(end - start));
    };
    for (int i = 0; i < n; ++i) {
        const uint8_t b = bytes[i];
        switch (parse_) {
        case kData:
            if (b == kIac) {
                flush(i);
                parse_ = kAfterIac;
            }
            continue;
        case kAfterIac:
            if (b == kIac) {
                toSerial.Write(&b, 1);
                parse_ = kData;
            } else if (b >= kWill && b <= kDont) {
                verb_ = b;
                parse_ = kOption;
            } else if (b == kSb) {
                parse_ = kSbFirst;
            } else {
                parse_ = kData;  // NOP, GA, AYT and the like: nothing for the line
            }
            break;
        case kOption:
            OnOption(verb_, b);
            parse_ = kData;
            break;
        case kSbFirst:
            sbOption_ = b;
            sbCount_ = 0;
            parse_ = kSbData;
            break;
        case kSbData:
            if (b == kIac)
                parse_ = kSbIac;
            else if (sbCount_ < kSbMax)
                sb_[sbCount_++] = b;
            break;
        case kSbIac:
            if (b == kIac) {
                if (sbCount_ < kSbMax)
                    sb_[sbCount_++] = b;
                parse_ = kSbData;
                break;
            }
            // SE ends it; anything else ends it too, broken, and is read as
            // the command it starts.
            if (sbOption_ == kOptComPort && sbCount_ > 0)
                SubOption(sb_[0], sb_ + 1, static_cast<uint8_t>(sbCount_ - 1));
            parse_ = kData;
            if (b != kSe) {
                --i;
                parse_ = kAfterIac;
            }
            break;
        }
        start = i + 1;
    }
    if (parse_ == kData)
        flush(n);
    return n < 0 ? 0 : n;
}

Rfc2217::OptState* Rfc2217::Mine(uint8_t option)
{
    switch (option) {
    case kOptBinary: return &myBinary_;
    case kOptSga: return &mySga_;
    case kOptComPort: return &comPort_;
    default: return nullptr;
    }
}

Rfc2217::OptState* Rfc2217::Theirs(uint8_t option)
{
    switch (option) {
    case kOptBinary: return &theirBinary_;
    case kOptSga: return &theirSga_;
    default: return nullptr;
    }
}

// Answers only what changes a state, so two sides never bounce the same
// option back and forth: a request for what is already on needs no reply,
// and a refusal of what we asked for is its own answer.
void Rfc2217::OnOption(uint8_t verb, uint8_t option)
{
    const bool mine = verb == kDo || verb == kDont;
    const bool on = verb == kDo || verb == kWill;
    OptState* state = mine ? Mine(option) : Theirs(option);
    if (!state) {
        if (on)
            Command(mine ? kWont : kDont, option);
        return;
    }
    const OptState was = *state;
    if (on) {
        *state = kOn;
        if (was != kAsked && was != kOn)
            Command(mine ? kWill : kDo, option);
        if (option == kOptComPort && was != kOn)
            ComPortAccepted();
        return;
    }
    *state = was == kAsked ? kRefused : kOff;
    if (was == kOn)
        Command(mine ? kWont : kDont, option);
    if (option == kOptComPort && was != kOff && !refusalLogged_) {
        refusalLogged_ = true;
        LogNote("%s: the server refused COM-PORT-OPTION; bytes only\n", logName_);
    }
}

void Rfc2217::ComPortAccepted()
{
    SendAllSettings();
    const unsigned char mask[] = {kIac, kSb, kOptComPort, 11, 0xFF, 0xFF, kIac, kSe};
    toNet.Write(mask, sizeof mask);  // every modem line change notified
}

void Rfc2217::SendAllSettings()
{
    const unsigned char baud[] = {kSetBaud, static_cast<unsigned char>(line_.baud >> 24),
                                  static_cast<unsigned char>(line_.baud >> 16),
                                  static_cast<unsigned char>(line_.baud >> 8),
                                  static_cast<unsigned char>(line_.baud)};
    // Sub-negotiation values are escaped like data: a rate with a 0xFF byte
    // must not end the sub-negotiation early.
    const unsigned char head[] = {kIac, kSb, kOptComPort};
    const unsigned char tail[] = {kIac, kSe};
    auto send = [&](const unsigned char* value, uint32_t n) {
        toNet.Write(head, sizeof head);
        FromSerial(value, static_cast<int>(n));
        toNet.Write(tail, sizeof tail);
    };
    send(baud, sizeof baud);
    const unsigned char size[] = {kSetDataSize, line_.dataBits};
    send(size, 2);
    const unsigned char parity[] = {kSetParity, ParityCode(line_.parity)};
    send(parity, 2);
    const unsigned char stop[] = {kSetStopSize, static_cast<unsigned char>(line_.stop)};
    send(stop, 2);
    SendControl(static_cast<uint8_t>(line_.flow));
    SendControl(line_.dtr ? kControlDtrOn : kControlDtrOff);
    SendControl(line_.rts ? kControlRtsOn : kControlRtsOff);
}

void Rfc2217::SendControl(uint8_t value)
{
    const unsigned char c[] = {kIac, kSb, kOptComPort, kSetControl, value, kIac, kSe};
    toNet.Write(c, sizeof c);
}

void Rfc2217::SetLine(const LineSettings& line)
{
    if (line == line_)
        return;
    line_ = line;
    if (comPort_ == kOn)
        SendAllSettings();
}

void Rfc2217::SetBreak(bool on)
{
    if (comPort_ == kOn)
        SendControl(on ? kControlBreakOn : kControlBreakOff);
}

void Rfc2217::PurgeData(Purge which)
{
    if (comPort_ != kOn)
        return;
    const unsigned char c[] = {kIac, kSb, kOptComPort, kPurgeData, which, kIac, kSe};
    toNet.Write(c, sizeof c);
}

bool Rfc2217::TakeModemLines(uint8_t* lines)
{
    if (!modemNews_)
        return false;
    modemNews_ = false;
    *lines = modemState_ & 0xF0;
    return true;
}

void Rfc2217::SubOption(uint8_t code, const unsigned char* value, uint8_t n)
{
    if (code < kServerReply || n == 0)
        return;  // a client's command is no business of a client
    OnReply(static_cast<uint8_t>(code - kServerReply), value, n);
}

void Rfc2217::OnReply(uint8_t code, const unsigned char* v, uint8_t n)
{
    switch (code) {
    case kSetBaud:
        if (n >= 4)
            confirmed_.baud = uint32_t{v[0]} << 24 | uint32_t{v[1]} << 16 | uint32_t{v[2]} << 8 | v[3];
        break;
    case kSetDataSize:
        if (v[0] >= 5 && v[0] <= 8)
            confirmed_.dataBits = v[0];
        break;
    case kSetParity:
        confirmed_.parity = ParityOfCode(v[0], confirmed_.parity);
        break;
    case kSetStopSize:
        if (v[0] >= 1 && v[0] <= 3)
            confirmed_.stop = static_cast<StopBits>(v[0]);
        break;
    case kSetControl:
        if (v[0] >= 1 && v[0] <= 3)
            confirmed_.flow = static_cast<FlowControl>(v[0]);
        else if (v[0] == kControlDtrOn || v[0] == kControlDtrOff)
            confirmed_.dtr = v[0] == kControlDtrOn;
        else if (v[0] == kControlRtsOn || v[0] == kControlRtsOff)
            confirmed_.rts = v[0] == kControlRtsOn;
        break;
    case kNotifyModemState:
        // Only the lines: the delta bits would make every notice news.
        modemNews_ = modemNews_ || !modemKnown_ || (v[0] & 0xF0) != (modemState_ & 0xF0);
        modemKnown_ = true;
        modemState_ = v[0];
        return;
    default:
        return;  // line state, purge and mask replies change nothing kept
    }
    if (confirmedOut_)
        confirmedOut_->store(PackLineSettings(confirmed_), std::memory_order_relaxed);
}
