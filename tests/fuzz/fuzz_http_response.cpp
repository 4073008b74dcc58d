// Arbitrary bytes as the server's answer: status line, headers, redirects, lengths, body (chunked
// framing and stream metadata included).
// The first input byte chooses how many bytes each receive hands out and the requested offset.
#include <cstddef>
#include <cstdint>

#include "common/ScriptedHttpClient.h"
#include "support/Log.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kva_audioplayer::SetLogDebugOutput(0);
    kva_audioplayer::SetLogMinLevel(100);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t piece = (data[0] & 0x0F) + 1;
    const int64_t offset = (data[0] >> 4) * 1000;
    std::string response(reinterpret_cast<const char*>(data + 1), size - 1);

    kva_test::ScriptedHttpClient client(response, piece);
    client.SetIcyMetadata(((data[0] >> 4) & 1) != 0);  // in-band stream metadata parsed as well
    int32_t ret = client.Exchange("http://fuzz.example:8080/dir/track.mp3?id=1", offset);
    if (ret == kva_audioplayer::kHttpOk) {
        uint8_t body[1024];
        for (int i = 0; i < 256 && client.Read(body, sizeof(body)) > 0; ++i) {}
        if (client.IsTransferBlock()) client.ReadChunkSize();
    }
    client.GetRedirectUrl();
    client.Disconnect();
    return 0;
}
