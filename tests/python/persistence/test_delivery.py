"""Delivery through outages: retries under one batch id, the on-disk journal, records a store
rejects isolated and counted, NUL text per backend, big SQLite writes in pieces."""

from __future__ import annotations

import os
import threading

import pytest

from lumarq.utilities.persistence import AsyncWriter, GraphColumns, StoredEdge, StoredNode, WriterConfig
from lumarq.utilities.persistence.storage import StoredRowValue


def node(fp, pid=1):
    return StoredNode(fingerprint=fp, node_type="BINARY", operation="ADD", table_name="t",
                      column_name="c", pair_id=1, is_protected=False, pipeline_id=pid)


def rows(pid, start, n, bad=()):
    return [StoredRowValue(pid, i, 7, "op", -1.0 if i in bad else float(i), "c", None, None)
            for i in range(start, start + n)]


class Recorder:
    """A store that applies each batch id once; down for `fail` calls, refusing value -1 and
    fingerprint 666 as invalid."""

    wants_batch_ids = True
    records_losses = True

    def __init__(self, fail=0, exc=ConnectionError, gate=None):
        self.fail, self.exc, self.gate = fail, exc, gate
        self.attempts, self.applied = [], set()
        self.nodes, self.rows, self.edges, self.lost = [], [], [], []
        self.lock = threading.Lock()

    def write_batch(self, *, sources, nodes, edges, row_values, batch_id, lost=()):
        if self.gate is not None:
            self.gate.wait()
        with self.lock:
            self.attempts.append(batch_id)
            if self.fail > 0:
                self.fail -= 1
                raise self.exc("store down")
            if any(r.value == -1.0 for chunk in row_values for r in chunk) or any(n.fingerprint == 666 for n in nodes):
                raise ValueError("a record the store cannot hold")
            if batch_id in self.applied:
                return {"edges_unresolved": 0, "duplicate": 1}
            self.applied.add(batch_id)
            self.nodes += [n.fingerprint for n in nodes]
            self.edges += [(e.parent_fingerprint, e.child_fingerprint) for _, group in edges for e in group]
            self.rows += [r.row_index for chunk in row_values for r in chunk]
            self.lost += list(lost)
            return {"edges_unresolved": 0}


@pytest.mark.parametrize("fail", [0, 4])
def test_a_full_queue_spills_to_a_journal_that_drains_in_order_and_is_removed(tmp_path, fail):
    gate = threading.Event()
    store = Recorder(fail=fail, gate=gate)
    w = AsyncWriter(store, WriterConfig(batch_size=5, queue_size=3, flush_interval=0.05,
                                        journal_dir=str(tmp_path), retry_budget=60))
    w.start()
    try:
        for fp in range(1, 61):
            w.write_node(node(fp))
            if fp > 1:
                w.write_edges([StoredEdge(fp - 1, fp, 0)])
        w.write_row_values(rows(1, 0, 500))
        spilled = w.get_stats()
        assert spilled["journal_items"] > 0 and len(os.listdir(tmp_path)) == 1
        gate.set()
        assert w.flush(timeout=60) is True
        stats = w.get_stats()
    finally:
        gate.set()
        w.stop()
    # Every record once, in the order written (an edge never precedes its node).
    assert store.nodes == list(range(1, 61)) and store.rows == list(range(500))
    assert store.edges == [(fp - 1, fp) for fp in range(2, 61)]
    assert stats["lost"] == 0 and stats["journal_items"] == 0 and os.listdir(tmp_path) == []
    if fail:
        # The retries of the failed batch carried its id.
        assert store.attempts[0] == store.attempts[fail] and stats["batches_retried"] == fail


class Gated:
    """A store whose writes wait for `gate`; `waiting` is set once the writer is held there."""

    def __init__(self, inner, gate):
        self.inner, self.gate, self.waiting = inner, gate, threading.Event()

    def __getattr__(self, name):
        return getattr(self.inner, name)

    def write_batch(self, **kw):
        self.waiting.set()
        self.gate.wait()
        return self.inner.write_batch(**kw)

    def write_columns(self, **kw):
        self.waiting.set()
        self.gate.wait()
        return self.inner.write_columns(**kw)


@pytest.mark.parametrize("columns", [False, True])
def test_records_queued_behind_a_flush_reach_the_store_before_later_journalled_ones(
        make_storage, tmp_path, columns):
    # A flush marker with records queued behind it, then a full queue: what is journalled after
    # those records must not be written before them, or an edge reaches the store ahead of the
    # node it names and is dropped as unresolved.
    storage = make_storage()
    pid = storage.create_pipeline("p")
    gate = threading.Event()
    store = Gated(storage, gate)
    w = AsyncWriter(store, WriterConfig(batch_size=1, queue_size=3, flush_interval=0.05,
                                        journal_dir=str(tmp_path), retry_budget=60))

    def put(fp):  # node fp and its edge from node fp - 1
        edges = [StoredEdge(fp - 1, fp, 0)] if fp > 1 else []
        if columns:
            w.write_columns(graph=GraphColumns.from_records(pid, [node(fp, pid)], edges))
        else:
            w.write_node(node(fp, pid))
            w.write_edges(edges, pid)

    flushed = []
    flusher = threading.Thread(target=lambda: flushed.append(w.flush(timeout=60)))
    w.start()
    try:
        put(1)
        assert store.waiting.wait(30)  # the writer holds node 1; the queue is empty
        flusher.start()
        while w.get_stats()["queue_depth"] < 1:  # the flush marker
            flusher.join(0.01)
        for fp in range(2, 9):
            put(fp)
        assert w.get_stats()["journal_items"] > 0
        gate.set()
        flusher.join(60)
        assert w.flush(timeout=60) is True
        stats = w.get_stats()
    finally:
        gate.set()
        w.stop()
    stored = {(e["parent_fingerprint"], e["child_fingerprint"]) for e in storage.get_edges(pid)}
    assert stored == {(fp - 1, fp) for fp in range(2, 9)}
    assert flushed == [True] and stats["edges"]["unresolved"] == 0 and stats["edges"]["written"] == 7
    assert {n["fingerprint"] for n in storage.get_nodes(pid)} == set(range(1, 9))


class Paused:
    """A store whose first write commits, sets `committed` and waits for `gate` before
    answering: the writer is held after the store took its batch, before it counts it."""

    def __init__(self, inner, gate):
        self.inner, self.gate, self.committed = inner, gate, threading.Event()

    def __getattr__(self, name):
        return getattr(self.inner, name)

    def _pause(self, result):
        if not self.committed.is_set():
            self.committed.set()
            self.gate.wait()
        return result

    def write_batch(self, **kw):
        return self._pause(self.inner.write_batch(**kw))

    def write_columns(self, **kw):
        return self._pause(self.inner.write_columns(**kw))


@pytest.mark.parametrize("columns", [False, True])
@pytest.mark.parametrize("stored", [True, False])
@pytest.mark.parametrize("in_flight", [True, False])
def test_unresolved_edges_are_sent_again_after_the_whole_graph_even_if_it_came_mid_batch(
        make_storage, caplog, columns, stored, in_flight):
    # An edge whose nodes the pipeline's whole graph brings comes back unresolved. Written and
    # announced after the writer counted that answer, the graph finds the edge held; announced
    # while the writer sits between the store's answer and counting it, the edge was neither
    # held nor sent again, and was reported lost though its nodes were then stored.
    storage = make_storage()
    pid = storage.create_pipeline("p")
    gate = threading.Event()
    store = Paused(storage, gate)
    w = AsyncWriter(store, WriterConfig(batch_size=1, flush_interval=0.05, retry_budget=60))
    w.expect_graph(pid)
    w.start()
    try:
        edge = StoredEdge(1, 2, 0)
        if columns:
            w.write_columns(graph=GraphColumns.from_records(pid, [], [edge]))
        else:
            w.write_edges([edge], pid)
        if not in_flight:
            gate.set()
            assert w.flush(timeout=60) is True
        assert store.committed.wait(30)
        assert storage.get_edges(pid) == []
        if stored:  # the whole graph, as flush writes it
            storage.write_batch(sources=[], nodes=[node(1, pid), node(2, pid)], edges=[], row_values=[])
        w.graph_written(pid, stored)
        gate.set()
        with caplog.at_level("WARNING"):
            assert w.flush(timeout=60) is True
        stats = w.get_stats()["edges"]
    finally:
        gate.set()
        w.stop()
    got = {(e["parent_fingerprint"], e["child_fingerprint"]) for e in storage.get_edges(pid)}
    if stored:
        assert got == {(1, 2)} and stats["unresolved"] == 0 and stats["written"] == 1
        assert "were not stored" not in caplog.text
    else:  # no graph: the edge stays unresolved, and says so
        assert got == set() and stats["unresolved"] == 1 and stats["written"] == 0
        assert "1 edges were not stored" in caplog.text


@pytest.mark.parametrize("bad_rows, bad_node", [((0,), False), ((999,), False), ((10, 500), True), ((), True)])
def test_a_rejected_batch_loses_only_its_offending_records(bad_rows, bad_node):
    store = Recorder()
    w = AsyncWriter(store, WriterConfig(batch_size=50, flush_interval=0.05))
    w.start()
    try:
        w.write_node(node(1, pid=3))
        if bad_node:
            w.write_node(node(666, pid=3))
        w.write_row_values(rows(3, 0, 1000, bad=bad_rows))
        w.write_node(node(2, pid=3))
        assert w.flush(timeout=30) is False
        w.write_node(node(4, pid=3))  # the next batch also records the losses on the pipeline
        assert w.flush(timeout=30) is True
        stats = w.get_stats()
    finally:
        w.stop()
    bad = len(bad_rows) + int(bad_node)
    assert sorted(store.rows) == [i for i in range(1000) if i not in bad_rows]
    assert store.nodes.count(1) == store.nodes.count(2) == 1 and 666 not in store.nodes
    assert stats["rejected"] == stats["lost"] == bad and stats["lost_by_pipeline"] == {3: bad}
    assert sum(n for pid, n in store.lost if pid == 3) == bad


@pytest.mark.parametrize("exc, attempts", [(PermissionError, 1), (ValueError, 256 + 20)])
def test_a_refused_key_is_not_retried_and_a_batch_refused_whole_costs_bounded_requests(exc, attempts):
    store = Recorder(fail=10**9, exc=exc)
    w = AsyncWriter(store, WriterConfig(retry_budget=60, flush_interval=0.05))
    w.start()
    w.write_row_values(rows(1, 0, 10_000))
    assert w.flush(timeout=60) is False
    w.stop()
    assert len(store.attempts) <= attempts and w.get_stats()["lost"] == 10_000


TEXT_FIELDS = [
    ("row", "row_values", "text_value"),
    ("row", "row_values", "node_operation"),
    ("node", "nodes", "operation"),
    ("node", "nodes", "metadata"),
    ("result", "results", "row_key"),
    ("source", "sources", "column"),
]


@pytest.mark.parametrize("what, where, field", TEXT_FIELDS)
def test_nul_text_is_kept_on_sqlite_and_refused_naming_the_field_on_postgresql(storage, db_url, what, where, field):
    pid = storage.create_pipeline("p")
    nul = "a\x00b"

    def write():
        if what == "row":
            r = StoredRowValue(pid, 1, 7, nul if field == "node_operation" else "op", None, "c", None,
                               nul if field == "text_value" else "t")
            storage.store_row_values([r])
        elif what == "node":
            n = node(5, pid)._replace(**({"operation": nul} if field == "operation" else {"metadata": {"k": nul}}))
            storage.store_nodes([n])
        elif what == "result":
            storage.store_results(pid, [(nul, "out", 7, 1.0, None)])
        else:
            storage.register_source(1, "t", nul, False)

    if db_url.startswith("postgresql"):
        with pytest.raises(ValueError, match=r"%s\[0\]\.%s: PostgreSQL cannot store the NUL" % (where, field)):
            write()
        assert storage.count_row_values(pid) == 0 and storage.get_nodes(pid) == []
        return
    write()
    if what == "row":
        got = storage.get_row_values(pid)[0]
        assert (got.node_operation if field == "node_operation" else got.text_value) == nul
    elif what == "node":
        got = storage.get_nodes(pid)[0]
        assert (got["operation"] if field == "operation" else got["metadata"]["k"]) == nul
    elif what == "result":
        assert storage.get_results(pid)[0][0] == nul
    else:
        assert storage.list_sources()[0]["column_name"] == nul


def test_a_big_write_interrupted_between_pieces_completes_once_when_sent_again(storage, monkeypatch):
    from lumarq.utilities.persistence import _sql

    monkeypatch.setattr(_sql, "SQLITE_WRITE_CHUNK", 1000)
    pid = storage.create_pipeline("p")
    backend = storage.backend
    real = backend._insert_rows
    calls = {"n": 0}
    failing_call = 3 if backend.kind == "sqlite" else 1  # PostgreSQL writes it in one transaction

    def flaky(conn, tenant, chunks, checked=False):
        calls["n"] += 1
        if calls["n"] == failing_call:
            raise ConnectionError("dropped between pieces")
        return real(conn, tenant, chunks, checked)

    monkeypatch.setattr(backend, "_insert_rows", flaky)
    batch = [rows(pid, 0, 4500)]
    with pytest.raises(ConnectionError):
        storage.write_batch(row_values=batch, batch_id="big-1")
    storage.write_batch(row_values=batch, batch_id="big-1")
    assert storage.write_batch(row_values=batch, batch_id="big-1").get("duplicate") == 1
    got = storage.get_row_values(pid)
    assert sorted(r.row_index for r in got) == list(range(4500))
    # SQLite: four 1000-row pieces in transactions of their own, the rest with the batch; the
    # second sending skipped the two pieces already written. PostgreSQL: one transaction.
    assert calls["n"] == (3 + 3 if backend.kind == "sqlite" else 2)


def test_repeated_warnings_are_held_back_and_counted(caplog):
    import logging
    import time

    from lumarq.utilities.persistence._writer import RateLimitedLog

    log = RateLimitedLog(logging.getLogger("lumarq.test"), period=0.3)
    with caplog.at_level(logging.WARNING, logger="lumarq.test"):
        shown = [log.warning("k", "store down: %s", i) for i in range(5)] + [log.warning("other", "x")]
        time.sleep(0.35)
        shown.append(log.warning("k", "store down: %s", 5))
    assert shown == [True, False, False, False, False, True, True]
    assert [r.getMessage() for r in caplog.records] == [
        "store down: 0", "x", "store down: 5 (4 similar warnings in the last 0.3 s not shown)"]
