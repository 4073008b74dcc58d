#include "device/AudioDeviceMonitor.h"

#include <algorithm>

#include "device/DirectSound.h"
#include "device/WaveOut.h"
#include "device/Wasapi.h"
#include "platform/SoundSystem.h"
#include "support/Log.h"
#include "support/TextUtil.h"

namespace kva_audioplayer {

namespace {

void EnumWasapiDevices(AudioDeviceList& out, bool withDefaultEntry) {
    Wasapi enumerator(u"");
    enumerator.EnumDeviceList(out, withDefaultEntry);
}

// Types that are not 4 or 6 are made as WASAPI devices, so they are listed as such.
int32_t ListedType(int32_t type) {
    return (type == kDeviceTypeWaveOut || type == kDeviceTypeDirectSound) ? type
                                                                          : kDeviceTypeWasapi;
}

int32_t EntryType(const AudioDeviceInfo& info) {
    return DeviceTypeFromDriverName(info.driver.c_str());
}

bool SameDevice(const AudioDeviceInfo& info, const std::u16string& name, int32_t type) {
    return info.name == name && EntryType(info) == ListedType(type);
}

const char* EventLabel(int32_t type) {
    switch (type) {
        case kDeviceEventTypeAdded: return "OnDeviceAdded:";
        case kDeviceEventTypeRemoved: return "OnDeviceRemoved:";
        default: return "OnDeviceDefaultChanged:";
    }
}

}  // namespace

DeviceListEnumerator DriverEnumerator(int32_t type) {
    switch (type) {
        case kDeviceTypeWasapi: return &EnumWasapiDevices;
        case kDeviceTypeWaveOut: return &WaveOut::EnumDevices;
        case kDeviceTypeDirectSound: return &DirectSound::EnumDevices;
        default: return nullptr;
    }
}

// ---- notification client ----

AudioDeviceNotificationClient::AudioDeviceNotificationClient(AudioDeviceMonitor* monitor)
    : mMonitor(monitor) {
    mDefaultLock.Init();
}

HRESULT AudioDeviceNotificationClient::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IMMNotificationClient) {
        AddRef();
        *out = static_cast<IMMNotificationClient*>(this);
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

uint32_t AudioDeviceNotificationClient::AddRef() {
    return mRefs.fetch_add(1, std::memory_order_relaxed) + 1;
}

uint32_t AudioDeviceNotificationClient::Release() {
    uint32_t left = mRefs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) {
        // Once unregistered no notification can reach this object any more.
        if (mEnumerator) {
            mEnumerator->UnregisterEndpointNotificationCallback(this);
            mEnumerator->Release();
            mEnumerator = nullptr;
        }
        delete this;
    }
    return left;
}

bool AudioDeviceNotificationClient::ReadEndpoint(LPCWSTR id, bool checkFlow,
                                                 std::u16string* name) {
    IMMDeviceEnumerator* enumerator = mEnumerator;
    if (!enumerator || !id) return false;
    IMMDevice* device = nullptr;
    if (FAILED(enumerator->GetDevice(id, &device)) || !device) return false;
    if (checkFlow) {
        IMMEndpoint* endpoint = nullptr;
        EDataFlow flow = eRender;
        bool render = SUCCEEDED(device->QueryInterface(IID_IMMEndpoint,
                                                       reinterpret_cast<void**>(&endpoint))) &&
                      endpoint && SUCCEEDED(endpoint->GetDataFlow(&flow)) && flow == eRender;
        SafeRelease(endpoint);
        if (!render) {
            device->Release();
            return false;
        }
    }
    IPropertyStore* store = nullptr;
    if (FAILED(device->OpenPropertyStore(STGM_READ, &store)) || !store) {
        device->Release();
        return false;
    }
    PROPVARIANT value;
    PropVariantInit(&value);
    name->clear();
    if (SUCCEEDED(store->GetValue(PKEY_Device_FriendlyName, &value)) && value.vt == VT_LPWSTR &&
        value.pwszVal)
        *name = value.pwszVal;
    PropVariantClear(&value);
    // Format and endpoint GUID are read as the system offers them; the events carry neither.
    uint8_t format[40] = {0};
    if (SUCCEEDED(store->GetValue(PKEY_AudioEngine_DeviceFormat, &value)) && value.vt == VT_BLOB &&
        value.blob.pBlobData)
        memcpy(format, value.blob.pBlobData, std::min<uint32_t>(value.blob.cbSize, sizeof(format)));
    PropVariantClear(&value);
    GUID guid = GUID_NULL;
    if (SUCCEEDED(store->GetValue(PKEY_AudioEndpoint_GUID, &value)) && value.vt == VT_LPWSTR &&
        value.pwszVal)
        CLSIDFromString(value.pwszVal, &guid);
    PropVariantClear(&value);
    store->Release();
    device->Release();
    return true;
}

HRESULT AudioDeviceNotificationClient::OnDeviceStateChanged(LPCWSTR id, DWORD newState) {
    if (!mEnumerator) return S_FALSE;
    std::u16string name;
    if (!ReadEndpoint(id, true, &name) || name.empty()) return S_OK;
    mMonitor->QueueEvent(newState == DEVICE_STATE_ACTIVE ? kDeviceEventTypeAdded
                                                         : kDeviceEventTypeRemoved,
                         id, name);
    return S_OK;
}

HRESULT AudioDeviceNotificationClient::OnDeviceAdded(LPCWSTR) { return S_OK; }

HRESULT AudioDeviceNotificationClient::OnDeviceRemoved(LPCWSTR) { return S_OK; }

HRESULT AudioDeviceNotificationClient::OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                              LPCWSTR id) {
    if (!id) {
        // No default now: the next one is news even with the id last seen.
        if (flow == eRender) {
            CKVAAutoLock lock(mDefaultLock);
            mLastDefaultId.clear();
        }
        return S_OK;
    }
    KVA_LOG(kLogDetail, "AudioDeviceNotificationClient::OnDefaultDeviceChanged device_id:%s, flow:%d, role:%d",
            Utf16ToUtf8(id).c_str(), static_cast<int>(flow), static_cast<int>(role));
    if (flow != eRender) return S_OK;
    {
        CKVAAutoLock lock(mDefaultLock);
        if (mLastDefaultId == id) return S_OK;
        mLastDefaultId = id;
    }
    std::u16string name;
    if (!ReadEndpoint(id, false, &name) || name.empty()) return S_OK;
    mMonitor->QueueEvent(kDeviceEventTypeDefault, id, name);
    return S_OK;
}

HRESULT AudioDeviceNotificationClient::OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) {
    return S_OK;
}

// ---- monitor ----

AudioDeviceMonitor::AudioDeviceMonitor(IKVADeviceObserver* observer, bool registerClient)
    : mObserver(observer) {
    mListLock.Init();
    mEventLock.Init();
    mThread.Start("DeviceNotifyThread", this, &AudioDeviceMonitor::DeliverHandler);
    if (registerClient) RegisterClient();
    DirectSound::LoadLibrary();
}

AudioDeviceMonitor::~AudioDeviceMonitor() {
    // Unregistering first: afterwards no system thread queues anything.
    if (mClient) {
        mClient->Release();
        mClient = nullptr;
    }
    mThread.Stop();
}

void AudioDeviceMonitor::RegisterClient() {
    if (mClient) return;
    CoInitialize(nullptr);
    IMMDeviceEnumerator* enumerator = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IMMDeviceEnumerator, reinterpret_cast<void**>(&enumerator));
    if (FAILED(hr) || !enumerator) {
        SetLastError(static_cast<DWORD>(hr));
        KVA_LOG(kLogError, "NotificationClient failed to create");
        return;
    }
    mClient = new AudioDeviceNotificationClient(this);
    mClient->SetEnumerator(enumerator);
    hr = enumerator->RegisterEndpointNotificationCallback(mClient);
    if (hr != S_OK) KVA_LOG(kLogError, "NotificationClient failed to register");
}

void AudioDeviceMonitor::RefreshDeviceList() {
    AudioDeviceList all;
    for (int32_t type : {kDeviceTypeWasapi, kDeviceTypeDirectSound, kDeviceTypeWaveOut}) {
        DeviceListEnumerator enumerate = DriverEnumerator(type);
        if (!enumerate) continue;
        AudioDeviceList list;
        enumerate(list, true);
        all.insert(all.end(), list.begin(), list.end());
    }
    CKVAAutoLock lock(mListLock);
    mDevices.swap(all);
}

int32_t AudioDeviceMonitor::GetDeviceCount() {
    CKVAAutoLock lock(mListLock);
    return static_cast<int32_t>(mDevices.size());
}

void AudioDeviceMonitor::FillRecord(const AudioDeviceInfo& info, DeviceRecord* out) {
    memset(out, 0, sizeof(*out));
    out->nType = EntryType(info);
    CopyUtf16(out->szDriver, kDeviceTextUnits, info.driver);
    CopyUtf16(out->szName, kDeviceTextUnits, info.name);
    out->nIndex = info.index;
    out->bDefault = info.flag;
}

bool AudioDeviceMonitor::GetDeviceAt(int32_t index, DeviceRecord* out) {
    CKVAAutoLock lock(mListLock);
    if (index < 0 || static_cast<size_t>(index) >= mDevices.size() || !out) return false;
    FillRecord(mDevices[index], out);
    return true;
}

namespace {
std::string EntryId(const AudioDeviceInfo& d) { return d.flag ? "default" : Utf16ToUtf8(d.id); }
}  // namespace

bool AudioDeviceMonitor::GetDeviceIdAt(int32_t index, std::string* id, bool* isDefault) {
    auto system = snd::GetSoundSystem();
    const std::string defaultId = system ? system->GetDefaultEndpoint() : std::string();
    CKVAAutoLock lock(mListLock);
    if (index < 0 || static_cast<size_t>(index) >= mDevices.size()) return false;
    const AudioDeviceInfo& d = mDevices[index];
    if (id) *id = EntryId(d);
    if (isDefault) *isDefault = !d.flag && !defaultId.empty() && Utf16ToUtf8(d.id) == defaultId;
    return true;
}

bool AudioDeviceMonitor::FindDeviceById(const std::string& id, int32_t type, std::u16string* name) {
    CKVAAutoLock lock(mListLock);
    for (const AudioDeviceInfo& d : mDevices) {
        if (EntryType(d) != ListedType(type) || EntryId(d) != id || (!d.flag && d.id.empty())) continue;
        if (name) *name = d.name;
        return true;
    }
    return false;
}

int32_t AudioDeviceMonitor::FindCurrentLocked() {
    for (size_t i = 0; i < mDevices.size(); ++i) {
        if (SameDevice(mDevices[i], mCurrentName, mCurrentType)) return static_cast<int32_t>(i);
    }
    return -1;
}

bool AudioDeviceMonitor::GetCurrentDevice(DeviceRecord* out) {
    CKVAAutoLock lock(mListLock);
    int32_t i = FindCurrentLocked();
    if (i < 0 || !out) return false;
    FillRecord(mDevices[i], out);
    return true;
}

void AudioDeviceMonitor::GetCurrent(std::u16string* name, int32_t* type) {
    CKVAAutoLock lock(mListLock);
    if (name) *name = mCurrentName;
    if (type) *type = mCurrentType;
}

void AudioDeviceMonitor::SetCurrent(const std::u16string& name, int32_t type) {
    CKVAAutoLock lock(mListLock);
    mCurrentName = name;
    mCurrentType = type;
}

std::u16string AudioDeviceMonitor::GetDefaultEntryName() {
    CKVAAutoLock lock(mListLock);
    for (const AudioDeviceInfo& d : mDevices) {
        if (d.flag) return d.name;
    }
    return std::u16string();
}

bool AudioDeviceMonitor::FindDevice(const std::u16string& name, int32_t type, DeviceRecord* out) {
    CKVAAutoLock lock(mListLock);
    for (const AudioDeviceInfo& d : mDevices) {
        if (SameDevice(d, name, type)) {
            if (out) FillRecord(d, out);
            return true;
        }
    }
    return false;
}

bool AudioDeviceMonitor::IsFailed(const std::u16string& name, int32_t type) {
    CKVAAutoLock lock(mListLock);
    for (const AudioDeviceInfo& f : mFailed) {
        if (SameDevice(f, name, type)) return true;
    }
    return false;
}

bool AudioDeviceMonitor::GetAvailableDevice(int32_t type, DeviceRecord* out) {
    CKVAAutoLock lock(mListLock);
    const int32_t wanted = ListedType(type);
    const AudioDeviceInfo* firstOfType = nullptr;
    const AudioDeviceInfo* firstAny = nullptr;
    for (const AudioDeviceInfo& d : mDevices) {
        bool failed = false;
        for (const AudioDeviceInfo& f : mFailed) {
            if (SameDevice(d, f.name, EntryType(f))) {
                failed = true;
                break;
            }
        }
        if (failed) continue;
        if (EntryType(d) == wanted) {
            if (d.flag) {
                firstOfType = &d;
                break;
            }
            if (!firstOfType) firstOfType = &d;
        }
        if (!firstAny) firstAny = &d;
    }
    const AudioDeviceInfo* taken = firstOfType ? firstOfType : firstAny;
    if (!taken) return false;
    if (out) FillRecord(*taken, out);
    return true;
}

void AudioDeviceMonitor::ReportDeviceError(int32_t code) {
    const bool lost = code == kDeviceErrorInvalidated || code == -7;
    {
        CKVAAutoLock lock(mListLock);
        int32_t i = FindCurrentLocked();
        if (i >= 0) {
            mFailed.push_back(mDevices[i]);
            if (lost) mDevices.erase(mDevices.begin() + i);
        }
    }
    if (!lost) return;
    RefreshDeviceList();
    CKVAAutoLock lock(mListLock);
    for (auto f = mFailed.begin(); f != mFailed.end(); ++f) {
        bool back = false;
        for (const AudioDeviceInfo& d : mDevices) {
            if (SameDevice(d, f->name, EntryType(*f))) {
                back = true;
                break;
            }
        }
        if (back) {
            mFailed.erase(f);
            break;
        }
    }
}

bool AudioDeviceMonitor::IsEnabled() { return mEnabled.load() != 0; }

int32_t AudioDeviceMonitor::FailedCount() {
    CKVAAutoLock lock(mListLock);
    return static_cast<int32_t>(mFailed.size());
}

std::vector<DeviceEvent> AudioDeviceMonitor::PendingEvents() {
    CKVAAutoLock lock(mEventLock);
    return std::vector<DeviceEvent>(mPending.begin(), mPending.end());
}

// ---- events ----

void AudioDeviceMonitor::QueueEvent(int32_t type, const std::u16string& id,
                                    const std::u16string& name) {
    std::u16string line = Utf8ToUtf16(EventLabel(type));
    line += id;
    line += u" name:";
    line += name;
    OutputDebugStringW(line.c_str());

    const int64_t now = MonotonicMs();
    {
        CKVAAutoLock lock(mEventLock);
        auto it = std::find_if(mPending.begin(), mPending.end(),
                               [&](const DeviceEvent& e) { return e.id == id; });
        if (it == mPending.end()) {
            DeviceEvent event;
            event.id = id;
            event.name = name;
            event.type = type;
            event.time = now;
            mPending.push_back(event);
        } else {
            it->time = now;
            it->name = name;
            ++it->count;
            if ((it->type == kDeviceEventTypeDefault && type == kDeviceEventTypeAdded) ||
                (it->type == kDeviceEventTypeAdded && type == kDeviceEventTypeDefault))
                it->type = kDeviceEventTypeAddedDefault;
            else
                it->type = type;
        }
    }
    mThread.Clear();
    mThread.Post(MakeMsg(kMsgDeliver, std::string()), kDeliverDelayMs);
}

void AudioDeviceMonitor::DeliverHandler(void* user, const ThreadMsgPtr& msg) {
    if (msg->mId == kMsgDeliver) static_cast<AudioDeviceMonitor*>(user)->Deliver();
}

void AudioDeviceMonitor::Deliver() {
    std::vector<DeviceEvent> ready;
    bool left;
    {
        CKVAAutoLock lock(mEventLock);
        const int64_t now = MonotonicMs();
        for (auto it = mPending.begin(); it != mPending.end();) {
            if (now - it->time >= kQuietMs) {
                ready.push_back(std::move(*it));
                it = mPending.erase(it);
            } else {
                ++it;
            }
        }
        left = !mPending.empty();
    }
    for (const DeviceEvent& e : ready) {
        if (mObserver) mObserver->OnDeviceNotify(e.type, e.id.c_str(), e.name.c_str());
        KVA_LOG(kLogDetail,
                "Audio device changed, id: %s , name: %s , type: %d , tirgger num: %d",
                Utf16ToUtf8(e.id).c_str(), Utf16ToUtf8(e.name).c_str(), e.type, e.count);
    }
    if (left) mThread.Post(MakeMsg(kMsgDeliver, std::string()), kDeliverDelayMs);
}

// ---- factory ----

AudioDeviceMonitor* CreateAudioDeviceMonitor(IKVADeviceObserver* observer) {
    return new AudioDeviceMonitor(observer);
}

}  // namespace kva_audioplayer
