// The player's output-device handling on the virtual sound system: failover when the endpoint in
// use goes, following the default, the device list and the audio session tag.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "KvaAudioPlayer.h"
#include "common/RecordingObserver.h"
#include "common/TestPaths.h"
#include "common/TestProcess.h"
#include "device/AudioDevice.h"
#include "device/Wasapi.h"
#include "platform/SoundSystem.h"
#include "platform/VirtualSoundSystem.h"
#include "player/CKVAAudioPlayer.h"
#include "support/TextUtil.h"

using namespace kva_audioplayer;
using kva_test::RecordingObserver;
using kva_test::WaitUntil;

namespace {

// A ten-second tone, so that playback outlasts the device changes of a test.
std::string LongMedia() {
    static std::string path;
    if (path.empty()) {
        std::string dir = kva_test::MakeTempDir("kvadevice");
        path = dir + "/long.wav";
        if (!kva_test::MakeSineWav(path, 10, 330)) path.clear();
    }
    return path;
}

// Released before the observer it reports to, also when an assertion ends the test early.
struct ReleasePlayer {
    void operator()(IKVAPlayer* p) const {
        if (p) p->Release();
    }
};
using PlayerPtr = std::unique_ptr<IKVAPlayer, ReleasePlayer>;

class PlayerDevice : public ::testing::Test {
protected:
    void SetUp() override {
        system = std::make_shared<snd::VirtualSoundSystem>(false);  // real time
        system->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("a", u"Output A"), true);
        system->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("b", u"Output B"));
        system->SetCapture("a", true);
        system->SetCapture("b", true);
        snd::SetSoundSystem(system);
    }
    void TearDown() override { snd::SetSoundSystem(nullptr); }

    PlayerPtr Playing(RecordingObserver& obs) {
        std::string media = LongMedia();
        EXPECT_FALSE(media.empty());
        PlayerPtr p(CMediaPlayerFactory::NewL(&obs));
        p->SetStartFadeTime(0);
        p->SetDataSource(media.c_str());
        p->PrepareAsync();
        EXPECT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPrepared, 5000));
        p->Play(false);
        EXPECT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStarted, 5000));
        return p;
    }
    size_t Captured(const char* id) { return system->GetCaptured(id).size(); }

    std::shared_ptr<snd::VirtualSoundSystem> system;
};

}  // namespace

TEST_F(PlayerDevice, ListShowsDefaultEntryThenEndpointsSameChoicePostsNothingAddedIsListed) {
    RecordingObserver obs;
    PlayerPtr p = Playing(obs);
    ASSERT_EQ(9, p->GetOutputDeviceCount());  // three drivers, each a default entry and two
    DeviceRecord r;
    ASSERT_TRUE(p->GetOutputDeviceInfo(0, &r));
    EXPECT_EQ(std::u16string(Wasapi::kDefaultEntryName), r.szName);
    EXPECT_EQ(1, r.bDefault);
    ASSERT_TRUE(p->GetOutputDeviceInfo(2, &r));
    EXPECT_EQ(std::u16string(u"Output B"), r.szName);
    EXPECT_FALSE(p->GetOutputDeviceInfo(9, &r));
    // Each output keeps its endpoint's id under every type; only endpoint a is the default.
    for (int32_t i = 0; i < 9; ++i) {
        char id[8];
        bool isDefault = true;
        const char* want[] = {"default", "a", "b"};
        ASSERT_EQ(static_cast<int32_t>(strlen(want[i % 3])), p->GetOutputDeviceId(i, id, sizeof id, &isDefault)) << i;
        EXPECT_STREQ(want[i % 3], id) << i;
        EXPECT_EQ(i % 3 == 1, isDefault) << i;
    }
    EXPECT_EQ(-1, p->GetOutputDeviceId(9, nullptr, 0, nullptr));
    ASSERT_TRUE(p->GetCurrentOutputDevice(&r));
    EXPECT_EQ(std::u16string(Wasapi::kDefaultEntryName), r.szName);

    auto* player = dynamic_cast<CKVAAudioPlayer*>(p.get());
    ASSERT_NE(nullptr, player);
    ASSERT_NE(nullptr, player->CurrentDeviceForTest());
    uint32_t made = player->DevicesMade();
    p->SetOutputDevice(kDeviceTypeWasapi, Wasapi::kDefaultEntryName);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(made, player->DevicesMade());
    EXPECT_EQ(0, obs.Count(kNotifyStatus, kStatusPaused));
    // An endpoint that appears is announced and listed under each type.
    system->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("usb", u"USB Output"));
    ASSERT_TRUE(obs.WaitFor(kNotifyDeviceEvent, kDeviceEventAdded, 5000));
    EXPECT_EQ(12, p->GetOutputDeviceCount());
    p.reset();
}

TEST_F(PlayerDevice, ChoosingAnotherDeviceMovesPlayback) {
    RecordingObserver obs;
    PlayerPtr p = Playing(obs);
    ASSERT_TRUE(WaitUntil([&] { return Captured("a") > 0; }));
    // An unknown name changes nothing.
    EXPECT_EQ(kErrorInvalidArgument, p->SetOutputDevice(kDeviceTypeWasapi, u"No Such Output"));
    EXPECT_EQ(kErrorInvalidArgument, p->SetOutputDeviceById(kDeviceTypeWasapi, "nope"));
    EXPECT_EQ(0, p->SetOutputDeviceById(kDeviceTypeWasapi, "b"));
    ASSERT_TRUE(WaitUntil([&] { return Captured("b") > 44100; }));
    DeviceRecord r;
    ASSERT_TRUE(p->GetCurrentOutputDevice(&r));
    EXPECT_EQ(std::u16string(u"Output B"), r.szName);
    EXPECT_EQ(0, r.bDefault);
    EXPECT_EQ(kStatusStarted, p->GetStatus());
    EXPECT_EQ(kDeviceTypeWasapi, p->GetOutputDeviceType());
    size_t a = Captured("a");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(a, Captured("a"));  // nothing more goes to the old device
    // The type asked for answers at once, not once the device has moved.
    p->SetOutputDeviceType(kDeviceTypeWaveOut);
    EXPECT_EQ(kDeviceTypeWaveOut, p->GetOutputDeviceType());
    p.reset();
}

TEST_F(PlayerDevice, RemovingTheEndpointInUseFailsOverWithoutError) {
    RecordingObserver obs;
    PlayerPtr p = Playing(obs);
    ASSERT_TRUE(WaitUntil([&] { return Captured("a") > 0; }));
    system->RemoveEndpoint("a");
    ASSERT_TRUE(obs.WaitFor(kNotifyDeviceEvent, kDeviceEventFailover, 5000));
    ASSERT_TRUE(WaitUntil([&] { return Captured("b") > 44100; }));
    // The monitor's own removal event follows.
    ASSERT_TRUE(obs.WaitFor(kNotifyDeviceEvent, kDeviceEventRemoved, 5000));
    // The default moved as well, so the device is made once more for the new default.
    size_t b = Captured("b");
    ASSERT_TRUE(WaitUntil([&] { return p->GetStatus() == kStatusStarted && Captured("b") > b + 44100; }));
    EXPECT_EQ(0, obs.Count(kNotifyStatus, kStatusError));
    EXPECT_EQ(0, obs.Count(kNotifyError));
    EXPECT_EQ(6, p->GetOutputDeviceCount());
    p.reset();
}

TEST_F(PlayerDevice, RemovingAChosenEndpointFallsBackToTheDefaultEntry) {
    RecordingObserver obs;
    PlayerPtr p = Playing(obs);
    p->SetOutputDevice(kDeviceTypeWasapi, u"Output B");
    ASSERT_TRUE(WaitUntil([&] { return Captured("b") > 0; }));
    size_t a = Captured("a");
    system->RemoveEndpoint("b");
    ASSERT_TRUE(obs.WaitFor(kNotifyDeviceEvent, kDeviceEventFailover, 5000));
    ASSERT_TRUE(WaitUntil([&] { return Captured("a") > a + 44100; }));
    DeviceRecord r;
    ASSERT_TRUE(p->GetCurrentOutputDevice(&r));
    EXPECT_EQ(1, r.bDefault);
    EXPECT_EQ(0, obs.Count(kNotifyStatus, kStatusError));
    p.reset();
}

TEST_F(PlayerDevice, DefaultChangeRecreatesADefaultFollowingDevice) {
    RecordingObserver obs;
    PlayerPtr p = Playing(obs);
    ASSERT_TRUE(WaitUntil([&] { return Captured("a") > 0; }));
    system->SetDefaultEndpoint("b");
    ASSERT_TRUE(WaitUntil([&] { return Captured("b") > 44100; }));
    EXPECT_EQ(kStatusStarted, p->GetStatus());
    EXPECT_EQ(0, obs.Count(kNotifyStatus, kStatusError));
    size_t a = Captured("a");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(a, Captured("a"));
    // Playback goes on where it was: position keeps advancing.
    int64_t t0 = p->GetCurrentPosition();
    ASSERT_TRUE(WaitUntil([&] { return p->GetCurrentPosition() > t0 + 200; }));
    p.reset();
}

// ---- the audio session tag ----

TEST(SessionTag, VersionFourVariantOneAndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        std::string tag = MakeSessionTag();
        ASSERT_EQ(36u, tag.size()) << tag;
        for (size_t k : {8u, 13u, 18u, 23u}) EXPECT_EQ('-', tag[k]) << tag;
        EXPECT_EQ('4', tag[14]) << tag;
        EXPECT_NE(std::string::npos, std::string("89ab").find(tag[19])) << tag;
        for (size_t k = 0; k < tag.size(); ++k) {
            if (k == 8 || k == 13 || k == 18 || k == 23) continue;
            EXPECT_TRUE(isxdigit(static_cast<unsigned char>(tag[k])) && !isupper(tag[k])) << tag;
        }
        seen.insert(tag);
    }
    EXPECT_EQ(200u, seen.size());
}

TEST_F(PlayerDevice, SessionTagIsMadeOncePerPlayerAndReachesEveryDevice) {
    RecordingObserver obs;
    PlayerPtr p = Playing(obs);
    auto* player = dynamic_cast<CKVAAudioPlayer*>(p.get());
    ASSERT_NE(nullptr, player);
    std::string tag = player->GetSessionTag();
    ASSERT_EQ(36u, tag.size());
    GUID expected, got;
    ASSERT_TRUE(ParseSessionTag(tag.c_str(), &expected));
    auto* first = dynamic_cast<Wasapi*>(player->CurrentDeviceForTest());
    ASSERT_NE(nullptr, first);
    ASSERT_TRUE(first->GetSessionGuid(&got));
    EXPECT_TRUE(got == expected);

    // A headset change drops the device and makes a new one with the same tag.
    uint32_t made = player->DevicesMade();
    p->NotifyHeadSetChanged(1);
    ASSERT_TRUE(WaitUntil([&] {
        return player->DevicesMade() > made && player->CurrentDeviceForTest() != nullptr;
    }));
    auto* second = dynamic_cast<Wasapi*>(player->CurrentDeviceForTest());
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(tag, player->GetSessionTag());
    ASSERT_TRUE(second->GetSessionGuid(&got));
    EXPECT_TRUE(got == expected);

    // Another player draws its own.
    RecordingObserver obs2;
    PlayerPtr p2 = Playing(obs2);
    std::string other = dynamic_cast<CKVAAudioPlayer*>(p2.get())->GetSessionTag();
    EXPECT_EQ(36u, other.size());
    EXPECT_NE(tag, other);
    p2.reset();
    p.reset();
}

TEST_F(PlayerDevice, LosingTheLastEndpointEndsInErrorStatus) {
    RecordingObserver obs;
    PlayerPtr p = Playing(obs);
    ASSERT_TRUE(WaitUntil([&] { return Captured("a") > 0; }));
    system->RemoveEndpoint("b");
    system->RemoveEndpoint("a");
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusError, 5000));
    EXPECT_EQ(1, obs.Count(kNotifyError, kErrorDeviceOpen));
    EXPECT_EQ(0, obs.Count(kNotifyDeviceEvent, kDeviceEventFailover));
    EXPECT_EQ(kStatusError, p->GetStatus());
    p.reset();
}

TEST_F(PlayerDevice, TolerantTypeDropsTheDeviceWithoutErrorStatus) {
    RecordingObserver obs;
    PlayerPtr p(CMediaPlayerFactory::NewL(&obs));
    p->SetStartFadeTime(0);
    p->SetOutputDeviceType(1);
    p->SetDataSource(LongMedia().c_str());
    p->PrepareAsync();
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPrepared, 5000));
    p->Play(false);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStarted, 5000));
    EXPECT_EQ(1, p->GetOutputDeviceType());
    ASSERT_TRUE(WaitUntil([&] { return Captured("a") > 0; }));
    system->InvalidateEndpoint("a");
    ASSERT_TRUE(obs.WaitFor(kNotifyDeviceFailure, kDeviceOpenFailed, 5000));
    auto* player = dynamic_cast<CKVAAudioPlayer*>(p.get());
    ASSERT_TRUE(WaitUntil([&] { return player->CurrentDeviceForTest() == nullptr; }));
    EXPECT_EQ(0, obs.Count(kNotifyStatus, kStatusError));
    EXPECT_NE(kStatusError, p->GetStatus());
    p.reset();
}

TEST_F(PlayerDevice, SameHeadsetStateTwiceRecreatesOnceAndPausedPlayerReopensOnPlay) {
    RecordingObserver obs;
    PlayerPtr p = Playing(obs);
    auto* player = dynamic_cast<CKVAAudioPlayer*>(p.get());
    uint32_t made = player->DevicesMade();
    p->NotifyHeadSetChanged(2);
    p->NotifyHeadSetChanged(2);
    ASSERT_TRUE(WaitUntil([&] { return player->DevicesMade() > made; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(made + 1, player->DevicesMade());

    ASSERT_TRUE(WaitUntil([&] { return p->GetCurrentPosition() > 1500; }));
    p->Pause(false);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPaused, 5000));
    int64_t pos = p->GetCurrentPosition();
    p->NotifyHeadSetChanged(0);
    ASSERT_TRUE(WaitUntil([&] { return player->CurrentDeviceForTest() == nullptr; }));
    p->Play(false);
    ASSERT_TRUE(WaitUntil([&] { return player->CurrentDeviceForTest() != nullptr; }));
    EXPECT_GE(p->GetCurrentPosition(), pos - 50);  // resumed where it was, not from the start
    ASSERT_TRUE(WaitUntil([&] { return p->GetCurrentPosition() > pos + 100; }));
    EXPECT_GT(Captured("a"), 0u);
    EXPECT_EQ(0, obs.Count(kNotifyStatus, kStatusError));
    p.reset();
}
