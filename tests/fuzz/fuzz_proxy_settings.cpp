// Arbitrary text as a proxy URL and as a no_proxy list. The first input byte splits the rest:
// the list up to it, then the host the list is asked about; the port comes from the byte itself.
#include <cstddef>
#include <cstdint>
#include <string>

#include "source/KVAHttpClient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t split = data[0] % (text.size() + 1);
    kva_audioplayer::ProxyRoute route;
    kva_audioplayer::ParseProxyUrl(text.c_str(), &route);
    const std::string list = text.substr(0, split);
    kva_audioplayer::NoProxyCovers(list.c_str(), text.substr(split), static_cast<uint16_t>(data[0] * 257));
    return 0;
}
