// The three output back-ends on the virtual sound system. What they share runs once per
// back-end: what reaches the endpoint, pause and resume, underrun, loss of the endpoint, device
// choice, volume and the render thread's life. Each back-end's own geometry, formats and faults
// follow.
#include <cmath>

#include "DeviceTestUtil.h"
#include "device/DirectSound.h"
#include "device/Wasapi.h"
#include "device/WaveOut.h"

using namespace kva_audioplayer;
using namespace kva_test;
using std::chrono::milliseconds;
using std::this_thread::sleep_for;

namespace {

struct Backend {
    const char* name;
    AudioDevice* (*make)(const std::u16string& name);  // Init called
    size_t (*preroll)(AudioDevice&);  // silence written at Open, ahead of the data
    int32_t (*ask)(AudioDevice&);     // bytes each fill asks for
    int64_t preset;                   // the position each fill is handed
    const char* thread;               // the render thread's name (15 bytes kept)
    const char* driver;               // the emulated driver's thread, or null
    float halfGain;                   // what SetVolume(0.5) does to a sample
    bool swapsHandsFree;              // a hands-free default opens its stereo sibling
};
void PrintTo(const Backend& b, std::ostream* os) { *os << b.name; }

template <class D>
AudioDevice* Make(const std::u16string& name) { D* d = new D(name); return d->Init(), d; }
template <class D>
D& As(AudioDevice& d) { return static_cast<D&>(d); }
int32_t Step(AudioDevice& d) { return d.GetStepSize(); }

const Backend kWasapi = {
    "Wasapi", Make<Wasapi>, [](AudioDevice& d) { return size_t(As<Wasapi>(d).GetBufferFrames()) * 8; },
    [](AudioDevice& d) { return int32_t(As<Wasapi>(d).GetFramesPerPeriod()) * 8; }, -1,
    "WasapiRenderThr", nullptr, 0.5f, true};
const Backend kDirectSound = {
    "DirectSound", Make<DirectSound>,
    [](AudioDevice& d) { return size_t(As<DirectSound>(d).GetBufferSize()); }, Step, 0,
    "DSoundRenderThr", "KvaDSoundMix", float(std::pow(10.0, -1039 / 2000.0)), true};
const Backend kWaveOut = {
    "WaveOut", Make<WaveOut>, [](AudioDevice&) { return size_t(0); }, Step, -1,
    "WaveOutRenderTh", "KvaWaveOutDrv", 0x7FFF / 65535.0f, false};

std::string Name(const ::testing::TestParamInfo<Backend>& i) { return i.param.name; }

typedef std::unique_ptr<AudioDevice> Device;

class BackendConcurrency : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override { Make(true); }
    void TearDown() override { snd::SetSoundSystem(nullptr); }
    void Make(bool fast) { sys = MainAndSecond(fast); ASSERT_TRUE(DirectSound::LoadLibrary()); }
    Device Open(const std::u16string& name = u"", AudioDescription format = MixDescription()) {
        Device d(GetParam().make(name));
        EXPECT_EQ(d->Open(3, &format), 0);
        return d;
    }
    // Playing to obs; *self is the device before its first fill, for scripts that act on it.
    Device Playing(ScriptedObserver& obs, AudioDevice** self = nullptr) {
        Device d = Open();
        if (self) *self = d.get();
        d->SetObserver(&obs);
        EXPECT_EQ(d->Play(), 0);
        return d;
    }
    // Plays until the script made `calls` fills; true once `endpoint` got the pre-roll, the
    // data and the silence after it.
    bool PlayToEnd(AudioDevice& d, ScriptedObserver& obs, int calls,
                   const std::string& endpoint = "main") {
        d.SetObserver(&obs);
        if (d.Play() != 0 || !obs.WaitCalls(calls)) return false;
        const AudioDescription f = Output(d).first;
        const size_t tail = f.nSampleRate / 20 * f.nChannel * f.nBitsPerSample / 8;  // 50 ms
        const size_t want = GetParam().preroll(d) + obs.Delivered().size() + tail;
        return WaitUntil([&] { return sys->GetCaptured(endpoint).size() >= want; });
    }
    // The format the device plays, and whether it is not the one asked for.
    static std::pair<AudioDescription, bool> Output(AudioDevice& d) {
        std::pair<AudioDescription, bool> o{MakeDescription(0, 0, 0, 0), false};
        d.GetOutputFormat(&o.first, &o.second);
        return o;
    }
    long WakeUps() {
        return Threads(GetParam().thread, true) + (GetParam().driver ? Threads(GetParam().driver, true) : 0);
    }
    std::vector<uint8_t> Captured(const std::string& endpoint = "main") { return sys->GetCaptured(endpoint); }

    std::shared_ptr<snd::VirtualSoundSystem> sys;
    int counter = 0;
};

// The pre-roll, every byte delivered (a short last period too), 50 ms of silence, then rest.
TEST_P(BackendConcurrency, EveryByteThenSilenceThenRest) {
    ScriptedObserver obs(PatternThenEnd(20, &counter, true));
    Device d = Open();
    ASSERT_TRUE(PlayToEnd(*d, obs, 22));
    EXPECT_EQ(d->GetState(), 1);
    const int32_t ask = GetParam().ask(*d);
    EXPECT_EQ(obs.Delivered().size(), size_t(20 * ask + (ask / 2 & ~7)));
    EXPECT_EQ(obs.Asked(), std::vector<int32_t>(22, ask));
    EXPECT_EQ(obs.Presets(), std::vector<int64_t>(22, GetParam().preset));
    sleep_for(milliseconds(60));
    EXPECT_EQ(obs.Calls(), 22);
    EXPECT_TRUE(obs.Errors().empty());
    ASSERT_TRUE(sys->WaitDrained("main", 5000));
    const size_t lead = GetParam().preroll(*d);
    EXPECT_TRUE(PlayedThenSilence(Captured(), obs.Delivered(), lead));
    EXPECT_EQ(Captured().size(), lead + obs.Delivered().size() + 2205 * 8);
    // A new Play asks again.
    ASSERT_EQ(d->Play(), 0);
    EXPECT_TRUE(obs.WaitCalls(23));
}

// The host pauses while a period is filled: that period is played on resume, nothing is lost,
// and the paused device's threads sleep.
TEST_P(BackendConcurrency, PeriodFilledAtAPauseIsPlayedOnResume) {
    AudioDevice* device = nullptr;
    ScriptedObserver obs([&](int call, uint8_t* buffer, int32_t* length) {
        if (call == 3) device->Pause();
        return PatternThenEnd(6, &counter)(call, buffer, length);
    });
    Device d = Playing(obs, &device);
    ASSERT_TRUE(obs.WaitCalls(4));
    EXPECT_TRUE(WaitUntil([&] { return d->GetState() == 2; }));
    sleep_for(milliseconds(50));
    EXPECT_EQ(obs.Calls(), 4);
    const long woke = WakeUps();
    sleep_for(milliseconds(500));
    EXPECT_LE(WakeUps() - woke, 2);
    ASSERT_TRUE(PlayToEnd(*d, obs, 7));
    EXPECT_EQ(obs.Delivered().size(), 6u * GetParam().ask(*d));
    EXPECT_TRUE(PlayedThenSilence(Captured(), obs.Delivered(), GetParam().preroll(*d)));
}

// No data yet: asked again while playing, not once paused; then the data plays whole.
TEST_P(BackendConcurrency, NoDataIsAskedAgainOnlyWhilePlaying) {
    AudioDevice* device = nullptr;
    ScriptedObserver obs([&](int call, uint8_t* buffer, int32_t* length) {
        if (call < 6) {
            if (call == 5) device->SetState(2);
            *length = 0;
            return -19;
        }
        return PatternThenEnd(9, &counter)(call - 6, buffer, length);
    });
    Device d = Playing(obs, &device);
    ASSERT_TRUE(obs.WaitCalls(6));
    sleep_for(milliseconds(40));
    EXPECT_EQ(obs.Calls(), 6);
    EXPECT_TRUE(obs.Delivered().empty());
    ASSERT_TRUE(PlayToEnd(*d, obs, 6 + 10));
    EXPECT_TRUE(obs.Errors().empty());
    EXPECT_TRUE(PlayedThenSilence(Captured(), obs.Delivered(), GetParam().preroll(*d)));
}

// Losing the endpoint while it plays in real time: one error 9, the loop ends, and the device
// opened again plays on what became the default.
TEST_P(BackendConcurrency, EndpointLossIsOneError9) {
    Make(false);
    ScriptedObserver obs(PatternForever(&counter)), again(PatternThenEnd(3, &counter));
    Device d = Playing(obs);
    ASSERT_TRUE(obs.WaitCalls(9));
    EXPECT_GT(d->QueuedMs(), 0);
    sys->RemoveEndpoint("main");
    ASSERT_TRUE(obs.WaitError());
    EXPECT_EQ(d->GetErrorCode(), -8);
    sleep_for(milliseconds(60));
    const int calls = obs.Calls();
    sleep_for(milliseconds(60));
    EXPECT_EQ(std::make_tuple(obs.Calls(), obs.Errors()), std::make_tuple(calls, std::vector<int32_t>{9}));

    sys->SetFast(true);
    AudioDescription mix = MixDescription();
    ASSERT_EQ(d->Open(4, &mix), 0);
    ASSERT_TRUE(PlayToEnd(*d, again, 4, "second"));
    EXPECT_TRUE(PlayedThenSilence(Captured("second"), again.Delivered(), GetParam().preroll(*d)));
}

// A named device plays on its endpoint alone; an unknown name or the default entry on the
// default endpoint.
TEST_P(BackendConcurrency, DeviceChoice) {
    sys->SetDefaultEndpoint("second");
    const std::u16string defaultEntry = Device(GetParam().make(u""))->devices.at(0).name;
    const struct { std::u16string name; const char* endpoint; } cases[] = {
        {u"Speakers (Main)", "main"}, {u"No Such Device", "second"}, {defaultEntry, "second"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.endpoint);
        for (const char* e : {"main", "second"}) sys->ClearCaptured(e);
        ScriptedObserver obs(PatternThenEnd(2, &counter));
        Device d = Open(c.name);
        ASSERT_TRUE(PlayToEnd(*d, obs, 3, c.endpoint));
        EXPECT_TRUE(PlayedThenSilence(Captured(c.endpoint), obs.Delivered(), GetParam().preroll(*d)));
        EXPECT_TRUE(Captured(c.endpoint[0] == 'm' ? "second" : "main").empty());
    }
    // A default that is a headset's hands-free endpoint.
    sys->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("hf", u"Headset (Buds Hands-Free AG Audio)",
                                                            u"Buds Hands-Free AG Audio"),
                     true);
    sys->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("st", u"Headphones (Buds Stereo)", u"Buds Stereo"));
    for (const char* e : {"hf", "st"}) sys->SetCapture(e, true);
    const char* heard = GetParam().swapsHandsFree ? "st" : "hf";
    ScriptedObserver obs(PatternThenEnd(2, &counter)), named(PatternThenEnd(2, &counter));
    Device d = Open(defaultEntry);
    ASSERT_TRUE(PlayToEnd(*d, obs, 3, heard));
    EXPECT_TRUE(Captured(heard[0] == 's' ? "hf" : "st").empty());
    d.reset();
    // Asked for by name, the hands-free endpoint is what opens.
    sys->ClearCaptured("st");
    d = Open(u"Headset (Buds Hands-Free AG Audio)");
    ASSERT_TRUE(PlayToEnd(*d, named, 3, "hf"));
    EXPECT_TRUE(Captured("st").empty());
}

TEST_P(BackendConcurrency, VolumeScalesWhatIsPlayed) {
    ScriptedObserver obs(PatternThenEnd(2, &counter));
    Device d = Open();
    ASSERT_EQ(d->SetVolume(0.5f), 0);
    ASSERT_TRUE(PlayToEnd(*d, obs, 3));
    const size_t lead = GetParam().preroll(*d);
    const std::vector<uint8_t> want = obs.Delivered(), got = Captured();
    ASSERT_GE(got.size(), lead + want.size());
    for (size_t i = 0; i < want.size(); i += 4) {
        float w, g;
        memcpy(&w, &want[i], 4);
        memcpy(&g, &got[lead + i], 4);
        ASSERT_NEAR(g, w * GetParam().halfGain, 1e-6f) << i;
    }
}

TEST_P(BackendConcurrency, RenderThreadEndsOnCloseAndDestruction) {
    const int before = Threads(GetParam().thread);
    ScriptedObserver obs(PatternForever(&counter));
    {
        Device d = Open();
        EXPECT_TRUE(WaitUntil([&] { return Threads(GetParam().thread) == before + 1; }));
        AudioDescription mix = MixDescription();
        ASSERT_EQ(d->Open(2, &mix), 0);
        EXPECT_EQ(Threads(GetParam().thread), before + 1);  // reopening keeps it
        d->SetObserver(&obs);
        d->Play();
        ASSERT_TRUE(obs.WaitCalls(3));
        d->Close();
        const int calls = obs.Calls();
        sleep_for(milliseconds(30));
        EXPECT_LE(obs.Calls(), calls + 1);
        d->Close();  // twice is harmless
        // Destroyed while playing, and after its endpoint failed under it.
        Device v = Playing(obs);
        ASSERT_TRUE(obs.WaitCalls(obs.Calls() + 3));
        v.reset();
        Device s = Playing(obs);
        ASSERT_TRUE(obs.WaitCalls(obs.Calls() + 1));
        sys->SetEndpointState("main", snd::kStateDisabled);
    }
    EXPECT_EQ(Threads(GetParam().thread), before);
}

INSTANTIATE_TEST_SUITE_P(, BackendConcurrency, ::testing::Values(kWasapi, kDirectSound, kWaveOut), Name);

class WasapiConcurrency : public BackendConcurrency {};
INSTANTIATE_TEST_SUITE_P(, WasapiConcurrency, ::testing::Values(kWasapi), Name);

TEST_P(WasapiConcurrency, FormatNegotiation) {
    // 48 kHz 16-bit asked, the endpoint takes only its mix format: the closest record.
    const AudioDescription s16 = MakeDescription(48000, 2, 1, 16, 0x3);
    Device d = Open(u"", s16);
    Wasapi& w = As<Wasapi>(*d);
    EXPECT_TRUE(Output(w) == std::make_pair(MixDescription(), true));
    EXPECT_EQ(w.GetState(), 2);  // Open leaves it paused
    // The same format is the one asked for, whatever the endpoint took.
    EXPECT_TRUE(w.IsSameFormat(s16));
    AudioDescription other = s16;
    other.nChannelLayout = 0x4;
    EXPECT_FALSE(w.IsSameFormat(other));
    // Six channels end on the stereo mix format with a matching block alignment.
    const AudioDescription six = MakeDescription(48000, 6, 1, 16, 0x60F);
    ASSERT_EQ(w.Open(8, &six), 0);
    EXPECT_EQ(std::make_tuple(w.GetWaveFormat().Format.nBlockAlign, w.GetWaveFormat().dwChannelMask), std::make_tuple(8, 0x3u));
    // An endpoint that takes anything keeps the request...
    sys->SetAcceptAnyFormat("main", true);
    ASSERT_EQ(w.Open(9, &s16), 0);
    EXPECT_TRUE(Output(w) == std::make_pair(s16, false));
    // ...unless it refuses it without a closest match: the mix format then.
    sys->RefuseFormat("main", snd::Format{48000, 2, 16, false, 0});
    ASSERT_EQ(w.Open(10, &s16), 0);
    EXPECT_TRUE(Output(w).first == MixDescription());
    // Nothing acceptable: -5; Play then answers 0 and changes nothing.
    sys->SetRefuseAllFormats("main", true);
    EXPECT_EQ(w.Open(11, &s16), -5);
    EXPECT_EQ(w.GetErrorCode(), -5);
    EXPECT_NE(w.GetSystemErrorCode(), 0);
    const int state = w.GetState();
    EXPECT_EQ(w.Play(), 0);
    EXPECT_EQ(w.GetState(), state);
}

TEST_P(WasapiConcurrency, PeriodAndStepSize) {
    const struct { uint32_t periodFrames; int rate; uint32_t periodMs; int step; } cases[] = {
        {441, 44100, 10, 3528}, {512, 44100, 11, 3880}, {480, 48000, 10, 3840}, {1024, 48000, 21, 8064}};
    for (const auto& c : cases) {
        snd::EndpointInfo info = snd::VirtualSoundSystem::MakeEndpoint("p", u"Period");
        info.periodFrames = c.periodFrames;
        info.mixFormat.sampleRate = c.rate;
        sys->AddEndpoint(info);
        Device d = Open(u"Period", MakeDescription(c.rate, 2, 3, 32, 0x3));
        EXPECT_EQ(std::make_tuple(As<Wasapi>(*d).GetPeriodMs(), As<Wasapi>(*d).GetFramesPerPeriod(), d->GetStepSize()),
                  std::make_tuple(c.periodMs, c.periodFrames, c.step)) << c.periodFrames;
        d.reset();
        sys->RemoveEndpoint("p");
    }
}

// Failures inside fill number `at` reach the observer once, and end the loop.
TEST_P(WasapiConcurrency, FailuresReachTheObserver) {
    const struct {
        int at;
        int32_t fault;  // 0: endpoint invalidated while waiting
        int32_t error, code;
        uint32_t system;
    } cases[] = {{3, snd::kInvalidated, 1, -3, 0x88890004u}, {1, snd::kFailed, 2, -3, 0}, {2, 0, 9, -8, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        ScriptedObserver obs([&](int call, uint8_t* buf, int32_t* len) {
            if (call == c.at && c.fault) {
                sys->SetFaultResult(c.fault);
                sys->InjectFault(snd::kFaultWrite, 1);
            } else if (call == c.at) {
                sys->InvalidateEndpoint("main");
            }
            memset(buf, 0, *len);
            return 0;
        });
        Device d = Playing(obs);
        ASSERT_TRUE(obs.WaitError());
        sleep_for(milliseconds(30));
        EXPECT_EQ(std::make_tuple(obs.Errors(), d->GetErrorCode()), std::make_tuple(std::vector<int32_t>{c.error}, c.code));
        if (c.system) {
            EXPECT_EQ(uint32_t(d->GetSystemErrorCode()), c.system);
        }
        EXPECT_EQ(obs.Calls(), c.at + 1);
        d.reset();
        sys = MainAndSecond(true);
    }
}

// -12 (an error state) pauses the device; any other status ends the loop, still playing.
TEST_P(WasapiConcurrency, ErrorAndOtherStatusesEndTheFills) {
    for (auto c : {std::make_pair(-12, 2), std::make_pair(-10, 1)}) {
        SCOPED_TRACE(c.first);
        ScriptedObserver obs([&](int, uint8_t*, int32_t* len) { *len = 0; return c.first; });
        Device d = Playing(obs);
        ASSERT_TRUE(obs.WaitCalls(1));
        EXPECT_TRUE(WaitUntil([&] { return d->GetState() == c.second; }));
        sleep_for(milliseconds(30));
        EXPECT_EQ(std::make_tuple(obs.Calls(), d->GetState()), std::make_tuple(1, c.second));
        EXPECT_TRUE(obs.Errors().empty());
    }
}

TEST_P(WasapiConcurrency, StopPlayAgainAndFlush) {
    ScriptedObserver obs([&](int, uint8_t* buf, int32_t* len) { memset(buf, 0, *len); return 0; });
    Device d = Playing(obs);
    Wasapi& w = As<Wasapi>(*d);
    ASSERT_TRUE(obs.WaitCalls(3));
    w.Stop();
    EXPECT_EQ(std::make_tuple(w.GetState(), w.GetPlayedTime()), std::make_tuple(3, 0));
    // The client still runs after Stop; Play resumes the loop.
    w.Play();
    EXPECT_EQ(w.GetState(), 1);
    EXPECT_TRUE(obs.WaitCalls(obs.Calls() + 3));
    w.Pause();
    // The fast endpoint takes every write at once, so a one-period push write fits while paused.
    // No flush may be in flight here: the render thread would clear the count after the write.
    std::vector<uint8_t> block(w.GetFramesPerPeriod() * 8, 0);
    ASSERT_TRUE(WaitUntil([&] {
        return w.Write(block.data(), int32_t(block.size()), 1.0) == 0 && w.GetBytesWritten() > 0;
    }));
    EXPECT_EQ(w.GetBytesWritten(), int64_t(block.size()));
    EXPECT_GT(w.GetPlayedTime(), 0);
    // A stopped device's flush does nothing; paused again, it clears the count.
    w.Stop();
    w.RequestFlush();
    sleep_for(milliseconds(30));
    EXPECT_EQ(w.GetBytesWritten(), int64_t(block.size()));
    w.Pause();
    w.RequestFlush();
    EXPECT_TRUE(WaitUntil([&] { return w.GetBytesWritten() == 0; }));
}

TEST(DriverArithmetic, StepsAndVolumeValues) {
    const std::pair<int, int> steps[] = {{22050, 512},  {22051, 1024}, {48000, 1024},
                                         {48001, 2048}, {96000, 2048}, {192000, 4096}};
    for (auto s : steps) EXPECT_EQ(DirectSound::FramesPerStep(s.first), s.second) << s.first;
    // Very quiet levels stay at the floor the buffer accepts instead of being refused.
    const std::pair<float, LONG> levels[] = {{0.5f, -1039}, {0.0f, -10000}, {1.0f, 0},
                                             {3.0f, 0},     {-0.5f, -10000}, {0.0001f, -10000}};
    for (auto l : levels) EXPECT_EQ(DirectSound::VolumeToAttenuation(l.first), l.second) << l.first;
    // waveOut, 48 kHz stereo 16-bit: 38400 bytes per 200 ms, in units of 2048: 18 units and a
    // rest; an exact multiple gets no extra unit.
    const std::pair<AudioDescription, int32_t> bytes[] = {
        {MakeDescription(48000, 2, 1, 16), 38912}, {MakeDescription(8000, 1, 1, 16), 4096},
        {MakeDescription(10240, 1, 1, 8), 2048}, {MakeDescription(44100, 2, 3, 32), 71680}};
    for (auto s : bytes) EXPECT_EQ(WaveOut::ComputeStepSize(s.first, 200), s.second) << s.second;
    const std::pair<float, DWORD> values[] = {{0.5f, 0x7FFF7FFFu}, {1.2f, 0xFFFFFFFFu}, {1.0f, 0xFFFFFFFFu},
                                              {-1.0f, 0u},         {0.0f, 0u},          {0.25f, 0x3FFF3FFFu}};
    for (auto l : values) EXPECT_EQ(WaveOut::VolumeValue(l.first), l.second) << l.first;
}

class DirectSoundConcurrency : public BackendConcurrency {};
INSTANTIATE_TEST_SUITE_P(, DirectSoundConcurrency, ::testing::Values(kDirectSound), Name);

TEST_P(DirectSoundConcurrency, LoaderFailureLeavesTheDriverUnavailable) {
    sys->InjectFault(kFaultDSoundLoad, 1);
    EXPECT_FALSE(DirectSound::LoadLibrary());
    const AudioDescription mix = MixDescription();
    for (int loaded : {0, 1}) {
        if (loaded) {
            EXPECT_TRUE(DirectSound::LoadLibrary());
        }
        DirectSound d(u"");
        EXPECT_EQ(d.CheckAvailable(), loaded - 1);
        EXPECT_EQ(d.Init(), 1 - loaded);
        EXPECT_EQ(d.devices.empty(), !loaded);
        EXPECT_EQ(d.Open(1, &mix), loaded ? 0 : -5);
    }
}

// A fill asks for a segment (two steps), which a small format makes small; a rate the endpoint
// lacks falls back to 44.1 kHz stereo 16-bit; no stream or no format to open: -6.
TEST_P(DirectSoundConcurrency, FillSizeFormatFallbackAndOpenFailures) {
    const AudioDescription s16 = MakeDescription(44100, 2, 1, 16, 0x3);
    // Unsigned 8-bit samples rest at 0x80.
    const struct { AudioDescription format; int32_t step; uint8_t silence; } cases[] = {
        {s16, 4096, 0}, {MakeDescription(44100, 1, 1, 16, 0x4), 2048, 0}, {MakeDescription(44100, 2, 0, 8, 0x3), 2048, 0x80}};
    sys->SetAcceptAnyFormat("main", true);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        sys->ClearCaptured("main");
        ScriptedObserver obs(PatternThenEnd(12, &counter));
        Device d = Open(u"", c.format);
        EXPECT_EQ(std::make_tuple(Output(*d).second, d->GetStepSize(), As<DirectSound>(*d).GetBufferSize()),
                  std::make_tuple(false, c.step, 8 * c.step));
        ASSERT_TRUE(PlayToEnd(*d, obs, 13));
        EXPECT_EQ(obs.Asked(), std::vector<int32_t>(13, 2 * c.step));
        EXPECT_TRUE(PlayedThenSilence(Captured(), obs.Delivered(), As<DirectSound>(*d).GetBufferSize(), c.silence));
    }
    sys->SetAcceptAnyFormat("main", false);
    Device d = Open(u"", MakeDescription(48000, 6, 3, 32, 0x60F));
    EXPECT_TRUE(Output(*d) == std::make_pair(s16, true));
    EXPECT_EQ(d->GetStepSize(), 4 * 6 * 1024);  // in the asked format's samples
    sys->InjectFault(snd::kFaultOpen, 4);
    d.reset(GetParam().make(u""));
    EXPECT_EQ(d->Open(4, &s16), -6);
    EXPECT_EQ(sys->PendingFaults(snd::kFaultOpen), 0);
    sys->SetRefuseAllFormats("main", true);
    d.reset(GetParam().make(u""));
    EXPECT_EQ(d->Open(4, &s16), -6);
    EXPECT_EQ(d->GetErrorCode(), -6);
}

// A buffer lost once is restored with its data; one that stops by itself is restarted.
TEST_P(DirectSoundConcurrency, LostOrStalledBufferPlaysOnWhole) {
    for (const char* fault : {snd::kFaultDSoundLost, kFaultDSoundStall}) {
        SCOPED_TRACE(fault);
        sys->ClearCaptured("main");
        ScriptedObserver obs([&](int call, uint8_t* buffer, int32_t* length) {
            if (call == 3) sys->InjectFault(fault, 1);
            return PatternThenEnd(40, &counter)(call, buffer, length);
        });
        Device d = Open();
        ASSERT_TRUE(PlayToEnd(*d, obs, 41));
        EXPECT_EQ(sys->PendingFaults(fault), 0);
        EXPECT_TRUE(obs.Errors().empty());
        EXPECT_EQ(d->GetErrorCode(), 0);
        EXPECT_TRUE(PlayedThenSilence(Captured(), obs.Delivered(), As<DirectSound>(*d).GetBufferSize()));
    }
}

TEST_P(DirectSoundConcurrency, BufferLostForGoodReachesThePlayer) {
    ScriptedObserver obs([&](int call, uint8_t* buffer, int32_t* length) {
        if (call == 3) sys->InjectFault(snd::kFaultDSoundLost, -1);
        return PatternThenEnd(1000, &counter)(call, buffer, length);
    });
    Device d = Playing(obs);
    ASSERT_TRUE(obs.WaitError());
    sys->ClearFaults();
    EXPECT_EQ(std::make_tuple(obs.Errors(), d->GetErrorCode()), std::make_tuple(std::vector<int32_t>{9}, -8));
    const int calls = obs.Calls();
    sleep_for(milliseconds(50));
    EXPECT_EQ(obs.Calls(), calls);
    // Lost at Play: four restores, then the failure is answered.
    sys->InjectFault(snd::kFaultDSoundLost, -1);
    EXPECT_EQ(d->Play(), -3);
    EXPECT_EQ(std::make_tuple(d->GetErrorCode(), uint32_t(d->GetSystemErrorCode()), d->GetState()),
              std::make_tuple(-3, 0x88780096u, 2));
}

TEST_P(DirectSoundConcurrency, FaultInsideTheLibraryIsCaught) {
    ScriptedObserver obs(PatternThenEnd(4, &counter)), obs2(PatternForever(&counter));
    Device d = Open();
    d->SetObserver(&obs);
    sys->InjectFault(kFaultDSoundFault, 1);
    EXPECT_EQ(d->Play(), 2);  // the play call faulted
    EXPECT_EQ(std::make_tuple(d->GetState(), obs.Calls()), std::make_tuple(2, 0));
    ASSERT_TRUE(PlayToEnd(*d, obs, 5));
    EXPECT_TRUE(WaitUntil([&] { return As<DirectSound>(*d).GetBytesWritten() == 4 * 8192 + 2205 * 8; }));
    sys->InjectFault(kFaultDSoundFault, 1);
    EXPECT_EQ(d->SetVolume(0.5f), 1);  // the guarded call failed
    EXPECT_EQ(d->SetVolume(0.5f), 0);
    // Only the render loop makes guarded calls now: its next position read faults.
    d->SetObserver(&obs2);
    ASSERT_EQ(d->Play(), 0);
    sys->InjectFault(kFaultDSoundFault, 1);
    ASSERT_TRUE(obs2.WaitError());
    EXPECT_EQ(std::make_tuple(obs2.Errors(), d->GetErrorCode()), std::make_tuple(std::vector<int32_t>{9}, -3));
    d.reset();
    EXPECT_EQ(DirectSound(u"").SetVolume(0.5f), 1);  // no buffer, nothing to set
}

TEST_P(DirectSoundConcurrency, RealTimePlaybackPacesItself) {
    Make(false);
    ScriptedObserver obs(PatternForever(&counter));
    Device d = Playing(obs);
    ASSERT_TRUE(obs.WaitCalls(12, 10000));
    EXPECT_TRUE(obs.Errors().empty());
    // Paced by the play cursor: never more written than played, less the step just written.
    EXPECT_LE(As<DirectSound>(*d).GetBytesWritten() + 8192, int64_t(Captured().size()));
    ASSERT_TRUE(WaitUntil([&] { return Captured().size() > 65536u + 8192u; }, 10000));
    const std::vector<uint8_t> want = obs.Delivered(), got = Captured();
    EXPECT_TRUE(std::equal(want.begin(), want.begin() + 8192, got.begin() + 65536));
    d->Stop();
    EXPECT_EQ(d->GetState(), 2);
    // Stopped, the mixer sleeps (it woke every 10 ms).
    sleep_for(milliseconds(50));
    const long woke = Threads("KvaDSoundMix", true);
    sleep_for(milliseconds(500));
    EXPECT_LE(Threads("KvaDSoundMix", true) - woke, 2);
}

class WaveOutConcurrency : public BackendConcurrency {};
INSTANTIATE_TEST_SUITE_P(, WaveOutConcurrency, ::testing::Values(kWaveOut), Name);

// Product names hold 31 characters: the cut name still opens its device; the default entry opens
// the mapper's preferred one.
TEST_P(WaveOutConcurrency, CutNamesAndTheDefaultEntryOpenTheirDevice) {
    const std::u16string longName = u"Speakers (High Definition Audio Device With A Long Name)";
    sys->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("long", longName));
    Device d = Open(longName.substr(0, 31));
    EXPECT_EQ(As<WaveOut>(*d).GetOpenedDeviceId(), 2u);
    sys->SetDefaultEndpoint("second");
    EXPECT_EQ(As<WaveOut>(*(d = Open(d->devices.at(0).name))).GetOpenedDeviceId(), 1u);
    // No endpoint left: the mapper has no preferred device to name.
    for (const char* id : {"main", "second", "long"}) sys->SetEndpointState(id, snd::kStateDisabled);
    DWORD id = 0, status = 0;
    EXPECT_EQ(waveOutMessage(reinterpret_cast<HWAVEOUT>(uintptr_t(WAVE_MAPPER)), DRVM_MAPPER_PREFERRED_GET,
                             reinterpret_cast<DWORD_PTR>(&id), reinterpret_cast<DWORD_PTR>(&status)),
              MMRESULT(MMSYSERR_NODRIVER));
}

TEST_P(WaveOutConcurrency, FormatFallbacksInOrder) {
    auto pcm = [](int rate, int channels, int bits) { return snd::Format{rate, channels, bits, false, 0}; };
    sys->SetAcceptAnyFormat("main", true);
    const AudioDescription asked = MakeDescription(48000, 6, 1, 16, 0x60F);
    sys->RefuseFormat("main", pcm(48000, 6, 16));
    // Refused as asked: stereo 44.1 kHz with the same samples; then the standard 16-bit
    // stereo formats 48 kHz, 44.1 kHz, 96 kHz in that order.
    const struct { int refuse, rate; } probes[] = {{0, 44100}, {44100, 48000}, {48000, 96000}};
    for (const auto& p : probes) {
        if (p.refuse) sys->RefuseFormat("main", pcm(p.refuse, 2, 16));
        Device d = Open(u"", asked);
        const AudioDescription want = MakeDescription(p.rate, 2, 1, 16, 0x3);
        EXPECT_TRUE(Output(*d) == std::make_pair(want, true)) << p.rate;
        EXPECT_EQ(As<WaveOut>(*d).GetWaveFormat().Format.nSamplesPerSec, DWORD(p.rate));
        EXPECT_EQ(d->GetStepSize(), WaveOut::ComputeStepSize(want, 200));
    }
    // 44.1 kHz comes before 96 kHz: with it back (as float refused), it wins.
    sys->ClearRefusedFormats("main");
    for (auto f : {pcm(48000, 6, 16), pcm(48000, 2, 16), snd::Format{48000, 6, 32, true, 0}, snd::Format()})
        sys->RefuseFormat("main", f);
    EXPECT_TRUE(Output(*Open(u"", MakeDescription(48000, 6, 3, 32, 0x60F))).first ==
                MakeDescription(44100, 2, 1, 16, 0x3));
    // Nothing acceptable: -6, and the driver's answer kept.
    sys->SetRefuseAllFormats("main", true);
    Device d(GetParam().make(u""));
    EXPECT_EQ(d->Open(4, &asked), -6);
    EXPECT_EQ(std::make_pair(d->GetErrorCode(), d->GetSystemErrorCode()), std::make_pair(-6, 32));  // WAVERR_BADFORMAT
    EXPECT_EQ(As<WaveOut>(*d).GetHandle(), nullptr);
}

// Stop returns the queued headers and starts the position again; the same format again flushes
// instead of reopening, another format opens anew.
TEST_P(WaveOutConcurrency, StopAndReopenDropWhatIsQueued) {
    Device d = Open();
    WaveOut& w = As<WaveOut>(*d);
    EXPECT_EQ(w.GetState(), 3);  // Open leaves the state alone
    std::vector<uint8_t> chunk(w.GetStepSize(), 0x40);
    auto queue = [&] {
        ASSERT_EQ(waveOutPause(w.GetHandle()), MMSYSERR_NOERROR);
        ASSERT_EQ(w.Write(chunk.data(), int32_t(chunk.size()), 1.0), 0);
        ASSERT_TRUE(w.HasQueuedBuffers());
    };
    queue();
    ASSERT_EQ(w.Stop(), 0);
    EXPECT_FALSE(w.HasQueuedBuffers());
    MMTIME t;
    t.wType = TIME_BYTES;
    ASSERT_EQ(waveOutGetPosition(w.GetHandle(), &t, sizeof(t)), MMSYSERR_NOERROR);
    EXPECT_EQ(t.u.cb, 0u);
    HWAVEOUT first = w.GetHandle();
    queue();
    const AudioDescription mix = MixDescription(), s16 = MakeDescription(44100, 2, 1, 16, 0x3);
    ASSERT_EQ(w.Open(9, &mix), 0);
    EXPECT_EQ(w.GetHandle(), first);
    EXPECT_FALSE(w.HasQueuedBuffers());
    EXPECT_TRUE(Captured().empty());
    ASSERT_EQ(w.Open(10, &s16), 0);
    EXPECT_EQ(w.GetWaveFormat().Format.wBitsPerSample, 16);
    EXPECT_EQ(w.GetStepSize(), 36864);  // 35280 bytes, 18 units of 2048
}

TEST_P(WaveOutConcurrency, MissingDriverWhileWritingInvalidatesTheDevice) {
    ScriptedObserver obs(PatternThenEnd(50, &counter, true));
    Device d = Open();
    d->SetObserver(&obs);
    sys->InjectFault(snd::kFaultWaveOutNoDriver, 1);
    ASSERT_EQ(d->Play(), 0);
    ASSERT_TRUE(obs.WaitError());
    EXPECT_EQ(obs.Errors(), std::vector<int32_t>{9});
    EXPECT_EQ(std::make_pair(d->GetErrorCode(), d->GetSystemErrorCode()), std::make_pair(-8, 6));  // MMSYSERR_NODRIVER
    EXPECT_EQ(obs.Calls(), 1);  // the loop ended with the failed write
    EXPECT_TRUE(Captured().empty());
    // The same format after a failure opens anew, and plays.
    const AudioDescription mix = MixDescription();
    ASSERT_EQ(d->Open(5, &mix), 0);
    EXPECT_EQ(d->GetErrorCode(), 0);
    ASSERT_EQ(d->Play(), 0);
    ASSERT_TRUE(obs.WaitCalls(10));
    EXPECT_EQ(obs.Errors().size(), 1u);
    DWORD value = 0;
    ASSERT_EQ(d->SetVolumeLevel(2.0f), 0);
    ASSERT_EQ(waveOutGetVolume(As<WaveOut>(*d).GetHandle(), &value), MMSYSERR_NOERROR);
    EXPECT_EQ(value, 0xFFFFFFFFu);
}

}  // namespace
