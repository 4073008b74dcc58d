#include <new>

#include "KvaAudioPlayer.h"
#include "player/CKVAAudioPlayer.h"

namespace kva_audioplayer {

IKVAPlayer* CMediaPlayerFactory::NewL(IKVAPlayerObserver* observer) {
    return new (std::nothrow) CKVAAudioPlayer(observer);
}

CMediaPlayerFactory& CMediaPlayerFactory::operator=(const CMediaPlayerFactory&) { return *this; }
CMediaPlayerFactory& CMediaPlayerFactory::operator=(CMediaPlayerFactory&&) { return *this; }

}  // namespace kva_audioplayer
