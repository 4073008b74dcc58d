#include "platform/WaveOutApi.h"

#include <pthread.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/DriverFormat.h"
#include "platform/SoundSystem.h"
#include "platform/StreamRoute.h"
#include "platform/VirtualSoundSystem.h"

namespace kva_audioplayer {

namespace {

const char16_t kMapperName[] = u"Sound Mapper";
// A driver's own header flag while queued: the header holds the client's silence, not media.
constexpr DWORD kHeaderDeviceFill = 0x10000;

struct WaveDevice {
    std::shared_ptr<snd::ISoundSystem> sys;
    snd::Format format;   // what the client writes
    snd::Format carrier;  // what the render stream takes
    std::unique_ptr<snd::IRenderStream> stream;
    std::shared_ptr<snd::RouteSource> route;
    uint32_t streamFrames = 0;
    std::vector<uint8_t> converted;
    std::vector<float> scratch;
    WaveOutProc callback = nullptr;
    DWORD_PTR instance = 0;
    HWAVEOUT handle = nullptr;
    HANDLE wake = nullptr;
    std::thread driver;

    std::mutex mutex;  // everything below
    bool quit = false;
    bool paused = false;
    bool invalid = false;
    WAVEHDR* head = nullptr;  // queued headers, oldest first, linked through lpNext
    WAVEHDR* tail = nullptr;
    WAVEHDR* writeAt = nullptr;  // first header not wholly handed to the stream
    uint32_t writeOffset = 0;
    uint64_t written = 0;        // frames handed to the stream since it was made
    uint64_t positionBase = 0;   // frames played before the last reset
    DWORD volume = 0xFFFFFFFFu;

    ~WaveDevice() {
        if (route) route->Attach(nullptr);
        if (stream) {
            stream->SetPeriodCallback(nullptr, nullptr);
            stream->Stop();
            stream.reset();
        }
        if (wake) CloseHandle(wake);
    }
};

std::mutex& RegistryMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}
std::map<HWAVEOUT, std::shared_ptr<WaveDevice>>& Registry() {
    static auto* r = new std::map<HWAVEOUT, std::shared_ptr<WaveDevice>>;
    return *r;
}

std::shared_ptr<WaveDevice> Find(HWAVEOUT h) {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    auto it = Registry().find(h);
    return it == Registry().end() ? nullptr : it->second;
}

bool IsMapperHandle(HWAVEOUT h) {
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    return v == WAVE_MAPPER || v == ~uintptr_t(0);
}

// The endpoint behind a device id; "" with the result when there is none.
MMRESULT ResolveDevice(snd::ISoundSystem* sys, UINT_PTR id, std::string* endpoint,
                       snd::EndpointInfo* info) {
    std::vector<snd::EndpointInfo> list = snd::ActiveEndpoints(sys);
    if (list.empty()) return MMSYSERR_NODRIVER;
    if (id == WAVE_MAPPER || id == ~UINT_PTR(0)) {
        std::string def = sys->GetDefaultEndpoint();
        for (auto& e : list) {
            if (e.id == def) {
                *endpoint = e.id;
                if (info) *info = e;
                return MMSYSERR_NOERROR;
            }
        }
        return MMSYSERR_NODRIVER;
    }
    if (id >= list.size()) return MMSYSERR_BADDEVICEID;
    *endpoint = list[id].id;
    if (info) *info = list[id];
    return MMSYSERR_NOERROR;
}

MMRESULT FromCarrierResult(int32_t r) {
    switch (r) {
        case snd::kOk: return MMSYSERR_NOERROR;
        case snd::kUnsupportedFormat:
        case snd::kInvalidArg: return WAVERR_BADFORMAT;
        case snd::kNotFound:
        case snd::kInvalidated: return MMSYSERR_NODRIVER;
        default: return MMSYSERR_ERROR;
    }
}

void MarkAllDone(WaveDevice* d, std::vector<WAVEHDR*>* finished) {
    for (WAVEHDR* h = d->head; h;) {
        WAVEHDR* next = h->lpNext;
        h->lpNext = nullptr;
        const DWORD kept = WaveHeaderFlags(h) & ~(WHDR_INQUEUE | kHeaderDeviceFill);
        SetWaveHeaderFlags(h, kept | WHDR_DONE);
        finished->push_back(h);
        h = next;
    }
    d->head = d->tail = d->writeAt = nullptr;
    d->writeOffset = 0;
}

// Hands queued frames to the stream while it has room. Under the device mutex.
void Pump(WaveDevice* d) {
    const uint32_t ba = static_cast<uint32_t>(d->format.BlockAlign());
    const bool same = d->format == d->carrier;
    while (d->writeAt && !d->paused && !d->invalid) {
        WAVEHDR* h = d->writeAt;
        uint32_t avail = h->dwBufferLength > d->writeOffset
                             ? (h->dwBufferLength - d->writeOffset) / ba
                             : 0;
        if (avail == 0) {
            h->reserved = d->written;  // its last frame
            d->writeAt = h->lpNext;
            d->writeOffset = 0;
            continue;
        }
        uint32_t padding = 0;
        int32_t r = d->stream->GetPadding(&padding);
        if (r != snd::kOk) {
            if (r == snd::kInvalidated) d->invalid = true;
            return;
        }
        uint32_t room = d->streamFrames - std::min(padding, d->streamFrames);
        if (room == 0) return;
        uint32_t n = std::min(avail, room);
        const uint8_t* src = reinterpret_cast<const uint8_t*>(h->lpData) + d->writeOffset;
        if (!same) {
            snd::ConvertFrames(d->format, src, d->carrier, d->converted.data(), n,
                               d->scratch.data());
            src = d->converted.data();
        }
        r = d->stream->Write(src, n,
                             (WaveHeaderFlags(h) & kHeaderDeviceFill) ? snd::kWriteDeviceFill : 0);
        if (r != snd::kOk) {
            if (r == snd::kInvalidated) d->invalid = true;
            return;
        }
        d->writeOffset += n * ba;
        d->written += n;
    }
}

// Marks played headers done; a stream that failed returns every header.
void Service(WaveDevice* d, std::vector<WAVEHDR*>* finished) {
    if (!d->invalid && d->stream->GetStatus() == snd::kInvalidated) d->invalid = true;
    Pump(d);
    if (d->invalid) {
        MarkAllDone(d, finished);
        return;
    }
    const uint64_t played = d->stream->FramesPlayed();
    while (d->head && d->head != d->writeAt && d->head->reserved <= played) {
        WAVEHDR* h = d->head;
        d->head = h->lpNext;
        if (!d->head) d->tail = nullptr;
        h->lpNext = nullptr;
        const DWORD kept = WaveHeaderFlags(h) & ~(WHDR_INQUEUE | kHeaderDeviceFill);
        SetWaveHeaderFlags(h, kept | WHDR_DONE);
        finished->push_back(h);
    }
}

void Notify(WaveDevice* d, const std::vector<WAVEHDR*>& finished) {
    if (!d->callback) return;
    for (WAVEHDR* h : finished)
        d->callback(d->handle, WOM_DONE, d->instance, reinterpret_cast<DWORD_PTR>(h), 0);
}

void DriverLoop(WaveDevice* d) {
    pthread_setname_np(pthread_self(), "KvaWaveOutDrv");
    RaiseAudioServiceThread();
    std::vector<WAVEHDR*> finished;
    finished.reserve(32);
    DWORD timeout = INFINITE;
    for (;;) {
        WaitForSingleObject(d->wake, timeout);
        finished.clear();
        {
            std::lock_guard<std::mutex> lock(d->mutex);
            if (d->quit) return;
            Service(d, &finished);
            // Idle (nothing queued, or paused) it sleeps until a call wakes it.
            timeout = d->head && !d->paused && !d->invalid ? 20 : INFINITE;
        }
        Notify(d, finished);
    }
}

void OnStreamPeriod(void* context) { SetEvent(static_cast<WaveDevice*>(context)->wake); }

float GainOf(DWORD volume) {
    return (static_cast<float>(volume & 0xFFFF) + static_cast<float>(volume >> 16)) / 2.0f /
           65535.0f;
}

struct StandardFormat {
    DWORD flag;
    int32_t rate, channels, bits;
};
const StandardFormat kStandardFormats[] = {
    {WAVE_FORMAT_1M08, 11025, 1, 8},  {WAVE_FORMAT_1S08, 11025, 2, 8},
    {WAVE_FORMAT_1M16, 11025, 1, 16}, {WAVE_FORMAT_1S16, 11025, 2, 16},
    {WAVE_FORMAT_2M08, 22050, 1, 8},  {WAVE_FORMAT_2S08, 22050, 2, 8},
    {WAVE_FORMAT_2M16, 22050, 1, 16}, {WAVE_FORMAT_2S16, 22050, 2, 16},
    {WAVE_FORMAT_44M08, 44100, 1, 8}, {WAVE_FORMAT_44S08, 44100, 2, 8},
    {WAVE_FORMAT_44M16, 44100, 1, 16}, {WAVE_FORMAT_44S16, 44100, 2, 16},
    {WAVE_FORMAT_48M08, 48000, 1, 8}, {WAVE_FORMAT_48S08, 48000, 2, 8},
    {WAVE_FORMAT_48M16, 48000, 1, 16}, {WAVE_FORMAT_48S16, 48000, 2, 16},
    {WAVE_FORMAT_96M08, 96000, 1, 8}, {WAVE_FORMAT_96S08, 96000, 2, 8},
    {WAVE_FORMAT_96M16, 96000, 1, 16}, {WAVE_FORMAT_96S16, 96000, 2, 16},
};

}  // namespace

UINT waveOutGetNumDevs() {
    auto sys = snd::GetSoundSystem();
    return static_cast<UINT>(snd::ActiveEndpoints(sys.get()).size());
}

MMRESULT waveOutGetDevCapsW(UINT_PTR deviceId, WAVEOUTCAPSW* caps, UINT size) {
    if (!caps || size < sizeof(WAVEOUTCAPSW)) return MMSYSERR_INVALPARAM;
    auto sys = snd::GetSoundSystem();
    if (!sys) return MMSYSERR_NODRIVER;
    std::string id;
    snd::EndpointInfo info;
    MMRESULT r = ResolveDevice(sys.get(), deviceId, &id, &info);
    if (r != MMSYSERR_NOERROR) return r;
    memset(caps, 0, sizeof(*caps));
    caps->vDriverVersion = 0x0100;
    std::u16string name = (deviceId == WAVE_MAPPER || deviceId == ~UINT_PTR(0))
                              ? std::u16string(kMapperName)
                              : info.friendlyName;
    size_t n = std::min<size_t>(name.size(), MAXPNAMELEN - 1);
    if (n > 0 && n < name.size() && name[n - 1] >= 0xD800 && name[n - 1] <= 0xDBFF) --n;
    memcpy(caps->szPname, name.data(), n * sizeof(char16_t));
    caps->szPname[n] = 0;
    for (const StandardFormat& s : kStandardFormats) {
        snd::Format f;
        f.sampleRate = s.rate;
        f.channels = s.channels;
        f.bitsPerSample = s.bits;
        f.isFloat = false;
        snd::Format carrier;
        if (snd::ChooseCarrierFormat(sys.get(), id, f, &carrier) == snd::kOk)
            caps->dwFormats |= s.flag;
    }
    caps->wChannels = static_cast<WORD>(std::max(1, std::min(info.mixFormat.channels, 0xFFFF)));
    caps->dwSupport = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutOpen(HWAVEOUT* out, UINT deviceId, const WAVEFORMATEX* format,
                     DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    if (!format) return MMSYSERR_INVALPARAM;
    const bool query = (flags & WAVE_FORMAT_QUERY) != 0;
    if (!query && !out) return MMSYSERR_INVALPARAM;
    const DWORD cbType = flags & CALLBACK_TYPEMASK;
    if (cbType != CALLBACK_NULL && cbType != CALLBACK_FUNCTION) return MMSYSERR_INVALFLAG;
    auto sys = snd::GetSoundSystem();
    if (!sys) return MMSYSERR_NODRIVER;
    std::string id;
    MMRESULT r = ResolveDevice(sys.get(), deviceId, &id, nullptr);
    if (r != MMSYSERR_NOERROR) return r;
    snd::Format f;
    if (!snd::FormatFromWave(format, &f)) return WAVERR_BADFORMAT;
    snd::Format carrier;
    r = FromCarrierResult(snd::ChooseCarrierFormat(sys.get(), id, f, &carrier));
    if (r != MMSYSERR_NOERROR || query) return r;

    auto d = std::make_shared<WaveDevice>();
    d->sys = sys;
    d->format = f;
    d->carrier = carrier;
    d->callback = cbType == CALLBACK_FUNCTION ? reinterpret_cast<WaveOutProc>(callback) : nullptr;
    d->instance = instance;
    d->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    // A tenth of a second between the headers and the endpoint.
    int32_t sr = sys->OpenStream(id, carrier, static_cast<uint32_t>(carrier.sampleRate / 10),
                                 &d->stream);
    if (sr != snd::kOk || !d->stream) return FromCarrierResult(sr == snd::kOk ? snd::kFailed : sr);
    d->route = std::make_shared<snd::RouteSource>(id);
    d->route->Attach(d->stream.get());
    d->streamFrames = d->stream->BufferFrames();
    if (!(carrier == f)) {
        d->converted.resize(size_t(d->streamFrames) * size_t(carrier.BlockAlign()));
        d->scratch.resize(size_t(d->streamFrames) * size_t(carrier.channels));
    }
    d->stream->SetPeriodCallback(&OnStreamPeriod, d.get());
    sr = d->stream->Start();
    if (sr != snd::kOk) return FromCarrierResult(sr);
    d->handle = reinterpret_cast<HWAVEOUT>(d.get());
    {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        Registry()[d->handle] = d;
    }
    WaveDevice* raw = d.get();
    d->driver = std::thread([raw] { DriverLoop(raw); });
    *out = d->handle;
    if (d->callback) d->callback(d->handle, WOM_OPEN, d->instance, 0, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutClose(HWAVEOUT device) {
    auto d = Find(device);
    if (!d) return MMSYSERR_INVALHANDLE;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (d->head) return WAVERR_STILLPLAYING;
        d->quit = true;
    }
    SetEvent(d->wake);
    if (d->driver.joinable()) d->driver.join();
    {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        Registry().erase(device);
    }
    if (d->callback) d->callback(d->handle, WOM_CLOSE, d->instance, 0, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT device, WAVEHDR* header, UINT size) {
    if (!Find(device)) return MMSYSERR_INVALHANDLE;
    if (!header || size < sizeof(WAVEHDR) || !header->lpData) return MMSYSERR_INVALPARAM;
    DWORD flags = WaveHeaderFlags(header);
    if (flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    SetWaveHeaderFlags(header, flags | WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* header, UINT size) {
    if (!Find(device)) return MMSYSERR_INVALHANDLE;
    if (!header || size < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    DWORD flags = WaveHeaderFlags(header);
    if (flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    SetWaveHeaderFlags(header, flags & ~WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutWrite(HWAVEOUT device, WAVEHDR* header, UINT size) {
    auto d = Find(device);
    if (!d) return MMSYSERR_INVALHANDLE;
    if (!header || size < sizeof(WAVEHDR) || !header->lpData) return MMSYSERR_INVALPARAM;
    if (d->sys->TakeFault(snd::kFaultWaveOutNoDriver)) return MMSYSERR_NODRIVER;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (d->invalid) return MMSYSERR_NODRIVER;
        DWORD flags = WaveHeaderFlags(header);
        if (!(flags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
        if (flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
        header->lpNext = nullptr;
        header->reserved = 0;
        flags = (flags & ~(WHDR_DONE | kHeaderDeviceFill)) | WHDR_INQUEUE;
        if (snd::InDeviceFill()) flags |= kHeaderDeviceFill;
        SetWaveHeaderFlags(header, flags);
        if (d->tail) d->tail->lpNext = header;
        else d->head = header;
        d->tail = header;
        if (!d->writeAt) {
            d->writeAt = header;
            d->writeOffset = 0;
        }
        Pump(d.get());
    }
    SetEvent(d->wake);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPause(HWAVEOUT device) {
    auto d = Find(device);
    if (!d) return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> lock(d->mutex);
    if (!d->paused) {
        d->paused = true;
        d->stream->Stop();
    }
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutRestart(HWAVEOUT device) {
    auto d = Find(device);
    if (!d) return MMSYSERR_INVALHANDLE;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (d->paused) {
            d->paused = false;
            d->stream->Start();
            Pump(d.get());
        }
    }
    SetEvent(d->wake);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutReset(HWAVEOUT device) {
    auto d = Find(device);
    if (!d) return MMSYSERR_INVALHANDLE;
    std::vector<WAVEHDR*> finished;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->stream->Stop();
        d->stream->Reset();
        MarkAllDone(d.get(), &finished);
        d->written = d->stream->FramesPlayed();
        d->positionBase = d->written;
        d->paused = false;
        d->stream->Start();
    }
    Notify(d.get(), finished);
    SetEvent(d->wake);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetPosition(HWAVEOUT device, MMTIME* time, UINT size) {
    auto d = Find(device);
    if (!d) return MMSYSERR_INVALHANDLE;
    if (!time || size < sizeof(MMTIME)) return MMSYSERR_INVALPARAM;
    uint64_t frames;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        uint64_t played = d->stream->FramesPlayed();
        frames = played > d->positionBase ? played - d->positionBase : 0;
    }
    switch (time->wType) {
        case TIME_SAMPLES: time->u.sample = static_cast<DWORD>(frames); break;
        case TIME_MS:
            time->u.ms = static_cast<DWORD>(frames * 1000 / uint64_t(d->format.sampleRate));
            break;
        default:  // what the device cannot give, it answers in bytes
            time->wType = TIME_BYTES;
            time->u.cb = static_cast<DWORD>(frames * uint64_t(d->format.BlockAlign()));
            break;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutSetVolume(HWAVEOUT device, DWORD volume) {
    auto d = Find(device);
    if (!d) return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> lock(d->mutex);
    if (d->stream->SetVolume(GainOf(volume)) != snd::kOk) return MMSYSERR_ERROR;
    d->volume = volume;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetVolume(HWAVEOUT device, DWORD* volume) {
    auto d = Find(device);
    if (!d) return MMSYSERR_INVALHANDLE;
    if (!volume) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> lock(d->mutex);
    *volume = d->volume;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutMessage(HWAVEOUT device, UINT message, DWORD_PTR param1, DWORD_PTR param2) {
    if (message == DRVM_KVA_STREAM_ROUTE_GET) {
        auto* route = reinterpret_cast<IKvaStreamRoute**>(param1);
        if (!route) return MMSYSERR_INVALPARAM;
        auto d = Find(device);
        if (!d) return MMSYSERR_INVALHANDLE;
        *route = NewStreamRoute(d->route);
        return MMSYSERR_NOERROR;
    }
    if (message != DRVM_MAPPER_PREFERRED_GET) return MMSYSERR_NOTSUPPORTED;
    if (!IsMapperHandle(device)) return Find(device) ? MMSYSERR_NOTSUPPORTED : MMSYSERR_INVALHANDLE;
    auto* id = reinterpret_cast<DWORD*>(param1);
    auto* status = reinterpret_cast<DWORD*>(param2);
    if (!id || !status) return MMSYSERR_INVALPARAM;
    auto sys = snd::GetSoundSystem();
    if (!sys) return MMSYSERR_NODRIVER;
    std::vector<snd::EndpointInfo> list = snd::ActiveEndpoints(sys.get());
    std::string def = sys->GetDefaultEndpoint();
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i].id == def) {
            *id = static_cast<DWORD>(i);
            *status = 0;
            return MMSYSERR_NOERROR;
        }
    }
    return MMSYSERR_NODRIVER;
}

}  // namespace kva_audioplayer
