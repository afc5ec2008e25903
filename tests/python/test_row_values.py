"""DAGTracker.record_row_value: value split, hand-over in batches and the memory-only bound."""
import logging
import warnings

import pytest

from lumarq.utilities.persistence.storage import StoredRowValue
from lumarq.utilities.vantor32_dag import DAGTracker


class ListWriter:
    def __init__(self):
        self.batches = []

    def write_row_values(self, values):
        self.batches.append(values)


@pytest.mark.parametrize("value, numeric, text", [
    (None, None, None), ("12", 12.0, None), ("3.5", 3.5, None), ("n/a", None, "n/a"),
    (10 ** 400, None, str(10 ** 400)), (True, 1.0, None), (7, 7.0, None), (object, None, str(object)),
    # texts float() reads (some skip float() on a look at their first character)
    ("inf", float("inf"), None), ("-Infinity ", float("-inf"), None), (" 2", 2.0, None), ("1_0", 10.0, None),
    ("\t.5e1\n", 5.0, None), ("\u0661\u0662", 12.0, None), ("", None, ""), ("n", None, "n"), ("nano", None, "nano"),
    ("infinite", None, "infinite"), ("-", None, "-"), ("e5", None, "e5"), ("_1", None, "_1"), ("little", None, "little"),
])
def test_values_split_into_numeric_and_text(value, numeric, text):
    t = DAGTracker(tenant_id="acme")
    t.record_row_value(3, 99, "add", value, column_name="c")
    assert t._value_buffer == [StoredRowValue(0, 3, 99, "add", numeric, "c", "acme", text)]


def test_writer_gets_exact_batches_in_recording_order():
    t = DAGTracker()
    t._writer = writer = ListWriter()
    t._pipeline_id = 4
    for i in range(10001):
        t.record_row_value(i, 1, "op", float(i))
    assert [len(b) for b in writer.batches] == [5000, 5000]
    assert [r.row_index for b in writer.batches for r in b] == list(range(10000))
    assert [r.row_index for r in t._value_buffer] == [10000]
    assert writer.batches[0][0].pipeline_id == 4


@pytest.mark.parametrize("configured", [None, "service_url", "api_key"])
def test_memory_only_buffer_keeps_the_newest_records_and_warns_once(configured, caplog):
    # Only a tracker that was asked to persist (but has no writer) warns; without any
    # persistence configured the bound is what the user gets, logged at debug level.
    t = DAGTracker()
    if configured:
        setattr(t, "_" + configured, "sqlite:///rows.db" if configured == "service_url" else "k")
    with warnings.catch_warnings(record=True) as caught, caplog.at_level(logging.DEBUG):
        warnings.simplefilter("always")
        for i in range(100_000 + 25):
            t.record_row_value(i, 1, "op", 1.0)
    assert len(t._value_buffer) == 100_000
    assert t._value_buffer[0].row_index == 25 and t._value_buffer[-1].row_index == 100_024
    warned = [str(w.message) for w in caught if issubclass(w.category, UserWarning)]
    debug = [r.getMessage() for r in caplog.records if r.levelno == logging.DEBUG]
    if configured:
        assert warned == [
            "Row-value buffer is full (100000 records) and no storage writer is attached: "
            "dropping the oldest records. Enable persistence to keep every row value."]
    else:
        assert warned == [] and len(debug) == 1 and "no persistence configured" in debug[0]


@pytest.mark.parametrize("args, name, expected", [
    (("1", 1, "op"), "row_index", "int"), ((1, None, "op"), "fingerprint", "int"),
    ((1, 1, b"op"), "operation", "str"), ((1, 1, "op", 2, 5), "column_name", "str"),
])
def test_argument_types(args, name, expected):
    with pytest.raises(TypeError, match=rf"Argument '{name}' has incorrect type \(expected {expected}, got "):
        DAGTracker().record_row_value(*args)


def _rows_by_column_path(scenario, read_first):
    """The rows handed to a writer and the buffer after `scenario` on a memory-only tracker.
    With `read_first` the buffer is
    handed out before anything is recorded, so every row goes in as a record; otherwise numeric
    rows are held as columns until something needs the buffer."""
    import pickle

    import numpy as np
    import pandas as pd

    import lumarq
    from lumarq.utilities.vantor32_dag import wrap_dataframe_dag

    t = DAGTracker(tenant_id="acme")
    if read_first:
        t._value_buffer
    rng = np.random.default_rng(3)
    n = 70_000
    df = pd.DataFrame({"a": rng.random(n), "b": rng.integers(0, 9, n), "c": rng.random(n)})
    df.loc[::7, "a"] = np.nan  # NaN rows are not recorded
    w = lumarq.track(df, t, "t", protected=["b"]) if scenario == "dtype" else wrap_dataframe_dag(df, t, "t")
    r = w["a"] * w["b"]
    if scenario == "then record":
        t.record_row_value(5, 7, "note", "text")
    if scenario == "then spill":
        t._nodes
    r = r + w["c"]
    if scenario == "then pickle":
        t = pickle.loads(pickle.dumps(t))
    handed = []
    if scenario == "then writer":
        t._writer = writer = ListWriter()
        writer.flush = lambda timeout=None: None
        t.flush()
        handed = [r for batch in writer.batches for r in batch]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return handed, list(t._value_buffer)


@pytest.mark.parametrize("scenario", ["ops", "then record", "then spill", "then pickle", "then writer",
                                      "dtype"])
def test_memory_only_rows_held_as_columns_read_as_the_records_row_by_row_gives(scenario):
    handed, rows = _rows_by_column_path(scenario, read_first=False)
    assert len(handed) + len(rows) == 100_000
    assert (handed, rows) == _rows_by_column_path(scenario, read_first=True)


def _texts(n, dtype=object):
    import pandas as pd

    return pd.Series(["x%d" % (i % 50) if i % 7 else None for i in range(n)], dtype=dtype)


def _times(n, tz=None, unit="ns"):
    import numpy as np
    import pandas as pd

    t = pd.Series(pd.date_range("1969-12-31 23:59", periods=n, freq="37s", tz=tz).as_unit(unit))
    t[::11] = pd.NaT
    return t.where(np.arange(n) % 5 != 3, t + pd.Timedelta("1.5ms"))  # some sub-second values


@pytest.mark.parametrize("make, step", [
    (_texts, lambda s: s.fillna("gap").str.len()),
    (lambda n: _texts(n, "str"), lambda s: s.fillna("gap").str.len()),
    (_times, lambda s: s.diff()),
    (lambda n: _times(n, "Europe/Berlin"), lambda s: s.diff().fillna(s - s.shift(-1))),
    (lambda n: _times(n, unit="s"), lambda s: s.where(s.dt.second % 2 == 0, s - s.iloc[0])),
], ids=["object text", "str", "date diff", "zoned dates, negative durations", "seconds"])
def test_memory_only_rows_of_the_dtype_are_the_newest_records_row_by_row_gives(make, step):
    """Texts, dates and durations: only the rows the bound keeps are made into records; the
    buffer and the warnings are what a tracker recording every row one by one ends with."""
    import lumarq

    class OneByOne(DAGTracker):
        def record_row_value(self, *args, **kwargs):
            return super().record_row_value(*args, **kwargs)

    s = make(130_000)
    seen = []
    for cls in (DAGTracker, OneByOne):
        t = cls(tenant_id="acme")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            step(lumarq.track(s.to_frame("s"), t, "t")["s"])
        seen.append((list(t._value_buffer), [str(c.message) for c in caught]))
    assert seen[0] == seen[1] and len(seen[0][0]) == 100_000
