// lumarq.utilities.jsoncodec: dumps/loads over orjson when it imports, else over the standard
// json module with an encoder that understands numpy scalars and arrays and dates.
#include "common.h"

namespace lumarq::py {
namespace {

nb::handle ModuleGlobal(nb::handle module, const char* name) {
  PyObject* v = PyDict_GetItemString(PyModule_GetDict(module.ptr()), name);
  if (v == nullptr) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw nb::python_error();
  }
  return v;
}

nb::handle Builtin(PyTypeObject* t) { return reinterpret_cast<PyObject*>(t); }

// ---------------------------------------------------------------- orjson branch

void BindOrjson(nb::module_& m, nb::object orjson) {
  m.attr("orjson") = orjson;
  m.attr("_NUMPY_OPT") = orjson.attr("OPT_SERIALIZE_NUMPY");
  nb::object mod = nb::borrow(m);
  m.def(
      "dumps",
      [mod](nb::handle obj, nb::handle default_, nb::handle indent, nb::handle sort_keys) {
        nb::handle orjson = ModuleGlobal(mod, "orjson");
        nb::object opts = nb::borrow(ModuleGlobal(mod, "_NUMPY_OPT"));
        if (AsBool(indent)) opts = opts | orjson.attr("OPT_INDENT_2");
        if (AsBool(sort_keys)) opts = opts | orjson.attr("OPT_SORT_KEYS");
        nb::object raw = default_.is_none()
                             ? orjson.attr("dumps")(obj, nb::arg("option").none() = opts)
                             : orjson.attr("dumps")(obj, nb::arg("default").none() = default_,
                                                    nb::arg("option").none() = opts);
        return raw.attr("decode")("utf-8");
      },
      nb::arg("obj").none(), nb::arg("default").none() = nb::none(), nb::arg("indent").none() = nb::none(),
      nb::arg("sort_keys").none() = false,
      "Serialise `obj` to JSON text with orjson (numpy values natively; any truthy indent "
      "means two spaces).");
  m.def(
      "loads", [mod](nb::handle s) { return ModuleGlobal(mod, "orjson").attr("loads")(s); },
      nb::arg("s").none(), "Parse JSON text (str or bytes) with orjson.");
  m.attr("BACKEND") = "orjson";
}

// ---------------------------------------------------------------- standard branch

nb::object NumpyDefault(nb::handle self, nb::handle o, nb::handle json_encoder,
                        nb::handle date_type, nb::handle datetime_type) {
  PyObject* np = PyImport_ImportModule("numpy");
  if (np == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw nb::python_error();
    PyErr_Clear();
    return json_encoder.attr("default")(self, o);
  }
  nb::object numpy = nb::steal(np);
  if (nb::isinstance(o, numpy.attr("integer"))) return nb::int_(o);
  if (nb::isinstance(o, numpy.attr("floating"))) return nb::float_(o);
  if (nb::isinstance(o, numpy.attr("bool_"))) return nb::bool_(AsBool(o));
  if (nb::isinstance(o, numpy.attr("ndarray"))) return o.attr("tolist")();
  if (nb::isinstance(o, date_type) || nb::isinstance(o, datetime_type)) {
    return o.attr("isoformat")();
  }
  return json_encoder.attr("default")(self, o);
}

nb::object MakeClass(const char* name, nb::handle base, nb::handle module_name, nb::dict ns) {
  ns["__module__"] = module_name;
  ns["__qualname__"] = name;
  return nb::borrow(Builtin(&PyType_Type))(name, nb::make_tuple(base), ns);
}

void BindStandard(nb::module_& m) {
  nb::module_ json = nb::module_::import_("json");
  nb::module_ dt = nb::module_::import_("datetime");
  m.attr("json") = json;
  m.attr("date") = dt.attr("date");
  m.attr("datetime") = dt.attr("datetime");
  nb::object mod = nb::borrow(m);

  nb::object json_encoder = json.attr("JSONEncoder");
  nb::dict ns;
  ns["__doc__"] = "JSON encoder that handles numpy types for the stdlib fallback.";
  ns["default"] = nb::cpp_function(
      [mod](nb::handle self, nb::handle o) {
        return NumpyDefault(self, o, ModuleGlobal(mod, "json").attr("JSONEncoder"),
                            ModuleGlobal(mod, "date"), ModuleGlobal(mod, "datetime"));
      },
      nb::is_method(), nb::name("default"), nb::arg("o").none());
  m.attr("_NumpyEncoder") = MakeClass("_NumpyEncoder", json_encoder, m.attr("__name__"), ns);

  m.def(
      "dumps",
      [mod](nb::handle obj, nb::handle default_, nb::handle indent, nb::handle sort_keys) {
        nb::handle json = ModuleGlobal(mod, "json");
        nb::object encoder = nb::borrow(ModuleGlobal(mod, "_NumpyEncoder"));
        if (!default_.is_none()) {
          // A fresh subclass per call: numpy and date conversions first, the caller's default
          // for whatever they refuse.
          nb::object user_default = nb::borrow(default_);
          nb::object base = encoder;
          nb::dict ns;
          ns["default"] = nb::cpp_function(
              [base, user_default](nb::handle self, nb::handle o) -> nb::object {
                try {
                  return base.attr("default")(self, o);
                } catch (nb::python_error& e) {
                  if (!e.matches(PyExc_TypeError)) throw;
                  return user_default(o);
                }
              },
              nb::is_method(), nb::name("default"), nb::arg("o").none());
          encoder = MakeClass("_Combined", base, nb::str("lumarq.utilities.jsoncodec"), ns);
        }
        return json.attr("dumps")(obj, nb::arg("cls").none() = encoder, nb::arg("indent").none() = indent,
                                  nb::arg("sort_keys").none() = sort_keys);
      },
      nb::arg("obj").none(), nb::arg("default").none() = nb::none(), nb::arg("indent").none() = nb::none(),
      nb::arg("sort_keys").none() = false,
      "Serialise `obj` to JSON text with the standard json module (numpy scalars and arrays and "
      "dates converted; indent passed through).");
  m.def(
      "loads", [mod](nb::handle s) { return ModuleGlobal(mod, "json").attr("loads")(s); },
      nb::arg("s").none(), "Parse JSON text with the standard json module.");
  m.attr("BACKEND") = "json";
}

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
    BindOrjson(m, nb::steal(orjson));
  } else if (PyErr_ExceptionMatches(PyExc_ImportError)) {
    PyErr_Clear();
    BindStandard(m);
  } else {
    throw nb::python_error();
  }
}
