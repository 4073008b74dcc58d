// The source folder's harness: reading the buffered network reader to its end, and one fixture
// with a loopback server (plain or TLS) and a client trusting the run's authority.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "common/HttpTestServer.h"
#include "common/TestProcess.h"
#include "common/TlsTestCerts.h"
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
    ReadResult out;
    std::vector<uint8_t> buf(static_cast<size_t>(chunk));
    while (static_cast<int64_t>(out.bytes.size()) < limit) {
        int32_t len = static_cast<int32_t>(std::min<int64_t>(chunk, limit - out.bytes.size()));
        out.last = r.Read(buf.data(), &len);
        if (out.last != kva_audioplayer::kSourceOk || len <= 0) break;
        out.bytes.append(reinterpret_cast<char*>(buf.data()), static_cast<size_t>(len));
    }
    return out;
}

// A pattern resource of size bytes, changed by tweak.
template <typename Tweak>
HttpPlan Plan(int64_t size, Tweak tweak) {
    HttpPlan p = HttpPlan::Pattern(size);
    tweak(p);
    return p;
}

// Log lines or stream titles, as their callbacks deliver them on other threads.
struct Lines {
    std::mutex lock;
    std::vector<std::pair<int32_t, std::string>> lines;
    static void Log(void* self, int32_t level, const char*, const char* text) {
        auto* l = static_cast<Lines*>(self);
        std::lock_guard<std::mutex> g(l->lock);
        l->lines.emplace_back(level, text);
    }
    static void Title(void* self, const char* text) { Log(self, 0, nullptr, text); }
    std::vector<std::pair<int32_t, std::string>> Taken() {
        std::lock_guard<std::mutex> g(lock);
        return lines;
    }
};

class NetTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(!Certs().caFile.empty() || Certs().Make()); }
    static TlsTestCerts& Certs() { static TlsTestCerts certs; return certs; }
    void SetUp() override { ASSERT_TRUE(server.Start()); }
    // A started server: TLS with the pair when given.
    static std::unique_ptr<HttpTestServer> Server(const TlsTestCerts::Pair* pair = nullptr, bool v6 = false) {
        std::unique_ptr<HttpTestServer> s(new HttpTestServer());
        EXPECT_TRUE(!pair || s->EnableTls(pair->cert, pair->key));
        EXPECT_TRUE(s->Start(v6));
        return s;
    }
    static kva_audioplayer::CKVAHttpClient* TrustingClient() {
        auto* c = new kva_audioplayer::CKVAHttpClient();
        c->SetTrustFile(Certs().caFile.c_str());
        return c;
    }
    static std::string ByName(HttpTestServer& s, const std::string& target) {
        return s.Scheme() + "://localhost:" + std::to_string(s.Port()) + target;
    }
    HttpTestServer server;
};

}  // namespace kva_test
