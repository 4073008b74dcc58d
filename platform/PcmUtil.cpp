#include "platform/PcmUtil.h"

#include <cmath>
#include <cstring>

namespace kva_audioplayer {
namespace snd {

bool IsValidFormat(const Format& f) {
    if (f.sampleRate < 1000 || f.sampleRate > 768000) return false;
    if (f.channels < 1 || f.channels > 32) return false;
    if (f.isFloat) return f.bitsPerSample == 32;
    return f.bitsPerSample == 8 || f.bitsPerSample == 16 || f.bitsPerSample == 24 ||
           f.bitsPerSample == 32;
}

namespace {
thread_local int gDeviceFill = 0;
}  // namespace

DeviceFillScope::DeviceFillScope(bool on) : mOn(on) {
    if (mOn) ++gDeviceFill;
}
DeviceFillScope::~DeviceFillScope() {
    if (mOn) --gDeviceFill;
}
bool InDeviceFill() { return gDeviceFill > 0; }

namespace {

int32_t Read24(const uint8_t* p) {
    int32_t v = int32_t(uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16));
    return (v << 8) >> 8;
}
void Write24(uint8_t* p, int32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
}
template <typename T>
T Clamp(double v, double lo, double hi) {
    return T(v < lo ? lo : (v > hi ? hi : v));
}

}  // namespace

void ApplyVolume(const Format& f, const uint8_t* in, uint8_t* out, uint32_t frames, float vol) {
    const size_t samples = size_t(frames) * size_t(f.channels);
    const size_t bytes = samples * size_t(f.bitsPerSample / 8);
    if (vol == 1.0f) {
        if (in != out) std::memmove(out, in, bytes);
        return;
    }
    if (f.isFloat) {
        for (size_t i = 0; i < samples; ++i) {
            float v;
            std::memcpy(&v, in + i * 4, 4);
            v *= vol;
            std::memcpy(out + i * 4, &v, 4);
        }
        return;
    }
    switch (f.bitsPerSample) {
    case 8:
        for (size_t i = 0; i < samples; ++i) {
            double v = (double(in[i]) - 128.0) * vol;
            out[i] = uint8_t(Clamp<int32_t>(std::lround(v), -128, 127) + 128);
        }
        break;
    case 16:
        for (size_t i = 0; i < samples; ++i) {
            int16_t s;
            std::memcpy(&s, in + i * 2, 2);
            int16_t r = Clamp<int16_t>(double(std::lround(s * double(vol))), -32768, 32767);
            std::memcpy(out + i * 2, &r, 2);
        }
        break;
    case 24:
        for (size_t i = 0; i < samples; ++i) {
            int32_t r = Clamp<int32_t>(double(std::lround(Read24(in + i * 3) * double(vol))),
                                       -8388608, 8388607);
            Write24(out + i * 3, r);
        }
        break;
    case 32:
        for (size_t i = 0; i < samples; ++i) {
            int32_t s;
            std::memcpy(&s, in + i * 4, 4);
            int32_t r = Clamp<int32_t>(double(std::llround(s * double(vol))), -2147483648.0,
                                       2147483647.0);
            std::memcpy(out + i * 4, &r, 4);
        }
        break;
    default:
        break;
    }
}

void ToFloat(const Format& f, const uint8_t* in, float* out, uint32_t frames) {
    const size_t samples = size_t(frames) * size_t(f.channels);
    if (f.isFloat) {
        std::memcpy(out, in, samples * 4);
        return;
    }
    for (size_t i = 0; i < samples; ++i) {
        switch (f.bitsPerSample) {
        case 8: out[i] = (float(in[i]) - 128.0f) / 128.0f; break;
        case 16: {
            int16_t s;
            std::memcpy(&s, in + i * 2, 2);
            out[i] = float(s) / 32768.0f;
            break;
        }
        case 24: out[i] = float(Read24(in + i * 3)) / 8388608.0f; break;
        case 32: {
            int32_t s;
            std::memcpy(&s, in + i * 4, 4);
            out[i] = float(double(s) / 2147483648.0);
            break;
        }
        default: out[i] = 0.0f; break;
        }
    }
}

}  // namespace snd
}  // namespace kva_audioplayer
