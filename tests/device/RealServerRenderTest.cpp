// Every driver on real sound servers (a private PulseAudio, a private PipeWire with its pulse
// server) while the machine is busy: frame-indexed audio played to the default null sink and
// recorded from its monitor must come back whole, in order, without a gap of 5 ms or more.
#include "DeviceTestUtil.h"
#include "common/PulseTestServer.h"
#include "device/AudioDevice.h"
#include "platform/PulseSoundSystem.h"

using namespace kva_audioplayer;
using kva_test::PulseTestServer;
using kva_test::SignalAudit;

namespace {

struct Case { const char* server; int32_t deviceType; const char* name; };
void PrintTo(const Case& c, std::ostream* os) { *os << c.name << " on " << c.server; }

// The server stays up across the tests of one kind in a process.
PulseTestServer sServer;
PulseTestServer& Server(const std::string& kind) {
    if (sServer.Kind() != kind || !sServer.Running()) sServer.Start("kvarender", kind);
    return sServer;
}

class RealServerRender : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        PulseTestServer& s = Server(GetParam().server);
        if (!s.Installed()) GTEST_SKIP() << GetParam().server << " is not installed";
        ASSERT_TRUE(s.Running()) << "the private " << GetParam().server
                                 << " server did not start: " << s.Error();
        sys = snd::PulseSoundSystem::Connect(3000, s.Server().c_str());
        ASSERT_TRUE(sys) << "cannot connect to " << s.Server();
        snd::SetSoundSystem(sys);
    }
    void TearDown() override { snd::SetSoundSystem(nullptr); sys.reset(); }
    static void TearDownTestSuite() { sServer.Stop(); }

    std::shared_ptr<snd::PulseSoundSystem> sys;
};

// Hands out `frames` indexed frames, then the end of the stream.
kva_test::ScriptedObserver::Script Indexed(long frames, std::shared_ptr<std::atomic<long>> done) {
    return [frames, done](int, uint8_t* buffer, int32_t* length) {
        const long at = done->load();
        const long n = std::max(0L, std::min(long(*length / 8), frames - at));
        kva_test::FillIndexed(reinterpret_cast<float*>(buffer), at, n);
        done->store(n > 0 ? at + n : frames + 1);  // past the end once the end was answered
        *length = int32_t(n * 8);
        return n > 0 ? 0 : -18;
    };
}

TEST_P(RealServerRender, LoadedMachinePlaysEveryFrameOnce) {
    const long frames = 44100 * 3;
    PulseTestServer& server = Server(GetParam().server);
    kva_test::PulseRecorder rec;
    ASSERT_TRUE(rec.Start("kva_test_a.monitor", server.Dir() + "/render.raw"));
    auto done = std::make_shared<std::atomic<long>>(0);
    kva_test::ScriptedObserver obs(Indexed(frames, done));
    std::unique_ptr<AudioDevice, void (*)(AudioDevice*)> device(
        CreateAudioDevice(GetParam().deviceType, nullptr), [](AudioDevice* d) { d->Release(); });
    AudioDescription mix = kva_test::MixDescription();
    ASSERT_EQ(0, device->Open(1, &mix));
    {
        // Busy loops beside the render, two unless KVA_TEST_BUSY_LOOPS says otherwise. The sanitizer
        // run sets none: several times slower itself, beside two loops on two cores it starves the
        // private server, which then drops whole 512-frame quanta under every driver alike.
        const char* loops = getenv("KVA_TEST_BUSY_LOOPS");
        kva_test::CpuLoad load(loops ? atoi(loops) : 2);
        device->SetObserver(&obs);
        device->Play();
        ASSERT_TRUE(kva_test::WaitUntil([&] { return done->load() > frames; }, 20000));
        // As a host ends a track: once the device holds nothing more, it is paused (early, that
        // would cut the end).
        ASSERT_TRUE(kva_test::WaitUntil([&] { return device->QueuedMs() == 0; }, 5000));
        device->Pause();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the recorder's latency
    device->Close();
    SignalAudit audit(frames);
    audit.Add(rec.Stop());
    EXPECT_TRUE(obs.Errors().empty());
    EXPECT_TRUE(audit.Clean()) << audit.Report();  // the failure line names the case
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, RealServerRender,
    ::testing::Values(Case{"pulseaudio", kDeviceTypeWasapi, "Wasapi"}, Case{"pulseaudio", kDeviceTypeWaveOut, "WaveOut"},
                      Case{"pulseaudio", kDeviceTypeDirectSound, "DirectSound"},
                      Case{"pipewire", kDeviceTypeWasapi, "Wasapi"}, Case{"pipewire", kDeviceTypeWaveOut, "WaveOut"},
                      Case{"pipewire", kDeviceTypeDirectSound, "DirectSound"}),
    [](const ::testing::TestParamInfo<Case>& i) {
        return std::string(i.param.name) + (i.param.server[1] == 'i' ? "PipeWire" : "PulseAudio");
    });

}  // namespace
