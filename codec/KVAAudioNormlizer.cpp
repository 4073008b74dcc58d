#include "codec/KVAAudioNormlizer.h"

#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include "codec/KVAFFDecoder.h"
#include "support/Log.h"

namespace kva_audioplayer {

CKVAAudioNormlizer::CKVAAudioNormlizer() { mLock.Init(); }

CKVAAudioNormlizer::~CKVAAudioNormlizer() {
    {
        CKVAAutoLock lock(mLock);
        if (mSwr) swr_free(&mSwr);
        free(mScratch);
        mScratch = nullptr;
    }
    mLock.Destroy();
}

int32_t CKVAAudioNormlizer::state() {
    CKVAAutoLock lock(mLock);
    return mState;
}

bool CKVAAudioNormlizer::isSameFormat(const AudioDescription& a, const AudioDescription& b) {
    return a.nChannelLayout == b.nChannelLayout && a.nSampleRate == b.nSampleRate &&
           a.nSampleFormat == b.nSampleFormat;
}

int32_t CKVAAudioNormlizer::getBitsPerSample(int32_t fmt) {
    return SampleFormatBits(fmt);
}

int32_t CKVAAudioNormlizer::reserveBuffer(AudioFrame* frame, int32_t needed) {
    if (frame->nCapacity > needed) return 0;
    auto* data = static_cast<uint8_t*>(malloc(static_cast<size_t>(needed) + 4096));
    if (!data) return 16;
    if (frame->pData && frame->nLen > 0) memcpy(data, frame->pData, frame->nLen);
    free(frame->pData);
    frame->pData = data;
    frame->nCapacity = needed + 4096;
    return 0;
}

void CKVAAudioNormlizer::setFormat(const AudioDescription* src, const AudioDescription* out) {
    if (!src || !out) return;
    CKVAAutoLock lock(mLock);
    if (isSameFormat(mSrc, *src) && isSameFormat(mOut, *out)) return;
    if (mSwr) swr_free(&mSwr);
    mState = kPassThrough;
    mSrc = *src;
    mOut = *out;
    mSrc.nBitsPerSample = getBitsPerSample(mSrc.nSampleFormat);
    mOut.nBitsPerSample = getBitsPerSample(mOut.nSampleFormat);
    if (isSameFormat(*src, *out)) return;

    KVA_LOG(kLogDetail,
            "AudioReSample srcLayout %ld, srcFmt %d, srcSampleRate %d, outLayout %ld, outFmt %d, "
            "outSampleRate %d\n",
            static_cast<long>(mSrc.nChannelLayout), mSrc.nSampleFormat, mSrc.nSampleRate,
            static_cast<long>(mOut.nChannelLayout), mOut.nSampleFormat, mOut.nSampleRate);
    AVChannelLayout outLayout, inLayout;
    LayoutFromMask(mOut.nChannelLayout, mOut.nChannel, &outLayout);
    LayoutFromMask(mSrc.nChannelLayout, mSrc.nChannel, &inLayout);
    int r = swr_alloc_set_opts2(&mSwr, &outLayout, static_cast<AVSampleFormat>(mOut.nSampleFormat),
                                mOut.nSampleRate, &inLayout,
                                static_cast<AVSampleFormat>(mSrc.nSampleFormat), mSrc.nSampleRate,
                                0, nullptr);
    av_channel_layout_uninit(&outLayout);
    av_channel_layout_uninit(&inLayout);
    if (r < 0 || !mSwr) {
        KVA_LOG(kLogDetail, "AudioReSample Create Resample Context Failed!\n");
        if (mSwr) swr_free(&mSwr);
        return;
    }
    if (swr_init(mSwr) < 0) {
        KVA_LOG(kLogDetail, "AudioReSample Resample Context Init Failed!\n");
        swr_free(&mSwr);
        return;
    }
    mState = kReady;
}

int32_t CKVAAudioNormlizer::convert(AudioFrame* frame) {
    if (!frame) return 0;
    CKVAAutoLock lock(mLock);
    if (mState == kReady) mState = kConverting;
    if (mState != kConverting || !mSwr) return 0;
    const uint32_t inFrameBytes =
        static_cast<uint32_t>(mSrc.nChannel) * static_cast<uint32_t>(mSrc.nBitsPerSample) / 8;
    if (inFrameBytes == 0 || frame->nLen <= 0) return 0;
    const int n = static_cast<int>(static_cast<uint32_t>(frame->nLen) / inFrameBytes);
    if (n <= 0) return 0;
    int64_t outCount = av_rescale_rnd(swr_get_delay(mSwr, mSrc.nSampleRate) + n,
                                      mOut.nSampleRate, mSrc.nSampleRate, AV_ROUND_UP);
    const AVSampleFormat outFmt = static_cast<AVSampleFormat>(mOut.nSampleFormat);
    int need = av_samples_get_buffer_size(nullptr, mOut.nChannel, static_cast<int>(outCount),
                                          outFmt, 0);
    if (need <= 0) {
        KVA_LOG(kLogDetail, "AudioReSample Samples Get buffer Size Error(%d)", need);
        return -4;
    }
    if (!mScratch || mScratchCapacity < need + 1024) {
        free(mScratch);
        mScratchCapacity = 0;
        mScratch = static_cast<uint8_t*>(malloc(static_cast<size_t>(need) + 1024));
        if (!mScratch) {
            KVA_LOG(kLogDetail, "AudioReSample Samples Get buffer Size Error(%d)", need);
            return -5;
        }
        mScratchCapacity = need + 1024;
    }
    const uint8_t* in = frame->pData;
    int converted = swr_convert(mSwr, &mScratch, static_cast<int>(outCount), &in, n);
    if (converted < 0) {
        KVA_LOG(kLogDetail, "AudioReSample swr_convert error(%d)", converted);
        return -5;
    }
    int bytes = av_samples_get_buffer_size(nullptr, mOut.nChannel, converted, outFmt, 1);
    if (bytes < 1) {
        KVA_LOG(kLogDetail, "AudioReSample av_samples_get_buffer_size error(%d)", bytes);
        return -6;
    }
    if (frame->nCapacity < bytes && reserveBuffer(frame, bytes) != 0) return -7;
    memcpy(frame->pData, mScratch, bytes);
    frame->nLen = bytes;
    return bytes;
}

int32_t CKVAAudioNormlizer::drain(AudioFrame* frame) {
    if (!frame) return 0;
    CKVAAutoLock lock(mLock);
    if (mState != kConverting || !mSwr) return 0;
    const int n = swr_get_out_samples(mSwr, 0);
    if (n <= 0) return 0;
    const AVSampleFormat outFmt = static_cast<AVSampleFormat>(mOut.nSampleFormat);
    const int need = av_samples_get_buffer_size(nullptr, mOut.nChannel, n, outFmt, 1);
    if (need <= 0) return -4;
    const int32_t used = frame->nLen > 0 ? frame->nLen : 0;
    if (frame->nCapacity < used + need && reserveBuffer(frame, used + need) != 0) return -7;
    uint8_t* dst = frame->pData + used;
    const int got = swr_convert(mSwr, &dst, n, nullptr, 0);
    if (got < 0) {
        KVA_LOG(kLogDetail, "AudioReSample drain swr_convert error(%d)", got);
        return -5;
    }
    const int bytes = got > 0 ? av_samples_get_buffer_size(nullptr, mOut.nChannel, got, outFmt, 1) : 0;
    if (bytes <= 0) return 0;
    frame->nLen = used + bytes;
    return bytes;
}

void CKVAAudioNormlizer::reset() {
    CKVAAutoLock lock(mLock);
    if (mSwr && swr_init(mSwr) < 0) {
        swr_free(&mSwr);
        mState = kPassThrough;
    }
}

}  // namespace kva_audioplayer
