#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>
#include <vector>

#include "lumarq/node_store.h"
#include "lumarq/store_walk.h"

namespace lumarq {
namespace {

std::vector<int64_t> Ids(const StoreWalk& w) {
  std::vector<int64_t> out;
  for (const auto& r : w.rows) out.push_back(r.id);
  return out;
}

// (parent id, child id, position) of every edge, read through the walk positions.
std::vector<std::tuple<int64_t, int64_t, uint32_t>> Edges(const StoreWalk& w) {
  std::vector<std::tuple<int64_t, int64_t, uint32_t>> out;
  for (const auto& r : w.rows) {
    for (uint32_t i = 0; i < r.inputs; ++i) {
      out.emplace_back(w.rows[w.input_at[r.first_input + i]].id, r.id, i);
    }
  }
  return out;
}

auto NoHeld = [](const NodeView&, uint32_t, std::vector<int64_t>*) { return false; };

// A diamond over a source with a repeated input: breadth first, each node once, every edge kept
// (the repeated one too); only the root's ancestors are walked.
TEST(StoreWalk, DiamondInDiscoveryOrder) {
  NodeStore s;
  const uint32_t mul = s.strings().Intern("mul");
  const int64_t a = s.Append(1, kNodePinned, 0, 10, {}, 0);
  const int64_t unrelated = s.Append(1, kNodePinned, 0, 11, {}, 0);
  const int64_t in_b[] = {a, a}, in_c[] = {a};
  const int64_t b = s.Append(4, 0, mul, 20, in_b, 0);
  const int64_t c = s.Append(3, kNodeProtected, mul, 30, in_c, 0);
  const int64_t in_d[] = {c, b};
  const int64_t d = s.Append(4, 0, mul, 40, in_d, 0);
  (void)unrelated;
  StoreWalk w;
  ASSERT_TRUE(WalkStore(s.Snap(), d, NoHeld, &w));
  EXPECT_EQ(Ids(w), (std::vector<int64_t>{d, c, b, a}));
  EXPECT_EQ(Edges(w), (std::vector<std::tuple<int64_t, int64_t, uint32_t>>{
                          {c, d, 0}, {b, d, 1}, {a, c, 0}, {a, b, 0}, {a, b, 1}}));
  EXPECT_EQ(w.rows[1].flags & kNodeProtected, kNodeProtected);
  EXPECT_EQ(w.rows[1].op, mul);
  EXPECT_EQ(w.rows[1].word, 30u);
  EXPECT_TRUE(w.rows[3].found);
}

// Evicted inputs are visited without fields and keep their edges; a held node is followed
// through the inputs its object gives; a refusal ends the walk.
TEST(StoreWalk, EvictedAndHeldNodes) {
  NodeStore s;
  const int64_t a = s.Append(1, kNodePinned, 0, 1, {}, 0);
  const int64_t in1[] = {a};
  const int64_t b = s.Append(3, 0, 0, 2, in1, 0);
  const int64_t in2[] = {b};
  const int64_t c = s.Append(3, 0, 0, 3, in2, 0);
  const int64_t d = s.Append(3, 0, 0, 4, in2, 0);  // b -> d
  s.EvictOldest(1);                                  // b
  s.SetExtra(d, 0);
  StoreWalk plain;
  ASSERT_TRUE(WalkStore(s.Snap(), c, NoHeld, &plain));
  ASSERT_EQ(Ids(plain), (std::vector<int64_t>{c, b}));
  EXPECT_FALSE(plain.rows[1].found);
  EXPECT_EQ(Edges(plain), (std::vector<std::tuple<int64_t, int64_t, uint32_t>>{{b, c, 0}}));

  std::vector<uint32_t> held_at;
  auto held = [&](const NodeView& v, uint32_t at, std::vector<int64_t>* ids) {
    EXPECT_EQ(v.id, d);
    held_at.push_back(at);
    *ids = {a, c};
    return true;
  };
  StoreWalk w;
  ASSERT_TRUE(WalkStore(s.Snap(), d, held, &w));
  EXPECT_EQ(Ids(w), (std::vector<int64_t>{d, a, c, b}));
  EXPECT_EQ(held_at, (std::vector<uint32_t>{0}));
  StoreWalk refused;
  EXPECT_FALSE(WalkStore(s.Snap(), d, NoHeld, &refused));
}

}  // namespace
}  // namespace lumarq
