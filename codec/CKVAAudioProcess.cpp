#include "codec/CKVAAudioProcess.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "codec/FilterLibrary.h"
#include "codec/TempoProcessor.h"
#include "support/Log.h"

namespace kva_audioplayer {

namespace {

constexpr int32_t kTempoBlockFrames = 2048;
constexpr int64_t kMinFadeMs = 200;
constexpr int64_t kMaxFadeMs = 20000;
constexpr size_t kSongIdCopy = 256;
constexpr double kMinSpeed = 0.5;
constexpr double kMaxSpeed = 100.0;
// Closer to 1.0 than this plays at 1.0, without the stretch.
constexpr double kNearOne = 0.0001;

double StretchTempo(double speed) { return std::fabs(speed - 1.0) < kNearOne ? 1.0 : speed; }

// Effect/tempo code, listener code and bytes per sample for the packed formats; false otherwise.
bool FormatCodes(int32_t sampleFormat, int32_t* effect, int32_t* listener, int32_t* bytes) {
    static const int32_t kTable[5][3] = {{0, 0, 1}, {1, 1, 2}, {2, 3, 4}, {3, 4, 4}, {4, 5, 8}};
    if (sampleFormat < 0 || sampleFormat > 4) return false;
    *effect = kTable[sampleFormat][0];
    *listener = kTable[sampleFormat][1];
    *bytes = kTable[sampleFormat][2];
    return true;
}

bool SameSong(const std::string& id, const char* songId) {
    return songId != nullptr && id == songId;
}

}  // namespace

CKVAAudioProcess::CKVAAudioProcess(IKVAProcessObserver* observer) : mObserver(observer) {
    mEffectLock.Init();
    mListenerLock.Init();
    mTempoLock.Init();
    mFadeLock.Init();
    mTimeLock.Init();
    mFormatLock.Init();
    std::memset(&mDes, 0, sizeof(mDes));
}

CKVAAudioProcess::~CKVAAudioProcess() {
    CKVAAutoLock lock(mTempoLock);
    DestroyTempo();
}

void CKVAAudioProcess::DestroyTempo() {
    delete mTempo;
    mTempo = nullptr;
}

CKVAAudioProcess::Format CKVAAudioProcess::ReadFormat() {
    CKVAAutoLock lock(mFormatLock);
    return Format{mDes.nSampleRate, mDes.nChannel, mBytesPerSample};
}

int64_t CKVAAudioProcess::BytesToMs(int64_t bytes, const Format& f) const {
    int64_t perSecond = static_cast<int64_t>(f.nRate) * f.nChannels * f.nBytesPerSample;
    return perSecond > 0 ? bytes * 1000 / perSecond : 0;
}

void CKVAAudioProcess::setSongId(const char* songId) {
    CKVAAutoLock lock(mTimeLock);
    mSongId = songId ? songId : "";
    mSourceBytes = 0;
    mOutputBytes = 0;
}

void CKVAAudioProcess::ResetSequence(bool logHooks) {
    {
        CKVAAutoLock lock(mTempoLock);
        if (mTempo) mTempo->Clear();
    }
    {
        CKVAAutoLock lock(mEffectLock);
        if (mAudioEffect) {
            mAudioEffect->Reset();
            if (logHooks) KVA_LOG(kLogDetail, "CKVAAudioProcess::Reset mAudioEffect Reset");
        }
    }
    {
        CKVAAutoLock lock(mListenerLock);
        if (mAudioListener) {
            mAudioListener->Reset();
            if (logHooks) KVA_LOG(kLogDetail, "CKVAAudioProcess::close mAudioListener Reset");
        }
    }
    int32_t finished;
    {
        CKVAAutoLock lock(mFadeLock);
        mFadePosition = -1;
        finished = mFadeMode;
        mFadeMode = kFadeNone;
    }
    // Reported outside the fade lock: the observer may query the chain.
    if (finished != kFadeNone) ReportFadeFinish(finished);
}

void CKVAAudioProcess::close() { ResetSequence(true); }

void CKVAAudioProcess::Reset() {
    KVA_LOG(kLogDetail, "CKVAAudioProcess::Reset()");
    ResetSequence(false);
}

int32_t CKVAAudioProcess::FadeStep(int64_t frames) {
    CKVAAutoLock lock(mFadeLock);
    if (mFadeMode == kFadeOut) {
        if (mFadePosition != 0) {
            mFadePosition = std::max<int64_t>(mFadePosition - frames, 0);
        } else {
            return kFadeOut;
        }
    } else if (mFadeMode == kFadeIn) {
        if (mFadePosition < mFadeLength) {
            mFadePosition = std::min(mFadePosition + frames, mFadeLength);
        } else {
            return kFadeIn;
        }
    }
    return kFadeNone;
}

void CKVAAudioProcess::ReportFadeFinish(int32_t mode) {
    if (!mObserver) return;
    // A bounded copy keeps the render thread free of allocation; ids are short session texts.
    char songId[kSongIdCopy];
    {
        CKVAAutoLock lock(mTimeLock);
        size_t n = std::min(mSongId.size(), kSongIdCopy - 1);
        std::memcpy(songId, mSongId.data(), n);
        songId[n] = '\0';
    }
    mObserver->OnFadeFinish(songId, mode);
}

void CKVAAudioProcess::advanceFade(uint32_t bytes) {
    Format f = ReadFormat();
    int64_t frameBytes = static_cast<int64_t>(f.nBytesPerSample) * f.nChannels;
    int64_t frames = frameBytes > 0 ? bytes / frameBytes : 0;
    int32_t finished = FadeStep(frames);
    if (finished != kFadeNone) ReportFadeFinish(finished);
}

int32_t CKVAAudioProcess::process(uint8_t* buf, uint32_t* len, int64_t position, uint32_t capacity,
                                  int32_t* endFlag) {
    if (!len) return 0;
    const Format f = ReadFormat();
    const int64_t frameBytes = static_cast<int64_t>(f.nBytesPerSample) * f.nChannels;
    const int64_t frames = frameBytes > 0 ? *len / frameBytes : 0;
    const bool incomingEnd = endFlag && *endFlag != 0;

    // 1. fade
    int32_t finished = FadeStep(frames);
    if (finished != kFadeNone) ReportFadeFinish(finished);

    uint32_t length = *len;
    uint8_t end = incomingEnd ? 1 : 0;

    // 2. effect
    {
        CKVAAutoLock lock(mEffectLock);
        if (mAudioEffect && mEffectReady && buf) {
            mAudioEffect->Put(buf, length, static_cast<uint32_t>(position));
            uint32_t n = capacity;
            mAudioEffect->Get(buf, &n, &end);
            length = n;
        }
    }

    // 3. source time
    {
        CKVAAutoLock lock(mTimeLock);
        if (!incomingEnd && f.nRate > 0) mEndPosition = frames * 1000 / f.nRate + position;
        mSourceBytes += length;
    }

    // 4. tempo
    {
        CKVAAutoLock lock(mTempoLock);
        if (mTempo && frameBytes > 0 && buf) {
            // At 1.0 blocks bypass the stretch only once it has let out all it held.
            if (!(std::fabs(mSpeed - 1.0) < kNearOne && mTempo->Idle())) {
                mTempo->PutSamples(buf, static_cast<int32_t>(length / frameBytes));
                if (mTempo->AvailableFrames() != 0) {
                    int32_t m = static_cast<int32_t>(capacity / frameBytes);
                    mTempo->ReceiveSamples(buf, &m);
                    length = static_cast<uint32_t>(m * frameBytes);
                } else {
                    length = 0;
                }
            }
        }
    }

    // 5. output time
    {
        CKVAAutoLock lock(mTimeLock);
        mOutputBytes += length;
    }

    // 6. listener
    {
        CKVAAutoLock lock(mListenerLock);
        if (mAudioListener) mAudioListener->OnPCM(&buf, length, static_cast<uint32_t>(position), end != 0);
    }

    if (endFlag) *endFlag = end;
    *len = length;
    return 0;
}

void CKVAAudioProcess::getAudioDescription(AudioDescription* out) {
    if (!out) return;
    CKVAAutoLock lock(mFormatLock);
    *out = mDes;
}

void CKVAAudioProcess::setAudioDescription(const AudioDescription& des) {
    bool changed;
    int32_t effectCode, listenerCode, bytes;
    {
        CKVAAutoLock lock(mFormatLock);
        changed = des.nChannel != mDes.nChannel || des.nSampleFormat != mDes.nSampleFormat ||
                  des.nSampleRate != mDes.nSampleRate || des.nChannelLayout != mDes.nChannelLayout;
        if (changed) {
            mDes = des;
            int32_t e, l, b;
            if (FormatCodes(des.nSampleFormat, &e, &l, &b)) {
                mEffectFormat = e;
                mListenerFormat = l;
                mBytesPerSample = b;
            }
        }
        effectCode = mEffectFormat;
        listenerCode = mListenerFormat;
        bytes = mBytesPerSample;
    }
    const int32_t rate = des.nSampleRate;
    const int32_t channels = des.nChannel;
    const int32_t blockBytes = bytes * channels * kTempoBlockFrames;

    if (changed) {
        CKVAAutoLock lock(mTempoLock);
        DestroyTempo();
        mTempo = CreateTempoProcessor();
        if (mTempo) {
            int32_t ok = mTempo->Init(effectCode, rate, channels, blockBytes);
            if (ok) {
                mTempo->SetTempo(StretchTempo(mSpeed));
            } else {
                DestroyTempo();
                KVA_LOG(kLogTrace, "CKVAAudioProcess::setAudioDescription  mTempo Init error %d", ok);
            }
        }
    }
    {
        CKVAAutoLock lock(mEffectLock);
        if (mAudioEffect && (changed || !mEffectReady)) {
            bool ok = mAudioEffect->Init(effectCode, channels, rate, blockBytes);
            KVA_LOG(kLogTrace,
                    changed ? "CKVAAudioProcess::setAudioDescription  mAudioEffect Init %d, %d, %d, %d, %d"
                            : "CKVAAudioProcess::setAudioDescription same mAudioEffect Init %d, %d, %d, %d, %d",
                    ok ? 1 : 0, effectCode, channels, rate, blockBytes);
            mEffectReady = ok;
        }
    }
    {
        CKVAAutoLock lock(mListenerLock);
        if (mAudioListener && (changed || !mListenerReady)) {
            bool ok = mAudioListener->SetPCMFormat(listenerCode, rate, channels);
            KVA_LOG(kLogTrace,
                    changed ? "CKVAAudioProcess::setAudioDescription  mAudioListener SetPCMFormat bErr %d, %d, %d, %d"
                            : "CKVAAudioProcess::setAudioDescription same mAudioListener SetPCMFormat bErr %d, %d, %d, %d",
                    ok ? 1 : 0, listenerCode, rate, channels);
            mListenerReady = ok;
        }
    }
}

void CKVAAudioProcess::SetAudioEffect(IKVAAudioEffect* effect) {
    CKVAAutoLock lock(mEffectLock);
    mAudioEffect = effect;
    mEffectReady = false;
    KVA_LOG(kLogTrace, "CKVAAudioProcess::SetAudioEffect  audio_effect %p", static_cast<void*>(effect));
}

void CKVAAudioProcess::SetAudioListener(IKVAAudioListener* listener) {
    CKVAAutoLock lock(mListenerLock);
    mAudioListener = listener;
    KVA_LOG(kLogDetail, "CKVAAudioProcess::SetAudioListener  mAudioListener %p",
            static_cast<void*>(listener));
}

bool CKVAAudioProcess::SetPlaySpeed(double speed) {
    KVA_LOG(kLogDetail, "CKVAAudioProcess::SetPlaySpeed  speed %f", speed);
    // A speed the time-stretch cannot run would leave the audio at the old speed while the
    // position bookkeeping took the new one.
    if (!(speed >= kMinSpeed && speed <= kMaxSpeed)) return false;
    // The stretch's library is loaded, and its graph built, here on the caller's thread rather
    // than by the render thread.
    if (StretchTempo(speed) != 1.0 && !LoadFilterLibrary()) return false;
    int32_t code, rate, channels;
    {
        CKVAAutoLock lock(mFormatLock);
        code = mEffectFormat;
        rate = mDes.nSampleRate;
        channels = mDes.nChannel;
    }
    CKVAAutoLock lock(mTempoLock);
    mSpeed = speed;
    // Without a format yet the speed is applied when the format arrives.
    if (rate <= 0) return true;
    if (!mTempo) {
        mTempo = CreateTempoProcessor();
        if (mTempo && !mTempo->Init(code, rate, channels, kTempoBlockFrames)) DestroyTempo();
    }
    return mTempo != nullptr && mTempo->SetTempo(StretchTempo(speed));
}

void CKVAAudioProcess::setFadeTime(int64_t ms) {
    if (ms < kMinFadeMs || ms >= kMaxFadeMs) return;
    CKVAAutoLock lock(mFadeLock);
    mFadeTime = ms;
}

void CKVAAudioProcess::setFadeMode(int32_t mode) {
    const int32_t rate = ReadFormat().nRate;
    CKVAAutoLock lock(mFadeLock);
    if (mode == kFadeNone) {
        mFadePosition = -1;
        mFadeMode = kFadeNone;
        return;
    }
    const int64_t length = static_cast<int64_t>(rate) * mFadeTime / 1000;
    if (mFadePosition == -1) {
        mFadePosition = mode == kFadeOut ? length : 0;
    } else if (length != mFadeLength) {
        // A reversed fade keeps the gain it reached even when the length changed meanwhile.
        mFadePosition = mFadeLength > 0 ? mFadePosition * length / mFadeLength : 0;
        mFadePosition = std::min(std::max<int64_t>(mFadePosition, 0), length);
    }
    mFadeLength = length;
    mFadeMode = mode;
}

int32_t CKVAAudioProcess::getFadeMode() {
    CKVAAutoLock lock(mFadeLock);
    return mFadeMode;
}

float CKVAAudioProcess::getFadeGain() {
    CKVAAutoLock lock(mFadeLock);
    if (mFadePosition < 0) return 1.0f;  // no fade set up: full level
    if (mFadeLength <= 0) return mFadeMode == kFadeOut ? 0.0f : 1.0f;
    return static_cast<float>(mFadePosition) / static_cast<float>(mFadeLength);
}

int64_t CKVAAudioProcess::getFadePosition() {
    CKVAAutoLock lock(mFadeLock);
    return mFadePosition;
}

float CKVAAudioProcess::getFadeShare(int64_t ms) {
    const int32_t rate = ReadFormat().nRate;
    CKVAAutoLock lock(mFadeLock);
    if (mFadeLength <= 0) return 1.0f;
    return static_cast<float>(static_cast<double>(rate) * ms / 1000.0 / mFadeLength);
}

int64_t CKVAAudioProcess::getFadeLength() {
    CKVAAutoLock lock(mFadeLock);
    return mFadeLength;
}

double CKVAAudioProcess::getPlaySpeed() {
    CKVAAutoLock lock(mTempoLock);
    return mSpeed;
}

bool CKVAAudioProcess::hasTempo() {
    CKVAAutoLock lock(mTempoLock);
    return mTempo != nullptr;
}

int64_t CKVAAudioProcess::getEndPosition(const char* songId) {
    CKVAAutoLock lock(mTimeLock);
    int64_t result = 0;
    // Like the other per-song queries: the previous song answers from the snapshot taken when
    // it ended, the current one live; the current song wins when both ids are equal.
    if (SameSong(mPrevSongId, songId)) result = mSnapEndPosition;
    if (SameSong(mSongId, songId)) result = mEndPosition;
    return result;
}

int64_t CKVAAudioProcess::getOutputTime(const char* songId) {
    const Format f = ReadFormat();
    CKVAAutoLock lock(mTimeLock);
    int64_t result = 0;
    if (SameSong(mPrevSongId, songId)) result = mSnapOutputMs;
    if (SameSong(mSongId, songId)) result = BytesToMs(mOutputBytes, f);
    return result;
}

int64_t CKVAAudioProcess::getSourceTime(const char* songId) {
    const Format f = ReadFormat();
    CKVAAutoLock lock(mTimeLock);
    int64_t result = 0;
    if (SameSong(mPrevSongId, songId)) result = mSnapSourceMs;
    if (SameSong(mSongId, songId)) result = BytesToMs(mSourceBytes, f);
    return result;
}

int64_t CKVAAudioProcess::getSnapshotEndPosition() {
    CKVAAutoLock lock(mTimeLock);
    return mSnapEndPosition;
}

int64_t CKVAAudioProcess::getOutputMs() {
    const Format f = ReadFormat();
    CKVAAutoLock lock(mTimeLock);
    return BytesToMs(mOutputBytes, f);
}

int64_t CKVAAudioProcess::getSourceMs() {
    const Format f = ReadFormat();
    CKVAAutoLock lock(mTimeLock);
    return BytesToMs(mSourceBytes, f);
}

void CKVAAudioProcess::onSongChanged() {
    const Format f = ReadFormat();
    CKVAAutoLock lock(mTimeLock);
    mPrevSongId = mSongId;
    mSnapOutputMs = BytesToMs(mOutputBytes, f);
    mSnapSourceMs = BytesToMs(mSourceBytes, f);
    mSnapEndPosition = mEndPosition;
}

void CKVAAudioProcess::fillPlayInfo(KVACachedTrackTime* out) {
    if (!out) return;
    const Format f = ReadFormat();
    CKVAAutoLock lock(mTimeLock);
    out->bValid = true;
    out->strSongId = mSongId;
    out->nPlayedTime = BytesToMs(mOutputBytes, f);
    // The record is filled as the track ends, before the snapshot is taken: its end is live.
    out->nEndTime = mEndPosition;
    out->nPlayedTimeWithSpeed = BytesToMs(mSourceBytes, f);
}

}  // namespace kva_audioplayer
