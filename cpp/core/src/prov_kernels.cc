#include "lumarq/prov_kernels.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lumarq/hash.h"

namespace lumarq {
namespace {

[[noreturn]] void OutOfRange(int64_t index, size_t size) {
  throw std::out_of_range("index " + std::to_string(index) + " is out of bounds for " +
                          std::to_string(size) + " rows");
}

// The second half of a stable counting sort of rows by group. On entry start[g + 1] counts the
// rows of group g (start has groups + 1 entries); on return group g's items are
// grouped[start[g] .. start[g + 1]), in row order. Rows with a negative id, or that `keep`
// refuses, belong to no group.
template <class T, class Keep, class Item>
void SortByGroup(std::span<const int64_t> ids, Keep keep, Item item, std::vector<int64_t>* start,
                 std::vector<T>* grouped) {
  const size_t groups = start->size() - 1;
  for (size_t g = 0; g < groups; ++g) (*start)[g + 1] += (*start)[g];
  grouped->resize(static_cast<size_t>((*start)[groups]));
  std::vector<int64_t> cursor(start->begin(), start->end() - 1);
  for (size_t i = 0; i < ids.size(); ++i) {
    if (ids[i] >= 0 && keep(i)) {
      (*grouped)[static_cast<size_t>(cursor[static_cast<size_t>(ids[i])]++)] = item(i);
    }
  }
}

// Decoded words of modes other than 00, looked up once each: a column repeats few distinct
// words, and decoding a dense word takes the dictionary's lock.
class DecodeCache {
 public:
  explicit DecodeCache(const Codec& codec) : codec_(codec) {}
  const Decoded& Get(uint32_t w) {
    // Runs of one word (a computed column's rows often share it) skip the lookup; the map's
    // entries never move, so the last one found stays valid.
    if (last_ != nullptr && w == last_word_) return *last_;
    auto it = cache_.find(w);
    if (it == cache_.end()) it = cache_.emplace(w, codec_.Decode(w)).first;
    last_word_ = w;
    last_ = &it->second;
    return *last_;
  }

 private:
  const Codec& codec_;
  std::unordered_map<uint32_t, Decoded> cache_;
  uint32_t last_word_ = 0;
  const Decoded* last_ = nullptr;
};

// A single-pair (or pairless) word whose fields a fold reads without decoding it.
bool PlainWord(uint32_t w) {
  return ModeOf(w) == Mode::kExact01 && ((w >> 16) & 1023u) <= static_cast<uint32_t>(kMaxPairs);
}

// The running n-ary combination of one group.
struct Fold {
  PairSet pairs;
  uint32_t entity = 0;
  uint32_t chain = 0;
  uint32_t depth = 0;
  uint32_t first = 0;
  uint32_t count = 0;
  bool taint = false;

  void Add(uint32_t w, DecodeCache& cache, uint32_t op) {
    uint32_t e, c;
    if (PlainWord(w)) {
      const uint32_t pd = (w >> 16) & 1023u;
      if (pd != 0) pairs.Add(pd - 1);
      e = (w >> 8) & 255u;
      c = w & 255u;
    } else {
      const Decoded& d = cache.Get(w);
      pairs.Union(d.pairs);
      e = d.entity;
      c = d.chain;
    }
    chain = count == 0 ? c : MixChain2(chain, c, op);
    if (count == 0) first = w;
    entity ^= e;
    taint = taint || TaintOf(w);
    depth = std::max(depth, DepthOf(w));
    count = count == 0xFFFFFFFFu ? count : count + 1;
  }

  uint32_t Finish(Codec& codec, uint32_t op) const {
    if (count == 0) return 0;
    if (count == 1) return Codec::UpdateChain(first, op);
    return codec.Encode(pairs, entity, chain, taint, NextDepth(depth));
  }
};

}  // namespace

void TakeWords(std::span<const uint32_t> words, std::span<const int64_t> indices, bool allow_fill,
               std::span<uint32_t> out) {
  if (out.size() != indices.size()) throw std::invalid_argument("take: output length differs");
  const auto n = static_cast<int64_t>(words.size());
  for (size_t i = 0; i < indices.size(); ++i) {
    int64_t k = indices[i];
    if (static_cast<uint64_t>(k) < static_cast<uint64_t>(n)) {
      out[i] = words[static_cast<size_t>(k)];
      continue;
    }
    if (k >= n) OutOfRange(k, words.size());
    if (allow_fill) {
      if (k != -1) {
        throw std::invalid_argument("take: indices below -1 with a fill: " + std::to_string(k));
      }
      out[i] = 0;
      continue;
    }
    if (k + n < 0) OutOfRange(k, words.size());
    out[i] = words[static_cast<size_t>(k + n)];
  }
}

void ConcatWords(std::span<const std::span<const uint32_t>> parts, std::span<uint32_t> out) {
  size_t total = 0;
  for (const auto& p : parts) total += p.size();
  if (total != out.size()) throw std::invalid_argument("concat: output length differs");
  uint32_t* dst = out.data();
  for (const auto& p : parts) {
    if (!p.empty()) std::memcpy(dst, p.data(), p.size() * sizeof(uint32_t));
    dst += p.size();
  }
}

void GroupCombine(Codec& codec, std::span<const uint32_t> words, std::span<const int64_t> ids,
                  uint32_t op, std::span<uint32_t> out) {
  if (words.size() != ids.size()) {
    throw std::invalid_argument("group_combine: words and group ids differ in length (" +
                                std::to_string(words.size()) + " and " +
                                std::to_string(ids.size()) + ")");
  }
  const size_t groups = out.size();
  DecodeCache cache(codec);
  // Bad ids and words are refused before any group is finished (finishing may add to the
  // codec's dense dictionary).
  // A fold per group while they fit in cache (about 6 MB of folds): one pass adds the rows,
  // checking them as it goes, since nothing is finished before every row is in.
  if (groups <= (size_t{1} << 16)) {
    std::vector<Fold> folds(groups);
    for (size_t i = 0; i < ids.size(); ++i) {
      const int64_t g = ids[i];
      if (g < 0) continue;
      if (static_cast<uint64_t>(g) >= groups) OutOfRange(g, groups);
      folds[static_cast<size_t>(g)].Add(words[i], cache, op);
    }
    for (size_t g = 0; g < groups; ++g) out[g] = folds[g].Finish(codec, op);
    return;
  }
  bool in_order = true;  // rows already come group by group (a merge's output rows do)
  int64_t last = -1;
  for (size_t i = 0; i < ids.size(); ++i) {
    const int64_t g = ids[i];
    if (g < 0) continue;
    if (static_cast<uint64_t>(g) >= groups) OutOfRange(g, groups);
    if (!PlainWord(words[i])) cache.Get(words[i]);
    in_order = in_order && g >= last;
    last = g;
  }
  // Every path adds a group's words in row order and finishes the groups in group order, so
  // dense signatures are handed out deterministically and alike.
  if (in_order) {
    size_t i = 0;
    for (size_t g = 0; g < groups; ++g) {
      Fold fold;
      for (; i < ids.size() && (ids[i] < 0 || static_cast<size_t>(ids[i]) == g); ++i) {
        if (ids[i] >= 0) fold.Add(words[i], cache, op);
      }
      out[g] = fold.Finish(codec, op);
    }
    return;
  }
  // Past that the rows are ordered by group first: 16 bytes a group and 4 a row instead of a
  // fold's 96 per group.
  std::vector<int64_t> start(groups + 1, 0);
  for (const int64_t g : ids) {
    if (g >= 0) ++start[static_cast<size_t>(g) + 1];
  }
  std::vector<uint32_t> grouped;
  SortByGroup(ids, [](size_t) { return true; }, [&](size_t i) { return words[i]; }, &start,
              &grouped);
  for (size_t g = 0; g < groups; ++g) {
    Fold fold;
    for (int64_t j = start[g]; j < start[g + 1]; ++j) fold.Add(grouped[static_cast<size_t>(j)], cache, op);
    out[g] = fold.Finish(codec, op);
  }
}

void DistinctGroupMembers(std::span<const int64_t> ids, std::span<const int64_t> values,
                          size_t ngroups, std::vector<int64_t>* offsets,
                          std::vector<int64_t>* members) {
  if (ids.size() != values.size()) {
    throw std::invalid_argument("group members: ids and values differ in length (" +
                                std::to_string(ids.size()) + " and " +
                                std::to_string(values.size()) + ")");
  }
  std::vector<int64_t> start(ngroups + 1, 0), grouped;
  int64_t lo = INT64_MAX, hi = -1;
  for (size_t i = 0; i < ids.size(); ++i) {
    const int64_t g = ids[i], v = values[i];
    if (g < 0 || v < 0) continue;
    if (static_cast<uint64_t>(g) >= ngroups) OutOfRange(g, ngroups);
    ++start[static_cast<size_t>(g) + 1];
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  SortByGroup(ids, [&](size_t i) { return values[i] >= 0; }, [&](size_t i) { return values[i]; },
              &start, &grouped);
  // The group (plus one) each value was last kept for: a table over the values' range when it
  // is not much wider than the rows (node ids mostly are), else a map.
  const bool dense = hi >= lo && static_cast<uint64_t>(hi - lo) < 4 * grouped.size() + 4096;
  std::vector<uint64_t> table(dense ? static_cast<size_t>(hi - lo) + 1 : 0);
  std::unordered_map<int64_t, uint64_t> map;
  offsets->assign(ngroups + 1, 0);
  members->clear();
  members->reserve(grouped.size());
  for (size_t g = 0; g < ngroups; ++g) {
    for (int64_t j = start[g]; j < start[g + 1]; ++j) {
      const int64_t v = grouped[static_cast<size_t>(j)];
      uint64_t& last = dense ? table[static_cast<size_t>(v - lo)] : map[v];
      if (last == g + 1) continue;
      last = g + 1;
      members->push_back(v);
    }
    (*offsets)[g + 1] = static_cast<int64_t>(members->size());
  }
}

void WindowCombine(Codec& codec, std::span<const uint32_t> words, size_t window, uint32_t op,
                   std::span<uint32_t> out) {
  if (window == 0) throw std::invalid_argument("window must be at least 1");
  if (out.size() != words.size()) throw std::invalid_argument("window: output length differs");
  DecodeCache cache(codec);
  // Rows whose window starts at row 0 extend one running fold (adding the same words in the
  // same order as a fresh one): a window as long as the rows (a cumulative operation) is linear.
  // Its pairs only grow, so the word they make with taint (entity, chain and depth 0) is encoded
  // again only when their count or the taint changes; the rest is ORed in as Encode places it.
  Fold running;
  uint32_t base = 0;
  int base_pairs = -1;
  bool base_taint = false;
  for (size_t i = 0; i < words.size(); ++i) {
    if (i < window) {
      running.Add(words[i], cache, op);
      if (running.count == 1) {
        out[i] = running.Finish(codec, op);
        continue;
      }
      const int pairs = running.pairs.Count();
      if (pairs != base_pairs || running.taint != base_taint) {
        base = codec.Encode(running.pairs, 0, 0, running.taint, 0);
        base_pairs = pairs;
        base_taint = running.taint;
      }
      const auto mode = static_cast<int>(ModeOf(base));
      const int cb = kChainBits[mode];
      out[i] = base | (NextDepth(running.depth) << kDepthShift) |
               ((running.entity & LowMask(kEntityBits[mode])) << cb) |
               (running.chain & LowMask(cb));
      continue;
    }
    Fold fold;
    for (size_t j = i + 1 - window; j <= i; ++j) fold.Add(words[j], cache, op);
    out[i] = fold.Finish(codec, op);
  }
}

namespace {

// The bits of a word of w's mode that are neither entity, chain nor depth.
uint32_t PairMask(uint32_t w) {
  const auto mode = static_cast<int>(ModeOf(w));
  uint32_t low = LowMask(kEntityBits[mode] + kChainBits[mode]);
  if (ModeOf(w) == Mode::kExact3) low = 1u;  // the reserved bit
  return ~low & ~(7u << kDepthShift);
}

// The word without entity, chain and depth: equal keys mean the same pair set and taint.
uint32_t PairKey(uint32_t w) { return w & PairMask(w); }

// Pairs, taint and greatest depth of several words, each distinct key decoded once.
struct Union {
  PairSet pairs;
  bool taint = false;
  uint32_t depth = 0;
  std::unordered_set<uint32_t> seen;

  void Add(const Codec& codec, uint32_t w) {
    depth = std::max(depth, DepthOf(w));
    if (!seen.insert(PairKey(w)).second) return;
    const Decoded d = codec.Decode(w);
    pairs.Union(d.pairs);
    taint = taint || d.taint;
  }
  uint32_t Word(Codec& codec, uint32_t first) const {
    const Decoded d = codec.Decode(first);
    return codec.Encode(pairs, d.entity, d.chain, taint, depth);
  }
};

}  // namespace

void RangeCombine(Codec& codec, std::span<const uint32_t> words, std::span<const int64_t> starts,
                  std::span<const int64_t> ends, uint32_t op, std::span<uint32_t> out,
                  std::span<const uint32_t> extra) {
  if (starts.size() != ends.size() || out.size() != starts.size() ||
      (!extra.empty() && extra.size() != out.size())) {
    throw std::invalid_argument("range_combine: starts, ends, extra and output differ in length");
  }
  const auto n = static_cast<int64_t>(words.size());
  for (size_t k = 0; k < starts.size(); ++k) {
    if (starts[k] < 0 || starts[k] > n) OutOfRange(starts[k], words.size());
    if (ends[k] < 0 || ends[k] > n) OutOfRange(ends[k], words.size());
  }
  // Per row: its pair key (pairs and taint, decoded once per distinct key), entity, chain after
  // the step, and depth. Windows then only count keys and depths in and out.
  struct Key {
    PairSet pairs;
    bool taint = false;
  };
  std::vector<Key> keys;
  std::unordered_map<uint32_t, uint32_t> key_index;
  std::vector<uint32_t> key_of(words.size()), entity(words.size()), chain(words.size());
  DecodeCache cache(codec);
  uint32_t last_key = 0, last_index = UINT32_MAX;  // columns repeat a key row after row
  for (size_t i = 0; i < words.size(); ++i) {
    const uint32_t w = words[i];
    const uint32_t key = PairKey(w);
    if (last_index == UINT32_MAX || key != last_key) {
      auto [it, added] = key_index.try_emplace(key, static_cast<uint32_t>(keys.size()));
      if (added) {
        const Decoded& d = cache.Get(w);
        keys.push_back({d.pairs, d.taint});
      }
      last_key = key;
      last_index = it->second;
    }
    key_of[i] = last_index;
    uint32_t e = (w >> 8) & 255u, c = w & 255u;
    if (!PlainWord(w)) {
      const Decoded& d = cache.Get(w);
      e = d.entity;
      c = d.chain;
    }
    entity[i] = e;
    chain[i] = MixChain1(c, op);
  }

  std::vector<int64_t> count(keys.size(), 0);
  int64_t depth_count[kMaxDepth + 1] = {};
  int64_t lo = 0, hi = 0;  // rows lo .. hi - 1 are counted
  uint32_t ent = 0, ch = 0;
  bool changed = true;  // the set of keys present changed since `pairs` was made
  PairSet pairs;
  bool taint = false;
  uint32_t base = 0;  // the word of `pairs` and `taint` with entity, chain and depth 0
  uint32_t joined_base = 0, joined_key = 0, joined_from = 0;  // `base` with a key word's pairs
  auto add = [&](int64_t i) {
    const auto r = static_cast<size_t>(i);
    if (count[key_of[r]]++ == 0) changed = true;
    ++depth_count[DepthOf(words[r])];
    ent ^= entity[r];
    ch ^= chain[r];
  };
  auto remove = [&](int64_t i) {
    const auto r = static_cast<size_t>(i);
    if (--count[key_of[r]] == 0) changed = true;
    --depth_count[DepthOf(words[r])];
    ent ^= entity[r];
    ch ^= chain[r];
  };
  for (size_t k = 0; k < starts.size(); ++k) {
    const int64_t s = starts[k], e = ends[k];
    const uint32_t x = extra.empty() ? 0 : extra[k];
    if (s >= e) {
      out[k] = 0;
      continue;
    }
    if (e - s == 1 && x == 0) {
      out[k] = Codec::UpdateChain(words[static_cast<size_t>(s)], op);
      continue;
    }
    if (s < lo || e < hi || s >= hi) {  // moved back or past the counted rows: count afresh
      while (lo < hi) remove(lo++);
      lo = hi = s;
    }
    while (hi < e) add(hi++);
    while (lo < s) remove(lo++);
    if (changed) {
      pairs = PairSet();
      taint = false;
      for (size_t j = 0; j < keys.size(); ++j) {
        if (count[j] == 0) continue;
        pairs.Union(keys[j].pairs);
        taint = taint || keys[j].taint;
      }
      base = codec.Encode(pairs, 0, 0, taint, 0);  // a dense pair set is interned once here
      changed = false;
    }
    uint32_t depth = kMaxDepth;
    while (depth > 0 && depth_count[depth] == 0) --depth;
    if (x == 0) {
      // Encode's layout: entity above chain, widths by mode (none in modes 10 and 11).
      const auto mode = static_cast<int>(ModeOf(base));
      const int cb = kChainBits[mode];
      out[k] = base | (NextDepth(depth) << kDepthShift) |
               ((ent & LowMask(kEntityBits[mode])) << cb) | (ch & LowMask(cb));
      continue;
    }
    // The key's pairs joined to the window's: windows of one group follow each other, so the
    // last joining is kept.
    const Decoded& d = cache.Get(x);
    if (x != joined_key || base != joined_from) {
      PairSet joined = pairs;
      joined.Union(d.pairs);
      joined_base = codec.Encode(joined, 0, 0, taint || d.taint, 0);
      joined_key = x;
      joined_from = base;
    }
    const auto mode = static_cast<int>(ModeOf(joined_base));
    const int cb = kChainBits[mode];
    out[k] = joined_base | (NextDepth(std::max(depth, DepthOf(x))) << kDepthShift) |
             (((ent ^ d.entity) & LowMask(kEntityBits[mode])) << cb) |
             ((ch ^ MixChain1(d.chain, op)) & LowMask(cb));
  }
}

void GroupRunningCombine(Codec& codec, std::span<const uint32_t> words,
                         std::span<const int64_t> ids, std::span<const uint32_t> keys, uint32_t op,
                         std::span<uint32_t> out) {
  if (ids.size() != words.size() || out.size() != words.size()) {
    throw std::invalid_argument("group running combine: words, ids and output differ in length");
  }
  for (const int64_t g : ids) {
    if (g >= 0 && static_cast<uint64_t>(g) >= keys.size()) OutOfRange(g, keys.size());
  }
  // A group's pairs and taint live in `base`, the word they make with entity, chain and depth
  // 0: a member with the same key leaves it as it is (the usual case), others are united.
  struct Running {
    uint32_t base = 0, entity = 0, chain = 0, depth = 0, count = 0, first = 0;
    uint32_t absorbed = 0;  // the key of the last member united into `base`
  };
  DecodeCache cache(codec);
  auto fields = [&](uint32_t w, uint32_t* e, uint32_t* c) {
    *e = (w >> 8) & 255u;
    *c = w & 255u;
    if (!PlainWord(w)) {
      const Decoded& d = cache.Get(w);
      *e = d.entity;
      *c = d.chain;
    }
  };
  auto add = [&](Running& r, uint32_t w) {
    uint32_t e, c;
    fields(w, &e, &c);
    if (r.count == 0) {
      const Decoded& d = cache.Get(w);
      r.base = codec.Encode(d.pairs, 0, 0, d.taint, 0);
      r.first = w;
    } else if (const uint32_t key = PairKey(w); key != PairKey(r.base) && key != r.absorbed) {
      Decoded have = cache.Get(r.base);
      const Decoded& more = cache.Get(w);
      have.pairs.Union(more.pairs);
      r.base = codec.Encode(have.pairs, 0, 0, have.taint || more.taint, 0);
      r.absorbed = key;
    }
    r.entity ^= e;
    r.chain ^= MixChain1(c, op);
    r.depth = std::max(r.depth, DepthOf(w));
    ++r.count;
  };
  std::vector<Running> groups(keys.size());
  for (size_t g = 0; g < keys.size(); ++g) {
    if (keys[g] != 0) add(groups[g], keys[g]);
  }
  for (size_t i = 0; i < words.size(); ++i) {
    if (ids[i] < 0) {
      out[i] = Codec::UpdateChain(words[i], op);
      continue;
    }
    Running& r = groups[static_cast<size_t>(ids[i])];
    add(r, words[i]);
    if (r.count == 1) {
      out[i] = Codec::UpdateChain(r.first, op);
      continue;
    }
    const auto mode = static_cast<int>(ModeOf(r.base));
    const int cb = kChainBits[mode];
    out[i] = r.base | (NextDepth(r.depth) << kDepthShift) |
             ((r.entity & LowMask(kEntityBits[mode])) << cb) | (r.chain & LowMask(cb));
  }
}

bool SamePairs(StridedWords words) {
  if (words.size == 0) return true;
  // The first word's mode decides which bits to clear; the mode bits themselves are kept.
  const uint32_t mask = PairMask(words[0]);
  const uint32_t key = words[0] & mask;
  uint32_t diff = 0;  // no early exit: the common, uniform case reads every word anyway
  if (words.stride == 1) {
    for (size_t i = 1; i < words.size; ++i) diff |= (words.data[i] ^ key) & mask;
  } else {
    for (size_t i = 1; i < words.size; ++i) diff |= (words[i] ^ key) & mask;
  }
  return diff == 0;
}

uint32_t UnionWord(Codec& codec, std::span<const StridedWords> columns, uint32_t first) {
  Union u;
  for (const StridedWords& c : columns) {
    for (size_t i = 0; i < c.size; ++i) u.Add(codec, c[i]);
  }
  return u.Word(codec, first);
}

void UnionRows(Codec& codec, std::span<const StridedWords> columns, uint32_t op,
               std::span<uint32_t> out) {
  Union u;  // reused while consecutive rows have the same keys
  std::vector<uint32_t> keys(columns.size(), 0), prev;
  // With three pairs or more the word holds no entity or chain: rows with the same keys and
  // depth get the very same word, computed once.
  bool reuse = false;
  uint32_t last_depth = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    uint32_t depth = 0;
    for (size_t k = 0; k < columns.size(); ++k) {
      keys[k] = PairKey(columns[k][i]);
      depth = std::max(depth, DepthOf(columns[k][i]));
    }
    if (keys != prev) {
      u = Union();
      for (const StridedWords& c : columns) u.Add(codec, c[i]);
      prev = keys;
      reuse = false;
    } else if (reuse && depth == last_depth) {
      out[i] = out[i - 1];
      continue;
    }
    u.depth = depth;
    out[i] = Codec::UpdateChain(u.Word(codec, columns[0][i]), op);
    reuse = u.pairs.Count() >= 3;
    last_depth = depth;
  }
}

}  // namespace lumarq
