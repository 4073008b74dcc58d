// Played-time queries through IKVAPlayer, on the virtual output.
#include <gtest/gtest.h>

#include "player/VirtualOutputFixture.h"

using namespace kva_audioplayer;
using namespace kva_test;

namespace {

class PlayerTime : public VirtualOutputTest {
protected:
    // Under both query types (type 0 after): type 0 asks the chain by song id, any other the
    // record of the finished track.
    void ExpectTimes(const char* id, int64_t played, int64_t withSpeed, int64_t end, int64_t tol,
                     std::initializer_list<int32_t> types = {0, 1}) {
        for (int32_t type : types) {
            player->SetGetPlayedTimeType(type);
            EXPECT_NEAR(played, player->GetPlayedTime(id), tol) << id << " type " << type;
            EXPECT_NEAR(withSpeed, player->GetPlayedTimeWithSpeed(id), tol) << id << " type " << type;
            EXPECT_NEAR(end, player->GetPlayEndTime(id), tol) << id << " type " << type;
        }
        player->SetGetPlayedTimeType(0);
    }
};

}  // namespace

// A finished track answers its times until Reset; a speed shortens the played time, not the
// source's.
TEST_F(PlayerTime, FinishedTrackAnswersUntilResetAndSpeedShortensPlayedTime) {
    for (double speed : {1.5, 1.0}) {
        SCOPED_TRACE(speed);
        EXPECT_EQ(0, Fresh()->GetCurrentPosition());
        Prepare(Memory("sine_s16.wav", 41));
        ASSERT_TRUE(player->SetPlaySpeed(speed));
        PlayToTheEnd();
        ExpectTimes("41", int64_t(3000 / speed), 3000, 3000, speed == 1.0 ? 30 : 60);
    }
    EXPECT_EQ(0, player->GetPlayedTime("40"));
    player->Reset();
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusIdle, 5000));
    // The record is gone and an idle player has no played time.
    ExpectTimes("41", 0, 0, 0, 0, {1});
}

TEST_F(PlayerTime, EndedTrackKeepsItsTimesAfterGaplessSwitch) {
    system->SetFast(false);
    Prepare(Memory("short.wav", 61));  // 50 ms
    player->SetNextSourceIO(Memory("sine_s16.wav", 62), kNextModePreload, nullptr);
    ASSERT_TRUE(obs.WaitFor(kNotifyNextSource, kNextPreloaded, 5000));
    player->Play(false);
    ASSERT_TRUE(obs.WaitFor(kNotifyStreamChanged, 62, 5000));
    // Now playing 62: both query types still know where 61 ended.
    ExpectTimes("61", 50, 50, 50, 15);
    EXPECT_LT(player->GetPlayEndTime("62"), 2000);
    EXPECT_EQ(0, player->GetPlayedTime("60"));
    // Another song id under type 1 answers the current track's counters.
    player->SetGetPlayedTimeType(1);
    const int64_t current = player->GetPlayedTime("62");
    EXPECT_LT(current, 2000);
    EXPECT_GE(player->GetPlayedTime("60"), current);
    EXPECT_LT(player->GetPlayedTime("60"), 2500);
}
