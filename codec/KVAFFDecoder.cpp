#include "codec/KVAFFDecoder.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
}

#include "support/FFmpegLog.h"
#include "support/Log.h"

namespace kva_audioplayer {

namespace {

constexpr int kIoBufferSize = 32768;
// At most this much audio is dropped to reach a seek target, so that broken timestamps cannot
// swallow the rest of the medium.
constexpr int64_t kMaxSeekSkipMs = 10000;
constexpr int64_t kLossyPrerollMs = 200;

struct CodecSettingsStore {
    std::mutex lock;
    std::vector<int32_t> blackList;
    bool lfeEnabled = false;
    float lfeLevel = 0.0f;
};

CodecSettingsStore& Settings() {
    static CodecSettingsStore store;
    return store;
}

bool SameConversion(const AudioDescription& a, const AudioDescription& b) {
    return a.nChannelLayout == b.nChannelLayout && a.nSampleFormat == b.nSampleFormat &&
           a.nSampleRate == b.nSampleRate && a.nChannel == b.nChannel;
}

}  // namespace

// ---- process-wide settings ----

void KVACodecSettings::SetCodecBlackList(const std::vector<int32_t>& ids) {
    auto& s = Settings();
    std::lock_guard<std::mutex> g(s.lock);
    s.blackList.clear();
    if (!ids.empty()) s.blackList = ids;
}

std::vector<int32_t> KVACodecSettings::GetCodecBlackList() {
    auto& s = Settings();
    std::lock_guard<std::mutex> g(s.lock);
    return s.blackList;
}

bool KVACodecSettings::IsBlackListed(int32_t codecId) {
    auto& s = Settings();
    std::lock_guard<std::mutex> g(s.lock);
    for (int32_t id : s.blackList)
        if (id == codecId) return true;
    return false;
}

void KVACodecSettings::SetLfe(bool enabled, float level) {
    auto& s = Settings();
    std::lock_guard<std::mutex> g(s.lock);
    s.lfeEnabled = enabled;
    s.lfeLevel = level;
}

float KVACodecSettings::LfeLevel() {
    auto& s = Settings();
    std::lock_guard<std::mutex> g(s.lock);
    return s.lfeLevel;
}

// ---- layouts ----

void LayoutFromMask(uint64_t mask, int channels, AVChannelLayout* out) {
    if (mask != 0 && (channels <= 0 || __builtin_popcountll(mask) == channels)) {
        if (av_channel_layout_from_mask(out, mask) == 0) return;
    }
    av_channel_layout_default(out, channels > 0 ? channels : 1);
}

uint64_t MaskOfLayout(const AVChannelLayout& layout) {
    if (layout.order == AV_CHANNEL_ORDER_NATIVE) return layout.u.mask;
    AVChannelLayout def;
    av_channel_layout_default(&def, layout.nb_channels);
    uint64_t mask = def.order == AV_CHANNEL_ORDER_NATIVE ? def.u.mask : 0;
    av_channel_layout_uninit(&def);
    return mask;
}

static AudioDescription MakeDescription(int rate, int channels, int fmt, uint64_t layout,
                                        int bits) {
    AudioDescription d{};
    d.nTag = kAudioDescriptionTag;
    d.nSampleRate = rate;
    d.nChannel = channels;
    d.nSampleFormat = fmt;
    d.nChannelLayout = layout;
    d.nBitsPerSample = bits;
    d.nReserved = 0;
    return d;
}

// ---- decoder ----

CKVAFFDecoder::CKVAFFDecoder() {
    // FFmpeg's complaints about damaged media belong in the library log, not on standard error.
    InstallFFmpegLogForwarding();
    mLock.Init();
    mDesLock.Init();
    mFrame = av_frame_alloc();
    mPendingFrame = av_frame_alloc();
    mPacket = av_packet_alloc();
}

CKVAFFDecoder::~CKVAFFDecoder() {
    close();
    av_packet_free(&mPacket);
    av_frame_free(&mFrame);
    av_frame_free(&mPendingFrame);
    mDesLock.Destroy();
    mLock.Destroy();
}

void CKVAFFDecoder::freeFormatContext() {
    if (mFormatContext) avformat_close_input(&mFormatContext);
    mFormatContext = nullptr;
}

void CKVAFFDecoder::freeIo() {
    if (mIoContext) {
        // avio may have replaced the buffer it was given.
        av_freep(&mIoContext->buffer);
        avio_context_free(&mIoContext);
        mIoBuffer = nullptr;
    } else if (mIoBuffer) {
        av_freep(&mIoBuffer);
    }
}

int CKVAFFDecoder::ReadCallback(void* opaque, uint8_t* buf, int size) {
    auto* source = static_cast<IKVASourceIO*>(opaque);
    if (!source) return AVERROR(EIO);
    int32_t len = size;
    int32_t r = source->Read(buf, &len);
    switch (r) {
    case 0:
        // FFmpeg 5 takes a zero-byte read as a protocol fault; it means the end here.
        if (len > size) len = size;  // never report more than avio's buffer holds
        return len > 0 ? len : AVERROR_EOF;
    case -2:
        return kAvNoDataYet;
    case -1:
        return AVERROR_EOF;
    case 4:
        return AVERROR(EIO);
    case 8:
        return kAvCancelled;
    default:
        return kAvOtherReadError;
    }
}

int64_t CKVAFFDecoder::SeekCallback(void* opaque, int64_t offset, int whence) {
    auto* source = static_cast<IKVASourceIO*>(opaque);
    if (!source) return AVERROR(EIO);
    if (whence & AVSEEK_SIZE) return source->GetSize();
    int64_t pos = offset;
    if (source->Seek(&pos, whence & ~AVSEEK_FORCE) != 0) return AVERROR(EIO);
    return pos;
}

int32_t CKVAFFDecoder::open(IKVASourceIO* source, float gainDb) {
    CKVAAutoLock lock(mLock);
    if (!source) return kDecIoError;
    mLastError = 0;
    mCancel = 0;
    int32_t opened = source->Open();
    if (opened != 0) {
        mLastError = source->GetErrorCode();
        return (mCancel || opened == 7 || opened == 8) ? kDecCancelled : kDecIoError;
    }

    closeCodec();
    freeFormatContext();
    freeIo();
    mSource = source;
    mGainDb = gainDb;
    mSessionId = static_cast<int32_t>(source->GetSessionId());
    mFastSeek = source->SupportFastSeek();
    mConvertedSamples = 0;
    mSeekBaseMs = 0;
    mReceivedFrames = 0;
    mDamagedRun = 0;
    mSkipUntilMs = -1;
    mNextSample = -1;
    mEOS = false;
    av_packet_unref(mPacket);
    av_frame_unref(mPendingFrame);
    mLastPacketPts = AV_NOPTS_VALUE;

    mFormatContext = avformat_alloc_context();
    mIoBuffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
    if (!mFormatContext || !mIoBuffer) {
        freeFormatContext();
        freeIo();
        return kDecIoError;
    }
    mIoContext = avio_alloc_context(mIoBuffer, kIoBufferSize, 0, source, &ReadCallback, nullptr,
                                    &SeekCallback);
    if (!mIoContext) {
        freeFormatContext();
        freeIo();
        return kDecIoError;
    }
    // A source without a size is a live stream: nothing to seek, and no length to estimate.
    mLive = source->GetSize() < 0;
    mIoContext->seekable = mLive ? 0 : AVIO_SEEKABLE_NORMAL;
    mFormatContext->pb = mIoContext;
    mFormatContext->flags |= AVFMT_FLAG_CUSTOM_IO | AVFMT_FLAG_GENPTS;
    // No AVFMT_FLAG_FAST_SEEK, though the source could take it: an MP3 sought through its table
    // of contents or byte estimate lands a frame or more away from the time it reports.
    mFormatContext->probesize = kIoBufferSize > 32768 ? kIoBufferSize : 32768;
    // No "skip_id3v1_tags" entry in the context's metadata: FFmpeg 5.1 reads no such entry, and
    // its MP3 demuxer replaces that dictionary without freeing it, so it would leak per open.

    const AVInputFormat* fmt = nullptr;
    int r = av_probe_input_buffer(mIoContext, &fmt, "", nullptr, 0, 0);
    if (r < 0) {
        int32_t result;
        if (r == AVERROR(EIO)) {
            KVA_LOG(kLogError, "Decoder(%d): av_probe_input_buffer read io error", mSessionId);
            result = kDecIoError;
        } else if (r == kAvNoDataYet || r == kAvCancelled) {
            KVA_LOG(kLogError, "Decoder(%d): av_probe_input_buffer read cancel", mSessionId);
            result = kDecCancelled;
        } else {
            KVA_LOG(kLogError, "Decoder(%d): av_probe_input_buffer read error %d", mSessionId, r);
            result = kDecInvalidData;
        }
        freeFormatContext();
        mLastError = source->GetErrorCode();
        return result;
    }

    r = avformat_open_input(&mFormatContext, "", fmt, nullptr);
    if (r < 0) {
        mFormatContext = nullptr;  // freed by FFmpeg on failure
        int32_t result;
        if (r == AVERROR(EIO)) {
            KVA_LOG(kLogError, "Decoder(%d): Open input file IO Error", mSessionId);
            result = kDecIoError;
        } else if (r == AVERROR_INVALIDDATA) {
            KVA_LOG(kLogError, "Decoder(%d): Open input file Invalid data Error", mSessionId);
            result = kDecInvalidData;
        } else if (r == kAvNoDataYet || r == kAvCancelled) {
            KVA_LOG(kLogError, "Decoder(%d): Open input file cancel", mSessionId);
            result = kDecCancelled;
        } else {
            KVA_LOG(kLogError, "Decoder(%d): Open input file failed(%d)", mSessionId, r);
            result = kDecOpenInputFailed;
        }
        mLastError = source->GetErrorCode();
        return result;
    }
    KVA_LOG(kLogTrace, "Decoder(%d): Open input file success!", mSessionId);
    int32_t info = findStreamInfo();
    if (info != 0) return info;
    mLastError = source->GetErrorCode();
    return kDecOk;
}

void CKVAFFDecoder::abort() {
    mCancel = 1;
    if (IKVASourceIO* source = mSource) source->Abort();
}

void CKVAFFDecoder::cancelReading(bool cancel) {
    IKVASourceIO* source = mSource;
    if (!source) return;
    KVA_LOG(kLogDetail, "CKVAFFDecoder::cancelReading()");
    source->CancelReading(cancel);
}

int32_t CKVAFFDecoder::close() {
    CKVAAutoLock lock(mLock);
    closeCodec();
    freeFormatContext();
    av_packet_unref(mPacket);
    av_frame_unref(mPendingFrame);
    freeIo();
    // The caller owns the source and may destroy it once closed: forget it here so that a
    // later close (the destructor's) cannot reach a dead object.
    if (IKVASourceIO* source = mSource.exchange(nullptr)) source->Close();
    mEOS = false;
    return kDecOk;
}

int32_t CKVAFFDecoder::setOutputDescription(const AudioDescription& des) {
    {
        CKVAAutoLock lock(mDesLock);
        mPendingTarget = des;
        mTargetPending = true;
    }
    // A decode waiting on the source holds the lock: it takes the target before its next frame.
    if (mLock.TryLock() != 0) return 0;
    int32_t r = applyPendingTarget();
    mLock.Unlock();
    return r;
}

int32_t CKVAFFDecoder::applyPendingTarget() {
    {
        CKVAAutoLock lock(mDesLock);
        if (!mTargetPending) return 0;
        mTargetDes = mPendingTarget;
        mTargetPending = false;
    }
    return initResampler();
}

void CKVAFFDecoder::getOutputDescription(AudioDescription* out) {
    if (!out) return;
    CKVAAutoLock lock(mDesLock);
    *out = mOutDes;
}

AudioDescription CKVAFFDecoder::sourceDescription() {
    CKVAAutoLock lock(mLock);
    return mSrcDes;
}

AudioDescription CKVAFFDecoder::targetDescription() {
    CKVAAutoLock lock(mLock);
    CKVAAutoLock dlock(mDesLock);
    return mTargetPending ? mPendingTarget : mTargetDes;
}

std::string CKVAFFDecoder::getSessionIdText() {
    IKVASourceIO* source = mSource;
    if (!source) return std::string();
    const char* t = source->GetSessionIdText();
    return t ? std::string(t) : std::string();
}

double CKVAFFDecoder::getRatio() {
    IKVASourceIO* source = mSource;
    return source ? source->GetRatio() : 1.0;
}

int32_t CKVAFFDecoder::findStreamInfo() {
    mFormatContext->flags |= AVFMT_FLAG_GENPTS;
    if (avformat_find_stream_info(mFormatContext, nullptr) < 0) {
        freeFormatContext();
        return kDecStreamInfoFailed;
    }
    for (unsigned i = 0; i < mFormatContext->nb_streams; ++i)
        mFormatContext->streams[i]->discard = AVDISCARD_ALL;
    mCancel = 0;
    // An unknown duration is kept as -1 rather than turned into a bogus negative length.
    mDurationMs = mFormatContext->duration == AV_NOPTS_VALUE || mLive
                      ? -1
                      : mFormatContext->duration / 1000;
    if (mDurationMs == 0) {
        freeFormatContext();
        return kDecZeroDuration;
    }
    return openCodec();
}

int32_t CKVAFFDecoder::openCodec() {
    closeCodec();
    mStreamIndex = -1;
    int idx = av_find_best_stream(mFormatContext, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (idx < 0) return kDecNoAudio;
    mStream = mFormatContext->streams[idx];
    mStream->discard = AVDISCARD_DEFAULT;
    mStreamIndex = idx;
    // ID3 and MP4 tags sit on the container, Vorbis comments on the stream in Ogg.
    mTags.clear();
    for (const AVDictionary* dict : {mFormatContext->metadata, mStream->metadata}) {
        const AVDictionaryEntry* e = nullptr;
        while ((e = av_dict_get(dict, "", e, AV_DICT_IGNORE_SUFFIX))) mTags.emplace_back(e->key, e->value);
    }
    AVCodecParameters* par = mStream->codecpar;
    if (!par) return kDecNoAudio;
    if (KVACodecSettings::IsBlackListed(par->codec_id)) {
        KVA_LOG(kLogError, "CodecPar id = %d is in black list\n", par->codec_id);
        return kDecNoAudio;
    }
    mCodec = avcodec_find_decoder(par->codec_id);
    if (!mCodec) return kDecNoAudio;
    KVA_LOG(kLogTrace, "Decoder(%d): Open codec for %s", mSessionId, mCodec->name);
    mAmr = par->codec_id == AV_CODEC_ID_AMR_NB || par->codec_id == AV_CODEC_ID_AMR_WB;
    mPacketTime = par->codec_id == AV_CODEC_ID_EAC3;
    if (int32_t r = newCodecContext(&mCodecContext)) return r;

    const int channels = mCodecContext->ch_layout.nb_channels;
    uint64_t layout = MaskOfLayout(mCodecContext->ch_layout);
    const int fmt = mCodecContext->sample_fmt;
    const int rate = mCodecContext->sample_rate;
    mSrcDes = MakeDescription(rate, channels, fmt, layout, getBitsPerSample(fmt));
    const int outFmt = getOutputSampleFormat(fmt);
    {
        CKVAAutoLock lock(mDesLock);
        mOutDes = MakeDescription(rate, channels, outFmt, layout, getBitsPerSample(outFmt));
        mTargetPending = false;
    }
    mTargetDes = mOutDes;

    char info[4096];
    memset(info, 0, sizeof(info));
    avcodec_string(info, sizeof(info), mCodecContext, 0);
    KVA_LOG(kLogTrace, "Decoder(%d): Codec ID - %d Code Info - %s", mSessionId, par->codec_id,
            info);
    return kDecOk;
}

// The stream's codec in a context of its own, opened: kDecOk, or what failed.
int32_t CKVAFFDecoder::newCodecContext(AVCodecContext** out) {
    AVCodecContext* c = avcodec_alloc_context3(mCodec);
    int32_t r = c && avcodec_parameters_to_context(c, mStream->codecpar) >= 0 ? kDecOk : kDecNoAudio;
    if (r == kDecOk) {
        // Lets the codec move timestamps past the samples it skips (Opus pre-skip, MP3 delay).
        c->pkt_timebase = mStream->time_base;
        if (avcodec_open2(c, mCodec, nullptr) < 0) r = kDecCodecOpenFailed;
    }
    if (r == kDecOk) *out = c;
    else avcodec_free_context(&c);
    return r;
}

// A flushed codec is not always the codec it was: AAC's noise substitution keeps drawing on a
// random state that a flush leaves, so that a seek's samples would depend on what was decoded
// before it. A new context decodes alike from every position.
void CKVAFFDecoder::reopenCodecContext() {
    AVCodecContext* fresh = nullptr;
    if (newCodecContext(&fresh) != kDecOk) {
        avcodec_flush_buffers(mCodecContext);
        return;
    }
    avcodec_free_context(&mCodecContext);
    mCodecContext = fresh;
}

int32_t CKVAFFDecoder::closeCodec() {
    CKVAAutoLock lock(mLock);
    if (mCodecContext) avcodec_free_context(&mCodecContext);
    if (mSwr) swr_free(&mSwr);
    mStream = nullptr;
    mCodec = nullptr;
    av_packet_unref(mPacket);
    return kDecOk;
}

bool CKVAFFDecoder::dropDamaged(int err, const char* what) {
    ++mDamagedRun;
    KVA_LOG(kLogError, "Decoder(%d): %s Error(%d), dropped (%d in a row)", mSessionId, what, err,
            mDamagedRun);
    if (mDamagedRun < kMaxDamagedRun) return true;
    mLastError = kDecTooManyErrors;
    return false;
}

int32_t CKVAFFDecoder::readPacket() {
    bool drain = false;
    for (;;) {
        av_packet_unref(mPacket);
        int r = av_read_frame(mFormatContext, mPacket);
        if (r >= 0) {
            if (mPacket->stream_index == mStreamIndex) break;
            continue;
        }
        // The demuxer resynchronises after damage of its own.
        if (r == AVERROR_INVALIDDATA) {
            if (dropDamaged(r, "Read Packet")) continue;
            av_packet_unref(mPacket);
            return kDecTooManyErrors;
        }
        if (r == AVERROR_EOF ||
            (r == AVERROR(EIO) && mAmr && mFormatContext->pb && avio_feof(mFormatContext->pb))) {
            mEOS = true;
            drain = true;
            break;
        }
        if (r == kAvCancelled) {
            av_packet_unref(mPacket);
            return r;
        }
        if (r == kAvNoDataYet || (mSource.load() && mSource.load()->GetErrorCode() == 16)) {
            if (mFormatContext->pb) {
                mFormatContext->pb->eof_reached = 0;
                mFormatContext->pb->error = 0;
            }
            av_packet_unref(mPacket);
            return kAvNoDataYet;
        }
        av_packet_unref(mPacket);
        return r;
    }
    if (!drain) mLastPacketPts = mPacket->pts;
    int r = avcodec_send_packet(mCodecContext, drain ? nullptr : mPacket);
    if (r == 0 || r == AVERROR(EAGAIN)) return 0;
    if (drain || r == AVERROR(ENOMEM)) {
        KVA_LOG(kLogError, "Decoder(%d): Send Packet Error(%d)", mSessionId, r);
        return r;
    }
    // A damaged packet costs its own audio only, whatever the codec calls the damage.
    return dropDamaged(r, "Send Packet") ? 0 : kDecTooManyErrors;
}

int32_t CKVAFFDecoder::decode(AudioFrame* out) {
    CKVAAutoLock lock(mLock);
    if (!mCodecContext || !out) return kDecConvertFailed;
    // A new target starts with a new frame: one frame holds one format.
    if (out->nLen == 0) applyPendingTarget();
    if (mPendingFrame->nb_samples > 0) {
        int32_t r = convertFrame(mPendingFrame, out);
        av_frame_unref(mPendingFrame);
        if (r != 0) return r;
    }
    int retry = 0;
    for (;;) {
        av_frame_unref(mFrame);
        int r = avcodec_receive_frame(mCodecContext, mFrame);
        if (r == 0) {
            retry = 0;
            mDamagedRun = 0;
            ++mReceivedFrames;
            if (!reachSeekTarget(mFrame)) continue;
            // Encoder delay and end padding are already cut by libavcodec (skip-samples side
            // data), so every frame goes out whole.
            r = convertFrame(mFrame, out);
            if (r == 0) return 0;
        } else if (r == AVERROR(EAGAIN)) {
            const int limit = mReceivedFrames > 0 ? 3000 : 4500;
            ++retry;
            if (retry >= limit || mCancel) {
                KVA_LOG(kLogError, "Decoder(%d): Too many retry(%d/%d), mCancel %d!", mSessionId,
                        retry, limit, static_cast<int>(mCancel));
                mLastError = kDecRetryLimit;
                return kDecRetryLimit;
            }
            r = readPacket();
            if (r == 0) continue;
        } else if (r == AVERROR_EOF) {
            drainResampler(out);
            out->nFlags |= kFrameEndOfStream;
            return AVERROR_EOF;
        } else if (r != AVERROR(ENOMEM)) {
            if (dropDamaged(r, "Receive Frame")) continue;
            return kDecTooManyErrors;
        }
        if (r == kAvNoDataYet || r == kAvOtherReadError || r == AVERROR(EIO) ||
            r == AVERROR_INVALIDDATA) {
            if (IKVASourceIO* s = mSource) mLastError = s->GetErrorCode();
        }
        return r;
    }
}

int64_t CKVAFFDecoder::frameStartSample(const AVFrame* frame) {
    const int rate = frame->sample_rate;
    if (rate <= 0) return 0;
    const bool follows = mNextSample >= 0 && mNextRate == rate;
    const int64_t pts = mPacketTime ? mLastPacketPts
                                    : (frame->pts != AV_NOPTS_VALUE ? frame->pts : mLastPacketPts);
    int64_t s;
    if (pts == AV_NOPTS_VALUE || !mStream) {
        s = follows ? mNextSample : mSeekBaseMs * rate / 1000;
    } else {
        const int64_t start = mStream->start_time != AV_NOPTS_VALUE ? mStream->start_time : 0;
        s = av_rescale_q(pts - start, mStream->time_base, AVRational{1, rate});
        // Frames after the first of a packet may all carry the packet's time; and time never
        // runs backwards within plain playback.
        if (follows && s < mNextSample) s = mNextSample;
    }
    return s > 0 ? s : 0;
}

void CKVAFFDecoder::frameDone(int64_t startSample, const AVFrame* frame) {
    mNextSample = startSample + frame->nb_samples;
    mNextRate = frame->sample_rate;
    mConvertedSamples += frame->nb_samples;
}

bool CKVAFFDecoder::reachSeekTarget(AVFrame* frame) {
    if (mSkipUntilMs < 0) return true;
    const int rate = frame->sample_rate;
    const int nb = frame->nb_samples;
    if (rate <= 0 || nb <= 0) return true;
    const int64_t s = frameStartSample(frame);
    const int64_t target = mSkipUntilMs * rate / 1000;
    if (s + nb <= target && mSkipBudgetMs > 0) {
        mSkipBudgetMs -= std::max<int64_t>(int64_t(nb) * 1000 / rate, 1);
        mNextSample = s + nb;
        mNextRate = rate;
        return false;
    }
    mSkipUntilMs = -1;
    if (s < target && av_frame_make_writable(frame) == 0) {
        const int cut = static_cast<int>(target - s);
        const AVSampleFormat fmt = static_cast<AVSampleFormat>(frame->format);
        const int channels = frame->ch_layout.nb_channels;
        const bool planar = av_sample_fmt_is_planar(fmt);
        const int step = av_get_bytes_per_sample(fmt) * (planar ? 1 : channels);
        for (int p = 0; p < (planar ? channels : 1); ++p)
            memmove(frame->extended_data[p], frame->extended_data[p] + int64_t(cut) * step,
                    static_cast<size_t>(nb - cut) * step);
        frame->nb_samples = nb - cut;
        // The frame now starts at the target.
        mNextSample = target;
        mNextRate = rate;
    }
    return true;
}

int32_t CKVAFFDecoder::convertFrame(AVFrame* frame, AudioFrame* out) {
    const int channels = frame->ch_layout.nb_channels;
    const int nb = frame->nb_samples;
    const int rate = frame->sample_rate;
    const int fmt = frame->format;
    int size = av_samples_get_buffer_size(nullptr, channels, nb, static_cast<AVSampleFormat>(fmt),
                                          1);
    if (size < 1) return kDecConvertFailed;
    int32_t d = (nb > 0 && rate > 0) ? static_cast<int32_t>(int64_t(nb) * 1000 / rate) : 0;

    const int64_t start = frameStartSample(frame);
    const int64_t t = rate > 0 ? start * 1000 / rate : 0;
    if (out->nTimestamp == -1) out->nTimestamp = t;

    uint64_t L = 0;
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_NATIVE) {
        L = frame->ch_layout.u.mask;
    } else {
        L = MaskOfLayout(frame->ch_layout);
        if (L == 0 && channels == 10) L = 0x2D03F;
        if (L == 0 && channels == 12) L = 0x2D63F;
    }

    const bool packedOrMono = !av_sample_fmt_is_planar(static_cast<AVSampleFormat>(fmt)) ||
                              channels == 1;
    if (rate == mTargetDes.nSampleRate && fmt == mTargetDes.nSampleFormat &&
        L == mTargetDes.nChannelLayout && channels == mTargetDes.nChannel && packedOrMono) {
        if (mSwr) swr_free(&mSwr);
        if (reserveBuffer(out, out->nLen + size) != 0) return kDecConvertFailed;
        memcpy(out->pData + out->nLen, frame->data[0], size);
        out->nLen += size;
        out->nDuration += d;
        out->mDes = mTargetDes;
        out->nBlockAlign = mTargetDes.nChannel * mTargetDes.nBitsPerSample / 8;
        frameDone(start, frame);
        return kDecOk;
    }

    if (channels == mSrcDes.nChannel && rate == mSrcDes.nSampleRate &&
        fmt == mSrcDes.nSampleFormat && L == mSrcDes.nChannelLayout) {
        if (!mSwr && initResampler() < 0) return kDecConvertFailed;
        if (!mSwr) return kDecConvertFailed;
        int64_t outCount = av_rescale_rnd(swr_get_delay(mSwr, rate) + nb, mTargetDes.nSampleRate,
                                          rate, AV_ROUND_UP);
        const AVSampleFormat outFmt = static_cast<AVSampleFormat>(mTargetDes.nSampleFormat);
        int need = av_samples_get_buffer_size(nullptr, mTargetDes.nChannel,
                                              static_cast<int>(outCount), outFmt, 0);
        if (need < 1) return kDecConvertFailed;
        if (reserveBuffer(out, out->nLen + need) != 0) return kDecConvertFailed;
        uint8_t* dst = out->pData + out->nLen;
        int converted = swr_convert(mSwr, &dst, static_cast<int>(outCount),
                                    const_cast<const uint8_t**>(frame->extended_data), nb);
        if (converted < 0) return kDecConvertFailed;
        int bytes = av_samples_get_buffer_size(nullptr, mTargetDes.nChannel, converted, outFmt, 1);
        if (bytes > 0) out->nLen += bytes;
        out->nDuration += d;
        out->mDes = mTargetDes;
        out->nBlockAlign = mTargetDes.nChannel * mTargetDes.nBitsPerSample / 8;
        frameDone(start, frame);
        return kDecOk;
    }

    // The stream's format changed. The consumer keeps receiving its target format (it learns the
    // new native format from getOutputDescription and may choose another target); the frame that
    // revealed the change is kept and converted by the next decode, so no audio is lost.
    out->nFlags |= kFrameNewFormat;
    mSrcDes = MakeDescription(rate, channels, fmt, L, getBitsPerSample(fmt));
    const int outFmt = getOutputSampleFormat(fmt);
    {
        CKVAAutoLock lock(mDesLock);
        mOutDes = MakeDescription(rate, channels, outFmt, L, getBitsPerSample(outFmt));
    }
    if (mSwr) swr_free(&mSwr);
    if (frame != mPendingFrame) {
        av_frame_unref(mPendingFrame);
        av_frame_ref(mPendingFrame, frame);
    }
    return kDecFormatChanged;
}

void CKVAFFDecoder::drainResampler(AudioFrame* out) {
    if (!mSwr) return;
    const int n = swr_get_out_samples(mSwr, 0);
    const AVSampleFormat fmt = static_cast<AVSampleFormat>(mTargetDes.nSampleFormat);
    const int need = n > 0 ? av_samples_get_buffer_size(nullptr, mTargetDes.nChannel, n, fmt, 0) : 0;
    if (need < 1 || reserveBuffer(out, out->nLen + need) != 0) return;
    uint8_t* dst = out->pData + out->nLen;
    const int got = swr_convert(mSwr, &dst, n, nullptr, 0);
    const int bytes = got > 0 ? av_samples_get_buffer_size(nullptr, mTargetDes.nChannel, got, fmt, 1) : 0;
    if (bytes <= 0) return;
    if (out->nTimestamp == -1 && mNextRate > 0 && mNextSample >= 0)
        out->nTimestamp = mNextSample * 1000 / mNextRate;
    out->nLen += bytes;
    out->nDuration += static_cast<int32_t>(int64_t(got) * 1000 / mTargetDes.nSampleRate);
    out->mDes = mTargetDes;
    out->nBlockAlign = mTargetDes.nChannel * mTargetDes.nBitsPerSample / 8;
}

int32_t CKVAFFDecoder::reserveBuffer(AudioFrame* frame, int32_t needed) {
    if (frame->nCapacity > needed) return 0;
    auto* data = static_cast<uint8_t*>(malloc(static_cast<size_t>(needed) + 4096));
    if (!data) return kDecConvertFailed;
    if (frame->pData && frame->nLen > 0) memcpy(data, frame->pData, frame->nLen);
    free(frame->pData);
    frame->pData = data;
    frame->nCapacity = needed + 4096;
    return 0;
}

int32_t CKVAFFDecoder::getOutputSampleFormat(int32_t fmt) {
    switch (fmt) {
    case AV_SAMPLE_FMT_S32:
    case AV_SAMPLE_FMT_FLT:
    case AV_SAMPLE_FMT_DBL:
    case AV_SAMPLE_FMT_S32P:
    case AV_SAMPLE_FMT_FLTP:
    case AV_SAMPLE_FMT_DBLP:
        return AV_SAMPLE_FMT_FLT;
    default:
        return AV_SAMPLE_FMT_S16;
    }
}

int32_t CKVAFFDecoder::getBitsPerSample(int32_t fmt) { return SampleFormatBits(fmt); }

float CKVAFFDecoder::timeBaseToMs(AVRational tb) {
    return tb.den ? static_cast<float>(tb.num) * 1000.0f / static_cast<float>(tb.den) : 0.0f;
}

int32_t CKVAFFDecoder::initResampler() {
    CKVAAutoLock lock(mLock);
    if (mSrcDes.nChannelLayout == mTargetDes.nChannelLayout &&
        mSrcDes.nSampleFormat == mTargetDes.nSampleFormat &&
        mSrcDes.nSampleRate == mTargetDes.nSampleRate && mSrcDes.nChannel == mTargetDes.nChannel)
        return 0;
    // The same conversion again keeps the converter and the samples it still holds.
    if (mSwr && SameConversion(mSwrSrc, mSrcDes) && SameConversion(mSwrDst, mTargetDes)) return 0;
    if (mSwr) swr_free(&mSwr);
    AVChannelLayout outLayout, inLayout;
    LayoutFromMask(mTargetDes.nChannelLayout, mTargetDes.nChannel, &outLayout);
    LayoutFromMask(mSrcDes.nChannelLayout, mSrcDes.nChannel, &inLayout);
    int r = swr_alloc_set_opts2(&mSwr, &outLayout,
                                static_cast<AVSampleFormat>(mTargetDes.nSampleFormat),
                                mTargetDes.nSampleRate, &inLayout,
                                static_cast<AVSampleFormat>(mSrcDes.nSampleFormat),
                                mSrcDes.nSampleRate, 0, nullptr);
    av_channel_layout_uninit(&outLayout);
    av_channel_layout_uninit(&inLayout);
    if (r < 0 || !mSwr) {
        if (mSwr) swr_free(&mSwr);
        return -1;
    }
    if (mGainDb != 0.0f) av_opt_set_double(mSwr, "rmvol", std::pow(10.0, mGainDb / 20.0), 0);
    av_opt_set_double(mSwr, "rematrix_maxval", static_cast<double>(mSrcDes.nChannel), 0);
    av_opt_set_double(mSwr, "lfe_mix_level", KVACodecSettings::LfeLevel(), 0);
    r = swr_init(mSwr);
    if (r < 0) {
        swr_free(&mSwr);
        return r;
    }
    mSwrSrc = mSrcDes;
    mSwrDst = mTargetDes;
    return r;
}

int32_t CKVAFFDecoder::seek(int64_t ms) {
    CKVAAutoLock lock(mLock);
    if (!mFormatContext || !mStream) {
        KVA_LOG(kLogError, "CKVAFFDecoder::seek(%d): mFormatContext is null! %lld", mSessionId,
                static_cast<long long>(ms));
        return kDecSeekFailed;
    }
    KVA_LOG(kLogDetail, "CKVAFFDecoder::seek(%d): Seek Begin(%lld)!", mSessionId,
            static_cast<long long>(ms));
    uint8_t flag = 0;
    if (ms < 0) ms = 0;
    // At or past the end (or as good as): the track ends normally.
    if (mDurationMs > 0 && ms > mDurationMs - 50) {
        KVA_LOG(kLogError, "CKVAFFDecoder::seek(%d): Seek eos(%lld)!", mSessionId,
                static_cast<long long>(ms));
        if (IKVASourceIO* s = mSource) s->SeekDone(&flag);
        return AVERROR_EOF;
    }
    const int64_t start = mStream->start_time != AV_NOPTS_VALUE ? mStream->start_time : 0;
    // A lossy decoder rebuilds its state (overlap, MP3's bit reservoir) from the frames before
    // the target: decoding starts that much earlier, so that the target sounds as in playback.
    const AVCodecParameters* par = mStream->codecpar;
    const AVCodecDescriptor* codec = avcodec_descriptor_get(par->codec_id);
    int64_t prerollMs = 0;
    if (codec && (codec->props & AV_CODEC_PROP_LOSSY)) {
        const int64_t own = par->sample_rate > 0 ? int64_t(par->seek_preroll) * 1000 / par->sample_rate : 0;
        prerollMs = std::max(kLossyPrerollMs, own);
    }
    const int64_t from = std::max<int64_t>(ms - prerollMs, 0);
    int64_t ts = av_rescale_q(from, AVRational{1, 1000}, mStream->time_base) + start;
    // To a sync point at or before the target: decoding then drops up to the exact sample.
    int r = av_seek_frame(mFormatContext, mStreamIndex, ts, AVSEEK_FLAG_BACKWARD);
    // Always renewed: a codec that drained at the end, or whose frames were all dropped short of
    // an earlier target, still holds state from the old position.
    if (mCodecContext) reopenCodecContext();
    av_frame_unref(mPendingFrame);
    // Samples the resampler still holds belong to the old position.
    if (mSwr) swr_init(mSwr);
    flag = 0;
    if (IKVASourceIO* s = mSource) s->SeekDone(&flag);
    if (r < 0) {
        KVA_LOG(kLogError, "CKVAFFDecoder::seek failt ret(mSessionId %d/%d)!", mSessionId, r);
        if (mCancel || flag) {
            KVA_LOG(kLogTrace, "CKVAFFDecoder::seek(%d): CancelReading Seek done(%d)!",
                    mSessionId, r);
            return kDecCancelled;
        }
        if (IKVASourceIO* s = mSource) mLastError = s->GetErrorCode();
        return r == AVERROR(EIO) ? kDecIoError : kDecSeekFailed;
    }
    KVA_LOG(kLogTrace, "CKVAFFDecoder::seek(%d): Seek done(%ld)!", mSessionId,
            static_cast<long>(ms));
    mLastError = 0;
    // The end reached before no longer holds at the new position.
    mEOS = false;
    mSeekBaseMs = ms;
    mConvertedSamples = 0;
    mNextSample = -1;
    // Demuxers land on a key frame or page at or before the target, for Ogg up to seconds
    // early: whole frames that end before the target are decoded and dropped.
    mSkipUntilMs = ms;
    mSkipBudgetMs = kMaxSeekSkipMs;
    return kDecOk;
}

}  // namespace kva_audioplayer
