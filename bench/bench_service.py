"""Throughput through the provenance service, beside the same writes straight into SQLite.

    PYTHONPATH=src python bench/bench_service.py [--rows N] [--nodes N] [--repeats N] [--in-thread]
                                                 [--columns [--compress auto|zlib|none]]

The service (`lumarq serve`) runs in its own process on 127.0.0.1 over a fresh
SQLite file for every run (as it would in use: the client and the service
each get a core); ``--in-thread`` runs it on a thread of the benchmark
process instead. The client is `HostedStorage` with the service's http URL;
the direct figures use a `HostedStorage` on a sqlite:/// URL, with the same
code (bench_storage.py) and data in the same run:

* row values through `AsyncWriter` (lists of 5000, as the tracker hands
  them over) + flush;
* the bulk DAG write of the tracker's flush: store_nodes + fingerprint map +
  store_edges_resolved;
* the per-node path: write_node/write_edges for every node + flush;
* column batches (``--columns``): `HostedStorage.write_columns` of a
  `GraphColumns` (N nodes, two inputs per non-source node) and, in a second
  call, of N `RowValueColumns` rows, as compact column bodies. Beside the end-to-end
  figure, the same writes into a service whose store accepts and drops
  column batches: the part spent outside the store (encode, HTTP, decode).
  Bodies above the service's limit go in pieces (see `HTTPBackend.write_columns`).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Callable, Dict, Iterator, List, Optional, Tuple

_HERE = os.path.dirname(os.path.abspath(__file__))
_SRC = os.path.join(os.path.dirname(_HERE), "src")
if _SRC not in sys.path:
    sys.path.insert(0, _SRC)
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

import bench_storage as direct  # noqa: E402


@contextlib.contextmanager
def _service(in_thread: bool, drop_columns: bool = False) -> Iterator[Tuple[str, str]]:
    """(base URL, API key) of a service over a fresh SQLite file; with
    `drop_columns` its store takes column batches without writing them."""
    from lumarq.service.store import ServiceStore

    with tempfile.TemporaryDirectory(prefix="lumarq-bench-service-") as d:
        db = "sqlite:///" + os.path.join(d, "service.db")
        store = ServiceStore(db).connect()
        key = store.create_key("bench", "bench")[1]
        store.close()
        if in_thread:
            from lumarq.service import run_in_thread

            handle = run_in_thread(db)
            if drop_columns:
                handle.store.backend.write_columns = _dropped
            try:
                yield handle.url, key
            finally:
                handle.stop()
            return
        env = dict(os.environ, PYTHONPATH=_SRC + os.pathsep + os.environ.get("PYTHONPATH", ""))
        command = [sys.executable, "-m", "lumarq", "serve", "--port", "0", "--db", db, "--log-level", "warning"]
        if drop_columns:
            command = [sys.executable, os.path.abspath(__file__), "--serve-dropping-columns", db]
        proc = subprocess.Popen(
            command,
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env,
        )
        try:
            line = proc.stdout.readline()  # "lumarq service on http://127.0.0.1:PORT (database ...)"
            if not line.startswith("lumarq service on "):
                raise RuntimeError("the service did not start: %r" % line)
            yield line.split()[3], key
        finally:
            proc.terminate()
            proc.wait(timeout=30)


def _dropped(tenant, *, graph=None, row_values=None, batch_id=None, lost=()) -> Dict[str, int]:
    return {"edges_unresolved": 0}


def _serve_dropping_columns(db: str) -> int:
    """A service whose store drops column batches (after the body was decoded)."""
    import signal

    from lumarq.service import run_in_thread

    handle = run_in_thread(db)
    handle.store.backend.write_columns = _dropped
    print("lumarq service on %s (column batches dropped)" % handle.url, flush=True)
    signal.sigwait({signal.SIGTERM, signal.SIGINT})
    handle.stop()
    return 0


def make_columns(pipeline_id: int, n: int, rows: int):
    """A GraphColumns of n nodes (the first 100 sources, every other node with
    two inputs) and a RowValueColumns of `rows` values on those nodes."""
    import numpy as np

    from lumarq.utilities.persistence._columns import GraphColumns, RowValueColumns

    i = np.arange(n, dtype=np.int64)
    fp = (i * 2654435761 + 12345) & 0xFFFFFFFF
    source = i < 100
    child = i[~source]
    graph = GraphColumns(
        pipeline_id=pipeline_id, texts=["SOURCE", "BINARY", "ADD", "load", "loans", "amount", "dti"],
        fingerprint=fp, node_type=np.where(source, 0, 1).astype(np.int32),
        operation=np.where(source, 3, 2).astype(np.int32),
        table_name=np.where(source, 4, -1).astype(np.int32), column_name=np.where(source, 5, -1).astype(np.int32),
        pair_id=i % 50, pair_id_null=~source, is_protected=i % 7 == 0,
        entity_hash=i & 0xFFFF, entity_hash_null=np.zeros(n, bool),
        chain_hash=i & 0xFF, chain_hash_null=np.zeros(n, bool),
        metadata={int(k): {"column": "dti"} for k in range(100, n, 10_000)},
        edge_parent=np.concatenate([fp[child // 2], fp[child - 1]]),
        edge_child=np.concatenate([fp[child], fp[child]]),
        edge_position=np.repeat(np.array([0, 1], np.int32), child.size),
    )
    r = np.arange(rows, dtype=np.int64)
    values = r * 0.5
    values[::1000] = np.nan
    row_values = RowValueColumns(
        texts=["ADD", "dti"], pipeline_id=np.full(rows, pipeline_id, np.int64), row_index=r,
        fingerprint=fp[r % n], node_operation=np.zeros(rows, np.int32), value=values,
        value_null=(r % 1000) == 500, column_name=np.ones(rows, np.int32),
    )
    return graph, row_values


def time_columns(url: str, n: int, rows: int, open_storage: Callable, check: bool = True,
                 compress: Optional[bool] = None) -> Tuple[float, float]:
    """(seconds for the graph, seconds for the row values) through `write_columns`."""
    storage = open_storage(url)
    try:
        backend = storage.backend
        if compress is not None:
            backend.compress_columns = compress
        pid = storage.create_pipeline("bench")
        graph, row_values = make_columns(pid, n, rows)
        t0 = time.perf_counter()
        storage.write_columns(graph=graph)
        t1 = time.perf_counter()
        storage.write_columns(row_values=row_values)
        t2 = time.perf_counter()
        if check:
            got = storage.get_pipeline(pid)
            if got["node_count"] != n or got["edge_count"] != graph.edge_parent.size:
                raise RuntimeError("column benchmark stored %r" % got)
            if storage.count_row_values(pid) != rows:
                raise RuntimeError("column benchmark stored %d row values" % storage.count_row_values(pid))
        return t1 - t0, t2 - t1
    finally:
        storage.disconnect()


def time_encode(n: int, rows: int) -> Tuple[float, float]:
    """Client CPU alone: encoding the same batches into the bodies the client sends."""
    from lumarq.utilities.persistence import _colwire, _http

    graph, row_values = make_columns(1, n, rows)
    t0 = time.perf_counter()
    for g, r in _http._column_pieces(graph, None, _http._COLUMN_TARGET):
        _colwire.encode(g, r, batch_id="x")
    t1 = time.perf_counter()
    for g, r in _http._column_pieces(None, row_values, _http._COLUMN_TARGET):
        _colwire.encode(g, r, batch_id="x")
    return t1 - t0, time.perf_counter() - t1


def measure_columns(n: int = 1_000_000, rows: int = 1_000_000, repeats: int = 3,
                    in_thread: bool = False, compress: Optional[bool] = None) -> List[Dict[str, object]]:
    """Medians of the column writes: end to end, outside the store, direct SQLite, encoding alone."""
    def service(drop: bool) -> Callable[[], Tuple[float, float]]:
        def run() -> Tuple[float, float]:
            with _service(in_thread, drop_columns=drop) as (url, key):
                return time_columns(url, n, rows, lambda u: _connected(u, key), check=not drop,
                                    compress=compress)
        return run

    def direct_sqlite() -> Tuple[float, float]:
        with direct._sqlite_url() as url:
            return time_columns(url, n, rows, direct._storage)

    out = []
    for name, fn in (("through the service (SQLite), end to end", service(False)),
                     ("through the service, store dropping the batches (outside the store)", service(True)),
                     ("direct SQLite (HostedStorage on sqlite:///)", direct_sqlite),
                     ("encoding alone (client CPU)", lambda: time_encode(n, rows))):
        times = [fn() for _ in range(repeats)]
        out.append({"name": name, "nodes": n, "rows": rows,
                    "graph_s": statistics.median(t[0] for t in times),
                    "rows_s": statistics.median(t[1] for t in times), "times": times})
    return out


def _through_service(fn: Callable, in_thread: bool) -> Callable[[int], float]:
    def timed(n: int) -> float:
        with _service(in_thread) as (url, key):
            return fn(url, n, open_storage=lambda u: _connected(u, key))

    return timed


def _connected(url: str, key: str):
    from lumarq.utilities.persistence import HostedStorage

    s = HostedStorage(api_url=url, api_key=key, tenant_id="bench")
    s.connect()
    return s


def _direct(fn: Callable) -> Callable[[int], float]:
    def timed(n: int) -> float:
        with direct._sqlite_url() as url:
            return fn(url, n)

    return timed


def _median(fn: Callable[[int], float], n: int, repeats: int) -> Tuple[float, List[float]]:
    times = [fn(n) for _ in range(repeats)]
    return statistics.median(times), times


CASES = [
    ("row values via AsyncWriter (lists of 5000) + flush", "rows", direct.time_row_values, "rows"),
    ("DAG bulk write: store_nodes + fingerprint map + store_edges_resolved", "nodes", direct.time_dag, "nodes"),
    ("DAG per-node write: write_node/write_edges + flush", "nodes", direct.time_writer_nodes, "nodes"),
]


def measure(rows: int = 1_000_000, nodes: int = 100_000, repeats: int = 3,
            in_thread: bool = False) -> List[Dict[str, object]]:
    out = []
    for name, unit, fn, size in CASES:
        n = rows if size == "rows" else nodes
        base, base_times = _median(_direct(fn), n, repeats)
        med, times = _median(_through_service(fn, in_thread), n, repeats)
        out.append({"name": name, "unit": unit, "n": n, "service_s": med, "service_times": times,
                    "direct_s": base, "direct_times": base_times})
    return out


def run(rows: Optional[int] = None, repeat: int = 3) -> list:
    """Entry point of bench/run.py: service figures with direct SQLite as baseline."""
    from _timing import Result, per_item

    results = []
    for r in measure(rows=rows or 1_000_000, repeats=max(1, min(repeat, 3))):
        n, unit = int(r["n"]), str(r["unit"])
        results.append(Result(
            name="service (http, SQLite): %s, %s %s" % (r["name"], format(n, ","), unit),
            median_s=float(r["service_s"]), per_item=per_item(float(r["service_s"]), n, unit[:-1]),
            baseline="direct SQLite, same code", baseline_s=float(r["direct_s"]),
            notes=["%s %s/s through the service, %s %s/s direct" % (
                format(round(n / float(r["service_s"])), ","), unit,
                format(round(n / float(r["direct_s"])), ","), unit)],
        ))
    return results


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--nodes", type=int, default=None, help="default 100,000 (1,000,000 with --columns)")
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--in-thread", action="store_true", help="run the service on a thread of this process")
    ap.add_argument("--columns", action="store_true",
                    help="only the column batches: --nodes nodes (default 1,000,000) and --rows row values")
    ap.add_argument("--compress", choices=("auto", "zlib", "none"), default="auto",
                    help="compression of column bodies (auto: none on the loopback interface)")
    ap.add_argument("--serve-dropping-columns", metavar="DB", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.serve_dropping_columns:
        return _serve_dropping_columns(args.serve_dropping_columns)
    started = time.perf_counter()
    if args.columns:
        nodes = args.nodes or 1_000_000
        compress = {"auto": None, "zlib": True, "none": False}[args.compress]
        for r in measure_columns(nodes, args.rows, args.repeats, args.in_thread, compress):
            print("columns %-68s %d nodes %.3f s (%9.0f nodes/s)   %d row values %.3f s (%9.0f rows/s)   "
                  "(runs: %s)" % (r["name"], r["nodes"], r["graph_s"], r["nodes"] / r["graph_s"], r["rows"],
                                  r["rows_s"], r["rows"] / r["rows_s"],
                                  ", ".join("%.2f+%.2f" % t for t in r["times"])))
        print("total %.1f s" % (time.perf_counter() - started))
        return 0
    for r in measure(args.rows, args.nodes or 100_000, args.repeats, args.in_thread):
        n = int(r["n"])
        print("%-70s n=%-8d service median %.3f s (%9.0f %s/s)   direct SQLite %.3f s (%9.0f %s/s)   "
              "ratio %.2fx   (runs: %s | %s)" % (
                  r["name"], n, r["service_s"], n / r["service_s"], r["unit"], r["direct_s"],
                  n / r["direct_s"], r["unit"], r["service_s"] / r["direct_s"],
                  ", ".join("%.3f" % t for t in r["service_times"]),
                  ", ".join("%.3f" % t for t in r["direct_times"])))
    print("total %.1f s" % (time.perf_counter() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
