// A named worker thread with a queue of messages ordered by due time.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <list>

#include "support/KVASync.h"
#include "support/ThreadMsg.h"

namespace kva_audioplayer {

typedef void (*MsgHandlerFn)(void* user, const ThreadMsgPtr& msg);
typedef void (*MsgHookFn)(void* user);

class CKVAMsgThread {
public:
    enum State : int32_t { kStarting = 0, kRunning = 1, kStopping = 2, kStopped = 3 };
    // A delayed record is handed out after at most this long at the head of the queue.
    static constexpr int64_t kMaxWaitMs = 5000;
    static constexpr size_t kNameMax = 31;

    CKVAMsgThread();
    virtual ~CKVAMsgThread();

    int Start(const char* name, void* user, MsgHandlerFn handler, MsgHookFn startHook = nullptr,
              MsgHookFn stopHook = nullptr);
    // Never blocks on the handler. Dropped while stopping or stopped.
    void Post(const ThreadMsgPtr& msg, int32_t delayMs = 0);
    // Returns after the thread has ended; safe from the thread's own handler.
    void Stop();
    void RemoveById(int32_t id);
    int CountById(int32_t id);
    void Clear();
    int Size();
    int32_t GetState();
    const char* Name() const { return mName; }
    bool IsCurrentThread() const;

    CKVAMsgThread(const CKVAMsgThread&) = delete;
    CKVAMsgThread& operator=(const CKVAMsgThread&) = delete;

private:
    static void* Trampoline(void* arg);
    void Loop();

    // thread record
    pthread_t mThread{};
    bool mHasThread = false;
    char mName[kNameMax + 1] = {0};
    int64_t mExitCode = 0;

    CKVACondition mHeadCond;
    CKVACondition mQueueCond;
    CKVACritical mQueueLock;
    CKVACritical mStateLock;
    MsgHandlerFn mHandler = nullptr;
    MsgHookFn mStartHook = nullptr;
    MsgHookFn mStopHook = nullptr;
    void* mUser = nullptr;
    std::list<ThreadMsgPtr> mQueue;
    int32_t mState = kStopped;
};

}  // namespace kva_audioplayer
