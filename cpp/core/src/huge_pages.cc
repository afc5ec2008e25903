#include "lumarq/huge_pages.h"

#if defined(__linux__)
#include <pthread.h>
#include <sys/mman.h>
#endif

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace lumarq {

#if defined(__linux__) && defined(MADV_HUGEPAGE)
namespace {

// The length of a mapping sits in a header before the data.
constexpr size_t kHeader = 64;

class MappingCache {
 public:
  char* Take(size_t length) {
    std::lock_guard lock(mu_);
    for (size_t i = free_.size(); i-- > 0;) {  // most recently released first: still cached
      if (free_[i].second == length) {
        char* base = free_[i].first;
        free_.erase(free_.begin() + static_cast<std::ptrdiff_t>(i));
        held_ -= length;
        return base;
      }
    }
    return nullptr;
  }
  bool Keep(char* base, size_t length) {
    std::lock_guard lock(mu_);
    if (held_ + length > kMaxCachedHugeBytes) return false;
    free_.emplace_back(base, length);
    held_ += length;
    return true;
  }

 private:
  std::mutex mu_;
  std::vector<std::pair<char*, size_t>> free_;
  size_t held_ = 0;
};

std::atomic<MappingCache*> g_mappings{nullptr};

// A forked child may inherit the cache's mutex locked: it starts with an empty cache and leaks
// the parent's (its mappings are copy-on-write copies nobody will ask for).
void ResetMappingsInChild() { g_mappings.store(nullptr, std::memory_order_relaxed); }

MappingCache& Mappings() {
  MappingCache* cache = g_mappings.load(std::memory_order_acquire);
  if (cache != nullptr) return *cache;
  static const bool registered = (pthread_atfork(nullptr, nullptr, &ResetMappingsInChild), true);
  (void)registered;
  MappingCache* fresh = new MappingCache();
  if (g_mappings.compare_exchange_strong(cache, fresh, std::memory_order_acq_rel)) return *fresh;
  delete fresh;
  return *cache;
}

}  // namespace

void* AcquireHugeBuffer(size_t bytes) {
  const size_t length = (bytes + kHeader + kHugePage - 1) & ~(kHugePage - 1);
  char* base = Mappings().Take(length);
  if (base == nullptr) {
    void* raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
    if (aligned != start) munmap(raw, aligned - start);
    const uintptr_t end = aligned + length, raw_end = start + length + kHugePage;
    if (raw_end != end) munmap(reinterpret_cast<void*>(end), raw_end - end);
    base = reinterpret_cast<char*>(aligned);
    madvise(base, length, MADV_HUGEPAGE);
    std::memcpy(base, &length, sizeof length);
  }
  return base + kHeader;
}

void ReleaseHugeBuffer(void* data) noexcept {
  char* base = static_cast<char*>(data) - kHeader;
  size_t length;
  std::memcpy(&length, base, sizeof length);
  if (!Mappings().Keep(base, length)) munmap(base, length);
}

#else

void* AcquireHugeBuffer(size_t) { return nullptr; }
void ReleaseHugeBuffer(void*) noexcept {}

#endif

}  // namespace lumarq
