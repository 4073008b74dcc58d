// The sound system of a Linux desktop: a PulseAudio server (or PipeWire's pulse server) through
// libpulse's threaded main loop. Endpoints are the server's sinks (id: sink name; friendly name:
// its description); the default is the server's default sink. Every wait on the server is
// bounded.
//
// Format rules: IsFormatSupported answers as a shared-mode device does (the mix format, 32-bit
// float at the sink's rate and channels, is the only exact match); OpenStream takes any valid PCM
// format and lets the server convert.
#pragma once

#include <memory>
#include <string>

#include "platform/SoundSystem.h"

namespace kva_audioplayer {
namespace snd {

class PulseSoundSystem : public ISoundSystem {
public:
    // Null when no server answers within timeoutMs. server: null for libpulse's own lookup.
    // appName: what the desktop's mixer shows (null: "KvaAudioPlayer"); iconName may be null.
    static std::shared_ptr<PulseSoundSystem> Connect(int timeoutMs, const char* server = nullptr,
                                                     const char* appName = nullptr,
                                                     const char* iconName = nullptr);
    ~PulseSoundSystem() override;

    const char* Name() override { return "pulse"; }
    std::vector<EndpointInfo> GetEndpoints() override;
    bool GetEndpoint(const std::string& id, EndpointInfo* out) override;
    std::string GetDefaultEndpoint() override;
    int32_t IsFormatSupported(const std::string& id, const Format& want, Format* closest) override;
    int32_t OpenStream(const std::string& id, const Format& format, uint32_t bufferFrames,
                       std::unique_ptr<IRenderStream>* out) override;
    void AddListener(IListener* listener) override;
    void RemoveListener(IListener* listener) override;
    void AnnounceEndpoints() override;

    // False once the connection to the server is lost.
    bool IsConnected();

    // Least latency of a render stream (the server's buffer).
    static constexpr uint32_t kStreamBufferMs = 150;
    // Longest wait for one server round trip.
    static constexpr int kOperationTimeoutMs = 3000;

    struct Core;

private:
    explicit PulseSoundSystem(std::shared_ptr<Core> core);
    std::shared_ptr<Core> mCore;
};

}  // namespace snd
}  // namespace kva_audioplayer
