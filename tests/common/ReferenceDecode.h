// Reference decodes made by the ffmpeg command line, for sample-exact comparisons.
#pragma once

#include <string>
#include <vector>

namespace kva_test {

// Decodes `path` with `ffmpeg -i path -f f32le -ar 44100 -ac 2` and returns the interleaved
// stereo float samples (L R L R ...). `extraInputArgs` go before `-i` (e.g. "-ss 1.5").
// Returns false when ffmpeg fails to run or reports an error; `out` is then empty.
bool ReferenceDecodeF32Stereo(const std::string& path, std::vector<float>* out,
                              const std::string& extraInputArgs = std::string());

// Same, cached per path for the life of the process (tests compare several cases to one file).
const std::vector<float>& CachedReferenceF32Stereo(const std::string& path);

// Interleaved stereo float comparison helpers. Both return the index of the first stereo frame
// whose samples differ by more than `tolerance` (exact compare with 0), or -1 when the first
// `frames` frames match. Ranges past either vector's end count as mismatch.
long FirstMismatch(const std::vector<float>& a, size_t aFrame, const std::vector<float>& b,
                   size_t bFrame, size_t frames, float tolerance = 0.0f);

// Looks for the stereo frame offset in `ref` (within [from, to)) where `probe` (its first
// `frames` frames) matches exactly; -1 when none does.
long FindBlock(const std::vector<float>& ref, const std::vector<float>& probe, size_t frames,
               long from, long to);

}  // namespace kva_test
