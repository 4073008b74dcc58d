// Reference decodes made by the ffmpeg command line, for sample-exact comparisons.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace kva_test {

// Decodes `path` with `ffmpeg -i path -f f32le -ar 44100 -ac 2` into interleaved stereo floats;
// false, with `out` empty, when ffmpeg fails.
inline bool ReferenceDecodeF32Stereo(const std::string& path, std::vector<float>* out) {
    std::string quoted;
    for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    const std::string cmd = "ffmpeg -hide_banner -nostdin -v error -threads 1 -i '" +
                            quoted + "' -f f32le -ar 44100 -ac 2 - 2>/dev/null";
    // A loaded machine can fail the fork or kill the child: try again before giving up.
    for (int attempt = 0; attempt < 3; ++attempt) {
        out->clear();
        FILE* pipe = popen(cmd.c_str(), "r");
        if (!pipe) continue;
        float buf[4096];
        for (size_t n; (n = fread(buf, sizeof(float), 4096, pipe)) > 0;) out->insert(out->end(), buf, buf + n);
        if (pclose(pipe) == 0) {
            out->resize(out->size() / 2 * 2);
            return true;
        }
    }
    out->clear();
    return false;
}

// The same, made once per path for the life of the process.
inline const std::vector<float>& CachedReferenceF32Stereo(const std::string& path) {
    static std::mutex lock;
    static std::map<std::string, std::vector<float>> cache;
    std::lock_guard<std::mutex> g(lock);
    if (cache.count(path)) return cache[path];
    ReferenceDecodeF32Stereo(path, &cache[path]);
    return cache[path];
}

// The first of `frames` stereo frames (a from aFrame, b from bFrame) whose samples differ by more
// than `tolerance`, or -1 when all match. Frames past either end count as a mismatch.
inline long FirstMismatch(const std::vector<float>& a, size_t aFrame, const std::vector<float>& b, size_t bFrame,
                          size_t frames, float tolerance = 0.0f) {
    for (size_t i = 0; i < frames; ++i) {
        const size_t ia = (aFrame + i) * 2, ib = (bFrame + i) * 2;
        if (ia + 1 >= a.size() || ib + 1 >= b.size() || !(std::fabs(a[ia] - b[ib]) <= tolerance) ||
            !(std::fabs(a[ia + 1] - b[ib + 1]) <= tolerance))
            return long(i);
    }
    return -1;
}

// The frame offset in `ref`, within [from, to), where the first `frames` frames of `probe`
// match exactly; -1 when none does.
inline long FindBlock(const std::vector<float>& ref, const std::vector<float>& probe, size_t frames, long from,
                      long to) {
    for (long off = std::max(from, 0L); off < to; ++off)
        if (FirstMismatch(ref, size_t(off), probe, 0, frames) < 0) return off;
    return -1;
}

}  // namespace kva_test
