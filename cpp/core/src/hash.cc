#include "lumarq/hash.h"

#include <algorithm>

namespace lumarq {

void HashIntLabels(std::span<const int64_t> labels, uint32_t mask, std::span<uint32_t> out) {
  const size_t n = std::min(labels.size(), out.size());
  for (size_t i = 0; i < n; ++i) out[i] = EntityFromHash(PythonIntHash(labels[i])) & mask;
}

void HashUIntLabels(std::span<const uint64_t> labels, uint32_t mask, std::span<uint32_t> out) {
  const size_t n = std::min(labels.size(), out.size());
  for (size_t i = 0; i < n; ++i) out[i] = EntityFromHash(PythonUIntHash(labels[i])) & mask;
}

void HashRangeLabels(int64_t start, int64_t step, uint32_t mask, std::span<uint32_t> out) {
  int64_t v = start;
  for (size_t i = 0; i < out.size(); ++i, v += step) {
    out[i] = EntityFromHash(PythonIntHash(v)) & mask;
  }
}

}  // namespace lumarq
