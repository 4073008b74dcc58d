// IF processing on the stream's decode thread: processed output in the output format with its
// timestamps, held output, formats the processor picks, switching off when the processor is too
// slow or the speed leaves 1.0 (draining what it holds), and sources that are never processed.
#include <gtest/gtest.h>

#include "StreamTestUtil.h"
#include "common/ReferenceDecode.h"
#include "common/TestIFProcessor.h"
#include "common/TestPaths.h"

using namespace kva_audioplayer;
using namespace kva_test;

namespace {

TestIFProcessor::Config Doubling(int holdFrames) {
    TestIFProcessor::Config c;
    c.gain = 2.0f;
    c.holdFrames = holdFrames;
    return c;
}

// Zero crossings per second of one channel: a pitch measure that ignores rate and level.
double CrossingsPerSecond(const std::vector<float>& s, int channels, int channel, int rate) {
    long n = 0;
    const size_t frames = s.size() / channels;
    for (size_t f = 1; f < frames; ++f)
        n += (s[(f - 1) * channels + channel] < 0) != (s[f * channels + channel] < 0);
    return frames ? n * double(rate) / frames : 0;
}

class StreamIF : public ::testing::Test {
protected:
    // Opens the fixture and enables IF processing with `processor`; the answer of the enable.
    int32_t Open(const char* fixture, TestIFProcessor* processor, int32_t stepSize = 0) {
        stream.reset();  // it reads from the old source until it is gone
        source.reset(new CKVAAudioLocalSource(3, FixturePath(fixture).c_str()));
        stream.reset(new CKVAAudioStream(&obs));
        if (stream->open(source.get(), false) != 0) return -1000;
        if (stepSize) stream->setStepSize(stepSize);
        stream->setIFProcessor(processor);
        return stream->SetAudioIFEnable(1);
    }
    PullResult Play(const AudioDescription& out = StereoFloat44k(), size_t maxFrames = SIZE_MAX) {
        stream->setOutputDescription(out);
        stream->start();
        return PullAll(*stream, 4096, false, maxFrames);
    }
    const std::vector<float>& ref = CachedReferenceF32Stereo(FixturePath("flac16.flac"));
    RecordingObserver obs;
    std::unique_ptr<CKVAAudioLocalSource> source;
    std::unique_ptr<CKVAAudioStream> stream;
};

TEST_F(StreamIF, DoubledAudioWithHeldTailArrivesWholeAndInTime) {
    TestIFProcessor proc(Doubling(3000));
    ASSERT_EQ(0, Open("flac16.flac", &proc));
    EXPECT_EQ(stream->ifStatus(), CKVAAudioStream::kIFReady);
    PullResult res = Play();
    ASSERT_TRUE(res.ended);
    EXPECT_FALSE(res.hung);
    EXPECT_EQ(stream->ifStatus(), CKVAAudioStream::kIFProcessing);
    EXPECT_GE(proc.EndMarks(), 1);
    ASSERT_EQ(res.samples.size(), ref.size()) << "held output lost or added at the end";
    std::string why;
    EXPECT_EQ(DoubledThenPlain(res.samples, 0, ref, &why), long(ref.size() / 2)) << why;
    // Every pull is stamped with the time of its first frame.
    for (size_t i = 0; i < res.timestamps.size(); ++i)
        ASSERT_NEAR(res.timestamps[i], int64_t(res.offsets[i]) * 1000 / 44100, 2) << "pull " << i;
}

TEST_F(StreamIF, ProcessorFormatsAreConvertedToTheOutputFormat) {
    // The processor takes 22.05 kHz mono and gives 44.1 kHz stereo; the output is 48 kHz stereo.
    TestIFProcessor::Config c;
    c.inRate = 22050;
    c.inChannels = 1;
    c.outChannels = c.upsample = 2;
    TestIFProcessor proc(c);
    ASSERT_EQ(0, Open("flac16.flac", &proc));
    AudioDescription des{};
    stream->getAudioDescription(&des);
    EXPECT_EQ(des.nSampleRate, 44100);
    EXPECT_EQ(des.nChannel, 2);
    PullResult res = Play(StereoFloat44k(48000));
    ASSERT_TRUE(res.ended);
    // Each resampler drained at the end: the length to the frame (3 s at 48 kHz).
    EXPECT_EQ(res.samples.size() / 2, ref.size() / 2 * 48000 / 44100);
    std::vector<float> refMono(ref.size() / 2);
    for (size_t f = 0; f < refMono.size(); ++f) refMono[f] = (ref[2 * f] + ref[2 * f + 1]) / 2;
    const double want = CrossingsPerSecond(refMono, 1, 0, 44100);
    EXPECT_NEAR(CrossingsPerSecond(res.samples, 2, 0, 48000), want, want * 0.02);
    EXPECT_NEAR(CrossingsPerSecond(res.samples, 2, 1, 48000), want, want * 0.02);
    // Timestamps follow the 48 kHz output (the resampler's delay shifts them by a few ms).
    for (size_t i = 0; i < res.timestamps.size(); ++i)
        ASSERT_NEAR(res.timestamps[i], int64_t(res.offsets[i]) * 1000 / 48000, 3) << "pull " << i;
}

TEST_F(StreamIF, TooSlowProcessorIsSwitchedOffAndDrainedWithoutLoss) {
    TestIFProcessor::Config c = Doubling(2000);
    c.slowFactor = 6.0;  // far beyond real time: judged on its first block
    c.slowPuts = 1;
    TestIFProcessor proc(c);
    ASSERT_EQ(0, Open("flac16.flac", &proc, 8192));
    PullResult res = Play();
    ASSERT_TRUE(res.ended);
    EXPECT_EQ(stream->ifStatus(), CKVAAudioStream::kIFSwitchedOff);
    auto events = obs.StreamEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, kNotifyAudioIFStatus);
    EXPECT_EQ(events[0].arg1, kAudioIFSwitchedOff);
    EXPECT_GT(events[0].arg2, 500);
    EXPECT_GE(proc.Resets(), 1);
    ASSERT_EQ(res.samples.size(), ref.size());
    std::string why;
    const long doubled = DoubledThenPlain(res.samples, 0, ref, &why);
    EXPECT_GT(doubled, 0) << why;
    EXPECT_LT(doubled, long(ref.size() / 2) / 2);
}

TEST_F(StreamIF, LeavingSpeedOneDrainsAndSwitchesOff) {
    TestIFProcessor proc(Doubling(1500));
    ASSERT_EQ(0, Open("flac16.flac", &proc, 8192));
    PullResult all = Play(StereoFloat44k(), 44100);
    stream->setSpeed(1.00005);
    EXPECT_EQ(stream->ifStatus(), CKVAAudioStream::kIFProcessing);
    stream->setSpeed(1.5);
    EXPECT_GE(stream->ifStatus(), CKVAAudioStream::kIFSwitchingOff);  // the drain may be done
    PullResult rest = PullAll(*stream, 4096);
    ASSERT_TRUE(rest.ended);
    EXPECT_EQ(stream->ifStatus(), CKVAAudioStream::kIFSwitchedOff);
    EXPECT_TRUE(obs.StreamEvents().empty());
    all.samples.insert(all.samples.end(), rest.samples.begin(), rest.samples.end());
    ASSERT_EQ(all.samples.size(), ref.size());
    std::string why;
    EXPECT_GE(DoubledThenPlain(all.samples, 0, ref, &why), 44100) << why;
}

TEST_F(StreamIF, SourcesAndSettingsThatKeepProcessingOff) {
    TestIFProcessor proc(TestIFProcessor::Config{});
    // More than two channels, more than 48 kHz: never processed, the processor never started.
    for (const char* file : {"six.flac", "flac24_96k.flac"}) {
        EXPECT_EQ(1, Open(file, &proc)) << file;
        EXPECT_EQ(stream->ifStatus(), CKVAAudioStream::kIFOff) << file;
    }
    EXPECT_EQ(proc.Inits(), 0);
    ASSERT_EQ(1, Open("flac16.flac", nullptr));
    EXPECT_EQ(0, stream->SetAudioIFEnable(0));
    stream->setIFProcessor(&proc);
    stream->setSpeed(1.25);
    EXPECT_EQ(1, stream->SetAudioIFEnable(1));
    EXPECT_EQ(proc.Inits(), 0);
    // A failing Init is answered with its own value, and the audio flows unprocessed.
    TestIFProcessor::Config c = Doubling(0);
    c.initResult = -7;
    TestIFProcessor refusing(c);
    EXPECT_EQ(-7, Open("flac16.flac", &refusing));
    EXPECT_EQ(stream->ifStatus(), CKVAAudioStream::kIFOff);
    EXPECT_EQ(Play().samples, ref);
    EXPECT_EQ(refusing.Puts(), 0);
}

}  // namespace
