#include "platform/SoundListeners.h"

#include <pthread.h>

#include <algorithm>

namespace kva_audioplayer {
namespace snd {

ListenerHub::~ListenerHub() { Stop(); }

void ListenerHub::Start(const char* threadName) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mThread.joinable()) return;
    mQuit = false;
    mName = threadName ? threadName : "";
    mThread = std::thread([this] { Loop(); });
}

void ListenerHub::Stop() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mQuit = true;
        mEvents.clear();
        thread = std::move(mThread);
    }
    mWake.notify_all();
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();  // stopped from a listener: the loop ends on its own
        } else {
            thread.join();
        }
    }
}

void ListenerHub::Add(IListener* listener) {
    if (!listener) return;
    std::lock_guard<std::mutex> lock(mMutex);
    if (std::find(mListeners.begin(), mListeners.end(), listener) == mListeners.end()) {
        mListeners.push_back(listener);
    }
}

void ListenerHub::Remove(IListener* listener) {
    std::unique_lock<std::mutex> lock(mMutex);
    mListeners.erase(std::remove(mListeners.begin(), mListeners.end(), listener), mListeners.end());
    if (std::this_thread::get_id() == mThread.get_id()) return;
    mIdle.wait(lock, [&] { return mCalling != listener; });
}

void ListenerHub::Post(Kind kind, const std::string& id, uint32_t state) {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mQuit) return;
        mEvents.push_back(Event{kind, id, state, mListeners});
    }
    mWake.notify_one();
}

void ListenerHub::Loop() {
    if (!mName.empty()) {
        char name[16] = {0};
        mName.copy(name, 15);
        pthread_setname_np(pthread_self(), name);
    }
    std::unique_lock<std::mutex> lock(mMutex);
    for (;;) {
        mWake.wait(lock, [&] { return mQuit || !mEvents.empty(); });
        if (mQuit) break;
        Event ev = std::move(mEvents.front());
        mEvents.pop_front();
        for (IListener* l : ev.targets) {
            if (mQuit) break;
            // Skips a listener removed since the event was posted.
            if (std::find(mListeners.begin(), mListeners.end(), l) == mListeners.end()) continue;
            mCalling = l;
            lock.unlock();
            switch (ev.kind) {
            case kAdded: l->OnEndpointAdded(ev.id); break;
            case kRemoved: l->OnEndpointRemoved(ev.id); break;
            case kStateChanged: l->OnEndpointStateChanged(ev.id, ev.state); break;
            case kDefaultChanged: l->OnDefaultChanged(ev.id); break;
            }
            lock.lock();
            mCalling = nullptr;
            mIdle.notify_all();
        }
    }
}

}  // namespace snd
}  // namespace kva_audioplayer
