#include "source/KVACacheBuffer.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kva_audioplayer {

CKVACacheBuffer::CKVACacheBuffer() { mLock.Init(); }

CKVACacheBuffer::~CKVACacheBuffer() {
    for (Block& b : mBlocks) delete[] b.pData;
}

int32_t CKVACacheBuffer::SetCacheCount(int32_t count) {
    CKVAAutoLock lock(mLock);
    mWanted = std::max(0, std::min(count, int32_t{kMaxBlocks}));  // by value: no odr-use
    mCacheCount = 0;
    for (int32_t i = 0; i < mWanted; ++i) {
        Block& b = mBlocks[i];
        b.nStart = 0;
        b.nLength = 0;
        b.nReserved = 0;
        if (!b.pData) b.pData = new (std::nothrow) uint8_t[kBlockSize];
        if (!b.pData) break;
        b.nCapacity = kBlockSize;
        ++mCacheCount;
    }
    mFirst = 0;
    mLast = 0;
    mRunEnd = mLastEnd = mBackPosition = 0;
    return mCacheCount;
}

int32_t CKVACacheBuffer::CacheCount() {
    CKVAAutoLock lock(mLock);
    return mCacheCount;
}

void CKVACacheBuffer::SetTotalLength(int64_t length) {
    CKVAAutoLock lock(mLock);
    mTotalLength = length;
}

int64_t CKVACacheBuffer::TotalLength() {
    CKVAAutoLock lock(mLock);
    return mTotalLength;
}

void CKVACacheBuffer::GetRange(int64_t* start, int64_t* end) {
    CKVAAutoLock lock(mLock);
    if (mCacheCount == 0) {
        *start = *end = 0;
        return;
    }
    *start = Slot(mFirst).nStart;
    Block& last = Slot(mLast);
    *end = last.nStart + last.nLength;
}

int64_t CKVACacheBuffer::FirstIndex() {
    CKVAAutoLock lock(mLock);
    return mFirst;
}

int64_t CKVACacheBuffer::LastIndex() {
    CKVAAutoLock lock(mLock);
    return mLast;
}

int64_t CKVACacheBuffer::BackPosition() {
    CKVAAutoLock lock(mLock);
    return mBackPosition;
}

void CKVACacheBuffer::Advance() {
    Block& prev = Slot(mLast);
    int64_t end = prev.nStart + prev.nLength;
    ++mLast;
    // Never write over the oldest block while it still counts as part of the window.
    if (mLast - mFirst >= mCacheCount) mFirst = mLast - mCacheCount + 1;
    Block& b = Slot(mLast);
    b.nStart = end;
    b.nLength = 0;
    b.nReserved = 0;
}

int32_t CKVACacheBuffer::Write(const uint8_t* data, int64_t offset, int32_t length) {
    CKVAAutoLock lock(mLock);
    if (mCacheCount == 0 || !data || length <= 0 || offset < 0) return 0;
    int32_t stored = 0;
    while (stored < length) {
        Block& b = Slot(mLast);
        if (b.nLength == 0 && (mLast == mFirst || b.nStart == offset)) {
            b.nStart = offset;
        } else if (offset != b.nStart + b.nLength) {
            // Bytes from elsewhere in the resource: the old window is given up.
            ++mLast;
            mFirst = mLast;
            Block& nb = Slot(mLast);
            nb.nStart = offset;
            nb.nLength = 0;
            nb.nReserved = 0;
            continue;
        }
        int32_t room = b.nCapacity - b.nLength;
        if (room <= 0) {
            Advance();
            continue;
        }
        int32_t n = std::min(room, length - stored);
        memcpy(b.pData + b.nLength, data + stored, static_cast<size_t>(n));
        b.nLength += n;
        stored += n;
        offset += n;
        if (stored < length && b.nLength == b.nCapacity) Advance();
    }
    return stored;
}

int32_t CKVACacheBuffer::ReadAt(uint8_t* buffer, int64_t position, int32_t length) {
    CKVAAutoLock lock(mLock);
    if (mCacheCount == 0 || !buffer || length <= 0 || position < 0) return 0;
    int32_t copied = 0;
    int64_t cur = position;
    int64_t q = position;
    int64_t endIndex = -1;
    for (int64_t i = mFirst; i <= mLast && copied < length; ++i) {
        Block& b = Slot(i);
        if (cur < b.nStart || cur >= b.nStart + b.nLength) continue;
        int32_t off = static_cast<int32_t>(cur - b.nStart);
        int32_t n = std::min(length - copied, b.nLength - off);
        memcpy(buffer + copied, b.pData + off, static_cast<size_t>(n));
        copied += n;
        cur += n;
        endIndex = i;
        if (off + n == b.nLength) q = cur;
    }
    if (copied <= 0) return 0;

    const int64_t e = q + copied;
    if (mRunEnd > q) mBackPosition = q;
    if (mLastEnd == q || mRunEnd == q) mRunEnd = e;
    mLastEnd = e;

    Block& last = Slot(mLast);
    const int64_t ahead = endIndex - mFirst;
    if (ahead >= 2 && mLast - mFirst >= std::max(mCacheCount - 2, 1) &&
        last.nStart + last.nLength != mTotalLength && ahead >= (mCacheCount - 2) / 4) {
        ++mFirst;
    }
    return copied;
}

bool CKVACacheBuffer::DropOldestBlock() {
    CKVAAutoLock lock(mLock);
    if (mCacheCount == 0) return false;
    int64_t i = mFirst;
    for (; i <= mLast; ++i) {
        Block& b = Slot(i);
        if (mBackPosition >= b.nStart && mBackPosition < b.nStart + b.nLength) break;
    }
    if (i - mFirst >= 9) {
        ++mFirst;
        return true;
    }
    return false;
}

bool CKVACacheBuffer::ReleaseFirstBlock() {
    CKVAAutoLock lock(mLock);
    if (mCacheCount == 0 || mFirst >= mLast) return false;
    ++mFirst;
    return true;
}

}  // namespace kva_audioplayer
