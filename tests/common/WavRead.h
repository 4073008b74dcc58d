// Reads the 32-bit float WAV files the virtual output writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kva_test {

struct WavData {
    int32_t sampleRate = 0, channels = 0, bitsPerSample = 0;
    int32_t formatTag = 0;       // 3 IEEE float (an extensible format reports its subformat's tag)
    std::vector<float> samples;  // interleaved
};

// False when the file is missing, not RIFF/WAVE, or not 32-bit float. An unfinished header is
// tolerated unless `complete`: then the RIFF and data sizes must agree with the file.
bool ReadFloatWav(const std::string& path, WavData* out, bool complete = false);

}  // namespace kva_test
