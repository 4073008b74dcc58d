// FFmpeg's own log lines go through the library's log instead of straight to standard error:
// its fatal messages (an assertion before an abort) at error level, errors at trace level,
// warnings at detail level.
#pragma once

namespace kva_audioplayer {

// Installs the forwarding once per process, unless the host opted out; a host's own callback
// set later replaces it, and it is never put back over one.
void InstallFFmpegLogForwarding();
// The host's choice (CMediaPlayerFactory::SetFFmpegLogForwarding). False restores FFmpeg's
// default callback if the forwarding is in, and keeps it out from then on; true installs it.
void SetFFmpegLogForwarding(bool enabled);

}  // namespace kva_audioplayer
