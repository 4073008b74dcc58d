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

void Forward(void* avcl, int level, const char* fmt, va_list args) {
    if (level > AV_LOG_WARNING) return;  // info, verbose and debug chatter stays out
    if (!LogEnabled(kLogDetail)) return;
    char line[1024];
    int prefix = 1;
    av_log_format_line2(avcl, level, fmt, args, line, sizeof(line), &prefix);
    size_t n = strlen(line);
    while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = '\0';
    if (n > 0) Log(kLogDetail, kLogTag, "FFmpeg: %s", line);
}

}  // namespace

void InstallFFmpegLogForwarding() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(&Forward); });
}

}  // namespace kva_audioplayer
