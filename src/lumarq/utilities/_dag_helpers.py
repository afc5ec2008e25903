"""`get_dag_for_series` and `dag_audit`: short ways from a tracked result to its history. They
hold no state; the work is the tracker's (through its methods, so overrides are honoured) and the
graph's."""

from __future__ import annotations

from typing import Any, Dict, List, Tuple

from ._dag_storage import type_name

_NO_TRACKER = {"error": "No tracker or empty series"}


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


def get_dag_for_series(series: Any, row_index: int) -> Any:
    from lumarq.dtype import _audit_view

    view = _audit_view(series)
    if not hasattr(view, "_tracker"):
        raise TypeError("get_dag_for_series expects a DAGTrackedSeries (a column of a wrapped frame), got %s"
                        % type_name(view))
    return _dag_for_row(view, row_index)


def _source_pairs(nodes: Any) -> List[Tuple[Any, Any]]:
    return [(node.table, node.column) for node in nodes]


def dag_audit(series: Any, row_index: int) -> Dict[str, Any]:
    from lumarq.dtype import _audit_view

    view = _audit_view(series)
    if not (hasattr(view, "_tracker") and hasattr(view, "_prov")):  # untracked input
        return dict(_NO_TRACKER)
    tracker = view._tracker
    if not tracker or len(view) == 0:
        return dict(_NO_TRACKER)
    prov = int(view._prov[row_index])
    info = tracker.decode_full(prov)
    dag = _dag_for_row(view, row_index)
    pairs = info.pairs
    out: Dict[str, Any] = {
        "provenance": "0x%s" % format(prov, "08X"),
        "mode": tracker.get_mode(prov),
        "pair_count": len(pairs),
        "pair_ids": sorted(pairs),
        "columns": tracker.explain(prov),
        "tables": tracker.explain_tables(prov),
        "entity": info.entity,
        "chain": info.chain,
        "taint": info.taint,
        "depth": info.depth,
        "risk": tracker.risk_score(prov),
        "has_protected": tracker.has_protected(prov),
    }
    if dag:
        out["dag"] = {
            "depth": dag.depth,
            "node_count": len(dag.nodes),
            "operation_counts": dag.operation_counts,
            "sources": _source_pairs(dag.source_nodes),
            "protected_sources": _source_pairs(dag.protected_sources),
        }
    return out
