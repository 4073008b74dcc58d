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
    const long start = LocateStart(got.samples, ref);
    ASSERT_GE(start, 0) << "the first item's start is not in the render";
    const size_t refFrames = ref.size() / 2;
    ASSERT_GE(got.samples.size() / 2, start + refFrames) << "frames are missing";
    EXPECT_EQ(FirstMismatch(got.samples, start, ref, 0, refFrames), -1);
    // Anything after the items is the last period's padding.
    for (size_t i = 2 * (start + refFrames); i < got.samples.size(); ++i)
        ASSERT_EQ(got.samples[i], 0.0f) << "sound after the last item at sample " << i;
}

}  // namespace

class KvaplayGapless : public ::testing::TestWithParam<const char*> {};

TEST_P(KvaplayGapless, PairJoinsWithoutInsertingOrDroppingASample) {
    const std::string ext = GetParam();
    ExpectGaplessRender({"join_a." + ext, "join_b." + ext});
}

INSTANTIATE_TEST_SUITE_P(Formats, KvaplayGapless, ::testing::Values("wav", "flac", "mp3"));

// The items after the second are queued only once the switch to the one before is heard of; the
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
    const long start = LocateStart(got.samples, a);
    ASSERT_GE(start, 0);
    EXPECT_EQ(FirstMismatch(got.samples, start, a, 0, a.size() / 2), -1);
    std::vector<float> probe(b.begin() + 2 * 10000, b.begin() + 2 * 10256);
    EXPECT_GE(FindBlock(got.samples, probe, 256, start + static_cast<long>(a.size() / 2),
                        static_cast<long>(got.samples.size() / 2) - 256),
              0);
}

// In real time the new track decodes far ahead of the output, so the mix runs on whole blocks of
// both tracks and its shape can be compared frame by frame.
class KvaplayCrossFade : public ::testing::TestWithParam<const char*> {};

TEST_P(KvaplayCrossFade, JoinIsTheLinearMixOverWhatRemainsOfTheOldTrack) {
    const std::string ext = GetParam();
    TempWav wav;
    KvaplayResult r = RunKvaplay("--output=wav:" + wav.path +
                    " --next-mode=crossfade --crossfade-ms=600 --start-fade-ms=0 --json " +
                    FixturePath("join_a." + ext) + " " + FixturePath("join_b." + ext));
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(CountJson(r.out, 1000, 2), 1);  // handed over to item 2 without a new preparation
    EXPECT_EQ(CountJson(r.out, 300, 3), 1);
    WavData got;
    ASSERT_TRUE(ReadFloatWav(wav.path, &got));
    const auto& a = CachedReferenceF32Stereo(FixturePath("join_a." + ext));
    const auto& b = CachedReferenceF32Stereo(FixturePath("join_b." + ext));
    const long start = LocateStart(got.samples, a);
    ASSERT_GE(start, 0);
    // The gain steps of 1/length add up in float, block by block: 1e-4 covers their rounding.
    CrossFadeLayout x = AnalyseCrossFade(got.samples, start, a, b, 1e-4f);
    ASSERT_EQ(x.error, "");
    EXPECT_EQ(x.mismatch, -1) << "mix start " << x.mixStart << ", length " << x.length;
    // The fade lasts min(600 ms, what remains of the old track), counted in whole milliseconds.
    const long remaining = static_cast<long>(a.size() / 2) - x.mixStart;
    const long want = std::min(26460L, remaining);
    EXPECT_GE(x.length, want - 2);
    EXPECT_LE(x.length, std::min(26460L, remaining + 2 * 44) + 2);
    // None of the new track was lost before the mix (its first frames may come a little later
    // while its decoding starts: the old track then plays on alone), and after the mix it plays
    // alone: the old one has stopped.
    EXPECT_GE(x.newOffset, start + x.mixStart);
}

INSTANTIATE_TEST_SUITE_P(Formats, KvaplayCrossFade, ::testing::Values("wav", "flac"));

// Faster than real time the item would be over before a timer could ask for the fade: the
// request goes out from the rendered blocks themselves.
TEST(KvaplayCrossFadeFast, FadeIsAskedForNearTheEndOfTheItem) {
    TempWav wav;
    KvaplayResult r = RunKvaplay("--output=wav:" + wav.path +
                    " --fast --next-mode=crossfade --crossfade-ms=600 --start-fade-ms=0 --json " +
                    FixturePath("join_a.flac") + " " + FixturePath("join_b.flac"));
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(CountJson(r.out, 1000, 2), 1);
    EXPECT_EQ(CountJson(r.out, 300, 3), 1);  // no second preparation: mixed, not switched
    WavData got;
    ASSERT_TRUE(ReadFloatWav(wav.path, &got));
    const auto& a = CachedReferenceF32Stereo(FixturePath("join_a.flac"));
    const auto& b = CachedReferenceF32Stereo(FixturePath("join_b.flac"));
    const long start = LocateStart(got.samples, a);
    ASSERT_GE(start, 0);
    // The old track plays untouched until the last 600 ms (and a block), then fades.
    long i = 0;
    while (i < static_cast<long>(a.size() / 2) && got.samples[2 * (start + i)] == a[2 * i]) ++i;
    EXPECT_GE(i, static_cast<long>(a.size() / 2) - 26460 - 882);
    EXPECT_LT(i, static_cast<long>(a.size() / 2));
    // The new track's end plays alone.
    std::vector<float> probe(b.end() - 2 * 4000, b.end() - 2 * 3744);
    EXPECT_GE(FindBlock(got.samples, probe, 256, start, static_cast<long>(got.samples.size() / 2) - 256), 0);
}
