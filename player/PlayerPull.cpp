// The render thread's pulls and the callbacks of the stream, the chain and the devices.
#include <algorithm>
#include <cstring>
#include <utility>

#include "codec/CKVAAudioProcess.h"
#include "codec/KVAAudioStream.h"
#include "device/AudioDevice.h"
#include "player/CKVAAudioPlayer.h"
#include "player/CKVAAudioTimeInfo.h"
#include "player/ReplayGain.h"

namespace kva_audioplayer {

// ---- stream and chain observers: they only post ----

void CKVAAudioPlayer::OnBufferingStart(const char* text, uint32_t id) {
    PostNotifyText(kNotifyBuffering, text ? text : "", kBufferingStart, static_cast<int32_t>(id));
}

void CKVAAudioPlayer::OnBufferingEnd(const char* text, uint32_t id) {
    std::string t = text ? text : "";
    PostNotifyText(kNotifyBuffering, t, kBufferingEnd, static_cast<int32_t>(id));
    const bool seekPending = ReadUnder(mSettingsLock, mSeekPending);
    if (seekPending) PostCommandText(kCmdSeekComplete, t);
}

void CKVAAudioPlayer::OnStreamEvent(int32_t id, const char* text, int32_t arg1, int32_t arg2) {
    PostNotifyText(id, text ? text : "", arg1, arg2);
}

void CKVAAudioPlayer::OnFadeFinish(const char* songId, int32_t fadeType) {
    PostCommandText(kCmdFadeFinish, songId ? songId : "", fadeType);
}

// ---- pulls ----

int32_t CKVAAudioPlayer::BufferFill(uint8_t* buffer, int32_t* length, int64_t* position, int64_t queuedMs) {
    if (!buffer || !length) return -kStreamIoError;
    const int32_t requested = *length;
    int32_t r;
    {
        CKVAAutoLock lock(mStreamLock);
        mFillQueuedMs = queuedMs;
        const int32_t mode = ReadUnder(mFillModeLock, mFillMode);
        r = mode == kFillCrossFade ? FillCrossFade(lock, buffer, length, position)
                                   : FillFromStream(lock, buffer, length, position);
        if (mode == kFillNormal && r == kStreamOk) CrossFadeAtEndLocked(lock);
    }
    int32_t n = *length;
    if (r == kAudioPlayerEOS || n >= 1) {
        uint32_t len = static_cast<uint32_t>(std::max(n, 0));
        int32_t endFlag = r == kAudioPlayerEOS ? 1 : 0;
        mAudioProcess->process(buffer, &len, position ? *position : -1,
                               static_cast<uint32_t>(std::max(requested, 0)), &endFlag);
        n = static_cast<int32_t>(len);
        *length = n;
    }
    if (mAudioProcess->getFadeMode() != kFadeNone) PostCommand(kCmdUpdateVolume);
    if (r == kStreamFormatChanged) {
        PostCommand(kCmdDeviceOpen, position ? static_cast<int32_t>(*position) : 0, 0);
    } else if (r == kAudioPlayerEOS && n == 0) {
        OnEndOfMedia("CKVAAudioPlayer::BufferFill kAudioPlayerEOS  offsetTime:%d");
    }
    return -r;
}

// Posts the completion once per end and keeps the finished track's played time.
void CKVAAudioPlayer::OnEndOfMedia(const char* logFormat) {
    if (ReadStatus() != kStatusCompleted) {
        const int32_t delay = mCompletionDelay;
        PostCommand(kCmdPlayCompleted, 0, 0, delay);
        KVA_LOG(kLogTrace, logFormat, delay);
    }
    FillCachedTrackTime();
}

int32_t CKVAAudioPlayer::FillFromStream(const CKVAAutoLock& streamLockHeld, uint8_t* buffer, int32_t* length,
                                        int64_t* position) {
    if (!mAudioStream) {
        *length = 0;
        return kAudioPlayerErrorState;
    }
    const int32_t requested = *length;
    const double speed = ReadUnder(mSettingsLock, mPlaySpeed);
    int32_t ask = requested;
    if (speed > 0.0 && speed < 1.0) {
        // Ask only for the input the time-stretch turns into the requested output.
        AudioDescription des = OutputDescription();
        int32_t frame = des.nBitsPerSample / 8 * des.nChannel;
        if (frame == 0) frame = des.nChannel * 4;
        if (frame == 0) frame = 8;
        ask = std::max(static_cast<int32_t>((requested / frame) * speed) * frame, 0);
    }
    *length = ask;
    int32_t r = mAudioStream->bufferFill(buffer, length, position);
    if (r == kStreamOk || r == kAudioPlayerEOS) ApplyMixGain(mAudioStream, buffer, *length);
    if (r == kStreamOk) {
        if (*length >= 1) {
            const int32_t first = ExchangeUnder(mSettingsLock, mFirstAudio, 0);
            if (first) PostNotifyText(kNotifyFirstAudio, mAudioStream->getSessionIdText(), first);
        }
    } else if (r == kAudioPlayerEOS) {
        int32_t delivered = *length;
        if (SwitchToNextStream(streamLockHeld)) {
            if (delivered == 0) {
                *length = requested;
                r = mAudioStream->bufferFill(buffer, length, position);
                if (r == kStreamOk || r == kAudioPlayerEOS) ApplyMixGain(mAudioStream, buffer, *length);
            } else {
                r = kStreamOk;
            }
        }
    }
    if (r == kStreamNoData || r == kStreamFormatChanged || r == kStreamCancelled) return r;
    if (r != kStreamOk && r != kAudioPlayerEOS) {
        if (SetStatus(kStatusError) == kStatusError) return r;
        int32_t err = mAudioStream->getLastError();
        std::string text = mAudioStream->getSessionIdText();
        PostNotifyText(kNotifyError, text, r, err);
        PostNotifyText(kNotifyStatus, text, kStatusError, kAudioPlayerErrorState);
        return r;
    }
    if (r == kStreamOk && position && mTimeInfo) {
        mTimeInfo->OnFill(*position, mFillQueuedMs);
        AudioDescription des = OutputDescription();
        const int64_t perSecond = int64_t(des.nBitsPerSample / 8) * des.nChannel * des.nSampleRate;
        if (perSecond > 0) mLastFillEndMs = *position + int64_t(*length) * 1000 / perSecond;
    }
    return r;
}

// The stream's ReplayGain on what it just delivered.
void CKVAAudioPlayer::ApplyMixGain(CKVAAudioStream* stream, uint8_t* buffer, int32_t length) {
    const float gain = stream->mixGain();
    if (gain != 1.0f) ApplyGain(buffer, length, OutputDescription(), gain);
}

// The preloaded next stream takes over without a gap; false without one.
bool CKVAAudioPlayer::SwitchToNextStream(const CKVAAutoLock& streamLockHeld) {
    CKVAAutoLock nextLock(mNextStreamLock);
    if (!mNextStream) return false;
    CKVAAudioStream* old = mAudioStream;
    mAudioStream = mNextStream;
    mNextStream = nullptr;
    ApplyStreamSettings(mAudioStream);
    Retire(old, PromoteNextSource(streamLockHeld));
    FillCachedTrackTime();
    TakeOverStream(streamLockHeld, kTakeOverGapless);
    return true;
}

// For the command thread to destroy: destroying a stream joins its decode thread, and a source
// may call the host's release function, neither of which the render thread may wait for.
void CKVAAudioPlayer::Retire(CKVAAudioStream* stream, IKVASourceIO* source) {
    if (!stream && !source) return;
    if (stream) stream->abort();
    {
        CKVAAutoLock sourceLock(mSourceLock);
        if (mRetired.size() < mRetired.capacity()) {
            mRetired.push_back({stream, source});
            stream = nullptr;
            source = nullptr;
        }
    }
    if (stream || source) Dispose(stream, source);  // only when switches outran the command thread
    PostCommand(kCmdRetire);
}

// The new current stream in place: its gain, text and duration become the
// player's, the chain and the bookkeeping start a new song, and the host hears 1000, 400 (1)
// unless the track follows an end already reported, 5 at once after a gapless switch (else with
// its first audio), and 7.
void CKVAAudioPlayer::TakeOverStream(const CKVAAutoLock&, TakeOver how) {
    mAudioProcess->onSongChanged();
    const std::string text = mAudioStream->getSessionIdText();
    const int32_t id = mAudioStream->getSessionId();
    const double gain = mAudioStream->getRatio();
    const int64_t duration = mAudioStream->getDuration();
    {
        CKVAAutoLock lock(mSettingsLock);
        mStreamGain = gain;
        mDuration = duration;
        mCurrentSessionText = text;
        if (how != kTakeOverGapless) mFirstAudio = 1;
    }
    mAudioProcess->setSongId(text.c_str());
    RestartPositionAt(0);
    PostNotifyText(kNotifyStreamChanged, text, id);
    if (how != kTakeOverAfterEnd) PostNotifyText(kNotifyNextSource, text, kNextSwitchingNow);
    if (how == kTakeOverGapless) PostNotifyText(kNotifyFirstAudio, text, id);
    PostNotifyText(kNotifyDuration, text, static_cast<int32_t>(duration));
}

int32_t CKVAAudioPlayer::FillCrossFade(const CKVAAutoLock& streamLockHeld, uint8_t* buffer, int32_t* length,
                                       int64_t* position) {
    const int32_t requested = *length;
    int32_t r = FillFromStream(streamLockHeld, buffer, length, position);
    if (r != kStreamOk && r != kAudioPlayerEOS && r != kStreamNoData) return r;
    // Both lengths stay inside the device's buffer, whatever a stream answers.
    const int32_t room = std::max(requested, 0);
    int32_t n = (r == kStreamNoData) ? 0 : std::clamp(*length, 0, room);
    CKVAAutoLock lock(mFillModeLock);
    if (n > 0) mCrossFadeNewMixed = true;
    // The new track ran dry in the middle of its fade: both wait for it, as a single track
    // waits for its decoder, so that neither loses a frame and the mix stays the linear one.
    if (r == kStreamNoData && mCrossFadeNewMixed && mFadeOutStream) {
        *length = 0;
        return r;
    }
    if (mScratch.size() < static_cast<size_t>(room) * 2) mScratch.assign(static_cast<size_t>(room) * 2, 0);
    std::memset(mScratch.data(), 0, mScratch.size());
    int32_t m = 0;
    if (mFadeOutStream) {
        int64_t ignored = -1;
        m = n > 0 ? n : room;
        int32_t rr = n > 0 ? mFadeOutStream->bufferFillFull(mScratch.data(), &m, &ignored)
                           : mFadeOutStream->bufferFill(mScratch.data(), &m, &ignored);
        if (rr != kStreamOk && rr != kAudioPlayerEOS) m = 0;
        m = std::clamp(m, 0, room);
        ApplyMixGain(mFadeOutStream, mScratch.data(), m);
    }
    if (n < m) std::memset(buffer + n, 0, m - n);
    MixCrossFade(buffer, n, mScratch.data(), m);
    *length = std::max(n, m);
    if (*length > 0 && r == kStreamNoData) r = kStreamOk;
    return r;
}

namespace {

// Float samples mix in double and are stored as float.
inline float MixSample(float in, float old, float g) {
    return static_cast<float>(static_cast<double>(g) * in + (1.0 - g) * old);
}
// 16-bit samples: the new one scaled in float, the old in double, truncated and saturated.
inline int16_t MixSample(int16_t in, int16_t old, float g) {
    const double v = static_cast<double>(in * g) + old * (1.0 - g);
    return static_cast<int16_t>(std::clamp<int64_t>(static_cast<int64_t>(v), -32768, 32767));
}
// 32-bit samples in double, truncated; a mix of two in-range samples stays in range.
inline int32_t MixSample(int32_t in, int32_t old, float g) {
    return static_cast<int32_t>(static_cast<double>(in) * g + old * (1.0 - g));
}

// Mixes `frames` frames in place, the gain rising by `step` a frame from `g`, capped at 1.
template <typename T>
void MixFrames(uint8_t* out, const uint8_t* old, int64_t frames, int32_t channels, float g, float step) {
    T* o = reinterpret_cast<T*>(out);
    const T* f = reinterpret_cast<const T*>(old);
    for (int64_t i = 0; i < frames; ++i, g += step) {
        g = std::min(g, 1.0f);
        for (int64_t k = i * channels; k < (i + 1) * channels; ++k) o[k] = MixSample(o[k], f[k], g);
    }
}

}  // namespace

void CKVAAudioPlayer::MixCrossFade(uint8_t* out, int32_t n, const uint8_t* old, int32_t m) {
    if (mCrossFadeLength == 0) {
        // Nothing of the old track was left to mix: it goes at once.
        if (!mCrossFadeEndPosted) {
            mCrossFadeEndPosted = true;
            PostCommand(kCmdResetFadeSource);
        }
        return;
    }
    const int32_t bytes = std::max(n, m);
    // Fill-mode lock held: mOutDes is stable here.
    const int32_t channels = std::max(mOutDes.nChannel, 1);
    const float g = static_cast<float>(mCrossFadeProgress) * mCrossFadeStep;
    int64_t frames;
    switch (mOutDes.nSampleFormat) {
        case kSampleFormatFlt:
            frames = bytes / 4 / channels;
            MixFrames<float>(out, old, frames, channels, g, mCrossFadeStep);
            break;
        case kSampleFormatS16:
            frames = bytes / 2 / channels;
            MixFrames<int16_t>(out, old, frames, channels, g, mCrossFadeStep);
            break;
        case kSampleFormatS32:
            frames = bytes / 4 / channels;
            MixFrames<int32_t>(out, old, frames, channels, g, mCrossFadeStep);
            break;
        default:
            // 8-bit output is not mixed: the old track goes at once rather than never.
            frames = mCrossFadeLength + 1;
            break;
    }
    mCrossFadeProgress += frames;
    if (mCrossFadeProgress > mCrossFadeLength && !mCrossFadeEndPosted) {
        mCrossFadeEndPosted = true;
        PostCommand(kCmdResetFadeSource);
    }
}

int32_t CKVAAudioPlayer::FrameFill(AudioFrame* frame) {
    if (!frame) return -kStreamNoStream;
    int32_t r;
    {
        CKVAAutoLock lock(mStreamLock);
        if (!mAudioStream) return -kStreamNoStream;
        r = mAudioStream->frameFill(frame);
    }
    if (ReadFadeStatus() != kFadeStatusNone) {
        mAudioProcess->advanceFade(static_cast<uint32_t>(std::max(frame->nLen, 0)));
        PostCommand(kCmdUpdateVolume);
    }
    switch (r) {
        case kStreamOk:
            mTimeInfo->OnFill(frame->nTimestamp);
            return 0;
        case kStreamFormatChanged:
            PostCommand(kCmdDeviceOpen, static_cast<int32_t>(frame->nTimestamp), 0);
            return -r;
        case kAudioPlayerEOS:
            if (frame->nLen != 0) return -r;
            OnEndOfMedia("CKVAAudioPlayer::FrameFill kAudioPlayerEOS  offsetTime:%d");
            return -r;
        case kStreamNoData:
        case kStreamCancelled:
            return -r;
        default:
            break;
    }
    if (SetStatus(kStatusError) == kStatusError) return -r;
    int32_t err;
    std::string text;
    {
        CKVAAutoLock lock(mStreamLock);
        err = mAudioStream ? mAudioStream->getLastError() : 0;
        text = mAudioStream ? mAudioStream->getSessionIdText() : CurrentSessionText();
    }
    KVA_LOG(kLogTrace, "CKVAAudioPlayer::FrameFill error  statusCode:%d", err);
    PostNotifyText(kNotifyError, text, r, err);
    PostNotifyText(kNotifyStatus, text, kStatusError, kAudioPlayerErrorState);
    return -r;
}

}  // namespace kva_audioplayer
