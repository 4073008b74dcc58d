// The time-stretch on its own: accepted tempos and formats, the identity at 1.0, sample
// conversion, pitch kept when faster or slower.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "codec/TempoProcessor.h"

extern "C" {
#include <libavutil/samplefmt.h>
}

using namespace kva_audioplayer;

namespace {

constexpr int kRate = 44100;
constexpr int kBlock = 2048;

// Pushes `frames` frames through p in blocks of `block`, then its end; everything it gives back.
std::vector<uint8_t> Pump(TempoProcessor& p, const uint8_t* data, int64_t frames, int frameBytes,
                          int block = kBlock) {
    std::vector<uint8_t> out, buf(static_cast<size_t>(block) * 4 * frameBytes);
    for (int64_t done = 0; done <= frames; done += block) {
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(block, frames - done));
        if (n > 0) p.PutSamples(data + done * frameBytes, n);
        if (n < block) p.PutSamples(nullptr, 0);
        while (p.AvailableFrames() > 0) {
            int32_t m = block * 4;
            p.ReceiveSamples(buf.data(), &m);
            EXPECT_GT(m, 0);
            if (m <= 0) return out;
            out.insert(out.end(), buf.begin(), buf.begin() + static_cast<size_t>(m) * frameBytes);
        }
    }
    return out;
}

// Frequency of channel 0 from the rising zero crossings between from and to (frames).
double MeasureFrequency(const std::vector<float>& s, int channels, size_t from, size_t to) {
    double first = -1, last = -1;
    int crossings = 0;
    for (size_t i = from + 1; i < to; ++i) {
        const float a = s[(i - 1) * channels], b = s[i * channels];
        if (a < 0 && b >= 0) {
            last = (i - 1) + a / (a - b);
            if (first < 0) first = last;
            ++crossings;
        }
    }
    return crossings < 2 ? 0 : (crossings - 1) * kRate / (last - first);
}

TEST(TempoProcessor, TempoRangeAndFailedInit) {
    std::unique_ptr<TempoProcessor> p(CreateTempoProcessor());
    EXPECT_TRUE(p->SetTempo(0.5));
    EXPECT_TRUE(p->SetTempo(100.0));
    EXPECT_FALSE(p->SetTempo(0.49));
    EXPECT_FALSE(p->SetTempo(100.01));
    EXPECT_FALSE(p->SetTempo(std::nan("")));
    EXPECT_EQ(0, p->Init(AV_SAMPLE_FMT_DBL, kRate, 2, kBlock));
    EXPECT_EQ(0, p->Init(AV_SAMPLE_FMT_FLTP, kRate, 2, kBlock));
    EXPECT_EQ(0, p->Init(AV_SAMPLE_FMT_FLT, 0, 2, kBlock));
    EXPECT_EQ(0, p->Init(AV_SAMPLE_FMT_FLT, 23, 2, kBlock));  // below 24 Hz the filter has no window
    // Without an engine everything is inert.
    std::vector<float> in(kBlock * 2, 0.25f);
    p->PutSamples(reinterpret_cast<uint8_t*>(in.data()), kBlock);
    EXPECT_EQ(0, p->AvailableFrames());
    int32_t n = 77;
    p->ReceiveSamples(reinterpret_cast<uint8_t*>(in.data()), &n);
    EXPECT_EQ(77, n);
    EXPECT_EQ(1, p->Init(AV_SAMPLE_FMT_FLT, kRate, 2, kBlock));
    EXPECT_TRUE(p->SetTempo(1.0));
    p->PutSamples(reinterpret_cast<uint8_t*>(in.data()), kBlock);
    EXPECT_EQ(kBlock, p->AvailableFrames());
}

// At tempo 1.0 the output equals the input frame for frame, after the float round trip.
class TempoIdentity : public ::testing::TestWithParam<int> {};

TEST_P(TempoIdentity, OutputEqualsRoundTrippedInput) {
    const int fmt = GetParam(), bps = BytesPerSample(fmt), frames = 3 * kBlock + 123;
    std::mt19937 rng(fmt + 1);
    std::vector<uint8_t> in(static_cast<size_t>(frames) * 2 * bps);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    if (fmt == AV_SAMPLE_FMT_FLT)
        for (size_t i = 0; i < in.size() / 4; ++i) reinterpret_cast<float*>(in.data())[i] = d(rng);
    else
        for (auto& b : in) b = static_cast<uint8_t>(rng());
    if (fmt == AV_SAMPLE_FMT_S16) {  // full-scale extremes too
        reinterpret_cast<int16_t*>(in.data())[0] = 32767;
        reinterpret_cast<int16_t*>(in.data())[1] = -32768;
    }
    std::vector<float> f(in.size() / bps);
    SamplesToFloat(fmt, in.data(), f.data(), f.size());
    std::vector<uint8_t> expected(in.size());
    SamplesFromFloat(fmt, f.data(), expected.data(), f.size());
    if (fmt != AV_SAMPLE_FMT_S32) {
        EXPECT_EQ(expected, in);  // lossless below 25 bits
    }
    std::unique_ptr<TempoProcessor> p(CreateTempoProcessor());
    ASSERT_EQ(1, p->Init(fmt, kRate, 2, kBlock));
    p->SetTempo(1.0);
    EXPECT_EQ(expected, Pump(*p, in.data(), frames, 2 * bps, 1000));
}

INSTANTIATE_TEST_SUITE_P(PackedFormats, TempoIdentity,
                         ::testing::Values(AV_SAMPLE_FMT_U8, AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_S32,
                                           AV_SAMPLE_FMT_FLT));

// Truncation toward zero, and values past full scale saturate instead of wrapping.
TEST(TempoConversion, TableValuesAndSaturation) {
    uint8_t u8[3] = {0, 128, 255};
    float f[3];
    SamplesToFloat(AV_SAMPLE_FMT_U8, u8, f, 3);
    EXPECT_EQ((std::vector<float>{-1.0f, 0.0f, 127.0f / 128.0f}), std::vector<float>(f, f + 3));
    const float in[6] = {0.5f / 32768.0f, -1.5f / 32768.0f, 1.0f, -1.0f, 1.7f, -3.0f};
    int16_t s16[6];
    SamplesFromFloat(AV_SAMPLE_FMT_S16, in, reinterpret_cast<uint8_t*>(s16), 6);
    EXPECT_EQ((std::vector<int16_t>{0, -1, 32767, -32768, 32767, -32768}),
              std::vector<int16_t>(s16, s16 + 6));
    int32_t s32[6];
    SamplesFromFloat(AV_SAMPLE_FMT_S32, in, reinterpret_cast<uint8_t*>(s32), 6);
    EXPECT_EQ((std::vector<int32_t>{INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN}),
              std::vector<int32_t>(s32 + 2, s32 + 6));
    uint8_t u8out[6];
    SamplesFromFloat(AV_SAMPLE_FMT_U8, in, u8out, 6);
    EXPECT_EQ((std::vector<uint8_t>{255, 0, 255, 0}), std::vector<uint8_t>(u8out + 2, u8out + 6));
}

// Faster and slower keep the pitch, in any channel layout; identical channels stay identical.
TEST(TempoStretch, FasterAndSlowerKeepPitch) {
    for (auto c : {std::make_pair(1.5, 2), {0.75, 2}, {2.0, 1}, {2.0, 6}}) {
        const double tempo = c.first;
        const int ch = c.second;
        SCOPED_TRACE(std::to_string(tempo) + " x" + std::to_string(ch));
        std::vector<float> in(6 * kRate * ch);
        for (size_t i = 0; i < in.size(); ++i)
            in[i] = 0.5f * static_cast<float>(std::sin(2.0 * M_PI * 440.0 * (i / ch) / kRate));
        std::unique_ptr<TempoProcessor> p(CreateTempoProcessor());
        ASSERT_EQ(1, p->Init(AV_SAMPLE_FMT_FLT, kRate, ch, kBlock));
        ASSERT_TRUE(p->SetTempo(tempo));
        const std::vector<uint8_t> bytes =
            Pump(*p, reinterpret_cast<const uint8_t*>(in.data()), 6 * kRate, 4 * ch);
        std::vector<float> out(bytes.size() / 4);
        std::memcpy(out.data(), bytes.data(), bytes.size());
        const size_t frames = out.size() / ch;
        EXPECT_NEAR(6.0 / tempo, static_cast<double>(frames) / kRate, 0.06 / tempo);
        EXPECT_NEAR(440.0, MeasureFrequency(out, ch, frames / 10, frames * 9 / 10), 440.0 * 0.005);
        bool same = true;
        for (size_t i = 0; i < frames && same; ++i) same = out[ch * i] == out[ch * i + ch - 1];
        EXPECT_TRUE(same);
    }
}

}  // namespace
