#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "codec/CKVAAudioProcess.h"
#include "codec/TempoProcessor.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

using namespace kva_audioplayer;

namespace {

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr int kFrameBytes = kChannels * 4;
constexpr int kBlockFrames = 4410;  // 100 ms

struct Recorder {
    std::vector<std::string> events;
    void Add(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        char buf[256];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(buf, sizeof(buf), fmt, ap);
        va_end(ap);
        events.push_back(buf);
    }
    std::vector<std::string> Take() { return std::exchange(events, {}); }
};

// Replaces every block with a 440 Hz tone (so its work is visible downstream), optionally
// shortening it and raising the end flag.
class FakeEffect : public IKVAAudioEffect {
public:
    explicit FakeEffect(Recorder* r) : rec(r) {}
    bool Init(int32_t format, int32_t channels, int32_t sampleRate, int32_t blockBytes) override {
        rec->Add("effect.Init %d %d %d %d", format, channels, sampleRate, blockBytes);
        return initResult;
    }
    void Put(uint8_t* data, uint32_t len, uint32_t positionMs) override {
        rec->Add("effect.Put %u %u", len, positionMs);
        held = len;
    }
    void Get(uint8_t* data, uint32_t* len, uint8_t* endFlag) override {
        rec->Add("effect.Get %u", *len);
        uint32_t n = std::min(held - held % kFrameBytes - cut, *len);
        float* f = reinterpret_cast<float*>(data);
        for (uint32_t i = 0; i < n / kFrameBytes; ++i, ++phase) {
            float v = 0.5f * static_cast<float>(std::sin(2.0 * M_PI * 440.0 * phase / kRate));
            f[2 * i] = f[2 * i + 1] = v;
        }
        *len = n;
        if (raiseEnd) *endFlag = 1;
    }
    void Reset() override { rec->Add("effect.Reset"); }

    Recorder* rec;
    bool initResult = true;
    uint32_t held = 0;
    uint32_t cut = 0;
    bool raiseEnd = false;
    int64_t phase = 0;
};

class FakeListener : public IKVAAudioListener {
public:
    explicit FakeListener(Recorder* r) : rec(r) {}
    bool SetPCMFormat(int32_t format, int32_t sampleRate, int32_t channels) override {
        rec->Add("listener.SetPCMFormat %d %d %d", format, sampleRate, channels);
        return initResult;
    }
    void OnPCM(uint8_t** data, uint32_t len, uint32_t positionMs, bool endFlag) override {
        rec->Add("listener.OnPCM %u %u %d", len, positionMs, endFlag ? 1 : 0);
        seen.insert(seen.end(), *data, *data + len);
    }
    void Reset() override { rec->Add("listener.Reset"); }

    Recorder* rec;
    bool initResult = true;
    std::vector<uint8_t> seen;
};

class FakeObserver : public IKVAProcessObserver {
public:
    explicit FakeObserver(Recorder* r) : rec(r) {}
    void OnFadeFinish(const char* songId, int32_t fadeType) override {
        rec->Add("fade.Finish %s %d", songId, fadeType);
    }
    Recorder* rec;
};

AudioDescription Describe(int fmt, int rate = kRate, int channels = kChannels) {
    AudioDescription d{};
    d.nTag = kAudioDescriptionTag;
    d.nSampleRate = rate;
    d.nChannel = channels;
    d.nSampleFormat = fmt;
    d.nChannelLayout = channels == 2 ? AV_CH_LAYOUT_STEREO : AV_CH_LAYOUT_MONO;
    d.nBitsPerSample = av_get_bytes_per_sample(static_cast<AVSampleFormat>(fmt)) * 8;
    return d;
}

class AudioProcessTest : public ::testing::Test {
protected:
    AudioProcessTest() : effect(&rec), listener(&rec), observer(&rec), chain(&observer) {}

    // One block of `frames` float frames, value v, through the chain; returns the bytes out.
    uint32_t Run(int64_t position, int frames = kBlockFrames, float v = 0.0f, int32_t end = 0,
                 uint32_t capacityFrames = 4 * kBlockFrames) {
        buf.assign(static_cast<size_t>(capacityFrames) * kChannels, 0.0f);
        std::fill(buf.begin(), buf.begin() + frames * kChannels, v);
        uint32_t len = frames * kFrameBytes;
        int32_t endFlag = end;
        EXPECT_EQ(0, chain.process(reinterpret_cast<uint8_t*>(buf.data()), &len, position,
                                   capacityFrames * kFrameBytes, &endFlag));
        lastEnd = endFlag;
        return len;
    }

    Recorder rec;
    FakeEffect effect;
    FakeListener listener;
    FakeObserver observer;
    CKVAAudioProcess chain;
    std::vector<float> buf;
    int32_t lastEnd = 0;
};

}  // namespace

TEST_F(AudioProcessTest, StagesRunEffectThenTempoThenListener) {
    chain.SetAudioEffect(&effect);
    chain.SetAudioListener(&listener);
    chain.setAudioDescription(Describe(AV_SAMPLE_FMT_FLT));
    EXPECT_EQ((std::vector<std::string>{"effect.Init 3 2 44100 16384",
                                        "listener.SetPCMFormat 4 44100 2"}),
              rec.Take());

    // Speed 1.0: the effect's block reaches the listener untouched.
    EXPECT_EQ(uint32_t(kBlockFrames * kFrameBytes), Run(5000));
    EXPECT_EQ((std::vector<std::string>{"effect.Put 35280 5000", "effect.Get 141120",
                                        "listener.OnPCM 35280 5000 0"}),
              rec.Take());
    EXPECT_NE(0, std::memcmp(listener.seen.data(), std::vector<uint8_t>(35280).data(), 35280));
    EXPECT_EQ(0, std::memcmp(listener.seen.data(), buf.data(), 35280));

    // Speed 1.5: the listener hears the stretched tone, two thirds as long as what the effect made.
    ASSERT_TRUE(chain.SetPlaySpeed(1.5));
    listener.seen.clear();
    uint64_t effectBytes = 0;
    for (int i = 0; i < 50; ++i) {
        Run(i * 100);
        effectBytes += kBlockFrames * kFrameBytes;
    }
    Run(5000, 0, 0.0f, 1);  // end of media: an empty block drains the stretch
    auto events = rec.Take();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(0u, events[0].rfind("effect.Put", 0));
    EXPECT_EQ(0u, events[1].rfind("effect.Get", 0));
    EXPECT_EQ(0u, events[2].rfind("listener.OnPCM", 0));
    EXPECT_EQ("listener.OnPCM", events.back().substr(0, 14));
    EXPECT_EQ(" 5000 1", events.back().substr(events.back().size() - 7));
    EXPECT_NEAR(effectBytes / 1.5, static_cast<double>(listener.seen.size()), effectBytes * 0.01);
    double energy = 0;
    const float* f = reinterpret_cast<const float*>(listener.seen.data());
    for (size_t i = 0; i < listener.seen.size() / 4; ++i) energy += f[i] * f[i];
    EXPECT_GT(energy / (listener.seen.size() / 4), 0.1);  // the tone, not the silent input

    // The effect may end the stream; the listener and the caller see it.
    effect.raiseEnd = true;
    Run(700);
    EXPECT_EQ(1, lastEnd);
    const std::string last = rec.Take().back();
    EXPECT_EQ(" 700 1", last.substr(last.size() - 6)) << last;
}

TEST_F(AudioProcessTest, UnreadyEffectSkippedUnreadyListenerStillCalledBothRetried) {
    effect.initResult = false;
    listener.initResult = false;
    chain.SetAudioEffect(&effect);
    chain.SetAudioListener(&listener);
    chain.setAudioDescription(Describe(AV_SAMPLE_FMT_FLT));
    rec.Take();
    Run(0, kBlockFrames, 0.25f);
    EXPECT_EQ((std::vector<std::string>{"listener.OnPCM 35280 0 0"}), rec.Take());
    EXPECT_EQ(0.25f, reinterpret_cast<float*>(listener.seen.data())[7]);

    // Same format again: only the objects that are not ready are initialised.
    listener.initResult = true;
    chain.setAudioDescription(Describe(AV_SAMPLE_FMT_FLT));
    EXPECT_EQ((std::vector<std::string>{"effect.Init 3 2 44100 16384",
                                        "listener.SetPCMFormat 4 44100 2"}),
              rec.Take());
    chain.setAudioDescription(Describe(AV_SAMPLE_FMT_FLT));
    EXPECT_EQ((std::vector<std::string>{"effect.Init 3 2 44100 16384"}), rec.Take());
    // A new effect is initialised at the next description, not before.
    FakeEffect other(&rec);
    chain.SetAudioEffect(&other);
    Run(0);
    EXPECT_EQ((std::vector<std::string>{"listener.OnPCM 35280 0 0"}), rec.Take());
    chain.setAudioDescription(Describe(AV_SAMPLE_FMT_FLT));
    EXPECT_EQ((std::vector<std::string>{"effect.Init 3 2 44100 16384"}), rec.Take());
}

TEST_F(AudioProcessTest, FormatCodesPerSampleFormat) {
    chain.SetAudioEffect(&effect);
    chain.SetAudioListener(&listener);
    struct {
        int fmt;
        const char* effectInit;
        const char* listenerInit;
    } cases[] = {
        {AV_SAMPLE_FMT_U8, "effect.Init 0 2 44100 4096", "listener.SetPCMFormat 0 44100 2"},
        {AV_SAMPLE_FMT_S16, "effect.Init 1 2 44100 8192", "listener.SetPCMFormat 1 44100 2"},
        {AV_SAMPLE_FMT_S32, "effect.Init 2 2 44100 16384", "listener.SetPCMFormat 3 44100 2"},
        {AV_SAMPLE_FMT_DBL, "effect.Init 4 2 44100 32768", "listener.SetPCMFormat 5 44100 2"},
        // Planar: the previous (double) values stay.
        {AV_SAMPLE_FMT_FLTP, "effect.Init 4 2 44100 32768", "listener.SetPCMFormat 5 44100 2"},
        {AV_SAMPLE_FMT_FLT, "effect.Init 3 2 44100 16384", "listener.SetPCMFormat 4 44100 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fmt);
        chain.setAudioDescription(Describe(c.fmt));
        EXPECT_EQ((std::vector<std::string>{c.effectInit, c.listenerInit}), rec.Take());
        AudioDescription d{};
        chain.getAudioDescription(&d);
        EXPECT_EQ(c.fmt, d.nSampleFormat);
        // 64-bit float has no time-stretch; the others do.
        EXPECT_EQ(c.fmt != AV_SAMPLE_FMT_DBL && c.fmt != AV_SAMPLE_FMT_FLTP, chain.hasTempo());
    }
}

TEST_F(AudioProcessTest, PlaySpeedBeforeTheFormatTakesEffectWithIt) {
    EXPECT_TRUE(chain.SetPlaySpeed(1.5));
    EXPECT_FALSE(chain.hasTempo());
    EXPECT_DOUBLE_EQ(1.5, chain.getPlaySpeed());
    // The stored speed is applied when the format arrives.
    chain.setAudioDescription(Describe(AV_SAMPLE_FMT_FLT));
    EXPECT_TRUE(chain.hasTempo());
    uint64_t out = 0;
    for (int i = 0; i < 10; ++i) out += Run(i * 100);
    EXPECT_NEAR(kBlockFrames * kFrameBytes * 10 / 1.5, static_cast<double>(out), 4096 * kFrameBytes);
    EXPECT_TRUE(chain.SetPlaySpeed(1.0));

    // Speeds the stretch cannot run are refused and leave the speed as it was.
    EXPECT_FALSE(chain.SetPlaySpeed(0.3));
    EXPECT_FALSE(chain.SetPlaySpeed(120.0));
    EXPECT_DOUBLE_EQ(1.0, chain.getPlaySpeed());
    EXPECT_TRUE(chain.SetPlaySpeed(100.0));
}

TEST_F(AudioProcessTest, FadeOutRampsDownAndReportsEveryBlockUntilStopped) {
    chain.setAudioDescription(Describe(AV_SAMPLE_FMT_FLT));
    chain.setSongId("song-7");
    EXPECT_EQ(0, chain.getFadeMode());
    EXPECT_EQ(-1, chain.getFadePosition());
    chain.setFadeMode(kFadeOut);
    EXPECT_FLOAT_EQ(1.0f, chain.getFadeGain());
    for (int i = 1; i <= 6; ++i) {
        Run(0);
        EXPECT_FLOAT_EQ((26460.0f - 4410.0f * i) / 26460.0f, chain.getFadeGain());
    }
    EXPECT_TRUE(rec.Take().empty());  // reaching 0 is reported by the next block
    Run(0);
    Run(0);
    EXPECT_EQ((std::vector<std::string>{"fade.Finish song-7 1", "fade.Finish song-7 1"}), rec.Take());
    chain.setFadeMode(kFadeNone);
    EXPECT_EQ(-1, chain.getFadePosition());
    Run(0);
    EXPECT_TRUE(rec.Take().empty());

    // The frame path advances the fade by bytes.
    chain.setFadeMode(kFadeOut);
    chain.advanceFade(26460 * kFrameBytes - kFrameBytes);
    EXPECT_EQ(1, chain.getFadePosition());
    chain.advanceFade(1000 * kFrameBytes);
    EXPECT_EQ(0, chain.getFadePosition());
    chain.advanceFade(kFrameBytes);
    EXPECT_EQ((std::vector<std::string>{"fade.Finish song-7 1"}), rec.Take());

    // Fade times outside 200 ms to 20 s are ignored (the default 600 ms stays).
    for (auto c : {std::make_pair(150, 26460), std::make_pair(20000, 26460),
                   std::make_pair(200, 8820), std::make_pair(19999, 881955)}) {
        chain.setFadeTime(c.first);
        chain.setFadeMode(kFadeNone);
        chain.setFadeMode(kFadeOut);
        EXPECT_EQ(c.second, chain.getFadeLength()) << c.first;
    }
}

TEST_F(AudioProcessTest, ReversedFadeContinuesFromTheGainReached) {
    chain.setAudioDescription(Describe(AV_SAMPLE_FMT_FLT));
    chain.setSongId("s");
    chain.setFadeMode(kFadeOut);
    Run(0);
    Run(0);
    Run(0);
    EXPECT_FLOAT_EQ(0.5f, chain.getFadeGain());
    chain.setFadeMode(kFadeIn);
    EXPECT_FLOAT_EQ(0.5f, chain.getFadeGain());
    Run(0);
    EXPECT_FLOAT_EQ(17640.0f / 26460.0f, chain.getFadeGain());
    Run(0);
    Run(0);
    EXPECT_FLOAT_EQ(1.0f, chain.getFadeGain());
    EXPECT_TRUE(rec.Take().empty());
    Run(0);
    EXPECT_EQ((std::vector<std::string>{"fade.Finish s 2"}), rec.Take());

    // Reversed again with a different fade time: the gain, not the frame count, carries over.
    chain.setFadeMode(kFadeOut);
    Run(0);  // 22050 of 26460
    chain.setFadeTime(1200);
    chain.setFadeMode(kFadeIn);
    EXPECT_EQ(52920, chain.getFadeLength());
    EXPECT_NEAR(22050.0f / 26460.0f, chain.getFadeGain(), 1e-6);
    // A fresh fade-in starts from silence.
    chain.setFadeMode(kFadeNone);
    chain.setFadeMode(kFadeIn);
    EXPECT_FLOAT_EQ(0.0f, chain.getFadeGain());
}

TEST_F(AudioProcessTest, ResetDuringFadeReportsTheActiveModeAndResetsHooks) {
    chain.SetAudioEffect(&effect);
    chain.SetAudioListener(&listener);
    chain.setAudioDescription(Describe(AV_SAMPLE_FMT_FLT));
    chain.setSongId("abc");
    chain.setFadeMode(kFadeIn);
    Run(0);
    rec.Take();
    chain.Reset();
    EXPECT_EQ((std::vector<std::string>{"effect.Reset", "listener.Reset", "fade.Finish abc 2"}),
              rec.Take());
    EXPECT_EQ(0, chain.getFadeMode());
    EXPECT_EQ(-1, chain.getFadePosition());
    chain.close();  // no fade running: no report
    EXPECT_EQ((std::vector<std::string>{"effect.Reset", "listener.Reset"}), rec.Take());
}

namespace {
// Largest change between neighbouring samples of one channel.
float MaxStep(const std::vector<float>& s) {
    float m = 0;
    for (size_t i = kChannels; i < s.size(); ++i) m = std::max(m, std::fabs(s[i] - s[i - kChannels]));
    return m;
}
}  // namespace

// 1.5 -> 1.0 -> 1.5 -> 1.0 in device-sized blocks: every switch is seamless (the stretch lets
// out its tail before the bypass, a fresh stretch picks up the next sample), nothing is lost,
// and no filter graph is built on the pulling thread.
TEST_F(AudioProcessTest, SpeedSwitchesAreSeamless) {
    chain.setAudioDescription(Describe(AV_SAMPLE_FMT_FLT));
    constexpr int kPeriod = 441;
    const int64_t builds = TempoEngine::RenderThreadBuilds();
    std::vector<float> in(kPeriod * kChannels), out;
    int64_t phase = 0, inFrames = 0;
    double expected = 0;
    for (double speed : {1.5, 1.0, 1.5, 1.0}) {
        ASSERT_TRUE(chain.SetPlaySpeed(speed));
        for (int b = 0; b < 100; ++b, inFrames += kPeriod) {
            for (int i = 0; i < kPeriod; ++i, ++phase)
                in[2 * i] = in[2 * i + 1] = 0.5f * std::sin(2.0 * M_PI * 220.0 * phase / kRate);
            buf.assign(8192 * kChannels, 0.0f);
            std::copy(in.begin(), in.end(), buf.begin());
            uint32_t len = kPeriod * kFrameBytes;
            int32_t end = 0;
            chain.process(reinterpret_cast<uint8_t*>(buf.data()), &len, 0, 8192 * kFrameBytes, &end);
            out.insert(out.end(), buf.begin(), buf.begin() + len / 4);
        }
        expected += 100.0 * kPeriod / speed;
    }
    EXPECT_EQ(builds, TempoEngine::RenderThreadBuilds());
    EXPECT_NEAR(expected, static_cast<double>(out.size() / kChannels), 2048);
    const float own = 0.5f * 2.0f * static_cast<float>(M_PI) * 220.0f / kRate;
    EXPECT_LE(MaxStep(out), own * 1.5f);
}

// Any sequence of accepted speeds, across 2.0 both ways and to the extremes, with resets
// between, leaves the chain running (atempo asserts on some in-place tempo changes).
TEST_F(AudioProcessTest, RandomSpeedSequencesAreSafe) {
    chain.setAudioDescription(Describe(AV_SAMPLE_FMT_FLT));
    const double speeds[] = {0.5, 0.75, 1.0, 1.25, 1.5, 2.0, 2.5, 4.0, 10.0, 37.0, 100.0};
    uint32_t x = 12345;
    auto next = [&x](uint32_t n) {
        x = x * 1664525u + 1013904223u;
        return (x >> 8) % n;
    };
    uint64_t total = 0;
    constexpr uint32_t kCapacity = 8192;
    for (int segment = 0; segment < 200; ++segment) {
        ASSERT_TRUE(chain.SetPlaySpeed(speeds[next(11)]));
        if (next(8) == 0) chain.Reset();
        for (uint32_t b = 0, n = 1 + next(12); b < n; ++b) {
            const int frames = 1 + static_cast<int>(next(4096));
            buf.assign(kCapacity * kChannels, 0.0f);
            for (int i = 0; i < frames * kChannels; ++i) buf[i] = 0.3f * std::sin(0.01f * i);
            uint32_t len = frames * kFrameBytes;
            int32_t end = 0;
            chain.process(reinterpret_cast<uint8_t*>(buf.data()), &len, 0, kCapacity * kFrameBytes,
                          &end);
            ASSERT_LE(len, kCapacity * kFrameBytes);
            ASSERT_EQ(0u, len % kFrameBytes);
            total += len;
        }
    }
    EXPECT_GT(total, 0u);
}

TEST_F(AudioProcessTest, ResetDropsStretchedAudio) {
    chain.setAudioDescription(Describe(AV_SAMPLE_FMT_FLT));
    chain.SetPlaySpeed(0.5);
    for (int i = 0; i < 3; ++i) Run(0, kBlockFrames, 0.1f, 0, kBlockFrames);  // half stays queued
    chain.Reset();
    chain.SetPlaySpeed(1.0);
    uint32_t out = Run(0, kBlockFrames, 0.3f);
    ASSERT_EQ(uint32_t(kBlockFrames * kFrameBytes), out);
    for (int i = 0; i < kBlockFrames * kChannels; ++i) ASSERT_EQ(0.3f, buf[i]) << i;
}

TEST_F(AudioProcessTest, CountersSnapshotAndSongQueries) {
    chain.SetAudioEffect(&effect);
    chain.setAudioDescription(Describe(AV_SAMPLE_FMT_FLT));
    chain.setSongId("A");
    for (int i = 0; i < 10; ++i) Run(i * 100);
    EXPECT_EQ(1000, chain.getSourceMs());
    EXPECT_EQ(1000, chain.getOutputMs());
    EXPECT_EQ(1000, chain.getEndPosition("A"));
    // A last block flagged as the end moves the counters but not the end position.
    Run(5000, kBlockFrames, 0.0f, 1);
    EXPECT_EQ(1100, chain.getSourceMs());
    EXPECT_EQ(1000, chain.getEndPosition("A"));

    KVACachedTrackTime rec1;
    chain.fillPlayInfo(&rec1);
    EXPECT_TRUE(rec1.bValid);
    EXPECT_EQ("A", rec1.strSongId);
    EXPECT_EQ(1100, rec1.nPlayedTime);
    EXPECT_EQ(1100, rec1.nPlayedTimeWithSpeed);
    EXPECT_EQ(1000, rec1.nEndTime);

    chain.onSongChanged();
    chain.setSongId("B");
    EXPECT_EQ(0, chain.getOutputMs());
    EXPECT_EQ(1000, chain.getSnapshotEndPosition());
    // The effect shortens blocks by 10 ms: the source count is taken after it.
    effect.cut = 441 * kFrameBytes;
    for (int i = 0; i < 5; ++i) Run(20000 + i * 100);
    EXPECT_EQ(450, chain.getSourceMs());
    EXPECT_EQ(450, chain.getOutputMs());

    EXPECT_EQ(1100, chain.getOutputTime("A"));
    EXPECT_EQ(1100, chain.getSourceTime("A"));
    EXPECT_EQ(1000, chain.getEndPosition("A"));  // where A ended, not where B is
    EXPECT_EQ(450, chain.getOutputTime("B"));
    EXPECT_EQ(450, chain.getSourceTime("B"));
    EXPECT_EQ(20500, chain.getEndPosition("B"));
    EXPECT_EQ(0, chain.getOutputTime("C") + chain.getSourceTime("C") + chain.getEndPosition("C"));
    EXPECT_EQ(0, chain.getEndPosition(nullptr));

    // After a stop the song is both previous and current: the live values answer.
    chain.onSongChanged();
    Run(30000);
    EXPECT_EQ(540, chain.getOutputTime("B"));  // the effect still takes 10 ms per block
    EXPECT_EQ(30100, chain.getEndPosition("B"));
}

