#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/custom_proto.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct FakeClock : SecondsClock {
    int32_t now = 1000;
    int32_t Now() const override { return now; }
};

Bytes Frame(int type, const std::string& name, const Bytes& data = {})
{
    size_t len = name.size() + 1 + data.size();
    Bytes f;
    f.reserve(len + 5);
    for (size_t v : {size_t{0x7E}, size_t(type & 0xFF), len >> 8, len & 0xFF})
        f.push_back(static_cast<unsigned char>(v));
    for (char c : name)
        f.push_back(static_cast<unsigned char>(c));
    f.push_back(0);
    for (unsigned char b : data)
        f.push_back(b);
    f.push_back(0x7E);
    return f;
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Drain(ByteQueue& q)
{
    Bytes out(q.Count());
    out.resize(q.Read(out.data(), static_cast<uint32_t>(out.size())));
    return out;
}

int Feed(CustomProto& p, const Bytes& b) { return p.FromNet(b.data(), static_cast<int>(b.size())); }

struct SentFrame {
    int type;
    std::string name;
    Bytes data;
};

// Splits what the bridge queued for the network into frames, checking the
// framing of each.
std::vector<SentFrame> Decode(const Bytes& wire)
{
    std::vector<SentFrame> frames;
    size_t i = 0;
    while (i < wire.size()) {
        EXPECT_GE(wire.size() - i, 5u);
        EXPECT_EQ(wire[i], 0x7E);
        size_t len = wire[i + 2] * 256u + wire[i + 3];
        EXPECT_LE(len, 1024u);
        EXPECT_LE(i + len + 5, wire.size());
        if (wire.size() - i < 5 || i + len + 5 > wire.size())
            break;
        EXPECT_EQ(wire[i + 4 + len], 0x7E);
        const char* name = reinterpret_cast<const char*>(&wire[i + 4]);
        size_t nameLen = strnlen(name, len);
        EXPECT_LT(nameLen, len);
        frames.push_back({wire[i + 1], std::string(name, nameLen),
                          Bytes(wire.begin() + i + 5 + nameLen, wire.begin() + i + 4 + len)});
        i += len + 5;
    }
    return frames;
}

std::vector<int> TypesOf(const Bytes& wire)
{
    std::vector<int> types;
    for (auto& f : Decode(wire))
        types.push_back(f.type);
    return types;
}

std::vector<int> SentTypes(CustomProto& p) { return TypesOf(Drain(p.toNet)); }

Bytes Pattern(size_t n)
{
    Bytes v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<unsigned char>(i * 13 + 0x70);  // includes 0x7E now and then
    return v;
}

// Polls once a second from the clock's time to `until` (the clock then reads
// the second after); gives the times at which a frame went out, and the time
// Poll ended the connection (0 if not; the clock then reads that time).
struct PollLog {
    std::vector<std::pair<int32_t, int>> sent;  // time, frame type
    int32_t endedAt = 0;
};

PollLog PollEverySecond(CustomProto& p, FakeClock& clock, int32_t until)
{
    PollLog log;
    for (;;) {
        bool ended = p.Poll();
        for (int type : SentTypes(p))
            log.sent.push_back({clock.now, type});
        if (ended) {
            log.endedAt = clock.now;
            return log;
        }
        int32_t polled = clock.now;
        clock.now = static_cast<int32_t>(static_cast<uint32_t>(clock.now) + 1);  // may wrap
        if (polled == until)
            return log;
    }
}

using Sent = std::vector<std::pair<int32_t, int>>;

// Every test gets a fake clock, starting at 1000 s.
class CustomProtoTest : public ::testing::Test {
protected:
    FakeClock clock;

    // Device name GW1; its peer registered just now.
    std::unique_ptr<CustomProto> Registered(uint32_t keepAlive, uint32_t idleTime)
    {
        auto p = std::make_unique<CustomProto>("GW1", keepAlive, idleTime, 1024, 1024, clock);
        Feed(*p, Frame(FRAME_REGISTER, "GW1"));
        EXPECT_TRUE(p->TakeRegistered());
        Drain(p->toNet);
        return p;
    }
};
using CustomProtoWire = CustomProtoTest;
using CustomProtoReceive = CustomProtoTest;
using CustomProtoTimers = CustomProtoTest;
using CustomProtoConnections = CustomProtoTest;

// ---- Frames on the wire -------------------------------------------------

TEST_F(CustomProtoWire, RegistrationAckAndDataFramesByteForByte)
{
    CustomProto p("GW1", 30, 60, 1024, 1024, clock);
    // Device data goes out framed before any registration.
    Bytes ten = {0, 1, 2, 0x7E, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(p.FromSerial(ten.data(), 10), 10);
    EXPECT_EQ(Drain(p.toNet), (Bytes{0x7E, 0x04, 0x00, 0x0E, 'G', 'W', '1', 0} + ten + Bytes{0x7E}));

    EXPECT_EQ(Feed(p, {0x7E, 0x00, 0x00, 0x04, 'G', 'W', '1', 0x00, 0x7E}), 9);
    EXPECT_EQ(Drain(p.toNet), (Bytes{0x7E, 0x03, 0x00, 0x05, 'G', 'W', '1', 0x00, 0x00, 0x7E}));
    EXPECT_TRUE(p.TakeRegistered());
    EXPECT_FALSE(p.TakeRegistered());
    EXPECT_FALSE(p.Poll());

    // A repeated registration is reported again, once; repeated flags are harmless.
    Feed(p, Bytes{0x7E, 0x7E} + Frame(FRAME_REGISTER, "GW1"));
    EXPECT_TRUE(p.TakeRegistered());
    EXPECT_FALSE(p.TakeRegistered());
}

TEST_F(CustomProtoWire, AnEmptyDeviceNameStillFrames)
{
    CustomProto empty("", 0, 0, 1024, 1024, clock);
    unsigned char b = 0x55;
    empty.FromSerial(&b, 1);
    EXPECT_EQ(Drain(empty.toNet), (Bytes{0x7E, 0x04, 0x00, 0x02, 0x00, 0x55, 0x7E}));
    // The name check passes exactly when the first payload byte is zero.
    Feed(empty, {0x7E, 0x00, 0x00, 0x01, 0x00, 0x7E});
    EXPECT_TRUE(empty.TakeRegistered());
    Feed(empty, {0x7E, 0x04, 0x00, 0x02, 0x00, 0x41, 0x7E});
    EXPECT_EQ(Drain(empty.toSerial), Bytes{0x41});
    EXPECT_EQ(Feed(empty, {0x7E, 0x04, 0x00, 0x02, 'x', 0x41, 0x7E}), -1);
    EXPECT_TRUE(empty.Poll());
}

TEST_F(CustomProtoWire, OverlongNamesAreCutAndLongChunksSplitSoNoLengthExceeds1024)
{
    // The name is cut to 11 characters; its 12 bytes leave 1012 for data.
    CustomProto p("ABCDEFGHIJKLMNOP", 0, 0, 1024, 1024, clock);
    for (size_t n : {1012u, 1013u, 1024u, 3000u}) {
        Bytes in = Pattern(n);
        EXPECT_EQ(p.FromSerial(in.data(), static_cast<int>(n)), static_cast<int>(n));
        auto frames = Decode(Drain(p.toNet));  // checks every length field
        EXPECT_EQ(frames.size(), (n + 1011) / 1012) << n;
        Bytes joined;
        for (auto& f : frames) {
            EXPECT_EQ(f.type, FRAME_DATA);
            EXPECT_EQ(f.name, "ABCDEFGHIJK");
            joined = joined + f.data;
        }
        EXPECT_EQ(joined, in) << n;
    }

    // A receiver with the same name takes every piece.
    CustomProto peer("ABCDEFGHIJK", 0, 0, 1024, 1024, clock);
    Feed(peer, Frame(FRAME_REGISTER, "ABCDEFGHIJK"));
    Bytes in = Pattern(1024);
    p.FromSerial(in.data(), 1024);
    Bytes wire = Drain(p.toNet);
    EXPECT_EQ(Feed(peer, wire), static_cast<int>(wire.size()));
    EXPECT_EQ(Drain(peer.toSerial), in);
    EXPECT_FALSE(peer.Poll());
}

// ---- Receiving ----------------------------------------------------------

TEST_F(CustomProtoReceive, DataBeforeRegistrationIsDroppedAloneWithoutEndingTheLink)
{
    CustomProto p("GW1", 30, 60, 1024, 1024, clock);
    Feed(p, Frame(FRAME_DATA, "GW1", {1, 2, 3}) + Frame(FRAME_DATA, "GW1", {4}));
    EXPECT_EQ(p.toSerial.Count(), 0u);
    EXPECT_FALSE(p.Poll());
    EXPECT_EQ(p.linkState, LINK_DOWN);

    // Data, then the registration and a cut-off frame, all in one read: the
    // data is dropped, the registration counts, and the next read completes
    // the frame it started.
    Bytes tail = Frame(FRAME_DATA, "GW1", {0x7E, 5, 0x7E});
    Feed(p, Frame(FRAME_DATA, "GW1", {1}) + Frame(FRAME_REGISTER, "GW1") +
                Bytes(tail.begin(), tail.begin() + 6));
    EXPECT_TRUE(p.TakeRegistered());
    Feed(p, Bytes(tail.begin() + 6, tail.end()));
    EXPECT_EQ(Drain(p.toSerial), (Bytes{0x7E, 5, 0x7E}));
    EXPECT_FALSE(p.Poll());
}

// Protocol errors, and a close request from the peer (which is answered),
// end the connection once and take the link down.
TEST_F(CustomProtoReceive, ProtocolErrorsAndThePeersCloseEndTheConnectionOnce)
{
    const struct {
        const char* what;
        Bytes in;
        std::vector<int> answer;
    } cases[] = {
        {"other name", Frame(FRAME_DATA, "GW2", {1}), {}},
        {"name not zero-terminated", {0x7E, 0x04, 0x00, 0x05, 'G', 'W', '1', 'x', 'y', 0x7E}, {}},
        {"frame shorter than the name", {0x7E, 0x04, 0x00, 0x02, 'G', 'W', 0x7E}, {}},
        {"empty frame", {0x7E, 0x04, 0x00, 0x00, 0x7E}, {}},
        {"type 0x20", {0x7E, 0x20, 0x00, 0x04, 'G', 'W', '1', 0, 0x7E}, {}},
        {"type 0x7F", {0x7E, 0x7F, 0x00, 0x04, 'G', 'W', '1', 0, 0x7E}, {}},
        {"length 1025", {0x7E, 0x04, 0x04, 0x01}, {}},
        {"no closing flag", {0x7E, 0x04, 0x00, 0x05, 'G', 'W', '1', 0, 1, 0x00}, {}},
        {"close", Frame(FRAME_CLOSE, "GW1"), {FRAME_CLOSE_ACK}},
    };
    for (const auto& c : cases) {
        auto p = Registered(30, 60);
        // What follows in the same chunk is dropped.
        Bytes in = c.in + Frame(FRAME_DATA, "GW1", {5}) + Frame(FRAME_KEEPALIVE, "GW1");
        EXPECT_EQ(Feed(*p, in), -1) << c.what;
        EXPECT_EQ(p->toSerial.Count(), 0u) << c.what;
        EXPECT_EQ(SentTypes(*p), c.answer) << c.what;
        EXPECT_TRUE(p->Poll()) << c.what;
        EXPECT_FALSE(p->Poll()) << c.what;
        EXPECT_EQ(p->linkState, LINK_DOWN) << c.what;
    }
}

TEST_F(CustomProtoReceive, SplittingTheInputAnywhereGivesTheSameResult)
{
    // Unused types, and the peer's own acknowledgement, are taken and ignored.
    Bytes stream = Bytes{0x11, 0x7E} + Frame(FRAME_REGISTER, "GW1") +
                   Frame(FRAME_DATA, "GW1", Pattern(300)) + Frame(FRAME_KEEPALIVE, "GW1") +
                   Frame(0x15, "GW1", {1, 2}) + Frame(0x90, "GW1") + Frame(0xFF, "GW1", {3}) +
                   Frame(FRAME_REGISTER_ACK, "GW1", {0}) + Frame(FRAME_DATA, "GW1", {0x7E, 0x7E, 0});
    auto run = [&](std::vector<size_t> cuts) {
        CustomProto p("GW1", 30, 60, 1024, 1024, clock);
        size_t from = 0;
        cuts.push_back(stream.size());
        for (size_t to : cuts) {
            EXPECT_EQ(p.FromNet(stream.data() + from, static_cast<int>(to - from)),
                      static_cast<int>(to - from));
            from = to;
        }
        EXPECT_FALSE(p.Poll());
        return std::make_pair(Drain(p.toNet), Drain(p.toSerial));
    };
    auto whole = run({});
    EXPECT_EQ(whole.second, (Pattern(300) + Bytes{0x7E, 0x7E, 0}));
    EXPECT_EQ(TypesOf(whole.first), (std::vector<int>{FRAME_REGISTER_ACK, FRAME_KEEPALIVE_ACK}));
    std::vector<size_t> everyByte;
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        ASSERT_EQ(run({cut}), whole) << "cut at " << cut;
        everyByte.push_back(cut);
    }
    EXPECT_EQ(run(everyByte), whole);
}

// ---- Timers -------------------------------------------------------------

TEST_F(CustomProtoTimers, SilentPeerIsProbedWithOneSecondBackoffThenFailsAndTheNextLinkLives)
{
    auto p = Registered(30, 0);  // at 1000
    PollLog log = PollEverySecond(*p, clock, 1100);
    EXPECT_EQ(log.sent, (Sent{{1030, FRAME_KEEPALIVE}, {1031, FRAME_KEEPALIVE},
                              {1033, FRAME_KEEPALIVE}, {1036, FRAME_KEEPALIVE}}));
    EXPECT_EQ(log.endedAt, 1040);
    EXPECT_EQ(p->linkState, LINK_DOWN);

    // The probe count starts afresh: the next connection outlives a full
    // interval though its peer stays silent, and a peer that registers then
    // gets a full interval too.
    p->Reset();
    EXPECT_EQ(PollEverySecond(*p, clock, 1080).endedAt, 0);
    EXPECT_FALSE(p->TakeRegistered());
    Feed(*p, Frame(FRAME_REGISTER, "GW1"));  // at 1081
    Drain(p->toNet);
    EXPECT_EQ(PollEverySecond(*p, clock, 1111).sent, (Sent{{1111, FRAME_KEEPALIVE}}));
}

TEST_F(CustomProtoTimers, AnyFrameFromThePeerClearsTheProbeCount)
{
    auto p = Registered(30, 0);
    EXPECT_EQ(PollEverySecond(*p, clock, 1033).sent.size(), 3u);  // 1030, 1031, 1033
    Feed(*p, Frame(FRAME_KEEPALIVE_ACK, "GW1"));                  // answered at 1034
    EXPECT_EQ(PollEverySecond(*p, clock, 1066).sent,
              (Sent{{1064, FRAME_KEEPALIVE}, {1065, FRAME_KEEPALIVE}}));

    // The peer's own probe is answered and counts as a sign of life too.
    Feed(*p, Frame(FRAME_KEEPALIVE, "GW1"));  // at 1067
    EXPECT_EQ(SentTypes(*p), std::vector<int>{FRAME_KEEPALIVE_ACK});
    EXPECT_EQ(PollEverySecond(*p, clock, 1097).sent, (Sent{{1097, FRAME_KEEPALIVE}}));
}

TEST_F(CustomProtoTimers, IdleLinkIsClosedWithoutProbesWhenKeepaliveIsOff)
{
    auto p = Registered(0, 60);
    clock.now = 1020;
    unsigned char b = 1;
    p->FromSerial(&b, 1);  // data either way restarts the idle time
    Drain(p->toNet);
    EXPECT_EQ(PollEverySecond(*p, clock, 1079).sent, Sent{});

    // Unanswered close requests back off like probes, then the link fails.
    PollLog log = PollEverySecond(*p, clock, 1200);
    EXPECT_EQ(log.sent, (Sent{{1080, FRAME_CLOSE}, {1081, FRAME_CLOSE},
                              {1083, FRAME_CLOSE}, {1086, FRAME_CLOSE}}));
    EXPECT_EQ(log.endedAt, 1090);
}

TEST_F(CustomProtoTimers, CloseAckEndsAnIdleLink)
{
    auto p = Registered(100, 60);
    clock.now = 1030;
    Feed(*p, Frame(FRAME_DATA, "GW1", {2}));  // received data restarts the idle time too
    // The close request goes out as soon as the link is idle, not at the
    // probe time.
    EXPECT_EQ(PollEverySecond(*p, clock, 1090).sent, (Sent{{1090, FRAME_CLOSE}}));
    EXPECT_EQ(p->linkState, LINK_CLOSING);
    EXPECT_EQ(Feed(*p, Frame(FRAME_CLOSE_ACK, "GW1")), -1);
    EXPECT_TRUE(p->Poll());
    EXPECT_EQ(p->linkState, LINK_DOWN);
}

TEST_F(CustomProtoTimers, DeadlinesSurviveClockWrapAndHugeIntervals)
{
    const auto at = [](uint32_t t) { return static_cast<int32_t>(t); };
    clock.now = 0x7FFFFFF0;
    auto p = Registered(30, 0);
    EXPECT_EQ(PollEverySecond(*p, clock, at(0x7FFFFFF0u + 30u)).sent,
              (Sent{{at(0x7FFFFFF0u + 30u), FRAME_KEEPALIVE}}));

    // An interval of 0xFFFFFFFF seconds must not read as "already due".
    clock.now = 1000;
    auto q = Registered(0xFFFFFFFFu, 0xFFFFFFFFu);
    EXPECT_EQ(PollEverySecond(*q, clock, 1100).sent, Sent{});
    EXPECT_EQ(q->linkState, LINK_UP);
}

// ---- From one connection to the next ------------------------------------

TEST_F(CustomProtoConnections, ANewConnectionWaitsAFullIntervalBeforeProbing)
{
    auto p = Registered(30, 0);  // at 1000; the connection then drops at once
    clock.now = 1100;            // the next one starts long after the old probe time
    p->Reset();
    EXPECT_EQ(p->linkState, LINK_UP);  // the registration carries over
    EXPECT_EQ(PollEverySecond(*p, clock, 1130).sent, (Sent{{1130, FRAME_KEEPALIVE}}));
}

TEST_F(CustomProtoConnections, EachConnectionStartsParsingAfresh)
{
    auto p = Registered(30, 60);
    Bytes cut = Frame(FRAME_DATA, "GW1", Pattern(40));
    cut.resize(20);
    Feed(*p, cut);  // the connection ends in the middle of a frame
    p->Reset();
    Bytes fresh = Frame(FRAME_DATA, "GW1", {1, 2, 3});
    EXPECT_EQ(Feed(*p, fresh), static_cast<int>(fresh.size()));
    EXPECT_EQ(Drain(p->toSerial), (Bytes{1, 2, 3}));
    EXPECT_FALSE(p->Poll());

    // A registration and a fault in one chunk: the connection ends before the
    // registration is taken, which is then not reported for the next one; nor
    // does the frame the fault cut off leak into the next connection.
    Feed(*p, Frame(FRAME_REGISTER, "GW1") + Bytes{0x7E, 0x04, 0x04, 0x01});  // length 1025
    EXPECT_TRUE(p->Poll());
    p->Reset();
    EXPECT_FALSE(p->Poll());
    EXPECT_FALSE(p->TakeRegistered());
    Feed(*p, Frame(FRAME_REGISTER, "GW1"));
    EXPECT_TRUE(p->TakeRegistered());
    EXPECT_FALSE(p->Poll());
}

int g_blocksLeft = 0;
QueueBlock* RationedAllocator()
{
    if (g_blocksLeft <= 0)
        return nullptr;
    --g_blocksLeft;
    return new QueueBlock;
}

TEST_F(CustomProtoConnections, QueueOutOfMemoryEndsTheConnectionButKeepsTheLink)
{
    auto p = Registered(30, 60);
    g_blocksLeft = 1;
    ByteQueue::SetBlockAllocator(&RationedAllocator);
    Bytes in = Pattern(600);
    p->FromSerial(in.data(), 600);
    ByteQueue::SetBlockAllocator(nullptr);
    EXPECT_TRUE(p->Poll());
    p->Reset();
    EXPECT_FALSE(p->Poll());
    EXPECT_EQ(p->linkState, LINK_UP);
}

}  // namespace
