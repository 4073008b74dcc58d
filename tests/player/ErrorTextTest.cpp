#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>
#include <memory>
#include <set>

#include "KvaAudioPlayer.h"
#include "common/HttpTestServer.h"
#include "common/RecordingObserver.h"
#include "common/TestPaths.h"
#include "player/ErrorText.h"

extern "C" {
#include <libavutil/error.h>
}

using namespace kva_audioplayer;
using kva_test::RecordingObserver;

namespace {

std::string Text(int32_t code, int32_t detail) { return CMediaPlayerFactory::ErrorText(code, detail); }

struct Case {
    int32_t code, detail, wantCode, wantDetail;
};

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
    const Case cases[] = {
        {kErrorIo, kDetailFileBase + ENOENT, kErrorFileNotFound, ENOENT},
        {kErrorIo, kDetailFileBase + ENOTDIR, kErrorFileNotFound, ENOTDIR},
        {kErrorIo, kDetailFileBase + EISDIR, kErrorFileUnreadable, EISDIR},
        {kErrorDecode, kDetailFileBase + EIO, kErrorFileUnreadable, EIO},
        {kErrorIo, 404, kErrorHttpStatus, 404}, {kErrorIo, 503, kErrorHttpStatus, 503},
        {kErrorIo, kDetailSocketBase + ECONNREFUSED, kErrorConnectionRefused, 711},
        {kErrorIo, kDetailSocketBase + ENETUNREACH, kErrorNetwork, 701},
        {kErrorIo, kDetailConnectTimeout, kErrorNetwork, 905}, {kErrorIo, -34, kErrorNetwork, -34},
        {kErrorIo, kDetailResolveBase + 2, kErrorDns, 2002}, {kErrorInvalidData, kDetailTlsBase + 10, kErrorTls, 3010},
        // Not a read failure, or no cause in the detail: left as they are.
        {kErrorIo, 0, kErrorIo, 0}, {kErrorIo, 200, kErrorIo, 200},
        {kErrorDecode, AVERROR_PATCHWELCOME, kErrorDecode, AVERROR_PATCHWELCOME}, {kErrorDecode, -34, kErrorDecode, -34},
        {kErrorDeviceOpen, 404, kErrorDeviceOpen, 404}, {kErrorNoDataSource, 0, kErrorNoDataSource, 0},
    };
    for (const Case& c : cases) {
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
    char av[AV_ERROR_MAX_STRING_SIZE];
    av_strerror(AVERROR_INVALIDDATA, av, sizeof(av));
    EXPECT_NE(Text(AVERROR_INVALIDDATA, 0).find(av), std::string::npos);
}

TEST(ErrorText, PlayerReportsTheCauseOfAFailedOpen) {
    kva_test::ScratchDir dir("errortext");
    kva_test::HttpTestServer server;
    server.Serve("/missing.mp3", kva_test::HttpPlan::Raw("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"));
    ASSERT_TRUE(server.Start());
    std::string refused;  // a server's port once it has gone: nothing listens there
    {
        kva_test::HttpTestServer gone;
        ASSERT_TRUE(gone.Start());
        refused = gone.Url("/a.mp3");
    }
    const struct {
        std::string locator;
        int32_t code, detail;
    } cases[] = {
        {dir.File("absent.flac"), kErrorFileNotFound, ENOENT},
        {dir.path, kErrorFileUnreadable, EISDIR},
        {server.Url("/missing.mp3"), kErrorHttpStatus, 404},
        {refused, kErrorConnectionRefused, kDetailSocketBase + ECONNREFUSED},
        {"http://name.invalid/a.mp3", kErrorDns, RecordingObserver::kAny},
    };
    for (const auto& c : cases) {
        auto got = PrepareError(c.locator);
        EXPECT_EQ(got.first, c.code) << c.locator << " detail " << got.second;
        EXPECT_TRUE(c.detail == RecordingObserver::kAny || got.second == c.detail) << c.locator << " " << got.second;
    }
}
