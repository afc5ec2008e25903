#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "lumarq/huge_pages.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace lumarq {
namespace {

#if defined(__linux__) && defined(MADV_HUGEPAGE)

constexpr size_t kHeader = 64;  // the mapping's length is kept before the data

bool Mapped(void* data) {
  void* base = static_cast<char*>(data) - kHeader;
  return msync(base, kHugePage, MS_ASYNC) == 0;
}

TEST(HugePages, BuffersAreAlignedWritableAndReusedByLength) {
  // 6 MiB mappings: bytes + header rounded up to whole huge pages.
  void* a = AcquireHugeBuffer(3 * kHugePage - kHeader);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ((reinterpret_cast<uintptr_t>(a) - kHeader) % kHugePage, 0u);
  std::memset(a, 0xAB, 3 * kHugePage - kHeader);
  ReleaseHugeBuffer(a);

  void* same_length = AcquireHugeBuffer(2 * kHugePage + 1);
  EXPECT_EQ(same_length, a);  // one byte past 4 MiB with the header: a 6 MiB mapping too
  ReleaseHugeBuffer(same_length);

  void* shorter = AcquireHugeBuffer(2 * kHugePage - kHeader);  // exactly 4 MiB
  ASSERT_NE(shorter, nullptr);
  EXPECT_NE(shorter, a);
  ReleaseHugeBuffer(shorter);
  EXPECT_EQ(AcquireHugeBuffer(3 * kHugePage - kHeader), a);
  ReleaseHugeBuffer(a);
}

TEST(HugePages, ReleasesPastTheBoundAreUnmapped) {
  const size_t bytes = kMaxCachedHugeBytes / 2 - kHugePage;  // half the bound with the rounding
  void* buffers[3];
  for (void*& b : buffers) {
    b = AcquireHugeBuffer(bytes);
    ASSERT_NE(b, nullptr);
  }
  for (void* b : buffers) ReleaseHugeBuffer(b);
  // However much was cached before, three halves never fit: the last one is gone.
  EXPECT_FALSE(Mapped(buffers[2]));
  void* again = AcquireHugeBuffer(bytes);
  EXPECT_TRUE(again == buffers[0] || again == buffers[1]);
  EXPECT_TRUE(Mapped(again));
  ReleaseHugeBuffer(again);
}

#else

TEST(HugePages, NoneWithoutPlatformSupport) { EXPECT_EQ(AcquireHugeBuffer(kHugePage), nullptr); }

#endif

}  // namespace
}  // namespace lumarq
