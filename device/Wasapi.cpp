#include "device/Wasapi.h"

#include <cstdlib>
#include <string>

#include "support/Log.h"
#include "support/TextUtil.h"

namespace kva_audioplayer {

const char16_t* const Wasapi::kDefaultEntryName = u"默认输出设备";

namespace {

// The multimedia scheduling entry points, resolved once for the process.
struct AvrtTable {
    HANDLE (*setCharacteristics)(LPCWSTR, DWORD*);
    BOOL (*setPriority)(HANDLE, AVRT_PRIORITY);
    BOOL (*revert)(HANDLE);
    bool loaded;
};

const AvrtTable& Avrt() {
    static const AvrtTable table = {&AvSetMmThreadCharacteristicsW, &AvSetMmThreadPriority,
                                    &AvRevertMmThreadCharacteristics, true};
    return table;
}

const AudioDevice::RenderTexts kTexts = {
    "Wasapi::doRenderFunc audio_buffer_native_ is null",
    "wasapi::doRenderFunc kAudioPlayerEOS nReadSize %d",
    "wasapi::doRenderFunc kAudioPlayerErrorState, pausing",
    "wasapi::doRenderFunc nErr %d",
};

// Without this many rounds a system that keeps offering a match it then refuses would hold
// Open forever.
constexpr int kMaxFormatRounds = 8;

long L(HRESULT hr) { return static_cast<long>(hr); }

}  // namespace

bool ParseSessionTag(const char* tag, GUID* out) {
    if (!tag || !*tag) return false;
    std::string digits;
    for (const char* p = tag; *p; ++p) {
        if (*p != '-') digits.push_back(*p);
    }
    if (digits.size() != 32) return false;
    auto value = [&](size_t at, size_t count) {
        uint64_t v = 0;
        for (size_t i = at; i < at + count; ++i) {
            char c = digits[i];
            int h = (c >= '0' && c <= '9')   ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : 0;
            v = (v << 4) | static_cast<uint64_t>(h);
        }
        return v;
    };
    GUID g;
    g.Data1 = static_cast<uint32_t>(value(0, 8));
    g.Data2 = static_cast<uint16_t>(value(8, 4));
    g.Data3 = static_cast<uint16_t>(value(12, 4));
    for (size_t i = 0; i < 8; ++i) g.Data4[i] = static_cast<uint8_t>(value(16 + 2 * i, 2));
    if (out) *out = g;
    return true;
}

Wasapi::Wasapi(const std::u16string& deviceName) {
    driver = kDriverWasapi;
    driverName = kDriverWasapi;
    name = deviceName;
    memset(&mWaveFormat, 0, sizeof(mWaveFormat));
    mSessionGuid = GUID_NULL;
    mLock.Init();
    mBufferEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    mAvrtLoaded = Avrt().loaded;
}

Wasapi::~Wasapi() {
    KVA_LOG(kLogDetail, "Wasapi::~Wasapi");
    SetVolume(1.0f);
    // A render thread still waiting for room must not find the device playing, or a stalled
    // endpoint would hold it (and this destructor) forever.
    SetState(kStopped);
    SetEvent(mBufferEvent);
    if (HasRenderThread()) {
        KVA_LOG(kLogDetail, "Wasapi::~Wasapi Stop thread");
        ClearRenderQueue();
        StopRenderThread();
        KVA_LOG(kLogDetail, "Wasapi::~Wasapi release thread");
    }
    Close();
    CKVAAutoLock lock(mLock);
    FreeStaging();
    KVA_LOG(kLogDetail, "Wasapi::~Wasapi close handle");
    CloseHandle(mBufferEvent);
    mBufferEvent = nullptr;
    ReleaseInterfaces();
}

int Wasapi::CheckAvailable() { return 1; }

int Wasapi::Init() {
    AudioDeviceList list;
    EnumDeviceList(list, true);
    devices.swap(list);
    return 0;
}

void Wasapi::Release() { delete this; }

// ---- enumeration ----

IMMDeviceEnumerator* Wasapi::CreateDeviceEnumerator() {
    CoInitialize(nullptr);
    IMMDeviceEnumerator* enumerator = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IMMDeviceEnumerator, reinterpret_cast<void**>(&enumerator));
    if (FAILED(hr)) {
        KVA_LOG(kLogError, "Wasapi::CreateDeviceEnumerator failed to CoCreateInstance, %ld", L(hr));
        SetSystemErrorCode(hr);
        return nullptr;
    }
    return enumerator;
}

void Wasapi::EnumDeviceList(AudioDeviceList& out, bool withDefaultEntry) {
    out.clear();
    CoInitialize(nullptr);
    IMMDeviceEnumerator* enumerator = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IMMDeviceEnumerator, reinterpret_cast<void**>(&enumerator));
    if (FAILED(hr)) {
        KVA_LOG(kLogError, "Wasapi::EnumDeviceList failed to CoCreateInstance: %ld", L(hr));
        return;
    }
    IMMDeviceCollection* collection = nullptr;
    hr = enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &collection);
    if (FAILED(hr)) {
        KVA_LOG(kLogError, "Wasapi::EnumDeviceList failed to EnumAudioEndpoints: %ld", L(hr));
        enumerator->Release();
        return;
    }
    UINT count = 0;
    hr = collection->GetCount(&count);
    if (FAILED(hr)) {
        KVA_LOG(kLogError, "Wasapi::EnumDeviceList failed to GetCount: %ld", L(hr));
    } else if (count == 0) {
        KVA_LOG(kLogError, "Wasapi::EnumDeviceList failed, no devices");
    } else {
        if (withDefaultEntry) {
            AudioDeviceInfo entry;
            entry.driver = kDriverWasapi;
            entry.name = kDefaultEntryName;
            entry.index = 0;
            entry.flag = 1;
            out.push_back(entry);
        }
        for (UINT i = 0; i < count; ++i) {
            IMMDevice* device = nullptr;
            if (FAILED(collection->Item(i, &device)) || !device) continue;
            AudioDeviceInfo info;
            if (GetDeviceInfo(device, static_cast<int32_t>(i), &info)) out.push_back(info);
            device->Release();
        }
    }
    collection->Release();
    enumerator->Release();
    DistinguishSameNames(out);
}

bool Wasapi::GetDeviceInfo(IMMDevice* device, int32_t index, AudioDeviceInfo* info) {
    LPWSTR id = nullptr;
    HRESULT hr = device->GetId(&id);
    if (FAILED(hr)) {
        KVA_LOG(kLogError, "Wasapi::GetDeviceInfo failed to GetId: %ld", L(hr));
        return false;
    }
    std::u16string deviceId = id ? id : u"";
    CoTaskMemFree(id);
    IPropertyStore* store = nullptr;
    hr = device->OpenPropertyStore(STGM_READ, &store);
    if (FAILED(hr)) {
        KVA_LOG(kLogError, "Wasapi::GetDeviceInfo failed to OpenPropertyStore: %ld", L(hr));
        return false;
    }
    PROPVARIANT value;
    PropVariantInit(&value);
    hr = store->GetValue(PKEY_Device_FriendlyName, &value);
    if (FAILED(hr)) {
        KVA_LOG(kLogError, "Wasapi::GetDeviceInfo failed to GetValue PKEY_Device_FriendlyName: %ld",
                L(hr));
        store->Release();
        return false;
    }
    std::u16string friendly = (value.vt == VT_LPWSTR && value.pwszVal) ? value.pwszVal : u"";
    PropVariantClear(&value);
    std::u16string adapter;
    if (SUCCEEDED(store->GetValue(PKEY_DeviceInterface_FriendlyName, &value)) &&
        value.vt == VT_LPWSTR && value.pwszVal)
        adapter = value.pwszVal;
    PropVariantClear(&value);
    store->Release();

    *info = AudioDeviceInfo();
    info->driver = kDriverWasapi;
    info->name = friendly;
    info->id = deviceId;
    info->description = adapter;
    info->index = index;
    return true;
}

// ---- endpoint choice ----

IMMDevice* Wasapi::CreateDeviceById(const std::u16string& id) {
    IMMDeviceEnumerator* enumerator = CreateDeviceEnumerator();
    if (!enumerator) return nullptr;
    IMMDevice* device = nullptr;
    HRESULT hr = enumerator->GetDevice(id.c_str(), &device);
    enumerator->Release();
    if (FAILED(hr)) {
        SetSystemErrorCode(hr);
        return nullptr;
    }
    return device;
}

IMMDevice* Wasapi::CreateDefaultDevice(EDataFlow flow, ERole role) {
    IMMDeviceEnumerator* enumerator = CreateDeviceEnumerator();
    if (!enumerator) return nullptr;
    IMMDevice* device = nullptr;
    HRESULT hr = enumerator->GetDefaultAudioEndpoint(flow, role, &device);
    enumerator->Release();
    if (FAILED(hr)) {
        KVA_LOG(kLogError, "Wasapi::CreateDefaultDevice failed to GetDefaultAudioEndpoint, %ld",
                L(hr));
        SetSystemErrorCode(hr);
        return nullptr;
    }
    DWORD state = 0;
    hr = device->GetState(&state);
    if (FAILED(hr)) {
        KVA_LOG(kLogError, "Wasapi::CreateDefaultDevice failed to GetState, %ld", L(hr));
        device->Release();
        return nullptr;
    }
    if (state != DEVICE_STATE_ACTIVE) {
        device->Release();
        return nullptr;
    }
    return device;
}

IMMDevice* Wasapi::CreateDeviceByName(const std::u16string& deviceName) {
    std::u16string id;
    if (!deviceName.empty()) {
        for (const AudioDeviceInfo& d : devices) {
            if (d.name == deviceName) {
                id = d.id;
                break;
            }
        }
    }
    if (!id.empty()) return CreateDeviceById(id);

    IMMDevice* device = CreateDefaultDevice(eRender, eConsole);
    if (!device) return nullptr;
    // A Bluetooth headset's hands-free endpoint as default: prefer the same headset's stereo one.
    IPropertyStore* store = nullptr;
    if (SUCCEEDED(device->OpenPropertyStore(STGM_READ, &store)) && store) {
        PROPVARIANT value;
        PropVariantInit(&value);
        std::u16string adapter;
        if (SUCCEEDED(store->GetValue(PKEY_DeviceInterface_FriendlyName, &value)) &&
            value.vt == VT_LPWSTR && value.pwszVal)
            adapter = value.pwszVal;
        PropVariantClear(&value);
        store->Release();
        AudioDeviceInfo counterpart;
        if (!adapter.empty() && FindHandsFreeCounterpart(adapter, false, devices, &counterpart)) {
            IMMDevice* other = CreateDeviceById(counterpart.id);
            if (other) {
                KVA_LOG(kLogDetail, "Wasapi::CreateDeviceByName hands-free endpoint replaced by %s",
                        Utf16ToUtf8(counterpart.name).c_str());
                device->Release();
                device = other;
            }
        }
    }
    return device;
}

IAudioClient* Wasapi::CreateClient(IMMDevice* device) {
    IAudioClient* client = nullptr;
    HRESULT hr = device->Activate(IID_IAudioClient, CLSCTX_INPROC_SERVER, nullptr,
                                  reinterpret_cast<void**>(&client));
    if (FAILED(hr)) {
        KVA_LOG(kLogError, "Wasapi::CreateClient failed to Activate, %ld", L(hr));
        SetSystemErrorCode(hr);
        return nullptr;
    }
    return client;
}

void Wasapi::ReleaseInterfaces() {
    SetRoute(nullptr);
    SafeRelease(mSessionVolume);
    SafeRelease(mSessionManager);
    SafeRelease(mRenderClient);
    SafeRelease(mClock);
    SafeRelease(mClient);
    SafeRelease(mDevice);
}

bool Wasapi::OpenFailed(HRESULT hr) {
    if (hr != S_OK) SetSystemErrorCode(hr);
    return false;
}

// ---- Open ----

int Wasapi::Open(int32_t sessionId, const AudioDescription* format) {
    KVA_LOG(kLogDetail, "Wasapi::Open :%d", sessionId);
    if (!mAvrtLoaded || !format) return SetErrorCode(kDeviceErrorOpen);
    mRequestedFormat = *format;

    {
        CKVAAutoLock lock(mLock);
        if (mClient) {
            mClient->Stop();
            mClient->Reset();
        }
        ReleaseInterfaces();
    }

    ComPtr<IMMDevice> device(CreateDeviceByName(name));
    if (!device) {
        KVA_LOG(kLogError, "Wasapi::Open failed to CreateDeviceByName");
        return SetErrorCode(kDeviceErrorOpen);
    }

    bool opened;
    {
        CKVAAutoLock lock(mLock);
        opened = OpenStream(std::move(device), *format);
    }
    if (!opened) return SetErrorCode(kDeviceErrorOpen);

    Pause();
    ResetFirstMessage();
    if (!HasRenderThread()) {
        KVA_LOG(kLogDetail, "Wasapi::Start thread :%d", sessionId);
        StartRenderThread("WasapiRenderThread");
    }
    return 0;
}

bool Wasapi::OpenStream(ComPtr<IMMDevice> device, const AudioDescription& format) {
    ComPtr<IAudioClient> client(CreateClient(device.Get()));
    if (!client) {
        KVA_LOG(kLogError, "Wasapi::Open failed to CreateClient");
        return false;
    }
    // Declared so that a failure releases the render client, the clock, the client and the
    // device in that order.
    ComPtr<IAudioClock> clock;
    ComPtr<IAudioRenderClient> render;
    uint32_t filled = 0;
    if (!NegotiateFormat(client.Get(), format) || !InitializeClient(client.Get()) ||
        !ReadDevicePeriod(client.Get()) || !GetRenderServices(client.Get(), &render, &clock) ||
        !PreRollSilence(client.Get(), render.Get(), &filled))
        return false;

    mClient = client.Detach();
    mRenderClient = render.Detach();
    mClock = clock.Detach();
    mDevice = device.Detach();
    IKvaStreamRoute* route = nullptr;
    if (SUCCEEDED(mClient->GetService(IID_IKvaStreamRoute, reinterpret_cast<void**>(&route))))
        SetRoute(route);
    return OpenSession(filled);
}

bool Wasapi::NegotiateFormat(IAudioClient* client, const AudioDescription& format) {
    AudioDescription wanted = format;
    wanted.nSampleFormat = PackedSampleFormat(wanted.nSampleFormat);
    mWaveFormat = WaveFormatFromDescription(wanted);
    mActualFormat = DescriptionFromWaveFormat(&mWaveFormat.Format);
    bool mixTried = false;
    for (int round = 0; round < kMaxFormatRounds; ++round) {
        WAVEFORMATEX* closest = nullptr;
        HRESULT hr = client->IsFormatSupported(static_cast<AUDCLNT_SHAREMODE>(mShareMode),
                                               &mWaveFormat.Format, &closest);
        if (hr == S_OK) {
            CoTaskMemFree(closest);
            return true;
        }
        if (closest) {
            TakeClosestFormat(closest);
            CoTaskMemFree(closest);
            continue;
        }
        if (mixTried) return true;
        mixTried = true;
        WAVEFORMATEX* mix = nullptr;
        hr = client->GetMixFormat(&mix);
        if (FAILED(hr)) {
            KVA_LOG(kLogError, "Wasapi::Open failed to GetMixFormat: %ld", L(hr));
            return OpenFailed(hr);
        }
        if (!mix) {
            KVA_LOG(kLogError, "Wasapi::Open, no mix format");
            return OpenFailed(S_OK);
        }
        AdoptWaveFormat(mix);
        CoTaskMemFree(mix);
    }
    return true;
}

// One field moves per round, so that a system offering a near match is followed step by step.
void Wasapi::TakeClosestFormat(const WAVEFORMATEX* closest) {
    WAVEFORMATEX& w = mWaveFormat.Format;
    const auto* cx = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(closest);
    bool extensible = closest->wFormatTag == WAVE_FORMAT_EXTENSIBLE && closest->cbSize >= 22;
    DWORD closestMask = extensible ? cx->dwChannelMask : 0;
    if (closest->nSamplesPerSec != w.nSamplesPerSec) {
        w.nSamplesPerSec = closest->nSamplesPerSec;
        w.nAvgBytesPerSec = w.nBlockAlign * w.nSamplesPerSec;
    } else if (extensible && closestMask != mWaveFormat.dwChannelMask) {
        mWaveFormat.dwChannelMask = closestMask;
    } else if (closest->nChannels == w.nChannels) {
        AdoptWaveFormat(closest);
        return;
    } else {
        // Keep the record self-consistent when only the channel count moves.
        w.nChannels = closest->nChannels;
        w.nBlockAlign = static_cast<WORD>(w.nChannels * w.wBitsPerSample / 8);
        w.nAvgBytesPerSec = w.nBlockAlign * w.nSamplesPerSec;
    }
    mActualFormat = DescriptionFromWaveFormat(&mWaveFormat.Format);
}

void Wasapi::AdoptWaveFormat(const WAVEFORMATEX* w) {
    bool extensible = w->wFormatTag == WAVE_FORMAT_EXTENSIBLE && w->cbSize >= 22;
    memset(&mWaveFormat, 0, sizeof(mWaveFormat));
    memcpy(&mWaveFormat, w, extensible ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX));
    mActualFormat = DescriptionFromWaveFormat(&mWaveFormat.Format);
}

bool Wasapi::InitializeClient(IAudioClient* client) {
    HRESULT hr = client->Initialize(static_cast<AUDCLNT_SHAREMODE>(mShareMode),
                                    AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 0, 0, &mWaveFormat.Format,
                                    mSessionTagSet ? &mSessionGuid : nullptr);
    if (FAILED(hr)) {
        KVA_LOG(kLogError, "Wasapi::Open failed to Initialize: %ld", L(hr));
        return OpenFailed(hr);
    }
    return true;
}

bool Wasapi::ReadDevicePeriod(IAudioClient* client) {
    REFERENCE_TIME defaultPeriod = 0, minPeriod = 0;
    HRESULT hr = client->GetDevicePeriod(&defaultPeriod, &minPeriod);
    if (FAILED(hr)) {
        KVA_LOG(kLogError, "Wasapi::Open failed to GetDevicePeriod: %ld", L(hr));
        return OpenFailed(hr);
    }
    REFERENCE_TIME p = mShareMode == AUDCLNT_SHAREMODE_SHARED ? defaultPeriod : minPeriod;
    double us = static_cast<double>(p) * 0.1 + 0.5;
    mPeriodMs = static_cast<uint32_t>(us / 1000.0);
    mStepSize = static_cast<int32_t>(mPeriodMs) * mActualFormat.nSampleRate / 1000 *
                mActualFormat.nBitsPerSample * mActualFormat.nChannel / 8;
    mFramesPerPeriod =
        static_cast<uint32_t>(mWaveFormat.Format.nSamplesPerSec * us / 1000000.0 + 0.5);
    return true;
}

bool Wasapi::GetRenderServices(IAudioClient* client, ComPtr<IAudioRenderClient>* render,
                               ComPtr<IAudioClock>* clock) {
    client->SetEventHandle(mBufferEvent);
    HRESULT hr = client->GetService(IID_IAudioRenderClient, render->PutVoid());
    if (FAILED(hr) || !*render) {
        KVA_LOG(kLogError, "Wasapi::Open failed to CreateAudioClient");
        return OpenFailed(FAILED(hr) ? hr : S_OK);
    }
    hr = client->GetService(IID_IAudioClock, clock->PutVoid());
    if (FAILED(hr)) {
        KVA_LOG(kLogError, "Wasapi::Open failed to GetService IAudioClock : %ld", L(hr));
        return OpenFailed(hr);
    }
    return true;
}

// Pre-roll: the free part of the buffer in silence.
bool Wasapi::PreRollSilence(IAudioClient* client, IAudioRenderClient* render, uint32_t* filled) {
    UINT32 bufferFrames = 0, padding = 0;
    HRESULT hr = client->GetBufferSize(&bufferFrames);
    if (FAILED(hr)) {
        KVA_LOG(kLogError, "Wasapi::Open failed to GetBufferSize %ld", L(hr));
        return OpenFailed(hr);
    }
    hr = client->GetCurrentPadding(&padding);
    if (FAILED(hr)) {
        KVA_LOG(kLogError, "Wasapi::Open failed to GetCurrentPadding %ld", L(hr));
        return OpenFailed(hr);
    }
    *filled = bufferFrames - padding;
    BYTE* data = nullptr;
    hr = render->GetBuffer(*filled, &data);
    if (FAILED(hr)) {
        KVA_LOG(kLogError, "Wasapi::Open failed to GetBuffer, numFramesToFill:%d, %ld",
                static_cast<int>(*filled), L(hr));
        return OpenFailed(hr);
    }
    render->ReleaseBuffer(*filled, AUDCLNT_BUFFERFLAGS_SILENT);
    return true;
}

// The interfaces are the device's by now; a failure here gives them all back.
bool Wasapi::OpenSession(uint32_t filled) {
    IAudioSessionManager* manager = nullptr;
    HRESULT hr = mDevice->Activate(IID_IAudioSessionManager, CLSCTX_ALL, nullptr,
                                   reinterpret_cast<void**>(&manager));
    if (FAILED(hr)) {
        KVA_LOG(kLogError, "Wasapi::Open failed to Active, numFramesToFill:%d, %ld",
                static_cast<int>(filled), L(hr));
        SetSystemErrorCode(hr);
        ReleaseInterfaces();
        return false;
    }
    mSessionManager = manager;
    mSessionManager->GetSimpleAudioVolume(mSessionTagSet ? &mSessionGuid : nullptr, FALSE,
                                          &mSessionVolume);
    return true;
}

// ---- state ----

int Wasapi::Play() {
    if (GetState() == kPlaying) {
        PostRender(kMsgRenderPeriod, 0);
        return 0;
    }
    HRESULT hr;
    {
        CKVAAutoLock lock(mLock);
        if (!mClient) return 0;
        hr = mClient->Start();
    }
    // After Stop the client still runs (Stop leaves it so); starting it again is no failure.
    if (SUCCEEDED(hr) || hr == AUDCLNT_E_NOT_STOPPED) {
        SetState(kPlaying);
        PostRender(kMsgRenderPeriod, 0);
    } else {
        KVA_LOG(kLogError, "Wasapi::Play failed to Start: %ld", L(hr));
    }
    return 0;
}

int64_t Wasapi::QueuedMs() {
    CKVAAutoLock lock(mLock);
    const uint32_t rate = mWaveFormat.Format.nSamplesPerSec;
    UINT32 padding = 0;
    if (!mClient || rate == 0 || FAILED(mClient->GetCurrentPadding(&padding))) return 0;
    return static_cast<int64_t>(padding) * 1000 / rate;
}

int Wasapi::Pause() {
    CKVAAutoLock lock(mLock);
    if (!mClient) return 0;
    HRESULT hr = mClient->Stop();
    if (SUCCEEDED(hr)) SetState(kPaused);
    else KVA_LOG(kLogError, "Wasapi::Pause failed to Stop: %ld", L(hr));
    return 0;
}

int Wasapi::Stop() {
    ClearRenderQueue();
    SetState(kStopped);
    return 0;
}

int Wasapi::SetVolumeLevel(float level) { return SetVolume(level); }

int Wasapi::SetVolume(float volume) {
    CKVAAutoLock lock(mLock);
    if (mSessionVolume) mSessionVolume->SetMasterVolume(volume, nullptr);
    return 0;
}

int Wasapi::Close() {
    KVA_LOG(kLogDetail, "Wasapi::Close");
    Stop();
    CKVAAutoLock lock(mLock);
    if (mClient) {
        mClient->Stop();
        mClient->Reset();
    }
    ReleaseInterfaces();
    return 0;
}

int64_t Wasapi::GetPlayedTime() { return GetState() == kStopped ? 0 : mPlayedTime.load(); }

int Wasapi::Flush() {
    PostRender(kMsgRenderFlush, 0);
    return 0;
}

void Wasapi::RequestFlush() { PostRender(kMsgRenderFlush, 0); }
int Wasapi::GetStepSize() { return mStepSize; }
int Wasapi::GetDeviceType() { return kDeviceTypeWasapi; }
int Wasapi::Query28() { return 0; }
int32_t Wasapi::WaitPlayAlt() { return WaitPlay(); }
int32_t Wasapi::Query0A() { return 0; }
int32_t Wasapi::Query0B() { return 0; }

void Wasapi::SetAudioSessionTag(const char* tag) {
    GUID guid;
    if (!ParseSessionTag(tag, &guid)) {
        KVA_LOG(kLogError, "Wasapi::SetAudioSessionTag failed to parse tag: %s", tag ? tag : "");
        return;
    }
    {
        CKVAAutoLock lock(mLock);
        mSessionGuid = guid;
        mSessionTagSet = true;
    }
    KVA_LOG(kLogDetail, "Wasapi::SetAudioSessionTag tag=%s", tag);
}

uint32_t Wasapi::GetFramesPerPeriod() {
    CKVAAutoLock lock(mLock);
    return mFramesPerPeriod;
}

uint32_t Wasapi::GetPeriodMs() {
    CKVAAutoLock lock(mLock);
    return mPeriodMs;
}

uint32_t Wasapi::GetBufferFrames() {
    CKVAAutoLock lock(mLock);
    return mBufferFrames;
}

WAVEFORMATEXTENSIBLE Wasapi::GetWaveFormat() {
    CKVAAutoLock lock(mLock);
    return mWaveFormat;
}

bool Wasapi::GetSessionGuid(GUID* out) {
    CKVAAutoLock lock(mLock);
    if (out) *out = mSessionGuid;
    return mSessionTagSet;
}

// ---- render thread ----

int32_t Wasapi::OnPlayThreadInit() {
    CKVAAutoLock lock(mLock);
    if (!mClient || !mClock) return 1;
    mClock->GetFrequency(&mClockFrequency);
    UINT32 frames = 0;
    HRESULT hr = mClient->GetBufferSize(&frames);
    if (FAILED(hr)) KVA_LOG(kLogError, "Wasapi::OnPlayThreadInit failed to GetBufferSize, %ld", L(hr));
    else mBufferFrames = frames;
    if (!mMmcss) {  // a reopened device keeps the raise it has
        DWORD taskIndex = 0;
        mMmcss = Avrt().setCharacteristics(u"Pro Audio", &taskIndex);
        if (mMmcss) Avrt().setPriority(mMmcss, AVRT_PRIORITY_HIGH);
    }
    return 0;
}

int32_t Wasapi::OnPlayThreadExit() {
    if (mMmcss) {
        Avrt().revert(mMmcss);
        mMmcss = nullptr;
    }
    return 0;
}

AudioDevice::RenderPlan Wasapi::GetRenderPlan() {
    CKVAAutoLock lock(mLock);  // a reopen on another thread changes the period
    RenderPlan plan;
    int32_t bytes = static_cast<int32_t>(mWaveFormat.Format.nBlockAlign * mFramesPerPeriod);
    plan.bufferBytes = bytes;
    plan.askBytes = bytes;
    plan.stampPreset = -1;
    plan.waitFirst = false;
    plan.fillLock = &mLock;
    return plan;
}

const AudioDevice::RenderTexts& Wasapi::GetRenderTexts() { return kTexts; }

int32_t Wasapi::WaitPlay() {
    CKVAAutoLock lock(mLock);
    HRESULT hr = S_OK;
    for (;;) {
        if (!mClient || !mRenderClient) {
            // Closed while this thread waited: nothing to report once the device stopped.
            if (GetState() != kPlaying) return 0;
            SetSystemErrorCode(-1);
            SetErrorCode(kDeviceErrorWrite);
            return 3;
        }
        UINT32 padding = 0;
        hr = mClient->GetCurrentPadding(&padding);
        if (FAILED(hr)) break;
        const int64_t room = static_cast<int64_t>(mBufferFrames) - padding;
        if (room >= static_cast<int64_t>(mFramesPerPeriod) || GetState() != kPlaying) return 0;
        // A server may not signal each period (its write requests follow its own clock, not the
        // padding); the room needed appears after this long of playing in any case, so that is
        // the longest the buffer is left to run down.
        const uint32_t rate = mWaveFormat.Format.nSamplesPerSec;
        const int64_t missing = static_cast<int64_t>(mFramesPerPeriod) - room;
        DWORD waitMs = rate ? static_cast<DWORD>(missing * 1000 / rate) + 1 : 10;
        if (waitMs > 200) waitMs = 200;
        // The lock is not held across the wait: a mutex without fairness would otherwise let
        // this loop keep Pause, SetVolume and Close out for as long as it runs.
        mLock.Unlock();
        WaitForSingleObject(mBufferEvent, waitMs);
        mLock.Lock();
    }
    KVA_LOG(kLogError, "Wasapi::WaitPlay failed to GetCurrentPadding: %ld", L(hr));
    SetSystemErrorCode(hr);
    SetErrorCode(kDeviceErrorWrite);
    if (hr == AUDCLNT_E_DEVICE_INVALIDATED) {
        SetErrorCode(kDeviceErrorInvalidated);
        return 2;
    }
    return 3;
}

void Wasapi::ReportRenderFailure(HRESULT hr) {
    SetSystemErrorCode(hr);
    SetErrorCode(kDeviceErrorWrite);
    ReportDeviceError(hr == AUDCLNT_E_DEVICE_INVALIDATED ? kDeviceErrInvalidated
                                                         : kDeviceErrRender);
}

bool Wasapi::RenderWrite(const uint8_t* pcm, int32_t bytes) {
    HRESULT hr;
    bool written = false;
    {
        CKVAAutoLock lock(mLock);
        if (!mRenderClient) {
            SetErrorCode(kDeviceErrorWrite);
            SetSystemErrorCode(2);
            hr = S_OK;
        } else {
            UINT32 padding = 0;
            hr = mClient->GetCurrentPadding(&padding);
            if (FAILED(hr)) {
                KVA_LOG(kLogError, "Wasapi::doRenderFunc failed to GetCurrentPadding: %ld", L(hr));
            } else {
                uint32_t blockAlign = mWaveFormat.Format.nBlockAlign;
                uint32_t frames = blockAlign ? static_cast<uint32_t>(bytes) / blockAlign : 0;
                int64_t room = static_cast<int64_t>(mBufferFrames) - padding;
                uint32_t n = room <= 0 ? 0 : frames < room ? frames : static_cast<uint32_t>(room);
                BYTE* data = nullptr;
                hr = mRenderClient->GetBuffer(n, &data);
                if (FAILED(hr)) {
                    KVA_LOG(kLogError, "Wasapi::doRenderFunc failed to GetBuffer: %ld", L(hr));
                } else {
                    if (n && data) memcpy(data, pcm, static_cast<size_t>(n) * blockAlign);
                    hr = mRenderClient->ReleaseBuffer(n, 0);
                    if (FAILED(hr))
                        KVA_LOG(kLogError, "Wasapi::doRenderFunc failed to ReleaseBuffer: %ld",
                                L(hr));
                }
            }
            written = SUCCEEDED(hr);
        }
    }
    if (written) return true;
    if (!FAILED(hr)) {  // no render client
        ReportDeviceError(kDeviceErrRender);
        return false;
    }
    ReportRenderFailure(hr);
    return false;
}

int32_t Wasapi::Write(const uint8_t* pcm, int32_t bytes, double ratio) {
    CKVAAutoLock lock(mLock);
    if (!mClient || !mRenderClient) {
        KVA_LOG(kLogError, "Wasapi::Write failed, render client is null");
        SetSystemErrorCode(-1);
        SetErrorCode(kDeviceErrorWrite);
        return 2;
    }
    auto fail = [this](HRESULT hr) {
        SetSystemErrorCode(hr);
        SetErrorCode(kDeviceErrorWrite);
        return hr == AUDCLNT_E_DEVICE_INVALIDATED ? 1 : 2;
    };
    UINT32 padding = 0;
    HRESULT hr = mClient->GetCurrentPadding(&padding);
    if (FAILED(hr)) {
        KVA_LOG(kLogError, "Wasapi::Write failed to GetCurrentPadding, %ld", L(hr));
        return fail(hr);
    }
    uint32_t blockAlign = mWaveFormat.Format.nBlockAlign;
    int64_t room = static_cast<int64_t>(mBufferFrames) - padding;
    if (room < static_cast<int64_t>(mFramesPerPeriod)) return 0;
    if (blockAlign == 0 || room < bytes / static_cast<int32_t>(blockAlign)) {
        SetSystemErrorCode(-1);
        SetErrorCode(kDeviceErrorWrite);
        return 2;
    }
    BYTE* data = nullptr;
    hr = mRenderClient->GetBuffer(mFramesPerPeriod, &data);
    if (FAILED(hr)) {
        KVA_LOG(kLogError, "Wasapi::Write failed to GetBuffer per_packet_frames_:%lu, %ld",
                static_cast<unsigned long>(mFramesPerPeriod), L(hr));
        return fail(hr);
    }
    if (data) {
        // Never more than the frames asked for, whatever the caller hands in.
        size_t limit = static_cast<size_t>(mFramesPerPeriod) * blockAlign;
        size_t n = static_cast<size_t>(bytes) < limit ? static_cast<size_t>(bytes) : limit;
        memcpy(data, pcm, n);
        if (n < limit) memset(data, 0, limit - n);  // no stale samples after a short block
        hr = mRenderClient->ReleaseBuffer(mFramesPerPeriod, 0);
    } else {
        hr = mRenderClient->ReleaseBuffer(0, AUDCLNT_BUFFERFLAGS_SILENT);
    }
    if (FAILED(hr)) {
        KVA_LOG(kLogError, "Wasapi::Write failed to ReleaseBuffer: %ld", L(hr));
        return fail(hr);
    }
    if (mClock) {
        hr = mClock->GetPosition(&mClockPosition, &mClockTime);
        if (FAILED(hr)) {
            KVA_LOG(kLogError, "Wasapi::Write failed to GetPosition: %ld", L(hr));
            return fail(hr);
        }
    }
    mBytesWritten += static_cast<int64_t>(bytes * ratio);
    if (mWaveFormat.Format.nSamplesPerSec)
        mPlayedTime = mBytesWritten.load() / blockAlign * 1000000 / mWaveFormat.Format.nSamplesPerSec;
    return 0;
}

void Wasapi::DoFlush() {
    CKVAAutoLock lock(mLock);
    if (!mClient) return;
    int32_t state = GetState();
    if (state == kPaused) {
        mClient->Reset();
    } else if (state == kPlaying) {
        mClient->Stop();
        mClient->Reset();
        mClient->Start();
    } else {
        return;
    }
    mBytesWritten = 0;
}

}  // namespace kva_audioplayer
