#include "source/KVABufferReaderProxy.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "source/KVAAudioLocalSource.h"
#include "support/Clock.h"
#include "support/Log.h"

namespace kva_audioplayer {

namespace {
const int64_t kMiB = 1048576;
const int64_t kBufferingCap = 131072;
}  // namespace

CKVABufferReaderProxy::CKVABufferReaderProxy(uint32_t sessionId, const char* url)
    : CKVABufferReaderProxy(sessionId, url, nullptr) {}

CKVABufferReaderProxy::CKVABufferReaderProxy(uint32_t sessionId, const char* url,
                                             CKVAHttpClient* client)
    : mUrl(url ? url : ""), mHttpClient(client ? client : new CKVAHttpClient()),
      mSessionId(sessionId) {
    mLock.Init();
    mSemaphore.Init(0);
    mDataCond.Init();
    mHttpClient->SetIcyMetadata(true);
}

std::string CKVABufferReaderProxy::GetStreamTitle() {
    CKVAAutoLock lock(mLock);
    return mStreamTitle;
}

void CKVABufferReaderProxy::SetStreamTitleListener(StreamTitleFn fn, void* context) {
    CKVAAutoLock lock(mLock);
    mTitleFn = fn;
    mTitleContext = context;
}

CKVABufferReaderProxy::~CKVABufferReaderProxy() {
    Abort();
    Close();
    mHttpClient.reset();
}

const char* CKVABufferReaderProxy::GetSessionIdText() {
    if (mSessionIdText.empty()) mSessionIdText = SessionIdToText(mSessionId);
    return mSessionIdText.c_str();
}

void CKVABufferReaderProxy::CancelReading(bool) {
    // A read waiting out a network outage must not hold up the seek that asks for this.
    KVA_LOG(kLogTrace, "CKVABufferReaderProxy::CancelReading");
    mWakeCount.fetch_add(1);
    WakeReaders();
}

void CKVABufferReaderProxy::WakeReaders() {
    CKVAAutoLock lock(mLock);
    mDataCond.Broadcast();
}

void CKVABufferReaderProxy::SeekDone(uint8_t*) {
    KVA_LOG(kLogTrace, "CKVABufferReaderProxy::SeekDone not implement");
}

// ---- open and close ----

int32_t CKVABufferReaderProxy::Open() {
    if (mThread.joinable()) Close();
    {
        CKVAAutoLock lock(mLock);
        mWaitPosition = 0;
        mFirstFill = 1;
        mNewOffSet = 0;
        mSeekPending = false;
        mReconnectRequest = false;
        mReadStatus = kReadClosed;
        mBufferingState = kBufferingNotYet;
        aFast = 1;
    }
    mCancel.store(false);
    mGaveUp.store(false);
    offSet.store(0);
    mLastStatus.store(0);
    mServerAddress.store(0);
    mSemaphore.Reset();
    mReadPosition.store(0);
    if (!mHttpClient) mHttpClient.reset(new CKVAHttpClient());
    mHttpClient->SetIcyMetadata(true);

    int32_t nConnectErr = kHttpConnectFailed;
    int32_t tryCnt = 0;
    bool lastFailWasAbort = false;
    const int64_t openStart = MonotonicMs();
    mHttpClient->SetOverallDeadline(openStart + CKVAHttpClient::kHeadDeadlineMs);
    for (int32_t attempt = 0; attempt < 5; ++attempt) {
        nConnectErr = mHttpClient->Connect(mUrl.c_str(), 0, false);
        lastFailWasAbort = mHttpClient->LastFailWasAbort();
        mServerAddress.store(mHttpClient->GetIPv4Address());
        mLastStatus.store(mHttpClient->GetStatusCode());
        // A refusal is reported at once, and no answer at all within the head deadline.
        if (nConnectErr == kHttpOk || mCancel.load() || lastFailWasAbort || attempt == 4 ||
            CKVAHttpClient::IsFinalFailure(nConnectErr, mLastStatus.load()) ||
            MonotonicMs() - openStart >= CKVAHttpClient::kHeadDeadlineMs)
            break;
        mHttpClient->Disconnect();
        mSemaphore.TimedWait(500);
        ++tryCnt;
    }
    mHttpClient->SetOverallDeadline(0);  // the download thread's reconnects have their own
    if (nConnectErr != kHttpOk) {
        mHttpClient->Disconnect();
        KVA_LOG(kLogError,
                "CKVABufferReaderProxy::Open nConnectErr %d, tryCnt %d, mCancel %d, "
                "lastFailWasAbort %d",
                nConnectErr, tryCnt, mCancel.load() ? 1 : 0, lastFailWasAbort ? 1 : 0);
        uint32_t status = mLastStatus.load();
        if (!mCancel.load() && !lastFailWasAbort) {
            mErrorCode.store(status != 0 ? static_cast<int32_t>(status) : nConnectErr);
            return kSourceNetOpenFailed;
        }
        mErrorCode.store(status != 0 ? static_cast<int32_t>(status) : kHttpNotConnected);
        return kSourceCancelled;
    }

    const int64_t length = mHttpClient->ContentLength();
    // No length, or chunked: a live stream (or a body that ends where the server closes it).
    const bool live = length <= 0 || mHttpClient->IsTransferBlock();
    if (mHttpClient->IsTransferBlock() && !mHttpClient->IsChunked()) {
        mHttpClient->Disconnect();
        KVA_LOG(kLogError, "CKVABufferReaderProxy::Open error transfer coding not supported");
        return kSourceNetOpenFailed;
    }
    mLive.store(live);
    mRangesServed.store(!live && mHttpClient->AcceptsRanges());

    CKVACacheBuffer* cache = new CKVACacheBuffer();
    cache->SetCacheCount(live ? kLiveBlocks
                              : static_cast<int32_t>(std::min<int64_t>(
                                    length / kMiB + 4, CKVACacheBuffer::kMaxBlocks)));
    cache->SetTotalLength(live ? 0 : length);
    if (cache->CacheCount() == 0) {
        mHttpClient->Disconnect();
        KVA_LOG(kLogError, "CKVABufferReaderProxy::Open error mCacheBuffer->CacheCount() is zero");
        delete cache;
        return kSourceNetOpenFailed;
    }
    {
        CKVAAutoLock lock(mLock);
        delete mCacheBuffer;
        mCacheBuffer = cache;
        // Downloading before the thread starts: it leaves at once when it sees the closed state.
        mReadStatus = kReadDownloading;
        mBufferingState = kBufferingActive;
    }
    mThread = std::thread([this] { ThreadEntry(this); });

    ProcessBufferingIssue(0, kDownloadChunk, false);
    return kSourceOk;
}

void CKVABufferReaderProxy::Abort() {
    // Two units: the download thread and a waiting reader may both be asleep.
    mSemaphore.Post();
    mSemaphore.Post();
    mCancel.store(true);
    if (mHttpClient) mHttpClient->Cancel();
    WakeReaders();
    KVA_LOG(kLogError, "CKVABufferReaderProxy::Abort");
}

void CKVABufferReaderProxy::Close() {
    KVA_LOG(kLogDetail, "CKVABufferReaderProxy::Close()++");
    {
        CKVAAutoLock lock(mLock);
        mReadStatus = kReadClosed;
        mDataCond.Broadcast();
    }
    if (mThread.joinable()) mThread.join();
    if (mHttpClient) mHttpClient->Disconnect();
    {
        CKVAAutoLock lock(mLock);
        delete mCacheBuffer;
        mCacheBuffer = nullptr;
    }
    KVA_LOG(kLogDetail, "CKVABufferReaderProxy::Close()--");
}

// ---- queries ----

int64_t CKVABufferReaderProxy::GetSize() {
    CKVAAutoLock lock(mLock);
    if (!mCacheBuffer) return 0;
    // A live stream has no size until the server ends it (a 0 sent demuxers reading to the end).
    const int64_t total = mCacheBuffer->TotalLength();
    return mLive.load() && total <= 0 ? -1 : total;
}

int64_t CKVABufferReaderProxy::GetAvailableSize() {
    CKVAAutoLock lock(mLock);
    if (!mCacheBuffer) return 0;
    int64_t start, end;
    mCacheBuffer->GetRange(&start, &end);
    return end;
}

void CKVABufferReaderProxy::GetBufferedRange(int64_t* start, int64_t* end) {
    CKVAAutoLock lock(mLock);
    if (!mCacheBuffer) {
        *start = *end = 0;
        return;
    }
    mCacheBuffer->GetRange(start, end);
}

int64_t CKVABufferReaderProxy::GetBytesAhead() {
    int64_t start, end;
    GetBufferedRange(&start, &end);
    const int64_t position = mReadPosition.load();
    return position >= start && end > position ? end - position : 0;
}

int32_t CKVABufferReaderProxy::GetCacheCount() {
    CKVAAutoLock lock(mLock);
    return mCacheBuffer ? mCacheBuffer->CacheCount() : 0;
}

int32_t CKVABufferReaderProxy::GetReadStatus() {
    CKVAAutoLock lock(mLock);
    return mReadStatus;
}

int32_t CKVABufferReaderProxy::GetBufferingState() {
    CKVAAutoLock lock(mLock);
    return mBufferingState;
}

int32_t CKVABufferReaderProxy::GetConnectState() {
    return mHttpClient ? mHttpClient->GetConnectState() : 0;
}

void CKVABufferReaderProxy::SetDownSpeed(bool fast) {
    KVA_LOG(kLogDetail, "CKVABufferReaderProxy::SetDownSpeed aFast %d", fast ? 1 : 0);
    CKVAAutoLock lock(mLock);
    aFast = fast ? 1 : 0;
    mReconnectFailCount.store(0);
}

bool CKVABufferReaderProxy::TakeFlag() {
    CKVAAutoLock lock(mLock);
    bool flag = mSecondFlag;
    mSecondFlag = false;
    return flag;
}

void CKVABufferReaderProxy::RestartBuffering() {
    CKVAAutoLock lock(mLock);
    if (mBufferingState == kBufferingReady && mReadStatus == kReadDownloading) {
        mBufferingState = kBufferingActive;
    }
}

void CKVABufferReaderProxy::RequestReconnect(bool reconnect) {
    if (!reconnect) return;
    CKVAAutoLock lock(mLock);
    mReconnectRequest = true;
}

int32_t CKVABufferReaderProxy::GetBufferingPercent() {
    CKVAAutoLock lock(mLock);
    if (mBufferingState != kBufferingActive || !mCacheBuffer) return 100;
    int64_t start, end;
    mCacheBuffer->GetRange(&start, &end);
    int64_t target = std::min<int64_t>((mCacheBuffer->CacheCount() - 2) * kMiB, kBufferingCap);
    int64_t total = mCacheBuffer->TotalLength();
    if (total - mWaitPosition < target) target = total - mWaitPosition;
    if (start > mWaitPosition) return 0;
    if (target <= 0) return 100;
    int64_t percent = (end - mWaitPosition) * 100 / target;
    return static_cast<int32_t>(std::max<int64_t>(0, std::min<int64_t>(100, percent)));
}

// ---- buffering ----

bool CKVABufferReaderProxy::IsBuffering(int64_t position, int32_t length) {
    CKVAAutoLock lock(mLock);
    if (mReadStatus != kReadDownloading || !mCacheBuffer) return false;
    int64_t start, end;
    mCacheBuffer->GetRange(&start, &end);
    int64_t total = mCacheBuffer->TotalLength();
    int64_t want = position + length;
    if (total > 0) want = std::min(want, total);
    return position < start || want > end;
}

bool CKVABufferReaderProxy::RequestReposition(int64_t position, int32_t length, int32_t mode) {
    if (position < 0) return false;
    bool reposition;
    {
        CKVAAutoLock lock(mLock);
        if (!mCacheBuffer) return false;
        int64_t start, end;
        mCacheBuffer->GetRange(&start, &end);
        int64_t total = mCacheBuffer->TotalLength();
        if (mode <= 1) {
            int64_t reach = end + kDownloadChunk + static_cast<int64_t>(mode) * 294912;
            if (total > 0) reach = std::min(reach, total);
            reposition = position < start || position > reach;
        } else {
            int64_t room = (mCacheBuffer->CacheCount() - 2) * kMiB - (end - start);
            int64_t reach = (room >= 1 && room <= 131071) ? end + room : end + kBufferingCap;
            if (total > 0) reach = std::min(reach, total);
            reposition = !((position >= start || mSeekPending) && position <= reach && room > 0);
        }
        if (reposition) {
            mNewOffSet = position;
            mSeekPending = true;
            mFirstFill = 1;
        }
    }
    if (reposition) mSemaphore.Post();
    return reposition;
}

bool CKVABufferReaderProxy::NeedBuffering() {
    CKVAAutoLock lock(mLock);
    if (mReadStatus != kReadDownloading || !mCacheBuffer) return false;
    const int32_t count = mCacheBuffer->CacheCount();
    int64_t target = std::min<int64_t>((count - 2) * kMiB, kBufferingCap);
    if (mFirstFill) target /= 2;
    int64_t start, end;
    mCacheBuffer->GetRange(&start, &end);
    int64_t total = mCacheBuffer->TotalLength();
    int64_t want = mWaitPosition + target;
    if (total > 0) want = std::min(want, total);
    bool covered = mWaitPosition >= start && want <= end;
    if (covered) return false;
    if (end - start >= (count - 2) * kMiB) return mCacheBuffer->DropOldestBlock();
    return true;
}

void CKVABufferReaderProxy::UpdateBufferingState() {
    CKVAAutoLock lock(mLock);
    if (mBufferingState != kBufferingActive) return;
    if (!NeedBuffering()) {
        mBufferingState = kBufferingReady;
        mFirstFill = 0;
    }
}

bool CKVABufferReaderProxy::ProcessBufferingIssue(int64_t position, int32_t length, bool quick) {
    // A read waits for as long as the download thread keeps trying: it ends with the bytes, a
    // give-up, an abort or CancelReading, never on a clock of its own.
    const int64_t deadline = quick ? INT64_MAX : MonotonicMs() + kOpenWaitMs;
    const uint32_t wake = mWakeCount.load();
    int32_t nWaitCount = 0;
    bool buffering;
    {
        CKVAAutoLock lock(mLock);
        for (;;) {
            buffering = IsBuffering(position, length);
            if (!buffering || mCancel.load() || mReadStatus != kReadDownloading ||
                mWakeCount.load() != wake)
                break;
            const int64_t now = MonotonicMs();
            if (now >= deadline) break;
            mDataCond.TimedWait(mLock, std::min<int64_t>(deadline - now, 1000));
            ++nWaitCount;
        }
    }
    int64_t start = 0, end = 0, newOff;
    int32_t status;
    {
        CKVAAutoLock lock(mLock);
        if (mCacheBuffer) mCacheBuffer->GetRange(&start, &end);
        newOff = mNewOffSet;
        status = mReadStatus;
    }
    KVA_LOG(kLogDetail,
            "CKVABufferReaderProxy::ProcessBufferingIssue end bIsBuffering=%d, nWaitCount=%d, "
            "readStatus=%d, cancel=%d, readPos=%lld, offSet=%lld, newOffSet=%lld, bufStart=%lld, "
            "bufEnd=%lld",
            buffering ? 1 : 0, nWaitCount, status, mCancel.load() ? 1 : 0,
            static_cast<long long>(position), static_cast<long long>(offSet.load()),
            static_cast<long long>(newOff), static_cast<long long>(start),
            static_cast<long long>(end));
    return buffering;
}

// ---- reading ----

int32_t CKVABufferReaderProxy::Read(uint8_t* buffer, int32_t* length) {
    if (!buffer || !length) return kSourceBadArgument;
    CKVACacheBuffer* cache;
    {
        CKVAAutoLock lock(mLock);
        cache = mCacheBuffer;
    }
    if (!cache) {
        *length = 0;
        return kSourceBadArgument;
    }
    const int32_t want = *length;
    if (want <= 0) {
        *length = 0;
        return kSourceOk;
    }
    const int64_t position = mReadPosition.load();
    int32_t got = cache->ReadAt(buffer, position, want);
    if (got < want) {
        KVA_LOG(kLogDetail, "CKVABufferReaderProxy::Read  000 ++ aReadPos %ld, nReadSize %d, aReadSize %d",
                static_cast<long>(position), got, want);
        {
            CKVAAutoLock lock(mLock);
            mWaitPosition = position;
        }
        bool buffering = ProcessBufferingIssue(position, want, true);
        got = cache->ReadAt(buffer, position, want);
        int64_t start, end, newOff;
        {
            CKVAAutoLock lock(mLock);
            cache->GetRange(&start, &end);
            newOff = mNewOffSet;
        }
        KVA_LOG(kLogDetail,
                "CKVABufferReaderProxy::Read 000 -- nReadSize:%d, mReadPosition %ld, aReadSize %d, "
                "bIsBuffering %d, offSet=%lld, newOffSet=%lld, bufStart=%lld, bufEnd=%lld",
                got, static_cast<long>(position), want, buffering ? 1 : 0,
                static_cast<long long>(offSet.load()), static_cast<long long>(newOff),
                static_cast<long long>(start), static_cast<long long>(end));
    }
    if (got > 0) {
        mReadPosition.store(position + got);
        *length = got;
        return kSourceOk;
    }
    const int64_t total = cache->TotalLength();
    // At or past the end there is nothing to wait for.
    int32_t ret = (total > 0 && position >= total) ? kSourceEndOfStream : kSourceNoDataYet;
    if (ret == kSourceNoDataYet && mGaveUp.load()) {
        ret = kSourceReadError;  // the download gave up: the error code says why
    } else if (GetReadStatus() != kReadDownloading || mCancel.load()) {
        ret = kSourceCancelled;
    }
    *length = 0;
    return ret;
}

int32_t CKVABufferReaderProxy::Seek(int64_t* position, int32_t whence) {
    if (!position) return kSourceBadArgument;
    int64_t total;
    {
        CKVAAutoLock lock(mLock);
        if (!mCacheBuffer) return kSourceBadArgument;
        total = mCacheBuffer->TotalLength();
    }
    int64_t target = *position;
    if (whence == 1) target += mReadPosition.load();
    if (whence == 2) target += total;
    if (target < 0) return kSourceBadArgument;

    if (mLive.load()) {
        // Nothing to ask for outside what is buffered: a live stream cannot seek.
        int64_t start, end;
        GetBufferedRange(&start, &end);
        if (target < start || target > end) return kSourceBadArgument;
    }
    bool buffering = IsBuffering(target, kDownloadChunk);
    KVA_LOG(kLogDetail, "CKVABufferReaderProxy::Seek %ld, mReadStatus %d", static_cast<long>(target),
            GetReadStatus());
    if (buffering) {
        {
            CKVAAutoLock lock(mLock);
            mFirstFill = 1;
            mWaitPosition = target;
            mBufferingState = kBufferingActive;
        }
        RequestReposition(target, kDownloadChunk, 0);
        mReadPosition.store(target);
        int64_t newOff;
        {
            CKVAAutoLock lock(mLock);
            newOff = mNewOffSet;
        }
        KVA_LOG(kLogDetail, "CKVABufferReaderProxy::Seek 111 mReadPosition %ld, mNewOffSet %d",
                static_cast<long>(target), static_cast<int>(newOff));
    } else {
        {
            CKVAAutoLock lock(mLock);
            if (mBufferingState == kBufferingActive || mBufferingState == kBufferingNotYet) {
                mBufferingState = kBufferingReady;
            }
        }
        mReadPosition.store(target);
        KVA_LOG(kLogDetail, "CKVABufferReaderProxy::Seek 000 mReadPosition %ld",
                static_cast<long>(target));
    }
    return kSourceOk;
}

// ---- download thread ----

void* CKVABufferReaderProxy::ThreadEntry(void* self) {
    pthread_setname_np(pthread_self(), "BufDownloadThre");  // the kernel keeps 15 bytes
    static_cast<CKVABufferReaderProxy*>(self)->DownloadThreadBuffer();
    return nullptr;
}

void CKVABufferReaderProxy::StopFromThread(int32_t errorCode, bool gaveUp) {
    mErrorCode.store(errorCode);
    if (gaveUp) mGaveUp.store(true);
    mCancel.store(true);
    CKVAAutoLock lock(mLock);
    if (mReadStatus != kReadClosed) mReadStatus = kReadStopped;
    mDataCond.Broadcast();
}

int32_t CKVABufferReaderProxy::ReConnectServer(int64_t offset) {
    int32_t nConnectErr = kHttpConnectFailed;
    for (int32_t attempt = 0; attempt < 3 && !mCancel.load(); ++attempt) {
        mHttpClient->Disconnect();
        // A live stream starts anew: its bytes go on at the offset, but no range is asked.
        nConnectErr = mHttpClient->Connect(mUrl.c_str(), mLive.load() ? 0 : offset, false);
        mLastStatus.store(mHttpClient->GetStatusCode());
        mServerAddress.store(mHttpClient->GetIPv4Address());
        bool abort = mHttpClient->LastFailWasAbort();
        const char* ip = mHttpClient->GetIP();
        KVA_LOG(kLogDetail,
                "CKVABufferReaderProxy::ReConnectServer offset %lld, nConnectErr %d, statusCode %d, "
                "ip %s, lastFailWasAbort %d",
                static_cast<long long>(offset), nConnectErr, static_cast<int>(mLastStatus.load()),
                (ip && *ip) ? ip : "null", abort ? 1 : 0);
        if (nConnectErr == kHttpOk) mRangesServed.store(!mLive.load() && mHttpClient->AcceptsRanges());
        if (nConnectErr == kHttpOk || mCancel.load() || abort ||
            CKVAHttpClient::IsFinalFailure(nConnectErr, mLastStatus.load()))
            break;
        if (attempt < 2) mSemaphore.TimedWait(500);
    }
    return nConnectErr;
}

int32_t CKVABufferReaderProxy::WriteToCache(const uint8_t* data, int64_t offset, int32_t length) {
    CKVACacheBuffer* cache;
    {
        CKVAAutoLock lock(mLock);
        cache = mCacheBuffer;
    }
    return cache ? cache->Write(data, offset, length) : 0;
}

int32_t CKVABufferReaderProxy::ReconnectUnlessExhausted(int64_t offset, const DownloadCounters& c,
                                                        bool responseEnded) {
    // After ten failed reconnects in a row only a reconnect that just failed tries again.
    if (c.nReconnectNum == 0 && mReconnectFailCount.load() >= 10 && !responseEnded)
        return kHttpPeerClosed;
    return ReConnectServer(offset);
}

bool CKVABufferReaderProxy::AfterFailedReconnect(int32_t ret, DownloadCounters& c, bool readPath,
                                                 int32_t nReadSize) {
    if (mLastStatus.load() == 403) mReconnectFailCount.store(9);
    mReconnectFailCount.fetch_add(1);
    ++c.nReconnectNum;
    if (mHttpClient->LastFailWasAbort()) {
        StopFromThread(ret, false);
        KVA_LOG(kLogDetail, "CKVABufferReaderProxy::DownloadThreadBuffer reconnect aborted on %s",
                readPath ? "read path" : "seek/network path");
        return true;
    }
    const bool quietTooOften = readPath && c.nReconnectNum >= 2 && c.nZeroCount >= 20;
    if (c.nReconnectNum > 20 || quietTooOften ||
        CKVAHttpClient::IsFinalFailure(ret, mLastStatus.load())) {
        StopFromThread(ret, true);
        if (readPath) {
            KVA_LOG(kLogError,
                    "CKVABufferReaderProxy::DownloadThreadBuffer give up, nReadSize %d, "
                    "nZeroBuffer %d, nReconnectNum %d, nConsecutiveReadFail %d, statusCode %d",
                    nReadSize, c.nZeroBuffer, c.nReconnectNum, c.nConsecutiveReadFail,
                    static_cast<int>(mLastStatus.load()));
        } else {
            KVA_LOG(kLogError,
                    "CKVABufferReaderProxy::DownloadThreadBuffer reconnect give up on "
                    "seek/network path, nReconnectNum %d, statusCode %d",
                    c.nReconnectNum, static_cast<int>(mLastStatus.load()));
        }
        return true;
    }
    mSemaphore.TimedWait(readPath ? 500 : 1000);
    return false;
}

bool CKVABufferReaderProxy::CacheFull(CKVACacheBuffer* cache, int64_t writeAt) {
    int64_t start, end;
    cache->GetRange(&start, &end);
    const int64_t capacity = static_cast<int64_t>(cache->CacheCount()) * kMiB;
    bool pending;
    {
        CKVAAutoLock lock(mLock);
        pending = mSeekPending;
    }
    // Bytes from outside the window replace it (after a seek back, say): they always have room.
    if (end - start <= capacity - 2 * kMiB || pending || writeAt != end) return false;
    // A reader waiting just past a full window would wait forever, as it releases nothing: once
    // it no longer needs the first block, that block goes.
    const int64_t readPosition = mReadPosition.load();
    const int64_t total = cache->TotalLength();
    const bool readerAhead = readPosition + kDownloadChunk > end && readPosition >= start + kMiB &&
                             (total <= 0 || readPosition < total);
    return !(readerAhead && cache->ReleaseFirstBlock());
}

void CKVABufferReaderProxy::PassOnStreamTitle() {
    std::string title;
    if (!mHttpClient->TakeStreamTitle(&title)) return;
    StreamTitleFn fn;
    void* context;
    {
        CKVAAutoLock lock(mLock);
        mStreamTitle = title;
        fn = mTitleFn;
        context = mTitleContext;
    }
    KVA_LOG(kLogTrace, "CKVABufferReaderProxy stream title changed");
    if (fn) fn(context, title.c_str());
}

CKVABufferReaderProxy::DownloadStep CKVABufferReaderProxy::ReconnectOnRequest(DownloadCounters& c,
                                                                            bool seekPending,
                                                                            int64_t newOff) {
    const int32_t ret = ReconnectUnlessExhausted(c.offset, c, false);
    if (ret != kHttpOk)
        return AfterFailedReconnect(ret, c, false, 0) ? DownloadStep::kLeave : DownloadStep::kSkip;
    {
        CKVAAutoLock lock(mLock);
        if (seekPending && mNewOffSet == newOff) mSeekPending = false;
        mReconnectRequest = false;
    }
    mReconnectFailCount.store(0);
    c.complete = false;
    offSet.store(c.offset);
    c.lastByteMs = MonotonicMs();
    return DownloadStep::kGoOn;
}

bool CKVABufferReaderProxy::StorePiece(CKVACacheBuffer* cache, const uint8_t* data, int32_t length,
                                       DownloadCounters& c) {
    c.lastByteMs = MonotonicMs();
    mDownloaded.fetch_add(static_cast<uint64_t>(length));
    c.nReconnectNum = c.nZeroBuffer = c.nZeroCount = 0;
    int32_t stored = WriteToCache(data, c.offset, length);
    if (stored < length) {
        StopFromThread(kCacheWriteError, true);
        KVA_LOG(kLogError, "Write HttpCacheFile Error");
        return false;
    }
    const int64_t total = cache->TotalLength();
    if (total > 0 && c.offset + length >= total) {
        UpdateBufferingState();
        c.complete = true;
    }
    UpdateBufferingState();
    offSet.fetch_add(length);
    c.offset += length;
    WakeReaders();
    PassOnStreamTitle();
    c.nReconnectNum = c.nConsecutiveReadFail = 0;
    return true;
}

CKVABufferReaderProxy::DownloadStep CKVABufferReaderProxy::AfterFailedRead(CKVACacheBuffer* cache,
                                                                         int32_t nReadSize,
                                                                         DownloadCounters& c) {
    if (mCancel.load()) {
        StopFromThread(mErrorCode.load(), false);
        return DownloadStep::kLeave;
    }
    if (mLive.load() && nReadSize == kHttpPeerClosed) {
        // A body without a length ends where the server closes it.
        cache->SetTotalLength(c.offset);
        c.complete = true;
        mHttpClient->Disconnect();
        UpdateBufferingState();
        WakeReaders();
        return DownloadStep::kGoOn;
    }
    // A response that ended at its own length is followed by the next range at once.
    const bool ended = nReadSize == kHttpPeerClosed && mHttpClient->ResponseComplete();
    KVA_LOG(ended ? kLogDetail : kLogError,
            "CKVABufferReaderProxy::nReadSize %d, nZeroBuffer %d, nZeroCount %d, "
            "nConsecutiveReadFail %d",
            nReadSize, c.nZeroBuffer, c.nZeroCount, c.nConsecutiveReadFail);
    const int32_t ret = ReconnectUnlessExhausted(c.offset, c, ended);
    if (ret != kHttpOk)
        return AfterFailedReconnect(ret, c, true, nReadSize) ? DownloadStep::kLeave : DownloadStep::kGoOn;
    mReconnectFailCount.store(0);
    c.lastByteMs = MonotonicMs();
    if (!ended && ++c.nConsecutiveReadFail >= 50) {
        KVA_LOG(kLogError,
                "CKVABufferReaderProxy::DownloadThreadBuffer persistent read failure after "
                "reconnect, nConsecutiveReadFail %d, statusCode %d, offset %lld",
                c.nConsecutiveReadFail, static_cast<int>(mLastStatus.load()),
                static_cast<long long>(c.offset));
        StopFromThread(kHttpPeerClosed, true);
        return DownloadStep::kLeave;
    }
    return DownloadStep::kGoOn;
}

CKVABufferReaderProxy::DownloadStep CKVABufferReaderProxy::ReceivePiece(CKVACacheBuffer* cache,
                                                                      uint8_t* buffer, bool fast,
                                                                      DownloadCounters& c) {
    const bool full = CacheFull(cache, c.offset);
    if (full || !fast) {
        c.lastByteMs = MonotonicMs();  // not reading: nothing to miss
        // Without ranges the connection stays and TCP holds the server back: reopening would
        // resend it all.
        if ((!full || mRangesServed.load()) && mHttpClient->GetConnectState() == kHttpConnected) {
            mHttpClient->Disconnect();
            if (full) KVA_LOG(kLogDetail, "DownloadThreadBuffer Disconnect");
        }
        mSemaphore.TimedWait(100);
        return DownloadStep::kGoOn;
    }
    int32_t nReadSize = mHttpClient->Read(buffer, kReceivePiece);
    if (nReadSize > 0)
        return StorePiece(cache, buffer, nReadSize, c) ? DownloadStep::kGoOn : DownloadStep::kLeave;
    if (nReadSize == 0) {
        ++c.nZeroBuffer;
        mSemaphore.TimedWait(20);
        if (MonotonicMs() - c.lastByteMs < kQuietMs) return DownloadStep::kGoOn;
        ++c.nZeroCount;
        nReadSize = -1;
    }
    return AfterFailedRead(cache, nReadSize, c);
}

void CKVABufferReaderProxy::DownloadThreadBuffer() {
    KVA_LOG(kLogDetail, "CKVABufferReaderProxy::DownloadThreadBuffer start");
    DownloadCounters c;
    c.offset = offSet.load();
    c.lastByteMs = MonotonicMs();
    std::vector<uint8_t> buffer(kReceivePiece);
    CKVACacheBuffer* cache;
    {
        CKVAAutoLock lock(mLock);
        cache = mCacheBuffer;
    }
    bool leave = GetReadStatus() == kReadClosed || !cache;

    while (!leave) {
        int64_t newOff;
        bool seekPending, reconnectRequest;
        int32_t fast;
        {
            CKVAAutoLock lock(mLock);
            newOff = mNewOffSet;
            seekPending = mSeekPending;
            reconnectRequest = mReconnectRequest;
            fast = aFast;
        }
        if (mCancel.load()) {
            CKVAAutoLock lock(mLock);
            if (mReadStatus != kReadClosed) mReadStatus = kReadStopped;
            break;
        }

        DownloadStep step = DownloadStep::kGoOn;
        if (seekPending) c.offset = newOff;
        if (seekPending || (reconnectRequest && !c.complete)) {
            step = ReconnectOnRequest(c, seekPending, newOff);
        } else if (c.complete) {
            if (mHttpClient->GetConnectState() == kHttpConnected) mHttpClient->Disconnect();
            mSemaphore.TimedWait(100);
            step = DownloadStep::kSkip;
        }
        if (step == DownloadStep::kGoOn) step = ReceivePiece(cache, buffer.data(), fast != 0, c);
        if (step == DownloadStep::kLeave) break;

        c.offset = offSet.load();
        if (GetReadStatus() == kReadClosed) break;
    }
    UpdateBufferingState();
    WakeReaders();
    mHttpClient->Disconnect();
}

}  // namespace kva_audioplayer
