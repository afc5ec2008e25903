#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "lumarq/id_index.h"

namespace lumarq {
namespace {

TEST(IdIndex, PagedAndMappedIdsAnswerAlike) {
  const int64_t begin = 1000, end = 1000 + 3 * 4096 + 5;
  IdIndex index(begin, end);
  // Page edges, both ends of the range, ids outside it on either side and the extremes.
  const std::vector<int64_t> ids = {begin,     begin + 4095, begin + 4096, end - 1, end,
                                    begin - 1, 0,            -5,           INT64_MIN, INT64_MAX};
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(index.Get(ids[i]), IdIndex::kAbsent) << ids[i];
    EXPECT_TRUE(index.Insert(ids[i], static_cast<uint32_t>(i))) << ids[i];
  }
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_FALSE(index.Insert(ids[i], 77)) << ids[i];  // the first position stays
    EXPECT_EQ(index.Get(ids[i]), i) << ids[i];
  }
  EXPECT_EQ(index.Get(begin + 1), IdIndex::kAbsent);  // a touched page's other slots
  EXPECT_EQ(index.Get(begin + 2 * 4096), IdIndex::kAbsent);  // an untouched page

  IdIndex empty(5, 5);  // an empty store: every id goes to the map
  EXPECT_TRUE(empty.Insert(5, 0));
  EXPECT_EQ(empty.Get(5), 0u);
}

}  // namespace
}  // namespace lumarq
