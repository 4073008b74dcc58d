// Delivers endpoint notifications to listeners on a thread of its own, so that a sound system
// never calls a listener while holding its locks or from its server's event loop.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/SoundSystem.h"

namespace kva_audioplayer {
namespace snd {

class ListenerHub {
public:
    enum Kind : int32_t { kAdded, kRemoved, kStateChanged, kDefaultChanged };

    ListenerHub() = default;
    ~ListenerHub();

    void Start(const char* threadName);
    // Events still queued are dropped.
    void Stop();

    void Add(IListener* listener);
    // After it returns the listener is not called again (unless called from a listener itself,
    // in which case only later events are withheld).
    void Remove(IListener* listener);
    void Post(Kind kind, const std::string& id, uint32_t state = 0);

    ListenerHub(const ListenerHub&) = delete;
    ListenerHub& operator=(const ListenerHub&) = delete;

private:
    struct Event {
        Kind kind;
        std::string id;
        uint32_t state;
        std::vector<IListener*> targets;  // those listening when it happened
    };
    void Loop();

    std::mutex mMutex;
    std::condition_variable mWake;
    std::condition_variable mIdle;
    std::deque<Event> mEvents;
    std::vector<IListener*> mListeners;
    IListener* mCalling = nullptr;
    bool mQuit = false;
    std::thread mThread;
    std::string mName;
};

}  // namespace snd
}  // namespace kva_audioplayer
