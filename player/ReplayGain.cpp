#include "player/ReplayGain.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <strings.h>

#include "KvaAudioPlayer.h"

namespace kva_audioplayer {

namespace {

constexpr float kNoGain = std::numeric_limits<float>::quiet_NaN();
// Gains beyond this are taken for broken tags rather than applied.
constexpr double kMaxGainDb = 60.0;
// R128 gains are relative to -23 LUFS, ReplayGain's reference is 5 dB louder.
constexpr double kR128ToReplayGainDb = 5.0;

bool ParseGain(const std::string& text, float* db) {
    double v;
    if (!ParseDecimal(text, &v) || std::fabs(v) > kMaxGainDb) return false;
    *db = static_cast<float>(v);
    return true;
}

bool ParsePeak(const std::string& text, float* peak) {
    double v;
    if (!ParseDecimal(text, &v) || v <= 0.0 || v > 1000.0) return false;
    *peak = static_cast<float>(v);
    return true;
}

// Q7.8 fixed point, an integer of 1/256 dB.
bool ParseR128(const std::string& text, float* db) {
    const char* first = text.data();
    const char* last = first + text.size();
    while (first < last && *first == ' ') ++first;
    if (first < last && *first == '+') ++first;
    int32_t q = 0;
    auto [end, ec] = std::from_chars(first, last, q);
    if (ec != std::errc() || end == first) return false;
    *db = static_cast<float>(q / 256.0 + kR128ToReplayGainDb);
    return true;
}

float DbToFactor(double db) { return static_cast<float>(std::pow(10.0, db / 20.0)); }

}  // namespace

ReplayGainTags::ReplayGainTags() : trackGainDb(kNoGain), albumGainDb(kNoGain) {}

bool ParseDecimal(std::string_view text, double* value) {
    const char* first = text.data();
    const char* last = first + text.size();
    while (first < last && (*first == ' ' || *first == '\t')) ++first;
    if (first < last && *first == '+') ++first;
    double v = 0.0;
    auto [end, ec] = std::from_chars(first, last, v, std::chars_format::general);
    if (ec != std::errc() || end == first || !std::isfinite(v)) return false;
    *value = v;
    return true;
}

ReplayGainTags ReadReplayGainTags(const std::vector<std::pair<std::string, std::string>>& tags) {
    ReplayGainTags rg;
    float r128Track = kNoGain, r128Album = kNoGain;
    for (const auto& [key, value] : tags) {
        const char* k = key.c_str();
        if (!strcasecmp(k, "REPLAYGAIN_TRACK_GAIN")) ParseGain(value, &rg.trackGainDb);
        else if (!strcasecmp(k, "REPLAYGAIN_TRACK_PEAK")) ParsePeak(value, &rg.trackPeak);
        else if (!strcasecmp(k, "REPLAYGAIN_ALBUM_GAIN")) ParseGain(value, &rg.albumGainDb);
        else if (!strcasecmp(k, "REPLAYGAIN_ALBUM_PEAK")) ParsePeak(value, &rg.albumPeak);
        else if (!strcasecmp(k, "R128_TRACK_GAIN")) ParseR128(value, &r128Track);
        else if (!strcasecmp(k, "R128_ALBUM_GAIN")) ParseR128(value, &r128Album);
    }
    if (std::isnan(rg.trackGainDb)) rg.trackGainDb = r128Track;
    if (std::isnan(rg.albumGainDb)) rg.albumGainDb = r128Album;
    return rg;
}

float ReplayGainFactor(const ReplayGainTags& tags, int32_t mode, float preampDb, bool preventClipping) {
    if (mode != kReplayGainTrack && mode != kReplayGainAlbum) return 1.0f;
    const bool album = mode == kReplayGainAlbum;
    float gain = album ? tags.albumGainDb : tags.trackGainDb;
    float peak = album ? tags.albumPeak : tags.trackPeak;
    if (std::isnan(gain)) {
        gain = album ? tags.trackGainDb : tags.albumGainDb;
        peak = album ? tags.trackPeak : tags.albumPeak;
    }
    if (std::isnan(gain)) return 1.0f;
    float factor = DbToFactor(static_cast<double>(gain) + preampDb);
    if (preventClipping && peak > 0.0f) factor = std::min(factor, 1.0f / peak);
    return factor;
}

void ApplyGain(uint8_t* data, int32_t bytes, const AudioDescription& des, float factor) {
    if (!data || bytes <= 0 || factor == 1.0f) return;
    if (IsFloatSampleFormat(des.nSampleFormat) && des.nBitsPerSample == 32) {
        const int32_t n = bytes / 4;
        for (int32_t i = 0; i < n; ++i) {
            float v;
            std::memcpy(&v, data + 4 * i, 4);
            v *= factor;
            std::memcpy(data + 4 * i, &v, 4);
        }
    } else if (!IsFloatSampleFormat(des.nSampleFormat) && des.nBitsPerSample == 16) {
        const int32_t n = bytes / 2;
        for (int32_t i = 0; i < n; ++i) {
            int16_t s;
            std::memcpy(&s, data + 2 * i, 2);
            const long v = std::lrint(static_cast<float>(s) * factor);
            s = static_cast<int16_t>(std::clamp<long>(v, -32768, 32767));
            std::memcpy(data + 2 * i, &s, 2);
        }
    }
}

}  // namespace kva_audioplayer
