// Played time of the last finished track, kept by the player so that it can still answer after
// the track ended or was replaced. Filled by the processing chain.
#pragma once

#include <cstdint>
#include <string>

namespace kva_audioplayer {

struct KVACachedTrackTime {
    bool bValid = false;
    std::string strSongId;
    int64_t nPlayedTime = 0;           // ms of output (after the time-stretch)
    int64_t nEndTime = 0;              // media position where the track's output ended, ms
    int64_t nPlayedTimeWithSpeed = 0;  // ms of source audio consumed
    void Clear() {
        bValid = false;
        strSongId.clear();
        nPlayedTime = nEndTime = nPlayedTimeWithSpeed = 0;
    }
};

}  // namespace kva_audioplayer
