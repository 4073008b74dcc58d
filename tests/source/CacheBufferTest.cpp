// Block cache: when reads give blocks back.
#include <gtest/gtest.h>

#include "common/HttpTestServer.h"  // PatternBytes
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

std::string ReadAt(CKVACacheBuffer& c, int64_t at, int32_t n) {
    std::string out(static_cast<size_t>(n), '\0');
    int32_t got = c.ReadAt(reinterpret_cast<uint8_t*>(&out[0]), at, n);
    out.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return out;
}

int64_t First(CKVACacheBuffer& c) { int64_t s, e; c.GetRange(&s, &e); return s; }

}  // namespace

// What a window holds, its limits and its abandonment are read through the reader's tests;
// here the rules for giving blocks back.
TEST(CacheBuffer, ReadsReleaseTheOldestBlockOnlyWhenTheRingIsNearlyFull) {
    CKVACacheBuffer c;
    ASSERT_EQ(10, c.SetCacheCount(10));
    c.SetTotalLength(100 * kMiB);
    WriteRange(c, 0, 5 * kMiB);
    ASSERT_EQ(4096u, ReadAt(c, 4 * kMiB, 4096).size());
    EXPECT_EQ(0, First(c)) << "a half-empty ring keeps its blocks";
    WriteRange(c, 5 * kMiB, 9 * kMiB + 5);  // blocks 0..9, eight or more after the first
    ASSERT_EQ(4096u, ReadAt(c, kMiB + 10, 4096).size());
    EXPECT_EQ(0, First(c)) << "a read one block past the first keeps it";
    ASSERT_EQ(4096u, ReadAt(c, 2 * kMiB + 10, 4096).size());
    EXPECT_EQ(kMiB, First(c));

    // Once the last block reaches the end nothing more is coming: no release.
    CKVACacheBuffer d;
    ASSERT_EQ(6, d.SetCacheCount(6));
    d.SetTotalLength(5 * kMiB + 100);
    WriteRange(d, 0, 5 * kMiB + 100);
    ASSERT_EQ(4096u, ReadAt(d, 4 * kMiB, 4096).size());
    EXPECT_EQ(0, First(d));

    // A full ring drops its oldest block only when the back position (where a read that
    // jumped back ended) is well past it.
    CKVACacheBuffer e;
    ASSERT_EQ(20, e.SetCacheCount(20));
    e.SetTotalLength(100 * kMiB);
    WriteRange(e, 0, 12 * kMiB);
    for (int64_t at : {11 * kMiB, 11 * kMiB + 1000, 2 * kMiB}) ReadAt(e, at, 1000);
    EXPECT_FALSE(e.DropOldestBlock()) << "back position only two blocks in";
    for (int64_t at : {10 * kMiB, 10 * kMiB + 1000, 9 * kMiB + 5}) ReadAt(e, at, 1000);
    EXPECT_TRUE(e.DropOldestBlock());
    EXPECT_EQ(kMiB, First(e));
    // The block being written is never given back.
    ASSERT_EQ(20, e.SetCacheCount(20));
    WriteRange(e, 0, kMiB / 2);
    EXPECT_FALSE(e.ReleaseFirstBlock());
}
