#include "AllocCounter.h"

#include <cerrno>
#include <cstddef>

// glibc's own entry points; the definitions below interpose for the whole process, FFmpeg's
// libraries included.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
}

namespace {
thread_local bool tOn = false;
thread_local long tCount = 0;
inline void Note() {
    if (tOn) ++tCount;
}
}  // namespace

namespace kva_bench {
void CountAllocations(bool on) { tOn = on; }
long AllocationsCounted() { return tCount; }
void ResetAllocations() { tCount = 0; }
}  // namespace kva_bench

extern "C" {
void* malloc(size_t n) {
    Note();
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t m) {
    Note();
    return __libc_calloc(n, m);
}
void* realloc(void* p, size_t n) {
    Note();
    return __libc_realloc(p, n);
}
void* memalign(size_t align, size_t n) {
    Note();
    return __libc_memalign(align, n);
}
void* aligned_alloc(size_t align, size_t n) {
    Note();
    return __libc_memalign(align, n);
}
int posix_memalign(void** out, size_t align, size_t n) {
    if (align < sizeof(void*) || (align & (align - 1))) return EINVAL;
    Note();
    void* p = __libc_memalign(align, n);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}
}
