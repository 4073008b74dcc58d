// Making sound systems for the process-wide selection.
#pragma once

#include <memory>

#include "platform/SoundSystem.h"

namespace kva_audioplayer {
namespace snd {

// How long the automatic choice waits for a sound server, and an explicit PulseAudio choice.
constexpr int kAutomaticConnectTimeoutMs = 500;
constexpr int kExplicitConnectTimeoutMs = 3000;

// A virtual system with its default endpoint, optionally writing what it renders to wavPath.
std::shared_ptr<ISoundSystem> MakeVirtualWithDefaultEndpoint(bool fast, const char* wavPath);
// Null when the kind cannot be made; *result says why.
std::shared_ptr<ISoundSystem> MakeSoundSystem(const KvaSoundSystemConfig& config, int32_t* result);
// Null when no PulseAudio server answers within the time. appName and iconName may be null.
std::shared_ptr<ISoundSystem> ConnectPulseSoundSystem(int timeoutMs, const char* appName,
                                                      const char* iconName);

}  // namespace snd
}  // namespace kva_audioplayer
