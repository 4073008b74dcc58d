// FFmpeg demuxer + decoder over an IKVASourceIO, converting into AudioFrames.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "KvaAudioPlayer.h"
#include "support/AudioTypes.h"
#include "support/KVASync.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

namespace kva_audioplayer {

// Result codes of the decoder; FFmpeg's negative codes pass through unchanged.
enum KVADecoderResult : int32_t {
    kDecOk = 0,
    kDecIoError = 1,          // null source, source Open failed, I/O error probing/opening/seeking
    kDecInvalidData = 2,      // invalid data or read error while probing or opening
    kDecOpenInputFailed = 3,
    kDecStreamInfoFailed = 4,
    kDecNoAudio = 5,          // no audio stream, black-listed codec, no decoder, context failures
    kDecCodecOpenFailed = 6,
    kDecSeekFailed = 7,
    kDecZeroDuration = 13,
    kDecConvertFailed = 16,   // no codec context, conversion or buffer failure
    kDecCancelled = 21,
};

// Read callback answers that the stream classifies.
constexpr int kAvNoDataYet = AVERROR(EBUSY);      // source has no data at the position yet
constexpr int kAvCancelled = AVERROR(ENOBUFS);    // source cancelled
constexpr int kAvOtherReadError = AVERROR(EFAULT);
// The engine's own codes are positive, so that no FFmpeg code (all negative) can be taken for
// one of them.
// The stream's format changed (frame flagged NEW_FORMAT).
constexpr int kDecFormatChanged = 30;
// The codec asked for more input too many times in a row.
constexpr int kDecRetryLimit = 31;
// Too many damaged packets or frames in a row: the medium is not audio any more.
constexpr int kDecTooManyErrors = 32;
// Damaged packets and frames dropped in a row before decoding gives up.
constexpr int kMaxDamagedRun = 256;

// Process-wide codec settings shared by every decoder.
struct KVACodecSettings {
    static void SetCodecBlackList(const std::vector<int32_t>& ids);
    static std::vector<int32_t> GetCodecBlackList();
    static bool IsBlackListed(int32_t codecId);
    static void SetLfe(bool enabled, float level);
    static float LfeLevel();
};

// 64-bit layout mask <-> AVChannelLayout at the boundary.
void LayoutFromMask(uint64_t mask, int channels, AVChannelLayout* out);
// The mask of an FFmpeg layout, falling back to the default layout for the channel count.
uint64_t MaskOfLayout(const AVChannelLayout& layout);

class CKVAFFDecoder {
public:
    CKVAFFDecoder();
    virtual ~CKVAFFDecoder();

    virtual int32_t open(IKVASourceIO* source, float gainDb);
    virtual void abort();
    virtual void cancelReading(bool cancel);
    virtual int32_t close();
    virtual int32_t setOutputDescription(const AudioDescription& des);
    virtual void getOutputDescription(AudioDescription* out);
    virtual int32_t decode(AudioFrame* out);
    virtual bool isEOS() { return mEOS; }
    virtual int32_t seek(int64_t ms);
    virtual int64_t getDuration() { return mDurationMs; }
    // The media's tags, the container's then the audio stream's, as read at open.
    const std::vector<std::pair<std::string, std::string>>& getTags() const { return mTags; }
    virtual std::string getSessionIdText();
    virtual int32_t getSessionId() { return mSessionId; }
    virtual double getRatio();
    virtual int32_t getErrorCode() { return mLastError; }
    virtual int32_t initResampler();
    virtual int32_t readPacket();
    int32_t newCodecContext(AVCodecContext** out);
    void reopenCodecContext();
    virtual int32_t openCodec();
    virtual int32_t closeCodec();
    virtual int32_t findStreamInfo();
    virtual int32_t convertFrame(AVFrame* frame, AudioFrame* out);
    virtual int32_t reserveBuffer(AudioFrame* frame, int32_t needed);
    virtual int32_t getOutputSampleFormat(int32_t fmt);
    virtual int32_t getBitsPerSample(int32_t fmt);
    virtual float timeBaseToMs(AVRational tb);

    static void SetCodecBlackList(const std::vector<int32_t>& ids) {
        KVACodecSettings::SetCodecBlackList(ids);
    }

    // Source, output and target descriptions, for callers that inspect the decoder.
    AudioDescription sourceDescription();
    AudioDescription targetDescription();

    CKVAFFDecoder(const CKVAFFDecoder&) = delete;
    CKVAFFDecoder& operator=(const CKVAFFDecoder&) = delete;

protected:
    static int ReadCallback(void* opaque, uint8_t* buf, int size);
    static int64_t SeekCallback(void* opaque, int64_t offset, int whence);
    void freeFormatContext();
    // Where the frame starts, in samples at its own rate from the stream's start.
    int64_t frameStartSample(const AVFrame* frame);
    void frameDone(int64_t startSample, const AVFrame* frame);
    // False for a frame that ends before the target of the last seek; a frame across the
    // target loses its samples before it.
    bool reachSeekTarget(AVFrame* frame);
    void freeIo();
    // Makes a target set while decoding the one in use. mLock held.
    int32_t applyPendingTarget();
    // At the end of the stream: what the resampler still holds goes out with the last frame.
    void drainResampler(AudioFrame* out);
    // A packet or frame the codec refused: logged and dropped. False once the run is too long.
    bool dropDamaged(int err, const char* what);

    // Read and set without the lock by abort and by the stream's other threads.
    std::atomic<bool> mEOS{false};
    std::atomic<int32_t> mCancel{0};
    int32_t mStreamIndex = -1;
    int32_t mLastError = 0;
    std::vector<std::pair<std::string, std::string>> mTags;
    AVFormatContext* mFormatContext = nullptr;
    AVStream* mStream = nullptr;
    const AVCodec* mCodec = nullptr;
    AVCodecContext* mCodecContext = nullptr;
    SwrContext* mSwr = nullptr;
    // The pair the resampler was built for; an unchanged pair keeps it and its buffered delay.
    AudioDescription mSwrSrc{};
    AudioDescription mSwrDst{};
    // Held for the whole of an operation on FFmpeg state, reads of the source included.
    CKVACritical mLock;
    // Guards the output description and a target not yet applied: they are read and set from
    // other threads while a decode may wait on the source under mLock. Taken after mLock.
    CKVACritical mDesLock;
    AudioDescription mPendingTarget{};
    bool mTargetPending = false;
    std::atomic<IKVASourceIO*> mSource{nullptr};
    uint8_t* mIoBuffer = nullptr;
    AVIOContext* mIoContext = nullptr;
    AVFrame* mFrame = nullptr;
    // A frame that revealed a format change; converted by the next decode.
    AVFrame* mPendingFrame = nullptr;
    AVPacket* mPacket = nullptr;
    int64_t mLastPacketPts = AV_NOPTS_VALUE;
    AudioDescription mSrcDes{};
    AudioDescription mOutDes{};
    AudioDescription mTargetDes{};
    float mGainDb = 0.0f;
    bool mFastSeek = false;
    bool mAmr = false;
    bool mPacketTime = false;
    int32_t mSessionId = 0;
    int64_t mSeekBaseMs = 0;
    int64_t mDurationMs = 0;
    bool mLive = false;  // the source has no size
    int64_t mConvertedSamples = 0;
    int64_t mReceivedFrames = 0;
    int32_t mDamagedRun = 0;  // damaged packets and frames since the last good frame
    int64_t mSkipUntilMs = -1;
    int64_t mSkipBudgetMs = 0;
    // Where the last frame ended (samples at mNextRate); -1 after an open or a seek.
    int64_t mNextSample = -1;
    int32_t mNextRate = 0;
};

}  // namespace kva_audioplayer
