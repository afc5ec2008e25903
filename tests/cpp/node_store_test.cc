#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "lumarq/node_store.h"

namespace lumarq {
namespace {

constexpr uint8_t kSourceKind = 1;
constexpr uint8_t kBinaryKind = 4;

uint32_t WordOf(int64_t id) { return static_cast<uint32_t>(id * 2654435761u); }

// Node i: a source every 1000th id, else binary over (i - 1, i / 2); node 7 * k + 3 has 0..k%5
// extra inputs so rows differ in width.
int64_t AppendNode(NodeStore& s, int64_t expect_id) {
  std::vector<int64_t> in;
  uint8_t kind = kBinaryKind, flags = 0;
  if (expect_id % 1000 == 0) {
    kind = kSourceKind;
    flags = kNodePinned;
  } else {
    in = {expect_id - 1, expect_id / 2};
    for (int64_t k = 0; k < expect_id % 5; ++k) in.push_back(k);
  }
  return s.Append(kind, flags, static_cast<uint32_t>(kind), WordOf(expect_id), in, expect_id);
}

void ExpectNode(const NodeView& v, int64_t id) {
  ASSERT_EQ(v.id, id);
  EXPECT_EQ(v.word, WordOf(id));
  EXPECT_EQ(v.timestamp, id);
  if (id % 1000 == 0) {
    EXPECT_EQ(v.kind, kSourceKind);
    EXPECT_TRUE(v.inputs.empty());
  } else {
    ASSERT_EQ(v.inputs.size(), 2 + static_cast<size_t>(id % 5));
    EXPECT_EQ(v.inputs[0], id - 1);
    EXPECT_EQ(v.inputs[1], id / 2);
  }
}

TEST(StringTable, InternsOnce) {
  StringTable t;
  EXPECT_EQ(t.Intern(""), 0u);
  const uint32_t add = t.Intern("add");
  EXPECT_EQ(t.Intern(std::string("ad") + "d"), add);
  EXPECT_NE(t.Intern("sub"), add);
  EXPECT_EQ(t.Get(add), "add");
  EXPECT_EQ(t.Get(999), "");
}

class NodeStoreAppend : public ::testing::TestWithParam<int64_t> {};

// Sizes straddling chunk boundaries.
TEST_P(NodeStoreAppend, RowsReadBackAcrossChunks) {
  const int64_t n = GetParam();
  NodeStore s;
  for (int64_t i = 0; i < n; ++i) ASSERT_EQ(AppendNode(s, i), i);
  EXPECT_EQ(s.size(), static_cast<size_t>(n));
  EXPECT_EQ(s.next_id(), n);
  auto snap = s.Snap();
  int64_t seen = 0;
  snap.ForEach([&](const NodeView& v) { ExpectNode(v, seen++); });
  EXPECT_EQ(seen, n);
  NodeView v;
  EXPECT_FALSE(snap.Find(n, &v));
  EXPECT_FALSE(snap.Find(-1, &v));
  if (n > 0) {
    ASSERT_TRUE(snap.Find(n - 1, &v));
    ExpectNode(v, n - 1);
    EXPECT_EQ(snap.NewestWithWord(WordOf(n - 1)), n - 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, NodeStoreAppend,
                         ::testing::Values(0, 1, NodeStore::kChunkRows - 1, NodeStore::kChunkRows,
                                           NodeStore::kChunkRows + 1, 3 * NodeStore::kChunkRows + 7));

TEST(NodeStore, WideInputListGrowsTheArena) {
  NodeStore s;
  std::vector<int64_t> wide(5 * NodeStore::kChunkRows);
  for (size_t i = 0; i < wide.size(); ++i) wide[i] = static_cast<int64_t>(i);
  s.Append(kBinaryKind, 0, 1, 1, {wide.data(), 3}, 0);
  auto before = s.Snap();  // holds the arena as it was
  const int64_t id = s.Append(5, 0, 2, 2, wide, 0);
  s.Append(kBinaryKind, 0, 1, 3, {wide.data() + 7, 2}, 0);
  NodeView v;
  ASSERT_TRUE(s.Snap().Find(id, &v));
  EXPECT_EQ(v.inputs.size(), wide.size());
  EXPECT_EQ(v.inputs.back(), static_cast<int64_t>(wide.size() - 1));
  ASSERT_TRUE(s.Snap().Find(id + 1, &v));
  EXPECT_EQ(std::vector<int64_t>(v.inputs.begin(), v.inputs.end()), (std::vector<int64_t>{7, 8}));
  ASSERT_TRUE(before.Find(0, &v));
  EXPECT_EQ(std::vector<int64_t>(v.inputs.begin(), v.inputs.end()), (std::vector<int64_t>{0, 1, 2}));
  EXPECT_FALSE(before.Find(id, &v));
}

struct EvictCase {
  int64_t nodes;
  size_t count;
};

class NodeStoreEvict : public ::testing::TestWithParam<EvictCase> {};

TEST_P(NodeStoreEvict, DropsOldestUnpinnedAndKeepsSources) {
  const auto [n, count] = GetParam();
  NodeStore s;
  for (int64_t i = 0; i < n; ++i) AppendNode(s, i);
  auto old = s.Snap();
  const auto dropped = s.EvictOldest(count);
  // The expected victims: the oldest `count` ids that are not sources.
  std::vector<int64_t> expect;
  for (int64_t i = 0; i < n && expect.size() < count; ++i)
    if (i % 1000 != 0) expect.push_back(i);
  EXPECT_EQ(dropped, expect);
  EXPECT_EQ(s.size(), static_cast<size_t>(n) - expect.size());
  auto snap = s.Snap();
  std::vector<int64_t> order;
  snap.ForEach([&](const NodeView& v) {
    ExpectNode(v, v.id);
    order.push_back(v.id);
  });
  EXPECT_EQ(order.size(), s.size());
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  for (int64_t d : dropped) EXPECT_FALSE(snap.Contains(d));
  for (int64_t i = 0; i < n; i += 1000) EXPECT_TRUE(snap.Contains(i)) << i;
  // A snapshot taken before still reads every row, its chunks kept alive.
  int64_t seen = 0;
  old.ForEach([&](const NodeView& v) { ExpectNode(v, seen++); });
  EXPECT_EQ(seen, n);
  // Appends go on after eviction, and a second eviction continues where the first stopped.
  EXPECT_EQ(AppendNode(s, n), n);
  const auto again = s.EvictOldest(1);
  if (expect.size() == count && !again.empty()) {
    EXPECT_GT(again.front(), expect.empty() ? -1 : expect.back());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Counts, NodeStoreEvict,
    ::testing::Values(EvictCase{21, 2}, EvictCase{2500, 2500}, EvictCase{5000, 0},
                      EvictCase{3 * NodeStore::kChunkRows, NodeStore::kChunkRows + 5},
                      EvictCase{3 * NodeStore::kChunkRows, 10 * NodeStore::kChunkRows}));

TEST(NodeStore, EraseFlagsNamesExtrasAndGaps) {
  NodeStore s;
  for (int64_t i = 0; i < 3000; ++i) AppendNode(s, i);
  EXPECT_TRUE(s.Erase(5));
  EXPECT_FALSE(s.Erase(5));
  EXPECT_TRUE(s.SetFlags(6, kNodeProtected));
  EXPECT_TRUE(s.SetName(7, s.strings().Intern("dti")));
  s.SetExtra(8, 42);
  EXPECT_EQ(s.Extra(8), 42u);
  EXPECT_EQ(s.Extra(9), NodeStore::kNoExtra);
  EXPECT_EQ(s.size(), 2999u);
  // Evicting past them keeps the source 1000 and 2000, and the extra slot of a dropped node goes.
  s.EvictOldest(1500);
  EXPECT_EQ(s.Extra(8), NodeStore::kNoExtra);
  EXPECT_TRUE(s.SetName(1000, s.strings().Intern("src")));  // pinned side table
  EXPECT_TRUE(s.SetFlags(1000, kNodeProtected));
  NodeView v;
  auto snap = s.Snap();
  ASSERT_TRUE(snap.Find(1000, &v));
  EXPECT_EQ(s.strings().Get(v.name), "src");
  EXPECT_TRUE(v.flags & kNodeProtected);
  EXPECT_TRUE(s.Erase(1000));
  EXPECT_FALSE(s.Snap().Contains(1000));
  EXPECT_TRUE(snap.Contains(1000));  // the older view keeps its table
  // Ids drawn elsewhere leave erased rows: the next append gets the later id.
  s.SetNextId(3005);
  EXPECT_EQ(s.Append(kBinaryKind, 0, 1, 9, {}, 0), 3005);
  EXPECT_FALSE(s.Snap().Contains(3002));
  s.Clear();
  EXPECT_EQ(s.size(), 0u);
  EXPECT_EQ(s.Append(kBinaryKind, 0, 1, 9, {}, 0), 3006);
  EXPECT_EQ(s.Snap().size(), 1u);
}

TEST(NodeStore, SliceGivesColumnsInIdOrder) {
  NodeStore s;
  for (int64_t i = 0; i < 2 * NodeStore::kChunkRows; ++i) AppendNode(s, i);
  s.EvictOldest(1200);  // drops 1..999 and 1001..1201; pins the sources 0 and 1000
  s.Erase(1300);
  s.SetName(1301, s.strings().Intern("dti"));
  const auto snap = s.Snap();
  const NodeColumns cols = snap.Slice(999, 1303);
  // 1000 (pinned), then 1202..1302 without the erased 1300.
  ASSERT_EQ(cols.size(), 1u + 101u - 1u);
  EXPECT_EQ(cols.ids.front(), 1000);
  EXPECT_EQ(cols.ids[1], 1202);
  EXPECT_EQ(cols.ids.back(), 1302);
  ASSERT_EQ(cols.input_offsets.size(), cols.size() + 1);
  for (size_t i = 0; i < cols.size(); ++i) {
    const int64_t id = cols.ids[i];
    EXPECT_NE(id, 1300);
    EXPECT_EQ(cols.words[i], WordOf(id));
    const size_t width = cols.input_offsets[i + 1] - cols.input_offsets[i];
    EXPECT_EQ(width, id % 1000 == 0 ? 0u : 2 + static_cast<size_t>(id % 5));
    if (width) {
      EXPECT_EQ(cols.input_ids[cols.input_offsets[i]], id - 1);
    }
    EXPECT_EQ(s.strings().Get(cols.names[i]), id == 1301 ? "dti" : "");
  }
  EXPECT_EQ(snap.Slice(5, 5).size(), 0u);
  EXPECT_EQ(snap.Slice(0, snap.end()).size(), snap.size());
}

// One writer appends and evicts (as the tracker does past its bound) while readers take
// snapshots: every row a snapshot shows is whole, in order, and the count matches the view.
TEST(NodeStore, SnapshotsStayConsistentUnderAConcurrentWriter) {
  NodeStore s;
  constexpr int64_t kTotal = 6 * NodeStore::kChunkRows;
  constexpr size_t kBound = 50000;
  std::atomic<bool> done{false};
  std::atomic<int64_t> checked{0};
  std::atomic<int> failures{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!done.load()) {
        auto snap = s.Snap();
        int64_t prev = -1;
        size_t count = 0;
        snap.ForEach([&](const NodeView& v) {
          if (v.id <= prev || v.word != WordOf(v.id) || v.timestamp != v.id) failures++;
          if (v.id % 1000 != 0 && (v.inputs.size() != 2 + static_cast<size_t>(v.id % 5) ||
                                   v.inputs[0] != v.id - 1))
            failures++;
          prev = v.id;
          ++count;
        });
        if (count != snap.size()) failures++;
        checked += static_cast<int64_t>(count);
      }
    });
  }
  for (int64_t i = 0; i < kTotal; ++i) {
    AppendNode(s, i);
    if (s.size() > kBound) s.EvictOldest(s.size() / 10);
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(checked.load(), 0);
  EXPECT_LE(s.size(), kBound + 1);
}

}  // namespace
}  // namespace lumarq
