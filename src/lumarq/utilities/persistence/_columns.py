"""Column batches: nodes, edges and row values as numpy columns.

The tracker's node store already holds its graph as columns; handing a
store one array per field (instead of one record object per node or row)
lets it write with `executemany` over plain lists, PostgreSQL `COPY`, or a
compact body to the service. Texts (node types, operations, table and
column names) are interned: a column holds int32 codes into `texts`, and
-1 stands for None. Optional integers carry a boolean `*_null` mask.

`to_records`/`from_records` convert to and from the record types, so every
backend accepts column batches even before it has a faster path of its own.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

import numpy as np

from ._records import StoredEdge, StoredNode, StoredRowValue


def _codes(values: Iterable[Optional[str]], texts: List[str], index: Dict[str, int]) -> np.ndarray:
    out = []
    for v in values:
        if v is None:
            out.append(-1)
            continue
        code = index.get(v)
        if code is None:
            code = index[v] = len(texts)
            texts.append(v)
        out.append(code)
    return np.asarray(out, dtype=np.int32)


def _opt_ints(values: Sequence[Optional[int]]) -> Tuple[np.ndarray, np.ndarray]:
    null = np.fromiter((v is None for v in values), dtype=bool, count=len(values))
    data = np.fromiter((0 if v is None else int(v) for v in values), dtype=np.int64, count=len(values))
    return data, null


def _text(texts: Sequence[str], code: int) -> Optional[str]:
    return None if code < 0 else texts[code]


@dataclass
class GraphColumns:
    """Nodes of one pipeline (unique by fingerprint) and the edges between them.

    Edges name their endpoints by fingerprint, as `StoredEdge` does; the
    store resolves them to its node ids. `metadata` holds JSON-ready values
    for the few rows that have any, by row position.
    """

    pipeline_id: int
    texts: List[str]
    fingerprint: np.ndarray  # int64, n
    node_type: np.ndarray  # int32 codes, n
    operation: np.ndarray  # int32 codes, n
    table_name: np.ndarray  # int32 codes, n
    column_name: np.ndarray  # int32 codes, n
    pair_id: np.ndarray  # int64, n
    pair_id_null: np.ndarray  # bool, n
    is_protected: np.ndarray  # bool, n
    entity_hash: np.ndarray  # int64, n
    entity_hash_null: np.ndarray  # bool, n
    chain_hash: np.ndarray  # int64, n
    chain_hash_null: np.ndarray  # bool, n
    metadata: Dict[int, Any] = field(default_factory=dict)
    edge_parent: np.ndarray = field(default_factory=lambda: np.empty(0, np.int64))  # fingerprints
    edge_child: np.ndarray = field(default_factory=lambda: np.empty(0, np.int64))  # fingerprints
    edge_position: np.ndarray = field(default_factory=lambda: np.empty(0, np.int32))

    def __len__(self) -> int:
        return int(self.fingerprint.shape[0])

    def slice(self, nodes: Tuple[int, int] = (0, 0), edges: Tuple[int, int] = (0, 0)) -> "GraphColumns":
        """Nodes [a, b) and edges [c, d) as a batch of their own (views, not copies)."""
        a, b = nodes
        c, d = edges
        return GraphColumns(
            pipeline_id=self.pipeline_id, texts=self.texts,
            fingerprint=self.fingerprint[a:b], node_type=self.node_type[a:b], operation=self.operation[a:b],
            table_name=self.table_name[a:b], column_name=self.column_name[a:b],
            pair_id=self.pair_id[a:b], pair_id_null=self.pair_id_null[a:b], is_protected=self.is_protected[a:b],
            entity_hash=self.entity_hash[a:b], entity_hash_null=self.entity_hash_null[a:b],
            chain_hash=self.chain_hash[a:b], chain_hash_null=self.chain_hash_null[a:b],
            metadata={i - a: v for i, v in self.metadata.items() if a <= i < b},
            edge_parent=self.edge_parent[c:d], edge_child=self.edge_child[c:d],
            edge_position=self.edge_position[c:d],
        )

    @classmethod
    def from_records(cls, pipeline_id: int, nodes: Sequence[StoredNode],
                     edges: Sequence[StoredEdge] = ()) -> "GraphColumns":
        texts: List[str] = []
        index: Dict[str, int] = {}
        pair, pair_null = _opt_ints([n.pair_id for n in nodes])
        ent, ent_null = _opt_ints([n.entity_hash for n in nodes])
        chain, chain_null = _opt_ints([n.chain_hash for n in nodes])
        return cls(
            pipeline_id=int(pipeline_id),
            texts=texts,
            fingerprint=np.asarray([int(n.fingerprint) for n in nodes], dtype=np.int64),
            node_type=_codes((str(n.node_type) for n in nodes), texts, index),
            operation=_codes((n.operation for n in nodes), texts, index),
            table_name=_codes((n.table_name for n in nodes), texts, index),
            column_name=_codes((n.column_name for n in nodes), texts, index),
            pair_id=pair, pair_id_null=pair_null,
            is_protected=np.asarray([bool(n.is_protected) for n in nodes], dtype=bool),
            entity_hash=ent, entity_hash_null=ent_null,
            chain_hash=chain, chain_hash_null=chain_null,
            metadata={i: n.metadata for i, n in enumerate(nodes) if n.metadata is not None},
            edge_parent=np.asarray([int(e.parent_fingerprint) for e in edges], dtype=np.int64),
            edge_child=np.asarray([int(e.child_fingerprint) for e in edges], dtype=np.int64),
            edge_position=np.asarray([int(e.input_position) for e in edges], dtype=np.int32),
        )

    def to_records(self) -> Tuple[List[StoredNode], List[StoredEdge]]:
        t, pid = self.texts, self.pipeline_id
        nodes = [
            StoredNode(
                int(self.fingerprint[i]),
                _text(t, int(self.node_type[i])) or "",
                _text(t, int(self.operation[i])),  # type: ignore[arg-type]
                _text(t, int(self.table_name[i])),
                _text(t, int(self.column_name[i])),
                None if self.pair_id_null[i] else int(self.pair_id[i]),
                bool(self.is_protected[i]),
                None if self.entity_hash_null[i] else int(self.entity_hash[i]),
                None if self.chain_hash_null[i] else int(self.chain_hash[i]),
                self.metadata.get(i),
                pid,
            )
            for i in range(len(self))
        ]
        edges = [StoredEdge(int(p), int(c), int(k))
                 for p, c, k in zip(self.edge_parent, self.edge_child, self.edge_position)]
        return nodes, edges


@dataclass
class RowValueColumns:
    """Row values as columns (the fields of `StoredRowValue` but the tenant)."""

    texts: List[str]
    pipeline_id: np.ndarray  # int64, n
    row_index: np.ndarray  # int64, n
    fingerprint: np.ndarray  # int64, n
    node_operation: np.ndarray  # int32 codes, n
    value: np.ndarray  # float64, n
    value_null: np.ndarray  # bool, n (None, as opposed to NaN)
    column_name: np.ndarray  # int32 codes, n
    text_value: Dict[int, str] = field(default_factory=dict)  # by row position, only where set

    def __len__(self) -> int:
        return int(self.row_index.shape[0])

    def slice(self, a: int, b: int) -> "RowValueColumns":
        """Rows [a, b) as a batch of their own (views, not copies)."""
        return RowValueColumns(
            texts=self.texts, pipeline_id=self.pipeline_id[a:b], row_index=self.row_index[a:b],
            fingerprint=self.fingerprint[a:b], node_operation=self.node_operation[a:b], value=self.value[a:b],
            value_null=self.value_null[a:b], column_name=self.column_name[a:b],
            text_value={i - a: v for i, v in self.text_value.items() if a <= i < b},
        )

    @classmethod
    def from_records(cls, rows: Sequence[StoredRowValue]) -> "RowValueColumns":
        texts: List[str] = []
        index: Dict[str, int] = {}
        n = len(rows)
        return cls(
            texts=texts,
            pipeline_id=np.fromiter((int(r.pipeline_id) for r in rows), np.int64, n),
            row_index=np.fromiter((int(r.row_index) for r in rows), np.int64, n),
            fingerprint=np.fromiter((int(r.fingerprint) for r in rows), np.int64, n),
            node_operation=_codes((r.node_operation for r in rows), texts, index),
            value=np.fromiter((np.nan if r.value is None else float(r.value) for r in rows), np.float64, n),
            value_null=np.fromiter((r.value is None for r in rows), bool, n),
            column_name=_codes((r.column_name for r in rows), texts, index),
            text_value={i: r.text_value for i, r in enumerate(rows) if r.text_value is not None},
        )

    def to_records(self, tenant: Optional[str] = None) -> List[StoredRowValue]:
        t = self.texts
        return [
            StoredRowValue(
                int(self.pipeline_id[i]),
                int(self.row_index[i]),
                int(self.fingerprint[i]),
                _text(t, int(self.node_operation[i])),  # type: ignore[arg-type]
                None if self.value_null[i] else float(self.value[i]),
                _text(t, int(self.column_name[i])),
                tenant,
                self.text_value.get(i),
            )
            for i in range(len(self))
        ]


@dataclass
class ResultColumns:
    """Result rows of one pipeline (see `DAGTracker.persist_results`) as columns: one list per
    output over the same row keys. Row r of output o is (row_keys[r], outputs[o],
    fingerprint[o][r], value[o][r], input_row_hash[r] or None); rows run output by output, each
    in row-key order. The lists hold the Python values a driver binds, made once per column."""

    pipeline_id: int
    row_keys: List[str]
    outputs: List[str]
    fingerprint: List[List[int]]
    value: List[List[Optional[float]]]
    input_row_hash: Optional[List[Optional[str]]] = None  # one per row key, or none at all

    def __len__(self) -> int:
        return len(self.outputs) * len(self.row_keys)

    def hashes(self) -> List[Optional[str]]:
        return self.input_row_hash if self.input_row_hash else [None] * len(self.row_keys)

    def to_records(self) -> List[Tuple[str, str, int, Optional[float], Optional[str]]]:
        return list(zip(*self.flat()))

    def flat(self) -> Tuple[List[str], List[str], List[int], List[Optional[float]], List[Optional[str]]]:
        """Row keys, output names, fingerprints, values and hashes, one entry per row."""
        keys, hashes, n = self.row_keys, self.hashes(), len(self.row_keys)
        names: List[str] = []
        fps: List[int] = []
        values: List[Optional[float]] = []
        for name, f, v in zip(self.outputs, self.fingerprint, self.value):
            names.extend([name] * n)
            fps.extend(f)
            values.extend(v)
        return keys * len(self.outputs), names, fps, values, hashes * len(self.outputs)


ColumnPair = Tuple[Optional[GraphColumns], Optional[RowValueColumns]]


def halve(pair: ColumnPair) -> Optional[Tuple[ColumnPair, ColumnPair]]:
    """Two (graph, row values) batches that together hold `pair`: the graph apart from the row
    values, then a graph's nodes apart from its edges, then halves; None for a single record
    (what a store that refuses a batch is split down to)."""
    g, r = pair
    n = len(g) if g is not None else 0
    m = int(g.edge_parent.shape[0]) if g is not None else 0
    k = len(r) if r is not None else 0
    if (n or m) and k:
        return (g, None), (None, r)
    if g is not None and n and m:
        return (g.slice((0, n)), None), (g.slice(edges=(0, m)), None)
    if g is not None and n > 1:
        return (g.slice((0, n // 2)), None), (g.slice((n // 2, n)), None)
    if g is not None and m > 1:
        return (g.slice(edges=(0, m // 2)), None), (g.slice(edges=(m // 2, m)), None)
    if r is not None and k > 1:
        return (None, r.slice(0, k // 2)), (None, r.slice(k // 2, k))
    return None
