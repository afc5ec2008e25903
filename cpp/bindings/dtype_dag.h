// The DAG channel of the provenance dtype: node logging for whole arrays of rows.
#pragma once

#include "common.h"

namespace lumarq::py {

inline constexpr const char* kDtypeDagModule = "lumarq.utilities._vantor32_dtype_dag";

/// The module kDtypeDagModule (_log_rows, _log_groups, _record_rows, _name_nodes), put in
/// sys.modules. Call after RegisterDagTracker.
void RegisterDtypeDag();

}  // namespace lumarq::py
