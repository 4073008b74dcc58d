// Where the generated media fixtures and the build live, scratch directories and whole files.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace kva_test {

inline std::string FixturePath(const std::string& name) { return std::string(KVA_FIXTURE_DIR) + "/" + name; }
inline std::string BinaryPath(const std::string& name) { return std::string(KVA_BINARY_DIR) + "/" + name; }

// A fresh scratch directory under /tmp/.
inline std::string MakeTempDir(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "XXXXXX";
    if (!mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

inline void RemoveTree(const std::string& path) {  // only under /tmp/
    std::error_code ignored;
    if (path.find("/tmp/") == 0) std::filesystem::remove_all(path, ignored);
}

inline std::string ReadFile(const std::string& path) {  // empty when it cannot be read
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
    const std::string s = ReadFile(path);
    return std::vector<uint8_t>(s.begin(), s.end());
}

// Interleaved float samples from raw 32-bit float bytes (a capture or a recording).
inline std::vector<float> FloatsFromBytes(const std::vector<uint8_t>& bytes) {
    std::vector<float> out(bytes.size() / sizeof(float));
    if (!out.empty()) memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
    return out;
}

inline bool WriteFile(const std::string& path, const std::string& bytes) {  // true on success
    std::ofstream f(path, std::ios::binary);
    return static_cast<bool>(f.write(bytes.data(), std::streamsize(bytes.size())));
}

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
