// The combined output-device list, the current and failed devices, and debounced device events.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "KvaAudioPlayer.h"
#include "device/AudioDevice.h"
#include "platform/CoreAudio.h"
#include "device/DeviceObserver.h"
#include "support/KVAMsgThread.h"
#include "support/KVASync.h"

namespace kva_audioplayer {

class AudioDeviceMonitor;

// What one driver's enumeration looks like: the driver's devices in its order, beginning with
// its default entry when asked and when it has any device.
typedef void (*DeviceListEnumerator)(AudioDeviceList& out, bool withDefaultEntry);

// The enumeration of a device type (4, 5 or 6); null for other types.
DeviceListEnumerator DriverEnumerator(int32_t type);

// Device event types.
enum : int32_t {
    kDeviceEventTypeAdded = 1,
    kDeviceEventTypeRemoved = 2,
    kDeviceEventTypeDefault = 3,
    kDeviceEventTypeAddedDefault = 4,
};

struct DeviceEvent {
    std::u16string id;
    std::u16string name;
    int32_t type = 0;
    int64_t time = 0;   // monotonic ms of the latest change
    int32_t count = 0;  // later notifications merged into this one
};

// Receives the system's endpoint notifications for one monitor and queues them there.
class AudioDeviceNotificationClient : public IMMNotificationClient {
public:
    explicit AudioDeviceNotificationClient(AudioDeviceMonitor* monitor);

    HRESULT QueryInterface(REFIID iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    HRESULT OnDeviceStateChanged(LPCWSTR id, DWORD newState) override;
    HRESULT OnDeviceAdded(LPCWSTR id) override;
    HRESULT OnDeviceRemoved(LPCWSTR id) override;
    HRESULT OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR id) override;
    HRESULT OnPropertyValueChanged(LPCWSTR id, const PROPERTYKEY key) override;

    // Keeps the enumerator (one reference taken over) to unregister from at the last Release.
    void SetEnumerator(IMMDeviceEnumerator* enumerator) { mEnumerator = enumerator; }

private:
    ~AudioDeviceNotificationClient() override = default;
    // Friendly name of a render endpoint; false when it cannot be opened or is not a render one.
    bool ReadEndpoint(LPCWSTR id, bool checkFlow, std::u16string* name);

    std::atomic<uint32_t> mRefs{1};
    IMMDeviceEnumerator* mEnumerator = nullptr;
    AudioDeviceMonitor* mMonitor;
    CKVACritical mDefaultLock;
    std::u16string mLastDefaultId;
};

class AudioDeviceMonitor {
public:
    static constexpr int32_t kMsgDeliver = 1000;
    static constexpr int32_t kDeliverDelayMs = 200;
    static constexpr int64_t kQuietMs = 250;

    // Registers for notifications unless told not to (tests that feed the client themselves).
    explicit AudioDeviceMonitor(IKVADeviceObserver* observer, bool registerClient = true);
    virtual ~AudioDeviceMonitor();

    virtual void RefreshDeviceList();
    virtual int32_t GetDeviceCount();
    virtual bool GetDeviceAt(int32_t index, DeviceRecord* out);
    // The entry's output id (the sound system's endpoint id, the same under every type; "default"
    // for a type's entry that follows the system default) and whether it is the default output.
    bool GetDeviceIdAt(int32_t index, std::string* id, bool* isDefault);
    // The name of the entry of that type whose id is `id`; false when there is none.
    bool FindDeviceById(const std::string& id, int32_t type, std::u16string* name);
    // The entry whose name and type equal the current device's.
    virtual bool GetCurrentDevice(DeviceRecord* out);
    virtual void GetCurrent(std::u16string* name, int32_t* type);
    virtual void SetCurrent(const std::u16string& name, int32_t type);
    virtual std::u16string GetDefaultEntryName();
    // The entry of that type and name, when the list holds one.
    virtual bool FindDevice(const std::u16string& name, int32_t type, DeviceRecord* out);
    virtual bool GetAvailableDevice(int32_t type, DeviceRecord* out);
    virtual void ReportDeviceError(int32_t code);
    virtual bool IsFailed(const std::u16string& name, int32_t type);
    virtual bool IsEnabled();

    // Queues an event of type 1, 2 or 3 for an endpoint (notification threads).
    void QueueEvent(int32_t type, const std::u16string& id, const std::u16string& name);

    // Inspection.
    std::vector<DeviceEvent> PendingEvents();
    int32_t FailedCount();
    bool HasNotificationClient() const { return mClient != nullptr; }
    AudioDeviceNotificationClient* NotificationClient() { return mClient; }

    // Fills a record from a device description; names longer than 260 units are cut.
    static void FillRecord(const AudioDeviceInfo& info, DeviceRecord* out);

    AudioDeviceMonitor(const AudioDeviceMonitor&) = delete;
    AudioDeviceMonitor& operator=(const AudioDeviceMonitor&) = delete;

private:
    static void DeliverHandler(void* user, const ThreadMsgPtr& msg);
    void Deliver();
    void RegisterClient();
    // List lock held.
    int32_t FindCurrentLocked();

    CKVACritical mListLock;
    AudioDeviceList mDevices;
    AudioDeviceList mFailed;
    std::u16string mCurrentName;
    int32_t mCurrentType = kDeviceTypeWasapi;

    CKVACritical mEventLock;
    std::list<DeviceEvent> mPending;

    std::atomic<int32_t> mEnabled{1};
    AudioDeviceNotificationClient* mClient = nullptr;
    CKVAMsgThread mThread;
    IKVADeviceObserver* mObserver;
};

// The monitor for the process's sound system; null when none can be made.
AudioDeviceMonitor* CreateAudioDeviceMonitor(IKVADeviceObserver* observer);

}  // namespace kva_audioplayer
