#include "source/SourceFactory.h"

#include "source/KVAAudioLocalSource.h"
#include "support/Log.h"
#include "support/TextUtil.h"

namespace kva_audioplayer {

bool IsNetworkLocator(const char* url) {
    return StartsWithNoCase(url, "http://") || StartsWithNoCase(url, "https://");
}

IKVASourceIO* CreateSourceForLocator(uint32_t sessionId, const char* url) {
    if (!url) return nullptr;
    if (IsNetworkLocator(url)) {
        // Network media is not wired in yet: a local source on the locator fails its Open
        // cleanly, which the host sees as an error notification.
        KVA_LOG(kLogError, "CreateSourceForLocator: network media unavailable %s", url);
    }
    return new CKVAAudioLocalSource(sessionId, url);
}

}  // namespace kva_audioplayer
