// Registration of the DAG-tracked containers and the DAG helper functions of
// lumarq.utilities.vantor32_dag.
#pragma once

#include "common.h"

namespace lumarq::py {

/// DAGTrackedSeries, DAGTrackedDataFrame and wrap_dataframe_dag. Call after RegisterDagTracker.
void RegisterDagContainers(nb::module_& m);
/// combine_provenances, get_dag_for_series and dag_audit.
void RegisterDagHelpers(nb::module_& m);

}  // namespace lumarq::py
