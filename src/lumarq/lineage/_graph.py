"""One read-only view of a computation graph, whatever it came from.

Exports read graphs from three places: a `ComputationDAG`, the whole node map
of a `DAGTracker`, and the nodes and edges of a stored pipeline. Each is turned
into a `LineageGraph` once, and every format is written from that.
"""
from __future__ import annotations

from collections import deque
from dataclasses import dataclass, field
from typing import Any, Dict, Iterable, List, Mapping, Optional, Tuple

# Where the identifiers of this system's own vocabulary live (PROV namespace,
# OpenLineage producer and custom facet schemas). They name things; nothing
# is fetched from them.
LUMARQ_URI = "https://lumarq.dev"
PROV_NAMESPACE = LUMARQ_URI + "/ns/prov#"


def producer() -> str:
    from lumarq import __version__

    return "%s/releases/%s" % (LUMARQ_URI, __version__)


@dataclass
class LineageNode:
    id: int
    kind: str  # NodeType member name
    operation: str
    inputs: List[int]
    provenance: int
    table: Optional[str] = None
    column: Optional[str] = None
    pair_id: Optional[int] = None
    is_protected: bool = False
    metadata: Dict[str, Any] = field(default_factory=dict)
    # Stored input positions, beside `inputs`: a stored node stands for every node of its word,
    # so two of its inputs can share a position. Empty: the positions are 0, 1, ...
    positions: List[int] = field(default_factory=list)

    def input_positions(self) -> List[Tuple[int, int]]:
        """(position, input id) of each input."""
        if len(self.positions) == len(self.inputs):
            return list(zip(self.positions, self.inputs))
        return list(enumerate(self.inputs))

    @property
    def is_source(self) -> bool:
        return self.kind == "SOURCE"

    @property
    def assigned_column(self) -> Optional[str]:
        """The column a derived value was assigned to, when the tracker knows it."""
        name = self.metadata.get("column") if isinstance(self.metadata, Mapping) else None
        return name if isinstance(name, str) and name else None


@dataclass
class LineageGraph:
    nodes: Dict[int, LineageNode]
    root_id: Optional[int] = None
    pipeline_name: Optional[str] = None
    pipeline_id: Optional[int] = None
    tenant: Optional[str] = None
    # (table, column) -> protected, for every registered source column
    registry: Dict[Tuple[str, str], bool] = field(default_factory=dict)
    status: Optional[str] = None
    started_at: Optional[str] = None
    completed_at: Optional[str] = None
    fairness: Optional[Dict[str, Any]] = None
    # The tracker the graph was read from (None for stored pipelines): node ids are its own.
    tracker: Any = field(default=None, repr=False, compare=False)

    # -- derived views --------------------------------------------------------------

    def ancestors(self, start: Iterable[int]) -> List[int]:
        """Ids reachable from `start` through inputs (start included), breadth first."""
        seen: Dict[int, None] = {}
        queue = deque(i for i in start if i in self.nodes)
        while queue:
            nid = queue.popleft()
            if nid in seen:
                continue
            seen[nid] = None
            queue.extend(i for i in self.nodes[nid].inputs if i in self.nodes and i not in seen)
        return list(seen)

    def columns(self) -> Dict[str, List[int]]:
        """Derived column name -> ids of the nodes assigned to it, in id order."""
        out: Dict[str, List[int]] = {}
        for nid in sorted(self.nodes):
            name = self.nodes[nid].assigned_column
            if name is not None and not self.nodes[nid].is_source:
                out.setdefault(name, []).append(nid)
        return out

    def column_lineage(self, node_ids: Iterable[int]) -> Dict[str, Any]:
        """Sources, operations (oldest first) and protection behind a set of nodes."""
        reach = self.ancestors(node_ids)
        sources = sorted({(self.nodes[i].table or "", self.nodes[i].column or "")
                          for i in reach if self.nodes[i].is_source})
        operations: Dict[str, None] = {}
        for i in sorted(reach):
            if not self.nodes[i].is_source:
                operations.setdefault(self.nodes[i].operation, None)
        protected = sorted({(self.nodes[i].table or "", self.nodes[i].column or "")
                            for i in reach if self.nodes[i].is_source and self.nodes[i].is_protected})
        # Per source: the operations on the paths from it to the given nodes.
        consumers: Dict[int, List[int]] = {}
        for i in reach:
            for j in self.nodes[i].inputs:
                consumers.setdefault(j, []).append(i)
        per_source: Dict[Tuple[str, str], List[str]] = {}
        for i in reach:
            node = self.nodes[i]
            if not node.is_source:
                continue
            seen = set()
            stack = list(consumers.get(i, []))
            while stack:
                k = stack.pop()
                if k not in seen:
                    seen.add(k)
                    stack.extend(consumers.get(k, []))
            ops = per_source.setdefault((node.table or "", node.column or ""), [])
            for k in sorted(seen):
                if self.nodes[k].operation not in ops:
                    ops.append(self.nodes[k].operation)
        return {"sources": sources, "operations": list(operations), "protected": protected,
                "nodes": len(reach), "per_source": per_source}

    def tables(self) -> Dict[str, Dict[str, bool]]:
        """Registered table -> {column: protected}, for the columns with a source node."""
        used = {(n.table, n.column) for n in self.nodes.values() if n.is_source}
        out: Dict[str, Dict[str, bool]] = {}
        for (table, column), prot in self.registry.items():
            cols = out.setdefault(table, {})
            if (table, column) in used:
                cols[column] = prot
        for n in self.nodes.values():
            if n.is_source and n.table is not None and n.column is not None:
                out.setdefault(n.table, {}).setdefault(n.column, bool(n.is_protected))
        return out


# ---------------------------------------------------------------- builders

def _node_from_record(node: Any) -> LineageNode:
    pair = node.pair_id
    return LineageNode(
        id=int(node.node_id),
        kind=node.node_type.name,
        operation=str(node.operation),
        inputs=[int(i) for i in node.inputs],
        provenance=int(node.provenance),
        table=node.table,
        column=node.column,
        pair_id=None if pair is None else int(pair),
        is_protected=bool(node.is_protected),
        metadata=dict(node.metadata) if isinstance(node.metadata, Mapping) else {},
    )


def _tracker_context(tracker: Any) -> Dict[str, Any]:
    registry: Dict[Tuple[str, str], bool] = {}
    for table, column in dict(getattr(tracker, "_id_to_name", {}) or {}).values():
        registry[(table, column)] = bool(tracker.is_protected(table, column))
    pid = getattr(tracker, "_pipeline_id", None)
    fairness = getattr(tracker, "_fairness_report", None)
    return {
        "pipeline_name": getattr(tracker, "_pipeline_name", None),
        "pipeline_id": None if pid is None else int(pid),
        "tenant": getattr(tracker, "_tenant_id", None),
        "registry": registry,
        "fairness": fairness if isinstance(fairness, Mapping) else None,
    }


def from_dag(dag: Any) -> LineageGraph:
    nodes = {int(k): _node_from_record(n) for k, n in dict(dag.nodes).items()}
    return LineageGraph(nodes=nodes, root_id=int(dag.root_id))


def from_tracker(tracker: Any, pipeline: Any = None) -> LineageGraph:
    # A DAGTracker's snapshot leaves its columnar store in place; `_nodes` would not.
    held = tracker._node_snapshot() if hasattr(tracker, "_node_snapshot") else tracker._nodes
    nodes = {int(n.node_id): _node_from_record(n) for n in list(held.values())}
    ctx = _tracker_context(tracker)
    if isinstance(pipeline, str):
        ctx["pipeline_name"] = pipeline
    elif pipeline is not None:
        ctx["pipeline_id"] = int(pipeline)
    root = max(nodes) if nodes else None
    return LineageGraph(nodes=nodes, root_id=root, tracker=tracker, **ctx)


def from_stored(pipeline: Mapping[str, Any], node_rows: Iterable[Mapping[str, Any]],
                edge_rows: Iterable[Mapping[str, Any]], sources: Iterable[Mapping[str, Any]] = (),
                tenant: Optional[str] = None) -> LineageGraph:
    """A stored pipeline: node ids are the store's ids, inputs come from the edges."""
    inputs: Dict[int, List[Tuple[int, int]]] = {}
    for e in edge_rows:
        inputs.setdefault(int(e["child_node_id"]), []).append(
            (int(e["input_position"]), int(e["parent_node_id"])))
    nodes: Dict[int, LineageNode] = {}
    for r in node_rows:
        nid = int(r["id"])
        meta = r.get("metadata")
        found = sorted(inputs.get(nid, []))
        nodes[nid] = LineageNode(
            id=nid, kind=str(r["node_type"]), operation=str(r["operation"] or ""),
            inputs=[p for _, p in found], positions=[k for k, _ in found],
            provenance=int(r["fingerprint"]),
            table=r.get("table_name"), column=r.get("column_name"),
            pair_id=None if r.get("pair_id") is None else int(r["pair_id"]),
            is_protected=bool(r.get("is_protected")),
            metadata=dict(meta) if isinstance(meta, Mapping) else {})
    used = {(n.table, n.column) for n in nodes.values() if n.is_source}
    registry = {(s["table_name"], s["column_name"]): bool(s.get("is_protected"))
                for s in sources if (s.get("table_name"), s.get("column_name")) in used}
    pid = pipeline.get("id", pipeline.get("pipeline_id"))
    return LineageGraph(
        nodes=nodes, root_id=max(nodes) if nodes else None,
        pipeline_name=pipeline.get("pipeline_name") or pipeline.get("name"),
        pipeline_id=None if pid is None else int(pid), tenant=pipeline.get("tenant_id") or tenant, registry=registry,
        status=pipeline.get("status"), started_at=pipeline.get("created_at"),
        completed_at=pipeline.get("completed_at"))
