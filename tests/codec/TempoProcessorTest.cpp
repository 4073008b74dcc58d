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
// A one-second stretch may differ from the exact length by about one filter window at its ends.
constexpr double kEdge = 4096;

std::vector<float> Sine(double seconds, double freq, int channels, int rate = kRate) {
    size_t frames = static_cast<size_t>(seconds * rate);
    std::vector<float> out(frames * channels);
    for (size_t i = 0; i < frames; ++i) {
        float v = 0.5f * static_cast<float>(std::sin(2.0 * M_PI * freq * i / rate));
        for (int c = 0; c < channels; ++c) out[i * channels + c] = v;
    }
    return out;
}

// Pushes data through p in blocks of `block` frames, then its end, and collects everything it
// gives back.
void Pump(TempoProcessor& p, const uint8_t* data, int64_t frames, int frameBytes,
          std::vector<uint8_t>& out, int block = kBlock) {
    std::vector<uint8_t> buf(static_cast<size_t>(block) * 4 * frameBytes);
    for (int64_t done = 0; done <= frames; done += block) {
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(block, frames - done));
        if (n > 0) p.PutSamples(data + done * frameBytes, n);
        if (n < block) p.PutSamples(nullptr, 0);
        while (p.AvailableFrames() > 0) {
            int32_t m = block * 4;
            p.ReceiveSamples(buf.data(), &m);
            ASSERT_GT(m, 0);
            out.insert(out.end(), buf.begin(), buf.begin() + static_cast<size_t>(m) * frameBytes);
        }
    }
}

std::vector<float> Stretch(double tempo, const std::vector<float>& in, int channels) {
    std::unique_ptr<TempoProcessor> p(CreateTempoProcessor());
    EXPECT_EQ(1, p->Init(AV_SAMPLE_FMT_FLT, kRate, channels, kBlock));
    EXPECT_TRUE(p->SetTempo(tempo));
    std::vector<uint8_t> out;
    const int fb = 4 * channels;
    Pump(*p, reinterpret_cast<const uint8_t*>(in.data()), in.size() / channels, fb, out);
    std::vector<float> f(out.size() / 4);
    std::memcpy(f.data(), out.data(), out.size());
    return f;
}

// Frequency of channel 0 from the rising zero crossings between from and to (frames).
double MeasureFrequency(const std::vector<float>& s, int channels, size_t from, size_t to) {
    double first = -1, last = -1;
    int crossings = 0;
    for (size_t i = from + 1; i < to; ++i) {
        float a = s[(i - 1) * channels], b = s[i * channels];
        if (a < 0 && b >= 0) {
            double t = (i - 1) + a / (a - b);
            if (first < 0) first = t;
            last = t;
            ++crossings;
        }
    }
    if (crossings < 2) return 0;
    return (crossings - 1) * kRate / (last - first);
}

}  // namespace

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
    const int fmt = GetParam();
    const int channels = 2;
    const int bps = BytesPerSample(fmt);
    const int frames = 3 * kBlock + 123;
    std::mt19937 rng(fmt + 1);
    std::vector<uint8_t> in(static_cast<size_t>(frames) * channels * bps);
    if (fmt == AV_SAMPLE_FMT_FLT) {
        std::uniform_real_distribution<float> d(-1.0f, 1.0f);
        for (size_t i = 0; i < in.size() / 4; ++i) reinterpret_cast<float*>(in.data())[i] = d(rng);
    } else {
        for (auto& b : in) b = static_cast<uint8_t>(rng());
    }
    // Full-scale extremes too.
    if (fmt == AV_SAMPLE_FMT_S16) {
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
    ASSERT_EQ(1, p->Init(fmt, kRate, channels, kBlock));
    p->SetTempo(1.0);
    std::vector<uint8_t> out;
    Pump(*p, in.data(), frames, channels * bps, out, 1000);
    EXPECT_EQ(expected, out);
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
    const double kFreq = 440.0;
    struct Case {
        double tempo;
        int channels;
    } cases[] = {{1.5, 2}, {0.75, 2}, {2.0, 1}, {2.0, 6}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.tempo) + " x" + std::to_string(c.channels));
        const auto out = Stretch(c.tempo, Sine(6.0, kFreq, c.channels), c.channels);
        const size_t frames = out.size() / c.channels;
        EXPECT_NEAR(6.0 / c.tempo, static_cast<double>(frames) / kRate, 0.06 / c.tempo);
        EXPECT_NEAR(kFreq, MeasureFrequency(out, c.channels, frames / 10, frames * 9 / 10),
                    kFreq * 0.005);
        bool same = true;
        for (size_t i = 0; i < frames && same; ++i)
            same = out[c.channels * i] == out[c.channels * i + c.channels - 1];
        EXPECT_TRUE(same);
    }
}
