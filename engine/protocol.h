// The framing object between the two sides of a bridge. Protocol is the
// transparent variant; CustomProto frames the traffic.
#pragma once

#include <cstdint>

#include "engine/byte_queue.h"

class LineListener;

class Protocol {
public:
    Protocol(uint32_t toNetLimit, uint32_t toSerialLimit)
        : toNet(toNetLimit), toSerial(toSerialLimit) {}
    virtual ~Protocol() = default;
    Protocol(const Protocol&) = delete;
    Protocol& operator=(const Protocol&) = delete;

    // Slot order matters to readers of this class: 0..4.
    virtual int FromSerial(const unsigned char* bytes, int n);
    virtual int FromNet(const unsigned char* bytes, int n);
    virtual void Reset();
    virtual bool Poll();
    virtual bool TakeRegistered();
    // Seconds until Poll has something to do: 0 at once, -1 nothing until
    // bytes come. The pump sleeps that long at most.
    virtual int SecondsUntilDue() const;
    // True when FromSerial and FromNet queue the bytes unchanged and do
    // nothing else: the pump may then move them without the queues.
    virtual bool Transparent() const { return true; }
    // Where the serial side reports the program's line settings, or nullptr
    // when the link carries bytes only.
    virtual LineListener* LineChanges() { return nullptr; }
    // The far end's modem lines (kModemCts...), once after each change it
    // told of; false while there is no news.
    virtual bool TakeModemLines(uint8_t* /*lines*/) { return false; }

    ByteQueue toNet;
    ByteQueue toSerial;

protected:
    // A queue that could not grow lost bytes: the connection must end so the
    // peer notices, rather than carrying on with a hole in the stream.
    bool TakeQueueFailure();
};
