// A set of source-pair ids (0-511) as a fixed 512-bit bitset: union is eight ORs and the
// bitset doubles as the key of the dense dictionary.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lumarq/word.h"

namespace lumarq {

class PairSet {
 public:
  static constexpr int kWords = kMaxPairs / 64;

  /// Adds `id`; callers validate the range.
  void Add(uint32_t id) { bits_[id >> 6] |= uint64_t{1} << (id & 63); }
  bool Contains(uint32_t id) const {
    return id < static_cast<uint32_t>(kMaxPairs) && ((bits_[id >> 6] >> (id & 63)) & 1u) != 0;
  }
  void Union(const PairSet& other) {
    for (int i = 0; i < kWords; ++i) bits_[i] |= other.bits_[i];
  }
  int Count() const {
    int n = 0;
    // Sets are sparse, and without a native popcount each word's costs a library call.
    for (uint64_t w : bits_) {
      if (w != 0) n += std::popcount(w);
    }
    return n;
  }
  bool Empty() const {
    for (uint64_t w : bits_) {
      if (w != 0) return false;
    }
    return true;
  }
  /// Writes up to `max` ids in ascending order into `out`; returns how many were written.
  int Smallest(uint32_t* out, int max) const {
    int n = 0;
    for (int i = 0; i < kWords && n < max; ++i) {
      uint64_t w = bits_[i];
      while (w != 0 && n < max) {
        out[n++] = static_cast<uint32_t>(i * 64 + std::countr_zero(w));
        w &= w - 1;
      }
    }
    return n;
  }
  /// All ids in ascending order.
  std::vector<uint32_t> Ids() const {
    std::vector<uint32_t> ids;
    ids.reserve(static_cast<size_t>(Count()));
    for (int i = 0; i < kWords; ++i) {
      uint64_t w = bits_[i];
      while (w != 0) {
        ids.push_back(static_cast<uint32_t>(i * 64 + std::countr_zero(w)));
        w &= w - 1;
      }
    }
    return ids;
  }
  const std::array<uint64_t, kWords>& bits() const { return bits_; }

  friend bool operator==(const PairSet&, const PairSet&) = default;

 private:
  std::array<uint64_t, kWords> bits_{};
};

struct PairSetHash {
  size_t operator()(const PairSet& s) const noexcept {
    uint64_t h = 0x9E3779B97F4A7C15ull;
    for (uint64_t w : s.bits()) {
      h ^= w + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
    }
    return static_cast<size_t>(h);
  }
};

}  // namespace lumarq
