// The output-time processing chain: host effect, time-stretch and host listener, the start/pause
// fade position, and the per-song byte counters behind the played-time queries.
#pragma once

#include <cstdint>
#include <string>

#include "KvaAudioPlayer.h"
#include "support/AudioTypes.h"
#include "codec/KVACachedTrackTime.h"
#include "codec/ProcessObserver.h"
#include "support/KVASync.h"

namespace kva_audioplayer {

class TempoProcessor;

class CKVAAudioProcess {
public:
    explicit CKVAAudioProcess(IKVAProcessObserver* observer);
    virtual ~CKVAAudioProcess();

    virtual void setSongId(const char* songId);
    virtual void close();
    // buf: len bytes of PCM in the output format, room for capacity bytes; the chain may change
    // both. endFlag: in, the block is the last of the media; out, as the stages left it.
    virtual int32_t process(uint8_t* buf, uint32_t* len, int64_t position, uint32_t capacity,
                            int32_t* endFlag);
    virtual void advanceFade(uint32_t bytes);
    virtual void getAudioDescription(AudioDescription* out);
    virtual void setAudioDescription(const AudioDescription& des);
    virtual void SetAudioEffect(IKVAAudioEffect* effect);
    virtual void SetAudioListener(IKVAAudioListener* listener);
    virtual bool SetPlaySpeed(double speed);
    virtual void setFadeTime(int64_t ms);
    virtual int64_t getEndPosition(const char* songId);
    virtual int64_t getOutputTime(const char* songId);
    virtual int64_t getSourceTime(const char* songId);
    virtual int64_t getSnapshotEndPosition();
    virtual int64_t getOutputMs();
    virtual int64_t getSourceMs();
    virtual void Reset();
    virtual void setFadeMode(int32_t mode);
    virtual int32_t getFadeMode();
    virtual float getFadeGain();
    virtual void onSongChanged();
    virtual void fillPlayInfo(KVACachedTrackTime* out);

    // Introspection for the player and tests.
    double getPlaySpeed();
    bool hasTempo();
    int64_t getFadePosition();
    int64_t getFadeLength();
    // The share of the whole fade that `ms` of sound covers.
    float getFadeShare(int64_t ms);

    CKVAAudioProcess(const CKVAAudioProcess&) = delete;
    CKVAAudioProcess& operator=(const CKVAAudioProcess&) = delete;

private:
    struct Format {
        int32_t nRate;
        int32_t nChannels;
        int32_t nBytesPerSample;
    };
    Format ReadFormat();
    void ResetSequence(bool logHooks);
    // One fade step of frames; returns the mode whose completion must be reported, or 0.
    int32_t FadeStep(int64_t frames);
    void ReportFadeFinish(int32_t mode);
    int64_t BytesToMs(int64_t bytes, const Format& f) const;
    void DestroyTempo();

    CKVACritical mEffectLock;
    CKVACritical mListenerLock;
    CKVACritical mTempoLock;
    CKVACritical mFadeLock;
    CKVACritical mTimeLock;
    // Guards the description and the values derived from it; never held with another lock.
    CKVACritical mFormatLock;

    IKVAProcessObserver* mObserver;

    // effect lock
    IKVAAudioEffect* mAudioEffect = nullptr;
    bool mEffectReady = false;
    // listener lock
    IKVAAudioListener* mAudioListener = nullptr;
    bool mListenerReady = false;

    // format lock
    AudioDescription mDes;
    int32_t mEffectFormat = 3;
    int32_t mListenerFormat = 4;
    int32_t mBytesPerSample = 4;

    // tempo lock
    TempoProcessor* mTempo = nullptr;
    double mSpeed = 1.0;

    // fade lock
    int32_t mFadeMode = kFadeNone;
    int64_t mFadeTime = 600;
    int64_t mFadePosition = -1;
    int64_t mFadeLength = 28800;

    // time lock
    std::string mSongId;
    std::string mPrevSongId;
    int64_t mEndPosition = 0;
    int64_t mSourceBytes = 0;
    int64_t mOutputBytes = 0;
    int64_t mSnapEndPosition = 0;
    int64_t mSnapSourceMs = 0;
    int64_t mSnapOutputMs = 0;
};

}  // namespace kva_audioplayer
