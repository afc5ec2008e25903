#include "containers_support.h"

#include <vector>

namespace lumarq::py {

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

void SetPlainAttr(nb::handle obj, const char* name, nb::handle value) {
  if (PyObject_GenericSetAttr(obj.ptr(), Interned(name).ptr(), value.ptr()) < 0) {
    throw nb::python_error();
  }
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

size_t Len(nb::handle obj) {
  const Py_ssize_t n = PyObject_Size(obj.ptr());
  if (n < 0) throw nb::python_error();
  return static_cast<size_t>(n);
}

nb::object CallKw(nb::handle fn, std::initializer_list<nb::handle> args,
                  std::initializer_list<KwArg> kwargs) {
  std::vector<PyObject*> argv;
  argv.reserve(1 + args.size() + kwargs.size());
  argv.push_back(nullptr);  // slot for PY_VECTORCALL_ARGUMENTS_OFFSET
  for (nb::handle a : args) argv.push_back(a.ptr());
  nb::object names;
  if (kwargs.size() != 0) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(kwargs.size()));
    if (!t) throw nb::python_error();
    names = nb::steal(t);
    Py_ssize_t i = 0;
    for (const KwArg& kw : kwargs) {
      nb::handle key = Interned(kw.first);
      PyTuple_SET_ITEM(t, i++, nb::borrow(key).release().ptr());
      argv.push_back(kw.second.ptr());
    }
  }
  PyObject* r = PyObject_Vectorcall(fn.ptr(), argv.data() + 1,
                                    args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, names.ptr());
  if (!r) throw nb::python_error();
  return nb::steal(r);
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

}  // namespace lumarq::py
