// kvaplay's device options: the device list and playing on a device chosen by name.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "KvaplayRun.h"
#include "common/WavRead.h"

using namespace kva_test;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

float Peak(const WavData& w) {
    float peak = 0;
    for (float s : w.samples) peak = std::max(peak, std::fabs(s));
    return peak;
}

}  // namespace

TEST(KvaplayDevices, ListHasAHeaderAndMarksTheDefaults) {
    KvaplayResult r = RunKvaplay("--output=virtual --list-devices");
    ASSERT_EQ(0, r.exitCode);
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(7u, lines.size()) << r.out;
    EXPECT_EQ("index\ttype\tdriver\tname\tdefault", lines[0]);
    EXPECT_EQ("0\t5\tWasapi\t默认输出设备\tdefault", lines[1]);
    EXPECT_EQ("1\t5\tWasapi\tVirtual Output\t", lines[2]);
    EXPECT_EQ(0u, lines[3].rfind("2\t6\tDirectSound\t", 0)) << lines[3];
    EXPECT_EQ("5\t4\tWaveOut\tVirtual Output\t", lines[6]);
    for (int i : {3, 5}) EXPECT_EQ("\tdefault", lines[i].substr(lines[i].size() - 8)) << lines[i];
}

// A device chosen by name is played on; an unknown name is an error, not the default.
TEST(KvaplayDevices, PlaysOnADeviceChosenByNameAndRefusesAnUnknownOne) {
    ScratchDir dir("kvaplaydev");
    const std::string wav = dir.File("out.wav");
    const std::string args = "--output=wav:" + wav + " --fast --quiet --start-fade-ms=0 ";
    ASSERT_EQ(0, RunKvaplay(args + "--device \"Virtual Output\" " + FixturePath("sine_s16.wav")).exitCode);
    WavData w;
    ASSERT_TRUE(ReadFloatWav(wav, &w));
    EXPECT_GE(w.samples.size(), size_t(44100) * 2 * 2);  // most of the 3 s
    EXPECT_GT(Peak(w), 0.05f);
    KvaplayResult r = RunKvaplay(args + "--device=\"No Such Device\" " + FixturePath("sine_s16.wav"));
    EXPECT_EQ(2, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("No Such Device")) << r.err;
}

// Without a sound server the automatic choice plays to the virtual output, and kvaplay says so;
// an explicit virtual output needs no such word.
TEST(KvaplayDevices, FallingBackToTheVirtualOutputIsSaid) {
    const std::string noServer = "PULSE_SERVER=unix:/nonexistent/kva-no-server";
    KvaplayResult automatic = RunKvaplay("--list-devices 2>&1 | cat", noServer);
    EXPECT_NE(std::string::npos, automatic.out.find("playing to the virtual output")) << automatic.out;
    KvaplayResult chosen = RunKvaplay("--output=virtual --list-devices 2>&1 | cat", noServer);
    EXPECT_EQ(std::string::npos, chosen.out.find("virtual output")) << chosen.out;
}
