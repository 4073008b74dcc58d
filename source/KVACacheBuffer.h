// Ring of 1 MiB blocks holding a consecutive window of a network resource.
#pragma once

#include <cstdint>

#include "support/KVASync.h"

namespace kva_audioplayer {

class CKVACacheBuffer {
public:
    static constexpr int32_t kMaxBlocks = 36;
    static constexpr int32_t kBlockSize = 1048576;

    CKVACacheBuffer();
    virtual ~CKVACacheBuffer();

    // Allocates up to min(count, 36) blocks and empties the ring; returns the blocks allocated.
    int32_t SetCacheCount(int32_t count);
    int32_t CacheCount();
    void SetTotalLength(int64_t length);
    int64_t TotalLength();
    // The buffered window [start, end).
    void GetRange(int64_t* start, int64_t* end);
    // Stores bytes that belong at offset; a non-adjoining offset abandons the window.
    int32_t Write(const uint8_t* data, int64_t offset, int32_t length);
    // Copies what the window holds of [position, position + length); may release the oldest block.
    int32_t ReadAt(uint8_t* buffer, int64_t position, int32_t length);
    // Releases the oldest block when the last read position is far enough behind it.
    bool DropOldestBlock();
    // Releases the oldest block unconditionally while more than one is in use.
    bool ReleaseFirstBlock();

    int64_t FirstIndex();
    int64_t LastIndex();
    int64_t BackPosition();

    CKVACacheBuffer(const CKVACacheBuffer&) = delete;
    CKVACacheBuffer& operator=(const CKVACacheBuffer&) = delete;

private:
    struct Block {
        int64_t nStart = 0;
        int32_t nCapacity = 0;
        int32_t nLength = 0;
        uint8_t* pData = nullptr;
        int32_t nReserved = 0;
    };
    Block& Slot(int64_t index) { return mBlocks[index % mCacheCount]; }
    void Advance();

    int64_t mTotalLength = 0;
    int64_t mRunEnd = 0;
    int64_t mLastEnd = 0;
    int64_t mBackPosition = 0;
    CKVACritical mLock;
    int32_t mCacheCount = 0;
    int32_t mWanted = 0;
    int64_t mFirst = 0;
    int64_t mLast = 0;
    Block mBlocks[kMaxBlocks];
};

}  // namespace kva_audioplayer
