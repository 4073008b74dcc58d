#include "common/TestPaths.h"

#include <cstdlib>
#include <stdexcept>

namespace kva_test {

std::string MakeTempDir(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "XXXXXX";
    if (!mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

}  // namespace kva_test
