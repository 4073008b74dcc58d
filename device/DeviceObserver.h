// What an output device and the device monitor ask of and report to their owner: the pulls on the
// render thread, device errors and device-change events.
#pragma once

#include <cstdint>

#include "support/AudioTypes.h"
#include "support/StreamResult.h"

namespace kva_audioplayer {

// Codes carried by IKVADeviceObserver::DeviceError.
enum KVADeviceErrorCode : int32_t {
    kDeviceErrInvalidated = 1,
    kDeviceErrRender = 2,
    kDeviceErrWait = 9,
    kDeviceErrNoBuffer = 16,
};

// Events carried by IKVADeviceObserver::OnDeviceNotify.
enum KVADeviceNotifyEvent : int32_t {
    kDevNotifyAdded = 1,
    kDevNotifyRemoved = 2,
    kDevNotifyDefaultChanged = 3,
    kDevNotifyAddedDefault = 4,
    // From a device's render thread: the system moved its stream to another endpoint (a desktop
    // mixer did); the id and name are the new endpoint's. Only posts.
    kDevNotifyMoved = 5,
};

class IKVADeviceObserver {
public:
    // length: in bytes wanted, out bytes delivered; position: preset by the device, out the
    // media position of the block in ms; queuedMs: what the device still holds unplayed, so
    // the block is heard that much later. Returns the negated stream result.
    virtual int32_t BufferFill(uint8_t* buffer, int32_t* length, int64_t* position,
                               int64_t queuedMs) = 0;
    virtual int32_t FrameFill(AudioFrame* frame) = 0;
    virtual void DeviceError(int32_t code) = 0;
    virtual void OnDeviceNotify(int32_t event, const char16_t* deviceId,
                                const char16_t* deviceName) = 0;

protected:
    ~IKVADeviceObserver() = default;
};

}  // namespace kva_audioplayer
