// The one line a benchmark prints per figure for bench/run to collect:
//   row: NAME | VALUE | FLOOR | PEER | TARGET
// FLOOR is the limit measured in the same run (what the work costs with nothing around it), PEER
// another program doing the same work; either may be absent. TARGET is "OP LIMIT" on the value
// (a physical limit such as "== 0"), "OP LIMIT of floor" or "OP LIMIT of peer" on the ratio of
// the value to that figure, or "-" for a figure that is only reported.
#pragma once

#include <cmath>
#include <cstdio>

namespace kva_bench {

constexpr double kAbsent = NAN;

inline void Row(const char* name, double value, double floor, double peer, const char* target) {
    auto field = [](double v) {
        static char buf[4][32];
        static int k = 0;
        char* b = buf[k++ % 4];
        if (std::isnan(v)) std::snprintf(b, 32, "-");
        else std::snprintf(b, 32, "%.4g", v);
        return b;
    };
    std::printf("row: %s | %s | %s | %s | %s\n", name, field(value), field(floor), field(peer),
                target);
    std::fflush(stdout);
}

}  // namespace kva_bench
