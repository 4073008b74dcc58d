// Track transitions and fades, heard through the virtual output's capture (after the device volume).
#include <set>

#include "common/HttpTestServer.h"
#include "player/VirtualOutputFixture.h"

namespace {

std::vector<float> Joined(const char* a, const char* b) {
    std::vector<float> all = Ref(a);
    all.insert(all.end(), Ref(b).begin(), Ref(b).end());
    return all;
}

// The capture of a constant 0.5 level as the gain of each frame (left channel).
std::vector<float> Gains(const std::vector<float>& samples) {
    std::vector<float> g;
    for (size_t i = 0; i + 1 < samples.size(); i += 2) g.push_back(samples[i] / 0.5f);
    return g;
}

// Full level for the last 100 ms.
bool AtFull(const std::vector<float>& g) { return g.size() > 4410 && g[g.size() - 4410] == 1.0f; }

size_t FirstNonZero(const std::vector<float>& g) {
    return std::find_if(g.begin(), g.end(), [](float v) { return v != 0.0f; }) - g.begin();
}

class PlayerTransition : public VirtualOutputTest {
protected:
    // The gains heard once `done` holds for them (or after 5 s).
    std::vector<float> GainsWhen(bool (*done)(const std::vector<float>&)) {
        std::vector<float> g;
        WaitUntil([&] { return done(g = Gains(Captured())); });
        return g;
    }
    // The capture once it has stopped growing for 200 ms: on a loaded machine the consumer can
    // stall for longer than one look.
    std::vector<float> CapturedOnceStill() {
        size_t last = 0;
        for (int i = 0, still = 0; i < 500 && still < 10; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const size_t now = CapturedFrames();
            still = now == last ? still + 1 : 0;
            last = now;
        }
        return Captured();
    }
};

}  // namespace

// The same join queued as a host source and as an http URL: 4 then, at the join, 1000, 400 (1),
// 5, 7, all about the new track; one completion, the new one's; the audio back to back exactly.
TEST_F(PlayerTransition, GaplessSwitchNotifiesInOrderAndJoinsExactly) {
    HttpTestServer server;
    server.Serve("/b.flac", HttpPlan::Body(ReadFile(FixturePath("join_b.flac"))));
    ASSERT_TRUE(server.Start());
    for (int32_t id : {42, 48}) {
        SCOPED_TRACE(id);
        Fresh();
        Prepare("join_a.wav");
        if (id == 42) player->SetNextSourceIO(Memory("join_b.flac", id), kNextModePreload, &DeleteSource);
        else ASSERT_EQ(player->SetNextDataSource(server.Url("/b.flac").c_str(), kNextModePreload, id), 0);
        ASSERT_TRUE(obs.WaitFor(kNotifyNextSource, kNextPreloaded, 5000));
        PlayToTheEnd();
        auto all = obs.All();
        const std::string text = std::to_string(id);
        EXPECT_EQ(TextOf(kNotifyNextSource, kNextPreloaded), text);
        const int preloaded = Find(all, kNotifyNextSource, kNextPreloaded), changed = Find(all, kNotifyStreamChanged, id);
        ASSERT_GT(changed, preloaded);
        std::vector<std::pair<int32_t, int32_t>> seen;  // the duration as its difference to GetDuration
        for (size_t i = changed; i < all.size(); ++i) {
            const Notification& n = all[i];
            if (n.id != kNotifyStreamChanged && n.id != kNotifyNextSource && n.id != kNotifyFirstAudio &&
                n.id != kNotifyDuration) continue;
            seen.push_back({n.id, n.id == kNotifyDuration ? n.param1 - player->GetDuration() : n.param1});
            EXPECT_EQ(n.text, text);
        }
        const std::vector<std::pair<int32_t, int32_t>> want = {
            {kNotifyStreamChanged, id}, {kNotifyNextSource, kNextSwitchingNow}, {kNotifyFirstAudio, id}, {kNotifyDuration, 0}};
        EXPECT_EQ(seen, want);
        EXPECT_NEAR(player->GetDuration(), 1200, 5);
        EXPECT_EQ(obs.Count(kNotifyStatus, kStatusCompleted), 1);
        EXPECT_EQ(TextOf(kNotifyStatus, kStatusCompleted), text);
        HeardWhole(Captured(), Joined("join_a.wav", "join_b.flac"));
    }
}

TEST_F(PlayerTransition, FailedPreloadIsReportedAndTheTrackPlaysOn) {
    Prepare("join_a.wav");
    auto* bad = Memory("join_b.wav", 43);
    bad->FailOpen(kSourceOpenFailed);
    bad->SetErrorCode(404);
    player->SetNextSourceIO(bad, kNextModePreload, &DeleteSource);
    ASSERT_TRUE(obs.WaitFor(kNotifyNextSource, kNextOpenFailed, 5000));
    EXPECT_EQ(player->GetNextSourceErrorDetail(), 404);
    PlayToTheEnd();
    EXPECT_EQ(TextOf(kNotifyNextSource, kNextOpenFailed), "43");
    for (int32_t id : {kNotifyStreamChanged, kNotifyError}) EXPECT_EQ(obs.Count(id), 0) << id;
    HeardWhole(Captured(), Ref("join_a.wav"));
}

// The current track ends while the command thread is still opening the next one: the end is
// seen before the preload is in place, and the preload must still take over at once. In real
// time, so that the opening is under way well before the end.
TEST_F(PlayerTransition, PreloadLandingAfterTheEndStartsAtOnce) {
    system->SetFast(false);
    Prepare("join_a.wav");
    Play();
    auto* next = new MemorySourceIO(Bytes("join_short.wav"), 44, MemorySourceIO::kGateOpen);
    player->SetNextSourceIO(next, kNextModePreload, &DeleteSource);
    ASSERT_TRUE(next->WaitEntered());
    const auto& a = Ref("join_a.wav");
    const auto& b = Ref("join_short.wav");
    WaitCaptured(a.size() / 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(obs.Count(kNotifyNextSource, kNextSwitchingNow), 0) << "the preload ran late";
    next->Let();
    ASSERT_TRUE(obs.WaitFor(kNotifyStreamChanged, 44, 5000));
    ASSERT_TRUE(obs.WaitFor(kNotifyPlaybackCompleted, RecordingObserver::kAny, 5000));
    // One completion, the new track's; the first one never completed on its own.
    EXPECT_EQ(std::make_tuple(obs.Count(kNotifyStatus, kStatusCompleted), TextOf(kNotifyStatus, kStatusCompleted),
                              obs.Count(kNotifyFirstAudio, 44)), std::make_tuple(1, std::string("44"), 1));
    // The render thread does not wait for the late track: the first one whole, then at most a
    // few periods of silence, then the second from its first frame.
    const std::vector<float> got = Captured();
    const long start = HeardWhole(got, a);
    ASSERT_GE(start, 0);
    const std::vector<float> rest(got.begin() + 2 * (start + a.size() / 2), got.end());
    const long gap = LocateStart(rest, b, 4410);
    ASSERT_GE(gap, 0) << "more than 100 ms between the tracks, or the second not found";
    // In real time the completion may pause the device with its buffer (882 frames) and the
    // period in flight (441) of the second track unplayed.
    const size_t heard = rest.size() / 2 - gap;
    ASSERT_GE(heard + 882 + 441, b.size() / 2);
    EXPECT_EQ(FirstMismatch(rest, gap, b, 0, std::min(heard, b.size() / 2)), -1);
}

TEST_F(PlayerTransition, CrossFadeWhilePausedSwitchesWithANewPreparation) {
    Prepare("join_a.wav");
    Pause();
    obs.Clear();
    player->SetNextSourceIO(Memory("join_b.wav", 45), kNextModeCrossFade, &DeleteSource);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPrepared, 5000));
    auto all = obs.All();
    EXPECT_EQ(TextOf(kNotifyNextSource, kNextSwitchingNow), "45");
    EXPECT_GT(Find(all, kNotifyStatus, kStatusPreparing), Find(all, kNotifyNextSource, kNextSwitchingNow));
    EXPECT_EQ(obs.Count(kNotifyStreamChanged), 0);
    EXPECT_NEAR(player->GetDuration(), 1200, 5);
}

// A cross-fade asked for now mixes, not prepares anew: a track shorter than the fade time fades
// over what remains; a track of another rate and channel count is mixed in too (both streams
// convert to the output format), not reached by stopping and opening the device again. In real
// time, so that the new track is decoded ahead of every mixed block.
TEST_F(PlayerTransition, CrossFadeNowMixesOverWhatRemains) {
    system->SetFast(false);
    for (const char* next : {"join_b.wav", "mono8k.wav"}) {
        SCOPED_TRACE(next);
        const bool shortOne = next[0] == 'j';
        Fresh()->SetCrossFadeTime(600);
        Prepare(shortOne ? "join_short.wav" : "join_a.wav");
        Play();
        // The old track must be heard alone first: on a loaded machine "started" can come before
        // the first block is pulled, and a mix from frame 0 leaves nothing to locate the track by.
        WaitCaptured(2205);
        player->SetNextSourceIO(Memory(next, 46), kNextModeCrossFade, &DeleteSource);
        ASSERT_TRUE(obs.WaitFor(kNotifyStreamChanged, 46, 5000));
        EXPECT_EQ(std::make_tuple(obs.Count(kNotifyStatus, kStatusPreparing), obs.Count(kNotifyStatus, kStatusStopped),
                                  player->GetStatus()), std::make_tuple(1, 0, kStatusStarted));
        if (!shortOne) continue;
        ASSERT_TRUE(obs.WaitFor(kNotifyPlaybackCompleted, RecordingObserver::kAny, 5000));
        const auto& a = Ref("join_short.wav");
        long start;
        const CrossFadeLayout x = CrossFadeHeard(a, Ref(next), &start);
        const long remaining = static_cast<long>(a.size() / 2) - x.mixStart;
        ASSERT_LT(remaining, 26460);
        // What remains, to the millisecond the player counts in.
        EXPECT_GE(x.length, remaining - 2);
        EXPECT_LE(x.length, remaining + 2 * 44 + 2);
    }
}

// A next track shorter than the fade ends inside it: it is mixed over the old one to its last
// frame, and a fade at its end queued meanwhile waits for the running fade.
TEST_F(PlayerTransition, ANextTrackEndingInsideItsFadeIsMixedToItsEnd) {
    system->SetFast(false);
    Fresh()->SetCrossFadeTime(600);
    Prepare("join_a.wav");
    Play();
    WaitCaptured(2205);
    player->SetNextSourceIO(Memory("join_short.wav", 47), kNextModeCrossFade, &DeleteSource);
    ASSERT_TRUE(obs.WaitFor(kNotifyStreamChanged, 47, 5000));
    player->SetNextSourceIO(Memory("join_b.wav", 48), kNextModeCrossFadeAtEnd, &DeleteSource);
    ASSERT_TRUE(obs.WaitFor(kNotifyPlaybackCompleted, RecordingObserver::kAny, 5000));
    const std::vector<float> got = CapturedOnceStill(), &a = Ref("join_a.wav"), &b = Ref("join_short.wav");
    const long start = LocateStart(got, a), bFrames = long(b.size() / 2);
    ASSERT_GE(start, 0);
    long i = 1;  // the mix's first frame is the old track alone
    while (start + i < long(got.size() / 2) && got[2 * (start + i)] == a[2 * i]) ++i;
    const long mixAt = start + i - 1;
    ASSERT_GE(long(got.size() / 2), mixAt + bFrames);
    for (long k = 0; k < bFrames; ++k) {
        const double g = double(k) / 26460;
        for (long c = 0; c < 2; ++c)
            ASSERT_NEAR(got[2 * (mixAt + k) + c], g * b[2 * k + c] + (1 - g) * a[2 * (i - 1 + k) + c], 1e-4) << k;
    }
}

// The mode of the latest call decides the join: a cross-fade queued first and replaced by a
// preload mid-track joins gaplessly; a preload replaced by a cross-fade at the end (queued by
// locator) starts the fade by itself one fade time before the end. In real time, so that the
// host's calls come long before the fade's point.
TEST_F(PlayerTransition, TheNextModeChangedMidTrackDecidesTheJoin) {
    system->SetFast(false);
    const auto& a = Ref("join_a.wav");
    const std::string b = FixturePath("join_b.wav");
    for (bool fade : {false, true}) {
        SCOPED_TRACE(fade);
        Fresh()->SetCrossFadeTime(500);
        Prepare("join_a.wav");
        player->SetNextSourceIO(Memory("join_b.wav", 50), fade ? kNextModePreload : kNextModeCrossFadeAtEnd,
                                &DeleteSource);
        ASSERT_TRUE(obs.WaitFor(kNotifyNextSource, kNextPreloaded, 5000));
        Play();
        ASSERT_TRUE(WaitCaptured(4410));  // long before the fade's point
        EXPECT_EQ(player->SetNextDataSource(b.c_str(), 7, 51), kErrorInvalidArgument);
        EXPECT_EQ(player->SetNextDataSource(nullptr, kNextModeCrossFadeAtEnd, 51), kErrorInvalidArgument);
        // Nothing more from the host: the fade starts by itself.
        ASSERT_EQ(player->SetNextDataSource(b.c_str(), fade ? kNextModeCrossFadeAtEnd : kNextModePreload, 51), 0);
        ASSERT_TRUE(obs.WaitFor(kNotifyStreamChanged, 51, 5000));
        ASSERT_TRUE(obs.WaitFor(kNotifyPlaybackCompleted, RecordingObserver::kAny, 5000));
        EXPECT_EQ(obs.Count(kNotifyStreamChanged, 50), 0);
        if (!fade) {
            HeardWhole(Captured(), Joined("join_a.wav", "join_b.wav"));
            continue;
        }
        long start;
        const CrossFadeLayout x = CrossFadeHeard(a, Ref("join_b.wav"), &start);
        const long fadeAt = static_cast<long>(a.size() / 2) - 500 * 44;
        EXPECT_GE(x.mixStart, fadeAt - 44) << "started early";
        EXPECT_LE(x.mixStart, fadeAt + 882) << "started late";  // within the device's 20 ms block
        EXPECT_NEAR(x.length, static_cast<long>(a.size() / 2) - x.mixStart, 2 * 44 + 2);
        EXPECT_EQ(x.newOffset, start + x.mixStart) << "the new track is not heard from the fade's start";
    }
}

// A next track whose reads stall in the middle of its fade (a slow network) holds both tracks
// until it goes on: nothing of either is lost and the join is still the linear mix. A fast
// output, which would otherwise run on past the stall.
TEST_F(PlayerTransition, ANextTrackStallingMidFadeHoldsBoth) {
    const auto& a = Ref("join_a.wav");
    Fresh()->SetCrossFadeTime(600);
    Prepare("join_a.wav");
    auto* next = new MemorySourceIO(Bytes("join_b.wav"), 52, MemorySourceIO::kGateReads, 44 + 4 * 22050);
    player->SetNextSourceIO(next, kNextModeCrossFadeAtEnd, &DeleteSource);
    ASSERT_TRUE(next->WaitEntered());
    Play();
    const size_t held = CapturedOnceStill().size() / 2;
    EXPECT_LT(held, a.size() / 2) << "the old track played on alone";
    EXPECT_EQ(player->GetStatus(), kStatusStarted);
    next->Let();
    ASSERT_TRUE(obs.WaitFor(kNotifyPlaybackCompleted, RecordingObserver::kAny, 5000));
    long start;
    const CrossFadeLayout x = CrossFadeHeard(a, Ref("join_b.wav"), &start);
    EXPECT_EQ(x.newOffset, start + x.mixStart) << "the new track is not heard from the fade's start";
}

// Integer outputs mix the same fade, to the integer step.
TEST_F(PlayerTransition, CrossFadeIntoAnIntegerOutputIsTheSameMix) {
    for (int bits : {16, 32}) {
        SCOPED_TRACE(bits);
        UseIntegerOutput(bits);
        Fresh()->SetCrossFadeTime(600);
        gReleased = 0;
        Prepare(Memory("join_a.wav", 52), &CountRelease);
        player->SetNextSourceIO(Memory("join_b.wav", 53), kNextModeCrossFadeAtEnd, &DeleteSource);
        PlayToTheEnd();
        EXPECT_EQ(gReleased, 1) << "the faded-out track is let go once its fade ends";
        long start;
        const CrossFadeLayout x = CrossFadeHeard(Ref("join_a.wav"), Ref("join_b.wav"), &start);
        EXPECT_NEAR(x.length, 26460, 2 * 44 + 2);
    }
}

// A start fade of 300 ms reaches the device as a rising ramp; fades under 200 ms, start and
// pause alike, switch at once.
TEST_F(PlayerTransition, StartFadeRampsAndFadesUnder200MsSwitchAtOnce) {
    system->SetFast(false);
    for (int64_t fadeMs : {300, 150}) {
        SCOPED_TRACE(fadeMs);
        Fresh()->SetStartFadeTime(fadeMs);
        player->SetPauseFadeTime(fadeMs);
        Prepare("dc_half.wav");
        player->Play(true);
        // Until the gain has stood at 1.0 for a while.
        std::vector<float> g = GainsWhen(AtFull);
        ASSERT_FALSE(g.empty());
        ASSERT_EQ(g.back(), 1.0f);
        const size_t first = FirstNonZero(g);  // the pre-roll's silence and the fade's first level, 0
        const size_t full = std::find_if(g.begin() + first, g.end(), [](float v) { return v >= 1.0f; }) - g.begin();
        for (size_t i = full; i < g.size(); ++i) ASSERT_EQ(g[i], 1.0f) << "frame " << i;
        if (fadeMs < 200) {
            EXPECT_EQ(full, first) << "faded in";
            const size_t atPause = g.size();
            Pause(true);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            g = Gains(Captured());
            for (size_t i = first; i < g.size(); ++i) ASSERT_EQ(g[i], 1.0f) << "faded out at frame " << i;
            // Paused at once: the 300 ms since added at most what was in flight.
            EXPECT_LT(g.size(), atPause + 13230u);
            continue;
        }
        std::set<float> levels(g.begin() + first, g.begin() + full);
        EXPECT_GE(levels.size(), 5u) << "a step, not a ramp";
        for (size_t i = first + 1; i < full; ++i) ASSERT_GE(g[i], g[i - 1]) << "frame " << i;
        // The fade position follows the frames handed out, so full level comes no earlier than
        // the fade length into the media, less what the device holds ahead (buffer and a period).
        EXPECT_GE(full, 13230u - 882u - 441u);
    }
}

TEST_F(PlayerTransition, PauseFadeEndsInPauseAndPlayDuringItRisesFromTheGainReached) {
    system->SetFast(false);
    Player()->SetPauseFadeTime(1500);
    Prepare("dc_half.wav");
    player->Play(false);
    WaitCaptured(4410);
    Pause(true);
    // Let the gain fall part of the way, then play again while the fade-out runs.
    std::vector<float> g = GainsWhen([](const std::vector<float>& g) { return !g.empty() && g.back() < 0.8f; });
    ASSERT_LT(g.back(), 0.8f);
    player->Play(false);
    g = GainsWhen(AtFull);
    EXPECT_EQ(player->GetStatus(), kStatusStarted);
    ASSERT_EQ(g.back(), 1.0f);
    // Down from 1.0, then up again without a break: never silent, no jump between frames.
    float lowest = 1.0f;
    for (size_t i = FirstNonZero(g) + 1; i < g.size(); ++i) {
        lowest = std::min(lowest, g[i]);
        ASSERT_LT(std::fabs(g[i] - g[i - 1]), 0.25f) << "frame " << i;
    }
    EXPECT_GT(lowest, 0.05f);
    EXPECT_LT(lowest, 0.8f);

    // A pause fade left to run ends in silence and a paused device; Play resumes at full level.
    const size_t before = g.size();
    player->SetPauseFadeTime(300);
    Pause(true);
    g = Gains(CapturedOnceStill());
    ASSERT_GT(g.size(), before + 13230 - 882 - 441);  // the device played on through the fade
    EXPECT_LT(g.back(), 0.1f);
    for (size_t i = before + 1; i < g.size(); ++i) ASSERT_LE(g[i], g[i - 1]) << "frame " << i;
    const size_t paused = g.size();
    player->Play(false);
    ASSERT_TRUE(WaitCaptured(paused + 4410));
    g = Gains(Captured());
    // After the period held back at the pause, full level.
    EXPECT_EQ(std::make_tuple(g[paused + 882 + 441], g.back()), std::make_tuple(1.0f, 1.0f));
}

// A pause fade moves on every driver by no more than a 10 ms share of it from one 10 ms of
// sound to the next (the peak of each, in the device volume's terms: DirectSound's is in
// decibels), though waveOut and DirectSound pull 200 ms at a time. The limit allows a second
// share: a consumer that stalls catches up at one volume.
TEST_F(PlayerTransition, PauseFadeMovesInStepsOf10MsOnEveryDriver) {
    system->SetFast(false);
    for (int32_t type : {kDeviceTypeWasapi, kDeviceTypeDirectSound, kDeviceTypeWaveOut}) {
        SCOPED_TRACE(type);
        Fresh()->SetOutputDeviceType(type);
        player->SetPauseFadeTime(600);
        system->ClearCaptured("out");
        Prepare("sine_s16.wav");  // long enough for waveOut's 1.6 s queue and the fade
        player->Play(false);
        ASSERT_TRUE(WaitCaptured(8820));
        const size_t before = CapturedFrames() / 441;
        player->Pause(true);
        const std::vector<float> got = CapturedOnceStill();
        std::vector<float> peak;
        for (size_t i = 0; (i + 441) * 2 <= got.size(); i += 441) {
            float m = 0.0f;
            for (size_t j = i; j < i + 441; ++j) m = std::max(m, std::fabs(got[2 * j]));
            peak.push_back(m);
        }
        ASSERT_GT(peak.size(), before + 60);
        const float full = *std::max_element(peak.begin(), peak.begin() + before);
        const double curve = type == kDeviceTypeDirectSound ? 1500 * std::log(10.0) / 2000 : 1.0;
        for (float& p : peak) p = float(std::pow(p / full, 1 / curve));
        const float step = 2.0f / 60;
        EXPECT_LE(peak.back(), step) << "cut short";
        float largest = 0.0f;
        for (size_t i = before; i < peak.size(); ++i) largest = std::max(largest, peak[i - 1] - peak[i]);
        // A window's peak misses the sine's crest by up to 1.3e-4 (100.2 samples a cycle, 16 bits).
        EXPECT_LE(largest, step + 5e-4f);
    }
}

// In real time the device still holds the last periods when the stream reports its end: the
// completion waits until they are played, so the end of the track is heard (WASAPI and waveOut).
TEST_F(PlayerTransition, LastTrackIsHeardToItsEnd) {
    system->SetFast(false);
    for (int32_t type : {kDeviceTypeWasapi, kDeviceTypeWaveOut}) {
        SCOPED_TRACE(type);
        Fresh()->SetOutputDeviceType(type);
        Prepare("join_short.wav");
        PlayToTheEnd();
        HeardWhole(Captured(), Ref("join_short.wav"));
    }
}

// ID3v2, Vorbis comments in FLAC and in Ogg; after each hand-over the new track answers.
// Answered as "length value", the value cut to `size` bytes with the NUL (none for 0).
TEST_F(PlayerTransition, TagsOfTheCurrentTrackFollowTheHandOvers) {
    auto tag = [this](const char* key, int32_t size = 64) {
        char buf[64] = "(untouched)";
        const int32_t n = player->GetTrackTag(key, buf, size);
        return std::to_string(n) + (n < 0 ? "" : " " + std::string(buf));
    };
    Prepare("tagged.flac");
    EXPECT_EQ(std::make_tuple(tag("TITLE"), tag("artist", 5)), std::make_tuple("11 Rise (flac)", "12 Kva "));
    EXPECT_EQ(tag("TITLE", 0), "11 (untouched)");
    EXPECT_EQ(std::make_tuple(tag("replaygain_track_gain"), tag("composer")), std::make_tuple("8 -6.00 dB", "-1"));
    player->Play(false);
    for (int32_t id : {61, 62}) {
        const std::string ext = id == 61 ? "mp3" : "ogg";
        ASSERT_EQ(player->SetNextDataSource(FixturePath("tagged." + ext).c_str(), kNextModePreload, id), 0);
        ASSERT_TRUE(obs.WaitFor(kNotifyStreamChanged, id, 5000)) << ext;
        EXPECT_EQ(tag("title"), std::to_string(7 + ext.size()) + " Rise (" + ext + ")");
        EXPECT_EQ(tag("album"), "8 Fixtures");
    }
}
