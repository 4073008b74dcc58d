// What the player's chain does to the audio and its clock, heard through the virtual output's
// capture: IF processing, ReplayGain, played time; the position clock on its own.
#include <limits>

#include "common/TestIFProcessor.h"
#include "player/CKVAAudioTimeInfo.h"
#include "player/ReplayGain.h"
#include "player/VirtualOutputFixture.h"

namespace {

class PlayerIF : public VirtualOutputTest {
protected:
    // The fixture prepared with a doubling processor of this configuration switched on.
    void PrepareWith(double slowFactor = 0, int holdFrames = 0, int32_t initResult = 0, const char* fixture = "flac16.flac") {
        // Gain 2, holding frames back, same rates and channels, slowing down only the first Put.
        proc.reset(new TestIFProcessor({2.0f, holdFrames, 0, 0, 0, 1, slowFactor, slowFactor > 1 ? 1 : INT_MAX,
                                        initResult}));
        Player()->SetAudioIFProcessor(proc.get());
        player->SetAudioIFEnable(1);
        Prepare(fixture);
    }
    // Where the track, scaled by `gain`, starts in the capture.
    long Start(float gain) {
        std::vector<float> scaled(Ref().begin(), Ref().begin() + 8820);
        for (float& v : scaled) v *= gain;
        return LocateStart(Captured(), scaled);
    }
    static const std::vector<float>& Ref() { return kva_test::Ref("flac16.flac"); }
    // Each notification `id`'s param (1 or 2).
    std::vector<int32_t> Params(int32_t id, bool second) {
        std::vector<int32_t> out;
        for (const auto& n : obs.All()) if (n.id == id) out.push_back(second ? n.param2 : n.param1);
        return out;
    }

    // Released in TearDown, so it outlives the decode thread that calls it.
    std::unique_ptr<TestIFProcessor> proc;
};

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

class ReplayGain : public VirtualOutputTest {
protected:
    // The rendered energy of the fixture, as an amplitude (the trailing silence adds nothing).
    double Render(const char* fixture, int32_t mode, float preampDb, bool clip) {
        obs.Clear();
        system->ClearCaptured("out");
        EXPECT_EQ(Player()->SetReplayGain(mode, preampDb, clip), 0);
        Prepare(fixture);
        PlayToTheEnd();
        double sum = 0.0;
        for (float v : Captured()) sum += double(v) * v;
        return std::sqrt(sum);
    }
};

struct FakeClock {
    int64_t now = 1000000;
    static int64_t Read(void* c) { return static_cast<FakeClock*>(c)->now; }
};

// One step of a script: an operation with its argument, or a check of the answer.
enum Op { kResume, kPause, kPauseHeard, kQueue, kStart, kStop, kReset, kFill, kAdvance, kSpeed, kDelay, kTolerance, kSetPosition,
          kExpectPlayed, kExpectFills, kExpectLastFill, kExpectState };
struct Step { Op op; double arg = 0; };

void RunScript(const char* name, const std::vector<Step>& script) {
    FakeClock clock;
    CKVAAudioTimeInfo info;
    info.SetClock(&FakeClock::Read, &clock);
    info.Reset();
    info.Start();
    int64_t queued = 0;
    for (size_t i = 0; i < script.size(); ++i) {
        const int64_t n = static_cast<int64_t>(script[i].arg);
        switch (script[i].op) {
            case kResume: info.Resume(); break;
            case kPause: info.Pause(); break;
            case kPauseHeard: info.Pause(n); break;
            case kQueue: queued = n; break;
            case kStart: info.Start(); break;
            case kStop: info.Stop(); break;
            case kReset: info.Reset(); break;
            case kFill: info.OnFill(n, queued); break;
            case kAdvance: clock.now += n; break;
            case kSpeed: info.SetSpeed(static_cast<float>(script[i].arg)); break;
            case kDelay: info.SetDelay(n); break;
            case kTolerance: info.SetTolerance(n); break;
            case kSetPosition: info.SetPosition(n); break;
            case kExpectPlayed: EXPECT_EQ(n, info.GetPlayedTime()) << name << " step " << i; break;
            case kExpectFills: EXPECT_EQ(static_cast<uint32_t>(n), info.GetFillCount()) << name << " step " << i; break;
            case kExpectLastFill: EXPECT_EQ(n, info.GetLastFillPosition()) << name << " step " << i; break;
            case kExpectState: EXPECT_EQ(n, info.GetState()) << name << " step " << i; break;
        }
    }
}

}  // namespace

TEST_F(PlayerIF, RefusedModeIsReportedAndResetToOff) {
    PrepareWith(0, 0, -3);
    ASSERT_TRUE(obs.WaitFor(kNotifyAudioIFStatus, kAudioIFRefused, 2000));
    EXPECT_EQ(Params(kNotifyAudioIFStatus, true), std::vector<int32_t>{-3});
    PlayToTheEnd();
    const long start = Start(1.0f);
    ASSERT_GE(start, 0);
    EXPECT_EQ(FirstMismatch(Captured(), start, Ref(), 0, Ref().size() / 2), -1);
    // The mode went back to 0: the next track does not try the processor again.
    player->Stop(true);
    Prepare("flac16.flac");
    EXPECT_EQ(std::make_pair(proc->Inits(), obs.Count(kNotifyAudioIFStatus)), std::make_pair(1, 1));
    // Switched on while playing: refused and reported the same way, and playing goes on.
    system->SetFast(false);
    Play();
    player->SetAudioIFEnable(1);
    ASSERT_TRUE(obs.WaitFor(kNotifyAudioIFStatus, kAudioIFRefused, 2000, 2));
    EXPECT_EQ(std::make_pair(Params(kNotifyAudioIFStatus, true), player->GetStatus()),
              std::make_pair(std::vector<int32_t>{-3, -3}, int32_t(kStatusStarted)));
    const size_t heard = CapturedFrames();  // and is heard: the output paused for the switch plays again
    EXPECT_TRUE(WaitUntil([&] { return CapturedFrames() > heard + 4410; }, 3000));
}

// The processor is set up for a gapless next track by the command thread, not the render thread.
TEST_F(PlayerIF, NextTrackIsSetUpOffTheRenderThread) {
    PrepareWith();
    player->SetNextSourceIO(Memory("flac16.flac", 7), kNextModePreload, nullptr);
    ASSERT_TRUE(obs.WaitFor(kNotifyNextSource, kNextPreloaded, 5000));
    PlayToTheEnd();
    EXPECT_EQ(proc->InitThreads(), std::vector<std::string>(2, "Audio Handle Th"));
}

// The host's listener is handed what the output plays, after the processor.
TEST_F(PlayerIF, TheHostsListenerIsHandedWhatIsPlayed) {
    static struct : IKVAAudioListener {  // outlives the player, whose threads call it
        bool SetPCMFormat(int32_t, int32_t, int32_t) override { return true; }
        void OnPCM(uint8_t** data, uint32_t len, uint32_t, bool) override { seen.insert(seen.end(), *data, *data + len); }
        void Reset() override {}
        std::vector<uint8_t> seen;
    } listener;
    Player()->SetAudioListener(&listener);
    PrepareWith();
    PlayToTheEnd();
    EXPECT_EQ(FirstMismatch(Captured(), Start(2.0f), FloatsFromBytes(listener.seen), 0, Ref().size() / 2), -1);
}

TEST_F(PlayerIF, SlowProcessorIsSwitchedOffAndNothingIsLost) {
    PrepareWith(6.0, 2000);
    PlayToTheEnd();
    ASSERT_EQ(obs.Count(kNotifyAudioIFStatus, kAudioIFSwitchedOff), 1);
    for (int32_t ms : Params(kNotifyAudioIFStatus, true)) EXPECT_GT(ms, 500);
    EXPECT_GE(proc->Resets(), 1);
    const long start = Start(2.0f);
    ASSERT_GE(start, 0);
    std::string why;  // doubled frames at the start, the rest plain
    const long doubled = DoubledThenPlain(Captured(), start, Ref(), &why);
    EXPECT_GT(doubled, 0) << why;
    EXPECT_LT(doubled, long(Ref().size() / 2));
}

TEST_F(PlayerIF, StoppingWithLoadIsReported) {
    // A third of real time: under the limit, so processing stays on past the first 4 s window.
    PrepareWith(0.35, 0, 0, "long.flac");
    Play();
    ASSERT_TRUE(WaitUntil([&] { return player->GetCurrentPosition() >= 5000; }, 15000));
    player->Stop(true);
    ASSERT_TRUE(obs.WaitFor(kNotifyAudioIFStopLoad, RecordingObserver::kAny, 5000));
    EXPECT_EQ(obs.Count(kNotifyAudioIFStatus), 0);
    for (int32_t load : Params(kNotifyAudioIFStopLoad, false)) EXPECT_GE(load, 20);
}

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

TEST_F(ReplayGain, LevelsFollowTheTagsAndSettings) {
    const struct { const char* fixture; int32_t mode; float preampDb; bool preventClipping; double expectDb; } cases[] = {
        {"rg_plus6.flac", kReplayGainTrack, 0.0f, false, 6.0},   // Vorbis comment
        {"rg_minus6.mp3", kReplayGainTrack, 0.0f, false, -6.0},  // ID3 TXXX, lower case
        {"rg_r128.opus", kReplayGainTrack, 0.0f, false, -6.0},   // R128 -11 dB + 5
        {"rg_plus6.flac", kReplayGainAlbum, 0.0f, false, -3.0},
        {"rg_minus6.mp3", kReplayGainAlbum, 0.0f, false, -6.0},  // no album gain: the track's
        {"rg_minus6.mp3", kReplayGainTrack, 3.0f, false, -3.0},
        {"rg_plus6.flac", kReplayGainTrack, 0.0f, true, 20.0 * std::log10(1.0 / 0.8)},  // peak 0.8
        {"rg_plain.flac", kReplayGainTrack, 6.0f, false, 0.0},   // untagged: unchanged
    };
    for (const auto& c : cases) {
        const double off = Render(c.fixture, kReplayGainOff, 0.0f, false);
        const double on = Render(c.fixture, c.mode, c.preampDb, c.preventClipping);
        ASSERT_GT(off, 0.0) << c.fixture;
        EXPECT_NEAR(20.0 * std::log10(on / off), c.expectDb, 0.05)
            << c.fixture << " mode " << c.mode << " preamp " << c.preampDb << " clip " << c.preventClipping;
    }

    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct { int32_t mode; float preamp; int32_t expect; } args[] = {
        {3, 0.0f, kErrorInvalidArgument}, {-1, 0.0f, kErrorInvalidArgument},
        {kReplayGainTrack, 15.5f, kErrorInvalidArgument}, {kReplayGainTrack, -15.5f, kErrorInvalidArgument},
        {kReplayGainTrack, nan, kErrorInvalidArgument}, {kReplayGainAlbum, 15.0f, 0}, {kReplayGainOff, -15.0f, 0}};
    for (const auto& a : args) EXPECT_EQ(player->SetReplayGain(a.mode, a.preamp, false), a.expect) << a.mode << " " << a.preamp;

    // Values that are no gain or peak leave the track untagged: out of range, not a number, not positive.
    const ReplayGainTags bad = ReadReplayGainTags({{"REPLAYGAIN_TRACK_GAIN", "1e999 dB"}, {"REPLAYGAIN_ALBUM_GAIN", "x"},
                                                   {"REPLAYGAIN_TRACK_PEAK", "-0.5"}, {"REPLAYGAIN_ALBUM_PEAK", "2000"}});
    EXPECT_TRUE(std::isnan(bad.trackGainDb) && std::isnan(bad.albumGainDb)) << bad.trackGainDb << " " << bad.albumGainDb;
    EXPECT_EQ(std::make_pair(bad.trackPeak, bad.albumPeak), std::make_pair(0.0f, 0.0f));
    // 16-bit output saturates instead of wrapping.
    int16_t pcm[] = {16000, -16000, 1000, -3};
    AudioDescription s16{kAudioDescriptionTag, 44100, 2, kSampleFormatS16, 3, 16, 0};
    ApplyGain(reinterpret_cast<uint8_t*>(pcm), sizeof pcm, s16, 2.5f);
    EXPECT_EQ(std::vector<int16_t>(pcm, pcm + 4), (std::vector<int16_t>{32767, -32768, 2500, -8}));
}

TEST(AudioTimeInfo, Scripts) {
    RunScript("nothing before resume; fills ignored until running, negative ones always",
        {{kExpectState, CKVAAudioTimeInfo::kStateStarted}, {kFill, 500}, {kExpectPlayed, 0}, {kExpectFills, 0},
         {kResume}, {kExpectPlayed, 0}, {kFill, -1}, {kExpectFills, 0}, {kFill, 700}, {kExpectFills, 1},
         {kExpectPlayed, 700}, {kExpectLastFill, 700}});
    RunScript("extrapolates from the anchor; the completion delay is taken off and survives a restart",
        {{kResume}, {kFill, 1000}, {kAdvance, 100}, {kFill, 1100}, {kAdvance, 100}, {kFill, 1200},
         {kAdvance, 50}, {kExpectPlayed, 1250}, {kAdvance, 30}, {kExpectPlayed, 1280},
         {kDelay, 40}, {kStart}, {kResume}, {kFill, 2000}, {kAdvance, 100}, {kExpectPlayed, 2060}});
    RunScript("speed scales; a change re-anchors at the next fill, the same speed keeps the anchor",
        {{kSpeed, 2.0}, {kResume}, {kFill, 1000}, {kAdvance, 50}, {kExpectPlayed, 1100}, {kAdvance, 25},
         {kExpectPlayed, 1150}, {kSpeed, 0.5}, {kExpectPlayed, 1150}, {kFill, 1200}, {kAdvance, 100},
         {kExpectPlayed, 1250}, {kSpeed, 0.5}, {kAdvance, 100}, {kExpectPlayed, 1300}});
    RunScript("drift beyond the tolerance re-anchors at once, inside it keeps the anchor",
        {{kResume}, {kFill, 1000}, {kAdvance, 300}, {kFill, 5000}, {kExpectPlayed, 5000}, {kAdvance, 20},
         {kExpectPlayed, 5020}, {kFill, 5080}, {kAdvance, 10}, {kExpectPlayed, 5030},
         {kTolerance, 1000}, {kFill, 5500}, {kExpectPlayed, 5030}});
    RunScript("a small step back is hidden, a large one passed on",
        {{kResume}, {kFill, 2000}, {kAdvance, 500}, {kExpectPlayed, 2500}, {kFill, 2350}, {kExpectPlayed, 2500},
         {kAdvance, 100}, {kExpectPlayed, 2500}, {kAdvance, 100}, {kExpectPlayed, 2550},
         {kFill, 2250}, {kExpectPlayed, 2250}});
    RunScript("pause holds, resume waits for a fill, stop answers 0, a seek is taken as reported",
        {{kResume}, {kFill, 3000}, {kAdvance, 200}, {kPause}, {kExpectState, CKVAAudioTimeInfo::kStatePaused},
         {kAdvance, 5000}, {kExpectPlayed, 3200}, {kResume}, {kAdvance, 100}, {kExpectPlayed, 3200},
         {kFill, 3210}, {kAdvance, 40}, {kExpectPlayed, 3250},
         {kStop}, {kExpectState, CKVAAudioTimeInfo::kStateStopped}, {kExpectPlayed, 0},
         {kResume}, {kSetPosition, 60000}, {kExpectFills, 0}, {kExpectLastFill, 60000}, {kExpectPlayed, 60000},
         {kFill, 60000}, {kAdvance, 100}, {kExpectPlayed, 60100},
         {kSetPosition, 0}, {kFill, 0}, {kAdvance, 10}, {kExpectPlayed, 10},
         {kReset}, {kExpectState, CKVAAudioTimeInfo::kStateReset}, {kExpectLastFill, 0}});
    RunScript("the device's queue is not heard yet, nor anything before where the position was set; "
              "a pause goes back to what was heard, and forward to it (by no more than the tolerance) only "
              "when nothing was being extrapolated",
        {{kResume}, {kQueue, 300}, {kFill, 1000}, {kExpectPlayed, 700}, {kAdvance, 100}, {kExpectPlayed, 800},
         {kSetPosition, 5000}, {kFill, 5000}, {kAdvance, 200}, {kExpectPlayed, 5000}, {kAdvance, 150},
         {kExpectPlayed, 5050}, {kPauseHeard, 5020}, {kExpectPlayed, 5020}, {kPauseHeard, 4000}, {kExpectPlayed, 5000},
         {kPauseHeard, 5080}, {kExpectPlayed, 5080}, {kPauseHeard, 5300}, {kExpectPlayed, 5080},
         {kQueue, 0}, {kResume}, {kFill, 5100}, {kAdvance, 20}, {kPauseHeard, 5150}, {kExpectPlayed, 5120}});
}
