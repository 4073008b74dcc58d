// kvaplay's device list and device choice.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "KvaplayRun.h"
#include "common/PulseTestServer.h"

using namespace kva_test;

namespace {

float Peak(const std::vector<float>& samples) {
    float peak = 0;
    for (float s : samples) peak = std::max(peak, std::fabs(s));
    return peak;
}

}  // namespace

// The virtual output chosen needs no word; without a sound server the automatic choice plays to
// it, and kvaplay says so.
TEST(KvaplayDevices, ListShowsEachOutputsIdAndMarksTheDefault) {
    const std::string noServer = "PULSE_SERVER=unix:/nonexistent/kva-no-server";
    EXPECT_NE(std::string::npos, RunKvaplay("--list-devices", noServer).err.find("playing to the virtual output"));
    KvaplayResult r = RunKvaplay("--output=virtual --list-devices", noServer);
    ASSERT_EQ(0, r.exitCode);
    EXPECT_EQ("", r.err);
    EXPECT_EQ("index\ttype\tdriver\tid\tname\tdefault\n" "0\t5\tWasapi\tdefault\t默认输出设备\tfollows\n"
              "1\t5\tWasapi\tvirtual-output\tVirtual Output\tdefault\n"
              "2\t6\tDirectSound\tdefault\tPrimary Sound Driver\tfollows\n"
              "3\t6\tDirectSound\tvirtual-output\tVirtual Output\tdefault\n"
              "4\t4\tWaveOut\tdefault\tSound Mapper\tfollows\n"
              "5\t4\tWaveOut\tvirtual-output\tVirtual Output\tdefault",
              r.out);
}

// A device chosen by name or by id is played on; an unknown one is an error, not the default.
TEST(KvaplayDevices, PlaysOnADeviceChosenByNameOrIdAndRefusesAnUnknownOne) {
    for (const char* device : {"\"Virtual Output\"", "virtual-output"}) {
        KvaplayResult r = RenderWav("--quiet --device " + std::string(device) + Media({"sine_s16.wav"}));
        ASSERT_EQ(0, r.exitCode) << device;
        EXPECT_GE(r.wav.samples.size(), size_t(44100) * 2 * 2);  // most of the 3 s
        EXPECT_GT(Peak(r.wav.samples), 0.05f);
    }
    KvaplayResult r = RenderWav("--device=\"No Such Device\"" + Media({"sine_s16.wav"}));
    EXPECT_EQ(2, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("No Such Device")) << r.err;
}

// Two sinks of one name on a sound server: the list tells them apart by id (and the second by its
// id after the name), and --device with the id plays on that sink alone.
using KvaplayPulse = PulseServerTest<>;

TEST_F(KvaplayPulse, OutputsOfTheSameNameAreToldApartByTheirIds) {
    if (!Ready()) return;
    Pulse().LoadSink("kva_same_1", "KVA_Same");
    Pulse().LoadSink("kva_same_2", "KVA_Same");
    const std::string list = RunKvaplay("--output=pulse --list-devices").out;
    EXPECT_NE(std::string::npos, list.find("\t5\tWasapi\tkva_test_a\tKVA Test Sink A\tdefault\n")) << list;
    EXPECT_NE(std::string::npos, list.find("\t5\tWasapi\tkva_same_1\tKVA_Same\t\n")) << list;
    EXPECT_NE(std::string::npos, list.find("\t5\tWasapi\tkva_same_2\tKVA_Same (kva_same_2)\t\n")) << list;
    ScratchDir dir("kvaplaypulse");
    PulseRecorder b, b2;
    ASSERT_TRUE(b.Start("kva_same_1.monitor", dir.File("b.raw")) && b2.Start("kva_same_2.monitor", dir.File("b2.raw")));
    ASSERT_EQ(0, RunKvaplay("--output=pulse --quiet --start-fade-ms=0 --device=kva_same_2" + Media({"join_short.wav"})).exitCode);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_GT(Peak(b2.Stop()), 0.1f) << "not heard on the sink chosen";
    EXPECT_EQ(Peak(b.Stop()), 0.0f) << "heard on the other sink of that name";
}
