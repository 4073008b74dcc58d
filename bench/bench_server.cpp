// Real sound servers: CPU and wake-ups of kvaplay against mpv --ao=pulse playing the same file on
// the same private server (PulseAudio, then PipeWire with its pulse server), first playing, then
// paused (both paused by the space key through a
// terminal, as a listener would). Wake-ups are the voluntary context switches of every thread of
// the process: each is one sleep that ended. CPU is the run time of every thread.
// Usage: bench_server [--seconds S] [--kvaplay PATH]
#include <dirent.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/PulseTestServer.h"
#include "harness/Row.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
    double cpuSeconds = 0;
    long wakeups = 0;
};

// Sums over /proc/PID/task/*: run time (schedstat, ns) and voluntary context switches.
Sample Read(pid_t pid) {
    Sample s;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (!d) return s;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string task = dir + "/" + e->d_name;
        if (FILE* f = fopen((task + "/schedstat").c_str(), "r")) {
            unsigned long long ns = 0;
            if (fscanf(f, "%llu", &ns) == 1) s.cpuSeconds += ns / 1e9;
            fclose(f);
        }
        if (FILE* f = fopen((task + "/status").c_str(), "r")) {
            char line[256];
            long n = 0;
            while (fgets(line, sizeof(line), f))
                if (sscanf(line, "voluntary_ctxt_switches: %ld", &n) == 1) s.wakeups += n;
            fclose(f);
        }
    }
    closedir(d);
    return s;
}

struct Window {
    double cpuPct = 0;
    double wakeupsPerSecond = 0;
};

Window Measure(pid_t pid, double seconds) {
    Sample a = Read(pid);
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    Sample b = Read(pid);
    double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    return {100.0 * (b.cpuSeconds - a.cpuSeconds) / wall, (b.wakeups - a.wakeups) / wall};
}

// A program on a terminal of its own, whose output is drained so that it never blocks on it.
class TerminalChild {
public:
    explicit TerminalChild(const std::vector<std::string>& args) {
        mPid = forkpty(&mMaster, nullptr, nullptr, nullptr);
        if (mPid == 0) {
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        if (mPid > 0) {
            mDrain = std::thread([fd = mMaster] {
                char buf[4096];
                while (read(fd, buf, sizeof(buf)) > 0) {
                }
            });
        }
    }
    ~TerminalChild() {
        if (mPid > 0) {
            kill(mPid, SIGTERM);
            int status = 0;
            waitpid(mPid, &status, 0);
        }
        if (mMaster >= 0) close(mMaster);  // the drain's read fails once the child is gone
        if (mDrain.joinable()) mDrain.join();
    }
    bool Started() const { return mPid > 0; }
    bool Alive() const { return mPid > 0 && waitpid(mPid, nullptr, WNOHANG) == 0; }
    pid_t Pid() const { return mPid; }
    void Key(char c) const {
        if (write(mMaster, &c, 1) != 1) perror("bench_server: key");
    }

private:
    pid_t mPid = -1;
    int mMaster = -1;
    std::thread mDrain;
};

struct Figures {
    Window playing, paused;
    bool ok = false;
};

Figures Run(const std::vector<std::string>& args, double seconds) {
    Figures f;
    TerminalChild child(args);
    if (!child.Started()) return f;
    std::this_thread::sleep_for(std::chrono::seconds(2));  // open, first audio, settle
    f.playing = Measure(child.Pid(), seconds);
    child.Key(' ');
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the pause takes effect
    f.paused = Measure(child.Pid(), seconds);
    f.ok = child.Alive();
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    std::string kvaplay = "tools/kvaplay/kvaplay";
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = atof(argv[++i]);
        else if (!strcmp(argv[i], "--kvaplay") && i + 1 < argc) kvaplay = argv[++i];
    }
    char tmpl[] = "/tmp/kvaserverXXXXXX";
    std::string dir = mkdtemp(tmpl);
    const std::string media = dir + "/tone.mp3";
    std::string gen = "ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i "
                      "\"aevalsrc=0.3*sin(2*PI*(220+0.5*t)*t)|0.3*sin(2*PI*(330+0.4*t)*t):s=44100:d=" +
                      std::to_string(static_cast<int>(seconds * 2 + 30)) + "\" -c:a libmp3lame -b:a 192k " + media;
    if (system(gen.c_str()) != 0) {
        fprintf(stderr, "bench_server: cannot make the test media\n");
        return 1;
    }

    int measured = 0;
    for (const char* kind : {"pulseaudio", "pipewire"}) {
        const char* label = std::string(kind) == "pipewire" ? "PipeWire" : "PulseAudio";
        kva_test::PulseTestServer server;
        if (!server.Start("kvabenchserver", kind)) {
            fprintf(stderr, "bench_server: no private %s server: %s\n", label, server.Error().c_str());
            continue;
        }
        // Both players find the server through PULSE_SERVER, set by Start.
        Figures ours = Run({kvaplay, "--quiet", "--start-fade-ms=0", "--pause-fade-ms=0", media}, seconds);
        Figures mpv = Run({"mpv", "--no-config", "--ao=pulse", "--vo=null", "--really-quiet", media}, seconds);
        server.Stop();
        if (!ours.ok || !mpv.ok) {
            fprintf(stderr, "bench_server: %s: a player ended early (kvaplay %s, mpv %s)\n", label,
                    ours.ok ? "ran" : "ended", mpv.ok ? "ran" : "ended");
            continue;
        }
        ++measured;
        printf("%s, playing: kvaplay %.2f%% of a core, %.1f wake-ups/s; mpv %.2f%%, %.1f/s\n", label,
               ours.playing.cpuPct, ours.playing.wakeupsPerSecond, mpv.playing.cpuPct,
               mpv.playing.wakeupsPerSecond);
        printf("%s, paused:  kvaplay %.2f%% of a core, %.1f wake-ups/s; mpv %.2f%%, %.1f/s\n", label,
               ours.paused.cpuPct, ours.paused.wakeupsPerSecond, mpv.paused.cpuPct, mpv.paused.wakeupsPerSecond);
        using kva_bench::kAbsent;
        const std::string l = label;
        kva_bench::Row((l + " playing CPU % of a core (peer mpv --ao=pulse)").c_str(), ours.playing.cpuPct,
                       kAbsent, mpv.playing.cpuPct, "<= 0.8 of peer");
        kva_bench::Row((l + " playing wake-ups per second (peer mpv)").c_str(), ours.playing.wakeupsPerSecond,
                       kAbsent, mpv.playing.wakeupsPerSecond, "-");
        kva_bench::Row((l + " paused CPU % of a core (peer mpv)").c_str(), ours.paused.cpuPct, kAbsent,
                       mpv.paused.cpuPct, "-");
        kva_bench::Row((l + " paused wake-ups per second, whole process (peer mpv)").c_str(),
                       ours.paused.wakeupsPerSecond, kAbsent, mpv.paused.wakeupsPerSecond, "<= 5");
    }
    std::string rm = "rm -rf " + dir;
    if (system(rm.c_str()) != 0) fprintf(stderr, "bench_server: %s left behind\n", dir.c_str());
    return measured == 2 ? 0 : 1;
}
