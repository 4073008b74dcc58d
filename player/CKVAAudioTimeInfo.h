// Position bookkeeping: the position heard when the device last pulled (the block's media position
// less what the device still held), extrapolated with the wall clock so that position queries
// move smoothly between pulls.
#pragma once

#include <cstdint>

#include "support/AudioTypes.h"
#include "support/KVASync.h"

namespace kva_audioplayer {

class CKVAAudioTimeInfo {
public:
    enum State : int32_t {
        kStateReset = 1,
        kStateStarted = 2,
        kStateRunning = 5,
        kStatePaused = 6,
        kStateStopped = 8,
    };
    // Wall-clock milliseconds source; NowMs unless a test supplies its own.
    typedef int64_t (*ClockFn)(void* context);

    CKVAAudioTimeInfo();
    virtual ~CKVAAudioTimeInfo();

    virtual void Start();
    virtual void Resume();
    // heardMs >= 0: what the device is known to have played. The position goes back to it, or
    // forward to it by no more than the tolerance when nothing was being extrapolated.
    virtual void Pause(int64_t heardMs = -1);
    virtual void Stop();
    virtual void Reset();
    virtual int64_t GetPlayedTime();
    virtual void SetPosition(int64_t ms);
    virtual void SetSpeed(float speed);
    virtual void SetFormat(const AudioDescription& des);
    // queuedMs: what the device still held, unplayed, as it asked for the block.
    virtual void OnFill(int64_t positionMs, int64_t queuedMs = 0);
    virtual void SetTolerance(int64_t ms);
    virtual void SetDelay(int64_t ms);
    virtual int64_t GetLastFillPosition();

    void SetClock(ClockFn clock, void* context);
    int32_t GetState();
    uint32_t GetFillCount();
    void GetFormat(AudioDescription* out);

    CKVAAudioTimeInfo(const CKVAAudioTimeInfo&) = delete;
    CKVAAudioTimeInfo& operator=(const CKVAAudioTimeInfo&) = delete;

private:
    int64_t Now() const { return mClock(mClockContext); }
    void Restart(int32_t state);
    void Halt(int32_t state, int64_t heardMs);
    void DropAnchor(const CKVAAutoLock& lockHeld);

    CKVACritical mLock;
    int32_t mState = kStateReset;
    AudioDescription mDes;
    float mSpeed = 1.0f;
    int64_t mAnchorWall = 0;  // 0: no anchor
    int64_t mAnchorPos = 0;
    int64_t mLastFillWall = 0;
    int64_t mLastFillPos = 0;
    int64_t mDelay = 0;
    int64_t mBasePos = 0;  // where the position was set: it starts there, not before
    int64_t mLastReported = 0;
    int64_t mTolerance = 100;
    uint32_t mFillCount = 0;
    ClockFn mClock;
    void* mClockContext = nullptr;
};

}  // namespace kva_audioplayer
