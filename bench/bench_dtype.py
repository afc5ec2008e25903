"""The provenance dtype against plain pandas on the same data, in the same run: arithmetic,
filter, sort, merge on a tracked key, concat, groupby sum, where and loc assignment by a tracked
condition, and `track` (against a deep copy)."""
from __future__ import annotations

import statistics
import time

import numpy as np
import pandas as pd

from _timing import Result, median_seconds, per_item


def paired_medians(fn_a, fn_b, repeat: int) -> tuple[float, float]:
    """Medians of `fn_a` and `fn_b` timed in alternation, so that both meet the same load
    (other processes on a shared machine come and go within one run)."""
    a: list[float] = []
    b: list[float] = []
    for _ in range(repeat):
        a.append(median_seconds(fn_a, 1, warmup=0))
        b.append(median_seconds(fn_b, 1, warmup=0))
    return statistics.median(a), statistics.median(b)

DEFAULT_ROWS = 1_000_000
COLUMNS = 10
GROUPS = 1_000


def run(rows: int | None = None, repeat: int = 5) -> list[Result]:
    import lumarq
    from lumarq.utilities.vantor32 import ProvenanceTracker

    n = rows or DEFAULT_ROWS
    rng = np.random.default_rng(7)
    plain = pd.DataFrame({
        "a": rng.random(n), "b": rng.random(n),
        "key": rng.permutation(n).astype(np.int64),
        "g": rng.integers(0, GROUPS, n),
    })
    right_plain = pd.DataFrame({"key": rng.permutation(n).astype(np.int64), "c": rng.random(n)})
    tracker = ProvenanceTracker()
    tracked = lumarq.track(plain, tracker, "left", protected=["b"])
    right = lumarq.track(right_plain, tracker, "right")

    results: list[Result] = []

    def compare(name: str, tracked_fn, plain_fn, baseline: str, target: str | None,
                samples: int = repeat, items: int = n) -> None:
        plain_fn(), tracked_fn()  # warm up
        base, mine = paired_medians(plain_fn, tracked_fn, samples)
        results.append(Result(name=name, median_s=mine, per_item=per_item(mine, items, "row"),
                              baseline=baseline, baseline_s=base, target=target))

    # Sub-millisecond operations get ten times the samples.
    compare(f"dtype a + b, {n:,} float64", lambda: tracked["a"] + tracked["b"],
            lambda: plain["a"] + plain["b"], "pandas a + b", "ratio <= 1.5", repeat * 10)
    compare(f"dtype boolean filter, {n:,} x 4", lambda: tracked[tracked["a"] > 0.5],
            lambda: plain[plain["a"] > 0.5], "pandas df[mask]", "ratio <= 2")
    compare(f"dtype sort_values, {n:,} x 4", lambda: tracked.sort_values("a"),
            lambda: plain.sort_values("a"), "pandas sort_values", "ratio <= 1.5")
    compare(f"dtype merge on a tracked key, {n:,}", lambda: tracked.merge(right, on="key"),
            lambda: plain.merge(right_plain, on="key"), "pandas merge", "ratio <= 3")
    compare(f"dtype concat of two frames, {n:,} x 4", lambda: pd.concat([tracked, tracked]),
            lambda: pd.concat([plain, plain]), "pandas concat", "ratio <= 2")
    compare(f"dtype groupby sum, {n:,} rows, {GROUPS:,} groups",
            lambda: tracked.groupby("g")[["a", "b"]].sum(),
            lambda: plain.groupby("g")[["a", "b"]].sum(), "pandas groupby sum", "ratio <= 3")
    # Windows and group transforms: each row combines the words of the rows it came from.
    compare(f"dtype rolling(20).mean, {n:,} rows", lambda: tracked["b"].rolling(20).mean(),
            lambda: plain["b"].rolling(20).mean(), "pandas rolling mean", None)
    compare(f"dtype ewm(span=5).mean, {n:,} rows", lambda: tracked["b"].ewm(span=5).mean(),
            lambda: plain["b"].ewm(span=5).mean(), "pandas ewm mean", None)
    compare(f"dtype groupby cumsum, {n:,} rows, {GROUPS:,} groups",
            lambda: tracked.groupby("g")["b"].cumsum(),
            lambda: plain.groupby("g")["b"].cumsum(), "pandas groupby cumsum", None)
    # A value chosen by a tracked condition takes the condition's words: one more combination.
    cond, plain_cond = tracked["b"] > 0.5, plain["b"] > 0.5
    compare(f"dtype where by a tracked condition, {n:,} rows",
            lambda: tracked["a"].where(cond, 0.0), lambda: plain["a"].where(plain_cond, 0.0),
            "pandas where", None)
    # The same through an assignment (`df.loc[cond, c] = 0`): pandas' write, then the
    # condition's words over the column, written back. Each sample writes into its own copy.
    def assigned(frame, c):
        out = frame[["a"]].copy()
        out.loc[c, "a"] = 0.0
        return out

    compare(f"dtype loc assignment by a tracked condition, {n:,} rows",
            lambda: assigned(tracked, cond), lambda: assigned(plain, plain_cond),
            "pandas loc assignment", None)
    compare(f"dtype round(1), {n:,} rows", lambda: tracked["a"].round(1),
            lambda: plain["a"].round(1), "pandas round", None, repeat * 10)
    # A Python mapping per element: pandas computes the values, each row takes one chain step.
    codes = {g: g * 0.5 for g in range(GROUPS)}
    compare(f"dtype map by a dict, {n:,} rows, {GROUPS:,} keys", lambda: tracked["g"].map(codes),
            lambda: plain["g"].map(codes), "pandas map", None)

    # The DAG channel: a merge logs a node per output row, a groupby one per group whose inputs
    # are the group's distinct member nodes (here one computed node per row).
    from lumarq.utilities.vantor32_dag import DAGTracker

    dag_tracker = DAGTracker()
    dag_left = lumarq.track(plain, dag_tracker, "left", protected=["b"])
    dag_left["s"] = dag_left["a"] + dag_left["b"]
    dag_right = lumarq.track(right_plain, dag_tracker, "right")
    plain_s = plain.assign(s=plain["a"] + plain["b"])
    compare(f"dtype with a DAGTracker: merge on a tracked key, {n:,}",
            lambda: dag_left.merge(dag_right, on="key"),
            lambda: plain_s.merge(right_plain, on="key"), "pandas merge", None)
    compare(f"dtype with a DAGTracker: groupby sum of a computed column, {n:,} rows, "
            f"{GROUPS:,} groups", lambda: dag_left.groupby("g")[["s"]].sum(),
            lambda: plain_s.groupby("g")[["s"]].sum(), "pandas groupby sum", None)
    # Windows log a node per row reaching exactly its window's rows (part nodes for long ones).
    compare(f"dtype with a DAGTracker: rolling(20).mean of a computed column, {n:,} rows",
            lambda: dag_left["s"].rolling(20).mean(), lambda: plain_s["s"].rolling(20).mean(),
            "pandas rolling mean", None)
    compare(f"dtype with a DAGTracker: cumsum of a computed column, {n:,} rows",
            lambda: dag_left["s"].cumsum(), lambda: plain_s["s"].cumsum(), "pandas cumsum", None)
    # Row values that are no numbers: each row's text is recorded (dates and durations as the
    # text of each distinct value), only the newest the memory-only buffer keeps.
    texts = pd.DataFrame({"t": np.where(rng.random(n) < 0.2, None, "little").tolist(),
                          "d": pd.Timestamp("2020-01-01") + pd.to_timedelta(
                              np.sort(rng.integers(0, 10**6, n)), unit="min")})
    dag_texts = lumarq.track(texts, dag_tracker, "texts")
    compare(f"dtype with a DAGTracker: fillna of text, {n:,} rows",
            lambda: dag_texts["t"].fillna("none"), lambda: texts["t"].fillna("none"),
            "pandas fillna", None)
    compare(f"dtype with a DAGTracker: diff of dates, {n:,} rows",
            lambda: dag_texts["d"].diff(), lambda: texts["d"].diff(), "pandas diff", None)
    del dag_tracker, dag_left, dag_right, dag_texts
    results.append(_persisting_pipeline(min(n, 200_000), max(1, repeat // 2)))

    wide = pd.DataFrame({f"f{i}": rng.random(n) for i in range(COLUMNS)})
    copy_s, track_s = paired_medians(
        lambda: wide.copy(deep=True),
        lambda: lumarq.track(wide, tracker, "wide", protected=["f1"]), repeat)
    results.append(Result(
        name=f"track, {n:,} x {COLUMNS} float64", median_s=track_s,
        per_item=per_item(track_s, n * COLUMNS, "value"), baseline="df.copy(deep=True)",
        baseline_s=copy_s, target="ratio <= 1.5"))
    results.extend(_assignment_hook_cost(repeat))
    return results


def _persisting_pipeline(n: int, repeat: int) -> Result:
    """Seconds from `track` to the end of `flush` of a short pipeline on text and numbers with a
    DAGTracker persisting into SQLite: source cells, a text fill and arithmetic, as row values
    (texts and numbers) beside the nodes the writer is given one by one."""
    import os
    import tempfile
    import warnings

    import lumarq
    from lumarq.utilities.vantor32_dag import DAGTracker

    rng = np.random.default_rng(3)
    frame = pd.DataFrame({"amount": rng.random(n) * 1000, "months": rng.integers(6, 60, n),
                          "savings": np.where(rng.random(n) < 0.2, None, "little").tolist(),
                          "purpose": rng.choice(["car", "tv", "education"], n).tolist()})

    def once() -> float:
        with tempfile.TemporaryDirectory() as d, warnings.catch_warnings():
            warnings.simplefilter("ignore")
            t0 = time.perf_counter()
            t = DAGTracker(api_key="bench", service_url="sqlite:///" + os.path.join(d, "p.db"),
                           pipeline_name="bench")
            x = lumarq.track(frame, t, "loans", protected=["purpose"])
            x["savings"] = x["savings"].fillna("none")
            x["monthly"] = x["amount"] / x["months"]
            t.flush(timeout=600.0)
            elapsed = time.perf_counter() - t0
            t.__exit__(None, None, None)
        return elapsed

    med = statistics.median(once() for _ in range(repeat))
    rows = n * 6  # four columns' cells, the fill and the division
    return Result(name=f"dtype with a DAGTracker persisting into SQLite: track, a text fillna "
                       f"and a division, {n:,} rows, to the end of flush", median_s=med,
                  per_item=per_item(med, rows, "row value"),
                  notes=[f"{rows / med:,.0f} row values/s, texts and numbers"])


def _assignment_hook_cost(repeat: int) -> list[Result]:
    """What lumarq's assignment hooks cost plain pandas: masked assignments into untracked data
    through the hooked `__setitem__` against pandas' own (the hooks' `__wrapped__`), alternately
    in one process."""
    from pandas.core.indexing import _iLocIndexer, _LocIndexer

    rows, loops = 1_000, 200
    s = pd.Series(np.arange(rows, dtype=float))
    df = pd.DataFrame({"a": np.arange(rows, dtype=float), "b": np.arange(rows, dtype=float)})
    mask = df["a"] > rows / 2
    cases = [("s[mask] = x", pd.Series, lambda: s.__setitem__(mask, 1.0)),
             ("df.loc[mask, c] = x", _LocIndexer, lambda: df.loc.__setitem__((mask, "b"), 1.0)),
             ("s[i] = x", pd.Series, lambda: s.__setitem__(5, 1.0)),
             ("df.iloc[i, j] = x", _iLocIndexer, lambda: df.iloc.__setitem__((5, 1), 1.0))]
    out = []
    for name, cls, fn in cases:
        hooked = own = cls.__setitem__
        while type(own).__module__.startswith("lumarq"):  # every hook layer down to pandas'
            own = own.__wrapped__

        def timed(method: object, fn=fn, cls=cls) -> float:
            cls.__setitem__ = method
            try:
                return median_seconds(lambda: [fn() for _ in range(loops)], 1, warmup=1)
            finally:
                cls.__setitem__ = hooked

        a, b = [], []
        for _ in range(repeat * 2):
            a.append(timed(own))
            b.append(timed(hooked))
        mine, base = statistics.median(b) / loops, statistics.median(a) / loops
        out.append(Result(name=f"plain pandas {name} with lumarq's hook, {rows:,} rows",
                          median_s=mine, per_item=per_item(mine, 1, "call"),
                          baseline="pandas' own __setitem__", baseline_s=base, target=None))
    return out
