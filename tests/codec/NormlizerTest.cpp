// In-place conversion of frames between descriptions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "codec/KVAAudioNormlizer.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

using namespace kva_audioplayer;

namespace {

AudioDescription Des(int rate, int channels, int fmt, uint64_t layout) {
    AudioDescription d{};
    d.nTag = kAudioDescriptionTag;
    d.nSampleRate = rate;
    d.nChannel = channels;
    d.nSampleFormat = fmt;
    d.nChannelLayout = layout;
    return d;
}

struct Frame {
    AudioFrame f{};
    explicit Frame(int capacity) {
        f.nCapacity = capacity;
        f.pData = static_cast<uint8_t*>(calloc(1, capacity));
    }
    ~Frame() { free(f.pData); }
};

TEST(Normlizer, PassThroughWhenFormatsMatch) {
    CKVAAudioNormlizer n;
    const auto a = Des(44100, 2, AV_SAMPLE_FMT_FLT, AV_CH_LAYOUT_STEREO);
    n.setFormat(&a, &a);
    EXPECT_EQ(CKVAAudioNormlizer::kPassThrough, n.state());
    // Only the channel count differs: counted as equal, no converter.
    auto b = a;
    b.nChannel = 3;
    n.setFormat(&a, &b);
    EXPECT_EQ(CKVAAudioNormlizer::kPassThrough, n.state());
    Frame fr(64);
    fr.f.nLen = 64;
    fr.f.pData[0] = 0x5a;
    EXPECT_EQ(0, n.convert(&fr.f));
    EXPECT_EQ(64, fr.f.nLen);
    EXPECT_EQ(0x5a, fr.f.pData[0]);
}

TEST(Normlizer, ConvertsS16ToFloatInPlaceAndGrowsTheFrame) {
    CKVAAudioNormlizer n;
    const auto src = Des(44100, 2, AV_SAMPLE_FMT_S16, AV_CH_LAYOUT_STEREO);
    const auto out = Des(44100, 2, AV_SAMPLE_FMT_FLT, AV_CH_LAYOUT_STEREO);
    n.setFormat(&src, &out);
    EXPECT_EQ(CKVAAudioNormlizer::kReady, n.state());
    const int frames = 256;
    Frame fr(frames * 4);  // room for s16 only: float needs twice as much
    auto* s = reinterpret_cast<int16_t*>(fr.f.pData);
    for (int i = 0; i < frames * 2; ++i) s[i] = static_cast<int16_t>((i * 97) % 30000 - 15000);
    fr.f.nLen = frames * 4;
    fr.f.nTimestamp = 1234;
    EXPECT_EQ(frames * 8, n.convert(&fr.f));
    EXPECT_EQ(CKVAAudioNormlizer::kConverting, n.state());
    EXPECT_EQ(frames * 8, fr.f.nLen);
    EXPECT_GE(fr.f.nCapacity, frames * 8);
    EXPECT_EQ(1234, fr.f.nTimestamp);  // timing is the caller's
    const auto* f = reinterpret_cast<const float*>(fr.f.pData);
    for (int i = 0; i < frames * 2; ++i)
        ASSERT_EQ(static_cast<float>((i * 97) % 30000 - 15000) / 32768.0f, f[i]) << i;
}

TEST(Normlizer, SamePairKeepsTheConverterAndTinyFramesAreLeftAlone) {
    CKVAAudioNormlizer n;
    const auto src = Des(48000, 2, AV_SAMPLE_FMT_FLT, AV_CH_LAYOUT_STEREO);
    const auto out = Des(44100, 2, AV_SAMPLE_FMT_FLT, AV_CH_LAYOUT_STEREO);
    n.setFormat(&src, &out);
    Frame fr(48000 * 8);
    auto* f = reinterpret_cast<float*>(fr.f.pData);
    for (int i = 0; i < 4800 * 2; ++i) f[i] = std::sin(i * 0.01f) * 0.5f;
    fr.f.nLen = 4800 * 8;
    const int first = n.convert(&fr.f);
    EXPECT_GT(first, 0);
    n.setFormat(&src, &out);  // same pair: converter and its buffered delay survive
    EXPECT_EQ(CKVAAudioNormlizer::kConverting, n.state());
    for (int i = 0; i < 4800 * 2; ++i) f[i] = std::sin((i + 9600) * 0.01f) * 0.5f;
    fr.f.nLen = 4800 * 8;
    const int second = n.convert(&fr.f);
    EXPECT_LT((first + second) / 8, 8820);  // the filter's delay is still held
    // 9600 input frames at 48 kHz give 8820 at 44.1 kHz once the converter is drained.
    fr.f.nLen = 8;
    const int drained = n.drain(&fr.f);
    EXPECT_EQ(8 + drained, fr.f.nLen);
    EXPECT_EQ(8820, (first + second + drained) / 8);
    EXPECT_EQ(0, n.drain(&fr.f));
    // Fewer bytes than one input sample frame.
    fr.f.nLen = 7;
    EXPECT_EQ(0, n.convert(&fr.f));
    EXPECT_EQ(7, fr.f.nLen);
    // After a reset, nothing of the old input comes out: the same block gives what it gave first.
    for (int i = 0; i < 4800 * 2; ++i) f[i] = std::sin(i * 0.01f) * 0.5f;
    fr.f.nLen = 4800 * 8;
    n.convert(&fr.f);
    for (int i = 0; i < 4800 * 2; ++i) f[i] = std::sin(i * 0.01f) * 0.5f;
    fr.f.nLen = 4800 * 8;
    n.reset();
    EXPECT_EQ(first, n.convert(&fr.f));
    fr.f.nLen = 0;
    EXPECT_EQ(8820 / 2 * 8, first + n.drain(&fr.f));
}

}  // namespace
