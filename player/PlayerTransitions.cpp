// Fades and track transitions: fade ends, switch, gapless preload and cross-fade.
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
        ApplyDeviceVolume(false);
    } else if (fade == kFadeStatusOut) {
        {
            CKVAAutoLock lock(mDeviceLock);
            if (mAudioDevice) mAudioDevice->Pause();
            mTimeInfo->Pause();
        }
        mAudioProcess->setFadeMode(kFadeNone);
        SetFadeStatus(kFadeStatusNone);
        // The fade left the device at silence; the next Play starts from the full volume.
        ApplyDeviceVolume(false);
    }
}

void CKVAAudioPlayer::doSetNextSource(int32_t mode) {
    IKVASourceIO* source;
    {
        CKVAAutoLock lock(mSettingsLock);
        source = mNextPendingSource;
        mNextPendingSource = nullptr;
    }
    {
        CKVAAutoLock lock(mNextStreamLock);
        delete mNextStream;
        mNextStream = nullptr;
        CKVAAutoLock sourceLock(mSourceLock);
        if (mNextActiveSource != source) delete mNextActiveSource;
        mNextActiveSource = source;
    }
    switch (mode) {
        case kNextModeSwitch: doSwitchSource(); break;
        case kNextModePreload: doSetContentWithSource(); break;
        case kNextModeCrossFade: doCrossFadeSource(); break;
        default: break;
    }
}

void CKVAAudioPlayer::doSwitchSource() {
    IKVASourceIO* source;
    {
        CKVAAutoLock lock(mNextStreamLock);
        CKVAAutoLock sourceLock(mSourceLock);
        source = mNextActiveSource;
        mNextActiveSource = nullptr;
    }
    {
        CKVAAutoLock lock(mStatusLock);
        mNextSourceState = kNextStateIdle;
    }
    if (!source) {
        PostNotify(kNotifyNextSource, kNextNoneToSwitch);
        return;
    }
    std::string text = source->GetSessionIdText() ? source->GetSessionIdText() : "";
    PostNotifyText(kNotifyNextSource, text, kNextSwitchingNow);
    SetSource(source, nullptr, true);
    PrepareAsync();
}

// Stream lock held by the caller; opens a stream on the next active source without buffering
// notifications. Null on failure (reported as 400 with 9).
CKVAAudioStream* CKVAAudioPlayer::OpenNextStream(const char* logFormat) {
    auto* stream = new CKVAAudioStream(this);
    int32_t r = stream->open(mNextActiveSource, true);
    if (r != 0) {
        int32_t err = stream->getLastError();
        delete stream;
        KVA_LOG(kLogError, logFormat, r);
        std::string text = mNextActiveSource && mNextActiveSource->GetSessionIdText()
                               ? mNextActiveSource->GetSessionIdText()
                               : "";
        int32_t code = r, detail = err;
        ClassifyError(&code, &detail);
        PostNotifyText(kNotifyNextSource, text, 9, code);
        return nullptr;
    }
    return stream;
}

void CKVAAudioPlayer::doSetContentWithSource() {
    int32_t status = ReadStatus();
    if (status == kStatusStopped) return;
    if (status == kStatusIdle || status == kStatusInitialized || status == kStatusCompleted ||
        status == kStatusError) {
        doSwitchSource();
        return;
    }
    std::string preloadedText;
    {
        CKVAAutoLock lock(mNextStreamLock);
        if (!mNextActiveSource) {
            PostNotify(kNotifyNextSource, kNextNoneToSwitch);
            return;
        }
        CKVAAudioStream* stream =
            OpenNextStream("CKVAAudioPlayer::doSetContentWithSource mAudioStream open prelaod error %d");
        if (!stream) {
            // The failed source goes; the current track plays on.
            CKVAAutoLock sourceLock(mSourceLock);
            delete mNextActiveSource;
            mNextActiveSource = nullptr;
            return;
        }
        stream->setOutputDescription(OutputDescription());
        stream->setCacheMax(mCacheMax);
        stream->setStepSize(mStepSize);
        stream->start();
        preloadedText = stream->getSessionIdText();
        mNextStream = stream;
        // Set before the pull can hand over, which sets the state back to idle.
        CKVAAutoLock statusLock(mStatusLock);
        mNextSourceState = kNextStatePreloaded;
    }
    std::string text;
    PostNotifyText(kNotifyNextSource, preloadedText, 4);

    if (ReadStatus() != kStatusCompleted) return;
    // The current track ended before the preload was ready: hand over at once.
    {
        CKVAAutoLock lock(mStreamLock);
        CKVAAutoLock nextLock(mNextStreamLock);
        if (!mNextStream) return;
        CKVAAudioStream* old = mAudioStream;
        mAudioStream = mNextStream;
        mNextStream = nullptr;
        ApplyStreamSettings(mAudioStream, true);
        {
            CKVAAutoLock sourceLock(mSourceLock);
            delete old;
            delete mActiveSource;
            mActiveSource = mNextActiveSource;
            mNextActiveSource = nullptr;
        }
        {
            CKVAAutoLock statusLock(mStatusLock);
            mNextSourceState = kNextStateIdle;
        }
        {
            CKVAAutoLock settings(mSettingsLock);
            mFirstAudio = 1;
        }
        mAudioProcess->onSongChanged();
        TakeOverStream();
        text = mAudioStream->getSessionIdText();
        PostNotifyText(kNotifyStreamChanged, text, mAudioStream->getSessionId());
        PostNotifyText(kNotifyDuration, text, static_cast<int32_t>(mAudioStream->getDuration()));
    }
    // Completed is not a status doPlay starts from; the new track is as good as prepared.
    SetStatus(kStatusPaused);
    PostCommandText(kCmdPlay, text, 0);
}

void CKVAAudioPlayer::doCrossFadeSource() {
    bool hasSource;
    {
        CKVAAutoLock lock(mNextStreamLock);
        hasSource = mNextActiveSource != nullptr;
    }
    int32_t status = ReadStatus();
    if (hasSource) KVA_LOG(kLogDetail, "CKVAAudioPlayer::doCrossFadeSource start status %d", status);
    if (!hasSource || status != kStatusStarted) {
        doSwitchSource();
        return;
    }
    CKVAAudioStream* stream;
    {
        CKVAAutoLock lock(mNextStreamLock);
        stream = OpenNextStream("CKVAAudioPlayer::doCrossFadeSource mAudioStream open prelaod error %d");
        if (!stream) {
            CKVAAutoLock sourceLock(mSourceLock);
            delete mNextActiveSource;
            mNextActiveSource = nullptr;
            return;
        }
    }
    AudioDescription src{};
    stream->getAudioDescription(&src);
    AudioDescription out = OutputDescription();
    // The stream converts its samples to the output's sample format itself, so only another rate
    // or channel count calls for the device to be opened again.
    const bool same = src.nSampleRate == out.nSampleRate && src.nChannel == out.nChannel;
    if (same) {
        KVA_LOG(kLogTrace,
                "CKVAAudioPlayer::doCrossFadeSource audioformat is same  nSamplerate %d, channel %d, wavFormat %d",
                out.nSampleRate, out.nChannel, WaveFormatOf(out));
        IKVASourceIO* nextSource;
        {
            CKVAAutoLock lock(mNextStreamLock);
            CKVAAutoLock sourceLock(mSourceLock);
            nextSource = mNextActiveSource;
            mNextActiveSource = nullptr;
        }
        {
            CKVAAutoLock lock(mStatusLock);
            mNextSourceState = kNextStateIdle;
        }
        double speed;
        {
            CKVAAutoLock lock(mSettingsLock);
            speed = mPlaySpeed;
        }
        std::string text;
        {
            CKVAAutoLock lock(mStreamLock);
            CKVAAudioStream* oldStream = mAudioStream;
            IKVASourceIO* oldSource;
            {
                CKVAAutoLock sourceLock(mSourceLock);
                oldSource = mActiveSource;
                mActiveSource = nextSource;
            }
            // What is left of the old track after the blocks already handed to the device.
            int64_t remaining = mDuration - mLastFillEndMs;
            int64_t lengthMs = std::min<int64_t>(mCrossFadeTime, std::max<int64_t>(remaining, 0));
            {
                CKVAAutoLock fill(mFillModeLock);
                if (mFadeOutStream) mFadeOutStream->stop();
                delete mFadeOutStream;
                delete mFadeOutSource;
                mFadeOutStream = oldStream;
                mFadeOutSource = oldSource;
                mFillMode = kFillCrossFade;
                mCrossFadeLength = lengthMs * out.nSampleRate / 1000;
                mCrossFadeProgress = 0;
                mCrossFadeStep = mCrossFadeLength > 0 ? 1.0f / static_cast<float>(mCrossFadeLength) : 0.0f;
                mCrossFadeEndPosted = false;
            }
            mAudioStream = stream;
            stream->setOutputDescription(out);
            stream->setCacheMax(mCacheMax);
            stream->setStepSize(mStepSize);
            stream->setSpeed(speed);
            stream->start();
            mAudioProcess->onSongChanged();
            TakeOverStream();
            {
                CKVAAutoLock settings(mSettingsLock);
                mFirstAudio = 1;
            }
            text = stream->getSessionIdText();
            PostNotifyText(kNotifyStreamChanged, text, stream->getSessionId());
            PostNotifyText(kNotifyNextSource, text, kNextSwitchingNow);
            PostNotifyText(kNotifyDuration, text, static_cast<int32_t>(stream->getDuration()));
        }
        ApplyDeviceVolume(false);
        return;
    }

    // Another format: the device re-opens for the new track; the old one is not mixed.
    doStop();
    SetStatus(kStatusPreparing);
    uint32_t sessionId = static_cast<uint32_t>(stream->getSessionId());
    int32_t r;
    {
        CKVAAutoLock lock(mDeviceLock);
        if (!mAudioDevice) {
            mAudioDevice = CreateDevice(mAudioDeviceType);
            if (mAudioDevice) {
                mAudioDevice->SetObserver(this);
                mAudioDevice->SetOptionB(mDeviceOptionB);
                mAudioDevice->SetOptionA(mDeviceOptionA);
            }
        }
        r = mAudioDevice ? mAudioDevice->Open(static_cast<int32_t>(sessionId), &src) : -1;
        KVA_LOG(kLogTrace, "CKVAAudioPlayer::doCrossFadeSource new mAudioDevices  Open %d", r);
        if (r == 0) {
            mStreamSessionId = sessionId;
            TakeDeviceFormatLocked();
        }
    }
    if (r != 0) {
        delete stream;
        CKVAAutoLock lock(mNextStreamLock);
        CKVAAutoLock sourceLock(mSourceLock);
        std::string text = mNextActiveSource && mNextActiveSource->GetSessionIdText()
                               ? mNextActiveSource->GetSessionIdText() : "";
        delete mNextActiveSource;
        mNextActiveSource = nullptr;
        PostNotifyText(kNotifyNextSource, text, 9, r);
        return;
    }
    AudioDescription newOut = OutputDescription();
    mAudioProcess->setAudioDescription(newOut);
    {
        CKVAAutoLock lock(mStreamLock);
        delete mAudioStream;
        mAudioStream = stream;
        {
            CKVAAutoLock nextLock(mNextStreamLock);
            CKVAAutoLock sourceLock(mSourceLock);
            delete mActiveSource;
            mActiveSource = mNextActiveSource;
            mNextActiveSource = nullptr;
        }
        {
            CKVAAutoLock statusLock(mStatusLock);
            mNextSourceState = kNextStateIdle;
        }
        ApplyStreamSettings(stream, true);
        stream->setCacheMax(mCacheMax);
        stream->setStepSize(mStepSize);
        stream->start();
        mAudioProcess->onSongChanged();
        TakeOverStream();
        std::string text = stream->getSessionIdText();
        PostNotifyText(kNotifyStreamChanged, text, stream->getSessionId());
        PostNotifyText(kNotifyNextSource, text, kNextSwitchingNow);
        PostNotifyText(kNotifyDuration, text, static_cast<int32_t>(stream->getDuration()));
    }
    mTimeInfo->Start();
    SetStatus(kStatusPrepared);
    doPlay(false);
}

void CKVAAudioPlayer::doResetFadeSource() {
    KVA_LOG(kLogDetail, "CKVAAudioPlayer::doResetFadeSource");
    CKVAAudioStream* stream = nullptr;
    IKVASourceIO* source = nullptr;
    {
        CKVAAutoLock lock(mFillModeLock);
        if (mFillMode == kFillNormal) return;
        stream = mFadeOutStream;
        source = mFadeOutSource;
        mFadeOutStream = nullptr;
        mFadeOutSource = nullptr;
        mFillMode = kFillNormal;
        mCrossFadeLength = 0;
        mCrossFadeProgress = 0;
    }
    if (stream) {
        stream->stop();
        stream->close();
        delete stream;
    }
    delete source;
}

}  // namespace kva_audioplayer
