// Linux hosts: choose the sound system that every player of the process renders to.
// Call CMediaPlayerFactory::SelectSoundSystem before creating players; without a call
// the choice is automatic.
#pragma once

#include "KvaAudioPlayer.h"

namespace kva_audioplayer {

enum class KvaSoundSystemKind : int32_t {
    Automatic = 0,  // PulseAudio when a server answers within a short timeout, else Virtual
    PulseAudio = 1, // the desktop's sound server (PulseAudio, or PipeWire's PulseAudio service)
    Virtual = 2,    // one default endpoint, consumed in real time (or fast)
    VirtualWav = 3, // as Virtual, and everything rendered is written to wavPath
};

struct KvaSoundSystemConfig {
    KvaSoundSystemKind kind = KvaSoundSystemKind::Automatic;
    const char* wavPath = nullptr; // VirtualWav: 32-bit float WAV in the endpoint's mix format
    bool fast = false;             // Virtual/VirtualWav: consume as fast as fed
    // PulseAudio (and the automatic choice): how the desktop's mixer names the application and
    // which icon it shows (an icon name of the desktop's theme). Null: "KvaAudioPlayer", no icon.
    // Copied by SelectSoundSystem; also used when the automatic choice is made again.
    const char* applicationName = nullptr;
    const char* iconName = nullptr;
};

}  // namespace kva_audioplayer
