// The waveOut back-end on the virtual sound system: step arithmetic and volume values, the
// device list and device choice, the format fallbacks, the header ring and its done flags, what
// reaches the endpoint, and failures reaching the observer.
#include <gtest/gtest.h>

#include <memory>

#include "DeviceTestUtil.h"
#include "device/WaveOut.h"
#include "platform/VirtualSoundSystem.h"

using namespace kva_audioplayer;
using kva_test::FillPattern;
using kva_test::MakeDescription;
using kva_test::MixDescription;
using kva_test::ScriptedObserver;
using kva_test::WaitUntil;

namespace {

snd::Format PcmFormat(int rate, int channels, int bits) {
    snd::Format f;
    f.sampleRate = rate;
    f.channels = channels;
    f.bitsPerSample = bits;
    f.isFloat = false;
    return f;
}

// Fills `full` periods with the pattern, then ends with a short last period.
ScriptedObserver::Script PatternThenShortEnd(int full, int* counter) {
    return kva_test::PatternThenEnd(full, counter, true);
}

}  // namespace

TEST(WaveOutArithmetic, StepSizeAndVolumeValues) {
    // 48 kHz stereo 16-bit: 38400 bytes per 200 ms, in units of 2048: 18 units and a rest.
    EXPECT_EQ(WaveOut::ComputeStepSize(MakeDescription(48000, 2, 1, 16), 200), 38912);
    // An exact multiple of the unit gets no extra unit: 8 kHz mono 16-bit is 3200 bytes.
    EXPECT_EQ(WaveOut::ComputeStepSize(MakeDescription(8000, 1, 1, 16), 200), 3072 + 1024);
    EXPECT_EQ(WaveOut::ComputeStepSize(MakeDescription(10240, 1, 1, 8), 200), 2048);
    EXPECT_EQ(WaveOut::ComputeStepSize(MakeDescription(44100, 2, 3, 32), 200), 71680);

    EXPECT_EQ(WaveOut::VolumeValue(0.5f), 0x7FFF7FFFu);
    EXPECT_EQ(WaveOut::VolumeValue(1.2f), 0xFFFFFFFFu);
    EXPECT_EQ(WaveOut::VolumeValue(1.0f), 0xFFFFFFFFu);
    EXPECT_EQ(WaveOut::VolumeValue(-1.0f), 0u);
    EXPECT_EQ(WaveOut::VolumeValue(0.0f), 0u);
    EXPECT_EQ(WaveOut::VolumeValue(0.25f), 0x3FFF3FFFu);
}

class WaveOutConcurrency : public kva_test::VirtualDeviceTest<WaveOut> {
protected:
    static std::vector<uint8_t> Floats(const std::vector<uint8_t>& bytes, float gain) {
        std::vector<uint8_t> out(bytes.size());
        for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
            float f;
            memcpy(&f, &bytes[i], 4);
            f *= gain;
            memcpy(&out[i], &f, 4);
        }
        return out;
    }
};

TEST_F(WaveOutConcurrency, DeviceListStartsWithTheWaveMapper) {
    const std::string longName = "Speakers (High Definition Audio Device With A Long Name)";
    sys->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint(
        "long", std::u16string(longName.begin(), longName.end())));
    sys->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("off", u"Unplugged"));
    sys->SetEndpointState("off", snd::kStateUnplugged);

    AudioDeviceList list;
    WaveOut::EnumDevices(list, true);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].driver, u"WaveOut");
    EXPECT_EQ(list[0].index, -1);
    EXPECT_EQ(list[0].flag, 1);
    EXPECT_FALSE(list[0].name.empty());
    EXPECT_EQ(list[1].name, u"Speakers (Main)");
    EXPECT_EQ(list[1].index, 0);
    EXPECT_EQ(list[1].flag, 0);
    EXPECT_EQ(list[1].id, u"main");  // the endpoint's id
    EXPECT_TRUE(list[1].description.empty());
    EXPECT_EQ(list[2].name, u"Headphones (Second)");
    EXPECT_EQ(list[2].index, 1);
    // The product name holds 31 characters; an unplugged endpoint is no device.
    EXPECT_EQ(list[3].name, std::u16string(longName.begin(), longName.begin() + 31));
    EXPECT_EQ(list[3].index, 2);

    WaveOut::EnumDevices(list, false);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].index, 0);

    // The cut name still finds its device.
    auto w = OpenDevice(MixDescription(), list[2].name);
    EXPECT_EQ(w->GetOpenedDeviceId(), 2u);

    snd::SetSoundSystem(std::make_shared<snd::VirtualSoundSystem>(true));
    WaveOut::EnumDevices(list, true);
    EXPECT_TRUE(list.empty());
}

TEST_F(WaveOutConcurrency, DeviceFromNameOrPreferredDevice) {
    sys->SetDefaultEndpoint("second");
    auto named = OpenDevice(MixDescription(), u"Speakers (Main)");
    EXPECT_EQ(named->GetOpenedDeviceId(), 0u);
    auto unknown = OpenDevice(MixDescription(), u"No Such Device");
    EXPECT_EQ(unknown->GetOpenedDeviceId(), 1u);  // the wave mapper's preferred device
    auto mapper = OpenDevice(MixDescription(), named->devices[0].name);
    EXPECT_EQ(mapper->GetOpenedDeviceId(), 1u);

    // What a device plays reaches its own endpoint.
    int counter = 0;
    ScriptedObserver obs(PatternThenShortEnd(1, &counter));
    named->SetObserver(&obs);
    ASSERT_EQ(named->Play(), 0);
    ASSERT_TRUE(WaitUntil([&] { return sys->GetCaptured("main").size() > obs.Delivered().size() &&
                                       obs.Calls() >= 2; }));
    EXPECT_TRUE(sys->GetCaptured("second").empty());
    named.reset();  // its render thread ends before the observer goes
}

TEST_F(WaveOutConcurrency, FormatFallbacksInOrder) {
    sys->SetAcceptAnyFormat("main", true);
    const AudioDescription asked = MakeDescription(48000, 6, 1, 16, 0x60F);
    sys->RefuseFormat("main", PcmFormat(48000, 6, 16));
    {
        // Refused as asked: stereo 44.1 kHz with the same samples.
        auto w = OpenDevice(asked);
        AudioDescription actual;
        bool changed = false;
        w->GetOutputFormat(&actual, &changed);
        EXPECT_TRUE(changed);
        EXPECT_EQ(actual.nSampleRate, 44100);
        EXPECT_EQ(actual.nChannel, 2);
        EXPECT_EQ(actual.nChannelLayout, 0x3u);
        EXPECT_EQ(actual.nSampleFormat, 1);
        EXPECT_EQ(w->GetWaveFormat().Format.nSamplesPerSec, 44100u);
        EXPECT_EQ(w->GetStepSize(), WaveOut::ComputeStepSize(actual, 200));
    }
    // Then the standard 16-bit stereo formats: 48 kHz, 44.1 kHz, 96 kHz. The device reports the
    // format it was opened with.
    sys->RefuseFormat("main", PcmFormat(44100, 2, 16));
    struct Probe {
        int refuse;
        int expect;
    } probes[] = {{0, 48000}, {48000, 96000}};
    for (const Probe& p : probes) {
        if (p.refuse) sys->RefuseFormat("main", PcmFormat(p.refuse, 2, 16));
        auto w = OpenDevice(asked);
        AudioDescription actual;
        w->GetOutputFormat(&actual, nullptr);
        EXPECT_EQ(actual.nSampleRate, p.expect);
        EXPECT_EQ(actual.nChannel, 2);
        EXPECT_EQ(actual.nBitsPerSample, 16);
        EXPECT_EQ(w->GetWaveFormat().Format.nSamplesPerSec, static_cast<DWORD>(p.expect));
        EXPECT_EQ(w->GetStepSize(), WaveOut::ComputeStepSize(actual, 200));
    }
    // 44.1 kHz is probed before 96 kHz: with it back, it wins.
    sys->ClearRefusedFormats("main");
    sys->RefuseFormat("main", PcmFormat(48000, 6, 16));
    sys->RefuseFormat("main", PcmFormat(48000, 2, 16));
    {
        AudioDescription floatAsked = MakeDescription(48000, 6, 3, 32, 0x60F);
        sys->RefuseFormat("main", snd::Format{48000, 6, 32, true, 0});
        snd::Format f441;
        f441.sampleRate = 44100;
        sys->RefuseFormat("main", f441);  // 44.1 kHz stereo float
        auto w = OpenDevice(floatAsked);
        AudioDescription actual;
        w->GetOutputFormat(&actual, nullptr);
        EXPECT_EQ(actual.nSampleRate, 44100);
        EXPECT_EQ(actual.nSampleFormat, 1);
    }
    // Nothing acceptable: -6, and the driver's answer kept.
    sys->SetRefuseAllFormats("main", true);
    WaveOut w(u"");
    w.Init();
    EXPECT_EQ(w.Open(4, &asked), -6);
    EXPECT_EQ(w.GetErrorCode(), -6);
    EXPECT_EQ(w.GetSystemErrorCode(), 32);  // WAVERR_BADFORMAT
    EXPECT_EQ(w.GetHandle(), nullptr);
}

TEST_F(WaveOutConcurrency, EveryPeriodReachesTheEndpointInOrder) {
    auto w = OpenDevice(MixDescription());
    EXPECT_EQ(w->GetHeaderCount(), 8);
    EXPECT_EQ(w->GetHeaderBufferSize(), 2 * w->GetStepSize());
    EXPECT_EQ(w->GetState(), 3);  // Open leaves the state alone
    int counter = 0;
    ScriptedObserver obs(PatternThenShortEnd(20, &counter));
    w->SetObserver(&obs);
    ASSERT_EQ(w->Play(), 0);
    ASSERT_TRUE(obs.WaitCalls(22));
    std::vector<uint8_t> delivered = obs.Delivered();
    EXPECT_EQ(delivered.size(), 20u * w->GetStepSize() + w->GetStepSize() / 2);
    ASSERT_TRUE(WaitUntil([&] { return sys->GetCaptured("main").size() > delivered.size(); }));
    EXPECT_TRUE(kva_test::PlayedThenSilence(sys->GetCaptured("main"), delivered));
    // Each fill asked for one step; the end of the stream rests the loop.
    EXPECT_EQ(obs.Asked(), std::vector<int32_t>(22, w->GetStepSize()));
    EXPECT_TRUE(obs.Errors().empty());
    EXPECT_GT(w->GetPlayedTime(), 0);
    EXPECT_FALSE(w->HasQueuedBuffers());
    w.reset();
}

TEST_F(WaveOutConcurrency, PeriodFilledBeforeAPauseIsWrittenOnResume) {
    auto w = OpenDevice(MixDescription());
    int counter = 0;
    WaveOut* device = w.get();
    ScriptedObserver obs([&](int call, uint8_t* buffer, int32_t* length) -> int32_t {
        if (call == 3) device->Pause();  // the host pauses while this period is being filled
        if (call < 6) {
            FillPattern(buffer, *length, &counter);
            return 0;
        }
        *length = 0;
        return -18;
    });
    w->SetObserver(&obs);
    ASSERT_EQ(w->Play(), 0);
    ASSERT_TRUE(obs.WaitCalls(4));
    ASSERT_TRUE(WaitUntil([&] { return sys->GetCaptured("main").size() == 3u * w->GetStepSize(); }));
    EXPECT_EQ(w->GetState(), 2);
    // Paused, the driver sleeps (it woke every 20 ms).
    const long woke = kva_test::WakeUps("KvaWaveOutDrv");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LE(kva_test::WakeUps("KvaWaveOutDrv") - woke, 2);
    ASSERT_EQ(w->Play(), 0);
    ASSERT_TRUE(obs.WaitCalls(7));
    ASSERT_TRUE(WaitUntil([&] { return sys->GetCaptured("main").size() > obs.Delivered().size(); }));
    EXPECT_TRUE(kva_test::PlayedThenSilence(sys->GetCaptured("main"), obs.Delivered()));
    w.reset();
}

TEST_F(WaveOutConcurrency, HeaderRingAndDoneFlags) {
    auto w = OpenDevice(MixDescription());
    const int32_t step = w->GetStepSize();
    std::vector<uint8_t> chunk(step);
    int counter = 0;
    ASSERT_EQ(waveOutPause(w->GetHandle()), MMSYSERR_NOERROR);
    std::vector<uint8_t> written;
    for (int i = 0; i < 8; ++i) {
        FillPattern(chunk.data(), step, &counter);
        ASSERT_EQ(w->Write(chunk.data(), step, 1.0), 0);
        written.insert(written.end(), chunk.begin(), chunk.end());
    }
    EXPECT_TRUE(w->HasQueuedBuffers());
    // All eight headers are queued: nothing is written and nothing fails.
    FillPattern(chunk.data(), step, &counter);
    EXPECT_EQ(w->Write(chunk.data(), step, 1.0), 0);
    EXPECT_TRUE(sys->GetCaptured("main").empty());
    // A write longer than a header is cut to the header.
    ASSERT_EQ(waveOutRestart(w->GetHandle()), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitUntil([&] { return !w->HasQueuedBuffers(); }));
    EXPECT_TRUE(sys->GetCaptured("main") == written);
    std::vector<uint8_t> big(3 * step, 0);
    ASSERT_EQ(w->Write(big.data(), 3 * step, 1.0), 0);
    ASSERT_TRUE(WaitUntil([&] { return !w->HasQueuedBuffers(); }));
    EXPECT_EQ(sys->GetCaptured("main").size(), written.size() + 2u * step);

    // Reset returns queued headers and starts the position again.
    sys->ClearCaptured("main");
    ASSERT_EQ(waveOutPause(w->GetHandle()), MMSYSERR_NOERROR);
    ASSERT_EQ(w->Write(chunk.data(), step, 1.0), 0);
    EXPECT_TRUE(w->HasQueuedBuffers());
    ASSERT_EQ(w->Stop(), 0);
    EXPECT_FALSE(w->HasQueuedBuffers());
    MMTIME t;
    t.wType = TIME_BYTES;
    ASSERT_EQ(waveOutGetPosition(w->GetHandle(), &t, sizeof(t)), MMSYSERR_NOERROR);
    EXPECT_EQ(t.u.cb, 0u);
    EXPECT_TRUE(sys->GetCaptured("main").empty());
}

TEST_F(WaveOutConcurrency, SameFormatOpenFlushesInsteadOfReopening) {
    auto w = OpenDevice(MixDescription());
    HWAVEOUT first = w->GetHandle();
    ASSERT_EQ(waveOutPause(first), MMSYSERR_NOERROR);
    std::vector<uint8_t> chunk(w->GetStepSize(), 0x11);
    ASSERT_EQ(w->Write(chunk.data(), w->GetStepSize(), 1.0), 0);
    ASSERT_TRUE(w->HasQueuedBuffers());
    const AudioDescription mix = MixDescription();
    ASSERT_EQ(w->Open(9, &mix), 0);
    EXPECT_EQ(w->GetHandle(), first);
    EXPECT_FALSE(w->HasQueuedBuffers());  // the flush reset the device
    EXPECT_TRUE(sys->GetCaptured("main").empty());

    // Another format opens the device anew.
    const AudioDescription s16 = MakeDescription(44100, 2, 1, 16, 0x3);
    ASSERT_EQ(w->Open(10, &s16), 0);
    EXPECT_EQ(w->GetWaveFormat().Format.wBitsPerSample, 16);
    EXPECT_EQ(w->GetStepSize(), 36864);  // 35280 bytes, 18 units of 2048
}

TEST_F(WaveOutConcurrency, MissingDriverWhileWritingInvalidatesTheDevice) {
    auto w = OpenDevice(MixDescription());
    int counter = 0;
    ScriptedObserver obs(PatternThenShortEnd(50, &counter));
    w->SetObserver(&obs);
    sys->InjectFault(snd::kFaultWaveOutNoDriver, 1);
    ASSERT_EQ(w->Play(), 0);
    ASSERT_TRUE(obs.WaitError());
    EXPECT_EQ(obs.Errors(), std::vector<int32_t>{9});
    EXPECT_EQ(w->GetErrorCode(), -8);
    EXPECT_EQ(w->GetSystemErrorCode(), 6);  // MMSYSERR_NODRIVER
    EXPECT_EQ(obs.Calls(), 1);              // the loop ended with the failed write
    EXPECT_TRUE(sys->GetCaptured("main").empty());

    // The player reopens: the same format after a failure opens anew, and plays.
    const AudioDescription mix = MixDescription();
    ASSERT_EQ(w->Open(5, &mix), 0);
    EXPECT_EQ(w->GetErrorCode(), 0);
    ASSERT_EQ(w->Play(), 0);
    ASSERT_TRUE(obs.WaitCalls(10));
    EXPECT_EQ(obs.Errors().size(), 1u);
    w.reset();  // its render thread ends before the observer goes
}

TEST_F(WaveOutConcurrency, EndpointRemovedWhilePlaying) {
    Make(false);  // real time: the endpoint goes while headers are queued
    auto w = OpenDevice(MixDescription());
    int counter = 0;
    ScriptedObserver obs(kva_test::PatternForever(&counter));
    w->SetObserver(&obs);
    ASSERT_EQ(w->Play(), 0);
    ASSERT_TRUE(obs.WaitCalls(9));  // the ring is full
    sys->RemoveEndpoint("main");
    ASSERT_TRUE(obs.WaitError());
    EXPECT_EQ(obs.Errors(), std::vector<int32_t>{9});
    EXPECT_EQ(w->GetErrorCode(), -8);
    EXPECT_EQ(w->GetSystemErrorCode(), 6);
    w.reset();
}

TEST_F(WaveOutConcurrency, VolumeScalesWhatIsPlayed) {
    auto w = OpenDevice(MixDescription());
    ASSERT_EQ(w->SetVolume(0.5f), 0);
    DWORD value = 0;
    ASSERT_EQ(waveOutGetVolume(w->GetHandle(), &value), MMSYSERR_NOERROR);
    EXPECT_EQ(value, 0x7FFF7FFFu);
    int counter = 0;
    ScriptedObserver obs(PatternThenShortEnd(2, &counter));
    w->SetObserver(&obs);
    ASSERT_EQ(w->Play(), 0);
    ASSERT_TRUE(obs.WaitCalls(4));
    ASSERT_TRUE(WaitUntil([&] { return sys->GetCaptured("main").size() > obs.Delivered().size(); }));
    EXPECT_TRUE(kva_test::PlayedThenSilence(sys->GetCaptured("main"),
                                            Floats(obs.Delivered(), 0x7FFF / 65535.0f)));
    ASSERT_EQ(w->SetVolumeLevel(2.0f), 0);
    ASSERT_EQ(waveOutGetVolume(w->GetHandle(), &value), MMSYSERR_NOERROR);
    EXPECT_EQ(value, 0xFFFFFFFFu);
    w.reset();
}
