// Output device management: creation with the session tag, re-opening, switching, device list.
#include <algorithm>
#include <climits>
#include <cstring>
#include <random>

#include "codec/CKVAAudioProcess.h"
#include "codec/KVAAudioStream.h"
#include "device/AudioDevice.h"
#include "device/AudioDeviceMonitor.h"
#include "platform/SoundSystem.h"
#include "player/CKVAAudioPlayer.h"
#include "player/CKVAAudioTimeInfo.h"
#include "support/TextUtil.h"

namespace kva_audioplayer {

namespace {
std::string SystemDefaultEndpoint() {
    auto system = snd::GetSoundSystem();
    return system ? system->GetDefaultEndpoint() : std::string();
}
}  // namespace

void CKVAAudioPlayer::CreateDeviceMonitor() {
    mDeviceMonitor = CreateAudioDeviceMonitor(this);
    if (!mDeviceMonitor) return;
    mDeviceMonitor->RefreshDeviceList();
    if (mDeviceMonitor->GetDeviceCount() > 0) {
        mDeviceName = mDeviceMonitor->GetDefaultEntryName();
        mDeviceMonitor->SetCurrent(mDeviceName, kDeviceTypeWasapi);
    }
}

// Not under the device lock: the monitor joins its delivery thread, which may be waiting for it.
void CKVAAudioPlayer::DestroyDeviceMonitor() {
    AudioDeviceMonitor* monitor = ReadUnder(mDeviceLock, mDeviceMonitor);
    delete monitor;
    CKVAAutoLock lock(mDeviceLock);
    mDeviceMonitor = nullptr;
}

std::string CKVAAudioPlayer::GetSessionTag() {
    CKVAAutoLock lock(mDeviceLock);
    return mSessionTag;
}

AudioDevice* CKVAAudioPlayer::CurrentDeviceForTest() {
    CKVAAutoLock lock(mDeviceLock);
    return mAudioDevice;
}

std::string MakeSessionTag() {
    std::random_device seed;
    std::mt19937 twister(seed());
    uint32_t r1 = twister(), r2 = twister(), r3 = twister(), r4 = twister();
    r2 = (r2 & 0xFFFF4FFFu) | 0x4000u;
    r3 = (r3 & 0x3FFFFFFFu) | 0x80000000u;
    char buf[37];
    snprintf(buf, sizeof(buf), "%08x-%04x-%04x-%04x-%04x%08x", r1, r2 >> 16, r2 & 0xFFFF, r3 >> 16,
             r3 & 0xFFFF, r4);
    return buf;
}

// The device reports to this player and has its options (option A only where `withOptionA`:
// a re-open after a failure leaves it at the device's own).
AudioDevice* CKVAAudioPlayer::CreateDevice(const CKVAAutoLock&, int32_t type, bool withOptionA) {
    DeviceRecord record{};
    bool known = false;
    if (mDeviceMonitor) {
        known = mDeviceMonitor->FindDevice(mDeviceName, type, &record);
        if (known && mDeviceName != record.szName) mDeviceName = record.szName;
    }
    // Read before the open: a default that moves in between is then seen as a move.
    mDefaultAtCreate = known && record.bDefault ? SystemDefaultEndpoint() : std::string();
    AudioDevice* device = CreateAudioDevice(type, known ? &record : nullptr);
    if (device) ++mDeviceGeneration;
    if (type >= 0) mAudioDeviceType = type;
    if (mSessionTag.empty()) mSessionTag = MakeSessionTag();
    if (device && !mSessionTag.empty()) device->SetAudioSessionTag(mSessionTag.c_str());
    if (device) {
        device->SetObserver(this);
        device->SetOptionB(mDeviceOptionB);
        if (withOptionA) device->SetOptionA(mDeviceOptionA);
    }
    return device;
}

// After a successful open: the accepted format becomes the output format.
void CKVAAudioPlayer::TakeDeviceFormatLocked(const CKVAAutoLock&) {
    AudioDescription des{};
    bool changed = false;
    mAudioDevice->GetOutputFormat(&des, &changed);
    WriteUnder(mFillModeLock, mOutDes, des);
    mAudioDevice->SetVolume(DeviceVolume());
    const double speed = ReadUnder(mSettingsLock, mPlaySpeed);
    mAudioDevice->SetRate(static_cast<float>(speed));
    mAudioDevice->Reserved11();
    mStepSize = mAudioDevice->GetStepSize();
    mDeviceFlag = mAudioDevice->Query28();
    mCompletionDelay = static_cast<int32_t>(mAudioDevice->GetReserved());
    mTimeInfo->SetDelay(mCompletionDelay.load());
    mTimeInfo->SetFormat(des);
    mTimeInfo->SetSpeed(static_cast<float>(speed));
}

void CKVAAudioPlayer::PauseTimeLocked(const CKVAAutoLock&) {
    const int64_t unheard = mAudioDevice ? mAudioDevice->UnheardMs() : -1;
    mTimeInfo->Pause(unheard < 0 ? -1 : std::max<int64_t>(mLastFillEndMs - unheard, 0));
}

void CKVAAudioPlayer::doDeviceChanged(int32_t type, int32_t force) {
    {
        CKVAAutoLock lock(mDeviceLock);
        // The default moved where a failover has already made the device: one loss, one device.
        if (force == kDeviceChangeDefaultMoved && mAudioDevice && mAudioDevice->flag &&
            !mDefaultAtCreate.empty() && mDefaultAtCreate == SystemDefaultEndpoint())
            return;
        std::u16string name;
        int32_t monitorType = type;
        if (mDeviceMonitor) mDeviceMonitor->GetCurrent(&name, &monitorType);
        if (type == mAudioDeviceType && name == mDeviceName && force == 0) return;
        mDeviceName = name;
        mAudioDeviceType = type;
    }
    int32_t status = ReadStatus();
    if (status == kStatusStarted) doPause(false);
    KVA_LOG(kLogTrace, "CKVAAudioPlayer::doDeviceChanged status %d", status);
    CKVAAutoLock lock(mDeviceLock);
    PauseTimeLocked(lock);
    ReleaseDevice(lock);
}

void CKVAAudioPlayer::doHeadSetChanged(int32_t state) {
    {
        CKVAAutoLock lock(mDeviceLock);
        if (state == mHeadSetState) return;
        mHeadSetState = state;
    }
    int32_t status = ReadStatus();
    KVA_LOG(kLogTrace, "CKVAAudioPlayer::doHeadSetChanged status %d", status);
    int32_t type;
    {
        CKVAAutoLock lock(mDeviceLock);
        PauseTimeLocked(lock);
        ReleaseDevice(lock);
        type = mAudioDeviceType;
    }
    if (status == kStatusStarted) doDeviceReCreate(type);
}

int32_t CKVAAudioPlayer::doDeviceReCreate(int32_t type) {
    {
        CKVAAutoLock lock(mDeviceLock);
        if (mAudioDevice) return 0;
    }
    int32_t status = ReadStatus();
    if (!IsPlayingState(status)) return 0;
    {
        CKVAAutoLock lock(mDeviceLock);
        mAudioDevice = CreateDevice(lock, type, true);
        KVA_LOG(kLogError, "CKVAAudioPlayer::doDeviceReCreate mAudioDevices mAudioDeviceType %d",
                mAudioDeviceType);
    }
    // The new device starts where the old one had got to: what it held unplayed is fed again.
    int64_t position = (status == kStatusStarted || status == kStatusPaused) ? GetCurrentPosition() : 0;
    return doDeviceOpen(position, true);
}

int32_t CKVAAudioPlayer::doDeviceOpen(int64_t positionMs, bool reopen) {
    {
        CKVAAutoLock lock(mDeviceLock);
        PauseTimeLocked(lock);  // before the stop drops the queue it counts from
        if (mAudioDevice) mAudioDevice->Stop();
    }
    AudioDescription src{};
    std::string text;
    {
        CKVAAutoLock lock(mStreamLock);
        if (!mAudioStream) {
            FailWith(CurrentSessionText(), kAudioPlayerErrorState, 0);
            return kAudioPlayerErrorState;
        }
        mAudioStream->getAudioDescription(&src);
        text = mAudioStream->getSessionIdText();
    }
    AudioDescription before = OutputDescription();
    int32_t r;
    int32_t type;
    {
        CKVAAutoLock lock(mDeviceLock);
        type = mAudioDeviceType;
        if (!mAudioDevice) mAudioDevice = CreateDevice(lock, mAudioDeviceType, false);
        r = mAudioDevice ? mAudioDevice->Open(static_cast<int32_t>(mStreamSessionId), &src) : -1;
        if (r != 0) {
            PauseTimeLocked(lock);
            ReleaseDevice(lock);
        } else {
            TakeDeviceFormatLocked(lock);
        }
    }
    if (r != 0) {
        if (type == 1) {
            PostNotifyText(kNotifyDeviceFailure, text, kDeviceOpenFailed);
        } else {
            KVA_LOG(kLogError, "CKVAAudioPlayer::doDeviceOpen mAudioDevices->Open nErr %d", r);
            FailWith(text, kErrorDeviceOpen, 0);
        }
        return r;
    }
    AudioDescription after = OutputDescription();
    {
        CKVAAutoLock lock(mStreamLock);
        if (mAudioStream) {
            mAudioStream->setOutputDescription(after);
            mAudioStream->setStepSize(mStepSize);
            if (reopen) {
                mAudioStream->seek(positionMs);
                RestartPositionAt(positionMs);
            } else if (after != before) {
                mAudioStream->seek(positionMs + 10);
            }
            mAudioStream->start();
        }
    }
    doResetFadeSource();
    mAudioProcess->setAudioDescription(after);
    if (ReadStatus() == kStatusStarted) {
        CKVAAutoLock lock(mDeviceLock);
        if (mAudioDevice && !mBuffering) {
            int32_t p = mAudioDevice->Play();
            if (p != 0) KVA_LOG(kLogError, "CKVAAudioPlayer::doDeviceOpen mAudioDevices Play %d", p);
        }
        mTimeInfo->Resume();
    }
    KVA_LOG(kLogTrace, "CKVAAudioPlayer::doDeviceOpen end nErr %d", r);
    return r;
}

// ---- device callbacks ----

// On the render thread: releasing the device here would join that thread from itself, and
// waiting for the device lock could meet a command thread that joins it. The command thread
// handles the failure.
void CKVAAudioPlayer::DeviceError(int32_t code) {
    PostCommand(kCmdDeviceError, code, static_cast<int32_t>(mDeviceGeneration.load()));
}

void CKVAAudioPlayer::doDeviceError(int32_t code, uint32_t generation) {
    int32_t type;
    {
        CKVAAutoLock lock(mDeviceLock);
        // Reported by a device that has been replaced since: nothing left to fail over.
        if (!mAudioDevice || generation != mDeviceGeneration.load()) return;
        type = mAudioDeviceType;
    }
    if (type == 1) {
        {
            CKVAAutoLock lock(mDeviceLock);
            PauseTimeLocked(lock);
            ReleaseDevice(lock);
        }
        PostNotify(kNotifyDeviceFailure, kDeviceOpenFailed);
        return;
    }
    int32_t status = ReadStatus();
    KVA_LOG(kLogDetail, "CKVAAudioPlayer::DeviceError: %d", code);
    if (status == kStatusError) return;
    int32_t t = 0;
    DeviceRecord found{};
    bool haveFound = false;
    {
        CKVAAutoLock lock(mDeviceLock);
        t = mAudioDevice->GetErrorCode();
        if (mDeviceMonitor) {
            bool enabled = mDeviceMonitor->IsEnabled();
            // An invalidated endpoint found while writing leaves only the write failure code;
            // it is still a lost device, and the list must be refreshed before choosing another.
            int32_t reported = (code == kDeviceErrInvalidated && t != -7) ? kDeviceErrorInvalidated : t;
            mDeviceMonitor->ReportDeviceError(reported);
            if (enabled) haveFound = mDeviceMonitor->GetAvailableDevice(type, &found);
        }
        if (haveFound) {
            mAudioDevice->Stop();
            KVA_LOG(kLogTrace, "CKVAAudioPlayer GetAvailableDevice: %s", Utf16ToUtf8(found.szName).c_str());
            mDeviceMonitor->SetCurrent(found.szName, found.nType);
        }
    }
    if (haveFound) {
        PostCommand(kCmdDeviceChanged, found.nType, 1);
        if (status == kStatusStarted) PostCommand(kCmdPlay, 0);
        PostNotify(kNotifyDeviceEvent, kDeviceEventFailover, t);
        return;
    }
    if (SetStatus(kStatusError) == kStatusError) return;
    PostNotify(kNotifyError, kErrorDeviceOpen, t);
    PostNotify(kNotifyStatus, kStatusError, kAudioPlayerErrorState);
}

void CKVAAudioPlayer::OnDeviceNotify(int32_t event, const char16_t*, const char16_t* deviceName) {
    if (event == 0) return;
    if (event == kDevNotifyMoved) {  // on a render thread: the device lock is not for it
        PostCommandText(kCmdDeviceMoved, Utf16ToUtf8(deviceName ? deviceName : u""),
                        static_cast<int32_t>(mDeviceGeneration.load()));
        return;
    }
    int32_t status = ReadStatus();
    bool followsDefault = false;
    int32_t type;
    {
        CKVAAutoLock lock(mDeviceLock);
        type = mAudioDeviceType;
        if (mAudioDevice) {
            followsDefault = mAudioDevice->flag != 0;
        } else if (mDeviceMonitor) {
            DeviceRecord current{};
            followsDefault = mDeviceMonitor->GetCurrentDevice(&current) && current.bDefault != 0;
        }
    }
    if (event == kDevNotifyDefaultChanged || event == kDevNotifyAddedDefault) {
        if (followsDefault) {
            PostCommand(kCmdDeviceChanged, type, kDeviceChangeDefaultMoved);
        } else {
            {
                CKVAAutoLock lock(mDeviceLock);
                if (mDeviceMonitor) mDeviceMonitor->SetCurrent(deviceName ? deviceName : u"", type);
            }
            PostCommand(kCmdDeviceChanged, type, 0);
        }
        if (status == kStatusStarted) PostCommand(kCmdPlay, 0);
    }
    if (event != kDevNotifyDefaultChanged) {
        {
            CKVAAutoLock lock(mDeviceLock);
            if (mDeviceMonitor) mDeviceMonitor->RefreshDeviceList();
        }
        int32_t p1 = event == kDevNotifyAdded ? kDeviceEventAdded
                   : event == kDevNotifyRemoved ? kDeviceEventRemoved
                   : event == kDevNotifyAddedDefault ? kDeviceEventAddedDefault : 0;
        PostNotify(kNotifyDeviceEvent, p1);
    }
}

// The stream plays on where it was moved: the device stays, and is now the one of that name
// (no longer the default-following entry).
void CKVAAudioPlayer::doDeviceMoved(const std::string& name, uint32_t generation) {
    const std::u16string wide = Utf8ToUtf16(name);
    {
        CKVAAutoLock lock(mDeviceLock);
        if (!mAudioDevice || generation != mDeviceGeneration.load() || wide.empty()) return;
        mAudioDevice->flag = 0;
        mAudioDevice->name = wide;
        mDeviceName = wide;
        if (mDeviceMonitor) mDeviceMonitor->SetCurrent(wide, mAudioDeviceType);
    }
    KVA_LOG(kLogTrace, "CKVAAudioPlayer::doDeviceMoved to %s", name.c_str());
    PostNotify(kNotifyDeviceEvent, kDeviceEventMoved);
}

// ---- device list and device values through IKVAPlayer ----

int32_t CKVAAudioPlayer::GetOutputDeviceCount() {
    CKVAAutoLock lock(mDeviceLock);
    if (!mDeviceMonitor) return 0;
    int32_t n = mDeviceMonitor->GetDeviceCount();
    if (n == 0) {
        mDeviceMonitor->RefreshDeviceList();
        n = mDeviceMonitor->GetDeviceCount();
    }
    return n;
}

bool CKVAAudioPlayer::GetOutputDeviceInfo(int32_t index, DeviceRecord* out) {
    if (!out) return false;
    CKVAAutoLock lock(mDeviceLock);
    if (!mDeviceMonitor) return false;
    if (mDeviceMonitor->GetDeviceCount() == 0) {
        mDeviceMonitor->RefreshDeviceList();
        if (mDeviceMonitor->GetDeviceCount() == 0) return false;
    }
    return mDeviceMonitor->GetDeviceAt(index, out);
}

int32_t CKVAAudioPlayer::SetOutputDevice(int32_t type, const char16_t* name) {
    std::u16string wanted = name ? name : u"";
    bool changed = true;
    {
        CKVAAutoLock lock(mDeviceLock);
        // A name that is not in the list is refused: playing on the default instead would hide
        // the mistake from the host.
        if (mDeviceMonitor && !wanted.empty()) {
            if (mDeviceMonitor->GetDeviceCount() == 0) mDeviceMonitor->RefreshDeviceList();
            bool known = false;
            DeviceRecord r{};
            for (int32_t i = 0, n = mDeviceMonitor->GetDeviceCount(); i < n && !known; ++i)
                known = mDeviceMonitor->GetDeviceAt(i, &r) && r.nType == type && wanted == r.szName;
            if (!known) return kErrorInvalidArgument;
        }
        if (mDeviceMonitor) {
            std::u16string currentName;
            int32_t currentType = 0;
            mDeviceMonitor->GetCurrent(&currentName, &currentType);
            changed = !(currentName == wanted && currentType == type);
            mDeviceMonitor->SetCurrent(wanted, type);
        } else {
            changed = !(mDeviceName == wanted && mAudioDeviceType == type);
        }
    }
    mRequestedDeviceType = type;
    if (changed) {
        int32_t status = ReadStatus();
        PostCommand(kCmdDeviceChanged, type);
        if (status == kStatusStarted) PostCommand(kCmdPlay, 0);
    }
    return 0;
}

int32_t CKVAAudioPlayer::GetOutputDeviceId(int32_t index, char* id, int32_t size, bool* isDefault) {
    std::string value;
    {
        CKVAAutoLock lock(mDeviceLock);
        if (!mDeviceMonitor) return -1;
        if (mDeviceMonitor->GetDeviceCount() == 0) mDeviceMonitor->RefreshDeviceList();
        if (!mDeviceMonitor->GetDeviceIdAt(index, &value, isDefault)) return -1;
    }
    if (id && size > 0) {
        const size_t n = std::min(value.size(), static_cast<size_t>(size - 1));
        memcpy(id, value.data(), n);
        id[n] = '\0';
    }
    return static_cast<int32_t>(std::min<size_t>(value.size(), INT32_MAX));
}

int32_t CKVAAudioPlayer::SetOutputDeviceById(int32_t type, const char* id) {
    const std::string wanted = id ? id : "";
    if (wanted.empty() || wanted == "default") return SetOutputDevice(type, nullptr);
    std::u16string name;
    {
        CKVAAutoLock lock(mDeviceLock);
        if (!mDeviceMonitor) return kErrorInvalidArgument;
        if (mDeviceMonitor->GetDeviceCount() == 0) mDeviceMonitor->RefreshDeviceList();
        if (!mDeviceMonitor->FindDeviceById(wanted, type, &name)) return kErrorInvalidArgument;
    }
    return SetOutputDevice(type, name.c_str());
}

bool CKVAAudioPlayer::GetCurrentOutputDevice(DeviceRecord* out) {
    if (!out) return false;
    CKVAAutoLock lock(mDeviceLock);
    return mDeviceMonitor && mDeviceMonitor->GetCurrentDevice(out);
}

int32_t CKVAAudioPlayer::SetDeviceSwitch(bool flag) {
    if (!IsPlayingState(ReadStatus())) return 0;
    CKVAAutoLock lock(mDeviceLock);
    if (mAudioDevice) mAudioDevice->SetSwitch(flag);
    return 0;
}

int32_t CKVAAudioPlayer::TriggerDevice() {
    if (!IsPlayingState(ReadStatus())) return 0;
    CKVAAutoLock lock(mDeviceLock);
    if (mAudioDevice) mAudioDevice->Reserved32();
    return 0;
}

double CKVAAudioPlayer::GetChannelLevel(int32_t channel) {
    if (!IsPlayingState(ReadStatus())) return -160.0;
    CKVAAutoLock lock(mDeviceLock);
    return mAudioDevice ? mAudioDevice->GetChannelLevel(channel) : -160.0;
}

double CKVAAudioPlayer::GetChannelLevelAlt(int32_t channel) { return GetChannelLevel(channel); }

double CKVAAudioPlayer::GetDeviceValueA() {
    if (!IsPlayingState(ReadStatus())) return -160.0;
    CKVAAutoLock lock(mDeviceLock);
    return mAudioDevice ? mAudioDevice->GetMaxLevelA() : -160.0;
}

double CKVAAudioPlayer::GetDeviceValueB() {
    if (!IsPlayingState(ReadStatus())) return -160.0;
    CKVAAutoLock lock(mDeviceLock);
    return mAudioDevice ? mAudioDevice->GetMaxLevelB() : -160.0;
}

}  // namespace kva_audioplayer
