// Registration entry points of the parts that make up lumarq.utilities.vantor32.
#pragma once

#include "common.h"

namespace lumarq::py {

/// TrackedSeries, TrackedDataFrame and wrap_dataframe.
void RegisterTrackedContainers(nb::module_& m);
/// audit, audit_series_diversity, provenance_entropy, column_risk_report.
void RegisterAudits(nb::module_& m);

}  // namespace lumarq::py
