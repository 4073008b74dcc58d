#include "Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace kvaplay {

namespace {

bool ParseInt(const std::string& text, int64_t min, int64_t* out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min) return false;
    *out = v;
    return true;
}

bool ParseDouble(const std::string& text, double min, double max, double* out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    double v = strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < min || v > max) return false;
    *out = v;
    return true;
}

// Options that take no value.
bool IsFlag(const std::string& key) {
    return key == "--fast" || key == "--list-devices" || key == "--json" || key == "--quiet";
}

}  // namespace

const char* Usage() {
    return "usage: kvaplay [options] MEDIA [MEDIA...]   MEDIA: a file path or an http(s):// URL\n"
           "Options go anywhere, as --opt=value or --opt value; after -- everything is media.\n"
           "  --output=auto|pulse|virtual|wav:PATH  sound system\n"
           "  --fast                                virtual and wav outputs consume as fast as fed\n"
           "  --driver=wasapi|waveout|dsound        device type 5, 4 or 6 (default wasapi)\n"
           "  --device=ID|NAME                      output device by id or name (default: system default)\n"
           "  --list-devices                        print the device list with each output's id, the\n"
           "                                        system default marked, then exit\n"
           "  --next-mode=switch|preload|crossfade  how each following item is queued (default preload)\n"
           "  --start-fade-ms=N --pause-fade-ms=N --crossfade-ms=N --speed=X --volume=V\n"
           "  --replaygain=off|track|album          level by the media's ReplayGain tags (default off)\n"
           "  --seek=MS                             start position of the first item\n"
           "  --duration=MS                         stop after this much played time\n"
           "  --log-level=N                         library log lines at or above N to standard error\n"
           "  --json                                every notification as one JSON line\n"
           "  --quiet                               no progress line\n"
           "  --help                                this text\n"
           "Keys while playing: space pause/resume, left/right seek 5 s, n next item,\n"
           "  + and - volume, ] and [ speed, q quit.\n"
           "Exit codes: 0 every item played; 1 an item failed (each is reported and the list\n"
           "  goes on) or the output could not be used; 2 a bad command line (unknown option,\n"
           "  invalid value, unknown device).\n";
}

bool WantsHelp(int argc, char** argv) {
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i)
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) return true;
    return false;
}

bool ParseOptions(int argc, char** argv, Options* o, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0 || arg == "--") {
            if (arg == "--") {
                for (++i; i < argc; ++i) o->media.push_back(argv[i]);
                break;
            }
            o->media.push_back(arg);
            continue;
        }
        std::string key = arg, value;
        bool hasValue = false;
        size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            key = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasValue = true;
        } else if (!IsFlag(key) && i + 1 < argc) {
            value = argv[++i];  // the "--opt value" form
            hasValue = true;
        }
        auto need = [&](bool ok) {
            if (!ok) *error = "bad value for " + key + ": '" + value + "'";
            return ok;
        };
        int64_t n = 0;
        if (key == "--output" && hasValue) {
            if (value == "auto" || value == "pulse" || value == "virtual") {
                o->output = value;
            } else if (value.rfind("wav:", 0) == 0 && value.size() > 4) {
                o->output = "wav";
                o->wavPath = value.substr(4);
            } else {
                return need(false);
            }
        } else if (key == "--fast" && !hasValue) {
            o->fast = true;
        } else if (key == "--driver" && hasValue) {
            if (value == "wasapi") o->deviceType = 5;
            else if (value == "waveout") o->deviceType = 4;
            else if (value == "dsound") o->deviceType = 6;
            else return need(false);
        } else if (key == "--device" && hasValue) {
            if (value.empty()) return need(false);
            o->device = value;
        } else if (key == "--list-devices" && !hasValue) {
            o->listDevices = true;
        } else if (key == "--next-mode" && hasValue) {
            if (value == "switch") o->nextMode = 0;
            else if (value == "preload") o->nextMode = 1;
            else if (value == "crossfade") o->nextMode = 2;
            else return need(false);
        } else if (key == "--start-fade-ms" && hasValue) {
            if (!need(ParseInt(value, 0, &n))) return false;
            o->startFadeMs = n;
        } else if (key == "--pause-fade-ms" && hasValue) {
            if (!need(ParseInt(value, 0, &n))) return false;
            o->pauseFadeMs = n;
        } else if (key == "--crossfade-ms" && hasValue) {
            if (!need(ParseInt(value, 0, &n))) return false;
            o->crossFadeMs = n;
        } else if (key == "--speed" && hasValue) {
            if (!need(ParseDouble(value, 0.5, 100.0, &o->speed))) return false;
        } else if (key == "--volume" && hasValue) {
            if (!need(ParseDouble(value, 0.0, 1.0, &o->volume))) return false;
        } else if (key == "--replaygain" && hasValue) {
            if (value == "off") o->replayGain = 0;
            else if (value == "track") o->replayGain = 1;
            else if (value == "album") o->replayGain = 2;
            else return need(false);
        } else if (key == "--seek" && hasValue) {
            if (!need(ParseInt(value, 0, &n))) return false;
            o->seekMs = n;
        } else if (key == "--duration" && hasValue) {
            if (!need(ParseInt(value, 0, &n))) return false;
            o->durationMs = n;
        } else if (key == "--log-level" && hasValue) {
            if (!need(ParseInt(value, 0, &n))) return false;
            o->logLevel = static_cast<int32_t>(n);
        } else if (key == "--json" && !hasValue) {
            o->json = true;
        } else if (key == "--quiet" && !hasValue) {
            o->quiet = true;
        } else if (IsFlag(key) || hasValue) {
            *error = IsFlag(key) ? key + " takes no value" : "unknown option: " + key;
            return false;
        } else {
            *error = "unknown option or missing value: " + arg;
            return false;
        }
    }
    if (o->media.empty() && !o->listDevices) {
        *error = "no media given";
        return false;
    }
    if (o->fast && o->output != "virtual" && o->output != "wav") {
        *error = "--fast needs --output=virtual or --output=wav:PATH";
        return false;
    }
    return true;
}

}  // namespace kvaplay
