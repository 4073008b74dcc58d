// Built against KvaAudioPlayer.h and libkvaaudioplayer.so only.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KvaAudioPlayer.h"

using namespace kva_audioplayer;

namespace {

struct Host : IKVAPlayerObserver, IPlayerLogger {
    int32_t OnNotify(int32_t id, const char*, int32_t p1, int32_t) override {
        std::lock_guard<std::mutex> lock(mutex);
        notes.emplace_back(id, p1);
        return 0;
    }
    int32_t Log(int32_t, const char*, const char* message) override {
        std::lock_guard<std::mutex> lock(mutex);
        logs.push_back(message);
        return 0;
    }
    bool WaitFor(int32_t id, int32_t p1) {
        for (int i = 0; i < 400; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
            std::lock_guard<std::mutex> lock(mutex);
            if (std::count(notes.begin(), notes.end(), std::make_pair(id, p1))) return true;
        }
        return false;
    }
    bool Logged(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        return std::count(logs.begin(), logs.end(), line) > 0;
    }
    std::mutex mutex;
    std::vector<std::pair<int32_t, int32_t>> notes;
    std::vector<std::string> logs;
};

}  // namespace

TEST(HostApi, NotificationsLogsAndDestructionFromAnotherThread) {
    Host host;
    IKVAPlayer* player = CMediaPlayerFactory::NewL(&host);
    ASSERT_NE(player, nullptr);
    player->SetLogConfig(false, 0);
    player->SetLogger(&host);
    player->SetDataSource(nullptr);
    EXPECT_TRUE(host.WaitFor(100, 17));
    player->SetDataSource("/no/such/file.flac");
    EXPECT_TRUE(host.WaitFor(300, 2));
    player->SetStartFadeTime(250);
    EXPECT_TRUE(host.Logged("CKVAAudioPlayer::SetStartFadeTime mStartFadeTime 250"));
    std::thread([player] { player->Release(); }).join();
    CMediaPlayerFactory::SetLogger(nullptr);  // the logger outlives players, not the host
}
