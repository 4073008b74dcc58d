// The player's side of IF processing, heard through the virtual output's capture: processed
// audio reaches the device, a refused mode is reported and reset, a processor that cannot keep
// up is reported and switched off without loss, and stopping with load is reported.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "common/ReferenceDecode.h"
#include "common/TestIFProcessor.h"
#include "player/VirtualOutputFixture.h"

using namespace kva_audioplayer;
using kva_test::RecordingObserver;
using kva_test::TestIFProcessor;

namespace {

class PlayerIF : public kva_test::VirtualOutputTest {
protected:
    void SetUp() override {
        VirtualOutputTest::SetUp();
        player = NewPlayer(&obs);
    }
    // The captured audio from where `ref` (scaled by `gain`) starts in it.
    long Start(const std::vector<float>& ref, float gain) {
        std::vector<float> scaled(ref.begin(), ref.begin() + std::min<size_t>(ref.size(), 8820));
        for (float& v : scaled) v *= gain;
        return kva_test::LocateStart(Captured(), scaled);
    }
    const std::vector<float>& Ref() {
        return kva_test::CachedReferenceF32Stereo(kva_test::FixturePath("flac16.flac"));
    }

    // Released in TearDown, so it outlives the decode thread that calls it.
    std::unique_ptr<TestIFProcessor> proc;
};

TestIFProcessor::Config Doubling(int holdFrames = 0) {
    TestIFProcessor::Config c;
    c.gain = 2.0f;
    c.holdFrames = holdFrames;
    return c;
}

}  // namespace

TEST_F(PlayerIF, ProcessedAudioReachesTheDevice) {
    proc.reset(new TestIFProcessor(Doubling(2500)));
    player->SetAudioIFProcessor(proc.get());
    player->SetAudioIFEnable(1);
    Prepare("flac16.flac");
    PlayToTheEnd();
    EXPECT_EQ(obs.Count(kNotifyAudioIFStatus), 0);
    const auto got = Captured();
    const long start = Start(Ref(), 2.0f);
    ASSERT_GE(start, 0);
    std::string why;
    EXPECT_EQ(kva_test::DoubledThenPlain(got, start, Ref(), &why), long(Ref().size() / 2)) << why;
}

TEST_F(PlayerIF, RefusedModeIsReportedAndResetToOff) {
    TestIFProcessor::Config c = Doubling();
    c.initResult = -3;
    proc.reset(new TestIFProcessor(c));
    player->SetAudioIFProcessor(proc.get());
    player->SetAudioIFEnable(1);
    Prepare("flac16.flac");
    ASSERT_TRUE(obs.WaitFor(kNotifyAudioIFStatus, kAudioIFRefused, 2000));
    auto all = obs.All();
    for (const auto& n : all)
        if (n.id == kNotifyAudioIFStatus) {
            EXPECT_EQ(n.param2, -3);
        }
    PlayToTheEnd();
    const long start = Start(Ref(), 1.0f);
    ASSERT_GE(start, 0);
    EXPECT_EQ(kva_test::FirstMismatch(Captured(), start, Ref(), 0, Ref().size() / 2), -1);

    // The mode went back to 0: the next track does not try the processor again.
    player->Stop(true);
    Prepare("flac16.flac");
    EXPECT_EQ(proc->Inits(), 1);
    EXPECT_EQ(obs.Count(kNotifyAudioIFStatus), 1);
}

TEST_F(PlayerIF, SlowProcessorIsSwitchedOffAndNothingIsLost) {
    TestIFProcessor::Config c = Doubling(2000);
    c.slowFactor = 6.0;
    c.slowPuts = 1;
    proc.reset(new TestIFProcessor(c));
    player->SetAudioIFProcessor(proc.get());
    player->SetAudioIFEnable(1);
    Prepare("flac16.flac");
    PlayToTheEnd();
    ASSERT_EQ(obs.Count(kNotifyAudioIFStatus, kAudioIFSwitchedOff), 1);
    for (const auto& n : obs.All())
        if (n.id == kNotifyAudioIFStatus) {
            EXPECT_GT(n.param2, 500);
        }
    const auto got = Captured();
    const long start = Start(Ref(), 2.0f);
    ASSERT_GE(start, 0);
    std::string why;
    const long doubled = kva_test::DoubledThenPlain(got, start, Ref(), &why);
    EXPECT_GT(doubled, 0) << why;
    EXPECT_LT(doubled, long(Ref().size() / 2));
}

TEST_F(PlayerIF, StoppingWithLoadIsReported) {
    // A third of real time: under the limit, so processing stays on and the load is measured.
    TestIFProcessor::Config c = Doubling();
    c.slowFactor = 0.35;
    proc.reset(new TestIFProcessor(c));
    player->SetAudioIFProcessor(proc.get());
    player->SetAudioIFEnable(1);
    Prepare("flac16.flac");
    player->Play(false);
    ASSERT_TRUE(obs.WaitFor(kNotifyStatus, kStatusStarted, 5000));
    for (int i = 0; i < 500 && proc->Puts() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE(proc->Puts(), 3);
    player->Stop(true);
    ASSERT_TRUE(obs.WaitFor(kNotifyAudioIFStopLoad, RecordingObserver::kAny, 5000));
    EXPECT_EQ(obs.Count(kNotifyAudioIFStatus), 0);
    for (const auto& n : obs.All())
        if (n.id == kNotifyAudioIFStopLoad) {
            EXPECT_GE(n.param1, 20);
        }
}
