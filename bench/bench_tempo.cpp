// Cost of the output processing chain per second of stereo float audio at speeds 1.0, 1.5 and
// 0.75. The floor is libavfilter's atempo driven directly in this process (abuffer -> atempo ->
// abuffersink, the same blocks in, nothing else); the peer is the ffmpeg command line's atempo
// on the same input, generated in this run.
// Usage: bench_tempo [seconds of input, default 60] [repetitions, default 3]
//                    [frames per pull, default 2048; a 10 ms device period is 441]
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/CKVAAudioProcess.h"
#include "harness/Row.h"
#include "support/Log.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
}

using namespace kva_audioplayer;

namespace {

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr int kFrameBytes = kChannels * 4;
int gBlockFrames = 2048;

class NullObserver : public IKVAProcessObserver {
public:
    void OnFadeFinish(const char*, int32_t) override {}
};

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Music-like test signal: a few partials with slow vibrato and some noise.
std::vector<float> MakeSignal(int seconds) {
    const size_t frames = static_cast<size_t>(seconds) * kRate;
    std::vector<float> s(frames * kChannels);
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0.0f, 0.02f);
    double phase[4] = {0, 0, 0, 0};
    const double base[4] = {220.0, 330.0, 440.0, 660.0};
    for (size_t i = 0; i < frames; ++i) {
        double t = static_cast<double>(i) / kRate;
        double v = 0;
        for (int k = 0; k < 4; ++k) {
            double f = base[k] * (1.0 + 0.01 * std::sin(2 * M_PI * 0.5 * t + k));
            phase[k] += 2 * M_PI * f / kRate;
            v += 0.15 * std::sin(phase[k]);
        }
        s[i * 2] = static_cast<float>(v) + noise(rng);
        s[i * 2 + 1] = static_cast<float>(v * 0.8) + noise(rng);
    }
    return s;
}

// Seconds the chain takes for the whole input at `speed`; outFrames receives what it produced.
double RunChain(const std::vector<float>& in, double speed, int64_t* outFrames) {
    NullObserver observer;
    CKVAAudioProcess chain(&observer);
    AudioDescription d{};
    d.nTag = kAudioDescriptionTag;
    d.nSampleRate = kRate;
    d.nChannel = kChannels;
    d.nSampleFormat = AV_SAMPLE_FMT_FLT;
    d.nChannelLayout = AV_CH_LAYOUT_STEREO;
    d.nBitsPerSample = 32;
    chain.setAudioDescription(d);
    chain.SetPlaySpeed(speed);
    chain.setSongId("bench");

    const uint32_t capacity = gBlockFrames * 4 * kFrameBytes;
    std::vector<uint8_t> work(capacity);
    const size_t frames = in.size() / kChannels;
    int64_t produced = 0;
    auto start = std::chrono::steady_clock::now();
    for (size_t done = 0; done < frames; done += gBlockFrames) {
        size_t n = std::min<size_t>(gBlockFrames, frames - done);
        std::memcpy(work.data(), in.data() + done * kChannels, n * kFrameBytes);
        uint32_t len = static_cast<uint32_t>(n * kFrameBytes);
        int32_t end = 0;
        chain.process(work.data(), &len, static_cast<int64_t>(done * 1000 / kRate), capacity, &end);
        produced += len / kFrameBytes;
    }
    // End of media: the stretch lets out its tail.
    for (int i = 0; i < 64; ++i) {
        uint32_t len = 0;
        int32_t end = 1;
        chain.process(work.data(), &len, 0, capacity, &end);
        if (len == 0) break;
        produced += len / kFrameBytes;
    }
    double secs = Seconds(std::chrono::steady_clock::now() - start);
    if (outFrames) *outFrames = produced;
    return secs;
}

// Seconds the bare filter graph takes for the same input in the same blocks, or -1.
double RunFloor(const std::vector<float>& in, double speed, int64_t* outFrames) {
    AVFilterGraph* graph = avfilter_graph_alloc();
    AVFilterContext *src = nullptr, *tempo = nullptr, *sink = nullptr;
    char args[160], tempoArg[32];
    std::snprintf(args, sizeof(args),
                  "time_base=1/%d:sample_rate=%d:sample_fmt=flt:channel_layout=stereo", kRate, kRate);
    std::snprintf(tempoArg, sizeof(tempoArg), "tempo=%g", speed);
    const bool built =
        graph &&
        avfilter_graph_create_filter(&src, avfilter_get_by_name("abuffer"), "in", args, nullptr,
                                     graph) >= 0 &&
        avfilter_graph_create_filter(&tempo, avfilter_get_by_name("atempo"), "tempo", tempoArg,
                                     nullptr, graph) >= 0 &&
        avfilter_graph_create_filter(&sink, avfilter_get_by_name("abuffersink"), "out", nullptr,
                                     nullptr, graph) >= 0 &&
        avfilter_link(src, 0, tempo, 0) >= 0 && avfilter_link(tempo, 0, sink, 0) >= 0 &&
        avfilter_graph_config(graph, nullptr) >= 0;
    if (!built) {
        avfilter_graph_free(&graph);
        return -1;
    }
    AVFrame* frame = av_frame_alloc();
    AVFrame* out = av_frame_alloc();
    const size_t frames = in.size() / kChannels;
    int64_t produced = 0;
    auto drain = [&]() {
        while (av_buffersink_get_frame(sink, out) >= 0) {
            produced += out->nb_samples;
            av_frame_unref(out);
        }
    };
    auto start = std::chrono::steady_clock::now();
    for (size_t done = 0; done < frames; done += gBlockFrames) {
        const int n = static_cast<int>(std::min<size_t>(gBlockFrames, frames - done));
        frame->format = AV_SAMPLE_FMT_FLT;
        frame->sample_rate = kRate;
        frame->nb_samples = n;
        frame->pts = static_cast<int64_t>(done);
        av_channel_layout_default(&frame->ch_layout, kChannels);
        if (av_frame_get_buffer(frame, 0) < 0) break;
        std::memcpy(frame->data[0], in.data() + done * kChannels, size_t(n) * kFrameBytes);
        if (av_buffersrc_add_frame(src, frame) < 0) break;  // takes the buffers, resets the frame
        drain();
    }
    if (av_buffersrc_add_frame(src, nullptr) >= 0) drain();  // end of input: the tail
    drain();
    double secs = Seconds(std::chrono::steady_clock::now() - start);
    av_frame_free(&frame);
    av_frame_free(&out);
    avfilter_graph_free(&graph);
    if (outFrames) *outFrames = produced;
    return secs;
}

// Wall seconds of one ffmpeg command-line run, or -1 when it failed.
double RunFfmpeg(const std::string& raw, double speed) {
    char filter[64];
    std::snprintf(filter, sizeof(filter), "atempo=%g", speed);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        execlp("ffmpeg", "ffmpeg", "-nostdin", "-v", "error", "-f", "f32le", "-ar", "44100", "-ac", "2",
               "-i", raw.c_str(), "-af", filter, "-f", "f32le", "-y", "/dev/null",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    double secs = Seconds(std::chrono::steady_clock::now() - start);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? secs : -1;
}

}  // namespace

int main(int argc, char** argv) {
    SetLogDebugOutput(0);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    if (argc > 3) gBlockFrames = std::max(64, std::atoi(argv[3]));

    const std::vector<float> signal = MakeSignal(seconds);
    char raw[] = "/tmp/bench_tempo_XXXXXX";
    int fd = mkstemp(raw);
    if (fd < 0) {
        std::perror("mkstemp");
        return 1;
    }
    const size_t bytes = signal.size() * sizeof(float);
    if (write(fd, signal.data(), bytes) != static_cast<ssize_t>(bytes)) {
        std::perror("write");
        close(fd);
        unlink(raw);
        return 1;
    }
    close(fd);

    std::printf("input: %d s stereo float %d Hz, %d frames per pull, best of %d runs\n", seconds, kRate,
                gBlockFrames, reps);
    std::printf("%-6s %12s %12s %12s %12s %12s\n", "speed", "chain x rt", "floor x rt",
                "ffmpeg x rt", "chain out s", "chain/floor");
    int rc = 0;
    for (double speed : {1.0, 1.5, 0.75}) {
        double best = 1e30;
        int64_t outFrames = 0;
        for (int r = 0; r < reps; ++r) best = std::min(best, RunChain(signal, speed, &outFrames));
        const double chainRt = seconds / best;
        if (speed == 1.0) {
            std::printf("%-6.2f %12.0f %12s %12s %12.2f %12s\n", speed, chainRt, "-", "-",
                        static_cast<double>(outFrames) / kRate, "-");
            kva_bench::Row("time-stretch 1.0 pass-through (x real time)", chainRt,
                           kva_bench::kAbsent, kva_bench::kAbsent, "-");
            continue;
        }
        // Floor and peer in turn with the chain, each keeping its best run.
        double floorBest = 1e30, ffBest = 1e30;
        int64_t floorFrames = 0;
        for (int r = 0; r < reps; ++r) {
            floorBest = std::min(floorBest, RunFloor(signal, speed, &floorFrames));
            double t = RunFfmpeg(raw, speed);
            if (t < 0) {
                std::fprintf(stderr, "ffmpeg failed at speed %g\n", speed);
                rc = 1;
                break;
            }
            ffBest = std::min(ffBest, t);
        }
        const double floorRt = floorBest > 0 ? seconds / floorBest : 0;
        const double ffRt = ffBest < 1e29 ? seconds / ffBest : 0;
        std::printf("%-6.2f %12.1f %12.1f %12.1f %12.2f %12.3f\n", speed, chainRt, floorRt, ffRt,
                    static_cast<double>(outFrames) / kRate, floorRt > 0 ? chainRt / floorRt : 0.0);
        std::printf("       (floor produced %.2f s)\n", static_cast<double>(floorFrames) / kRate);
        char name[80];
        std::snprintf(name, sizeof(name), "time-stretch %.2g throughput (x real time)", speed);
        kva_bench::Row(name, chainRt, floorRt, ffRt, ">= 0.9 of floor");
    }
    unlink(raw);
    return rc;
}
