// A sound system without a sound server: endpoints made by the host or a test, each running
// stream drained by a consumer thread in real time (or at once in fast mode), every rendered
// sample available for comparison and optionally written to a WAV file, endpoint events and
// faults scripted by the caller.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/SoundSystem.h"

namespace kva_audioplayer {
namespace snd {

// Fault names the virtual system itself consults; every stream or system call that has a result
// also fails once per pending "virtual.any".
extern const char* const kFaultAny;         // "virtual.any"
extern const char* const kFaultOpen;        // "virtual.open": OpenStream
extern const char* const kFaultFormat;      // "virtual.format": IsFormatSupported
extern const char* const kFaultWrite;       // "virtual.write"
extern const char* const kFaultPadding;     // "virtual.padding"
extern const char* const kFaultStart;       // "virtual.start"
extern const char* const kFaultStop;        // "virtual.stop"
extern const char* const kFaultReset;       // "virtual.reset"
extern const char* const kFaultVolume;      // "virtual.volume"
// Consulted by the emulations above through ISoundSystem::TakeFault.
extern const char* const kFaultDSoundLost;      // "dsound.lost"
extern const char* const kFaultWaveOutNoDriver; // "waveout.nodriver"

class VirtualSoundSystem : public ISoundSystem {
public:
    static constexpr const char* kDefaultId = "virtual-output";
    static constexpr const char16_t* kDefaultName = u"Virtual Output";
    static constexpr const char16_t* kDefaultAdapter = u"Virtual Audio Device";

    explicit VirtualSoundSystem(bool fast = false);
    ~VirtualSoundSystem() override;

    // An endpoint description with the default mix format (44.1 kHz stereo float) and period.
    static EndpointInfo MakeEndpoint(const std::string& id, const std::u16string& friendlyName,
                                     const std::u16string& adapterName = kDefaultAdapter);

    // ISoundSystem
    const char* Name() override { return "virtual"; }
    std::vector<EndpointInfo> GetEndpoints() override;
    bool GetEndpoint(const std::string& id, EndpointInfo* out) override;
    std::string GetDefaultEndpoint() override;
    int32_t IsFormatSupported(const std::string& id, const Format& want, Format* closest) override;
    int32_t OpenStream(const std::string& id, const Format& format, uint32_t bufferFrames,
                       std::unique_ptr<IRenderStream>* out) override;
    void AddListener(IListener* listener) override;
    void RemoveListener(IListener* listener) override;
    void AnnounceEndpoints() override;
    bool TakeFault(const char* name) override;

    // Fast mode: running streams consume what is written at once (rendering to a file).
    void SetFast(bool fast);
    bool IsFast();

    // Scripted endpoint changes; each is announced to the listeners. Adding an endpoint while
    // there is no default (or with makeDefault) makes it the default.
    int32_t AddEndpoint(const EndpointInfo& info, bool makeDefault = false);
    // Invalidates the endpoint's streams; the default moves to the first active endpoint left.
    int32_t RemoveEndpoint(const std::string& id);
    // A state other than active invalidates the endpoint's streams.
    int32_t SetEndpointState(const std::string& id, uint32_t state);
    int32_t SetDefaultEndpoint(const std::string& id);
    // The endpoint stays; the streams open on it now report kInvalidated.
    int32_t InvalidateEndpoint(const std::string& id);

    // Formats: by default only the mix format is accepted. With acceptAny, every valid PCM
    // format is taken as is (what waveform audio and DirectSound devices do).
    int32_t SetAcceptAnyFormat(const std::string& id, bool acceptAny);
    // Refused formats get kUnsupportedFormat from IsFormatSupported and OpenStream.
    int32_t RefuseFormat(const std::string& id, const Format& format);
    int32_t SetRefuseAllFormats(const std::string& id, bool refuse);
    int32_t ClearRefusedFormats(const std::string& id);

    // Fault counters: count < 0 stays until cleared. FailNextCalls(n) is InjectFault(kFaultAny, n).
    void InjectFault(const std::string& name, int32_t count);
    int32_t PendingFaults(const std::string& name);
    void ClearFaults();
    void FailNextCalls(int32_t count) { InjectFault(kFaultAny, count); }
    // The result injected failures give (kFailed unless changed).
    void SetFaultResult(int32_t result);

    // Capture of every rendered sample (after volume) in the stream's format, in play order.
    int32_t SetCapture(const std::string& id, bool enabled);
    std::vector<uint8_t> GetCaptured(const std::string& id);
    std::vector<uint8_t> TakeCaptured(const std::string& id);
    void ClearCaptured(const std::string& id);

    // Frames played on the endpoint since it was added, captured or not (for benchmarks).
    uint64_t RenderedFrames(const std::string& id);

    // Everything the endpoint renders is appended to a 32-bit float WAV file in its mix format,
    // except what was written as kWriteDeviceFill: the file holds the media alone.
    int32_t SetWavOutput(const std::string& id, const std::string& path);
    // Completes the header and closes the file.
    int32_t CloseWavOutput(const std::string& id);

    // Waits until no running stream on the endpoint holds unplayed frames (or the time is up).
    bool WaitDrained(const std::string& id, int64_t timeoutMs);

    struct Core;

private:
    int32_t MakeStream(const std::string& id, const Format& format, uint32_t bufferFrames,
                         std::unique_ptr<IRenderStream>* out);
    std::shared_ptr<Core> mCore;
};

}  // namespace snd
}  // namespace kva_audioplayer
