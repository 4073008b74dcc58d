// kvaplay playing several items into a WAV file: gapless joins and cross-fades, compared with
// the ffmpeg command line's decodes of the items.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "KvaplayRun.h"
#include "common/JoinCheck.h"
#include "common/ReferenceDecode.h"
#include "common/WavRead.h"

using namespace kva_test;

namespace {

// A scratch directory with the render's path in it.
struct TempWav : ScratchDir {
    TempWav() : ScratchDir("kvajoin") {}
    const std::string path = File("out.wav");
};

std::vector<float> Concat(const std::vector<std::string>& files) {
    std::vector<float> all;
    for (const auto& f : files) {
        const std::vector<float>& r = CachedReferenceF32Stereo(FixturePath(f));
        all.insert(all.end(), r.begin(), r.end());
    }
    return all;
}

std::string Args(const std::vector<std::string>& files) {
    std::string s;
    for (const auto& f : files) s += " " + FixturePath(f);
    return s;
}

// Renders `files` with gapless preloading and expects exactly their decodes, back to back.
void ExpectGaplessRender(const std::vector<std::string>& files) {
    TempWav wav;
    KvaplayResult r = RunKvaplay("--output=wav:" + wav.path +
                    " --fast --next-mode=preload --start-fade-ms=0 --quiet" + Args(files));
    ASSERT_EQ(r.exitCode, 0);
    WavData got;
    ASSERT_TRUE(ReadFloatWav(wav.path, &got));
    ASSERT_EQ(got.channels, 2);
    const std::vector<float> ref = Concat(files);
    ASSERT_FALSE(ref.empty());
    ASSERT_EQ(got.samples.size(), ref.size());
    EXPECT_EQ(FirstMismatch(got.samples, 0, ref, 0, ref.size() / 2), -1);
}

}  // namespace

// Every join of mp3, flac and wav (the mp3 encoder's delay and padding trimmed on both sides). The
// items after the second are queued only once the switch to the one before is heard of; the
// render still may not run ahead of them.
TEST(KvaplayGaplessChain, FourItemsOfMixedFormats) {
    ExpectGaplessRender({"join_a.mp3", "join_b.flac", "join_a.wav", "join_b.mp3"});
}

// Each failing item, first, middle or queued, is reported with its path and the reason, and the
// playable ones are all heard, in order.
TEST(KvaplayItems, EveryFailingItemIsReportedAndTheListGoesOn) {
    TempWav wav;
    const std::string missing = wav.File("missing.wav");
    KvaplayResult r = RunKvaplay("--output=wav:" + wav.path + " --fast --start-fade-ms=0 --json " +
                                 missing + Args({"join_a.wav", "random.bin", "join_b.wav"}));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(missing + ": The file does not exist."), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(FixturePath("random.bin") + ": The media is not in a format"),
              std::string::npos) << r.err;
    WavData got;
    ASSERT_TRUE(ReadFloatWav(wav.path, &got));
    const auto& a = CachedReferenceF32Stereo(FixturePath("join_a.wav"));
    const auto& b = CachedReferenceF32Stereo(FixturePath("join_b.wav"));
    EXPECT_EQ(FirstMismatch(got.samples, 0, a, 0, a.size() / 2), -1);
    std::vector<float> probe(b.begin() + 2 * 10000, b.begin() + 2 * 10256);
    EXPECT_GE(FindBlock(got.samples, probe, 256, static_cast<long>(a.size() / 2),
                        static_cast<long>(got.samples.size() / 2) - 256),
              0);
}

// The library starts the fade by itself when 600 ms of the old item are left, in real time and
// faster than real time alike, and mixes whole blocks of both items: the join is the linear mix.
class KvaplayCrossFade : public ::testing::TestWithParam<std::pair<const char*, bool>> {};

TEST_P(KvaplayCrossFade, JoinIsTheLinearMixOverTheLastFadeTimeOfTheOldTrack) {
    const std::string ext = GetParam().first;
    TempWav wav;
    KvaplayResult r = RunKvaplay("--output=wav:" + wav.path + (GetParam().second ? " --fast" : "") +
                                 " --next-mode=crossfade --crossfade-ms=600 --start-fade-ms=0 --json" +
                                 Args({"join_a." + ext, "join_b." + ext}));
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(CountJson(r.out, 1000, 2), 1);  // handed over to item 2 without a new preparation
    EXPECT_EQ(CountJson(r.out, 300, 3), 1);
    WavData got;
    ASSERT_TRUE(ReadFloatWav(wav.path, &got));
    const auto& a = CachedReferenceF32Stereo(FixturePath("join_a." + ext));
    const auto& b = CachedReferenceF32Stereo(FixturePath("join_b." + ext));
    // The gain steps of 1/length add up in float, block by block: 1e-4 covers their rounding.
    CrossFadeLayout x = AnalyseCrossFade(got.samples, 0, a, b, 1e-4f);
    ASSERT_EQ(x.error, "");
    EXPECT_EQ(x.mismatch, -1) << "mix start " << x.mixStart << ", length " << x.length;
    // It starts within a 20 ms block after 600 ms before the end and lasts what remains.
    const long remaining = static_cast<long>(a.size() / 2) - x.mixStart;
    EXPECT_GE(remaining, 26460 - 882);
    EXPECT_LE(remaining, 26460 + 44);
    EXPECT_NEAR(x.length, remaining, 2 * 44 + 2);
    EXPECT_GE(x.newOffset, x.mixStart);  // none of the new track lost before the mix
}

INSTANTIATE_TEST_SUITE_P(Formats, KvaplayCrossFade,
                         ::testing::Values(std::make_pair("wav", false), std::make_pair("flac", false),
                                           std::make_pair("flac", true)));
