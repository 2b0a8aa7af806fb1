// libFuzzer target: the frame parser of the custom protocol on arbitrary
// bytes from the peer, cut into reads of random sizes, with the timers run
// between reads on a fake clock.
//
// Input: [name kind][name bytes][timers][clock][seed hi][seed lo][max chunk]
// then the peer's byte stream. The name kind byte gives the name length
// (value % 14, so names longer than 11 characters are cut) or, as 0xFF, no
// name at all.
//
// Besides the sanitizers' findings it checks the parser against a small model
// of the frame format written from the wire layout alone: the bytes handed to
// the serial side are exactly the payloads of the well-formed data frames
// carrying the device name that arrive while the peer is registered; the
// result of each read and the parse position agree with the model; and
// everything queued for the network is a sequence of whole frames carrying
// the device name.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/custom_proto.h"
#include "engine/seconds_clock.h"

namespace {

void Fail(const char* what)
{
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

class FakeClock : public SecondsClock {
public:
    int32_t Now() const override { return now; }
    int32_t now = 0;
};

// The wire format, independently of the parser: 0x7E, type, length (two
// bytes, big-endian, at most 1024), that many bytes (name, zero byte,
// payload), 0x7E. Repeated flags before the type are skipped; a type read as
// a signed byte above 22, an over-long length or a missing end flag drop the
// rest of the read and fail the link.
class Model {
public:
    Model(const char* name, size_t nameLen) : name_(name, nameLen) { name_.push_back('\0'); }

    // Feeds one read; `link` is the link state on entry and on return.
    // Gives what the serial side must receive and the read's result.
    int Feed(const unsigned char* b, int n, int32_t& link, std::string& toSerial)
    {
        if (n <= 0)
            return 0;
        for (int i = 0; i < n; ++i) {
            const unsigned char c = b[i];
            switch (state_) {
            case RX_HUNT:
                if (c == 0x7E)
                    state_ = RX_TYPE;
                break;
            case RX_TYPE:
                if (c == 0x7E)
                    break;
                if (static_cast<int8_t>(c) > 22) {
                    state_ = RX_HUNT;
                    link = LINK_FAILED;
                    return -1;
                }
                type_ = c;
                state_ = RX_LEN_HI;
                break;
            case RX_LEN_HI:
                len_ = static_cast<unsigned>(c) << 8;
                state_ = RX_LEN_LO;
                break;
            case RX_LEN_LO:
                len_ |= c;
                if (len_ > 1024) {
                    state_ = RX_HUNT;
                    link = LINK_FAILED;
                    return -1;
                }
                body_.clear();
                state_ = len_ == 0 ? RX_END : RX_PAYLOAD;
                break;
            case RX_PAYLOAD:
                body_.push_back(static_cast<char>(c));
                if (body_.size() >= len_)
                    state_ = RX_END;
                break;
            case RX_END:
                state_ = RX_HUNT;
                if (c != 0x7E || !Frame(link, toSerial)) {
                    link = LINK_FAILED;
                    return -1;
                }
                break;
            }
        }
        return n;
    }

    void Reset() { state_ = RX_HUNT; }
    uint32_t State() const { return state_; }

private:
    // A complete frame; false fails the link and drops the rest.
    bool Frame(int32_t& link, std::string& toSerial)
    {
        if (body_.compare(0, name_.size(), name_) != 0 || body_.size() < name_.size())
            return false;
        if (type_ == FRAME_REGISTER) {
            link = LINK_UP;
            return true;
        }
        if (link == LINK_DOWN)
            return true;  // heard only once registered
        if (type_ == FRAME_DATA)
            toSerial.append(body_, name_.size(), std::string::npos);
        return type_ != FRAME_CLOSE && type_ != FRAME_CLOSE_ACK;
    }

    std::string name_;  // with its zero byte
    uint32_t state_ = RX_HUNT;
    uint8_t type_ = 0;
    unsigned len_ = 0;
    std::string body_;
};

std::string Drain(ByteQueue& q)
{
    std::string out;
    unsigned char buf[4096];
    while (uint32_t n = q.Read(buf, sizeof buf))
        out.append(reinterpret_cast<char*>(buf), n);
    if (q.Count() != 0)
        Fail("queue not empty after draining it");
    return out;
}

// What the bridge sends is whole, well-formed frames carrying its name.
void CheckSent(const std::string& sent, const std::string& nameWithZero)
{
    size_t i = 0;
    while (i < sent.size()) {
        if (sent.size() - i < 5 || static_cast<unsigned char>(sent[i]) != 0x7E)
            Fail("sent bytes are no frame");
        const unsigned char type = static_cast<unsigned char>(sent[i + 1]);
        if (type != FRAME_REGISTER_ACK && type != FRAME_KEEPALIVE && type != FRAME_KEEPALIVE_ACK &&
            type != FRAME_CLOSE && type != FRAME_CLOSE_ACK)
            Fail("sent frame of an unexpected type");
        const size_t len = (static_cast<unsigned char>(sent[i + 2]) << 8) |
                           static_cast<unsigned char>(sent[i + 3]);
        if (len > 1024 || len < nameWithZero.size() || sent.size() - i < len + 5)
            Fail("sent frame with a bad length");
        if (sent.compare(i + 4, nameWithZero.size(), nameWithZero) != 0)
            Fail("sent frame without the device name");
        if (static_cast<unsigned char>(sent[i + 4 + len]) != 0x7E)
            Fail("sent frame without its end flag");
        i += len + 5;
    }
}

struct Rng {
    uint32_t x;
    uint32_t Next()
    {
        x = x * 1664525u + 1013904223u;
        return x >> 8;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    size_t at = 0;
    const uint8_t nameKind = data[at++];
    const bool noName = nameKind == 0xFF;
    const size_t nameBytes = noName ? 0 : nameKind % 14;
    if (size < at + nameBytes + 5)
        return 0;
    const std::string rawName(reinterpret_cast<const char*>(data + at), nameBytes);
    at += nameBytes;
    const uint8_t timers = data[at++];
    const uint8_t clockByte = data[at++];
    Rng rng{static_cast<uint32_t>(data[at] << 8 | data[at + 1]) * 2654435761u};
    at += 2;
    const uint32_t maxChunk = 1u + data[at++];

    // The name the protocol uses: at most 11 characters, up to a zero byte.
    const std::string name = std::string(rawName.c_str(), strnlen(rawName.c_str(), 11));
    const std::string nameWithZero = name + std::string(1, '\0');

    FakeClock clock;
    // Near the wrap of the 32-bit seconds for half of the inputs.
    clock.now = (clockByte & 1) ? static_cast<int32_t>(0x7FFFFFFFu - (clockByte >> 1))
                                : static_cast<int32_t>(clockByte >> 1);
    const uint32_t keepAlive = timers & 3;
    const uint32_t idleTime = (timers >> 2) & 7;
    CustomProto proto(noName ? nullptr : rawName.c_str(), keepAlive, idleTime, 1024, 1024, clock);
    if (proto.devNameLen != nameWithZero.size() ||
        std::memcmp(proto.devName, nameWithZero.data(), nameWithZero.size()) != 0)
        Fail("device name taken otherwise");

    Model model(name.data(), name.size());
    int32_t link = proto.linkState;
    const unsigned char* stream = data + at;
    const size_t total = size - at;
    size_t fed = 0;
    while (fed < total) {
        // Now and then an empty read, as a zero-length datagram gives.
        size_t chunk = rng.Next() % 16 == 0 ? 0 : 1 + rng.Next() % maxChunk;
        chunk = std::min(chunk, total - fed);

        std::string expected;
        const int want = model.Feed(stream + fed, static_cast<int>(chunk), link, expected);
        const int got = proto.FromNet(stream + fed, static_cast<int>(chunk));
        fed += chunk;
        if (got != want)
            Fail("read result differs from the model");
        if (Drain(proto.toSerial) != expected)
            Fail("serial side got other bytes than the data frames' payloads");
        if (proto.linkState != link)
            Fail("link state differs from the model");
        if (got >= 0 && proto.parseState != model.State())
            Fail("parse position differs from the model");

        // Time passes between reads; the timers run after every pass.
        const uint32_t r = rng.Next() % 32;
        clock.now = SecondsAfter(clock.now, r < 24 ? 0 : r < 30 ? 1 : r - 28);
        const bool end = proto.Poll();
        const bool registered = proto.TakeRegistered();
        if (registered && proto.TakeRegistered())
            Fail("a registration reported twice");
        if (proto.linkState == LINK_FAILED)
            Fail("failed link left behind by Poll");
        CheckSent(Drain(proto.toNet), nameWithZero);
        link = proto.linkState;
        if (end) {
            // The connection ends; the next one starts parsing afresh.
            proto.Reset();
            model.Reset();
            if (proto.toNet.Count() != 0 || proto.toSerial.Count() != 0)
                Fail("queues not empty after a reset");
        }
    }
    return 0;
}
