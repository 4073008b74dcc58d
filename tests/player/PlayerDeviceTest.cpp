// The player's output devices on the virtual sound system, in real time.
#include <regex>
#include <set>

#include "device/Wasapi.h"
#include "player/CKVAAudioPlayer.h"
#include "player/VirtualOutputFixture.h"

namespace {

// Ten seconds of 44.1 kHz stereo 16-bit frames, each carrying its own number (low half left,
// high half right), so that the capture tells which media frame was played last.
std::vector<uint8_t> NumberedWav() {
    const uint32_t frames = 441000, bytes = frames * 4;
    std::vector<uint8_t> w(44 + bytes);
    const uint32_t head[] = {0x46464952, 36 + bytes, 0x45564157, 0x20746d66, 16, 0x00020001, 44100, 176400, 0x00100004, 0x61746164, bytes};
    memcpy(w.data(), head, sizeof head);
    for (uint32_t i = 0; i < frames; ++i) {
        const uint16_t half[] = {uint16_t((i & 0xFFFF) ^ 0x8000), uint16_t((i >> 16) ^ 0x8000)};
        memcpy(&w[44 + i * 4], half, 4);
    }
    return w;
}
int64_t FrameNumber(const float* f) {
    auto half = [](float v) { return int64_t(std::lround(v * 32768.0f)) + 32768; };
    return half(f[0]) | half(f[1]) << 16;
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
    // A new `player` playing ten seconds or more (outlasting the device changes of a test), heard;
    // numbered: each frame carries its own number.
    void Playing(int32_t type = kDeviceTypeWasapi, bool numbered = false) {
        Fresh()->SetOutputDeviceType(type);
        if (numbered) Prepare(new MemorySourceIO(NumberedWav()), DeleteSource);
        else Prepare("long.flac");
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
    // The media time (ms) of the last frame `endpoint` played.
    int64_t HeardMs(const char* endpoint = "out") {
        const std::vector<float> got = Captured(endpoint);
        return got.size() < 2 ? -1 : FrameNumber(&got[got.size() - 2]) * 1000 / 44100;
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
    EXPECT_EQ(std::make_tuple(made, 0), std::make_tuple(Impl()->DevicesMade(), obs.Count(kNotifyStatus, kStatusPaused)));
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
    EXPECT_EQ(std::make_tuple(std::u16string(u"Output B"), 0), std::make_tuple(r.szName, r.bDefault));
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
    EXPECT_EQ(std::make_tuple(kStatusStarted, 0), std::make_tuple(player->GetStatus(), obs.Count(kNotifyStatus, kStatusError)));
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

// The default moves with the loss too: the device made by the failover is on it already, and
// is not made again for the move.
TEST_F(PlayerDevice, RemovingTheEndpointInUseFailsOverWithoutError) {
    Playing();
    const uint32_t made = Impl()->DevicesMade();
    system->RemoveEndpoint("out");
    ASSERT_TRUE(obs.WaitFor(kNotifyDeviceEvent, kDeviceEventFailover, 5000));
    ASSERT_TRUE(obs.WaitFor(kNotifyDeviceEvent, kDeviceEventRemoved, 5000));  // the monitor's own
    const size_t from = CapturedFrames("b");
    ASSERT_TRUE(WaitUntil([&] { return player->GetStatus() == kStatusStarted && CapturedFrames("b") > from + 4410; }));
    EXPECT_EQ(made + 1, Impl()->DevicesMade());
    EXPECT_EQ((std::vector<int>{1, 0, 0, 6}), (std::vector<int>{obs.Count(kNotifyDeviceEvent, kDeviceEventFailover),
        obs.Count(kNotifyStatus, kStatusError), obs.Count(kNotifyError), player->GetOutputDeviceCount()}));
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
    EXPECT_EQ(std::make_tuple(1, 0), std::make_tuple(r.bDefault, obs.Count(kNotifyStatus, kStatusError)));
}

TEST_F(PlayerDevice, LosingTheLastEndpointEndsInErrorStatus) {
    Playing();
    for (const char* e : {"b", "out"}) system->RemoveEndpoint(e);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusError, 5000));
    EXPECT_EQ(std::make_tuple(1, 0, kStatusError), std::make_tuple(obs.Count(kNotifyError, kErrorDeviceOpen),
              obs.Count(kNotifyDeviceEvent, kDeviceEventFailover), player->GetStatus()));
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
    Pause();
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

// The position is what the endpoint has played, under every driver: while playing it never runs
// backwards; paused (before and after a resume) it is the last frame heard.
TEST_F(PlayerDevice, PositionIsWhatTheEndpointHasPlayed) {
    for (int32_t type : {kDeviceTypeWasapi, kDeviceTypeDirectSound, kDeviceTypeWaveOut}) {
        SCOPED_TRACE(type);
        Playing(type, true);
        int64_t low = 0, back = 0;
        auto playFor = [&](size_t frames) {
            const size_t until = CapturedFrames() + frames;
            ASSERT_TRUE(WaitUntil([&] {
                const int64_t p = player->GetCurrentPosition();
                back = std::max(back, low - p), low = std::max(low, p);
                return CapturedFrames() > until;
            }));
        };
        auto pauseAtHeard = [&] {
            obs.Clear();
            Pause();
            EXPECT_NEAR(HeardMs(), low = player->GetCurrentPosition(), 20);
        };
        playFor(33075);
        pauseAtHeard();
        Play();
        playFor(22050);
        pauseAtHeard();
        EXPECT_EQ(0, back);
    }
}

// A device change mid-track loses nothing the old device had not played: the new device goes on
// from the old one's last frame, and on without a gap, under every driver.
TEST_F(PlayerDevice, ASwitchGoesOnFromTheLastFrameHeard) {
    for (int32_t type : {kDeviceTypeWasapi, kDeviceTypeDirectSound, kDeviceTypeWaveOut}) {
        SCOPED_TRACE(type);
        system->ClearCaptured("out");
        Playing(type, true);
        // Only now: the last player may have played one more period there as it went.
        system->ClearCaptured("b");
        // Switched as soon as a media frame is heard: the stream may still be buffering.
        ASSERT_TRUE(WaitUntil([&] { return uint64_t(HeardMs()) < 10000; }));
        ASSERT_EQ(0, player->SetOutputDeviceById(type, "b"));
        ASSERT_TRUE(WaitCaptured(22050, "b"));
        const int64_t last = HeardMs() * 441 / 10;
        const std::vector<float> got = Captured("b");
        int64_t at = -1, gap = 0;
        for (size_t i = 0; i + 1 < got.size(); i += 2) {
            const int64_t n = FrameNumber(&got[i]);
            if (n >= 441000) continue;  // the device's own silence
            if (at < 0) EXPECT_NEAR(last, n, 882);
            else gap = std::max(gap, std::abs(n - at - 1));
            at = n;
        }
        EXPECT_LE(gap, 882);
    }
}
