"""DAG-tracked containers in memory-only mode against plain pandas on the same data: wrapping a
frame (one source node per column, one provenance value and one record per cell) and one binary
operation between two tracked columns (one node and one record per row), with the operation's
peak memory."""
from __future__ import annotations

import gc
import time
import tracemalloc
import warnings

import numpy as np
import pandas as pd

from _timing import Result, median_seconds, per_item

DEFAULT_ROWS = 1_000_000
COLUMNS = 5


def frame(n: int) -> pd.DataFrame:
    rng = np.random.default_rng(7)
    data = {f"f{i}": rng.random(n) for i in range(COLUMNS - 1)}
    data["k"] = rng.integers(0, 1000, n)  # an int column: cells come out of rows as floats
    return pd.DataFrame(data)


def _rss_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise OSError(field)


def peak_rss_delta(fn) -> int | None:
    """Peak resident memory during fn() above the resident memory before it, in bytes (Linux:
    the peak is reset through /proc/self/clear_refs); None where that is unavailable."""
    try:
        before = _rss_kib("VmRSS")
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        fn()
        return (_rss_kib("VmHWM") - before) * 1024
    except OSError:
        return None


def run(rows: int | None = None, repeat: int = 5) -> list[Result]:
    from lumarq.utilities.vantor32_dag import DAGTracker, wrap_dataframe_dag

    n = rows or DEFAULT_ROWS
    df = frame(n)
    results = []
    warnings.simplefilter("ignore", UserWarning)  # the memory-only row buffer drops old records

    state = {}

    def fresh_tracker():
        state.clear()
        gc.collect()
        state["t"] = DAGTracker()

    wrap_s = median_seconds(lambda: wrap_dataframe_dag(df, state["t"], "bench", protected=["f1"]),
                            repeat, setup=fresh_tracker)
    copy_s = median_seconds(lambda: df.copy(deep=True), repeat)
    results.append(Result(
        name=f"wrap_dataframe_dag, {n:,} x {COLUMNS}", median_s=wrap_s,
        per_item=per_item(wrap_s, n * COLUMNS, "cell"), baseline="df.copy(deep=True)",
        baseline_s=copy_s, target="<= 2 s"))

    def fresh_operands():
        fresh_tracker()
        wrapped = wrap_dataframe_dag(df, state["t"], "bench", protected=["f1"])
        state["s"], state["u"] = wrapped["f0"], wrapped["f1"]
        gc.collect()

    add_s = median_seconds(lambda: state["s"] + state["u"], repeat, setup=fresh_operands)
    plain_s, plain_u = df["f0"].copy(), df["f1"].copy()
    plain = median_seconds(lambda: plain_s + plain_u, repeat * 10)
    fresh_operands()
    t0 = time.perf_counter()
    state["s"] + state["u"]  # once more with the collector on, as in real use
    gc_on = time.perf_counter() - t0
    fresh_operands()
    rss = peak_rss_delta(lambda: state["s"] + state["u"])
    fresh_operands()
    tracemalloc.start()
    state["s"] + state["u"]
    _, traced_peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    state.clear()
    notes = [f"with the garbage collector on: {per_item(gc_on, n, 'row')}",
             "includes one node and one row value per row, and the evictions past 500,000 nodes",
             f"peak memory: tracemalloc {traced_peak / 2**20:.1f} MiB "
             f"({traced_peak / n:.0f} B/row)"
             + (f", resident set {rss / 2**20:.1f} MiB above the start" if rss is not None else "")]
    results.append(Result(
        name=f"DAGTrackedSeries s + t, {n:,} rows", median_s=add_s,
        per_item=per_item(add_s, n, "row"), baseline="pandas Series s + t", baseline_s=plain,
        target="<= 0.5 us/row", notes=notes))
    return results
