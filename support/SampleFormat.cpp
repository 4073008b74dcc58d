#include "support/SampleFormat.h"

extern "C" {
#include <libavutil/samplefmt.h>
}

namespace kva_audioplayer {

constexpr bool Same(KVASampleFormat a, AVSampleFormat b) { return int(a) == int(b); }
static_assert(Same(kSampleFormatNone, AV_SAMPLE_FMT_NONE) &&
              Same(kSampleFormatU8, AV_SAMPLE_FMT_U8) &&
              Same(kSampleFormatS16, AV_SAMPLE_FMT_S16) &&
              Same(kSampleFormatS32, AV_SAMPLE_FMT_S32) &&
              Same(kSampleFormatFlt, AV_SAMPLE_FMT_FLT) &&
              Same(kSampleFormatDbl, AV_SAMPLE_FMT_DBL) &&
              Same(kSampleFormatU8P, AV_SAMPLE_FMT_U8P) &&
              Same(kSampleFormatS16P, AV_SAMPLE_FMT_S16P) &&
              Same(kSampleFormatS32P, AV_SAMPLE_FMT_S32P) &&
              Same(kSampleFormatFltP, AV_SAMPLE_FMT_FLTP) &&
              Same(kSampleFormatDblP, AV_SAMPLE_FMT_DBLP) &&
              Same(kSampleFormatS64, AV_SAMPLE_FMT_S64) &&
              Same(kSampleFormatS64P, AV_SAMPLE_FMT_S64P),
              "sample-format names follow FFmpeg's numbering");

int32_t SampleFormatBits(int32_t format) {
    switch (format) {
    case kSampleFormatU8:
    case kSampleFormatU8P:
        return 8;
    case kSampleFormatS32:
    case kSampleFormatFlt:
    case kSampleFormatS32P:
    case kSampleFormatFltP:
        return 32;
    case kSampleFormatDbl:
    case kSampleFormatDblP:
        return 64;
    default:
        return 16;
    }
}

bool IsFloatSampleFormat(int32_t format) {
    return format == kSampleFormatFlt || format == kSampleFormatDbl ||
           format == kSampleFormatFltP || format == kSampleFormatDblP;
}

int32_t PackedSampleFormat(int32_t format) {
    return (format >= kSampleFormatU8P && format <= kSampleFormatDblP) ? format - kSampleFormatU8P
                                                                       : format;
}

}  // namespace kva_audioplayer
