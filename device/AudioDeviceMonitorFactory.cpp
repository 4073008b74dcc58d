#include "device/AudioDeviceMonitor.h"

namespace kva_audioplayer {

// The device list and hot-plug events are not built yet: the player runs without a monitor
// and opens the system default device.
AudioDeviceMonitor* CreateAudioDeviceMonitor(IKVADeviceObserver*) { return nullptr; }

}  // namespace kva_audioplayer
