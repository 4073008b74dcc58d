// The Core Audio emulation over the virtual sound system, and the small Windows shims.
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <tuple>

#include "SoundTestUtil.h"
#include "platform/CoreAudio.h"
#include "platform/VirtualSoundSystem.h"
#include "support/TextUtil.h"

using namespace kva_audioplayer;

namespace {

TEST(WinShims, EventsAndClsids) {
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    EXPECT_EQ(SetEvent(e), TRUE);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 1), WAIT_TIMEOUT);  // auto-reset: taken by the first wait
    CloseHandle(e);

    CLSID g;
    for (const char16_t* text : {u"{BCDE0395-E52F-467C-8E3D-C4579291692E}", u"{bcde0395-e52f-467c-8e3d-c4579291692e}"}) {
        ASSERT_EQ(CLSIDFromString(text, &g), S_OK);
        EXPECT_TRUE(g == CLSID_MMDeviceEnumerator);
    }
    for (const char16_t* bad : {u"BCDE0395-E52F-467C-8E3D-C4579291692E", u"{BCDE0395-E52F-467C-8E3D-C4579291692X}",
                                u"{BCDE0395E52F-467C-8E3D-C4579291692E0}"})
        EXPECT_EQ(CLSIDFromString(bad, &g), CO_E_CLASSSTRING);
}

// A raise takes real-time scheduling where allowed and nothing for a normal task; a revert puts
// back what was there. Each row runs in a child, which may drop root first.
TEST(WinShims, MmcssRaisesWhatIsAllowedAndRevertRestores) {
    if (geteuid() != 0) GTEST_SKIP() << "trying each privilege needs root";
    struct Row { bool root; AVRT_PRIORITY priority; bool ok, raised; };
    for (const Row row : {Row{true, AVRT_PRIORITY_HIGH, true, true}, Row{true, AVRT_PRIORITY_NORMAL, true, false},
                          Row{false, AVRT_PRIORITY_HIGH, false, false}}) {
        const pid_t pid = fork();
        if (pid == 0) {
            const int nice0 = getpriority(PRIO_PROCESS, 0);
            const rlimit none = {0, 0};
            if (!row.root && (setrlimit(RLIMIT_RTPRIO, &none) || setgid(65534) || setuid(65534))) _exit(10);
            HANDLE task = AvSetMmThreadCharacteristicsW(u"Pro Audio", nullptr);
            if ((AvSetMmThreadPriority(task, row.priority) == TRUE) != row.ok) _exit(11);
            if ((sched_getscheduler(0) == SCHED_FIFO || getpriority(PRIO_PROCESS, 0) < nice0) != row.raised) _exit(12);
            AvRevertMmThreadCharacteristics(task);
            _exit(sched_getscheduler(0) == SCHED_OTHER && getpriority(PRIO_PROCESS, 0) == nice0 ? 0 : 13);
        }
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << row.root << " " << row.priority << ": 10 set-up, 11 answer, 12 raise, 13 revert; got " << status;
    }
}

class CoreAudio : public ::testing::Test {
protected:
    void SetUp() override {
        sys = std::make_shared<snd::VirtualSoundSystem>();
        sys->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("ep-1", u"Speakers (One)", u"One Audio"), true);
        sys->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("ep-2", u"Headphones (Two)", u"Two USB"));
        snd::SetSoundSystem(sys);
        ASSERT_EQ(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IMMDeviceEnumerator, reinterpret_cast<void**>(&enumerator)),
                  S_OK);
    }
    void TearDown() override { SafeRelease(enumerator); snd::SetSoundSystem(nullptr); }

    static std::u16string Text(IMMDevice* d, const PROPERTYKEY& key) {
        IPropertyStore* store = nullptr;
        if (FAILED(d->OpenPropertyStore(STGM_READ, &store))) return u"<no store>";
        PROPVARIANT v;
        PropVariantInit(&v);
        std::u16string out = u"<none>";
        if (SUCCEEDED(store->GetValue(key, &v)) && v.vt == VT_LPWSTR) out = v.pwszVal;
        PropVariantClear(&v);
        store->Release();
        return out;
    }
    static std::u16string Id(IMMDevice* d) {
        LPWSTR id = nullptr;
        if (FAILED(d->GetId(&id))) return u"";
        std::u16string out = id;
        CoTaskMemFree(id);
        return out;
    }
    static DWORD State(IMMDevice* d) { DWORD s = 0; return SUCCEEDED(d->GetState(&s)) ? s : ~0u; }

    std::shared_ptr<snd::VirtualSoundSystem> sys;
    IMMDeviceEnumerator* enumerator = nullptr;
};

TEST_F(CoreAudio, EnumerationAndProperties) {
    IMMDeviceCollection* all = nullptr;
    ASSERT_EQ(enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &all), S_OK);
    UINT count = 0;
    ASSERT_EQ(all->GetCount(&count), S_OK);
    ASSERT_EQ(count, 2u);
    IMMDevice* d = nullptr;
    ASSERT_EQ(all->Item(1, &d), S_OK);
    EXPECT_EQ(std::make_tuple(Id(d), Text(d, PKEY_Device_FriendlyName), Text(d, PKEY_DeviceInterface_FriendlyName),
                              State(d)),
              std::make_tuple(u"ep-2", u"Headphones (Two)", u"Two USB", DWORD(DEVICE_STATE_ACTIVE)));
    // The endpoint GUID is a "{...}" text that parses, stable per id.
    CLSID g;
    ASSERT_EQ(CLSIDFromString(Text(d, PKEY_AudioEndpoint_GUID).c_str(), &g), S_OK);
    EXPECT_TRUE(g == EndpointGuid("ep-2") && g != EndpointGuid("ep-1"));
    // The device format is the mix format, as a blob.
    IPropertyStore* store = nullptr;
    ASSERT_EQ(d->OpenPropertyStore(STGM_READ, &store), S_OK);
    PROPVARIANT v;
    ASSERT_EQ(store->GetValue(PKEY_AudioEngine_DeviceFormat, &v), S_OK);
    ASSERT_EQ(std::make_pair(v.vt, size_t(v.blob.cbSize)), std::make_pair(VT_BLOB, sizeof(WAVEFORMATEXTENSIBLE)));
    const auto* wf = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(v.blob.pBlobData);
    EXPECT_EQ(wf->Format.nSamplesPerSec, 44100u);
    EXPECT_TRUE(SubFormatOf(*wf) == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
    PropVariantClear(&v);
    store->Release();
    // Render flow through IMMEndpoint.
    IMMEndpoint* ep = nullptr;
    ASSERT_EQ(d->QueryInterface(IID_IMMEndpoint, reinterpret_cast<void**>(&ep)), S_OK);
    EDataFlow flow = eAll;
    ep->GetDataFlow(&flow);
    EXPECT_EQ(flow, eRender);
    ep->Release();
    d->Release();
    all->Release();

    // Inactive endpoints filtered by the mask; captures: none.
    sys->SetEndpointState("ep-1", snd::kStateUnplugged);
    for (auto want : {std::make_tuple(eRender, DEVICE_STATE_ACTIVE, 1u), std::make_tuple(eRender, DEVICE_STATEMASK_ALL, 2u),
                      std::make_tuple(eCapture, DEVICE_STATEMASK_ALL, 0u)}) {
        ASSERT_EQ(enumerator->EnumAudioEndpoints(std::get<0>(want), std::get<1>(want), &all), S_OK);
        all->GetCount(&count);
        EXPECT_EQ(count, std::get<2>(want));
        all->Release();
    }
}

TEST_F(CoreAudio, DefaultAndRemovedEndpoints) {
    IMMDevice* d = nullptr;
    ASSERT_EQ(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &d), S_OK);
    EXPECT_EQ(Id(d), u"ep-1");
    d->Release();
    sys->SetDefaultEndpoint("ep-2");
    ASSERT_EQ(enumerator->GetDefaultAudioEndpoint(eRender, eMultimedia, &d), S_OK);
    EXPECT_EQ(Id(d), u"ep-2");
    d->Release();
    EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(eCapture, eConsole, &d), E_NOTFOUND);
    EXPECT_EQ(enumerator->GetDevice(u"nope", &d), E_NOTFOUND);

    // A removed endpoint that was seen before still opens, with its name and a not-present
    // state, but gives no audio client.
    sys->RemoveEndpoint("ep-2");
    ASSERT_EQ(enumerator->GetDevice(u"ep-2", &d), S_OK);
    EXPECT_EQ(std::make_pair(Text(d, PKEY_Device_FriendlyName), State(d)),
              std::make_pair(std::u16string(u"Headphones (Two)"), DWORD(DEVICE_STATE_NOTPRESENT)));
    void* c = nullptr;
    EXPECT_EQ(d->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, &c), AUDCLNT_E_DEVICE_INVALIDATED);
    d->Release();
    // With no endpoint left there is no default.
    sys->RemoveEndpoint("ep-1");
    EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &d), E_NOTFOUND);
}

TEST_F(CoreAudio, FormatsInitializeAndRenderClientRules) {
    sys->SetCapture("ep-1", true);
    IMMDevice* d = nullptr;
    ASSERT_EQ(enumerator->GetDevice(u"ep-1", &d), S_OK);
    IAudioClient* c = nullptr;
    ASSERT_EQ(d->Activate(IID_IAudioClient, CLSCTX_INPROC_SERVER, nullptr, reinterpret_cast<void**>(&c)), S_OK);
    auto init = [c](const WAVEFORMATEX* f) {
        return c->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 0, 0, f, nullptr);
    };
    WAVEFORMATEX* mix = nullptr;
    ASSERT_EQ(c->GetMixFormat(&mix), S_OK);
    EXPECT_EQ(std::make_tuple(mix->wFormatTag, mix->nSamplesPerSec, mix->nChannels, mix->wBitsPerSample,
                              reinterpret_cast<WAVEFORMATEXTENSIBLE*>(mix)->dwChannelMask),
              std::make_tuple(WAVE_FORMAT_EXTENSIBLE, 44100u, 2, 32, 0x3u)) << "the endpoint gave no channel mask";

    WAVEFORMATEX* closest = nullptr;
    EXPECT_EQ(c->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, mix, &closest), S_OK);
    EXPECT_EQ(closest, nullptr);
    WAVEFORMATEX pcm = {WAVE_FORMAT_PCM, 2, 48000, 48000 * 4, 4, 16, 0};
    ASSERT_EQ(c->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, &pcm, &closest), S_FALSE);
    ASSERT_NE(closest, nullptr);
    EXPECT_EQ(memcmp(closest, mix, sizeof(WAVEFORMATEXTENSIBLE)), 0);
    CoTaskMemFree(closest);

    // Before Initialize nothing runs.
    UINT32 frames = 0;
    EXPECT_EQ(c->GetBufferSize(&frames), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(c->Start(), AUDCLNT_E_NOT_INITIALIZED);
    void* svc = nullptr;
    EXPECT_EQ(c->GetService(IID_IAudioRenderClient, &svc), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(init(&pcm), AUDCLNT_E_UNSUPPORTED_FORMAT);
    ASSERT_EQ(init(mix), S_OK);
    EXPECT_EQ(init(mix), AUDCLNT_E_ALREADY_INITIALIZED);
    REFERENCE_TIME def = 0, min = 0;
    ASSERT_EQ(c->GetDevicePeriod(&def, &min), S_OK);
    ASSERT_EQ(c->GetBufferSize(&frames), S_OK);
    EXPECT_GE(static_cast<int64_t>(frames) * 10000000, 4 * def * 44100 - 44100);
    EXPECT_EQ(c->Start(), AUDCLNT_E_EVENTHANDLE_NOT_SET);
    CoTaskMemFree(mix);

    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(c->SetEventHandle(event), S_OK);
    IAudioRenderClient* r = nullptr;
    ASSERT_EQ(c->GetService(IID_IAudioRenderClient, reinterpret_cast<void**>(&r)), S_OK);
    UINT32 bufferFrames = frames, padding = 0;

    BYTE* data = nullptr;
    ASSERT_EQ(r->GetBuffer(100, &data), S_OK);
    ASSERT_NE(data, nullptr);
    for (int i = 0; i < 200; ++i) reinterpret_cast<float*>(data)[i] = 0.25f;
    EXPECT_EQ(r->ReleaseBuffer(101, 0), AUDCLNT_E_INVALID_SIZE);
    ASSERT_EQ(r->ReleaseBuffer(100, 0), S_OK);
    ASSERT_EQ(r->GetBuffer(50, &data), S_OK);
    for (int i = 0; i < 100; ++i) reinterpret_cast<float*>(data)[i] = 0.75f;
    ASSERT_EQ(r->ReleaseBuffer(50, AUDCLNT_BUFFERFLAGS_SILENT), S_OK);  // written as silence
    ASSERT_EQ(c->GetCurrentPadding(&padding), S_OK);
    EXPECT_EQ(padding, 150u);
    EXPECT_EQ(r->GetBuffer(bufferFrames - 149, &data), AUDCLNT_E_BUFFER_TOO_LARGE);

    // The session volume applies to what is rendered.
    IAudioSessionManager* m = nullptr;
    ASSERT_EQ(d->Activate(IID_IAudioSessionManager, CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&m)), S_OK);
    ISimpleAudioVolume* vol = nullptr;
    ASSERT_EQ(m->GetSimpleAudioVolume(nullptr, FALSE, &vol), S_OK);
    ASSERT_EQ(vol->SetMasterVolume(0.5f, nullptr), S_OK);
    float level = 0;
    vol->GetMasterVolume(&level);
    EXPECT_FLOAT_EQ(level, 0.5f);

    EXPECT_EQ(c->Reset(), S_OK);  // stopped: drops the 150 frames
    c->GetCurrentPadding(&padding);
    EXPECT_EQ(padding, 0u);
    ASSERT_EQ(r->GetBuffer(100, &data), S_OK);
    for (int i = 0; i < 200; ++i) reinterpret_cast<float*>(data)[i] = 0.25f;
    ASSERT_EQ(r->ReleaseBuffer(100, 0), S_OK);
    ASSERT_EQ(c->Start(), S_OK);
    EXPECT_EQ(c->Start(), AUDCLNT_E_NOT_STOPPED);
    EXPECT_EQ(c->Reset(), AUDCLNT_E_NOT_STOPPED);
    ASSERT_TRUE(sys->WaitDrained("ep-1", 5000));
    // The event was set when room appeared.
    EXPECT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(kva_test::FloatsFromBytes(sys->GetCaptured("ep-1")), std::vector<float>(200, 0.125f));
    IAudioClock* clock = nullptr;
    ASSERT_EQ(c->GetService(IID_IAudioClock, reinterpret_cast<void**>(&clock)), S_OK);
    UINT64 freq = 0, pos = 0;
    ASSERT_EQ(clock->GetFrequency(&freq) | clock->GetPosition(&pos, nullptr), S_OK);
    EXPECT_EQ(std::make_pair(freq, pos), std::make_pair(UINT64(44100 * 8), UINT64(800)));
    EXPECT_EQ(c->Stop(), S_OK);

    // Invalidation reaches every call that touches the stream.
    sys->InvalidateEndpoint("ep-1");
    EXPECT_EQ(c->GetCurrentPadding(&padding), AUDCLNT_E_DEVICE_INVALIDATED);
    EXPECT_EQ(r->GetBuffer(1, &data), AUDCLNT_E_DEVICE_INVALIDATED);
    EXPECT_EQ(clock->GetPosition(&pos, nullptr), AUDCLNT_E_DEVICE_INVALIDATED);
    EXPECT_EQ(c->Start(), AUDCLNT_E_DEVICE_INVALIDATED);

    vol->SetMasterVolume(1.0f, nullptr);
    clock->Release();
    vol->Release();
    m->Release();
    d->Release();
    r->Release();  // the client lives until its services are released
    c->Release();
    CloseHandle(event);
}

// Notifications as "added ID", "removed ID", "state ID STATE", "default FLOW ROLE ID".
struct RecordingClient : IMMNotificationClient, kva_test::EndpointEvents {
    HRESULT QueryInterface(REFIID, void** out) override {
        *out = static_cast<IMMNotificationClient*>(this);
        return S_OK;
    }
    uint32_t AddRef() override { return 1; }
    uint32_t Release() override { return 1; }
    HRESULT OnDeviceStateChanged(LPCWSTR id, DWORD state) override {
        return Note("state " + Utf16ToUtf8(id) + " " + std::to_string(state));
    }
    HRESULT OnDeviceAdded(LPCWSTR id) override { return Note("added " + Utf16ToUtf8(id)); }
    HRESULT OnDeviceRemoved(LPCWSTR id) override { return Note("removed " + Utf16ToUtf8(id)); }
    HRESULT OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR id) override {
        return Note("default " + std::to_string(flow) + " " + std::to_string(role) + " " + Utf16ToUtf8(id));
    }
    HRESULT OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override { return S_OK; }
    HRESULT Note(std::string e) { return Add(std::move(e)), S_OK; }
    // The events from the first `from` on.
    std::vector<std::string> From(const std::string& from) {
        std::vector<std::string> e = Events();
        return std::vector<std::string>(std::find(e.begin(), e.end(), from), e.end());
    }
};

class CoreAudioConcurrency : public CoreAudio {};

TEST_F(CoreAudioConcurrency, NotificationsComeOnTheSystemThread) {
    RecordingClient client;
    ASSERT_EQ(enumerator->RegisterEndpointNotificationCallback(&client), S_OK);
    sys->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("ep-3", u"Third", u"Third Audio"));
    sys->SetDefaultEndpoint("ep-3");
    sys->SetEndpointState("ep-2", snd::kStateDisabled);
    sys->RemoveEndpoint("ep-2");
    ASSERT_TRUE(client.WaitFor("removed ep-2"));
    EXPECT_EQ(client.From("added ep-3"), (std::vector<std::string>{
                     "added ep-3", "state ep-3 1", "default 0 0 ep-3", "default 0 1 ep-3",
                     "default 0 2 ep-3", "state ep-2 2", "state ep-2 4", "removed ep-2"}));
    for (auto& t : client.Threads()) EXPECT_NE(std::this_thread::get_id(), t);

    EXPECT_EQ(enumerator->UnregisterEndpointNotificationCallback(&client), S_OK);
    EXPECT_EQ(enumerator->UnregisterEndpointNotificationCallback(&client), E_NOTFOUND);
    size_t n = client.Events().size();
    sys->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("ep-4", u"Fourth", u"Fourth Audio"));
    sys->RemoveEndpoint("ep-4");
    // A second client registered after the first sees these; the first does not.
    RecordingClient later;
    enumerator->RegisterEndpointNotificationCallback(&later);
    sys->SetDefaultEndpoint("ep-1");
    ASSERT_TRUE(later.WaitFor("default 0 2 ep-1"));
    EXPECT_EQ(std::make_tuple(later.From("default 0 0 ep-1").size(), client.Events().size()), std::make_tuple(3u, n));
    // Released with a client still registered: the registration goes with the enumerator.
}

}  // namespace
