// A scriptable IF processor for tests: gain, held output, accepted input format, a whole-number
// upsampling of the output, and a chosen slowness, with counters of what the stream called.
#pragma once

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

#include "KvaAudioPlayer.h"

namespace kva_test {

class TestIFProcessor : public kva_audioplayer::IKVAAudioIFProcessor {
public:
    struct Config {
        float gain = 1.0f;
        int holdFrames = 0;       // output frames kept back until the input ends
        int inRate = 0;           // accepted input rate; 0 takes the source's
        int inChannels = 0;       // accepted input channels (1 or 2); 0 takes the source's
        int outChannels = 0;      // 0: as the input; 1 <-> 2 mixes down or copies
        int upsample = 1;         // output rate = input rate x this (each frame repeated)
        double slowFactor = 0.0;  // each Put sleeps this many times its audio's duration
        int slowPuts = INT_MAX;   // ... for this many Puts
        int initResult = 0;
    };
    explicit TestIFProcessor(const Config& c) : cfg(c) {}

    int32_t Init() override {
        std::lock_guard<std::mutex> g(mLock);
        char name[16] = "";
        pthread_getname_np(pthread_self(), name, sizeof(name));
        initThreads.push_back(name);
        return cfg.initResult;
    }
    void SetInputFormat(int32_t* rate, int32_t* channels) override {
        std::lock_guard<std::mutex> g(mLock);
        mInRate = *rate = cfg.inRate ? cfg.inRate : *rate;
        mInChannels = *channels = cfg.inChannels ? cfg.inChannels : *channels;
        mOutChannels = cfg.outChannels ? cfg.outChannels : *channels;
    }
    void GetOutputFormat(int32_t* rate, int32_t* channels) override {
        std::lock_guard<std::mutex> g(mLock);
        *rate = mInRate * cfg.upsample;
        *channels = mOutChannels;
    }
    void Put(const uint8_t* data, int32_t len) override {
        int sleepMs = 0;
        {
            std::lock_guard<std::mutex> g(mLock);
            if (!data || len <= 0) {
                mEnded = true;
                ++endMarks;
                return;
            }
            const size_t frames = size_t(len) / (4 * mInChannels);
            for (size_t f = 0; f < frames; ++f) {
                float l, r;
                memcpy(&l, data + 4 * f * mInChannels, 4);
                memcpy(&r, data + 4 * (f * mInChannels + (mInChannels > 1)), 4);
                l *= cfg.gain;
                r *= cfg.gain;
                for (int u = 0; u < cfg.upsample; ++u) {
                    if (mOutChannels == 1) {
                        mHeld.push_back(mInChannels > 1 ? (l + r) * 0.5f : l);
                    } else {
                        mHeld.push_back(l);
                        mHeld.push_back(r);
                    }
                }
            }
            if (puts++ < cfg.slowPuts && mInRate > 0) sleepMs = int(cfg.slowFactor * frames * 1000 / mInRate);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
    }
    void Receive(uint8_t* out, int32_t* len, uint8_t* endFlag) override {
        std::lock_guard<std::mutex> g(mLock);
        const size_t hold = (endFlag && *endFlag) || mEnded ? 0 : size_t(cfg.holdFrames) * mOutChannels;
        const size_t room = size_t(std::max(*len, 0)) / (4 * mOutChannels) * mOutChannels;
        const size_t n = std::min(mHeld.size() > hold ? mHeld.size() - hold : 0, room) / mOutChannels * mOutChannels;
        for (size_t i = 0; i < n; ++i) memcpy(out + 4 * i, &mHeld[i], 4);
        mHeld.erase(mHeld.begin(), mHeld.begin() + long(n));
        *len = int32_t(n * 4);
        if (endFlag && *endFlag && !mHeld.empty()) *endFlag = 0;
    }
    void Reset() override {
        std::lock_guard<std::mutex> g(mLock);
        mHeld.clear();
        mEnded = false;
        ++resets;
    }

    int Inits() { std::lock_guard<std::mutex> g(mLock); return int(initThreads.size()); }
    std::vector<std::string> InitThreads() { std::lock_guard<std::mutex> g(mLock); return initThreads; }
    int Resets() { std::lock_guard<std::mutex> g(mLock); return resets; }
    int Puts() { std::lock_guard<std::mutex> g(mLock); return puts; }
    int EndMarks() { std::lock_guard<std::mutex> g(mLock); return endMarks; }

private:
    Config cfg;
    std::mutex mLock;
    std::deque<float> mHeld;
    bool mEnded = false;
    int mInRate = 0, mInChannels = 2, mOutChannels = 2;
    int resets = 0, puts = 0, endMarks = 0;
    std::vector<std::string> initThreads;
};

// For audio that went through a doubling processor until it was switched off: from stereo frame
// `start` of `got`, the first frames equal 2 x `ref`, the rest equal `ref`, and nothing is
// missing. Returns the number of doubled frames, or -1 (with the reason in `why`).
inline long DoubledThenPlain(const std::vector<float>& got, size_t start, const std::vector<float>& ref,
                             std::string* why) {
    const size_t frames = ref.size() / 2;
    auto fail = [why](const std::string& reason) { return *why = reason, -1L; };
    if (got.size() / 2 < start + frames) return fail("output shorter than the source");
    auto is = [&](size_t f, float k) {
        return got[(start + f) * 2] == k * ref[f * 2] && got[(start + f) * 2 + 1] == k * ref[f * 2 + 1];
    };
    size_t doubled = 0;
    while (doubled < frames && is(doubled, 2)) ++doubled;
    for (size_t f = doubled; f < frames; ++f)
        if (!is(f, 1))
            return fail("frame " + std::to_string(f) + " is neither doubled nor plain (doubled up to " +
                        std::to_string(doubled) + ")");
    return long(doubled);
}

}  // namespace kva_test
