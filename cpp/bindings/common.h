// Shared binding layer: argument conversion rules, their error texts, array helpers and the
// fast-path dispatch test used by every extension module of the package.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <initializer_list>
#include <span>
#include <utility>

namespace nb = nanobind;

namespace lumarq::py {

// ---------------------------------------------------------------- argument conversion
// A refused argument raises TypeError "Argument '<name>' has incorrect type (expected <type>,
// got <type of value>)". Names and types are cut to 200 characters.

[[noreturn]] void RaiseArgType(const char* name, const char* expected, nb::handle got);

/// `int` parameter: any object with the number protocol, converted as by int().
nb::object AsInt(nb::handle value, const char* name);
/// As AsInt, then the low 64 bits in two's complement (arbitrarily large ints never overflow).
uint64_t AsUInt64Bits(nb::handle value, const char* name);
/// A provenance word: the low 32 bits of int(value); higher bits are ignored by every reader.
inline uint32_t AsWord(nb::handle value, const char* name) {
  return static_cast<uint32_t>(AsUInt64Bits(value, name));
}
/// An operation code argument as the codec takes it: the low 32 bits of int(op).
inline uint32_t AsOpCode(nb::handle op) { return static_cast<uint32_t>(AsUInt64Bits(op, "op")); }
/// As AsInt, then a C++ int64 (OverflowError beyond its range).
int64_t AsInt64(nb::handle value, const char* name);
/// int(depth) as a word's depth field: ValueError below zero, saturated at the largest depth.
uint32_t AsDepth(nb::handle depth);
/// A pair id as an int (`name` in the TypeError): ValueError "pair id out of range (0-511): <id>"
/// outside 0-511.
uint32_t AsPairId(nb::handle value, const char* name);

/// `str`, `list`, `dict`, `set` parameters: exactly that built-in type, subclasses refused.
nb::str AsStr(nb::handle value, const char* name);
/// The UTF-8 text of `s` (kept alive by it); raises UnicodeEncodeError for text that has none
/// (a lone surrogate), where nb::str::c_str() gives a null pointer.
std::string_view Utf8(const nb::str& s);
nb::list AsList(nb::handle value, const char* name);
nb::dict AsDict(nb::handle value, const char* name);
nb::set AsSet(nb::handle value, const char* name);
/// Optional forms: None passes through unchanged.
nb::object AsOptStr(nb::handle value, const char* name);
nb::object AsOptDict(nb::handle value, const char* name);
nb::object AsOptInt(nb::handle value, const char* name);

/// `bool` parameter: truthiness.
bool AsBool(nb::handle value);

/// Results declared `int` pass through int(); None passes unchanged.
nb::object IntResult(nb::handle value);

// ---------------------------------------------------------------- arrays

using U32Array = nb::ndarray<const uint32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using I64Array = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

/// A read-only view of a 1-d uint32 array: zero-copy for contiguous numpy uint32 input (read-only
/// arrays included), otherwise through numpy.ascontiguousarray(value, dtype=uint32).
class U32View {
 public:
  U32View(nb::handle value, const char* name);
  std::span<const uint32_t> span() const { return {data_, size_}; }
  size_t size() const { return size_; }

 private:
  nb::object keep_;
  const uint32_t* data_ = nullptr;
  size_t size_ = 0;
};

/// New writable numpy arrays owned by Python; `data` receives the buffer to fill.
nb::object NewU32Array(size_t n, uint32_t** data);
nb::object NewI64Array(size_t n, int64_t** data);
nb::object NewF64Array(size_t n, double** data);
nb::object NewBoolArray(size_t n, uint8_t** data);

// ---------------------------------------------------------------- object helpers
// Thin wrappers over the C API that turn a Python error into nb::python_error.

/// nb::steal(o), throwing the pending Python error when `o` is null.
nb::object Steal(PyObject* o);
/// A node id and a provenance word as Python ints.
inline nb::object PyInt(int64_t v) { return Steal(PyLong_FromLongLong(v)); }
inline nb::object PyWord(uint32_t v) { return Steal(PyLong_FromUnsignedLong(v)); }

/// Keeps a new container out of the collector while it is filled with many new objects. Before
/// CPython 3.12 a collection can start inside any allocation of a collected object, and each one
/// traverses every young container: a dict or list filling up with 100,000s of records would be
/// walked again at each of its hundreds of collections. Tracked again when the scope ends.
class FillingContainer {
 public:
  explicit FillingContainer(PyObject* c) : c_(c) { Untrack(); }
  ~FillingContainer() {
    if (!PyObject_GC_IsTracked(c_)) PyObject_GC_Track(c_);
  }
  FillingContainer(const FillingContainer&) = delete;
  FillingContainer& operator=(const FillingContainer&) = delete;
  /// A dict insertion may have tracked it again.
  void Untrack() {
    if (PyObject_GC_IsTracked(c_)) PyObject_GC_UnTrack(c_);
  }

 private:
  PyObject* c_;
};

/// An empty dict with room for `n` entries: a graph's node map built by insertion would
/// otherwise grow through a dozen tables, the large ones fresh pages from the allocator each read.
inline nb::dict DictWithRoom(size_t n) {
#if PY_VERSION_HEX < 0x030F0000
  PyObject* d = _PyDict_NewPresized(static_cast<Py_ssize_t>(n));
  if (d == nullptr) throw nb::python_error();
  return nb::steal<nb::dict>(d);
#else
  (void)n;
  return nb::dict();
#endif
}

/// Keeps the cyclic collector from starting while a scope makes many objects that cannot form
/// cycles (untracked records, ints, containers held by FillingContainer): each collection there
/// would only traverse the rest of the heap, and a 100,000-node graph starts hundreds, a few of
/// them full. The counts carry on, so the next allocation after the scope collects as due.
class CollectorPaused {
 public:
  CollectorPaused() : was_enabled_(PyGC_Disable() != 0) {}
  ~CollectorPaused() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPaused(const CollectorPaused&) = delete;
  CollectorPaused& operator=(const CollectorPaused&) = delete;

 private:
  bool was_enabled_;
};

/// The text of json.dumps(value, indent=indent) (indent an int), written natively; None when
/// `value` holds anything but exact dicts, lists, tuples, strs, ints, floats, bools and None (or
/// a cycle, or nesting deeper than 200), which the standard library then encodes or refuses.
/// With an indent it encodes in pure Python: several microseconds per value.
nb::object IndentedJsonText(nb::handle value, nb::handle indent);

/// Runs `f`, swallowing any exception derived from Exception (the recording of one row may fail
/// without failing the operation). A C++ error reaches Python as an Exception subclass: swallowed
/// like one.
template <class F>
void Guarded(F&& f) {
  try {
    f();
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
  } catch (const std::exception&) {
  }
}
/// getattr(obj, name); getattr(obj, name, fallback).
nb::object GetAttr(nb::handle obj, const char* name);
nb::object GetAttrOr(nb::handle obj, const char* name, nb::handle fallback);
/// hasattr(obj, name) followed by the read: AttributeError means absent, other errors propagate.
bool TryGetAttr(nb::handle obj, const char* name, nb::object* out);
/// isinstance(obj, cls).
bool IsInstance(nb::handle obj, nb::handle cls);
/// obj[key], obj[key] = value, key in obj, len(obj).
nb::object GetItem(nb::handle obj, nb::handle key);
void SetItem(nb::handle obj, nb::handle key, nb::handle value);
bool Contains(nb::handle container, nb::handle key);
Py_ssize_t Size(nb::handle obj);
/// map.get(key): the concrete dict API for exact dicts, the method otherwise.
nb::object MapGet(nb::handle map, nb::handle key);
/// set.add(key) / list.append(value), concrete API for the built-in types.
void SetAdd(nb::handle set, nb::handle key);
void Append(nb::handle list, nb::handle value);
/// warnings.warn(text, UserWarning) from the calling Python frame.
inline void WarnUser(const char* text) {
  if (PyErr_WarnEx(PyExc_UserWarning, text, 1) < 0) throw nb::python_error();
}
/// True with the value when `v` is an exact int within int64 (no error raised otherwise).
bool ExactInt64(nb::handle v, int64_t* out);
/// True with the value when `v` is an exact int in 0..2**32-1 (a provenance word held as is).
inline bool ExactWord(nb::handle v, uint32_t* out) {
  int64_t x;
  if (!ExactInt64(v, &x) || x < 0 || x > UINT32_MAX) return false;
  *out = static_cast<uint32_t>(x);
  return true;
}

using KwArg = std::pair<const char*, nb::handle>;
/// fn(*args, **kwargs) and obj.<name>(*args, **kwargs) through vectorcall; keyword names are
/// interned.
nb::object CallKw(nb::handle fn, std::initializer_list<nb::handle> args,
                  std::span<const KwArg> kwargs);
inline nb::object CallKw(nb::handle fn, std::initializer_list<nb::handle> args,
                         std::initializer_list<KwArg> kwargs = {}) {
  return CallKw(fn, args, std::span<const KwArg>(kwargs.begin(), kwargs.size()));
}
nb::object CallMethodKw(nb::handle obj, const char* name, std::initializer_list<nb::handle> args,
                        std::initializer_list<KwArg> kwargs = {});

// ---------------------------------------------------------------- calls and dispatch

/// True when `self.<name>` resolves to the implementation defined on `native_type` (no Python
/// subclass override and no instance attribute shadowing it), so the caller may run the native
/// code directly.
bool UsesNative(nb::handle self, nb::handle name, PyTypeObject* native_type);

/// self.<name>(*args) through the vectorcall protocol.
template <typename... Args>
nb::object CallMethod(nb::handle self, nb::handle name, Args&&... args) {
  nb::object converted[] = {nb::cast(std::forward<Args>(args))...};
  PyObject* argv[sizeof...(Args) + 1] = {self.ptr()};
  for (size_t i = 0; i < sizeof...(Args); ++i) argv[i + 1] = converted[i].ptr();
  PyObject* r = PyObject_VectorcallMethod(name.ptr(), argv,
                                          (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          nullptr);
  if (!r) throw nb::python_error();
  return nb::steal(r);
}

/// An interned Python string, created once per process.
nb::handle Interned(const char* text);

/// The object `make()` gives, made on first use and kept for the process lifetime in `*slot`
/// (a zero-initialised static). Never a function-local static initialised by Python code:
/// making it can release the GIL (an import runs bytecode), and another thread entering the
/// same initialiser would wait on the C++ guard while holding the GIL. Here two threads may
/// both make it; the first stored wins.
template <class Make>
nb::handle KeepOnce(PyObject** slot, Make&& make) {
  if (*slot != nullptr) return *slot;
  nb::object made = make();
  if (*slot == nullptr) *slot = made.release().ptr();
  return *slot;
}

/// "0x" followed by format(value, "08X"): upper-case hex, at least 8 digits.
nb::str HexText(nb::handle value);
nb::str HexText(uint32_t value);

/// Imports `module` and returns its attribute `name`.
nb::object ImportAttr(const char* module, const char* name);

}  // namespace lumarq::py

// NB_MODULE, except that an exception raised while the module initialises propagates as it is
// instead of being chained under a generic ImportError: the modules' own import failures (for
// example the missing backend core) have fixed texts that callers match on.
#define LUMARQ_MODULE(name, variable) LUMARQ_MODULE_IMPL(name, variable)
#define LUMARQ_MODULE_IMPL(name, variable)                                           \
  static void lumarq_##name##_exec_impl(nanobind::module_);                          \
  static int lumarq_##name##_exec(PyObject* m) {                                     \
    nanobind::detail::nb_module_exec(NB_DOMAIN_STR, m);                              \
    try {                                                                            \
      lumarq_##name##_exec_impl(nanobind::borrow<nanobind::module_>(m));             \
      return 0;                                                                      \
    } catch (nanobind::python_error & e) {                                           \
      e.restore();                                                                   \
    } catch (const std::exception& e) {                                             \
      PyErr_SetString(PyExc_ImportError, e.what());                                  \
    }                                                                                \
    return -1;                                                                       \
  }                                                                                  \
  static PyModuleDef_Slot lumarq_##name##_slots[] = {                                \
      {Py_mod_exec, reinterpret_cast<void*>(lumarq_##name##_exec)}, NB_MODULE_SLOTS_2}; \
  static struct PyModuleDef lumarq_##name##_module = {                               \
      PyModuleDef_HEAD_INIT, #name, nullptr, 0, nullptr, lumarq_##name##_slots,       \
      nullptr, nullptr, nanobind::detail::nb_module_free};                           \
  extern "C" [[maybe_unused]] NB_EXPORT PyObject* PyInit_##name(void);               \
  extern "C" PyObject* PyInit_##name(void) { return PyModuleDef_Init(&lumarq_##name##_module); } \
  void lumarq_##name##_exec_impl(nanobind::module_ variable)
