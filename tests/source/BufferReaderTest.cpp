// Buffered network reader against the loopback test server, plain and TLS. Every test here runs
// the download thread, so the suite carries the Concurrency suffix for the ThreadSanitizer run.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <thread>

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
    auto tls = Server(&Certs().good);
    auto since = std::make_shared<Clock::time_point>();
    struct Case {
        const char* path;
        Tweak tweak;
        int64_t step;           // request i asks for byte i * step (0: for more than the one before)
        bool sameStep = false;  // ... or every later one for byte step
        int32_t error = 0;      // the reader gives up with this after step bytes
        HttpTestServer* on = nullptr;  // (the fixture's server), by address or by name
        bool byName = false;
        int seconds = 12;  // the whole read stays under this
        const char* via = nullptr;  // opened through this redirect, every range too
        int64_t bytes = size;
        int32_t blocks = 0;     // the cache's block count (the memory bound), unless 0
        size_t requests = 5;    // exactly, with a step and not the same one; else at least
    } cases[] = {
        // Beyond the cache, with ranges the thread drops the connection while the cache is full
        // and resumes with a range; without, it stops reading and the one reply is read once.
        {"/whole.bin", [](HttpPlan&, const HttpRequest&) {}, 1, false, 0, nullptr, false, 12, nullptr, 5 * kMiB + 777, 9, 1},
        {"/large.bin", [](HttpPlan&, const HttpRequest&) {}, 0, false, 0, nullptr, false, 60, nullptr, 45 * kMiB + 3, 36, 1},
        {"/large_norange.bin", [](HttpPlan& p, const HttpRequest&) { p.honourRange = false; }, 1, false, 0, nullptr,
         false, 60, nullptr, 45 * kMiB + 3, 36, 1},
        {"/cut_fin", cut(false, true), 256 * kKiB},
        {"/cut_rst", cut(true, true), 256 * kKiB},
        {"/cut_fin_norange", cut(false, false), 0},
        {"/cut_rst_norange", cut(true, false), 0},
        // A new handshake for each range, checked against the address and against the name.
        {"/cut_tls", cut(false, true), 256 * kKiB, false, 0, tls.get()},
        {"/cut_tls_name", cut(true, true), 256 * kKiB, false, 0, tls.get(), true},
        {"/cut_moved", cut(false, true), 256 * kKiB, false, 0, nullptr, false, 12, "/moved"},
        // Quiet after 150 KiB with the connection held open: noticed, reopened with a range.
        {"/quiet", [](HttpPlan& p, const HttpRequest& req) { p.stallAfter = req.index ? -1 : 150 * kKiB; },
         150 * kKiB, true},
        // Each answer a 256 KiB range on a kept-open connection: its end is its length.
        {"/pieces", [](HttpPlan& p, const HttpRequest&) { p.rangePiece = 256 * kKiB; }, 256 * kKiB},
        // Dropped, then 503 for longer than any wait of the reader's own.
        {"/unavailable", [since](HttpPlan& p, const HttpRequest& req) {
             if (req.index == 0) *since = Clock::now();
             p.closeAfter = req.index ? -1 : 150 * kKiB;
             if (req.index && Clock::now() - *since < std::chrono::seconds(13)) p.status = 503;
         }, 150 * kKiB, true, 0, nullptr, false, 40},
        // Dropped, then refused: asking again will not help.
        {"/forbidden", [](HttpPlan& p, const HttpRequest& req) {
             p.closeAfter = 300 * kKiB;
             p.status = req.index ? 403 : 200;
         }, 300 * kKiB, true, kHttpBadStatus},
    };
    server.Serve("/moved", Plan(0, [](HttpPlan& p) { p.status = 307; p.location = "cut_moved"; }));
    for (const Case& k : cases) {
        HttpTestServer& on = k.on ? *k.on : server;
        on.Route(k.path, [size = k.bytes, tweak = k.tweak](const HttpRequest& req) {
            HttpPlan p = HttpPlan::Pattern(size);
            tweak(p, req);
            return p;
        });
        const auto start = Clock::now();
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
        EXPECT_TRUE(!k.error || k.error == r.GetErrorCode()) << r.GetErrorCode();
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(k.seconds)) << k.path;
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
    HttpPlan plan;
    plan.body = std::make_shared<const std::string>(text);
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
    // One byte of the head, then nothing; a byte every 3 s, which must not restart the wait.
    server.Serve("/silent", Plan(10, [](HttpPlan& p) { p.headByteDelayMs = 60000; }));
    server.Serve("/trickle", Plan(10, [](HttpPlan& p) { p.headByteDelayMs = 3000; }));
    // Silent, then trickling: the second attempt may not start a deadline of its own.
    server.Route("/slowly", [](const HttpRequest& req) {
        return Plan(10, [&](HttpPlan& p) { p.headByteDelayMs = req.index ? 3000 : 60000; });
    });
    BlockedListener mute(false), blocked;  // accepts and never answers; never completes a connect
    ASSERT_TRUE(mute.Ok() && blocked.Ok());
    auto local = [](int port) { return "http://127.0.0.1:" + std::to_string(port) + "/x"; };

    // requests: five attempts unless asking again cannot help; -1: not counted
    struct Case { std::string url; int32_t error; int requests; } cases[] = {
        {server.Url("/missing"), 404, 1},
        {server.Url("/loop"), kHttpTooManyRedirects, 11},
        {server.Url("/nolength"), kHttpHeaderNotFound, 5},
        {server.Url("/garbage"), static_cast<int32_t>(kHttpStatusBadStatusLine), 5},
        // Nothing for 5 s ends an attempt; the head deadline (10 s) ends them all.
        {server.Url("/silent"), static_cast<int32_t>(kHttpStatusNothingReceived), 2},
        {server.Url("/trickle"), static_cast<int32_t>(kHttpStatusNothingReceived), 1},
        {server.Url("/slowly"), static_cast<int32_t>(kHttpStatusNothingReceived), 2},
        {local(mute.Port()), static_cast<int32_t>(kHttpStatusNothingReceived), -1},
        {local(1), static_cast<int32_t>(kHttpStatusSocketBase + ECONNREFUSED), -1},
        {local(blocked.Port()), static_cast<int32_t>(kHttpStatusConnectTimeout), -1},
    };
    for (const Case& k : cases) {
        const auto start = Clock::now();
        CKVABufferReaderProxy r(0, k.url.c_str());
        EXPECT_EQ(kSourceNetOpenFailed, r.Open()) << k.url;
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(13)) << k.url;
        EXPECT_EQ(k.error, r.GetErrorCode()) << k.url;
        const std::string path = k.url.substr(k.url.rfind('/'));
        EXPECT_TRUE(k.requests < 0 || size_t(k.requests) == server.RequestsFor(path).size()) << k.url;
        EXPECT_EQ(0, r.GetSize());
        int32_t len = 10;
        uint8_t b[10];
        EXPECT_EQ(kSourceBadArgument, r.Read(b, &len)) << k.url;
    }
}

TEST_F(NetReaderConcurrency, LiveStreamsAndBodiesOfUnknownLength) {
    const int64_t size = 300 * kKiB + 7;
    // Longer than the live ring: read blocks make room for the rest.
    HttpPlan noLength = Plan(CKVABufferReaderProxy::kLiveBlocks * kMiB + 3 * kMiB, [](HttpPlan& p) {
        p.sendContentLength = false;
        p.contentType = "audio/mpeg";
    });
    HttpPlan chunked = Plan(size, [](HttpPlan& p) { p.chunked = true; });
    HttpPlan icy = Plan(size, [](HttpPlan& p) {
        p.icy = true;
        p.contentType = "application/ogg";
        p.metaInt = 16000;
        p.titles = {"First", "Second"};
    });
    for (HttpPlan* plan : {&noLength, &chunked, &icy}) {
        // The body waits past the first bytes: its end would make its length known.
        auto live = Server();
        plan->stallAfter = 64 * kKiB;
        plan->stallMs = HttpPlan::kUntilReleased;
        live->Serve("/live", *plan);
        Lines titles;
        CKVABufferReaderProxy r(0, live->Url("/live").c_str());
        r.SetStreamTitleListener(&Lines::Title, &titles);
        ASSERT_EQ(kSourceOk, r.Open());
        EXPECT_TRUE(r.IsLive());
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
        const auto start = Clock::now();
        std::thread opener([&] { open = b.Open(); });
        usleep(300000);
        b.Abort();
        opener.join();
        EXPECT_EQ(kSourceCancelled, open.load()) << url;
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(3)) << url;
    }
}

// At the player a live stream prepares (Ogg read it to its end for a length), has no duration,
// refuses seeks and plays on.
TEST_F(NetReaderConcurrency, LiveStreamsAtThePlayer) {
    auto system = std::make_shared<snd::VirtualSoundSystem>(false);
    system->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("out", u"Test Output"), true);
    snd::SetSoundSystem(system);
    for (const char* fixture : {"/long_cbr.mp3", "/long.ogg"}) {
        HttpPlan plan;
        plan.body = std::make_shared<const std::string>(ReadFile(FixturePath(fixture + 1)));
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
    snd::SetSoundSystem(nullptr);
}
