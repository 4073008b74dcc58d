// Runs the kvaplay binary for the tool tests.
#pragma once

#include <string>

#include "common/TestPaths.h"
#include "common/TestProcess.h"

namespace kva_test {

struct KvaplayResult {
    int exitCode = -1;
    std::string out;  // standard output (--json lines, the device list)
    std::string err;  // standard error
};

// `args` is a shell fragment. `env` holds assignments that apply to the kvaplay process only
// ("SSL_CERT_FILE=... ").
inline KvaplayResult RunKvaplay(const std::string& args, const std::string& env = std::string()) {
    KvaplayResult r;
    ScratchDir dir("kvaerr");
    const std::string err = dir.File("err");
    r.out = RunCommand(env + " " + BinaryPath("tools/kvaplay/kvaplay") + " " + args + " 2>" + err,
                       &r.exitCode);
    r.err = RunCommand("cat " + err);
    return r;
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
