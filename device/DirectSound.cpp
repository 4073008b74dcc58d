#include "device/DirectSound.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <utility>

#include "platform/SoundSystem.h"
#include "support/Log.h"
#include "support/TextUtil.h"

namespace kva_audioplayer {

namespace {

const AudioDevice::RenderTexts kTexts = {
    "DS::doRenderFunc audio_buffer_native_ is null",
    nullptr,
    "DS::doRenderFunc kAudioPlayerErrorState, pausing",
    nullptr,
};

constexpr DWORD kBufferFlags = DSBCAPS_GETCURRENTPOSITION2 | DSBCAPS_GLOBALFOCUS |
                               DSBCAPS_CTRLPOSITIONNOTIFY | DSBCAPS_CTRLVOLUME |
                               DSBCAPS_LOCSOFTWARE;
static_assert(kBufferFlags == 0x18188, "buffer flags");
constexpr int kMaxRestores = 4;

// The process-wide table the loader fills.
struct Library {
    HMODULE module = nullptr;
    DirectSoundCreateFn create = nullptr;
    DirectSoundEnumerateWFn enumerate = nullptr;
    GetDeviceIDFn getDeviceId = nullptr;
    bool attempted = false;
};

std::mutex& LibraryMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}
Library& LibraryTable() {
    static Library* t = new Library;
    return *t;
}

Library CurrentLibrary() {
    bool attempted;
    {
        std::lock_guard<std::mutex> lock(LibraryMutex());
        attempted = LibraryTable().attempted;
    }
    if (!attempted) DirectSound::LoadLibrary();
    std::lock_guard<std::mutex> lock(LibraryMutex());
    return LibraryTable();
}

// The structured-exception guard: a fault inside the library becomes a failed call.
template <typename F>
bool Guarded(F&& call, HRESULT* hr) {
    try {
        *hr = call();
        return true;
    } catch (...) {
        *hr = E_FAIL;
        return false;
    }
}

long L(HRESULT hr) { return static_cast<long>(hr); }

struct EnumContext {
    AudioDeviceList* out;
    bool withDefaultEntry;
    DirectSoundCreateFn create;
};

BOOL EnumCallback(GUID* guid, LPCWSTR description, LPCWSTR module, void* context) {
    auto* c = static_cast<EnumContext*>(context);
    IDirectSound* ds = nullptr;
    HRESULT hr = c->create(guid, &ds, nullptr);
    if (FAILED(hr) || !ds) return TRUE;  // a device that cannot be made is not offered
    ds->Release();
    const bool primary = !guid && (!module || !*module);
    if (primary && !c->withDefaultEntry) return TRUE;
    AudioDeviceInfo entry;
    entry.driver = kDriverDirectSound;
    entry.name = description ? description : u"";
    entry.index = -1;
    entry.guid = guid ? *guid : GUID_NULL;
    entry.flag = primary ? 1 : 0;
    if (!primary && module) entry.id = module;  // the endpoint's id
    c->out->push_back(entry);
    return TRUE;
}

// Silence in the buffer's sample format: unsigned 8-bit samples rest at 0x80.
void FillSilence(void* p, DWORD bytes, const WAVEFORMATEXTENSIBLE& w) {
    if (!p || !bytes) return;
    const bool unsigned8 = w.Format.wBitsPerSample == 8 && SubFormatOf(w) == KSDATAFORMAT_SUBTYPE_PCM;
    memset(p, unsigned8 ? 0x80 : 0, bytes);
}

}  // namespace

bool DirectSound::LoadLibrary() {
    std::lock_guard<std::mutex> lock(LibraryMutex());
    Library& lib = LibraryTable();
    if (lib.module) FreeLibrary(lib.module);
    lib = Library();
    lib.attempted = true;
    HMODULE module = LoadLibraryA("DSOUND.DLL");
    if (!module) {
        KVA_LOG(kLogError, "Load DirectSound Failed. %ld", static_cast<long>(GetLastError()));
        return false;
    }
    lib.module = module;
    lib.create = reinterpret_cast<DirectSoundCreateFn>(GetProcAddress(module, "DirectSoundCreate"));
    if (lib.create) {
        lib.enumerate = reinterpret_cast<DirectSoundEnumerateWFn>(
            GetProcAddress(module, "DirectSoundEnumerateW"));
        KVA_LOG(kLogDetail, "Loading DirectSound Success.");
    } else {
        KVA_LOG(kLogError, "DirectSound: DirectSoundCreate Loaded Error.");
        FreeLibrary(module);
        lib = Library();
        lib.attempted = true;
        KVA_LOG(kLogError, "DirectSound: DirectSoundEnumerateW Load Error");
    }
    if (lib.module)
        lib.getDeviceId = reinterpret_cast<GetDeviceIDFn>(GetProcAddress(lib.module, "GetDeviceID"));
    return lib.create != nullptr;
}

void DirectSound::EnumDevices(AudioDeviceList& out, bool withDefaultEntry) {
    out.clear();
    Library lib = CurrentLibrary();
    if (!lib.create || !lib.enumerate) return;
    EnumContext context{&out, withDefaultEntry, lib.create};
    HRESULT hr;
    if (!Guarded([&] { return lib.enumerate(&EnumCallback, &context); }, &hr)) {
        KVA_LOG(kLogError, "DS Err:%s error:%ld", "DirectSoundEnumerateW Exception", L(hr));
    } else if (FAILED(hr)) {
        KVA_LOG(kLogError, "DS Err:%s error:%ld", "DirectSoundEnumerateW", L(hr));
    }
    DistinguishSameNames(out);
}

LONG DirectSound::VolumeToAttenuation(float v) {
    if (!(v > 0.0f)) return DSBVOLUME_MIN;
    if (v >= 1.0f) return DSBVOLUME_MAX;
    double db = std::log(static_cast<double>(v)) * 1500.0;
    // Below the floor the buffer refuses the value and would keep its old, louder level.
    if (db < DSBVOLUME_MIN) return DSBVOLUME_MIN;
    return static_cast<LONG>(db);
}

int32_t DirectSound::FramesPerStep(int32_t rate) {
    if (rate < 22051) return 512;
    if (rate <= 48000) return 1024;
    if (rate <= 96000) return 2048;
    return 4096;
}

DirectSound::DirectSound(const std::u16string& deviceName) {
    driver = kDriverDirectSound;
    driverName = kDriverDirectSound;
    name = deviceName;
    memset(&mWaveFormat, 0, sizeof(mWaveFormat));
    mLock.Init();
    mEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    KVA_LOG(kLogDetail, "DirectSound::DirectSound()");
}

DirectSound::~DirectSound() {
    KVA_LOG(kLogDetail, "DirectSound::~DirectSound()");
    SetVolume(1.0f);
    if (HasRenderThread()) {
        KVA_LOG(kLogDetail, "DirectSound Stop Render thread");
        ClearRenderQueue();
        StopRenderThread();
    }
    Close();
    {
        CKVAAutoLock lock(mLock);
        ReleaseObjects();
    }
    FreeStaging();
    CloseHandle(mEvent);
    mEvent = nullptr;
}

int DirectSound::CheckAvailable() {
    Library lib = CurrentLibrary();
    if (lib.module && lib.create && lib.enumerate) return 0;
    if (!lib.module) KVA_LOG(kLogError, "DirectSound Library Load Not Loaded.");
    else KVA_LOG(kLogError, "DirectSound Create Function Not Loaded.");
    return -1;
}

int DirectSound::Init() {
    Library lib = CurrentLibrary();
    if (!lib.create || !lib.enumerate) {
        KVA_LOG(kLogError, "DirectSound API Load Fail");
        return 1;
    }
    AudioDeviceList list;
    EnumDeviceList(list, true);
    devices.swap(list);
    return 0;
}

void DirectSound::Release() { delete this; }

void DirectSound::EnumDeviceList(AudioDeviceList& out, bool withDefaultEntry) {
    EnumDevices(out, withDefaultEntry);
}

int32_t DirectSound::ReportError(const char* text, HRESULT hr) {
    SetSystemErrorCode(hr);
    KVA_LOG(kLogError, "DS Err:%s error:%ld", text, L(hr));
    return -1;
}

bool DirectSound::FindDeviceGuid(const std::u16string& deviceName, GUID* guid,
                                 bool switchHandsFree) {
    const AudioDeviceInfo* found = nullptr;
    for (const AudioDeviceInfo& d : devices) {
        if (d.name == deviceName) {
            found = &d;
            break;
        }
    }
    if (!found) return false;
    *guid = found->guid;
    Library lib = CurrentLibrary();
    if (found->flag && switchHandsFree && lib.getDeviceId) {
        GUID def;
        if (SUCCEEDED(lib.getDeviceId(&DSDEVID_DefaultPlayback, &def))) {
            std::u16string defaultName;
            for (const AudioDeviceInfo& d : devices) {
                if (!d.flag && d.guid == def) {
                    defaultName = d.name;
                    break;
                }
            }
            AudioDeviceInfo counterpart;
            if (!defaultName.empty() &&
                FindHandsFreeCounterpart(defaultName, true, devices, &counterpart)) {
                *guid = counterpart.guid;
                KVA_LOG(kLogDetail, "Directsound Update bluetooth device_name:%s",
                        Utf16ToUtf8(counterpart.name).c_str());
            }
        }
    }
    return true;
}

// ---- Open ----

int DirectSound::Open(int32_t sessionId, const AudioDescription* format) {
    KVA_LOG(kLogDetail, "DirectSound Open %d", sessionId);
    if (!format) {
        KVA_LOG(kLogError, "DirectSound Open Error input is null!");
        return SetErrorCode(kDeviceErrorOpen);
    }
    bool same;
    {
        CKVAAutoLock lock(mLock);
        same = IsSameFormat(*format) && mDirectSound && mBuffer && GetErrorCode() == 0;
    }
    if (same) {
        KVA_LOG(kLogTrace, "DirectSound(%d) same: Opened", sessionId);
        DoFlush();
        return 0;
    }
    ClearRenderQueue();
    StopRenderThread();
    Close();
    CKVAAutoLock lock(mLock);
    ReleaseObjects();
    // A reopen starts clean: an error code left from before would fail every wait.
    SetErrorCode(0);
    SetSystemErrorCode(0);
    mRequestedFormat = *format;
    mActualFormat = *format;

    Library lib = CurrentLibrary();
    if (!lib.create) {
        ReportError("Create DirectSound", DSERR_NODRIVER);
        return SetErrorCode(kDeviceErrorOpen);
    }
    GUID guid;
    mHasOpenedGuid = FindDeviceGuid(name, &guid, true);
    mOpenedGuid = mHasOpenedGuid ? guid : GUID_NULL;
    HRESULT hr = lib.create(mHasOpenedGuid ? &guid : nullptr, &mDirectSound, nullptr);
    if (FAILED(hr) || !mDirectSound) {
        mDirectSound = nullptr;
        Close();
        ReportError("Create DirectSound", hr);
        return SetErrorCode(kDeviceErrorOpen);
    }

    AudioDescription created = *format;
    if (CreateBuffer(mWindow, created) != 0) {
        if (mBuffer) {
            mBuffer->Release();
            mBuffer = nullptr;
        }
        created.nSampleRate = 44100;
        created.nChannel = 2;
        created.nChannelLayout = 0x3;
        created.nSampleFormat = kSampleFormatS16;
        created.nBitsPerSample = 16;
        if (CreateBuffer(mWindow, created) != 0) return SetErrorCode(kDeviceErrorOpenFormat);
    }
    created.nChannelLayout = mWaveFormat.dwChannelMask;
    created.nSampleFormat = PackedSampleFormat(created.nSampleFormat);
    mActualFormat = created;
    IKvaStreamRoute* route = nullptr;
    if (SUCCEEDED(mBuffer->QueryInterface(IID_IKvaStreamRoute, reinterpret_cast<void**>(&route))))
        SetRoute(route);

    if (!HasRenderThread()) StartRenderThread("DSoundRenderThread");
    return 0;
}

int32_t DirectSound::CreateBuffer(HWND window, const AudioDescription& format) {
    const int32_t frames = FramesPerStep(format.nSampleRate);
    const int32_t step = (mActualFormat.nBitsPerSample / 8) * mActualFormat.nChannel * frames;
    mStepSize = step;
    mWaveFormat = WaveFormatFromDescription(format);

    HRESULT hr = mDirectSound->SetCooperativeLevel(window ? window : GetDesktopWindow(),
                                                   DSSCL_PRIORITY);
    if (FAILED(hr)) return ReportError("DirectSound SetCooperativeLevel", hr);

    const int64_t bytes = 8 * static_cast<int64_t>(step);
    if (bytes < DSBSIZE_MIN || bytes > DSBSIZE_MAX) {
        KVA_LOG(kLogError, "DS Buffer Too Max!");
        return -2;
    }
    DSBUFFERDESC desc;
    memset(&desc, 0, sizeof(desc));
    desc.dwSize = sizeof(DSBUFFERDESC);
    desc.dwFlags = kBufferFlags;
    desc.dwBufferBytes = static_cast<DWORD>(bytes);
    desc.lpwfxFormat = &mWaveFormat.Format;
    hr = mDirectSound->CreateSoundBuffer(&desc, &mBuffer, nullptr);
    if (FAILED(hr)) {
        KVA_LOG(kLogDetail, "DS Create Buffer With LocalSoftWare failed:%ld", L(hr));
        desc.dwFlags = kBufferFlags & ~DSBCAPS_LOCSOFTWARE;
        hr = mDirectSound->CreateSoundBuffer(&desc, &mBuffer, nullptr);
        if (FAILED(hr)) {
            mBuffer = nullptr;
            return ReportError("DirectSound CreateSoundBuffer", hr);
        }
    }
    mBuffer->SetFormat(&mWaveFormat.Format);  // secondary buffers keep their own; no matter
    void *p1 = nullptr, *p2 = nullptr;
    DWORD n1 = 0, n2 = 0;
    hr = mBuffer->Lock(0, desc.dwBufferBytes, &p1, &n1, &p2, &n2, DSBLOCK_ENTIREBUFFER);
    if (FAILED(hr)) return ReportError("IDirectSoundBuffer_Lock", hr);
    FillSilence(p1, n1, mWaveFormat);
    FillSilence(p2, n2, mWaveFormat);
    snd::DeviceFillScope fill;
    if (FAILED(mBuffer->Unlock(p1, n1, p2, n2)))
        KVA_LOG(kLogTrace, "DirectSound Buffer Unload Error.");

    mSegmentSize = 2 * step;
    mSegmentCount = kSegmentCount;
    mBufferSize = kSegmentCount * 2 * step;
    mWritePosition = 0;
    mWriteEnd = mBufferSize;
    mPlayCursor = mWriteCursor = mPrevPlayCursor = mPrevWriteCursor = 0;
    mWrapCount = 0;
    mPlayedPosition = 0;
    mFreeBytes = 0;
    mBytesWritten = 0;
    mPlayedBytes = 0;
    return 0;
}

void DirectSound::ReleaseObjects() {
    SetRoute(nullptr);
    if (mBuffer) {
        HRESULT hr;
        Guarded([&] { return mBuffer->Stop(); }, &hr);
        for (int i = 0; i < 10; ++i) {
            uint32_t left = mBuffer->Release();
            if (left == 0) break;
            KVA_LOG(kLogError, "DirectSound Release SoundBuffer Fail.%ld", static_cast<long>(left));
        }
        mBuffer = nullptr;
    }
    if (mDirectSound) {
        for (int i = 0; i < 10; ++i) {
            uint32_t left = mDirectSound->Release();
            if (left == 0) break;
            KVA_LOG(kLogError, "DirectSound Release SoundHandle Fail.%ld", static_cast<long>(left));
        }
        mDirectSound = nullptr;
    }
}

// ---- state ----

int32_t DirectSound::DoDevicePlay() {
    CKVAAutoLock lock(mLock);
    if (!mBuffer) {
        SetSystemErrorCode(-1);
        return SetErrorCode(kDeviceErrorWrite);
    }
    HRESULT hr;
    if (!Guarded([&] { return mBuffer->Play(0, 0, DSBPLAY_LOOPING); }, &hr)) {
        KVA_LOG(kLogDetail, "DS DoDevicePlay Exception");
        return 2;
    }
    int restores = 0;
    while (hr == DSERR_BUFFERLOST) {
        if (restores >= kMaxRestores) {
            mLastBufferResult = hr;
            SetSystemErrorCode(hr);
            return SetErrorCode(kDeviceErrorWrite);
        }
        HRESULT rr;
        if (!Guarded([&] { return mBuffer->Restore(); }, &rr)) {
            KVA_LOG(kLogDetail, "DS DoDevicePlay Restore Exception");
            return 2;
        }
        ++restores;
        if (FAILED(rr)) {
            KVA_LOG(kLogDetail, "DS DoDevicePlay Restore Failed:%ld", L(rr));
            break;
        }
        if (!Guarded([&] { return mBuffer->Play(0, 0, DSBPLAY_LOOPING); }, &hr)) {
            KVA_LOG(kLogDetail, "DS DoDevicePlay Exception");
            return 2;
        }
    }
    if (FAILED(hr)) {
        mLastBufferResult = hr;
        SetSystemErrorCode(hr);
        return SetErrorCode(kDeviceErrorWrite);
    }
    return 0;
}

int DirectSound::Play() {
    KVA_LOG(kLogDetail, "DS Play");
    SetState(kPlaying);
    int32_t r = DoDevicePlay();
    if (r == 0) {
        PostRender(kMsgRenderPeriod, 0);
        return 0;
    }
    KVA_LOG(kLogError, "DirectSound Play Error:%d", r);
    Stop();
    return r;
}

int DirectSound::Pause() {
    KVA_LOG(kLogDetail, "DS Pause");
    SetState(kPaused);
    CKVAAutoLock lock(mLock);
    if (mBuffer) {
        HRESULT hr;
        if (!Guarded([&] { return mBuffer->Stop(); }, &hr) || FAILED(hr))
            KVA_LOG(kLogDetail, "DS Pause Error:%ld", L(hr));
    }
    return 0;
}

int DirectSound::Stop() {
    Pause();
    ClearRenderQueue();
    return 0;
}

int DirectSound::SetVolumeLevel(float level) { return SetVolume(level); }

int DirectSound::SetVolume(float volume) {
    const LONG value = VolumeToAttenuation(volume);
    CKVAAutoLock lock(mLock);
    if (!mBuffer) return 1;
    HRESULT hr;
    if (!Guarded([&] { return mBuffer->SetVolume(value); }, &hr) || FAILED(hr)) {
        KVA_LOG(kLogError, "DirectSound SetVolume Failed:%ld", L(hr));
        return 1;
    }
    return 0;
}

int DirectSound::Close() {
    KVA_LOG(kLogDetail, "DS Close!");
    Stop();
    return 0;
}

int64_t DirectSound::GetPlayedTime() { return 0; }

int DirectSound::Flush() {
    PostRender(kMsgRenderFlush, 0);
    return 0;
}

void DirectSound::RequestFlush() { PostRender(kMsgRenderFlush, 0); }
int DirectSound::GetStepSize() { return mStepSize; }
int DirectSound::GetDeviceType() { return kDeviceTypeDirectSound; }
int DirectSound::Query28() { return 0; }
int32_t DirectSound::Query0A() { return 0; }
int32_t DirectSound::Query0B() { return 0; }
int32_t DirectSound::Query0C() { return 0; }
int32_t DirectSound::Query0D() { return 0; }
bool DirectSound::Query0E() { return true; }

int32_t DirectSound::WaitAndStop() {
    int32_t r = WaitPlay();
    CKVAAutoLock lock(mLock);
    if (mBuffer) {
        HRESULT hr;
        Guarded([&] { return mBuffer->Stop(); }, &hr);
    }
    return r;
}

// ---- render thread ----

AudioDevice::RenderPlan DirectSound::GetRenderPlan() {
    RenderPlan plan;
    int32_t step = mStepSize;
    const AudioDescription& f = mActualFormat;
    if (step < 1)
        step = static_cast<int32_t>(static_cast<int64_t>(kPeriodMs) * f.nBitsPerSample *
                                    f.nChannel * f.nSampleRate / 8 / 1000);
    plan.bufferBytes = step;
    // Never more than the segment the wait found room for: a larger fill would overwrite
    // what has not been played yet.
    int32_t ask = step > 8192 ? step : 8192;
    const int32_t segment = mSegmentSize;
    if (segment > 0 && ask > segment) ask = segment;
    const int32_t frameBytes = f.nBitsPerSample / 8 * f.nChannel;
    if (frameBytes > 0) ask -= ask % frameBytes;
    plan.askBytes = ask;
    plan.stampPreset = 0;
    plan.waitFirst = true;
    plan.fillLock = nullptr;
    return plan;
}

const AudioDevice::RenderTexts& DirectSound::GetRenderTexts() { return kTexts; }

void DirectSound::OnRenderWaitNotYet() {
    if (GetState() != kPlaying) return;
    // Back when a segment has been played, not later: the buffer is short.
    const int64_t perSecond = mWaveFormat.Format.nAvgBytesPerSec;
    const int64_t missing = static_cast<int64_t>(mSegmentSize.load()) - mFreeBytes;
    int32_t ms = perSecond > 0 ? static_cast<int32_t>(missing * 1000 / perSecond) + 1 : 20;
    PostRender(kMsgRenderPeriod, std::min(20, std::max(1, ms)));
}

bool DirectSound::OnRenderStatus(int32_t status) {
    if (status == -kStreamFormatChanged) KVA_LOG(kLogTrace, "DS::doRenderFunc audioformat changed");
    return true;
}

int32_t DirectSound::WaitPlay() {
    CKVAAutoLock lock(mLock);
    if (!mBuffer) {
        ReportError("DirectSound WaitPlay Error. No Buffer Handle.", -1);
        SetErrorCode(kDeviceErrorWrite);
        return 3;
    }
    mPrevPlayCursor = mPlayCursor;
    mPrevWriteCursor = mWriteCursor;
    HRESULT hr;
    auto readPosition = [&] {
        return Guarded([&] { return mBuffer->GetCurrentPosition(&mPlayCursor, &mWriteCursor); },
                       &hr);
    };
    if (!readPosition() || std::exchange(mQueueReadFaulted, false)) {
        ReportError("DirectSound Wait Play Exception ", hr);
        SetErrorCode(kDeviceErrorWrite);
        return 3;
    }
    int restores = 0;
    while (FAILED(hr)) {
        if (hr != DSERR_BUFFERLOST) {
            ReportError("DirectSound Wait Play Error ", hr);
            SetErrorCode(kDeviceErrorWrite);
            return 3;
        }
        if (restores >= kMaxRestores) {
            ReportError("DirectSound Wait Play Restore Error retry Failed ", hr);
            SetErrorCode(kDeviceErrorInvalidated);
            return 2;
        }
        HRESULT rr;
        if (!Guarded([&] { return mBuffer->Restore(); }, &rr)) {
            ReportError("DirectSound Wait Play Restore Exception ", rr);
            SetErrorCode(kDeviceErrorWrite);
            return 3;
        }
        ++restores;
        if (rr == DSERR_BUFFERLOST) {
            ReportError("DirectSound Wait Play Restore Error ", rr);
            SetErrorCode(kDeviceErrorInvalidated);
            return 2;
        }
        if (FAILED(rr)) {
            ReportError("DirectSound Wait Play Restore Failed ", rr);
            SetErrorCode(kDeviceErrorWrite);
            return 3;
        }
        if (!readPosition()) {
            ReportError("DirectSound Wait Play Exception ", hr);
            SetErrorCode(kDeviceErrorWrite);
            return 3;
        }
    }
    if (GetErrorCode() == kDeviceErrorWrite) return 3;

    const uint32_t size = static_cast<uint32_t>(mBufferSize.load());
    if (size == 0) return 3;
    TrackCursorsLocked();
    // Late: the mixer has passed the write position, and what is written there would be heard
    // a loop later. The next write goes where the mixer reads.
    const int64_t mixed = mPlayedPosition + (mWriteCursor + size - mPlayCursor) % size;
    if (mWriteEnd < mixed) {
        KVA_LOG(kLogDetail, "DirectSound: %lld bytes late", static_cast<long long>(mixed - mWriteEnd));
        mWriteEnd = mixed;
        mWritePosition = static_cast<uint32_t>(mixed % size);
    }
    mFreeBytes = static_cast<uint32_t>(
        std::max<int64_t>(0, std::min<int64_t>(size, mPlayedPosition + size - mWriteEnd)));
    if (mFreeBytes >= static_cast<uint32_t>(mSegmentSize.load())) return 0;
    if (mPlayCursor != mPrevPlayCursor || GetState() != kPlaying) return 1;

    // Playing, and the cursor has not moved since the last look: is the buffer still running?
    DWORD status = 0;
    if (!Guarded([&] { return mBuffer->GetStatus(&status); }, &hr) || FAILED(hr) ||
        (status & DSBSTATUS_PLAYING))
        return 1;
    KVA_LOG(kLogTrace, "DirectSound Device Isn't In Playing State. %ld", static_cast<long>(status));
    if (status & DSBSTATUS_BUFFERLOST) {
        HRESULT rr;
        if (!Guarded([&] { return mBuffer->Restore(); }, &rr) || FAILED(rr)) return 1;
    }
    DoDevicePlay();
    return 1;
}

void DirectSound::TrackCursorsLocked() {
    const int64_t size = mBufferSize.load();
    if (size <= 0) return;
    const int64_t before = mPlayedPosition;
    if (mPlayCursor < mPrevPlayCursor) ++mWrapCount;
    mPlayedPosition = size * mWrapCount + mPlayCursor;
    // Played bytes that no write of the next loop has covered yet (the first loop plays the
    // silence the buffer was made with).
    const int64_t from = std::max({before, mWriteEnd - size, size});
    if (mPlayedPosition > from) {
        void *p1 = nullptr, *p2 = nullptr;
        DWORD n1 = 0, n2 = 0;
        if (SUCCEEDED(mBuffer->Lock(static_cast<DWORD>(from % size),
                                    static_cast<DWORD>(mPlayedPosition - from), &p1, &n1, &p2,
                                    &n2, 0))) {
            FillSilence(p1, n1, mWaveFormat);
            FillSilence(p2, n2, mWaveFormat);
            snd::DeviceFillScope fill;
            mBuffer->Unlock(p1, n1, p2, n2);
        }
    }
}

int64_t DirectSound::QueuedMs() {
    CKVAAutoLock lock(mLock);
    const int64_t perSecond = mWaveFormat.Format.nAvgBytesPerSec;
    if (!mBuffer || perSecond <= 0 || mBufferSize.load() <= 0) return 0;
    DWORD play = 0, write = 0;
    HRESULT hr;
    // A lost buffer answers what it had played when last looked at.
    if (!Guarded([&] { return mBuffer->GetCurrentPosition(&play, &write); }, &hr)) {
        mQueueReadFaulted = true;
    } else if (SUCCEEDED(hr)) {
        mPrevPlayCursor = mPlayCursor;
        mPrevWriteCursor = mWriteCursor;
        mPlayCursor = play;
        mWriteCursor = write;
        TrackCursorsLocked();
    }
    return std::max<int64_t>(0, mWriteEnd - mPlayedPosition) * 1000 / perSecond;
}

int32_t DirectSound::Write(const uint8_t* pcm, int32_t bytes, double ratio) {
    CKVAAutoLock lock(mLock);
    if (!mBuffer) {
        ReportError("DirectSound Error. No Buffer.", -1);
        SetErrorCode(kDeviceErrorWrite);
        return 2;
    }
    const uint32_t size = static_cast<uint32_t>(mBufferSize.load());
    void *p1 = nullptr, *p2 = nullptr;
    DWORD n1 = 0, n2 = 0;
    HRESULT hr = mBuffer->Lock(mWritePosition, static_cast<DWORD>(bytes), &p1, &n1, &p2, &n2, 0);
    if (hr == DSERR_BUFFERLOST) {
        HRESULT rr;
        Guarded([&] { return mBuffer->Restore(); }, &rr);
        hr = mBuffer->Lock(mWritePosition, static_cast<DWORD>(bytes), &p1, &n1, &p2, &n2, 0);
    }
    if (FAILED(hr)) {
        ReportError("IDirectSoundBuffer_Lock", hr);
        SetErrorCode(kDeviceErrorWrite);
        return hr == DSERR_BUFFERLOST ? 1 : 2;
    }
    if (pcm) {
        memcpy(p1, pcm, n1);
        if (p2 && n2) memcpy(p2, pcm + n1, n2);
    } else {
        FillSilence(p1, n1, mWaveFormat);
        if (p2 && n2) FillSilence(p2, n2, mWaveFormat);
    }
    {
        snd::DeviceFillScope fill(!pcm);
        hr = mBuffer->Unlock(p1, n1, p2, n2);
    }
    if (FAILED(hr)) {
        ReportError("IDirectSoundBuffer_Unlock", hr);
        SetErrorCode(kDeviceErrorWrite);
        return hr == DSERR_BUFFERLOST ? 1 : 2;
    }
    if (pcm && size > 0) {
        mWritePosition = static_cast<uint32_t>((mWritePosition + static_cast<uint32_t>(bytes)) % size);
        mWriteEnd += bytes;
        mBytesWritten += bytes;
        mPlayedBytes += static_cast<int64_t>(bytes * ratio);
    }
    return 0;
}

bool DirectSound::RenderWrite(const uint8_t* pcm, int32_t bytes) {
    if (bytes <= 0) return true;
    int32_t r = Write(pcm, bytes, GetRate());
    if (r == 0) return true;
    if (r == 1) SetErrorCode(kDeviceErrorInvalidated);
    ReportDeviceError(kDeviceErrWait);
    return false;
}

int32_t DirectSound::DoFlush() {
    CKVAAutoLock lock(mLock);
    mWritePosition = 0;
    mWriteEnd = mBufferSize;
    mWrapCount = 0;
    mPlayCursor = mWriteCursor = mPrevPlayCursor = mPrevWriteCursor = 0;
    mPlayedPosition = 0;
    mBytesWritten = 0;
    mPlayedBytes = 0;
    if (!mBuffer) return 0;
    void *p1 = nullptr, *p2 = nullptr;
    DWORD n1 = 0, n2 = 0;
    const DWORD size = static_cast<DWORD>(mBufferSize.load());
    if (SUCCEEDED(mBuffer->Lock(0, size, &p1, &n1, &p2, &n2, DSBLOCK_ENTIREBUFFER))) {
        FillSilence(p1, n1, mWaveFormat);
        FillSilence(p2, n2, mWaveFormat);
        snd::DeviceFillScope fill;
        mBuffer->Unlock(p1, n1, p2, n2);
    }
    if (FAILED(mBuffer->SetCurrentPosition(0))) KVA_LOG(kLogError, "DS Set Current Postion:");
    return 0;
}

}  // namespace kva_audioplayer
