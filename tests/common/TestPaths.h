// Where the generated media fixtures and the build live.
#pragma once

#include <string>

namespace kva_test {

inline std::string FixturePath(const std::string& name) {
    return std::string(KVA_FIXTURE_DIR) + "/" + name;
}
inline std::string BinaryPath(const std::string& name) {
    return std::string(KVA_BINARY_DIR) + "/" + name;
}

// A fresh scratch directory for one test (removed by the caller when it wants).
std::string MakeTempDir(const std::string& prefix);

}  // namespace kva_test
