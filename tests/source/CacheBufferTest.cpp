// Block cache: window bookkeeping, writes across blocks, abandoned windows, block release.
#include <gtest/gtest.h>

#include <vector>

#include "common/HttpTestServer.h"
#include "source/KVACacheBuffer.h"

using namespace kva_audioplayer;
using kva_test::PatternBytes;

namespace {

const int32_t kMiB = CKVACacheBuffer::kBlockSize;

void WriteRange(CKVACacheBuffer& c, int64_t from, int64_t to, int32_t step = 32768) {
    for (int64_t off = from; off < to; off += step) {
        int32_t n = static_cast<int32_t>(std::min<int64_t>(step, to - off));
        std::string bytes = PatternBytes(off, n);
        ASSERT_EQ(n, c.Write(reinterpret_cast<const uint8_t*>(bytes.data()), off, n));
    }
}

std::pair<int64_t, int64_t> Win(int64_t s, int64_t e) { return {s, e}; }

std::pair<int64_t, int64_t> Range(CKVACacheBuffer& c) {
    int64_t s, e;
    c.GetRange(&s, &e);
    return {s, e};
}

}  // namespace

TEST(CacheBuffer, WritesAcrossBlocksReadBackExactly) {
    CKVACacheBuffer c;
    ASSERT_EQ(5, c.SetCacheCount(5));
    c.SetTotalLength(3 * kMiB);
    EXPECT_EQ(Win(0, 0), Range(c));
    // Odd-sized writes straddle block boundaries.
    WriteRange(c, 0, 2 * kMiB + 12345, 100003);
    EXPECT_EQ(Win(0, 2 * kMiB + 12345), Range(c));
    EXPECT_EQ(2, c.LastIndex());

    std::vector<uint8_t> buf(300000);
    int64_t at = kMiB - 1000;
    ASSERT_EQ(300000, c.ReadAt(buf.data(), at, 300000));
    EXPECT_EQ(PatternBytes(at, 300000), std::string(buf.begin(), buf.end()));
    // Partly outside the window: only what it holds.
    EXPECT_EQ(12345, c.ReadAt(buf.data(), 2 * kMiB, 300000));
    EXPECT_EQ(0, c.ReadAt(buf.data(), 3 * kMiB, 10));

    // Five blocks: the window keeps at most the five newest, never overwriting one it counts.
    c.SetTotalLength(10 * kMiB);
    WriteRange(c, 2 * kMiB + 12345, 6 * kMiB + 10);
    EXPECT_EQ(Win(2 * kMiB, 6 * kMiB + 10), Range(c));
    buf.resize(kMiB);
    ASSERT_EQ(kMiB, c.ReadAt(buf.data(), 2 * kMiB, kMiB));
    EXPECT_EQ(PatternBytes(2 * kMiB, kMiB), std::string(buf.begin(), buf.end()));
}

TEST(CacheBuffer, NonAdjoiningWriteAbandonsTheWindow) {
    CKVACacheBuffer c;
    ASSERT_EQ(6, c.SetCacheCount(6));
    c.SetTotalLength(20 * kMiB);
    WriteRange(c, 0, 1500000);
    WriteRange(c, 9 * kMiB, 9 * kMiB + 50000);
    EXPECT_EQ(Win(9 * kMiB, 9 * kMiB + 50000), Range(c));
    std::vector<uint8_t> buf(100);
    EXPECT_EQ(0, c.ReadAt(buf.data(), 0, 100));
    ASSERT_EQ(100, c.ReadAt(buf.data(), 9 * kMiB + 10, 100));
    EXPECT_EQ(PatternBytes(9 * kMiB + 10, 100), std::string(buf.begin(), buf.end()));

    // Back before the window: abandoned again.
    WriteRange(c, 1000, 2000);
    EXPECT_EQ(Win(1000, 2000), Range(c));
}

TEST(CacheBuffer, ReadsReleaseTheOldestBlockOnlyWhenTheRingIsNearlyFull) {
    CKVACacheBuffer c;
    ASSERT_EQ(10, c.SetCacheCount(10));
    c.SetTotalLength(100 * kMiB);
    std::vector<uint8_t> buf(4096);

    WriteRange(c, 0, 5 * kMiB);
    ASSERT_EQ(4096, c.ReadAt(buf.data(), 4 * kMiB, 4096));
    EXPECT_EQ(0, c.FirstIndex()) << "half-empty ring keeps its blocks";

    WriteRange(c, 5 * kMiB, 9 * kMiB + 5);  // blocks 0..9, eight or more after the first
    ASSERT_EQ(4096, c.ReadAt(buf.data(), kMiB + 10, 4096));
    EXPECT_EQ(0, c.FirstIndex()) << "a read one block past the first keeps it";
    ASSERT_EQ(4096, c.ReadAt(buf.data(), 2 * kMiB + 10, 4096));
    EXPECT_EQ(1, c.FirstIndex());
    EXPECT_EQ(kMiB, Range(c).first);

    // Once the last block reaches the end nothing more is coming: no release.
    CKVACacheBuffer d;
    ASSERT_EQ(6, d.SetCacheCount(6));
    d.SetTotalLength(5 * kMiB + 100);
    WriteRange(d, 0, 5 * kMiB + 100);
    ASSERT_EQ(4096, d.ReadAt(buf.data(), 4 * kMiB, 4096));
    EXPECT_EQ(0, d.FirstIndex());
}

TEST(CacheBuffer, DropOldestBlockFollowsTheBackPosition) {
    CKVACacheBuffer c;
    ASSERT_EQ(20, c.SetCacheCount(20));
    c.SetTotalLength(100 * kMiB);
    WriteRange(c, 0, 12 * kMiB);
    std::vector<uint8_t> buf(1000);
    // A read that ends in the middle of a block after a run further on sets the back position.
    ASSERT_EQ(1000, c.ReadAt(buf.data(), 11 * kMiB, 1000));
    ASSERT_EQ(1000, c.ReadAt(buf.data(), 11 * kMiB + 1000, 1000));
    ASSERT_EQ(1000, c.ReadAt(buf.data(), 2 * kMiB, 1000));
    EXPECT_EQ(2 * kMiB, c.BackPosition());
    EXPECT_FALSE(c.DropOldestBlock()) << "back position only two blocks in";

    ASSERT_EQ(1000, c.ReadAt(buf.data(), 10 * kMiB, 1000));
    ASSERT_EQ(1000, c.ReadAt(buf.data(), 10 * kMiB + 1000, 1000));
    ASSERT_EQ(1000, c.ReadAt(buf.data(), 9 * kMiB + 5, 1000));
    EXPECT_EQ(9 * kMiB + 5, c.BackPosition());
    EXPECT_TRUE(c.DropOldestBlock());
    EXPECT_EQ(1, c.FirstIndex());
}
