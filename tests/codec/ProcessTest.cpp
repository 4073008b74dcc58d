// The processing chain and the time-stretch on its own.
#include "StreamTestUtil.h"

namespace {

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr int kFrameBytes = kChannels * 4;
constexpr int kBlockFrames = 4410;  // 100 ms
using Events = std::vector<std::string>;

// What the stages and the fade reports were called with, in order, as "name arg arg ...".
struct Recorder : IKVAProcessObserver {
    template <typename... T> void Add(std::string e, T... args) {
        ((e += " " + std::to_string(args)), ...);
        std::lock_guard<std::mutex> g(lock);
        events.push_back(e);
    }
    Events Take() { std::lock_guard<std::mutex> g(lock); return std::exchange(events, {}); }
    void OnFadeFinish(const char* id, int32_t type) override { Add(std::string("fade.Finish ") + id, type); }
    std::mutex lock;
    Events events;
};

// Replaces every block with a 440 Hz tone (so its work is visible downstream), optionally
// shortening it and raising the end flag.
struct FakeEffect : IKVAAudioEffect {
    explicit FakeEffect(Recorder* r) : rec(r) {}
    bool Init(int32_t format, int32_t channels, int32_t rate, int32_t blockBytes) override {
        rec->Add("effect.Init", format, channels, rate, blockBytes);
        return initResult;
    }
    void Put(uint8_t*, uint32_t len, uint32_t positionMs) override {
        rec->Add("effect.Put", len, positionMs);
        held = len;
    }
    void Get(uint8_t* data, uint32_t* len, uint8_t* endFlag) override {
        rec->Add("effect.Get", *len);
        *len = std::min(held - held % kFrameBytes - cut, *len);
        float* f = reinterpret_cast<float*>(data);
        for (uint32_t i = 0; i < *len / kFrameBytes; ++i, ++phase)
            f[2 * i] = f[2 * i + 1] = 0.5f * static_cast<float>(std::sin(2.0 * M_PI * 440.0 * phase / kRate));
        if (raiseEnd) *endFlag = 1;
    }
    void Reset() override { rec->Add("effect.Reset"); }
    Recorder* rec;
    bool initResult = true, raiseEnd = false;
    uint32_t held = 0, cut = 0;
    int64_t phase = 0;
};

struct FakeListener : IKVAAudioListener {
    explicit FakeListener(Recorder* r) : rec(r) {}
    bool SetPCMFormat(int32_t format, int32_t rate, int32_t channels) override {
        rec->Add("listener.SetPCMFormat", format, rate, channels);
        return initResult;
    }
    void OnPCM(uint8_t** data, uint32_t len, uint32_t positionMs, bool endFlag) override {
        rec->Add("listener.OnPCM", len, positionMs, endFlag ? 1 : 0);
        seen.insert(seen.end(), *data, *data + len);
    }
    void Reset() override { rec->Add("listener.Reset"); }
    Recorder* rec;
    bool initResult = true;
    std::vector<uint8_t> seen;
};

class AudioProcessTest : public ::testing::Test {
protected:
    AudioProcessTest() : effect(&rec), listener(&rec), chain(&rec) {}
    // A float stereo chain with the effect and the listener when asked; their Inits, taken.
    Events Setup(bool withEffect, bool withListener) {
        if (withEffect) chain.SetAudioEffect(&effect);
        if (withListener) chain.SetAudioListener(&listener);
        return Described();
    }
    // The float stereo description set (again); the Inits it made, taken.
    Events Described() { return chain.setAudioDescription(Describe(AV_SAMPLE_FMT_FLT)), rec.Take(); }
    // The first `frames` frames of buf through the chain; the bytes out.
    uint32_t Process(int64_t position, int frames, int32_t end, uint32_t capacityFrames) {
        buf.resize(static_cast<size_t>(capacityFrames) * kChannels);
        uint32_t len = frames * kFrameBytes;
        lastEnd = end;
        EXPECT_EQ(0, chain.process(reinterpret_cast<uint8_t*>(buf.data()), &len, position,
                                   capacityFrames * kFrameBytes, &lastEnd));
        EXPECT_EQ(0u, len % kFrameBytes);
        EXPECT_LE(len, capacityFrames * kFrameBytes);
        return len;
    }
    // One block of `frames` frames of value v.
    uint32_t Run(int64_t position, int frames = kBlockFrames, float v = 0.0f, int32_t end = 0,
                 uint32_t capacityFrames = 4 * kBlockFrames) {
        buf.assign(static_cast<size_t>(capacityFrames) * kChannels, 0.0f);
        std::fill(buf.begin(), buf.begin() + frames * kChannels, v);
        return Process(position, frames, end, capacityFrames);
    }
    // A silent block through a fade; the gain after it.
    float Step() { return Run(0), chain.getFadeGain(); }

    Recorder rec;
    FakeEffect effect;
    FakeListener listener;
    CKVAAudioProcess chain;
    std::vector<float> buf;
    int32_t lastEnd = 0;
};

TEST_F(AudioProcessTest, StagesRunEffectThenTempoThenListener) {
    EXPECT_EQ((Events{"effect.Init 3 2 44100 16384", "listener.SetPCMFormat 4 44100 2"}), Setup(true, true));
    // Speed 1.0: the effect's block reaches the listener untouched.
    EXPECT_EQ(uint32_t(kBlockFrames * kFrameBytes), Run(5000));
    EXPECT_EQ((Events{"effect.Put 35280 5000", "effect.Get 141120", "listener.OnPCM 35280 5000 0"}), rec.Take());
    EXPECT_NE(0, std::memcmp(listener.seen.data(), std::vector<uint8_t>(35280).data(), 35280));
    EXPECT_EQ(0, std::memcmp(listener.seen.data(), buf.data(), 35280));
    // Speed 1.5: the listener hears the stretched tone, two thirds as long as what the effect made.
    ASSERT_TRUE(chain.SetPlaySpeed(1.5));
    listener.seen.clear();
    for (int i = 0; i < 50; ++i) Run(i * 100);
    const double effectBytes = 50.0 * kBlockFrames * kFrameBytes;
    Run(5000, 0, 0.0f, 1);  // end of media: an empty block drains the stretch
    const Events events = rec.Take();
    ASSERT_GE(events.size(), 3u);
    auto kind = [](const std::string& e) { return e.substr(0, e.find(' ')); };
    EXPECT_EQ((Events{"effect.Put", "effect.Get", "listener.OnPCM", "listener.OnPCM"}),
              (Events{kind(events[0]), kind(events[1]), kind(events[2]), kind(events.back())}));
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
    effect.initResult = listener.initResult = false;
    Setup(true, true);
    Run(0, kBlockFrames, 0.25f);
    EXPECT_EQ((Events{"listener.OnPCM 35280 0 0"}), rec.Take());
    EXPECT_EQ(0.25f, reinterpret_cast<float*>(listener.seen.data())[7]);
    // Same format again: only the objects that are not ready are initialised.
    listener.initResult = true;
    EXPECT_EQ((Events{"effect.Init 3 2 44100 16384", "listener.SetPCMFormat 4 44100 2"}), Described());
    EXPECT_EQ((Events{"effect.Init 3 2 44100 16384"}), Described());
    // A new effect is initialised at the next description, not before.
    FakeEffect other(&rec);
    chain.SetAudioEffect(&other);
    Run(0);
    EXPECT_EQ((Events{"listener.OnPCM 35280 0 0"}), rec.Take());
    EXPECT_EQ((Events{"effect.Init 3 2 44100 16384"}), Described());
}

TEST_F(AudioProcessTest, FormatCodesPerSampleFormat) {
    chain.SetAudioEffect(&effect);
    chain.SetAudioListener(&listener);
    const struct { int fmt; const char *effectInit, *listenerInit; } cases[] = {
        {AV_SAMPLE_FMT_U8, "effect.Init 0 2 44100 4096", "listener.SetPCMFormat 0 44100 2"},
        {AV_SAMPLE_FMT_S16, "effect.Init 1 2 44100 8192", "listener.SetPCMFormat 1 44100 2"},
        {AV_SAMPLE_FMT_S32, "effect.Init 2 2 44100 16384", "listener.SetPCMFormat 3 44100 2"},
        {AV_SAMPLE_FMT_DBL, "effect.Init 4 2 44100 32768", "listener.SetPCMFormat 5 44100 2"},
        // Planar: the previous (double) values stay.
        {AV_SAMPLE_FMT_FLTP, "effect.Init 4 2 44100 32768", "listener.SetPCMFormat 5 44100 2"},
        {AV_SAMPLE_FMT_FLT, "effect.Init 3 2 44100 16384", "listener.SetPCMFormat 4 44100 2"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fmt);
        chain.setAudioDescription(Describe(c.fmt));
        EXPECT_EQ((Events{c.effectInit, c.listenerInit}), rec.Take());
        AudioDescription d{};
        chain.getAudioDescription(&d);
        EXPECT_EQ(c.fmt, d.nSampleFormat);
        // 64-bit float and planar have no time-stretch; the others do.
        EXPECT_EQ(c.fmt != AV_SAMPLE_FMT_DBL && c.fmt != AV_SAMPLE_FMT_FLTP, chain.hasTempo());
    }
}

TEST_F(AudioProcessTest, PlaySpeedBeforeTheFormatTakesEffectWithIt) {
    EXPECT_TRUE(chain.SetPlaySpeed(1.5));
    EXPECT_FALSE(chain.hasTempo());
    EXPECT_DOUBLE_EQ(1.5, chain.getPlaySpeed());
    chain.setAudioDescription(Describe(AV_SAMPLE_FMT_FLT));
    EXPECT_TRUE(chain.hasTempo());
    uint64_t out = 0;
    for (int i = 0; i < 10; ++i) out += Run(i * 100);
    EXPECT_NEAR(kBlockFrames * kFrameBytes * 10 / 1.5, static_cast<double>(out), 4096 * kFrameBytes);
    EXPECT_TRUE(chain.SetPlaySpeed(1.0));
    // Speeds the stretch cannot run are refused and leave the speed as it was.
    for (double speed : {0.3, 120.0}) EXPECT_FALSE(chain.SetPlaySpeed(speed)) << speed;
    EXPECT_DOUBLE_EQ(1.0, chain.getPlaySpeed());
    EXPECT_TRUE(chain.SetPlaySpeed(100.0));
}

TEST_F(AudioProcessTest, FadeOutRampsDownAndReportsEveryBlockUntilStopped) {
    Setup(false, false);
    chain.setSongId("song-7");
    EXPECT_EQ(std::make_tuple(0, -1), std::make_tuple(chain.getFadeMode(), chain.getFadePosition()));
    chain.setFadeMode(kFadeOut);
    EXPECT_FLOAT_EQ(1.0f, chain.getFadeGain());
    for (int i = 1; i <= 6; ++i) EXPECT_FLOAT_EQ((26460.0f - 4410.0f * i) / 26460.0f, Step());
    EXPECT_TRUE(rec.Take().empty());  // reaching 0 is reported by the next block
    Step(), Step();
    EXPECT_EQ((Events{"fade.Finish song-7 1", "fade.Finish song-7 1"}), rec.Take());
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
    EXPECT_EQ((Events{"fade.Finish song-7 1"}), rec.Take());
    // Fade times outside 200 ms to 20 s are ignored (the default 600 ms stays).
    for (auto c : {std::make_pair(150, 26460), {20000, 26460}, {200, 8820}, {19999, 881955}}) {
        chain.setFadeTime(c.first);
        chain.setFadeMode(kFadeNone);
        chain.setFadeMode(kFadeOut);
        EXPECT_EQ(c.second, chain.getFadeLength()) << c.first;
    }
}

TEST_F(AudioProcessTest, ReversedFadeContinuesFromTheGainReached) {
    Setup(false, false);
    chain.setSongId("s");
    chain.setFadeMode(kFadeOut);
    Step(), Step();
    EXPECT_FLOAT_EQ(0.5f, Step());
    chain.setFadeMode(kFadeIn);
    EXPECT_FLOAT_EQ(0.5f, chain.getFadeGain());
    EXPECT_FLOAT_EQ(17640.0f / 26460.0f, Step());
    Step();
    EXPECT_FLOAT_EQ(1.0f, Step());
    EXPECT_TRUE(rec.Take().empty());
    Run(0);
    EXPECT_EQ((Events{"fade.Finish s 2"}), rec.Take());
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
    Setup(true, true);
    chain.setSongId("abc");
    chain.setFadeMode(kFadeIn);
    Run(0);
    rec.Take();
    chain.Reset();
    EXPECT_EQ((Events{"effect.Reset", "listener.Reset", "fade.Finish abc 2"}), rec.Take());
    EXPECT_EQ(std::make_tuple(0, -1), std::make_tuple(chain.getFadeMode(), chain.getFadePosition()));
    chain.close();  // no fade running: no report
    EXPECT_EQ((Events{"effect.Reset", "listener.Reset"}), rec.Take());
}

// 1.5 -> 1.0 -> 1.5 -> 1.0 in device-sized blocks: every switch is seamless (the stretch lets
// out its tail before the bypass, a fresh stretch picks up the next sample), nothing is lost,
// and no filter graph is built on the pulling thread.
TEST_F(AudioProcessTest, SpeedSwitchesAreSeamless) {
    Setup(false, false);
    constexpr int kPeriod = 441;
    const int64_t builds = TempoEngine::RenderThreadBuilds();
    std::vector<float> out;
    int64_t phase = 0;
    double expected = 0;
    for (double speed : {1.5, 1.0, 1.5, 1.0}) {
        ASSERT_TRUE(chain.SetPlaySpeed(speed));
        for (int b = 0; b < 100; ++b) {
            buf.assign(8192 * kChannels, 0.0f);
            for (int i = 0; i < kPeriod; ++i, ++phase)
                buf[2 * i] = buf[2 * i + 1] = 0.5f * std::sin(2.0 * M_PI * 220.0 * phase / kRate);
            out.insert(out.end(), buf.begin(), buf.begin() + Process(0, kPeriod, 0, 8192) / 4);
        }
        expected += 100.0 * kPeriod / speed;
    }
    EXPECT_EQ(builds, TempoEngine::RenderThreadBuilds());
    EXPECT_NEAR(expected, static_cast<double>(out.size() / kChannels), 2048);
    float step = 0;  // the largest between neighbouring samples, against the tone's own
    for (size_t i = kChannels; i < out.size(); ++i) step = std::max(step, std::fabs(out[i] - out[i - 2]));
    EXPECT_LE(step, 1.5f * 0.5f * 2.0f * static_cast<float>(M_PI) * 220.0f / kRate);
}

// Any sequence of accepted speeds, across 2.0 both ways and to the extremes, with resets
// between, leaves the chain running (atempo asserts on some in-place tempo changes).
TEST_F(AudioProcessTest, RandomSpeedSequencesAreSafe) {
    Setup(false, false);
    const double speeds[] = {0.5, 0.75, 1.0, 1.25, 1.5, 2.0, 2.5, 4.0, 10.0, 37.0, 100.0};
    uint32_t x = 12345;
    auto next = [&x](uint32_t n) { return ((x = x * 1664525u + 1013904223u) >> 8) % n; };
    uint64_t total = 0;
    for (int segment = 0; segment < 200; ++segment) {
        ASSERT_TRUE(chain.SetPlaySpeed(speeds[next(11)]));
        if (next(8) == 0) chain.Reset();
        for (uint32_t b = 0, n = 1 + next(12); b < n; ++b) {
            const int frames = 1 + static_cast<int>(next(4096));
            buf.assign(8192 * kChannels, 0.0f);
            for (int i = 0; i < frames * kChannels; ++i) buf[i] = 0.3f * std::sin(0.01f * i);
            total += Process(0, frames, 0, 8192);
        }
    }
    EXPECT_GT(total, 0u);
}

TEST_F(AudioProcessTest, ResetDropsStretchedAudio) {
    Setup(false, false);
    chain.SetPlaySpeed(0.5);
    for (int i = 0; i < 3; ++i) Run(0, kBlockFrames, 0.1f, 0, kBlockFrames);  // half stays queued
    chain.Reset();
    chain.SetPlaySpeed(1.0);
    ASSERT_EQ(uint32_t(kBlockFrames * kFrameBytes), Run(0, kBlockFrames, 0.3f));
    for (int i = 0; i < kBlockFrames * kChannels; ++i) ASSERT_EQ(0.3f, buf[i]) << i;
}

TEST_F(AudioProcessTest, CountersSnapshotAndSongQueries) {
    using V = std::vector<int64_t>;
    // {output time, source time, end position} of a song, and the live {source, output} counts.
    auto song = [&](const char* id) {
        return V{chain.getOutputTime(id), chain.getSourceTime(id), chain.getEndPosition(id)};
    };
    auto live = [&] { return V{chain.getSourceMs(), chain.getOutputMs()}; };
    Setup(true, false);
    chain.setSongId("A");
    for (int i = 0; i < 10; ++i) Run(i * 100);
    EXPECT_EQ(std::make_tuple((V{1000, 1000}), 1000), std::make_tuple(live(), chain.getEndPosition("A")));
    // A last block flagged as the end moves the counters but not the end position.
    Run(5000, kBlockFrames, 0.0f, 1);
    EXPECT_EQ((V{1100, 1000}), (V{chain.getSourceMs(), chain.getEndPosition("A")}));
    KVACachedTrackTime t;
    chain.fillPlayInfo(&t);
    EXPECT_TRUE(t.bValid);
    EXPECT_EQ("A", t.strSongId);
    EXPECT_EQ((V{1100, 1100, 1000}), (V{t.nPlayedTime, t.nPlayedTimeWithSpeed, t.nEndTime}));
    chain.onSongChanged();
    chain.setSongId("B");
    EXPECT_EQ((V{0, 1000}), (V{chain.getOutputMs(), chain.getSnapshotEndPosition()}));
    // The effect shortens blocks by 10 ms: the source count is taken after it.
    effect.cut = 441 * kFrameBytes;
    for (int i = 0; i < 5; ++i) Run(20000 + i * 100);
    EXPECT_EQ((V{450, 450}), live());
    EXPECT_EQ((V{1100, 1100, 1000}), song("A"));  // where A ended, not where B is
    EXPECT_EQ(std::make_tuple((V{450, 450, 20500}), (V{0, 0, 0})), std::make_tuple(song("B"), song("C")));
    EXPECT_EQ(0, chain.getEndPosition(nullptr));
    // After a stop the song is both previous and current: the live values answer.
    chain.onSongChanged();
    Run(30000);
    EXPECT_EQ((V{540, 540, 30100}), song("B"));  // the effect still takes 10 ms per block
}

// The render thread pulls blocks while a control thread changes speed, fades, songs, effect
// and format: nothing tears (the run is for ThreadSanitizer), fade reports name a real song.
using AudioProcessConcurrency = AudioProcessTest;

TEST_F(AudioProcessConcurrency, RenderAndControlThreads) {
    Setup(false, true);
    std::atomic<bool> stop{false};
    std::thread render([&] {
        std::vector<float> b(1024 * 2 * 4, 0.1f);
        for (int i = 0; i < 400; ++i) {
            uint32_t len = 1024 * 8;
            int32_t end = 0;
            chain.process(reinterpret_cast<uint8_t*>(b.data()), &len, i * 23,
                          static_cast<uint32_t>(b.size() * 4), &end);
            if (i % 50 == 0) chain.advanceFade(len);
        }
        stop = true;
    });
    for (int round = 0; !stop; ++round) {
        chain.SetPlaySpeed(round % 3 == 0 ? 1.0 : round % 3 == 1 ? 1.5 : 0.75);
        chain.setFadeTime(200 + round % 7);
        chain.setFadeMode(round % 2 ? kFadeOut : kFadeIn);
        chain.getFadeGain();
        chain.setSongId(round % 2 ? "a" : "b");
        chain.onSongChanged();
        chain.getOutputTime("a");
        chain.getEndPosition("b");
        KVACachedTrackTime t;
        chain.fillPlayInfo(&t);
        if (round % 5 == 0) chain.Reset();
        if (round % 11 == 0) chain.setAudioDescription(Describe(AV_SAMPLE_FMT_FLT));
        chain.SetAudioEffect(round % 2 ? &effect : nullptr);
    }
    render.join();
    for (const std::string& e : rec.Take()) {
        if (e.rfind("fade.Finish ", 0)) continue;
        const std::string id = e.substr(12, e.rfind(' ') - 12);
        EXPECT_TRUE(id == "a" || id == "b" || id.empty()) << e;
    }
    EXPECT_FALSE(listener.seen.empty());
}

constexpr int kBlock = 2048;

// Pushes `frames` frames through p in blocks of `block`, then its end; everything it gives back.
std::vector<uint8_t> Pump(TempoProcessor& p, const uint8_t* data, int64_t frames, int frameBytes, int block = kBlock) {
    std::vector<uint8_t> out, buf(static_cast<size_t>(block) * 4 * frameBytes);
    for (int64_t done = 0; done <= frames; done += block) {
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(block, frames - done));
        if (n > 0) p.PutSamples(data + done * frameBytes, n);
        if (n < block) p.PutSamples(nullptr, 0);
        while (p.AvailableFrames() > 0) {
            int32_t m = block * 4;
            p.ReceiveSamples(buf.data(), &m);
            EXPECT_GT(m, 0);
            if (m <= 0) return out;
            out.insert(out.end(), buf.begin(), buf.begin() + static_cast<size_t>(m) * frameBytes);
        }
    }
    return out;
}

TEST(TempoProcessor, TempoRangeAndFailedInit) {
    std::unique_ptr<TempoProcessor> p(CreateTempoProcessor());
    for (double t : {0.5, 100.0, 0.49, 100.01, std::nan("")}) EXPECT_EQ(t >= 0.5 && t <= 100.0, p->SetTempo(t)) << t;
    // Below 24 Hz the filter has no window.
    for (auto c : {std::make_pair(AV_SAMPLE_FMT_DBL, kRate), {AV_SAMPLE_FMT_FLTP, kRate},
                   {AV_SAMPLE_FMT_FLT, 0}, {AV_SAMPLE_FMT_FLT, 23}})
        EXPECT_EQ(0, p->Init(c.first, c.second, 2, kBlock)) << c.first << " " << c.second;
    // After the refused ones a good Init works.
    std::vector<float> in(kBlock * 2, 0.25f);
    EXPECT_EQ(1, p->Init(AV_SAMPLE_FMT_FLT, kRate, 2, kBlock));
    EXPECT_TRUE(p->SetTempo(1.0));
    p->PutSamples(reinterpret_cast<uint8_t*>(in.data()), kBlock);
    EXPECT_EQ(kBlock, p->AvailableFrames());
}

// At tempo 1.0 the output equals the input frame for frame, after the float round trip.
class TempoIdentity : public ::testing::TestWithParam<int> {};

TEST_P(TempoIdentity, OutputEqualsRoundTrippedInput) {
    const int fmt = GetParam(), bps = BytesPerSample(fmt), frames = 3 * kBlock + 123;
    std::mt19937 rng(fmt + 1);
    std::vector<uint8_t> in(static_cast<size_t>(frames) * 2 * bps);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    if (fmt == AV_SAMPLE_FMT_FLT)
        for (size_t i = 0; i < in.size() / 4; ++i) reinterpret_cast<float*>(in.data())[i] = d(rng);
    else for (auto& b : in) b = static_cast<uint8_t>(rng());
    if (fmt == AV_SAMPLE_FMT_S16) {  // full-scale extremes too
        reinterpret_cast<int16_t*>(in.data())[0] = 32767;
        reinterpret_cast<int16_t*>(in.data())[1] = -32768;
    }
    std::vector<float> f(in.size() / bps);
    SamplesToFloat(fmt, in.data(), f.data(), f.size());
    std::vector<uint8_t> expected(in.size());
    SamplesFromFloat(fmt, f.data(), expected.data(), f.size());
    if (fmt != AV_SAMPLE_FMT_S32) { EXPECT_EQ(expected, in); }  // lossless below 25 bits
    std::unique_ptr<TempoProcessor> p(CreateTempoProcessor());
    ASSERT_EQ(1, p->Init(fmt, kRate, 2, kBlock));
    p->SetTempo(1.0);
    EXPECT_EQ(expected, Pump(*p, in.data(), frames, 2 * bps, 1000));
}

INSTANTIATE_TEST_SUITE_P(PackedFormats, TempoIdentity,
                         ::testing::Values(AV_SAMPLE_FMT_U8, AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_S32, AV_SAMPLE_FMT_FLT));

// Truncation toward zero, and values past full scale saturate instead of wrapping.
TEST(TempoConversion, TableValuesAndSaturation) {
    uint8_t u8[3] = {0, 128, 255};
    float f[3];
    SamplesToFloat(AV_SAMPLE_FMT_U8, u8, f, 3);
    EXPECT_EQ((std::vector<float>{-1.0f, 0.0f, 127.0f / 128.0f}), std::vector<float>(f, f + 3));
    const float in[6] = {0.5f / 32768.0f, -1.5f / 32768.0f, 1.0f, -1.0f, 1.7f, -3.0f};
    int16_t s16[6];
    SamplesFromFloat(AV_SAMPLE_FMT_S16, in, reinterpret_cast<uint8_t*>(s16), 6);
    EXPECT_EQ((std::vector<int16_t>{0, -1, 32767, -32768, 32767, -32768}), std::vector<int16_t>(s16, s16 + 6));
    int32_t s32[6];
    SamplesFromFloat(AV_SAMPLE_FMT_S32, in, reinterpret_cast<uint8_t*>(s32), 6);
    EXPECT_EQ((std::vector<int32_t>{INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN}),
              std::vector<int32_t>(s32 + 2, s32 + 6));
    uint8_t u8out[6];
    SamplesFromFloat(AV_SAMPLE_FMT_U8, in, u8out, 6);
    EXPECT_EQ((std::vector<uint8_t>{255, 0, 255, 0}), std::vector<uint8_t>(u8out + 2, u8out + 6));
}

// Faster and slower keep the pitch, in any channel layout; identical channels stay identical.
TEST(TempoStretch, FasterAndSlowerKeepPitch) {
    for (auto [tempo, ch] : {std::make_pair(1.5, 2), {0.75, 2}, {2.0, 1}, {2.0, 6}}) {
        SCOPED_TRACE(std::to_string(tempo) + " x" + std::to_string(ch));
        std::vector<float> in(6 * kRate * ch);
        for (size_t i = 0; i < in.size(); ++i)
            in[i] = 0.5f * static_cast<float>(std::sin(2.0 * M_PI * 440.0 * (i / ch) / kRate));
        std::unique_ptr<TempoProcessor> p(CreateTempoProcessor());
        ASSERT_EQ(1, p->Init(AV_SAMPLE_FMT_FLT, kRate, ch, kBlock));
        ASSERT_TRUE(p->SetTempo(tempo));
        const std::vector<uint8_t> bytes = Pump(*p, reinterpret_cast<const uint8_t*>(in.data()), 6 * kRate, 4 * ch);
        std::vector<float> out(bytes.size() / 4);
        std::memcpy(out.data(), bytes.data(), bytes.size());
        const size_t frames = out.size() / ch;
        EXPECT_NEAR(6.0 / tempo, static_cast<double>(frames) / kRate, 0.06 / tempo);
        EXPECT_NEAR(880.0, CrossingsPerSecond(out, ch, 0, kRate, frames / 10, frames * 9 / 10), 880.0 * 0.005);
        bool same = true;
        for (size_t i = 0; i < frames && same; ++i) same = out[ch * i] == out[ch * i + ch - 1];
        EXPECT_TRUE(same);
    }
}

}  // namespace
