// The legacy output back-end: waveform audio with a ring of eight prepared headers of two render
// steps each, filled on "WaveOutRenderThread" as the driver hands them back.
#pragma once

#include "device/AudioDevice.h"
#include "platform/WaveOutApi.h"

namespace kva_audioplayer {

class WaveOut : public AudioDevice {
public:
    explicit WaveOut(const std::u16string& deviceName);
    ~WaveOut() override;

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

    // Own operations, in slot order.
    virtual void EnumDeviceList(AudioDeviceList& out, bool withDefaultEntry);
    virtual int32_t Query0A();
    virtual int32_t Query0B();
    virtual int32_t Write(const uint8_t* pcm, int32_t bytes, double ratio);
    virtual int32_t WaitPlay();
    virtual bool HasQueuedBuffers();
    virtual int32_t Query0C();
    virtual int32_t Query0D();
    virtual int32_t DoFlush();

    // The driver's device list as the device monitor shows it: with withDefaultEntry the wave
    // mapper's entry first (index -1, flag 1), then one entry per device.
    static void EnumDevices(AudioDeviceList& out, bool withDefaultEntry);
    // Bytes per 200 ms period, rounded up to whole units of channels x 1024 bytes.
    static int32_t ComputeStepSize(const AudioDescription& format, int32_t periodMs);
    // Both 16-bit halves from one level: 0 at or below 0, 0xFFFFFFFF at or above 1.
    static DWORD VolumeValue(float volume);

    static constexpr int32_t kHeaderCount = 8;
    static constexpr int32_t kPeriodMs = 200;

    // Inspection (tests, tools).
    HWAVEOUT GetHandle() const { return mHandle; }
    int64_t QueuedMs() override;
    WAVEFORMATEXTENSIBLE GetWaveFormat() const { return mWaveFormat; }
    int32_t GetHeaderCount() const { return static_cast<int32_t>(mHeaderCount); }
    int32_t GetHeaderBufferSize() const { return static_cast<int32_t>(mHeaderBufferSize); }
    UINT GetOpenedDeviceId() const { return mDeviceId; }

protected:
    RenderPlan GetRenderPlan() override;
    const RenderTexts& GetRenderTexts() override;
    int32_t RenderWait() override { return WaitPlay(); }
    bool RenderWrite(const uint8_t* pcm, int32_t bytes) override;
    void FlushWorker() override { DoFlush(); }
    void ListDevices(AudioDeviceList& out) override { EnumDevices(out, false); }

private:
    UINT GetDeviceID(const std::u16string& deviceName);
    MMRESULT QueryFormat(UINT id);
    MMRESULT TryAudioFormatWaveopen(UINT id, AudioDescription* probed);
    int32_t PrepareHeaders();
    void UnprepareHeaders();  // under the lock
    void ResetLocked();
    static void DriverCallback(HWAVEOUT device, UINT message, DWORD_PTR instance,
                               DWORD_PTR param1, DWORD_PTR param2);

    // The handle and the headers: the render thread writes while the player's threads stop,
    // flush and close.
    CKVACritical mLock;
    HWAVEOUT mHandle = nullptr;
    UINT mDeviceId = WAVE_MAPPER;
    int64_t mHeaderCount = 0;
    int64_t mHeaderBufferSize = 0;
    HANDLE mBufferEvent = nullptr;
    WAVEHDR* mHeaders[kHeaderCount] = {};
    WAVEFORMATEXTENSIBLE mWaveFormat;
    int32_t mPositionSamples = 0;
    uint32_t mWrittenFrames = 0;  // since the last reset, as the position counts (wraps with it)
    std::atomic<int64_t> mPlayedTime{0};
    int64_t mPositionA = 0;
    int64_t mPositionB = 0;
    std::atomic<int32_t> mStepSize{76800};
};

}  // namespace kva_audioplayer
