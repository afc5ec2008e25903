// Columnar store of computation-graph nodes.
//
// Nodes get ascending ids and live in fixed-size chunks of columns (kind, flags, interned
// operation, word, timestamp, assigned-name id, CSR inputs). A chunk never moves or grows once
// made, so a reader can keep reading rows below the published size while the writer appends
// above it. Eviction drops the oldest nodes by advancing a base id and freeing whole chunks;
// pinned nodes (graph sources) in the dropped range move to a small side table. Its cost is
// proportional to what it drops. Readers take a Snapshot, which holds the chunks it covers, so
// eviction never frees memory a reader still uses.
//
// Appends and evictions are serialised by the caller (one writer at a time); flag, name, extra
// and erase changes may come from any thread; any number of threads may take snapshots and read
// concurrently with all of them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace lumarq {

/// Interned strings: equal texts share one id; id 0 is the empty text. Thread-safe.
class StringTable {
 public:
  StringTable();
  uint32_t Intern(std::string_view text);
  /// The text of `id` (empty for an unknown id).
  std::string Get(uint32_t id) const;
  size_t size() const;

 private:
  mutable std::mutex mu_;
  std::vector<std::unique_ptr<std::string>> texts_;
  std::unordered_map<std::string_view, uint32_t> ids_;
};

/// Bits of NodeStore flags.
inline constexpr uint8_t kNodeProtected = 1;  ///< derives from a protected attribute
inline constexpr uint8_t kNodePinned = 2;     ///< never evicted (graph sources)
inline constexpr uint8_t kNodeErased = 4;     ///< removed by Erase
inline constexpr uint8_t kNodeHasExtra = 8;   ///< has an extra slot (see NodeStore::Extra)

/// One node as read from the store. `inputs` points into the store: valid while the snapshot
/// (or the row's chunk) it came from is alive.
struct NodeView {
  int64_t id = -1;
  uint8_t kind = 0;
  uint8_t flags = 0;
  uint32_t op = 0;
  uint32_t word = 0;
  uint32_t name = 0;  ///< interned assigned column name, 0 for none
  int64_t timestamp = 0;
  std::span<const int64_t> inputs;
};

/// Columns of a run of nodes, in id order (for bulk writes). Inputs are CSR: the inputs of row i
/// are input_ids[input_offsets[i] .. input_offsets[i + 1]).
struct NodeColumns {
  std::vector<int64_t> ids;
  std::vector<uint8_t> kinds, flags;
  std::vector<uint32_t> ops, words, names;
  std::vector<int64_t> timestamps;
  std::vector<uint64_t> input_offsets{0};
  std::vector<int64_t> input_ids;
  size_t size() const { return ids.size(); }
};

class NodeStore {
 public:
  static constexpr uint32_t kChunkShift = 15;
  static constexpr int64_t kChunkRows = int64_t{1} << kChunkShift;
  static constexpr uint32_t kNoExtra = UINT32_MAX;

  NodeStore();
  ~NodeStore();
  NodeStore(const NodeStore&) = delete;
  NodeStore& operator=(const NodeStore&) = delete;

  // ------------------------------------------------------------ writer

  /// Appends a node and returns its id (the next id in sequence).
  int64_t Append(uint8_t kind, uint8_t flags, uint32_t op, uint32_t word,
                 std::span<const int64_t> inputs, int64_t timestamp);
  /// Appends `n` nodes of one kind and operation with consecutive ids, as many Append calls
  /// would, publishing them a chunk at a time: row r has word words[r], flags flags[r] (only
  /// kNodeProtected and kNodePinned are taken) and inputs inputs[r * arity .. (r + 1) * arity).
  /// Returns the first id.
  int64_t AppendRun(uint8_t kind, uint32_t op, int64_t timestamp, size_t n, const uint32_t* words,
                    const uint8_t* flags, const int64_t* inputs, size_t arity);
  /// Associates an opaque slot (a caller-side record: metadata and the like) with a node.
  void SetExtra(int64_t id, uint32_t slot);
  /// Sets the assigned-name id of a live node; false when the id is not live.
  bool SetName(int64_t id, uint32_t name);
  /// Sets or clears flag bits of a live node; false when the id is not live.
  bool SetFlags(int64_t id, uint8_t set, uint8_t clear = 0);
  /// Removes one node (it stops being found and counted); false when it was not live.
  bool Erase(int64_t id);
  /// Drops the `count` oldest nodes that are not pinned (pinned ones are kept and not counted)
  /// and returns the ids dropped, oldest first. Cost: proportional to the dropped range.
  std::vector<int64_t> EvictOldest(size_t count);
  /// As above, returning how many were dropped; only the dropped ids that had an extra slot are
  /// listed, in `had_extra` (the caller's records for them can be released without looking up
  /// every dropped id).
  size_t EvictOldest(size_t count, std::vector<int64_t>* had_extra);
  /// While on, eviction keeps the word of every node it drops (4 bytes and a flag per id): a
  /// persisted graph's later nodes still name their evicted inputs by fingerprint. Off (the
  /// default) forgets them.
  void KeepEvictedWords(bool on);
  /// Forgets every node; ids keep growing from where they were.
  void Clear();
  /// The next id Append will hand out; SetNextId moves it forward (ids drawn elsewhere).
  int64_t next_id() const { return end_.load(std::memory_order_acquire); }
  void SetNextId(int64_t id);

  // ------------------------------------------------------------ readers

  /// Number of live nodes (pinned side table included).
  size_t size() const { return live_.load(std::memory_order_acquire); }
  /// The extra slot of a node, or kNoExtra.
  uint32_t Extra(int64_t id) const;

  class Snapshot;
  /// A consistent view of every node live at this moment.
  Snapshot Snap() const;

  /// Shared interned operation and name texts.
  StringTable& strings() { return strings_; }
  const StringTable& strings() const { return strings_; }

 private:
  struct Chunk;
  struct Pinned;
  struct Gone;
  friend class Snapshot;

  Chunk* ChunkFor(int64_t id) const;  // the chunk holding a live id, or nullptr (writer or mu_)
  bool SetFlagsLocked(int64_t id, uint8_t set, uint8_t clear = 0);
  size_t Evict(size_t count, std::vector<int64_t>* dropped, std::vector<int64_t>* had_extra);
  void AddChunk(int64_t first_id, size_t min_inputs);
  void GrowInputs(Chunk* c, size_t need);

  mutable std::mutex mu_;  // guards the chunk list, arenas being swapped, pinned and extras
  std::vector<std::shared_ptr<Chunk>> chunks_;  // ascending first ids
  std::shared_ptr<const std::vector<Pinned>> pinned_;
  std::unordered_map<int64_t, uint32_t> extras_;
  std::vector<std::shared_ptr<const Gone>> gone_;  // ascending first ids, guarded by mu_
  std::atomic<bool> keep_gone_{false};
  std::atomic<int64_t> begin_{0};  // oldest id held in chunks
  std::atomic<int64_t> end_{0};    // next id; rows below it are published
  std::atomic<size_t> live_{0};
  int64_t erased_in_range_ = 0;  // erased rows in [begin, end), guarded by mu_
  StringTable strings_;
};

/// Immutable view of the store at one moment: the pinned nodes evicted from the chunks, then
/// every id in [begin, end) that is not erased, in id order.
class NodeStore::Snapshot {
 public:
  Snapshot() = default;
  /// The node with `id`, if it was live when the snapshot was taken (erasures made later show).
  bool Find(int64_t id, NodeView* out) const;
  bool Contains(int64_t id) const {
    NodeView v;
    return Find(id, &v);
  }
  /// The word of a node evicted while the store kept evicted words.
  bool EvictedWord(int64_t id, uint32_t* word) const;
  /// What the store kept of such a node: id, kind, operation, word and kNodeProtected (no
  /// name, inputs or timestamp). Enough to name the stored node of its word after eviction.
  bool EvictedNode(int64_t id, NodeView* out) const;
  /// Calls fn(const NodeView&) for every live node in id order.
  template <class Fn>
  void ForEach(Fn&& fn) const;
  /// The newest live node whose word is `word`, or -1.
  int64_t NewestWithWord(uint32_t word) const;
  /// Live nodes in id order whose word is `word`.
  std::vector<int64_t> WithWord(uint32_t word) const;
  /// Columns of the live nodes with ids in [from, to), in id order.
  NodeColumns Slice(int64_t from, int64_t to) const;
  int64_t begin() const { return begin_; }
  int64_t end() const { return end_; }
  /// Live nodes in the view (an erasure after the snapshot is not subtracted).
  size_t size() const { return size_; }

 private:
  friend class NodeStore;
  bool FindInChunks(int64_t id, NodeView* out) const;
  /// The eviction record holding what was kept of `id`, and its position there; null if none.
  const Gone* Kept(int64_t id, size_t* at) const;
  std::vector<std::shared_ptr<const Chunk>> chunks_;
  std::vector<std::shared_ptr<const int64_t[]>> arenas_;  // one per chunk, as of the snapshot
  std::shared_ptr<const std::vector<Pinned>> pinned_;
  std::vector<std::shared_ptr<const Gone>> gone_;
  int64_t begin_ = 0, end_ = 0;
  size_t size_ = 0;
};

// ---------------------------------------------------------------- internals

struct NodeStore::Chunk {
  explicit Chunk(int64_t first) : first_id(first) {}
  int64_t first_id;
  // Rows are indexed by id - first_id. Flags and names change after publication (atomic_ref).
  uint8_t kind[kChunkRows];
  uint8_t flags[kChunkRows];
  uint32_t op[kChunkRows];
  uint32_t word[kChunkRows];
  uint32_t name[kChunkRows];
  int64_t timestamp[kChunkRows];
  uint32_t in_off[kChunkRows + 1];  // into in_ids
  std::shared_ptr<int64_t[]> in_ids;  // swapped for a larger copy under mu_
  size_t in_cap = 0;
};

/// The words, kinds and operations of the ids one eviction passed over, from `first_id` on.
/// `have` is 0 for ids that were erased or pinned instead, else kKept (plus kProtected).
struct NodeStore::Gone {
  static constexpr uint8_t kKept = 1, kProtected = 2;
  int64_t first_id = 0;
  std::vector<uint32_t> words, ops;
  std::vector<uint8_t> kinds, have;
};

struct NodeStore::Pinned {
  NodeView view;  // `inputs` points into `ids`
  std::vector<int64_t> ids;
};

inline bool NodeStore::Snapshot::FindInChunks(int64_t id, NodeView* out) const {
  if (id < begin_ || id >= end_ || chunks_.empty()) return false;
  // Chunks are contiguous in id; every chunk but the first starts at a multiple of kChunkRows.
  const int64_t first = chunks_.front()->first_id;
  size_t k = 0;
  if (id >= (first | (kChunkRows - 1)) + 1)
    k = static_cast<size_t>((id >> kChunkShift) - (first >> kChunkShift));
  if (k >= chunks_.size()) return false;
  const Chunk& c = *chunks_[k];
  const size_t r = static_cast<size_t>(id - c.first_id);
  const uint8_t flags = std::atomic_ref<const uint8_t>(c.flags[r]).load(std::memory_order_relaxed);
  if (flags & kNodeErased) return false;
  out->id = id;
  out->kind = c.kind[r];
  out->flags = flags;
  out->op = c.op[r];
  out->word = c.word[r];
  out->name = std::atomic_ref<const uint32_t>(c.name[r]).load(std::memory_order_relaxed);
  out->timestamp = c.timestamp[r];
  const int64_t* base = arenas_[k].get();
  out->inputs = std::span<const int64_t>(base + c.in_off[r], c.in_off[r + 1] - c.in_off[r]);
  return true;
}

template <class Fn>
void NodeStore::Snapshot::ForEach(Fn&& fn) const {
  if (pinned_) {
    for (const Pinned& p : *pinned_) {
      if (p.view.id >= begin_) break;
      fn(p.view);
    }
  }
  NodeView v;
  for (int64_t id = begin_; id < end_; ++id) {
    if (FindInChunks(id, &v)) fn(v);
  }
}

}  // namespace lumarq
