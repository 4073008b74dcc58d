// The PCM format record and the PCM block exchanged by decoder, stream, chain, player and devices.
#pragma once

#include <cstdint>
#include <cstring>

#include "support/SampleFormat.h"

namespace kva_audioplayer {

// "VMCP" in memory order.
constexpr uint32_t kAudioDescriptionTag = 0x50434D56u;

struct AudioDescription {
    uint32_t nTag;
    int32_t nSampleRate;
    int32_t nChannel;
    int32_t nSampleFormat;     // KVASampleFormat (FFmpeg's AVSampleFormat numbers)
    uint64_t nChannelLayout;   // FFmpeg 64-bit layout mask
    int32_t nBitsPerSample;
    int32_t nReserved;
};
static_assert(sizeof(AudioDescription) == 32, "AudioDescription is a 32-byte record");

inline bool operator==(const AudioDescription& a, const AudioDescription& b) {
    return a.nSampleRate == b.nSampleRate && a.nChannel == b.nChannel &&
           a.nSampleFormat == b.nSampleFormat && a.nChannelLayout == b.nChannelLayout &&
           a.nBitsPerSample == b.nBitsPerSample;
}
inline bool operator!=(const AudioDescription& a, const AudioDescription& b) { return !(a == b); }

enum : uint32_t {
    kFrameNewFormat = 0x1,
    kFrameEndOfStream = 0x100,
    kFrameBufferError = 0x10000,
};

struct AudioFrame {
    uint32_t nFlags;
    int32_t nLen;
    uint8_t* pData;
    int64_t nTimestamp;  // ms of the first byte; -1 unset
    int32_t nDuration;   // ms held
    int32_t nReadPos;    // bytes already handed out
    int32_t nCapacity;
    int32_t nErr;
    int32_t nBlockAlign;
    AudioDescription mDes;
};

}  // namespace kva_audioplayer
