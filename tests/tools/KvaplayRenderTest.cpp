// kvaplay as a host: renders through the virtual output into a WAV file, compared with the
// ffmpeg command line's decode of the same file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "KvaplayRun.h"
#include "common/JoinCheck.h"
#include "common/ReferenceDecode.h"
#include "common/WavRead.h"

using namespace kva_test;

namespace {

class KvaplayRender : public ::testing::TestWithParam<std::pair<const char*, float>> {
protected:
    ScratchDir dir{"kvaplay"};
};

}  // namespace

// Tolerance 0: the same conversion path as the ffmpeg command line (44.1 kHz stereo sources,
// only the sample format changes). Resampled or down-mixed sources go through the same
// resampler with the same defaults, but the engine converts block by block where the command
// line converts in one filter graph, so the last bits may differ, and the resampler's flush may
// leave a few frames at the very end.
TEST_P(KvaplayRender, WavOutputEqualsReferenceDecode) {
    const std::string file = FixturePath(GetParam().first);
    const float tolerance = GetParam().second;
    const std::string wav = dir.File("out.wav");
    KvaplayResult r = RunKvaplay("--output=wav:" + wav + " --fast --start-fade-ms=0 --quiet " + file);
    ASSERT_EQ(r.exitCode, 0) << r.out;
    WavData got;
    ASSERT_TRUE(ReadFloatWav(wav, &got));
    EXPECT_EQ(got.sampleRate, 44100);
    ASSERT_EQ(got.channels, 2);
    const std::vector<float>& ref = CachedReferenceF32Stereo(file);
    ASSERT_FALSE(ref.empty());
    const long start = LocateStart(got.samples, ref, 8820, tolerance);
    ASSERT_GE(start, 0) << "the reference's first frames are not in the render";
    const size_t refFrames = ref.size() / 2, gotFrames = got.samples.size() / 2 - start;
    const size_t slack = tolerance == 0.0f ? 0 : 128;  // 2.9 ms: the resampler's unflushed tail
    const size_t frames = std::min(refFrames, gotFrames) - slack;
    EXPECT_EQ(FirstMismatch(got.samples, start, ref, 0, frames, tolerance), -1);
    // Nothing is lost at the end, and what follows the media is the last period's padding.
    EXPECT_GE(gotFrames + slack, refFrames);
    for (size_t i = 2 * (start + refFrames + slack); i < got.samples.size(); ++i)
        ASSERT_EQ(got.samples[i], 0.0f) << "sound after the media at sample " << i;
    EXPECT_LT(gotFrames, refFrames + 4410) << "more than one device buffer of padding";
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, KvaplayRender,
    ::testing::Values(std::make_pair("s16.wav", 0.0f), std::make_pair("f32.wav", 0.0f),
                      std::make_pair("flac16.flac", 0.0f), std::make_pair("cbr.mp3", 0.0f),
                      std::make_pair("vbr.mp3", 0.0f), std::make_pair("aac.m4a", 0.0f),
                      std::make_pair("vorbis.ogg", 0.0f), std::make_pair("opus.opus", 1e-4f),
                      std::make_pair("flac24_96k.flac", 1e-4f), std::make_pair("mono8k.wav", 1e-4f),
                      std::make_pair("six.flac", 1e-4f)),
    [](const ::testing::TestParamInfo<std::pair<const char*, float>>& info) {
        std::string name = info.param.first;
        for (auto& c : name)
            if (!isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

namespace {

struct JsonEvent {
    int id, p1;
};

std::vector<JsonEvent> ParseJson(const std::string& out) {
    std::vector<JsonEvent> events;
    size_t pos = 0;
    while ((pos = out.find("\"id\": ", pos)) != std::string::npos) {
        JsonEvent e{};
        e.id = atoi(out.c_str() + pos + 6);
        size_t p1 = out.find("\"param1\": ", pos);
        e.p1 = p1 == std::string::npos ? 0 : atoi(out.c_str() + p1 + 10);
        events.push_back(e);
        pos += 6;
    }
    return events;
}

// kvaplay with --json, rendering into a scratch WAV file.
KvaplayResult RunJson(const std::string& args) {
    ScratchDir dir("kvajson");
    return RunKvaplay("--output=wav:" + dir.File("o.wav") + " --fast --json " + args);
}

int IndexOf(const std::vector<JsonEvent>& ev, int id, int p1, int from = 0) {
    for (size_t i = from; i < ev.size(); ++i)
        if (ev[i].id == id && ev[i].p1 == p1) return static_cast<int>(i);
    return -1;
}

}  // namespace

TEST(KvaplayJson, NotificationOrderForOneFile) {
    KvaplayResult r = RunJson(FixturePath("flac16.flac"));
    ASSERT_EQ(r.exitCode, 0) << r.out;
    auto ev = ParseJson(r.out);
    int i2 = IndexOf(ev, 300, 2), i3 = IndexOf(ev, 300, 3), i4 = IndexOf(ev, 300, 4);
    ASSERT_GE(i2, 0);
    ASSERT_GT(i3, i2);
    ASSERT_GT(i4, i3);
    int i7 = -1;
    for (size_t i = 0; i < ev.size(); ++i)
        if (ev[i].id == 7) i7 = static_cast<int>(i);
    ASSERT_GT(i7, i3);
    EXPECT_NEAR(ev[i7].p1, 3000, 50);  // the duration
    int i5 = IndexOf(ev, 300, 5);
    ASSERT_GT(i5, i4);
    int first = IndexOf(ev, 5, 1);
    ASSERT_GT(first, i4);
    int done = IndexOf(ev, 300, 7);
    ASSERT_GT(done, first);
    int completed = IndexOf(ev, 2, 0, done);
    EXPECT_GT(completed, done);
    EXPECT_EQ(r.err, "") << "the library wrote to standard error unasked";
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

TEST(KvaplayJson, SeekReportsTheTarget) {
    KvaplayResult r = RunJson("--seek=1500 " + FixturePath("flac16.flac"));
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_GE(IndexOf(ParseJson(r.out), 4, 1500), 0);
}

TEST(KvaplayJson, CorruptFileGivesErrorAndExitOne) {
    KvaplayResult r = RunJson(FixturePath("random.bin"));
    EXPECT_EQ(r.exitCode, 1);
    auto ev = ParseJson(r.out);
    bool error = false;
    for (auto& e : ev) error |= e.id == 100;
    EXPECT_TRUE(error);
    EXPECT_GE(IndexOf(ev, 300, 9), 0);
}

TEST(KvaplayArgs, BadArgumentsExitTwo) {
    EXPECT_EQ(RunKvaplay("--speed=0.1 x.wav").exitCode, 2);
    EXPECT_EQ(RunKvaplay("--fast x.wav").exitCode, 2);
    EXPECT_EQ(RunKvaplay("--no-such-option x.wav").exitCode, 2);
    EXPECT_EQ(RunKvaplay("").exitCode, 2);
}
