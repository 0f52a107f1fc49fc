// The seen and missed counters of a remote slot are 32-bit numbers kept in
// the device database; a slot loaded with a count at the top of the range
// wraps round instead of overflowing.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "network/auto_scan.h"
#include "network/model.h"
#include "support/core_bench.h"

namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
const uint8_t kRemote[6] = {0x00, 0x50, 0xC2, 0, 0, 0x11};

TEST(SlotCounters, SeenAndMissedCountsWrapAtTheTopOfTheirRange) {
    CoreBench bench;
    recordRemote(kRemote);
    RemoteDevice* slot = findRemote(kRemote);
    ASSERT_NE(nullptr, slot);
    slot->seenCount = kMax;
    slot->missTotal = kMax - 1;
    recordRemote(kRemote);
    EXPECT_EQ(kMin, +slot->seenCount);

    dropAfterMisses = 3;
    slot->missesTillDrop = 1;
    ageRemotes();
    EXPECT_EQ(0, +slot->active);
    EXPECT_EQ(kMin + 1, +slot->missTotal);
}

} // namespace
