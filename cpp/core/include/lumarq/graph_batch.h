// Columns of a computation graph for a bulk write.
//
// A database keys nodes by fingerprint (the word), so the batch holds one row per distinct
// fingerprint, taken from the first node with it, and the incoming edges of every node as
// (parent fingerprint, child fingerprint, input position), each once. Texts (node kinds,
// operations, table and column names) are codes into `texts`.
//
// Rows the store holds alone are read from its columns. A node flagged kNodeHasExtra may have a
// caller-side object whose fields differ from the row; the caller's GraphBatchSource reads those.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lumarq/node_store.h"

namespace lumarq {

struct GraphBatch {
  std::vector<std::string> texts;
  std::vector<int64_t> fingerprint, pair_id, entity_hash, chain_hash;
  std::vector<int32_t> node_type, operation, table_name, column_name;  // codes, -1 for none
  std::vector<uint8_t> pair_id_null, is_protected;
  /// Store text id of the row's assigned column name, 0 for none (or when the source named it).
  std::vector<uint32_t> name;
  std::vector<int64_t> edge_parent, edge_child;
  std::vector<int32_t> edge_position;
  size_t size() const { return fingerprint.size(); }
};

/// The fields of one batch row; entity and chain come from GraphBatchSource::Decode.
struct GraphBatchRow {
  int32_t node_type = -1, operation = -1, table_name = -1, column_name = -1;
  bool pair_id_null = true;
  int64_t pair_id = 0;
  bool is_protected = false;
};

class GraphBatchBuilder;

/// What only the caller knows. Any method returning false makes the batch impossible (a field
/// the columns cannot carry, a store that went away): the caller then writes another way.
class GraphBatchSource {
 public:
  virtual ~GraphBatchSource() = default;
  /// entity and chain hashes of a fingerprint.
  virtual bool Decode(int64_t fingerprint, int64_t* entity, int64_t* chain) = 0;
  /// Whether the caller holds an object for a node flagged kNodeHasExtra. The Held* calls that
  /// follow, until the next Holds, are about that node (HeldFingerprint may also be asked about
  /// its inputs).
  virtual bool Holds(const NodeView& v) = 0;
  /// The fingerprint of a flagged node: its object's, or the row's word when it has none.
  virtual bool HeldFingerprint(const NodeView& v, int64_t* fp) = 0;
  /// The fields of a held node whose fingerprint is new; `row` is the row it will take.
  virtual bool HeldRow(const NodeView& v, int32_t row, GraphBatchBuilder& b, GraphBatchRow* out) = 0;
  /// Whether a flagged node names the column of `row` (the caller keeps the name).
  virtual bool HeldName(const NodeView& v, int32_t row) = 0;
  /// Adds the edges into a flagged node with AddInput / AddEdge.
  virtual bool HeldEdges(const NodeView& v, int64_t child, GraphBatchBuilder& b) = 0;
};

class GraphBatchBuilder {
 public:
  /// `kind_names[k]` is the text written for node kind k.
  GraphBatchBuilder(const NodeStore::Snapshot& snap, const StringTable& strings,
                    std::vector<std::string> kind_names, GraphBatchSource& source);

  /// Room for `n` nodes of two inputs each.
  void Reserve(size_t n);
  /// Adds a live node and its incoming edges; false when the source refused.
  bool Add(const NodeView& v);
  /// Every live node of the snapshot; false as soon as one is refused.
  bool AddAll();
  /// Every live node with an id in [from, to).
  bool AddRange(int64_t from, int64_t to);

  /// Code of a text, adding it to the texts on first use.
  int32_t Code(std::string_view text);
  /// An edge into `child` from the node `input` at `position`: a live one, or an evicted one
  /// whose word the store kept (skipped otherwise: erased, or evicted and forgotten); false when
  /// the source refused the input's fingerprint.
  bool AddInput(int64_t input, int32_t position, int64_t child);
  /// An edge between fingerprints.
  void AddEdge(int64_t parent, int64_t child, int32_t position);

  size_t nodes() const { return batch_.size(); }
  /// The batch, each edge once (first-seen order); the builder is spent.
  GraphBatch Finish();

 private:
  int32_t RowOf(int64_t fp, bool* fresh);
  void Rehash(size_t cap);
  int32_t StoreCode(uint32_t id);
  int32_t KindCode(uint8_t kind);
  bool AddRow(const NodeView& v, int64_t fp, bool held);
  void DropRepeatedEdges();

  struct Slot {
    int64_t key = 0;
    int32_t row = -1;
  };

  const NodeStore::Snapshot& snap_;
  const StringTable& strings_;
  std::vector<std::string> kind_names_;
  GraphBatchSource& source_;
  GraphBatch batch_;
  std::vector<uint8_t> named_;
  std::vector<Slot> slots_;  // fingerprint -> row, open addressing
  size_t used_ = 0;
  bool repeated_ = false;
  std::unordered_map<std::string, int32_t> codes_;
  std::vector<int32_t> store_codes_;
  std::vector<int32_t> kind_codes_;
};

}  // namespace lumarq
