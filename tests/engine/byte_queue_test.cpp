#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/byte_queue.h"
#include "engine/protocol.h"

namespace {

std::vector<unsigned char> Pattern(size_t n, int seed = 0)
{
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<unsigned char>((i * 7 + seed) & 0xFF);
    return v;
}

TEST(ByteQueue, ReadReleasesPassedBlocksButKeepsThePartlyWrittenLast)
{
    ByteQueue q;
    unsigned char none[4];
    EXPECT_EQ(q.Read(none, 4), 0u);
    EXPECT_EQ(q.Write(none, 0), 0u);
    EXPECT_EQ(q.BlockCount(), 0);

    auto in = Pattern(600);
    EXPECT_EQ(q.Write(in.data(), 600), 600u);
    EXPECT_EQ(q.BlockCount(), 3);
    std::vector<unsigned char> out(1024);
    out.resize(q.Read(out.data(), 1024));
    EXPECT_EQ(out, in);
    EXPECT_EQ(q.Count(), 0u);
    EXPECT_EQ(q.BlockCount(), 1);  // the last block stays to take later writes

    auto more = Pattern(200, 3);
    q.Write(more.data(), 200);
    EXPECT_EQ(q.BlockCount(), 2);  // 168 fit in the old block, 32 in a new one
    std::vector<unsigned char> got(200);
    EXPECT_EQ(q.Read(got.data(), 500), 200u);
    EXPECT_EQ(got, more);
}

TEST(ByteQueue, BlockBoundariesKeepOrderForEveryChunkSize)
{
    auto in = Pattern(3000, 11);
    for (uint32_t wchunk : {1u, 255u, 256u, 257u, 1024u}) {
        for (uint32_t rchunk : {1u, 255u, 256u, 257u, 1024u}) {
            ByteQueue q;
            std::vector<unsigned char> out;
            size_t w = 0;
            while (w < in.size() || q.Count()) {
                if (w < in.size()) {
                    uint32_t n = std::min<uint32_t>(wchunk, uint32_t(in.size() - w));
                    q.Write(in.data() + w, n);
                    w += n;
                }
                unsigned char buf[1024];
                uint32_t got = q.Read(buf, rchunk);
                out.insert(out.end(), buf, buf + got);
            }
            ASSERT_EQ(out, in) << "write chunk " << wchunk << " read chunk " << rchunk;
        }
    }
}

TEST(ByteQueue, LimitOnlyReportsNeverRefuses)
{
    ByteQueue q(1024);
    auto in = Pattern(1025);
    q.Write(in.data(), 1024);
    EXPECT_FALSE(q.IsOverLimit());
    q.Write(in.data(), 1);
    EXPECT_TRUE(q.IsOverLimit());
    EXPECT_EQ(q.Count(), 1025u);

    ByteQueue unlimited(0);
    auto big = Pattern(100000);
    unlimited.Write(big.data(), 100000);
    EXPECT_FALSE(unlimited.IsOverLimit());
}

int g_blocksLeft = 0;
QueueBlock* RationedAllocator()
{
    if (g_blocksLeft <= 0)
        return nullptr;
    --g_blocksLeft;
    return new QueueBlock;
}

TEST(ByteQueue, OutOfMemoryStoresWhatFitsAndEndsTheConnection)
{
    g_blocksLeft = 2;
    ByteQueue::SetBlockAllocator(&RationedAllocator);
    Protocol proto(1024, 1024);
    auto in = Pattern(700);
    EXPECT_EQ(proto.FromSerial(in.data(), 700), 512);
    ByteQueue::SetBlockAllocator(nullptr);

    EXPECT_EQ(proto.toNet.Count(), 512u);
    std::vector<unsigned char> out(512);
    proto.toNet.Read(out.data(), 512);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), in.begin()));  // nothing overwritten
    EXPECT_TRUE(proto.Poll());   // the hole in the stream ends the connection
    EXPECT_FALSE(proto.Poll());  // once
}

TEST(Protocol, TransparentPassThroughAndReset)
{
    Protocol p(1024, 1024);
    const unsigned char a[] = {1, 2, 3};
    const unsigned char b[] = {0x7E, 0, 0xFF};
    EXPECT_EQ(p.FromSerial(a, 3), 3);
    EXPECT_EQ(p.FromNet(b, 3), 3);
    EXPECT_FALSE(p.Poll());
    EXPECT_FALSE(p.TakeRegistered());
    unsigned char out[8];
    ASSERT_EQ(p.toNet.Read(out, 8), 3u);
    EXPECT_EQ(0, memcmp(out, a, 3));
    p.FromSerial(a, 3);
    p.Reset();  // a new connection starts with empty queues
    EXPECT_EQ(p.toNet.Read(out, 8), 0u);
    EXPECT_EQ(p.toSerial.Read(out, 8), 0u);
}

}  // namespace
