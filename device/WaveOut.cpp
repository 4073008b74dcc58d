#include "device/WaveOut.h"

#include <cstdlib>
#include <vector>

#include "platform/DriverFormat.h"
#include "platform/SoundSystem.h"
#include "support/Log.h"
#include "support/TextUtil.h"

namespace kva_audioplayer {

namespace {

const AudioDevice::RenderTexts kTexts = {
    "wavOut::doRenderFunc audio_buffer_native_ is null",
    "Waveout::doRenderFunc kAudioPlayerEOS nReadSize %d",
    "Waveout::doRenderFunc kAudioPlayerErrorState, pausing",
    "Waveout::doRenderFunc nErr %d",
};

AudioDescription Describe(int32_t rate, int32_t channels, int32_t sampleFormat, int32_t bits,
                          uint64_t layout) {
    AudioDescription d;
    memset(&d, 0, sizeof(d));
    d.nTag = kAudioDescriptionTag;
    d.nSampleRate = rate;
    d.nChannel = channels;
    d.nSampleFormat = sampleFormat;
    d.nBitsPerSample = bits;
    d.nChannelLayout = layout;
    return d;
}

constexpr size_t kHeaderBytes = sizeof(WAVEHDR);

}  // namespace

WaveOut::WaveOut(const std::u16string& deviceName) {
    driver = kDriverWaveOut;
    driverName = kDriverWaveOut;
    name = deviceName;
    memset(&mWaveFormat, 0, sizeof(mWaveFormat));
    mLock.Init();
    mBufferEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

WaveOut::~WaveOut() {
    SetVolume(1.0f);
    // A render thread waiting for a free header must not find the device playing.
    SetState(kStopped);
    SetEvent(mBufferEvent);
    ClearRenderQueue();
    StopRenderThread();
    Close();
    FreeStaging();
    CloseHandle(mBufferEvent);
    mBufferEvent = nullptr;
}

int WaveOut::CheckAvailable() { return 0; }

int WaveOut::Init() {
    AudioDeviceList list;
    EnumDeviceList(list, true);
    devices.swap(list);
    return 0;
}

void WaveOut::Release() { delete this; }

// ---- enumeration ----

void WaveOut::EnumDevices(AudioDeviceList& out, bool withDefaultEntry) {
    out.clear();
    UINT count = waveOutGetNumDevs();
    if (count == 0) {
        KVA_LOG(kLogError, "WaveOut::EnumDeviceList no devices");
        return;
    }
    WAVEOUTCAPSW caps;
    if (withDefaultEntry) {
        AudioDeviceInfo entry;
        entry.driver = kDriverWaveOut;
        memset(&caps, 0, sizeof(caps));
        if (waveOutGetDevCapsW(WAVE_MAPPER, &caps, sizeof(caps)) == MMSYSERR_NOERROR)
            entry.name = caps.szPname;
        entry.index = -1;
        entry.flag = 1;
        out.push_back(entry);
    }
    // Device i is the i-th active endpoint.
    const std::vector<snd::EndpointInfo> endpoints = snd::ActiveEndpoints(snd::GetSoundSystem().get());
    for (UINT i = 0; i < count; ++i) {
        AudioDeviceInfo entry;
        entry.driver = kDriverWaveOut;
        if (i < endpoints.size()) entry.id = Utf8ToUtf16(endpoints[i].id);
        memset(&caps, 0, sizeof(caps));
        if (waveOutGetDevCapsW(i, &caps, sizeof(caps)) == MMSYSERR_NOERROR) entry.name = caps.szPname;
        entry.index = static_cast<int32_t>(i);
        out.push_back(entry);
    }
    DistinguishSameNames(out);
}

void WaveOut::EnumDeviceList(AudioDeviceList& out, bool withDefaultEntry) {
    EnumDevices(out, withDefaultEntry);
}

UINT WaveOut::GetDeviceID(const std::u16string& deviceName) {
    for (const AudioDeviceInfo& d : devices) {
        if (d.name == deviceName && d.index != -1) return static_cast<UINT>(d.index);
        if (d.name == deviceName) break;
    }
    DWORD id = WAVE_MAPPER, flags = 0;
    MMRESULT r = waveOutMessage(reinterpret_cast<HWAVEOUT>(static_cast<uintptr_t>(WAVE_MAPPER)),
                                DRVM_MAPPER_PREFERRED_GET, reinterpret_cast<DWORD_PTR>(&id),
                                reinterpret_cast<DWORD_PTR>(&flags));
    if (r != MMSYSERR_NOERROR) {
        KVA_LOG(kLogError, "WaveOut::GetDeviceID failed to waveOutMessage: %u", r);
        return WAVE_MAPPER;
    }
    return id;
}

// ---- format ----

int32_t WaveOut::ComputeStepSize(const AudioDescription& f, int32_t periodMs) {
    int32_t unit = f.nChannel * 1024;
    int32_t bytes = (f.nBitsPerSample / 8) * (f.nSampleRate * periodMs / 1000) * f.nChannel;
    if (unit <= 0) return bytes;
    int32_t count = bytes / unit, mod = bytes % unit;
    return unit * count + (mod != 0 ? unit : 0);
}

MMRESULT WaveOut::QueryFormat(UINT id) {
    return waveOutOpen(nullptr, id, &mWaveFormat.Format, 0, 0, WAVE_FORMAT_QUERY);
}

MMRESULT WaveOut::TryAudioFormatWaveopen(UINT id, AudioDescription* probed) {
    WAVEOUTCAPSW caps;
    memset(&caps, 0, sizeof(caps));
    // Nothing probed answers the rejection that brought us here.
    MMRESULT last = WAVERR_BADFORMAT;
    MMRESULT r = waveOutGetDevCapsW(id, &caps, sizeof(caps));
    if (r != MMSYSERR_NOERROR) {
        KVA_LOG(kLogError, "WaveOut::TryAudioFormatWaveopen failed to waveOutGetDevCaps: %u", r);
        last = r;
    }
    auto probe = [&](int32_t rate) {
        AudioDescription d = Describe(rate, 2, 1, 16, 0x3);
        mWaveFormat = WaveFormatFromDescription(d);
        last = QueryFormat(id);
        if (last == MMSYSERR_NOERROR) *probed = d;
        return last == MMSYSERR_NOERROR;
    };
    bool ok = false;
    if (caps.dwFormats & WAVE_FORMAT_48S16) ok = probe(48000);
    if (!ok) {
        KVA_LOG(kLogError, "WaveOut::TryAudioFormatWaveopen waveOutOpen WAVE_FORMAT_48S16 fail: %u",
                last);
        if (caps.dwFormats & WAVE_FORMAT_44S16) ok = probe(44100);
    }
    if (!ok) {
        if (caps.dwFormats & WAVE_FORMAT_96S16) ok = probe(96000);
        if (!ok) {
            KVA_LOG(kLogError,
                    "WaveOut::TryAudioFormatWaveopen waveOutOpen WAVE_FORMAT_96S16 fail: %u", last);
            return last;
        }
    }
    KVA_LOG(kLogDetail, "WaveOut::TryAudioFormatWaveopen waveOutOpen Success %d",
            probed->nSampleRate);
    return MMSYSERR_NOERROR;
}

// ---- Open ----

int WaveOut::Open(int32_t sessionId, const AudioDescription* format) {
    if (!format) return SetErrorCode(kDeviceErrorOpen);
    bool same;
    {
        CKVAAutoLock lock(mLock);
        same = IsSameFormat(*format) && mHandle && GetErrorCode() == 0;
    }
    if (same) {
        KVA_LOG(kLogTrace, "WaveOut(%d) same: Opened", sessionId);
        DoFlush();
        return 0;
    }
    ClearRenderQueue();
    StopRenderThread();
    Close();
    FreeStaging();
    // A reopen starts clean: an earlier failure would otherwise keep the same-format shortcut
    // closed for good.
    SetErrorCode(0);
    SetSystemErrorCode(0);

    CKVAAutoLock lock(mLock);
    UINT id = GetDeviceID(name);
    mRequestedFormat = *format;
    AudioDescription working = *format;
    mWaveFormat = WaveFormatFromDescription(working);
    MMRESULT r = QueryFormat(id);
    if (r != MMSYSERR_NOERROR) {
        working.nSampleRate = 44100;
        working.nChannel = 2;
        working.nChannelLayout = 0x3;
        mWaveFormat = WaveFormatFromDescription(working);
        r = QueryFormat(id);
        if (r == WAVERR_BADFORMAT) {
            AudioDescription probed;
            r = TryAudioFormatWaveopen(id, &probed);
            // The device plays what was probed, so that is what it reports.
            if (r == MMSYSERR_NOERROR) working = probed;
        }
    }
    if (r != MMSYSERR_NOERROR) {
        SetSystemErrorCode(static_cast<int32_t>(r));
        return SetErrorCode(kDeviceErrorOpenFormat);
    }
    working.nSampleFormat = PackedSampleFormat(working.nSampleFormat);
    mActualFormat = working;

    int32_t step = ComputeStepSize(mActualFormat, kPeriodMs);
    {
        int32_t unit = mActualFormat.nChannel * 1024;
        int32_t bytes = (mActualFormat.nBitsPerSample / 8) *
                        (mActualFormat.nSampleRate * kPeriodMs / 1000) * mActualFormat.nChannel;
        KVA_LOG(kLogTrace, "Waveout::Open mod:%d, count:%d, stepSize:%d",
                unit ? bytes % unit : 0, unit ? bytes / unit : 0, step);
    }
    mStepSize = step;
    mHeaderBufferSize = 2 * static_cast<int64_t>(step);

    HWAVEOUT handle = nullptr;
    r = waveOutOpen(&handle, id, &mWaveFormat.Format,
                    reinterpret_cast<DWORD_PTR>(&WaveOut::DriverCallback),
                    reinterpret_cast<DWORD_PTR>(mBufferEvent), CALLBACK_FUNCTION);
    if (r != MMSYSERR_NOERROR) {
        SetSystemErrorCode(static_cast<int32_t>(r));
        return SetErrorCode(kDeviceErrorOpen);
    }
    mHandle = handle;
    mWrittenFrames = 0;
    mDeviceId = id;
    IKvaStreamRoute* route = nullptr;
    if (waveOutMessage(handle, DRVM_KVA_STREAM_ROUTE_GET, reinterpret_cast<DWORD_PTR>(&route), 0) ==
        MMSYSERR_NOERROR)
        SetRoute(route);
    mHeaderCount = kHeaderCount;
    int32_t prepared = PrepareHeaders();
    // Without its headers the device cannot play: that is an open failure, not a success.
    if (prepared != 0) return prepared;
    if (!HasRenderThread()) StartRenderThread("WaveOutRenderThread");
    return 0;
}

int32_t WaveOut::PrepareHeaders() {
    UnprepareHeaders();
    const size_t blockBytes = (static_cast<size_t>(mHeaderBufferSize) + 63) & ~size_t(15);
    int32_t made = 0;
    for (int32_t i = 0; i < mHeaderCount && i < kHeaderCount; ++i) {
        auto* block = static_cast<uint8_t*>(malloc(blockBytes));
        if (!block) break;
        auto* h = reinterpret_cast<WAVEHDR*>(block);
        memset(h, 0, kHeaderBytes);
        h->lpData = reinterpret_cast<LPSTR>(block + kHeaderBytes);
        h->dwBufferLength = static_cast<DWORD>(mHeaderBufferSize);
        h->dwBytesRecorded = 0;
        h->dwFlags = WHDR_DONE;
        mHeaders[i] = h;
        ++made;
        MMRESULT r = waveOutPrepareHeader(mHandle, h, kHeaderBytes);
        if (r != MMSYSERR_NOERROR) {
            SetSystemErrorCode(static_cast<int32_t>(r));
            return SetErrorCode(-4);
        }
        SetWaveHeaderFlags(h, WaveHeaderFlags(h) | WHDR_DONE);
    }
    if (made < mHeaderCount) return SetErrorCode(-4);
    return 0;
}

void WaveOut::UnprepareHeaders() {
    for (WAVEHDR*& h : mHeaders) {
        if (!h) continue;
        if (mHandle) waveOutUnprepareHeader(mHandle, h, kHeaderBytes);
        free(h);
        h = nullptr;
    }
}

void WaveOut::DriverCallback(HWAVEOUT, UINT, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
    SetEvent(reinterpret_cast<HANDLE>(instance));
}

// ---- state ----

int WaveOut::Play() {
    MMRESULT r = MMSYSERR_NOERROR;
    {
        CKVAAutoLock lock(mLock);
        if (mHandle) r = waveOutRestart(mHandle);
    }
    if (r != MMSYSERR_NOERROR) {
        SetSystemErrorCode(static_cast<int32_t>(r));
        SetErrorCode(kDeviceErrorWrite);
        Stop();
        return kDeviceErrorWrite;
    }
    // Playing before the period is posted, or the render thread could find the device idle
    // and end the loop before it began.
    SetState(kPlaying);
    PostRender(kMsgRenderPeriod, 0);
    return 0;
}

int WaveOut::Pause() {
    bool paused = false;
    {
        CKVAAutoLock lock(mLock);
        if (mHandle) {
            waveOutPause(mHandle);
            paused = true;
        }
    }
    if (paused) GetPlayedTime();
    SetState(kPaused);
    return 0;
}

int WaveOut::Stop() {
    ClearRenderQueue();
    CKVAAutoLock lock(mLock);
    ResetLocked();
    return 0;
}

void WaveOut::ResetLocked() {
    if (mHandle) {
        MMRESULT r = waveOutReset(mHandle);
        mWrittenFrames = 0;  // the position restarts with the reset
        if (r != MMSYSERR_NOERROR)
            KVA_LOG(kLogError, "WaveOut::Stop failed to waveOutReset: %ld", static_cast<long>(r));
        else
            KVA_LOG(kLogDetail, "WaveOut::Stop:%p", static_cast<void*>(mHandle));
    }
}

DWORD WaveOut::VolumeValue(float v) {
    if (v <= 0.0f) return 0;
    if (v >= 1.0f) return 0xFFFFFFFFu;
    DWORD x = static_cast<DWORD>(v * 65535.0f) & 0xFFFF;
    return x | (x << 16);
}

int WaveOut::SetVolumeLevel(float level) { return SetVolume(level); }

int WaveOut::SetVolume(float volume) {
    DWORD value = VolumeValue(volume);
    CKVAAutoLock lock(mLock);
    if (mHandle) {
        MMRESULT r = waveOutSetVolume(mHandle, value);
        DWORD readBack = 0;
        waveOutGetVolume(mHandle, &readBack);
        if (r != MMSYSERR_NOERROR)
            KVA_LOG(kLogError, "WaveOut::SetVolume failed to waveOutSetVolume: %ld",
                    static_cast<long>(r));
    }
    return 0;
}

int WaveOut::Close() {
    ClearRenderQueue();
    // Reset and unprepare under one lock: a header written in between would still be queued
    // in the driver when its memory is freed.
    CKVAAutoLock lock(mLock);
    ResetLocked();
    UnprepareHeaders();
    if (mHandle) {
        SetRoute(nullptr);
        waveOutClose(mHandle);
        KVA_LOG(kLogDetail, "WaveOut::Close:%p", static_cast<void*>(mHandle));
        mHandle = nullptr;
    }
    return 0;
}

int64_t WaveOut::GetPlayedTime() {
    if (GetState() == kStopped) return 0;
    CKVAAutoLock lock(mLock);
    if (!mHandle) return mPlayedTime;
    MMTIME t;
    memset(&t, 0, sizeof(t));
    t.wType = TIME_BYTES;
    if (waveOutGetPosition(mHandle, &t, sizeof(t)) != MMSYSERR_NOERROR) return mPlayedTime;
    const AudioDescription& f = mActualFormat;
    int64_t frameBytes = static_cast<int64_t>(f.nBitsPerSample) * f.nChannel / 8;
    if (t.wType == TIME_BYTES) {
        if (frameBytes > 0) mPositionSamples = static_cast<int32_t>(t.u.cb / frameBytes);
    } else if (t.wType == TIME_SAMPLES) {
        mPositionSamples = static_cast<int32_t>(t.u.sample);
    }
    if (f.nSampleRate > 0)
        mPlayedTime = static_cast<int64_t>(static_cast<uint32_t>(mPositionSamples)) * 1000000 /
                      f.nSampleRate;
    return mPlayedTime;
}

int WaveOut::Flush() {
    PostRender(kMsgRenderFlush, 0);
    return 0;
}

void WaveOut::RequestFlush() { PostRender(kMsgRenderFlush, 0); }
int WaveOut::GetStepSize() { return mStepSize; }
int WaveOut::GetDeviceType() { return kDeviceTypeWaveOut; }
int WaveOut::Query28() { return 0; }
int32_t WaveOut::Query0A() { return 0; }
int32_t WaveOut::Query0B() { return 0; }
int32_t WaveOut::Query0C() { return 0; }
int32_t WaveOut::Query0D() { return 0; }

bool WaveOut::HasQueuedBuffers() {
    CKVAAutoLock lock(mLock);
    int64_t done = 0;
    for (WAVEHDR* h : mHeaders) {
        if (h && (WaveHeaderFlags(h) & WHDR_DONE)) ++done;
    }
    return done < mHeaderCount;
}

// From the device's position, not its headers: a header is done only once all of it (a whole
// render step) has played. The position still answers once the device is lost.
int64_t WaveOut::QueuedMs() {
    CKVAAutoLock lock(mLock);
    const uint32_t rate = mWaveFormat.Format.nSamplesPerSec;
    MMTIME t;
    memset(&t, 0, sizeof(t));
    t.wType = TIME_SAMPLES;
    if (!mHandle || rate == 0 || waveOutGetPosition(mHandle, &t, sizeof(t)) != MMSYSERR_NOERROR ||
        t.wType != TIME_SAMPLES)
        return 0;
    const uint32_t queued = mWrittenFrames - static_cast<uint32_t>(t.u.sample);  // both wrap
    return queued > rate * 60u ? 0 : int64_t(queued) * 1000 / rate;  // a position ahead: none
}

// ---- render thread ----

AudioDevice::RenderPlan WaveOut::GetRenderPlan() {
    RenderPlan plan;
    int32_t step = mStepSize;
    plan.bufferBytes = 2 * step;
    plan.askBytes = step;
    plan.stampPreset = -1;
    plan.waitFirst = false;
    plan.fillLock = nullptr;
    return plan;
}

const AudioDevice::RenderTexts& WaveOut::GetRenderTexts() { return kTexts; }

int32_t WaveOut::WaitPlay() {
    for (;;) {
        {
            CKVAAutoLock lock(mLock);
            if (!mHandle) {
                SetSystemErrorCode(-1);
                SetErrorCode(kDeviceErrorWrite);
                return 3;
            }
            for (WAVEHDR* h : mHeaders) {
                if (h && (WaveHeaderFlags(h) & WHDR_DONE)) return 0;
            }
        }
        if (GetState() != kPlaying) return 0;
        WaitForSingleObject(mBufferEvent, 200);
    }
}

int32_t WaveOut::Write(const uint8_t* pcm, int32_t bytes, double) {
    CKVAAutoLock lock(mLock);
    WAVEHDR* h = nullptr;
    for (WAVEHDR* c : mHeaders) {
        if (c && (WaveHeaderFlags(c) & WHDR_DONE)) {
            h = c;
            break;
        }
    }
    if (!h || !mHandle) {
        KVA_LOG(kLogTrace, "Waveout::Write no buffer");
        return 0;
    }
    int64_t n = bytes < mHeaderBufferSize ? bytes : mHeaderBufferSize;
    if (n < 0) n = 0;
    h->dwBufferLength = static_cast<DWORD>(n);
    if (n > 0) memcpy(h->lpData, pcm, static_cast<size_t>(n));
    SetWaveHeaderFlags(h, WHDR_PREPARED);
    MMRESULT r = waveOutWrite(mHandle, h, kHeaderBytes);
    if (r == MMSYSERR_NOERROR) {
        const uint32_t block = mWaveFormat.Format.nBlockAlign;
        if (block) mWrittenFrames += static_cast<uint32_t>(n / block);
        return 0;
    }
    // The header did not go out: it is free again.
    SetWaveHeaderFlags(h, WHDR_PREPARED | WHDR_DONE);
    if (r == MMSYSERR_NODRIVER) {
        SetSystemErrorCode(static_cast<int32_t>(r));
        SetErrorCode(kDeviceErrorInvalidated);
        return 1;
    }
    mPlayedTime = 0;
    SetSystemErrorCode(static_cast<int32_t>(r));
    SetErrorCode(kDeviceErrorWrite);
    return 2;
}

bool WaveOut::RenderWrite(const uint8_t* pcm, int32_t bytes) {
    if (Write(pcm, bytes, GetRate()) != 0) {
        ReportDeviceError(kDeviceErrWait);
        return false;
    }
    return true;
}

int32_t WaveOut::DoFlush() {
    bool reset = false;
    {
        CKVAAutoLock lock(mLock);
        if (mHandle) reset = waveOutReset(mHandle) == MMSYSERR_NOERROR;
        mWrittenFrames = 0;
        mPositionA = 0;
        mPositionB = 0;
    }
    // The reset leaves the device running.
    if (reset && GetState() == kPaused) Pause();
    return 0;
}

}  // namespace kva_audioplayer
