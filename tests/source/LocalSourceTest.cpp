#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "common/TestPaths.h"
#include "source/KVAAudioLocalSource.h"
#include "source/KVAAudioSourceIO.h"

using namespace kva_audioplayer;

namespace {

class LocalSourceTest : public ::testing::Test {
protected:
    std::string Make(const std::string& name, const std::string& content) {
        std::string path = scratch.File(name);
        FILE* f = fopen(path.c_str(), "wb");
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
        return path;
    }
    kva_test::ScratchDir scratch{"kvasrc"};
    const std::string& dir = scratch.path;
};

}  // namespace

TEST_F(LocalSourceTest, ReadsToTheEndThenAnswersZeroLength) {
    CKVAAudioLocalSource src(7, Make("a.bin", "0123456789").c_str());
    ASSERT_EQ(src.Open(), kSourceOk);
    EXPECT_STREQ(src.GetSessionIdText(), "7");
    EXPECT_STREQ(CKVAAudioLocalSource(static_cast<uint32_t>(-5), "x").GetSessionIdText(), "-5");
    EXPECT_EQ(src.GetSize(), 10);
    uint8_t buf[16];
    int32_t len = 6;
    EXPECT_EQ(src.Read(buf, &len), kSourceOk);
    EXPECT_EQ(len, 6);
    len = 16;
    EXPECT_EQ(src.Read(buf, &len), kSourceOk);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "6789");
    len = 16;
    EXPECT_EQ(src.Read(buf, &len), kSourceOk);  // end of file is not an error
    EXPECT_EQ(len, 0);

    CKVAAudioLocalSource empty(0, Make("empty.bin", "").c_str());
    ASSERT_EQ(empty.Open(), kSourceOk);
    EXPECT_EQ(empty.GetSize(), 0);
    len = 4;
    EXPECT_EQ(empty.Read(buf, &len), kSourceOk);
    EXPECT_EQ(len, 0);
}

TEST_F(LocalSourceTest, BadArgumentsAndClosedSource) {
    CKVAAudioLocalSource missing(0, (dir + "/none").c_str());
    EXPECT_EQ(missing.Open(), kSourceOpenFailed);
    uint8_t buf[4];
    int32_t len = 4;
    EXPECT_EQ(missing.Read(buf, &len), kSourceBadArgument);
    int64_t pos = 0;
    EXPECT_EQ(missing.Seek(&pos, 0), kSourceBadArgument);

    CKVAAudioLocalSource src(0, Make("b.bin", "abc").c_str());
    ASSERT_EQ(src.Open(), kSourceOk);
    EXPECT_EQ(src.Read(nullptr, &len), kSourceBadArgument);
    EXPECT_EQ(src.Read(buf, nullptr), kSourceBadArgument);
    EXPECT_EQ(src.Seek(nullptr, 0), kSourceBadArgument);
    src.Close();
    src.Close();  // harmless
    EXPECT_EQ(src.Read(buf, &len), kSourceBadArgument);
}

TEST_F(LocalSourceTest, SeekWritesBackSuccessOrFailure) {
    CKVAAudioLocalSource src(0, Make("c.bin", "abcdef").c_str());
    ASSERT_EQ(src.Open(), kSourceOk);
    int64_t pos = -2;
    EXPECT_EQ(src.Seek(&pos, 2), kSourceOk);
    EXPECT_EQ(pos, 0);
    uint8_t buf[4];
    int32_t len = 4;
    src.Read(buf, &len);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), len), "ef");
    pos = -100;
    EXPECT_EQ(src.Seek(&pos, 0), kSourceOk);  // failure is only visible in the written value
    EXPECT_EQ(pos, -1);
}

TEST_F(LocalSourceTest, SparseFileBeyond2GiBReadsAndSeeksWith64BitOffsets) {
    std::string path = dir + "/sparse.bin";
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const int64_t where = (int64_t{5} << 30) + 123;  // 5 GiB + 123: wraps in 32 bits
    ASSERT_EQ(pwrite(fd, "TAIL", 4, where), 4);
    close(fd);

    CKVAAudioLocalSource src(0, path.c_str());
    ASSERT_EQ(src.Open(), kSourceOk);
    EXPECT_EQ(src.GetSize(), where + 4);
    int64_t pos = where;
    ASSERT_EQ(src.Seek(&pos, 0), kSourceOk);
    ASSERT_EQ(pos, 0);
    uint8_t buf[8];
    int32_t len = 8;
    ASSERT_EQ(src.Read(buf, &len), kSourceOk);
    ASSERT_EQ(len, 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "TAIL");
}

namespace {
class FailingSource : public CKVAAudioLocalSource {
public:
    explicit FailingSource(int32_t code) : CKVAAudioLocalSource(9, "x"), mCode(code) {}
    int32_t Open() override { return mCode; }
    int32_t mCode;
};
int gReleases = 0;
void Release(IKVASourceIO* s) {
    ++gReleases;
    delete s;
}
}  // namespace

TEST(SourceWrapper, OpenFailuresBecomeTwoAndReleaseRunsOnce) {
    gReleases = 0;
    {
        CKVAAudioSourceIO a(new FailingSource(5), &Release);
        EXPECT_EQ(a.Open(), kSourceOpenFailed);
        EXPECT_EQ(a.GetSessionId(), 9u);
        CKVAAudioSourceIO b(new FailingSource(8), &Release);
        EXPECT_EQ(b.Open(), kSourceOpenFailed);
        CKVAAudioSourceIO ok(new FailingSource(0), &Release);
        EXPECT_EQ(ok.Open(), kSourceOk);
    }
    EXPECT_EQ(gReleases, 3);
}

TEST(SourceWrapper, EmptyWrapperAnswersDefaults) {
    CKVAAudioSourceIO w(nullptr, 11u);
    EXPECT_EQ(w.GetSessionId(), 11u);
    EXPECT_EQ(w.Open(), kSourceOpenFailed);
    uint8_t buf[2];
    int32_t len = 2;
    EXPECT_EQ(w.Read(buf, &len), kSourceBadArgument);
    EXPECT_EQ(w.GetErrorCode(), 2);
    EXPECT_STREQ(w.GetSessionIdText(), "");
    EXPECT_FALSE(w.SupportFastSeek());
    EXPECT_EQ(w.GetSize(), 0);
}
