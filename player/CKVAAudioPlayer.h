// The player: IKVAPlayer for the host, and the callbacks its components report through.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KvaAudioPlayer.h"
#include "codec/KVACachedTrackTime.h"
#include "support/AudioTypes.h"
#include "codec/ProcessObserver.h"
#include "codec/StreamObserver.h"
#include "device/DeviceObserver.h"
#include "support/KVAMsgThread.h"
#include "support/KVASync.h"
#include "player/PlayerCommands.h"
#include "support/Log.h"

namespace kva_audioplayer {

class CKVAAudioStream;
class CKVAAudioProcess;
class CKVAAudioTimeInfo;
class AudioDevice;
class AudioDeviceMonitor;

// 44.1 kHz stereo 32-bit float until a device says otherwise.
inline AudioDescription DefaultOutputDescription() {
    AudioDescription d{};
    d.nTag = kAudioDescriptionTag;
    d.nSampleRate = 44100;
    d.nChannel = 2;
    d.nSampleFormat = kSampleFormatFlt;
    d.nChannelLayout = 3;
    d.nBitsPerSample = 32;
    return d;
}

class CKVAAudioPlayer : public IKVAPlayer,
                        public IKVAStreamObserver,
                        public IKVADeviceObserver,
                        public IKVAProcessObserver {
public:
    explicit CKVAAudioPlayer(IKVAPlayerObserver* observer);
    ~CKVAAudioPlayer() override;

    // ---- IKVAPlayer ----
    int32_t SetDataSource(const char* url) override;
    int32_t SetSourceIO(IKVASourceIO* source, KVASourceRelease release) override;
    int32_t SetNextSourceIO(IKVASourceIO* source, int32_t mode, KVASourceRelease release) override;
    int32_t PrepareAsync() override;
    int32_t Play(bool fadeIn) override;
    int32_t Pause(bool fadeOut) override;
    int32_t Seek(int64_t positionMs) override;
    int32_t Stop(bool synchronous) override;
    void Release() override;
    int32_t Reset() override;
    int32_t SetVolumeEx(float volume, double unused) override;
    int32_t SetVolume(float volume) override;
    float GetVolume() override;
    int32_t GetStatus() override;
    int64_t GetCurrentPosition() override;
    int64_t GetPlayEndTime(const char* songId) override;
    int64_t GetPlayedTime(const char* songId) override;
    int64_t GetPlayedTimeWithSpeed(const char* songId) override;
    int64_t GetDuration() override;
    int32_t SetGetPlayedTimeType(int32_t type) override;
    int32_t GetDeviceFlag() override;
    int32_t GetAudioFormat(int32_t* sampleRate, int32_t* channels, int32_t* waveFormat) override;
    int32_t SetAudioEffect(IKVAAudioEffect* effect) override;
    int32_t SetAudioListener(IKVAAudioListener* listener) override;
    bool SetPlaySpeed(double speed) override;
    bool IsBuffering() override;
    int32_t SetCacheMax(int64_t ms) override;
    int32_t SetStartFadeTime(int64_t ms) override;
    int32_t SetPauseFadeTime(int64_t ms) override;
    int32_t SetCrossFadeTime(int64_t ms) override;
    int32_t SetProcessFlag(bool flag) override;
    int32_t SetCodecBlackList(std::vector<int32_t> codecIds) override;
    int32_t NotifyHeadSetChanged(int32_t state) override;
    int32_t SetAudioIFEnable(int32_t status) override;
    int32_t SetAudioIFProcessor(IKVAAudioIFProcessor* processor) override;
    int32_t SetAudioIFRatio(int32_t ratio) override;
    int32_t SetDeviceParams(int32_t a, int32_t b, int32_t c) override;
    int32_t SetDeviceOptionB(int32_t value) override;
    int32_t SetDeviceOptionA(int32_t value) override;
    int32_t SetOutputDeviceType(int32_t type) override;
    int32_t GetOutputDeviceType() override;
    int32_t GetOutputDeviceCount() override;
    bool GetOutputDeviceInfo(int32_t index, DeviceRecord* out) override;
    int32_t SetOutputDevice(int32_t type, const char16_t* name) override;
    bool GetCurrentOutputDevice(DeviceRecord* out) override;
    int32_t SetPlaybackCacheParams(double cacheMin, double cacheMax, double bufferingMin,
                                   double bufferingMax) override;
    int32_t SetPositionNotifyInterval(int32_t ms) override;
    int32_t SetDeviceSwitch(bool flag) override;
    int32_t TriggerDevice() override;
    double GetChannelLevel(int32_t channel) override;
    double GetChannelLevelAlt(int32_t channel) override;
    double GetDeviceValueA() override;
    double GetDeviceValueB() override;
    int32_t DetachObserver() override;
    int32_t SetDumpFile(const char* path) override;
    int32_t SetLogConfig(bool debugOutput, int32_t minLevel) override;
    int32_t SetLogger(IPlayerLogger* logger) override;
    int32_t SetNextDataSource(const char* url, int32_t mode, int64_t id) override;
    int32_t GetTrackTag(const char* key, char* out, int32_t size) override;
    int64_t GetBufferedBytes() override;
    int32_t SetReplayGain(int32_t mode, float preampDb, bool preventClipping) override;
    int32_t GetOutputDeviceId(int32_t index, char* id, int32_t size, bool* isDefault) override;
    int32_t SetOutputDeviceById(int32_t type, const char* id) override;
    int32_t GetNextSourceErrorDetail() override;

    // ---- the player's own slots ----
    virtual bool StopInternal(bool synchronous);
    virtual int32_t FillFromStream(const CKVAAutoLock& streamLockHeld, uint8_t* buffer, int32_t* length,
                                   int64_t* position);
    virtual int32_t FillCrossFade(const CKVAAutoLock& streamLockHeld, uint8_t* buffer, int32_t* length,
                                  int64_t* position);
    virtual void MixCrossFade(uint8_t* out, int32_t outLen, const uint8_t* faded, int32_t fadedLen);

    // ---- IKVAStreamObserver ----
    void OnBufferingStart(const char* text, uint32_t id) override;
    void OnBufferingEnd(const char* text, uint32_t id) override;
    void OnStreamEvent(int32_t id, const char* text, int32_t arg1, int32_t arg2) override;
    // ---- IKVADeviceObserver ----
    int32_t BufferFill(uint8_t* buffer, int32_t* length, int64_t* position, int64_t queuedMs) override;
    int32_t FrameFill(AudioFrame* frame) override;
    void DeviceError(int32_t code) override;
    void OnDeviceNotify(int32_t event, const char16_t* deviceId,
                        const char16_t* deviceName) override;
    // ---- IKVAProcessObserver ----
    void OnFadeFinish(const char* songId, int32_t fadeType) override;

    // The process-wide flag of SetProcessFlag (read by nothing in the library).
    static bool ProcessFlag();

    // Inspection: the audio session tag every device of this player receives (empty before the
    // first device) and the device the player holds.
    std::string GetSessionTag();
    AudioDevice* CurrentDeviceForTest();
    uint32_t DevicesMade() const { return mDeviceGeneration.load(); }

private:
    // message threads
    static void CommandHandler(void* user, const ThreadMsgPtr& msg);
    static void NotifyHandler(void* user, const ThreadMsgPtr& msg);
    void DispatchCommand(const ThreadMsgPtr& msg);
    void DispatchNotify(const ThreadMsgPtr& msg);
    void Deliver(const ThreadMsgPtr& msg);
    void OnErrorNotify();
    static void OnStreamTitle(void* self, const char* title);  // a network source's thread
    bool OnBufferingNotify(const ThreadMsgPtr& msg);  // false: drop the record
    bool OnPositionTick(const ThreadMsgPtr& msg);     // false: drop the record
    void PostCommand(int32_t id, int32_t arg1 = 0, int32_t arg2 = 0, int32_t delayMs = 0);
    void PostCommandText(int32_t id, const std::string& text, int32_t arg1 = 0, int32_t arg2 = 0,
                         int32_t delayMs = 0);
    void PostNotify(int32_t id, int32_t arg1 = 0, int32_t arg2 = 0);
    void PostNotifyText(int32_t id, const std::string& text, int32_t arg1 = 0, int32_t arg2 = 0,
                        int32_t delayMs = 0);

    // components (created once, destroyed with the player)
    void CreateComponents();
    void DestroyComponents();
    void DestroyPipeline();
    void StopDevice();
    // The position stops at what the device has played (its queue and unwritten period off).
    void PauseTimeLocked(const CKVAAutoLock& deviceLockHeld);
    void ApplyDeviceVolume(bool level);  // volume x stream gain to the device
    void ApplyCacheMaxToStreams(int64_t ms);
    float DeviceVolume();                // volume x stream gain
    void ReleaseDevice(const CKVAAutoLock& deviceLockHeld);
    void CreateDeviceMonitor();
    void DestroyDeviceMonitor();
    AudioDevice* CreateDevice(const CKVAAutoLock& deviceLockHeld, int32_t type, bool withOptionA);
    void TakeDeviceFormatLocked(const CKVAAutoLock& deviceLockHeld);  // after a good open
    AudioDescription OutputDescription();  // takes the fill-mode lock
    static int32_t WaveFormatOf(const AudioDescription& des);
    void ApplyStreamSettings(CKVAAudioStream* stream);  // stream lock held
    // What every new current stream is given, read at once under the settings lock.
    struct StreamSettings {
        IKVAAudioIFProcessor* processor;
        int32_t ifRatio;
        int32_t ifMode;
        double speed;
    };
    StreamSettings ReadStreamSettings();
    static int32_t GiveIFSettings(CKVAAudioStream* stream, const StreamSettings& s);
    // The stream's ReplayGain factor from its tags and the settings; an opened stream, on the
    // command thread (no allocation).
    void UpdateReplayGain(CKVAAudioStream* stream);
    void doReplayGain();
    int32_t ApplyIFSettings(CKVAAudioStream* stream);                // stream lock held
    void FailWith(const std::string& text, int32_t code, int32_t detail);
    // pull path
    void OnEndOfMedia(const char* logFormat);
    bool SwitchToNextStream(const CKVAAutoLock& streamLockHeld);
    // `stream` kept alive by the caller's lock: the stream lock, or the fill-mode lock for the
    // fading one.
    void ApplyMixGain(CKVAAudioStream* stream, uint8_t* buffer, int32_t length);
    void CrossFadeAtEndLocked(const CKVAAutoLock& streamLockHeld);  // render thread
    enum TakeOver { kTakeOverGapless, kTakeOverAfterEnd, kTakeOverCrossFade };
    void TakeOverStream(const CKVAAutoLock& streamLockHeld, TakeOver how);
    void Retire(CKVAAudioStream* stream, IKVASourceIO* source);  // from the render thread
    // A stream with the source it reads, handed on together for disposal.
    struct StreamAndSource {
        CKVAAudioStream* stream;
        IKVASourceIO* source;
    };
    using FadeOut = StreamAndSource;
    void Retire(const FadeOut& f) { Retire(f.stream, f.source); }
    FadeOut StartCrossFadeLocked(const CKVAAutoLock& streamLockHeld, CKVAAudioStream* old,
                                 IKVASourceIO* oldSource, int64_t lengthMs);
    // Back to plain pulls; returns the fade-out for the caller to dispose of with no lock held.
    FadeOut EndCrossFadeLocked(const CKVAAutoLock& fillModeLockHeld);
    CKVAAudioStream* OpenNextStream(IKVASourceIO* source, const char* logFormat);  // no lock held
    static void WaitForFirstAudio(CKVAAudioStream* stream);  // no lock held
    IKVASourceIO* NextActiveSource();
    IKVASourceIO* PromoteNextSource(const CKVAAutoLock& streamLockHeld);
    void Dispose(CKVAAudioStream* stream, IKVASourceIO* source);  // no lock held
    void doRetire();

    // state helpers
    int32_t ReadStatus();
    int32_t SetStatus(int32_t status);  // returns the previous status
    int32_t ReadFadeStatus();
    void SetFadeStatus(int32_t fade);
    static bool IsPlayingState(int32_t status) { return status >= kStatusPrepared && status <= kStatusCompleted; }
    std::string CurrentSessionText();
    void SetCurrentSessionText(const std::string& text);
    void InstallPending(IKVASourceIO* source, KVASourceRelease release, bool next, bool owned);
    int32_t SetSource(IKVASourceIO* source, KVASourceRelease release, bool owned);
    void ClearCachedTrackTime();
    // Keeps the finished track's played time for later queries (end of media, gapless switch).
    void FillCachedTrackTime();
    int64_t TrackTimeQuery(const char* songId, int32_t kind);

    // command handlers (state machine)
    void doPlayCompleted(const ThreadMsgPtr& msg);
    void doSetSource();
    int32_t doPrepareAsync();
    IKVASourceIO* TakeSourceToPrepare(int32_t* answer);
    void ReplaceCurrentSource(IKVASourceIO* source, const std::string& text);
    int32_t OpenStreamForPreparation(IKVASourceIO* source, const std::string& text,
                                     CKVAAudioStream** out);
    void InstallPreparedStream(CKVAAudioStream* stream, const std::string& text,
                               uint32_t* sessionId, AudioDescription* srcDes);
    int32_t OpenDeviceForPreparation(uint32_t sessionId, const AudioDescription& srcDes,
                                     const std::string& text);
    int64_t StartPreparedStream(const std::string& text);
    int32_t doPlay(bool fadeIn);
    int32_t doPause(bool fadeOut);
    int32_t doSeek(int64_t positionMs);
    void doSeekComplete(const ThreadMsgPtr& msg);
    void doStop();
    void doStopCommand();  // doStop, then answers the Stop(true) calls waiting for it
    void AbortSources(bool closing);
    IKVASourceIO* SwapActiveSource(IKVASourceIO* source);
    void AbortIfStopping(const CKVAAutoLock& sourceLockHeld, IKVASourceIO* source);
    IKVASourceIO* SwapNextSource(IKVASourceIO* source);
    void doReset();
    void doSetCacheParams();
    void doSetSpeed();
    void doSetDeviceParams();
    // kVolumeFill: a fill moved the fade; kVolumeTick: the ramp's own next step; kVolumeJump:
    // a fade starts from where the chain's gain is.
    enum VolumeUpdate : int32_t { kVolumeFill = 0, kVolumeTick = 1, kVolumeJump = 2 };
    void doUpdateVolume(int32_t how = kVolumeFill);
    void doSetAudioIF();
    void doTakeOverIF();
    // transitions
    void doFadeFinish(const ThreadMsgPtr& msg);
    void doSetNextSource(int32_t mode);
    void doSwitchSource();
    void DropNextTrack();
    void doSetContentWithSource();
    void doCrossFadeSource();
    void StartCrossFadeStream(CKVAAudioStream* stream);
    FadeOut CrossFadeInto(CKVAAudioStream* stream);
    void doResetFadeSource();
    // devices
    void doDeviceChanged(int32_t type, int32_t force);
    void doHeadSetChanged(int32_t state);
    int32_t doDeviceReCreate(int32_t type);
    int32_t doDeviceOpen(int64_t positionMs, bool reopen);
    void doDeviceError(int32_t code, uint32_t generation);
    void doDeviceMoved(const std::string& name, uint32_t generation);

    // ---- locks ----
    // Each guards the fields listed under its name below. Nested, they are taken in this order
    // and never the other way round:
    //   stream lock -> next-stream lock -> source lock -> sync-stop mutex
    //   stream lock or device lock -> fill-mode lock
    //   any of these -> settings lock or status lock (leaves: held briefly, no call out)
    // The render thread takes the stream lock for a pull and the fill-mode lock inside it; it
    // never takes the device lock. No lock is held across a stream's open, a source read or a
    // call to the host, except the source lock across Abort, which only raises a flag.
    CKVACritical mStatusLock;
    CKVACritical mSettingsLock;
    CKVACritical mNextStreamLock;
    CKVACritical mFillModeLock;
    CKVACritical mStreamLock;
    CKVACritical mSourceLock;
    CKVACritical mDeviceLock;

    std::atomic<IKVAPlayerObserver*> mObserver;

    // ---- status lock ----
    int32_t mStatus = kStatusIdle;
    int32_t mFadeStatus = kFadeStatusNone;
    int32_t mNextSourceState = kNextStateIdle;
    int32_t mNextOpenDetail = 0;  // of the last queued source that failed to open
    int32_t mNewStream = 0;

    // ---- the command thread's alone ----
    bool mFadeInActive = false;
    // The fade's volume as the device has it, moved a step per kVolumeStepMs at most.
    float mFadeVolume = 1.0f;
    int64_t mFadeVolumeAt = 0;   // monotonic ms of the last step
    bool mVolumeRamping = false;  // short of the fade's gain (or, after a fade-in, of full)
    bool mVolumeTickPending = false;
    int32_t mStepSize = 0;           // the device's, read after each open
    uint32_t mStreamSessionId = 0;   // the id the device was opened with

    // ---- settings lock ----
    float mVolume = 1.0f;
    double mPlaySpeed = 1.0;
    double mStreamGain = 1.0;
    bool mSeekPending = false;
    int64_t mSeekTarget = 0;
    int32_t mZOAiAudioType = 0;
    int32_t mAudioIFRatio = 90;
    IKVAAudioIFProcessor* mAudioIFProcessor = nullptr;
    IKVASourceIO* mPendingSource = nullptr;
    IKVASourceIO* mNextPendingSource = nullptr;
    int32_t mNextSourceMode = kNextModeSwitch;
    std::string mCurrentSessionText = "0";
    int32_t mFirstAudio = 0;
    int64_t mDuration = 0;
    int32_t mPlayedTimeType = 0;
    int32_t mReplayGainMode = kReplayGainOff;
    float mReplayGainPreampDb = 0.0f;
    bool mReplayGainPreventClipping = false;
    KVACachedTrackTime mCachedTrackTime;

    int64_t mCache_min = 4000;
    int64_t mCache_max = 7000;
    int64_t mBufferingMin = 1000;
    int64_t mBufferingMax = 1500;
    FILE* mDumpFile = nullptr;

    // ---- atomic: written and read on different threads without a lock ----
    std::atomic<int64_t> mStartFadeTime{600};
    std::atomic<int64_t> mPauseFadeTime{600};
    std::atomic<int64_t> mCrossFadeTime{600};
    std::atomic<int64_t> mCacheMax{7000};
    std::atomic<int32_t> mPositionInterval{0};
    std::atomic<int32_t> mRequestedDeviceType{-1};  // the last type a host chose; -1: none
    std::atomic<int64_t> mLastTickTime{0};      // notification thread; cleared by the command thread
    std::atomic<bool> mBuffering{false};        // written under the device lock
    std::atomic<int32_t> mCompletionDelay{0};   // the device's, read by the render thread

    // ---- device lock ----
    AudioDevice* mAudioDevice = nullptr;
    AudioDeviceMonitor* mDeviceMonitor = nullptr;
    int32_t mAudioDeviceType = kDeviceTypeWasapi;
    std::u16string mDeviceName;
    std::string mSessionTag;
    int32_t mHeadSetState = 0;
    int32_t mDeviceFlag = 0;
    int32_t mDeviceParams[3] = {15, 0, 10};
    int32_t mDeviceOptionB = 0;
    int32_t mDeviceOptionA = 3;
    // Counts the devices made, so that an error from a device already replaced is dropped.
    std::atomic<uint32_t> mDeviceGeneration{0};
    // Device lock: the system's default endpoint when a device that follows the default was made.
    std::string mDefaultAtCreate;

    // ---- stream lock ----
    CKVAAudioStream* mAudioStream = nullptr;

    // ---- source lock (the next active source is written under the next-stream lock too) ----
    IKVASourceIO* mActiveSource = nullptr;
    bool mClosing = false;  // destruction began; sources are aborted as they come
    // What gapless switches replaced, until the command thread destroys it. Its capacity is
    // reserved once, so that the render thread never allocates here.
    using Retired = StreamAndSource;
    static constexpr size_t kMaxRetired = 8;
    std::vector<Retired> mRetired;

    // ---- sync-stop mutex: how many Stop(true) calls were posted and answered ----
    std::mutex mSyncStopMutex;
    std::condition_variable mSyncStopCond;
    uint32_t mSyncStopsPosted = 0;
    uint32_t mSyncStopsDone = 0;

    // ---- next-stream lock ----
    CKVAAudioStream* mNextStream = nullptr;
    IKVASourceIO* mNextActiveSource = nullptr;
    bool mCrossFadeAtEnd = false;  // the preloaded mNextStream is to be faded in near the end

    // ---- fill-mode lock ----
    // (The pull reads the fill mode under it; the pull and the mix run under it.)
    int32_t mFillMode = kFillNormal;
    int64_t mCrossFadeLength = 0;
    int64_t mCrossFadeProgress = 0;
    float mCrossFadeStep = 0.0f;
    CKVAAudioStream* mFadeOutStream = nullptr;
    IKVASourceIO* mFadeOutSource = nullptr;
    std::vector<uint8_t> mScratch;
    bool mCrossFadeEndPosted = false;
    bool mCrossFadeNewMixed = false;  // the new track has been heard in this fade
    // The format the device accepted: written under the device lock too (device -> fill-mode),
    // so that the pull reads it under the lock it already holds and never waits for an open.
    AudioDescription mOutDes = DefaultOutputDescription();
    // Atomic: media position (ms) where the last block delivered by the current stream ends.
    std::atomic<int64_t> mLastFillEndMs{0};
    // The stream starts over at `ms`: nothing of it delivered yet, the clock there.
    void RestartPositionAt(int64_t ms);
    int64_t mFillQueuedMs = 0;  // render thread: what the device held as it asked for this pull

    // ---- created once, each with its own lock ----
    CKVAAudioProcess* mAudioProcess = nullptr;
    CKVAAudioTimeInfo* mTimeInfo = nullptr;

    CKVAMsgThread mCommandThread;
    CKVAMsgThread mNotifyThread;
};

// The process's count of players, and the logger a player was given: cleared with the last
// player (MediaPlayerFactory.cpp).
void PlayerCreated();
void PlayerDestroyed();
void SetLoggerFromPlayer(IPlayerLogger* logger);

// A random version 4, variant 1 UUID as 36 characters of text: the audio session tag.
std::string MakeSessionTag();

}  // namespace kva_audioplayer
