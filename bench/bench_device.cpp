// CPU and wake-ups of an open, playing WASAPI device fed silence in real time on the virtual
// sound system, next to what one wake-up per device period would give; and how long Pause and
// SetVolume take while the render loop runs.
//   bench_device [seconds]   (default 10)
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness/Row.h"
#include "device/Wasapi.h"
#include "platform/VirtualSoundSystem.h"
#include "support/Log.h"

using namespace kva_audioplayer;

namespace {

class SilenceObserver : public IKVADeviceObserver {
public:
    int32_t BufferFill(uint8_t* buffer, int32_t* length, int64_t*, int64_t) override {
        memset(buffer, 0, static_cast<size_t>(*length));
        fills.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    int32_t FrameFill(AudioFrame*) override { return -12; }
    void DeviceError(int32_t code) override { errors.fetch_add(1); lastError = code; }
    void OnDeviceNotify(int32_t, const char16_t*, const char16_t*) override {}
    std::atomic<int64_t> fills{0};
    std::atomic<int> errors{0};
    std::atomic<int> lastError{0};
};

double CpuSeconds() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Voluntary plus involuntary context switches of the threads whose name starts with prefix.
long ThreadSwitches(const std::string& prefix) {
    long total = 0;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return -1;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::string base = std::string("/proc/self/task/") + e->d_name;
        std::ifstream comm(base + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        std::ifstream status(base + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                total += atol(line.substr(line.find(':') + 1).c_str());
        }
    }
    closedir(dir);
    return total;
}

double Ms(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 10;
    SetLogDebugOutput(0);

    auto sys = std::make_shared<snd::VirtualSoundSystem>();
    sys->AddEndpoint(snd::VirtualSoundSystem::MakeEndpoint("bench", u"Bench Output"), true);
    snd::SetSoundSystem(sys);

    AudioDescription mix;
    memset(&mix, 0, sizeof(mix));
    mix.nTag = kAudioDescriptionTag;
    mix.nSampleRate = 44100;
    mix.nChannel = 2;
    mix.nSampleFormat = 3;
    mix.nBitsPerSample = 32;
    mix.nChannelLayout = 0x3;

    SilenceObserver obs;
    auto device = std::make_unique<Wasapi>(u"");
    device->Init();
    if (device->Open(1, &mix) != 0) {
        fprintf(stderr, "bench_device: Open failed (%d)\n", device->GetErrorCode());
        return 1;
    }
    device->SetObserver(&obs);
    device->Play();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // settle

    const unsigned framesPerPeriod = device->GetFramesPerPeriod();
    const double periodMs = framesPerPeriod * 1000.0 / 44100.0;
    const std::string kThread = "WasapiRenderThr";
    int64_t fills0 = obs.fills.load();
    long switches0 = ThreadSwitches(kThread);
    double cpu0 = CpuSeconds();
    auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    auto t1 = std::chrono::steady_clock::now();
    double cpu1 = CpuSeconds();
    long switches1 = ThreadSwitches(kThread);
    int64_t fills1 = obs.fills.load();

    double wall = std::chrono::duration<double>(t1 - t0).count();
    double expected = 1000.0 / periodMs;
    double fillsPerSec = (fills1 - fills0) / wall;
    double wakePerSec = (switches1 - switches0) / wall;
    double cpuPct = 100.0 * (cpu1 - cpu0) / wall;

    // Control operations while the loop runs.
    double worstPause = 0, worstVolume = 0;
    for (int i = 0; i < 20; ++i) {
        auto a = std::chrono::steady_clock::now();
        device->SetVolume(i % 2 ? 0.5f : 1.0f);
        auto b = std::chrono::steady_clock::now();
        device->Pause();
        auto c = std::chrono::steady_clock::now();
        worstVolume = std::max(worstVolume, Ms(b - a));
        worstPause = std::max(worstPause, Ms(c - b));
        device->Play();
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    device->Close();
    device.reset();
    snd::SetSoundSystem(nullptr);

    printf("device period            %.2f ms (%u frames at 44100 Hz)\n", periodMs, framesPerPeriod);
    printf("measured                 %.1f s\n", wall);
    printf("process CPU              %.3f %% of one core\n", cpuPct);
    printf("fills per second         %.1f\n", fillsPerSec);
    printf("render wake-ups / second %.1f\n", wakePerSec);
    printf("expected (1 per period)  %.1f\n", expected);
    printf("wake-ups / expected      %.2f\n", wakePerSec / expected);
    printf("fills / expected         %.2f\n", fillsPerSec / expected);
    printf("worst SetVolume while playing  %.2f ms\n", worstVolume);
    printf("worst Pause while playing      %.2f ms (one period %.2f ms)\n", worstPause, periodMs);
    printf("device errors            %d\n", obs.errors.load());
    // One wake-up per period is the limit of an event-driven device.
    kva_bench::Row("device wake-ups per period", wakePerSec / expected, kva_bench::kAbsent,
                   kva_bench::kAbsent, "<= 1.1");
    kva_bench::Row("idle device CPU % of a core", cpuPct, kva_bench::kAbsent, kva_bench::kAbsent, "-");
    return 0;
}
