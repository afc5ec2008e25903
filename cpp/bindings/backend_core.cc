// lumarq._vantor32: the backend core. Encodes, decodes and combines provenance words for the
// tracker front end and runs the batch kernels over numpy uint32 arrays.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "backend.h"
#include "lumarq/codec.h"
#include "lumarq/prov_kernels.h"
#include "lumarq/window_nodes.h"

#include <structmember.h>  // after Python.h

namespace lumarq::py {
namespace {

constexpr size_t kReleaseGilFrom = 1 << 14;  // below this the GIL round trip costs more

/// A size argument: an int, at least 0.
size_t AsCount(nb::handle value, const char* name) {
  const int64_t n = AsInt64(value, name);
  if (n < 0) throw nb::value_error((std::string(name) + " must be non-negative").c_str());
  return static_cast<size_t>(n);
}

BackendTracker& Backend(nb::handle tracker, const char* name) {
  BackendTracker* b = NativeBackend(tracker);
  if (b == nullptr) RaiseArgType(name, "RustProvenanceTracker", tracker);
  return *b;
}

void RegisterBackendTracker(nb::module_& m) {
  nb::class_<BackendTracker>(m, "RustProvenanceTracker",
                             "Native codec of one provenance tracker: encodes, decodes and "
                             "combines 32-bit provenance words and keeps the dictionary of dense "
                             "pair sets.")
      .def(nb::init<>())
      .def(
          "register",
          [](BackendTracker& self, nb::handle table, nb::handle column, nb::handle prot) {
            nb::str t = AsStr(table, "table"), c = AsStr(column, "column");
            BackendRegister(self, Utf8(t), Utf8(c), AsBool(prot));
          },
          nb::arg("table").none(), nb::arg("column").none(), nb::arg("protected").none() = false,
          "Record a source pair announced by the front end.")
      .def(
          "mark_table_protected",
          [](BackendTracker& self, nb::handle table) {
            BackendMarkTableProtected(self, Utf8(AsStr(table, "table")));
          },
          nb::arg("table").none(), "Record that every column of `table` is protected.")
      .def(
          "encode",
          [](BackendTracker& self, nb::handle pairs, nb::handle entity, nb::handle chain,
             nb::handle taint, nb::handle depth) {
            const PairSet set = PairsFromIterable(pairs);
            const uint64_t e = AsUInt64Bits(entity, "entity");
            const uint64_t c = AsUInt64Bits(chain, "chain");
            const bool t = AsBool(taint);
            const uint32_t d = AsDepth(depth);
            return self.codec.Encode(set, e, c, t, d);
          },
          nb::arg("pairs").none(), nb::arg("entity").none() = 0, nb::arg("chain").none() = 0, nb::arg("taint").none() = false,
          nb::arg("depth").none() = 0,
          "Encode a set of pair ids (0-511) with entity, chain, taint and depth into a word.")
      .def(
          "decode_full",
          [](const BackendTracker& self, nb::handle provenance) {
            const uint32_t w = AsWord(provenance, "provenance");
            return DecodedToDict(self.codec.Decode(w), w);
          },
          nb::arg("provenance").none(),
          "Decode a word into a dict with keys pairs (sorted ids), entity, chain, taint, depth "
          "and mode.")
      .def(
          "combine",
          [](BackendTracker& self, nb::handle a, nb::handle b, nb::handle op) {
            return self.codec.Combine(AsWord(a, "prov_a"), AsWord(b, "prov_b"), AsOpCode(op));
          },
          nb::arg("prov_a").none(), nb::arg("prov_b").none(), nb::arg("op").none() = 1,
          "Combine two words: pairs united, entity XOR, chain mixed, taint OR, depth max+1.")
      .def(
          "update_chain",
          [](const BackendTracker&, nb::handle p, nb::handle op) {
            return Codec::UpdateChain(AsWord(p, "provenance"), AsOpCode(op));
          },
          nb::arg("provenance").none(), nb::arg("op").none(),
          "One unary step: pairs and taint kept, chain mixed, depth + 1.")
      // State for pickling: the dense pair sets in id order (replayed, they get their ids
      // again), the announced sources and the protected tables.
      .def("__getstate__",
           [](BackendTracker& self) {
             nb::list sets;
             for (const PairSet& set : self.codec.dense().Sets()) {
               nb::list ids;
               for (uint32_t id : set.Ids()) ids.append(id);
               sets.append(nb::tuple(ids));
             }
             nb::dict sources;
             nb::list tables;
             {
               std::lock_guard lock(self.mu);
               for (const auto& [key, prot] : self.sources) sources[nb::str(key.c_str(), key.size())] = prot;
               for (const std::string& table : self.protected_tables) tables.append(nb::str(table.c_str(), table.size()));
             }
             return nb::make_tuple(sets, sources, tables);
           })
      .def("__setstate__",
           [](BackendTracker& self, nb::tuple state) {
             new (&self) BackendTracker();
             if (state.size() != 3) throw nb::value_error("invalid RustProvenanceTracker state");
             for (nb::handle ids : state[0]) self.codec.dense().Intern(PairsFromIterable(ids));
             nb::object sources = state[1];
             if (!PyDict_Check(sources.ptr())) throw nb::value_error("invalid RustProvenanceTracker state");
             for (auto [key, prot] : nb::borrow<nb::dict>(sources)) {
               nb::str k = AsStr(key, "source");
               self.sources[std::string(Utf8(k))] = AsBool(prot);  // NUL characters included
             }
             for (nb::handle table : state[2]) {
               self.protected_tables.insert(std::string(Utf8(AsStr(table, "table"))));
             }
           })
      .def_prop_ro(
          "dense_size", [](const BackendTracker& self) { return self.codec.dense().size(); },
          "Number of distinct dense pair sets seen so far.")
      .def_prop_ro(
          "registered",
          [](BackendTracker& self) {
            std::lock_guard lock(self.mu);
            return self.sources.size();
          },
          "Number of distinct source pairs announced.");
}

/// A new array of n words filled by `kernel`, run without the GIL when the arrays are large
/// enough to be worth the switch.
template <class F>
nb::object NewWords(size_t n, F&& kernel) {
  uint32_t* out = nullptr;
  nb::object result = NewU32Array(n, &out);
  std::optional<nb::gil_scoped_release> release;
  if (n >= kReleaseGilFrom) release.emplace();
  kernel(std::span<uint32_t>(out, n));
  return result;
}

nb::object CombineBatch(nb::handle tracker, nb::handle a, nb::handle b, nb::handle op) {
  BackendTracker& bt = Backend(tracker, "tracker");
  U32View va(a, "a"), vb(b, "b");
  const uint32_t code = AsOpCode(op);
  if (va.size() != vb.size()) {
    throw nb::value_error(("combine_batch: arrays differ in length (" + std::to_string(va.size()) +
                           " and " + std::to_string(vb.size()) + ")")
                              .c_str());
  }
  return NewWords(va.size(), [&](std::span<uint32_t> out) {
    bt.codec.CombineBatch(va.span(), vb.span(), code, out);
  });
}

nb::object UpdateChainBatch(nb::handle tracker, nb::handle arr, nb::handle op) {
  Backend(tracker, "tracker");
  U32View v(arr, "arr");
  const uint32_t code = AsOpCode(op);
  return NewWords(v.size(),
                  [&](std::span<uint32_t> out) { Codec::UpdateChainBatch(v.span(), code, out); });
}

nb::object EncodeSourceColumnPy(nb::handle tracker, nb::handle pair_id, nb::handle entities,
                                nb::handle taint) {
  Backend(tracker, "tracker");
  const uint32_t pid = AsPairId(pair_id, "pair_id");
  U32View v(entities, "entity_hashes");
  const bool t = AsBool(taint);
  return NewWords(v.size(),
                  [&](std::span<uint32_t> out) { EncodeSourceColumn(pid, v.span(), t, out); });
}

/// A new array of `kernel(words)`, one value per word of `arr`, computed without the GIL.
template <class T>
nb::object PerWord(nb::handle arr, nb::object (*make)(size_t, T**),
                   void (*kernel)(std::span<const uint32_t>, std::span<T>)) {
  U32View v(arr, "arr");
  T* out = nullptr;
  nb::object result = make(v.size(), &out);
  nb::gil_scoped_release release;
  kernel(v.span(), {out, v.size()});
  return result;
}

nb::object IsTaintedBatch(nb::handle arr) { return PerWord<uint8_t>(arr, &NewBoolArray, &TaintBatch); }
nb::object RiskScoreBatch(nb::handle arr) { return PerWord<double>(arr, &NewF64Array, &RiskBatch); }

nb::list ExplainBatch(nb::handle tracker, nb::handle arr) {
  BackendTracker& bt = Backend(tracker, "tracker");
  U32View v(arr, "arr");
  nb::list out;
  // Columns repeat few distinct words; equal words share one (immutable) tuple.
  std::unordered_map<uint32_t, nb::tuple> seen;
  for (uint32_t w : v.span()) {
    auto it = seen.find(w);
    if (it == seen.end()) {
      const std::vector<uint32_t> ids = bt.codec.Decode(w).pairs.Ids();
      PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(ids.size()));
      if (!t) throw nb::python_error();
      for (size_t i = 0; i < ids.size(); ++i) {
        PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), PyLong_FromUnsignedLong(ids[i]));
      }
      it = seen.emplace(w, nb::steal<nb::tuple>(t)).first;
    }
    out.append(it->second);
  }
  return out;
}

// ---------------------------------------------------------------- kernels of the provenance dtype

/// A contiguous int64 view of `value`, converting (once, by numpy) what is not one already.
class I64View {
 public:
  I64View(nb::handle value, const char* name) {
    if (!nb::try_cast(value, arr_, /*convert=*/false)) {
      static PyObject *ascontig_slot, *i64_slot;
      nb::handle ascontig = KeepOnce(&ascontig_slot, [] { return ImportAttr("numpy", "ascontiguousarray"); });
      nb::handle i64 = KeepOnce(&i64_slot, [] { return ImportAttr("numpy", "int64"); });
      keep_ = ascontig(value, nb::arg("dtype") = i64);
      if (!nb::try_cast(keep_, arr_, false)) RaiseArgType(name, "1-d integer array", value);
    }
  }
  std::span<const int64_t> span() const { return {arr_.data(), arr_.shape(0)}; }

 private:
  nb::object keep_;
  I64Array arr_;
};

// Large results from the cache of huge-page mappings: fresh pages cost more than the copy.
nb::object EmptyBuffer(nb::handle nbytes) {
  int64_t* out = nullptr;
  return NewI64Array((AsCount(nbytes, "nbytes") + 7) / 8, &out);
}

nb::object TakeWordsPy(nb::handle words, nb::handle indices, nb::handle allow_fill) {
  U32View w(words, "words");
  I64View idx(indices, "indices");
  const bool fill = AsBool(allow_fill);
  uint32_t* out = nullptr;
  nb::object result = NewU32Array(idx.span().size(), &out);
  nb::gil_scoped_release release;
  TakeWords(w.span(), idx.span(), fill, {out, idx.span().size()});
  return result;
}

nb::object ConcatWordsPy(nb::handle parts) {
  std::vector<U32View> views;
  for (nb::handle p : parts) views.emplace_back(p, "parts");
  std::vector<std::span<const uint32_t>> spans;
  size_t total = 0;
  for (const U32View& v : views) {
    spans.push_back(v.span());
    total += v.size();
  }
  uint32_t* out = nullptr;
  nb::object result = NewU32Array(total, &out);
  nb::gil_scoped_release release;
  ConcatWords(spans, {out, total});
  return result;
}

nb::object GroupCombinePy(nb::handle tracker, nb::handle words, nb::handle ids,
                          nb::handle ngroups, nb::handle op) {
  BackendTracker& bt = Backend(tracker, "tracker");
  U32View w(words, "words");
  I64View g(ids, "ids");
  const size_t n = AsCount(ngroups, "ngroups");
  const uint32_t code = AsOpCode(op);
  uint32_t* out = nullptr;
  nb::object result = NewU32Array(n, &out);
  nb::gil_scoped_release release;
  GroupCombine(bt.codec, w.span(), g.span(), code, {out, n});
  return result;
}

/// A new int64 array holding `values`.
nb::object I64ArrayOf(const std::vector<int64_t>& values) {
  int64_t* out = nullptr;
  nb::object arr = NewI64Array(values.size(), &out);
  std::copy(values.begin(), values.end(), out);
  return arr;
}

/// The vector's memory handed to a numpy array, uncopied.
nb::object I64ArrayMoved(std::vector<int64_t>&& values) {
  auto* held = new std::vector<int64_t>(std::move(values));
  nb::capsule owner(held, [](void* p) noexcept { delete static_cast<std::vector<int64_t>*>(p); });
  return nb::cast(nb::ndarray<nb::numpy, int64_t, nb::ndim<1>>(held->data(), {held->size()}, owner));
}

nb::object DistinctGroupMembersPy(nb::handle ids, nb::handle values, nb::handle ngroups) {
  I64View g(ids, "ids");
  I64View v(values, "values");
  const size_t n = AsCount(ngroups, "ngroups");
  std::vector<int64_t> offsets, members;
  {
    nb::gil_scoped_release release;
    DistinctGroupMembers(g.span(), v.span(), n, &offsets, &members);
  }
  return nb::make_tuple(I64ArrayOf(offsets), I64ArrayOf(members));
}

nb::object WindowNodePlanPy(nb::handle nodes, nb::handle columns, nb::handle starts,
                            nb::handle ends) {
  I64View v(nodes, "nodes"), s(starts, "starts"), e(ends, "ends");
  const size_t c = AsCount(columns, "columns");
  WindowNodePlan plan;
  {
    nb::gil_scoped_release release;
    plan = PlanWindowNodes(v.span(), c, s.span(), e.span());
  }
  return nb::make_tuple(I64ArrayOf(plan.part_starts), I64ArrayOf(plan.part_ends),
                        I64ArrayOf(plan.part_offsets), I64ArrayOf(plan.part_inputs),
                        I64ArrayMoved(std::move(plan.offsets)), I64ArrayMoved(std::move(plan.inputs)));
}

nb::object WindowCombinePy(nb::handle tracker, nb::handle words, nb::handle window,
                           nb::handle op) {
  BackendTracker& bt = Backend(tracker, "tracker");
  U32View w(words, "words");
  const int64_t size = AsInt64(window, "window");
  if (size < 1) throw nb::value_error("window must be at least 1");
  const uint32_t code = AsOpCode(op);
  uint32_t* out = nullptr;
  nb::object result = NewU32Array(w.size(), &out);
  nb::gil_scoped_release release;
  WindowCombine(bt.codec, w.span(), static_cast<size_t>(size), code, {out, w.size()});
  return result;
}

nb::object RangeCombinePy(nb::handle tracker, nb::handle words, nb::handle starts,
                          nb::handle ends, nb::handle op, nb::handle extra) {
  BackendTracker& bt = Backend(tracker, "tracker");
  U32View w(words, "words");
  I64View s(starts, "starts"), e(ends, "ends");
  std::optional<U32View> x;
  if (!extra.is_none()) x.emplace(extra, "extra");
  const uint32_t code = static_cast<uint32_t>(AsUInt64Bits(op, "op"));
  uint32_t* out = nullptr;
  nb::object result = NewU32Array(s.span().size(), &out);
  nb::gil_scoped_release release;
  RangeCombine(bt.codec, w.span(), s.span(), e.span(), code, {out, s.span().size()},
               x ? x->span() : std::span<const uint32_t>());
  return result;
}

nb::object GroupRunningCombinePy(nb::handle tracker, nb::handle words, nb::handle ids,
                                 nb::handle keys, nb::handle op) {
  BackendTracker& bt = Backend(tracker, "tracker");
  U32View w(words, "words"), k(keys, "keys");
  I64View g(ids, "ids");
  const uint32_t code = static_cast<uint32_t>(AsUInt64Bits(op, "op"));
  uint32_t* out = nullptr;
  nb::object result = NewU32Array(w.size(), &out);
  nb::gil_scoped_release release;
  GroupRunningCombine(bt.codec, w.span(), g.span(), k.span(), code, {out, w.size()});
  return result;
}

// A method hook: `check(self, ...)` first. When it answers `passed`, `method(self, ...)` runs
// as it was called; otherwise the answer is (replacement, after): `method` runs with positional
// argument `gate_at` replaced, then after(self). Being native, the hook puts no Python frame
// on the way to `method` and holds no reference of its own to `self`: pandas' chained-assignment
// checks (the caller's frame, reference counts) and warnings (stacklevel, find_stack_level)
// see what they see without it. With a gate, `check` runs only when argument `gate_at` is an
// instance of `gate`; every other call goes straight to `method`.
struct MethodHook {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* check;
  PyObject* method;
  PyObject* passed;
  PyObject* gate;
  Py_ssize_t gate_at;
};

PyObject* HookCall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* h = reinterpret_cast<MethodHook*>(self);
  Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  if (n <= h->gate_at) return PyObject_Vectorcall(h->method, args, nargsf, kwnames);
  if (h->gate != Py_None) {
    int hit = PyObject_IsInstance(args[h->gate_at], h->gate);
    if (hit < 0) return nullptr;
    if (hit == 0) return PyObject_Vectorcall(h->method, args, nargsf, kwnames);
  }
  PyObject* answer = PyObject_Vectorcall(h->check, args, n, kwnames);
  if (answer == nullptr) return nullptr;
  if (answer == h->passed) {
    Py_DECREF(answer);
    return PyObject_Vectorcall(h->method, args, nargsf, kwnames);
  }
  if (!PyTuple_Check(answer) || PyTuple_GET_SIZE(answer) != 2) {
    Py_DECREF(answer);
    PyErr_SetString(PyExc_TypeError, "a method hook's check answers `passed` or (replacement, after)");
    return nullptr;
  }
  Py_ssize_t total = n + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
  std::vector<PyObject*> call(args, args + total);  // borrowed, as the caller's are
  call[h->gate_at] = PyTuple_GET_ITEM(answer, 0);
  PyObject* result = PyObject_Vectorcall(h->method, call.data(), n, kwnames);
  if (result != nullptr) {
    PyObject* done = PyObject_CallOneArg(PyTuple_GET_ITEM(answer, 1), args[0]);
    if (done == nullptr) Py_CLEAR(result);
    Py_XDECREF(done);
  }
  Py_DECREF(answer);
  return result;
}

PyObject* HookGet(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

int HookTraverse(PyObject* self, visitproc visit, void* arg) {
  auto* h = reinterpret_cast<MethodHook*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(h->check);
  Py_VISIT(h->method);
  Py_VISIT(h->passed);
  Py_VISIT(h->gate);
  return 0;
}

int HookClear(PyObject* self) {
  auto* h = reinterpret_cast<MethodHook*>(self);
  Py_CLEAR(h->check);
  Py_CLEAR(h->method);
  Py_CLEAR(h->passed);
  Py_CLEAR(h->gate);
  return 0;
}

void HookDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  HookClear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// __name__, __doc__ and __wrapped__ are the hooked method's, for introspection.
PyObject* HookAttr(PyObject* self, void* name) {
  PyObject* method = reinterpret_cast<MethodHook*>(self)->method;
  if (std::string_view(static_cast<const char*>(name)) == "__wrapped__") return Py_NewRef(method);
  return PyObject_GetAttrString(method, static_cast<const char*>(name));
}

PyTypeObject* HookType() {
  static PyTypeObject* type = [] {
    static PyMemberDef members[] = {
        {"__vectorcalloffset__", T_PYSSIZET, offsetof(MethodHook, vectorcall), READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr}};
    static PyGetSetDef getset[] = {
        {"__name__", &HookAttr, nullptr, nullptr, const_cast<char*>("__name__")},
        {"__qualname__", &HookAttr, nullptr, nullptr, const_cast<char*>("__qualname__")},
        {"__doc__", &HookAttr, nullptr, nullptr, const_cast<char*>("__doc__")},
        {"__wrapped__", &HookAttr, nullptr, nullptr, const_cast<char*>("__wrapped__")},
        {nullptr, nullptr, nullptr, nullptr, nullptr}};
    static PyType_Slot slots[] = {
        {Py_tp_call, reinterpret_cast<void*>(&PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(&HookGet)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&HookDealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(&HookTraverse)},
        {Py_tp_clear, reinterpret_cast<void*>(&HookClear)},
        {Py_tp_members, members},
        {Py_tp_getset, getset},
        {0, nullptr}};
    static PyType_Spec type_def = {"lumarq._vantor32.MethodHook", sizeof(MethodHook), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                                   Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
                                   Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               slots};
    PyObject* t = PyType_FromSpec(&type_def);
    if (t == nullptr) throw nb::python_error();
    return reinterpret_cast<PyTypeObject*>(t);
  }();
  return type;
}

nb::object MakeMethodHook(nb::object check, nb::object method, nb::object passed, nb::object gate,
                          Py_ssize_t gate_at) {
  PyTypeObject* type = HookType();
  auto* h = PyObject_GC_New(MethodHook, type);
  if (h == nullptr) throw nb::python_error();
  h->vectorcall = &HookCall;
  h->check = check.release().ptr();
  h->method = method.release().ptr();
  h->passed = passed.release().ptr();
  h->gate = gate.release().ptr();
  h->gate_at = gate_at;
  PyObject_GC_Track(h);
  return nb::steal(reinterpret_cast<PyObject*>(h));
}

}  // namespace
}  // namespace lumarq::py

LUMARQ_MODULE(_vantor32, m) {
  using namespace lumarq::py;
  m.doc() = "Backend core of the VANTOR-32 provenance word: codec, algebra and batch kernels.";
  RegisterBackendTracker(m);
  m.def("method_hook", &MakeMethodHook, nb::arg("check"), nb::arg("method"), nb::arg("passed"),
        nb::arg("gate").none() = nb::none(), nb::arg("gate_at") = 1,
        "A native method: check(self, ...); method(self, ...) when that answers `passed`, else\n"
        "(replacement, after): method with argument gate_at replaced, then after(self). With a\n"
        "gate, check runs only when argument gate_at is an instance of it.");
  m.def("combine_batch", &CombineBatch, nb::arg("tracker").none(), nb::arg("a").none(), nb::arg("b").none(),
        nb::arg("op").none(), "Element-wise combine of two equally long uint32 provenance arrays.");
  m.def("update_chain_batch", &UpdateChainBatch, nb::arg("tracker").none(), nb::arg("arr").none(), nb::arg("op").none(),
        "One unary step (depth + 1, chain mixed) for every element.");
  m.def("encode_source_column", &EncodeSourceColumnPy, nb::arg("tracker").none(), nb::arg("pair_id").none(),
        nb::arg("entity_hashes").none(), nb::arg("taint").none(),
        "Depth-0 single-pair words for one source column, one per entity hash (cut to 8 bits).");
  m.def("is_tainted_batch", &IsTaintedBatch, nb::arg("arr").none(), "Per-element taint flags (bool array).");
  m.def("risk_score_batch", &RiskScoreBatch, nb::arg("arr").none(),
        "Per-element risk taint / (1 + depth) (float64 array).");
  m.def("explain_batch", &ExplainBatch, nb::arg("tracker").none(), nb::arg("arr").none(),
        "Per-element source pair ids: a list with one tuple of ascending pair ids per element "
        "(equal words share one tuple).");
  m.def("empty_buffer", &EmptyBuffer, nb::arg("nbytes").none(),
        "An uninitialised int64 array of at least `nbytes` bytes (large ones on huge pages).");
  m.def("take_words", &TakeWordsPy, nb::arg("words").none(), nb::arg("indices").none(),
        nb::arg("allow_fill").none() = false,
        "words[indices] as a new uint32 array; with allow_fill, index -1 gives word 0.");
  m.def("concat_words", &ConcatWordsPy, nb::arg("parts").none(),
        "The uint32 word arrays of `parts` one after another, in one new array.");
  m.def("group_combine", &GroupCombinePy, nb::arg("tracker").none(), nb::arg("words").none(),
        nb::arg("ids").none(), nb::arg("ngroups").none(), nb::arg("op").none(),
        "One combined word per group: the words of the rows with ids == g (negative ids "
        "belong to no group) combined n-ary with `op`; an empty group gets 0.");
  m.def("distinct_group_members", &DistinctGroupMembersPy, nb::arg("ids").none(),
        nb::arg("values").none(), nb::arg("ngroups").none(),
        "(offsets, members): the distinct values of each group in the order of their first row, "
        "group g's at members[offsets[g]:offsets[g + 1]]; rows with a negative id or value "
        "belong to no group.");
  m.def("window_node_plan", &WindowNodePlanPy, nb::arg("nodes").none(),
        nb::arg("columns").none(), nb::arg("starts").none(), nb::arg("ends").none(),
        "(part_starts, part_ends, part_offsets, part_inputs, offsets, inputs): the nodes of\n"
        "windows [starts[k], ends[k]) over rows with `columns` node ids each (row-major), as two\n"
        "logs of groups: part nodes (rows [part_starts[p], part_ends[p])), then one per window.\n"
        "In each, -2 - g names its group g; in the windows', -2 - windows - p names part p.");
  m.def("window_combine", &WindowCombinePy, nb::arg("tracker").none(), nb::arg("words").none(),
        nb::arg("window").none(), nb::arg("op").none(),
        "Per row, the n-ary combination of the words of the trailing window ending at it.");
  m.def("range_combine", &RangeCombinePy, nb::arg("tracker").none(), nb::arg("words").none(),
        nb::arg("starts").none(), nb::arg("ends").none(), nb::arg("op").none(),
        nb::arg("extra").none() = nb::none(),
        "Per window k, the combination of words[starts[k]:ends[k]] (the chain order-free),\n"
        "with extra[k] as one more member where given and non-zero.");
  m.def("group_running_combine", &GroupRunningCombinePy, nb::arg("tracker").none(),
        nb::arg("words").none(), nb::arg("ids").none(), nb::arg("keys").none(),
        nb::arg("op").none(),
        "Per row, the combination of its group's key word (keys[g], 0: none) and rows up to it;\n"
        "a row with a negative id takes one unary step.");
}
