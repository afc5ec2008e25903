#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lumarq/container_rows.h"

namespace lumarq {
namespace {

// Recorded(i) as the row readers answer it: 1, 0, or -1 (only the value can tell).
struct Rows {
  std::vector<int> recorded;
  mutable size_t asked = 0;
  int Recorded(size_t i) const {
    ++asked;
    return recorded.at(i);
  }
};

struct SurvivingCase {
  std::vector<int> recorded;
  size_t keep, later, first;
};

class FirstSurvivingRowTest : public ::testing::TestWithParam<SurvivingCase> {};

TEST_P(FirstSurvivingRowTest, FindsTheOldestKeptRow) {
  const SurvivingCase& c = GetParam();
  const Rows rows{c.recorded};
  EXPECT_EQ(FirstSurvivingRow(rows, c.recorded.size(), c.keep, c.later), c.first);
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, FirstSurvivingRowTest,
    ::testing::Values(
        // The newest two recorded rows are 2 and 3: rows before 2 are dropped.
        SurvivingCase{{1, 0, 1, 1, 0}, 2, 0, 2},
        // One of the two places goes to a later column's record.
        SurvivingCase{{1, 0, 1, 1, 0}, 2, 1, 3},
        // Later records fill the bound: none of these rows survives.
        SurvivingCase{{1, 1, 1}, 2, 2, 3}, SurvivingCase{{1, 1, 1}, 2, 5, 3},
        // Fewer recorded rows than places: all are kept.
        SurvivingCase{{0, 1, 0}, 4, 0, 0},
        // Exactly as many recorded rows as places: the first recorded row is the oldest kept.
        SurvivingCase{{0, 1, 1}, 2, 0, 1},
        // An undecided row among those that decide: keep everything.
        SurvivingCase{{1, 1, -1, 1}, 3, 0, 0},
        // An undecided row before the window is never asked about.
        SurvivingCase{{-1, 1, 1}, 2, 0, 1},
        // No rows.
        SurvivingCase{{}, 2, 0, 0}, SurvivingCase{{}, 2, 2, 0}));

TEST(FirstSurvivingRow, StopsOnceTheBoundIsMet) {
  const Rows rows{{1, 1, 1, 1, 1, 1}};
  EXPECT_EQ(FirstSurvivingRow(rows, 6, 2, 0), 4u);
  EXPECT_EQ(rows.asked, 2u);
}

struct AfterCase {
  std::vector<size_t> counts, later;
};

class RecordedAfterTest : public ::testing::TestWithParam<AfterCase> {};

TEST_P(RecordedAfterTest, SumsTheColumnsThatFollow) {
  const AfterCase& c = GetParam();
  EXPECT_EQ(RecordedAfter(c.counts), c.later);
}

INSTANTIATE_TEST_SUITE_P(Columns, RecordedAfterTest,
                         ::testing::Values(AfterCase{{}, {}}, AfterCase{{7}, {0}},
                                           AfterCase{{3, 0, 5, 2}, {7, 7, 2, 0}},
                                           AfterCase{{0, 0, 4}, {4, 4, 0}}));

TEST(EntityMask, ReducesModuloTheWidth) {
  EXPECT_EQ(EntityMask(0), 0u);
  EXPECT_EQ(EntityMask(1), 1u);
  EXPECT_EQ(EntityMask(8), 0xFFu);
  EXPECT_EQ(EntityMask(31), 0x7FFFFFFFu);
  // Hashes have 32 bits: wider moduli leave them as they are.
  EXPECT_EQ(EntityMask(32), 0xFFFFFFFFu);
  EXPECT_EQ(EntityMask(64), 0xFFFFFFFFu);
  EXPECT_EQ(EntityMask(1000), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace lumarq
