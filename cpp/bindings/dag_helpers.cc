// combine_provenances, and the entry points of get_dag_for_series and dag_audit (which read best
// in Python: lumarq.utilities._dag_helpers). They hold no state; the work is the tracker's (through
// its methods, so overrides are honoured) and the graph's.
#include "containers_support.h"
#include "dag_containers.h"
#include "tracker.h"

namespace lumarq::py {
namespace {

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

nb::object GetDagForSeries(nb::handle series, nb::handle row_index) {
  return ImportAttr("lumarq.utilities._dag_helpers", "get_dag_for_series")(series,
                                                                          AsInt(row_index, "row_index"));
}

nb::object DagAudit(nb::handle series, nb::handle row_index) {
  return ImportAttr("lumarq.utilities._dag_helpers", "dag_audit")(series, AsInt(row_index, "row_index"));
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
