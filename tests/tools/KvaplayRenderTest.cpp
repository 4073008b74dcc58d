// kvaplay as a host: WAV renders of single items, gapless joins and cross-fades against the
// ffmpeg command line's decodes; http:// media from loopback servers against the local file; its
// notifications, log, command line and devices.
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KvaAudioPlayer.h"
#include "KvaplayRun.h"
#include "common/HttpTestServer.h"
#include "common/JoinCheck.h"
#include "common/PulseTestServer.h"
#include "common/TlsTestCerts.h"

using namespace kva_test;

// Tolerance 0 where only the sample format changes (44.1 kHz stereo sources), as on the ffmpeg
// command line; resampled or down-mixed sources take the same resampler, but block by block
// rather than in one filter graph, so the last bits may differ. The file holds the media alone,
// from its first frame to its last, with every driver and on a device chosen by name or by id, or
// the render fails.
TEST(KvaplayRender, WavOutputEqualsReferenceDecode) {
    const struct { const char* file; float tolerance; const char* options; } cases[] = {
        {"s16.wav", 0, "--driver=wasapi"}, {"f32.wav", 0, "--driver=wasapi"}, {"flac16.flac", 0, "--driver=wasapi"},
        {"cbr.mp3", 0, "--driver=wasapi"}, {"vbr.mp3", 0, "--driver=wasapi"}, {"aac.m4a", 0, "--driver=wasapi"},
        {"vorbis.ogg", 0, "--driver=wasapi"}, {"opus.opus", 1e-4f, "--driver=wasapi"},
        {"flac24_96k.flac", 1e-4f, "--driver=wasapi"}, {"mono8k.wav", 1e-4f, "--driver=wasapi"},
        {"six.flac", 1e-4f, "--driver=wasapi"}, {"s16.wav", 0, "--driver=waveout"}, {"s16.wav", 0, "--driver=dsound"},
        {"cbr.mp3", 0, "--driver=waveout"}, {"cbr.mp3", 0, "--driver=dsound"},
        {"mono8k.wav", 1e-4f, "--driver=waveout"}, {"mono8k.wav", 1e-4f, "--driver=dsound"},
        {"sine_s16.wav", 0, "--device \"Virtual Output\""}, {"sine_s16.wav", 0, "--device virtual-output"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.options) + " " + c.file);
        KvaplayResult r = RenderWav("--quiet " + std::string(c.options) + Media({c.file}));
        ASSERT_EQ(r.exitCode, 0) << r.out;
        ASSERT_EQ(std::make_pair(r.wav.sampleRate, r.wav.channels), std::make_pair(44100, 2));
        const std::vector<float>& ref = Ref(c.file);
        ASSERT_FALSE(ref.empty());
        ASSERT_EQ(r.wav.samples.size(), ref.size());
        EXPECT_EQ(FirstMismatch(r.wav.samples, 0, ref, 0, ref.size() / 2, c.tolerance), -1);
    }
    // A file that cannot take the whole render (a size limit stands in for a full disk) fails it.
    KvaplayResult full = RenderWav("--quiet" + Media({"flac16.flac"}), "ulimit -f 64; trap '' XFSZ;");
    EXPECT_EQ(full.exitCode, 1);
    EXPECT_NE(full.err.find("(error 9, "), std::string::npos) << full.err;
}

// A whole playback: its length and end reported, and nothing on standard error; a seek.
TEST(KvaplayJson, OneFilePlayedThroughLeavesStandardErrorEmpty) {
    KvaplayResult r = RenderWav("--json" + Media({"flac16.flac"}));
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(CountJson(r.out, 7, 3000), 1) << r.out;  // the duration
    EXPECT_EQ(CountJson(r.out, 300, kva_audioplayer::kStatusCompleted), 1);
    EXPECT_EQ(r.err, "") << "the library wrote to standard error unasked";
    r = RunKvaplay("--output=virtual --fast --json --seek 1500" + Media({"flac16.flac"}));
    EXPECT_EQ(CountJson(r.out, 4, 1500), 1) << r.out;
}

// Options anywhere and in both forms; every bad command line exits 2 with a word on it; the
// library's log on standard error when the user or the environment asks for it.
TEST(KvaplayArgs, CommandLineForms) {
    const std::string file = FixturePath("short.wav");
    for (const char* env : {"KVA_LOG=3", ""}) {
        KvaplayResult r = RunKvaplay("--output=virtual --fast --quiet " + std::string(*env ? "" : "--log-level=3 ") + file, env);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_NE(r.err.find("CKVAAudioPlayer::Play status 4"), std::string::npos) << env << r.err;
    }
    EXPECT_EQ(RunKvaplay(file + " --output virtual --speed 1.25 --fast --volume=0.5").exitCode, 0);
    KvaplayResult help = RunKvaplay(file + " --quiet --help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Exit codes"), std::string::npos);
    EXPECT_NE(help.out.find("Keys"), std::string::npos);
    for (const char* bad : {"--speed=0.1", "--speed 0.1", "--fast=1", "--no-such-option", "--volume",
                            "--device=Nope --output=virtual", "--fast", ""}) {
        KvaplayResult r = RunKvaplay(std::string(bad) + (*bad ? " " + file : ""));
        EXPECT_EQ(r.exitCode, 2) << bad;
        EXPECT_EQ(r.err.rfind("kvaplay: ", 0), 0u) << bad << ": " << r.err;
    }
}

// A fast render runs far ahead of the position kvaplay can poll: --duration still cuts the list
// at 1.5 s of media, to the frame, and what comes before is the media itself.
TEST(KvaplayDuration, FastRenderStopsAtTheDurationAcrossItems) {
    KvaplayResult r = RenderWav("--quiet --duration=1500" + Media({"join_a.wav", "join_b.wav", "s16.wav"}));
    ASSERT_EQ(r.exitCode, 0) << r.out;
    ASSERT_EQ(r.wav.channels, 2);
    EXPECT_EQ(FirstMismatch(r.wav.samples, 0, Ref("join_a.wav"), 0, 66150 - 8), -1);
    EXPECT_LE(r.wav.samples.size() / 2, 66150u);
    EXPECT_GE(r.wav.samples.size() / 2, 66150u - 8);
}

// Every join of mp3, flac and wav (the mp3 encoder's delay and padding trimmed on both sides),
// exactly the decodes back to back. The items after the second are queued only once the switch
// to the one before is heard of; the render still may not run ahead of them.
TEST(KvaplayGaplessChain, FourItemsOfMixedFormats) {
    const std::vector<std::string> files = {"join_a.mp3", "join_b.flac", "join_a.wav", "join_b.mp3"};
    KvaplayResult r = RenderWav("--next-mode=preload --quiet" + Media({files[0], files[1], files[2], files[3]}));
    ASSERT_EQ(r.exitCode, 0);
    ASSERT_EQ(r.wav.channels, 2);
    std::vector<float> ref;
    for (const auto& f : files) ref.insert(ref.end(), Ref(f).begin(), Ref(f).end());
    ASSERT_EQ(r.wav.samples.size(), ref.size());
    EXPECT_EQ(FirstMismatch(r.wav.samples, 0, ref, 0, ref.size() / 2), -1);
}

// Each failing item, first, middle or queued, is reported with its path and the reason, and the
// playable ones are all heard, in order.
TEST(KvaplayItems, EveryFailingItemIsReportedAndTheListGoesOn) {
    ScratchDir dir("kvaitems");
    const std::string missing = dir.File("missing.wav");
    KvaplayResult r = RenderWav("--json" + Media({"random.bin", "join_a.wav"}) + " " + missing + Media({"join_b.wav"}));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(missing + ": The file does not exist."), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(FixturePath("random.bin") + ": The media is not in a format"), std::string::npos) << r.err;
    const auto& a = Ref("join_a.wav");
    const auto& b = Ref("join_b.wav");
    EXPECT_EQ(FirstMismatch(r.wav.samples, 0, a, 0, a.size() / 2), -1);
    std::vector<float> probe(b.begin() + 2 * 10000, b.begin() + 2 * 10256);
    EXPECT_GE(FindBlock(r.wav.samples, probe, 256, long(a.size() / 2), long(r.wav.samples.size() / 2) - 256), 0);
}

// Keys typed together arrive in one read of the terminal; each one counts.
TEST(KvaplayKeys, KeysTypedTogetherEachCount) {
    const std::string bin = BinaryPath("tools/kvaplay/kvaplay"), media = FixturePath("sine_s16.wav");
    int term = -1, status = -1;
    const pid_t pid = forkpty(&term, nullptr, nullptr, nullptr);
    if (pid == 0) _exit(execl(bin.c_str(), "kvaplay", "--output=virtual", media.c_str(), media.c_str(), nullptr));
    ASSERT_GT(pid, 0);
    fcntl(term, F_SETFL, O_NONBLOCK);
    std::string screen;
    char buf[512];
    auto shows = [&](const char* text) {
        return WaitUntil([&] {
            for (ssize_t n; (n = read(term, buf, sizeof(buf))) > 0;) screen.append(buf, size_t(n));
            return screen.find(text) != std::string::npos;
        });
    };
    EXPECT_TRUE(shows("vol 100%") && write(term, "----", 4) == 4 && shows("vol  80%")) << screen;
    EXPECT_EQ(1, write(term, "q", 1));
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    close(term);
}

// The library starts the fade by itself when 600 ms of the old item are left, in real time and
// faster than real time alike, and mixes whole blocks of both items: the join is the linear mix.
TEST(KvaplayCrossFade, JoinIsTheLinearMixOverTheLastFadeTimeOfTheOldTrack) {
    for (const auto& c : {std::make_pair("wav", false), std::make_pair("flac", false), std::make_pair("flac", true)}) {
        const std::string ext = c.first;
        SCOPED_TRACE(ext + (c.second ? " fast" : " real time"));
        KvaplayResult r = RenderWav("--next-mode=crossfade --crossfade-ms=600 --json" +
                                    Media({"join_a." + ext, "join_b." + ext}), "", c.second);
        ASSERT_EQ(r.exitCode, 0);
        EXPECT_EQ(CountJson(r.out, 1000, 2), 1);  // handed over to item 2 without a new preparation
        EXPECT_EQ(CountJson(r.out, 300, 3), 1);
        const auto& a = Ref("join_a." + ext);
        // The gain steps of 1/length add up in float, block by block: 1e-4 covers their rounding.
        CrossFadeLayout x = AnalyseCrossFade(r.wav.samples, 0, a, Ref("join_b." + ext), 1e-4f);
        ASSERT_EQ(x.error, "");
        EXPECT_EQ(x.mismatch, -1) << "mix start " << x.mixStart << ", length " << x.length;
        // It starts within a 20 ms block after 600 ms before the end and lasts what remains.
        const long remaining = static_cast<long>(a.size() / 2) - x.mixStart;
        EXPECT_GE(remaining, 26460 - 882);
        EXPECT_LE(remaining, 26460 + 44);
        EXPECT_NEAR(x.length, remaining, 2 * 44 + 2);
        EXPECT_GE(x.newOffset, x.mixStart);  // none of the new track lost before the mix
    }
}

// The virtual output chosen needs no word; without a sound server the automatic choice plays to
// it, and kvaplay says so. An unknown device is an error, not the default.
TEST(KvaplayDevices, ListShowsEachOutputsIdAndMarksTheDefaultAndAnUnknownOneIsRefused) {
    const std::string noServer = "PULSE_SERVER=unix:/nonexistent/kva-no-server";
    EXPECT_NE(std::string::npos, RunKvaplay("--list-devices", noServer).err.find("playing to the virtual output"));
    KvaplayResult r = RunKvaplay("--output=virtual --list-devices", noServer);
    ASSERT_EQ(0, r.exitCode);
    EXPECT_EQ("", r.err);
    EXPECT_EQ("index\ttype\tdriver\tid\tname\tdefault\n" "0\t5\tWasapi\tdefault\t默认输出设备\tfollows\n"
              "1\t5\tWasapi\tvirtual-output\tVirtual Output\tdefault\n"
              "2\t6\tDirectSound\tdefault\tPrimary Sound Driver\tfollows\n"
              "3\t6\tDirectSound\tvirtual-output\tVirtual Output\tdefault\n"
              "4\t4\tWaveOut\tdefault\tSound Mapper\tfollows\n"
              "5\t4\tWaveOut\tvirtual-output\tVirtual Output\tdefault",
              r.out);
    r = RenderWav("--device=\"No Such Device\"" + Media({"sine_s16.wav"}));
    EXPECT_EQ(2, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("No Such Device")) << r.err;
}

// Two sinks of one name on a sound server: the list tells them apart by id (and the second by its
// id after the name), and --device with the id plays on that sink alone.
using KvaplayPulse = PulseServerTest<>;

TEST_F(KvaplayPulse, OutputsOfTheSameNameAreToldApartByTheirIds) {
    if (!Ready()) return;
    Pulse().LoadSink("kva_same_1", "KVA_Same");
    Pulse().LoadSink("kva_same_2", "KVA_Same");
    const std::string list = RunKvaplay("--output=pulse --list-devices").out;
    EXPECT_NE(std::string::npos, list.find("\t5\tWasapi\tkva_test_a\tKVA Test Sink A\tdefault\n")) << list;
    EXPECT_NE(std::string::npos, list.find("\t5\tWasapi\tkva_same_1\tKVA_Same\t\n")) << list;
    EXPECT_NE(std::string::npos, list.find("\t5\tWasapi\tkva_same_2\tKVA_Same (kva_same_2)\t\n")) << list;
    ScratchDir dir("kvaplaypulse");
    PulseRecorder b, b2;
    ASSERT_TRUE(b.Start("kva_same_1.monitor", dir.File("b.raw")) && b2.Start("kva_same_2.monitor", dir.File("b2.raw")));
    ASSERT_EQ(0, RunKvaplay("--output=pulse --quiet --start-fade-ms=0 --device=kva_same_2" + Media({"join_short.wav"})).exitCode);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_GT(Peak(b2.Stop()), 0.1f) << "not heard on the sink chosen";
    EXPECT_EQ(Peak(b.Stop()), 0.0f) << "heard on the other sink of that name";
}

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
// that cuts the connection every 16 KiB (the reader resumes with ranges), https, and nginx, there
// also from a seek.
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
        HttpPlan plan = HttpPlan::Body(ReadFile(file));
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
        if (nginx) ExpectSameMedia(Render("--seek=700 " + file, &out), Render("--seek=700 " + nginx->Url(path), &out), "seek");
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
    const HttpPlan whole = HttpPlan::Body(ReadFile(file));  // its copies share the bytes
    HttpTestServer server;
    ASSERT_TRUE(server.Start());
    // Quiet for good after 60 KB on an open connection; the next request is answered.
    server.Route("/quiet.flac", [whole](const HttpRequest& req) {
        HttpPlan p = whole;
        if (req.index == 0) p.stallAfter = 60000;
        return p;
    });
    // Dropped after 60 KB, then refused: the reader gives up.
    server.Route("/gone.flac", [whole](const HttpRequest& req) {
        HttpPlan p = whole;
        p.closeAfter = 60000;
        if (req.index > 0) p.status = 403;
        return p;
    });
    HttpPlan live = HttpPlan::Body(ReadFile(mp3));
    live.icy = true;
    live.contentType = "audio/mpeg";
    live.metaInt = 8192;
    live.titles = {"Song A", "Song B"};
    server.Serve("/live", live);
    std::string out;
    ExpectSameMedia(Render(file, &out), Render(server.Url("/quiet.flac"), &out), "quiet");
    EXPECT_EQ(60000, server.RequestsFor("/quiet.flac").at(1).rangeStart);
    if (NginxServer::Available()) {  // nginx held quiet for 7 s, 1.5 s into a 4 s transfer
        ScratchDir dir("kvanginx");
        ASSERT_EQ(0, system(("mkdir -p " + dir.File("www/slow")).c_str()));
        ASSERT_TRUE(WriteFile(dir.File("www/slow/a.flac"), *whole.body));
        NginxServer nginx(dir.File("www"));
        ASSERT_TRUE(nginx.Start());
        std::thread pause([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            nginx.Signal(SIGSTOP);
            std::this_thread::sleep_for(std::chrono::seconds(7));
            nginx.Signal(SIGCONT);
        });
        ExpectSameMedia(Render(file, &out), Render(nginx.Url("/slow/a.flac"), &out), "nginx quiet");
        pause.join();
    }

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

    // First and then queued: the status is said both times.
    r = RenderWav("--json " + server.Url("/none.mp3") + Media({"short.wav"}) + " " + server.Url("/none.mp3"));
    EXPECT_EQ(1, r.exitCode);
    const std::string said = "/none.mp3: The server answered HTTP 404";
    EXPECT_NE(std::string::npos, r.err.find(said, r.err.find(said) + 1)) << r.err;
    EXPECT_EQ(1, CountJson(r.out, 300, 7)) << r.out;  // the file played to its end
}
