// What the tracker's bulk writes select and lay out before any record object is made: the stored
// nodes a renaming sends again, and the columns of a batch of row values.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "lumarq/node_store.h"

namespace lumarq {

/// The live nodes among `ids` whose stored rows carry an assigned name, in `ids` order: stored
/// rows are one per word, so only the first node of each word is kept, and nodes of
/// `source_kind` are left out (their rows are written with the source's registration).
std::vector<NodeView> FirstNodePerWord(const NodeStore::Snapshot& snap,
                                       std::span<const int64_t> ids, uint8_t source_kind);

/// What the store kept of the nodes among `ids` evicted while it kept evicted words, one per
/// word and none of a word in `taken`, in `ids` order (nodes of `source_kind` left out).
std::vector<NodeView> EvictedNodePerWord(const NodeStore::Snapshot& snap,
                                         std::span<const int64_t> ids, uint8_t source_kind,
                                         std::span<const NodeView> taken);

/// Columns of row-value records. Operation and column name are codes into one text table the
/// caller keeps, -1 for none; a missing value is NaN with value_null set.
struct RowValueBatch {
  std::vector<int64_t> pipeline_id, row_index, fingerprint;
  std::vector<int32_t> operation, column;
  std::vector<double> value;
  std::vector<uint8_t> value_null;

  RowValueBatch() = default;
  /// `n` zeroed rows, to be filled in place.
  explicit RowValueBatch(size_t n);
  /// Rows of one pipeline, operation and column, every value present (spans of equal length).
  static RowValueBatch Uniform(int64_t pipeline_id, int32_t operation, int32_t column,
                               std::span<const int64_t> rows, std::span<const uint32_t> words,
                               std::span<const double> values);

  size_t size() const { return row_index.size(); }
  /// Moves the column codes past `n_operations` texts, for a text table that lists the
  /// operations' texts before the columns'.
  void ShiftColumnCodes(int32_t n_operations);
};

}  // namespace lumarq
