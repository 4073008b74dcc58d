// Hot-plug against a private PulseAudio server with null sinks (scripts/pulse-test-server): sinks
// appearing, the default sink moving, and the sink in use going away while a player plays.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "KvaAudioPlayer.h"
#include "KvaSoundSystem.h"
#include "common/PulseTestServer.h"
#include "common/RecordingObserver.h"
#include "common/TestProcess.h"
#include "platform/PulseSoundSystem.h"
#include "platform/SoundSystem.h"

using namespace kva_audioplayer;
using kva_test::PulseRecorder;
using kva_test::RecordingObserver;
using kva_test::WaitUntil;

namespace {

float Peak(const std::vector<float>& samples) {
    float peak = 0;
    for (float v : samples) peak = std::max(peak, std::fabs(v));
    return peak;
}

class PulseDeviceEvents : public kva_test::PulseServerTest<> {
protected:
    static void SetUpTestSuite() {
        PulseServerTest::SetUpTestSuite();
        if (!Pulse().Running()) return;
        const std::string media = Pulse().Dir() + "/long.wav";
        sMedia = kva_test::MakeSineWav(media, 12, 330) ? media : std::string();
    }
    void SetUp() override {
        PulseServerTest::SetUp();
        if (!Ready()) return;
        ASSERT_FALSE(sMedia.empty());
        auto sys = snd::PulseSoundSystem::Connect(3000, Pulse().Server().c_str());
        ASSERT_TRUE(sys);
        snd::SetSoundSystem(sys);
    }
    void TearDown() override {
        snd::SetSoundSystem(nullptr);
        PulseServerTest::TearDown();
    }

    static std::string LoadSink(const std::string& name, const std::string& description) {
        return Pulse().LoadSink(name, description, "norewinds=1");
    }
    IKVAPlayer* Playing(RecordingObserver& obs, const char16_t* device = nullptr) {
        IKVAPlayer* p = CMediaPlayerFactory::NewL(&obs);
        p->SetStartFadeTime(0);
        if (device) p->SetOutputDevice(kDeviceTypeWasapi, device);
        p->SetDataSource(sMedia.c_str());
        p->PrepareAsync();
        EXPECT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPrepared, 5000));
        p->Play(false);
        EXPECT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStarted, 5000));
        return p;
    }

    static std::string sMedia;
};
std::string PulseDeviceEvents::sMedia;

}  // namespace

TEST_F(PulseDeviceEvents, LoadedSinkIsAnnouncedAndListed) {
    RecordingObserver obs;
    IKVAPlayer* p = CMediaPlayerFactory::NewL(&obs);
    int before = p->GetOutputDeviceCount();
    LoadSink("kva_dyn_add", "KVA_Dyn_Add");
    ASSERT_TRUE(obs.WaitFor(kNotifyDeviceEvent, kDeviceEventAdded, 8000));
    EXPECT_EQ(before + 3, p->GetOutputDeviceCount());  // one entry under each driver
    bool listed = false;
    for (int i = 0; i < p->GetOutputDeviceCount(); ++i) {
        DeviceRecord r;
        if (p->GetOutputDeviceInfo(i, &r) && std::u16string(r.szName) == u"KVA_Dyn_Add") listed = true;
    }
    EXPECT_TRUE(listed);
    p->Release();
}

TEST_F(PulseDeviceEvents, DefaultSinkChangeMovesADefaultFollowingPlayer) {
    PulseRecorder rec;
    ASSERT_TRUE(rec.Start("kva_test_b.monitor", Pulse().Dir() + "/b.raw"));
    RecordingObserver obs;
    IKVAPlayer* p = Playing(obs);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(Peak(rec.Read()), 0.01f);  // still on sink A
    Pulse().Pactl("set-default-sink kva_test_b");
    EXPECT_TRUE(WaitUntil([&] { return Peak(rec.Read()) > 0.03f; }, 8000));
    EXPECT_EQ(kStatusStarted, p->GetStatus());
    EXPECT_EQ(0, obs.Count(kNotifyStatus, kStatusError));
    p->Release();
}

TEST_F(PulseDeviceEvents, UnloadingTheSinkInUseKeepsPlaying) {
    std::string idx = LoadSink("kva_dyn_use", "KVA_Dyn_Use");
    PulseRecorder rec;
    ASSERT_TRUE(rec.Start("kva_test_a.monitor", Pulse().Dir() + "/a.raw"));
    RecordingObserver obs;
    IKVAPlayer* p = Playing(obs, u"KVA_Dyn_Use");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(Peak(rec.Read()), 0.01f);  // playing on the loaded sink
    Pulse().Unload(idx);
    ASSERT_TRUE(obs.WaitFor(kNotifyDeviceEvent, kDeviceEventFailover, 8000));
    EXPECT_TRUE(WaitUntil([&] { return Peak(rec.Read()) > 0.03f; }, 8000));  // now on the default sink
    EXPECT_EQ(kStatusStarted, p->GetStatus());
    EXPECT_EQ(0, obs.Count(kNotifyStatus, kStatusError));
    p->Release();
}

// The desktop's mixer moves the stream: it plays on there, reported as a move, not a failover.
TEST_F(PulseDeviceEvents, MixerMovingTheStreamIsFollowed) {
    PulseRecorder rec;
    ASSERT_TRUE(rec.Start("kva_test_b.monitor", Pulse().Dir() + "/moved.raw"));
    RecordingObserver obs;
    IKVAPlayer* p = Playing(obs);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
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
    p->Release();
}

// An explicit PulseAudio choice whose server dies: one error and one status 9, nothing after.
TEST(PulseServerLoss, ExplicitChoiceReportsTheLossOnce) {
    kva_test::PulseTestServer server;
    if (!server.Start("kvapulsedie") && !server.Installed()) GTEST_SKIP() << "pulseaudio is not installed";
    ASSERT_TRUE(server.Running()) << server.Error();
    const std::string media = server.Dir() + "/tone.wav";
    ASSERT_TRUE(kva_test::MakeSineWav(media, 6, 330));
    KvaSoundSystemConfig pulse;
    pulse.kind = KvaSoundSystemKind::PulseAudio;
    ASSERT_EQ(0, CMediaPlayerFactory::SelectSoundSystem(pulse));
    RecordingObserver obs;
    IKVAPlayer* p = CMediaPlayerFactory::NewL(&obs);
    p->SetDataSource(media.c_str());
    p->PrepareAsync();
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPrepared, 5000));
    p->Play(false);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStarted, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    server.Stop();
    EXPECT_TRUE(obs.WaitFor(kNotifyStatus, kStatusError, 8000));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    p->Play(false);  // a host trying again
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(1, obs.Count(kNotifyStatus, kStatusError));
    EXPECT_EQ(1, obs.Count(kNotifyError));
    p->Release();
    snd::SetSoundSystem(nullptr);
}

// An automatic choice whose server dies plays on to the virtual output; once the server is back,
// a default-following player returns to it and the server's sinks are listed again.
TEST(PulseServerLoss, AutomaticChoiceReturnsToTheServerAndItsDevices) {
    kva_test::PulseTestServer server;
    if (!server.Start("kvapulseback") && !server.Installed()) GTEST_SKIP() << "pulseaudio is not installed";
    ASSERT_TRUE(server.Running()) << server.Error();
    const std::string media = server.Dir() + "/tone.wav";
    ASSERT_TRUE(kva_test::MakeSineWav(media, 20, 330));
    ASSERT_EQ(0, CMediaPlayerFactory::SelectSoundSystem(KvaSoundSystemConfig{}));
    RecordingObserver obs;
    IKVAPlayer* p = CMediaPlayerFactory::NewL(&obs);
    p->SetDataSource(media.c_str());
    p->PrepareAsync();
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPrepared, 5000));
    p->Play(false);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStarted, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    server.Kill();
    EXPECT_TRUE(obs.WaitFor(kNotifyDeviceEvent, kDeviceEventFailover, 8000));
    EXPECT_EQ(int32_t(KvaSoundSystemKind::Virtual), CMediaPlayerFactory::CurrentSoundSystem());
    ASSERT_TRUE(server.Revive()) << server.Error();
    PulseRecorder rec;
    ASSERT_TRUE(rec.Start("kva_test_a.monitor", server.Dir() + "/back.raw"));
    EXPECT_TRUE(WaitUntil([&] { return Peak(rec.Read()) > 0.03f; }, 10000));
    auto listed = [&] {
        for (int i = 0; i < p->GetOutputDeviceCount(); ++i) {
            DeviceRecord r;
            if (p->GetOutputDeviceInfo(i, &r) && std::u16string(r.szName) == u"KVA Test Sink B") return true;
        }
        return false;
    };
    EXPECT_TRUE(WaitUntil(listed, 5000));
    EXPECT_EQ(kStatusStarted, p->GetStatus());
    EXPECT_EQ(0, obs.Count(kNotifyStatus, kStatusError));
    p->Release();
    snd::SetSoundSystem(nullptr);
}
