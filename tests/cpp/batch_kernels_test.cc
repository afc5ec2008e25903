#include <gtest/gtest.h>

#include <vector>

#include "lumarq/codec.h"

namespace lumarq {
namespace {

TEST(RiskBatch, MatchesRiskOfForEveryHeaderAndIgnoresPayloadAndMode) {
  std::vector<uint32_t> words;
  for (uint32_t mode = 0; mode < 4; ++mode) {
    for (uint32_t header = 0; header < 16; ++header) {
      words.push_back((mode << kModeShift) | (header << kDepthShift) | (0x2AAAAAAu & kPayloadMask));
    }
  }
  std::vector<double> risk(words.size());
  RiskBatch(words, risk);
  for (size_t i = 0; i < words.size(); ++i) EXPECT_EQ(risk[i], RiskOf(words[i])) << i;
  EXPECT_EQ(risk[(1u << 3) | 7u], 0.125);  // tainted, depth 7
  EXPECT_EQ(risk[7], 0.0);                 // untainted, depth 7
}

}  // namespace
}  // namespace lumarq
