#include "lumarq/row_value_columns.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <tuple>
#include <vector>

namespace lumarq {
namespace {

using Row = std::tuple<uint32_t, uint32_t, uint32_t, int64_t, uint32_t, double>;

std::vector<Row> Rows(const RowValueColumns& c) {
  std::vector<Row> out;
  c.ForEach([&](const RowValueColumns::Run& r, int64_t row, uint32_t word, double value) {
    out.emplace_back(r.op, r.column, r.context, row, word, value);
  });
  return out;
}

// Appends of runs that merge or not, and drops that end inside a run, on a run boundary, past
// the compaction threshold and past everything: the rows read back are those of a deque that
// saw the same appends and drops.
TEST(RowValueColumns, KeepsTheNewestRowsOfEveryRunInOrder) {
  std::mt19937 rng(7);
  auto bit = [&] { return static_cast<uint32_t>(rng() % 2); };
  RowValueColumns c;
  std::deque<Row> ref;
  int64_t next = 0;
  for (int step = 0; step < 400; ++step) {
    const size_t n = rng() % 3000;
    RowValueColumns::Run run{bit(), bit(), bit()};
    std::vector<int64_t> rows(n);
    std::vector<uint32_t> words(n);
    std::vector<double> values(n);
    for (size_t i = 0; i < n; ++i) {
      rows[i] = next++;
      words[i] = static_cast<uint32_t>(rng());
      values[i] = static_cast<double>(rows[i]) / 3;
      ref.emplace_back(run.op, run.column, run.context, rows[i], words[i], values[i]);
    }
    c.Append(run, rows, words, values);
    const size_t drop = step % 50 == 49 ? ref.size() + 5 : rng() % 2500;
    c.DropOldest(drop);
    for (size_t i = 0; i < drop && !ref.empty(); ++i) ref.pop_front();
    ASSERT_EQ(c.size(), ref.size());
    if (step % 20 == 0) {
      ASSERT_EQ(Rows(c), std::vector<Row>(ref.begin(), ref.end()));
    }
  }
  EXPECT_EQ(Rows(c), std::vector<Row>(ref.begin(), ref.end()));
  std::vector<int64_t> two = {1, 2};
  std::vector<uint32_t> one_word = {1};
  std::vector<double> two_values = {1, 2};
  EXPECT_THROW(c.Append({}, two, one_word, two_values), std::invalid_argument);
}

}  // namespace
}  // namespace lumarq
