// Hot-plug against a private PulseAudio server with null sinks (scripts/pulse-test-server): sinks
// appearing, the default sink moving, and the sink in use going away while a player plays.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "KvaAudioPlayer.h"
#include "common/RecordingObserver.h"
#include "common/TestPaths.h"
#include "platform/PulseSoundSystem.h"
#include "platform/SoundSystem.h"

extern char** environ;

using namespace kva_audioplayer;
using kva_test::RecordingObserver;

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

bool WaitUntil(const std::function<bool()>& pred, int ms = 8000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Records a sink's monitor source to a raw float file with parec.
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
        return WaitUntil([&] {
            std::ifstream f(path, std::ios::binary | std::ios::ate);
            return f && f.tellg() > 4096;
        });
    }
    // Peak of what was recorded so far.
    float Peak() {
        std::ifstream in(mPath, std::ios::binary);
        std::vector<char> b((std::istreambuf_iterator<char>(in)), {});
        float peak = 0;
        for (size_t i = 0; i + 4 <= b.size(); i += 4) {
            float v;
            memcpy(&v, &b[i], 4);
            peak = std::max(peak, std::fabs(v));
        }
        return peak;
    }
    ~Recorder() {
        if (mPid > 0) {
            kill(mPid, SIGINT);
            int st;
            waitpid(mPid, &st, 0);
        }
        if (!mPath.empty()) std::remove(mPath.c_str());
    }

private:
    pid_t mPid = -1;
    std::string mPath;
};

class PulseDeviceEvents : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sDir = kva_test::MakeTempDir("kvapulsedev");
        int status = 0;
        std::string out = RunOutput(std::string(KVA_SOURCE_DIR) + "/scripts/pulse-test-server start " +
                                        sDir, &status);
        const std::string prefix = "PULSE_SERVER=";
        if (status != 0 || out.compare(0, prefix.size(), prefix) != 0) {
            sSkip = "no private PulseAudio server: " + out;
            return;
        }
        sServer = out.substr(prefix.size());
        setenv("PULSE_SERVER", sServer.c_str(), 1);
        std::string media = sDir + "/long.wav";
        std::string cmd = "ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i "
                          "\"sine=frequency=330:sample_rate=44100:duration=12\" -ac 2 "
                          "-c:a pcm_s16le \"" + media + "\"";
        if (std::system(cmd.c_str()) == 0) sMedia = media;
    }
    static void TearDownTestSuite() {
        if (!sServer.empty()) {
            RunOutput(std::string(KVA_SOURCE_DIR) + "/scripts/pulse-test-server stop " + sDir);
            unsetenv("PULSE_SERVER");
            sServer.clear();
        }
    }
    void SetUp() override {
        if (!sSkip.empty()) GTEST_SKIP() << sSkip;
        ASSERT_FALSE(sMedia.empty());
        auto sys = snd::PulseSoundSystem::Connect(3000, sServer.c_str());
        ASSERT_TRUE(sys);
        snd::SetSoundSystem(sys);
    }
    void TearDown() override {
        snd::SetSoundSystem(nullptr);
        for (auto& m : mModules) Pactl("unload-module " + m);
        if (!sServer.empty()) Pactl("set-default-sink kva_test_a");
    }

    static std::string Pactl(const std::string& args) { return RunOutput("pactl " + args + " 2>&1"); }
    std::string LoadSink(const std::string& name, const std::string& description) {
        std::string idx = Pactl("load-module module-null-sink sink_name=" + name +
                                " format=float32le rate=44100 channels=2 norewinds=1 "
                                "sink_properties=device.description=" + description);
        mModules.push_back(idx);
        return idx;
    }
    void Unload(const std::string& idx) {
        Pactl("unload-module " + idx);
        mModules.erase(std::remove(mModules.begin(), mModules.end(), idx), mModules.end());
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

    static std::string sDir, sServer, sSkip, sMedia;
    std::vector<std::string> mModules;
};
std::string PulseDeviceEvents::sDir, PulseDeviceEvents::sServer, PulseDeviceEvents::sSkip,
    PulseDeviceEvents::sMedia;

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
    Recorder rec;
    ASSERT_TRUE(rec.Start("kva_test_b.monitor", sDir + "/b.raw"));
    RecordingObserver obs;
    IKVAPlayer* p = Playing(obs);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(rec.Peak(), 0.01f);  // still on sink A
    Pactl("set-default-sink kva_test_b");
    EXPECT_TRUE(WaitUntil([&] { return rec.Peak() > 0.03f; }));
    EXPECT_EQ(kStatusStarted, p->GetStatus());
    EXPECT_EQ(0, obs.Count(kNotifyStatus, kStatusError));
    p->Release();
}

TEST_F(PulseDeviceEvents, UnloadingTheSinkInUseKeepsPlaying) {
    std::string idx = LoadSink("kva_dyn_use", "KVA_Dyn_Use");
    Recorder rec;
    ASSERT_TRUE(rec.Start("kva_test_a.monitor", sDir + "/a.raw"));
    RecordingObserver obs;
    IKVAPlayer* p = Playing(obs, u"KVA_Dyn_Use");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(rec.Peak(), 0.01f);  // playing on the loaded sink
    Unload(idx);
    ASSERT_TRUE(obs.WaitFor(kNotifyDeviceEvent, kDeviceEventFailover, 8000));
    EXPECT_TRUE(WaitUntil([&] { return rec.Peak() > 0.03f; }));  // now on the default sink
    EXPECT_EQ(kStatusStarted, p->GetStatus());
    EXPECT_EQ(0, obs.Count(kNotifyStatus, kStatusError));
    p->Release();
}
