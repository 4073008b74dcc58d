// The device monitor over the virtual sound system: the combined list, the failed devices, the
// choice of an available device, and debounced endpoint events.
#include "DeviceTestUtil.h"
#include "device/AudioDeviceMonitor.h"
#include "device/Wasapi.h"
#include "support/TextUtil.h"

using namespace kva_audioplayer;

namespace {

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        system = std::make_shared<snd::VirtualSoundSystem>(true);
        system->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("spk", u"Speakers"), true);
        system->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("hp", u"Headphones"));
        snd::SetSoundSystem(system);
    }
    void TearDown() override { snd::SetSoundSystem(nullptr); }

    // Waits until the monitor has delivered everything it holds.
    static void Drain(AudioDeviceMonitor& m) {
        kva_test::WaitUntil([&] { return m.PendingEvents().empty(); });
    }
    // Reports a write failure on each entry from..to-1.
    static void FailEntries(AudioDeviceMonitor& m, int32_t from, int32_t to) {
        DeviceRecord r;
        for (int32_t i = from; i < to && m.GetDeviceAt(i, &r); ++i) {
            m.SetCurrent(r.szName, r.nType);
            m.ReportDeviceError(kDeviceErrorWrite);
        }
    }

    std::shared_ptr<snd::VirtualSoundSystem> system;
    kva_test::ScriptedObserver observer;
};

// What the observer was told, one "type id name" line each.
std::string Told(kva_test::ScriptedObserver& o) {
    std::string out;
    for (const auto& n : o.Notes())
        out += std::to_string(n.type) + " " + Utf16ToUtf8(n.id) + " " + Utf16ToUtf8(n.name) + "\n";
    return out;
}

// The device chosen for `type` as "name type default", or "none".
std::string Available(AudioDeviceMonitor& m, int32_t type) {
    DeviceRecord r;
    if (!m.GetAvailableDevice(type, &r)) return "none";
    return Utf16ToUtf8(r.szName) + " " + std::to_string(r.nType) + " " + std::to_string(r.bDefault);
}
const std::string kDefaultEntry = Utf16ToUtf8(Wasapi::kDefaultEntryName);

}  // namespace

// Active endpoints only; names are cut to 260 units (waveOut's to 31); nothing without endpoints.
TEST_F(MonitorTest, ListStartsWithTheDefaultEntryAndRecordsCarryTheDriver) {
    std::u16string longName(300, u'x');
    system->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("long", longName));
    system->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("off", u"Unplugged"));
    system->SetEndpointState("off", snd::kStateUnplugged);
    AudioDeviceMonitor m(&observer, false);
    EXPECT_EQ(0, m.GetDeviceCount());
    m.RefreshDeviceList();
    // WASAPI, then DirectSound, then waveOut; each driver's list opens with its default entry.
    ASSERT_EQ(12, m.GetDeviceCount());
    const int32_t types[] = {5, 6, 4};
    const int32_t indexes[] = {0, 0, 1, 2, -1, -1, -1, -1, -1, 0, 1, 2};  // DirectSound has none
    const char16_t* drivers[] = {u"Wasapi", u"DirectSound", u"WaveOut"};
    for (int32_t i = 0; i < 12; ++i) {
        DeviceRecord e;
        memset(&e, 0x55, sizeof(e));
        ASSERT_TRUE(m.GetDeviceAt(i, &e));
        EXPECT_EQ(std::make_tuple(types[i / 4], std::u16string(drivers[i / 4]), i % 4 == 0 ? 1 : 0, indexes[i]),
                  std::make_tuple(e.nType, std::u16string(e.szDriver), int(e.bDefault), e.nIndex)) << i;
        const std::u16string names[] = {Wasapi::kDefaultEntryName, u"Speakers", u"Headphones",
                                        longName.substr(0, i < 8 ? 260 : 31)};
        if (i % 4 || !i) { EXPECT_EQ(names[i % 4], std::u16string(e.szName)) << i; }
    }
    DeviceRecord r;
    for (int32_t i : {12, -1}) EXPECT_FALSE(m.GetDeviceAt(i, &r)) << i;
    EXPECT_EQ(std::u16string(Wasapi::kDefaultEntryName), m.GetDefaultEntryName());
    snd::SetSoundSystem(std::make_shared<snd::VirtualSoundSystem>(true));
    m.RefreshDeviceList();
    EXPECT_EQ(0, m.GetDeviceCount());
}

TEST_F(MonitorTest, CurrentDeviceMatchesNameAndTypeExactly) {
    AudioDeviceMonitor m(&observer, false);
    m.RefreshDeviceList();
    std::u16string name;
    int32_t type = 0;
    m.GetCurrent(&name, &type);
    EXPECT_EQ(std::make_pair(std::u16string(), int32_t(kDeviceTypeWasapi)), std::make_pair(name, type));
    DeviceRecord r;
    EXPECT_FALSE(m.GetCurrentDevice(&r));

    // The device found once `name` of `type` is made current, as "name type", or "none".
    auto current = [&m](const char16_t* name, int32_t type) {
        m.SetCurrent(name, type);
        DeviceRecord r;
        return m.GetCurrentDevice(&r) ? Utf16ToUtf8(r.szName) + " " + std::to_string(r.nType) : "none";
    };
    EXPECT_EQ("Headphones 5", current(u"Headphones", kDeviceTypeWasapi));
    EXPECT_EQ("none", current(u"Headphone", kDeviceTypeWasapi));  // a prefix is another device
    EXPECT_EQ("Headphones 4", current(u"Headphones", kDeviceTypeWaveOut));  // the same name under another driver
    EXPECT_EQ("Headphones 5", current(u"Headphones", 1));  // made as a WASAPI device, so listed as one
    EXPECT_TRUE(m.FindDevice(u"Speakers", kDeviceTypeWasapi, &r));
    EXPECT_EQ(std::make_pair(0, int32_t(kDeviceTypeWasapi)), std::make_pair(r.nIndex, r.nType));
    EXPECT_TRUE(m.FindDevice(u"Speakers", kDeviceTypeDirectSound, &r));
    EXPECT_EQ(kDeviceTypeDirectSound, r.nType);
    EXPECT_FALSE(m.FindDevice(u"Speaker", kDeviceTypeDirectSound, &r));
}

TEST_F(MonitorTest, AvailableDevicePrefersDefaultEntryThenTypeThenAny) {
    AudioDeviceMonitor m(&observer, false);
    m.RefreshDeviceList();
    EXPECT_EQ(kDefaultEntry + " 5 1", Available(m, kDeviceTypeWasapi));
    EXPECT_EQ("Sound Mapper 4 1", Available(m, kDeviceTypeWaveOut));

    // A failure that does not lose the device keeps it listed but skipped.
    FailEntries(m, 0, 1);  // WASAPI's default entry
    EXPECT_EQ(9, m.GetDeviceCount());
    EXPECT_TRUE(m.IsFailed(Wasapi::kDefaultEntryName, kDeviceTypeWasapi));
    EXPECT_FALSE(m.IsFailed(Wasapi::kDefaultEntryName, kDeviceTypeWaveOut));
    EXPECT_EQ("Speakers 5 0", Available(m, kDeviceTypeWasapi));

    // Every waveOut entry failed: the first remaining entry of any type.
    FailEntries(m, 6, 9);
    EXPECT_EQ("Speakers 5 0", Available(m, kDeviceTypeWaveOut));

    FailEntries(m, 1, 6);
    EXPECT_EQ(std::make_tuple(9, "none"), std::make_tuple(m.FailedCount(), Available(m, kDeviceTypeWasapi)));
}

TEST_F(MonitorTest, LostDeviceLeavesTheListAndComesBackWhenPresentAgain) {
    AudioDeviceMonitor m(&observer, false);
    m.RefreshDeviceList();
    m.SetCurrent(u"Headphones", kDeviceTypeWasapi);
    system->RemoveEndpoint("hp");
    m.ReportDeviceError(kDeviceErrorInvalidated);
    EXPECT_EQ(6, m.GetDeviceCount());  // refreshed without the headphones
    EXPECT_TRUE(m.IsFailed(u"Headphones", kDeviceTypeWasapi));
    EXPECT_EQ(kDefaultEntry + " 5 1", Available(m, kDeviceTypeWasapi));

    // The default entry is lost and is back at once after the refresh: it leaves the failed array.
    m.SetCurrent(Wasapi::kDefaultEntryName, kDeviceTypeWasapi);
    m.ReportDeviceError(kDeviceErrorInvalidated);
    EXPECT_FALSE(m.IsFailed(Wasapi::kDefaultEntryName, kDeviceTypeWasapi));
    EXPECT_TRUE(m.IsFailed(u"Headphones", kDeviceTypeWasapi));

    // Once the headphones are back, the next loss with a refresh releases them.
    system->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("hp", u"Headphones"));
    m.SetCurrent(u"Speakers", kDeviceTypeWasapi);
    system->RemoveEndpoint("spk");
    m.ReportDeviceError(kDeviceErrorInvalidated);
    EXPECT_FALSE(m.IsFailed(u"Headphones", kDeviceTypeWasapi));
    EXPECT_TRUE(m.IsFailed(u"Speakers", kDeviceTypeWasapi));
    EXPECT_EQ(6, m.GetDeviceCount());  // each driver: default entry and headphones
}

// Client calls within the debounce: one notice per endpoint, in the order first seen, and
// nothing after it; none for unknown endpoints or the capture flow.
TEST_F(MonitorTest, DeliveryConcurrencyMergesPerEndpointInFirstSeenOrder) {
    const struct {
        void (*calls)(AudioDeviceNotificationClient*);
        const char* told;
    } cases[] = {
        // Three default roles, the same id again, then added: "added and default" (4).
        {[](AudioDeviceNotificationClient* c) {
             for (ERole role : {eConsole, eMultimedia, eCommunications, eConsole})
                 c->OnDefaultDeviceChanged(eRender, role, u"hp");
             c->OnDeviceStateChanged(u"hp", DEVICE_STATE_ACTIVE);
         }, "4 hp Headphones\n"},
        // Added then unplugged: removed (2), before the endpoint seen after it (added, 1).
        {[](AudioDeviceNotificationClient* c) {
             for (auto e : {std::make_pair(u"hp", DEVICE_STATE_ACTIVE), {u"spk", DEVICE_STATE_ACTIVE},
                            {u"hp", DEVICE_STATE_UNPLUGGED}})
                 c->OnDeviceStateChanged(e.first, e.second);
         }, "2 hp Headphones\n1 spk Speakers\n"},
        // Added without its state change, no id, an unknown id, the capture flow: nothing.
        {[](AudioDeviceNotificationClient* c) {
             EXPECT_EQ(S_OK, c->OnDeviceAdded(u"spk") | c->OnDefaultDeviceChanged(eRender, eConsole, nullptr) |
                                 c->OnDeviceStateChanged(u"nothing-here", DEVICE_STATE_ACTIVE) |
                                 c->OnDefaultDeviceChanged(eCapture, eConsole, u"hp"));
         }, ""}};
    for (const auto& k : cases) {
        kva_test::ScriptedObserver o;
        AudioDeviceMonitor m(&o);
        ASSERT_TRUE(m.HasNotificationClient());
        k.calls(m.NotificationClient());
        const size_t lines = std::count(k.told, k.told + strlen(k.told), '\n');
        EXPECT_EQ(lines, m.PendingEvents().size()) << k.told;
        ASSERT_TRUE(o.WaitNotes(lines));
        Drain(m);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_EQ(k.told, Told(o));
    }
}

TEST_F(MonitorTest, DeliveryConcurrencySoundSystemEventsReachTheObserver) {
    AudioDeviceMonitor m(&observer);
    // Added and made default at once: added, then three default-changed calls.
    system->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("usb", u"USB Audio"), true);
    ASSERT_TRUE(observer.WaitNotes(1));
    Drain(m);
    EXPECT_EQ("4 usb USB Audio\n", Told(observer));

    // Removing it: the removal, and the default moving to another endpoint.
    system->RemoveEndpoint("usb");
    ASSERT_TRUE(observer.WaitNotes(3));
    Drain(m);
    const std::string told = Told(observer);
    EXPECT_EQ(3u, observer.Notes().size()) << told;
    EXPECT_NE(std::string::npos, told.find("\n2 usb ")) << told;  // removed
    EXPECT_NE(std::string::npos, told.find("\n3 spk ")) << told;  // the default moved
}

TEST_F(MonitorTest, DeliveryConcurrencyMonitorGoesWhileEventsArePending) {
    auto m = std::make_unique<AudioDeviceMonitor>(&observer);
    m->NotificationClient()->OnDeviceStateChanged(u"hp", DEVICE_STATE_ACTIVE);
    m.reset();  // nothing delivered after the monitor is gone, nothing left running
    system->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("late", u"Late"));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_TRUE(observer.Notes().empty());
}

// A host slow to take a notice: a change made meanwhile is quiet long before, and told after it.
TEST_F(MonitorTest, DeliveryConcurrencyAChangeDuringASlowNoticeIsToldAfterIt) {
    kva_test::ScriptedObserver slow;
    slow.firstNoticeMs = 700;
    AudioDeviceMonitor m(&slow);
    m.NotificationClient()->OnDeviceStateChanged(u"hp", DEVICE_STATE_ACTIVE);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // inside the first notice
    m.NotificationClient()->OnDeviceStateChanged(u"spk", DEVICE_STATE_ACTIVE);
    ASSERT_TRUE(slow.WaitNotes(2));
    EXPECT_EQ("1 hp Headphones\n1 spk Speakers\n", Told(slow));
}
