#include "common/TestPaths.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern char** environ;

namespace kva_test {

std::string MakeTempDir(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "XXXXXX";
    if (!mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void RemoveTree(const std::string& path) {
    if (path.empty() || path.find("/tmp/") != 0) return;
    pid_t pid;
    const char* argv[] = {"rm", "-rf", path.c_str(), nullptr};
    if (posix_spawnp(&pid, "rm", nullptr, nullptr, const_cast<char**>(argv), environ) == 0) {
        int st;
        waitpid(pid, &st, 0);
    }
}

}  // namespace kva_test
