#include <string>

#include "backend.h"

namespace lumarq::py {

BackendTracker* NativeBackend(nb::handle obj) {
  // The type is registered once by lumarq._vantor32; every module of the package shares it.
  static PyTypeObject* native = nullptr;
  if (native == nullptr) {
    nb::handle t = nb::type<BackendTracker>();
    if (!t.is_valid()) return nullptr;
    native = reinterpret_cast<PyTypeObject*>(t.ptr());
  }
  if (Py_TYPE(obj.ptr()) != native) return nullptr;
  return nb::inst_ptr<BackendTracker>(obj);
}

void BackendRegister(BackendTracker& b, std::string_view table, std::string_view column, bool prot) {
  std::string key = std::string(table) + '\x1f' + std::string(column);
  std::lock_guard lock(b.mu);
  bool& flag = b.sources[key];
  flag = flag || prot;
}

void BackendMarkTableProtected(BackendTracker& b, std::string_view table) {
  std::lock_guard lock(b.mu);
  b.protected_tables.emplace(table);
}

PairSet PairsFromIterable(nb::handle pairs) {
  PairSet set;
  PyObject* it = PyObject_GetIter(pairs.ptr());
  if (!it) throw nb::python_error();
  nb::object iter = nb::steal(it);
  while (PyObject* item = PyIter_Next(it)) {
    nb::object hold = nb::steal(item);
    set.Add(AsPairId(hold, "pairs"));
  }
  if (PyErr_Occurred()) throw nb::python_error();
  return set;
}

nb::dict DecodedToDict(const Decoded& d, uint32_t word) {
  nb::list ids;
  for (uint32_t id : d.pairs.Ids()) ids.append(id);
  nb::dict out;
  out["pairs"] = ids;
  out["entity"] = d.entity;
  out["chain"] = d.chain;
  out["taint"] = d.taint;
  out["depth"] = d.depth;
  out["mode"] = ModeName(word);
  return out;
}

}  // namespace lumarq::py
