#include "dag_tracker.h"

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <vector>

#include "containers_support.h"
#include "dag_persistence.h"
#include "lumarq/id_removal.h"
#include "lumarq/word.h"

namespace lumarq::py {

namespace dag_internal {

DagTracker& Self(nb::handle self) {
  DagTracker* t = DagTrackerPtr(self);
  if (t == nullptr) {
    if (DagTrackerType() != nullptr && PyObject_TypeCheck(self.ptr(), DagTrackerType())) {
      throw nb::type_error("DAGTracker.__init__() was not called on this object");
    }
    RaiseArgType("self", "DAGTracker", self);
  }
  return *t;
}

nb::object Need(const nb::object& o, const char* name) {
  if (!o.is_valid()) {
    PyErr_Format(PyExc_AttributeError, "'DAGTracker' object has no attribute '%s'", name);
    throw nb::python_error();
  }
  return o;
}

bool Native(nb::handle self, const char* name) {
  return UsesNative(self, Interned(name), DagTrackerType());
}

}  // namespace dag_internal


// ---------------------------------------------------------------- DagLock

bool DagLock::Acquire(bool blocking, double timeout_s) {
  if (TryAcquire()) return true;
  if (!blocking) return false;
  // Waits in slices so that a signal (KeyboardInterrupt) reaches the main thread meanwhile.
  return AcquireWithin(timeout_s, 0.05, [this](double slice) {
    bool ok;
    {
      nb::gil_scoped_release unlocked;
      ok = WaitFor(slice);
    }
    if (!ok && PyErr_CheckSignals() < 0) throw nb::python_error();
    return ok;
  });
}

namespace {

using dag_internal::Native;
using dag_internal::Need;
using dag_internal::Self;

constexpr const char* kMethods = "lumarq.utilities._dag_methods";

PyTypeObject* g_lock_type = nullptr;
PyTypeObject* g_dag_tracker_type = nullptr;
destructor g_base_dealloc = nullptr;

PyTypeObject* LockType() {
  if (g_lock_type == nullptr) {
    nb::handle t = nb::type<DagLock>();
    if (t.is_valid()) g_lock_type = reinterpret_cast<PyTypeObject*>(t.ptr());
  }
  return g_lock_type;
}

DagLock* NativeLock(nb::handle lock) {
  if (Py_TYPE(lock.ptr()) != LockType() || !nb::inst_ready(lock)) return nullptr;
  return nb::inst_ptr<DagLock>(lock);
}

void LockRelease(DagLock& lock) {
  if (!lock.Release()) {
    PyErr_SetString(PyExc_RuntimeError, "release unlocked lock");
    throw nb::python_error();
  }
}

/// `with lock:` for the native lock and for any object with the context-manager protocol (for
/// example a threading.Lock that replaced it).
class LockGuard {
 public:
  explicit LockGuard(nb::handle lock) : lock_(nb::borrow(lock)), native_(NativeLock(lock)) {
    if (native_ != nullptr) {
      if (!native_->TryAcquire()) native_->Acquire();
    } else {
      CallMethod(lock_, Interned("__enter__"));
    }
    held_ = true;
  }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

  void Release() {
    if (!held_) return;
    held_ = false;
    if (native_ != nullptr) {
      LockRelease(*native_);
    } else {
      CallMethod(lock_, Interned("__exit__"), nb::none(), nb::none(), nb::none());
    }
  }

  // Errors cannot propagate from here: a native lock released under us is ignored, and a
  // failing __exit__ is reported as unraisable.
  ~LockGuard() {
    if (held_ && native_ != nullptr) {
      held_ = false;
      native_->Release();
    }
    try {
      Release();
    } catch (nb::python_error& e) {
      e.discard_as_unraisable(lock_);
    }
  }

 private:
  nb::object lock_;
  DagLock* native_;
  bool held_ = false;
};

// ---------------------------------------------------------------- node creation

/// What a caller of _create_node passes; unset handles take the DAGNode defaults.
struct Creation {
  NodeFields fields;  // node_id is filled in by CreateNode
  nb::handle kwargs;  // the Python path: extra DAGNode keyword arguments (a dict) instead
};

bool IsTainted(nb::handle self, nb::handle provenance) {
  if (Native(self, "is_tainted")) return TaintOf(AsWord(provenance, "provenance"));
  return AsBool(CallMethod(self, Interned("is_tainted"), provenance));
}

void EvictOldest(nb::handle self);

nb::object NextId(nb::handle current) {
  int64_t v;
  if (ExactInt64(current, &v) && v < INT64_MAX) return PyInt(v + 1);
  return Steal(PyNumber_Add(current.ptr(), nb::int_(1).ptr()));
}

/// `n > limit` (`op` Py_GT) or `n >= limit` (Py_GE) for a limit object of any type.
bool CountPasses(Py_ssize_t n, nb::handle limit, int op) {
  int64_t v;
  if (ExactInt64(limit, &v)) return op == Py_GT ? n > v : n >= v;
  const int r = PyObject_RichCompareBool(PyInt(n).ptr(), limit.ptr(), op);
  if (r < 0) throw nb::python_error();
  return r != 0;
}

bool LogIsNative(nb::handle tracker, const char* method) {
  return DagTrackerPtr(tracker) != nullptr && Native(tracker, method) &&
         Native(tracker, "_create_node");
}

/// True when no method can be overridden: the exact class, with no instance attributes.
bool AllNative(nb::handle self) {
  PyObject* obj = self.ptr();
  if (Py_TYPE(obj) != DagTrackerType()) return false;
  PyObject** dict = _PyObject_GetDictPtr(obj);
  return dict == nullptr || *dict == nullptr || PyDict_GET_SIZE(*dict) == 0;
}

/// The DAGNode of a creation that the store cannot hold as a row alone, marked protected when
/// its provenance is tainted; `provenance` receives the node's provenance.
nb::object MakeNode(nb::handle self, Creation& c, bool all_native, nb::object* provenance) {
  nb::object node;
  bool is_protected;
  if (c.kwargs.is_valid()) {
    node = NewNodeFromKwargs(c.fields, c.kwargs);
    *provenance = NodeField(node, kProvenance);
    is_protected = NodeIsProtected(node);
  } else {
    node = NewNode(c.fields);
    *provenance = nb::borrow(c.fields.provenance);
    is_protected = c.fields.is_protected.is_valid() && AsBool(c.fields.is_protected);
  }
  if (!is_protected && AsBool(*provenance) &&
      (all_native ? TaintOf(AsWord(*provenance, "provenance")) : IsTainted(self, *provenance))) {
    NodeMarkProtected(node);
  }
  return node;
}

/// Step 6 of _create_node: `self._persist_node(node)` while a writer is attached. A node stored
/// as a row alone (`node` unset) gets an object for it, which is not kept.
void PersistHook(nb::handle self, DagTracker& t, bool all_native, nb::handle node, int64_t id) {
  nb::object writer = Need(t.writer, "_writer");
  if (writer.is_none() || !AsBool(writer)) return;
  nb::object made = node.is_valid() ? nb::borrow(node) : StoreNode(t, PyInt(id), false);
  if (all_native || Native(self, "_persist_node")) {
    PersistNode(self, made);
  } else {
    CallMethod(self, Interned("_persist_node"), made);
  }
}

/// Step 7: eviction past `_max_nodes`, in the store or (for a bound the store cannot compare)
/// in the dicts, through `_evict_oldest_nodes` when it is overridden.
void EvictPastLimit(nb::handle self, DagTracker& t, bool all_native) {
  int64_t limit;
  if (t.store && ExactInt64(Need(t.max_nodes, "_max_nodes"), &limit)) {
    if (static_cast<int64_t>(t.store->size()) > limit) StoreEvict(t);
    return;
  }
  SpillStore(t);
  nb::object nodes = Need(t.nodes, "_nodes");
  const Py_ssize_t n = PyDict_CheckExact(nodes.ptr()) ? PyDict_GET_SIZE(nodes.ptr()) : Size(nodes);
  if (!CountPasses(n, Need(t.max_nodes, "_max_nodes"), Py_GT)) return;
  if (all_native || Native(self, "_evict_oldest_nodes")) {
    EvictOldest(self);
  } else {
    CallMethod(self, Interned("_evict_oldest_nodes"));
  }
}

/// _create_node steps 1 to 8. Every call into Python (an is_tainted override, _persist_node, a
/// foreign lock, evicted nodes whose metadata runs finalisers) may let other threads run, so the
/// attributes are read afresh at each step.
nb::object CreateNode(nb::handle self, DagTracker& t, Creation& c) {
  if (!t.persistence_checked) {
    // Once per tracker, at its first node: a storage URL without an API key would otherwise
    // keep everything in memory without a word (see the lifecycle module).
    t.persistence_checked = true;
    ImportName(kLifecycle, "warn_if_persistence_off")(self);
  }
  const bool all_native = AllNative(self);
  if (t.store && !all_native) SpillStore(t);
  LockGuard guard(Need(t.dag_lock, "_dag_lock"));
  nb::object node_id = Need(t.next_node_id, "_next_node_id");
  t.next_node_id = NextId(node_id);
  c.fields.node_id = node_id;
  int64_t id64 = -1;
  if (t.store && !ExactInt64(node_id, &id64)) SpillStore(t);
  bool stored = false;
  nb::object node;  // stays unset for a node the store holds as a row alone
  uint32_t word;
  if (t.store && !c.kwargs.is_valid() && !c.fields.inputs.is_valid() &&
      !c.fields.metadata.is_valid() && !c.fields.table.is_valid() &&
      !c.fields.is_protected.is_valid() && ExactWord(c.fields.provenance, &word)) {
    stored = StoreAppendPlain(t, id64, static_cast<NodeKind>(KindOf(c.fields.node_type)),
                              c.fields.operation, {c.fields.ids, c.fields.n_ids}, word,
                              word != 0 && TaintOf(word));
    if (!stored) SpillStore(t);
  }
  if (!stored) {
    nb::object provenance;
    node = MakeNode(self, c, all_native, &provenance);
    if (t.store) {
      stored = StoreAppendObject(t, id64, node);
      if (!stored) SpillStore(t);
    }
    if (!stored) {
      nb::object nodes = Need(t.nodes, "_nodes");
      if (PyDict_CheckExact(nodes.ptr())) {
        if (PyDict_SetItem(nodes.ptr(), node_id.ptr(), node.ptr()) < 0) throw nb::python_error();
      } else {
        SetItem(nodes, node_id, node);
      }
      IndexProvenance(Need(t.prov_to_nodes, "_prov_to_nodes"), provenance, node_id);
    }
  }
  PersistHook(self, t, all_native, node, id64);
  // A hook that moved the store into the dicts leaves the bound to the next node.
  if (!stored || t.store) EvictPastLimit(self, t, all_native);
  guard.Release();
  return node_id;
}

/// self._create_node(node_type=..., operation=..., inputs=..., provenance=..., metadata=...)
/// as the log methods call it, natively unless overridden. For the native path the ids stay in
/// C++ (a list is made only when one is not an int within int64); `inputs_list` is a caller's
/// list that becomes the field as it is. `result_prov` and `metadata` are the method's
/// arguments, converted here (after the inputs, as every log method takes them).
nb::object LogNode(nb::handle self, NodeKind kind, nb::handle op, const nb::handle* inputs,
                   size_t n_inputs, nb::handle inputs_list, nb::handle result_prov,
                   nb::handle metadata_arg) {
  nb::object provenance = AsInt(result_prov, "result_prov");
  nb::object given = AsOptDict(metadata_arg, "metadata");
  // `metadata or {}`: None or an empty dict stays unset, and the node makes a new dict when
  // it is first read.
  nb::handle metadata;
  if (!given.is_none() && PyDict_GET_SIZE(given.ptr()) != 0) metadata = given;
  nb::handle kind_member = KindMember(kind);
  auto new_list = [&] {
    nb::object list = Steal(PyList_New(0));
    for (size_t i = 0; i < n_inputs; ++i) Append(list, inputs[i]);
    return list;
  };
  if (!AllNative(self) && !Native(self, "_create_node")) {
    nb::object list = inputs_list.is_valid() ? nb::borrow(inputs_list) : new_list();
    nb::object md = metadata.is_valid() ? nb::borrow(metadata) : nb::object(nb::dict());
    return IntResult(CallMethodKw(self, "_create_node", {},
                                  {{"node_type", kind_member},
                                   {"operation", op},
                                   {"inputs", list},
                                   {"provenance", provenance},
                                   {"metadata", md}}));
  }
  Creation c;
  c.fields.node_type = kind_member;
  c.fields.operation = op;
  c.fields.provenance = provenance;
  c.fields.metadata = metadata;
  int64_t ids[2];  // unary and binary operations; more inputs come as a list
  nb::object list_hold;
  if (inputs_list.is_valid()) {
    c.fields.inputs = inputs_list;
  } else {
    bool native = n_inputs <= 2;
    for (size_t i = 0; i < n_inputs && native; ++i) native = ExactInt64(inputs[i], &ids[i]);
    if (native) {
      c.fields.ids = ids;
      c.fields.n_ids = n_inputs;
    } else {
      list_hold = new_list();
      c.fields.inputs = list_hold;
    }
  }
  return IntResult(CreateNode(self, Self(self), c));
}

// ---------------------------------------------------------------- eviction

/// Eviction of the oldest non-source nodes, for exact dicts of native nodes: victims are chosen
/// and both indexes updated without running Python code (so without letting another thread in),
/// and the removed nodes are released only at the end, when the indexes are consistent again.
bool EvictNative(nb::handle nodes, nb::handle prov_map) {
  if (!PyDict_CheckExact(nodes.ptr()) || !PyDict_CheckExact(prov_map.ptr())) return false;
  const Py_ssize_t evict_count = PyDict_GET_SIZE(nodes.ptr()) / 10;
  struct Victim {
    nb::object key, node;
  };
  std::vector<Victim> victims;
  victims.reserve(static_cast<size_t>(evict_count));
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  nb::handle enum_type = NodeTypeEnum();
  while (static_cast<Py_ssize_t>(victims.size()) < evict_count &&
         PyDict_Next(nodes.ptr(), &pos, &key, &value)) {
    DagNode* n = NativeNode(value);
    // A node kind that is not a NodeType member would compare through Python code.
    if (n == nullptr || !n->node_type.is_valid() || !n->provenance.is_valid() ||
        Py_TYPE(n->node_type.ptr()) != reinterpret_cast<PyTypeObject*>(enum_type.ptr()) ||
        !PyLong_CheckExact(key) || !PyLong_CheckExact(n->provenance.ptr())) {
      return false;
    }
    if (n->node_type.ptr() == KindMember(NodeKind::kSource).ptr()) continue;
    victims.push_back({nb::borrow(key), nb::borrow(value)});
  }
  // Per provenance list, the ids to drop (each list is compacted once, not once per id).
  std::unordered_map<PyObject*, std::vector<int64_t>> drops;
  // (provenance key, list), in first-seen order
  std::vector<std::pair<nb::object, nb::object>> lists;
  for (const Victim& v : victims) {
    if (PyDict_DelItem(nodes.ptr(), v.key.ptr()) < 0) throw nb::python_error();
    nb::handle prov = NativeNode(v.node)->provenance;
    PyObject* ids = PyDict_GetItemWithError(prov_map.ptr(), prov.ptr());
    if (ids == nullptr) {
      if (PyErr_Occurred()) throw nb::python_error();
      continue;
    }
    if (PyList_CheckExact(ids) && PyList_GET_SIZE(ids) == 1 &&
        PyList_GET_ITEM(ids, 0) == v.key.ptr()) {
      // The common case: the victim's own id object is the list's only entry.
      if (PyList_SetSlice(ids, 0, 1, nullptr) < 0) throw nb::python_error();
      if (PyDict_DelItem(prov_map.ptr(), prov.ptr()) < 0) throw nb::python_error();
      continue;
    }
    int64_t id;
    if (!PyList_CheckExact(ids) || !ExactInt64(v.key, &id)) {
      // Unusual contents: removed as list.remove would, by Python equality.
      nb::object held = nb::borrow(ids);
      ImportName(kReads, "remove_ids")(held, nb::make_tuple(v.key));
      if (Size(held) == 0 && PyDict_DelItem(prov_map.ptr(), prov.ptr()) < 0) {
        throw nb::python_error();
      }
      continue;
    }
    auto [it, inserted] = drops.try_emplace(ids);
    if (inserted) lists.emplace_back(nb::borrow(prov), nb::borrow(ids));
    it->second.push_back(id);
  }
  for (auto& [prov, list] : lists) {
    auto* l = reinterpret_cast<PyListObject*>(list.ptr());
    const auto n = static_cast<size_t>(Py_SIZE(l));
    // Ids are appended in creation order and eviction takes the oldest, so the ids to drop
    // usually sit at the front: only the prefix up to the last of them is read and compacted.
    // Items past it cannot be a first occurrence of a dropped id, whatever their type.
    auto id_at = [l](size_t i, int64_t* id) {
      PyObject* item = l->ob_item[i];
      if (!PyLong_CheckExact(item)) return lumarq::IdItem::kStop;
      int overflow = 0;
      *id = PyLong_AsLongLongAndOverflow(item, &overflow);
      return overflow == 0 ? lumarq::IdItem::kId : lumarq::IdItem::kOther;
    };
    const std::vector<int64_t>& want = drops[list.ptr()];
    std::vector<char> drop;
    if (!lumarq::FlagFirstOccurrences(want, n, id_at, &drop)) {
      nb::list ids;
      for (int64_t id : want) ids.append(PyInt(id));
      ImportName(kReads, "remove_ids")(list, ids);
    } else {
      // In-place compaction of the list's item array: no allocation, so no collection and no
      // other thread between reading and rewriting it. Each dropped id removes its first
      // occurrence, as list.remove does.
      std::vector<PyObject*> removed;
      Py_SET_SIZE(l, static_cast<Py_ssize_t>(lumarq::RemoveFlagged(l->ob_item, n, drop, &removed)));
      for (PyObject* item : removed) Py_DECREF(item);
    }
    if (Size(list) == 0) {
      PyObject* current = PyDict_GetItemWithError(prov_map.ptr(), prov.ptr());
      if (current == nullptr && PyErr_Occurred()) throw nb::python_error();
      if (current == list.ptr() && PyDict_DelItem(prov_map.ptr(), prov.ptr()) < 0) {
        throw nb::python_error();
      }
    }
  }
  return true;
}

void EvictOldest(nb::handle self) {
  DagTracker& t = Self(self);
  if (t.store) {
    StoreEvict(t);
    return;
  }
  nb::object nodes = Need(t.nodes, "_nodes");
  nb::object prov_map = Need(t.prov_to_nodes, "_prov_to_nodes");
  if (!EvictNative(nodes, prov_map)) ImportName(kReads, "evict_oldest")(nodes, prov_map);
}

// ---------------------------------------------------------------- methods

void Init(nb::pointer_and_handle<DagTracker> v, nb::handle api_key, nb::handle tenant_id,
          nb::handle service_url, nb::handle pipeline_name, nb::handle openlineage_url) {
  nb::object key = AsOptStr(api_key, "api_key");
  nb::object tenant = AsOptStr(tenant_id, "tenant_id");
  nb::object url = AsStr(service_url, "service_url");
  nb::object name = AsOptStr(pipeline_name, "pipeline_name");
  nb::object lineage_url = AsOptStr(openlineage_url, "openlineage_url");
  new (v.p) DagTracker(key, tenant, url, name);
  v.p->openlineage_url = lineage_url;
  // Ready before the persistence hook, which calls methods on the new object.
  nb::inst_mark_ready(v.h);
  if (!key.is_none() && PyUnicode_GET_LENGTH(key.ptr()) > 0) {
    CallMethod(v.h, Interned("enable_persistence"));
  }
}

// ---------------------------------------------------------------- state attributes, pickling
// The graph, its indexes and the registry travel; the writer, the storage connection, the
// pipeline id, the API key and the storage URL (which may hold a password) do not: an
// unpickled tracker has persistence switched off.

/// How a member's attribute behaves. For state that the store stands in for, handing the dict
/// out (or replacing it, or moving the id counter) makes the dicts the truth from then on: the
/// store is spilled first. kCustom: the attribute is defined by hand in RegisterDagTracker.
enum class Access { kPlain, kSpillOnWrite, kSpillAlways, kCustom };

/// A member behind a documented attribute name; `pickled` members travel in the pickled state.
struct StateMember {
  const char* name;
  nb::object DagTracker::*member;
  Access access = Access::kPlain;
  bool pickled = false;
};

// The pickled members come first, in the order of the pickled state. The failure counters are
// members, not instance attributes: anything in the instance dict takes the tracker off its
// native paths (it could shadow a method).
constexpr StateMember kState[] = {
    {"_nodes", &DagTracker::nodes, Access::kSpillAlways, true},
    {"_next_node_id", &DagTracker::next_node_id, Access::kSpillOnWrite, true},
    {"_prov_to_nodes", &DagTracker::prov_to_nodes, Access::kSpillAlways, true},
    {"_source_nodes", &DagTracker::source_nodes, Access::kPlain, true},
    {"_max_nodes", &DagTracker::max_nodes, Access::kPlain, true},
    {"_value_flush_threshold", &DagTracker::value_flush_threshold, Access::kPlain, true},
    {"_value_buffer", &DagTracker::value_buffer, Access::kCustom, true},
    {"_nodes_persisted", &DagTracker::nodes_persisted, Access::kPlain, true},
    {"_pipeline_name", &DagTracker::pipeline_name, Access::kPlain, true},
    {"_tenant_id", &DagTracker::tenant_id, Access::kPlain, true},
    {"_dashboard_synced", &DagTracker::dashboard_synced, Access::kPlain, true},
    {"_dag_lock", &DagTracker::dag_lock},
    {"_value_buffer_lock", &DagTracker::value_buffer_lock},
    {"_writer", &DagTracker::writer},
    {"_storage", &DagTracker::storage},
    {"_pipeline_id", &DagTracker::pipeline_id},
    {"_api_key", &DagTracker::api_key},
    {"_service_url", &DagTracker::service_url},
    {"_nodes_written", &DagTracker::nodes_written},
    {"_edges_written", &DagTracker::edges_written},
    {"_store_failures", &DagTracker::store_failures},
    {"_records_lost", &DagTracker::records_lost},
    {"_writer_totals", &DagTracker::writer_totals},
    {"_openlineage_url", &DagTracker::openlineage_url},
    {"_openlineage_run_id", &DagTracker::openlineage_run_id},
    {"_fairness_report", &DagTracker::fairness_report},
    {"_failed_pipeline", &DagTracker::failed_pipeline, Access::kCustom}};

nb::dict DagGetState(nb::handle self) {
  DagTracker& t = Self(self);
  nb::dict state = TrackerState(t, self);
  nb::dict stored_nodes, stored_prov;  // the store's nodes, as the dicts would hold them
  if (t.store) StoreAsDicts(t, stored_nodes, stored_prov);
  LockGuard guard(Need(t.value_buffer_lock, "_value_buffer_lock"));
  SettleRowColumns(t);
  for (const StateMember& m : kState) {
    if (!m.pickled) continue;
    nb::object v = Need(t.*m.member, m.name);
    if (t.store && m.member == &DagTracker::nodes) v = stored_nodes;
    if (t.store && m.member == &DagTracker::prov_to_nodes) v = stored_prov;
    // Containers are copied so that the state is one consistent snapshot.
    if (PyDict_CheckExact(v.ptr())) v = nb::steal(PyDict_Copy(v.ptr()));
    if (PyList_CheckExact(v.ptr())) v = nb::steal(PySequence_List(v.ptr()));
    if (!v.is_valid()) throw nb::python_error();
    state[m.name] = v;
  }
  return state;
}

void DagSetState(nb::pointer_and_handle<DagTracker> v, nb::handle state) {
  if (!PyDict_Check(state.ptr())) RaiseArgType("state", "dict", state);
  nb::object none = nb::none();
  new (v.p) DagTracker(none, none, nb::str(""), none);
  RestoreTrackerState(*v.p, v.h, state);
  for (const StateMember& m : kState) {
    PyObject* value = m.pickled ? PyDict_GetItemString(state.ptr(), m.name) : nullptr;
    if (value != nullptr) v.p->*m.member = nb::borrow(value);
  }
  // The restored tracker works on the dicts it was given.
  v.p->store.reset();
}

// ---------------------------------------------------------------- row values

}  // namespace

void SplitValue(nb::handle value, nb::object* numeric, nb::object* text) {
  *numeric = nb::none();
  *text = nb::none();
  if (value.is_none()) return;
  if (PyFloat_CheckExact(value.ptr())) {
    *numeric = nb::borrow(value);
    return;
  }
  PyObject* o = value.ptr();
  if (PyUnicode_CheckExact(o) && PyUnicode_IS_ASCII(o) &&
      !lumarq::AsciiMayBeFloat({static_cast<const char*>(PyUnicode_DATA(o)),
                                static_cast<size_t>(PyUnicode_GET_LENGTH(o))})) {
    *text = nb::borrow(value);  // str() of a str is itself
    return;
  }
  PyObject* f = PyNumber_Float(value.ptr());
  if (f != nullptr) {
    *numeric = nb::steal(f);
    return;
  }
  if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError) &&
      !PyErr_ExceptionMatches(PyExc_OverflowError)) {
    throw nb::python_error();
  }
  PyErr_Clear();
  PyObject* s = PyObject_Str(value.ptr());
  if (s == nullptr) throw nb::python_error();
  *text = nb::steal(s);
}

namespace {

/// The first time per tracker that records are dropped for the memory-only bound: a warning when
/// persistence was configured (an API key or a storage URL) but is not attached, a debug log
/// line otherwise.
void WarnDropped(DagTracker& t) {
  if (t.rows_dropped_warned) return;
  t.rows_dropped_warned = true;
  const bool configured = (t.api_key.is_valid() && AsBool(t.api_key)) ||
                          (t.service_url.is_valid() && AsBool(t.service_url));
  ImportName(kLifecycle, "warn_rows_dropped")(nb::bool_(configured), PyInt(kMemoryOnlyRowLimit));
}

/// del buffer[:count]
void DropFront(nb::handle buffer, Py_ssize_t count) {
  if (PyList_CheckExact(buffer.ptr())) {
    if (PyList_SetSlice(buffer.ptr(), 0, count, nullptr) < 0) throw nb::python_error();
  } else {
    nb::object slice = Steal(PySlice_New(nullptr, PyInt(count).ptr(), nullptr));
    if (PyObject_DelItem(buffer.ptr(), slice.ptr()) < 0) throw nb::python_error();
  }
}

/// Drops the oldest rows beyond the memory-only bound of the whole buffer, records first, then
/// row-value columns (warning once when any go).
void CutRows(DagTracker& t, nb::handle buffer) {
  const lumarq::RowCut cut = lumarq::CutOldestRows(static_cast<size_t>(Size(buffer)),
                                                   t.row_columns.size(), kMemoryOnlyRowLimit);
  if (!cut.any()) return;
  if (cut.records > 0) DropFront(buffer, static_cast<Py_ssize_t>(cut.records));
  t.row_columns.DropOldest(cut.columns);
  if (t.row_columns.size() == 0) t.row_contexts.clear();
  WarnDropped(t);
}

/// The context id of rows recorded under (pipeline, tenant, record type), by identity.
uint32_t RowContext(DagTracker& t, nb::handle pipeline, nb::handle tenant, nb::handle cls) {
  if (!t.row_contexts.empty()) {
    const auto& last = t.row_contexts.back();
    if (last[0].ptr() == pipeline.ptr() && last[1].ptr() == tenant.ptr() &&
        last[2].ptr() == cls.ptr()) {
      return static_cast<uint32_t>(t.row_contexts.size() - 1);
    }
  }
  t.row_contexts.push_back({nb::borrow(pipeline), nb::borrow(tenant), nb::borrow(cls)});
  return static_cast<uint32_t>(t.row_contexts.size() - 1);
}

/// Hands a copy of the buffer's records to the writer, then empties the buffer. Records made
/// while persistence was off name pipeline 0, which no store has: they go to `pipeline`, whose
/// first flush also writes the graph they were recorded against (they were stored under 0, where
/// the rows of every such tracker mixed and no pipeline listed them).
void HandOver(nb::handle writer, nb::handle buffer, nb::handle pipeline) {
  nb::object records = Steal(PySequence_List(buffer.ptr()));
  if (AsBool(pipeline)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records.ptr()); ++i) {
      PyObject* r = PyList_GET_ITEM(records.ptr(), i);
      if (!PyTuple_Check(r) || PyTuple_GET_SIZE(r) == 0) continue;
      PyObject* pid = PyTuple_GET_ITEM(r, 0);
      if (!PyLong_CheckExact(pid) || PyObject_Not(pid) != 1) continue;
      nb::object moved = CallMethodKw(r, "_replace", {}, {{"pipeline_id", pipeline}});
      PyList_SetItem(records.ptr(), i, moved.release().ptr());
    }
  }
  HandRowsToWriter(writer, records);
  buffer.attr("clear")();
}

/// Appends one record under `_value_buffer_lock` and hands the buffer to the writer at the
/// threshold; without a writer the buffer keeps only the newest records.
void BufferRecord(DagTracker& t, nb::handle record, bool defer_trim) {
  LockGuard guard(Need(t.value_buffer_lock, "_value_buffer_lock"));
  SettleRowColumns(t);
  nb::object buffer = Need(t.value_buffer, "_value_buffer");
  Append(buffer, record);
  const Py_ssize_t n = Size(buffer);
  nb::object writer = Need(t.writer, "_writer");
  if (AsBool(writer)) {
    if (CountPasses(n, Need(t.value_flush_threshold, "_value_flush_threshold"), Py_GE)) {
      HandOver(writer, buffer, Need(t.pipeline_id, "_pipeline_id"));
    }
  } else if (n > kMemoryOnlyRowLimit + (defer_trim ? kMemoryOnlyRowLimit / 16 : 0)) {
    CutRows(t, buffer);
  }
}

nb::object PipelineOrZero(DagTracker& t) {
  nb::object pid = Need(t.pipeline_id, "_pipeline_id");
  return AsBool(pid) ? pid : nb::int_(0);
}

void RecordRowValue(nb::handle self, nb::handle row_index, nb::handle fingerprint,
                    nb::handle operation, nb::handle value, nb::handle column_name) {
  Self(self);
  nb::object row = AsInt(row_index, "row_index");
  nb::object fp = AsInt(fingerprint, "fingerprint");
  nb::str op = AsStr(operation, "operation");
  nb::object column = AsOptStr(column_name, "column_name");
  // A missing value records none, as in the containers: NaN reached PostgreSQL as NaN (SQLite
  // as null), and pandas' NA and NaT became the texts "<NA>" and "NaT".
  nb::handle recorded = NotRecorded(value) ? nb::handle(Py_None) : value;
  RecordRowValueFast(self, RowRecordMaker(), row, fp, op, recorded, column);
}

/// Hands the buffered row values to the writer, under the buffer lock (flush's native part).
void HandBufferToWriter(nb::handle self) {
  DagTracker& t = Self(self);
  if (!AsBool(Need(t.writer, "_writer"))) return;
  LockGuard guard(Need(t.value_buffer_lock, "_value_buffer_lock"));
  SettleRowColumns(t);
  nb::object buffer = Need(t.value_buffer, "_value_buffer");
  if (AsBool(buffer)) HandOver(Need(t.writer, "_writer"), buffer, Need(t.pipeline_id, "_pipeline_id"));
}

nb::object CreateNodeMethod(nb::handle self, nb::handle node_type, nb::handle operation,
                            nb::handle inputs, nb::handle provenance, nb::kwargs kwargs) {
  Creation c;
  c.fields.node_type = node_type;
  c.fields.operation = AsStr(operation, "operation");
  c.fields.inputs = AsList(inputs, "inputs");
  nb::object prov = AsInt(provenance, "provenance");
  c.fields.provenance = prov;
  c.kwargs = kwargs;
  return IntResult(CreateNode(self, Self(self), c));
}

nb::object LogUnary(nb::handle self, nb::handle op_name, nb::handle input_node,
                    nb::handle result_prov, nb::handle metadata) {
  nb::str op = AsStr(op_name, "op_name");
  nb::object input = AsInt(input_node, "input_node");
  nb::handle ids[] = {input};
  return LogNode(self, NodeKind::kUnary, op, ids, 1, nb::handle(), result_prov, metadata);
}

nb::object LogBinary(nb::handle self, nb::handle op_name, nb::handle left_node,
                     nb::handle right_node, nb::handle result_prov, nb::handle metadata) {
  nb::str op = AsStr(op_name, "op_name");
  nb::object left = AsInt(left_node, "left_node");
  nb::object right = AsInt(right_node, "right_node");
  nb::handle ids[] = {left, right};
  return LogNode(self, NodeKind::kBinary, op, ids, 2, nb::handle(), result_prov, metadata);
}

nb::object LogAggregate(nb::handle self, nb::handle op_name, nb::handle input_nodes,
                        nb::handle result_prov, nb::handle metadata) {
  nb::str op = AsStr(op_name, "op_name");
  nb::list inputs = AsList(input_nodes, "input_nodes");
  return LogNode(self, NodeKind::kAggregate, op, nullptr, 0, inputs, result_prov, metadata);
}

// ---------------------------------------------------------------- type slots

/// nanobind's deallocator does not run finalisers; __del__ must also run when the last
/// reference goes away, not only for objects the collector finds in cycles.
void TrackerDealloc(PyObject* self) {
  if (Py_TYPE(self)->tp_finalize != nullptr && PyObject_CallFinalizerFromDealloc(self) < 0) {
    return;  // resurrected
  }
  g_base_dealloc(self);
}

/// The attributes of kState that are not defined by hand.
void DefState(nb::class_<DagTracker, ProvenanceTracker>& cls) {
  for (const StateMember& m : kState) {
    if (m.access == Access::kCustom) continue;
    cls.def_prop_rw(
        m.name,
        [m = &m](DagTracker& t) {
          if (m->access == Access::kSpillAlways) SpillStore(t);
          return Need(t.*m->member, m->name);
        },
        [m = &m](DagTracker& t, nb::object v) {
          if (m->access != Access::kPlain) SpillStore(t);
          t.*m->member = std::move(v);
        },
        nb::for_setter(nb::arg("value").none()));
  }
}

// ---------------------------------------------------------------- lock binding

bool LockAcquire(DagLock& lock, nb::handle blocking, nb::handle timeout) {
  const bool block = AsBool(blocking);
  const double seconds = PyFloat_AsDouble(timeout.ptr());
  if (seconds == -1.0 && PyErr_Occurred()) throw nb::python_error();
  if (!block && seconds != -1.0) {
    throw nb::value_error("can't specify a timeout for a non-blocking call");
  }
  if (seconds < 0 && seconds != -1.0) throw nb::value_error("timeout value must be positive");
  return lock.Acquire(block, seconds);
}

void RegisterLock(nb::module_& m) {
  nb::class_<DagLock> cls(m, "DAGLock",
                          "Non-reentrant lock that waits without holding the GIL.");
  // A reference for the life of the process: the module drops its name below, and nanobind's
  // registry does not own the type.
  g_lock_type = reinterpret_cast<PyTypeObject*>(cls.inc_ref().ptr());
  cls.def(nb::init<>());
  cls.def("acquire", &LockAcquire, nb::arg("blocking").none() = true,
          nb::arg("timeout").none() = -1.0, "Acquire the lock; True on success.");
  cls.def("release", &LockRelease, "Release the lock.");
  cls.def("locked", [](DagLock& lock) { return lock.Locked(); }, "True when the lock is held.");
  cls.def("__enter__", [](DagLock& lock) { return lock.Acquire(); });
  cls.def("__exit__", [](DagLock& lock, nb::args) { LockRelease(lock); });
  // The type is reached through tracker instances only; the module keeps no extra name.
  nb::delattr(m, "DAGLock");
}

}  // namespace

// ---------------------------------------------------------------- class

DagTracker::DagTracker(nb::handle api_key_, nb::handle tenant_id_, nb::handle service_url_,
                       nb::handle pipeline_name_)
    : ProvenanceTracker(),
      dag_lock(nb::handle(reinterpret_cast<PyObject*>(LockType()))()),
      // Native like _dag_lock: taken once per recorded row, so an uncontended acquire must not
      // cost a Python call; it keeps the threading.Lock interface.
      value_buffer_lock(nb::handle(reinterpret_cast<PyObject*>(LockType()))()),
      pipeline_name(nb::borrow(pipeline_name_)),
      api_key(nb::borrow(api_key_)),
      tenant_id(nb::borrow(tenant_id_)),
      service_url(nb::borrow(service_url_)) {}

int DagTracker::Traverse(visitproc visit, void* arg) {
  if (int r = ProvenanceTracker::Traverse(visit, arg)) return r;
  for (const StateMember& m : kState) Py_VISIT((this->*m.member).ptr());
  Py_VISIT(last_text.ptr());
  for (auto& context : row_contexts) {
    for (nb::object& o : context) Py_VISIT(o.ptr());
  }
  int r = 0;
  handed_out.ForEach([&](int64_t, nb::object& node) {
    if (r == 0) r = visit(node.ptr(), arg);
  });
  return r;
}

void DagTracker::Clear() {
  ProvenanceTracker::Clear();
  auto drop = [](nb::object& o) {
    PyObject* p = o.release().ptr();
    Py_XDECREF(p);
  };
  for (const StateMember& m : kState) drop(this->*m.member);
  drop(last_text);
  lumarq::IdMap<nb::object> dropped = std::move(handed_out);
  row_columns = {};
  std::vector<std::array<nb::object, 3>> contexts = std::move(row_contexts);
  row_contexts.clear();
}

PyTypeObject* DagTrackerType() {
  if (g_dag_tracker_type == nullptr) {
    nb::handle t = nb::type<DagTracker>();
    if (t.is_valid()) g_dag_tracker_type = reinterpret_cast<PyTypeObject*>(t.ptr());
  }
  return g_dag_tracker_type;
}

DagTracker* DagTrackerPtr(nb::handle obj) {
  PyTypeObject* type = DagTrackerType();
  if (type == nullptr || !PyObject_TypeCheck(obj.ptr(), type) || !nb::inst_ready(obj)) {
    return nullptr;
  }
  return nb::inst_ptr<DagTracker>(obj);
}

bool LogUnaryIsNative(nb::handle tracker) { return LogIsNative(tracker, "log_unary"); }
bool LogBinaryIsNative(nb::handle tracker) { return LogIsNative(tracker, "log_binary"); }

int64_t CreateNodeFast(nb::handle tracker, NodeKind kind, nb::handle op_name, const int64_t* inputs,
                       size_t n_inputs, uint32_t provenance) {
  return CreateNodeFast(tracker, kind, op_name, inputs, n_inputs, PyWord(provenance));
}

int64_t CreateNodeFast(nb::handle tracker, NodeKind kind, nb::handle op_name, const int64_t* inputs,
                       size_t n_inputs, nb::handle prov) {
  Creation c;
  c.fields.node_type = KindMember(kind);
  c.fields.operation = op_name;
  c.fields.provenance = prov;
  c.fields.ids = inputs;
  c.fields.n_ids = n_inputs;
  nb::object id = CreateNode(tracker, Self(tracker), c);
  return AsInt64(id, "node_id");
}

void WarnRowsDropped(nb::handle tracker) { WarnDropped(Self(tracker)); }

NodeAppender::NodeAppender(nb::handle tracker) : tracker_(tracker) {
  DagTracker* t = DagTrackerPtr(tracker);
  if (t == nullptr || !t->store || !AllNative(tracker)) return;
  nb::object writer = Need(t->writer, "_writer");
  int64_t v;
  if (!ExactInt64(Need(t->max_nodes, "_max_nodes"), &v)) return;
  if (!writer.is_none() && AsBool(writer)) {
    if (!SlicesPossible(tracker)) return;
    ship_ = true;
  }
  t_ = t;
}

bool NodeAppender::Run(NodeKind kind, nb::handle op,
                       const std::function<void(lumarq::NodeTarget&)>& body) {
  DagTracker& t = *t_;
  std::vector<nb::object> released;  // dropped after the lock, once the store is consistent
  LockGuard guard(Need(t.dag_lock, "_dag_lock"));
  int64_t id, limit;
  if (!t.store || !ExactInt64(Need(t.next_node_id, "_next_node_id"), &id) ||
      !ExactInt64(Need(t.max_nodes, "_max_nodes"), &limit)) {
    return false;  // the state changed under us (another thread spilled the store)
  }
  const uint32_t op_id = InternText(t, op);
  if (op_id == UINT32_MAX || !lumarq::ClaimRowId(*t.store, id)) {
    guard.Release();
    SpillStore(t);
    return false;
  }
  lumarq::NodeTarget target;
  target.store = t.store.get();
  target.kind = static_cast<uint8_t>(kind);
  target.flags = kind == NodeKind::kSource ? lumarq::kNodePinned : 0;
  target.op = op_id;
  target.timestamp = t.clock.Tick();
  target.limit = static_cast<size_t>(std::max<int64_t>(limit, 0));
  int64_t shipped = id;  // nodes below it went to the writer
  // With a writer, what is about to be evicted goes to it first as one column slice.
  auto ship = [&] {
    if (!ship_ || !t.store) return;
    const int64_t end = t.store->next_id();
    PersistSlice(tracker_, shipped, end);
    shipped = end;
    if (!t.store) {
      // The writer's own code moved the nodes out of the store under the block: stop rather
      // than append to a store that no longer exists.
      throw std::runtime_error("the DAG tracker's node store was replaced while a block of nodes "
                               "was being appended");
    }
  };
  target.evict = [&t, &released, &ship] {
    ship();
    StoreEvict(t, &released);
  };
  // Ids drawn stay drawn, whatever happens in the body.
  auto sync_ids = [&] {
    if (t.store) t.next_node_id = PyInt(t.store->next_id());
  };
  try {
    body(target);
  } catch (...) {
    sync_ids();
    throw;
  }
  sync_ids();
  ship();
  guard.Release();
  return true;
}

void NodeAppender::Append(NodeKind kind, nb::handle op, size_t n, const int64_t* inputs,
                          size_t arity, const uint32_t* words, int64_t* ids_out) {
  if (n == 0) return;
  const bool done = Run(kind, op, [&](lumarq::NodeTarget& target) {
    lumarq::AppendNodes(target, n, words, inputs, arity, ids_out);
  });
  if (done) return;
  for (size_t r = 0; r < n; ++r) {
    ids_out[r] = CreateNodeFast(tracker_, kind, op, inputs + r * arity, arity, words[r]);
  }
}

RowRecordMaker::RowRecordMaker()
    : RowRecordMaker(ImportName("lumarq.utilities.persistence.storage", "StoredRowValue")) {}

RowRecordMaker::RowRecordMaker(nb::object cls) : cls_(std::move(cls)) {
  // The verdict for the type checked last, which is kept alive: it is compared by identity.
  static PyObject* checked = nullptr;
  static bool checked_fields = false;
  if (cls_.ptr() == checked) {
    tuple_fields_ = checked_fields;
    return;
  }
  // A tuple type whose `_fields` are those of StoredRowValue (may run Python code).
  tuple_fields_ = AsBool(ImportName(kLifecycle, "has_row_fields")(cls_));
  PyObject* old = checked;
  checked = Py_NewRef(cls_.ptr());
  checked_fields = tuple_fields_;
  Py_XDECREF(old);
}

nb::object RowRecordMaker::Make(nb::handle pipeline_id, nb::handle row_index,
                                nb::handle fingerprint, nb::handle operation, nb::handle value,
                                nb::handle column_name, nb::handle tenant_id,
                                nb::handle text_value) const {
  nb::handle items[] = {pipeline_id, row_index, fingerprint, operation,
                        value,       column_name, tenant_id, text_value};
  if (tuple_fields_) {
    // What tuple.__new__(cls, items) does, without building the argument tuple.
    auto* type = reinterpret_cast<PyTypeObject*>(cls_.ptr());
    PyObject* rec = type->tp_alloc(type, 8);
    if (rec == nullptr) throw nb::python_error();
    bool atomic = true;
    for (Py_ssize_t i = 0; i < 8; ++i) {
      PyObject* item = items[i].inc_ref().ptr();
      PyTuple_SET_ITEM(rec, i, item);
      atomic = atomic && !(PyObject_IS_GC(item) && PyObject_GC_IsTracked(item));
    }
    // Row records (ints, floats, texts) cannot form cycles: kept out of the collector, a buffer
    // of them costs the collections that run meanwhile nothing.
    if (atomic) PyObject_GC_UnTrack(rec);
    return nb::steal(rec);
  }
  return cls_(nb::arg("pipeline_id") = pipeline_id, nb::arg("row_index") = row_index,
              nb::arg("fingerprint") = fingerprint, nb::arg("node_operation") = operation,
              nb::arg("value") = value, nb::arg("column_name") = column_name,
              nb::arg("tenant_id") = tenant_id, nb::arg("text_value") = text_value);
}

bool RecordRowValueIsNative(nb::handle tracker) {
  return DagTrackerPtr(tracker) != nullptr && Native(tracker, "record_row_value");
}

void RecordRowValueFast(nb::handle tracker, const RowRecordMaker& maker, int64_t row_index,
                        uint32_t fingerprint, nb::handle operation, nb::handle value,
                        nb::handle column_name, bool defer_trim) {
  RecordRowValueFast(tracker, maker, PyInt(row_index), PyWord(fingerprint), operation, value,
                     column_name, defer_trim);
}

void RecordRowValueFast(nb::handle tracker, const RowRecordMaker& maker, nb::handle row,
                        nb::handle fp, nb::handle operation, nb::handle value,
                        nb::handle column_name, bool defer_trim) {
  DagTracker& t = Self(tracker);
  nb::object numeric, text;
  SplitValue(value, &numeric, &text);
  nb::object record = maker.Make(PipelineOrZero(t), row, fp, operation, numeric, column_name,
                                 Need(t.tenant_id, "_tenant_id"), text);
  BufferRecord(t, record, defer_trim);
}

bool RecordRowColumns(nb::handle tracker, const RowRecordMaker& maker, nb::handle operation,
                      nb::handle column_name, const std::vector<int64_t>& rows,
                      const std::vector<uint32_t>& words, const std::vector<double>& values,
                      const std::vector<nb::object>* texts) {
  DagTracker* tp = DagTrackerPtr(tracker);
  if (tp == nullptr || !PyUnicode_Check(operation.ptr()) ||
      !(column_name.is_none() || PyUnicode_Check(column_name.ptr()))) {
    return false;
  }
  DagTracker& t = *tp;
  const size_t m = rows.size();
  LockGuard guard(Need(t.value_buffer_lock, "_value_buffer_lock"));
  nb::object writer = Need(t.writer, "_writer");
  if (!AsBool(writer)) return false;
  nb::object method = GetAttrOr(writer, "write_columns", nb::none());
  int64_t limit, pid64;
  if (!PyCallable_Check(method.ptr()) ||
      !ExactInt64(Need(t.value_flush_threshold, "_value_flush_threshold"), &limit) || limit < 1) {
    return false;
  }
  const auto batch = static_cast<size_t>(limit);
  SettleRowColumns(t);
  nb::object buffer = Need(t.value_buffer, "_value_buffer");
  // Row by row, the buffer is handed over as soon as it holds `batch` records (with at least
  // this operation's first record in it).
  const lumarq::RowBatchPlan plan =
      lumarq::PlanRowBatches(static_cast<size_t>(Size(buffer)), batch, m);
  nb::object pid = PipelineOrZero(t);
  if (!plan.ok || !ExactInt64(pid, &pid64)) return false;
  nb::object tenant = Need(t.tenant_id, "_tenant_id");

  size_t k = 0;
  auto push = [&] {
    const size_t i = k++;  // a row whose record cannot be made is skipped, as row by row
    const bool is_text = texts != nullptr && (*texts)[i].is_valid();
    nb::object value = is_text ? nb::none() : Steal(PyFloat_FromDouble(values[i]));
    Append(buffer, maker.Make(pid, PyInt(rows[i]), PyWord(words[i]), operation, value,
                              column_name, tenant, is_text ? (*texts)[i] : nb::none()));
  };
  try {
    while (k < plan.head) push();
    HandOver(writer, buffer, pid);
    for (size_t b = 0; b < plan.batches; ++b, k += batch) {
      nb::object columns = OperationRowColumns(pid64, operation, column_name, rows.data() + k,
                                               words.data() + k, values.data() + k, batch,
                                               texts != nullptr ? texts->data() + k : nullptr);
      if (!columns.is_valid()) break;
      CallKw(method, {}, {{"row_values", columns}});
    }
    while (k < m) {
      push();
      if (static_cast<size_t>(Size(buffer)) >= batch) HandOver(writer, buffer, pid);
    }
  } catch (nb::python_error& e) {
    // The rows not sent stay in the buffer, to be handed over with the next batch or at flush.
    while (k < m) Guarded(push);
    if (!e.matches(PyExc_Exception)) throw;
  }
  return true;
}

void TrimRowBuffer(nb::handle tracker) {
  DagTracker& t = Self(tracker);
  LockGuard guard(Need(t.value_buffer_lock, "_value_buffer_lock"));
  if (!AsBool(Need(t.writer, "_writer"))) CutRows(t, Need(t.value_buffer, "_value_buffer"));
}

void SettleRowColumns(DagTracker& t) {
  if (t.row_columns.size() == 0) {
    t.row_contexts.clear();
    return;
  }
  // Taken first: building records may run Python code, and rows appended meanwhile come after.
  lumarq::RowValueColumns columns = std::exchange(t.row_columns, {});
  std::vector<std::array<nb::object, 3>> contexts = std::move(t.row_contexts);
  t.row_contexts.clear();
  nb::object records = Steal(PyList_New(static_cast<Py_ssize_t>(columns.size())));
  std::optional<RowRecordMaker> maker;
  const std::array<nb::object, 3>* context = nullptr;  // (pipeline id, tenant id, record type)
  nb::object op, column;
  Py_ssize_t k = 0;
  lumarq::ForEachRowByRun(
      columns,
      [&](const lumarq::RowValueColumns::Run& run) {
        context = &contexts[run.context];
        maker.emplace((*context)[2]);
        op = TextOf(t, run.op);
        column = run.column == 0 ? nb::none() : TextOf(t, run.column - 1);
      },
      [&](int64_t row, uint32_t word, double value) {
        nb::object record = maker->Make((*context)[0], PyInt(row), PyWord(word), op,
                                        Steal(PyFloat_FromDouble(value)), column, (*context)[1],
                                        nb::none());
        PyList_SET_ITEM(records.ptr(), k++, record.release().ptr());
      });
  nb::object buffer = Need(t.value_buffer, "_value_buffer");
  const Py_ssize_t end = Size(buffer);
  if (PyList_CheckExact(buffer.ptr())) {
    if (PyList_SetSlice(buffer.ptr(), end, end, records.ptr()) < 0) throw nb::python_error();
  } else {
    buffer.attr("extend")(records);
  }
}

bool AppendRowColumns(nb::handle tracker, const RowRecordMaker& maker, nb::handle operation,
                      nb::handle column_name, const std::vector<int64_t>& rows,
                      const std::vector<uint32_t>& words, const std::vector<double>& values,
                      bool dropped) {
  DagTracker* tp = DagTrackerPtr(tracker);
  if (tp == nullptr || tp->row_columns_off || !tp->store || !PyUnicode_CheckExact(operation.ptr()) ||
      !(column_name.is_none() || PyUnicode_CheckExact(column_name.ptr()))) {
    return false;
  }
  DagTracker& t = *tp;
  LockGuard guard(Need(t.value_buffer_lock, "_value_buffer_lock"));
  nb::object buffer = Need(t.value_buffer, "_value_buffer");
  if (AsBool(Need(t.writer, "_writer")) || !PyList_CheckExact(buffer.ptr())) return false;
  const uint32_t op = InternText(t, operation);
  const uint32_t column = column_name.is_none() ? 0 : InternText(t, column_name);
  if (op == UINT32_MAX || column == UINT32_MAX) return false;
  if (t.row_contexts.size() >= 4096) SettleRowColumns(t);  // keeps the context table small
  const lumarq::RowValueColumns::Run run{
      op, column_name.is_none() ? 0 : column + 1,
      RowContext(t, PipelineOrZero(t), Need(t.tenant_id, "_tenant_id"), maker.cls())};
  t.row_columns.Append(run, rows, words, values);
  CutRows(t, buffer);
  if (dropped) WarnDropped(t);
  return true;
}

void RegisterDagTracker(nb::module_& m) {
  RegisterLock(m);
  nb::class_<DagTracker, ProvenanceTracker> cls(
      m, "DAGTracker", nb::type_slots(TrackerGcSlots()),
      "Extended VANTOR-32 provenance tracker with full DAG reconstruction.\n\n"
      "Inherits all of the base tracker's behaviour (taint propagation, depth\n"
      "tracking, gradient risk scoring) and adds complete operation logging, DAG\n"
      "reconstruction from any provenance value, export, and optional persistence\n"
      "to storage.");
  g_dag_tracker_type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  g_base_dealloc = g_dag_tracker_type->tp_dealloc;
  g_dag_tracker_type->tp_dealloc = &TrackerDealloc;

  cls.def("__init__", &Init,
          nb::sig("def __init__(self, api_key: Optional[str] = None, tenant_id: Optional[str] = None, service_url: str = '', pipeline_name: Optional[str] = None, openlineage_url: Optional[str] = None) -> None"), nb::arg("api_key").none() = nb::none(),
          nb::arg("tenant_id").none() = nb::none(), nb::arg("service_url").none() = "",
          nb::arg("pipeline_name").none() = nb::none(),
          nb::arg("openlineage_url").none() = nb::none());
  cls.def("__getstate__", &DagGetState);
  cls.def("__setstate__", &DagSetState);
  cls.def("enable_persistence", &EnablePersistence,
          nb::sig("def enable_persistence(self) -> None"),
          "Connect to the hosted storage, start a pipeline and an asynchronous writer.");
  cls.def("record_row_value", &RecordRowValue,
          nb::sig("def record_row_value(self, row_index: int, fingerprint: int, operation: str, value: Any = None, column_name: Optional[str] = None) -> None"),
          nb::arg("row_index").none(), nb::arg("fingerprint").none(), nb::arg("operation").none(),
          nb::arg("value").none() = nb::none(), nb::arg("column_name").none() = nb::none(),
          "Record the value of one row at one node (buffered; handed to the writer in batches).");
  cls.def("_hand_buffer_to_writer", &HandBufferToWriter,
          nb::sig("def _hand_buffer_to_writer(self) -> None"),
          "Hand the buffered row values to the writer (the first step of flush).");
  cls.def(
      "_node_snapshot", [](nb::handle self) { return NodesToRead(Self(self)); },
      nb::sig("def _node_snapshot(self) -> Dict[int, DAGNode]"),
      "The nodes by id, as `_nodes` holds them, without moving a columnar store into `_nodes`\n"
      "(the tracker's own readers use it, so reading stays off the slow path of dicts).");
  cls.def_prop_ro(
      "_columnar", [](nb::handle self) { return static_cast<bool>(Self(self).store); },
      nb::sig("def _columnar(self) -> bool"),
      "Whether the nodes are held as columns (False once `_nodes` or `_prov_to_nodes` was read).");
  cls.def("_protected_sources", &ProtectedSources,
          nb::sig("def _protected_sources(self) -> Tuple[bool, List[str]]"),
          "Whether any node is protected, and the protected source columns as \"table.column\"\n"
          "(the dashboard report's fields).");
  cls.def("_sync_to_dashboard", &SyncToDashboard,
          nb::sig("def _sync_to_dashboard(self) -> None"),
          "Post the pipeline report to the dashboard service (failures are logged).");
  cls.def("_persist_dag_to_storage", &PersistDagToStorage,
          nb::sig("def _persist_dag_to_storage(self) -> None"),
          "Write the whole DAG, deduplicated by fingerprint, with resolved edges.");
  cls.def("get_persistence_stats", &GetPersistenceStats,
          nb::sig("def get_persistence_stats(self) -> Optional[dict]"),
          "The writer's statistics plus the nodes and edges written in bulk, or None.");
  cls.def("persist_to_storage", &PersistToStorage,
          nb::sig("def persist_to_storage(self, storage, pipeline_id: Optional[int] = None) -> int"),
          nb::arg("storage").none(), nb::arg("pipeline_id").none() = nb::none(),
          "Write the source registry and the DAG to `storage` and complete the pipeline;\n"
          "returns the pipeline id used.");
  cls.def_static("persist_results", &PersistResults,
                 nb::sig("def persist_results(storage, pipeline_id: int, row_keys, outputs: Union[Dict[str, DAGTrackedSeries], Dict[str, pd.Series]], source_df: Optional[pd.DataFrame] = None) -> None"),
                 nb::arg("storage").none(), nb::arg("pipeline_id").none(),
                 nb::arg("row_keys").none(), nb::arg("outputs").none(),
                 nb::arg("source_df").none() = nb::none(),
                 "Write per-row result values of tracked output columns, with a hash of each\n"
                 "input row when `source_df` is given.");
  cls.def("_create_node", &CreateNodeMethod,
          nb::sig("def _create_node(self, node_type: NodeType, operation: str, inputs: List[int], provenance: int, **kwargs) -> int"), nb::arg("node_type").none(),
          nb::arg("operation").none(), nb::arg("inputs").none(), nb::arg("provenance").none(),
          nb::arg("kwargs"), "Create a new DAG node and return its ID.");
  cls.def("_evict_oldest_nodes", &EvictOldest,
          nb::sig("def _evict_oldest_nodes(self) -> None"),
          "Drop about a tenth of the nodes, oldest first; source nodes are kept.");
  cls.def("_persist_node", &PersistNode,
          nb::sig("def _persist_node(self, node: DAGNode) -> None"), nb::arg("node").none(),
          "Hand a new node and its incoming edges to the writer.");
  cls.def("log_unary", &LogUnary,
          nb::sig("def log_unary(self, op_name: str, input_node: int, result_prov: int, metadata: Optional[Dict] = None) -> int"), nb::arg("op_name").none(), nb::arg("input_node").none(),
          nb::arg("result_prov").none(), nb::arg("metadata").none() = nb::none(),
          "Log a unary operation and return the new node ID.");
  cls.def("log_binary", &LogBinary,
          nb::sig("def log_binary(self, op_name: str, left_node: int, right_node: int, result_prov: int, metadata: Optional[Dict] = None) -> int"), nb::arg("op_name").none(), nb::arg("left_node").none(),
          nb::arg("right_node").none(), nb::arg("result_prov").none(),
          nb::arg("metadata").none() = nb::none(),
          "Log a binary operation and return the new node ID.");
  cls.def("log_aggregate", &LogAggregate,
          nb::sig("def log_aggregate(self, op_name: str, input_nodes: List[int], result_prov: int, metadata: Optional[Dict] = None) -> int"), nb::arg("op_name").none(),
          nb::arg("input_nodes").none(), nb::arg("result_prov").none(),
          nb::arg("metadata").none() = nb::none(),
          "Log an aggregation and return the new node ID.");
  cls.def("get_node", &GetNode,
          nb::sig("def get_node(self, node_id: int) -> Optional[DAGNode]"), nb::arg("node_id").none(), "Get a node by ID.");
  cls.def("get_nodes_for_provenance", &GetNodesForProvenance,
          nb::sig("def get_nodes_for_provenance(self, provenance: int) -> List[DAGNode]"), nb::arg("provenance").none(),
          "Get all nodes that produced a given provenance value.");
  cls.def("get_dag", &GetDag,
          nb::sig("def get_dag(self, root_node_id: int) -> ComputationDAG"), nb::arg("root_node_id").none(),
          "Reconstruct the full computation DAG from a root node.");
  cls.def("dag_stats", &DagStats,
          nb::sig("def dag_stats(self) -> Dict[str, Any]"),
          "Get statistics about the DAG.\n\n"
          "\"protected_sources\" counts every stored node marked protected, operation nodes\n"
          "derived from a protected attribute included; \"protected_source_nodes\" counts the\n"
          "protected source columns only.");

  DefState(cls);
  // The buffer handed out (or replaced) is the truth from then on: row-value columns stop.
  cls.def_prop_rw(
      "_value_buffer",
      [](DagTracker& t) {
        t.row_columns_off = true;
        SettleRowColumns(t);
        return Need(t.value_buffer, "_value_buffer");
      },
      [](DagTracker& t, nb::object v) {
        t.row_columns_off = true;
        SettleRowColumns(t);
        t.value_buffer = std::move(v);
      },
      nb::for_setter(nb::arg("value").none()));
  // The pipeline id this tracker completed as "failed" (never completed again), or None.
  cls.def_prop_rw(
      "_failed_pipeline",
      [](DagTracker& t) { return t.failed_pipeline.is_valid() ? t.failed_pipeline : nb::none(); },
      [](DagTracker& t, nb::object v) { t.failed_pipeline = std::move(v); },
      nb::for_setter(nb::arg("value").none()));
  // The methods that run a few times per pipeline are written in Python.
  ImportAttr(kMethods, "attach")(cls, nb::handle(LockType()));
}

}  // namespace lumarq::py
