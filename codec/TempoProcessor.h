// Playback-speed change without pitch change: the interface the processing chain uses, its
// implementation (sample-format conversion, deferred tempo and clear requests) and the engine
// that drives libavfilter's atempo on packed float samples.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

struct AVAudioFifo;
struct AVFilterContext;
struct AVFilterGraph;
struct AVFrame;

namespace kva_audioplayer {

struct FilterLibrary;

class TempoProcessor {
public:
    virtual ~TempoProcessor() = default;
    // sampleFormat: packed AVSampleFormat 0..3 (U8, S16, S32, FLT). Returns 1 on success, 0 on failure.
    virtual int32_t Init(int32_t sampleFormat, int32_t sampleRate, int32_t channels,
                         int32_t blockFrames) = 0;
    // Accepted for 0.5 <= tempo <= 100 when the stretch can run; takes effect at the next
    // PutSamples.
    virtual bool SetTempo(double tempo) = 0;
    // Interleaved frames in; null data or 0 frames marks the end of input and flushes.
    virtual void PutSamples(const uint8_t* data, int32_t frames) = 0;
    // frames: in the room at out, out the frames delivered.
    virtual void ReceiveSamples(uint8_t* out, int32_t* frames) = 0;
    // Drops everything held; takes effect at the next PutSamples with data.
    virtual void Clear() = 0;
    virtual int32_t AvailableFrames() = 0;
};

// A new processor, or null when memory runs out. Deleted through the virtual destructor.
TempoProcessor* CreateTempoProcessor();

// Time-stretch on packed float frames through an abuffer -> atempo -> abuffersink graph. At tempo
// 1.0 input goes straight to the output queue. Not thread-safe: its owner serialises calls.
class TempoEngine {
public:
    // Output queue limit in frames: it cannot grow past this.
    static constexpr int32_t kMaxQueueFrames = 1073741823;

    TempoEngine();
    ~TempoEngine();
    TempoEngine(const TempoEngine&) = delete;
    TempoEngine& operator=(const TempoEngine&) = delete;

    bool Init(int32_t blockFrames, int32_t sampleRate, int32_t channels);
    // Remembered; applied by the next Put.
    void SetTempo(double tempo);
    // Drop the stretch state and the queued output at the next Put.
    void Reset();
    // False when the output queue could not take the result.
    bool Put(const float* data, int32_t frames);
    // End of input: everything the stretch still holds goes to the output queue. Idempotent until
    // the next Put.
    void Flush();
    // frames: in the room at out, out the frames read.
    void Receive(float* out, int32_t* frames);
    int32_t Available() const;
    double Tempo() const { return mTempo; }

private:
    void Release();
    void FreeGraph();
    bool BuildGraph(double atTempo);
    bool Drain();
    bool Queue(const float* data, int32_t frames);

    const FilterLibrary* mFilters = nullptr;  // loaded by the first graph built
    AVFilterGraph* mGraph = nullptr;
    AVFilterContext* mSrc = nullptr;
    AVFilterContext* mSink = nullptr;
    AVFrame* mInFrame = nullptr;
    AVFrame* mOutFrame = nullptr;
    AVAudioFifo* mQueue = nullptr;
    int32_t mSampleRate = 0;
    int32_t mChannels = 0;
    int32_t mBlockFrames = 0;
    int64_t mPts = 0;
    double mTempo = 1.0;         // the tempo the stretch runs at
    double mPendingTempo = 1.0;  // asked for, applied by the next Put
    bool mResetPending = false;
    bool mGraphDirty = true;     // the graph must be rebuilt before it takes input
    bool mGraphDeferred = false; // stands for a clean graph at the initial tempo, not built yet
    bool mFinished = false;      // end of input sent and drained
    bool mHasInput = false;      // the graph holds input that a flush would release
};

class TempoProcessorImpl : public TempoProcessor {
public:
    TempoProcessorImpl() = default;
    ~TempoProcessorImpl() override;

    int32_t Init(int32_t sampleFormat, int32_t sampleRate, int32_t channels,
                 int32_t blockFrames) override;
    bool SetTempo(double tempo) override;
    void PutSamples(const uint8_t* data, int32_t frames) override;
    void ReceiveSamples(uint8_t* out, int32_t* frames) override;
    void Clear() override;
    int32_t AvailableFrames() override;

private:
    std::mutex mLock;
    std::unique_ptr<TempoEngine> mEngine;
    std::vector<float> mConvert;  // empty for float input
    int32_t mBlockFrames = 0;
    int32_t mSampleFormat = 0;
    int32_t mChannels = 0;
    // Written by the player's threads without the lock, read by PutSamples under it.
    std::atomic<double> mRequestedTempo{1.0};
    std::atomic<bool> mClearPending{false};
    double mAppliedTempo = 1.0;
};

// Sample conversion between the packed integer formats and float (no rounding: truncation toward
// zero; out-of-range floats are saturated rather than wrapped).
void SamplesToFloat(int32_t sampleFormat, const uint8_t* in, float* out, int64_t samples);
void SamplesFromFloat(int32_t sampleFormat, const float* in, uint8_t* out, int64_t samples);
int32_t BytesPerSample(int32_t sampleFormat);  // 0 for formats the processor does not take

}  // namespace kva_audioplayer
