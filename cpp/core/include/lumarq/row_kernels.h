// Per-row kernels of element-wise operations on DAG-tracked columns: the provenance word of
// every result row and one graph node per row whose operands all carry one, appended straight
// into a NodeStore a run at a time. The bindings only convert arguments and take the locks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "lumarq/codec.h"
#include "lumarq/node_store.h"

namespace lumarq {

/// Where the nodes of one operation go, and the store's bound.
struct NodeTarget {
  NodeStore* store = nullptr;
  uint8_t kind = 0;
  uint8_t flags = 0;  ///< set on every node (kNodePinned for sources); taint adds kNodeProtected
  uint32_t op = 0;    ///< interned operation text
  int64_t timestamp = 0;
  size_t limit = SIZE_MAX;      ///< `evict` runs whenever an append leaves more nodes than this
  std::function<void()> evict;  ///< drops old nodes; may throw (the run stops there)
};

/// Appends n nodes (row r: word words[r], inputs inputs[r * arity ..]) and writes their ids to
/// ids_out[r]. A node whose word is tainted is marked protected. The bound is applied exactly as
/// one Append followed by a check per node would: `evict` runs each time the store passes it.
void AppendNodes(NodeTarget& target, size_t n, const uint32_t* words, const int64_t* inputs,
                 size_t arity, int64_t* ids_out);

/// Appends one node per group g whose inputs are inputs[offsets[g] .. offsets[g + 1]) (variable
/// arity: aggregations, merges, windows), word words[g]. An input -1 names no node and one below
/// it, -2 - h, the node of the earlier group h of the same call (a window's part or the window
/// before); a group left without inputs gets no node (id -1). Offsets and references must be
/// checked by the caller (GroupOffsetsValid, GroupInputsValid). Bound and eviction as above.
void AppendGroupNodes(NodeTarget& target, size_t groups, const uint32_t* words,
                      const int64_t* offsets, const int64_t* inputs, int64_t* ids_out);

/// True when offsets[0 .. groups] split `inputs` ids into groups: non-decreasing from 0 and
/// never past the end. No groups need no offsets checked.
bool GroupOffsetsValid(const int64_t* offsets, size_t groups, int64_t inputs);

/// True when every reference -2 - h among the groups' inputs names an earlier group (h < g).
/// The offsets must be valid.
bool GroupInputsValid(const int64_t* offsets, size_t groups, const int64_t* inputs);

/// Group inputs inputs[0 .. k) with references resolved through ids_so_far (the ids of the call's
/// earlier groups) and ids without a node (-1) dropped, into `out`; returns how many.
size_t ResolveGroupInputs(const int64_t* inputs, size_t k, const int64_t* ids_so_far,
                          std::vector<int64_t>& out);

/// Rows of a block that keep the same number of inputs: the rows, their words and their kept
/// input ids in row order.
struct KeptRows {
  std::vector<size_t> rows;
  std::vector<uint32_t> words;
  std::vector<int64_t> inputs;
  void clear() {
    rows.clear();
    words.clear();
    inputs.clear();
  }
};

/// The input ids among row[0 .. k) that name a node (>= 0), in order, into `kept`; returns how
/// many.
size_t KeptInputs(const int64_t* row, size_t k, int64_t* kept);

/// Appends rows [start, end) of `inputs` (k <= 2 ids per row, ids < 0 naming no node) to `one`
/// or `two` by how many inputs they keep; a row that keeps none is left out.
void SplitRowsByKept(const int64_t* inputs, size_t k, const uint32_t* words, size_t start,
                     size_t end, KeptRows* one, KeptRows* two);

/// One operand column of an element-wise operation: a word and a node id per row (a negative
/// id: no node).
struct RowOperand {
  const uint32_t* words = nullptr;
  const int64_t* nodes = nullptr;
};

/// The distinct non-negative ids among `ids`, ascending. Rows of one operation share few nodes
/// and often come in runs: runs collapse before the sort.
std::vector<int64_t> DistinctNodeIds(std::span<const int64_t> ids);

/// Words of a binary operation: the codec's combination of both operands.
struct CombineWords {
  static constexpr size_t kArity = 2;
  Codec* codec = nullptr;
  uint32_t op = 0;
  void operator()(const std::array<RowOperand, 2>& in, size_t n, uint32_t* out) const {
    codec->CombineBatch({in[0].words, n}, {in[1].words, n}, op, {out, n});
  }
};

/// Words of a unary operation: the operand's chain updated.
struct ChainWords {
  static constexpr size_t kArity = 1;
  uint32_t op = 0;
  void operator()(const std::array<RowOperand, 1>& in, size_t n, uint32_t* out) const {
    Codec::UpdateChainBatch({in[0].words, n}, op, {out, n});
  }
};

/// The rows of one element-wise operation. First words_out[i] = the operation's word of row i
/// for every row, so that an invalid word throws before anything is logged. Then, in row
/// order, a node of the target's kind and operation for every row whose operands all have a
/// node (its inputs those nodes, in operand order): its id goes to ids_out[i], -1 for the other
/// rows. Returns the number of nodes made. If `evict` throws, rows after that point keep -1.
template <class Words>
size_t ElementwiseRows(const Words& words, const std::array<RowOperand, Words::kArity>& in,
                       size_t n, NodeTarget& target, uint32_t* words_out, int64_t* ids_out);

extern template size_t ElementwiseRows<CombineWords>(const CombineWords&,
                                                     const std::array<RowOperand, 2>&, size_t,
                                                     NodeTarget&, uint32_t*, int64_t*);
extern template size_t ElementwiseRows<ChainWords>(const ChainWords&,
                                                   const std::array<RowOperand, 1>&, size_t,
                                                   NodeTarget&, uint32_t*, int64_t*);

}  // namespace lumarq
