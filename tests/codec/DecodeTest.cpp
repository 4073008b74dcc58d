// The decoder and the frame converter on their own; whole-file decodes and seeks through the
// stream, compared with the ffmpeg command line's decode; the stream around its decode thread,
// and its IF processing.
#include "StreamTestUtil.h"

namespace {

// A frame over its own buffer of `capacity` bytes.
struct Frame {
    AudioFrame f{};
    explicit Frame(int capacity = 4096) {
        f.nCapacity = capacity;
        f.pData = static_cast<uint8_t*>(calloc(1, capacity));
        reset();
    }
    ~Frame() { free(f.pData); }
    AudioFrame* reset() {
        f.nLen = f.nFlags = f.nDuration = 0;
        f.nTimestamp = -1;
        return &f;
    }
    float* floats() { return reinterpret_cast<float*>(f.pData); }
};

TEST(FFDecoderOpen, ResultCodesForSourcesAndBadMedia) {
    CKVAFFDecoder dec;
    EXPECT_EQ(kDecIoError, dec.open(nullptr, 0.0f));
    const std::vector<uint8_t> wav = ReadBytes(FixturePath("s16.wav"));
    // A read error while probing is an I/O error and "no data yet" a cancel; another read error
    // while the header is read fails the open.
    const struct { const char* file; int64_t at; int32_t code, want; } reads[] = {
        {"s16.wav", 0, 4, kDecIoError}, {"s16.wav", 0, -2, kDecCancelled}, {"flac16.flac", 100, 5, kDecOpenInputFailed}};
    for (const auto& c : reads) {
        MemorySourceIO failing(ReadBytes(FixturePath(c.file)));
        failing.FailReadsAt(c.at, c.code);
        EXPECT_EQ(c.want, dec.open(&failing, 0.0f)) << c.file << " " << c.code;
    }
    // A good open keeps the source's session id and closes it on close.
    MemorySourceIO good(wav, 42);
    EXPECT_EQ(0, dec.open(&good, 0.0f));
    EXPECT_EQ(std::make_tuple(42, std::string("42"), 3000),
              std::make_tuple(dec.getSessionId(), dec.getSessionIdText(), dec.getDuration()));
    dec.close();
    EXPECT_GE(good.CloseCalls(), 1);
    dec.close();  // a second close is harmless
}

TEST(FFDecoderOpen, BlackList) {
    KVACodecSettings::SetCodecBlackList({AV_CODEC_ID_MP3, AV_CODEC_ID_FLAC});
    CKVAFFDecoder dec;
    CKVAAudioLocalSource flac(1, FixturePath("flac16.flac").c_str());
    EXPECT_EQ(kDecNoAudio, dec.open(&flac, 0.0f));
    CKVAAudioLocalSource wav(1, FixturePath("s16.wav").c_str());
    EXPECT_EQ(0, dec.open(&wav, 0.0f));
    CKVAFFDecoder::SetCodecBlackList({});
    EXPECT_EQ(0, dec.open(&flac, 0.0f));
    dec.close();  // the sources die before the decoder
}

// Before a target is set the decoder gives the source's own format.
TEST(FFDecoderConvert, NativeDescriptionsFollowTheSource) {
    for (auto c : {std::make_pair("f32.wav", AV_SAMPLE_FMT_FLT), {"s16.wav", AV_SAMPLE_FMT_S16}}) {
        CKVAAudioLocalSource src(1, FixturePath(c.first).c_str());
        CKVAFFDecoder dec;
        ASSERT_EQ(0, dec.open(&src, 0.0f));
        AudioDescription d{};
        dec.getOutputDescription(&d);
        EXPECT_EQ(std::make_tuple(int(c.second), av_get_bytes_per_sample(c.second) * 8, kAudioDescriptionTag),
                  std::make_tuple(int(d.nSampleFormat), int(d.nBitsPerSample), d.nTag)) << c.first;
    }
}

TEST(FFDecoderConvert, UnlabelledTenAndTwelveChannelFramesGetTheirLayouts) {
    for (int channels : {10, 12}) {
        CKVAFFDecoder dec;
        AVFrame* frame = av_frame_alloc();
        frame->format = AV_SAMPLE_FMT_FLTP;
        frame->sample_rate = 48000;
        frame->nb_samples = 64;
        frame->ch_layout = AVChannelLayout{AV_CHANNEL_ORDER_UNSPEC, channels, {0}, nullptr};
        ASSERT_EQ(0, av_frame_get_buffer(frame, 0));
        Frame fb;
        // Nothing is open: the frame is a format change, announced with its layout.
        EXPECT_EQ(kDecFormatChanged, dec.convertFrame(frame, &fb.f));
        EXPECT_TRUE(fb.f.nFlags & kFrameNewFormat);
        AudioDescription d{};
        dec.getOutputDescription(&d);
        EXPECT_EQ(std::make_tuple(channels == 10 ? 0x2D03FULL : 0x2D63FULL, channels, int(AV_SAMPLE_FMT_FLT)),
                  std::make_tuple(uint64_t(d.nChannelLayout), int(d.nChannel), int(d.nSampleFormat)));
        av_frame_free(&frame);
    }
}

// Seeks to the end and back are in the stream's seek table.
TEST(FFDecoderDecode, NoCodecAbortAndNearTheEndAnswers) {
    CKVAFFDecoder dec;
    Frame fb;
    EXPECT_EQ(kDecConvertFailed, dec.decode(fb.reset()));  // nothing open
    EXPECT_EQ(kDecSeekFailed, dec.seek(1000));
    // After an abort, a codec that needs input gives up at once with the retry-limit code.
    MemorySourceIO src(ReadBytes(FixturePath("flac16.flac"))), again(ReadBytes(FixturePath("flac16.flac")));
    ASSERT_EQ(0, dec.open(&src, 0.0f));
    dec.abort();
    EXPECT_EQ(1, src.AbortCalls());
    EXPECT_EQ(kDecRetryLimit, dec.decode(fb.reset()));
    EXPECT_EQ(kDecRetryLimit, dec.getErrorCode());
    // A new open clears the cancel flag.
    ASSERT_EQ(0, dec.open(&again, 0.0f));
    EXPECT_EQ(0, dec.decode(fb.reset()));
    EXPECT_GT(fb.f.nLen, 0);
    EXPECT_EQ(AVERROR_EOF, dec.seek(2960));  // within 50 ms of the 3000 ms end
    EXPECT_FALSE(dec.isEOS());              // nothing was sought
    dec.close();
}

TEST(Normlizer, PassesMatchingFormatsAndConvertsS16ToFloatInPlace) {
    CKVAAudioNormlizer n;
    const auto a = Describe(AV_SAMPLE_FMT_FLT), b = Describe(AV_SAMPLE_FMT_FLT, 44100, 3);
    // Equal, or only the channel count differs (counted as equal): no converter.
    for (const AudioDescription* out : {&a, &b}) {
        n.setFormat(&a, out);
        EXPECT_EQ(CKVAAudioNormlizer::kPassThrough, n.state());
    }
    Frame fr(1024);  // room for the s16 frames below only: float needs twice as much
    fr.f.nLen = 64;
    fr.f.pData[0] = 0x5a;
    EXPECT_EQ(0, n.convert(&fr.f));
    EXPECT_EQ(std::make_pair(64, uint8_t(0x5a)), std::make_pair(int(fr.f.nLen), fr.f.pData[0]));
    const auto src = Describe(AV_SAMPLE_FMT_S16);
    n.setFormat(&src, &a);
    EXPECT_EQ(CKVAAudioNormlizer::kReady, n.state());
    const int frames = 256;
    auto* s = reinterpret_cast<int16_t*>(fr.f.pData);
    for (int i = 0; i < frames * 2; ++i) s[i] = static_cast<int16_t>((i * 97) % 30000 - 15000);
    fr.f.nLen = frames * 4;
    fr.f.nTimestamp = 1234;
    EXPECT_EQ(frames * 8, n.convert(&fr.f));
    EXPECT_EQ(CKVAAudioNormlizer::kConverting, n.state());
    EXPECT_EQ(std::make_tuple(frames * 8, 1234), std::make_tuple(fr.f.nLen, fr.f.nTimestamp));  // timing: the caller's
    EXPECT_GE(fr.f.nCapacity, frames * 8);
    for (int i = 0; i < frames * 2; ++i)
        ASSERT_EQ(static_cast<float>((i * 97) % 30000 - 15000) / 32768.0f, fr.floats()[i]) << i;
}

TEST(Normlizer, SamePairKeepsTheConverterAndTinyFramesAreLeftAlone) {
    CKVAAudioNormlizer n;
    const auto src = Describe(AV_SAMPLE_FMT_FLT, 48000), out = Describe(AV_SAMPLE_FMT_FLT);
    n.setFormat(&src, &out);
    Frame fr(48000 * 8);
    // 100 ms of a sine from frame `from`, and the same converted.
    auto fill = [&](int from) {
        for (int i = 0; i < 4800 * 2; ++i) fr.floats()[i] = std::sin((i + from * 2) * 0.01f) * 0.5f;
        fr.f.nLen = 4800 * 8;
    };
    auto convert = [&](int from) { return fill(from), n.convert(&fr.f); };
    const int first = convert(0);
    EXPECT_GT(first, 0);
    n.setFormat(&src, &out);  // same pair: converter and its buffered delay survive
    EXPECT_EQ(CKVAAudioNormlizer::kConverting, n.state());
    const int second = convert(4800);
    EXPECT_LT((first + second) / 8, 8820);  // the filter's delay is still held
    // 9600 input frames at 48 kHz give 8820 at 44.1 kHz once the converter is drained.
    fr.f.nLen = 8;
    const int drained = n.drain(&fr.f);
    EXPECT_EQ(std::make_tuple(8 + drained, 8820), std::make_tuple(fr.f.nLen, (first + second + drained) / 8));
    EXPECT_EQ(0, n.drain(&fr.f));
    fr.f.nLen = 7;  // fewer bytes than one input sample frame
    EXPECT_EQ(0, n.convert(&fr.f));
    EXPECT_EQ(7, fr.f.nLen);
    // After a reset, nothing of the old input comes out: the same block gives what it gave first.
    convert(0);
    fill(0);
    n.reset();
    EXPECT_EQ(first, n.convert(&fr.f));
    fr.f.nLen = 0;
    EXPECT_EQ(8820 / 2 * 8, first + n.drain(&fr.f));
}

// Every file decodes bit for bit and to the sample like the command line, resampled or not.
class StreamConcurrencyDecode : public ::testing::TestWithParam<const char*> {};

TEST_P(StreamConcurrencyDecode, MatchesCommandLineDecode) {
    FileStream f(FixturePath(GetParam()));
    const std::vector<float>& ref = CachedReferenceF32Stereo(f.path);
    ASSERT_FALSE(ref.empty()) << "reference decode failed for " << f.path;
    ASSERT_EQ(0, f.OpenAndStart());
    PullResult got = PullAll(f.stream);
    f.stream.close();
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

INSTANTIATE_TEST_SUITE_P(Fixtures, StreamConcurrencyDecode,
    ::testing::Values("cbr.mp3", "vbr.mp3", "aac.m4a", "flac16.flac", "vorbis.ogg", "s16.wav",
                      "f32.wav", "short.wav", "truncated.flac", "flac24_96k.flac", "opus.opus",
                      "mono8k.wav", "six.flac", "three.flac", "ape16.ape"),
    [](const ::testing::TestParamInfo<const char*>& info) { return Slug(info.param); });

// The lag in [from, to) at which `probe` (`frames` stereo frames) fits `ref` best, and the
// residual energy there relative to the probe's own.
long BestLag(const std::vector<float>& ref, const float* probe, size_t frames, long from, long to, double* residual) {
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
// (within 1 ms), bit for bit as playback from the start has it; Opus, resampled from 48 kHz by
// a resampler that starts afresh at T, within a trace. Past the end the track simply ends, and a
// seek back plays again.
class StreamConcurrencySeek : public ::testing::TestWithParam<const char*> {};

TEST_P(StreamConcurrencySeek, LandsOnTheTargetSample) {
    const bool exact = std::string(GetParam()) != "long.opus";
    const std::vector<float>& ref = CachedReferenceF32Stereo(FixturePath(GetParam()));
    ASSERT_GT(ref.size() / 2, 44100u * 59);
    constexpr size_t kProbe = 2048;
    auto expectAt = [&](const PullResult& got, int64_t target) {
        ASSERT_GE(got.samples.size() / 2, kProbe);
        EXPECT_LE(std::llabs(got.timestamps.front() - target), 1);
        const long expect = static_cast<long>(target * 441 / 10);
        double residual = 0;
        const long at = BestLag(ref, got.samples.data(), kProbe, expect - 2205, expect + 2205, &residual);
        EXPECT_EQ(at, expect) << "landed " << (at - expect) << " frames off";
        if (exact) EXPECT_EQ(0.0, residual);
        else EXPECT_LT(residual, 1e-4);
    };
    for (int64_t target : {1230, 31110, 58770, 59990, 75000}) {
        SCOPED_TRACE("seek to " + std::to_string(target));
        FileStream f(FixturePath(GetParam()));
        ASSERT_EQ(0, f.OpenAndStart());
        ASSERT_TRUE(f.obs.WaitEnds(1));
        ASSERT_EQ(0, f.stream.seek(target));
        ASSERT_TRUE(f.obs.WaitEnds(2));
        PullResult got = PullAll(f.stream, 4096, false, kProbe);
        EXPECT_FALSE(got.hung);
        for (int32_t code : got.codes) EXPECT_EQ(kAudioPlayerEOS, code);
        if (target >= 59990) {
            EXPECT_TRUE(got.ended);
            EXPECT_LE(got.samples.size() / 2, 441u);
            // Back from the end, the decoder is as it was: the same samples again.
            ASSERT_EQ(0, f.stream.seek(1230));
            ASSERT_TRUE(f.obs.WaitEnds(3));
            got = PullAll(f.stream, 4096, false, kProbe);
        }
        f.stream.close();
        expectAt(got, target >= 59990 ? 1230 : target);
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, StreamConcurrencySeek,
    ::testing::Values("long.flac", "long.wv", "long_cbr.mp3", "long_vbr.mp3", "long.m4a", "long.ogg", "long.opus",
                      "long.ape"),
    [](const ::testing::TestParamInfo<const char*>& i) { return Slug(i.param); });

// A seek decodes the same samples whatever was decoded before it, also where the codec draws
// on a random state of its own (AAC's noise substitution).
TEST(StreamConcurrencySeekState, TheSameSeekGivesTheSameSamples) {
    FileStream f(FixturePath("aac_pns.m4a"));
    ASSERT_EQ(0, f.OpenAndStart());
    ASSERT_TRUE(f.obs.WaitEnds(1));
    std::vector<float> first;
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(0, f.stream.seek(1500));
        ASSERT_TRUE(f.obs.WaitEnds(2 + round));
        const PullResult got = PullAll(f.stream);  // to the end: the next seek starts from there
        ASSERT_GT(got.samples.size(), 44100u);
        if (round == 0) first = got.samples;
        else EXPECT_EQ(FirstMismatch(got.samples, 0, first, 0, first.size() / 2), -1);
    }
}

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
    EXPECT_EQ(std::make_tuple(22050, AV_CH_LAYOUT_MONO), std::make_tuple(d.nSampleRate, d.nChannelLayout));
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
    EXPECT_EQ(std::make_tuple(2000, 44100u), std::make_tuple(got.timestamps.front(), got.samples.size() / 2));
    EXPECT_EQ(-1, FirstMismatch(got.samples, 0, ref, 88200, got.samples.size() / 2));
    for (int i = 0; i < 20; ++i) ASSERT_EQ(0, f.stream.seek(100 * i));
    ASSERT_EQ(0, f.stream.seek(2500));
    got = PullAll(f.stream);
    ASSERT_FALSE(got.timestamps.empty());
    EXPECT_EQ(std::make_tuple(2500, 22050u), std::make_tuple(got.timestamps.front(), got.samples.size() / 2));
    ASSERT_EQ(0, f.stream.seek(5000));  // past the end: the track ends, not in an error
    got = PullAll(f.stream);
    EXPECT_EQ(std::vector<int32_t>{kAudioPlayerEOS}, got.codes);
    EXPECT_TRUE(got.samples.empty());
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
        WaitUntil([&] { return f.stream.bufferedMs() >= 2000; }, 1000);
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
    WaitUntil([&] { return f.stream.bufferedMs() >= 7000; }, 3000);
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
        if (r != 0) { EXPECT_EQ(CKVAAudioStream::kOpening, f.stream.state()); continue; }
        ASSERT_EQ(0, f.stream.start());
        EXPECT_TRUE(PullAll(f.stream).ended);
    }
}

// s16.wav's bytes as 16-bit stereo in NUT, 256 frames a packet, with `bad` packets of one byte
// (not a whole frame: the decoder refuses each) from the 100th on.
static std::vector<uint8_t> PcmWithBadPackets(int bad) {
    const std::vector<uint8_t> wav = ReadBytes(FixturePath("s16.wav"));
    AVFormatContext* oc = nullptr;
    avformat_alloc_output_context2(&oc, nullptr, "nut", nullptr);
    AVStream* st = avformat_new_stream(oc, nullptr);
    st->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
    st->codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
    st->codecpar->sample_rate = 44100;
    av_channel_layout_default(&st->codecpar->ch_layout, 2);
    st->time_base = AVRational{1, 44100};
    EXPECT_GE(avio_open_dyn_buf(&oc->pb), 0);
    EXPECT_GE(avformat_write_header(oc, nullptr), 0);
    AVPacket* pkt = av_packet_alloc();
    for (size_t at = 0, i = 0; at + 1024 <= wav.size(); at += 1024, ++i) {
        av_new_packet(pkt, i >= 100 && i < 100 + size_t(bad) ? 1 : 1024);
        memcpy(pkt->data, &wav[at], size_t(pkt->size));
        pkt->pts = pkt->dts = int64_t(i) * 256;
        pkt->duration = 256;
        EXPECT_GE(av_interleaved_write_frame(oc, pkt), 0);
    }
    av_write_trailer(oc);
    uint8_t* buf = nullptr;
    const int size = avio_close_dyn_buf(oc->pb, &buf);
    std::vector<uint8_t> out(buf, buf + size);
    av_free(buf);
    av_packet_free(&pkt);
    avformat_free_context(oc);
    return out;
}

// 255 damaged packets in a row are dropped and the rest plays; the 256th ends the decode.
TEST(StreamConcurrencyBadInput, ARunOfDamagedPacketsEndsTheDecodeAtItsLimit) {
    for (int bad : {255, 256}) {
        MemorySourceIO source(PcmWithBadPackets(bad));
        RecordingObserver obs;
        CKVAAudioStream stream(&obs);
        ASSERT_EQ(0, OpenAndStart(stream, &source));
        const PullResult got = PullAll(stream, 4096, /*stopOnError=*/true);
        EXPECT_EQ(bad == 255 ? std::vector<int32_t>{kAudioPlayerEOS} : std::vector<int32_t>{kStreamDecodeError}, got.codes);
        // The good packets after the run are not decoded: they would clear the error's detail.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(bad == 255 ? 0 : kDecTooManyErrors, stream.getLastError());
        stream.close();
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
    // A file-system read error after ~1.1 s of audio reaches the pull, any other read error as a
    // decode error, with the source's own code as the detail; all before it is intact.
    for (auto c : {std::make_pair(4, int32_t(kStreamIoError)), std::make_pair(5, int32_t(kStreamDecodeError))}) {
        MemorySourceIO source(wav);
        source.FailReadsAt(200000, c.first);
        source.SetErrorCode(77);
        CKVAAudioStream stream(&obs);
        ASSERT_EQ(0, OpenAndStart(stream, &source));
        PullResult got = PullAll(stream, 4096, /*stopOnError=*/true);
        ASSERT_FALSE(got.codes.empty());
        EXPECT_EQ(std::make_pair(c.second, 77), std::make_pair(got.codes.back(), int32_t(stream.getLastError())));
        EXPECT_GT(got.samples.size() / 2, 40000u);
        EXPECT_EQ(-1, FirstMismatch(got.samples, 0, CachedReferenceF32Stereo(FixturePath("s16.wav")), 0,
                                    got.samples.size() / 2));
        stream.close();
    }
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
    std::thread aborter([&] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); stream.abort(); });
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
    TestIFProcessor proc({2.0f, 3000});  // doubles, holds 3000 frames back
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
    TestIFProcessor proc({1.0f, 0, 22050, 1, 2, 2});  // gain 1, nothing held, rate doubled
    ASSERT_EQ(0, Open("flac16.flac", &proc));
    AudioDescription des{};
    stream->getAudioDescription(&des);
    EXPECT_EQ(std::make_tuple(44100, 2, AV_CH_LAYOUT_STEREO),
              std::make_tuple(des.nSampleRate, des.nChannel, des.nChannelLayout));
    PullResult res = Play(StereoFloat44k(48000));
    ASSERT_TRUE(res.ended);
    // Each resampler drained at the end: the length to the frame (3 s at 48 kHz).
    EXPECT_EQ(res.samples.size() / 2, ref.size() / 2 * 48000 / 44100);
    std::vector<float> refMono(ref.size() / 2);
    for (size_t f = 0; f < refMono.size(); ++f) refMono[f] = (ref[2 * f] + ref[2 * f + 1]) / 2;
    const double want = CrossingsPerSecond(refMono, 1, 0, 44100);
    for (int ch : {0, 1}) EXPECT_NEAR(CrossingsPerSecond(res.samples, 2, ch, 48000), want, want * 0.02) << ch;
    // Timestamps follow the 48 kHz output (the resampler's delay shifts them by a few ms).
    for (size_t i = 0; i < res.timestamps.size(); ++i)
        ASSERT_NEAR(res.timestamps[i], int64_t(res.offsets[i]) * 1000 / 48000, 3) << "pull " << i;
}

TEST_F(StreamIF, LeavingSpeedOneDrainsAndSwitchesOff) {
    TestIFProcessor proc({2.0f, 1500});
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
    for (const char* file : {"three.flac", "six.flac", "flac24_96k.flac"}) {
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
