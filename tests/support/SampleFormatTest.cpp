// The packed format each planar one converts to; packed formats stay as they are.
#include <gtest/gtest.h>

#include "support/SampleFormat.h"

using namespace kva_audioplayer;

TEST(SampleFormat, PlanarFormatsMapToTheirPackedOnes) {
    const std::pair<int32_t, int32_t> pairs[] = {
        {kSampleFormatU8P, kSampleFormatU8}, {kSampleFormatS16P, kSampleFormatS16}, {kSampleFormatS32P, kSampleFormatS32},
        {kSampleFormatFltP, kSampleFormatFlt}, {kSampleFormatDblP, kSampleFormatDbl}, {kSampleFormatS16, kSampleFormatS16},
        {kSampleFormatDbl, kSampleFormatDbl}, {kSampleFormatS64, kSampleFormatS64}};
    for (const auto& p : pairs) EXPECT_EQ(p.second, PackedSampleFormat(p.first)) << p.first;
}
