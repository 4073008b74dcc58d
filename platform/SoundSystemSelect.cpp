// The process-wide choice of sound system.
#include <chrono>
#include <mutex>
#include <string>

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
// The automatic choice fell back to the virtual output: a server that appears later is looked
// for again, at most once per interval (a refused connect is quick; a hung server costs the
// automatic time-out).
bool gFellBack = false;
std::chrono::steady_clock::time_point gLastLook;
constexpr auto kLookAgainInterval = std::chrono::seconds(2);
// What the desktop's mixer shows; kept for the choices made again. Selection mutex.
std::string gAppName, gIconName;
// The current system was selected as VirtualWav.
bool gWav = false;

const char* OrNull(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }

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
        sys = ConnectPulseSoundSystem(kAutomaticConnectTimeoutMs, config.applicationName,
                                      config.iconName);
        if (!sys) {
            KVA_LOG(kLogTrace, "SoundSystem: no sound server answered, using the virtual output");
            sys = MakeVirtualWithDefaultEndpoint(config.fast, nullptr);
        }
        break;
    case KvaSoundSystemKind::PulseAudio:
        sys = ConnectPulseSoundSystem(kExplicitConnectTimeoutMs, config.applicationName,
                                      config.iconName);
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
    const auto now = std::chrono::steady_clock::now();
    if (current && gAutomatic && gFellBack && now - gLastLook >= kLookAgainInterval) {
        gLastLook = now;
        if (auto pulse = ConnectPulseSoundSystem(kAutomaticConnectTimeoutMs, OrNull(gAppName),
                                                 OrNull(gIconName))) {
            KVA_LOG(kLogTrace, "SoundSystem: a sound server answers now; using it");
            current = std::move(pulse);  // streams on the virtual output keep it while they last
            gFellBack = false;
        }
    }
    if (!current || (gAutomatic && Lost(current))) {
        if (current) KVA_LOG(kLogTrace, "SoundSystem: the sound server went away; choosing again");
        KvaSoundSystemConfig automatic;
        automatic.applicationName = OrNull(gAppName);
        automatic.iconName = OrNull(gIconName);
        current = MakeSoundSystem(automatic, nullptr);
        gAutomatic = true;
        gWav = false;
        gFellBack = current && std::string(current->Name()) != "pulse";
        gLastLook = now;
    }
    return current;
}

int32_t CurrentSoundSystemKind() {
    auto sys = GetSoundSystem();
    std::lock_guard<std::mutex> lock(SelectionMutex());
    if (sys && std::string(sys->Name()) == "pulse") return int32_t(KvaSoundSystemKind::PulseAudio);
    return int32_t(gWav ? KvaSoundSystemKind::VirtualWav : KvaSoundSystemKind::Virtual);
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
        gAutomatic = config.kind == KvaSoundSystemKind::Automatic;
        gFellBack = gAutomatic && std::string(sys->Name()) != "pulse";
        gLastLook = std::chrono::steady_clock::now();
        gWav = config.kind == KvaSoundSystemKind::VirtualWav;
        gAppName = config.applicationName ? config.applicationName : "";
        gIconName = config.iconName ? config.iconName : "";
        Current() = std::move(sys);
    }
    return kOk;  // the old system goes when its last stream does
}

void SetSoundSystem(std::shared_ptr<ISoundSystem> system) {
    std::shared_ptr<ISoundSystem> old;
    std::lock_guard<std::mutex> lock(SelectionMutex());
    old = std::move(Current());
    Current() = std::move(system);
    gAutomatic = false;
    gFellBack = false;
    gWav = false;
}

}  // namespace snd

int32_t CMediaPlayerFactory::SelectSoundSystem(const KvaSoundSystemConfig& config) {
    return snd::SelectSoundSystem(config);
}

int32_t CMediaPlayerFactory::CurrentSoundSystem() { return snd::CurrentSoundSystemKind(); }

}  // namespace kva_audioplayer
