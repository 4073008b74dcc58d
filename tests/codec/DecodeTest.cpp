// The decoder and the frame converter on their own; whole-file decodes and seeks through the
// stream, compared with the ffmpeg command line's decode.
#include "StreamTestUtil.h"

using namespace kva_audioplayer;
using namespace kva_test;

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
    // A read error while probing is an I/O error; "no data yet" while probing is a cancel.
    for (auto c : {std::make_pair(4, kDecIoError), std::make_pair(-2, kDecCancelled)}) {
        MemorySourceIO failing(wav);
        failing.FailReadsAt(0, c.first);
        EXPECT_EQ(c.second, dec.open(&failing, 0.0f)) << c.first;
    }
    // A good open keeps the source's session id and closes it on close.
    MemorySourceIO good(wav, 42);
    EXPECT_EQ(0, dec.open(&good, 0.0f));
    EXPECT_EQ(42, dec.getSessionId());
    EXPECT_EQ("42", dec.getSessionIdText());
    EXPECT_EQ(3000, dec.getDuration());
    dec.close();
    EXPECT_GE(good.CloseCalls(), 1);
    dec.close();  // a second close is harmless
}

TEST(FFDecoderOpen, BlackListAndCodecOptions) {
    KVACodecSettings::SetCodecBlackList({AV_CODEC_ID_MP3, AV_CODEC_ID_FLAC});
    CKVAFFDecoder dec;
    CKVAAudioLocalSource flac(1, FixturePath("flac16.flac").c_str());
    EXPECT_EQ(kDecNoAudio, dec.open(&flac, 0.0f));
    CKVAAudioLocalSource wav(1, FixturePath("s16.wav").c_str());
    EXPECT_EQ(0, dec.open(&wav, 0.0f));
    CKVAFFDecoder::SetCodecBlackList({});
    EXPECT_TRUE(KVACodecSettings::GetCodecBlackList().empty());
    EXPECT_EQ(0, dec.open(&flac, 0.0f));
    // Options reach avcodec_open2: an option the codec rejects makes the open fail with 6.
    KVACodecSettings::SetTextOption(AV_CODEC_ID_FLAC, "request_sample_fmt", "not-a-format");
    EXPECT_EQ(kDecCodecOpenFailed, dec.open(&flac, 0.0f));
    KVACodecSettings::ClearOptions();
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
        av_channel_layout_uninit(&frame->ch_layout);
        frame->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
        frame->ch_layout.nb_channels = channels;
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
    EXPECT_EQ(frames * 8, fr.f.nLen);
    EXPECT_GE(fr.f.nCapacity, frames * 8);
    EXPECT_EQ(1234, fr.f.nTimestamp);  // timing is the caller's
    for (int i = 0; i < frames * 2; ++i)
        ASSERT_EQ(static_cast<float>((i * 97) % 30000 - 15000) / 32768.0f, fr.floats()[i]) << i;
}

TEST(Normlizer, SamePairKeepsTheConverterAndTinyFramesAreLeftAlone) {
    CKVAAudioNormlizer n;
    const auto src = Describe(AV_SAMPLE_FMT_FLT, 48000), out = Describe(AV_SAMPLE_FMT_FLT);
    n.setFormat(&src, &out);
    Frame fr(48000 * 8);
    // 100 ms of a sine from frame `from`, converted.
    auto convert = [&](int from) {
        for (int i = 0; i < 4800 * 2; ++i) fr.floats()[i] = std::sin((i + from * 2) * 0.01f) * 0.5f;
        fr.f.nLen = 4800 * 8;
        return n.convert(&fr.f);
    };
    const int first = convert(0);
    EXPECT_GT(first, 0);
    n.setFormat(&src, &out);  // same pair: converter and its buffered delay survive
    EXPECT_EQ(CKVAAudioNormlizer::kConverting, n.state());
    const int second = convert(4800);
    EXPECT_LT((first + second) / 8, 8820);  // the filter's delay is still held
    // 9600 input frames at 48 kHz give 8820 at 44.1 kHz once the converter is drained.
    fr.f.nLen = 8;
    const int drained = n.drain(&fr.f);
    EXPECT_EQ(8 + drained, fr.f.nLen);
    EXPECT_EQ(8820, (first + second + drained) / 8);
    EXPECT_EQ(0, n.drain(&fr.f));
    fr.f.nLen = 7;  // fewer bytes than one input sample frame
    EXPECT_EQ(0, n.convert(&fr.f));
    EXPECT_EQ(7, fr.f.nLen);
    // After a reset, nothing of the old input comes out: the same block gives what it gave first.
    convert(0);
    for (int i = 0; i < 4800 * 2; ++i) fr.floats()[i] = std::sin(i * 0.01f) * 0.5f;
    fr.f.nLen = 4800 * 8;
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
                      "mono8k.wav", "six.flac"),
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
        const long at = BestLag(ref, got.samples.data() + kSettle * 2, kProbe, expect - 2205, expect + 2205, &residual);
        EXPECT_LE(std::labs(at - expect), 44) << "landed " << (at - expect) << " frames off";
        if (lossless) EXPECT_EQ(0.0, residual);
        else EXPECT_LT(residual, 0.01);
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, StreamConcurrencySeek,
    ::testing::Values(std::make_pair("long.flac", true), std::make_pair("long.wv", true),
                      std::make_pair("long_cbr.mp3", false), std::make_pair("long_vbr.mp3", false),
                      std::make_pair("long.m4a", false), std::make_pair("long.ogg", false),
                      std::make_pair("long.opus", false)),
    [](const ::testing::TestParamInfo<std::pair<const char*, bool>>& info) {
        return Slug(info.param.first);
    });

}  // namespace
