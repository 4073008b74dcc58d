#include "common/ReferenceDecode.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>

namespace kva_test {

namespace {
std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}
}  // namespace

namespace {
bool RunReferenceDecode(const std::string& path, std::vector<float>* out,
                        const std::string& extraInputArgs) {
    out->clear();
    std::string cmd = "ffmpeg -hide_banner -nostdin -v error -threads 1 " + extraInputArgs +
                      " -i " + Quote(path) + " -f f32le -ar 44100 -ac 2 - 2>/dev/null";
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe) return false;
    float buf[4096];
    size_t n;
    while ((n = fread(buf, sizeof(float), 4096, pipe)) > 0) out->insert(out->end(), buf, buf + n);
    int status = pclose(pipe);
    if (status != 0) {
        out->clear();
        return false;
    }
    if (out->size() % 2) out->pop_back();
    return true;
}
}  // namespace

bool ReferenceDecodeF32Stereo(const std::string& path, std::vector<float>* out,
                              const std::string& extraInputArgs) {
    // A loaded machine can fail the fork or kill the child: try again before giving up.
    for (int attempt = 0; attempt < 3; ++attempt)
        if (RunReferenceDecode(path, out, extraInputArgs)) return true;
    return false;
}

const std::vector<float>& CachedReferenceF32Stereo(const std::string& path) {
    static std::mutex lock;
    static std::map<std::string, std::vector<float>> cache;
    std::lock_guard<std::mutex> g(lock);
    auto it = cache.find(path);
    if (it != cache.end()) return it->second;
    std::vector<float> v;
    ReferenceDecodeF32Stereo(path, &v);
    return cache.emplace(path, std::move(v)).first->second;
}

long FirstMismatch(const std::vector<float>& a, size_t aFrame, const std::vector<float>& b,
                   size_t bFrame, size_t frames, float tolerance) {
    for (size_t i = 0; i < frames; ++i) {
        size_t ia = (aFrame + i) * 2, ib = (bFrame + i) * 2;
        if (ia + 1 >= a.size() || ib + 1 >= b.size()) return static_cast<long>(i);
        for (int c = 0; c < 2; ++c) {
            float d = std::fabs(a[ia + c] - b[ib + c]);
            if (!(d <= tolerance)) return static_cast<long>(i);
        }
    }
    return -1;
}

long FindBlock(const std::vector<float>& ref, const std::vector<float>& probe, size_t frames,
               long from, long to) {
    if (from < 0) from = 0;
    for (long off = from; off < to; ++off) {
        if (FirstMismatch(ref, static_cast<size_t>(off), probe, 0, frames) < 0) return off;
    }
    return -1;
}

}  // namespace kva_test
