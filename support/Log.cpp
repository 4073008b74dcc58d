#include "support/Log.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "KvaAudioPlayer.h"

namespace kva_audioplayer {

const char* const kLogTag = "QXAudioPlayer";
const char* const kLogEnvVariable = "KVA_LOG";

namespace {
// Read without the lock on every call; a change applies to later messages. Standard error is a
// host's, so nothing goes there unless it asks.
std::atomic<int32_t> gMinLevel{0};
std::atomic<int32_t> gDebugOutput{0};
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
// The minimum level KVA_LOG asks for on standard error; above every level when unset or invalid.
int32_t EnvLevel() {
    static const int32_t level = [] {
        const char* text = std::getenv(kLogEnvVariable);
        char* end = nullptr;
        const long n = text ? std::strtol(text, &end, 10) : -1;
        if (!text || end == text || *end != '\0' || n < 0 || n > 1000)
            return std::numeric_limits<int32_t>::max();
        return static_cast<int32_t>(n);
    }();
    return level;
}

bool ToStderr(int32_t level) {
    return (gDebugOutput.load(std::memory_order_relaxed) != 0 &&
            level >= gMinLevel.load(std::memory_order_relaxed)) ||
           level >= EnvLevel();
}

bool ToSink(int32_t level) {
    return gSinkSet.load(std::memory_order_acquire) != 0 &&
           level >= gMinLevel.load(std::memory_order_relaxed);
}

void ForwardToLogger(void* context, int32_t level, const char* tag, const char* message) {
    static_cast<IPlayerLogger*>(context)->Log(level, tag, message);
}
}  // namespace

bool LogEnabled(int32_t level) { return ToStderr(level) || ToSink(level); }

int Log(int32_t level, const char* tag, const char* format, ...) {
    const bool toStderr = ToStderr(level), toSink = ToSink(level);
    if (!toStderr && !toSink) return 0;
    char message[2048];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    if (n < 0) message[0] = '\0';

    if (toStderr) {
        WriteAll(message, strlen(message));
        WriteAll("\n", 1);
    }
    if (toSink) {
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

void SetProcessLogger(IPlayerLogger* logger) {
    SetLogSink(logger ? &ForwardToLogger : nullptr, logger);
}

void SetLogMinLevel(int32_t level) { gMinLevel.store(level, std::memory_order_relaxed); }
void SetLogDebugOutput(int32_t enabled) { gDebugOutput.store(enabled, std::memory_order_relaxed); }
int32_t GetLogMinLevel() { return gMinLevel.load(std::memory_order_relaxed); }

}  // namespace kva_audioplayer
