#include "support/KVAMsgThread.h"

#include <cstring>

#include "support/Log.h"

namespace kva_audioplayer {

namespace {
// Set when a thread stops itself from its handler: the object may be gone by the time the
// handler returns, so the loop must leave without touching it.
thread_local const CKVAMsgThread* tSelfStopped = nullptr;
}  // namespace

CKVAMsgThread::CKVAMsgThread() {
    mHeadCond.Init();
    mQueueCond.Init();
    mQueueLock.Init();
    mStateLock.Init();
}

CKVAMsgThread::~CKVAMsgThread() {
    Stop();
    Clear();
}

int32_t CKVAMsgThread::GetState() {
    CKVAAutoLock lock(mStateLock);
    return mState;
}

bool CKVAMsgThread::IsCurrentThread() const {
    return mHasThread && pthread_equal(mThread, pthread_self());
}

int CKVAMsgThread::Start(const char* name, void* user, MsgHandlerFn handler, MsgHookFn startHook,
                         MsgHookFn stopHook) {
    CKVAAutoLock lock(mStateLock);
    if (mState == kRunning) return 0;
    if (mHasThread && mState == kStopped) {
        // The previous run ended on its own (quit record); reap it before starting again.
        if (!IsCurrentThread()) pthread_join(mThread, nullptr);
        mHasThread = false;
    }
    mState = kStarting;
    mUser = user;
    mHandler = handler;
    mStartHook = startHook;
    mStopHook = stopHook;
    memset(mName, 0, sizeof(mName));
    if (name) strncpy(mName, name, kNameMax);
    Clear();
    int err = pthread_create(&mThread, nullptr, &CKVAMsgThread::Trampoline, this);
    mHasThread = (err == 0);
    if (err != 0) KVA_LOG(kLogError, "CKVAMsgThread::Start %s failed %d", mName, err);
    mState = kRunning;
    return err;
}

void* CKVAMsgThread::Trampoline(void* arg) {
    auto* self = static_cast<CKVAMsgThread*>(arg);
    char shortName[16];
    strncpy(shortName, self->mName, 15);  // the kernel keeps 15 bytes
    shortName[15] = '\0';
    pthread_setname_np(pthread_self(), shortName);
    self->Loop();
    return nullptr;
}

void CKVAMsgThread::Post(const ThreadMsgPtr& msg, int32_t delayMs) {
    if (!msg) return;
    {
        CKVAAutoLock lock(mStateLock);
        if (mState == kStopping || mState == kStopped) return;
    }
    msg->mDueTime = delayMs > 0 ? NowMs() + delayMs : delayMs;
    if (msg->mDueTime < 0) msg->mDueTime = 0;
    msg->mWaitSince = -1;
    CKVAAutoLock lock(mQueueLock);
    auto it = mQueue.begin();
    while (it != mQueue.end() && (*it)->mDueTime <= msg->mDueTime) ++it;
    bool head = (it == mQueue.begin());
    mQueue.insert(it, msg);
    if (head) mHeadCond.Signal();
    mQueueCond.Signal();
}

void CKVAMsgThread::Loop() {
    if (mStartHook) mStartHook(mUser);
    for (;;) {
        {
            CKVAAutoLock lock(mStateLock);
            if (mState == kStopping || mState == kStopped) break;
        }
        ThreadMsgPtr msg;
        {
            CKVAAutoLock lock(mQueueLock);
            if (mQueue.empty()) {
                mQueueCond.Wait(mQueueLock);
                if (mQueue.empty()) continue;
            }
            // Wait for the head's due time while it stays the head: a record posted ahead of
            // it, or stop, ends the wait and the queue is looked at again.
            ThreadMsgPtr head = mQueue.front();
            if (head->mId != kMsgQuit) {
                int64_t now = NowMs();
                if (head->mWaitSince < 0) head->mWaitSince = now;
                int64_t wait = head->mDueTime > 0 ? head->mDueTime - now : 0;
                int64_t capLeft = kMaxWaitMs - (now - head->mWaitSince);
                if (wait > capLeft) wait = capLeft;
                if (wait > 0) {
                    mHeadCond.TimedWait(mQueueLock, wait);
                    continue;
                }
            }
            msg = head;
            mQueue.pop_front();
        }
        if (msg->mId == kMsgQuit) break;
        const CKVAMsgThread* self = this;
        if (mHandler) mHandler(mUser, msg);
        if (tSelfStopped == self) {
            tSelfStopped = nullptr;
            return;
        }
    }
    if (mStopHook) mStopHook(mUser);
    CKVAAutoLock lock(mStateLock);
    mExitCode = 0;
    mState = kStopped;
}

void CKVAMsgThread::Stop() {
    {
        CKVAAutoLock lock(mStateLock);
        if (mState == kStopped) {
            if (mHasThread && !IsCurrentThread()) {
                pthread_join(mThread, nullptr);
                mHasThread = false;
            }
            return;
        }
        mState = kStopping;
    }
    {
        CKVAAutoLock lock(mQueueLock);
        mQueue.clear();
        auto quit = MakeMsg(kMsgQuit, std::string());
        quit->mDueTime = -1;
        mQueue.push_back(quit);
        mQueueCond.Signal();
        mHeadCond.Signal();
    }
    if (!mHasThread) {
        CKVAAutoLock lock(mStateLock);
        Clear();
        mState = kStopped;
        return;
    }
    if (IsCurrentThread()) {
        // Stopped from its own handler: end here, as the loop would, and let the loop leave
        // without touching this object, which its owner may destroy before the handler returns.
        pthread_detach(mThread);
        mHasThread = false;
        {
            CKVAAutoLock lock(mQueueLock);
            mQueue.clear();
        }
        if (mStopHook) mStopHook(mUser);
        CKVAAutoLock lock(mStateLock);
        mState = kStopped;
        tSelfStopped = this;
        return;
    }
    pthread_join(mThread, nullptr);
    mHasThread = false;
    Clear();  // the loop may have ended on the state before taking the quit record
}

void CKVAMsgThread::RemoveById(int32_t id) {
    CKVAAutoLock lock(mQueueLock);
    mQueue.remove_if([id](const ThreadMsgPtr& m) { return m->mId == id; });
}

int CKVAMsgThread::CountById(int32_t id) {
    CKVAAutoLock lock(mQueueLock);
    int n = 0;
    for (const auto& m : mQueue)
        if (m->mId == id) ++n;
    return n;
}

void CKVAMsgThread::Clear() {
    CKVAAutoLock lock(mQueueLock);
    mQueue.clear();
}

int CKVAMsgThread::Size() {
    CKVAAutoLock lock(mQueueLock);
    return static_cast<int>(mQueue.size());
}

}  // namespace kva_audioplayer
