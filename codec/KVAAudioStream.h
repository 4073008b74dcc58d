// One playing medium: decoder, decode-ahead thread, frame queue and the render-side pulls.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "KvaAudioPlayer.h"
#include "support/AudioTypes.h"
#include "codec/KVAAudioNormlizer.h"
#include "codec/KVAFFDecoder.h"
#include "codec/StreamObserver.h"
#include "support/KVAMsgThread.h"
#include "support/KVASync.h"

namespace kva_audioplayer {

// Locks, in the only order they are ever nested: the state lock, then the decoder lock, then the
// IF lock, then the decoder's own locks, then the queue lock; the wait and progress locks are
// leaves.
// - state lock: start, pause, resume (never held across a decode or a read);
// - decoder lock: decoder use (open, decode, seek, close), held across source reads, so only the
//   decode thread and open/close take it: duration, format and end of stream are read without it;
// - IF lock: the IF fields and the output description;
// - wait lock: the decode thread's sleep while the queue is full; nothing is taken under it;
// - progress lock: a waitForAudio sleep until a decode step ends; nothing is taken under it;
// - queue lock: the frame lists and the queued duration, never held while decoding. The
//   buffering callbacks are made under it, so an observer only posts.
class CKVAAudioStream {
public:
    enum State : int32_t {
        kCreated = 1,
        kOpening = 3,
        kOpened = 4,
        kStarted = 5,
        kPaused = 6,
        kStopped = 8,
        kClosed = 10,
    };
    enum MsgId : int32_t { kMsgDecode = 50, kMsgSeek = 51, kMsgIFEnable = 52 };
    // IF processing statuses.
    enum IFStatus : int32_t {
        kIFOff = 1,
        kIFInit = 2,
        kIFReady = 4,
        kIFProcessing = 5,
        kIFSwitchingOff = 6,
        kIFSwitchedOff = 8,
    };

    explicit CKVAAudioStream(IKVAStreamObserver* observer);
    virtual ~CKVAAudioStream();

    virtual int32_t open(IKVASourceIO* source, bool silent);
    virtual int32_t start();
    virtual int32_t pause();
    virtual int32_t resume();
    virtual int32_t stop();
    virtual void abort();
    virtual int32_t close();
    virtual void getAudioDescription(AudioDescription* out);
    virtual int32_t setOutputDescription(const AudioDescription& des);
    virtual int32_t bufferFill(uint8_t* buf, int32_t* len, int64_t* timestamp);
    virtual int32_t frameFill(AudioFrame* out);
    virtual int32_t bufferFillFull(uint8_t* buf, int32_t* len, int64_t* timestamp);
    virtual void SetPlaybackCacheParams(int64_t cacheMin, int64_t cacheMax, int64_t bufferingMin,
                                        int64_t bufferingMax);
    virtual bool isEOS();
    virtual int32_t SetAudioIFEnable(int32_t nEnable);
    virtual void setIFProcessor(IKVAAudioIFProcessor* processor);
    virtual void SetAudioIFRatio(int32_t nRatio);
    // Marks the stream for the player's command thread to set its IF mode up; any thread.
    void requestIF() { mIFRequested.store(true); }
    bool takeIFRequest() { return mIFRequested.exchange(false); }
    virtual int32_t seek(int64_t ms);
    virtual int64_t getDuration();
    // The value of the media's tag `key` (any case); false when it has none. Cached at open.
    bool getTag(const char* key, std::string* value);
    const std::vector<std::pair<std::string, std::string>>& tags() const { return mTags; }
    // A linear gain the player applies to what it takes from this stream; 1 for none.
    void setMixGain(float gain) { mMixGain.store(gain); }
    float mixGain() const { return mMixGain.load(); }
    virtual void setSpeed(double speed);
    virtual std::string getSessionIdText();
    virtual double getRatio();
    virtual int32_t getSessionId();
    virtual int32_t getLastError() { return mLastError; }
    virtual void setStepSize(int32_t size);
    virtual void setCacheMax(int64_t ms);
    virtual int32_t getIFLoad();
    virtual int32_t seekInternal(int64_t ms);
    virtual int32_t doDecoder();
    virtual int32_t initIFProcess();
    virtual void resetIFState();
    // True when the frame went through the processor.
    virtual bool processIF(AudioFrame* frame, int32_t* status);
    virtual int32_t drainIF();
    virtual void updateIFTime(int64_t procMs, int32_t samples);
    virtual AudioFrame* getFreeFrame();
    virtual void freeAudioFrameList(bool all);
    virtual void checkBuffer(int32_t status);

    static void SetCodecBlackList(const std::vector<int32_t>& ids) {
        CKVAFFDecoder::SetCodecBlackList(ids);
    }

    // Read-only views for callers and tests.
    int32_t state() const { return mState; }
    int64_t bufferedMs();
    int64_t cacheMin() const { return cache_min; }
    int64_t cacheMax() const { return cache_max; }
    bool isBuffering();
    int32_t readyFrames();
    // Sleeps until the stream holds audio, has ended or has failed, at most `timeoutMs`; true
    // when one of these came. Each decode step wakes it.
    bool waitForAudio(int64_t timeoutMs);
    int32_t freeFrames();
    int32_t allocatedFrames() const { return mAllocatedFrames; }
    int32_t ifStatus();
    // Decode-thread messages handled so far (each one a wake-up of that thread).
    int64_t decodeSteps() const { return mDecodeSteps; }

    CKVAAudioStream(const CKVAAudioStream&) = delete;
    CKVAAudioStream& operator=(const CKVAAudioStream&) = delete;

protected:
    static void HandleMessage(void* user, const ThreadMsgPtr& msg);
    void postDecode(bool onlyBelowCache, int32_t delayMs = 0);
    void releaseFrame(AudioFrame* frame);
    void resetFrame(AudioFrame* frame);
    // Takes the front ready frame into the free list (no allocation). Queue lock held.
    void recycleFront();
    // IF lock held; the sample frames the block now holds.
    int64_t finishIFBlock(AudioFrame* frame, bool advance, bool last);
    void reserveIFOutput(AudioFrame* frame, int32_t extraBytes);  // IF lock held
    void switchIFOff(int32_t ratio);  // IF lock held
    // Empty-queue answer of the pulls. Queue lock held.
    int32_t emptyQueueResult();
    // Decode thread: sleeps while the queue is full and the stream active, until a pull makes
    // room or wakeDecoder is called.
    void waitForRoom();
    bool queueFull();
    void wakeDecoder();
    bool holdsAudioOrEnded();
    bool decodeEnded() const { return mEOS || mFailed; }
    void signalProgress();  // decode thread, after each step

    CKVACritical mStateLock;
    CKVACritical mDecoderLock;
    CKVACritical mWaitLock;
    CKVACondition mRoomCond;
    uint32_t mWakeSeq = 0;  // wait lock
    std::atomic<bool> mWaitingForRoom{false};
    std::atomic<bool> mIFRequested{false};
    CKVACritical mProgressLock;
    CKVACondition mProgressCond;
    uint32_t mProgressSeq = 0;  // progress lock
    std::atomic<int64_t> mDecodeSteps{0};
    std::atomic<int64_t> mDurationMs{0};  // cached at open
    std::vector<std::pair<std::string, std::string>> mTags;  // written by open only
    CKVACritical mQueueLock;
    CKVACritical mIFLock;
    IKVAStreamObserver* observer;
    std::atomic<int32_t> mState{kCreated};
    std::unique_ptr<CKVAFFDecoder> mDecoder;
    std::unique_ptr<CKVAMsgThread> mThread;
    std::unique_ptr<CKVAAudioNormlizer> mNormlizer;

    // IF processing (off until the IF stage is enabled).
    int32_t mZOAiAudioType = 0;
    IKVAAudioIFProcessor* mIFProcessor = nullptr;
    IKVAAudioIFProcessor* mZOAiAudioCurIF = nullptr;
    int32_t mZOAiAudioStatus = kIFOff;
    int32_t mIFMaxRatio = 90;
    AudioDescription mSrcAudioDes{};
    AudioDescription mIFInputDes{};
    AudioDescription mIFOutDes{};  // what the processor gives
    AudioDescription mStreamOutDes{};
    int64_t mIFTimeBase = -1;
    int64_t mIFOutSamples = 0;
    std::list<int32_t> mIFWindowSamples;
    std::list<int64_t> mIFWindowMs;
    int64_t mIFWindowSampleSum = 0;
    int64_t mIFWindowMsSum = 0;
    int32_t mIFBlockCount = 0;

    std::atomic<int64_t> mSeekTime{-1};
    int64_t mBufDuration = 0;  // queue lock
    std::atomic<double> mSpeed{1.0};
    std::atomic<float> mMixGain{1.0f};
    std::atomic<int32_t> mLastError{0};
    std::atomic<int64_t> cache_min{4000};
    std::atomic<int64_t> cache_max{7000};
    std::atomic<int64_t> buffering_min{1000};
    std::atomic<int64_t> buffering_max{1500};
    // Buffering bookkeeping, under the queue lock.
    bool mSeeking = false;
    bool mFirstTime = false;
    bool mBuffering = false;
    std::atomic<bool> mEOS{false};
    // An error frame that ends playback is queued: decoding more would only overwrite the
    // error's detail before the pull reports it. A seek clears it, with the frame.
    std::atomic<bool> mFailed{false};
    // Bumped by every seek; decode-thread work started under an older value is dropped.
    std::atomic<uint32_t> mSeekGen{0};
    // Set when the decode loop posted nothing further; a pull then restarts it. While the loop
    // runs (or waits for room with a delayed check), the pulls post nothing and so allocate
    // nothing.
    std::atomic<bool> mLoopIdle{true};
    std::atomic<int32_t> mStepSize{65536};
    std::string mMediaText;
    uint32_t mMediaId = 0;
    AudioFrame* mOutFrame = nullptr;  // queue lock
    std::list<AudioFrame*> mReady;     // queue lock
    std::list<AudioFrame*> mFree;      // queue lock
    std::list<AudioFrame*> mOutHolder; // queue lock: the frame handed out by frameFill
    std::atomic<int32_t> mAllocatedFrames{0};
};

}  // namespace kva_audioplayer
