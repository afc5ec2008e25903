// DAGTracker nodes in the core's columnar store.
//
// While nobody holds the tracker's node map, nodes live as rows of a NodeStore and no DAGNode
// exists for them. A DAGNode is made when one is asked for (get_node, get_dag, the persistence
// hook) and kept in `handed_out`, so the same object comes back and changes made to it stay;
// rows with such an object are flagged and read through the object. Nodes that carry more than a
// row holds (source fields, metadata, input lists that are not plain ints) are made as objects
// at once and kept the same way.
//
// Reading `_nodes` or `_prov_to_nodes` from Python, assigning them or `_next_node_id`, or an
// override of a node method on the tracker spills the store: every node becomes a DAGNode in the
// dicts and the tracker carries on with them, as the dicts are then the caller's to change.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>
#include <unordered_map>
#include <unordered_set>

#include "dag_persistence.h"
#include "dag_tracker.h"
#include "lumarq/graph.h"
#include "lumarq/row_kernels.h"
#include "lumarq/store_stats.h"
#include "lumarq/store_walk.h"
#include "lumarq/tracker_bookkeeping.h"

namespace lumarq::py {

using lumarq::NodeStore;
using lumarq::NodeView;
using dag_internal::Need;

uint32_t InternText(DagTracker& t, nb::handle text) {
  if (text.ptr() == t.last_text.ptr() && t.last_text.is_valid()) return t.last_text_id;
  if (!PyUnicode_CheckExact(text.ptr())) return UINT32_MAX;
  Py_ssize_t n = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
  if (utf8 == nullptr) {
    PyErr_Clear();  // lone surrogates: not representable as a stored text
    return UINT32_MAX;
  }
  const uint32_t id = t.store->strings().Intern(std::string_view(utf8, static_cast<size_t>(n)));
  if (id >= t.texts.size()) t.texts.resize(id + 1);
  if (!t.texts[id].is_valid()) t.texts[id] = nb::borrow(text);
  t.last_text = nb::borrow(text);
  t.last_text_id = id;
  return id;
}

nb::object TextOf(DagTracker& t, uint32_t id) {
  if (id < t.texts.size() && t.texts[id].is_valid()) return t.texts[id];
  const std::string s = t.store->strings().Get(id);
  nb::object text = Steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
  if (id >= t.texts.size()) t.texts.resize(id + 1);
  t.texts[id] = text;
  return text;
}

nb::object HandedOut(DagTracker& t, int64_t id) {
  nb::object* held = t.handed_out.Find(id);
  return held != nullptr ? *held : nb::object();
}

namespace {

/// The DAGNode handed out for a stored row flagged as having one, or an invalid object.
nb::object Held(DagTracker& t, const NodeView& v) {
  return (v.flags & lumarq::kNodeHasExtra) ? HandedOut(t, v.id) : nb::object();
}

/// The int for a stored word; ints are immutable, so consecutive rows with one word share it.
nb::handle WordOf(DagTracker& t, uint32_t word) {
  if (!t.last_word.is_valid() || t.last_word_value != word) {
    t.last_word = PyWord(word);
    t.last_word_value = word;
  }
  return t.last_word;
}

/// A new DAGNode with a stored row's fields; `name` is the assigned column's text, or unset.
nb::object NewRowNode(nb::handle id, uint8_t kind, nb::handle op, nb::handle prov,
                      std::span<const int64_t> inputs, uint8_t flags, nb::handle name) {
  NodeFields f;
  f.node_id = id;
  f.node_type = KindMember(static_cast<NodeKind>(kind));
  f.operation = op;
  f.provenance = prov;
  f.ids = inputs.data();
  f.n_ids = inputs.size();
  if (flags & lumarq::kNodeProtected) f.is_protected = Py_True;
  nb::object node = NewNode(f);
  if (name.is_valid()) NodeAssignColumn(node, name);
  return node;
}

/// MaterializeRow with the row's id already made as an int object (`id`), which a new node
/// takes as its node_id.
nb::object MaterializeRowAt(DagTracker& t, const NodeView& v, bool keep, nb::handle id) {
  if (nb::object held = Held(t, v); held.is_valid()) return held;
  nb::object op = TextOf(t, v.op);
  nb::object name = v.name != 0 ? TextOf(t, v.name) : nb::object();
  nb::object node = NewRowNode(id, v.kind, op, WordOf(t, v.word), v.inputs, v.flags, name);
  if (!keep) return node;
  nb::object kept = *t.handed_out.Emplace(v.id, std::move(node)).first;
  t.store->SetFlags(v.id, lumarq::kNodeHasExtra);
  return kept;
}

}  // namespace

nb::object MaterializeRow(DagTracker& t, const NodeView& v, bool keep) {
  return MaterializeRowAt(t, v, keep, PyInt(v.id));
}

nb::object StoreNode(DagTracker& t, nb::handle id, bool keep) {
  int64_t id64;
  if (!ExactInt64(id, &id64)) {
    // Ids are ints; an equal non-int key (True, 1.0) finds the node as a dict lookup would.
    nb::object as_int = ImportName(kReads, "int_key")(id);
    if (!ExactInt64(as_int, &id64)) return nb::none();
  }
  NodeView v;
  if (!t.store->Snap().Find(id64, &v)) return nb::none();
  return MaterializeRow(t, v, keep);
}

namespace {

/// (id, node) of the stored rows in id order, objects made for the call where none was handed
/// out; with `protected_rows`, only rows handed out, the flag set when another row is protected.
std::vector<std::pair<nb::object, nb::object>> StoreRows(DagTracker& t, bool* protected_rows) {
  auto snap = t.store->Snap();
  std::vector<std::pair<nb::object, nb::object>> nodes;
  if (protected_rows == nullptr) nodes.reserve(snap.size());
  snap.ForEach([&](const NodeView& v) {
    if (protected_rows != nullptr && !(v.flags & lumarq::kNodeHasExtra)) {
      if (v.flags & lumarq::kNodeProtected) *protected_rows = true;
      return;
    }
    nodes.emplace_back(PyInt(v.id), MaterializeRow(t, v, /*keep=*/false));
  });
  return nodes;
}

}  // namespace

/// `_prov_to_nodes[provenance].append(node_id)`, creating the list on first use.
void IndexProvenance(nb::handle prov_map, nb::handle provenance, nb::handle node_id) {
  if (!PyDict_CheckExact(prov_map.ptr())) {
    if (!Contains(prov_map, provenance)) SetItem(prov_map, provenance, nb::list());
    Append(prov_map[provenance], node_id);
    return;
  }
  PyObject* ids = PyDict_GetItemWithError(prov_map.ptr(), provenance.ptr());
  if (ids != nullptr) {
    Append(ids, node_id);
    return;
  }
  if (PyErr_Occurred()) throw nb::python_error();
  // Most provenance values are produced once: a list sized for one id.
  nb::object list = Steal(PyList_New(1));
  PyList_SET_ITEM(list.ptr(), 0, node_id.inc_ref().ptr());
  // The tracker's id lists hold ints only, so they cannot take part in a cycle; keeping one
  // list per provenance out of the collector spares every full collection a walk over them.
  PyObject_GC_UnTrack(list.ptr());
  if (PyDict_SetItem(prov_map.ptr(), provenance.ptr(), list.ptr()) < 0) throw nb::python_error();
}

void StoreAsDicts(DagTracker& t, nb::handle map, nb::handle prov_map) {
  CollectorPaused paused;
  for (auto& [id, node] : StoreRows(t, nullptr)) {
    SetItem(map, id, node);
    IndexProvenance(prov_map, NodeField(node, kProvenance), id);
  }
}

nb::object NodesToRead(DagTracker& t, bool* protected_rows) {
  if (!t.store) return Need(t.nodes, "_nodes");
  CollectorPaused paused;
  nb::dict map;
  for (auto& [id, node] : StoreRows(t, protected_rows)) SetItem(map, id, node);
  return map;
}

void SpillStore(DagTracker& t) {
  if (!t.store) return;
  SettleRowColumns(t);  // their texts are the store's
  StoreAsDicts(t, Need(t.nodes, "_nodes"), Need(t.prov_to_nodes, "_prov_to_nodes"));
  t.store.reset();
  lumarq::IdMap<nb::object> dropped = std::move(t.handed_out);  // released on return
  t.texts.clear();
  t.last_text = nb::object();
}

bool StoreAppendPlain(DagTracker& t, int64_t id, NodeKind kind, nb::handle op,
                      std::span<const int64_t> inputs, uint32_t word, bool is_protected) {
  const uint32_t op_id = InternText(t, op);
  if (op_id == UINT32_MAX || !lumarq::ClaimRowId(*t.store, id)) return false;
  uint8_t flags = is_protected ? lumarq::kNodeProtected : 0;
  if (kind == NodeKind::kSource) flags |= lumarq::kNodePinned;
  t.store->Append(static_cast<uint8_t>(kind), flags, op_id, word, inputs, t.clock.Tick());
  return true;
}

bool StoreAppendObject(DagTracker& t, int64_t id, nb::handle node) {
  const int kind = KindOf(NodeField(node, kNodeType));
  uint32_t word;
  std::vector<int64_t> ids;
  if (!kind || !ExactWord(NodeField(node, kProvenance), &word) || !NodeInputIds(node, &ids)) {
    return false;
  }
  nb::object op = NodeField(node, kOperation);
  uint32_t op_id = InternText(t, op);
  if (op_id == UINT32_MAX) op_id = 0;  // the object is read instead
  if (!lumarq::ClaimRowId(*t.store, id)) return false;
  uint8_t flags = lumarq::kNodeHasExtra;
  if (NodeIsProtected(node)) flags |= lumarq::kNodeProtected;
  if (kind == static_cast<int>(NodeKind::kSource)) flags |= lumarq::kNodePinned;
  std::optional<nb::object> replaced = t.handed_out.Take(id);  // released on return
  t.handed_out.Emplace(id, nb::borrow(node));
  t.store->Append(static_cast<uint8_t>(kind), flags, op_id, word, ids, t.clock.Tick());
  t.store->SetFlags(id, lumarq::kNodeHasExtra);
  return true;
}

void StoreEvict(DagTracker& t, std::vector<nb::object>* released) {
  const size_t n = t.store->size();
  std::vector<int64_t> held;  // dropped rows that had an object
  // A persisting tracker's later nodes still name evicted inputs: their edges need the words.
  t.store->KeepEvictedWords(t.writer.is_valid() && !t.writer.is_none());
  t.store->EvictOldest(n / 10, &held);
  // Objects are released after the indexes are consistent: a finaliser may run Python code.
  std::vector<nb::object> local;
  std::vector<nb::object>& out = released != nullptr ? *released : local;
  for (int64_t id : held) {
    if (std::optional<nb::object> node = t.handed_out.Take(id)) out.push_back(std::move(*node));
  }
}

namespace {

/// A get_dag walk over the store, turned into DAGNode and DAGEdge objects when the graph's
/// containers are first read. The tracker is held until then: a row still stored at that point
/// becomes the node the tracker hands out for it (the same object get_node returns, changes
/// included), as if it had been made during the walk. Rows gone by then (evicted, or the tracker
/// spilled and dropped them) are made from what the walk saw.
class StoreDag final : public PendingDag {
 public:
  StoreDag(nb::handle tracker, nb::handle root_obj, int64_t root)
      : tracker_(nb::borrow(tracker)), root_obj_(nb::borrow(root_obj)), root_(root) {}

  /// The core's walk; a node with an object is followed through the object's inputs. False
  /// when such inputs are not plain ints.
  bool Walk(DagTracker& t) {
    auto snap = t.store->Snap();
    auto held = [&](const NodeView& v, uint32_t at, std::vector<int64_t>* ids) {
      nb::object node = HandedOut(t, v.id);
      if (!node.is_valid()) node = MaterializeRow(t, v, /*keep=*/true);
      if (!NodeInputIds(node, ids)) return false;
      held_.emplace_back(at, std::move(node));
      return true;
    };
    if (!lumarq::WalkStore(snap, root_, held, &walk_)) return false;
    // Texts now: the store may be gone when the graph is read.
    for (const lumarq::StoreWalk::Row& row : walk_.rows) {
      if (!row.found) continue;
      Text(t, row.op);
      if (row.name != 0) Text(t, row.name);
    }
    return true;
  }

  void Build(nb::object* nodes_out, nb::object* edges_out) override {
    DagTracker& t = *nb::inst_ptr<DagTracker>(tracker_);
    std::optional<NodeStore::Snapshot> snap;
    if (t.store) snap.emplace(t.store->Snap());
    const auto& rows = walk_.rows;
    std::vector<PyObject*> keys(rows.size(), nullptr);  // held by `found`
    nb::dict found = DictWithRoom(rows.size());
    FillingContainer filling_found(found.ptr());
    size_t next_held = 0;
    for (size_t at = 0; at < rows.size(); ++at) {
      const lumarq::StoreWalk::Row& row = rows[at];
      if (!row.found) continue;
      nb::object key = row.id == root_ ? root_obj_ : nb::object();
      nb::object node;
      if (next_held < held_.size() && held_[next_held].first == at) {
        node = held_[next_held++].second;
        if (!key.is_valid()) key = IdKey(node, row.id);
      } else {
        if (!key.is_valid()) key = PyInt(row.id);
        node = Current(t, snap ? &*snap : nullptr, at, row.id == root_ ? PyInt(row.id) : key);
      }
      if (PyDict_SetItem(found.ptr(), key.ptr(), node.ptr()) < 0) throw nb::python_error();
      filling_found.Untrack();
      keys[at] = key.ptr();
    }

    // The edges, in walk order; a source is the visited input's own key object.
    nb::object index_objs[2] = {PyInt(0), PyInt(1)};
    nb::object edges = Steal(PyList_New(static_cast<Py_ssize_t>(walk_.inputs.size())));
    FillingContainer filling_edges(edges.ptr());
    Py_ssize_t e = 0;
    for (size_t at = 0; at < rows.size(); ++at) {
      const lumarq::StoreWalk::Row& row = rows[at];
      for (uint32_t i = 0; i < row.inputs; ++i) {
        const size_t k = row.first_input + i;
        PyObject* source_key = keys[walk_.input_at[k]];
        nb::object source = source_key != nullptr ? nb::borrow(source_key) : PyInt(walk_.inputs[k]);
        nb::object index = i < 2 ? index_objs[i] : PyInt(static_cast<int64_t>(i));
        PyList_SET_ITEM(edges.ptr(), e++, NewEdge(source, keys[at], index).release().ptr());
      }
    }
    *nodes_out = std::move(found);
    *edges_out = std::move(edges);
  }

  int Traverse(visitproc visit, void* arg) override {
    Py_VISIT(tracker_.ptr());
    Py_VISIT(root_obj_.ptr());
    for (auto& [at, node] : held_) Py_VISIT(node.ptr());
    return 0;
  }

 private:
  /// A store text, kept: every text of the walk is read during it, so reading the graph later
  /// needs no store.
  PyObject* Text(DagTracker& t, uint32_t id) {
    if (id == last_text_id_ && last_text_ != nullptr) return last_text_;
    auto [it, added] = texts_.try_emplace(id);
    if (added) it->second = TextOf(t, id);
    last_text_id_ = id;
    last_text_ = it->second.ptr();
    return last_text_;
  }

  /// The graph's key for a held node: its own node_id object while that still is the id (no
  /// new int per node), else a new int.
  static nb::object IdKey(nb::handle node, int64_t id) {
    if (DagNode* n = NativeNode(node)) {
      int64_t held_id;
      if (n->node_id.is_valid() && ExactInt64(n->node_id, &held_id) && held_id == id) {
        return n->node_id;
      }
    }
    return PyInt(id);
  }

  /// The node for the row at walk position `at`: the tracker's own while it still has the row,
  /// else a new one from the walk's copy.
  nb::object Current(DagTracker& t, const NodeStore::Snapshot* snap, size_t at, nb::handle id) {
    const lumarq::StoreWalk::Row& row = walk_.rows[at];
    if (snap != nullptr) {
      NodeView v;
      if (t.store && snap->Find(row.id, &v)) return MaterializeRowAt(t, v, /*keep=*/true, id);
    } else if (t.nodes.is_valid() && PyDict_CheckExact(t.nodes.ptr())) {
      PyObject* hit = PyDict_GetItemWithError(t.nodes.ptr(), id.ptr());
      if (hit != nullptr) return nb::borrow(hit);
      if (PyErr_Occurred()) throw nb::python_error();
    }
    nb::handle name = row.name != 0 ? Text(t, row.name) : nullptr;
    return NewRowNode(id, row.kind, Text(t, row.op), WordOf(t, row.word),
                      {walk_.inputs.data() + row.first_input, row.inputs}, row.flags, name);
  }

  nb::object tracker_, root_obj_;
  int64_t root_;
  lumarq::StoreWalk walk_;
  std::vector<std::pair<uint32_t, nb::object>> held_;  // (position, node object), positions rising
  std::unordered_map<uint32_t, nb::object> texts_;
  uint32_t last_text_id_ = 0;
  PyObject* last_text_ = nullptr;
};

/// Names the column stored nodes were assigned to (first name wins; sources are skipped).
void StoreNameNodes(DagTracker& t, std::span<const int64_t> ids, nb::handle name) {
  const uint32_t name_id = InternText(t, name);
  auto snap = t.store->Snap();
  for (int64_t id : ids) {
    NodeView v;
    if (!snap.Find(id, &v) || v.kind == static_cast<uint8_t>(NodeKind::kSource)) continue;
    if (nb::object node = Held(t, v); node.is_valid()) {
      NodeAssignColumn(node, name);
      continue;
    }
    if (v.name == 0 && name_id != UINT32_MAX) {
      t.store->SetName(id, name_id);
    } else if (v.name == 0) {
      NodeAssignColumn(MaterializeRow(t, v, /*keep=*/true), name);
    }
  }
}

}  // namespace

void NameNodeIds(nb::handle tracker, std::span<const int64_t> ids, nb::handle name) {
  if (!AsBool(tracker)) return;
  DagTracker* native = DagTrackerPtr(tracker);
  nb::object nodes;
  if ((native == nullptr || !native->store) &&
      (!TryGetAttr(tracker, "_nodes", &nodes) || !PyDict_Check(nodes.ptr())))
    return;
  const std::vector<int64_t> unique = DistinctNodeIds(ids);
  if (unique.empty()) return;
  nb::object text = Steal(PyObject_Str(name.ptr()));
  // Nodes reach a writer as they are made, unnamed. With a store, names go to the writer as
  // they are given: the whole-graph write at the first flush holds only nodes still in memory,
  // so a node named and then evicted before it, or evicted before it is named, would keep no
  // name. The record path (nodes in dicts) keeps no evicted words: there the graph write at
  // the first flush carries the names given until then, and later ones are sent here.
  nb::object persisted, writer;
  const bool writing = TryGetAttr(tracker, "_writer", &writer) && AsBool(writer);
  const bool resend = writing && TryGetAttr(tracker, "_nodes_persisted", &persisted) &&
                      AsBool(persisted);
  if (!nodes.is_valid()) {
    StoreNameNodes(*native, unique, text);
    if (writing) PersistNamedNodes(tracker, unique, text);
    return;
  }
  std::unordered_set<Py_hash_t> words;
  for (int64_t id : unique) {
    nb::object node = MapGet(nodes, PyInt(id));
    if (!node.is_valid() || node.is_none() || NodeIsSource(node)) continue;  // evicted or a source
    NodeAssignColumn(node, text);
    if (resend && words.insert(nb::hash(NodeField(node, kProvenance))).second) {
      try {  // a failing store (or override) never fails the assignment that named the node
        CallMethod(tracker, Interned("_persist_node"), node);
      } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        LogWarning("Failed to persist the name of DAG node %d: %s",
                   {NodeField(node, kNodeId), ExceptionOf(e)});
      }
    }
  }
}

nb::object StoreInputProvenance(DagTracker& t, nb::handle id) {
  int64_t id64;
  if (!ExactInt64(id, &id64)) return nb::object();
  NodeView v;
  auto snap = t.store->Snap();
  if (!snap.Find(id64, &v)) {
    // An input evicted while a writer was attached is still named by its word.
    uint32_t word;
    return snap.EvictedWord(id64, &word) ? PyWord(word) : nb::object();
  }
  if (nb::object node = Held(t, v); node.is_valid()) return NodeField(node, kProvenance);
  return PyWord(v.word);
}

// ---------------------------------------------------------------- read methods
// From the store while there is one; from the dicts (natively where the ids allow) otherwise.

using dag_internal::Self;

nb::object GetNode(nb::handle self, nb::handle node_id) {
  nb::object id = AsInt(node_id, "node_id");
  DagTracker& t = Self(self);
  if (t.store) return StoreNode(t, id, /*keep=*/true);
  return MapGet(Need(t.nodes, "_nodes"), id);
}

nb::object GetNodesForProvenance(nb::handle self, nb::handle provenance) {
  nb::object p = AsInt(provenance, "provenance");
  DagTracker& t = Self(self);
  if (t.store) {
    uint32_t word;
    int64_t any;
    if (ExactWord(p, &word)) {
      nb::list out;
      auto snap = t.store->Snap();
      for (int64_t id : snap.WithWord(word)) {
        NodeView v;
        if (snap.Find(id, &v)) out.append(MaterializeRow(t, v, /*keep=*/true));
      }
      return out;
    }
    if (ExactInt64(p, &any)) return nb::list();  // an int no stored word equals
    SpillStore(t);
  }
  return ImportName(kReads, "nodes_for_provenance")(Need(t.nodes, "_nodes"),
                                                     Need(t.prov_to_nodes, "_prov_to_nodes"), p);
}

namespace {

struct FallBack {};  // an input id that only Python equality can place

/// get_dag over ids that are all ints within int64: the walk keeps its queue and visited set
/// in C++ and touches Python only for the dict lookups and the results.
nb::object GetDagNative(nb::handle nodes, nb::handle root_obj, int64_t root) {
  nb::dict found;
  nb::list edges;
  std::vector<int64_t> inputs;
  BreadthFirstWalk(root, [&](int64_t id, auto&& enqueue) {
    nb::object key = id == root ? nb::borrow(root_obj) : PyInt(id);
    PyObject* hit = PyDict_GetItemWithError(nodes.ptr(), key.ptr());
    if (hit == nullptr) {
      if (PyErr_Occurred()) throw nb::python_error();
      return;
    }
    nb::object node = nb::borrow(hit);
    if (!NodeInputIds(node, &inputs)) throw FallBack{};
    found[key] = node;
    for (size_t i = 0; i < inputs.size(); ++i) {
      edges.append(NewEdge(PyInt(inputs[i]), key, nb::int_(i)));
      enqueue(inputs[i]);
    }
  });
  return NewComputationDag(root_obj, found, edges);
}

}  // namespace

nb::object GetDag(nb::handle self, nb::handle root_node_id) {
  nb::object root = AsInt(root_node_id, "root_node_id");
  DagTracker& t = Self(self);
  int64_t root64;
  const bool int_root = ExactInt64(root, &root64);
  if (t.store && int_root) {
    auto walk = std::make_shared<StoreDag>(self, root, root64);
    // The walk fails when a held node's inputs are not plain ints: the dicts place those.
    if (walk->Walk(t)) return NewPendingComputationDag(root, std::move(walk));
  }
  SpillStore(t);
  nb::object nodes = Need(t.nodes, "_nodes");
  if (PyDict_CheckExact(nodes.ptr()) && int_root) {
    try {
      return GetDagNative(nodes, root, root64);
    } catch (FallBack&) {
    }
  }
  return ImportName(kReads, "dag_of")(nodes, root);
}

nb::object DagStats(nb::handle self) {
  DagTracker& t = Self(self);
  auto held = [&](const NodeView& v, lumarq::CountedNode* n) {
    nb::object node = HandedOut(t, v.id);
    if (!node.is_valid()) return true;
    n->source = NodeIsSource(node);
    n->is_protected = NodeIsProtected(node);
    n->op = InternText(t, NodeField(node, kOperation));
    return n->op != UINT32_MAX;
  };
  lumarq::StoreCounts c;
  const auto source = static_cast<uint8_t>(NodeKind::kSource);
  if (!t.store || !lumarq::CountStore(t.store->Snap(), source, held, &c)) {
    SpillStore(t);  // a held node needs the dict path
    nb::object nodes = Need(t.nodes, "_nodes");
    return ImportName(kReads, "dag_stats")(nodes, Need(t.prov_to_nodes, "_prov_to_nodes"));
  }
  nb::dict ops;
  for (auto [op, count] : c.operations) ops[TextOf(t, op)] = nb::int_(count);
  return ImportName(kReads, "stats_of")(c.total, c.sources, c.protected_nodes, ops, c.unique_words,
                                        c.protected_source_nodes);
}

}  // namespace lumarq::py
