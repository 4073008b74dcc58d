// An HTTP client whose socket is replaced by scripted bytes: what the request sends is kept,
// what the response holds is handed out in pieces, and a redirect never leaves the process.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "source/KVAHttpClient.h"

namespace kva_test {

class ScriptedHttpClient : public kva_audioplayer::CKVAHttpClient {
public:
    // piece: how many bytes one receive hands out at most (1 makes every read a refill).
    explicit ScriptedHttpClient(std::string response = std::string(), size_t piece = 4096)
        : mResponse(std::move(response)), mPiece(piece ? piece : 1) {}

    // Runs one request/response exchange against the scripted bytes, as Connect would.
    int32_t Exchange(const char* url, int64_t offset) {
        ParseUrl(url);
        AdoptInjectedStream();
        return SendRequestAndParseResponse(
            [](CKVAHttpClient* self, const char* to, int64_t at) { return self->Connect(to, at, true); }, url,
            Port(), offset);
    }

    int32_t Send(const char* data, int32_t length) override { mSent.append(data, size_t(length)); return 0; }
    int32_t Receive(int, int32_t, uint8_t* buffer, int32_t length) override {
        if (mPos >= mResponse.size()) return kva_audioplayer::kHttpPeerClosed;
        const size_t n = std::min({mResponse.size() - mPos, mPiece, size_t(length)});
        memcpy(buffer, mResponse.data() + mPos, n);
        mPos += n;
        return int32_t(n);
    }
    int32_t Connect(const char* url, int64_t offset, bool redirect) override {
        mRedirects.push_back(url ? url : "");
        mRedirectOffsets.push_back(offset);
        if (redirect && ++mRedirectCount > kMaxRedirects) return kva_audioplayer::kHttpTooManyRedirects;
        return kva_audioplayer::kHttpConnectFailed;  // never leaves the process
    }

    const std::string& Sent() const { return mSent; }
    const std::vector<std::string>& Redirects() const { return mRedirects; }
    const std::vector<int64_t>& RedirectOffsets() const { return mRedirectOffsets; }

private:
    std::string mResponse, mSent;
    size_t mPiece, mPos = 0;
    std::vector<std::string> mRedirects;
    std::vector<int64_t> mRedirectOffsets;
};

}  // namespace kva_test
