// Buffered network reader against the loopback test server, plain and TLS. Every test here runs
// the download thread, so the suite carries the Concurrency suffix for the ThreadSanitizer run.
#include <cerrno>

#include <openssl/x509_vfy.h>

#include "ReaderTestUtil.h"
#include "common/RecordingObserver.h"
#include "platform/SoundSystem.h"
#include "platform/VirtualSoundSystem.h"
#include "support/Log.h"

using namespace kva_audioplayer;
using namespace kva_test;

namespace {
class NetReaderConcurrency : public NetTest {};
using Clock = std::chrono::steady_clock;
}  // namespace

TEST_F(NetReaderConcurrency, WholeResourcesAndMidTrackOutagesGiveTheExactBytesOrEndInTheError) {
    const int64_t size = 1 * kMiB + 999;
    using Tweak = std::function<void(HttpPlan&, const HttpRequest&)>;
    // Cut every 256 KiB; without ranges the body starts at 0 each time, so 256 KiB past the offset.
    auto cut = [](bool reset, bool honour) -> Tweak {
        return [=](HttpPlan& p, const HttpRequest& req) {
            p.resetInsteadOfClose = reset;
            p.honourRange = honour;
            p.closeAfter = (honour ? 0 : std::max<int64_t>(req.rangeStart, 0)) + 256 * kKiB;
        };
    };
    auto tls = Server(&Certs().good), tls6 = Server(&Certs().good, true);
    auto since = std::make_shared<Clock::time_point>();
    struct Case {
        const char* path;
        Tweak tweak;
        int64_t step;           // request i asks for byte i * step (0: for more than the one before)
        bool sameStep = false;  // ... or every later one for byte step
        int32_t error = 0;      // the reader gives up with this after step bytes
        HttpTestServer* on = nullptr;  // (the fixture's server), by address or by name
        bool byName = false;
        const char* via = nullptr;  // opened through this redirect, every range too
        int64_t bytes = size;
        int32_t blocks = 0;     // the cache's block count (the memory bound), unless 0
        size_t requests = 5;    // exactly, with a step and not the same one; else at least
    } cases[] = {
        // Beyond the cache, with ranges the thread drops the connection while the cache is full
        // and resumes with a range; without, it stops reading and the one reply is read once.
        {"/whole.bin", [](HttpPlan&, const HttpRequest&) {}, 1, false, 0, nullptr, false, nullptr, 5 * kMiB + 777, 9, 1},
        {"/large.bin", [](HttpPlan&, const HttpRequest&) {}, 0, false, 0, nullptr, false, nullptr, 45 * kMiB + 3, 36, 1},
        {"/large_norange.bin", [](HttpPlan& p, const HttpRequest&) { p.honourRange = false; }, 1, false, 0, nullptr,
         false, nullptr, 45 * kMiB + 3, 36, 1},
        {"/cut_fin", cut(false, true), 256 * kKiB},
        {"/cut_rst", cut(true, true), 256 * kKiB},
        {"/cut_fin_norange", cut(false, false), 0},
        {"/cut_rst_norange", cut(true, false), 0},
        // A new handshake for each range, checked against the address (v4, v6) and against the name.
        {"/cut_tls", cut(false, true), 256 * kKiB, false, 0, tls.get()},
        {"/cut_tls6", cut(false, true), 256 * kKiB, false, 0, tls6.get()},
        {"/cut_tls_name", cut(true, true), 256 * kKiB, false, 0, tls.get(), true},
        {"/cut_moved", cut(false, true), 256 * kKiB, false, 0, nullptr, false, "/moved"},
        // Quiet for 8 s after 150 KiB on an open connection: noticed first, reopened with a range.
        {"/quiet", [](HttpPlan& p, const HttpRequest& req) { p.stallAfter = req.index ? -1 : 150 * kKiB; p.stallMs = 8000; },
         150 * kKiB, true},
        // Each answer a 256 KiB range on a kept-open connection: its end is its length.
        {"/pieces", [](HttpPlan& p, const HttpRequest&) { p.rangePiece = 256 * kKiB; }, 256 * kKiB},
        // Dropped, then 503 for longer than any wait of the reader's own.
        {"/unavailable", [since](HttpPlan& p, const HttpRequest& req) {
             if (req.index == 0) *since = Clock::now();
             p.closeAfter = req.index ? -1 : 150 * kKiB;
             if (req.index && Clock::now() - *since < std::chrono::seconds(13)) p.status = 503;
         }, 150 * kKiB, true},
        // Dropped, then refused: asking again will not help.
        {"/forbidden", [](HttpPlan& p, const HttpRequest& req) {
             p.closeAfter = 300 * kKiB;
             p.status = req.index ? 403 : 200;
         }, 300 * kKiB, true, kHttpBadStatus}};
    server.Serve("/moved", Plan(0, [](HttpPlan& p) { p.status = 307; p.location = "cut_moved"; }));
    for (const Case& k : cases) {
        HttpTestServer& on = k.on ? *k.on : server;
        on.Route(k.path, [size = k.bytes, tweak = k.tweak](const HttpRequest& req) {
            HttpPlan p = HttpPlan::Pattern(size);
            tweak(p, req);
            return p;
        });
        const std::string target = k.via ? k.via : k.path;
        CKVABufferReaderProxy r(0, (k.byName ? ByName(on, target) : on.Url(target)).c_str(), TrustingClient());
        ASSERT_EQ(kSourceOk, r.Open()) << k.path << " error " << r.GetErrorCode();
        EXPECT_EQ(k.bytes, r.GetSize()) << k.path;
        EXPECT_TRUE(!k.blocks || k.blocks == r.GetCacheCount()) << k.path;
        EXPECT_GE(r.GetBytesAhead(), CKVABufferReaderProxy::kDownloadChunk);  // Open waited for it
        ReadResult got = ReadOn(r);
        EXPECT_EQ(k.error ? kSourceReadError : kSourceEndOfStream, got.last) << k.path;  // not an abort
        EXPECT_TRUE(got.bytes == PatternBytes(0, k.error ? k.step : k.bytes)) << k.path << " " << got.bytes.size();
        got = ReadOn(r);  // at the end, again: the same answer, nothing delivered
        EXPECT_EQ(k.error ? kSourceReadError : kSourceEndOfStream, got.last) << k.path;
        EXPECT_EQ(0u, got.bytes.size());
        uint8_t byte = 0;
        int32_t none = 0;  // asking for nothing is answered with nothing, even at the end
        EXPECT_EQ(std::make_pair(int32_t(kSourceOk), 0), std::make_pair(r.Read(&byte, &none), none)) << k.path;
        EXPECT_TRUE(!k.error || k.error == r.GetErrorCode()) << r.GetErrorCode();
        // All of it in the cache: no connection stays open.
        EXPECT_TRUE(k.error || WaitUntil([&] { return r.GetConnectState() == kHttpClosed; }, 5000)) << k.path;
        auto reqs = on.RequestsFor(k.path);  // each later one asks for the next byte
        ASSERT_GE(reqs.size(), k.sameStep ? 2u : k.requests) << k.path;
        EXPECT_TRUE(k.sameStep || k.step == 0 || reqs.size() == k.requests) << k.path;
        EXPECT_TRUE(!k.error || reqs.size() == 2u) << k.path;
        EXPECT_EQ(-1, reqs[0].rangeStart);
        for (size_t i = 1; i < reqs.size(); ++i) {
            if (k.step == 0) {
                EXPECT_GT(reqs[i].rangeStart, reqs[i - 1].rangeStart) << k.path;
            } else {
                EXPECT_EQ(k.sameStep ? k.step : int64_t(i) * k.step, reqs[i].rangeStart) << k.path;
            }
        }
    }
}

TEST_F(NetReaderConcurrency, LogsCarryNoHeaderValuesBodyBytesOrCredentials) {
    Lines capture;
    std::string text;
    while (text.size() < 300 * kKiB) text += "BODYSECRET ";
    HttpPlan plan = HttpPlan::Body(text);
    plan.extraHeaders = {"Set-Cookie: session=HEADERSECRET"};
    plan.rangePiece = 128 * kKiB;  // answers that end on a kept-open connection are no fault
    server.Serve("/log.txt", plan);
    std::string url = server.Url("/log.txt");
    url.insert(url.find("//") + 2, "user:PASSSECRET@");

    const int32_t savedLevel = GetLogMinLevel();
    SetLogMinLevel(0);
    SetLogSink(&Lines::Log, &capture);
    {
        CKVABufferReaderProxy r(0, url.c_str());
        ASSERT_EQ(kSourceOk, r.Open());
        EXPECT_TRUE(ReadOn(r).bytes == text);
        for (auto& line : capture.Taken()) EXPECT_LT(line.first, kLogError) << line.second;
    }
    SetLogSink(nullptr, nullptr);
    SetLogMinLevel(savedLevel);
    EXPECT_GT(capture.Taken().size(), 10u);
    for (auto& line : capture.Taken()) {
        for (const char* secret : {"BODYSECRET", "HEADERSECRET", "PASSSECRET"})
            EXPECT_EQ(std::string::npos, line.second.find(secret)) << line.second;
    }
    EXPECT_NE(std::string::npos, server.RequestsFor("/log.txt")[0].head.find("Authorization: Basic "));
}

TEST_F(NetReaderConcurrency, SeeksInsideTheWindowReadTheCacheAndOutsideReconnectAtTheTarget) {
    // A server that ignores ranges answers from byte 0: the reader skips up to the target.
    for (int variant = 0; variant < 3; ++variant) {
        const bool honour = variant != 1;
        SCOPED_TRACE(variant);
        auto s = Server(variant == 2 ? &Certs().good : nullptr);
        s->Route("/seek.bin", [honour](const HttpRequest& req) {
            HttpPlan plan = HttpPlan::Pattern(8 * kMiB);
            plan.honourRange = honour;
            if (req.index == 0) plan.stallAfter = 256 * kKiB;  // holds the window at 256 KiB
            return plan;
        });
        CKVABufferReaderProxy r(0, s->Url("/seek.bin").c_str(), TrustingClient());
        ASSERT_EQ(kSourceOk, r.Open());
        ASSERT_TRUE(WaitUntil([&] { return r.GetAvailableSize() == 256 * kKiB; }, 20000));

        // Back inside the window: served from the cache.
        ASSERT_EQ(100 * kKiB, static_cast<int64_t>(ReadOn(r, 100 * kKiB).bytes.size()));
        int64_t pos = 10 * kKiB;
        ASSERT_EQ(kSourceOk, r.Seek(&pos, 0));
        EXPECT_TRUE(ReadOn(r, 200 * kKiB).bytes == PatternBytes(10 * kKiB, 200 * kKiB));

        // Within a download chunk past the end: wait for the bytes, no new request.
        pos = 256 * kKiB + 10 * kKiB;
        ASSERT_EQ(kSourceOk, r.Seek(&pos, 0));
        EXPECT_EQ(256 * kKiB + 10 * kKiB, pos);
        usleep(300000);
        EXPECT_EQ(1u, s->RequestsFor("/seek.bin").size());
        // Back into the window while that waits: the wait is over.
        EXPECT_LT(r.GetBufferingPercent(), 100);
        int64_t back = 20 * kKiB;
        ASSERT_EQ(kSourceOk, r.Seek(&back, 0));
        EXPECT_EQ(100, r.GetBufferingPercent());

        // A megabyte on: the thread reconnects with a range at exactly that offset.
        pos = 256 * kKiB + 10 * kKiB + kMiB;
        ASSERT_EQ(kSourceOk, r.Seek(&pos, 0));
        EXPECT_TRUE(ReadOn(r, 100 * kKiB).bytes == PatternBytes(pos, 100 * kKiB));
        auto reqs = s->RequestsFor("/seek.bin");
        ASSERT_EQ(2u, reqs.size());
        EXPECT_EQ(pos, reqs[1].rangeStart);
        int64_t start, end;
        r.GetBufferedRange(&start, &end);
        EXPECT_EQ(pos, start) << "the old window was given up";

        // Back before the window: a new request from the start, no range needed at offset 0.
        int64_t zero = 0;
        ASSERT_EQ(kSourceOk, r.Seek(&zero, 0));
        EXPECT_TRUE(ReadOn(r, 64 * kKiB).bytes == PatternBytes(0, 64 * kKiB));
        reqs = s->RequestsFor("/seek.bin");
        ASSERT_EQ(3u, reqs.size());
        EXPECT_EQ(-1, reqs[2].rangeStart);
    }
}

// nginx told to ignore ranges: a resource beyond the cache comes from its one reply, read once,
// and a seek back before the window asks once more.
TEST_F(NetReaderConcurrency, NginxIgnoringRangesIsReadOnce) {
    if (!NginxServer::Available()) GTEST_SKIP() << "no nginx";
    ScratchDir dir("kvanginx");
    const int64_t size = 45 * kMiB + 3;
    ASSERT_TRUE(WriteFile(dir.File("large.bin"), PatternBytes(0, size)));
    NginxServer nginx(dir.path);
    ASSERT_TRUE(nginx.Start());
    const std::string path = "/norange/large.bin";
    CKVABufferReaderProxy r(0, nginx.Url(path).c_str());
    ASSERT_EQ(kSourceOk, r.Open()) << r.GetErrorCode();
    EXPECT_EQ(size, r.GetSize());
    ReadResult got = ReadOn(r);
    EXPECT_EQ(kSourceEndOfStream, got.last);
    EXPECT_TRUE(got.bytes == PatternBytes(0, size)) << got.bytes.size();
    EXPECT_TRUE(WaitUntil([&] { return nginx.RequestsFor(path) == 1; })) << nginx.RequestsFor(path);
    int64_t zero = 0;
    ASSERT_EQ(kSourceOk, r.Seek(&zero, 0));
    EXPECT_TRUE(ReadOn(r, 64 * kKiB).bytes == PatternBytes(0, 64 * kKiB));
    r.Close();
    EXPECT_TRUE(WaitUntil([&] { return nginx.RequestsFor(path) == 2; })) << nginx.RequestsFor(path);
}

TEST_F(NetReaderConcurrency, SeekJustPastAFullWindowStillGetsItsBytes) {
    server.Serve("/full.bin", HttpPlan::Pattern(100 * kMiB));
    CKVABufferReaderProxy r(0, server.Url("/full.bin").c_str());
    ASSERT_EQ(kSourceOk, r.Open());
    EXPECT_EQ(36, r.GetCacheCount());
    // Once more than 34 of the 36 blocks are in use the thread drops the connection. A window
    // that merely looks still (a thread descheduled under load) may yet grow.
    ASSERT_TRUE(WaitUntil([&] { return r.GetAvailableSize() > 34 * kMiB && r.GetConnectState() == kHttpClosed; },
                          20000));
    int64_t start, end;
    r.GetBufferedRange(&start, &end);
    int64_t pos = end + 10 * kKiB;  // close enough to wait for, no reposition
    ASSERT_EQ(kSourceOk, r.Seek(&pos, 0));
    ReadResult got = ReadOn(r, 64 * kKiB);
    EXPECT_EQ(static_cast<size_t>(64 * kKiB), got.bytes.size());
    EXPECT_TRUE(got.bytes == PatternBytes(pos, 64 * kKiB));
    // The thread dropped the connection while full; it resumes where the window ended.
    auto reqs = server.RequestsFor("/full.bin");
    ASSERT_EQ(2u, reqs.size());
    EXPECT_EQ(end, reqs[1].rangeStart);
}

TEST_F(NetReaderConcurrency, OpenFailuresReportWithinTheConnectAndHeadDeadlines) {
    server.Serve("/nolength", Plan(1000, [](HttpPlan& p) { p.sendContentLength = false; }));  // nor media
    server.Serve("/garbage", HttpPlan::Raw("SOMETHING\r\n\r\n"));
    server.Serve("/loop", Plan(0, [](HttpPlan& p) { p.status = 308; p.location = "/loop"; }));
    // Accepted and never answered; a byte every 3 s, which must not restart the wait.
    server.Serve("/silent", Plan(10, [](HttpPlan& p) { p.headByteDelayMs = 60000; }));
    server.Serve("/trickle", Plan(10, [](HttpPlan& p) { p.headByteDelayMs = 3000; }));
    // Silent, then trickling: the second attempt may not start a deadline of its own.
    server.Route("/slowly", [](const HttpRequest& req) {
        return Plan(10, [&](HttpPlan& p) { p.headByteDelayMs = req.index ? 3000 : 60000; });
    });
    BlockedListener blocked;  // never completes a connect
    ASSERT_TRUE(blocked.Ok());
    // Certificates the run's authority signed badly, and a good one the system store cannot know.
    std::unique_ptr<HttpTestServer> expired = Server(&Certs().expired), wrongHost = Server(&Certs().wrongHost),
                                    untrusted = Server(&Certs().untrusted), good = Server(&Certs().good);
    for (auto* s : {expired.get(), wrongHost.get(), untrusted.get(), good.get()}) s->Serve("/x", HttpPlan::Pattern(100));
    auto tls = [](long verify) { return static_cast<int32_t>(kHttpStatusTlsBase + verify); };
    struct Counting : CKVAHttpClient {
        std::atomic<int> connects{0};
        int32_t ConnectAddress(sockaddr* a, uint16_t port) override { ++connects; return CKVAHttpClient::ConnectAddress(a, port); }
    };

    // requests: the connects, five unless asking again cannot help, two where 5 s of silence ends
    // one and 10 s all; a server saw a request on each but on, a TLS one that refuses at once.
    // head: at most the bytes of a trickled head sent; trust: the run's authority, else the system store.
    struct Case { std::string url; int32_t error; int requests, head = 0; HttpTestServer* on = nullptr; bool trust = false; } cases[] = {
        {server.Url("/missing"), 404, 1},
        {server.Url("/loop"), kHttpTooManyRedirects, 11},
        {server.Url("/nolength"), kHttpHeaderNotFound, 5},
        {server.Url("/garbage"), static_cast<int32_t>(kHttpStatusBadStatusLine), 5},
        {server.Url("/silent"), static_cast<int32_t>(kHttpStatusNothingReceived), 2},
        {server.Url("/trickle"), static_cast<int32_t>(kHttpStatusNothingReceived), 1, 3},  // at 3, 6, 9 s
        {server.Url("/slowly"), static_cast<int32_t>(kHttpStatusNothingReceived), 2, 1},   // from 5 s: at 8
        {"http://127.0.0.1:1/x", static_cast<int32_t>(kHttpStatusSocketBase + ECONNREFUSED), 5},
        {"http://224.0.0.1/x", static_cast<int32_t>(kHttpStatusSocketBase + ENETUNREACH), 5},  // refused at once
        {"http://127.0.0.1:" + std::to_string(blocked.Port()) + "/x", static_cast<int32_t>(kHttpStatusConnectTimeout), 2},
        // A server that never answers the client hello: the handshake has the connect's deadline.
        {"https://127.0.0.1:" + std::to_string(server.Port()) + "/x", static_cast<int32_t>(kHttpStatusConnectTimeout), 2},
        {expired->Url("/x"), tls(X509_V_ERR_CERT_HAS_EXPIRED), 1, 0, expired.get(), true},
        {wrongHost->Url("/x"), tls(X509_V_ERR_IP_ADDRESS_MISMATCH), 1, 0, wrongHost.get(), true},
        {ByName(*wrongHost, "/x"), tls(X509_V_ERR_HOSTNAME_MISMATCH), 1, 0, wrongHost.get(), true},
        {untrusted->Url("/x"), tls(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY), 1, 0, untrusted.get(), true},
        // Twice: every source shares the one system-store context.
        {good->Url("/x"), tls(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY), 1, 0, good.get()},
        {good->Url("/x"), tls(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY), 1, 0, good.get()}};
    int32_t systemContexts = 0;
    // Rows that wait out a deadline of their own run side by side; the TLS rows, which count what
    // they build, one after another.
    std::vector<std::thread> waits;
    for (const Case& k : cases) {
        auto row = [&] {
            const int32_t built = CKVAHttpClient::TlsContextsBuilt();
            auto* client = new Counting();
            if (k.trust) client->SetTrustFile(Certs().caFile.c_str());
            CKVABufferReaderProxy r(0, k.url.c_str(), client);
            EXPECT_EQ(kSourceNetOpenFailed, r.Open()) << k.url;
            EXPECT_EQ(k.error, r.GetErrorCode()) << k.url;
            const std::string path = k.url.substr(k.url.rfind('/'));
            EXPECT_LE(server.HeadBytesSent(path), k.head) << k.url;  // at once: the client has hung up
            if (k.on && !k.trust) systemContexts += CKVAHttpClient::TlsContextsBuilt() - built;
            EXPECT_EQ(k.requests, client->connects.load()) << k.url;
            EXPECT_EQ(path == "/x" ? 0u : size_t(k.requests), (k.on ? *k.on : server).RequestsFor(path).size()) << k.url;
            EXPECT_EQ(0, r.GetSize());
            int32_t len = 10;
            uint8_t b[10];
            EXPECT_EQ(kSourceBadArgument, r.Read(b, &len)) << k.url;
        };
        if (k.on) row();
        else waits.emplace_back(row);
    }
    for (std::thread& t : waits) t.join();
    EXPECT_LE(systemContexts, 1);
}

TEST_F(NetReaderConcurrency, LiveStreamsAndBodiesOfUnknownLength) {
    const int64_t size = 300 * kKiB + 7;
    auto unknownLength = [](HttpPlan& p) { p.sendContentLength = false; p.contentType = "audio/mpeg"; };
    // Longer than the live ring: read blocks make room for the rest.
    HttpPlan noLength = Plan(CKVABufferReaderProxy::kLiveBlocks * kMiB + 3 * kMiB, unknownLength);
    HttpPlan chunked = Plan(size, [](HttpPlan& p) { p.chunked = true; });
    HttpPlan icy = Plan(size, [](HttpPlan& p) {
        p.icy = true;
        p.contentType = "application/ogg";
        p.metaInt = 16000;
        p.titles = {"First", "Second"};
    });
    // Over TLS the close ends the body too, not the reader's quiet-server wait.
    HttpPlan noLengthTls = Plan(size, unknownLength);
    // As an Icecast server sends it, passed on by nginx in chunks of its own.
    HttpPlan viaNginx = Plan(size, [&](HttpPlan& p) { unknownLength(p); p.metaInt = 16000; p.titles = icy.titles; });
    for (HttpPlan* plan : {&noLength, &chunked, &icy, &noLengthTls, &viaNginx}) {
        // The body waits past the first bytes: its end would make its length known.
        auto live = plan == &noLengthTls ? Server(&Certs().good) : Server();
        plan->stallAfter = 64 * kKiB;
        plan->stallMs = HttpPlan::kUntilReleased;
        live->Serve("/live", *plan);
        NginxServer nginx(".");
        nginx.ProxyTo(live->Port());
        if (plan == &viaNginx && !NginxServer::Available()) continue;
        if (plan == &viaNginx) { ASSERT_TRUE(nginx.Start()); }  // installed and not starting: a failure
        Lines titles;
        CKVABufferReaderProxy r(0, (plan == &viaNginx ? nginx.Url("/up/live") : live->Url("/live")).c_str(),
                                TrustingClient());
        r.SetStreamTitleListener(&Lines::Title, &titles);
        ASSERT_EQ(kSourceOk, r.Open()) << r.GetErrorCode();
        EXPECT_TRUE(r.IsLive());
        EXPECT_EQ(CKVABufferReaderProxy::kLiveBlocks, r.GetCacheCount());  // the memory bound, whatever comes
        EXPECT_EQ(-1, r.GetSize());  // a 0 had demuxers read to the end for a length
        int64_t far = 10 * kMiB;
        EXPECT_EQ(kSourceBadArgument, r.Seek(&far, 0));  // nothing to ask for
        live->ReleaseStalls();
        ReadResult got = ReadOn(r);
        EXPECT_EQ(kSourceEndOfStream, got.last);
        EXPECT_TRUE(got.bytes == PatternBytes(0, plan->patternSize)) << got.bytes.size();
        EXPECT_EQ(1u, live->RequestsFor("/live").size());
        // 300 KiB at 16000 bytes a block: 19 blocks, titles alternating from the first.
        auto seen = titles.Taken();
        ASSERT_EQ(plan->metaInt > 0 ? 19u : 0u, seen.size());
        for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(i % 2 ? "Second" : "First", seen[i].second);
        EXPECT_EQ(seen.empty() ? "" : "First", r.GetStreamTitle());
    }
}

TEST_F(NetReaderConcurrency, AbortEndsABlockedReadAConnectAndAHandshake) {
    server.Serve("/hang", Plan(4 * kMiB, [](HttpPlan& p) { p.stallAfter = 100 * kKiB; }));
    CKVABufferReaderProxy r(0, server.Url("/hang").c_str());
    ASSERT_EQ(kSourceOk, r.Open());
    ASSERT_EQ(100 * kKiB, static_cast<int64_t>(ReadOn(r, 100 * kKiB).bytes.size()));
    // CancelReading (a seek on its way) ends a waiting read, not the download; Abort both.
    for (bool abort : {false, true}) {
        std::atomic<int32_t> last{1};
        std::thread reader([&] { last = ReadOn(r).last; });
        usleep(200000);
        abort ? r.Abort() : r.CancelReading(true);
        reader.join();
        EXPECT_EQ(abort ? kSourceCancelled : kSourceNoDataYet, last.load());
        EXPECT_TRUE(abort || r.GetReadStatus() == kReadDownloading);
    }
    EXPECT_TRUE(WaitUntil([&] { return r.GetReadStatus() == kReadStopped; }, 20000));

    // A connect that never completes, and a plain server that never answers a client hello.
    BlockedListener blocked;
    ASSERT_TRUE(blocked.Ok());
    for (const std::string& url : {"http://127.0.0.1:" + std::to_string(blocked.Port()) + "/x",
                                   "https://127.0.0.1:" + std::to_string(server.Port()) + "/x"}) {
        CKVABufferReaderProxy b(0, url.c_str(), TrustingClient());
        std::atomic<int32_t> open{1};
        std::thread opener([&] { open = b.Open(); });
        usleep(300000);
        b.Abort();
        opener.join();
        EXPECT_EQ(kSourceCancelled, open.load()) << url;
        EXPECT_NE(int32_t(kHttpStatusConnectTimeout), b.GetErrorCode()) << url;  // not a wait run out
    }
}

// Proxies from the environment or the host, over plain http and TLS through CONNECT.
TEST_F(NetReaderConcurrency, ProxiesFromTheEnvironment) {
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
        {"not an http proxy", "http_proxy", "socks5://" + at, nullptr, plain.Url("/a.bin"), kSourceOk, 0, 0, ""},
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
    EXPECT_EQ(4u, plain.Requests().size());
    // Inside the tunnel the origin sees its own request form, no proxy credentials.
    auto reqs = origin->RequestsFor("/a.bin");
    ASSERT_EQ(3u, reqs.size());
    EXPECT_EQ(std::make_tuple("/a.bin", 512 * kKiB), std::make_tuple(reqs[0].target, reqs[2].rangeStart));
}

// At the player a live stream prepares (Ogg read it to its end for a length), has no duration,
// refuses seeks and plays on; a track stopped while its server is quiet stops.
TEST_F(NetReaderConcurrency, LiveStreamsAndAStopInAnOutageAtThePlayer) {
    auto system = std::make_shared<snd::VirtualSoundSystem>(false);
    system->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("out", u"Test Output"), true);
    snd::SetSoundSystem(system);
    for (const char* fixture : {"/long_cbr.mp3", "/long.ogg"}) {
        HttpPlan plan = HttpPlan::Body(ReadFile(FixturePath(fixture + 1)));
        plan.icy = true;
        plan.metaInt = 8192;
        plan.titles = {"On Air"};
        plan.contentType = "audio/mpeg";
        plan.trickleBytes = 4096;  // about twice real time: the stream outlasts the test
        plan.trickleDelayMs = 125;
        server.Serve(fixture, plan);
        RecordingObserver obs;
        IKVAPlayer* player = CMediaPlayerFactory::NewL(&obs);
        EXPECT_EQ(-1, player->GetBufferedBytes());
        player->SetDataSource(server.Url(fixture).c_str());
        player->PrepareAsync();
        EXPECT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPrepared, 10000)) << fixture;
        EXPECT_EQ(0, player->GetDuration()) << fixture;
        player->Play(false);
        EXPECT_TRUE(WaitUntil([&] { return player->GetCurrentPosition() > 1000; }, 10000)) << fixture;
        EXPECT_EQ(kErrorInvalidArgument, player->Seek(20000)) << fixture;
        EXPECT_TRUE(WaitUntil([&] { return player->GetBufferedBytes() > 0; }, 10000)) << fixture;
        EXPECT_TRUE(WaitUntil([&] { return player->GetCurrentPosition() > 1500; }, 10000)) << fixture;
        EXPECT_EQ(kStatusStarted, player->GetStatus()) << fixture;
        EXPECT_EQ(0, obs.Count(kNotifyError)) << fixture;
        EXPECT_EQ(1, obs.Count(kNotifyStreamTitle)) << fixture;  // the same title, told once
        player->Release();
    }
    // Stopped while it waits for a server gone quiet (where in the track, the load decides): the stop ends the wait.
    system->SetFast(true);
    HttpPlan quiet = HttpPlan::Body(ReadFile(FixturePath("long_cbr.mp3")));
    quiet.stallAfter = 100 * kKiB;
    quiet.stallMs = HttpPlan::kUntilReleased;
    server.Serve("/quiet.mp3", quiet);
    RecordingObserver obs;
    IKVAPlayer* player = CMediaPlayerFactory::NewL(&obs);
    player->SetDataSource(server.Url("/quiet.mp3").c_str());
    player->PrepareAsync();
    EXPECT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPrepared, 10000));
    player->Play(false);
    EXPECT_TRUE(WaitUntil([&] { return player->IsBuffering(); }, 10000)) << player->GetCurrentPosition();
    EXPECT_EQ(0, player->Stop(true));
    EXPECT_EQ(kStatusStopped, player->GetStatus());
    EXPECT_EQ(0, obs.Count(kNotifyError));
    player->Release();
    server.ReleaseStalls();
    snd::SetSoundSystem(nullptr);
}
