// Handlers of "Audio Handle Thread": status transitions of the media pipeline.
#include "player/CKVAAudioPlayer.h"

namespace kva_audioplayer {

bool CKVAAudioPlayer::StopInternal(bool synchronous) {
    {
        CKVAAutoLock lock(mSourceLock);
        if (mActiveSource) mActiveSource->Abort();
        if (mNextActiveSource) mNextActiveSource->Abort();
    }
    mCommandThread.RemoveById(kCmdPrepareAsync);
    mCommandThread.RemoveById(kCmdSeek);
    if (synchronous)
        doStop();
    else
        PostCommand(kCmdStop);
    return true;
}

void CKVAAudioPlayer::doSetSource() {
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
    {
        CKVAAutoLock lock(mFillModeLock);
        mFillMode = kFillNormal;
        mCrossFadeLength = 0;
        mCrossFadeProgress = 0;
    }
    PostNotifyText(kNotifyStatus, text, kStatusInitialized);
}

}  // namespace kva_audioplayer
