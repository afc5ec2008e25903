// ComputationDAG: derived views and the three export forms.
#include <vector>

#include "dag_records.h"
#include "lumarq/graph.h"
#include "lumarq/word.h"

namespace lumarq::py {


namespace {

struct DagParts {
  nb::object root_id, nodes, edges;
};

bool Exact(nb::handle self) { return Py_TYPE(self.ptr()) == ComputationDagType(); }

DagParts Parts(nb::handle self) {
  if (Exact(self)) {
    BuildPendingDag(self);
    ComputationDag& d = RecordOf<ComputationDag>(self);
    auto need = [&](nb::object& o, const char* name) {
      if (!o.is_valid()) {
        PyErr_Format(PyExc_AttributeError, "'ComputationDAG' object has no attribute '%s'", name);
        throw nb::python_error();
      }
      return o;
    };
    return {need(d.root_id, "root_id"), need(d.nodes, "nodes"), need(d.edges, "edges")};
  }
  return {self.attr("root_id"), self.attr("nodes"), self.attr("edges")};
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
  while (PyDict_Next(nodes.ptr(), &pos, &key, &value)) {
    if (!PyLong_CheckExact(key)) return false;
    int overflow = 0;
    const long long id = PyLong_AsLongLongAndOverflow(key, &overflow);
    if (overflow != 0 || !NodeInputIds(value, &ids)) return false;
    table->Add(id, ids);
  }
  return true;
}

nb::object Depth(nb::handle self) {
  DagParts p = Parts(self);
  InputTable table;
  if (PyLong_CheckExact(p.root_id.ptr()) && BuildInputTable(p.nodes, &table)) {
    int overflow = 0;
    const long long root = PyLong_AsLongLongAndOverflow(p.root_id.ptr(), &overflow);
    if (overflow == 0) {
      int64_t depth;
      {
        nb::gil_scoped_release unlocked;
        depth = LongestChainDepth(
            root, [&](int64_t id, std::vector<int64_t>* out) { return table.Inputs(id, out); });
      }
      return nb::int_(depth);
    }
  }
  // Ids of other types, or nodes read through their attributes: walked in Python.
  return ImportAttr("lumarq.utilities._dag_graph", "depth_of")(p.root_id, p.nodes);
}

// ---------------------------------------------------------------- views

nb::list SourceNodes(nb::handle nodes) {
  nb::list out;
  for (nb::handle node : NodeValues(nodes)) {
    if (NodeIsSource(node)) out.append(node);
  }
  return out;
}

nb::dict OperationCounts(nb::handle self) {
  return CountOperations(NodeValues(Parts(self).nodes), /*skip_sources=*/false);
}

nb::dict ColumnTaintRisks(nb::handle self) {
  nb::dict out;
  for (nb::handle node : NodeValues(Parts(self).nodes)) {
    nb::object column = NodeField(node, kColumn);
    if (!AsBool(column)) continue;
    const uint32_t word = AsWord(NodeField(node, kProvenance), "provenance");
    if (!TaintOf(word)) continue;
    nb::float_ risk(RiskOf(word));
    PyObject* stored = PyDict_GetItemWithError(out.ptr(), column.ptr());
    if (stored == nullptr) {
      if (PyErr_Occurred()) throw nb::python_error();
      out[column] = risk;
      continue;
    }
    const int greater = PyObject_RichCompareBool(risk.ptr(), stored, Py_GT);
    if (greater < 0) throw nb::python_error();
    if (greater) out[column] = risk;
  }
  return out;
}

// ---------------------------------------------------------------- exports

// The exports run once per DAG: written in Python (lumarq.utilities._dag_graph).
nb::object ToDict(nb::handle self) {
  return ImportAttr("lumarq.utilities._dag_graph", "to_dict")(self);
}

nb::object ToJson(nb::handle self, nb::handle indent) {
  nb::object width = AsInt(indent, "indent");
  nb::object d = self.attr("to_dict")();
  nb::object module = nb::module_::import_("lumarq.utilities.vantor32_dag");
  nb::object dumps = module.attr("json").attr("dumps");
  // The native text only stands in for the standard library's own function.
  if (dumps.is(nb::module_::import_("json").attr("dumps"))) {
    nb::object text = IndentedJsonText(d, width);
    if (!text.is_none()) return text;
  }
  return dumps(d, nb::arg("indent") = width);
}

nb::object ToGraphviz(nb::handle self) {
  return ImportAttr("lumarq.utilities._dag_graph", "to_graphviz")(self);
}

}  // namespace

/// Counts per `operation` of the given nodes, keys in first-seen order. Counting runs on a side
/// vector so that each node costs one dict lookup.
nb::dict CountOperations(nb::handle node_list, bool skip_sources) {
  nb::dict slots;  // operation -> position in `counts`
  std::vector<int64_t> counts;
  PyObject* last_op = nullptr;
  size_t last_slot = 0;
  nb::object last_hold;
  for (nb::handle node : node_list) {
    if (skip_sources && NodeIsSource(node)) continue;
    nb::object op = NodeField(node, kOperation);
    if (op.ptr() == last_op) {
      ++counts[last_slot];
      continue;
    }
    PyObject* hit = PyDict_GetItemWithError(slots.ptr(), op.ptr());
    size_t slot;
    if (hit) {
      slot = static_cast<size_t>(PyLong_AsSsize_t(hit));
    } else {
      if (PyErr_Occurred()) throw nb::python_error();
      slot = counts.size();
      slots[op] = nb::int_(slot);
      counts.push_back(0);
    }
    ++counts[slot];
    last_op = op.ptr();
    last_hold = op;
    last_slot = slot;
  }
  nb::dict out;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(slots.ptr(), &pos, &key, &value)) {
    out[key] = nb::int_(counts[static_cast<size_t>(PyLong_AsSsize_t(value))]);
  }
  return out;
}

namespace {

template <auto F>
PyObject* Property(PyObject* self, void*) {
  try {
    nb::object r = F(self);
    return r.release().ptr();
  } catch (...) {
    RestoreError();
    return nullptr;
  }
}

template <auto F>
PyObject* NoArgs(PyObject* self, PyObject*) {
  return Property<F>(self, nullptr);
}

PyObject* ToJsonMethod(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"indent", nullptr};
  PyObject* indent = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:to_json", const_cast<char**>(kwlist),
                                   &indent)) {
    return nullptr;
  }
  try {
    nb::object width = indent != nullptr ? nb::borrow(indent) : nb::object(nb::int_(2));
    return ToJson(self, width).release().ptr();
  } catch (...) {
    RestoreError();
    return nullptr;
  }
}

// The exports in other tools' formats are written in Python (lumarq.lineage), imported on use.
nb::object ToProv(nb::handle self) { return ImportAttr("lumarq.lineage", "dag_to_prov")(self); }

nb::object SourceNodesProperty(nb::handle self) { return SourceNodes(Parts(self).nodes); }
// Read once per export at most: derived in Python (lumarq.utilities._dag_graph).
nb::object ProtectedSourcesProperty(nb::handle self) {
  return ImportAttr("lumarq.utilities._dag_graph", "protected_sources")(self);
}
nb::object HasProtectedProperty(nb::handle self) {
  return ImportAttr("lumarq.utilities._dag_graph", "has_protected")(self);
}

}  // namespace

PyGetSetDef* ComputationDagProperties() {
  static PyGetSetDef table[] = {
      {"depth", &Property<&Depth>, nullptr,
       "Length of the longest input chain from the root down to a leaf.", nullptr},
      {"source_nodes", &Property<&SourceNodesProperty>, nullptr,
       "All source (leaf) nodes in this DAG.", nullptr},
      {"protected_sources", &Property<&ProtectedSourcesProperty>, nullptr,
       "Source nodes that are protected attributes.", nullptr},
      {"has_protected", &Property<&HasProtectedProperty>, nullptr,
       "True if any source node is a protected attribute.", nullptr},
      {"operation_counts", &Property<&OperationCounts>, nullptr, "Count of each operation type.",
       nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr}};
  return table;
}

PyMethodDef* ComputationDagMethods() {
  static PyMethodDef table[] = {
      {"column_taint_risks", &NoArgs<&ColumnTaintRisks>, METH_NOARGS,
       "column_taint_risks($self, /)\n--\n\n"
       "Highest taint risk per source column, keyed by column name."},
      {"to_dict", &NoArgs<&ToDict>, METH_NOARGS,
       "to_dict($self, /)\n--\n\nSerialize the DAG to a dict."},
      {"to_json", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&ToJsonMethod)),
       METH_VARARGS | METH_KEYWORDS,
       "to_json($self, /, indent=2)\n--\n\nSerialize the DAG to JSON text."},
      {"to_graphviz", &NoArgs<&ToGraphviz>, METH_NOARGS,
       "to_graphviz($self, /)\n--\n\nExport as Graphviz DOT format."},
      {"to_prov", &NoArgs<&ToProv>, METH_NOARGS,
       "to_prov($self, /)\n--\n\nExport as a W3C PROV-JSON document (a dict)."},
      {nullptr, nullptr, 0, nullptr}};
  return table;
}

}  // namespace lumarq::py
