// TLS and proxies in the HTTP client: loopback TLS servers with certificates made for the run,
// trusted through the client's own trust file only.
#include <gtest/gtest.h>

#include <openssl/x509_vfy.h>

#include "ReaderTestUtil.h"

using namespace kva_audioplayer;
using namespace kva_test;

namespace {
class HttpsConcurrency : public kva_test::NetTest {};
}  // namespace

TEST_F(HttpsConcurrency, BadCertificatesAreRefusedWithTheTlsStatus) {
    struct Case { const char* what; const TlsTestCerts::Pair* pair; bool byName; long verify; } cases[] = {
        {"expired", &Certs().expired, false, X509_V_ERR_CERT_HAS_EXPIRED},
        {"wrong host by address", &Certs().wrongHost, false, X509_V_ERR_IP_ADDRESS_MISMATCH},
        {"wrong host by name", &Certs().wrongHost, true, X509_V_ERR_HOSTNAME_MISMATCH},
        {"untrusted issuer", &Certs().untrusted, false, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
    };
    for (const Case& k : cases) {
        auto server = Server(k.pair);
        server->Serve("/x", HttpPlan::Pattern(100));
        std::string url = k.byName ? ByName(*server, "/x") : server->Url("/x");
        std::unique_ptr<CKVAHttpClient> c(TrustingClient());
        EXPECT_EQ(kHttpConnectFailed, c->Connect(url.c_str(), 0, false)) << k.what;
        EXPECT_EQ(kHttpStatusTlsBase + static_cast<uint32_t>(k.verify), c->GetStatusCode()) << k.what;
        EXPECT_TRUE(server->RequestsFor("/x").empty()) << k.what;
    }

    // The system store knows nothing of the run's authority: the refusal is final, and every
    // source shares the one system-store context.
    auto server = Server(&Certs().good);
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

TEST_F(HttpsConcurrency, ProxiesFromTheEnvironment) {
    // The origin names do not resolve: only a proxy that carried the request can have answered.
    auto origin = Server(&Certs().wrongHost);  // valid for other.example only
    // Each resume goes through a new tunnel.
    origin->Serve("/a.bin", Plan(600 * kKiB, [](HttpPlan& p) { p.closeAfter = 256 * kKiB; }));
    HttpTestServer& plain = server;  // for the bypass
    plain.Serve("/a.bin", HttpPlan::Pattern(600 * kKiB));
    auto proxyServer = Server();
    HttpTestServer& proxy = *proxyServer;
    proxy.Serve("/a.bin", HttpPlan::Pattern(600 * kKiB));
    const std::string tunnelTo = "other.example:" + std::to_string(origin->Port());
    proxy.Serve(tunnelTo, Plan(0, [&](HttpPlan& p) {
        p.tunnelPort = origin->Port();
        p.extraHeaders = {"Proxy-Agent: test", "Via: 1.1 test"};  // the reply is more than a line
    }));
    proxy.Serve("refused.example:443", Plan(0, [](HttpPlan& p) {
        p.status = 407;
        p.extraHeaders = {"Proxy-Authenticate: Basic realm=\"t\""};
    }));
    const std::string at = "127.0.0.1:" + std::to_string(proxy.Port());
    const std::string hostProxy = "http://" + at;
    const char* refusing = "http://127.0.0.1:1";  // where the environment points when the host decides

    // proxyHead: in every request the proxy saw; host: the host's setting (with noProxy), over the environment.
    struct Case {
        const char *what, *var;
        std::string proxyUrl;
        const char* noProxy;
        std::string url;
        int32_t open, error;
        int proxyRequests;
        const char *proxyHead, *host = nullptr;
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
