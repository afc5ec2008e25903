#include <gtest/gtest.h>

#include <span>
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

// Large columns take the streaming path; at every alignment of the output each word must equal
// the word the same entity gets in a column of one.
TEST(EncodeSourceColumn, LargeColumnsMatchWordByWordAtEveryAlignment) {
  const size_t n = (size_t{1} << 18) + 7;
  std::vector<uint32_t> entities(n);
  for (size_t i = 0; i < n; ++i) entities[i] = static_cast<uint32_t>(i * 2654435761u);
  for (bool taint : {false, true}) {
    for (size_t offset = 0; offset < 4; ++offset) {
      std::vector<uint32_t> storage(n + offset, 0xFFFFFFFFu);
      std::span<uint32_t> out(storage.data() + offset, n);
      EncodeSourceColumn(41, entities, taint, out);
      for (size_t i = 0; i < n; i += (i < 64 || i + 64 > n) ? 1 : 997) {
        uint32_t one = 0;
        EncodeSourceColumn(41, std::span<const uint32_t>(&entities[i], 1), taint, {&one, 1});
        ASSERT_EQ(out[i], one) << "row " << i << " offset " << offset << " taint " << taint;
      }
      for (size_t k = 0; k < offset; ++k) EXPECT_EQ(storage[k], 0xFFFFFFFFu);
    }
  }
}

}  // namespace
}  // namespace lumarq
