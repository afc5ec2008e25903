// The counts behind dag_stats, read from one store snapshot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <utility>
#include <vector>

#include "lumarq/node_store.h"

namespace lumarq {

struct StoreCounts {
  size_t total = 0;
  size_t sources = 0;
  size_t protected_nodes = 0;          ///< every protected node, operation nodes included
  size_t protected_source_nodes = 0;
  size_t unique_words = 0;
  /// (operation text id, operation nodes with it), first seen first; sources are not counted.
  std::vector<std::pair<uint32_t, uint64_t>> operations;
};

/// How the counts see one node.
struct CountedNode {
  bool source = false;
  bool is_protected = false;
  uint32_t op = 0;
};

/// Counts every live node of `snap`; nodes of kind `source_kind` are sources. For a row flagged
/// kNodeHasExtra, `held(view, &node)` may describe the node instead (a caller-side object may
/// have changed it); false from it abandons the count and CountStore returns false.
template <class Held>
bool CountStore(const NodeStore::Snapshot& snap, uint8_t source_kind, Held&& held,
                StoreCounts* out) {
  std::vector<uint64_t> counts;  // by operation text id
  std::unordered_set<uint32_t> words;
  bool ok = true;
  snap.ForEach([&](const NodeView& v) {
    if (!ok) return;
    CountedNode n{v.kind == source_kind, (v.flags & kNodeProtected) != 0, v.op};
    if ((v.flags & kNodeHasExtra) && !held(v, &n)) {
      ok = false;
      return;
    }
    ++out->total;
    words.insert(v.word);
    out->sources += n.source;
    out->protected_nodes += n.is_protected;
    out->protected_source_nodes += n.is_protected && n.source;
    if (n.source) return;
    if (n.op >= counts.size()) counts.resize(size_t{n.op} + 1, 0);
    if (counts[n.op]++ == 0) out->operations.emplace_back(n.op, 0);
  });
  if (!ok) return false;
  for (auto& [op, count] : out->operations) count = counts[op];
  out->unique_words = words.size();
  return true;
}

}  // namespace lumarq
