// Child processes and waiting on conditions, for tests.
#pragma once

#include <functional>
#include <string>

namespace kva_test {

// Runs `command` through the shell and returns its standard output without trailing line
// breaks; *status gets the exit code (-1 when it did not exit normally).
std::string RunCommand(const std::string& command, int* status = nullptr);

// Polls pred until it holds or timeoutMs passed; the answer is pred's last value.
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 5000);

}  // namespace kva_test
