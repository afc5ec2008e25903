#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <stdexcept>
#include <vector>

#include "lumarq/codec.h"
#include "lumarq/hash.h"
#include "lumarq/parallel.h"

namespace lumarq {
namespace {

TEST(ParallelTask, RunsEveryItemOnce) {
  std::vector<std::atomic<int>> hits(1000);
  ParallelTask task(hits.size(), [&](size_t i) { hits[i].fetch_add(1); });
  task.Wait();
  for (const auto& h : hits) EXPECT_EQ(h.load(), 1);
}

TEST(ParallelTask, RethrowsAfterRunningTheOtherItems) {
  std::atomic<int> ran{0};
  ParallelTask task(64, [&](size_t i) {
    ran.fetch_add(1);
    if (i == 5) throw std::runtime_error("item 5");
  });
  EXPECT_THROW(task.Wait(), std::runtime_error);
  EXPECT_EQ(ran.load(), 64);
}

TEST(ParallelTask, EmptyAndUnwaitedTasks) {
  ParallelTask empty(0, [](size_t) { FAIL(); });
  empty.Wait();
  std::atomic<int> ran{0};
  { ParallelTask dropped(10, [&](size_t) { ran.fetch_add(1); }); }  // the destructor waits
  EXPECT_EQ(ran.load(), 10);
}

// Words of every mode: single pairs, none, and derived two-, three- and four-pair words.
std::vector<uint32_t> MixedWords(Codec& codec, size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint32_t> out(n);
  for (size_t i = 0; i < n; ++i) {
    PairSet set;
    // Long single-pair runs keep most chunks on the fast path; the rest are mixed.
    const int pairs = (i / 5000) % 3 == 0 ? static_cast<int>(rng() % 5) : 1;
    for (int k = 0; k < pairs; ++k) set.Add(static_cast<uint32_t>(rng() % 40));
    out[i] = codec.Encode(set, rng(), rng(), rng() % 3 == 0, rng() % 8);
  }
  return out;
}

TEST(CombineBatch, ParallelResultEqualsWordByWordIncludingDenseIds) {
  const size_t n = 300000;  // above the parallel threshold
  Codec batch, serial;
  // Both codecs see the same encodings first, so their dense tables start equal.
  const std::vector<uint32_t> a = MixedWords(batch, n, 1), b = MixedWords(batch, n, 2);
  MixedWords(serial, n, 1);
  MixedWords(serial, n, 2);
  std::vector<uint32_t> got(n);
  batch.CombineBatch(a, b, 3, got);
  for (size_t i = 0; i < n; ++i) ASSERT_EQ(got[i], serial.Combine(a[i], b[i], 3)) << i;
  EXPECT_EQ(batch.dense().size(), serial.dense().size());
}

// Columns as wrapped frames and their derivations produce them: one pair set, taint, depth and
// chain per column, a different entity per row.
std::vector<uint32_t> UniformColumn(Codec& codec, const std::vector<uint32_t>& ids, size_t n,
                                    bool taint, uint32_t depth, uint32_t seed) {
  std::mt19937 rng(seed);
  PairSet set;
  for (uint32_t id : ids) set.Add(id);
  std::vector<uint32_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = codec.Encode(set, rng(), 77, taint, depth);
  return out;
}

TEST(CombineBatch, UniformColumnsOfEveryModeMatchWordByWord) {
  const std::vector<std::vector<uint32_t>> sets = {
      {}, {3}, {3, 9}, {3, 11}, {1, 2, 3}, {1, 2, 3, 4}, {5, 6, 7, 8, 9}};
  for (size_t n : {size_t{5000}, size_t{150000}}) {  // sequential and parallel batches
    for (size_t x = 0; x < sets.size(); ++x) {
      for (size_t y = 0; y < sets.size(); ++y) {
        Codec batch, serial;
        for (Codec* c : {&batch, &serial}) {  // equal dense tables to start with
          UniformColumn(*c, sets[x], 1, false, 0, 0);
          UniformColumn(*c, sets[y], 1, false, 0, 0);
        }
        const auto a = UniformColumn(batch, sets[x], n, x % 2 == 0, static_cast<uint32_t>(x % 8),
                                     static_cast<uint32_t>(x));
        const auto b = UniformColumn(batch, sets[y], n, false, 2, static_cast<uint32_t>(y + 50));
        std::vector<uint32_t> got(n);
        batch.CombineBatch(a, b, 4, got);
        for (size_t i = 0; i < n; ++i) {
          ASSERT_EQ(got[i], serial.Combine(a[i], b[i], 4)) << x << " " << y << " " << i;
        }
      }
    }
  }
}

TEST(CombineJob, OverlapsWithOtherWorkAndThrowsLikeTheBatch) {
  const size_t n = 200000;
  Codec codec;
  std::vector<uint32_t> a(n, (5u << 16) | (1u << 29)), b(n, 7u << 16), out(n), expect(n);
  codec.CombineBatch(a, b, 1, expect);
  {
    CombineJob job(codec, a, b, 1, out);
    job.Wait();
  }
  EXPECT_EQ(out, expect);
  b[n - 3] = 0x0FFF0000u;  // pair data beyond 512 in the last chunk
  CombineJob bad(codec, a, b, 1, out);
  EXPECT_THROW(bad.Wait(), std::invalid_argument);
  std::vector<uint32_t> shorter(n - 1);
  EXPECT_THROW(CombineJob(codec, a, shorter, 1, out), std::invalid_argument);
}

int64_t ReferenceHash(int64_t x) {
  constexpr uint64_t kModulus = (uint64_t{1} << 61) - 1;
  const bool negative = x < 0;
  const uint64_t magnitude = negative ? (~static_cast<uint64_t>(x) + 1u) : static_cast<uint64_t>(x);
  int64_t h = static_cast<int64_t>(magnitude % kModulus);
  if (negative) h = -h;
  return h == -1 ? -2 : h;
}

TEST(PythonIntHash, MatchesTheReductionAroundTheModulus) {
  constexpr int64_t m = (int64_t{1} << 61) - 1;
  for (int64_t x : {int64_t{0}, int64_t{1}, int64_t{-1}, int64_t{-2}, m - 1, m, m + 1, -m + 1, -m,
                    -m - 1, INT64_MAX, INT64_MIN, INT64_MIN + 1}) {
    EXPECT_EQ(PythonIntHash(x), ReferenceHash(x)) << x;
  }
  EXPECT_EQ(PythonIntHash(-1), -2);
  EXPECT_EQ(PythonIntHash(m), 0);
}

}  // namespace
}  // namespace lumarq
