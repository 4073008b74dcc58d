// The process-wide choice of sound system.
#include <mutex>

#include "KvaSoundSystem.h"
#include "platform/SoundSystem.h"
#include "platform/SoundSystemSelect.h"
#include "platform/PulseSoundSystem.h"
#include "platform/VirtualSoundSystem.h"
#include "support/Log.h"

namespace kva_audioplayer {
namespace snd {

namespace {

std::mutex& SelectionMutex() {
    static std::mutex m;
    return m;
}
// Leaked on purpose: render threads of players that outlive static destruction may still use it.
std::shared_ptr<ISoundSystem>& Current() {
    static auto* current = new std::shared_ptr<ISoundSystem>();
    return *current;
}
// The current system was the automatic choice (made by GetSoundSystem or asked for).
bool gAutomatic = false;

// An automatic choice whose server went away is made again.
bool Lost(const std::shared_ptr<ISoundSystem>& sys) {
    auto* pulse = dynamic_cast<PulseSoundSystem*>(sys.get());
    return pulse && !pulse->IsConnected();
}

}  // namespace

std::shared_ptr<ISoundSystem> MakeVirtualWithDefaultEndpoint(bool fast, const char* wavPath) {
    auto sys = std::make_shared<VirtualSoundSystem>(fast);
    sys->AddEndpoint(VirtualSoundSystem::MakeEndpoint(VirtualSoundSystem::kDefaultId,
                                                      VirtualSoundSystem::kDefaultName),
                     true);
    if (wavPath && sys->SetWavOutput(VirtualSoundSystem::kDefaultId, wavPath) != kOk) {
        return nullptr;
    }
    return sys;
}

std::shared_ptr<ISoundSystem> MakeSoundSystem(const KvaSoundSystemConfig& config,
                                              int32_t* result) {
    int32_t r = kOk;
    std::shared_ptr<ISoundSystem> sys;
    switch (config.kind) {
    case KvaSoundSystemKind::Automatic:
        sys = ConnectPulseSoundSystem(kAutomaticConnectTimeoutMs);
        if (!sys) {
            KVA_LOG(kLogTrace, "SoundSystem: no sound server answered, using the virtual output");
            sys = MakeVirtualWithDefaultEndpoint(config.fast, nullptr);
        }
        break;
    case KvaSoundSystemKind::PulseAudio:
        sys = ConnectPulseSoundSystem(kExplicitConnectTimeoutMs);
        if (!sys) r = kFailed;
        break;
    case KvaSoundSystemKind::Virtual:
        sys = MakeVirtualWithDefaultEndpoint(config.fast, nullptr);
        break;
    case KvaSoundSystemKind::VirtualWav:
        if (!config.wavPath || !*config.wavPath) {
            r = kInvalidArg;
            break;
        }
        sys = MakeVirtualWithDefaultEndpoint(config.fast, config.wavPath);
        if (!sys) r = kFailed;
        break;
    default:
        r = kInvalidArg;
        break;
    }
    if (result) *result = r;
    return r == kOk ? sys : nullptr;
}

std::shared_ptr<ISoundSystem> GetSoundSystem() {
    std::lock_guard<std::mutex> lock(SelectionMutex());
    auto& current = Current();
    if (!current || (gAutomatic && Lost(current))) {
        if (current) KVA_LOG(kLogTrace, "SoundSystem: the sound server went away; choosing again");
        KvaSoundSystemConfig automatic;
        current = MakeSoundSystem(automatic, nullptr);
        gAutomatic = true;
    }
    return current;
}

int32_t SelectSoundSystem(const KvaSoundSystemConfig& config) {
    int32_t r = kOk;
    auto sys = MakeSoundSystem(config, &r);
    if (!sys) {
        KVA_LOG(kLogError, "SoundSystem: selection of kind %d failed: %d", int(config.kind), r);
        return r;
    }
    KVA_LOG(kLogTrace, "SoundSystem: using %s", sys->Name());
    std::shared_ptr<ISoundSystem> old;
    {
        std::lock_guard<std::mutex> lock(SelectionMutex());
        old = std::move(Current());
        Current() = std::move(sys);
        gAutomatic = config.kind == KvaSoundSystemKind::Automatic;
    }
    return kOk;  // the old system goes when its last stream does
}

void SetSoundSystem(std::shared_ptr<ISoundSystem> system) {
    std::shared_ptr<ISoundSystem> old;
    std::lock_guard<std::mutex> lock(SelectionMutex());
    old = std::move(Current());
    Current() = std::move(system);
    gAutomatic = false;
}

}  // namespace snd

int32_t CMediaPlayerFactory::SelectSoundSystem(const KvaSoundSystemConfig& config) {
    return snd::SelectSoundSystem(config);
}

}  // namespace kva_audioplayer
