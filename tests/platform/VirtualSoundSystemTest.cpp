#include <atomic>
#include <tuple>

#include "KvaSoundSystem.h"
#include "SoundTestUtil.h"
#include "common/WavRead.h"
#include "platform/PcmUtil.h"
#include "platform/SoundSystemSelect.h"
#include "platform/VirtualSoundSystem.h"

using namespace kva_audioplayer;
using namespace kva_audioplayer::snd;
using namespace kva_test;

namespace {

const std::string kOut = VirtualSoundSystem::kDefaultId;
const Format kS16{44100, 2, 16, false};

std::shared_ptr<VirtualSoundSystem> MakeSystem(bool fast) {
    auto sys = std::make_shared<VirtualSoundSystem>(fast);
    EXPECT_EQ(kOk, sys->AddEndpoint(VirtualSoundSystem::MakeEndpoint(kOut, u"Virtual Output")));
    return sys;
}

// Each sample of each format scaled, within a step of the format, and nothing written past the last.
TEST(PcmUtil, VolumeScalesEverySampleAndNoMore) {
    for (const Format& f : {Format{44100, 2, 8, false}, kS16, Format{44100, 2, 24, false}, Format{44100, 2, 32, false},
                            Format{44100, 2, 32, true}}) {
        const uint32_t frames = 3;
        const size_t bytes = frames * size_t(f.BlockAlign());
        std::vector<uint8_t> in(bytes + 8), out(bytes + 8, 0xAB);
        for (size_t i = 0; i < in.size(); ++i) in[i] = uint8_t(i * 37 + 11);
        for (size_t i = 0; f.isFloat && i < frames * 2; ++i) {
            const float v = 0.9f - 0.3f * float(i);
            std::memcpy(&in[i * 4], &v, 4);
        }
        ApplyVolume(f, in.data(), out.data(), frames, 0.5f);
        std::vector<float> a(frames * 2), b(frames * 2);
        ToFloat(f, in.data(), a.data(), frames);
        ToFloat(f, out.data(), b.data(), frames);
        const double step = std::ldexp(1.0, 2 - f.bitsPerSample);
        for (size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(b[i], a[i] * 0.5f, step) << f.bitsPerSample;
        EXPECT_EQ(std::vector<uint8_t>(out.begin() + long(bytes), out.end()), std::vector<uint8_t>(8, 0xAB));
    }
}

// The one output and a stream on it in the mix format that signals `ev` each period.
class VirtualSoundSystemConcurrency : public ::testing::Test {
protected:
    void Open(bool fast, bool capture = false, uint32_t frames = 0) {
        sys = MakeSystem(fast);
        if (capture) sys->SetCapture(kOut, true);
        ASSERT_TRUE(sys->GetEndpoint(kOut, &info));
        ASSERT_EQ(kOk, sys->OpenStream(kOut, info.mixFormat, frames, &s));
        s->SetPeriodCallback(&TestEvent::Signal, &ev);
    }
    std::shared_ptr<VirtualSoundSystem> sys;
    EndpointInfo info;
    TestEvent ev;  // outlives the stream that signals it
    std::unique_ptr<IRenderStream> s;
};

TEST(VirtualSoundSystem, EndpointsAndFormatNegotiation) {
    auto sys = MakeSystem(false);
    EXPECT_EQ(kOut, sys->GetDefaultEndpoint());
    auto eps = sys->GetEndpoints();
    ASSERT_EQ(1u, eps.size());
    EXPECT_EQ(u"Virtual Output", eps[0].friendlyName);
    EXPECT_EQ(Format(), eps[0].mixFormat) << "44.1 kHz stereo float";

    Format closest{1};
    EXPECT_EQ(kOk, sys->IsFormatSupported(kOut, eps[0].mixFormat, &closest));
    EXPECT_EQ(kFalse, sys->IsFormatSupported(kOut, kS16, &closest));
    EXPECT_EQ(eps[0].mixFormat, closest);
    EXPECT_EQ(kFalse, sys->IsFormatSupported(kOut, Format{48000}, &closest));
    EXPECT_EQ(kNotFound, sys->IsFormatSupported("nope", Format{48000}, &closest));
    EXPECT_EQ(kInvalidArg, sys->IsFormatSupported(kOut, Format{44100, 0}, &closest)) << "no channels";

    std::unique_ptr<IRenderStream> s;
    EXPECT_EQ(kUnsupportedFormat, sys->OpenStream(kOut, kS16, 0, &s));
    EXPECT_EQ(kNotFound, sys->OpenStream("nope", eps[0].mixFormat, 0, &s));
    EXPECT_FALSE(s);

    ASSERT_EQ(kOk, sys->SetAcceptAnyFormat(kOut, true));
    EXPECT_EQ(kOk, sys->IsFormatSupported(kOut, kS16, &closest));
    EXPECT_EQ(kOk, sys->OpenStream(kOut, kS16, 0, &s));
    ASSERT_TRUE(s);
    EXPECT_EQ(kS16, s->GetFormat());

    // An endpoint's own mix format and period; a buffer holds at least two periods.
    EndpointInfo info = VirtualSoundSystem::MakeEndpoint("surround", u"Surround");
    info.mixFormat = Format{48000, 6};
    info.periodFrames = 480;
    ASSERT_EQ(kOk, sys->AddEndpoint(info));
    EXPECT_EQ(kInvalidArg, sys->AddEndpoint(info)) << "duplicate id";
    ASSERT_EQ(kOk, sys->OpenStream("surround", info.mixFormat, 100, &s));
    EXPECT_EQ(std::make_pair(480u, 960u), std::make_pair(s->PeriodFrames(), s->BufferFrames()));
    ASSERT_EQ(kOk, sys->OpenStream("surround", info.mixFormat, 4800, &s));
    EXPECT_EQ(4800u, s->BufferFrames());
}

TEST_F(VirtualSoundSystemConcurrency, PaddingRoomAndStateRules) {
    ASSERT_NO_FATAL_FAILURE(Open(false, false, 2000));
    const uint32_t buffer = s->BufferFrames();
    ASSERT_EQ(2000u, buffer);
    auto data = Bytes(SineFloat(buffer + 10, 2, 44100, 440));

    EXPECT_EQ(0u, Padding(s.get()));
    ASSERT_EQ(kOk, s->Write(data.data(), 1500));
    EXPECT_EQ(1500u, Padding(s.get()));
    EXPECT_EQ(kInvalidArg, s->Write(data.data(), buffer - 1500 + 1)) << "beyond the room";
    ASSERT_EQ(kOk, s->Write(data.data() + 1500 * 8, buffer - 1500));
    EXPECT_EQ(kInvalidArg, s->Write(data.data(), 1));
    EXPECT_EQ(kInvalidArg, s->GetPadding(nullptr));
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(0u, s->FramesPlayed()) << "a stopped stream does not play";
    ExpectStateRules(s.get(), buffer);
}

// What is played is exactly what was written, across the ring's wrap; silent at volume 0.
TEST_F(VirtualSoundSystemConcurrency, CaptureMatchesWrittenAndScaledByVolume) {
    ASSERT_NO_FATAL_FAILURE(Open(true, true, 1000));
    ASSERT_EQ(kOk, s->Start());

    const uint32_t frames = 7777;
    auto src = SineFloat(frames, 2, 44100, 1000, 0.9);
    auto bytes = Bytes(src);
    ASSERT_EQ(kOk, WriteAll(s.get(), &ev, bytes.data(), frames, 333));
    EXPECT_EQ(std::make_tuple(bytes, frames), std::make_tuple(sys->TakeCaptured(kOut), s->FramesPlayed()));

    ASSERT_EQ(kOk, s->SetVolume(0.0f));
    ASSERT_EQ(kOk, s->Write(bytes.data(), 10));
    for (float v : FloatsFromBytes(sys->TakeCaptured(kOut))) ASSERT_EQ(0.0f, v);

    // Integer samples are scaled with rounding, half away from zero.
    sys->SetAcceptAnyFormat(kOut, true);
    ASSERT_EQ(kOk, sys->OpenStream(kOut, kS16, 0, &s));
    ASSERT_EQ(kOk, s->Start());
    const int16_t in[8] = {32767, -32768, 1000, -1000, 3, -3, 0, 1};
    ASSERT_EQ(kOk, s->SetVolume(0.5f));
    ASSERT_EQ(kOk, s->Write(reinterpret_cast<const uint8_t*>(in), 4));
    const auto got = sys->TakeCaptured(kOut);
    std::vector<int16_t> out((got.size() + 1) / 2);  // an odd byte left over shows as one more sample
    std::memcpy(out.data(), got.data(), got.size());
    EXPECT_EQ((std::vector<int16_t>{16384, -16384, 500, -500, 2, -2, 0, 1}), out);
}

TEST(VirtualSoundSystem, WavFileHeaderAndContent) {
    const std::string path = kva_test::MakeTempDir("vwav") + "/out.wav";
    const KvaSoundSystemConfig config{KvaSoundSystemKind::VirtualWav, path.c_str(), true};  // fast
    int32_t r = -100;
    auto base = MakeSoundSystem(config, &r);
    ASSERT_EQ(kOk, r);
    auto* sys = static_cast<VirtualSoundSystem*>(base.get());
    const std::string id = sys->GetDefaultEndpoint();
    EndpointInfo info;
    ASSERT_TRUE(sys->GetEndpoint(id, &info));
    auto src = SineFloat(5000, 2, 44100, 1000);
    auto bytes = Bytes(src);
    {
        TestEvent ev;  // outlives the stream that signals it
        std::unique_ptr<IRenderStream> s;
        ASSERT_EQ(kOk, sys->OpenStream(id, info.mixFormat, 0, &s));
        ASSERT_EQ(kOk, s->Start());
        s->SetPeriodCallback(&TestEvent::Signal, &ev);
        ASSERT_EQ(kOk, WriteAll(s.get(), &ev, bytes.data(), 3000, 700));
        ASSERT_EQ(kOk, s->SetVolume(0.5f));
        ASSERT_EQ(kOk, WriteAll(s.get(), &ev, bytes.data() + 3000 * 8, 2000, 700));
        ASSERT_EQ(kOk, s->Stop());
        // The header is complete as soon as the stream stops.
        kva_test::WavData w;
        ASSERT_TRUE(kva_test::ReadFloatWav(path, &w, true));
        EXPECT_EQ(src.size(), w.samples.size());
    }
    // An integer stream on the same endpoint lands in the file as float; the device's own
    // silence around it plays but stays out of the file.
    sys->SetAcceptAnyFormat(id, true);
    {
        std::unique_ptr<IRenderStream> s;
        ASSERT_EQ(kOk, sys->OpenStream(id, kS16, 0, &s));
        ASSERT_EQ(kOk, s->Start());
        const int16_t pcm[4] = {16384, -16384, 32767, -32768}, fill[6] = {};
        const uint64_t before = sys->RenderedFrames(id);
        ASSERT_EQ(kOk, s->Write(reinterpret_cast<const uint8_t*>(fill), 3, kWriteDeviceFill));
        ASSERT_EQ(kOk, s->Write(reinterpret_cast<const uint8_t*>(pcm), 2));
        ASSERT_EQ(kOk, s->Write(reinterpret_cast<const uint8_t*>(fill), 1, kWriteDeviceFill));
        EXPECT_EQ(before + 6, sys->RenderedFrames(id));
    }
    base.reset();
    kva_test::WavData w;
    ASSERT_TRUE(kva_test::ReadFloatWav(path, &w, true));
    EXPECT_EQ(std::make_tuple(3, 2, 44100, 32), std::make_tuple(int(w.formatTag), int(w.channels), int(w.sampleRate), int(w.bitsPerSample)))
        << "IEEE float, stereo, 44.1 kHz";
    ASSERT_EQ(src.size() + 4, w.samples.size());
    for (size_t i = 0; i < 6000; ++i) ASSERT_EQ(src[i], w.samples[i]) << i;
    for (size_t i = 6000; i < src.size(); ++i) ASSERT_EQ(src[i] * 0.5f, w.samples[i]) << i;
    const size_t n = src.size();
    EXPECT_EQ(std::make_tuple(0.5f, -0.5f, -1.0f), std::make_tuple(w.samples[n], w.samples[n + 1], w.samples[n + 3]));
    std::remove(path.c_str());
}

// A host that never tears the system down still leaves a valid file when it exits.
TEST(VirtualSoundSystemDeathTest, WavHeaderCompletedAtNormalExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child re-runs this body, so the path must not depend on the process.
    const std::string path = kva_test::BinaryPath("vwav-exit-test.wav");
    std::remove(path.c_str());
    EXPECT_EXIT(
        {
            // Never destroyed: held by statics so that only the exit handler can finish the file.
            static VirtualSoundSystem* sys = new VirtualSoundSystem(true);
            sys->AddEndpoint(VirtualSoundSystem::MakeEndpoint("e", u"E"));
            sys->SetWavOutput("e", path);
            static std::unique_ptr<IRenderStream>* s = new std::unique_ptr<IRenderStream>();
            sys->OpenStream("e", Format(), 0, s);
            (*s)->Start();
            auto b = Bytes(SineFloat(600, 2, 44100, 500));
            (*s)->Write(b.data(), 600);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    kva_test::WavData w;
    ASSERT_TRUE(kva_test::ReadFloatWav(path, &w, true));
    EXPECT_EQ(SineFloat(600, 2, 44100, 500), w.samples);
    std::remove(path.c_str());
}

// Blocks in its first callback until released.
struct SlowListener : EndpointEvents {
    std::atomic<bool> entered{false}, finished{false}, release{false};
    void OnEndpointAdded(const std::string& id) override {
        entered = true;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        finished = true;
        EndpointEvents::OnEndpointAdded(id);
    }
};

// Events come in order on the system's thread; a removed listener is not called again, and its
// removal waits for a call in progress.
TEST_F(VirtualSoundSystemConcurrency, ScriptedEventsReachListenersOnSystemThread) {
    auto sys = MakeSystem(false);
    EndpointEvents rec;
    sys->AddListener(&rec);
    ASSERT_EQ(kOk, sys->AddEndpoint(VirtualSoundSystem::MakeEndpoint("usb", u"USB Speakers")));
    ASSERT_EQ(kOk, sys->SetDefaultEndpoint("usb"));
    EXPECT_EQ(kFalse, sys->SetDefaultEndpoint("usb"));
    ASSERT_EQ(kOk, sys->SetEndpointState(kOut, kStateUnplugged));
    EXPECT_EQ(kWrongState, sys->SetDefaultEndpoint(kOut));
    ASSERT_EQ(kOk, sys->RemoveEndpoint("usb"));  // the default: it moves to no one
    EXPECT_EQ("", sys->GetDefaultEndpoint());
    ASSERT_EQ(kOk, sys->SetEndpointState(kOut, kStateActive));  // default again
    EXPECT_EQ(kOut, sys->GetDefaultEndpoint());
    EXPECT_EQ(kNotFound, sys->RemoveEndpoint("usb"));
    ASSERT_TRUE(rec.WaitCount(7));
    const std::vector<std::string> want = {
        "added usb", "default usb", "state virtual-output 8", "removed usb", "default ",
        "state virtual-output 1", "default virtual-output"};
    EXPECT_EQ(want, rec.Events());
    for (auto& t : rec.Threads()) EXPECT_TRUE(t != std::this_thread::get_id() && t == rec.Threads()[0]);

    SlowListener slow;
    sys->AddListener(&slow);
    sys->AddEndpoint(VirtualSoundSystem::MakeEndpoint("a", u"A"));
    while (!slow.entered) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::atomic<bool> finishedWhenRemoved{false};
    std::thread remover([&] { sys->RemoveListener(&slow); finishedWhenRemoved = slow.finished.load(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    slow.release = true;
    remover.join();
    EXPECT_TRUE(finishedWhenRemoved);
    sys->AddEndpoint(VirtualSoundSystem::MakeEndpoint("b", u"B"));
    ASSERT_TRUE(rec.WaitCount(9));  // delivered to the one still listening
    EXPECT_EQ(std::vector<std::string>{"added a"}, slow.Events());
}

// Removing or invalidating an endpoint (or the system) fails its streams and wakes a waiting writer.
TEST_F(VirtualSoundSystemConcurrency, InvalidationFailsStreamsAndWakesWriter) {
    ASSERT_NO_FATAL_FAILURE(Open(false));
    auto bytes = Bytes(SineFloat(s->BufferFrames(), 2, 44100, 440));
    ASSERT_EQ(kOk, s->Write(bytes.data(), s->BufferFrames()));  // full, stopped: no room comes
    ASSERT_EQ(kOk, sys->InvalidateEndpoint(kOut));
    EXPECT_TRUE(ev.Wait(5000));
    uint32_t padding;
    EXPECT_EQ(std::make_tuple(kInvalidated, kInvalidated), std::make_tuple(s->GetStatus(), s->GetPadding(&padding)));
    EXPECT_EQ(kInvalidated, s->Write(bytes.data(), 1));
    EXPECT_EQ(kInvalidated, s->Start());
    // The endpoint itself stays usable.
    std::unique_ptr<IRenderStream> s2;
    ASSERT_EQ(kOk, sys->OpenStream(kOut, info.mixFormat, 0, &s2));
    EXPECT_EQ(kOk, s2->GetStatus());
    ASSERT_EQ(kOk, s2->Start());
    ASSERT_EQ(kOk, sys->SetEndpointState(kOut, kStateDisabled));
    EXPECT_EQ(kInvalidated, s2->GetStatus());
    EXPECT_EQ(kInvalidated, sys->OpenStream(kOut, info.mixFormat, 0, &s));
    ASSERT_EQ(kOk, sys->SetEndpointState(kOut, kStateActive));
    ASSERT_EQ(kOk, sys->OpenStream(kOut, info.mixFormat, 0, &s));
    ASSERT_EQ(kOk, sys->RemoveEndpoint(kOut));
    EXPECT_EQ(kInvalidated, s->GetStatus());
    // A stream may outlive the system that made it.
    ASSERT_EQ(kOk, sys->AddEndpoint(VirtualSoundSystem::MakeEndpoint(kOut, u"Virtual Output")));
    ASSERT_EQ(kOk, sys->OpenStream(kOut, info.mixFormat, 0, &s));
    ASSERT_EQ(kOk, s->Start());
    sys.reset();
    EXPECT_EQ(kInvalidated, s->GetStatus());
}

TEST(SoundSystemSelection, ChoosesAndReplacesProcessWideSystem) {
    KvaSoundSystemConfig config{KvaSoundSystemKind::Virtual};
    ASSERT_EQ(0, CMediaPlayerFactory::SelectSoundSystem(config));
    auto sys = GetSoundSystem();
    ASSERT_TRUE(sys);
    EXPECT_STREQ("virtual", sys->Name());
    const std::string id = sys->GetDefaultEndpoint();
    EXPECT_EQ(VirtualSoundSystem::kDefaultId, id);
    EndpointInfo info;
    ASSERT_TRUE(sys->GetEndpoint(id, &info));
    EXPECT_EQ(u"Virtual Output", info.friendlyName);
    EXPECT_FALSE(static_cast<VirtualSoundSystem*>(sys.get())->IsFast());

    config.kind = KvaSoundSystemKind::VirtualWav;  // no path
    EXPECT_EQ(kInvalidArg, SelectSoundSystem(config));
    config.wavPath = "/nonexistent-dir/x.wav";
    EXPECT_EQ(kFailed, SelectSoundSystem(config));
    config.kind = static_cast<KvaSoundSystemKind>(42);
    EXPECT_EQ(kInvalidArg, SelectSoundSystem(config));
    EXPECT_EQ(sys, GetSoundSystem()) << "a failed selection keeps the current system";

    auto mine = std::make_shared<VirtualSoundSystem>(true);
    SetSoundSystem(mine);
    EXPECT_EQ(mine, GetSoundSystem());
    config = KvaSoundSystemConfig{KvaSoundSystemKind::Virtual, nullptr, true};  // fast
    ASSERT_EQ(0, SelectSoundSystem(config));
    EXPECT_TRUE(static_cast<VirtualSoundSystem*>(GetSoundSystem().get())->IsFast());
    SetSoundSystem(nullptr);
}

}  // namespace
