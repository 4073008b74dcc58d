// What the processing chain reports to its owner: the end of a fade.
#pragma once

#include <cstdint>

namespace kva_audioplayer {

// Fade modes reported by IKVAProcessObserver::OnFadeFinish.
enum KVAFadeMode : int32_t { kFadeNone = 0, kFadeOut = 1, kFadeIn = 2 };

class IKVAProcessObserver {
public:
    virtual void OnFadeFinish(const char* songId, int32_t fadeType) = 0;

protected:
    ~IKVAProcessObserver() = default;
};

}  // namespace kva_audioplayer
