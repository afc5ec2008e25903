// Helpers shared by the tracked containers and the audits: attribute access by interned name,
// calls with keyword arguments, numpy references and read-only views of 1-d arrays.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <utility>

#include "common.h"

namespace lumarq::py {

/// getattr(obj, name).
nb::object GetAttr(nb::handle obj, const char* name);
/// hasattr(obj, name) followed by the read: AttributeError means absent, other errors propagate.
bool TryGetAttr(nb::handle obj, const char* name, nb::object* out);
/// object.__setattr__(obj, name, value): skips pandas' NDFrame.__setattr__, which only adds
/// lookups for names that are neither columns nor internals.
void SetPlainAttr(nb::handle obj, const char* name, nb::handle value);
/// isinstance(obj, cls).
bool IsInstance(nb::handle obj, nb::handle cls);
/// obj[key], obj[key] = value, key in obj.
nb::object GetItem(nb::handle obj, nb::handle key);
void SetItem(nb::handle obj, nb::handle key, nb::handle value);
bool Contains(nb::handle container, nb::handle key);
/// len(obj).
size_t Len(nb::handle obj);

using KwArg = std::pair<const char*, nb::handle>;
/// fn(*args, **kwargs) through vectorcall; keyword names are interned.
nb::object CallKw(nb::handle fn, std::initializer_list<nb::handle> args,
                  std::initializer_list<KwArg> kwargs = {});

/// super(cls, self).<name>(*args, **kwargs) with `args`/`kwargs` a tuple and a dict (or null).
nb::object CallSuper(nb::handle cls, nb::handle self, const char* name, nb::handle args,
                     nb::handle kwargs);

/// numpy and pandas objects used at call time (imported once, kept for the process lifetime).
struct PyRefs {
  nb::handle np_zeros, np_asarray, np_array, np_broadcast_to, np_full, np_any, np_max, np_min;
  nb::handle np_clip, np_add, np_subtract, np_multiply, np_true_divide, np_floor_divide,
      np_power;
  nb::handle ndarray_type, u32_dtype, np_uint32;
  nb::handle pd_series, pd_frame, pd_range_index;
  nb::handle op_gt, op_lt, op_ge, op_le, op_neg;
  nb::handle property, round, itemgetter;
};
const PyRefs& Refs();

/// np.asarray(value, dtype=np.uint32); a uint32 numpy array comes back as it is.
nb::object AsU32Array(nb::handle value);
/// np.zeros(n, dtype=np.uint32).
nb::object ZerosU32(size_t n);

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

}  // namespace lumarq::py
