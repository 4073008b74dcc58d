// Played-time queries through IKVAPlayer, on the virtual output.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "common/MemorySourceIO.h"
#include "player/VirtualOutputFixture.h"

using namespace kva_audioplayer;
using kva_test::MemorySourceIO;
using kva_test::RecordingObserver;

namespace {

std::vector<uint8_t> ReadFixture(const char* name) {
    return kva_test::ReadBytes(kva_test::FixturePath(name));
}

class PlayerTime : public kva_test::VirtualOutputTest {
protected:
    void SetUp() override {
        VirtualOutputTest::SetUp();
        player = NewPlayer(&obs);
    }
    // Prepares `fixture` as the song with session id `id`.
    void Prepare(const char* fixture, uint32_t id) {
        auto data = ReadFixture(fixture);
        ASSERT_FALSE(data.empty()) << fixture;
        player->SetSourceIO(new MemorySourceIO(std::move(data), id), nullptr);
        player->PrepareAsync();
        ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPrepared, 5000));
    }
    void ExpectTimes(const char* id, int64_t played, int64_t withSpeed, int64_t end, int64_t tol) {
        EXPECT_NEAR(played, player->GetPlayedTime(id), tol) << id;
        EXPECT_NEAR(withSpeed, player->GetPlayedTimeWithSpeed(id), tol) << id;
        EXPECT_NEAR(end, player->GetPlayEndTime(id), tol) << id;
    }
};

}  // namespace

TEST_F(PlayerTime, FinishedTrackAnswersFromChainAndRecordUntilReset) {
    EXPECT_EQ(0, player->GetCurrentPosition());
    Prepare("sine_s16.wav", 41);
    PlayToTheEnd();
    // Type 0 asks the chain by song id; any other type the record of the finished track.
    ExpectTimes("41", 3000, 3000, 3000, 30);
    EXPECT_EQ(0, player->GetPlayedTime("40"));
    player->SetGetPlayedTimeType(1);
    ExpectTimes("41", 3000, 3000, 3000, 30);

    player->Reset();
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusIdle, 5000));
    // The record is gone and an idle player has no played time.
    ExpectTimes("41", 0, 0, 0, 0);
}

TEST_F(PlayerTime, SpeedShortensPlayedTimeButNotSourceTime) {
    Prepare("sine_s16.wav", 52);
    ASSERT_TRUE(player->SetPlaySpeed(1.5));
    PlayToTheEnd();
    ExpectTimes("52", 2000, 3000, 3000, 60);
    player->SetGetPlayedTimeType(1);
    ExpectTimes("52", 2000, 3000, 3000, 60);
}

TEST_F(PlayerTime, EndedTrackKeepsItsTimesAfterGaplessSwitch) {
    system->SetFast(false);
    Prepare("short.wav", 61);  // 50 ms
    auto next = ReadFixture("sine_s16.wav");
    player->SetNextSourceIO(new MemorySourceIO(std::move(next), 62), kNextModePreload, nullptr);
    ASSERT_TRUE(obs.WaitFor(kNotifyNextSource, 4, 5000));  // preloaded
    player->Play(false);
    ASSERT_TRUE(obs.WaitFor(kNotifyStreamChanged, 62, 5000));

    // Now playing 62: both query types still know where 61 ended.
    player->SetGetPlayedTimeType(1);
    ExpectTimes("61", 50, 50, 50, 15);
    const int64_t current = player->GetPlayedTime("62");
    EXPECT_LT(current, 2000);
    player->SetGetPlayedTimeType(0);
    ExpectTimes("61", 50, 50, 50, 15);
    EXPECT_LT(player->GetPlayEndTime("62"), 2000);
    EXPECT_EQ(0, player->GetPlayedTime("60"));
    // Another song id under type 1 answers the current track's counters.
    player->SetGetPlayedTimeType(1);
    EXPECT_GE(player->GetPlayedTime("60"), current);
    EXPECT_LT(player->GetPlayedTime("60"), 2500);
}
