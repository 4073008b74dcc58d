// Counts every heap allocation made on the calling thread while counting is on: the C allocator
// family (malloc, calloc, realloc, the aligned forms FFmpeg uses) as well as operator new, which
// reaches malloc. Link AllocCounter.cpp into a benchmark to interpose the allocator.
#pragma once

namespace kva_bench {

void CountAllocations(bool on);
long AllocationsCounted();  // on this thread since the last reset
void ResetAllocations();

}  // namespace kva_bench
