#include "containers_support.h"

#include <algorithm>
#include <string>
#include <type_traits>
#include <vector>

#include "lumarq/codec.h"
#include "lumarq/container_rows.h"
#include "lumarq/hash.h"
#include "lumarq/prov_kernels.h"
#include "lumarq/word.h"
#include "tracker.h"

namespace lumarq::py {

namespace {

/// object.__setattr__(obj, name, value): skips pandas' NDFrame.__setattr__, which only adds
/// lookups for names that are neither columns nor internals.
void SetPlainAttr(nb::handle obj, const char* name, nb::handle value) {
  if (PyObject_GenericSetAttr(obj.ptr(), Interned(name).ptr(), value.ptr()) < 0) {
    throw nb::python_error();
  }
}

/// super(cls, self).<name>(*args, **kwargs).
nb::object CallSuper(nb::handle cls, nb::handle self, const char* name, const nb::args& args,
                     const nb::kwargs& kwargs) {
  nb::object sup = Steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type),
                                                      cls.ptr(), self.ptr(), nullptr));
  return Steal(PyObject_Call(GetAttr(sup, name).ptr(), args.ptr(), kwargs.ptr()));
}

/// kwargs.pop(name, None) on a keyword-argument dict.
nb::object PopKwarg(nb::handle kwargs, const char* name) {
  nb::handle key = Interned(name);
  PyObject* v = PyDict_GetItemWithError(kwargs.ptr(), key.ptr());
  if (v == nullptr) {
    if (PyErr_Occurred()) throw nb::python_error();
    return nb::none();
  }
  nb::object out = nb::borrow(v);
  if (PyDict_DelItem(kwargs.ptr(), key.ptr()) < 0) throw nb::python_error();
  return out;
}

/// A property whose getter returns `*cls` (a class that exists only once the namespace is done).
nb::object ClassProperty(PyObject** cls) {
  nb::object fget = nb::cpp_function([cls](nb::handle) { return nb::borrow(*cls); });
  return Refs().property(fget);
}

}  // namespace

nb::dict SubclassNamespace(std::initializer_list<const char*> metadata, PyObject** constructor,
                           PyObject** sliced) {
  nb::dict ns;
  nb::list names;
  for (const char* name : metadata) names.append(name);
  ns["_metadata"] = names;
  ns["_constructor"] = ClassProperty(constructor);
  if (sliced != nullptr) ns["_constructor_sliced"] = ClassProperty(sliced);
  return ns;
}

void AddSeriesInit(nb::dict& ns, PyObject** cls, bool nodes) {
  Method(ns, "__init__", [cls, nodes](nb::handle self, nb::args args, nb::kwargs kwargs) {
    nb::object prov = PopKwarg(kwargs, "_prov");
    nb::object tracker = PopKwarg(kwargs, "_tracker");
    nb::object ids = nodes ? PopKwarg(kwargs, "_node_ids") : nb::object();
    CallSuper(*cls, self, "__init__", args, kwargs);
    if (prov.is_none()) prov = ZerosU32(Len(self));
    SetPlainAttr(self, "_prov", prov);
    SetPlainAttr(self, "_tracker", tracker);
    if (!nodes) return;
    if (ids.is_none()) ids = FilledArray<int64_t>(Len(self), -1);
    SetPlainAttr(self, "_node_ids", ids);
  });
}

void AddFrameInitFinalize(nb::dict& ns, PyObject** cls, std::vector<const char*> dicts) {
  Method(ns, "__init__", [cls, dicts](nb::handle self, nb::args args, nb::kwargs kwargs) {
    nb::object tracker = PopKwarg(kwargs, "_tracker");
    std::vector<nb::object> given;
    for (const char* name : dicts) given.push_back(PopKwarg(kwargs, name));
    CallSuper(*cls, self, "__init__", args, kwargs);
    SetPlainAttr(self, "_tracker", tracker);
    for (size_t k = 0; k < dicts.size(); ++k) {
      SetPlainAttr(self, dicts[k], given[k].is_none() ? nb::object(nb::dict()) : given[k]);
    }
  });
  // Once per derived frame, not per row: the glue's frame_finalize, given the class it is on.
  nb::list names;
  for (const char* name : dicts) names.append(name);
  ns["__finalize__"] = GlueFn("frame_finalize")(
      nb::cpp_function([cls] { return nb::borrow(*cls); }), nb::tuple(names));
}

nb::object NewTrackedSeries(nb::handle cls, nb::handle values, nb::handle index, nb::handle name,
                            nb::handle prov, nb::handle tracker, nb::handle nodes, bool fresh) {
  KwArg kw[6] = {{"index", index}, {"name", name}, {"_prov", prov}, {"_tracker", tracker}};
  size_t count = 4;
  if (nodes.is_valid()) kw[count++] = {"_node_ids", nodes};
  if (fresh) kw[count++] = {"copy", Py_False};
  return CallKw(cls, {values}, std::span<const KwArg>(kw, count));
}

ContainerOpCodes ReadOpCodes(nb::handle module) {
  nb::object opcode = module.attr("OpCode");
  auto code = [&](const char* name) { return nb::cast<int>(opcode.attr(name)); };
  return {code("ADD"), code("SUB"), code("MUL"), code("DIV"),
          code("NEG"), code("CMP"), code("MERGE")};
}

namespace {

/// (a, b) -> fn(b, a), kept for the process lifetime.
nb::handle Reflected(nb::handle fn) {
  return nb::cpp_function([fn](nb::handle a, nb::handle b) { return fn(b, a); },
                          nb::name("reflected"))
      .release();
}

}  // namespace

void AddBinaryOperators(nb::dict& ns, nb::handle module,
                        nb::object (*dispatch)(nb::handle, nb::handle, const BinaryOperator&)) {
  nb::object opcode = module.attr("OpCode");
  // The rows (their texts and functions) are kept for the process lifetime, like Refs().
  nb::handle rows =
      ImportAttr("lumarq.utilities._container_operators", "binary_operators")().release();
  for (nb::handle row : rows) {
    // (method, fn, reflected, name, OpCode member)
    const char* method = nb::cast<const char*>(row[0]);
    nb::object fn = row[1];
    const BinaryOperator op{AsBool(row[2]) ? Reflected(fn) : fn.ptr(),
                            Interned(nb::cast<const char*>(row[3])),
                            nb::cast<int>(opcode.attr(row[4]))};
    Method(
        ns, method,
        [op, dispatch](nb::handle self, nb::handle other) { return dispatch(self, other, op); },
        nb::arg("other").none());
  }
}


const PyRefs& Refs() {
  // Leaked on purpose: module-lifetime references must not be released after finalisation.
  // Not a function-local static initialised by Python code (see KeepOnce): two threads may
  // both build the references; the first stored wins and the other's stay referenced.
  static const PyRefs* refs = nullptr;
  if (refs != nullptr) return *refs;
  auto made = std::make_unique<PyRefs>([] {
    PyRefs r;
    nb::module_ np = nb::module_::import_("numpy");
    nb::module_ pd = nb::module_::import_("pandas");
    nb::module_ op = nb::module_::import_("operator");
    nb::module_ builtins = nb::module_::import_("builtins");
    auto keep = [](nb::object o) { return o.release(); };
    r.np_zeros = keep(np.attr("zeros"));
    r.np_asarray = keep(np.attr("asarray"));
    r.np_broadcast_to = keep(np.attr("broadcast_to"));
    r.ndarray_type = keep(np.attr("ndarray"));
    r.np_dtype_type = keep(np.attr("dtype"));
    r.np_uint32 = keep(np.attr("uint32"));
    r.u32_dtype = keep(np.attr("dtype")("uint32"));
    r.np_float64 = keep(np.attr("float64"));
    r.object_dtype = keep(np.attr("dtype")("O"));
    r.pd_series = keep(pd.attr("Series"));
    r.pd_frame = keep(pd.attr("DataFrame"));
    r.pd_range_index = keep(pd.attr("RangeIndex"));
    r.extension_array = keep(nb::module_::import_("pandas.api.extensions").attr("ExtensionArray"));
    r.pd_na = keep(pd.attr("NA"));
    r.pd_nat = keep(pd.attr("NaT"));
    r.np_datetime64 = keep(np.attr("datetime64"));
    r.np_timedelta64 = keep(np.attr("timedelta64"));
    r.op_neg = keep(op.attr("neg"));
    r.op_invert = keep(op.attr("invert"));
    r.property = keep(builtins.attr("property"));
    return r;
  }());
  if (refs == nullptr) refs = made.release();
  return *refs;
}

namespace {

/// o != o, without the identity shortcut: true for NaN and NaT.
bool DiffersFromItself(PyObject* o) {
  nb::object ne = Steal(PyObject_RichCompare(o, o, Py_NE));
  const int t = PyObject_IsTrue(ne.ptr());
  if (t < 0) throw nb::python_error();
  return t != 0;
}

}  // namespace

/// True when a row value is not recorded: None, pandas' NA and NaT, numpy's NaT, or a NaN whose
/// type is float or a subclass of it (numpy float64 is one; float32 is not). Missing values of
/// nullable and date columns were stored as the texts "<NA>" and "NaT".
bool NotRecorded(nb::handle v) {
  PyObject* o = v.ptr();
  const PyRefs& r = Refs();
  if (o == Py_None || o == r.pd_na.ptr() || o == r.pd_nat.ptr()) return true;
  PyTypeObject* type = Py_TYPE(o);
  if (type == reinterpret_cast<PyTypeObject*>(r.np_datetime64.ptr()) ||
      type == reinterpret_cast<PyTypeObject*>(r.np_timedelta64.ptr())) {
    return DiffersFromItself(o);
  }
  if (!PyFloat_Check(o)) return false;
  if (PyFloat_CheckExact(o) || type == reinterpret_cast<PyTypeObject*>(r.np_float64.ptr())) {
    return std::isnan(PyFloat_AS_DOUBLE(o));
  }
  return DiffersFromItself(o);
}

nb::object AsU32Array(nb::handle value) {
  const PyRefs& r = Refs();
  if (IsNdarray(value)) {
    nb::object dtype = GetAttr(value, "dtype");
    if (dtype.ptr() == r.u32_dtype.ptr()) return nb::borrow(value);
  }
  return CallKw(r.np_asarray, {value}, {{"dtype", r.np_uint32}});
}

nb::object ZerosU32(size_t n) {
  const PyRefs& r = Refs();
  return CallKw(r.np_zeros, {nb::int_(n)}, {{"dtype", r.np_uint32}});
}

template <typename T>
void StoreInt(nb::handle arr, T* buf, size_t i, nb::handle value) {
  int64_t v;
  if (ExactInt64(value, &v) &&
      (sizeof(T) == 8 || (v >= 0 && v <= static_cast<int64_t>(UINT32_MAX)))) {
    buf[i] = static_cast<T>(v);
  } else if (PyObject_SetItem(arr.ptr(), PyInt(static_cast<int64_t>(i)).ptr(), value.ptr()) < 0) {
    throw nb::python_error();
  }
}
template void StoreInt<uint32_t>(nb::handle, uint32_t*, size_t, nb::handle);
template void StoreInt<int64_t>(nb::handle, int64_t*, size_t, nb::handle);

// ---------------------------------------------------------------- classes built with type()


nb::object CopyOf(nb::handle arr) { return CallMethod(arr, Interned("copy")); }


nb::handle NegOp(nb::handle self) {
  nb::object kind = GetAttr(GetAttr(self, "dtype"), "kind");
  return nb::str("b").equal(kind) ? Refs().op_invert : Refs().op_neg;
}

nb::object OperandValues(nb::handle obj, nb::handle fallback) {
  // An extension column's values are its pandas array; `values` would turn time zones into
  // naive UTC and periods into objects (pandas 3 warns for both)
  nb::object dtype = GetAttrOr(obj, "dtype", nb::none());
  if (!dtype.is_none() && !IsInstance(dtype, Refs().np_dtype_type) &&
      PyObject_HasAttrString(obj.ptr(), "array")) {
    return GetAttr(obj, "array");
  }
  return GetAttrOr(obj, "values", fallback);
}

nb::object OpResultName(nb::handle self, nb::handle other) {
  return ImportAttr("pandas.core.ops.common", "get_op_result_name")(self, other);
}

void DefineClass(nb::module_& m, const char* name, nb::handle base, nb::dict& ns, const char* doc,
                 PyObject** cls) {
  ns["__module__"] = m.attr("__name__");
  ns["__qualname__"] = name;
  ns["__doc__"] = doc;
  nb::object type = nb::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
  nb::object made = type(name, nb::make_tuple(base), ns);
  *cls = made.ptr();
  m.attr(name) = made;
}

// ---------------------------------------------------------------- operands and derived rows

void CheckOperands(nb::handle self, nb::handle other, nb::handle tracker) {
  const PyRefs& r = Refs();
  const bool pandas = IsInstance(other, r.pd_series);
  bool sized = pandas || PyList_Check(other.ptr());
  if (!sized && IsNdarray(other)) {
    nb::object ndim = GetAttr(other, "ndim");
    sized = PyLong_Check(ndim.ptr()) && PyLong_AsLong(ndim.ptr()) == 1;
  }
  if (!sized) return;
  const size_t n = Len(self), m = Len(other);
  if (n != m && (pandas || m != 1)) {
    PyErr_Format(PyExc_ValueError,
                 "operands differ in length: %zu and %zu (tracked Series combine row by row, by "
                 "position, so both need the same length)",
                 n, m);
    throw nb::python_error();
  }
  if (!pandas) return;
  nb::object a = GetAttr(self, "index"), b = GetAttr(other, "index");
  if (a.ptr() == b.ptr() || AsBool(CallMethod(a, Interned("equals"), b))) return;
  ProvenanceTracker* t = TrackerPtr(tracker);
  if (t != nullptr) {
    if (t->positional_warned) return;
    t->positional_warned = true;
  }
  WarnUser(
      "operands have different indexes: tracked Series align values and provenance by position, "
      "not by label (plain pandas would align by label). Use the provenance dtype (lumarq.track) "
      "to align by label.");
}

Codec* NativeCodec(nb::handle tracker, nb::object* hold) {
  ProvenanceTracker* t = TrackerPtr(tracker);
  if (t == nullptr) return nullptr;
  BackendTracker* b = t->native_backend();
  if (b == nullptr) return nullptr;
  *hold = t->rust;
  return &b->codec;
}

namespace {

uint32_t g_agg_code = 11;

StridedWords Strided(const ArrayView<uint32_t>& v) { return {v.data, v.stride, v.size}; }

/// A column's words for a derived object of n rows that no longer lines up with them. When every
/// stored word has the same pair set and taint, the first word (the first-row rule); otherwise
/// one word uniting the pairs, taint and greatest depth of all of them, so that no source is
/// lost. Without a native tracker the first-row rule applies. Always a new array.

nb::object SpreadWords(nb::handle tracker, nb::handle prov, size_t n) {
  ArrayView<uint32_t> view;
  if (!TryArrayView(prov, &view)) {
    // Not words as the containers make them: np.broadcast_to(prov[:1], n).copy(), as stored.
    if (Len(prov) == 0) return FilledArray<uint32_t>(n, 0u);
    return CopyOf(CallKw(Refs().np_broadcast_to,
                         {GetItem(prov, Steal(PySlice_New(nullptr, nb::int_(1).ptr(), nullptr))),
                          nb::int_(n)}));
  }
  if (view.size == 0) return FilledArray<uint32_t>(n, 0u);
  const uint32_t first = view[0];
  nb::object hold;
  Codec* codec = SamePairs(Strided(view)) ? nullptr : NativeCodec(tracker, &hold);
  if (codec == nullptr) return FilledArray<uint32_t>(n, first);
  const StridedWords words[1] = {Strided(view)};
  return FilledArray<uint32_t>(n, UnionWord(*codec, words, first));
}

/// Words of a result derived from several columns at once. `arrays` (a sequence of equally long
/// uint32 arrays): with n equal to their length, row i unites the pairs and taint of row i of
/// every array, one step deeper (OpCode.AGG); otherwise one such word over all rows of all
/// arrays, spread over n rows.
nb::object AggregateWords(nb::handle tracker, nb::handle arrays, size_t n) {
  std::vector<nb::object> keep;
  std::vector<StridedWords> cols;
  for (nb::handle a : arrays) {
    keep.push_back(AsU32Array(a));
    ArrayView<uint32_t> v;
    if (!TryArrayView(keep.back(), &v)) throw nb::type_error("provenance must be a 1-d uint32 array");
    if (!cols.empty() && v.size != cols[0].size) {
      throw nb::value_error("provenance arrays differ in length");
    }
    cols.push_back(Strided(v));
  }
  if (cols.empty() || cols[0].size == 0) return FilledArray<uint32_t>(n, 0u);
  nb::object hold;
  Codec* codec = NativeCodec(tracker, &hold);
  const size_t rows = cols[0].size;
  if (codec == nullptr) {
    // No native codec: the first column's words stand for the row (first-row rule if reshaped).
    return rows == n ? CopyOf(keep[0]) : FilledArray<uint32_t>(n, cols[0][0]);
  }
  if (rows != n) {
    return FilledArray<uint32_t>(
        n, Codec::UpdateChain(UnionWord(*codec, cols, cols[0][0]), g_agg_code));
  }
  uint32_t* out = nullptr;
  nb::object result = NewU32Array(n, &out);
  UnionRows(*codec, cols, g_agg_code, {out, n});
  return result;
}

}  // namespace

void RegisterWordHelpers(nb::module_& m) {
  g_agg_code = nb::cast<uint32_t>(m.attr("OpCode").attr("AGG"));
  m.def(
      "_spread_words",
      [](nb::handle tracker, nb::handle prov, size_t n) { return SpreadWords(tracker, prov, n); },
      nb::arg("tracker").none(), nb::arg("prov"), nb::arg("n"),
      "A column's words spread over n rows of a derived object (first-row rule, or one word "
      "uniting them all when they differ in pairs or taint).");
  m.def(
      "_aggregate_words",
      [](nb::handle tracker, nb::handle arrays, size_t n) {
        return AggregateWords(tracker, arrays, n);
      },
      nb::arg("tracker").none(), nb::arg("arrays"), nb::arg("n"),
      "Words of a result derived from several columns: per row when n matches, else one word "
      "over all of them.");
}

// ---------------------------------------------------------------- wrapping frames

void RequireFrame(nb::handle df, const char* func) {
  if (IsInstance(df, Refs().pd_frame)) return;
  PyErr_Format(PyExc_TypeError, "%s expects a pandas DataFrame, got %s", func,
               Py_TYPE(df.ptr())->tp_name);
  throw nb::python_error();
}

nb::object GlueFn(const char* name) {
  static PyObject* slot;
  nb::handle glue =
      KeepOnce(&slot, [] { return nb::module_::import_("lumarq.utilities._tracked_glue"); });
  return glue.attr(name);
}

void AddSeriesGlue(nb::module_& m, const char* name, nb::dict& ns, bool flex_binop) {
  ns.update(flex_binop ? GlueFn("dag_series_methods")(m.attr("__name__"), name)
                       : GlueFn("methods_for")("series", m.attr("__name__"), name));
}

void AddFrameGlue(nb::module_& m, const char* name, nb::dict& ns) {
  ns.update(GlueFn("methods_for")("frame", m.attr("__name__"), name));
}

nb::object ProtectedColumns(nb::handle df, nb::handle protected_) {
  static PyObject* slot;
  nb::handle fn = KeepOnce(&slot, [] { return nb::steal(FramesFn("protected_names")); });
  return fn(df, protected_);
}

nb::handle FramesFn(const char* name) {
  return ImportAttr("lumarq.utilities._frames", name).release();
}

void AddFrameItemAccess(nb::dict& ns, PyObject** frame, PyObject** series, const char* getitem,
                        const char* setitem) {
  Method(
      ns, "__getitem__",
      [frame, series, fn = FramesFn(getitem)](nb::handle self, nb::handle key) {
        return fn(nb::handle(*frame), nb::handle(*series), self, key);
      },
      nb::arg("key").none());
  Method(
      ns, "__setitem__",
      [frame, series, fn = FramesFn(setitem)](nb::handle self, nb::handle key, nb::handle value) {
        fn(nb::handle(*frame), nb::handle(*series), self, key, value);
      },
      nb::arg("key").none(), nb::arg("value").none());
}

namespace {

bool HashRange(nb::handle index, uint32_t mask, std::span<uint32_t> out) {
  int64_t start, stop, step;
  // Labels beyond int64 (a bound beyond it) are hashed one by one.
  if (!ExactInt64(GetAttr(index, "start"), &start) || !ExactInt64(GetAttr(index, "stop"), &stop) ||
      !ExactInt64(GetAttr(index, "step"), &step)) {
    return false;
  }
  HashRangeLabels(start, step, mask, out);
  return true;
}

template <typename T>
bool HashIntArray(nb::handle values, uint32_t mask, std::span<uint32_t> out) {
  ArrayView<T> view;
  if (!TryArrayView(values, &view) || view.size != out.size()) return false;
  HashIntegerLabels(view.data, view.stride, mask, out);
  return true;
}

/// HashIntArray for the first of the element types that `values` holds exactly.
template <typename... T>
bool HashIntArrayOf(nb::handle values, uint32_t mask, std::span<uint32_t> out) {
  return (HashIntArray<T>(values, mask, out) || ...);
}

bool HashIntegers(nb::handle index, uint32_t mask, std::span<uint32_t> out) {
  nb::object dtype = GetAttr(index, "dtype");
  nb::object kind;
  if (!TryGetAttr(dtype, "kind", &kind) || !PyUnicode_Check(kind.ptr())) return false;
  if (!nb::str("i").equal(kind) && !nb::str("u").equal(kind)) return false;
  // Integer labels (nullable ones without missing values included) come out of to_numpy as
  // an integer array whose elements hash like the labels.
  nb::object values = CallMethod(index, Interned("to_numpy"));
  return HashIntArrayOf<int64_t, uint64_t, int32_t, uint32_t, int16_t, uint16_t, int8_t, uint8_t>(
      values, mask, out);
}

}  // namespace

bool EntityHashes::Native() const {
  return NativeMethod(tracker_, "entity_from_row");
}

nb::object EntityHashes::Next() {
  if (!Native()) {
    static PyObject* slot;
    nb::handle by_tracker = KeepOnce(&slot, [] { return nb::steal(FramesFn("entity_hashes")); });
    return by_tracker(tracker_, df_, n_, bits_);
  }
  if (!cached_.is_valid()) cached_ = NativeHashes();
  return cached_;
}

nb::object EntityModulus(nb::handle bits) {
  return Steal(PyNumber_Lshift(nb::int_(1).ptr(), bits.ptr()));
}

nb::object EntityHashes::ByTracker(size_t i) {
  static PyObject* slot;
  nb::handle fn = KeepOnce(&slot, [] { return nb::steal(FramesFn("entity_of_row")); });
  return fn(tracker_, df_, i, bits_);
}

nb::object EntityHashes::NativeHashes() {
  uint32_t* out = nullptr;
  nb::object arr = NewU32Array(n_, &out);
  if (n_ == 0) return arr;
  EntityModulus(bits_);  // raises for a negative width, as the shift would
  const long long bits = PyLong_AsLongLong(bits_.ptr());
  if (bits == -1 && PyErr_Occurred()) throw nb::python_error();
  const uint32_t mask = EntityMask(bits);
  std::span<uint32_t> dst(out, n_);
  nb::object index = GetAttr(df_, "index");
  // A range index beyond int64 still has dtype int64, and its to_numpy wraps around: its labels
  // are hashed one by one below.
  const bool range = IsInstance(index, Refs().pd_range_index);
  if (range ? HashRange(index, mask, dst) : HashIntegers(index, mask, dst)) return arr;
  // Any other labels: the interpreter's hash of each label as indexing yields it.
  nb::object labels = CallMethod(index, Interned("tolist"));
  if (Len(labels) != n_) throw nb::value_error("row labels and rows differ in number");
  size_t i = 0;
  for (nb::handle label : labels) out[i++] = HashEntity(label) & mask;
  return arr;
}

}  // namespace lumarq::py
