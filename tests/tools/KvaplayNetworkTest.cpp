// kvaplay playing http:// media from loopback servers renders the same samples as the local file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>

#include "KvaplayRun.h"
#include "common/HttpTestServer.h"
#include "common/TlsTestCerts.h"

using namespace kva_test;

namespace {

// The render of `media`, its output added to *out; empty unless it played through.
WavData Render(const std::string& media, std::string* out, const std::string& env = std::string()) {
    KvaplayResult r = RenderWav("--quiet " + media, env);
    *out += r.out;
    return r.exitCode == 0 ? r.wav : WavData();
}

// The network render holds the local one's samples frame for frame, and at most `lateFrames`
// more after their end.
void ExpectSameMedia(const WavData& local, const WavData& net, const std::string& what, size_t lateFrames = 0) {
    ASSERT_FALSE(local.samples.empty()) << what << ": local render is empty";
    ASSERT_EQ(std::make_pair(local.sampleRate, local.channels), std::make_pair(net.sampleRate, net.channels)) << what;
    ASSERT_GE(net.samples.size(), local.samples.size()) << what;
    ASSERT_LE(net.samples.size(), local.samples.size() + 2 * lateFrames) << what;
    EXPECT_EQ(FirstMismatch(net.samples, 0, local.samples, 0, local.samples.size() / 2), -1) << what;
}

}  // namespace

// Every way of serving a file renders its local samples: plain http for three demuxers, a server
// that cuts the connection every 16 KiB (the reader resumes with ranges), https, and nginx.
TEST(KvaplayNetwork, RemoteRendersEqualTheLocalOnes) {
    ScratchDir dir("kvanet");
    TlsTestCerts certs;
    ASSERT_TRUE(certs.Make());
    HttpTestServer plain, cutting, tls;
    ASSERT_TRUE(tls.EnableTls(certs.good.cert, certs.good.key));
    ASSERT_TRUE(plain.Start() && cutting.Start() && tls.Start());
    const std::string trust = "SSL_CERT_FILE=" + certs.caFile + " SSL_CERT_DIR=" + certs.dir;
    const std::string root = dir.File("www");
    ASSERT_EQ(0, mkdir(root.c_str(), 0755));
    std::unique_ptr<NginxServer> nginx;
    for (const char* name : {"flac16.flac", "cbr.mp3", "aac.m4a"}) {
        const std::string file = FixturePath(name), path = std::string("/") + name;
        HttpPlan plan;
        plan.body = std::make_shared<const std::string>(ReadFile(file));
        plan.contentType = "audio/mpeg";
        plain.Serve(path, plan);
        plan.closeAfter = 16 * 1024;
        cutting.Serve(path, plan);
        tls.Serve(path, plan);
        ASSERT_TRUE(WriteFile(root + path, *plan.body));
        if (!nginx && NginxServer::Available()) {
            nginx.reset(new NginxServer(root));
            ASSERT_TRUE(nginx->Start());
        }
        std::string out;
        const WavData local = Render(file, &out);
        std::vector<std::pair<std::string, std::string>> urls = {
            {plain.Url(path), ""}, {cutting.Url(path), ""}, {tls.Url(path), trust}};
        if (nginx) urls.push_back({nginx->Url(path), ""});
        for (const auto& u : urls) ExpectSameMedia(local, Render(u.first, &out, u.second), u.first + out);
        EXPECT_GE(cutting.RequestsFor(path).size(), plan.body->size() / (16 * 1024));
    }
    // Without the run's authority the TLS server is refused.
    const std::string noTrust = "SSL_CERT_FILE=/nonexistent SSL_CERT_DIR=/nonexistent";
    EXPECT_EQ(1, RunKvaplay("--output=virtual --fast --quiet " + tls.Url("/flac16.flac"), noTrust).exitCode);
}

// A connection gone quiet mid-track is resumed; one dropped and then refused ends in an error;
// a live stream plays whole with its titles printed; a 404 is said in words, and a local file
// after it still plays.
TEST(KvaplayNetwork, MidTrackFailuresLiveStreamsAndMissingMedia) {
    const std::string file = FixturePath("flac16.flac"), mp3 = FixturePath("cbr.mp3");
    auto bytes = std::make_shared<const std::string>(ReadFile(file));
    HttpTestServer server;
    ASSERT_TRUE(server.Start());
    // Quiet for good after 60 KB on an open connection; the next request is answered.
    server.Route("/quiet.flac", [bytes](const HttpRequest& req) {
        HttpPlan p;
        p.body = bytes;
        if (req.index == 0) p.stallAfter = 60000;
        return p;
    });
    // Dropped after 60 KB, then refused: the reader gives up.
    server.Route("/gone.flac", [bytes](const HttpRequest& req) {
        HttpPlan p;
        p.body = bytes;
        p.closeAfter = 60000;
        if (req.index > 0) p.status = 403;
        return p;
    });
    HttpPlan live;
    live.body = std::make_shared<const std::string>(ReadFile(mp3));
    live.icy = true;
    live.contentType = "audio/mpeg";
    live.metaInt = 8192;
    live.titles = {"Song A", "Song B"};
    server.Serve("/live", live);
    std::string out;
    ExpectSameMedia(Render(file, &out), Render(server.Url("/quiet.flac"), &out), "quiet");
    EXPECT_EQ(60000, server.RequestsFor("/quiet.flac").at(1).rangeStart);

    KvaplayResult r = RenderWav("--json " + server.Url("/gone.flac"));
    EXPECT_EQ(1, r.exitCode);
    EXPECT_NE(std::string::npos, r.out.find("\"id\": 100")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\"param2\": -38}")) << r.out;  // the refused reconnect
    EXPECT_NE(std::string::npos, r.out.find("\"id\": 300, \"text\": \"0\", \"param1\": 9")) << r.out;

    const WavData local = Render(mp3, &out);
    out.clear();
    // Unseekable, the MP3's end padding is decoded (as the command line does from a pipe): at
    // most one frame more.
    ExpectSameMedia(local, Render(server.Url("/live"), &out), "live", 1152);
    EXPECT_NE(std::string::npos, out.find("title: Song A\ntitle: Song B\ntitle: Song A\n")) << out;

    r = RenderWav("--json " + server.Url("/none.mp3") + Media({"short.wav"}));
    EXPECT_EQ(1, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("/none.mp3: The server answered HTTP 404")) << r.err;
    EXPECT_EQ(1, CountJson(r.out, 300, 7)) << r.out;  // the file played to its end
}
