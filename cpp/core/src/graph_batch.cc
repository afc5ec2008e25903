#include "lumarq/graph_batch.h"

#include <climits>
#include <unordered_set>
#include <utility>

namespace lumarq {

GraphBatchBuilder::GraphBatchBuilder(const NodeStore::Snapshot& snap, const StringTable& strings,
                                     std::vector<std::string> kind_names, GraphBatchSource& source)
    : snap_(snap), strings_(strings), kind_names_(std::move(kind_names)), source_(source),
      kind_codes_(256, INT32_MIN) {}

void GraphBatchBuilder::Reserve(size_t n) {
  size_t cap = 16;
  while (cap < 2 * n) cap <<= 1;
  if (cap > slots_.size()) Rehash(cap);
  GraphBatch& b = batch_;
  for (auto* v : {&b.fingerprint, &b.pair_id, &b.entity_hash, &b.chain_hash}) v->reserve(n);
  for (auto* v : {&b.node_type, &b.operation, &b.table_name, &b.column_name}) v->reserve(n);
  for (auto* v : {&b.pair_id_null, &b.is_protected, &named_}) v->reserve(n);
  b.name.reserve(n);
  b.edge_parent.reserve(2 * n);
  b.edge_child.reserve(2 * n);
  b.edge_position.reserve(2 * n);
}

// The bulk write looks up every node once; a node-based map's allocation per entry would
// dominate it, hence open addressing.
int32_t GraphBatchBuilder::RowOf(int64_t fp, bool* fresh) {
  if (2 * (used_ + 1) > slots_.size()) Rehash(slots_.empty() ? 16 : 2 * slots_.size());
  const size_t mask = slots_.size() - 1;
  uint64_t h = static_cast<uint64_t>(fp) * 0x9E3779B97F4A7C15ULL;
  for (size_t i = static_cast<size_t>(h ^ (h >> 32)) & mask;; i = (i + 1) & mask) {
    Slot& s = slots_[i];
    if (s.row < 0) {
      s = {fp, static_cast<int32_t>(batch_.size())};
      ++used_;
      *fresh = true;
      return s.row;
    }
    if (s.key == fp) {
      *fresh = false;
      return s.row;
    }
  }
}

void GraphBatchBuilder::Rehash(size_t cap) {
  std::vector<Slot> old(cap);
  old.swap(slots_);
  const size_t mask = cap - 1;
  for (const Slot& s : old) {
    if (s.row < 0) continue;
    uint64_t h = static_cast<uint64_t>(s.key) * 0x9E3779B97F4A7C15ULL;
    size_t i = static_cast<size_t>(h ^ (h >> 32)) & mask;
    while (slots_[i].row >= 0) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

int32_t GraphBatchBuilder::Code(std::string_view text) {
  auto [it, fresh] = codes_.try_emplace(std::string(text), static_cast<int32_t>(batch_.texts.size()));
  if (fresh) batch_.texts.emplace_back(text);
  return it->second;
}

int32_t GraphBatchBuilder::StoreCode(uint32_t id) {
  if (id >= store_codes_.size()) store_codes_.resize(id + 1, INT32_MIN);
  if (store_codes_[id] == INT32_MIN) store_codes_[id] = Code(strings_.Get(id));
  return store_codes_[id];
}

int32_t GraphBatchBuilder::KindCode(uint8_t kind) {
  if (kind_codes_[kind] == INT32_MIN) {
    kind_codes_[kind] = Code(kind < kind_names_.size() ? kind_names_[kind] : std::string());
  }
  return kind_codes_[kind];
}

bool GraphBatchBuilder::AddRow(const NodeView& v, int64_t fp, bool held) {
  GraphBatchRow r;
  if (held) {
    if (!source_.HeldRow(v, static_cast<int32_t>(batch_.size()), *this, &r)) return false;
  } else {
    r.node_type = KindCode(v.kind);
    r.operation = StoreCode(v.op);
    r.is_protected = (v.flags & kNodeProtected) != 0;
  }
  int64_t entity, chain;
  if (!source_.Decode(fp, &entity, &chain)) return false;
  GraphBatch& b = batch_;
  b.fingerprint.push_back(fp);
  b.node_type.push_back(r.node_type);
  b.operation.push_back(r.operation);
  b.table_name.push_back(r.table_name);
  b.column_name.push_back(r.column_name);
  b.pair_id.push_back(r.pair_id_null ? 0 : r.pair_id);
  b.pair_id_null.push_back(r.pair_id_null);
  b.is_protected.push_back(r.is_protected);
  b.entity_hash.push_back(entity);
  b.chain_hash.push_back(chain);
  b.name.push_back(0);
  named_.push_back(0);
  return true;
}

bool GraphBatchBuilder::Add(const NodeView& v) {
  const bool held = (v.flags & kNodeHasExtra) && source_.Holds(v);
  int64_t fp = v.word;
  if (held && !source_.HeldFingerprint(v, &fp)) return false;
  bool fresh;
  const int32_t row = RowOf(fp, &fresh);
  if (fresh) {
    if (!AddRow(v, fp, held)) return false;
  } else {
    repeated_ = true;
  }
  const auto r = static_cast<size_t>(row);
  if (!named_[r]) {
    if (held) {
      named_[r] = source_.HeldName(v, row);
    } else if (v.name != 0) {
      batch_.name[r] = v.name;
      named_[r] = 1;
    }
  }
  if (held) return source_.HeldEdges(v, fp, *this);
  for (size_t i = 0; i < v.inputs.size(); ++i) {
    if (!AddInput(v.inputs[i], static_cast<int32_t>(i), fp)) return false;
  }
  return true;
}

bool GraphBatchBuilder::AddAll() {
  bool ok = true;
  snap_.ForEach([&](const NodeView& v) {
    if (ok) ok = Add(v);
  });
  return ok;
}

bool GraphBatchBuilder::AddRange(int64_t from, int64_t to) {
  NodeView v;
  for (int64_t id = from; id < to; ++id) {
    if (snap_.Find(id, &v) && !Add(v)) return false;
  }
  return true;
}

bool GraphBatchBuilder::AddInput(int64_t input, int32_t position, int64_t child) {
  NodeView p;
  if (!snap_.Find(input, &p)) {
    uint32_t word;  // an evicted input the store remembers: its word is its fingerprint
    if (snap_.EvictedWord(input, &word)) AddEdge(word, child, position);
    return true;
  }
  int64_t parent = p.word;
  if ((p.flags & kNodeHasExtra) && !source_.HeldFingerprint(p, &parent)) return false;
  AddEdge(parent, child, position);
  return true;
}

void GraphBatchBuilder::AddEdge(int64_t parent, int64_t child, int32_t position) {
  batch_.edge_parent.push_back(parent);
  batch_.edge_child.push_back(child);
  batch_.edge_position.push_back(position);
}

// Nodes sharing a fingerprint repeat their edges.
void GraphBatchBuilder::DropRepeatedEdges() {
  struct Key {
    int64_t parent, child;
    int32_t pos;
    bool operator==(const Key&) const = default;
  };
  struct Hash {
    size_t operator()(const Key& k) const noexcept {
      uint64_t h = static_cast<uint64_t>(k.parent) * 0x9E3779B97F4A7C15ULL;
      h ^= static_cast<uint64_t>(k.child) + 0x632BE59BD9B4E019ULL + (h << 6) + (h >> 2);
      h ^= static_cast<uint64_t>(k.pos) * 0xC2B2AE3D27D4EB4FULL;
      return static_cast<size_t>(h ^ (h >> 29));
    }
  };
  auto& parent = batch_.edge_parent;
  auto& child = batch_.edge_child;
  auto& pos = batch_.edge_position;
  std::unordered_set<Key, Hash> seen;
  seen.reserve(parent.size());
  size_t out = 0;
  for (size_t i = 0; i < parent.size(); ++i) {
    if (!seen.insert(Key{parent[i], child[i], pos[i]}).second) continue;
    parent[out] = parent[i];
    child[out] = child[i];
    pos[out] = pos[i];
    ++out;
  }
  parent.resize(out);
  child.resize(out);
  pos.resize(out);
}

GraphBatch GraphBatchBuilder::Finish() {
  if (repeated_) DropRepeatedEdges();
  return std::move(batch_);
}

}  // namespace lumarq
