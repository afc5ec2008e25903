#include "lumarq/row_kernels.h"

#include <algorithm>
#include <vector>

#include "lumarq/word.h"

namespace lumarq {

namespace {
constexpr size_t kBlockRows = 8192;  // rows gathered per store run
}  // namespace

std::vector<int64_t> DistinctNodeIds(std::span<const int64_t> ids) {
  std::vector<int64_t> unique;
  for (const int64_t id : ids) {
    if (id >= 0 && (unique.empty() || unique.back() != id)) unique.push_back(id);
  }
  std::sort(unique.begin(), unique.end());
  unique.erase(std::unique(unique.begin(), unique.end()), unique.end());
  return unique;
}

void AppendNodes(NodeTarget& t, size_t n, const uint32_t* words, const int64_t* inputs,
                 size_t arity, int64_t* ids_out) {
  std::vector<uint8_t> flags(std::min(n, kBlockRows));
  size_t done = 0;
  while (done < n) {
    // The rows that fit under the bound, and the one that passes it.
    const size_t size = t.store->size();
    const size_t room = t.limit > size ? t.limit - size : 0;
    const size_t m = std::min({n - done, room == SIZE_MAX ? room : room + 1, kBlockRows});
    for (size_t k = 0; k < m; ++k) {
      flags[k] = static_cast<uint8_t>(t.flags | (TaintOf(words[done + k]) ? kNodeProtected : 0));
    }
    const int64_t first = t.store->AppendRun(t.kind, t.op, t.timestamp, m, words + done,
                                             flags.data(), inputs + done * arity, arity);
    for (size_t k = 0; k < m; ++k) ids_out[done + k] = first + static_cast<int64_t>(k);
    done += m;
    if (t.store->size() > t.limit && t.evict) t.evict();
  }
}

size_t ResolveGroupInputs(const int64_t* inputs, size_t k, const int64_t* ids_so_far,
                          std::vector<int64_t>& out) {
  out.clear();
  for (size_t j = 0; j < k; ++j) {
    const int64_t v = inputs[j] < -1 ? ids_so_far[-2 - inputs[j]] : inputs[j];
    if (v >= 0) out.push_back(v);
  }
  return out.size();
}

bool GroupInputsValid(const int64_t* offsets, size_t groups, const int64_t* inputs) {
  for (size_t g = 0; g < groups; ++g) {
    for (int64_t j = offsets[g]; j < offsets[g + 1]; ++j) {
      if (inputs[j] < -1 && -2 - inputs[j] >= static_cast<int64_t>(g)) return false;
    }
  }
  return true;
}

void AppendGroupNodes(NodeTarget& t, size_t groups, const uint32_t* words, const int64_t* offsets,
                      const int64_t* inputs, int64_t* ids_out) {
  std::vector<int64_t> resolved;
  for (size_t g = 0; g < groups; ++g) {
    const int64_t lo = offsets[g], hi = offsets[g + 1];
    const int64_t* in = inputs + lo;
    auto k = static_cast<size_t>(hi - lo);
    if (std::any_of(in, in + k, [](int64_t v) { return v < 0; })) {
      k = ResolveGroupInputs(in, k, ids_out, resolved);
      in = resolved.data();
    }
    if (k == 0) {
      ids_out[g] = -1;
      continue;
    }
    const auto flags = static_cast<uint8_t>(t.flags | (TaintOf(words[g]) ? kNodeProtected : 0));
    ids_out[g] = t.store->Append(t.kind, flags, t.op, words[g], {in, k}, t.timestamp);
    if (t.store->size() > t.limit && t.evict) t.evict();
  }
}

bool GroupOffsetsValid(const int64_t* offsets, size_t groups, int64_t inputs) {
  if (groups == 0) return true;
  if (offsets[0] != 0) return false;
  for (size_t g = 0; g < groups; ++g) {
    if (offsets[g + 1] < offsets[g] || offsets[g + 1] > inputs) return false;
  }
  return true;
}

size_t KeptInputs(const int64_t* row, size_t k, int64_t* kept) {
  size_t c = 0;
  for (size_t j = 0; j < k; ++j) {
    if (row[j] >= 0) kept[c++] = row[j];
  }
  return c;
}

void SplitRowsByKept(const int64_t* inputs, size_t k, const uint32_t* words, size_t start,
                     size_t end, KeptRows* one, KeptRows* two) {
  for (size_t i = start; i < end; ++i) {
    int64_t kept[2];
    const size_t c = KeptInputs(inputs + i * k, k, kept);
    if (c == 0) continue;
    KeptRows& b = c == 1 ? *one : *two;
    b.rows.push_back(i);
    b.words.push_back(words[i]);
    b.inputs.insert(b.inputs.end(), kept, kept + c);
  }
}

template <class Words>
size_t ElementwiseRows(const Words& words, const std::array<RowOperand, Words::kArity>& in,
                       size_t n, NodeTarget& target, uint32_t* words_out, int64_t* ids_out) {
  constexpr size_t kArity = Words::kArity;
  words(in, n, words_out);
  std::fill(ids_out, ids_out + n, int64_t{-1});
  std::vector<size_t> rows;
  std::vector<uint32_t> block_words;
  std::vector<int64_t> inputs, ids;
  rows.reserve(std::min(n, kBlockRows));
  size_t made = 0;
  for (size_t start = 0; start < n; start += kBlockRows) {
    const size_t end = std::min(n, start + kBlockRows);
    rows.clear();
    block_words.clear();
    inputs.clear();
    for (size_t i = start; i < end; ++i) {
      bool linked = true;
      for (size_t k = 0; k < kArity; ++k) linked = linked && in[k].nodes[i] >= 0;
      if (linked) {
        for (size_t k = 0; k < kArity; ++k) inputs.push_back(in[k].nodes[i]);
        rows.push_back(i);
      }
    }
    if (rows.empty()) continue;
    const bool dense = rows.size() == end - start;  // the common case: ids go straight out
    const uint32_t* w = words_out + start;
    int64_t* out = ids_out + start;
    if (!dense) {
      for (size_t r : rows) block_words.push_back(words_out[r]);
      w = block_words.data();
      ids.assign(rows.size(), -1);
      out = ids.data();
    }
    try {
      AppendNodes(target, rows.size(), w, inputs.data(), kArity, out);
    } catch (...) {
      // Nodes appended before the failure exist: their rows keep their ids.
      if (!dense) {
        for (size_t r = 0; r < rows.size(); ++r) ids_out[rows[r]] = ids[r];
      }
      throw;
    }
    if (!dense) {
      for (size_t r = 0; r < rows.size(); ++r) ids_out[rows[r]] = ids[r];
    }
    made += rows.size();
  }
  return made;
}

template size_t ElementwiseRows<CombineWords>(const CombineWords&,
                                              const std::array<RowOperand, 2>&, size_t,
                                              NodeTarget&, uint32_t*, int64_t*);
template size_t ElementwiseRows<ChainWords>(const ChainWords&, const std::array<RowOperand, 1>&,
                                            size_t, NodeTarget&, uint32_t*, int64_t*);

}  // namespace lumarq
