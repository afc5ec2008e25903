#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "lumarq/node_store.h"
#include "lumarq/store_stats.h"

namespace lumarq {
namespace {

constexpr uint8_t kSource = 1, kUnary = 3, kBinary = 4;

auto NoHeld = [](const NodeView&, CountedNode*) { return true; };

using Ops = std::vector<std::pair<uint32_t, uint64_t>>;

// Sources (protected or not) are counted apart from operation nodes; operations keep the order
// they were first met in; repeated words count once; evicted rows are not counted.
TEST(StoreStats, CountsLiveNodes) {
  NodeStore s;
  const uint32_t add = s.strings().Intern("add"), neg = s.strings().Intern("neg");
  const int64_t a = s.Append(kSource, kNodePinned | kNodeProtected, 0, 7, {}, 0);
  const int64_t b = s.Append(kSource, kNodePinned, 0, 8, {}, 0);
  const int64_t in_ab[] = {a, b};
  s.Append(kUnary, 0, neg, 9, {}, 0);  // evicted below, before anything else
  s.Append(kBinary, kNodeProtected, add, 9, in_ab, 0);
  s.Append(kUnary, 0, neg, 10, in_ab, 0);
  s.Append(kBinary, 0, add, 7, in_ab, 0);
  ASSERT_EQ(s.EvictOldest(1).size(), 1u);
  StoreCounts c;
  ASSERT_TRUE(CountStore(s.Snap(), kSource, NoHeld, &c));
  EXPECT_EQ(c.total, 5u);
  EXPECT_EQ(c.sources, 2u);
  EXPECT_EQ(c.protected_nodes, 2u);
  EXPECT_EQ(c.protected_source_nodes, 1u);
  EXPECT_EQ(c.unique_words, 4u);  // 7, 8, 9, 10
  EXPECT_EQ(c.operations, (Ops{{add, 2}, {neg, 1}}));
}

// A row with a caller-side object is counted as the object describes it; a refusal abandons the
// whole count.
TEST(StoreStats, HeldNodesOverrideTheRow) {
  NodeStore s;
  const uint32_t add = s.strings().Intern("add"), mul = s.strings().Intern("mul");
  s.Append(kBinary, 0, add, 1, {}, 0);
  const int64_t held_id = s.Append(kBinary, 0, add, 2, {}, 0);
  s.SetFlags(held_id, kNodeHasExtra);
  auto as_protected_mul = [&](const NodeView& v, CountedNode* n) {
    EXPECT_EQ(v.id, held_id);
    n->op = mul;
    n->is_protected = true;
    return true;
  };
  StoreCounts c;
  ASSERT_TRUE(CountStore(s.Snap(), kSource, as_protected_mul, &c));
  EXPECT_EQ(c.total, 2u);
  EXPECT_EQ(c.protected_nodes, 1u);
  EXPECT_EQ(c.operations, (Ops{{add, 1}, {mul, 1}}));

  auto as_source = [](const NodeView&, CountedNode* n) {
    n->source = true;
    return true;
  };
  StoreCounts d;
  ASSERT_TRUE(CountStore(s.Snap(), kSource, as_source, &d));
  EXPECT_EQ(d.sources, 1u);
  EXPECT_EQ(d.operations, (Ops{{add, 1}}));

  StoreCounts refused;
  EXPECT_FALSE(CountStore(s.Snap(), kSource, [](const NodeView&, CountedNode*) { return false; },
                          &refused));
}

}  // namespace
}  // namespace lumarq
