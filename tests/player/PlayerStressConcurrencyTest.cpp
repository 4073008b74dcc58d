// A hostile host: several threads call random operations, with valid and invalid arguments, on a
// few players, and players are destroyed from inside OnNotify. Nothing may crash or hang, and no
// sanitizer may report. How long calls take is not judged here: the machine is shared.
#include <limits>
#include <random>
#include <shared_mutex>

#include "player/VirtualOutputFixture.h"

namespace {

using Clock = std::chrono::steady_clock;

// One player and the lock that keeps it alive while a call runs: calls share it, destruction
// takes it alone.
struct Slot : IKVAPlayerObserver {
    std::shared_mutex alive;
    IKVAPlayer* player = nullptr;
    std::atomic<uint32_t> seed{1};
    std::atomic<int> destroyedInNotify{0};

    int32_t OnNotify(int32_t, const char*, int32_t, int32_t) override {
        // Never waits for the lock: a caller holding it may be joining this thread.
        if (seed.fetch_add(2654435761u) % 97 != 0 || !alive.try_lock()) return 0;
        IKVAPlayer* p = player;
        player = nullptr;
        if (p) {
            p->Release();
            ++destroyedInNotify;
        }
        alive.unlock();
        return 0;
    }
};

class Host {
public:
    Host() {
        for (const char* f : {"flac16.flac", "cbr.mp3", "short.wav", "join_b.wav", "mono8k.wav", "truncated.flac"})
            media.push_back(kva_test::Bytes(f));
    }

    void Worker(unsigned seed, Clock::time_point end) {
        std::mt19937 rng(seed);
        while (Clock::now() < end) {
            Slot& slot = slots[rng() % kSlots];
            const int op = static_cast<int>(rng() % 30);
            if (op == 0) {
                std::unique_lock<std::shared_mutex> lock(slot.alive);
                if (slot.player) slot.player->Release();
                slot.player = CMediaPlayerFactory::NewL(&slot);
                slot.player->SetLogConfig(false, 100);
            } else {
                std::shared_lock<std::shared_mutex> lock(slot.alive);
                if (slot.player) Call(slot.player, op, rng);
            }
            ++calls;
        }
    }

    IKVASourceIO* Source(std::mt19937& rng) {
        const uint32_t id = rng() % 1000;
        if (rng() % 10 == 0) return new kva_test::MemorySourceIO(media[0], id, kva_test::MemorySourceIO::kGateReads);
        return new kva_test::MemorySourceIO(media[rng() % media.size()], id);
    }

    void Call(IKVAPlayer* p, int op, std::mt19937& rng) {
        const double inf = std::numeric_limits<double>::infinity();
        const int64_t times[] = {-1, 0, 150, 400, 3000, INT64_MIN, INT64_MAX};
        const double speeds[] = {0.5, 1.0, 1.5, 2.0, 0.0, -1.0, inf, -inf, std::nan("")};
        const int64_t when = times[rng() % 7];
        switch (op) {
            case 1: p->SetDataSource(rng() % 4 ? kva_test::FixturePath("flac16.flac").c_str() : nullptr); break;
            case 2: p->SetSourceIO(Source(rng), rng() % 2 ? &kva_test::DeleteSource : nullptr); break;
            case 3: {
                IKVASourceIO* s = Source(rng);
                const int32_t mode = static_cast<int32_t>(rng() % 5) - 1;  // -1 and 3 are refused
                if (p->SetNextSourceIO(s, mode, &kva_test::DeleteSource) != 0) delete s;
                break;
            }
            case 4: case 5: p->PrepareAsync(); break;
            case 6: case 7: p->Play(rng() % 2); break;
            case 8: p->Pause(rng() % 2); break;
            case 9: p->Seek(rng() % 3 ? int64_t(rng() % 4000) : when); break;
            case 10: p->Stop(rng() % 2); break;
            case 11: p->Reset(); break;
            case 12: p->SetVolume(static_cast<float>(rng() % 15) / 10.0f - 0.2f); break;
            case 13: p->SetPlaySpeed(speeds[rng() % 9]); break;
            case 14: p->SetStartFadeTime(when); break;
            case 15: p->SetPauseFadeTime(when); break;
            case 16: p->SetCrossFadeTime(when); break;
            case 17: p->SetCacheMax(when); break;
            case 18: p->SetPlaybackCacheParams(rng() % 2 ? 4 : -inf, 7, 1, rng() % 2 ? 1.5 : inf); break;
            case 19: p->SetPositionNotifyInterval(static_cast<int32_t>(rng() % 60) - 5); break;
            case 20: p->NotifyHeadSetChanged(static_cast<int32_t>(rng() % 3)); break;
            case 21: p->SetOutputDeviceType(rng() % 2 ? kDeviceTypeWasapi : kDeviceTypeWaveOut); break;
            case 22: p->GetCurrentPosition(); p->GetDuration(); p->GetStatus(); p->IsBuffering(); break;
            case 23: p->GetPlayedTime(std::to_string(rng() % 1000).c_str()); break;
            case 24: p->SetVolumeEx(0.5f, 0.0); p->GetVolume(); break;
            case 25: p->GetOutputDeviceCount(); p->GetChannelLevel(0); break;
            case 26: p->SetGetPlayedTimeType(static_cast<int32_t>(rng() % 2)); break;
            case 27: { int32_t a, b, c; p->GetAudioFormat(&a, &b, &c); break; }
            default: p->Play(false); break;
        }
    }

    static constexpr int kSlots = 3;
    Slot slots[kSlots];
    std::vector<std::vector<uint8_t>> media;
    std::atomic<long> calls{0};
};

}  // namespace

using PlayerStressConcurrency = kva_test::VirtualOutputTest;

TEST_F(PlayerStressConcurrency, RandomCallsFromManyThreadsNeverCrashOrStall) {
    system->SetFast(false);
    system->SetCapture("out", false);
    Host host;
    const auto end = Clock::now() + std::chrono::seconds(15);
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < 4; ++i) workers.emplace_back([&host, i, end] { host.Worker(1000 + i, end); });
    for (auto& w : workers) w.join();
    int destroyed = 0;
    for (Slot& s : host.slots) {
        std::unique_lock<std::shared_mutex> lock(s.alive);
        if (s.player) s.player->Release();
        s.player = nullptr;
        destroyed += s.destroyedInNotify;
    }
    EXPECT_GT(host.calls, 1000);
    EXPECT_GT(destroyed, 0) << "no player was destroyed from OnNotify";
}
