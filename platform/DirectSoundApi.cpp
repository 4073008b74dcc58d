#include "platform/DirectSoundApi.h"

#include <pthread.h>
#include <strings.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/DriverFormat.h"
#include "platform/SoundSystem.h"
#include "platform/StreamRoute.h"
#include "platform/VirtualSoundSystem.h"
#include "support/TextUtil.h"

namespace kva_audioplayer {

const GUID DSDEVID_DefaultPlayback = {0xDEF00000, 0x9C6D, 0x47ED,
                                      {0xAA, 0xF1, 0x4D, 0xDA, 0x8F, 0x2B, 0x5C, 0x03}};
const IID IID_IDirectSound = {0x279AFA83, 0x4981, 0x11CE,
                              {0xA5, 0x21, 0x00, 0x20, 0xAF, 0x0B, 0xE5, 0x60}};
const IID IID_IDirectSoundBuffer = {0x279AFA85, 0x4981, 0x11CE,
                                    {0xA5, 0x21, 0x00, 0x20, 0xAF, 0x0B, 0xE5, 0x60}};

const char* const kFaultDSoundFault = "dsound.fault";
const char* const kFaultDSoundStall = "dsound.stall";
const char* const kFaultDSoundLoad = "dsound.load";

namespace {

const char16_t kPrimaryName[] = u"Primary Sound Driver";

void MaybeFault(snd::ISoundSystem* sys) {
    if (sys->TakeFault(kFaultDSoundFault)) throw DirectSoundFault();
}

HRESULT FromSnd(int32_t r) {
    switch (r) {
        case snd::kOk: return DS_OK;
        case snd::kUnsupportedFormat: return DSERR_BADFORMAT;
        case snd::kInvalidArg: return DSERR_INVALIDPARAM;
        case snd::kNotFound:
        case snd::kInvalidated: return DSERR_NODRIVER;
        default: return DSERR_GENERIC;
    }
}

float GainOf(LONG hundredthsDb) {
    if (hundredthsDb <= DSBVOLUME_MIN) return 0.0f;
    return static_cast<float>(std::pow(10.0, hundredthsDb / 2000.0));
}

class SoundBuffer : public ComObject<IDirectSoundBuffer, IID_IDirectSoundBuffer> {
public:
    SoundBuffer(std::shared_ptr<snd::ISoundSystem> sys, std::string endpoint,
                const snd::Format& format, const snd::Format& carrier, uint32_t bytes)
        : mSys(std::move(sys)), mEndpoint(std::move(endpoint)), mFormat(format),
          mCarrier(carrier), mMemory(bytes, 0), mShadow(bytes, 0),
          mSize(bytes), mBlockAlign(static_cast<uint32_t>(format.BlockAlign())),
          mFill(bytes / std::max<uint32_t>(1, mBlockAlign) + 1, 1) {
        mWake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }

    // The render stream; false when it cannot be opened.
    int32_t OpenStream() {
        std::unique_ptr<snd::IRenderStream> stream;
        // 40 ms between the buffer and the endpoint: far less than the data the buffer holds
        // ahead of its play cursor, so the mixer never reads what the client is about to write.
        uint32_t frames = std::max<uint32_t>(1, static_cast<uint32_t>(mCarrier.sampleRate / 25));
        int32_t r = mSys->OpenStream(mEndpoint, mCarrier, frames, &stream);
        if (r != snd::kOk || !stream) return r != snd::kOk ? r : snd::kFailed;
        if (mStream) mStream->SetPeriodCallback(nullptr, nullptr);
        mRoute->Attach(stream.get());
        mStream = std::move(stream);
        mStreamFrames = mStream->BufferFrames();
        if (!(mCarrier == mFormat)) {
            mConverted.resize(size_t(mStreamFrames) * size_t(mCarrier.BlockAlign()));
            mScratch.resize(size_t(mStreamFrames) * size_t(mCarrier.channels));
        }
        mStream->SetPeriodCallback(&SoundBuffer::OnPeriod, this);
        mStream->SetVolume(GainOf(mVolume));
        mStreamRunning = false;
        return snd::kOk;
    }

    void StartMixer() {
        mMixer = std::thread([this] { MixerLoop(); });
    }

    // Besides the buffer itself: where its stream plays (a separate object).
    HRESULT QueryInterface(REFIID iid, void** out) override {
        if (!out || iid != IID_IKvaStreamRoute) return ComObject::QueryInterface(iid, out);
        *out = NewStreamRoute(mRoute);
        return S_OK;
    }

    HRESULT GetCurrentPosition(DWORD* playCursor, DWORD* writeCursor) override {
        MaybeFault(mSys.get());
        std::lock_guard<std::mutex> lock(mMutex);
        HRESULT hr = CheckLostLocked(true);
        if (FAILED(hr)) return hr;
        if (mSys->TakeFault(kFaultDSoundStall) && mPlaying) {
            mPlaying = false;
            StopStreamLocked();
        }
        uint32_t play = PlayCursorLocked();
        // Consumed as fast as fed, the cursor would catch up with the data, and a drained
        // buffer would look full: it shows one frame behind instead.
        if (mFed < mBlockAlign && snd::IsFastSystem(mSys.get()))
            play = (play + mSize - mBlockAlign) % mSize;
        if (playCursor) *playCursor = play;
        if (writeCursor) *writeCursor = mMixPos;
        return DS_OK;
    }

    HRESULT GetStatus(DWORD* status) override {
        MaybeFault(mSys.get());
        if (!status) return DSERR_INVALIDPARAM;
        std::lock_guard<std::mutex> lock(mMutex);
        CheckLostLocked(false);
        *status = (mPlaying ? DSBSTATUS_PLAYING | DSBSTATUS_LOOPING : 0) |
                  (mLost ? DSBSTATUS_BUFFERLOST : 0);
        return DS_OK;
    }

    HRESULT GetVolume(LONG* volume) override {
        if (!volume) return DSERR_INVALIDPARAM;
        std::lock_guard<std::mutex> lock(mMutex);
        *volume = mVolume;
        return DS_OK;
    }

    HRESULT Lock(DWORD offset, DWORD bytes, void** ptr1, DWORD* bytes1, void** ptr2,
                 DWORD* bytes2, DWORD flags) override {
        if (!ptr1 || !bytes1) return DSERR_INVALIDPARAM;
        std::lock_guard<std::mutex> lock(mMutex);
        HRESULT hr = CheckLostLocked(true);
        if (FAILED(hr)) return hr;
        if (flags & DSBLOCK_FROMWRITECURSOR) offset = mMixPos;
        if (flags & DSBLOCK_ENTIREBUFFER) bytes = mSize;
        if (offset >= mSize || bytes == 0 || bytes > mSize) return DSERR_INVALIDPARAM;
        DWORD first = std::min(bytes, mSize - offset);
        DWORD second = bytes - first;
        if (second && (!ptr2 || !bytes2)) return DSERR_INVALIDPARAM;
        // The client writes into a copy that Unlock moves into the buffer, so the mixer thread
        // never reads memory the client is writing.
        memcpy(mShadow.data() + offset, mMemory.data() + offset, first);
        if (second) memcpy(mShadow.data(), mMemory.data(), second);
        *ptr1 = mShadow.data() + offset;
        *bytes1 = first;
        if (ptr2) *ptr2 = second ? mShadow.data() : nullptr;
        if (bytes2) *bytes2 = second;
        return DS_OK;
    }

    HRESULT Play(DWORD, DWORD, DWORD) override {
        MaybeFault(mSys.get());
        {
            std::lock_guard<std::mutex> lock(mMutex);
            HRESULT hr = CheckLostLocked(true);
            if (FAILED(hr)) return hr;
            if (!mPlaying) {
                int32_t r = mStream->Start();
                if (r != snd::kOk && r != snd::kWrongState) return FromSnd(r);
                mStreamRunning = true;
                mPlaying = true;
            }
            MixLocked();
        }
        SetEvent(mWake);
        return DS_OK;
    }

    HRESULT SetCurrentPosition(DWORD position) override {
        std::lock_guard<std::mutex> lock(mMutex);
        if (position >= mSize) return DSERR_INVALIDPARAM;
        const bool running = mStreamRunning;
        if (running) StopStreamLocked();
        mMixPos = position - position % mBlockAlign;
        if (running) {
            mStream->Start();
            mStreamRunning = true;
            MixLocked();
        }
        return DS_OK;
    }

    HRESULT SetFormat(const WAVEFORMATEX*) override { return DSERR_INVALIDCALL; }

    HRESULT SetVolume(LONG volume) override {
        MaybeFault(mSys.get());
        if (volume < DSBVOLUME_MIN || volume > DSBVOLUME_MAX) return DSERR_INVALIDPARAM;
        std::lock_guard<std::mutex> lock(mMutex);
        int32_t r = mStream->SetVolume(GainOf(volume));
        if (r != snd::kOk && r != snd::kInvalidated) return FromSnd(r);
        mVolume = volume;
        return DS_OK;
    }

    HRESULT Stop() override {
        MaybeFault(mSys.get());
        std::lock_guard<std::mutex> lock(mMutex);
        if (mPlaying) {
            mPlaying = false;
            StopStreamLocked();
        }
        return DS_OK;
    }

    HRESULT Unlock(void* ptr1, DWORD bytes1, void* ptr2, DWORD bytes2) override {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            auto* p1 = static_cast<uint8_t*>(ptr1);
            if (!p1 || p1 < mShadow.data() || p1 >= mShadow.data() + mSize) return DSERR_INVALIDPARAM;
            const uint32_t offset = static_cast<uint32_t>(p1 - mShadow.data());
            if (bytes1 > mSize - offset || bytes2 > offset ||
                (bytes2 && ptr2 != mShadow.data()))
                return DSERR_INVALIDPARAM;
            memcpy(mMemory.data() + offset, p1, bytes1);
            if (bytes2) memcpy(mMemory.data(), mShadow.data(), bytes2);
            const uint8_t fill = snd::InDeviceFill() ? 1 : 0;
            MarkLocked(offset, bytes1, fill);
            MarkLocked(0, bytes2, fill);
            const uint32_t total = bytes1 + bytes2;
            // Fed data runs on from the mix position; a write elsewhere (clearing what was played)
            // feeds nothing.
            if (total > 0 && (offset + mSize - mMixPos) % mSize <= mFed) {
                const uint32_t end = bytes2 ? bytes2 : (offset + bytes1) % mSize;
                uint32_t ahead = (end + mSize - mMixPos) % mSize;
                if (ahead == 0) ahead = mSize;
                mFed = std::max(mFed, ahead);
            }
            if (snd::IsFastSystem(mSys.get())) MixLocked();
        }
        SetEvent(mWake);
        return DS_OK;
    }

    HRESULT Restore() override {
        MaybeFault(mSys.get());
        std::lock_guard<std::mutex> lock(mMutex);
        if (!mLost) return DS_OK;
        if (mStream->GetStatus() == snd::kInvalidated) {
            // The endpoint failed: the buffer comes back only on a working endpoint.
            if (OpenStream() != snd::kOk) return DSERR_BUFFERLOST;
        }
        mLost = false;
        return DS_OK;
    }

private:
    ~SoundBuffer() override {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mQuit = true;
        }
        SetEvent(mWake);
        if (mMixer.joinable()) mMixer.join();
        {
            std::lock_guard<std::mutex> lock(mMutex);
            if (mStream) {
                mStream->SetPeriodCallback(nullptr, nullptr);
                mStream->Stop();
            }
            mRoute->Attach(nullptr);
        }
        mStream.reset();
        CloseHandle(mWake);
    }

    static void OnPeriod(void* context) { SetEvent(static_cast<SoundBuffer*>(context)->mWake); }

    void MixerLoop() {
        pthread_setname_np(pthread_self(), "KvaDSoundMix");
        RaiseAudioServiceThread();
        DWORD timeout = INFINITE;
        for (;;) {
            WaitForSingleObject(mWake, timeout);
            std::lock_guard<std::mutex> lock(mMutex);
            if (mQuit) return;
            MixLocked();
            // Stopped or lost it sleeps until a call wakes it.
            timeout = mPlaying && !mLost ? 10 : INFINITE;
        }
    }

    // Failure of the endpoint loses the buffer; so does an injected loss when asked to look.
    HRESULT CheckLostLocked(bool takeFault) {
        if (!mLost && mStream->GetStatus() == snd::kInvalidated) LoseLocked();
        if (!mLost && takeFault && mSys->TakeFault(snd::kFaultDSoundLost)) LoseLocked();
        return mLost ? DSERR_BUFFERLOST : DS_OK;
    }

    void LoseLocked() {
        mLost = true;
        if (mPlaying) {
            mPlaying = false;
            StopStreamLocked();
        }
    }

    uint32_t PlayCursorLocked() {
        if (!mStreamRunning) return mMixPos;
        uint32_t padding = 0;
        if (mStream->GetPadding(&padding) != snd::kOk) return mMixPos;
        uint64_t back = (uint64_t(padding) * mBlockAlign) % mSize;
        return static_cast<uint32_t>((mMixPos + mSize - back) % mSize);
    }

    // What the stream has not played goes back into the buffer's future.
    void StopStreamLocked() {
        if (!mStreamRunning) return;
        uint32_t play = PlayCursorLocked();
        uint32_t unplayed = (mMixPos + mSize - play) % mSize;
        mStream->Stop();
        mStream->Reset();
        mStreamRunning = false;
        mMixPos = play;
        mFed = std::min(mSize, mFed + unplayed);
    }

    // Frames touched by bytes from offset: what the client wrote there is media or not.
    void MarkLocked(uint32_t offset, uint32_t bytes, uint8_t fill) {
        if (bytes == 0) return;
        const uint32_t first = offset / mBlockAlign;
        const uint32_t end = (offset + bytes + mBlockAlign - 1) / mBlockAlign;
        std::fill(mFill.begin() + first, mFill.begin() + std::min<size_t>(end, mFill.size()), fill);
    }

    // Hands frames at the mix position to the stream; answers the frames taken.
    uint32_t WriteFromBufferLocked(uint32_t frames) {
        uint32_t done = 0;
        const bool same = mFormat == mCarrier;
        while (done < frames) {
            uint32_t padding = 0;
            if (mStream->GetPadding(&padding) != snd::kOk) break;
            // Like a sound card's mixer, it reads ahead of the play cursor by part of the buffer
            // only (three eighths at most): the rest is the application's to fill in time.
            const uint32_t ahead = std::min(mStreamFrames, mSize / mBlockAlign * 3 / 8);
            uint32_t room = ahead - std::min(padding, ahead);
            uint32_t n = std::min({room, frames - done, (mSize - mMixPos) / mBlockAlign});
            if (n == 0) break;
            // One write per run of media or of the device's own silence.
            const uint32_t at = mMixPos / mBlockAlign;
            const uint8_t fill = mFill[at];
            uint32_t run = 1;
            while (run < n && mFill[at + run] == fill) ++run;
            n = run;
            const uint8_t* src = mMemory.data() + mMixPos;
            if (!same) {
                snd::ConvertFrames(mFormat, src, mCarrier, mConverted.data(), n, mScratch.data());
                src = mConverted.data();
            }
            if (mStream->Write(src, n, fill ? snd::kWriteDeviceFill : 0) != snd::kOk) break;
            mMixPos = (mMixPos + n * mBlockAlign) % mSize;
            uint32_t bytes = n * mBlockAlign;
            mFed = mFed > bytes ? mFed - bytes : 0;
            done += n;
        }
        return done;
    }

    void MixLocked() {
        if (!mPlaying || mLost) return;
        if (mStream->GetStatus() == snd::kInvalidated) {
            LoseLocked();
            return;
        }
        if (snd::IsFastSystem(mSys.get())) {
            WriteFromBufferLocked(mFed / mBlockAlign);
        } else {
            WriteFromBufferLocked(UINT32_MAX);
        }
    }

    std::shared_ptr<snd::ISoundSystem> mSys;
    const std::string mEndpoint;
    const snd::Format mFormat;
    const snd::Format mCarrier;
    std::vector<uint8_t> mMemory;
    std::vector<uint8_t> mShadow;
    const uint32_t mSize;
    const uint32_t mBlockAlign;
    std::vector<uint8_t> mFill;  // per frame: the client's own silence (or never written)
    HANDLE mWake = nullptr;
    std::thread mMixer;
    const std::shared_ptr<snd::RouteSource> mRoute = std::make_shared<snd::RouteSource>(mEndpoint);

    std::mutex mMutex;  // everything below
    std::unique_ptr<snd::IRenderStream> mStream;
    uint32_t mStreamFrames = 0;
    std::vector<uint8_t> mConverted;
    std::vector<float> mScratch;
    bool mQuit = false;
    bool mPlaying = false;
    bool mLost = false;
    bool mStreamRunning = false;
    uint32_t mMixPos = 0;  // next byte handed to the stream: the write cursor
    uint32_t mFed = 0;     // bytes written ahead of the mix position and not yet handed on
    LONG mVolume = 0;
};

class DirectSoundObject : public ComObject<IDirectSound, IID_IDirectSound> {
public:
    DirectSoundObject(std::shared_ptr<snd::ISoundSystem> sys, std::string endpoint)
        : mSys(std::move(sys)), mEndpoint(std::move(endpoint)) {}

    HRESULT CreateSoundBuffer(const DSBUFFERDESC* desc, IDirectSoundBuffer** out,
                              IUnknown* outer) override {
        if (!desc || !out || outer || desc->dwSize != sizeof(DSBUFFERDESC))
            return DSERR_INVALIDPARAM;
        *out = nullptr;
        if (desc->dwFlags & DSBCAPS_PRIMARYBUFFER) return DSERR_INVALIDCALL;
        if (desc->dwBufferBytes < DSBSIZE_MIN || desc->dwBufferBytes > DSBSIZE_MAX ||
            !desc->lpwfxFormat)
            return DSERR_INVALIDPARAM;
        snd::Format f;
        if (!snd::FormatFromWave(desc->lpwfxFormat, &f)) return DSERR_BADFORMAT;
        snd::Format carrier;
        int32_t r = snd::ChooseCarrierFormat(mSys.get(), mEndpoint, f, &carrier);
        if (r != snd::kOk) return FromSnd(r == snd::kInvalidArg ? snd::kUnsupportedFormat : r);
        uint32_t ba = static_cast<uint32_t>(f.BlockAlign());
        uint32_t bytes = desc->dwBufferBytes - desc->dwBufferBytes % ba;
        if (bytes == 0) return DSERR_INVALIDPARAM;
        auto* buffer = new SoundBuffer(mSys, mEndpoint, f, carrier, bytes);
        r = buffer->OpenStream();
        if (r != snd::kOk) {
            buffer->Release();
            return FromSnd(r);
        }
        buffer->StartMixer();
        *out = buffer;
        return DS_OK;
    }

    HRESULT SetCooperativeLevel(HWND window, DWORD level) override {
        if (!window || level < DSSCL_NORMAL || level > 3) return DSERR_INVALIDPARAM;
        return DS_OK;
    }

private:
    virtual ~DirectSoundObject() = default;
    std::shared_ptr<snd::ISoundSystem> mSys;
    const std::string mEndpoint;
};

bool IsDefaultGuid(LPCGUID guid) {
    return !guid || *guid == GUID_NULL || *guid == DSDEVID_DefaultPlayback;
}

// The active endpoint for a device GUID; "" when there is none.
std::string EndpointForGuid(snd::ISoundSystem* sys, LPCGUID guid) {
    std::vector<snd::EndpointInfo> list = snd::ActiveEndpoints(sys);
    std::string want = IsDefaultGuid(guid) ? sys->GetDefaultEndpoint() : std::string();
    for (const snd::EndpointInfo& e : list) {
        if (IsDefaultGuid(guid) ? e.id == want : EndpointGuid(e.id) == *guid) return e.id;
    }
    return std::string();
}

int gModuleTag = 0;
int gDesktopTag = 0;

}  // namespace

HRESULT DirectSoundCreate(LPCGUID device, IDirectSound** out, IUnknown* outer) {
    if (!out || outer) return DSERR_INVALIDPARAM;
    *out = nullptr;
    auto sys = snd::GetSoundSystem();
    if (!sys) return DSERR_NODRIVER;
    std::string id = EndpointForGuid(sys.get(), device);
    if (id.empty()) return DSERR_NODRIVER;
    *out = new DirectSoundObject(std::move(sys), std::move(id));
    return DS_OK;
}

HRESULT DirectSoundEnumerateW(LPDSENUMCALLBACKW callback, void* context) {
    if (!callback) return DSERR_INVALIDPARAM;
    auto sys = snd::GetSoundSystem();
    if (!sys) return DS_OK;
    MaybeFault(sys.get());
    std::vector<snd::EndpointInfo> list = snd::ActiveEndpoints(sys.get());
    if (list.empty()) return DS_OK;
    if (!callback(nullptr, kPrimaryName, u"", context)) return DS_OK;
    for (const snd::EndpointInfo& e : list) {
        GUID g = EndpointGuid(e.id);
        std::u16string module = Utf8ToUtf16(e.id);
        if (!callback(&g, e.friendlyName.c_str(), module.c_str(), context)) break;
    }
    return DS_OK;
}

HRESULT GetDeviceID(LPCGUID source, GUID* dest) {
    if (!dest) return DSERR_INVALIDPARAM;
    auto sys = snd::GetSoundSystem();
    if (!sys) return DSERR_NODRIVER;
    std::string id = EndpointForGuid(sys.get(), source);
    if (id.empty()) return DSERR_NODRIVER;
    *dest = EndpointGuid(id);
    return DS_OK;
}

HMODULE LoadLibraryA(const char* name) {
    if (!name || strcasecmp(name, "DSOUND.DLL") != 0) {
        SetLastError(126);  // ERROR_MOD_NOT_FOUND
        return nullptr;
    }
    auto sys = snd::GetSoundSystem();
    if (sys && sys->TakeFault(kFaultDSoundLoad)) {
        SetLastError(126);
        return nullptr;
    }
    return &gModuleTag;
}

void* GetProcAddress(HMODULE module, const char* name) {
    if (module != &gModuleTag || !name) {
        SetLastError(127);  // ERROR_PROC_NOT_FOUND
        return nullptr;
    }
    if (strcmp(name, "DirectSoundCreate") == 0) return reinterpret_cast<void*>(&DirectSoundCreate);
    if (strcmp(name, "DirectSoundEnumerateW") == 0)
        return reinterpret_cast<void*>(&DirectSoundEnumerateW);
    if (strcmp(name, "GetDeviceID") == 0) return reinterpret_cast<void*>(&GetDeviceID);
    SetLastError(127);
    return nullptr;
}

BOOL FreeLibrary(HMODULE module) { return module == &gModuleTag ? TRUE : FALSE; }

HWND GetDesktopWindow() { return &gDesktopTag; }

}  // namespace kva_audioplayer
