"""Column batches: the DAG write of flush and the node blocks of the row loops read the node
store's columns; AsyncWriter.write_columns delivers them as reliably as records."""
import os
import pickle
import threading

import numpy as np
import pandas as pd
import pytest

from lumarq.utilities.persistence import (AsyncWriter, GraphColumns, HostedStorage, RowValueColumns,
                                          StoredEdge, StoredNode, StoredRowValue, WriterConfig)
from lumarq.utilities.vantor32_dag import DAGTrackedSeries, DAGTracker, wrap_dataframe_dag


def stored(url, pid):
    """{fingerprint: node fields} and {(parent fp, child fp, position)} of a stored pipeline."""
    s = HostedStorage(api_url=url, api_key="k")
    s.connect()
    try:
        nodes = {n["fingerprint"]: (n["node_type"], n["operation"], n["table_name"], n["column_name"],
                                    n["pair_id"], n["is_protected"], n["entity_hash"], n["chain_hash"],
                                    n["metadata"] or None)
                 for n in s.get_nodes(pid)}
        edges = {(e["parent_fingerprint"], e["child_fingerprint"], e["input_position"]) for e in s.get_edges(pid)}
    finally:
        s.disconnect()
    return nodes, edges


def build(t, scenario):
    pg, pi = t.encode({0}, 5, 0, True, 0), t.encode({1}, 6, 0, False, 0)
    g, i = t.create_source_node("loans", "gender", pg), t.create_source_node("loans", "income", pi)
    p = t.combine(pg, pi, 1)
    a1, a2 = t.log_binary("add", g, i, p), t.log_binary("add", i, g, p)  # one fingerprint, other edges
    q = t.update_chain(p, 5)
    n1 = t.log_unary("neg", a1, q)
    t.log_binary("sub", n1, a2, 1234)
    if scenario == "handed_out":  # changed objects are read, not the rows behind them
        t.get_node(a1).metadata["w"] = 1
        t.get_node(n1).operation = "negate"
        t.get_node(a2).metadata["column"] = "late"
    elif scenario == "evicted":  # inputs evicted before the write; sources stay
        t._max_nodes = 4
        for k in range(8):
            t.log_unary("abs", n1 if k == 0 else k + 7, 2000 + k)
    elif scenario == "frame":  # names of assigned columns; many rows per fingerprint
        df = wrap_dataframe_dag(pd.DataFrame({"a": np.arange(40.0), "b": np.ones(40)}), t, "tbl",
                                protected=["a"])
        df["s"] = df["a"] + df["b"]
        df["d"] = df["s"] * df["a"]


@pytest.mark.parametrize("scenario", ["plain", "handed_out", "evicted", "frame"])
def test_the_dag_write_from_columns_stores_what_the_record_path_stores(tmp_path, scenario):
    got = []
    for path in ("columns", "records"):
        url = "sqlite:///" + os.path.join(tmp_path, path + ".db")
        t = DAGTracker(api_key="k", service_url=url, pipeline_name="p")
        writer, t._writer = t._writer, None  # the bulk write alone
        build(t, scenario)
        if path == "records":
            assert len(t._nodes) > 0  # reading the dicts moves the tracker off the store
        t._writer = writer
        t.flush(timeout=60.0)
        got.append((stored(url, t._pipeline_id), t._nodes_written, getattr(t, "_edges_written", 0)))
        t.__exit__(None, None, None)
    assert got[0] == got[1]
    (nodes, edges), n_written, e_written = got[0]
    assert n_written == len(nodes) and e_written == len(edges) > 0
    if scenario == "frame":
        assert {md["column"] for *_, md in nodes.values() if md} == {"s", "d"}


@pytest.mark.parametrize("kind", ["dtype", "containers"])
@pytest.mark.parametrize("held_in", ["store", "dicts"])
def test_names_given_after_the_dag_write_reach_the_store(tmp_path, kind, held_in):
    """Names given after the first flush (which writes the whole graph) were never stored: the
    nodes had gone to the writer unnamed as they were made."""
    import lumarq

    url = "sqlite:///" + os.path.join(tmp_path, "n.db")
    raw = pd.DataFrame({"a": np.arange(5.0), "b": np.arange(5.0) + 1})
    with DAGTracker(api_key="k", service_url=url, pipeline_name="p") as t:
        df = lumarq.track(raw, t, "x") if kind == "dtype" else wrap_dataframe_dag(raw, t, "x")
        early = df["a"] * df["b"]  # stored before the flush, named after it
        if held_in == "dicts":
            assert t._nodes  # reading the dicts moves the tracker off the store
        t.flush(timeout=60.0)
        df["prod"] = early
        df["tot"] = df["a"] + df["b"]  # made and named after it
        if kind == "dtype":
            df.prov.name_nodes()
        pid = t._pipeline_id
    nodes, _ = stored(url, pid)
    assert sorted(md["column"] for *_, md in nodes.values() if md) == ["prod", "tot"]


@pytest.mark.parametrize("kind", ["dtype", "containers"])
@pytest.mark.parametrize("service_db, through_service",
                         [("sqlite", False), ("postgresql", False), ("sqlite", True)],
                         indirect=["service_db"], ids=["sqlite", "postgresql", "service"])
def test_names_of_evicted_nodes_reach_the_stored_nodes_of_their_words(request, service_db,
                                                                      through_service, kind):
    """Nodes evicted from memory had gone to the writer unnamed, and the graph written at the
    first flush holds only what is still in memory: a name given before eviction, or after it
    (before or after the first flush), must still reach the stored node of the word."""
    import json

    import lumarq
    from lumarq.lineage import export_pipeline

    url, key = service_db, "k"
    if through_service:
        svc = request.getfixturevalue("start_service")()
        url, key = svc.url + "/", svc.key
    n = 300
    raw = pd.DataFrame({"a": np.arange(n) % 7.0, "b": np.arange(n) + 1.0, "c": np.arange(n) % 3 + 1.0})
    with DAGTracker(api_key=key, tenant_id="acme", service_url=url, pipeline_name="p") as t:
        t._max_nodes = 200  # every computed column's 300 nodes outgrow it
        df = lumarq.track(raw, t, "x", protected=["a"]) if kind == "dtype" else wrap_dataframe_dag(raw, t, "x")

        def name(column, value):
            df[column] = value
            if kind == "dtype":
                df.prov.name_nodes()
            return value

        first = name("first", df["a"] * df["b"])  # named while in memory, evicted before the flush
        evicted = df["a"] * df["c"]
        gone = df["b"] * df["c"]
        name("evicted", evicted)
        t.flush(timeout=60.0)
        late = df["a"] + df["b"] + df["c"]
        df["b"] - df["c"]  # evicts `late`'s nodes
        name("late", late)
        columns = {"first": first, "evicted": evicted, "late": late}
        for s in columns.values():  # evicted, as the in-memory graph shows
            assert t.get_node(int(s.prov.nodes[0] if kind == "dtype" else s._node_ids[0])) is None
        pid = t._pipeline_id
    words = {c: set(np.asarray(s.prov.words if kind == "dtype" else s._prov).tolist()) for c, s in columns.items()}
    storage = HostedStorage(api_url=service_db, api_key=None, tenant_id="acme")
    storage.connect()
    try:
        nodes = {r["fingerprint"]: (r["metadata"] or {}).get("column") for r in storage.get_nodes(pid)}
        labels = {e.get("lumarq:column")
                  for e in json.loads(export_pipeline(storage, pid, "prov-json"))["entity"].values()}
    finally:
        storage.disconnect()
    assert {c: {nodes.get(w) for w in ws} for c, ws in words.items()} == {c: {c} for c in columns}
    assert set(columns) <= labels
    gone_words = set(np.asarray(gone.prov.words if kind == "dtype" else gone._prov).tolist())
    assert {nodes.get(w, "missing") for w in gone_words} == {None}  # never named: stored unnamed


def distinct_words(t, n):
    for k in range(10):
        t.register("loans", "c%d" % k, k == 0)
    return np.array([t.encode({k % 10}, k & 0xFF, (k >> 8) & 0xFF, False, 1) for k in range(n)], np.uint32)


@pytest.mark.parametrize("rows, max_nodes", [(20_000, 3_000), (500, 100_000)])
def test_row_loop_blocks_reach_storage_before_eviction_drops_them(tmp_path, rows, max_nodes):
    url = "sqlite:///" + os.path.join(tmp_path, "s.db")
    t = DAGTracker(api_key="k", service_url=url, pipeline_name="p")
    a_src, b_src = t.create_source_node("t", "a", 1), t.create_source_node("t", "b", 2)
    t._max_nodes = max_nodes
    words = distinct_words(t, rows)
    a = DAGTrackedSeries(np.arange(float(rows)), _prov=words, _tracker=t,
                         _node_ids=np.full(rows, a_src, np.int64))
    b = DAGTrackedSeries(np.ones(rows), _prov=np.zeros(rows, np.uint32), _tracker=t,
                         _node_ids=np.full(rows, b_src, np.int64))
    out = a + b
    t.flush(timeout=120.0)
    nodes, edges = stored(url, t._pipeline_id)
    fps = set(np.asarray(out._prov).tolist())
    assert fps | {1, 2} == set(nodes)
    assert edges == {(1, c, 0) for c in fps} | {(2, c, 1) for c in fps}
    stats = t.get_persistence_stats()
    assert stats["lost"] == 0
    t.__exit__(None, None, None)


@pytest.mark.parametrize("max_nodes", [60, 100_000])
def test_merge_and_group_nodes_of_the_dtype_reach_storage(tmp_path, max_nodes):
    """A merge's and a groupby's nodes are a block: with a writer, the block goes to it as column
    slices (before eviction drops any), with their inputs as edges: what a memory-only tracker
    doing the same holds."""
    import lumarq

    def run(t):
        df = lumarq.track(pd.DataFrame({"g": np.arange(300) % 7, "v": np.arange(300.0)}), t, "L",
                          protected=["g"])
        right = lumarq.track(pd.DataFrame({"g": range(6), "r": np.arange(6.0)}), t, "R")
        return list(df.merge(right, on="g", how="left")["g"].prov.nodes) + list(df.groupby("g")["v"].sum().prov.nodes)

    ref = DAGTracker()
    want_nodes, want_edges = {}, set()
    for i in run(ref):
        n = ref.get_node(int(i))
        want_nodes[n.provenance] = (n.node_type.name, n.operation)
        want_edges |= {(ref.get_node(p).provenance, n.provenance, k) for k, p in enumerate(n.inputs)}
    url = "sqlite:///" + os.path.join(tmp_path, "s.db")
    t = DAGTracker(api_key="k", service_url=url, pipeline_name="p")
    t._max_nodes = max_nodes
    ids = run(t)
    t.flush(timeout=120.0)
    nodes, edges = stored(url, t._pipeline_id)
    assert {fp: nodes.get(fp, (None,))[:2] for fp in want_nodes} == want_nodes
    assert want_edges <= edges and {k for _, k in want_nodes.values()} == {"merge_left", "sum"}
    assert t.get_persistence_stats()["lost"] == 0
    assert (t.get_node(int(ids[0])) is None) == (max_nodes < 300)  # evicted, and stored all the same
    t.__exit__(None, None, None)


# ---------------------------------------------------------------- the writer

def graph(pid, fps, edges=()):
    nodes = [StoredNode(fp, "BINARY", "add", None, "c" if fp % 2 else None, None, fp % 3 == 0, fp, None,
                        {"k": fp} if fp % 5 == 0 else None, pid) for fp in fps]
    return GraphColumns.from_records(pid, nodes, [StoredEdge(*e) for e in edges])


def rows(pid, n, start=0):
    return RowValueColumns.from_records([StoredRowValue(pid, start + i, 7, "op", float(i), "c", None,
                                                        "t%d" % i if i % 4 == 0 else None) for i in range(n)])


class ColumnStore:
    """Keeps what write_columns received as records; refuses fingerprint 666 and row index 666,
    and fails with an outage `down` times."""

    def __init__(self, down=0):
        self.down, self.lock = down, threading.Lock()
        self.nodes, self.edges, self.rows, self.batch_ids, self.lost, self.sizes = [], [], [], [], [], []

    def write_columns(self, *, graph=None, row_values=None, batch_id=None, lost=()):
        with self.lock:
            self.batch_ids.append(batch_id)
            if self.down:
                self.down -= 1
                raise ConnectionError("store away")
            nodes, edges = graph.to_records() if graph is not None else ([], [])
            got = row_values.to_records() if row_values is not None else []
            if any(n.fingerprint == 666 for n in nodes) or any(r.row_index == 666 for r in got):
                raise ValueError("refused")
            self.sizes.append((len(nodes), len(edges), len(got)))
            self.nodes += nodes
            self.edges += edges
            self.rows += got
            self.lost += list(lost)
            return {"edges_unresolved": 0}

    records_losses = wants_batch_ids = True


@pytest.mark.parametrize("case", ["whole", "sliced", "rejected", "outage", "journal"])
def test_column_batches_are_delivered_once_with_losses_counted(case):
    store = ColumnStore(down=2 if case == "outage" else 0)
    cfg = dict(batch_size=10, flush_interval=0.05, max_batch_rows=1000 if case != "sliced" else 7)
    if case == "journal":
        cfg.update(queue_size=1)
    w = AsyncWriter(store, WriterConfig(**cfg))
    if case != "journal":
        w.start()
    fps = list(range(1, 30)) + ([666] if case == "rejected" else [])
    edge_list = [(fps[k], fps[k + 1], k % 2) for k in range(len(fps) - 1)]
    g, r1, r2 = graph(3, fps, edge_list), rows(3, 20), rows(4, 700 if case == "rejected" else 5, 10)
    w.write_columns(graph=g, row_values=r1)
    w.write_columns(row_values=r2)
    if case == "journal":
        assert w.get_stats()["journal_items"] >= 1  # spilled as pickled columns
        w.start()
    assert w.flush(timeout=30.0) is (case != "rejected")
    w.stop()
    want_nodes, want_edges = g.to_records()
    want_rows = r1.to_records() + r2.to_records()
    stats = w.get_stats()
    if case == "rejected":  # only the offending node and row are dropped, counted per pipeline
        want_nodes = [n for n in want_nodes if n.fingerprint != 666]
        want_rows = [x for x in want_rows if x.row_index != 666]
        assert stats["lost"] == stats["rejected"] == 2 and stats["lost_by_pipeline"] == {3: 1, 4: 1}
        assert sorted(store.lost) == [(3, 1), (4, 1)]
    else:
        assert stats["lost"] == 0
    assert sorted(store.nodes) == sorted(want_nodes) and sorted(store.edges) == sorted(want_edges)
    assert sorted(store.rows) == sorted(want_rows)
    assert [stats[k]["written"] for k in ("nodes", "edges", "row_values")] == [
        len(want_nodes), len(want_edges), len(want_rows)]
    if case == "outage":  # retries of one batch carry its id
        assert store.batch_ids[0] == store.batch_ids[1] == store.batch_ids[2] and stats["batches_retried"] == 2
    if case == "sliced":  # bounded batches; a graph's nodes arrive before its edges
        assert max(max(s) for s in store.sizes) <= 7 and len(store.sizes) > 6
        last_nodes = max(i for i, s in enumerate(store.sizes) if s[0])
        assert last_nodes < min(i for i, s in enumerate(store.sizes) if s[1])


def test_a_store_without_column_writes_gets_records():
    class Records:
        def __init__(self):
            self.calls = []

        def write_batch(self, *, sources, nodes, edges, row_values, **kw):
            self.calls.append((list(nodes), edges, row_values))
            return {}

    store = Records()
    w = AsyncWriter(store, WriterConfig(flush_interval=0.05))
    w.start()
    g = graph(2, [1, 2], [(1, 2, 0)])
    w.write_columns(graph=g, row_values=rows(2, 3))
    assert w.flush(timeout=10.0)
    w.stop()
    ((nodes, edges, rv),) = store.calls
    assert (nodes, edges, rv) == (g.to_records()[0], [(2, g.to_records()[1])], [rows(2, 3).to_records()])
    assert pickle.loads(pickle.dumps(g)).to_records() == g.to_records()


@pytest.mark.parametrize("values", [[1.5, None, -2.5, "n/a", 7, True], ["x", "", "y"]])
def test_row_values_reach_storage_as_recorded(tmp_path, values):
    url = "sqlite:///" + os.path.join(tmp_path, "rows.db")
    t, memory = DAGTracker(api_key="k", service_url=url, pipeline_name="p"), DAGTracker()
    t._value_flush_threshold = 2  # handed over in batches of two, the rest at flush
    memory._pipeline_id = t._pipeline_id
    for tracker in (t, memory):
        for i, v in enumerate(values):
            tracker.record_row_value(i, 7 + i, "op%d" % (i % 2), v, column_name=None if i % 3 else "c")
    t.flush(timeout=60.0)
    s = HostedStorage(api_url=url, api_key="k")
    s.connect()

    def fields(records):
        return [(r.pipeline_id, r.row_index, r.fingerprint, r.node_operation, repr(r.value), r.column_name,
                 r.text_value) for r in records]

    assert fields(s.get_row_values(t._pipeline_id)) == fields(memory._value_buffer)
    s.disconnect()
    assert t.get_persistence_stats()["row_values"]["written"] == len(values)
    t.__exit__(None, None, None)


@pytest.mark.parametrize("fail", [False, True])
@pytest.mark.parametrize("held", [0, 3])
@pytest.mark.parametrize("kind", ["series", "dtype", "dtype text"])
def test_numeric_row_values_reach_the_writer_in_the_batches_row_by_row_gives(monkeypatch, kind, held, fail):
    """A native tracker sends the rows of an operation as columns: the writer gets the same
    rows in batches of the same sizes, the buffer ends the same, and (as row by row) a writer
    that refuses them leaves every row in the buffer. Texts that float() reads are numbers."""
    import dataclasses
    from typing import Any

    import lumarq
    from lumarq.utilities.persistence import storage

    made = []

    @dataclasses.dataclass
    class Counted:  # not a tuple type: each record is built by a call, so it can be counted
        pipeline_id: Any
        row_index: Any
        fingerprint: Any
        node_operation: Any
        value: Any = None
        column_name: Any = None
        tenant_id: Any = None
        text_value: Any = None

        def __post_init__(self):
            made.append(1)

    monkeypatch.setattr(storage, "StoredRowValue", Counted)

    class Capture:
        def __init__(self):
            self.batches = []

        def write_columns(self, graph=None, row_values=None):
            if row_values is not None:
                if fail:
                    raise OSError("store down")
                self.batches.append([tuple(r) for r in row_values.to_records("t")])

        def write_row_values(self, records):
            if fail:
                raise OSError("store down")
            self.batches.append([dataclasses.astuple(r) for r in records])

        def __getattr__(self, name):  # node and source writes: not looked at here
            return lambda *a, **k: None

    class OneByOne(DAGTracker):
        def record_row_value(self, *args, **kwargs):
            return super().record_row_value(*args, **kwargs)

    a = np.arange(60, dtype=float)
    a[[4, 30, 31]] = np.nan  # not recorded
    df = pd.DataFrame({"a": a, "b": np.linspace(0.5, 3.0, 60)})
    if kind == "dtype text":
        words = ["", "n", "1", "inf", "nan", " 2", "nano", "é", "Infinity ", "x", "-", "1_0"]
        df = pd.DataFrame({"a": [None if np.isnan(x) else words[i % 12] for i, x in enumerate(a)],
                           "b": [words[(i * 5) % 12] + str(i % 3) for i in range(60)]}, dtype=object)
    seen = []
    for cls in (DAGTracker, OneByOne):
        made.clear()
        t = cls(tenant_id="t")
        for k in range(held):  # in the buffer before the writer comes
            t.record_row_value(1000 + k, 3, "pre", float(k))
        t._writer, t._value_flush_threshold, t._pipeline_id = Capture(), 7, 1
        if kind == "series":
            w = wrap_dataframe_dag(df, t, "tbl")
        else:
            w = lumarq.track(df, t, "tbl")
        w["a"] + w["b"]
        def key(r):  # NaN (from the text "nan") equal to itself
            return tuple(repr(v) if isinstance(v, float) else v for v in r[:6] + r[7:])

        seen.append(([[key(r) for r in b] for b in t._writer.batches],
                     [key(dataclasses.astuple(r)) for r in t._value_buffer], len(made)))
    (batches, buffer, built), (want_batches, want_buffer, want_built) = seen
    assert (batches, buffer) == (want_batches, want_buffer)
    recorded = held + 2 * 60 + 57 - 3  # the frame's cells (NaN ones not), then the sums
    assert sum(map(len, want_batches)) + len(want_buffer) == recorded == want_built
    assert all(len(b) == 7 for b in want_batches) and (fail or len(want_buffer) < 7)
    if not fail:
        assert built < 3 * 2 * 7  # the whole batches between went as columns, no records made
