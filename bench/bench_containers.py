"""Tracked containers against plain pandas on the same data: series arithmetic, wrapping a
frame (against a deep copy of it) and the column risk report."""
from __future__ import annotations

import numpy as np
import pandas as pd

from _timing import Result, median_seconds, per_item

DEFAULT_ROWS = 1_000_000
COLUMNS = 10


def run(rows: int | None = None, repeat: int = 5) -> list[Result]:
    from lumarq.utilities.vantor32 import ProvenanceTracker, column_risk_report, wrap_dataframe

    n = rows or DEFAULT_ROWS
    rng = np.random.default_rng(11)
    # Built column by column, as frames usually are: every column is contiguous in its block.
    # (From one (n, 10) array, pandas 2 would keep strided views of it and numpy would spend
    # most of its time on the strides, on both sides alike.)
    df = pd.DataFrame({f"f{i}": rng.random(n) for i in range(COLUMNS)})
    tracker = ProvenanceTracker()
    wrapped = wrap_dataframe(df, tracker, "bench", protected=["f1"])
    s, t = wrapped["f0"], wrapped["f1"]
    plain_s, plain_t = df["f0"], df["f1"]

    results = []
    # Sub-millisecond: ten times the samples, or the median is at the mercy of the machine.
    add_plain = median_seconds(lambda: plain_s + plain_t, repeat * 10)
    add_tracked = median_seconds(lambda: s + t, repeat * 10)
    results.append(Result(
        name=f"TrackedSeries s + t, {n:,} float64", median_s=add_tracked,
        per_item=per_item(add_tracked, n, "row"), baseline="pandas Series s + t",
        baseline_s=add_plain, target="ratio <= 1.5"))

    copy_s = median_seconds(lambda: df.copy(deep=True), repeat)
    wrap_s = median_seconds(lambda: wrap_dataframe(df, tracker, "bench", protected=["f1"]), repeat)
    results.append(Result(
        name=f"wrap_dataframe, {n:,} x {COLUMNS} float64", median_s=wrap_s,
        per_item=per_item(wrap_s, n * COLUMNS, "value"), baseline="df.copy(deep=True)",
        baseline_s=copy_s, target="ratio <= 1.5"))

    # A column of a row-filtered frame: the stored words no longer line up with the rows and
    # are checked for one common source (first-row rule) in one pass.
    mask = df["f0"].to_numpy() > 0.5
    plain_half, tracked_half = df[mask], wrapped[mask]
    col_plain = median_seconds(lambda: plain_half["f3"], repeat * 10)
    col_tracked = median_seconds(lambda: tracked_half["f3"], repeat * 10)
    results.append(Result(
        name=f"column of a filtered TrackedDataFrame, {int(mask.sum()):,} of {n:,} rows",
        median_s=col_tracked, per_item=per_item(col_tracked, n, "stored row"),
        baseline="pandas column of the filtered frame", baseline_s=col_plain))

    risk_s = median_seconds(lambda: column_risk_report(wrapped), repeat)
    results.append(Result(
        name=f"column_risk_report, {n:,} x {COLUMNS}", median_s=risk_s,
        per_item=per_item(risk_s, n * COLUMNS, "value")))
    return results
