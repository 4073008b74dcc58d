// Devices on a private PulseAudio server with null sinks (scripts/pulse-test-server): the WASAPI
// endpoints and their default, sinks appearing, the default sink moving, the sink in use going
// away or moved by the mixer while a player plays, and the server itself going away. What the
// drivers play is checked in RealServerRenderTest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "DeviceTestUtil.h"
#include "KvaAudioPlayer.h"
#include "KvaSoundSystem.h"
#include "common/PulseTestServer.h"
#include "common/RecordingObserver.h"
#include "device/Wasapi.h"
#include "platform/PulseSoundSystem.h"
#include "support/TextUtil.h"

using namespace kva_audioplayer;
using kva_test::PulseRecorder;
using kva_test::RecordingObserver;
using kva_test::WaitUntil;
using std::chrono::milliseconds;
using std::this_thread::sleep_for;

namespace {

float Peak(const std::vector<float>& samples) {
    float peak = 0;
    for (float v : samples) peak = std::max(peak, std::fabs(v));
    return peak;
}

// A player that plays `media` (on `device`, else the default); null when it did not start.
IKVAPlayer* Playing(RecordingObserver& obs, const std::string& media, const char16_t* device = nullptr) {
    IKVAPlayer* p = CMediaPlayerFactory::NewL(&obs);
    p->SetStartFadeTime(0);
    if (device) p->SetOutputDevice(kDeviceTypeWasapi, device);
    p->SetDataSource(media.c_str());
    p->PrepareAsync();
    EXPECT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPrepared, 5000));
    p->Play(false);
    EXPECT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStarted, 5000));
    sleep_for(milliseconds(300));
    return p;
}

bool Listed(IKVAPlayer* p, const std::u16string& name) {
    DeviceRecord r;
    for (int i = 0; i < p->GetOutputDeviceCount(); ++i)
        if (p->GetOutputDeviceInfo(i, &r) && std::u16string(r.szName) == name) return true;
    return false;
}

std::u16string DefaultId() {
    IMMDeviceEnumerator* e = nullptr;
    if (FAILED(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IMMDeviceEnumerator, reinterpret_cast<void**>(&e))))
        return u"";
    IMMDevice* d = nullptr;
    std::u16string out;
    if (SUCCEEDED(e->GetDefaultAudioEndpoint(eRender, eConsole, &d))) {
        LPWSTR id = nullptr;
        d->GetId(&id);
        out = id ? id : u"";
        CoTaskMemFree(id);
        d->Release();
    }
    e->Release();
    return out;
}

class PulseDeviceEvents : public kva_test::PulseServerTest<> {
protected:
    static void SetUpTestSuite() {
        PulseServerTest::SetUpTestSuite();
        const std::string media = Pulse().Dir() + "/long.wav";
        if (Pulse().Running()) sMedia = kva_test::MakeSineWav(media, 12, 330) ? media : std::string();
    }
    void SetUp() override {
        PulseServerTest::SetUp();
        if (!Ready()) return;
        ASSERT_FALSE(sMedia.empty());
        sys = snd::PulseSoundSystem::Connect(3000, Pulse().Server().c_str());
        ASSERT_TRUE(sys) << "cannot connect to " << Pulse().Server();
        snd::SetSoundSystem(sys);
    }
    void TearDown() override {
        if (p) p->Release();
        snd::SetSoundSystem(nullptr);
        sys.reset();
        PulseServerTest::TearDown();
    }

    std::shared_ptr<snd::PulseSoundSystem> sys;
    RecordingObserver obs;
    IKVAPlayer* p = nullptr;
    static std::string sMedia;
};
std::string PulseDeviceEvents::sMedia;
using WasapiPulseConcurrency = PulseDeviceEvents;

}  // namespace

TEST_F(WasapiPulseConcurrency, SinksAndDefault) {
    Wasapi w(u"");
    w.Init();
    ASSERT_GE(w.devices.size(), 3u);
    EXPECT_EQ(w.devices[0].name, Wasapi::kDefaultEntryName);
    EXPECT_EQ(w.devices[0].flag, 1);
    int found = 0;
    for (const AudioDeviceInfo& d : w.devices)
        found += (d.id == u"kva_test_a" && d.name == u"KVA Test Sink A") ||
                 (d.id == u"kva_test_b" && d.name == u"KVA Test Sink B");
    EXPECT_EQ(found, 2);
    // The default entry's device is the server's default sink, and follows it.
    EXPECT_EQ(Utf16ToUtf8(DefaultId()), kva_test::RunCommand("pactl get-default-sink"));
    EXPECT_EQ(DefaultId(), u"kva_test_a");
    Pulse().Pactl("set-default-sink kva_test_b");
    EXPECT_TRUE(WaitUntil([] { return DefaultId() == u"kva_test_b"; }));
}

TEST_F(WasapiPulseConcurrency, UnloadedSinkEndsInDeviceError) {
    std::string idx = Pulse().LoadSink("kva_test_gone", "KVA-Gone");
    ASSERT_FALSE(idx.empty());
    ASSERT_TRUE(WaitUntil([&] {
        snd::EndpointInfo info;
        return sys->GetEndpoint("kva_test_gone", &info);
    }));
    int counter = 0;
    kva_test::ScriptedObserver devObs(kva_test::PatternForever(&counter));
    Wasapi w(u"KVA-Gone");
    w.Init();
    AudioDescription mix = kva_test::MixDescription();
    ASSERT_EQ(w.Open(1, &mix), 0);
    w.SetObserver(&devObs);
    w.Play();
    ASSERT_TRUE(devObs.WaitCalls(20));
    Pulse().Unload(idx);
    ASSERT_TRUE(devObs.WaitError(10000)) << "no device error after the sink went";
    // Found by the write step (1) or while waiting for room (9, the device marked invalidated).
    const std::vector<int32_t> errors = devObs.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(w.GetErrorCode(), errors[0] == 1 ? -3 : -8);
    if (errors[0] == 1) EXPECT_EQ(uint32_t(w.GetSystemErrorCode()), 0x88890004u);
    else EXPECT_EQ(errors[0], 9);
    const int calls = devObs.Calls();
    sleep_for(milliseconds(100));
    EXPECT_EQ(devObs.Calls(), calls);  // the loop ended
    w.Close();
}

TEST_F(PulseDeviceEvents, LoadedSinkIsAnnouncedAndListed) {
    p = CMediaPlayerFactory::NewL(&obs);
    const int before = p->GetOutputDeviceCount();
    Pulse().LoadSink("kva_dyn_add", "KVA_Dyn_Add", "norewinds=1");
    ASSERT_TRUE(obs.WaitFor(kNotifyDeviceEvent, kDeviceEventAdded, 8000));
    EXPECT_EQ(before + 3, p->GetOutputDeviceCount());  // one entry under each driver
    EXPECT_TRUE(Listed(p, u"KVA_Dyn_Add"));
}

TEST_F(PulseDeviceEvents, DefaultSinkChangeMovesADefaultFollowingPlayer) {
    PulseRecorder rec;
    ASSERT_TRUE(rec.Start("kva_test_b.monitor", Pulse().Dir() + "/b.raw"));
    p = Playing(obs, sMedia);
    EXPECT_LT(Peak(rec.Read()), 0.01f);  // still on sink A
    Pulse().Pactl("set-default-sink kva_test_b");
    EXPECT_TRUE(WaitUntil([&] { return Peak(rec.Read()) > 0.03f; }, 8000));
    EXPECT_EQ(kStatusStarted, p->GetStatus());
    EXPECT_EQ(0, obs.Count(kNotifyStatus, kStatusError));
}

TEST_F(PulseDeviceEvents, UnloadingTheSinkInUseKeepsPlaying) {
    std::string idx = Pulse().LoadSink("kva_dyn_use", "KVA_Dyn_Use", "norewinds=1");
    PulseRecorder rec;
    ASSERT_TRUE(rec.Start("kva_test_a.monitor", Pulse().Dir() + "/a.raw"));
    p = Playing(obs, sMedia, u"KVA_Dyn_Use");
    EXPECT_LT(Peak(rec.Read()), 0.01f);  // playing on the loaded sink
    Pulse().Unload(idx);
    ASSERT_TRUE(obs.WaitFor(kNotifyDeviceEvent, kDeviceEventFailover, 8000));
    EXPECT_TRUE(WaitUntil([&] { return Peak(rec.Read()) > 0.03f; }, 8000));  // now on the default
    EXPECT_EQ(kStatusStarted, p->GetStatus());
    EXPECT_EQ(0, obs.Count(kNotifyStatus, kStatusError));
}

// The desktop's mixer moves the stream: it plays on there, reported as a move, not a failover.
TEST_F(PulseDeviceEvents, MixerMovingTheStreamIsFollowed) {
    PulseRecorder rec;
    ASSERT_TRUE(rec.Start("kva_test_b.monitor", Pulse().Dir() + "/moved.raw"));
    p = Playing(obs, sMedia);
    const std::string inputs = Pulse().Pactl("list short sink-inputs");
    ASSERT_FALSE(inputs.empty());
    Pulse().Pactl("move-sink-input " + inputs.substr(0, inputs.find_first_of(" \t")) + " kva_test_b");
    EXPECT_TRUE(obs.WaitFor(kNotifyDeviceEvent, kDeviceEventMoved, 8000));
    EXPECT_TRUE(WaitUntil([&] { return Peak(rec.Read()) > 0.03f; }, 8000));
    DeviceRecord current{};
    EXPECT_TRUE(p->GetCurrentOutputDevice(&current));
    EXPECT_EQ(u"KVA Test Sink B", std::u16string(current.szName));
    EXPECT_EQ(0, obs.Count(kNotifyDeviceEvent, kDeviceEventFailover));
    EXPECT_EQ(kStatusStarted, p->GetStatus());
}

// A server of the test's own, which it stops or kills, and a player on it.
class PulseServerLoss : public ::testing::Test {
protected:
    void Start(const char* prefix, KvaSoundSystemKind kind) {
        if (!server.Start(prefix) && !server.Installed()) GTEST_SKIP() << "pulseaudio is not installed";
        ASSERT_TRUE(server.Running()) << server.Error();
        const std::string media = server.Dir() + "/tone.wav";
        ASSERT_TRUE(kva_test::MakeSineWav(media, 20, 330));
        KvaSoundSystemConfig config;
        config.kind = kind;
        ASSERT_EQ(0, CMediaPlayerFactory::SelectSoundSystem(config));
        p = Playing(obs, media);
    }
    void TearDown() override {
        if (p) p->Release();
        snd::SetSoundSystem(nullptr);
    }
    kva_test::PulseTestServer server;
    RecordingObserver obs;
    IKVAPlayer* p = nullptr;
};

// An explicit PulseAudio choice whose server dies: one error and one status 9, nothing after.
TEST_F(PulseServerLoss, ExplicitChoiceReportsTheLossOnce) {
    Start("kvapulsedie", KvaSoundSystemKind::PulseAudio);
    if (IsSkipped() || HasFailure()) return;
    server.Stop();
    EXPECT_TRUE(obs.WaitFor(kNotifyStatus, kStatusError, 8000));
    sleep_for(milliseconds(1500));
    p->Play(false);  // a host trying again
    sleep_for(milliseconds(500));
    EXPECT_EQ(1, obs.Count(kNotifyStatus, kStatusError));
    EXPECT_EQ(1, obs.Count(kNotifyError));
}

// An automatic choice whose server dies plays on to the virtual output; once the server is back,
// a default-following player returns to it and the server's sinks are listed again.
TEST_F(PulseServerLoss, AutomaticChoiceReturnsToTheServerAndItsDevices) {
    Start("kvapulseback", KvaSoundSystemKind::Automatic);
    if (IsSkipped() || HasFailure()) return;
    server.Kill();
    EXPECT_TRUE(obs.WaitFor(kNotifyDeviceEvent, kDeviceEventFailover, 8000));
    EXPECT_EQ(int32_t(KvaSoundSystemKind::Virtual), CMediaPlayerFactory::CurrentSoundSystem());
    ASSERT_TRUE(server.Revive()) << server.Error();
    PulseRecorder rec;
    ASSERT_TRUE(rec.Start("kva_test_a.monitor", server.Dir() + "/back.raw"));
    EXPECT_TRUE(WaitUntil([&] { return Peak(rec.Read()) > 0.03f; }, 10000));
    EXPECT_TRUE(WaitUntil([&] { return Listed(p, u"KVA Test Sink B"); }, 5000));
    EXPECT_EQ(kStatusStarted, p->GetStatus());
    EXPECT_EQ(0, obs.Count(kNotifyStatus, kStatusError));
}
