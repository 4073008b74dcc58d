// Child processes and waiting on conditions, for tests.
#pragma once

#include <functional>
#include <string>

namespace kva_test {

// Runs `command` through the shell; its standard output without trailing line breaks. *status
// gets the exit code (-1 when it did not exit normally).
std::string RunCommand(const std::string& command, int* status = nullptr);
// Polls pred until it holds or timeoutMs passed; the answer is pred's last value.
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 5000);
// Writes a 44.1 kHz stereo 16-bit WAV of a sine with the ffmpeg command line; true on success.
bool MakeSineWav(const std::string& path, int seconds, int frequency);

}  // namespace kva_test
