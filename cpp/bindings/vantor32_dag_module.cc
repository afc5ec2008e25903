// lumarq.utilities.vantor32_dag: operation-level lineage on top of the provenance tracker of
// lumarq.utilities.vantor32 — node records, the computation graph, the DAG tracker, the
// DAG-tracked containers and their helper functions.
#include "dag_containers.h"
#include "dag_records.h"
#include "dag_tracker.h"
#include "dtype_dag.h"

namespace lumarq::py {
namespace {

constexpr const char* kModuleDoc =
    "VANTOR-32 DAG: operation-level lineage for tracked pandas pipelines.\n"
    "\n"
    "Every operation on tracked data can be logged as a node of a computation DAG;\n"
    "the graph behind any result value can be rebuilt, audited for protected sources\n"
    "and exported as a dict, JSON text or Graphviz DOT text.";

}  // namespace
}  // namespace lumarq::py

LUMARQ_MODULE(vantor32_dag, m) {
  using namespace lumarq::py;
  m.doc() = kModuleDoc;
  // Typing names, modules and the names taken from the sibling vantor32, in Python.
  SetVantorModule(ImportAttr("lumarq.utilities._module_init", "vantor32_dag_imports")(m));

  RegisterRecords(m);
  RegisterComputationDag(m);
  RegisterDagTracker(m);
  RegisterDagContainers(m);
  RegisterDagHelpers(m);
  RegisterDtypeDag();
}
