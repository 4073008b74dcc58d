// The player's state table, driven through IKVAPlayer on the virtual output.
#include <gtest/gtest.h>

#include <thread>

#include "KvaAudioPlayer.h"
#include "common/RecordingObserver.h"
#include "common/TestPaths.h"
#include "platform/SoundSystem.h"
#include "platform/VirtualSoundSystem.h"

using namespace kva_audioplayer;
using kva_test::RecordingObserver;

namespace {

class PlayerState : public ::testing::Test {
protected:
    void SetUp() override {
        system = std::make_shared<snd::VirtualSoundSystem>(true);
        system->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("out", u"Test Output"), true);
        snd::SetSoundSystem(system);
    }
    void TearDown() override { snd::SetSoundSystem(nullptr); }

    IKVAPlayer* Prepared(RecordingObserver& obs, const char* fixture) {
        IKVAPlayer* p = CMediaPlayerFactory::NewL(&obs);
        p->SetLogConfig(false, 100);
        p->SetStartFadeTime(0);
        p->SetDataSource(kva_test::FixturePath(fixture).c_str());
        p->PrepareAsync();
        EXPECT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPrepared, 5000));
        return p;
    }

    std::shared_ptr<snd::VirtualSoundSystem> system;
};

}  // namespace

TEST_F(PlayerState, PlaysToCompletionThenPlayReplaysFromZero) {
    RecordingObserver obs;
    IKVAPlayer* p = Prepared(obs, "short.wav");
    EXPECT_EQ(p->GetStatus(), kStatusPrepared);
    EXPECT_NEAR(p->GetDuration(), 50, 5);
    p->Play(true);
    ASSERT_TRUE(obs.WaitFor(kNotifyPlaybackCompleted, 0, 5000));
    EXPECT_EQ(p->GetStatus(), kStatusCompleted);
    EXPECT_EQ(obs.Count(kNotifyStatus, kStatusCompleted), 1);
    obs.Clear();
    p->Play(false);
    ASSERT_TRUE(obs.WaitFor(kNotifySeekCompleted, 0, 5000));
    EXPECT_GE(obs.Count(kNotifyStatus, kStatusStarted), 1);
    p->Release();
}

TEST_F(PlayerState, StopTwicePostsOneStoppedAndResetRestoresVolume) {
    RecordingObserver obs;
    IKVAPlayer* p = Prepared(obs, "flac16.flac");
    p->SetVolume(0.3f);
    p->Play(false);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStarted, 5000));
    p->Stop(false);
    p->Stop(false);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStopped, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(obs.Count(kNotifyStatus, kStatusStopped), 1);
    EXPECT_FLOAT_EQ(p->GetVolume(), 0.3f);
    p->Reset();
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusIdle, 5000));
    EXPECT_FLOAT_EQ(p->GetVolume(), 1.0f);
    EXPECT_EQ(p->GetDuration(), 0);
    p->Release();
}

TEST_F(PlayerState, IgnoredCommandsStaySilent) {
    RecordingObserver obs;
    IKVAPlayer* p = CMediaPlayerFactory::NewL(&obs);
    p->SetLogConfig(false, 100);
    p->SetDataSource(kva_test::FixturePath("flac16.flac").c_str());
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusInitialized, 2000));
    obs.Clear();
    p->Play(true);     // status 2
    p->Pause(true);
    p->Seek(500);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(obs.All().empty());
    p->Release();
}

TEST_F(PlayerState, PrepareTwiceWhilePreparedChangesNothing) {
    RecordingObserver obs;
    IKVAPlayer* p = Prepared(obs, "flac16.flac");
    obs.Clear();
    p->SetDataSource(nullptr);  // only an error notification; the prepared pipeline stays
    p->PrepareAsync();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(p->GetStatus(), kStatusPrepared);
    EXPECT_EQ(obs.Count(kNotifyStatus), 0);
    p->Release();
}

TEST_F(PlayerState, PauseAndSeekWhilePlaying) {
    system->SetFast(false);
    RecordingObserver obs;
    IKVAPlayer* p = Prepared(obs, "flac16.flac");
    p->Play(false);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStarted, 5000));
    p->Seek(2000);
    EXPECT_EQ(p->GetCurrentPosition(), 2000);  // the target while the seek is pending
    ASSERT_TRUE(obs.WaitFor(kNotifySeekCompleted, 2000, 5000));
    p->Pause(false);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPaused, 5000));
    int64_t pos = p->GetCurrentPosition();
    EXPECT_GE(pos, 2000);
    EXPECT_LT(pos, 3000);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(p->GetCurrentPosition(), pos);  // paused: the position stands still
    p->Release();
}

TEST_F(PlayerState, ManyLifecyclesConcurrency) {
    for (int i = 0; i < 200; ++i) {
        RecordingObserver obs;
        IKVAPlayer* p = CMediaPlayerFactory::NewL(&obs);
        p->SetLogConfig(false, 100);
        p->SetStartFadeTime(0);
        p->SetDataSource(kva_test::FixturePath(i % 2 ? "flac16.flac" : "cbr.mp3").c_str());
        p->PrepareAsync();
        if (i % 3 != 0) ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPrepared, 5000)) << i;
        p->Play(true);
        p->Seek(1000);
        p->Stop(false);
        p->Reset();
        if (i % 5 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        p->Release();
    }
}
