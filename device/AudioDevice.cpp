#include "device/AudioDevice.h"

#include <cstdlib>

#include "KvaAudioPlayer.h"
#include "device/DirectSound.h"
#include "device/Wasapi.h"
#include "device/WaveOut.h"
#include "platform/SoundSystem.h"
#include "support/Log.h"
#include "support/TextUtil.h"

namespace kva_audioplayer {

namespace {
constexpr int32_t kTailMs = 50;  // silence written after the last data
}  // namespace

const char16_t* const kDriverWaveOut = u"WaveOut";
const char16_t* const kDriverWasapi = u"Wasapi";
const char16_t* const kDriverDirectSound = u"DirectSound";

int32_t DeviceTypeFromDriverName(const char16_t* driver) {
    if (!driver) return kDeviceTypeWasapi;
    std::u16string d(driver);
    if (d == kDriverWaveOut) return kDeviceTypeWaveOut;
    if (d == kDriverDirectSound) return kDeviceTypeDirectSound;
    return kDeviceTypeWasapi;
}

const char16_t* DriverNameFromDeviceType(int32_t type) {
    if (type == kDeviceTypeWaveOut) return kDriverWaveOut;
    if (type == kDeviceTypeDirectSound) return kDriverDirectSound;
    return kDriverWasapi;
}

// ---- wave formats ----

namespace {
uint32_t MaskForChannels(int32_t channels) {
    static const uint32_t kMasks[] = {0x0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x60F, 0x13F, 0x63F};
    if (channels <= 0) return 0;
    return channels <= 8 ? kMasks[channels] : 0x63F;
}

// Lower case for the scripts device names come in; other characters stay.
char16_t LowerChar(char16_t c) {
    if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 32);
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
        (c >= 0x410 && c <= 0x42F))
        return static_cast<char16_t>(c + 32);
    if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 80);
    return c;
}

std::u16string Lower(const std::u16string& s) {
    std::u16string out(s);
    for (char16_t& c : out) c = LowerChar(c);
    return out;
}
}  // namespace

WAVEFORMATEXTENSIBLE WaveFormatFromDescription(const AudioDescription& des) {
    WAVEFORMATEXTENSIBLE w;
    memset(&w, 0, sizeof(w));
    w.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    w.Format.nChannels = static_cast<WORD>(des.nChannel);
    w.Format.nSamplesPerSec = static_cast<DWORD>(des.nSampleRate);
    w.Format.wBitsPerSample = static_cast<WORD>(des.nBitsPerSample);
    w.Samples.wValidBitsPerSample = static_cast<WORD>(des.nBitsPerSample);
    w.Format.cbSize = 22;
    w.Format.nBlockAlign = static_cast<WORD>(des.nBitsPerSample * des.nChannel / 8);
    w.Format.nAvgBytesPerSec = w.Format.nBlockAlign * w.Format.nSamplesPerSec;
    w.SubFormat = IsFloatSampleFormat(des.nSampleFormat) ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT
                                                         : KSDATAFORMAT_SUBTYPE_PCM;
    w.dwChannelMask = des.nChannelLayout ? static_cast<DWORD>(des.nChannelLayout)
                                         : MaskForChannels(des.nChannel);
    return w;
}

AudioDescription DescriptionFromWaveFormat(const WAVEFORMATEX* format) {
    AudioDescription d;
    memset(&d, 0, sizeof(d));
    d.nTag = kAudioDescriptionTag;
    if (!format) {
        d.nSampleFormat = kSampleFormatNone;
        return d;
    }
    d.nSampleRate = static_cast<int32_t>(format->nSamplesPerSec);
    d.nChannel = format->nChannels;
    d.nBitsPerSample = format->wBitsPerSample;
    int32_t bytes = format->wBitsPerSample / 8;
    bool isFloat = false, isPcm = false;
    if (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE && format->cbSize >= 22) {
        const auto* x = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(format);
        d.nChannelLayout = x->dwChannelMask;
        GUID sub = SubFormatOf(*x);
        isFloat = sub == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
        isPcm = sub == KSDATAFORMAT_SUBTYPE_PCM;
    } else {
        // A plain WAVEFORMATEX has no mask; its tag names the subtype.
        isFloat = format->wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
        isPcm = format->wFormatTag == WAVE_FORMAT_PCM;
    }
    if (isPcm)
        d.nSampleFormat = bytes == 1   ? kSampleFormatU8
                          : bytes == 2 ? kSampleFormatS16
                          : bytes == 4 ? kSampleFormatS32
                                       : kSampleFormatNone;
    else if (isFloat)
        d.nSampleFormat = bytes == 4 ? kSampleFormatFlt : kSampleFormatDbl;
    else
        d.nSampleFormat = kSampleFormatNone;
    return d;
}

// ---- AudioDevice ----

AudioDevice::AudioDevice() {
    memset(&mRequestedFormat, 0, sizeof(mRequestedFormat));
    memset(&mActualFormat, 0, sizeof(mActualFormat));
    mStatsLock.Init();
}

AudioDevice::~AudioDevice() {
    StopRenderThread();
    FreeStaging();
    SetRoute(nullptr);
}

void AudioDevice::SetObserver(IKVADeviceObserver* observer) { mObserver.store(observer); }
void AudioDevice::Reserved11() {}
void AudioDevice::SetRate(float rate) { mRate.store(rate); }

void AudioDevice::GetOutputFormat(AudioDescription* actual, bool* changed) {
    if (actual) *actual = mActualFormat;
    if (changed) {
        *changed = !(mActualFormat.nSampleRate == mRequestedFormat.nSampleRate &&
                     mActualFormat.nChannel == mRequestedFormat.nChannel &&
                     mActualFormat.nSampleFormat == mRequestedFormat.nSampleFormat);
    }
}

void AudioDevice::GetRequestedFormat(AudioDescription* requested) {
    if (requested) *requested = mRequestedFormat;
}

int AudioDevice::GetState() { return mState.load(); }
int AudioDevice::GetErrorCode() { return mErrorCode.load(); }
int AudioDevice::GetSystemErrorCode() { return mSystemErrorCode.load(); }
void AudioDevice::SetOptionA(int32_t value) { mOptionA = value; }
void AudioDevice::SetOptionB(int32_t value) { mOptionB = value; }
int64_t AudioDevice::GetReserved() { return 0; }

uint64_t AudioDevice::GetChannelFromLayout(uint64_t layout, int index) {
    if (index < 0) return 0;
    for (int bit = 0; bit < 64; ++bit) {
        uint64_t m = 1ull << bit;
        if ((layout & m) && index-- == 0) return m;
    }
    return 0;
}

int AudioDevice::GetChannelCount(uint64_t layout) { return __builtin_popcountll(layout); }

void AudioDevice::SetAudioSessionTag(const char*) {}
void AudioDevice::SetSwitch(bool) {}
void AudioDevice::Reserved32() {}
float AudioDevice::GetChannelLevel(int) { return -160.0f; }
float AudioDevice::GetMinLevel() { return -160.0f; }
float AudioDevice::GetMaxLevelA() { return 1.0f; }
float AudioDevice::GetMaxLevelB() { return 1.0f; }
void AudioDevice::SetSystemErrorCode(int32_t code) { mSystemErrorCode.store(code); }
void AudioDevice::SetState(int32_t state) { mState.store(state); }
int AudioDevice::SetErrorCode(int32_t code) {
    mErrorCode.store(code);
    return code;
}

bool AudioDevice::FindHandsFreeCounterpart(const std::u16string& name, bool looseMatch,
                                           const AudioDeviceList&, AudioDeviceInfo* out) {
    static const std::u16string kHandsFree = u"hands-free";
    std::u16string lower = Lower(name);
    size_t at = lower.find(kHandsFree);
    if (at == std::u16string::npos) return false;
    std::u16string base = lower.substr(0, at);
    if (base.empty()) return false;
    std::u16string tail;
    if (looseMatch) {
        size_t paren = base.rfind(u'(');
        if (paren != std::u16string::npos) tail = base.substr(paren);
    }
    const AudioDeviceInfo* candidate = nullptr;
    for (const AudioDeviceInfo& d : devices) {
        const std::u16string& field = looseMatch ? d.name : d.description;
        if (field == name) continue;
        std::u16string f = Lower(field);
        if (f.compare(0, base.size(), base) == 0) {
            if (out) *out = d;
            return true;
        }
        if (looseMatch && !tail.empty() && f.find(tail) != std::u16string::npos) candidate = &d;
    }
    if (!candidate) return false;
    if (out) *out = *candidate;
    return true;
}

bool AudioDevice::IsSameFormat(const AudioDescription& format) {
    return mRequestedFormat.nChannelLayout == format.nChannelLayout &&
           mRequestedFormat.nChannel == format.nChannel &&
           mRequestedFormat.nSampleRate == format.nSampleRate &&
           mRequestedFormat.nSampleFormat == format.nSampleFormat;
}

int64_t AudioDevice::UnheardMs() {
    std::lock_guard<std::mutex> lock(mUnheardLock);
    const AudioDescription& f = mActualFormat;
    const int64_t perSecond = int64_t(f.nBitsPerSample / 8) * f.nChannel * f.nSampleRate;
    const int64_t unwritten = perSecond > 0 ? mUnwrittenBytes.load() * 1000 / perSecond : 0;
    return QueuedMs() + unwritten;
}

AudioDevice::RenderStats AudioDevice::GetRenderStats() {
    CKVAAutoLock lock(mStatsLock);
    return mStats;
}

// ---- render thread ----

void AudioDevice::RenderHandler(void* user, const ThreadMsgPtr& msg) {
    static_cast<AudioDevice*>(user)->DoRenderFunc(msg);
}

void AudioDevice::RenderStopHook(void* user) { static_cast<AudioDevice*>(user)->OnRenderThreadExit(); }

bool AudioDevice::StartRenderThread(const char* name) {
    if (mRenderThread) return false;
    mRenderThread = new CKVAMsgThread;
    mRenderThread->Start(name, this, &AudioDevice::RenderHandler, nullptr,
                         &AudioDevice::RenderStopHook);
    return true;
}

void AudioDevice::StopRenderThread() {
    if (!mRenderThread) return;
    mRenderThread->Clear();
    mRenderThread->Stop();
    delete mRenderThread;
    mRenderThread = nullptr;
}

void AudioDevice::PostRender(int32_t id, int32_t delayMs) {
    if (mRenderThread) mRenderThread->Post(MakeMsg(id, std::string()), delayMs);
}

void AudioDevice::ClearRenderQueue() {
    if (mRenderThread) mRenderThread->Clear();
    mDropHeld = true;
}

void AudioDevice::FreeStaging() {
    free(mStaging);
    mStaging = nullptr;
    mStagingCapacity = 0;
}

void AudioDevice::ReportDeviceError(int32_t code) {
    IKVADeviceObserver* observer = mObserver.load();
    if (observer) observer->DeviceError(code);
}

void AudioDevice::SetRoute(IKvaStreamRoute* route) {
    const UINT32 moves = route ? route->GetMoveCount() : 0;
    IKvaStreamRoute* old;
    {
        std::lock_guard<std::mutex> lock(mRouteLock);
        old = mRoute;
        mRoute = route;
        mSeenMoves = moves;
    }
    if (old) old->Release();
}

// Costs a lock no one holds long and an atomic read unless the stream moved.
void AudioDevice::CheckRoute() {
    IKvaStreamRoute* route;
    {
        std::lock_guard<std::mutex> lock(mRouteLock);
        if (!mRoute) return;
        const UINT32 moves = mRoute->GetMoveCount();
        if (moves == mSeenMoves) return;
        mSeenMoves = moves;
        route = mRoute;
        route->AddRef();
    }
    LPWSTR id = nullptr;
    const bool known = SUCCEEDED(route->GetEndpointId(&id)) && id;
    route->Release();
    if (!known) return;
    const std::u16string endpoint(id);
    CoTaskMemFree(id);
    AudioDeviceList list;
    ListDevices(list);
    for (const AudioDeviceInfo& d : list) {
        if (d.flag || d.id != endpoint) continue;
        KVA_LOG(kLogDetail, "AudioDevice: the stream was moved to %s", Utf16ToUtf8(d.name).c_str());
        IKVADeviceObserver* observer = mObserver.load();
        if (observer) observer->OnDeviceNotify(kDevNotifyMoved, d.id.c_str(), d.name.c_str());
        return;
    }
}

void AudioDevice::OnRenderWaitFailed(int32_t) { ReportDeviceError(kDeviceErrWait); }

void AudioDevice::DoRenderFunc(const ThreadMsgPtr& msg) {
    if (!mFirstMessageDone.exchange(true)) OnRenderFirstMessage();
    if (msg->mId == kMsgRenderFlush) {
        mHeldBytes = 0;
        mUnwrittenBytes = 0;
        FlushWorker();
    } else if (msg->mId == kMsgRenderPeriod) {
        RenderPeriod();
    }
}

void AudioDevice::RenderPeriod() {
    const RenderPlan plan = GetRenderPlan();
    const RenderTexts& texts = GetRenderTexts();

    auto waitForRoom = [&]() -> bool {
        int32_t w = RenderWait();
        if (w == 0) return true;
        if (w == 1) {
            OnRenderWaitNotYet();
            return false;
        }
        SetSystemErrorCode(w);
        OnRenderWaitFailed(w);
        return false;
    };

    if (plan.waitFirst && !waitForRoom()) return;

    if (mDropHeld.exchange(false)) {
        // A stop or a new stream: neither a held period nor the last track's silence tail is
        // owed any more (a tail still running would take the next Play's periods, then rest
        // without ever asking the new track for data).
        mHeldBytes = 0;
        mUnwrittenBytes = 0;
        mTailLeft = 0;
        mTailRunning = false;
    }
    int32_t status = 0;
    int32_t size = 0;
    // After the last data, some silence: a server may hold back the last frames of a stream
    // that stops short of its period. Written a period at a time without asking for data.
    auto silence = [&] {
        size = plan.askBytes > 0 ? plan.askBytes : mStagingCapacity;
        if (size > mStagingCapacity) size = mStagingCapacity;
        if (size > mTailLeft) size = mTailLeft;
        mTailLeft -= size;
        const bool unsigned8 = mActualFormat.nSampleFormat == kSampleFormatU8;
        memset(mStaging, unsigned8 ? 0x80 : 0, static_cast<size_t>(size));
    };
    bool tail = mTailRunning && mTailLeft > 0 && mStaging;
    if (tail) {
        silence();
    } else if (mHeldBytes > 0 && mStaging) {
        // A period filled just before a pause: it belongs to the stream and is written first.
        size = mHeldBytes;
        mHeldBytes = 0;
    } else {
        // Measured before the fill: the block is heard once what the device holds now is.
        const int64_t queued = QueuedMs();
        // Before the fill lock, as for the write; the player moves its fill end inside the pull.
        std::lock_guard<std::mutex> unheard(mUnheardLock);
        CKVAAutoLock lock(plan.fillLock);
        if (mStagingCapacity < plan.bufferBytes || !mStaging) {
            FreeStaging();
            int32_t bytes = plan.bufferBytes > 8192 ? plan.bufferBytes : 8192;
            mStaging = static_cast<uint8_t*>(malloc(static_cast<size_t>(bytes)));
            if (!mStaging) {
                ReportDeviceError(kDeviceErrNoBuffer);
                KVA_LOG(kLogError, "%s", texts.noBuffer);
                return;
            }
            mStagingCapacity = bytes;
        }
        IKVADeviceObserver* observer = mObserver.load();
        if (!observer) return;
        size = plan.askBytes > 0 ? plan.askBytes : mStagingCapacity;
        if (size > mStagingCapacity) size = mStagingCapacity;
        int64_t stamp = plan.stampPreset;
        status = observer->BufferFill(mStaging, &size, &stamp, queued);
        mUnwrittenBytes = size > 0 && (status >= 0 || status == -kAudioPlayerEOS) ? size : 0;
        if (status >= 0 && size >= 1) {
            CKVAAutoLock statsLock(mStatsLock);
            int64_t now = MonotonicMs();
            mStats.lastTime = now;
            mStats.lastStamp = stamp;
            if (mStats.firstTime < 0) {
                mStats.firstTime = now;
                mStats.firstStamp = stamp;
            }
            ++mStats.fills;
        }
    }

    if (status < 0) {
        if (status == -kAudioPlayerEOS) {
            if (texts.endOfStream) KVA_LOG(kLogTrace, texts.endOfStream, size);
            if (size < 1) {
                if (mTailLeft <= 0) return;  // rests until the next Play
                tail = mTailRunning = true;
                silence();
            }
        } else if (status == -kAudioPlayerErrorState) {
            KVA_LOG(kLogTrace, "%s", texts.errorState);
            Pause();
            return;
        } else if (status == -kStreamNoData) {
            if (mState.load() == kPlaying) PostRender(kMsgRenderPeriod, 2);
            return;
        } else {
            if (!OnRenderStatus(status) && texts.otherStatus)
                KVA_LOG(kLogTrace, texts.otherStatus, status);
            return;
        }
    }
    if (size > mStagingCapacity) size = mStagingCapacity;
    if (size < 0) size = 0;

    if (!plan.waitFirst && !waitForRoom()) {
        if (mState.load() != kPlaying && size > 0) mHeldBytes = size;
        return;
    }
    if (mState.load() != kPlaying) {
        // Paused between the fill and the write: the stream has moved on, so keep the bytes.
        if (size > 0) mHeldBytes = size;
        return;
    }
    {
        snd::DeviceFillScope fill(tail);
        std::lock_guard<std::mutex> unheard(mUnheardLock);
        if (!RenderWrite(mStaging, size)) return;  // not heard: it stays unwritten
        mUnwrittenBytes = 0;
    }
    CheckRoute();
    if (tail) {
        mTailRunning = mTailLeft > 0;
        if (!mTailRunning) return;  // rests until the next Play
    } else if (size > 0) {
        const AudioDescription& f = mActualFormat;
        const int32_t block = f.nChannel * f.nBitsPerSample / 8;
        mTailLeft = block > 0 ? f.nSampleRate * kTailMs / 1000 * block : 0;
    }
    if (mState.load() == kPlaying) PostRender(kMsgRenderPeriod, 0);
}

void DistinguishSameNames(AudioDeviceList& list) {
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i].flag || list[i].id.empty()) continue;
        for (size_t j = 0; j < i; ++j) {
            if (list[j].flag || list[j].name != list[i].name) continue;
            list[i].name += u" (" + list[i].id + u")";
            break;
        }
    }
}

// ---- factory ----

AudioDevice* CreateAudioDevice(int32_t type, const DeviceRecord* info) {
    std::u16string name;
    if (info) name = info->szName;
    AudioDevice* device = nullptr;
    if (type == kDeviceTypeWaveOut) device = new WaveOut(name);
    else if (type == kDeviceTypeDirectSound) device = new DirectSound(name);
    else device = new Wasapi(name);
    if (info) device->flag = info->bDefault;
    device->Init();
    return device;
}

}  // namespace kva_audioplayer
