// The WASAPI back-end on the virtual sound system: format negotiation, period arithmetic, the
// render loop's answers to each fill status, failures reaching the observer, what reaches the
// endpoint, endpoint choice and the render thread's lifetime. Everything here runs threads.
#include <gtest/gtest.h>

#include <memory>

#include "DeviceTestUtil.h"
#include "device/Wasapi.h"
#include "platform/VirtualSoundSystem.h"

using namespace kva_audioplayer;
using kva_test::MakeDescription;
using kva_test::ScriptedObserver;
using kva_test::WaitUntil;

namespace {

class WasapiConcurrency : public ::testing::Test {
protected:
    void SetUp() override {
        sys = std::make_shared<snd::VirtualSoundSystem>();
        sys->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("main", u"Speakers (Main)",
                                                                u"Main Audio"),
                         true);
        sys->SetCapture("main", true);
        snd::SetSoundSystem(sys);
    }
    void TearDown() override { snd::SetSoundSystem(nullptr); }

    std::unique_ptr<Wasapi> OpenDevice(const AudioDescription& format,
                                       const std::u16string& name = u"") {
        auto w = std::make_unique<Wasapi>(name);
        w->Init();
        int r = w->Open(7, &format);
        EXPECT_EQ(r, 0);
        return w;
    }

    // Plays silence; `fault` runs inside fill number `at`; waits for a device error.
    struct FaultRun {
        FaultRun(WasapiConcurrency* test, int at, std::function<void()> fault)
            : obs([at, fault](int call, uint8_t* buf, int32_t* len) {
                  if (call == at) fault();
                  memset(buf, 0, *len);
                  return 0;
              }),
              w(test->OpenDevice(kva_test::MixDescription())) {
            w->SetObserver(&obs);
            w->Play();
            errored = obs.WaitError();
        }
        ScriptedObserver obs;
        std::unique_ptr<Wasapi> w;  // goes before the observer it calls
        bool errored = false;
    };

    std::shared_ptr<snd::VirtualSoundSystem> sys;
};

TEST_F(WasapiConcurrency, NegotiationTakesClosestMatch) {
    // 48 kHz 16-bit asked, the endpoint takes only its mix format: the rate comes first, then
    // the whole closest record.
    AudioDescription s16 = MakeDescription(48000, 2, 1, 16, 0x3);
    auto w = OpenDevice(s16);
    AudioDescription actual;
    bool changed = false;
    w->GetOutputFormat(&actual, &changed);
    EXPECT_TRUE(changed);
    EXPECT_EQ(actual.nSampleRate, 44100);
    EXPECT_EQ(actual.nChannel, 2);
    EXPECT_EQ(actual.nSampleFormat, 3);
    EXPECT_EQ(actual.nBitsPerSample, 32);
    EXPECT_EQ(w->GetState(), 2);  // Open leaves it paused

    // Six channels with their own mask end on the stereo mix format too, with a block
    // alignment that matches the channel count.
    AudioDescription six = MakeDescription(48000, 6, 1, 16, 0x60F);
    ASSERT_EQ(w->Open(8, &six), 0);
    WAVEFORMATEXTENSIBLE wf = w->GetWaveFormat();
    EXPECT_EQ(wf.Format.nChannels, 2);
    EXPECT_EQ(wf.Format.nBlockAlign, 8);
    EXPECT_EQ(wf.dwChannelMask, 0x3u);

    // An endpoint that takes anything keeps the request.
    sys->SetAcceptAnyFormat("main", true);
    ASSERT_EQ(w->Open(9, &s16), 0);
    w->GetOutputFormat(&actual, &changed);
    EXPECT_FALSE(changed);
    EXPECT_EQ(actual.nSampleRate, 48000);
    EXPECT_EQ(actual.nSampleFormat, 1);
}

TEST_F(WasapiConcurrency, NegotiationFallsBackToMixFormat) {
    // A refused format comes back without a closest match: the mix format is tried.
    AudioDescription s16 = MakeDescription(48000, 2, 1, 16, 0x3);
    snd::Format refused;
    refused.sampleRate = 48000;
    refused.channels = 2;
    refused.bitsPerSample = 16;
    refused.isFloat = false;
    sys->SetAcceptAnyFormat("main", true);
    sys->RefuseFormat("main", refused);
    auto w = OpenDevice(s16);
    AudioDescription actual;
    w->GetOutputFormat(&actual, nullptr);
    EXPECT_EQ(actual.nSampleRate, 44100);
    EXPECT_EQ(actual.nSampleFormat, 3);

    // Nothing acceptable at all: Open fails with -5.
    sys->SetRefuseAllFormats("main", true);
    EXPECT_EQ(w->Open(10, &s16), -5);
    EXPECT_EQ(w->GetErrorCode(), -5);
    EXPECT_NE(w->GetSystemErrorCode(), 0);
    // Play without a client: answered 0, state unchanged.
    int state = w->GetState();
    EXPECT_EQ(w->Play(), 0);
    EXPECT_EQ(w->GetState(), state);
}

TEST_F(WasapiConcurrency, PeriodAndStepSize) {
    struct Case {
        uint32_t periodFrames;
        int rate;
        uint32_t periodMs, frames;
        int step;
    } cases[] = {
        {441, 44100, 10, 441, 3528},   // 10 ms
        {512, 44100, 11, 512, 3880},   // 11.61 ms: ms truncated, frames rounded
        {480, 48000, 10, 480, 3840},
        {1024, 48000, 21, 1024, 8064},  // 21.33 ms
    };
    for (const Case& c : cases) {
        snd::EndpointInfo info = snd::VirtualSoundSystem::MakeEndpoint("p", u"Period", u"P");
        info.periodFrames = c.periodFrames;
        info.mixFormat.sampleRate = c.rate;
        sys->AddEndpoint(info);
        auto w = OpenDevice(MakeDescription(c.rate, 2, 3, 32, 0x3), u"Period");
        EXPECT_EQ(w->GetPeriodMs(), c.periodMs) << c.periodFrames;
        EXPECT_EQ(w->GetFramesPerPeriod(), c.frames) << c.periodFrames;
        EXPECT_EQ(w->GetStepSize(), c.step) << c.periodFrames;
        w.reset();
        sys->RemoveEndpoint("p");
    }
}

TEST_F(WasapiConcurrency, CapturedSamplesEqualWhatWasFilled) {
    int counter = 0;
    const int kPeriods = 40;
    ScriptedObserver obs([&](int call, uint8_t* buf, int32_t* len) {
        if (call >= kPeriods) {
            *len = 0;
            return -18;
        }
        // Odd sizes too: the last one is partial.
        if (call == kPeriods - 1) *len = *len / 2 / 8 * 8;
        kva_test::FillPattern(buf, *len, &counter);
        return 0;
    });
    auto w = OpenDevice(kva_test::MixDescription());
    w->SetObserver(&obs);
    ASSERT_EQ(w->Play(), 0);
    EXPECT_EQ(w->GetState(), 1);
    ASSERT_TRUE(obs.WaitCalls(kPeriods + 1));
    ASSERT_TRUE(sys->WaitDrained("main", 5000));

    std::vector<uint8_t> delivered = obs.Delivered();
    std::vector<uint8_t> captured = sys->GetCaptured("main");
    // The pre-roll silence comes first: one full buffer.
    size_t preroll = static_cast<size_t>(w->GetBufferFrames()) * 8;
    ASSERT_GT(preroll, 0u);
    EXPECT_TRUE(kva_test::PlayedThenSilence(captured, delivered, preroll));
    // The fills asked one period each, preset -1.
    for (int64_t p : obs.Presets()) EXPECT_EQ(p, -1);
    AudioDevice::RenderStats stats = w->GetRenderStats();
    EXPECT_EQ(stats.fills, kPeriods);
    EXPECT_GE(stats.lastTime, stats.firstTime);
}

TEST_F(WasapiConcurrency, EndOfStreamWritesItsBytesThenRests) {
    int counter = 0;
    ScriptedObserver obs([&](int call, uint8_t* buf, int32_t* len) {
        if (call == 0) {
            *len = 800;
            kva_test::FillPattern(buf, *len, &counter);
        } else {
            *len = 0;
        }
        return -18;
    });
    auto w = OpenDevice(kva_test::MixDescription());
    w->SetObserver(&obs);
    sys->ClearCaptured("main");
    w->Play();
    ASSERT_TRUE(obs.WaitCalls(2));
    // Silence from the open, the data, then 50 ms of silence after it.
    const size_t tail = 2205 * 8;
    ASSERT_TRUE(kva_test::WaitUntil([&] { return sys->GetCaptured("main").size() >= 800 + tail; }));
    ASSERT_TRUE(sys->WaitDrained("main", 5000));
    std::vector<uint8_t> captured = sys->GetCaptured("main");
    std::vector<uint8_t> delivered = obs.Delivered();
    ASSERT_EQ(delivered.size(), 800u);
    const size_t lead = size_t(std::find_if(captured.begin(), captured.end(),
                                            [](uint8_t b) { return b != 0; }) - captured.begin());
    EXPECT_TRUE(kva_test::PlayedThenSilence(captured, delivered, lead));
    EXPECT_EQ(captured.size() - lead - 800, tail);
    // Resting: no more fills however long one waits; a new Play asks again.
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(obs.Calls(), 2);
    EXPECT_EQ(w->GetState(), 1);
    w->Play();
    EXPECT_TRUE(obs.WaitCalls(3));
}

TEST_F(WasapiConcurrency, NoDataRetriesOnlyWhilePlaying) {
    Wasapi* device = nullptr;
    ScriptedObserver obs([&](int call, uint8_t* buf, int32_t* len) {
        if (call < 5) {
            *len = 0;
            return -19;
        }
        if (call == 5) {
            // A pause arrives while the stream is still buffering.
            device->SetState(2);
            *len = 0;
            return -19;
        }
        return 0;
    });
    auto w = OpenDevice(kva_test::MixDescription());
    device = w.get();
    w->SetObserver(&obs);
    sys->ClearCaptured("main");
    w->Play();
    ASSERT_TRUE(obs.WaitCalls(6));
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_EQ(obs.Calls(), 6);
    EXPECT_TRUE(obs.Errors().empty());
    EXPECT_TRUE(obs.Delivered().empty());
}

TEST_F(WasapiConcurrency, InvalidatedDuringWriteIsDeviceError1) {
    FaultRun run(this, 3, [&] {
        // The endpoint fails under the next write.
        sys->SetFaultResult(snd::kInvalidated);
        sys->InjectFault(snd::kFaultWrite, 1);
    });
    ASSERT_TRUE(run.errored);
    EXPECT_EQ(run.obs.Errors(), std::vector<int32_t>{1});
    EXPECT_EQ(run.w->GetErrorCode(), -3);
    EXPECT_EQ(static_cast<uint32_t>(run.w->GetSystemErrorCode()), 0x88890004u);
    // The loop ended there.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(run.obs.Calls(), 4);
}

TEST_F(WasapiConcurrency, OtherWriteFailureIsDeviceError2) {
    FaultRun run(this, 1, [&] { sys->InjectFault(snd::kFaultWrite, 1); });  // kFailed
    ASSERT_TRUE(run.errored);
    EXPECT_EQ(run.obs.Errors(), std::vector<int32_t>{2});
    EXPECT_EQ(run.w->GetErrorCode(), -3);
}

TEST_F(WasapiConcurrency, InvalidatedWhileWaitingIsDeviceError9) {
    FaultRun run(this, 2, [&] { sys->InvalidateEndpoint("main"); });
    ASSERT_TRUE(run.errored);
    EXPECT_EQ(run.obs.Errors(), std::vector<int32_t>{9});
    EXPECT_EQ(run.w->GetErrorCode(), -8);
    // The wait's answer (2: invalidated) is what the loop stores last.
    EXPECT_EQ(run.w->GetSystemErrorCode(), 2);
    EXPECT_EQ(run.obs.Calls(), 3);
    run.w->Close();
}

TEST_F(WasapiConcurrency, RemovedEndpointEndsTheLoop) {
    FaultRun run(this, 2, [&] { sys->RemoveEndpoint("main"); });
    ASSERT_TRUE(run.errored);
    EXPECT_EQ(run.obs.Errors(), std::vector<int32_t>{9});
    EXPECT_EQ(run.w->GetErrorCode(), -8);
    // Reopening the default now finds no endpoint.
    run.w->Close();
    AudioDescription mix = kva_test::MixDescription();
    EXPECT_EQ(run.w->Open(3, &mix), -5);
}

// A fill status other than data, no data or end of stream is answered once: -12 (an error
// state) pauses the device, any other ends the loop with the device still marked playing.
TEST_F(WasapiConcurrency, ErrorAndOtherStatusesEndTheFills) {
    for (auto c : {std::make_pair(-12, 2), std::make_pair(-10, 1)}) {
        SCOPED_TRACE(c.first);
        ScriptedObserver obs([&](int, uint8_t*, int32_t* len) {
            *len = 0;
            return c.first;
        });
        auto w = OpenDevice(kva_test::MixDescription());
        w->SetObserver(&obs);
        w->Play();
        ASSERT_TRUE(obs.WaitCalls(1));
        EXPECT_TRUE(WaitUntil([&] { return w->GetState() == c.second; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(obs.Calls(), 1);
        EXPECT_EQ(w->GetState(), c.second);
        EXPECT_TRUE(obs.Errors().empty());
    }
}

TEST_F(WasapiConcurrency, EndpointChoice) {
    sys->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("usb", u"Headphones (USB)", u"USB DAC"));
    sys->SetCapture("usb", true);
    auto playSome = [&](const std::u16string& name) {
        ScriptedObserver obs([&](int call, uint8_t* buf, int32_t* len) {
            memset(buf, 0x11, *len);
            if (call >= 3) {
                *len = 0;
                return -18;
            }
            return 0;
        });
        sys->ClearCaptured("main");
        sys->ClearCaptured("usb");
        auto w = OpenDevice(kva_test::MixDescription(), name);
        w->SetObserver(&obs);
        w->Play();
        EXPECT_TRUE(obs.WaitCalls(4));
        sys->WaitDrained("main", 3000);
        sys->WaitDrained("usb", 3000);
        w->Close();
    };
    playSome(u"Headphones (USB)");
    EXPECT_TRUE(sys->GetCaptured("main").empty());
    EXPECT_FALSE(sys->GetCaptured("usb").empty());
    // Unknown names and the default entry's name open the default endpoint.
    for (const char16_t* n : {u"No Such Device", u"默认输出设备", u""}) {
        playSome(n);
        EXPECT_FALSE(sys->GetCaptured("main").empty());
        EXPECT_TRUE(sys->GetCaptured("usb").empty());
    }
    // A default endpoint that is a headset's hands-free one is swapped for its stereo sibling.
    sys->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint(
                         "hf", u"Headset (Buds Hands-Free)", u"Buds Hands-Free AG Audio"),
                     true);
    sys->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("st", u"Headphones (Buds)",
                                                            u"buds stereo"));
    sys->SetCapture("hf", true);
    sys->SetCapture("st", true);
    playSome(u"");
    EXPECT_TRUE(sys->GetCaptured("hf").empty());
    EXPECT_FALSE(sys->GetCaptured("st").empty());
}

TEST_F(WasapiConcurrency, StopPlayAgainAndFlush) {
    ScriptedObserver obs([&](int, uint8_t* buf, int32_t* len) {
        memset(buf, 0, *len);
        return 0;
    });
    auto w = OpenDevice(kva_test::MixDescription());
    w->SetObserver(&obs);
    w->Play();
    ASSERT_TRUE(obs.WaitCalls(3));
    w->Stop();
    EXPECT_EQ(w->GetState(), 3);
    EXPECT_EQ(w->GetPlayedTime(), 0);
    // The client still runs after Stop; Play must still resume the loop.
    int calls = obs.Calls();
    w->Play();
    EXPECT_EQ(w->GetState(), 1);
    EXPECT_TRUE(obs.WaitCalls(calls + 3));
    w->Pause();
    EXPECT_EQ(w->GetState(), 2);

    // A paused client is full of pre-roll and played data; the flush worker empties it, so a
    // push write of one period then fits and is counted.
    std::vector<uint8_t> block(w->GetFramesPerPeriod() * 8, 0);
    w->Flush();
    ASSERT_TRUE(WaitUntil([&] {
        return w->Write(block.data(), static_cast<int32_t>(block.size()), 1.0) == 0 &&
               w->GetBytesWritten() > 0;
    }));
    EXPECT_EQ(w->GetBytesWritten(), static_cast<int64_t>(block.size()));
    EXPECT_GT(w->GetPlayedTime(), 0);
    // A stopped device's flush does nothing: the count stays.
    w->Stop();
    w->RequestFlush();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(w->GetBytesWritten(), static_cast<int64_t>(block.size()));
    // Paused again, the flush clears it.
    w->Pause();
    w->RequestFlush();
    EXPECT_TRUE(WaitUntil([&] { return w->GetBytesWritten() == 0; }));
}

TEST_F(WasapiConcurrency, ThreadsEndOnCloseAndDestruction) {
    const std::string kName = "WasapiRenderThr";  // the kernel keeps 15 bytes
    int before = kva_test::CountThreads(kName);
    {
        ScriptedObserver obs([&](int, uint8_t* buf, int32_t* len) {
            memset(buf, 0, *len);
            return 0;
        });
        auto w = OpenDevice(kva_test::MixDescription());
        EXPECT_TRUE(WaitUntil([&] { return kva_test::CountThreads(kName) == before + 1; }));
        // Reopening keeps the one thread.
        AudioDescription mix = kva_test::MixDescription();
        ASSERT_EQ(w->Open(2, &mix), 0);
        EXPECT_EQ(kva_test::CountThreads(kName), before + 1);
        w->SetObserver(&obs);
        w->Play();
        ASSERT_TRUE(obs.WaitCalls(3));
        w->Close();
        int calls = obs.Calls();
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_LE(obs.Calls(), calls + 1);
        w->Close();  // twice is harmless
        // Destroyed while playing.
        auto v = OpenDevice(kva_test::MixDescription());
        v->SetObserver(&obs);
        v->Play();
        ASSERT_TRUE(obs.WaitCalls(obs.Calls() + 3));
        v.reset();
        // Destroyed after its endpoint failed under it.
        auto s = OpenDevice(kva_test::MixDescription());
        s->SetObserver(&obs);
        s->Play();
        ASSERT_TRUE(obs.WaitCalls(obs.Calls() + 1));
        sys->SetEndpointState("main", snd::kStateDisabled);
        s.reset();
    }
    EXPECT_EQ(kva_test::CountThreads(kName), before);
}

}  // namespace
