// Device descriptions, wave-format conversions, the hands-free search, session tags and the
// factory.
#include <tuple>

#include "DeviceTestUtil.h"
#include "KvaAudioPlayer.h"
#include "device/Wasapi.h"
#include "support/TextUtil.h"

using namespace kva_audioplayer;
using kva_test::MakeDescription;

namespace {

TEST(WaveFormat, FromDescription) {
    // Mask by channel count when the layout is unknown.
    const uint32_t kMasks[] = {0x0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x60F, 0x13F, 0x63F, 0x63F};
    for (int ch = 0; ch <= 9; ++ch) {
        WAVEFORMATEXTENSIBLE w = WaveFormatFromDescription(MakeDescription(48000, ch, 1, 16));
        EXPECT_EQ(w.dwChannelMask, kMasks[ch]) << ch << " channels";
    }
    EXPECT_EQ(WaveFormatFromDescription(MakeDescription(48000, 12, 1, 16)).dwChannelMask, 0x63Fu);
    EXPECT_EQ(WaveFormatFromDescription(MakeDescription(48000, 2, 1, 16, 0x600)).dwChannelMask, 0x600u);

    WAVEFORMATEXTENSIBLE w = WaveFormatFromDescription(MakeDescription(44100, 6, 2, 32));
    // Tag, extra size, channels, rate, block, bytes a second, bits, valid bits.
    EXPECT_EQ(std::make_tuple(w.Format.wFormatTag, w.Format.cbSize, w.Format.nChannels, w.Format.nSamplesPerSec,
                              w.Format.nBlockAlign, w.Format.nAvgBytesPerSec, w.Format.wBitsPerSample,
                              w.Samples.wValidBitsPerSample),
              std::make_tuple(WAVE_FORMAT_EXTENSIBLE, 22, 6, 44100u, 24, 24u * 44100u, 32, 32));
    EXPECT_TRUE(SubFormatOf(w) == KSDATAFORMAT_SUBTYPE_PCM);

    for (int f = 0; f <= 9; ++f) {  // 3, 4, 8 and 9 are float
        const bool isFloat = f == 3 || f == 4 || f >= 8;
        EXPECT_TRUE(SubFormatOf(WaveFormatFromDescription(MakeDescription(8000, 1, f, isFloat ? 32 : 16))) ==
                    (isFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM)) << f;
    }
}

TEST(WaveFormat, ToDescription) {
    struct Case { GUID sub; int bits; int expect; } cases[] = {
        {KSDATAFORMAT_SUBTYPE_PCM, 8, 0},         {KSDATAFORMAT_SUBTYPE_PCM, 16, 1},
        {KSDATAFORMAT_SUBTYPE_PCM, 32, 2},        {KSDATAFORMAT_SUBTYPE_PCM, 24, -1},
        {KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 32, 3}, {KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 64, 4},
        {GUID_NULL, 16, -1}};
    for (const Case& c : cases) {
        WAVEFORMATEXTENSIBLE w = WaveFormatFromDescription(MakeDescription(96000, 2, 1, c.bits));
        memcpy(reinterpret_cast<char*>(&w) + offsetof(WAVEFORMATEXTENSIBLE, SubFormat), &c.sub, 16);
        AudioDescription d = DescriptionFromWaveFormat(&w.Format);
        EXPECT_EQ(std::make_tuple(d.nSampleFormat, d.nSampleRate, d.nChannel, d.nBitsPerSample, d.nChannelLayout),
                  std::make_tuple(c.expect, 96000, 2, c.bits, 0x3u))
            << c.bits << " bits";
    }
    // A plain record: its tag names the sample type; no mask.
    WAVEFORMATEX plain = {WAVE_FORMAT_IEEE_FLOAT, 1, 22050, 22050 * 4, 4, 32, 0};
    AudioDescription d = DescriptionFromWaveFormat(&plain);
    EXPECT_EQ(std::make_pair(d.nSampleFormat, d.nChannelLayout), std::make_pair(3, uint64_t(0)));
}

// A virtual system installed for one test; removed afterwards so no test leaks it.
class VirtualDevices : public ::testing::Test {
protected:
    void SetUp() override { kva_test::MainAndSecond(false); }
    void TearDown() override { snd::SetSoundSystem(nullptr); }
};

TEST_F(VirtualDevices, DriverNamesAndFactory) {
    // Case-sensitive; WASAPI for anything else.
    const std::pair<const char16_t*, int> names[] = {{u"WaveOut", 4}, {u"DirectSound", 6}, {u"Wasapi", 5},
                                                     {u"waveout", 5}, {u"Other", 5},       {nullptr, 5}};
    for (auto n : names) EXPECT_EQ(DeviceTypeFromDriverName(n.first), n.second) << n.second;

    // WaveOut for 4, DirectSound for 6, WASAPI for anything else; Init ran (the default entry
    // and two endpoints listed).
    for (int type : {0, 1, 2, 3, 4, 5, 6, 7, -1, 1000}) {
        std::unique_ptr<AudioDevice> d(CreateAudioDevice(type, nullptr));
        const int want = type == 4 || type == 6 ? type : 5;
        EXPECT_EQ(std::make_tuple(d->GetDeviceType(), d->driver, d->GetState(), int(d->flag), d->devices.size()),
                  std::make_tuple(want, std::u16string(DriverNameFromDeviceType(want)), 3, 0, size_t(3))) << type;
        EXPECT_TRUE(d->name.empty());
    }

    DeviceRecord rec{};
    CopyUtf16(rec.szName, kDeviceTextUnits, std::u16string(u"Headphones (Second)"));
    rec.bDefault = 1;
    std::unique_ptr<AudioDevice> d(CreateAudioDevice(5, &rec));
    EXPECT_EQ(std::make_tuple(d->name, int(d->flag)), std::make_tuple(std::u16string(u"Headphones (Second)"), 1));
}

AudioDeviceInfo Info(const std::u16string& name, const std::u16string& description) {
    return AudioDeviceInfo{u"Wasapi", name, u"id:" + name, description};
}
// The counterpart's name; "-" when there is none (and the answer was left alone).
std::u16string Counterpart(Wasapi& w, const std::u16string& search, bool loose) {
    AudioDeviceInfo out;
    return w.FindHandsFreeCounterpart(search, loose, {}, &out) ? out.name
           : out.name.empty()                                  ? u"-"
                                                               : u"touched";
}

TEST_F(VirtualDevices, HandsFreeCounterpart) {
    Wasapi w(u"");
    w.devices = {
        Info(u"Headset (WH-1000XM4 Hands-Free AG Audio)", u"WH-1000XM4 Hands-Free AG Audio"),
        Info(u"Speakers (Realtek)", u"Realtek High Definition Audio"),
        Info(u"Headphones (WH-1000XM4 Stereo)", u"WH-1000XM4 Stereo"),
        Info(u"Headphones (wh-1000xm4 other)", u"WH-1000XM4 Second"),
    };
    // Strict: the description must start with the text before "hands-free"; the device itself
    // is skipped even though its description starts the same.
    EXPECT_EQ(Counterpart(w, u"WH-1000XM4 Hands-Free AG Audio", false), u"Headphones (WH-1000XM4 Stereo)");
    // Any case of the search text; only an exactly equal field is skipped, so now the
    // hands-free entry itself comes first.
    EXPECT_EQ(Counterpart(w, u"wh-1000xm4 HANDS-FREE", false), u"Headset (WH-1000XM4 Hands-Free AG Audio)");
    // No search text, nothing before it, or no match: none.
    for (const char16_t* t : {u"Speakers (Realtek)", u"Hands-Free WH-1000XM4", u"Other Hands-Free"})
        EXPECT_EQ(std::make_tuple(Counterpart(w, t, false), Counterpart(w, u"hands-free", true)), std::make_tuple(u"-", u"-"));
}

TEST_F(VirtualDevices, HandsFreeLooseMatch) {
    Wasapi w(u"");
    const std::u16string given = u"Headset (Buds Pro Hands-Free)";
    // Loose: names are compared; the tail from the last "(" before "hands-free" may occur
    // anywhere in a name, and a later candidate replaces an earlier one.
    w.devices = {Info(u"Speakers (Buds Pro Stereo)", u"a"), Info(given, u"b"),
                 Info(u"Earbuds (Buds Pro Music)", u"c"), Info(u"Speakers (Realtek)", u"d")};
    EXPECT_EQ(Counterpart(w, given, true), u"Earbuds (Buds Pro Music)");
    EXPECT_EQ(Counterpart(w, given, false), u"-");  // strict looks at descriptions
    // A prefix match wins at once, even after candidates.
    w.devices.push_back(Info(u"HEADSET (buds pro Stereo)", u"e"));
    w.devices.push_back(Info(u"Tail (Buds Pro Late)", u"f"));
    EXPECT_EQ(Counterpart(w, given, true), u"HEADSET (buds pro Stereo)");
    // Without "(" before the search text there is no tail, so only prefixes count.
    w.devices = {Info(u"Other Buds Pro", u"a")};
    EXPECT_EQ(Counterpart(w, u"Buds Pro Hands-Free", true), u"-");
    w.devices.push_back(Info(u"Buds Pro Stereo", u"b"));
    EXPECT_EQ(Counterpart(w, u"Buds Pro Hands-Free", true), u"Buds Pro Stereo");
}

TEST(SessionTag, ParsedAndTakenOnlyWhenValid) {
    GUID g;
    ASSERT_TRUE(ParseSessionTag("0123abcd-4567-89AB-cdef-0123456789ab", &g));
    EXPECT_TRUE(g == GUID({0x0123abcd, 0x4567, 0x89AB, {0xcd, 0xef, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab}}));

    // Hyphens anywhere, or none, give the same GUID.
    for (const char* t : {"0123abcd456789ABcdef0123456789ab", "-0-123abcd4567-89ABcdef012345-6789ab-",
                          "0123ABCD-4567-89ab-CDEF-0123456789AB"}) {
        GUID h;
        ASSERT_TRUE(ParseSessionTag(t, &h)) << t;
        EXPECT_TRUE(h == g) << t;
    }
    // 31 or 33 digits, empty or null: refused.
    for (const char* t : {"0123abcd-4567-89AB-cdef-0123456789a", "0123abcd-4567-89AB-cdef-0123456789abc",
                          "", "--------", static_cast<const char*>(nullptr)})
        EXPECT_FALSE(ParseSessionTag(t, &g)) << (t ? t : "null");

    Wasapi w(u"");
    EXPECT_FALSE(w.GetSessionGuid(&g));
    EXPECT_TRUE(g == GUID_NULL);
    w.SetAudioSessionTag("0123abcd-4567-89AB-cdef-0123456789a");
    EXPECT_FALSE(w.GetSessionGuid(&g));
    w.SetAudioSessionTag("00112233445566778899aabbccddeeff");
    w.SetAudioSessionTag("xyz");  // a later bad tag keeps the good one
    ASSERT_TRUE(w.GetSessionGuid(&g));
    EXPECT_EQ(g.Data1, 0x00112233u);
}

}  // namespace
