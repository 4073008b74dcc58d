// The codec tests' harness: a recording stream observer, a stream on a file, a device-like pull
// of everything a stream gives, an allocation counter.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "codec/CKVAAudioProcess.h"
#include "codec/KVAAudioNormlizer.h"
#include "codec/KVAAudioStream.h"
#include "codec/KVAFFDecoder.h"
#include "codec/TempoProcessor.h"
#include "common/MemorySourceIO.h"
#include "common/ReferenceDecode.h"
#include "common/TestIFProcessor.h"
#include "common/TestPaths.h"
#include "common/TestProcess.h"
#include "source/KVAAudioLocalSource.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

namespace kva_test {

class RecordingObserver : public kva_audioplayer::IKVAStreamObserver {
public:
    struct StreamEvent {
        int32_t id, arg1, arg2;
    };
    void OnBufferingStart(const char*, uint32_t) override { Add('S'); }
    void OnBufferingEnd(const char*, uint32_t) override { Add('E'); }
    void OnStreamEvent(int32_t id, const char*, int32_t arg1, int32_t arg2) override {
        std::lock_guard<std::mutex> g(mLock);
        mStreamEvents.push_back({id, arg1, arg2});
    }
    std::vector<StreamEvent> StreamEvents() { std::lock_guard<std::mutex> g(mLock); return mStreamEvents; }
    // The buffering starts and ends in order, as 'S' and 'E'.
    std::string Events() { std::lock_guard<std::mutex> g(mLock); return mEvents; }
    int Starts() { return Count(Events(), 'S'); }
    int Ends() { return Count(Events(), 'E'); }
    bool WaitEnds(int n) {
        std::unique_lock<std::mutex> g(mLock);
        return mCond.wait_for(g, std::chrono::seconds(20), [&] { return Count(mEvents, 'E') >= n; });
    }

private:
    static int Count(const std::string& s, char c) { return std::count(s.begin(), s.end(), c); }
    void Add(char c) {
        std::lock_guard<std::mutex> g(mLock);
        mEvents.push_back(c);
        mCond.notify_all();
    }
    std::mutex mLock;
    std::condition_variable mCond;
    std::string mEvents;
    std::vector<StreamEvent> mStreamEvents;
};

// Stereo (or `channels` with a stereo mask) at `rate` in `fmt`.
inline kva_audioplayer::AudioDescription Describe(int fmt, int rate = 44100, int channels = 2) {
    return {kva_audioplayer::kAudioDescriptionTag, rate, channels, fmt, AV_CH_LAYOUT_STEREO,
            av_get_bytes_per_sample(static_cast<AVSampleFormat>(fmt)) * 8, 0};
}
// The format every comparison uses.
inline kva_audioplayer::AudioDescription StereoFloat44k(int rate = 44100) { return Describe(AV_SAMPLE_FMT_FLT, rate); }

// Zero crossings per second of one channel over frames [from, to): a pitch measure that ignores
// rate and level.
inline double CrossingsPerSecond(const std::vector<float>& s, int channels, int channel, int rate, size_t from = 0,
                                 size_t to = SIZE_MAX) {
    long n = 0;
    to = std::min(to, s.size() / channels);
    for (size_t f = from + 1; f < to; ++f) n += (s[(f - 1) * channels + channel] < 0) != (s[f * channels + channel] < 0);
    return to > from ? n * double(rate) / (to - from) : 0;
}

struct PullResult {
    std::vector<float> samples;      // interleaved stereo
    std::vector<int32_t> codes;      // every non-zero, non-19 result in order
    std::vector<int64_t> timestamps; // timestamp of each delivered block
    std::vector<size_t> offsets;     // its first stereo frame in `samples`
    int formatChanges = 0;
    bool ended = false;              // 18 seen
    bool hung = false;               // gave up waiting for data
};

// Pulls everything out of a started stream in `chunkBytes` requests, as a device would: on a
// format change it re-applies the comparison target; an error is recorded and pulling goes on
// until the end or until `stopOnError`.
PullResult PullAll(kva_audioplayer::CKVAAudioStream& stream, int32_t chunkBytes = 4096, bool stopOnError = false,
                   size_t maxFrames = SIZE_MAX);

// Opens `source` into `stream`, sets the comparison target and starts it.
int32_t OpenAndStart(kva_audioplayer::CKVAAudioStream& stream, kva_audioplayer::IKVASourceIO* source);

// A stream on a local file with its observer, in the order they must go (the stream reads from
// the source until it is destroyed).
struct FileStream {
    explicit FileStream(const std::string& file) : path(file), source(3, path.c_str()), stream(&obs) {}
    int32_t OpenAndStart() { return kva_test::OpenAndStart(stream, &source); }
    // Opened with the comparison target, not started.
    int32_t Open(bool silent = false) {
        const int32_t r = stream.open(&source, silent);
        stream.setOutputDescription(StereoFloat44k());
        return r;
    }
    std::string path;
    RecordingObserver obs;
    kva_audioplayer::CKVAAudioLocalSource source;
    kva_audioplayer::CKVAAudioStream stream;
};

// The calling thread's allocations (the whole malloc family) since counting was turned on.
// Sanitizer builds own the allocator and count nothing.
void CountAllocations(bool on);
long Allocations();

// A file name as a test name.
std::string Slug(const char* file);

}  // namespace kva_test

// The folder's tests name the engine and the harness unqualified.
using namespace kva_audioplayer;
using namespace kva_test;
