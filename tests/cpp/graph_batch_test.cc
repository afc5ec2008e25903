#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "lumarq/graph_batch.h"
#include "lumarq/node_store.h"
#include "lumarq/row_value_batch.h"

namespace lumarq {
namespace {

constexpr uint8_t kSource = 1, kBinary = 4;

// Decodes fingerprint f to (f + 1000, f + 2000); nodes in `held` have an object whose word is
// held[id] and whose operation is "held-op"; Decode refuses `refuse`.
class FakeSource : public GraphBatchSource {
 public:
  std::map<int64_t, int64_t> held;
  int64_t refuse = -1;
  int64_t current = -1;
  std::vector<std::tuple<int64_t, int32_t>> named;  // (id, row) of names taken from objects

  bool Decode(int64_t fp, int64_t* entity, int64_t* chain) override {
    *entity = fp + 1000;
    *chain = fp + 2000;
    return fp != refuse;
  }
  bool Holds(const NodeView& v) override {
    current = v.id;
    return held.count(v.id) != 0;
  }
  bool HeldFingerprint(const NodeView& v, int64_t* fp) override {
    auto it = held.find(v.id);
    *fp = it == held.end() ? v.word : it->second;
    return true;
  }
  bool HeldRow(const NodeView& v, int32_t, GraphBatchBuilder& b, GraphBatchRow* out) override {
    EXPECT_EQ(v.id, current);
    out->node_type = b.Code("CUSTOM");
    out->operation = b.Code("held-op");
    out->table_name = b.Code("t");
    out->pair_id_null = false;
    out->pair_id = 7;
    return true;
  }
  bool HeldName(const NodeView& v, int32_t row) override {
    named.emplace_back(v.id, row);
    return true;
  }
  bool HeldEdges(const NodeView& v, int64_t child, GraphBatchBuilder& b) override {
    // The object lists its inputs reversed.
    for (size_t i = v.inputs.size(); i-- > 0;) {
      if (!b.AddInput(v.inputs[i], static_cast<int32_t>(v.inputs.size() - 1 - i), child)) return false;
    }
    return true;
  }
};

struct Store {
  NodeStore s;
  uint32_t add = s.strings().Intern("add");
  uint32_t src = s.strings().Intern("source");
  uint32_t dti = s.strings().Intern("dti");
  int64_t Source(uint32_t word) {
    return s.Append(kSource, kNodePinned, src, word, {}, 0);
  }
  int64_t Binary(uint32_t word, int64_t a, int64_t b, uint8_t flags = 0) {
    const int64_t in[] = {a, b};
    return s.Append(kBinary, flags, add, word, in, 0);
  }
};

std::vector<std::string> KindNames() { return {"", "SOURCE", "CONSTANT", "UNARY", "BINARY"}; }

std::vector<std::tuple<int64_t, int64_t, int32_t>> Edges(const GraphBatch& b) {
  std::vector<std::tuple<int64_t, int64_t, int32_t>> out;
  for (size_t i = 0; i < b.edge_parent.size(); ++i)
    out.emplace_back(b.edge_parent[i], b.edge_child[i], b.edge_position[i]);
  return out;
}

std::string Text(const GraphBatch& b, int32_t code) { return code < 0 ? "<none>" : b.texts[code]; }

// Two sources, three binary nodes of which two share a word: one row per word (the first
// node's), every edge once, names and flags from the columns, hashes from the source.
TEST(GraphBatch, OneRowPerFingerprintAndEachEdgeOnce) {
  Store st;
  const int64_t a = st.Source(10), b = st.Source(20);
  const int64_t c = st.Binary(30, a, b, kNodeProtected);
  st.Binary(30, a, b);  // same word: repeats c's row and edges
  const int64_t e = st.Binary(40, c, b);
  ASSERT_TRUE(st.s.SetName(e, st.dti));
  auto snap = st.s.Snap();
  FakeSource source;
  GraphBatchBuilder builder(snap, st.s.strings(), KindNames(), source);
  builder.Reserve(snap.size());
  ASSERT_TRUE(builder.AddAll());
  const GraphBatch g = builder.Finish();

  ASSERT_EQ(g.fingerprint, (std::vector<int64_t>{10, 20, 30, 40}));
  EXPECT_EQ(g.entity_hash, (std::vector<int64_t>{1010, 1020, 1030, 1040}));
  EXPECT_EQ(g.chain_hash, (std::vector<int64_t>{2010, 2020, 2030, 2040}));
  EXPECT_EQ(g.is_protected, (std::vector<uint8_t>{0, 0, 1, 0}));
  EXPECT_EQ(Text(g, g.node_type[0]), "SOURCE");
  EXPECT_EQ(Text(g, g.node_type[2]), "BINARY");
  EXPECT_EQ(Text(g, g.operation[0]), "source");
  EXPECT_EQ(Text(g, g.operation[3]), "add");
  EXPECT_EQ(g.table_name, (std::vector<int32_t>{-1, -1, -1, -1}));
  EXPECT_EQ(g.pair_id_null, (std::vector<uint8_t>{1, 1, 1, 1}));
  EXPECT_EQ(g.name, (std::vector<uint32_t>{0, 0, 0, st.dti}));
  EXPECT_EQ(Edges(g), (std::vector<std::tuple<int64_t, int64_t, int32_t>>{
                          {10, 30, 0}, {20, 30, 1}, {30, 40, 0}, {20, 40, 1}}));
}

// Evicted inputs drop their edges; a range covers only its ids, pinned sources included.
TEST(GraphBatch, EvictedInputsAndRanges) {
  Store st;
  const int64_t a = st.Source(1);
  int64_t prev = a;
  for (uint32_t w = 2; w < 10; ++w) prev = st.Binary(w, prev, a);
  st.s.EvictOldest(3);  // ids 1..3 (the source is pinned)
  auto snap = st.s.Snap();
  FakeSource source;
  GraphBatchBuilder all(snap, st.s.strings(), KindNames(), source);
  ASSERT_TRUE(all.AddAll());
  const GraphBatch g = all.Finish();
  EXPECT_EQ(g.fingerprint, (std::vector<int64_t>{1, 5, 6, 7, 8, 9}));
  // Node 4 (word 5) lost its first input to eviction; its edge from the source stays.
  EXPECT_EQ(Edges(g)[0], std::make_tuple(int64_t{1}, int64_t{5}, int32_t{1}));

  GraphBatchBuilder part(snap, st.s.strings(), KindNames(), source);
  ASSERT_TRUE(part.AddRange(0, 6));
  EXPECT_EQ(part.Finish().fingerprint, (std::vector<int64_t>{1, 5, 6}));
}

// While the store keeps evicted words, an evicted input still gives its edge (by its word);
// an erased one does not, and turning the record off forgets the words.
TEST(GraphBatch, EvictedInputsWhoseWordsTheStoreKept) {
  Store st;
  st.s.KeepEvictedWords(true);
  const int64_t a = st.Source(1);
  int64_t prev = a;
  for (uint32_t w = 2; w < 10; ++w) prev = st.Binary(w, prev, a);
  ASSERT_TRUE(st.s.Erase(2));  // word 3
  st.s.EvictOldest(2);         // ids 1 and 3 (2 is erased, the source pinned)
  const int64_t late = st.Binary(50, 1, 3);  // inputs evicted before it was made
  auto snap = st.s.Snap();
  uint32_t word = 0;
  EXPECT_TRUE(snap.EvictedWord(1, &word) && word == 2);
  EXPECT_FALSE(snap.EvictedWord(2, &word));  // erased
  EXPECT_FALSE(snap.EvictedWord(0, &word));  // pinned: still live
  FakeSource source;
  GraphBatchBuilder b(snap, st.s.strings(), KindNames(), source);
  ASSERT_TRUE(b.AddRange(late, late + 1));
  EXPECT_EQ(Edges(b.Finish()), (std::vector<std::tuple<int64_t, int64_t, int32_t>>{{2, 50, 0}, {4, 50, 1}}));
  GraphBatchBuilder four(snap, st.s.strings(), KindNames(), source);
  ASSERT_TRUE(four.AddRange(4, 5));  // node 4 (word 5): its evicted input 3 (word 4)
  EXPECT_EQ(Edges(four.Finish())[0], std::make_tuple(int64_t{4}, int64_t{5}, int32_t{0}));

  st.s.KeepEvictedWords(false);
  EXPECT_FALSE(st.s.Snap().EvictedWord(1, &word));
}

// What eviction keeps of a node is enough to name the stored node of its word: one row per
// word (none for a word already taken, a source, an erased or a live id), with its kind,
// operation and protection, and no edges.
TEST(GraphBatch, EvictedNodesNamedByWord) {
  Store st;
  st.s.KeepEvictedWords(true);
  const int64_t a = st.Source(1);
  const int64_t p = st.Binary(7, a, a, kNodeProtected);  // id 1
  st.Binary(7, a, a);                                   // id 2: same word
  st.Binary(8, a, a);                                   // id 3: erased
  const int64_t q = st.Binary(9, a, a);                 // id 4
  ASSERT_TRUE(st.s.Erase(3));
  st.s.EvictOldest(3);  // ids 1, 2 and 4
  const int64_t live = st.Binary(10, a, a);
  auto snap = st.s.Snap();
  NodeView v;
  ASSERT_TRUE(snap.EvictedNode(p, &v));
  EXPECT_EQ(std::make_tuple(v.kind, v.flags, v.op, v.word, v.name, v.inputs.size()),
            std::make_tuple(kBinary, kNodeProtected, st.add, uint32_t{7}, uint32_t{0}, size_t{0}));
  EXPECT_FALSE(snap.EvictedNode(3, &v) || snap.EvictedNode(a, &v) || snap.EvictedNode(live, &v));
  const int64_t ids[] = {a, p, 2, 3, q, live};
  NodeView taken;
  taken.word = 9;
  std::vector<NodeView> rows = EvictedNodePerWord(snap, ids, kSource, {&taken, 1});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].id, p);
  rows[0].name = st.dti;
  FakeSource source;
  GraphBatchBuilder b(snap, st.s.strings(), KindNames(), source);
  ASSERT_TRUE(b.Add(rows[0]));
  const GraphBatch g = b.Finish();
  EXPECT_EQ(g.fingerprint, std::vector<int64_t>{7});
  EXPECT_EQ(std::make_tuple(Text(g, g.node_type[0]), Text(g, g.operation[0]), g.is_protected[0], g.name[0]),
            std::make_tuple(std::string("BINARY"), std::string("add"), uint8_t{1}, st.dti));
  EXPECT_TRUE(g.edge_parent.empty());
}

// A node with an object is read through the source: its fingerprint, fields, name and edges,
// also as the parent of a plain node; a refusal abandons the batch.
TEST(GraphBatch, HeldNodesAndRefusals) {
  Store st;
  const int64_t a = st.Source(10), b = st.Source(20);
  const int64_t c = st.Binary(30, a, b);
  st.s.SetExtra(c, 0);
  st.Binary(40, c, a);
  FakeSource source;
  source.held[c] = 33;
  auto snap = st.s.Snap();
  GraphBatchBuilder builder(snap, st.s.strings(), KindNames(), source);
  ASSERT_TRUE(builder.AddAll());
  const GraphBatch g = builder.Finish();
  ASSERT_EQ(g.fingerprint, (std::vector<int64_t>{10, 20, 33, 40}));
  EXPECT_EQ(Text(g, g.operation[2]), "held-op");
  EXPECT_EQ(Text(g, g.table_name[2]), "t");
  EXPECT_EQ(g.pair_id[2], 7);
  EXPECT_FALSE(g.pair_id_null[2]);
  EXPECT_EQ(source.named, (std::vector<std::tuple<int64_t, int32_t>>{{c, 2}}));
  EXPECT_EQ(Edges(g), (std::vector<std::tuple<int64_t, int64_t, int32_t>>{
                          {20, 33, 0}, {10, 33, 1}, {33, 40, 0}, {10, 40, 1}}));

  FakeSource refusing;
  refusing.refuse = 40;
  GraphBatchBuilder refused(snap, st.s.strings(), KindNames(), refusing);
  EXPECT_FALSE(refused.AddAll());
}

}  // namespace
}  // namespace lumarq
