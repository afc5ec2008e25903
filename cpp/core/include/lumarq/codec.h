// Encoding, decoding and the combination algebra of provenance words.
#pragma once

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <span>
#include <unordered_map>
#include <vector>

#include "lumarq/pair_set.h"
#include "lumarq/word.h"

namespace lumarq {

/// A fully decoded word. `entity` and `chain` are as wide as the mode allows (0 for modes 10, 11).
struct Decoded {
  PairSet pairs;
  uint32_t entity = 0;
  uint32_t chain = 0;
  bool taint = false;
  uint32_t depth = 0;
};

/// Combinatorial number system: rank of a < b among 2-subsets of {0..511}, and inverse.
uint32_t RankPair(uint32_t a, uint32_t b);
void UnrankPair(uint32_t rank, uint32_t* a, uint32_t* b);
/// Rank of a < b < c among 3-subsets of {0..511}, and inverse.
uint32_t RankTriple(uint32_t a, uint32_t b, uint32_t c);
void UnrankTriple(uint32_t rank, uint32_t* a, uint32_t* b, uint32_t* c);

inline constexpr uint32_t kPairRanks = 130816;      // C(512, 2)
inline constexpr uint32_t kTripleRanks = 22238720;  // C(512, 3)
inline constexpr uint32_t kDenseCapacity = 1u << kModeDenseSigBits;

/// Dictionary of pair sets with four or more members. Ids are handed out sequentially per
/// distinct set, so two sets never share a signature. Safe for concurrent use.
class DenseTable {
 public:
  /// Id of `pairs`, assigning the next one on first sight. Throws std::length_error when all
  /// 2**26 ids are taken.
  uint32_t Intern(const PairSet& pairs);
  /// Pair set of `id`; false when the id was never handed out.
  bool Lookup(uint32_t id, PairSet* out) const;
  size_t size() const;
  /// Every set in id order: interning them in this order into an empty table gives each its
  /// id again (used to save and restore a tracker).
  std::vector<PairSet> Sets() const;

 private:
  mutable std::shared_mutex mu_;
  std::unordered_map<PairSet, uint32_t, PairSetHash> ids_;
  std::vector<PairSet> sets_;
};

/// The codec of one tracker: stateless except for its dense dictionary.
class Codec {
 public:
  /// Encodes a pair set. Entity and chain are cut to the chosen mode's widths; depth saturates.
  uint32_t Encode(const PairSet& pairs, uint64_t entity, uint64_t chain, bool taint,
                  uint64_t depth);
  /// Throws std::invalid_argument for words that no encoder produces (pair fields out of
  /// range, unknown dense signatures).
  Decoded Decode(uint32_t word) const;
  /// pairs united, entity XOR, chain MixChain2, taint OR, depth max + 1 (saturating).
  uint32_t Combine(uint32_t a, uint32_t b, uint32_t op);
  /// Pairs, entity and taint kept; chain MixChain1; depth + 1 (saturating).
  static uint32_t UpdateChain(uint32_t word, uint32_t op);

  /// out[i] = Combine(a[i], b[i], op). Throws as Decode does; `out` is then partly written.
  /// Large batches run on the worker pool; the result never depends on the thread count.
  void CombineBatch(std::span<const uint32_t> a, std::span<const uint32_t> b, uint32_t op,
                    std::span<uint32_t> out);
  static void UpdateChainBatch(std::span<const uint32_t> in, uint32_t op, std::span<uint32_t> out);

  const DenseTable& dense() const { return dense_; }
  DenseTable& dense() { return dense_; }

 private:
  friend class CombineJob;
  uint32_t CombineSlow(uint32_t a, uint32_t b, uint32_t op);
  void CombineChunkInOrder(const uint32_t* a, const uint32_t* b, uint32_t op, uint32_t* out,
                           size_t n);
  DenseTable dense_;
};

class ParallelTask;

/// Codec::CombineBatch started on the worker pool, so that the caller can do other work (the
/// values' own arithmetic) meanwhile. Spans must stay valid until Wait() returns; the
/// destructor waits too. Chunks of single-pair words run in parallel; the others follow in
/// order on the waiting thread, so dense signatures are handed out exactly as by a sequential
/// pass.
class CombineJob {
 public:
  /// Throws std::invalid_argument when the spans differ in length.
  CombineJob(Codec& codec, std::span<const uint32_t> a, std::span<const uint32_t> b, uint32_t op,
             std::span<uint32_t> out);
  ~CombineJob();
  CombineJob(const CombineJob&) = delete;
  CombineJob& operator=(const CombineJob&) = delete;

  /// Finishes the batch; throws as CombineBatch does.
  void Wait();

 private:
  Codec& codec_;
  std::span<const uint32_t> a_, b_;
  uint32_t op_;
  std::span<uint32_t> out_;
  std::vector<uint8_t> slow_;  // per chunk: left for the ordered pass
  std::unique_ptr<ParallelTask> task_;
  bool finished_ = false;
};

/// Depth-0 single-pair words of one source column, one per entity hash (cut to 8 bits).
void EncodeSourceColumn(uint32_t pair_id, std::span<const uint32_t> entities, bool taint,
                        std::span<uint32_t> out);
void TaintBatch(std::span<const uint32_t> in, std::span<uint8_t> out);
void RiskBatch(std::span<const uint32_t> in, std::span<double> out);

}  // namespace lumarq
