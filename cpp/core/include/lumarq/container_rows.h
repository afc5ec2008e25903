// Row arithmetic of the tracked containers' row-value records under a memory-only bound, and
// the mask that reduces entity hashes to a mode's entity width. `Values` answers Recorded(i):
// 1 when row i has a value to record, 0 when not, -1 when only the value itself can tell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lumarq {

/// The first row of [0, n) whose record survives a buffer that keeps only its newest `keep`
/// records, when `later` records follow these rows: n when none survives. 0 (keep them all)
/// when the rows that decide it include one whose Recorded is -1, or when fewer than the
/// bound's remainder are recorded.
template <class Values>
size_t FirstSurvivingRow(const Values& values, size_t n, size_t keep, size_t later) {
  if (later >= keep) return n;
  size_t need = keep - later;
  size_t i = n;
  while (i > 0 && need > 0) {
    const int r = values.Recorded(--i);
    if (r < 0) return 0;
    need -= static_cast<size_t>(r);
  }
  return need == 0 ? i : 0;
}

/// Per column, how many rows the columns after it record: out[j] = counts[j + 1] + ... .
std::vector<size_t> RecordedAfter(std::span<const size_t> counts);

/// The mask that reduces a hash modulo 1 << bits (bits >= 0). Hashes have 32 bits, so a width
/// of 32 or more leaves them unchanged.
uint32_t EntityMask(int64_t bits);

}  // namespace lumarq
