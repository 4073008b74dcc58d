// Opens and decodes arbitrary bytes through an in-memory byte source.
#include <cstdlib>

#include "codec/KVAFFDecoder.h"
#include "common/MemorySourceIO.h"
#include "support/Log.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

using namespace kva_audioplayer;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    av_log_set_level(AV_LOG_QUIET);
    // Demuxers size some allocations from header fields (a WAV LIST chunk of 4 GB is taken at
    // its word); FFmpeg's own cap keeps such inputs from reading as our out-of-memory.
    av_max_alloc(256 << 20);
    SetLogDebugOutput(0);
    SetLogMinLevel(100);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kva_test::MemorySourceIO source(std::vector<uint8_t>(data, data + size));
    CKVAFFDecoder decoder;
    if (decoder.open(&source, 0.0f) == kDecOk) {
        const AudioDescription target{kAudioDescriptionTag, 44100, 2, AV_SAMPLE_FMT_FLT, AV_CH_LAYOUT_STEREO, 32, 0};
        decoder.setOutputDescription(target);
        AudioFrame frame{};
        frame.nCapacity = 16384;
        frame.pData = static_cast<uint8_t*>(malloc(frame.nCapacity));
        const bool seekHalfway = size > 0 && (data[size - 1] & 1);
        for (int i = 0; i < 4000; ++i) {
            frame.nLen = frame.nFlags = frame.nDuration = 0;
            frame.nTimestamp = -1;
            int32_t r = decoder.decode(&frame);
            if (r == kDecFormatChanged) {
                decoder.setOutputDescription(target);
                continue;
            }
            // A target anywhere, to the end and past it: the frame across it is cut to the sample.
            if (i == 3 && seekHalfway && decoder.getDuration() > 0)
                decoder.seek(decoder.getDuration() * (size > 1 ? data[size - 2] : 128) / 200);
            if (r != 0 && r != AVERROR_INVALIDDATA) break;
        }
        free(frame.pData);
    }
    decoder.close();
    return 0;
}
