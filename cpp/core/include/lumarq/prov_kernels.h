// Row kernels behind the provenance dtype: words moved with rows (take, concatenation) and
// combined over groups of rows (group aggregation, rolling windows).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "lumarq/codec.h"

namespace lumarq {

/// out[i] = words[indices[i]]. With `allow_fill`, index -1 marks a row that exists in no input
/// and gets word 0, and any other negative index throws std::invalid_argument; without it,
/// negative indices count from the end. Indices beyond the array throw std::out_of_range.
void TakeWords(std::span<const uint32_t> words, std::span<const int64_t> indices, bool allow_fill,
               std::span<uint32_t> out);

/// The parts one after another; `out` holds exactly their total length.
void ConcatWords(std::span<const std::span<const uint32_t>> parts, std::span<uint32_t> out);

/// One n-ary combination per group: out[g] combines the words of every row i with ids[i] == g
/// (rows with a negative id belong to no group). Pairs united, entity XOR, chains mixed in row
/// order with `op`, taint OR, depth max + 1 once. A group of one row takes one unary step
/// (Codec::UpdateChain); a group without rows gets word 0. Ids >= out.size() throw
/// std::out_of_range; invalid words throw as Codec::Decode does.
void GroupCombine(Codec& codec, std::span<const uint32_t> words, std::span<const int64_t> ids,
                  uint32_t op, std::span<uint32_t> out);

/// The distinct values of each group in the order of their first row: group g's values are
/// members[offsets[g] .. offsets[g + 1]). Rows with a negative id or value belong to no group;
/// ids >= ngroups throw std::out_of_range. Linear in the rows (a counting sort by group, then
/// one pass that remembers the last group each value was kept for).
void DistinctGroupMembers(std::span<const int64_t> ids, std::span<const int64_t> values,
                          size_t ngroups, std::vector<int64_t>* offsets,
                          std::vector<int64_t>* members);

/// out[i] combines words[max(0, i - window + 1) .. i] as GroupCombine combines one group.
/// Rows within the first `window` cost O(1) each (a running combination), so a window at least
/// as long as the rows (a cumulative operation) is linear. Throws std::invalid_argument for a
/// window of 0.
void WindowCombine(Codec& codec, std::span<const uint32_t> words, size_t window, uint32_t op,
                   std::span<uint32_t> out);

/// out[k] combines the words of rows starts[k] .. ends[k] - 1 (a window of pandas' rolling,
/// expanding or group operations): pairs united, taint OR, entity XOR and depth max + 1 as
/// GroupCombine does, and the chain of a window the XOR of each row's chain after a step with
/// `op` (order-free, so that sliding a window costs O(1)). A window of one row takes one unary
/// step (Codec::UpdateChain); an empty one (start >= end) gets word 0. Windows whose bounds
/// never move back (pandas' own) cost O(rows + windows) in all; others are recounted. Bounds
/// outside 0 .. words.size() throw std::out_of_range, differing lengths std::invalid_argument.
/// With `extra` (one word per window), a non-zero extra[k] joins window k as one more member:
/// the key of a group window, whose rows the key chose.
void RangeCombine(Codec& codec, std::span<const uint32_t> words, std::span<const int64_t> starts,
                  std::span<const int64_t> ends, uint32_t op, std::span<uint32_t> out,
                  std::span<const uint32_t> extra = {});

/// Per row, the running combination of its group: out[i] combines keys[g] (0: no key word)
/// and the words of the rows j <= i with ids[j] == g == ids[i], as RangeCombine combines a
/// window of them with the key as extra member. Rows with a negative id take one unary step.
/// One pass in row order, 28 bytes per group (keys.size() groups); ids >= keys.size() throw
/// std::out_of_range.
void GroupRunningCombine(Codec& codec, std::span<const uint32_t> words,
                         std::span<const int64_t> ids, std::span<const uint32_t> keys, uint32_t op,
                         std::span<uint32_t> out);

/// A column of words `stride` elements apart (a strided array view).
struct StridedWords {
  const uint32_t* data = nullptr;
  int64_t stride = 1;
  size_t size = 0;
  uint32_t operator[](size_t i) const { return data[static_cast<int64_t>(i) * stride]; }
};

/// True when every word has the pair set and taint of words[0] (entity, chain and depth may
/// differ; a word of another mode never matches). True for no words.
bool SamePairs(StridedWords words);

/// One word uniting the pairs and taint of every word of `columns`, at the greatest depth among
/// them, with the entity and chain of `first`. Each distinct pair set is decoded once; invalid
/// words throw as Codec::Decode does.
uint32_t UnionWord(Codec& codec, std::span<const StridedWords> columns, uint32_t first);

/// Row by row over equally long columns (out.size() rows): out[i] is UnionWord of row i of every
/// column (entity and chain of columns[0][i]), its chain then updated with `op`.
void UnionRows(Codec& codec, std::span<const StridedWords> columns, uint32_t op,
               std::span<uint32_t> out);

}  // namespace lumarq
