// kvaplay as a host: renders through the virtual output into a WAV file with each driver,
// compared with the ffmpeg command line's decode of the same file; its notifications, log and
// command line.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "KvaAudioPlayer.h"
#include "KvaplayRun.h"
#include "common/JoinCheck.h"
#include "common/ReferenceDecode.h"
#include "common/WavRead.h"

using namespace kva_test;

namespace {

struct Case {
    const char* file;
    float tolerance;  // 0: the same samples; else resampled, down-mixed or quantised to 16 bits
    const char* driver;
};

class KvaplayRender : public ::testing::TestWithParam<Case> {
protected:
    ScratchDir dir{"kvaplay"};
};

}  // namespace

// Tolerance 0: the same conversion path as the ffmpeg command line (44.1 kHz stereo sources,
// only the sample format changes). Resampled or down-mixed sources go through the same
// resampler with the same defaults, but the engine converts block by block where the command
// line converts in one filter graph, so the last bits may differ. The file holds the media alone,
// from its first frame to its last, with every driver.
TEST_P(KvaplayRender, WavOutputEqualsReferenceDecode) {
    const std::string file = FixturePath(GetParam().file);
    const float tolerance = GetParam().tolerance;
    const std::string wav = dir.File("out.wav");
    KvaplayResult r = RunKvaplay("--output=wav:" + wav + " --fast --start-fade-ms=0 --quiet --driver=" +
                                 GetParam().driver + " " + file);
    ASSERT_EQ(r.exitCode, 0) << r.out;
    WavData got;
    ASSERT_TRUE(ReadFloatWav(wav, &got));
    EXPECT_EQ(got.sampleRate, 44100);
    ASSERT_EQ(got.channels, 2);
    const std::vector<float>& ref = CachedReferenceF32Stereo(file);
    ASSERT_FALSE(ref.empty());
    ASSERT_EQ(got.samples.size(), ref.size());
    EXPECT_EQ(FirstMismatch(got.samples, 0, ref, 0, ref.size() / 2, tolerance), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, KvaplayRender,
    ::testing::Values(Case{"s16.wav", 0, "wasapi"}, Case{"f32.wav", 0, "wasapi"},
                      Case{"flac16.flac", 0, "wasapi"}, Case{"cbr.mp3", 0, "wasapi"},
                      Case{"vbr.mp3", 0, "wasapi"}, Case{"aac.m4a", 0, "wasapi"},
                      Case{"vorbis.ogg", 0, "wasapi"}, Case{"opus.opus", 1e-4f, "wasapi"},
                      Case{"flac24_96k.flac", 1e-4f, "wasapi"}, Case{"mono8k.wav", 1e-4f, "wasapi"},
                      Case{"six.flac", 1e-4f, "wasapi"}, Case{"s16.wav", 0, "waveout"},
                      Case{"s16.wav", 0, "dsound"}, Case{"cbr.mp3", 0, "waveout"},
                      Case{"cbr.mp3", 0, "dsound"}, Case{"mono8k.wav", 1e-4f, "waveout"},
                      Case{"mono8k.wav", 1e-4f, "dsound"}),
    [](const ::testing::TestParamInfo<Case>& info) {
        std::string name = std::string(info.param.driver) + "_" + info.param.file;
        for (auto& c : name)
            if (!isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

// A whole playback: its length and end reported, and nothing on standard error.
TEST(KvaplayJson, OneFilePlayedThroughLeavesStandardErrorEmpty) {
    ScratchDir dir("kvajson");
    KvaplayResult r = RunKvaplay("--output=wav:" + dir.File("o.wav") + " --fast --json " +
                                 FixturePath("flac16.flac"));
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(CountJson(r.out, 7, 3000), 1) << r.out;  // the duration
    EXPECT_EQ(CountJson(r.out, 300, kva_audioplayer::kStatusCompleted), 1);
    EXPECT_EQ(r.err, "") << "the library wrote to standard error unasked";
    r = RunKvaplay("--output=virtual --fast --json --seek 1500 " + FixturePath("flac16.flac"));
    EXPECT_EQ(CountJson(r.out, 4, 1500), 1) << r.out;
}

// Standard error carries the library's lines when the user or the environment asks for them.
TEST(KvaplayJson, LibraryLogOnRequest) {
    const std::string file = FixturePath("short.wav");
    for (const char* env : {"KVA_LOG=3", ""}) {
        const std::string level = *env ? "" : "--log-level=3 ";
        KvaplayResult r = RunKvaplay("--output=virtual --fast --quiet " + level + file, env);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_NE(r.err.find("CKVAAudioPlayer::Play status 4"), std::string::npos) << env << r.err;
    }
}

// Options anywhere and in both forms; every bad command line exits 2 with a word on it.
TEST(KvaplayArgs, CommandLineForms) {
    const std::string file = FixturePath("short.wav");
    EXPECT_EQ(RunKvaplay(file + " --output virtual --speed 1.25 --fast --volume=0.5").exitCode, 0);
    KvaplayResult help = RunKvaplay(file + " --quiet --help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Exit codes"), std::string::npos);
    EXPECT_NE(help.out.find("Keys"), std::string::npos);
    for (const char* bad : {"--speed=0.1", "--speed 0.1", "--fast=1", "--no-such-option", "--volume",
                            "--device=Nope --output=virtual", "--fast", ""}) {
        KvaplayResult r = RunKvaplay(std::string(bad) + (*bad ? " " + file : ""));
        EXPECT_EQ(r.exitCode, 2) << bad;
        EXPECT_EQ(r.err.rfind("kvaplay: ", 0), 0u) << bad << ": " << r.err;
    }
}

// A fast render runs far ahead of the position kvaplay can poll: --duration still cuts the list
// at that much media, to the frame, and what comes before is the media itself.
TEST(KvaplayDuration, FastRenderStopsAtTheDurationAcrossItems) {
    ScratchDir dir("kvaplaydur");
    const std::string wav = dir.File("out.wav");
    const std::string a = FixturePath("join_a.wav"), b = FixturePath("join_b.wav");
    KvaplayResult r = RunKvaplay("--output=wav:" + wav + " --fast --start-fade-ms=0 --quiet --duration=1500 " + a +
                                 " " + b + " " + FixturePath("s16.wav"));
    ASSERT_EQ(r.exitCode, 0) << r.out;
    WavData got;
    ASSERT_TRUE(ReadFloatWav(wav, &got));
    ASSERT_EQ(got.channels, 2);
    const std::vector<float>& ref = CachedReferenceF32Stereo(a);
    // 1.5 s at 44.1 kHz of media and nothing else.
    EXPECT_EQ(FirstMismatch(got.samples, 0, ref, 0, 66150 - 8), -1);
    EXPECT_LE(got.samples.size() / 2, 66150u);
    EXPECT_GE(got.samples.size() / 2, 66150u - 8);
}
