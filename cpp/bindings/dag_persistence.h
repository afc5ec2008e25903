// Persistence of a DAGTracker: switching it on, the per-node write, the bulk writes of a whole DAG
// and of result columns, the writer statistics and the dashboard report.
//
// The storage component is imported when a method runs, never at module load. The record types
// are read from the module object that sys.modules holds at that moment, so a component replaced
// there (as tests do with fakes) is used at once.
#pragma once

#include <initializer_list>

#include "dag_tracker.h"

namespace lumarq::py {

/// `from <module> import <name>` with the interpreter's semantics and errors, without the import
/// machinery while the module is in sys.modules (looked up there on every call).
nb::object ImportName(const char* module, const char* name);

/// The Python module that holds the persistence lifecycle (switching on and off, flush, the end of
/// a pipeline, the next pipeline, statistics): it runs a few times per pipeline, so it is not
/// native.
inline constexpr const char* kLifecycle = "lumarq.utilities._dag_storage";
/// The Python module of the tracker's rare graph reads and upkeep: the DAG of a provenance value
/// and the paths over `_nodes` / `_prov_to_nodes` that the native walks cannot take.
inline constexpr const char* kReads = "lumarq.utilities._dag_reads";

/// enable_persistence(): connects the storage, creates a pipeline, starts a writer and announces
/// the registered sources. A tracker whose persistence is on switches it off first.
void EnablePersistence(nb::handle self);

/// _persist_node(node): the node record and its incoming edges, handed to the writer.
void PersistNode(nb::handle self, nb::handle node);

/// True when nodes appended in blocks can go to the writer as column slices: the tracker holds
/// its nodes in the store, has an int pipeline id, and its writer takes `write_columns`.
bool SlicesPossible(nb::handle self);

/// The stored nodes with ids in [from, to) and their incoming edges, one `GraphColumns` slice
/// handed to the writer (first node per fingerprint). Failures are logged, as for single nodes.
void PersistSlice(nb::handle self, int64_t from, int64_t to);

/// Named nodes handed to the writer again so that the store takes the names (a stored name is
/// kept; a node the store lacks is stored), one per word, as a column slice where possible: the
/// first node of each word among `ids` still held, then, under `name`, what the store kept of
/// those evicted while a writer was attached (they reached it before eviction).
void PersistNamedNodes(nb::handle self, std::span<const int64_t> ids, nb::handle name);

/// Hands a list of row-value records to the writer: as one RowValueColumns batch when the
/// writer takes `write_columns` and every record fits the columns, else `write_row_values`.
void HandRowsToWriter(nb::handle writer, nb::handle records);

/// RowValueColumns of n recorded rows of one operation (one operation text, one column name or
/// None; numeric values, or where `texts` has a set entry that text), as RowValueColumnsOf
/// gives for their records; an invalid object when the storage component offers no column
/// batches.
nb::object OperationRowColumns(int64_t pipeline_id, nb::handle op, nb::handle column,
                               const int64_t* rows, const uint32_t* words, const double* values,
                               size_t n, const nb::object* texts = nullptr);

/// _persist_dag_to_storage(): the whole DAG, deduplicated by fingerprint, with resolved edges.
void PersistDagToStorage(nb::handle self);

/// get_persistence_stats(): the writer's statistics plus the bulk-write counts, or None.
nb::object GetPersistenceStats(nb::handle self);

/// persist_to_storage(storage, pipeline_id=None) -> pipeline id used.
nb::object PersistToStorage(nb::handle self, nb::handle storage, nb::handle pipeline_id);

/// DAGTracker.persist_results(storage, pipeline_id, row_keys, outputs, source_df=None).
void PersistResults(nb::handle storage, nb::handle pipeline_id, nb::handle row_keys,
                    nb::handle outputs, nb::handle source_df);

/// _sync_to_dashboard(): the pipeline report, one JSON POST.
void SyncToDashboard(nb::handle self);
/// _protected_sources(): (whether any node is protected, the "table.column" names of the
/// protected nodes that name both, in node order, once each), for the report.
nb::object ProtectedSources(nb::handle self);

/// The exception instance behind `e` (interpreters before 3.12 may hold it unnormalised, for
/// example as the bare message text).
nb::object ExceptionOf(const nb::python_error& e);

/// logger.warning(format, args...) on the module logger of vantor32_dag.
void LogWarning(const char* format, std::initializer_list<nb::handle> args);

}  // namespace lumarq::py
