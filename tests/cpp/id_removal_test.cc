#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "lumarq/id_removal.h"

namespace lumarq {
namespace {

// An index list item: an id, or nullopt for an item no id equals.
using Item = std::optional<int64_t>;

struct Case {
  const char* name;
  std::vector<Item> items;
  std::vector<int64_t> want;
  std::vector<Item> left;  // the list after removal
  size_t read;             // items read before every wanted id was found
};

// Each wanted id removes its first occurrence only (repeats in `want` remove repeats), ids not
// present remove nothing, and reading stops at the last one found.
TEST(IdRemoval, RemovesFirstOccurrencesFromTheFront) {
  const std::vector<Case> cases = {
      {"oldest at the front", {1, 2, 3, 4}, {1, 2}, {3, 4}, 2},
      {"out of order", {5, 1, 7, 1, 9}, {7, 1}, {5, 1, 9}, 3},
      {"repeated id", {4, 4, 6, 4}, {4, 4}, {6, 4}, 2},
      {"absent id reads everything", {1, 2}, {3}, {1, 2}, 2},
      {"items no id equals stay", {std::nullopt, 8, std::nullopt, 9}, {9}, {std::nullopt, 8, std::nullopt}, 4},
      {"nothing wanted", {1, 2}, {}, {1, 2}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Item> items = c.items;
    auto id_at = [&](size_t i, int64_t* id) {
      if (!items[i]) return IdItem::kOther;
      *id = *items[i];
      return IdItem::kId;
    };
    std::vector<char> drop;
    ASSERT_TRUE(FlagFirstOccurrences(c.want, items.size(), id_at, &drop));
    EXPECT_EQ(drop.size(), c.read);
    std::vector<Item> removed;
    items.resize(RemoveFlagged(items.data(), items.size(), drop, &removed));
    EXPECT_EQ(items, c.left);
    EXPECT_EQ(removed.size(), c.items.size() - c.left.size());
  }
}

// An item only the caller can compare fails the flagging when it is reached, not before.
TEST(IdRemoval, StopsAtItemsTheCallerMustCompare) {
  const std::vector<int64_t> items = {1, 2, -1, 3};  // -1 stands for such an item
  auto id_at = [&](size_t i, int64_t* id) {
    *id = items[i];
    return items[i] < 0 ? IdItem::kStop : IdItem::kId;
  };
  std::vector<char> drop;
  const std::vector<int64_t> front = {2}, past = {3};
  EXPECT_TRUE(FlagFirstOccurrences(front, items.size(), id_at, &drop));
  EXPECT_EQ(drop, (std::vector<char>{0, 1}));
  EXPECT_FALSE(FlagFirstOccurrences(past, items.size(), id_at, &drop));
}

}  // namespace
}  // namespace lumarq
