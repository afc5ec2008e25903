"""ComputationDAG.to_dict and to_graphviz: the exports of one DAG, made once per export, and the
repr of the graph records. The views they read (depth, sources, operation counts, taint risks)
stay native."""
from __future__ import annotations

from typing import Any, Dict, List

_HEADER = "digraph ComputationDAG {\n  rankdir=BT;\n  node [shape=box, style=filled];\n\n"


def record_repr(record: Any, names: List[str], values: List[Any]) -> str:
    # The data class form.
    fields = ", ".join("%s=%r" % (name, value) for name, value in zip(names, values))
    return "%s(%s)" % (type(record).__qualname__, fields)


def _quoted(value: Any) -> str:
    # Inside a quoted DOT string a bare quote would end it and a backslash start an escape.
    return format(value, "").replace("\\", "\\\\").replace('"', '\\"')


def to_graphviz(dag: Any) -> str:
    root_id, nodes, edges = dag.root_id, dag.nodes, dag.edges
    out = [_HEADER]
    for node in list(nodes.values()):
        node_id = node.node_id
        if node.is_source:
            label = "%s\\n%s" % (_quoted(node.table), _quoted(node.column))
            colour = "#f59e0b" if node.is_protected else "#22d3ee"
        else:
            label = _quoted(node.operation)
            colour = "#c084fc" if node_id is root_id or node_id == root_id else "#4ade80"
        out.append('  n%s [label="%s", fillcolor="%s"];\n' % (format(node_id, ""), label, colour))
    out.append("\n")
    for edge in list(edges):
        out.append("  n%s -> n%s;\n" % (format(edge.source_id, ""), format(edge.target_id, "")))
    out.append("}")
    return "".join(out)


def to_dict(dag: Any) -> Dict[str, Any]:
    from lumarq.utilities.vantor32_dag import ComputationDAG

    # A subclass is read through its attributes, so overrides show in the export; the native
    # class reads one list of sources for both source lists.
    exact = type(dag) is ComputationDAG
    root_id, nodes, edges = dag.root_id, dag.nodes, dag.edges
    sources = dag.source_nodes
    protected = [node for node in list(sources) if node.is_protected] if exact else dag.protected_sources
    return {
        "root_id": root_id,
        "depth": dag.depth,
        "node_count": len(nodes),
        "edge_count": len(edges),
        "has_protected": len(protected) > 0 if exact else bool(dag.has_protected),
        "taint_risks": dag.column_taint_risks(),
        "sources": [node.to_dict() for node in list(sources)],
        "protected_sources": [node.to_dict() for node in list(protected)],
        "operation_counts": dag.operation_counts,
        "nodes": {str(key): node.to_dict() for key, node in list(nodes.items())},
        "edges": [edge.to_dict() for edge in list(edges)],
    }
