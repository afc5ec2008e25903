// DAGTracker: the provenance tracker that logs every operation as a node of a computation graph.
//
// State lives in Python objects under the documented attribute names, as for ProvenanceTracker.
// Node creation is serialised by `_dag_lock`, a non-reentrant lock that is never waited on while
// the GIL is held. Methods that call other tracker methods go through dispatch: the native code
// runs directly unless a Python subclass or an instance attribute overrides the method.
//
// Per-row loops in C++ (the DAG-tracked containers) create nodes through CreateNodeFast after
// checking once per operation that nothing on the path is overridden.
#pragma once

#include <cstdint>
#include <array>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "lumarq/id_map.h"
#include "lumarq/node_store.h"
#include "lumarq/recorded_rows.h"
#include "lumarq/row_kernels.h"
#include "lumarq/row_value_columns.h"
#include "lumarq/tracker_bookkeeping.h"
#include "lumarq/wait_lock.h"

#include "dag_records.h"
#include "tracker.h"

namespace lumarq::py {

/// The lock behind `_dag_lock` and `_value_buffer_lock`, with the interface of threading.Lock.
/// Acquire first tries without blocking; it waits only with the GIL released, so a thread that
/// holds the lock and needs the GIL (to call back into Python) can always proceed.
class DagLock : public lumarq::WaitLock {
 public:
  /// Blocks until acquired or `timeout_s` (< 0: no limit) passes. Call with the GIL held: it is
  /// released around each wait, and pending signals are handled between waits.
  bool Acquire(bool blocking = true, double timeout_s = -1.0);
};

class DagTracker : public ProvenanceTracker {
 public:
  DagTracker(nb::handle api_key, nb::handle tenant_id, nb::handle service_url,
             nb::handle pipeline_name);

  int Traverse(visitproc visit, void* arg) override;
  void Clear() override;

  // The state behind the documented attribute names, with the defaults of a new tracker (the
  // locks and the constructor's arguments are set by the constructor).
  nb::object dag_lock;                                // _dag_lock
  nb::object nodes = nb::dict();                      // _nodes: id -> DAGNode, in creation order
  nb::object next_node_id = nb::int_(0);              // _next_node_id
  nb::object value_buffer = nb::list();               // _value_buffer
  nb::object value_buffer_lock;                       // _value_buffer_lock
  nb::object value_flush_threshold = nb::int_(5000);  // _value_flush_threshold
  nb::object nodes_persisted = nb::bool_(false);      // _nodes_persisted
  nb::object max_nodes = nb::int_(500000);            // _max_nodes
  nb::object prov_to_nodes = nb::dict();              // _prov_to_nodes: provenance -> [node ids]
  nb::object source_nodes = nb::dict();               // _source_nodes: (table, column) -> node id
  nb::object writer = nb::none();                     // _writer
  nb::object storage = nb::none();                    // _storage
  nb::object pipeline_id = nb::none();                // _pipeline_id
  nb::object pipeline_name;                           // _pipeline_name
  nb::object api_key;                                 // _api_key
  nb::object tenant_id;                               // _tenant_id
  nb::object service_url;                             // _service_url
  nb::object dashboard_synced = nb::bool_(false);     // _dashboard_synced

  bool rows_dropped_warned = false;  // the memory-only row bound has warned once
  bool persistence_checked = false;  // a URL without a key has been looked for (first node)

  nb::object nodes_written;    // _nodes_written: unset (AttributeError) until first assigned
  nb::object edges_written;    // _edges_written: likewise
  nb::object failed_pipeline;  // the pipeline id completed as "failed": never completed again
  // _fairness_report: report_fairness() result for the dashboard, or None
  nb::object fairness_report = nb::none();
  bool plaintext_warned = false;  // the dashboard report over plain http has warned once

  nb::object openlineage_url = nb::none();     // _openlineage_url: where run events go, or None
  nb::object openlineage_run_id = nb::none();  // _openlineage_run_id: the run a START was sent for
  nb::object store_failures = nb::int_(0);     // _store_failures: failed store steps (logged)
  nb::object records_lost = nb::int_(0);       // _records_lost: records a stopped writer gave up
  nb::object writer_totals = nb::none();       // _writer_totals: counts of the writers stopped

  // The nodes as columns while nobody holds the node map (see dag_store.cc); null once spilled.
  std::unique_ptr<lumarq::NodeStore> store = std::make_unique<lumarq::NodeStore>();
  lumarq::IdMap<nb::object> handed_out;  // node id -> the DAGNode made for a stored row
  std::vector<nb::object> texts;       // interned text id -> its str object
  nb::object last_text;                // the last text interned, and its id (one op per loop)
  uint32_t last_text_id = 0;
  nb::object last_word;                // the last word made into an int for a node, and its value:
  uint32_t last_word_value = 0;        // the rows of one operation mostly share it
  // Numeric row values recorded without a writer, as columns (see BufferNumericRows): they come
  // after `value_buffer`'s records and become records when anything else needs the buffer.
  // Texts are store text ids; contexts are (pipeline id, tenant id, record type). Off for good
  // once `_value_buffer` itself is handed out or replaced.
  lumarq::RowValueColumns row_columns;
  std::vector<std::array<nb::object, 3>> row_contexts;
  bool row_columns_off = false;
  lumarq::OpClock clock;  // node timestamps
};

// ---------------------------------------------------------------- columnar node store

/// Moves every stored node into `_nodes` and `_prov_to_nodes` as DAGNode objects, for good.
void SpillStore(DagTracker& t);
/// Fills `map` and `prov_map` as `_nodes` and `_prov_to_nodes` would be after a spill, leaving
/// the store as it is (for a snapshot such as the pickled state).
void StoreAsDicts(DagTracker& t, nb::handle map, nb::handle prov_map);
/// {id: node} of the stored nodes in id order, leaving the store in place (for the tracker's own
/// reads: spilling would put every later operation on the slow path of dicts); `_nodes` when
/// the nodes are dicts already. With `protected_rows`, only the nodes handed out come back (the
/// only ones that can name a table and column) and it is set when another stored row is protected.
nb::object NodesToRead(DagTracker& t, bool* protected_rows = nullptr);
/// `_prov_to_nodes[provenance].append(node_id)`, creating the list on first use.
void IndexProvenance(nb::handle prov_map, nb::handle provenance, nb::handle node_id);
/// Text ids of the store's string table (UINT32_MAX for a text it cannot hold) and back.
uint32_t InternText(DagTracker& t, nb::handle text);
nb::object TextOf(DagTracker& t, uint32_t id);
/// The DAGNode of a stored row: the one handed out before, else a new one (kept with `keep`).
nb::object MaterializeRow(DagTracker& t, const lumarq::NodeView& v, bool keep);
/// The DAGNode handed out for stored row `id`, or an invalid object.
nb::object HandedOut(DagTracker& t, int64_t id);
/// The node with id `id` from the store (kept, so it comes back the same), or None.
nb::object StoreNode(DagTracker& t, nb::handle id, bool keep);
/// Appends a row for a node that needs no object; false when the store cannot take it.
bool StoreAppendPlain(DagTracker& t, int64_t id, NodeKind kind, nb::handle op,
                      std::span<const int64_t> inputs, uint32_t word, bool is_protected);
/// Appends a row for a node object, which is kept; false when the store cannot take it.
bool StoreAppendObject(DagTracker& t, int64_t id, nb::handle node);
/// Drops a tenth of the stored nodes, oldest first, sources kept. The node objects handed out
/// for them go to `released` when given (to be dropped once no Python code may interfere).
void StoreEvict(DagTracker& t, std::vector<nb::object>* released = nullptr);
/// The methods get_node, get_nodes_for_provenance, get_dag and dag_stats.
nb::object GetNode(nb::handle self, nb::handle node_id);
nb::object GetNodesForProvenance(nb::handle self, nb::handle provenance);
nb::object GetDag(nb::handle self, nb::handle root_node_id);
nb::object DagStats(nb::handle self);
/// Gives str(name) as metadata["column"] to the operation nodes among `ids` (negative ids and
/// repeats allowed) that have no name yet, in the store or, for a tracker on dicts, in `_nodes`.
void NameNodeIds(nb::handle tracker, std::span<const int64_t> ids, nb::handle name);
/// The provenance of a stored node for an edge record (the word the store kept once it was
/// evicted), or an invalid object when absent.
nb::object StoreInputProvenance(DagTracker& t, nb::handle id);

/// The Python type object of DAGTracker.
PyTypeObject* DagTrackerType();
/// The tracker behind `obj`, or nullptr when it is not an initialised DAGTracker.
DagTracker* DagTrackerPtr(nb::handle obj);

// ---------------------------------------------------------------- C++ entry points

/// True when `tracker.log_unary(...)` / `tracker.log_binary(...)` would run the native
/// implementation end to end: `tracker` is a DAGTracker, and neither the log method nor
/// `_create_node` is overridden by a subclass or shadowed by an instance attribute. Check once per
/// operation, then create the operation's nodes with CreateNodeFast.
bool LogUnaryIsNative(nb::handle tracker);
bool LogBinaryIsNative(nb::handle tracker);

/// Creates one node exactly as the log methods do with no metadata: kind `kind`, operation
/// `op_name` (a str, not checked again), a new inputs list of `inputs[0..n_inputs)` (kept natively
/// until read), provenance `provenance`. Runs _create_node natively: takes `_dag_lock`, draws the
/// id, marks the node protected when the provenance is tainted (honouring an `is_tainted`
/// override), indexes it, calls `self._persist_node(node)` while `_writer` is truthy and evicts
/// past `_max_nodes` (through `_evict_oldest_nodes` when overridden). Returns the new id; a Python
/// exception propagates as nb::python_error with the lock released. Requires a DAGTracker (use
/// the *IsNative checks first) and the GIL.
int64_t CreateNodeFast(nb::handle tracker, NodeKind kind, nb::handle op_name, const int64_t* inputs,
                       size_t n_inputs, uint32_t provenance);
/// As above, with the provenance given as an exact int below 2**32, which the node keeps (a
/// caller that records the row too can share the one object with the record).
int64_t CreateNodeFast(nb::handle tracker, NodeKind kind, nb::handle op_name, const int64_t* inputs,
                       size_t n_inputs, nb::handle provenance);

/// Creates the nodes of one operation straight into the columnar store, with `_dag_lock` taken
/// once per block: for a DAGTracker that holds its nodes in the store and has no override. With
/// a writer attached, the new nodes go to it as column slices (before each eviction and at the
/// end of the block) when it takes them; ok() is false otherwise, and callers use
/// CreateNodeFast per row.
class NodeAppender {
 public:
  explicit NodeAppender(nb::handle tracker);
  bool ok() const { return t_ != nullptr; }
  /// Nodes of `kind` for rows 0..n: inputs[r * arity ..] and words[r]; their ids to ids_out[r].
  /// Eviction runs as rows pass the bound, as for single nodes.
  void Append(NodeKind kind, nb::handle op, size_t n, const int64_t* inputs, size_t arity,
              const uint32_t* words, int64_t* ids_out);
  /// Runs `body` with `_dag_lock` held and a target for nodes of `kind` and `op` in the store
  /// (eviction included; objects it releases are dropped after the lock). False, with nothing
  /// run, when the tracker's state no longer allows it: callers then go node by node.
  bool Run(NodeKind kind, nb::handle op, const std::function<void(lumarq::NodeTarget&)>& body);

 private:
  nb::handle tracker_;
  DagTracker* t_ = nullptr;
  bool ship_ = false;  // a writer is attached: blocks go to it as column slices
};

/// Warns (once per tracker) that memory-only row values were dropped by the buffer's bound.
void WarnRowsDropped(nb::handle tracker);

/// Builds StoredRowValue records. The record type is imported once per operation; when it is the
/// storage component's 8-field tuple type, records are built as tuples of that type directly,
/// otherwise through a keyword call.
class RowRecordMaker {
 public:
  /// Imports StoredRowValue from lumarq.utilities.persistence.storage (ImportError propagates).
  RowRecordMaker();
  /// Records of type `cls`.
  explicit RowRecordMaker(nb::object cls);
  nb::handle cls() const { return cls_; }
  nb::object Make(nb::handle pipeline_id, nb::handle row_index, nb::handle fingerprint,
                  nb::handle operation, nb::handle value, nb::handle column_name,
                  nb::handle tenant_id, nb::handle text_value) const;

 private:
  nb::object cls_;
  bool tuple_fields_ = false;
};

/// Memory-only bound of the row-value buffer: the newest records are kept.
inline constexpr Py_ssize_t kMemoryOnlyRowLimit = 100000;

/// True when `tracker.record_row_value(...)` would run the native implementation.
bool RecordRowValueIsNative(nb::handle tracker);

/// record_row_value(row_index, fingerprint, operation, value, column_name) exactly as the method
/// does, for a tracker where RecordRowValueIsNative holds. `operation` must be a str and
/// `column_name` a str or None (not checked again). With `defer_trim`, a memory-only buffer may
/// run up to 1/16 over its bound until TrimRowBuffer is called (once per operation), which keeps
/// the cost per row constant.
void RecordRowValueFast(nb::handle tracker, const RowRecordMaker& maker, int64_t row_index,
                        uint32_t fingerprint, nb::handle operation, nb::handle value,
                        nb::handle column_name, bool defer_trim = false);
/// As above, with the row index and fingerprint given as int objects (kept by the record).
void RecordRowValueFast(nb::handle tracker, const RowRecordMaker& maker, nb::handle row_index,
                        nb::handle fingerprint, nb::handle operation, nb::handle value,
                        nb::handle column_name, bool defer_trim = false);
/// Cuts a memory-only buffer back to its bound (oldest records dropped, warning once).
void TrimRowBuffer(nb::handle tracker);

/// Turns the row-value columns into records at the end of `_value_buffer`. Call with
/// `_value_buffer_lock` held where the buffer is about to be read or handed over.
void SettleRowColumns(DagTracker& t);

/// The recorded rows among the last of `n` (`Recorded(i)`: whether row i is recorded), at most
/// `keep` of them, appended to the row-value columns of a tracker without a writer, with the
/// buffer then cut back to its bound. `dropped`: recorded rows left out for the bound. False,
/// with nothing recorded, when the rows must go as records.
bool AppendRowColumns(nb::handle tracker, const RowRecordMaker& maker, nb::handle operation,
                      nb::handle column_name, const std::vector<int64_t>& rows,
                      const std::vector<uint32_t>& words, const std::vector<double>& values,
                      bool dropped);

/// Memory-only recording of a numeric column of values (see RecordNumericRows) as row-value
/// columns: only the newest rows the bound keeps, with `later` more rows to be recorded after
/// these in the same operation. False, with nothing recorded, when the rows must go as records.
template <class Values>
bool BufferNumericRows(nb::handle tracker, const RowRecordMaker& maker, nb::handle operation,
                       nb::handle column_name, const uint32_t* words, const Values& values,
                       size_t n, size_t later = 0) {
  DagTracker* t = DagTrackerPtr(tracker);
  if (t == nullptr || t->row_columns_off || !t->store || n == 0 || !t->writer.is_valid() ||
      AsBool(t->writer)) {
    return false;
  }
  const size_t keep = later < static_cast<size_t>(kMemoryOnlyRowLimit)
                          ? static_cast<size_t>(kMemoryOnlyRowLimit) - later
                          : 0;
  const NewestRecorded w = NewestRecordedRows(values, n, keep);
  const RecordedRows r = CollectRecorded(words, values, w.start, n, w.kept);
  return AppendRowColumns(tracker, maker, operation, column_name, r.rows, r.words, r.values,
                          w.dropped);
}

/// The numeric row values of one operation, for a tracker where RecordRowValueIsNative holds:
/// rows[k], words[k] and values[k] of each recorded row. With a writer attached, the buffer is
/// topped up to its threshold with records and handed over, whole threshold-sized batches go to
/// the writer as row-value columns, and the rest stays in the buffer as records: the writer and
/// the buffer see what recording row by row gives, without a record per row. A failure while
/// handing over leaves the rows not yet sent in the buffer and is swallowed, as row by row.
/// False, with nothing recorded, when rows must be recorded one by one (no writer, a writer
/// without column batches, too few rows for a whole batch, ...).
/// With `texts`, a row whose entry is set records that text and no number (values[k] unused).
bool RecordRowColumns(nb::handle tracker, const RowRecordMaker& maker, nb::handle operation,
                      nb::handle column_name, const std::vector<int64_t>& rows,
                      const std::vector<uint32_t>& words, const std::vector<double>& values,
                      const std::vector<nb::object>* texts = nullptr);

/// float(value) for the numeric field of a row value; str(value) for the text field when float()
/// refuses it; both None for None.
void SplitValue(nb::handle value, nb::object* numeric, nb::object* text);

/// RecordRowColumns for the rows of a numeric column of values (`Recorded(i)`: whether row i is
/// recorded; `Number(i)`: its value) with fingerprints `words`; false, with nothing recorded,
/// when the rows must be recorded one by one.
template <class Values>
bool RecordNumericRows(nb::handle tracker, const RowRecordMaker& maker, nb::handle operation,
                       nb::handle column_name, const uint32_t* words, const Values& values,
                       size_t n) {
  if (n == 0 || !AsBool(GetAttr(tracker, "_writer"))) return false;
  const RecordedRows r = CollectRecorded(words, values, 0, n, n);
  try {
    return RecordRowColumns(tracker, maker, operation, column_name, r.rows, r.words, r.values);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return false;  // raised before anything was recorded: row by row tells the same story
  }
}

namespace dag_internal {
/// The DAGTracker behind `self`: TypeError for other objects and for trackers whose __init__
/// did not run.
DagTracker& Self(nb::handle self);
/// The attribute's object; AttributeError once the collector has cleared it.
nb::object Need(const nb::object& o, const char* name);
/// UsesNative against DAGTracker.
bool Native(nb::handle self, const char* name);
}  // namespace dag_internal

/// Registers DAGTracker (and its lock type) on the module lumarq.utilities.vantor32_dag.
void RegisterDagTracker(nb::module_& m);

}  // namespace lumarq::py
