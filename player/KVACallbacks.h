// Callback interfaces through which components report to the player, and the stream result codes.
#pragma once

#include <cstdint>

namespace kva_audioplayer {

struct AudioFrame;

// Results of the stream pulls; the device callbacks return them negated.
enum KVAStreamResult : int32_t {
    kStreamOk = 0,
    kStreamIoError = 1,
    kStreamDecodeError = 10,
    kAudioPlayerErrorState = 12,  // no current stream; a device receiving -12 pauses itself
    kStreamNoStream = 15,         // no current stream (frame path)
    kStreamNoFreeFrame = 16,
    kAudioPlayerEOS = 18,         // the bytes delivered (possibly none) are the last
    kStreamNoData = 19,           // buffering: nothing delivered, ask again after 2 ms
    kStreamFormatChanged = 20,    // the format changes after these bytes: re-open the device
    kStreamCancelled = 21,
};

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
};

// Fade modes reported by IKVAProcessObserver::OnFadeFinish.
enum KVAFadeMode : int32_t { kFadeNone = 0, kFadeOut = 1, kFadeIn = 2 };

class IKVAStreamObserver {
public:
    virtual void OnBufferingStart(const char* text, uint32_t id) = 0;
    virtual void OnBufferingEnd(const char* text, uint32_t id) = 0;
    virtual void OnStreamEvent(int32_t id, const char* text, int32_t arg1, int32_t arg2) = 0;

protected:
    ~IKVAStreamObserver() = default;
};

class IKVADeviceObserver {
public:
    // length: in bytes wanted, out bytes delivered; position: preset by the device, out the
    // media position of the block in ms. Returns the negated stream result.
    virtual int32_t BufferFill(uint8_t* buffer, int32_t* length, int64_t* position) = 0;
    virtual int32_t FrameFill(AudioFrame* frame) = 0;
    virtual void DeviceError(int32_t code) = 0;
    virtual void OnDeviceNotify(int32_t event, const char16_t* deviceId,
                                const char16_t* deviceName) = 0;

protected:
    ~IKVADeviceObserver() = default;
};

class IKVAProcessObserver {
public:
    virtual void OnFadeFinish(const char* songId, int32_t fadeType) = 0;

protected:
    ~IKVAProcessObserver() = default;
};

}  // namespace kva_audioplayer
