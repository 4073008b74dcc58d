#include "StreamTestUtil.h"

#include <cctype>
#include <cerrno>

// Counting replaces the allocator's entry points; glibc's own ones do the work.
namespace {
thread_local bool tCounting = false;
thread_local long tAllocations = 0;
inline void Note() { tAllocations += tCounting; }
}  // namespace
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
void kva_test::CountAllocations(bool) {}
#else
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void* malloc(size_t n) noexcept { return Note(), __libc_malloc(n); }
void* calloc(size_t n, size_t size) noexcept { return Note(), __libc_calloc(n, size); }
void* realloc(void* p, size_t n) noexcept { return Note(), __libc_realloc(p, n); }
void* memalign(size_t a, size_t n) noexcept { return Note(), __libc_memalign(a, n); }
void* aligned_alloc(size_t a, size_t n) noexcept { return Note(), __libc_memalign(a, n); }
int posix_memalign(void** p, size_t a, size_t n) noexcept {
    Note();
    return (*p = __libc_memalign(a, n)) ? 0 : ENOMEM;
}
}
void kva_test::CountAllocations(bool on) { if (on) tAllocations = 0; tCounting = on; }
#endif
long kva_test::Allocations() { return tAllocations; }

namespace kva_test {

int32_t OpenAndStart(CKVAAudioStream& stream, IKVASourceIO* source) {
    if (const int32_t r = stream.open(source, false)) return r;
    stream.setOutputDescription(StereoFloat44k());
    return stream.start();
}

PullResult PullAll(CKVAAudioStream& stream, int32_t chunkBytes, bool stopOnError, size_t maxFrames) {
    PullResult res;
    std::vector<uint8_t> buf(chunkBytes);
    for (int idle = 0; res.samples.size() / 2 < maxFrames;) {
        int32_t len = chunkBytes;
        int64_t ts = -1;
        const int32_t r = stream.bufferFillFull(buf.data(), &len, &ts);
        if (len > 0) {
            res.timestamps.push_back(ts);
            res.offsets.push_back(res.samples.size() / 2);
            const float* f = reinterpret_cast<const float*>(buf.data());
            res.samples.insert(res.samples.end(), f, f + len / sizeof(float));
        }
        if (r == kStreamNoData && len == 0) {
            if ((res.hung = ++idle > 20000)) break;  // 20 s without data: the stream hangs
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        idle = 0;
        if (r == kStreamNoData || r == 0) continue;
        res.codes.push_back(r);
        if ((res.hung = res.codes.size() > 10000)) break;  // errors without end
        if ((res.ended = r == kAudioPlayerEOS)) break;
        if (r == kStreamFormatChanged) {
            ++res.formatChanges;
            stream.setOutputDescription(StereoFloat44k());
        } else if (stopOnError) {
            break;
        }
    }
    return res;
}

std::string Slug(const char* file) {
    std::string n = file;
    for (char& ch : n) if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return n;
}

}  // namespace kva_test
