#include <gtest/gtest.h>

#include "player/CKVAAudioTimeInfo.h"

using namespace kva_audioplayer;

namespace {

struct FakeClock {
    int64_t now = 1000000;
    static int64_t Read(void* c) { return static_cast<FakeClock*>(c)->now; }
};

class AudioTimeInfoTest : public ::testing::Test {
protected:
    void SetUp() override {
        info.SetClock(&FakeClock::Read, &clock);
        info.Reset();
        info.Start();
    }
    void Advance(int64_t ms) { clock.now += ms; }

    FakeClock clock;
    CKVAAudioTimeInfo info;
};

}  // namespace

TEST_F(AudioTimeInfoTest, NothingBeforeResumeAndFillsIgnoredUntilRunning) {
    EXPECT_EQ(CKVAAudioTimeInfo::kStateStarted, info.GetState());
    info.OnFill(500);
    EXPECT_EQ(0, info.GetPlayedTime());
    EXPECT_EQ(0u, info.GetFillCount());
    info.Resume();
    EXPECT_EQ(0, info.GetPlayedTime());  // running but no anchor yet: the last reported value
    info.OnFill(-1);                     // negative positions are not taken
    EXPECT_EQ(0u, info.GetFillCount());
    info.OnFill(700);
    EXPECT_EQ(1u, info.GetFillCount());
    EXPECT_EQ(700, info.GetPlayedTime());
    EXPECT_EQ(700, info.GetLastFillPosition());
}

TEST_F(AudioTimeInfoTest, ExtrapolatesFromTheAnchor) {
    info.Resume();
    info.OnFill(1000);
    Advance(100);
    info.OnFill(1100);
    Advance(100);
    info.OnFill(1200);
    Advance(50);
    EXPECT_EQ(1250, info.GetPlayedTime());
    Advance(30);
    EXPECT_EQ(1280, info.GetPlayedTime());

    // The completion delay is taken off, and it survives a restart.
    info.SetDelay(40);
    info.Start();
    info.Resume();
    info.OnFill(2000);
    Advance(100);
    EXPECT_EQ(2060, info.GetPlayedTime());
}

TEST_F(AudioTimeInfoTest, SpeedScalesTheExtrapolation) {
    info.SetSpeed(2.0f);
    info.Resume();
    info.OnFill(1000);
    Advance(50);
    EXPECT_EQ(1100, info.GetPlayedTime());
    Advance(25);
    EXPECT_EQ(1150, info.GetPlayedTime());

    // A speed change drops the anchor: the next fill re-anchors at its own position.
    info.SetSpeed(0.5f);
    EXPECT_EQ(1150, info.GetPlayedTime());
    info.OnFill(1200);
    Advance(100);
    EXPECT_EQ(1250, info.GetPlayedTime());
    // Same speed again (within 1e-6): the anchor stays.
    info.SetSpeed(0.5f);
    Advance(100);
    EXPECT_EQ(1300, info.GetPlayedTime());
}

TEST_F(AudioTimeInfoTest, DriftBeyondToleranceReanchorsAtOnce) {
    info.Resume();
    info.OnFill(1000);
    Advance(300);
    info.OnFill(5000);  // the extrapolation says 1300
    EXPECT_EQ(5000, info.GetPlayedTime());
    Advance(20);
    EXPECT_EQ(5020, info.GetPlayedTime());

    // Drift inside the tolerance keeps the old anchor.
    info.OnFill(5080);
    Advance(10);
    EXPECT_EQ(5030, info.GetPlayedTime());

    // A wider tolerance accepts more drift.
    info.SetTolerance(1000);
    info.OnFill(5500);
    EXPECT_EQ(5030, info.GetPlayedTime());
}

TEST_F(AudioTimeInfoTest, SmallBackwardStepsHiddenLargeOnesPassed) {
    info.Resume();
    info.OnFill(2000);
    Advance(500);
    EXPECT_EQ(2500, info.GetPlayedTime());
    // A fill 150 ms behind the last answer: re-anchored, but the step back is hidden.
    info.OnFill(2350);
    EXPECT_EQ(2500, info.GetPlayedTime());
    Advance(100);
    EXPECT_EQ(2500, info.GetPlayedTime());  // 2450 is still behind
    Advance(100);
    EXPECT_EQ(2550, info.GetPlayedTime());
    // 300 ms behind is a real jump back.
    info.OnFill(2250);
    EXPECT_EQ(2250, info.GetPlayedTime());
}

TEST_F(AudioTimeInfoTest, PauseStopAndSetPosition) {
    info.Resume();
    info.OnFill(3000);
    Advance(200);
    info.Pause();
    EXPECT_EQ(CKVAAudioTimeInfo::kStatePaused, info.GetState());
    Advance(5000);
    EXPECT_EQ(3200, info.GetPlayedTime());

    // Resuming waits for a fill before moving again.
    info.Resume();
    Advance(100);
    EXPECT_EQ(3200, info.GetPlayedTime());
    info.OnFill(3210);
    Advance(40);
    EXPECT_EQ(3250, info.GetPlayedTime());

    info.Stop();
    EXPECT_EQ(CKVAAudioTimeInfo::kStateStopped, info.GetState());
    EXPECT_EQ(0, info.GetPlayedTime());  // only running and paused answer

    // A seek: the position is taken as reported, and paused shows it.
    info.Resume();
    info.SetPosition(60000);
    EXPECT_EQ(0u, info.GetFillCount());
    EXPECT_EQ(60000, info.GetLastFillPosition());
    EXPECT_EQ(60000, info.GetPlayedTime());
    info.OnFill(60000);
    Advance(100);
    EXPECT_EQ(60100, info.GetPlayedTime());
    // Seeking back far passes the jump on.
    info.SetPosition(0);
    info.OnFill(0);
    Advance(10);
    EXPECT_EQ(10, info.GetPlayedTime());

    info.Reset();
    EXPECT_EQ(CKVAAudioTimeInfo::kStateReset, info.GetState());
    EXPECT_EQ(0, info.GetLastFillPosition());
}
