#include "platform/CoreAudio.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/SoundSystem.h"
#include "platform/StreamRoute.h"
#include "support/Clock.h"
#include "support/TextUtil.h"

namespace kva_audioplayer {

const GUID KSDATAFORMAT_SUBTYPE_PCM = {0x00000001, 0x0000, 0x0010,
                                       {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
const GUID KSDATAFORMAT_SUBTYPE_IEEE_FLOAT = {0x00000003, 0x0000, 0x0010,
                                              {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

const CLSID CLSID_MMDeviceEnumerator = {0xBCDE0395, 0xE52F, 0x467C,
                                        {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
const IID IID_IMMDeviceEnumerator = {0xA95664D2, 0x9614, 0x4F35,
                                     {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};
const IID IID_IMMNotificationClient = {0x7991EEC9, 0x7E89, 0x4D85,
                                       {0x83, 0x90, 0x6C, 0x70, 0x3C, 0xEC, 0x60, 0xC0}};
const IID IID_IMMEndpoint = {0x1BE09788, 0x6894, 0x4089,
                             {0x85, 0x86, 0x9A, 0x2A, 0x6C, 0x26, 0x5A, 0xC5}};
const IID IID_IAudioClient = {0x1CB9AD4C, 0xDBFA, 0x4C32,
                              {0xB1, 0x78, 0xC2, 0xF5, 0x68, 0xA7, 0x03, 0xB2}};
const IID IID_IAudioRenderClient = {0xF294ACFC, 0x3146, 0x4483,
                                    {0xA7, 0xBF, 0xAD, 0xDC, 0xA7, 0xC2, 0x60, 0xE2}};
const IID IID_IAudioClock = {0xCD63314F, 0x3FBA, 0x4A1B,
                             {0x81, 0x2C, 0xEF, 0x96, 0x35, 0x87, 0x28, 0xE7}};
const IID IID_IAudioSessionManager = {0xBFA971F1, 0x4D5E, 0x40BB,
                                      {0x93, 0x5E, 0x96, 0x70, 0x39, 0xBF, 0xBE, 0xE4}};
const IID IID_IKvaStreamRoute = {0x6B1C2F0E, 0x3D4A, 0x4E8B,
                                 {0x9A, 0x51, 0x7C, 0x0D, 0x2E, 0x64, 0xB3, 0x19}};
const IID IID_ISimpleAudioVolume = {0x87CE5498, 0x68D6, 0x44E5,
                                    {0x92, 0x15, 0x6D, 0xA4, 0x7E, 0xF8, 0x83, 0xD8}};

const PROPERTYKEY PKEY_Device_FriendlyName = {
    {0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 14};
const PROPERTYKEY PKEY_DeviceInterface_FriendlyName = {
    {0x026E516E, 0xB814, 0x414B, {0x83, 0xCD, 0x85, 0x6D, 0x6F, 0xEF, 0x48, 0x22}}, 2};
const PROPERTYKEY PKEY_AudioEngine_DeviceFormat = {
    {0xF19F064D, 0x082C, 0x4E27, {0xBC, 0x73, 0x68, 0x82, 0xA1, 0xBB, 0x8E, 0x4C}}, 0};
const PROPERTYKEY PKEY_AudioEndpoint_GUID = {
    {0x1DA5D803, 0xD492, 0x4EDD, {0x8C, 0x23, 0xE0, 0xC0, 0xFF, 0xEE, 0x7F, 0x0E}}, 4};

namespace {

const IID IID_IMMDevice = {0xD666063F, 0x1587, 0x4E43,
                           {0x81, 0xF1, 0xB9, 0x48, 0xE8, 0x07, 0x36, 0x3F}};
const IID IID_IMMDeviceCollection = {0x0BD7A1BE, 0x7A1A, 0x44DB,
                                     {0x83, 0x97, 0xCC, 0x53, 0x92, 0x38, 0x7B, 0x5E}};
const IID IID_IPropertyStore = {0x886D8EEB, 0x8CF2, 0x4446,
                                {0x8D, 0x02, 0xCD, 0xBA, 0x1D, 0xBD, 0xCF, 0x99}};

HRESULT FromSnd(int32_t r) {
    switch (r) {
        case snd::kOk: return S_OK;
        case snd::kFalse: return S_FALSE;
        case snd::kInvalidated: return AUDCLNT_E_DEVICE_INVALIDATED;
        case snd::kUnsupportedFormat: return AUDCLNT_E_UNSUPPORTED_FORMAT;
        case snd::kNotFound: return E_NOTFOUND;
        case snd::kInvalidArg: return E_INVALIDARG;
        case snd::kWrongState: return E_UNEXPECTED;
        default: return E_FAIL;
    }
}

constexpr uint64_t kBufferPeriods = 4;

uint32_t DefaultMask(int32_t channels) {
    static const uint32_t kMasks[] = {0x0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x60F, 0x13F, 0x63F};
    if (channels < 0) return 0;
    return channels <= 8 ? kMasks[channels] : 0x63F;
}

WAVEFORMATEXTENSIBLE ToWave(const snd::Format& f) {
    WAVEFORMATEXTENSIBLE w;
    memset(&w, 0, sizeof(w));
    w.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    w.Format.nChannels = static_cast<WORD>(f.channels);
    w.Format.nSamplesPerSec = static_cast<DWORD>(f.sampleRate);
    w.Format.wBitsPerSample = static_cast<WORD>(f.bitsPerSample);
    w.Format.nBlockAlign = static_cast<WORD>(f.BlockAlign());
    w.Format.nAvgBytesPerSec = w.Format.nBlockAlign * w.Format.nSamplesPerSec;
    w.Format.cbSize = 22;
    w.Samples.wValidBitsPerSample = static_cast<WORD>(f.bitsPerSample);
    w.dwChannelMask = f.channelMask ? f.channelMask : DefaultMask(f.channels);
    w.SubFormat = f.isFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
    return w;
}

// False for a record that does not describe interleaved PCM consistently.
bool FromWave(const WAVEFORMATEX* w, snd::Format* f) {
    if (!w || w->nChannels == 0 || w->nSamplesPerSec == 0 || w->wBitsPerSample % 8 != 0 ||
        w->wBitsPerSample == 0)
        return false;
    if (w->nBlockAlign != w->nChannels * w->wBitsPerSample / 8) return false;
    f->sampleRate = static_cast<int32_t>(w->nSamplesPerSec);
    f->channels = w->nChannels;
    f->bitsPerSample = w->wBitsPerSample;
    f->channelMask = 0;
    if (w->wFormatTag == WAVE_FORMAT_EXTENSIBLE && w->cbSize >= 22) {
        const auto* x = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(w);
        GUID sub = SubFormatOf(*x);
        if (sub == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT) f->isFloat = true;
        else if (sub == KSDATAFORMAT_SUBTYPE_PCM) f->isFloat = false;
        else return false;
        f->channelMask = x->dwChannelMask;
    } else if (w->wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
        f->isFloat = true;
    } else if (w->wFormatTag == WAVE_FORMAT_PCM) {
        f->isFloat = false;
    } else {
        return false;
    }
    return true;
}

WAVEFORMATEX* AllocWave(const snd::Format& f) {
    auto* w = static_cast<WAVEFORMATEXTENSIBLE*>(CoTaskMemAlloc(sizeof(WAVEFORMATEXTENSIBLE)));
    if (!w) return nullptr;
    *w = ToWave(f);
    return &w->Format;
}

LPWSTR AllocWide(const std::u16string& s) {
    auto* p = static_cast<char16_t*>(CoTaskMemAlloc((s.size() + 1) * sizeof(char16_t)));
    if (!p) return nullptr;
    memcpy(p, s.data(), s.size() * sizeof(char16_t));
    p[s.size()] = 0;
    return p;
}

// Endpoints seen once stay known, so that an endpoint that went away can still be opened by id
// and answer its name and a not-present state, as Windows keeps unplugged endpoints.
class EndpointCache {
public:
    void Remember(const snd::EndpointInfo& info) {
        std::lock_guard<std::mutex> lock(mMutex);
        mInfos[info.id] = info;
    }
    void SetState(const std::string& id, uint32_t state) {
        std::lock_guard<std::mutex> lock(mMutex);
        auto it = mInfos.find(id);
        if (it != mInfos.end()) it->second.state = state;
    }
    bool Find(const std::string& id, snd::EndpointInfo* out) {
        std::lock_guard<std::mutex> lock(mMutex);
        auto it = mInfos.find(id);
        if (it == mInfos.end()) return false;
        *out = it->second;
        return true;
    }

private:
    std::mutex mMutex;
    std::map<std::string, snd::EndpointInfo> mInfos;
};

EndpointCache& Cache() {
    static EndpointCache* cache = new EndpointCache;  // outlives every static destructor
    return *cache;
}

// Live endpoint first, then what was seen before (marked not present).
bool LookupEndpoint(snd::ISoundSystem* sys, const std::string& id, snd::EndpointInfo* out) {
    if (sys->GetEndpoint(id, out)) {
        Cache().Remember(*out);
        return true;
    }
    if (Cache().Find(id, out)) {
        out->state = DEVICE_STATE_NOTPRESENT;
        return true;
    }
    return false;
}

// ---- sessions: the volume shared by the streams of one (endpoint, session GUID) ----

struct Session {
    std::mutex mutex;
    float volume = 1.0f;
    std::vector<snd::IRenderStream*> streams;
};

std::shared_ptr<Session> FindSession(const std::string& endpointId, LPCGUID guid) {
    static std::mutex* mutex = new std::mutex;
    static auto* table = new std::map<std::string, std::shared_ptr<Session>>;
    std::string key = endpointId;
    key.push_back('|');
    GUID g = guid ? *guid : GUID_NULL;
    key.append(reinterpret_cast<const char*>(&g), sizeof(g));
    std::lock_guard<std::mutex> lock(*mutex);
    auto& slot = (*table)[key];
    if (!slot) slot = std::make_shared<Session>();
    return slot;
}

// ---- property store ----

class PropertyStore : public ComObject<IPropertyStore, IID_IPropertyStore> {
public:
    explicit PropertyStore(const snd::EndpointInfo& info) : mInfo(info) {}
    HRESULT GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override {
        if (!value) return E_POINTER;
        PropVariantInit(value);
        if (key == PKEY_Device_FriendlyName) return SetText(value, mInfo.friendlyName);
        if (key == PKEY_DeviceInterface_FriendlyName) return SetText(value, mInfo.adapterName);
        if (key == PKEY_AudioEndpoint_GUID) {
            GUID g = EndpointGuid(mInfo.id);
            char text[40];
            snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                     g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                     g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
            return SetText(value, Utf8ToUtf16(text));
        }
        if (key == PKEY_AudioEngine_DeviceFormat) {
            WAVEFORMATEXTENSIBLE w = ToWave(mInfo.mixFormat);
            auto* data = static_cast<BYTE*>(CoTaskMemAlloc(sizeof(w)));
            if (!data) return E_OUTOFMEMORY;
            memcpy(data, &w, sizeof(w));
            value->vt = VT_BLOB;
            value->blob.cbSize = sizeof(w);
            value->blob.pBlobData = data;
            return S_OK;
        }
        return S_OK;  // unknown keys: VT_EMPTY
    }

private:
    static HRESULT SetText(PROPVARIANT* value, const std::u16string& text) {
        value->pwszVal = AllocWide(text);
        if (!value->pwszVal) return E_OUTOFMEMORY;
        value->vt = VT_LPWSTR;
        return S_OK;
    }
    snd::EndpointInfo mInfo;
};

// ---- audio client and its services ----

class AudioClient : public ComObject<IAudioClient, IID_IAudioClient> {
public:
    AudioClient(std::shared_ptr<snd::ISoundSystem> sys, std::string id)
        : mSys(std::move(sys)), mId(std::move(id)) {}

    HRESULT Initialize(AUDCLNT_SHAREMODE mode, DWORD flags, REFERENCE_TIME bufferDuration,
                       REFERENCE_TIME, const WAVEFORMATEX* format, LPCGUID sessionGuid) override {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mStream) return AUDCLNT_E_ALREADY_INITIALIZED;
        if (mode != AUDCLNT_SHAREMODE_SHARED) return E_NOTIMPL;
        if (!format) return E_POINTER;
        snd::Format f;
        if (!FromWave(format, &f)) return E_INVALIDARG;
        snd::EndpointInfo info;
        if (!mSys->GetEndpoint(mId, &info)) return AUDCLNT_E_DEVICE_INVALIDATED;
        snd::Format closest;
        int32_t r = mSys->IsFormatSupported(mId, f, &closest);
        if (r != snd::kOk) return r == snd::kInvalidated ? AUDCLNT_E_DEVICE_INVALIDATED
                                                         : AUDCLNT_E_UNSUPPORTED_FORMAT;
        // Shared mode: what was asked for, but at least kBufferPeriods device periods. Two, as
        // Windows gives, underrun on a loaded desktop behind a sound server; four ride out a
        // scheduling delay of three periods while still waking once per period.
        uint64_t period = PeriodFramesAt(info, f.sampleRate);
        uint64_t asked = static_cast<uint64_t>(bufferDuration > 0 ? bufferDuration : 0) *
                         static_cast<uint64_t>(f.sampleRate) / 10000000u;
        uint32_t frames = static_cast<uint32_t>(std::max<uint64_t>(asked, kBufferPeriods * period));
        std::unique_ptr<snd::IRenderStream> stream;
        r = mSys->OpenStream(mId, f, frames, &stream);
        if (r != snd::kOk || !stream) return FromSnd(r != snd::kOk ? r : snd::kFailed);
        mFormat = stream->GetFormat();
        mBlockAlign = static_cast<uint32_t>(mFormat.BlockAlign());
        mBufferFrames = stream->BufferFrames();
        mStaging.assign(static_cast<size_t>(mBufferFrames) * mBlockAlign, 0);
        mEventMode = (flags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) != 0;
        stream->SetPeriodCallback(&AudioClient::OnPeriod, this);
        mSession = FindSession(mId, sessionGuid);
        {
            std::lock_guard<std::mutex> sl(mSession->mutex);
            stream->SetVolume(mSession->volume);
            mSession->streams.push_back(stream.get());
        }
        mRoute->Attach(stream.get());
        mStream = std::move(stream);
        return S_OK;
    }

    HRESULT GetBufferSize(UINT32* frames) override {
        if (!frames) return E_POINTER;
        if (!mStream) return AUDCLNT_E_NOT_INITIALIZED;
        *frames = mBufferFrames;
        return S_OK;
    }

    HRESULT GetCurrentPadding(UINT32* frames) override {
        if (!frames) return E_POINTER;
        if (!mStream) return AUDCLNT_E_NOT_INITIALIZED;
        uint32_t padding = 0;
        int32_t r = mStream->GetPadding(&padding);
        if (r != snd::kOk) return FromSnd(r);
        *frames = padding;
        return S_OK;
    }

    HRESULT IsFormatSupported(AUDCLNT_SHAREMODE mode, const WAVEFORMATEX* format,
                              WAVEFORMATEX** closest) override {
        if (closest) *closest = nullptr;
        if (!format) return E_POINTER;
        if (mode == AUDCLNT_SHAREMODE_SHARED && !closest) return E_POINTER;
        snd::Format f;
        if (!FromWave(format, &f)) return E_INVALIDARG;
        snd::Format near;
        int32_t r = mSys->IsFormatSupported(mId, f, &near);
        if (r == snd::kOk) return S_OK;
        if (r == snd::kFalse) {
            if (mode == AUDCLNT_SHAREMODE_SHARED) {
                *closest = AllocWave(near);
                if (!*closest) return E_OUTOFMEMORY;
                return S_FALSE;
            }
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        }
        return FromSnd(r);
    }

    HRESULT GetMixFormat(WAVEFORMATEX** format) override {
        if (!format) return E_POINTER;
        *format = nullptr;
        snd::EndpointInfo info;
        if (!mSys->GetEndpoint(mId, &info)) return AUDCLNT_E_DEVICE_INVALIDATED;
        *format = AllocWave(info.mixFormat);
        return *format ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT GetDevicePeriod(REFERENCE_TIME* defaultPeriod, REFERENCE_TIME* minPeriod) override {
        if (!defaultPeriod && !minPeriod) return E_POINTER;
        snd::EndpointInfo info;
        if (!mSys->GetEndpoint(mId, &info)) return AUDCLNT_E_DEVICE_INVALIDATED;
        int32_t rate = info.mixFormat.sampleRate > 0 ? info.mixFormat.sampleRate : 48000;
        REFERENCE_TIME p = (static_cast<REFERENCE_TIME>(info.periodFrames) * 10000000 + rate / 2) /
                           rate;
        if (defaultPeriod) *defaultPeriod = p;
        if (minPeriod) *minPeriod = p;
        return S_OK;
    }

    HRESULT Start() override {
        std::lock_guard<std::mutex> lock(mMutex);
        if (!mStream) return AUDCLNT_E_NOT_INITIALIZED;
        if (mEventMode && !mEvent.load()) return AUDCLNT_E_EVENTHANDLE_NOT_SET;
        if (mRunning) return AUDCLNT_E_NOT_STOPPED;
        HRESULT hr = FromSnd(mStream->Start());
        if (SUCCEEDED(hr)) mRunning = true;
        return hr;
    }

    HRESULT Stop() override {
        std::lock_guard<std::mutex> lock(mMutex);
        if (!mStream) return AUDCLNT_E_NOT_INITIALIZED;
        if (!mRunning) return S_FALSE;
        HRESULT hr = FromSnd(mStream->Stop());
        if (SUCCEEDED(hr)) mRunning = false;
        return hr;
    }

    HRESULT Reset() override {
        std::lock_guard<std::mutex> lock(mMutex);
        if (!mStream) return AUDCLNT_E_NOT_INITIALIZED;
        if (mRunning) return AUDCLNT_E_NOT_STOPPED;
        return FromSnd(mStream->Reset());
    }

    HRESULT SetEventHandle(HANDLE event) override {
        if (!event) return E_INVALIDARG;
        if (!mStream) return AUDCLNT_E_NOT_INITIALIZED;
        mEvent.store(event);
        return S_OK;
    }

    HRESULT GetService(REFIID iid, void** out) override;
    // Set once by Initialize, which comes before any service.

    // Render client side.
    HRESULT GetBuffer(UINT32 frames, BYTE** data) {
        if (!data) return E_POINTER;
        *data = nullptr;
        if (!mStream) return AUDCLNT_E_NOT_INITIALIZED;
        if (mPending >= 0) return AUDCLNT_E_OUT_OF_ORDER;
        uint32_t padding = 0;
        int32_t r = mStream->GetPadding(&padding);
        if (r != snd::kOk) return FromSnd(r);
        if (frames > mBufferFrames - std::min(padding, mBufferFrames))
            return AUDCLNT_E_BUFFER_TOO_LARGE;
        mPending = static_cast<int64_t>(frames);
        *data = mStaging.data();
        return S_OK;
    }

    HRESULT ReleaseBuffer(UINT32 frames, DWORD flags) {
        if (!mStream) return AUDCLNT_E_NOT_INITIALIZED;
        if (mPending < 0) return AUDCLNT_E_OUT_OF_ORDER;
        if (frames > mPending) return AUDCLNT_E_INVALID_SIZE;
        mPending = -1;
        if (frames == 0) return S_OK;
        const bool silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0;
        if (silent) {
            bool unsigned8 = !mFormat.isFloat && mFormat.bitsPerSample == 8;
            memset(mStaging.data(), unsigned8 ? 0x80 : 0, static_cast<size_t>(frames) * mBlockAlign);
        }
        // A silent release carries no media of the client's.
        const uint32_t mark = silent || snd::InDeviceFill() ? snd::kWriteDeviceFill : 0;
        return FromSnd(mStream->Write(mStaging.data(), frames, mark));
    }

    HRESULT ClockFrequency(UINT64* frequency) {
        if (!frequency) return E_POINTER;
        *frequency = static_cast<UINT64>(mFormat.sampleRate) * mBlockAlign;
        return S_OK;
    }

    HRESULT ClockPosition(UINT64* position, UINT64* qpc) {
        if (!position) return E_POINTER;
        if (!mStream) return AUDCLNT_E_NOT_INITIALIZED;
        int32_t r = mStream->GetStatus();
        if (r != snd::kOk) return FromSnd(r);
        *position = mStream->FramesPlayed() * mBlockAlign;
        if (qpc) *qpc = static_cast<UINT64>(MonotonicMs()) * 10000u;
        return S_OK;
    }

private:
    ~AudioClient() override {
        if (!mStream) return;
        mStream->SetPeriodCallback(nullptr, nullptr);
        mStream->Stop();
        {
            std::lock_guard<std::mutex> sl(mSession->mutex);
            auto& v = mSession->streams;
            v.erase(std::remove(v.begin(), v.end(), mStream.get()), v.end());
        }
        mRoute->Attach(nullptr);
        mStream.reset();
    }


    static uint64_t PeriodFramesAt(const snd::EndpointInfo& info, int32_t rate) {
        int32_t mixRate = info.mixFormat.sampleRate > 0 ? info.mixFormat.sampleRate : rate;
        return (static_cast<uint64_t>(info.periodFrames) * static_cast<uint64_t>(rate) +
                static_cast<uint64_t>(mixRate) / 2) / static_cast<uint64_t>(mixRate);
    }

    static void OnPeriod(void* context) {
        auto* self = static_cast<AudioClient*>(context);
        HANDLE e = self->mEvent.load();
        if (e) SetEvent(e);
    }

    std::shared_ptr<snd::ISoundSystem> mSys;
    std::string mId;
    std::mutex mMutex;  // initialisation and the running flag
    std::unique_ptr<snd::IRenderStream> mStream;
    const std::shared_ptr<snd::RouteSource> mRoute = std::make_shared<snd::RouteSource>(mId);
    snd::Format mFormat;
    uint32_t mBlockAlign = 0;
    uint32_t mBufferFrames = 0;
    std::vector<uint8_t> mStaging;
    int64_t mPending = -1;  // frames handed out by GetBuffer, -1 when none
    bool mEventMode = false;
    bool mRunning = false;
    std::atomic<HANDLE> mEvent{nullptr};
    std::shared_ptr<Session> mSession;

};

class RenderClient : public ComObject<IAudioRenderClient, IID_IAudioRenderClient> {
public:
    explicit RenderClient(AudioClient* client) : mClient(client) { mClient->AddRef(); }
    HRESULT GetBuffer(UINT32 frames, BYTE** data) override {
        return mClient->GetBuffer(frames, data);
    }
    HRESULT ReleaseBuffer(UINT32 frames, DWORD flags) override {
        return mClient->ReleaseBuffer(frames, flags);
    }

private:
    ~RenderClient() override { mClient->Release(); }
    AudioClient* mClient;
};

class AudioClock : public ComObject<IAudioClock, IID_IAudioClock> {
public:
    explicit AudioClock(AudioClient* client) : mClient(client) { mClient->AddRef(); }
    HRESULT GetFrequency(UINT64* frequency) override { return mClient->ClockFrequency(frequency); }
    HRESULT GetPosition(UINT64* position, UINT64* qpc) override {
        return mClient->ClockPosition(position, qpc);
    }

private:
    ~AudioClock() override { mClient->Release(); }
    AudioClient* mClient;
};

class StreamRoute : public ComObject<IKvaStreamRoute, IID_IKvaStreamRoute> {
public:
    explicit StreamRoute(std::shared_ptr<snd::RouteSource> source) : mSource(std::move(source)) {}
    UINT32 GetMoveCount() override { return mSource->Moves(); }
    HRESULT GetEndpointId(LPWSTR* id) override {
        if (!id) return E_POINTER;
        *id = AllocWide(Utf8ToUtf16(mSource->EndpointId()));
        return *id ? S_OK : E_OUTOFMEMORY;
    }

private:
    ~StreamRoute() override = default;
    std::shared_ptr<snd::RouteSource> mSource;
};

}  // namespace

IKvaStreamRoute* NewStreamRoute(std::shared_ptr<snd::RouteSource> source) {
    return new StreamRoute(std::move(source));
}

namespace {

HRESULT AudioClient::GetService(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!mStream) return AUDCLNT_E_NOT_INITIALIZED;
    if (iid == IID_IAudioRenderClient) {
        *out = static_cast<IAudioRenderClient*>(new RenderClient(this));
        return S_OK;
    }
    if (iid == IID_IAudioClock) {
        *out = static_cast<IAudioClock*>(new AudioClock(this));
        return S_OK;
    }
    if (iid == IID_IKvaStreamRoute) {
        *out = NewStreamRoute(mRoute);
        return S_OK;
    }
    return E_NOINTERFACE;
}

class SessionVolume : public ComObject<ISimpleAudioVolume, IID_ISimpleAudioVolume> {
public:
    explicit SessionVolume(std::shared_ptr<Session> session) : mSession(std::move(session)) {}
    HRESULT SetMasterVolume(float level, LPCGUID) override {
        if (!(level >= 0.0f && level <= 1.0f)) return E_INVALIDARG;
        std::lock_guard<std::mutex> lock(mSession->mutex);
        mSession->volume = level;
        for (snd::IRenderStream* s : mSession->streams) s->SetVolume(level);
        return S_OK;
    }
    HRESULT GetMasterVolume(float* level) override {
        if (!level) return E_POINTER;
        std::lock_guard<std::mutex> lock(mSession->mutex);
        *level = mSession->volume;
        return S_OK;
    }

private:
    std::shared_ptr<Session> mSession;
};

class SessionManager : public ComObject<IAudioSessionManager, IID_IAudioSessionManager> {
public:
    explicit SessionManager(std::string id) : mId(std::move(id)) {}
    HRESULT GetSimpleAudioVolume(LPCGUID sessionGuid, DWORD, ISimpleAudioVolume** out) override {
        if (!out) return E_POINTER;
        *out = new SessionVolume(FindSession(mId, sessionGuid));
        return S_OK;
    }

private:
    std::string mId;
};

// ---- devices ----

class Device;

class Endpoint : public ComObject<IMMEndpoint, IID_IMMEndpoint> {
public:
    HRESULT GetDataFlow(EDataFlow* flow) override {
        if (!flow) return E_POINTER;
        *flow = eRender;  // the sound systems expose render endpoints only
        return S_OK;
    }

private:
};

class Device : public ComObject<IMMDevice, IID_IMMDevice> {
public:
    Device(std::shared_ptr<snd::ISoundSystem> sys, std::string id)
        : mSys(std::move(sys)), mId(std::move(id)) {
        snd::EndpointInfo info;
        if (mSys->GetEndpoint(mId, &info)) Cache().Remember(info);  // known after it goes
    }

    HRESULT QueryInterface(REFIID iid, void** out) override {
        if (out && iid == IID_IMMEndpoint) {
            *out = static_cast<IMMEndpoint*>(new Endpoint);
            return S_OK;
        }
        return ComObject<IMMDevice, IID_IMMDevice>::QueryInterface(iid, out);
    }

    HRESULT Activate(REFIID iid, DWORD, PROPVARIANT*, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (iid == IID_IAudioClient) {
            snd::EndpointInfo info;
            if (!mSys->GetEndpoint(mId, &info) || info.state != snd::kStateActive)
                return AUDCLNT_E_DEVICE_INVALIDATED;
            *out = static_cast<IAudioClient*>(new AudioClient(mSys, mId));
            return S_OK;
        }
        if (iid == IID_IAudioSessionManager) {
            *out = static_cast<IAudioSessionManager*>(new SessionManager(mId));
            return S_OK;
        }
        return E_NOINTERFACE;
    }

    HRESULT OpenPropertyStore(DWORD, IPropertyStore** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        snd::EndpointInfo info;
        if (!LookupEndpoint(mSys.get(), mId, &info)) return E_NOTFOUND;
        *out = new PropertyStore(info);
        return S_OK;
    }

    HRESULT GetId(LPWSTR* id) override {
        if (!id) return E_POINTER;
        *id = AllocWide(Utf8ToUtf16(mId));
        return *id ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT GetState(DWORD* state) override {
        if (!state) return E_POINTER;
        snd::EndpointInfo info;
        *state = LookupEndpoint(mSys.get(), mId, &info) ? info.state : DEVICE_STATE_NOTPRESENT;
        return S_OK;
    }

private:
    std::shared_ptr<snd::ISoundSystem> mSys;
    std::string mId;
};

class DeviceCollection : public ComObject<IMMDeviceCollection, IID_IMMDeviceCollection> {
public:
    DeviceCollection(std::shared_ptr<snd::ISoundSystem> sys, std::vector<std::string> ids)
        : mSys(std::move(sys)), mIds(std::move(ids)) {}
    HRESULT GetCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = static_cast<UINT>(mIds.size());
        return S_OK;
    }
    HRESULT Item(UINT index, IMMDevice** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (index >= mIds.size()) return E_INVALIDARG;
        *out = new Device(mSys, mIds[index]);
        return S_OK;
    }

private:
    std::shared_ptr<snd::ISoundSystem> mSys;
    std::vector<std::string> mIds;
};

// Turns the sound system's endpoint events into IMMNotificationClient calls.
class NotificationAdapter : public snd::IListener {
public:
    NotificationAdapter(std::shared_ptr<snd::ISoundSystem> sys, IMMNotificationClient* client)
        : mSys(std::move(sys)), mClient(client) {}
    virtual ~NotificationAdapter() = default;
    IMMNotificationClient* Client() const { return mClient; }
    void Follow(std::shared_ptr<snd::ISoundSystem> sys) {
        std::lock_guard<std::mutex> lock(mMutex);
        mSys = std::move(sys);
    }

    void OnEndpointAdded(const std::string& id) override {
        snd::EndpointInfo info;
        uint32_t state = DEVICE_STATE_ACTIVE;
        if (Sys()->GetEndpoint(id, &info)) {
            Cache().Remember(info);
            state = info.state;
        }
        std::u16string wid = Utf8ToUtf16(id);
        mClient->OnDeviceAdded(wid.c_str());
        mClient->OnDeviceStateChanged(wid.c_str(), state);
    }
    void OnEndpointRemoved(const std::string& id) override {
        Cache().SetState(id, DEVICE_STATE_NOTPRESENT);
        std::u16string wid = Utf8ToUtf16(id);
        mClient->OnDeviceStateChanged(wid.c_str(), DEVICE_STATE_NOTPRESENT);
        mClient->OnDeviceRemoved(wid.c_str());
    }
    void OnEndpointStateChanged(const std::string& id, uint32_t state) override {
        Cache().SetState(id, state);
        std::u16string wid = Utf8ToUtf16(id);
        mClient->OnDeviceStateChanged(wid.c_str(), state);
    }
    void OnDefaultChanged(const std::string& id) override {
        std::u16string wid = Utf8ToUtf16(id);
        const char16_t* p = id.empty() ? nullptr : wid.c_str();
        // One call per role, as Windows makes them.
        mClient->OnDefaultDeviceChanged(eRender, eConsole, p);
        mClient->OnDefaultDeviceChanged(eRender, eMultimedia, p);
        mClient->OnDefaultDeviceChanged(eRender, eCommunications, p);
    }

private:
    std::shared_ptr<snd::ISoundSystem> Sys() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mSys;
    }
    std::mutex mMutex;
    std::shared_ptr<snd::ISoundSystem> mSys;
    IMMNotificationClient* mClient;
};

// Follows the automatic choice of sound system: when it moves away from the system this
// enumerator was made on, lookups and registered notification clients move with it.
class DeviceEnumerator : public ComObject<IMMDeviceEnumerator, IID_IMMDeviceEnumerator>,
                         public snd::IChoiceObserver {
public:
    explicit DeviceEnumerator(std::shared_ptr<snd::ISoundSystem> sys) : mSys(std::move(sys)) {
        snd::AddChoiceObserver(this);
    }

    HRESULT EnumAudioEndpoints(EDataFlow flow, DWORD stateMask,
                               IMMDeviceCollection** out) override {
        if (!out) return E_POINTER;
        auto sys = Sys();
        std::vector<std::string> ids;
        if (flow == eRender || flow == eAll) {
            for (const snd::EndpointInfo& info : sys->GetEndpoints()) {
                Cache().Remember(info);
                if (info.state & stateMask) ids.push_back(info.id);
            }
        }
        *out = new DeviceCollection(std::move(sys), std::move(ids));
        return S_OK;
    }

    HRESULT GetDefaultAudioEndpoint(EDataFlow flow, ERole, IMMDevice** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (flow != eRender) return E_NOTFOUND;
        auto sys = Sys();
        std::string id = sys->GetDefaultEndpoint();
        if (id.empty()) return E_NOTFOUND;
        *out = new Device(std::move(sys), id);
        return S_OK;
    }

    HRESULT GetDevice(LPCWSTR id, IMMDevice** out) override {
        if (!out || !id) return E_POINTER;
        *out = nullptr;
        std::string key = Utf16ToUtf8(id);
        auto sys = Sys();
        snd::EndpointInfo info;
        if (!LookupEndpoint(sys.get(), key, &info)) return E_NOTFOUND;
        *out = new Device(std::move(sys), key);
        return S_OK;
    }

    HRESULT RegisterEndpointNotificationCallback(IMMNotificationClient* client) override {
        if (!client) return E_POINTER;
        std::lock_guard<std::mutex> move(mMoveMutex);
        auto sys = Sys();
        auto adapter = std::make_unique<NotificationAdapter>(sys, client);
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mAdapters.push_back(adapter.get());
        }
        sys->AddListener(adapter.release());
        return S_OK;
    }

    HRESULT UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override {
        if (!client) return E_POINTER;
        std::lock_guard<std::mutex> move(mMoveMutex);
        NotificationAdapter* found = nullptr;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            for (auto it = mAdapters.begin(); it != mAdapters.end(); ++it) {
                if ((*it)->Client() == client) {
                    found = *it;
                    mAdapters.erase(it);
                    break;
                }
            }
        }
        if (!found) return E_NOTFOUND;
        Sys()->RemoveListener(found);
        delete found;
        return S_OK;
    }

    // The listeners are moved without the enumerator's lock: a listener call in progress may
    // be looking an endpoint up through it, and removing its listener waits for that call.
    void OnChoiceMoved(snd::ISoundSystem* old, const std::shared_ptr<snd::ISoundSystem>& now,
                       bool oldLost) override {
        std::lock_guard<std::mutex> move(mMoveMutex);
        std::shared_ptr<snd::ISoundSystem> previous;
        std::vector<NotificationAdapter*> adapters;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            if (mSys.get() != old) return;
            previous = mSys;
            mSys = now;
            adapters = mAdapters;
        }
        for (NotificationAdapter* a : adapters) {
            previous->RemoveListener(a);
            a->Follow(now);
            // No default for a moment: a client that remembers the last default id takes the
            // new system's default as news even when its id is the one seen before.
            a->OnDefaultChanged(std::string());
            now->AddListener(a);
        }
        // Devices failing over after a loss find the new system themselves.
        if (!oldLost && !adapters.empty()) now->AnnounceEndpoints();
    }

private:
    ~DeviceEnumerator() override {
        snd::RemoveChoiceObserver(this);
        auto sys = Sys();
        for (NotificationAdapter* a : mAdapters) {
            sys->RemoveListener(a);
            delete a;
        }
    }
    std::shared_ptr<snd::ISoundSystem> Sys() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mSys;
    }

    // Serialises registration changes with a move of the system.
    std::mutex mMoveMutex;
    std::mutex mMutex;
    std::shared_ptr<snd::ISoundSystem> mSys;
    std::vector<NotificationAdapter*> mAdapters;
};

}  // namespace

GUID EndpointGuid(const std::string& id) {
    // Two FNV-1a passes with different offsets give 16 stable bytes per id.
    uint64_t h1 = 0xcbf29ce484222325ull, h2 = 0x84222325cbf29ce4ull;
    for (unsigned char c : id) {
        h1 = (h1 ^ c) * 0x100000001b3ull;
        h2 = (h2 ^ c) * 0x100000001b3ull;
    }
    GUID g;
    g.Data1 = static_cast<uint32_t>(h1 >> 32);
    g.Data2 = static_cast<uint16_t>(h1 >> 16);
    g.Data3 = static_cast<uint16_t>((h1 & 0x0FFF) | 0x4000);
    for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<uint8_t>(h2 >> (56 - 8 * i));
    g.Data4[0] = static_cast<uint8_t>((g.Data4[0] & 0x3F) | 0x80);
    return g;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return E_NOINTERFACE;
    if (clsid != CLSID_MMDeviceEnumerator) return REGDB_E_CLASSNOTREG;
    if (iid != IID_IMMDeviceEnumerator && iid != IID_IUnknown) return E_NOINTERFACE;
    std::shared_ptr<snd::ISoundSystem> sys = snd::GetSoundSystem();
    if (!sys) return E_FAIL;
    *out = static_cast<IMMDeviceEnumerator*>(new DeviceEnumerator(std::move(sys)));
    return S_OK;
}

}  // namespace kva_audioplayer
