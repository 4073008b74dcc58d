#include "codec/KVAAudioStream.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "support/Log.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace kva_audioplayer {

namespace {
// The first buffering after an open or a seek ends with this much queued.
constexpr int64_t kFirstBufferingMs = 1500;

// The stream whose decode-thread handler runs on this thread, if any.
thread_local const CKVAAudioStream* tHandling = nullptr;

// Result of decode-thread work that a later seek made stale: it changes nothing.
constexpr int32_t kStaleAfterSeek = 0x7FFF0001;

bool IsContinueStatus(int32_t status) {
    return status == 0 || status == kDecFormatChanged || status == AVERROR_INVALIDDATA ||
           status == AVERROR(EINVAL);
}
}  // namespace

CKVAAudioStream::CKVAAudioStream(IKVAStreamObserver* obs) : observer(obs) {
    mStateLock.Init();
    mWaitLock.Init();
    mRoomCond.Init();
    mProgressLock.Init();
    mProgressCond.Init();
    mDecoderLock.Init();
    mQueueLock.Init();
    mIFLock.Init();
    mDecoder.reset(new CKVAFFDecoder());
    mThread.reset(new CKVAMsgThread());
    mNormlizer.reset(new CKVAAudioNormlizer());
}

CKVAAudioStream::~CKVAAudioStream() {
    close();
    mThread.reset();
    {
        CKVAAutoLock lock(mDecoderLock);
        mDecoder.reset();
    }
    {
        CKVAAutoLock lock(mQueueLock);
        for (auto* list : {&mReady, &mFree, &mOutHolder}) {
            for (AudioFrame* f : *list) releaseFrame(f);
            list->clear();
        }
        mOutFrame = nullptr;
    }
    mNormlizer.reset();
    mIFLock.Destroy();
    mQueueLock.Destroy();
    mDecoderLock.Destroy();
    mProgressCond.Destroy();
    mProgressLock.Destroy();
    mRoomCond.Destroy();
    mWaitLock.Destroy();
    mStateLock.Destroy();
}

void CKVAAudioStream::releaseFrame(AudioFrame* frame) {
    if (!frame) return;
    free(frame->pData);
    free(frame);
    --mAllocatedFrames;
}

void CKVAAudioStream::resetFrame(AudioFrame* frame) {
    frame->nFlags = 0;
    frame->nLen = 0;
    frame->nDuration = 0;
    frame->nReadPos = 0;
    frame->nTimestamp = -1;
    frame->nErr = 0;
}

// ---- lifecycle ----

int32_t CKVAAudioStream::open(IKVASourceIO* source, bool silent) {
    CKVAAutoLock lock(mDecoderLock);
    if (mState != kCreated && mState != kClosed) mDecoder->close();
    mState = kOpening;
    int32_t r = mDecoder->open(source, 0.0f);
    if (r != 0) {
        mLastError = mDecoder->getErrorCode();
        return r;
    }
    mDurationMs = mDecoder->getDuration();
    mTags = mDecoder->getTags();
    mEOS = false;
    mFailed = false;
    mState = kOpened;
    mMediaId = source->GetSessionId();
    const char* text = source->GetSessionIdText();
    mMediaText = text ? text : "";
    resetIFState();
    CKVAAutoLock qlock(mQueueLock);
    mFirstTime = true;
    mBuffering = true;
    if (!silent && observer) observer->OnBufferingStart(mMediaText.c_str(), mMediaId);
    return r;
}

void CKVAAudioStream::postDecode(bool onlyBelowCache, int32_t delayMs) {
    mLoopIdle = false;
    mThread->Post(MakeMsg(kMsgDecode, mMediaText, int32_t(onlyBelowCache ? 1 : 0)), delayMs);
}

int32_t CKVAAudioStream::start() {
    CKVAAutoLock lock(mStateLock);
    if (mState != kStarted) {
        mState = kStarted;
        mThread->Start("Audio Decoder Thread", this, &CKVAAudioStream::HandleMessage);
        if (mSeekTime > 0) mThread->Post(MakeMsg(kMsgSeek, mMediaText, int64_t(mSeekTime)));
    }
    postDecode(false);
    return 0;
}

int32_t CKVAAudioStream::pause() {
    CKVAAutoLock lock(mStateLock);
    if (mState == kStarted) {
        mState = kPaused;
        mThread->Clear();
        wakeDecoder();  // a sleep for room ends: paused, the thread waits for messages only
    }
    return 0;
}

int32_t CKVAAudioStream::resume() {
    CKVAAutoLock lock(mStateLock);
    if (mState == kPaused) {
        mState = kStarted;
        postDecode(false);
    }
    return 0;
}

int32_t CKVAAudioStream::stop() {
    // No decoder lock here: the decode thread may need it to finish the message it runs.
    int32_t st = mState;
    if (st == kStopped || st == kClosed) return 0;
    mState = kStopped;
    mThread->Clear();
    wakeDecoder();
    mThread->Stop();
    mLoopIdle = true;
    return 0;
}

void CKVAAudioStream::abort() { mDecoder->abort(); }

int32_t CKVAAudioStream::close() {
    if (mState == kClosed) return 0;
    if (mState == kStarted || mState == kPaused) stop();
    int32_t r;
    {
        CKVAAutoLock lock(mDecoderLock);
        r = mDecoder->close();
    }
    freeAudioFrameList(true);
    mState = kClosed;
    mSeekTime = -1;
    return r;
}

// ---- formats ----

void CKVAAudioStream::getAudioDescription(AudioDescription* out) {
    if (!out) return;
    CKVAAutoLock lock(mIFLock);
    if (mZOAiAudioStatus == kIFReady || mZOAiAudioStatus == kIFProcessing) {
        *out = mStreamOutDes;
        return;
    }
    mDecoder->getOutputDescription(out);
}

int32_t CKVAAudioStream::setOutputDescription(const AudioDescription& des) {
    CKVAAutoLock lock(mIFLock);
    if (mZOAiAudioStatus == kIFReady || mZOAiAudioStatus == kIFProcessing) {
        mNormlizer->setFormat(&mIFOutDes, &des);
        mStreamOutDes = des;
        return 0;
    }
    return mDecoder->setOutputDescription(des);
}

// ---- decode thread ----

bool CKVAAudioStream::queueFull() {
    const int32_t st = mState;
    if (st == kPaused || st == kStopped || st == kClosed || decodeEnded()) return false;
    CKVAAutoLock lock(mQueueLock);
    return mBufDuration >= cache_max;
}

void CKVAAudioStream::waitForRoom() {
    mWaitingForRoom = true;
    for (;;) {
        uint32_t seq;
        {
            CKVAAutoLock lock(mWaitLock);
            seq = mWakeSeq;
        }
        // Looked at without the wait lock, which stays a leaf: callers of wakeDecoder hold
        // locks of their own, and the queue lock is held around the observer's callbacks.
        if (!queueFull()) break;
        CKVAAutoLock lock(mWaitLock);
        if (mWakeSeq != seq) break;
        // Bounded, so that a wake-up lost to a race costs a second, not the stream.
        mRoomCond.TimedWait(mWaitLock, 1000);
        if (mWakeSeq != seq) break;
    }
    mWaitingForRoom = false;
}

void CKVAAudioStream::wakeDecoder() {
    CKVAAutoLock lock(mWaitLock);
    ++mWakeSeq;
    mRoomCond.Signal();
}

bool CKVAAudioStream::holdsAudioOrEnded() {
    return readyFrames() > 0 || isEOS() || getLastError() != 0;
}

void CKVAAudioStream::signalProgress() {
    CKVAAutoLock lock(mProgressLock);
    ++mProgressSeq;
    mProgressCond.Broadcast();
}

bool CKVAAudioStream::waitForAudio(int64_t timeoutMs) {
    const int64_t until = MonotonicMs() + timeoutMs;
    for (;;) {
        uint32_t seq;
        {
            CKVAAutoLock lock(mProgressLock);
            seq = mProgressSeq;
        }
        // Looked at without the progress lock, which stays a leaf.
        if (holdsAudioOrEnded()) return true;
        const int64_t left = until - MonotonicMs();
        if (left <= 0) return false;
        CKVAAutoLock lock(mProgressLock);
        if (mProgressSeq == seq) mProgressCond.TimedWait(mProgressLock, left);
    }
}

void CKVAAudioStream::HandleMessage(void* user, const ThreadMsgPtr& msg) {
    auto* self = static_cast<CKVAAudioStream*>(user);
    tHandling = self;
    ++self->mDecodeSteps;
    int32_t status = 0;
    switch (msg->mId) {
    case kMsgSeek:
        status = self->seekInternal(msg->mArg1);
        break;
    case kMsgDecode:
        if (self->decodeEnded()) {
            status = AVERROR_EOF;
        } else if (msg->mArg1 == 1 && self->bufferedMs() >= self->cache_max) {
            status = 0;  // still full: only look again
        } else {
            status = self->doDecoder();
        }
        break;
    default:
        status = 0;
        break;
    }
    self->checkBuffer(status);
    self->signalProgress();
    tHandling = nullptr;
}

int32_t CKVAAudioStream::doDecoder() {
    AudioFrame* frame = nullptr;
    int32_t r = 0;
    int32_t decoderError = 0;
    const uint32_t gen = mSeekGen;
    {
        CKVAAutoLock lock(mDecoderLock);
        frame = getFreeFrame();
        if (!frame) return kStreamNoFreeFrame;
        resetFrame(frame);
        const double limit = static_cast<double>(mStepSize) * mSpeed;
        do {
            r = mDecoder->decode(frame);
        } while (r == 0 && static_cast<double>(frame->nLen) < limit);
        if (r != 0) KVA_LOG(kLogError, "CKVAAudioStream::doDecoder nErr %d", r);
        decoderError = mDecoder->getErrorCode();
    }
    bool processed = false;
    if (((r == 0 || r == kDecFormatChanged) && frame->nLen > 0) || r == AVERROR_EOF)
        processed = processIF(frame, &r);
    // What a processor being switched off still holds comes before audio it never saw.
    const bool drainable = r == 0 || r == AVERROR_EOF || r == kDecFormatChanged;
    if (drainable && !processed) drainIF();

    {
        CKVAAutoLock lock(mQueueLock);
        if (gen != mSeekGen) {
            // A seek came in while this frame was decoded: it belongs to the old position.
            mFree.push_back(frame);
            return kStaleAfterSeek;
        }
        bool queue = true;
        if (r == 0) {
            queue = frame->nLen > 0 || frame->nFlags != 0;
            mLastError = 0;
        } else if (r == AVERROR_EOF || r == kDecFormatChanged) {
            mLastError = 0;
        } else if (r == kAvNoDataYet || r == kAvCancelled) {
            frame->nFlags |= kFrameBufferError;
            frame->nErr = kStreamCancelled;
            mLastError = decoderError;
        } else if (r == AVERROR(EIO)) {
            frame->nFlags |= kFrameBufferError;
            frame->nErr = kStreamIoError;
            mLastError = decoderError;
            mFailed = true;
        } else if (r == kDecRetryLimit || r == kDecTooManyErrors) {
            frame->nFlags |= kFrameBufferError;
            frame->nErr = kStreamDecodeError;
            mLastError = r;
            mFailed = true;
        } else if (r == AVERROR_INVALIDDATA || r == AVERROR(EINVAL)) {
            queue = false;
        } else {
            frame->nFlags |= kFrameBufferError;
            frame->nErr = kStreamDecodeError;
            mLastError = decoderError;
            mFailed = true;
            KVA_LOG(kLogError, "CKVAAudioStream::doDecoder error nErr %d, mLastError %d, aFrame %ld",
                    r, static_cast<int>(mLastError), reinterpret_cast<long>(frame));
        }
        if (queue) {
            mReady.push_back(frame);
            mBufDuration += frame->nDuration;
        } else {
            mFree.push_back(frame);
        }
        // Set together with the last frame so that a pull never sees an empty queue without it.
        if (r == AVERROR_EOF) mEOS = true;
    }
    if (drainable && processed) drainIF();
    if (r == AVERROR_EOF) KVA_LOG(kLogTrace, "CKVAAudioStream::doDecoder EOS");
    return r;
}

void CKVAAudioStream::checkBuffer(int32_t status) {
    const bool onDecodeThread = tHandling == this;
    bool wantDecode = false;
    bool full = false;
    const int32_t st = mState;
    const bool active = st != kPaused && st != kStopped && st != kClosed;
    {
        CKVAAutoLock lock(mQueueLock);
        if (IsContinueStatus(status)) {
            if (mBuffering) {
                bool end = false;
                if (mFirstTime && mBufDuration >= kFirstBufferingMs) {
                    mFirstTime = false;
                    mBuffering = false;
                    mSeeking = false;
                    end = true;
                } else if (mBufDuration >= cache_min || mEOS) {
                    mBuffering = false;
                    end = true;
                }
                if (end && observer) observer->OnBufferingEnd(mMediaText.c_str(), mMediaId);
            }
            wantDecode = mBufDuration < cache_max && !decodeEnded() && active;
            full = !decodeEnded() && active && !wantDecode;
        } else if (status == kAvNoDataYet || status == kStaleAfterSeek) {
            // The source has nothing yet (the next pull restarts decoding), or a seek is
            // pending (its own message goes on).
        } else if (mBuffering) {
            mBuffering = false;
            if (observer) observer->OnBufferingEnd(mMediaText.c_str(), mMediaId);
        }
    }
    if (onDecodeThread) {
        if (mThread->CountById(kMsgDecode) > 0) {
            mLoopIdle = false;
        } else if (wantDecode) {
            postDecode(false);
        } else if (full) {
            // Asleep until a pull makes room (or a seek, pause or stop): no polling.
            waitForRoom();
            const int32_t now = mState;
            if (now != kPaused && now != kStopped && now != kClosed) postDecode(true);
            else mLoopIdle = true;
        } else {
            mLoopIdle = true;
        }
    } else if (wantDecode) {
        if (mWaitingForRoom) wakeDecoder();
        else if (mLoopIdle.exchange(false)) mThread->Post(MakeMsg(kMsgDecode, mMediaText, int32_t(0)));
    }
}

// ---- pulls (render thread) ----

void CKVAAudioStream::recycleFront() {
    mFree.splice(mFree.end(), mReady, mReady.begin());
}

int32_t CKVAAudioStream::emptyQueueResult() {
    if (mEOS) {
        KVA_LOG(kLogTrace, "CKVAAudioStream::bufferFill EOS");
        return kAudioPlayerEOS;
    }
    if (!mBuffering && observer) observer->OnBufferingStart(mMediaText.c_str(), mMediaId);
    mBuffering = true;
    KVA_LOG(kLogTrace, "CKVAAudioStream::bufferFill buffer empty");
    return kStreamNoData;
}

static int64_t FrameTimestamp(const AudioFrame* f) {
    const int64_t unit = int64_t(f->nBlockAlign) * f->mDes.nSampleRate;
    return unit != 0 ? f->nTimestamp + int64_t(f->nReadPos) * 1000 / unit : f->nTimestamp;
}

int32_t CKVAAudioStream::bufferFill(uint8_t* buf, int32_t* len, int64_t* timestamp) {
    if (!len) return kAudioPlayerErrorState;
    int32_t r = kStreamOk;
    bool eos = false;
    bool newFormat = false;
    {
        CKVAAutoLock lock(mQueueLock);
        if (!mReady.empty()) {
            AudioFrame* f = mReady.front();
            if (timestamp) *timestamp = FrameTimestamp(f);
            const int32_t avail = f->nLen - f->nReadPos;
            bool finished;
            if (*len < avail) {
                if (*len > 0 && buf) memcpy(buf, f->pData + f->nReadPos, *len);
                if (*len > 0) f->nReadPos += *len;
                finished = false;
            } else {
                if (avail > 0 && buf) memcpy(buf, f->pData + f->nReadPos, avail);
                f->nReadPos = f->nLen;
                *len = avail > 0 ? avail : 0;
                finished = true;
            }
            // A frame's flags take effect once its bytes are out: a format change or an error
            // reported while bytes of the frame remain would apply to those bytes too.
            if (finished) {
                const uint32_t flags = f->nFlags;
                const int32_t err = f->nErr;
                mBufDuration -= f->nDuration;
                recycleFront();
                if (flags & kFrameNewFormat) newFormat = true;
                if (flags & kFrameBufferError) {
                    r = err;
                    KVA_LOG(kLogTrace, "CKVAAudioStream::bufferFill FLAG_BUFFER_ERROR nErr %d", err);
                }
            }
            if (*len == 0 && mEOS && r == kStreamOk && !newFormat) {
                KVA_LOG(kLogTrace, "CKVAAudioStream::bufferFill inlen 0 and  EOS");
                eos = true;
            }
        } else {
            *len = 0;
            r = emptyQueueResult();
            eos = r == kAudioPlayerEOS;
        }
    }
    checkBuffer(0);
    if (eos) return kAudioPlayerEOS;
    if (newFormat) return kStreamFormatChanged;
    return r;
}

int32_t CKVAAudioStream::bufferFillFull(uint8_t* buf, int32_t* len, int64_t* timestamp) {
    if (!len) return kAudioPlayerErrorState;
    const int32_t want = *len > 0 ? *len : 0;
    int32_t got = 0;
    int32_t r = kStreamOk;
    bool stopped = false;
    bool newFormat = false;
    bool eos = false;
    {
        CKVAAutoLock lock(mQueueLock);
        bool stampSet = false;
        while (got < want && !mReady.empty()) {
            AudioFrame* f = mReady.front();
            if (!stampSet && timestamp) *timestamp = FrameTimestamp(f);
            stampSet = true;
            int32_t n = f->nLen - f->nReadPos;
            if (n > want - got) n = want - got;
            if (n > 0) {
                if (buf) memcpy(buf + got, f->pData + f->nReadPos, n);
                f->nReadPos += n;
                got += n;
            }
            if (f->nReadPos < f->nLen) break;  // request filled inside this frame
            const uint32_t flags = f->nFlags;
            const int32_t err = f->nErr;
            mBufDuration -= f->nDuration;
            recycleFront();
            if (flags & kFrameNewFormat) {
                newFormat = stopped = true;
                break;
            }
            if (flags & kFrameBufferError) {
                r = err;
                stopped = true;
                KVA_LOG(kLogTrace, "CKVAAudioStream::bufferFill FLAG_BUFFER_ERROR nErr %d", err);
                break;
            }
        }
        if (got == 0 && mEOS && !stopped && mReady.empty()) {
            KVA_LOG(kLogTrace, "CKVAAudioStream::bufferFill inlen 0 and  EOS");
            eos = true;
        } else if (got < want && !stopped) {
            if (mEOS) {
                KVA_LOG(kLogTrace, "CKVAAudioStream::bufferFill EOS");
                eos = true;
            } else {
                r = emptyQueueResult();
            }
        }
    }
    *len = got;
    checkBuffer(0);
    if (eos) return kAudioPlayerEOS;
    if (newFormat) return kStreamFormatChanged;
    return r;
}

int32_t CKVAAudioStream::frameFill(AudioFrame* out) {
    if (!out) return kAudioPlayerErrorState;
    int32_t r = kStreamOk;
    {
        CKVAAutoLock lock(mQueueLock);
        if (mOutFrame) {
            mFree.splice(mFree.end(), mOutHolder);
            mOutFrame = nullptr;
        }
        if (!mReady.empty()) {
            AudioFrame* f = mReady.front();
            // Its audio leaves the queue now, so the queued duration never counts it twice.
            mBufDuration -= f->nDuration;
            mOutHolder.splice(mOutHolder.end(), mReady, mReady.begin());
            mOutFrame = f;
            *out = *f;
            if (f->nFlags & kFrameNewFormat) {
                r = kStreamFormatChanged;
            } else if (f->nFlags & kFrameBufferError) {
                r = f->nErr;
                KVA_LOG(kLogTrace, "CKVAAudioStream::frameFill FLAG_BUFFER_ERROR nErr %d", r);
            } else if (f->nLen == 0 && mEOS) {
                r = kAudioPlayerEOS;
            }
        } else {
            out->nLen = 0;
            r = emptyQueueResult();
        }
    }
    checkBuffer(0);
    return r;
}

// ---- frames ----

AudioFrame* CKVAAudioStream::getFreeFrame() {
    {
        CKVAAutoLock lock(mQueueLock);
        if (!mFree.empty()) {
            AudioFrame* f = mFree.front();
            mFree.pop_front();
            return f;
        }
    }
    auto* f = static_cast<AudioFrame*>(calloc(1, sizeof(AudioFrame)));
    if (!f) return nullptr;
    const int32_t cap = 2 * mStepSize;
    f->pData = static_cast<uint8_t*>(malloc(cap));
    if (!f->pData) {
        free(f);
        return nullptr;
    }
    f->nCapacity = cap;
    f->nTimestamp = -1;
    ++mAllocatedFrames;
    return f;
}

void CKVAAudioStream::freeAudioFrameList(bool all) {
    CKVAAutoLock lock(mQueueLock);
    int64_t kept = 0;
    for (auto it = mReady.begin(); it != mReady.end();) {
        auto next = std::next(it);
        if (!all && ((*it)->nFlags & kFrameNewFormat)) {
            KVA_LOG(kLogTrace, "CKVAAudioStream::freeAudioFrameList keep NEW_FORMAT");
            kept += (*it)->nDuration;
        } else {
            mFree.splice(mFree.end(), mReady, it);
        }
        it = next;
    }
    mBufDuration = kept;
}

// ---- seeking ----

int32_t CKVAAudioStream::seek(int64_t ms) {
    const int32_t st = mState;
    if (st == kOpening || st == kOpened) {
        mSeekTime = ms;
        return 0;
    }
    if (st != kStarted && st != kStopped) return kAudioPlayerErrorState;
    bool seeking;
    {
        CKVAAutoLock lock(mQueueLock);
        seeking = mSeeking;
        // Work already running for the old position must neither queue audio nor end this
        // seek's buffering; and the old end of stream no longer holds.
        ++mSeekGen;
        mEOS = false;
        mFailed = false;
    }
    const bool taken = mDecoderLock.TryLock() == 0;
    mDecoder->cancelReading(seeking);
    if (taken) mDecoderLock.Unlock();
    mThread->Clear();
    freeAudioFrameList(false);
    mSeekTime = ms;
    mLoopIdle = false;
    {
        // Before the decoder hears of the seek: set after, the buffering could end first and
        // then start again with the cache already full, leaving the stream buffering for good.
        CKVAAutoLock lock(mQueueLock);
        mSeeking = true;
        mBuffering = true;
        if (observer) observer->OnBufferingStart(mMediaText.c_str(), mMediaId);
    }
    mThread->Post(MakeMsg(kMsgSeek, mMediaText, ms));
    wakeDecoder();
    KVA_LOG(kLogTrace, "CKVAAudioStream::seek mSeekTime %ld", static_cast<long>(ms));
    return 0;
}

int32_t CKVAAudioStream::seekInternal(int64_t ms) {
    int32_t r;
    int32_t decoderError;
    const uint32_t gen = mSeekGen;
    {
        CKVAAutoLock lock(mDecoderLock);
        r = mDecoder->seek(ms);
        decoderError = mDecoder->getErrorCode();
    }
    if (gen != mSeekGen) return kStaleAfterSeek;
    freeAudioFrameList(false);
    if (r == 0) {
        {
            CKVAAutoLock lock(mQueueLock);
            mFirstTime = true;
        }
        mEOS = false;
        {
            CKVAAutoLock lock(mIFLock);
            mIFTimeBase = -1;
            mIFOutSamples = 0;
            mNormlizer->reset();
            if (mZOAiAudioCurIF && mZOAiAudioStatus == kIFSwitchingOff) {
                // What it held belongs to the old position: nothing left to drain.
                mZOAiAudioStatus = kIFSwitchedOff;
                mZOAiAudioCurIF->Reset();
            } else if (mZOAiAudioCurIF &&
                       (mZOAiAudioStatus == kIFReady || mZOAiAudioStatus == kIFProcessing)) {
                mZOAiAudioCurIF->Reset();
            }
        }
        checkBuffer(0);
        return 0;
    }
    if (r == AVERROR_EOF) {
        mEOS = true;
        checkBuffer(AVERROR_EOF);
        return r;
    }
    if (r == kDecCancelled) return kAvNoDataYet;
    AudioFrame* f = getFreeFrame();
    if (!f) return kStreamNoFreeFrame;
    resetFrame(f);
    f->nFlags = kFrameBufferError;
    f->nErr = r;
    {
        CKVAAutoLock lock(mQueueLock);
        if (gen != mSeekGen) {
            mFree.push_back(f);
            return kStaleAfterSeek;
        }
        mLastError = decoderError;
        mFailed = true;
        mReady.push_back(f);
    }
    checkBuffer(r);
    return r;
}

// ---- settings ----

void CKVAAudioStream::SetPlaybackCacheParams(int64_t cacheMin, int64_t cacheMax,
                                             int64_t bufferingMin, int64_t bufferingMax) {
    KVA_LOG(kLogDetail,
            "CKVAAudioStream::SetPlaybackCacheParams cache_min %lld, cache_max %lld, "
            "buffering_min %lld, buffering_max %lld",
            static_cast<long long>(cacheMin), static_cast<long long>(cacheMax),
            static_cast<long long>(bufferingMin), static_cast<long long>(bufferingMax));
    if (cacheMin >= 4000 && cacheMin <= 14999) cache_min = cacheMin;
    if (cacheMax >= 7000 && cacheMax <= 14999) cache_max = cacheMax;
    buffering_min = bufferingMin;
    buffering_max = bufferingMax;
    if (cache_max <= cache_min) cache_max = cache_min + 1000;
    wakeDecoder();  // a larger cache is room
}

void CKVAAudioStream::setCacheMax(int64_t ms) {
    if (ms >= 7000 && ms < 15000) cache_max = ms;
    wakeDecoder();
}

void CKVAAudioStream::setStepSize(int32_t size) {
    mStepSize = size;
    KVA_LOG(kLogTrace, "CKVAAudioStream::setStepSize mStepSize %d", size);
}

void CKVAAudioStream::setSpeed(double speed) {
    CKVAAutoLock lock(mIFLock);
    mSpeed = speed;
    if (std::fabs(speed - 1.0) >= 0.0001 &&
        (mZOAiAudioStatus == kIFReady || mZOAiAudioStatus == kIFProcessing)) {
        mZOAiAudioStatus = kIFSwitchingOff;
        mDecoder->setOutputDescription(mStreamOutDes);
        // Decoding is over, so no decode step will drain what the processor holds: do it here.
        if (mEOS) drainIF();
    }
    KVA_LOG(kLogDetail, "CKVAAudioStream::setSpeed mSpeed %f, mZOAiAudioStatus %d", speed,
            mZOAiAudioStatus);
}

bool CKVAAudioStream::isEOS() { return mDecoder->isEOS(); }

int64_t CKVAAudioStream::getDuration() { return mDurationMs; }

bool CKVAAudioStream::getTag(const char* key, std::string* value) {
    for (const auto& tag : mTags) {
        if (strcasecmp(tag.first.c_str(), key) == 0) {
            *value = tag.second;
            return true;
        }
    }
    return false;
}

std::string CKVAAudioStream::getSessionIdText() { return mDecoder->getSessionIdText(); }
double CKVAAudioStream::getRatio() { return mDecoder->getRatio(); }
int32_t CKVAAudioStream::getSessionId() { return mDecoder->getSessionId(); }

int64_t CKVAAudioStream::bufferedMs() {
    CKVAAutoLock lock(mQueueLock);
    return mBufDuration;
}

bool CKVAAudioStream::isBuffering() {
    CKVAAutoLock lock(mQueueLock);
    return mBuffering;
}

int32_t CKVAAudioStream::readyFrames() {
    CKVAAutoLock lock(mQueueLock);
    return static_cast<int32_t>(mReady.size());
}

int32_t CKVAAudioStream::freeFrames() {
    CKVAAutoLock lock(mQueueLock);
    return static_cast<int32_t>(mFree.size());
}

// ---- IF processing ----

namespace {
int64_t FramesToMs(int64_t frames, int32_t rate) { return rate > 0 ? frames * 1000 / rate : 0; }

// Load in percent of real time: processing ms against the ms of audio they produced.
int32_t LoadRatio(int64_t procMs, int64_t frames, int32_t rate) {
    const int64_t audioMs = FramesToMs(frames, rate);
    return audioMs > 0 ? static_cast<int32_t>(procMs * 100 / audioMs) : 0;
}

uint64_t DefaultLayoutMask(int32_t channels) {
    AVChannelLayout layout;
    av_channel_layout_default(&layout, channels);
    const uint64_t mask = layout.order == AV_CHANNEL_ORDER_NATIVE ? layout.u.mask : 0;
    av_channel_layout_uninit(&layout);
    return mask;
}

bool SamePcmShape(const AudioDescription& a, const AudioDescription& b) {
    return a.nSampleRate == b.nSampleRate && a.nChannel == b.nChannel &&
           a.nSampleFormat == b.nSampleFormat;
}

// A processor gives at most this much output per call on top of what its input suggests; more
// stays held and comes with a later block.
constexpr int32_t kReceiveSlackBytes = 64 * 1024;
// Bounds a drain against a processor that never reports its end.
constexpr int kMaxDrainReceives = 256;
}  // namespace

int32_t CKVAAudioStream::SetAudioIFEnable(int32_t nEnable) {
    CKVAAutoLock lock(mIFLock);
    mZOAiAudioType = nEnable;
    mThread->Clear();
    KVA_LOG(kLogDetail, "CKVAAudioStream::SetAudioIFEnable nEnable %d", nEnable);
    int32_t r = initIFProcess();
    if (mState == kStarted && r == 0) {
        mLoopIdle = false;
        mThread->Post(MakeMsg(kMsgIFEnable, mMediaText, int32_t(-1)));
        wakeDecoder();
    }
    return r;
}

void CKVAAudioStream::setIFProcessor(IKVAAudioIFProcessor* processor) {
    CKVAAutoLock lock(mIFLock);
    mIFProcessor = processor;
}

void CKVAAudioStream::SetAudioIFRatio(int32_t nRatio) {
    CKVAAutoLock lock(mIFLock);
    mIFMaxRatio = nRatio;
    KVA_LOG(kLogDetail, "CKVAAudioStream::SetAudioIFRatio nRatio %d", nRatio);
}

int32_t CKVAAudioStream::getIFLoad() {
    CKVAAutoLock lock(mIFLock);
    if (mIFWindowSampleSum <= 0 || mStreamOutDes.nSampleRate == 0) return 0;
    return LoadRatio(mIFWindowMsSum, mIFWindowSampleSum, mStreamOutDes.nSampleRate);
}

int32_t CKVAAudioStream::ifStatus() {
    CKVAAutoLock lock(mIFLock);
    return mZOAiAudioStatus;
}

int32_t CKVAAudioStream::initIFProcess() {
    CKVAAutoLock lock(mIFLock);
    mZOAiAudioStatus = kIFOff;
    if (mZOAiAudioType == 0) {
        KVA_LOG(kLogDetail, "CKVAAudioStream::initIFProcess mZOAiAudioType %d", mZOAiAudioType);
        return 0;
    }
    if (std::fabs(mSpeed - 1.0) >= 0.0001) {
        KVA_LOG(kLogDetail, "CKVAAudioStream::initIFProcess mSpeed %f", double(mSpeed));
        return 1;
    }
    mZOAiAudioCurIF = mIFProcessor;
    if (!mZOAiAudioCurIF) {
        KVA_LOG(kLogDetail, "CKVAAudioStream::initIFProcess mZOAiAudioCurIF %ld", 0L);
        return 1;
    }
    mDecoder->getOutputDescription(&mSrcAudioDes);
    if (mSrcAudioDes.nChannel >= 3 || mSrcAudioDes.nSampleRate > 48000 ||
        mSrcAudioDes.nChannel <= 0 || mSrcAudioDes.nSampleRate <= 0) {
        KVA_LOG(kLogDetail,
                "CKVAAudioStream::initIFProcess mSrcAudioDes.nChannel %d, mSrcAudioDes.nSampleRate %d",
                mSrcAudioDes.nChannel, mSrcAudioDes.nSampleRate);
        return 1;
    }
    mZOAiAudioStatus = kIFInit;
    int32_t err = mZOAiAudioCurIF->Init();
    if (err != 0) {
        KVA_LOG(kLogError, "CKVAAudioStream::initIFProcess mZOAiAudioCurIF->Init() nErr %d", err);
        mZOAiAudioStatus = kIFOff;
        return err;
    }
    int32_t inRate = mSrcAudioDes.nSampleRate, inChannels = mSrcAudioDes.nChannel;
    mZOAiAudioCurIF->SetInputFormat(&inRate, &inChannels);
    int32_t outRate = mSrcAudioDes.nSampleRate, outChannels = mSrcAudioDes.nChannel;
    mZOAiAudioCurIF->GetOutputFormat(&outRate, &outChannels);
    // A format the resamplers cannot take would turn the audio into noise: stay unprocessed.
    if (inRate <= 0 || inRate > 384000 || inChannels <= 0 || inChannels > 8 || outRate <= 0 ||
        outRate > 384000 || outChannels <= 0 || outChannels > 8) {
        KVA_LOG(kLogError,
                "CKVAAudioStream::initIFProcess bad formats in %d/%d, out %d/%d", inRate,
                inChannels, outRate, outChannels);
        mZOAiAudioStatus = kIFOff;
        return 1;
    }
    mIFInputDes = mSrcAudioDes;
    mIFInputDes.nTag = kAudioDescriptionTag;
    mIFInputDes.nSampleRate = inRate;
    if (inChannels != mSrcAudioDes.nChannel) mIFInputDes.nChannelLayout = DefaultLayoutMask(inChannels);
    mIFInputDes.nChannel = inChannels;
    mIFInputDes.nSampleFormat = AV_SAMPLE_FMT_FLT;
    mIFInputDes.nBitsPerSample = 32;
    mDecoder->setOutputDescription(mIFInputDes);
    mIFOutDes = mIFInputDes;
    mIFOutDes.nSampleRate = outRate;
    if (outChannels != inChannels) mIFOutDes.nChannelLayout = DefaultLayoutMask(outChannels);
    mIFOutDes.nChannel = outChannels;
    mStreamOutDes = mIFOutDes;
    mNormlizer->setFormat(&mIFOutDes, &mStreamOutDes);
    resetIFState();
    mZOAiAudioStatus = kIFReady;
    return 0;
}

void CKVAAudioStream::resetIFState() {
    CKVAAutoLock lock(mIFLock);
    mIFTimeBase = -1;
    mIFOutSamples = 0;
    mIFWindowSampleSum = 0;
    mIFWindowMsSum = 0;
    mIFBlockCount = 0;
    mIFWindowSamples.clear();
    mIFWindowMs.clear();
}

// IF lock held. Output of the processor in the stream output format: resampled, timed, sized.
// The processor's last output also takes what the resampler still holds.
int64_t CKVAAudioStream::finishIFBlock(AudioFrame* frame, bool advance, bool last) {
    mNormlizer->convert(frame);
    if (last) mNormlizer->drain(frame);
    const int32_t rate = mStreamOutDes.nSampleRate;
    const int32_t frameBytes = mStreamOutDes.nChannel * (mStreamOutDes.nBitsPerSample / 8);
    if (mIFTimeBase == -1) {
        mIFTimeBase = frame->nTimestamp;
    } else {
        frame->nTimestamp = FramesToMs(mIFOutSamples, rate) + mIFTimeBase;
    }
    frame->mDes = mStreamOutDes;
    frame->nBlockAlign = frameBytes;
    const int64_t n = frameBytes > 0 ? frame->nLen / frameBytes : 0;
    frame->nDuration = static_cast<int32_t>(FramesToMs(n, rate));
    if (advance) mIFOutSamples += n;
    return n;
}

// IF lock held. Grows the frame so that the processor's output for its input fits at once.
void CKVAAudioStream::reserveIFOutput(AudioFrame* frame, int32_t extraBytes) {
    const int32_t inBytes = mIFInputDes.nChannel * 4;
    if (inBytes <= 0 || mIFInputDes.nSampleRate <= 0) return;
    const int64_t inFrames = frame->nLen / inBytes;
    const int64_t outFrames = inFrames * mIFOutDes.nSampleRate / mIFInputDes.nSampleRate + 1;
    const int64_t need = outFrames * mIFOutDes.nChannel * 4 + extraBytes;
    if (need < INT32_MAX / 2) mNormlizer->reserveBuffer(frame, static_cast<int32_t>(need));
}

bool CKVAAudioStream::processIF(AudioFrame* frame, int32_t* status) {
    CKVAAutoLock lock(mIFLock);
    if (mZOAiAudioStatus == kIFReady) mZOAiAudioStatus = kIFProcessing;
    // A block decoded for the processor just before it was switched off still goes through it
    // (the drain that follows keeps the order); anything else in another format passes.
    const bool late = mZOAiAudioStatus == kIFSwitchingOff && mZOAiAudioCurIF;
    if (mZOAiAudioStatus != kIFProcessing && !late) return false;
    if (!SamePcmShape(frame->mDes, mIFInputDes) && !(frame->nLen == 0 && *status == AVERROR_EOF))
        return false;
    if (*status == kDecFormatChanged) mDecoder->setOutputDescription(mIFInputDes);
    uint8_t endFlag = *status == AVERROR_EOF ? 1 : 0;
    reserveIFOutput(frame, kReceiveSlackBytes);

    const int64_t t0 = NowMs();
    if (frame->nLen > 0) mZOAiAudioCurIF->Put(frame->pData, frame->nLen);
    if (endFlag) mZOAiAudioCurIF->Put(nullptr, 0);
    int32_t len = frame->nCapacity;
    mZOAiAudioCurIF->Receive(frame->pData, &len, &endFlag);
    const int64_t t1 = NowMs();
    frame->nLen = len < 0 ? 0 : (len > frame->nCapacity ? frame->nCapacity : len);

    const int64_t n = finishIFBlock(frame, true, *status == AVERROR_EOF && endFlag != 0);
    if (*status == AVERROR_EOF && endFlag == 0) *status = 0;
    if (!late) updateIFTime(t1 - t0, static_cast<int32_t>(n));
    return true;
}

int32_t CKVAAudioStream::drainIF() {
    CKVAAutoLock lock(mIFLock);
    if (mZOAiAudioStatus != kIFSwitchingOff || !mZOAiAudioCurIF) return 0;
    AudioFrame* frame = getFreeFrame();
    if (!frame) return kStreamNoFreeFrame;
    resetFrame(frame);
    mZOAiAudioCurIF->Put(nullptr, 0);
    // The processor clears the flag while it holds more than one call could take.
    uint8_t endFlag = 0;
    for (int i = 0; i < kMaxDrainReceives && endFlag == 0; ++i) {
        if (frame->nCapacity - frame->nLen < kReceiveSlackBytes &&
            mNormlizer->reserveBuffer(frame, frame->nLen + kReceiveSlackBytes) != 0)
            break;
        int32_t len = frame->nCapacity - frame->nLen;
        endFlag = 1;
        mZOAiAudioCurIF->Receive(frame->pData + frame->nLen, &len, &endFlag);
        if (len <= 0) break;
        frame->nLen += std::min(len, frame->nCapacity - frame->nLen);
    }
    finishIFBlock(frame, false, true);
    mZOAiAudioStatus = kIFSwitchedOff;
    mZOAiAudioCurIF->Reset();
    CKVAAutoLock qlock(mQueueLock);
    if (frame->nLen > 0) {
        mReady.push_back(frame);
        mBufDuration += frame->nDuration;
    } else {
        mFree.push_back(frame);
    }
    return 0;
}

// IF lock held. Ends processing: the decoder produces the output format itself from now on and
// the next decode step drains what the processor holds.
void CKVAAudioStream::switchIFOff(int32_t ratio) {
    mZOAiAudioStatus = kIFSwitchingOff;
    mDecoder->setOutputDescription(mStreamOutDes);
    if (observer) observer->OnStreamEvent(kNotifyAudioIFStatus, mMediaText.c_str(), kAudioIFSwitchedOff,
                                          ratio);
}

void CKVAAudioStream::updateIFTime(int64_t procMs, int32_t samples) {
    const int32_t rate = mStreamOutDes.nSampleRate;
    if (rate <= 0) return;
    mIFWindowSamples.push_back(samples);
    mIFWindowMs.push_back(procMs);
    mIFWindowSampleSum += samples;
    mIFWindowMsSum += procMs;
    ++mIFBlockCount;

    int64_t bufDuration;
    bool firstTime;
    {
        CKVAAutoLock qlock(mQueueLock);
        bufDuration = mBufDuration;
        firstTime = mFirstTime;
    }
    if (mIFWindowSampleSum > int64_t(rate) * 4) {
        mIFWindowSampleSum -= mIFWindowSamples.front();
        mIFWindowMsSum -= mIFWindowMs.front();
        mIFWindowSamples.pop_front();
        mIFWindowMs.pop_front();
        const int32_t ratio = LoadRatio(mIFWindowMsSum, mIFWindowSampleSum, rate);
        if (mIFBlockCount >= 50) {
            KVA_LOG(kLogTrace, "CKVAAudioStream::updateIFTime time %ld, length %d",
                    static_cast<long>(mIFWindowMsSum), static_cast<int>(mIFWindowSampleSum));
            mIFBlockCount = 0;
        }
        if (ratio > mIFMaxRatio && bufDuration < 2000) {
            KVA_LOG(kLogError,
                    "CKVAAudioStream::updateIFTime ratio is bigger than max ratio. current ratio%d, "
                    "max ratio %d, mBufDuration %ld",
                    ratio, mIFMaxRatio, static_cast<long>(bufDuration));
            switchIFOff(ratio);
            return;
        }
    }
    if (firstTime && bufDuration + FramesToMs(samples, rate) >= kFirstBufferingMs) {
        const int32_t ratio = LoadRatio(mIFWindowMsSum, mIFWindowSampleSum, rate);
        if (ratio > 2 * mIFMaxRatio) {
            KVA_LOG(kLogError,
                    "CKVAAudioStream::updateIFTime first time check ratio is bigger than max ratio. "
                    "current ratio %d, max ratio %d, mBufDuration %ld",
                    ratio, mIFMaxRatio, static_cast<long>(bufDuration));
            switchIFOff(ratio);
            return;
        }
    }
    if (samples < 500) return;
    const int64_t blockMs = FramesToMs(samples, rate);
    if (blockMs <= 0) return;
    const double ratio1 = static_cast<double>(procMs) * 100.0 / static_cast<double>(blockMs);
    if (ratio1 <= 500.0) return;
    if (bufDuration >= 2000 && !firstTime && ratio1 < static_cast<double>(bufDuration)) return;
    KVA_LOG(kLogError,
            "CKVAAudioStream::updateIFTime check ratio1 is bigger than max ratio. current ratio1 %f, "
            "max ratio %d, mBufDuration %ld, mFirstTime %d",
            ratio1, mIFMaxRatio, static_cast<long>(bufDuration), firstTime ? 1 : 0);
    switchIFOff(static_cast<int32_t>(ratio1));
}

}  // namespace kva_audioplayer
