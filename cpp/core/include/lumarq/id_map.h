// A map from node ids to values, for the nodes of a store that carry more than a row. Store ids
// are dense and rising, and the lookups of a walk or an eviction come in runs of nearby ids, so
// values live in pages of consecutive ids: a run of lookups stays on one page, and a page is
// freed when its last value goes.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>

namespace lumarq {

template <class V>
class IdMap {
 public:
  IdMap() = default;
  IdMap(IdMap&& o) noexcept { *this = std::move(o); }
  /// Takes `o`'s entries; `o` is left empty.
  IdMap& operator=(IdMap&& o) noexcept {
    pages_ = std::move(o.pages_);
    o.pages_.clear();
    size_ = std::exchange(o.size_, 0);
    last_key_ = std::exchange(o.last_key_, kNoPage);
    last_ = std::exchange(o.last_, nullptr);
    return *this;
  }

  size_t size() const { return size_; }

  /// The value of `id`, or null. Valid until `id` is taken.
  V* Find(int64_t id) {
    Page* p = PageOf(id, false);
    const size_t i = Slot(id);
    return p != nullptr && p->Has(i) ? &p->values[i] : nullptr;
  }

  /// The value of `id`, set to `value` first when absent (the value is left untouched when
  /// present). Second: whether it was added.
  std::pair<V*, bool> Emplace(int64_t id, V&& value) {
    Page* p = PageOf(id, true);
    const size_t i = Slot(id);
    if (p->Has(i)) return {&p->values[i], false};
    p->values[i] = std::move(value);
    p->used[i >> 6] |= uint64_t{1} << (i & 63);
    ++p->count;
    ++size_;
    return {&p->values[i], true};
  }

  /// Removes `id` and gives its value back (to be dropped by the caller when that is safe).
  std::optional<V> Take(int64_t id) {
    Page* p = PageOf(id, false);
    const size_t i = Slot(id);
    if (p == nullptr || !p->Has(i)) return std::nullopt;
    std::optional<V> out(std::move(p->values[i]));
    p->values[i] = V();
    p->used[i >> 6] &= ~(uint64_t{1} << (i & 63));
    --size_;
    if (--p->count == 0) {
      pages_.erase(PageKey(id));
      last_ = nullptr;
      last_key_ = kNoPage;
    }
    return out;
  }

  /// Calls `fn(id, value)` for every entry, in no particular order; `fn` must not change the map.
  template <class Fn>
  void ForEach(Fn&& fn) {
    for (auto& [key, page] : pages_) {
      for (size_t w = 0; w < page->used.size(); ++w) {
        for (uint64_t bits = page->used[w]; bits != 0; bits &= bits - 1) {
          const size_t i = w * 64 + static_cast<size_t>(std::countr_zero(bits));
          fn(static_cast<int64_t>(static_cast<uint64_t>(key) << kPageBits | i), page->values[i]);
        }
      }
    }
  }

 private:
  static constexpr int kPageBits = 9;
  static constexpr size_t kPageSize = size_t{1} << kPageBits;
  static constexpr int64_t kNoPage = INT64_MIN;

  struct Page {
    std::array<V, kPageSize> values{};
    std::array<uint64_t, kPageSize / 64> used{};
    size_t count = 0;
    bool Has(size_t i) const { return used[i >> 6] >> (i & 63) & 1; }
  };

  // The page key is the id's arithmetic shift, so negative ids get pages of their own.
  static int64_t PageKey(int64_t id) { return id >> kPageBits; }
  static size_t Slot(int64_t id) { return static_cast<size_t>(id) & (kPageSize - 1); }

  Page* PageOf(int64_t id, bool make) {
    const int64_t key = PageKey(id);
    if (key == last_key_) return last_;
    auto it = pages_.find(key);
    if (it == pages_.end()) {
      if (!make) return nullptr;
      it = pages_.emplace(key, std::make_unique<Page>()).first;
    }
    last_key_ = key;
    last_ = it->second.get();
    return last_;
  }

  std::unordered_map<int64_t, std::unique_ptr<Page>> pages_;
  size_t size_ = 0;
  int64_t last_key_ = kNoPage;  // the page of the last lookup that found one
  Page* last_ = nullptr;
};

}  // namespace lumarq
