// TLS in the HTTP client: a loopback TLS server with certificates made for the run, trusted
// through the client's own trust file only.
#include <gtest/gtest.h>

#include <openssl/x509_vfy.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

#include "ReaderTestUtil.h"
#include "common/HttpTestServer.h"
#include "common/TlsTestCerts.h"
#include "source/KVABufferReaderProxy.h"
#include "source/KVAHttpClient.h"

using namespace kva_audioplayer;
using kva_test::HttpPlan;
using kva_test::HttpRequest;
using kva_test::HttpTestServer;
using kva_test::PatternBytes;
using kva_test::ReadOn;
using kva_test::ReadResult;
using kva_test::kKiB;
using kva_test::kMiB;

namespace {

class HttpsConcurrency : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(certs.Make()); }

    // A TLS server presenting one of the certificates.
    std::unique_ptr<HttpTestServer> Server(const kva_test::TlsTestCerts::Pair& pair) {
        std::unique_ptr<HttpTestServer> s(new HttpTestServer());
        EXPECT_TRUE(s->EnableTls(pair.cert, pair.key));
        EXPECT_TRUE(s->Start());
        return s;
    }
    CKVAHttpClient* TrustingClient() {
        CKVAHttpClient* c = new CKVAHttpClient();
        c->SetTrustFile(certs.caFile.c_str());
        return c;
    }

    kva_test::TlsTestCerts certs;
};

}  // namespace

TEST_F(HttpsConcurrency, ReaderOverTlsGivesTheServedBytesAndResumesWithRanges) {
    auto server = Server(certs.good);
    HttpPlan plan;
    plan.patternSize = 1 * kMiB + 300;
    plan.closeAfter = 256 * kKiB;  // every answer cut: a new handshake and a range each time
    server->Serve("/cut.bin", plan);
    const std::string byName = "https://localhost:" + std::to_string(server->Port()) + "/cut.bin";
    for (const std::string& url : {server->Url("/cut.bin"), byName}) {
        CKVABufferReaderProxy r(0, url.c_str(), TrustingClient());
        ASSERT_EQ(kSourceOk, r.Open()) << url << " error " << r.GetErrorCode();
        EXPECT_EQ(plan.patternSize, r.GetSize());
        ReadResult got = ReadOn(r);
        EXPECT_EQ(kSourceEndOfStream, got.last) << url;
        EXPECT_TRUE(got.bytes == PatternBytes(0, plan.patternSize)) << url;
    }
    auto reqs = server->RequestsFor("/cut.bin");
    ASSERT_EQ(10u, reqs.size());
    for (size_t i = 1; i < 5; ++i) EXPECT_EQ(static_cast<int64_t>(i) * 256 * kKiB, reqs[i].rangeStart);

    // A seek outside the window goes through a new handshake with a range.
    int64_t pos = 700 * kKiB;
    CKVABufferReaderProxy s(0, server->Url("/cut.bin").c_str(), TrustingClient());
    ASSERT_EQ(kSourceOk, s.Open());
    ASSERT_EQ(kSourceOk, s.Seek(&pos, 0));
    EXPECT_TRUE(ReadOn(s).bytes == PatternBytes(pos, plan.patternSize - pos));
}

TEST_F(HttpsConcurrency, BadCertificatesAreRefusedWithTheTlsStatus) {
    struct Case {
        const char* what;
        const kva_test::TlsTestCerts::Pair* pair;
        bool byName;
        long verify;
    } cases[] = {
        {"expired", &certs.expired, false, X509_V_ERR_CERT_HAS_EXPIRED},
        {"wrong host by address", &certs.wrongHost, false, X509_V_ERR_IP_ADDRESS_MISMATCH},
        {"wrong host by name", &certs.wrongHost, true, X509_V_ERR_HOSTNAME_MISMATCH},
        {"untrusted issuer", &certs.untrusted, false, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
    };
    for (const Case& k : cases) {
        auto server = Server(*k.pair);
        server->Serve("/x", HttpPlan::Pattern(100));
        std::string url = k.byName ? "https://localhost:" + std::to_string(server->Port()) + "/x"
                                   : server->Url("/x");
        std::unique_ptr<CKVAHttpClient> c(TrustingClient());
        EXPECT_EQ(kHttpConnectFailed, c->Connect(url.c_str(), 0, false)) << k.what;
        EXPECT_EQ(kHttpStatusTlsBase + static_cast<uint32_t>(k.verify), c->GetStatusCode()) << k.what;
        EXPECT_TRUE(server->RequestsFor("/x").empty()) << k.what;
    }

    // The system store knows nothing of the run's authority: the refusal is final, and every
    // source shares the one system-store context.
    auto server = Server(certs.good);
    server->Serve("/x", HttpPlan::Pattern(100));
    const int32_t built = CKVAHttpClient::TlsContextsBuilt();
    for (int i = 0; i < 2; ++i) {
        CKVABufferReaderProxy r(0, server->Url("/x").c_str());
        EXPECT_EQ(kSourceNetOpenFailed, r.Open());
        EXPECT_EQ(static_cast<int32_t>(kHttpStatusTlsBase + X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY),
                  r.GetErrorCode());
    }
    EXPECT_LE(CKVAHttpClient::TlsContextsBuilt() - built, 1);
    EXPECT_EQ(2, server->ConnectionCount());
}

TEST_F(HttpsConcurrency, CancelEndsAStalledHandshake) {
    // A plain server never answers a client hello: the handshake waits.
    HttpTestServer plain;
    ASSERT_TRUE(plain.Start());
    std::unique_ptr<CKVAHttpClient> c(TrustingClient());
    std::string url = "https://127.0.0.1:" + std::to_string(plain.Port()) + "/x";
    std::atomic<int32_t> result{1};
    std::thread t([&] { result = c->Connect(url.c_str(), 0, false); });
    for (int i = 0; i < 400 && plain.ConnectionCount() == 0; ++i) usleep(5000);
    ASSERT_EQ(1, plain.ConnectionCount());
    usleep(200000);
    c->Cancel();
    t.join();
    EXPECT_EQ(kHttpConnectFailed, result.load());
    EXPECT_TRUE(c->LastFailWasAbort());
    EXPECT_NE(kHttpStatusConnectTimeout, c->GetStatusCode());
    EXPECT_EQ(kHttpClosed, c->GetConnectState());
}

TEST_F(HttpsConcurrency, ProxiesFromTheEnvironment) {
    // The origin names do not resolve: only a proxy that carried the request can have answered.
    auto origin = Server(certs.wrongHost);  // valid for other.example only
    HttpPlan cut = HttpPlan::Pattern(600 * kKiB);
    cut.closeAfter = 256 * kKiB;  // each resume goes through a new tunnel
    origin->Serve("/a.bin", cut);
    HttpTestServer plain;  // for the bypass
    ASSERT_TRUE(plain.Start());
    plain.Serve("/a.bin", HttpPlan::Pattern(600 * kKiB));
    HttpTestServer proxy;
    ASSERT_TRUE(proxy.Start());
    proxy.Serve("/a.bin", HttpPlan::Pattern(600 * kKiB));
    const std::string tunnelTo = "other.example:" + std::to_string(origin->Port());
    HttpPlan tunnel;
    tunnel.tunnelPort = origin->Port();
    tunnel.extraHeaders = {"Proxy-Agent: test", "Via: 1.1 test"};  // the reply is more than a line
    proxy.Serve(tunnelTo, tunnel);
    HttpPlan refused;
    refused.status = 407;
    refused.extraHeaders = {"Proxy-Authenticate: Basic realm=\"t\""};
    proxy.Serve("refused.example:443", refused);
    const std::string at = "127.0.0.1:" + std::to_string(proxy.Port());
    const std::string hostProxy = "http://" + at;
    const char* refusing = "http://127.0.0.1:1";  // where the environment points when the host decides

    struct Case {
        const char* what;
        const char* var;
        std::string proxyUrl;
        const char* noProxy;
        std::string url;
        int32_t open;
        int32_t error;
        int proxyRequests;
        const char* proxyHead;  // expected in every request the proxy saw
        const char* host = nullptr;  // the host's setting (with noProxy), over the environment
    } cases[] = {
        {"http in absolute form", "http_proxy", "http://us%40er:p%3Ass@" + at, nullptr,
         "http://origin.test:8080/a.bin", kSourceOk, 0, 1,
         "GET http://origin.test:8080/a.bin HTTP/1.1\r\n"},
        {"credentials", "HTTP_PROXY", "http://us%40er:p%3Ass@" + at + "/", nullptr,
         "http://origin.test/a.bin", kSourceOk, 0, 1, "Proxy-Authorization: Basic dXNAZXI6cDpzcw==\r\n"},
        {"https through CONNECT", "https_proxy", at, "example.com", "https://" + tunnelTo + "/a.bin",
         kSourceOk, 0, 3, "Host: other.example:"},
        {"no_proxy", "http_proxy", "http://" + at, "example.com, .127.0.0.1", plain.Url("/a.bin"),
         kSourceOk, 0, 0, ""},
        {"407 is final", "https_proxy", "http://u:p@" + at, nullptr, "https://refused.example/a.bin",
         kSourceNetOpenFailed, 407, 1, "CONNECT refused.example:443 HTTP/1.1\r\n"},
        {"host setting", "http_proxy", refusing, nullptr, "http://origin.test/a.bin", kSourceOk, 0, 1,
         "GET http://origin.test/a.bin HTTP/1.1\r\n", hostProxy.c_str()},
        {"host's no_proxy", "http_proxy", refusing, "127.0.0.0/8", plain.Url("/a.bin"), kSourceOk, 0, 0,
         "", hostProxy.c_str()},
        {"host: no proxy", "http_proxy", refusing, nullptr, plain.Url("/a.bin"), kSourceOk, 0, 0, "", ""},
    };
    EXPECT_EQ(kErrorInvalidArgument, CMediaPlayerFactory::SetProxy("socks5://127.0.0.1:1", nullptr));
    for (const Case& k : cases) {
        const size_t before = proxy.Requests().size();
        setenv(k.var, k.proxyUrl.c_str(), 1);
        if (k.host) {
            ASSERT_EQ(0, CMediaPlayerFactory::SetProxy(k.host, k.noProxy));
        } else if (k.noProxy) {
            setenv("no_proxy", k.noProxy, 1);
        }
        CKVABufferReaderProxy r(0, k.url.c_str(), TrustingClient());
        EXPECT_EQ(k.open, r.Open()) << k.what << " error " << r.GetErrorCode();
        if (k.open == kSourceOk) {
            EXPECT_TRUE(ReadOn(r).bytes == PatternBytes(0, 600 * kKiB)) << k.what;
        } else {
            EXPECT_EQ(k.error, r.GetErrorCode()) << k.what;
        }
        r.Close();
        CMediaPlayerFactory::SetProxy(nullptr, nullptr);
        unsetenv(k.var);
        unsetenv("no_proxy");
        auto reqs = proxy.Requests();
        ASSERT_EQ(before + k.proxyRequests, reqs.size()) << k.what;
        for (size_t i = before; i < reqs.size(); ++i)
            EXPECT_NE(std::string::npos, reqs[i].head.find(k.proxyHead)) << k.what << "\n" << reqs[i].head;
    }
    EXPECT_EQ(3u, plain.Requests().size());
    // Inside the tunnel the origin sees its own request form, no proxy credentials.
    auto reqs = origin->RequestsFor("/a.bin");
    ASSERT_EQ(3u, reqs.size());
    EXPECT_EQ("/a.bin", reqs[0].target);
    EXPECT_EQ(512 * kKiB, reqs[2].rangeStart);
}
