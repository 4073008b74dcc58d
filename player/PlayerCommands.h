// Command ids of "Audio Handle Thread".
#pragma once

#include <cstdint>

namespace kva_audioplayer {

enum KVAPlayerCommand : int32_t {
    kCmdPlayCompleted = 2,
    kCmdSetSource = 10,
    kCmdPrepareAsync = 11,
    kCmdPlay = 12,
    kCmdPause = 13,
    kCmdStop = 14,
    kCmdReset = 15,
    kCmdSeek = 16,
    kCmdSetNextSource = 17,
    kCmdDeviceOpen = 18,
    kCmdFadeFinish = 19,
    kCmdSeekComplete = 20,
    kCmdUpdateVolume = 21,
    kCmdResetFadeSource = 22,
    kCmdSetCacheParams = 23,
    kCmdDeviceChanged = 24,
    kCmdSetDeviceParams = 25,
    kCmdHeadSetChanged = 26,
    kCmdSetAudioIF = 27,
    kCmdSetSpeed = 28,
    kCmdReplayGain = 29,
    kCmdDeviceError = 40,  // a device's failure, handled away from its render thread
    kCmdRetire = 41,       // destroys what a gapless switch on the render thread replaced
    kCmdDeviceMoved = 42,  // the system moved the device's stream to another endpoint
    kCmdTakeOverIF = 43,   // sets the IF mode up for a stream that took over on the render thread
};
// Argument 2 of kCmdDeviceChanged: 0 a device chosen, 1 a forced re-make (a failover), or the
// system default moved.
enum : int32_t { kDeviceChangeDefaultMoved = 2 };

// Posted to the notification thread for an error about a host's call: delivered as 100, without
// the pause that a playback error brings.
enum : int32_t { kNotifyCallError = 0x10000 + 100 };

// mFadeStatus values.
enum : int32_t { kFadeStatusNone = 0, kFadeStatusOut = 1, kFadeStatusIn = 3 };

// Next-source states.
enum : int32_t { kNextStateIdle = 1, kNextStatePending = 2, kNextStatePreloaded = 4 };

// Fill modes.
enum : int32_t { kFillNormal = 0, kFillCrossFade = 4 };

}  // namespace kva_audioplayer
