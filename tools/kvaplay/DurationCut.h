// --duration in fast renders: the render runs far ahead of the position kvaplay polls, so the cut
// is made on the render thread, to the frame, by an effect that lets nothing through past it.
#pragma once

#include <atomic>
#include <cstdint>

#include "KvaAudioPlayer.h"

namespace kvaplay {

class DurationCut : public kva_audioplayer::IKVAAudioEffect {
public:
    explicit DurationCut(int64_t ms) : mMs(ms) {}
    virtual ~DurationCut() = default;

    bool Init(int32_t format, int32_t channels, int32_t sampleRate, int32_t) override {
        // FFmpeg's sample formats: u8, s16, s32, flt, dbl, then the same planar.
        static const int32_t kBytes[] = {1, 2, 4, 4, 8, 1, 2, 4, 4, 8};
        if (format < 0 || format >= 10 || channels <= 0 || sampleRate <= 0) return false;
        const int64_t frameBytes = int64_t(kBytes[format]) * channels;
        // A format change moves the limit into the new rate; what was let through stays counted.
        const int64_t passedMs = mRate > 0 ? mFrames * 1000 / mRate : 0;
        mFrameBytes = frameBytes;
        mRate = sampleRate;
        mFrames = passedMs * sampleRate / 1000;
        mLimit = mMs * sampleRate / 1000;
        return true;
    }
    void Put(uint8_t*, uint32_t len, uint32_t) override { mLen = len; }
    void Get(uint8_t*, uint32_t* len, uint8_t*) override {
        int64_t frames = mFrameBytes > 0 ? mLen / mFrameBytes : 0;
        if (frames > mLimit - mFrames) frames = mLimit > mFrames ? mLimit - mFrames : 0;
        mFrames += frames;
        *len = static_cast<uint32_t>(frames * mFrameBytes);
        if (mFrames >= mLimit) mDone.store(true);
    }
    void Reset() override {}  // the limit counts across seeks and tracks

    bool Done() const { return mDone.load(); }

private:
    const int64_t mMs;
    // Render thread (Init on the command thread before the first block of a format).
    int64_t mFrameBytes = 0, mRate = 0, mFrames = 0, mLimit = 0;
    uint32_t mLen = 0;
    std::atomic<bool> mDone{false};
};

}  // namespace kvaplay
