// Reads the 32-bit float WAV files the virtual output writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kva_test {

struct WavData {
    int32_t sampleRate = 0;
    int32_t channels = 0;
    int32_t bitsPerSample = 0;
    int32_t formatTag = 0;  // 3 IEEE float (or 0xFFFE extensible with a float subformat)
    std::vector<float> samples;  // interleaved
};

// False when the file is missing, not RIFF/WAVE, or not 32-bit float.
bool ReadFloatWav(const std::string& path, WavData* out);

}  // namespace kva_test
