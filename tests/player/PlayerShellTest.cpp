// A player before any media plays, and the errors it reports.
#include <netdb.h>

#include <cerrno>
#include <set>

#include "codec/KVAFFDecoder.h"  // its codes, and FFmpeg's
#include "common/HttpTestServer.h"
#include "player/ErrorText.h"
#include "player/VirtualOutputFixture.h"
#include "source/SourceFactory.h"

// Initialized with the session's text; another source displaces it, and each is released once
// (the same one again is the state suite's case).
TEST(PlayerShell, SetSourceReportsInitializedAndReleasesEachSourceOnce) {
    gReleased = 0;
    RecordingObserver obs;
    IKVAPlayer* player = CMediaPlayerFactory::NewL(&obs);
    ASSERT_EQ(player->GetStatus(), kStatusIdle);
    auto* source = new MemorySourceIO({}, 42);
    EXPECT_EQ(player->SetSourceIO(source, &CountRelease), 0);
    EXPECT_EQ(player->GetStatus(), kStatusInitialized);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusInitialized, 2000));
    EXPECT_EQ(std::make_pair(obs.All()[0].text, gReleased), std::make_pair(std::string("42"), 0));
    player->SetSourceIO(new MemorySourceIO({}, 43), &CountRelease);
    EXPECT_EQ(gReleased, 1);
    player->Release();
    EXPECT_EQ(gReleased, 2);
}

TEST(PlayerShell, SettingsBeforeMedia) {
    IKVAPlayer* player = CMediaPlayerFactory::NewL(nullptr);
    EXPECT_FLOAT_EQ(player->GetVolume(), 1.0f);
    player->SetVolume(0.25f);
    EXPECT_FLOAT_EQ(player->GetVolume(), 0.25f);
    EXPECT_EQ(player->GetOutputDeviceType(), kDeviceTypeWasapi);
    int32_t rate = 0, channels = 0, wave = 0;
    player->GetAudioFormat(&rate, &channels, &wave);
    EXPECT_EQ(std::make_tuple(rate, channels, wave), std::make_tuple(44100, 2, 3));
    EXPECT_EQ(player->GetAudioFormat(nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(std::make_tuple(player->GetDuration(), player->GetChannelLevel(0), player->IsBuffering()),
              std::make_tuple(int64_t(0), -160.0, false));
    player->Release();
}

// Commands outside the playing states, and anything once the observer is detached, are silent.
TEST(PlayerShell, CommandsOutsidePlayingStatesAndAfterDetachStaySilent) {
    RecordingObserver obs;
    IKVAPlayer* player = CMediaPlayerFactory::NewL(&obs);
    player->Play(true);
    player->Pause(true);
    player->Seek(1000);
    player->Stop(false);
    player->PrepareAsync();  // no source: only logged
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(obs.All().empty());
    EXPECT_EQ(player->GetStatus(), kStatusIdle);
    player->DetachObserver();
    player->SetSourceIO(new MemorySourceIO({}, 42), nullptr);
    player->SetDataSource(nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(obs.All().empty());
    player->Release();
}

TEST(PlayerShell, LocatorClassification) {
    for (const char* url : {"http://example/a.mp3", "HTTPS://example/a.mp3", "hTtP://x"})
        EXPECT_TRUE(IsNetworkLocator(url)) << url;
    for (const char* path : {"http:/example/a.mp3", "https:/x", "ftp://x", "/music/http://x", ""})
        EXPECT_FALSE(IsNetworkLocator(path)) << path;
}

TEST(PlayerShell, DumpFileIsCreatedAndTruncated) {
    ScratchDir dir("kvadump");
    const std::string path = dir.File("dump.bin");
    ASSERT_TRUE(WriteFile(path, "old"));
    IKVAPlayer* player = CMediaPlayerFactory::NewL(nullptr);
    EXPECT_EQ(player->SetDumpFile(path.c_str()), 0);
    player->Release();
    EXPECT_TRUE(std::ifstream(path).good() && ReadBytes(path).empty()) << "the dump file is there, emptied";
}

namespace {

std::string Text(int32_t code, int32_t detail) { return CMediaPlayerFactory::ErrorText(code, detail); }

// The error 100 that preparing this locator reports; the player ends in status 9, from which
// Reset returns it to idle.
std::pair<int32_t, int32_t> PrepareError(const std::string& locator) {
    RecordingObserver obs;
    std::unique_ptr<IKVAPlayer, void (*)(IKVAPlayer*)> player(CMediaPlayerFactory::NewL(&obs),
                                                              [](IKVAPlayer* p) { p->Release(); });
    player->SetDataSource(locator.c_str());
    player->PrepareAsync();
    if (!obs.WaitFor(kNotifyStatus, kStatusError, 15000)) return {0, 0};
    player->Reset();
    EXPECT_TRUE(obs.WaitFor(kNotifyStatus, kStatusIdle, 5000)) << locator;
    for (const auto& n : obs.All()) if (n.id == kNotifyError) return {n.param1, n.param2};
    return {0, 0};
}

}  // namespace

TEST(ErrorText, ReadFailuresAreClassifiedByTheirDetail) {
    const struct { int32_t code, detail, wantCode, wantDetail; } cases[] = {
        {kErrorIo, kDetailFileBase + ENOENT, kErrorFileNotFound, ENOENT}, {kErrorIo, kDetailFileBase + ENOTDIR, kErrorFileNotFound, ENOTDIR},
        {kErrorIo, kDetailFileBase + EISDIR, kErrorFileUnreadable, EISDIR}, {kErrorDecode, kDetailFileBase + EIO, kErrorFileUnreadable, EIO},
        {kErrorIo, 300, kErrorHttpStatus, 300}, {kErrorIo, 599, kErrorHttpStatus, 599},  // the range's ends
        {kErrorIo, kDetailSocketBase + ECONNREFUSED, kErrorConnectionRefused, 711},
        {kErrorIo, kDetailSocketBase + ENETUNREACH, kErrorNetwork, 701},
        {kErrorIo, kDetailConnectTimeout, kErrorNetwork, 905}, {kErrorIo, -34, kErrorNetwork, -34},
        {kErrorIo, kDetailResolveBase + 2, kErrorDns, 2002}, {kErrorInvalidData, kDetailTlsBase + 10, kErrorTls, 3010},
        // Not a read failure, or no cause in the detail: left as they are.
        {kErrorIo, 0, kErrorIo, 0}, {kErrorIo, 200, kErrorIo, 200},
        {kErrorDecode, AVERROR_PATCHWELCOME, kErrorDecode, AVERROR_PATCHWELCOME}, {kErrorDecode, -34, kErrorDecode, -34},
        {kErrorDecode, kDecTooManyErrors, kErrorDecode, kDecTooManyErrors},  // the decoder's own, not a cause
        {kErrorDeviceOpen, 404, kErrorDeviceOpen, 404}, {kErrorNoDataSource, 0, kErrorNoDataSource, 0}};
    for (const auto& c : cases) {
        int32_t code = c.code, detail = c.detail;
        ClassifyError(&code, &detail);
        EXPECT_EQ(code, c.wantCode) << c.code << "/" << c.detail;
        EXPECT_EQ(detail, c.wantDetail) << c.code << "/" << c.detail;
    }
}

TEST(ErrorText, EveryCodeHasItsOwnSentence) {
    std::set<std::string> seen;
    for (int32_t i = 0; i < kReportedErrorCodeCount; ++i) {
        const std::string t = Text(kReportedErrorCodes[i], 0);
        EXPECT_EQ(t.find("Unknown"), std::string::npos) << kReportedErrorCodes[i];
        EXPECT_EQ(t.back(), '.') << t;
        EXPECT_TRUE(seen.insert(t).second) << "shared by two codes: " << t;
    }
    EXPECT_NE(Text(99, 3).find("Unknown error 99 (detail 3)"), std::string::npos);
}

TEST(ErrorText, DetailsAreSpelledOut) {
    EXPECT_EQ(Text(kErrorHttpStatus, 404), "The server answered HTTP 404 (Not Found).");
    EXPECT_NE(Text(kErrorDns, kDetailResolveBase - EAI_NONAME).find(gai_strerror(EAI_NONAME)), std::string::npos);
    EXPECT_NE(Text(kErrorTls, kDetailTlsBase + 10).find("expired"), std::string::npos);
    EXPECT_NE(Text(kErrorNetwork, kDetailSocketBase + ENETUNREACH).find("unreachable"), std::string::npos);
    EXPECT_EQ(Text(kErrorFileUnreadable, EISDIR), "The path is a folder, not a file.");
    EXPECT_NE(Text(kErrorDecode, kDecTooManyErrors).find("damaged packets"), std::string::npos);
    char av[AV_ERROR_MAX_STRING_SIZE];
    av_strerror(AVERROR_INVALIDDATA, av, sizeof(av));
    EXPECT_NE(Text(AVERROR_INVALIDDATA, 0).find(av), std::string::npos);
}

TEST(ErrorText, PlayerReportsTheCauseOfAFailedOpen) {
    ScratchDir dir("errortext");
    HttpTestServer server;
    server.Serve("/missing.mp3", HttpPlan::Raw("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"));
    ASSERT_TRUE(server.Start());
    std::string refused;  // a server's port once it has gone: nothing listens there
    {
        HttpTestServer gone;
        ASSERT_TRUE(gone.Start());
        refused = gone.Url("/a.mp3");
    }
    const struct { std::string locator; int32_t code, detail; } cases[] = {
        {dir.File("absent.flac"), kErrorFileNotFound, ENOENT}, {dir.path, kErrorFileUnreadable, EISDIR},
        {server.Url("/missing.mp3"), kErrorHttpStatus, 404},
        {refused, kErrorConnectionRefused, kDetailSocketBase + ECONNREFUSED},
        {"http://name.invalid/a.mp3", kErrorDns, RecordingObserver::kAny}};
    for (const auto& c : cases) {
        auto got = PrepareError(c.locator);
        EXPECT_EQ(got.first, c.code) << c.locator << " detail " << got.second;
        EXPECT_TRUE(c.detail == RecordingObserver::kAny || got.second == c.detail) << c.locator << " " << got.second;
    }
}
