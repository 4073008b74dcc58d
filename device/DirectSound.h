// The DirectSound back-end: a looping secondary buffer of eight render steps in four segments,
// paced by polling its play cursor on "DSoundRenderThread". The library is loaded at run time;
// lost buffers are restored a bounded number of times, a stalled buffer is restarted, and every
// call that may fault inside the library runs under a guard.
#pragma once

#include "device/AudioDevice.h"
#include "platform/DirectSoundApi.h"

namespace kva_audioplayer {

class DirectSound : public AudioDevice {
public:
    explicit DirectSound(const std::u16string& deviceName);
    ~DirectSound() override;

    int CheckAvailable() override;
    int Init() override;
    void Release() override;
    int Open(int32_t sessionId, const AudioDescription* format) override;
    int Play() override;
    int Pause() override;
    int Stop() override;
    int SetVolumeLevel(float level) override;
    int SetVolume(float volume) override;
    int Close() override;
    int64_t GetPlayedTime() override;
    int Flush() override;
    int GetStepSize() override;
    int GetDeviceType() override;
    int Query28() override;
    void RequestFlush() override;
    int64_t QueuedMs() override;

    // Own operations, in slot order.
    virtual void EnumDeviceList(AudioDeviceList& out, bool withDefaultEntry);
    virtual int32_t Query0A();
    virtual int32_t Write(const uint8_t* pcm, int32_t bytes, double ratio);
    virtual int32_t WaitPlay();
    virtual int32_t WaitAndStop();
    virtual int32_t Query0B();
    virtual int32_t DoFlush();
    virtual int32_t Query0C();
    virtual int32_t Query0D();
    virtual bool Query0E();

    // Loads the library and its entry points for the process (the device monitor runs it at
    // start; a device runs it on first use when nobody did). True when DirectSoundCreate is there.
    static bool LoadLibrary();
    // The driver's device list as the device monitor shows it: devices that can be created,
    // with their GUIDs; with withDefaultEntry the primary device first (flag 1).
    static void EnumDevices(AudioDeviceList& out, bool withDefaultEntry);
    // Attenuation in hundredths of a decibel: -10000 at or below 0, 0 at or above 1, else
    // truncate(ln(v) x 1500), never below -10000.
    static LONG VolumeToAttenuation(float volume);
    // Frames per render step by sample rate: 512, 1024, 2048 or 4096.
    static int32_t FramesPerStep(int32_t sampleRate);

    static constexpr int32_t kSegmentCount = 4;
    static constexpr int32_t kPeriodMs = 200;

    // Inspection (tests, tools).
    int32_t GetSegmentSize() const { return mSegmentSize; }
    int32_t GetBufferSize() const { return mBufferSize; }
    int64_t GetBytesWritten() const { return mBytesWritten; }
    int64_t GetPlayedBytes() const { return mPlayedBytes; }
    int64_t GetWrapCount() const { return mWrapCount; }
    GUID GetOpenedGuid() const { return mOpenedGuid; }
    bool HasOpenedGuid() const { return mHasOpenedGuid; }

protected:
    RenderPlan GetRenderPlan() override;
    const RenderTexts& GetRenderTexts() override;
    int32_t RenderWait() override { return WaitPlay(); }
    bool RenderWrite(const uint8_t* pcm, int32_t bytes) override;
    void OnRenderWaitNotYet() override;
    bool OnRenderStatus(int32_t status) override;
    void FlushWorker() override { DoFlush(); }
    void ListDevices(AudioDeviceList& out) override { EnumDevices(out, false); }

private:
    bool FindDeviceGuid(const std::u16string& deviceName, GUID* guid, bool switchHandsFree);
    int32_t CreateBuffer(HWND window, const AudioDescription& format);
    int32_t DoDevicePlay();
    // With the cursors just read: counts the wraps and clears what was played (an underrun
    // then plays silence, not the buffer's old contents).
    void TrackCursorsLocked();
    int32_t ReportError(const char* text, HRESULT hr);
    void ReleaseObjects();  // buffer, then object

    // Guards the buffer and object pointers: they change only while the render thread is
    // stopped, but the player's threads call Play, Pause and SetVolume at any time.
    CKVACritical mLock;
    IDirectSound* mDirectSound = nullptr;
    IDirectSoundBuffer* mBuffer = nullptr;
    WAVEFORMATEXTENSIBLE mWaveFormat;
    std::atomic<int32_t> mSegmentSize{0};
    std::atomic<int32_t> mSegmentCount{0};
    std::atomic<int32_t> mBufferSize{0};
    uint32_t mWritePosition = 0;
    // Where the next write lands, counted like the play position (the pre-roll plays first).
    int64_t mWriteEnd = 0;
    DWORD mPlayCursor = 0, mWriteCursor = 0;
    DWORD mPrevPlayCursor = 0, mPrevWriteCursor = 0;
    std::atomic<int64_t> mWrapCount{0};
    int64_t mPlayedPosition = 0;
    // A fault the queue read caught, left for the render loop to report (under mLock).
    bool mQueueReadFaulted = false;
    uint32_t mFreeBytes = 0;
    std::atomic<int64_t> mBytesWritten{0};
    std::atomic<int64_t> mPlayedBytes{0};
    HRESULT mLastBufferResult = S_OK;
    HWND mWindow = nullptr;
    HANDLE mEvent = nullptr;
    std::atomic<int32_t> mStepSize{76800};
    GUID mOpenedGuid = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
    bool mHasOpenedGuid = false;
};

}  // namespace kva_audioplayer
