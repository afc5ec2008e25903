#include <gtest/gtest.h>

#include <random>
#include <set>
#include <thread>
#include <vector>

#include "lumarq/codec.h"
#include "lumarq/hash.h"

namespace lumarq {
namespace {

PairSet Set(std::initializer_list<uint32_t> ids) {
  PairSet s;
  for (uint32_t id : ids) s.Add(id);
  return s;
}

TEST(Layout, HeaderFieldsSitWhereDocumented) {
  Codec c;
  const uint32_t w = c.Encode(Set({0}), 0xAB, 0xCD, true, 5);
  EXPECT_EQ(w >> 30, 0u);
  EXPECT_EQ((w >> 29) & 1u, 1u);
  EXPECT_EQ((w >> 26) & 7u, 5u);
  EXPECT_EQ((w >> 16) & 1023u, 1u);  // pair id + 1
  EXPECT_EQ((w >> 8) & 255u, 0xABu);
  EXPECT_EQ(w & 255u, 0xCDu);
  EXPECT_EQ(c.Encode(PairSet{}, 0, 0, false, 0), 0u);
}

TEST(Layout, ModeFollowsPairCount) {
  Codec c;
  EXPECT_EQ(ModeOf(c.Encode(Set({7}), 0, 0, false, 0)), Mode::kExact01);
  EXPECT_EQ(ModeOf(c.Encode(Set({7, 9}), 0, 0, false, 0)), Mode::kExact2);
  EXPECT_EQ(ModeOf(c.Encode(Set({7, 9, 11}), 0, 0, false, 0)), Mode::kExact3);
  EXPECT_EQ(ModeOf(c.Encode(Set({7, 9, 11, 13}), 0, 0, false, 0)), Mode::kDense);
  EXPECT_STREQ(ModeName(0), "EXACT-0");
  EXPECT_STREQ(ModeName(0x00010000u), "EXACT-1");
  EXPECT_STREQ(ModeName(0x40000000u), "EXACT-2");
  EXPECT_STREQ(ModeName(0x80000000u), "EXACT-3");
  EXPECT_STREQ(ModeName(0xC0000000u), "DENSE");
}

TEST(Ranks, PairRankIsABijection) {
  uint32_t expected = 0;
  for (uint32_t b = 1; b < 512; ++b) {
    for (uint32_t a = 0; a < b; ++a, ++expected) {
      ASSERT_EQ(RankPair(a, b), expected);
      uint32_t x, y;
      UnrankPair(expected, &x, &y);
      ASSERT_EQ(x, a);
      ASSERT_EQ(y, b);
    }
  }
  EXPECT_EQ(expected, kPairRanks);
}

TEST(Ranks, TripleRankRoundTripsAtTheEdgesAndAtRandom) {
  std::vector<std::array<uint32_t, 3>> cases = {{0, 1, 2}, {0, 1, 511}, {509, 510, 511}, {0, 510, 511}};
  std::mt19937 rng(3);
  for (int i = 0; i < 100000; ++i) {
    std::set<uint32_t> s;
    while (s.size() < 3) s.insert(rng() % 512);
    auto it = s.begin();
    cases.push_back({*it, *std::next(it), *std::next(it, 2)});
  }
  for (const auto& [a, b, c] : cases) {
    const uint32_t r = RankTriple(a, b, c);
    ASSERT_LT(r, kTripleRanks);
    uint32_t x, y, z;
    UnrankTriple(r, &x, &y, &z);
    ASSERT_EQ(x, a);
    ASSERT_EQ(y, b);
    ASSERT_EQ(z, c);
  }
  EXPECT_EQ(RankTriple(509, 510, 511), kTripleRanks - 1);
}

struct RoundTripCase {
  std::vector<uint32_t> ids;
  uint32_t entity, chain, entity_width, chain_width;
};

class RoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTrip, DecodeGivesBackWhatTheModeHolds) {
  const RoundTripCase& p = GetParam();
  Codec c;
  PairSet s;
  for (uint32_t id : p.ids) s.Add(id);
  for (bool taint : {false, true}) {
    for (uint32_t depth = 0; depth <= 9; ++depth) {
      const uint32_t w = c.Encode(s, p.entity, p.chain, taint, depth);
      const Decoded d = c.Decode(w);
      EXPECT_EQ(d.pairs, s);
      EXPECT_EQ(d.pairs.Ids(), p.ids);
      EXPECT_EQ(d.entity, p.entity & LowMask(static_cast<int>(p.entity_width)));
      EXPECT_EQ(d.chain, p.chain & LowMask(static_cast<int>(p.chain_width)));
      EXPECT_EQ(d.taint, taint);
      EXPECT_EQ(d.depth, std::min<uint32_t>(depth, 7));
    }
  }
}

std::vector<uint32_t> Range(uint32_t n) {
  std::vector<uint32_t> v(n);
  for (uint32_t i = 0; i < n; ++i) v[i] = i;
  return v;
}

INSTANTIATE_TEST_SUITE_P(EveryMode, RoundTrip,
                         testing::Values(RoundTripCase{{}, 0x1FF, 0x3FF, 8, 8},
                                         RoundTripCase{{511}, 0xABC, 0xDEF, 8, 8},
                                         RoundTripCase{{0, 511}, 0xFF, 0xFF, 5, 4},
                                         RoundTripCase{{3, 200, 511}, 0xFF, 0xFF, 0, 0},
                                         RoundTripCase{{1, 2, 3, 4}, 0xFF, 0xFF, 0, 0},
                                         RoundTripCase{Range(512), 7, 7, 0, 0}));

TEST(Decode, RefusesWordsNoEncoderProduces) {
  Codec c;
  EXPECT_THROW(c.Decode((513u + 1u) << 16), std::invalid_argument);     // pair id 513
  EXPECT_THROW(c.Decode((1u << 30) | (kPairRanks << 9)), std::invalid_argument);
  EXPECT_THROW(c.Decode((2u << 30) | (kTripleRanks << 1)), std::invalid_argument);
  EXPECT_THROW(c.Decode(3u << 30), std::invalid_argument);  // no dense set interned yet
}

TEST(Algebra, CombineUnitesPairsXorsEntitiesOrsTaintAndDeepens) {
  Codec c;
  const uint32_t a = c.Encode(Set({1}), 0x0F, 3, false, 2);
  const uint32_t b = c.Encode(Set({4}), 0x1C, 9, true, 5);
  const Decoded d = c.Decode(c.Combine(a, b, 1));
  EXPECT_EQ(d.pairs, Set({1, 4}));
  EXPECT_EQ(d.entity, (0x0Fu ^ 0x1Cu) & 31u);
  EXPECT_EQ(d.chain, MixChain2(3, 9, 1) & 15u);
  EXPECT_TRUE(d.taint);
  EXPECT_EQ(d.depth, 6u);
}

TEST(Algebra, SameSourceStaysSinglePairAndNoPairIsNeutralForPairs) {
  Codec c;
  const uint32_t a = c.Encode(Set({5}), 1, 0, false, 0);
  const uint32_t b = c.Encode(Set({5}), 2, 0, false, 0);
  EXPECT_EQ(c.Decode(c.Combine(a, b, 1)).pairs, Set({5}));
  EXPECT_EQ(c.Decode(c.Combine(0, b, 1)).pairs, Set({5}));
  EXPECT_EQ(c.Decode(c.Combine(0, 0, 1)).pairs, PairSet{});
}

TEST(Algebra, ChainDependsOnOperandOrderAndOpCode) {
  Codec c;
  const uint32_t a = c.Encode(Set({1}), 0, 10, false, 0);
  const uint32_t b = c.Encode(Set({1}), 0, 200, false, 0);
  EXPECT_NE(c.Combine(a, b, 2), c.Combine(b, a, 2));
  EXPECT_NE(c.Combine(a, b, 1), c.Combine(a, b, 2));
}

TEST(Algebra, DepthSaturatesAtSevenForBinaryAndUnarySteps) {
  Codec c;
  uint32_t w = c.Encode(Set({1}), 0, 0, true, 0);
  for (int i = 0; i < 12; ++i) w = Codec::UpdateChain(w, 5);
  EXPECT_EQ(DepthOf(w), 7u);
  EXPECT_TRUE(TaintOf(w));
  EXPECT_EQ(DepthOf(c.Combine(w, w, 1)), 7u);
}

TEST(Algebra, UnaryStepKeepsPairsEntityAndTaint) {
  Codec c;
  for (auto ids : {std::vector<uint32_t>{}, {9}, {9, 10}, {9, 10, 11}, {9, 10, 11, 12}}) {
    PairSet s;
    for (uint32_t id : ids) s.Add(id);
    const uint32_t w = c.Encode(s, 0x13, 0x22, true, 3);
    const Decoded before = c.Decode(w), after = c.Decode(Codec::UpdateChain(w, 7));
    EXPECT_EQ(after.pairs, before.pairs);
    EXPECT_EQ(after.entity, before.entity);
    EXPECT_EQ(after.taint, before.taint);
    EXPECT_EQ(after.depth, before.depth + 1);
  }
}

TEST(Algebra, BatchMatchesScalarInEveryModeMix) {
  Codec c;
  std::vector<uint32_t> words = {0, c.Encode(Set({1}), 3, 4, false, 0), c.Encode(Set({2}), 5, 6, true, 1),
                                 c.Encode(Set({1, 2}), 7, 8, false, 2),
                                 c.Encode(Set({1, 2, 3}), 0, 0, true, 3),
                                 c.Encode(Set({1, 2, 3, 4}), 0, 0, false, 4)};
  std::vector<uint32_t> a, b;
  for (uint32_t x : words) {
    for (uint32_t y : words) {
      for (int rep = 0; rep < 1500; ++rep) {  // long enough to cross chunk boundaries
        a.push_back(x);
        b.push_back(y);
      }
    }
  }
  std::vector<uint32_t> out(a.size()), unary(a.size());
  c.CombineBatch(a, b, 3, out);
  Codec::UpdateChainBatch(a, 6, unary);
  for (size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(out[i], c.Combine(a[i], b[i], 3)) << i;
    ASSERT_EQ(unary[i], Codec::UpdateChain(a[i], 6)) << i;
  }
}

TEST(Algebra, BatchRefusesUnequalLengths) {
  Codec c;
  std::vector<uint32_t> a(3), b(2), out(3);
  EXPECT_THROW(c.CombineBatch(a, b, 1, out), std::invalid_argument);
}

TEST(Dense, DistinctSetsGetDistinctSequentialSignatures) {
  Codec c;
  const uint32_t w1 = c.Encode(Set({1, 2, 3, 4}), 0, 0, false, 0);
  const uint32_t w2 = c.Encode(Set({1, 2, 3, 5}), 0, 0, false, 0);
  const uint32_t w3 = c.Encode(Set({1, 2, 3, 4}), 9, 9, true, 6);
  EXPECT_EQ(w1 & kPayloadMask, 0u);
  EXPECT_EQ(w2 & kPayloadMask, 1u);
  EXPECT_EQ(w3 & kPayloadMask, 0u);
  EXPECT_EQ(c.dense().size(), 2u);
}

TEST(Dense, SetsReplayedInOrderRestoreEverySignature) {
  Codec c;
  const uint32_t w1 = c.Encode(Set({5, 6, 7, 8}), 0, 0, true, 2);
  const uint32_t w2 = c.Encode(Set({1, 2, 3, 4, 500}), 0, 0, false, 0);
  Codec restored;
  for (const PairSet& s : c.dense().Sets()) restored.dense().Intern(s);
  EXPECT_EQ(restored.Decode(w1).pairs, c.Decode(w1).pairs);
  EXPECT_EQ(restored.Decode(w2).pairs, c.Decode(w2).pairs);
  EXPECT_EQ(restored.Encode(Set({1, 2, 3, 4, 500}), 0, 0, false, 0), w2);
}

TEST(Dense, TableIsConsistentUnderConcurrentUse) {
  Codec c;
  constexpr int kThreads = 8, kSets = 509;
  std::vector<std::vector<uint32_t>> seen(kThreads, std::vector<uint32_t>(kSets));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kSets; ++i) {
        // Every thread interns the same sets, each in its own order.
        const int k = (i * (2 * t + 1)) % kSets;
        PairSet s = Set({0, 1, 2});
        s.Add(static_cast<uint32_t>(3 + k));
        seen[t][k] = c.Encode(s, 0, 0, false, 0);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[0]);
  std::set<uint32_t> distinct(seen[0].begin(), seen[0].end());
  EXPECT_EQ(c.dense().size(), distinct.size());
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kSets));
  for (uint32_t w : distinct) EXPECT_EQ(c.Decode(w).pairs.Count(), 4);
}

TEST(Hash, IntegerLabelsHashLikeTheInterpreter) {
  // Values of hash(x) on 64-bit CPython.
  EXPECT_EQ(PythonIntHash(0), 0);
  EXPECT_EQ(PythonIntHash(5), 5);
  EXPECT_EQ(PythonIntHash(-1), -2);
  EXPECT_EQ(PythonIntHash(-5), -5);
  EXPECT_EQ(PythonIntHash((int64_t{1} << 61) - 1), 0);
  EXPECT_EQ(PythonIntHash(int64_t{1} << 61), 1);
  EXPECT_EQ(PythonIntHash(INT64_MIN), -4);
  EXPECT_EQ(PythonUIntHash(UINT64_MAX), 7);
  EXPECT_EQ(EntityFromHash(-5), 4294967291u);
  std::vector<uint32_t> out(3);
  HashRangeLabels(-1, 1, 0xFFFFFFFFu, out);
  EXPECT_EQ(out, (std::vector<uint32_t>{4294967294u, 0u, 1u}));
}

TEST(Hash, LabelsOfEveryWidthAndStrideHashAsTheirValue) {
  std::vector<uint32_t> out(3);
  const int8_t small[] = {-1, 0, 5, 0, -128, 0};  // every other one read
  HashIntegerLabels(small, 2, 0xFFFFFFFFu, out);
  EXPECT_EQ(out, (std::vector<uint32_t>{4294967294u, 5u, 4294967168u}));
  const uint64_t big[] = {(uint64_t{1} << 61) + 3, UINT64_MAX, 42};
  HashIntegerLabels(big, 1, 0xFFu, out);
  EXPECT_EQ(out, (std::vector<uint32_t>{4u, 7u, 42u}));
  const int64_t wide[] = {INT64_MIN, -5, 300};
  HashIntLabels(wide, 0xFFu, out);
  EXPECT_EQ(out, (std::vector<uint32_t>{0xFCu, 0xFBu, 300u & 0xFFu}));
}

}  // namespace
}  // namespace lumarq
