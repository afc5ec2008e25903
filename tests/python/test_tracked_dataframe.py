import datetime

import numpy as np
import pandas as pd
import pytest

from support import depth, entity_bits
from lumarq.utilities import vantor32 as v
from lumarq.utilities.vantor32 import (OpCode, ProvenanceTracker, TrackedDataFrame, TrackedSeries,
                                       column_risk_report,
                                       wrap_dataframe)


def frame(rows=3, index=None):
    return pd.DataFrame({"a": np.arange(rows, dtype=float), "b": np.arange(rows) * 10},
                        index=index)


def expected_entity(label) -> int:
    return 0 if label is None else (hash(label) & 0xFFFFFFFF) % 256


def test_class_protocol():
    assert TrackedDataFrame.__module__ == "lumarq.utilities.vantor32"
    assert TrackedDataFrame.__qualname__ == "TrackedDataFrame"
    assert TrackedDataFrame.__doc__ == "Pandas DataFrame with VANTOR-32 provenance."
    assert TrackedDataFrame._metadata == ["_tracker", "_col_prov"]
    df = TrackedDataFrame({"a": [1]})
    assert df._constructor is TrackedDataFrame and df._constructor_sliced is TrackedSeries
    assert df._tracker is None and df._col_prov == {}
    given = {"a": np.zeros(1, np.uint32)}
    assert TrackedDataFrame({"a": [1]}, _col_prov=given)._col_prov is given
    assert wrap_dataframe.__doc__.endswith(
        "Wrap a DataFrame with VANTOR-32 provenance. Sets taint for protected columns.")


def test_wrap_registers_and_encodes(tracker):
    w = wrap_dataframe(frame(), tracker, "loans")
    assert isinstance(w, TrackedDataFrame) and w._tracker is tracker
    assert tracker.get_id("loans", "a") == 0 and tracker.get_id("loans", "b") == 1
    assert list(w._col_prov) == ["a", "b"]
    col = w["a"]
    assert isinstance(col, TrackedSeries) and col.name == "a" and col._tracker is tracker
    np.testing.assert_array_equal(col._prov, w._col_prov["a"])
    assert not np.shares_memory(col._prov, w._col_prov["a"])
    for p in w._col_prov["b"]:
        info = tracker.decode_full(int(p))
        assert info.pairs == {1} and info.depth == 0 and not info.taint and info.mode == "EXACT-1"
    again = wrap_dataframe(frame(), tracker, "loans")  # the same pairs are reused
    np.testing.assert_array_equal(again._col_prov["a"], w._col_prov["a"])
    assert tracker.stats()["registered_pairs"] == 2


@pytest.mark.parametrize("protected,tainted,table_marked", [
    (True, {"a", "b", "1"}, True),
    (False, set(), False),
    (None, set(), False),
    (["a"], {"a"}, False),
    (("a",), {"a"}, False),
    ({"a", "zzz"}, {"a"}, False),
    (["1"], {"1"}, False),  # labels are compared as text: the column 1 matches "1"
    ([1], {"1"}, False),
    # any other collection of names, not only list/tuple/set
    (frozenset({"b"}), {"b"}, False),
    (pd.Index(["a", "b"]), {"a", "b"}, False),
    (np.array(["b"]), {"b"}, False),
    (np.array([1]), {"1"}, False),
    (pd.Series(["a"]), {"a"}, False),
    ({"a": 1}.keys(), {"a"}, False),
    ([], set(), False),
    # flags: text and zero-dimensional arrays are not collections of names
    ("a", {"a", "b", "1"}, True),
    (np.array(True), {"a", "b", "1"}, True),
    (np.bool_(False), set(), False),
], ids=lambda x: type(x).__name__)
def test_protected_forms(tracker, protected, tainted, table_marked):
    df = pd.DataFrame({"a": [1.0], "b": [2.0], 1: [3.0]})
    w = wrap_dataframe(df, tracker, "t", protected=protected)
    got = {str(c) for c, p in w._col_prov.items() if tracker.is_tainted(int(p[0]))}
    assert got == tainted
    assert tracker.is_protected("t") is table_marked
    assert ("t" in tracker.stats()["protected_tables"]) is table_marked


def test_include_entity(tracker):
    labels = ["x", "y", "z"]
    on = wrap_dataframe(frame(index=labels), tracker, "t")
    off = wrap_dataframe(frame(index=labels), tracker, "t", include_entity=[])  # truthiness
    assert [entity_bits(p) for p in on._col_prov["a"]] == [expected_entity(x) for x in labels]
    assert [entity_bits(p) for p in off._col_prov["a"]] == [0, 0, 0]


@pytest.mark.parametrize("index", [
    pd.RangeIndex(3),
    pd.RangeIndex(-7, 50_000, 171),
    pd.RangeIndex(2**62, 2**62 + 3),  # beyond the hash modulus
    pd.RangeIndex(2**63 - 2, 2**63 + 1),  # labels crossing the int64 range
    pd.Index([-1, -2, 2**61 - 1, -(2**63)], dtype="int64"),  # hash(-1) is -2
    pd.Index([0, 2**63 + 5, 2**64 - 1], dtype="uint64"),
    pd.Index([5, -300, 7], dtype="int32"),
    pd.Index([1, 2, 3], dtype="Int64"),
    pd.Index([1, None, 3], dtype="Int64"),
    pd.Index(["a", "bb", "ccc"]),
    pd.Index(["a", None, 4, (1, 2), 2**70], dtype=object),
    pd.Index([0.5, -1.0, 3.0]),
    pd.Index([True, False]),
    pd.date_range("2024-01-01", periods=3, freq="D"),
    pd.MultiIndex.from_tuples([("a", 1), ("b", 2)]),
    pd.CategoricalIndex(["u", "v", "u"]),
], ids=lambda ix: f"{type(ix).__name__}[{ix.dtype}]")
def test_entity_hash_matches_python_hash(tracker, index):
    df = pd.DataFrame({"a": np.zeros(len(index)), "b": np.ones(len(index))}, index=index)
    w = wrap_dataframe(df, tracker, "t")
    expected = [expected_entity(index[i]) for i in range(len(index))]
    assert [entity_bits(p) for p in w._col_prov["a"]] == expected
    assert [entity_bits(p) for p in w._col_prov["b"]] == expected
    assert expected == [tracker.entity_from_row(index[i]) % 256 for i in range(len(index))]
    assert expected == [v._hash_entity(index[i]) % 256 for i in range(len(index))]


def test_unhashable_labels_raise_only_with_entities(tracker):
    df = pd.DataFrame({"a": [1, 2]}, index=pd.Index([[1], [2]], dtype=object))
    with pytest.raises(TypeError, match="unhashable"):
        wrap_dataframe(df, tracker, "t")
    assert wrap_dataframe(df, tracker, "u", include_entity=False)._col_prov["a"].tolist()[0] > 0


def test_table_must_be_exact_str(tracker):
    class Text(str):
        pass

    for bad, name in [(Text("t"), "Text"), (None, "NoneType"), (b"t", "bytes")]:
        with pytest.raises(TypeError, match=rf"^Argument 'table' has incorrect type \(expected str, got {name}\)$"):
            wrap_dataframe(frame(), tracker, bad, protected=True)
    assert tracker.stats()["registered_pairs"] == 0 and not tracker._protected_tables


def test_513th_pair_in_the_middle_of_a_frame(tracker):
    for i in range(510):
        tracker.register("filler", f"c{i}")
    df = pd.DataFrame({"x": [1], "y": [2], "z": [3], "w": [4]})
    with pytest.raises(ValueError, match="^Maximum 512 pairs supported$"):
        wrap_dataframe(df, tracker, "t")
    assert tracker.get_id("t", "x") == 510 and tracker.get_id("t", "y") == 511
    assert tracker.get_id("t", "z") is None and tracker._next_id == 512
    assert isinstance(wrap_dataframe(df[["x", "y"]], tracker, "t"), TrackedDataFrame)


class Recording(ProvenanceTracker):
    def __init__(self):
        super().__init__()
        self.calls = []

    def register(self, table, column, protected=False):
        self.calls.append(("register", column, bool(protected)))
        return super().register(table, column, protected)

    def is_protected(self, table, column=None):
        self.calls.append(("is_protected", column))
        return column == "b"

    def entity_from_row(self, row_id):
        self.calls.append(("entity", row_id))
        return -1 if row_id == "y" else 7

    def update_chain(self, provenance, op):
        self.calls.append(("update_chain", op))
        return 12345


def test_tracker_overrides_are_honoured():
    tracker = Recording()
    w = wrap_dataframe(frame(index=["x", "y", "z"]), tracker, "t", protected=["a"])
    assert tracker.calls[:2] == [("register", "a", True), ("is_protected", "a")]
    # an overridden entity_from_row is called per label, for every column
    assert [c for c in tracker.calls if c[0] == "entity"] == [("entity", x) for x in "xyz"] * 2
    assert [entity_bits(p) for p in w._col_prov["a"]] == [7, 255, 7]  # -1 % 256
    assert [tracker.is_tainted(int(p)) for p in w._col_prov["a"]] == [False] * 3
    assert all(tracker.is_tainted(int(p)) for p in w._col_prov["b"])
    merged = w.merge(w[["a"]], on="a")
    assert merged._col_prov["b"].tolist() == [12345] * 3
    assert ("update_chain", OpCode.MERGE) in tracker.calls


def test_getitem_variants(tracker):
    w = wrap_dataframe(frame(4), tracker, "t")
    sub = w[["a"]]
    assert isinstance(sub, TrackedDataFrame) and sub._tracker is tracker
    assert isinstance(w[1:3], TrackedDataFrame)
    w["c"] = 5  # untracked: no provenance stored, zeros on read
    assert "c" not in w._col_prov
    c = w["c"]
    assert isinstance(c, TrackedSeries) and c._prov.tolist() == [0] * 4 and c._prov.dtype == np.uint32


def test_boolean_mask_keeps_long_arrays(tracker):
    w = wrap_dataframe(frame(4, index=["p", "q", "r", "s"]), tracker, "t")
    filtered = w[w["a"] > 1]
    assert isinstance(filtered, TrackedDataFrame) and len(filtered) == 2
    assert len(filtered._col_prov["a"]) == 4  # nothing re-aligns the stored arrays
    col = filtered["a"]
    assert col._prov.tolist() == [int(w._col_prov["a"][0])] * 2  # the first stored row, broadcast
    assert list(col.index) == ["r", "s"]
    empty_prov = TrackedDataFrame({"a": [1.0, 2.0]}, _col_prov={"a": np.zeros(0, np.uint32)})
    assert empty_prov["a"]._prov.tolist() == [0, 0]
    other_dtype = TrackedDataFrame({"a": [1.0, 2.0]}, _col_prov={"a": np.array([9, 8, 7], np.int64)})
    assert other_dtype["a"]._prov.tolist() == [9, 9] and other_dtype["a"]._prov.dtype == np.int64


def test_setitem(tracker):
    w = wrap_dataframe(frame(3), tracker, "t")
    derived = w["a"] + w["b"]
    w["sum"] = derived
    assert w._col_prov["sum"] is not derived._prov
    np.testing.assert_array_equal(w._col_prov["sum"], derived._prov)
    np.testing.assert_array_equal(w["sum"]._prov, derived._prov)
    w["a"] = [7.0, 8.0, 9.0]  # untracked value: the old words would describe other values
    assert "a" not in w._col_prov and w["a"]._prov.tolist() == [0, 0, 0]
    assert {r["column"]: r["risk_level"] for r in column_risk_report(w)}["a"] == "UNTRACKED"


@pytest.mark.filterwarnings("ignore:(?s).*value is trying to be set on a copy")
@pytest.mark.parametrize("derive", [
    lambda w: w[w["a"] > 0],
    lambda w: w.head(2),
    lambda w: w.copy(),
    lambda w: w[["a", "b"]],
    lambda w: w.iloc[1:],
    lambda w: w.sort_values("a", ascending=False),
], ids=["mask", "head", "copy", "columns", "iloc", "sort"])
def test_derived_frames_get_their_own_provenance_dict(tracker, derive):
    w = wrap_dataframe(frame(3), tracker, "t")
    before = dict(w._col_prov)
    derived = derive(w)
    assert derived._col_prov is not w._col_prov
    assert derived._col_prov.keys() <= before.keys()
    for key, arr in derived._col_prov.items():
        assert arr is before[key]  # shallow: the arrays are shared, never written in place
    derived["a"] = derived["b"] * 2
    derived["new"] = derived["b"] + 1
    assert w._col_prov == before and "new" not in w._col_prov


def test_merge_two_wrapped_frames(tracker):
    left = wrap_dataframe(pd.DataFrame({"key": [1, 2, 3], "x": [1.0, 2.0, 3.0], "both": [0, 0, 0]}),
                          tracker, "left", protected=["x"])
    right = wrap_dataframe(pd.DataFrame({"key": [3, 1, 2], "y": [7, 8, 9], "both": [1, 1, 1]}),
                           tracker, "right")
    merged = left.merge(right, on="key")
    assert isinstance(merged, TrackedDataFrame) and merged._tracker is tracker
    # Columns pandas suffixes keep their side's words like the others.
    assert list(merged._col_prov) == ["key", "x", "y", "both_x", "both_y"]
    for col, source in [("key", left), ("x", left), ("y", right), ("both_x", left),
                        ("both_y", right)]:
        arr = merged._col_prov[col]
        assert arr.dtype == np.uint32 and len(arr) == len(merged)
        first = int(source._col_prov[col.split("_")[0]][0])
        assert arr.tolist() == [tracker.update_chain(first, OpCode.MERGE)] * len(merged)
        assert depth(arr[0]) == 1
    assert tracker.is_tainted(int(merged._col_prov["x"][0]))
    with_plain = left.merge(pd.DataFrame({"key": [1], "z": [5]}), on="key")
    assert list(with_plain._col_prov) == ["key", "x", "both"]


def test_merge_without_tracker_broadcasts_first_value():
    left = TrackedDataFrame({"k": [1, 2], "a": [1, 2]},
                            _col_prov={"k": np.array([5, 6], np.uint32), "a": np.zeros(0, np.uint32)})
    merged = left.merge(TrackedDataFrame({"k": [1, 2, 2]}), on="k")
    assert merged._col_prov["k"].tolist() == [5, 5, 5]
    assert merged._col_prov["a"].tolist() == [0, 0, 0]
    assert merged._tracker is None


def test_frames_with_mixed_label_types(tracker):
    df = pd.DataFrame({0: [1.0, 2.0], "s": [3.0, 4.0], datetime.date(2024, 1, 1): [5.0, 6.0]})
    w = wrap_dataframe(df, tracker, "t", protected=["0"])
    assert list(w._col_prov) == [0, "s", datetime.date(2024, 1, 1)]  # keyed by the labels
    assert tracker.get_id("t", "2024-01-01") is not None
    assert tracker.is_tainted(int(w[0]._prov[0]))
