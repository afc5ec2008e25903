#include "lumarq/id_map.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <unordered_map>

namespace lumarq {
namespace {

// Random inserts and removals against std::unordered_map: ids dense enough to share pages and
// sparse enough to empty and free them, negative ids included.
TEST(IdMap, AgreesWithAReferenceMapUnderInsertsAndRemovals) {
  for (int64_t span : {int64_t{40}, int64_t{5000}, int64_t{1} << 22}) {
    std::mt19937_64 rng(static_cast<uint64_t>(span));
    IdMap<std::unique_ptr<int64_t>> map;
    std::unordered_map<int64_t, int64_t> ref;
    for (int step = 0; step < 100000; ++step) {
      const int64_t id = static_cast<int64_t>(rng() % static_cast<uint64_t>(span)) - span / 2;
      if (rng() % 3 == 0) {
        auto taken = map.Take(id);
        auto it = ref.find(id);
        ASSERT_EQ(taken.has_value(), it != ref.end()) << id;
        if (taken) {
          EXPECT_EQ(**taken, it->second);
          ref.erase(it);
        }
      } else {
        auto [value, added] = map.Emplace(id, std::make_unique<int64_t>(step));
        auto [it, ref_added] = ref.emplace(id, step);
        ASSERT_EQ(added, ref_added) << id;
        EXPECT_EQ(**value, it->second);  // an existing value is kept
      }
      ASSERT_EQ(map.size(), ref.size());
    }
    for (auto& [id, v] : ref) {
      auto* found = map.Find(id);
      ASSERT_NE(found, nullptr) << id;
      EXPECT_EQ(**found, v);
    }
    size_t seen = 0;
    map.ForEach([&](int64_t id, std::unique_ptr<int64_t>& v) {
      ++seen;
      EXPECT_EQ(*v, ref.at(id));
    });
    EXPECT_EQ(seen, ref.size());
    IdMap<std::unique_ptr<int64_t>> moved = std::move(map);
    EXPECT_EQ(map.size(), 0u);
    EXPECT_EQ(map.Find(ref.empty() ? 0 : ref.begin()->first), nullptr);
    EXPECT_EQ(moved.size(), ref.size());
  }
}

}  // namespace
}  // namespace lumarq
