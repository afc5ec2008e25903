"""Tracked frames meeting pyarrow: Arrow-backed columns and Arrow file formats."""

from __future__ import annotations

import io

import numpy as np
import pandas as pd
import pytest

import lumarq
from lumarq.utilities.vantor32 import ProvenanceTracker

pa = pytest.importorskip("pyarrow")


def _numpy_frame():
    return pd.DataFrame({
        "age": [25, 40, 61, 33],
        "income": [1.5, np.nan, 3.0, 4.5],
        "sex": ["m", "f", None, "f"],
        "ok": [True, False, True, True],
        "day": pd.date_range("2024-03-30", periods=4, freq="7h", tz="Europe/Berlin"),
    }, index=[10, 11, 12, 13])


def _nullable_frame():
    return pd.DataFrame({
        "age": pd.array([25, None, 61, 33], dtype="Int64"),
        "income": pd.array([1.5, None, 3.0, 4.5], dtype="Float64"),
        "sex": pd.array(["m", "f", None, "f"], dtype="string"),
        "ok": pd.array([True, None, False, True], dtype="boolean"),
    })


def _arrow_frame():
    return pd.DataFrame({
        "age": pd.array([25, None, 61, 33], dtype="int64[pyarrow]"),
        "income": pd.array([1.5, None, 3.0, 4.5], dtype="double[pyarrow]"),
        "sex": pd.array(["m", "f", None, "f"], dtype="string[pyarrow]"),
        "grp": pd.array(["a", "b", "a", None], dtype=pd.ArrowDtype(pa.string())),
    })


FRAMES = {"numpy": _numpy_frame, "nullable": _nullable_frame, "arrow": _arrow_frame}


def _round_trip(fmt, frame):
    buf = io.BytesIO()
    getattr(frame, f"to_{fmt}")(buf)
    buf.seek(0)
    return getattr(pd, f"read_{fmt}")(buf)


@pytest.mark.parametrize("kind", FRAMES)
@pytest.mark.parametrize("fmt", ["parquet", "feather", "orc"])
def test_arrow_files_of_a_tracked_frame_hold_the_plain_frame(fmt, kind):
    plain = FRAMES[kind]()
    if fmt != "parquet":
        plain = plain.reset_index(drop=True)
    tracked = lumarq.track(plain, ProvenanceTracker(), "T", protected=["age", "sex"])
    try:
        expected = _round_trip(fmt, plain)
    except Exception as exc:  # a type the format cannot hold: refused alike
        with pytest.raises(type(exc)):
            _round_trip(fmt, tracked)
        return
    pd.testing.assert_frame_equal(_round_trip(fmt, tracked), expected)
    if fmt == "parquet":  # readable without lumarq: no "prov[...]" type named in the file
        buf = io.BytesIO()
        tracked.set_index("age").to_parquet(buf)
        buf.seek(0)
        assert b"prov[" not in pa.parquet.read_schema(buf).metadata[b"pandas"]


@pytest.mark.parametrize("index", [None, "age"])
@pytest.mark.parametrize("kind", FRAMES)
def test_pyarrow_takes_the_values_of_tracked_columns(kind, index):
    plain = FRAMES[kind]()
    tracked = lumarq.track(plain, ProvenanceTracker(), "T", protected=["age"])
    for col in plain:
        assert pa.array(tracked[col]).equals(pa.array(plain[col]))
    if index is not None:
        plain, tracked = plain.set_index(index), tracked.set_index(index)
    got, want = pa.Table.from_pandas(tracked), pa.Table.from_pandas(plain)
    # the pandas metadata too: it names the plain types, so a file written from the table
    # reads back as the plain frame, with lumarq imported or not
    assert got.schema.equals(want.schema, check_metadata=True)
    assert all(got.column(i).equals(want.column(i)) for i in range(want.num_columns))
    pq = pytest.importorskip("pyarrow.parquet")
    buf = io.BytesIO()
    pq.write_table(got, buf)
    buf.seek(0)
    pd.testing.assert_frame_equal(pd.read_parquet(buf), pd.read_parquet(io.BytesIO(
        plain.to_parquet())))


def _people():
    return pd.DataFrame({
        "sex": pd.array(["m", "f", "f", "m", "f", None], dtype="string[pyarrow]"),
        "age": pd.array([25, 40, 61, 33, 40, 52], dtype="int64[pyarrow]"),
        "grp": pd.array(["a", "b", "a", "b", "b", "a"], dtype=pd.ArrowDtype(pa.string())),
        "income": pd.array([2.0, 1.0, 2.0, None, 2.0, 0.5], dtype="double[pyarrow]"),
    }, index=list("uvwxyz"))


# (step, whether every row of its (first) column derives from a protected column)
ARROW_STEPS = {
    "sort, nulls first": (lambda d: d.sort_values("income", na_position="first"), False),
    "log": (lambda d: np.log(d["age"]), True),
    "sqrt of a frame": (lambda d: np.sqrt(d[["age", "income"]]), True),
    "ufunc of two columns": (lambda d: np.maximum(d["age"], d["income"]), True),
    "group count": (lambda d: d.groupby("sex")["income"].count(), True),
    "group count of a frame": (lambda d: d.groupby("grp")[["age", "income"]].count(), True),
    "group size of a column": (lambda d: d.groupby("sex")["age"].size(), True),
    "group value_counts": (lambda d: d.groupby("grp")["sex"].value_counts(), True),
    "group quantile": (lambda d: d.groupby("sex")["age"].quantile([0.25, 0.5]), True),
    "group agg of a function": (lambda d: d.groupby("sex")["age"].agg(lambda v: v.max()), True),
    "group agg of text": (lambda d: d.groupby("age")["grp"].agg(lambda v: v.iloc[0]), True),
    "get_dummies": (lambda d: pd.get_dummies(d[["grp", "sex"]]), True),
    "pivot margins by Arrow text": (lambda d: d.pivot_table(
        index="grp", columns="sex", values="income", aggfunc="sum", margins=True), True),
    "pivot margins by two keys": (lambda d: d.pivot_table(
        index=["grp", "sex"], values="income", aggfunc="sum", margins=True), False),
    "concat of Arrow text keys": (lambda d: pd.concat([d.groupby("grp")[["income"]].sum(),
                                                      pd.DataFrame({"income": [0.0]}, ["x"])]),
                                  False),
    "astype Arrow text": (lambda d: d["age"].astype(pd.ArrowDtype(pa.string())), True),
    "astype large_string": (lambda d: d[["sex"]].astype("large_string[pyarrow]"), True),
}


@pytest.mark.parametrize("step", ARROW_STEPS.values(), ids=list(ARROW_STEPS))
def test_steps_on_arrow_columns_give_plain_pandas_results(step):
    fn, derived = step
    plain = _people()
    tracked = lumarq.track(plain, ProvenanceTracker(), "T", protected=["sex", "age", "grp"])
    expected, got = fn(plain), fn(tracked)
    check = pd.testing.assert_frame_equal if isinstance(expected, pd.DataFrame) else (
        pd.testing.assert_series_equal)
    check(lumarq.untrack(got), expected)
    first = got.iloc[:, 0] if isinstance(got, pd.DataFrame) else got
    assert isinstance(first.dtype, lumarq.ProvenanceDtype)
    if derived:
        assert first.prov.tainted.all()
