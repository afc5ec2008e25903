#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "lumarq/node_store.h"
#include "lumarq/row_value_batch.h"

namespace lumarq {
namespace {

constexpr uint8_t kSource = 1, kUnary = 3;

std::vector<int64_t> IdsOf(const std::vector<NodeView>& rows) {
  std::vector<int64_t> out;
  for (const NodeView& v : rows) out.push_back(v.id);
  return out;
}

// The first node of each word is kept in the order the ids are given; sources, erased, evicted
// and unknown ids are left out, and a repeated id counts as a repeated word.
TEST(FirstNodePerWord, KeepsFirstLiveNodeOfEachWord) {
  NodeStore s;
  const int64_t evicted = s.Append(kUnary, 0, 0, 5, {}, 0);
  const int64_t source = s.Append(kSource, kNodePinned, 0, 1, {}, 0);
  const int64_t a = s.Append(kUnary, 0, 0, 1, {}, 0);  // shares the source's word
  const int64_t b = s.Append(kUnary, 0, 0, 2, {}, 0);
  const int64_t b_again = s.Append(kUnary, 0, 0, 2, {}, 0);
  const int64_t erased = s.Append(kUnary, 0, 0, 3, {}, 0);
  const int64_t c = s.Append(kUnary, 0, 0, 5, {}, 0);
  ASSERT_TRUE(s.Erase(erased));
  ASSERT_EQ(s.EvictOldest(1).size(), 1u);
  const std::vector<int64_t> ids = {b_again, source, evicted, a, erased, b, 999, c, a};
  EXPECT_EQ(IdsOf(FirstNodePerWord(s.Snap(), ids, kSource)),
            (std::vector<int64_t>{b_again, a, c}));
  EXPECT_TRUE(FirstNodePerWord(s.Snap(), {}, kSource).empty());
}

// Without the source filter a source takes its word first.
TEST(FirstNodePerWord, SourceKindIsTheCallers) {
  NodeStore s;
  const int64_t source = s.Append(kSource, kNodePinned, 0, 1, {}, 0);
  const int64_t a = s.Append(kUnary, 0, 0, 1, {}, 0);
  const std::vector<int64_t> ids = {source, a};
  EXPECT_EQ(IdsOf(FirstNodePerWord(s.Snap(), ids, /*source_kind=*/0)),
            (std::vector<int64_t>{source}));
}

TEST(RowValueBatch, SizedBatchIsZeroed) {
  RowValueBatch b(3);
  EXPECT_EQ(b.size(), 3u);
  for (const auto* column : {&b.pipeline_id, &b.row_index, &b.fingerprint}) {
    EXPECT_EQ(*column, (std::vector<int64_t>(3, 0)));
  }
  EXPECT_EQ(b.operation, (std::vector<int32_t>(3, 0)));
  EXPECT_EQ(b.column, (std::vector<int32_t>(3, 0)));
  EXPECT_EQ(b.value, (std::vector<double>(3, 0.0)));
  EXPECT_EQ(b.value_null, (std::vector<uint8_t>(3, 0)));
}

// Words above INT32_MAX stay positive fingerprints; every row shares the run's codes.
TEST(RowValueBatch, UniformRowsOfOneRun) {
  const int64_t rows[] = {4, 0, 9};
  const uint32_t words[] = {7, 0xFFFFFFFFu, 0x80000000u};
  const double values[] = {1.5, -2.0, NAN};
  const RowValueBatch b = RowValueBatch::Uniform(42, 0, -1, rows, words, values);
  ASSERT_EQ(b.size(), 3u);
  EXPECT_EQ(b.pipeline_id, (std::vector<int64_t>{42, 42, 42}));
  EXPECT_EQ(b.row_index, (std::vector<int64_t>{4, 0, 9}));
  EXPECT_EQ(b.fingerprint, (std::vector<int64_t>{7, 4294967295, 2147483648}));
  EXPECT_EQ(b.operation, (std::vector<int32_t>{0, 0, 0}));
  EXPECT_EQ(b.column, (std::vector<int32_t>{-1, -1, -1}));
  EXPECT_EQ(b.value[0], 1.5);
  EXPECT_EQ(b.value[1], -2.0);
  EXPECT_TRUE(std::isnan(b.value[2]));
  EXPECT_EQ(b.value_null, (std::vector<uint8_t>{0, 0, 0}));

  const RowValueBatch empty = RowValueBatch::Uniform(1, 0, 1, {}, {}, {});
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_TRUE(empty.pipeline_id.empty());
}

// Codes move past the operations' texts; rows without a column name keep -1.
TEST(RowValueBatch, ShiftColumnCodesKeepsNone) {
  RowValueBatch b(4);
  b.column = {0, -1, 2, 1};
  b.ShiftColumnCodes(3);
  EXPECT_EQ(b.column, (std::vector<int32_t>{3, -1, 5, 4}));
  b.ShiftColumnCodes(0);
  EXPECT_EQ(b.column, (std::vector<int32_t>{3, -1, 5, 4}));
}

}  // namespace
}  // namespace lumarq
