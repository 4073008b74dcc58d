// Start-up: from a host's exec to the first audio the device renders (NewL, SetDataSource,
// PrepareAsync, Play when prepared), against the floor of any process that uses the library: the
// time to load it and the libraries it links (exec to main, measured in the same child). Built against the public header and the shared library only; the virtual
// output in real time; the listener hook sees the first rendered block.
// Usage: bench_startup FILE [runs]   (default 10 runs; medians)
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "KvaAudioPlayer.h"
#include "KvaSoundSystem.h"
#include "harness/Row.h"

using namespace kva_audioplayer;

namespace {

double MonoMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

class Host : public IKVAPlayerObserver, public IKVAAudioListener {
public:
    // Play as soon as the player is prepared, as a host does.
    int32_t OnNotify(int32_t id, const char*, int32_t p1, int32_t) override {
        IKVAPlayer* p = player.load();
        if (id == 300 && p1 == kStatusPrepared && p) p->Play(false);
        return 0;
    }
    bool SetPCMFormat(int32_t, int32_t, int32_t) override { return true; }
    void OnPCM(uint8_t** data, uint32_t len, uint32_t, bool) override {
        if (firstAudio.load() > 0 || !data || !data[0]) return;
        for (uint32_t i = 0; i < len; ++i)
            if (data[0][i]) {
                firstAudio = MonoMs();
                return;
            }
    }
    void Reset() override {}
    std::atomic<double> firstAudio{0};
    std::atomic<IKVAPlayer*> player{nullptr};
};

// The child: prints "load_ms start_ms".
int Child(double execAt, const char* file) {
    const double mainAt = MonoMs();
    KvaSoundSystemConfig config;
    config.kind = KvaSoundSystemKind::Virtual;
    CMediaPlayerFactory::SelectSoundSystem(config);
    Host host;
    const double t0 = MonoMs();
    IKVAPlayer* player = CMediaPlayerFactory::NewL(&host);
    if (!player) return 1;
    host.player = player;
    player->SetStartFadeTime(0);
    player->SetAudioListener(&host);
    player->SetDataSource(file);
    player->PrepareAsync();
    for (int i = 0; i < 5000 && host.firstAudio.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double first = host.firstAudio.load();
    host.player = nullptr;
    player->Release();
    if (first == 0) return 1;
    printf("%.3f %.3f\n", mainAt - execAt, first - t0);
    return 0;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && !strcmp(argv[1], "--child")) return Child(atof(argv[2]), argv[3]);
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE [runs]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 10;
    std::vector<double> load, start, total;
    for (int i = 0; i < runs; ++i) {
        int fds[2];
        if (pipe(fds) != 0) return 1;
        char at[32];
        snprintf(at, sizeof(at), "%.3f", MonoMs());
        pid_t pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            if (FILE* null = fopen("/dev/null", "w")) dup2(fileno(null), 2);
            execl("/proc/self/exe", argv[0], "--child", at, argv[1], static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        char line[128] = {0};
        ssize_t n = read(fds[0], line, sizeof(line) - 1);
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        double l = 0, s = 0;
        if (n > 0 && sscanf(line, "%lf %lf", &l, &s) == 2) {
            load.push_back(l);
            start.push_back(s);
            total.push_back(l + s);
        }
    }
    if (load.empty()) {
        printf("start-up: no run reached first audio\n");
        return 1;
    }
    const double l = Median(load), s = Median(start), t = Median(total);
    printf("libraries loaded (exec to main):  %.2f ms\n", l);
    printf("NewL to first audio:              %.2f ms\n", s);
    printf("exec to first audio:              %.2f ms\n", t);
    kva_bench::Row("exec to first audio (ms)", t, l, kva_bench::kAbsent, "<= 1.25 of floor");
    printf("ratio exec-to-audio / load:       %.2f (%zu runs)\n", l > 0 ? t / l : 0, load.size());
    return 0;
}
