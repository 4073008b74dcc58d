#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KvaAudioPlayer.h"
#include "support/Log.h"

using namespace kva_audioplayer;

namespace {

struct Captured {
    int32_t level;
    std::string tag;
    std::string message;
};

class RecordingLogger : public IPlayerLogger {
public:
    int32_t Log(int32_t level, const char* tag, const char* message) override {
        lines.push_back({level, tag, message});
        return 0;
    }
    std::vector<Captured> lines;
};

// Restores the process-wide log state each test changes.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedLevel = GetLogMinLevel();
        SetLogMinLevel(0);
        SetLogDebugOutput(0);
    }
    void TearDown() override {
        SetLogSink(nullptr, nullptr);
        SetLogMinLevel(savedLevel);
    }
    int32_t savedLevel = 0;
};

}  // namespace

TEST_F(LogTest, LongMessageIsTruncatedTo2047Characters) {
    RecordingLogger logger;
    CKVALogWrap wrap(&logger);
    std::string big(5000, 'x');
    KVA_LOG(3, "%s", big.c_str());
    ASSERT_EQ(logger.lines.size(), 1u);
    EXPECT_EQ(logger.lines[0].message.size(), 2047u);
    EXPECT_EQ(logger.lines[0].tag, "QXAudioPlayer");
    EXPECT_EQ(logger.lines[0].level, 3);
}

TEST_F(LogTest, MessagesBelowMinimumLevelAreDropped) {
    RecordingLogger logger;
    CKVALogWrap wrap(&logger);
    SetLogMinLevel(4);
    KVA_LOG(2, "detail");
    KVA_LOG(3, "trace");
    KVA_LOG(4, "failure %d", 7);
    ASSERT_EQ(logger.lines.size(), 1u);
    EXPECT_EQ(logger.lines[0].message, "failure 7");
}

TEST_F(LogTest, SinkReplacementAndRemoval) {
    RecordingLogger first, second;
    auto* a = new CKVALogWrap(&first);
    KVA_LOG(3, "one");
    auto* b = new CKVALogWrap(&second);
    delete a;  // not the registered sink any more: must not unregister the second
    KVA_LOG(3, "two");
    EXPECT_EQ(first.lines.size(), 1u);
    ASSERT_EQ(second.lines.size(), 1u);
    EXPECT_EQ(second.lines[0].message, "two");
    delete b;
    KVA_LOG(3, "three");
    EXPECT_EQ(second.lines.size(), 1u);
}

TEST_F(LogTest, NullLoggerWrapperDropsMessages) {
    CKVALogWrap wrap(nullptr);
    KVA_LOG(4, "nobody listens");  // must not crash
    SUCCEED();
}

TEST_F(LogTest, PlayerSetLoggerKeepsSameLoggerAndSwitchesToNewOne) {
    RecordingLogger first, second;
    IKVAPlayer* player = CMediaPlayerFactory::NewL(nullptr);
    ASSERT_NE(player, nullptr);
    player->SetLogConfig(false, 0);
    player->SetLogger(&first);
    player->SetLogger(&first);
    player->SetStartFadeTime(300);
    size_t firstCount = first.lines.size();
    EXPECT_GE(firstCount, 1u);
    player->SetLogger(&second);
    player->SetStartFadeTime(400);
    EXPECT_EQ(first.lines.size(), firstCount);
    ASSERT_FALSE(second.lines.empty());
    EXPECT_EQ(second.lines.back().message, "CKVAAudioPlayer::SetStartFadeTime mStartFadeTime 400");
    player->Release();
    // The player's wrapper is gone with it: later messages reach nobody.
    size_t secondCount = second.lines.size();
    KVA_LOG(4, "after release");
    EXPECT_EQ(second.lines.size(), secondCount);
}
