// Handlers of "Audio Handle Thread": build, start, pause, seek, stop and tear down the pipeline.
#include <algorithm>
#include <chrono>
#include <utility>

#include "codec/CKVAAudioProcess.h"
#include "codec/KVAAudioStream.h"
#include "device/AudioDevice.h"
#include "player/CKVAAudioPlayer.h"
#include "player/CKVAAudioTimeInfo.h"

namespace kva_audioplayer {

namespace {
// How often, and how long each time, the completion waits for the device to play out its tail.
constexpr int32_t kMaxTailWaits = 20;
constexpr int64_t kTailWaitMs = 200;
}  // namespace

bool CKVAAudioPlayer::StopInternal(bool synchronous) {
    const bool onCommandThread =
        mCommandThread.IsCurrentThread() || mCommandThread.GetState() != CKVAMsgThread::kRunning;
    uint32_t ticket = 0;
    if (synchronous && !onCommandThread) {
        // Counted before the abort, so that a source the handler in progress makes active after
        // it is aborted as it comes (SwapActiveSource).
        std::lock_guard<std::mutex> lock(mSyncStopMutex);
        ticket = ++mSyncStopsPosted;
    }
    AbortSources(false);
    mCommandThread.RemoveById(kCmdPrepareAsync);
    mCommandThread.RemoveById(kCmdSeek);
    if (synchronous && onCommandThread) {
        // Without a running command thread (destruction) or on it, nothing else runs beside.
        doStop();
        return true;
    }
    PostCommand(kCmdStop);
    if (!synchronous) return true;
    // The stop waits its turn behind the handler in progress, whose reads were just aborted.
    std::unique_lock<std::mutex> lock(mSyncStopMutex);
    return mSyncStopCond.wait_for(lock, std::chrono::seconds(5), [&] {
        return mSyncStopsDone >= ticket || mCommandThread.GetState() != CKVAMsgThread::kRunning;
    });
}

// Source lock held while it calls Abort, so that no source can be destroyed meanwhile (Abort
// only raises a flag). With `closing` every source made active later is aborted as it comes.
void CKVAAudioPlayer::AbortSources(bool closing) {
    CKVAAutoLock lock(mSourceLock);
    if (closing) mClosing = true;
    if (mActiveSource) mActiveSource->Abort();
    if (mNextActiveSource) mNextActiveSource->Abort();
}

// A source made active while the player is being destroyed or a Stop(true) waits is aborted at
// once; the work that reads it is about to be stopped.
void CKVAAudioPlayer::AbortIfStopping(const CKVAAutoLock&, IKVASourceIO* source) {
    if (!source) return;
    bool stopping = mClosing;
    {
        std::lock_guard<std::mutex> lock(mSyncStopMutex);
        stopping |= mSyncStopsDone != mSyncStopsPosted;
    }
    if (stopping) source->Abort();
}

// The previous active source, for the caller to destroy with no lock held; null when the same.
IKVASourceIO* CKVAAudioPlayer::SwapActiveSource(IKVASourceIO* source) {
    CKVAAutoLock lock(mSourceLock);
    IKVASourceIO* old = std::exchange(mActiveSource, source);
    AbortIfStopping(lock, source);
    return old == source ? nullptr : old;
}

IKVASourceIO* CKVAAudioPlayer::SwapNextSource(IKVASourceIO* source) {
    CKVAAutoLock nextLock(mNextStreamLock);
    CKVAAutoLock lock(mSourceLock);
    IKVASourceIO* old = std::exchange(mNextActiveSource, source);
    AbortIfStopping(lock, source);
    return old == source ? nullptr : old;
}

// Every Stop(true) posted before this one is answered by it too: a Reset may have cleared theirs.
void CKVAAudioPlayer::doStopCommand() {
    uint32_t posted;
    {
        std::lock_guard<std::mutex> lock(mSyncStopMutex);
        posted = mSyncStopsPosted;
    }
    doStop();
    {
        std::lock_guard<std::mutex> lock(mSyncStopMutex);
        mSyncStopsDone = std::max(mSyncStopsDone, posted);
    }
    mSyncStopCond.notify_all();
}

void CKVAAudioPlayer::doSetSource() {
    DropNextTrack();
    std::string text;
    {
        CKVAAutoLock lock(mSettingsLock);
        if (mPendingSource && mPendingSource->GetSessionIdText())
            text = mPendingSource->GetSessionIdText();
        mSeekTarget = 0;
        mSeekPending = false;
    }
    {
        CKVAAutoLock lock(mStatusLock);
        mStatus = kStatusInitialized;
        mFadeStatus = kFadeStatusNone;
    }
    doResetFadeSource();
    PostNotifyText(kNotifyStatus, text, kStatusInitialized);
}

// A failure is reported once: whoever finds the player already failed stays quiet.
void CKVAAudioPlayer::FailWith(const std::string& text, int32_t code, int32_t detail) {
    if (SetStatus(kStatusError) == kStatusError) return;
    PostNotifyText(kNotifyError, text, code, detail);
    PostNotifyText(kNotifyStatus, text, kStatusError);
}

int32_t CKVAAudioPlayer::doPrepareAsync() {
    int32_t r = 0;
    IKVASourceIO* source = TakeSourceToPrepare(&r);
    if (!source) return r;
    std::string text = source->GetSessionIdText() ? source->GetSessionIdText() : "";
    SetStatus(kStatusPreparing);
    PostNotifyText(kNotifyStatus, text, kStatusPreparing);

    ReplaceCurrentSource(source, text);
    CKVAAudioStream* stream = nullptr;
    r = OpenStreamForPreparation(source, text, &stream);
    if (r != 0) return r;
    uint32_t sessionId = 0;
    AudioDescription srcDes{};
    InstallPreparedStream(stream, text, &sessionId, &srcDes);

    r = OpenDeviceForPreparation(sessionId, srcDes, text);
    if (r != 0) return r;
    const int64_t duration = StartPreparedStream(text);
    SetStatus(kStatusPrepared);
    PostNotifyText(kNotifyStatus, text, kStatusPrepared);
    PostNotifyText(kNotifyDuration, text, static_cast<int32_t>(duration));
    mNotifyThread.RemoveById(kNotifyPosition);
    mLastTickTime = 0;
    return 0;
}

// The source SetSource left for preparation, or null with the answer for the host's command.
IKVASourceIO* CKVAAudioPlayer::TakeSourceToPrepare(int32_t* answer) {
    int32_t status, newStream;
    {
        CKVAAutoLock lock(mStatusLock);
        newStream = mNewStream;
        mNewStream = 0;
        status = mStatus;
    }
    KVA_LOG(kLogTrace, "CKVAAudioPlayer::doPrepareAsync start++ status  %d, mNewStream %d", status,
            newStream);
    if (status != kStatusInitialized) {
        KVA_LOG(kLogTrace, "CKVAAudioPlayer::doPrepareAsync status not correct, quit");
        *answer = kAudioPlayerErrorState;
        return nullptr;
    }
    IKVASourceIO* source;
    {
        CKVAAutoLock lock(mSettingsLock);
        source = mPendingSource;
        mPendingSource = nullptr;
    }
    if (!source) {
        SetStatus(kStatusPrepareAbandoned);
        KVA_LOG(kLogError, "PrepareAsync Fail Current State(%d), sourceIO %ld, nErr %d", 2, 0L, 1);
        *answer = 1;
    }
    return source;
}

// The old track goes; `source` is active before its open, so that a stop or a release can abort
// a read that waits.
void CKVAAudioPlayer::ReplaceCurrentSource(IKVASourceIO* source, const std::string& text) {
    CKVAAudioStream* old = ExchangeUnder(mStreamLock, mAudioStream, nullptr);
    delete old;
    delete SwapActiveSource(source);
    SetCurrentSessionText(text);
    mLastFillEndMs = 0;
}

// Opened with no lock held: the pull, Stop and the queries never wait behind its reads. A
// failure is reported here, except a cancelled open, which only moves the status.
int32_t CKVAAudioPlayer::OpenStreamForPreparation(IKVASourceIO* source, const std::string& text,
                                                  CKVAAudioStream** out) {
    auto* stream = new CKVAAudioStream(this);
    int32_t r = stream->open(source, false);
    KVA_LOG(kLogTrace, "CKVAAudioPlayer::doPrepareAsync openSource %d", r);
    if (r != 0) {
        int32_t err = stream->getLastError();
        delete stream;
        if (r == kStreamCancelled) {
            SetStatus(kStatusError);
        } else {
            FailWith(text, r, err);
        }
        return r;
    }
    *out = stream;
    return 0;
}

// The opened stream gets its gain and IF settings and becomes current; answers what the device
// is opened with.
void CKVAAudioPlayer::InstallPreparedStream(CKVAAudioStream* stream, const std::string& text,
                                            uint32_t* sessionId, AudioDescription* srcDes) {
    UpdateReplayGain(stream);
    int32_t ifAnswer = ApplyIFSettings(stream);
    if (ifAnswer < 0) PostNotifyText(kNotifyAudioIFStatus, text, kAudioIFRefused, ifAnswer);
    *sessionId = static_cast<uint32_t>(stream->getSessionId());
    stream->getAudioDescription(srcDes);
    const double gain = stream->getRatio();
    WriteUnder(mStreamLock, mAudioStream, stream);
    CKVAAutoLock lock(mSettingsLock);
    mStreamGain = gain;
}

int32_t CKVAAudioPlayer::doPlay(bool fadeIn) {
    int32_t previous = ReadStatus();
    // Posted while the status allowed it; a stop or an error may have come in between.
    if (previous != kStatusPrepared && previous != kStatusPaused && previous != kStatusCompleted)
        return 0;
    const int32_t type = ReadUnder(mDeviceLock, mAudioDeviceType);
    doDeviceReCreate(type);
    // The re-created device did not open and the failure is reported: nothing to start.
    if (ReadStatus() == kStatusError) return kErrorDeviceOpen;

    std::string text;
    {
        CKVAAutoLock lock(mStreamLock);
        if (!mAudioStream) return kAudioPlayerErrorState;
        int32_t r = mAudioStream->start();
        text = mAudioStream->getSessionIdText();
        int32_t err = mAudioStream->getLastError();
        KVA_LOG(kLogTrace, "CKVAAudioPlayer::doPlay mAudioStream start %d mBuffering %d, fadeIn %d", r,
                mBuffering ? 1 : 0, fadeIn ? 1 : 0);
        if (r != 0) {
            FailWith(text, r, err);
            return r;
        }
    }
    int32_t fade = ReadFadeStatus();
    const int64_t startFade = mStartFadeTime;
    const bool fading = (fadeIn && startFade >= 200) || fade == kFadeStatusOut;
    if (fading) {
        if (fade == kFadeStatusNone) mAudioProcess->setFadeTime(startFade);
        SetFadeStatus(kFadeStatusIn);
        mAudioProcess->setFadeMode(kFadeIn);
    }
    mFadeInActive = fading;
    if (previous == kStatusPrepared) {
        CKVAAutoLock lock(mSettingsLock);
        mFirstAudio = 1;
    }
    SetStatus(kStatusStarted);

    int32_t r = -1;
    {
        CKVAAutoLock lock(mDeviceLock);
        // A fade-in from silence starts there; one that turns a fade-out round goes on from
        // the volume the device has.
        if (fading) {
            doUpdateVolume(fade == kFadeStatusNone ? kVolumeJump : kVolumeFill);
        } else {
            mVolumeRamping = false;
            if (mAudioDevice) mAudioDevice->SetVolume(DeviceVolume());
        }
        if (mAudioDevice) r = mBuffering ? 0 : mAudioDevice->Play();
        mTimeInfo->Resume();
        KVA_LOG(kLogTrace, "CKVAAudioPlayer::doPlay mAudioDevices Play %d, mAudioDeviceType %d, mFadein %d",
                r, mAudioDeviceType, fading ? 1 : 0);
    }
    if (r == 0) {
        PostNotifyText(kNotifyStatus, text, kStatusStarted);
        if (mPositionInterval >= 1) PostNotifyText(kNotifyPosition, text);
        return 0;
    }
    if (type == 1) {
        SetStatus(kStatusError);
        CKVAAutoLock lock(mDeviceLock);
        PauseTimeLocked(lock);
        ReleaseDevice(lock);
        PostNotifyText(kNotifyDeviceFailure, text, kDeviceOpenFailed);
    } else {
        FailWith(text, kErrorDeviceOpen, 0);
    }
    return r;
}

int32_t CKVAAudioPlayer::doPause(bool fadeOut) {
    const int32_t status = ReadStatus();
    if (!IsPlayingState(status)) return 0;
    if (status == kStatusPaused && ReadFadeStatus() != kFadeStatusOut) return 0;
    std::string text;
    {
        CKVAAutoLock lock(mStreamLock);
        text = mAudioStream ? mAudioStream->getSessionIdText() : CurrentSessionText();
    }
    doResetFadeSource();
    SetStatus(kStatusPaused);
    const int64_t pauseFade = mPauseFadeTime;
    if (!fadeOut || pauseFade < 200) {
        {
            CKVAAutoLock lock(mDeviceLock);
            if (mAudioDevice) mAudioDevice->Pause();
            PauseTimeLocked(lock);
        }
        if (ReadFadeStatus() != kFadeStatusNone) {
            mAudioProcess->setFadeMode(kFadeNone);
            SetFadeStatus(kFadeStatusNone);
            ApplyDeviceVolume(false);
            mVolumeRamping = false;
        }
    } else {
        if (ReadFadeStatus() == kFadeStatusNone) {
            mAudioProcess->setFadeTime(pauseFade);
            if (!mVolumeRamping) mFadeVolume = DeviceVolume();
        }
        mAudioProcess->setFadeMode(kFadeOut);
        SetFadeStatus(kFadeStatusOut);
    }
    PostNotifyText(kNotifyStatus, text, kStatusPaused);
    return 0;
}

int32_t CKVAAudioPlayer::doSeek(int64_t positionMs) {
    int32_t fade = ReadFadeStatus();
    int32_t status = ReadStatus();
    KVA_LOG(kLogTrace, "CKVAAudioPlayer::doSeek %lld, mFadeStatus %d", static_cast<long long>(positionMs),
            fade);
    if (!IsPlayingState(status)) {
        // Nothing to seek in any more; the target must not stand in for the position.
        CKVAAutoLock lock(mSettingsLock);
        mSeekPending = false;
        return kAudioPlayerErrorState;
    }
    {
        CKVAAutoLock lock(mDeviceLock);
        if (mAudioDevice && (status == kStatusStarted || fade != kFadeStatusNone)) {
            mAudioDevice->Pause();
            PauseTimeLocked(lock);
        }
    }
    if (fade != kFadeStatusNone) {
        mAudioProcess->setFadeMode(kFadeIn);
        SetFadeStatus(kFadeStatusIn);
    }
    int32_t r = -1;
    doResetFadeSource();
    {
        CKVAAutoLock lock(mStreamLock);
        if (mAudioStream) r = mAudioStream->seek(positionMs);
        mAudioProcess->Reset();
    }
    if (r == 0) {
        mLastFillEndMs = positionMs;
        CKVAAutoLock lock(mDeviceLock);
        if (mAudioDevice) mAudioDevice->Flush();
        mTimeInfo->SetPosition(positionMs);
    }
    return r;
}

void CKVAAudioPlayer::doSeekComplete(const ThreadMsgPtr& msg) {
    int64_t target;
    {
        CKVAAutoLock lock(mSettingsLock);
        mSeekPending = false;
        target = mSeekTarget;
    }
    int32_t status = ReadStatus();
    if (status == kStatusStarted || status == kStatusCompleted) {
        {
            CKVAAutoLock lock(mDeviceLock);
            if (mAudioDevice && !mBuffering) mAudioDevice->Play();
            mTimeInfo->Resume();
        }
        if (status == kStatusCompleted) {
            SetStatus(kStatusStarted);
            PostNotifyText(kNotifyStatus, msg->mText, kStatusStarted);
        }
    }
    // Nothing plays any more: a stop has answered the seek it ended, a reset dropped it.
    if (!IsPlayingState(status)) return;
    PostNotifyText(kNotifySeekCompleted, msg->mText, static_cast<int32_t>(target));
}

void CKVAAudioPlayer::doPlayCompleted(const ThreadMsgPtr& msg) {
    int32_t previous = ReadStatus();
    if (previous != kStatusStarted) {
        // Completed already, or stopped, paused or failed since the end was seen: a paused track
        // at its end reports it again when it plays on.
        if (previous == kStatusCompleted) mCommandThread.RemoveById(kCmdPlayCompleted);
        return;
    }
    // The host queued the next track before the end, and its command waits behind this one:
    // after it, the track it preloads takes over instead of the player completing.
    if (mCommandThread.CountById(kCmdSetNextSource) > 0) {
        PostCommandText(kCmdPlayCompleted, msg->mText, msg->mArg1);
        return;
    }
    // The pull saw the end before a preload landed: that stream takes over rather than being
    // stranded, and the device, resting after the end, pulls again.
    bool handedOver;
    {
        CKVAAutoLock lock(mStreamLock);
        handedOver = mAudioStream && SwitchToNextStream(lock);
    }
    if (handedOver) {
        mCommandThread.RemoveById(kCmdPlayCompleted);
        CKVAAutoLock lock(mDeviceLock);
        if (mAudioDevice && previous == kStatusStarted && !mBuffering) mAudioDevice->Play();
        return;
    }
    // The device still plays what it holds: pausing it now would cut the end of the track.
    if (previous == kStatusStarted && msg->mArg1 < kMaxTailWaits) {
        int64_t queued = 0;
        {
            CKVAAutoLock lock(mDeviceLock);
            if (mAudioDevice) queued = mAudioDevice->QueuedMs();
        }
        if (queued > 0) {
            mCommandThread.RemoveById(kCmdPlayCompleted);
            bool atEnd;
            {
                CKVAAutoLock lock(mStreamLock);
                atEnd = mAudioStream && mAudioStream->isEOS();
            }
            // Not at the end any more (a seek came in): that end posts its own completion.
            if (atEnd)
                PostCommandText(kCmdPlayCompleted, msg->mText, msg->mArg1 + 1, 0,
                                static_cast<int32_t>(std::min<int64_t>(queued, kTailWaitMs)));
            return;
        }
    }
    {
        CKVAAutoLock lock(mDeviceLock);
        if (mAudioDevice) mAudioDevice->Pause();
        PauseTimeLocked(lock);
    }
    if (ReadFadeStatus() != kFadeStatusNone) mAudioProcess->setFadeMode(kFadeNone);
    SetFadeStatus(kFadeStatusNone);
    SetStatus(kStatusCompleted);
    KVA_LOG(kLogTrace, "CKVAAudioPlayer::doPlayCompleted kPlayerPlaybackCompeted");
    PostNotifyText(kNotifyStatus, msg->mText, kStatusCompleted);
    PostNotifyText(kNotifyPlaybackCompleted, msg->mText);
    mCommandThread.RemoveById(kCmdPlayCompleted);
}

void CKVAAudioPlayer::doStop() {
    int32_t status = ReadStatus();
    if (status == kStatusStopped || status == kStatusIdle || status == kStatusInitialized) return;
    SetStatus(kStatusStopped);
    {
        CKVAAutoLock lock(mDeviceLock);
        mTimeInfo->Reset();
        if (mAudioDevice) mAudioDevice->Pause();
        PauseTimeLocked(lock);
    }
    mBuffering = false;
    std::string text = CurrentSessionText();
    int32_t ifLoad = 0;
    {
        CKVAAutoLock lock(mStreamLock);
        if (mAudioStream) {
            mAudioStream->abort();
            text = mAudioStream->getSessionIdText();
            mAudioStream->stop();
            mAudioStream->close();
            ifLoad = mAudioStream->getIFLoad();
        }
    }
    doResetFadeSource();
    if (ifLoad > 0) PostNotifyText(kNotifyAudioIFStopLoad, text, ifLoad);
    bool seekWasPending = false;
    int64_t oldTarget = 0;
    {
        CKVAAutoLock lock(mSettingsLock);
        if (mSeekPending) {
            seekWasPending = true;
            oldTarget = mSeekTarget;
            mSeekPending = false;
            mSeekTarget = 0;
        }
    }
    if (seekWasPending) PostNotifyText(kNotifySeekCompleted, text, static_cast<int32_t>(oldTarget));
    mAudioProcess->close();
    mAudioProcess->onSongChanged();
    SetFadeStatus(kFadeStatusNone);
    mAudioProcess->setFadeMode(kFadeNone);
    PostNotifyText(kNotifyStatus, text, kStatusStopped);
    mNotifyThread.RemoveById(kNotifyPosition);
    mNotifyThread.RemoveById(kNotifyPlaybackCompleted);
    mLastTickTime = 0;
    KVA_LOG(kLogTrace, "CKVAAudioPlayer::doStop done");
    CKVAAutoLock lock(mSettingsLock);
    if (mDumpFile) {
        fclose(mDumpFile);
        mDumpFile = nullptr;
    }
}

void CKVAAudioPlayer::doReset() {
    int32_t status = ReadStatus();
    if (status == kStatusIdle || status == kStatusInitialized) {
        KVA_LOG(kLogTrace, "CKVAAudioPlayer::doReset status %d", status);
        return;
    }
    DestroyPipeline();
    // Again, now that no stream is left: a pull in flight when Reset was called may have kept
    // the finished track's time once more.
    ClearCachedTrackTime();
    {
        CKVAAutoLock lock(mSettingsLock);
        mSeekTarget = 0;
        mSeekPending = false;
        mVolume = 1.0f;
        mStreamGain = 1.0;
        mFirstAudio = 0;
        mDuration = 0;
    }
    mAudioProcess->Reset();
    {
        CKVAAutoLock lock(mStatusLock);
        mStatus = kStatusIdle;
        mFadeStatus = kFadeStatusNone;
    }
    mAudioProcess->setFadeMode(kFadeNone);
    PostNotify(kNotifyStatus, kStatusIdle);
    KVA_LOG(kLogTrace, "CKVAAudioPlayer::doReset done");
}

// Preparation's device: created when none exists and opened for the stream's format, whose
// accepted format becomes the output format. A failure is reported here; type 1 tolerates it.
int32_t CKVAAudioPlayer::OpenDeviceForPreparation(uint32_t sessionId, const AudioDescription& srcDes,
                                                  const std::string& text) {
    CKVAAutoLock lock(mDeviceLock);
    const int32_t deviceType = mAudioDeviceType;
    if (!mAudioDevice) mAudioDevice = CreateDevice(lock, mAudioDeviceType, true);
    mTimeInfo->Reset();
    mStreamSessionId = sessionId;
    int32_t r = mAudioDevice ? mAudioDevice->Open(static_cast<int32_t>(sessionId), &srcDes) : -1;
    if (r == 0) mAudioDevice->ForgetLastStream();
    KVA_LOG(kLogTrace, "CKVAAudioPlayer::doPrepareAsync mAudioDevices  Open %d", r);
    if (r != 0) {
        if (deviceType != 1) {
            ReleaseDevice(lock);
            FailWith(text, kErrorDeviceOpen, 0);
            return r;
        }
        PostNotifyText(kNotifyDeviceFailure, text, kDeviceOpenFailed);
    } else {
        TakeDeviceFormatLocked(lock);
    }
    mTimeInfo->Start();
    return 0;
}

// The prepared stream gets the output format and the settings and starts decoding; the chain
// is set up for it. Returns the duration.
int64_t CKVAAudioPlayer::StartPreparedStream(const std::string& text) {
    double speed;
    int64_t cache[4];
    {
        CKVAAutoLock lock(mSettingsLock);
        speed = mPlaySpeed;
        cache[0] = mCache_min, cache[1] = mCache_max, cache[2] = mBufferingMin, cache[3] = mBufferingMax;
    }
    const AudioDescription outDes = OutputDescription();
    mAudioProcess->setAudioDescription(outDes);
    mAudioProcess->SetPlaySpeed(speed);
    mAudioProcess->setSongId(text.c_str());
    int64_t duration;
    {
        CKVAAutoLock lock(mStreamLock);
        mAudioStream->setOutputDescription(outDes);
        mAudioStream->setCacheMax(mCacheMax);
        mAudioStream->setStepSize(mStepSize);
        mAudioStream->SetPlaybackCacheParams(cache[0], cache[1], cache[2], cache[3]);
        duration = mAudioStream->getDuration();
        mAudioStream->setSpeed(speed);
        int32_t r = mAudioStream->start();
        KVA_LOG(kLogTrace, "CKVAAudioPlayer::doPrepareAsync mAudioStream  start %d, mDuration %ld", r,
                static_cast<long>(duration));
    }
    CKVAAutoLock lock(mSettingsLock);
    mDuration = duration;
    return duration;
}

// ---- small setting handlers ----

void CKVAAudioPlayer::doSetCacheParams() {
    int64_t a, b, c, d;
    {
        CKVAAutoLock lock(mSettingsLock);
        a = mCache_min;
        b = mCache_max;
        c = mBufferingMin;
        d = mBufferingMax;
    }
    CKVAAutoLock lock(mStreamLock);
    if (mAudioStream) mAudioStream->SetPlaybackCacheParams(a, b, c, d);
}

void CKVAAudioPlayer::doSetSpeed() {
    const double speed = ReadUnder(mSettingsLock, mPlaySpeed);
    CKVAAutoLock lock(mStreamLock);
    if (mAudioStream) mAudioStream->setSpeed(speed);
}

void CKVAAudioPlayer::doSetDeviceParams() {
    CKVAAutoLock lock(mDeviceLock);
    if (mAudioDevice) mAudioDevice->Reserved11();
}

// A device pulls up to 200 ms at a time and the fade's gain moves with the pulls, so the volume
// follows it by steps of one 5 ms share of the fade, each 5 ms at most: what is heard moves
// smoothly on every driver, and a late step still keeps within a 10 ms share.
void CKVAAudioPlayer::doUpdateVolume(int32_t how) {
    constexpr int64_t kVolumeStepMs = 5;
    if (how == kVolumeTick) mVolumeTickPending = false;
    const bool fading = mAudioProcess->getFadeMode() != kFadeNone;
    if (!fading && !mVolumeRamping) return;
    const float full = DeviceVolume();
    const float target = fading ? mAudioProcess->getFadeGain() * full : full;
    const int64_t now = MonotonicMs();
    float v = target;
    if (how != kVolumeJump) {
        const int64_t since = now - mFadeVolumeAt;
        if (since < kVolumeStepMs) {
            if (!mVolumeTickPending) {
                mVolumeTickPending = true;
                PostCommand(kCmdUpdateVolume, kVolumeTick, 0, static_cast<int32_t>(kVolumeStepMs - since));
            }
            return;
        }
        const float step = full * mAudioProcess->getFadeShare(kVolumeStepMs);
        v = std::min(std::max(target, mFadeVolume - step), mFadeVolume + step);
    }
    mFadeVolume = v;
    mFadeVolumeAt = now;
    mVolumeRamping = v != target;
    if (mVolumeRamping && !mVolumeTickPending) {
        mVolumeTickPending = true;
        PostCommand(kCmdUpdateVolume, kVolumeTick, 0, static_cast<int32_t>(kVolumeStepMs));
    }
    CKVAAutoLock lock(mDeviceLock);
    if (mAudioDevice) mAudioDevice->SetVolume(v);
}

// Applies the IF processor, ratio and mode (stream lock held, or a stream not yet current); a
// refused mode is reset to 0.
int32_t CKVAAudioPlayer::ApplyIFSettings(CKVAAudioStream* stream) {
    const StreamSettings s = ReadStreamSettings();
    const int32_t answer = GiveIFSettings(stream, s);
    if (answer < 0) {
        KVA_LOG(kLogError, "CKVAAudioPlayer::doPrepareAsync mZOAiAudioType %d, nErr %d", s.ifMode, answer);
        ExchangeUnder(mSettingsLock, mZOAiAudioType, 0);
        stream->SetAudioIFEnable(0);
    }
    return answer;
}

void CKVAAudioPlayer::doSetAudioIF() {
    int32_t status = ReadStatus();
    if (!IsPlayingState(status)) return;
    {
        CKVAAutoLock lock(mDeviceLock);
        PauseTimeLocked(lock);
        if (mAudioDevice) mAudioDevice->Pause();
    }
    int64_t position = (status == kStatusStarted || status == kStatusPaused) ? GetCurrentPosition() : 0;
    int32_t answer = 0;
    std::string text;
    {
        CKVAAutoLock lock(mStreamLock);
        if (!mAudioStream) return;
        text = mAudioStream->getSessionIdText();
        answer = ApplyIFSettings(mAudioStream);
    }
    if (answer != 0) {
        {
            CKVAAutoLock lock(mDeviceLock);
            mTimeInfo->Resume();
            if (mAudioDevice && status == kStatusStarted) mAudioDevice->Play();
        }
        if (answer < 0) PostNotifyText(kNotifyAudioIFStatus, text, kAudioIFRefused, answer);
        return;
    }
    doDeviceOpen(position, true);
}

}  // namespace kva_audioplayer
