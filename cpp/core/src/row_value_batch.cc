#include "lumarq/row_value_batch.h"

#include <unordered_set>

namespace lumarq {

std::vector<NodeView> FirstNodePerWord(const NodeStore::Snapshot& snap,
                                       std::span<const int64_t> ids, uint8_t source_kind) {
  std::vector<NodeView> rows;
  std::unordered_set<uint32_t> words;
  for (int64_t id : ids) {
    NodeView v;
    if (snap.Find(id, &v) && v.kind != source_kind && words.insert(v.word).second) {
      rows.push_back(v);
    }
  }
  return rows;
}

std::vector<NodeView> EvictedNodePerWord(const NodeStore::Snapshot& snap,
                                         std::span<const int64_t> ids, uint8_t source_kind,
                                         std::span<const NodeView> taken) {
  std::vector<NodeView> rows;
  std::unordered_set<uint32_t> words;
  for (const NodeView& v : taken) words.insert(v.word);
  for (int64_t id : ids) {
    NodeView v;
    if (snap.EvictedNode(id, &v) && v.kind != source_kind && words.insert(v.word).second) {
      rows.push_back(v);
    }
  }
  return rows;
}

RowValueBatch::RowValueBatch(size_t n)
    : pipeline_id(n), row_index(n), fingerprint(n), operation(n), column(n), value(n),
      value_null(n) {}

RowValueBatch RowValueBatch::Uniform(int64_t pipeline_id, int32_t operation, int32_t column,
                                     std::span<const int64_t> rows,
                                     std::span<const uint32_t> words,
                                     std::span<const double> values) {
  const size_t n = rows.size();
  RowValueBatch b;
  b.pipeline_id.assign(n, pipeline_id);
  b.row_index.assign(rows.begin(), rows.end());
  b.fingerprint.assign(words.begin(), words.end());
  b.operation.assign(n, operation);
  b.column.assign(n, column);
  b.value.assign(values.begin(), values.end());
  b.value_null.assign(n, 0);
  return b;
}

void RowValueBatch::ShiftColumnCodes(int32_t n_operations) {
  for (int32_t& code : column) {
    if (code >= 0) code += n_operations;
  }
}

}  // namespace lumarq
