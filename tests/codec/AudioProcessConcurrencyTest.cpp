// The processing chain between the render thread and the player's threads.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "codec/CKVAAudioProcess.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

using namespace kva_audioplayer;

namespace {

class CountingObserver : public IKVAProcessObserver {
public:
    void OnFadeFinish(const char* songId, int32_t fadeType) override {
        if (fadeType == kFadeOut || fadeType == kFadeIn) ++finishes;
        if (std::string(songId) != "a" && std::string(songId) != "b" && *songId) ++badIds;
    }
    std::atomic<int> finishes{0};
    std::atomic<int> badIds{0};
};

class PassEffect : public IKVAAudioEffect {
public:
    bool Init(int32_t, int32_t, int32_t, int32_t) override { return true; }
    void Put(uint8_t*, uint32_t len, uint32_t) override { held = len; }
    void Get(uint8_t*, uint32_t* len, uint8_t*) override { *len = std::min(*len, held); }
    void Reset() override {}
    uint32_t held = 0;
};

class CountingListener : public IKVAAudioListener {
public:
    bool SetPCMFormat(int32_t, int32_t, int32_t) override { return true; }
    void OnPCM(uint8_t**, uint32_t len, uint32_t, bool) override { bytes += len; }
    void Reset() override {}
    uint64_t bytes = 0;  // written under the chain's listener lock only
};

}  // namespace

TEST(AudioProcessConcurrency, RenderAndControlThreads) {
    CountingObserver observer;
    PassEffect effect;
    CountingListener listener;
    CKVAAudioProcess chain(&observer);
    AudioDescription d{};
    d.nSampleRate = 44100;
    d.nChannel = 2;
    d.nSampleFormat = AV_SAMPLE_FMT_FLT;
    d.nChannelLayout = AV_CH_LAYOUT_STEREO;
    chain.SetAudioListener(&listener);
    chain.setAudioDescription(d);
    std::atomic<bool> stop{false};
    std::thread render([&] {
        std::vector<float> b(1024 * 2 * 4, 0.1f);
        for (int i = 0; i < 400; ++i) {
            uint32_t len = 1024 * 8;
            int32_t end = 0;
            chain.process(reinterpret_cast<uint8_t*>(b.data()), &len, i * 23,
                          static_cast<uint32_t>(b.size() * 4), &end);
            if (i % 50 == 0) chain.advanceFade(len);
        }
        stop = true;
    });
    int round = 0;
    while (!stop) {
        chain.SetPlaySpeed(round % 3 == 0 ? 1.0 : round % 3 == 1 ? 1.5 : 0.75);
        chain.setFadeTime(200 + round % 7);
        chain.setFadeMode(round % 2 ? kFadeOut : kFadeIn);
        float gain = chain.getFadeGain();
        EXPECT_TRUE(gain >= 0.0f && gain <= 1.0f) << gain;
        chain.setSongId(round % 2 ? "a" : "b");
        chain.onSongChanged();
        chain.getOutputTime("a");
        chain.getEndPosition("b");
        KVACachedTrackTime r;
        chain.fillPlayInfo(&r);
        EXPECT_TRUE(r.bValid);
        if (round % 5 == 0) chain.Reset();
        if (round % 11 == 0) chain.setAudioDescription(d);
        chain.SetAudioEffect(round % 2 ? &effect : nullptr);
        ++round;
    }
    render.join();
    EXPECT_EQ(0, observer.badIds.load());
    EXPECT_GT(listener.bytes, 0u);
}
