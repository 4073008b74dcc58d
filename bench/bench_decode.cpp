// Decode pipeline throughput: open, decode, convert to 44.1 kHz stereo float and drain through
// the stream's pulls, against the ffmpeg command line doing the same decode and conversion on
// the same files. Prints x-realtime for both, their ratio, and allocations per pull.
// Usage: bench_decode [--minutes N | --seconds N] [--only MP3|AAC|FLAC|Opus]
//        (default 10 minutes of media per format, every format)
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "codec/KVAAudioStream.h"
#include "source/KVAAudioLocalSource.h"
#include "support/Log.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
}

namespace {
thread_local bool tCount = false;
thread_local long tAllocs = 0;
}  // namespace

// Replacement allocation functions; GCC cannot see that both sides use malloc.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
    if (tCount) ++tAllocs;
    void* p = malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    return p;
}
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }

using namespace kva_audioplayer;

namespace {

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double CpuSeconds(int who) {
    rusage ru{};
    getrusage(who, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

int Run(const std::string& cmd) { return system(cmd.c_str()); }

struct Result {
    double wall = 0;
    double cpu = 0;
    double mediaSeconds = 0;
    long pulls = 0;
    long steadyPulls = 0;
    long steadyAllocs = 0;
    bool ok = false;
};

Result RunFfmpeg(const std::string& file) {
    Result r;
    const double cpu0 = CpuSeconds(RUSAGE_CHILDREN);
    const double t0 = Now();
    r.ok = Run("ffmpeg -nostdin -threads 1 -v error -i '" + file +
               "' -f f32le -ar 44100 -ac 2 -y /dev/null") == 0;
    r.wall = Now() - t0;
    r.cpu = CpuSeconds(RUSAGE_CHILDREN) - cpu0;
    return r;
}

Result RunOurs(const std::string& file) {
    Result r;
    const double cpu0 = CpuSeconds(RUSAGE_SELF);
    const double t0 = Now();
    CKVAAudioStream stream(nullptr);
    CKVAAudioLocalSource source(1, file.c_str());
    if (stream.open(&source, true) != 0) return r;
    AudioDescription out{};
    out.nTag = kAudioDescriptionTag;
    out.nSampleRate = 44100;
    out.nChannel = 2;
    out.nSampleFormat = AV_SAMPLE_FMT_FLT;
    out.nChannelLayout = AV_CH_LAYOUT_STEREO;
    out.nBitsPerSample = 32;
    stream.setOutputDescription(out);
    stream.start();
    std::vector<uint8_t> buf(3528 * 4);  // 80 ms, a typical device period multiple
    long long bytes = 0;
    for (;;) {
        int32_t len = static_cast<int32_t>(buf.size());
        int64_t ts = 0;
        const bool steady = bytes > 44100LL * 8 * 2;  // past the first 2 s
        tAllocs = 0;
        tCount = true;
        int32_t res = stream.bufferFillFull(buf.data(), &len, &ts);
        tCount = false;
        ++r.pulls;
        if (res == 0 && steady) {
            ++r.steadyPulls;
            r.steadyAllocs += tAllocs;
        }
        bytes += len;
        if (res == kAudioPlayerEOS) break;
        if (res == kStreamFormatChanged) {
            stream.setOutputDescription(out);
            continue;
        }
        if (res == kStreamNoData) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        if (res != 0) {
            fprintf(stderr, "pull error %d\n", res);
            return r;
        }
    }
    stream.close();
    r.wall = Now() - t0;
    r.cpu = CpuSeconds(RUSAGE_SELF) - cpu0;
    r.mediaSeconds = bytes / (44100.0 * 8);
    r.ok = true;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 600;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--minutes") && i + 1 < argc) seconds = atof(argv[++i]) * 60;
        else if (!strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = atof(argv[++i]);
        else if (!strcmp(argv[i], "--only") && i + 1 < argc) only = argv[++i];
        else {
            fprintf(stderr, "usage: %s [--minutes N | --seconds N] [--only FORMAT]\n", argv[0]);
            return 2;
        }
    }
    SetLogDebugOutput(0);
    av_log_set_level(AV_LOG_QUIET);
    char tmpl[] = "/tmp/kva-bench-decode-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl;
    const std::string src = "-f lavfi -i sine=f=440:r=44100:d=" + std::to_string(seconds) +
                            " -f lavfi -i sine=f=660:r=44100:d=" + std::to_string(seconds) +
                            " -filter_complex amerge=inputs=2";
    struct Format {
        const char* name;
        const char* file;
        const char* args;
    } formats[] = {
        {"MP3", "media.mp3", "-c:a libmp3lame -b:a 192k"},
        {"AAC", "media.m4a", "-c:a aac -b:a 192k"},
        {"FLAC", "media.flac", "-c:a flac"},
        {"Opus", "media.opus", "-c:a libopus -b:a 128k"},
    };
    printf("media: %.0f s per format, generated in %s\n", seconds, dir.c_str());
    for (const auto& f : formats) {
        if (!only.empty() && only != f.name) continue;
        const std::string path = dir + "/" + f.file;
        if (Run("ffmpeg -nostdin -v error -y " + src + " " + f.args + " '" + path + "'") != 0) {
            fprintf(stderr, "could not generate %s\n", path.c_str());
            return 1;
        }
    }
    printf("%-5s %12s %12s %8s %10s %10s %14s\n", "fmt", "ffmpeg x-rt", "ours x-rt", "ratio",
           "ffmpeg cpu", "ours cpu", "allocs/pull");
    for (const auto& f : formats) {
        if (!only.empty() && only != f.name) continue;
        const std::string path = dir + "/" + f.file;
        Result theirs = RunFfmpeg(path);
        Result ours = RunOurs(path);
        if (!theirs.ok || !ours.ok) {
            printf("%-5s failed (ffmpeg %d, ours %d)\n", f.name, theirs.ok, ours.ok);
            continue;
        }
        const double media = ours.mediaSeconds;
        const double xrtTheirs = media / theirs.wall;
        const double xrtOurs = media / ours.wall;
        printf("%-5s %12.1f %12.1f %8.2f %9.2fs %9.2fs %14.4f\n", f.name, xrtTheirs, xrtOurs,
               xrtOurs / xrtTheirs, theirs.cpu, ours.cpu,
               ours.steadyPulls ? double(ours.steadyAllocs) / ours.steadyPulls : 0.0);
        printf("      (%ld pulls, %ld in steady state; target ratio >= 0.90)\n", ours.pulls,
               ours.steadyPulls);
    }
    Run("rm -rf '" + dir + "'");
    return 0;
}
