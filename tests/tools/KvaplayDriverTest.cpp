// kvaplay through the waveOut and DirectSound drivers: a render to the virtual WAV output
// carries the same media as the WASAPI render. (Real servers: tests/device/RealServerRender.)
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "KvaplayRun.h"
#include "common/JoinCheck.h"
#include "common/ReferenceDecode.h"
#include "common/WavRead.h"

using namespace kva_test;

namespace {

int Kvaplay(const std::string& args) { return RunKvaplay(args).exitCode; }

struct Case {
    const char* file;
    const char* driver;
    float tolerance;  // 0: the same samples; else the driver's 16-bit fallback format quantises
};

class KvaplayDriverRender : public ::testing::TestWithParam<Case> {
protected:
    static void SetUpTestSuite() { sDir.reset(new ScratchDir("kvadriver")); }
    static void TearDownTestSuite() {
        sWasapi.clear();
        sDir.reset();
    }
    // One WASAPI render per file, shared by the driver cases.
    static bool WasapiRender(const std::string& file, WavData* out) {
        auto it = sWasapi.find(file);
        if (it == sWasapi.end()) {
            std::string wav = sDir->File("wasapi_" + std::to_string(sWasapi.size()) + ".wav");
            if (Kvaplay("--output=wav:" + wav + " --fast --start-fade-ms=0 --quiet " + file) != 0)
                return false;
            it = sWasapi.emplace(file, wav).first;
        }
        return ReadFloatWav(it->second, out);
    }
    static std::unique_ptr<ScratchDir> sDir;
    static std::map<std::string, std::string> sWasapi;
};
std::unique_ptr<ScratchDir> KvaplayDriverRender::sDir;
std::map<std::string, std::string> KvaplayDriverRender::sWasapi;

}  // namespace

TEST_P(KvaplayDriverRender, SameMediaAsWasapi) {
    const Case c = GetParam();
    const std::string file = FixturePath(c.file);
    WavData want;
    ASSERT_TRUE(WasapiRender(file, &want));
    const std::string wav = sDir->File(std::string(c.driver) + ".wav");
    ASSERT_EQ(Kvaplay("--output=wav:" + wav + " --fast --start-fade-ms=0 --quiet --driver=" +
                      c.driver + " " + file),
              0);
    WavData got;
    ASSERT_TRUE(ReadFloatWav(wav, &got));
    remove(wav.c_str());
    EXPECT_EQ(got.sampleRate, 44100);
    ASSERT_EQ(got.channels, 2);

    // Both renders hold the media after their own pre-roll (DirectSound's is a whole buffer) and
    // end in padding; from the first sound on they agree for the media's whole length.
    const std::vector<float>& ref = CachedReferenceF32Stereo(file);
    ASSERT_FALSE(ref.empty());
    // A resampled source may keep a few frames in the resampler at its very end (2.9 ms).
    const size_t slack = c.tolerance == 0.0f ? 0 : 128;
    const size_t media = ref.size() / 2 - FirstSoundFrame(ref) - slack;
    const size_t a = FirstSoundFrame(got.samples), b = FirstSoundFrame(want.samples);
    EXPECT_LE(a, 8820u) << "more than 200 ms of silence before the media";
    ASSERT_GE(got.samples.size() / 2, a + media) << "media lost at the end";
    ASSERT_GE(want.samples.size() / 2, b + media);
    EXPECT_EQ(FirstMismatch(got.samples, a, want.samples, b, media, c.tolerance), -1);
    for (size_t i = 2 * (a + media + slack); i < got.samples.size(); ++i)
        ASSERT_EQ(got.samples[i], 0.0f) << "sound after the media at sample " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, KvaplayDriverRender,
    ::testing::Values(Case{"s16.wav", "waveout", 0.0f}, Case{"s16.wav", "dsound", 0.0f},
                      Case{"f32.wav", "waveout", 0.0f}, Case{"f32.wav", "dsound", 0.0f},
                      Case{"flac16.flac", "waveout", 0.0f}, Case{"flac16.flac", "dsound", 0.0f},
                      Case{"cbr.mp3", "waveout", 0.0f}, Case{"cbr.mp3", "dsound", 0.0f},
                      Case{"mono8k.wav", "waveout", 1e-4f}, Case{"mono8k.wav", "dsound", 1e-4f}),
    [](const ::testing::TestParamInfo<Case>& info) {
        std::string name = std::string(info.param.driver) + "_" + info.param.file;
        for (auto& ch : name)
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });
