// The millisecond clocks.
#pragma once

#include <cstdint>

namespace kva_audioplayer {

// Wall-clock milliseconds: due times, played-time extrapolation, the position tick.
int64_t NowMs();
// Monotonic milliseconds, for intervals that must not jump with the wall clock.
int64_t MonotonicMs();

}  // namespace kva_audioplayer
