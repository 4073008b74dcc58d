#include "common/WavRead.h"

#include <cstdio>
#include <cstring>

namespace kva_test {

namespace {
uint32_t U32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }
uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
}  // namespace

bool ReadFloatWav(const std::string& path, WavData* out, bool complete) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    std::vector<uint8_t> bytes;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    fclose(f);
    if (bytes.size() < 12 || memcmp(bytes.data(), "RIFF", 4) != 0 || memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return false;
    if (complete && U32(bytes.data() + 4) != bytes.size() - 8) return false;
    size_t pos = 12;
    bool haveFmt = false;
    while (pos + 8 <= bytes.size()) {
        const uint8_t* chunk = bytes.data() + pos;
        uint32_t size = U32(chunk + 4);
        size_t body = pos + 8;
        if (memcmp(chunk, "fmt ", 4) == 0 && body + 16 <= bytes.size()) {
            out->formatTag = U16(bytes.data() + body);
            out->channels = U16(bytes.data() + body + 2);
            out->sampleRate = static_cast<int32_t>(U32(bytes.data() + body + 4));
            out->bitsPerSample = U16(bytes.data() + body + 14);
            if (out->formatTag == 0xFFFE && body + 26 <= bytes.size()) out->formatTag = U16(bytes.data() + body + 24);
            haveFmt = true;
        } else if (memcmp(chunk, "data", 4) == 0 && haveFmt) {
            if (out->bitsPerSample != 32 || out->formatTag != 3) return false;
            size_t avail = bytes.size() - body;
            if (complete && size != avail) return false;
            size_t len = size <= avail ? size : avail;  // tolerate an unfinished header
            out->samples.resize(len / 4);
            memcpy(out->samples.data(), bytes.data() + body, out->samples.size() * 4);
            return true;
        }
        pos = body + size + (size & 1);
    }
    return false;
}

}  // namespace kva_test
