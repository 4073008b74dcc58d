// Helpers for the sound-system tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <gtest/gtest.h>
#include <cstring>
#include <mutex>
#include <vector>

#include "common/TestPaths.h"
#include "common/TestProcess.h"
#include "platform/SoundSystem.h"

namespace kva_test {

// Auto-reset event a period callback can signal.
class TestEvent {
public:
    static void Signal(void* self) { static_cast<TestEvent*>(self)->Set(); }
    void Set() {
        std::lock_guard<std::mutex> lock(mMutex);
        mSet = true;
        mCond.notify_all();
    }
    bool Wait(int ms) {
        std::unique_lock<std::mutex> lock(mMutex);
        bool ok = mCond.wait_for(lock, std::chrono::milliseconds(ms), [&] { return mSet; });
        mSet = false;
        return ok;
    }

private:
    std::mutex mMutex;
    std::condition_variable mCond;
    bool mSet = false;
};

// Interleaved float frames of a sine per channel (channel c at freq * (c + 1)).
inline std::vector<float> SineFloat(uint32_t frames, int channels, int rate, double freq,
                                    double amp = 0.5, uint32_t offset = 0) {
    std::vector<float> out(size_t(frames) * channels);
    for (uint32_t i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            out[size_t(i) * channels + c] =
                float(amp * std::sin(2.0 * M_PI * freq * (c + 1) * double(i + offset) / rate));
    return out;
}

inline std::vector<uint8_t> Bytes(const std::vector<float>& v) {
    std::vector<uint8_t> out(v.size() * 4);
    if (!out.empty()) std::memcpy(out.data(), v.data(), out.size());
    return out;
}

// The padding a stream reports, or UINT32_MAX when it fails.
inline uint32_t Padding(kva_audioplayer::snd::IRenderStream* s) {
    uint32_t padding = 0;
    return s->GetPadding(&padding) == kva_audioplayer::snd::kOk ? padding : UINT32_MAX;
}

// The rules every stream keeps, checked on a stopped one holding `held` frames: start and reset
// only from the right state, a reset drops what is held, the volume stays within 0..1.
inline void ExpectStateRules(kva_audioplayer::snd::IRenderStream* s, uint32_t held) {
    using namespace kva_audioplayer::snd;
    EXPECT_EQ(held, Padding(s)) << "a stopped stream holds what was written";
    EXPECT_EQ(kFalse, s->Stop()) << "already stopped";
    ASSERT_EQ(kOk, s->Start());
    EXPECT_EQ(kWrongState, s->Start());
    EXPECT_EQ(kWrongState, s->Reset()) << "reset needs a stopped stream";
    ASSERT_EQ(kOk, s->Stop());
    ASSERT_EQ(kOk, s->Reset());
    EXPECT_EQ(0u, Padding(s));
    for (float outside : {1.5f, -0.1f}) EXPECT_EQ(kInvalidArg, s->SetVolume(outside)) << outside;
    EXPECT_EQ(kOk, s->SetVolume(0.25f));
    EXPECT_FLOAT_EQ(0.25f, s->GetVolume());
    EXPECT_EQ(kOk, s->GetStatus());
}

// Writes all frames to a started stream, waiting on its period callback when there is no room.
// Returns the first failing result, or kOk.
inline int32_t WriteAll(kva_audioplayer::snd::IRenderStream* s, TestEvent* ev,
                        const uint8_t* data, uint32_t frames, uint32_t chunk,
                        int waitMs = 2000) {
    using namespace kva_audioplayer::snd;
    const uint32_t ba = uint32_t(s->GetFormat().BlockAlign());
    for (uint32_t done = 0, padding = 0, n; done < frames; done += n) {
        if (const int32_t r = s->GetPadding(&padding)) return r;  // kOk is 0
        n = std::min({s->BufferFrames() - padding, chunk, frames - done});
        if (n == 0 && !ev->Wait(waitMs)) return kFailed;
        if (const int32_t r = n ? s->Write(data + size_t(done) * ba, n) : kOk) return r;
    }
    return kOk;
}

// Records endpoint events as "added ID", "removed ID", "state ID STATE", "default ID", with the
// thread each came on.
struct EndpointEvents : kva_audioplayer::snd::IListener {
    std::mutex mutex;
    std::condition_variable cond;
    std::vector<std::string> events;
    std::vector<std::thread::id> threads;
    void Add(std::string e) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(std::move(e));
        threads.push_back(std::this_thread::get_id());
        cond.notify_all();
    }
    void OnEndpointAdded(const std::string& id) override { Add("added " + id); }
    void OnEndpointRemoved(const std::string& id) override { Add("removed " + id); }
    void OnEndpointStateChanged(const std::string& id, uint32_t state) override {
        Add("state " + id + " " + std::to_string(state));
    }
    void OnDefaultChanged(const std::string& id) override { Add("default " + id); }
    bool WaitFor(const std::string& e, int ms = 5000) {
        return Wait([&] { return std::find(events.begin(), events.end(), e) != events.end(); }, ms);
    }
    bool WaitCount(size_t n, int ms = 5000) { return Wait([&] { return events.size() >= n; }, ms); }
    template <class Pred> bool Wait(Pred pred, int ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return cond.wait_for(lock, std::chrono::milliseconds(ms), pred);
    }
    std::vector<std::string> Events() { std::lock_guard<std::mutex> lock(mutex); return events; }
    std::vector<std::thread::id> Threads() { std::lock_guard<std::mutex> lock(mutex); return threads; }
};

}  // namespace kva_test
