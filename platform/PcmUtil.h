// Sample arithmetic shared by the sound systems.
#pragma once

#include <cstdint>

#include "platform/SoundSystem.h"

namespace kva_audioplayer {
namespace snd {

// out = in scaled by volume (0..1); in and out may be the same buffer. At 1.0 a plain copy.
void ApplyVolume(const Format& format, const uint8_t* in, uint8_t* out, uint32_t frames,
                 float volume);
// Converts frames of the format to interleaved float.
void ToFloat(const Format& format, const uint8_t* in, float* out, uint32_t frames);

}  // namespace snd
}  // namespace kva_audioplayer
