// Reference decodes made by the ffmpeg command line, for sample-exact comparisons.
#pragma once

#include <string>
#include <vector>

namespace kva_test {

// Decodes `path` with `ffmpeg -i path -f f32le -ar 44100 -ac 2` into interleaved stereo floats;
// `extraInputArgs` go before `-i` (e.g. "-ss 1.5"). False, with `out` empty, when ffmpeg fails.
bool ReferenceDecodeF32Stereo(const std::string& path, std::vector<float>* out,
                              const std::string& extraInputArgs = std::string());
// The same, made once per path for the life of the process.
const std::vector<float>& CachedReferenceF32Stereo(const std::string& path);

// The first of `frames` stereo frames (a from aFrame, b from bFrame) whose samples differ by more
// than `tolerance`, or -1 when all match. Frames past either end count as a mismatch.
long FirstMismatch(const std::vector<float>& a, size_t aFrame, const std::vector<float>& b,
                   size_t bFrame, size_t frames, float tolerance = 0.0f);
// The frame offset in `ref`, within [from, to), where the first `frames` frames of `probe`
// match exactly; -1 when none does.
long FindBlock(const std::vector<float>& ref, const std::vector<float>& probe, size_t frames,
               long from, long to);

}  // namespace kva_test
