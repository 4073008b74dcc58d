// Helpers shared by the codec tests: a recording stream observer and a full pull-through decode.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "codec/KVAAudioStream.h"
#include "source/KVAAudioLocalSource.h"

namespace kva_test {

class RecordingObserver : public kva_audioplayer::IKVAStreamObserver {
public:
    void OnBufferingStart(const char*, uint32_t) override {
        std::lock_guard<std::mutex> g(mLock);
        ++starts;
        events.push_back('S');
        mCond.notify_all();
    }
    void OnBufferingEnd(const char*, uint32_t) override {
        std::lock_guard<std::mutex> g(mLock);
        ++ends;
        events.push_back('E');
        mCond.notify_all();
    }
    struct StreamEvent {
        int32_t id, arg1, arg2;
    };
    void OnStreamEvent(int32_t id, const char*, int32_t arg1, int32_t arg2) override {
        std::lock_guard<std::mutex> g(mLock);
        streamEvents.push_back({id, arg1, arg2});
    }
    std::vector<StreamEvent> StreamEvents() {
        std::lock_guard<std::mutex> g(mLock);
        return streamEvents;
    }

    // Waits (bounded, so that a fault cannot hang the suite) until `n` buffering ends were seen.
    bool WaitEnds(int n, int maxSeconds = 20) {
        std::unique_lock<std::mutex> g(mLock);
        return mCond.wait_for(g, std::chrono::seconds(maxSeconds), [&] { return ends >= n; });
    }
    int Starts() {
        std::lock_guard<std::mutex> g(mLock);
        return starts;
    }
    int Ends() {
        std::lock_guard<std::mutex> g(mLock);
        return ends;
    }
    std::string Events() {
        std::lock_guard<std::mutex> g(mLock);
        return events;
    }

private:
    std::mutex mLock;
    std::condition_variable mCond;
    int starts = 0;
    int ends = 0;
    std::string events;
    std::vector<StreamEvent> streamEvents;
};

// 44.1 kHz stereo packed float, the format every comparison uses.
kva_audioplayer::AudioDescription StereoFloat44k();

struct PullResult {
    std::vector<float> samples;      // interleaved stereo
    std::vector<int32_t> codes;      // every non-zero, non-19 result in order
    std::vector<int64_t> timestamps; // timestamp of each delivered block
    std::vector<size_t> offsets;     // its first stereo frame in `samples`
    int formatChanges = 0;
    bool ended = false;              // 18 seen
    bool hung = false;               // gave up waiting for data
};

// Pulls everything out of a started stream with bufferFillFull in `chunkBytes` requests, as a
// device would. On 20 it re-applies the 44.1 kHz stereo float target; an error result is
// recorded and pulling goes on until end of stream or until `stopOnError`.
PullResult PullAll(kva_audioplayer::CKVAAudioStream& stream, int32_t chunkBytes = 4096,
                   bool stopOnError = false, size_t maxFrames = SIZE_MAX);

// Opens `path` through a local source into `stream`, sets the comparison target and starts it.
int32_t OpenAndStart(kva_audioplayer::CKVAAudioStream& stream,
                     kva_audioplayer::IKVASourceIO* source);

// A stream on a local file with its observer, in the order they must go (the stream reads from
// the source until it is destroyed).
struct FileStream {
    explicit FileStream(const std::string& file)
        : path(file), source(3, path.c_str()), stream(&obs) {}
    int32_t OpenAndStart() { return kva_test::OpenAndStart(stream, &source); }
    std::string path;
    RecordingObserver obs;
    kva_audioplayer::CKVAAudioLocalSource source;
    kva_audioplayer::CKVAAudioStream stream;
};

}  // namespace kva_test
