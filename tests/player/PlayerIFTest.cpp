// The player's side of IF processing, heard through the virtual output's capture.
#include <gtest/gtest.h>

#include "common/TestIFProcessor.h"
#include "player/VirtualOutputFixture.h"

using namespace kva_audioplayer;
using namespace kva_test;

namespace {

class PlayerIF : public VirtualOutputTest {
protected:
    // flac16.flac prepared with a doubling processor of this configuration switched on.
    void PrepareWith(double slowFactor = 0, int holdFrames = 0, int32_t initResult = 0) {
        TestIFProcessor::Config c;
        c.gain = 2.0f;
        c.holdFrames = holdFrames;
        c.slowFactor = slowFactor;
        c.slowPuts = slowFactor > 1 ? 1 : c.slowPuts;
        c.initResult = initResult;
        proc.reset(new TestIFProcessor(c));
        if (!player) player = NewPlayer(&obs);
        player->SetAudioIFProcessor(proc.get());
        player->SetAudioIFEnable(1);
        Prepare("flac16.flac");
    }
    // Where the track, scaled by `gain`, starts in the capture.
    long Start(float gain) {
        std::vector<float> scaled(Ref().begin(), Ref().begin() + 8820);
        for (float& v : scaled) v *= gain;
        return LocateStart(Captured(), scaled);
    }
    static const std::vector<float>& Ref() { return kva_test::Ref("flac16.flac"); }
    // The doubled frames at the start of the capture, the rest plain.
    long Doubled() {
        const long start = Start(2.0f);
        EXPECT_GE(start, 0);
        std::string why;
        const long n = start < 0 ? -1 : DoubledThenPlain(Captured(), start, Ref(), &why);
        EXPECT_GE(n, 0) << why;
        return n;
    }
    // Each notification `id`'s param (1 or 2).
    std::vector<int32_t> Params(int32_t id, bool second) {
        std::vector<int32_t> out;
        for (const auto& n : obs.All()) if (n.id == id) out.push_back(second ? n.param2 : n.param1);
        return out;
    }

    // Released in TearDown, so it outlives the decode thread that calls it.
    std::unique_ptr<TestIFProcessor> proc;
};

}  // namespace

TEST_F(PlayerIF, RefusedModeIsReportedAndResetToOff) {
    PrepareWith(0, 0, -3);
    ASSERT_TRUE(obs.WaitFor(kNotifyAudioIFStatus, kAudioIFRefused, 2000));
    EXPECT_EQ(Params(kNotifyAudioIFStatus, true), std::vector<int32_t>{-3});
    PlayToTheEnd();
    const long start = Start(1.0f);
    ASSERT_GE(start, 0);
    EXPECT_EQ(FirstMismatch(Captured(), start, Ref(), 0, Ref().size() / 2), -1);
    // The mode went back to 0: the next track does not try the processor again.
    player->Stop(true);
    Prepare("flac16.flac");
    EXPECT_EQ(proc->Inits(), 1);
    EXPECT_EQ(obs.Count(kNotifyAudioIFStatus), 1);
}

TEST_F(PlayerIF, SlowProcessorIsSwitchedOffAndNothingIsLost) {
    PrepareWith(6.0, 2000);
    PlayToTheEnd();
    ASSERT_EQ(obs.Count(kNotifyAudioIFStatus, kAudioIFSwitchedOff), 1);
    for (int32_t ms : Params(kNotifyAudioIFStatus, true)) EXPECT_GT(ms, 500);
    EXPECT_GE(proc->Resets(), 1);
    const long doubled = Doubled();
    EXPECT_GT(doubled, 0);
    EXPECT_LT(doubled, long(Ref().size() / 2));
}

TEST_F(PlayerIF, StoppingWithLoadIsReported) {
    // A third of real time: under the limit, so processing stays on and the load is measured.
    PrepareWith(0.35);
    Play();
    ASSERT_TRUE(WaitUntil([&] { return proc->Puts() >= 3; }));
    player->Stop(true);
    ASSERT_TRUE(obs.WaitFor(kNotifyAudioIFStopLoad, RecordingObserver::kAny, 5000));
    EXPECT_EQ(obs.Count(kNotifyAudioIFStatus), 0);
    for (int32_t load : Params(kNotifyAudioIFStopLoad, false)) EXPECT_GE(load, 20);
}
