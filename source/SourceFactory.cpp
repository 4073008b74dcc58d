#include "source/SourceFactory.h"

#include "source/KVAAudioLocalSource.h"
#include "source/KVABufferReaderProxy.h"
#include "support/Log.h"
#include "support/TextUtil.h"

namespace kva_audioplayer {

bool IsNetworkLocator(const char* url) {
    return StartsWithNoCase(url, "http://") || StartsWithNoCase(url, "https://");
}

IKVASourceIO* CreateSourceForLocator(uint32_t sessionId, const char* url) {
    if (!url) return nullptr;
    if (IsNetworkLocator(url)) return new CKVABufferReaderProxy(sessionId, url);
    return new CKVAAudioLocalSource(sessionId, url);
}

}  // namespace kva_audioplayer
