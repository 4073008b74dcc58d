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
    return CreateSourceForLocator(sessionId, url, nullptr, nullptr);
}

IKVASourceIO* CreateSourceForLocator(uint32_t sessionId, const char* url, StreamTitleFn fn,
                                     void* context) {
    if (!url) return nullptr;
    if (IsNetworkLocator(url)) {
        CKVABufferReaderProxy* reader = new CKVABufferReaderProxy(sessionId, url);
        reader->SetStreamTitleListener(fn, context);
        return reader;
    }
    return new CKVAAudioLocalSource(sessionId, url);
}

}  // namespace kva_audioplayer
