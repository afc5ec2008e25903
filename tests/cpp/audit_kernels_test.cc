#include "lumarq/audit_kernels.h"

#include <gtest/gtest.h>

#include <vector>

namespace lumarq {
namespace {

/// A word of one source pair, which keeps its 8-bit entity and chain fields as given.
uint32_t OnePair(Codec& c, uint32_t pair, uint32_t entity, uint32_t chain, bool taint, uint32_t depth) {
  PairSet pairs;
  pairs.Add(pair);
  return c.Encode(pairs, entity, chain, taint, depth);
}

// Distinct words counted in order of first appearance, past the table's first growth.
TEST(WordCounts, CountsInOrderOfFirstAppearance) {
  WordCounts c;
  std::vector<uint32_t> words;
  for (uint32_t i = 0; i < 5000; ++i) words.push_back((i * 7919u) % 1500u);
  c.AddAll(words);
  ASSERT_EQ(c.words().size(), 1500u);
  EXPECT_EQ(c.words()[0], 0u);
  EXPECT_EQ(c.words()[1], 7919u % 1500u);
  uint64_t total = 0;
  for (uint64_t n : c.counts()) total += n;
  EXPECT_EQ(total, 5000u);
  EXPECT_EQ(c.counts()[0], 4u);  // 0, 1500, 3000, 4500 of the i * 7919 residues
}

TEST(Audit, DiversityAndEntropyOfAColumn) {
  Codec c;
  const uint32_t a = OnePair(c, 1, 10, 20, false, 0);
  const uint32_t b = OnePair(c, 2, 11, 20, true, 3);
  const uint32_t d = OnePair(c, 7, 10, 21, true, 1);
  const std::vector<uint32_t> column{a, b, a, d, b, a, a, d};
  const Diversity div = DiversityOf(c, column);
  EXPECT_EQ(div.unique, 3u);
  EXPECT_EQ(div.pairs, 3u);
  EXPECT_EQ(div.entities, 2u);
  EXPECT_EQ(div.chains, 2u);
  EXPECT_EQ(div.tainted, 2u);
  EXPECT_EQ(div.max_depth, 3u);
  // 4/8, 2/8, 2/8: 0.5 + 0.5 + 0.5 bits, exactly.
  EXPECT_EQ(WordEntropy(column), 1.5);
  EXPECT_EQ(WordEntropy({}), 0.0);
  EXPECT_EQ(EntropyOf(std::vector<uint64_t>{0, 3}, 3), 0.0);
}

// Only flagged words count, whatever their own taint bit; none flagged gives one past kMaxDepth.
TEST(Audit, MinFlaggedDepthReadsFlaggedWordsOnly) {
  Codec c;
  const std::vector<uint32_t> words{OnePair(c, 1, 0, 0, true, 5), OnePair(c, 2, 0, 0, false, 0),
                                    OnePair(c, 3, 0, 0, true, 2), OnePair(c, 4, 0, 0, true, 7)};
  const bool flags[] = {true, false, true, true};
  EXPECT_EQ(MinFlaggedDepth(words.data(), flags, words.size()), 2u);
  const bool none[] = {false, false, false, false};
  EXPECT_EQ(MinFlaggedDepth(words.data(), none, words.size()), kMaxDepth + 1);
  EXPECT_EQ(MinFlaggedDepth(words.data(), flags, 0), kMaxDepth + 1);
  const bool unmarked_shallow[] = {true, true, false, false};  // depth 0 of an untainted word
  EXPECT_EQ(MinFlaggedDepth(words.data(), unmarked_shallow, 2), 0u);
}

}  // namespace
}  // namespace lumarq
