// Reads the 32-bit float WAV files the virtual output writes.
#pragma once

#include <algorithm>

#include "common/TestPaths.h"

namespace kva_test {

struct WavData {
    int32_t sampleRate = 0, channels = 0, bitsPerSample = 0;
    int32_t formatTag = 0;       // 3 IEEE float (an extensible format reports its subformat's tag)
    std::vector<float> samples;  // interleaved
};

// False when the file is missing, not RIFF/WAVE, or not 32-bit float. An unfinished header is
// tolerated unless `complete`: then the RIFF and data sizes must agree with the file.
inline bool ReadFloatWav(const std::string& path, WavData* out, bool complete = false) {
    const std::vector<uint8_t> b = ReadBytes(path);
    auto u32 = [&](size_t at) { return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24); };
    auto u16 = [&](size_t at) { return int32_t(b[at] | (b[at + 1] << 8)); };
    if (b.size() < 12 || memcmp(b.data(), "RIFF", 4) != 0 || memcmp(b.data() + 8, "WAVE", 4) != 0 ||
        (complete && u32(4) != b.size() - 8))
        return false;
    bool haveFmt = false;
    for (size_t pos = 12; pos + 8 <= b.size();) {
        const uint32_t size = u32(pos + 4);
        const size_t body = pos + 8;
        if (memcmp(&b[pos], "fmt ", 4) == 0 && body + 16 <= b.size()) {
            out->formatTag = u16(body);
            out->channels = u16(body + 2);
            out->sampleRate = int32_t(u32(body + 4));
            out->bitsPerSample = u16(body + 14);
            if (out->formatTag == 0xFFFE && body + 26 <= b.size()) out->formatTag = u16(body + 24);
            haveFmt = true;
        } else if (memcmp(&b[pos], "data", 4) == 0 && haveFmt) {
            const size_t avail = b.size() - body;
            if (out->bitsPerSample != 32 || out->formatTag != 3 || (complete && size != avail)) return false;
            const auto at = b.begin() + long(body);  // an unfinished header is tolerated
            out->samples = FloatsFromBytes({at, at + long(std::min<size_t>(size, avail))});
            return true;
        }
        pos = body + size + (size & 1);
    }
    return false;
}

}  // namespace kva_test
