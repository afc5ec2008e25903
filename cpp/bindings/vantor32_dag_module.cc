// lumarq.utilities.vantor32_dag: operation-level lineage on top of the provenance tracker of
// lumarq.utilities.vantor32 — node records, the computation graph, the DAG tracker, the
// DAG-tracked containers and their helper functions.
#include <initializer_list>

#include "dag_containers.h"
#include "dag_records.h"
#include "dag_tracker.h"
#include "dtype_dag.h"

namespace lumarq::py {
namespace {

constexpr const char* kModuleDoc =
    "VANTOR-32 DAG: operation-level lineage for tracked pandas pipelines.\n"
    "\n"
    "Every operation on tracked data can be logged as a node of a computation DAG;\n"
    "the graph behind any result value can be rebuilt, audited for protected sources\n"
    "and exported as a dict, JSON text or Graphviz DOT text.";

constexpr const char* kSiblingNames[] = {
    "ProvenanceTracker",   "TrackedSeries",       "TrackedDataFrame", "OpCode", "MAX_PAIRS",
    "MODE_01_ENTITY_BITS", "MODE_01_CHAIN_BITS", "_hash_entity"};

void BindFrom(nb::module_& m, const char* module, std::initializer_list<const char*> names) {
  nb::module_ source = nb::module_::import_(module);
  for (const char* name : names) m.attr(name) = source.attr(name);
}

/// `from .vantor32 import <names>`: a relative import of the sibling module, and the error a
/// missing name gives there.
nb::object ImportSibling(nb::module_& m) {
  nb::list names;
  for (const char* name : kSiblingNames) names.append(name);
  nb::tuple fromlist(names);
  PyObject* globals = PyModule_GetDict(m.ptr());
  PyObject* sibling = PyImport_ImportModuleLevel("vantor32", globals, nullptr, fromlist.ptr(), 1);
  if (sibling == nullptr) throw nb::python_error();
  nb::object mod = nb::steal(sibling);
  for (const char* name : kSiblingNames) {
    PyObject* value = PyObject_GetAttrString(sibling, name);
    if (value == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
      PyErr_Clear();
      nb::object modname = nb::getattr(mod, "__name__", nb::str("<unknown module name>"));
      PyObject* file = PyModule_GetFilenameObject(sibling);
      if (file == nullptr) PyErr_Clear();
      nb::object path = file ? nb::steal(file) : nb::none();
      PyObject* msg =
          file ? PyUnicode_FromFormat("cannot import name '%s' from %R (%S)", name, modname.ptr(),
                                      path.ptr())
               : PyUnicode_FromFormat("cannot import name '%s' from %R (unknown location)", name,
                                      modname.ptr());
      if (msg == nullptr) throw nb::python_error();
      nb::object message = nb::steal(msg);
      PyErr_SetImportError(message.ptr(), modname.ptr(), file ? path.ptr() : nullptr);
      throw nb::python_error();
    }
    m.attr(name) = nb::steal(value);
  }
  return mod;
}

}  // namespace
}  // namespace lumarq::py

LUMARQ_MODULE(vantor32_dag, m) {
  using namespace lumarq::py;
  m.doc() = kModuleDoc;
  BindFrom(m, "dataclasses", {"dataclass", "field"});
  BindFrom(m, "typing", {"Dict", "Set", "List", "Tuple", "Optional", "Any", "FrozenSet"});
  BindFrom(m, "enum", {"Enum", "auto"});
  m.attr("json") = nb::module_::import_("json");
  m.attr("logging") = nb::module_::import_("logging");
  m.attr("threading") = nb::module_::import_("threading");
  m.attr("np") = nb::module_::import_("numpy");
  m.attr("pd") = nb::module_::import_("pandas");
  m.attr("logger") = m.attr("logging").attr("getLogger")(m.attr("__name__"));

  SetVantorModule(ImportSibling(m));

  RegisterRecords(m);
  RegisterComputationDag(m);
  RegisterDagTracker(m);
  RegisterDagContainers(m);
  RegisterDagHelpers(m);
  RegisterDtypeDag();
}
