// In-place PCM conversion of an AudioFrame between two descriptions (libswresample).
#pragma once

#include <cstdint>

#include "support/AudioTypes.h"
#include "support/KVASync.h"

struct SwrContext;

namespace kva_audioplayer {

class CKVAAudioNormlizer {
public:
    enum State : int32_t { kPassThrough = 1, kReady = 4, kConverting = 5 };

    CKVAAudioNormlizer();
    virtual ~CKVAAudioNormlizer();

    virtual void setFormat(const AudioDescription* src, const AudioDescription* out);
    // New byte count, 0 when nothing was done, or a negative code (-4 .. -7).
    virtual int32_t convert(AudioFrame* frame);
    virtual bool isSameFormat(const AudioDescription& a, const AudioDescription& b);
    virtual int32_t getBitsPerSample(int32_t fmt);
    virtual int32_t reserveBuffer(AudioFrame* frame, int32_t needed);
    // At the end of the input: what the converter still holds is appended to the frame (in the
    // output format). Bytes added, or a negative code.
    int32_t drain(AudioFrame* frame);
    // Drops what the converter holds (a seek); the formats stay.
    void reset();

    int32_t state();

    CKVAAudioNormlizer(const CKVAAudioNormlizer&) = delete;
    CKVAAudioNormlizer& operator=(const CKVAAudioNormlizer&) = delete;

private:
    CKVACritical mLock;
    int32_t mState = kPassThrough;
    SwrContext* mSwr = nullptr;
    uint8_t* mScratch = nullptr;
    int32_t mScratchCapacity = 0;
    AudioDescription mSrc{};
    AudioDescription mOut{};
};

}  // namespace kva_audioplayer
