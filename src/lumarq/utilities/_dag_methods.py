"""DAGTracker methods that run a few times per pipeline or per export: the context manager and
the finaliser, switching persistence off, flush, starting the next pipeline, the fairness report,
log_merge, the source node of a column, the DAG of a provenance value and the exports; and the
repr and pickling refusal of its lock.

They are set on the native classes while the extension module initialises, so subclasses and
instance attributes override them as before; the work they dispatch to lives in the lifecycle
(`_dag_storage`) and read (`_dag_reads`) modules. Node creation, the walks and row values stay
native.
"""
from __future__ import annotations

import inspect
import threading
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Union

from . import _dag_reads, _dag_storage
from ._tracker_reads import _as_int, _exactly
from ._tracker_reads import _refuse as _incorrect_type

# Guards a pipeline's start and source-node creation (reentrant: overrides may call back).
_SOURCES = threading.RLock()

if TYPE_CHECKING:
    import pandas

    from .vantor32_dag import ComputationDAG

# The native `_columnar` getter checks its argument as every native method does: a TypeError for
# objects that are not DAGTrackers and for trackers whose __init__ did not run.
_check_self: Any = None


def _int_result(value: Any) -> Any:
    """An override's result as the native methods return it: an int, or None as it is."""
    return value if value is None or type(value) is int else int(value)


def _as_seconds(timeout: Any) -> float:
    """A float argument as the native methods take one: floats and objects with __float__ or
    __index__ (float() alone would also parse text)."""
    kind = type(timeout)
    if isinstance(timeout, float) or hasattr(kind, "__float__") or hasattr(kind, "__index__"):
        try:
            return float(timeout)
        except Exception:
            pass
    raise _incorrect_type("timeout", "float", timeout)


# ---------------------------------------------------------------- DAGTracker

def __enter__(self):
    return self


def __exit__(self, exc_type, exc_val, exc_tb):
    return _dag_storage.exit_pipeline(self, exc_type)


def __del__(self) -> None:
    # The lifecycle module is reached through this module's globals, not imported here: a tracker
    # still alive when the interpreter exits is finalised after the import system is gone.
    try:
        self.disable_persistence()
    except Exception:
        pass


def disable_persistence(self) -> None:
    """Stop the writer, complete the pipeline and disconnect from storage."""
    _dag_storage.disable_persistence(self)


def flush(self, timeout: float = 30.0) -> bool:
    """Hand buffered rows to the writer and wait for it; write the DAG and report to the
    dashboard once per pipeline. Returns True."""
    return bool(_dag_storage.flush(self, _as_seconds(timeout)))


def _start_new_pipeline(self) -> None:
    """Complete the current storage pipeline and start a new one."""
    _dag_storage.start_new_pipeline(self)


def report_fairness(self, df: pandas.DataFrame, outcome: str, protected: Union[str, List[str]], favorable: Any = 1,
                    labels: Optional[str] = None, reference: Any = None, bins: Any = None,
                    model: Optional[Dict[str, str]] = None) -> Dict[str, Any]:
    """Measure fairness of the decision `outcome` over the protected columns of `df`
    (lumarq.fairness_report), keep it with the column risk report of a tracked `df` and
    the given model fields, and send it with the next dashboard report."""
    _check_self(self)
    from lumarq.fairness import tracker_report

    report = tracker_report(self, df, outcome, protected, favorable=favorable, labels=labels,
                            reference=reference, bins=bins, model=model)
    # A report already sent for this pipeline goes out again with the metrics at the next flush.
    self._fairness_report = report
    self._dashboard_synced = False
    return report


def log_merge(self, left_nodes: List[int], right_nodes: List[int], result_prov: int, merge_type: str = "inner",
              metadata: Optional[Dict[str, Any]] = None) -> int:
    """Log a merge operation and return the new node ID."""
    _exactly(left_nodes, list, "left_nodes")
    _exactly(right_nodes, list, "right_nodes")
    provenance = _as_int(result_prov, "result_prov")
    _exactly(merge_type, str, "merge_type")
    if metadata is not None:
        _exactly(metadata, dict, "metadata")
    from .vantor32_dag import NodeType

    merged = {"merge_type": merge_type}
    if metadata:
        merged.update(metadata)
    # One snapshot of both lists: the ids are read once, in operand order.
    node_id = self._create_node(node_type=NodeType.MERGE, operation="merge_" + merge_type,
                                inputs=left_nodes + right_nodes, provenance=provenance, metadata=merged)
    return _int_result(node_id)


def create_source_node(self, table: str, column: str, provenance: int) -> int:
    """Create (or return the existing) source node for a (table, column) pair."""
    _exactly(table, str, "table")
    _exactly(column, str, "column")
    provenance = _as_int(provenance, "provenance")
    _check_self(self)
    if not table or not column:
        raise ValueError("table and column must be non-empty strings")
    # Threads registering sources at once: one of them starts the next pipeline (each had
    # completed the current one and opened its own, leaving pipelines running for ever) and
    # one source node is made per column.
    with _SOURCES:
        if self._dashboard_synced:
            self._start_new_pipeline()
        # A run opens at the first source; the lifecycle module posts START when none is open.
        if self._openlineage_url:
            _dag_storage._emit_run_event(self, "START")
        key = (table, column)
        known = self._source_nodes
        if key in known:
            return _int_result(known[key])
        from .vantor32_dag import NodeType

        # Through the method, which an override of _create_node replaces.
        node_id = self._create_node(node_type=NodeType.SOURCE, operation=table + "." + column,
                                    inputs=[], provenance=provenance, table=table,
                                    column=column, pair_id=self.get_id(table, column),
                                    is_protected=bool(self.is_protected(table, column)))
        self._source_nodes[key] = node_id
        return _int_result(node_id)


def get_dag_for_provenance(self, provenance: int) -> Optional[ComputationDAG]:
    """Reconstruct the DAG for the newest node that produced a provenance value."""
    return _dag_reads.dag_for_provenance(self, _as_int(provenance, "provenance"))


def to_prov(self, pipeline: Union[str, int, None] = None) -> Dict[str, Any]:
    """Export every tracked node as a W3C PROV-JSON document (a dict); `pipeline`
    names the pipeline agent instead of the tracker's own pipeline."""
    _check_self(self)
    from lumarq.lineage import tracker_to_prov

    return tracker_to_prov(self, pipeline)


def to_openlineage(self, namespace: str, job_name: str, run_id: Optional[str] = None,
                   outputs: Optional[Dict[str, Any]] = None) -> List[Dict[str, Any]]:
    """The START and COMPLETE OpenLineage run events of the tracked computation, as dicts
    (needs the openlineage extra)."""
    _check_self(self)
    from lumarq.lineage import tracker_to_openlineage

    return tracker_to_openlineage(self, namespace, job_name, run_id, outputs)


_native_setstate: Any = None


def __setstate__(self, state: Dict[str, Any]) -> None:
    # The copy carries no persistence, so its buffered rows name no pipeline: the one the
    # copy's owner opens takes them, rather than whichever pipeline has the original's id in
    # that store.
    buffer = state.get("_value_buffer") if isinstance(state, dict) else None
    if type(buffer) is list and buffer:
        state = dict(state)
        state["_value_buffer"] = [r._replace(pipeline_id=0) if getattr(r, "pipeline_id", 0) and
                                  hasattr(r, "_replace") else r for r in buffer]
    _native_setstate(self, state)


_TRACKER_METHODS = (__enter__, __exit__, __del__, disable_persistence, flush, _start_new_pipeline,
                    report_fairness, log_merge, create_source_node, get_dag_for_provenance, to_prov,
                    to_openlineage, __setstate__)


# ---------------------------------------------------------------- DAGLock

def _lock_repr(self) -> str:
    state = "locked" if _lock_locked(self) else "unlocked"
    return "<%s %s object at %#x>" % (state, type(self).__name__, id(self))


def _lock_reduce(self):
    raise TypeError("cannot pickle 'DAGLock' object")


_lock_locked: Any = None


def attach(tracker_cls: Any, lock_cls: Any) -> None:
    """Sets the methods above on DAGTracker and its lock type (called once, by the extension
    module)."""
    global _check_self, _lock_locked, _native_setstate
    _check_self = tracker_cls.__dict__["_columnar"].fget
    _native_setstate = tracker_cls.__dict__["__setstate__"]
    _lock_locked = lock_cls.__dict__["locked"]
    for fn in _TRACKER_METHODS:
        if fn.__doc__:
            fn.__doc__ = inspect.cleandoc(fn.__doc__)
        fn.__module__ = tracker_cls.__module__
        fn.__qualname__ = "%s.%s" % (tracker_cls.__name__, fn.__name__)
        setattr(tracker_cls, fn.__name__, fn)
    for name, fn in (("__repr__", _lock_repr), ("__reduce__", _lock_reduce)):
        fn.__module__ = lock_cls.__module__
        fn.__name__ = name
        fn.__qualname__ = "%s.%s" % (lock_cls.__name__, name)
        setattr(lock_cls, name, fn)
