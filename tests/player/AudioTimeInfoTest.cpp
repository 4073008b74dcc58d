#include <gtest/gtest.h>

#include <vector>

#include "player/CKVAAudioTimeInfo.h"

using namespace kva_audioplayer;

namespace {

struct FakeClock {
    int64_t now = 1000000;
    static int64_t Read(void* c) { return static_cast<FakeClock*>(c)->now; }
};

// One step of a script: an operation with its argument, or a check of the answer.
enum Op { kResume, kPause, kStart, kStop, kReset, kFill, kAdvance, kSpeed, kDelay, kTolerance, kSetPosition,
          kExpectPlayed, kExpectFills, kExpectLastFill, kExpectState };
struct Step {
    Op op;
    double arg = 0;
};

void RunScript(const char* name, const std::vector<Step>& script) {
    FakeClock clock;
    CKVAAudioTimeInfo info;
    info.SetClock(&FakeClock::Read, &clock);
    info.Reset();
    info.Start();
    for (size_t i = 0; i < script.size(); ++i) {
        const int64_t n = static_cast<int64_t>(script[i].arg);
        switch (script[i].op) {
            case kResume: info.Resume(); break;
            case kPause: info.Pause(); break;
            case kStart: info.Start(); break;
            case kStop: info.Stop(); break;
            case kReset: info.Reset(); break;
            case kFill: info.OnFill(n); break;
            case kAdvance: clock.now += n; break;
            case kSpeed: info.SetSpeed(static_cast<float>(script[i].arg)); break;
            case kDelay: info.SetDelay(n); break;
            case kTolerance: info.SetTolerance(n); break;
            case kSetPosition: info.SetPosition(n); break;
            case kExpectPlayed: EXPECT_EQ(n, info.GetPlayedTime()) << name << " step " << i; break;
            case kExpectFills: EXPECT_EQ(static_cast<uint32_t>(n), info.GetFillCount()) << name << " step " << i; break;
            case kExpectLastFill: EXPECT_EQ(n, info.GetLastFillPosition()) << name << " step " << i; break;
            case kExpectState: EXPECT_EQ(n, info.GetState()) << name << " step " << i; break;
        }
    }
}

}  // namespace

TEST(AudioTimeInfo, Scripts) {
    RunScript("nothing before resume; fills ignored until running, negative ones always",
        {{kExpectState, CKVAAudioTimeInfo::kStateStarted}, {kFill, 500}, {kExpectPlayed, 0}, {kExpectFills, 0},
         {kResume}, {kExpectPlayed, 0}, {kFill, -1}, {kExpectFills, 0}, {kFill, 700}, {kExpectFills, 1},
         {kExpectPlayed, 700}, {kExpectLastFill, 700}});
    RunScript("extrapolates from the anchor; the completion delay is taken off and survives a restart",
        {{kResume}, {kFill, 1000}, {kAdvance, 100}, {kFill, 1100}, {kAdvance, 100}, {kFill, 1200},
         {kAdvance, 50}, {kExpectPlayed, 1250}, {kAdvance, 30}, {kExpectPlayed, 1280},
         {kDelay, 40}, {kStart}, {kResume}, {kFill, 2000}, {kAdvance, 100}, {kExpectPlayed, 2060}});
    RunScript("speed scales; a change re-anchors at the next fill, the same speed keeps the anchor",
        {{kSpeed, 2.0}, {kResume}, {kFill, 1000}, {kAdvance, 50}, {kExpectPlayed, 1100}, {kAdvance, 25},
         {kExpectPlayed, 1150}, {kSpeed, 0.5}, {kExpectPlayed, 1150}, {kFill, 1200}, {kAdvance, 100},
         {kExpectPlayed, 1250}, {kSpeed, 0.5}, {kAdvance, 100}, {kExpectPlayed, 1300}});
    RunScript("drift beyond the tolerance re-anchors at once, inside it keeps the anchor",
        {{kResume}, {kFill, 1000}, {kAdvance, 300}, {kFill, 5000}, {kExpectPlayed, 5000}, {kAdvance, 20},
         {kExpectPlayed, 5020}, {kFill, 5080}, {kAdvance, 10}, {kExpectPlayed, 5030},
         {kTolerance, 1000}, {kFill, 5500}, {kExpectPlayed, 5030}});
    RunScript("a small step back is hidden, a large one passed on",
        {{kResume}, {kFill, 2000}, {kAdvance, 500}, {kExpectPlayed, 2500}, {kFill, 2350}, {kExpectPlayed, 2500},
         {kAdvance, 100}, {kExpectPlayed, 2500}, {kAdvance, 100}, {kExpectPlayed, 2550},
         {kFill, 2250}, {kExpectPlayed, 2250}});
    RunScript("pause holds, resume waits for a fill, stop answers 0, a seek is taken as reported",
        {{kResume}, {kFill, 3000}, {kAdvance, 200}, {kPause}, {kExpectState, CKVAAudioTimeInfo::kStatePaused},
         {kAdvance, 5000}, {kExpectPlayed, 3200}, {kResume}, {kAdvance, 100}, {kExpectPlayed, 3200},
         {kFill, 3210}, {kAdvance, 40}, {kExpectPlayed, 3250},
         {kStop}, {kExpectState, CKVAAudioTimeInfo::kStateStopped}, {kExpectPlayed, 0},
         {kResume}, {kSetPosition, 60000}, {kExpectFills, 0}, {kExpectLastFill, 60000}, {kExpectPlayed, 60000},
         {kFill, 60000}, {kAdvance, 100}, {kExpectPlayed, 60100},
         {kSetPosition, 0}, {kFill, 0}, {kAdvance, 10}, {kExpectPlayed, 10},
         {kReset}, {kExpectState, CKVAAudioTimeInfo::kStateReset}, {kExpectLastFill, 0}});
}
