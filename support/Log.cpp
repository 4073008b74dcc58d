#include "support/Log.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "KvaAudioPlayer.h"

namespace kva_audioplayer {

const char* const kLogTag = "QXAudioPlayer";

namespace {
// Read without the lock on every call; a change applies to later messages.
std::atomic<int32_t> gMinLevel{0};
std::atomic<int32_t> gDebugOutput{1};
std::atomic<int32_t> gSinkSet{0};

pthread_mutex_t gSinkLock = PTHREAD_MUTEX_INITIALIZER;
LogSinkFn gSinkFn = nullptr;
void* gSinkContext = nullptr;

void WriteAll(const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = ::write(STDERR_FILENO, data, len);
        if (n <= 0) return;
        data += n;
        len -= static_cast<size_t>(n);
    }
}
}  // namespace

int Log(int32_t level, const char* tag, const char* format, ...) {
    if (level < gMinLevel.load(std::memory_order_relaxed)) return 0;
    char message[2048];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    if (n < 0) message[0] = '\0';

    if (gDebugOutput.load(std::memory_order_relaxed) != 0) {
        WriteAll(message, strlen(message));
        WriteAll("\n", 1);
    }
    if (gSinkSet.load(std::memory_order_acquire) != 0) {
        pthread_mutex_lock(&gSinkLock);
        if (gSinkFn) gSinkFn(gSinkContext, level, tag, message);
        pthread_mutex_unlock(&gSinkLock);
    }
    return 0;
}

void SetLogSink(LogSinkFn fn, void* context) {
    pthread_mutex_lock(&gSinkLock);
    gSinkFn = fn;
    gSinkContext = context;
    gSinkSet.store(fn != nullptr ? 1 : 0, std::memory_order_release);
    pthread_mutex_unlock(&gSinkLock);
}

void SetLogMinLevel(int32_t level) { gMinLevel.store(level, std::memory_order_relaxed); }
void SetLogDebugOutput(int32_t enabled) { gDebugOutput.store(enabled, std::memory_order_relaxed); }
int32_t GetLogMinLevel() { return gMinLevel.load(std::memory_order_relaxed); }

CKVALogWrap::CKVALogWrap(IPlayerLogger* logger) : mLogger(logger) { SetLogSink(&Forward, this); }

CKVALogWrap::~CKVALogWrap() {
    pthread_mutex_lock(&gSinkLock);
    mLogger = nullptr;
    if (gSinkContext == this) {
        gSinkFn = nullptr;
        gSinkContext = nullptr;
        gSinkSet.store(0, std::memory_order_release);
    }
    pthread_mutex_unlock(&gSinkLock);
}

void CKVALogWrap::Forward(void* context, int32_t level, const char* tag, const char* message) {
    // Runs under the sink lock, so the wrapper cannot be torn down mid-call.
    auto* self = static_cast<CKVALogWrap*>(context);
    if (self->mLogger) self->mLogger->Log(level, tag, message);
}

}  // namespace kva_audioplayer
