// Kernels behind the audits of a provenance column: distinct words and their counts, the
// column's diversity, and its entropy.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "lumarq/codec.h"
#include "lumarq/hash.h"
#include "lumarq/word.h"

namespace lumarq {

/// Distinct words in order of first appearance, with their counts (open addressing; columns
/// hold few distinct words, so the table stays in cache).
class WordCounts {
 public:
  void Add(uint32_t w) {
    if (slots_.empty()) Rehash(1024);
    for (size_t i = Fmix32(w) & mask_;; i = (i + 1) & mask_) {
      const uint32_t s = slots_[i];
      if (s == kEmpty) {
        slots_[i] = static_cast<uint32_t>(words_.size());
        words_.push_back(w);
        counts_.push_back(1);
        if (words_.size() * 2 > slots_.size()) Rehash(slots_.size() * 2);
        return;
      }
      if (words_[s] == w) {
        ++counts_[s];
        return;
      }
    }
  }
  void AddAll(std::span<const uint32_t> words) {
    for (uint32_t w : words) Add(w);
  }
  const std::vector<uint32_t>& words() const { return words_; }
  const std::vector<uint64_t>& counts() const { return counts_; }

 private:
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;

  void Rehash(size_t capacity) {
    slots_.assign(capacity, kEmpty);
    mask_ = capacity - 1;
    for (size_t k = 0; k < words_.size(); ++k) {
      size_t i = Fmix32(words_[k]) & mask_;
      while (slots_[i] != kEmpty) i = (i + 1) & mask_;
      slots_[i] = static_cast<uint32_t>(k);
    }
  }

  std::vector<uint32_t> slots_;
  size_t mask_ = 0;
  std::vector<uint32_t> words_;
  std::vector<uint64_t> counts_;
};

/// What the distinct words of a column cover.
struct Diversity {
  size_t unique = 0;    ///< distinct words
  size_t pairs = 0;     ///< distinct source pairs over all of them
  size_t entities = 0;  ///< distinct entity hashes
  size_t chains = 0;    ///< distinct chain hashes
  size_t tainted = 0;   ///< distinct words that are tainted
  uint32_t max_depth = 0;
};

/// The diversity of `words`; invalid words throw as Codec::Decode does.
Diversity DiversityOf(const Codec& codec, std::span<const uint32_t> words);

/// Shannon entropy in bits of the distribution counts / rows, summed term by term in the order
/// given (with `- p * log2(p)` and no fused multiply-add, so that the same sum in Python gives
/// the same bits).
double EntropyOf(std::span<const uint64_t> counts, size_t rows);

/// EntropyOf the counts of the distinct words of `words`, in order of first appearance.
double WordEntropy(std::span<const uint32_t> words);

/// The smallest depth among words[i] with flags[i] set, for i < n; kMaxDepth + 1 when no word is
/// flagged. `Words` and `Flags` are anything indexable (pointers, strided views).
template <class Words, class Flags>
uint32_t MinFlaggedDepth(const Words& words, const Flags& flags, size_t n) {
  uint32_t best = kMaxDepth + 1;
  // Branch-free, so that the contiguous case vectorises.
  for (size_t i = 0; i < n; ++i) {
    best = std::min(best, flags[i] ? DepthOf(words[i]) : kMaxDepth + 1);
  }
  return best;
}

}  // namespace lumarq
