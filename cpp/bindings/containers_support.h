// Helpers shared by the tracked containers (of both modules) and the audits: attribute access by
// interned name, calls with keyword arguments, numpy references, read-only views of 1-d arrays,
// classes built with type(), and the entity hashes of a frame's row labels.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "common.h"
#include "lumarq/codec.h"

namespace lumarq::py {

/// len(obj).
inline size_t Len(nb::handle obj) { return static_cast<size_t>(Size(obj)); }
/// Operation codes of the module's OpCode, read once at registration.
struct ContainerOpCodes {
  int add, sub, mul, div, neg, cmp, merge;
};
ContainerOpCodes ReadOpCodes(nb::handle module);

/// One binary operator of a tracked Series: the function of the values, the operation's name
/// (the DAG node's text, interned) and its OpCode.
struct BinaryOperator {
  nb::handle fn;
  nb::handle name;
  int code;
};
/// Defines every binary operator method (__add__, __radd__, comparisons, ...) on `ns`, each
/// running dispatch(self, other, operator); the table is lumarq.utilities._container_operators',
/// its codes the OpCode of `module`.
void AddBinaryOperators(nb::dict& ns, nb::handle module,
                        nb::object (*dispatch)(nb::handle, nb::handle, const BinaryOperator&));

/// numpy and pandas objects used at call time (imported once, kept for the process lifetime).
struct PyRefs {
  nb::handle np_zeros, np_asarray, np_broadcast_to;
  nb::handle ndarray_type, np_dtype_type, u32_dtype, np_uint32, np_float64, object_dtype;
  nb::handle pd_series, pd_frame, pd_range_index, extension_array;
  nb::handle pd_na, pd_nat, np_datetime64, np_timedelta64;
  nb::handle op_neg, op_invert;
  nb::handle property;
};
const PyRefs& Refs();

/// True when a row value is not recorded: None, pandas' NA and NaT, numpy's NaT, or a float NaN.
bool NotRecorded(nb::handle v);
/// np.asarray(value, dtype=np.uint32); a uint32 numpy array comes back as it is.
nb::object AsU32Array(nb::handle value);
/// np.zeros(n, dtype=np.uint32).
nb::object ZerosU32(size_t n);

/// True when `o` is exactly a numpy ndarray (no subclass).
inline bool IsNdarray(nb::handle o) {
  return Py_TYPE(o.ptr()) == reinterpret_cast<PyTypeObject*>(Refs().ndarray_type.ptr());
}

/// A new uint32 or int64 array of n copies of `value`; `out`, when given, receives the buffer.
template <typename T>
nb::object FilledArray(size_t n, T value, T** out = nullptr) {
  static_assert(std::is_same_v<T, uint32_t> || std::is_same_v<T, int64_t>);
  T* buf = nullptr;
  nb::object arr;
  if constexpr (std::is_same_v<T, uint32_t>) {
    arr = NewU32Array(n, &buf);
  } else {
    arr = NewI64Array(n, &buf);
  }
  std::fill(buf, buf + n, value);
  if (out != nullptr) *out = buf;
  return arr;
}

/// arr[i] = value with numpy's conversion rules, written straight to `buf` for an exact int in
/// T's range.
template <typename T>
void StoreInt(nb::handle arr, T* buf, size_t i, nb::handle value);

/// A read-only view of a 1-d numpy array of T, any stride (counted in elements).
template <typename T>
struct ArrayView {
  const T* data = nullptr;
  int64_t stride = 1;
  size_t size = 0;
  T operator[](size_t i) const { return data[static_cast<int64_t>(i) * stride]; }
};

/// True when `value` is a 1-d CPU array of exactly T (no conversion); fills `view`, which stays
/// valid while `value` is alive.
template <typename T>
bool TryArrayView(nb::handle value, ArrayView<T>* view) {
  nb::ndarray<const T, nb::ndim<1>, nb::device::cpu> arr;
  if (!nb::try_cast(value, arr, /*convert=*/false)) return false;
  view->data = arr.data();
  view->stride = arr.shape(0) > 1 ? arr.stride(0) : 1;
  view->size = arr.shape(0);
  return true;
}

// ---------------------------------------------------------------- operands and derived rows

/// The codec of a tracker whose backend is the native one (kept alive by `hold`); else null.
Codec* NativeCodec(nb::handle tracker, nb::object* hold);

/// Positional alignment of a binary operation's operands. A pandas Series, list or 1-d array of
/// another length raises ValueError naming both lengths (a one-element list or array still
/// broadcasts); a pandas Series with a different index warns once per tracker that values and
/// provenance are aligned by position, not by label.
void CheckOperands(nb::handle self, nb::handle other, nb::handle tracker);

/// Registers _spread_words (a column's words spread over the rows of a derived object) and
/// _aggregate_words (the words of a result derived from several columns) on `m`.
void RegisterWordHelpers(nb::module_& m);

// ---------------------------------------------------------------- classes built with type()

/// arr.copy()
nb::object CopyOf(nb::handle arr);

/// The values a binary or unary operator computes with: `obj.values` (`fallback` when obj has
/// none), but the pandas array of a time-zone-aware column, whose zone `values` drops.
nb::object OperandValues(nb::handle obj, nb::handle fallback);

/// The name pandas gives the result of `self <op> other` (self's, or None where a Series or
/// Index operand names another).
nb::object OpResultName(nb::handle self, nb::handle other);

/// What `-s` applies to the values: pandas inverts booleans, which numpy refuses to negate (and
/// pandas negates a boolean condition Series internally, for `s[cond] = x`).
nb::handle NegOp(nb::handle self);

/// Puts a native function into a class namespace, bound like a Python function (self first).
/// Only nb::name is given, never nb::scope: a name that already exists on the pandas base would
/// otherwise be overwritten through the scope and can abort the process.
template <typename F, typename... Extra>
void Method(nb::dict& ns, const char* name, F&& f, const Extra&... extra) {
  ns[name] = nb::cpp_function(std::forward<F>(f), nb::is_method(), nb::name(name), extra...);
}

/// native() when `self` keeps the method `name` of the tracked class `cls`, else
/// self.<name>(args...), so that a subclass overriding it is honoured.
template <typename Native, typename... Args>
nb::object OwnOrOverride(nb::handle self, PyObject* cls, const char* name, Native&& native,
                         Args&&... args) {
  if (UsesNative(self, Interned(name), reinterpret_cast<PyTypeObject*>(cls))) return native();
  return CallMethod(self, Interned(name), std::forward<Args>(args)...);
}

/// The namespace a tracked pandas subclass starts from: `_metadata` (the attribute names pandas
/// carries over, in order), `_constructor`, and `_constructor_sliced` when `sliced` is given.
nb::dict SubclassNamespace(std::initializer_list<const char*> metadata, PyObject** constructor,
                           PyObject** sliced = nullptr);

/// cls(values, index=index, name=name, _prov=prov, _tracker=tracker[, _node_ids=nodes]): nodes
/// only when valid. `fresh` marks values that nothing else references (a ufunc result), which
/// pandas 3 would otherwise copy (copy=False).
nb::object NewTrackedSeries(nb::handle cls, nb::handle values, nb::handle index, nb::handle name,
                            nb::handle prov, nb::handle tracker, nb::handle nodes, bool fresh);

/// Defines __init__ on a tracked Series class `*cls`: _prov and _tracker (and _node_ids with
/// `nodes`) are taken out of the keywords before pandas' own __init__ and set afterwards; missing
/// words are zeros, missing node ids -1.
void AddSeriesInit(nb::dict& ns, PyObject** cls, bool nodes);

/// Defines __init__ and __finalize__ on a tracked frame class `*cls` whose per-column dicts are
/// `dicts`. __init__ takes _tracker and the dicts out of the keywords (a missing dict starts
/// empty). __finalize__ runs pandas' own, then replaces every dict the derived frame shares with
/// `other` by a shallow copy (pandas hands a derived frame the parent's very dicts, and assigning
/// a column on a filtered or copied frame must leave the parent's provenance alone; arrays are
/// never written in place), then applies the glue's rules (FrameFinalized).
void AddFrameInitFinalize(nb::dict& ns, PyObject** cls, std::vector<const char*> dicts);

/// type(name, (base,), ns) with __module__ (the module's name), __qualname__ and __doc__ set,
/// kept in `*cls` (the module holds it) and bound as the module's attribute `name`.
void DefineClass(nb::module_& m, const char* name, nb::handle base, nb::dict& ns, const char* doc,
                 PyObject** cls);

// ---------------------------------------------------------------- wrapping frames

/// The set of str(name) that `protected` names, or None when it is a flag (any iterable but text
/// and zero-dimensional arrays names columns). Warns (UserWarning) about names that are not
/// columns of `df` and about a text that is one (a text protects the whole table).
nb::object ProtectedColumns(nb::handle df, nb::handle protected_);

/// TypeError "<func> expects a pandas DataFrame, got <type of df>" unless it is one.
void RequireFrame(nb::handle df, const char* func);

/// Puts the glue's Series methods (__finalize__, the in-place operators, the methods that give
/// plain pandas) into the namespace of the class `name` of module `m`.
/// With `flex_binop`, also pandas' _binop (the DAG Series has none of its own).
void AddSeriesGlue(nb::module_& m, const char* name, nb::dict& ns, bool flex_binop = false);
/// The function `name` of the private helper module that carries provenance through pandas' own
/// machinery (lumarq.utilities._tracked_glue, imported once); callers look it up once per site.
nb::object GlueFn(const char* name);
/// Likewise the frame methods (rename, insert, the methods that give plain pandas).
void AddFrameGlue(nb::module_& m, const char* name, nb::dict& ns);
/// A function of lumarq.utilities._frames (the tracked frames' column access, assignment and
/// merge), kept for the process lifetime: call sites hold it in a static.
nb::handle FramesFn(const char* name);
/// __getitem__ and __setitem__ of the tracked frame class `*frame`: the _frames functions
/// `getitem` and `setitem`, called with the frame class and its column class `*series` first.
void AddFrameItemAccess(nb::dict& ns, PyObject** frame, PyObject** series, const char* getitem,
                        const char* setitem);

/// 1 << bits: the modulus of entity hashes (raises for a negative width, as the shift does).
nb::object EntityModulus(nb::handle bits);

/// Entity hashes of a frame's row labels, each reduced modulo 1 << bits, one uint32 array per
/// column. `bits` is read at call time by the caller (the module constant MODE_01_ENTITY_BITS).
class EntityHashes {
 public:
  EntityHashes(nb::handle df, nb::handle tracker, size_t n, nb::handle bits)
      : df_(df), tracker_(tracker), n_(n), bits_(bits) {}

  /// True when the tracker's entity_from_row is the native one: hashes are then computed once
  /// per frame in a native loop. Otherwise an override is called per label and column.
  bool Native() const;
  /// The array for the next column.
  nb::object Next();
  /// entity_from_row(df.index[i]) % (1 << bits) through the tracker (honouring an override).
  nb::object ByTracker(size_t i);

 private:
  nb::object NativeHashes();

  nb::handle df_, tracker_;
  size_t n_;
  nb::handle bits_;
  nb::object cached_;
};

}  // namespace lumarq::py
