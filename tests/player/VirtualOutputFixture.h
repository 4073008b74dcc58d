// The set-up most player tests share: a fast virtual output with one default endpoint "out"
// whose rendering is captured, and players on it that log nothing and start without a fade.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "KvaAudioPlayer.h"
#include "common/JoinCheck.h"
#include "common/RecordingObserver.h"
#include "common/TestPaths.h"
#include "platform/SoundSystem.h"
#include "platform/VirtualSoundSystem.h"

namespace kva_test {

class VirtualOutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        system = std::make_shared<kva_audioplayer::snd::VirtualSoundSystem>(true);
        system->AddEndpoint(kva_audioplayer::snd::VirtualSoundSystem::MakeEndpoint("out", u"Test Output"), true);
        system->SetCapture("out", true);
        kva_audioplayer::snd::SetSoundSystem(system);
    }
    void TearDown() override {
        if (player) player->Release();
        kva_audioplayer::snd::SetSoundSystem(nullptr);
    }

    static kva_audioplayer::IKVAPlayer* NewPlayer(RecordingObserver* observer) {
        kva_audioplayer::IKVAPlayer* p = kva_audioplayer::CMediaPlayerFactory::NewL(observer);
        p->SetLogConfig(false, 100);
        p->SetStartFadeTime(0);
        return p;
    }
    // Prepares the fixture on `player` (made on first use, reporting to obs).
    void Prepare(const char* fixture) {
        if (!player) player = NewPlayer(&obs);
        player->SetDataSource(FixturePath(fixture).c_str());
        player->PrepareAsync();
        ASSERT_TRUE(obs.WaitFor(kva_audioplayer::kNotifyStatus, kva_audioplayer::kStatusPrepared, 5000)) << fixture;
    }
    void PlayToTheEnd() {
        player->Play(false);
        ASSERT_TRUE(obs.WaitFor(kva_audioplayer::kNotifyPlaybackCompleted, RecordingObserver::kAny, 10000));
    }
    std::vector<float> Captured() { return FloatsFromBytes(system->GetCaptured("out")); }

    std::shared_ptr<kva_audioplayer::snd::VirtualSoundSystem> system;
    RecordingObserver obs;
    kva_audioplayer::IKVAPlayer* player = nullptr;
};

}  // namespace kva_test
