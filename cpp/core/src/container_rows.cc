#include "lumarq/container_rows.h"

namespace lumarq {

std::vector<size_t> RecordedAfter(std::span<const size_t> counts) {
  std::vector<size_t> later(counts.size(), 0);
  for (size_t j = counts.size(); j > 1; --j) later[j - 2] = later[j - 1] + counts[j - 1];
  return later;
}

uint32_t EntityMask(int64_t bits) {
  return bits >= 32 ? 0xFFFFFFFFu : (uint32_t{1} << bits) - 1u;
}

}  // namespace lumarq
