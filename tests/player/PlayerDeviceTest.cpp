// The player's output devices on the virtual sound system, in real time.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "device/Wasapi.h"
#include "player/CKVAAudioPlayer.h"
#include "player/VirtualOutputFixture.h"

using namespace kva_audioplayer;
using namespace kva_test;

namespace {

// A ten-second tone, so that playback outlasts the device changes of a test.
std::string LongMedia() {
    static std::string path;
    if (path.empty()) {
        path = MakeTempDir("kvadevice") + "/long.wav";
        if (!MakeSineWav(path, 10, 330)) path.clear();
    }
    return path;
}

// Endpoints "out" (the default, "Test Output") and "b" ("Output B"), both captured.
class PlayerDevice : public VirtualOutputTest {
protected:
    void SetUp() override {
        VirtualOutputTest::SetUp();
        system->SetFast(false);
        system->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("b", u"Output B"));
        system->SetCapture("b", true);
    }
    // A new `player` playing the long tone, heard.
    void Playing(int32_t type = kDeviceTypeWasapi) {
        Fresh()->SetOutputDeviceType(type);
        player->SetDataSource(LongMedia().c_str());
        player->PrepareAsync();
        ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPrepared, 5000));
        Play();
        ASSERT_TRUE(WaitCaptured(1));
    }
    CKVAAudioPlayer* Impl() { return dynamic_cast<CKVAAudioPlayer*>(player); }
    // Nothing more arrives at `endpoint` for 200 ms.
    void ExpectSilent(const char* endpoint) {
        const size_t before = CapturedFrames(endpoint);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(before, CapturedFrames(endpoint)) << endpoint;
    }
    std::u16string CurrentName() {
        DeviceRecord r{};
        return player->GetCurrentOutputDevice(&r) ? std::u16string(r.szName) : u"(none)";
    }
};

}  // namespace

// The names, ids and default marks of the list are checked through kvaplay --list-devices.
TEST_F(PlayerDevice, ListEndsAtItsLengthSameChoicePostsNothingAddedIsListed) {
    Playing();
    ASSERT_EQ(9, player->GetOutputDeviceCount());  // three drivers, each a default entry and two
    DeviceRecord r;
    EXPECT_FALSE(player->GetOutputDeviceInfo(9, &r));
    EXPECT_EQ(-1, player->GetOutputDeviceId(9, nullptr, 0, nullptr));
    EXPECT_EQ(std::u16string(Wasapi::kDefaultEntryName), CurrentName());
    // The device in use chosen again: nothing is made anew, nothing paused.
    ASSERT_NE(nullptr, Impl()->CurrentDeviceForTest());
    const uint32_t made = Impl()->DevicesMade();
    player->SetOutputDevice(kDeviceTypeWasapi, Wasapi::kDefaultEntryName);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(made, Impl()->DevicesMade());
    EXPECT_EQ(0, obs.Count(kNotifyStatus, kStatusPaused));
    // An endpoint that appears is announced and listed under each type.
    system->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("usb", u"USB Output"));
    ASSERT_TRUE(obs.WaitFor(kNotifyDeviceEvent, kDeviceEventAdded, 5000));
    EXPECT_EQ(12, player->GetOutputDeviceCount());
}

TEST_F(PlayerDevice, ChoosingAnotherDeviceOrANewDefaultMovesPlayback) {
    Playing();
    // An unknown name or id changes nothing.
    EXPECT_EQ(kErrorInvalidArgument, player->SetOutputDevice(kDeviceTypeWasapi, u"No Such Output"));
    EXPECT_EQ(kErrorInvalidArgument, player->SetOutputDeviceById(kDeviceTypeWasapi, "nope"));
    EXPECT_EQ(0, player->SetOutputDeviceById(kDeviceTypeWasapi, "b"));
    ASSERT_TRUE(WaitCaptured(4410, "b"));
    DeviceRecord r;
    ASSERT_TRUE(player->GetCurrentOutputDevice(&r));
    EXPECT_EQ(std::u16string(u"Output B"), r.szName);
    EXPECT_EQ(0, r.bDefault);
    EXPECT_EQ(kStatusStarted, player->GetStatus());
    EXPECT_EQ(kDeviceTypeWasapi, player->GetOutputDeviceType());
    ExpectSilent("out");  // nothing more goes to the old device
    // The type asked for answers at once, not once the device has moved.
    player->SetOutputDeviceType(kDeviceTypeWaveOut);
    EXPECT_EQ(kDeviceTypeWaveOut, player->GetOutputDeviceType());

    // A default-following device is made anew on the new default; playback goes on.
    Playing();
    system->SetDefaultEndpoint("b");
    ASSERT_TRUE(WaitCaptured(CapturedFrames("b") + 4410, "b"));
    EXPECT_EQ(kStatusStarted, player->GetStatus());
    EXPECT_EQ(0, obs.Count(kNotifyStatus, kStatusError));
    ExpectSilent("out");
    const int64_t t0 = player->GetCurrentPosition();
    ASSERT_TRUE(WaitUntil([&] { return player->GetCurrentPosition() > t0 + 200; }));
}

// Two outputs of the same name: the second is listed with its id after the name, and each plays
// where its id says, under every driver.
TEST_F(PlayerDevice, OutputsOfTheSameNameAreChosenByTheirIds) {
    system->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("b2", u"Output B"));
    system->SetCapture("b2", true);
    for (int32_t type : {kDeviceTypeWasapi, kDeviceTypeDirectSound, kDeviceTypeWaveOut}) {
        SCOPED_TRACE(type);
        Playing(type);
        std::set<std::pair<std::string, std::u16string>> outputs;
        for (int32_t i = 0, n = player->GetOutputDeviceCount(); i < n; ++i) {
            DeviceRecord r;
            char id[16];
            if (player->GetOutputDeviceInfo(i, &r) && r.nType == type &&
                player->GetOutputDeviceId(i, id, sizeof id, nullptr) > 0 && id[0] == 'b')
                outputs.insert({id, r.szName});
        }
        EXPECT_EQ(outputs, (std::set<std::pair<std::string, std::u16string>>{{"b", u"Output B"}, {"b2", u"Output B (b2)"}}));
        for (const char* id : {"b2", "b"}) {
            ASSERT_EQ(0, player->SetOutputDeviceById(type, id));
            ASSERT_TRUE(WaitCaptured(CapturedFrames(id) + 4410, id)) << id;
            ExpectSilent(id[1] ? "b" : "b2");
            EXPECT_EQ(id[1] ? u"Output B (b2)" : u"Output B", CurrentName());
        }
    }
}

TEST_F(PlayerDevice, RemovingTheEndpointInUseFailsOverWithoutError) {
    Playing();
    system->RemoveEndpoint("out");
    ASSERT_TRUE(obs.WaitFor(kNotifyDeviceEvent, kDeviceEventFailover, 5000));
    ASSERT_TRUE(obs.WaitFor(kNotifyDeviceEvent, kDeviceEventRemoved, 5000));  // the monitor's own
    // The default moved as well, so the device is made once more for the new default.
    const size_t from = CapturedFrames("b");
    ASSERT_TRUE(WaitUntil([&] { return player->GetStatus() == kStatusStarted && CapturedFrames("b") > from + 4410; }));
    EXPECT_EQ(0, obs.Count(kNotifyStatus, kStatusError));
    EXPECT_EQ(0, obs.Count(kNotifyError));
    EXPECT_EQ(6, player->GetOutputDeviceCount());
}

TEST_F(PlayerDevice, RemovingAChosenEndpointFallsBackToTheDefaultEntry) {
    Playing();
    player->SetOutputDevice(kDeviceTypeWasapi, u"Output B");
    ASSERT_TRUE(WaitCaptured(1, "b"));
    const size_t before = CapturedFrames("out");
    system->RemoveEndpoint("b");
    ASSERT_TRUE(obs.WaitFor(kNotifyDeviceEvent, kDeviceEventFailover, 5000));
    ASSERT_TRUE(WaitCaptured(before + 4410));
    DeviceRecord r;
    ASSERT_TRUE(player->GetCurrentOutputDevice(&r));
    EXPECT_EQ(1, r.bDefault);
    EXPECT_EQ(0, obs.Count(kNotifyStatus, kStatusError));
}

TEST_F(PlayerDevice, LosingTheLastEndpointEndsInErrorStatus) {
    Playing();
    system->RemoveEndpoint("b");
    system->RemoveEndpoint("out");
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusError, 5000));
    EXPECT_EQ(1, obs.Count(kNotifyError, kErrorDeviceOpen));
    EXPECT_EQ(0, obs.Count(kNotifyDeviceEvent, kDeviceEventFailover));
    EXPECT_EQ(kStatusError, player->GetStatus());
}

TEST_F(PlayerDevice, TolerantTypeDropsTheDeviceWithoutErrorStatus) {
    Playing(1);
    EXPECT_EQ(1, player->GetOutputDeviceType());
    system->InvalidateEndpoint("out");
    ASSERT_TRUE(obs.WaitFor(kNotifyDeviceFailure, kDeviceOpenFailed, 5000));
    ASSERT_TRUE(WaitUntil([&] { return Impl()->CurrentDeviceForTest() == nullptr; }));
    EXPECT_EQ(0, obs.Count(kNotifyStatus, kStatusError));
    EXPECT_NE(kStatusError, player->GetStatus());
}

// The device is made anew once for the same headset state told twice, with the player's session
// tag; paused, a headset change drops the device and Play makes one again where it was.
TEST_F(PlayerDevice, SameHeadsetStateTwiceRecreatesOnceAndPausedPlayerReopensOnPlay) {
    Playing();
    GUID expected, got;
    ASSERT_TRUE(ParseSessionTag(Impl()->GetSessionTag().c_str(), &expected));
    const uint32_t made = Impl()->DevicesMade();
    player->NotifyHeadSetChanged(2);
    player->NotifyHeadSetChanged(2);
    ASSERT_TRUE(WaitUntil([&] { return Impl()->DevicesMade() > made && Impl()->CurrentDeviceForTest(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(made + 1, Impl()->DevicesMade());
    auto* device = dynamic_cast<Wasapi*>(Impl()->CurrentDeviceForTest());
    ASSERT_NE(nullptr, device);
    ASSERT_TRUE(device->GetSessionGuid(&got));
    EXPECT_TRUE(got == expected);

    ASSERT_TRUE(WaitUntil([&] { return player->GetCurrentPosition() > 1500; }));
    player->Pause(false);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPaused, 5000));
    const int64_t pos = player->GetCurrentPosition();
    player->NotifyHeadSetChanged(0);
    ASSERT_TRUE(WaitUntil([&] { return Impl()->CurrentDeviceForTest() == nullptr; }));
    player->Play(false);
    ASSERT_TRUE(WaitUntil([&] { return Impl()->CurrentDeviceForTest() != nullptr; }));
    EXPECT_GE(player->GetCurrentPosition(), pos - 50);  // resumed where it was, not from the start
    ASSERT_TRUE(WaitUntil([&] { return player->GetCurrentPosition() > pos + 100; }));
    EXPECT_GT(CapturedFrames(), 0u);
    EXPECT_EQ(0, obs.Count(kNotifyStatus, kStatusError));
}

// A version-4, variant-1 UUID, its own for each player.
TEST_F(PlayerDevice, SessionTagsAreDistinctUuids) {
    const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) EXPECT_TRUE(std::regex_match(*seen.insert(MakeSessionTag()).first, uuid));
    EXPECT_EQ(200u, seen.size());
    std::unique_ptr<IKVAPlayer, void (*)(IKVAPlayer*)> other(NewPlayer(nullptr), [](IKVAPlayer* p) { p->Release(); });
    Playing();
    EXPECT_TRUE(std::regex_match(Impl()->GetSessionTag(), uuid));
    EXPECT_NE(Impl()->GetSessionTag(), dynamic_cast<CKVAAudioPlayer*>(other.get())->GetSessionTag());
}
