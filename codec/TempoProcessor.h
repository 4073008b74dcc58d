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
    // Passes through at 1.0 with nothing held: blocks may bypass it.
    virtual bool Idle() = 0;
};

// A new processor, or null when memory runs out. Deleted through the virtual destructor.
TempoProcessor* CreateTempoProcessor();

// One abuffer -> atempo -> abuffersink graph at a fixed tempo. A graph never changes tempo in
// place (atempo asserts on some changes, across 2.0 for one): a change ends the running graph,
// its tail drained, and the audio goes on in a fresh graph built off the render thread.
struct TempoGraph {
    ~TempoGraph();
    bool Build(double tempo, int32_t sampleRate, int32_t channels);

    const FilterLibrary* filters = nullptr;
    AVFilterGraph* graph = nullptr;
    AVFilterContext* src = nullptr;
    AVFilterContext* sink = nullptr;
    double tempo = 1.0;
    int32_t sampleRate = 0;
    int32_t channels = 0;
    int64_t pts = 0;
    bool hasInput = false;
};

// Time-stretch on packed float frames. At tempo 1.0 input goes straight to the output queue.
// Not thread-safe: its owner serialises calls.
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
    // A fresh graph for the next one the engine needs; one of another format is refused.
    void Offer(std::unique_ptr<TempoGraph> graph);
    // Whether a fresh graph at this tempo waits to be used.
    bool HasPrepared(double tempo) const;
    // Graphs the engine is done with, for the caller to free off the render thread.
    void TakeRetired(std::vector<std::unique_ptr<TempoGraph>>* out);
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
    int32_t SampleRate() const { return mSampleRate; }
    int32_t Channels() const { return mChannels; }

    // Graphs built inside Put (on the render thread), process-wide: only when none was prepared.
    static int64_t RenderThreadBuilds();

private:
    void Release();
    void Retire(std::unique_ptr<TempoGraph>* graph);
    bool Drain(TempoGraph& g, bool* ended);
    bool Queue(const float* data, int32_t frames);

    std::unique_ptr<TempoGraph> mCurrent;   // takes the input while the tempo is not 1.0
    std::unique_ptr<TempoGraph> mPrepared;  // fresh, built off the render thread
    std::vector<std::unique_ptr<TempoGraph>> mRetired;
    AVFrame* mInFrame = nullptr;
    AVFrame* mOutFrame = nullptr;
    AVAudioFifo* mQueue = nullptr;
    int32_t mSampleRate = 0;
    int32_t mChannels = 0;
    int32_t mBlockFrames = 0;
    double mTempo = 1.0;         // the tempo the stretch runs at
    double mPendingTempo = 1.0;  // asked for, applied by the next Put
    bool mResetPending = false;
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
    bool Idle() override;

private:
    // Builds a graph at the requested tempo, unless one waits already (caller's thread).
    void Prepare();
    // Frees, outside the lock, what the engine is done with.
    void FreeRetired();

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
