#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "KvaAudioPlayer.h"
#include "support/FFmpegLog.h"
#include "support/Log.h"

extern "C" {
#include <libavutil/log.h>
}

using namespace kva_audioplayer;

namespace {

struct Captured {
    int32_t level;
    std::string tag, message;
};

struct RecordingLogger : IPlayerLogger {
    int32_t Log(int32_t level, const char* tag, const char* message) override {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back({level, tag, message});
        return 0;
    }
    bool Has(const std::string& message) {
        std::lock_guard<std::mutex> lock(mutex);
        return std::any_of(lines.begin(), lines.end(), [&](const Captured& l) { return l.message == message; });
    }
    std::mutex mutex;
    std::vector<Captured> lines;
};

// What the library writes to standard error while fn runs.
template <typename Fn>
std::string StderrOf(Fn fn) {
    ::testing::internal::CaptureStderr();
    fn();
    return ::testing::internal::GetCapturedStderr();
}

// Restores the process-wide log state each test changes.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedLevel = GetLogMinLevel();
        CMediaPlayerFactory::SetLogConfig(false, 0);
    }
    void TearDown() override {
        CMediaPlayerFactory::SetLogger(nullptr);
        SetLogMinLevel(savedLevel);
        SetLogDebugOutput(0);
    }
    int32_t savedLevel = 0;
};

// Standard error is the host's: written only when asked for, at the level asked.
TEST_F(LogTest, LevelsTagTruncationAndStandardErrorOnlyWhenAsked) {
    RecordingLogger logger;
    CMediaPlayerFactory::SetLogger(&logger);
    EXPECT_EQ(StderrOf([] { KVA_LOG(3, "%s", std::string(5000, 'x').c_str()); }), "");
    ASSERT_EQ(logger.lines.size(), 1u);
    EXPECT_EQ(std::make_tuple(logger.lines[0].message.size(), logger.lines[0].tag, logger.lines[0].level),
              std::make_tuple(2047u, "QXAudioPlayer", 3));

    CMediaPlayerFactory::SetLogConfig(true, kLogLevelError);
    EXPECT_EQ(StderrOf([] {
                  KVA_LOG(2, "detail");
                  KVA_LOG(3, "trace");
                  KVA_LOG(4, "failure %d", 7);
              }),
              "failure 7\n");
    ASSERT_EQ(logger.lines.size(), 2u);
    EXPECT_EQ(logger.lines[1].message, "failure 7");
}

// Players share the process's logger: releasing one, or a second player's SetLogger with the same
// logger, does not cut it off; the host replaces or clears it, and one given through a player
// goes with the last player (a host may then destroy it).
TEST_F(LogTest, OneLoggerPerProcessOutlivesPlayers) {
    RecordingLogger first, second;
    CMediaPlayerFactory::SetLogger(&first);  // before any player
    IKVAPlayer* a = CMediaPlayerFactory::NewL(nullptr);
    IKVAPlayer* b = CMediaPlayerFactory::NewL(nullptr);
    ASSERT_TRUE(a && b);
    b->SetLogger(&first);
    b->Release();
    a->SetStartFadeTime(300);
    EXPECT_TRUE(first.Has("CKVAAudioPlayer::SetStartFadeTime mStartFadeTime 300"));
    a->SetLogger(&second);
    a->SetStartFadeTime(400);
    EXPECT_FALSE(first.Has("CKVAAudioPlayer::SetStartFadeTime mStartFadeTime 400"));
    EXPECT_TRUE(second.Has("CKVAAudioPlayer::SetStartFadeTime mStartFadeTime 400"));
    a->Release();
    KVA_LOG(4, "after the last player");
    EXPECT_FALSE(second.Has("after the last player"));

    // Given through the factory, it stays without players until the host clears it.
    CMediaPlayerFactory::SetLogger(&second);
    CMediaPlayerFactory::NewL(nullptr)->Release();
    KVA_LOG(4, "after release");
    EXPECT_TRUE(second.Has("after release"));
    CMediaPlayerFactory::SetLogger(nullptr);
    KVA_LOG(4, "cleared");
    EXPECT_FALSE(second.Has("cleared"));
}

int gHostLines = 0;
void HostCallback(void*, int, const char*, va_list) { ++gHostLines; }

// FFmpeg's messages reach the log by their weight (a fatal one at error level); a host that opts
// out, or sets its own callback after the first player, keeps FFmpeg's log to itself.
TEST_F(LogTest, FFmpegLogForwardingAndOptOut) {
    RecordingLogger logger;
    CMediaPlayerFactory::SetLogger(&logger);
    InstallFFmpegLogForwarding();
    av_log(nullptr, AV_LOG_FATAL, "fatal one\n");
    av_log(nullptr, AV_LOG_WARNING, "warned\n");
    auto ffmpegLines = [&logger] {
        size_t n = 0;
        for (auto& l : logger.lines) n += l.message.rfind("FFmpeg: ", 0) == 0;
        return n;
    };
    ASSERT_EQ(ffmpegLines(), 2u);
    EXPECT_EQ(std::make_tuple(logger.lines[0].level, logger.lines[0].message, logger.lines[1].level),
              std::make_tuple(kLogLevelError, "FFmpeg: fatal one", kLogLevelDetail));

    // A host's callback set after the library's stays, whatever players are created.
    av_log_set_callback(&HostCallback);
    InstallFFmpegLogForwarding();
    CMediaPlayerFactory::NewL(nullptr)->Release();
    av_log(nullptr, AV_LOG_ERROR, "host's\n");
    EXPECT_EQ(std::make_tuple(gHostLines, ffmpegLines()), std::make_tuple(1, 2u));

    // Opted out: FFmpeg's default comes back over the library's and is left alone.
    CMediaPlayerFactory::SetFFmpegLogForwarding(true);
    CMediaPlayerFactory::SetFFmpegLogForwarding(false);
    InstallFFmpegLogForwarding();
    EXPECT_NE(StderrOf([] { av_log(nullptr, AV_LOG_ERROR, "to stderr\n"); }).find("to stderr"),
              std::string::npos);
    EXPECT_EQ(ffmpegLines(), 2u);
    CMediaPlayerFactory::SetFFmpegLogForwarding(true);
}

}  // namespace
