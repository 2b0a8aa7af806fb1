#include "engine/custom_proto.h"

#include <algorithm>
#include <cstring>

CustomProto::CustomProto(const char* deviceName, uint32_t keepAliveSecs, uint32_t idleTimeSecs,
                         uint32_t toNetLimit, uint32_t toSerialLimit, const SecondsClock& clock)
    : Protocol(toNetLimit, toSerialLimit), idleTime(idleTimeSecs), keepAlive(keepAliveSecs),
      clock_(&clock)
{
    size_t len = deviceName ? strnlen(deviceName, kMaxNameChars) : 0;
    std::memcpy(devName, deviceName ? deviceName : "", len);
    devName[len] = '\0';
    devNameLen = static_cast<uint8_t>(len + 1);

    int32_t now = clock_->Now();
    idleDeadline = SecondsAfter(now, idleTime);
    nextProbe = SecondsAfter(now, keepAlive);
    Reset();
}

int CustomProto::SendFrame(uint8_t type, const unsigned char* data, uint32_t length)
{
    if (length > static_cast<uint32_t>(kMaxFrameLen - devNameLen))
        return 0;
    // A fixed buffer for the largest frame: sending never needs the heap
    // beyond the queue's own blocks.
    unsigned char frame[kMaxFrameLen + 5];
    uint32_t len = devNameLen + length;
    frame[0] = kFlag;
    frame[1] = type;
    frame[2] = static_cast<unsigned char>(len >> 8);
    frame[3] = static_cast<unsigned char>(len & 0xFF);
    std::memcpy(frame + 4, devName, devNameLen);
    if (length)
        std::memcpy(frame + 4 + devNameLen, data, length);
    frame[4 + len] = kFlag;
    uint32_t total = len + 5;
    // A short write is remembered by the queue and ends the connection at
    // the next Poll.
    return toNet.Write(frame, total) == total ? 1 : 0;
}

int CustomProto::FromSerial(const unsigned char* bytes, int n)
{
    if (n <= 0)
        return 0;
    // A long name leaves less room for data: split rather than send a length
    // that the peer must reject.
    const uint32_t room = kMaxFrameLen - devNameLen;
    uint32_t left = static_cast<uint32_t>(n);
    while (left > 0) {
        uint32_t piece = std::min(left, room);
        SendFrame(FRAME_DATA, bytes, piece);
        bytes += piece;
        left -= piece;
    }
    idleDeadline = SecondsAfter(clock_->Now(), idleTime);
    return n;
}

bool CustomProto::NameMatches() const
{
    return payloadCount >= devNameLen && std::memcmp(payload, devName, devNameLen) == 0;
}

bool CustomProto::FrameComplete()
{
    int32_t now = clock_->Now();
    if (!NameMatches()) {
        linkState = LINK_FAILED;
        return false;
    }
    if (frameType != FRAME_REGISTER) {
        // Only a registration is heard from an unregistered peer; its other
        // frames are dropped and the connection stays. Only the frame: the
        // bytes after it may hold the registration, or the start of a frame
        // that the next read completes, and how the stream was cut into
        // reads must not decide what is heard.
        if (linkState == LINK_DOWN)
            return true;
        retries = 0;
        nextProbe = SecondsAfter(now, keepAlive);
    }
    switch (frameType) {
    case FRAME_REGISTER: {
        retries = 0;
        linkState = LINK_UP;
        registered = 1;
        const unsigned char ok = 0;
        SendFrame(FRAME_REGISTER_ACK, &ok, 1);
        nextProbe = SecondsAfter(now, keepAlive);
        idleDeadline = SecondsAfter(now, idleTime);
        break;
    }
    case FRAME_DATA:
        toSerial.Write(payload + devNameLen, payloadCount - devNameLen);
        idleDeadline = SecondsAfter(now, idleTime);
        break;
    case FRAME_KEEPALIVE:
        SendFrame(FRAME_KEEPALIVE_ACK, nullptr, 0);
        break;
    case FRAME_KEEPALIVE_ACK:
        retries = 0;
        break;
    case FRAME_CLOSE:
        SendFrame(FRAME_CLOSE_ACK, nullptr, 0);
        linkState = LINK_FAILED;
        return false;
    case FRAME_CLOSE_ACK:
        linkState = LINK_FAILED;
        return false;
    default:
        break;  // other known types are accepted and ignored
    }
    return true;
}

int CustomProto::FromNet(const unsigned char* bytes, int n)
{
    if (n <= 0)
        return 0;
    for (int i = 0; i < n; ++i) {
        unsigned char b = bytes[i];
        switch (parseState) {
        case RX_HUNT:
            if (b == kFlag)
                parseState = RX_TYPE;
            break;
        case RX_TYPE:
            frameType = b;
            if (b == kFlag)
                break;  // repeated flags
            // Read as signed, type bytes 0x80..0xFF pass: like the unused
            // types below 23 they are accepted and ignored.
            if (static_cast<int8_t>(b) > 22) {
                linkState = LINK_FAILED;
                return -1;
            }
            parseState = RX_LEN_HI;
            break;
        case RX_LEN_HI:
            frameLen = static_cast<uint16_t>(b << 8);
            parseState = RX_LEN_LO;
            break;
        case RX_LEN_LO:
            frameLen = static_cast<uint16_t>(frameLen + b);
            if (frameLen > kMaxFrameLen) {
                linkState = LINK_FAILED;
                return -1;
            }
            payloadCount = 0;
            parseState = frameLen == 0 ? RX_END : RX_PAYLOAD;
            break;
        case RX_PAYLOAD:
            payload[payloadCount++] = b;
            if (payloadCount >= frameLen)
                parseState = RX_END;
            break;
        case RX_END:
            parseState = RX_HUNT;
            if (b != kFlag) {
                linkState = LINK_FAILED;
                return -1;
            }
            if (!FrameComplete())
                return -1;
            break;
        default:
            parseState = RX_HUNT;
            break;
        }
    }
    return n;
}

void CustomProto::Reset()
{
    Protocol::Reset();
    // A frame cut off by the end of the last connection cannot continue in
    // this one: its bytes are gone.
    parseState = RX_HUNT;
    frameType = 0;
    frameLen = 0;
    payloadCount = 0;
    // A new connection gets a full interval before its first probe.
    nextProbe = SecondsAfter(clock_->Now(), keepAlive);
}

bool CustomProto::Poll()
{
    bool queueFailed = TakeQueueFailure();
    if (linkState == LINK_FAILED) {
        EndLink();
        return true;
    }
    if (queueFailed)
        return true;

    int32_t now = clock_->Now();
    if (idleTime != 0 && linkState == LINK_UP && SecondsDue(idleDeadline, now)) {
        linkState = LINK_CLOSING;
        nextProbe = now;
    }
    if (keepAlive == 0 && linkState == LINK_UP)
        return false;
    if (!SecondsDue(nextProbe, now))
        return false;
    if (retries > 3) {
        // Straight to down: a failed state left behind would end the next
        // connection at its first Poll as well.
        EndLink();
        return true;
    }
    if (linkState == LINK_UP)
        SendFrame(FRAME_KEEPALIVE, nullptr, 0);
    else if (linkState == LINK_CLOSING)
        SendFrame(FRAME_CLOSE, nullptr, 0);
    else
        return false;
    // Back-off of one second per unanswered request: 1, 2, 3, 4 s.
    ++retries;
    nextProbe = SecondsAfter(now, retries);
    return false;
}

void CustomProto::EndLink()
{
    // The ended link owes nothing to the next connection: no count of
    // unanswered requests, no "Registered" still to report.
    linkState = LINK_DOWN;
    retries = 0;
    registered = 0;
}

bool CustomProto::TakeRegistered()
{
    if (!registered)
        return false;
    registered = 0;
    return true;
}

int CustomProto::SecondsUntilDue() const
{
    if (linkState == LINK_FAILED)
        return 0;
    const int32_t now = clock_->Now();
    auto until = [now](int32_t deadline) {
        int32_t d = static_cast<int32_t>(static_cast<uint32_t>(deadline) - static_cast<uint32_t>(now));
        return d > 0 ? static_cast<int>(d) : 0;
    };
    int due = -1;
    if (linkState == LINK_UP && idleTime != 0)
        due = until(idleDeadline);
    if ((linkState == LINK_UP && keepAlive != 0) || linkState == LINK_CLOSING) {
        int probe = until(nextProbe);
        due = due < 0 ? probe : std::min(due, probe);
    }
    return due;
}
