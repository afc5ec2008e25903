"""DAGTrackedDataFrame and wrap_dataframe_dag: registration, per-cell provenance, source nodes,
recorded source values (as a row lookup gives them, on frames of mixed dtypes), column access
and assignment, derived frames, merges, and persistence through a writer."""
import warnings

import numpy as np
import pandas as pd
import pytest

from dag_support import TYPE_ERROR, check_invariants, records, split, stored
from lumarq.utilities.vantor32 import OpCode, TrackedDataFrame
from lumarq.utilities.vantor32_dag import (DAGTrackedDataFrame, DAGTrackedSeries, DAGTracker,
                                           NodeType, wrap_dataframe_dag)


@pytest.fixture
def t():
    return DAGTracker()


def frame(rows=3, index=None):
    return pd.DataFrame({"a": np.arange(rows, dtype=float), "b": np.arange(rows) * 10}, index=index)


def entity(label):
    return 0 if label is None else (hash(label) & 0xFFFFFFFF) % 256


def expected_words(t, table, col, labels, tainted, include_entity=True):
    pair = t.get_id(table, str(col))
    return [t.encode({pair}, entity=entity(l) if include_entity else 0, chain=0, taint=tainted, depth=0)
            for l in labels]


def test_class_protocol(t):
    assert DAGTrackedDataFrame.__module__ == "lumarq.utilities.vantor32_dag"
    assert DAGTrackedDataFrame.__qualname__ == "DAGTrackedDataFrame"
    assert DAGTrackedDataFrame.__doc__ == "Pandas DataFrame with DAG-tracked provenance."
    assert DAGTrackedDataFrame._metadata == ["_tracker", "_col_prov", "_col_nodes"]
    assert issubclass(DAGTrackedDataFrame, pd.DataFrame)
    assert not issubclass(DAGTrackedDataFrame, TrackedDataFrame)
    df = DAGTrackedDataFrame({"a": [1]})
    assert df._constructor is DAGTrackedDataFrame and df._constructor_sliced is DAGTrackedSeries
    assert df._tracker is None and df._col_prov == {} and df._col_nodes == {}
    prov, nodes = {"a": np.zeros(1, np.uint32)}, {"a": np.zeros(1, np.int64)}
    given = DAGTrackedDataFrame({"a": [1]}, _tracker=t, _col_prov=prov, _col_nodes=nodes)
    assert given._col_prov is prov and given._col_nodes is nodes and given._tracker is t


def test_wrap_registers_encodes_and_logs_one_source_node_per_column(t):
    df = frame(index=["x", "y", "z"])
    w = wrap_dataframe_dag(df, t, "loans", protected=["b"])
    assert type(w) is DAGTrackedDataFrame and w._tracker is t and list(w._col_prov) == ["a", "b"]
    assert t.get_id("loans", "a") == 0 and t.get_id("loans", "b") == 1
    for col, node_id, tainted in (("a", 0, False), ("b", 1, True)):
        words = expected_words(t, "loans", col, ["x", "y", "z"], tainted)
        assert w._col_prov[col].dtype == np.uint32 and w._col_prov[col].tolist() == words
        assert w._col_nodes[col].dtype == np.int64 and w._col_nodes[col].tolist() == [node_id] * 3
        node = t.get_node(node_id)
        assert node.node_type is NodeType.SOURCE and node.operation == f"loans.{col}"
        assert node.provenance == words[0] and node.is_protected is tainted
        assert (node.table, node.column, node.pair_id) == ("loans", col, node_id)
    assert [(r.row_index, r.fingerprint, r.node_operation, r.column_name, r.value) for r in records(t)] == [
        (i, int(w._col_prov[c][i]), f"loans.{c}", c, float(df[c].iloc[i])) for c in "ab" for i in range(3)]
    again = wrap_dataframe_dag(df, t, "loans")  # the pairs and source nodes are reused
    assert again._col_nodes["b"].tolist() == [1, 1, 1] and len(t._nodes) == 2
    assert again._col_prov["b"].tolist() == w._col_prov["b"].tolist()  # protection stays


@pytest.mark.parametrize("protected, tainted", [
    (True, {"a", "b", "1"}), (False, set()), (None, set()), ("yes", {"a", "b", "1"}),
    (["a"], {"a"}), (("a",), {"a"}), ({"a", "zzz"}, {"a"}), (["1"], {"1"}),
    # Any other collection names columns too, instead of acting as one flag.
    (frozenset({"b"}), {"b"}), (pd.Index(["b"]), {"b"}), (np.array(["a", "b"]), {"a", "b"}),
    ({"a": 1}.keys(), {"a"}), (np.bool_(True), {"a", "b", "1"}),
], ids=["True", "False", "None", "text", "list", "tuple", "set", "label-as-text", "frozenset",
        "Index", "ndarray", "keys", "numpy-bool"])
def test_protected_columns(t, protected, tainted):
    df = pd.DataFrame({"a": [1.0], "b": [2.0], 1: [3.0]})
    w = wrap_dataframe_dag(df, t, "t", protected=protected)
    got = {str(c) for c in df.columns if t.decode_full(int(w._col_prov[c][0])).taint}
    assert got == tainted
    assert not t.is_protected("t")  # the table as a whole is never marked here
    assert {n.column for n in t._nodes.values() if n.is_protected} == tainted


def test_earlier_protection_and_include_entity(t):
    t.register("t", "a", True)
    w = wrap_dataframe_dag(frame(index=[10, 20, 30]), t, "t", False, False)
    assert t.decode_full(int(w._col_prov["a"][0])).taint and not t.decode_full(int(w._col_prov["b"][0])).taint
    assert len(set(w._col_prov["b"].tolist())) == 1  # entity 0 for every row
    assert w._col_prov["b"].tolist() == expected_words(t, "t", "b", [0, 0, 0], False, include_entity=False)


@pytest.mark.parametrize("index", [
    pd.RangeIndex(5, 20, 5), pd.Index([-1, 2 ** 62, -(2 ** 63)]), pd.Index([2 ** 64 - 1, 0, 7], dtype="uint64"),
    pd.Index([1, 2, 3], dtype="int8"), pd.Index(["x", "y", None]), pd.Index([1.5, -0.0, 2.0]),
    pd.MultiIndex.from_tuples([("a", 1), ("b", 2), ("c", 3)]), pd.date_range("2024-01-01", periods=3),
    pd.RangeIndex(2 ** 63 - 2, 2 ** 63 + 1),
], ids=["range", "int64", "uint64", "int8", "text", "float", "multi", "dates", "range past int64"])
def test_entity_hashes_of_row_labels(t, index):
    w = wrap_dataframe_dag(frame(index=index), t, "t")
    assert w._col_prov["a"].tolist() == expected_words(t, "t", "a", list(index), False)


MIXED = {
    "int+float": pd.DataFrame({"i": [1, 2, 2 ** 60 + 1], "f": [0.5, np.nan, 2.0]}),
    "int+bool": pd.DataFrame({"i": [1, 2, 3], "b": [True, False, True]}),
    "text": pd.DataFrame({"s": ["x", None, "12"], "n": [np.nan, 1.0, 2.0], "i": [4, 5, 6]}),
    "text-only": pd.DataFrame({"s": ["x", None, "3.5"], "u": ["n/a", "y", None]}),
    "dates+float": pd.DataFrame({"d": pd.to_datetime(["2024-01-01", None, "2024-03-01"]), "f": [1.0, 2.0, np.nan]}),
    "date-units": pd.DataFrame({"s": pd.to_datetime(["2024-01-01", None, "2024-03-01"]).astype("datetime64[s]"),
                                "ns": pd.to_datetime(["2024-01-01", "2024-02-01", None])}),
    "timezones": pd.DataFrame({"e": pd.to_datetime(["2024-01-01", None, "2024-03-01"]).tz_localize("US/Eastern"),
                               "u": pd.to_datetime(["2024-01-01", "2024-02-01", None]).tz_localize("UTC")}),
    "float32": pd.DataFrame({"f": np.array([1.5, np.nan, 2.0], np.float32)}),
    "float32+float64": pd.DataFrame({"f": np.array([1.5, np.nan, 2.0], np.float32), "d": [1.0, 2.0, 3.0]}),
    "all": pd.DataFrame({"i": [1, 2, 3], "f": [0.5, np.nan, 2.0], "b": [True, False, True],
                         "s": ["x", None, "12"], "o": [None, np.nan, 7],
                         "d": pd.to_datetime(["2024-01-01", None, "2024-03-01"]),
                         "f32": np.array([1.5, np.nan, 2.0], np.float32)}),
    "nullable": pd.DataFrame({"a": pd.array([1, None, 3], dtype="Int64"), "b": pd.array([1.5, 2.5, None], dtype="Float64")}),
    "nullable+float": pd.DataFrame({"a": pd.array([1, None, 3], dtype="Int64"), "b": [1.5, np.nan, 2.0]}),
    "categorical": pd.DataFrame({"c": pd.Categorical([1, None, 2]), "i": [1, 2, 3]}),
    "repeated-labels": pd.DataFrame([[1, 2.5], [3, np.nan], [5, 6.0]], columns=["a", "a"]),
    "ints": pd.DataFrame({"i": [1, 2, 3], "j": [-4, 5, 6]}),
}


@pytest.mark.parametrize("name", list(MIXED))
def test_recorded_source_values_are_those_of_a_row_lookup(t, name):
    df = MIXED[name]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        w = wrap_dataframe_dag(df, t, "t")
    expected = []
    for col in dict.fromkeys(df.columns):  # a repeated label is wrapped once per occurrence
        for _ in range(list(df.columns).count(col)):
            for i in range(len(df)):
                try:
                    raw = df.iloc[i][col]
                except Exception:
                    continue  # the lookup's own error: the row is not recorded
                if split(raw) is not None:
                    expected.append((i, int(w._col_prov[col][i]), f"t.{col}", str(col), split(raw)))
    got = [(r.row_index, r.fingerprint, r.node_operation, r.column_name, stored(r)) for r in records(t)]
    assert got == expected


def test_python_overrides_are_called_per_cell_in_order():
    class Noting(DAGTracker):
        def __init__(self):
            super().__init__()
            self.calls = []

        def register(self, table, column, protected=False):
            self.calls.append(("register", column, protected))
            return super().register(table, column, protected)

        def is_protected(self, table, column=None):
            self.calls.append(("is_protected", column))
            return super().is_protected(table, column)

        def entity_from_row(self, row_id):
            self.calls.append(("entity", row_id))
            return 1000 + row_id

        def encode(self, pairs, entity=0, chain=0, taint=False, depth=0):
            self.calls.append(("encode", pairs, entity, chain, taint, depth))
            return super().encode(pairs, entity, chain, taint, depth)

        def create_source_node(self, table, column, provenance):
            self.calls.append(("source", column, provenance))
            return super().create_source_node(table, column, provenance)

        def record_row_value(self, row_index, fingerprint, operation, value=None, column_name=None):
            self.calls.append(("record", row_index, fingerprint, operation, value, column_name))
            return super().record_row_value(row_index, fingerprint, operation, value, column_name)

    t = Noting()
    w = wrap_dataframe_dag(pd.DataFrame({"a": [1.5, np.nan], "b": [3, 4]}, index=[7, 8]), t, "T", "on")
    calls = list(t.calls)
    a, b = w._col_prov["a"].tolist(), w._col_prov["b"].tolist()
    plain = DAGTracker()
    assert a == [plain.encode({0}, entity=(1000 + r) % 256, taint=True) for r in (7, 8)]
    e7, e8 = 1007 % 256, 1008 % 256
    assert calls == [
        ("register", "a", "on"), ("is_protected", "a"),
        ("entity", 7), ("encode", {0}, e7, 0, True, 0),
        ("source", "a", a[0]), ("is_protected", "a"),  # the latter from create_source_node itself
        ("record", 0, a[0], "T.a", 1.5, "a"),
        ("entity", 8), ("encode", {0}, e8, 0, True, 0),  # a NaN cell: no record
        ("register", "b", "on"), ("is_protected", "b"),
        ("entity", 7), ("encode", {1}, e7, 0, True, 0),
        ("source", "b", b[0]), ("is_protected", "b"),
        ("record", 0, b[0], "T.b", 3.0, "b"),
        ("entity", 8), ("encode", {1}, e8, 0, True, 0),
        ("record", 1, b[1], "T.b", 4.0, "b")]
    assert w._col_nodes["b"].tolist() == [1, 1]


def test_native_encoding_equals_the_tracker_methods():
    native, python = DAGTracker(), DAGTracker()
    python.encode = lambda pairs, entity=0, chain=0, taint=False, depth=0: DAGTracker.encode(
        python, pairs, entity, chain, taint, depth)  # an instance attribute: the per-cell path
    df = pd.DataFrame({"a": np.arange(600.0), "b": np.arange(600) % 7}, index=np.arange(600) * 7919 - 10 ** 6)
    w1 = wrap_dataframe_dag(df, native, "t", protected=["b"])
    w2 = wrap_dataframe_dag(df, python, "t", protected=["b"])
    for col in "ab":
        assert w1._col_prov[col].tolist() == w2._col_prov[col].tolist()
    assert native._value_buffer == python._value_buffer and native._nodes == python._nodes


def test_empty_frame(t):
    w = wrap_dataframe_dag(pd.DataFrame({"a": [], "b": []}), t, "t")
    assert t.get_id("t", "a") == 0 and t.get_id("t", "b") == 1
    assert w._col_prov["a"].dtype == np.uint32 and len(w._col_prov["a"]) == 0
    assert w._col_nodes["b"].dtype == np.int64 and len(w._col_nodes["b"]) == 0
    assert t._nodes == {} and records(t) == []
    col = w["a"]
    assert len(col) == 0 and len(col + w["b"]) == 0 and t._nodes == {}


def test_wrap_errors(t):
    with pytest.raises(TypeError, match=TYPE_ERROR.format("table", "str", "NoneType")):
        wrap_dataframe_dag(frame(), t, None)

    class Text(str):
        pass

    with pytest.raises(TypeError, match=TYPE_ERROR.format("table", "str", "Text")):
        wrap_dataframe_dag(frame(), t, Text("t"))
    with pytest.raises(TypeError):
        wrap_dataframe_dag(frame(), t)
    assert t._next_id == 0
    with pytest.raises(ValueError, match="^table and column must be non-empty strings$"):
        wrap_dataframe_dag(pd.DataFrame({"a": [1], "": [2]}), t, "t")
    assert t.get_id("t", "") == 1  # registered before the source node failed
    full = DAGTracker()
    full.register_table("x", [f"c{i}" for i in range(511)])
    with pytest.raises(ValueError, match="^Maximum 512 pairs supported$"):
        wrap_dataframe_dag(frame(), full, "t")
    assert full.get_id("t", "a") == 511 and full.get_id("t", "b") is None


def test_getitem_copies_and_broadcasts(t):
    w = wrap_dataframe_dag(frame(index=[10, 20, 30]), t, "t")
    col = w["a"]
    assert type(col) is DAGTrackedSeries and col.name == "a" and col._tracker is t
    assert list(col.index) == [10, 20, 30]
    assert col._prov.tolist() == w._col_prov["a"].tolist() and col._prov is not w._col_prov["a"]
    assert col._node_ids.tolist() == [0, 0, 0] and not np.shares_memory(col._node_ids, w._col_nodes["a"])
    assert type(w[["a", "b"]]) is DAGTrackedDataFrame
    filtered = w[w["b"] > 5]  # a boolean row mask: a frame, returned as pandas made it
    assert type(filtered) is DAGTrackedDataFrame and len(filtered) == 2
    first = filtered["b"]  # arrays longer than the rows: every row takes the first entry
    assert first._prov.tolist() == [w._col_prov["b"][0]] * 2 and first._node_ids.tolist() == [1, 1]
    w["plain"] = [1.0, 2.0, 3.0]
    untracked = w["plain"]  # no arrays stored: provenance 0 and no node
    assert untracked._prov.tolist() == [0, 0, 0] and untracked._node_ids.tolist() == [-1, -1, -1]
    w._col_prov["e"], w._col_nodes["e"] = np.array([], np.uint32), np.array([], np.int64)
    w["e"] = [1.0, 2.0, 3.0]
    empty = w["e"]  # empty arrays broadcast as "no provenance, no node"
    assert empty._prov.tolist() == [0, 0, 0] and empty._node_ids.tolist() == [-1, -1, -1]
    nodes = len(t._nodes)
    result = untracked + w["a"]  # no node can be logged without an input node; rows are recorded
    assert result._node_ids.tolist() == [-1, -1, -1] and len(t._nodes) == nodes
    assert [r.node_operation for r in records(t)][-3:] == ["add"] * 3


def test_setitem_takes_over_tracked_arrays(t):
    w = wrap_dataframe_dag(frame(), t, "t")
    derived = w["a"] * w["b"]
    w["c"] = derived
    assert w._col_prov["c"].tolist() == derived._prov.tolist() and w._col_prov["c"] is not derived._prov
    assert w._col_nodes["c"].tolist() == derived._node_ids.tolist() and w._col_nodes["c"] is not derived._node_ids
    assert w["c"]._node_ids.tolist() == [2, 3, 4]
    w["a"] = [7.0, 8.0, 9.0]  # a plain value: the old words and nodes would describe other values
    assert "a" not in w._col_prov and "a" not in w._col_nodes and w["a"].tolist() == [7.0, 8.0, 9.0]
    assert w["a"]._prov.tolist() == [0, 0, 0] and w["a"]._node_ids.tolist() == [-1, -1, -1]


@pytest.mark.parametrize("derive", [
    lambda w: w[w["a"] >= 0], lambda w: w.head(2), lambda w: w.copy(), lambda w: w.iloc[1:],
], ids=["mask", "head", "copy", "iloc"])
def test_derived_frames_own_their_dicts(t, derive):
    w = wrap_dataframe_dag(frame(), t, "t")
    prov, nodes = dict(w._col_prov), dict(w._col_nodes)
    d = derive(w)
    assert d._col_prov is not w._col_prov and d._col_nodes is not w._col_nodes
    assert d._col_prov["a"] is w._col_prov["a"]  # the arrays are shared: never written in place
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # pandas 2 warns of assignments to a slice
        d["a"] = d["b"] * 2.0
        d["z"] = d["b"] * 2.0
    assert w._col_prov == prov and w._col_nodes == nodes  # the parent is untouched
    assert "z" in d._col_nodes and "z" not in w._col_nodes


def merge_frames(t):
    left = wrap_dataframe_dag(pd.DataFrame({"k": [1, 2, 3], "x": [1.0, 2.0, 3.0], "v": [0, 0, 0]}), t, "L")
    right = wrap_dataframe_dag(pd.DataFrame({"k": [3, 1], "y": [30.0, 10.0], "v": [1, 1]}), t, "R")
    return left, right


def test_merge_of_two_tracked_frames(t):
    left, right = merge_frames(t)
    m = left.merge(right, on="k")
    assert type(m) is DAGTrackedDataFrame and m._tracker is t and len(m) == 2
    # Suffixed columns keep their side's merged words too (no merge node of their own).
    assert list(m._col_prov) == ["k", "x", "y", "v_x", "v_y"]
    assert list(m._col_nodes) == ["k", "x", "y"]
    for col, side in (("k", left), ("x", left), ("y", right)):
        merged = t.update_chain(int(side._col_prov[col][0]), OpCode.MERGE)
        assert m._col_prov[col].tolist() == [merged] * 2 and m._col_prov[col].dtype == np.uint32
        node = t.get_node(int(m._col_nodes[col][0]))
        assert m._col_nodes[col].tolist() == [node.node_id] * 2 and m._col_nodes[col].dtype == np.int64
        assert node.node_type is NodeType.UNARY and node.operation == "merge"
        assert node.inputs == [int(side._col_nodes[col][0])] and node.provenance == merged
    assert len(t._nodes) == 6 + 3  # one merge node per kept column
    for col, side in (("v_x", left), ("v_y", right)):
        merged = t.update_chain(int(side._col_prov["v"][0]), OpCode.MERGE)
        assert m[col]._prov.tolist() == [merged] * 2 and m[col]._node_ids.tolist() == [-1, -1]


def test_merge_with_a_plain_frame_and_without_a_tracker(t):
    left, _ = merge_frames(t)
    m = left.merge(pd.DataFrame({"k": [1, 2], "y": [5.0, 6.0]}), on="k")
    assert list(m._col_prov) == ["k", "x", "v"] and list(m._col_nodes) == ["k", "x", "v"]
    assert m["y"]._node_ids.tolist() == [-1, -1]
    loose = DAGTrackedDataFrame({"k": [1, 2]}, _col_prov={"k": np.array([9, 8], np.uint32)},
                                _col_nodes={"k": np.array([0, 0])})
    m = loose.merge(pd.DataFrame({"k": [2, 1, 1]}), on="k")
    assert m._col_prov["k"].tolist() == [9, 9, 9] and m._col_nodes == {}  # no tracker: unchanged
    w = wrap_dataframe_dag(pd.DataFrame({"k": [1, 2]}), t, "W")
    w._col_nodes["k"] = np.array([-1, 4])  # no node for the first row: no merge node
    m = w.merge(pd.DataFrame({"k": [1]}), on="k")
    assert "k" in m._col_prov and "k" not in m._col_nodes
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'items'"):
        w._merge_col_provenance(None, {}, {"k"}, 1, {}, {})


class ListWriter:
    def __init__(self):
        self.batches = []

    def write_row_values(self, values):
        self.batches.append(values)

    def __bool__(self):
        return True


def test_records_reach_an_attached_writer_in_order():
    class Persisting(DAGTracker):
        def _persist_node(self, node):
            self.persisted.append(node.node_id)

    t = Persisting(tenant_id="acme")
    t.persisted, t._writer, t._pipeline_id = [], ListWriter(), 3
    n = 2600
    w = wrap_dataframe_dag(pd.DataFrame({"a": np.arange(n, dtype=float), "b": np.ones(n)}), t, "t")
    result = w["a"] + w["b"]
    handed = [r for batch in t._writer.batches for r in batch]
    assert [len(b) for b in t._writer.batches] == [5000]
    everything = handed + t._value_buffer
    assert [(r.node_operation, r.row_index) for r in everything] == (
        [("t.a", i) for i in range(n)] + [("t.b", i) for i in range(n)] + [("add", i) for i in range(n)])
    assert all(r.pipeline_id == 3 and r.tenant_id == "acme" for r in everything)
    assert t.persisted == list(range(n + 2)) and result._node_ids.tolist() == list(range(2, n + 2))
    check_invariants(t)


def test_a_pipeline_run_persists_its_records_into_sqlite(tmp_path):
    from lumarq.utilities.persistence import HostedStorage

    url = "sqlite:///" + str(tmp_path / "prov.db")
    tracker = DAGTracker(api_key="k", tenant_id="acme", service_url=url, pipeline_name="loans")
    df = pd.DataFrame({"income": [10.0, np.nan, 30.0], "age": [40, 50, 60]})
    w = wrap_dataframe_dag(df, tracker, "loans", protected=["age"])
    ratio = w["income"] / w["age"]
    pipeline = tracker._pipeline_id
    assert tracker.flush() is True
    tracker.disable_persistence()
    storage = HostedStorage(api_url=url, api_key=None, tenant_id="acme")
    storage.connect()
    try:
        rows = storage.get_row_values(pipeline)
        assert storage.count_row_values(pipeline) == len(rows) == 2 + 3 + 2
        assert [(r.row_index, r.fingerprint, r.node_operation, r.value, r.column_name) for r in rows] == (
            [(0, int(w._col_prov["income"][0]), "loans.income", 10.0, "income"),
             (2, int(w._col_prov["income"][2]), "loans.income", 30.0, "income")]
            + [(i, int(w._col_prov["age"][i]), "loans.age", float(df["age"][i]), "age") for i in range(3)]
            + [(i, int(ratio._prov[i]), "div", ratio.iloc[i], None) for i in (0, 2)])
        nodes = {(n["node_type"], n["operation"], n["fingerprint"]) for n in storage.get_nodes(pipeline)}
        assert ("SOURCE", "loans.age", int(w._col_prov["age"][0])) in nodes
        assert {("BINARY", "div", int(p)) for p in ratio._prov} <= nodes
    finally:
        storage.disconnect()
