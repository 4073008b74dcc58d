// A player on a private PulseAudio server of the test's own (scripts/pulse-test-server): the
// desktop's mixer moving its stream, and the server going away. Sinks coming and going and the
// default moving are checked on the sound system itself (tests/platform) and, for the player, on
// the virtual system.
#include "KvaSoundSystem.h"
#include "common/PulseTestServer.h"
#include "common/RecordingObserver.h"
#include "platform/SoundSystem.h"
#include "support/Log.h"

#include <cstring>

using namespace kva_audioplayer;
using kva_test::Peak;
using kva_test::PulseRecorder;
using kva_test::WaitUntil;
using std::chrono::milliseconds;
using std::this_thread::sleep_for;

namespace {

// A server the test owns (it may stop or kill it), and a player playing on its default.
class PulsePlayer : public ::testing::Test {
protected:
    void Start(const char* prefix, KvaSoundSystemKind kind, int32_t type = kDeviceTypeWasapi) {
        if (!server.Start(prefix) && !server.Installed()) GTEST_SKIP() << "pulseaudio is not installed";
        ASSERT_TRUE(server.Running()) << server.Error();
        const KvaSoundSystemConfig config{kind};
        ASSERT_EQ(0, CMediaPlayerFactory::SelectSoundSystem(config));
        p = CMediaPlayerFactory::NewL(&obs);
        p->SetStartFadeTime(0);
        p->SetOutputDeviceType(type);
        p->SetDataSource(kva_test::FixturePath("long.flac").c_str());  // a minute of noise
        p->PrepareAsync();
        ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPrepared, 5000));
        p->Play(false);
        ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStarted, 5000));
        sleep_for(milliseconds(300));
    }
    void TearDown() override { if (p) p->Release(); snd::SetSoundSystem(nullptr); }
    kva_test::PulseTestServer server;
    kva_test::RecordingObserver obs;
    IKVAPlayer* p = nullptr;
};

class PulseMove : public PulsePlayer, public ::testing::WithParamInterface<int32_t> {};

}  // namespace

// The mixer moves the stream: it plays on there, reported once as a move, not a failover.
TEST_P(PulseMove, MixerMovingTheStreamIsFollowed) {
    Start("kvapulsemove", KvaSoundSystemKind::PulseAudio, GetParam());
    if (IsSkipped() || HasFailure()) return;
    PulseRecorder rec;
    ASSERT_TRUE(rec.Start("kva_test_b.monitor", server.Dir() + "/moved.raw"));
    EXPECT_LT(Peak(rec.Read()), 0.01f);  // still on sink A
    const std::string inputs = server.Pactl("list short sink-inputs");
    ASSERT_FALSE(inputs.empty());
    server.Pactl("move-sink-input " + inputs.substr(0, inputs.find_first_of(" \t")) + " kva_test_b");
    EXPECT_TRUE(obs.WaitFor(kNotifyDeviceEvent, kDeviceEventMoved, 8000));
    EXPECT_TRUE(WaitUntil([&] { return Peak(rec.Read()) > 0.03f; }, 8000));
    DeviceRecord current{};
    EXPECT_TRUE(p->GetCurrentOutputDevice(&current));
    EXPECT_EQ(std::make_tuple(u"KVA Test Sink B", GetParam()), std::make_tuple(std::u16string(current.szName), current.nType));
    EXPECT_EQ(std::make_tuple(1, 0, kStatusStarted), std::make_tuple(obs.Count(kNotifyDeviceEvent, kDeviceEventMoved),
        obs.Count(kNotifyDeviceEvent, kDeviceEventFailover), p->GetStatus()));
}
INSTANTIATE_TEST_SUITE_P(Drivers, PulseMove,
                         ::testing::Values(kDeviceTypeWasapi, kDeviceTypeWaveOut, kDeviceTypeDirectSound),
                         [](const ::testing::TestParamInfo<int32_t>& i) {  // named in the order of the values
                             return (std::vector<std::string>{"Wasapi", "WaveOut", "DirectSound"})[i.index];
                         });

// An explicit PulseAudio choice whose server dies: one error and one status 9, nothing after.
TEST_F(PulsePlayer, ExplicitChoiceReportsTheServerLossOnce) {
    Start("kvapulsedie", KvaSoundSystemKind::PulseAudio);
    if (IsSkipped() || HasFailure()) return;
    std::atomic<int> lossLogged{0};  // the log says why the sound stopped
    SetLogSink([](void* n, int32_t level, const char*, const char* text) {
        if (level >= kLogError && strstr(text, "connection to the server lost")) ++*static_cast<std::atomic<int>*>(n);
    }, &lossLogged);
    server.Stop();
    EXPECT_TRUE(obs.WaitFor(kNotifyStatus, kStatusError, 8000));
    sleep_for(milliseconds(1500));
    p->Play(false);  // a host trying again
    sleep_for(milliseconds(500));
    SetLogSink(nullptr, nullptr);
    EXPECT_EQ(std::make_tuple(1, 1, 1), std::make_tuple(obs.Count(kNotifyStatus, kStatusError), obs.Count(kNotifyError), lossLogged.load()));
}

// An automatic choice whose server dies plays on to the virtual output; once the server is back,
// a default-following player returns to it and the server's sinks are listed again.
TEST_F(PulsePlayer, AutomaticChoiceReturnsToTheServerAndItsDevices) {
    Start("kvapulseback", KvaSoundSystemKind::Automatic);
    if (IsSkipped() || HasFailure()) return;
    server.Kill();
    EXPECT_TRUE(obs.WaitFor(kNotifyDeviceEvent, kDeviceEventFailover, 8000));
    EXPECT_EQ(int32_t(KvaSoundSystemKind::Virtual), CMediaPlayerFactory::CurrentSoundSystem());
    ASSERT_TRUE(server.Revive()) << server.Error();
    PulseRecorder rec;
    ASSERT_TRUE(rec.Start("kva_test_a.monitor", server.Dir() + "/back.raw"));
    EXPECT_TRUE(WaitUntil([&] { return Peak(rec.Read()) > 0.03f; }, 10000));
    EXPECT_TRUE(WaitUntil([&] {
        DeviceRecord r;
        for (int i = 0; i < p->GetOutputDeviceCount(); ++i)
            if (p->GetOutputDeviceInfo(i, &r) && std::u16string(r.szName) == u"KVA Test Sink B") return true;
        return false;
    }, 5000));
    EXPECT_EQ(std::make_tuple(kStatusStarted, 0), std::make_tuple(p->GetStatus(), obs.Count(kNotifyStatus, kStatusError)));
}

// Another choice made and the automatic one made again, while its server is away: the server is
// still looked for, and taken once it is back.
TEST_F(PulsePlayer, AutomaticChoiceMadeAgainStillLooksForTheServer) {
    if (!server.Start("kvapulseagain") && !server.Installed()) GTEST_SKIP() << "pulseaudio is not installed";
    server.Kill();
    KvaSoundSystemConfig config;
    using Kind = KvaSoundSystemKind;
    for (Kind kind : {Kind::Automatic, Kind::Virtual, Kind::Automatic}) {
        config.kind = kind;
        ASSERT_EQ(0, CMediaPlayerFactory::SelectSoundSystem(config));
        if (kind == Kind::Virtual) sleep_for(milliseconds(2500));  // the watcher looks every 2 s
    }
    EXPECT_EQ(int32_t(Kind::Virtual), CMediaPlayerFactory::CurrentSoundSystem());
    ASSERT_TRUE(server.Revive()) << server.Error();
    EXPECT_TRUE(WaitUntil([] { return CMediaPlayerFactory::CurrentSoundSystem() == int32_t(Kind::PulseAudio); }, 10000));
}
