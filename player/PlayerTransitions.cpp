// Fades and track transitions: fade ends, switch, gapless preload and cross-fade.
#include <utility>

#include "codec/CKVAAudioProcess.h"
#include "codec/KVAAudioStream.h"
#include "device/AudioDevice.h"
#include "player/CKVAAudioPlayer.h"
#include "player/CKVAAudioTimeInfo.h"
#include "player/ErrorText.h"

namespace kva_audioplayer {

void CKVAAudioPlayer::doFadeFinish(const ThreadMsgPtr& msg) {
    int32_t type = msg->mArg1;
    int32_t fade = ReadFadeStatus();
    KVA_LOG(kLogTrace, "CKVAAudioPlayer::doFadeFinish fadeType %d, status %d", type, fade);
    if (type != kFadeOut) {
        if (fade != kFadeStatusIn) return;
        mAudioProcess->setFadeMode(kFadeNone);
        SetFadeStatus(kFadeStatusNone);
        // The volume may still be short of full: it goes on rising at the fade's pace.
        mVolumeRamping = true;
        doUpdateVolume(kVolumeFill);
    } else if (fade == kFadeStatusOut) {
        if (mVolumeRamping) {
            // The chain is at silence, the device's volume not yet: pausing now would cut.
            PostCommandText(kCmdFadeFinish, msg->mText, type, 0, 5);
            return;
        }
        {
            CKVAAutoLock lock(mDeviceLock);
            if (mAudioDevice) mAudioDevice->Pause();
            PauseTimeLocked(lock);
        }
        mAudioProcess->setFadeMode(kFadeNone);
        SetFadeStatus(kFadeStatusNone);
        // The fade left the device at silence; the next Play starts from the full volume.
        ApplyDeviceVolume(false);
        mFadeVolume = DeviceVolume();
    }
}

void CKVAAudioPlayer::doSetNextSource(int32_t mode) {
    IKVASourceIO* source = ExchangeUnder(mSettingsLock, mNextPendingSource, nullptr);
    CKVAAudioStream* stale;
    {
        CKVAAutoLock lock(mNextStreamLock);
        stale = std::exchange(mNextStream, nullptr);
        mCrossFadeAtEnd = mode == kNextModeCrossFadeAtEnd;
    }
    IKVASourceIO* replaced = SwapNextSource(source);
    Dispose(stale, replaced);
    switch (mode) {
        case kNextModeSwitch: doSwitchSource(); break;
        case kNextModePreload:
        case kNextModeCrossFadeAtEnd: doSetContentWithSource(); break;
        case kNextModeCrossFade: doCrossFadeSource(); break;
        default: break;
    }
}

void CKVAAudioPlayer::doSwitchSource() {
    IKVASourceIO* source = SwapNextSource(nullptr);
    WriteUnder(mStatusLock, mNextSourceState, kNextStateIdle);
    if (!source) {
        PostNotify(kNotifyNextSource, kNextNoneToSwitch);
        return;
    }
    std::string text = source->GetSessionIdText() ? source->GetSessionIdText() : "";
    PostNotifyText(kNotifyNextSource, text, kNextSwitchingNow);
    SetSource(source, nullptr, true);
    PrepareAsync();
}

IKVASourceIO* CKVAAudioPlayer::NextActiveSource() {
    CKVAAutoLock lock(mNextStreamLock);
    return mNextActiveSource;
}

// Opens a stream on the next active source without buffering notifications, with no lock held:
// the pull, SetCacheMax and Stop never wait behind its reads. Only this thread replaces the next
// active source, so it stays valid meanwhile. Null on failure, reported as 400 with 9; the failed
// source goes and the current track plays on.
CKVAAudioStream* CKVAAudioPlayer::OpenNextStream(IKVASourceIO* source, const char* logFormat) {
    auto* stream = new CKVAAudioStream(this);
    int32_t r = stream->open(source, true);
    if (r == 0) {
        UpdateReplayGain(stream);
        return stream;
    }
    int32_t err = stream->getLastError();
    delete stream;
    KVA_LOG(kLogError, logFormat, r);
    std::string text = source->GetSessionIdText() ? source->GetSessionIdText() : "";
    int32_t code = r, detail = err;
    ClassifyError(&code, &detail);
    WriteUnder(mStatusLock, mNextOpenDetail, detail);
    PostNotifyText(kNotifyNextSource, text, 9, code);
    Dispose(nullptr, SwapNextSource(nullptr));
    return nullptr;
}

// A started next stream is handed on once it holds audio, has ended or has failed, so that a fade
// or a switch into it does not begin in silence. Bounded: a stalled source must not hold the
// command thread.
void CKVAAudioPlayer::WaitForFirstAudio(CKVAAudioStream* stream) {
    constexpr int64_t kWaitMs = 500;
    stream->waitForAudio(kWaitMs);
}

// The next active source becomes the active one. Returns the previous active source, for the
// caller to dispose of with no lock held.
IKVASourceIO* CKVAAudioPlayer::PromoteNextSource(const CKVAAutoLock&) {
    IKVASourceIO* old;
    {
        CKVAAutoLock lock(mNextStreamLock);
        CKVAAutoLock sourceLock(mSourceLock);
        old = std::exchange(mActiveSource, std::exchange(mNextActiveSource, nullptr));
    }
    CKVAAutoLock lock(mStatusLock);
    mNextSourceState = kNextStateIdle;
    return old;
}

// A newly chosen track replaces the queue: a next track preloaded or about to be is dropped,
// and the host told so as a failed next source (400, 9) that was cancelled.
void CKVAAudioPlayer::DropNextTrack() {
    CKVAAudioStream* stream = ExchangeUnder(mNextStreamLock, mNextStream, nullptr);
    IKVASourceIO* source = SwapNextSource(nullptr);
    if (!stream && !source) return;
    const std::string text = source && source->GetSessionIdText() ? source->GetSessionIdText() : "";
    {
        CKVAAutoLock lock(mStatusLock);
        mNextSourceState = kNextStateIdle;
        mNextOpenDetail = 0;
    }
    Dispose(stream, source);
    PostNotifyText(kNotifyNextSource, text, 9, kErrorCancelled);
}

void CKVAAudioPlayer::doSetContentWithSource() {
    int32_t status = ReadStatus();
    if (status == kStatusStopped) return;
    // Completed is kept: the preload then starts at once (below), as one that landed late does.
    if (status == kStatusIdle || status == kStatusInitialized || status == kStatusError) {
        doSwitchSource();
        return;
    }
    IKVASourceIO* source = NextActiveSource();
    if (!source) {
        PostNotify(kNotifyNextSource, kNextNoneToSwitch);
        return;
    }
    CKVAAudioStream* stream =
        OpenNextStream(source, "CKVAAudioPlayer::doSetContentWithSource mAudioStream open prelaod error %d");
    if (!stream) return;
    stream->setOutputDescription(OutputDescription());
    stream->setCacheMax(mCacheMax);
    stream->setStepSize(mStepSize);
    stream->start();
    WaitForFirstAudio(stream);
    const std::string preloadedText = stream->getSessionIdText();
    {
        CKVAAutoLock lock(mNextStreamLock);
        mNextStream = stream;
        // Set before the pull can hand over, which sets the state back to idle.
        CKVAAutoLock statusLock(mStatusLock);
        mNextSourceState = kNextStatePreloaded;
    }
    PostNotifyText(kNotifyNextSource, preloadedText, 4);

    if (ReadStatus() != kStatusCompleted) return;
    // The current track ended before the preload was ready: hand over at once.
    std::string text;
    CKVAAudioStream* old;
    IKVASourceIO* oldSource;
    {
        CKVAAutoLock lock(mStreamLock);
        {
            CKVAAutoLock nextLock(mNextStreamLock);
            if (!mNextStream) return;
            old = std::exchange(mAudioStream, std::exchange(mNextStream, nullptr));
        }
        ApplyStreamSettings(mAudioStream);
        oldSource = PromoteNextSource(lock);
        TakeOverStream(lock, kTakeOverAfterEnd);
        text = mAudioStream->getSessionIdText();
    }
    Dispose(old, oldSource);
    // Completed is not a status doPlay starts from; the new track is as good as prepared.
    SetStatus(kStatusPaused);
    PostCommandText(kCmdPlay, text, 0);
}

// Both streams convert what they decode to the output format, so the old track is mixed into
// the new one whatever their rates and channels.
void CKVAAudioPlayer::doCrossFadeSource() {
    IKVASourceIO* source = NextActiveSource();
    int32_t status = ReadStatus();
    if (source) KVA_LOG(kLogDetail, "CKVAAudioPlayer::doCrossFadeSource start status %d", status);
    if (!source || status != kStatusStarted) {
        doSwitchSource();
        return;
    }
    CKVAAudioStream* stream =
        OpenNextStream(source, "CKVAAudioPlayer::doCrossFadeSource mAudioStream open prelaod error %d");
    if (!stream) return;
    StartCrossFadeStream(stream);
    WaitForFirstAudio(stream);
    const FadeOut previous = CrossFadeInto(stream);
    Dispose(previous.stream, previous.source);
    ApplyDeviceVolume(false);
}

// The incoming track decodes to the output format at the current speed before it is current.
void CKVAAudioPlayer::StartCrossFadeStream(CKVAAudioStream* stream) {
    AudioDescription out = OutputDescription();
    KVA_LOG(kLogTrace, "CKVAAudioPlayer::doCrossFadeSource audioformat is same  nSamplerate %d, channel %d, wavFormat %d",
            out.nSampleRate, out.nChannel, WaveFormatOf(out));
    const double speed = ReadUnder(mSettingsLock, mPlaySpeed);
    stream->setOutputDescription(out);
    stream->setCacheMax(mCacheMax);
    stream->setStepSize(mStepSize);
    stream->setSpeed(speed);
    stream->start();
}

// `stream` becomes current and the old one fades out under it. Returns the fade-out it
// replaces, for the caller to dispose of with no lock held.
CKVAAudioPlayer::FadeOut CKVAAudioPlayer::CrossFadeInto(CKVAAudioStream* stream) {
    CKVAAutoLock lock(mStreamLock);
    CKVAAudioStream* oldStream = std::exchange(mAudioStream, stream);
    const int64_t duration = ReadUnder(mSettingsLock, mDuration);
    // What is left of the old track after the blocks already handed to the device.
    const int64_t remaining = duration - mLastFillEndMs;
    FadeOut previous = StartCrossFadeLocked(lock, oldStream, PromoteNextSource(lock),
                                            std::min<int64_t>(mCrossFadeTime, remaining));
    TakeOverStream(lock, kTakeOverCrossFade);
    return previous;
}

// The old track fades out over `lengthMs` (0 when negative) under the new current one. Returns
// the fade-out it replaces, for the caller to dispose of.
CKVAAudioPlayer::FadeOut CKVAAudioPlayer::StartCrossFadeLocked(const CKVAAutoLock&, CKVAAudioStream* old,
                                                               IKVASourceIO* oldSource, int64_t lengthMs) {
    const int32_t rate = OutputDescription().nSampleRate;
    CKVAAutoLock fill(mFillModeLock);
    FadeOut previous{std::exchange(mFadeOutStream, old), std::exchange(mFadeOutSource, oldSource)};
    mFillMode = kFillCrossFade;
    mCrossFadeLength = std::max<int64_t>(lengthMs, 0) * rate / 1000;
    mCrossFadeProgress = 0;
    mCrossFadeStep = mCrossFadeLength > 0 ? 1.0f / static_cast<float>(mCrossFadeLength) : 0.0f;
    mCrossFadeEndPosted = false;
    mCrossFadeNewMixed = false;
    return previous;
}

// With no lock held: the source is aborted so that the stream's decode thread, which the
// stream's destruction joins, does not wait in a read.
void CKVAAudioPlayer::Dispose(CKVAAudioStream* stream, IKVASourceIO* source) {
    if (source) source->Abort();
    if (stream) {
        stream->stop();
        stream->close();
        delete stream;
    }
    delete source;
}

void CKVAAudioPlayer::doResetFadeSource() {
    KVA_LOG(kLogDetail, "CKVAAudioPlayer::doResetFadeSource");
    FadeOut f{nullptr, nullptr};
    {
        CKVAAutoLock lock(mFillModeLock);
        if (mFillMode == kFillNormal) return;
        f = EndCrossFadeLocked(lock);
    }
    Dispose(f.stream, f.source);
}

CKVAAudioPlayer::FadeOut CKVAAudioPlayer::EndCrossFadeLocked(const CKVAAutoLock&) {
    mFillMode = kFillNormal;
    mCrossFadeLength = 0;
    mCrossFadeProgress = 0;
    return {std::exchange(mFadeOutStream, nullptr), std::exchange(mFadeOutSource, nullptr)};
}

}  // namespace kva_audioplayer
