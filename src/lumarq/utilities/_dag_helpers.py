"""`combine_provenances`, `get_dag_for_series` and `dag_audit`: short ways from a tracked result to its history. They
hold no state; the work is the tracker's (through its methods, so overrides are honoured) and the
graph's. vantor32_dag takes them as its own functions while it initialises (`attach`)."""

from __future__ import annotations

import inspect
from typing import Any, Dict, List, Tuple

from ._audits import NO_TRACKER, audited, row_report
from ._dag_storage import type_name
from ._tracker_reads import _as_int


def combine_provenances(tracker: Any, node_ids: Any, op_code: Any = None) -> Any:
    """Fold the provenance values of several graph nodes into one (unknown ids are skipped)."""
    # The values are folded with `tracker.combine`; evicted ids count as unknown.
    if op_code is None:
        # Read at each call, so a replaced OpCode of vantor32 is the one used.
        from lumarq.utilities import vantor32

        op_code = vantor32.OpCode.CUSTOM
    result: Any = 0
    for node_id in node_ids:
        node = tracker.get_node(node_id)
        if node is None:
            continue
        provenance = node.provenance
        if result == 0:
            result = provenance
        else:
            # An override's result is taken as an int, as the native calls take it.
            result = tracker.combine(result, provenance, op_code)
            if result is not None and type(result) is not int:
                result = int(result)
    return result


def _dag_for_row(series: Any, row: int) -> Any:
    tracker = series._tracker
    if not tracker:
        return None
    nodes = getattr(series, "_node_ids", None)
    if nodes is None:
        return None
    # A negative row counts from the end, as numpy indexing does.
    if row >= len(nodes):
        return None
    node_id = int(nodes[row])
    return None if node_id < 0 else tracker.get_dag(node_id)


def get_dag_for_series(series: Any, row_index: Any = 0) -> Any:
    """Reconstruct the computation DAG behind one row of a DAGTrackedSeries (None when the
    row has no node)."""
    row_index = _as_int(row_index, "row_index")
    from lumarq.dtype import _audit_view

    view = _audit_view(series)
    if not hasattr(view, "_tracker"):
        raise TypeError("get_dag_for_series expects a DAGTrackedSeries (a column of a wrapped frame), got %s"
                        % type_name(view))
    return _dag_for_row(view, row_index)


def _source_pairs(nodes: Any) -> List[Tuple[Any, Any]]:
    return [(node.table, node.column) for node in nodes]


def dag_audit(series: Any, row_index: Any = 0) -> Dict[str, Any]:
    """Explain one row's provenance value and summarise its computation DAG."""
    row_index = _as_int(row_index, "row_index")
    found = audited(series)
    if found is None:
        return dict(NO_TRACKER)
    view, tracker = found
    prov = int(view._prov[row_index])
    info = tracker.decode_full(prov)
    dag = _dag_for_row(view, row_index)
    out = row_report(tracker, prov, info, tracker.get_mode(prov))
    if dag:
        out["dag"] = {
            "depth": dag.depth,
            "node_count": len(dag.nodes),
            "operation_counts": dag.operation_counts,
            "sources": _source_pairs(dag.source_nodes),
            "protected_sources": _source_pairs(dag.protected_sources),
        }
    return out


def attach(module: Any) -> None:
    """Sets the three functions on `module` (vantor32_dag, once, while it initialises)."""
    for fn in (combine_provenances, get_dag_for_series, dag_audit):
        fn.__doc__ = inspect.cleandoc(fn.__doc__)
        fn.__module__ = module.__name__
        setattr(module, fn.__name__, fn)
