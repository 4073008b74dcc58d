// ReplayGain heard at the device: each tagged fixture with the gain on against it off.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "player/ReplayGain.h"
#include "player/VirtualOutputFixture.h"

using namespace kva_audioplayer;

namespace {

class ReplayGain : public kva_test::VirtualOutputTest {
protected:
    // The rendered energy of the fixture, as an amplitude (the trailing silence adds nothing).
    double Render(const char* fixture, int32_t mode, float preampDb, bool clip) {
        obs.Clear();
        system->ClearCaptured("out");
        if (!player) player = NewPlayer(&obs);
        EXPECT_EQ(player->SetReplayGain(mode, preampDb, clip), 0);
        Prepare(fixture);
        PlayToTheEnd();
        double sum = 0.0;
        for (float v : Captured()) sum += double(v) * v;
        return std::sqrt(sum);
    }
};

}  // namespace

TEST_F(ReplayGain, LevelsFollowTheTagsAndSettings) {
    const struct { const char* fixture; int32_t mode; float preampDb; bool preventClipping; double expectDb; } cases[] = {
        {"rg_plus6.flac", kReplayGainTrack, 0.0f, false, 6.0},   // Vorbis comment
        {"rg_minus6.mp3", kReplayGainTrack, 0.0f, false, -6.0},  // ID3 TXXX, lower case
        {"rg_r128.opus", kReplayGainTrack, 0.0f, false, -6.0},   // R128 -11 dB + 5
        {"rg_plus6.flac", kReplayGainAlbum, 0.0f, false, -3.0},
        {"rg_minus6.mp3", kReplayGainAlbum, 0.0f, false, -6.0},  // no album gain: the track's
        {"rg_minus6.mp3", kReplayGainTrack, 3.0f, false, -3.0},
        {"rg_plus6.flac", kReplayGainTrack, 0.0f, true, 20.0 * std::log10(1.0 / 0.8)},  // peak 0.8
        {"rg_plain.flac", kReplayGainTrack, 6.0f, false, 0.0},   // untagged: unchanged
    };
    for (const auto& c : cases) {
        const double off = Render(c.fixture, kReplayGainOff, 0.0f, false);
        const double on = Render(c.fixture, c.mode, c.preampDb, c.preventClipping);
        ASSERT_GT(off, 0.0) << c.fixture;
        EXPECT_NEAR(20.0 * std::log10(on / off), c.expectDb, 0.05)
            << c.fixture << " mode " << c.mode << " preamp " << c.preampDb << " clip " << c.preventClipping;
    }

    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct { int32_t mode; float preamp; int32_t expect; } args[] = {
        {3, 0.0f, kErrorInvalidArgument}, {-1, 0.0f, kErrorInvalidArgument},
        {kReplayGainTrack, 15.5f, kErrorInvalidArgument}, {kReplayGainTrack, -15.5f, kErrorInvalidArgument},
        {kReplayGainTrack, nan, kErrorInvalidArgument}, {kReplayGainAlbum, 15.0f, 0}, {kReplayGainOff, -15.0f, 0},
    };
    for (const auto& a : args) EXPECT_EQ(player->SetReplayGain(a.mode, a.preamp, false), a.expect) << a.mode << " " << a.preamp;

    // 16-bit output saturates instead of wrapping.
    int16_t pcm[] = {16000, -16000, 1000, -3};
    AudioDescription s16{kAudioDescriptionTag, 44100, 2, kSampleFormatS16, 3, 16, 0};
    ApplyGain(reinterpret_cast<uint8_t*>(pcm), sizeof pcm, s16, 2.5f);
    EXPECT_EQ(std::vector<int16_t>(pcm, pcm + 4), (std::vector<int16_t>{32767, -32768, 2500, -8}));
}
