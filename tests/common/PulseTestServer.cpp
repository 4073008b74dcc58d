#include "common/PulseTestServer.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <sstream>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "common/TestPaths.h"
#include "common/TestProcess.h"

namespace kva_test {

namespace {
std::string Script() { return std::string(KVA_SOURCE_DIR) + "/scripts/pulse-test-server "; }
}  // namespace

bool PulseTestServer::Start(const std::string& prefix, const std::string& kind) {
    Stop();
    mDir = MakeTempDir(prefix);
    mKind = kind;
    return Launch();
}

void PulseTestServer::Kill() {
    if (!mDir.empty()) RunCommand(Script() + "stop " + mDir);
    mModules.clear();
}

bool PulseTestServer::Revive() { return !mDir.empty() && Launch(); }

bool PulseTestServer::Launch() {
    int status = 0;
    std::string out = RunCommand(
        Script() + "start " + mDir + " " + std::to_string(getpid()) + " " + mKind + " 2>&1", &status);
    mInstalled = status != 3;
    const std::string key = "PULSE_SERVER=";
    const size_t at = out.rfind(key);
    if (status != 0 || at == std::string::npos) {
        mError = out;
        RemoveTree(mDir);
        mDir.clear();
        mServer.clear();
        return false;
    }
    mError.clear();
    mServer = out.substr(at + key.size());
    setenv("PULSE_SERVER", mServer.c_str(), 1);
    return true;
}

void PulseTestServer::Stop() {
    if (mDir.empty()) return;
    if (!mServer.empty()) {
        RunCommand(Script() + "stop " + mDir);
        unsetenv("PULSE_SERVER");
        mServer.clear();
    }
    mModules.clear();
    RemoveTree(mDir);
    mDir.clear();
}

std::string PulseTestServer::Pactl(const std::string& args, int* status) {
    return RunCommand("pactl " + args + " 2>&1", status);
}

std::string PulseTestServer::LoadSink(const std::string& name, const std::string& description,
                                      const std::string& extra) {
    std::string idx = Pactl("load-module module-null-sink sink_name=" + name +
                            " format=float32le rate=44100 channels=2 " + extra +
                            " sink_properties=device.description=" + description);
    mModules.push_back(idx);
    return idx;
}

void PulseTestServer::Unload(const std::string& module) {
    Pactl("unload-module " + module);
    mModules.erase(std::remove(mModules.begin(), mModules.end(), module), mModules.end());
}

void PulseTestServer::Reset() {
    for (const std::string& m : mModules) Pactl("unload-module " + m);
    mModules.clear();
    if (Running()) Pactl("set-default-sink kva_test_a");
}

PulseRecorder::~PulseRecorder() {
    Stop();
    if (!mPath.empty()) std::remove(mPath.c_str());
}

bool PulseRecorder::Start(const std::string& source, const std::string& path) {
    mPath = path;
    const std::string device = "--device=" + source;
    const char* argv[] = {"parec",        device.c_str(), "--format=float32le",
                          "--rate=44100", "--channels=2", "--raw",
                          "--latency-msec=20", path.c_str(), nullptr};
    const pid_t parent = getpid();
    mPid = fork();
    if (mPid < 0) return false;
    if (mPid == 0) {
        // Ends with the test process, even when that one is killed.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(1);
        execvp("parec", const_cast<char**>(argv));
        _exit(127);
    }
    return WaitUntil(
        [&] {
            std::ifstream f(path, std::ios::binary | std::ios::ate);
            return f && f.tellg() > 4096;
        },
        8000);
}

std::vector<float> PulseRecorder::Read() const {
    std::ifstream in(mPath, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<float> samples(bytes.size() / 4);
    if (!samples.empty()) memcpy(samples.data(), bytes.data(), samples.size() * 4);
    return samples;
}

std::vector<float> PulseRecorder::Stop() {
    if (mPid > 0) {
        kill(mPid, SIGINT);
        int st;
        waitpid(mPid, &st, 0);
        mPid = -1;
    }
    return Read();
}

namespace {
constexpr float kLow = 0.1f, kRange = 0.8f;
constexpr float kSilence = 0.02f;
}  // namespace

void FillIndexed(float* out, long firstFrame, long frames) {
    for (long i = 0; i < frames; ++i) {
        const long index = (firstFrame + i) % kIndexSpan;
        const float v = kLow + kRange * float(double(index) / double(kIndexSpan));
        out[2 * i] = v;
        out[2 * i + 1] = -v;
    }
}

void SignalAudit::Add(const std::vector<float>& s, int minGapMs) {
    const long frames = long(s.size() / 2);
    const long minGap = long(minGapMs) * mRate / 1000;
    long previous = -1, silence = 0;
    for (long i = 0; i < frames; ++i) {
        const float l = s[2 * i], r = s[2 * i + 1];
        if (std::fabs(l) < kSilence && std::fabs(r) < kSilence) {
            ++silence;
            continue;
        }
        if (l < kLow - 0.01f || l > kLow + kRange + 0.01f || std::fabs(l + r) > 1e-4f) {
            ++mForeign;
            continue;
        }
        const long index = std::lround(double(l - kLow) / kRange * double(kIndexSpan));
        if (previous >= 0 && silence >= minGap) {
            if (mGaps == 0) mFirstGapAt = index;
            ++mGaps;
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

long SignalAudit::Lost() const { return long(std::count(mHeard.begin(), mHeard.end(), 0)); }

long SignalAudit::Repeated() const {
    long n = 0;
    for (uint8_t h : mHeard) n += h > 1 ? h - 1 : 0;
    return n;
}

std::string SignalAudit::Report() const {
    std::ostringstream o;
    long firstLost = -1;
    for (size_t i = 0; i < mHeard.size() && firstLost < 0; ++i) {
        if (mHeard[i] == 0) firstLost = long(i);
    }
    o << mGaps << " gaps of silence (" << Ms(mGapFrames) << " ms, longest " << Ms(mLongestGap)
      << " ms, the first before frame " << mFirstGapAt << "); " << Lost() << " frames lost (" << Ms(Lost()) << " ms, first at frame "
      << firstLost << ", end " << (EndHeard() ? "heard" : "cut") << "); " << Repeated()
      << " repeated; " << mForeign << " foreign; " << mEvents << " jumps in order";
    return o.str();
}

struct CpuLoad::State {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
};

CpuLoad::CpuLoad(int threads) : mState(new State) {
    for (int i = 0; i < threads; ++i) {
        mState->threads.emplace_back([s = mState] {
            volatile uint64_t x = 0;
            while (!s->stop.load(std::memory_order_relaxed)) x = x + 1;
        });
    }
}

CpuLoad::~CpuLoad() {
    mState->stop = true;
    for (auto& t : mState->threads) t.join();
    delete mState;
}

}  // namespace kva_test
