// Child processes and waiting on conditions, for tests.
#pragma once

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

namespace kva_test {

// Runs `command` through the shell; its standard output without trailing line breaks. *status
// gets the exit code (-1 when it did not exit normally).
inline std::string RunCommand(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    char buf[4096];
    for (size_t n; p && (n = fread(buf, 1, sizeof(buf), p)) > 0;) out.append(buf, n);
    const int st = p ? pclose(p) : -1;
    if (status) *status = st != -1 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

// Polls pred until it holds or timeoutMs passed; the answer is pred's last value.
inline bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (; !pred(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (std::chrono::steady_clock::now() > end) return pred();
    return true;
}

// Writes a 44.1 kHz stereo 16-bit WAV of a sine with the ffmpeg command line; true on success.
inline bool MakeSineWav(const std::string& path, int seconds, int frequency) {
    int status = -1;
    RunCommand("ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i \"sine=frequency=" +
                   std::to_string(frequency) + ":sample_rate=44100:duration=" + std::to_string(seconds) +
                   "\" -ac 2 -c:a pcm_s16le \"" + path + "\"",
               &status);
    return status == 0;
}

}  // namespace kva_test
