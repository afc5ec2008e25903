#include "lumarq/hash.h"

#include <algorithm>

namespace lumarq {

void HashIntLabels(std::span<const int64_t> labels, uint32_t mask, std::span<uint32_t> out) {
  HashIntegerLabels(labels.data(), 1, mask, out.first(std::min(labels.size(), out.size())));
}

void HashUIntLabels(std::span<const uint64_t> labels, uint32_t mask, std::span<uint32_t> out) {
  HashIntegerLabels(labels.data(), 1, mask, out.first(std::min(labels.size(), out.size())));
}

void HashRangeLabels(int64_t start, int64_t step, uint32_t mask, std::span<uint32_t> out) {
  // Stepped in unsigned arithmetic: the step past the last label may leave the int64 range.
  uint64_t v = static_cast<uint64_t>(start);
  for (size_t i = 0; i < out.size(); ++i, v += static_cast<uint64_t>(step)) {
    out[i] = EntityFromHash(PythonIntHash(static_cast<int64_t>(v))) & mask;
  }
}

}  // namespace lumarq
