// The framed protocol of "Use Custom Protocol": every frame carries the port's
// device name; the peer registers before its data reaches the device; a
// silent peer is probed and an idle link closed.
//
// Frame on the wire, both directions:
//   0x7E, type, length high, length low, name + zero byte, payload, 0x7E
// where the length counts the name with its zero byte and the payload. No
// escaping, no checksum: the receiver trusts the length.
#pragma once

#include <cstdint>

#include "engine/protocol.h"
#include "engine/seconds_clock.h"

enum FrameType : uint8_t {
    FRAME_REGISTER = 0,
    FRAME_REGISTER_ACK = 3,
    FRAME_DATA = 4,
    FRAME_KEEPALIVE = 16,
    FRAME_KEEPALIVE_ACK = 17,
    FRAME_CLOSE = 19,
    FRAME_CLOSE_ACK = 20,
};

enum RxState : uint32_t {
    RX_HUNT = 0,
    RX_TYPE = 1,
    RX_LEN_HI = 2,
    RX_LEN_LO = 3,
    RX_PAYLOAD = 4,
    RX_END = 5,
};

enum LinkState : int32_t {
    LINK_DOWN = 0,
    LINK_UP = 1,
    LINK_CLOSING = 2,
    LINK_FAILED = 3,
};

class CustomProto : public Protocol {
public:
    static constexpr uint8_t kFlag = 0x7E;
    static constexpr uint16_t kMaxFrameLen = 1024;  // largest length field accepted or sent
    static constexpr int kMaxNameChars = 11;

    // devName: only its first 11 characters are used; nullptr is the empty
    // name. keepAlive and idleTime in seconds, 0 turns each off. The clock
    // must outlive the object.
    CustomProto(const char* deviceName, uint32_t keepAliveSecs, uint32_t idleTimeSecs,
                uint32_t toNetLimit, uint32_t toSerialLimit,
                const SecondsClock& clock = RealSecondsClock());

    // Frames device bytes as FRAME_DATA, as many frames as the length limit
    // needs; gives n.
    int FromSerial(const unsigned char* bytes, int n) override;
    // Parses bytes from the peer; gives n, or -1 when it dropped the rest.
    int FromNet(const unsigned char* bytes, int n) override;
    // Start of a connection: empties the queues and starts parsing afresh;
    // the link and its registration carry over.
    void Reset() override;
    // Timers and link failure; true ends the connection.
    bool Poll() override;
    // True once after each registration.
    bool TakeRegistered() override;
    // The next probe, close request or idle close; nothing while the link is
    // down, since only the peer's registration can change that.
    int SecondsUntilDue() const override;
    bool Transparent() const override { return false; }

    // Queues one frame of the given type carrying the device name and the
    // payload. Gives 0, sending nothing, when the frame would be too long.
    int SendFrame(uint8_t type, const unsigned char* data, uint32_t length);

    uint8_t frameType = 0;
    uint8_t retries = 0;             // probes or close requests without an answer
    int32_t nextProbe = 0;           // when the next probe or close request is due
    int32_t idleDeadline = 0;        // when the link counts as idle
    unsigned char payload[kMaxFrameLen] = {};  // name and payload of the frame being received
    uint16_t payloadCount = 0;
    uint16_t frameLen = 0;
    char devName[12] = {};
    uint8_t devNameLen = 1;          // name length plus its zero byte, 1 to 12
    uint32_t parseState = RX_HUNT;
    int32_t linkState = LINK_DOWN;
    uint32_t idleTime = 0;
    uint32_t keepAlive = 0;
    int32_t registered = 0;

private:
    // Handles a complete frame; false means the rest of the input is dropped.
    bool FrameComplete();
    bool NameMatches() const;
    // The link failed and its connection ends.
    void EndLink();

    const SecondsClock* clock_;
};
