"""The pipeline lifecycle of a DAGTracker's persistence: switching it on and off, flush, the end
of a pipeline, starting the next one, and the writer's statistics. Each runs a few times per
pipeline at most.

What runs per node or per row stays native: the per-node hook, column slices, row values and the
record builders of the bulk writes. The tracker's methods dispatch here, so subclasses still
override them.
"""
from __future__ import annotations

import logging
import random
import sys
import time
import warnings
from typing import Any, Callable, Optional, Tuple

_MODULE = "lumarq.utilities.vantor32_dag"


def tracker_logger() -> logging.Logger:
    """The logger of vantor32_dag, looked up on every use: one replaced on the module is seen at
    once."""
    mod = sys.modules.get(_MODULE)
    logger = getattr(mod, "logger", None) if mod is not None else None
    return logger if logger is not None else logging.getLogger(_MODULE)


def type_name(obj: Any) -> str:
    """The name the interpreter's own messages give the type of `obj` (numpy.ndarray, Series)."""
    t = type(obj)
    if t.__module__ == "builtins" or t.__flags__ & (1 << 9):  # Py_TPFLAGS_HEAPTYPE
        return t.__name__
    return "%s.%s" % (t.__module__, t.__qualname__)


def describe_failure(storage: Any, exc: BaseException) -> Any:
    """What a log line says about a store failure: the store's own description when it has one
    (it knows which texts are secrets), else the exception."""
    if storage is not None:
        try:
            describe = getattr(storage, "describe_error", None)
            if callable(describe):
                return describe(exc)
        except Exception:
            pass
    return exc


def _count(tracker: Any, name: str, n: int) -> None:
    setattr(tracker, name, getattr(tracker, name, 0) + n)


def _store_step(tracker: Any, storage: Any, what: str, step: Callable[[], Any]) -> bool:
    """One end-of-pipeline step against the store. A failing store (down, refusing the key,
    answering errors) never ends a pipeline with an exception: the failure is logged, counted in
    `_store_failures`, and the caller goes on."""
    try:
        step()
        return True
    except Exception as exc:
        tracker_logger().warning("%s failed (non-fatal): %s", what, describe_failure(storage, exc))
        _count(tracker, "_store_failures", 1)
        return False


def _new_pipeline(tracker: Any, storage: Any) -> Any:
    return storage.create_pipeline(pipeline_name=tracker._pipeline_name or "unnamed_pipeline", config=None,
                                   git_commit=None, tenant_id=tracker._tenant_id)


# ---------------------------------------------------------------- record types
# Checked once per record type object: the native writers build records of a type that passes
# as tuples directly, and call any other type with keywords.

_ROW_FIELDS = ("pipeline_id", "row_index", "fingerprint", "node_operation", "value", "column_name",
               "tenant_id", "text_value")


def _tuple_type(cls: Any) -> bool:
    return isinstance(cls, type) and issubclass(cls, tuple)


def _are(fields: Any, names: Tuple[str, ...]) -> bool:
    """`fields` (a type's `_fields`) are exactly `names`, in order."""
    return (isinstance(fields, tuple) and len(fields) == len(names)
            and all(isinstance(f, str) and str.__eq__(f, n) is True for f, n in zip(fields, names)))


def has_row_fields(cls: Any) -> bool:
    """StoredRowValue's shape: a tuple type with its eight fields."""
    if not _tuple_type(cls):
        return False
    try:
        fields = cls._fields
    except Exception:
        return False
    return _are(fields, _ROW_FIELDS)


def is_plain_namedtuple(cls: Any, fields: Tuple[str, ...], left_out: Tuple[str, ...]) -> bool:
    """A namedtuple with exactly `fields`, its generated __new__ (defined in the class that
    defines _fields), no __init__, and None as the default of each field in `left_out`."""
    if not _tuple_type(cls) or cls.__init__ is not object.__init__:
        return False
    if not _are(getattr(cls, "_fields", None), fields):
        return False
    for klass in cls.__mro__:
        namespace = vars(klass)
        if "__new__" in namespace:
            if "_fields" not in namespace:
                return False
            break
        if "_fields" in namespace:
            return False
    defaults = getattr(cls, "_field_defaults", None)
    return all(isinstance(defaults, dict) and name in defaults and defaults[name] is None
               for name in left_out)


# ---------------------------------------------------------------- flush

def flush(tracker: Any, timeout: float) -> bool:
    """Buffered rows to the writer and wait for it; then, once per pipeline, the whole DAG and the
    dashboard report."""
    if not tracker._writer:
        return True
    _register_new_sources(tracker, tracker._writer)
    tracker._hand_buffer_to_writer()
    tracker._writer.flush(timeout=timeout)
    if not tracker._nodes_persisted and tracker._storage and tracker._pipeline_id:
        # A store that fails here (down, refusing the key, answering errors) must not fail the
        # flush: an outage is retried as the writer retries rows; then the failure is logged and
        # counted, the next flush writes the DAG again, and a pipeline that ends without it is
        # marked failed.
        try:
            _retrying_outages(tracker._writer, tracker._persist_dag_to_storage)
            tracker._nodes_persisted = True
        except Exception as exc:
            tracker_logger().warning("Failed to persist DAG to storage (non-fatal): %s",
                                     describe_failure(tracker._storage, exc))
            _count(tracker, "_store_failures", 1)
        _graph_written(tracker._writer, tracker._pipeline_id, tracker._nodes_persisted)
    if not tracker._dashboard_synced:
        tracker._sync_to_dashboard()
        tracker._dashboard_synced = True
    return True


def _expect_graph(writer: Any, pipeline_id: Any) -> None:
    """Tells the writer `flush` will write the pipeline's whole graph (a stand-in writer may
    not listen)."""
    expect = getattr(writer, "expect_graph", None)
    if callable(expect) and isinstance(pipeline_id, int):
        expect(pipeline_id)


def _graph_written(writer: Any, pipeline_id: Any, stored: bool) -> None:
    done = getattr(writer, "graph_written", None)
    if callable(done) and isinstance(pipeline_id, int):
        done(pipeline_id, stored)


def _register_new_sources(tracker: Any, writer: Any) -> None:
    """Sources registered since persistence was switched on (the usual order: a tracker made
    with a key, then `track`) reach the store's source table too; only those switching it on
    found were sent."""
    sent = getattr(writer, "_sources", None)
    if not isinstance(sent, set):  # a stand-in writer
        return
    for key, pair_id in list(tracker._name_to_id.items()):
        table, column = key[0], key[1]
        if (table, column) not in sent:
            writer.register_source(pair_id, table, column, bool(tracker.is_protected(table, column)))


def _retrying_outages(writer: Any, step: Callable[[], Any]) -> None:
    """`step`, again with backoff while the store is unavailable, for the writer's retry budget."""
    from lumarq.utilities.persistence._writer import _RETRY_FIRST_S, _RETRY_MAX_S, _is_connection_error

    budget = getattr(writer, "retry_budget", 0.0)
    budget = float(budget) if isinstance(budget, (int, float)) else 0.0  # a stand-in writer: none
    since, delay = None, _RETRY_FIRST_S
    while True:
        try:
            step()
            return
        except Exception as exc:
            now = time.monotonic()
            since = now if since is None else since
            left = since + budget - now
            if not _is_connection_error(exc) or left <= 0:
                raise
            time.sleep(min(delay * (0.5 + random.random()), left))
            delay = min(delay * 2, _RETRY_MAX_S)


# ---------------------------------------------------------------- switching on and off

def enable_persistence(tracker: Any) -> None:
    from lumarq.utilities.persistence import AsyncWriter, HostedStorage, WriterConfig

    # Persistence already on is switched off first: its writer thread and connection would
    # otherwise keep running, unreachable.
    if tracker._writer or tracker._storage:
        tracker.disable_persistence()
    tracker._storage = HostedStorage(api_url=tracker._service_url, api_key=tracker._api_key,
                                     tenant_id=tracker._tenant_id or "default")
    try:
        storage = tracker._storage
        storage.connect()
        tracker._pipeline_id = _new_pipeline(tracker, storage)
        tracker._failed_pipeline = None
        # A new pipeline gets the whole graph and its report at its first flush, as a restarted
        # one does: switched off and on again, the nodes made since would otherwise name inputs
        # the new pipeline never stored, and their edges would be lost.
        tracker._nodes_persisted = False
        tracker._dashboard_synced = False
        tracker._writer = AsyncWriter(storage, WriterConfig(batch_size=100, flush_interval=1.0,
                                                            queue_size=10000))
        writer = tracker._writer
        writer.start()
        _adopt_rows_without_pipeline(tracker, writer)
        for key, pair_id in list(tracker._name_to_id.items()):
            table, column = key[0], key[1]
            writer.register_source(pair_id, table, column, bool(tracker.is_protected(table, column)))
        if not tracker._nodes_persisted:
            _expect_graph(writer, tracker._pipeline_id)
    except Exception as exc:
        warnings.warn("Persistence initialization failed: %s\nContinuing in memory-only mode." % exc,
                      UserWarning, stacklevel=2)


class _RowCollector:
    """Stands in for the writer while the buffer is handed over: keeps the records it is given."""

    def __init__(self) -> None:
        self.records: list = []

    def write_row_values(self, records: Any) -> None:
        self.records.extend(records)


def _adopt_rows_without_pipeline(tracker: Any, writer: Any) -> None:
    """Rows recorded while no pipeline was open (a tracker used in memory first, switched off, or
    unpickled in another process) carry pipeline 0, which no store has: they were stored where no
    pipeline shows them. They belong to the new pipeline, which also takes the whole graph. Taken
    through the native hand-over, so the buffer keeps its row-value columns for later use."""
    collector = _RowCollector()
    tracker._writer = collector  # rows other threads record meanwhile are collected too
    try:
        tracker._hand_buffer_to_writer()
    finally:
        tracker._writer = writer
    pipeline = tracker._pipeline_id
    records = [r._replace(pipeline_id=pipeline)
               if isinstance(pipeline, int) and getattr(r, "pipeline_id", None) == 0
               and hasattr(r, "_replace") else r
               for r in collector.records]
    if records:
        writer.write_row_values(records)


def _marked_failed(tracker: Any, pipeline: Any) -> bool:
    """Whether this tracker completed `pipeline` as "failed": it is never reported completed."""
    failed = tracker._failed_pipeline
    return failed is not None and (failed is pipeline or failed == pipeline)


def disable_persistence(tracker: Any) -> None:
    storage = tracker._storage
    writer = tracker._writer
    if writer:
        _store_step(tracker, storage, "Stopping the persistence writer", lambda: writer.stop())
        tracker._writer = None
        # Records the writer gave up stay countable after it is gone.
        try:
            get_stats = getattr(writer, "get_stats", None)
            stats = get_stats() if callable(get_stats) else None
            lost = dict.get(stats, "lost") if isinstance(stats, dict) else None
            if isinstance(lost, int):
                _count(tracker, "_records_lost", lost)
            if isinstance(stats, dict):
                # Each `enable_persistence` starts a writer whose counts start at zero: the
                # tracker keeps those of the writers it stopped (in a native slot, which pickling
                # leaves out as it leaves out the writer), so stored rows never read as unstored.
                totals = getattr(tracker, "_writer_totals", None)
                tracker._writer_totals = _plus(totals if isinstance(totals, dict) else {}, stats,
                                               grow=True)
        except Exception:
            pass  # statistics are informative only
    if tracker._storage:
        pipeline = tracker._pipeline_id
        if pipeline is not None and not _marked_failed(tracker, pipeline):
            _store_step(tracker, storage, "Completing the pipeline",
                        lambda: storage.complete_pipeline(pipeline, status="completed"))
        _store_step(tracker, storage, "Disconnecting from storage", lambda: storage.disconnect())
        tracker._storage = None
    tracker._pipeline_id = None
    tracker._failed_pipeline = None


def _emit_run_event(tracker: Any, phase: str) -> None:
    """One OpenLineage run event when the tracker has a URL: START only when no run is open, the
    others only for an open run. The emitter logs its own failures."""
    if not tracker._openlineage_url:
        return
    if (tracker._openlineage_run_id is not None) == (phase == "START"):
        return
    from lumarq.lineage.openlineage import emit_run_event

    emit_run_event(tracker, phase)


def exit_pipeline(tracker: Any, exc_type: Any) -> bool:
    """`with tracker:` ending. Never raises for the store: every step runs, failures are logged
    and counted, and only an exception from the block itself propagates (False is returned). A
    flush that fails marks the pipeline failed as an exception from the block does."""
    storage = tracker._storage
    flushed = _store_step(tracker, storage, "Flushing at the end of the pipeline", lambda: tracker.flush())
    # A graph the store never took (its write failed past the retry budget) fails the pipeline
    # as a failed flush does: "completed" would claim a lineage that is not there.
    unwritten = bool(tracker._writer and tracker._storage and tracker._pipeline_id
                     and not tracker._nodes_persisted)
    failed = exc_type is not None or not flushed or unwritten
    if failed and tracker._storage and tracker._pipeline_id:
        store, pipeline = tracker._storage, tracker._pipeline_id
        tracker._failed_pipeline = pipeline  # even if the store fails to record it
        _store_step(tracker, store, "Marking the pipeline failed",
                    lambda: store.complete_pipeline(pipeline, status="failed"))
    _store_step(tracker, storage, "Reporting the end of the run to OpenLineage",
                lambda: _emit_run_event(tracker, "FAIL" if failed else "COMPLETE"))
    _store_step(tracker, storage, "Switching persistence off", lambda: tracker.disable_persistence())
    return False


# ---------------------------------------------------------------- warnings

def warn_if_persistence_off(tracker: Any) -> None:
    """At a tracker's first node: a storage URL without an API key would otherwise keep
    everything in memory without a word. Checked at first use rather than in __init__, so that a
    key assigned before persistence is enabled does not warn."""
    if not (tracker._service_url and not tracker._api_key and not tracker._writer):
        return
    # The warning names the line that called the tracker: past the methods written in Python
    # (create_source_node, log_merge), as the native ones leave no frame.
    level, frame = 2, sys._getframe(1)
    while frame is not None and frame.f_globals.get("__name__") == "lumarq.utilities._dag_methods":
        level, frame = level + 1, frame.f_back
    warnings.warn("DAGTracker: service_url is set but api_key is missing or empty, so persistence "
                  "is off and nothing is stored; pass api_key=... to store the graph and row "
                  "values.", UserWarning, stacklevel=level)


def warn_rows_dropped(configured: bool, limit: int) -> None:
    """The first time a tracker's memory-only row buffer drops records: a warning when
    persistence was asked for but is not attached; nobody asked, a debug line (a bounded buffer is
    what they get, quietly)."""
    if not configured:
        logging.getLogger(_MODULE).debug("Row-value buffer keeps the newest %d records in memory (no "
                                         "persistence configured); older records are dropped.", limit)
        return
    warnings.warn("Row-value buffer is full (%d records) and no storage writer is attached: dropping "
                  "the oldest records. Enable persistence to keep every row value." % limit,
                  UserWarning, stacklevel=2)


def start_new_pipeline(tracker: Any) -> None:
    """Complete the current pipeline and start the next (a source registered after a report)."""
    if not tracker._storage or not tracker._pipeline_id:
        return
    storage, pipeline = tracker._storage, tracker._pipeline_id
    storage.complete_pipeline(pipeline, status="completed")
    tracker._pipeline_id = _new_pipeline(tracker, storage)
    tracker._failed_pipeline = None
    tracker._dashboard_synced = False
    tracker._nodes_persisted = False
    _expect_graph(tracker._writer, tracker._pipeline_id)
    tracker._source_nodes.clear()
    tracker._nodes_written = 0
    tracker._edges_written = 0


# The writer's statistics that count (the rest describe the running writer: queue, journal).
_SUMMED = ("lost", "rejected", "batches_committed", "batches_retried", "batches_failed",
           "journal_spilled")
_PER_KEY = ("nodes", "edges", "row_values", "sources", "lost_by_pipeline")


def _is_count(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _plus(base: dict, extra: dict, grow: bool) -> dict:
    """`base` with `extra`'s counts added (per kind and per pipeline too); `grow` takes counts
    `base` lacks, else only those it has are added to."""
    out = dict(base)
    for key in _SUMMED + _PER_KEY:
        mine, theirs = out.get(key), extra.get(key)
        if key not in out:
            if grow and (_is_count(theirs) or isinstance(theirs, dict)):
                out[key] = dict(theirs) if isinstance(theirs, dict) else theirs
        elif _is_count(mine) and _is_count(theirs):
            out[key] = mine + theirs
        elif isinstance(mine, dict) and isinstance(theirs, dict):
            both = {**theirs, **mine}
            for name, value in theirs.items():
                if name in mine and _is_count(mine[name]) and _is_count(value):
                    both[name] = mine[name] + value
            out[key] = both
    return out


def persistence_stats(tracker: Any) -> Optional[dict]:
    writer = tracker._writer
    if not writer:
        return None
    stats = writer.get_stats()
    totals = getattr(tracker, "_writer_totals", None)
    if type(stats) is dict and isinstance(totals, dict):
        stats = _plus(stats, totals, grow=False)  # with the writers stopped before this one
    if stats:
        stats["nodes_written"] = getattr(tracker, "_nodes_written", 0)
        stats["edges_written"] = getattr(tracker, "_edges_written", 0)
    if stats is not None and type(stats) is not dict:
        raise TypeError("get_stats() returned %.200s, expected a dict or None" % type_name(stats))
    return stats
