// Playback: time from PrepareAsync to the first audio at the device and from Seek to its
// completion (medians of 20 on the virtual output in real time), then CPU and peak memory of
// kvaplay playing a 10-minute MP3 against mpv playing the same file to a null output. Peak
// memory is also split, from samples of /proc/PID/smaps, into the process's own memory (heap,
// thread stacks, anonymous maps) and what its shared libraries cost (their file pages and the
// data the loader wrote into them): the second is mostly the system FFmpeg's dependencies.
// Usage: bench_playback [--runs N] [--play-seconds S] [--kvaplay PATH]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "KvaAudioPlayer.h"
#include "KvaSoundSystem.h"
#include "platform/SoundSystem.h"
#include "platform/VirtualSoundSystem.h"
#include "common/RecordingObserver.h"
#include "harness/Row.h"

using namespace kva_audioplayer;

namespace {

double NowMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Stats {
    double median, min, max;
};

Stats Summarize(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    if (v.empty()) return {0, 0, 0};
    return {v[v.size() / 2], v.front(), v.back()};
}

// Waits for (id, p1) in the recorder, polling; returns the time it was seen or -1.
double WaitNote(kva_test::RecordingObserver& obs, int id, int p1, int timeoutMs) {
    return obs.WaitFor(id, p1, timeoutMs) ? NowMs() : -1;
}

struct ChildUsage {
    double cpuSeconds = 0;
    long maxRssKiB = 0;
    double wallSeconds = 0;
    int status = -1;
    // Peaks over the samples taken while it plays (before its exit handlers run), each taken on
    // its own.
    long playRssKiB = 0;      // VmHWM
    long peakOwnKiB = 0;      // anonymous memory outside mapped files
    long peakLibraryKiB = 0;  // resident pages of mapped files, written (relocated) ones included
    int peakFiles = 0;        // distinct files mapped
    int samples = 0;
};

// A mapping of a file counts as library memory; anything else resident (heap, stacks, anonymous
// maps, memfd) as the process's own.
bool SampleSmaps(pid_t pid, ChildUsage* u) {
    FILE* f = fopen(("/proc/" + std::to_string(pid) + "/smaps").c_str(), "r");
    if (!f) return false;
    char line[4096];
    bool isFile = false;
    long own = 0, library = 0;
    std::vector<std::string> files;
    while (fgets(line, sizeof(line), f)) {
        char c = line[0];
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) {
            int at = 0;
            if (sscanf(line, "%*s %*s %*s %*s %*s %n", &at) < 0) at = 0;
            std::string path = at > 0 ? std::string(line + at) : std::string();
            while (!path.empty() && (path.back() == '\n' || path.back() == ' ')) path.pop_back();
            isFile = !path.empty() && path[0] == '/' && path.compare(0, 7, "/memfd:") != 0;
            if (isFile && std::find(files.begin(), files.end(), path) == files.end()) files.push_back(path);
            continue;
        }
        long kib = 0;
        if (sscanf(line, "Rss: %ld kB", &kib) == 1) {
            if (isFile) library += kib;
        } else if (sscanf(line, "Anonymous: %ld kB", &kib) == 1) {
            if (!isFile) own += kib;
        }
    }
    fclose(f);
    if (own == 0 && library == 0) return false;  // gone, or not yet an image of its own
    long hwm = 0;
    if (FILE* st = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r")) {
        while (fgets(line, sizeof(line), st))
            if (sscanf(line, "VmHWM: %ld kB", &hwm) == 1) break;
        fclose(st);
    }
    u->playRssKiB = std::max(u->playRssKiB, hwm);
    u->peakOwnKiB = std::max(u->peakOwnKiB, own);
    u->peakLibraryKiB = std::max(u->peakLibraryKiB, library);
    u->peakFiles = std::max(u->peakFiles, static_cast<int>(files.size()));
    ++u->samples;
    return true;
}

// playSeconds: samples are taken only within this time from the start, so that they see the
// process playing and not its exit, where every loaded library's teardown pages in code.
ChildUsage RunChild(const std::vector<std::string>& args, double playSeconds) {
    ChildUsage u;
    double start = NowMs();
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        dup2(devnull, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    rusage ru{};
    int status = 0;
    // Sampled every 200 ms; the exit is polled more often so that the wall time stays close.
    double nextSample = NowMs() + 200;
    while (wait4(pid, &status, WNOHANG, &ru) == 0) {
        if (NowMs() >= nextSample && NowMs() < start + playSeconds * 1000) {
            SampleSmaps(pid, &u);
            nextSample += 200;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    u.wallSeconds = (NowMs() - start) / 1000.0;
    u.cpuSeconds = ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    u.maxRssKiB = ru.ru_maxrss;
    u.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return u;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 20, playSeconds = 30;
    std::string kvaplay = "tools/kvaplay/kvaplay";
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--runs") && i + 1 < argc) runs = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--play-seconds") && i + 1 < argc) playSeconds = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--kvaplay") && i + 1 < argc) kvaplay = argv[++i];
    }
    char tmpl[] = "/tmp/kvabenchXXXXXX";
    std::string dir = mkdtemp(tmpl);
    const std::string mp3 = dir + "/long.mp3";
    std::string gen = "ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i "
                      "\"aevalsrc=0.3*sin(2*PI*(220+0.5*t)*t)|0.3*sin(2*PI*(330+0.4*t)*t):s=44100:d=600\" "
                      "-c:a libmp3lame -b:a 192k " + mp3;
    if (system(gen.c_str()) != 0) {
        fprintf(stderr, "bench_playback: cannot make the test media\n");
        return 1;
    }

    auto system_ = std::make_shared<snd::VirtualSoundSystem>(false);
    system_->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("bench", u"Bench Output"), true);
    snd::SetSoundSystem(system_);

    std::vector<double> firstAudio, seek;
    for (int i = 0; i < runs; ++i) {
        kva_test::RecordingObserver obs;
        IKVAPlayer* p = CMediaPlayerFactory::NewL(&obs);
        p->SetLogConfig(false, 100);
        p->SetStartFadeTime(0);
        p->SetDataSource(mp3.c_str());
        double t0 = NowMs();
        p->PrepareAsync();
        if (WaitNote(obs, kNotifyStatus, kStatusPrepared, 5000) < 0) break;
        p->Play(false);
        double t1 = WaitNote(obs, kNotifyFirstAudio, 1, 5000);
        if (t1 < 0) break;
        firstAudio.push_back(t1 - t0);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        double s0 = NowMs();
        p->Seek(60000 + i * 10000);
        double s1 = WaitNote(obs, kNotifySeekCompleted, 60000 + i * 10000, 5000);
        if (s1 >= 0) seek.push_back(s1 - s0);
        p->Release();
    }
    snd::SetSoundSystem(nullptr);
    Stats fa = Summarize(firstAudio), sk = Summarize(seek);
    printf("first audio after PrepareAsync (local MP3): median %.1f ms (min %.1f, max %.1f) over %zu runs\n",
           fa.median, fa.min, fa.max, firstAudio.size());
    printf("seek to completion:                        median %.1f ms (min %.1f, max %.1f) over %zu runs\n",
           sk.median, sk.min, sk.max, seek.size());

    std::string duration = std::to_string(playSeconds * 1000);
    ChildUsage ours = RunChild({kvaplay, "--output=virtual", "--quiet", "--duration=" + duration, mp3}, playSeconds);
    ChildUsage mpv = RunChild({"mpv", "--no-config", "--ao=null", "--vo=null", "--really-quiet",
                               "--end=" + std::to_string(playSeconds), mp3}, playSeconds);
    double oursPct = ours.wallSeconds > 0 ? 100.0 * ours.cpuSeconds / ours.wallSeconds : 0;
    double mpvPct = mpv.wallSeconds > 0 ? 100.0 * mpv.cpuSeconds / mpv.wallSeconds : 0;
    printf("real-time playback CPU: kvaplay %.2f%% of one core (%.1f s wall), mpv %.2f%% (%.1f s wall); ratio %.2f\n",
           oursPct, ours.wallSeconds, mpvPct, mpv.wallSeconds, mpvPct > 0 ? oursPct / mpvPct : 0.0);
    printf("peak RSS while playing: kvaplay %.1f MiB, mpv %.1f MiB; "
           "whole process life, exit included: kvaplay %.1f MiB, mpv %.1f MiB\n",
           ours.playRssKiB / 1024.0, mpv.playRssKiB / 1024.0, ours.maxRssKiB / 1024.0, mpv.maxRssKiB / 1024.0);
    printf("peak own memory (heap, stacks, anonymous maps): kvaplay %.1f MiB, mpv %.1f MiB; ratio %.2f\n",
           ours.peakOwnKiB / 1024.0, mpv.peakOwnKiB / 1024.0,
           mpv.peakOwnKiB > 0 ? static_cast<double>(ours.peakOwnKiB) / mpv.peakOwnKiB : 0.0);
    printf("peak shared-library memory (file pages, relocated data): kvaplay %.1f MiB, mpv %.1f MiB; "
           "files mapped: kvaplay %d, mpv %d; %d and %d samples\n",
           ours.peakLibraryKiB / 1024.0, mpv.peakLibraryKiB / 1024.0, ours.peakFiles, mpv.peakFiles,
           ours.samples, mpv.samples);
    using kva_bench::kAbsent;
    kva_bench::Row("first audio after PrepareAsync, local (ms)", fa.median, kAbsent, kAbsent, "-");
    kva_bench::Row("seek to completion (ms)", sk.median, kAbsent, kAbsent, "-");
    if (ours.status == 0 && mpv.status == 0) {
        kva_bench::Row("playback CPU % of a core, null output (peer mpv)", oursPct, kAbsent, mpvPct,
                       "<= 1.0 of peer");
        kva_bench::Row("peak RSS while playing (MiB)", ours.playRssKiB / 1024.0, kAbsent,
                       mpv.playRssKiB / 1024.0, "<= 1.0 of peer");
        kva_bench::Row("peak own memory while playing (MiB)", ours.peakOwnKiB / 1024.0, kAbsent,
                       mpv.peakOwnKiB / 1024.0, "<= 1.0 of peer");
        // We choose which libraries load, not what they weigh: reported only.
        kva_bench::Row("peak shared-library memory while playing (MiB)", ours.peakLibraryKiB / 1024.0,
                       kAbsent, mpv.peakLibraryKiB / 1024.0, "-");
        kva_bench::Row("files mapped while playing", ours.peakFiles, kAbsent, mpv.peakFiles, "-");
    }
    if (ours.status != 0) printf("note: kvaplay exited with %d\n", ours.status);
    if (mpv.status != 0) printf("note: mpv exited with %d (is it installed?)\n", mpv.status);
    unlink(mp3.c_str());
    rmdir(dir.c_str());
    return 0;
}
