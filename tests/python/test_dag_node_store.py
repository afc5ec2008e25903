"""The tracker's columnar node store against the node map it stands in for.

A tracker keeps its nodes as columns until someone reads `_nodes`; from then on it works on the
dicts. Every query must give the same answer either way, handed-out nodes must be the same
objects with their changes kept, and the block path of the containers must log what the
per-row path logs."""
import warnings

import numpy as np
import pandas as pd
import pytest

from lumarq.utilities.vantor32_dag import DAGTracker, NodeType, wrap_dataframe_dag


class Plain(DAGTracker):
    """A subclass: every operation takes the per-row path with DAGNode objects in the dicts."""


def as_dicts(t):
    t._nodes  # reading the node map moves the nodes into it for good
    return t


def pipeline(t, rows=40, max_nodes=None):
    if max_nodes is not None:
        t._max_nodes = max_nodes
    df = pd.DataFrame({"a": np.arange(rows, dtype=float), "b": np.arange(rows) % 7,
                       "c": np.where(np.arange(rows) % 5 == 0, np.nan, 1.5)})
    w = wrap_dataframe_dag(df, t, "loans", protected=["b"])
    r = w["a"] + w["b"]
    r = (r * w["c"]).clip(lower=0)
    q = -(r - w["a"])
    w["dti"] = q
    agg = t.log_aggregate("sum", [int(x) for x in q._node_ids[:5]], 77, {"k": 1})
    m = t.log_merge([int(q._node_ids[0])], [agg], 78)
    return w, q, m


def view(t, q, m):
    """Everything the public queries report, as plain data."""
    roots = sorted({int(x) for x in q._node_ids} | {m})
    dags = {r: (t.get_dag(r).to_dict() if t.get_node(r) is not None else None) for r in roots}
    words = sorted({int(p) for p in q._prov})[:5]
    by_word = {w: [n.to_dict() for n in t.get_nodes_for_provenance(w)] for w in words}
    newest = {w: (d.root_id if (d := t.get_dag_for_provenance(w)) else None) for w in words}
    return dags, by_word, newest, t.dag_stats(), t._next_node_id


@pytest.mark.parametrize("max_nodes", [None, 50, 23])
def test_store_answers_as_the_dicts_do(max_nodes):
    warnings.simplefilter("ignore", UserWarning)
    columnar, dicts, plain = DAGTracker(), as_dicts(DAGTracker()), Plain()
    out = [pipeline(t, max_nodes=max_nodes) for t in (columnar, dicts, plain)]
    views = [view(t, q, m) for t, (_, q, m) in zip((columnar, dicts, plain), out)]
    assert views[0] == views[1] == views[2]
    assert [np.asarray(q._node_ids).tolist() for _, q, _ in out][0] == out[2][1]._node_ids.tolist()
    # The buffered row values are the same records in the same order.
    assert columnar._value_buffer == dicts._value_buffer == plain._value_buffer
    # And the node maps once the store is given up.
    assert columnar._nodes == dicts._nodes == plain._nodes
    assert columnar._prov_to_nodes == dicts._prov_to_nodes == plain._prov_to_nodes


def test_handed_out_nodes_come_back_the_same_with_their_changes():
    t = DAGTracker()
    _, q, m = pipeline(t)
    nid = int(q._node_ids[3])
    node = t.get_node(nid)
    assert t.get_node(nid) is node and t.get_dag(nid).nodes[nid] is node
    node.metadata["note"] = "checked"
    node.operation = "renamed"
    node.inputs.append(m)  # a graph edge the store itself never had
    dag = t.get_dag(nid)
    into = [(e.source_id, e.input_index) for e in dag.edges if e.target_id == nid]
    assert dag.nodes[m] is t.get_node(m) and into[-1] == (m, len(node.inputs) - 1)
    assert t.dag_stats()["operation_counts"]["renamed"] == 1
    assert any(n is node for n in t.get_nodes_for_provenance(node.provenance))
    assert t._nodes[nid] is node and node.metadata == {"note": "checked", "column": "dti"}


def test_evicted_nodes_leave_the_handed_out_cache_and_sources_stay():
    t = DAGTracker()
    t._max_nodes = 30
    w, q, _ = pipeline(t, rows=60)
    first = t.get_node(int(q._node_ids[0]))
    assert first is None or first.node_type is not NodeType.SOURCE
    stats = t.dag_stats()
    assert stats["total_nodes"] <= 31 and stats["source_nodes"] == 3
    for col in ("a", "b", "c"):
        src = t.get_node(t._source_nodes[("loans", col)])
        assert src.table == "loans" and src.column == col and src.is_source
    assert len(t._nodes) == stats["total_nodes"]


@pytest.mark.parametrize("between", ["nothing", "get_node", "evicted", "spilled", "dropped",
                                     "pickled"])
def test_a_graph_read_later_is_the_graph_of_its_call(between):
    """get_dag's nodes and edges are built when first read: what the tracker does meanwhile must
    not show, except changes to the very node objects it hands out."""
    import gc
    import pickle

    t, twin = DAGTracker(), DAGTracker()
    (w, q, m), _ = pipeline(t), pipeline(twin)
    nid = int(q._node_ids[0])
    dag = t.get_dag(m)
    if between == "get_node":
        for x in (t, twin):
            x.get_node(nid).metadata["note"] = "kept"
    elif between == "evicted":
        t._max_nodes = 30
        for _ in range(3):
            w["a"] + w["b"]
        assert t.get_node(nid) is None
    elif between == "spilled":
        as_dicts(t)
    elif between == "dropped":
        del t, w, q
        gc.collect()
    elif between == "pickled":
        dag = pickle.loads(pickle.dumps(dag))
    expected = twin.get_dag(m)
    assert dag == expected and repr(dag) == repr(expected)
    assert dag.to_dict() == expected.to_dict() and len(dag.edges) == len(expected.edges) > 5
    if between in ("nothing", "get_node"):
        assert all(node is t.get_node(k) for k, node in dag.nodes.items())
    elif between == "spilled":
        assert all(node is t._nodes[k] for k, node in dag.nodes.items())


def test_row_values_the_bound_drops_are_not_built_but_the_newest_are_kept():
    rows = 100_000 + 257
    values = np.arange(rows, dtype=float)
    values[-3] = np.nan  # not recorded: one more early row survives
    df = pd.DataFrame({"a": values, "b": np.ones(rows), "c": np.arange(rows) % 3 == 0,
                       "d": np.where(np.arange(rows) < 60_000, np.nan, 2.0)})
    kept, wrapped = [], []
    warnings.simplefilter("ignore", UserWarning)
    for t in (DAGTracker(), Plain()):
        w = wrap_dataframe_dag(df, t, "big")
        wrapped.append([(r.row_index, r.fingerprint, r.node_operation, r.value, r.column_name)
                        for r in t._value_buffer])
        t._value_buffer.clear()
        w["a"] + w["b"]
        kept.append([(r.row_index, r.fingerprint, r.node_operation, r.value) for r in t._value_buffer])
    assert kept[0] == kept[1] and wrapped[0] == wrapped[1]
    # The last column records 40,000 rows: the rest of the bound comes from the one before.
    assert len(wrapped[0]) == 100_000 and wrapped[0][0][4] == "c" and wrapped[0][-1][4] == "d"
    assert len(kept[0]) == 100_000 and kept[0][0][0] == 256 and kept[0][-1][0] == rows - 1


def test_pickled_tracker_carries_the_stored_nodes():
    import pickle

    columnar, dicts = DAGTracker(), as_dicts(DAGTracker())
    for t in (columnar, dicts):
        pipeline(t)
    for t in (columnar, dicts):
        t.get_node(5).metadata["kept"] = True  # a change to a handed-out node travels
    copies = [pickle.loads(pickle.dumps(t)) for t in (columnar, dicts)]
    assert copies[0]._nodes == copies[1]._nodes and copies[0]._nodes[5].metadata["kept"]
    assert copies[0]._prov_to_nodes == dicts._prov_to_nodes
    # The original keeps working from its store, the copy from its dicts; both log alike.
    for t in (columnar, *copies):
        assert t.log_unary("neg", 5, 9) == dicts._next_node_id
    assert columnar.get_dag(dicts._next_node_id).to_dict() == copies[0].get_dag(dicts._next_node_id).to_dict()


@pytest.mark.parametrize("operands", ["gaps", "strided", "int64_words", "short", "uint64_ids"])
def test_native_kernel_logs_what_the_per_row_path_logs(operands):
    """Operand arrays of every shape the containers may hold, with eviction during the
    operation and a handed-out node among the evicted ones."""
    warnings.simplefilter("ignore", UserWarning)
    results = []
    for t in (DAGTracker(), Plain()):
        t._max_nodes = 150
        df = pd.DataFrame({"a": np.arange(120.0), "b": np.arange(120) % 7})
        w = wrap_dataframe_dag(df, t, "x", protected=["b"])
        a, b = w["a"], w["b"]
        first = a + b
        held = t.get_node(int(first._node_ids[0]))
        if operands == "gaps":
            a._node_ids[::3] = -1
            b._node_ids[1::4] = -1
        elif operands == "strided":
            a._prov = np.repeat(a._prov, 2)[::2]
            a._node_ids = np.repeat(a._node_ids, 2)[::2]
        elif operands == "int64_words":
            b._prov = b._prov.astype(np.int64)
        elif operands == "short":
            b._prov, b._node_ids = b._prov[:50], b._node_ids[:50]
        elif operands == "uint64_ids":
            a._node_ids = a._node_ids.astype(np.uint64)
        r = -(a * b)
        root = int(r._node_ids[-1])
        results.append((r._prov.tolist(), r._node_ids.tolist(), t.dag_stats(), t._next_node_id,
                        t.get_dag(root).to_dict(), held.to_dict()))
    assert results[0] == results[1]


def test_invalid_word_logs_nothing_and_the_tracker_carries_on():
    t = DAGTracker()
    w = wrap_dataframe_dag(pd.DataFrame({"a": np.arange(50.0), "b": np.ones(50)}), t, "x")
    a, b = w["a"], w["b"]
    before = (t._next_node_id, t.dag_stats()["total_nodes"])
    a._prov[20] = 0xFFFFFFFF  # a dense signature never handed out
    with pytest.raises(ValueError, match="invalid provenance"):
        a + b
    assert (t._next_node_id, t.dag_stats()["total_nodes"]) == before
    a._prov[20] = a._prov[19]
    r = a + b
    assert r._node_ids.tolist() == list(range(before[0], before[0] + 50))


@pytest.mark.parametrize("container", ["nodes", "edges"])
def test_cycles_through_a_read_graph_are_collected(container):
    """A graph's dict and list are filled away from the collector; once handed over they must
    be tracked again, or a cycle through them would never be freed."""
    import gc
    import weakref

    class Holder:
        pass

    t = DAGTracker()
    w, q, m = pipeline(t)
    dag = t.get_dag(m)
    box = getattr(dag, container)
    del t, w, q, dag  # the graph's nodes are now held by the graph alone
    holder = Holder()
    holder.box = box
    if container == "nodes":
        next(iter(box.values())).metadata["holder"] = holder
    else:
        box.append(holder)
    gone = weakref.ref(holder)
    del holder, box
    gc.collect()
    assert gone() is None


@pytest.mark.parametrize("read", ["graph", "own_read", "spill"])
@pytest.mark.parametrize("enabled", [True, False])
def test_reads_that_pause_the_collector_leave_it_as_found(read, enabled):
    """Large reads keep the collector from starting while they make objects; a user's
    gc.disable() must survive them, and an enabled collector must come back."""
    import gc

    t = DAGTracker()
    w, q, m = pipeline(t)
    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        if read == "graph":
            assert len(t.get_dag(m).nodes) > 3
        elif read == "own_read":
            assert len(t._node_snapshot()) > 3
        else:
            assert len(t._nodes) > 3
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()


def _sync_body(t, monkeypatch):
    import urllib.request

    sent = []

    class Response:
        def read(self):
            return b"{}"

        def close(self):
            pass

    monkeypatch.setattr(urllib.request, "urlopen", lambda req, timeout: sent.append(req.data) or Response())
    t._service_url, t._api_key = "https://dashboard.example", "k"
    t._sync_to_dashboard()
    return sent


class _Storage:
    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        return lambda *a, **k: (self.calls.append((name, a, k)), {} if name == "get_fingerprint_node_map" else 1)[1]


def _held_source_made_protected(t):
    pipeline(t)
    t.get_node(0).is_protected = True  # a handed-out source made protected since


def _protected_rows_only(t):
    """No node object at all: the only protected nodes are rows of the store."""
    t.register("loans", "gender", True)
    word = t.encode({0}, 5, 0, True, 0)
    t.log_unary("neg", 10**6, t.update_chain(word, 5))


@pytest.mark.parametrize("build", [_held_source_made_protected, _protected_rows_only])
@pytest.mark.parametrize("reader", [
    lambda t, mp: _sync_body(t, mp),
    lambda t, mp: (lambda s: (t.persist_to_storage(s), s.calls))(_Storage()),
    lambda t, mp: t.to_prov(),
], ids=["dashboard report", "persist_to_storage", "to_prov"])
def test_the_trackers_own_reads_keep_the_columnar_store(build, reader, monkeypatch):
    """Reading every node for a report or an export must not move the store into dicts: every
    later operation would then take the per-node path (with a writer, thousands of times
    slower)."""
    warnings.simplefilter("ignore", UserWarning)
    columnar, dicts = DAGTracker(), as_dicts(DAGTracker())
    got = []
    for t in (columnar, dicts):
        build(t)
        got.append(reader(t, monkeypatch))
    assert columnar._columnar and not dicts._columnar
    assert got[0] == got[1]
