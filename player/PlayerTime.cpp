// Played-time queries.
#include "player/CKVAAudioPlayer.h"

namespace kva_audioplayer {

void CKVAAudioPlayer::ClearCachedTrackTime() {}

int64_t CKVAAudioPlayer::GetCurrentPosition() {
    CKVAAutoLock lock(mSettingsLock);
    if (mSeekPending) return mSeekTarget;
    return 0;
}

int64_t CKVAAudioPlayer::GetPlayEndTime(const char*) { return 0; }
int64_t CKVAAudioPlayer::GetPlayedTime(const char*) { return 0; }
int64_t CKVAAudioPlayer::GetPlayedTimeWithSpeed(const char*) { return 0; }

int32_t CKVAAudioPlayer::SetGetPlayedTimeType(int32_t type) {
    {
        CKVAAutoLock lock(mSettingsLock);
        mPlayedTimeType = type;
    }
    KVA_LOG(kLogTrace, "CKVAAudioPlayer:SetGetPlayedTimeType nType %d", type);
    return 0;
}

}  // namespace kva_audioplayer
