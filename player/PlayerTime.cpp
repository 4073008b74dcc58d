// Played-time queries: the position, and the played time of a song from the processing chain's
// counters or from the record kept for the last finished track.
#include <algorithm>

#include "codec/CKVAAudioProcess.h"
#include "player/CKVAAudioPlayer.h"
#include "player/CKVAAudioTimeInfo.h"

namespace kva_audioplayer {

namespace {
enum TrackTimeKind : int32_t { kPlayedTime = 0, kPlayedTimeWithSpeed = 1, kPlayEndTime = 2 };
const char* const kQueryNames[] = {"GetPlayedTime", "GetPlayedTimeWithSpeed", "GetPlayEndTime"};
}  // namespace

void CKVAAudioPlayer::ClearCachedTrackTime() {
    CKVAAutoLock lock(mSettingsLock);
    mCachedTrackTime.Clear();
}

void CKVAAudioPlayer::FillCachedTrackTime() {
    if (!mAudioProcess) return;
    KVACachedTrackTime record;
    mAudioProcess->fillPlayInfo(&record);
    CKVAAutoLock lock(mSettingsLock);
    mCachedTrackTime = std::move(record);
}

int64_t CKVAAudioPlayer::GetCurrentPosition() {
    int64_t duration;
    {
        CKVAAutoLock lock(mSettingsLock);
        if (mSeekPending) return mSeekTarget;
        duration = mDuration;
    }
    int64_t played = mTimeInfo ? mTimeInfo->GetPlayedTime() : 0;
    // Never ahead of what was handed to the device: the extrapolation runs on while the device
    // waits for data.
    played = std::min<int64_t>(played, mLastFillEndMs);
    // A stream of unknown length (duration 0) still reports where it is.
    if (duration > 0 && played > duration) played = duration;
    return played;
}

void CKVAAudioPlayer::RestartPositionAt(int64_t ms) {
    mLastFillEndMs = ms;
    mTimeInfo->SetPosition(ms);
}

int64_t CKVAAudioPlayer::TrackTimeQuery(const char* songId, int32_t kind) {
    int32_t type;
    bool valid;
    bool sameSong;
    int64_t cached = 0;
    bool pendingSource;
    {
        CKVAAutoLock lock(mSettingsLock);
        type = mPlayedTimeType;
        valid = mCachedTrackTime.bValid;
        sameSong = valid && songId != nullptr && mCachedTrackTime.strSongId == songId;
        switch (kind) {
            case kPlayedTime: cached = mCachedTrackTime.nPlayedTime; break;
            case kPlayedTimeWithSpeed: cached = mCachedTrackTime.nPlayedTimeWithSpeed; break;
            default: cached = mCachedTrackTime.nEndTime; break;
        }
        pendingSource = mPendingSource != nullptr;
    }
    CKVAAudioProcess* chain = mAudioProcess;

    if (type == 0) {
        if (!chain) return 0;
        const char* id = songId ? songId : "";
        switch (kind) {
            case kPlayedTime: return chain->getOutputTime(id);
            case kPlayedTimeWithSpeed: return chain->getSourceTime(id);
            default: return chain->getEndPosition(id);
        }
    }
    if (sameSong) return cached;

    if (kind == kPlayEndTime) {
        if (!valid) KVA_LOG(kLogTrace, "CKVAAudioPlayer: Cached Track time is unset!");
    } else if (valid) {
        KVA_LOG(kLogDetail, "CKVAAudioPlayer:%s different songID!", kQueryNames[kind]);
    } else {
        KVA_LOG(kLogDetail, "CKVAAudioPlayer:%s Cached Track time is unset!", kQueryNames[kind]);
    }

    int32_t status;
    int32_t newStream;
    {
        CKVAAutoLock lock(mStatusLock);
        status = mStatus;
        newStream = mNewStream;
    }
    const int32_t newPending = newStream != 0 && pendingSource ? 1 : 0;
    if (status == kStatusIdle || status == kStatusInitialized || status == kStatusPreparing ||
        newPending) {
        KVA_LOG(kLogTrace, "CKVAAudioPlayer:%s status %d newStream %d!", kQueryNames[kind], status,
                newPending);
        return 0;
    }
    if (!chain) return 0;
    switch (kind) {
        case kPlayedTime: return chain->getOutputMs();
        case kPlayedTimeWithSpeed: return chain->getSourceMs();
        default: return chain->getSnapshotEndPosition();
    }
}

int64_t CKVAAudioPlayer::GetPlayedTime(const char* songId) { return TrackTimeQuery(songId, kPlayedTime); }

int64_t CKVAAudioPlayer::GetPlayedTimeWithSpeed(const char* songId) {
    return TrackTimeQuery(songId, kPlayedTimeWithSpeed);
}

int64_t CKVAAudioPlayer::GetPlayEndTime(const char* songId) { return TrackTimeQuery(songId, kPlayEndTime); }

int32_t CKVAAudioPlayer::SetGetPlayedTimeType(int32_t type) {
    WriteUnder(mSettingsLock, mPlayedTimeType, type);
    KVA_LOG(kLogTrace, "CKVAAudioPlayer:SetGetPlayedTimeType nType %d", type);
    return 0;
}

}  // namespace kva_audioplayer
