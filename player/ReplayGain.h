// ReplayGain: the gains a track's tags carry, the factor they give for the host's settings, and
// the scaling of a block of output PCM by it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/AudioTypes.h"

namespace kva_audioplayer {

// What a track's tags say; a gain of NaN and a peak of 0 are "not tagged".
struct ReplayGainTags {
    float trackGainDb;
    float trackPeak = 0.0f;
    float albumGainDb;
    float albumPeak = 0.0f;
    ReplayGainTags();
};

// Reads REPLAYGAIN_TRACK/ALBUM_GAIN/PEAK (ID3 TXXX, Vorbis comments; any case) and Opus's
// R128_TRACK/ALBUM_GAIN. The ReplayGain tags win when a track has both.
ReplayGainTags ReadReplayGainTags(const std::vector<std::pair<std::string, std::string>>& tags);

// "-6.5 dB", "+3", " 1.2e0 dB": the leading number, whatever the locale. False when none or not
// finite.
bool ParseDecimal(std::string_view text, double* value);

// The linear factor for mode (kReplayGain*): the chosen gain (the other one when the chosen is
// missing) plus the pre-amp, capped so the peak stays at or below full scale when
// preventClipping and a peak is known. 1 when off or the track carries no gain.
float ReplayGainFactor(const ReplayGainTags& tags, int32_t mode, float preampDb, bool preventClipping);

// Scales bytes of interleaved PCM in des's format in place: 32-bit float, or 16-bit saturating.
// Other formats are left as they are. No allocation; real-time safe.
void ApplyGain(uint8_t* data, int32_t bytes, const AudioDescription& des, float factor);

}  // namespace kva_audioplayer
