// Where an emulated API object's render stream plays now: the IKvaStreamRoute that Core Audio,
// waveOut and DirectSound hand out, over one source their object keeps.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/CoreAudio.h"
#include "platform/SoundSystem.h"

namespace kva_audioplayer {
namespace snd {

// Moves are counted over every stream the owner attaches, so a lost buffer re-created on a new
// stream does not look like a move back. The owner attaches each stream it opens and detaches
// it (null) before letting it go; a route outliving the owner then answers the last count.
class RouteSource {
public:
    explicit RouteSource(std::string openedOn) : mOpenedOn(std::move(openedOn)) {}
    void Attach(IRenderStream* stream);
    uint32_t Moves();
    std::string EndpointId();  // where it was opened, when the stream does not say

private:
    std::mutex mMutex;  // held only for the few reads below
    IRenderStream* mStream = nullptr;
    uint32_t mPastMoves = 0;
    const std::string mOpenedOn;
};

}  // namespace snd

// One reference, the caller's (CoreAudio.cpp).
IKvaStreamRoute* NewStreamRoute(std::shared_ptr<snd::RouteSource> source);

}  // namespace kva_audioplayer
