// The gated sources of MemorySourceIO, under the name the player tests use.
#pragma once

#include "common/MemorySourceIO.h"

namespace kva_test {
using GatedSourceIO = MemorySourceIO;
}  // namespace kva_test
