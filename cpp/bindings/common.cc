#include "common.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>

namespace lumarq::py {

void RaiseArgType(const char* name, const char* expected, nb::handle got) {
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
               name, expected, Py_TYPE(got.ptr())->tp_name);
  throw nb::python_error();
}

namespace {

bool HasNumberProtocol(PyObject* o) {
  PyNumberMethods* nm = Py_TYPE(o)->tp_as_number;
  return nm != nullptr && (nm->nb_int != nullptr || nm->nb_index != nullptr);
}

}  // namespace

nb::object AsInt(nb::handle value, const char* name) {
  PyObject* o = value.ptr();
  if (PyLong_CheckExact(o)) return nb::borrow(value);
  if (!PyLong_Check(o) && !HasNumberProtocol(o)) RaiseArgType(name, "int", value);
  PyObject* r = PyNumber_Long(o);
  if (!r) throw nb::python_error();
  return nb::steal(r);
}

uint64_t AsUInt64Bits(nb::handle value, const char* name) {
  PyObject* o = value.ptr();
  if (PyLong_Check(o)) {
    const unsigned long long bits = PyLong_AsUnsignedLongLongMask(o);
    if (bits == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw nb::python_error();
    return bits;
  }
  nb::object i = AsInt(value, name);
  const unsigned long long bits = PyLong_AsUnsignedLongLongMask(i.ptr());
  if (bits == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw nb::python_error();
  return bits;
}

int64_t AsInt64(nb::handle value, const char* name) {
  PyObject* o = value.ptr();
  long long v;
  if (PyLong_Check(o)) {
    v = PyLong_AsLongLong(o);
  } else {
    nb::object i = AsInt(value, name);
    v = PyLong_AsLongLong(i.ptr());
  }
  if (v == -1 && PyErr_Occurred()) throw nb::python_error();
  return v;
}

nb::str AsStr(nb::handle value, const char* name) {
  if (!PyUnicode_CheckExact(value.ptr())) RaiseArgType(name, "str", value);
  return nb::borrow<nb::str>(value);
}

nb::list AsList(nb::handle value, const char* name) {
  if (!PyList_CheckExact(value.ptr())) RaiseArgType(name, "list", value);
  return nb::borrow<nb::list>(value);
}

nb::dict AsDict(nb::handle value, const char* name) {
  if (!PyDict_CheckExact(value.ptr())) RaiseArgType(name, "dict", value);
  return nb::borrow<nb::dict>(value);
}

nb::set AsSet(nb::handle value, const char* name) {
  if (!PySet_CheckExact(value.ptr())) RaiseArgType(name, "set", value);
  return nb::borrow<nb::set>(value);
}

nb::object AsOptStr(nb::handle value, const char* name) {
  if (value.is_none()) return nb::none();
  return AsStr(value, name);
}

nb::object AsOptDict(nb::handle value, const char* name) {
  if (value.is_none()) return nb::none();
  return AsDict(value, name);
}

nb::object AsOptInt(nb::handle value, const char* name) {
  if (value.is_none()) return nb::none();
  return AsInt(value, name);
}

bool AsBool(nb::handle value) {
  const int truth = PyObject_IsTrue(value.ptr());
  if (truth < 0) throw nb::python_error();
  return truth != 0;
}

nb::object IntResult(nb::handle value) {
  if (value.is_none() || PyLong_CheckExact(value.ptr())) return nb::borrow(value);
  PyObject* r = PyNumber_Long(value.ptr());
  if (!r) throw nb::python_error();
  return nb::steal(r);
}

U32View::U32View(nb::handle value, const char* name) {
  U32Array arr;
  if (nb::try_cast(value, arr, /*convert=*/false)) {
    keep_ = nb::borrow(value);
  } else {
    // Leaked on purpose: module-lifetime references must not be released after finalisation.
    static nb::handle ascontig = ImportAttr("numpy", "ascontiguousarray").release();
    static nb::handle u32 = ImportAttr("numpy", "uint32").release();
    try {
      keep_ = ascontig(value, nb::arg("dtype") = u32);
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
      RaiseArgType(name, "numpy.ndarray", value);
    }
    if (!nb::try_cast(keep_, arr, false) ) {
      // Scalars and nested sequences end up here.
      RaiseArgType(name, "1-d numpy.ndarray", value);
    }
  }
  data_ = arr.data();
  size_ = arr.shape(0);
}

namespace {

// Allocated by numpy itself: it keeps a cache of small buffers and asks for huge pages on large
// ones, which matters for page-fault-bound kernels that write every element once.
template <typename T>
nb::object NewArray(size_t n, const char* dtype, T** data) {
  static nb::handle empty = ImportAttr("numpy", "empty").release();
  nb::object arr = empty(n, nb::arg("dtype") = dtype);
  nb::ndarray<T, nb::ndim<1>, nb::c_contig, nb::device::cpu> view;
  if (!nb::try_cast(arr, view, false)) throw nb::type_error("numpy.empty returned an unexpected array");
  *data = view.data();
  return arr;
}

}  // namespace

nb::object NewU32Array(size_t n, uint32_t** data) { return NewArray(n, "uint32", data); }
nb::object NewI64Array(size_t n, int64_t** data) { return NewArray(n, "int64", data); }
nb::object NewF64Array(size_t n, double** data) { return NewArray(n, "float64", data); }
nb::object NewBoolArray(size_t n, uint8_t** data) {
  bool* buf = nullptr;
  nb::object arr = NewArray<bool>(n, "bool", &buf);
  *data = reinterpret_cast<uint8_t*>(buf);
  return arr;
}

bool UsesNative(nb::handle self, nb::handle name, PyTypeObject* native_type) {
  PyObject* obj = self.ptr();
  PyTypeObject* type = Py_TYPE(obj);
  // An instance attribute (for example a test double set on the object) shadows the method.
  if (type->tp_dictoffset > 0) {
    PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + type->tp_dictoffset);
    if (dict != nullptr && PyDict_GET_SIZE(dict) != 0) {
      PyObject* hit = PyDict_GetItemWithError(dict, name.ptr());
      if (hit != nullptr) return false;
      if (PyErr_Occurred()) throw nb::python_error();
    }
  }
  if (type == native_type) return true;
  return _PyType_Lookup(type, name.ptr()) == _PyType_Lookup(native_type, name.ptr());
}

nb::handle Interned(const char* text) {
  // Keyed by pointer: callers pass string literals.
  static std::unordered_map<const char*, PyObject*> cache;
  auto it = cache.find(text);
  if (it != cache.end()) return it->second;
  PyObject* s = PyUnicode_InternFromString(text);
  if (!s) throw nb::python_error();
  cache.emplace(text, s);  // immortal for the process lifetime
  return s;
}

nb::str HexText(nb::handle value) {
  PyObject* spec = Interned("08X").ptr();
  PyObject* digits = PyObject_Format(value.ptr(), spec);
  if (!digits) throw nb::python_error();
  PyObject* r = PyUnicode_FromFormat("0x%U", digits);
  Py_DECREF(digits);
  if (!r) throw nb::python_error();
  return nb::steal<nb::str>(r);
}

nb::str HexText(uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", value);
  return nb::str(buf);
}

nb::object ImportAttr(const char* module, const char* name) {
  return nb::module_::import_(module).attr(name);
}

}  // namespace lumarq::py
