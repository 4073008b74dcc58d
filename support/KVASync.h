// Recursive mutex, condition and counting semaphore wrappers.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <utility>

#include "support/Clock.h"

namespace kva_audioplayer {

// Recursive mutex. Construction creates nothing; Init does. Operations fail with -1 before Init.
class CKVACritical {
public:
    CKVACritical() = default;
    virtual ~CKVACritical();
    int Init();
    int Destroy();
    int Lock();
    int TryLock();  // 0 when taken
    int Unlock();
    pthread_mutex_t* Native() { return &mMutex; }

    CKVACritical(const CKVACritical&) = delete;
    CKVACritical& operator=(const CKVACritical&) = delete;

private:
    bool mInited = false;
    pthread_mutex_t mMutex;
};

// Condition variable waited on with a CKVACritical; timed waits use a wall-clock deadline.
class CKVACondition {
public:
    CKVACondition() = default;
    virtual ~CKVACondition();
    int Init();
    int Destroy();
    int Signal();
    int Broadcast();
    int Wait(CKVACritical& critical);
    int TimedWait(CKVACritical& critical, int64_t ms);  // 0 signalled, ETIMEDOUT, or -1

    CKVACondition(const CKVACondition&) = delete;
    CKVACondition& operator=(const CKVACondition&) = delete;

private:
    bool mInited = false;
    pthread_cond_t mCond;
};

class CKVASemaphore {
public:
    CKVASemaphore() = default;
    virtual ~CKVASemaphore();
    int Init(uint32_t initial = 0);
    int Destroy();
    int Reset();
    int Post();
    int Wait();
    int TimedWait(int64_t ms);  // 0 when a unit was taken, -1 on time-out or failure

    CKVASemaphore(const CKVASemaphore&) = delete;
    CKVASemaphore& operator=(const CKVASemaphore&) = delete;

private:
    bool mInited = false;
    uint32_t mCount = 0;
    pthread_cond_t mCond;
    pthread_mutex_t mMutex;
};

// Scoped lock; tolerates a null critical.
class CKVAAutoLock {
public:
    explicit CKVAAutoLock(CKVACritical& c) : mCritical(&c) { mCritical->Lock(); }
    explicit CKVAAutoLock(CKVACritical* c) : mCritical(c) {
        if (mCritical) mCritical->Lock();
    }
    ~CKVAAutoLock() {
        if (mCritical) mCritical->Unlock();
    }
    CKVAAutoLock(const CKVAAutoLock&) = delete;
    CKVAAutoLock& operator=(const CKVAAutoLock&) = delete;

private:
    CKVACritical* mCritical;
};

// A copy of `field` taken under `critical`.
template <typename T>
T ReadUnder(CKVACritical& critical, const T& field) {
    CKVAAutoLock lock(critical);
    return field;
}

// Stores `value` in `field` under `critical`.
template <typename T, typename V>
void WriteUnder(CKVACritical& critical, T& field, V&& value) {
    CKVAAutoLock lock(critical);
    field = std::forward<V>(value);
}

// Stores `value` in `field` under `critical`; returns what it held.
template <typename T, typename V>
T ExchangeUnder(CKVACritical& critical, T& field, V&& value) {
    CKVAAutoLock lock(critical);
    return std::exchange(field, std::forward<V>(value));
}

// Absolute CLOCK_REALTIME deadline ms from now.
struct timespec DeadlineAfterMs(int64_t ms);

}  // namespace kva_audioplayer
