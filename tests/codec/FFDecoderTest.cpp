// The decoder on its own (no decode thread): open codes, codec settings, conversion paths,
// end trimming, retry limit and seek edge cases.
#include <gtest/gtest.h>

#include "StreamTestUtil.h"
#include "codec/KVAFFDecoder.h"
#include "common/MemorySourceIO.h"
#include "common/ReferenceDecode.h"
#include "common/TestPaths.h"
#include "source/KVAAudioLocalSource.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

using namespace kva_audioplayer;
using namespace kva_test;

namespace {

// Exposes the decoder's internals that the cases below look at.
class TestDecoder : public CKVAFFDecoder {
public:
    bool hasResampler() const { return mSwr != nullptr; }
    void armEndTrim(int32_t samples) { trimSamples = samples; }
};

struct FrameBuffer {
    AudioFrame f{};
    FrameBuffer() {
        f.nCapacity = 4096;
        f.pData = static_cast<uint8_t*>(malloc(f.nCapacity));
        reset();
    }
    ~FrameBuffer() { free(f.pData); }
    void reset() {
        f.nLen = 0;
        f.nFlags = 0;
        f.nTimestamp = -1;
        f.nDuration = 0;
    }
};

// Decodes everything; returns the interleaved floats and the last result.
int32_t DecodeAll(CKVAFFDecoder& dec, std::vector<float>* out, int* firstEmpty = nullptr) {
    FrameBuffer fb;
    int32_t r = 0;
    for (int i = 0; i < 100000; ++i) {
        fb.reset();
        r = dec.decode(&fb.f);
        if (i == 0 && firstEmpty) *firstEmpty = fb.f.nLen == 0 && r == 0;
        size_t n = fb.f.nLen / sizeof(float);
        size_t old = out->size();
        out->resize(old + n);
        if (n) memcpy(out->data() + old, fb.f.pData, n * sizeof(float));
        if (r != 0 && r != AVERROR_INVALIDDATA) break;
    }
    return r;
}

TEST(FFDecoderOpen, ResultCodesForSourcesAndBadMedia) {
    CKVAFFDecoder dec;
    EXPECT_EQ(kDecIoError, dec.open(nullptr, 0.0f));
    EXPECT_EQ(kDecNullUrl, dec.openUrl(nullptr));
    EXPECT_EQ(kDecOpenInputFailed, dec.openUrl("/nonexistent/file.mp3"));

    MemorySourceIO refused(ReadBytes(FixturePath("s16.wav")));
    refused.FailOpen(5);
    refused.SetErrorCode(5);
    EXPECT_EQ(kDecIoError, dec.open(&refused, 0.0f));
    EXPECT_EQ(5, dec.getErrorCode());
    MemorySourceIO empty(std::vector<uint8_t>{});
    EXPECT_EQ(kDecInvalidData, dec.open(&empty, 0.0f));
    CKVAAudioLocalSource noAudio(1, FixturePath("noaudio.mkv").c_str());
    EXPECT_EQ(kDecNoAudio, dec.open(&noAudio, 0.0f));
    // A read error while probing is an I/O error; "no data yet" while probing is a cancel.
    for (auto c : {std::make_pair(4, kDecIoError), std::make_pair(-2, kDecCancelled)}) {
        MemorySourceIO failing(ReadBytes(FixturePath("s16.wav")));
        failing.FailReadsAt(0, c.first);
        EXPECT_EQ(c.second, dec.open(&failing, 0.0f)) << c.first;
    }

    // A good open keeps the source's session id and closes it on close.
    MemorySourceIO good(ReadBytes(FixturePath("s16.wav")), 42);
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

// The samples themselves are checked by the stream's decode table; here only which path each
// format takes: packed float at the target is copied with no resampler, s16 is converted.
TEST(FFDecoderConvert, NativeFloatIsCopiedAndOtherFormatsConverted) {
    CKVAAudioLocalSource f32(1, FixturePath("f32.wav").c_str());
    TestDecoder dec;
    ASSERT_EQ(0, dec.open(&f32, 0.0f));
    AudioDescription native{};
    dec.getOutputDescription(&native);
    EXPECT_EQ(AV_SAMPLE_FMT_FLT, native.nSampleFormat);
    EXPECT_EQ(32, native.nBitsPerSample);
    EXPECT_EQ(kAudioDescriptionTag, native.nTag);
    std::vector<float> got;
    EXPECT_EQ(AVERROR_EOF, DecodeAll(dec, &got));
    EXPECT_FALSE(dec.hasResampler());
    EXPECT_EQ(CachedReferenceF32Stereo(FixturePath("f32.wav")), got);

    CKVAAudioLocalSource s16(1, FixturePath("s16.wav").c_str());
    TestDecoder dec2;
    ASSERT_EQ(0, dec2.open(&s16, 0.0f));
    dec2.getOutputDescription(&native);
    EXPECT_EQ(AV_SAMPLE_FMT_S16, native.nSampleFormat);
    ASSERT_EQ(0, dec2.setOutputDescription(StereoFloat44k()));
    EXPECT_TRUE(dec2.hasResampler());
}

TEST(FFDecoderConvert, EndTrimHoldsOneFrameAndShortensTheLast) {
    std::vector<float> whole;
    {
        CKVAAudioLocalSource src(1, FixturePath("flac16.flac").c_str());
        CKVAFFDecoder dec;
        ASSERT_EQ(0, dec.open(&src, 0.0f));
        dec.setOutputDescription(StereoFloat44k());
        DecodeAll(dec, &whole);
    }
    CKVAAudioLocalSource src(1, FixturePath("flac16.flac").c_str());
    TestDecoder dec;
    ASSERT_EQ(0, dec.open(&src, 0.0f));
    dec.setOutputDescription(StereoFloat44k());
    dec.armEndTrim(100);
    std::vector<float> trimmed;
    int firstEmpty = 0;
    EXPECT_EQ(AVERROR_EOF, DecodeAll(dec, &trimmed, &firstEmpty));
    EXPECT_TRUE(firstEmpty);  // the first frame is held back
    ASSERT_EQ(whole.size() / 2 - 100, trimmed.size() / 2);
    EXPECT_EQ(-1, FirstMismatch(trimmed, 0, whole, 0, trimmed.size() / 2));
}

TEST(FFDecoderConvert, UnlabelledTenAndTwelveChannelFramesGetTheirLayouts) {
    for (int channels : {10, 12}) {
        TestDecoder dec;
        AVFrame* frame = av_frame_alloc();
        frame->format = AV_SAMPLE_FMT_FLTP;
        frame->sample_rate = 48000;
        frame->nb_samples = 64;
        av_channel_layout_uninit(&frame->ch_layout);
        frame->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
        frame->ch_layout.nb_channels = channels;
        ASSERT_EQ(0, av_frame_get_buffer(frame, 0));
        FrameBuffer fb;
        // Nothing is open: the frame is a format change, announced with its layout.
        EXPECT_EQ(kDecFormatChanged, dec.convertFrame(frame, &fb.f));
        EXPECT_TRUE(fb.f.nFlags & kFrameNewFormat);
        AudioDescription d{};
        dec.getOutputDescription(&d);
        EXPECT_EQ(channels == 10 ? 0x2D03FULL : 0x2D63FULL, d.nChannelLayout);
        EXPECT_EQ(channels, d.nChannel);
        EXPECT_EQ(AV_SAMPLE_FMT_FLT, d.nSampleFormat);
        av_frame_free(&frame);
    }
}

// Seeks to the end and back are in the stream's seek table.
TEST(FFDecoderDecode, NoCodecAbortAndNearTheEndAnswers) {
    CKVAFFDecoder dec;
    FrameBuffer fb;
    EXPECT_EQ(kDecConvertFailed, dec.decode(&fb.f));  // nothing open
    EXPECT_EQ(kDecSeekFailed, dec.seek(1000));

    // After an abort, a codec that needs input gives up at once with the retry-limit code.
    MemorySourceIO src(ReadBytes(FixturePath("flac16.flac")));
    ASSERT_EQ(0, dec.open(&src, 0.0f));
    dec.abort();
    EXPECT_EQ(1, src.AbortCalls());
    fb.reset();
    EXPECT_EQ(kDecRetryLimit, dec.decode(&fb.f));
    EXPECT_EQ(kDecRetryLimit, dec.getErrorCode());
    // A new open clears the cancel flag.
    MemorySourceIO again(ReadBytes(FixturePath("flac16.flac")));
    ASSERT_EQ(0, dec.open(&again, 0.0f));
    fb.reset();
    EXPECT_EQ(0, dec.decode(&fb.f));
    EXPECT_GT(fb.f.nLen, 0);
    EXPECT_EQ(AVERROR_EOF, dec.seek(2960));  // within 50 ms of the 3000 ms end
    EXPECT_FALSE(dec.isEOS());              // nothing was sought
    dec.close();
}

}  // namespace
