// A private sound server for real-output tests (scripts/pulse-test-server), PulseAudio or PipeWire
// with its pulse server: its own socket and two float 44.1 kHz stereo null sinks, kva_test_a
// ("KVA Test Sink A", the default) and kva_test_b ("KVA Test Sink B"); a parec recorder for the
// sinks' monitors; and frame-indexed audio with an audit of what a monitor heard.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/TestPaths.h"
#include "common/TestProcess.h"

namespace kva_test {

class PulseTestServer {
public:
    PulseTestServer() = default;
    ~PulseTestServer() { Stop(); }
    PulseTestServer(const PulseTestServer&) = delete;
    PulseTestServer& operator=(const PulseTestServer&) = delete;

    // Starts a server in a fresh scratch directory and points PULSE_SERVER at it (for libpulse
    // here and for pactl/parec children). It also ends once this process is gone, killed or not.
    bool Start(const std::string& prefix = "kvapulse", const std::string& kind = "pulseaudio") {
        Stop();
        mDir = MakeTempDir(prefix);
        mKind = kind;
        return Launch();
    }
    void Stop() {  // also clears PULSE_SERVER and removes the directory
        if (mDir.empty()) return;  // else a server was launched there
        Kill();
        unsetenv("PULSE_SERVER");
        mServer.clear();
        RemoveTree(mDir);
        mDir.clear();
    }
    // Kills the server only, then starts it again on the same socket.
    void Kill() {
        if (!mDir.empty()) RunCommand(Script() + "stop " + mDir);
        mModules.clear();
    }
    bool Revive() { return !mDir.empty() && Launch(); }

    bool Running() const { return !mServer.empty(); }
    const std::string& Kind() const { return mKind; }
    bool Installed() const { return mInstalled; }
    const std::string& Dir() const { return mDir; }
    const std::string& Server() const { return mServer; }
    const std::string& Error() const { return mError; }  // the script's output when Start failed

    // pactl with standard error folded into the answer.
    static std::string Pactl(const std::string& args, int* status = nullptr) {
        return RunCommand("pactl " + args + " 2>&1", status);
    }
    // Loads a null sink like the test sinks; returns the module index (unloaded by Reset).
    std::string LoadSink(const std::string& name, const std::string& description) {
        mModules.push_back(Pactl("load-module module-null-sink sink_name=" + name + " format=float32le rate=44100 "
                                 "channels=2 sink_properties=device.description=" + description));
        return mModules.back();
    }
    void Unload(const std::string& module) {
        Pactl("unload-module " + module);
        mModules.erase(std::remove(mModules.begin(), mModules.end(), module), mModules.end());
    }
    // Unloads the sinks loaded since the last reset and makes kva_test_a the default again.
    void Reset() {
        for (const std::string& m : mModules) Pactl("unload-module " + m);
        mModules.clear();
        if (Running()) Pactl("set-default-sink kva_test_a");
    }

private:
    static std::string Script() { return std::string(KVA_SOURCE_DIR) + "/scripts/pulse-test-server "; }
    bool Launch() {
        int status = 0;
        const std::string out = RunCommand(
            Script() + "start " + mDir + " " + std::to_string(getpid()) + " " + mKind + " 2>&1", &status);
        mInstalled = status != 3;
        const size_t at = out.rfind("PULSE_SERVER=");
        const bool failed = status != 0 || at == std::string::npos;
        mError = failed ? out : std::string();
        if (failed) {
            RemoveTree(mDir);
            mDir.clear();
            mServer.clear();
            return false;
        }
        mServer = out.substr(at + 13);
        setenv("PULSE_SERVER", mServer.c_str(), 1);
        return true;
    }
    std::string mDir, mServer, mError, mKind;
    bool mInstalled = true;
    std::vector<std::string> mModules;
};

// One server for the whole suite. A test is skipped when pulseaudio is not installed and fails
// when it is but the server does not start; derived SetUps call this one first, then stop
// unless Ready().
template <class Base = ::testing::Test>
class PulseServerTest : public Base {
protected:
    static void SetUpTestSuite() { Pulse().Start(); }
    static void TearDownTestSuite() { Pulse().Stop(); }
    void SetUp() override {
        if (!Pulse().Installed()) GTEST_SKIP() << "pulseaudio is not installed";
        ASSERT_TRUE(Pulse().Running()) << "the private PulseAudio server did not start: " << Pulse().Error();
    }
    void TearDown() override { Pulse().Reset(); }
    bool Ready() const { return !this->IsSkipped() && !this->HasFailure(); }
    static PulseTestServer& Pulse() { static PulseTestServer server; return server; }
};

// Records a source (a sink's monitor: "kva_test_a.monitor") with parec into a file as raw
// interleaved float stereo at 44.1 kHz, until stopped. The file goes with the recorder.
class PulseRecorder {
public:
    PulseRecorder() = default;
    ~PulseRecorder() {
        Stop();
        if (!mPath.empty()) std::remove(mPath.c_str());
    }
    PulseRecorder(const PulseRecorder&) = delete;
    PulseRecorder& operator=(const PulseRecorder&) = delete;

    // Returns once audio (the sink's silence) arrives, so nothing played afterwards is missed.
    bool Start(const std::string& source, const std::string& path) {
        mPath = path;
        const std::string device = "--device=" + source;
        const char* argv[] = {"parec", device.c_str(), "--format=float32le", "--rate=44100", "--channels=2",
                              "--raw", "--latency-msec=20", path.c_str(), nullptr};
        const pid_t parent = getpid();
        mPid = fork();
        if (mPid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // ends with the test process, even a killed one
            if (getppid() != parent) _exit(1);
            execvp("parec", const_cast<char**>(argv));
            _exit(127);
        }
        return mPid > 0 && WaitUntil([&] { return ReadBytes(path).size() > 4096; }, 8000);
    }
    std::vector<float> Read() const { return FloatsFromBytes(ReadBytes(mPath)); }  // recorded so far
    std::vector<float> Stop() {  // stops; everything recorded
        if (mPid > 0) {
            kill(mPid, SIGINT);
            waitpid(mPid, nullptr, 0);
            mPid = -1;
        }
        return Read();
    }

private:
    pid_t mPid = -1;
    std::string mPath;
};

// The largest magnitude among the samples.
inline float Peak(const std::vector<float>& samples) {
    float peak = 0;
    for (float v : samples) peak = std::max(peak, std::fabs(v));
    return peak;
}

// Frame-indexed stereo float audio: frame i carries a level on a ramp that encodes i (left) and
// its negation (right), so a recording tells which frame each heard frame was. Up to 2^20 frames.
constexpr long kIndexSpan = 1L << 20;
constexpr float kIndexLow = 0.1f, kIndexRange = 0.8f;
inline void FillIndexed(float* out, long firstFrame, long frames) {
    for (long i = 0; i < frames; ++i) {
        out[2 * i] = kIndexLow + kIndexRange * float(double((firstFrame + i) % kIndexSpan) / double(kIndexSpan));
        out[2 * i + 1] = -out[2 * i];
    }
}

// What monitors heard of `frames` indexed frames at 44.1 kHz: every frame should be heard once,
// in order, without silence inside. Several recordings (one per sink a stream moved over) add up.
class SignalAudit {
public:
    explicit SignalAudit(long frames) : mHeard(size_t(frames), 0) {}
    // A gap is silence of at least minGapMs between two heard frames of one recording.
    void Add(const std::vector<float>& s, int minGapMs = 5) {
        const long minGap = long(minGapMs) * 44100 / 1000;
        long previous = -1, silence = 0;
        for (size_t i = 0; i + 1 < s.size(); i += 2) {
            const float l = s[i], r = s[i + 1];
            if (std::fabs(l) < 0.02f && std::fabs(r) < 0.02f) {
                ++silence;
                continue;
            }
            if (l < kIndexLow - 0.01f || l > kIndexLow + kIndexRange + 0.01f || std::fabs(l + r) > 1e-4f) {
                ++mForeign;
                continue;
            }
            const long index = std::lround(double(l - kIndexLow) / kIndexRange * double(kIndexSpan));
            if (previous >= 0 && silence >= minGap) {
                if (mGaps++ == 0) mFirstGapAt = index;
                mGapFrames += silence;
                mLongestGap = std::max(mLongestGap, silence);
            }
            if (previous >= 0 && index != previous + 1) ++mEvents;
            silence = 0;
            previous = index;
            if (index >= 0 && index < long(mHeard.size()) && mHeard[size_t(index)] < 255)
                ++mHeard[size_t(index)];
            else
                ++mForeign;
        }
    }
    // No gap, nothing lost (skipped, cut at either end) or repeated, nothing foreign (neither
    // silence nor the signal).
    bool Clean() const { return mGaps == 0 && Lost() == 0 && Repeated() == 0 && mForeign == 0; }
    std::string Report() const {
        auto ms = [](long frames) { return frames * 1000.0 / 44100; };
        const long firstLost = long(std::find(mHeard.begin(), mHeard.end(), 0) - mHeard.begin());
        std::ostringstream o;
        o << mGaps << " gaps of silence (" << ms(mGapFrames) << " ms, longest " << ms(mLongestGap)
          << " ms, the first before frame " << mFirstGapAt << "); " << Lost() << " frames lost (" << ms(Lost())
          << " ms, first at frame " << (Lost() ? firstLost : -1) << ", end "
          << (!mHeard.empty() && mHeard.back() > 0 ? "heard" : "cut") << "); " << Repeated() << " repeated; "
          << mForeign << " foreign; " << mEvents << " jumps in order";
        return o.str();
    }

private:
    long Lost() const { return long(std::count(mHeard.begin(), mHeard.end(), 0)); }
    long Repeated() const {
        long n = 0;
        for (uint8_t h : mHeard) n += h > 1 ? h - 1 : 0;
        return n;
    }
    std::vector<uint8_t> mHeard;
    int mGaps = 0;
    long mGapFrames = 0, mLongestGap = 0, mForeign = 0, mFirstGapAt = -1;
    long mEvents = 0;  // jumps in the heard order
};

// Busy threads at normal priority for as long as the object lives: the machine under load.
class CpuLoad {
public:
    explicit CpuLoad(int threads) {
        for (int i = 0; i < threads; ++i)
            mThreads.emplace_back([this] {
                for (volatile uint64_t x = 0; !mStop.load(std::memory_order_relaxed);) x = x + 1;
            });
    }
    ~CpuLoad() { mStop = true; for (auto& t : mThreads) t.join(); }

private:
    std::atomic<bool> mStop{false};
    std::vector<std::thread> mThreads;
};

}  // namespace kva_test
