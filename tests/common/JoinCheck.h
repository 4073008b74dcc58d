// Checks of renders that join two tracks: where a track starts, and the shape of a cross-fade.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kva_test {

// Interleaved stereo float samples from raw 32-bit float bytes (a virtual endpoint's capture).
std::vector<float> FloatsFromBytes(const std::vector<uint8_t>& bytes);

// The first stereo frame that is not digital silence (the size in frames when there is none).
size_t FirstSoundFrame(const std::vector<float>& s);

// The stereo frame of `got` where `ref` begins, with only zeros before it (the device's
// pre-roll); searched within the first `maxOffset` frames, samples within `tolerance`. -1 when
// not found.
long LocateStart(const std::vector<float>& got, const std::vector<float>& ref, long maxOffset = 8820,
                 float tolerance = 0.0f);

struct CrossFadeLayout {
    long mixStart = -1;   // frame of the old track where the mix begins (its gain 0 for the new)
    long length = -1;     // frames from there until the output is the new track alone
    long newOffset = -1;  // output frame holding the new track's frame 0
    long mismatch = -1;   // first mix frame off the linear mix by more than the tolerance
    std::string error;    // set when the layout is not recognised
};

// `out` holds `oldRef` from frame `start`, then a cross-fade into `newRef`, which then plays
// alone. The mix begins where the output first departs from the old track and ends where it
// becomes the new track exactly. Mixed frame k must equal (k / length) * new + (1 - k / length)
// * old within `tolerance`, the new track silent before it begins and the old one after its end.
CrossFadeLayout AnalyseCrossFade(const std::vector<float>& out, long start, const std::vector<float>& oldRef,
                                 const std::vector<float>& newRef, float tolerance);

}  // namespace kva_test
