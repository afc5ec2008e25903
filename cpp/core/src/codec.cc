#include "lumarq/codec.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string>

#include "lumarq/hash.h"
#include "lumarq/parallel.h"

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
// One build serves every x86-64 machine; the loader picks the AVX2 body where it exists.
#define LUMARQ_MULTIVERSION \
  __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define LUMARQ_MULTIVERSION
#endif

namespace lumarq {

const char* ModeName(uint32_t w) {
  switch (ModeOf(w)) {
    case Mode::kExact01:
      return ((w >> 16) & 1023u) == 0 ? "EXACT-0" : "EXACT-1";
    case Mode::kExact2:
      return "EXACT-2";
    case Mode::kExact3:
      return "EXACT-3";
    case Mode::kDense:
      return "DENSE";
  }
  return "UNKNOWN";
}

namespace {

constexpr uint64_t Choose2(uint64_t n) { return n * (n - 1) / 2; }
constexpr uint64_t Choose3(uint64_t n) { return n * (n - 1) * (n - 2) / 6; }

[[noreturn]] void Invalid(const char* what, uint32_t word) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "invalid provenance value 0x%08X: %s", word, what);
  throw std::invalid_argument(buf);
}

// Mode-00 combination in branch-free form so that the batch loop vectorises. Pair data 0 means
// no pair; equal or absent pairs stay in mode 00, two distinct pairs move to mode 01. Fields are
// compared and merged where they sit in the word, which saves shifts in the vector loop.
inline uint32_t Combine00(uint32_t a, uint32_t b, uint32_t op) {
  constexpr uint32_t kPairField = 1023u << 16, kDepthField = 7u << kDepthShift;
  const uint32_t fa = a & kPairField, fb = b & kPairField;
  const uint32_t lo = std::min(fa, fb), hi = std::max(fa, fb);
  const uint32_t x = a ^ b;  // entity bits 15-8 XORed
  const uint32_t chain = MixChain2(a & 255u, b & 255u, op);
  const uint32_t depth =
      std::min(std::max(a & kDepthField, b & kDepthField) + (1u << kDepthShift), kDepthField);
  const uint32_t head = ((a | b) & (1u << kTaintShift)) | depth;
  const uint32_t single = head | hi | (x & 0xFF00u) | (chain & 255u);
  // Ranks of the 0-based ids lo-1 < hi-1; garbage (and unused) when lo == 0.
  const uint32_t h0 = (hi >> 16) - 1u, l0 = (lo >> 16) - 1u;
  const uint32_t rank = (h0 * (h0 - 1u) / 2u + l0) & 0x1FFFFu;
  const uint32_t two =
      (1u << kModeShift) | head | (rank << 9) | ((x >> 4) & 0x1F0u) | (chain & 15u);
  return (lo != 0u && lo != hi) ? two : single;
}

// Combines a chunk on the assumption that every word is mode 00 with a valid pair field, and
// reports whether that held; when it did not, the caller recomputes the chunk word by word.
LUMARQ_MULTIVERSION
bool Combine00Chunk(const uint32_t* a, const uint32_t* b, uint32_t op, uint32_t* out, size_t n) {
  uint32_t high = 0, max_field = 0;
  for (size_t i = 0; i < n; ++i) {
    high |= a[i] | b[i];
    max_field = std::max(max_field, std::max(a[i] & (1023u << 16), b[i] & (1023u << 16)));
    out[i] = Combine00(a[i], b[i], op);
  }
  return (high >> kModeShift) == 0 && max_field <= (static_cast<uint32_t>(kMaxPairs) << 16);
}

// Entity field of each mode: 8 bits at bit 8 in mode 00, 5 bits at bit 4 in mode 01, none in
// modes 10 and 11.
constexpr uint32_t kEntityField[4] = {0xFF00u, 0x1F0u, 0u, 0u};
constexpr uint32_t kEntityLow[4] = {8u, 4u, 0u, 0u};

// The combination of chunks whose words each equal the chunk's first word outside the entity
// field of its mode. Columns derived from wrapped frames are like that: pairs, taint, depth and
// chain follow the column, only the row's entity varies. Word i then shares everything with
// `first` (the combination of a[0] and b[0]) except the entity, which is the XOR of the
// operands' entities cut to the width of the result's mode, exactly as Combine computes it.
// Returns false, with `out` garbage, when the chunks are not uniform.
LUMARQ_MULTIVERSION
bool CombineUniform(const uint32_t* a, const uint32_t* b, uint32_t first, uint32_t* out,
                    size_t n) {
  const uint32_t a0 = a[0], b0 = b[0];
  const uint32_t ma = a0 >> kModeShift, mb = b0 >> kModeShift, mr = first >> kModeShift;
  const uint32_t fa = kEntityField[ma], la = kEntityLow[ma];
  const uint32_t fb = kEntityField[mb], lb = kEntityLow[mb];
  const uint32_t fr = kEntityField[mr], lr = kEntityLow[mr];
  const uint32_t base = first & ~fr;
  uint32_t diff = 0;
  for (size_t i = 0; i < n; ++i) {
    diff |= ((a[i] ^ a0) & ~fa) | ((b[i] ^ b0) & ~fb);
    out[i] = base | (((((a[i] & fa) >> la) ^ ((b[i] & fb) >> lb)) << lr) & fr);
  }
  return diff == 0;
}

// A mode-00 word whose pair field decodes (0 to 512).
constexpr bool ValidMode00(uint32_t w) {
  return (w >> kModeShift) == 0 && ((w >> 16) & 1023u) <= static_cast<uint32_t>(kMaxPairs);
}

LUMARQ_MULTIVERSION
void UpdateChainLoop(const uint32_t* in, uint32_t op, uint32_t* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = Codec::UpdateChain(in[i], op);
}

// Mask of the pair field per mode; words whose mode and pair field agree share their pair set.
constexpr uint32_t kPairFieldMask[4] = {1023u << 16, 0x1FFFFu << 9, 0x1FFFFFFu << 1, kPayloadMask};

}  // namespace

uint32_t RankPair(uint32_t a, uint32_t b) {
  if (a > b) std::swap(a, b);
  return static_cast<uint32_t>(Choose2(b) + a);
}

void UnrankPair(uint32_t rank, uint32_t* a, uint32_t* b) {
  uint64_t hi = static_cast<uint64_t>((1.0 + std::sqrt(1.0 + 8.0 * rank)) / 2.0);
  while (Choose2(hi) > rank) --hi;
  while (Choose2(hi + 1) <= rank) ++hi;
  *b = static_cast<uint32_t>(hi);
  *a = static_cast<uint32_t>(rank - Choose2(hi));
}

uint32_t RankTriple(uint32_t a, uint32_t b, uint32_t c) {
  uint32_t v[3] = {a, b, c};
  std::sort(v, v + 3);
  return static_cast<uint32_t>(Choose3(v[2]) + Choose2(v[1]) + v[0]);
}

void UnrankTriple(uint32_t rank, uint32_t* a, uint32_t* b, uint32_t* c) {
  uint64_t hi = static_cast<uint64_t>(std::cbrt(6.0 * rank)) + 1;
  while (hi > 2 && Choose3(hi) > rank) --hi;
  while (Choose3(hi + 1) <= rank) ++hi;
  *c = static_cast<uint32_t>(hi);
  UnrankPair(static_cast<uint32_t>(rank - Choose3(hi)), a, b);
}

uint32_t DenseTable::Intern(const PairSet& pairs) {
  {
    std::shared_lock lock(mu_);
    auto it = ids_.find(pairs);
    if (it != ids_.end()) return it->second;
  }
  std::unique_lock lock(mu_);
  auto it = ids_.find(pairs);
  if (it != ids_.end()) return it->second;
  if (sets_.size() >= kDenseCapacity) {
    throw std::length_error("dense signature table is full (2**26 distinct pair sets)");
  }
  const auto id = static_cast<uint32_t>(sets_.size());
  sets_.push_back(pairs);
  ids_.emplace(pairs, id);
  return id;
}

bool DenseTable::Lookup(uint32_t id, PairSet* out) const {
  std::shared_lock lock(mu_);
  if (id >= sets_.size()) return false;
  *out = sets_[id];
  return true;
}

size_t DenseTable::size() const {
  std::shared_lock lock(mu_);
  return sets_.size();
}

std::vector<PairSet> DenseTable::Sets() const {
  std::shared_lock lock(mu_);
  return sets_;
}

uint32_t Codec::Encode(const PairSet& pairs, uint64_t entity, uint64_t chain, bool taint,
                       uint64_t depth) {
  uint32_t ids[3];
  const int n = pairs.Count();
  pairs.Smallest(ids, 3);
  const uint32_t d = depth > kMaxDepth ? kMaxDepth : static_cast<uint32_t>(depth);
  const auto e = static_cast<uint32_t>(entity), c = static_cast<uint32_t>(chain);
  switch (n) {
    case 0:
      return MakeHeader(Mode::kExact01, taint, d) | ((e & 255u) << 8) | (c & 255u);
    case 1:
      return MakeHeader(Mode::kExact01, taint, d) | ((ids[0] + 1u) << 16) | ((e & 255u) << 8) |
             (c & 255u);
    case 2:
      return MakeHeader(Mode::kExact2, taint, d) | (RankPair(ids[0], ids[1]) << 9) |
             ((e & 31u) << 4) | (c & 15u);
    case 3:
      return MakeHeader(Mode::kExact3, taint, d) | (RankTriple(ids[0], ids[1], ids[2]) << 1);
    default:
      return MakeHeader(Mode::kDense, taint, d) | dense_.Intern(pairs);
  }
}

Decoded Codec::Decode(uint32_t w) const {
  Decoded out;
  out.taint = TaintOf(w);
  out.depth = DepthOf(w);
  switch (ModeOf(w)) {
    case Mode::kExact01: {
      const uint32_t pd = (w >> 16) & 1023u;
      if (pd > static_cast<uint32_t>(kMaxPairs)) Invalid("pair data out of range", w);
      if (pd != 0) out.pairs.Add(pd - 1);
      out.entity = (w >> 8) & 255u;
      out.chain = w & 255u;
      break;
    }
    case Mode::kExact2: {
      const uint32_t rank = (w >> 9) & 0x1FFFFu;
      if (rank >= kPairRanks) Invalid("pair index out of range", w);
      uint32_t a, b;
      UnrankPair(rank, &a, &b);
      out.pairs.Add(a);
      out.pairs.Add(b);
      out.entity = (w >> 4) & 31u;
      out.chain = w & 15u;
      break;
    }
    case Mode::kExact3: {
      const uint32_t rank = (w >> 1) & 0x1FFFFFFu;
      if (rank >= kTripleRanks) Invalid("pair combination out of range", w);
      uint32_t a, b, c;
      UnrankTriple(rank, &a, &b, &c);
      out.pairs.Add(a);
      out.pairs.Add(b);
      out.pairs.Add(c);
      break;
    }
    case Mode::kDense:
      if (!dense_.Lookup(w & kPayloadMask, &out.pairs)) {
        Invalid("dense signature unknown to this tracker", w);
      }
      break;
  }
  return out;
}

uint32_t Codec::UpdateChain(uint32_t w, uint32_t op) {
  // Chain widths 8, 4, 0, 0 for modes 00..11, without a table lookup so that loops vectorise.
  const uint32_t chain_mask = 0xFFu >> ((w >> kModeShift) * 4u);
  const uint32_t chain = MixChain1(w & chain_mask, op) & chain_mask;
  const uint32_t depth = NextDepth(DepthOf(w));
  return (w & ~((7u << kDepthShift) | chain_mask)) | (depth << kDepthShift) | chain;
}

uint32_t Codec::Combine(uint32_t a, uint32_t b, uint32_t op) {
  if (((a | b) >> kModeShift) == 0) {
    if (((a >> 16) & 1023u) <= static_cast<uint32_t>(kMaxPairs) &&
        ((b >> 16) & 1023u) <= static_cast<uint32_t>(kMaxPairs)) {
      return Combine00(a, b, op);
    }
    Invalid("pair data out of range", ((a >> 16) & 1023u) > 512u ? a : b);
  }
  return CombineSlow(a, b, op);
}

uint32_t Codec::CombineSlow(uint32_t a, uint32_t b, uint32_t op) {
  const uint32_t mode = a >> kModeShift;
  const uint32_t depth = std::min(std::max(DepthOf(a), DepthOf(b)) + 1u, kMaxDepth);
  const bool taint = TaintOf(a) || TaintOf(b);
  if (mode == (b >> kModeShift) && mode != 0 &&
      (a & kPairFieldMask[mode]) == (b & kPairFieldMask[mode])) {
    // Same pair set: only entity, chain and header change; no dictionary access needed.
    // Validate once so that garbage words are refused as on the decoding path.
    (void)Decode(a);
    const uint32_t eb = static_cast<uint32_t>(kEntityBits[mode]);
    const uint32_t cb = static_cast<uint32_t>(kChainBits[mode]);
    const uint32_t emask = LowMask(static_cast<int>(eb)) << cb, cmask = LowMask(static_cast<int>(cb));
    const uint32_t chain = MixChain2(a & cmask, b & cmask, op) & cmask;
    return MakeHeader(static_cast<Mode>(mode), taint, depth) | (a & kPairFieldMask[mode]) |
           ((a ^ b) & emask) | chain;
  }
  Decoded da = Decode(a);
  const Decoded db = Decode(b);
  da.pairs.Union(db.pairs);
  // Encode cuts entity and chain to the widths of the mode the union lands in.
  return Encode(da.pairs, da.entity ^ db.entity, MixChain2(da.chain, db.chain, op), taint, depth);
}

namespace {

constexpr size_t kChunk = 4096;            // words checked for a fast path at once
constexpr size_t kTaskChunks = 8;          // chunks per parallel work item (32K words)
constexpr size_t kParallelFrom = 1 << 17;  // below this a pool hand-off costs more than it saves

[[noreturn]] void LengthMismatch(size_t a, size_t b) {
  throw std::invalid_argument("combine_batch: arrays differ in length (" + std::to_string(a) +
                              " and " + std::to_string(b) + ")");
}

// A chunk on a path that neither throws nor touches the dense dictionary, so that chunks can
// run in any order on any thread. False leaves the chunk to CombineChunkInOrder.
bool CombineChunkAnyOrder(const uint32_t* a, const uint32_t* b, uint32_t op, uint32_t* out,
                          size_t n) {
  if (ValidMode00(a[0]) && ValidMode00(b[0]) && CombineUniform(a, b, Combine00(a[0], b[0], op),
                                                                 out, n)) {
    return true;
  }
  return Combine00Chunk(a, b, op, out, n);
}

}  // namespace

// Chunks are taken in order here: the first word that needs a new dense signature gets it first,
// and the first invalid word is the one reported, as in a word-by-word pass.
void Codec::CombineChunkInOrder(const uint32_t* a, const uint32_t* b, uint32_t op, uint32_t* out,
                                size_t n) {
  // The first word is combined first either way. In a uniform chunk the others share its pair
  // set, so nothing more is interned and nothing else can be invalid.
  if (CombineUniform(a, b, Combine(a[0], b[0], op), out, n)) return;
  for (size_t i = 0; i < n; ++i) out[i] = Combine(a[i], b[i], op);
}

void Codec::CombineBatch(std::span<const uint32_t> a, std::span<const uint32_t> b, uint32_t op,
                         std::span<uint32_t> out) {
  if (a.size() != b.size() || out.size() != a.size()) LengthMismatch(a.size(), b.size());
  if (a.size() >= kParallelFrom && ParallelWorkers() != 0) {
    CombineJob job(*this, a, b, op, out);
    job.Wait();
    return;
  }
  for (size_t start = 0; start < a.size(); start += kChunk) {
    const size_t n = std::min(kChunk, a.size() - start);
    const uint32_t* pa = a.data() + start;
    const uint32_t* pb = b.data() + start;
    uint32_t* po = out.data() + start;
    if (!CombineChunkAnyOrder(pa, pb, op, po, n)) CombineChunkInOrder(pa, pb, op, po, n);
  }
}

CombineJob::CombineJob(Codec& codec, std::span<const uint32_t> a, std::span<const uint32_t> b,
                       uint32_t op, std::span<uint32_t> out)
    : codec_(codec), a_(a), b_(b), op_(op), out_(out) {
  if (a.size() != b.size() || out.size() != a.size()) LengthMismatch(a.size(), b.size());
  const size_t chunks = (a.size() + kChunk - 1) / kChunk;
  slow_.assign(chunks, 0);
  const size_t items = (chunks + kTaskChunks - 1) / kTaskChunks;
  task_ = std::make_unique<ParallelTask>(items, [this, chunks](size_t item) {
    const size_t last = std::min(chunks, (item + 1) * kTaskChunks);
    for (size_t c = item * kTaskChunks; c < last; ++c) {
      const size_t start = c * kChunk;
      const size_t n = std::min(kChunk, a_.size() - start);
      if (!CombineChunkAnyOrder(a_.data() + start, b_.data() + start, op_, out_.data() + start,
                                n)) {
        slow_[c] = 1;
      }
    }
  });
}

CombineJob::~CombineJob() {
  // Only the parallel part must end before the spans go away; its items never throw.
  if (task_ != nullptr) {
    try {
      task_->Wait();
    } catch (...) {
    }
  }
}

void CombineJob::Wait() {
  if (finished_) return;
  finished_ = true;
  task_->Wait();
  for (size_t c = 0; c < slow_.size(); ++c) {
    if (slow_[c] == 0) continue;
    const size_t start = c * kChunk;
    const size_t n = std::min(kChunk, a_.size() - start);
    codec_.CombineChunkInOrder(a_.data() + start, b_.data() + start, op_, out_.data() + start, n);
  }
}

void Codec::UpdateChainBatch(std::span<const uint32_t> in, uint32_t op, std::span<uint32_t> out) {
  UpdateChainLoop(in.data(), op, out.data(), std::min(in.size(), out.size()));
}

LUMARQ_MULTIVERSION
void EncodeSourceColumn(uint32_t pair_id, std::span<const uint32_t> entities, bool taint,
                        std::span<uint32_t> out) {
  if (pair_id >= static_cast<uint32_t>(kMaxPairs)) {
    throw std::invalid_argument("pair id out of range (0-511): " + std::to_string(pair_id));
  }
  const uint32_t head = MakeHeader(Mode::kExact01, taint, 0) | ((pair_id + 1u) << 16);
  const size_t n = std::min(entities.size(), out.size());
  const uint32_t* e = entities.data();
  uint32_t* o = out.data();
  for (size_t i = 0; i < n; ++i) o[i] = head | ((e[i] & 255u) << 8);
}

void TaintBatch(std::span<const uint32_t> in, std::span<uint8_t> out) {
  const size_t n = std::min(in.size(), out.size());
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>((in[i] >> kTaintShift) & 1u);
}

LUMARQ_MULTIVERSION
void RiskBatch(std::span<const uint32_t> in, std::span<double> out) {
  // Bits 29-26 (taint, depth) index a table of the sixteen possible risks: no division.
  static constexpr auto kRisk = [] {
    std::array<double, 16> risk{};
    for (uint32_t i = 0; i < 16; ++i) risk[i] = RiskOf(i << kDepthShift);
    return risk;
  }();
  const size_t n = std::min(in.size(), out.size());
  const uint32_t* src = in.data();
  double* dst = out.data();
  for (size_t i = 0; i < n; ++i) dst[i] = kRisk[(src[i] >> kDepthShift) & 15u];
}

}  // namespace lumarq
