#include "platform/VirtualSoundSystem.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/PcmUtil.h"
#include "platform/SoundListeners.h"
#include "platform/WavWriter.h"
#include "support/Log.h"

namespace kva_audioplayer {
namespace snd {

const char* const kFaultAny = "virtual.any";
const char* const kFaultOpen = "virtual.open";
const char* const kFaultFormat = "virtual.format";
const char* const kFaultWrite = "virtual.write";
const char* const kFaultPadding = "virtual.padding";
const char* const kFaultStart = "virtual.start";
const char* const kFaultStop = "virtual.stop";
const char* const kFaultReset = "virtual.reset";
const char* const kFaultVolume = "virtual.volume";
const char* const kFaultDSoundLost = "dsound.lost";
const char* const kFaultWaveOutNoDriver = "waveout.nodriver";

namespace {

using Clock = std::chrono::steady_clock;

struct VEndpoint {
    EndpointInfo info;
    bool acceptAny = false;
    bool refuseAll = false;
    std::vector<Format> refused;
    bool capture = false;
    std::vector<uint8_t> captured;
    uint64_t rendered = 0;
    std::unique_ptr<WavWriter> wav;
    bool wavMismatchLogged = false;
    bool wavFailed = false;  // a write to the file failed: the endpoint fails like a lost device
};

class VirtualStream;

}  // namespace

struct VirtualSoundSystem::Core {
    // Held while period callbacks run, so a stream cannot go away under one; taken before mutex.
    std::mutex cbMutex;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable drained;
    std::vector<std::shared_ptr<VEndpoint>> endpoints;
    std::string defaultId;
    std::vector<VirtualStream*> streams;
    std::map<std::string, int32_t> faults;
    int32_t faultResult = kFailed;
    bool fast = false;
    bool quit = false;
    bool shutDown = false;
    std::thread consumer;
    ListenerHub hub;

    std::shared_ptr<VEndpoint> FindLocked(const std::string& id) {
        for (auto& ep : endpoints) {
            if (ep->info.id == id) return ep;
        }
        return nullptr;
    }
    bool TakeNamedLocked(const char* name) {
        auto it = faults.find(name);
        if (it == faults.end() || it->second == 0) return false;
        if (it->second > 0 && --it->second == 0) faults.erase(it);
        return true;
    }
    // A call with its own fault name fails on that name or on a pending "any".
    bool FaultLocked(const char* name) { return TakeNamedLocked(name) || TakeNamedLocked(kFaultAny); }
    void InvalidateStreamsLocked(const VEndpoint* ep);
    void ConsumerLoop();
};

namespace {

class VirtualStream : public IRenderStream {
public:
    VirtualStream(std::shared_ptr<VirtualSoundSystem::Core> core, std::shared_ptr<VEndpoint> ep,
                  const Format& format, uint32_t bufferFrames, uint32_t periodFrames)
        : mCore(std::move(core)), mEp(std::move(ep)), mFormat(format),
          mBufferFrames(bufferFrames), mPeriodFrames(periodFrames) {
        const size_t bytes = size_t(bufferFrames) * size_t(format.BlockAlign());
        mRing.resize(bytes);
        mFill.resize(bufferFrames);
        mScratch.resize(bytes);
        mFloat.resize(size_t(bufferFrames) * size_t(format.channels));
        mPeriodNs = int64_t(periodFrames) * 1000000000LL / format.sampleRate;
        if (mPeriodNs <= 0) mPeriodNs = 1;
    }

    ~VirtualStream() override {
        std::lock_guard<std::mutex> cb(mCore->cbMutex);
        std::lock_guard<std::mutex> lock(mCore->mutex);
        auto& v = mCore->streams;
        v.erase(std::remove(v.begin(), v.end(), this), v.end());
        if (mEp->wav) mEp->wav->Finalize();
        mCore->drained.notify_all();
    }

    Format GetFormat() override { return mFormat; }
    uint32_t BufferFrames() override { return mBufferFrames; }
    uint32_t PeriodFrames() override { return mPeriodFrames; }

    int32_t GetPadding(uint32_t* frames) override {
        if (!frames) return kInvalidArg;
        std::lock_guard<std::mutex> lock(mCore->mutex);
        if (mInvalid) return kInvalidated;
        if (mCore->FaultLocked(kFaultPadding)) return mCore->faultResult;
        *frames = mCount;
        return kOk;
    }

    int32_t Write(const uint8_t* data, uint32_t frames, uint32_t flags) override {
        bool signal = false;
        {
            std::lock_guard<std::mutex> lock(mCore->mutex);
            if (mInvalid) return kInvalidated;
            if (mCore->FaultLocked(kFaultWrite)) return mCore->faultResult;
            if (frames == 0) return kOk;
            if (!data || frames > mBufferFrames - mCount) return kInvalidArg;
            const uint32_t ba = uint32_t(mFormat.BlockAlign());
            uint32_t writePos = (mReadPos + mCount) % mBufferFrames;
            uint32_t first = std::min(frames, mBufferFrames - writePos);
            std::copy(data, data + size_t(first) * ba, mRing.begin() + size_t(writePos) * ba);
            if (first < frames) {
                std::copy(data + size_t(first) * ba, data + size_t(frames) * ba, mRing.begin());
            }
            const uint8_t fill = (flags & kWriteDeviceFill) ? 1 : 0;
            std::fill_n(mFill.begin() + writePos, first, fill);
            std::fill_n(mFill.begin(), frames - first, fill);
            mCount += frames;
            if (mRunning && mCore->fast) {
                ConsumeLocked(mCount);
                mSignal = true;
                signal = true;
            }
        }
        if (signal) mCore->wake.notify_all();
        return kOk;
    }

    int32_t Start() override {
        bool signal = false;
        {
            std::lock_guard<std::mutex> lock(mCore->mutex);
            if (mInvalid) return kInvalidated;
            if (mCore->FaultLocked(kFaultStart)) return mCore->faultResult;
            if (mRunning) return kWrongState;
            mRunning = true;
            mNextTick = Clock::now() + std::chrono::nanoseconds(mPeriodNs);
            if (mCore->fast && mCount > 0) {
                ConsumeLocked(mCount);
                mSignal = true;
            }
            signal = true;
        }
        if (signal) mCore->wake.notify_all();
        return kOk;
    }

    int32_t Stop() override {
        std::lock_guard<std::mutex> lock(mCore->mutex);
        if (mInvalid) return kInvalidated;
        if (mCore->FaultLocked(kFaultStop)) return mCore->faultResult;
        if (!mRunning) return kFalse;
        mRunning = false;
        if (mEp->wav) mEp->wav->Finalize();
        mCore->drained.notify_all();
        return kOk;
    }

    int32_t Reset() override {
        std::lock_guard<std::mutex> lock(mCore->mutex);
        if (mInvalid) return kInvalidated;
        if (mCore->FaultLocked(kFaultReset)) return mCore->faultResult;
        if (mRunning) return kWrongState;
        mCount = 0;
        mReadPos = 0;
        return kOk;
    }

    void SetPeriodCallback(void (*fn)(void*), void* context) override {
        std::lock_guard<std::mutex> cb(mCore->cbMutex);
        mCallback = fn;
        mContext = context;
    }

    uint64_t FramesPlayed() override {
        std::lock_guard<std::mutex> lock(mCore->mutex);
        return mPlayed;
    }

    int32_t SetVolume(float volume) override {
        std::lock_guard<std::mutex> lock(mCore->mutex);
        if (mInvalid) return kInvalidated;
        if (!(volume >= 0.0f && volume <= 1.0f)) return kInvalidArg;
        if (mCore->FaultLocked(kFaultVolume)) return mCore->faultResult;
        mVolume = volume;
        return kOk;
    }

    float GetVolume() override {
        std::lock_guard<std::mutex> lock(mCore->mutex);
        return mVolume;
    }

    int32_t GetStatus() override {
        std::lock_guard<std::mutex> lock(mCore->mutex);
        return mInvalid ? kInvalidated : kOk;
    }

    // Plays up to frames of what is written: volume, then capture and the WAV file.
    void ConsumeLocked(uint32_t frames) {
        frames = std::min(frames, mCount);
        const uint32_t ba = uint32_t(mFormat.BlockAlign());
        VEndpoint& ep = *mEp;
        const Format& mix = ep.info.mixFormat;
        const bool wavOk = ep.wav && mFormat.sampleRate == mix.sampleRate &&
                           mFormat.channels == mix.channels;
        if (ep.wav && !wavOk && !ep.wavMismatchLogged) {
            ep.wavMismatchLogged = true;
            KVA_LOG(kLogError, "VirtualSoundSystem: stream format %d Hz %d ch differs from the "
                    "WAV file's; not written", mFormat.sampleRate, mFormat.channels);
        }
        while (frames > 0) {
            uint32_t n = std::min(frames, mBufferFrames - mReadPos);
            const uint8_t* src = mRing.data() + size_t(mReadPos) * ba;
            ApplyVolume(mFormat, src, mScratch.data(), n, mVolume);
            if (ep.capture) {
                ep.captured.insert(ep.captured.end(), mScratch.data(),
                                   mScratch.data() + size_t(n) * ba);
            }
            if (wavOk) {
                // The file holds the media only: the device's own silence stays out.
                ToFloat(mFormat, mScratch.data(), mFloat.data(), n);
                for (uint32_t i = 0; i < n;) {
                    uint32_t run = i;
                    while (run < n && !mFill[mReadPos + run]) ++run;
                    if (run > i && !ep.wav->Append(mFloat.data() + size_t(i) * mFormat.channels, run - i)) {
                        // A full disk must not pass for a finished render.
                        ep.wavFailed = true;
                        mCore->InvalidateStreamsLocked(&ep);
                        return;
                    }
                    while (run < n && mFill[mReadPos + run]) ++run;
                    i = run;
                }
            }
            mReadPos = (mReadPos + n) % mBufferFrames;
            mCount -= n;
            mPlayed += n;
            ep.rendered += n;
            frames -= n;
        }
    }

    std::shared_ptr<VirtualSoundSystem::Core> mCore;
    std::shared_ptr<VEndpoint> mEp;
    const Format mFormat;
    const uint32_t mBufferFrames;
    const uint32_t mPeriodFrames;
    int64_t mPeriodNs = 1;
    // Under the core's mutex:
    std::vector<uint8_t> mRing;
    std::vector<uint8_t> mFill;  // per frame of the ring: kWriteDeviceFill
    std::vector<uint8_t> mScratch;
    std::vector<float> mFloat;
    uint32_t mReadPos = 0;
    uint32_t mCount = 0;
    uint64_t mPlayed = 0;
    float mVolume = 1.0f;
    bool mRunning = false;
    bool mInvalid = false;
    bool mSignal = false;
    Clock::time_point mNextTick;
    // Under the core's cbMutex:
    void (*mCallback)(void*) = nullptr;
    void* mContext = nullptr;
};

}  // namespace

void VirtualSoundSystem::Core::InvalidateStreamsLocked(const VEndpoint* ep) {
    bool any = false;
    for (VirtualStream* s : streams) {
        if (ep && s->mEp.get() != ep) continue;
        if (!s->mInvalid) {
            s->mInvalid = true;
            s->mRunning = false;
            s->mSignal = true;  // wakes a writer waiting for room, which then sees the failure
            any = true;
        }
    }
    if (ep && ep->wav) ep->wav->Finalize();
    if (any) {
        wake.notify_all();
        drained.notify_all();
    }
}

void VirtualSoundSystem::Core::ConsumerLoop() {
    pthread_setname_np(pthread_self(), "KvaVirtualSound");
    struct Pending {
        void (*fn)(void*);
        void* ctx;
    };
    std::vector<Pending> calls;
    calls.reserve(16);
    for (;;) {
        Clock::time_point nextWake;
        {
            std::lock_guard<std::mutex> cb(cbMutex);
            std::unique_lock<std::mutex> lock(mutex);
            if (quit) return;
            const Clock::time_point now = Clock::now();
            nextWake = now + std::chrono::milliseconds(100);
            for (VirtualStream* s : streams) {
                if (s->mRunning && !s->mInvalid && !fast) {
                    const auto period = std::chrono::nanoseconds(s->mPeriodNs);
                    // After a long stall, resume the clock instead of bursting to catch up.
                    if (now - s->mNextTick > period * 4) s->mNextTick = now;
                    while (s->mNextTick <= now) {
                        s->ConsumeLocked(s->mPeriodFrames);
                        s->mSignal = true;
                        s->mNextTick += period;
                    }
                    nextWake = std::min(nextWake, s->mNextTick);
                }
            }
            calls.clear();
            for (VirtualStream* s : streams) {
                if (s->mSignal) {
                    s->mSignal = false;
                    if (s->mCallback) calls.push_back(Pending{s->mCallback, s->mContext});
                }
            }
            drained.notify_all();
            lock.unlock();
            for (const Pending& p : calls) p.fn(p.ctx);
        }
        std::unique_lock<std::mutex> lock(mutex);
        if (quit) return;
        bool signalled = false;
        for (VirtualStream* s : streams) signalled = signalled || s->mSignal;
        if (!signalled) wake.wait_until(lock, nextWake);
    }
}

VirtualSoundSystem::VirtualSoundSystem(bool fast) : mCore(std::make_shared<Core>()) {
    mCore->fast = fast;
    mCore->hub.Start("KvaVirtualNotif");
    Core* core = mCore.get();
    mCore->consumer = std::thread([core] { core->ConsumerLoop(); });
}

VirtualSoundSystem::~VirtualSoundSystem() {
    mCore->hub.Stop();
    {
        std::lock_guard<std::mutex> lock(mCore->mutex);
        mCore->quit = true;
    }
    mCore->wake.notify_all();
    if (mCore->consumer.joinable()) mCore->consumer.join();
    std::lock_guard<std::mutex> lock(mCore->mutex);
    mCore->shutDown = true;
    mCore->InvalidateStreamsLocked(nullptr);
    for (auto& ep : mCore->endpoints) {
        if (ep->wav) ep->wav->Close();
    }
}

EndpointInfo VirtualSoundSystem::MakeEndpoint(const std::string& id,
                                              const std::u16string& friendlyName,
                                              const std::u16string& adapterName) {
    EndpointInfo info;
    info.id = id;
    info.friendlyName = friendlyName;
    info.adapterName = adapterName;
    return info;
}

std::vector<EndpointInfo> VirtualSoundSystem::GetEndpoints() {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    std::vector<EndpointInfo> out;
    out.reserve(mCore->endpoints.size());
    for (auto& ep : mCore->endpoints) out.push_back(ep->info);
    return out;
}

bool VirtualSoundSystem::GetEndpoint(const std::string& id, EndpointInfo* out) {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    auto ep = mCore->FindLocked(id);
    if (!ep) return false;
    if (out) *out = ep->info;
    return true;
}

std::string VirtualSoundSystem::GetDefaultEndpoint() {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    return mCore->defaultId;
}

int32_t VirtualSoundSystem::IsFormatSupported(const std::string& id, const Format& want,
                                              Format* closest) {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    auto ep = mCore->FindLocked(id);
    if (!ep) return kNotFound;
    if (ep->info.state != kStateActive) return kInvalidated;
    if (mCore->FaultLocked(kFaultFormat)) return mCore->faultResult;
    if (!IsValidFormat(want)) return kInvalidArg;
    if (ep->refuseAll) return kUnsupportedFormat;
    for (const Format& f : ep->refused) {
        if (f == want) return kUnsupportedFormat;
    }
    if (ep->acceptAny || want == ep->info.mixFormat) return kOk;
    if (closest) *closest = ep->info.mixFormat;
    return kFalse;
}

int32_t VirtualSoundSystem::OpenStream(const std::string& id, const Format& format,
                                       uint32_t bufferFrames, std::unique_ptr<IRenderStream>* out) {
    if (!out) return kInvalidArg;
    std::unique_ptr<IRenderStream> made;
    int32_t r = MakeStream(id, format, bufferFrames, &made);
    // Assigned outside the lock: a stream that *out held before is destroyed here.
    if (r == kOk) *out = std::move(made);
    return r;
}

int32_t VirtualSoundSystem::MakeStream(const std::string& id, const Format& format,
                                         uint32_t bufferFrames, std::unique_ptr<IRenderStream>* out) {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    auto ep = mCore->FindLocked(id);
    if (!ep) return kNotFound;
    if (ep->info.state != kStateActive || ep->wavFailed) return kInvalidated;
    if (mCore->FaultLocked(kFaultOpen)) return mCore->faultResult;
    if (!IsValidFormat(format)) return kInvalidArg;
    if (ep->refuseAll) return kUnsupportedFormat;
    for (const Format& f : ep->refused) {
        if (f == format) return kUnsupportedFormat;
    }
    if (!ep->acceptAny && format != ep->info.mixFormat) return kUnsupportedFormat;
    const Format& mix = ep->info.mixFormat;
    uint32_t period = uint32_t(uint64_t(ep->info.periodFrames) * uint64_t(format.sampleRate) /
                               uint64_t(mix.sampleRate > 0 ? mix.sampleRate : format.sampleRate));
    if (period == 0) period = 1;
    // Like a shared-mode client: never less than two periods.
    uint32_t frames = std::max(bufferFrames, period * 2);
    if (frames > uint32_t(format.sampleRate) * 10u) return kInvalidArg;
    auto* stream = new VirtualStream(mCore, ep, format, frames, period);
    mCore->streams.push_back(stream);
    out->reset(stream);
    return kOk;
}

void VirtualSoundSystem::AddListener(IListener* listener) { mCore->hub.Add(listener); }
void VirtualSoundSystem::RemoveListener(IListener* listener) { mCore->hub.Remove(listener); }

void VirtualSoundSystem::AnnounceEndpoints() {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    for (auto& ep : mCore->endpoints) {
        if (ep->info.state == kStateActive) mCore->hub.Post(ListenerHub::kAdded, ep->info.id);
    }
    if (!mCore->defaultId.empty()) mCore->hub.Post(ListenerHub::kDefaultChanged, mCore->defaultId);
}

bool VirtualSoundSystem::TakeFault(const char* name) {
    if (!name) return false;
    std::lock_guard<std::mutex> lock(mCore->mutex);
    return mCore->TakeNamedLocked(name);
}

void VirtualSoundSystem::SetFast(bool fast) {
    {
        std::lock_guard<std::mutex> lock(mCore->mutex);
        mCore->fast = fast;
        const Clock::time_point now = Clock::now();
        for (VirtualStream* s : mCore->streams) {
            if (!s->mRunning) continue;
            if (fast) {
                s->ConsumeLocked(s->mCount);
                s->mSignal = true;
            } else {
                s->mNextTick = now + std::chrono::nanoseconds(s->mPeriodNs);
            }
        }
    }
    mCore->wake.notify_all();
}

bool VirtualSoundSystem::IsFast() {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    return mCore->fast;
}

int32_t VirtualSoundSystem::AddEndpoint(const EndpointInfo& info, bool makeDefault) {
    if (info.id.empty() || !IsValidFormat(info.mixFormat) || info.periodFrames == 0) {
        return kInvalidArg;
    }
    bool becameDefault = false;
    {
        std::lock_guard<std::mutex> lock(mCore->mutex);
        if (mCore->FindLocked(info.id)) return kInvalidArg;
        auto ep = std::make_shared<VEndpoint>();
        ep->info = info;
        mCore->endpoints.push_back(ep);
        if (info.state == kStateActive && (makeDefault || mCore->defaultId.empty())) {
            mCore->defaultId = info.id;
            becameDefault = true;
        }
    }
    mCore->hub.Post(ListenerHub::kAdded, info.id);
    if (becameDefault) mCore->hub.Post(ListenerHub::kDefaultChanged, info.id);
    return kOk;
}

namespace {
// The first active endpoint other than skip, or "".
std::string FirstActive(const std::vector<std::shared_ptr<VEndpoint>>& eps,
                        const std::string& skip) {
    for (auto& ep : eps) {
        if (ep->info.id != skip && ep->info.state == kStateActive) return ep->info.id;
    }
    return std::string();
}
}  // namespace

int32_t VirtualSoundSystem::RemoveEndpoint(const std::string& id) {
    bool defaultMoved = false;
    std::string newDefault;
    {
        std::lock_guard<std::mutex> lock(mCore->mutex);
        auto ep = mCore->FindLocked(id);
        if (!ep) return kNotFound;
        mCore->InvalidateStreamsLocked(ep.get());
        if (ep->wav) ep->wav->Close();
        auto& v = mCore->endpoints;
        v.erase(std::remove(v.begin(), v.end(), ep), v.end());
        if (mCore->defaultId == id) {
            mCore->defaultId = FirstActive(v, id);
            newDefault = mCore->defaultId;
            defaultMoved = true;
        }
    }
    mCore->hub.Post(ListenerHub::kRemoved, id);
    if (defaultMoved) mCore->hub.Post(ListenerHub::kDefaultChanged, newDefault);
    return kOk;
}

int32_t VirtualSoundSystem::SetEndpointState(const std::string& id, uint32_t state) {
    bool defaultMoved = false;
    std::string newDefault;
    {
        std::lock_guard<std::mutex> lock(mCore->mutex);
        auto ep = mCore->FindLocked(id);
        if (!ep) return kNotFound;
        if (ep->info.state == state) return kFalse;
        ep->info.state = state;
        if (state != kStateActive) {
            mCore->InvalidateStreamsLocked(ep.get());
            if (mCore->defaultId == id) {
                mCore->defaultId = FirstActive(mCore->endpoints, id);
                newDefault = mCore->defaultId;
                defaultMoved = true;
            }
        } else if (mCore->defaultId.empty()) {
            mCore->defaultId = id;
            newDefault = id;
            defaultMoved = true;
        }
    }
    mCore->hub.Post(ListenerHub::kStateChanged, id, state);
    if (defaultMoved) mCore->hub.Post(ListenerHub::kDefaultChanged, newDefault);
    return kOk;
}

int32_t VirtualSoundSystem::SetDefaultEndpoint(const std::string& id) {
    {
        std::lock_guard<std::mutex> lock(mCore->mutex);
        auto ep = mCore->FindLocked(id);
        if (!ep) return kNotFound;
        if (ep->info.state != kStateActive) return kWrongState;
        if (mCore->defaultId == id) return kFalse;
        mCore->defaultId = id;
    }
    mCore->hub.Post(ListenerHub::kDefaultChanged, id);
    return kOk;
}

int32_t VirtualSoundSystem::InvalidateEndpoint(const std::string& id) {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    auto ep = mCore->FindLocked(id);
    if (!ep) return kNotFound;
    mCore->InvalidateStreamsLocked(ep.get());
    return kOk;
}

int32_t VirtualSoundSystem::SetAcceptAnyFormat(const std::string& id, bool acceptAny) {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    auto ep = mCore->FindLocked(id);
    if (!ep) return kNotFound;
    ep->acceptAny = acceptAny;
    return kOk;
}

int32_t VirtualSoundSystem::RefuseFormat(const std::string& id, const Format& format) {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    auto ep = mCore->FindLocked(id);
    if (!ep) return kNotFound;
    ep->refused.push_back(format);
    return kOk;
}

int32_t VirtualSoundSystem::SetRefuseAllFormats(const std::string& id, bool refuse) {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    auto ep = mCore->FindLocked(id);
    if (!ep) return kNotFound;
    ep->refuseAll = refuse;
    return kOk;
}

int32_t VirtualSoundSystem::ClearRefusedFormats(const std::string& id) {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    auto ep = mCore->FindLocked(id);
    if (!ep) return kNotFound;
    ep->refused.clear();
    ep->refuseAll = false;
    return kOk;
}

void VirtualSoundSystem::InjectFault(const std::string& name, int32_t count) {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    if (count == 0) {
        mCore->faults.erase(name);
    } else {
        mCore->faults[name] = count;
    }
}

int32_t VirtualSoundSystem::PendingFaults(const std::string& name) {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    auto it = mCore->faults.find(name);
    return it == mCore->faults.end() ? 0 : it->second;
}

void VirtualSoundSystem::ClearFaults() {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    mCore->faults.clear();
}

void VirtualSoundSystem::SetFaultResult(int32_t result) {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    mCore->faultResult = result;
}

int32_t VirtualSoundSystem::SetCapture(const std::string& id, bool enabled) {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    auto ep = mCore->FindLocked(id);
    if (!ep) return kNotFound;
    ep->capture = enabled;
    return kOk;
}

std::vector<uint8_t> VirtualSoundSystem::GetCaptured(const std::string& id) {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    auto ep = mCore->FindLocked(id);
    return ep ? ep->captured : std::vector<uint8_t>();
}

std::vector<uint8_t> VirtualSoundSystem::TakeCaptured(const std::string& id) {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    auto ep = mCore->FindLocked(id);
    std::vector<uint8_t> out;
    if (ep) out.swap(ep->captured);
    return out;
}

void VirtualSoundSystem::ClearCaptured(const std::string& id) {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    auto ep = mCore->FindLocked(id);
    if (ep) ep->captured.clear();
}

uint64_t VirtualSoundSystem::RenderedFrames(const std::string& id) {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    auto ep = mCore->FindLocked(id);
    return ep ? ep->rendered : 0;
}

int32_t VirtualSoundSystem::SetWavOutput(const std::string& id, const std::string& path) {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    auto ep = mCore->FindLocked(id);
    if (!ep) return kNotFound;
    auto wav = std::make_unique<WavWriter>();
    const Format& mix = ep->info.mixFormat;
    if (!wav->Open(path, mix.sampleRate, mix.channels, mix.channelMask)) return kFailed;
    if (ep->wav) ep->wav->Close();
    ep->wav = std::move(wav);
    ep->wavMismatchLogged = false;
    ep->wavFailed = false;
    return kOk;
}

int32_t VirtualSoundSystem::CloseWavOutput(const std::string& id) {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    auto ep = mCore->FindLocked(id);
    if (!ep) return kNotFound;
    if (!ep->wav) return kFalse;
    ep->wav->Close();
    ep->wav.reset();
    ep->wavFailed = false;
    return kOk;
}

bool VirtualSoundSystem::WaitDrained(const std::string& id, int64_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mCore->mutex);
    return mCore->drained.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (VirtualStream* s : mCore->streams) {
            if (s->mEp->info.id == id && s->mRunning && !s->mInvalid && s->mCount > 0) {
                return false;
            }
        }
        return true;
    });
}

}  // namespace snd
}  // namespace kva_audioplayer
