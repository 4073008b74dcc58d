#include <new>

#include "KvaAudioPlayer.h"
#include "player/CKVAAudioPlayer.h"
#include "player/ErrorText.h"

namespace kva_audioplayer {

IKVAPlayer* CMediaPlayerFactory::NewL(IKVAPlayerObserver* observer) {
    return new (std::nothrow) CKVAAudioPlayer(observer);
}

const char* CMediaPlayerFactory::ErrorText(int32_t code, int32_t detail) {
    return DescribeError(code, detail);
}

CMediaPlayerFactory& CMediaPlayerFactory::operator=(const CMediaPlayerFactory&) { return *this; }
CMediaPlayerFactory& CMediaPlayerFactory::operator=(CMediaPlayerFactory&&) { return *this; }

}  // namespace kva_audioplayer
