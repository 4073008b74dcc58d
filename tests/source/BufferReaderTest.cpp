// Buffered network reader against the loopback test server and nginx. Every test here runs the
// download thread, so the suites carry the Concurrency suffix for the ThreadSanitizer run.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/HttpTestServer.h"
#include "common/RecordingObserver.h"
#include "platform/SoundSystem.h"
#include "platform/VirtualSoundSystem.h"
#include "ReaderTestUtil.h"
#include "source/KVABufferReaderProxy.h"
#include "support/Log.h"

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

// Waits (bounded) until pred holds.
template <typename Pred>
bool Eventually(Pred pred, int maxMs = 20000) {
    for (int waited = 0; waited < maxMs; waited += 10) {
        if (pred()) return true;
        usleep(10000);
    }
    return pred();
}

class NetReaderConcurrency : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.Start()); }
    HttpTestServer server;
};

}  // namespace

TEST_F(NetReaderConcurrency, WholeResourcesEqualTheServedBytes) {
    // Beyond the cache, with ranges the thread drops the connection while the cache is full and
    // resumes with a range; without, it stops reading and the one reply is read once.
    struct Case {
        const char* path;
        int64_t size;
        bool honour;
        int32_t blocks;
    } cases[] = {{"/whole.bin", 5 * kMiB + 777, true, 9},
                 {"/large.bin", 45 * kMiB + 3, true, 36},
                 {"/large_norange.bin", 45 * kMiB + 3, false, 36}};
    for (const Case& k : cases) {
        HttpPlan plan = HttpPlan::Pattern(k.size);
        plan.honourRange = k.honour;
        server.Serve(k.path, plan);
        CKVABufferReaderProxy r(7, server.Url(k.path).c_str());
        ASSERT_EQ(kSourceOk, r.Open());
        EXPECT_EQ(k.size, r.GetSize());
        EXPECT_EQ(k.blocks, r.GetCacheCount());
        EXPECT_GE(r.GetBytesAhead(), CKVABufferReaderProxy::kDownloadChunk);  // Open waited for it
        ReadResult got = ReadOn(r);
        EXPECT_EQ(kSourceEndOfStream, got.last) << k.path;
        EXPECT_TRUE(got.bytes == PatternBytes(0, k.size)) << k.path;
        int32_t len = 100;  // at the end, again: end of stream with nothing delivered
        uint8_t b[100];
        EXPECT_EQ(kSourceEndOfStream, r.Read(b, &len));
        EXPECT_EQ(0, len);
        EXPECT_EQ(0, r.GetBytesAhead());
        EXPECT_EQ(static_cast<uint64_t>(k.size), r.GetDownloadedBytes64()) << k.path;
        auto reqs = server.RequestsFor(k.path);
        EXPECT_TRUE(reqs.size() == 1 || (k.honour && k.size > 30 * kMiB)) << k.path;
        for (size_t i = 1; i < reqs.size(); ++i) EXPECT_GT(reqs[i].rangeStart, reqs[i - 1].rangeStart);
        r.Close();
        r.Close();  // a second one is harmless
        EXPECT_EQ(kReadClosed, r.GetReadStatus());
    }
}

TEST_F(NetReaderConcurrency, MidTrackOutagesResumeWithTheExactBytes) {
    const int64_t size = 1 * kMiB + 999;
    // Cut every 256 KiB; without ranges the body starts at 0 each time, so 256 KiB past the offset.
    auto cut = [size](bool reset, bool honour) {
        return [=](const HttpRequest& req) {
            HttpPlan p = HttpPlan::Pattern(size);
            p.resetInsteadOfClose = reset;
            p.honourRange = honour;
            p.closeAfter = (honour ? 0 : std::max<int64_t>(req.rangeStart, 0)) + 256 * kKiB;
            return p;
        };
    };
    struct Case {
        const char* path;
        int64_t seconds;  // the whole read stays under this
        std::function<HttpPlan(const HttpRequest&)> plan;
        int64_t step;   // request i asks for byte i * step (0: for more than the one before)
        bool sameStep;  // ... or every later one for byte step
    } cases[] = {
        {"/cut_fin", 10, cut(false, true), 256 * kKiB, false},
        {"/cut_rst", 10, cut(true, true), 256 * kKiB, false},
        {"/cut_fin_norange", 10, cut(false, false), 0, false},
        {"/cut_rst_norange", 10, cut(true, false), 0, false},
        // Quiet after 150 KiB with the connection held open: noticed, reopened with a range.
        {"/quiet", 12, [size](const HttpRequest& req) {
             HttpPlan p = HttpPlan::Pattern(size);
             if (req.index == 0) p.stallAfter = 150 * kKiB;
             return p;
         }, 150 * kKiB, true},
        // Each answer a 256 KiB range on a kept-open connection: its end is its length.
        {"/pieces", 6, [size](const HttpRequest&) {
             HttpPlan p = HttpPlan::Pattern(size);
             p.rangePiece = 256 * kKiB;
             return p;
         }, 256 * kKiB, false},
        // Dropped, then 503 for longer than any wait of the reader's own.
        {"/unavailable", 40, [size, since = std::make_shared<std::chrono::steady_clock::time_point>()](
                                 const HttpRequest& req) {
             HttpPlan p = HttpPlan::Pattern(size);
             if (req.index == 0) {
                 p.closeAfter = 150 * kKiB;
                 *since = std::chrono::steady_clock::now();
             } else if (std::chrono::steady_clock::now() - *since < std::chrono::seconds(13)) {
                 p.status = 503;
             }
             return p;
         }, 150 * kKiB, true},
    };
    for (const Case& k : cases) {
        server.Route(k.path, k.plan);
        const auto start = std::chrono::steady_clock::now();
        CKVABufferReaderProxy r(0, server.Url(k.path).c_str());
        ASSERT_EQ(kSourceOk, r.Open()) << k.path;
        ReadResult got = ReadOn(r);
        EXPECT_EQ(kSourceEndOfStream, got.last) << k.path;
        EXPECT_TRUE(got.bytes == PatternBytes(0, size)) << k.path << " " << got.bytes.size();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(k.seconds)) << k.path;
        auto reqs = server.RequestsFor(k.path);  // each later one asks for the next byte
        ASSERT_GE(reqs.size(), k.sameStep ? 2u : 5u) << k.path;
        EXPECT_TRUE(k.sameStep || k.step == 0 || reqs.size() == 5u) << k.path;
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
    struct Capture {
        std::mutex lock;
        std::vector<std::pair<int32_t, std::string>> lines;
        static void Sink(void* self, int32_t level, const char*, const char* message) {
            Capture* c = static_cast<Capture*>(self);
            std::lock_guard<std::mutex> g(c->lock);
            c->lines.emplace_back(level, message);
        }
    } capture;
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
    SetLogSink(&Capture::Sink, &capture);
    {
        CKVABufferReaderProxy r(0, url.c_str());
        ASSERT_EQ(kSourceOk, r.Open());
        EXPECT_TRUE(ReadOn(r).bytes == text);
        std::lock_guard<std::mutex> g(capture.lock);
        for (auto& line : capture.lines) EXPECT_LT(line.first, kLogError) << line.second;
    }
    SetLogSink(nullptr, nullptr);
    SetLogMinLevel(savedLevel);
    EXPECT_GT(capture.lines.size(), 10u);
    for (auto& line : capture.lines) {
        for (const char* secret : {"BODYSECRET", "HEADERSECRET", "PASSSECRET"})
            EXPECT_EQ(std::string::npos, line.second.find(secret)) << line.second;
    }
    EXPECT_NE(std::string::npos, server.RequestsFor("/log.txt")[0].head.find("Authorization: Basic "));
}

TEST_F(NetReaderConcurrency, RefusalOnReconnectGivesUpAtOnce) {
    server.Route("/forbidden", [](const HttpRequest& req) {
        HttpPlan plan = HttpPlan::Pattern(2 * kMiB);
        plan.closeAfter = 300 * kKiB;
        if (req.index > 0) plan.status = 403;
        return plan;
    });
    CKVABufferReaderProxy r(0, server.Url("/forbidden").c_str());
    ASSERT_EQ(kSourceOk, r.Open());
    ASSERT_TRUE(Eventually([&] { return r.GetReadStatus() == kReadStopped; }));
    EXPECT_EQ(kHttpBadStatus, r.GetErrorCode());
    EXPECT_EQ(403u, r.GetStatusCode());
    EXPECT_EQ(2u, server.RequestsFor("/forbidden").size());  // asking again will not help
    ReadResult got = ReadOn(r);
    EXPECT_TRUE(got.bytes == PatternBytes(0, 300 * kKiB));
    EXPECT_EQ(kSourceReadError, got.last);  // a give-up, told apart from an abort
}

TEST_F(NetReaderConcurrency, SeekOutsideTheWindowReconnectsAtTheTarget) {
    // A server that ignores ranges answers from byte 0: the reader skips up to the target.
    for (bool honour : {true, false}) {
        SCOPED_TRACE(honour ? "ranges" : "no ranges");
        HttpTestServer server;
        ASSERT_TRUE(server.Start());
        server.Route("/seek.bin", [honour](const HttpRequest& req) {
            HttpPlan plan;
            plan.patternSize = 8 * kMiB;
            plan.honourRange = honour;
            if (req.index == 0) {
                plan.stallAfter = 256 * kKiB;  // the first answer holds the window at 256 KiB
                plan.stallMs = -1;
            }
            return plan;
        });
        CKVABufferReaderProxy r(0, server.Url("/seek.bin").c_str());
        ASSERT_EQ(kSourceOk, r.Open());
        ASSERT_TRUE(Eventually([&] { return r.GetAvailableSize() == 256 * kKiB; }));

        // Within a download chunk past the end: wait for the bytes, no new request.
        int64_t pos = 256 * kKiB + 10 * kKiB;
        ASSERT_EQ(kSourceOk, r.Seek(&pos, 0));
        EXPECT_EQ(256 * kKiB + 10 * kKiB, pos);
        EXPECT_EQ(kBufferingActive, r.GetBufferingState());
        usleep(300000);
        EXPECT_EQ(1u, server.RequestsFor("/seek.bin").size());

        // A megabyte on: the thread reconnects with a range at exactly that offset.
        pos = 256 * kKiB + 10 * kKiB + kMiB;
        ASSERT_EQ(kSourceOk, r.Seek(&pos, 0));
        ReadResult got = ReadOn(r, 100 * kKiB);
        EXPECT_TRUE(got.bytes == PatternBytes(pos, 100 * kKiB));
        auto reqs = server.RequestsFor("/seek.bin");
        ASSERT_EQ(2u, reqs.size());
        EXPECT_EQ(pos, reqs[1].rangeStart);
        int64_t start, end;
        r.GetBufferedRange(&start, &end);
        EXPECT_EQ(pos, start) << "the old window was given up";

        // Back before the window: a new request from the start, no range needed at offset 0.
        int64_t zero = 0;
        ASSERT_EQ(kSourceOk, r.Seek(&zero, 0));
        got = ReadOn(r, 64 * kKiB);
        EXPECT_TRUE(got.bytes == PatternBytes(0, 64 * kKiB));
        reqs = server.RequestsFor("/seek.bin");
        ASSERT_EQ(3u, reqs.size());
        EXPECT_EQ(-1, reqs[2].rangeStart);
    }
}

TEST_F(NetReaderConcurrency, SeekJustPastAFullWindowStillGetsItsBytes) {
    server.Serve("/full.bin", HttpPlan::Pattern(100 * kMiB));
    CKVABufferReaderProxy r(0, server.Url("/full.bin").c_str());
    ASSERT_EQ(kSourceOk, r.Open());
    EXPECT_EQ(36, r.GetCacheCount());
    // The download stops once 34 of the 36 blocks are in use.
    int64_t last = -1;
    ASSERT_TRUE(Eventually([&] {
        int64_t now = r.GetAvailableSize();
        bool settled = now == last && now >= 34 * kMiB;
        last = now;
        return settled;
    }));
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

TEST_F(NetReaderConcurrency, OpenFailuresReportFiveWithinTheHeadDeadline) {
    HttpPlan noLength = HttpPlan::Pattern(1000);  // and not a media type
    noLength.sendContentLength = false;
    server.Serve("/nolength", noLength);
    server.Serve("/garbage", HttpPlan::Raw("SOMETHING\r\n\r\n"));
    HttpPlan loop;
    loop.status = 308;
    loop.location = "/loop";
    server.Serve("/loop", loop);
    HttpPlan silent = HttpPlan::Pattern(10);
    silent.headByteDelayMs = 60000;  // one byte of the head, then nothing
    server.Serve("/silent", silent);
    HttpPlan trickle = HttpPlan::Pattern(10);
    trickle.headByteDelayMs = 3000;  // a byte every 3 s must not restart the wait
    server.Serve("/trickle", trickle);

    struct Case {
        const char* path;
        int32_t error;
        size_t requests;  // five attempts unless asking again cannot help
    } cases[] = {
        {"/missing", 404, 1},
        {"/loop", kHttpTooManyRedirects, 11},
        {"/nolength", kHttpHeaderNotFound, 5},
        {"/garbage", static_cast<int32_t>(kHttpStatusBadStatusLine), 5},
        // Nothing for 5 s ends an attempt; the head deadline (10 s) ends them all.
        {"/silent", static_cast<int32_t>(kHttpStatusNothingReceived), 2},
        {"/trickle", static_cast<int32_t>(kHttpStatusNothingReceived), 1},
    };
    for (const Case& k : cases) {
        const auto start = std::chrono::steady_clock::now();
        CKVABufferReaderProxy r(0, server.Url(k.path).c_str());
        EXPECT_EQ(kSourceNetOpenFailed, r.Open()) << k.path;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(13)) << k.path;
        EXPECT_EQ(k.error, r.GetErrorCode()) << k.path;
        EXPECT_EQ(k.requests, server.RequestsFor(k.path).size()) << k.path;
        EXPECT_EQ(0, r.GetSize());
        int32_t len = 10;
        uint8_t b[10];
        EXPECT_EQ(kSourceBadArgument, r.Read(b, &len)) << k.path;
    }
}

TEST_F(NetReaderConcurrency, LiveStreamsAndBodiesOfUnknownLength) {
    const int64_t size = 300 * kKiB + 7;
    // Longer than the live ring: read blocks make room for the rest.
    HttpPlan noLength = HttpPlan::Pattern(CKVABufferReaderProxy::kLiveBlocks * kMiB + 3 * kMiB);
    noLength.sendContentLength = false;
    noLength.contentType = "audio/mpeg";
    HttpPlan chunked = HttpPlan::Pattern(size);
    chunked.chunked = true;
    HttpPlan icy = HttpPlan::Pattern(size);
    icy.icy = true;
    icy.contentType = "application/ogg";
    icy.metaInt = 16000;
    icy.titles = {"First", "Second"};
    struct Case {
        const char* path;
        HttpPlan plan;
    } cases[] = {{"/nolength", noLength}, {"/chunked", chunked}, {"/icy", icy}};
    for (Case& k : cases) {
        // The body waits past the first bytes: its end would make its length known.
        HttpTestServer live;
        ASSERT_TRUE(live.Start());
        k.plan.stallAfter = 64 * kKiB;
        k.plan.stallMs = HttpPlan::kUntilReleased;
        live.Serve(k.path, k.plan);
        struct Titles {
            std::mutex lock;
            std::vector<std::string> seen;
            static void Note(void* self, const char* title) {
                std::lock_guard<std::mutex> g(static_cast<Titles*>(self)->lock);
                static_cast<Titles*>(self)->seen.push_back(title);
            }
        } titles;
        CKVABufferReaderProxy r(0, live.Url(k.path).c_str());
        r.SetStreamTitleListener(&Titles::Note, &titles);
        ASSERT_EQ(kSourceOk, r.Open()) << k.path;
        EXPECT_TRUE(r.IsLive()) << k.path;
        EXPECT_EQ(-1, r.GetSize()) << k.path;  // a 0 had demuxers read to the end for a length
        int64_t far = 10 * kMiB;
        EXPECT_EQ(kSourceBadArgument, r.Seek(&far, 0)) << k.path;  // nothing to ask for
        live.ReleaseStalls();
        ReadResult got = ReadOn(r);
        EXPECT_EQ(kSourceEndOfStream, got.last) << k.path;
        EXPECT_TRUE(got.bytes == PatternBytes(0, k.plan.patternSize)) << k.path << " " << got.bytes.size();
        EXPECT_EQ(1u, live.RequestsFor(k.path).size()) << k.path;
        // 300 KiB at 16000 bytes a block: 19 blocks, titles alternating from the first.
        std::lock_guard<std::mutex> g(titles.lock);
        ASSERT_EQ(k.plan.metaInt > 0 ? 19u : 0u, titles.seen.size()) << k.path;
        for (size_t i = 0; i < titles.seen.size(); ++i) EXPECT_EQ(i % 2 ? "Second" : "First", titles.seen[i]);
        EXPECT_EQ(titles.seen.empty() ? "" : "First", r.GetStreamTitle());
    }
}

TEST_F(NetReaderConcurrency, AbortEndsABlockedReadAndAConnect) {
    HttpPlan plan;
    plan.patternSize = 4 * kMiB;
    plan.stallAfter = 100 * kKiB;
    server.Serve("/hang", plan);
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
    EXPECT_TRUE(Eventually([&] { return r.GetReadStatus() == kReadStopped; }));

    kva_test::BlockedListener blocked;
    ASSERT_TRUE(blocked.Ok());
    std::string url = "http://127.0.0.1:" + std::to_string(blocked.Port()) + "/x";
    CKVABufferReaderProxy b(0, url.c_str());
    std::atomic<int32_t> open{1};
    std::thread opener([&] { open = b.Open(); });
    usleep(300000);
    b.Abort();
    opener.join();
    EXPECT_EQ(kSourceCancelled, open.load());
}

// At the player a live stream prepares (Ogg read it to its end for a length), has no duration,
// refuses seeks and plays on.
TEST_F(NetReaderConcurrency, LiveStreamsAtThePlayer) {
    auto system = std::make_shared<snd::VirtualSoundSystem>(false);
    system->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("out", u"Test Output"), true);
    snd::SetSoundSystem(system);
    for (const char* fixture : {"long_cbr.mp3", "long.ogg"}) {
        HttpPlan plan;
        plan.body = std::make_shared<const std::string>(kva_test::ReadFile(kva_test::FixturePath(fixture)));
        plan.icy = true;
        plan.metaInt = 8192;
        plan.titles = {"On Air"};
        plan.contentType = "audio/mpeg";
        plan.trickleBytes = 4096;  // about twice real time: the stream outlasts the test
        plan.trickleDelayMs = 125;
        server.Serve(std::string("/") + fixture, plan);
        kva_test::RecordingObserver obs;
        IKVAPlayer* player = CMediaPlayerFactory::NewL(&obs);
        EXPECT_EQ(-1, player->GetBufferedBytes());
        player->SetDataSource(server.Url(std::string("/") + fixture).c_str());
        player->PrepareAsync();
        EXPECT_TRUE(obs.WaitFor(kNotifyStatus, kStatusPrepared, 10000)) << fixture;
        EXPECT_EQ(0, player->GetDuration()) << fixture;
        player->Play(false);
        EXPECT_TRUE(Eventually([&] { return player->GetCurrentPosition() > 500; }, 10000)) << fixture;
        EXPECT_EQ(kErrorInvalidArgument, player->Seek(20000)) << fixture;
        EXPECT_TRUE(Eventually([&] { return player->GetBufferedBytes() > 0; }, 10000)) << fixture;
        EXPECT_TRUE(obs.WaitFor(kNotifyStreamTitle, kva_test::RecordingObserver::kAny, 5000)) << fixture;
        EXPECT_TRUE(Eventually([&] { return player->GetCurrentPosition() > 1500; }, 10000)) << fixture;
        EXPECT_EQ(kStatusStarted, player->GetStatus()) << fixture;
        EXPECT_EQ(0, obs.Count(kNotifyError)) << fixture;
        EXPECT_EQ(0, obs.Count(kNotifySeekCompleted)) << fixture;
        EXPECT_EQ(1, obs.Count(kNotifyStreamTitle)) << fixture;  // one title, told once
        for (const auto& n : obs.All()) {
            if (n.id == kNotifyStreamTitle) {
                EXPECT_EQ("On Air", n.text) << fixture;
            }
        }
        player->Release();
    }
    snd::SetSoundSystem(nullptr);
}
