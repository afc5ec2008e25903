import logging
import threading
import time

import pytest

from lumarq.utilities.persistence import AsyncWriter, HostedStorage, StoredEdge, StoredNode, WriterConfig
from lumarq.utilities.persistence.storage import StoredRowValue

LOGGER = "lumarq.utilities.persistence"


def node(fp, pipeline_id):
    return StoredNode(fingerprint=fp, node_type="BINARY", operation="ADD", table_name="loans",
                      column_name="amount", pair_id=1, is_protected=False, pipeline_id=pipeline_id)


def row(pid, i):
    return StoredRowValue(pid, i, 7, "ADD", float(i), "amount", "t", None)


class FakeStore:
    """Records each write_batch call; can fail or block on an Event."""

    def __init__(self, fail_times=0, exc=RuntimeError, gate=None, delay=0.0):
        self.calls = []
        self.fail_times = fail_times
        self.exc = exc
        self.gate = gate
        self.delay = delay

    def write_batch(self, *, sources, nodes, edges, row_values):
        if self.gate is not None:
            self.gate.wait()
        if self.delay:
            time.sleep(self.delay)
        self.calls.append({"sources": len(sources), "nodes": len(nodes), "edges": sum(len(e) for _, e in edges),
                           "row_values": sum(len(r) for r in row_values)})
        if self.fail_times > 0:
            self.fail_times -= 1
            raise self.exc("boom from the store")
        return {"edges_unresolved": 0}


def config(**kw):
    return WriterConfig(**{"batch_size": 100, "flush_interval": 1.0, "queue_size": 10000, **kw})


@pytest.fixture
def writers():
    made = []

    def make(store, cfg=None, start=True):
        w = AsyncWriter(store, cfg or config())
        made.append(w)
        if start:
            w.start()
        return w

    yield make
    for w in made:
        w.stop(timeout=10)


def test_writer_persists_everything_and_flush_confirms(make_storage, writers):
    storage = make_storage()
    pid = storage.create_pipeline("p")
    w = writers(storage)
    w.register_source(0, "loans", "gender", True)
    for fp in range(1, 51):
        w.write_node(node(fp, pid))
        if fp > 1:
            w.write_edges([StoredEdge(fp - 1, fp, 0), StoredEdge(1, fp, 1)])
    w.write_row_values([row(pid, i) for i in range(5000)])
    w.write_row_values([row(pid, i) for i in range(5000, 7500)])
    assert w.flush(timeout=30) is True
    p = storage.get_pipeline(pid)
    assert (p["node_count"], p["edge_count"]) == (50, 98)
    assert storage.count_row_values(pid) == 7500
    assert storage.list_sources()[0]["is_protected"] is True
    stats = w.get_stats()
    assert stats["nodes"] == {"queued": 50, "written": 50, "failed": 0, "pending": 0}
    assert stats["edges"]["written"] == 98 and stats["row_values"]["written"] == 7500
    assert stats["sources"]["written"] == 1 and stats["last_error"] is None and stats["running"] is True
    w.stop()
    w.stop()
    assert w.get_stats()["running"] is False


def test_batches_hold_at_most_batch_size_items(writers):
    store = FakeStore()
    w = writers(store, config(batch_size=3), start=False)
    for fp in range(7):
        w.write_node(node(fp, 1))
    w.start()
    assert w.flush(timeout=10)
    assert [c["nodes"] for c in store.calls] == [3, 3, 1]


@pytest.mark.parametrize("started", [True, False])
def test_batches_hold_at_most_max_batch_rows_row_values(writers, started):
    store = FakeStore()
    w = writers(store, config(max_batch_rows=1000), start=False)
    for start in range(0, 2000, 400):
        w.write_row_values([row(1, i) for i in range(start, min(start + 400, 2000))])
    w.write_row_values([row(1, i) for i in range(2000, 4500)])  # queued as 1000, 1000, 500
    w.write_node(node(1, 1))
    if started:
        w.start()
        assert w.flush(timeout=10)
    else:
        w.stop()  # drains on this thread
    sizes = [c["row_values"] for c in store.calls]
    assert max(sizes) <= 1000 and sum(sizes) == 4500
    assert sizes == [800, 800, 400, 1000, 1000, 500]
    assert sum(c["nodes"] for c in store.calls) == 1


def test_a_store_that_wants_batch_ids_gets_the_same_id_for_the_retry(writers):
    class Remote(FakeStore):
        wants_batch_ids = True

        def write_batch(self, *, batch_id, **kw):
            self.ids.append(batch_id)
            return super().write_batch(**kw)

    store = Remote(fail_times=1)
    store.ids = []
    w = writers(store)
    w.write_node(node(1, 1))
    assert w.flush(timeout=10)
    w.write_node(node(2, 1))
    assert w.flush(timeout=10)
    assert len(store.ids) == 3 and store.ids[0] == store.ids[1] != store.ids[2]
    assert all(isinstance(i, str) and len(i) >= 16 for i in store.ids)


def test_partial_batch_is_committed_after_flush_interval(writers):
    store = FakeStore()
    w = writers(store, config(flush_interval=0.1))
    w.write_node(node(1, 1))
    deadline = time.monotonic() + 10
    while not store.calls and time.monotonic() < deadline:
        time.sleep(0.01)
    assert store.calls == [{"sources": 0, "nodes": 1, "edges": 0, "row_values": 0}]


def test_flush_times_out_while_the_store_is_stalled(writers, caplog):
    gate = threading.Event()
    store = FakeStore(gate=gate)
    w = writers(store)
    w.write_row_values([row(1, 0)])
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        assert w.flush(timeout=0.2) is False
    assert "timed out" in caplog.text
    gate.set()
    assert w.flush(timeout=10) is True
    assert w.get_stats()["row_values"]["written"] == 1


@pytest.mark.parametrize("fail_times, ok", [(1, True), (99, False)])
def test_failed_batch_is_retried_once(writers, caplog, fail_times, ok):
    store = FakeStore(fail_times=fail_times)
    w = writers(store)
    w.write_node(node(1, 1))
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        assert w.flush(timeout=10) is ok
    assert len(store.calls) == 2
    stats = w.get_stats()
    assert stats["batches_retried"] == 1
    if ok:
        assert stats["nodes"]["written"] == 1 and stats["last_error"] is None and caplog.text == ""
    else:
        assert stats["nodes"]["failed"] == 1 and stats["nodes"]["written"] == 0
        assert "boom from the store" in stats["last_error"]
        assert "1 nodes" in caplog.text and "boom from the store" in caplog.text
        assert w.flush(timeout=10) is True  # nothing failed since the previous flush


def test_connection_failure_fails_the_batch_without_item_by_item_retries(writers):
    store = FakeStore(fail_times=99, exc=ConnectionError)
    w = writers(store, config(retry_budget=0.6), start=False)
    for fp in range(3):
        w.write_node(node(fp, 1))
    w.start()
    assert w.flush(timeout=10) is False
    # Retried with backoff as a whole batch until the budget ran out.
    assert 2 <= len(store.calls) <= 5 and all(c["nodes"] == 3 for c in store.calls)
    assert w.get_stats()["nodes"]["failed"] == 3


def test_a_bad_record_does_not_sink_the_rest_of_its_batch(make_storage, writers):
    storage = make_storage()
    pid = storage.create_pipeline("p")
    w = writers(storage, start=False)
    w.write_node(node(1, pid))
    w.write_node(node(2, pid + 1000))  # no such pipeline
    w.write_row_values([row(pid, i) for i in range(10)])
    w.start()
    assert w.flush(timeout=30) is False
    stats = w.get_stats()
    assert (stats["nodes"]["written"], stats["nodes"]["failed"], stats["row_values"]["written"]) == (1, 1, 10)
    assert "pipeline" in stats["last_error"]
    assert set(storage.get_fingerprint_node_map(pid)) == {1} and storage.count_row_values(pid) == 10


def test_stop_drains_and_later_writes_fail_without_blocking(writers, caplog):
    gate = threading.Event()
    store = FakeStore(gate=gate)
    w = writers(store, config(batch_size=5))
    for fp in range(20):
        w.write_node(node(fp, 1))
    stopper = threading.Thread(target=w.stop)
    stopper.start()
    time.sleep(0.1)
    gate.set()
    stopper.join(10)
    assert not stopper.is_alive()
    assert sum(c["nodes"] for c in store.calls) == 20
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        w.write_node(node(99, 1))
        w.write_row_values([row(1, 0)])
    stats = w.get_stats()
    assert (stats["nodes"]["failed"], stats["row_values"]["failed"]) == (1, 1)
    assert stats["last_error"] == "AsyncWriter is stopped"
    assert caplog.text.count("stopped") == 1
    with pytest.raises(RuntimeError):
        w.start()


def test_stop_without_start_writes_what_was_queued(writers):
    store = FakeStore()
    w = writers(store, start=False)
    w.write_node(node(1, 1))
    w.write_row_values([row(1, 0), row(1, 1)])
    w.stop()
    assert store.calls == [{"sources": 0, "nodes": 1, "edges": 0, "row_values": 2}]


def test_bounded_queue_fails_writes_only_when_the_store_makes_no_progress(writers):
    gate = threading.Event()
    store = FakeStore(gate=gate)
    w = writers(store, config(batch_size=1, queue_size=2, put_timeout=0.3, journal_max_bytes=0))
    for fp in range(5):  # 1 held by the stalled writer, 2 queued, 2 cannot be queued
        w.write_node(node(fp, 1))
        assert w.get_stats()["queue_depth"] <= 2
    stats = w.get_stats()
    assert stats["nodes"]["failed"] == 2 and "queue full" in stats["last_error"]
    gate.set()
    assert w.flush(timeout=10) is False  # two records were lost since the last flush
    assert w.get_stats()["nodes"]["written"] == 3
    w.write_node(node(10, 1))
    assert w.flush(timeout=10) is True


def test_queued_row_values_are_bounded_in_rows_not_only_in_items(writers):
    gate = threading.Event()
    store = FakeStore(gate=gate)
    w = writers(store, config(max_queued_rows=10, put_timeout=0.3, journal_max_bytes=0))
    w.write_row_values([row(1, i) for i in range(50)])  # over the bound, but nothing else is queued
    w.write_row_values([row(1, i) for i in range(6)])  # would exceed it while the store is stalled
    stats = w.get_stats()["row_values"]
    assert (stats["queued"], stats["failed"], w.get_stats()["queue_depth"]) == (56, 6, 0)
    gate.set()
    assert w.flush(timeout=10) is False  # the 6 rows failed
    assert w.get_stats()["row_values"]["written"] == 50


@pytest.mark.parametrize("kind", ["nodes", "row_values"])
def test_a_full_queue_slows_the_producer_while_the_store_keeps_up(writers, kind):
    store = FakeStore(delay=0.02)
    w = writers(store, config(batch_size=1, queue_size=2, max_queued_rows=10, put_timeout=0.5))
    for i in range(20):
        if kind == "nodes":
            w.write_node(node(i, 1))
        else:
            w.write_row_values([row(1, i), row(1, i)])
    assert w.flush(timeout=30) is True
    n = 20 if kind == "nodes" else 40
    assert w.get_stats()[kind] == {"queued": n, "written": n, "failed": 0, "pending": 0}


def test_edges_resolve_in_the_pipeline_of_the_preceding_node(make_storage, writers, caplog):
    storage = make_storage()
    p1, p2 = storage.create_pipeline("p1"), storage.create_pipeline("p2")
    storage.store_nodes([node(1, p1), node(1, p2)])
    w = writers(storage)
    w.write_node(node(2, p1))
    w.write_edges([StoredEdge(1, 2, 0)])
    w.write_node(node(2, p2))
    w.write_edges([StoredEdge(1, 2, 0)])
    w.write_edges([StoredEdge(2, 1, 5)], pipeline_id=p1)
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        w.write_edges([StoredEdge(777, 2, 1)])  # parent never stored
        assert w.flush(timeout=30) is True
    pos = lambda pid: sorted((e["parent_fingerprint"], e["child_fingerprint"], e["input_position"])  # noqa: E731
                             for e in storage.get_edges(pid))
    assert pos(p1) == [(1, 2, 0), (2, 1, 5)] and pos(p2) == [(1, 2, 0)]
    assert w.get_stats()["edges"] == {"queued": 4, "written": 3, "failed": 0, "unresolved": 1, "pending": 0}
    assert "1 edges were not stored" in caplog.text

    fresh = writers(storage)
    fresh.write_edges([StoredEdge(1, 2, 0)])  # no node written yet: no pipeline to resolve in
    assert fresh.get_stats()["edges"]["failed"] == 1


def test_writer_logs_and_stats_never_show_secrets(tmp_path, writers, caplog):
    storage = HostedStorage(api_url="sqlite:///" + str(tmp_path / "s.db"), api_key="ak-Secret123", tenant_id="t")
    storage.connect()

    def leaky_write_batch(*args, **kwargs):
        raise RuntimeError("server rejected Authorization: Bearer ak-Secret123")

    storage.backend.write_batch = leaky_write_batch
    w = writers(storage)
    w.write_node(node(1, 1))
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        assert w.flush(timeout=10) is False
    assert "ak-Secret123" not in caplog.text and "ak-Secret123" not in w.get_stats()["last_error"]
    assert "Bearer ***" in w.get_stats()["last_error"]
    w.stop()
    storage.disconnect()


def test_get_stats_returns_a_fresh_dict(writers):
    w = writers(FakeStore())
    stats = w.get_stats()
    stats["nodes"]["written"] = 10**6
    stats["extra"] = 1
    again = w.get_stats()
    assert again["nodes"]["written"] == 0 and "extra" not in again


def test_flush_on_a_writer_that_never_started_reports_the_backlog(writers, caplog):
    w = writers(FakeStore(), start=False)
    w.write_node(node(1, 1))
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        assert w.flush(timeout=0.1) is False
    assert "not running" in caplog.text


def test_records_queued_at_interpreter_exit_are_written(tmp_path):
    import os
    import subprocess
    import sys
    import textwrap

    db = tmp_path / "exit.db"
    script = textwrap.dedent(
        """
        import sys
        from lumarq.utilities.persistence import AsyncWriter, HostedStorage, WriterConfig
        from lumarq.utilities.persistence.storage import StoredRowValue
        s = HostedStorage(api_url="sqlite:///" + sys.argv[1], api_key="k", tenant_id="t")
        s.connect()
        pid = s.create_pipeline("p")
        w = AsyncWriter(s, WriterConfig(batch_size=100, flush_interval=30.0, queue_size=10))
        w.start()
        w.write_row_values([StoredRowValue(pid, i, 1, "ADD", 1.0, "c", "t", None) for i in range(1000)])
        """  # ends without flush() or stop()
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    subprocess.run([sys.executable, "-c", script, str(db)], check=True, env=env, timeout=120)
    storage = HostedStorage(api_url="sqlite:///" + str(db), api_key="k", tenant_id="t")
    storage.connect()
    assert storage.count_row_values() == 1000
    storage.disconnect()
