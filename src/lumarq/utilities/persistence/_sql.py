"""Database backend for SQLite and PostgreSQL (SQLAlchemy 2 Core, psycopg 3).

Schema, pipelines, sources and every read go through SQLAlchemy Core. The four
bulk paths (nodes, edges, row values, results) use the driver cursor of the
same SQLAlchemy connection, inside the same transaction:

* SQLite: ``cursor.executemany`` on positional tuples. Core ``executemany``
  builds and processes a parameter dict per row: 1,000,000 row values took
  4.6 s that way against 1.9 s here (bench/bench_storage.py --compare-core).
* PostgreSQL: ``COPY ... FROM STDIN`` for the append-only tables (row values,
  results) and one ``INSERT ... SELECT FROM unnest(arrays)`` statement per
  chunk for the upserts, instead of one statement per row.

Column batches (`write_columns`) skip the per-row tuples: the arrays become
plain lists for multi-row INSERT statements on SQLite, and packed binary
COPY data on PostgreSQL. Node ids are taken inside the write transaction, so
edges are resolved with numpy instead of a look-up per edge.
"""

from __future__ import annotations

import collections
import contextlib
import datetime as _dt
import json
import logging
import itertools
import threading
from typing import Any, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple

import numpy as np
from sqlalchemy import create_engine, event, func, insert, select, update
from sqlalchemy.engine import Connection, Engine, make_url
from sqlalchemy.pool import StaticPool

from . import _schema as S
from ._jsonutil import dumps_json
from ._columns import GraphColumns, ResultColumns, RowValueColumns
from ._backend import ResolvedEdge, ResultRow, SourceRow, StorageBackend, UnknownPipelineError
from ._records import StoredEdge, StoredNode, StoredRowValue
from ._urls import Scrubber, describe_error, mask_url, url_password

# Parameters per IN (...) look-up; far below SQLite's variable limit.
_IN_CHUNK = 500
# Rows per unnest() statement on PostgreSQL.
_PG_ARRAY_CHUNK = 50_000
# Row values per transaction on SQLite: the database has one writer at a
# time, so a big write goes in transactions of this size and another
# writer waits for at most one of them.
SQLITE_WRITE_CHUNK = 20_000

_NUL = "\x00"


class _FairLock:
    """A reentrant lock granted in the order it was asked for.

    Python's locks let the thread that just released take them straight
    back; a writer committing chunk after chunk would then keep every other
    writer waiting until its last chunk.
    """

    def __init__(self) -> None:
        self._cond = threading.Condition(threading.Lock())
        self._owner: Optional[int] = None
        self._depth = 0
        self._waiting: "collections.deque[object]" = collections.deque()

    def acquire(self) -> bool:
        me = threading.get_ident()
        with self._cond:
            if self._owner == me:
                self._depth += 1
                return True
            ticket = object()
            self._waiting.append(ticket)
            while self._owner is not None or self._waiting[0] is not ticket:
                self._cond.wait()
            self._waiting.popleft()
            self._owner, self._depth = me, 1
            return True

    def release(self) -> None:
        with self._cond:
            self._depth -= 1
            if self._depth == 0:
                self._owner = None
                self._cond.notify_all()

    def __enter__(self) -> bool:
        return self.acquire()

    def __exit__(self, *exc: Any) -> None:
        self.release()


def _nul_field(records: Iterable[Sequence[Any]], fields: Sequence[Tuple[int, str]], where: str) -> Optional[str]:
    """'where[i].field' of the first text field holding NUL, or None."""
    for i, rec in enumerate(records):
        for pos, name in fields:
            v = rec[pos]
            if v is None:
                continue
            text = v if v.__class__ is str else (dumps_json(v) if name == "metadata" else None)
            if text is not None and (_NUL in text or (name == "metadata" and "\\u0000" in text)):
                return "%s[%d].%s" % (where, i, name)
    return None


def _refuse_nul(field: str) -> ValueError:
    return ValueError("%s: PostgreSQL cannot store the NUL character (\\u0000) in text" % field)


_NODE_TEXT = ((1, "node_type"), (2, "operation"), (3, "table_name"), (4, "column_name"), (9, "metadata"))
_ROW_TEXT = ((3, "node_operation"), (5, "column_name"), (7, "text_value"))
_RESULT_TEXT = ((0, "row_key"), (1, "output_name"), (4, "input_row_hash"))
_SOURCE_TEXT = ((1, "table"), (2, "column"))


def _iso(value: Optional[_dt.datetime]) -> Optional[str]:
    if value is None:
        return None
    if value.tzinfo is None:  # SQLite drops the zone; we always write UTC
        value = value.replace(tzinfo=_dt.timezone.utc)
    return value.isoformat()


def _now() -> _dt.datetime:
    return _dt.datetime.now(_dt.timezone.utc)


def _opt_int(v: Any) -> Optional[int]:
    return None if v is None else int(v)


# ---------------------------------------------------------------------------
# Dialect-specific bulk statements
# ---------------------------------------------------------------------------

_NODE_COLS = (
    "tenant_id, pipeline_id, fingerprint, node_type, operation, table_name, "
    "column_name, pair_id, is_protected, entity_hash, chain_hash, metadata"
)
_ROW_COLS = "pipeline_id, row_index, fingerprint, node_operation, value, column_name, tenant_id, text_value"
_RESULT_COLS = "tenant_id, pipeline_id, row_key, output_name, fingerprint, value, input_row_hash"
_EDGE_COLS = "tenant_id, pipeline_id, parent_node_id, child_node_id, input_position"


# ---------------------------------------------------------------------------
# Column batches
# ---------------------------------------------------------------------------

# Up to this many fingerprints a column write looks the batch's own up among
# the stored nodes; above it, it reads the pipeline's whole map in one query
# unless the pipeline holds far more nodes than the batch names (a writer's
# slices of a big graph), where looking up each stays proportional to the batch.
_LOOKUP_EACH = 20_000
_MAP_SHARE = 4


def _lut(texts: Sequence[str], missing: Optional[str] = None) -> np.ndarray:
    """Code -> text; code -1 (the last entry) -> `missing`."""
    return np.array(list(texts) + [missing], dtype=object)


def _decode(codes: np.ndarray, lut: np.ndarray) -> List[Any]:
    return lut[codes].tolist()


def _nullable(data: np.ndarray, null: np.ndarray) -> List[Any]:
    if not null.any():
        return data.tolist()
    out = data.astype(object)
    out[null] = None
    return out.tolist()


def _sparse(n: int, values: Dict[int, Any]) -> List[Any]:
    out: List[Any] = [None] * n
    for i, v in values.items():
        out[i] = v
    return out


def _column_nul(fields: Sequence[Tuple[str, Any, Any]], where: str) -> Optional[str]:
    """'where[i].field' of the first text holding NUL in a column batch, or
    None. `fields`: (name, codes, texts) for interned columns and
    (name, None, {row: text}) for sparse ones, in record field order."""
    best: Optional[Tuple[int, str]] = None
    for name, codes, texts in fields:
        if codes is None:
            rows = [i for i, t in texts.items()
                    if t is not None and (_NUL in t or (name == "metadata" and "\\u0000" in t))]
            first = min(rows) if rows else None
        else:
            bad = [k for k, t in enumerate(texts) if _NUL in t]
            hit = np.flatnonzero(np.isin(codes, bad)) if bad else ()
            first = int(hit[0]) if len(hit) else None
        if first is not None and (best is None or first < best[0]):
            best = (first, name)
    return None if best is None else "%s[%d].%s" % (where, best[0], best[1])


def _graph_texts(g: GraphColumns, md: Dict[int, str]) -> List[Tuple[str, Any, Any]]:
    t = g.texts
    return [("node_type", g.node_type, t), ("operation", g.operation, t), ("table_name", g.table_name, t),
            ("column_name", g.column_name, t), ("metadata", None, md)]


def _row_texts(r: RowValueColumns) -> List[Tuple[str, Any, Any]]:
    return [("node_operation", r.node_operation, r.texts), ("column_name", r.column_name, r.texts),
            ("text_value", None, r.text_value)]


def _lookup(known_fp: np.ndarray, known_id: np.ndarray, *fps: np.ndarray) -> List[np.ndarray]:
    """Ids of each of `fps` in the sorted map of distinct fingerprints (known_fp -> known_id);
    -1 where unknown. Large look-ups go through one hash table for all of `fps`: a binary search
    of random fingerprints misses the cache at every step (0.3 s per 2,000,000 against a 1,000,000
    map, where hashing takes a third of that)."""
    if not known_fp.size:
        return [np.full(f.shape, -1, np.int64) for f in fps]
    if sum(f.size for f in fps) >= _HASHED_LOOKUP:
        import pandas as pd

        index = pd.Index(known_fp)
        if index.is_unique:  # always, as the map is built; a binary search serves otherwise
            out = []
            for f in fps:
                at = index.get_indexer(f)
                out.append(np.where(at >= 0, known_id[at], -1))
            return out
    out = []
    for f in fps:
        at = np.minimum(np.searchsorted(known_fp, f), known_fp.size - 1)
        out.append(np.where(known_fp[at] == f, known_id[at], -1))
    return out


_HASHED_LOOKUP = 65536


def _distinct(values: np.ndarray) -> np.ndarray:
    """Sorted distinct values (np.unique's hashing path is slower for many)."""
    out = np.sort(values)
    if out.size:
        out = out[np.concatenate(([True], out[1:] != out[:-1]))]
    return out


# Row values and nodes are written run by run when their runs average at least this many rows.
_RUN_ROWS = 64


def _runs(n: int, keys: Sequence[np.ndarray], alone: Optional[np.ndarray] = None) -> np.ndarray:
    """Where runs of rows with equal `keys` start; a row marked in `alone` is a run of its own."""
    if not n:
        return np.zeros(0, np.int64)
    cut = np.zeros(n - 1, bool)
    for k in keys:
        cut |= k[1:] != k[:-1]
    if alone is not None:
        cut |= alone[1:] | alone[:-1]
    return np.concatenate(([0], np.flatnonzero(cut) + 1))


def _node_run_starts(g: GraphColumns, take: np.ndarray, md: List[Optional[str]],
                     keys: Sequence[np.ndarray]) -> np.ndarray:
    """Where runs of the nodes at `take` start: nodes sharing kind, operation, table, column and
    `keys`; a node with metadata is a run of its own."""
    n = int(take.size)
    # Most writes carry no metadata at all; list.count tells that without a Python step per node.
    with_md = np.fromiter((m is not None for m in md), bool, n) if md.count(None) < n else None
    return _runs(n, [g.node_type[take], g.operation[take], g.table_name[take], g.column_name[take], *keys],
                 with_md)


def _text_rows(r: RowValueColumns) -> Optional[np.ndarray]:
    """Which row values hold a text value; None when none does."""
    if not r.text_value:
        return None
    text = np.zeros(len(r), bool)
    text[list(r.text_value)] = True
    return text


def _row_pids(r: RowValueColumns) -> set:
    pids = set(_distinct(r.pipeline_id).tolist())
    pids.discard(0)  # recorded before any pipeline existed
    return pids


# PostgreSQL binary COPY: a header, then per row a 16-bit field count and per
# field a 32-bit length and the value in network byte order; -1 ends the data.
_PG_COPY_HEAD = b"PGCOPY\n\xff\r\n\x00" + b"\x00" * 8
_PG_COPY_END = b"\xff\xff"
_PG_COPY_ROWS = 100_000


def _pg_rows(n: int, fields: Sequence[Tuple[Optional[str], Any]]) -> np.ndarray:
    """The rows of a binary COPY as one packed array: every field fixed-width
    (`fields`: numpy type and values; type None for NULL, "" for an empty
    value), so no per-row Python work."""
    dt = [("n", ">i2")]
    for k, (code, _) in enumerate(fields):
        dt.append(("l%d" % k, ">i4"))
        if code:
            dt.append(("f%d" % k, code))
    out = np.empty(n, np.dtype(dt))
    out["n"] = len(fields)
    for k, (code, values) in enumerate(fields):
        out["l%d" % k] = np.dtype(code).itemsize if code else (-1 if code is None else 0)
        if code:
            out["f%d" % k] = values
    return out


def _pg_text(text: Optional[str]) -> Tuple[Optional[str], Any]:
    """A field of the same text in every row."""
    if text is None:
        return None, None
    data = text.encode("utf-8")
    return ("S%d" % len(data) if data else ""), data


def _pg_copy_in(cur: Any, sql: str, rows: np.ndarray) -> None:
    with cur.copy(sql) as cp:
        cp.write(_PG_COPY_HEAD)
        for start in range(0, len(rows), _PG_COPY_ROWS):
            cp.write(rows[start : start + _PG_COPY_ROWS].tobytes())
        cp.write(_PG_COPY_END)


def _pg_int8_columns(cur: Any, query: str, params: Any, ncols: int) -> List[np.ndarray]:
    """int8 columns of a query as one bytea value: `query` selects
    string_agg(int8send(a) || int8send(b) ..., '') -- COPY TO would hand
    them over a row per message."""
    cur.execute(query, params, binary=True)
    data = cur.fetchone()[0] or b""
    rows = np.frombuffer(data, np.dtype([("f%d" % k, ">i8") for k in range(ncols)]))
    return [rows["f%d" % k].astype(np.int64) for k in range(ncols)]


class _SQLiteBulk:
    nodes_sql = (
        "INSERT INTO lumarq_nodes (" + _NODE_COLS + ") VALUES (?,?,?,?,?,?,?,?,?,?,?,?) "
        "ON CONFLICT (pipeline_id, fingerprint) DO NOTHING"
    )
    # The join validates that both endpoints belong to the tenant and to one
    # pipeline; ids that do not qualify insert nothing.
    edges_sql = (
        "INSERT INTO lumarq_edges (" + _EDGE_COLS + ") "
        "SELECT c.tenant_id, c.pipeline_id, p.id, c.id, ? FROM lumarq_nodes AS c, lumarq_nodes AS p "
        "WHERE c.id = ? AND c.tenant_id = ? AND p.id = ? "
        "AND p.pipeline_id = c.pipeline_id AND p.tenant_id = c.tenant_id "
        "ON CONFLICT (parent_node_id, child_node_id, input_position) DO NOTHING"
    )
    rows_sql = "INSERT INTO lumarq_row_values (" + _ROW_COLS + ") VALUES (?,?,?,?,?,?,?,?)"

    # A node first stored without a column name (written as it was created) takes the name
    # when the whole graph is written again later; a stored name is never replaced.
    name_sql = (
        "UPDATE lumarq_nodes SET metadata = ? WHERE tenant_id = ? AND pipeline_id = ? "
        "AND fingerprint = ? AND (metadata IS NULL OR json_extract(metadata, '$.column') IS NULL)"
    )

    def insert_nodes(self, cur, params: List[tuple]) -> int:
        cur.executemany(self.nodes_sql, params)
        return max(cur.rowcount, 0)

    def name_columns(self, cur, tenant: str, rows: List[tuple]) -> None:
        cur.executemany(self.name_sql, [(md, tenant, pid, fp) for md, pid, fp in rows])

    def insert_edges(self, cur, tenant: str, rows: Sequence[ResolvedEdge]) -> int:
        cur.executemany(self.edges_sql, [(pos, c, tenant, p) for p, c, pos in rows])
        return max(cur.rowcount, 0)

    def resolve(self, cur, tenant: str, pipeline_id: int, fps: List[int]) -> Dict[int, int]:
        out: Dict[int, int] = {}
        for start in range(0, len(fps), _IN_CHUNK):
            part = fps[start : start + _IN_CHUNK]
            cur.execute(
                "SELECT fingerprint, id FROM lumarq_nodes WHERE pipeline_id = ? AND tenant_id = ? "
                "AND fingerprint IN (%s)" % ",".join("?" * len(part)),
                [pipeline_id, tenant, *part],
            )
            out.update(cur.fetchall())
        return out

    def insert_rows(self, cur, tenant: str, chunk: Sequence[StoredRowValue]) -> int:
        # The store's tenant replaces whatever tenant the record names.
        cur.executemany(
            self.rows_sql, [(p, i, f, o, v, c, tenant, t) for p, i, f, o, v, c, _, t in chunk]
        )
        return len(chunk)

    def insert_results(self, cur, tenant: str, pipeline_id: int, cols: Tuple[List[Any], ...]) -> int:
        self._insert_many(cur, self._result_head, self._result_row, [tenant, pipeline_id], list(cols))
        return len(cols[0])

    # -- column batches --
    # Many rows per INSERT statement: sqlite3 binds parameters quickly but
    # pays for every statement it runs, so one row per execution costs
    # 4-5 times as much. ?1 (and ?2) are values shared by all rows.
    # (A bare ? numbers itself after the highest number before it, so the
    # shared values lead every row.)
    # Nodes and edges go in with OR IGNORE. Any statement of a transaction
    # that may abort halfway makes SQLite copy every page it touches that
    # already existed into a statement journal; random fingerprints touch
    # most of the unique index every statement, and a 1,000,000-node write
    # copied 4.3 GB that way. Only the unique constraints can fire on rows
    # built from column batches (no NULL reaches a NOT NULL column, ids are
    # reserved under the write lock), and skipping a conflict is what the
    # callers ask for: put_nodes reports the rows that went in.
    _node_head = "INSERT OR IGNORE INTO lumarq_nodes (tenant_id, pipeline_id, id, " + _NODE_COLS.split(", ", 2)[2] + ") VALUES "
    _node_row = "(?1,?2,?,?,?,?,?,?,?,?,?,?,?)"
    _edge_row = "(?1,?2,?,?,?)"
    _value_head = "INSERT INTO lumarq_row_values (tenant_id, " + _ROW_COLS.replace(", tenant_id", "") + ") VALUES "
    _value_row = "(?1,?,?,?,?,?,?,?)"
    _result_head = "INSERT INTO lumarq_results (" + _RESULT_COLS + ") VALUES "
    _result_row = "(?1,?2,?,?,?,?,?)"

    def __init__(self) -> None:
        self._max_params = 999  # SQLite's own limit before 3.32

    def set_limits(self, dbapi_conn: Any) -> None:
        getlimit = getattr(dbapi_conn, "getlimit", None)  # Python >= 3.11
        if getlimit is not None:
            import sqlite3

            self._max_params = min(getlimit(sqlite3.SQLITE_LIMIT_VARIABLE_NUMBER), 32766)

    def _insert_many(self, cur, head: str, row: str, shared: List[Any], columns: List[List[Any]],
                     tail: str = "", most: int = 500) -> int:
        """Rows in statements of up to `most`; returns the rows that went in."""
        k, n = len(columns), len(columns[0])
        flat: List[Any] = [None] * (n * k)
        for j, col in enumerate(columns):
            flat[j::k] = col
        per = max(1, min(most, (self._max_params - len(shared)) // k))
        full = n // per * per
        done = 0
        if full:
            sql = head + ",".join([row] * per) + tail
            step = per * k
            cur.executemany(sql, (shared + flat[s : s + step] for s in range(0, full * k, step)))
            done += max(cur.rowcount, 0)  # summed over the executions
        if full < n:
            cur.execute(head + ",".join([row] * (n - full)) + tail, shared + flat[full * k :])
            done += max(cur.rowcount, 0)
        return done

    @contextlib.contextmanager
    def roomy_cache(self, cur, nodes: int) -> Iterator[None]:
        """A page cache that holds the pipeline's part of the fingerprint
        index while `nodes` nodes go in: fingerprints arrive in no order, and
        with the default 2 MiB cache a 1,000,000-node write spent half its
        time re-reading index pages."""
        kib = min(65536, nodes * 16 // 1024)
        cur.execute("PRAGMA cache_size")
        old = cur.fetchone()[0]
        if kib <= abs(old) // (1 if old < 0 else 4):  # negative: KiB; positive: pages (4 KiB)
            yield
            return
        cur.execute("PRAGMA cache_size=%d" % -kib)
        try:
            yield
        finally:
            cur.execute("PRAGMA cache_size=%d" % old)

    def pipeline_size(self, cur, pipeline_id: int) -> int:
        cur.execute("SELECT count(*) FROM lumarq_nodes WHERE pipeline_id = ?", (pipeline_id,))
        return int(cur.fetchone()[0])

    stamp_is_size = False

    def map_stamp(self, cur, pipeline_id: int, size: Optional[int] = None) -> Any:
        """What tells that a fingerprint map kept after a commit still holds the pipeline's whole
        graph. Writers here take ids under the database's write lock, so ids grow in commit
        order, and nodes are never deleted: while the largest id stays, no node went in anywhere.
        One index step, where counting the pipeline's nodes reads all of them on every write."""
        cur.execute("SELECT max(id) FROM lumarq_nodes")
        return ("max-id", cur.fetchone()[0])

    def pipeline_map(self, cur, tenant: str, pipeline_id: int) -> Tuple[np.ndarray, np.ndarray]:
        cur.execute("SELECT fingerprint, id FROM lumarq_nodes WHERE pipeline_id = ? AND tenant_id = ?",
                    (pipeline_id, tenant))
        got = np.array(cur.fetchall(), dtype=np.int64).reshape(-1, 2)
        return got[:, 0], got[:, 1]

    def reserve_ids(self, cur, n: int) -> np.ndarray:
        # The caller holds the database's write lock (BEGIN IMMEDIATE): no
        # other writer can take these ids before the commit.
        cur.execute("SELECT max(id) FROM lumarq_nodes")
        top = cur.fetchone()[0] or 0
        return np.arange(top + 1, top + 1 + n, dtype=np.int64)

    # A run of rows sharing most of their values (an operation's row values or nodes) binds those
    # once per statement and reads the rest from a VALUES list: binding parameters is most of what
    # sqlite3 spends here, and this nearly halves the time of 1,000,000 row values or nodes.
    _run_rows = ("INSERT INTO lumarq_row_values (tenant_id, pipeline_id, node_operation, column_name, "
                 "row_index, fingerprint, value) SELECT ?1, ?2, ?3, ?4, column1, column2, column3 FROM (VALUES ")
    _run_nodes = ("INSERT OR IGNORE INTO lumarq_nodes (tenant_id, pipeline_id, node_type, operation, table_name, "
                  "column_name, pair_id, metadata, id, fingerprint, is_protected, entity_hash, chain_hash) "
                  "SELECT ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, column1, column2, column3, column4, column5 FROM (VALUES ")

    def _insert_run(self, cur, head: str, shared: List[Any], columns: List[List[Any]]) -> int:
        """One run: `shared` once per statement, `columns` row by row; the rows that went in."""
        return self._insert_many(cur, head, "(" + ",".join("?" * len(columns)) + ")", shared, columns,
                                 tail=")", most=2000)

    def put_nodes(self, cur, tenant: str, g: GraphColumns, take: np.ndarray, ids: np.ndarray,
                  md: List[Optional[str]]) -> int:
        lut = _lut(g.texts)
        n = int(take.size)
        kind, op, table, column = (g.node_type[take], g.operation[take], g.table_name[take], g.column_name[take])
        pair, pair_null = g.pair_id[take], g.pair_id_null[take]
        # A null pair id may hold anything: only set ones tell runs apart.
        starts = _node_run_starts(g, take, md, [np.where(pair_null, 0, pair), pair_null])
        fp, prot = g.fingerprint[take], g.is_protected[take]
        eh, eh_null = g.entity_hash[take], g.entity_hash_null[take]
        ch, ch_null = g.chain_hash[take], g.chain_hash_null[take]
        kinds = _lut(g.texts, "")
        if starts.size * _RUN_ROWS > n:  # short runs: a node's values each
            return self._insert_many(cur, self._node_head, self._node_row,
                                     [tenant, int(g.pipeline_id)], [
                ids.tolist(), fp.tolist(), _decode(kind, kinds), _decode(op, lut), _decode(table, lut),
                _decode(column, lut), _nullable(pair, pair_null), prot.tolist(), _nullable(eh, eh_null),
                _nullable(ch, ch_null), md,
            ])
        done = 0
        for s, e in zip(starts.tolist(), np.concatenate((starts[1:], [n])).tolist()):
            shared = [tenant, int(g.pipeline_id), kinds[kind[s]], lut[op[s]], lut[table[s]], lut[column[s]],
                      None if pair_null[s] else int(pair[s]), md[s]]
            done += self._insert_run(cur, self._run_nodes, shared, [
                ids[s:e].tolist(), fp[s:e].tolist(), prot[s:e].tolist(), _nullable(eh[s:e], eh_null[s:e]),
                _nullable(ch[s:e], ch_null[s:e])])
        return done

    def put_edges(self, cur, tenant: str, pipeline_id: int, parent: np.ndarray, child: np.ndarray,
                  position: np.ndarray, first_new: int) -> None:
        # OR IGNORE as for nodes: an edge stored before is skipped, as ON CONFLICT DO NOTHING
        # would, without a statement journal.
        self._insert_many(cur, "INSERT OR IGNORE INTO lumarq_edges (" + _EDGE_COLS + ") VALUES ", self._edge_row,
                          [tenant, pipeline_id], [parent.tolist(), child.tolist(), position.tolist()])

    def _row_values(self, cur, tenant: str, r: RowValueColumns, lut: np.ndarray, s: int, e: int,
                    texts: List[Optional[str]]) -> None:
        """Rows [s, e) with their text values `texts`, a row's values each."""
        self._insert_many(cur, self._value_head, self._value_row, [tenant], [
            r.pipeline_id[s:e].tolist(), r.row_index[s:e].tolist(), r.fingerprint[s:e].tolist(),
            _decode(r.node_operation[s:e], lut), _nullable(r.value[s:e], r.value_null[s:e]),
            _decode(r.column_name[s:e], lut), texts,
        ])

    def put_rows(self, cur, tenant: str, r: RowValueColumns) -> None:
        lut = _lut(r.texts)
        n = len(r)
        starts = _runs(n, [r.pipeline_id, r.node_operation, r.column_name], _text_rows(r))
        if starts.size * _RUN_ROWS > n:  # short runs: a row's values each
            self._row_values(cur, tenant, r, lut, 0, n, _sparse(n, r.text_value))
            return
        for s, e in zip(starts.tolist(), np.concatenate((starts[1:], [n])).tolist()):
            if s in r.text_value:  # a text row is a run of its own
                self._row_values(cur, tenant, r, lut, s, e, [r.text_value[s]])
                continue
            self._insert_run(cur, self._run_rows,
                             [tenant, int(r.pipeline_id[s]), lut[r.node_operation[s]], lut[r.column_name[s]]],
                             [r.row_index[s:e].tolist(), r.fingerprint[s:e].tolist(),
                              _nullable(r.value[s:e], r.value_null[s:e])])


class _PostgresBulk:
    nodes_sql = (
        "INSERT INTO lumarq_nodes (" + _NODE_COLS + ") "
        "SELECT %s, u.pid, u.fp, u.nt, u.op, u.tn, u.cn, u.pr, u.prot, u.eh, u.ch, u.md::jsonb "
        "FROM unnest(%s::bigint[], %s::bigint[], %s::text[], %s::text[], %s::text[], %s::text[], "
        "%s::int[], %s::bool[], %s::bigint[], %s::bigint[], %s::text[]) "
        "AS u(pid, fp, nt, op, tn, cn, pr, prot, eh, ch, md) "
        "ON CONFLICT (pipeline_id, fingerprint) DO NOTHING"
    )
    edges_sql = (
        "INSERT INTO lumarq_edges (" + _EDGE_COLS + ") "
        "SELECT c.tenant_id, c.pipeline_id, p.id, c.id, u.pos "
        "FROM unnest(%s::bigint[], %s::bigint[], %s::int[]) AS u(pid, cid, pos) "
        "JOIN lumarq_nodes c ON c.id = u.cid "
        "JOIN lumarq_nodes p ON p.id = u.pid AND p.pipeline_id = c.pipeline_id AND p.tenant_id = c.tenant_id "
        "WHERE c.tenant_id = %s "
        "ON CONFLICT (parent_node_id, child_node_id, input_position) DO NOTHING"
    )
    rows_copy = "COPY lumarq_row_values (" + _ROW_COLS + ") FROM STDIN"
    results_copy = "COPY lumarq_results (" + _RESULT_COLS + ") FROM STDIN"

    name_sql = (
        "UPDATE lumarq_nodes AS n SET metadata = u.md::jsonb "
        "FROM unnest(%s::text[], %s::bigint[], %s::bigint[]) AS u(md, pid, fp) "
        "WHERE n.tenant_id = %s AND n.pipeline_id = u.pid AND n.fingerprint = u.fp "
        "AND (n.metadata IS NULL OR n.metadata->>'column' IS NULL)"
    )

    def name_columns(self, cur, tenant: str, rows: List[tuple]) -> None:
        for start in range(0, len(rows), _PG_ARRAY_CHUNK):
            mds, pids, fps = (list(c) for c in zip(*rows[start : start + _PG_ARRAY_CHUNK]))
            cur.execute(self.name_sql, (mds, pids, fps, tenant))

    def insert_nodes(self, cur, params: List[tuple]) -> int:
        n = 0
        for start in range(0, len(params), _PG_ARRAY_CHUNK):
            part = params[start : start + _PG_ARRAY_CHUNK]
            cols = [list(c) for c in zip(*part)]
            cur.execute(self.nodes_sql, [part[0][0]] + cols[1:])
            n += max(cur.rowcount, 0)
        return n

    def insert_edges(self, cur, tenant: str, rows: Sequence[ResolvedEdge]) -> int:
        n = 0
        for start in range(0, len(rows), _PG_ARRAY_CHUNK):
            part = rows[start : start + _PG_ARRAY_CHUNK]
            parents, children, positions = (list(c) for c in zip(*part))
            cur.execute(self.edges_sql, (parents, children, positions, tenant))
            n += max(cur.rowcount, 0)
        return n

    def resolve(self, cur, tenant: str, pipeline_id: int, fps: List[int]) -> Dict[int, int]:
        cur.execute(
            "SELECT fingerprint, id FROM lumarq_nodes WHERE pipeline_id = %s AND tenant_id = %s "
            "AND fingerprint = ANY(%s::bigint[])",
            (pipeline_id, tenant, fps),
        )
        return dict(cur.fetchall())

    def insert_rows(self, cur, tenant: str, chunk: Sequence[StoredRowValue]) -> int:
        with cur.copy(self.rows_copy) as cp:
            write = cp.write_row
            for p, i, f, o, v, c, _, t in chunk:
                write((p, i, f, o, v, c, tenant, t))
        return len(chunk)

    def insert_results(self, cur, tenant: str, pipeline_id: int, cols: Tuple[List[Any], ...]) -> int:
        with cur.copy(self.results_copy) as cp:
            write = cp.write_row
            for k, name, fp, v, h in zip(*cols):
                write((tenant, pipeline_id, k, name, fp, v, h))
        return len(cols[0])

    # -- column batches --
    # Column batches go through binary COPY into temporary tables holding
    # fixed-width columns only (texts as codes into an array parameter), then
    # one INSERT ... SELECT: COPY cannot skip conflicting rows itself.
    _tmp_nodes = (
        "CREATE TEMP TABLE lumarq_tmp_nodes (id int8, fp int8, nt int4, op int4, tn int4, cn int4, "
        "pr int8, prn bool, prot bool, eh int8, ehn bool, ch int8, chn bool, md int4) ON COMMIT DROP"
    )
    _put_nodes = (
        "INSERT INTO lumarq_nodes (id, " + _NODE_COLS + ") "
        "SELECT t.id, %(tenant)s, %(pid)s, t.fp, coalesce((%(tx)s::text[])[t.nt + 1], ''), "
        "(%(tx)s::text[])[t.op + 1], (%(tx)s::text[])[t.tn + 1], (%(tx)s::text[])[t.cn + 1], "
        "CASE WHEN t.prn THEN NULL ELSE t.pr::int END, t.prot, "
        "CASE WHEN t.ehn THEN NULL ELSE t.eh END, CASE WHEN t.chn THEN NULL ELSE t.ch END, "
        "(%(md)s::text[])[t.md + 1]::jsonb FROM lumarq_tmp_nodes AS t "
        "ON CONFLICT (pipeline_id, fingerprint) DO NOTHING"
    )
    _node_seq: Optional[str] = None

    def roomy_cache(self, cur, nodes: int) -> "contextlib.AbstractContextManager[None]":
        return contextlib.nullcontext()

    def pipeline_size(self, cur, pipeline_id: int) -> int:
        cur.execute("SELECT count(*) FROM lumarq_nodes WHERE pipeline_id = %s", (int(pipeline_id),))
        return int(cur.fetchone()[0])

    stamp_is_size = True  # the stamp is pipeline_size: a stale map's stamp is not counted again

    def map_stamp(self, cur, pipeline_id: int, size: Optional[int] = None) -> Any:
        """See _SQLiteBulk.map_stamp. Concurrent writers here may commit ids out of order, so
        only the pipeline's node count tells (`size` when the caller knows it)."""
        return self.pipeline_size(cur, pipeline_id) if size is None else size

    def pipeline_map(self, cur, tenant: str, pipeline_id: int) -> Tuple[np.ndarray, np.ndarray]:
        fps, ids = _pg_int8_columns(cur, (
            "SELECT string_agg(int8send(fingerprint) || int8send(id), ''::bytea) FROM lumarq_nodes "
            "WHERE pipeline_id = %s AND tenant_id = %s"), (int(pipeline_id), tenant), 2)
        return fps, ids

    def reserve_ids(self, cur, n: int) -> np.ndarray:
        # Values drawn from the sequence belong to this transaction alone,
        # whatever other writers draw meanwhile.
        if self._node_seq is None:
            cur.execute("SELECT pg_get_serial_sequence('lumarq_nodes', 'id')")
            self._node_seq = cur.fetchone()[0]
        (ids,) = _pg_int8_columns(cur, "SELECT string_agg(int8send(nextval(%s::regclass)), ''::bytea) "
                                       "FROM generate_series(1, %s)", (self._node_seq, int(n)), 1)
        return np.sort(ids)

    def put_nodes(self, cur, tenant: str, g: GraphColumns, take: np.ndarray, ids: np.ndarray,
                  md: List[Optional[str]]) -> int:
        runs = self._node_runs(tenant, g, take, ids, md)
        if runs is not None:
            # Straight into the table while no stored node shares a fingerprint, which is the
            # rule: the caller left out those it knows. One that another writer stored since
            # fails the COPY, and the staged write below skips it instead.
            import psycopg

            cur.execute("SAVEPOINT lumarq_put_nodes")
            try:
                with cur.copy("COPY lumarq_nodes (id, " + _NODE_COLS + ") FROM STDIN (FORMAT binary)") as cp:
                    cp.write(_PG_COPY_HEAD)
                    for rows in runs:
                        cp.write(rows.tobytes())
                    cp.write(_PG_COPY_END)
            except psycopg.errors.UniqueViolation:
                cur.execute("ROLLBACK TO SAVEPOINT lumarq_put_nodes")
            else:
                cur.execute("RELEASE SAVEPOINT lumarq_put_nodes")
                return int(take.size)
        return self._put_staged(cur, tenant, g, take, ids, md)

    @staticmethod
    def _node_runs(tenant: str, g: GraphColumns, take: np.ndarray, ids: np.ndarray,
                   md: List[Optional[str]]) -> Optional[Iterator[np.ndarray]]:
        """The nodes as binary COPY rows, a packed array per run of nodes that share their texts
        and NULLs; None when runs are short or a pair id does not fit the column."""
        n = int(take.size)
        kind, op, table, column = (g.node_type[take], g.operation[take], g.table_name[take], g.column_name[take])
        pair, pair_null = g.pair_id[take], g.pair_id_null[take]
        eh_null, ch_null = g.entity_hash_null[take], g.chain_hash_null[take]
        starts = _node_run_starts(g, take, md, [pair_null, eh_null, ch_null])
        set_pairs = pair[~pair_null]
        if starts.size * _RUN_ROWS > n or (set_pairs.size and np.abs(set_pairs).max() >= 2**31):
            return None
        lut, kinds = _lut(g.texts), _lut(g.texts, "")
        fp, prot = g.fingerprint[take], g.is_protected[take]
        eh, ch = g.entity_hash[take], g.chain_hash[take]
        shared = [_pg_text(tenant), (">i8", int(g.pipeline_id))]

        def rows() -> Iterator[np.ndarray]:
            for s, e in zip(starts.tolist(), np.concatenate((starts[1:], [n])).tolist()):
                yield _pg_rows(e - s, [(">i8", ids[s:e])] + shared + [
                    (">i8", fp[s:e]), _pg_text(kinds[kind[s]]), _pg_text(lut[op[s]]), _pg_text(lut[table[s]]),
                    _pg_text(lut[column[s]]), (None, None) if pair_null[s] else (">i4", pair[s:e]),
                    ("?", prot[s:e]), (None, None) if eh_null[s] else (">i8", eh[s:e]),
                    (None, None) if ch_null[s] else (">i8", ch[s:e]),
                    # jsonb's binary form: a version byte, then the text
                    (None, None) if md[s] is None else _pg_text("\x01" + md[s]),
                ])

        return rows()

    def _put_staged(self, cur, tenant: str, g: GraphColumns, take: np.ndarray, ids: np.ndarray,
                    md: List[Optional[str]]) -> int:
        md_at = np.full(take.size, -1, np.int32)
        md_texts = []
        for j, text in enumerate(md):
            if text is not None:
                md_at[j] = len(md_texts)
                md_texts.append(text)
        cur.execute(self._tmp_nodes)
        _pg_copy_in(cur, "COPY lumarq_tmp_nodes FROM STDIN (FORMAT binary)", _pg_rows(int(take.size), [
            (">i8", ids), (">i8", g.fingerprint[take]), (">i4", g.node_type[take]), (">i4", g.operation[take]),
            (">i4", g.table_name[take]), (">i4", g.column_name[take]), (">i8", g.pair_id[take]),
            ("?", g.pair_id_null[take]), ("?", g.is_protected[take]), (">i8", g.entity_hash[take]),
            ("?", g.entity_hash_null[take]), (">i8", g.chain_hash[take]), ("?", g.chain_hash_null[take]),
            (">i4", md_at),
        ]))
        cur.execute(self._put_nodes, dict(tenant=tenant, pid=int(g.pipeline_id), tx=list(g.texts), md=md_texts))
        return max(cur.rowcount, 0)

    def put_edges(self, cur, tenant: str, pipeline_id: int, parent: np.ndarray, child: np.ndarray,
                  position: np.ndarray, first_new: int) -> None:
        # An edge with an endpoint made in this transaction cannot exist yet
        # (its id is new and invisible to others): those go straight in.
        new = (parent >= first_new) | (child >= first_new)
        old = ~new
        if old.any():
            self.insert_edges(cur, tenant, list(zip(parent[old].tolist(), child[old].tolist(),
                                                    position[old].tolist())))
        if new.any():
            t = tenant.encode("utf-8")
            _pg_copy_in(cur, "COPY lumarq_edges (" + _EDGE_COLS + ") FROM STDIN (FORMAT binary)",
                        _pg_rows(int(new.sum()), [("S%d" % len(t), t), (">i8", pipeline_id), (">i8", parent[new]),
                                                  (">i8", child[new]), (">i4", position[new])]))

    def put_rows(self, cur, tenant: str, r: RowValueColumns) -> None:
        # Straight into the table (it has no conflicts to skip), as packed
        # arrays over runs of rows that share their texts and NULLs.
        n = len(r)
        starts = _runs(n, [r.node_operation, r.column_name, r.value_null], _text_rows(r))
        if starts.size * 8 > n:  # short runs: per-row writing is cheaper
            lut = _lut(r.texts)
            self.insert_rows(cur, tenant, list(zip(
                r.pipeline_id.tolist(), r.row_index.tolist(), r.fingerprint.tolist(), _decode(r.node_operation, lut),
                _nullable(r.value, r.value_null), _decode(r.column_name, lut), itertools.repeat(None),
                _sparse(n, r.text_value))))
            return
        ends = np.concatenate((starts[1:], [n]))
        t = _pg_text(tenant)
        with cur.copy("COPY lumarq_row_values (" + _ROW_COLS + ") FROM STDIN (FORMAT binary)") as cp:
            cp.write(_PG_COPY_HEAD)
            for s, e in zip(starts.tolist(), ends.tolist()):
                rows = _pg_rows(e - s, [
                    (">i8", r.pipeline_id[s:e]), (">i8", r.row_index[s:e]), (">i8", r.fingerprint[s:e]),
                    _pg_text(None if r.node_operation[s] < 0 else r.texts[r.node_operation[s]]),
                    (None, None) if r.value_null[s] else (">f8", r.value[s:e]),
                    _pg_text(None if r.column_name[s] < 0 else r.texts[r.column_name[s]]), t,
                    _pg_text(r.text_value.get(s)),
                ])
                cp.write(rows.tobytes())
            cp.write(_PG_COPY_END)


def _row_pipelines(chunks: Iterable[Sequence[StoredRowValue]]) -> set:
    pids = set()
    for chunk in chunks:
        pids.update({r[0] for r in chunk})
    pids.discard(0)  # recorded before any pipeline existed
    return pids


# ---------------------------------------------------------------------------
# The backend
# ---------------------------------------------------------------------------


class SQLBackend(StorageBackend):
    """SQLite file or memory database, or a PostgreSQL server."""

    def __init__(self, url: str, kind: str):
        if kind not in ("sqlite", "postgresql"):
            raise ValueError("SQLBackend serves sqlite and postgresql URLs only")
        self._url = url
        self.kind = kind
        self.masked_url = mask_url(url)
        self._scrub = Scrubber([url_password(url)])
        self._engine: Optional[Engine] = None
        self._bulk = _SQLiteBulk() if kind == "sqlite" else _PostgresBulk()
        self._memory = False
        # SQLite allows one writer at a time; serialising our own writers in
        # process avoids busy-wait retries inside the driver. A memory
        # database is one shared connection, so reads are serialised too.
        self._write_lock: Any = _FairLock() if kind == "sqlite" else contextlib.nullcontext()
        self._read_lock: Any = contextlib.nullcontext()
        self._pipeline_tenant: Dict[int, str] = {}
        self._stats_lock = threading.Lock()
        # (tenant, pipeline) -> (stamp, sorted fingerprints, ids) as this backend last
        # committed them: a writer's later slices of one graph skip re-reading the pipeline's
        # map while the stamp (see map_stamp) says nobody else added to it.
        self._maps: "collections.OrderedDict[Tuple[str, int], Tuple[Any, np.ndarray, np.ndarray]]" = (
            collections.OrderedDict())
        self._maps_pending = threading.local()
        self._nodes_since_analyze = 0
        self._nodes_at_analyze = 0

    # -- lifecycle ----------------------------------------------------------

    def connect(self) -> None:
        if self._engine is not None:
            return
        try:
            engine = self._make_engine()
        except ValueError:
            raise
        except Exception as exc:  # URL parsing problems
            raise ValueError(
                "Invalid storage URL %s: %s" % (self.masked_url, describe_error(exc, self._scrub))
            ) from None
        try:
            self._create_schema(engine)
        except Exception as exc:
            engine.dispose()
            raise ConnectionError(
                "Cannot open storage database %s: %s"
                % (self.masked_url, describe_error(exc, self._scrub))
            ) from None
        self._engine = engine

    def close(self) -> None:
        engine, self._engine = self._engine, None
        if engine is not None:
            engine.dispose()

    def _make_engine(self) -> Engine:
        common = dict(hide_parameters=True, json_serializer=dumps_json)
        if self.kind == "sqlite":
            sa_url = make_url(self._url)
            database = sa_url.database or ""
            if database in ("", ":memory:"):
                self._memory = True
                self._read_lock = self._write_lock
                engine = create_engine(
                    "sqlite://",
                    poolclass=StaticPool,
                    connect_args={"check_same_thread": False},
                    **common,
                )
            else:
                engine = create_engine(
                    sa_url.set(drivername="sqlite"),
                    connect_args={"check_same_thread": False, "timeout": 30.0},
                    **common,
                )
            memory, bulk = self._memory, self._bulk

            @event.listens_for(engine, "connect")
            def _sqlite_pragmas(dbapi_conn, _record):
                # We open write transactions ourselves (BEGIN IMMEDIATE, see
                # _begin); reads run in autocommit.
                dbapi_conn.isolation_level = None
                cur = dbapi_conn.cursor()
                if not memory:
                    cur.execute("PRAGMA journal_mode=WAL")
                # WAL + NORMAL: commits survive a process crash; only an OS
                # crash can lose the last transactions.
                cur.execute("PRAGMA synchronous=NORMAL")
                cur.close()
                bulk.set_limits(dbapi_conn)

            return engine
        sa_url = make_url(self._url).set(drivername="postgresql+psycopg")
        return create_engine(
            sa_url,
            pool_pre_ping=True,
            connect_args={"connect_timeout": 10, "application_name": "lumarq"},
            **common,
        )

    def _create_schema(self, engine: Engine) -> None:
        with self._begin(engine) as conn:
            if self.kind == "postgresql":
                # Two processes connecting to a fresh database at once must
                # not both run CREATE TABLE.
                conn.exec_driver_sql("SELECT pg_advisory_xact_lock(7302671)")
            S.metadata.create_all(conn, checkfirst=True)
            row = conn.execute(
                select(S.schema_info.c.value).where(S.schema_info.c.key == "schema_version")
            ).first()
            if row is None:
                conn.execute(
                    insert(S.schema_info).values(key="schema_version", value=str(S.SCHEMA_VERSION))
                )
            elif int(row[0]) > S.SCHEMA_VERSION:
                raise RuntimeError(
                    "database schema version %s is newer than this lumarq supports (%d)"
                    % (row[0], S.SCHEMA_VERSION)
                )
            elif int(row[0]) < S.SCHEMA_VERSION:
                # Every version so far only added tables, which create_all
                # has just made; the rows of the older tables stay as they are.
                conn.execute(
                    update(S.schema_info)
                    .where(S.schema_info.c.key == "schema_version")
                    .values(value=str(S.SCHEMA_VERSION))
                )

    @property
    def engine(self) -> Engine:
        if self._engine is None:
            raise RuntimeError("storage is not connected; call connect() first")
        return self._engine

    @contextlib.contextmanager
    def _begin(self, engine: Engine) -> Iterator[Connection]:
        if self.kind != "sqlite":
            with engine.begin() as conn:
                yield conn
            return
        # BEGIN IMMEDIATE takes the write lock up front (waiting up to the
        # busy timeout). A deferred transaction that reads first fails at
        # once with "database is locked" when another process wrote since
        # its read.
        with self._write_lock, engine.connect() as conn:
            conn.exec_driver_sql("BEGIN IMMEDIATE")
            try:
                yield conn
            except BaseException:
                conn.rollback()
                raise
            conn.commit()

    @contextlib.contextmanager
    def _tx(self) -> Iterator[Connection]:
        with self._begin(self.engine) as conn:
            yield conn

    @contextlib.contextmanager
    def _read(self) -> Iterator[Connection]:
        engine = self.engine
        with self._read_lock, engine.connect() as conn:
            yield conn

    def transaction(self) -> "contextlib.AbstractContextManager[Connection]":
        """A write transaction (committed on leaving, rolled back on error)."""
        return self._tx()

    def reading(self) -> "contextlib.AbstractContextManager[Connection]":
        """A connection for reads."""
        return self._read()

    def check_pipelines(self, conn: Connection, tenant: str, ids: Iterable[int]) -> None:
        """UnknownPipelineError unless every id is a pipeline of `tenant`."""
        self._check_pipelines(conn, tenant, ids)

    # -- applied batches ------------------------------------------------------

    def _claim_batch(self, conn: Connection, tenant: str, batch_id: Optional[str]) -> Optional[Dict[str, int]]:
        """Claim `batch_id` in this transaction; the stored result if a batch
        of that id was applied before (then nothing must be written).

        On PostgreSQL a concurrent claim of the same id waits for the first
        transaction and then sees its row, so a batch applies at most once.
        """
        if batch_id is None:
            return None
        from sqlalchemy.dialects import postgresql, sqlite

        dialect_insert: Any = sqlite.insert if self.kind == "sqlite" else postgresql.insert
        w = S.write_batches
        claimed = conn.execute(
            dialect_insert(w)
            .values(tenant_id=tenant, batch_id=batch_id, result=None, applied_at=_now())
            .on_conflict_do_nothing(index_elements=["tenant_id", "batch_id"])
            .returning(w.c.batch_id)
        ).first()
        if claimed is not None:
            return None
        stored = conn.execute(
            select(w.c.result).where(w.c.tenant_id == tenant, w.c.batch_id == batch_id)
        ).scalar_one_or_none()
        out = json.loads(stored) if stored else {}
        out["duplicate"] = 1
        return out

    @staticmethod
    def _batch_done(conn: Connection, tenant: str, batch_id: Optional[str], result: Dict[str, int]) -> None:
        if batch_id is None:
            return
        w = S.write_batches
        conn.execute(
            update(w)
            .where(w.c.tenant_id == tenant, w.c.batch_id == batch_id)
            .values(result=dumps_json(result))
        )

    def prune_batches(self, older_than: _dt.timedelta) -> int:
        """Forget applied batch ids older than `older_than`; returns how many."""
        w = S.write_batches
        with self._tx() as conn:
            res = conn.execute(w.delete().where(w.c.applied_at < _now() - older_than))
            return max(res.rowcount, 0)

    @staticmethod
    def _cursor(conn: Connection) -> Any:
        driver: Any = conn.connection.driver_connection
        return driver.cursor()

    # -- tenant checks --------------------------------------------------------

    def _check_pipelines(self, conn: Connection, tenant: str, ids: Iterable[int]) -> None:
        known = self._pipeline_tenant
        missing = {int(i) for i in ids if known.get(i) != tenant}
        if not missing:
            return
        found: set = set()
        todo = sorted(missing)
        for start in range(0, len(todo), _IN_CHUNK):
            part = todo[start : start + _IN_CHUNK]
            found.update(
                conn.execute(
                    select(S.pipelines.c.id).where(
                        S.pipelines.c.tenant_id == tenant, S.pipelines.c.id.in_(part)
                    )
                ).scalars()
            )
        for pid in found:
            known[pid] = tenant
        bad = missing - found
        if bad:
            raise UnknownPipelineError(
                "unknown pipeline id(s) for this tenant: %s" % ", ".join(map(str, sorted(bad)[:5]))
            )

    # -- pipelines and sources ------------------------------------------------

    def create_pipeline(self, tenant, name, config, git_commit) -> int:
        if self.kind == "postgresql":
            bad = _nul_field([(name, git_commit, config)], ((0, "name"), (1, "git_commit"), (2, "metadata")), "pipeline")
            if bad:
                raise _refuse_nul(bad.replace("metadata", "config"))
        with self._tx() as conn:
            result = conn.execute(
                insert(S.pipelines).values(
                    tenant_id=tenant,
                    name=name,
                    status="running",
                    config=config,
                    git_commit=git_commit,
                    created_at=_now(),
                )
            )
            key: Any = result.inserted_primary_key
            pid = int(key[0])
        self._pipeline_tenant[pid] = tenant
        return pid

    def complete_pipeline(self, tenant, pipeline_id, status) -> Optional[str]:
        p = S.pipelines
        with self._tx() as conn:
            # A failed pipeline stays failed: a later "completed" must not
            # report it as a success.
            res = conn.execute(
                update(p)
                .where(p.c.id == pipeline_id, p.c.tenant_id == tenant, p.c.status != "failed")
                .values(status=status, completed_at=_now())
            )
            if res.rowcount == 0:
                exists = conn.execute(
                    select(p.c.id).where(p.c.id == pipeline_id, p.c.tenant_id == tenant)
                ).first()
                if exists is None:
                    raise UnknownPipelineError(
                        "unknown pipeline id for this tenant: %d" % pipeline_id
                    )
                return "failed"
            return status

    def register_sources(self, tenant, rows) -> None:
        if rows:
            with self._tx() as conn:
                self._upsert_sources(conn, tenant, rows)

    def _upsert_sources(self, conn: Connection, tenant: str, rows: Sequence[SourceRow]) -> None:
        from sqlalchemy.dialects import postgresql, sqlite

        dialect_insert: Any = sqlite.insert if self.kind == "sqlite" else postgresql.insert
        if self.kind == "postgresql":
            bad = _nul_field(rows, _SOURCE_TEXT, "sources")
            if bad:
                raise _refuse_nul(bad)
        now = _now()
        # Later registrations of the same column win, also within one call.
        latest: Dict[Tuple[str, str], dict] = {}
        for pair_id, table, column, prot in rows:
            latest[(str(table), str(column))] = dict(
                tenant_id=tenant,
                table_name=str(table),
                column_name=str(column),
                pair_id=_opt_int(pair_id),
                is_protected=bool(prot),
                registered_at=now,
            )
        stmt = dialect_insert(S.sources)
        stmt = stmt.on_conflict_do_update(
            index_elements=["tenant_id", "table_name", "column_name"],
            set_=dict(
                pair_id=stmt.excluded.pair_id,
                is_protected=stmt.excluded.is_protected,
                registered_at=stmt.excluded.registered_at,
            ),
        )
        conn.execute(stmt, list(latest.values()))

    # -- graph ------------------------------------------------------------------

    def store_nodes(self, tenant, nodes) -> int:
        if not nodes:
            return 0
        with self._tx() as conn:
            added = self._insert_nodes(conn, tenant, nodes)
        self._maybe_analyze()
        return added

    def _insert_nodes(self, conn: Connection, tenant: str, nodes: Sequence[StoredNode]) -> int:
        params: List[tuple] = []
        append = params.append
        for fp, ntype, op, table, column, pair, prot, ent, chain, meta, pid in nodes:
            if pid is None:
                raise ValueError("a node record has no pipeline_id")
            append(
                (
                    tenant,
                    int(pid),
                    int(fp),
                    str(ntype),
                    op,
                    table,
                    column,
                    _opt_int(pair),
                    bool(prot),
                    _opt_int(ent),
                    _opt_int(chain),
                    None if meta is None else dumps_json(meta),
                )
            )
        if self.kind == "postgresql":
            bad = _nul_field(nodes, _NODE_TEXT, "nodes")
            if bad:
                raise _refuse_nul(bad)
        self._check_pipelines(conn, tenant, {p[1] for p in params})
        cur = self._cursor(conn)
        added = self._bulk.insert_nodes(cur, params)
        if added < len(params):
            named = [(p[11], p[1], p[2]) for p, node in zip(params, nodes)
                     if isinstance(node[9], dict) and "column" in node[9]]
            if named:
                self._bulk.name_columns(cur, tenant, named)
        self._touch(conn, tenant, {p[1] for p in params})
        with self._stats_lock:
            self._nodes_since_analyze += added
        return added

    def _maybe_analyze(self) -> None:
        """Refresh PostgreSQL's statistics of the nodes table as it grows.

        Until autovacuum catches up, the planner believes a freshly filled
        table is tiny and resolves fingerprints by scanning the whole
        pipeline (300 ms instead of 0.4 ms per look-up at 50,000 nodes).
        Analysing whenever the table grew by a quarter keeps the total cost
        proportional to the data written.
        """
        if self.kind != "postgresql":
            return
        with self._stats_lock:
            grown = self._nodes_since_analyze
            if grown < 2000 or grown * 4 < self._nodes_at_analyze:
                return
            self._nodes_since_analyze = 0
            self._nodes_at_analyze += grown
        try:
            with self.engine.connect() as conn:
                conn.exec_driver_sql("ANALYZE lumarq_nodes")
                conn.commit()
        except Exception as exc:  # statistics are an optimisation only
            logging.getLogger("lumarq.utilities.persistence").debug(
                "ANALYZE skipped: %s", describe_error(exc, self._scrub)
            )

    def fingerprint_node_map(self, tenant, pipeline_id) -> Dict[int, int]:
        n = S.nodes
        with self._read() as conn:
            rows = conn.execute(
                select(n.c.fingerprint, n.c.id).where(
                    n.c.pipeline_id == pipeline_id, n.c.tenant_id == tenant
                )
            )
            return {int(fp): int(i) for fp, i in rows}

    def store_edges_resolved(self, tenant, rows) -> int:
        if not rows:
            return 0
        clean = [(int(p), int(c), int(pos)) for p, c, pos in rows]
        with self._tx() as conn:
            return self._bulk.insert_edges(self._cursor(conn), tenant, clean)

    def store_edges(self, tenant, pipeline_id, edges) -> Tuple[int, int]:
        if not edges:
            return 0, 0
        with self._tx() as conn:
            return self._insert_edges_by_fp(conn, tenant, int(pipeline_id), edges)

    def _resolve(self, conn: Connection, tenant: str, pipeline_id: int, fps: Iterable[int]) -> Dict[int, int]:
        return self._bulk.resolve(self._cursor(conn), tenant, pipeline_id, sorted(set(fps)))

    def _insert_edges_by_fp(
        self, conn: Connection, tenant: str, pipeline_id: int, edges: Sequence[StoredEdge]
    ) -> Tuple[int, int]:
        self._check_pipelines(conn, tenant, [pipeline_id])
        triples = [(int(p), int(c), int(pos)) for p, c, pos in edges]
        ids = self._resolve(conn, tenant, pipeline_id, [t[0] for t in triples] + [t[1] for t in triples])
        resolved = []
        unresolved = 0
        for p, c, pos in triples:
            pid, cid = ids.get(p), ids.get(c)
            if pid is None or cid is None:
                unresolved += 1
            else:
                resolved.append((pid, cid, pos))
        if resolved:
            self._bulk.insert_edges(self._cursor(conn), tenant, resolved)
        return len(resolved), unresolved

    # -- values -------------------------------------------------------------------

    def store_row_values(self, tenant, chunks, batch_id: Optional[str] = None) -> int:
        chunks = [c for c in chunks if c]
        n = self._rows_in_pieces(tenant, chunks, batch_id)
        with self._tx() as conn:
            done = self._claim_batch(conn, tenant, batch_id)
            if done is not None:
                return int(done.get("inserted", 0))
            if chunks:
                n += self._insert_rows(conn, tenant, chunks)
            self._batch_done(conn, tenant, batch_id, {"inserted": n})
            return n

    def _rows_in_pieces(self, tenant: str, chunks: List[Sequence[StoredRowValue]],
                        batch_id: Optional[str]) -> int:
        """On SQLite, write all but the last piece of a big row-value write in
        transactions of their own (removing them from `chunks`); each piece
        carries an id derived from `batch_id`, so a retry skips pieces already
        written. Returns the rows written."""
        if self.kind != "sqlite" or sum(len(c) for c in chunks) <= SQLITE_WRITE_CHUNK:
            return 0
        rows = [r for c in chunks for r in c]
        pids = _row_pipelines([rows])
        if pids:
            with self._read() as conn:
                self._check_pipelines(conn, tenant, pids)
        starts = list(range(0, len(rows), SQLITE_WRITE_CHUNK))
        written = 0
        for k, start in enumerate(starts[:-1]):
            piece = rows[start : start + SQLITE_WRITE_CHUNK]
            with self._tx() as conn:
                sub = None if batch_id is None else "%s#%d" % (batch_id, k)
                if self._claim_batch(conn, tenant, sub) is not None:
                    continue
                written += self._insert_rows(conn, tenant, [piece], checked=True)
                self._batch_done(conn, tenant, sub, {"inserted": len(piece)})
        chunks[:] = [rows[starts[-1]:]]
        return written

    def _insert_rows(self, conn: Connection, tenant: str, chunks, checked: bool = False) -> int:
        if not checked:
            pids = _row_pipelines(chunks)
            if pids:
                self._check_pipelines(conn, tenant, pids)
        cur = self._cursor(conn)
        try:
            n = sum(self._bulk.insert_rows(cur, tenant, chunk) for chunk in chunks if chunk)
        except Exception:
            self._explain_refusal(chunks, _ROW_TEXT, "row_values")
            raise
        self._touch(conn, tenant, _row_pipelines(chunks) if checked else pids)
        return n

    def _explain_refusal(self, chunks: Sequence[Sequence[Any]], fields: Sequence[Tuple[int, str]], where: str) -> None:
        """After PostgreSQL refused a bulk insert: ValueError naming a text
        field it cannot hold, if there is one (the caller re-raises otherwise)."""
        if self.kind != "postgresql":
            return
        for k, chunk in enumerate(chunks):
            bad = _nul_field(chunk, fields, "%s[%d]" % (where, k) if len(chunks) > 1 else where)
            if bad:
                raise _refuse_nul(bad) from None

    def _touch(self, conn: Connection, tenant: str, pids: Iterable[int], lost: Optional[Dict[int, int]] = None) -> None:
        """Record a write (and records lost) on the pipelines' delivery record."""
        lost = lost or {}
        todo = sorted({int(p) for p in pids if p} | set(lost))
        if not todo:
            return
        if lost:
            self._check_pipelines(conn, tenant, list(lost))
        from sqlalchemy.dialects import postgresql, sqlite

        dialect_insert: Any = sqlite.insert if self.kind == "sqlite" else postgresql.insert
        h = S.pipeline_health
        now = _now()
        stmt = dialect_insert(h)
        stmt = stmt.on_conflict_do_update(
            index_elements=["pipeline_id"],
            set_=dict(last_write_at=stmt.excluded.last_write_at,
                      lost_records=h.c.lost_records + stmt.excluded.lost_records),
        )
        conn.execute(stmt, [dict(pipeline_id=p, tenant_id=tenant, lost_records=int(lost.get(p, 0)),
                                 last_write_at=now) for p in todo])

    def store_results(self, tenant, pipeline_id, rows, batch_id: Optional[str] = None) -> int:
        cols = ([str(k) for k, _, _, _, _ in rows], [str(n) for _, n, _, _, _ in rows],
                [int(fp) for _, _, fp, _, _ in rows], [None if v is None else float(v) for _, _, _, v, _ in rows],
                [h for _, _, _, _, h in rows])
        return self._store_results(tenant, int(pipeline_id), cols, batch_id)

    def store_result_columns(self, tenant, pipeline_id, columns: ResultColumns,
                             batch_id: Optional[str] = None) -> int:
        keys, names, fps, values, hashes = columns.flat()
        names = [n if type(n) is str else str(n) for n in names]
        return self._store_results(tenant, int(pipeline_id), (keys, names, fps, values, hashes), batch_id)

    def _store_results(self, tenant: str, pid: int, cols: Tuple[List[Any], ...], batch_id: Optional[str]) -> int:
        """Result rows given as five columns: row key, output name, fingerprint, value, hash."""
        with self._tx() as conn:
            self._check_pipelines(conn, tenant, [pid])
            done = self._claim_batch(conn, tenant, batch_id)
            if done is not None:
                return int(done.get("inserted", 0))
            try:
                n = self._bulk.insert_results(self._cursor(conn), tenant, pid, cols) if cols[0] else 0
            except Exception:
                self._explain_refusal([list(zip(*cols))], _RESULT_TEXT, "results")
                raise
            self._touch(conn, tenant, [pid])
            self._batch_done(conn, tenant, batch_id, {"inserted": n})
            return n

    def write_batch(self, tenant, *, sources=(), nodes=(), edges=(), row_values=(),
                    batch_id: Optional[str] = None, lost: Sequence[Tuple[int, int]] = ()) -> Dict[str, int]:
        unresolved = 0
        row_values = [c for c in row_values if c]
        # Row values first: on SQLite a big batch writes its leading pieces in
        # transactions of their own; the last transaction claims the batch id.
        self._rows_in_pieces(tenant, row_values, batch_id)
        with self._tx() as conn:
            done = self._claim_batch(conn, tenant, batch_id)
            if done is not None:
                return done
            if sources:
                self._upsert_sources(conn, tenant, sources)
            if nodes:
                self._insert_nodes(conn, tenant, nodes)
            if edges:
                by_pipeline: Dict[int, List[StoredEdge]] = {}
                for pid, group in edges:
                    by_pipeline.setdefault(int(pid), []).extend(group)
                for pid, group in by_pipeline.items():
                    unresolved += self._insert_edges_by_fp(conn, tenant, pid, group)[1]
                self._touch(conn, tenant, by_pipeline)
            if row_values:
                self._insert_rows(conn, tenant, row_values)
            if lost:
                self.record_lost(tenant, lost, conn)
            self._batch_done(conn, tenant, batch_id, {"edges_unresolved": unresolved})
        if nodes:
            self._maybe_analyze()
        return {"edges_unresolved": unresolved}

    # -- column batches -------------------------------------------------------------

    def write_columns(self, tenant, *, graph: Optional[GraphColumns] = None,
                      row_values: Optional[RowValueColumns] = None, batch_id: Optional[str] = None,
                      lost: Sequence[Tuple[int, int]] = ()) -> Dict[str, int]:
        """`write_batch` for column batches, read straight from the arrays.

        Node ids are taken inside the write transaction (the next rowids under
        SQLite's write lock, values drawn from the sequence on PostgreSQL), so
        edges are resolved to ids with numpy rather than by a look-up per edge.
        """
        if graph is not None and not (len(graph) or graph.edge_parent.size):
            graph = None
        rows = row_values if row_values is not None and len(row_values) else None
        md: Dict[int, str] = {}
        if graph is not None:
            md = {int(i): dumps_json(v) for i, v in graph.metadata.items() if v is not None}
        if self.kind == "postgresql":
            bad = ((graph is not None and _column_nul(_graph_texts(graph, md), "nodes"))
                   or (rows is not None and _column_nul(_row_texts(rows), "row_values")))
            if bad:
                raise _refuse_nul(bad)
        row_pids = _row_pids(rows) if rows is not None else set()
        rest = rows
        if rows is not None and self.kind == "sqlite" and len(rows) > SQLITE_WRITE_CHUNK:
            rest = self._column_rows_in_pieces(tenant, rows, row_pids, graph, batch_id)
        unresolved = 0
        self._maps_pending.value = None
        with self._tx() as conn:
            done = self._claim_batch(conn, tenant, batch_id)
            if done is not None:
                return done
            if graph is not None:
                unresolved = self._write_graph(conn, tenant, graph, md)
            if rest is not None:
                self._check_pipelines(conn, tenant, row_pids)
                self._bulk.put_rows(self._cursor(conn), tenant, rest)
                self._touch(conn, tenant, _row_pids(rest))
            if lost:
                self.record_lost(tenant, lost, conn)
            self._batch_done(conn, tenant, batch_id, {"edges_unresolved": unresolved})
        self._keep_map()
        if graph is not None and len(graph):
            self._maybe_analyze()
        return {"edges_unresolved": unresolved}

    def _column_rows_in_pieces(self, tenant: str, rows: RowValueColumns, pids: set,
                               graph: Optional[GraphColumns], batch_id: Optional[str]) -> RowValueColumns:
        """As `_rows_in_pieces`, for a column batch: every piece but the last
        in a transaction of its own; returns the last piece."""
        # The graph's pipeline is checked too, so that a batch refused for it
        # leaves no pieces of its row values behind.
        with self._read() as conn:
            self._check_pipelines(conn, tenant, pids | ({int(graph.pipeline_id)} if graph is not None else set()))
        starts = list(range(0, len(rows), SQLITE_WRITE_CHUNK))
        for k, start in enumerate(starts[:-1]):
            with self._tx() as conn:
                sub = None if batch_id is None else "%s#%d" % (batch_id, k)
                if self._claim_batch(conn, tenant, sub) is not None:
                    continue
                piece = rows.slice(start, start + SQLITE_WRITE_CHUNK)
                self._bulk.put_rows(self._cursor(conn), tenant, piece)
                self._touch(conn, tenant, _row_pids(piece))
                self._batch_done(conn, tenant, sub, {"inserted": len(piece)})
        return rows.slice(starts[-1], len(rows))

    def _write_graph(self, conn: Connection, tenant: str, g: GraphColumns, md: Dict[int, str]) -> int:
        """Nodes (the first record per fingerprint; stored nodes keep theirs),
        then edges; returns the edges whose endpoints are unknown."""
        pid = int(g.pipeline_id)
        self._check_pipelines(conn, tenant, [pid])
        cur = self._cursor(conn)
        fp = np.asarray(g.fingerprint, np.int64)
        eparent = np.asarray(g.edge_parent, np.int64)
        echild = np.asarray(g.edge_child, np.int64)
        uniq, first = np.unique(fp, return_index=True)
        named = _distinct(np.concatenate([uniq, eparent, echild]))
        known_fp, known_id, whole = self._stored_ids(cur, tenant, pid, named)
        take = np.sort(first[~np.isin(uniq, known_fp, assume_unique=True)])
        with self._bulk.roomy_cache(cur, int(take.size + known_fp.size)):
            known_fp, known_id, first_new, added = self._put_nodes(cur, tenant, g, take, md, known_fp, known_id, named)
            if whole and added == take.size:
                stamp = self._bulk.map_stamp(cur, pid, int(known_fp.size))
                self._maps_pending.value = (tenant, pid, known_fp, known_id, stamp)
            if added < fp.size:
                # As _insert_nodes: a stored node without a column name takes one.
                names = [(text, pid, int(fp[i])) for i, text in sorted(md.items())
                         if isinstance(g.metadata[i], dict) and "column" in g.metadata[i]]
                if names:
                    self._bulk.name_columns(cur, tenant, names)
            with self._stats_lock:
                self._nodes_since_analyze += added
            unresolved = 0
            if eparent.size:
                parent, child = _lookup(known_fp, known_id, eparent, echild)
                ok = (parent >= 0) & (child >= 0)
                unresolved = int(ok.size - np.count_nonzero(ok))
                parent, child = parent[ok], child[ok]
                pos = np.asarray(g.edge_position, np.int64)[ok]
                # Sorted by child (the order the edge indexes grow in), each edge once.
                order = np.lexsort((pos, parent, child))
                parent, child, pos = parent[order], child[order], pos[order]
                if parent.size:
                    again = np.zeros(parent.size, bool)
                    again[1:] = (parent[1:] == parent[:-1]) & (child[1:] == child[:-1]) & (pos[1:] == pos[:-1])
                    keep = ~again
                    self._bulk.put_edges(cur, tenant, pid, parent[keep], child[keep], pos[keep], first_new)
        self._touch(conn, tenant, [pid])
        return unresolved

    def _put_nodes(self, cur: Any, tenant: str, g: GraphColumns, take: np.ndarray, md: Dict[int, str],
                   known_fp: np.ndarray, known_id: np.ndarray, named: np.ndarray) -> Tuple[np.ndarray, np.ndarray, int, int]:
        """Insert the records at `take` under ids taken now; returns the
        fingerprint map extended by them, the first new id and how many went in."""
        if not take.size:
            return known_fp, known_id, np.iinfo(np.int64).max, 0
        ids = self._bulk.reserve_ids(cur, int(take.size))
        rows_md: List[Optional[str]] = [None] * int(take.size)
        if md:
            at = np.searchsorted(take, list(md))
            for j, (i, text) in zip(at.tolist(), md.items()):
                if j < take.size and take[j] == i:
                    rows_md[j] = text
        added = self._bulk.put_nodes(cur, tenant, g, take, ids, rows_md)
        if added < take.size:
            # Another writer stored some of these fingerprints first: read
            # back the ids that won, and let every edge go through the
            # conflict check (that writer may have stored some of them too).
            known_fp, known_id, _ = self._stored_ids(cur, tenant, int(g.pipeline_id), named)
            return known_fp, known_id, np.iinfo(np.int64).max, added
        known_fp = np.concatenate([known_fp, g.fingerprint[take].astype(np.int64)])
        known_id = np.concatenate([known_id, ids])
        order = np.argsort(known_fp, kind="stable")
        return known_fp[order], known_id[order], int(ids.min()), added

    def _stored_ids(self, conn_cur: Any, tenant: str, pid: int,
                    fps: np.ndarray) -> Tuple[np.ndarray, np.ndarray, bool]:
        """(fingerprints, ids) of the pipeline's stored nodes among `fps`, sorted,
        and whether they are the pipeline's whole map."""
        if fps.size > _LOOKUP_EACH:
            with self._stats_lock:
                hit = self._maps.get((tenant, pid))
            stamp = self._bulk.map_stamp(conn_cur, pid) if hit is not None else None
            if hit is not None and hit[0] == stamp:
                return hit[1], hit[2], True
            size = stamp if self._bulk.stamp_is_size and stamp is not None \
                else self._bulk.pipeline_size(conn_cur, pid)
            if fps.size * _MAP_SHARE >= size:
                known_fp, known_id = self._bulk.pipeline_map(conn_cur, tenant, pid)
                order = np.argsort(known_fp, kind="stable")
                return known_fp[order], known_id[order], True
        got = self._bulk.resolve(conn_cur, tenant, pid, fps.tolist()) if fps.size else {}
        known_fp = np.fromiter(got.keys(), np.int64, len(got))
        known_id = np.fromiter(got.values(), np.int64, len(got))
        order = np.argsort(known_fp, kind="stable")
        return known_fp[order], known_id[order], False

    def _keep_map(self) -> None:
        """After a commit: remember the map the committed graph write ended with."""
        pending = getattr(self._maps_pending, "value", None)
        self._maps_pending.value = None
        if pending is None:
            return
        tenant, pid, fps, ids, stamp = pending
        with self._stats_lock:
            self._maps[(tenant, pid)] = (stamp, fps, ids)
            self._maps.move_to_end((tenant, pid))
            while len(self._maps) > 2:
                self._maps.popitem(last=False)

    def record_lost(self, tenant: str, lost: Sequence[Tuple[int, int]], conn: Optional[Connection] = None) -> None:
        """Add records lost in delivery to their pipelines (ids of pipelines
        that are not the tenant's are ignored)."""
        counts: Dict[int, int] = {}
        for pid, n in lost:
            if int(n) > 0:
                # The column is 64-bit: a sum beyond it would fail the whole batch.
                counts[int(pid)] = min(counts.get(int(pid), 0) + int(n), 2**63 - 1)
        if not counts:
            return
        if conn is None:
            with self._tx() as c:
                self.record_lost(tenant, lost, c)
            return
        p = S.pipelines
        mine = set(conn.execute(select(p.c.id).where(p.c.tenant_id == tenant, p.c.id.in_(sorted(counts)))).scalars())
        counts = {k: v for k, v in counts.items() if k in mine}
        if counts:
            self._touch(conn, tenant, (), counts)

    # -- reads ------------------------------------------------------------------------

    @staticmethod
    def _pipeline_dict(row: Any) -> Dict[str, Any]:
        return {
            "id": int(row["id"]),
            "tenant_id": row["tenant_id"],
            "name": row["name"],
            "status": row["status"],
            "config": row["config"],
            "git_commit": row["git_commit"],
            "created_at": _iso(row["created_at"]),
            "completed_at": _iso(row["completed_at"]),
            "node_count": int(row["node_count"]),
            "edge_count": int(row["edge_count"]),
            "lost_records": int(row["lost_records"] or 0),
            "last_write_at": _iso(row["last_write_at"]),
        }

    def _pipeline_select(self, tenant: str):
        p, n, e, h = S.pipelines, S.nodes, S.edges, S.pipeline_health
        node_count = (
            select(func.count())
            .select_from(n)
            .where(n.c.pipeline_id == p.c.id, n.c.tenant_id == p.c.tenant_id)
            .scalar_subquery()
        )
        edge_count = (
            select(func.count())
            .select_from(e)
            .where(e.c.pipeline_id == p.c.id, e.c.tenant_id == p.c.tenant_id)
            .scalar_subquery()
        )
        return (
            select(p, node_count.label("node_count"), edge_count.label("edge_count"),
                   h.c.lost_records, h.c.last_write_at)
            .select_from(p.outerjoin(h, (h.c.pipeline_id == p.c.id) & (h.c.tenant_id == p.c.tenant_id)))
            .where(p.c.tenant_id == tenant)
        )

    def list_pipelines(self, tenant) -> List[Dict[str, Any]]:
        with self._read() as conn:
            rows = conn.execute(self._pipeline_select(tenant).order_by(S.pipelines.c.id)).mappings()
            return [self._pipeline_dict(r) for r in rows]

    def get_pipeline(self, tenant, pipeline_id) -> Optional[Dict[str, Any]]:
        with self._read() as conn:
            row = (
                conn.execute(self._pipeline_select(tenant).where(S.pipelines.c.id == pipeline_id))
                .mappings()
                .first()
            )
            return None if row is None else self._pipeline_dict(row)

    def list_sources(self, tenant) -> List[Dict[str, Any]]:
        s = S.sources
        with self._read() as conn:
            rows = conn.execute(
                select(s.c.pair_id, s.c.table_name, s.c.column_name, s.c.is_protected, s.c.registered_at)
                .where(s.c.tenant_id == tenant)
                .order_by(s.c.id)
            ).mappings()
            return [
                {
                    "pair_id": r["pair_id"],
                    "table_name": r["table_name"],
                    "column_name": r["column_name"],
                    "is_protected": bool(r["is_protected"]),
                    "registered_at": _iso(r["registered_at"]),
                }
                for r in rows
            ]

    def get_nodes(self, tenant, pipeline_id) -> List[Dict[str, Any]]:
        n = S.nodes
        with self._read() as conn:
            rows = conn.execute(
                select(n).where(n.c.pipeline_id == pipeline_id, n.c.tenant_id == tenant).order_by(n.c.id)
            ).mappings()
            return [
                {
                    "id": int(r["id"]),
                    "pipeline_id": int(r["pipeline_id"]),
                    "fingerprint": int(r["fingerprint"]),
                    "node_type": r["node_type"],
                    "operation": r["operation"],
                    "table_name": r["table_name"],
                    "column_name": r["column_name"],
                    "pair_id": r["pair_id"],
                    "is_protected": bool(r["is_protected"]),
                    "entity_hash": r["entity_hash"],
                    "chain_hash": r["chain_hash"],
                    "metadata": r["metadata"],
                }
                for r in rows
            ]

    def get_edges(self, tenant, pipeline_id) -> List[Dict[str, Any]]:
        e, n = S.edges, S.nodes
        parent, child = n.alias("parent"), n.alias("child")
        with self._read() as conn:
            rows = conn.execute(
                select(
                    e.c.id,
                    e.c.parent_node_id,
                    e.c.child_node_id,
                    parent.c.fingerprint.label("parent_fingerprint"),
                    child.c.fingerprint.label("child_fingerprint"),
                    e.c.input_position,
                )
                .join(parent, parent.c.id == e.c.parent_node_id)
                .join(child, child.c.id == e.c.child_node_id)
                .where(e.c.pipeline_id == pipeline_id, e.c.tenant_id == tenant)
                .order_by(e.c.id)
            ).mappings()
            return [{k: int(v) for k, v in r.items()} for r in rows]

    def get_row_values(self, tenant, pipeline_id, limit=None, offset=0) -> List[StoredRowValue]:
        r = S.row_values
        stmt = (
            select(
                r.c.pipeline_id,
                r.c.row_index,
                r.c.fingerprint,
                r.c.node_operation,
                r.c.value,
                r.c.column_name,
                r.c.tenant_id,
                r.c.text_value,
            )
            .where(r.c.pipeline_id == pipeline_id, r.c.tenant_id == tenant)
            .order_by(r.c.id)
            .offset(offset)
        )
        if limit is not None:
            stmt = stmt.limit(limit)
        with self._read() as conn:
            return [StoredRowValue(*row) for row in conn.execute(stmt)]

    def count_row_values(self, tenant, pipeline_id=None) -> int:
        r = S.row_values
        stmt = select(func.count()).select_from(r).where(r.c.tenant_id == tenant)
        if pipeline_id is not None:
            stmt = stmt.where(r.c.pipeline_id == pipeline_id)
        with self._read() as conn:
            return int(conn.execute(stmt).scalar_one())

    def get_results(self, tenant, pipeline_id, limit: Optional[int] = None, offset: int = 0) -> List[ResultRow]:
        t = S.results
        stmt = (
            select(t.c.row_key, t.c.output_name, t.c.fingerprint, t.c.value, t.c.input_row_hash)
            .where(t.c.pipeline_id == pipeline_id, t.c.tenant_id == tenant)
            .order_by(t.c.id)
            .offset(offset)
        )
        if limit is not None:
            stmt = stmt.limit(limit)
        with self._read() as conn:
            return [tuple(row) for row in conn.execute(stmt)]
