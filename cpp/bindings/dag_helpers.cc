// combine_provenances, and the entry points of get_dag_for_series and dag_audit (which read best
// in Python: lumarq.utilities._dag_helpers). They hold no state; the work is the tracker's (through
// its methods, so overrides are honoured) and the graph's.
#include "containers_support.h"
#include "dag_containers.h"
#include "tracker.h"

namespace lumarq::py {
namespace {

nb::object CombineProvenances(nb::handle tracker, nb::handle node_ids, nb::handle op_code) {
  return ImportAttr("lumarq.utilities._dag_helpers", "combine_provenances")(tracker, node_ids,
                                                                            op_code);
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
