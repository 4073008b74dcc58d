// Sample-format numbers as they travel in AudioDescription::nSampleFormat. They are FFmpeg's
// AVSampleFormat values (checked at compile time in SampleFormat.cpp), named here so that layers
// which do not include FFmpeg need no literals.
#pragma once

#include <cstdint>

namespace kva_audioplayer {

enum KVASampleFormat : int32_t {
    kSampleFormatNone = -1,
    kSampleFormatU8 = 0,
    kSampleFormatS16 = 1,
    kSampleFormatS32 = 2,
    kSampleFormatFlt = 3,
    kSampleFormatDbl = 4,
    kSampleFormatU8P = 5,
    kSampleFormatS16P = 6,
    kSampleFormatS32P = 7,
    kSampleFormatFltP = 8,
    kSampleFormatDblP = 9,
    kSampleFormatS64 = 10,
    kSampleFormatS64P = 11,
};

// The wave-format tags the host sees for a format (GetAudioFormat, the listener).
enum KVAWaveFormat : int32_t { kWaveFormatPcm = 1, kWaveFormatFloat = 3 };

// Bits of one sample; 16 for formats the engine does not otherwise know.
int32_t SampleFormatBits(int32_t format);
// Float and double, packed or planar.
bool IsFloatSampleFormat(int32_t format);
// The packed form of a planar format; other formats unchanged.
int32_t PackedSampleFormat(int32_t format);

}  // namespace kva_audioplayer
