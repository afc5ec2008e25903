// ComputationDAG: derived views and the three export forms.
#include <vector>

#include "dag_records.h"
#include "lumarq/graph.h"

namespace lumarq::py {
namespace {

struct DagParts {
  nb::object root_id, nodes, edges;
};

DagParts Parts(nb::handle self) {
  return {DagField(self, kRootId), DagField(self, kDagNodes), DagField(self, kDagEdges)};
}

// ---------------------------------------------------------------- depth

/// The inputs of the graph when every key of `nodes` is an int and every node a native DAGNode
/// with int inputs; the walk then runs without Python objects (and without the GIL).
bool BuildInputTable(nb::handle nodes, InputTable* table) {
  if (!PyDict_CheckExact(nodes.ptr())) return false;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  std::vector<int64_t> ids;
  table->Reserve(static_cast<size_t>(PyDict_GET_SIZE(nodes.ptr())));
  // Nothing below calls into Python, so the dict cannot change during the loop.
  int64_t id;
  while (PyDict_Next(nodes.ptr(), &pos, &key, &value)) {
    if (!ExactInt64(key, &id) || !NodeInputIds(value, &ids)) return false;
    table->Add(id, ids);
  }
  return true;
}

nb::object Depth(nb::handle self) {
  DagParts p = Parts(self);
  InputTable table;
  int64_t root;
  if (ExactInt64(p.root_id, &root) && BuildInputTable(p.nodes, &table)) {
    int64_t depth;
    {
      nb::gil_scoped_release unlocked;
      depth = LongestChainDepth(
          root, [&](int64_t id, std::vector<int64_t>* out) { return table.Inputs(id, out); });
    }
    return nb::int_(depth);
  }
  // Ids of other types, or nodes read through their attributes: walked in Python.
  return ImportAttr("lumarq.utilities._dag_graph", "depth_of")(p.root_id, p.nodes);
}

// ---------------------------------------------------------------- exports

// The exports and the views but depth run once per DAG: written in Python, as are the exports in
// other tools' formats (lumarq.lineage), imported on use.
constexpr char kGraphModule[] = "lumarq.utilities._dag_graph";
constexpr char kLineage[] = "lumarq.lineage";
constexpr char kToDict[] = "to_dict", kToGraphviz[] = "to_graphviz", kToProv[] = "dag_to_prov";
constexpr char kSourceNodes[] = "source_nodes", kProtectedSources[] = "protected_sources",
               kHasProtected[] = "has_protected", kOperationCounts[] = "operation_counts",
               kTaintRisks[] = "column_taint_risks";

/// `<Module>.<Name>(self)`.
template <const char* Module, const char* Name>
nb::object InPython(nb::handle self) {
  return ImportAttr(Module, Name)(self);
}

PyObject* ToJsonMethod(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"indent", nullptr};
  PyObject* indent = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:to_json", const_cast<char**>(kwlist),
                                   &indent)) {
    return nullptr;
  }
  try {
    nb::object width = indent != nullptr ? AsInt(indent, "indent") : nb::object(nb::int_(2));
    nb::object to_json = ImportAttr(kGraphModule, "to_json");
    return to_json(nb::handle(self), width).release().ptr();
  } catch (...) {
    RestoreError();
    return nullptr;
  }
}

}  // namespace

PyGetSetDef* ComputationDagProperties() {
  static PyGetSetDef table[] = {
      {"depth", &PropertySlot<&Depth>, nullptr,
       "Length of the longest input chain from the root down to a leaf.", nullptr},
      {"source_nodes", &PropertySlot<&InPython<kGraphModule, kSourceNodes>>, nullptr,
       "All source (leaf) nodes in this DAG.", nullptr},
      {"protected_sources", &PropertySlot<&InPython<kGraphModule, kProtectedSources>>, nullptr,
       "Source nodes that are protected attributes.", nullptr},
      {"has_protected", &PropertySlot<&InPython<kGraphModule, kHasProtected>>, nullptr,
       "True if any source node is a protected attribute.", nullptr},
      {"operation_counts", &PropertySlot<&InPython<kGraphModule, kOperationCounts>>, nullptr,
       "Count of each operation type.", nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr}};
  return table;
}

PyMethodDef* ComputationDagMethods() {
  static PyMethodDef table[] = {
      {"column_taint_risks", &NoArgsSlot<&InPython<kGraphModule, kTaintRisks>>, METH_NOARGS,
       "column_taint_risks($self, /)\n--\n\n"
       "Highest taint risk per source column, keyed by column name."},
      {"to_dict", &NoArgsSlot<&InPython<kGraphModule, kToDict>>, METH_NOARGS,
       "to_dict($self, /)\n--\n\nSerialize the DAG to a dict."},
      {"to_json", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&ToJsonMethod)),
       METH_VARARGS | METH_KEYWORDS,
       "to_json($self, /, indent=2)\n--\n\nSerialize the DAG to JSON text."},
      {"to_graphviz", &NoArgsSlot<&InPython<kGraphModule, kToGraphviz>>, METH_NOARGS,
       "to_graphviz($self, /)\n--\n\nExport as Graphviz DOT format."},
      {"to_prov", &NoArgsSlot<&InPython<kLineage, kToProv>>, METH_NOARGS,
       "to_prov($self, /)\n--\n\nExport as a W3C PROV-JSON document (a dict)."},
      {nullptr, nullptr, 0, nullptr}};
  return table;
}

}  // namespace lumarq::py
