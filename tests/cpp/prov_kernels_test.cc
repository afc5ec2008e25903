#include "lumarq/prov_kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

namespace lumarq {
namespace {

// A source word of pair `id` and entity `e`, as a tracked column holds it.
uint32_t Source(Codec& c, uint32_t id, uint32_t e, bool taint = false) {
  PairSet p;
  p.Add(id);
  return c.Encode(p, e, 0, taint, 0);
}

TEST(TakeWords, FillsMinusOneWithZeroAndWrapsWithoutFill) {
  const std::vector<uint32_t> words = {10, 20, 30};
  const std::vector<int64_t> idx = {2, -1, 0};
  std::vector<uint32_t> out(3);
  TakeWords(words, idx, true, out);
  EXPECT_EQ(out, (std::vector<uint32_t>{30, 0, 10}));
  TakeWords(words, idx, false, out);
  EXPECT_EQ(out, (std::vector<uint32_t>{30, 30, 10}));
}

TEST(TakeWords, RefusesIndicesOutOfBounds) {
  const std::vector<uint32_t> words = {10, 20};
  std::vector<uint32_t> out(1);
  for (int64_t bad : {2, 7}) {
    const std::vector<int64_t> idx = {bad};
    EXPECT_THROW(TakeWords(words, idx, true, out), std::out_of_range);
    EXPECT_THROW(TakeWords(words, idx, false, out), std::out_of_range);
  }
  const std::vector<int64_t> below = {-3};
  EXPECT_THROW(TakeWords(words, below, false, out), std::out_of_range);
  EXPECT_THROW(TakeWords(words, below, true, out), std::invalid_argument);
  const std::vector<uint32_t> empty;
  const std::vector<int64_t> fill = {-1};
  TakeWords(empty, fill, true, out);  // every row missing: allowed on an empty array
  EXPECT_EQ(out[0], 0u);
}

TEST(ConcatWords, KeepsOrderAndEmptyParts) {
  const std::vector<uint32_t> a = {1, 2}, b, c = {3};
  const std::vector<std::span<const uint32_t>> parts = {a, b, c};
  std::vector<uint32_t> out(3);
  ConcatWords(parts, out);
  EXPECT_EQ(out, (std::vector<uint32_t>{1, 2, 3}));
}

TEST(GroupCombine, UnitesPairsOfEachGroupOnly) {
  Codec c;
  // Five pairs in group 0 land in the dense dictionary; group 1 has one member, group 2 none.
  std::vector<uint32_t> words;
  std::vector<int64_t> ids;
  for (uint32_t p = 0; p < 5; ++p) {
    words.push_back(Source(c, p, p, p == 3));
    ids.push_back(0);
  }
  words.push_back(Source(c, 9, 1));
  ids.push_back(1);
  words.push_back(Source(c, 7, 1));
  ids.push_back(-1);  // belongs to no group
  std::vector<uint32_t> out(3);
  GroupCombine(c, words, ids, 11, out);

  const Decoded g0 = c.Decode(out[0]);
  EXPECT_EQ(g0.pairs.Ids(), (std::vector<uint32_t>{0, 1, 2, 3, 4}));
  EXPECT_TRUE(g0.taint);
  EXPECT_EQ(g0.depth, 1u);
  EXPECT_EQ(out[1], Codec::UpdateChain(words[5], 11));
  EXPECT_FALSE(TaintOf(out[1]));
  EXPECT_EQ(out[2], 0u);
}

// Rows in group order, a fold per group, and rows ordered by group first (many groups): each
// group gets what it gets alone, multi-pair member words included.
TEST(GroupCombine, EveryPathGivesEachGroupItsOwnCombination) {
  Codec c;
  uint64_t x = 99;
  auto next = [&x](uint64_t mod) {
    x = x * 6364136223846793005ULL + 1442695040888963407ULL;
    return (x >> 33) % mod;
  };
  for (const size_t groups : {size_t{40}, (size_t{1} << 16) + 5}) {
    // runs: rows repeat the word before them (decoded words are then reused)
    for (const auto& [in_order, runs] : {std::pair{true, false}, std::pair{false, false},
                                         std::pair{true, true}, std::pair{false, true}}) {
      std::vector<int64_t> ids;
      std::vector<uint32_t> words;
      for (int i = 0; i < 3000; ++i) {
        ids.push_back(static_cast<int64_t>(next(groups + 1)) - 1);
        uint32_t w = Source(c, static_cast<uint32_t>(next(30)), static_cast<uint32_t>(next(5)),
                            next(7) == 0);
        if (next(4) == 0) {  // a member that is itself a combination of two or three pairs
          const std::vector<uint32_t> parts{w, Source(c, static_cast<uint32_t>(next(30)), 1),
                                            Source(c, static_cast<uint32_t>(next(30)), 2)};
          const std::vector<int64_t> one(next(2) + 2, 0);
          std::vector<uint32_t> combined(1);
          GroupCombine(c, std::span(parts).first(one.size()), one, 5, combined);
          w = combined[0];
        }
        if (runs && !words.empty() && next(3) != 0) w = words.back();
        words.push_back(w);
      }
      if (in_order) std::sort(ids.begin(), ids.end());
      std::vector<uint32_t> out(groups);
      GroupCombine(c, words, ids, 11, out);
      std::vector<std::vector<uint32_t>> members(groups);
      for (size_t i = 0; i < ids.size(); ++i) {
        if (ids[i] >= 0) members[static_cast<size_t>(ids[i])].push_back(words[i]);
      }
      for (size_t g = 0; g < groups; ++g) {
        std::vector<uint32_t> alone(1);
        GroupCombine(c, members[g], std::vector<int64_t>(members[g].size(), 0), 11, alone);
        ASSERT_EQ(out[g], alone[0]) << "group " << g << " of " << groups;
      }
    }
  }
}

TEST(GroupCombine, TwoMembersMatchPairwiseCombine) {
  Codec c;
  const std::vector<uint32_t> words = {Source(c, 1, 5), Source(c, 2, 6, true)};
  const std::vector<int64_t> ids = {0, 0};
  std::vector<uint32_t> out(1);
  GroupCombine(c, words, ids, 11, out);
  EXPECT_EQ(out[0], c.Combine(words[0], words[1], 11));
}

TEST(GroupCombine, DepthIsOneDeeperThanTheDeepestMemberOnce) {
  Codec c;
  const uint32_t deep = Codec::UpdateChain(Codec::UpdateChain(Source(c, 1, 0), 1), 1);
  const std::vector<uint32_t> words = {Source(c, 0, 0), deep, Source(c, 2, 0)};
  const std::vector<int64_t> ids = {0, 0, 0};
  std::vector<uint32_t> out(1);
  GroupCombine(c, words, ids, 11, out);
  EXPECT_EQ(DepthOf(out[0]), 3u);
}

TEST(GroupCombine, RefusesBadIdsAndWords) {
  Codec c;
  const std::vector<uint32_t> words = {Source(c, 0, 0)};
  std::vector<uint32_t> out(1);
  const std::vector<int64_t> beyond = {1};
  EXPECT_THROW(GroupCombine(c, words, beyond, 11, out), std::out_of_range);
  const std::vector<int64_t> two = {0, 0};
  EXPECT_THROW(GroupCombine(c, words, two, 11, out), std::invalid_argument);
  const std::vector<uint32_t> garbage = {0xC0000000u | 12345u};  // unknown dense signature
  const std::vector<int64_t> zero = {0};
  EXPECT_THROW(GroupCombine(c, garbage, zero, 11, out), std::invalid_argument);
}

TEST(WindowCombine, CombinesTheTrailingWindow) {
  Codec c;
  const std::vector<uint32_t> words = {Source(c, 0, 0), Source(c, 1, 0), Source(c, 2, 0),
                                       Source(c, 3, 0)};
  std::vector<uint32_t> out(4);
  WindowCombine(c, words, 2, 11, out);
  EXPECT_EQ(out[0], Codec::UpdateChain(words[0], 11));
  for (size_t i = 1; i < 4; ++i) {
    EXPECT_EQ(c.Decode(out[i]).pairs.Ids(),
              (std::vector<uint32_t>{static_cast<uint32_t>(i - 1), static_cast<uint32_t>(i)}));
  }
  EXPECT_THROW(WindowCombine(c, words, 0, 11, out), std::invalid_argument);
}

// The running combination of the first rows against a fold per row: windows shorter than,
// equal to and longer than the rows, over mixed plain and dense words.
TEST(WindowCombine, RunningRowsMatchAFoldPerRow) {
  Codec c;
  std::vector<uint32_t> words;
  for (uint32_t i = 0; i < 40; ++i) {
    PairSet pairs;
    pairs.Add(i % 7);
    if (i % 3 == 0) pairs.Add(20 + i % 5);
    words.push_back(c.Encode(pairs, i & 255u, (i * 7) & 255u, i % 11 == 0, i % 4));
  }
  for (size_t window : {size_t{1}, size_t{5}, size_t{40}, size_t{1000}}) {
    std::vector<uint32_t> got(words.size()), one(1);
    WindowCombine(c, words, window, 11, got);
    for (size_t i = 0; i < words.size(); ++i) {
      const size_t from = i + 1 > window ? i + 1 - window : 0;
      std::vector<uint32_t> part(words.begin() + static_cast<std::ptrdiff_t>(from),
                                 words.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      std::vector<int64_t> ids(part.size(), 0);
      GroupCombine(c, part, ids, 11, one);
      EXPECT_EQ(got[i], one[0]) << "window " << window << " row " << i;
    }
  }
}

// n words of one to three pairs (four or more in dense mode where they meet), sources among
// them, with mixed taint, entity, chain and depth.
std::vector<uint32_t> MixedWords(Codec& c, uint32_t n) {
  std::vector<uint32_t> words;
  for (uint32_t i = 0; i < n; ++i) {
    PairSet pairs;
    pairs.Add(i % 5);
    if (i % 4 == 0) pairs.Add(30 + i % 3);
    if (i % 9 == 0) pairs.Add(50 + i % 3);
    words.push_back(i % 6 == 0 ? Source(c, i % 9, i & 255u, i % 13 == 0)
                               : c.Encode(pairs, i * 3 & 255u, i * 7 & 255u, i % 11 == 0, i % 8));
  }
  return words;
}

// Windows of pandas' shapes (trailing, centred, expanding, per group, empty) against a fold of
// each window: pairs, taint, entity and depth as GroupCombine gives them; the chain the same
// whether the windows slide forward or come in reverse order (each one counted afresh).
TEST(RangeCombine, MatchesAFoldPerWindowInAnyOrder) {
  Codec c;
  const std::vector<uint32_t> words = MixedWords(c, 60);
  std::vector<int64_t> starts, ends;
  for (int64_t i = 0; i < 60; ++i) {  // trailing windows of 4, then centred windows of 5
    starts.push_back(std::max<int64_t>(0, i - 3));
    ends.push_back(i + 1);
  }
  for (int64_t i = 0; i < 60; ++i) {
    starts.push_back(std::max<int64_t>(0, i - 2));
    ends.push_back(std::min<int64_t>(60, i + 3));
  }
  for (int64_t i = 0; i < 60; ++i) {  // expanding within groups of 13 rows, and empty windows
    starts.push_back(i - i % 13);
    ends.push_back(i % 7 == 0 ? i - i % 13 : i + 1);
  }
  std::vector<uint32_t> got(starts.size()), back(starts.size()), one(1);
  RangeCombine(c, words, starts, ends, 11, got);
  std::vector<int64_t> rs(starts.rbegin(), starts.rend()), re(ends.rbegin(), ends.rend());
  RangeCombine(c, words, rs, re, 11, back);
  for (size_t k = 0; k < starts.size(); ++k) {
    EXPECT_EQ(got[k], back[starts.size() - 1 - k]) << "window " << k;
    const auto s = static_cast<size_t>(starts[k]), e = static_cast<size_t>(ends[k]);
    if (s >= e) {
      EXPECT_EQ(got[k], 0u);
      continue;
    }
    std::vector<uint32_t> part(words.begin() + static_cast<std::ptrdiff_t>(s),
                               words.begin() + static_cast<std::ptrdiff_t>(e));
    std::vector<int64_t> ids(part.size(), 0);
    GroupCombine(c, part, ids, 11, one);
    if (e - s == 1) {
      EXPECT_EQ(got[k], one[0]) << "window " << k;
      continue;
    }
    const Decoded want = c.Decode(one[0]), have = c.Decode(got[k]);
    EXPECT_EQ(have.pairs.Ids(), want.pairs.Ids()) << "window " << k;
    EXPECT_EQ(have.taint, want.taint) << "window " << k;
    EXPECT_EQ(have.entity, want.entity) << "window " << k;
    EXPECT_EQ(have.depth, want.depth) << "window " << k;
  }
  // A key word joins a window as one more member; windows without one are unchanged.
  std::vector<uint32_t> extra(starts.size()), keyed(starts.size());
  for (size_t k = 0; k < extra.size(); k += 2) extra[k] = Source(c, static_cast<uint32_t>(40 + k % 3), 7, k % 4 == 0);
  RangeCombine(c, words, starts, ends, 11, keyed, extra);
  for (size_t k = 0; k < starts.size(); ++k) {
    if (extra[k] == 0 || starts[k] >= ends[k]) {
      EXPECT_EQ(keyed[k], got[k]) << "window " << k;
      continue;
    }
    std::vector<uint32_t> part(words.begin() + static_cast<std::ptrdiff_t>(starts[k]),
                               words.begin() + static_cast<std::ptrdiff_t>(ends[k]));
    part.push_back(extra[k]);
    std::vector<int64_t> ids(part.size(), 0);
    GroupCombine(c, part, ids, 11, one);
    const Decoded want = c.Decode(one[0]), have = c.Decode(keyed[k]);
    EXPECT_EQ(have.pairs.Ids(), want.pairs.Ids()) << "window " << k;
    EXPECT_EQ(have.taint, want.taint) << "window " << k;
    EXPECT_EQ(have.entity, want.entity) << "window " << k;
    EXPECT_EQ(have.depth, want.depth) << "window " << k;
  }
  std::vector<int64_t> bad = {0, 61};
  std::vector<uint32_t> two(2);
  EXPECT_THROW(RangeCombine(c, words, bad, bad, 11, two), std::out_of_range);
  EXPECT_THROW(RangeCombine(c, words, bad, std::vector<int64_t>{1}, 11, two),
               std::invalid_argument);
}

// One pass in row order against RangeCombine of each row's group prefix with the key as extra
// member, over mixed modes, groups with and without a key word, and rows in no group.
TEST(GroupRunningCombine, MatchesTheGroupPrefixWindow) {
  Codec c;
  const std::vector<uint32_t> words = MixedWords(c, 90);
  std::vector<int64_t> ids;
  for (int64_t i = 0; i < 90; ++i) ids.push_back(i % 11 == 0 ? -1 : i % 4);
  const std::vector<uint32_t> keys = {0, Source(c, 60, 1), Source(c, 61, 2, true), 0};
  std::vector<uint32_t> got(words.size()), one(1);
  GroupRunningCombine(c, words, ids, keys, 11, got);
  for (size_t i = 0; i < words.size(); ++i) {
    if (ids[i] < 0) {
      EXPECT_EQ(got[i], Codec::UpdateChain(words[i], 11)) << "row " << i;
      continue;
    }
    std::vector<uint32_t> prefix;
    for (size_t j = 0; j <= i; ++j) {
      if (ids[j] == ids[i]) prefix.push_back(words[j]);
    }
    const std::vector<int64_t> s = {0}, e = {static_cast<int64_t>(prefix.size())};
    const std::vector<uint32_t> extra = {keys[static_cast<size_t>(ids[i])]};
    RangeCombine(c, prefix, s, e, 11, one, extra);
    EXPECT_EQ(got[i], one[0]) << "row " << i;
  }
  const std::vector<int64_t> bad(words.size(), 4);
  EXPECT_THROW(GroupRunningCombine(c, words, bad, keys, 11, got), std::out_of_range);
}

// Against the obvious per-group scan, over values close together (the table) and far apart
// (the map), with rows outside every group.
TEST(DistinctGroupMembers, MatchesAPerGroupScan) {
  for (const int64_t spread : {int64_t{7}, int64_t{1} << 40}) {
    std::vector<int64_t> ids, values;
    uint64_t x = 12345;
    for (int i = 0; i < 3000; ++i) {
      x = x * 6364136223846793005ULL + 1442695040888963407ULL;
      ids.push_back(static_cast<int64_t>((x >> 33) % 41) - 1);  // -1 .. 39 of 40 groups
      values.push_back((x >> 20) % 13 == 0 ? -1 : static_cast<int64_t>((x >> 40) % 60) * spread);
    }
    std::vector<int64_t> offsets, members;
    DistinctGroupMembers(ids, values, 40, &offsets, &members);
    ASSERT_EQ(offsets.size(), 41u);
    for (int64_t g = 0; g < 40; ++g) {
      std::vector<int64_t> want;
      for (size_t i = 0; i < ids.size(); ++i) {
        if (ids[i] == g && values[i] >= 0 &&
            std::find(want.begin(), want.end(), values[i]) == want.end()) {
          want.push_back(values[i]);
        }
      }
      EXPECT_EQ(std::vector<int64_t>(members.begin() + offsets[g], members.begin() + offsets[g + 1]),
                want);
    }
  }
  std::vector<int64_t> offsets, members;
  const std::vector<int64_t> ids{0, 2}, values{5, 6};
  EXPECT_THROW(DistinctGroupMembers(ids, values, 2, &offsets, &members), std::out_of_range);
  EXPECT_THROW(DistinctGroupMembers(ids, std::vector<int64_t>{5}, 3, &offsets, &members),
               std::invalid_argument);
}

TEST(SamePairs, IgnoresEntityChainAndDepthButNotPairsTaintOrSkippedWords) {
  Codec c;
  const uint32_t a = Source(c, 4, 1), a_other = Source(c, 4, 200);
  const uint32_t a_deeper = Codec::UpdateChain(a, 3), b = Source(c, 5, 1);
  struct Case {
    std::vector<uint32_t> words;
    int64_t stride;
    bool same;
  };
  const Case cases[] = {
      {{}, 1, true},
      {{a, a_other, a_deeper}, 1, true},
      {{a, b}, 1, false},
      {{a, Source(c, 4, 1, true)}, 1, false},
      {{a, c.Combine(a, b, 1)}, 1, false},  // another mode
      {{a, b, a_other, b, a_deeper}, 2, true},  // only every other word is read
      {{a, a, b}, 2, false},
  };
  for (const Case& k : cases) {
    const StridedWords w{k.words.data(), k.stride,
                         (k.words.size() + static_cast<size_t>(k.stride) - 1) /
                             static_cast<size_t>(k.stride)};
    EXPECT_EQ(SamePairs(w), k.same) << k.words.size() << " words, stride " << k.stride;
  }
}

TEST(UnionWord, UnitesPairsAndTaintAtTheGreatestDepthWithoutDeepening) {
  Codec c;
  const uint32_t deep = Codec::UpdateChain(Codec::UpdateChain(Source(c, 2, 9, true), 1), 1);
  const std::vector<uint32_t> x = {Source(c, 1, 3), Source(c, 1, 4)}, y = {deep, Source(c, 7, 0)};
  const std::vector<StridedWords> cols = {{x.data(), 1, x.size()}, {y.data(), 1, y.size()}};
  const Decoded d = c.Decode(UnionWord(c, cols, x[0]));
  EXPECT_EQ(d.pairs.Ids(), (std::vector<uint32_t>{1, 2, 7}));
  EXPECT_TRUE(d.taint);
  EXPECT_EQ(d.depth, 2u);
  // One source alone keeps the first word's entity and chain.
  EXPECT_EQ(UnionWord(c, std::span(cols).first(1), x[1]), x[1]);
}

// The row-by-row union reuses a word while rows repeat their keys; every row must still get
// exactly what its own union gives.
TEST(UnionRows, EveryRowMatchesItsOwnUnion) {
  Codec c;
  const uint32_t three = c.Combine(c.Combine(Source(c, 1, 0), Source(c, 2, 0), 1), Source(c, 3, 0), 1);
  std::vector<uint32_t> a, b;
  for (uint32_t i = 0; i < 40; ++i) {
    // Runs of equal keys whose depth, entity or taint changes within the run.
    const uint32_t depth_steps = (i / 3) % 3;
    uint32_t w = i < 20 ? three : Source(c, 5, i % 7, i % 11 == 0);
    for (uint32_t s = 0; s < depth_steps; ++s) w = Codec::UpdateChain(w, 2);
    a.push_back(w);
    b.push_back(i % 10 < 5 ? Source(c, 8, i) : Source(c, 9, 2));
  }
  std::vector<uint32_t> storage(2 * a.size());  // b strided, interleaved with junk
  for (size_t i = 0; i < b.size(); ++i) storage[2 * i] = b[i];
  const std::vector<StridedWords> cols = {{a.data(), 1, a.size()}, {storage.data(), 2, b.size()}};
  std::vector<uint32_t> out(a.size());
  UnionRows(c, cols, 11, out);
  for (size_t i = 0; i < a.size(); ++i) {
    const std::vector<StridedWords> row = {{&a[i], 1, 1}, {&b[i], 1, 1}};
    ASSERT_EQ(out[i], Codec::UpdateChain(UnionWord(c, row, a[i]), 11)) << "row " << i;
  }
}

}  // namespace
}  // namespace lumarq
