// A small host: plays the files and http(s) URLs it is given back to back without gaps, reports
// each failure in words and goes on. Build it against an installed library:
//   c++ -std=c++17 play.cpp $(pkg-config --cflags --libs kvaaudioplayer) -o play
// or with CMake through find_package(KvaAudioPlayer) (see CMakeLists.txt here).
// Usage: play [--virtual] MEDIA...   (--virtual: render to the silent virtual output, fast)
#include <KvaAudioPlayer.h>
#include <KvaSoundSystem.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

using namespace kva_audioplayer;

namespace {

struct Event {
    int32_t id, param1, param2;
};

// Notifications arrive on the library's message thread: hand them to the main thread and return
// at once, since calling back into the player from here would hold up every later notification.
class Events : public IKVAPlayerObserver {
public:
    int32_t OnNotify(int32_t id, const char*, int32_t param1, int32_t param2) override {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mQueue.push_back({id, param1, param2});
        }
        mCond.notify_one();
        return 0;
    }
    bool Wait(Event* e, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mMutex);
        if (!mCond.wait_for(lock, timeout, [this] { return !mQueue.empty(); })) return false;
        *e = mQueue.front();
        mQueue.pop_front();
        return true;
    }

private:
    std::mutex mMutex;
    std::condition_variable mCond;
    std::deque<Event> mQueue;
};

// Plays the items gaplessly: each next one is queued while the one before plays, and the
// library joins them. A failing item is reported and the next one goes on. Returns how many
// played through.
int PlayAll(IKVAPlayer* player, Events* events, char** media, int count) {
    int played = 0, current = 0, queued = -1;
    bool ended = false;  // the current item played out while the queued one still opened
    // Items are numbered by their session id (index + 1), which every notification carries.
    auto queueAfter = [&](int index) {
        queued = index + 1 < count ? index + 1 : -1;
        if (queued >= 0) player->SetNextDataSource(media[queued], kNextModePreload, queued + 1);
    };
    auto startAfresh = [&](int index) {
        current = index;
        queued = -1;
        ended = false;
        player->SetDataSource(media[current]);
        player->PrepareAsync();
    };
    startAfresh(0);
    for (;;) {
        Event e;
        if (!events->Wait(&e, std::chrono::seconds(30))) {
            fprintf(stderr, "%s: no answer from the player\n", media[current]);
            return played;
        }
        if (e.id == kNotifyStatus && e.param1 == kStatusPrepared) {
            printf("%s: %lld ms\n", media[current], static_cast<long long>(player->GetDuration()));
            player->Play(false);
            queueAfter(current);
        } else if (e.id == kNotifyStreamChanged) {  // the queued item took over without a gap
            played += ended ? 0 : 1;
            ended = false;
            current = e.param1 - 1;
            printf("%s: %lld ms\n", media[current], static_cast<long long>(player->GetDuration()));
            queueAfter(current);
        } else if (e.id == kNotifyNextSource && e.param1 == kNextOpenFailed && queued >= 0) {
            const int32_t detail = player->GetNextSourceErrorDetail();
            fprintf(stderr, "%s: %s\n", media[queued], CMediaPlayerFactory::ErrorText(e.param2, detail));
            if (!ended) queueAfter(queued);  // skip it; the current item plays on
            else if (queued + 1 < count) startAfresh(queued + 1);
            else return played;
        } else if (e.id == kNotifyPlaybackCompleted) {
            ++played;
            if (queued < 0) return played;
            ended = true;  // the queued item still owes its answer
        } else if (e.id == kNotifyError) {
            fprintf(stderr, "%s: %s\n", media[current], CMediaPlayerFactory::ErrorText(e.param1, e.param2));
            if (current + 1 >= count) return played;
            startAfresh(current + 1);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    KvaSoundSystemConfig output;  // automatic: the sound server when one answers
    if (argc > 1 && strcmp(argv[1], "--virtual") == 0) {
        output.kind = KvaSoundSystemKind::Virtual;
        output.fast = true;
        first = 2;
    }
    if (first >= argc) {
        fprintf(stderr, "usage: %s [--virtual] MEDIA...\n", argv[0]);
        return 2;
    }
    // The sound system is chosen once per process, before the first player.
    if (CMediaPlayerFactory::SelectSoundSystem(output) != 0) {
        fprintf(stderr, "no sound output\n");
        return 1;
    }
    Events events;
    IKVAPlayer* player = CMediaPlayerFactory::NewL(&events);
    if (!player) return 1;
    const int played = PlayAll(player, &events, argv + first, argc - first);
    // Release stops playback and waits for the library's threads; no notification comes after.
    player->Release();
    printf("played %d of %d\n", played, argc - first);
    return played == argc - first ? 0 : 1;
}
