// Runs the kvaplay binary for the tool tests.
#pragma once

#include <string>

#include "common/ReferenceDecode.h"
#include "common/TestPaths.h"
#include "common/TestProcess.h"
#include "common/WavRead.h"

namespace kva_test {

struct KvaplayResult {
    int exitCode = -1;
    std::string out;  // standard output (--json lines, the device list)
    std::string err;  // standard error
    WavData wav;      // what RenderWav rendered (empty when no file was written)
};

// `args` is a shell fragment. `env` comes before the command: assignments that apply to the
// kvaplay process only ("SSL_CERT_FILE=... "), or limits ("ulimit -f 64;").
inline KvaplayResult RunKvaplay(const std::string& args, const std::string& env = std::string()) {
    KvaplayResult r;
    ScratchDir dir("kvaerr");
    const std::string err = dir.File("err");
    r.out = RunCommand(env + " " + BinaryPath("tools/kvaplay/kvaplay") + " " + args + " 2>" + err, &r.exitCode);
    r.err = RunCommand("cat " + err);
    return r;
}

// kvaplay rendering `args` (options and media) into a WAV file without a start fade, as fast as
// it can or at the virtual output's real-time pace.
inline KvaplayResult RenderWav(const std::string& args, const std::string& env = std::string(), bool fast = true) {
    ScratchDir dir("kvawav");
    KvaplayResult r = RunKvaplay("--output=wav:" + dir.File("o.wav") + (fast ? " --fast" : "") + " --start-fade-ms=0 " + args, env);
    if (!ReadFloatWav(dir.File("o.wav"), &r.wav)) r.wav = WavData();
    return r;
}

inline const std::vector<float>& Ref(const std::string& name) { return CachedReferenceF32Stereo(FixturePath(name)); }

// Fixtures as arguments.
inline std::string Media(std::initializer_list<std::string> names) {
    std::string s;
    for (const auto& n : names) s += " " + FixturePath(n);
    return s;
}

// How many --json lines are notification `id` with param1 `p1`.
inline int CountJson(const std::string& out, int id, int p1) {
    const std::string key = "\"id\": " + std::to_string(id) + ",";
    const std::string param = "\"param1\": " + std::to_string(p1) + ",";
    int n = 0;
    for (size_t pos = 0; (pos = out.find(key, pos)) != std::string::npos;) {
        const size_t eol = out.find('\n', pos);
        if (out.substr(pos, eol - pos).find(param) != std::string::npos) ++n;
        pos = eol;
    }
    return n;
}

}  // namespace kva_test
