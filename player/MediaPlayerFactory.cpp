#include <new>

#include "KvaAudioPlayer.h"
#include "player/CKVAAudioPlayer.h"
#include "player/ErrorText.h"
#include "support/FFmpegLog.h"
#include "support/Log.h"

namespace kva_audioplayer {

IKVAPlayer* CMediaPlayerFactory::NewL(IKVAPlayerObserver* observer) {
    return new (std::nothrow) CKVAAudioPlayer(observer);
}

const char* CMediaPlayerFactory::ErrorText(int32_t code, int32_t detail) {
    return DescribeError(code, detail);
}

int32_t CMediaPlayerFactory::SetLogConfig(bool debugOutput, int32_t minLevel) {
    SetLogMinLevel(minLevel);
    SetLogDebugOutput(debugOutput ? 1 : 0);
    return 0;
}

int32_t CMediaPlayerFactory::SetLogger(IPlayerLogger* logger) {
    SetProcessLogger(logger);
    return 0;
}

int32_t CMediaPlayerFactory::SetFFmpegLogForwarding(bool enabled) {
    kva_audioplayer::SetFFmpegLogForwarding(enabled);
    return 0;
}

CMediaPlayerFactory& CMediaPlayerFactory::operator=(const CMediaPlayerFactory&) { return *this; }
CMediaPlayerFactory& CMediaPlayerFactory::operator=(CMediaPlayerFactory&&) { return *this; }

}  // namespace kva_audioplayer
