// Helpers for the output-device tests: a scripted, recording device observer, waits on
// conditions, and formats.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/AudioTypes.h"
#include "common/TestProcess.h"
#include "platform/VirtualSoundSystem.h"
#include "device/DeviceObserver.h"

namespace kva_test {

using kva_audioplayer::AudioDescription;

inline AudioDescription MakeDescription(int rate, int channels, int sampleFormat, int bits,
                                        uint64_t layout = 0) {
    AudioDescription d;
    memset(&d, 0, sizeof(d));
    d.nTag = kva_audioplayer::kAudioDescriptionTag;
    d.nSampleRate = rate;
    d.nChannel = channels;
    d.nSampleFormat = sampleFormat;
    d.nBitsPerSample = bits;
    d.nChannelLayout = layout;
    return d;
}

// 44.1 kHz stereo float: the virtual endpoints' mix format.
inline AudioDescription MixDescription() { return MakeDescription(44100, 2, 3, 32, 0x3); }

// Answers each fill through a script (call index from 0, buffer, wanted bytes -> status, with
// *length set); records what each fill asked for, everything delivered and every device error.
class ScriptedObserver : public kva_audioplayer::IKVADeviceObserver {
public:
    typedef std::function<int32_t(int call, uint8_t* buffer, int32_t* length)> Script;

    explicit ScriptedObserver(Script script) : mScript(std::move(script)) {}

    int32_t BufferFill(uint8_t* buffer, int32_t* length, int64_t* position) override {
        int call;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            call = mCalls;
            mPresets.push_back(*position);
            mAsked.push_back(*length);
        }
        int32_t status = mScript(call, buffer, length);
        {
            std::lock_guard<std::mutex> lock(mMutex);
            ++mCalls;
            if (status >= 0 || status == -18) {
                if (*length > 0) mDelivered.insert(mDelivered.end(), buffer, buffer + *length);
            }
        }
        mCond.notify_all();
        return status;
    }
    int32_t FrameFill(kva_audioplayer::AudioFrame*) override { return -12; }
    void DeviceError(int32_t code) override {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mErrors.push_back(code);
        }
        mCond.notify_all();
    }
    void OnDeviceNotify(int32_t, const char16_t*, const char16_t*) override {}

    int Calls() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mCalls;
    }
    std::vector<int32_t> Errors() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mErrors;
    }
    std::vector<uint8_t> Delivered() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mDelivered;
    }
    std::vector<int64_t> Presets() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mPresets;
    }
    std::vector<int32_t> Asked() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mAsked;
    }
    bool WaitCalls(int n, int timeoutMs = 5000) {
        std::unique_lock<std::mutex> lock(mMutex);
        return mCond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return mCalls >= n; });
    }
    bool WaitError(int timeoutMs = 5000) {
        std::unique_lock<std::mutex> lock(mMutex);
        return mCond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return !mErrors.empty(); });
    }

private:
    Script mScript;
    std::mutex mMutex;
    std::condition_variable mCond;
    int mCalls = 0;
    std::vector<int32_t> mErrors;
    std::vector<uint8_t> mDelivered;
    std::vector<int64_t> mPresets;
    std::vector<int32_t> mAsked;
};

// Fills with a float ramp that differs per sample, so any lost, repeated or reordered byte shows.
inline void FillPattern(uint8_t* buffer, int32_t bytes, int* counter) {
    float* f = reinterpret_cast<float*>(buffer);
    for (int32_t i = 0; i < bytes / 4; ++i) {
        f[i] = static_cast<float>(((*counter)++ % 20000) - 10000) / 10001.0f;
    }
}

// Fills the first `full` periods with the pattern, then ends the stream (-18); the answer that
// ends it carries half a period with `halfLast`, else nothing.
inline ScriptedObserver::Script PatternThenEnd(int full, int* counter, bool halfLast = false) {
    return [=](int call, uint8_t* buffer, int32_t* length) -> int32_t {
        if (call < full) {
            FillPattern(buffer, *length, counter);
            return 0;
        }
        if (call == full && halfLast) {
            *length = (*length / 2) & ~7;
            FillPattern(buffer, *length, counter);
            return -18;
        }
        *length = 0;
        return -18;
    };
}

// Fills every period with the pattern, without end.
inline ScriptedObserver::Script PatternForever(int* counter) {
    return PatternThenEnd(INT_MAX, counter);
}

// A virtual sound system with the default endpoint "main" ("Speakers (Main)") and "second"
// ("Headphones (Second)"), both captured, made the process-wide one.
inline std::shared_ptr<kva_audioplayer::snd::VirtualSoundSystem> MainAndSecond(bool fast) {
    using kva_audioplayer::snd::VirtualSoundSystem;
    auto sys = std::make_shared<VirtualSoundSystem>(fast);
    sys->AddEndpoint(VirtualSoundSystem::MakeEndpoint("main", u"Speakers (Main)"), true);
    sys->AddEndpoint(VirtualSoundSystem::MakeEndpoint("second", u"Headphones (Second)"));
    sys->SetCapture("main", true);
    sys->SetCapture("second", true);
    kva_audioplayer::snd::SetSoundSystem(sys);
    return sys;
}

// A device of one driver on MainAndSecond: OpenDevice inits and opens one (with ID 3).
template <class Device>
class VirtualDeviceTest : public ::testing::Test {
protected:
    void SetUp() override { Make(true); }
    void TearDown() override { kva_audioplayer::snd::SetSoundSystem(nullptr); }
    virtual void Make(bool fast) { sys = MainAndSecond(fast); }

    std::unique_ptr<Device> OpenDevice(const AudioDescription& format,
                                       const std::u16string& name = u"") {
        auto d = std::make_unique<Device>(name);
        EXPECT_EQ(d->Init(), 0);
        EXPECT_EQ(d->Open(3, &format), 0);
        return d;
    }

    std::shared_ptr<kva_audioplayer::snd::VirtualSoundSystem> sys;
};

// What an endpoint got from a stream that ended: `lead` bytes of silence (a pre-roll), every byte
// delivered, then nothing but silence (the tail written after the last data).
inline ::testing::AssertionResult PlayedThenSilence(const std::vector<uint8_t>& got,
                                                    const std::vector<uint8_t>& delivered,
                                                    size_t lead = 0) {
    if (got.size() < lead + delivered.size())
        return ::testing::AssertionFailure() << got.size() << " bytes captured, fewer than "
                                             << lead << " + " << delivered.size();
    for (size_t i = 0; i < got.size(); ++i) {
        const bool data = i >= lead && i < lead + delivered.size();
        if (got[i] != (data ? delivered[i - lead] : 0))
            return ::testing::AssertionFailure() << "byte " << i << " of " << got.size()
                                                 << (data ? " differs from the data" : " not silent");
    }
    return ::testing::AssertionSuccess();
}

// Number of threads of this process whose name starts with prefix.
inline int CountThreads(const std::string& prefix) {
    int n = 0;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return -1;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name.compare(0, prefix.size(), prefix) == 0) ++n;
    }
    closedir(dir);
    return n;
}

// Context switches so far of this process's threads whose name starts with prefix: how often
// they woke.
inline long WakeUps(const std::string& prefix) {
    long n = 0;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return -1;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const std::string task = std::string("/proc/self/task/") + e->d_name;
        std::ifstream comm(task + "/comm");
        std::string name, line;
        std::getline(comm, name);
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        std::ifstream status(task + "/status");
        while (std::getline(status, line)) {
            if (line.find("ctxt_switches:") != std::string::npos)
                n += std::atol(line.c_str() + line.find(':') + 1);
        }
    }
    closedir(dir);
    return n;
}

}  // namespace kva_test
