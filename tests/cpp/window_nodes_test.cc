#include "lumarq/window_nodes.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>


namespace lumarq {
namespace {

// The row nodes each part and each window of a plan reaches, following references.
std::pair<std::vector<std::set<int64_t>>, std::vector<std::set<int64_t>>> Reach(const WindowNodePlan& p) {
  auto walk = [](const std::vector<int64_t>& offsets, const std::vector<int64_t>& inputs,
                 const std::vector<std::set<int64_t>>* parts) {
    std::vector<std::set<int64_t>> reach(offsets.size() - 1);
    const auto groups = static_cast<int64_t>(reach.size());
    for (int64_t g = 0; g < groups; ++g) {
      for (int64_t k = offsets[g]; k < offsets[g + 1]; ++k) {
        const int64_t v = inputs[static_cast<size_t>(k)];
        const std::set<int64_t>* r = nullptr;
        if (v >= 0) {
          reach[g].insert(v);
        } else if (parts != nullptr && v < -1 - groups) {
          r = &(*parts)[static_cast<size_t>(-2 - groups - v)];
        } else {
          EXPECT_LT(-2 - v, g) << "a reference to a later group";
          r = &reach[static_cast<size_t>(-2 - v)];
        }
        if (r != nullptr) reach[g].insert(r->begin(), r->end());
      }
    }
    return reach;
  };
  auto parts = walk(p.part_offsets, p.part_inputs, nullptr);
  auto windows = walk(p.offsets, p.inputs, &parts);
  return {parts, windows};
}

struct Case {
  const char* name;
  int columns;
  int nodes;  // 0: a node per cell, 1: one shared node after a gap, 2: random with -1
  int windows;  // 0: trailing 37, 1: expanding, 2: random, 3: expanding per group
};

class WindowPlan : public testing::TestWithParam<Case> {};

TEST_P(WindowPlan, EachWindowReachesExactlyItsRowsAtBoundedFanIn) {
  const Case c = GetParam();
  std::mt19937_64 rng(7);
  const int64_t n = 1000;
  std::vector<int64_t> nodes(static_cast<size_t>(n * c.columns));
  for (size_t i = 0; i < nodes.size(); ++i) {
    nodes[i] = c.nodes == 0 ? static_cast<int64_t>(i)
             : c.nodes == 1 ? (i < 5 ? -1 : 3)
                            : static_cast<int64_t>(rng() % 300) - 1;
  }
  std::vector<int64_t> s(n), e(n);
  for (int64_t i = 0; i < n; ++i) {
    e[i] = i + 1;
    s[i] = c.windows == 0 ? std::max<int64_t>(0, i - 36) : c.windows == 1 ? 0 : c.windows == 3 ? i / 300 * 300 : 0;
    if (c.windows == 2) {
      const auto a = static_cast<int64_t>(rng() % (n + 1)), b = static_cast<int64_t>(rng() % (n + 1));
      s[i] = std::min(a, b);
      e[i] = std::max(a, b);
    }
  }
  const WindowNodePlan p = PlanWindowNodes(nodes, static_cast<size_t>(c.columns), s, e);
  const size_t parts = p.part_starts.size();
  ASSERT_EQ(p.part_offsets.size(), parts + 1);
  ASSERT_EQ(p.offsets.size(), static_cast<size_t>(n) + 1);
  const auto [part_reach, reach] = Reach(p);
  auto rows = [&](int64_t lo, int64_t hi) {
    std::set<int64_t> want;
    for (int64_t i = lo * c.columns; i < hi * c.columns; ++i) {
      if (nodes[static_cast<size_t>(i)] >= 0) want.insert(nodes[static_cast<size_t>(i)]);
    }
    return want;
  };
  for (size_t q = 0; q < parts; ++q) EXPECT_EQ(part_reach[q], rows(p.part_starts[q], p.part_ends[q])) << q;
  int64_t most = 0;
  for (int64_t i = 0; i < n; ++i) {
    EXPECT_EQ(reach[static_cast<size_t>(i)], rows(s[i], std::max(s[i], e[i]))) << "window " << i;
    most = std::max(most, p.offsets[i + 1] - p.offsets[i]);
  }
  // Ragged ends plus two parts per level, whatever the window's length.
  EXPECT_LE(most, 2 * (kPartRows - 1) * c.columns + 2 * 10 + 1);
  if (c.windows == 1) {
    EXPECT_EQ(parts, 0u) << "an expanding window chains instead";
  }
  if (c.nodes == 1) {
    EXPECT_EQ(parts, 0u) << "a shared node is one run, taken directly";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, WindowPlan,
    testing::Values(Case{"trailing", 1, 0, 0}, Case{"trailing_keys", 2, 0, 0}, Case{"expanding", 1, 0, 1},
                    Case{"random", 1, 2, 2}, Case{"random_keys", 2, 0, 2}, Case{"groups", 2, 2, 3},
                    Case{"shared", 1, 1, 2}),
    [](const testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

TEST(WindowPlan, RejectsBoundsOutsideTheRows) {
  const std::vector<int64_t> nodes{1, 2, 3}, s{0}, past{4}, ragged{0, 1};
  EXPECT_THROW(PlanWindowNodes(nodes, 1, s, past), std::out_of_range);
  EXPECT_THROW(PlanWindowNodes(nodes, 1, s, ragged), std::invalid_argument);
  EXPECT_THROW(PlanWindowNodes(nodes, 2, s, s), std::invalid_argument);
}

}  // namespace
}  // namespace lumarq
