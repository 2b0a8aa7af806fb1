// The framing of a link to a device server that speaks Telnet with the
// COM-PORT-OPTION: option negotiation, the doubling of 0xFF both ways, the
// server's notifications kept out of the data, and the line settings sent
// at connect and at each change, with what the server last confirmed.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/line_settings.h"
#include "engine/protocol.h"

class Rfc2217 : public Protocol, public LineListener {
public:
    enum : uint8_t {
        kSe = 240, kSb = 250, kWill = 251, kWont = 252, kDo = 253, kDont = 254, kIac = 255,
        kOptBinary = 0, kOptSga = 3, kOptComPort = 44,
        kSetBaud = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4, kSetControl = 5,
        kNotifyLineState = 6, kNotifyModemState = 7, kPurgeData = 12, kServerReply = 100,
    };

    // line: the settings sent at each connect until SetLine changes them.
    // logName starts the refusal's log line; confirmed, when given, receives
    // the settings the server confirms, packed (PackLineSettings).
    Rfc2217(const LineSettings& line, const char* logName, std::atomic<uint64_t>* confirmed,
            uint32_t toNetLimit, uint32_t toSerialLimit);

    int FromSerial(const unsigned char* bytes, int n) override;
    int FromNet(const unsigned char* bytes, int n) override;
    // Start of a connection: parsing afresh, options off, our offers sent.
    void Reset() override;
    bool Transparent() const override { return false; }
    LineListener* LineChanges() override { return this; }

    // Sent at once while the server accepts COM-PORT-OPTION, else at its
    // acceptance.
    void SetLine(const LineSettings& line) override;
    void SetBreak(bool on) override;
    void PurgeData(Purge which) override;

    const LineSettings& Line() const override { return line_; }
    // The last NOTIFY-MODEMSTATE: kModemCts, kModemDsr, kModemRi, kModemDcd.
    uint8_t ModemState() const { return modemState_; }
    bool TakeModemLines(uint8_t* lines) override;
    bool ComPortOn() const { return comPort_ == kOn; }

private:
    enum OptState : uint8_t { kOff, kAsked, kOn, kRefused };
    enum Parse : uint8_t { kData, kAfterIac, kOption, kSbFirst, kSbData, kSbIac };

    void Command(uint8_t verb, uint8_t option);
    void OnOption(uint8_t verb, uint8_t option);
    OptState* Mine(uint8_t option);    // the options we offer (WILL)
    OptState* Theirs(uint8_t option);  // the options we ask of the server (DO)
    void ComPortAccepted();
    void SubOption(uint8_t code, const unsigned char* value, uint8_t n);
    void OnReply(uint8_t code, const unsigned char* value, uint8_t n);
    void SendAllSettings();
    void SendControl(uint8_t value);

    LineSettings line_;
    LineSettings confirmed_;
    std::atomic<uint64_t>* confirmedOut_;
    char logName_[16] = {};
    bool refusalLogged_ = false;

    OptState myBinary_ = kOff, mySga_ = kOff, comPort_ = kOff;
    OptState theirBinary_ = kOff, theirSga_ = kOff;
    Parse parse_ = kData;
    uint8_t verb_ = 0;
    uint8_t sbOption_ = 0;
    uint8_t sbCode_ = 0;
    static constexpr uint8_t kSbMax = 16;  // the longest value a reply carries is 4 bytes
    unsigned char sb_[kSbMax] = {};
    uint8_t sbCount_ = 0;
    uint8_t modemState_ = 0;
    bool modemNews_ = false;
    bool modemKnown_ = false;  // a notification came this connection
};
