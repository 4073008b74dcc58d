// Local files and the source wrapper.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "common/TestPaths.h"
#include "source/KVAAudioLocalSource.h"
#include "source/KVAAudioSourceIO.h"

using namespace kva_audioplayer;

namespace {

using Got = std::pair<int32_t, std::string>;

// One read of up to want bytes: its result and what it delivered.
Got Read(IKVASourceIO& s, int32_t want) {
    uint8_t buf[16];
    int32_t len = want;
    int32_t rc = s.Read(buf, &len);
    return {rc, std::string(reinterpret_cast<char*>(buf), rc == kSourceOk ? len : 0)};
}

}  // namespace

TEST(LocalSource, ReadsSeeksEndsAndFailures) {
    kva_test::ScratchDir scratch{"kvasrc"};
    ASSERT_TRUE(kva_test::WriteFile(scratch.File("a.bin"), "0123456789"));
    CKVAAudioLocalSource src(7, scratch.File("a.bin").c_str());
    ASSERT_EQ(kSourceOk, src.Open());
    EXPECT_EQ(10, src.GetSize());
    EXPECT_EQ(Got(kSourceOk, "012345"), Read(src, 6));
    EXPECT_EQ(Got(kSourceOk, "6789"), Read(src, 16));
    EXPECT_EQ(Got(kSourceOk, ""), Read(src, 16));  // end of file is not an error
    int64_t pos = -2;
    EXPECT_EQ(kSourceOk, src.Seek(&pos, 2));
    EXPECT_EQ(0, pos);
    EXPECT_EQ(Got(kSourceOk, "89"), Read(src, 4));
    pos = -100;
    EXPECT_EQ(kSourceOk, src.Seek(&pos, 0));  // failure is only visible in the written value
    EXPECT_EQ(-1, pos);
    src.Close();
    EXPECT_EQ(kSourceBadArgument, Read(src, 4).first);

    CKVAAudioLocalSource missing(0, (scratch.path + "/none").c_str());
    EXPECT_EQ(kSourceOpenFailed, missing.Open());
    EXPECT_EQ(kSourceBadArgument, Read(missing, 4).first);

    // 5 GiB + 123 wraps in 32 bits.
    const int64_t where = (int64_t{5} << 30) + 123;
    int fd = open(scratch.File("sparse.bin").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(4, pwrite(fd, "TAIL", 4, where));
    close(fd);
    CKVAAudioLocalSource sparse(0, scratch.File("sparse.bin").c_str());
    ASSERT_EQ(kSourceOk, sparse.Open());
    EXPECT_EQ(where + 4, sparse.GetSize());
    pos = where;
    ASSERT_EQ(kSourceOk, sparse.Seek(&pos, 0));
    ASSERT_EQ(0, pos);
    EXPECT_EQ(Got(kSourceOk, "TAIL"), Read(sparse, 8));
}

namespace {
struct FailingSource : CKVAAudioLocalSource {
    explicit FailingSource(int32_t code) : CKVAAudioLocalSource(9, "x"), mCode(code) {}
    int32_t Open() override { return mCode; }
    int32_t mCode;
};
int gReleases = 0;
}  // namespace

TEST(SourceWrapper, OpenFailuresBecomeTwoAndReleaseRunsOnce) {
    for (int32_t code : {5, 8, 0}) {
        CKVAAudioSourceIO w(new FailingSource(code), [](IKVASourceIO* s) { ++gReleases; delete s; });
        EXPECT_EQ(code == 0 ? kSourceOk : kSourceOpenFailed, w.Open()) << code;
        EXPECT_EQ(9u, w.GetSessionId());
    }
    EXPECT_EQ(3, gReleases);
}
