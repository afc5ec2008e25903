"""ComputationDAG.to_dict, to_json and to_graphviz: the exports of one DAG, made once per
export, its views (sources, protected sources, operation counts, taint risks), read once per
call, and the depth of a graph the native walk cannot take."""
from __future__ import annotations

from typing import Any, Dict, List

_HEADER = "digraph ComputationDAG {\n  rankdir=BT;\n  node [shape=box, style=filled];\n\n"


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


def source_nodes(dag: Any) -> List[Any]:
    return [node for node in list(dag.nodes.values()) if node.is_source]


def operation_counts(dag: Any) -> Dict[Any, int]:
    counts: Dict[Any, int] = {}  # keys in first-seen order
    for node in list(dag.nodes.values()):
        op = node.operation
        counts[op] = counts.get(op, 0) + 1
    return counts


def column_taint_risks(dag: Any) -> Dict[Any, float]:
    """The highest risk of a tainted node per column name (nodes without a name are skipped)."""
    from lumarq.utilities.vantor32 import ProvenanceTracker

    risk_score = ProvenanceTracker.risk_score
    risks: Dict[Any, float] = {}
    for node in list(dag.nodes.values()):
        column = node.column
        if not column:
            continue
        risk = risk_score(node.provenance)
        if not risk:  # untainted: a tainted word's risk is 1/(1 + depth)
            continue
        stored = risks.get(column)
        if stored is None or risk > stored:
            risks[column] = risk
    return risks


def protected_sources(dag: Any) -> List[Any]:
    # A subclass's own source_nodes is what its protected sources are taken from.
    return [node for node in list(dag.source_nodes) if node.is_protected]


def has_protected(dag: Any) -> bool:
    return len(dag.protected_sources) > 0


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


def to_json(dag: Any, indent: int) -> str:
    import json

    from lumarq.utilities import jsoncodec, vantor32_dag

    data = dag.to_dict()
    # Read at each call, so a replaced json module is the one used; the native text only stands
    # in for the standard library's own function.
    dumps = vantor32_dag.json.dumps
    if dumps is json.dumps:
        text = jsoncodec.indented(data, indent)
        if text is not None:
            return text
    return dumps(data, indent=indent)


def depth_of(root_id: Any, nodes: Any) -> int:
    """Length of the longest input chain from `root_id` down to a leaf, for graphs whose ids or
    nodes the native walk cannot take. As there: unknown ids count as leaves, an input that
    closes a cycle counts as a leaf, each node is computed once and nothing recurses."""
    canon: Dict[Any, Any] = {}  # ids equal as dict keys are looked up as the first one seen

    def inputs_of(key: Any) -> Any:
        node = nodes.get(key)
        if node is None:
            return None
        return [canon.setdefault(i, i) for i in list(node.inputs)]

    root = canon.setdefault(root_id, root_id)
    first = inputs_of(root)
    if not first:
        return 0
    memo: Dict[Any, int] = {}
    on_stack = {root}
    stack = [[root, first, 0, 0]]  # id, inputs, next input, best depth so far
    while stack:
        top = stack[-1]
        if top[2] < len(top[1]):
            child = top[1][top[2]]
            top[2] += 1
            if child in memo:
                top[3] = max(top[3], memo[child] + 1)
                continue
            if child in on_stack:
                top[3] = max(top[3], 1)
                continue
            inputs = inputs_of(child)
            if not inputs:
                memo[child] = 0
                top[3] = max(top[3], 1)
                continue
            on_stack.add(child)
            stack.append([child, inputs, 0, 0])
            continue
        key, best = top[0], top[3]
        memo.setdefault(key, best)
        on_stack.discard(key)
        stack.pop()
        if not stack:
            return best
        stack[-1][3] = max(stack[-1][3], best + 1)
    return 0
