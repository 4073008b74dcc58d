// A player before any media plays.
#include <gtest/gtest.h>

#include <fstream>

#include "common/HttpTestServer.h"
#include "player/VirtualOutputFixture.h"
#include "source/SourceFactory.h"

using namespace kva_audioplayer;
using namespace kva_test;

// Initialized with the session's text; the same source again is kept, another displaces it, and
// each is released once.
TEST(PlayerShell, SetSourceReportsInitializedAndReleasesEachSourceOnce) {
    gReleased = 0;
    RecordingObserver obs;
    IKVAPlayer* player = CMediaPlayerFactory::NewL(&obs);
    ASSERT_EQ(player->GetStatus(), kStatusIdle);
    auto* source = new MemorySourceIO({}, 42);
    EXPECT_EQ(player->SetSourceIO(source, &CountRelease), 0);
    EXPECT_EQ(player->GetStatus(), kStatusInitialized);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusInitialized, 2000));
    EXPECT_EQ(obs.All()[0].text, "42");
    player->SetSourceIO(source, &CountRelease);
    EXPECT_EQ(gReleased, 0);
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
    EXPECT_EQ(player->GetDuration(), 0);
    EXPECT_DOUBLE_EQ(player->GetChannelLevel(0), -160.0);
    EXPECT_FALSE(player->IsBuffering());
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
    EXPECT_TRUE(std::ifstream(path).good());
    EXPECT_TRUE(ReadBytes(path).empty());
}
