// Track transitions and fades of the player, heard through the virtual output's capture (taken
// after the device volume).
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <set>
#include <thread>

#include "common/GatedSourceIO.h"
#include "common/HttpTestServer.h"
#include "common/MemorySourceIO.h"
#include "common/ReferenceDecode.h"
#include "player/VirtualOutputFixture.h"

using namespace kva_audioplayer;
using kva_test::RecordingObserver;

namespace {

std::vector<uint8_t> FileBytes(const std::string& name) {
    return kva_test::ReadBytes(kva_test::FixturePath(name));
}

void ReleaseSource(IKVASourceIO* source) { delete source; }

class PlayerTransition : public kva_test::VirtualOutputTest {
protected:
    // Index of the first notification (id, param1) at or after `from`; -1 when none.
    static int Find(const std::vector<kva_test::Notification>& all, int32_t id, int32_t p1,
                    size_t from = 0) {
        for (size_t i = from; i < all.size(); ++i)
            if (all[i].id == id && (p1 == RecordingObserver::kAny || all[i].param1 == p1))
                return static_cast<int>(i);
        return -1;
    }
};

std::vector<float> Joined(const char* a, const char* b) {
    std::vector<float> all = kva_test::CachedReferenceF32Stereo(kva_test::FixturePath(a));
    const auto& second = kva_test::CachedReferenceF32Stereo(kva_test::FixturePath(b));
    all.insert(all.end(), second.begin(), second.end());
    return all;
}

}  // namespace

TEST_F(PlayerTransition, GaplessSwitchNotifiesInOrderAndJoinsExactly) {
    Prepare("join_a.wav");
    player->SetNextSourceIO(new kva_test::MemorySourceIO(FileBytes("join_b.flac"), 42), kNextModePreload,
                            &ReleaseSource);
    ASSERT_TRUE(obs.WaitFor(kNotifyNextSource, 4, 5000));
    player->Play(false);
    ASSERT_TRUE(obs.WaitFor(kNotifyPlaybackCompleted, RecordingObserver::kAny, 5000));
    auto all = obs.All();
    const int preloaded = Find(all, kNotifyNextSource, 4);
    EXPECT_EQ(all[preloaded].text, "42");
    const int changed = Find(all, kNotifyStreamChanged, 42);
    ASSERT_GT(changed, preloaded);
    // 1000, 400 (1), 5, 7 in this order, all about the new track; nothing of the old one's end.
    std::vector<kva_test::Notification> switchSet;
    for (size_t i = changed; i < all.size(); ++i)
        if (all[i].id == kNotifyStreamChanged || all[i].id == kNotifyNextSource ||
            all[i].id == kNotifyFirstAudio || all[i].id == kNotifyDuration)
            switchSet.push_back(all[i]);
    ASSERT_EQ(switchSet.size(), 4u);
    EXPECT_EQ(switchSet[1].id, kNotifyNextSource);
    EXPECT_EQ(switchSet[1].param1, kNextSwitchingNow);
    EXPECT_EQ(switchSet[2].id, kNotifyFirstAudio);
    EXPECT_EQ(switchSet[2].param1, 42);
    EXPECT_EQ(switchSet[3].id, kNotifyDuration);
    EXPECT_NEAR(switchSet[3].param1, 1200, 5);
    for (const auto& n : switchSet) EXPECT_EQ(n.text, "42");
    EXPECT_EQ(obs.Count(kNotifyStatus, kStatusCompleted), 1);
    EXPECT_EQ(all[Find(all, kNotifyStatus, kStatusCompleted)].text, "42");
    EXPECT_EQ(player->GetDuration(), switchSet[3].param1);

    const std::vector<float> ref = Joined("join_a.wav", "join_b.flac");
    const std::vector<float> got = Captured();
    const long start = kva_test::LocateStart(got, ref);
    ASSERT_GE(start, 0);
    EXPECT_EQ(kva_test::FirstMismatch(got, start, ref, 0, ref.size() / 2), -1);
}

TEST_F(PlayerTransition, FailedPreloadIsReportedAndTheTrackPlaysOn) {
    Prepare("join_a.wav");
    auto* bad = new kva_test::MemorySourceIO(FileBytes("join_b.wav"), 43);
    bad->FailOpen(kSourceOpenFailed);
    player->SetNextSourceIO(bad, kNextModePreload, &ReleaseSource);
    ASSERT_TRUE(obs.WaitFor(kNotifyNextSource, 9, 5000));
    player->Play(false);
    ASSERT_TRUE(obs.WaitFor(kNotifyPlaybackCompleted, RecordingObserver::kAny, 5000));
    auto all = obs.All();
    EXPECT_EQ(all[Find(all, kNotifyNextSource, 9)].text, "43");
    EXPECT_EQ(obs.Count(kNotifyStreamChanged), 0);
    EXPECT_EQ(obs.Count(kNotifyError), 0);
    const auto& a = kva_test::CachedReferenceF32Stereo(kva_test::FixturePath("join_a.wav"));
    const std::vector<float> got = Captured();
    const long start = kva_test::LocateStart(got, a);
    ASSERT_GE(start, 0);
    EXPECT_EQ(kva_test::FirstMismatch(got, start, a, 0, a.size() / 2), -1);
}

// The current track ends while the command thread is still opening the next one: the end is
// seen before the preload is in place, and the preload must still take over at once. In real
// time, so that the opening is under way well before the end.
TEST_F(PlayerTransition, PreloadLandingAfterTheEndStartsAtOnce) {
    system->SetFast(false);
    Prepare("join_a.wav");
    player->Play(false);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStarted, 5000));
    auto* next = new kva_test::GatedSourceIO(FileBytes("join_short.wav"), 44, kva_test::GatedSourceIO::kGateOpen);
    player->SetNextSourceIO(next, kNextModePreload, &ReleaseSource);
    ASSERT_TRUE(next->WaitEntered());
    const size_t firstFrames =
        kva_test::CachedReferenceF32Stereo(kva_test::FixturePath("join_a.wav")).size() / 2;
    for (int i = 0; i < 500 && system->GetCaptured("out").size() / 8 < firstFrames; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(obs.Count(kNotifyNextSource, kNextSwitchingNow), 0) << "the preload ran late";
    next->Let();
    ASSERT_TRUE(obs.WaitFor(kNotifyStreamChanged, 44, 5000));
    ASSERT_TRUE(obs.WaitFor(kNotifyPlaybackCompleted, RecordingObserver::kAny, 5000));
    auto all = obs.All();
    // One completion, the new track's; the first one never completed on its own.
    EXPECT_EQ(obs.Count(kNotifyStatus, kStatusCompleted), 1);
    EXPECT_EQ(all[Find(all, kNotifyStatus, kStatusCompleted)].text, "44");
    EXPECT_GE(Find(all, kNotifyFirstAudio, 44), 0);
    // The render thread does not wait for the late track: the first one whole, then at most a
    // few periods of silence, then the second from its first frame.
    const auto& a = kva_test::CachedReferenceF32Stereo(kva_test::FixturePath("join_a.wav"));
    const auto& b = kva_test::CachedReferenceF32Stereo(kva_test::FixturePath("join_short.wav"));
    const std::vector<float> got = Captured();
    const long start = kva_test::LocateStart(got, a);
    ASSERT_GE(start, 0);
    ASSERT_EQ(kva_test::FirstMismatch(got, start, a, 0, a.size() / 2), -1);
    const std::vector<float> rest(got.begin() + 2 * (start + a.size() / 2), got.end());
    const long gap = kva_test::LocateStart(rest, b, 4410);
    ASSERT_GE(gap, 0) << "more than 100 ms between the tracks, or the second not found";
    // In real time the completion may pause the device with its buffer (882 frames) and the
    // period in flight (441) of the second track unplayed.
    const size_t heard = rest.size() / 2 - gap;
    ASSERT_GE(heard + 882 + 441, b.size() / 2);
    EXPECT_EQ(kva_test::FirstMismatch(rest, gap, b, 0, std::min(heard, b.size() / 2)), -1);
}

TEST_F(PlayerTransition, CrossFadeWhilePausedSwitchesWithANewPreparation) {
    Prepare("join_a.wav");
    player->Pause(false);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPaused, 5000));
    obs.Clear();
    player->SetNextSourceIO(new kva_test::MemorySourceIO(FileBytes("join_b.wav"), 45), kNextModeCrossFade,
                            &ReleaseSource);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPrepared, 5000));
    auto all = obs.All();
    const int switching = Find(all, kNotifyNextSource, kNextSwitchingNow);
    ASSERT_GE(switching, 0);
    EXPECT_EQ(all[switching].text, "45");
    EXPECT_GT(Find(all, kNotifyStatus, kStatusPreparing), switching);
    EXPECT_EQ(obs.Count(kNotifyStreamChanged), 0);
    EXPECT_NEAR(player->GetDuration(), 1200, 5);
}

// In real time, so that the new track is decoded ahead of every mixed block.
TEST_F(PlayerTransition, CrossFadeShorterThanTheFadeTimeLastsWhatRemains) {
    system->SetFast(false);
    Prepare("join_short.wav");
    player->SetCrossFadeTime(600);
    player->Play(false);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStarted, 5000));
    // The old track must be heard alone first: on a loaded machine "started" can come before the
    // first block is pulled, and a mix from frame 0 leaves nothing to locate the track by.
    for (int i = 0; i < 500 && system->GetCaptured("out").size() / 8 < 2205; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    player->SetNextSourceIO(new kva_test::MemorySourceIO(FileBytes("join_b.wav"), 46), kNextModeCrossFade,
                            &ReleaseSource);
    ASSERT_TRUE(obs.WaitFor(kNotifyStreamChanged, 46, 5000));
    ASSERT_TRUE(obs.WaitFor(kNotifyPlaybackCompleted, RecordingObserver::kAny, 5000));
    EXPECT_EQ(obs.Count(kNotifyStatus, kStatusPreparing), 1);  // mixed, not prepared anew
    const auto& a = kva_test::CachedReferenceF32Stereo(kva_test::FixturePath("join_short.wav"));
    const auto& b = kva_test::CachedReferenceF32Stereo(kva_test::FixturePath("join_b.wav"));
    const std::vector<float> got = Captured();
    const long start = kva_test::LocateStart(got, a);
    ASSERT_GE(start, 0);
    kva_test::CrossFadeLayout x = kva_test::AnalyseCrossFade(got, start, a, b, 1e-4f);
    ASSERT_EQ(x.error, "");
    EXPECT_EQ(x.mismatch, -1);
    const long remaining = static_cast<long>(a.size() / 2) - x.mixStart;
    ASSERT_LT(remaining, 26460);
    // What remains, to the millisecond the player counts in.
    EXPECT_GE(x.length, remaining - 2);
    EXPECT_LE(x.length, remaining + 2 * 44 + 2);
}

// Both streams convert to the output format, so a track of another rate and channel count is
// mixed in too, not reached by stopping the old one and opening the device again.
TEST_F(PlayerTransition, CrossFadeIntoAnotherRateAndChannelCountMixes) {
    system->SetFast(false);
    Prepare("join_a.wav");
    player->Play(false);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStarted, 5000));
    player->SetNextSourceIO(new kva_test::MemorySourceIO(FileBytes("mono8k.wav"), 47), kNextModeCrossFade,
                            &ReleaseSource);
    ASSERT_TRUE(obs.WaitFor(kNotifyStreamChanged, 47, 5000));
    EXPECT_EQ(obs.Count(kNotifyStatus, kStatusStopped), 0);
    EXPECT_EQ(obs.Count(kNotifyStatus, kStatusPreparing), 1);
    EXPECT_EQ(player->GetStatus(), kStatusStarted);
}

// ---- start and pause fades: the capture of a constant 0.5 level gives the gain directly ----

namespace {

std::vector<float> Gains(const std::vector<float>& samples) {
    std::vector<float> g;
    for (size_t i = 0; i + 1 < samples.size(); i += 2) g.push_back(samples[i] / 0.5f);
    return g;
}

}  // namespace

TEST_F(PlayerTransition, StartFadeReachesTheDeviceAsAVolumeRamp) {
    system->SetFast(false);
    player = NewPlayer(&obs);
    player->SetStartFadeTime(300);
    Prepare("dc_half.wav");
    player->Play(true);
    // Until the gain has stood at 1.0 for a while.
    std::vector<float> g;
    for (int i = 0; i < 500; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        g = Gains(Captured());
        if (g.size() > 4410 && g[g.size() - 4410] == 1.0f) break;
    }
    ASSERT_FALSE(g.empty());
    ASSERT_EQ(g.back(), 1.0f);
    size_t first = 0;  // the pre-roll's silence and the fade's first level, 0
    while (first < g.size() && g[first] == 0.0f) ++first;
    size_t full = first;
    while (full < g.size() && g[full] < 1.0f) ++full;
    std::set<float> levels(g.begin() + first, g.begin() + full);
    EXPECT_GE(levels.size(), 5u) << "a step, not a ramp";
    for (size_t i = first + 1; i < full; ++i) ASSERT_GE(g[i], g[i - 1]) << "frame " << i;
    for (size_t i = full; i < g.size(); ++i) ASSERT_EQ(g[i], 1.0f) << "frame " << i;
    // The fade position follows the frames handed out, so full level comes no earlier than the
    // fade length into the media, less what the device holds ahead (buffer and a period).
    EXPECT_GE(full, 13230u - 882u - 441u);
}

TEST_F(PlayerTransition, FadesUnder200MsSwitchAtOnce) {
    system->SetFast(false);
    player = NewPlayer(&obs);
    player->SetStartFadeTime(150);
    player->SetPauseFadeTime(150);
    Prepare("dc_half.wav");
    player->Play(true);
    for (int i = 0; i < 500 && Gains(Captured()).size() < 8820; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    player->Pause(true);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPaused, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<float> g = Gains(Captured());
    size_t first = 0;
    while (first < g.size() && g[first] == 0.0f) ++first;
    ASSERT_LT(first, g.size());
    for (size_t i = first; i < g.size(); ++i) ASSERT_EQ(g[i], 1.0f) << "frame " << i;
    // Paused at once: the 300 ms since added at most the period that was in flight.
    EXPECT_LT(g.size() - first, 8820u + 13230u);
}

TEST_F(PlayerTransition, PauseFadeEndsInPauseAndPlayDuringItRisesFromTheGainReached) {
    system->SetFast(false);
    player = NewPlayer(&obs);
    player->SetPauseFadeTime(1500);
    Prepare("dc_half.wav");
    player->Play(false);
    for (int i = 0; i < 500 && Gains(Captured()).size() < 4410; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    player->Pause(true);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPaused, 5000));
    // Let the gain fall part of the way, then play again while the fade-out runs.
    std::vector<float> g;
    for (int i = 0; i < 500; ++i) {
        g = Gains(Captured());
        if (!g.empty() && g.back() < 0.8f) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_LT(g.back(), 0.8f);
    player->Play(false);
    for (int i = 0; i < 500; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        g = Gains(Captured());
        if (g.size() > 4410 && g[g.size() - 4410] == 1.0f) break;
    }
    EXPECT_EQ(player->GetStatus(), kStatusStarted);
    ASSERT_EQ(g.back(), 1.0f);
    // Down from 1.0, then up again without a break: never silent, no jump between frames.
    size_t first = 0;
    while (first < g.size() && g[first] == 0.0f) ++first;
    float lowest = 1.0f;
    for (size_t i = first + 1; i < g.size(); ++i) {
        lowest = std::min(lowest, g[i]);
        ASSERT_LT(std::fabs(g[i] - g[i - 1]), 0.25f) << "frame " << i;
    }
    EXPECT_GT(lowest, 0.05f);
    EXPECT_LT(lowest, 0.8f);

    // A pause fade left to run ends in silence and a paused device; Play resumes at full level.
    const size_t before = Gains(Captured()).size();
    player->SetPauseFadeTime(300);
    player->Pause(true);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPaused, 5000));
    // Until the capture has stopped growing for 200 ms: on a loaded machine the consumer can
    // stall for longer than one look.
    size_t last = 0;
    for (int i = 0, still = 0; i < 500 && still < 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        size_t now = Gains(Captured()).size();
        still = now == last ? still + 1 : 0;
        last = now;
    }
    g = Gains(Captured());
    ASSERT_GT(g.size(), before + 13230 - 882 - 441);  // the device played on through the fade
    EXPECT_LT(g.back(), 0.1f);
    for (size_t i = before + 1; i < g.size(); ++i) ASSERT_LE(g[i], g[i - 1]) << "frame " << i;
    const size_t paused = g.size();
    player->Play(false);
    for (int i = 0; i < 500 && Gains(Captured()).size() < paused + 4410; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    g = Gains(Captured());
    ASSERT_GE(g.size(), paused + 4410);
    // After the period held back at the pause, full level.
    EXPECT_EQ(g[paused + 882 + 441], 1.0f);
    EXPECT_EQ(g.back(), 1.0f);
}

// In real time the device still holds the last periods when the stream reports its end: the
// completion waits until they are played, so the end of the track is heard (WASAPI and waveOut).
TEST_F(PlayerTransition, LastTrackIsHeardToItsEnd) {
    system->SetFast(false);
    const auto& ref = kva_test::CachedReferenceF32Stereo(kva_test::FixturePath("join_short.wav"));
    for (int32_t type : {kDeviceTypeWasapi, kDeviceTypeWaveOut}) {
        SCOPED_TRACE(type);
        system->ClearCaptured("out");
        if (player) player->Release();
        obs.Clear();
        player = NewPlayer(&obs);
        player->SetOutputDeviceType(type);
        Prepare("join_short.wav");
        player->Play(false);
        ASSERT_TRUE(obs.WaitFor(kNotifyPlaybackCompleted, RecordingObserver::kAny, 5000));
        const std::vector<float> got = Captured();
        const long start = kva_test::LocateStart(got, ref);
        ASSERT_GE(start, 0);
        EXPECT_EQ(kva_test::FirstMismatch(got, start, ref, 0, ref.size() / 2), -1);
    }
}

// ---- the next track by locator ----

// In real time: a fast output can outrun the next track's decoder in the middle of the fade.
TEST_F(PlayerTransition, CrossFadeAtEndStartsByItselfOneFadeBeforeTheEnd) {
    system->SetFast(false);
    Prepare("join_a.wav");
    player->SetCrossFadeTime(500);
    EXPECT_EQ(player->SetNextDataSource(kva_test::FixturePath("join_b.wav").c_str(), 7, 47),
              kErrorInvalidArgument);
    EXPECT_EQ(player->SetNextDataSource(nullptr, kNextModeCrossFadeAtEnd, 47), kErrorInvalidArgument);
    ASSERT_EQ(player->SetNextDataSource(kva_test::FixturePath("join_b.wav").c_str(),
                                        kNextModeCrossFadeAtEnd, 47), 0);
    ASSERT_TRUE(obs.WaitFor(kNotifyNextSource, kNextPreloaded, 5000));
    player->Play(false);  // nothing more from the host: the fade starts by itself
    ASSERT_TRUE(obs.WaitFor(kNotifyStreamChanged, 47, 5000));
    ASSERT_TRUE(obs.WaitFor(kNotifyPlaybackCompleted, RecordingObserver::kAny, 5000));
    const auto& a = kva_test::CachedReferenceF32Stereo(kva_test::FixturePath("join_a.wav"));
    const auto& b = kva_test::CachedReferenceF32Stereo(kva_test::FixturePath("join_b.wav"));
    const std::vector<float> got = Captured();
    const long start = kva_test::LocateStart(got, a);
    ASSERT_GE(start, 0);
    kva_test::CrossFadeLayout x = kva_test::AnalyseCrossFade(got, start, a, b, 1e-4f);
    ASSERT_EQ(x.error, "");
    EXPECT_EQ(x.mismatch, -1);
    const long fadeAt = static_cast<long>(a.size() / 2) - 500 * 44;
    const long period = 882;  // the device's 20 ms block
    EXPECT_GE(x.mixStart, fadeAt - 44) << "started early";
    EXPECT_LE(x.mixStart, fadeAt + period) << "started late";
    EXPECT_NEAR(x.length, static_cast<long>(a.size() / 2) - x.mixStart, 2 * 44 + 2);
    EXPECT_EQ(x.newOffset, start + x.mixStart) << "the new track is not heard from the fade's start";
}

TEST_F(PlayerTransition, GaplessIntoAnHttpTrackQueuedByUrl) {
    kva_test::HttpTestServer server;
    kva_test::HttpPlan plan;
    const std::vector<uint8_t> bytes = FileBytes("join_b.flac");
    plan.body = std::make_shared<const std::string>(bytes.begin(), bytes.end());
    server.Serve("/b.flac", plan);
    ASSERT_TRUE(server.Start());
    Prepare("join_a.wav");
    ASSERT_EQ(player->SetNextDataSource(server.Url("/b.flac").c_str(), kNextModePreload, 48), 0);
    ASSERT_TRUE(obs.WaitFor(kNotifyNextSource, kNextPreloaded, 5000));
    player->Play(false);
    ASSERT_TRUE(obs.WaitFor(kNotifyStreamChanged, 48, 5000));
    ASSERT_TRUE(obs.WaitFor(kNotifyPlaybackCompleted, RecordingObserver::kAny, 5000));
    const std::vector<float> ref = Joined("join_a.wav", "join_b.flac");
    const std::vector<float> got = Captured();
    const long start = kva_test::LocateStart(got, ref);
    ASSERT_GE(start, 0);
    EXPECT_EQ(kva_test::FirstMismatch(got, start, ref, 0, ref.size() / 2), -1);
}

// ID3v2, Vorbis comments in FLAC and in Ogg; after each hand-over the new track answers.
TEST_F(PlayerTransition, TagsOfTheCurrentTrackFollowTheHandOvers) {
    Prepare("tagged.flac");
    char buf[64];
    EXPECT_EQ(player->GetTrackTag("TITLE", buf, sizeof buf), 11);
    EXPECT_STREQ(buf, "Rise (flac)");
    EXPECT_EQ(player->GetTrackTag("artist", buf, 5), 12);
    EXPECT_STREQ(buf, "Kva ");  // cut to fit
    EXPECT_EQ(player->GetTrackTag("replaygain_track_gain", buf, sizeof buf), 8);
    EXPECT_STREQ(buf, "-6.00 dB");
    EXPECT_EQ(player->GetTrackTag("composer", buf, sizeof buf), -1);
    player->Play(false);
    for (int32_t id : {61, 62}) {
        const std::string ext = id == 61 ? "mp3" : "ogg";
        ASSERT_EQ(player->SetNextDataSource(kva_test::FixturePath("tagged." + ext).c_str(),
                                            kNextModePreload, id), 0);
        ASSERT_TRUE(obs.WaitFor(kNotifyStreamChanged, id, 5000)) << ext;
        EXPECT_EQ(player->GetTrackTag("title", buf, sizeof buf), static_cast<int32_t>(7 + ext.size()));
        EXPECT_EQ(std::string(buf), "Rise (" + ext + ")");
        EXPECT_EQ(player->GetTrackTag("album", buf, sizeof buf), 8) << ext;
    }
}
