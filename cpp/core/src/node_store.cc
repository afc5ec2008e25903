#include "lumarq/node_store.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <unordered_set>

namespace lumarq {

// ---------------------------------------------------------------- StringTable

StringTable::StringTable() { Intern(""); }

uint32_t StringTable::Intern(std::string_view text) {
  std::lock_guard<std::mutex> lock(mu_);
  if (auto it = ids_.find(text); it != ids_.end()) return it->second;
  const auto id = static_cast<uint32_t>(texts_.size());
  texts_.push_back(std::make_unique<std::string>(text));
  ids_.emplace(std::string_view(*texts_.back()), id);
  return id;
}

std::string StringTable::Get(uint32_t id) const {
  std::lock_guard<std::mutex> lock(mu_);
  return id < texts_.size() ? *texts_[id] : std::string();
}

size_t StringTable::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return texts_.size();
}

// ---------------------------------------------------------------- NodeStore, writer

namespace {
constexpr size_t kInitialInputs = 2 * static_cast<size_t>(NodeStore::kChunkRows);
}  // namespace

namespace {
// Copies pinned rows, pointing each view at its own copy of the inputs.
template <class P>
std::shared_ptr<std::vector<P>> CopyPinned(const std::vector<P>& from) {
  auto copy = std::make_shared<std::vector<P>>(from);
  for (P& p : *copy) p.view.inputs = std::span<const int64_t>(p.ids);
  return copy;
}
}  // namespace

NodeStore::NodeStore() : pinned_(std::make_shared<const std::vector<Pinned>>()) {}
NodeStore::~NodeStore() = default;

void NodeStore::AddChunk(int64_t first_id, size_t min_inputs) {
  auto c = std::make_shared<Chunk>(first_id);
  c->in_cap = std::max(kInitialInputs, min_inputs);
  c->in_ids = std::shared_ptr<int64_t[]>(new int64_t[c->in_cap]);
  c->in_off[0] = 0;
  std::lock_guard<std::mutex> lock(mu_);
  chunks_.push_back(std::move(c));
}

void NodeStore::GrowInputs(Chunk* c, size_t need) {
  size_t cap = c->in_cap;
  while (cap < need) cap *= 2;
  if (cap > UINT32_MAX) throw std::length_error("too many node inputs in one chunk");
  std::shared_ptr<int64_t[]> grown(new int64_t[cap]);
  const size_t used = c->in_off[end_.load(std::memory_order_relaxed) - c->first_id];
  std::memcpy(grown.get(), c->in_ids.get(), used * sizeof(int64_t));
  std::lock_guard<std::mutex> lock(mu_);  // snapshots copy the arena pointer under mu_
  c->in_ids = std::move(grown);
  c->in_cap = cap;
}

int64_t NodeStore::Append(uint8_t kind, uint8_t flags, uint32_t op, uint32_t word,
                          std::span<const int64_t> inputs, int64_t timestamp) {
  const int64_t id = end_.load(std::memory_order_relaxed);
  // A chunk covers ids up to the next multiple of kChunkRows; only the first may start unaligned.
  if (chunks_.empty() || id >= ((chunks_.back()->first_id | (kChunkRows - 1)) + 1)) {
    if (chunks_.empty()) begin_.store(id, std::memory_order_release);
    AddChunk(id, inputs.size());
  }
  Chunk* c = chunks_.back().get();
  const size_t r = static_cast<size_t>(id - c->first_id);
  const size_t off = c->in_off[r];
  if (off + inputs.size() > c->in_cap) GrowInputs(c, off + inputs.size());
  if (!inputs.empty())
    std::memcpy(c->in_ids.get() + off, inputs.data(), inputs.size() * sizeof(int64_t));
  c->in_off[r + 1] = static_cast<uint32_t>(off + inputs.size());
  c->kind[r] = kind;
  c->flags[r] = static_cast<uint8_t>(flags & ~kNodeHasExtra);
  c->op[r] = op;
  c->word[r] = word;
  c->name[r] = 0;
  c->timestamp[r] = timestamp;
  if (flags & kNodeErased) {
    std::lock_guard<std::mutex> lock(mu_);  // snapshots read the erased count with the end
    ++erased_in_range_;
    end_.store(id + 1, std::memory_order_release);
    return id;
  }
  live_.fetch_add(1, std::memory_order_relaxed);
  end_.store(id + 1, std::memory_order_release);
  return id;
}

int64_t NodeStore::AppendRun(uint8_t kind, uint32_t op, int64_t timestamp, size_t n,
                             const uint32_t* words, const uint8_t* flags, const int64_t* inputs,
                             size_t arity) {
  const int64_t first = end_.load(std::memory_order_relaxed);
  constexpr uint8_t kTaken = kNodeProtected | kNodePinned;
  size_t done = 0;
  while (done < n) {
    const int64_t id = end_.load(std::memory_order_relaxed);
    if (chunks_.empty() || id >= ((chunks_.back()->first_id | (kChunkRows - 1)) + 1)) {
      if (chunks_.empty()) begin_.store(id, std::memory_order_release);
      AddChunk(id, arity);
    }
    Chunk* c = chunks_.back().get();
    const size_t r0 = static_cast<size_t>(id - c->first_id);
    const int64_t chunk_end = (c->first_id | (kChunkRows - 1)) + 1;
    const size_t m = std::min(n - done, static_cast<size_t>(chunk_end - id));
    const size_t off = c->in_off[r0];
    if (off + m * arity > c->in_cap) GrowInputs(c, off + m * arity);
    if (arity != 0)
      std::memcpy(c->in_ids.get() + off, inputs + done * arity, m * arity * sizeof(int64_t));
    for (size_t k = 0; k < m; ++k) {
      const size_t r = r0 + k;
      c->in_off[r + 1] = static_cast<uint32_t>(off + (k + 1) * arity);
      c->kind[r] = kind;
      c->flags[r] = static_cast<uint8_t>(flags[done + k] & kTaken);
      c->op[r] = op;
      c->word[r] = words[done + k];
      c->name[r] = 0;
      c->timestamp[r] = timestamp;
    }
    done += m;
    live_.fetch_add(m, std::memory_order_relaxed);
    end_.store(id + static_cast<int64_t>(m), std::memory_order_release);
  }
  return first;
}

NodeStore::Chunk* NodeStore::ChunkFor(int64_t id) const {
  if (id < begin_.load(std::memory_order_relaxed) || id >= end_.load(std::memory_order_relaxed) ||
      chunks_.empty())
    return nullptr;
  const int64_t first = chunks_.front()->first_id;
  size_t k = 0;
  if (id >= (first | (kChunkRows - 1)) + 1)
    k = static_cast<size_t>((id >> kChunkShift) - (first >> kChunkShift));
  return k < chunks_.size() ? chunks_[k].get() : nullptr;
}

void NodeStore::SetNextId(int64_t id) {
  // Ids drawn but never stored (a failed construction) become erased rows, keeping ids and rows
  // contiguous; an empty store simply starts later.
  if (chunks_.empty()) {
    if (id > end_.load(std::memory_order_relaxed)) {
      end_.store(id, std::memory_order_release);
      begin_.store(id, std::memory_order_release);
    }
    return;
  }
  while (end_.load(std::memory_order_relaxed) < id) Append(0, kNodeErased, 0, 0, {}, 0);
}

// Flag, name and erase changes may come from any thread: they take mu_, which also keeps the
// chunk list from changing under ChunkFor.
bool NodeStore::SetFlags(int64_t id, uint8_t set, uint8_t clear) {
  std::lock_guard<std::mutex> lock(mu_);
  return SetFlagsLocked(id, set, clear);
}

bool NodeStore::SetFlagsLocked(int64_t id, uint8_t set, uint8_t clear) {
  if (Chunk* c = ChunkFor(id)) {
    auto f = std::atomic_ref<uint8_t>(c->flags[id - c->first_id]);
    const uint8_t old = f.load(std::memory_order_relaxed);
    if (old & kNodeErased) return false;
    f.store(static_cast<uint8_t>((old | set) & ~clear), std::memory_order_relaxed);
    return true;
  }
  auto copy = CopyPinned(*pinned_);
  for (Pinned& p : *copy) {
    if (p.view.id == id) {
      p.view.flags = static_cast<uint8_t>((p.view.flags | set) & ~clear);
      pinned_ = std::move(copy);
      return true;
    }
  }
  return false;
}

void NodeStore::SetExtra(int64_t id, uint32_t slot) {
  std::lock_guard<std::mutex> lock(mu_);
  if (slot == kNoExtra) {
    extras_.erase(id);
    SetFlagsLocked(id, 0, kNodeHasExtra);
  } else if (SetFlagsLocked(id, kNodeHasExtra)) {
    extras_[id] = slot;
  }
}

uint32_t NodeStore::Extra(int64_t id) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = extras_.find(id);
  return it == extras_.end() ? kNoExtra : it->second;
}

bool NodeStore::SetName(int64_t id, uint32_t name) {
  std::lock_guard<std::mutex> lock(mu_);
  if (Chunk* c = ChunkFor(id)) {
    if (c->flags[id - c->first_id] & kNodeErased) return false;
    std::atomic_ref<uint32_t>(c->name[id - c->first_id]).store(name, std::memory_order_relaxed);
    return true;
  }
  auto copy = CopyPinned(*pinned_);
  for (Pinned& p : *copy) {
    if (p.view.id == id) {
      p.view.name = name;
      pinned_ = std::move(copy);
      return true;
    }
  }
  return false;
}

bool NodeStore::Erase(int64_t id) {
  std::lock_guard<std::mutex> lock(mu_);
  if (Chunk* c = ChunkFor(id)) {
    auto f = std::atomic_ref<uint8_t>(c->flags[id - c->first_id]);
    const uint8_t old = f.load(std::memory_order_relaxed);
    if (old & kNodeErased) return false;
    f.store(static_cast<uint8_t>(old | kNodeErased), std::memory_order_relaxed);
    ++erased_in_range_;
    live_.fetch_sub(1, std::memory_order_relaxed);
    extras_.erase(id);
    return true;
  }
  auto copy = CopyPinned(*pinned_);
  auto it = std::find_if(copy->begin(), copy->end(), [&](const Pinned& p) { return p.view.id == id; });
  if (it == copy->end()) return false;
  copy->erase(it);
  pinned_ = std::move(copy);
  extras_.erase(id);
  live_.fetch_sub(1, std::memory_order_relaxed);
  return true;
}

std::vector<int64_t> NodeStore::EvictOldest(size_t count) {
  std::vector<int64_t> dropped;
  dropped.reserve(std::min(count, size()));
  Evict(count, &dropped, nullptr);
  return dropped;
}

size_t NodeStore::EvictOldest(size_t count, std::vector<int64_t>* had_extra) {
  return Evict(count, nullptr, had_extra);
}

size_t NodeStore::Evict(size_t count, std::vector<int64_t>* dropped_ids,
                        std::vector<int64_t>* had_extra) {
  size_t dropped = 0;
  const int64_t begin = begin_.load(std::memory_order_relaxed);
  const int64_t end = end_.load(std::memory_order_relaxed);
  std::vector<Pinned> newly_pinned;
  std::vector<int64_t> extra_ids;
  std::shared_ptr<Gone> gone;
  if (keep_gone_.load(std::memory_order_relaxed)) {
    gone = std::make_shared<Gone>();
    gone->first_id = begin;
  }
  int64_t id = begin;
  int64_t erased_passed = 0;
  // Chunk by chunk; erased rows right behind the last dropped node go too, so the next eviction
  // starts on a live row.
  bool done = false;
  while (id < end && !done) {
    Chunk* c = ChunkFor(id);
    const int64_t chunk_end = std::min(end, (c->first_id | (kChunkRows - 1)) + 1);
    for (; id < chunk_end; ++id) {
      const size_t r = static_cast<size_t>(id - c->first_id);
      const uint8_t flags = c->flags[r];
      if (flags & kNodeErased) {
        ++erased_passed;
        if (gone) {
          gone->words.push_back(0);
          gone->ops.push_back(0);
          gone->kinds.push_back(0);
          gone->have.push_back(0);
        }
        continue;
      }
      if (dropped >= count) {
        done = true;
        break;
      }
      if (gone) {
        gone->words.push_back(c->word[r]);
        gone->ops.push_back(c->op[r]);
        gone->kinds.push_back(c->kind[r]);
        uint8_t have = 0;
        if (!(flags & kNodePinned)) {
          have = Gone::kKept;
          if (flags & kNodeProtected) have |= Gone::kProtected;
        }
        gone->have.push_back(have);
      }
      if (flags & kNodePinned) {
        Pinned p;
        p.ids.assign(c->in_ids.get() + c->in_off[r], c->in_ids.get() + c->in_off[r + 1]);
        p.view = NodeView{id, c->kind[r], flags, c->op[r], c->word[r], c->name[r], c->timestamp[r], {}};
        newly_pinned.push_back(std::move(p));
        continue;
      }
      ++dropped;
      if (dropped_ids != nullptr) dropped_ids->push_back(id);
      if (flags & kNodeHasExtra) extra_ids.push_back(id);
    }
  }
  if (id == begin) return dropped;
  std::vector<std::shared_ptr<Chunk>> freed;  // released outside the lock
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!newly_pinned.empty()) {
      auto copy = CopyPinned(*pinned_);
      for (Pinned& p : newly_pinned) copy->push_back(std::move(p));
      for (Pinned& p : *copy) p.view.inputs = std::span<const int64_t>(p.ids);
      pinned_ = std::move(copy);
    }
    // Only flagged rows can have an extra slot.
    for (int64_t d : extra_ids) extras_.erase(d);
    if (gone && !gone->words.empty()) gone_.push_back(std::move(gone));
    // A chunk goes once every id it can hold lies below the new base.
    size_t drop_chunks = 0;
    while (drop_chunks < chunks_.size() &&
           ((chunks_[drop_chunks]->first_id | (kChunkRows - 1)) + 1) <= id)
      ++drop_chunks;
    freed.assign(chunks_.begin(), chunks_.begin() + static_cast<std::ptrdiff_t>(drop_chunks));
    chunks_.erase(chunks_.begin(), chunks_.begin() + static_cast<std::ptrdiff_t>(drop_chunks));
    erased_in_range_ -= erased_passed;
    begin_.store(id, std::memory_order_release);
  }
  live_.fetch_sub(dropped, std::memory_order_relaxed);
  if (had_extra != nullptr) *had_extra = std::move(extra_ids);
  return dropped;
}

void NodeStore::KeepEvictedWords(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  keep_gone_.store(on, std::memory_order_relaxed);
  if (!on) gone_.clear();
}

void NodeStore::Clear() {
  std::vector<std::shared_ptr<Chunk>> freed;
  std::lock_guard<std::mutex> lock(mu_);
  freed.swap(chunks_);
  gone_.clear();
  pinned_ = std::make_shared<const std::vector<Pinned>>();
  extras_.clear();
  erased_in_range_ = 0;
  begin_.store(end_.load(std::memory_order_relaxed), std::memory_order_release);
  live_.store(0, std::memory_order_release);
}

// ---------------------------------------------------------------- snapshots

NodeStore::Snapshot NodeStore::Snap() const {
  Snapshot s;
  std::lock_guard<std::mutex> lock(mu_);
  s.end_ = end_.load(std::memory_order_acquire);
  s.begin_ = begin_.load(std::memory_order_acquire);
  s.pinned_ = pinned_;
  s.gone_ = gone_;
  s.size_ = pinned_->size() + static_cast<size_t>(s.end_ - s.begin_ - erased_in_range_);
  s.chunks_.reserve(chunks_.size());
  s.arenas_.reserve(chunks_.size());
  for (const auto& c : chunks_) {
    s.chunks_.push_back(c);
    s.arenas_.push_back(c->in_ids);
  }
  return s;
}

const NodeStore::Gone* NodeStore::Snapshot::Kept(int64_t id, size_t* at) const {
  auto it = std::upper_bound(gone_.begin(), gone_.end(), id,
                             [](int64_t v, const auto& g) { return v < g->first_id; });
  if (it == gone_.begin()) return nullptr;
  const Gone& g = **(it - 1);
  *at = static_cast<size_t>(id - g.first_id);
  return *at < g.words.size() && g.have[*at] ? &g : nullptr;
}

bool NodeStore::Snapshot::EvictedWord(int64_t id, uint32_t* word) const {
  size_t at = 0;
  const Gone* g = Kept(id, &at);
  if (g == nullptr) return false;
  *word = g->words[at];
  return true;
}

bool NodeStore::Snapshot::EvictedNode(int64_t id, NodeView* out) const {
  size_t at = 0;
  const Gone* g = Kept(id, &at);
  if (g == nullptr) return false;
  *out = NodeView{};
  out->id = id;
  out->kind = g->kinds[at];
  out->flags = (g->have[at] & Gone::kProtected) ? kNodeProtected : 0;
  out->op = g->ops[at];
  out->word = g->words[at];
  return true;
}

bool NodeStore::Snapshot::Find(int64_t id, NodeView* out) const {
  if (id >= begin_) return FindInChunks(id, out);
  if (!pinned_) return false;
  auto it = std::lower_bound(pinned_->begin(), pinned_->end(), id,
                             [](const Pinned& p, int64_t v) { return p.view.id < v; });
  if (it == pinned_->end() || it->view.id != id) return false;
  *out = it->view;
  return true;
}

int64_t NodeStore::Snapshot::NewestWithWord(uint32_t word) const {
  NodeView v;
  for (int64_t id = end_ - 1; id >= begin_; --id) {
    if (FindInChunks(id, &v) && v.word == word) return id;
  }
  if (pinned_) {
    for (auto it = pinned_->rbegin(); it != pinned_->rend(); ++it) {
      if (it->view.word == word) return it->view.id;
    }
  }
  return -1;
}

std::vector<int64_t> NodeStore::Snapshot::WithWord(uint32_t word) const {
  std::vector<int64_t> out;
  ForEach([&](const NodeView& v) {
    if (v.word == word) out.push_back(v.id);
  });
  return out;
}

NodeColumns NodeStore::Snapshot::Slice(int64_t from, int64_t to) const {
  NodeColumns cols;
  auto add = [&](const NodeView& v) {
    cols.ids.push_back(v.id);
    cols.kinds.push_back(v.kind);
    cols.flags.push_back(v.flags);
    cols.ops.push_back(v.op);
    cols.words.push_back(v.word);
    cols.names.push_back(v.name);
    cols.timestamps.push_back(v.timestamp);
    cols.input_ids.insert(cols.input_ids.end(), v.inputs.begin(), v.inputs.end());
    cols.input_offsets.push_back(cols.input_ids.size());
  };
  if (pinned_) {
    for (const Pinned& p : *pinned_) {
      if (p.view.id >= from && p.view.id < to) add(p.view);
    }
  }
  NodeView v;
  for (int64_t id = std::max(from, begin_); id < std::min(to, end_); ++id) {
    if (FindInChunks(id, &v)) add(v);
  }
  return cols;
}

}  // namespace lumarq
