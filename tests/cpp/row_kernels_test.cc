#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "lumarq/codec.h"
#include "lumarq/row_kernels.h"

namespace lumarq {
namespace {

constexpr uint8_t kBinary = 4, kUnary = 3;

// Mode-00 words over pairs 1..3 with varying entity and chain; every 4th row tainted.
uint32_t Word(size_t i, uint32_t pair) {
  const uint32_t taint = i % 4 == 0 ? 1u << kTaintShift : 0u;
  return taint | (pair << 16) | ((static_cast<uint32_t>(i) * 37u & 255u) << 8) | (i & 255u);
}

struct KernelCase {
  size_t rows;
  size_t limit;  // the store's bound
  int gaps;      // 0: every row linked; k: every k-th row lacks a node on one side
};

class ElementwiseKernel : public ::testing::TestWithParam<KernelCase> {};

// The kernels must leave the store exactly as one Append and one bound check per node would.
TEST_P(ElementwiseKernel, MatchesNodeByNodeAppends) {
  const auto [n, limit, gaps] = GetParam();
  std::vector<uint32_t> wa(n), wb(n);
  std::vector<int64_t> na(n), nb(n);
  for (size_t i = 0; i < n; ++i) {
    wa[i] = Word(i, 1 + i % 2);
    wb[i] = Word(i * 7, 3);
    na[i] = gaps != 0 && i % static_cast<size_t>(gaps) == 0 ? -1 : static_cast<int64_t>(i);
    nb[i] = gaps != 0 && i % static_cast<size_t>(gaps + 1) == 1 ? -7 : static_cast<int64_t>(n - i);
  }

  Codec codec, ref_codec;
  NodeStore store, ref;
  // Ids continue above the operands' own.
  store.SetNextId(static_cast<int64_t>(n) + 1);
  ref.SetNextId(static_cast<int64_t>(n) + 1);
  int evictions = 0, ref_evictions = 0;
  NodeTarget target;
  target.store = &store;
  target.limit = limit;
  target.timestamp = 42;
  target.evict = [&] {
    ++evictions;
    store.EvictOldest(store.size() / 10);
  };
  auto ref_append = [&](uint8_t kind, uint32_t op, uint32_t w, std::vector<int64_t> in) {
    const int64_t id = ref.Append(kind, TaintOf(w) ? kNodeProtected : 0, op, w, in, 42);
    if (ref.size() > limit) {
      ++ref_evictions;
      ref.EvictOldest(ref.size() / 10);
    }
    return id;
  };

  // A binary operation, then a unary one over its result.
  std::vector<uint32_t> words(n), chained(n);
  std::vector<int64_t> ids(n), unary_ids(n);
  target.kind = kBinary;
  target.op = 5;
  const size_t made = ElementwiseRows(CombineWords{&codec, 2}, {RowOperand{wa.data(), na.data()},
                                                                RowOperand{wb.data(), nb.data()}},
                                      n, target, words.data(), ids.data());
  target.kind = kUnary;
  target.op = 6;
  ElementwiseRows(ChainWords{9}, {RowOperand{words.data(), ids.data()}}, n, target, chained.data(),
                  unary_ids.data());

  size_t ref_made = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t w = ref_codec.Combine(wa[i], wb[i], 2);
    ASSERT_EQ(words[i], w) << i;
    const bool linked = na[i] >= 0 && nb[i] >= 0;
    ASSERT_EQ(ids[i], linked ? ref_append(kBinary, 5, w, {na[i], nb[i]}) : -1) << i;
    ref_made += linked;
  }
  for (size_t i = 0; i < n; ++i) {
    const uint32_t w = Codec::UpdateChain(words[i], 9);
    ASSERT_EQ(chained[i], w) << i;
    ASSERT_EQ(unary_ids[i], ids[i] >= 0 ? ref_append(kUnary, 6, w, {ids[i]}) : -1) << i;
  }
  EXPECT_EQ(made, ref_made);
  EXPECT_EQ(evictions, ref_evictions);
  EXPECT_EQ(store.size(), ref.size());
  EXPECT_EQ(store.next_id(), ref.next_id());

  auto got = store.Snap().Slice(0, store.next_id());
  auto want = ref.Snap().Slice(0, ref.next_id());
  EXPECT_EQ(got.ids, want.ids);
  EXPECT_EQ(got.kinds, want.kinds);
  EXPECT_EQ(got.flags, want.flags);
  EXPECT_EQ(got.ops, want.ops);
  EXPECT_EQ(got.words, want.words);
  EXPECT_EQ(got.timestamps, want.timestamps);
  EXPECT_EQ(got.input_offsets, want.input_offsets);
  EXPECT_EQ(got.input_ids, want.input_ids);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ElementwiseKernel,
    ::testing::Values(KernelCase{1, SIZE_MAX, 0}, KernelCase{1000, SIZE_MAX, 3},
                      KernelCase{20000, 5000, 0}, KernelCase{20000, 0, 5},
                      // Runs across chunk boundaries, with eviction inside one block.
                      KernelCase{3 * NodeStore::kChunkRows + 17, 50000, 0},
                      KernelCase{3 * NodeStore::kChunkRows + 17, 40000, 2}));

TEST(ElementwiseKernel, FailuresLeaveTheStoreConsistent) {
  // An invalid word (pair data past 512) throws before any node is made.
  NodeStore store;
  Codec codec;
  NodeTarget target;
  target.store = &store;
  std::vector<uint32_t> wa{Word(0, 1), 1000u << 16}, wb{Word(1, 2), Word(2, 2)}, out(2);
  std::vector<int64_t> na{0, 1}, nb{2, 3}, ids(2, 99);
  EXPECT_THROW(ElementwiseRows(CombineWords{&codec, 1}, {RowOperand{wa.data(), na.data()},
                                                        RowOperand{wb.data(), nb.data()}},
                               2, target, out.data(), ids.data()),
               std::invalid_argument);
  EXPECT_EQ(store.size(), 0u);

  // An eviction that throws stops the run: rows before it keep their nodes, later rows none.
  const size_t n = 300;
  std::vector<uint32_t> w(n, Word(5, 1)), chained(n);
  std::vector<int64_t> in(n, 0), got(n);
  target.limit = 100;
  target.evict = [] { throw std::runtime_error("evict"); };
  EXPECT_THROW(
      ElementwiseRows(ChainWords{1}, {RowOperand{w.data(), in.data()}}, n, target, chained.data(),
                      got.data()),
      std::runtime_error);
  EXPECT_EQ(store.size(), 101u);
  for (size_t i = 0; i < n; ++i) EXPECT_EQ(got[i], i < 101 ? static_cast<int64_t>(i) : -1) << i;
  NodeView v;
  EXPECT_TRUE(store.Snap().Find(100, &v));
  EXPECT_EQ(v.inputs.size(), 1u);
  // The store takes appends again afterwards.
  EXPECT_EQ(store.Append(kUnary, 0, 1, 0, {}, 0), 101);
}

// A target of aggregation nodes (kind 6) into `store`, whose next id is `first`.
NodeTarget GroupTarget(NodeStore& store, int64_t first) {
  store.SetNextId(first);
  NodeTarget target;
  target.store = &store;
  target.kind = 6;
  return target;
}

TEST(GroupNodes, VariableInputsEmptyGroupsAndTheBound) {
  NodeStore store;
  NodeTarget target = GroupTarget(store, 10);
  target.op = 3;
  target.limit = 3;
  int evictions = 0;
  target.evict = [&] {
    ++evictions;
    store.EvictOldest(1);
  };
  // Groups of 2, 0, 3, 1 and 2 inputs; the third group's word is tainted.
  const std::vector<int64_t> offsets{0, 2, 2, 5, 6, 8}, inputs{1, 2, 3, 4, 5, 6, 7, 8};
  const std::vector<uint32_t> words{Word(1, 1), Word(2, 1), Word(4, 2), Word(5, 3), Word(6, 3)};
  std::vector<int64_t> ids(5, 99);
  AppendGroupNodes(target, 5, words.data(), offsets.data(), inputs.data(), ids.data());
  EXPECT_EQ(ids, (std::vector<int64_t>{10, -1, 11, 12, 13}));
  EXPECT_EQ(evictions, 1);  // the fourth node passed the bound of 3
  auto snap = store.Snap();
  NodeView v;
  EXPECT_FALSE(snap.Find(10, &v));
  ASSERT_TRUE(snap.Find(11, &v));
  EXPECT_EQ(std::vector<int64_t>(v.inputs.begin(), v.inputs.end()), (std::vector<int64_t>{3, 4, 5}));
  EXPECT_EQ(v.flags & kNodeProtected, kNodeProtected);
  EXPECT_EQ(v.kind, 6);
  ASSERT_TRUE(snap.Find(13, &v));
  EXPECT_EQ(std::vector<int64_t>(v.inputs.begin(), v.inputs.end()), (std::vector<int64_t>{7, 8}));
  EXPECT_EQ(v.flags & kNodeProtected, 0);
}

TEST(GroupNodes, ReferencesToEarlierGroupsResolveToTheirIds) {
  NodeStore store;
  NodeTarget target = GroupTarget(store, 20);
  // Group 1 has no node (its only input is -1), so a reference to it is dropped.
  const std::vector<int64_t> offsets{0, 2, 3, 6, 7}, inputs{5, 6, -1, -2, -3, 7, -4};
  const std::vector<uint32_t> words{1, 2, 3, 4};
  EXPECT_TRUE(GroupInputsValid(offsets.data(), 4, inputs.data()));
  std::vector<int64_t> ids(4, 99);
  AppendGroupNodes(target, 4, words.data(), offsets.data(), inputs.data(), ids.data());
  EXPECT_EQ(ids, (std::vector<int64_t>{20, -1, 21, 22}));
  NodeView v;
  auto snap = store.Snap();
  ASSERT_TRUE(snap.Find(21, &v));
  EXPECT_EQ(std::vector<int64_t>(v.inputs.begin(), v.inputs.end()), (std::vector<int64_t>{20, 7}));
  ASSERT_TRUE(snap.Find(22, &v));
  EXPECT_EQ(std::vector<int64_t>(v.inputs.begin(), v.inputs.end()), (std::vector<int64_t>{21}));
  const std::vector<int64_t> forward{-2}, self_offsets{0, 1};
  EXPECT_FALSE(GroupInputsValid(self_offsets.data(), 1, forward.data()));
}

TEST(SplitRowsByKept, SortsRowsByTheInputsTheyKeep) {
  // Two ids per row; -1 names no node. Rows 0..5 of which [1, 5) are split.
  const std::vector<int64_t> in{7, 8, 3, -1, -1, -1, -1, 4, 5, 6, 9, 9};
  const std::vector<uint32_t> words{10, 11, 12, 13, 14, 15};
  KeptRows one, two;
  two.rows = {99};  // rows are appended to what a bucket holds
  two.words = {99};
  two.inputs = {99, 99};
  SplitRowsByKept(in.data(), 2, words.data(), 1, 5, &one, &two);
  EXPECT_EQ(one.rows, (std::vector<size_t>{1, 3}));
  EXPECT_EQ(one.words, (std::vector<uint32_t>{11, 13}));
  EXPECT_EQ(one.inputs, (std::vector<int64_t>{3, 4}));  // the kept one, wherever it sits
  EXPECT_EQ(two.rows, (std::vector<size_t>{99, 4}));
  EXPECT_EQ(two.words, (std::vector<uint32_t>{99, 14}));
  EXPECT_EQ(two.inputs, (std::vector<int64_t>{99, 99, 5, 6}));

  // One id per row: every row with a node keeps it.
  const std::vector<int64_t> single{2, -3, 0};
  KeptRows a, b;
  SplitRowsByKept(single.data(), 1, words.data(), 0, 3, &a, &b);
  EXPECT_EQ(a.rows, (std::vector<size_t>{0, 2}));
  EXPECT_EQ(a.inputs, (std::vector<int64_t>{2, 0}));
  EXPECT_TRUE(b.rows.empty());
  a.clear();
  EXPECT_TRUE(a.rows.empty() && a.words.empty() && a.inputs.empty());
}

TEST(GroupOffsetsValid, AcceptsOnlySplitsOfTheInputs) {
  struct Case {
    std::vector<int64_t> offsets;
    int64_t inputs;
    bool valid;
  };
  const std::vector<Case> cases = {
      {{0}, 0, true},            // no groups
      {{5}, 0, true},            // no groups: the lone offset is not read
      {{0, 0, 0}, 0, true},      // empty groups
      {{0, 2, 2, 5}, 5, true},   // the last group ends at the last input
      {{0, 2, 2, 5}, 9, true},   // inputs past the last group are left alone
      {{1, 2}, 2, false},        // not from 0
      {{0, 3, 2}, 3, false},     // decreasing
      {{0, 2, 6}, 5, false},     // past the end
      {{0, -1}, 5, false},       // negative
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GroupOffsetsValid(c.offsets.data(), c.offsets.size() - 1, c.inputs), c.valid)
        << ::testing::PrintToString(c.offsets) << " over " << c.inputs;
  }
}

TEST(DistinctNodeIds, SortsAndDropsRepeatsAndMissingNodes) {
  const std::vector<std::pair<std::vector<int64_t>, std::vector<int64_t>>> cases = {
      {{}, {}},
      {{-1, -1}, {}},
      {{7, 7, 7}, {7}},
      {{3, 3, -1, 1, 3, 1, -5, 0}, {0, 1, 3}},  // a value seen again after another run
  };
  for (const auto& [ids, want] : cases) EXPECT_EQ(DistinctNodeIds(ids), want);
}

}  // namespace
}  // namespace lumarq
