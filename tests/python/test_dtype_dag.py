"""The DAG channel of the provenance dtype: node ids ride with the rows, computations log nodes.

Each row of the computed column `c = a / b` has a node of its own, so a wrong row move, a wrong
input or a node shared between rows shows up as a wrong id.
"""

from __future__ import annotations

import pickle

import numpy as np
import pandas as pd
import pytest

import lumarq
from lumarq.utilities.vantor32 import ProvenanceTracker
from lumarq.utilities.vantor32_dag import DAGTracker, NodeType, dag_audit, get_dag_for_series


class OverridingTracker(DAGTracker):
    """Logging methods overridden: the per-row Python path instead of the block append."""

    def log_unary(self, *args, **kwargs):
        return super().log_unary(*args, **kwargs)

    def log_binary(self, *args, **kwargs):
        return super().log_binary(*args, **kwargs)

    def log_merge(self, *args, **kwargs):
        return super().log_merge(*args, **kwargs)

    def log_aggregate(self, *args, **kwargs):
        return super().log_aggregate(*args, **kwargs)

    def record_row_value(self, *args, **kwargs):
        return super().record_row_value(*args, **kwargs)


def make(tracker_cls=DAGTracker):
    t = tracker_cls()
    raw = pd.DataFrame({"a": [1.0, np.nan, 3.0, 4.0, 5.0, 6.0],
                        "b": [2.0, 5.0, 1.0, 8.0, 2.5, 3.0],
                        "g": [1, 2, 1, 2, 1, 3],
                        "age": [20, 30, 40, 50, 60, 70]},
                       index=[f"r{i}" for i in range(6)])
    df = lumarq.track(raw, t, "L", protected=["age"])
    df["c"] = df["a"] / df["b"]
    return t, df


def node(t, i):
    return t.get_node(int(i))


ROW_OPS = {
    "filter": lambda s: s[s.index.isin(["r1", "r3", "r4"])],
    "sort": lambda s: s.sort_values(ascending=False, na_position="first"),
    "take": lambda s: s.take([5, 0, 0, 2]),
    "concat": lambda s: pd.concat([s.iloc[4:], s.iloc[:2]]),
    "reindex": lambda s: s.reindex(["r2", "zz", "r0"]),
    "copy": lambda s: s.copy(),
    "scalar operand": lambda s: 2.0 - s * 3.0,  # passes the node on, as the containers do
    # its comparisons logged two nodes a row that nothing referred to
    "compare": lambda s: s.compare(s.sort_values(na_position="first").set_axis(s.index))["self"],
    # pandas 2.2 logged a node a row, pandas 3 none (it never reaches the array)
    "fillna with nothing missing": lambda s: s.dropna().fillna(0.0),
    # the tie at the n-th value is broken by the next column through `~` on a mask of s
    "nsmallest of a frame": lambda s: pd.DataFrame({"c": s, "k": np.arange(6)}).nsmallest(
        3, ["c", "k"])["c"],
    "nlargest of a frame": lambda s: pd.DataFrame({"c": s, "k": np.arange(6)}).nlargest(
        2, ["c", "k"], keep="last")["c"],
    # an index of the dtype with repeated labels (pandas 3 runs putmask through `where`): a
    # label both sides hold keeps the left row's node, as 2.2 and a merge's key column give it
    "outer join on the index": lambda s: _joined(s, lambda l, r: l.join(r, how="outer")),
    "outer merge on the indexes": lambda s: _joined(s, lambda l, r: l.merge(
        r, left_index=True, right_index=True, how="outer")),
    "outer align on the index": lambda s: _joined(s, lambda l, r: (lambda a, b: a.assign(
        right=b["right"].to_numpy()))(*l.align(r, join="outer"))),
    # pandas builds a right join's index from the right side where the labels match (3 always,
    # 2.2 for unique labels): a matched row took the right row's node and word
    "right join on the index": lambda s: _joined(s, lambda l, r: l.join(r, how="right")),
    "right merge on the indexes": lambda s: _joined(s, lambda l, r: l.merge(
        r, left_index=True, right_index=True, how="right")),
    "right join on a unique index": lambda s: _joined(
        s, lambda l, r: l.join(r, how="right", sort=True), left_rows=[2, 1, 0]),
    "pd.merge right on unique indexes": lambda s: _joined(s, lambda l, r: pd.merge(
        l, r, left_index=True, right_index=True, how="right"), left_rows=[0, 1, 2]),
    # a MultiIndex keeps the rows' words per level: pandas 3 took the right index's, 2.2 gave
    # a level the word of every row sharing its value
    "right join on a MultiIndex": lambda s: _joined(
        s, lambda l, r: l.join(r, how="right"), levels=["c", "z"]),
    "right merge on MultiIndexes, sorted": lambda s: _joined(s, lambda l, r: pd.merge(
        l, r, left_index=True, right_index=True, how="right", sort=True), left_rows=[2, 1, 0],
        levels=["c", "z"]),
    # pandas fills through `fillna`, which gave every row a node though only the row the
    # alignment made up was written (as reindex with a fill value writes it: word 0, no node)
    "align with a fill value, nothing missing": lambda s: s.dropna().align(
        pd.Series(0.0, index=["zz"]), fill_value=-1.0)[0],
    "Index.putmask": lambda s: pd.Series(
        pd.Index(s.array).putmask(_MASK, pd.Index(s.array[::-1])),
        index=np.where(_MASK, s.index[::-1], s.index)),
    # rows only (no label missing a value): pandas' own `where` per column (a copy: pandas
    # 2.2's frame shares s's values)
    "update": lambda s: (lambda f: (f.update(s.iloc[_SOURCES].set_axis(s.index).to_frame()),
                                    f["c"].set_axis(s.index[_SOURCES]))[1])(s.copy().to_frame()),
    # pandas 2.2 aligns the two and fills the rows s lacks through `mask`
    "combine_first of other labels": lambda s: s.iloc[[0, 2]].combine_first(s.iloc[[3, 4]]),
    # pandas selects among its own dates and durations only (it raised for the dtype's)
    "nlargest of dates": lambda s: pd.to_datetime(s * 1e9).nlargest(3),
    "nsmallest of durations, keep all": lambda s: pd.to_timedelta(s, unit="D").nsmallest(
        2, keep="all"),
    "frame nlargest by dates": lambda s: pd.DataFrame(
        {"c": s, "d": pd.to_datetime(s * 1e9)}).nlargest(3, ["d", "c"])["c"],
    # pandas blanks the groups dropped through `where`
    "group filter keeping the rows": lambda s: s.groupby(_GROUPS).filter(
        lambda x: x.count() > 1, dropna=False),
    "frame group filter keeping the rows": lambda s: s.to_frame().groupby(_GROUPS).filter(
        lambda x: x["c"].count() > 1, dropna=False)["c"],
}
_MASK = np.array([True, False, False, True, False, False])
_SOURCES = [0, 2, 3, 4, 5, 0]  # rows without a missing value
_GROUPS = np.array([1, 1, 2, 2, 3, 3])


def _joined(s, join, left_rows=(0, 1, 2, 3), levels="c"):
    """The index of `join` of two frames indexed by s's values (labels held by both sides,
    and by one only), labelled by the row each index row came from (the left's where both);
    with `levels`, s's level of a MultiIndex (a plain level "z" beside it)."""
    z = {"z": 0} if "z" in levels else {}
    left = s.iloc[list(left_rows)].reset_index().assign(**z).set_index(levels)
    right = s.iloc[[3, 5]].reset_index().rename(columns={"index": "right"}).assign(
        **z).set_index(levels)
    out = join(left, right)
    return pd.Series(out.index.get_level_values("c").array,
                     index=out["index"].fillna(out["right"]).to_numpy())


@pytest.mark.parametrize("op", ROW_OPS)
def test_node_ids_follow_rows_and_log_nothing(op):
    t, df = make()
    by_label = dict(zip(df.index, df["c"].prov.nodes))
    before = t._next_node_id
    out = ROW_OPS[op](df["c"])
    assert t._next_node_id == before
    pd.testing.assert_series_equal(lumarq.untrack(out), ROW_OPS[op](lumarq.untrack(df["c"])))
    np.testing.assert_array_equal(out.prov.nodes, [by_label.get(k, -1) for k in out.index])
    if op != "reindex":
        np.testing.assert_array_equal(out.prov.words, [
            df["c"].prov.words[df.index.get_loc(k)] if k in df.index else 0 for k in out.index])


# name: (operation, expected op name, inputs of row i from the nodes of a and b)
COMPUTING = {
    "add": (lambda a, b: a + b, "add", lambda i, a, b: [a[i], b[i]]),
    "gt": (lambda a, b: a > b, "gt", lambda i, a, b: [a[i], b[i]]),
    "ufunc": (lambda a, b: np.log(b), "log", lambda i, a, b: [b[i]]),
    "neg": (lambda a, b: -a, "neg", lambda i, a, b: [a[i]]),
    # the condition (a > 2.5 passes a's nodes on) is an input too
    "where": (lambda a, b: a.where(a > 2.5, b), "where",
              lambda i, a, b: [a[i] if i == 2 else b[i], a[i]]),
    "clip": (lambda a, b: a.clip(0.4, 2.5), "clip", lambda i, a, b: [a[i]]),
    "prov.where": (lambda a, b: a.prov.where(b > 2.5, b) if hasattr(a, "prov") else
                   a.where(b > 2.5, b), "where",
                   lambda i, a, b: [a[i] if i in (1, 3, 5) else b[i], b[i]]),
    "fillna scalar": (lambda a, b: a.fillna(0.0), "fillna", lambda i, a, b: [a[i]]),
    # a Series with missing values is filled as by its own fillna
    "align with a fill value": (lambda a, b: a.align(b, fill_value=0.0)[0], "fillna",
                                lambda i, a, b: [a[i]]),
    # a filled row was filled because its own value was missing: its own node is an input
    "fillna series": (lambda a, b: a.fillna(b), "fillna",
                      lambda i, a, b: [b[i], a[i]] if i == 1 else [a[i]]),
    "combine_first": (lambda a, b: a.combine_first(b), "combine_first",
                      lambda i, a, b: [b[i], a[i]] if i == 1 else [a[i]]),
    # pandas matches repeated labels by position: the filled row alone had a node, and a kept
    # row with a missing namesake took that row's word
    "combine_first on repeated labels": (
        lambda a, b: a.set_axis(_REPEATED).combine_first(b.set_axis(_REPEATED)),
        "combine_first", lambda i, a, b: [b[i], a[i]] if i == 1 else [a[i]]),
    # its remainder shared the quotient's nodes, whose row values are the quotient's
    "divmod": (lambda a, b: divmod(a, b)[1], "mod", lambda i, a, b: [a[i], b[i]]),
    # pandas diffs flags by `^`: the row shifted in, missing in the result, recorded its value
    "bool diff": (lambda a, b: (a > 2.5).diff(), "xor",
                  lambda i, a, b: [a[i], a[i - 1]] if i else [a[i]]),
}


_REPEATED = ["r0", "r1", "r1", "r3", "r3", "r5"]


@pytest.mark.parametrize("tracker_cls", [DAGTracker, OverridingTracker])
@pytest.mark.parametrize("name", COMPUTING)
def test_each_computing_op_logs_one_node_per_row(name, tracker_cls):
    fn, op, inputs = COMPUTING[name]
    t, df = make(tracker_cls)
    a, b = df["c"], df["b"]
    recorded = len(t._value_buffer)
    out = fn(a, b)
    plain = fn(lumarq.untrack(a), lumarq.untrack(b))
    pd.testing.assert_series_equal(lumarq.untrack(out), plain)
    ids = out.prov.nodes
    assert len(set(ids)) == len(out) and (ids >= 0).all()
    for i, nid in enumerate(ids):
        n = node(t, nid)
        assert n.operation == op
        assert n.inputs == inputs(i, a.prov.nodes, b.prov.nodes)
        assert n.provenance == out.prov.words[i]
    records = [r for r in t._value_buffer[recorded:] if r.node_operation == op]
    assert [(r.row_index, r.fingerprint) for r in records] == [
        (i, out.prov.words[i]) for i, v in enumerate(plain) if pd.notna(v)]
    assert (out.prov.words != 0).all()  # a filled or clipped row is never made clean


MISSING = {
    "boolean": pd.array([True, None, False], dtype="boolean"),
    "Int64": pd.array([1, None, 2], dtype="Int64"),
    "Float64": pd.array([1.5, None, 2.5], dtype="Float64"),
    "string": pd.array(["a", None, "c"], dtype="string"),
    "dates": pd.to_datetime(["2020-01-01", None, "2020-03-01"]),
    "object NA": pd.Series(["a", pd.NA, "c"], dtype=object),
    "object NaT": pd.Series([np.datetime64("2020-01-01"), np.datetime64("NaT"), 1], dtype=object),
}
_ONLY_CONTAINERS = {"object NaT"}  # the dtype takes no objects but text


@pytest.mark.parametrize("kind", ["dtype", "containers", "overriding"])
@pytest.mark.parametrize("column", MISSING)
def test_missing_values_record_no_row_value(column, kind):
    # pandas' NA and NaT were recorded (and stored) as the texts "<NA>" and "NaT"
    from lumarq.utilities.vantor32_dag import wrap_dataframe_dag

    if column in _ONLY_CONTAINERS and kind != "containers":
        pytest.skip("not a column the dtype tracks")
    t = OverridingTracker() if kind == "overriding" else DAGTracker()
    raw = pd.DataFrame({"x": MISSING[column]})
    (wrap_dataframe_dag if kind == "containers" else lumarq.track)(raw, t, "T")
    assert [r.row_index for r in t._value_buffer] == [0, 2]


def test_missing_dates_and_durations_record_no_row_value():
    # NaT was recorded as the text "NaT", where NaN and None record nothing
    t = DAGTracker()
    raw = pd.DataFrame({"start": pd.to_datetime(["2020-01-01", None, "2020-03-01"]),
                        "end": pd.to_datetime(["2020-02-01", "2020-02-02", None])})
    df = lumarq.track(raw, t, "T")
    df["span"] = df["end"] - df["start"]
    got = [(r.node_operation, r.row_index, r.text_value) for r in t._value_buffer]
    assert got == [("T.start", 0, "2020-01-01 00:00:00"), ("T.start", 2, "2020-03-01 00:00:00"),
                   ("T.end", 0, "2020-02-01 00:00:00"), ("T.end", 1, "2020-02-02 00:00:00"),
                   ("sub", 0, "31 days 00:00:00")]


@pytest.mark.parametrize("tracker_cls", [DAGTracker, OverridingTracker])
def test_aggregation_and_merge_nodes(tracker_cls):
    t, df = make(tracker_cls)
    c = df["c"].prov.nodes
    sums = df.groupby("g")["c"].sum()
    groups = {1: [0, 2, 4], 2: [1, 3], 3: [5]}
    for key, nid in zip(sums.index, sums.prov.nodes):
        n = node(t, nid)
        assert (n.node_type, n.operation) == (NodeType.AGGREGATE, "sum")
        # The members' nodes, then the key's (the group depends on it, as its word does).
        assert n.inputs == [int(c[r]) for r in groups[key]] + [int(df["g"].prov.nodes[0])]
    # Counts: a count over the same rows, a size over the key alone, a value's count over the
    # rows that hold it.
    g_node = int(df["g"].prov.nodes[0])
    for counts, op, inputs in [
            (df.groupby("g")["c"].count(), "count", lambda k: [int(c[r]) for r in groups[k]] + [g_node]),
            (df.groupby("g").size(), "size", lambda k: [g_node]),
            (df["g"].value_counts(sort=False), "value_counts", lambda k: [g_node])]:
        for key, nid in zip(lumarq.untrack(counts.index.to_series()), counts.prov.nodes):
            n = node(t, nid)
            assert (n.node_type, n.operation, n.inputs) == (NodeType.AGGREGATE, op, inputs(key))
    right = lumarq.track(pd.DataFrame({"g": [2, 1], "rate": [0.5, 0.25]}), t, "R")
    merged = df[["g", "c"]].merge(right, on="g", how="left")
    np.testing.assert_array_equal(merged["c"].prov.nodes, c)  # values keep their own nodes
    right_key = int(right["g"].prov.nodes[0])
    for i, nid in enumerate(merged["g"].prov.nodes):
        n = node(t, nid)
        assert (n.node_type, n.operation) == (NodeType.MERGE, "merge_left")
        matched = [right_key] if df["g"].iloc[i] in (1, 2) else []
        assert n.inputs == [int(df["g"].prov.nodes[i])] + matched
    # Members that share a node (a source column's rows share the column's) give it once.
    rates = merged.groupby("g")["rate"].sum()
    key = merged["g"].prov.nodes
    assert [node(t, nid).inputs for nid in rates.prov.nodes[:2]] == [
        [int(right["rate"].prov.nodes[0])] + [int(key[r]) for r in groups[g]] for g in (1, 2)]
    # A protected key reaches the group's graph, not only its word.
    by_age = df.groupby("age")["a"].max().prov.dag(0)
    assert {(n.table, n.column) for n in by_age.protected_sources} == {("L", "age")}
    # The key column of a group result: a key value whose rows share one node keeps it (it
    # had none, so its graph was lost); one over rows of several nodes has none.
    keys = df.groupby("age", as_index=False)["a"].max()["age"]
    assert (keys.prov.nodes == df["age"].prov.nodes[0]).all()
    assert {(n.table, n.column) for n in keys.prov.dag(0).protected_sources} == {("L", "age")}
    by_c = pd.concat([df, df]).groupby("c")["a"].sum().reset_index()["c"]
    c, c_nodes = lumarq.untrack(df["c"]).to_numpy(), df["c"].prov.nodes
    expected = [(lambda n: n.pop() if len(n) == 1 else -1)({int(x) for x in c_nodes[c == v]})
                for v in lumarq.untrack(by_c)]
    assert by_c.prov.nodes.tolist() == expected and -1 in expected  # 0.5 is in r0 and r3


@pytest.mark.parametrize("how", ["inner", "left", "right", "outer"])
def test_merge_key_columns_continue_from_the_merge_nodes(how):
    # pandas rebuilds the keys of a right or outer merge after the rows: the key rows carried
    # `where` nodes (pandas 3) or the sources' (pandas 2.2), and a protected right-hand key
    # left the matched rows' graphs.
    t = DAGTracker()
    left = lumarq.track(pd.DataFrame({"k": [1, 2], "v": [10.0, 20.0]}), t, "L")
    right = lumarq.track(pd.DataFrame({"k": [2, 3], "w": [0.1, 0.2]}), t, "R", protected=["k"])
    before = t._next_node_id
    m = left.merge(right, on="k", how=how)
    new = [t.get_node(i) for i in range(before, t._next_node_id)]
    assert [n.operation for n in new] == [f"merge_{how}"] * len(m)  # nothing else logged
    np.testing.assert_array_equal(m["k"].prov.nodes, [n.node_id for n in new])
    lk, rk = int(left["k"].prov.nodes[0]), int(right["k"].prov.nodes[0])
    for key, n in zip(m["k"], new):
        assert n.inputs == [lk] * (key in (1, 2)) + [rk] * (key in (2, 3))
        protected = {x.column for x in m["k"].prov.dag(list(m["k"]).index(key)).protected_sources}
        assert protected == ({"k"} if key in (2, 3) else set())


@pytest.mark.parametrize("k", [1, 2, 3])
@pytest.mark.parametrize("fill", ["every row", "missing", "repeated"])
def test_merge_row_inputs_are_each_rows_distinct_nodes(k, fill):
    # A merge row's inputs are found row by row; they are what the grouped search gives.
    from lumarq import dtype
    from lumarq.dtype import _backend

    rng = np.random.default_rng(k)
    n = 500
    block = rng.integers(0, 10_000, (n, k))
    if fill != "every row":  # some missing; some rows repeating their first node
        block[rng.random((n, k)) < 0.3] = -1
    if fill == "repeated":
        block = np.where(rng.random((n, k)) < 0.4, block[:, :1], block)
    expected = _backend.distinct_group_members(np.repeat(np.arange(n, dtype=np.int64), k),
                                               np.ascontiguousarray(block.reshape(-1)), n)
    got = dtype._row_members(block)
    for e, g in zip(expected, got):
        np.testing.assert_array_equal(g, e)
        assert g.dtype == np.int64


def test_self_merge_rows_take_their_one_key_node_once():
    t = DAGTracker()
    df = lumarq.track(pd.DataFrame({"k": [1, 2, 2], "v": [1.0, 2.0, 3.0]}), t, "L")
    before = t._next_node_id
    m = df.merge(df, on="k")
    key = int(df["k"].prov.nodes[0])
    assert [t.get_node(i).inputs for i in range(before, t._next_node_id)] == [[key]] * len(m)


FRAME_STEPS = {
    "fillna": lambda d, o: d.fillna(o),
    "where": lambda d, o: d.where(d > 1.5, o),
    "mask": lambda d, o: d.mask(d > 1.5, o),
    "combine_first": lambda d, o: d.combine_first(o),
}


@pytest.mark.parametrize("step", FRAME_STEPS)
def test_a_frame_step_with_a_frame_operand_logs_one_node_per_cell(step):
    # The step is redone column by column for the words; pandas' own run logged nodes and row
    # values that nothing referred to.
    t = DAGTracker()
    raw = pd.DataFrame({"a": [1.0, np.nan, 3.0], "b": [2.0, 5.0, np.nan]})
    df = lumarq.track(raw, t, "T")
    other = df[["b", "a"]].set_axis(["a", "b"], axis=1)
    before, values = t._next_node_id, len(t._value_buffer)
    out = FRAME_STEPS[step](df, other)
    pd.testing.assert_frame_equal(lumarq.untrack(out), FRAME_STEPS[step](
        raw, raw[["b", "a"]].set_axis(["a", "b"], axis=1)))
    cells = [int(i) for c in out for i in out[c].prov.nodes]
    assert sorted(cells) == list(range(before, t._next_node_id))
    assert len(t._value_buffer) - values == int(out.notna().sum().sum())


# the step, which rows of `a` take a value derived from the protected bound (every row the
# bound has, missing or not: each value was chosen by comparing it with the bound), and the
# nodes made before a row's own (a second tracked bound is one more step for its rows)
CLIPS = {
    "Series, Series bound": (lambda d: d["a"].clip(lower=d["lo"]), [True] * 3, 0),
    "Series, both Series bounds": (lambda d: d["a"].clip(d["lo"], d["lo"] + 1), [True] * 3, 3),
    "Series, a bound for some rows": (lambda d: d["a"].clip(upper=d["lo"].iloc[:1]),
                                      [True, False, False], 0),
    "Series, scalars": (lambda d: d["a"].clip(1.5, 2.5), [False] * 3, 0),
    "frame, scalars": (lambda d: d.clip(1.5, 2.5), [False] * 3, 0),
    "frame, Series bound": (lambda d: d.clip(lower=d["lo"], axis=0), [True] * 3, 0),
    "Series in place, Series bound": (lambda d: _clipped_in_place(d["a"].copy(), d["lo"]),
                                      [True] * 3, 0),
    "frame in place, Series bound": (lambda d: _clipped_in_place(d.copy(), d["lo"], axis=0),
                                     [True] * 3, 0),
}


def _clipped_in_place(obj, bound, **kwargs):
    obj.clip(lower=bound, inplace=True, **kwargs)
    return obj


@pytest.mark.parametrize("case", CLIPS)
def test_clip_logs_one_clip_node_per_cell(case):
    # pandas clips through comparisons, fills of missing bounds with -inf and `where`: their
    # nodes were left unreferenced and the fills' -inf stored as row values; a frame's cells
    # took two chained `where` steps. On pandas 2.2 a frame's rows clipped by a Series bound
    # kept their own words.
    t = DAGTracker()
    raw = pd.DataFrame({"a": [1.0, 4.0, 3.0], "lo": [2.0, 2.0, np.nan]})
    df = lumarq.track(raw, t, "T", protected=["lo"])
    before, values = t._next_node_id, len(t._value_buffer)
    clip, tainted, steps = CLIPS[case]
    out, expected = clip(df), clip(raw)
    frame = out.to_frame() if isinstance(out, pd.Series) else out
    assert frame["a"].prov.tainted.tolist() == tainted
    pd.testing.assert_frame_equal(lumarq.untrack(frame), expected.to_frame()
                                  if isinstance(expected, pd.Series) else expected)
    cells = sorted(int(i) for c in frame for i in frame[c].prov.nodes)
    made = range(before, t._next_node_id)
    assert set(cells) <= set(made) and len(made) == len(cells) + steps
    assert {t.get_node(i).operation for i in made} == {"clip"}
    if steps:  # each earlier step is an input of a row's own node
        assert set(made) - set(cells) <= {i for c in cells for i in t.get_node(c).inputs}
    recorded = [r.value for r in t._value_buffer[values:]]
    assert len(recorded) == int(frame.notna().sum().sum()) and np.isfinite(recorded).all()


MULTI_INDEX_OPS = {
    "round trip": lambda d: d.set_index(["g", "c"]).reset_index(),
    "sort": lambda d: d.set_index(["g", "c"]).sort_values("b").reset_index(),
    "filter": lambda d: d.set_index(["g", "c"])[lambda x: x["b"] > 2].reset_index(),
    "slice": lambda d: d.set_index(["g", "c"]).iloc[1:4].reset_index(),
    "one level": lambda d: d.set_index(["g", "c"]).reset_index(level="c"),
    "get_level_values": lambda d: d.set_index(["g", "c"]).index.get_level_values("g").to_frame(),
}


@pytest.mark.parametrize("op", MULTI_INDEX_OPS)
def test_multi_index_levels_keep_each_rows_words_and_nodes(op):
    # A MultiIndex holds each level's distinct values: the level values pandas gave back had
    # the words of every row sharing the value and no nodes.
    t, df = make()
    df["rid"] = np.arange(len(df), dtype=float)
    out = MULTI_INDEX_OPS[op](df)
    rid = out["rid"].to_numpy(dtype=int) if "rid" in out else np.arange(len(out))
    pd.testing.assert_frame_equal(lumarq.untrack(out),
                                  MULTI_INDEX_OPS[op](lumarq.untrack(df)), check_dtype=False)
    for col in set(out.columns) & {"g", "c"}:
        np.testing.assert_array_equal(out[col].prov.words, df[col].prov.words[rid], err_msg=col)
        np.testing.assert_array_equal(out[col].prov.nodes, df[col].prov.nodes[rid], err_msg=col)


def test_dag_of_a_row_after_filter_and_sort_and_the_dag_helpers():
    t, df = make()
    df["score"] = (df["c"] * 2.0 + df["age"]).clip(0.0, 100.0)
    out = df[df["b"] > 2.0].sort_values("score", ascending=False)
    s = out["score"]
    for i in range(len(s)):
        dag = s.prov.dag(i)
        assert dag.root_id == s.prov.nodes[i]
        sources = {(n.table, n.column) for n in dag.source_nodes}
        assert sources == {("L", "a"), ("L", "b"), ("L", "age")}
        assert {(n.table, n.column) for n in dag.protected_sources} == {("L", "age")}
        assert get_dag_for_series(s, i).root_id == dag.root_id
        audit = dag_audit(s, i)
        assert audit["dag"]["node_count"] == len(dag.nodes) and audit["taint"] is True
    assert "column" not in node(t, s.prov.nodes[0]).metadata  # named only by name_nodes


@pytest.mark.parametrize("case", ["plain tracker", "pickled", "untracked", "named", "no tracker",
                                  "evicted"])
def test_nodes_beside_other_paths(case):
    if case == "plain tracker":
        df = lumarq.track(pd.DataFrame({"a": [1.0, np.nan]}), ProvenanceTracker(), "T")
        out = df["a"] * df["a"]
        assert (out.prov.nodes == -1).all()
        np.testing.assert_array_equal(df["a"].fillna(0.0).prov.words, df["a"].prov.words)
        with pytest.raises(ValueError, match="DAGTracker"):
            out.prov.dag(0)
        return
    t, df = make()
    if case == "pickled":
        back = pickle.loads(pickle.dumps(df))
        np.testing.assert_array_equal(back["c"].prov.nodes, df["c"].prov.nodes)
    elif case == "untracked":
        assert lumarq.untrack(df)["c"].dtype == np.float64
    elif case == "evicted":  # the row has a node id the tracker no longer holds
        t._max_nodes = len(df)  # room for the next column's nodes only
        df["d"] = df["c"] * df["b"]
        assert df["c"].prov.dag(0) is None and df["d"].prov.dag(0) is not None
    elif case == "named":
        df["dti"] = df["c"] * df["b"]
        df.prov.name_nodes()
        assert {node(t, i).metadata.get("column") for i in df["dti"].prov.nodes} == {"dti"}
        assert node(t, df["a"].prov.nodes[0]).metadata.get("column") is None  # a source
    else:
        plain = pd.Series(pd.array([1.0, 2.0], dtype="prov[float64]"))
        assert (plain.prov.nodes == -1).all()
        assert "error" in dag_audit(plain, 0)


@pytest.mark.parametrize("order", ["tracked first", "untracked first"])
def test_an_operand_without_a_tracker_leaves_the_tracked_sides_nodes(order):
    t = DAGTracker()
    v = lumarq.track(pd.DataFrame({"v": [1.0, 2.0, 3.0]}), t, "T")["v"]
    k = pd.Series(pd.array([2.0, 3.0, 4.0], dtype="prov[float64]"))  # words 0, no tracker
    out = v * k if order == "tracked first" else k * v
    np.testing.assert_array_equal(out.prov.nodes, v.prov.nodes)
    assert out.prov.dag(0) is not None


WHERE_CASES = {
    "where": (lambda s, m: s.where(m, 0.0), ["where"] * 3),
    "mask": (lambda s, m: s.mask(m, 0.0), ["where"] * 3),
    # In place too, the dtype's rows take the condition (a node each); the containers unite words.
    "where in place": (lambda s, m: s.where(m, 0.0, inplace=True), ["where"] * 3, []),
    "mask in place": (lambda s, m: s.mask(m, 0.0, inplace=True), ["where"] * 3, []),
    "callable": (lambda s, m: s.where(lambda x: m, 0.0), ["where"] * 3),
    # An in-place clip takes over the clipped result, nodes included (the dtype's too now).
    "clip in place": (lambda s, m: s.clip(0.0, 2.0, inplace=True), ["clip"] * 3, ["clip"] * 3),
}


@pytest.mark.parametrize("kind", ["dtype", "containers"])
@pytest.mark.parametrize("case", list(WHERE_CASES))
def test_a_tracked_condition_logs_no_node_of_its_own(kind, case):
    """pandas inverts and fills a where/mask condition on its way (and pandas 2.2 fills it even
    for where): on a tracked mask those steps logged invert/neg/fillna nodes that nothing
    referred to, and their row values, into the graph and the store."""
    from lumarq.utilities.vantor32_dag import wrap_dataframe_dag

    raw = pd.DataFrame({"a": [1.0, np.nan, 3.0], "b": [4.0, 5.0, 6.0]})
    t = DAGTracker()
    w = lumarq.track(raw, t, "T") if kind == "dtype" else wrap_dataframe_dag(raw, t, "T")
    m = w["b"] > w["a"]  # a computed mask: it has nodes of its own
    before = set(t._nodes)
    fn, dtype_ops, *container_ops = WHERE_CASES[case]
    s, plain = w["a"].copy(), raw["a"].copy()
    out = fn(s, m)
    expected = fn(plain, raw["b"] > raw["a"])
    got = s if expected is None else out
    np.testing.assert_array_equal(np.asarray(got, dtype=float),
                                  np.asarray(plain if expected is None else expected, dtype=float))
    ops = sorted(t._nodes[i].operation for i in set(t._nodes) - before)
    assert ops == (dtype_ops if kind == "dtype" else (container_ops or [[]])[0])


# Windowed and whole-column operations: (operation, whether pandas' own result tells which rows
# a row was computed from). Where it does, a row's rows are those whose value moves its result.
WINDOWED = {
    "rolling": (lambda s, f: s.rolling(5, min_periods=1).sum(), True),
    "rolling centred": (lambda s, f: s.rolling(6, center=True, min_periods=1).sum(), True),
    "rolling by time": (lambda s, f: s.set_axis(f["when"]).rolling("9D").sum(), True),
    "rolling long": (lambda s, f: s.rolling(23, min_periods=1).sum(), True),
    "accessor rolling": (lambda s, f: s.prov.rolling(6, center=True, min_periods=1).sum()
                         if hasattr(s, "prov") else s.rolling(6, center=True, min_periods=1).sum(),
                         True),
    "expanding": (lambda s, f: s.expanding().sum(), True),
    "ewm": (lambda s, f: s.ewm(span=4).mean(), True),
    "cumsum": (lambda s, f: s.cumsum(), True),
    "group cumsum": (lambda s, f: s.groupby(f["g"]).cumsum(), True),
    "group rolling": (lambda s, f: s.groupby(f["g"]).rolling(3, min_periods=1).sum()
                      .droplevel(0).reindex(s.index), True),
    # with another tracked Series, x**2 - y: "sub" nodes of its own, and no row of it is its
    # window's mean, so moving any row of the window moves the covariance
    # (pandas' rolling moments subtract rows that leave: tiny residues, hence a tolerance)
    "rolling cov": (lambda s, f: s.rolling(6, min_periods=2).cov(f["x"] ** 2 - f["y"]), 1e-9),
    "ewm cov": (lambda s, f: s.ewm(span=4).cov(f["x"] ** 2 - f["y"]), True),
    "rank": (lambda s, f: s.rank(), False),
    "group rank": (lambda s, f: s.groupby(f["g"]).rank(), False),
}


def spilled_tracker():
    """A DAGTracker whose nodes live in its node map: reading it moves them there for good, and
    later nodes take the per-node native path."""
    t = DAGTracker()
    t._nodes  # noqa: B018
    return t


@pytest.mark.parametrize("rows", ["own words", "one word"])
@pytest.mark.parametrize("tracker_cls", [DAGTracker, OverridingTracker, spilled_tracker],
                         ids=["store", "overridden", "node map"])
@pytest.mark.parametrize("name", WINDOWED)
def test_a_windowed_rows_graph_reaches_exactly_the_rows_it_was_computed_from(name, tracker_cls,
                                                                            rows):
    t = tracker_cls()
    n = 40
    # whole numbers: sums stay exact, so moving one row moves only the results it is in
    raw = pd.DataFrame({"x": np.arange(1.0, n + 1), "y": 1.0, "z": 2.0, "g": np.arange(n) * 7 % 3,
                        "when": pd.date_range("2024-01-01", periods=n, freq="2D")})
    df = lumarq.track(raw, t, "W", protected=["g"])
    # a node per row; rows of three sources leave a word no room for row bits: every row and
    # many windows share one word
    s = df["x"] + df["x"] if rows == "own words" else (df["x"] + df["y"]) * df["z"]
    step = "add" if rows == "own words" else "mul"
    own = pd.Series(s.prov.nodes, index=s.index)
    op, perturbs = WINDOWED[name]
    result = op(s, df)
    assert np.array_equal(lumarq.untrack(result).to_numpy(),
                          op(lumarq.untrack(s), raw).to_numpy(), equal_nan=True)
    plain = lumarq.untrack(s)
    base = op(plain, raw).to_numpy()
    groups = raw["g"].to_numpy()
    for i in range(n):
        if perturbs and np.isnan(base[i]):
            continue  # too few rows for a value: nothing to compare
        if perturbs:
            tol = 0.0 if perturbs is True else perturbs
            moved = [j for j in range(n) if abs(op(plain.where(np.arange(n) != j, plain + 1.0),
                                                   raw).to_numpy()[i] - base[i]) > tol * abs(base[i])]
        else:  # a rank: the whole column, or the row's group
            moved = [j for j in range(n) if "group" not in name or groups[j] == groups[i]]
        dag = result.prov.dag(i)
        reached = {k for k, v in dag.nodes.items() if v.operation == step}
        assert reached == set(own.iloc[moved]), (name, i)
        if "cov" in name:  # the other Series' rows of the same window
            assert sum(v.operation == "sub" for v in dag.nodes.values()) == len(moved), i
        # a group's key chose the rows: the key's source is in the graph, as in the word
        assert ("W.g" in {v.operation for v in dag.nodes.values()}) == ("group" in name)
        assert dag.nodes[int(result.prov.nodes[i])].provenance == int(result.prov.words[i])
        # however long the window, a few dozen inputs (a rank is one aggregation node)
        assert not perturbs or all(len(v.inputs) <= 30 for v in dag.nodes.values())
        # stored nodes are keyed by their word: none may share an input's (with "one word" all
        # rows have one), but for a running total's link to the window before it
        for v in dag.nodes.values():
            assert v.provenance not in {dag.nodes[k].provenance for k in v.inputs
                                        if dag.nodes[k].operation != v.operation
                                        or v.operation == "window_part"}, (name, v)
    if perturbs:  # each row's value is recorded under its node's operation, as arithmetic's are
        op_name = t.get_node(int(result.prov.nodes[-1])).operation
        recorded = sorted(r.value for r in t._value_buffer if r.node_operation == op_name)
        assert recorded == sorted(lumarq.untrack(result).dropna().tolist()), name


@pytest.mark.parametrize("grouped", [False, True], ids=["frame", "per group"])
@pytest.mark.parametrize("name", ["corr", "cov"])
def test_a_pairwise_cells_graph_reaches_both_columns_rows(name, grouped):
    t = DAGTracker()
    raw = pd.DataFrame({"x": [1.0, 2.0, 4.0, 3.0, 0.5, 1.5], "y": [2.0, 1.0, 0.5, 3.0, 2.5, 1.0],
                        "g": [0.0, 1, 1, 0, 0, 1], "s": ["a", "b", "a", "b", "a", "b"]})
    df = lumarq.track(raw, t, "P", protected=["g", "s"])
    df["x"] = df["x"] + df["y"]  # a node per row
    cols = ["x", "y", "g"]
    result = getattr(df.groupby("s")[cols] if grouped else df[cols], name)()
    for i, label in enumerate(result.index):
        a = label[-1] if grouped else label
        rows = (raw["s"] == label[0]).to_numpy() if grouped else np.ones(len(raw), bool)
        for b in result.columns:
            dag = result[b].prov.dag(i)
            assert dag.nodes[int(result[b].prov.nodes[i])].provenance == int(result[b].prov.words[i])
            ops = {v.operation for v in dag.nodes.values()}
            adds = {k for k, v in dag.nodes.items() if v.operation == "add"}
            # a group's cell reaches its own rows and its key, not the other group's rows
            assert adds == (set(df["x"].prov.nodes[rows]) if "x" in (a, b) else set()), (a, b)
            assert ("P.g" in ops) == ("g" in (a, b)) and ("P.y" in ops) == ({a, b} != {"g"})
            assert ("P.s" in ops) == grouped


@pytest.mark.parametrize("how", [{}, {"limit": 1}, {"limit_direction": "both"}])
def test_an_interpolated_rows_graph_reaches_the_rows_it_came_from(how):
    t = DAGTracker()
    raw = pd.DataFrame({"x": [np.nan, 1.0, np.nan, np.nan, 4.0, np.nan], "y": [1.0] * 6})
    df = lumarq.track(raw, t, "I")
    s = df["x"] * df["y"]  # a node per row
    result = s.interpolate(**how)
    plain = lumarq.untrack(s)
    base = plain.interpolate(**how).to_numpy()
    assert np.array_equal(lumarq.untrack(result).to_numpy(), base, equal_nan=True)
    for i in range(len(s)):
        moved = [j for j in range(len(s)) if not np.array_equal(
            plain.where(np.arange(len(s)) != j, plain + 1.0).interpolate(**how).to_numpy()[i:i + 1],
            base[i:i + 1], equal_nan=True)]
        if np.isnan(base[i]):
            continue  # left missing: its own row's node
        reached = {k for k, v in result.prov.dag(i).nodes.items() if v.operation == "mul"}
        assert reached == set(s.prov.nodes[moved]), (how, i)



# (what is written: the frame or its column "a", the step)
IN_PLACE = {
    "where by a tracked condition": ("frame", lambda x, d, **k: x.where(d["lo"] > 1.5, 0.0,
                                                                      axis=0, **k)),
    "mask, frame other": ("frame", lambda x, d, **k: x.mask(x > 2.5, x[["lo", "a"]].set_axis(
        ["a", "lo"], axis=1), **k)),
    "where, frame condition": ("frame", lambda x, d, **k: x.where(x > 2.5, 0.0, **k)),
    "fillna, frame other": ("frame", lambda x, d, **k: x.fillna(x[["lo", "a"]].set_axis(
        ["a", "lo"], axis=1), **k)),
    "clip by a tracked bound": ("frame", lambda x, d, **k: x.clip(upper=d["lo"], axis=0, **k)),
    "Series clip by a tracked bound": ("series", lambda x, d, **k: x.clip(upper=d["lo"], **k)),
    "Series mask by a tracked condition": ("series", lambda x, d, **k: x.mask(d["lo"] > 1.5, 0.0,
                                                                             **k)),
    "clip by scalars": ("frame", lambda x, d, **k: x.clip(1.5, 2.5, **k)),
    "Series clip by scalars": ("series", lambda x, d, **k: x.clip(1.5, 2.5, **k)),
}


@pytest.mark.parametrize("tracker_cls", [ProvenanceTracker, DAGTracker])
@pytest.mark.parametrize("case", IN_PLACE)
def test_an_in_place_step_gives_the_words_of_the_step_that_returns_a_result(case, tracker_cls):
    # The in-place forms kept each row's own words (a value taken from a protected column read
    # clean), and then took one step more than the forms that return a result.
    raw = pd.DataFrame({"a": [1.0, 4.0, np.nan, 3.0], "lo": [2.0, 1.0, 3.0, np.nan]})
    d = lumarq.track(raw, tracker_cls(), "T", protected=["lo"])
    kind, step = IN_PLACE[case]
    target = (lambda: d.copy()) if kind == "frame" else (lambda: d["a"].copy())
    returned, written = step(target(), d), target()
    step(written, d, inplace=True)
    pairs = ([(returned, written)] if kind == "series"
             else [(returned[c], written[c]) for c in written.columns])
    for r, w in pairs:
        pd.testing.assert_series_equal(lumarq.untrack(w), lumarq.untrack(r))
        np.testing.assert_array_equal(w.prov.words, r.prov.words)
        assert w.prov.tainted[r.prov.tainted].all()


@pytest.mark.parametrize("write", [
    lambda f, v: f.loc.__setitem__((slice(None), "p"), v) or f["p"],
    lambda f, v: f.loc.__setitem__(([0, 1, 2], "p"), v) or f["p"],
    lambda f, v: (lambda s: s.loc.__setitem__([0, 1, 2], v) or s)(f["p"].copy()),
])
def test_a_row_an_assigned_series_lacks_keeps_its_word_and_node(write):
    # pandas aligns the value by label and hands the array a row without a word for label 2:
    # it read clean, with no node, though its column derives from the protected one.
    t = DAGTracker()
    f = lumarq.track(pd.DataFrame({"a": [1.0, 2.0, 3.0], "b": [10.0, 20.0, 30.0]}), t, "T",
                     protected=["a"])
    f["p"] = f["a"] * f["b"]
    before = f["p"].prov.nodes.copy(), f["p"].prov.words.copy()
    v = f["b"].iloc[[1, 0]] + f["a"].iloc[[1, 0]]
    p = write(f, v)
    assert lumarq.untrack(p).tolist()[:2] == [11.0, 22.0] and np.isnan(lumarq.untrack(p)[2])
    np.testing.assert_array_equal(p.prov.nodes, [v.prov.nodes[1], v.prov.nodes[0], before[0][2]])
    assert p.prov.words[2] == before[1][2] and p.prov.tainted.all()


@pytest.mark.parametrize("step", [
    lambda g: g.shift(1), lambda g: g.diff(), lambda g: g.ffill(), lambda g: g.bfill(),
    lambda g: g.pct_change(), lambda g: g.transform(lambda v: v - v.mean()),
    lambda g: g.apply(lambda v: v * 2),
])
def test_a_group_steps_rows_reach_the_key_their_word_names(step):
    # Their words took the key's, their nodes did not: a row's graph had no protected source
    # though it read tainted, and a row shifted in had no node at all.
    t = DAGTracker()
    raw = pd.DataFrame({"sex": ["m", "f", "m", "f", "m"], "dur": [6.0, np.nan, 9.0, 30.0, 3.0]})
    d = lumarq.track(raw, t, "T", protected=["sex"])
    out = step(d.groupby("sex", group_keys=False)["dur"])
    plain = step(raw.groupby("sex", group_keys=False)["dur"])
    pd.testing.assert_series_equal(lumarq.untrack(out), plain)
    assert out.prov.tainted.all() and (out.prov.nodes >= 0).all()
    for i in range(len(out)):
        assert {s.column for s in out.prov.dag(i).protected_sources} == {"sex"}


@pytest.mark.parametrize("keys", [dict(), dict(group_keys=False)])
def test_a_group_resamples_rows_reach_the_key_their_word_names(keys):
    t = DAGTracker()
    raw = pd.DataFrame({"sex": ["f", "f", "m"], "v": [1.0, 2.0, 3.0],
                        "when": pd.to_datetime(["2020-01-01", "2020-01-20", "2020-01-01"])})
    d = lumarq.track(raw, t, "T", protected=["sex"])
    out = d.set_index("when").groupby("sex", **keys)["v"].resample("W").sum()
    pd.testing.assert_series_equal(
        lumarq.untrack(out), raw.set_index("when").groupby("sex", **keys)["v"].resample("W").sum())
    assert out.prov.tainted.all()
    if not keys:  # each row's group is known from its keys: empty bins included
        assert (out.prov.nodes >= 0).all()
        for i in range(len(out)):
            assert {s.column for s in out.prov.dag(i).protected_sources} == {"sex"}


def _tracked_parts(out):
    """The Series of the dtype in `out`: its columns (or itself) and its index levels."""
    frame = out.to_frame() if isinstance(out, pd.Series) else out
    parts = [frame.iloc[:, i] for i in range(frame.shape[1])]
    parts += [pd.Series(out.index.get_level_values(i)) for i in range(out.index.nlevels)]
    return [p for p in parts if isinstance(p.dtype, lumarq.ProvenanceDtype)]


_RAW = pd.DataFrame({"sex": pd.array(["m", None, "m", "f", "f"], dtype=object),
                     "grp": ["c", "a", "b", "c", "b"], "x": [1.0, 2.0, np.nan, 4.0, 5.0],
                     "id": [3, 1, 4, 0, 2]})
_RATES = pd.DataFrame({"grp": ["a", "b", "d"], "rate": [1.0, 2.0, 3.0]})

# steps whose every logged node the result reaches, and whose rows' graphs name their words'
# sources (a node logged for nothing, or a word and a graph that disagree, fail)
LOGGED_AND_KEPT = {
    # the plain left key stays plain where the left row exists: a merge node a row for nothing
    **{f"plain left merge {how}": (lambda d, how=how: _RATES.merge(d, on="grp", how=how))
       for how in ["left", "inner", "right", "outer"]},
    # the row whose key is missing: its node reached sex, its word did not
    "group shift, a missing key": lambda d: d.groupby("sex").x.shift(-1),
    "group diff, a missing key": lambda d: d.groupby("sex").x.diff(),
    # member rows: an apply node a group, the rows kept their own
    "group apply of member rows": lambda d: d.groupby("grp", group_keys=False)[["x"]].apply(
        lambda g: g.nlargest(1, "x")),
    # pandas' own uniqueness check of the ids
    "wide_to_long": lambda d: pd.wide_to_long(d.assign(v1=d["x"], v2=d["x"]),
                                              stubnames="v", i="id", j="k")[["v"]],
    # a count node for each group, empty bin or not
    "group value_counts by bins": lambda d: d.groupby("grp").x.value_counts(bins=[0, 3.5, 9]),
    "update by an empty frame": lambda d: (lambda f: (f.update(d[["x"]].iloc[:0]), f)[1])(
        d.copy()),
    "update by some rows": lambda d: (lambda f: (f.update(d[["x"]].iloc[[3, 4]] * 2), f)[1])(
        d.copy()),
    # relabelling the sorted levels dropped the rows' nodes
    "sort_index of computed levels": lambda d: d.assign(
        c=d["grp"] + d["grp"], a=d["id"].where(d["x"].notna())).set_index(["c", "a"]).sort_index(),
}


@pytest.mark.parametrize("case", LOGGED_AND_KEPT)
def test_a_steps_nodes_are_the_results_and_agree_with_its_words(case):
    t = DAGTracker()
    d = lumarq.track(_RAW, t, "T", protected=["sex"])
    d["x"] = d["x"] + 0.0  # computed before the step: its own nodes are counted out
    first = t._next_node_id
    out = LOGGED_AND_KEPT[case](d)
    if case == "update by an empty frame":  # nothing written: nothing logged, as fillna
        assert t._next_node_id == first
    plain = LOGGED_AND_KEPT[case](lumarq.untrack(d))
    (pd.testing.assert_series_equal if isinstance(out, pd.Series)
     else pd.testing.assert_frame_equal)(lumarq.untrack(out), plain)
    reached = set()
    for part in _tracked_parts(out):
        for i, (word, nd) in enumerate(zip(part.prov.words, part.prov.nodes)):
            if nd < 0:  # no node: no word either
                assert word == 0, (part.name, i)
                continue
            stack, seen, sources = [int(nd)], set(), set()
            while stack:
                k = stack.pop()
                if k in seen:
                    continue
                seen.add(k)
                n = t.get_node(k)
                if not n.inputs and n.column is not None:
                    sources.add((n.table, n.column))
                stack.extend(n.inputs)
            assert sources == set(part.prov.explain(i)["pairs"]), (part.name, i)
            reached |= seen
    assert set(range(first, t._next_node_id)) <= reached
