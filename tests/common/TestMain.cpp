// Test entry: library log output is off unless KVA_TEST_LOG names a minimum level.
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/Log.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const char* level = std::getenv("KVA_TEST_LOG");
    if (level) {
        kva_audioplayer::SetLogMinLevel(std::atoi(level));
        kva_audioplayer::SetLogDebugOutput(1);
    }
    return RUN_ALL_TESTS();
}
