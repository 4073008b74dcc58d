// Helpers for the output-device tests: a scripted, recording device observer, waits on
// conditions, and formats.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <climits>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "support/AudioTypes.h"
#include "common/TestProcess.h"
#include "platform/VirtualSoundSystem.h"
#include "device/DeviceObserver.h"

namespace kva_test {

inline kva_audioplayer::AudioDescription MakeDescription(int rate, int channels, int sampleFormat, int bits,
                                                        uint64_t layout = 0) {
    return {kva_audioplayer::kAudioDescriptionTag, rate, channels, sampleFormat, layout, bits, 0};
}

// 44.1 kHz stereo float: the virtual endpoints' mix format.
inline kva_audioplayer::AudioDescription MixDescription() { return MakeDescription(44100, 2, 3, 32, 0x3); }

// Answers each fill through a script (call index from 0, buffer, wanted bytes -> status, with
// *length set); records what each fill asked for, everything delivered, every device error and
// every notification.
class ScriptedObserver : public kva_audioplayer::IKVADeviceObserver {
public:
    typedef std::function<int32_t(int call, uint8_t* buffer, int32_t* length)> Script;
    struct Note { int32_t type; std::u16string id, name; };

    explicit ScriptedObserver(Script script = nullptr) : mScript(std::move(script)) {}

    int32_t BufferFill(uint8_t* buffer, int32_t* length, int64_t* position, int64_t) override {
        const int call = Locked([&] {
            mPresets.push_back(*position);
            mAsked.push_back(*length);
            return mCalls;
        });
        const int32_t status = mScript(call, buffer, length);
        Locked([&] {
            if ((status >= 0 || status == -18) && *length > 0)
                mDelivered.insert(mDelivered.end(), buffer, buffer + *length);
            return ++mCalls;
        });
        return status;
    }
    int32_t FrameFill(kva_audioplayer::AudioFrame*) override { return -12; }
    void DeviceError(int32_t code) override { Locked([&] { return mErrors.push_back(code), 0; }); }
    void OnDeviceNotify(int32_t event, const char16_t* id, const char16_t* name) override {
        if (firstNoticeMs > 0 && Notes().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(firstNoticeMs));
        Locked([&] { return mNotes.push_back({event, id ? id : u"", name ? name : u""}), 0; });
    }

    int firstNoticeMs = 0;  // how long the first device notice takes the host
    int Calls() { return Locked([&] { return mCalls; }); }
    std::vector<int32_t> Errors() { return Locked([&] { return mErrors; }); }
    std::vector<uint8_t> Delivered() { return Locked([&] { return mDelivered; }); }
    std::vector<int64_t> Presets() { return Locked([&] { return mPresets; }); }
    std::vector<int32_t> Asked() { return Locked([&] { return mAsked; }); }
    std::vector<Note> Notes() { return Locked([&] { return mNotes; }); }
    bool WaitCalls(int n, int ms = 5000) { return Wait([&] { return mCalls >= n; }, ms); }
    bool WaitError(int ms = 5000) { return Wait([&] { return !mErrors.empty(); }, ms); }
    bool WaitNotes(size_t n, int ms = 5000) { return Wait([&] { return mNotes.size() >= n; }, ms); }

private:
    // Runs f under the lock and wakes the waiters.
    template <class F>
    auto Locked(F f) -> decltype(f()) {
        std::unique_lock<std::mutex> lock(mMutex);
        auto r = f();
        mCond.notify_all();
        return r;
    }
    template <class P>
    bool Wait(P pred, int ms) {
        std::unique_lock<std::mutex> lock(mMutex);
        return mCond.wait_for(lock, std::chrono::milliseconds(ms), pred);
    }

    Script mScript;
    std::mutex mMutex;
    std::condition_variable mCond;
    int mCalls = 0;
    std::vector<int32_t> mErrors;
    std::vector<uint8_t> mDelivered;
    std::vector<int64_t> mPresets;
    std::vector<int32_t> mAsked;
    std::vector<Note> mNotes;
};

// Fills with a float ramp that differs per sample, so any lost, repeated or reordered byte shows.
inline void FillPattern(uint8_t* buffer, int32_t bytes, int* counter) {
    float* f = reinterpret_cast<float*>(buffer);
    for (int32_t i = 0; i < bytes / 4; ++i)
        f[i] = static_cast<float>(((*counter)++ % 20000) - 10000) / 10001.0f;
}

// Fills the first `full` periods with the pattern, then ends the stream (-18); the answer that
// ends it carries half a period with `halfLast`, else nothing.
inline ScriptedObserver::Script PatternThenEnd(int full, int* counter, bool halfLast = false) {
    return [=](int call, uint8_t* buffer, int32_t* length) -> int32_t {
        if (call > full || (call == full && !halfLast)) *length = 0;
        else if (call == full) *length = (*length / 2) & ~7;
        FillPattern(buffer, *length, counter);
        return call < full ? 0 : -18;
    };
}

// Fills every period with the pattern, without end.
inline ScriptedObserver::Script PatternForever(int* counter) { return PatternThenEnd(INT_MAX, counter); }

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

// What an endpoint got from a stream that ended: `lead` bytes of silence (a pre-roll), every byte
// delivered, then nothing but silence (the tail written after the last data).
inline ::testing::AssertionResult PlayedThenSilence(const std::vector<uint8_t>& got,
                                                    const std::vector<uint8_t>& delivered,
                                                    size_t lead = 0, uint8_t silence = 0) {
    if (got.size() < lead + delivered.size())
        return ::testing::AssertionFailure() << got.size() << " bytes captured, fewer than "
                                             << lead << " + " << delivered.size();
    for (size_t i = 0; i < got.size(); ++i) {
        const bool data = i >= lead && i < lead + delivered.size();
        if (got[i] != (data ? delivered[i - lead] : silence))
            return ::testing::AssertionFailure() << "byte " << i << " of " << got.size()
                                                 << (data ? " differs from the data" : " not silent");
    }
    return ::testing::AssertionSuccess();
}

// Over this process's threads whose name starts with prefix: how many there are, or with
// wakeUps how many context switches they made so far (how often they woke).
inline long Threads(const std::string& prefix, bool wakeUps = false) {
    long n = 0;
    DIR* dir = opendir("/proc/self/task");
    while (dirent* e = dir ? readdir(dir) : nullptr) {
        const std::string task = std::string("/proc/self/task/") + e->d_name;
        std::ifstream comm(task + "/comm"), status(task + "/status");
        std::string name, line;
        if (e->d_name[0] == '.' || !std::getline(comm, name) || name.compare(0, prefix.size(), prefix))
            continue;
        while (wakeUps && std::getline(status, line))
            if (line.find("ctxt_switches:") != std::string::npos) n += std::atol(line.c_str() + line.find(':') + 1);
        n += !wakeUps;
    }
    if (dir) closedir(dir);
    return n;
}

}  // namespace kva_test
