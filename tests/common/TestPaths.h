// Where the generated media fixtures and the build live, and scratch directories.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kva_test {

inline std::string FixturePath(const std::string& name) { return std::string(KVA_FIXTURE_DIR) + "/" + name; }
inline std::string BinaryPath(const std::string& name) { return std::string(KVA_BINARY_DIR) + "/" + name; }

std::string MakeTempDir(const std::string& prefix);  // a fresh scratch directory under /tmp/
std::vector<uint8_t> ReadBytes(const std::string& path);  // empty when it cannot be read
void RemoveTree(const std::string& path);  // only under /tmp/

// A scratch directory removed, with everything in it, when it goes out of scope.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& prefix) : path(MakeTempDir(prefix)) {}
    ~ScratchDir() { RemoveTree(path); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string File(const std::string& name) const { return path + "/" + name; }

    const std::string path;
};

}  // namespace kva_test
