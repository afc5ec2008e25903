"""Column-level lineage and one row's graph, read from a pipeline's stored nodes.

A tracker stores one node per row-level operation (deduplicated by
fingerprint), so a five-step pipeline over thousands of rows leaves hundreds of
nodes that say little one by one. The column-level view folds them into one
box per source column, per derived column (the node metadata key "column",
set when a value is assigned to a frame column) and, for values never assigned
to a column, per operation and the boxes it reads from. Pass-through steps
(a merge that carries a column along) fold into the column they carry.
"""

from __future__ import annotations

import json
from collections import defaultdict
from typing import Any, Callable, Dict, List, Optional, Set, Tuple

from sqlalchemy import func, select

from lumarq.utilities.persistence import _schema as S
from lumarq.utilities.persistence._jsonutil import finite as _wire_number

# Operations that move a column's rows without computing anything new.
PASS_THROUGH = frozenset({"merge", "join", "concat", "copy", "reindex", "take", "sort_values", "getitem"})
# Merges whose result keeps the left frame's rows in their order (each repeated or dropped as the
# keys match): the left table's row numbers can still be the result's, the right table's are not.
ORDER_KEEPING_MERGES = frozenset({"merge_left", "merge_inner", "merge_cross"})


def _metadata(value: Any) -> Dict[str, Any]:
    if isinstance(value, str):  # some drivers hand JSON back as text
        try:
            value = json.loads(value)
        except ValueError:
            return {}
    return value if isinstance(value, dict) else {}


def _graph(conn: Any, tenant: str, pipeline_id: int) -> Tuple[List[Any], List[Tuple[int, int, int]]]:
    n, e = S.nodes, S.edges
    nodes = conn.execute(
        select(n.c.id, n.c.fingerprint, n.c.node_type, n.c.operation, n.c.table_name, n.c.column_name,
               n.c.pair_id, n.c.is_protected, n.c.metadata)
        .where(n.c.pipeline_id == pipeline_id, n.c.tenant_id == tenant)
        .order_by(n.c.id)
    ).all()
    edges = conn.execute(
        select(e.c.parent_node_id, e.c.child_node_id, e.c.input_position)
        .where(e.c.pipeline_id == pipeline_id, e.c.tenant_id == tenant)
        .order_by(e.c.id)
    ).all()
    return nodes, [(int(p), int(c), int(pos)) for p, c, pos in edges]


def column_lineage(store: Any, tenant: str, pipeline_id: int) -> Optional[Dict[str, Any]]:
    """Boxes and edges of the pipeline's column-level lineage; None for an unknown pipeline."""
    from .store import _levels

    if not store.pipeline_exists(tenant, pipeline_id):
        return None
    rv = S.row_values
    with store.backend.reading() as conn:
        nodes, edges = _graph(conn, tenant, pipeline_id)
        per_fingerprint = conn.execute(
            select(rv.c.fingerprint, rv.c.node_operation, func.count())
            .where(rv.c.pipeline_id == pipeline_id, rv.c.tenant_id == tenant)
            .group_by(rv.c.fingerprint, rv.c.node_operation)
        ).all()
    ids = [int(r.id) for r in nodes]
    parents: Dict[int, List[int]] = defaultdict(list)
    for p, c, _ in edges:
        if p != c:
            parents[c].append(p)
    level = _levels(ids, edges)
    box_of: Dict[int, int] = {}
    boxes: Dict[Any, Dict[str, Any]] = {}

    def box(key: Any, **fields: Any) -> int:
        if key not in boxes:
            boxes[key] = dict(id=len(boxes) + 1, node_count=0, row_values=0, is_protected=False, **fields)
        return boxes[key]["id"]

    for r in sorted(nodes, key=lambda r: (level.get(int(r.id), 0), int(r.id))):
        md = _metadata(r.metadata)
        inputs = sorted({box_of[p] for p in parents[int(r.id)] if p in box_of})
        if r.node_type == "SOURCE":
            table, column = r.table_name, r.column_name
            b = box(("source", table, column, r.operation if column is None else None),
                    kind="protected" if r.is_protected else "source", table=table, column=column,
                    operation=r.operation, label=column or r.operation or "source")
        elif isinstance(md.get("column"), str) and md["column"]:
            b = box(("column", md["column"]), kind="column", table=None, column=md["column"],
                    operation=r.operation, label=md["column"])
        elif r.operation in PASS_THROUGH and len(inputs) == 1:
            b = inputs[0]
        else:
            b = box(("operation", r.operation, tuple(inputs)), kind="operation", table=None, column=None,
                    operation=r.operation, label=r.operation or r.node_type)
        box_of[int(r.id)] = b
    by_id = {v["id"]: v for v in boxes.values()}
    for r in nodes:
        b = by_id[box_of[int(r.id)]]
        b["node_count"] += 1
        b["is_protected"] = b["is_protected"] or bool(r.is_protected)
    by_fp = {int(r.fingerprint): int(r.id) for r in nodes}
    sources = {r.operation: int(r.id) for r in nodes if r.node_type == "SOURCE"}
    for fp, op, n in per_fingerprint:
        node_id = by_fp.get(int(fp), sources.get(op))
        if node_id is not None:
            by_id[box_of[node_id]]["row_values"] += int(n)
    links: Set[Tuple[int, int]] = set()
    for p, c, _ in edges:
        a, b = box_of.get(p), box_of.get(c)
        if a is not None and b is not None and a != b:
            links.add((a, b))
    edge_list = sorted(links)
    box_level = _levels(by_id.keys(), [(a, b, 0) for a, b in edge_list])
    out_nodes = []
    for b in sorted(by_id.values(), key=lambda v: v["id"]):
        b["level"] = box_level.get(b["id"], 0)
        out_nodes.append(b)
    return {
        "pipeline_id": pipeline_id,
        "stored_nodes": len(nodes),
        "nodes": out_nodes,
        "edges": [{"parent": a, "child": b, "position": 0} for a, b in edge_list],
    }


def _table(r: Any) -> str:
    return r.table_name or r.operation or ""


def _sources_above(start: List[int], parents: Dict[int, List[Tuple[int, int]]], sources: Set[int],
                   through: Callable[[int], bool]) -> Set[int]:
    """The source nodes among `start` and above it, going up only through nodes `through` passes."""
    found: Set[int] = set()
    seen = set(start)
    todo = list(start)
    while todo:
        i = todo.pop()
        if i in sources:
            found.add(i)
        elif through(i):
            for p, _ in parents[i]:
                if p not in seen:
                    seen.add(p)
                    todo.append(p)
    return found


def _unknown_rows(nodes: List[Any], parents: Dict[int, List[Tuple[int, int]]],
                  extents: List[Any]) -> Dict[str, str]:
    """Source tables whose row numbers are not known to be the rows of the frames that read
    them, each with the reason.

    A source column's values are stored under its own table's row numbers, an operation's under
    those of the frame it ran on, and nothing stored says which source row an operation's row
    read. A table's row numbers are taken for the frame's only when no recorded merge matched
    its rows to others and every operation reading it recorded as many rows as the table has.
    A reorder that leaves no node (a sort) cannot be seen here."""
    table_of = {int(r.id): _table(r) for r in nodes if r.node_type == "SOURCE"}
    sources = set(table_of)
    by_fp = {int(r.fingerprint): r for r in nodes}
    source_by_op = {r.operation: int(r.id) for r in nodes if r.node_type == "SOURCE"}
    table_rows: Dict[str, int] = {}  # 1 + the highest row index of any of the table's columns
    node_rows: Dict[int, int] = {}   # the same for each operation node with stored values
    for fp, op, top in extents:
        r = by_fp.get(int(fp))
        if r is not None and r.node_type != "SOURCE":
            node_rows[int(r.id)] = max(node_rows.get(int(r.id), 0), int(top) + 1)
            continue
        s = int(r.id) if r is not None else source_by_op.get(op)
        if s is not None:
            table_rows[table_of[s]] = max(table_rows.get(table_of[s], 0), int(top) + 1)

    above: Dict[int, Set[str]] = {}  # merges of one pipeline mostly share their key nodes

    def tables_above(start: List[int]) -> Set[str]:
        for i in start:
            if i not in above:
                above[i] = {table_of[s] for s in _sources_above([i], parents, sources, lambda _: True)}
        return set().union(*(above[i] for i in start))

    why: Dict[str, str] = {}
    for r in nodes:
        if r.node_type != "MERGE" or not parents[int(r.id)]:
            continue
        # A merge node reads the left keys first, then the right keys.
        inputs = [p for p, _ in sorted(parents[int(r.id)], key=lambda x: x[1])]
        moved = tables_above(inputs)
        if r.operation in ORDER_KEEPING_MERGES:
            moved -= tables_above(inputs[:1])
        for t in sorted(moved):
            why.setdefault(t, f"a {r.operation or 'merge'} matched its rows to another table's")

    # The rows each operation recorded on its frame, per operation and the source columns it
    # read (through steps that store no values, such as a merge carrying a column along).
    frames: Dict[Tuple[str, frozenset], int] = {}
    operation = {int(r.id): r.operation or r.node_type for r in nodes}
    for i, rows in node_rows.items():
        read = _sources_above([p for p, _ in parents[i]], parents, sources, lambda j: j not in node_rows)
        if read:
            key = (operation[i], frozenset(read))
            frames[key] = max(frames.get(key, 0), rows)
    for (op, read), rows in sorted(frames.items(), key=lambda kv: (kv[0][0], sorted(kv[0][1]))):
        for t in sorted({table_of[s] for s in read}):
            n = table_rows.get(t)
            if n is not None and n != rows:
                why.setdefault(t, f"an operation reading it ({op}) recorded {rows:,} rows, the table has {n:,}")
    return {t: f"Which row of {t} this row read is not stored: {reason}." for t, reason in why.items()}


def row_dag(store: Any, tenant: str, pipeline_id: int, row: int) -> Optional[Dict[str, Any]]:
    """The stored nodes one row passed through and everything they derive from, with the
    row's value at each; None for an unknown pipeline. No row values: no nodes.

    A source column's value is shown only where its table's row numbers are this row's (see
    _unknown_rows); elsewhere the node has no value and `no_value_reason` says why."""
    from .store import _levels

    if not store.pipeline_exists(tenant, pipeline_id):
        return None
    rv = S.row_values
    mine = (rv.c.pipeline_id == pipeline_id, rv.c.tenant_id == tenant)
    with store.backend.reading() as conn:
        values = conn.execute(
            select(rv.c.fingerprint, rv.c.node_operation, rv.c.value, rv.c.text_value, rv.c.column_name)
            .where(*mine, rv.c.row_index == row)
            .order_by(rv.c.id)
        ).all()
        nodes, edges = ([], []) if not values else _graph(conn, tenant, pipeline_id)
        # A fingerprint is one node's or one source row's word: one operation name each, so
        # grouping by the number alone (about half the time of grouping by both) loses nothing.
        extents = [] if not values else conn.execute(
            select(rv.c.fingerprint, func.min(rv.c.node_operation), func.max(rv.c.row_index))
            .where(*mine).group_by(rv.c.fingerprint)
        ).all()
    parents: Dict[int, List[Tuple[int, int]]] = defaultdict(list)
    for p, c, pos in edges:
        parents[c].append((p, pos))
    unknown = _unknown_rows(nodes, parents, extents)
    by_fp = {int(r.fingerprint): r for r in nodes}
    # A source column's row carries its own word, not the source node's: match those by name.
    sources = {r.operation: r for r in nodes if r.node_type == "SOURCE"}
    seen: Dict[int, Any] = {}
    for fp, op, value, text, _column in values:
        r = by_fp.get(int(fp)) or sources.get(op)
        # A value of another row of its table is no part of this row's graph.
        if r is not None and not (r.node_type == "SOURCE" and _table(r) in unknown):
            seen[int(r.id)] = text if value is None else value
    # Stored nodes are shared by every row with the same fingerprint, so an input position may
    # list the nodes of many rows: where this row's own node is among them, follow only that one.
    keep: Set[int] = set()
    todo = list(seen)
    while todo:
        i = todo.pop()
        if i in keep:
            continue
        keep.add(i)
        by_position: Dict[int, List[int]] = defaultdict(list)
        for p, pos in parents[i]:
            by_position[pos].append(p)
        for inputs in by_position.values():
            own = [p for p in inputs if p in seen]
            todo.extend(p for p in (own or inputs) if p not in keep)
    sub_edges = [(p, c, pos) for p, c, pos in edges if p in keep and c in keep]
    level = _levels(keep, sub_edges)
    out = []
    for r in nodes:
        i = int(r.id)
        if i not in keep:
            continue
        md = _metadata(r.metadata)
        column = r.column_name or (md.get("column") if isinstance(md.get("column"), str) else None)
        out.append({
            "id": i, "fingerprint": int(r.fingerprint), "fingerprint_hex": "0x%08X" % int(r.fingerprint),
            "node_type": r.node_type, "operation": r.operation, "table": r.table_name, "column": column,
            "pair_id": r.pair_id, "is_protected": bool(r.is_protected), "level": level.get(i, 0),
            "value": _wire_number(seen.get(i)), "has_value": i in seen,
            "no_value_reason": unknown.get(_table(r)) if r.node_type == "SOURCE" else None,
        })
    return {
        "pipeline_id": pipeline_id,
        "row": row,
        "row_values": len(values),
        "nodes": out,
        "edges": [{"parent": p, "child": c, "position": pos} for p, c, pos in sub_edges],
        "truncated": False,
    }
