// The DAG channel of the provenance dtype: node logging for whole arrays of rows.
#pragma once

#include "common.h"

namespace lumarq::py {

/// log_rows and log_groups on lumarq.utilities.vantor32_dag. Call after RegisterDagTracker.
void RegisterDtypeDag(nb::module_& m);

}  // namespace lumarq::py
