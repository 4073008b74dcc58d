#include "platform/StreamRoute.h"

namespace kva_audioplayer {
namespace snd {

void RouteSource::Attach(IRenderStream* stream) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mStream) mPastMoves += mStream->Moves();
    mStream = stream;
}

uint32_t RouteSource::Moves() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mPastMoves + (mStream ? mStream->Moves() : 0);
}

std::string RouteSource::EndpointId() {
    std::lock_guard<std::mutex> lock(mMutex);
    std::string now = mStream ? mStream->EndpointId() : std::string();
    return now.empty() ? mOpenedOn : now;
}

}  // namespace snd
}  // namespace kva_audioplayer
