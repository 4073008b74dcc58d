// The default output back-end: Core Audio shared mode, event driven, one device period per
// render message on "WasapiRenderThread".
#pragma once

#include "device/AudioDevice.h"

namespace kva_audioplayer {

class Wasapi : public AudioDevice {
public:
    explicit Wasapi(const std::u16string& deviceName);
    ~Wasapi() override;

    int CheckAvailable() override;
    int64_t QueuedMs() override;
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
    void SetAudioSessionTag(const char* tag) override;

    // Own operations, in slot order.
    virtual void EnumDeviceList(AudioDeviceList& out, bool withDefaultEntry);
    virtual int32_t Write(const uint8_t* pcm, int32_t bytes, double ratio);
    virtual int32_t WaitPlayAlt();
    virtual int32_t Query0A();
    virtual int32_t Query0B();
    virtual int32_t WaitPlay();
    virtual void DoFlush();
    virtual int32_t OnPlayThreadInit();
    virtual int32_t OnPlayThreadExit();

    // The name of the default entry of the device list.
    static const char16_t* const kDefaultEntryName;

    // Inspection (tests, tools).
    uint32_t GetFramesPerPeriod();
    uint32_t GetPeriodMs();
    uint32_t GetBufferFrames();
    WAVEFORMATEXTENSIBLE GetWaveFormat();
    bool GetSessionGuid(GUID* out);
    int64_t GetBytesWritten() { return mBytesWritten.load(); }

protected:
    RenderPlan GetRenderPlan() override;
    const RenderTexts& GetRenderTexts() override;
    int32_t RenderWait() override { return WaitPlay(); }
    bool RenderWrite(const uint8_t* pcm, int32_t bytes) override;
    void OnRenderFirstMessage() override { OnPlayThreadInit(); }
    void OnRenderThreadExit() override { OnPlayThreadExit(); }
    void FlushWorker() override { DoFlush(); }
    void ListDevices(AudioDeviceList& out) override { EnumDeviceList(out, false); }

private:
    IMMDevice* CreateDeviceByName(const std::u16string& name);
    IMMDevice* CreateDeviceById(const std::u16string& id);
    IMMDevice* CreateDefaultDevice(EDataFlow flow, ERole role);
    IMMDeviceEnumerator* CreateDeviceEnumerator();
    bool GetDeviceInfo(IMMDevice* device, int32_t index, AudioDeviceInfo* info);
    IAudioClient* CreateClient(IMMDevice* device);
    void ReleaseInterfaces();  // under the lock
    void ReportRenderFailure(HRESULT hr);

    // Open's steps, under the lock. Each logs its own failure and answers false.
    bool OpenStream(ComPtr<IMMDevice> device, const AudioDescription& format);
    bool NegotiateFormat(IAudioClient* client, const AudioDescription& format);
    void TakeClosestFormat(const WAVEFORMATEX* closest);
    void AdoptWaveFormat(const WAVEFORMATEX* w);
    bool InitializeClient(IAudioClient* client);
    bool ReadDevicePeriod(IAudioClient* client);
    bool GetRenderServices(IAudioClient* client, ComPtr<IAudioRenderClient>* render,
                           ComPtr<IAudioClock>* clock);
    bool PreRollSilence(IAudioClient* client, IAudioRenderClient* render, uint32_t* filled);
    bool OpenSession(uint32_t filled);
    bool OpenFailed(HRESULT hr);  // records hr unless it is S_OK

    WAVEFORMATEXTENSIBLE mWaveFormat;
    int32_t mShareMode = AUDCLNT_SHAREMODE_SHARED;
    IMMDevice* mDevice = nullptr;
    IAudioClient* mClient = nullptr;
    IAudioRenderClient* mRenderClient = nullptr;
    IAudioClock* mClock = nullptr;
    IAudioSessionManager* mSessionManager = nullptr;
    ISimpleAudioVolume* mSessionVolume = nullptr;
    UINT64 mClockFrequency = 0;
    UINT64 mClockPosition = 0;
    UINT64 mClockTime = 0;
    uint32_t mBufferFrames = 0;
    uint32_t mFramesPerPeriod = 0;
    std::atomic<int64_t> mPlayedTime{0};
    std::atomic<int64_t> mBytesWritten{0};
    HANDLE mMmcss = nullptr;
    HANDLE mBufferEvent = nullptr;
    uint32_t mPeriodMs = 50;
    std::atomic<int32_t> mStepSize{50 * 384};
    CKVACritical mLock;
    GUID mSessionGuid;
    bool mSessionTagSet = false;
    bool mAvrtLoaded = false;
};

// Parses a session tag: 32 hexadecimal digits in GUID text order, hyphens anywhere ignored.
bool ParseSessionTag(const char* tag, GUID* out);

}  // namespace kva_audioplayer
