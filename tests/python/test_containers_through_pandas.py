"""Provenance of the positional tracked containers through pandas' own methods: a value computed
from a protected column never reads as untainted, on both kinds of container."""
import collections
import re
import warnings

import numpy as np
import pandas as pd
import pytest

from lumarq.utilities.vantor32 import (OpCode, ProvenanceTracker, TrackedSeries, audit,
                                       column_risk_report, wrap_dataframe)
from lumarq.utilities.vantor32_dag import (DAGTracker, DAGTrackedSeries, dag_audit,
                                           wrap_dataframe_dag)

KINDS = {
    "positional": (ProvenanceTracker, wrap_dataframe, TrackedSeries),
    "dag": (DAGTracker, wrap_dataframe_dag, DAGTrackedSeries),
}


@pytest.fixture(params=list(KINDS))
def kind(request):
    tracker_cls, wrap, series_cls = KINDS[request.param]
    t = tracker_cls()
    df = pd.DataFrame({"age": [30, 40, 50, 60], "debt": [1.0, 2.0, 3.0, 4.0],
                       "income": [10.0, 20.0, 30.0, 40.0]}, index=["p", "q", "r", "s"])
    return t, wrap(df, t, "loans", protected=["age"]), series_cls


def pairs(t, word):
    return {t.get_name(p) for p in t.decode_full(int(word)).pairs}


def carries_age(t, words):
    """Every row names loans.age and is tainted."""
    return len(words) > 0 and all(("loans", "age") in pairs(t, w) and t.is_tainted(int(w))
                                  for w in words)


def s_inplace(w):
    s = w["debt"].copy()
    s += w["age"]
    return s


def frame_inplace(w):
    w = w.copy()
    w["debt"] -= w["age"]
    return w["debt"]


def frame_inplace_frame(w):
    f = w[["debt"]].copy()
    f += w[["age"]].rename(columns={"age": "debt"})
    return f["debt"]


def relabelled(w):
    w = w.copy()
    w.columns = [c if c != "age" else "years" for c in w.columns]
    return w.set_axis([c.upper() for c in w.columns], axis=1)["YEARS"]


def inserted(w):
    w = w.copy()
    w.insert(0, "z", w["age"] * 2)
    return w["z"]


def new_column_by_condition(w):
    w = w.copy()
    w.loc[w["age"] > 35, "band"] = "senior"  # the column did not exist: a literal in chosen rows
    return w["band"]


def updated_by_frame(w):
    f = w[["debt"]].copy()
    older = w[["age"]].rename(columns={"age": "debt"})
    f.update(older.where(older > 45))  # rows p and q keep their value
    return f["debt"]


# Each derived Series must name the protected source in every row.
DERIVED = {
    "rename": lambda w: w.rename(columns={"age": "years"})["years"],
    "add_prefix": lambda w: w.add_prefix("x_")["x_age"],
    "columns = / set_axis": relabelled,
    "series +=": s_inplace,
    "frame column -=": frame_inplace,
    "insert": inserted,
    "concat rows": lambda w: pd.concat([w, w])["age"],
    "concat columns": lambda w: pd.concat([w[["debt"]], w[["age"]]], axis=1)["age"],
    "concat Series": lambda w: pd.concat([w["age"], w["age"]]),
    "apply axis=1": lambda w: w.apply(lambda r: r["debt"] + r["income"] + r["age"], axis=1),
    "sum axis=1": lambda w: w.sum(axis=1),
    "row cross-section": lambda w: w.iloc[1],
    "reduction over columns": lambda w: w.max(),
    "== tainted right": lambda w: w["debt"] == w["age"],
    "% tainted right": lambda w: w["debt"] % w["age"],
    "& tainted right": lambda w: (w["debt"] > 1) & (w["age"] > 1),
    "flex add": lambda w: w["debt"].add(w["age"]),
    "flex with fill_value": lambda w: w["debt"].sub(w["age"], fill_value=0),
    # pandas 3 finalizes divmod's pair from the right operand; its flex form made one Series of it
    "divmod quotient": lambda w: divmod(w["age"], w["debt"])[0],
    "divmod remainder": lambda w: divmod(w["age"], w["debt"])[1],
    "flex divmod": lambda w: w["debt"].divmod(w["age"])[1],
    "flex rdivmod": lambda w: w["debt"].rdivmod(w["age"])[0],
    "combine_first": lambda w: w["debt"].combine_first(w["age"]),
    "where taking a tracked other": lambda w: w["debt"].where(w["debt"] > 10, w["age"]),
    "mask taking a tracked other": lambda w: w["debt"].mask(w["debt"] < 10, w["age"]),
    # a value chosen by a protected condition derives from it
    "where by a protected condition": lambda w: w["debt"].where(w["age"] > 35, 0.0),
    "mask by a protected condition": lambda w: w["debt"].mask(lambda s: w["age"] > 35, w["income"]),
    "clip by a protected bound": lambda w: w["debt"].clip(upper=w["age"] / 20),
    "frame mask taking a tracked frame": lambda w: w[["debt"]].mask(
        w[["debt"]] < 10, w[["age"]].rename(columns={"age": "debt"}))["debt"],
    "frame where by a protected condition": lambda w: w[["debt", "income"]].where(
        w["age"] > 35, 0.0, axis=0)["income"],
    "frame mask in place by a protected condition": lambda w: (lambda f: (
        f.mask(w["age"] > 35, 0.0, axis=0, inplace=True), f)[1])(w[["debt"]].copy())["debt"],
    "rank across a row": lambda w: w[["debt", "age"]].rank(axis=1)["debt"],
    # dummy columns had no words: each read as a tracked Series of zeros
    "dummy of a frame's column": lambda w: pd.get_dummies(w[["age", "debt"]], columns=["age"],
                                                          dtype=float)["age_40"],
    "case_when by a protected condition": lambda w: w["debt"].case_when(
        [(w["debt"] > 3, 0.0), (lambda s: w["age"] > 35, 1.0)]),
    "where in place by a protected condition": lambda w: (lambda s: (
        s.where(w["age"] > 35, 0.0, inplace=True), s)[1])(w["debt"].copy()),
    "fillna in place by a tracked Series": lambda w: (lambda s: (
        s.fillna(w["age"], inplace=True), s)[1])(w["debt"] * np.nan),
    "fillna in place by value=": lambda w: (lambda s: (
        s.fillna(value=w["age"], inplace=True), s)[1])(w["debt"] * np.nan),
    "update by a tracked Series": lambda w: (lambda s: (s.update(w["age"]), s)[1])(
        w["debt"].copy()),
    "frame combine_first": lambda w: w[["debt"]].combine_first(
        w[["age"]].rename(columns={"age": "debt"}))["debt"],
    "frame update by a tracked frame": updated_by_frame,
    "loc new column by a protected condition": new_column_by_condition,
    "merge suffixes": lambda w: w.merge(w, on="debt")["age_y"],
    "pandas join": lambda w: w[["debt"]].join(w[["age"]].rename(columns={"age": "a2"}))["a2"],
    "frame + frame": lambda w: (w[["debt"]] + w[["age"]].rename(columns={"age": "debt"}))["debt"],
    "frame.mul(Series)": lambda w: w[["debt"]].mul(w["age"], axis=0)["debt"],
    # pandas 3 finalizes these from the plain operand too, which wiped the words
    "frame / array": lambda w: (w[["age", "debt"]] / w[["age", "debt"]].to_numpy())["age"],
    "frame * list": lambda w: (w[["age", "debt"]] * [2, 3])["age"],
    "frame - plain Series by column": lambda w: w[["age", "debt"]].sub(
        pd.Series({"age": 1.0, "debt": 2.0}), axis=1)["age"],
    "frame += frame": frame_inplace_frame,
    "transpose": lambda w: w.T["p"],
    "melt": lambda w: w.melt()["value"],
    # pandas builds .dt and .cat results as plain Series
    "dt accessor": lambda w: (w["age"].astype("int64") * 86_400_000_000_000).astype(
        "datetime64[ns]").dt.tz_localize("UTC").dt.month,
    "cat accessor": lambda w: w["age"].astype("category").cat.codes,
    "disjoint columns stacked, labels dropped": lambda w: pd.concat(
        [w[["age"]], w[["debt"]]], ignore_index=True)["age"][:4],
    "filtered concat": lambda w: pd.concat([w[["debt"]].rename(columns={"debt": "x"}),
                                            w[["age"]].rename(columns={"age": "x"})])[4:]["x"],
    # pandas clips a frame through its own `where`: the bound was never counted
    "frame clip by a protected bound": lambda w: w[["debt", "income"]].clip(
        lower=w["age"] / 2, axis=0)["income"],
    "frame clip by a protected frame bound": lambda w: w[["debt"]].clip(
        upper=w[["age"]].rename(columns={"age": "debt"}) / 20)["debt"],
    # membership in tracked values depends on every one of them
    "isin protected values": lambda w: w["debt"].isin(w["age"] / 10),
    "frame isin protected values": lambda w: w[["debt"]].isin(w["age"] - 29)["debt"],
    # pandas 2 hands eval plain copies of the columns
    "eval assigning a column": lambda w: w.eval("a = age * 2")["a"],
    "eval expression": lambda w: w.eval("age * 2 + debt"),
    "query then a column": lambda w: w.query("age > 0").eval("age + debt"),
    "apply axis=1 giving a Series per row": lambda w: w.apply(
        lambda r: pd.Series({"a": r["age"] * 2, "b": r["debt"]}), axis=1)["a"],
    "apply axis=1, a column of another": lambda w: w.apply(
        lambda r: pd.Series({"a": r["age"] * 2, "b": r["debt"]}), axis=1)["b"],
}


@pytest.mark.parametrize("op", list(DERIVED))
def test_a_value_derived_from_a_protected_column_is_never_clean(kind, op):
    t, w, series_cls = kind
    result = DERIVED[op](w)
    assert isinstance(result, series_cls) and result._tracker is t
    assert carries_age(t, result._prov), [hex(int(x)) for x in result._prov]
    assert len(result._prov) == len(result)


# pandas builds these without saying where the rows came from: plain pandas, refused by audits.
PLAIN = {
    "rolling": lambda w: w["age"].rolling(2).mean(),
    "groupby transform": lambda w: w.groupby("debt")["age"].transform("sum"),
    "groupby agg": lambda w: w.groupby("debt").sum(),
    "expanding": lambda w: w[["age"]].expanding().sum(),
}


@pytest.mark.parametrize("op", list(PLAIN))
def test_results_pandas_gives_no_rows_for_are_plain_and_refused(kind, op):
    t, w, _ = kind
    result = PLAIN[op](w)
    assert type(result) in (pd.Series, pd.DataFrame)
    if isinstance(result, pd.Series):
        assert audit(result) == {"error": "No tracker or empty series"}
    else:
        with pytest.raises(TypeError, match="column_risk_report expects a tracked frame"):
            column_risk_report(result)


def test_exact_words_where_the_input_words_are_kept(kind):
    t, w, _ = kind
    renamed = w.rename(columns={"age": "years", "debt": "d"})
    np.testing.assert_array_equal(renamed._col_prov["years"], w._col_prov["age"])
    assert list(renamed._col_prov) == ["years", "d", "income"]
    if hasattr(w, "_col_nodes"):
        np.testing.assert_array_equal(renamed._col_nodes["years"], w._col_nodes["age"])
    inplace = w.copy()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # pandas 3.1 deprecates inplace=
        assert inplace.rename(columns={"income": "inc"}, inplace=True) is None
    np.testing.assert_array_equal(inplace._col_prov["inc"], w._col_prov["income"])
    rows = pd.concat([w, w.iloc[::-1]])
    for col in w.columns:
        np.testing.assert_array_equal(rows._col_prov[col],
                                      np.concatenate([w._col_prov[col], w._col_prov[col]]))
    # Along columns each column is re-aligned to the result's rows by label; missing rows get 0.
    other = w[["debt"]].iloc[[2, 0]].rename(columns={"debt": "d2"})
    other._col_prov = {"d2": w._col_prov["debt"][[2, 0]]}  # words that line up with its rows
    cols = pd.concat([w[["age"]], other], axis=1)
    np.testing.assert_array_equal(cols._col_prov["age"], w._col_prov["age"])
    debt = w._col_prov["debt"]
    assert cols._col_prov["d2"].tolist() == [debt[0], 0, debt[2], 0]
    s = w["debt"].copy()  # pandas 2 would write through a column view into the frame
    expected = (w["debt"] + w["age"])._prov
    s += w["age"]
    np.testing.assert_array_equal(s._prov, expected)
    np.testing.assert_array_equal(w["debt"].add(w["age"])._prov, expected)  # pandas' flex form
    # fillna with a tracked Series: only the filled row takes the value's words too.
    gaps = w["debt"].where(w["debt"] > 1)
    filled = gaps.fillna(w["age"])
    assert filled.tolist() == [30.0, 2.0, 3.0, 4.0]
    assert [t.is_tainted(int(p)) for p in filled._prov] == [True, False, False, False]


def test_a_row_reduced_across_columns_unites_them_one_step_deeper(kind):
    t, w, _ = kind
    result = w.apply(lambda r: r.sum(), axis=1)
    for i, word in enumerate(result._prov):
        parts = [int(w._col_prov[c][i]) for c in w.columns]
        assert pairs(t, word) == set().union(*(pairs(t, p) for p in parts))
        assert t.get_depth(int(word)) == max(t.get_depth(p) for p in parts) + 1
    report = {r["column"]: r for r in column_risk_report(w.rename(columns={"age": "years"}))}
    assert report["years"]["risk_level"] == "HIGH" and report["debt"]["risk_level"] == "CLEAN"


def test_fewer_rows_keep_the_first_row_rule_unless_sources_differ(kind):
    t, w, _ = kind
    head = w["age"].head(2)
    assert head._prov.tolist() == [int(w._col_prov["age"][0])] * 2
    mixed = pd.concat([w[["debt"]].rename(columns={"debt": "x"}),
                       w[["age"]].rename(columns={"age": "x"})])
    first_clean = mixed[mixed["x"] != 2.0]["x"]  # row 0 comes from the untainted column
    assert len(set(first_clean._prov.tolist())) == 1
    assert pairs(t, first_clean._prov[0]) == {("loans", "debt"), ("loans", "age")}


@pytest.mark.parametrize("name", list(KINDS))
def test_different_indexes_warn_once_per_tracker_and_lengths_must_match(name):
    tracker_cls, wrap, _ = KINDS[name]
    for _ in range(2):  # a second tracker warns again
        t = tracker_cls()
        w = wrap(pd.DataFrame({"a": [1.0, 2.0, 3.0]}), t, "t")
        relabelled = w["a"].set_axis([7, 8, 9])
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = w["a"] + relabelled
            w["a"] * relabelled
            w["a"] + w["a"]  # same index: no warning
        assert result.tolist() == [2.0, 4.0, 6.0]  # by position, not by label
        texts = [str(c.message) for c in caught]
        assert len(texts) == 1 and "by position, not by label" in texts[0]
        assert "lumarq.track" in texts[0] and caught[0].filename == __file__
    with pytest.raises(ValueError, match="operands differ in length: 3 and 2"):
        w["a"] + w["a"].iloc[:2]
    with pytest.raises(ValueError, match="operands differ in length: 3 and 4"):
        w["a"] * np.ones(4)
    assert (w["a"] + np.ones(1)).tolist() == [2.0, 3.0, 4.0]  # one element still broadcasts


@pytest.mark.parametrize("name", list(KINDS))
@pytest.mark.parametrize("protected, expected", [
    (["age", "nope", 7], "protected names ['nope', '7'] are not columns"),
    ("age", "pass a list: protected=['age']"),
    ("other", None),  # a text naming no column: the whole-table flag, silently
    (["age"], None),
])
def test_protected_names_are_checked(name, protected, expected):
    tracker_cls, wrap, _ = KINDS[name]
    t = tracker_cls()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        w = wrap(pd.DataFrame({"age": [1], "b": [2]}), t, "tb", protected=protected)
    texts = [str(c.message) for c in caught]
    assert texts == ([] if expected is None else [pytest.approx(texts[0])])
    if expected:
        assert expected in texts[0] and caught[0].filename == __file__
    # A text keeps its meaning: every column protected.
    assert t.is_protected("tb", "b") == isinstance(protected, str)
    assert t.is_tainted(int(w._col_prov["age"][0]))


def _loc_iadd(rows):
    def run(w):
        w = w.copy()
        w.loc[rows(w), "debt"] += w["age"]
        return w["debt"]
    return run


def _iop_by_label(target, op, other):
    return lambda w: op(target(w).copy(), other(w))


def _iadd(a, b):
    a += b
    return a


def _isub(a, b):
    a -= b
    return a


# In place with a Series of another length pandas aligns by label: (operation, rows that take
# the age column's words, whether those rows keep the operation's graph node).
INPLACE_BY_LABEL = {
    "loc[condition] +=": (_loc_iadd(lambda w: w["debt"] > 1), "qrs", False),
    "loc[labels] +=": (_loc_iadd(lambda w: ["q", "r", "s"]), "qrs", True),
    "shorter += longer": (_iop_by_label(lambda w: w["debt"].iloc[1:], _iadd,
                                        lambda w: w["age"]), "qrs", True),
    "longer -= shorter": (_iop_by_label(lambda w: w["income"], _isub,
                                        lambda w: w["age"].iloc[:2]), "pq", True),
}


@pytest.mark.parametrize("op", list(INPLACE_BY_LABEL))
def test_inplace_operand_of_another_length_aligns_by_label(kind, op):
    t, w, _ = kind
    run, tainted, nodes = INPLACE_BY_LABEL[op]
    result = run(w)
    pd.testing.assert_series_equal(pd.Series(result), run(pd.DataFrame(w)))
    words = dict(zip(result.index, result._prov))
    assert [r for r in result.index if carries_age(t, [words[r]])] == list(tainted)
    if hasattr(result, "_node_ids"):
        age_node = int(w._col_nodes["age"][0])
        for r in tainted:
            node = int(result._node_ids[result.index.get_loc(r)])
            assert (node >= 0) == nodes
            if nodes:
                assert age_node in t.get_node(node).inputs


def test_dag_results_keep_node_ids_and_audits_see_every_source():
    t = DAGTracker()
    w = wrap_dataframe_dag(pd.DataFrame({"age": [1, 2], "x": [3.0, 4.0]}), t, "l",
                           protected=["age"])
    s = w["x"]
    s *= w["age"]
    node = t.get_node(int(s._node_ids[0]))
    assert node.operation == "mul" and node.inputs == [int(w._col_nodes["x"][0]),
                                                       int(w._col_nodes["age"][0])]
    row = w.apply(lambda r: r["age"] * r["x"], axis=1)
    assert row._node_ids.tolist() == [-1, -1]  # no graph node is known for a pandas row result
    assert dag_audit(row)["has_protected"] is True
    eq = w["x"] == w["age"]
    assert t.get_node(int(eq._node_ids[1])).operation == "eq"
    assert (w["x"] * OpCode.ADD)._prov.tolist() == w._col_prov["x"].tolist()  # scalar: copied


# Rows pandas selects or reorders from `x` (one graph node per row, distinct values) or `f` (a
# frame holding it as column "c"): (result, whether each row's node can be told). Where it can,
# a row keeps the node of the row its value came from; elsewhere it has -1, never another's.
ROWS_MOVED = {
    "sort_values": (lambda x, f: x.sort_values(), True),
    "iloc reversed": (lambda x, f: x.iloc[::-1], True),
    "mask": (lambda x, f: x[x < 4], True),
    "loc with a repeated label": (lambda x, f: x.loc[["r", "p", "r"]], True),
    "nlargest": (lambda x, f: x.nlargest(3), True),
    "sample": (lambda x, f: x.sample(4, random_state=1), True),
    "head": (lambda x, f: x.head(2), True),
    "take": (lambda x, f: x.take([3, 0]), True),
    "sorted in place": (lambda x, f: (lambda y: (y.sort_values(inplace=True), y)[1])(x.copy()),
                        True),
    "frame sort_values": (lambda x, f: f.sort_values("a")["c"], True),
    "frame mask": (lambda x, f: f[f["a"] < 4]["c"], True),
    "frame iloc reversed": (lambda x, f: f.iloc[::-1]["c"], True),
    "frame columns, then rows": (lambda x, f: f[["c", "a"]].nsmallest(2, "a")["c"], True),
    # which row a value came from is not told: the labels are gone, repeated or stayed put
    "sort_values(ignore_index=True)": (lambda x, f: x.sort_values(ignore_index=True), False),
    "shift": (lambda x, f: x.shift(1), False),
    "mode": (lambda x, f: x.mode(), False),
    "reversed, labels repeated": (lambda x, f: x.set_axis(list("ppqpp"))[::-1], False),
    "frame sorted, labels repeated": (lambda x, f: f.set_axis(list("ppqpp")).sort_values("a")["c"],
                                      False),
}


@pytest.mark.parametrize("case", list(ROWS_MOVED))
def test_dag_rows_moved_by_pandas_never_carry_another_rows_node(case):
    t = DAGTracker()
    w = wrap_dataframe_dag(pd.DataFrame({"a": [3.0, 1.0, 5.0, 2.0, 4.0], "b": [1.0] * 5},
                                        index=list("pqrsu")), t, "l", protected=["a"])
    x = w["a"] * w["b"]
    assert len(set(x._node_ids.tolist())) == len(x)
    node_of = dict(zip(x.tolist(), x._node_ids.tolist()))
    build, told = ROWS_MOVED[case]
    got = build(x, w.assign(c=x))
    assert got._node_ids.tolist() == [node_of.get(v, -1) if told else -1 for v in got.tolist()]
    assert all(t.is_tainted(int(p)) for p in got._prov)  # the words still name the source


def _masked_set(d):
    s = d["debt"].copy()
    s[s > 2] = 0.0  # pandas negates the condition Series internally
    return s


def _clipped_in_place(d):
    s = d["debt"].copy()
    s.clip(0.0, 2.0, inplace=True)
    return s


# Everyday code whose values must be plain pandas' on both kinds of container (the frame of the
# test below; `when` is a date column).
SAME_VALUES = {
    "round by column": lambda d: d.round({"debt": 0}),
    "concat of columns keeps their names": lambda d: pd.concat([d["debt"], d["income"]], axis=1),
    "to_frame": lambda d: d["debt"].to_frame(),
    "s[cond] = x": _masked_set,
    "drop_duplicates": lambda d: d.drop_duplicates("flag"),
    "-bool": lambda d: -(d["age"] > 35),
    "int // 0 and % 0": lambda d: pd.concat([d["age"] // 0, d["age"] % 0, 3 // (d["age"] - 30)], axis=1),
    "date - its minimum, and a date scalar - dates": lambda d: pd.concat(
        [d["when"] - d["when"].min(), pd.Timestamp("2025-01-01") - d["when"]], axis=1),
    "clip of nullable ints": lambda d: d["age"].astype("Int64").clip(35, 55),
    "clip in place": _clipped_in_place,
    "clip with a missing bound": lambda d: pd.concat(
        [d["debt"].clip(upper=np.nan), d["age"].clip(lower=pd.NA, upper=45)], axis=1),
    "combine_first": lambda d: d[["debt", "income"]].combine_first(
        d[["age", "income"]].rename(columns={"age": "debt"})),
    # a missing entry of a Series bound is no bound there (numpy's clip gave NaN)
    "clip by a Series bound with gaps": lambda d: pd.concat(
        [d["income"].clip(lower=d["debt"] * 12), d["income"].clip(upper=d["debt"] * 8)], axis=1),
    "frame clip by a Series bound": lambda d: d[["debt", "income"]].clip(
        lower=d["age"] / 20, upper=d["age"] / 2, axis=0),
    "isin": lambda d: pd.concat([d["debt"].isin(d["age"] / 10),
                                 d[["debt", "income"]].isin(d["age"] - 20)], axis=1),
    "eval": lambda d: d.eval("a = age * 2 + income"),
    "apply axis=1 giving a Series per row": lambda d: d.apply(
        lambda r: pd.Series({"a": r["age"] * 2, "b": r["debt"]}), axis=1),
    "sort, filter and reverse": lambda d: d.sort_values("debt").loc[
        lambda s: s["age"] > 35].iloc[::-1],
    # pandas' window code lines up a pairwise statistic's operands by label
    "rolling corr with a tracked other in another order": lambda d: d["income"].rolling(2).corr(
        d["age"].iloc[::-1] * 1.5),
    "group rolling and expanding corr/cov with a tracked other": lambda d: pd.concat(
        [d.groupby("flag")["income"].rolling(2).corr(d["age"] ** 2),
         d.groupby("flag")["income"].expanding().cov(d["age"] ** 2)], axis=1),
    "frame rolling cov with a tracked Series": lambda d: d[["debt", "income"]].rolling(2).cov(
        d["age"].iloc[[1, 0, 3, 2]]),
    "durations by pandas and numpy scalars": lambda d: pd.concat(
        [(d["when"] - d["when"].min()) / pd.Timedelta(hours=1),
         pd.Timedelta(days=4) / (d["when"] - d["when"].min() + pd.Timedelta(days=1)),
         (d["when"] - d["when"].min()) % pd.Timedelta(hours=5),
         np.timedelta64(90, "m") / d["age"], d["debt"] * np.timedelta64(3, "h")], axis=1),
    "a time-zone-aware column": lambda d: d.assign(z=d["when"].dt.tz_localize("UTC"))["z"],
    # pandas compares dates, durations and periods with text by parsing it, and missing text
    "dates, durations, periods and text against text": lambda d: (lambda e: pd.concat(
        [e["when"] == "2024-01-02", e["when"] > "2024-01-02", e["dur"] == "1D",
         e["dur"] <= "2D", e["per"] != "2024-01", e["per"].shift() < "2024-02",
         e["txt"] > "b", e["txt"] == None, e["obj"] | True, e["obj"] > 0],  # noqa: E711
        axis=1))(d.assign(dur=d["when"] - d["when"].min(), txt=["a", None, "c", "b"],
                          obj=np.array([True, None, False, True], dtype=object),
                          per=pd.period_range("2023-12", periods=4, freq="M"))),
    # pandas computes with numpy numbers and 0-d arrays as with Python's: a narrow column keeps
    # its dtype (and int8 wraps around)
    "narrow columns with numpy scalars and 0-d arrays": lambda d: (
        lambda i8, u16, i32, f32: pd.concat(
            [i8 + np.int64(100), np.int64(100) + i8, i8 * np.array(3), np.int64(2) - u16,
             u16 * np.float32(2.5), f32 / np.float64(0.5), np.float64(3.0) / f32,
             f32 ** np.float64(0.5), f32 ** 0.5, np.int64(2) ** i8, i32 // np.int64(7),
             np.int64(100) % i32, f32 - np.array(0.25), i8 < np.int64(45), i8 == np.array(40)],
            axis=1))(
        d["age"].astype("int8"), d["age"].astype("uint16"), d["age"].astype("int32"),
        d["debt"].astype("float32")),
    # quotient and remainder: the operator's fill of division by 0, not the flex method's
    "divmod": lambda d: pd.concat([*divmod(d["age"], d["debt"]), *divmod(d["age"], 0),
                                   *divmod(np.int64(100), d["age"] - 40),
                                   *d["age"].divmod(d["age"] - 40),
                                   *d["debt"].rdivmod(d["age"])], axis=1),
    # (pandas 3 warns of tuples becoming scalars, and so do the containers)
    "nullable ** tuple": lambda d: pd.concat([d["debt"].astype("Float64") ** (1, 2, 1, 2),
                                              (2, 1, 0, 1) ** d["age"].astype("Int64")], axis=1),
    "accessor results named as pandas names them": lambda d: pd.concat(
        [d["age"].astype("category").cat.codes, d["when"].dt.year, d["when"].dt.day_name()],
        axis=1),
    "division by zero and overflow, without warnings": lambda d: pd.concat(
        [d["debt"] / 0, d["age"] // 0, d["debt"] * 1e308 * 10, 0 / d["debt"]], axis=1),
    "time-zone-aware arithmetic and comparison": lambda d: (lambda z: pd.concat(
        [z + pd.Timedelta(hours=5), z - z.min(), z - pd.Timestamp("2024-01-02", tz="UTC"),
         z > pd.Timestamp("2024-01-02 12:00", tz="Asia/Tokyo"), z.shift() - z],
        axis=1))(d.assign(z=d["when"].dt.tz_localize("Europe/Berlin"))["z"]),
    "booleans with booleans and numbers": lambda d: pd.concat(
        [d["flag"] + True, d["flag"] * d["flag"], True - d["flag"].astype(int), d["flag"] / 2,
         d["flag"] ** 2, 2 ** d["flag"]], axis=1),
    "tuples, ranges and deques": lambda d: pd.concat(
        [d["income"] + (1, 2, 3, 4), (1, 2, 3, 4) * d["age"], d["debt"] == (1.0, 2.0, 3.0, 4.0),
         d["age"] > range(4), d["income"] - collections.deque([1, 2, 3, 4]),
         d["age"].astype("Int64") + range(4), d["flag"].astype("boolean") == (1, 0, 1, 1)],
        axis=1),
    "dates + tuple": lambda d: d["when"] + (pd.Timedelta(1, "D"),) * 4,
    # pandas 3 reads the lists as dates and durations; pandas 2 refuses them
    "dates and lists": lambda d: pd.concat(
        [d["when"] + [pd.Timedelta(1, "D")] * 4, d["when"] - list(d["when"]),
         [pd.Timedelta(1, "h")] * 4 + (d["when"] - d["when"])], axis=1),
    # pandas refuses these between booleans (numpy would compute them)
    "bools / True": lambda d: d["flag"] / True,
    "True / bools": lambda d: True / d["flag"],
    "bools ** bools": lambda d: d["flag"] ** d["flag"],
    "True ** bools": lambda d: True ** d["flag"],
    "bools /= np.True_": lambda d: d["flag"].__itruediv__(np.True_),
}


@pytest.mark.parametrize("case", list(SAME_VALUES))
def test_everyday_code_gives_plain_pandas_values(kind, case):
    t, _, series_cls = kind
    raw = pd.DataFrame({"age": [30, 40, 50, 60], "debt": [1.0, np.nan, 3.0, 4.0],
                        "flag": [True, False, True, True],
                        "when": pd.date_range("2024-01-01", periods=4)}, index=["p", "q", "r", "s"])
    wrap = wrap_dataframe if series_cls is TrackedSeries else wrap_dataframe_dag
    raw["income"] = [10.0, 20.0, 30.0, 40.0]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        warnings.simplefilter("error", RuntimeWarning)  # pandas divides by zero without warnings
        try:
            want = SAME_VALUES[case](raw.copy())
        except (NotImplementedError, TypeError) as refused:  # and so must the containers
            with pytest.raises(type(refused), match=f"^{re.escape(str(refused))}$"):
                SAME_VALUES[case](wrap(raw, t, "loans", protected=["age"]))
            return
        wanted = len(caught)
        got = SAME_VALUES[case](wrap(raw, t, "loans", protected=["age"]))
    # pandas' deprecations, at the same caller
    warned = [[(w.category, str(w.message), w.filename) for w in part
               if issubclass(w.category, (DeprecationWarning, FutureWarning))]
              for part in (caught[:wanted], caught[wanted:])]
    assert warned[1] == warned[0]
    plain = (pd.DataFrame(got) if isinstance(got, pd.DataFrame) else pd.Series(got)).copy()
    if isinstance(want, pd.DataFrame):
        pd.testing.assert_frame_equal(pd.DataFrame(plain), want, check_frame_type=False)
    else:
        pd.testing.assert_series_equal(pd.Series(plain), want, check_series_type=False)


def test_a_plain_result_assigned_into_the_frame_is_untracked_not_clean(kind):
    # pandas' group and window results are plain; stored as a column, their provenance is unknown
    t, w, _ = kind
    w["z"] = w.groupby("debt")["age"].transform("sum")
    w["debt"] = w["age"].to_numpy() * 2.0  # a plain value over a tracked column
    # pandas builds these as containers without a tracker: their zero words read clean
    w["m"] = np.maximum(w["income"], w["age"])
    w["n"] = pd.to_numeric(w["age"])
    w.insert(0, "i", np.minimum(w["income"], w["age"]))
    w.loc[:, "l"] = pd.to_numeric(w["age"])
    report = {r["column"]: r for r in column_risk_report(w)}
    assert [report[c]["risk_level"] for c in ("z", "debt", "m", "n", "i", "l")] == [
        "UNTRACKED"] * 6
    assert report["z"]["tainted"] is None and report["age"]["risk_level"] == "HIGH"


ROWS = np.array([False, True, False, True])
# .loc/.iloc assignments: (indexer, key, rows written, {column written: column of a frame value}).
ASSIGNMENTS = {
    "loc whole column": ("loc", (slice(None), "debt"), None, {"debt": None}),
    "iloc whole column": ("iloc", (slice(None), 1), None, {"debt": None}),
    "loc rows": ("loc", (ROWS, "debt"), [1, 3], {"debt": None}),
    "iloc rows": ("iloc", ([1, 3], 1), [1, 3], {"debt": None}),
    "loc new column": ("loc", (slice(None), "new"), None, {"new": None}),
    "loc new column, some rows": ("loc", (ROWS, "new"), [1, 3], {"new": None}),
    # a frame value: loc takes its columns by label, iloc by position
    "loc two columns": ("loc", (slice(None), ["debt", "income"]), None,
                        {"debt": "debt", "income": "income"}),
    "iloc two columns": ("iloc", (slice(None), [1, 2]), None, {"debt": "income", "income": "debt"}),
    "Series loc rows": ("loc", ROWS, [1, 3], {None: None}),
    "Series iloc rows": ("iloc", [1, 3], [1, 3], {None: None}),
    "Series [] rows": ("[]", ROWS, [1, 3], {None: None}),
    # the value's rows in reverse: loc and [] match them by label, iloc by position
    "loc whole column, value reversed": ("loc", (slice(None), "debt"), None, {"debt": None}),
    "iloc whole column, value reversed": ("iloc", (slice(None), 1), None, {"debt": None}),
    "loc two columns, value reversed": ("loc", (slice(None), ["debt", "income"]), None,
                                        {"debt": "debt", "income": "income"}),
    "Series loc rows, value reversed": ("loc", ROWS, [1, 3], {None: None}),
    # s[key] = t with any key but a mask writes t's entries by position, as iloc does
    "Series [] all rows": ("[]", slice(None), None, {None: None}),
    "Series [] slice": ("[]", slice(1, 3), [1, 2], {None: None}),
    "Series [] labels": ("[]", ["s", "q"], [3, 1], {None: None}),
    "Series [] labels, value reversed": ("[]", ["q", "s"], [1, 3], {None: None}),
    "Series [] index": ("[]", pd.Index(["p", "q", "r", "s"]), None, {None: None}),
}


@pytest.mark.parametrize("tracked", [True, False], ids=["tracked value", "plain value"])
@pytest.mark.parametrize("case", list(ASSIGNMENTS))
def test_loc_and_iloc_assignment_places_the_value_words_on_the_rows_written(kind, case, tracked):
    t, w, _ = kind
    how, key, rows, columns = ASSIGNMENTS[case]
    nodes = hasattr(w, "_col_nodes")
    value = w["age"] * 2.0  # tainted, and with graph nodes of its own on the DAG kind
    if "two columns" in case:
        value = (w[["age", "debt"]] * 2.0).rename(columns={"age": "income"})
    if rows is not None:
        value = value.iloc[rows]
    if "reversed" in case:
        value = value.iloc[::-1]
    given = value if tracked else value.to_numpy()
    plain_value = pd.DataFrame(value) if value.ndim == 2 else pd.Series(value)
    raw = pd.DataFrame(w)
    target = w.copy()
    if None in columns:  # a Series taken out of the frame
        target, raw = target["debt"].copy(), raw["debt"].copy()
        before = target._prov.copy(), getattr(target, "_node_ids", None)
    (target if how == "[]" else getattr(target, how))[key] = given
    (raw if how == "[]" else getattr(raw, how))[key] = plain_value if tracked else given
    if None in columns:
        pd.testing.assert_series_equal(pd.Series(target), raw, check_series_type=False)
    else:
        pd.testing.assert_frame_equal(pd.DataFrame(target), raw, check_frame_type=False)

    written = np.arange(len(w)) if rows is None else np.asarray(rows)
    for column, source in columns.items():
        if column is None:
            old_words, old_nodes = before
            got_words, got_nodes = target._prov, getattr(target, "_node_ids", None)
        else:
            if not tracked and (rows is None or column == "new"):
                # a plain value over a whole column (or a new one): untracked, never clean
                assert column not in target._col_prov
                assert not nodes or column not in target._col_nodes
                continue
            old_words = w._col_prov.get(column, np.zeros(len(w), np.uint32))
            old_nodes = w._col_nodes.get(column, np.full(len(w), -1)) if nodes else None
            got_words = target._col_prov[column]
            got_nodes = target._col_nodes[column] if nodes else None
        want_words, want_nodes = old_words.copy(), None if old_nodes is None else old_nodes.copy()
        if tracked:
            part = value if source is None else value[source]
            by_position = how == "iloc" or (how == "[]" and key is not ROWS)
            at = (np.arange(len(part)) if by_position
                  else part.index.get_indexer(target.index[written]))
            want_words[written] = part._prov[at]
            if nodes:
                want_nodes[written] = part._node_ids[at]
        assert got_words.tolist() == want_words.tolist()
        if nodes:
            assert got_nodes.tolist() == want_nodes.tolist()
        if tracked and (source is None or source == "income"):  # the rows written from age
            assert carries_age(t, np.asarray(got_words)[written])


IN_PLACE = {
    "dropna": lambda o, **kw: o.dropna(**kw),
    "drop_duplicates": lambda o, **kw: o.drop_duplicates(**kw),
    "sort_values": lambda o, **kw: o.sort_values(by="debt", **kw) if o.ndim == 2
    else o.sort_values(**kw),
}


@pytest.mark.parametrize("method", list(IN_PLACE))
@pytest.mark.parametrize("frame", [False, True], ids=["Series", "frame"])
def test_in_place_methods_leave_the_words_their_result_has(kind, method, frame):
    t, w, _ = kind
    w.loc[["q", "r"], "debt"] = [np.nan, 4.0]  # a NaN and a repeated value
    w.loc[["p"], "debt"] = w["age"].iloc[[0]] * 1.0  # row p from the protected column
    obj = w[["debt", "income"]] if frame else w["debt"]
    expected = IN_PLACE[method](obj)
    IN_PLACE[method](obj, inplace=True)
    pd.testing.assert_frame_equal(pd.DataFrame(obj), pd.DataFrame(expected), check_frame_type=False)
    got = obj._col_prov if frame else {None: obj._prov}
    want = expected._col_prov if frame else {None: expected._prov}
    assert {c: list(v) for c, v in got.items()} == {c: list(v) for c, v in want.items()}
    read = (obj["debt"] if frame else obj)._prov  # what a reader of the column gets
    assert len(read) == len(obj)
    if method != "sort_values":  # a reorder keeps positional words (docs/concepts.md)
        assert carries_age(t, [read[list(obj.index).index("p")]])


def test_a_row_added_by_loc_keeps_the_words_of_the_rows_before(kind):
    t, w, _ = kind
    w.loc[["p"], "debt"] = w["age"].iloc[[0]] * 1.0
    before = {c: list(v) for c, v in w._col_prov.items()}
    w.loc["t"] = [70, 5.0, 50.0]  # plain values
    assert {c: list(v) for c, v in w._col_prov.items()} == {c: v + [0] for c, v in before.items()}
    if hasattr(w, "_col_nodes"):
        assert all(v[-1] == -1 and len(v) == 5 for v in w._col_nodes.values())


@pytest.mark.parametrize("expand", [lambda s: s.to_frame(), lambda s: s.reset_index()],
                         ids=["to_frame", "reset_index"])
def test_a_series_expanded_to_a_frame_keeps_its_words(kind, expand):
    t, w, _ = kind
    frame = expand(w["age"])
    assert type(frame).__name__ == type(w).__name__
    assert carries_age(t, frame["age"]._prov) and len(frame["age"]._prov) == len(w)


BERLIN = pd.Timestamp("2024-01-15", tz="Europe/Berlin")


def _in_place(column, method, *args, **kwargs):
    def run(d):
        s = d[column].copy()
        getattr(s, method)(*args, inplace=True, **kwargs)
        return s
    return run


# Dates, durations, periods and nullable values with gaps, on the frame of the test below: values,
# dtype, warnings and errors as plain pandas', and the result still tracked.
GAPS = {
    "zoned fillna": lambda d: d["ts"].fillna(BERLIN),
    "zoned fillna by a date of another zone": lambda d: d["ts"].fillna(
        pd.Timestamp("2020-01-01", tz="UTC")),
    "zoned replace": lambda d: d["ts"].replace(pd.NaT, BERLIN),
    "zoned map": lambda d: d["ts"].map(lambda x: x),
    "zoned fillna in place": _in_place("ts", "fillna", BERLIN),
    "frame fillna by column": lambda d: d.fillna({"ts": BERLIN}),
    "period fillna": lambda d: d["p"].fillna(pd.Period("2020-01", freq="M")),
    # NaT stays NaT and the dtype is kept
    "zoned clip": lambda d: d["ts"].clip(upper=BERLIN),
    "zoned clip by a bound of another zone": lambda d: d["ts"].clip(
        lower=pd.Timestamp("2024-02-01", tz="UTC")),
    "zoned clip in place": _in_place("ts", "clip", upper=BERLIN),
    "date clip": lambda d: d["nv"].clip(lower=pd.Timestamp("2023-06-01")),
    "duration clip": lambda d: d["td"].clip(upper=pd.Timedelta("3h")),
    "period clip": lambda d: d["p"].clip(lower=pd.Period("2024-01", freq="M")),
    # a missing condition takes `other`, but keeps the value in place
    "where by a condition with gaps": lambda d: d["i"].where(d["i"] > 2, d["j"]),
    "mask by a condition with gaps": lambda d: d["i"].mask(d["i"] > 2, d["j"]),
    "where in place by a condition with gaps": lambda d: _in_place("f", "where", d["i"] > 2,
                                                                   d["j"] * 1.0)(d),
    "mask in place by a condition with gaps": lambda d: _in_place("f", "mask", d["i"] > 2,
                                                                  d["j"] * 1.0)(d),
    # numpy's power refuses a nullable array against a list
    "nullable ** list": lambda d: d["i"] ** [2, 2, 2],
    "list ** nullable": lambda d: [2, 1, 0] ** d["j"],
    # pandas 2 fills forward with a FutureWarning; pandas 3 has no method= and raises
    "fillna by method": lambda d: d["f"].fillna(method="ffill"),
}


def _outcome(build, d):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = build(d)
        except (TypeError, ValueError) as e:
            result = e
    return result, sorted({c.category.__name__ for c in caught})


@pytest.mark.parametrize("case", list(GAPS))
def test_gaps_in_dates_periods_and_nullable_values_as_plain_pandas(kind, case):
    t, _, series_cls = kind
    dates = pd.to_datetime(["2024-03-01 10:00", None, "2023-01-01 00:00"])
    raw = pd.DataFrame({"ts": dates.tz_localize("Europe/Berlin"), "nv": dates,
                        "td": pd.to_timedelta(["1h", None, "5h"]),
                        "p": pd.PeriodIndex(["2023-01", None, "2025-05"], freq="M"),
                        "i": pd.array([1, None, 3], dtype="Int64"),
                        "j": pd.array([7, 8, 9], dtype="Int64"), "f": [1.0, np.nan, 3.0]},
                       index=["x", "y", "z"])
    wrap = wrap_dataframe if series_cls is TrackedSeries else wrap_dataframe_dag
    (got, got_warned), (want, want_warned) = (_outcome(GAPS[case], wrap(raw, t, "loans", protected=True)),
                                              _outcome(GAPS[case], raw.copy()))
    assert got_warned == want_warned
    if isinstance(want, Exception):
        assert type(got) is type(want), got
        return
    if isinstance(want, pd.DataFrame):
        pd.testing.assert_frame_equal(pd.DataFrame(got).copy(), want, check_frame_type=False)
        words = list(got._col_prov.values())
        assert list(got._col_prov) == list(got.columns)
    else:
        pd.testing.assert_series_equal(pd.Series(got).copy(), want, check_series_type=False)
        assert isinstance(got, series_cls)
        words = [got._prov]
    assert got._tracker is t  # every column of the frame protected: every row tainted
    assert all(len(w) == len(raw) and all(t.is_tainted(int(x)) for x in w) for w in words)


@pytest.mark.parametrize("inplace", [False, True], ids=["result", "in place"])
@pytest.mark.parametrize("method", ["where", "mask"])
@pytest.mark.parametrize("frame", [False, True], ids=["Series", "frame"])
def test_rows_taking_other_by_a_condition_with_gaps_take_its_words(kind, method, inplace, frame):
    t, w, _ = kind
    cond = pd.Series(pd.array([False, None, True, False], dtype="boolean"), index=w.index)
    other = w["age"] * 1.0  # protected; income is not, and no value of it equals one of age's
    s, plain = w["income"].copy(), pd.Series(w["income"]).copy()
    if frame:  # a frame's condition may also lack a column: that column is all gaps
        cond = pd.DataFrame({"income": cond})
        other = w[["age"]].rename(columns={"age": "income"}) * 1.0
        other["debt"] = other["income"]
        s, plain = w[["income", "debt"]].copy(), pd.DataFrame(w[["income", "debt"]]).copy()
        s["debt"], plain["debt"] = s["income"] * 1.0, plain["income"] * 1.0
    want = getattr(plain, method)(cond, type(plain)(other), inplace=inplace)
    got = getattr(s, method)(cond, other, inplace=inplace)
    if inplace:
        want, got = plain, s
    check = pd.testing.assert_frame_equal if frame else pd.testing.assert_series_equal
    check(type(plain)(got).copy(), want, **{f"check_{'frame' if frame else 'series'}_type": False})
    for col, words in ([(c, got._col_prov[c]) for c in got.columns] if frame else
                       [(None, got._prov)]):
        values, others = (got[col], other[col]) if frame else (got, other)
        took = (values.to_numpy() == others.to_numpy()).tolist()
        assert [t.is_tainted(int(x)) for x in words] == took, col
