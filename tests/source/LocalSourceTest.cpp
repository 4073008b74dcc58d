// Local files and the source wrapper.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "common/HttpTestServer.h"
#include "common/TestPaths.h"
#include "source/KVAAudioLocalSource.h"
#include "source/KVAAudioSourceIO.h"

using namespace kva_audioplayer;

namespace {

class LocalSourceTest : public ::testing::Test {
protected:
    std::string Make(const std::string& name, const std::string& content) {
        std::string path = scratch.File(name);
        EXPECT_TRUE(kva_test::WriteFile(path, content));
        return path;
    }
    // One read of up to want bytes: its result and what it delivered.
    static std::pair<int32_t, std::string> Read(IKVASourceIO& s, int32_t want) {
        uint8_t buf[16];
        int32_t len = want;
        int32_t rc = s.Read(buf, &len);
        return {rc, std::string(reinterpret_cast<char*>(buf), rc == kSourceOk ? len : 0)};
    }
    kva_test::ScratchDir scratch{"kvasrc"};
};

using Got = std::pair<int32_t, std::string>;

}  // namespace

TEST_F(LocalSourceTest, ReadsSeeksAndEnds) {
    CKVAAudioLocalSource src(7, Make("a.bin", "0123456789").c_str());
    ASSERT_EQ(kSourceOk, src.Open());
    EXPECT_STREQ("7", src.GetSessionIdText());
    EXPECT_STREQ("-5", CKVAAudioLocalSource(static_cast<uint32_t>(-5), "x").GetSessionIdText());
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

    CKVAAudioLocalSource empty(0, Make("empty.bin", "").c_str());
    ASSERT_EQ(kSourceOk, empty.Open());
    EXPECT_EQ(0, empty.GetSize());
    EXPECT_EQ(Got(kSourceOk, ""), Read(empty, 4));
}

TEST_F(LocalSourceTest, BadArgumentsAndClosedSource) {
    CKVAAudioLocalSource missing(0, (scratch.path + "/none").c_str());
    EXPECT_EQ(kSourceOpenFailed, missing.Open());
    EXPECT_EQ(kSourceBadArgument, Read(missing, 4).first);
    int64_t pos = 0;
    EXPECT_EQ(kSourceBadArgument, missing.Seek(&pos, 0));

    CKVAAudioLocalSource src(0, Make("b.bin", "abc").c_str());
    ASSERT_EQ(kSourceOk, src.Open());
    uint8_t buf[4];
    int32_t len = 4;
    EXPECT_EQ(kSourceBadArgument, src.Read(nullptr, &len));
    EXPECT_EQ(kSourceBadArgument, src.Read(buf, nullptr));
    EXPECT_EQ(kSourceBadArgument, src.Seek(nullptr, 0));
    src.Close();
    src.Close();  // harmless
    EXPECT_EQ(kSourceBadArgument, Read(src, 4).first);
}

TEST_F(LocalSourceTest, SparseFileBeyond2GiBReadsAndSeeksWith64BitOffsets) {
    std::string path = scratch.File("sparse.bin");
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const int64_t where = (int64_t{5} << 30) + 123;  // 5 GiB + 123: wraps in 32 bits
    ASSERT_EQ(4, pwrite(fd, "TAIL", 4, where));
    close(fd);
    CKVAAudioLocalSource src(0, path.c_str());
    ASSERT_EQ(kSourceOk, src.Open());
    EXPECT_EQ(where + 4, src.GetSize());
    int64_t pos = where;
    ASSERT_EQ(kSourceOk, src.Seek(&pos, 0));
    ASSERT_EQ(0, pos);
    EXPECT_EQ(Got(kSourceOk, "TAIL"), Read(src, 8));
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

TEST(SourceWrapper, OpenFailuresBecomeTwoReleaseRunsOnceAndEmptyAnswersDefaults) {
    gReleases = 0;
    for (int32_t code : {5, 8, 0}) {
        CKVAAudioSourceIO w(new FailingSource(code), &Release);
        EXPECT_EQ(code == 0 ? kSourceOk : kSourceOpenFailed, w.Open()) << code;
        EXPECT_EQ(9u, w.GetSessionId());
    }
    EXPECT_EQ(3, gReleases);

    CKVAAudioSourceIO w(nullptr, 11u);
    EXPECT_EQ(11u, w.GetSessionId());
    EXPECT_EQ(kSourceOpenFailed, w.Open());
    uint8_t buf[2];
    int32_t len = 2;
    EXPECT_EQ(kSourceBadArgument, w.Read(buf, &len));
    EXPECT_EQ(2, w.GetErrorCode());
    EXPECT_STREQ("", w.GetSessionIdText());
    EXPECT_FALSE(w.SupportFastSeek());
    EXPECT_EQ(0, w.GetSize());
}
