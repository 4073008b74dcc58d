// Real output against a private PulseAudio server with null sinks (scripts/pulse-test-server).
#include "KvaSoundSystem.h"
#include "SoundTestUtil.h"
#include "common/PulseTestServer.h"
#include "platform/PulseSoundSystem.h"
#include "platform/SoundSystemSelect.h"

using namespace kva_audioplayer;
using namespace kva_audioplayer::snd;
using namespace kva_test;

namespace {

class PulseSoundSystemConcurrency : public kva_test::PulseServerTest<> {
protected:
    void SetUp() override {
        PulseServerTest::SetUp();
        if (!Ready()) return;
        sys = PulseSoundSystem::Connect(3000, Pulse().Server().c_str());
        ASSERT_TRUE(sys) << "cannot connect to " << Pulse().Server();
    }
    void TearDown() override { sys.reset(); PulseServerTest::TearDown(); }

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
    EXPECT_EQ(std::make_tuple(u"KVA Test Sink A", u"KVA Test Sink B", false, uint32_t(kStateActive), 0x3u, 441u),
              std::make_tuple(a.friendlyName, b.friendlyName, a.adapterName.empty(), a.state, a.mixFormat.channelMask,
                              a.periodFrames));
    EXPECT_EQ(Format(), a.mixFormat) << "44.1 kHz stereo float";
    EXPECT_GE(sys->GetEndpoints().size(), 2u);
    EXPECT_FALSE(sys->GetEndpoint("no_such_sink", nullptr));

    Format closest;
    EXPECT_EQ(kOk, sys->IsFormatSupported("kva_test_a", a.mixFormat, &closest));
    const Format s16{48000, 2, 16, false};
    EXPECT_EQ(kFalse, sys->IsFormatSupported("kva_test_a", s16, &closest));
    EXPECT_EQ(a.mixFormat, closest);
    EXPECT_EQ(kNotFound, sys->IsFormatSupported("no_such_sink", s16, &closest));
    std::unique_ptr<IRenderStream> s;
    EXPECT_EQ(kNotFound, sys->OpenStream("no_such_sink", a.mixFormat, 0, &s));
    // The server converts what it is given, mono (its own speaker) too.
    for (const Format& f : {s16, Format{22050, 1, 16, false, 0x4}}) {
        ASSERT_EQ(kOk, sys->OpenStream("kva_test_b", f, 0, &s)) << f.channels;
        EXPECT_EQ(f, s->GetFormat());
    }

    // Ten seconds is the longest buffer taken.
    EXPECT_EQ(kOk, sys->OpenStream("kva_test_b", b.mixFormat, 441000, &s));
    EXPECT_EQ(kInvalidArg, sys->OpenStream("kva_test_b", b.mixFormat, 441001, &s));
    // The state rules on the sink's own format.
    ASSERT_EQ(kOk, sys->OpenStream("kva_test_b", b.mixFormat, 4410, &s));
    EXPECT_GE(s->BufferFrames(), 2 * s->PeriodFrames());
    EXPECT_EQ(0u, Padding(s.get()));
    auto bytes = Bytes(SineFloat(s->BufferFrames() + 1, 2, 44100, 440));
    EXPECT_EQ(kInvalidArg, s->Write(bytes.data(), s->BufferFrames() + 1));
    ASSERT_EQ(kOk, s->Write(bytes.data(), 1000));
    ExpectStateRules(s.get(), 1000);
}

// Indexed frames played to a float null sink come back from its monitor once each, in order and
// without a gap (the test sinks do not rewind, so the monitor hears all the sink renders); the
// stream volume scales them.
TEST_F(PulseSoundSystemConcurrency, EveryFrameReachesTheSinkMonitor) {
    EndpointInfo a;
    ASSERT_TRUE(sys->GetEndpoint("kva_test_a", &a));
    const uint32_t frames = 22050;
    std::vector<float> sent(size_t(frames) * 2);
    kva_test::FillIndexed(sent.data(), 0, frames);
    const auto bytes = Bytes(sent);
    for (float volume : {1.0f, 0.5f}) {
        SCOPED_TRACE(volume);
        PulseRecorder rec;
        ASSERT_TRUE(rec.Start("kva_test_a.monitor", Pulse().Dir() + "/monitor.raw"));
        TestEvent ev;  // outlives the stream that signals it
        std::unique_ptr<IRenderStream> s;
        ASSERT_EQ(kOk, sys->OpenStream("kva_test_a", a.mixFormat, 0, &s));
        ASSERT_EQ(kOk, s->SetVolume(volume));
        s->SetPeriodCallback(&TestEvent::Signal, &ev);
        const uint32_t first = std::min(frames, s->BufferFrames());
        ASSERT_EQ(kOk, s->Write(bytes.data(), first));
        ASSERT_EQ(kOk, s->Start());
        ASSERT_EQ(kOk, WriteAll(s.get(), &ev, bytes.data() + size_t(first) * 8, frames - first,
                                s->PeriodFrames()));
        WaitUntil([&] { return s->FramesPlayed() >= frames; });
        EXPECT_EQ(std::make_tuple(frames, 0u), std::make_tuple(s->FramesPlayed(), Padding(s.get())));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the recorder's latency
        const std::vector<float> got = rec.Stop();
        if (volume == 1.0f) {
            kva_test::SignalAudit audit(frames);
            audit.Add(got);
            EXPECT_TRUE(audit.Clean()) << audit.Report();
        } else {
            EXPECT_NEAR(Peak(got), Peak(sent) * volume, 1e-3);
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
    EXPECT_EQ(std::make_tuple(kInvalidated, kInvalidated), std::make_tuple(result.load(), s->GetStatus()));
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
