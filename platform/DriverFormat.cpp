#include "platform/DriverFormat.h"

#include <cmath>
#include <cstring>

#include "platform/PcmUtil.h"
#include "platform/VirtualSoundSystem.h"

namespace kva_audioplayer {
namespace snd {

bool FormatFromWave(const WAVEFORMATEX* w, Format* f) {
    if (!w || !f || w->nChannels == 0 || w->nSamplesPerSec == 0 || w->wBitsPerSample == 0 ||
        w->wBitsPerSample % 8 != 0)
        return false;
    if (w->nBlockAlign != w->nChannels * w->wBitsPerSample / 8) return false;
    Format out;
    out.sampleRate = static_cast<int32_t>(w->nSamplesPerSec);
    out.channels = w->nChannels;
    out.bitsPerSample = w->wBitsPerSample;
    out.channelMask = 0;
    if (w->wFormatTag == WAVE_FORMAT_EXTENSIBLE && w->cbSize >= 22) {
        const auto* x = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(w);
        GUID sub = SubFormatOf(*x);
        if (sub == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT) out.isFloat = true;
        else if (sub == KSDATAFORMAT_SUBTYPE_PCM) out.isFloat = false;
        else return false;
        out.channelMask = x->dwChannelMask;
    } else if (w->wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
        out.isFloat = true;
    } else if (w->wFormatTag == WAVE_FORMAT_PCM) {
        out.isFloat = false;
    } else {
        return false;
    }
    *f = out;
    return true;
}

int32_t ChooseCarrierFormat(ISoundSystem* system, const std::string& id, const Format& client,
                            Format* carrier) {
    if (!system || !carrier) return kInvalidArg;
    if (!IsValidFormat(client)) return kUnsupportedFormat;
    Format closest;
    int32_t r = system->IsFormatSupported(id, client, &closest);
    if (r == kOk) {
        *carrier = client;
        return kOk;
    }
    if (r != kFalse) return r;
    // The PulseAudio server converts any format to its sink's itself.
    if (strcmp(system->Name(), "pulse") == 0) {
        *carrier = client;
        return kOk;
    }
    if (closest.sampleRate == client.sampleRate && closest.channels == client.channels &&
        IsValidFormat(closest)) {
        *carrier = closest;
        carrier->channelMask = client.channelMask;
        return kOk;
    }
    return kUnsupportedFormat;
}

namespace {

template <typename T>
T Clamp(double v, double lo, double hi) {
    return T(v < lo ? lo : (v > hi ? hi : v));
}

void FromFloat(const Format& f, const float* in, uint8_t* out, uint32_t frames) {
    const size_t samples = size_t(frames) * size_t(f.channels);
    if (f.isFloat) {
        memcpy(out, in, samples * 4);
        return;
    }
    for (size_t i = 0; i < samples; ++i) {
        const double v = in[i];
        switch (f.bitsPerSample) {
            case 8:
                out[i] = uint8_t(Clamp<int32_t>(std::lround(v * 128.0), -128, 127) + 128);
                break;
            case 16: {
                int16_t s = Clamp<int16_t>(double(std::lround(v * 32768.0)), -32768, 32767);
                memcpy(out + i * 2, &s, 2);
                break;
            }
            case 24: {
                int32_t s = Clamp<int32_t>(double(std::lround(v * 8388608.0)), -8388608, 8388607);
                out[i * 3] = uint8_t(s);
                out[i * 3 + 1] = uint8_t(s >> 8);
                out[i * 3 + 2] = uint8_t(s >> 16);
                break;
            }
            default: {
                int32_t s = Clamp<int32_t>(double(std::llround(v * 2147483648.0)), -2147483648.0,
                                           2147483647.0);
                memcpy(out + i * 4, &s, 4);
                break;
            }
        }
    }
}

}  // namespace

void ConvertFrames(const Format& from, const uint8_t* in, const Format& to, uint8_t* out,
                   uint32_t frames, float* scratch) {
    if (from == to) {
        if (in != out) memmove(out, in, size_t(frames) * size_t(from.BlockAlign()));
        return;
    }
    ToFloat(from, in, scratch, frames);
    FromFloat(to, scratch, out, frames);
}

bool IsFastSystem(ISoundSystem* system) {
    auto* v = dynamic_cast<VirtualSoundSystem*>(system);
    return v && v->IsFast();
}

std::vector<EndpointInfo> ActiveEndpoints(ISoundSystem* system) {
    std::vector<EndpointInfo> out;
    if (!system) return out;
    for (EndpointInfo& e : system->GetEndpoints()) {
        if (e.state == kStateActive) out.push_back(std::move(e));
    }
    return out;
}

}  // namespace snd
}  // namespace kva_audioplayer
