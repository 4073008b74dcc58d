// Shared by the waveform-audio and DirectSound emulations: which render-stream format carries a
// driver format on an endpoint, and the sample conversion between the two.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/CoreAudio.h"
#include "platform/SoundSystem.h"

namespace kva_audioplayer {
namespace snd {

// False for a record that does not describe interleaved PCM or float consistently.
bool FormatFromWave(const WAVEFORMATEX* wave, Format* out);

// The format a legacy driver's render stream is opened in for a client format: the format
// itself when the endpoint (or its server) takes it; else the endpoint's own sample
// representation at the same rate and channel count, converted sample by sample, as the
// Windows mixer does for old drivers. kOk with *carrier filled, kUnsupportedFormat when neither
// fits, or the sound system's failure (kNotFound, kInvalidated, ...).
int32_t ChooseCarrierFormat(ISoundSystem* system, const std::string& endpointId,
                            const Format& client, Format* carrier);

// Interleaved frames from one format to another with the same channel count. scratch holds
// frames x channels floats; unused when the formats are equal.
void ConvertFrames(const Format& from, const uint8_t* in, const Format& to, uint8_t* out,
                   uint32_t frames, float* scratch);

// True when the system consumes as fast as it is fed (the virtual system's fast mode).
bool IsFastSystem(ISoundSystem* system);

// The endpoints a legacy driver lists: the active ones, in the system's order.
std::vector<EndpointInfo> ActiveEndpoints(ISoundSystem* system);

}  // namespace snd
}  // namespace kva_audioplayer
