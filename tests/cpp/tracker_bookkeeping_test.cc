#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>
#include <vector>

#include "lumarq/node_store.h"
#include "lumarq/tracker_bookkeeping.h"

namespace lumarq {
namespace {

// The clock is read at the first node and then once per 1024 nodes, the value held in between.
TEST(OpClock, ReadsTheTimeOncePer1024Nodes) {
  OpClock clock;
  int64_t reads = 0;
  std::vector<int64_t> stamps;
  for (int i = 0; i < 2049; ++i) stamps.push_back(clock.Tick([&] { return ++reads * 100; }));
  EXPECT_EQ(reads, 3);
  EXPECT_EQ(stamps[0], 100);
  EXPECT_EQ(stamps[1023], 100);
  EXPECT_EQ(stamps[1024], 200);
  EXPECT_EQ(stamps[2047], 200);
  EXPECT_EQ(stamps[2048], 300);
  EXPECT_EQ(clock.now(), 300);
}

TEST(OpClock, SystemTimeIsSinceTheEpoch) {
  OpClock clock;
  EXPECT_GT(clock.Tick(), int64_t{1'600'000'000} * 1'000'000'000);  // after September 2020
}

// A claimed id is the id the next append gets; ids below the ones handed out are refused and
// leave the store as it was. Skipped ids become erased rows, so ids and rows stay contiguous.
TEST(ClaimRowId, NextAppendGetsTheClaimedId) {
  NodeStore s;
  ASSERT_TRUE(ClaimRowId(s, 5));
  EXPECT_EQ(s.Append(1, 0, 0, 7, {}, 0), 5);
  EXPECT_FALSE(ClaimRowId(s, 5));
  EXPECT_FALSE(ClaimRowId(s, 0));
  EXPECT_EQ(s.next_id(), 6);
  ASSERT_TRUE(ClaimRowId(s, 6));  // the id already next
  ASSERT_TRUE(ClaimRowId(s, 9));
  EXPECT_EQ(s.Append(1, 0, 0, 8, {}, 0), 9);
  NodeView v;
  auto snap = s.Snap();
  ASSERT_TRUE(snap.Find(9, &v));
  EXPECT_EQ(v.word, 8u);
  EXPECT_FALSE(snap.Find(7, &v));  // drawn but never stored
}

// (records, columns, limit) -> (records dropped, columns dropped)
class CutOldestRowsCases
    : public ::testing::TestWithParam<std::tuple<size_t, size_t, size_t, size_t, size_t>> {};

TEST_P(CutOldestRowsCases, DropsRecordsBeforeColumns) {
  const auto [records, columns, limit, from_records, from_columns] = GetParam();
  const RowCut cut = CutOldestRows(records, columns, limit);
  EXPECT_EQ(cut.records, from_records);
  EXPECT_EQ(cut.columns, from_columns);
  EXPECT_EQ(cut.any(), from_records + from_columns != 0);
  EXPECT_EQ(records + columns - cut.records - cut.columns,
            records + columns < limit ? records + columns : limit);
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, CutOldestRowsCases,
    ::testing::Values(std::make_tuple(3, 4, 7, 0, 0),    // at the bound: nothing goes
                      std::make_tuple(0, 0, 0, 0, 0),    // empty
                      std::make_tuple(5, 4, 7, 2, 0),    // records alone cover the excess
                      std::make_tuple(2, 9, 7, 2, 2),    // all records, then columns
                      std::make_tuple(0, 9, 7, 0, 2),    // columns only
                      std::make_tuple(6, 3, 0, 6, 3)));  // a bound of zero empties both

struct PlanCase {
  size_t held, batch, rows;
  bool ok;
  size_t head, batches, tail;
};

class PlanRowBatchesCases : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanRowBatchesCases, SplitsRowsAsRecordingThemOneByOneWould) {
  const PlanCase c = GetParam();
  const RowBatchPlan p = PlanRowBatches(c.held, c.batch, c.rows);
  EXPECT_EQ(p.ok, c.ok);
  if (!c.ok) return;
  EXPECT_EQ(p.head, c.head);
  EXPECT_EQ(p.batches, c.batches);
  EXPECT_EQ(p.tail, c.tail);
  EXPECT_EQ(p.head + p.batches * c.batch + p.tail, c.rows);
  EXPECT_LT(p.tail, c.batch);
  // Row by row, the buffer is handed over when it reaches a batch: the head completes one.
  EXPECT_GE(c.held + p.head, c.batch);
}

INSTANTIATE_TEST_SUITE_P(
    Buffers, PlanRowBatchesCases,
    ::testing::Values(PlanCase{0, 10, 25, true, 10, 1, 5},   // empty: a batch of records first
                      PlanCase{4, 10, 26, true, 6, 2, 0},    // topped up, then whole batches
                      PlanCase{10, 10, 11, true, 1, 1, 0},   // full buffer: one row goes with it
                      PlanCase{15, 10, 11, true, 1, 1, 0},   // over-full (threshold lowered)
                      PlanCase{4, 10, 15, false, 0, 0, 0},   // no whole batch after the head
                      PlanCase{0, 10, 0, false, 0, 0, 0},    // no rows
                      PlanCase{0, 0, 50, false, 0, 0, 0}));  // no batch size

// Each run is announced once, before its first row, and only rows still held are visited: a
// run whose rows were all dropped is not announced, one partly dropped still is.
TEST(ForEachRowByRun, AnnouncesEachRunBeforeItsRows) {
  RowValueColumns columns;
  const int64_t rows_a[] = {0, 1, 2}, rows_b[] = {5}, rows_c[] = {7, 8};
  const uint32_t words_a[] = {10, 11, 12}, words_b[] = {15}, words_c[] = {17, 18};
  const double values_a[] = {0.5, 1.5, 2.5}, values_b[] = {5.5}, values_c[] = {7.5, 8.5};
  columns.Append({1, 0, 0}, rows_a, words_a, values_a);
  columns.Append({2, 3, 0}, rows_b, words_b, values_b);
  // The same fields as the first run, appended separately: still a run of its own.
  columns.Append({1, 0, 0}, rows_c, words_c, values_c);
  // ('r', op, column) for a run, ('w', row, 0) for a row
  using Event = std::tuple<char, int64_t, int64_t>;
  std::vector<Event> seen;
  auto on_run = [&](const RowValueColumns::Run& run) {
    seen.emplace_back('r', run.op, run.column);
  };
  auto on_row = [&](int64_t row, uint32_t word, double value) {
    EXPECT_EQ(word, static_cast<uint32_t>(row) + 10);
    EXPECT_EQ(value, static_cast<double>(row) + 0.5);
    seen.emplace_back('w', row, 0);
  };
  ForEachRowByRun(columns, on_run, on_row);
  EXPECT_EQ(seen, (std::vector<Event>{{'r', 1, 0}, {'w', 0, 0}, {'w', 1, 0}, {'w', 2, 0},
                                      {'r', 2, 3}, {'w', 5, 0},
                                      {'r', 1, 0}, {'w', 7, 0}, {'w', 8, 0}}));

  columns.DropOldest(4);  // the first run and the second's only row
  seen.clear();
  ForEachRowByRun(columns, on_run, on_row);
  EXPECT_EQ(seen, (std::vector<Event>{{'r', 1, 0}, {'w', 7, 0}, {'w', 8, 0}}));
  columns.DropOldest(1);
  seen.clear();
  ForEachRowByRun(columns, on_run, on_row);
  EXPECT_EQ(seen, (std::vector<Event>{{'r', 1, 0}, {'w', 8, 0}}));
}

}  // namespace
}  // namespace lumarq
