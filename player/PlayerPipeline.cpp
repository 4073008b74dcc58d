// Pipeline handlers that need the decoder, the processing chain and the output device.
// Until those components are linked in, they keep the status table honest and log.
#include "player/CKVAAudioPlayer.h"

namespace kva_audioplayer {

void CKVAAudioPlayer::CreateComponents() {}
void CKVAAudioPlayer::DestroyComponents() {
    CKVAAutoLock lock(mSourceLock);
    delete mActiveSource;
    mActiveSource = nullptr;
    delete mNextActiveSource;
    mNextActiveSource = nullptr;
}
void CKVAAudioPlayer::StopDevice() {}
void CKVAAudioPlayer::ApplyDeviceVolume(bool) {}
void CKVAAudioPlayer::ApplyCacheMaxToStreams(int64_t) {}
void CKVAAudioPlayer::OnErrorNotify() {}
bool CKVAAudioPlayer::OnBufferingNotify(const ThreadMsgPtr&) { return true; }

int32_t CKVAAudioPlayer::doPrepareAsync() {
    int32_t status;
    {
        CKVAAutoLock lock(mStatusLock);
        mNewStream = 0;
        status = mStatus;
    }
    KVA_LOG(kLogTrace, "CKVAAudioPlayer::doPrepareAsync start++ status  %d, mNewStream %d", status, 0);
    if (status != kStatusInitialized) {
        KVA_LOG(kLogTrace, "CKVAAudioPlayer::doPrepareAsync status not correct, quit");
        return kAudioPlayerErrorState;
    }
    IKVASourceIO* source;
    {
        CKVAAutoLock lock(mSettingsLock);
        source = mPendingSource;
        mPendingSource = nullptr;
    }
    if (!source) {
        SetStatus(kStatusPrepareAbandoned);
        KVA_LOG(kLogError, "PrepareAsync Fail Current State(%d), sourceIO %ld, nErr %d", 2, 0L, 1);
        return 1;
    }
    std::string text = source->GetSessionIdText() ? source->GetSessionIdText() : "";
    SetStatus(kStatusPreparing);
    PostNotifyText(kNotifyStatus, text, kStatusPreparing);
    {
        CKVAAutoLock lock(mSourceLock);
        delete mActiveSource;
        mActiveSource = source;
    }
    SetCurrentSessionText(text);
    KVA_LOG(kLogError, "CKVAAudioPlayer::doPrepareAsync no decoder available");
    SetStatus(kStatusError);
    PostNotifyText(kNotifyError, text, kAudioPlayerErrorState, 0);
    PostNotifyText(kNotifyStatus, text, kStatusError);
    return kAudioPlayerErrorState;
}

int32_t CKVAAudioPlayer::doPlay(bool) { return 0; }
int32_t CKVAAudioPlayer::doPause(bool) { return 0; }
int32_t CKVAAudioPlayer::doSeek(int64_t) { return 0; }
void CKVAAudioPlayer::doSeekComplete(const ThreadMsgPtr&) {}
void CKVAAudioPlayer::doPlayCompleted(const ThreadMsgPtr&) {}

void CKVAAudioPlayer::doStop() {
    int32_t status = ReadStatus();
    if (status == kStatusStopped || status == kStatusIdle || status == kStatusInitialized) return;
    SetStatus(kStatusStopped);
    bool seekWasPending = false;
    int64_t oldTarget = 0;
    {
        CKVAAutoLock lock(mSettingsLock);
        if (mSeekPending) {
            seekWasPending = true;
            oldTarget = mSeekTarget;
            mSeekPending = false;
            mSeekTarget = 0;
        }
    }
    if (seekWasPending) PostNotify(kNotifySeekCompleted, static_cast<int32_t>(oldTarget));
    SetFadeStatus(kFadeStatusNone);
    PostNotify(kNotifyStatus, kStatusStopped);
    mNotifyThread.RemoveById(kNotifyPosition);
    mNotifyThread.RemoveById(kNotifyPlaybackCompleted);
    mLastTickTime = 0;
    KVA_LOG(kLogTrace, "CKVAAudioPlayer::doStop done");
    CKVAAutoLock lock(mSettingsLock);
    if (mDumpFile) {
        fclose(mDumpFile);
        mDumpFile = nullptr;
    }
}

void CKVAAudioPlayer::doReset() {
    int32_t status = ReadStatus();
    if (status == kStatusIdle || status == kStatusInitialized) {
        KVA_LOG(kLogTrace, "CKVAAudioPlayer::doReset status %d", status);
        return;
    }
    {
        CKVAAutoLock lock(mSourceLock);
        delete mActiveSource;
        mActiveSource = nullptr;
    }
    {
        CKVAAutoLock lock(mSettingsLock);
        mSeekTarget = 0;
        mSeekPending = false;
        mVolume = 1.0f;
        mStreamGain = 1.0;
        mFirstAudio = 0;
        mDuration = 0;
    }
    {
        CKVAAutoLock lock(mStatusLock);
        mStatus = kStatusIdle;
        mFadeStatus = kFadeStatusNone;
    }
    PostNotify(kNotifyStatus, kStatusIdle);
    KVA_LOG(kLogTrace, "CKVAAudioPlayer::doReset done");
}

void CKVAAudioPlayer::doSetCacheParams() {}
void CKVAAudioPlayer::doSetSpeed() {}
void CKVAAudioPlayer::doSetDeviceParams() {}
void CKVAAudioPlayer::doUpdateVolume() {}
void CKVAAudioPlayer::doSetAudioIF() {}
void CKVAAudioPlayer::doFadeFinish(const ThreadMsgPtr&) {}
void CKVAAudioPlayer::doSetNextSource(int32_t) {}
void CKVAAudioPlayer::doSwitchSource() {}
void CKVAAudioPlayer::doSetContentWithSource() {}
void CKVAAudioPlayer::doCrossFadeSource() {}
void CKVAAudioPlayer::doResetFadeSource() {}
void CKVAAudioPlayer::doDeviceChanged(int32_t, int32_t) {}
void CKVAAudioPlayer::doHeadSetChanged(int32_t) {}
int32_t CKVAAudioPlayer::doDeviceReCreate(int32_t) { return 0; }
int32_t CKVAAudioPlayer::doDeviceOpen(int64_t, bool) { return 0; }

// ---- callbacks ----
int32_t CKVAAudioPlayer::FillFromStream(uint8_t*, int32_t* length, int64_t*) {
    if (length) *length = 0;
    return kAudioPlayerErrorState;
}
int32_t CKVAAudioPlayer::FillCrossFade(uint8_t* b, int32_t* l, int64_t* p) { return FillFromStream(b, l, p); }
void CKVAAudioPlayer::MixCrossFade(uint8_t*, int32_t, const uint8_t*, int32_t) {}
int32_t CKVAAudioPlayer::BufferFill(uint8_t* b, int32_t* l, int64_t* p) { return -FillFromStream(b, l, p); }
int32_t CKVAAudioPlayer::FrameFill(AudioFrame*) { return -kStreamNoStream; }
void CKVAAudioPlayer::DeviceError(int32_t) {}
void CKVAAudioPlayer::OnDeviceNotify(int32_t, const char16_t*, const char16_t*) {}
void CKVAAudioPlayer::OnBufferingStart(const char*, uint32_t) {}
void CKVAAudioPlayer::OnBufferingEnd(const char*, uint32_t) {}
void CKVAAudioPlayer::OnStreamEvent(int32_t id, const char* text, int32_t a1, int32_t a2) {
    PostNotifyText(id, text ? text : "", a1, a2);
}
void CKVAAudioPlayer::OnFadeFinish(const char* songId, int32_t type) {
    PostCommandText(kCmdFadeFinish, songId ? songId : "", type);
}

// ---- device list ----
int32_t CKVAAudioPlayer::GetOutputDeviceCount() { return 0; }
bool CKVAAudioPlayer::GetOutputDeviceInfo(int32_t, DeviceRecord*) { return false; }
int32_t CKVAAudioPlayer::SetOutputDevice(int32_t, const char16_t*) { return 0; }
bool CKVAAudioPlayer::GetCurrentOutputDevice(DeviceRecord*) { return false; }
int32_t CKVAAudioPlayer::SetDeviceSwitch(bool) { return 0; }
int32_t CKVAAudioPlayer::TriggerDevice() { return 0; }
double CKVAAudioPlayer::GetChannelLevel(int32_t) { return -160.0; }
double CKVAAudioPlayer::GetChannelLevelAlt(int32_t) { return -160.0; }
double CKVAAudioPlayer::GetDeviceValueA() { return -160.0; }
double CKVAAudioPlayer::GetDeviceValueB() { return -160.0; }
int32_t CKVAAudioPlayer::SetAudioEffect(IKVAAudioEffect*) { return 0; }
int32_t CKVAAudioPlayer::SetAudioListener(IKVAAudioListener*) { return 0; }
bool CKVAAudioPlayer::SetPlaySpeed(double speed) {
    CKVAAutoLock lock(mSettingsLock);
    mPlaySpeed = speed;
    return false;
}
int32_t CKVAAudioPlayer::SetCodecBlackList(std::vector<int32_t>) { return 0; }

}  // namespace kva_audioplayer
