// Large output buffers in mappings of their own, aligned to 2 MiB and advised for huge pages: the
// kernel then faults them in 2 MiB at a time instead of 4 KiB. numpy advises only from 4 MiB and
// does not align, so a million-row uint32 column (just under 4 MiB) would fault page by page,
// which dominated wrapping a frame. Released mappings are kept for reuse up to a bound, as a
// malloc arena would keep them, so that repeated operations do not fault at all.
#pragma once

#include <cstddef>

namespace lumarq {

/// Size of a huge page; buffers from this size up are worth a mapping of their own.
inline constexpr size_t kHugePage = size_t{1} << 21;
/// Released mappings kept for reuse, in bytes at most.
inline constexpr size_t kMaxCachedHugeBytes = size_t{64} << 20;

/// A buffer of at least `bytes`, or nullptr when no mapping can be made (or the platform has no
/// huge pages): the caller then allocates otherwise. A mapping of the same length released before
/// is reused, the most recently released first.
void* AcquireHugeBuffer(size_t bytes);
/// Gives back a buffer from AcquireHugeBuffer: kept for reuse within the bound, else unmapped.
void ReleaseHugeBuffer(void* data) noexcept;

}  // namespace lumarq
