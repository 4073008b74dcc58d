// The output device the player drives: device descriptions, the shared base of the back-ends
// with its render loop, the wave-format conversions and the factory.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "KvaAudioPlayer.h"
#include "support/AudioTypes.h"
#include "platform/CoreAudio.h"
#include "device/DeviceObserver.h"
#include "support/KVAMsgThread.h"
#include "support/KVASync.h"

namespace kva_audioplayer {


extern const char16_t* const kDriverWaveOut;      // u"WaveOut"
extern const char16_t* const kDriverWasapi;       // u"Wasapi"
extern const char16_t* const kDriverDirectSound;  // u"DirectSound"

// "WaveOut" 4, "DirectSound" 6, anything else (or null) 5; exact, case-sensitive.
int32_t DeviceTypeFromDriverName(const char16_t* driver);
const char16_t* DriverNameFromDeviceType(int32_t type);

// Device error codes (SetErrorCode).
enum : int32_t {
    kDeviceErrorWrite = -3,
    kDeviceErrorOpen = -5,
    kDeviceErrorOpenFormat = -6,
    kDeviceErrorInvalidated = -8,
};

// Render thread messages.
enum : int32_t { kMsgRenderPeriod = 80, kMsgRenderFlush = 81 };

struct AudioDeviceInfo {
    std::u16string driver;
    std::u16string name;
    std::u16string id;
    std::u16string description;  // WASAPI: the adapter (interface) name
    int32_t index = -1;
    int32_t reserved = 0;
    GUID guid = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
    uint8_t flag = 0;  // 1: the entry that stands for the system default device
};

typedef std::vector<AudioDeviceInfo> AudioDeviceList;

struct AudioDriverInfo {
    std::u16string driverName;
    AudioDeviceList devices;
};

// Conversions between the engine's format record and the Windows wave format.
WAVEFORMATEXTENSIBLE WaveFormatFromDescription(const AudioDescription& des);
AudioDescription DescriptionFromWaveFormat(const WAVEFORMATEX* format);

class AudioDevice : public AudioDriverInfo, public AudioDeviceInfo {
public:
    AudioDevice();
    virtual ~AudioDevice();                                                       // 0

    virtual int CheckAvailable() = 0;                                             // 1
    virtual int Init() = 0;                                                       // 2
    virtual void Release() = 0;                                                   // 3
    virtual int Open(int32_t sessionId, const AudioDescription* format) = 0;      // 4
    virtual void SetObserver(IKVADeviceObserver* observer);                       // 5
    virtual int Play() = 0;                                                       // 6
    virtual int Pause() = 0;                                                      // 7
    virtual int Stop() = 0;                                                       // 8
    virtual int SetVolumeLevel(float level) = 0;                                  // 9
    virtual int SetVolume(float volume) = 0;                                      // 10
    virtual void Reserved11();                                                    // 11
    virtual int Close() = 0;                                                      // 12
    virtual int64_t GetPlayedTime() = 0;                                          // 13
    virtual int Flush() = 0;                                                      // 14
    virtual void SetRate(float rate);                                             // 15
    virtual void GetOutputFormat(AudioDescription* actual, bool* changed);        // 16
    virtual void GetRequestedFormat(AudioDescription* requested);                 // 17
    virtual int GetState();                                                       // 18
    virtual int GetErrorCode();                                                   // 19
    virtual int GetSystemErrorCode();                                             // 20
    virtual void SetOptionA(int32_t value);                                       // 21
    virtual void SetOptionB(int32_t value);                                       // 22
    virtual int64_t GetReserved();                                                // 23
    virtual int GetStepSize() = 0;                                                // 24
    virtual int GetDeviceType() = 0;                                              // 25
    virtual uint64_t GetChannelFromLayout(uint64_t layout, int index);            // 26
    virtual int GetChannelCount(uint64_t layout);                                 // 27
    virtual int Query28() = 0;                                                    // 28
    virtual void RequestFlush() = 0;                                              // 29
    virtual void SetAudioSessionTag(const char* tag);                             // 30
    virtual void SetSwitch(bool on);                                              // 31
    virtual void Reserved32();                                                    // 32
    virtual float GetChannelLevel(int channel);                                   // 33
    virtual float GetMinLevel();                                                  // 34
    virtual float GetMaxLevelA();                                                 // 35
    virtual float GetMaxLevelB();                                                 // 36
    virtual void SetSystemErrorCode(int32_t code);                                // 37
    virtual void SetState(int32_t state);                                         // 38
    virtual int SetErrorCode(int32_t code);                                       // 39
    virtual bool FindHandsFreeCounterpart(const std::u16string& name, bool looseMatch,
                                          const AudioDeviceList& list,
                                          AudioDeviceInfo* out);                   // 40
    virtual bool IsSameFormat(const AudioDescription& format);                    // 41

    enum State : int32_t { kPlaying = 1, kPaused = 2, kStopped = 3 };

    // Audio written but not yet played, in ms; the end of a track is heard only after it.
    virtual int64_t QueuedMs() { return 0; }
    // What the device was given and has not played yet, in ms: its queue and a period filled
    // but not yet written (held over a pause, or waiting for room).
    int64_t UnheardMs();

    // Render statistics (monotonic ms and the stamps the fills carried).
    struct RenderStats {
        int64_t firstTime = -1, firstStamp = -1, lastTime = -1, lastStamp = -1, fills = 0;
    };
    RenderStats GetRenderStats();
    float GetRate() const { return mRate.load(); }
    int32_t GetOptionA() const { return mOptionA; }
    int32_t GetOptionB() const { return mOptionB; }
    // A new stream opened on this device: a period held for the last one and the silence after
    // its end are dropped before the next period.
    void ForgetLastStream() { mDropHeld = true; }

    AudioDevice(const AudioDevice&) = delete;
    AudioDevice& operator=(const AudioDevice&) = delete;

    // What one back-end's render period looks like.
    struct RenderPlan {
        int32_t bufferBytes;     // staging buffer needed
        int32_t askBytes;        // bytes asked per fill (<= 0: the whole staging capacity)
        int64_t stampPreset;
        bool waitFirst;          // wait, fill, write (else fill, wait, write)
        CKVACritical* fillLock;  // held across the fill, or null
    };
    struct RenderTexts {
        const char* noBuffer;
        const char* endOfStream;  // null: not logged
        const char* errorState;
        const char* otherStatus;  // null: not logged
    };

protected:
    // The back-end's side of the render loop.
    virtual RenderPlan GetRenderPlan() = 0;
    virtual const RenderTexts& GetRenderTexts() = 0;
    // 0: room for one period (or no longer playing); 1: not yet; else a failure code.
    virtual int32_t RenderWait() = 0;
    // Writes what the fill gave; reports its own failures. False ends the period.
    virtual bool RenderWrite(const uint8_t* pcm, int32_t bytes) = 0;
    // Answer 1 of the wait: what to do (the DirectSound loop retries later).
    virtual void OnRenderWaitNotYet() {}
    // A failure answered by the wait, after it was stored as system error code.
    virtual void OnRenderWaitFailed(int32_t code);
    // -20 and other statuses the back-end handles itself; true when handled.
    virtual bool OnRenderStatus(int32_t status) { return false; }
    virtual void OnRenderFirstMessage() {}
    // On the render thread as it ends.
    virtual void OnRenderThreadExit() {}
    virtual void FlushWorker() = 0;
    // The driver's device list, fresh: a moved stream is reported under the name it gives there.
    virtual void ListDevices(AudioDeviceList& out) = 0;

    // Where the stream plays now, from the driver's API when it opens one (null when it lets it
    // go, or where the platform cannot move streams). Takes over the reference. The render loop
    // looks after each write and tells the observer of a move once.
    void SetRoute(IKvaStreamRoute* route);

    // Starts the render thread when it does not exist yet.
    bool StartRenderThread(const char* name);
    void StopRenderThread();
    void PostRender(int32_t id, int32_t delayMs);
    void ClearRenderQueue();
    bool HasRenderThread() const { return mRenderThread != nullptr; }
    void ResetFirstMessage() { mFirstMessageDone = false; }
    void FreeStaging();

    void DoRenderFunc(const ThreadMsgPtr& msg);
    void RenderPeriod();
    void ReportDeviceError(int32_t code);

    std::atomic<IKVADeviceObserver*> mObserver{nullptr};
    std::atomic<int32_t> mState{kStopped};
    std::atomic<int32_t> mErrorCode{0};
    std::atomic<int32_t> mSystemErrorCode{0};
    int32_t mOptionA = 0;
    int32_t mOptionB = 0;
    std::atomic<float> mRate{1.0f};
    AudioDescription mRequestedFormat;
    AudioDescription mActualFormat;

    CKVACritical mStatsLock;
    RenderStats mStats;

    // Staging buffer of the render thread.
    uint8_t* mStaging = nullptr;
    int32_t mStagingCapacity = 0;

private:
    static void RenderHandler(void* user, const ThreadMsgPtr& msg);
    static void RenderStopHook(void* user);
    void CheckRoute();

    CKVAMsgThread* mRenderThread = nullptr;
    std::atomic<bool> mFirstMessageDone{false};
    // Bytes of the staging buffer filled but not written when the device paused; render thread.
    int32_t mHeldBytes = 0;
    std::atomic<bool> mDropHeld{false};  // Stop: held bytes are stale
    std::atomic<int32_t> mUnwrittenBytes{0};  // filled, not yet written (UnheardMs)
    // Held by the render thread across a pull and across a write, so that UnheardMs never sees
    // a block the player has counted as filled but the device counts nowhere, or in both places.
    std::mutex mUnheardLock;
    // Silence after the last data (render thread): bytes still to write, and whether the end
    // was reached and it is being written.
    int32_t mTailLeft = 0;
    bool mTailRunning = false;
    // A leaf: taken under a back-end's lock, never held across a call out of the device.
    std::mutex mRouteLock;
    IKvaStreamRoute* mRoute = nullptr;
    UINT32 mSeenMoves = 0;
};

// WaveOut for type 4, DirectSound for 6, Wasapi for any other type; Init already called.
AudioDevice* CreateAudioDevice(int32_t type, const DeviceRecord* info);

// A driver's list with the outputs that share a name told apart: each after the first gets its
// id added to the name. Devices are chosen and opened by name, so this is what lets a choice by
// id land on the output meant.
void DistinguishSameNames(AudioDeviceList& list);

}  // namespace kva_audioplayer
