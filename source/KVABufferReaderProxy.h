// Byte source for HTTP media: a download thread fills a block cache that reads are served from.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "KvaAudioPlayer.h"
#include "support/KVASync.h"
#include "source/KVACacheBuffer.h"
#include "source/KVAHttpClient.h"

namespace kva_audioplayer {

// Download status (mReadStatus).
enum : int32_t { kReadStopped = 0, kReadDownloading = 1, kReadClosed = 2 };
// Buffering state.
enum : int32_t { kBufferingNotYet = -1, kBufferingActive = 0, kBufferingReady = 1 };

class CKVABufferReaderProxy : public IKVASourceIO {
public:
    static constexpr int32_t kDownloadChunk = 32768;
    // What one receive of the download thread may take: fewer system calls per megabyte.
    static constexpr int32_t kReceivePiece = 131072;
    static constexpr int32_t kCacheWriteError = -45;
    // A connection that delivers nothing for this long is taken as dead and reopened.
    static constexpr int32_t kQuietMs = 5000;
    // How long Open waits for the first bytes; a read waits as long as the download goes on.
    static constexpr int32_t kOpenWaitMs = 30000;
    // A live stream (no length) runs through a small ring: what is read is released.
    static constexpr int32_t kLiveBlocks = 8;

    // Called on the download thread whenever a live stream announces a new title.
    typedef void (*StreamTitleFn)(void* context, const char* title);

    CKVABufferReaderProxy(uint32_t sessionId, const char* url);
    // Tests hand in a client of their own (for instance one with a private trust store).
    CKVABufferReaderProxy(uint32_t sessionId, const char* url, CKVAHttpClient* client);
    ~CKVABufferReaderProxy() override;

    uint32_t GetSessionId() override { return mSessionId; }                       // 1
    int32_t Open() override;                                                      // 2
    int32_t Read(uint8_t* buffer, int32_t* length) override;                      // 3
    int32_t Seek(int64_t* position, int32_t whence) override;                     // 4
    double GetRatio() override { return 1.0; }                                    // 5
    void Reserved() override {}                                                   // 6
    void Abort() override;                                                        // 7
    void Close() override;                                                        // 8
    int64_t GetSize() override;                                                   // 9
    int64_t GetAvailableSize() override;                                          // 10
    bool SupportFastSeek() override { return true; }                              // 11
    int32_t GetErrorCode() override { return mErrorCode.load(); }                 // 12
    const char* GetSessionIdText() override;                                      // 13
    void CancelReading(bool cancel) override;                                     // 14
    void SeekDone(uint8_t* done) override;                                        // 15
    virtual std::string GetUrl() { return mUrl; }                                 // 16
    virtual bool ReservedFlag() { return false; }                                 // 17
    virtual void SetDownSpeed(bool fast);                                         // 18
    virtual int32_t GetConnectState();                                            // 19
    virtual uint32_t GetDownloadedBytes() {                                       // 20
        return static_cast<uint32_t>(mDownloaded.load());
    }
    virtual int32_t GetBufferingPercent();                                        // 21
    virtual bool TakeFlag();                                                      // 22
    virtual void RestartBuffering();                                              // 23
    virtual uint32_t GetStatusCode() { return mLastStatus.load(); }               // 24
    virtual uint32_t GetIPv4Address() { return mServerAddress.load(); }           // 25
    virtual void RequestReconnect(bool reconnect);                                // 26
    static void* ThreadEntry(void* self);                                         // 27
    virtual void DownloadThreadBuffer();                                          // 28
    virtual bool IsBuffering(int64_t position, int32_t length);                   // 29
    virtual bool RequestReposition(int64_t position, int32_t length, int32_t mode);  // 30
    virtual bool NeedBuffering();                                                 // 31
    virtual bool ProcessBufferingIssue(int64_t position, int32_t length, bool quick);  // 32
    virtual void UpdateBufferingState();                                          // 33
    virtual int32_t ReConnectServer(int64_t offset);                              // 34
    virtual int32_t WriteToCache(const uint8_t* data, int64_t offset, int32_t length);  // 35

    // Observation points for callers that show progress, and for tests.
    int32_t GetReadStatus();
    int32_t GetBufferingState();
    int64_t GetReadPosition() const { return mReadPosition.load(); }
    void GetBufferedRange(int64_t* start, int64_t* end);
    // Downloaded bytes from the read position on (0 when the window is elsewhere).
    int64_t GetBytesAhead();
    int32_t GetCacheCount();
    uint64_t GetDownloadedBytes64() const { return mDownloaded.load(); }
    // A stream without a length: no size, no seeks outside what is buffered.
    bool IsLive() const { return mLive.load(); }
    std::string GetStreamTitle();
    void SetStreamTitleListener(StreamTitleFn fn, void* context);

    CKVABufferReaderProxy(const CKVABufferReaderProxy&) = delete;
    CKVABufferReaderProxy& operator=(const CKVABufferReaderProxy&) = delete;

private:
    // The thread ends itself: a give-up is a read error for the decoder, an abort is not.
    void StopFromThread(int32_t errorCode, bool gaveUp);
    void WakeReaders();

    // The download thread's steps, on its own state.
    struct DownloadCounters {
        int32_t nReconnectNum = 0;         // failed reconnects since the last bytes
        int32_t nZeroBuffer = 0;           // empty receive waits since the last bytes
        int32_t nZeroCount = 0;            // quiet connections since the last bytes
        int32_t nConsecutiveReadFail = 0;  // failed reads mended by a reconnect, in a row
        int64_t offset = 0;                // where the next byte received goes
        int64_t lastByteMs = 0;            // when bytes last came (or reading last paused)
        bool complete = false;             // the resource is all in the cache
    };
    enum class DownloadStep { kGoOn, kSkip, kLeave };
    int32_t ReconnectUnlessExhausted(int64_t offset, const DownloadCounters& c, bool responseEnded);
    // True when the thread must stop (an abort, or a give-up).
    bool AfterFailedReconnect(int32_t ret, DownloadCounters& c, bool readPath, int32_t nReadSize);
    // The seek or reconnect a reader asked for; kSkip when it failed for now.
    DownloadStep ReconnectOnRequest(DownloadCounters& c, bool seekPending, int64_t newOff);
    // One receive into the cache, or a pause while the cache is full or reading is slowed.
    DownloadStep ReceivePiece(CKVACacheBuffer* cache, uint8_t* buffer, bool fast, DownloadCounters& c);
    // False when the cache refused the piece.
    bool StorePiece(CKVACacheBuffer* cache, const uint8_t* data, int32_t length, DownloadCounters& c);
    // A read that failed (or a connection quiet too long): the end of a live body, or a reconnect.
    DownloadStep AfterFailedRead(CKVACacheBuffer* cache, int32_t nReadSize, DownloadCounters& c);
    // Less than 2 MiB of the cache free, with no seek waiting to empty it and writeAt (the next
    // bytes) extending the window.
    bool CacheFull(CKVACacheBuffer* cache, int64_t writeAt);
    void PassOnStreamTitle();

    std::string mUrl;
    std::string mSessionIdText;
    std::unique_ptr<CKVAHttpClient> mHttpClient;
    CKVACacheBuffer* mCacheBuffer = nullptr;
    int32_t mReadStatus = kReadStopped;
    int32_t mBufferingState = kBufferingNotYet;
    CKVACritical mLock;
    CKVASemaphore mSemaphore;
    CKVACondition mDataCond;  // with mLock: bytes arrived, the thread stopped, or a wait ends
    std::atomic<uint32_t> mWakeCount{0};  // CancelReading: ends the waits running now
    std::atomic<bool> mGaveUp{false};
    // Without ranges a reconnect costs the whole resource again: such a connection is kept.
    std::atomic<bool> mRangesServed{true};
    std::atomic<bool> mLive{false};
    std::string mStreamTitle;  // guarded by mLock
    StreamTitleFn mTitleFn = nullptr;
    void* mTitleContext = nullptr;
    std::thread mThread;
    std::atomic<bool> mCancel{false};
    int64_t mWaitPosition = 0;
    std::atomic<uint64_t> mDownloaded{0};
    int32_t mFirstFill = 0;
    int32_t aFast = 1;
    std::atomic<int32_t> mReconnectFailCount{0};
    bool mReconnectRequest = false;
    bool mSecondFlag = false;
    std::atomic<uint32_t> mLastStatus{0};
    std::atomic<uint32_t> mServerAddress{0};
    std::atomic<int64_t> offSet{0};
    int64_t mNewOffSet = 0;
    bool mSeekPending = false;
    std::atomic<int64_t> mReadPosition{0};
    std::atomic<int32_t> mErrorCode{0};
    uint32_t mSessionId;
    int32_t mChunkSize = 0;
    int32_t mChunkLeft = 0;
    int32_t mChunkHeld = 0;
};

}  // namespace kva_audioplayer
