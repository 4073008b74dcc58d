// The operations of IKVAPlayer: record a setting, query a component, or post a command.
#include <algorithm>
#include <atomic>
#include <climits>

#include "player/CKVAAudioPlayer.h"
#include "source/KVAAudioSourceIO.h"
#include "source/KVABufferReaderProxy.h"
#include "source/SourceFactory.h"

namespace kva_audioplayer {

namespace {
std::atomic<bool> gProcessFlag{false};

// Longer fades than this are kept at it: ten minutes is more than any track needs, and keeps
// every length in frames far from overflowing.
constexpr int64_t kMaxFadeMs = 600000;

bool ValidVolume(float volume) { return volume >= 0.0f && volume <= 1.0f; }  // false for NaN

bool KnownNextMode(int32_t mode) {
    return mode == kNextModeSwitch || mode == kNextModePreload || mode == kNextModeCrossFade ||
           mode == kNextModeCrossFadeAtEnd;
}

// Seconds from the host as milliseconds; false for what no cache can mean (NaN, negative, days).
bool CacheSecondsToMs(double seconds, int64_t* ms) {
    if (!(seconds >= 0.0 && seconds <= 86400.0)) return false;
    *ms = static_cast<int64_t>(seconds * 1000);
    return true;
}
}  // namespace

bool CKVAAudioPlayer::ProcessFlag() { return gProcessFlag.load(); }

// ---- sources ----

int64_t CKVAAudioPlayer::GetBufferedBytes() {
    // The source lock keeps the active source alive while it is asked.
    CKVAAutoLock lock(mSourceLock);
    auto* reader = dynamic_cast<CKVABufferReaderProxy*>(mActiveSource);
    return reader ? reader->GetBytesAhead() : -1;
}

int32_t CKVAAudioPlayer::GetNextSourceErrorDetail() { return ReadUnder(mStatusLock, mNextOpenDetail); }

void CKVAAudioPlayer::OnStreamTitle(void* self, const char* title) {
    static_cast<CKVAAudioPlayer*>(self)->PostNotifyText(kNotifyStreamTitle, title ? title : "");
}

int32_t CKVAAudioPlayer::SetDataSource(const char* url) {
    if (!url) {
        PostNotify(kNotifyCallError, kErrorNoDataSource);
        return kErrorNoDataSource;
    }
    return SetSource(CreateSourceForLocator(0, url, &CKVAAudioPlayer::OnStreamTitle, this),
                     nullptr, true);
}

// A host's source is wrapped, so that the same object handed in again (while it is pending,
// playing or queued as the next track) is shared by its wrappers and released once; `owned` is
// one of the player's own.
void CKVAAudioPlayer::InstallPending(IKVASourceIO* source, KVASourceRelease release, bool next,
                                     bool owned) {
    IKVASourceIO* replaced = nullptr;
    {
        CKVAAutoLock lock(mSettingsLock);
        IKVASourceIO*& slot = next ? mNextPendingSource : mPendingSource;
        IKVASourceIO* keep = source;
        if (source && !owned) {
            auto* wrap = dynamic_cast<CKVAAudioSourceIO*>(slot);
            keep = wrap && wrap->Inner() == source ? slot : new CKVAAudioSourceIO(source, release);
        }
        if (slot != keep) {
            replaced = slot;
            slot = keep;
        }
    }
    delete replaced;
}

int32_t CKVAAudioPlayer::SetSourceIO(IKVASourceIO* source, KVASourceRelease release) {
    return SetSource(source, release, false);
}

int32_t CKVAAudioPlayer::SetSource(IKVASourceIO* source, KVASourceRelease release, bool owned) {
    std::string text = source && source->GetSessionIdText() ? source->GetSessionIdText() : "";
    InstallPending(source, release, false, owned);
    bool wasIdle = false;
    {
        CKVAAutoLock lock(mStatusLock);
        if (mStatus == kStatusIdle) {
            wasIdle = true;
            mStatus = kStatusInitialized;
            mFadeStatus = kFadeStatusNone;
        }
    }
    if (wasIdle) {
        PostNotifyText(kNotifyStatus, text, kStatusInitialized);
    } else {
        StopInternal(false);
        PostCommandText(kCmdSetSource, text);
    }
    return 0;
}

int32_t CKVAAudioPlayer::SetNextSourceIO(IKVASourceIO* source, int32_t mode,
                                         KVASourceRelease release) {
    // Refused before anything is taken: the host keeps its source.
    if (!KnownNextMode(mode)) return kErrorInvalidArgument;
    std::string text = source && source->GetSessionIdText() ? source->GetSessionIdText() : "";
    InstallPending(source, release, true, false);
    WriteUnder(mSettingsLock, mNextSourceMode, mode);
    WriteUnder(mStatusLock, mNextSourceState, kNextStatePending);
    PostCommandText(kCmdSetNextSource, text, mode);
    PostNotifyText(kNotifyNextSource, text, kNextAccepted);
    return 0;
}

// ---- transport ----

int32_t CKVAAudioPlayer::PrepareAsync() {
    bool hasSource;
    {
        CKVAAutoLock lock(mSettingsLock);
        hasSource = mPendingSource != nullptr;
    }
    if (!hasSource) {
        KVA_LOG(kLogTrace, "CKVAAudioPlayer::PrepareAsync no source");
        return 0;
    }
    mCommandThread.RemoveById(kCmdPrepareAsync);
    PostCommand(kCmdPrepareAsync);
    CKVAAutoLock lock(mStatusLock);
    mNewStream = 1;
    return 0;
}

int32_t CKVAAudioPlayer::Play(bool fadeIn) {
    int32_t status = ReadStatus();
    KVA_LOG(kLogTrace, "CKVAAudioPlayer::Play status %d", status);
    if (status == kStatusPrepared || status == kStatusStarted || status == kStatusPaused) {
        PostCommand(kCmdPlay, fadeIn ? 1 : 0);
    } else if (status == kStatusCompleted) {
        {
            CKVAAutoLock lock(mSettingsLock);
            mSeekTarget = 0;
            mSeekPending = true;
        }
        PostCommand(kCmdSeek, 0);
        PostCommand(kCmdPlay, fadeIn ? 1 : 0);
    }
    return 0;
}

int32_t CKVAAudioPlayer::Pause(bool fadeOut) {
    if (IsPlayingState(ReadStatus())) PostCommand(kCmdPause, fadeOut ? 1 : 0);
    return 0;
}

int32_t CKVAAudioPlayer::Seek(int64_t positionMs) {
    if (positionMs < 0) return kErrorInvalidArgument;
    ClearCachedTrackTime();
    if (!IsPlayingState(ReadStatus())) return 0;
    {
        // The command carries 32 bits, and a target past the end is the end. Without a length
        // (a live stream) there is nowhere to go.
        CKVAAutoLock lock(mSettingsLock);
        if (mDuration < 0) return kErrorInvalidArgument;
        if (mDuration > 0) positionMs = std::min(positionMs, mDuration);
    }
    positionMs = std::min<int64_t>(positionMs, INT32_MAX);
    const bool pending = ReadUnder(mSettingsLock, mSeekPending);
    if (pending) mCommandThread.RemoveById(kCmdSeek);
    KVA_LOG(kLogTrace, "CKVAAudioPlayer::Seek %lld", static_cast<long long>(positionMs));
    {
        CKVAAutoLock lock(mSettingsLock);
        mSeekPending = true;
        mSeekTarget = positionMs;
    }
    PostCommand(kCmdSeek, static_cast<int32_t>(positionMs));
    return 0;
}

int32_t CKVAAudioPlayer::Stop(bool synchronous) {
    ClearCachedTrackTime();
    StopInternal(synchronous);
    return 0;
}

void CKVAAudioPlayer::Release() { delete this; }

int32_t CKVAAudioPlayer::Reset() {
    KVA_LOG(kLogTrace, "CKVAAudioPlayer::Reset");
    ClearCachedTrackTime();
    mCommandThread.Clear();
    StopInternal(false);
    PostCommand(kCmdReset);
    return 0;
}

// ---- volume and simple queries ----

int32_t CKVAAudioPlayer::SetVolumeEx(float volume, double) {
    if (!ValidVolume(volume)) return kErrorInvalidArgument;
    WriteUnder(mSettingsLock, mVolume, volume);
    if (IsPlayingState(ReadStatus())) ApplyDeviceVolume(true);
    return 0;
}

int32_t CKVAAudioPlayer::SetVolume(float volume) {
    if (!ValidVolume(volume)) return kErrorInvalidArgument;
    WriteUnder(mSettingsLock, mVolume, volume);
    if (IsPlayingState(ReadStatus())) ApplyDeviceVolume(false);
    return 0;
}

float CKVAAudioPlayer::GetVolume() {
    CKVAAutoLock lock(mSettingsLock);
    return mVolume;
}

int32_t CKVAAudioPlayer::GetStatus() { return ReadStatus(); }

int64_t CKVAAudioPlayer::GetDuration() {
    int32_t status = ReadStatus();
    if (status < kStatusPrepared || status > kStatusStopped) return 0;
    CKVAAutoLock lock(mSettingsLock);
    return mDuration > 0 ? mDuration : 0;
}

int32_t CKVAAudioPlayer::GetDeviceFlag() {
    CKVAAutoLock lock(mDeviceLock);
    return mDeviceFlag;
}

int32_t CKVAAudioPlayer::WaveFormatOf(const AudioDescription& des) {
    return IsFloatSampleFormat(des.nSampleFormat) ? kWaveFormatFloat : kWaveFormatPcm;
}

int32_t CKVAAudioPlayer::GetAudioFormat(int32_t* sampleRate, int32_t* channels,
                                        int32_t* waveFormat) {
    // Under the device lock as well: a query during an open answers the format it settles on.
    CKVAAutoLock lock(mDeviceLock);
    const AudioDescription des = OutputDescription();
    if (sampleRate) *sampleRate = des.nSampleRate;
    if (channels) *channels = des.nChannel;
    if (waveFormat) *waveFormat = WaveFormatOf(des);
    return 0;
}

bool CKVAAudioPlayer::IsBuffering() { return mBuffering.load(); }

// ---- settings ----

int32_t CKVAAudioPlayer::SetCacheMax(int64_t ms) {
    if (ms <= 4000) return 0;
    mCacheMax = ms;
    int32_t status = ReadStatus();
    if (status < kStatusIdle || status > kStatusPreparing) ApplyCacheMaxToStreams(ms);
    return 0;
}

namespace {
// A fade length, capped; a negative one is refused.
int32_t SetFadeTime(std::atomic<int64_t>& field, int64_t ms, const char* logFormat) {
    if (ms < 0) return kErrorInvalidArgument;
    ms = std::min(ms, kMaxFadeMs);
    field = ms;
    KVA_LOG(kLogTrace, logFormat, static_cast<int>(ms));
    return 0;
}
}  // namespace

int32_t CKVAAudioPlayer::SetStartFadeTime(int64_t ms) {
    return SetFadeTime(mStartFadeTime, ms, "CKVAAudioPlayer::SetStartFadeTime mStartFadeTime %d");
}

int32_t CKVAAudioPlayer::SetPauseFadeTime(int64_t ms) {
    return SetFadeTime(mPauseFadeTime, ms, "CKVAAudioPlayer::SetPauseFadeTime mPauseFadeTime %d");
}

int32_t CKVAAudioPlayer::SetReplayGain(int32_t mode, float preampDb, bool preventClipping) {
    if (mode < kReplayGainOff || mode > kReplayGainAlbum) return kErrorInvalidArgument;
    if (!(preampDb >= -15.0f && preampDb <= 15.0f)) return kErrorInvalidArgument;  // NaN too
    {
        CKVAAutoLock lock(mSettingsLock);
        mReplayGainMode = mode;
        mReplayGainPreampDb = preampDb;
        mReplayGainPreventClipping = preventClipping;
    }
    PostCommand(kCmdReplayGain);
    return 0;
}

int32_t CKVAAudioPlayer::SetCrossFadeTime(int64_t ms) {
    return SetFadeTime(mCrossFadeTime, ms, "CKVAAudioPlayer::SetCrossFadeTime mCrossFadeTime %d");
}

int32_t CKVAAudioPlayer::SetProcessFlag(bool flag) {
    gProcessFlag.store(flag);
    return 0;
}

int32_t CKVAAudioPlayer::NotifyHeadSetChanged(int32_t state) {
    PostCommand(kCmdHeadSetChanged, state);
    return 0;
}

int32_t CKVAAudioPlayer::SetAudioIFEnable(int32_t status) {
    KVA_LOG(kLogError, "CKVAAudioPlayer::SetAudioIFEnable nStatus %d", status);
    {
        CKVAAutoLock lock(mSettingsLock);
        if (status == mZOAiAudioType) return 0;
        mZOAiAudioType = status;
    }
    PostCommand(kCmdSetAudioIF);
    return 0;
}

int32_t CKVAAudioPlayer::SetAudioIFProcessor(IKVAAudioIFProcessor* processor) {
    ExchangeUnder(mSettingsLock, mAudioIFProcessor, processor);
    return 0;
}

int32_t CKVAAudioPlayer::SetAudioIFRatio(int32_t ratio) {
    ExchangeUnder(mSettingsLock, mAudioIFRatio, ratio);
    return 0;
}

int32_t CKVAAudioPlayer::SetDeviceParams(int32_t a, int32_t b, int32_t c) {
    {
        CKVAAutoLock lock(mDeviceLock);
        mDeviceParams[0] = a;
        mDeviceParams[1] = b;
        mDeviceParams[2] = c;
    }
    PostCommand(kCmdSetDeviceParams);
    return 0;
}

int32_t CKVAAudioPlayer::SetDeviceOptionB(int32_t value) {
    ExchangeUnder(mDeviceLock, mDeviceOptionB, value);
    return 0;
}

int32_t CKVAAudioPlayer::SetDeviceOptionA(int32_t value) {
    ExchangeUnder(mDeviceLock, mDeviceOptionA, value);
    return 0;
}

int32_t CKVAAudioPlayer::SetOutputDeviceType(int32_t type) {
    mRequestedDeviceType = type;
    PostCommand(kCmdDeviceChanged, type);
    return 0;
}

// The type asked for answers at once, before the command thread has moved to it.
int32_t CKVAAudioPlayer::GetOutputDeviceType() {
    const int32_t requested = mRequestedDeviceType.load();
    if (requested >= 0) return requested;
    CKVAAutoLock lock(mDeviceLock);
    return mAudioDeviceType;
}

int32_t CKVAAudioPlayer::SetPlaybackCacheParams(double cacheMin, double cacheMax,
                                                double bufferingMin, double bufferingMax) {
    int64_t ms[4];
    if (!CacheSecondsToMs(cacheMin, &ms[0]) || !CacheSecondsToMs(cacheMax, &ms[1]) ||
        !CacheSecondsToMs(bufferingMin, &ms[2]) || !CacheSecondsToMs(bufferingMax, &ms[3]))
        return kErrorInvalidArgument;
    {
        CKVAAutoLock lock(mSettingsLock);
        mCache_min = ms[0];
        mCache_max = ms[1];
        mBufferingMin = ms[2];
        mBufferingMax = ms[3];
        KVA_LOG(kLogTrace, "mCache_min %lld, mCache_max %lld, mBufferingMin %lld, mBufferingMax %lld",
                static_cast<long long>(mCache_min), static_cast<long long>(mCache_max),
                static_cast<long long>(mBufferingMin), static_cast<long long>(mBufferingMax));
    }
    PostCommand(kCmdSetCacheParams);
    return 0;
}

int32_t CKVAAudioPlayer::SetPositionNotifyInterval(int32_t ms) {
    mPositionInterval = ms;
    if (ms > 0) {
        int32_t status, fade;
        {
            CKVAAutoLock lock(mStatusLock);
            status = mStatus;
            fade = mFadeStatus;
        }
        if (status == kStatusStarted || fade != kFadeStatusNone) PostNotify(kNotifyPosition);
    } else {
        mNotifyThread.RemoveById(kNotifyPosition);
    }
    return 0;
}

// ---- host hooks and logging ----

int32_t CKVAAudioPlayer::DetachObserver() {
    mObserver = nullptr;
    mNotifyThread.Clear();
    mNotifyThread.Stop();
    return 0;
}

int32_t CKVAAudioPlayer::SetDumpFile(const char* path) {
    CKVAAutoLock lock(mSettingsLock);
    if (mDumpFile) {
        fclose(mDumpFile);
        mDumpFile = nullptr;
    }
    if (path) mDumpFile = fopen(path, "wb");
    return mDumpFile || !path ? 0 : -1;
}

// Logging is the process's, not a player's: these are the factory's settings.
int32_t CKVAAudioPlayer::SetLogConfig(bool debugOutput, int32_t minLevel) {
    return CMediaPlayerFactory::SetLogConfig(debugOutput, minLevel);
}

int32_t CKVAAudioPlayer::SetLogger(IPlayerLogger* logger) {
    SetLoggerFromPlayer(logger);
    return 0;
}

}  // namespace kva_audioplayer
