// Process-wide logging: one function for the whole library, one sink for the whole process.
#pragma once

#include <cstdint>

namespace kva_audioplayer {

class IPlayerLogger;

// Tag every library message carries.
extern const char* const kLogTag;

// Levels in use: 2 detail, 3 operation trace, 4 failures.
enum : int32_t { kLogDetail = 2, kLogTrace = 3, kLogError = 4 };

// The variable that turns on standard-error output for debugging, whatever the host configured:
// KVA_LOG=<minimum level>.
extern const char* const kLogEnvVariable;

typedef void (*LogSinkFn)(void* context, int32_t level, const char* tag, const char* message);

// printf-style; when no output would take it, nothing is formatted. Messages keep at most 2047
// chars.
int Log(int32_t level, const char* tag, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// True when a message of this level would go anywhere.
bool LogEnabled(int32_t level);

// The sink is called under a lock: once replaced or cleared, it is no longer running.
void SetLogSink(LogSinkFn fn, void* context);
// The host's logger as the process sink (null clears it). No player's release removes it.
void SetProcessLogger(IPlayerLogger* logger);
void SetLogMinLevel(int32_t level);
void SetLogDebugOutput(int32_t enabled);
int32_t GetLogMinLevel();

}  // namespace kva_audioplayer

// Shorthand used across the library.
#define KVA_LOG(level, ...) ::kva_audioplayer::Log((level), ::kva_audioplayer::kLogTag, __VA_ARGS__)
