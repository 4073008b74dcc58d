// Real output against a private PulseAudio server with null sinks (scripts/pulse-test-server).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>

#include "KvaSoundSystem.h"
#include "SoundTestUtil.h"
#include "common/PulseTestServer.h"
#include "common/TestPaths.h"
#include "platform/PulseSoundSystem.h"
#include "platform/SoundSystemSelect.h"

using namespace kva_audioplayer;
using namespace kva_audioplayer::snd;
using kva_test::Bytes;
using kva_test::EndpointEvents;
using kva_test::ExpectStateRules;
using kva_test::Padding;
using kva_test::PulseRecorder;
using kva_test::PulseTestServer;
using kva_test::SineFloat;
using kva_test::TestEvent;
using kva_test::WaitUntil;
using kva_test::WriteAll;

namespace {

class PulseSoundSystemConcurrency : public kva_test::PulseServerTest<> {
protected:
    void SetUp() override {
        PulseServerTest::SetUp();
        if (!Ready()) return;
        sys = PulseSoundSystem::Connect(3000, Pulse().Server().c_str());
        ASSERT_TRUE(sys) << "cannot connect to " << Pulse().Server();
    }
    void TearDown() override {
        sys.reset();
        PulseServerTest::TearDown();
    }

    std::shared_ptr<PulseSoundSystem> sys;
};

}  // namespace

TEST_F(PulseSoundSystemConcurrency, NullSinksDefaultFormatsAndStreamStateRules) {
    EXPECT_STREQ("pulse", sys->Name());
    EXPECT_TRUE(sys->IsConnected());
    EXPECT_EQ("kva_test_a", sys->GetDefaultEndpoint());
    EndpointInfo a, b;
    ASSERT_TRUE(sys->GetEndpoint("kva_test_a", &a));
    ASSERT_TRUE(sys->GetEndpoint("kva_test_b", &b));
    EXPECT_EQ(u"KVA Test Sink A", a.friendlyName);
    EXPECT_EQ(u"KVA Test Sink B", b.friendlyName);
    EXPECT_FALSE(a.adapterName.empty());
    EXPECT_EQ(uint32_t(kStateActive), a.state);
    EXPECT_EQ(Format(), a.mixFormat) << "44.1 kHz stereo float";
    EXPECT_EQ(0x3u, a.mixFormat.channelMask);
    EXPECT_EQ(441u, a.periodFrames);
    EXPECT_GE(sys->GetEndpoints().size(), 2u);
    EXPECT_FALSE(sys->GetEndpoint("no_such_sink", nullptr));

    Format closest;
    EXPECT_EQ(kOk, sys->IsFormatSupported("kva_test_a", a.mixFormat, &closest));
    Format s16;
    s16.bitsPerSample = 16;
    s16.isFloat = false;
    s16.sampleRate = 48000;
    EXPECT_EQ(kFalse, sys->IsFormatSupported("kva_test_a", s16, &closest));
    EXPECT_EQ(a.mixFormat, closest);
    EXPECT_EQ(kNotFound, sys->IsFormatSupported("no_such_sink", s16, &closest));
    std::unique_ptr<IRenderStream> s;
    EXPECT_EQ(kNotFound, sys->OpenStream("no_such_sink", a.mixFormat, 0, &s));
    // The server converts what it is given.
    ASSERT_EQ(kOk, sys->OpenStream("kva_test_b", s16, 0, &s));
    EXPECT_EQ(s16, s->GetFormat());

    // The state rules on the sink's own format.
    ASSERT_EQ(kOk, sys->OpenStream("kva_test_b", b.mixFormat, 4410, &s));
    EXPECT_GE(s->BufferFrames(), 2 * s->PeriodFrames());
    EXPECT_EQ(0u, Padding(s.get()));
    auto bytes = Bytes(SineFloat(s->BufferFrames() + 1, 2, 44100, 440));
    EXPECT_EQ(kInvalidArg, s->Write(bytes.data(), s->BufferFrames() + 1));
    ASSERT_EQ(kOk, s->Write(bytes.data(), 1000));
    ExpectStateRules(s.get(), 1000);
}

namespace {
// The frames of interleaved stereo that are not digital silence (underrun gaps are exactly 0).
std::vector<float> Audible(const std::vector<float>& v) {
    std::vector<float> out;
    for (size_t i = 0; i + 1 < v.size(); i += 2) {
        if (v[i] != 0.0f || v[i + 1] != 0.0f) {
            out.push_back(v[i]);
            out.push_back(v[i + 1]);
        }
    }
    return out;
}
}  // namespace

// A tone played to a float null sink comes back from its monitor sample for sample (the test
// sinks do not rewind, so the monitor sees everything the sink renders).
TEST_F(PulseSoundSystemConcurrency, ToneReachesSinkMonitor) {
    EndpointInfo a;
    ASSERT_TRUE(sys->GetEndpoint("kva_test_a", &a));
    const uint32_t frames = 22050;  // half a second: 1 kHz left, 2 kHz right
    const auto tone = SineFloat(frames, 2, 44100, 1000, 0.5);
    for (float volume : {1.0f, 0.5f}) {
        SCOPED_TRACE(volume);
        PulseRecorder rec;
        ASSERT_TRUE(rec.Start("kva_test_a.monitor", Pulse().Dir() + "/monitor.raw"))
            << "parec did not record";
        TestEvent ev;  // outlives the stream that signals it
        std::unique_ptr<IRenderStream> s;
        ASSERT_EQ(kOk, sys->OpenStream("kva_test_a", a.mixFormat, 0, &s));
        ASSERT_EQ(kOk, s->SetVolume(volume));
        s->SetPeriodCallback(&TestEvent::Signal, &ev);
        auto bytes = Bytes(tone);
        const uint32_t first = std::min(frames, s->BufferFrames());
        ASSERT_EQ(kOk, s->Write(bytes.data(), first));
        ASSERT_EQ(kOk, s->Start());
        ASSERT_EQ(kOk, WriteAll(s.get(), &ev, bytes.data() + size_t(first) * 8, frames - first,
                                s->PeriodFrames()));
        // Until the server has played everything.
        WaitUntil([&] { return s->FramesPlayed() >= frames; });
        EXPECT_EQ(frames, s->FramesPlayed());
        EXPECT_EQ(0u, Padding(s.get()));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        auto got = Audible(rec.Stop());
        s.reset();

        const auto want = Audible(tone);
        ASSERT_NEAR(double(want.size() / 2), double(got.size() / 2), double(a.periodFrames))
            << "tone length in frames";
        ASSERT_EQ(want.size(), got.size()) << "frames lost or repeated";
        if (volume == 1.0f) {
            EXPECT_TRUE(want == got) << "the monitor differs from what was played";
        } else {
            double worst = 0;
            for (size_t i = 0; i < want.size(); ++i) {
                worst = std::max(worst, std::fabs(double(got[i]) - want[i] * double(volume)));
            }
            EXPECT_LT(worst, 1e-3) << "scaled by the stream volume";
        }
    }
}

TEST_F(PulseSoundSystemConcurrency, HotplugAndDefaultChangeEvents) {
    EndpointEvents l;
    sys->AddListener(&l);
    std::string idx = Pulse().LoadSink("kva_test_c", "KVA_Test_Sink_C");
    ASSERT_FALSE(idx.empty());
    ASSERT_TRUE(l.WaitFor("added kva_test_c"));
    EndpointInfo c;
    ASSERT_TRUE(sys->GetEndpoint("kva_test_c", &c));
    EXPECT_EQ(u"KVA_Test_Sink_C", c.friendlyName);

    int st = -1;
    Pulse().Pactl("set-default-sink kva_test_c", &st);
    ASSERT_EQ(0, st);
    ASSERT_TRUE(l.WaitFor("default kva_test_c"));
    EXPECT_EQ("kva_test_c", sys->GetDefaultEndpoint());

    Pulse().Unload(idx);
    ASSERT_TRUE(l.WaitFor("removed kva_test_c"));
    EXPECT_FALSE(sys->GetEndpoint("kva_test_c", nullptr));
    sys->RemoveListener(&l);
}

// Unloading the sink under a running stream fails the stream; a waiting writer wakes.
TEST_F(PulseSoundSystemConcurrency, SinkUnloadedDuringPlaybackInvalidatesStream) {
    std::string idx = Pulse().LoadSink("kva_test_d", "KVA_Test_Sink_D");
    EndpointInfo d;
    ASSERT_TRUE(WaitUntil([&] { return sys->GetEndpoint("kva_test_d", &d); }));
    TestEvent ev;  // outlives the stream that signals it
    std::unique_ptr<IRenderStream> s;
    ASSERT_EQ(kOk, sys->OpenStream("kva_test_d", d.mixFormat, 0, &s));
    s->SetPeriodCallback(&TestEvent::Signal, &ev);
    ASSERT_EQ(kOk, s->Start());
    std::atomic<int32_t> result{kOk};
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        auto bytes = Bytes(SineFloat(441, 2, 44100, 440));
        while (!stop && result == kOk) result = WriteAll(s.get(), &ev, bytes.data(), 441, 441, 5000);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Pulse().Unload(idx);
    WaitUntil([&] { return result != kOk; });
    stop = true;
    writer.join();
    EXPECT_EQ(kInvalidated, result.load());
    EXPECT_EQ(kInvalidated, s->GetStatus());
    EXPECT_EQ(kInvalidated, s->Start());
}

TEST_F(PulseSoundSystemConcurrency, AutomaticSelectionFindsServer) {
    KvaSoundSystemConfig config;  // automatic: libpulse finds the server through PULSE_SERVER
    config.applicationName = "Kva Test Host";
    config.iconName = "kva-test-icon";
    ASSERT_EQ(0, SelectSoundSystem(config));
    EXPECT_STREQ("pulse", GetSoundSystem()->Name());
    EXPECT_EQ(int32_t(KvaSoundSystemKind::PulseAudio), CMediaPlayerFactory::CurrentSoundSystem());
    // The desktop's mixer shows the host's name and icon.
    const std::string clients = PulseTestServer::Pactl("list clients");
    EXPECT_NE(std::string::npos, clients.find("application.name = \"Kva Test Host\"")) << clients;
    EXPECT_NE(std::string::npos, clients.find("application.icon_name = \"kva-test-icon\"")) << clients;
    config.kind = KvaSoundSystemKind::PulseAudio;
    ASSERT_EQ(0, SelectSoundSystem(config));
    EXPECT_EQ("kva_test_a", GetSoundSystem()->GetDefaultEndpoint());
    SetSoundSystem(nullptr);
}

TEST(PulseSoundSystemNoServer, ConnectFailsWithinTimeout) {
    const kva_test::ScratchDir dir("kvanopulse");
    const std::string server = "unix:" + dir.File("no-socket");
    EXPECT_FALSE(PulseSoundSystem::Connect(500, server.c_str()));
}

// The server going away fails the streams; an automatic choice is then made again.
TEST(PulseSoundSystemLossConcurrency, ServerLossInvalidatesAndAutomaticChoiceRecovers) {
    PulseTestServer server;
    if (!server.Start("kvapulseloss") && !server.Installed()) GTEST_SKIP() << "pulseaudio is not installed";
    ASSERT_TRUE(server.Running()) << server.Error();
    KvaSoundSystemConfig automatic;
    ASSERT_EQ(0, SelectSoundSystem(automatic));
    auto sys = GetSoundSystem();
    ASSERT_STREQ("pulse", sys->Name());
    EndpointInfo a;
    ASSERT_TRUE(sys->GetEndpoint("kva_test_a", &a));
    TestEvent ev;  // outlives the stream that signals it
    std::unique_ptr<IRenderStream> s;
    ASSERT_EQ(kOk, sys->OpenStream("kva_test_a", a.mixFormat, 0, &s));
    s->SetPeriodCallback(&TestEvent::Signal, &ev);
    ASSERT_EQ(kOk, s->Start());

    const std::string none = "unix:" + server.Dir() + "/gone";
    server.Stop();
    auto* pulse = static_cast<PulseSoundSystem*>(sys.get());
    EXPECT_TRUE(WaitUntil([&] { return !pulse->IsConnected(); }));
    EXPECT_EQ(kInvalidated, s->GetStatus());
    float frame[2] = {0, 0};
    EXPECT_EQ(kInvalidated, s->Write(reinterpret_cast<uint8_t*>(frame), 1));
    EXPECT_EQ(kInvalidated, sys->OpenStream("kva_test_a", a.mixFormat, 0, &s));

    // No server now: the next user of the process-wide system gets the virtual one.
    setenv("PULSE_SERVER", none.c_str(), 1);
    EXPECT_STREQ("virtual", GetSoundSystem()->Name());
    EXPECT_EQ(int32_t(KvaSoundSystemKind::Virtual), CMediaPlayerFactory::CurrentSoundSystem());

    // A server that comes back is found again by the automatic choice, within a few seconds.
    PulseTestServer back;
    ASSERT_TRUE(back.Start("kvapulseback")) << back.Error();
    EXPECT_TRUE(WaitUntil([] { return std::string("pulse") == GetSoundSystem()->Name(); }));
    EXPECT_EQ(int32_t(KvaSoundSystemKind::PulseAudio), CMediaPlayerFactory::CurrentSoundSystem());
    SetSoundSystem(nullptr);
}
