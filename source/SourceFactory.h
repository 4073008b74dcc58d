// Chooses the byte source for a locator given to SetDataSource.
#pragma once

#include <cstdint>

#include "KvaAudioPlayer.h"

namespace kva_audioplayer {

// True for "http://" and "https://" locators, compared without regard to case.
bool IsNetworkLocator(const char* url);

// A new source for the locator (network or local file); null only for a null locator.
IKVASourceIO* CreateSourceForLocator(uint32_t sessionId, const char* url);
// The same; a network source tells fn each new title of a live stream (on its own thread).
typedef void (*StreamTitleFn)(void* context, const char* title);
IKVASourceIO* CreateSourceForLocator(uint32_t sessionId, const char* url, StreamTitleFn fn,
                                     void* context);

}  // namespace kva_audioplayer
