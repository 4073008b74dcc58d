// A scriptable IF processor for tests: gain, held output, accepted input format, a whole-number
// upsampling of the output, and a chosen slowness, with counters of what the stream called.
#pragma once

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <deque>
#include <mutex>
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
        ++inits;
        return cfg.initResult;
    }
    void SetInputFormat(int32_t* rate, int32_t* channels) override {
        std::lock_guard<std::mutex> g(mLock);
        if (cfg.inRate) *rate = cfg.inRate;
        if (cfg.inChannels) *channels = cfg.inChannels;
        mInRate = *rate;
        mInChannels = *channels;
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
            const size_t frames = static_cast<size_t>(len) / (4 * mInChannels);
            std::vector<float> in(frames * mInChannels);
            memcpy(in.data(), data, in.size() * 4);
            for (size_t f = 0; f < frames; ++f) {
                float l = in[f * mInChannels] * cfg.gain;
                float r = mInChannels > 1 ? in[f * mInChannels + 1] * cfg.gain : l;
                for (int u = 0; u < cfg.upsample; ++u) {
                    if (mOutChannels == 1) {
                        mHeld.push_back(mInChannels > 1 ? (l + r) * 0.5f : l);
                    } else {
                        mHeld.push_back(l);
                        mHeld.push_back(r);
                    }
                }
            }
            if (puts++ < cfg.slowPuts && mInRate > 0)
                sleepMs = static_cast<int>(cfg.slowFactor * frames * 1000 / mInRate);
        }
        if (sleepMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
    }
    void Receive(uint8_t* out, int32_t* len, uint8_t* endFlag) override {
        std::lock_guard<std::mutex> g(mLock);
        const bool ending = (endFlag && *endFlag) || mEnded;
        const size_t hold = ending ? 0 : static_cast<size_t>(cfg.holdFrames) * mOutChannels;
        size_t n = mHeld.size() > hold ? mHeld.size() - hold : 0;
        const size_t room = static_cast<size_t>(std::max(*len, 0)) / (4 * mOutChannels) * mOutChannels;
        n = std::min(n, room) / mOutChannels * mOutChannels;
        for (size_t i = 0; i < n; ++i) {
            float v = mHeld.front();
            mHeld.pop_front();
            memcpy(out + i * 4, &v, 4);
        }
        *len = static_cast<int32_t>(n * 4);
        if (endFlag && *endFlag && !mHeld.empty()) *endFlag = 0;
    }
    void Reset() override {
        std::lock_guard<std::mutex> g(mLock);
        mHeld.clear();
        mEnded = false;
        ++resets;
    }

    int Inits() { std::lock_guard<std::mutex> g(mLock); return inits; }
    int Resets() { std::lock_guard<std::mutex> g(mLock); return resets; }
    int Puts() { std::lock_guard<std::mutex> g(mLock); return puts; }
    int EndMarks() { std::lock_guard<std::mutex> g(mLock); return endMarks; }

private:
    Config cfg;
    std::mutex mLock;
    std::deque<float> mHeld;
    bool mEnded = false;
    int mInRate = 0, mInChannels = 2, mOutChannels = 2;
    int inits = 0, resets = 0, puts = 0, endMarks = 0;
};

// For audio that went through a doubling processor until it was switched off: from stereo frame
// `start` of `got`, the first frames equal 2 x `ref`, the rest equal `ref`, and nothing is
// missing. Returns the number of doubled frames, or -1 (with the reason in `why`).
inline long DoubledThenPlain(const std::vector<float>& got, size_t start,
                             const std::vector<float>& ref, std::string* why) {
    const size_t frames = ref.size() / 2;
    if (got.size() / 2 < start + frames) {
        *why = "output shorter than the source";
        return -1;
    }
    size_t f = 0;
    for (; f < frames; ++f)
        if (got[(start + f) * 2] != 2 * ref[f * 2] || got[(start + f) * 2 + 1] != 2 * ref[f * 2 + 1])
            break;
    const size_t doubled = f;
    for (; f < frames; ++f) {
        if (got[(start + f) * 2] != ref[f * 2] || got[(start + f) * 2 + 1] != ref[f * 2 + 1]) {
            *why = "frame " + std::to_string(f) + " is neither doubled nor plain (doubled up to " +
                   std::to_string(doubled) + ")";
            return -1;
        }
    }
    return static_cast<long>(doubled);
}

}  // namespace kva_test
