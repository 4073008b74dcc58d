#include <gtest/gtest.h>

#include <thread>

#include "KvaAudioPlayer.h"
#include "common/MemorySourceIO.h"
#include "common/RecordingObserver.h"
#include "common/TestPaths.h"
#include "source/SourceFactory.h"

using namespace kva_audioplayer;
using kva_test::RecordingObserver;

namespace {

// A host source with session id 42.
kva_test::MemorySourceIO* NewSource() { return new kva_test::MemorySourceIO({}, 42); }

int gReleased = 0;
void CountRelease(IKVASourceIO* source) {
    ++gReleased;
    delete source;
}

}  // namespace

TEST(PlayerShell, SetSourceOnIdlePlayerReportsInitializedWithSessionText) {
    RecordingObserver obs;
    IKVAPlayer* player = CMediaPlayerFactory::NewL(&obs);
    ASSERT_EQ(player->GetStatus(), kStatusIdle);
    EXPECT_EQ(player->SetSourceIO(NewSource(), nullptr), 0);
    EXPECT_EQ(player->GetStatus(), kStatusInitialized);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusInitialized, 2000));
    EXPECT_EQ(obs.All()[0].text, "42");
    player->Release();
}

TEST(PlayerShell, ReleaseFunctionCalledExactlyOnce) {
    gReleased = 0;
    {
        IKVAPlayer* player = CMediaPlayerFactory::NewL(nullptr);
        auto* source = NewSource();
        player->SetSourceIO(source, &CountRelease);
        player->SetSourceIO(source, &CountRelease);  // the same source again: kept, not released
        EXPECT_EQ(gReleased, 0);
        player->SetSourceIO(NewSource(), &CountRelease);  // displaces the first
        EXPECT_EQ(gReleased, 1);
        player->Release();
    }
    EXPECT_EQ(gReleased, 2);
}

TEST(PlayerShell, SettingsValidateTheirInput) {
    IKVAPlayer* player = CMediaPlayerFactory::NewL(nullptr);
    EXPECT_FLOAT_EQ(player->GetVolume(), 1.0f);
    player->SetVolume(0.25f);
    EXPECT_FLOAT_EQ(player->GetVolume(), 0.25f);
    EXPECT_EQ(player->GetOutputDeviceType(), kDeviceTypeWasapi);
    int32_t rate = 0, channels = 0, wave = 0;
    player->GetAudioFormat(&rate, &channels, &wave);
    EXPECT_EQ(rate, 44100);
    EXPECT_EQ(channels, 2);
    EXPECT_EQ(wave, 3);
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
    player->SetSourceIO(NewSource(), nullptr);
    player->SetDataSource(nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(obs.All().empty());
    player->Release();
}

TEST(PlayerShell, LocatorClassification) {
    EXPECT_TRUE(IsNetworkLocator("http://example/a.mp3"));
    EXPECT_TRUE(IsNetworkLocator("HTTPS://example/a.mp3"));
    EXPECT_TRUE(IsNetworkLocator("hTtP://x"));
    EXPECT_FALSE(IsNetworkLocator("http:/example/a.mp3"));
    EXPECT_FALSE(IsNetworkLocator("https:/x"));
    EXPECT_FALSE(IsNetworkLocator("ftp://x"));
    EXPECT_FALSE(IsNetworkLocator("/music/http://x"));
    EXPECT_FALSE(IsNetworkLocator(""));
}

TEST(PlayerShell, DumpFileIsCreatedAndTruncated) {
    std::string dir = kva_test::MakeTempDir("kvadump");
    std::string path = dir + "/dump.bin";
    FILE* f = fopen(path.c_str(), "wb");
    fputs("old", f);
    fclose(f);
    IKVAPlayer* player = CMediaPlayerFactory::NewL(nullptr);
    EXPECT_EQ(player->SetDumpFile(path.c_str()), 0);
    player->Release();
    f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    fseek(f, 0, SEEK_END);
    EXPECT_EQ(ftell(f), 0);
    fclose(f);
    remove(path.c_str());
    rmdir(dir.c_str());
}
