// Real output against a private PulseAudio server with null sinks (scripts/pulse-test-server).
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "KvaSoundSystem.h"
#include "SoundTestUtil.h"
#include "common/TestPaths.h"
#include "platform/PulseSoundSystem.h"
#include "platform/SoundSystemSelect.h"

extern char** environ;

using namespace kva_audioplayer;
using namespace kva_audioplayer::snd;
using kva_test::Bytes;
using kva_test::SineFloat;
using kva_test::TestEvent;
using kva_test::WriteAll;

namespace {

std::string RunOutput(const std::string& cmd, int* status = nullptr) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
    int st = pclose(p);
    if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

struct Listener : IListener {
    std::mutex mutex;
    std::condition_variable cond;
    std::vector<std::string> events;
    void Add(std::string e) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(std::move(e));
        cond.notify_all();
    }
    void OnEndpointAdded(const std::string& id) override { Add("added " + id); }
    void OnEndpointRemoved(const std::string& id) override { Add("removed " + id); }
    void OnEndpointStateChanged(const std::string& id, uint32_t s) override {
        Add("state " + id + " " + std::to_string(s));
    }
    void OnDefaultChanged(const std::string& id) override { Add("default " + id); }
    bool WaitFor(const std::string& e, int ms = 5000) {
        std::unique_lock<std::mutex> lock(mutex);
        return cond.wait_for(lock, std::chrono::milliseconds(ms), [&] {
            return std::find(events.begin(), events.end(), e) != events.end();
        });
    }
};

class PulseSoundSystemConcurrency : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sDir = kva_test::MakeTempDir("kvapulse");
        int status = 0;
        std::string out = RunOutput(std::string(KVA_SOURCE_DIR) + "/scripts/pulse-test-server start " +
                                        sDir, &status);
        if (status == 3) {
            sSkip = "pulseaudio is not installed; skipping the real-output tests";
            return;
        }
        const std::string prefix = "PULSE_SERVER=";
        if (status != 0 || out.compare(0, prefix.size(), prefix) != 0) {
            sSkip = "the private PulseAudio server did not start: " + out;
            sFailed = true;
            return;
        }
        sServer = out.substr(prefix.size());
        // For libpulse's own lookup (automatic selection) and the pactl/parec children.
        setenv("PULSE_SERVER", sServer.c_str(), 1);
    }
    static void TearDownTestSuite() {
        if (!sServer.empty()) {
            RunOutput(std::string(KVA_SOURCE_DIR) + "/scripts/pulse-test-server stop " + sDir);
            unsetenv("PULSE_SERVER");
            sServer.clear();
        }
    }
    void SetUp() override {
        if (sFailed) FAIL() << sSkip;
        if (!sSkip.empty()) GTEST_SKIP() << sSkip;
        sys = PulseSoundSystem::Connect(3000, sServer.c_str());
        ASSERT_TRUE(sys) << "cannot connect to " << sServer;
    }
    void TearDown() override {
        sys.reset();
        for (auto& m : modules) Pactl("unload-module " + m);
        if (!sServer.empty()) Pactl("set-default-sink kva_test_a");
    }

    static std::string Pactl(const std::string& args, int* status = nullptr) {
        return RunOutput("pactl " + args + " 2>&1", status);
    }
    // Loads a null sink; returns its module index (unloaded at tear-down).
    std::string LoadSink(const std::string& name, const std::string& description) {
        std::string idx = Pactl("load-module module-null-sink sink_name=" + name +
                                " format=float32le rate=44100 channels=2 "
                                "sink_properties=device.description=" + description);
        modules.push_back(idx);
        return idx;
    }
    void Unload(const std::string& idx) {
        Pactl("unload-module " + idx);
        modules.erase(std::remove(modules.begin(), modules.end(), idx), modules.end());
    }

    static std::string sDir, sServer, sSkip;
    static bool sFailed;
    std::shared_ptr<PulseSoundSystem> sys;
    std::vector<std::string> modules;
};
std::string PulseSoundSystemConcurrency::sDir, PulseSoundSystemConcurrency::sServer, PulseSoundSystemConcurrency::sSkip;
bool PulseSoundSystemConcurrency::sFailed = false;

// Records a source to a raw float file with parec until stopped.
class Recorder {
public:
    bool Start(const std::string& source, const std::string& path) {
        mPath = path;
        std::vector<std::string> args = {"parec", "--device=" + source, "--format=float32le",
                                         "--rate=44100", "--channels=2", "--raw",
                                         "--latency-msec=20", path};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawnp(&mPid, "parec", nullptr, nullptr, argv.data(), environ) != 0) return false;
        // Wait until audio (the sink's silence) arrives, so nothing played is missed.
        for (int i = 0; i < 500; ++i) {
            std::ifstream f(path, std::ios::binary | std::ios::ate);
            if (f && f.tellg() > 4096) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    std::vector<float> Stop() {
        if (mPid > 0) {
            kill(mPid, SIGINT);
            int st;
            waitpid(mPid, &st, 0);
            mPid = -1;
        }
        std::ifstream in(mPath, std::ios::binary);
        std::vector<char> b((std::istreambuf_iterator<char>(in)), {});
        std::vector<float> out(b.size() / 4);
        if (!out.empty()) std::memcpy(out.data(), b.data(), out.size() * 4);
        std::remove(mPath.c_str());
        return out;
    }
    ~Recorder() { Stop(); }

private:
    pid_t mPid = -1;
    std::string mPath;
};

}  // namespace

TEST_F(PulseSoundSystemConcurrency, NullSinksDefaultAndFormats) {
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
    EXPECT_EQ(44100, a.mixFormat.sampleRate);
    EXPECT_EQ(2, a.mixFormat.channels);
    EXPECT_TRUE(a.mixFormat.isFloat);
    EXPECT_EQ(32, a.mixFormat.bitsPerSample);
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
}

TEST_F(PulseSoundSystemConcurrency, StreamStateRules) {
    EndpointInfo a;
    ASSERT_TRUE(sys->GetEndpoint("kva_test_b", &a));
    std::unique_ptr<IRenderStream> s;
    ASSERT_EQ(kOk, sys->OpenStream("kva_test_b", a.mixFormat, 4410, &s));
    EXPECT_GE(s->BufferFrames(), 2 * s->PeriodFrames());
    uint32_t padding = 1;
    ASSERT_EQ(kOk, s->GetPadding(&padding));
    EXPECT_EQ(0u, padding);
    auto bytes = Bytes(SineFloat(s->BufferFrames() + 1, 2, 44100, 440));
    EXPECT_EQ(kInvalidArg, s->Write(bytes.data(), s->BufferFrames() + 1));
    ASSERT_EQ(kOk, s->Write(bytes.data(), 1000));
    ASSERT_EQ(kOk, s->GetPadding(&padding));
    EXPECT_EQ(1000u, padding) << "a stopped stream holds what was written";
    EXPECT_EQ(kFalse, s->Stop());
    ASSERT_EQ(kOk, s->Start());
    EXPECT_EQ(kWrongState, s->Start());
    EXPECT_EQ(kWrongState, s->Reset());
    ASSERT_EQ(kOk, s->Stop());
    ASSERT_EQ(kOk, s->Reset());
    EXPECT_EQ(kInvalidArg, s->SetVolume(2.0f));
    EXPECT_EQ(kOk, s->SetVolume(0.5f));
    EXPECT_FLOAT_EQ(0.5f, s->GetVolume());
    EXPECT_EQ(kOk, s->GetStatus());
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
        Recorder rec;
        ASSERT_TRUE(rec.Start("kva_test_a.monitor", sDir + "/monitor.raw")) << "parec did not record";
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
        for (int i = 0; i < 500 && s->FramesPlayed() < frames; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(frames, s->FramesPlayed());
        uint32_t padding = 1;
        ASSERT_EQ(kOk, s->GetPadding(&padding));
        EXPECT_EQ(0u, padding);
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
    Listener l;
    sys->AddListener(&l);
    std::string idx = LoadSink("kva_test_c", "KVA_Test_Sink_C");
    ASSERT_FALSE(idx.empty());
    ASSERT_TRUE(l.WaitFor("added kva_test_c"));
    EndpointInfo c;
    ASSERT_TRUE(sys->GetEndpoint("kva_test_c", &c));
    EXPECT_EQ(u"KVA_Test_Sink_C", c.friendlyName);

    int st = -1;
    Pactl("set-default-sink kva_test_c", &st);
    ASSERT_EQ(0, st);
    ASSERT_TRUE(l.WaitFor("default kva_test_c"));
    EXPECT_EQ("kva_test_c", sys->GetDefaultEndpoint());

    Unload(idx);
    ASSERT_TRUE(l.WaitFor("removed kva_test_c"));
    EXPECT_FALSE(sys->GetEndpoint("kva_test_c", nullptr));
    sys->RemoveListener(&l);
}

// Unloading the sink under a running stream fails the stream; a waiting writer wakes.
TEST_F(PulseSoundSystemConcurrency, SinkUnloadedDuringPlaybackInvalidatesStream) {
    std::string idx = LoadSink("kva_test_d", "KVA_Test_Sink_D");
    EndpointInfo d;
    for (int i = 0; i < 200 && !sys->GetEndpoint("kva_test_d", &d); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ("kva_test_d", d.id);
    TestEvent ev;  // outlives the stream that signals it
    std::unique_ptr<IRenderStream> s;
    ASSERT_EQ(kOk, sys->OpenStream("kva_test_d", d.mixFormat, 0, &s));
    s->SetPeriodCallback(&TestEvent::Signal, &ev);
    ASSERT_EQ(kOk, s->Start());
    std::atomic<int32_t> result{kOk};
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        auto bytes = Bytes(SineFloat(441, 2, 44100, 440));
        while (!stop) {
            int32_t r = WriteAll(s.get(), &ev, bytes.data(), 441, 441, 5000);
            if (r != kOk) {
                result = r;
                return;
            }
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Unload(idx);
    for (int i = 0; i < 500 && result == kOk; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop = true;
    writer.join();
    EXPECT_EQ(kInvalidated, result.load());
    EXPECT_EQ(kInvalidated, s->GetStatus());
    EXPECT_EQ(kInvalidated, s->Start());
}

TEST_F(PulseSoundSystemConcurrency, AutomaticSelectionFindsServer) {
    KvaSoundSystemConfig config;  // automatic: libpulse finds the server through PULSE_SERVER
    ASSERT_EQ(0, SelectSoundSystem(config));
    EXPECT_STREQ("pulse", GetSoundSystem()->Name());
    config.kind = KvaSoundSystemKind::PulseAudio;
    ASSERT_EQ(0, SelectSoundSystem(config));
    EXPECT_EQ("kva_test_a", GetSoundSystem()->GetDefaultEndpoint());
    SetSoundSystem(nullptr);
}

TEST(PulseSoundSystemNoServer, ConnectFailsWithinTimeout) {
    const std::string dir = kva_test::MakeTempDir("kvanopulse");
    const std::string server = "unix:" + dir + "/no-socket";
    EXPECT_FALSE(PulseSoundSystem::Connect(500, server.c_str()));
}

// The server going away fails the streams; an automatic choice is then made again.
TEST(PulseSoundSystemLossConcurrency, ServerLossInvalidatesAndAutomaticChoiceRecovers) {
    const std::string dir = kva_test::MakeTempDir("kvapulseloss");
    const std::string script = std::string(KVA_SOURCE_DIR) + "/scripts/pulse-test-server ";
    int status = 0;
    std::string out = RunOutput(script + "start " + dir, &status);
    if (status == 3) GTEST_SKIP() << "pulseaudio is not installed";
    ASSERT_EQ(0, status) << out;
    const std::string server = out.substr(std::string("PULSE_SERVER=").size());
    setenv("PULSE_SERVER", server.c_str(), 1);
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

    RunOutput(script + "stop " + dir);
    auto* pulse = static_cast<PulseSoundSystem*>(sys.get());
    for (int i = 0; i < 500 && pulse->IsConnected(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(pulse->IsConnected());
    EXPECT_EQ(kInvalidated, s->GetStatus());
    float frame[2] = {0, 0};
    EXPECT_EQ(kInvalidated, s->Write(reinterpret_cast<uint8_t*>(frame), 1));
    EXPECT_EQ(kInvalidated, sys->OpenStream("kva_test_a", a.mixFormat, 0, &s));

    // No server now: the next user of the process-wide system gets the virtual one.
    const std::string none = "unix:" + dir + "/gone";
    setenv("PULSE_SERVER", none.c_str(), 1);
    EXPECT_STREQ("virtual", GetSoundSystem()->Name());
    unsetenv("PULSE_SERVER");
    SetSoundSystem(nullptr);
}
