#include "platform/SoundSystemSelect.h"

namespace kva_audioplayer {
namespace snd {

std::shared_ptr<ISoundSystem> ConnectPulseSoundSystem(int timeoutMs) { return nullptr; }

}  // namespace snd
}  // namespace kva_audioplayer
