#include "common.h"

#include "lumarq/huge_pages.h"
#include "lumarq/json_text.h"
#include "lumarq/word.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace lumarq::py {

void RaiseArgType(const char* name, const char* expected, nb::handle got) {
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
               name, expected, Py_TYPE(got.ptr())->tp_name);
  throw nb::python_error();
}

/// True when int(value) is defined for `value`: an int, or a type with __int__ or __index__.
static bool IsIntLike(nb::handle value) {
  PyObject* o = value.ptr();
  if (PyLong_Check(o)) return true;
  PyNumberMethods* nm = Py_TYPE(o)->tp_as_number;
  return nm != nullptr && (nm->nb_int != nullptr || nm->nb_index != nullptr);
}

nb::object AsInt(nb::handle value, const char* name) {
  PyObject* o = value.ptr();
  if (PyLong_CheckExact(o)) return nb::borrow(value);
  if (!IsIntLike(value)) RaiseArgType(name, "int", value);
  return Steal(PyNumber_Long(o));
}

/// An int (a subclass included) as it is, anything else through AsInt.
static nb::object IntOf(nb::handle value, const char* name) {
  return PyLong_Check(value.ptr()) ? nb::borrow(value) : AsInt(value, name);
}

uint64_t AsUInt64Bits(nb::handle value, const char* name) {
  nb::object i = IntOf(value, name);
  const unsigned long long bits = PyLong_AsUnsignedLongLongMask(i.ptr());
  if (bits == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw nb::python_error();
  return bits;
}

int64_t AsInt64(nb::handle value, const char* name) {
  nb::object i = IntOf(value, name);
  const long long v = PyLong_AsLongLong(i.ptr());
  if (v == -1 && PyErr_Occurred()) throw nb::python_error();
  return v;
}

uint32_t AsDepth(nb::handle depth) {
  nb::object d = AsInt(depth, "depth");
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(d.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw nb::python_error();
  if (overflow < 0 || (overflow == 0 && v < 0)) throw nb::value_error("depth must be non-negative");
  if (overflow > 0 || v > static_cast<long long>(kMaxDepth)) return kMaxDepth;
  return static_cast<uint32_t>(v);
}

uint32_t AsPairId(nb::handle value, const char* name) {
  const int64_t id = AsInt64(value, name);
  if (id < 0 || id >= kMaxPairs) {
    throw nb::value_error(("pair id out of range (0-511): " + std::to_string(id)).c_str());
  }
  return static_cast<uint32_t>(id);
}

namespace {

/// `value` as the built-in type T when `exact` holds, else the argument TypeError.
template <class T>
T Exactly(nb::handle value, bool exact, const char* name, const char* type) {
  if (!exact) RaiseArgType(name, type, value);
  return nb::borrow<T>(value);
}

}  // namespace

nb::str AsStr(nb::handle value, const char* name) {
  return Exactly<nb::str>(value, PyUnicode_CheckExact(value.ptr()), name, "str");
}
nb::list AsList(nb::handle value, const char* name) {
  return Exactly<nb::list>(value, PyList_CheckExact(value.ptr()), name, "list");
}
nb::dict AsDict(nb::handle value, const char* name) {
  return Exactly<nb::dict>(value, PyDict_CheckExact(value.ptr()), name, "dict");
}
nb::set AsSet(nb::handle value, const char* name) {
  return Exactly<nb::set>(value, PySet_CheckExact(value.ptr()), name, "set");
}

std::string_view Utf8(const nb::str& s) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
  if (data == nullptr) throw nb::python_error();
  return {data, static_cast<size_t>(size)};
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
  return Steal(PyNumber_Long(value.ptr()));
}

U32View::U32View(nb::handle value, const char* name) {
  U32Array arr;
  if (nb::try_cast(value, arr, /*convert=*/false)) {
    keep_ = nb::borrow(value);
  } else {
    // Leaked on purpose: module-lifetime references must not be released after finalisation.
    static PyObject *ascontig_slot, *u32_slot;
    nb::handle ascontig = KeepOnce(&ascontig_slot, [] { return ImportAttr("numpy", "ascontiguousarray"); });
    nb::handle u32 = KeepOnce(&u32_slot, [] { return ImportAttr("numpy", "uint32"); });
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

// Small arrays come from numpy itself, which keeps a cache of small buffers.
template <typename T>
nb::object NewArray(size_t n, const char* dtype, T** data) {
  if (n * sizeof(T) >= kHugePage) {
    if (void* mem = AcquireHugeBuffer(n * sizeof(T))) {
      nb::capsule owner(mem, &ReleaseHugeBuffer);
      *data = static_cast<T*>(mem);
      nb::ndarray<nb::numpy, T, nb::ndim<1>> arr(mem, {n}, owner);
      return nb::cast(arr);
    }
  }
  static PyObject* empty_slot;
  nb::handle empty = KeepOnce(&empty_slot, [] { return ImportAttr("numpy", "empty"); });
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

nb::object GetAttr(nb::handle obj, const char* name) {
  PyObject* r = PyObject_GetAttr(obj.ptr(), Interned(name).ptr());
  if (!r) throw nb::python_error();
  return nb::steal(r);
}

bool TryGetAttr(nb::handle obj, const char* name, nb::object* out) {
  PyObject* r = PyObject_GetAttr(obj.ptr(), Interned(name).ptr());
  if (r) {
    *out = nb::steal(r);
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
  PyErr_Clear();
  return false;
}

bool IsInstance(nb::handle obj, nb::handle cls) {
  const int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
  if (r < 0) throw nb::python_error();
  return r != 0;
}

nb::object GetItem(nb::handle obj, nb::handle key) {
  PyObject* r = PyObject_GetItem(obj.ptr(), key.ptr());
  if (!r) throw nb::python_error();
  return nb::steal(r);
}

void SetItem(nb::handle obj, nb::handle key, nb::handle value) {
  if (PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr()) < 0) throw nb::python_error();
}

bool Contains(nb::handle container, nb::handle key) {
  const int r = PySequence_Contains(container.ptr(), key.ptr());
  if (r < 0) throw nb::python_error();
  return r != 0;
}


namespace {

/// The keyword names of a vectorcall (interned), their values appended to `argv`; null without
/// keywords.
nb::object KwNames(std::span<const KwArg> kwargs, std::vector<PyObject*>* argv) {
  if (kwargs.empty()) return {};
  nb::object names = Steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
  Py_ssize_t i = 0;
  for (const KwArg& kw : kwargs) {
    PyTuple_SET_ITEM(names.ptr(), i++, Interned(kw.first).inc_ref().ptr());
    argv->push_back(kw.second.ptr());
  }
  return names;
}

}  // namespace

nb::object CallKw(nb::handle fn, std::initializer_list<nb::handle> args,
                  std::span<const KwArg> kwargs) {
  std::vector<PyObject*> argv;
  argv.reserve(1 + args.size() + kwargs.size());
  argv.push_back(nullptr);  // slot for PY_VECTORCALL_ARGUMENTS_OFFSET
  for (nb::handle a : args) argv.push_back(a.ptr());
  nb::object names = KwNames(kwargs, &argv);
  return Steal(PyObject_Vectorcall(fn.ptr(), argv.data() + 1,
                                   args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, names.ptr()));
}

nb::object Steal(PyObject* o) {
  if (o == nullptr) throw nb::python_error();
  return nb::steal(o);
}

nb::object GetAttrOr(nb::handle obj, const char* name, nb::handle fallback) {
  nb::object v;
  return TryGetAttr(obj, name, &v) ? v : nb::borrow(fallback);
}

Py_ssize_t Size(nb::handle obj) {
  const Py_ssize_t n = PyObject_Size(obj.ptr());
  if (n < 0) throw nb::python_error();
  return n;
}

nb::object MapGet(nb::handle map, nb::handle key) {
  if (!PyDict_CheckExact(map.ptr())) return CallMethodKw(map, "get", {key});
  PyObject* v = PyDict_GetItemWithError(map.ptr(), key.ptr());
  if (!v && PyErr_Occurred()) throw nb::python_error();
  return v != nullptr ? nb::borrow(v) : nb::none();
}

void SetAdd(nb::handle set, nb::handle key) {
  if (PySet_Check(set.ptr())) {
    if (PySet_Add(set.ptr(), key.ptr()) < 0) throw nb::python_error();
  } else {
    CallMethodKw(set, "add", {key});
  }
}

void Append(nb::handle list, nb::handle value) {
  if (PyList_CheckExact(list.ptr())) {
    if (PyList_Append(list.ptr(), value.ptr()) < 0) throw nb::python_error();
  } else {
    CallMethodKw(list, "append", {value});
  }
}

bool ExactInt64(nb::handle v, int64_t* out) {
  if (!PyLong_CheckExact(v.ptr())) return false;
  int overflow = 0;
  const long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
  if (overflow != 0 || (x == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return false;
  }
  *out = x;
  return true;
}

nb::object CallMethodKw(nb::handle obj, const char* name, std::initializer_list<nb::handle> args,
                        std::initializer_list<KwArg> kwargs) {
  std::vector<PyObject*> argv;
  argv.reserve(1 + args.size() + kwargs.size());
  argv.push_back(obj.ptr());
  for (nb::handle a : args) argv.push_back(a.ptr());
  nb::object names = KwNames({kwargs.begin(), kwargs.size()}, &argv);
  return Steal(PyObject_VectorcallMethod(Interned(name).ptr(), argv.data(),
                                         (1 + args.size()) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         names.ptr()));
}

bool UsesNative(nb::handle self, nb::handle name, PyTypeObject* native_type) {
  PyObject* obj = self.ptr();
  PyTypeObject* type = Py_TYPE(obj);
  // An instance attribute (for example a test double set on the object) shadows the method.
  if (type->tp_dictoffset != 0) {
    PyObject** slot = _PyObject_GetDictPtr(obj);
    PyObject* dict = slot != nullptr ? *slot : nullptr;
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
  nb::object digits = Steal(PyObject_Format(value.ptr(), Interned("08X").ptr()));
  return nb::steal<nb::str>(Steal(PyUnicode_FromFormat("0x%U", digits.ptr())).release());
}

nb::str HexText(uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", value);
  return nb::str(buf);
}

nb::object ImportAttr(const char* module, const char* name) {
  return nb::module_::import_(module).attr(name);
}

namespace {

/// json.dumps(value, indent=width) written natively, for data made only of exact dicts, lists,
/// tuples, strs, ints, floats, bools and None; the layout is the core writer's. Anything else
/// (other types, subclasses, cycles, deep nesting) makes Encode return false.
class IndentedJson {
 public:
  explicit IndentedJson(size_t width) : out_(width) {}

  bool Encode(PyObject* o) { return Value(o); }
  const std::string& text() const { return out_.text(); }

 private:
  bool Value(PyObject* o) {
    if (PyUnicode_CheckExact(o)) return Str(o);
    if (o == Py_None) return Append("null");
    if (o == Py_True) return Append("true");
    if (o == Py_False) return Append("false");
    if (PyLong_CheckExact(o)) return Int(o);
    if (PyFloat_CheckExact(o)) return Float(PyFloat_AS_DOUBLE(o));
    const bool list = PyList_CheckExact(o), tuple = PyTuple_CheckExact(o);
    if (!list && !tuple && !PyDict_CheckExact(o)) return false;
    const Py_ssize_t size = list ? PyList_GET_SIZE(o) : tuple ? PyTuple_GET_SIZE(o) : PyDict_GET_SIZE(o);
    if (size == 0) return Append(list || tuple ? "[]" : "{}");
    // Too deep, or a cycle: the standard library reports it.
    if (!out_.Open(o, list || tuple)) return false;
    // Nothing below runs Python code, so the container cannot change while it is read.
    if (list || tuple) {
      for (Py_ssize_t i = 0; i < size; ++i) {
        out_.Item(static_cast<size_t>(i));
        if (!Value(list ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i))) return false;
      }
    } else {
      PyObject *key, *value;
      Py_ssize_t pos = 0;
      size_t i = 0;
      while (PyDict_Next(o, &pos, &key, &value)) {
        out_.Item(i++);
        if (!Key(key)) return false;
        out_.Append(": ");
        if (!Value(value)) return false;
      }
    }
    out_.Close();
    return true;
  }

  /// Keys become strings as the standard library makes them; other key types are refused there.
  bool Key(PyObject* k) {
    if (PyUnicode_CheckExact(k)) return Str(k);
    out_.Append("\"");
    bool ok = false;
    if (PyFloat_CheckExact(k)) ok = Float(PyFloat_AS_DOUBLE(k));
    else if (k == Py_True) ok = Append("true");
    else if (k == Py_False) ok = Append("false");
    else if (k == Py_None) ok = Append("null");
    else if (PyLong_CheckExact(k)) ok = Int(k);
    out_.Append("\"");
    return ok;
  }

  bool Str(PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) < 0) {
      PyErr_Clear();
      return false;
    }
#endif
    const auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
    const void* data = PyUnicode_DATA(s);
    switch (PyUnicode_KIND(s)) {
      case PyUnicode_1BYTE_KIND: out_.String(static_cast<const Py_UCS1*>(data), n); break;
      case PyUnicode_2BYTE_KIND: out_.String(static_cast<const Py_UCS2*>(data), n); break;
      default: out_.String(static_cast<const Py_UCS4*>(data), n); break;
    }
    return true;
  }

  bool Int(PyObject* o) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0) {
      out_.Int(v);
      return true;
    }
    PyObject* text = PyObject_Repr(o);  // past the digit limit this fails as json.dumps does
    if (text == nullptr) {
      PyErr_Clear();
      return false;
    }
    nb::object hold = nb::steal(text);
    Py_ssize_t size = 0;
    const char* digits = PyUnicode_AsUTF8AndSize(text, &size);
    if (digits == nullptr) {
      PyErr_Clear();
      return false;
    }
    out_.Append(std::string_view(digits, static_cast<size_t>(size)));
    return true;
  }

  /// float.__repr__, and the standard library's spellings of NaN and the infinities.
  bool Float(double v) {
    if (out_.NonFinite(v)) return true;
    char* text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr) {
      PyErr_Clear();
      return false;
    }
    out_.Append(text);
    PyMem_Free(text);
    return true;
  }

  bool Append(const char* text) {
    out_.Append(text);
    return true;
  }

  IndentedJsonWriter out_;
};

}  // namespace

nb::object IndentedJsonText(nb::handle value, nb::handle indent) {
  int overflow = 0;
  const long long w = PyLong_AsLongLongAndOverflow(indent.ptr(), &overflow);
  if (w == -1 && PyErr_Occurred()) throw nb::python_error();
  // Widths the standard library would spell out as ' ' * width (none below zero).
  if (overflow != 0 || w > 4096) return nb::none();
  IndentedJson json(static_cast<size_t>(std::max<long long>(w, 0)));
  if (!json.Encode(value.ptr())) return nb::none();
  const std::string& text = json.text();
  return Steal(PyUnicode_DecodeASCII(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

}  // namespace lumarq::py
