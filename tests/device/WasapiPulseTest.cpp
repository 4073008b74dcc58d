// The WASAPI back-end on a private PulseAudio server with null sinks (scripts/pulse-test-server):
// endpoints, the default and a sink that goes away. What it plays is checked in
// RealServerRenderTest. Skipped when no server can be started.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <memory>

#include "DeviceTestUtil.h"
#include "common/PulseTestServer.h"
#include "device/Wasapi.h"
#include "platform/PulseSoundSystem.h"
#include "support/TextUtil.h"

using namespace kva_audioplayer;
using kva_test::RunCommand;
using kva_test::ScriptedObserver;
using kva_test::WaitUntil;

namespace {

class WasapiPulseConcurrency : public kva_test::PulseServerTest<> {
protected:
    void SetUp() override {
        PulseServerTest::SetUp();
        if (!Ready()) return;
        sys = snd::PulseSoundSystem::Connect(3000, Pulse().Server().c_str());
        ASSERT_TRUE(sys) << "cannot connect to " << Pulse().Server();
        snd::SetSoundSystem(sys);
    }
    void TearDown() override {
        snd::SetSoundSystem(nullptr);
        sys.reset();
        PulseServerTest::TearDown();
    }

    std::shared_ptr<snd::PulseSoundSystem> sys;
};

std::u16string DefaultId() {
    IMMDeviceEnumerator* e = nullptr;
    if (FAILED(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IMMDeviceEnumerator, reinterpret_cast<void**>(&e))))
        return u"";
    IMMDevice* d = nullptr;
    std::u16string out;
    if (SUCCEEDED(e->GetDefaultAudioEndpoint(eRender, eConsole, &d))) {
        LPWSTR id = nullptr;
        d->GetId(&id);
        out = id ? id : u"";
        CoTaskMemFree(id);
        d->Release();
    }
    e->Release();
    return out;
}

// Endless stereo float audio at half scale.
ScriptedObserver::Script Endless() {
    return [](int, uint8_t* buf, int32_t* len) {
        float* f = reinterpret_cast<float*>(buf);
        for (int i = 0; i < *len / 4; ++i) f[i] = 0.5f;
        return 0;
    };
}

TEST_F(WasapiPulseConcurrency, SinksAndDefault) {
    Wasapi w(u"");
    w.Init();
    std::vector<std::u16string> names;
    for (const AudioDeviceInfo& d : w.devices) names.push_back(d.name);
    ASSERT_GE(w.devices.size(), 3u);
    EXPECT_EQ(w.devices[0].name, u"默认输出设备");
    EXPECT_EQ(w.devices[0].flag, 1);
    bool a = false, b = false;
    for (const AudioDeviceInfo& d : w.devices) {
        if (d.id == u"kva_test_a") a = d.name == u"KVA Test Sink A";
        if (d.id == u"kva_test_b") b = d.name == u"KVA Test Sink B";
    }
    EXPECT_TRUE(a);
    EXPECT_TRUE(b);

    // The default entry's device is the server's default sink, and follows it.
    EXPECT_EQ(Utf16ToUtf8(DefaultId()), RunCommand("pactl get-default-sink"));
    EXPECT_EQ(DefaultId(), u"kva_test_a");
    Pulse().Pactl("set-default-sink kva_test_b");
    EXPECT_TRUE(WaitUntil([] { return DefaultId() == u"kva_test_b"; }));
}

TEST_F(WasapiPulseConcurrency, UnloadedSinkEndsInDeviceError) {
    std::string idx = Pulse().LoadSink("kva_test_gone", "KVA-Gone");
    ASSERT_FALSE(idx.empty());
    ASSERT_TRUE(WaitUntil([&] {
        snd::EndpointInfo info;
        return sys->GetEndpoint("kva_test_gone", &info);
    }));
    ScriptedObserver obs(Endless());
    Wasapi w(u"KVA-Gone");
    w.Init();
    AudioDescription mix = kva_test::MixDescription();
    ASSERT_EQ(w.Open(1, &mix), 0);
    w.SetObserver(&obs);
    w.Play();
    ASSERT_TRUE(obs.WaitCalls(20));
    Pulse().Unload(idx);
    ASSERT_TRUE(obs.WaitError(10000)) << "no device error after the sink went";
    std::vector<int32_t> errors = obs.Errors();
    ASSERT_EQ(errors.size(), 1u);
    // Found by the write step (1) or while waiting for room (9, the device marked invalidated).
    if (errors[0] == 1) {
        EXPECT_EQ(w.GetErrorCode(), -3);
        EXPECT_EQ(static_cast<uint32_t>(w.GetSystemErrorCode()), 0x88890004u);
    } else {
        EXPECT_EQ(errors[0], 9);
        EXPECT_EQ(w.GetErrorCode(), -8);
    }
    int calls = obs.Calls();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(obs.Calls(), calls);  // the loop ended
    w.Close();
}

}  // namespace
