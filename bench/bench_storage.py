"""Storage throughput: row values through AsyncWriter, and the bulk DAG write.

    PYTHONPATH=src python bench/bench_storage.py [--rows N] [--nodes N] [--repeats N]
                                                 [--no-pg] [--pg-url URL] [--compare-core]

`measure()` returns one dict per measurement (name, backend, n, unit, median_s,
per_s, repeats, times_s); the medians of `repeats` runs, each on a fresh
database. PostgreSQL is measured when ``--pg-url``/``LUMARQ_BENCH_PG_URL``/
``LUMARQ_TEST_PG_URL`` names a server, else on a throw-away local cluster
(with fsync on) when the server binaries exist.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import os
import statistics
import sys
import tempfile
import time
from typing import Callable, Dict, Iterator, List, Optional

_HERE = os.path.dirname(os.path.abspath(__file__))
_SRC = os.path.join(os.path.dirname(_HERE), "src")
if _SRC not in sys.path:
    sys.path.insert(0, _SRC)

from lumarq.utilities.persistence import AsyncWriter, HostedStorage, WriterConfig  # noqa: E402
from lumarq.utilities.persistence.storage import StoredNode, StoredRowValue  # noqa: E402

HANDOVER = 5000  # the tracker hands row values over in lists of this size


def _load_pg_server():
    path = os.path.join(os.path.dirname(_HERE), "tests", "python", "pg_server.py")
    module_spec = importlib.util.spec_from_file_location("lumarq_bench_pg_server", path)
    mod = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(mod)  # type: ignore[union-attr]
    return mod


def make_row_values(pipeline_id: int, rows: int) -> List[List[StoredRowValue]]:
    lists = []
    for start in range(0, rows, HANDOVER):
        lists.append(
            [
                StoredRowValue(pipeline_id, i, (i * 2654435761) & 0xFFFFFFFF, "ADD", i * 0.5, "amount", "bench", None)
                for i in range(start, min(start + HANDOVER, rows))
            ]
        )
    return lists


def make_dag(pipeline_id: int, n: int):
    """n nodes with distinct fingerprints; each non-source node has two inputs."""
    nodes, edges = [], []
    for i in range(n):
        fp = (i * 2654435761 + 12345) & 0xFFFFFFFF
        nodes.append(
            StoredNode(
                fingerprint=fp, node_type="SOURCE" if i < 100 else "BINARY", operation="ADD",
                table_name="loans", column_name="amount", pair_id=i % 50, is_protected=i % 7 == 0,
                entity_hash=i & 0xFFFF, chain_hash=i & 0xFF, metadata=None, pipeline_id=pipeline_id,
            )
        )
        if i >= 100:
            edges.append((nodes[i // 2].fingerprint, fp, 0))
            edges.append((nodes[i - 1].fingerprint, fp, 1))
    return nodes, edges


@contextlib.contextmanager
def _sqlite_url() -> Iterator[str]:
    with tempfile.TemporaryDirectory(prefix="lumarq-bench-") as d:
        yield "sqlite:///" + os.path.join(d, "bench.db")


def _pg_url_factory(server_url: str, pg_tools) -> Callable[[], contextlib.AbstractContextManager]:
    @contextlib.contextmanager
    def fresh() -> Iterator[str]:
        db = pg_tools.fresh_database(server_url)
        try:
            yield db
        finally:
            pg_tools.drop_database(server_url, db)

    return fresh


def _storage(url: str) -> HostedStorage:
    s = HostedStorage(api_url=url, api_key="bench-key", tenant_id="bench")
    s.connect()
    return s


def time_row_values(url: str, rows: int, open_storage: Optional[Callable[[str], HostedStorage]] = None) -> float:
    storage = (open_storage or _storage)(url)
    try:
        pid = storage.create_pipeline("bench")
        lists = make_row_values(pid, rows)
        writer = AsyncWriter(storage, WriterConfig(batch_size=100, flush_interval=1.0, queue_size=10000))
        writer.start()
        t0 = time.perf_counter()
        for chunk in lists:
            writer.write_row_values(chunk)
        ok = writer.flush(timeout=600.0)
        elapsed = time.perf_counter() - t0
        writer.stop()
        stats = writer.get_stats()["row_values"]
        if not ok or stats["written"] != rows or storage.count_row_values(pid) != rows:
            raise RuntimeError("row-value benchmark lost records: %r" % stats)
        return elapsed
    finally:
        storage.disconnect()


def time_row_values_core(url: str, rows: int) -> float:
    """Reference: the same insert through SQLAlchemy Core executemany."""
    from sqlalchemy import insert

    from lumarq.utilities.persistence import _schema as S

    storage = _storage(url)
    try:
        pid = storage.create_pipeline("bench")
        lists = make_row_values(pid, rows)
        t0 = time.perf_counter()
        with storage.backend._tx() as conn:  # the store's own transaction (BEGIN IMMEDIATE on SQLite)
            for chunk in lists:
                conn.execute(insert(S.row_values), [r._asdict() for r in chunk])
        return time.perf_counter() - t0
    finally:
        storage.disconnect()


def time_dag(url: str, n: int, open_storage: Optional[Callable[[str], HostedStorage]] = None) -> float:
    storage = (open_storage or _storage)(url)
    try:
        pid = storage.create_pipeline("bench")
        nodes, edges = make_dag(pid, n)
        t0 = time.perf_counter()
        storage.store_nodes(nodes)
        fp_map = storage.get_fingerprint_node_map(pid)
        rows = [(fp_map[p], fp_map[c], pos) for p, c, pos in edges]
        storage.store_edges_resolved(rows)
        elapsed = time.perf_counter() - t0
        got = storage.get_pipeline(pid)
        if got["node_count"] != n or got["edge_count"] != len(edges):
            raise RuntimeError("DAG benchmark stored %r" % got)
        return elapsed
    finally:
        storage.disconnect()


def time_writer_nodes(url: str, n: int, open_storage: Optional[Callable[[str], HostedStorage]] = None) -> float:
    """Per-node path: write_node + write_edges for each node, then flush."""
    storage = (open_storage or _storage)(url)
    try:
        pid = storage.create_pipeline("bench")
        nodes, edges = make_dag(pid, n)
        by_child: Dict[int, list] = {}
        from lumarq.utilities.persistence import StoredEdge

        for p, c, pos in edges:
            by_child.setdefault(c, []).append(StoredEdge(p, c, pos))
        writer = AsyncWriter(storage, WriterConfig())
        writer.start()
        t0 = time.perf_counter()
        for node in nodes:
            writer.write_node(node)
            e = by_child.get(node.fingerprint)
            if e:
                writer.write_edges(e)
        ok = writer.flush(timeout=600.0)
        elapsed = time.perf_counter() - t0
        writer.stop()
        if not ok or storage.get_pipeline(pid)["node_count"] != n:
            raise RuntimeError("writer node benchmark lost records: %r" % writer.get_stats())
        return elapsed
    finally:
        storage.disconnect()


def _measure(name, backend, n, unit, fn, url_cm, repeats) -> Dict[str, object]:
    times = []
    for _ in range(repeats):
        with url_cm() as url:
            times.append(fn(url, n))
    med = statistics.median(times)
    return {
        "name": name,
        "backend": backend,
        "n": n,
        "unit": unit,
        "median_s": med,
        "per_s": n / med if med > 0 else float("inf"),
        "repeats": repeats,
        "times_s": times,
    }


@contextlib.contextmanager
def _pg_server(pg_url: Optional[str]) -> Iterator[Optional[tuple]]:
    pg_tools = _load_pg_server()
    url = pg_url or os.environ.get("LUMARQ_BENCH_PG_URL") or os.environ.get("LUMARQ_TEST_PG_URL")
    if url:
        yield url, pg_tools
        return
    try:
        cm = pg_tools.throwaway_cluster(fsync=True)
        server = cm.__enter__()
    except pg_tools.PgUnavailable:
        yield None
        return
    try:
        yield server, pg_tools
    finally:
        cm.__exit__(None, None, None)


def measure(rows: int = 1_000_000, nodes: int = 100_000, repeats: int = 3, postgres: bool = True,
        pg_url: Optional[str] = None, compare_core: bool = False) -> List[Dict[str, object]]:
    results = []
    targets = [("sqlite", _sqlite_url)]
    with contextlib.ExitStack() as stack:
        if postgres:
            server = stack.enter_context(_pg_server(pg_url))
            if server is not None:
                targets.append(("postgresql", _pg_url_factory(*server)))
        for backend, url_cm in targets:
            results.append(_measure("row values via AsyncWriter (lists of 5000) + flush", backend, rows,
                                    "rows", time_row_values, url_cm, repeats))
            if compare_core and backend == "sqlite":
                results.append(_measure("row values via Core executemany (reference)", backend, rows,
                                        "rows", time_row_values_core, url_cm, repeats))
            results.append(_measure("DAG bulk write: store_nodes + fingerprint map + store_edges_resolved",
                                    backend, nodes, "nodes", time_dag, url_cm, repeats))
            results.append(_measure("DAG per-node write: write_node/write_edges + flush", backend, nodes,
                                    "nodes", time_writer_nodes, url_cm, repeats))
    return results


def run(rows: Optional[int] = None, repeat: int = 3) -> list:
    """Entry point of bench/run.py: the measurements above as table rows."""
    from _timing import Result, per_item

    out = []
    for r in measure(rows=rows or 1_000_000, repeats=max(1, min(repeat, 3))):
        out.append(Result(name=f"storage {r['backend']}: {r['name']}, {r['n']:,} {r['unit']}",
                          median_s=r["median_s"], per_item=per_item(r["median_s"], r["n"], str(r["unit"])[:-1]),
                          notes=[f"{r['per_s']:,.0f} {r['unit']}/s"]))
    return out


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--nodes", type=int, default=100_000)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--no-pg", action="store_true")
    ap.add_argument("--pg-url")
    ap.add_argument("--compare-core", action="store_true")
    args = ap.parse_args(argv)
    for r in measure(args.rows, args.nodes, args.repeats, not args.no_pg, args.pg_url, args.compare_core):
        print("%-11s %-72s n=%-8d median %.3f s  %12.0f %s/s   (runs: %s)" % (
            r["backend"], r["name"], r["n"], r["median_s"], r["per_s"], r["unit"],
            ", ".join("%.3f" % t for t in r["times_s"])))
    return 0


if __name__ == "__main__":
    sys.exit(main())
