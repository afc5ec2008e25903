"""A whole DAGTracker pipeline through the provenance service: what lands under the key's
tenant, the report, and a service that refuses, is down or fails."""
from __future__ import annotations

import json
import logging
import warnings

import pytest
from service_helpers import counts, free_port, start_failing_service, tracker_report

from lumarq.utilities.vantor32 import OpCode
from lumarq.utilities.vantor32_dag import DAGTracker

BOTH = pytest.mark.parametrize("service_db", ["sqlite", "postgresql"], indirect=True)


def run_pipeline(t, rows=5003):
    """Sources (gender protected), two adds of one provenance, a neg of each, `rows` row values."""
    g, i = t.register("loans", "gender", True), t.register("loans", "income")
    pg, pi = t.encode({g}, 11, 0, True, 0), t.encode({i}, 22, 0, False, 0)
    sg, si = t.create_source_node("loans", "gender", pg), t.create_source_node("loans", "income", pi)
    p_add = t.combine(pg, pi, OpCode.ADD)
    a1, a2 = t.log_binary("add", sg, si, p_add), t.log_binary("add", sg, si, p_add)
    p_neg = t.update_chain(p_add, OpCode.NEG)
    t.log_unary("neg", a1, p_neg)
    t.log_unary("neg", a2, p_neg)
    for r in range(rows):
        t.record_row_value(r, p_neg, "neg", r * 0.25, "score")
    return {"gender": pg, "income": pi, "add": p_add, "neg": p_neg}


def tracker(svc, key=None, tenant="someone-else", name="credit_scoring"):
    t = DAGTracker(tenant_id=tenant, service_url=svc.url + "/", pipeline_name=name)
    t.register("loans", "gender", True)  # announced when persistence starts
    t._api_key = key or svc.key
    t.enable_persistence()
    return t


@BOTH
def test_a_pipeline_lands_under_the_keys_tenant_with_its_report(service):
    t = tracker(service)
    with t:
        fp = run_pipeline(t)
        pid = t._pipeline_id
        assert t.flush() is True
        assert t.get_persistence_stats()["row_values"]["written"] == 5003
    db = service.storage()  # the key's tenant, read straight from the service's database
    (p,) = db.list_pipelines()
    assert (p["id"], p["name"], p["status"], p["node_count"], p["edge_count"]) == (
        pid, "credit_scoring", "completed", 4, 3)
    assert {n["fingerprint"]: n["node_type"] for n in db.get_nodes(pid)} == {
        fp["gender"]: "SOURCE", fp["income"]: "SOURCE", fp["add"]: "BINARY", fp["neg"]: "UNARY"}
    assert sorted((e["parent_fingerprint"], e["child_fingerprint"], e["input_position"]) for e in db.get_edges(pid)) \
        == sorted([(fp["gender"], fp["add"], 0), (fp["income"], fp["add"], 1), (fp["add"], fp["neg"], 0)])
    rows = db.get_row_values(pid)
    assert [r.row_index for r in rows] == list(range(5003)) and rows[8].value == 2.0
    assert {r.tenant_id for r in rows} == {service.tenant}
    # income was registered after persistence was on: the flush sends it too (it was lost)
    assert sorted(s["column_name"] for s in db.list_sources()) == ["gender", "income"]
    (report,) = service.handle.store.list_reports(service.tenant)
    want = tracker_report(pid, "credit_scoring", ("loans.gender",), nodes=4, edges=3)
    assert report["pipeline_id"] == pid and json.dumps(report["payload"]) == json.dumps(want)
    assert service.storage("someone-else").list_pipelines() == []


@BOTH
def test_a_second_tenant_sees_nothing_of_the_first(service):
    with tracker(service) as first:
        run_pipeline(first, rows=10)
        first_pid = first._pipeline_id
    other_key = service.new_key("globex")
    with tracker(service, key=other_key, tenant="globex", name="fraud") as second:
        run_pipeline(second, rows=3)
        second_pid = second._pipeline_id
    for tenant, mine, theirs, rows in ((service.tenant, first_pid, second_pid, 10), ("globex", second_pid, first_pid, 3)):
        db = service.storage(tenant)
        assert [p["id"] for p in db.list_pipelines()] == [mine]
        assert db.get_nodes(theirs) == [] and db.get_row_values(theirs) == [] and db.count_row_values() == rows
        assert [r["pipeline_id"] for r in service.handle.store.list_reports(tenant)] == [mine]


def all_warnings(caplog, caught):
    return [str(w.message) for w in caught] + [r.getMessage() for r in caplog.records if r.levelno >= logging.WARNING]


def check_memory_only(t, caplog):
    run_pipeline(t, rows=7)
    assert t._writer is None and t.flush() is True and len(t._value_buffer) == 7
    assert t.get_persistence_stats() is None and len(t._nodes) == 6


def test_a_wrong_key_warns_keeps_the_tracker_in_memory_and_stores_nothing(service, caplog):
    before = counts(service)
    wrong = service.key[:-5] + "AAAAA"
    with caplog.at_level(logging.WARNING), warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        t = tracker(service, key=wrong)
        check_memory_only(t, caplog)
        t.__exit__(None, None, None)
    (text,) = all_warnings(caplog, caught)
    assert text.startswith("Persistence initialization failed: ") and wrong not in text
    assert counts(service) == before


@pytest.mark.parametrize("kind", ["down", "answering 500"])
def test_a_service_down_or_failing_gives_one_warning_and_flush_succeeds(caplog, kind):
    server = None
    url = "http://127.0.0.1:%d" % free_port()
    if kind != "down":
        server = start_failing_service()
        url = server.url
    key = "lmq_0123456789ab_" + "Z" * 43
    try:
        with caplog.at_level(logging.WARNING), warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            with DAGTracker(api_key=key, tenant_id="acme", service_url=url, pipeline_name="p") as t:
                check_memory_only(t, caplog)
        (text,) = all_warnings(caplog, caught)
        assert text.startswith("Persistence initialization failed: ") and key not in text + caplog.text
        assert (t._storage, t._writer) == (None, None)
        if server is not None:
            assert server.posts >= 1 and "500" in text
    finally:
        if server is not None:
            server.shutdown()
            server.server_close()
