// Removing node ids from an index list as list.remove does (the first occurrence of each), for
// many ids in one pass over the list's front.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

namespace lumarq {

/// What the reader of an index list says of one item.
enum class IdItem {
  kId,     ///< an id, given
  kOther,  ///< an item no id equals
  kStop,   ///< an item only the caller can compare: flagging fails
};

/// Flags, among items read in order, the first occurrence of each id of `want` (a multiset: an
/// id listed twice flags two occurrences). `id_at(i, &id)` reads item i of `n`. Reading stops once
/// every wanted id is flagged, so `drop` covers the prefix read, one flag per item. False when an
/// item read is kStop.
template <class IdAt>
bool FlagFirstOccurrences(std::span<const int64_t> want, size_t n, IdAt&& id_at,
                          std::vector<char>* drop) {
  std::unordered_map<int64_t, size_t> pending;
  for (int64_t id : want) ++pending[id];
  size_t remaining = want.size();
  drop->clear();
  for (size_t i = 0; i < n && remaining != 0; ++i) {
    int64_t id = 0;
    const IdItem item = id_at(i, &id);
    if (item == IdItem::kStop) return false;
    auto hit = item == IdItem::kId ? pending.find(id) : pending.end();
    const bool match = hit != pending.end() && hit->second > 0;
    if (match) {
      --hit->second;
      --remaining;
    }
    drop->push_back(match ? 1 : 0);
  }
  return true;
}

/// Removes the flagged items of items[0, drop.size()) in place, keeping the order of the rest
/// (the items past the flags move up behind them); the removed ones go to `removed`. Returns
/// the new length.
template <class T>
size_t RemoveFlagged(T* items, size_t n, const std::vector<char>& drop, std::vector<T>* removed) {
  const size_t end = drop.size();
  size_t kept = 0;
  for (size_t i = 0; i < end; ++i) {
    if (drop[i] != 0) {
      removed->push_back(items[i]);
    } else {
      items[kept++] = items[i];
    }
  }
  if (kept != end) std::copy(items + end, items + n, items + kept);
  return kept + (n - end);
}

}  // namespace lumarq
