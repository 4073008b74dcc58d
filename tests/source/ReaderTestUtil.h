// Reading the buffered network reader to its end, for the source tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "source/KVABufferReaderProxy.h"

namespace kva_test {

const int64_t kKiB = 1024;
const int64_t kMiB = 1024 * 1024;

struct ReadResult {
    std::string bytes;
    int32_t last = 0;  // the result that ended the loop
};

// Reads on until end of stream, any other answer (a read waits while the download goes on), or limit bytes.
inline ReadResult ReadOn(kva_audioplayer::CKVABufferReaderProxy& r, int64_t limit = INT64_MAX,
                         int32_t chunk = 32768) {
    using namespace kva_audioplayer;
    ReadResult out;
    std::vector<uint8_t> buf(static_cast<size_t>(chunk));
    while (static_cast<int64_t>(out.bytes.size()) < limit) {
        int32_t len = static_cast<int32_t>(std::min<int64_t>(chunk, limit - out.bytes.size()));
        int32_t rc = r.Read(buf.data(), &len);
        out.last = rc;
        if (rc == kSourceOk && len > 0) {
            out.bytes.append(reinterpret_cast<char*>(buf.data()), static_cast<size_t>(len));
            continue;
        }
        break;
    }
    return out;
}

}  // namespace kva_test
