// The next track by locator, the current track's tags, and the cross-fade into a preloaded track
// that starts by itself.
#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "codec/CKVAAudioProcess.h"
#include "codec/KVAAudioStream.h"
#include "player/CKVAAudioPlayer.h"
#include "player/PlayerCommands.h"
#include "source/SourceFactory.h"

namespace kva_audioplayer {

int32_t CKVAAudioPlayer::SetNextDataSource(const char* url, int32_t mode, int64_t id) {
    if (!url || id < 0 || id > std::numeric_limits<uint32_t>::max()) return kErrorInvalidArgument;
    IKVASourceIO* source = CreateSourceForLocator(static_cast<uint32_t>(id), url);
    // Without a release function the player owns the source; a refused one is still the caller's.
    const int32_t r = SetNextSourceIO(source, mode, nullptr);
    if (r != 0) delete source;
    return r;
}

int32_t CKVAAudioPlayer::GetTrackTag(const char* key, char* out, int32_t size) {
    if (!key) return -1;
    std::string value;
    {
        CKVAAutoLock lock(mStreamLock);
        if (!mAudioStream || !mAudioStream->getTag(key, &value)) return -1;
    }
    if (out && size > 0) {
        const size_t n = std::min(value.size(), static_cast<size_t>(size - 1));
        memcpy(out, value.data(), n);
        out[n] = '\0';
    }
    return static_cast<int32_t>(std::min<size_t>(value.size(), INT32_MAX));
}

// The fade begins with the block after the one that brought what is left of the current track
// within the cross-fade time, so it starts within one device period of that point whatever the
// pace of the output. It runs on the render thread because a poll from any other thread falls
// behind an output that is drained faster than real time.
void CKVAAudioPlayer::CrossFadeAtEndLocked(const CKVAAutoLock& streamLockHeld) {
    const int64_t duration = ReadUnder(mSettingsLock, mDuration);
    const int64_t remaining = duration - mLastFillEndMs.load();
    if (duration <= 0 || remaining > mCrossFadeTime.load()) return;
    CKVAAudioStream* stream;
    {
        CKVAAutoLock nextLock(mNextStreamLock);
        if (!mCrossFadeAtEnd || !mNextStream) return;
        // A fade into a stream that has decoded nothing yet would rise from silence. It waits
        // for the first audio: at worst the current track ends and the gapless switch takes over.
        if (mNextStream->readyFrames() == 0) return;
        mCrossFadeAtEnd = false;
        // Preloaded with the output format, it mixes whatever its own rate and channels.
        stream = std::exchange(mNextStream, nullptr);
    }
    // A fade still running is cut short; the command thread destroys what it held.
    Retire(StartCrossFadeLocked(streamLockHeld, mAudioStream, PromoteNextSource(streamLockHeld),
                                remaining));
    mAudioStream = stream;
    ApplyStreamSettings(stream);
    TakeOverStream(streamLockHeld, kTakeOverCrossFade);
}

}  // namespace kva_audioplayer
