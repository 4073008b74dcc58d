// The player's state table, driven through IKVAPlayer on the virtual output.
#include <future>
#include <limits>

#include "player/VirtualOutputFixture.h"

namespace {

using PlayerState = VirtualOutputTest;
using Call = std::function<void(IKVAPlayer*)>;

}  // namespace

// A preparation asked for again, and a bad source while prepared, change nothing; stopping twice
// posts one "stopped" and keeps the volume, which Reset restores; a completed track replays from 0.
TEST_F(PlayerState, PrepareStopResetAndReplay) {
    Prepare("flac16.flac");
    obs.Clear();
    player->SetDataSource(nullptr);  // only an error notification; the prepared pipeline stays
    player->PrepareAsync();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(std::make_tuple(player->GetStatus(), obs.Count(kNotifyStatus)), std::make_tuple(kStatusPrepared, 0));
    player->SetVolume(0.3f);
    Play();
    player->Stop(false);
    player->Stop(false);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStopped, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(obs.Count(kNotifyStatus, kStatusStopped), 1);
    EXPECT_FLOAT_EQ(player->GetVolume(), 0.3f);
    player->Reset();
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusIdle, 5000));
    EXPECT_FLOAT_EQ(player->GetVolume(), 1.0f);
    EXPECT_EQ(player->GetDuration(), 0);

    obs.Clear();
    Prepare("short.wav");
    EXPECT_NEAR(player->GetDuration(), 50, 5);
    PlayToTheEnd();
    EXPECT_EQ(player->GetStatus(), kStatusCompleted);
    EXPECT_EQ(obs.Count(kNotifyStatus, kStatusCompleted), 1);
    obs.Clear();
    player->Play(false);
    ASSERT_TRUE(obs.WaitFor(kNotifySeekCompleted, 0, 5000));
    EXPECT_GE(obs.Count(kNotifyStatus, kStatusStarted), 1);
}

// Each refused call answers its code and leaves the playing track as it was: not paused, not
// slowed, not sought, no next track queued, the host's source not taken.
TEST_F(PlayerState, InvalidArgumentsAreRefusedAndChangeNothing) {
    system->SetFast(false);
    Prepare("flac16.flac");
    IKVAPlayer* p = player;
    p->SetVolume(0.5f);
    Play();
    obs.Clear();
    gReleased = 0;
    auto* next = Memory("short.wav", 9);
    const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
    for (int64_t t : {int64_t(-100), INT64_MIN}) EXPECT_EQ(p->Seek(t), kErrorInvalidArgument) << t;
    for (float v : {1.5f, -0.1f, std::nanf("")}) EXPECT_EQ(p->SetVolume(v), kErrorInvalidArgument) << v;
    for (int32_t mode : {4, -1})
        EXPECT_EQ(p->SetNextSourceIO(next, mode, &CountRelease), kErrorInvalidArgument) << "next mode " << mode;
    const std::pair<const char*, std::function<int32_t()>> cases[] = {
        {"SetVolumeEx(2)", [&] { return p->SetVolumeEx(2.0f, 0.0); }},
        {"SetStartFadeTime(-1)", [&] { return p->SetStartFadeTime(-1); }},
        {"SetPauseFadeTime(INT64_MIN)", [&] { return p->SetPauseFadeTime(INT64_MIN); }},
        {"SetCrossFadeTime(INT64_MIN)", [&] { return p->SetCrossFadeTime(INT64_MIN); }},
        {"cache NaN", [&] { return p->SetPlaybackCacheParams(nan, 7, 1, 1.5); }},
        {"cache inf", [&] { return p->SetPlaybackCacheParams(4, inf, 1, 1.5); }},
        {"cache negative", [&] { return p->SetPlaybackCacheParams(4, 7, -1, 1.5); }}};
    for (const auto& c : cases) EXPECT_EQ(c.second(), kErrorInvalidArgument) << c.first;
    for (double speed : {0.0, -1.0, -inf, inf, nan}) EXPECT_FALSE(p->SetPlaySpeed(speed)) << speed;
    // An error about a call is reported, and playback goes on.
    EXPECT_EQ(p->SetDataSource(nullptr), kErrorNoDataSource);
    ASSERT_TRUE(obs.WaitFor(kNotifyError, kErrorNoDataSource, 2000));
    const int64_t t0 = p->GetCurrentPosition();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_GT(p->GetCurrentPosition(), t0 + 200) << "slowed, frozen or paused";
    EXPECT_EQ(p->GetStatus(), kStatusStarted);
    EXPECT_FLOAT_EQ(p->GetVolume(), 0.5f);
    // One error; no next source, seek or status notice; the next source neither opened nor released.
    EXPECT_EQ((std::vector<int>{1, 0, 0, 0, 0}), (std::vector<int>{obs.Count(kNotifyError), obs.Count(kNotifyNextSource),
                                                                obs.Count(kNotifySeekCompleted), obs.Count(kNotifyStatus),
                                                                int(next->OpenCalls())}));
    Release();
    EXPECT_EQ(gReleased, 0);
    delete next;
}

// The playing source handed in again, as the new track and as the next one: each use reads the
// same object, which is released once, when the player is done with it.
TEST_F(PlayerState, ASourceHandedInAgainIsReleasedOnce) {
    gReleased = 0;
    auto* source = Memory("flac16.flac", 5);
    Prepare(source, &CountRelease);
    player->SetNextSourceIO(source, kNextModePreload, &CountRelease);
    player->SetSourceIO(source, &CountRelease);
    player->SetSourceIO(source, &CountRelease);
    player->PrepareAsync();
    ASSERT_TRUE(WaitUntil([&] { return obs.Count(kNotifyStatus, kStatusPreparing) == 2; }));
    // The stop aborted the object, so the new preparation may end cancelled.
    ASSERT_TRUE(WaitUntil([&] {
        return obs.Count(kNotifyStatus, kStatusPrepared) == 2 || player->GetStatus() == kStatusError;
    }));
    EXPECT_EQ(gReleased, 0);
    Release();
    EXPECT_EQ(gReleased, 1);
}

// A source that never answers delays only its own audio: no call waits for it, and Release
// aborts it rather than waiting. Its opening runs in a preparation, or in a preload while the
// current track plays.
TEST_F(PlayerState, NoCallWaitsForAStalledSource) {
    const Call release = [](IKVAPlayer* p) { p->Release(); }, stop = [](IKVAPlayer* p) { p->Stop(true); };
    const struct { const char* name; bool preload, destroys; Call call; } cases[] = {
        {"Release while preparing", false, true, release},
        {"Stop(true) while preparing", false, false, stop},
        {"Release while preloading", true, true, release},
        {"Stop(true) while preloading", true, false, stop},
        {"SetCacheMax while preloading", true, false, [](IKVAPlayer* p) { p->SetCacheMax(8000); }}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto* stalled = new MemorySourceIO(Bytes("flac16.flac"), 3, MemorySourceIO::kGateReads);
        Fresh();
        if (c.preload) {
            Prepare("flac16.flac");
            player->Play(false);
            player->SetNextSourceIO(stalled, kNextModePreload, nullptr);
        } else {
            player->SetSourceIO(stalled, nullptr);
            player->PrepareAsync();
        }
        ASSERT_TRUE(stalled->WaitEntered());
        auto done = std::async(std::launch::async, c.call, player);
        const bool returned = done.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
        EXPECT_TRUE(returned) << "waited for the source";
        if (!returned) stalled->Let();
        done.wait();
        if (c.destroys) player = nullptr;
    }
}

// Play, pause and the queries while the decode thread waits in a read: they take effect at once.
TEST_F(PlayerState, TransportDoesNotWaitForAStalledRead) {
    auto* source = new MemorySourceIO(Bytes("sine_s16.wav"), 6, MemorySourceIO::kGateReads, 131072);
    Prepare(source);
    ASSERT_TRUE(source->WaitEntered());
    player->Play(false);
    EXPECT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStarted, 2000));
    player->Pause(false);
    EXPECT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPaused, 2000));
    EXPECT_EQ(player->GetDuration(), 3000);
}

// A command posted while the status allowed it is dropped when a stop queued before it has run.
TEST_F(PlayerState, CommandsBehindAStopAreIgnored) {
    const Call stop = [](IKVAPlayer* p) { p->Stop(false); }, play = [](IKVAPlayer* p) { p->Play(false); };
    const std::pair<Call, Call> cases[] = {
        {stop, play}, {stop, [](IKVAPlayer* p) { p->Pause(false); }}, {[](IKVAPlayer* p) { p->Stop(true); }, play}};
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        Fresh();
        Prepare("flac16.flac");
        Play();
        c.first(player);
        c.second(player);
        ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStopped, 5000));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(player->GetStatus(), kStatusStopped);
        const Notification last = obs.All().back();
        EXPECT_EQ(std::make_tuple(last.id, last.param1), std::make_tuple(kNotifyStatus, kStatusStopped));
    }
}

// Stop(true) from inside OnNotify(completed), in a fast render: the stop is the last word.
TEST_F(PlayerState, StopFromTheCompletionNoticeIsTheLastWord) {
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        IKVAPlayer* p = Fresh();
        Prepare("short.wav");
        obs.SetHook([p](const Notification& n) {
            if (n.id == kNotifyPlaybackCompleted) p->Stop(true);
        });
        player->Play(false);
        ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStopped, 5000));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(obs.Count(kNotifyPlaybackCompleted), 1);
        EXPECT_EQ(obs.All().back().param1, kStatusStopped);
        obs.SetHook(nullptr);
    }
}

// Choosing a new track drops the preload queued for the old one, and says so.
TEST_F(PlayerState, ANewTrackDropsTheQueuedPreload) {
    Prepare("flac16.flac");
    player->SetNextSourceIO(Memory("join_b.wav", 42), kNextModePreload, nullptr);
    ASSERT_TRUE(obs.WaitFor(kNotifyNextSource, kNextPreloaded, 5000));
    player->SetSourceIO(Memory("short.wav", 43), nullptr);
    player->PrepareAsync();
    ASSERT_TRUE(WaitUntil([&] { return obs.Count(kNotifyStatus, kStatusPrepared) == 2; }));
    PlayToTheEnd();
    auto all = obs.All();
    const int dropped = Find(all, kNotifyNextSource, kNextOpenFailed);
    ASSERT_GE(dropped, 0);
    EXPECT_EQ(all[dropped].text + " " + std::to_string(all[dropped].param2), "42 " + std::to_string(kErrorCancelled));
    EXPECT_EQ(obs.Count(kNotifyStreamChanged), 0);
    EXPECT_EQ(all.back().text, "43");
}

// A slow start: the stream's first buffering notice comes before the device exists, and the
// player keeps it; until audio flows the position stays at the start.
TEST_F(PlayerState, BufferingBeforeTheDeviceIsKeptAndThePositionWaits) {
    system->SetFast(false);
    Prepare(new MemorySourceIO(Bytes("sine_s16.wav"), 4, MemorySourceIO::kThrottle));
    EXPECT_TRUE(player->IsBuffering());
    Play();
    while (player->IsBuffering() && obs.Count(kNotifyBuffering, kBufferingEnd) == 0) {
        ASSERT_EQ(player->GetCurrentPosition(), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(obs.WaitFor(kNotifyBuffering, kBufferingEnd, 10000));
    EXPECT_TRUE(WaitUntil([&] { return player->GetCurrentPosition() > 200; }, 10000));
}

// A stop ends a seek still waiting for its data, and the host hears of it once.
TEST_F(PlayerState, AStopEndsASeekStillWaitingForData) {
    auto* source = new MemorySourceIO(Bytes("sine_s16.wav"), 6);
    source->FailReadsAt(131072, -2);  // no data past 0.7 s
    Prepare(source);
    Play();
    player->Seek(2000);
    player->Stop(true);
    ASSERT_TRUE(obs.WaitFor(kNotifySeekCompleted, 2000, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(std::make_pair(obs.Count(kNotifySeekCompleted), player->GetCurrentPosition()), std::make_pair(1, int64_t(0)));
}

TEST_F(PlayerState, PauseAndSeekWhilePlaying) {
    system->SetFast(false);
    Prepare("flac16.flac");
    player->SetPositionNotifyInterval(20);
    Play();
    player->Seek(2000);
    EXPECT_EQ(player->GetCurrentPosition(), 2000);  // the target while the seek is pending
    ASSERT_TRUE(obs.WaitFor(kNotifySeekCompleted, 2000, 5000));
    ASSERT_TRUE(WaitUntil([&] { return obs.Count(kNotifyPosition) > 0; }));
    Pause();
    const int64_t pos = player->GetCurrentPosition();
    const int ticks = obs.Count(kNotifyPosition);
    EXPECT_GE(pos, 2000);
    EXPECT_LT(pos, 3000);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(player->GetCurrentPosition(), pos);  // paused: the position stands still
    EXPECT_LE(obs.Count(kNotifyPosition), ticks + 1);  // and its ticks stop (one may be on its way)
}
