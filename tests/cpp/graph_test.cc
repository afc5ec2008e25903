#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "lumarq/graph.h"

namespace lumarq {
namespace {

using Graph = std::map<int64_t, std::vector<int64_t>>;

auto InputsOf(const Graph& g) {
  return [&g](int64_t id, std::vector<int64_t>* out) {
    auto it = g.find(id);
    if (it == g.end()) return false;
    *out = it->second;
    return true;
  };
}

int64_t Depth(const Graph& g, int64_t root) { return LongestChainDepth(root, InputsOf(g)); }

struct Walk {
  std::vector<int64_t> order;
  std::vector<std::pair<int64_t, int64_t>> edges;  // (input, consumer)
};

Walk WalkFrom(const Graph& g, int64_t root) {
  Walk w;
  BreadthFirstWalk(root, [&](int64_t id, auto&& enqueue) {
    auto it = g.find(id);
    if (it == g.end()) return;
    w.order.push_back(id);
    for (int64_t in : it->second) {
      w.edges.emplace_back(in, id);
      enqueue(in);
    }
  });
  return w;
}

TEST(LongestChainDepth, SmallShapes) {
  const Graph g{{0, {}}, {1, {}}, {2, {0}}, {3, {2, 1}}};
  EXPECT_EQ(Depth(g, 0), 0);
  EXPECT_EQ(Depth(g, 2), 1);
  EXPECT_EQ(Depth(g, 3), 2);
}

TEST(LongestChainDepth, DiamondTakesTheLongerBranch) {
  // 4 = f(1, 3), 3 = g(2), 2 = h(0), 1 = k(0): the branch through 3 and 2 is longer.
  const Graph g{{0, {}}, {1, {0}}, {2, {0}}, {3, {2}}, {4, {1, 3}}};
  EXPECT_EQ(Depth(g, 4), 3);
}

TEST(LongestChainDepth, UnknownIdsAreLeaves) {
  const Graph g{{5, {99}}, {6, {5, 100}}};
  EXPECT_EQ(Depth(g, 42), 0);  // unknown root
  EXPECT_EQ(Depth(g, 5), 1);
  EXPECT_EQ(Depth(g, 6), 2);
  EXPECT_EQ(Depth(Graph{}, 0), 0);
}

TEST(LongestChainDepth, CyclesTerminateWithTheClosingInputAsLeaf) {
  EXPECT_EQ(Depth(Graph{{0, {0}}}, 0), 1);         // a node that names itself
  EXPECT_EQ(Depth(Graph{{0, {1}}, {1, {0}}}, 0), 2);  // 0 -> 1 -> (0 closes the cycle)
  // 3 -> 2 -> 1 -> 2 (closes) and 1 -> 0
  EXPECT_EQ(Depth(Graph{{0, {}}, {1, {2, 0}}, {2, {1}}, {3, {2}}}, 3), 3);
}

TEST(LongestChainDepth, MillionNodeChainNeedsNoRecursion) {
  constexpr int64_t kN = 1'000'000;
  int64_t calls = 0;
  const int64_t depth = LongestChainDepth(kN - 1, [&](int64_t id, std::vector<int64_t>* out) {
    ++calls;
    out->clear();
    if (id > 0) out->push_back(id - 1);
    return true;
  });
  EXPECT_EQ(depth, kN - 1);
  EXPECT_EQ(calls, kN);  // each node expanded once
}

TEST(LongestChainDepth, SharedInputsAreComputedOnce) {
  // A ladder: node i has inputs (i-1, i-2); without the memo this is exponential.
  constexpr int64_t kN = 200;
  std::map<int64_t, int> expansions;
  const int64_t depth = LongestChainDepth(kN, [&](int64_t id, std::vector<int64_t>* out) {
    ++expansions[id];
    out->clear();
    if (id >= 2) *out = {id - 1, id - 2};
    return true;
  });
  EXPECT_EQ(depth, kN - 1);
  for (const auto& [id, n] : expansions) EXPECT_EQ(n, 1) << id;
}

TEST(InputTable, LooksUpEachNodesOwnInputs) {
  InputTable table;
  table.Reserve(4);
  const std::vector<int64_t> none, one{9}, two{7, 9};
  table.Add(9, none);
  table.Add(8, two);
  table.Add(7, one);
  table.Add(8, one);  // a repeated id keeps its first inputs
  std::vector<int64_t> out{42};
  EXPECT_TRUE(table.Inputs(8, &out));
  EXPECT_EQ(out, two);
  EXPECT_TRUE(table.Inputs(7, &out));
  EXPECT_EQ(out, one);
  EXPECT_TRUE(table.Inputs(9, &out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(table.Inputs(5, &out));
  EXPECT_EQ(LongestChainDepth(8, [&](int64_t id, std::vector<int64_t>* o) {
              return table.Inputs(id, o);
            }),
            2);
}

TEST(BreadthFirstWalk, ChainOrderAndEdges) {
  // 3 = unary(2), 2 = binary(0, 1)
  const Walk w = WalkFrom(Graph{{0, {}}, {1, {}}, {2, {0, 1}}, {3, {2}}}, 3);
  EXPECT_EQ(w.order, (std::vector<int64_t>{3, 2, 0, 1}));
  EXPECT_EQ(w.edges, (std::vector<std::pair<int64_t, int64_t>>{{2, 3}, {0, 2}, {1, 2}}));
}

TEST(BreadthFirstWalk, DiamondVisitsSharedInputOnce) {
  const Walk w = WalkFrom(Graph{{0, {}}, {1, {0}}, {2, {0}}, {3, {1, 2}}}, 3);
  EXPECT_EQ(w.order, (std::vector<int64_t>{3, 1, 2, 0}));
  EXPECT_EQ(w.edges.size(), 4u);
}

TEST(BreadthFirstWalk, RepeatedInputGivesTwoEdgesOneVisit) {
  const Walk w = WalkFrom(Graph{{5, {}}, {6, {5, 5}}}, 6);
  EXPECT_EQ(w.order, (std::vector<int64_t>{6, 5}));
  EXPECT_EQ(w.edges, (std::vector<std::pair<int64_t, int64_t>>{{5, 6}, {5, 6}}));
}

TEST(BreadthFirstWalk, CyclesAndUnknownIdsEndTheWalk) {
  const Walk self_loop = WalkFrom(Graph{{0, {0}}}, 0);
  EXPECT_EQ(self_loop.order, (std::vector<int64_t>{0}));
  EXPECT_EQ(self_loop.edges.size(), 1u);
  const Walk loop = WalkFrom(Graph{{0, {1}}, {1, {2}}, {2, {0, 7}}}, 0);
  EXPECT_EQ(loop.order, (std::vector<int64_t>{0, 1, 2}));
  EXPECT_EQ(loop.edges.size(), 4u);  // the edge from the unknown 7 is kept
  EXPECT_TRUE(WalkFrom(Graph{}, 9).order.empty());
}

}  // namespace
}  // namespace lumarq
