// kvaplay's device options: the device list and playing on a device chosen by name.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "common/TestPaths.h"
#include "common/WavRead.h"

using namespace kva_test;

namespace {

struct RunResult {
    int exitCode = -1;
    std::string out;
};

RunResult RunKvaplay(const std::string& args) {
    std::string cmd = BinaryPath("tools/kvaplay/kvaplay") + " " + args + " 2>/dev/null";
    RunResult r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) r.out.append(buf, n);
    int status = pclose(p);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

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

TEST(KvaplayDevices, ListPrintsIndexTypeDriverNameAndDefaultFlag) {
    RunResult r = RunKvaplay("--output=virtual --list-devices");
    ASSERT_EQ(0, r.exitCode);
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(6u, lines.size()) << r.out;
    EXPECT_EQ("0\t5\tWasapi\t默认输出设备\tdefault", lines[0]);
    EXPECT_EQ("1\t5\tWasapi\tVirtual Output\t", lines[1]);
    EXPECT_EQ(0u, lines[2].rfind("2\t6\tDirectSound\t", 0)) << lines[2];
    EXPECT_EQ("3\t6\tDirectSound\tVirtual Output\t", lines[3]);
    EXPECT_EQ(0u, lines[4].rfind("4\t4\tWaveOut\t", 0)) << lines[4];
    EXPECT_EQ("5\t4\tWaveOut\tVirtual Output\t", lines[5]);
    for (int i : {2, 4}) EXPECT_EQ("\tdefault", lines[i].substr(lines[i].size() - 8)) << lines[i];
}

TEST(KvaplayDevices, PlaysOnADeviceChosenByNameAndFallsBackForAnUnknownName) {
    std::string dir = MakeTempDir("kvaplaydev");
    std::string wav = dir + "/out.wav";
    for (const char* device : {"\"Virtual Output\"", "\"No Such Device\""}) {
        remove(wav.c_str());
        RunResult r = RunKvaplay("--output=wav:" + wav + " --fast --quiet --start-fade-ms=0 --device=" + device + " " +
                          FixturePath("sine_s16.wav"));
        ASSERT_EQ(0, r.exitCode) << device;
        WavData w;
        ASSERT_TRUE(ReadFloatWav(wav, &w)) << device;
        EXPECT_GE(w.samples.size(), size_t(44100) * 2 * 2) << device;  // most of the 3 s
        EXPECT_GT(Peak(w), 0.05f) << device;
    }
    remove(wav.c_str());
    rmdir(dir.c_str());
}
