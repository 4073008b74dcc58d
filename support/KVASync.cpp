#include "support/KVASync.h"

#include <cerrno>
#include <ctime>

namespace kva_audioplayer {

struct timespec DeadlineAfterMs(int64_t ms) {
    if (ms < 0) ms = 0;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    int64_t ns = static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec + ms * 1000000LL;
    struct timespec deadline;
    deadline.tv_sec = static_cast<time_t>(ns / 1000000000LL);
    deadline.tv_nsec = static_cast<long>(ns % 1000000000LL);
    return deadline;
}

// ---- CKVACritical ----
CKVACritical::~CKVACritical() { Destroy(); }

int CKVACritical::Init() {
    if (mInited) return -1;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    int err = pthread_mutex_init(&mMutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (err != 0) return err;
    mInited = true;
    return 0;
}

int CKVACritical::Destroy() {
    if (!mInited) return -1;
    mInited = false;
    return pthread_mutex_destroy(&mMutex);
}

int CKVACritical::Lock() { return mInited ? pthread_mutex_lock(&mMutex) : -1; }
int CKVACritical::TryLock() { return mInited ? pthread_mutex_trylock(&mMutex) : -1; }
int CKVACritical::Unlock() { return mInited ? pthread_mutex_unlock(&mMutex) : -1; }

// ---- CKVACondition ----
CKVACondition::~CKVACondition() { Destroy(); }

int CKVACondition::Init() {
    if (mInited) return -1;
    int err = pthread_cond_init(&mCond, nullptr);
    if (err != 0) return err;
    mInited = true;
    return 0;
}

int CKVACondition::Destroy() {
    if (!mInited) return -1;
    mInited = false;
    return pthread_cond_destroy(&mCond);
}

int CKVACondition::Signal() { return mInited ? pthread_cond_signal(&mCond) : -1; }
int CKVACondition::Broadcast() { return mInited ? pthread_cond_broadcast(&mCond) : -1; }

int CKVACondition::Wait(CKVACritical& critical) {
    return mInited ? pthread_cond_wait(&mCond, critical.Native()) : -1;
}

int CKVACondition::TimedWait(CKVACritical& critical, int64_t ms) {
    if (!mInited) return -1;
    struct timespec deadline = DeadlineAfterMs(ms);
    return pthread_cond_timedwait(&mCond, critical.Native(), &deadline);
}

// ---- CKVASemaphore ----
CKVASemaphore::~CKVASemaphore() { Destroy(); }

int CKVASemaphore::Init(uint32_t initial) {
    if (mInited) return -1;
    if (pthread_mutex_init(&mMutex, nullptr) != 0) return -1;
    if (pthread_cond_init(&mCond, nullptr) != 0) {
        pthread_mutex_destroy(&mMutex);
        return -1;
    }
    mCount = initial;
    mInited = true;
    return 0;
}

int CKVASemaphore::Destroy() {
    if (!mInited) return -1;
    mInited = false;
    pthread_cond_destroy(&mCond);
    pthread_mutex_destroy(&mMutex);
    return 0;
}

int CKVASemaphore::Reset() {
    if (!mInited) return -1;
    pthread_mutex_lock(&mMutex);
    mCount = 0;
    pthread_mutex_unlock(&mMutex);
    return 0;
}

int CKVASemaphore::Post() {
    if (!mInited) return -1;
    pthread_mutex_lock(&mMutex);
    ++mCount;
    pthread_cond_signal(&mCond);
    pthread_mutex_unlock(&mMutex);
    return 0;
}

int CKVASemaphore::Wait() {
    if (!mInited) return -1;
    pthread_mutex_lock(&mMutex);
    while (mCount == 0) pthread_cond_wait(&mCond, &mMutex);
    --mCount;
    pthread_mutex_unlock(&mMutex);
    return 0;
}

int CKVASemaphore::TimedWait(int64_t ms) {
    if (!mInited) return -1;
    struct timespec deadline = DeadlineAfterMs(ms);
    pthread_mutex_lock(&mMutex);
    int err = 0;
    while (mCount == 0 && err != ETIMEDOUT) err = pthread_cond_timedwait(&mCond, &mMutex, &deadline);
    int result = -1;
    if (mCount > 0) {
        --mCount;
        result = 0;
    }
    pthread_mutex_unlock(&mMutex);
    return result;
}

}  // namespace kva_audioplayer
