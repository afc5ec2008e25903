// A map from node ids to positions, tuned for the ids of one node store.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace lumarq {

/// Node id -> position (below kAbsent). Ids in [begin, end), a store's chunks, go to pages of a
/// table made on first touch: nearby ids share a page, so a walk over recent nodes stays in
/// cache and a small graph in a large store touches little. Other ids (pinned sources, unknown
/// ids) go to a map.
class IdIndex {
 public:
  static constexpr uint32_t kAbsent = UINT32_MAX;
  IdIndex(int64_t begin, int64_t end)
      : begin_(begin), span_(static_cast<uint64_t>(std::max<int64_t>(end - begin, 0))),
        pages_((span_ >> kPageBits) + 1) {}
  uint32_t Get(int64_t id) const {
    const uint64_t off = static_cast<uint64_t>(id) - static_cast<uint64_t>(begin_);
    if (off < span_) {
      const uint32_t* page = pages_[off >> kPageBits].get();
      return page != nullptr ? page[off & kPageMask] - 1 : kAbsent;
    }
    auto it = other_.find(id);
    return it == other_.end() ? kAbsent : it->second;
  }
  /// Sets `id` to `pos` unless present; false when it was.
  bool Insert(int64_t id, uint32_t pos) {
    const uint64_t off = static_cast<uint64_t>(id) - static_cast<uint64_t>(begin_);
    if (off < span_) {
      auto& page = pages_[off >> kPageBits];
      if (!page) page.reset(new uint32_t[kPageMask + 1]());
      uint32_t& slot = page[off & kPageMask];
      if (slot != 0) return false;
      slot = pos + 1;
      return true;
    }
    return other_.emplace(id, pos).second;
  }

 private:
  static constexpr int kPageBits = 12;
  static constexpr uint64_t kPageMask = (uint64_t{1} << kPageBits) - 1;
  int64_t begin_;
  uint64_t span_;
  std::vector<std::unique_ptr<uint32_t[]>> pages_;
  std::unordered_map<int64_t, uint32_t> other_;
};

}  // namespace lumarq
