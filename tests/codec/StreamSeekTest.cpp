// Seeks through the stream's decode thread, on a minute of noise in each format: the audio
// after a seek starts at the target sample.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "StreamTestUtil.h"
#include "common/ReferenceDecode.h"
#include "common/TestPaths.h"

using namespace kva_audioplayer;
using namespace kva_test;

namespace {

struct SeekCase {
    const char* file;
    bool lossless;  // the audio after the seek equals the continuous decode bit for bit
};

std::ostream& operator<<(std::ostream& os, const SeekCase& c) { return os << c.file; }

// The lag in [from, to) at which `probe` (frames stereo frames) fits `ref` best, and the
// residual energy there relative to the probe's own.
long BestLag(const std::vector<float>& ref, const float* probe, size_t frames, long from, long to,
             double* residual) {
    double energy = 0;
    for (size_t i = 0; i < frames * 2; ++i) energy += double(probe[i]) * probe[i];
    long best = -1;
    double bestErr = INFINITY;
    for (long lag = std::max(0L, from); lag < to; ++lag) {
        if (static_cast<size_t>(lag) + frames > ref.size() / 2) break;
        double err = 0;
        const float* r = ref.data() + lag * 2;
        for (size_t i = 0; i < frames * 2 && err < bestErr; ++i) {
            const double d = double(probe[i]) - r[i];
            err += d * d;
        }
        if (err < bestErr) {
            bestErr = err;
            best = lag;
        }
    }
    *residual = energy > 0 ? bestErr / energy : INFINITY;
    return best;
}

class StreamConcurrencySeek : public ::testing::TestWithParam<SeekCase> {};

// A seek to T delivers first the audio at T, stamped T (within 1 ms each); past the end the
// track simply ends.
TEST_P(StreamConcurrencySeek, LandsOnTheTargetSample) {
    const SeekCase& c = GetParam();
    const std::string path = FixturePath(c.file);
    const std::vector<float>& ref = CachedReferenceF32Stereo(path);
    ASSERT_GT(ref.size() / 2, 44100u * 59);

    constexpr size_t kSettle = 4410;  // a lossy decoder's state converges after a seek
    constexpr size_t kProbe = 2048;
    for (int64_t target : {1230, 31110, 58770, 59990, 75000}) {
        SCOPED_TRACE("seek to " + std::to_string(target));
        FileStream f(path);
        CKVAAudioStream& stream = f.stream;
        RecordingObserver& obs = f.obs;
        ASSERT_EQ(0, f.OpenAndStart());
        ASSERT_TRUE(obs.WaitEnds(1));
        ASSERT_EQ(0, stream.seek(target));
        ASSERT_TRUE(obs.WaitEnds(2));
        PullResult got = PullAll(stream, 4096, false, kSettle + kProbe);
        EXPECT_FALSE(got.hung);
        for (int32_t code : got.codes) EXPECT_EQ(kAudioPlayerEOS, code);
        if (target >= 59990) {  // at or past the end: nothing more, a normal end; a seek back
            EXPECT_TRUE(got.ended);  // plays again
            EXPECT_LE(got.samples.size() / 2, 441u);
            ASSERT_EQ(0, stream.seek(1230));
            ASSERT_TRUE(obs.WaitEnds(3));
            got = PullAll(stream, 4096, false, 4096);
            ASSERT_FALSE(got.timestamps.empty());
            EXPECT_LE(std::llabs(got.timestamps.front() - 1230), 1);
            continue;
        }
        stream.close();
        ASSERT_GE(got.samples.size() / 2, kSettle + kProbe);
        EXPECT_LE(std::llabs(got.timestamps.front() - target), 1);
        const long expect = static_cast<long>(target * 441 / 10 + kSettle);
        double residual = 0;
        const long at = BestLag(ref, got.samples.data() + kSettle * 2, kProbe, expect - 2205,
                                expect + 2205, &residual);
        EXPECT_LE(std::labs(at - expect), 44) << "landed " << (at - expect) << " frames off";
        if (c.lossless) EXPECT_EQ(0.0, residual);
        else EXPECT_LT(residual, 0.01);
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, StreamConcurrencySeek,
                         ::testing::Values(SeekCase{"long.flac", true}, SeekCase{"long.wv", true},
                                           SeekCase{"long_cbr.mp3", false},
                                           SeekCase{"long_vbr.mp3", false},
                                           SeekCase{"long.m4a", false},
                                           SeekCase{"long.ogg", false}, SeekCase{"long.opus", false}),
                         [](const ::testing::TestParamInfo<SeekCase>& info) {
                             std::string n = info.param.file;
                             for (char& ch : n)
                                 if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return n;
                         });

}  // namespace
