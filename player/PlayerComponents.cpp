// The components the player creates once, and small helpers shared by the handlers.
#include <cmath>
#include <random>
#include <utility>

#include "codec/CKVAAudioProcess.h"
#include "codec/KVAAudioStream.h"
#include "device/AudioDevice.h"
#include "player/CKVAAudioPlayer.h"
#include "player/CKVAAudioTimeInfo.h"
#include "player/ReplayGain.h"
#include "support/FFmpegLog.h"

namespace kva_audioplayer {

void CKVAAudioPlayer::CreateComponents() {
    InstallFFmpegLogForwarding();
    mRetired.reserve(kMaxRetired);
    mAudioProcess = new CKVAAudioProcess(this);
    mTimeInfo = new CKVAAudioTimeInfo();
    CreateDeviceMonitor();
}

void CKVAAudioPlayer::DestroyComponents() {
    {
        CKVAAutoLock lock(mDeviceLock);
        ReleaseDevice(lock);
    }
    DestroyDeviceMonitor();
    DestroyPipeline();
    delete mAudioProcess;
    mAudioProcess = nullptr;
    delete mTimeInfo;
    mTimeInfo = nullptr;
}

// Every stream and source is taken out under the locks that guard it, so that no pull and no
// Abort can reach it any more, and destroyed with no lock held: a stream joins its decode thread,
// a source may call the host's release function. Sources are aborted first, so that a decode
// thread waiting in a read returns.
void CKVAAudioPlayer::DestroyPipeline() {
    CKVAAudioStream* streams[3];
    IKVASourceIO* sources[3];
    {
        CKVAAutoLock lock(mStreamLock);
        streams[0] = std::exchange(mAudioStream, nullptr);
        CKVAAutoLock sourceLock(mSourceLock);
        sources[0] = std::exchange(mActiveSource, nullptr);
    }
    {
        CKVAAutoLock lock(mNextStreamLock);
        streams[1] = std::exchange(mNextStream, nullptr);
        CKVAAutoLock sourceLock(mSourceLock);
        sources[1] = std::exchange(mNextActiveSource, nullptr);
    }
    {
        CKVAAutoLock lock(mFillModeLock);
        const FadeOut f = EndCrossFadeLocked(lock);
        streams[2] = f.stream;
        sources[2] = f.source;
    }
    for (IKVASourceIO* source : sources)
        if (source) source->Abort();
    for (CKVAAudioStream* stream : streams) delete stream;
    for (IKVASourceIO* source : sources) delete source;
    doRetire();
}

// Streams and sources that the render thread replaced at a gapless switch.
void CKVAAudioPlayer::doRetire() {
    std::vector<Retired> retired;
    retired.reserve(kMaxRetired);
    {
        CKVAAutoLock lock(mSourceLock);
        retired.swap(mRetired);
    }
    for (const Retired& r : retired) Dispose(r.stream, r.source);
}

void CKVAAudioPlayer::StopDevice() {
    CKVAAutoLock lock(mDeviceLock);
    if (mAudioDevice) mAudioDevice->Stop();
}

void CKVAAudioPlayer::ReleaseDevice(const CKVAAutoLock&) {
    if (!mAudioDevice) return;
    mAudioDevice->Stop();
    mAudioDevice->Release();
    mAudioDevice = nullptr;
}

float CKVAAudioPlayer::DeviceVolume() {
    CKVAAutoLock lock(mSettingsLock);
    return static_cast<float>(mVolume * mStreamGain);
}

void CKVAAudioPlayer::ApplyDeviceVolume(bool level) {
    float v = DeviceVolume();
    CKVAAutoLock lock(mDeviceLock);
    if (!mAudioDevice) return;
    if (level)
        mAudioDevice->SetVolumeLevel(v);
    else
        mAudioDevice->SetVolume(v);
}

void CKVAAudioPlayer::ApplyCacheMaxToStreams(int64_t ms) {
    {
        CKVAAutoLock lock(mStreamLock);
        if (mAudioStream) mAudioStream->setCacheMax(ms);
    }
    CKVAAutoLock lock(mNextStreamLock);
    if (mNextStream) mNextStream->setCacheMax(ms);
}

// Output format and speed, as every stream that takes over gets them, with the stream lock held
// (also on the render thread). The IF mode follows from the command thread: setting it up runs
// the host's processor and posts to the decode thread.
void CKVAAudioPlayer::ApplyStreamSettings(CKVAAudioStream* stream) {
    const StreamSettings s = ReadStreamSettings();
    stream->setOutputDescription(OutputDescription());
    stream->setSpeed(s.speed);
    if (s.ifMode == 0) return;
    stream->requestIF();
    PostCommand(kCmdTakeOverIF);
}

void CKVAAudioPlayer::doTakeOverIF() {
    std::string text;
    int32_t answer;
    {
        CKVAAutoLock lock(mStreamLock);
        if (!mAudioStream || !mAudioStream->takeIFRequest()) return;
        text = mAudioStream->getSessionIdText();
        answer = ApplyIFSettings(mAudioStream);
        // The processor's output is converted to what the device plays.
        mAudioStream->setOutputDescription(OutputDescription());
    }
    if (answer < 0) PostNotifyText(kNotifyAudioIFStatus, text, kAudioIFRefused, answer);
}

CKVAAudioPlayer::StreamSettings CKVAAudioPlayer::ReadStreamSettings() {
    CKVAAutoLock lock(mSettingsLock);
    return {mAudioIFProcessor, mAudioIFRatio, mZOAiAudioType, mPlaySpeed};
}

// The IF processor, ratio and mode; answers the stream's word on the mode.
int32_t CKVAAudioPlayer::GiveIFSettings(CKVAAudioStream* stream, const StreamSettings& s) {
    stream->setIFProcessor(s.processor);
    stream->SetAudioIFRatio(s.ifRatio);
    return stream->SetAudioIFEnable(s.ifMode);
}

void CKVAAudioPlayer::UpdateReplayGain(CKVAAudioStream* stream) {
    if (!stream) return;
    int32_t mode;
    float preamp;
    bool clip;
    {
        CKVAAutoLock lock(mSettingsLock);
        mode = mReplayGainMode;
        preamp = mReplayGainPreampDb;
        clip = mReplayGainPreventClipping;
    }
    stream->setMixGain(ReplayGainFactor(ReadReplayGainTags(stream->tags()), mode, preamp, clip));
}

// Every stream the pull may take samples from: the current, the preloaded and the fading one.
void CKVAAudioPlayer::doReplayGain() {
    {
        CKVAAutoLock lock(mStreamLock);
        UpdateReplayGain(mAudioStream);
    }
    {
        CKVAAutoLock lock(mNextStreamLock);
        UpdateReplayGain(mNextStream);
    }
    CKVAAutoLock lock(mFillModeLock);
    UpdateReplayGain(mFadeOutStream);
}

// Any thread may take it: the gapless switch holds the stream and next-stream locks.
AudioDescription CKVAAudioPlayer::OutputDescription() { return ReadUnder(mFillModeLock, mOutDes); }

// ---- components' settings reached through IKVAPlayer ----

int32_t CKVAAudioPlayer::SetAudioEffect(IKVAAudioEffect* effect) {
    if (mAudioProcess) mAudioProcess->SetAudioEffect(effect);
    return 0;
}

int32_t CKVAAudioPlayer::SetAudioListener(IKVAAudioListener* listener) {
    if (mAudioProcess) mAudioProcess->SetAudioListener(listener);
    return 0;
}

bool CKVAAudioPlayer::SetPlaySpeed(double speed) {
    if (!(speed > 0.0 && std::isfinite(speed))) return false;
    // Stored only once the chain takes it: the pull sizes its requests by it.
    bool accepted = mAudioProcess && mAudioProcess->SetPlaySpeed(speed);
    if (accepted) {
        WriteUnder(mSettingsLock, mPlaySpeed, speed);
        mTimeInfo->SetSpeed(static_cast<float>(speed));
        PostCommand(kCmdSetSpeed);
    }
    return accepted;
}

int32_t CKVAAudioPlayer::SetCodecBlackList(std::vector<int32_t> codecIds) {
    CKVAAudioStream::SetCodecBlackList(codecIds);
    return 0;
}

// ---- notification-thread work done before delivery ----

void CKVAAudioPlayer::OnErrorNotify() {
    CKVAAutoLock lock(mDeviceLock);
    if (mAudioDevice) mAudioDevice->Pause();
    if (mTimeInfo) mTimeInfo->Stop();
}

bool CKVAAudioPlayer::OnBufferingNotify(const ThreadMsgPtr& msg) {
    {
        CKVAAutoLock lock(mSourceLock);
        if (!mActiveSource || mActiveSource->GetSessionId() != static_cast<uint32_t>(msg->mArg2))
            return false;
    }
    // Only while a track is being prepared or played: a stopped stream may still report.
    const int32_t status = ReadStatus();
    if (status < kStatusPreparing || status > kStatusCompleted) return false;
    // Kept whether or not a device exists yet: doPlay leaves the device stopped while buffering.
    CKVAAutoLock lock(mDeviceLock);
    mBuffering = msg->mArg1 == kBufferingStart;
    if (!mAudioDevice) return true;
    // Read again under the device lock: doPlay, which starts the device unless buffering, may
    // have run while this waited for it.
    const bool started = ReadStatus() == kStatusStarted;
    if (msg->mArg1 == kBufferingStart) {
        if (started) {
            mAudioDevice->Pause();
            PauseTimeLocked(lock);
        }
    } else {
        if (started) {
            mAudioDevice->Play();
            mTimeInfo->Resume();
        }
    }
    return true;
}

}  // namespace kva_audioplayer
