// The DirectSound back-end on the virtual sound system: step geometry and volume values, the
// loader, the device list with GUIDs and the hands-free switch, format fallbacks, what reaches
// the endpoint, lost and stalled buffers, and faults caught by the guard.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "DeviceTestUtil.h"
#include "device/DirectSound.h"
#include "platform/VirtualSoundSystem.h"

using namespace kva_audioplayer;
using kva_test::FillPattern;
using kva_test::MakeDescription;
using kva_test::MixDescription;
using kva_test::ScriptedObserver;
using kva_test::WaitUntil;

namespace {

ScriptedObserver::Script Pattern(int full, int* counter) {
    return kva_test::PatternThenEnd(full, counter);
}

// As Pattern, and injects a fault (count) while the period `at` is filled.
ScriptedObserver::Script PatternWithFault(int full, int* counter, int at,
                                          std::shared_ptr<snd::VirtualSoundSystem> sys,
                                          const char* fault, int count) {
    return [=](int call, uint8_t* buffer, int32_t* length) -> int32_t {
        if (call == at) sys->InjectFault(fault, count);
        return Pattern(full, counter)(call, buffer, length);
    };
}

bool AllZero(const std::vector<uint8_t>& v, size_t from, size_t to) {
    for (size_t i = from; i < to && i < v.size(); ++i)
        if (v[i] != 0) return false;
    return true;
}

}  // namespace

TEST(DirectSoundArithmetic, StepsAndAttenuation) {
    EXPECT_EQ(DirectSound::FramesPerStep(22050), 512);
    EXPECT_EQ(DirectSound::FramesPerStep(22051), 1024);
    EXPECT_EQ(DirectSound::FramesPerStep(48000), 1024);
    EXPECT_EQ(DirectSound::FramesPerStep(48001), 2048);
    EXPECT_EQ(DirectSound::FramesPerStep(96000), 2048);
    EXPECT_EQ(DirectSound::FramesPerStep(192000), 4096);

    EXPECT_EQ(DirectSound::VolumeToAttenuation(0.5f), -1039);
    EXPECT_EQ(DirectSound::VolumeToAttenuation(0.0f), -10000);
    EXPECT_EQ(DirectSound::VolumeToAttenuation(1.0f), 0);
    EXPECT_EQ(DirectSound::VolumeToAttenuation(3.0f), 0);
    EXPECT_EQ(DirectSound::VolumeToAttenuation(-0.5f), -10000);
    // Very quiet levels stay at the floor the buffer accepts instead of being refused.
    EXPECT_EQ(DirectSound::VolumeToAttenuation(0.0001f), -10000);
}

class DirectSoundConcurrency : public kva_test::VirtualDeviceTest<DirectSound> {
protected:
    void Make(bool fast) override {
        VirtualDeviceTest::Make(fast);
        ASSERT_TRUE(DirectSound::LoadLibrary());
    }

    // Plays until the script ends, then releases the device: what the endpoint got is a
    // buffer of silence (the pre-roll) and then every byte delivered.
    void ExpectPrerollThenDelivered(std::unique_ptr<DirectSound> d, ScriptedObserver* obs,
                                    const std::string& endpoint = "main") {
        const size_t preroll = static_cast<size_t>(d->GetBufferSize());
        d.reset();
        std::vector<uint8_t> got = sys->GetCaptured(endpoint);
        std::vector<uint8_t> want = obs->Delivered();
        EXPECT_TRUE(kva_test::PlayedThenSilence(got, want, preroll));
    }
};

TEST_F(DirectSoundConcurrency, LoaderFailureLeavesTheDriverUnavailable) {
    sys->InjectFault(kFaultDSoundLoad, 1);
    EXPECT_FALSE(DirectSound::LoadLibrary());
    {
        DirectSound d(u"");
        EXPECT_EQ(d.CheckAvailable(), -1);
        EXPECT_EQ(d.Init(), 1);
        EXPECT_TRUE(d.devices.empty());
        AudioDescription mix = MixDescription();
        EXPECT_EQ(d.Open(1, &mix), -5);
    }
    EXPECT_TRUE(DirectSound::LoadLibrary());
    DirectSound d(u"");
    EXPECT_EQ(d.CheckAvailable(), 0);
    EXPECT_EQ(d.Init(), 0);
}

TEST_F(DirectSoundConcurrency, DeviceListWithGuids) {
    sys->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("off", u"Unplugged"));
    sys->SetEndpointState("off", snd::kStateUnplugged);
    AudioDeviceList list;
    DirectSound::EnumDevices(list, true);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].driver, u"DirectSound");
    EXPECT_EQ(list[0].flag, 1);
    EXPECT_EQ(list[0].guid, GUID_NULL);
    EXPECT_FALSE(list[0].name.empty());
    EXPECT_EQ(list[1].name, u"Speakers (Main)");
    EXPECT_EQ(list[1].guid, EndpointGuid("main"));
    EXPECT_EQ(list[1].flag, 0);
    EXPECT_EQ(list[1].index, -1);
    EXPECT_EQ(list[1].id, u"main");  // the endpoint's id
    EXPECT_EQ(list[2].name, u"Headphones (Second)");
    EXPECT_EQ(list[2].guid, EndpointGuid("second"));
    EXPECT_NE(list[1].guid, list[2].guid);

    DirectSound::EnumDevices(list, false);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, u"Speakers (Main)");

    // A named device plays on its endpoint; an unknown name on the primary (default) device.
    int counter = 0;
    ScriptedObserver obs(Pattern(3, &counter));
    auto d = OpenDevice(MixDescription(), u"Headphones (Second)");
    EXPECT_EQ(d->GetOpenedGuid(), EndpointGuid("second"));
    d->SetObserver(&obs);
    ASSERT_EQ(d->Play(), 0);
    ASSERT_TRUE(obs.WaitCalls(4));
    ExpectPrerollThenDelivered(std::move(d), &obs, "second");
    EXPECT_TRUE(sys->GetCaptured("main").empty());
    auto other = OpenDevice(MixDescription(), u"No Such Device");
    EXPECT_FALSE(other->HasOpenedGuid());
}

TEST_F(DirectSoundConcurrency, PrimaryDeviceSwitchesFromHandsFreeToStereo) {
    sys->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("hf", u"Headset (X Hands-Free AG Audio)"));
    sys->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("st", u"Headphones (X Stereo)"));
    sys->SetCapture("st", true);
    auto primaryName = [&] {
        AudioDeviceList list;
        DirectSound::EnumDevices(list, true);
        return list.at(0).name;
    };
    // The default is not a hands-free endpoint: the primary device stays.
    auto plain = OpenDevice(MixDescription(), primaryName());
    EXPECT_EQ(plain->GetOpenedGuid(), GUID_NULL);

    sys->SetDefaultEndpoint("hf");
    auto switched = OpenDevice(MixDescription(), primaryName());
    EXPECT_EQ(switched->GetOpenedGuid(), EndpointGuid("st"));
    int counter = 0;
    ScriptedObserver obs(Pattern(2, &counter));
    switched->SetObserver(&obs);
    ASSERT_EQ(switched->Play(), 0);
    ASSERT_TRUE(obs.WaitCalls(3));
    ExpectPrerollThenDelivered(std::move(switched), &obs, "st");
    EXPECT_TRUE(sys->GetCaptured("main").empty());

    // Asked for by name, the hands-free endpoint is what opens.
    auto named = OpenDevice(MixDescription(), u"Headset (X Hands-Free AG Audio)");
    EXPECT_EQ(named->GetOpenedGuid(), EndpointGuid("hf"));
}

TEST_F(DirectSoundConcurrency, GeometryAndFormatFallback) {
    // 44.1 kHz stereo 16-bit: 1024 frames a step.
    const AudioDescription s16 = MakeDescription(44100, 2, 1, 16, 0x3);
    {
        auto d = OpenDevice(s16);
        EXPECT_EQ(d->GetStepSize(), 4096);
        EXPECT_EQ(d->GetSegmentSize(), 8192);
        EXPECT_EQ(d->GetBufferSize(), 32768);
        AudioDescription actual;
        bool changed = true;
        d->GetOutputFormat(&actual, &changed);
        EXPECT_FALSE(changed);
        EXPECT_EQ(actual.nChannelLayout, 0x3u);
        // Each fill asks for one segment: the staging buffer's 8192 bytes.
        int counter = 0;
        ScriptedObserver obs(Pattern(2, &counter));
        d->SetObserver(&obs);
        ASSERT_EQ(d->Play(), 0);
        ASSERT_TRUE(obs.WaitCalls(3));
        d.reset();  // its render thread ends before the observer goes
        EXPECT_EQ(obs.Asked(), (std::vector<int32_t>{8192, 8192, 8192}));
        EXPECT_EQ(obs.Presets(), (std::vector<int64_t>{0, 0, 0}));
    }
    {
        // A small format never asks for more than the segment the wait found room for.
        const AudioDescription mono = MakeDescription(44100, 1, 1, 16, 0x4);
        sys->ClearCaptured("main");
        sys->SetAcceptAnyFormat("main", true);
        auto d = OpenDevice(mono);
        EXPECT_EQ(d->GetSegmentSize(), 4096);
        int counter = 0;
        ScriptedObserver obs(Pattern(40, &counter));
        d->SetObserver(&obs);
        ASSERT_EQ(d->Play(), 0);
        ASSERT_TRUE(obs.WaitCalls(41));
        ExpectPrerollThenDelivered(std::move(d), &obs);
        EXPECT_EQ(obs.Asked(), std::vector<int32_t>(41, 4096));
        sys->SetAcceptAnyFormat("main", false);
        sys->ClearCaptured("main");
    }
    {
        // The endpoint takes 44.1 kHz only: 48 kHz falls back to 44.1 kHz stereo 16-bit, with
        // the step still measured in the asked format's samples.
        const AudioDescription f48 = MakeDescription(48000, 6, 3, 32, 0x60F);
        auto d = OpenDevice(f48);
        AudioDescription actual;
        bool changed = false;
        d->GetOutputFormat(&actual, &changed);
        EXPECT_TRUE(changed);
        EXPECT_EQ(actual.nSampleRate, 44100);
        EXPECT_EQ(actual.nChannel, 2);
        EXPECT_EQ(actual.nSampleFormat, 1);
        EXPECT_EQ(actual.nBitsPerSample, 16);
        EXPECT_EQ(d->GetStepSize(), 4 * 6 * 1024);
    }
    {
        // Buffers whose render stream cannot be opened: both creations and the fallback fail.
        sys->InjectFault(snd::kFaultOpen, 4);
        DirectSound d(u"");
        d.Init();
        EXPECT_EQ(d.Open(4, &s16), -6);
        EXPECT_EQ(sys->PendingFaults(snd::kFaultOpen), 0);
    }
    sys->SetRefuseAllFormats("main", true);
    DirectSound d(u"");
    d.Init();
    EXPECT_EQ(d.Open(4, &s16), -6);
    EXPECT_EQ(d.GetErrorCode(), -6);
}

TEST_F(DirectSoundConcurrency, EveryByteAfterThePreroll) {
    auto d = OpenDevice(MixDescription());
    EXPECT_EQ(d->GetStepSize(), 8192);
    int counter = 0;
    ScriptedObserver obs(Pattern(30, &counter));
    d->SetObserver(&obs);
    ASSERT_EQ(d->Play(), 0);
    ASSERT_TRUE(obs.WaitCalls(31));
    EXPECT_TRUE(obs.Errors().empty());
    // And 50 ms of silence after the end.
    EXPECT_TRUE(kva_test::WaitUntil([&] { return d->GetBytesWritten() == 30 * 8192 + 2205 * 8; }))
        << d->GetBytesWritten();
    EXPECT_GT(d->GetWrapCount(), 0);
    ExpectPrerollThenDelivered(std::move(d), &obs);
}

TEST_F(DirectSoundConcurrency, PeriodFilledBeforeAPauseIsWrittenOnResume) {
    auto d = OpenDevice(MixDescription());
    DirectSound* device = d.get();
    int counter = 0;
    ScriptedObserver obs([&](int call, uint8_t* buffer, int32_t* length) -> int32_t {
        if (call == 4) device->Pause();
        return Pattern(8, &counter)(call, buffer, length);
    });
    d->SetObserver(&obs);
    ASSERT_EQ(d->Play(), 0);
    ASSERT_TRUE(obs.WaitCalls(5));
    ASSERT_TRUE(WaitUntil([&] { return d->GetBytesWritten() == 4 * 8192; }));
    EXPECT_EQ(d->GetState(), 2);
    ASSERT_EQ(d->Play(), 0);
    ASSERT_TRUE(obs.WaitCalls(9));
    ExpectPrerollThenDelivered(std::move(d), &obs);
}

TEST_F(DirectSoundConcurrency, LostBufferIsRestoredAndPlaybackGoesOn) {
    auto d = OpenDevice(MixDescription());
    int counter = 0;
    ScriptedObserver obs(PatternWithFault(40, &counter, 3, sys, snd::kFaultDSoundLost, 1));
    d->SetObserver(&obs);
    ASSERT_EQ(d->Play(), 0);
    ASSERT_TRUE(obs.WaitCalls(41));
    EXPECT_EQ(sys->PendingFaults(snd::kFaultDSoundLost), 0);
    EXPECT_TRUE(obs.Errors().empty());
    EXPECT_EQ(d->GetErrorCode(), 0);
    // The restored buffer kept its data: nothing delivered is missing.
    ExpectPrerollThenDelivered(std::move(d), &obs);
}

TEST_F(DirectSoundConcurrency, BufferLostForGoodReachesThePlayer) {
    auto d = OpenDevice(MixDescription());
    int counter = 0;
    ScriptedObserver obs(PatternWithFault(1000, &counter, 3, sys, snd::kFaultDSoundLost, -1));
    d->SetObserver(&obs);
    ASSERT_EQ(d->Play(), 0);
    ASSERT_TRUE(obs.WaitError());
    sys->ClearFaults();
    EXPECT_EQ(obs.Errors(), std::vector<int32_t>{9});
    EXPECT_EQ(d->GetErrorCode(), -8);
    const int calls = obs.Calls();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(obs.Calls(), calls);  // the loop ended

    // Losing the buffer at Play: four restores, then the failure is answered.
    sys->InjectFault(snd::kFaultDSoundLost, -1);
    EXPECT_EQ(d->Play(), -3);
    EXPECT_EQ(d->GetErrorCode(), -3);
    EXPECT_EQ(static_cast<uint32_t>(d->GetSystemErrorCode()), 0x88780096u);
    EXPECT_EQ(d->GetState(), 2);
    d.reset();
}

TEST_F(DirectSoundConcurrency, StalledBufferIsRestarted) {
    auto d = OpenDevice(MixDescription());
    int counter = 0;
    // The buffer stops by itself; its cursor no longer moves while the device plays.
    ScriptedObserver obs(PatternWithFault(60, &counter, 3, sys, kFaultDSoundStall, 1));
    d->SetObserver(&obs);
    ASSERT_EQ(d->Play(), 0);
    ASSERT_TRUE(obs.WaitCalls(61));
    EXPECT_EQ(sys->PendingFaults(kFaultDSoundStall), 0);
    EXPECT_TRUE(obs.Errors().empty());
    ExpectPrerollThenDelivered(std::move(d), &obs);
}

TEST_F(DirectSoundConcurrency, FaultInsideTheLibraryIsCaught) {
    auto d = OpenDevice(MixDescription());
    int counter = 0;
    ScriptedObserver obs(Pattern(4, &counter));
    d->SetObserver(&obs);
    sys->InjectFault(kFaultDSoundFault, 1);
    EXPECT_EQ(d->Play(), 2);  // the play call faulted
    EXPECT_EQ(d->GetState(), 2);
    EXPECT_EQ(obs.Calls(), 0);
    ASSERT_EQ(d->Play(), 0);
    ASSERT_TRUE(obs.WaitCalls(5));
    // Resting after the silence that follows the end: the loop makes no more calls.
    ASSERT_TRUE(kva_test::WaitUntil([&] { return d->GetBytesWritten() == 4 * 8192 + 2205 * 8; }));

    // A fault while reading the position ends the loop with a device error.
    sys->InjectFault(kFaultDSoundFault, 1);
    EXPECT_EQ(d->SetVolume(0.5f), 1);  // the guarded call failed
    EXPECT_EQ(d->SetVolume(0.5f), 0);
    ScriptedObserver obs2(kva_test::PatternForever(&counter));
    d->SetObserver(&obs2);
    ASSERT_EQ(d->Play(), 0);
    // Only the render loop makes guarded calls now: its next position read faults.
    sys->InjectFault(kFaultDSoundFault, 1);
    ASSERT_TRUE(obs2.WaitError());
    EXPECT_EQ(obs2.Errors(), std::vector<int32_t>{9});
    EXPECT_EQ(d->GetErrorCode(), -3);
    d.reset();
}

TEST_F(DirectSoundConcurrency, VolumeInHundredthsOfADecibel) {
    auto d = OpenDevice(MixDescription());
    ASSERT_EQ(d->SetVolume(0.5f), 0);
    int counter = 0;
    ScriptedObserver obs(Pattern(3, &counter));
    d->SetObserver(&obs);
    ASSERT_EQ(d->Play(), 0);
    ASSERT_TRUE(obs.WaitCalls(4));
    const size_t preroll = static_cast<size_t>(d->GetBufferSize());
    d.reset();
    std::vector<uint8_t> got = sys->GetCaptured("main");
    std::vector<uint8_t> want = obs.Delivered();
    ASSERT_GE(got.size(), preroll + want.size());  // then the silent tail
    const float gain = static_cast<float>(std::pow(10.0, -1039 / 2000.0));
    for (size_t i = 0; i < want.size(); i += 4) {
        float w, g;
        memcpy(&w, &want[i], 4);
        memcpy(&g, &got[preroll + i], 4);
        ASSERT_NEAR(g, w * gain, 1e-6f) << i;
    }
    // Without a buffer there is nothing to set.
    DirectSound closed(u"");
    EXPECT_EQ(closed.SetVolume(0.5f), 1);
}

TEST_F(DirectSoundConcurrency, RealTimePlaybackPacesItself) {
    Make(false);
    auto d = OpenDevice(MixDescription());
    int counter = 0;
    ScriptedObserver obs(kva_test::PatternForever(&counter));
    d->SetObserver(&obs);
    ASSERT_EQ(d->Play(), 0);
    // The loop runs ahead only as far as the buffer's room: about 46 ms of audio a step.
    ASSERT_TRUE(obs.WaitCalls(12, 10000));
    EXPECT_TRUE(obs.Errors().empty());
    // Paced by the play cursor: never more written than played, less the step just written.
    const int64_t written = d->GetBytesWritten();
    EXPECT_LE(written + 8192, static_cast<int64_t>(sys->GetCaptured("main").size()));
    ASSERT_TRUE(WaitUntil([&] { return sys->GetCaptured("main").size() > 65536u + 8192u; }, 10000));
    std::vector<uint8_t> got = sys->GetCaptured("main");
    std::vector<uint8_t> want = obs.Delivered();
    EXPECT_TRUE(AllZero(got, 0, 65536));
    EXPECT_TRUE(std::equal(want.begin(), want.begin() + 8192, got.begin() + 65536));
    d->Stop();
    EXPECT_EQ(d->GetState(), 2);
    // Stopped, the mixer sleeps (it woke every 10 ms).
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const long woke = kva_test::WakeUps("KvaDSoundMix");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LE(kva_test::WakeUps("KvaDSoundMix") - woke, 2);
    d.reset();  // its render thread ends before the observer goes
}
