#include "containers_support.h"

#include <cstring>
#include <type_traits>
#include <vector>

#include "lumarq/hash.h"
#include "tracker.h"

namespace lumarq::py {

void SetPlainAttr(nb::handle obj, const char* name, nb::handle value) {
  if (PyObject_GenericSetAttr(obj.ptr(), Interned(name).ptr(), value.ptr()) < 0) {
    throw nb::python_error();
  }
}


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

nb::object FinalizeWithOwnDicts(nb::handle cls, nb::handle self, nb::handle other,
                                nb::handle method, nb::handle kwargs,
                                std::initializer_list<const char*> dicts) {
  nb::object result = CallSuper(cls, self, "__finalize__", nb::make_tuple(other, method), kwargs);
  if (!IsInstance(other, Refs().pd_frame)) return result;
  for (const char* name : dicts) {
    nb::object mine, theirs;
    if (TryGetAttr(self, name, &mine) && PyDict_Check(mine.ptr()) &&
        TryGetAttr(other, name, &theirs) && mine.ptr() == theirs.ptr()) {
      SetPlainAttr(self, name, Steal(PyDict_Copy(mine.ptr())));
    }
  }
  return result;
}

ContainerOpCodes ReadOpCodes(nb::handle module) {
  nb::object opcode = module.attr("OpCode");
  auto code = [&](const char* name) { return nb::cast<int>(opcode.attr(name)); };
  return {code("ADD"),  code("SUB"),  code("MUL"), code("DIV"), code("NEG"),
          code("CLIP"), code("FILL"), code("MAP"), code("CMP"), code("MERGE")};
}

void MakeReflectedUfuncs(PyObject* out[4]) {
  const PyRefs& r = Refs();
  const nb::handle ufuncs[4] = {r.np_add, r.np_subtract, r.np_multiply, r.np_true_divide};
  for (int i = 0; i < 4; ++i) {
    nb::handle ufunc = ufuncs[i];
    out[i] = nb::cpp_function([ufunc](nb::handle a, nb::handle b) { return ufunc(b, a); },
                              nb::name("reflected"))
                 .release()
                 .ptr();
  }
}

nb::object CallSuper(nb::handle cls, nb::handle self, const char* name, nb::handle args,
                     nb::handle kwargs) {
  PyObject* sup = PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type),
                                               cls.ptr(), self.ptr(), nullptr);
  if (!sup) throw nb::python_error();
  nb::object method = GetAttr(nb::steal(sup), name);
  nb::object empty;
  if (!args.is_valid()) {
    empty = nb::steal(PyTuple_New(0));
    args = empty;
  }
  PyObject* r = PyObject_Call(method.ptr(), args.ptr(), kwargs.is_valid() ? kwargs.ptr() : nullptr);
  if (!r) throw nb::python_error();
  return nb::steal(r);
}

const PyRefs& Refs() {
  // Leaked on purpose: module-lifetime references must not be released after finalisation.
  static const PyRefs refs = [] {
    PyRefs r;
    nb::module_ np = nb::module_::import_("numpy");
    nb::module_ pd = nb::module_::import_("pandas");
    nb::module_ op = nb::module_::import_("operator");
    nb::module_ builtins = nb::module_::import_("builtins");
    auto keep = [](nb::object o) { return o.release(); };
    r.np_zeros = keep(np.attr("zeros"));
    r.np_asarray = keep(np.attr("asarray"));
    r.np_array = keep(np.attr("array"));
    r.np_broadcast_to = keep(np.attr("broadcast_to"));
    r.np_full = keep(np.attr("full"));
    r.np_any = keep(np.attr("any"));
    r.np_max = keep(np.attr("max"));
    r.np_min = keep(np.attr("min"));
    r.np_clip = keep(np.attr("clip"));
    r.np_add = keep(np.attr("add"));
    r.np_subtract = keep(np.attr("subtract"));
    r.np_multiply = keep(np.attr("multiply"));
    r.np_true_divide = keep(np.attr("true_divide"));
    r.np_floor_divide = keep(np.attr("floor_divide"));
    r.np_power = keep(np.attr("power"));
    r.ndarray_type = keep(np.attr("ndarray"));
    r.np_uint32 = keep(np.attr("uint32"));
    r.u32_dtype = keep(np.attr("dtype")("uint32"));
    r.pd_series = keep(pd.attr("Series"));
    r.pd_frame = keep(pd.attr("DataFrame"));
    r.pd_range_index = keep(pd.attr("RangeIndex"));
    r.op_gt = keep(op.attr("gt"));
    r.op_lt = keep(op.attr("lt"));
    r.op_ge = keep(op.attr("ge"));
    r.op_le = keep(op.attr("le"));
    r.op_neg = keep(op.attr("neg"));
    r.property = keep(builtins.attr("property"));
    r.round = keep(builtins.attr("round"));
    r.itemgetter = keep(op.attr("itemgetter"));
    return r;
  }();
  return refs;
}

nb::object AsU32Array(nb::handle value) {
  const PyRefs& r = Refs();
  if (Py_TYPE(value.ptr()) == reinterpret_cast<PyTypeObject*>(r.ndarray_type.ptr())) {
    nb::object dtype = GetAttr(value, "dtype");
    if (dtype.ptr() == r.u32_dtype.ptr()) return nb::borrow(value);
  }
  return CallKw(r.np_asarray, {value}, {{"dtype", r.np_uint32}});
}

nb::object ZerosU32(size_t n) {
  const PyRefs& r = Refs();
  return CallKw(r.np_zeros, {nb::int_(n)}, {{"dtype", r.np_uint32}});
}

// ---------------------------------------------------------------- classes built with type()

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

nb::object CopyOf(nb::handle arr) { return CallMethod(arr, Interned("copy")); }

nb::object ClassProperty(PyObject** cls) {
  nb::object fget = nb::cpp_function([cls](nb::handle) { return nb::borrow(*cls); });
  return Refs().property(fget);
}

nb::object MakeClass(nb::module_& m, const char* name, nb::handle base, nb::dict& ns,
                     const char* doc) {
  ns["__module__"] = m.attr("__name__");
  ns["__qualname__"] = name;
  ns["__doc__"] = doc;
  nb::object type = nb::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
  return type(name, nb::make_tuple(base), ns);
}

// ---------------------------------------------------------------- wrapping frames

bool IsNameCollection(nb::handle protected_) {
  PyObject* o = protected_.ptr();
  if (PyList_Check(o) || PyTuple_Check(o) || PyAnySet_Check(o)) return true;
  if (PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o)) return false;
  if (Py_TYPE(o)->tp_iter == nullptr && !PySequence_Check(o)) return false;
  nb::object ndim;
  if (TryGetAttr(protected_, "ndim", &ndim) && PyLong_Check(ndim.ptr()) &&
      PyLong_AsLong(ndim.ptr()) == 0) {
    return false;
  }
  return true;
}

namespace {

bool HashRange(nb::handle index, uint32_t mask, std::span<uint32_t> out) {
  if (!IsInstance(index, Refs().pd_range_index)) return false;
  int overflow = 0;
  long long v[3];
  const char* names[3] = {"start", "stop", "step"};
  for (int i = 0; i < 3; ++i) {
    v[i] = PyLong_AsLongLongAndOverflow(GetAttr(index, names[i]).ptr(), &overflow);
    if (v[i] == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    if (overflow != 0) return false;  // labels beyond int64: hash them one by one
  }
  HashRangeLabels(v[0], v[2], mask, out);
  return true;
}

template <typename T>
bool HashIntArray(nb::handle values, uint32_t mask, std::span<uint32_t> out) {
  ArrayView<T> view;
  if (!TryArrayView(values, &view) || view.size != out.size()) return false;
  for (size_t i = 0; i < view.size; ++i) {
    const T v = view[i];
    const int64_t h = std::is_signed_v<T> ? PythonIntHash(static_cast<int64_t>(v))
                                          : PythonUIntHash(static_cast<uint64_t>(v));
    out[i] = EntityFromHash(h) & mask;
  }
  return true;
}

bool HashIntegers(nb::handle index, uint32_t mask, std::span<uint32_t> out) {
  nb::object dtype = GetAttr(index, "dtype");
  nb::object kind;
  if (!TryGetAttr(dtype, "kind", &kind) || !PyUnicode_Check(kind.ptr())) return false;
  const char* k = PyUnicode_AsUTF8(kind.ptr());
  if (k == nullptr) throw nb::python_error();
  if (std::strcmp(k, "i") != 0 && std::strcmp(k, "u") != 0) return false;
  // Integer labels (nullable ones without missing values included) come out of to_numpy as
  // an integer array whose elements hash like the labels.
  nb::object values = CallMethod(index, Interned("to_numpy"));
  return HashIntArray<int64_t>(values, mask, out) || HashIntArray<uint64_t>(values, mask, out) ||
         HashIntArray<int32_t>(values, mask, out) || HashIntArray<uint32_t>(values, mask, out) ||
         HashIntArray<int16_t>(values, mask, out) || HashIntArray<uint16_t>(values, mask, out) ||
         HashIntArray<int8_t>(values, mask, out) || HashIntArray<uint8_t>(values, mask, out);
}

}  // namespace

bool EntityHashes::Native() const {
  return UsesNative(tracker_, Interned("entity_from_row"), TrackerType());
}

nb::object EntityHashes::Next() {
  if (!Native()) return ByOverride();
  if (!cached_.is_valid()) cached_ = NativeHashes();
  return cached_;
}

nb::object EntityHashes::Modulus() const {
  PyObject* mod = PyNumber_Lshift(nb::int_(1).ptr(), bits_.ptr());
  if (!mod) throw nb::python_error();
  return nb::steal(mod);
}

const nb::object& EntityHashes::Labels() {
  if (!labels_.is_valid()) {
    nb::object index = GetAttr(df_, "index");
    nb::list labels;
    for (size_t i = 0; i < n_; ++i) labels.append(GetItem(index, nb::int_(i)));
    labels_ = labels;
  }
  return labels_;
}

nb::handle EntityHashes::Label(size_t i) {
  return PyList_GET_ITEM(Labels().ptr(), static_cast<Py_ssize_t>(i));
}

nb::object EntityHashes::ByTracker(nb::handle label) {
  if (!modulus_.is_valid()) modulus_ = Modulus();
  nb::object h = CallEntityFromRow(tracker_, label);
  PyObject* rem = PyNumber_Remainder(h.ptr(), modulus_.ptr());
  if (!rem) throw nb::python_error();
  return nb::steal(rem);
}

nb::object EntityHashes::ByOverride() {
  nb::list hashes;
  if (n_ != 0) {
    for (nb::handle label : Labels()) hashes.append(ByTracker(label));
  }
  const PyRefs& r = Refs();
  return CallKw(r.np_array, {hashes}, {{"dtype", r.np_uint32}});
}

nb::object EntityHashes::NativeHashes() {
  uint32_t* out = nullptr;
  nb::object arr = NewU32Array(n_, &out);
  if (n_ == 0) return arr;
  nb::object mod = Modulus();  // raises for a negative width, as the shift would
  const long long bits = PyLong_AsLongLong(bits_.ptr());
  if (bits == -1 && PyErr_Occurred()) throw nb::python_error();
  // Hashes are below 2**32, so a modulus of 2**32 or more leaves them unchanged.
  const uint32_t mask = bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1u;
  std::span<uint32_t> dst(out, n_);
  nb::object index = GetAttr(df_, "index");
  if (HashRange(index, mask, dst) || HashIntegers(index, mask, dst)) return arr;
  // Any other labels: the interpreter's hash of each label as indexing yields it.
  nb::object labels = CallMethod(index, Interned("tolist"));
  if (Len(labels) != n_) throw nb::value_error("row labels and rows differ in number");
  size_t i = 0;
  for (nb::handle label : labels) out[i++] = HashEntity(label) & mask;
  return arr;
}

}  // namespace lumarq::py
