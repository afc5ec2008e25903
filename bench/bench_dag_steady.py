"""The DAG tracker in the steady state a user meets at a million rows: several operations in a
row on one tracker (so eviction past 500,000 nodes runs), wrapping a 1M x 5 frame, the peak
resident memory per row and operation, get_dag of a 100,000-node graph, and the bulk DAG write of
a million nodes into SQLite, PostgreSQL and through the service.

    PYTHONPATH=src python bench/bench_dag_steady.py [--rows N] [--repeat R] [--no-pg] [--no-service]
"""
from __future__ import annotations

import argparse
import contextlib
import gc
import json
import os
import statistics
import subprocess
import sys
import time
import warnings

import numpy as np
import pandas as pd

_HERE = os.path.dirname(os.path.abspath(__file__))
_SRC = os.path.join(os.path.dirname(_HERE), "src")
for _p in (_SRC, _HERE):
    if _p not in sys.path:
        sys.path.insert(0, _p)

from _timing import Result, median_seconds, per_item  # noqa: E402

COLUMNS = 5
OPS = 5  # operations in a row on one tracker; the first runs on a fresh graph and is not counted


def frame(n: int) -> pd.DataFrame:
    rng = np.random.default_rng(7)
    data = {f"f{i}": rng.random(n) for i in range(COLUMNS - 1)}
    data["k"] = rng.integers(0, 1000, n)
    return pd.DataFrame(data)


def _steady_ops(n: int, dtype: bool = False) -> list[float]:
    """Seconds of each of OPS binary operations between DAG-tracked columns on one tracker:
    DAGTrackedSeries, or with `dtype` columns of the provenance dtype."""
    import lumarq
    from lumarq.utilities.vantor32_dag import DAGTracker, wrap_dataframe_dag

    t = DAGTracker()
    wrap = lumarq.track if dtype else wrap_dataframe_dag
    w = wrap(frame(n), t, "bench", protected=["f1"])
    s, u = w["f0"], w["f1"]
    gc.collect()
    times, r = [], s
    for k in range(OPS):
        t0 = time.perf_counter()
        r = r + (u if k % 2 == 0 else s)
        times.append(time.perf_counter() - t0)
    return times


def _persisting_ops(n: int) -> tuple[list[float], float]:
    """As _steady_ops with the dtype, on a tracker that persists into a fresh SQLite file: the
    seconds of each operation (the writer drains meanwhile), and from `track` to the end of the
    flush after them."""
    import tempfile

    import lumarq
    from lumarq.utilities.vantor32_dag import DAGTracker

    with tempfile.TemporaryDirectory(prefix="lumarq-bench-") as d:
        t = DAGTracker(api_key="bench", service_url="sqlite:///" + os.path.join(d, "p.db"),
                       pipeline_name="bench")
        df = frame(n)
        start = time.perf_counter()
        w = lumarq.track(df, t, "bench", protected=["f1"])
        s, u = w["f0"], w["f1"]
        times, r = [], s
        for k in range(OPS):
            t0 = time.perf_counter()
            r = r + (u if k % 2 == 0 else s)
            times.append(time.perf_counter() - t0)
        t.flush(timeout=3600.0)
        total_s = time.perf_counter() - start
        t.__exit__(None, None, None)
    return times, total_s


def _peak_memory_child(n: int) -> dict:
    """Runs in a fresh interpreter: resident-set high-water mark above the start of three
    operations in the steady state (results kept alive), per row and operation."""
    from lumarq.utilities.vantor32_dag import DAGTracker, wrap_dataframe_dag

    t = DAGTracker()
    w = wrap_dataframe_dag(frame(n), t, "bench", protected=["f1"])
    s, u = w["f0"], w["f1"]
    warm = s + u  # the graph is past its bound from here on
    del warm
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets the high-water mark to the current resident set

    def kib(field: str) -> int:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
        raise OSError(field)

    before = kib("VmRSS")
    a = s + u
    b = a + s
    c = b + u
    peak = kib("VmHWM")
    del a, b, c
    return {"bytes_per_row_op": (peak - before) * 1024 / (3 * n)}


def peak_memory(n: int) -> float | None:
    if not os.path.exists("/proc/self/clear_refs"):
        return None
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([_SRC, _HERE, os.environ.get("PYTHONPATH", "")]))
    out = subprocess.run([sys.executable, __file__, "--memory-child", str(n)], env=env,
                         check=True, capture_output=True, text=True).stdout
    return float(json.loads(out.strip().splitlines()[-1])["bytes_per_row_op"])


def _get_dag_graph(nodes: int):
    """A tracker whose aggregation node reaches `nodes` binary nodes and two sources."""
    from lumarq.utilities.vantor32_dag import DAGTracker, wrap_dataframe_dag

    t = DAGTracker()
    w = wrap_dataframe_dag(frame(nodes)[["f0", "f1"]], t, "bench")
    r = w["f0"] + w["f1"]
    root = t.log_aggregate("sum", r._node_ids.tolist(), 0)
    return t, root


def _object_floor(nodes: int, edges: int, repeat: int) -> float:
    """Seconds CPython alone takes to make and free what a read graph holds, without the walk:
    one 3-tuple per edge (a GC object of about a DAGEdge's size) and a dict with an entry per
    node, in the same make-and-drop pattern as the timed read."""
    ids = list(range(10**6, 10**6 + edges))
    back = ids[::-1]
    index = [i % 2 for i in range(edges)]
    keys = ids[:nodes]
    values = [object() for _ in keys]
    return median_seconds(lambda: (list(zip(ids, back, index)), dict(zip(keys, values))), repeat)


def run(rows: int | None = None, repeat: int = 3, postgres: bool = True,
        service: bool = True) -> list[Result]:
    n = rows or 1_000_000
    warnings.simplefilter("ignore", UserWarning)  # the memory-only row buffer drops old records
    results = []

    ops = [_steady_ops(n) for _ in range(max(1, repeat // 2))]
    steady = statistics.median([x for run_ in ops for x in run_[1:]])
    fresh = statistics.median([run_[0] for run_ in ops])
    df = frame(n)
    a, b = df["f0"].copy(), df["f1"].copy()
    plain = median_seconds(lambda: a + b, 10)
    results.append(Result(
        name=f"DAGTrackedSeries binary op, steady state, {n:,} rows", median_s=steady,
        per_item=per_item(steady, n, "row"), baseline="pandas Series a + b", baseline_s=plain,
        target="<= 100 ns/row",
        notes=[f"median of operations 2..{OPS} on one tracker; the first (fresh graph): "
               f"{per_item(fresh, n, 'row')}"]))

    ops = [_steady_ops(n, dtype=True) for _ in range(max(1, repeat // 2))]
    steady = statistics.median([x for run_ in ops for x in run_[1:]])
    fresh = statistics.median([run_[0] for run_ in ops])
    results.append(Result(
        name=f"provenance dtype with a DAGTracker, binary op, steady state, {n:,} rows",
        median_s=steady, per_item=per_item(steady, n, "row"), baseline="pandas Series a + b",
        baseline_s=plain, target="<= 100 ns/row",
        notes=[f"median of operations 2..{OPS} on one tracker; the first (fresh graph): "
               f"{per_item(fresh, n, 'row')}"]))

    ops, total_s = _persisting_ops(n)
    steady = statistics.median(ops[1:])
    rows_stored = n * (COLUMNS + OPS)  # the frame's cells, then each operation's rows
    results.append(Result(
        name=f"the same, persisting into SQLite (row values as they are made), {n:,} rows",
        median_s=steady, per_item=per_item(steady, n, "row"), baseline="pandas Series a + b",
        baseline_s=plain,
        notes=[f"median of operations 2..{OPS}; {rows_stored:,} row values stored in "
               f"{total_s:.1f} s from track() to the end of flush ({rows_stored / total_s:,.0f}/s)"]))

    from lumarq.utilities.vantor32_dag import DAGTracker, wrap_dataframe_dag

    state = {}
    wrap_s = median_seconds(lambda: wrap_dataframe_dag(df, state["t"], "bench", protected=["f1"]),
                            repeat, setup=lambda: (state.clear(), gc.collect(),
                                                   state.update(t=DAGTracker())))
    state.clear()
    results.append(Result(
        name=f"wrap_dataframe_dag, {n:,} x {COLUMNS}", median_s=wrap_s,
        per_item=per_item(wrap_s, n * COLUMNS, "cell"), baseline="df.copy(deep=True)",
        baseline_s=median_seconds(lambda: df.copy(deep=True), repeat), target="<= 0.3 s"))

    per_row = peak_memory(n)
    if per_row is not None:
        results.append(Result(
            name=f"peak resident memory per row and operation, {n:,} rows", median_s=0.0,
            per_item=f"{per_row:.1f} B/row/op", target="<= 64 B",
            notes=["three steady-state operations in a fresh process, results kept alive "
                   "(each holds 20 B/row of values, words and node ids)"]))

    graph_nodes = min(100_000, n)
    t, root = _get_dag_graph(graph_nodes)
    dag_s = median_seconds(lambda: t.get_dag(root), repeat)
    # The node and edge objects are made when the graph is first read: a caller who walks them
    # pays this instead.
    read_s = median_seconds(lambda: t.get_dag(root).edges, repeat)
    # Once read, the graph's nodes are objects the tracker hands out (the same ones get_node
    # gives), and every later walk follows them: the steady state of a tracker whose graphs are read.
    held_s = median_seconds(lambda: t.get_dag(root), repeat)
    dag = t.get_dag(root)
    size = len(dag.nodes)
    results.append(Result(name=f"get_dag of a {size:,}-node graph", median_s=dag_s,
                          per_item=per_item(dag_s, size, "node"), target="<= 30 ms",
                          notes=[f"called again after a read: {held_s * 1e3:.1f} ms"]))
    edges = len(dag.edges)
    results.append(Result(
        name=f"the same with its nodes and {edges:,} edges read", median_s=read_s,
        per_item=per_item(read_s, size, "node"), target="<= 30 ms",
        baseline="CPython alone: a tuple per edge and a dict entry per node, made and freed",
        baseline_s=_object_floor(size, edges, repeat),
        notes=["the graph is dropped inside each sample, as a caller who reads and drops it pays"]))
    if dag.to_json() != json.dumps(dag.to_dict(), indent=2):
        raise AssertionError("to_json differs from json.dumps of to_dict")
    json_s = median_seconds(dag.to_json, repeat)
    results.append(Result(
        name="ComputationDAG.to_json of the same graph", median_s=json_s,
        per_item=per_item(json_s, size, "node"), baseline="json.dumps(dag.to_dict(), indent=2)",
        baseline_s=median_seconds(lambda: json.dumps(dag.to_dict(), indent=2), repeat),
        notes=["the same text, checked before timing"]))
    del t, dag

    import bench_persistence
    import bench_storage

    cols = statistics.median([bench_persistence.time_dag_columns(n) for _ in range(max(1, repeat // 2))])
    results.append(Result(
        name=f"column batch of the bulk DAG write, {n:,} nodes (producing it, no store)",
        median_s=cols, per_item=per_item(cols, n, "node"), target="well under 0.5 s",
        notes=[f"{n / cols:,.0f} nodes/s"]))

    targets = [("sqlite", bench_storage._sqlite_url, ">= 500,000 nodes/s")]
    with contextlib.ExitStack() as stack:
        if postgres:
            server = stack.enter_context(bench_storage._pg_server(None))
            if server is not None:
                targets.append(("postgresql", bench_storage._pg_url_factory(*server),
                                ">= 300,000 nodes/s"))
        for backend, url_cm, target in targets:
            def one(url_cm=url_cm) -> float:
                with url_cm() as url:
                    return bench_persistence.time_dag_bulk(url, n)

            def floor(url_cm=url_cm) -> float:
                with url_cm() as url:
                    return bench_persistence.time_floor(url, n, "graph")

            med = statistics.median([one() for _ in range(max(1, repeat // 2))])
            # The same database storing the same rows with nothing of ours running: no writer
            # on this schema can beat it.
            base = statistics.median([floor() for _ in range(max(1, repeat // 2))])
            results.append(Result(
                name=f"bulk DAG write of flush, {n:,} nodes, {backend}", median_s=med,
                per_item=per_item(med, n, "node"), target=target,
                baseline="the database alone (INSERT ... SELECT)", baseline_s=base,
                notes=[f"{n / med:,.0f} nodes/s; the database alone: {n / base:,.0f} nodes/s "
                       "(random fingerprints, two edges per node)"]))
    if service:
        med = statistics.median([bench_persistence._through_service(n)
                                 for _ in range(max(1, repeat // 2))])
        rows_n = n - bench_persistence.SOURCES
        results.append(Result(
            name=f"pipeline through the service (SQLite), {n:,} nodes + {rows_n:,} row values",
            median_s=med, per_item=per_item(med, n, "node"),
            target=">= 200,000 nodes/s and 1,000,000 row values/s",
            notes=[f"{n / med:,.0f} nodes/s, {rows_n / med:,.0f} row values/s "
                   "(nodes and row values share the wall time)"]))
    return results


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--no-pg", action="store_true")
    ap.add_argument("--no-service", action="store_true")
    ap.add_argument("--memory-child", type=int, default=None, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.memory_child:
        warnings.simplefilter("ignore", UserWarning)
        print(json.dumps(_peak_memory_child(args.memory_child)))
        return 0
    from run import print_table

    print_table(run(args.rows, args.repeat, not args.no_pg, not args.no_service))
    return 0


if __name__ == "__main__":
    sys.exit(main())
