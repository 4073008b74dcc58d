// The set-up the player tests share: a virtual output with one default endpoint "out" whose
// rendering is captured, and a player on it that logs nothing and starts without a fade.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KvaAudioPlayer.h"
#include "common/JoinCheck.h"
#include "common/MemorySourceIO.h"
#include "common/RecordingObserver.h"
#include "common/ReferenceDecode.h"
#include "common/TestPaths.h"
#include "common/TestProcess.h"
#include "platform/SoundSystem.h"
#include "platform/VirtualSoundSystem.h"

namespace kva_test {

inline std::vector<uint8_t> Bytes(const std::string& fixture) { return ReadBytes(FixturePath(fixture)); }
inline MemorySourceIO* Memory(const std::string& fixture, uint32_t id) {
    return new MemorySourceIO(Bytes(fixture), id);
}
inline const std::vector<float>& Ref(const std::string& fixture) {
    return CachedReferenceF32Stereo(FixturePath(fixture));
}
inline void DeleteSource(kva_audioplayer::IKVASourceIO* source) { delete source; }
// A release function that counts its calls.
inline int gReleased = 0;
inline void CountRelease(kva_audioplayer::IKVASourceIO* source) { ++gReleased, delete source; }

// Whether `ref` is in `got` whole, from its first frame, after the device's pre-roll; the frame
// where it starts, or -1 (a failure) when it is not.
inline long HeardWhole(const std::vector<float>& got, const std::vector<float>& ref) {
    const long start = LocateStart(got, ref);
    EXPECT_GE(start, 0) << "the track's start is not heard";
    if (start < 0) return -1;
    const long bad = FirstMismatch(got, start, ref, 0, ref.size() / 2);
    EXPECT_EQ(bad, -1) << "the track differs";
    return bad == -1 ? start : -1;
}

class VirtualOutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        system = std::make_shared<kva_audioplayer::snd::VirtualSoundSystem>(true);
        system->AddEndpoint(kva_audioplayer::snd::VirtualSoundSystem::MakeEndpoint("out", u"Test Output"), true);
        system->SetCapture("out", true);
        kva_audioplayer::snd::SetSoundSystem(system);
    }
    void TearDown() override { Release(); kva_audioplayer::snd::SetSoundSystem(nullptr); }
    void Release() { if (player) player->Release(); player = nullptr; }

    static kva_audioplayer::IKVAPlayer* NewPlayer(RecordingObserver* observer) {
        kva_audioplayer::IKVAPlayer* p = kva_audioplayer::CMediaPlayerFactory::NewL(observer);
        p->SetLogConfig(false, 100);
        p->SetStartFadeTime(0);
        return p;
    }
    // A new player on obs, the old one released, its notifications and capture forgotten.
    kva_audioplayer::IKVAPlayer* Fresh() {
        Release();
        obs.Clear();
        system->ClearCaptured("out");
        return player = NewPlayer(&obs);
    }
    kva_audioplayer::IKVAPlayer* Player() { return player ? player : player = NewPlayer(&obs); }  // made on first use
    // Prepares the fixture (or a host source) on Player().
    void Prepare(const std::string& fixture) {
        Player()->SetDataSource(FixturePath(fixture).c_str());
        Prepared(fixture);
    }
    void Prepare(kva_audioplayer::IKVASourceIO* source, kva_audioplayer::KVASourceRelease release = nullptr) {
        Player()->SetSourceIO(source, release);
        Prepared("a host source");
    }
    // Each waits for its own notice: a test that prepares or plays again has the earlier ones.
    void Play() {
        const int before = obs.Count(kva_audioplayer::kNotifyStatus, kva_audioplayer::kStatusStarted);
        player->Play(false);
        ASSERT_TRUE(obs.WaitFor(kva_audioplayer::kNotifyStatus, kva_audioplayer::kStatusStarted, 5000, before + 1));
    }
    void Pause(bool fade = false) {
        player->Pause(fade);
        ASSERT_TRUE(obs.WaitFor(kva_audioplayer::kNotifyStatus, kva_audioplayer::kStatusPaused, 5000));
    }
    void PlayToTheEnd() {
        player->Play(false);
        ASSERT_TRUE(obs.WaitFor(kva_audioplayer::kNotifyPlaybackCompleted, RecordingObserver::kAny, 10000));
    }
    // "out" mixing in integers of `bits` (16 or 32): the player then renders in them.
    void UseIntegerOutput(int bits) {
        auto info = kva_audioplayer::snd::VirtualSoundSystem::MakeEndpoint("out", u"Test Output");
        info.mixFormat.bitsPerSample = intBits = bits;
        info.mixFormat.isFloat = false;
        system->RemoveEndpoint("out");
        system->AddEndpoint(info, true);
        system->SetCapture("out", true);
    }
    // The capture as float samples, whatever the output format.
    std::vector<float> Captured(const char* endpoint = "out") {
        const std::vector<uint8_t> bytes = system->GetCaptured(endpoint);
        if (!intBits) return FloatsFromBytes(bytes);
        std::vector<float> out(bytes.size() * 8 / intBits);
        for (size_t i = 0; i < out.size(); ++i) {
            int32_t v = 0;
            memcpy(reinterpret_cast<char*>(&v) + 4 - intBits / 8, &bytes[i * intBits / 8], intBits / 8);
            out[i] = float(v / 2147483648.0);
        }
        return out;
    }
    size_t CapturedFrames(const char* endpoint = "out") {
        return system->GetCaptured(endpoint).size() / (intBits ? intBits / 4 : 8);
    }
    // In real time: until the endpoint has played `frames`.
    bool WaitCaptured(size_t frames, const char* endpoint = "out") {
        return WaitUntil([&] { return CapturedFrames(endpoint) >= frames; });
    }
    // Index of the first notification (id, param1); -1 when none.
    static int Find(const std::vector<Notification>& all, int32_t id, int32_t p1) {
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i].id == id && (p1 == RecordingObserver::kAny || all[i].param1 == p1)) return int(i);
        return -1;
    }
    // The text of the first notification (id, param1).
    std::string TextOf(int32_t id, int32_t p1) {
        const auto all = obs.All();
        const int i = Find(all, id, p1);
        return i < 0 ? "(none)" : all[i].text;
    }
    // The capture as `oldRef` from its start, then a linear cross-fade into `newRef`.
    CrossFadeLayout CrossFadeHeard(const std::vector<float>& oldRef, const std::vector<float>& newRef, long* start) {
        const std::vector<float> got = Captured();
        *start = LocateStart(got, oldRef);
        EXPECT_GE(*start, 0) << "the old track's start is not heard";
        CrossFadeLayout x = AnalyseCrossFade(got, std::max(*start, 0L), oldRef, newRef, 1e-4f);
        EXPECT_EQ(x.error, "");
        EXPECT_EQ(x.mismatch, -1) << "not the linear mix";
        return x;
    }

    std::shared_ptr<kva_audioplayer::snd::VirtualSoundSystem> system;
    RecordingObserver obs;
    kva_audioplayer::IKVAPlayer* player = nullptr;
    int intBits = 0;  // the integer output in use, 0: float

private:
    void Prepared(const std::string& what) {
        const int before = obs.Count(kva_audioplayer::kNotifyStatus, kva_audioplayer::kStatusPrepared);
        player->PrepareAsync();
        ASSERT_TRUE(obs.WaitFor(kva_audioplayer::kNotifyStatus, kva_audioplayer::kStatusPrepared, 5000, before + 1)) << what;
    }
};

}  // namespace kva_test

// The folder's tests name the engine and the harness unqualified.
using namespace kva_audioplayer;
using namespace kva_test;
