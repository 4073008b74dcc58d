// The player's state table, driven through IKVAPlayer on the virtual output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <future>
#include <functional>
#include <limits>
#include <thread>

#include "common/GatedSourceIO.h"
#include "common/TestProcess.h"
#include "player/VirtualOutputFixture.h"

using namespace kva_audioplayer;
using kva_test::RecordingObserver;

namespace {

using kva_test::GatedSourceIO;

class PlayerState : public kva_test::VirtualOutputTest {
protected:
    IKVAPlayer* Prepared(RecordingObserver& o, const char* fixture) {
        IKVAPlayer* p = NewPlayer(&o);
        p->SetDataSource(kva_test::FixturePath(fixture).c_str());
        p->PrepareAsync();
        EXPECT_TRUE(o.WaitFor(kNotifyStatus, kStatusPrepared, 5000));
        return p;
    }
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

// Each refused call answers its code and leaves the playing track as it was: not paused, not
// slowed, not sought, no next track queued, the host's source not taken.
TEST_F(PlayerState, InvalidArgumentsAreRefusedAndChangeNothing) {
    system->SetFast(false);
    RecordingObserver obs;
    IKVAPlayer* p = Prepared(obs, "flac16.flac");
    p->SetVolume(0.5f);
    p->Play(false);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStarted, 5000));
    obs.Clear();
    static int released = 0;
    released = 0;
    auto* next = new kva_test::MemorySourceIO(kva_test::ReadBytes(kva_test::FixturePath("short.wav")), 9);
    auto release = [](IKVASourceIO* s) { ++released; delete s; };
    const float nanf = std::numeric_limits<float>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
    const struct {
        const char* name;
        std::function<int32_t()> call;
    } cases[] = {
        {"Seek(-100)", [&] { return p->Seek(-100); }},
        {"Seek(INT64_MIN)", [&] { return p->Seek(INT64_MIN); }},
        {"SetVolume(1.5)", [&] { return p->SetVolume(1.5f); }},
        {"SetVolume(-0.1)", [&] { return p->SetVolume(-0.1f); }},
        {"SetVolume(NaN)", [&] { return p->SetVolume(nanf); }},
        {"SetVolumeEx(2)", [&] { return p->SetVolumeEx(2.0f, 0.0); }},
        {"next mode 4", [&] { return p->SetNextSourceIO(next, 4, release); }},
        {"next mode -1", [&] { return p->SetNextSourceIO(next, -1, release); }},
        {"SetStartFadeTime(-1)", [&] { return p->SetStartFadeTime(-1); }},
        {"SetPauseFadeTime(INT64_MIN)", [&] { return p->SetPauseFadeTime(INT64_MIN); }},
        {"SetCrossFadeTime(INT64_MIN)", [&] { return p->SetCrossFadeTime(INT64_MIN); }},
        {"cache NaN", [&] { return p->SetPlaybackCacheParams(nan, 7, 1, 1.5); }},
        {"cache inf", [&] { return p->SetPlaybackCacheParams(4, inf, 1, 1.5); }},
        {"cache negative", [&] { return p->SetPlaybackCacheParams(4, 7, -1, 1.5); }},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.call(), kErrorInvalidArgument) << c.name;
    }
    for (double speed : {0.0, -1.0, -inf, inf, nan}) {
        EXPECT_FALSE(p->SetPlaySpeed(speed)) << speed;
    }
    // An error about a call is reported, and playback goes on.
    EXPECT_EQ(p->SetDataSource(nullptr), kErrorNoDataSource);
    ASSERT_TRUE(obs.WaitFor(kNotifyError, kErrorNoDataSource, 2000));
    const int64_t t0 = p->GetCurrentPosition();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_GT(p->GetCurrentPosition(), t0 + 200) << "slowed, frozen or paused";
    EXPECT_EQ(p->GetStatus(), kStatusStarted);
    EXPECT_FLOAT_EQ(p->GetVolume(), 0.5f);
    EXPECT_EQ(obs.Count(kNotifyError), 1);
    EXPECT_EQ(obs.Count(kNotifyNextSource), 0);
    EXPECT_EQ(obs.Count(kNotifySeekCompleted), 0);
    EXPECT_EQ(obs.Count(kNotifyStatus), 0);
    EXPECT_EQ(next->OpenCalls(), 0);
    p->Release();
    EXPECT_EQ(released, 0);
    delete next;
}

// The playing source handed in again, as the new track and as the next one: each use reads the
// same object, which is released once, when the player is done with it.
TEST_F(PlayerState, ASourceHandedInAgainIsReleasedOnce) {
    static int released = 0;
    released = 0;
    auto release = [](IKVASourceIO* s) { ++released; delete s; };
    auto* source = new kva_test::MemorySourceIO(kva_test::ReadBytes(kva_test::FixturePath("flac16.flac")), 5);
    RecordingObserver obs;
    IKVAPlayer* p = CMediaPlayerFactory::NewL(&obs);
    p->SetLogConfig(false, 100);
    p->SetSourceIO(source, release);
    p->PrepareAsync();
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPrepared, 5000));
    p->SetNextSourceIO(source, kNextModePreload, release);
    p->SetSourceIO(source, release);
    p->SetSourceIO(source, release);
    p->PrepareAsync();
    ASSERT_TRUE(kva_test::WaitUntil([&] { return obs.Count(kNotifyStatus, kStatusPreparing) == 2; }));
    // The stop aborted the object, so the new preparation may end cancelled.
    ASSERT_TRUE(kva_test::WaitUntil([&] {
        return obs.Count(kNotifyStatus, kStatusPrepared) == 2 || p->GetStatus() == kStatusError;
    }));
    EXPECT_EQ(released, 0);
    p->Release();
    EXPECT_EQ(released, 1);
}

// A source that never answers delays only its own audio: no call waits for it, and Release
// aborts it rather than waiting. Its opening runs in a preparation, or in a preload while the
// current track plays.
TEST_F(PlayerState, NoCallWaitsForAStalledSource) {
    const struct {
        const char* name;
        bool preload;
        std::function<void(IKVAPlayer*)> call;
        bool destroys;
    } cases[] = {
        {"Release while preparing", false, [](IKVAPlayer* p) { p->Release(); }, true},
        {"Stop(true) while preparing", false, [](IKVAPlayer* p) { p->Stop(true); }, false},
        {"Release while preloading", true, [](IKVAPlayer* p) { p->Release(); }, true},
        {"Stop(true) while preloading", true, [](IKVAPlayer* p) { p->Stop(true); }, false},
        {"SetCacheMax while preloading", true, [](IKVAPlayer* p) { p->SetCacheMax(8000); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingObserver obs;
        auto* stalled = new GatedSourceIO(kva_test::ReadBytes(kva_test::FixturePath("flac16.flac")), 3,
                                          GatedSourceIO::kGateReads);
        IKVAPlayer* p;
        if (c.preload) {
            p = Prepared(obs, "flac16.flac");
            p->Play(false);
            p->SetNextSourceIO(stalled, kNextModePreload, nullptr);
        } else {
            p = CMediaPlayerFactory::NewL(&obs);
            p->SetSourceIO(stalled, nullptr);
            p->PrepareAsync();
        }
        ASSERT_TRUE(stalled->WaitEntered());
        auto done = std::async(std::launch::async, c.call, p);
        const bool returned = done.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
        EXPECT_TRUE(returned) << "waited for the source";
        if (!returned) stalled->Let();
        done.wait();
        if (!c.destroys) p->Release();
    }
}

// Play, pause and the queries while the decode thread waits in a read: they take effect at once.
TEST_F(PlayerState, TransportDoesNotWaitForAStalledRead) {
    RecordingObserver obs;
    auto* source = new GatedSourceIO(kva_test::ReadBytes(kva_test::FixturePath("sine_s16.wav")), 6,
                                     GatedSourceIO::kGateReads, 131072);
    IKVAPlayer* p = CMediaPlayerFactory::NewL(&obs);
    p->SetSourceIO(source, nullptr);
    p->PrepareAsync();
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPrepared, 5000));
    ASSERT_TRUE(source->WaitEntered());
    p->Play(false);
    EXPECT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStarted, 2000));
    p->Pause(false);
    EXPECT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPaused, 2000));
    EXPECT_EQ(p->GetDuration(), 3000);
    p->Release();
}

// A command posted while the status allowed it is dropped when a stop queued before it has run.
TEST_F(PlayerState, CommandsBehindAStopAreIgnored) {
    const struct {
        const char* name;
        std::function<void(IKVAPlayer*)> stop, then;
    } cases[] = {
        {"Stop, Play", [](IKVAPlayer* p) { p->Stop(false); }, [](IKVAPlayer* p) { p->Play(false); }},
        {"Stop, Pause", [](IKVAPlayer* p) { p->Stop(false); }, [](IKVAPlayer* p) { p->Pause(false); }},
        {"Stop(true), Play", [](IKVAPlayer* p) { p->Stop(true); }, [](IKVAPlayer* p) { p->Play(false); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingObserver obs;
        IKVAPlayer* p = Prepared(obs, "flac16.flac");
        p->Play(false);
        ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStarted, 5000));
        c.stop(p);
        c.then(p);
        ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStopped, 5000));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(p->GetStatus(), kStatusStopped);
        auto all = obs.All();
        EXPECT_EQ(all.back().id, kNotifyStatus);
        EXPECT_EQ(all.back().param1, kStatusStopped);
        p->Release();
    }
}

// Stop(true) from inside OnNotify(completed), in a fast render: the stop is the last word.
TEST_F(PlayerState, StopFromTheCompletionNoticeIsTheLastWord) {
    for (int round = 0; round < 5; ++round) {
        RecordingObserver obs;
        IKVAPlayer* p = Prepared(obs, "short.wav");
        obs.SetHook([p](const kva_test::Notification& n) {
            if (n.id == kNotifyPlaybackCompleted) p->Stop(true);
        });
        p->Play(false);
        ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStopped, 5000));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(obs.Count(kNotifyPlaybackCompleted), 1) << round;
        EXPECT_EQ(obs.All().back().param1, kStatusStopped) << round;
        obs.SetHook(nullptr);
        p->Release();
    }
}

// Choosing a new track drops the preload queued for the old one, and says so.
TEST_F(PlayerState, ANewTrackDropsTheQueuedPreload) {
    RecordingObserver obs;
    IKVAPlayer* p = Prepared(obs, "flac16.flac");
    p->SetNextSourceIO(new kva_test::MemorySourceIO(kva_test::ReadBytes(kva_test::FixturePath("join_b.wav")), 42),
                       kNextModePreload, nullptr);
    ASSERT_TRUE(obs.WaitFor(kNotifyNextSource, 4, 5000));
    p->SetSourceIO(new kva_test::MemorySourceIO(kva_test::ReadBytes(kva_test::FixturePath("short.wav")), 43),
                   nullptr);
    p->PrepareAsync();
    ASSERT_TRUE(kva_test::WaitUntil([&] { return obs.Count(kNotifyStatus, kStatusPrepared) == 2; }));
    p->Play(false);
    ASSERT_TRUE(obs.WaitFor(kNotifyPlaybackCompleted, RecordingObserver::kAny, 5000));
    auto all = obs.All();
    const auto dropped = std::find_if(all.begin(), all.end(), [](const kva_test::Notification& n) {
        return n.id == kNotifyNextSource && n.param1 == 9;
    });
    ASSERT_NE(dropped, all.end());
    EXPECT_EQ(dropped->text, "42");
    EXPECT_EQ(dropped->param2, kErrorCancelled);
    EXPECT_EQ(obs.Count(kNotifyStreamChanged), 0);
    EXPECT_EQ(all.back().text, "43");
    p->Release();
}

// A slow start: the stream's first buffering notice comes before the device exists, and the
// player keeps it; until audio flows the position stays at the start.
TEST_F(PlayerState, BufferingBeforeTheDeviceIsKeptAndThePositionWaits) {
    system->SetFast(false);
    RecordingObserver obs;
    IKVAPlayer* p = CMediaPlayerFactory::NewL(&obs);
    p->SetStartFadeTime(0);
    p->SetSourceIO(new GatedSourceIO(kva_test::ReadBytes(kva_test::FixturePath("sine_s16.wav")), 4,
                                     GatedSourceIO::kThrottle),
                   nullptr);
    p->PrepareAsync();
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPrepared, 5000));
    EXPECT_TRUE(p->IsBuffering());
    p->Play(false);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStarted, 5000));
    while (p->IsBuffering() && obs.Count(kNotifyBuffering, kBufferingEnd) == 0) {
        ASSERT_EQ(p->GetCurrentPosition(), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(obs.WaitFor(kNotifyBuffering, kBufferingEnd, 10000));
    EXPECT_TRUE(kva_test::WaitUntil([&] { return p->GetCurrentPosition() > 200; }, 10000));
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
