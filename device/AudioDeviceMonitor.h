// The combined output-device list, the current and failed devices, and debounced device events.
#pragma once

#include <cstdint>
#include <string>

#include "KvaAudioPlayer.h"
#include "player/KVACallbacks.h"

namespace kva_audioplayer {

class AudioDeviceMonitor {
public:
    virtual ~AudioDeviceMonitor() = default;
    virtual void RefreshDeviceList() = 0;
    virtual int32_t GetDeviceCount() = 0;
    virtual bool GetDeviceAt(int32_t index, DeviceRecord* out) = 0;
    // The entry whose name and type equal the current device's.
    virtual bool GetCurrentDevice(DeviceRecord* out) = 0;
    virtual void GetCurrent(std::u16string* name, int32_t* type) = 0;
    virtual void SetCurrent(const std::u16string& name, int32_t type) = 0;
    virtual std::u16string GetDefaultEntryName() = 0;
    // The entry of that type and name, when the list holds one.
    virtual bool FindDevice(const std::u16string& name, int32_t type, DeviceRecord* out) = 0;
    virtual bool GetAvailableDevice(int32_t type, DeviceRecord* out) = 0;
    virtual void ReportDeviceError(int32_t code) = 0;
    virtual bool IsFailed(const std::u16string& name, int32_t type) = 0;
    virtual bool IsEnabled() = 0;
};

// The monitor for the process's sound system; null when none can be made.
AudioDeviceMonitor* CreateAudioDeviceMonitor(IKVADeviceObserver* observer);

}  // namespace kva_audioplayer
