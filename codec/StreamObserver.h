// What an audio stream reports to its owner: buffering and stream events.
#pragma once

#include <cstdint>

#include "support/StreamResult.h"

namespace kva_audioplayer {

class IKVAStreamObserver {
public:
    virtual void OnBufferingStart(const char* text, uint32_t id) = 0;
    virtual void OnBufferingEnd(const char* text, uint32_t id) = 0;
    virtual void OnStreamEvent(int32_t id, const char* text, int32_t arg1, int32_t arg2) = 0;

protected:
    ~IKVAStreamObserver() = default;
};

}  // namespace kva_audioplayer
