// A MemorySourceIO whose Open, or whose reads past a given offset, wait until the test lets them
// go or the source is aborted (a server that stalls); or one that delivers at a limited rate.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/MemorySourceIO.h"

namespace kva_test {

class GatedSourceIO : public MemorySourceIO {
public:
    // kGateReads: reads past `offset` wait; kThrottle: at most 2 KiB per 10 ms read (a little
    // faster than 44.1 kHz 16-bit stereo plays).
    enum Gate { kGateOpen, kGateReads, kThrottle };
    GatedSourceIO(std::vector<uint8_t> data, uint32_t id, Gate gate, int64_t offset = 0)
        : MemorySourceIO(std::move(data), id), mGate(gate), mOffset(offset) {}

    int32_t Open() override {
        if (mGate == kGateOpen) Wait();
        return MemorySourceIO::Open();
    }
    int32_t Read(uint8_t* buffer, int32_t* length) override {
        if (mGate == kThrottle) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            *length = std::min(*length, 2048);
        } else if (mGate == kGateReads && Position() + *length > mOffset) {
            Wait();
        }
        return MemorySourceIO::Read(buffer, length);  // 8 once aborted
    }
    void Abort() override {
        MemorySourceIO::Abort();
        Set(mAborted);
    }
    bool WaitEntered() {
        std::unique_lock<std::mutex> lock(mMutex);
        return mCond.wait_for(lock, std::chrono::seconds(5), [this] { return mEntered; });
    }
    void Let() { Set(mLet); }

private:
    void Set(bool& flag) {
        std::lock_guard<std::mutex> lock(mMutex);
        flag = true;
        mCond.notify_all();
    }
    void Wait() {
        Set(mEntered);
        std::unique_lock<std::mutex> lock(mMutex);
        mCond.wait(lock, [this] { return mAborted || mLet; });
    }

    const Gate mGate;
    const int64_t mOffset;
    std::mutex mMutex;
    std::condition_variable mCond;
    bool mEntered = false, mAborted = false, mLet = false;
};

}  // namespace kva_test
