// The walk behind get_dag: every node a root depends on, read from one store snapshot.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "lumarq/id_index.h"
#include "lumarq/node_store.h"

namespace lumarq {

/// Nodes in breadth-first discovery order (root first, each id once), their inputs as CSR and
/// the walk position of every input, so edges need no id lookup afterwards.
struct StoreWalk {
  struct Row {
    int64_t id = 0;
    bool found = false;  ///< false: not live in the snapshot (evicted, erased, never made)
    uint8_t kind = 0, flags = 0;
    uint32_t op = 0, name = 0, word = 0;
    uint32_t first_input = 0, inputs = 0;
  };
  std::vector<Row> rows;
  std::vector<int64_t> inputs;      ///< inputs of rows[i] from rows[i].first_input
  std::vector<uint32_t> input_at;   ///< the walk position of each input
};

/// Walks from `root`. Ids not in the snapshot are visited but have no fields; edges to them are
/// kept. For a row flagged kNodeHasExtra, `held_inputs(view, position, &ids)` gives the inputs
/// to follow instead of the row's (a caller-side object may have changed them); false from it
/// ends the walk and WalkStore returns false.
template <class HeldInputs>
bool WalkStore(const NodeStore::Snapshot& snap, int64_t root, HeldInputs&& held_inputs,
               StoreWalk* out) {
  IdIndex position(snap.begin(), snap.end());
  // The rows are the queue: an id takes its position when first seen, so no id is queued twice
  // and every input's position is known as it is read.
  position.Insert(root, 0);
  out->rows.push_back(StoreWalk::Row{root});
  std::vector<int64_t> held;
  for (size_t at = 0; at < out->rows.size(); ++at) {
    NodeView v;
    if (!snap.Find(out->rows[at].id, &v)) continue;
    std::span<const int64_t> inputs = v.inputs;
    if (v.flags & kNodeHasExtra) {
      held.clear();
      if (!held_inputs(v, static_cast<uint32_t>(at), &held)) return false;
      inputs = held;
    }
    StoreWalk::Row& row = out->rows[at];
    row.found = true;
    row.kind = v.kind;
    row.flags = v.flags;
    row.op = v.op;
    row.name = v.name;
    row.word = v.word;
    row.first_input = static_cast<uint32_t>(out->inputs.size());
    row.inputs = static_cast<uint32_t>(inputs.size());
    out->inputs.insert(out->inputs.end(), inputs.begin(), inputs.end());
    for (int64_t input : inputs) {
      uint32_t pos = position.Get(input);
      if (pos == IdIndex::kAbsent) {
        pos = static_cast<uint32_t>(out->rows.size());
        position.Insert(input, pos);
        out->rows.push_back(StoreWalk::Row{input});
      }
      out->input_at.push_back(pos);
    }
  }
  return true;
}

}  // namespace lumarq
