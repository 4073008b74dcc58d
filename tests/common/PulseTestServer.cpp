#include "common/PulseTestServer.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "common/TestPaths.h"
#include "common/TestProcess.h"

namespace kva_test {

namespace {
std::string Script() { return std::string(KVA_SOURCE_DIR) + "/scripts/pulse-test-server "; }
constexpr long kIndexSpan = 1L << 20;
constexpr float kLow = 0.1f, kRange = 0.8f, kSilence = 0.02f;
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
    const std::string out =
        RunCommand(Script() + "start " + mDir + " " + std::to_string(getpid()) + " " + mKind + " 2>&1", &status);
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
    mModules.push_back(Pactl("load-module module-null-sink sink_name=" + name + " format=float32le rate=44100 "
                             "channels=2 " + extra + " sink_properties=device.description=" + description));
    return mModules.back();
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

std::vector<float> PulseRecorder::Read() const {
    const std::vector<uint8_t> bytes = ReadBytes(mPath);
    std::vector<float> samples(bytes.size() / 4);
    if (!samples.empty()) memcpy(samples.data(), bytes.data(), samples.size() * 4);
    return samples;
}

std::vector<float> PulseRecorder::Stop() {
    if (mPid > 0) {
        kill(mPid, SIGINT);
        waitpid(mPid, nullptr, 0);
        mPid = -1;
    }
    return Read();
}

void FillIndexed(float* out, long firstFrame, long frames) {
    for (long i = 0; i < frames; ++i) {
        const float v = kLow + kRange * float(double((firstFrame + i) % kIndexSpan) / double(kIndexSpan));
        out[2 * i] = v;
        out[2 * i + 1] = -v;
    }
}

void SignalAudit::Add(const std::vector<float>& s, int minGapMs) {
    const long minGap = long(minGapMs) * 44100 / 1000;
    long previous = -1, silence = 0;
    for (size_t i = 0; i + 1 < s.size(); i += 2) {
        const float l = s[i], r = s[i + 1];
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

long SignalAudit::Lost() const { return long(std::count(mHeard.begin(), mHeard.end(), 0)); }

long SignalAudit::Repeated() const {
    long n = 0;
    for (uint8_t h : mHeard) n += h > 1 ? h - 1 : 0;
    return n;
}

std::string SignalAudit::Report() const {
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

CpuLoad::CpuLoad(int threads) {
    for (int i = 0; i < threads; ++i)
        mThreads.emplace_back([this] {
            for (volatile uint64_t x = 0; !mStop.load(std::memory_order_relaxed);) x = x + 1;
        });
}

CpuLoad::~CpuLoad() {
    mStop = true;
    for (auto& t : mThreads) t.join();
}

}  // namespace kva_test
