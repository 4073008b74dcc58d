// Results of the stream pulls, seen by the pull path and the output devices (which return them
// negated from their fill callbacks).
#pragma once

#include <cstdint>

namespace kva_audioplayer {

enum KVAStreamResult : int32_t {
    kStreamOk = 0,
    kStreamIoError = 1,
    kStreamDecodeError = 10,
    kAudioPlayerErrorState = 12,  // no current stream; a device receiving -12 pauses itself
    kStreamNoStream = 15,         // no current stream (frame path)
    kStreamNoFreeFrame = 16,
    kAudioPlayerEOS = 18,         // the bytes delivered (possibly none) are the last
    kStreamNoData = 19,           // buffering: nothing delivered, ask again after 2 ms
    kStreamFormatChanged = 20,    // the format changes after these bytes: re-open the device
    kStreamCancelled = 21,
};

}  // namespace kva_audioplayer
