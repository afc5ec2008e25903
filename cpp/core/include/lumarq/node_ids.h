// The input ids of one graph node: held inline up to two (the common unary and binary case) or
// on the heap, so that a node of a large graph costs no allocation for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace lumarq {

/// Node ids held inline (up to two) or on the heap. The all-zero state is the empty sequence, so
/// a zero-filled instance is valid.
class NodeIds {
 public:
  NodeIds() = default;
  ~NodeIds() { Release(); }
  NodeIds(const NodeIds&) = delete;
  NodeIds& operator=(const NodeIds&) = delete;

  /// Replaces the ids with a copy of ids[0 .. n); `ids` may point into this sequence, so the new
  /// storage is filled before the old is released.
  void Assign(const int64_t* ids, size_t n) {
    if (n <= kInline) {
      int64_t copy[kInline] = {};
      for (size_t i = 0; i < n; ++i) copy[i] = ids[i];
      Release();
      for (size_t i = 0; i < n; ++i) inline_[i] = copy[i];
    } else {
      auto* heap = new int64_t[n];
      std::memcpy(heap, ids, n * sizeof(int64_t));
      Release();
      heap_ = heap;
      cap_ = static_cast<uint32_t>(n);
    }
    size_ = static_cast<uint32_t>(n);
  }
  void Release() {
    if (cap_ > kInline) delete[] heap_;
    cap_ = 0;
    size_ = 0;
  }
  const int64_t* data() const { return cap_ > kInline ? heap_ : inline_; }
  size_t size() const { return size_; }

 private:
  static constexpr uint32_t kInline = 2;
  uint32_t size_ = 0;
  uint32_t cap_ = 0;  // <= kInline: inline storage
  union {
    int64_t inline_[kInline];
    int64_t* heap_;
  };
};

}  // namespace lumarq
