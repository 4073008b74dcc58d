// Process-wide logging: one function for the whole library.
#pragma once

#include <cstdint>

namespace kva_audioplayer {

class IPlayerLogger;

// Tag every library message carries.
extern const char* const kLogTag;

// Levels in use: 2 detail, 3 operation trace, 4 failures.
enum : int32_t { kLogDetail = 2, kLogTrace = 3, kLogError = 4 };

typedef void (*LogSinkFn)(void* context, int32_t level, const char* tag, const char* message);

// printf-style; below the minimum level nothing is formatted. Messages keep at most 2047 chars.
int Log(int32_t level, const char* tag, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

void SetLogSink(LogSinkFn fn, void* context);
void SetLogMinLevel(int32_t level);
void SetLogDebugOutput(int32_t enabled);
int32_t GetLogMinLevel();

// Adapter that registers a host's IPlayerLogger as the process-wide sink.
class CKVALogWrap {
public:
    explicit CKVALogWrap(IPlayerLogger* logger);
    virtual ~CKVALogWrap();
    IPlayerLogger* Logger() const { return mLogger; }

    CKVALogWrap(const CKVALogWrap&) = delete;
    CKVALogWrap& operator=(const CKVALogWrap&) = delete;

private:
    static void Forward(void* context, int32_t level, const char* tag, const char* message);
    IPlayerLogger* mLogger;
};

}  // namespace kva_audioplayer

// Shorthand used across the library.
#define KVA_LOG(level, ...) ::kva_audioplayer::Log((level), ::kva_audioplayer::kLogTag, __VA_ARGS__)
