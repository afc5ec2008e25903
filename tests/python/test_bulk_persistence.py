"""DAGTracker bulk writes against recording storage objects: the DAG write of flush,
persist_to_storage and persist_results."""
import hashlib

import numpy as np
import pandas as pd
import pytest
from persistence_fakes import FakeNode, install_fake_component

from lumarq.utilities.vantor32_dag import DAGTracker

TYPE_ERROR = r"Argument '{}' has incorrect type \(expected {}, got {}\)"


def small_dag(t):
    """Sources g (protected) and i; two adds with one provenance; a neg of each; an evicted
    input. Returns the provenance values and node ids."""
    pg, pi = t.encode({0}, 5, 0, True, 0), t.encode({1}, 6, 0, False, 0)
    g = t.create_source_node("loans", "gender", pg)
    i = t.create_source_node("loans", "income", pi)
    p = t.combine(pg, pi, 1)
    a1, a2 = t.log_binary("add", g, i, p), t.log_binary("add", g, i, p)
    q = t.update_chain(p, 5)
    n1, n2 = t.log_unary("neg", a1, q), t.log_unary("neg", a2, q)
    gone = t.log_unary("abs", i, 99)
    last = t.log_binary("sub", gone, n1, 1234)
    del t._nodes[gone]
    return dict(pg=pg, pi=pi, p=p, q=q, ids=(g, i, a1, a2, n1, n2, gone, last))


@pytest.fixture
def comp(monkeypatch):
    return install_fake_component(monkeypatch)


def test_the_dag_write_stores_each_fingerprint_once_with_resolved_edges(comp):
    t = DAGTracker(api_key="k", pipeline_name="p")
    t._writer = None  # the bulk write only
    t.register("loans", "gender", True)
    v = small_dag(t)
    comp.fp_map = {v["pg"]: 10, v["pi"]: 11, v["p"]: 12, v["q"]: 13}  # 1234 was not stored
    comp.log.clear()
    t._persist_dag_to_storage()
    assert comp.names() == ["store_nodes", "get_fingerprint_node_map", "store_edges_resolved"]
    nodes = comp.log[0][1]
    assert [n.fields["fingerprint"] for n in nodes] == [v["pg"], v["pi"], v["p"], v["q"], 1234]
    first_add = nodes[2].fields
    info = t.decode_full(v["p"])
    assert first_add == dict(fingerprint=v["p"], node_type="BINARY", operation="add", table_name=None,
                             column_name=None, pair_id=None, is_protected=True, entity_hash=info.entity,
                             chain_hash=info.chain, metadata={}, pipeline_id=1)
    assert nodes[0].fields["pair_id"] == 0 and nodes[0].fields["is_protected"] is True
    assert comp.log[1] == ("get_fingerprint_node_map", 1)
    assert comp.log[2][1] == [(10, 12, 0), (11, 12, 1), (12, 13, 0)]
    assert (t._nodes_written, t._edges_written) == (5, 3)


@pytest.mark.parametrize("build, calls, written", [
    (lambda t: None, ["get_fingerprint_node_map"], (0, 0)),
    (lambda t: t.create_source_node("a", "b", 3), ["store_nodes", "get_fingerprint_node_map"], (1, 0)),
])
def test_without_nodes_or_edges_nothing_is_sent_for_them(comp, build, calls, written):
    t = DAGTracker(api_key="k")
    t._writer = None
    build(t)
    comp.fp_map = {3: 1}
    t._nodes_written = t._edges_written = 0
    comp.log.clear()
    t._persist_dag_to_storage()
    assert comp.names() == calls and (t._nodes_written, t._edges_written) == written


def test_persist_to_storage_sends_the_registry_raw_nodes_and_completes(comp):
    t = DAGTracker()
    t.register("loans", "gender", True)
    t.register("loans", "income")
    v = small_dag(t)
    comp.fp_map = {v["pg"]: 1, v["pi"]: 2, v["p"]: 3, v["q"]: 4, 1234: 5}
    assert t.persist_to_storage(comp.HostedStorage()) == 1
    assert comp.names() == ["HostedStorage", "create_pipeline", "register_source", "register_source",
                            "store_nodes", "get_fingerprint_node_map", "store_edges_resolved",
                            "complete_pipeline"]
    assert comp.log[1] == ("create_pipeline", "unnamed")
    assert comp.log[2:4] == [("register_source", 0, "loans", "gender", {"is_protected": True}),
                             ("register_source", 1, "loans", "income", {"is_protected": False})]
    assert comp.log[4][1][0] == FakeNode(fingerprint=v["pg"], node_type="SOURCE", operation="loans.gender",
                                         table_name="loans", column_name="gender", pair_id=0,
                                         is_protected=True, pipeline_id=1)
    assert comp.log[6][1] == [(1, 3, 0), (2, 3, 1), (3, 4, 0), (4, 5, 1)]
    assert comp.log[7] == ("complete_pipeline", 1, "completed")
    assert not hasattr(t, "_nodes_written") and t._pipeline_id is None and t._nodes_persisted is False


@pytest.mark.parametrize("name, pid, created", [("credit", None, ("create_pipeline", "credit")),
                                                ("credit", 7, None), (None, np.int64(8), None)])
def test_persist_to_storage_uses_a_given_pipeline(comp, name, pid, created):
    t = DAGTracker(pipeline_name=name)
    result = t.persist_to_storage(comp.HostedStorage(), pid)
    assert type(result) is int and result == (1 if pid is None else int(pid))
    assert comp.calls("create_pipeline") == ([created] if created else [])
    assert comp.calls("store_nodes") == [("store_nodes", [])]
    assert comp.calls("store_edges_resolved") == [("store_edges_resolved", [])]


@pytest.mark.parametrize("returned, ok", [(5.0, 5), (None, None), ("5", TypeError), (object(), TypeError)])
def test_persist_to_storage_checks_the_created_pipeline_id(returned, ok):
    class Storage:
        def __getattr__(self, name):
            return lambda *a, **k: returned if name == "create_pipeline" else {}

    if ok is TypeError:
        with pytest.raises(TypeError, match="create_pipeline"):
            DAGTracker().persist_to_storage(Storage())
    else:
        assert DAGTracker().persist_to_storage(Storage()) == ok


def test_persist_to_storage_argument_type():
    with pytest.raises(TypeError, match=TYPE_ERROR.format("pipeline_id", "int", "str")):
        DAGTracker().persist_to_storage(object(), "7")


# ---------------------------------------------------------------- persist_results

class Results:
    def __init__(self):
        self.calls = []

    def store_results(self, pipeline_id, results):
        self.calls.append((pipeline_id, results))


class Series:
    def __init__(self, prov, values):
        self._prov, self.values = prov, values


def row_hash(df, i):
    return hashlib.sha256(df.iloc[i].to_json().encode("utf-8")).hexdigest()


def test_results_rows_follow_outputs_then_row_keys():
    df = pd.DataFrame({"income": [10, 20], "score": [0.5, 1.5]})
    store = Results()
    outputs = {"risk": Series(np.array([7, 8], np.uint32), np.array([0.25, 0.5, 0.75])),
               "flag": Series([3, 4, 5], np.array([1, 0, 1], np.int64))}
    DAGTracker.persist_results(store, np.int32(9), iter([1, "1", 2.5]), outputs, df)
    h0, h1 = row_hash(df, 0), row_hash(df, 1)
    assert store.calls == [(9, [
        ("1", "risk", 7, 0.25, h0), ("1", "risk", 8, 0.5, h1), ("2.5", "risk", 0, 0.75, None),
        ("1", "flag", 3, 1.0, h0), ("1", "flag", 4, 0.0, h1), ("2.5", "flag", 5, 1.0, None),
    ])]
    assert type(store.calls[0][0]) is int and h0 == hashlib.sha256(b'{"income":10.0,"score":0.5}').hexdigest()


@pytest.mark.parametrize("values, expected", [
    (np.array([1.5]), [1.5, None]), ([2, "3"], [2.0, 3.0]), (np.array([4, 5], np.float32), [4.0, 5.0]),
    (pd.array([6.5, 7], dtype="Float64"), [6.5, 7.0]),
])
def test_results_values_pass_through_float(values, expected):
    store = Results()
    DAGTracker.persist_results(store, 1, ["a", "b"], {"o": Series(np.array([1], np.uint32), values)})
    assert [r[3] for r in store.calls[0][1]] == expected
    assert [r[2] for r in store.calls[0][1]] == [1, 0] and [r[4] for r in store.calls[0][1]] == [None, None]


@pytest.mark.parametrize("subtype", ["float64", "int64", "Float64"])
def test_results_take_columns_of_the_provenance_dtype(subtype):
    """They raised AttributeError ('Series' object has no attribute '_prov')."""
    import lumarq
    from lumarq.utilities.vantor32 import ProvenanceTracker

    df = lumarq.track(pd.DataFrame({"a": pd.array([1, 2, 3], dtype=subtype)}), ProvenanceTracker(), "T")
    out = df["a"] * 2
    store = Results()
    DAGTracker.persist_results(store, 1, ["x", "y", "z"], {"o": out})
    assert store.calls == [(1, [(k, "o", int(w), v, None) for k, w, v in
                                zip("xyz", out.prov.words, [2.0, 4.0, 6.0])])]


def test_results_edge_cases():
    store = Results()
    DAGTracker.persist_results(store, 1, ["a"], {})
    DAGTracker().persist_results(store, 2, [], {"o": Series([], [])}, pd.DataFrame({"x": [1]}))
    assert store.calls == [(1, []), (2, [])]
    with pytest.raises(ValueError):
        DAGTracker.persist_results(store, 1, ["a"], {"o": Series([1], np.array(["n/a"], object))})
    with pytest.raises(TypeError):  # float(<NA>)
        DAGTracker.persist_results(store, 1, ["a"], {"o": Series([1], pd.array([None], dtype="Float64"))})
    with pytest.raises(TypeError, match=TYPE_ERROR.format("outputs", "dict", "list")):
        DAGTracker.persist_results(store, 1, ["a"], [])
    with pytest.raises(TypeError, match=TYPE_ERROR.format("pipeline_id", "int", "NoneType")):
        DAGTracker.persist_results(store, None, ["a"], {})


def _frames():
    import lumarq
    from lumarq.utilities.vantor32_dag import wrap_dataframe_dag

    mixed = pd.DataFrame({"age": [67, 22, 49, 45, 53], "sex": ["male", "female", None, "x\ny\u00e9\"", "\u2028"],
                          "amount": [1169.0, np.nan, 2096.5, 1 / 3, 1e20], "flag": [True, False, True, True, False]})
    when = pd.DataFrame({"t": pd.date_range("2020-01-01", periods=5, freq="37h"), "n": np.arange(5, dtype=np.uint16)})
    return {
        "mixed": mixed,
        "numeric": mixed[["age", "amount"]],
        "ints": mixed[["age"]].astype(np.int8),
        "bools": mixed[["flag"]],
        "datetimes": when,
        "strings": mixed[["sex"]].astype("string"),
        "objects": pd.DataFrame({"o": [{"a": 1}, [1, 2], None, 1.5, "s"], "i": range(5)}),
        "tracked": wrap_dataframe_dag(mixed, DAGTracker(), "loans"),
        "provenance dtype": lumarq.track(mixed, DAGTracker(), "loans"),
        # row by row: dtypes, labels or types a whole-frame rendering is not trusted with
        "float32": mixed[["amount"]].astype(np.float32),
        "nullable": pd.DataFrame({"i": pd.array([1, None, 3, 4, 5], dtype="Int64"), "f": 0.5}),
        "categorical": mixed[["sex"]].astype("category"),
        "tz": pd.DataFrame({"t": pd.date_range("2020", periods=5, tz="Europe/Paris")}),
        "int labels": pd.DataFrame({1: [1, 2, 3, 4, 5], 2: list("abcde")}),
    }


@pytest.mark.parametrize("name", list(_frames()))
def test_input_row_hashes_are_each_rows_own_json(name, monkeypatch):
    from lumarq.utilities.persistence import _results

    monkeypatch.setattr(_results, "_CHUNK", 2)  # rows rendered in several pieces
    df = _frames()[name]
    store, rendered, to_json = Results(), [], pd.Series.to_json
    monkeypatch.setattr(pd.Series, "to_json", lambda self, *a, **k: rendered.append(1) or to_json(self, *a, **k))
    DAGTracker.persist_results(store, 1, range(7), {"o": Series(np.arange(7, dtype=np.uint32), np.zeros(7))}, df)
    calls = len(rendered)
    assert [r[4] for r in store.calls[0][1]] == [row_hash(df, i) for i in range(len(df))] + [None, None]
    # The frames above the comment render whole: only the first row is rendered on its own.
    assert calls == (len(df) if list(_frames()).index(name) >= 9 else 1)


class ColumnStorage:
    """A storage that takes the whole graph as one column batch and answers with `result`."""

    def __init__(self, result):
        self.result, self.graphs = result, []

    def write_columns(self, graph):
        self.graphs.append(graph)
        return self.result

    def complete_pipeline(self, *args):
        pass

    def disconnect(self):
        pass


@pytest.mark.parametrize("result, edges_written", [
    (None, 3),  # no report: every edge counts
    ({}, 3),
    ([("edges_unresolved", 1)], 3),  # only a dict reports
    ({"edges_unresolved": 1}, 2),
    ({"edges_unresolved": 3}, -1),  # nothing resolved: the count stays
])
@pytest.mark.filterwarnings("ignore::UserWarning")
def test_the_column_write_counts_the_edges_the_storage_resolved(result, edges_written):
    t = DAGTracker(api_key="k")
    t._writer, t._pipeline_id, t._storage = None, 7, ColumnStorage(result)
    pg, pi = t.encode({0}, 5, 0, True, 0), t.encode({1}, 6, 0, False, 0)
    g, i = t.create_source_node("loans", "gender", pg), t.create_source_node("loans", "income", pi)
    t.log_unary("neg", t.log_binary("add", g, i, t.combine(pg, pi, 1)), 99)
    t._nodes_written = t._edges_written = -1
    t._persist_dag_to_storage()
    (graph,) = t._storage.graphs
    assert graph.pipeline_id == 7 and len(graph.edge_parent) == 3
    assert (t._nodes_written, t._edges_written) == (4, edges_written)


@pytest.mark.filterwarnings("ignore::UserWarning")
def test_an_unresolved_count_that_is_no_int_fails_the_column_write():
    t = DAGTracker(api_key="k")
    t._writer, t._pipeline_id, t._storage = None, 7, ColumnStorage({"edges_unresolved": "1"})
    t.create_source_node("loans", "gender", t.encode({0}, 5, 0, True, 0))
    t._nodes_written = -1
    with pytest.raises(TypeError, match="an integer is required"):
        t._persist_dag_to_storage()
    assert t._nodes_written == -1


def test_edges_to_the_last_pipelines_nodes_are_stored_with_the_next_ones_graph(tmp_path, caplog):
    # Nodes made in a new pipeline over the last one's: their edges could not be stored as
    # they were made (the parents were not in the pipeline yet), and were reported lost,
    # though flush then stores the pipeline's whole graph with them.
    import logging

    import lumarq
    from lumarq.utilities.persistence.storage import HostedStorage

    url = f"sqlite:///{tmp_path / 'p.db'}"
    t = DAGTracker(api_key="local", tenant_id="t", service_url=url, pipeline_name="p")
    a = lumarq.track(pd.DataFrame({"x": [1.0, 2.0], "y": [3.0, 4.0]}), t, "A")
    a["s"] = a["x"] + a["y"]
    t.flush()
    lumarq.track(pd.DataFrame({"z": [5.0]}), t, "B")  # starts the next pipeline
    a["d"] = a["s"] * a["x"]
    with caplog.at_level(logging.WARNING):
        t.flush()
    assert "were not stored" not in caplog.text
    stats = t.get_persistence_stats()["edges"]
    assert stats["unresolved"] == 0 and stats["written"] == stats["queued"] > 0
    st = HostedStorage(api_url=url, tenant_id="t")
    st.connect()
    stored = {(e["parent_fingerprint"], e["child_fingerprint"], e["input_position"])
              for e in st.get_edges(t._pipeline_id)}
    nodes = t._node_snapshot()
    made = {(nodes[i].provenance, n.provenance, k) for n in nodes.values()
            for k, i in enumerate(n.inputs) if i in nodes}
    assert made <= stored
    t.disable_persistence()
