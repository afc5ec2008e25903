// combine_provenances, get_dag_for_series and dag_audit read best in Python
// (lumarq.utilities._dag_helpers): they hold no state, and the work is the tracker's (through its
// methods, so overrides are honoured) and the graph's. The module takes them from there.
#include "dag_containers.h"
#include "tracker.h"

namespace lumarq::py {

void RegisterDagHelpers(nb::module_& m) {
  ImportAttr("lumarq.utilities._dag_helpers", "attach")(m);
}

}  // namespace lumarq::py
