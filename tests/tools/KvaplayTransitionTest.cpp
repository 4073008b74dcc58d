// kvaplay playing several items into a WAV file, against the command line's decodes.
#include <gtest/gtest.h>

#include "KvaplayRun.h"
#include "common/JoinCheck.h"

using namespace kva_test;

// Every join of mp3, flac and wav (the mp3 encoder's delay and padding trimmed on both sides),
// exactly the decodes back to back. The items after the second are queued only once the switch
// to the one before is heard of; the render still may not run ahead of them.
TEST(KvaplayGaplessChain, FourItemsOfMixedFormats) {
    const std::vector<std::string> files = {"join_a.mp3", "join_b.flac", "join_a.wav", "join_b.mp3"};
    KvaplayResult r = RenderWav("--next-mode=preload --quiet" + Media({files[0], files[1], files[2], files[3]}));
    ASSERT_EQ(r.exitCode, 0);
    ASSERT_EQ(r.wav.channels, 2);
    std::vector<float> ref;
    for (const auto& f : files) ref.insert(ref.end(), Ref(f).begin(), Ref(f).end());
    ASSERT_EQ(r.wav.samples.size(), ref.size());
    EXPECT_EQ(FirstMismatch(r.wav.samples, 0, ref, 0, ref.size() / 2), -1);
}

// Each failing item, first, middle or queued, is reported with its path and the reason, and the
// playable ones are all heard, in order.
TEST(KvaplayItems, EveryFailingItemIsReportedAndTheListGoesOn) {
    ScratchDir dir("kvaitems");
    const std::string missing = dir.File("missing.wav");
    KvaplayResult r = RenderWav("--json " + missing + Media({"join_a.wav", "random.bin", "join_b.wav"}));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(missing + ": The file does not exist."), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(FixturePath("random.bin") + ": The media is not in a format"), std::string::npos) << r.err;
    const auto& a = Ref("join_a.wav");
    const auto& b = Ref("join_b.wav");
    EXPECT_EQ(FirstMismatch(r.wav.samples, 0, a, 0, a.size() / 2), -1);
    std::vector<float> probe(b.begin() + 2 * 10000, b.begin() + 2 * 10256);
    EXPECT_GE(FindBlock(r.wav.samples, probe, 256, long(a.size() / 2), long(r.wav.samples.size() / 2) - 256), 0);
}

// The library starts the fade by itself when 600 ms of the old item are left, in real time and
// faster than real time alike, and mixes whole blocks of both items: the join is the linear mix.
TEST(KvaplayCrossFade, JoinIsTheLinearMixOverTheLastFadeTimeOfTheOldTrack) {
    for (const auto& c : {std::make_pair("wav", false), std::make_pair("flac", false), std::make_pair("flac", true)}) {
        const std::string ext = c.first;
        SCOPED_TRACE(ext + (c.second ? " fast" : " real time"));
        KvaplayResult r = RenderWav("--next-mode=crossfade --crossfade-ms=600 --json" +
                                    Media({"join_a." + ext, "join_b." + ext}), "", c.second);
        ASSERT_EQ(r.exitCode, 0);
        EXPECT_EQ(CountJson(r.out, 1000, 2), 1);  // handed over to item 2 without a new preparation
        EXPECT_EQ(CountJson(r.out, 300, 3), 1);
        const auto& a = Ref("join_a." + ext);
        // The gain steps of 1/length add up in float, block by block: 1e-4 covers their rounding.
        CrossFadeLayout x = AnalyseCrossFade(r.wav.samples, 0, a, Ref("join_b." + ext), 1e-4f);
        ASSERT_EQ(x.error, "");
        EXPECT_EQ(x.mismatch, -1) << "mix start " << x.mixStart << ", length " << x.length;
        // It starts within a 20 ms block after 600 ms before the end and lasts what remains.
        const long remaining = static_cast<long>(a.size() / 2) - x.mixStart;
        EXPECT_GE(remaining, 26460 - 882);
        EXPECT_LE(remaining, 26460 + 44);
        EXPECT_NEAR(x.length, remaining, 2 * 44 + 2);
        EXPECT_GE(x.newOffset, x.mixStart);  // none of the new track lost before the mix
    }
}
