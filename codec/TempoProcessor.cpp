#include "codec/TempoProcessor.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "codec/FilterLibrary.h"

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
}

namespace kva_audioplayer {

namespace {

constexpr double kMinTempo = 0.5;
constexpr double kMaxTempo = 100.0;
constexpr const char* kTempoFilterName = "tempo";
// The filter's fragment window is rate / 24 samples: below this it has none (and asserts).
constexpr int32_t kMinTempoRate = 24;
// Graphs set aside for a control call to free; more are freed at once.
constexpr size_t kMaxRetired = 4;

template <typename T>
T Saturate(float f, double lo, double hi) {
    // Truncation toward zero as the conversion has always done; NaN becomes 0.
    if (!(f == f)) return 0;
    double d = static_cast<double>(f);
    if (d <= lo) return static_cast<T>(lo);
    if (d >= hi) return static_cast<T>(hi);
    return static_cast<T>(d);
}

}  // namespace

int32_t BytesPerSample(int32_t sampleFormat) {
    switch (sampleFormat) {
        case AV_SAMPLE_FMT_U8: return 1;
        case AV_SAMPLE_FMT_S16: return 2;
        case AV_SAMPLE_FMT_S32: return 4;
        case AV_SAMPLE_FMT_FLT: return 4;
        default: return 0;
    }
}

void SamplesToFloat(int32_t sampleFormat, const uint8_t* in, float* out, int64_t samples) {
    switch (sampleFormat) {
        case AV_SAMPLE_FMT_U8:
            for (int64_t i = 0; i < samples; ++i) out[i] = (static_cast<float>(in[i]) - 128.0f) / 128.0f;
            break;
        case AV_SAMPLE_FMT_S16: {
            const int16_t* s = reinterpret_cast<const int16_t*>(in);
            for (int64_t i = 0; i < samples; ++i) out[i] = static_cast<float>(s[i]) / 32768.0f;
            break;
        }
        case AV_SAMPLE_FMT_S32: {
            const int32_t* s = reinterpret_cast<const int32_t*>(in);
            for (int64_t i = 0; i < samples; ++i) out[i] = static_cast<float>(s[i]) / 2147483648.0f;
            break;
        }
        case AV_SAMPLE_FMT_FLT:
            std::memcpy(out, in, static_cast<size_t>(samples) * sizeof(float));
            break;
        default:
            break;
    }
}

void SamplesFromFloat(int32_t sampleFormat, const float* in, uint8_t* out, int64_t samples) {
    switch (sampleFormat) {
        case AV_SAMPLE_FMT_U8:
            for (int64_t i = 0; i < samples; ++i) out[i] = Saturate<uint8_t>(in[i] * 128.0f + 128.0f, 0, 255);
            break;
        case AV_SAMPLE_FMT_S16: {
            int16_t* s = reinterpret_cast<int16_t*>(out);
            for (int64_t i = 0; i < samples; ++i) s[i] = Saturate<int16_t>(in[i] * 32768.0f, -32768, 32767);
            break;
        }
        case AV_SAMPLE_FMT_S32: {
            int32_t* s = reinterpret_cast<int32_t*>(out);
            for (int64_t i = 0; i < samples; ++i)
                s[i] = Saturate<int32_t>(in[i] * 2147483648.0f, -2147483648.0, 2147483647.0);
            break;
        }
        case AV_SAMPLE_FMT_FLT:
            std::memcpy(out, in, static_cast<size_t>(samples) * sizeof(float));
            break;
        default:
            break;
    }
}

// ---------------------------------------------------------------------------------------------
// TempoEngine

static std::atomic<int64_t> gRenderThreadBuilds{0};

TempoGraph::~TempoGraph() {
    if (graph) filters->graph_free(&graph);
}

bool TempoGraph::Build(double atTempo, int32_t rate, int32_t channelCount) {
    filters = LoadFilterLibrary();
    if (!filters || rate < kMinTempoRate || channelCount <= 0) return false;
    const FilterLibrary& f = *filters;
    tempo = atTempo;
    sampleRate = rate;
    channels = channelCount;
    graph = f.graph_alloc();
    if (!graph) return false;
    // atempo is not slice-threaded; a thread pool per graph would only cost threads.
    graph->nb_threads = 1;

    bool ok = false;
    AVBufferSrcParameters* par = nullptr;
    AVFilterContext* stretch = nullptr;
    char tempoArgs[64];
    static const enum AVSampleFormat kSinkFormats[] = {AV_SAMPLE_FMT_FLT, AV_SAMPLE_FMT_NONE};
    do {
        src = f.graph_alloc_filter(graph, f.get_by_name("abuffer"), "in");
        if (!src) break;
        par = f.buffersrc_parameters_alloc();
        if (!par) break;
        par->format = AV_SAMPLE_FMT_FLT;
        par->sample_rate = rate;
        par->time_base = AVRational{1, rate};
        av_channel_layout_default(&par->ch_layout, channelCount);
        if (f.buffersrc_parameters_set(src, par) < 0) break;
        if (f.init_str(src, nullptr) < 0) break;
        std::snprintf(tempoArgs, sizeof(tempoArgs), "tempo=%.17g", atTempo);
        if (f.graph_create_filter(&stretch, f.get_by_name("atempo"), kTempoFilterName, tempoArgs,
                                  nullptr, graph) < 0)
            break;
        if (f.graph_create_filter(&sink, f.get_by_name("abuffersink"), "out", nullptr, nullptr,
                                  graph) < 0)
            break;
        if (av_opt_set_int_list(sink, "sample_fmts", kSinkFormats, AV_SAMPLE_FMT_NONE,
                                AV_OPT_SEARCH_CHILDREN) < 0)
            break;
        if (f.link(src, 0, stretch, 0) < 0) break;
        if (f.link(stretch, 0, sink, 0) < 0) break;
        if (f.graph_config(graph, nullptr) < 0) break;
        ok = true;
    } while (false);
    if (par) {
        av_channel_layout_uninit(&par->ch_layout);
        av_free(par);
    }
    if (!ok && graph) f.graph_free(&graph);
    return ok;
}

static std::unique_ptr<TempoGraph> NewGraph(double tempo, int32_t rate, int32_t channels) {
    std::unique_ptr<TempoGraph> g(new (std::nothrow) TempoGraph());
    if (g && !g->Build(tempo, rate, channels)) g.reset();
    return g;
}

TempoEngine::TempoEngine() = default;

TempoEngine::~TempoEngine() { Release(); }

int64_t TempoEngine::RenderThreadBuilds() { return gRenderThreadBuilds.load(); }

void TempoEngine::Release() {
    mCurrent.reset();
    mPrepared.reset();
    mRetired.clear();
    av_frame_free(&mInFrame);
    av_frame_free(&mOutFrame);
    if (mQueue) {
        av_audio_fifo_free(mQueue);
        mQueue = nullptr;
    }
}

bool TempoEngine::Init(int32_t blockFrames, int32_t sampleRate, int32_t channels) {
    Release();
    mResetPending = false;
    if (blockFrames <= 0 || sampleRate < kMinTempoRate || channels <= 0 || channels > 64) return false;
    mBlockFrames = blockFrames;
    mSampleRate = sampleRate;
    mChannels = channels;
    mRetired.reserve(kMaxRetired);
    bool ok = false;
    do {
        mInFrame = av_frame_alloc();
        mOutFrame = av_frame_alloc();
        if (!mInFrame || !mOutFrame) break;
        av_channel_layout_default(&mInFrame->ch_layout, channels);
        mInFrame->format = AV_SAMPLE_FMT_FLT;
        mInFrame->sample_rate = sampleRate;
        mInFrame->nb_samples = blockFrames;
        if (av_frame_get_buffer(mInFrame, 0) < 0) break;
        mQueue = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLT, channels, blockFrames);
        if (!mQueue) break;
        // The graphs come with the speed changes that need them.
        mTempo = mPendingTempo;
        ok = true;
    } while (false);
    if (!ok) Release();
    return ok;
}

void TempoEngine::SetTempo(double tempo) { mPendingTempo = tempo; }

void TempoEngine::Offer(std::unique_ptr<TempoGraph> graph) {
    if (!graph) return;
    if (graph->sampleRate != mSampleRate || graph->channels != mChannels) {
        Retire(&graph);
        return;
    }
    Retire(&mPrepared);
    mPrepared = std::move(graph);
}

bool TempoEngine::HasPrepared(double tempo) const { return mPrepared && mPrepared->tempo == tempo; }

void TempoEngine::TakeRetired(std::vector<std::unique_ptr<TempoGraph>>* out) {
    for (auto& g : mRetired) out->push_back(std::move(g));
    mRetired.clear();
}

void TempoEngine::Retire(std::unique_ptr<TempoGraph>* graph) {
    if (!*graph) return;
    // Freed by the next control call; only when that falls behind is it freed here.
    if (mRetired.size() < mRetired.capacity()) mRetired.push_back(std::move(*graph));
    else graph->reset();
}

void TempoEngine::Reset() { mResetPending = true; }

bool TempoEngine::Queue(const float* data, int32_t frames) {
    if (frames <= 0) return true;
    if (static_cast<int64_t>(av_audio_fifo_size(mQueue)) + frames > kMaxQueueFrames) return false;
    void* planes[1] = {const_cast<float*>(data)};
    return av_audio_fifo_write(mQueue, planes, frames) == frames;
}

bool TempoEngine::Drain(TempoGraph& g, bool* ended) {
    bool ok = true;
    for (;;) {
        int ret = g.filters->buffersink_get_frame(g.sink, mOutFrame);
        if (ret < 0) {
            // EAGAIN: the filter wants more input; anything else ends this graph.
            if (ret != AVERROR(EAGAIN)) *ended = true;
            if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) ok = false;
            break;
        }
        if (!Queue(reinterpret_cast<const float*>(mOutFrame->data[0]), mOutFrame->nb_samples)) ok = false;
        av_frame_unref(mOutFrame);
    }
    return ok;
}

void TempoEngine::Flush() {
    if (!mCurrent) return;
    if (mCurrent->hasInput &&
        mCurrent->filters->buffersrc_add_frame_flags(mCurrent->src, nullptr, 0) >= 0) {
        bool ended = false;
        Drain(*mCurrent, &ended);
    }
    Retire(&mCurrent);
}

bool TempoEngine::Put(const float* data, int32_t frames) {
    if (!mQueue) return false;
    if (mResetPending) {
        mResetPending = false;
        Retire(&mCurrent);
        av_audio_fifo_reset(mQueue);
    }
    if (mPendingTempo != mTempo) {
        // The stretched tail comes out before the audio at the new tempo.
        Flush();
        mTempo = mPendingTempo;
    }
    if (!data || frames <= 0) {
        if (!data) Flush();
        return true;
    }
    if (mTempo == 1.0) return Queue(data, frames);

    if (!mCurrent) {
        if (HasPrepared(mTempo)) {
            mCurrent = std::move(mPrepared);
        } else {
            ++gRenderThreadBuilds;
            mCurrent = NewGraph(mTempo, mSampleRate, mChannels);
            if (!mCurrent) return false;
        }
    }
    TempoGraph& g = *mCurrent;
    bool ok = true;
    int32_t done = 0;
    while (done < frames) {
        int32_t piece = std::min(mBlockFrames, frames - done);
        mInFrame->nb_samples = mBlockFrames;
        if (av_frame_make_writable(mInFrame) < 0) return false;
        std::memcpy(mInFrame->data[0], data + static_cast<int64_t>(done) * mChannels,
                    static_cast<size_t>(piece) * mChannels * sizeof(float));
        mInFrame->nb_samples = piece;
        mInFrame->pts = g.pts;
        g.pts += piece;
        if (g.filters->buffersrc_add_frame_flags(g.src, mInFrame, AV_BUFFERSRC_FLAG_KEEP_REF) < 0) {
            Retire(&mCurrent);
            return false;
        }
        g.hasInput = true;
        bool ended = false;
        if (!Drain(g, &ended)) ok = false;
        if (ended) {
            Retire(&mCurrent);
            return false;
        }
        done += piece;
    }
    return ok;
}

void TempoEngine::Receive(float* out, int32_t* frames) {
    if (!frames) return;
    if (!mQueue || !out || *frames <= 0) {
        *frames = 0;
        return;
    }
    int32_t n = std::min(*frames, av_audio_fifo_size(mQueue));
    void* planes[1] = {out};
    int got = n > 0 ? av_audio_fifo_read(mQueue, planes, n) : 0;
    *frames = got > 0 ? got : 0;
}

int32_t TempoEngine::Available() const { return mQueue ? av_audio_fifo_size(mQueue) : 0; }

// ---------------------------------------------------------------------------------------------
// TempoProcessorImpl

TempoProcessor* CreateTempoProcessor() {
    try {
        return new TempoProcessorImpl();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

TempoProcessorImpl::~TempoProcessorImpl() {
    std::lock_guard<std::mutex> guard(mLock);
    mEngine.reset();
    mConvert.clear();
}

int32_t TempoProcessorImpl::Init(int32_t sampleFormat, int32_t sampleRate, int32_t channels,
                                 int32_t blockFrames) {
    std::unique_ptr<TempoEngine> old;
    std::lock_guard<std::mutex> guard(mLock);
    old = std::move(mEngine);
    mConvert.clear();
    mConvert.shrink_to_fit();
    // Only the packed formats have a conversion; anything else would be stretched as garbage.
    if (BytesPerSample(sampleFormat) == 0 || channels <= 0 || blockFrames <= 0) return 0;

    std::unique_ptr<TempoEngine> engine(new (std::nothrow) TempoEngine());
    if (!engine || !engine->Init(blockFrames, sampleRate, channels)) return 0;
    if (sampleFormat != AV_SAMPLE_FMT_FLT) {
        try {
            mConvert.assign(static_cast<size_t>(blockFrames) * channels, 0.0f);
        } catch (const std::bad_alloc&) {
            return 0;
        }
    }
    mEngine = std::move(engine);
    // The new engine runs at 1.0: the tempo asked for so far applies from the next push.
    mAppliedTempo = 1.0;
    mBlockFrames = blockFrames;
    mSampleFormat = sampleFormat;
    mChannels = channels;
    return 1;
}

void TempoProcessorImpl::FreeRetired() {
    std::vector<std::unique_ptr<TempoGraph>> done;
    {
        std::lock_guard<std::mutex> guard(mLock);
        if (mEngine) mEngine->TakeRetired(&done);
    }
}

void TempoProcessorImpl::Prepare() {
    const double tempo = mRequestedTempo.load(std::memory_order_relaxed);
    int32_t rate = 0, channels = 0;
    {
        std::lock_guard<std::mutex> guard(mLock);
        if (tempo == 1.0 || !mEngine || mEngine->HasPrepared(tempo)) return;
        rate = mEngine->SampleRate();
        channels = mEngine->Channels();
    }
    // Built without the lock, which the render thread takes for every block.
    std::unique_ptr<TempoGraph> graph = NewGraph(tempo, rate, channels);
    std::lock_guard<std::mutex> guard(mLock);
    if (mEngine) mEngine->Offer(std::move(graph));
}

bool TempoProcessorImpl::SetTempo(double tempo) {
    if (!(tempo >= kMinTempo && tempo <= kMaxTempo)) return false;
    if (tempo != 1.0 && !LoadFilterLibrary()) return false;
    mRequestedTempo.store(tempo, std::memory_order_relaxed);
    Prepare();
    FreeRetired();
    return true;
}

void TempoProcessorImpl::Clear() {
    mClearPending.store(true, std::memory_order_relaxed);
    // The running graph is dropped by the reset: the one after it is ready before it is needed.
    Prepare();
    FreeRetired();
}

bool TempoProcessorImpl::Idle() {
    std::lock_guard<std::mutex> guard(mLock);
    return !mEngine || (mRequestedTempo.load(std::memory_order_relaxed) == 1.0 &&
                        mAppliedTempo == 1.0 && mEngine->Available() == 0);
}

void TempoProcessorImpl::PutSamples(const uint8_t* data, int32_t frames) {
    std::lock_guard<std::mutex> guard(mLock);
    if (!mEngine) return;
    if (!data || frames <= 0) {
        mEngine->Flush();
        return;
    }
    double requested = mRequestedTempo.load(std::memory_order_relaxed);
    if (requested != mAppliedTempo) {
        mEngine->SetTempo(requested);
        mAppliedTempo = requested;
    }
    if (mClearPending.exchange(false, std::memory_order_relaxed)) mEngine->Reset();

    const int64_t frameBytes = static_cast<int64_t>(BytesPerSample(mSampleFormat)) * mChannels;
    int32_t done = 0;
    while (done < frames) {
        int32_t piece = std::min(mBlockFrames, frames - done);
        const uint8_t* src = data + done * frameBytes;
        if (mSampleFormat == AV_SAMPLE_FMT_FLT) {
            mEngine->Put(reinterpret_cast<const float*>(src), piece);
        } else {
            SamplesToFloat(mSampleFormat, src, mConvert.data(), static_cast<int64_t>(piece) * mChannels);
            mEngine->Put(mConvert.data(), piece);
        }
        done += piece;
    }
}

void TempoProcessorImpl::ReceiveSamples(uint8_t* out, int32_t* frames) {
    std::lock_guard<std::mutex> guard(mLock);
    if (!mEngine || !frames) return;
    const int32_t wanted = out ? *frames : 0;
    const int64_t frameBytes = static_cast<int64_t>(BytesPerSample(mSampleFormat)) * mChannels;
    int32_t delivered = 0;
    while (delivered < wanted && mEngine->Available() > 0) {
        int32_t n = std::min(mBlockFrames, wanted - delivered);
        uint8_t* dst = out + delivered * frameBytes;
        if (mSampleFormat == AV_SAMPLE_FMT_FLT) {
            mEngine->Receive(reinterpret_cast<float*>(dst), &n);
        } else {
            mEngine->Receive(mConvert.data(), &n);
            SamplesFromFloat(mSampleFormat, mConvert.data(), dst, static_cast<int64_t>(n) * mChannels);
        }
        if (n <= 0) break;
        delivered += n;
    }
    *frames = delivered;
}

int32_t TempoProcessorImpl::AvailableFrames() {
    std::lock_guard<std::mutex> guard(mLock);
    return mEngine ? mEngine->Available() : 0;
}

}  // namespace kva_audioplayer
