// A private PulseAudio server for real-output tests (scripts/pulse-test-server): its own socket
// and two float 44.1 kHz stereo null sinks, kva_test_a ("KVA Test Sink A", the default) and
// kva_test_b ("KVA Test Sink B"); and a parec recorder for the sinks' monitors.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace kva_test {

class PulseTestServer {
public:
    PulseTestServer() = default;
    ~PulseTestServer() { Stop(); }
    PulseTestServer(const PulseTestServer&) = delete;
    PulseTestServer& operator=(const PulseTestServer&) = delete;

    // Starts a server in a fresh scratch directory and points PULSE_SERVER at it, for libpulse
    // in this process and for pactl/parec children. The server also ends once this process is
    // gone, killed or not.
    bool Start(const std::string& prefix = "kvapulse");
    // Stops the server, clears PULSE_SERVER and removes the directory.
    void Stop();

    bool Running() const { return !mServer.empty(); }
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
    std::string mDir, mServer, mError;
    bool mInstalled = true;
    std::vector<std::string> mModules;
};

// A fixture with one server for the whole suite. A test is skipped when pulseaudio is not
// installed, and fails when it is but the server does not start. Derived fixtures call the base
// SetUp first and stop when it skipped or failed.
template <class Base = ::testing::Test>
class PulseServerTest : public Base {
protected:
    static void SetUpTestSuite() { Pulse().Start(); }
    static void TearDownTestSuite() { Pulse().Stop(); }
    void SetUp() override {
        if (!Pulse().Installed()) GTEST_SKIP() << "pulseaudio is not installed";
        ASSERT_TRUE(Pulse().Running()) << "the private PulseAudio server did not start: "
                                       << Pulse().Error();
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
    // What was recorded so far.
    std::vector<float> Read() const;
    // Stops recording; returns everything recorded.
    std::vector<float> Stop();

private:
    pid_t mPid = -1;
    std::string mPath;
};

}  // namespace kva_test
