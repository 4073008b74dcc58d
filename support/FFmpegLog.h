// FFmpeg's own log lines go through the library's log, at detail level, instead of straight to
// standard error.
#pragma once

namespace kva_audioplayer {

// Idempotent; process-wide (FFmpeg has one log callback per process).
void InstallFFmpegLogForwarding();

}  // namespace kva_audioplayer
