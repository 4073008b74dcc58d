#include <mutex>
#include <new>

#include "KvaAudioPlayer.h"
#include "player/CKVAAudioPlayer.h"
#include "player/ErrorText.h"
#include "source/KVAHttpClient.h"
#include "support/FFmpegLog.h"
#include "support/Log.h"

namespace kva_audioplayer {

namespace {
// A logger given through a player (IKVAPlayer::SetLogger) is also cleared once the last player
// is gone: hosts written when the logger was the player's destroy it after releasing them.
std::mutex gLoggerMutex;
int gLivePlayers = 0;
bool gLoggerFromPlayer = false;
}  // namespace

void PlayerCreated() {
    std::lock_guard<std::mutex> lock(gLoggerMutex);
    ++gLivePlayers;
}

void PlayerDestroyed() {
    std::lock_guard<std::mutex> lock(gLoggerMutex);
    if (--gLivePlayers == 0 && gLoggerFromPlayer) {
        gLoggerFromPlayer = false;
        SetProcessLogger(nullptr);
    }
}

void SetLoggerFromPlayer(IPlayerLogger* logger) {
    std::lock_guard<std::mutex> lock(gLoggerMutex);
    SetProcessLogger(logger);
    gLoggerFromPlayer = logger != nullptr;
}

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
    std::lock_guard<std::mutex> lock(gLoggerMutex);
    SetProcessLogger(logger);
    gLoggerFromPlayer = false;
    return 0;
}

int32_t CMediaPlayerFactory::SetFFmpegLogForwarding(bool enabled) {
    kva_audioplayer::SetFFmpegLogForwarding(enabled);
    return 0;
}

int32_t CMediaPlayerFactory::SetProxy(const char* proxyUrl, const char* noProxy) {
    return CKVAHttpClient::SetProxyUrl(proxyUrl, noProxy) ? 0 : kErrorInvalidArgument;
}

CMediaPlayerFactory& CMediaPlayerFactory::operator=(const CMediaPlayerFactory&) { return *this; }
CMediaPlayerFactory& CMediaPlayerFactory::operator=(CMediaPlayerFactory&&) { return *this; }

}  // namespace kva_audioplayer
