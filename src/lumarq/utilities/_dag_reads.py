"""Reads and upkeep of a DAGTracker's graph that run rarely: the newest DAG of a provenance value,
and the paths over the `_nodes` / `_prov_to_nodes` dicts taken once the columnar store was spilled
into them or the dicts hold ids or nodes the native walks cannot place (ids of other types, nodes
of other classes, mappings that are not dicts).

The columnar store and the dict paths over plain ints stay native; the tracker's methods check
their arguments and dispatch here, so messages and overrides are as before.
"""
from __future__ import annotations

import operator
from collections import deque
from typing import Any, Dict, List, Optional

_UNSET = object()


def dag_for_provenance(tracker: Any, provenance: int) -> Any:
    """The DAG of the newest node (highest id) that produced `provenance`, or None."""
    candidates = tracker.get_nodes_for_provenance(provenance)
    if not candidates:
        return None
    best = _UNSET
    for node in candidates:
        node_id = node.node_id
        if best is _UNSET or node_id > best:
            best = node_id
    if best is _UNSET:  # an override handed back an empty iterable
        return None
    return tracker.get_dag(best)


def nodes_for_provenance(nodes: Any, prov_map: Any, provenance: int) -> List[Any]:
    ids = prov_map.get(provenance)
    if ids is None:
        return []
    out = []
    for node_id in list(ids):
        node = nodes.get(node_id)
        if node is not None:  # evicted while we read
            out.append(node)
    return out


def dag_of(nodes: Any, root_id: Any) -> Any:
    """get_dag for ids of any type: a breadth-first walk in which ids equal by Python equality
    (1, 1.0, True) are one node, named by the first of them met."""
    from lumarq.utilities.vantor32_dag import ComputationDAG, DAGEdge

    first: Dict[Any, Any] = {root_id: root_id}
    visited = set()
    queue = deque([root_id])
    found: Dict[Any, Any] = {}
    edges: List[Any] = []
    while queue:
        node_id = queue.popleft()
        if node_id in visited:
            continue
        visited.add(node_id)
        node = nodes.get(node_id)
        if node is None:
            continue
        found[node_id] = node
        for position, source in enumerate(list(node.inputs)):
            edges.append(DAGEdge(source, node_id, position))
            key = first.setdefault(source, source)
            if key not in visited:
                queue.append(key)
    return ComputationDAG(root_id, found, edges)


def count_operations(nodes: List[Any]) -> Dict[Any, int]:
    """Operation nodes per `operation`, in first-seen order (sources are not counted)."""
    counts: Dict[Any, int] = {}
    for node in nodes:
        if not node.is_source:
            counts[node.operation] = counts.get(node.operation, 0) + 1
    return counts


def dag_stats(nodes: Any, prov_map: Any) -> Dict[str, Any]:
    # A snapshot: counting may run Python code (and so let other threads create or evict
    # nodes), and the counts must describe one state.
    snapshot = list(nodes.values())
    total = len(snapshot)
    sources = sum(1 for node in snapshot if node.is_source)
    protected_nodes = protected_source_nodes = 0
    for node in snapshot:
        if node.is_protected:
            protected_nodes += 1
            if node.is_source:
                protected_source_nodes += 1
    return stats_of(total, sources, protected_nodes, count_operations(snapshot), len(prov_map),
                    protected_source_nodes)


def stats_of(total: int, sources: int, protected_nodes: int, operation_counts: Dict[str, int],
             unique_provenances: int, protected_source_nodes: int) -> Dict[str, Any]:
    """dag_stats() from its counts, made over the dicts (above) or over the columnar store."""
    return {
        "total_nodes": total,
        "source_nodes": sources,
        "protected_sources": protected_nodes,
        "operation_nodes": total - sources,
        "operation_counts": operation_counts,
        "unique_provenances": unique_provenances,
        # "protected_sources" counts every protected node (tainted operation nodes too); this
        # counts the protected source columns themselves.
        "protected_source_nodes": protected_source_nodes,
    }


def int_key(key: Any) -> Optional[int]:
    """The int a node id of another type equals as a dict key (True, 1.0, an object with
    __index__), or None when no int does."""
    try:
        return operator.index(key)
    except Exception:
        pass
    if isinstance(key, float) and key.is_integer():
        return int(key)
    return None


def remove_ids(ids: Any, removed: Any) -> None:
    """`ids.remove(node_id)` for each of `removed`, an id not there skipped: eviction's way
    through an index list holding items other than ints."""
    for node_id in removed:
        try:
            ids.remove(node_id)
        except ValueError:
            pass


def evict_oldest(nodes: Any, prov_map: Any) -> None:
    """Drops a tenth of the nodes, oldest first, sources kept, walking a snapshot of the keys."""
    from lumarq.utilities.vantor32_dag import NodeType

    source = NodeType.SOURCE
    evict_count = len(nodes) // 10
    evicted = 0
    for key in list(nodes):
        if evicted >= evict_count:
            break
        node = nodes.get(key)
        if node is None:  # removed meanwhile
            continue
        kind = node.node_type
        if kind is source or kind == source:
            continue
        del nodes[key]
        provenance = node.provenance
        ids: Optional[Any] = prov_map.get(provenance)
        if ids is not None:
            try:
                ids.remove(key)
            except ValueError:
                pass
            if not ids:
                del prov_map[provenance]
        evicted += 1
