#include "tracker.h"

#include <algorithm>
#include <string>

#include "lumarq/word.h"

namespace lumarq::py {
namespace {

PyObject* g_vantor_dict = nullptr;  // globals of lumarq.utilities.vantor32 (borrowed, immortal)
PyTypeObject* g_tracker_type = nullptr;

// ---------------------------------------------------------------- container helpers
// The state attributes are normally exact dicts and sets, handled through the concrete API;
// anything a caller put there instead is used through the generic protocols.

ProvenanceTracker& Self(nb::handle self) {
  ProvenanceTracker* t = TrackerPtr(self);
  if (t == nullptr) {
    if (TrackerType() != nullptr && PyObject_TypeCheck(self.ptr(), TrackerType())) {
      throw nb::type_error("ProvenanceTracker.__init__() was not called on this object");
    }
    RaiseArgType("self", "ProvenanceTracker", self);
  }
  return *t;
}

// ---------------------------------------------------------------- backend calls

void RustRegister(ProvenanceTracker& t, const nb::str& table, const nb::str& column, bool prot) {
  if (BackendTracker* b = t.native_backend()) {
    BackendRegister(*b, Utf8(table), Utf8(column), prot);
  } else {
    t.rust.attr("register")(table, column, prot);
  }
}

nb::object RustEncode(ProvenanceTracker& t, nb::handle pairs, nb::handle entity,
                      nb::handle chain, bool taint, nb::handle depth) {
  if (BackendTracker* b = t.native_backend()) {
    const PairSet set = PairsFromIterable(pairs);
    const uint32_t depth_bits = AsDepth(depth);
    return nb::int_(b->codec.Encode(set, AsUInt64Bits(entity, "entity"), AsUInt64Bits(chain, "chain"),
                                    taint, depth_bits));
  }
  return t.rust.attr("encode")(pairs, entity, chain, taint, depth);
}

// ---------------------------------------------------------------- method bodies

// Statistics, the dense dictionary's records and the decoding through overridden methods or
// another backend, in Python.
constexpr const char* kTrackerReads = "lumarq.utilities._tracker_reads";

nb::object Register(nb::handle self, nb::handle table, nb::handle column, nb::handle prot) {
  ProvenanceTracker& t = Self(self);
  nb::str ts = AsStr(table, "table"), cs = AsStr(column, "column");
  Utf8(ts), Utf8(cs);  // text without UTF-8 (a lone surrogate) is refused before any state changes
  const bool p = AsBool(prot);
  nb::tuple key = nb::make_tuple(ts, cs);
  if (Contains(t.name_to_id, key)) {
    if (p) SetAdd(t.protected_columns, key);
    RustRegister(t, ts, cs, p);
    return IntResult(t.name_to_id[key]);
  }
  nb::handle max_pairs = VantorGlobal("MAX_PAIRS");
  const int ge = PyObject_RichCompareBool(t.next_id.ptr(), max_pairs.ptr(), Py_GE);
  if (ge < 0) throw nb::python_error();
  if (ge) {
    PyErr_Format(PyExc_ValueError, "Maximum %S pairs supported", max_pairs.ptr());
    throw nb::python_error();
  }
  nb::object pair_id = t.next_id;
  SetItem(t.id_to_name, pair_id, key);
  SetItem(t.name_to_id, key, pair_id);
  t.next_id = Steal(PyNumber_Add(pair_id.ptr(), nb::int_(1).ptr()));
  if (p) SetAdd(t.protected_columns, key);
  RustRegister(t, ts, cs, p);
  return IntResult(pair_id);
}

nb::object GetName(nb::handle self, nb::handle pair_id) {
  return MapGet(Self(self).id_to_name, AsInt(pair_id, "pair_id"));
}

nb::object GetId(nb::handle self, nb::handle table, nb::handle column) {
  nb::str ts = AsStr(table, "table"), cs = AsStr(column, "column");
  return IntResult(MapGet(Self(self).name_to_id, nb::make_tuple(ts, cs)));
}

bool IsProtected(nb::handle self, nb::handle table, nb::handle column) {
  ProvenanceTracker& t = Self(self);
  nb::str ts = AsStr(table, "table");
  nb::object cs = AsOptStr(column, "column");
  if (Contains(t.protected_tables, ts)) return true;
  if (!cs.is_none() && PyUnicode_GET_LENGTH(cs.ptr()) != 0) {
    return Contains(t.protected_columns, nb::make_tuple(ts, cs));
  }
  return false;
}

nb::object Encode(nb::handle self, nb::handle pairs, nb::handle entity, nb::handle chain,
                  nb::handle taint, nb::handle depth) {
  ProvenanceTracker& t = Self(self);
  nb::set ps = AsSet(pairs, "pairs");
  nb::object e = AsInt(entity, "entity"), c = AsInt(chain, "chain"), d = AsInt(depth, "depth");
  const bool tt = AsBool(taint);
  nb::object result = RustEncode(t, ps, e, c, tt, d);
  if (PySet_GET_SIZE(ps.ptr()) > 3) {
    ImportAttr(kTrackerReads, "note_dense")(t.dense, result, ps, e, c);
  }
  return IntResult(result);
}

nb::object DecodeFull(nb::handle self, nb::handle provenance) {
  ProvenanceTracker& t = Self(self);
  nb::object p = AsInt(provenance, "provenance");
  if (BackendTracker* b = t.native_backend()) {
    const uint32_t w = AsWord(p, "provenance");
    return MakeProvenanceInfo(b->codec.Decode(w), w);
  }
  return ImportAttr(kTrackerReads, "decode_by_backend")(t.rust, p);
}

nb::object Decode(nb::handle self, nb::handle provenance) {
  return CallDecodeFull(self, AsInt(provenance, "provenance")).attr("pairs");
}

nb::object EntityFromRow(nb::handle, nb::handle row_id) { return nb::int_(HashEntity(row_id)); }

bool ContainsPair(nb::handle self, nb::handle provenance, nb::handle pair_id) {
  nb::object p = AsInt(provenance, "provenance");
  nb::object pid = AsInt(pair_id, "pair_id");
  std::vector<uint32_t> ids;
  if (NativePairIds(self, AsWord(p, "provenance"), &ids)) {
    const int64_t want = PyLong_AsLongLong(pid.ptr());
    if (want == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    return std::find(ids.begin(), ids.end(), want) != ids.end();
  }
  return AsBool(ImportAttr(kTrackerReads, "contains_pair")(self, p, pid));
}

double RiskOfObject(nb::handle provenance) {
  return RiskOf(AsWord(provenance, "provenance"));
}

nb::list Explain(nb::handle self, nb::handle provenance) {
  nb::object p = AsInt(provenance, "provenance");
  nb::list names;
  std::vector<uint32_t> ids;
  if (NativeMethod(self, "get_name") && NativePairIds(self, AsWord(p, "provenance"), &ids)) {
    ProvenanceTracker& t = Self(self);
    for (uint32_t id : ids) {
      nb::object name = MapGet(t.id_to_name, nb::int_(id));
      if (AsBool(name)) names.append(name);
    }
    return names;
  }
  return nb::borrow<nb::list>(ImportAttr(kTrackerReads, "explain")(self, p));
}

// Per value and rare: written in Python (lumarq.utilities._tracker_reads), through the
// tracker's methods so that overrides are honoured.
nb::object ExplainFull(nb::handle self, nb::handle provenance) {
  nb::object p = AsInt(provenance, "provenance");
  Self(self);
  return ImportAttr(kTrackerReads, "explain_full")(self, p);
}

nb::object Combine(nb::handle self, nb::handle a, nb::handle b, nb::handle op) {
  ProvenanceTracker& t = Self(self);
  nb::object pa = AsInt(a, "prov_a"), pb = AsInt(b, "prov_b"), code = AsInt(op, "op");
  if (BackendTracker* bt = t.native_backend()) {
    return nb::int_(bt->codec.Combine(AsWord(pa, "prov_a"), AsWord(pb, "prov_b"), AsOpCode(code)));
  }
  return IntResult(t.rust.attr("combine")(pa, pb, code));
}

nb::object UpdateChain(nb::handle self, nb::handle provenance, nb::handle op) {
  ProvenanceTracker& t = Self(self);
  nb::object p = AsInt(provenance, "provenance"), code = AsInt(op, "op");
  if (t.native_backend() != nullptr) {
    return nb::int_(Codec::UpdateChain(AsWord(p, "provenance"), AsOpCode(code)));
  }
  return IntResult(t.rust.attr("update_chain")(p, code));
}

nb::object Stats(nb::handle self) {
  ProvenanceTracker& t = Self(self);
  return ImportAttr(kTrackerReads, "stats")(t.next_id, t.dense, t.protected_tables,
                                            t.protected_columns);
}

nb::tuple ReadHeader(nb::handle provenance) {
  const uint32_t w = AsWord(provenance, "provenance");
  return nb::make_tuple(static_cast<uint32_t>(ModeOf(w)), TaintOf(w), DepthOf(w));
}

nb::str GetMode(nb::handle, nb::handle provenance) {
  return nb::str(ModeName(AsWord(provenance, "provenance")));
}

// ---------------------------------------------------------------- GC support

int TrackerTraverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (!nb::inst_ready(self)) return 0;
  if (int r = nb::inst_ptr<ProvenanceTracker>(self)->Traverse(visit, arg)) return r;
  PyObject** dict = _PyObject_GetDictPtr(self);
  if (dict != nullptr) Py_VISIT(*dict);
  return 0;
}

int TrackerClear(PyObject* self) {
  if (nb::inst_ready(self)) nb::inst_ptr<ProvenanceTracker>(self)->Clear();
  PyObject** dict = _PyObject_GetDictPtr(self);
  if (dict != nullptr) Py_CLEAR(*dict);
  return 0;
}

PyType_Slot kTrackerSlots[] = {{Py_tp_traverse, reinterpret_cast<void*>(&TrackerTraverse)},
                               {Py_tp_clear, reinterpret_cast<void*>(&TrackerClear)},
                               {0, nullptr}};

/// A method of ProvenanceTracker written in Python (argument checks included).
nb::object ReadsMethod(nb::handle cls, const char* name) {
  return ImportAttr(kTrackerReads, "method")(cls, name);
}

/// The state attributes: pickled, visited by the collector and exposed under these names.
struct StateField {
  const char* name;
  nb::object ProvenanceTracker::*member;
  const char* doc;
};
constexpr StateField kStateFields[] = {
    {"_id_to_name", &ProvenanceTracker::id_to_name, "Pair id to (table, column)."},
    {"_name_to_id", &ProvenanceTracker::name_to_id, "(table, column) to pair id."},
    {"_next_id", &ProvenanceTracker::next_id, "Next pair id; the number of pairs."},
    {"_dense", &ProvenanceTracker::dense, "Dense signature to its pair set record."},
    {"_protected_tables", &ProvenanceTracker::protected_tables,
     "Tables whose every column is protected."},
    {"_protected_columns", &ProvenanceTracker::protected_columns,
     "Protected (table, column) pairs."},
    {"_rust", &ProvenanceTracker::rust, "The backend tracker."},
};

}  // namespace

// ---------------------------------------------------------------- class

const PyType_Slot* TrackerGcSlots() { return kTrackerSlots; }

ProvenanceTracker::ProvenanceTracker()
    : id_to_name(nb::dict()),
      name_to_id(nb::dict()),
      next_id(nb::int_(0)),
      dense(nb::dict()),
      protected_tables(nb::set()),
      protected_columns(nb::set()),
      rust(VantorGlobal("RustProvenanceTracker")()) {}

int ProvenanceTracker::Traverse(visitproc visit, void* arg) {
  for (const StateField& f : kStateFields) Py_VISIT((this->*f.member).ptr());
  return 0;
}

void ProvenanceTracker::Clear() {
  for (const StateField& f : kStateFields) (this->*f.member).reset();
}

PyTypeObject* TrackerType() {
  if (g_tracker_type == nullptr) {
    nb::handle t = nb::type<ProvenanceTracker>();
    if (t.is_valid()) g_tracker_type = reinterpret_cast<PyTypeObject*>(t.ptr());
  }
  return g_tracker_type;
}

ProvenanceTracker* TrackerPtr(nb::handle obj) {
  PyTypeObject* type = TrackerType();
  if (type == nullptr || !PyObject_TypeCheck(obj.ptr(), type) || !nb::inst_ready(obj)) return nullptr;
  return nb::inst_ptr<ProvenanceTracker>(obj);
}

bool NativeMethod(nb::handle self, const char* name) {
  PyTypeObject* type = TrackerType();
  return type != nullptr && UsesNative(self, Interned(name), type);
}

void SetVantorModule(nb::handle module) {
  g_vantor_dict = PyModule_GetDict(module.ptr());
  Py_INCREF(g_vantor_dict);  // kept for the life of the process
}

nb::handle VantorGlobal(const char* name) {
  PyObject* v = g_vantor_dict ? PyDict_GetItemString(g_vantor_dict, name) : nullptr;
  if (v == nullptr) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw nb::python_error();
  }
  return v;
}

uint32_t HashEntity(nb::handle row_id) {
  if (row_id.is_none()) return 0;
  const Py_hash_t h = PyObject_Hash(row_id.ptr());
  if (h == -1 && PyErr_Occurred()) throw nb::python_error();
  return static_cast<uint32_t>(static_cast<uint64_t>(h));
}

nb::object MakeProvenanceInfo(const Decoded& d, uint32_t word) {
  nb::set pairs;
  for (uint32_t id : d.pairs.Ids()) pairs.add(nb::int_(id));
  return VantorGlobal("ProvenanceInfo")(pairs, d.entity, d.chain, d.taint, d.depth,
                                        ModeName(word));
}

bool NativePairIds(nb::handle self, uint32_t word, std::vector<uint32_t>* ids) {
  ProvenanceTracker& t = Self(self);
  BackendTracker* b = t.native_backend();
  if (b == nullptr || !NativeMethod(self, "decode") || !NativeMethod(self, "decode_full")) return false;
  *ids = b->codec.Decode(word).pairs.Ids();
  return true;
}

// ---------------------------------------------------------------- dispatchers

nb::object CallRegister(nb::handle self, nb::handle table, nb::handle column, bool prot) {
  if (NativeMethod(self, "register")) return Register(self, table, column, nb::bool_(prot));
  return CallMethod(self, Interned("register"), table, column, prot);
}
nb::object CallGetId(nb::handle self, nb::handle table, nb::handle column) {
  if (NativeMethod(self, "get_id")) return GetId(self, table, column);
  return CallMethod(self, Interned("get_id"), table, column);
}
bool CallIsProtected(nb::handle self, nb::handle table, nb::handle column) {
  if (NativeMethod(self, "is_protected")) return IsProtected(self, table, column);
  return AsBool(CallMethod(self, Interned("is_protected"), table, column));
}
nb::object CallEncode(nb::handle self, nb::handle pairs, nb::handle entity, nb::handle chain,
                      bool taint, nb::handle depth) {
  if (NativeMethod(self, "encode")) return Encode(self, pairs, entity, chain, nb::bool_(taint), depth);
  return CallMethodKw(self, "encode", {pairs},
                      {{"entity", entity}, {"chain", chain}, {"taint", taint ? Py_True : Py_False},
                       {"depth", depth}});
}
nb::object CallDecodeFull(nb::handle self, nb::handle provenance) {
  if (NativeMethod(self, "decode_full")) return DecodeFull(self, provenance);
  return CallMethod(self, Interned("decode_full"), provenance);
}
nb::object CallCombine(nb::handle self, nb::handle a, nb::handle b, nb::handle op) {
  if (NativeMethod(self, "combine")) return Combine(self, a, b, op);
  return IntResult(CallMethod(self, Interned("combine"), a, b, op));
}
nb::object CallUpdateChain(nb::handle self, nb::handle provenance, nb::handle op) {
  if (NativeMethod(self, "update_chain")) return UpdateChain(self, provenance, op);
  return IntResult(CallMethod(self, Interned("update_chain"), provenance, op));
}

// ---------------------------------------------------------------- pickling

nb::dict TrackerState(ProvenanceTracker& t, nb::handle self) {
  nb::dict state;
  for (const StateField& f : kStateFields) state[f.name] = t.*(f.member);
  PyObject** dict = _PyObject_GetDictPtr(self.ptr());
  if (dict != nullptr && *dict != nullptr && PyDict_GET_SIZE(*dict) != 0) {
    state["__dict__"] = nb::steal(PyDict_Copy(*dict));
  }
  return state;
}

void RestoreTrackerState(ProvenanceTracker& t, nb::handle self, nb::handle state) {
  if (!PyDict_Check(state.ptr())) RaiseArgType("state", "dict", state);
  for (const StateField& f : kStateFields) {
    PyObject* v = PyDict_GetItemString(state.ptr(), f.name);
    if (v != nullptr) t.*(f.member) = nb::borrow(v);
  }
  PyObject* extra = PyDict_GetItemString(state.ptr(), "__dict__");
  if (extra != nullptr) {
    PyObject** dict = _PyObject_GetDictPtr(self.ptr());
    if (dict == nullptr) throw nb::type_error("tracker instance has no attribute dictionary");
    if (*dict == nullptr) *dict = PyDict_New();
    if (*dict == nullptr || PyDict_Update(*dict, extra) < 0) throw nb::python_error();
  }
}

// ---------------------------------------------------------------- registration

void RegisterTracker(nb::module_& m) {
  nb::class_<ProvenanceTracker> cls(m, "ProvenanceTracker", nb::dynamic_attr(),
                                    nb::type_slots(kTrackerSlots),
                                    "VANTOR-32 provenance tracker with gradient taint model.");
  g_tracker_type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  cls.def(nb::init<>());
  cls.def("__getstate__", [](nb::handle self) { return TrackerState(Self(self), self); });
  cls.def("__setstate__", [](nb::pointer_and_handle<ProvenanceTracker> v, nb::handle state) {
    new (v.p) ProvenanceTracker();
    RestoreTrackerState(*v.p, v.h, state);
  });

  for (const StateField& f : kStateFields) {
    cls.def_prop_rw(
        f.name, [m = f.member](ProvenanceTracker& t) { return t.*m; },
        [m = f.member](ProvenanceTracker& t, nb::object v) { t.*m = std::move(v); }, f.doc);
  }

  cls.def_static("read_header", &ReadHeader, nb::arg("provenance").none(),
                 "Extract (mode, taint, depth) from header bits.");
  cls.def_static(
      "is_tainted", [](nb::handle p) { return TaintOf(AsWord(p, "provenance")); },
      nb::arg("provenance").none(), "O(1) taint check — no decoding needed.");
  cls.def_static(
      "get_depth", [](nb::handle p) { return DepthOf(AsWord(p, "provenance")); },
      nb::arg("provenance").none(), "O(1) depth read — no decoding needed.");
  cls.def("get_mode", &GetMode, nb::arg("provenance").none(), "Human-readable mode name.");

  cls.def("register", &Register, nb::arg("table").none(), nb::arg("column").none(), nb::arg("protected").none() = false,
          "Register a (table, column) pair and return its ID (0-511).\n\n"
          "Args:\n"
          "    table: Source table/file name\n"
          "    column: Column name\n"
          "    protected: If True, marks this source as a protected attribute.\n"
          "               Values derived from it will carry taint=1.");
  cls.attr("register_table") = ReadsMethod(cls, "register_table");
  cls.def("get_name", &GetName, nb::arg("pair_id").none(), "Get (table, column) for a pair ID.");
  cls.def("get_id", &GetId, nb::arg("table").none(), nb::arg("column").none(), "Get pair ID for a (table, column).");
  cls.def("is_protected", &IsProtected, nb::arg("table").none(), nb::arg("column").none() = nb::none(),
          "Check if a table or specific column is a protected attribute.");
  cls.def("encode", &Encode, nb::arg("pairs").none(), nb::arg("entity").none() = 0, nb::arg("chain").none() = 0,
          nb::arg("taint").none() = false, nb::arg("depth").none() = 0,
          "Encode provenance to 32-bit value.\n\n"
          "Args:\n"
          "    pairs: Set of source pair IDs (0-511)\n"
          "    entity: Row identifier hash (truncated to fit mode)\n"
          "    chain: Computation path hash (truncated to fit mode)\n"
          "    taint: True if derived from protected data\n"
          "    depth: Derivation distance from source (0-7, saturates)");
  cls.def("decode", &Decode, nb::arg("provenance").none(), "Decode to pair IDs only (legacy API).");
  cls.def("decode_full", &DecodeFull, nb::arg("provenance").none(),
          "Decode 32-bit provenance to full ProvenanceInfo.");
  cls.def("entity_from_row", &EntityFromRow, nb::arg("row_id").none(),
          "Create entity hash from a row identifier.");
  cls.def("contains", &ContainsPair, nb::arg("provenance").none(), nb::arg("pair_id").none(),
          "Check if a pair is in the provenance.");
  cls.attr("contains_table") = ReadsMethod(cls, "contains_table");

  cls.def_static("risk_score", &RiskOfObject, nb::arg("provenance").none(),
                 "risk = taint * 1/(1 + depth).  Returns float in [0.0, 1.0].");
  cls.def("explain", &Explain, nb::arg("provenance").none(),
          "Decode to human-readable (table, column) names.");
  cls.def("explain_full", &ExplainFull, nb::arg("provenance").none(),
          "Full provenance explanation including taint, depth, risk.");
  cls.attr("explain_tables") = ReadsMethod(cls, "explain_tables");
  cls.attr("has_protected") = ReadsMethod(cls, "has_protected");
  cls.def("combine", &Combine, nb::arg("prov_a").none(), nb::arg("prov_b").none(), nb::arg("op").none() = 1,
          "Combine two provenances.  pairs=union, entity=XOR, taint=OR, depth=max+1.");
  cls.def("update_chain", &UpdateChain, nb::arg("provenance").none(), nb::arg("op").none(),
          "Update provenance with a unary operation. Depth += 1, taint preserved.");
  cls.def("stats", &Stats, "Tracker statistics.");
}

}  // namespace lumarq::py
