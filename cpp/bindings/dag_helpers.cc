// combine_provenances, get_dag_for_series and dag_audit: short ways from a tracked result to its
// history. They hold no state; the work is the tracker's (through its methods, so overrides are
// honoured) and the graph's.
#include "containers_support.h"
#include "dag_containers.h"
#include "tracker.h"

namespace lumarq::py {
namespace {

nb::object ToInt(nb::handle value) {
  PyObject* o = PyNumber_Long(value.ptr());
  if (!o) throw nb::python_error();
  return nb::steal(o);
}

bool Compare(nb::handle a, nb::handle b, int op) {
  const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
  if (r < 0) throw nb::python_error();
  return r != 0;
}

nb::object CombineProvenances(nb::handle tracker, nb::handle node_ids, nb::handle op_code) {
  nb::object code = nb::borrow(op_code);
  // Imported at each call, so a replaced OpCode of vantor32 is the one used.
  if (code.is_none()) code = ImportAttr("lumarq.utilities.vantor32", "OpCode").attr("CUSTOM");
  nb::object result = nb::int_(0);
  nb::object zero = nb::int_(0);
  for (nb::handle nid : node_ids) {
    nb::object node = CallMethod(tracker, Interned("get_node"), nid);
    if (node.is_none()) continue;  // unknown or evicted
    nb::object prov = GetAttr(node, "provenance");
    if (Compare(result, zero, Py_EQ)) {
      result = prov;
    } else {
      result = CallCombine(tracker, result, prov, code);
    }
  }
  return result;
}

/// A Series of the provenance dtype as the words, node ids and tracker these helpers read; any
/// other object unchanged.
nb::object DagInput(nb::handle obj) {
  static nb::handle view = ImportAttr("lumarq.dtype", "_audit_view").release();  // leaked
  return view(obj);
}

/// get_dag_for_series after its argument conversion.
nb::object DagForRow(nb::handle series, nb::handle row) {
  nb::object tracker = GetAttr(series, "_tracker");
  if (!AsBool(tracker)) return nb::none();
  nb::object nodes;
  if (!TryGetAttr(series, "_node_ids", &nodes)) return nb::none();
  // A negative row counts from the end, as numpy indexing does.
  if (Compare(row, nb::int_(Len(nodes)), Py_GE)) return nb::none();
  nb::object node_id = ToInt(GetItem(nodes, row));
  if (Compare(node_id, nb::int_(0), Py_LT)) return nb::none();
  return CallMethod(tracker, Interned("get_dag"), node_id);
}

nb::object GetDagForSeries(nb::handle series_in, nb::handle row_index) {
  nb::object series = DagInput(series_in);
  if (!HasAttrs(series, {"_tracker"})) {
    RaiseExpected("get_dag_for_series", "a DAGTrackedSeries (a column of a wrapped frame)", series);
  }
  return DagForRow(series, AsInt(row_index, "row_index"));
}

/// [(node.table, node.column) for node in nodes]
nb::list SourcePairs(nb::handle nodes) {
  nb::list out;
  for (nb::handle node : nodes) {
    out.append(nb::make_tuple(GetAttr(node, "table"), GetAttr(node, "column")));
  }
  return out;
}

nb::dict DagAudit(nb::handle series_in, nb::handle row_index) {
  nb::object series = DagInput(series_in);
  nb::object row = AsInt(row_index, "row_index");
  nb::dict out;
  if (!HasAttrs(series, {"_tracker", "_prov"})) {  // untracked input: the documented record
    out["error"] = "No tracker or empty series";
    return out;
  }
  nb::object tracker = GetAttr(series, "_tracker");
  if (!AsBool(tracker) || Len(series) == 0) {
    out["error"] = "No tracker or empty series";
    return out;
  }
  nb::object prov = ToInt(GetItem(GetAttr(series, "_prov"), row));
  nb::object info = CallDecodeFull(tracker, prov);
  nb::object dag = DagForRow(series, row);
  nb::object pairs = GetAttr(info, "pairs");
  PyObject* ids = PySequence_List(pairs.ptr());
  if (!ids || PyList_Sort(ids) < 0) {
    Py_XDECREF(ids);
    throw nb::python_error();
  }
  out["provenance"] = HexText(prov);
  out["mode"] = CallGetMode(tracker, prov);
  out["pair_count"] = nb::int_(Len(pairs));
  out["pair_ids"] = nb::steal(ids);
  out["columns"] = CallExplain(tracker, prov);
  out["tables"] = CallExplainTables(tracker, prov);
  out["entity"] = GetAttr(info, "entity");
  out["chain"] = GetAttr(info, "chain");
  out["taint"] = GetAttr(info, "taint");
  out["depth"] = GetAttr(info, "depth");
  out["risk"] = CallRiskScore(tracker, prov);
  out["has_protected"] = UsesNative(tracker, Interned("has_protected"), TrackerType())
                             ? nb::object(nb::bool_(CallHasProtected(tracker, prov)))
                             : CallMethod(tracker, Interned("has_protected"), prov);
  if (AsBool(dag)) {
    nb::dict d;
    d["depth"] = GetAttr(dag, "depth");
    d["node_count"] = nb::int_(Len(GetAttr(dag, "nodes")));
    d["operation_counts"] = GetAttr(dag, "operation_counts");
    d["sources"] = SourcePairs(GetAttr(dag, "source_nodes"));
    d["protected_sources"] = SourcePairs(GetAttr(dag, "protected_sources"));
    out["dag"] = d;
  }
  return out;
}

}  // namespace

void RegisterDagHelpers(nb::module_& m) {
  m.def("combine_provenances", &CombineProvenances, nb::arg("tracker").none(),
        nb::arg("node_ids").none(), nb::arg("op_code").none() = nb::none(),
        "Fold the provenance values of several graph nodes into one (unknown ids are skipped).");
  m.def("get_dag_for_series", &GetDagForSeries, nb::arg("series").none(),
        nb::arg("row_index").none() = 0,
        "Reconstruct the computation DAG behind one row of a DAGTrackedSeries (None when the\n"
        "row has no node).");
  m.def("dag_audit", &DagAudit, nb::arg("series").none(), nb::arg("row_index").none() = 0,
        "Explain one row's provenance value and summarise its computation DAG.");
}

}  // namespace lumarq::py
