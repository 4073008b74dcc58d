// An in-memory IKVASourceIO with scriptable failures, for tests and fuzz targets. A gate makes its
// Open, or its reads past an offset, wait until the test lets them go or the source is aborted (a
// server that stalls), or limits its rate.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KvaAudioPlayer.h"

namespace kva_test {

class MemorySourceIO : public kva_audioplayer::IKVASourceIO {
public:
    // kGateReads: reads past `offset` wait; kThrottle: at most 2 KiB per 10 ms read (a little
    // faster than 44.1 kHz 16-bit stereo plays).
    enum Gate { kNoGate, kGateOpen, kGateReads, kThrottle };
    MemorySourceIO(std::vector<uint8_t> data, uint32_t sessionId = 7, Gate gate = kNoGate, int64_t offset = 0)
        : mData(std::move(data)), mSessionId(sessionId), mText(std::to_string(sessionId)), mGate(gate),
          mOffset(offset) {}

    // Read fails with `code` once `offset` bytes have been handed out (-1: never).
    void FailReadsAt(int64_t offset, int32_t code) { mFailAt = offset; mFailCode = code; }
    void FailOpen(int32_t code) { mOpenCode = code; }
    void SetErrorCode(int32_t code) { mErrorCode = code; }
    int OpenCalls() const { return mOpenCalls; }
    int CloseCalls() const { return mCloseCalls; }
    int AbortCalls() const { return mAbortCalls; }

    uint32_t GetSessionId() override { return mSessionId; }
    bool WaitEntered() {  // a gate is reached
        std::unique_lock<std::mutex> lock(mMutex);
        return mCond.wait_for(lock, std::chrono::seconds(5), [this] { return mEntered; });
    }
    void Let() { Set(mLet); }

    int32_t Open() override {
        if (mGate == kGateOpen) Wait();
        ++mOpenCalls;
        if (mOpenCode != 0) return mOpenCode;
        mOpen = true;
        mPos = 0;
        return 0;
    }
    int32_t Read(uint8_t* buffer, int32_t* length) override {
        if (!buffer || !length || !mOpen) return 1;
        if (mGate == kThrottle) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            *length = std::min(*length, 2048);
        } else if (mGate == kGateReads && mPos + *length > mOffset) {
            Wait();
        }
        if (mAborted) return 8;
        int64_t want = *length;
        if (mFailAt >= 0 && mPos + want > mFailAt && (want = mFailAt - mPos) <= 0) {
            *length = 0;
            return mFailCode;
        }
        want = std::max<int64_t>(0, std::min<int64_t>(want, int64_t(mData.size()) - mPos));  // 0 past the end
        if (want > 0) memcpy(buffer, mData.data() + mPos, size_t(want));
        mPos += want;
        *length = int32_t(want);
        return 0;
    }
    int32_t Seek(int64_t* position, int32_t whence) override {
        if (!position || !mOpen) return 1;
        if (mAborted) return 8;
        const int64_t target = *position + (whence == 1 ? mPos.load() : whence == 2 ? int64_t(mData.size()) : 0);
        if (target >= 0) mPos = target;
        *position = target < 0 ? -1 : 0;
        return 0;
    }
    double GetRatio() override { return 1.0; }
    void Reserved() override {}
    void Abort() override { ++mAbortCalls; Set(mAborted); }
    void Close() override { ++mCloseCalls; mOpen = false; }
    int64_t GetSize() override { return int64_t(mData.size()); }
    int64_t GetAvailableSize() override { return GetSize(); }
    bool SupportFastSeek() override { return true; }
    int32_t GetErrorCode() override { return mErrorCode; }
    const char* GetSessionIdText() override { return mText.c_str(); }
    void CancelReading(bool) override {}
    void SeekDone(uint8_t*) override {}

private:
    template <typename Flag>
    void Set(Flag& flag) {
        std::lock_guard<std::mutex> lock(mMutex);
        flag = true;
        mCond.notify_all();
    }
    void Wait() {
        Set(mEntered);
        std::unique_lock<std::mutex> lock(mMutex);
        mCond.wait(lock, [this] { return mAborted || mLet; });
    }

    std::vector<uint8_t> mData;
    uint32_t mSessionId;
    std::string mText;
    std::atomic<int64_t> mPos{0};
    std::atomic<bool> mOpen{false}, mAborted{false};
    int64_t mFailAt = -1;
    int32_t mFailCode = 4, mOpenCode = 0;
    std::atomic<int32_t> mErrorCode{0};
    int mOpenCalls = 0, mCloseCalls = 0;
    std::atomic<int> mAbortCalls{0};
    const Gate mGate;
    const int64_t mOffset;
    std::mutex mMutex;
    std::condition_variable mCond;
    bool mEntered = false, mLet = false;
};

}  // namespace kva_test
