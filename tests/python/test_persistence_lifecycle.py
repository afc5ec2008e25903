"""DAGTracker persistence against a recording storage component installed in sys.modules:
switching on and off, the per-node write, flush, statistics and leaving a with block."""
import contextlib
import logging
import os
import pickle
import subprocess
import sys
import textwrap

import pytest
from persistence_fakes import FakeEdge, FakeNode, install_fake_component, remove_component

from lumarq.utilities.persistence import StoredEdge, StoredNode
from lumarq.utilities.vantor32_dag import DAGTracker

LOGGER = "lumarq.utilities.vantor32_dag"
TAINT = 1 << 29
FAILED_INIT = "Persistence initialization failed: boom\nContinuing in memory-only mode."


def tracker_with_sources(**kwargs):
    t = DAGTracker(**kwargs)
    t.register("loans", "gender", True)
    t.register("loans", "income")
    return t


def enabled(comp, **kwargs):
    t = tracker_with_sources(**kwargs)
    t._api_key = "key-1"
    t.enable_persistence()
    return t


# ---------------------------------------------------------------- switching on

@pytest.mark.parametrize("tenant, name, storage_tenant, pipeline_name", [
    (None, None, "default", "unnamed_pipeline"), ("", "", "default", "unnamed_pipeline"),
    ("acme", "credit", "acme", "credit"),
])
def test_enable_persistence_calls_in_order(monkeypatch, tenant, name, storage_tenant, pipeline_name):
    comp = install_fake_component(monkeypatch)
    t = enabled(comp, tenant_id=tenant, service_url="svc://x", pipeline_name=name)
    storage_kwargs = {"api_url": "svc://x", "api_key": "key-1", "tenant_id": storage_tenant}
    create = {"pipeline_name": pipeline_name, "config": None, "git_commit": None, "tenant_id": tenant}
    config = comp.calls("WriterConfig")[0][1]
    assert comp.log == [
        ("HostedStorage", storage_kwargs), ("connect",), ("create_pipeline", create),
        ("WriterConfig", {"batch_size": 100, "flush_interval": 1.0, "queue_size": 10000}),
        ("AsyncWriter", comp.log[4][1], {}), ("start",),
        ("writer.register_source", 0, "loans", "gender", True),
        ("writer.register_source", 1, "loans", "income", False),
        ("expect_graph", 1),  # flush writes the pipeline's whole graph
    ]
    storage, config_obj = comp.log[4][1]
    assert storage is t._storage and config_obj.kwargs is config and type(config["flush_interval"]) is float
    assert t._pipeline_id == 1 and t._writer is not None


@pytest.mark.parametrize("fail, storage_set, pipeline, writer_set", [
    ("connect", True, None, False), ("create_pipeline", True, None, False),
    ("start", True, 1, True), ("writer.register_source", True, 1, True),
])
def test_a_failed_start_warns_and_keeps_what_was_assigned(monkeypatch, fail, storage_set, pipeline, writer_set):
    comp = install_fake_component(monkeypatch, fail=fail)
    # The dashboard report that flush sends is not loaded yet: it must not need the replaced component.
    monkeypatch.delitem(sys.modules, "lumarq.utilities._dashboard", raising=False)
    with pytest.warns(UserWarning) as caught:
        t = enabled(comp, service_url="svc://x")
    assert [str(w.message) for w in caught] == [FAILED_INIT]
    assert comp.names()[-1] == fail
    assert (t._storage is not None, t._pipeline_id, t._writer is not None) == (storage_set, pipeline, writer_set)
    assert t.flush() is True
    t.log_unary("neg", 0, 5)  # the tracker keeps working


def test_an_absent_component_or_a_failing_constructor_propagates(monkeypatch):
    remove_component(monkeypatch)
    with pytest.raises(ImportError):
        DAGTracker(api_key="key-1")
    assert DAGTracker(api_key="").flush() is True  # never imports anything
    install_fake_component(monkeypatch, fail="HostedStorage")
    with pytest.raises(RuntimeError, match="boom"):
        DAGTracker(api_key="key-1")


@pytest.mark.parametrize("first_fail", [None, "connect"])
def test_enabling_again_switches_the_running_persistence_off_first(monkeypatch, first_fail):
    comp = install_fake_component(monkeypatch, fail=first_fail)
    with pytest.warns(UserWarning) if first_fail else contextlib.nullcontext():
        t = enabled(comp)
    comp.fail, comp.log[:] = None, []
    t.enable_persistence()
    old_off = [("complete_pipeline", 1, {"status": "completed"})] if not first_fail else []
    old_off = ([("stop",)] if not first_fail else []) + old_off + [("disconnect",)]
    assert comp.names()[:len(old_off) + 1] == [e[0] for e in old_off] + ["HostedStorage"]
    assert comp.log[:len(old_off)] == old_off
    assert t._pipeline_id == comp.next_pipeline and t._writer is not None


# ---------------------------------------------------------------- the per-node write

class NodeWithCheck(StoredNode):
    made = []

    def __new__(cls, *args, **kwargs):
        NodeWithCheck.made.append(kwargs)
        return super().__new__(cls, *args, **kwargs)


@pytest.mark.parametrize("records", ["keyword", "namedtuple", "checked"])
def test_each_node_is_written_with_its_present_inputs(monkeypatch, records):
    comp = install_fake_component(monkeypatch, records="keyword" if records == "keyword" else "namedtuple")
    if records == "checked":
        comp.StoredNode = NodeWithCheck
        monkeypatch.setitem(sys.modules, "lumarq.utilities.persistence", comp.modules()[0])
        NodeWithCheck.made.clear()
    t = enabled(comp, tenant_id="acme")
    pg, pi = t.encode({0}, 5, 0, True, 0), t.encode({1}, 6, 0, False, 0)
    g = t.create_source_node("loans", "gender", pg)
    i = t.create_source_node("loans", "income", pi)
    gone = t.log_unary("abs", i, t.update_chain(pi, 6))
    del t._nodes[gone]  # as eviction would leave it
    p = t.combine(pg, pi, 1)
    add = t.log_aggregate("sum", [g, gone, i], p, {"w": 1})
    writes = comp.calls("write_node")
    assert len(writes) == 4 and [len(e[1]) for e in comp.calls("write_edges")] == [1, 2]
    info = t.decode_full(p)
    fields = dict(fingerprint=p, node_type="AGGREGATE", operation="sum", table_name=None, column_name=None,
                  pair_id=None, is_protected=True, entity_hash=info.entity, chain_hash=info.chain,
                  metadata={"w": 1}, pipeline_id=1)
    make_node = FakeNode if records == "keyword" else StoredNode
    make_edge = FakeEdge if records == "keyword" else StoredEdge
    assert writes[3][1] == make_node(**fields)
    record = writes[3][1].fields if records == "keyword" else writes[3][1]._asdict()
    assert record["metadata"] is t.get_node(add).metadata  # the node's own dict, not a copy
    assert writes[0][1] == make_node(**dict(fields, fingerprint=pg, node_type="SOURCE", operation="loans.gender",
                                            table_name="loans", column_name="gender", pair_id=0,
                                            entity_hash=5, chain_hash=0, metadata={}))
    edges = comp.calls("write_edges")[1][1]
    assert edges == [make_edge(parent_fingerprint=pg, child_fingerprint=p, input_position=0),
                     make_edge(parent_fingerprint=pi, child_fingerprint=p, input_position=2)]
    if records == "checked":  # a record type with its own constructor is called, not bypassed
        assert len(NodeWithCheck.made) == 4 and type(writes[3][1]) is NodeWithCheck


def test_overrides_of_persist_node_and_decode_full_are_honoured(monkeypatch):
    comp = install_fake_component(monkeypatch)

    class Tracker(DAGTracker):
        def decode_full(self, provenance):
            return type("Info", (), {"entity": provenance + 1, "chain": "c"})()

    t = Tracker(api_key="k")
    t.log_unary("neg", 0, 7)
    assert comp.calls("write_node")[0][1].fields["entity_hash"] == 8
    assert comp.calls("write_node")[0][1].fields["chain_hash"] == "c"
    t._persist_node = lambda node: comp.log.append(("hook", node.node_id))
    t.log_unary("neg", 0, 9)
    assert comp.log[-1] == ("hook", 1)


@pytest.mark.parametrize("fail, message", [
    ("write_node", "Failed to persist DAG node 1: boom"),
    ("write_edges", "Failed to persist DAG edges for node 1: boom"),
])
def test_failed_node_writes_are_logged_and_creation_goes_on(monkeypatch, caplog, fail, message):
    comp = install_fake_component(monkeypatch)
    t = DAGTracker(api_key="k")
    t.log_unary("neg", 5, 3)
    comp.fail = fail
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        assert t.log_unary("neg", 0, 4) == 1
    assert [(r.levelno, r.name, r.getMessage()) for r in caplog.records] == [(logging.WARNING, LOGGER, message)]
    assert caplog.records[0].msg.startswith("Failed to persist DAG ") and "%d: %s" in caplog.records[0].msg
    assert len(comp.calls("write_edges")) == (1 if fail == "write_edges" else 0)


def test_an_absent_component_is_logged_as_an_error_per_node(monkeypatch, caplog):
    comp = install_fake_component(monkeypatch)
    t = DAGTracker(api_key="k")
    remove_component(monkeypatch)
    with caplog.at_level(logging.ERROR, logger=LOGGER):
        t.log_unary("neg", 0, 4)
    assert [r.getMessage() for r in caplog.records] == [
        "Persistence module unavailable \u2014 provenance data is NOT being saved to storage. Install lumarq "
        "with persistence extras or check your installation."]
    assert caplog.records[0].levelno == logging.ERROR and comp.calls("write_node") == []


@pytest.mark.parametrize("missing", ["StoredNode", "StoredEdge"])
def test_a_component_lacking_a_record_type_is_logged_as_absent(monkeypatch, caplog, missing):
    comp = install_fake_component(monkeypatch)
    t = DAGTracker(api_key="k")
    monkeypatch.delattr(sys.modules["lumarq.utilities.persistence"], missing)
    with caplog.at_level(logging.ERROR, logger=LOGGER):
        t.log_unary("neg", 0, 4)
    assert [r.getMessage()[:32] for r in caplog.records] == ["Persistence module unavailable \u2014"]
    assert comp.calls("write_node") == []


def test_decoding_errors_propagate_into_node_creation(monkeypatch):
    install_fake_component(monkeypatch)
    t = DAGTracker(api_key="k")
    with pytest.raises(ValueError):
        t.log_unary("neg", 0, 0xFFFFFFFF)  # a word no encoder produces
    assert 0 in t._nodes  # stored and indexed before the hook ran


# ---------------------------------------------------------------- flush and statistics

def test_a_failed_dag_write_is_logged_once_and_retried_at_the_next_flush(monkeypatch, caplog):
    comp = install_fake_component(monkeypatch)
    t = DAGTracker(api_key="k")
    t.log_unary("neg", 0, 4)
    comp.fail = "store_nodes"
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        assert t.flush() is True
    assert [r.getMessage() for r in caplog.records] == ["Failed to persist DAG to storage (non-fatal): boom"]
    assert t._nodes_persisted is False and t._dashboard_synced is True
    comp.fail = None
    assert t.flush() is True and t._nodes_persisted is True
    assert len(comp.calls("store_nodes")) == 2


@pytest.mark.parametrize("stats, expected", [
    ({}, {}),
    ({"nodes": 1}, {"nodes": 1, "nodes_written": 0, "edges_written": 0}),
    (None, None),
])
def test_persistence_stats(monkeypatch, stats, expected):
    comp = install_fake_component(monkeypatch)
    assert DAGTracker().get_persistence_stats() is None
    t = DAGTracker(api_key="k")
    comp.stats = stats
    assert t.get_persistence_stats() == expected
    if stats:
        t._nodes_written, t._edges_written = 4, 3
        assert t.get_persistence_stats() == {"nodes": 1, "nodes_written": 4, "edges_written": 3}


def _kinds(nodes, rows, failed):
    return {"nodes": {"queued": nodes, "written": nodes, "failed": 0, "pending": 0},
            "row_values": {"queued": rows, "written": rows - failed, "failed": failed,
                           "pending": 0}}


# Counts of a writer stopped by disable_persistence, then of the one enable_persistence starts,
# and what get_persistence_stats() reports: counts summed, the running writer's state as it is.
@pytest.mark.parametrize("first, second, expected", [
    ({**_kinds(3, 9, 1), "lost": 1, "lost_by_pipeline": {1: 1}, "batches_committed": 3,
      "last_error": "down", "queue_depth": 4, "running": False},
     {**_kinds(2, 3, 1), "lost": 2, "lost_by_pipeline": {2: 2}, "batches_committed": 1,
      "last_error": None, "queue_depth": 0, "running": True},
     {**_kinds(5, 12, 2), "lost": 3, "lost_by_pipeline": {1: 1, 2: 2}, "batches_committed": 4,
      "last_error": None, "queue_depth": 0, "running": True}),
    ({"nodes": 1}, {"nodes": 2}, {"nodes": 3}),
    ({"rejected": 2, "nodes": 1}, {"nodes": 0}, {"nodes": 1}),  # only what the writer reports
])
def test_statistics_add_up_over_switching_persistence_off_and_on(monkeypatch, first, second,
                                                                 expected):
    comp = install_fake_component(monkeypatch)
    t = DAGTracker(api_key="k")
    comp.stats = first
    t.disable_persistence()
    t.enable_persistence()
    comp.stats = second
    assert t.get_persistence_stats() == {**expected, "nodes_written": 0, "edges_written": 0}
    assert comp.stats == second  # the writer's own dict is left as it is
    # a pickled tracker leaves its writers behind, and their counts with them
    assert pickle.loads(pickle.dumps(t)).get_persistence_stats() is None
    fresh = pickle.loads(pickle.dumps(t))
    fresh._api_key, fresh._service_url = "k", ""
    fresh.enable_persistence()
    assert fresh.get_persistence_stats() == {**second, "nodes_written": 0, "edges_written": 0}


@pytest.mark.parametrize("stats", [[1], "x", 0, ()])
def test_statistics_that_are_not_a_dict_are_refused(monkeypatch, stats):
    comp = install_fake_component(monkeypatch)
    t = DAGTracker(api_key="k")
    comp.stats = stats
    with pytest.raises(TypeError):
        t.get_persistence_stats()


# ---------------------------------------------------------------- leaving a with block

def test_a_pipeline_failed_by_an_exception_is_never_completed_afterwards(monkeypatch):
    comp = install_fake_component(monkeypatch)
    with pytest.raises(KeyError):
        with DAGTracker(api_key="k"):
            raise KeyError("x")
    assert comp.calls("complete_pipeline") == [("complete_pipeline", 1, {"status": "failed"})]
    assert comp.names()[-3:] == ["complete_pipeline", "stop", "disconnect"]


@pytest.mark.parametrize("in_block", [None, KeyError])
def test_a_flush_that_raises_on_exit_still_switches_persistence_off(monkeypatch, caplog, in_block):
    comp = install_fake_component(monkeypatch)
    t = DAGTracker(api_key="k")
    comp.fail = "writer.flush"
    # A store failure is logged and counted; only the block's own exception leaves it.
    with caplog.at_level(logging.WARNING, logger="lumarq"):
        if in_block:
            with pytest.raises(KeyError, match="in the block") as err:
                with t:
                    raise in_block("in the block")
            assert err.value.__context__ is None
        else:
            with t:
                pass
    assert "boom" in caplog.text and t._store_failures == 1
    assert (t._writer, t._storage, t._pipeline_id) == (None, None, None)
    assert comp.names()[-4:] == ["writer.flush", "complete_pipeline", "stop", "disconnect"]
    assert comp.calls("complete_pipeline") == [("complete_pipeline", 1, {"status": "failed"})]


def test_when_switching_off_also_fails_both_failures_are_logged_and_counted(monkeypatch, caplog):
    comp = install_fake_component(monkeypatch)
    t = DAGTracker(api_key="k")
    comp.fail = "writer.flush"

    def failing_disable():
        raise ValueError("disable failed")

    t.disable_persistence = failing_disable
    with caplog.at_level(logging.WARNING, logger="lumarq"):
        assert t.__exit__(None, None, None) is False
    assert "disable failed" in caplog.text and "boom" in caplog.text and t._store_failures == 2
    del t.disable_persistence
    t.disable_persistence()
    assert comp.calls("complete_pipeline") == [("complete_pipeline", 1, {"status": "failed"})]


# ---------------------------------------------------------------- row records

def test_row_records_follow_the_component_in_sys_modules(monkeypatch):
    from persistence_fakes import FakeRow

    from lumarq.utilities.persistence.storage import StoredRowValue

    t = DAGTracker(tenant_id="acme")
    t.record_row_value(1, 2, "op", 1.5)
    install_fake_component(monkeypatch)
    t.record_row_value(2, 3, "op", "x", "c")
    monkeypatch.undo()
    t.record_row_value(3, 4, "op")
    assert [type(r) for r in t._value_buffer] == [StoredRowValue, FakeRow, StoredRowValue]
    assert t._value_buffer[1] == FakeRow(pipeline_id=0, row_index=2, fingerprint=3, node_operation="op",
                                         value=None, column_name="c", tenant_id="acme", text_value="x")
    remove_component(monkeypatch)
    with pytest.raises(ImportError):
        t.record_row_value(4, 5, "op")
    assert len(t._value_buffer) == 3


# ---------------------------------------------------------------- interpreter exit

def test_a_tracker_alive_at_interpreter_exit_switches_persistence_off():
    """The finaliser completes the pipeline of a tracker still alive when the interpreter exits, and
    one that only the last collection reaches (a function set on the class refers to it) ends the
    process normally instead of aborting it."""
    code = """
        import sys
        from lumarq.utilities.vantor32_dag import DAGTracker

        class Writer:
            def stop(self, out=sys.stderr):
                out.write("writer stopped\\n")

        class Storage:
            def complete_pipeline(self, pipeline, status, out=sys.stderr):
                out.write("pipeline %d %s\\n" % (pipeline, status))

            def disconnect(self):
                pass

        kept = DAGTracker()
        kept._writer, kept._storage, kept._pipeline_id = Writer(), Storage(), 7
        scope = {"DAGTracker": DAGTracker}
        exec("late = DAGTracker()\\ndef late_tracker(self):\\n    return late", scope)
        DAGTracker.late_tracker = scope.pop("late_tracker")
    """
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stderr.splitlines() == ["writer stopped", "pipeline 7 completed"]


def test_sources_registered_by_threads_after_a_report_start_one_pipeline(tmp_path):
    # Each thread completed the current pipeline and opened its own: pipelines left running
    # for ever, and rows split over them (about half of the runs).
    import threading

    import numpy as np
    import pandas as pd

    import lumarq
    from lumarq.utilities.persistence import HostedStorage

    for trial in range(5):
        url = f"sqlite:///{tmp_path}/run{trial}.db"
        t = DAGTracker(api_key="k", tenant_id="acme", service_url=url, pipeline_name="p")
        lumarq.track(pd.DataFrame({"a": [1.0, 2.0]}), t, "first")
        t.flush()  # the report is sent: the next source starts the next pipeline
        gate = threading.Barrier(4)

        def work(k):
            gate.wait()
            d = lumarq.track(pd.DataFrame({"x": np.arange(50.0)}), t, f"tab{k}")
            d["x"] + d["x"]

        threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
        for x in threads:
            x.start()
        for x in threads:
            x.join()
        t.flush()
        t.disable_persistence()
        store = HostedStorage(api_url=url, api_key=None, tenant_id="acme")
        store.connect()
        try:
            pipelines = store.list_pipelines()
            assert sorted(p["status"] for p in pipelines) == ["completed", "completed"], trial
            assert store.count_row_values(max(p["id"] for p in pipelines)) == 4 * 2 * 50
        finally:
            store.disconnect()
