// The sound-system layer: what the platform emulations (Core Audio, waveform audio, DirectSound)
// and the device monitor sit on. Two implementations: a virtual system (tests, no sound server)
// and PulseAudio (real sound).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kva_audioplayer {

struct KvaSoundSystemConfig;

namespace snd {

// Interleaved PCM. Integer samples are signed little-endian (8-bit unsigned).
struct Format {
    int32_t sampleRate = 44100;
    int32_t channels = 2;
    int32_t bitsPerSample = 32;
    bool isFloat = true;
    uint32_t channelMask = 0;  // speaker mask; 0: the default for the channel count

    int32_t BlockAlign() const { return channels * bitsPerSample / 8; }
    bool operator==(const Format& o) const {
        return sampleRate == o.sampleRate && channels == o.channels &&
               bitsPerSample == o.bitsPerSample && isFloat == o.isFloat;
    }
    bool operator!=(const Format& o) const { return !(*this == o); }
};

// Endpoint states, as the Windows device states.
enum EndpointState : uint32_t {
    kStateActive = 0x1,
    kStateDisabled = 0x2,
    kStateNotPresent = 0x4,
    kStateUnplugged = 0x8,
};

struct EndpointInfo {
    std::string id;              // stable identifier (PulseAudio: sink name)
    std::u16string friendlyName; // what users see
    std::u16string adapterName;  // the card or interface
    uint32_t state = kStateActive;
    Format mixFormat;
    uint32_t periodFrames = 441; // one render period
};

// Results of the layer.
enum Result : int32_t {
    kOk = 0,
    kFalse = 1,               // format not supported as asked; a closest match is offered
    kInvalidated = -1,        // the endpoint is gone or failed
    kUnsupportedFormat = -2,  // no closest match either
    kNotFound = -3,
    kWrongState = -4,
    kFailed = -5,
    kInvalidArg = -6,
};

// Endpoint notifications, delivered on a thread of the sound system's own.
class IListener {
public:
    virtual void OnEndpointAdded(const std::string& id) = 0;
    virtual void OnEndpointRemoved(const std::string& id) = 0;
    virtual void OnEndpointStateChanged(const std::string& id, uint32_t state) = 0;
    virtual void OnDefaultChanged(const std::string& id) = 0;

protected:
    ~IListener() = default;
};

constexpr uint32_t kWriteDeviceFill = 0x1;

// Marks the silence a back-end writes of its own (pre-roll, clears, end padding) while in scope
// on this thread, where the emulated API has no flag to carry it: the emulations take the mark
// down to the render stream as kWriteDeviceFill.
class DeviceFillScope {
public:
    explicit DeviceFillScope(bool on = true);
    ~DeviceFillScope();
    DeviceFillScope(const DeviceFillScope&) = delete;
    DeviceFillScope& operator=(const DeviceFillScope&) = delete;

private:
    const bool mOn;
};
bool InDeviceFill();

// One render stream on an endpoint, created stopped.
class IRenderStream {
public:
    virtual ~IRenderStream() = default;
    virtual Format GetFormat() = 0;
    virtual uint32_t BufferFrames() = 0;
    virtual uint32_t PeriodFrames() = 0;
    // Frames written and not yet played.
    virtual int32_t GetPadding(uint32_t* frames) = 0;
    // Appends frames; fails with kInvalidArg when they do not fit beside the padding. With
    // kWriteDeviceFill the frames are silence the device adds itself, not the media: they play,
    // but a file render leaves them out.
    virtual int32_t Write(const uint8_t* data, uint32_t frames, uint32_t flags = 0) = 0;
    virtual int32_t Start() = 0;
    virtual int32_t Stop() = 0;
    // Drops what is written and not played (stopped streams only).
    virtual int32_t Reset() = 0;
    // Called on the sound system's thread each period in which room appears. The callback must
    // only signal (set an event); it may not call back into the stream.
    virtual void SetPeriodCallback(void (*fn)(void* context), void* context) = 0;
    // Frames played since the stream was created (stops advancing while stopped).
    virtual uint64_t FramesPlayed() = 0;
    virtual int32_t SetVolume(float volume) = 0;
    virtual float GetVolume() = 0;
    // kOk, or kInvalidated once the endpoint failed or went away.
    virtual int32_t GetStatus() = 0;
    // How many times the server moved the stream to another endpoint (a desktop mixer did), and
    // the endpoint it plays on now. Streams that never move answer 0 and an empty id.
    virtual uint32_t Moves() { return 0; }
    virtual std::string EndpointId() { return std::string(); }
};

class ISoundSystem {
public:
    virtual ~ISoundSystem() = default;
    virtual const char* Name() = 0;  // "virtual" or "pulse"
    virtual std::vector<EndpointInfo> GetEndpoints() = 0;
    virtual bool GetEndpoint(const std::string& id, EndpointInfo* out) = 0;
    // Id of the default render endpoint; empty when there is none.
    virtual std::string GetDefaultEndpoint() = 0;
    // kOk when the endpoint takes the format as is; kFalse with *closest filled otherwise.
    virtual int32_t IsFormatSupported(const std::string& id, const Format& want, Format* closest) = 0;
    virtual int32_t OpenStream(const std::string& id, const Format& format, uint32_t bufferFrames,
                               std::unique_ptr<IRenderStream>* out) = 0;
    virtual void AddListener(IListener* listener) = 0;
    // After it returns, the listener is not called again.
    virtual void RemoveListener(IListener* listener) = 0;
    // Tells the listeners of every endpoint and of the default as if they had just appeared:
    // a system that the automatic choice moved to announces what it offers.
    virtual void AnnounceEndpoints() = 0;
    // Named fault counters the emulations consult ("dsound.lost", "waveout.nodriver"): true, and
    // one less pending, when a fault of that name was injected. Only the virtual system has any.
    virtual bool TakeFault(const char* name) { return false; }
};

// A PCM format the layer can carry: 8/16/24/32-bit integer or 32-bit float, 1 to 32 channels.
bool IsValidFormat(const Format& format);

// The process-wide sound system. Created on first use (automatic choice) unless selected before.
std::shared_ptr<ISoundSystem> GetSoundSystem();
// Replaces the process-wide choice; players created afterwards use the new system.
int32_t SelectSoundSystem(const KvaSoundSystemConfig& config);
// GetSoundSystem's kind as the host sees it (KvaSoundSystemKind, never Automatic).
int32_t CurrentSoundSystemKind();
// Installs a given system (tests).
void SetSoundSystem(std::shared_ptr<ISoundSystem> system);

// Told when the automatic choice moves from one system to another: its server went away
// (oldLost), or a server answers again after a fallback to the virtual output. Called on the
// thread that moved it, with no lock of the selection held; after RemoveChoiceObserver returns
// it is not called again.
class IChoiceObserver {
public:
    virtual void OnChoiceMoved(ISoundSystem* old, const std::shared_ptr<ISoundSystem>& now,
                               bool oldLost) = 0;

protected:
    ~IChoiceObserver() = default;
};
void AddChoiceObserver(IChoiceObserver* observer);
void RemoveChoiceObserver(IChoiceObserver* observer);
// How many times the automatic choice has moved in this process.
uint64_t AutomaticChoiceMoves();

}  // namespace snd
}  // namespace kva_audioplayer
