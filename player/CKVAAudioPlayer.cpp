// Construction, destruction and the two message threads of the player.
#include "player/CKVAAudioPlayer.h"
#include "player/ErrorText.h"

namespace kva_audioplayer {

CKVAAudioPlayer::CKVAAudioPlayer(IKVAPlayerObserver* observer) : mObserver(observer) {
    PlayerCreated();
    mStatusLock.Init();
    mSettingsLock.Init();
    mNextStreamLock.Init();
    mFillModeLock.Init();
    mStreamLock.Init();
    mSourceLock.Init();
    mDeviceLock.Init();

    CreateComponents();

    mNotifyThread.Start("Audio MessageInfo Thread", this, &CKVAAudioPlayer::NotifyHandler);
    mCommandThread.Start("Audio Handle Thread", this, &CKVAAudioPlayer::CommandHandler);
}

CKVAAudioPlayer::~CKVAAudioPlayer() {
    // Sources first: a handler waiting in an open or a read returns, and the joins below are
    // quick whatever the sources do.
    AbortSources(true);
    StopDevice();
    mCommandThread.Stop();
    mNotifyThread.Stop();
    StopInternal(true);
    DestroyComponents();

    delete mPendingSource;
    mPendingSource = nullptr;
    delete mNextPendingSource;
    mNextPendingSource = nullptr;
    if (mDumpFile) {
        fclose(mDumpFile);
        mDumpFile = nullptr;
    }
    PlayerDestroyed();  // last: this player's threads log no more
}

// ---- posting ----

void CKVAAudioPlayer::PostCommand(int32_t id, int32_t arg1, int32_t arg2, int32_t delayMs) {
    PostCommandText(id, CurrentSessionText(), arg1, arg2, delayMs);
}

void CKVAAudioPlayer::PostCommandText(int32_t id, const std::string& text, int32_t arg1,
                                      int32_t arg2, int32_t delayMs) {
    mCommandThread.Post(MakeMsg(id, text, arg1, arg2), delayMs);
}

void CKVAAudioPlayer::PostNotify(int32_t id, int32_t arg1, int32_t arg2) {
    PostNotifyText(id, CurrentSessionText(), arg1, arg2);
}

void CKVAAudioPlayer::PostNotifyText(int32_t id, const std::string& text, int32_t arg1,
                                     int32_t arg2, int32_t delayMs) {
    mNotifyThread.Post(MakeMsg(id, text, arg1, arg2), delayMs);
}

// ---- command thread ----

void CKVAAudioPlayer::CommandHandler(void* user, const ThreadMsgPtr& msg) {
    static_cast<CKVAAudioPlayer*>(user)->DispatchCommand(msg);
}

void CKVAAudioPlayer::DispatchCommand(const ThreadMsgPtr& msg) {
    ThreadMsgPtr hold = msg;
    switch (msg->mId) {
        case kCmdPlayCompleted: doPlayCompleted(msg); break;
        case kCmdSetSource: doSetSource(); break;
        case kCmdPrepareAsync: doPrepareAsync(); break;
        case kCmdPlay: doPlay(msg->mArg1 != 0); break;
        case kCmdPause: doPause(msg->mArg1 != 0); break;
        case kCmdStop: doStopCommand(); break;
        case kCmdReset: doReset(); break;
        case kCmdSeek: doSeek(msg->mArg1); break;
        case kCmdSetNextSource: doSetNextSource(msg->mArg1); break;
        case kCmdDeviceOpen: doDeviceOpen(msg->mArg1, msg->mArg2 != 0); break;
        case kCmdFadeFinish: doFadeFinish(msg); break;
        case kCmdSeekComplete: doSeekComplete(msg); break;
        case kCmdUpdateVolume: doUpdateVolume(msg->mArg1); break;
        case kCmdResetFadeSource: doResetFadeSource(); break;
        case kCmdSetCacheParams: doSetCacheParams(); break;
        case kCmdDeviceChanged: doDeviceChanged(msg->mArg1, msg->mArg2); break;
        case kCmdSetDeviceParams: doSetDeviceParams(); break;
        case kCmdHeadSetChanged: doHeadSetChanged(msg->mArg1); break;
        case kCmdSetAudioIF: doSetAudioIF(); break;
        case kCmdTakeOverIF: doTakeOverIF(); break;
        case kCmdSetSpeed: doSetSpeed(); break;
        case kCmdReplayGain: doReplayGain(); break;
        case kCmdRetire: doRetire(); break;
        case kCmdDeviceError: doDeviceError(msg->mArg1, static_cast<uint32_t>(msg->mArg2)); break;
        case kCmdDeviceMoved: doDeviceMoved(msg->mText, static_cast<uint32_t>(msg->mArg1)); break;
        default: break;
    }
}

// ---- notification thread ----

void CKVAAudioPlayer::NotifyHandler(void* user, const ThreadMsgPtr& msg) {
    static_cast<CKVAAudioPlayer*>(user)->DispatchNotify(msg);
}

void CKVAAudioPlayer::DispatchNotify(const ThreadMsgPtr& msg) {
    ThreadMsgPtr hold = msg;
    switch (msg->mId) {
        case kNotifyError:
            ClassifyError(&msg->mArg1, &msg->mArg2);
            OnErrorNotify();
            break;
        case kNotifyBuffering:
            if (!OnBufferingNotify(msg)) return;
            break;
        case kNotifyPosition:
            if (!OnPositionTick(msg)) return;
            break;
        case kNotifyCallError:
            msg->mId = kNotifyError;
            break;
        default:
            break;
    }
    Deliver(msg);
}

bool CKVAAudioPlayer::OnPositionTick(const ThreadMsgPtr& msg) {
    int32_t status, fade;
    {
        CKVAAutoLock lock(mStatusLock);
        status = mStatus;
        fade = mFadeStatus;
    }
    const int64_t now = NowMs();
    const int32_t interval = mPositionInterval;
    const bool running = status == kStatusStarted || fade != kFadeStatusNone;
    // The message thread may hand a delayed tick out early; keep to the interval ourselves.
    const int64_t lastTick = mLastTickTime;
    if (lastTick > 0 && now - lastTick < interval) {
        // Another tick already queued carries the cadence; a second chain would only duplicate it.
        if (running && interval >= 1 && mNotifyThread.CountById(kNotifyPosition) == 0)
            PostNotifyText(kNotifyPosition, msg->mText, 0, 0,
                           static_cast<int32_t>(interval - (now - lastTick)));
        return false;
    }
    if (lastTick > 0 && interval < 1) return false;
    msg->mArg1 = static_cast<int32_t>(GetCurrentPosition());
    mLastTickTime = now;
    if (running && interval >= 1) PostNotifyText(kNotifyPosition, msg->mText, 0, 0, interval);
    return true;
}

void CKVAAudioPlayer::Deliver(const ThreadMsgPtr& msg) {
    IKVAPlayerObserver* observer = mObserver;
    if (observer) observer->OnNotify(msg->mId, msg->mText.c_str(), msg->mArg1, msg->mArg2);
}

// ---- small state helpers ----

int32_t CKVAAudioPlayer::ReadStatus() { return ReadUnder(mStatusLock, mStatus); }
int32_t CKVAAudioPlayer::SetStatus(int32_t status) { return ExchangeUnder(mStatusLock, mStatus, status); }
int32_t CKVAAudioPlayer::ReadFadeStatus() { return ReadUnder(mStatusLock, mFadeStatus); }
void CKVAAudioPlayer::SetFadeStatus(int32_t fade) { WriteUnder(mStatusLock, mFadeStatus, fade); }
std::string CKVAAudioPlayer::CurrentSessionText() { return ReadUnder(mSettingsLock, mCurrentSessionText); }

void CKVAAudioPlayer::SetCurrentSessionText(const std::string& text) {
    WriteUnder(mSettingsLock, mCurrentSessionText, text);
}

}  // namespace kva_audioplayer
