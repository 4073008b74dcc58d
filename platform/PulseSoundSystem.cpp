#include "platform/PulseSoundSystem.h"

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>

#include "platform/SoundListeners.h"
#include "platform/SoundSystemSelect.h"
#include "platform/WinCompat.h"
#include "support/Log.h"
#include "support/TextUtil.h"

namespace kva_audioplayer {
namespace snd {

namespace {

class PulseStream;

// WAVEFORMATEXTENSIBLE speaker bits in order, and the server's positions for them.
const pa_channel_position_t kMaskPositions[] = {
    PA_CHANNEL_POSITION_FRONT_LEFT,       PA_CHANNEL_POSITION_FRONT_RIGHT,
    PA_CHANNEL_POSITION_FRONT_CENTER,     PA_CHANNEL_POSITION_LFE,
    PA_CHANNEL_POSITION_REAR_LEFT,        PA_CHANNEL_POSITION_REAR_RIGHT,
    PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER, PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER,
    PA_CHANNEL_POSITION_REAR_CENTER,      PA_CHANNEL_POSITION_SIDE_LEFT,
    PA_CHANNEL_POSITION_SIDE_RIGHT,       PA_CHANNEL_POSITION_TOP_CENTER,
    PA_CHANNEL_POSITION_TOP_FRONT_LEFT,   PA_CHANNEL_POSITION_TOP_FRONT_CENTER,
    PA_CHANNEL_POSITION_TOP_FRONT_RIGHT,  PA_CHANNEL_POSITION_TOP_REAR_LEFT,
    PA_CHANNEL_POSITION_TOP_REAR_CENTER,  PA_CHANNEL_POSITION_TOP_REAR_RIGHT,
};
constexpr int kMaskBits = int(sizeof(kMaskPositions) / sizeof(kMaskPositions[0]));

uint32_t MaskFromMap(const pa_channel_map& map) {
    uint32_t mask = 0;
    for (int c = 0; c < map.channels; ++c) {
        int bit = -1;
        for (int b = 0; b < kMaskBits; ++b) {
            if (kMaskPositions[b] == map.map[c]) bit = b;
        }
        if (map.map[c] == PA_CHANNEL_POSITION_MONO) bit = 2;
        if (bit < 0 || (mask & (1u << bit))) return 0;  // not expressible as a mask
        mask |= 1u << bit;
    }
    return mask;
}

bool MapFromFormat(const Format& f, pa_channel_map* map) {
    int bits = __builtin_popcount(f.channelMask);
    if (f.channelMask != 0 && bits == f.channels && (f.channelMask >> kMaskBits) == 0) {
        if (f.channels == 1 && f.channelMask == 0x4) {
            pa_channel_map_init_mono(map);
            return true;
        }
        pa_channel_map_init(map);
        map->channels = uint8_t(f.channels);
        int c = 0;
        for (int b = 0; b < kMaskBits; ++b) {
            if (f.channelMask & (1u << b)) map->map[c++] = kMaskPositions[b];
        }
        return true;
    }
    return pa_channel_map_init_extend(map, unsigned(f.channels), PA_CHANNEL_MAP_WAVEEX) != nullptr;
}

bool SampleFormatFromFormat(const Format& f, pa_sample_spec* sampleFormat) {
    if (!IsValidFormat(f)) return false;
    if (f.isFloat) {
        sampleFormat->format = PA_SAMPLE_FLOAT32LE;
    } else {
        switch (f.bitsPerSample) {
        case 8: sampleFormat->format = PA_SAMPLE_U8; break;
        case 16: sampleFormat->format = PA_SAMPLE_S16LE; break;
        case 24: sampleFormat->format = PA_SAMPLE_S24LE; break;
        default: sampleFormat->format = PA_SAMPLE_S32LE; break;
        }
    }
    sampleFormat->rate = uint32_t(f.sampleRate);
    sampleFormat->channels = uint8_t(f.channels);
    return pa_sample_spec_valid(sampleFormat) != 0;
}

// The loop thread carries every write to the server.
void RaiseLoopThread(pa_threaded_mainloop*, void*) { RaiseAudioServiceThread(); }

struct SinkEntry {
    uint32_t index = PA_INVALID_INDEX;
    EndpointInfo info;
};

}  // namespace

struct PulseSoundSystem::Core {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    // The fields below are touched with the main loop's lock held (callbacks run with it held).
    std::vector<SinkEntry> sinks;
    std::string defaultSink;
    std::vector<PulseStream*> streams;
    bool announce = false;  // initial enumeration done: changes are reported from now on
    bool failed = false;
    std::string appName;  // also the streams' name, which mixers show beside it
    ListenerHub hub;

    ~Core();
    bool OnLoopThread() { return loop && pa_threaded_mainloop_in_thread(loop); }
    // Waits (lock held) until done() or the time is up; false on time-out.
    bool WaitLocked(const std::function<bool()>& done, int timeoutMs);
    // Waits for an operation to finish; cancels it on time-out. Takes the reference.
    bool WaitOperationLocked(pa_operation* op, int timeoutMs);
    SinkEntry* FindSinkLocked(const std::string& name) {
        for (auto& s : sinks) {
            if (s.info.id == name) return &s;
        }
        return nullptr;
    }
    void InvalidateSinkStreamsLocked(uint32_t sinkIndex);

    static void ContextState(pa_context* c, void* self);
    static void Subscribe(pa_context* c, pa_subscription_event_type_t t, uint32_t idx, void* self);
    static void SinkInfo(pa_context* c, const pa_sink_info* info, int eol, void* self);
    static void ServerInfo(pa_context* c, const pa_server_info* info, void* self);
};

namespace {

class Lock {
public:
    explicit Lock(pa_threaded_mainloop* loop) : mLoop(loop) { pa_threaded_mainloop_lock(mLoop); }
    ~Lock() { pa_threaded_mainloop_unlock(mLoop); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    pa_threaded_mainloop* mLoop;
};

struct TimerFlag {
    pa_threaded_mainloop* loop;
    bool fired = false;
};

void TimerFired(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
    auto* t = static_cast<TimerFlag*>(userdata);
    t->fired = true;
    pa_threaded_mainloop_signal(t->loop, 0);
}

void SuccessSignal(pa_stream*, int success, void* userdata) {
    auto* pair = static_cast<std::pair<pa_threaded_mainloop*, int>*>(userdata);
    pair->second = success ? 1 : 0;
    pa_threaded_mainloop_signal(pair->first, 0);
}

class PulseStream : public IRenderStream {
public:
    PulseStream(std::shared_ptr<PulseSoundSystem::Core> core, const Format& format)
        : mCore(std::move(core)), mFormat(format), mBlockAlign(uint32_t(format.BlockAlign())) {
        static std::atomic<uint64_t> serials{0};
        mSerial = ++serials;
    }

    ~PulseStream() override {
        Lock lock(mCore->loop);
        auto& v = mCore->streams;
        v.erase(std::remove(v.begin(), v.end(), this), v.end());
        if (mStream) {
            pa_stream_set_state_callback(mStream, nullptr, nullptr);
            pa_stream_set_write_callback(mStream, nullptr, nullptr);
            pa_stream_set_underflow_callback(mStream, nullptr, nullptr);
            pa_stream_set_moved_callback(mStream, nullptr, nullptr);
            if (pa_stream_get_state(mStream) == PA_STREAM_READY) pa_stream_disconnect(mStream);
            pa_stream_unref(mStream);
            mStream = nullptr;
        }
    }

    // With the lock held; kOk once the stream is ready.
    int32_t Connect(const std::string& sink, uint32_t sinkIndex, uint32_t bufferFrames,
                    uint32_t periodFrames) {
        pa_sample_spec sampleFormat;
        pa_channel_map map;
        if (!SampleFormatFromFormat(mFormat, &sampleFormat) || !MapFromFormat(mFormat, &map)) return kInvalidArg;
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "music");
        mStream = pa_stream_new_with_proplist(mCore->context, mCore->appName.c_str(), &sampleFormat,
                                              &map, props);
        pa_proplist_free(props);
        if (!mStream) return kFailed;
        mSinkIndex = sinkIndex;
        pa_stream_set_state_callback(mStream, &PulseStream::StateCb, this);
        pa_stream_set_write_callback(mStream, &PulseStream::WriteCb, this);
        pa_stream_set_underflow_callback(mStream, &PulseStream::UnderflowCb, this);
        pa_stream_set_moved_callback(mStream, &PulseStream::MovedCb, this);
        pa_buffer_attr attr;
        attr.maxlength = uint32_t(-1);
        attr.tlength = bufferFrames * mBlockAlign;
        // One frame: after an underrun the server waits for data instead of running ahead of the
        // writer (which would drop what comes late), and resumes with the first frame written.
        attr.prebuf = mBlockAlign;
        attr.minreq = periodFrames * mBlockAlign;
        attr.fragsize = uint32_t(-1);
        auto flags = pa_stream_flags_t(PA_STREAM_START_CORKED | PA_STREAM_INTERPOLATE_TIMING |
                                       PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
        if (pa_stream_connect_playback(mStream, sink.c_str(), &attr, flags, nullptr, nullptr) < 0) {
            KVA_LOG(kLogError, "PulseSoundSystem: connect to %s failed: %s", sink.c_str(),
                    pa_strerror(pa_context_errno(mCore->context)));
            return kFailed;
        }
        bool done = mCore->WaitLocked(
            [&] {
                pa_stream_state_t st = pa_stream_get_state(mStream);
                return st == PA_STREAM_READY || !PA_STREAM_IS_GOOD(st);
            },
            PulseSoundSystem::kOperationTimeoutMs);
        if (!done || pa_stream_get_state(mStream) != PA_STREAM_READY) {
            KVA_LOG(kLogError, "PulseSoundSystem: stream on %s did not become ready", sink.c_str());
            return done ? kInvalidated : kFailed;
        }
        const pa_buffer_attr* got = pa_stream_get_buffer_attr(mStream);
        mBufferFrames = got && got->tlength >= mBlockAlign ? got->tlength / mBlockAlign : bufferFrames;
        mPeriodFrames = got && got->minreq >= mBlockAlign ? got->minreq / mBlockAlign : periodFrames;
        mPeriodFrames = std::min(mPeriodFrames, mBufferFrames);
        mSinkIndex = pa_stream_get_device_index(mStream);
        return kOk;
    }

    Format GetFormat() override { return mFormat; }
    uint32_t BufferFrames() override { return mBufferFrames; }
    uint32_t PeriodFrames() override { return mPeriodFrames; }

    int32_t GetPadding(uint32_t* frames) override {
        if (!frames) return kInvalidArg;
        Lock lock(mCore->loop);
        if (!UsableLocked()) return kInvalidated;
        *frames = mBufferFrames - RoomLocked();
        return kOk;
    }

    int32_t Write(const uint8_t* data, uint32_t frames, uint32_t) override {
        Lock lock(mCore->loop);
        if (!UsableLocked()) return kInvalidated;
        if (frames == 0) return kOk;
        if (!data || frames > RoomLocked()) return kInvalidArg;
        if (pa_stream_write(mStream, data, size_t(frames) * mBlockAlign, nullptr, 0,
                            PA_SEEK_RELATIVE) < 0) {
            return UsableLocked() ? kFailed : kInvalidated;
        }
        mWritten += frames;
        mUnderflow = false;
        return kOk;
    }

    int32_t Start() override { return Cork(false); }
    int32_t Stop() override { return Cork(true); }

    int32_t Reset() override {
        Lock lock(mCore->loop);
        if (!UsableLocked()) return kInvalidated;
        if (!mCorked) return kWrongState;
        if (!RunLocked(pa_stream_flush)) return UsableLocked() ? kFailed : kInvalidated;
        mWritten = FramesPlayedLocked();
        return kOk;
    }

    void SetPeriodCallback(void (*fn)(void*), void* context) override {
        Lock lock(mCore->loop);
        mCallback = fn;
        mContext = context;
    }

    uint64_t FramesPlayed() override {
        Lock lock(mCore->loop);
        return FramesPlayedLocked();
    }

    int32_t SetVolume(float volume) override {
        if (!(volume >= 0.0f && volume <= 1.0f)) return kInvalidArg;
        Lock lock(mCore->loop);
        if (!UsableLocked()) return kInvalidated;
        pa_cvolume cv;
        pa_cvolume_set(&cv, uint8_t(mFormat.channels), pa_sw_volume_from_linear(volume));
        pa_operation* op = pa_context_set_sink_input_volume(
            mCore->context, pa_stream_get_index(mStream), &cv, nullptr, nullptr);
        if (!op) return kFailed;
        pa_operation_unref(op);  // applied by the server in order; no need to wait
        mVolume = volume;
        return kOk;
    }

    float GetVolume() override {
        Lock lock(mCore->loop);
        return mVolume;
    }

    int32_t GetStatus() override {
        Lock lock(mCore->loop);
        return UsableLocked() ? kOk : kInvalidated;
    }

    uint32_t Moves() override { return mMoves.load(std::memory_order_acquire); }

    std::string EndpointId() override {
        Lock lock(mCore->loop);
        for (auto& s : mCore->sinks) {
            if (s.index == mSinkIndex) return s.info.id;
        }
        return std::string();
    }

    uint64_t Serial() const { return mSerial; }

    // Main loop thread, lock held: the server moved the stream away from a sink that is still
    // there (a mixer moved it), or away from one it is removing (the sink was lost).
    void MoveSettledLocked(uint32_t to, bool leftSinkExists) {
        if (!leftSinkExists) {
            KVA_LOG(kLogTrace, "PulseSoundSystem: stream moved off a sink that went away");
            // Silent until the owner lets it go, as a stream the server ended would be.
            if (mStream && !mCorked) {
                pa_operation* op = pa_stream_cork(mStream, 1, nullptr, nullptr);
                if (op) pa_operation_unref(op);
            }
            InvalidateLocked();
            return;
        }
        mSinkIndex = to;
        mMoves.fetch_add(1, std::memory_order_release);
        if (mCallback) mCallback(mContext);
    }

    // Main loop thread, lock held.
    void InvalidateLocked() {
        if (mInvalid) return;
        mInvalid = true;
        if (mCallback) mCallback(mContext);
    }
    uint32_t SinkIndex() const { return mSinkIndex; }

private:
    bool UsableLocked() {
        return !mInvalid && mStream && pa_stream_get_state(mStream) == PA_STREAM_READY;
    }

    // Written and not yet heard, by the stream's clock: what the server and the sink still hold.
    // (The server's write requests lag behind at the end of the data, so they are not used.)
    uint32_t RoomLocked() {
        uint64_t held = mWritten - FramesPlayedLocked();
        return mBufferFrames - uint32_t(std::min<uint64_t>(held, mBufferFrames));
    }

    uint64_t FramesPlayedLocked() {
        pa_usec_t usec = 0;
        // A corked stream's clock can still move by the server's read-ahead; it plays nothing.
        if (mCorked || !mStream) return mPlayed;
        uint64_t frames = mPlayed;
        if (pa_stream_get_time(mStream, &usec) == 0) {
            frames = usec * uint64_t(mFormat.sampleRate) / 1000000u;
        }
        // Run dry, the clock stops short by the sink's latency although the sink plays that
        // out: count it down from the moment of the underflow.
        const pa_timing_info* t = mUnderflow ? pa_stream_get_timing_info(mStream) : nullptr;
        if (t && t->read_index > 0) {
            const uint64_t read = uint64_t(t->read_index) / mBlockAlign;
            const pa_usec_t elapsed = pa_rtclock_now() - mUnderflowAt;
            const pa_usec_t left = t->sink_usec > elapsed ? t->sink_usec - elapsed : 0;
            const uint64_t leftFrames = left * uint64_t(mFormat.sampleRate) / 1000000u;
            if (read > leftFrames) frames = std::max(frames, read - leftFrames);
            // A server may keep back the last part of a period it never completes (PipeWire
            // does): once the sink's latency has passed, nothing written is still to come.
            if (left == 0 && elapsed > t->sink_usec + 20 * PA_USEC_PER_MSEC) frames = mWritten;
        }
        mPlayed = std::max(mPlayed, std::min<uint64_t>(frames, mWritten));
        return mPlayed;
    }

    bool RunLocked(pa_operation* (*fn)(pa_stream*, pa_stream_success_cb_t, void*)) {
        std::pair<pa_threaded_mainloop*, int> result(mCore->loop, -1);
        pa_operation* op = fn(mStream, &SuccessSignal, &result);
        if (!op) return false;
        bool done = mCore->WaitLocked([&] { return result.second >= 0 || !UsableLocked(); },
                                      PulseSoundSystem::kOperationTimeoutMs);
        if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
        pa_operation_unref(op);
        return done && result.second == 1;
    }

    int32_t Cork(bool cork) {
        Lock lock(mCore->loop);
        if (!UsableLocked()) return kInvalidated;
        if (cork == mCorked) return cork ? kFalse : kWrongState;
        std::pair<pa_threaded_mainloop*, int> result(mCore->loop, -1);
        pa_operation* op = pa_stream_cork(mStream, cork ? 1 : 0, &SuccessSignal, &result);
        if (!op) return kFailed;
        bool done = mCore->WaitLocked([&] { return result.second >= 0 || !UsableLocked(); },
                                      PulseSoundSystem::kOperationTimeoutMs);
        if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
        pa_operation_unref(op);
        if (!UsableLocked()) return kInvalidated;
        if (!done || result.second != 1) return kFailed;
        if (cork) FramesPlayedLocked();  // the last reading of the clock while it runs
        mCorked = cork;
        return kOk;
    }

    static void StateCb(pa_stream* s, void* self) {
        auto* me = static_cast<PulseStream*>(self);
        pa_stream_state_t st = pa_stream_get_state(s);
        if (!PA_STREAM_IS_GOOD(st)) {
            KVA_LOG(kLogTrace, "PulseSoundSystem: stream ended by the server (%d)", int(st));
            me->InvalidateLocked();
        }
        pa_threaded_mainloop_signal(me->mCore->loop, 0);
    }

    static void UnderflowCb(pa_stream*, void* self) {
        auto* me = static_cast<PulseStream*>(self);
        me->mUnderflow = true;
        me->mUnderflowAt = pa_rtclock_now();
    }

    struct MoveCheck {
        PulseSoundSystem::Core* core;
        uint64_t serial;
        uint32_t to;
        bool leftSinkExists;
    };

    static void MovedCb(pa_stream* s, void* self) {
        auto* me = static_cast<PulseStream*>(self);
        const uint32_t to = pa_stream_get_device_index(s);
        if (to == me->mSinkIndex || me->mInvalid) return;
        // A sink being removed has its streams moved off before it goes; the server answers
        // this query only after it is done with it.
        auto* check = new MoveCheck{me->mCore.get(), me->mSerial, to, false};
        pa_operation* op = pa_context_get_sink_info_by_index(me->mCore->context, me->mSinkIndex,
                                                             &PulseStream::LeftSinkInfo, check);
        if (op) {
            pa_operation_unref(op);
        } else {
            delete check;
            me->MoveSettledLocked(to, false);
        }
    }

    static void LeftSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* user) {
        auto* check = static_cast<MoveCheck*>(user);
        if (!eol) {
            check->leftSinkExists = info != nullptr;
            return;
        }
        for (PulseStream* st : check->core->streams) {
            if (st->Serial() == check->serial) st->MoveSettledLocked(check->to, check->leftSinkExists);
        }
        delete check;
    }

    static void WriteCb(pa_stream*, size_t, void* self) {
        auto* me = static_cast<PulseStream*>(self);
        if (me->mCallback) me->mCallback(me->mContext);
    }

    std::shared_ptr<PulseSoundSystem::Core> mCore;
    const Format mFormat;
    const uint32_t mBlockAlign;
    pa_stream* mStream = nullptr;
    uint32_t mSinkIndex = PA_INVALID_INDEX;
    uint64_t mSerial = 0;
    std::atomic<uint32_t> mMoves{0};
    uint32_t mBufferFrames = 0;
    uint32_t mPeriodFrames = 0;
    uint64_t mWritten = 0;
    uint64_t mPlayed = 0;
    float mVolume = 1.0f;
    bool mCorked = true;
    bool mUnderflow = false;
    pa_usec_t mUnderflowAt = 0;
    bool mInvalid = false;
    void (*mCallback)(void*) = nullptr;
    void* mContext = nullptr;
};

}  // namespace

PulseSoundSystem::Core::~Core() {
    hub.Stop();
    if (!loop) return;
    pa_threaded_mainloop_lock(loop);
    if (context) {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }
    pa_threaded_mainloop_unlock(loop);
    pa_threaded_mainloop_stop(loop);
    pa_threaded_mainloop_free(loop);
}

bool PulseSoundSystem::Core::WaitLocked(const std::function<bool()>& done, int timeoutMs) {
    if (done()) return true;
    if (OnLoopThread()) return false;  // would never wake
    TimerFlag timer{loop};
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
    pa_time_event* ev = pa_context_rttime_new(
        context, pa_rtclock_now() + pa_usec_t(timeoutMs) * PA_USEC_PER_MSEC, &TimerFired, &timer);
    bool ok = true;
    while (!done()) {
        if (timer.fired || !ev) {
            ok = false;
            break;
        }
        pa_threaded_mainloop_wait(loop);
    }
    if (ev) api->time_free(ev);
    return ok;
}

bool PulseSoundSystem::Core::WaitOperationLocked(pa_operation* op, int timeoutMs) {
    if (!op) return false;
    // Completion of an operation without a callback of its own does not wake waiters.
    pa_operation_set_state_callback(
        op, [](pa_operation*, void* l) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(l), 0); },
        loop);
    bool done = WaitLocked([&] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; },
                           timeoutMs);
    if (!done) pa_operation_cancel(op);
    pa_operation_set_state_callback(op, nullptr, nullptr);
    bool ok = done && pa_operation_get_state(op) == PA_OPERATION_DONE;
    pa_operation_unref(op);
    return ok;
}

void PulseSoundSystem::Core::InvalidateSinkStreamsLocked(uint32_t sinkIndex) {
    for (PulseStream* s : streams) {
        if (sinkIndex == PA_INVALID_INDEX || s->SinkIndex() == sinkIndex) s->InvalidateLocked();
    }
}

void PulseSoundSystem::Core::ContextState(pa_context* c, void* self) {
    auto* core = static_cast<Core*>(self);
    pa_context_state_t st = pa_context_get_state(c);
    if (!PA_CONTEXT_IS_GOOD(st) && !core->failed) {
        core->failed = true;
        if (core->announce) {
            KVA_LOG(kLogError, "PulseSoundSystem: connection to the server lost: %s",
                    pa_strerror(pa_context_errno(c)));
        }
        core->InvalidateSinkStreamsLocked(PA_INVALID_INDEX);
    }
    pa_threaded_mainloop_signal(core->loop, 0);
}

void PulseSoundSystem::Core::SinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self) {
    auto* core = static_cast<Core*>(self);
    if (eol || !info) {
        pa_threaded_mainloop_signal(core->loop, 0);
        return;
    }
    SinkEntry entry;
    entry.index = info->index;
    entry.info.id = info->name ? info->name : "";
    entry.info.friendlyName = Utf8ToUtf16(info->description ? info->description : entry.info.id);
    const char* adapter = nullptr;
    for (const char* key : {"alsa.card_name", PA_PROP_DEVICE_PRODUCT_NAME, "alsa.long_card_name"}) {
        adapter = pa_proplist_gets(info->proplist, key);
        if (adapter && *adapter) break;
        adapter = nullptr;
    }
    if (!adapter) adapter = info->driver;
    entry.info.adapterName = Utf8ToUtf16(adapter ? adapter : "");
    entry.info.state = kStateActive;
    entry.info.mixFormat.sampleRate = int32_t(info->sample_spec.rate);
    entry.info.mixFormat.channels = int32_t(info->sample_spec.channels);
    entry.info.mixFormat.bitsPerSample = 32;
    entry.info.mixFormat.isFloat = true;
    entry.info.mixFormat.channelMask = MaskFromMap(info->channel_map);
    entry.info.periodFrames = std::max<uint32_t>(1, info->sample_spec.rate / 100);  // 10 ms
    bool added = true;
    for (auto& s : core->sinks) {
        if (s.index == entry.index) {
            s = entry;
            added = false;
        }
    }
    if (added) {
        core->sinks.push_back(entry);
        if (core->announce) core->hub.Post(ListenerHub::kAdded, entry.info.id);
    }
    pa_threaded_mainloop_signal(core->loop, 0);
}

void PulseSoundSystem::Core::ServerInfo(pa_context*, const pa_server_info* info, void* self) {
    auto* core = static_cast<Core*>(self);
    if (info) {
        std::string name = info->default_sink_name ? info->default_sink_name : "";
        if (name != core->defaultSink) {
            core->defaultSink = name;
            if (core->announce) core->hub.Post(ListenerHub::kDefaultChanged, name);
        }
    }
    pa_threaded_mainloop_signal(core->loop, 0);
}

void PulseSoundSystem::Core::Subscribe(pa_context* c, pa_subscription_event_type_t t, uint32_t idx,
                                       void* self) {
    auto* core = static_cast<Core*>(self);
    const unsigned facility = t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const unsigned type = t & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    pa_operation* op = nullptr;
    if (facility == PA_SUBSCRIPTION_EVENT_SINK) {
        if (type == PA_SUBSCRIPTION_EVENT_REMOVE) {
            auto it = std::find_if(core->sinks.begin(), core->sinks.end(),
                                   [&](const SinkEntry& s) { return s.index == idx; });
            if (it != core->sinks.end()) {
                std::string id = it->info.id;
                core->sinks.erase(it);
                core->InvalidateSinkStreamsLocked(idx);
                core->hub.Post(ListenerHub::kRemoved, id);
            }
        } else {
            op = pa_context_get_sink_info_by_index(c, idx, &Core::SinkInfo, core);
        }
    } else if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
        op = pa_context_get_server_info(c, &Core::ServerInfo, core);
    }
    if (op) pa_operation_unref(op);
}

PulseSoundSystem::PulseSoundSystem(std::shared_ptr<Core> core) : mCore(std::move(core)) {}

PulseSoundSystem::~PulseSoundSystem() {
    // Listeners are not called after the system is gone, even while streams keep the
    // connection open.
    mCore->hub.Stop();
}

std::shared_ptr<PulseSoundSystem> PulseSoundSystem::Connect(int timeoutMs, const char* server,
                                                           const char* appName,
                                                           const char* iconName) {
    if (!appName || !*appName) appName = "KvaAudioPlayer";
    auto core = std::make_shared<Core>();
    core->appName = appName;
    core->loop = pa_threaded_mainloop_new();
    if (!core->loop) return nullptr;
    pa_threaded_mainloop_set_name(core->loop, "KvaPulseLoop");
    {
        Lock lock(core->loop);
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, appName);
        if (iconName && *iconName) pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, iconName);
        core->context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(core->loop),
                                                     appName, props);
        pa_proplist_free(props);
        if (!core->context) return nullptr;
        pa_context_set_state_callback(core->context, &Core::ContextState, core.get());
        if (pa_context_connect(core->context, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            return nullptr;
        }
    }
    if (pa_threaded_mainloop_start(core->loop) < 0) return nullptr;
    Lock lock(core->loop);
    // Under the lock: it adds a deferred event to the loop, which its thread is running.
    pa_threaded_mainloop_once_unlocked(core->loop, &RaiseLoopThread, nullptr);
    pa_context* c = core->context;
    bool done = core->WaitLocked(
        [&] {
            pa_context_state_t st = pa_context_get_state(c);
            return st == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(st);
        },
        timeoutMs);
    if (!done || pa_context_get_state(c) != PA_CONTEXT_READY) {
        KVA_LOG(kLogTrace, "PulseSoundSystem: no server answered (%s)",
                done ? pa_strerror(pa_context_errno(c)) : "time-out");
        return nullptr;  // the core's destructor disconnects (the lock is released first)
    }
    pa_context_set_subscribe_callback(c, &Core::Subscribe, core.get());
    auto mask = pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SERVER);
    bool ok = core->WaitOperationLocked(pa_context_subscribe(c, mask, nullptr, nullptr),
                                        kOperationTimeoutMs) &&
              core->WaitOperationLocked(pa_context_get_server_info(c, &Core::ServerInfo, core.get()),
                                        kOperationTimeoutMs) &&
              core->WaitOperationLocked(
                  pa_context_get_sink_info_list(c, &Core::SinkInfo, core.get()),
                  kOperationTimeoutMs);
    if (!ok) {
        KVA_LOG(kLogError, "PulseSoundSystem: the server did not answer its first queries");
        return nullptr;
    }
    core->announce = true;
    core->hub.Start("KvaPulseNotify");
    KVA_LOG(kLogTrace, "PulseSoundSystem: connected to %s, %zu sinks, default %s",
            pa_context_get_server(c) ? pa_context_get_server(c) : "?", core->sinks.size(),
            core->defaultSink.c_str());
    return std::shared_ptr<PulseSoundSystem>(new PulseSoundSystem(core));
}

std::vector<EndpointInfo> PulseSoundSystem::GetEndpoints() {
    Lock lock(mCore->loop);
    std::vector<EndpointInfo> out;
    for (auto& s : mCore->sinks) out.push_back(s.info);
    return out;
}

bool PulseSoundSystem::GetEndpoint(const std::string& id, EndpointInfo* out) {
    Lock lock(mCore->loop);
    SinkEntry* s = mCore->FindSinkLocked(id);
    if (!s) return false;
    if (out) *out = s->info;
    return true;
}

std::string PulseSoundSystem::GetDefaultEndpoint() {
    Lock lock(mCore->loop);
    return mCore->FindSinkLocked(mCore->defaultSink) ? mCore->defaultSink : std::string();
}

int32_t PulseSoundSystem::IsFormatSupported(const std::string& id, const Format& want,
                                            Format* closest) {
    Lock lock(mCore->loop);
    if (mCore->failed) return kInvalidated;
    SinkEntry* s = mCore->FindSinkLocked(id);
    if (!s) return kNotFound;
    if (!IsValidFormat(want)) return kInvalidArg;
    if (want == s->info.mixFormat) return kOk;
    if (closest) *closest = s->info.mixFormat;
    return kFalse;
}

int32_t PulseSoundSystem::OpenStream(const std::string& id, const Format& format,
                                     uint32_t bufferFrames, std::unique_ptr<IRenderStream>* out) {
    if (!out) return kInvalidArg;
    if (!IsValidFormat(format)) return kInvalidArg;
    std::unique_ptr<PulseStream> stream;
    int32_t r = kOk;
    {
        Lock lock(mCore->loop);
        if (mCore->failed) return kInvalidated;
        SinkEntry* s = mCore->FindSinkLocked(id);
        if (!s) return kNotFound;
        const uint32_t mixRate = uint32_t(s->info.mixFormat.sampleRate);
        uint32_t period = uint32_t(uint64_t(s->info.periodFrames) * uint32_t(format.sampleRate) /
                                   (mixRate ? mixRate : uint32_t(format.sampleRate)));
        period = std::max<uint32_t>(period, 1);
        // What a music player keeps on a desktop server: a loaded machine delays the writer by
        // tens of milliseconds at times, and the server must not run dry meanwhile.
        const uint32_t musicFrames = uint32_t(format.sampleRate) * kStreamBufferMs / 1000u;
        uint32_t frames = std::max({bufferFrames, period * 2, musicFrames});
        if (frames > uint32_t(format.sampleRate) * 10u) return kInvalidArg;
        stream.reset(new PulseStream(mCore, format));
        mCore->streams.push_back(stream.get());
        r = stream->Connect(id, s->index, frames, period);
    }
    if (r != kOk) return r;  // the stream is destroyed here, outside the lock
    *out = std::move(stream);
    return kOk;
}

void PulseSoundSystem::AddListener(IListener* listener) { mCore->hub.Add(listener); }
void PulseSoundSystem::RemoveListener(IListener* listener) { mCore->hub.Remove(listener); }

void PulseSoundSystem::AnnounceEndpoints() {
    Lock lock(mCore->loop);
    for (auto& s : mCore->sinks) mCore->hub.Post(ListenerHub::kAdded, s.info.id);
    if (mCore->FindSinkLocked(mCore->defaultSink)) {
        mCore->hub.Post(ListenerHub::kDefaultChanged, mCore->defaultSink);
    }
}

bool PulseSoundSystem::IsConnected() {
    Lock lock(mCore->loop);
    return !mCore->failed;
}

std::shared_ptr<ISoundSystem> ConnectPulseSoundSystem(int timeoutMs, const char* appName,
                                                      const char* iconName) {
    return PulseSoundSystem::Connect(timeoutMs, nullptr, appName, iconName);
}

}  // namespace snd
}  // namespace kva_audioplayer
