// Checks of renders that join two tracks: where a track starts, and the shape of a cross-fade.
#pragma once

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "common/ReferenceDecode.h"
#include "common/TestPaths.h"

namespace kva_test {

struct CrossFadeLayout {
    long mixStart = -1;   // frame of the old track where the mix begins (its gain 0 for the new)
    long length = -1;     // frames from there until the output is the new track alone
    long newOffset = -1;  // output frame holding the new track's frame 0
    long mismatch = -1;   // first mix frame off the linear mix by more than the tolerance
    std::string error;    // set when the layout is not recognised
};

// The stereo frame of `got` where `ref` begins, with only zeros before it (the device's
// pre-roll); searched within the first `maxOffset` frames, samples within `tolerance`. -1 when
// not found.
inline long LocateStart(const std::vector<float>& got, const std::vector<float>& ref, long maxOffset = 8820,
                        float tolerance = 0.0f) {
    size_t first = 0;  // leading silence in the reference matches anything
    while (2 * first + 1 < ref.size() && ref[2 * first] == 0.0f && ref[2 * first + 1] == 0.0f) ++first;
    for (long offset = 0; offset <= maxOffset; ++offset) {
        if (FirstMismatch(got, offset + first, ref, first, 256, tolerance) != -1) continue;
        return std::all_of(got.begin(), got.begin() + 2 * offset, [](float v) { return v == 0.0f; }) ? offset : -1;
    }
    return -1;
}

// `out` holds `oldRef` from frame `start`, then a cross-fade into `newRef`, which then plays
// alone. The mix begins where the output first departs from the old track and ends where it
// becomes the new track exactly. Mixed frame k must equal (k / length) * new + (1 - k / length)
// * old within `tolerance`, the new track silent before it begins and the old one after its end.
inline CrossFadeLayout AnalyseCrossFade(const std::vector<float>& out, long start, const std::vector<float>& oldRef,
                                 const std::vector<float>& newRef, float tolerance) {
    CrossFadeLayout r;
    auto fail = [&r](const char* why) { return r.error = why, r; };
    const long outFrames = long(out.size() / 2), oldFrames = long(oldRef.size() / 2);
    const long newFrames = long(newRef.size() / 2);
    auto same = [&](long o, const std::vector<float>& ref, long f) {
        return out[2 * o] == ref[2 * f] && out[2 * o + 1] == ref[2 * f + 1];
    };
    long i = 0;
    while (i < oldFrames && start + i < outFrames && same(start + i, oldRef, i)) ++i;
    if (i == 0 || i >= oldFrames) return fail("the output never departs from the old track");
    r.mixStart = i - 1;  // the mix's first frame is the old track alone
    const long mixAt = start + r.mixStart;

    // The new track alone, found well after the longest fade.
    const long probeFrames = 256;
    const long probeAt = std::min(outFrames, mixAt + 26460 + 2 * 4410) - probeFrames;
    if (probeAt <= mixAt) return fail("the output ends inside the fade");
    std::vector<float> probe(out.begin() + 2 * probeAt, out.begin() + 2 * (probeAt + probeFrames));
    const long found = FindBlock(newRef, probe, probeFrames, 0, newFrames - probeFrames + 1);
    if (found < 0) return fail("the new track does not play alone after the fade");
    r.newOffset = probeAt - found;
    long end = mixAt;
    for (long j = std::min(outFrames, r.newOffset + newFrames) - 1; j > mixAt && end == mixAt; --j)
        if (j < r.newOffset || !same(j, newRef, j - r.newOffset)) end = j + 1;
    r.length = end - mixAt;
    if (r.length <= 0) return fail("no mixed frames");
    for (long k = 0; k < r.length && r.mismatch < 0; ++k) {
        const double g = std::min(1.0, double(k) / r.length);
        const long o = r.mixStart + k, n = mixAt + k - r.newOffset;
        for (int c = 0; c < 2; ++c) {
            const double oldV = o < oldFrames ? oldRef[2 * o + c] : 0.0;
            const double newV = n >= 0 && n < newFrames ? newRef[2 * n + c] : 0.0;
            if (std::fabs(out[2 * (mixAt + k) + c] - (g * newV + (1.0 - g) * oldV)) > tolerance) r.mismatch = k;
        }
    }
    return r;
}

}  // namespace kva_test
