#include "player/CKVAAudioTimeInfo.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace kva_audioplayer {

namespace {
int64_t WallClock(void*) { return NowMs(); }
}  // namespace

CKVAAudioTimeInfo::CKVAAudioTimeInfo() : mClock(&WallClock) {
    mLock.Init();
    std::memset(&mDes, 0, sizeof(mDes));
}

CKVAAudioTimeInfo::~CKVAAudioTimeInfo() = default;

void CKVAAudioTimeInfo::SetClock(ClockFn clock, void* context) {
    CKVAAutoLock lock(mLock);
    mClock = clock ? clock : &WallClock;
    mClockContext = clock ? context : nullptr;
}

void CKVAAudioTimeInfo::Restart(int32_t state) {
    CKVAAutoLock lock(mLock);
    mState = state;
    mFillCount = 0;
    mAnchorWall = mAnchorPos = 0;
    mLastFillWall = mLastFillPos = 0;
    mBasePos = 0;
    mLastReported = 0;
}

void CKVAAudioTimeInfo::Start() { Restart(kStateStarted); }
void CKVAAudioTimeInfo::Reset() { Restart(kStateReset); }

// The next fill anchors the extrapolation afresh.
void CKVAAudioTimeInfo::DropAnchor(const CKVAAutoLock&) {
    mAnchorWall = 0;
    mLastFillWall = 0;
}

void CKVAAudioTimeInfo::Resume() {
    CKVAAutoLock lock(mLock);
    mState = kStateRunning;
    DropAnchor(lock);
}

// The position reached is kept for the queries while halted. The device's own count corrects
// it downwards; upwards only when no fill since the last anchor drop gave the extrapolation
// anything to go on, and then by no more than it may lag (a device already stopped counts
// nothing queued, and its count would jump to the end of the fills).
void CKVAAudioTimeInfo::Halt(int32_t state, int64_t heardMs) {
    CKVAAutoLock lock(mLock);
    const bool extrapolating = mState == kStateRunning && mAnchorWall != 0;
    mLastReported = GetPlayedTime();
    if (heardMs >= 0 &&
        (heardMs < mLastReported || (!extrapolating && heardMs <= mLastReported + mTolerance)))
        mLastReported = std::max(heardMs, mBasePos);
    DropAnchor(lock);
    mState = state;
}

void CKVAAudioTimeInfo::Pause(int64_t heardMs) { Halt(kStatePaused, heardMs); }
void CKVAAudioTimeInfo::Stop() { Halt(kStateStopped, -1); }

int64_t CKVAAudioTimeInfo::GetPlayedTime() {
    CKVAAutoLock lock(mLock);
    if (mState != kStateRunning && mState != kStatePaused) return 0;
    if (mState == kStatePaused || mAnchorWall == 0) return mLastReported;

    const int64_t now = Now();
    int64_t elapsed = now - mAnchorWall;
    int64_t since = now - mLastFillWall;
    if (std::fabs(mSpeed - 1.0f) > 1e-6f) {
        elapsed = static_cast<int64_t>(static_cast<float>(elapsed) * mSpeed);
        since = static_cast<int64_t>(static_cast<float>(since) * mSpeed);
    }
    const int32_t drift = static_cast<int32_t>((mAnchorPos - mLastFillPos) - since + elapsed);
    int64_t t;
    if (std::llabs(static_cast<long long>(drift)) > mTolerance) {
        mAnchorWall = mLastFillWall;
        mAnchorPos = mLastFillPos;
        t = mLastFillPos - mDelay + since;
    } else {
        t = mAnchorPos - mDelay + elapsed;
    }
    // Before the first frame from where the position was set is heard, the position is there.
    if (t < mBasePos) t = mBasePos;
    // Jitter between the clock and the fills must not make the position run backwards.
    if (t < mLastReported && mLastReported - t < 2 * mTolerance) return mLastReported;
    mLastReported = t;
    return t;
}

void CKVAAudioTimeInfo::SetPosition(int64_t ms) {
    CKVAAutoLock lock(mLock);
    mFillCount = 0;
    mAnchorPos = mLastFillPos = mBasePos = mLastReported = ms;
    DropAnchor(lock);
}

void CKVAAudioTimeInfo::SetSpeed(float speed) {
    CKVAAutoLock lock(mLock);
    if (std::fabs(speed - mSpeed) > 1e-6f) {
        mSpeed = speed;
        DropAnchor(lock);
    }
}

void CKVAAudioTimeInfo::SetFormat(const AudioDescription& des) { ExchangeUnder(mLock, mDes, des); }

void CKVAAudioTimeInfo::OnFill(int64_t positionMs, int64_t queuedMs) {
    CKVAAutoLock lock(mLock);
    if (mState != kStateRunning || positionMs < 0) return;
    const int64_t now = Now();
    // Heard at this moment (below the start while the device still plays what came before).
    const int64_t heard = positionMs - std::max<int64_t>(queuedMs, 0);
    mLastFillPos = heard;
    mLastFillWall = now;
    if (mAnchorWall == 0) {
        mAnchorWall = now;
        mAnchorPos = heard;
    }
    ++mFillCount;
}

void CKVAAudioTimeInfo::SetTolerance(int64_t ms) { ExchangeUnder(mLock, mTolerance, ms); }
void CKVAAudioTimeInfo::SetDelay(int64_t ms) { ExchangeUnder(mLock, mDelay, ms); }
int64_t CKVAAudioTimeInfo::GetLastFillPosition() { return ReadUnder(mLock, mLastFillPos); }
int32_t CKVAAudioTimeInfo::GetState() { return ReadUnder(mLock, mState); }
uint32_t CKVAAudioTimeInfo::GetFillCount() { return ReadUnder(mLock, mFillCount); }

void CKVAAudioTimeInfo::GetFormat(AudioDescription* out) {
    if (out) *out = ReadUnder(mLock, mDes);
}

}  // namespace kva_audioplayer
