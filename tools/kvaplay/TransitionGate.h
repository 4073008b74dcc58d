// kvaplay's view of the rendered blocks, used for the passage from one item to the next.
//
// An output that consumes faster than real time (--fast) can play an item out before a request
// queued for it has been answered. With `hold`, the listener then keeps the render thread until
// the library answers (or a few seconds pass), so a file render does not depend on timing. After
// a hand-over the host can queue the following item only once it hears of the switch, so the
// first block of the new item (its position falls back) waits for that announcement too.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "KvaAudioPlayer.h"

namespace kvaplay {

class TransitionGate : public kva_audioplayer::IKVAAudioListener {
public:
    // queueable[id]: the item with session id `id` exists and can be queued by the host.
    TransitionGate(bool hold, std::vector<bool> queueable)
        : mHold(hold), mQueueable(std::move(queueable)) {
        for (bool q : mQueueable) mPreload = mPreload || q;
    }

    bool SetPCMFormat(int32_t, int32_t, int32_t) override { return true; }

    void OnPCM(uint8_t** /*data*/, uint32_t len, uint32_t positionMs, bool /*endFlag*/) override {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            if (len == 0) return;  // the end of the media: no position
            // Another item's first block. Timestamps may jitter by a few ms, never by 100.
            if (mPreload && int64_t(positionMs) + 100 < int64_t(mLastPositionMs)) ++mDrops;
            mLastPositionMs = positionMs;
        }
        if (!mHold) return;
        // Wait for the switch this block belongs to to be announced (the announcement lines up
        // the item after it), then for the answer to what is queued.
        std::unique_lock<std::mutex> lock(mMutex);
        auto settled = [this] { return mHandOvers >= mDrops && mExpected == 0; };
        if (!mCond.wait_for(lock, std::chrono::seconds(3), settled)) {
            mHandOvers = mDrops;  // no answer: give up holding
            mExpected = 0;
        }
    }

    void Reset() override {}

    // A request for the item with this session id is out; held blocks wait for its answer.
    void Expect(uint32_t sessionId) {
        std::lock_guard<std::mutex> lock(mMutex);
        mExpected = sessionId;
    }
    // True while a request fired or queued is still unanswered.
    bool Outstanding() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mExpected != 0;
    }

    // Fed every notification, on the library's notification thread.
    void OnNotify(int32_t id, const char* text, int32_t p1) {
        const uint32_t textId = text ? static_cast<uint32_t>(strtoul(text, nullptr, 10)) : 0;
        std::lock_guard<std::mutex> lock(mMutex);
        if (id == kva_audioplayer::kNotifyStreamChanged) {
            const uint32_t now = static_cast<uint32_t>(p1);
            if (now == mExpected) mExpected = 0;
            // The host queues the item after a preloaded one as soon as it hears of the switch.
            if (now + 1 < mQueueable.size() && mQueueable[now + 1]) mExpected = now + 1;
        } else if (id == kva_audioplayer::kNotifyNextSource) {
            if (p1 == kva_audioplayer::kNextSwitchingNow) ++mHandOvers;  // once per switch
            if (p1 == kva_audioplayer::kNextNoneToSwitch ||
                (p1 != kva_audioplayer::kNextAccepted && textId == mExpected))
                mExpected = 0;
        } else {
            return;
        }
        mCond.notify_all();
    }

private:
    const bool mHold;
    const std::vector<bool> mQueueable;
    bool mPreload = false;  // some item is queued straight after a hand-over
    std::mutex mMutex;
    std::condition_variable mCond;
    uint32_t mExpected = 0;  // session id of the item a request is out for
    uint32_t mLastPositionMs = 0;
    uint64_t mDrops = 0;      // blocks that began another item
    uint64_t mHandOvers = 0;  // switches announced
};

}  // namespace kvaplay
