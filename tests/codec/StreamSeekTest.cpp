// Seeking, format changes and buffering episodes through the stream's decode thread.
#include <gtest/gtest.h>

#include <cstdlib>

#include "StreamTestUtil.h"
#include "common/ReferenceDecode.h"
#include "common/TestPaths.h"
#include "source/KVAAudioLocalSource.h"

using namespace kva_audioplayer;
using namespace kva_test;

namespace {

struct SeekCase {
    const char* file;
    int64_t frameMs;     // one codec frame (packet) of this format, in ms
    size_t settleFrames; // output frames after the seek before a decoder's state matches again
    // False where the container cannot place a seek exactly: fast seeking through an MP3
    // Xing table of contents lands by estimate, and Ogg timestamps after a seek come from page
    // granules. There only the first timestamp is checked.
    bool exactContent;
};

std::ostream& operator<<(std::ostream& os, const SeekCase& c) { return os << c.file; }

class StreamConcurrencySeek : public ::testing::TestWithParam<SeekCase> {};

// After a seek to T the first delivered block starts within one codec frame of T, its
// timestamp is where that audio really sits in the file, and the PCM from there on equals the
// command line's continuous decode (after `settleFrames` for codecs whose decoder state needs
// a frame or two of input to converge after the flush that a seek implies).
TEST_P(StreamConcurrencySeek, LandsNearTargetAndMatchesReference) {
    const SeekCase& c = GetParam();
    const std::string path = FixturePath(c.file);
    const std::vector<float>& ref = CachedReferenceF32Stereo(path);
    ASSERT_FALSE(ref.empty());

    for (int64_t target : {1234, 400, 2500}) {
        SCOPED_TRACE("seek to " + std::to_string(target));
        RecordingObserver obs;
        CKVAAudioLocalSource source(3, path.c_str());
        CKVAAudioStream stream(&obs);
        ASSERT_EQ(0, OpenAndStart(stream, &source));
        ASSERT_TRUE(obs.WaitEnds(1));
        ASSERT_EQ(0, stream.seek(target));
        ASSERT_TRUE(obs.WaitEnds(2));  // the seek's buffering episode is over
        PullResult got = PullAll(stream);
        stream.close();
        ASSERT_FALSE(got.timestamps.empty());
        const int64_t ts = got.timestamps.front();
        EXPECT_LE(std::llabs(ts - target), c.frameMs) << "first timestamp " << ts;

        if (!c.exactContent) continue;
        const size_t frames = got.samples.size() / 2;
        ASSERT_GT(frames, c.settleFrames + 4096);
        std::vector<float> probe(got.samples.begin() + c.settleFrames * 2, got.samples.end());
        const long expectAt = static_cast<long>(ts * 441 / 10) + static_cast<long>(c.settleFrames);
        long at = FindBlock(ref, probe, 1024, expectAt - 4410, expectAt + 4410);
        ASSERT_GE(at, 0) << "delivered audio not found in the reference near " << ts << " ms";
        // Timestamps come from the container and carry its priming offset (MP3, AAC): the
        // block sits within one codec frame of where its timestamp puts it.
        EXPECT_LE(std::labs(at - expectAt), c.frameMs * 441 / 10) << "found at frame " << at;
        const size_t rest = std::min(probe.size() / 2, ref.size() / 2 - static_cast<size_t>(at));
        EXPECT_EQ(-1, FirstMismatch(probe, 0, ref, static_cast<size_t>(at), rest));
        EXPECT_TRUE(got.ended);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, StreamConcurrencySeek,
    ::testing::Values(SeekCase{"s16.wav", 100, 0, true}, SeekCase{"flac16.flac", 93, 0, true},
                      SeekCase{"cbr.mp3", 27, 4096, true}, SeekCase{"aac.m4a", 24, 4096, true},
                      SeekCase{"vbr.mp3", 27, 0, false}, SeekCase{"vorbis.ogg", 47, 0, false}),
    [](const ::testing::TestParamInfo<SeekCase>& info) {
        std::string n = info.param.file;
        for (char& ch : n)
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return n;
    });

}  // namespace
