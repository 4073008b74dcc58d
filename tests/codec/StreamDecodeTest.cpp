// Whole-file decodes and seeks through the stream and its decode thread, compared with the
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
    FileStream f(FixturePath(GetParam()));
    const std::vector<float>& ref = CachedReferenceF32Stereo(f.path);
    ASSERT_FALSE(ref.empty()) << "reference decode failed for " << f.path;
    ASSERT_EQ(0, f.OpenAndStart());
    PullResult got = PullAll(f.stream);
    f.stream.close();
    EXPECT_FALSE(got.hung);
    EXPECT_TRUE(got.ended);
    EXPECT_EQ(ref.size() / 2, got.samples.size() / 2);
    EXPECT_EQ(-1, FirstMismatch(got.samples, 0, ref, 0, std::min(got.samples.size(), ref.size()) / 2));
    // Each block is stamped with where it sits in the decode: from 0, never backwards.
    ASSERT_FALSE(got.timestamps.empty());
    EXPECT_EQ(0, got.timestamps.front());
    for (size_t i = 0; i < got.timestamps.size(); ++i) {
        const int64_t at = static_cast<int64_t>(got.offsets[i]) * 1000 / 44100;
        ASSERT_LE(std::llabs(got.timestamps[i] - at), 2) << "block " << i << " at " << at << " ms";
    }
    // Pulling faster than real time may empty the queue; buffering starts and ends alternate
    // and every episode is closed.
    const std::string ev = f.obs.Events();
    ASSERT_FALSE(ev.empty());
    for (size_t i = 0; i < ev.size(); ++i) EXPECT_EQ(i % 2 ? 'E' : 'S', ev[i]) << ev;
    EXPECT_EQ(0u, ev.size() % 2) << ev;
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, StreamConcurrencyDecode,
    ::testing::Values("cbr.mp3", "vbr.mp3", "aac.m4a", "flac16.flac", "vorbis.ogg", "s16.wav",
                      "f32.wav", "short.wav", "truncated.flac", "flac24_96k.flac", "opus.opus",
                      "mono8k.wav", "six.flac"),
    [](const ::testing::TestParamInfo<const char*>& info) { return Slug(info.param); });

// The lag in [from, to) at which `probe` (`frames` stereo frames) fits `ref` best, and the
// residual energy there relative to the probe's own.
long BestLag(const std::vector<float>& ref, const float* probe, size_t frames, long from, long to,
             double* residual) {
    double energy = 0, bestErr = INFINITY;
    for (size_t i = 0; i < frames * 2; ++i) energy += double(probe[i]) * probe[i];
    long best = -1;
    for (long lag = std::max(0L, from); lag < to && size_t(lag) + frames <= ref.size() / 2; ++lag) {
        double err = 0;
        for (size_t i = 0; i < frames * 2 && err < bestErr; ++i)
            err += (double(probe[i]) - ref[lag * 2 + i]) * (double(probe[i]) - ref[lag * 2 + i]);
        if (err < bestErr) bestErr = err, best = lag;
    }
    *residual = energy > 0 ? bestErr / energy : INFINITY;
    return best;
}

// On a minute of noise in each format: a seek to T delivers first the audio at T, stamped T
// (within 1 ms each); bit for bit for lossless formats; past the end the track simply ends,
// and a seek back plays again.
class StreamConcurrencySeek : public ::testing::TestWithParam<std::pair<const char*, bool>> {};

TEST_P(StreamConcurrencySeek, LandsOnTheTargetSample) {
    const bool lossless = GetParam().second;
    const std::vector<float>& ref = CachedReferenceF32Stereo(FixturePath(GetParam().first));
    ASSERT_GT(ref.size() / 2, 44100u * 59);
    constexpr size_t kSettle = 4410;  // a lossy decoder's state converges after a seek
    constexpr size_t kProbe = 2048;
    for (int64_t target : {1230, 31110, 58770, 59990, 75000}) {
        SCOPED_TRACE("seek to " + std::to_string(target));
        FileStream f(FixturePath(GetParam().first));
        ASSERT_EQ(0, f.OpenAndStart());
        ASSERT_TRUE(f.obs.WaitEnds(1));
        ASSERT_EQ(0, f.stream.seek(target));
        ASSERT_TRUE(f.obs.WaitEnds(2));
        PullResult got = PullAll(f.stream, 4096, false, kSettle + kProbe);
        EXPECT_FALSE(got.hung);
        for (int32_t code : got.codes) EXPECT_EQ(kAudioPlayerEOS, code);
        if (target >= 59990) {
            EXPECT_TRUE(got.ended);
            EXPECT_LE(got.samples.size() / 2, 441u);
            ASSERT_EQ(0, f.stream.seek(1230));
            ASSERT_TRUE(f.obs.WaitEnds(3));
            got = PullAll(f.stream, 4096, false, 4096);
            ASSERT_FALSE(got.timestamps.empty());
            EXPECT_LE(std::llabs(got.timestamps.front() - 1230), 1);
            continue;
        }
        f.stream.close();
        ASSERT_GE(got.samples.size() / 2, kSettle + kProbe);
        EXPECT_LE(std::llabs(got.timestamps.front() - target), 1);
        const long expect = static_cast<long>(target * 441 / 10 + kSettle);
        double residual = 0;
        const long at = BestLag(ref, got.samples.data() + kSettle * 2, kProbe, expect - 2205,
                                expect + 2205, &residual);
        EXPECT_LE(std::labs(at - expect), 44) << "landed " << (at - expect) << " frames off";
        if (lossless) EXPECT_EQ(0.0, residual);
        else EXPECT_LT(residual, 0.01);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, StreamConcurrencySeek,
    ::testing::Values(std::make_pair("long.flac", true), std::make_pair("long.wv", true),
                      std::make_pair("long_cbr.mp3", false), std::make_pair("long_vbr.mp3", false),
                      std::make_pair("long.m4a", false), std::make_pair("long.ogg", false),
                      std::make_pair("long.opus", false)),
    [](const ::testing::TestParamInfo<std::pair<const char*, bool>>& info) {
        return Slug(info.param.first);
    });

}  // namespace
