#include "lumarq/audit_kernels.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>

#include "lumarq/pair_set.h"

namespace lumarq {

Diversity DiversityOf(const Codec& codec, std::span<const uint32_t> words) {
  WordCounts distinct;
  distinct.AddAll(words);
  PairSet pairs;
  std::unordered_set<uint32_t> entities, chains;
  Diversity out;
  for (uint32_t w : distinct.words()) {
    const Decoded d = codec.Decode(w);
    pairs.Union(d.pairs);
    entities.insert(d.entity);
    chains.insert(d.chain);
    out.tainted += d.taint ? 1 : 0;
    out.max_depth = std::max(out.max_depth, d.depth);
  }
  out.unique = distinct.words().size();
  out.pairs = static_cast<size_t>(pairs.Count());
  out.entities = entities.size();
  out.chains = chains.size();
  return out;
}

double EntropyOf(std::span<const uint64_t> counts, size_t rows) {
  const double n = static_cast<double>(rows);
  double h = 0.0;
  for (uint64_t c : counts) {
    const double p = static_cast<double>(c) / n;
    if (p > 0) h = h - p * std::log2(p);
  }
  return h;
}

double WordEntropy(std::span<const uint32_t> words) {
  if (words.empty()) return 0.0;
  WordCounts distinct;
  distinct.AddAll(words);
  return EntropyOf(distinct.counts(), words.size());
}

}  // namespace lumarq
