// lumarq.utilities.jsoncodec: dumps/loads over orjson when it imports, else over the standard
// json module with an encoder that understands numpy scalars and arrays and dates.
#include "common.h"

namespace lumarq::py {
namespace {

/// dumps and loads: the signatures and argument checks here, the bodies in
/// lumarq.utilities._jsoncodec (`impls`: the two functions a bind_* function there returns, each
/// called with the module first).
void DefineCodec(nb::module_& m, nb::object impls, const char* dumps_doc, const char* loads_doc) {
  nb::object dumps = impls[0], loads = impls[1], mod = nb::borrow(m);
  m.def(
      "dumps",
      [mod, dumps](nb::handle obj, nb::handle default_, nb::handle indent, nb::handle sort_keys) {
        return dumps(mod, obj, default_, indent, sort_keys);
      },
      nb::arg("obj").none(), nb::arg("default").none() = nb::none(),
      nb::arg("indent").none() = nb::none(), nb::arg("sort_keys").none() = false, dumps_doc);
  m.def("loads", [mod, loads](nb::handle s) { return loads(mod, s); }, nb::arg("s").none(),
        loads_doc);
}

nb::object Impl(const char* name) { return ImportAttr("lumarq.utilities._jsoncodec", name); }

}  // namespace
}  // namespace lumarq::py

LUMARQ_MODULE(jsoncodec, m) {
  using namespace lumarq::py;
  m.doc() = "JSON dumps/loads over orjson when available, else the standard json module.";
  m.def(
      "indented",
      [](nb::handle obj, nb::handle indent) { return IndentedJsonText(obj, AsInt(indent, "indent")); },
      nb::arg("obj").none(), nb::arg("indent") = 2,
      "The text json.dumps(obj, indent=indent) gives, written natively; None when `obj` holds "
      "anything but plain dicts, lists, tuples, strs, ints, floats, bools and None (or a cycle, "
      "or deep nesting), for the standard library to encode or refuse.");
  PyObject* orjson = PyImport_ImportModule("orjson");
  if (orjson != nullptr) {
    DefineCodec(m, Impl("bind_orjson")(m, nb::steal(orjson)),
                "Serialise `obj` to JSON text with orjson (numpy values natively; any truthy "
                "indent means two spaces).",
                "Parse JSON text (str or bytes) with orjson.");
    m.attr("BACKEND") = "orjson";
  } else if (PyErr_ExceptionMatches(PyExc_ImportError)) {
    PyErr_Clear();
    DefineCodec(m, Impl("bind_standard")(m),
                "Serialise `obj` to JSON text with the standard json module (numpy scalars and "
                "arrays and dates converted; indent passed through).",
                "Parse JSON text with the standard json module.");
    m.attr("BACKEND") = "json";
  } else {
    throw nb::python_error();
  }
}
