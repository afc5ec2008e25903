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
  std::vector<int64_t> queue{root}, held;
  for (size_t head = 0; head < queue.size(); ++head) {
    const int64_t id = queue[head];
    const auto at = static_cast<uint32_t>(out->rows.size());
    if (!position.Insert(id, at)) continue;
    out->rows.push_back(StoreWalk::Row{id});
    NodeView v;
    if (!snap.Find(id, &v)) continue;
    std::span<const int64_t> inputs = v.inputs;
    if (v.flags & kNodeHasExtra) {
      held.clear();
      if (!held_inputs(v, at, &held)) return false;
      inputs = held;
    }
    StoreWalk::Row& row = out->rows.back();
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
      if (position.Get(input) == IdIndex::kAbsent) queue.push_back(input);
    }
  }
  // Every input was visited, so each has a position.
  out->input_at.resize(out->inputs.size());
  for (size_t i = 0; i < out->inputs.size(); ++i) out->input_at[i] = position.Get(out->inputs[i]);
  return true;
}

}  // namespace lumarq
