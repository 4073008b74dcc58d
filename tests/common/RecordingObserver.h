// An IKVAPlayerObserver that records every notification and lets tests wait for one.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "KvaAudioPlayer.h"

namespace kva_test {

struct Notification {
    int32_t id;
    std::string text;
    int32_t param1, param2;
};

class RecordingObserver : public kva_audioplayer::IKVAPlayerObserver {
public:
    static constexpr int32_t kAny = -100000;  // as param1: matches any

    int32_t OnNotify(int32_t id, const char* text, int32_t param1, int32_t param2) override {
        const Notification n{id, text ? text : "", param1, param2};
        std::unique_lock<std::mutex> lock(mMutex);
        mAll.push_back(n);
        auto hook = mHook;
        lock.unlock();
        mCond.notify_all();
        if (hook) hook(n);
        return 0;
    }
    // Waits until `times` notifications matching (id, param1) have arrived.
    bool WaitFor(int32_t id, int32_t param1, int timeoutMs, int times = 1) {
        std::unique_lock<std::mutex> lock(mMutex);
        return mCond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return CountLocked(id, param1) >= times; });
    }
    int Count(int32_t id, int32_t param1 = kAny) {
        std::lock_guard<std::mutex> lock(mMutex);
        return CountLocked(id, param1);
    }
    std::vector<Notification> All() { std::lock_guard<std::mutex> lock(mMutex); return mAll; }
    void Clear() { std::lock_guard<std::mutex> lock(mMutex); mAll.clear(); }
    // Called on the notification thread after each notification is recorded.
    void SetHook(std::function<void(const Notification&)> hook) {
        std::lock_guard<std::mutex> lock(mMutex);
        mHook = std::move(hook);
    }

private:
    int CountLocked(int32_t id, int32_t param1) {
        return int(std::count_if(mAll.begin(), mAll.end(), [&](const Notification& n) {
            return n.id == id && (param1 == kAny || n.param1 == param1);
        }));
    }

    std::mutex mMutex;
    std::condition_variable mCond;
    std::vector<Notification> mAll;
    std::function<void(const Notification&)> mHook;
};

}  // namespace kva_test
