// Whole-file and seek decodes through the stream and its decode thread, compared with the
// ffmpeg command line's decode of the same file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "StreamTestUtil.h"
#include "common/ReferenceDecode.h"
#include "common/TestPaths.h"

using namespace kva_audioplayer;
using namespace kva_test;

namespace {

// Every file decodes bit for bit and to the sample like the command line, resampled or not.
class StreamConcurrencyDecode : public ::testing::TestWithParam<const char*> {};

TEST_P(StreamConcurrencyDecode, MatchesCommandLineDecode) {
    const std::string path = FixturePath(GetParam());
    const std::vector<float>& ref = CachedReferenceF32Stereo(path);
    ASSERT_FALSE(ref.empty()) << "reference decode failed for " << path;

    FileStream f(path);
    ASSERT_EQ(0, f.OpenAndStart());
    PullResult got = PullAll(f.stream);
    f.stream.close();

    EXPECT_FALSE(got.hung);
    EXPECT_TRUE(got.ended);
    const long ours = static_cast<long>(got.samples.size() / 2);
    const long theirs = static_cast<long>(ref.size() / 2);
    EXPECT_EQ(ours, theirs);
    EXPECT_EQ(-1, FirstMismatch(got.samples, 0, ref, 0, std::min(ours, theirs), 0.0f));
    // Each block is stamped with where it sits in the decode: from 0, never backwards.
    ASSERT_FALSE(got.timestamps.empty());
    EXPECT_EQ(0, got.timestamps.front());
    for (size_t i = 0; i < got.timestamps.size(); ++i) {
        const int64_t at = static_cast<int64_t>(got.offsets[i]) * 1000 / 44100;
        ASSERT_LE(std::llabs(got.timestamps[i] - at), 2) << "block " << i << " at " << at << " ms";
    }
    // Pulling faster than real time may empty the queue; every episode must still be closed,
    // and starts and ends alternate.
    const std::string ev = f.obs.Events();
    ASSERT_FALSE(ev.empty());
    for (size_t i = 0; i < ev.size(); ++i) EXPECT_EQ(i % 2 ? 'E' : 'S', ev[i]) << ev;
    EXPECT_EQ(f.obs.Starts(), f.obs.Ends());
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, StreamConcurrencyDecode,
    ::testing::Values("cbr.mp3", "vbr.mp3", "aac.m4a", "flac16.flac", "vorbis.ogg", "s16.wav",
                      "f32.wav", "short.wav", "truncated.flac", "flac24_96k.flac", "opus.opus",
                      "mono8k.wav", "six.flac"),
    [](const ::testing::TestParamInfo<const char*>& info) {
        std::string n = info.param;
        for (char& ch : n)
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return n;
    });

}  // namespace

