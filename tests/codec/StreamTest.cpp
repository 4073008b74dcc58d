// The stream around its decode thread, and its IF processing.
#include "StreamTestUtil.h"

using namespace kva_audioplayer;
using namespace kva_test;

namespace {

TEST(StreamConcurrencyFormat, ChangeIsReportedAndNoAudioIsLost) {
    FileStream f(FixturePath("format_change.mp3"));
    const std::vector<float>& ref = CachedReferenceF32Stereo(f.path);
    ASSERT_FALSE(ref.empty());
    ASSERT_EQ(0, f.Open());
    AudioDescription d{};
    f.stream.getAudioDescription(&d);  // before decoding can reach the change
    EXPECT_EQ(std::make_pair(44100, 2), std::make_pair(int(d.nSampleRate), int(d.nChannel)));
    ASSERT_EQ(0, f.stream.start());
    PullResult got = PullAll(f.stream);
    EXPECT_TRUE(got.ended);
    // The MP3 decoder first gives one frame with the new channel count at the old rate, then the
    // new rate: 44.1 kHz stereo -> 44.1 kHz mono -> 22.05 kHz mono, each announced once.
    EXPECT_EQ(2, got.formatChanges);
    f.stream.getAudioDescription(&d);
    EXPECT_EQ(22050, d.nSampleRate);
    EXPECT_EQ(static_cast<uint64_t>(AV_CH_LAYOUT_MONO), d.nChannelLayout);
    f.stream.close();
    // The command line rebuilds its resampler at the change too, and drains it at the end.
    EXPECT_EQ(ref.size(), got.samples.size());
    EXPECT_EQ(-1, FirstMismatch(got.samples, 0, ref, 0, got.samples.size() / 2));
}

// A seek before the start waits for it; of rapid seeks only the last one's audio arrives; a
// stream that is not playing refuses seeks.
TEST(StreamConcurrencySeek, BeforeStartRapidAndStateRules) {
    FileStream f(FixturePath("s16.wav"));
    const std::vector<float>& ref = CachedReferenceF32Stereo(f.path);
    EXPECT_EQ(kAudioPlayerErrorState, f.stream.seek(100));  // never opened
    ASSERT_EQ(0, f.Open());
    ASSERT_EQ(0, f.stream.seek(2000));
    EXPECT_EQ(0, f.stream.readyFrames());  // not started: nothing decoded
    EXPECT_FALSE(f.stream.waitForAudio(50));  // and a wait for audio gives up at its bound
    ASSERT_EQ(0, f.stream.start());
    ASSERT_TRUE(f.stream.waitForAudio(10000));
    EXPECT_GT(f.stream.readyFrames(), 0);
    PullResult got = PullAll(f.stream);
    ASSERT_FALSE(got.timestamps.empty());
    EXPECT_EQ(2000, got.timestamps.front());
    EXPECT_EQ(44100u, got.samples.size() / 2);
    EXPECT_EQ(-1, FirstMismatch(got.samples, 0, ref, 88200, got.samples.size() / 2));
    for (int i = 0; i < 20; ++i) ASSERT_EQ(0, f.stream.seek(100 * i));
    ASSERT_EQ(0, f.stream.seek(2500));
    got = PullAll(f.stream);
    ASSERT_FALSE(got.timestamps.empty());
    EXPECT_EQ(2500, got.timestamps.front());
    EXPECT_EQ(22050u, got.samples.size() / 2);
    f.stream.pause();
    EXPECT_EQ(kAudioPlayerErrorState, f.stream.seek(100));
    f.stream.close();
    EXPECT_EQ(kAudioPlayerErrorState, f.stream.seek(100));
}

TEST(StreamConcurrencyBuffering, EmptyQueueReportsNoDataAndOneStart) {
    FileStream f(FixturePath("s16.wav"));
    ASSERT_EQ(0, f.Open(true));  // silent: no buffering notification
    uint8_t buf[256];
    for (int i = 0; i < 5; ++i) {
        int32_t len = sizeof(buf);
        int64_t ts = 0;
        EXPECT_EQ(kStreamNoData, f.stream.bufferFill(buf, &len, &ts));
        EXPECT_EQ(0, len);
    }
    EXPECT_EQ(0, f.obs.Starts());  // open raised the flag silently: no second start
    ASSERT_EQ(0, f.stream.start());
    ASSERT_TRUE(f.obs.WaitEnds(1));
    // The first buffering after an open ends at 1.5 s queued although cache_min is 4 s.
    EXPECT_GE(f.stream.bufferedMs(), 1500);
    EXPECT_TRUE(PullAll(f.stream).ended);
    EXPECT_EQ(f.obs.Starts() + 1, f.obs.Ends());  // the silent open's episode ends too
}

// 30 s of audio: the queue fills to cache_max (7 s) and no further; full, the decode thread
// sleeps (paused or not) until a pull makes room; steady pulls neither allocate nor grow the
// frame pool.
TEST(StreamConcurrencyBuffering, DecodesAheadToCacheMaxAndPullsWithoutAllocating) {
    const ScratchDir dir("kva-cache");
    FileStream f(dir.File("long.wav"));
    ASSERT_TRUE(MakeSineWav(f.path, 30, 300));
    ASSERT_EQ(0, f.OpenAndStart());
    ASSERT_TRUE(f.obs.WaitEnds(1));
    for (int64_t i = 0, last = -1, now; i < 200; ++i, last = now) {  // until it stops growing
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if ((now = f.stream.bufferedMs()) == last && now >= 7000) break;
    }
    EXPECT_GE(f.stream.bufferedMs(), 7000);
    // One frame of 64 KiB (s16 stereo: 371 ms) may go past the limit, no more.
    EXPECT_LT(f.stream.bufferedMs(), 7000 + 400);
    for (bool paused : {false, true}) {
        if (paused) f.stream.pause();
        const int64_t steps = f.stream.decodeSteps();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(steps, f.stream.decodeSteps()) << (paused ? "paused" : "playing");
    }
    f.stream.resume();
    std::vector<uint8_t> buf(3528);  // 20 ms of stereo float
    long allocations = 0;
    const int framesBefore = f.stream.allocatedFrames();
    for (int i = 0; i < 600; ++i) {  // 12 s of audio, well past the first cache fill
        // Keep some audio queued, as a real-time consumer would find it.
        for (int w = 0; w < 500 && f.stream.bufferedMs() < 2000; ++w)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        int32_t len = static_cast<int32_t>(buf.size());
        int64_t ts = 0;
        CountAllocations(true);
        const int32_t r = i % 2 ? f.stream.bufferFill(buf.data(), &len, &ts)
                                : f.stream.bufferFillFull(buf.data(), &len, &ts);
        CountAllocations(false);
        ASSERT_EQ(0, r);
        allocations += Allocations();
    }
    EXPECT_EQ(0, allocations);
    EXPECT_LE(f.stream.allocatedFrames(), framesBefore + 2);
    // The room made wakes the decode thread, which fills the queue again.
    for (int i = 0; i < 300 && f.stream.bufferedMs() < 7000; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GE(f.stream.bufferedMs(), 7000);
    f.stream.close();
}

TEST(StreamConcurrencyBadInput, FixturesYieldCodesWithoutHanging) {
    const std::vector<std::pair<const char*, std::vector<int32_t>>> cases = {
        {"empty.bin", {kDecInvalidData}},
        {"noaudio.mkv", {kDecNoAudio}},
        {"random.bin", {kDecInvalidData, kDecOpenInputFailed, kDecStreamInfoFailed, kDecNoAudio,
                        kDecZeroDuration, 0}},
        {"truncated.mp3", {0}},  // 0: it opens, plays and ends
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        FileStream f(FixturePath(c.first));
        const int32_t r = f.Open();
        EXPECT_NE(c.second.end(), std::find(c.second.begin(), c.second.end(), r)) << "open gave " << r;
        if (r != 0) {
            EXPECT_EQ(CKVAAudioStream::kOpening, f.stream.state());
            continue;
        }
        ASSERT_EQ(0, f.stream.start());
        EXPECT_TRUE(PullAll(f.stream).ended);
    }
}

// Random bytes over three stretches of the audio data: the damaged packets are dropped (or
// concealed) exactly as the command line does it, and the rest plays to the end.
TEST(StreamConcurrencyBadInput, DamagedMediaPlaysToItsEnd) {
    const ScratchDir dir("kva-corrupt");
    for (const char* name : {"cbr.mp3", "flac16.flac", "aac.m4a"}) {
        for (uint32_t seed = 1; seed <= 3; ++seed) {
            SCOPED_TRACE(std::string(name) + " seed " + std::to_string(seed));
            std::vector<uint8_t> data = ReadBytes(FixturePath(name));
            uint32_t x = seed * 2654435761u;
            for (double at : {0.3, 0.5, 0.7})
                for (size_t i = static_cast<size_t>(data.size() * at), k = 0; k < 1024; ++i, ++k)
                    data[i] = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
            const std::string path = dir.File(std::to_string(seed) + name);
            std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
            std::vector<float> ref;
            ASSERT_TRUE(ReferenceDecodeF32Stereo(path, &ref));
            FileStream f(path);
            ASSERT_EQ(0, f.OpenAndStart());
            PullResult got = PullAll(f.stream);
            EXPECT_EQ(std::vector<int32_t>{kAudioPlayerEOS}, got.codes);
            EXPECT_EQ(ref.size(), got.samples.size());
            EXPECT_EQ(-1, FirstMismatch(got.samples, 0, ref, 0, got.samples.size() / 2));
        }
    }
}

TEST(StreamConcurrencyBadInput, SourceFailuresAtOpenAndMidStream) {
    RecordingObserver obs;
    const std::vector<uint8_t> wav = ReadBytes(FixturePath("s16.wav"));
    {
        MemorySourceIO failing(wav), cancelled(wav);
        CKVAAudioStream stream(&obs);
        failing.FailOpen(2);
        EXPECT_EQ(kDecIoError, stream.open(&failing, false));
        cancelled.FailOpen(8);
        cancelled.SetErrorCode(8);
        EXPECT_EQ(kDecCancelled, stream.open(&cancelled, false));
        EXPECT_EQ(8, stream.getLastError());
        EXPECT_EQ(0, obs.Starts());
    }
    // A file-system read error after ~1.1 s of audio reaches the pull; all before it is intact.
    MemorySourceIO source(wav);
    source.FailReadsAt(200000, 4);
    CKVAAudioStream stream(&obs);
    ASSERT_EQ(0, OpenAndStart(stream, &source));
    PullResult got = PullAll(stream, 4096, /*stopOnError=*/true);
    ASSERT_FALSE(got.codes.empty());
    EXPECT_EQ(kStreamIoError, got.codes.back());
    EXPECT_GT(got.samples.size() / 2, 40000u);
    EXPECT_EQ(-1, FirstMismatch(got.samples, 0, CachedReferenceF32Stereo(FixturePath("s16.wav")), 0,
                                got.samples.size() / 2));
    stream.close();
}

// A source that answers "no data yet" forever after 60 KB, like a stalled download: its reads
// come out as "cancelled" frames; once aborted the decoder gives up with the retry-limit error,
// which a device turns into a playback error.
TEST(StreamConcurrencyBadInput, AbortMidReadEndsWithAnErrorNotAHang) {
    MemorySourceIO source(ReadBytes(FixturePath("flac16.flac")));
    source.FailReadsAt(60000, -2);
    RecordingObserver obs;
    CKVAAudioStream stream(&obs);
    ASSERT_EQ(0, OpenAndStart(stream, &source));
    std::thread aborter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stream.abort();
    });
    std::vector<uint8_t> buf(4096);
    bool sawGiveUp = false;
    for (int i = 0; i < 20000 && !sawGiveUp; ++i) {
        int32_t len = static_cast<int32_t>(buf.size());
        int64_t ts = 0;
        const int32_t r = stream.bufferFillFull(buf.data(), &len, &ts);
        sawGiveUp = r == kStreamDecodeError;
        if (r == kStreamNoData || r == kStreamCancelled) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    aborter.join();
    EXPECT_TRUE(sawGiveUp);
    EXPECT_GE(source.AbortCalls(), 1);
    stream.close();
}

TEST(StreamSettings, CacheParamsKeepTheirRanges) {
    // Asked {min, max} on a fresh stream -> kept {min, max}; out-of-range values are ignored.
    const struct { int32_t min, max, wantMin, wantMax; } params[] = {
        {3000, 20000, 4000, 7000}, {5000, 5000, 5000, 7000}, {9000, 8000, 9000, 10000},
        {14999, 15000, 14999, 15999}, {15000, 14999, 4000, 14999}};
    for (const auto& p : params) {
        CKVAAudioStream s(nullptr);
        s.SetPlaybackCacheParams(p.min, p.max, 1, 2);
        EXPECT_EQ((std::pair<int64_t, int64_t>(p.wantMin, p.wantMax)), std::make_pair(s.cacheMin(), s.cacheMax())) << p.min << " " << p.max;
    }
    CKVAAudioStream c(nullptr);
    for (auto m : {std::make_pair(15000, 7000), {6999, 7000}, {14999, 14999}}) {
        c.setCacheMax(m.first);
        EXPECT_EQ(m.second, c.cacheMax()) << m.first;
    }
}

TestIFProcessor::Config Doubling(int holdFrames) {
    TestIFProcessor::Config c;
    c.gain = 2.0f;
    c.holdFrames = holdFrames;
    return c;
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
}

}  // namespace
