// kvaplay's view of the rendered blocks, used for the passage from one item to the next.
//
// The library starts a cross-fade the moment it is asked for one, so the host has to ask when
// the current item nears its end. The blocks the listener sees carry their media position, so
// the request goes out from here, on the render thread, when the end of a block comes within the
// fade length of the item's duration.
//
// An output that consumes faster than real time (--fast) can play an item out before a request
// queued for it has been answered. With `hold`, the listener then keeps the render thread until
// the library answers (or a few seconds pass), so a file render does not depend on timing. After
// a gapless hand-over the host can queue the following item only once it hears of the switch,
// so the first block of the new item (its position falls back) waits for that announcement too.
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
    using Release = kva_audioplayer::KVASourceRelease;

    // queueable[id]: the item with session id `id` exists and can be queued by the host.
    TransitionGate(kva_audioplayer::IKVAPlayer* player, bool hold, int64_t leadMs, Release release,
                   std::vector<bool> queueable)
        : mPlayer(player), mHold(hold), mLeadMs(leadMs), mRelease(release),
          mQueueable(std::move(queueable)) {
        for (bool q : mQueueable) mPreload = mPreload || q;
    }

    bool SetPCMFormat(int32_t format, int32_t sampleRate, int32_t channels) override {
        // listener format codes: 0 U8, 1 S16, 3 S32, 4 float, 5 double
        static const int32_t kBytes[] = {1, 2, 0, 4, 4, 8};
        int32_t bytes = format >= 0 && format <= 5 ? kBytes[format] : 0;
        std::lock_guard<std::mutex> lock(mMutex);
        mRate = sampleRate;
        mFrameBytes = bytes * channels;
        return true;
    }

    void OnPCM(uint8_t** /*data*/, uint32_t len, uint32_t positionMs, bool /*endFlag*/) override {
        kva_audioplayer::IKVASourceIO* fire = nullptr;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            if (len == 0) return;  // the end of the media: no position
            // Another item's first block. Timestamps may jitter by a few ms, never by 100.
            if (mPreload && int64_t(positionMs) + 100 < int64_t(mLastPositionMs)) ++mDrops;
            mLastPositionMs = positionMs;
            if (mArmed && mDurationMs > 0 && mRate > 0 && mFrameBytes > 0) {
                int64_t end = int64_t(positionMs) + int64_t(len / mFrameBytes) * 1000 / mRate;
                if (mDurationMs - end <= mLeadMs) {
                    fire = mArmed;
                    mArmed = nullptr;
                    mExpected = fire->GetSessionId();
                }
            }
        }
        if (fire) mPlayer->SetNextSourceIO(fire, kva_audioplayer::kNextModeCrossFade, mRelease);
        if (!mHold) return;
        // Wait for the switch this block belongs to to be announced (the announcement lines up
        // the item after it), then for the answer to what is queued.
        std::unique_lock<std::mutex> lock(mMutex);
        auto settled = [this] {
            return mHandOvers >= mDrops && mExpected == 0 && !(mArmed && mDurationMs < 0);
        };
        if (!mCond.wait_for(lock, std::chrono::seconds(3), settled)) {
            mHandOvers = mDrops;  // no answer: give up holding
            mExpected = 0;
            if (mDurationMs < 0) mDurationMs = 0;
        }
    }

    void Reset() override {}

    // Cross-fade into `source` (owned from here) when the current item nears its end.
    void Arm(kva_audioplayer::IKVASourceIO* source) {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mArmed && mRelease) mRelease(mArmed);
        mArmed = source;
    }
    bool Armed() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mArmed != nullptr;
    }
    // Drops an armed source that was never asked for.
    void Disarm() { Arm(nullptr); }

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
        if (id == kva_audioplayer::kNotifyDuration) {
            mDurationMs = p1;
        } else if (id == kva_audioplayer::kNotifyStreamChanged) {
            mDurationMs = -1;  // the new item's own length follows
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

    ~TransitionGate() { Disarm(); }

private:
    kva_audioplayer::IKVAPlayer* mPlayer;
    const bool mHold;
    const int64_t mLeadMs;
    Release mRelease;
    const std::vector<bool> mQueueable;
    bool mPreload = false;  // some item is queued straight after a hand-over
    std::mutex mMutex;
    std::condition_variable mCond;
    int32_t mRate = 0;
    int32_t mFrameBytes = 0;
    int64_t mDurationMs = -1;
    kva_audioplayer::IKVASourceIO* mArmed = nullptr;
    uint32_t mExpected = 0;  // session id of the item a request is out for
    uint32_t mLastPositionMs = 0;
    uint64_t mDrops = 0;      // blocks that began another item
    uint64_t mHandOvers = 0;  // switches announced
};

}  // namespace kvaplay
