"""DAG tracker: logging from Python, node creation from C++, reconstruction and exports."""
from __future__ import annotations

import gc
import time

import numpy as np

from _timing import Result, median_seconds, per_item

DEFAULT_ROWS = 1_000_000
GRAPH_NODES = 100_000
DOT_NODES = 10_000


def chain(tracker, n):
    """`n` binary nodes, each over the previous one and a source: a graph of n + 1 nodes."""
    src = tracker.create_source_node("loans", "income", 1)
    prev = src
    for i in range(n):
        prev = tracker.log_binary("add", prev, src, i)
    return prev


def run(rows: int | None = None, repeat: int = 5) -> list[Result]:
    from lumarq.utilities.vantor32_dag import DAGTracker

    n = rows or DEFAULT_ROWS
    results = []

    # log_binary from Python, against a Python function that stores one record per call.
    state = {}

    def fresh():
        t = DAGTracker()
        state["t"] = t
        state["ids"] = (t.create_source_node("t", "a", 1), t.create_source_node("t", "b", 2))

    def log_calls():
        log, (a, b) = state["t"].log_binary, state["ids"]
        for i in range(n):
            log("add", a, b, i)

    records = {}

    def store(op, left, right, prov, metadata=None):
        records[prov] = (op, left, right)
        return prov

    def baseline_calls():
        records.clear()
        for i in range(n):
            store("add", 0, 1, i)

    t_log = median_seconds(log_calls, repeat, setup=fresh)
    t_base = median_seconds(baseline_calls, repeat)
    fresh()
    t0 = time.perf_counter()
    log_calls()  # once more with the collector running, as in real use
    gc_on = time.perf_counter() - t0
    results.append(Result(
        name=f"log_binary from Python, {n:,} calls", median_s=t_log, per_item=per_item(t_log, n, "call"),
        baseline="Python function storing a tuple", baseline_s=t_base, target="<= 1 us/call",
        notes=[f"with the garbage collector on: {per_item(gc_on, n, 'call')}",
               "includes the evictions past 500,000 nodes"]))
    state.clear()

    # The same node creation driven from C++ (the per-row loops of the DAG-tracked containers).
    try:
        import _dag_bench
    except ImportError:
        _dag_bench = None
    if _dag_bench is not None:
        left = np.zeros(n, dtype=np.int64)
        right = np.ones(n, dtype=np.int64)
        provs = np.arange(n, dtype=np.uint32)
        t_cpp = median_seconds(
            lambda: _dag_bench.create_binary_nodes(state["t"], "add", left, right, provs), repeat,
            setup=fresh)
        results.append(Result(
            name=f"node creation from C++, {n:,} nodes", median_s=t_cpp, per_item=per_item(t_cpp, n, "node"),
            baseline="log_binary from Python", baseline_s=t_log))
        state.clear()
    else:
        results.append(Result(name="node creation from C++", median_s=0.0,
                              notes=["bench/_dag_bench not built (python tools/build_rust.py builds it)"]))

    # Reconstruction and export of a large graph.
    g = DAGTracker()
    root = chain(g, GRAPH_NODES - 1)
    t_dag = median_seconds(lambda: g.get_dag(root), repeat)
    dag = g.get_dag(root)
    t_both = median_seconds(lambda: g.get_dag(root).to_dict(), repeat)
    results.append(Result(name=f"get_dag, {GRAPH_NODES:,} nodes", median_s=t_dag,
                          per_item=per_item(t_dag, len(dag.nodes), "node"), target="<= 150 ms"))
    results.append(Result(name=f"get_dag + to_dict, {GRAPH_NODES:,} nodes", median_s=t_both,
                          per_item=per_item(t_both, len(dag.nodes), "node")))
    t_depth = median_seconds(lambda: dag.depth, repeat)
    results.append(Result(name=f"depth, {GRAPH_NODES:,} nodes", median_s=t_depth,
                          per_item=per_item(t_depth, len(dag.nodes), "node")))
    del dag, g

    d = DAGTracker()
    small = d.get_dag(chain(d, DOT_NODES - 1))
    t_dot = median_seconds(small.to_graphviz, repeat)
    results.append(Result(name=f"to_graphviz, {DOT_NODES:,} nodes", median_s=t_dot,
                          per_item=per_item(t_dot, len(small.nodes), "node")))
    return results
