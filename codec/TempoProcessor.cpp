#include "codec/TempoProcessor.h"

#include <algorithm>
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

TempoEngine::TempoEngine() = default;

TempoEngine::~TempoEngine() { Release(); }

void TempoEngine::FreeGraph() {
    if (mGraph) mFilters->graph_free(&mGraph);
    mGraphDeferred = false;
    mSrc = nullptr;
    mSink = nullptr;
    mHasInput = false;
}

void TempoEngine::Release() {
    FreeGraph();
    av_frame_free(&mInFrame);
    av_frame_free(&mOutFrame);
    if (mQueue) {
        av_audio_fifo_free(mQueue);
        mQueue = nullptr;
    }
}

bool TempoEngine::BuildGraph(double atTempo) {
    FreeGraph();
    if (!mFilters) mFilters = LoadFilterLibrary();
    if (!mFilters) return false;
    const FilterLibrary& f = *mFilters;
    mGraph = f.graph_alloc();
    if (!mGraph) return false;
    // atempo is not slice-threaded; a thread pool per graph would only cost threads.
    mGraph->nb_threads = 1;

    bool ok = false;
    AVBufferSrcParameters* par = nullptr;
    AVFilterContext* tempo = nullptr;
    char tempoArgs[64];
    static const enum AVSampleFormat kSinkFormats[] = {AV_SAMPLE_FMT_FLT, AV_SAMPLE_FMT_NONE};

    do {
        mSrc = f.graph_alloc_filter(mGraph, f.get_by_name("abuffer"), "in");
        if (!mSrc) break;
        par = f.buffersrc_parameters_alloc();
        if (!par) break;
        par->format = AV_SAMPLE_FMT_FLT;
        par->sample_rate = mSampleRate;
        par->time_base = AVRational{1, mSampleRate};
        if (av_channel_layout_copy(&par->ch_layout, &mInFrame->ch_layout) < 0) break;
        if (f.buffersrc_parameters_set(mSrc, par) < 0) break;
        if (f.init_str(mSrc, nullptr) < 0) break;

        std::snprintf(tempoArgs, sizeof(tempoArgs), "tempo=%.17g", atTempo);
        if (f.graph_create_filter(&tempo, f.get_by_name("atempo"), kTempoFilterName, tempoArgs,
                                  nullptr, mGraph) < 0)
            break;
        if (f.graph_create_filter(&mSink, f.get_by_name("abuffersink"), "out", nullptr, nullptr,
                                  mGraph) < 0)
            break;
        if (av_opt_set_int_list(mSink, "sample_fmts", kSinkFormats, AV_SAMPLE_FMT_NONE,
                                AV_OPT_SEARCH_CHILDREN) < 0)
            break;
        if (f.link(mSrc, 0, tempo, 0) < 0) break;
        if (f.link(tempo, 0, mSink, 0) < 0) break;
        if (f.graph_config(mGraph, nullptr) < 0) break;
        ok = true;
    } while (false);

    if (par) {
        av_channel_layout_uninit(&par->ch_layout);
        av_free(par);
    }
    if (!ok) {
        FreeGraph();
        mGraphDirty = true;
        return false;
    }
    mPts = 0;
    mGraphDirty = false;
    mFinished = false;
    return true;
}

bool TempoEngine::Init(int32_t blockFrames, int32_t sampleRate, int32_t channels) {
    Release();
    mResetPending = false;
    mFinished = false;
    mGraphDirty = true;
    if (blockFrames <= 0 || sampleRate < kMinTempoRate || channels <= 0 || channels > 64) return false;
    mBlockFrames = blockFrames;
    mSampleRate = sampleRate;
    mChannels = channels;

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
        mTempo = mPendingTempo;
        if (mTempo != 1.0 || FilterLibraryLoaded()) {
            if (!BuildGraph(mTempo)) break;
        } else {
            // At 1.0 the graph takes no input, and building it would load the filter library for
            // a play that may never change speed: it is built by the first speed change, as it
            // would have been built here (the filter's output depends on how it started).
            mGraphDeferred = true;
            mGraphDirty = false;
        }
        ok = true;
    } while (false);
    if (!ok) Release();
    return ok;
}

void TempoEngine::SetTempo(double tempo) {
    if (tempo != mTempo) mPendingTempo = tempo;
}

void TempoEngine::Reset() { mResetPending = true; }

bool TempoEngine::Queue(const float* data, int32_t frames) {
    if (frames <= 0) return true;
    if (static_cast<int64_t>(av_audio_fifo_size(mQueue)) + frames > kMaxQueueFrames) return false;
    void* planes[1] = {const_cast<float*>(data)};
    return av_audio_fifo_write(mQueue, planes, frames) == frames;
}

bool TempoEngine::Drain() {
    bool ok = true;
    for (;;) {
        int ret = mFilters->buffersink_get_frame(mSink, mOutFrame);
        if (ret < 0) {
            if (ret == AVERROR_EOF) mFinished = true;
            // EAGAIN: the filter wants more input; anything else ends this graph.
            if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) {
                mGraphDirty = true;
                ok = false;
            }
            break;
        }
        if (!Queue(reinterpret_cast<const float*>(mOutFrame->data[0]), mOutFrame->nb_samples)) ok = false;
        av_frame_unref(mOutFrame);
    }
    return ok;
}

void TempoEngine::Flush() {
    if ((!mGraph && !mGraphDeferred) || mGraphDirty || mFinished) return;
    if (!mHasInput) {
        mFinished = true;
        return;
    }
    if (mFilters->buffersrc_add_frame_flags(mSrc, nullptr, 0) < 0) {
        mGraphDirty = true;
        return;
    }
    Drain();
    mFinished = true;
    mHasInput = false;
}

bool TempoEngine::Put(const float* data, int32_t frames) {
    if (!mQueue) return false;
    if (mPendingTempo != mTempo) {
        // Going back to 1.0 bypasses the filter: let out the stretched tail first.
        if (mPendingTempo == 1.0) Flush();
        double previous = mTempo;
        mTempo = mPendingTempo;
        if (mTempo != 1.0 && (mGraph || mGraphDeferred) && !mGraphDirty && !mFinished) {
            // A running filter changes speed in place and keeps the audio it holds. A failed
            // build leaves the graph dirty, to be built again below.
            if (mGraphDeferred) BuildGraph(previous);
            char arg[64];
            std::snprintf(arg, sizeof(arg), "%.17g", mTempo);
            if (!mGraphDirty &&
                mFilters->graph_send_command(mGraph, kTempoFilterName, "tempo", arg, nullptr, 0, 0) < 0)
                mGraphDirty = true;
        } else if (previous != 1.0 || mTempo != 1.0) {
            mGraphDirty = true;
        }
    }
    if (mResetPending) {
        mResetPending = false;
        mGraphDirty = true;
        mHasInput = false;
        av_audio_fifo_reset(mQueue);
    }
    if (!data || frames <= 0) return true;
    if (mTempo == 1.0) return Queue(data, frames);

    if (mFinished || mGraphDirty) {
        if (!BuildGraph(mTempo)) return false;
    }
    bool ok = true;
    int32_t done = 0;
    while (done < frames) {
        int32_t piece = std::min(mBlockFrames, frames - done);
        mInFrame->nb_samples = mBlockFrames;
        if (av_frame_make_writable(mInFrame) < 0) return false;
        std::memcpy(mInFrame->data[0], data + static_cast<int64_t>(done) * mChannels,
                    static_cast<size_t>(piece) * mChannels * sizeof(float));
        mInFrame->nb_samples = piece;
        mInFrame->pts = mPts;
        mPts += piece;
        if (mFilters->buffersrc_add_frame_flags(mSrc, mInFrame, AV_BUFFERSRC_FLAG_KEEP_REF) < 0) {
            mGraphDirty = true;
            return false;
        }
        mHasInput = true;
        if (!Drain()) ok = false;
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
    std::lock_guard<std::mutex> guard(mLock);
    mEngine.reset();
    mConvert.clear();
    mConvert.shrink_to_fit();
    // Only the packed formats have a conversion; anything else would be stretched as garbage.
    if (BytesPerSample(sampleFormat) == 0 || channels <= 0 || blockFrames <= 0) return 0;

    std::unique_ptr<TempoEngine> engine;
    try {
        engine.reset(new TempoEngine());
    } catch (const std::bad_alloc&) {
        return 0;
    }
    if (!engine->Init(blockFrames, sampleRate, channels)) return 0;
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

bool TempoProcessorImpl::SetTempo(double tempo) {
    if (!(tempo >= kMinTempo && tempo <= kMaxTempo)) return false;
    // Loaded here, on the caller's thread, rather than by the first stretched block.
    if (tempo != 1.0 && !LoadFilterLibrary()) return false;
    mRequestedTempo.store(tempo, std::memory_order_relaxed);
    return true;
}

void TempoProcessorImpl::Clear() { mClearPending.store(true, std::memory_order_relaxed); }

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
