#include "support/FFmpegLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

#include "support/Log.h"

namespace kva_audioplayer {

namespace {

int LibraryLevel(int ffmpegLevel) {
    if (ffmpegLevel <= AV_LOG_FATAL) return kLogError;
    return ffmpegLevel <= AV_LOG_ERROR ? kLogTrace : kLogDetail;
}

void Forward(void* avcl, int level, const char* fmt, va_list args) {
    if (level > AV_LOG_WARNING) return;  // info, verbose and debug chatter stays out
    const int ours = LibraryLevel(level);
    if (!LogEnabled(ours)) return;
    char line[1024];
    int prefix = 1;
    av_log_format_line2(avcl, level, fmt, args, line, sizeof(line), &prefix);
    size_t n = strlen(line);
    while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = '\0';
    if (n > 0) Log(ours, kLogTag, "FFmpeg: %s", line);
}

std::mutex gLock;
bool gOptedOut = false;  // gLock
bool gInstalled = false; // gLock: installed once; not again after a host may have replaced it

}  // namespace

void InstallFFmpegLogForwarding() {
    std::lock_guard<std::mutex> g(gLock);
    if (gOptedOut || gInstalled) return;
    gInstalled = true;
    av_log_set_callback(&Forward);
}

void SetFFmpegLogForwarding(bool enabled) {
    std::lock_guard<std::mutex> g(gLock);
    gOptedOut = !enabled;
    if (enabled) {
        av_log_set_callback(&Forward);
        gInstalled = true;
    } else if (gInstalled) {
        av_log_set_callback(&av_log_default_callback);
    }
}

}  // namespace kva_audioplayer
