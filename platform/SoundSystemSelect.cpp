// The process-wide choice of sound system.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KvaSoundSystem.h"
#include "platform/SoundSystem.h"
#include "platform/SoundSystemSelect.h"
#include "platform/PulseSoundSystem.h"
#include "platform/VirtualSoundSystem.h"
#include "support/Log.h"

namespace kva_audioplayer {
namespace snd {

namespace {

// Leaked, as the watcher thread may still wait on it at exit.
std::mutex& SelectionMutex() {
    static auto* m = new std::mutex;
    return *m;
}
// Leaked on purpose: render threads of players that outlive static destruction may still use it.
std::shared_ptr<ISoundSystem>& Current() {
    static auto* current = new std::shared_ptr<ISoundSystem>();
    return *current;
}
// The current system was the automatic choice (made by GetSoundSystem or asked for).
bool gAutomatic = false;
// The automatic choice fell back to the virtual output: a watcher thread looks for a server
// again every interval (a refused connect is quick; a hung server costs the automatic time-out).
bool gFellBack = false;
bool gWatching = false;
constexpr auto kLookAgainInterval = std::chrono::seconds(2);
// What the desktop's mixer shows; kept for the choices made again. Selection mutex.
std::string gAppName, gIconName;
// The current system was selected as VirtualWav.
bool gWav = false;
std::atomic<uint64_t> gMoves{0};

const char* OrNull(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }

// An automatic choice whose server went away is made again.
bool Lost(const std::shared_ptr<ISoundSystem>& sys) {
    auto* pulse = dynamic_cast<PulseSoundSystem*>(sys.get());
    return pulse && !pulse->IsConnected();
}

bool IsServer(const std::shared_ptr<ISoundSystem>& sys) {
    return sys && std::string(sys->Name()) == "pulse";
}

// Held while observers are called, so that removing one waits for a call in progress.
std::mutex& ObserverMutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::vector<IChoiceObserver*>& Observers() {
    static auto* v = new std::vector<IChoiceObserver*>;
    return *v;
}

void TellMoved(const std::shared_ptr<ISoundSystem>& old, const std::shared_ptr<ISoundSystem>& now,
               bool oldLost) {
    ++gMoves;
    std::lock_guard<std::mutex> lock(ObserverMutex());
    for (IChoiceObserver* o : Observers()) o->OnChoiceMoved(old.get(), now, oldLost);
}

void WatchForServer();

// Selection mutex held.
void StartWatcherLocked() {
    if (gWatching || !gAutomatic || !gFellBack) return;
    gWatching = true;
    std::thread(WatchForServer).detach();
}

std::condition_variable& WatchWake() {
    static auto* cv = new std::condition_variable;
    return *cv;
}

void WatchForServer() {
    pthread_setname_np(pthread_self(), "KvaServerWatch");
    for (;;) {
        std::shared_ptr<ISoundSystem> old;
        std::string app, icon;
        {
            std::unique_lock<std::mutex> lock(SelectionMutex());
            WatchWake().wait_for(lock, kLookAgainInterval);
            if (!gAutomatic || !gFellBack) {
                gWatching = false;
                return;
            }
            old = Current();
            app = gAppName;
            icon = gIconName;
        }
        // Connected without the selection lock: players choosing meanwhile are not held up.
        std::shared_ptr<ISoundSystem> pulse =
            ConnectPulseSoundSystem(kAutomaticConnectTimeoutMs, OrNull(app), OrNull(icon));
        if (!pulse) continue;
        {
            std::lock_guard<std::mutex> lock(SelectionMutex());
            if (Current() != old || !gAutomatic || !gFellBack) continue;
            Current() = pulse;  // streams on the virtual output keep it while they last
            gFellBack = false;
            gWatching = false;
        }
        KVA_LOG(kLogTrace, "SoundSystem: a sound server answers now; using it");
        TellMoved(old, pulse, false);
        return;
    }
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
    std::shared_ptr<ISoundSystem> old, now;
    {
        std::lock_guard<std::mutex> lock(SelectionMutex());
        auto& current = Current();
        if (current && !(gAutomatic && Lost(current))) return current;
        if (current) KVA_LOG(kLogTrace, "SoundSystem: the sound server went away; choosing again");
        KvaSoundSystemConfig automatic;
        automatic.applicationName = OrNull(gAppName);
        automatic.iconName = OrNull(gIconName);
        old = std::move(current);
        current = MakeSoundSystem(automatic, nullptr);
        gAutomatic = true;
        gWav = false;
        gFellBack = current && !IsServer(current);
        StartWatcherLocked();
        now = current;
    }
    if (old && now) TellMoved(old, now, true);
    return now;
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
        gFellBack = gAutomatic && !IsServer(sys);
        gWav = config.kind == KvaSoundSystemKind::VirtualWav;
        gAppName = config.applicationName ? config.applicationName : "";
        gIconName = config.iconName ? config.iconName : "";
        Current() = std::move(sys);
        StartWatcherLocked();
    }
    return kOk;  // the old system goes when its last stream does
}

void AddChoiceObserver(IChoiceObserver* observer) {
    std::lock_guard<std::mutex> lock(ObserverMutex());
    auto& v = Observers();
    if (observer && std::find(v.begin(), v.end(), observer) == v.end()) v.push_back(observer);
}

void RemoveChoiceObserver(IChoiceObserver* observer) {
    std::lock_guard<std::mutex> lock(ObserverMutex());
    auto& v = Observers();
    v.erase(std::remove(v.begin(), v.end(), observer), v.end());
}

uint64_t AutomaticChoiceMoves() { return gMoves.load(); }

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
