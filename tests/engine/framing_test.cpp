// The framing layer on its own: byte queues, the transparent protocol and the
// custom protocol with a fake clock; nothing sleeps.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "engine/custom_proto.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Sent = std::vector<std::pair<int32_t, int>>;  // time, frame type

struct FakeClock : SecondsClock {
    int32_t now = 1000;
    int32_t Now() const override { return now; }
};

Bytes operator+(Bytes a, const Bytes& b) { return a.insert(a.end(), b.begin(), b.end()), a; }

Bytes Frame(int type, const std::string& name, const Bytes& data = {})
{
    size_t len = name.size() + 1 + data.size();
    return Bytes{0x7E, static_cast<unsigned char>(type), static_cast<unsigned char>(len >> 8),
                 static_cast<unsigned char>(len)} +
           Bytes(name.c_str(), name.c_str() + name.size() + 1) + data + Bytes{0x7E};
}

Bytes Pattern(size_t n)
{
    Bytes v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<unsigned char>(i * 13 + 0x70);  // 0x7E now and then
    return v;
}

Bytes Drain(ByteQueue& q)
{
    Bytes out(q.Count());
    return out.resize(q.Read(out.data(), static_cast<uint32_t>(out.size()))), out;
}

int Feed(CustomProto& p, const Bytes& b) { return p.FromNet(b.data(), static_cast<int>(b.size())); }

// The frames queued for the network, each checked: flags, a length of at
// most 1024, the name: type and data of each.
std::vector<std::pair<int, Bytes>> Decode(const Bytes& wire, const char* name = "GW1")
{
    std::vector<std::pair<int, Bytes>> frames;
    const size_t n = strlen(name) + 1;
    for (size_t i = 0, len; i + 5 <= wire.size(); i += len + 5) {
        len = wire[i + 2] * 256u + wire[i + 3];
        EXPECT_TRUE(wire[i] == 0x7E && len <= 1024 && wire.at(i + 4 + len) == 0x7E && !memcmp(&wire[i + 4], name, n));
        frames.push_back({wire[i + 1], Bytes(wire.begin() + i + 4 + n, wire.begin() + i + 4 + len)});
    }
    return frames;
}

// Poll ends the connection, and the next Poll does not end it again.
bool EndsOnce(Protocol& p) { return p.Poll() && !p.Poll(); }

int g_blocksLeft = 0;
QueueBlock* RationedAllocator() { return g_blocksLeft-- > 0 ? new QueueBlock : nullptr; }

class Framing : public ::testing::Test {
protected:
    FakeClock clock;

    // Device name GW1; its peer registered just now.
    std::unique_ptr<CustomProto> Registered(uint32_t keepAlive, uint32_t idleTime)
    {
        auto p = std::make_unique<CustomProto>("GW1", keepAlive, idleTime, 1024, 1024, clock);
        Feed(*p, Frame(FRAME_REGISTER, "GW1"));
        EXPECT_TRUE(p->TakeRegistered());
        return Drain(p->toNet), std::move(p);
    }
    // Polls once a second up to `until`; what went out when, and the time
    // Poll ended the connection (0 if it did not).
    std::pair<Sent, int32_t> PollEverySecond(CustomProto& p, int32_t until)
    {
        Sent sent;
        for (bool ended;; clock.now = static_cast<int32_t>(static_cast<uint32_t>(clock.now) + 1)) {
            ended = p.Poll();
            for (const auto& frame : Decode(Drain(p.toNet)))
                sent.push_back({clock.now, frame.first});
            if (ended || clock.now == until)
                return {sent, ended ? clock.now : 0};
        }
    }
};

TEST(ByteQueue, OutOfMemoryKeepsWhatFitsAndEndsTheConnectionOnce)
{
    g_blocksLeft = 2;
    ByteQueue::SetBlockAllocator(&RationedAllocator);
    Protocol proto(1024, 1024);
    const Bytes in = Pattern(700);
    EXPECT_EQ(proto.FromSerial(in.data(), 700), 512);
    ByteQueue::SetBlockAllocator(nullptr);
    EXPECT_EQ(Drain(proto.toNet), Bytes(in.begin(), in.begin() + 512));
    EXPECT_TRUE(EndsOnce(proto));
}

// An 11-character name (longer ones are cut) leaves 1012 bytes of data per
// frame: no length field exceeds 1024.
TEST_F(Framing, LongChunksSplitIntoFramesOfAtMost1024)
{
    CustomProto longName("ABCDEFGHIJKLMNOP", 0, 0, 1024, 1024, clock);
    for (size_t n : {1012u, 1013u, 3000u}) {
        Bytes in = Pattern(n), joined;
        longName.FromSerial(in.data(), static_cast<int>(n));
        auto frames = Decode(Drain(longName.toNet), "ABCDEFGHIJK");
        EXPECT_EQ(frames.size(), (n + 1011) / 1012);
        for (auto& f : frames)
            joined = joined + f.second;
        EXPECT_EQ(joined, in) << n;
    }
}

// Protocol errors, and the peer's close (answered), end the connection once
// and take the link down; what follows in the same read is dropped.
TEST_F(Framing, ProtocolErrorsAndThePeersCloseEndTheConnectionOnce)
{
    const struct { const char* what; Bytes in, answer; } cases[] = {
        {"other name", Frame(FRAME_DATA, "GW2", {1}), {}},
        {"name not zero-terminated", {0x7E, 0x04, 0x00, 0x05, 'G', 'W', '1', 'x', 'y', 0x7E}, {}},
        {"frame shorter than the name", {0x7E, 0x04, 0x00, 0x02, 'G', 'W', 0x7E}, {}},
        {"type 0x20", {0x7E, 0x20, 0x00, 0x04, 'G', 'W', '1', 0, 0x7E}, {}},
        {"length 1025", {0x7E, 0x04, 0x04, 0x01}, {}},
        {"no closing flag", {0x7E, 0x04, 0x00, 0x05, 'G', 'W', '1', 0, 1, 0x00}, {}},
        {"close", Frame(FRAME_CLOSE, "GW1"), Frame(FRAME_CLOSE_ACK, "GW1")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto p = Registered(30, 60);
        EXPECT_EQ(Feed(*p, c.in + Frame(FRAME_DATA, "GW1", {5})), -1);
        EXPECT_EQ(p->toSerial.Count(), 0u);
        EXPECT_EQ(Drain(p->toNet), c.answer);
        EXPECT_EQ(p->SecondsUntilDue(), 0);
        EXPECT_TRUE(EndsOnce(*p));
        EXPECT_EQ(p->linkState, LINK_DOWN);
    }
}

TEST_F(Framing, UnregisteredDataIsDroppedAloneAndAnyCutOfTheStreamGivesTheSameResult)
{
    Bytes stream = Bytes{0x11, 0x7E} + Frame(FRAME_DATA, "GW1", {9}) + Frame(FRAME_REGISTER, "GW1") +
                   Frame(FRAME_DATA, "GW1", Pattern(300)) + Frame(FRAME_KEEPALIVE, "GW1") +
                   Frame(0x15, "GW1", {1}) + Frame(0x90, "GW1") +
                   Frame(FRAME_DATA, "GW1", {0x7E, 0x7E, 0});
    auto run = [&](size_t cut) {
        CustomProto p("GW1", 30, 60, 1024, 1024, clock);
        EXPECT_EQ(p.FromNet(stream.data(), static_cast<int>(cut)), static_cast<int>(cut));
        p.FromNet(stream.data() + cut, static_cast<int>(stream.size() - cut));
        EXPECT_FALSE(p.Poll());
        return std::make_pair(Drain(p.toNet), Drain(p.toSerial));
    };
    auto whole = run(stream.size());
    EXPECT_EQ(whole.second, (Pattern(300) + Bytes{0x7E, 0x7E, 0}));
    EXPECT_EQ(Decode(whole.first).size(), 2u);  // the registration's and the probe's answers
    for (size_t cut = 1; cut < stream.size(); ++cut)
        ASSERT_EQ(run(cut), whole) << "cut at " << cut;
}

TEST_F(Framing, SilentPeerIsProbedWithOneSecondBackoffThenTheNextLinkStartsAfresh)
{
    auto p = Registered(30, 0);  // at 1000
    EXPECT_EQ(p->SecondsUntilDue(), 30);
    auto [sent, ended] = PollEverySecond(*p, 1100);
    EXPECT_EQ(sent, (Sent{{1030, FRAME_KEEPALIVE}, {1031, FRAME_KEEPALIVE},
                          {1033, FRAME_KEEPALIVE}, {1036, FRAME_KEEPALIVE}}));
    EXPECT_EQ(ended, 1040);
    EXPECT_EQ(p->SecondsUntilDue(), -1);  // down: only the peer can change that

    // No probe count is left behind: the next connection outlives a full
    // interval, and a registration then gets a full one too.
    p->Reset();
    EXPECT_EQ(PollEverySecond(*p, 1080).second, 0);
    Feed(*p, Frame(FRAME_REGISTER, "GW1"));  // at 1080
    Drain(p->toNet);
    EXPECT_EQ(PollEverySecond(*p, 1110).first, (Sent{{1110, FRAME_KEEPALIVE}}));
}

TEST_F(Framing, IdleLinkIsClosedAndDeadlinesSurviveWrapAndHugeIntervals)
{
    auto p = Registered(0, 60);
    clock.now = 1020;
    p->FromSerial(Pattern(1).data(), 1);  // data restarts the idle time
    Drain(p->toNet);
    EXPECT_EQ(p->SecondsUntilDue(), 60);
    EXPECT_EQ(PollEverySecond(*p, 1200).second, 1090);  // close requests back off like probes

    clock.now = 0x7FFFFFF0;
    auto q = Registered(30, 0);
    const int32_t due = static_cast<int32_t>(0x7FFFFFF0u + 30u);
    EXPECT_EQ(PollEverySecond(*q, due).first, (Sent{{due, FRAME_KEEPALIVE}}));
    clock.now = 1000;
    auto huge = Registered(0xFFFFFFFFu, 0xFFFFFFFFu);  // must not read as due
    EXPECT_EQ(PollEverySecond(*huge, 1100).first, Sent{});
}

TEST_F(Framing, EachConnectionStartsParsingAfreshAndForgetsAFaultyRead)
{
    auto p = Registered(30, 60);
    p->FromNet(Frame(FRAME_DATA, "GW1", Pattern(40)).data(), 20);  // the connection ends inside a frame
    p->Reset();
    Feed(*p, Frame(FRAME_DATA, "GW1", {1, 2, 3}));
    EXPECT_EQ(Drain(p->toSerial), (Bytes{1, 2, 3}));
    EXPECT_FALSE(p->Poll());

    // A registration and a fault in one read: not reported for the next
    // connection.
    Feed(*p, Frame(FRAME_REGISTER, "GW1") + Bytes{0x7E, 0x04, 0x04, 0x01});
    EXPECT_TRUE(p->Poll());
    p->Reset();
    EXPECT_FALSE(p->Poll());
    EXPECT_FALSE(p->TakeRegistered());
}

}  // namespace
