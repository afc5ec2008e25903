#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>
#include <numeric>
#include <vector>

#include "lumarq/node_ids.h"

namespace lumarq {
namespace {

std::vector<int64_t> Seq(size_t n, int64_t first) {
  std::vector<int64_t> v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

std::vector<int64_t> Held(const NodeIds& ids) { return {ids.data(), ids.data() + ids.size()}; }

// Every pair of sizes across the inline bound (two ids), so each reassignment moves between the
// inline and the heap storage or stays within one.
class NodeIdsSizes : public ::testing::TestWithParam<std::tuple<size_t, size_t>> {};

TEST_P(NodeIdsSizes, ReassignmentKeepsExactlyTheNewIds) {
  const auto [first, second] = GetParam();
  NodeIds ids;
  const std::vector<int64_t> a = Seq(first, 100), b = Seq(second, -7);
  ids.Assign(a.data(), a.size());
  EXPECT_EQ(Held(ids), a);
  ids.Assign(b.data(), b.size());
  EXPECT_EQ(Held(ids), b);
  // From its own storage, as a node re-reading its inputs would.
  ids.Assign(ids.data(), ids.size());
  EXPECT_EQ(Held(ids), b);
  if (!b.empty()) {
    ids.Assign(ids.data() + 1, ids.size() - 1);
    EXPECT_EQ(Held(ids), std::vector<int64_t>(b.begin() + 1, b.end()));
  }
  ids.Release();
  EXPECT_EQ(ids.size(), 0u);
  ids.Release();  // twice is harmless
  EXPECT_EQ(ids.size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(AcrossTheInlineBound, NodeIdsSizes,
                         ::testing::Combine(::testing::Values(0, 1, 2, 3, 40),
                                            ::testing::Values(0, 1, 2, 3, 40)));

}  // namespace
}  // namespace lumarq
