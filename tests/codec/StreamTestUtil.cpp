#include "StreamTestUtil.h"

#include <chrono>
#include <cstring>
#include <thread>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

namespace kva_test {

using namespace kva_audioplayer;

AudioDescription StereoFloat44k() {
    AudioDescription d{};
    d.nTag = kAudioDescriptionTag;
    d.nSampleRate = 44100;
    d.nChannel = 2;
    d.nSampleFormat = AV_SAMPLE_FMT_FLT;
    d.nChannelLayout = AV_CH_LAYOUT_STEREO;
    d.nBitsPerSample = 32;
    return d;
}

int32_t OpenAndStart(CKVAAudioStream& stream, IKVASourceIO* source) {
    int32_t r = stream.open(source, false);
    if (r != 0) return r;
    stream.setOutputDescription(StereoFloat44k());
    return stream.start();
}

PullResult PullAll(CKVAAudioStream& stream, int32_t chunkBytes, bool stopOnError,
                   size_t maxFrames) {
    PullResult res;
    std::vector<uint8_t> buf(chunkBytes);
    int idle = 0;
    while (res.samples.size() / 2 < maxFrames) {
        int32_t len = chunkBytes;
        int64_t ts = -1;
        int32_t r = stream.bufferFillFull(buf.data(), &len, &ts);
        if (len > 0) {
            size_t n = static_cast<size_t>(len) / sizeof(float);
            size_t old = res.samples.size();
            res.samples.resize(old + n);
            memcpy(res.samples.data() + old, buf.data(), n * sizeof(float));
            res.timestamps.push_back(ts);
            res.offsets.push_back(old / 2);
        }
        if (r == kStreamNoData && len == 0) {
            // Bounded wait: 20 s without data means the stream hangs.
            if (++idle > 20000) {
                res.hung = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        idle = 0;
        if (r == kStreamNoData) continue;
        if (r == 0) continue;
        res.codes.push_back(r);
        if (res.codes.size() > 10000) {  // errors without end: the stream never settles
            res.hung = true;
            break;
        }
        if (r == kAudioPlayerEOS) {
            res.ended = true;
            break;
        }
        if (r == kStreamFormatChanged) {
            ++res.formatChanges;
            stream.setOutputDescription(StereoFloat44k());
            continue;
        }
        if (stopOnError) break;
    }
    return res;
}

}  // namespace kva_test
