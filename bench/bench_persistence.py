"""DAGTracker persistence: row values, the bulk DAG write of flush, a pipeline through the service.

    PYTHONPATH=src python bench/bench_persistence.py [--rows N] [--nodes N] [--repeats N]
                                                     [--column-nodes N] [--columns-only] [--column-baseline]
                                                     [--column-floor]
                                                     [--no-pg] [--no-service]

Every run uses a fresh database (SQLite file; PostgreSQL on a throw-away cluster as in
bench_storage.py, skipped when no server binaries exist; the service in its own process over a
fresh SQLite file as in bench_service.py):

* row values: `record_row_value` called from a Python loop, as a user does, then `flush`, into
  SQLite and PostgreSQL. Beside it the same rows through the C++ entry point the DAG containers
  use, and both producers alone (a writer that stores nothing), which shows how much of the
  time is the Python loop;
* the bulk DAG write of `flush` (`_persist_dag_to_storage`) of a graph of N nodes;
* a merge on a tracked key and a groupby sum of N rows on the provenance dtype with a
  DAGTracker persisting into SQLite (a node per merged row and per group), against the same on
  a memory-only DAGTracker;
* `persist_results` of one output over N rows with input-row hashes, beside the same rows made
  by the literal per-row algorithm (a Series and its JSON per source row, a tuple per result);
* a whole N-node pipeline (per-node writes while the nodes are created, one row value per node,
  flush, close) through the service and straight into SQLite;
* a DAG-tracked `a + b` on N rows through the service after a flush (which sends the dashboard
  report), against the same operation before it;
* the store alone: `HostedStorage.write_columns` of a synthetic column batch of --column-nodes
  nodes (two inputs per non-source node) and of as many row values (--columns-only runs just this).
  --column-floor adds the database alone storing the same rows (INSERT ... SELECT from an
  unindexed temp table, nothing of ours on the clock): the bound for any writer on this schema.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import statistics
import sys
import time
from typing import Callable, ContextManager, Dict, List, Optional, Tuple

import numpy as np
import pandas as pd

_HERE = os.path.dirname(os.path.abspath(__file__))
_SRC = os.path.join(os.path.dirname(_HERE), "src")
for _p in (_SRC, _HERE):
    if _p not in sys.path:
        sys.path.insert(0, _p)

import _dag_bench  # noqa: E402
import bench_service  # noqa: E402
import bench_storage  # noqa: E402

from lumarq.utilities.persistence import HostedStorage  # noqa: E402
from lumarq.utilities.persistence._columns import GraphColumns, RowValueColumns  # noqa: E402
from lumarq.utilities.vantor32_dag import DAGTracker  # noqa: E402

KEY = "bench-key"
TENANT = "bench"
SOURCES = 100


def _tracker(url: str, key: str = KEY) -> DAGTracker:
    t = DAGTracker(api_key=key, tenant_id=TENANT, service_url=url, pipeline_name="bench")
    if t._writer is None:
        raise RuntimeError("persistence did not start on %s" % url)
    return t


def _reader(url: str) -> HostedStorage:
    s = HostedStorage(api_url=url, api_key=None, tenant_id=TENANT)
    s.connect()
    return s


def _check_rows(url: str, pid: int, rows: int) -> None:
    s = _reader(url)
    try:
        stored = s.count_row_values(pid)
    finally:
        s.disconnect()
    if stored != rows:
        raise RuntimeError("stored %d of %d row values" % (stored, rows))


def _row_arrays(rows: int) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    idx = np.arange(rows, dtype=np.int64)
    fps = ((idx * 2654435761) & 0xFFFFFFFF).astype(np.uint32)
    return idx, fps, idx * 0.5


def time_rows_python(url: str, rows: int) -> float:
    t = _tracker(url)
    fps = [(i * 2654435761) & 0xFFFFFFFF for i in range(rows)]
    record = t.record_row_value
    t0 = time.perf_counter()
    for i in range(rows):
        record(i, fps[i], "ADD", i * 0.5, "amount")
    t.flush(timeout=600.0)
    elapsed = time.perf_counter() - t0
    pid = t._pipeline_id
    t.__exit__(None, None, None)
    _check_rows(url, pid, rows)
    return elapsed


def time_rows_native(url: str, rows: int) -> float:
    t = _tracker(url)
    idx, fps, values = _row_arrays(rows)
    t0 = time.perf_counter()
    _dag_bench.record_row_values(t, idx, fps, "ADD", values, "amount")
    t.flush(timeout=600.0)
    elapsed = time.perf_counter() - t0
    pid = t._pipeline_id
    t.__exit__(None, None, None)
    _check_rows(url, pid, rows)
    return elapsed


class _NullWriter:
    """Takes row values and keeps nothing: the producer's own cost."""

    def __init__(self) -> None:
        self.rows = 0

    def write_row_values(self, values) -> None:
        self.rows += len(values)

    def stop(self) -> None:
        pass


def time_rows_producer(kind: str, rows: int) -> float:
    t = DAGTracker(tenant_id=TENANT)
    t._writer = writer = _NullWriter()
    t._pipeline_id = 1
    if kind == "python":
        fps = [(i * 2654435761) & 0xFFFFFFFF for i in range(rows)]
        record = t.record_row_value
        t0 = time.perf_counter()
        for i in range(rows):
            record(i, fps[i], "ADD", i * 0.5, "amount")
    else:
        idx, fps, values = _row_arrays(rows)
        t0 = time.perf_counter()
        _dag_bench.record_row_values(t, idx, fps, "ADD", values, "amount")
    elapsed = time.perf_counter() - t0
    if writer.rows + len(t._value_buffer) != rows:
        raise RuntimeError("producer lost rows")
    return elapsed


def _words(nodes: int) -> List[int]:
    """Distinct decodable provenance values: SOURCES source words, then one per binary node.
    Computed on a scratch tracker registered like the timed one (mode-00 words depend on the
    pair ids only)."""
    from lumarq.utilities.vantor32 import ProvenanceTracker

    scratch = ProvenanceTracker()
    for k in range(SOURCES):
        scratch.register("loans", "c%d" % k, k % 10 == 0)
    words = [scratch.encode({k % SOURCES}, k & 0xFF, (k >> 8) & 0xFF, False, 0 if k < SOURCES else 1)
             for k in range(nodes)]
    if len(set(words)) != nodes:
        raise RuntimeError("provenance values are not distinct")
    return words


def _graph(t: DAGTracker, words: List[int]) -> np.ndarray:
    """Source nodes, then one binary node per remaining word (inputs: earlier nodes); the ids."""
    for k in range(SOURCES):
        t.register("loans", "c%d" % k, k % 10 == 0)
        t.create_source_node("loans", "c%d" % k, words[k])
    ids = np.arange(SOURCES, len(words), dtype=np.int64)
    return _dag_bench.create_binary_nodes(t, "add", ids // 2, ids - 1, np.asarray(words[SOURCES:], np.uint32))


def time_dag_bulk(url: str, nodes: int) -> float:
    words = _words(nodes)
    t = _tracker(url)
    t._max_nodes = max(t._max_nodes, nodes)  # the whole graph stays in memory for the write
    writer, t._writer = t._writer, None  # build the graph without the per-node writes
    _graph(t, words)
    t._writer = writer
    t0 = time.perf_counter()
    t.flush(timeout=600.0)
    elapsed = time.perf_counter() - t0
    pid, written = t._pipeline_id, (t._nodes_written, t._edges_written)
    t.__exit__(None, None, None)
    s = _reader(url)
    try:
        got = s.get_pipeline(pid)
    finally:
        s.disconnect()
    if written != (nodes, 2 * (nodes - SOURCES)) or (got["node_count"], got["edge_count"]) != written:
        raise RuntimeError("bulk DAG write stored %r, wrote %r" % (got, written))
    return elapsed


def time_dag_columns(nodes: int) -> float:
    """Seconds the DAG write of flush spends producing its column batch from the node store (a
    sink takes the batch, so no store's time is in it)."""
    words = _words(nodes)
    t = DAGTracker()
    t._max_nodes = max(t._max_nodes, nodes)
    _graph(t, words)

    class Sink:
        nodes = edges = 0

        def write_columns(self, *, graph=None, **_: object) -> dict:
            if graph is not None:  # the write comes in pieces
                self.nodes += len(graph)
                self.edges += int(graph.edge_parent.shape[0])
            return {}

    sink = Sink()
    t._storage, t._pipeline_id = sink, 1
    t0 = time.perf_counter()
    t._persist_dag_to_storage()
    elapsed = time.perf_counter() - t0
    t._storage, t._pipeline_id = None, None
    if (sink.nodes, sink.edges) != (nodes, 2 * (nodes - SOURCES)):
        raise RuntimeError("column batches held %d nodes and %d edges" % (sink.nodes, sink.edges))
    return elapsed


def time_pipeline(url: str, nodes: int, key: str = KEY, check_url: Optional[str] = None) -> float:
    """Per-node writes while `nodes` nodes are created, one row value per node, flush, close."""
    words = _words(nodes)
    t0 = time.perf_counter()
    t = _tracker(url, key)
    _graph(t, words)
    record = t.record_row_value
    for i, fp in enumerate(words[SOURCES:]):
        record(i, fp, "ADD", i * 0.5, "amount")
    t.flush(timeout=600.0)
    pid = t._pipeline_id
    t.__exit__(None, None, None)
    elapsed = time.perf_counter() - t0
    if check_url is not None:
        _check_rows(check_url, pid, nodes - SOURCES)
    return elapsed


def _result_inputs(n: int):
    """A source frame of n rows (ints, floats, texts) and one output over it."""
    k = np.arange(n)
    df = pd.DataFrame({"age": 18 + k % 60, "amount": k * 0.25, "purpose": np.array(["car", "radio/TV", "business"])[k % 3]})

    class Output:
        _prov = (k * 2654435761 & 0xFFFFFFFF).astype(np.uint32)
        values = df["amount"].to_numpy() / 3

    return df, {"score": Output()}


def time_results(url: str, n: int, by_row: bool = False) -> float:
    """persist_results of one output with input-row hashes into a fresh pipeline; with `by_row`,
    the same rows made as the literal algorithm makes them (a Series and its JSON per source row,
    a tuple per result row) and stored with one store_results call."""
    import hashlib

    df, outputs = _result_inputs(n)
    s = _reader(url)
    try:
        pid = s.create_pipeline("bench")
        t0 = time.perf_counter()
        if by_row:
            hashes = [hashlib.sha256(df.iloc[i].to_json().encode("utf-8")).hexdigest() for i in range(n)]
            out = outputs["score"]
            s.store_results(pid, [(str(i), "score", int(out._prov[i]), float(out.values[i]), hashes[i])
                                  for i in range(n)])
        else:
            DAGTracker.persist_results(s, pid, range(n), outputs, df)
        elapsed = time.perf_counter() - t0
        if len(s.get_results(pid)) != n:
            raise RuntimeError("persist_results stored the wrong number of rows")
        return elapsed
    finally:
        s.disconnect()


# ---------------------------------------------------------------- the store alone: column batches

_COLUMN_TEXTS = ["SOURCE", "BINARY", "load", "add", "loans", "amount"]


def graph_columns(pipeline_id: int, nodes: int) -> GraphColumns:
    """SOURCES source nodes, then binary nodes whose inputs are nodes i // 2 and i - 1."""
    k = np.arange(nodes, dtype=np.int64)
    fp = (k * 2654435761 + 12345) & 0xFFFFFFFF  # distinct: the multiplier is odd
    src = k < SOURCES
    child = k[SOURCES:]
    return GraphColumns(
        pipeline_id=pipeline_id, texts=list(_COLUMN_TEXTS), fingerprint=fp,
        node_type=np.where(src, 0, 1).astype(np.int32), operation=np.where(src, 2, 3).astype(np.int32),
        table_name=np.full(nodes, 4, np.int32), column_name=np.where(src, 5, -1).astype(np.int32),
        pair_id=k % 50, pair_id_null=~src, is_protected=src & (k % 10 == 0),
        entity_hash=k & 0xFFFF, entity_hash_null=np.zeros(nodes, bool),
        chain_hash=k & 0xFF, chain_hash_null=src,
        edge_parent=np.concatenate([fp[child // 2], fp[child - 1]]),
        edge_child=np.concatenate([fp[child], fp[child]]),
        edge_position=np.repeat(np.array([0, 1], np.int32), child.size),
    )


def row_columns(pipeline_id: int, rows: int) -> RowValueColumns:
    idx = np.arange(rows, dtype=np.int64)
    return RowValueColumns(
        texts=["add", "amount"], pipeline_id=np.full(rows, pipeline_id, np.int64), row_index=idx,
        fingerprint=(idx * 2654435761) & 0xFFFFFFFF, node_operation=np.zeros(rows, np.int32),
        value=idx * 0.5, value_null=np.zeros(rows, bool), column_name=np.ones(rows, np.int32),
    )


def time_columns(url: str, n: int, what: str, records: bool = False) -> float:
    """One `write_columns` of `n` nodes (and their edges) or `n` row values into a fresh pipeline;
    with `records`, the baseline: `write_batch` of the same batch as records (made before timing)."""
    s = _reader(url)
    try:
        pid = s.create_pipeline("bench")
        batch = dict(graph=graph_columns(pid, n)) if what == "graph" else dict(row_values=row_columns(pid, n))
        write = s.write_columns
        if records and what == "graph":
            nodes, edges = batch["graph"].to_records()
            batch, write = dict(nodes=nodes, edges=[(pid, edges)]), s.write_batch
        elif records:
            batch, write = dict(row_values=[batch["row_values"].to_records(TENANT)]), s.write_batch
        t0 = time.perf_counter()
        result = write(batch_id="bench-1", **batch)
        elapsed = time.perf_counter() - t0
        got = s.get_pipeline(pid)
        want = (n, 2 * (n - SOURCES)) if what == "graph" else (0, 0)
        if result != {"edges_unresolved": 0} or (got["node_count"], got["edge_count"]) != want or (
                what == "rows" and s.count_row_values(pid) != n):
            raise RuntimeError("write_columns stored %r, answered %r" % (got, result))
        return elapsed
    finally:
        s.disconnect()


_NODE_COLS = ("id, tenant_id, pipeline_id, fingerprint, node_type, operation, table_name, column_name, pair_id, "
              "is_protected, entity_hash, chain_hash, metadata")
_EDGE_COLS = "tenant_id, pipeline_id, parent_node_id, child_node_id, input_position"
_ROW_COLS = "tenant_id, pipeline_id, row_index, fingerprint, node_operation, value, column_name, text_value"


def _floor_rows(pid: int, n: int, what: str) -> Dict[str, Tuple[str, List[tuple]]]:
    """The rows `write_columns` stores for the same batch (ids in node order, edges by child),
    keyed by table."""
    if what == "rows":
        r = row_columns(pid, n)
        return {"lumarq_row_values": (_ROW_COLS, [
            (TENANT, x.pipeline_id, x.row_index, x.fingerprint, x.node_operation, x.value, x.column_name,
             x.text_value) for x in r.to_records()])}
    nodes, edges = graph_columns(pid, n).to_records()
    ids = {nd.fingerprint: i for i, nd in enumerate(nodes, 1)}
    node_rows = [(ids[nd.fingerprint], TENANT, pid, nd.fingerprint, nd.node_type, nd.operation, nd.table_name,
                  nd.column_name, nd.pair_id, nd.is_protected, nd.entity_hash, nd.chain_hash, None) for nd in nodes]
    edge_rows = sorted(((TENANT, pid, ids[e.parent_fingerprint], ids[e.child_fingerprint], e.input_position)
                        for e in edges), key=lambda e: (e[3], e[2], e[4]))
    return {"lumarq_nodes": (_NODE_COLS, node_rows), "lumarq_edges": (_EDGE_COLS, edge_rows)}


def time_floor(url: str, n: int, what: str) -> float:
    """The database alone: the rows one `write_columns` of the same batch stores, moved from an
    unindexed temp table into the real tables with one INSERT ... SELECT per table and a commit.
    Nothing of ours runs while the clock does; this is the bound any writer on this schema meets."""
    s = _reader(url)
    try:
        pid = s.create_pipeline("bench")
    finally:
        s.disconnect()
    tables = _floor_rows(pid, n, what)
    if url.startswith("sqlite:"):
        import sqlite3

        db = sqlite3.connect(url.split(":///", 1)[1], isolation_level=None)
        try:
            db.execute("PRAGMA synchronous=NORMAL")
            db.execute("PRAGMA cache_size=-65536")
            for table, (cols, rows) in tables.items():
                db.execute("CREATE TEMP TABLE f_%s AS SELECT %s FROM %s WHERE 0" % (table, cols, table))
                db.executemany("INSERT INTO temp.f_%s VALUES (%s)" % (table, ",".join("?" * len(rows[0]))), rows)
            t0 = time.perf_counter()
            db.execute("BEGIN IMMEDIATE")
            for table, (cols, _rows) in tables.items():
                db.execute("INSERT INTO %s (%s) SELECT * FROM temp.f_%s" % (table, cols, table))
            db.execute("COMMIT")
            return time.perf_counter() - t0
        finally:
            db.close()
    import psycopg

    with psycopg.connect(url.replace("postgresql+psycopg://", "postgresql://")) as conn:
        cur = conn.cursor()
        for table, (cols, rows) in tables.items():
            cur.execute("CREATE TEMP TABLE f_%s AS SELECT %s FROM %s WHERE false" % (table, cols, table))
            with cur.copy("COPY f_%s FROM STDIN" % table) as cp:
                for row in rows:
                    cp.write_row(row)
        conn.commit()
        t0 = time.perf_counter()
        for table, (cols, _rows) in tables.items():
            cur.execute("INSERT INTO %s (%s) SELECT * FROM f_%s" % (table, cols, table))
        conn.commit()
        return time.perf_counter() - t0


def measure_columns(nodes: int = 1_000_000, repeats: int = 3, postgres: bool = True,
                    baseline: bool = False, floor: bool = False) -> List[Dict[str, object]]:
    out: List[Dict[str, object]] = []
    with contextlib.ExitStack() as stack:
        targets = _stores(stack, postgres)
        for backend, url_cm in targets:
            for what, name, unit in (("graph", "write_columns: nodes + 2 edges per node", "nodes"),
                                     ("rows", "write_columns: row values", "rows")):
                med, times = _median(_on(url_cm, lambda url, n, w=what: time_columns(url, n, w), nodes), repeats)
                out.append(dict(name=name, backend=backend, n=nodes, unit=unit, median_s=med, times_s=times))
                if baseline:
                    med, times = _median(_on(url_cm, lambda url, n, w=what: time_columns(url, n, w, True), nodes),
                                         repeats)
                    out.append(dict(name=name.replace("write_columns", "write_batch of records"), backend=backend,
                                    n=nodes, unit=unit, median_s=med, times_s=times))
                if floor:
                    med, times = _median(_on(url_cm, lambda url, n, w=what: time_floor(url, n, w), nodes), repeats)
                    out.append(dict(name=name.replace("write_columns", "database alone (INSERT ... SELECT)"),
                                    backend=backend, n=nodes, unit=unit, median_s=med, times_s=times))
    return out


# ---------------------------------------------------------------- running

def _stores(stack: contextlib.ExitStack, postgres: bool) -> List[Tuple[str, Callable[[], ContextManager[str]]]]:
    """SQLite, and a throw-away PostgreSQL server (kept up by `stack`) when asked and available."""
    targets: List[Tuple[str, Callable[[], ContextManager[str]]]] = [("sqlite", bench_storage._sqlite_url)]
    if postgres:
        server = stack.enter_context(bench_storage._pg_server(None))
        if server is not None:
            targets.append(("postgresql", bench_storage._pg_url_factory(*server)))
    return targets


def _median(fn: Callable[[], float], repeats: int) -> Tuple[float, List[float]]:
    times = [fn() for _ in range(repeats)]
    return statistics.median(times), times


def _on(url_cm: Callable[[], ContextManager[str]], fn: Callable[[str, int], float], n: int) -> Callable[[], float]:
    def one() -> float:
        with url_cm() as url:
            return fn(url, n)

    return one


def _through_service(nodes: int) -> float:
    with bench_service._service(in_thread=False) as (url, key):
        return time_pipeline(url, nodes, key)


def time_dtype_merge(url: Optional[str], rows: int, repeats: int) -> float:
    """Median seconds of a merge on a tracked key and a groupby sum (one after the other) of
    `rows` rows on the provenance dtype with a DAGTracker: persisting into `url`, or memory-only
    (None). The merge logs a node per output row, the groupby one per group."""
    import lumarq

    t = DAGTracker(api_key="k", service_url=url, pipeline_name="bench") if url else DAGTracker()
    rng = np.random.default_rng(7)
    left = lumarq.track(pd.DataFrame({"key": rng.permutation(rows), "g": rng.integers(0, 1000, rows),
                                      "a": rng.random(rows)}), t, "left")
    right = lumarq.track(pd.DataFrame({"key": rng.permutation(rows), "c": rng.random(rows)}), t, "right")
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        left.merge(right, on="key").groupby("g")[["a"]].sum()
        times.append(time.perf_counter() - t0)
    if url:
        t.flush(timeout=600.0)
        t.__exit__(None, None, None)
    return statistics.median(times)


def _ops_around_flush(rows: int, repeats: int) -> Tuple[float, float]:
    """Median seconds of a DAG-tracked binary operation on `rows` rows, on a tracker persisting
    through the service, before and after a flush (which sends the dashboard report)."""
    from lumarq.utilities.vantor32_dag import wrap_dataframe_dag

    with bench_service._service(in_thread=False) as (url, key):
        t = DAGTracker(api_key=key, tenant_id=TENANT, service_url=url, pipeline_name="bench")
        df = pd.DataFrame({"a": np.arange(rows, dtype=np.float64), "b": np.ones(rows)})
        w = wrap_dataframe_dag(df, t, "loans", protected=["b"])
        a, b = w["a"], w["b"]

        def op() -> float:
            t0 = time.perf_counter()
            a + b
            return time.perf_counter() - t0

        before = statistics.median(op() for _ in range(repeats))
        t.flush(timeout=600.0)
        after = statistics.median(op() for _ in range(repeats))
        t.__exit__(None, None, None)
    return before, after


def measure(rows: int = 1_000_000, nodes: int = 100_000, repeats: int = 3, postgres: bool = True,
            service: bool = True) -> List[Dict[str, object]]:
    out: List[Dict[str, object]] = []

    def add(name: str, backend: str, n: int, unit: str, fn: Callable[[], float], **extra: object) -> None:
        med, times = _median(fn, repeats)
        out.append(dict(name=name, backend=backend, n=n, unit=unit, median_s=med, times_s=times, **extra))

    with contextlib.ExitStack() as stack:
        targets = _stores(stack, postgres)
        for backend, url_cm in targets:
            add("row values: record_row_value in a Python loop + flush", backend, rows, "rows",
                _on(url_cm, time_rows_python, rows))
            add("row values: C++ entry point + flush", backend, rows, "rows", _on(url_cm, time_rows_native, rows))
            add("bulk DAG write of flush (_persist_dag_to_storage)", backend, nodes, "nodes",
                _on(url_cm, time_dag_bulk, nodes))
            if backend == "sqlite":
                add("dtype merge on a tracked key + groupby sum, persisting", backend, nodes, "rows",
                    _on(url_cm, lambda url, n: time_dtype_merge(url, n, repeats), nodes))
                mem = time_dtype_merge(None, nodes, repeats)
                out[-1].update(memory_s=mem)
            add("persist_results: 1 output with input-row hashes", backend, nodes, "rows",
                _on(url_cm, time_results, nodes))
            base, base_times = _median(_on(url_cm, lambda url, n: time_results(url, n, by_row=True), nodes),
                                       repeats)
            out[-1].update(by_row_s=base, by_row_times=base_times)
    add("row values, producer only: record_row_value in a Python loop", "-", rows, "rows",
        lambda: time_rows_producer("python", rows))
    add("row values, producer only: C++ entry point", "-", rows, "rows", lambda: time_rows_producer("native", rows))
    if service:
        direct = _on(bench_storage._sqlite_url, lambda url, n: time_pipeline(url, n, check_url=url), nodes)
        add("pipeline: per-node writes + 1 row value per node + flush + close", "service (http, SQLite)",
            nodes, "nodes", lambda: _through_service(nodes))
        base, base_times = _median(direct, repeats)
        out[-1].update(direct_s=base, direct_times=base_times)
        before, after = _ops_around_flush(nodes, repeats)
        out.append(dict(name="DAG-tracked a + b after a flush (the tracker keeps its columnar store)",
                        backend="service (http, SQLite)", n=nodes, unit="rows", median_s=after, times_s=[after],
                        before_s=before))
    return out


def run(rows: Optional[int] = None, repeat: int = 3) -> list:
    """Entry point of bench/run.py."""
    from _timing import Result, per_item

    results = []
    rows = rows or 1_000_000
    for r in measure(rows=rows, nodes=min(100_000, rows), repeats=max(1, min(repeat, 3))):
        n, unit, med = int(r["n"]), str(r["unit"]), float(r["median_s"])
        notes = ["%s %s/s" % (format(round(n / med), ","), unit)]
        res = Result(name="persistence %s: %s, %s %s" % (r["backend"], r["name"], format(n, ","), unit),
                     median_s=med, per_item=per_item(med, n, unit[:-1]), notes=notes)
        if "direct_s" in r:
            base = float(r["direct_s"])
            res.baseline, res.baseline_s = "same pipeline straight into SQLite", base
            rows_n = n - SOURCES
            res.notes = ["through the service: %s nodes/s, %s rows/s; direct SQLite: %s nodes/s, %s rows/s" % (
                format(round(n / med), ","), format(round(rows_n / med), ","),
                format(round(n / base), ","), format(round(rows_n / base), ","))]
        if "by_row_s" in r:
            res.baseline, res.baseline_s = "the same rows made row by row (iloc[i].to_json())", float(r["by_row_s"])
        if "before_s" in r:
            res.baseline, res.baseline_s = "the same operation before the flush", float(r["before_s"])
        if "memory_s" in r:
            res.baseline, res.baseline_s = "the same on a memory-only DAGTracker", float(r["memory_s"])
        if "Python loop + flush" in str(r["name"]) and r["backend"] == "sqlite":
            res.target = ">= 250,000 rows/s"
        results.append(res)
    targets = {("sqlite", "nodes"): ">= 500,000 nodes/s", ("postgresql", "nodes"): ">= 300,000 nodes/s",
               ("sqlite", "rows"): ">= 1,000,000 rows/s"}
    for r in measure_columns(rows, max(1, min(repeat, 3))):
        n, unit, med = int(r["n"]), str(r["unit"]), float(r["median_s"])
        results.append(Result(name="persistence %s: %s, %s %s" % (r["backend"], r["name"], format(n, ","), unit),
                              median_s=med, per_item=per_item(med, n, unit[:-1]),
                              target=targets.get((str(r["backend"]), unit)),
                              notes=["%s %s/s" % (format(round(n / med), ","), unit)]))
    return results


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--nodes", type=int, default=100_000)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--no-pg", action="store_true")
    ap.add_argument("--no-service", action="store_true")
    ap.add_argument("--column-nodes", type=int, default=1_000_000)
    ap.add_argument("--columns-only", action="store_true")
    ap.add_argument("--column-baseline", action="store_true",
                    help="also time write_batch of the same batches as records")
    ap.add_argument("--column-floor", action="store_true",
                    help="also time the database alone storing the same rows (the bound for any writer)")
    args = ap.parse_args(argv)
    results = [] if args.columns_only else measure(args.rows, args.nodes, args.repeats, not args.no_pg,
                                                   not args.no_service)
    for r in results + measure_columns(args.column_nodes, args.repeats, not args.no_pg,
                                             args.column_baseline, args.column_floor):
        n, med = int(r["n"]), float(r["median_s"])
        line = "%-24s %-66s n=%-8d median %.3f s %11.0f %s/s   (runs: %s)" % (
            r["backend"], r["name"], n, med, n / med, r["unit"], ", ".join("%.3f" % x for x in r["times_s"]))
        if "before_s" in r:
            line += "   before the flush median %.3f s" % r["before_s"]
        if "memory_s" in r:
            line += "   memory-only median %.3f s" % r["memory_s"]
        if "by_row_s" in r:
            line += "   row by row median %.3f s (runs: %s)" % (
                r["by_row_s"], ", ".join("%.3f" % x for x in r["by_row_times"]))
        if "direct_s" in r:
            line += "   direct SQLite median %.3f s %11.0f %s/s (runs: %s)" % (
                r["direct_s"], n / r["direct_s"], r["unit"], ", ".join("%.3f" % x for x in r["direct_times"]))
        print(line, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
