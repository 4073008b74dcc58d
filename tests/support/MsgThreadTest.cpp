#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "common/TestProcess.h"
#include "support/KVAMsgThread.h"

using namespace kva_audioplayer;

namespace {

// Records handled message ids; can block the handler to let a queue build up.
struct Recorder {
    std::mutex mutex;
    std::vector<int32_t> ids;
    std::vector<int64_t> times;
    CKVASemaphore handled;
    CKVASemaphore gate;  // posted once per message the handler may pass when gated
    bool gated = false;

    Recorder() { handled.Init(0); gate.Init(0); }
    static void Handle(void* user, const ThreadMsgPtr& msg) {
        auto* self = static_cast<Recorder*>(user);
        if (self->gated) self->gate.Wait();
        std::unique_lock<std::mutex> lock(self->mutex);
        self->ids.push_back(msg->mId);
        self->times.push_back(MonotonicMs());
        lock.unlock();
        self->handled.Post();
    }
    bool WaitFor(int n, int64_t ms) {
        for (int i = 0; i < n; ++i)
            if (handled.TimedWait(ms) != 0) return false;
        return true;
    }
    std::vector<int32_t> Ids() { std::lock_guard<std::mutex> lock(mutex); return ids; }
};

// A message thread started on a recorder.
class MsgThread : public ::testing::Test {
protected:
    void SetUp() override { thread.Start("msg test", &rec, &Recorder::Handle); }
    Recorder rec;
    CKVAMsgThread thread;
};

}  // namespace

// RemoveById drops every record of that id and nothing else; the rest go by due time, then
// posting order.
TEST_F(MsgThread, OrdersByDueTimeThenPostingOrderAndRemovesById) {
    rec.gated = true;  // the first, 99, occupies the handler while the rest queue up
    for (auto m : {std::make_pair(99, 0), {16, 0}, {3, 150}, {1, 0}, {2, 0}, {16, 10}, {4, 300}})
        thread.Post(MakeMsg(m.first, ""), m.second);  // id, delay
    // The head record may already be in the handler; wait until only the rest is queued.
    kva_test::WaitUntil([&] { return thread.Size() == 6; }, 500);
    EXPECT_EQ(thread.CountById(16), 2);
    thread.RemoveById(16);
    EXPECT_EQ(std::make_tuple(thread.CountById(16), thread.Size()), std::make_tuple(0, 4));
    for (int i = 0; i < 5; ++i) rec.gate.Post();
    ASSERT_TRUE(rec.WaitFor(5, 3000));
    EXPECT_EQ(rec.Ids(), (std::vector<int32_t>{99, 1, 2, 3, 4}));
}

// A delay is capped at five seconds; the delayed record still waits for that after an immediate
// one overtook it.
TEST_F(MsgThread, ImmediateRecordOvertakesADelayedOneCappedAtFiveSeconds) {
    int64_t start = MonotonicMs();
    thread.Post(MakeMsg(1, ""), 8000);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    thread.Post(MakeMsg(2, ""), 0);
    ASSERT_TRUE(rec.WaitFor(2, 7000)) << "an 8 s record must be handed out after at most 5 s";
    EXPECT_EQ(rec.Ids(), (std::vector<int32_t>{2, 1}));
    EXPECT_GE(rec.times[1] - start, 4900);
}

TEST_F(MsgThread, PostAfterStopIsDroppedAndRestartWorks) {
    thread.Post(MakeMsg(1, ""));
    ASSERT_TRUE(rec.WaitFor(1, 2000));
    thread.Stop();
    EXPECT_EQ(thread.GetState(), CKVAMsgThread::kStopped);
    thread.Post(MakeMsg(2, ""));
    EXPECT_EQ(thread.Size(), 0);
    EXPECT_FALSE(rec.WaitFor(1, 100));
    thread.Start("stop", &rec, &Recorder::Handle);
    thread.Post(MakeMsg(3, ""));
    ASSERT_TRUE(rec.WaitFor(1, 2000));
    EXPECT_EQ(rec.Ids(), (std::vector<int32_t>{1, 3}));
}

TEST_F(MsgThread, HandlerMayStopAndDestroyItsOwnThread) {  // a thread of its own
    struct SelfStopper {
        CKVAMsgThread* thread;
        std::atomic<bool> done{false};
        static void Handle(void* user, const ThreadMsgPtr&) {
            auto* self = static_cast<SelfStopper*>(user);
            delete self->thread;  // the loop must not touch the object afterwards
            self->done = true;
        }
    } stopper;
    stopper.thread = new CKVAMsgThread();
    stopper.thread->Start("self stop", &stopper, &SelfStopper::Handle);
    stopper.thread->Post(MakeMsg(1, ""));
    EXPECT_TRUE(kva_test::WaitUntil([&] { return stopper.done.load(); }, 1000));
}

TEST_F(MsgThread, ConcurrentPostersLoseNothing) {
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t)
        posters.emplace_back([this, t] {
            for (int i = 0; i < 250; ++i) thread.Post(MakeMsg(t, ""));
        });
    for (auto& p : posters) p.join();
    ASSERT_TRUE(rec.WaitFor(1000, 5000));
    EXPECT_EQ(rec.Ids().size(), 1000u);
}

TEST(Sync, RecursiveCriticalAndCountingSemaphore) {
    CKVACritical c;
    ASSERT_EQ(c.Init(), 0);
    EXPECT_EQ(c.Lock() | c.Lock() | c.TryLock(), 0);  // recursive
    EXPECT_EQ(c.Unlock() | c.Unlock(), 0);
    std::thread([&c] { EXPECT_NE(c.TryLock(), 0); }).join();  // still held once
    EXPECT_EQ(c.Unlock(), 0);
    std::thread([&c] { EXPECT_EQ(c.TryLock(), 0); c.Unlock(); }).join();  // all three released

    CKVASemaphore s;
    s.Init(2);
    EXPECT_EQ(s.TimedWait(10) | s.TimedWait(10), 0);  // the two counted
    EXPECT_EQ(s.TimedWait(20), -1);
    s.Post();
    s.Reset();
    EXPECT_EQ(s.TimedWait(10), -1);
    std::thread poster([&s] { s.Post(); });
    EXPECT_EQ(s.Wait(), 0);
    poster.join();
}
