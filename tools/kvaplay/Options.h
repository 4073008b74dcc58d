// Command-line options of kvaplay.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvaplay {

struct Options {
    std::string output = "auto";  // auto | pulse | virtual | wav
    std::string wavPath;
    bool fast = false;
    int32_t deviceType = 5;
    std::string device;
    bool listDevices = false;
    int32_t nextMode = 1;  // 0 switch, 1 preload, 2 crossfade
    int64_t startFadeMs = -1, pauseFadeMs = -1, crossFadeMs = -1;  // -1: library default
    double speed = 1.0;
    double volume = 1.0;
    int32_t replayGain = 0;  // 0 off, 1 track, 2 album
    int64_t seekMs = -1;
    int64_t durationMs = -1;
    int32_t logLevel = -1;  // -1: no library log output
    bool json = false;
    bool quiet = false;
    std::vector<std::string> media;
};

// Parses argv; on failure returns false with a message in *error.
bool ParseOptions(int argc, char** argv, Options* out, std::string* error);

const char* Usage();
// True when --help or -h comes before any "--".
bool WantsHelp(int argc, char** argv);

}  // namespace kvaplay
