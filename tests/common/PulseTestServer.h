// A private sound server for real-output tests (scripts/pulse-test-server), PulseAudio or PipeWire
// with its pulse server: its own socket and two float 44.1 kHz stereo null sinks, kva_test_a
// ("KVA Test Sink A", the default) and kva_test_b ("KVA Test Sink B"); a parec recorder for the
// sinks' monitors; and frame-indexed audio with an audit of what a monitor heard.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace kva_test {

class PulseTestServer {
public:
    PulseTestServer() = default;
    ~PulseTestServer() { Stop(); }
    PulseTestServer(const PulseTestServer&) = delete;
    PulseTestServer& operator=(const PulseTestServer&) = delete;

    // Starts a server in a fresh scratch directory and points PULSE_SERVER at it (for libpulse
    // here and for pactl/parec children). It also ends once this process is gone, killed or not.
    bool Start(const std::string& prefix = "kvapulse", const std::string& kind = "pulseaudio");
    void Stop();  // also clears PULSE_SERVER and removes the directory
    // Kills the server only, then starts it again on the same socket.
    void Kill();
    bool Revive();

    bool Running() const { return !mServer.empty(); }
    const std::string& Kind() const { return mKind; }
    bool Installed() const { return mInstalled; }
    const std::string& Dir() const { return mDir; }
    const std::string& Server() const { return mServer; }
    const std::string& Error() const { return mError; }  // the script's output when Start failed

    // pactl with standard error folded into the answer.
    static std::string Pactl(const std::string& args, int* status = nullptr);
    // Loads a null sink like the test sinks; returns the module index (unloaded by Reset).
    std::string LoadSink(const std::string& name, const std::string& description,
                         const std::string& extra = std::string());
    void Unload(const std::string& module);
    // Unloads the sinks loaded since the last reset and makes kva_test_a the default again.
    void Reset();

private:
    bool Launch();
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
    static PulseTestServer& Pulse() {
        static PulseTestServer server;
        return server;
    }
};

// Records a source (a sink's monitor: "kva_test_a.monitor") with parec into a file as raw
// interleaved float stereo at 44.1 kHz, until stopped. The file goes with the recorder.
class PulseRecorder {
public:
    PulseRecorder() = default;
    ~PulseRecorder();
    PulseRecorder(const PulseRecorder&) = delete;
    PulseRecorder& operator=(const PulseRecorder&) = delete;

    // Returns once audio (the sink's silence) arrives, so nothing played afterwards is missed.
    bool Start(const std::string& source, const std::string& path);
    std::vector<float> Read() const;  // what was recorded so far
    std::vector<float> Stop();        // stops; everything recorded

private:
    pid_t mPid = -1;
    std::string mPath;
};

// Frame-indexed stereo float audio: frame i carries a level on a ramp that encodes i (left) and
// its negation (right), so a recording tells which frame each heard frame was. Up to 2^20 frames.
void FillIndexed(float* interleaved, long firstFrame, long frames);

// What monitors heard of `frames` indexed frames at 44.1 kHz: every frame should be heard once,
// in order, without silence inside. Several recordings (one per sink a stream moved over) add up.
class SignalAudit {
public:
    explicit SignalAudit(long frames) : mHeard(size_t(frames), 0) {}
    // A gap is silence of at least minGapMs between two heard frames of one recording.
    void Add(const std::vector<float>& interleavedStereo, int minGapMs = 5);
    // No gap, nothing lost (skipped, cut at either end) or repeated, nothing foreign (neither
    // silence nor the signal).
    bool Clean() const { return mGaps == 0 && Lost() == 0 && Repeated() == 0 && mForeign == 0; }
    std::string Report() const;

private:
    long Lost() const;
    long Repeated() const;
    std::vector<uint8_t> mHeard;
    int mGaps = 0;
    long mGapFrames = 0, mLongestGap = 0, mForeign = 0, mFirstGapAt = -1;
    long mEvents = 0;  // jumps in the heard order
};

// Busy threads at normal priority for as long as the object lives: the machine under load.
class CpuLoad {
public:
    explicit CpuLoad(int threads);
    ~CpuLoad();

private:
    std::atomic<bool> mStop{false};
    std::vector<std::thread> mThreads;
};

}  // namespace kva_test
