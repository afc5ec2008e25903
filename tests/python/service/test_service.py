"""The provenance service over real HTTP: storage, reports, keys, tenants, limits."""

from __future__ import annotations

import http.client
import json
import math
import warnings

import pytest
from service_helpers import call, counts, post_like_tracker, tracker_report

from lumarq.utilities.persistence import AsyncWriter, HostedStorage, StoredEdge, StoredNode, WriterConfig, _colwire
from lumarq.utilities.persistence.storage import StoredRowValue

BOTH = pytest.mark.parametrize("service_db", ["sqlite", "postgresql"], indirect=True)


def node(fp, pid, **kw):
    fields = dict(fingerprint=fp, node_type="BINARY", operation="ADD", table_name=None, column_name=None,
                  pair_id=None, is_protected=False, pipeline_id=pid)
    fields.update(kw)
    return StoredNode(**fields)


def source(fp, pid, column, protected=False):
    return node(fp, pid, node_type="SOURCE", operation="load", table_name="loans", column_name=column,
                pair_id=fp, is_protected=protected)


def client(svc, key=None, tenant="ignored-tenant-name"):
    s = HostedStorage(api_url=svc.url, api_key=key or svc.key, tenant_id=tenant)
    s.connect()
    return s


@BOTH
def test_hosted_storage_over_http_stores_everything_under_the_keys_tenant(service):
    # The storage object names another tenant: the key's tenant wins.
    s = client(service, tenant="someone-else")
    pid = s.create_pipeline("credit", config={"threshold": 0.5, "nan": float("nan")}, git_commit="abc")
    s.register_source(0, "loans", "gender", is_protected=True)
    s.register_source(1, "loans", "income")
    assert s.store_nodes([source(0, pid, "gender", True), source(1, pid, "income"), node(10, pid)]) == 3
    assert s.store_nodes([node(10, pid, operation="MUL")]) == 0  # first record of a fingerprint stays
    ids = s.get_fingerprint_node_map(pid)
    assert set(ids) == {0, 1, 10}
    assert s.store_edges_resolved([(ids[0], ids[10], 0), (ids[1], ids[10], 1), (ids[0], ids[10], 0)]) == 2
    # The writer: nodes and edges by fingerprint, row values (NaN, infinities, texts, None).
    writer = AsyncWriter(s, WriterConfig(batch_size=100, flush_interval=1.0, queue_size=10000))
    writer.start()
    writer.register_source(2, "loans", "age", True)
    writer.write_node(node(11, pid, metadata={"note": "x", "w": [1.5, float("inf")]}))
    writer.write_edges([StoredEdge(10, 11, 0), StoredEdge(999, 11, 1)])  # 999 is not stored
    values = [float(i) * 0.5 for i in range(12_000)]
    values[1], values[2], values[3] = float("nan"), float("inf"), None
    rows = [StoredRowValue(pid, i, 11, "ADD", v, "ratio", "someone-else", "n/a" if v is None else None)
            for i, v in enumerate(values)]
    for start in range(0, len(rows), 5000):
        writer.write_row_values(rows[start:start + 5000])
    assert writer.flush(timeout=30.0) is True
    writer.stop()
    stats = writer.get_stats()
    assert stats["row_values"]["written"] == 12_000 and stats["nodes"]["written"] == 1
    assert stats["edges"]["unresolved"] == 1 and stats["sources"]["written"] == 1
    s.store_results(pid, [("r1", "score", 11, 0.75, "ab" * 32), ("r2", "score", 11, None, None)])
    s.complete_pipeline(pid, "completed")

    # What landed in the service's database, read directly under the key's tenant.
    db = service.storage(service.tenant)
    (p,) = db.list_pipelines()
    assert (p["id"], p["name"], p["status"], p["git_commit"]) == (pid, "credit", "completed", "abc")
    assert p["config"] == {"threshold": 0.5, "nan": "NaN"} and (p["node_count"], p["edge_count"]) == (4, 3)
    assert {(x["table_name"], x["column_name"], x["is_protected"]) for x in db.list_sources()} == {
        ("loans", "gender", True), ("loans", "income", False), ("loans", "age", True)}
    by_fp = {n["fingerprint"]: n for n in db.get_nodes(pid)}
    assert by_fp[10]["operation"] == "ADD" and by_fp[0]["is_protected"] is True
    assert by_fp[11]["metadata"] == {"note": "x", "w": [1.5, "Infinity"]}
    assert sorted((e["parent_fingerprint"], e["child_fingerprint"], e["input_position"]) for e in db.get_edges(pid)) \
        == [(0, 10, 0), (1, 10, 1), (10, 11, 0)]
    stored = db.get_row_values(pid)
    assert len(stored) == 12_000 and {r.tenant_id for r in stored} == {service.tenant}
    assert [r.row_index for r in stored] == list(range(12_000))
    assert stored[0].value == 0.0 and stored[4].value == 2.0 and stored[2].value == math.inf
    # NaN is NULL in SQLite either way; PostgreSQL keeps it.
    assert stored[1].value is None or math.isnan(stored[1].value)
    assert (stored[3].value, stored[3].text_value) == (None, "n/a")
    assert db.get_results(pid) == [("r1", "score", 11, 0.75, "ab" * 32), ("r2", "score", 11, None, None)]
    # The client reads back what the database holds.
    assert s.get_row_values(pid, limit=3, offset=2)[0].value == math.inf
    assert s.count_row_values(pid) == 12_000 and s.get_results(pid) == db.get_results(pid)
    assert service.storage("someone-else").list_pipelines() == []
    s.disconnect()


@BOTH
def test_dashboard_report_is_stored_member_by_member(service):
    s = client(service)
    pid = s.create_pipeline("credit_scoring")
    payload = tracker_report(pid)
    status, answer = post_like_tracker(service.url, service.key, payload)
    assert status == 201 and answer == {"report_id": answer["report_id"], "pipeline_id": pid}

    status, detail = call(service.url, "GET", "/v1/pipelines/%d" % pid, key=service.key)
    assert status == 200
    got = detail["report"]["payload"]
    assert got == payload and json.dumps(got) == json.dumps(payload)  # members and their order
    assert detail["fairness"]["has_disparate_impact"] is True
    assert detail["fairness"]["protected_sources"] == ["loans.gender", "loans.age"]
    # A later report of the same pipeline is the one listed.
    later = tracker_report(pid, protected=())
    assert post_like_tracker(service.url, service.key, later)[0] == 201
    status, listing = call(service.url, "GET", "/v1/pipelines", key=service.key)
    (entry,) = listing
    assert (entry["id"], entry["name"], entry["status"]) == (pid, "credit_scoring", "running")
    assert entry["fairness"]["has_disparate_impact"] is False and entry["fairness"]["protected_attributes"] == []

    # No pipeline named: kept, unlinked; a pipeline id that is not the tenant's: refused.
    unnamed = tracker_report(None, name=None, protected=())
    assert post_like_tracker(service.url, service.key, unnamed) == (201, {"report_id": 3, "pipeline_id": None})
    before = counts(service)
    status, answer = post_like_tracker(service.url, service.key, tracker_report(pid + 1000))
    assert status == 404 and "pipeline" in answer["detail"] and counts(service) == before
    # Listings are summaries, a page at a time; a whole report is fetched by id.
    status, reports = call(service.url, "GET", "/v1/dashboard/reports?limit=2", key=service.key)
    assert [(r["pipeline_id"], r["pipeline_name"]) for r in reports["reports"]] == [
        (None, "unnamed_pipeline"), (pid, "credit_scoring")]
    assert "payload" not in reports["reports"][0] and reports["next_before"] == reports["reports"][1]["id"]
    status, rest = call(service.url, "GET", "/v1/dashboard/reports?limit=2&before=%d" % reports["next_before"],
                        key=service.key)
    assert [r["pipeline_id"] for r in rest["reports"]] == [pid] and rest["next_before"] is None
    status, whole = call(service.url, "GET", "/v1/dashboard/reports/%d" % rest["reports"][0]["id"], key=service.key)
    assert status == 200 and whole["payload"] == payload


@pytest.mark.parametrize("header", [
    None,
    "Bearer ",
    "Bearer not-a-lumarq-key",
    "Bearer lmq_0123456789ab_" + "A" * 43,  # well-formed, unknown id
    "Basic dXNlcjpwYXNz",
    "wrong-secret",  # a real key id with another secret
    "revoked",
])
def test_requests_without_a_valid_key_get_401_and_store_nothing(service, header):
    if header == "wrong-secret":
        header = "Bearer " + service.key[:-5] + "AAAAA"
    elif header == "revoked":
        key = service.new_key(service.tenant)
        service.handle.store.revoke_key(key[4:16])
        header = "Bearer " + key
    h = {} if header is None else {"Authorization": header}
    before = counts(service)
    for method, path, body in [
        ("POST", "/v1/pipelines", {"name": "x"}),
        ("POST", "/v1/dashboard/sync", tracker_report(None)),
        ("POST", "/v1/batch", {"row_values": [[[0, 1, 2, "ADD", 1.0, "c", None, None]]]}),
        ("POST", "/v1/nodes", {"nodes": "not checked before the key"}),
        ("GET", "/v1/pipelines", None),
        ("GET", "/v1/auth", None),
    ]:
        status, answer = call(service.url, method, path, body, headers=h)
        assert status == 401 and isinstance(answer["detail"], str), (method, path)
    assert counts(service) == before
    if header is not None and header.startswith("Bearer lmq_"):
        s = HostedStorage(api_url=service.url, api_key=header[7:], tenant_id="t")
        with pytest.raises(PermissionError) as err:
            s.connect()
        assert header[7:] not in str(err.value) and "401" in str(err.value)


@BOTH
def test_a_tenant_never_reads_or_writes_another_tenants_data(service):
    a = client(service)
    pid = a.create_pipeline("a-only")
    a.store_nodes([source(1, pid, "gender", True), node(2, pid)])
    ids = a.get_fingerprint_node_map(pid)
    a.store_edges_resolved([(ids[1], ids[2], 0)])
    a.store_row_values([StoredRowValue(pid, 0, 2, "ADD", 1.0, "c", None, None)])
    assert post_like_tracker(service.url, service.key, tracker_report(pid))[0] == 201
    other = service.new_key("beta")
    before = counts(service)

    assert call(service.url, "GET", "/v1/pipelines", key=other) == (200, [])
    for path in ["", "/dag", "/nodes", "/edges", "/fingerprint-map", "/row-values", "/results", "/reports"]:
        assert call(service.url, "GET", "/v1/pipelines/%d%s" % (pid, path), key=other)[0] == 404, path
    for path, body in [
        ("/v1/pipelines/%d/complete" % pid, {"status": "failed"}),
        ("/v1/nodes", {"nodes": [[3, "BINARY", "ADD", None, None, None, False, None, None, None, pid]]}),
        ("/v1/pipelines/%d/edges" % pid, {"edges": [[1, 2, 1]]}),
        ("/v1/row-values", {"row_values": [[pid, 1, 2, "ADD", 1.0, "c", "acme", None]]}),
        ("/v1/pipelines/%d/results" % pid, {"results": [["k", "o", 2, 1.0, None]]}),
        ("/v1/batch", {"nodes": [[3, "BINARY", "ADD", None, None, None, False, None, None, None, pid]]}),
        ("/v1/dashboard/sync", tracker_report(pid)),
    ]:
        status, answer = call(service.url, "POST", path, body, key=other)
        assert status == 404 and "pipeline" in answer["detail"], path
    # Node ids of another tenant resolve to nothing.
    assert call(service.url, "POST", "/v1/edges/resolved", {"edges": [[ids[2], ids[1], 1]]}, key=other) \
        == (200, {"inserted": 0})
    assert call(service.url, "GET", "/v1/row-values/count", key=other) == (200, {"count": 0})
    assert call(service.url, "GET", "/v1/sources", key=other) == (200, [])
    assert counts(service) == before
    # A tenant named in a body is ignored.
    status, made = call(service.url, "POST", "/v1/pipelines", {"name": "b", "tenant_id": service.tenant}, key=other)
    assert status == 201 and [p["id"] for p in service.storage("beta").list_pipelines()] == [made["id"]]
    assert [p["id"] for p in a.list_pipelines()] == [pid]
    a.disconnect()


@BOTH
def test_complete_answers_the_status_the_pipeline_keeps(service):
    def made() -> int:
        return call(service.url, "POST", "/v1/pipelines", {"name": "p"}, key=service.key)[1]["id"]

    def complete(pid: int, status: str):
        return call(service.url, "POST", "/v1/pipelines/%d/complete" % pid, {"status": status}, key=service.key)

    ok, bad = made(), made()
    assert complete(ok, "completed") == (200, {"id": ok, "status": "completed"})
    assert complete(bad, "failed") == (200, {"id": bad, "status": "failed"})
    # A failed pipeline stays failed, and the answer says so.
    assert complete(bad, "completed") == (200, {"id": bad, "status": "failed"})
    assert complete(10_000, "completed")[0] == 404


GOOD_ROW = [1, 0, 2, "ADD", 1.0, "c", None, None]
GOOD_NODE = [5, "BINARY", "ADD", None, None, None, False, None, None, None, 1]


@BOTH
@pytest.mark.parametrize("path, body, where", [
    ("/v1/batch", {"nodes": [GOOD_NODE], "row_values": [[GOOD_ROW, [1, 1, "2", "ADD", 1.0, "c", None, None]]]},
     "row_values.0.1.2"),
    ("/v1/batch", {"nodes": [GOOD_NODE], "row_values": [[GOOD_ROW]], "extra": 1}, "extra"),
    ("/v1/batch", {"nodes": [GOOD_NODE[:10]]}, "nodes.0"),
    ("/v1/batch", {"edges": [{"pipeline_id": 1, "edges": [[1, 2, -1]]}], "nodes": [GOOD_NODE]}, "edges.0.edges.0.2"),
    ("/v1/batch", {"row_values": [[[1, 0, 2, "ADD", 10 ** 400, "c", None, None]]]}, "row_values.0.0.4"),
    ("/v1/batch", {"sources": [[0, "loans", "gender", "yes"]]}, "sources.0.3"),
    ("/v1/row-values", {"row_values": [[1, 0, 2, "ADD", "abc", "c", None, None]]}, "row_values.0.4"),
    ("/v1/pipelines", {"name": 42}, "name"),
    ("/v1/pipelines/1/complete", {"status": "done"}, "status"),
    ("/v1/dashboard/sync", {"pipeline": {}, "model": {}}, "pipeline.pipeline_name"),
    ("/v1/dashboard/sync", "has_disparate_impact", "fairness.has_disparate_impact"),
    ("/v1/nodes", b'{"nodes": [', "body"),
])
def test_malformed_bodies_get_422_with_the_place_and_store_nothing(service, path, body, where):
    s = client(service)
    assert s.create_pipeline("p") == 1
    if body == "has_disparate_impact":
        body = tracker_report(1)
        body["fairness"]["has_disparate_impact"] = "yes"
    before = counts(service)
    raw = body if isinstance(body, bytes) else None
    status, answer = call(service.url, "POST", path, None if raw else body, key=service.key, raw=raw)
    assert status == 422 and where in answer["detail"], answer
    assert service.key not in json.dumps(answer)
    assert counts(service) == before
    s.disconnect()


def test_bodies_over_the_limit_get_413_and_clients_split_their_writes(start_service):
    svc = start_service(max_body_bytes=64 * 1024)
    s = client(svc)
    pid = s.create_pipeline("p")
    before = counts(svc)
    big = {"row_values": [[pid, i, 2, "ADD", 1.0, "c" * 20, None, None] for i in range(3000)]}
    status, answer = call(svc.url, "POST", "/v1/row-values", big, key=svc.key)
    assert status == 413 and answer["max_body_bytes"] == 64 * 1024
    # Without Content-Length (chunked) the limit holds while reading.
    host, port = svc.url[len("http://"):].split(":")
    conn = http.client.HTTPConnection(host, int(port), timeout=10)
    conn.request("POST", "/v1/row-values", body=iter([json.dumps(big).encode()[i:i + 8192]
                                                       for i in range(0, len(json.dumps(big)), 8192)]),
                 headers={"Authorization": "Bearer " + svc.key, "Content-Type": "application/json"},
                 encode_chunked=True)
    assert conn.getresponse().status == 413
    conn.close()
    assert counts(svc) == before

    # The client keeps under the limit: bulk calls and writer batches are split.
    assert s.store_nodes([node(fp, pid, metadata={"pad": "x" * 40}) for fp in range(3000)]) == 3000
    writer = AsyncWriter(s, WriterConfig())
    writer.start()
    rows = [StoredRowValue(pid, i, 7, "ADD", float(i), "c" * 20, None, None) for i in range(6000)]
    writer.write_row_values(rows[:4000])  # one list over the limit: sent in parts
    writer.write_row_values(rows[4000:4500])  # with the next: one batch over the limit,
    writer.write_row_values(rows[4500:])  # written item by item
    assert writer.flush(timeout=30.0) is True
    writer.stop()
    stats = writer.get_stats()
    assert stats["row_values"]["failed"] == 0 and stats["batches_retried"] == 0  # split, not retried
    assert [r.row_index for r in svc.storage().get_row_values(pid)] == list(range(6000))
    s.disconnect()


@pytest.mark.parametrize("path", ["/v1/batch", "/v1/columns"])
def test_lost_counts_summing_beyond_64_bits_are_capped_not_a_server_error(service, path):
    s = client(service)
    pid = s.create_pipeline("p")
    lost = [[pid, 2**63 - 1], [pid, 5]]
    if path == "/v1/batch":
        got = call(service.url, "POST", path, {"batch_id": "l1", "lost": lost}, key=service.key)
    else:
        body = _colwire.encode(None, None, batch_id="l1", lost=lost)
        got = call(service.url, "POST", path, raw=body, key=service.key, headers={"Content-Type": _colwire.MEDIA_TYPE})
    assert got == (200, {"edges_unresolved": 0, "duplicate": False})
    assert s.get_pipeline(pid)["lost_records"] == 2**63 - 1
    s.disconnect()


def test_a_batch_is_applied_once_even_when_its_answer_is_lost(service):
    s = client(service)
    pid = s.create_pipeline("p")

    class AnswerLostOnce:
        """Passes batches to the service; the first answer 'never arrives'."""
        wants_batch_ids = True

        def __init__(self):
            self.calls = 0

        def write_batch(self, **kw):
            result = s.write_batch(**kw)
            self.calls += 1
            if self.calls == 1:
                raise ConnectionError("connection reset while reading the answer")
            return result

    store = AnswerLostOnce()
    writer = AsyncWriter(store, WriterConfig())
    writer.start()
    writer.write_row_values([StoredRowValue(pid, i, 1, "ADD", 1.0, "c", None, None) for i in range(100)])
    writer.write_node(node(1, pid))
    assert writer.flush(timeout=30.0) is True
    writer.stop()
    assert store.calls == 2 and writer.get_stats()["batches_retried"] == 1
    assert s.count_row_values(pid) == 100
    body = {"batch_id": "fixed-1", "row_values": [[[pid, 0, 1, "ADD", 2.0, "c", None, None]]]}
    assert call(service.url, "POST", "/v1/batch", body, key=service.key)[1] == {"edges_unresolved": 0,
                                                                              "duplicate": False}
    assert call(service.url, "POST", "/v1/batch", body, key=service.key)[1]["duplicate"] is True
    assert s.count_row_values(pid) == 101
    s.disconnect()


@BOTH
def test_dag_endpoint_gives_what_a_drawing_needs(service):
    s = client(service)
    pid = s.create_pipeline("dag")
    s.store_nodes([source(0x0A, pid, "gender", True), source(0x0B, pid, "income"),
                   node(0xFFFFFFFF, pid), node(0x1234, pid, node_type="UNARY", operation="FILL")])
    ids = s.get_fingerprint_node_map(pid)
    s.store_edges_resolved([(ids[0x0A], ids[0xFFFFFFFF], 0), (ids[0x0B], ids[0xFFFFFFFF], 1),
                            (ids[0xFFFFFFFF], ids[0x1234], 0), (ids[0x0B], ids[0x1234], 1)])
    status, dag = call(service.url, "GET", "/v1/pipelines/%d/dag" % pid, key=service.key)
    assert status == 200 and dag["truncated"] is False and dag["pipeline_id"] == pid
    by_fp = {n["fingerprint"]: n for n in dag["nodes"]}
    assert by_fp[0xFFFFFFFF]["fingerprint_hex"] == "0xFFFFFFFF" and by_fp[0x0A]["fingerprint_hex"] == "0x0000000A"
    assert [by_fp[f]["level"] for f in (0x0A, 0x0B, 0xFFFFFFFF, 0x1234)] == [0, 0, 1, 2]
    assert (by_fp[0x0A]["is_protected"], by_fp[0x0A]["table"], by_fp[0x0A]["column"], by_fp[0x0A]["pair_id"]) \
        == (True, "loans", "gender", 0x0A)
    assert by_fp[0x1234]["node_type"] == "UNARY" and by_fp[0x1234]["operation"] == "FILL"
    assert sorted((e["parent"], e["child"], e["position"]) for e in dag["edges"]) == sorted(
        [(ids[0x0A], ids[0xFFFFFFFF], 0), (ids[0x0B], ids[0xFFFFFFFF], 1), (ids[0xFFFFFFFF], ids[0x1234], 0),
         (ids[0x0B], ids[0x1234], 1)])
    status, part = call(service.url, "GET", "/v1/pipelines/%d/dag?max_nodes=2" % pid, key=service.key)
    assert part["truncated"] is True and len(part["nodes"]) == 2 and part["edges"] == []
    s.disconnect()


def test_openapi_document_describes_every_endpoint(service):
    from fastapi.routing import APIRoute

    status, doc = call(service.url, "GET", "/openapi.json")
    assert status == 200
    scheme = doc["components"]["securitySchemes"]["apiKey"]
    assert (scheme["type"], scheme["scheme"]) == ("http", "bearer")
    routes = [r for r in service.handle._server.config.app.routes if isinstance(r, APIRoute)]
    assert len(routes) >= 24
    for route in routes:
        for method in route.methods:
            op = doc["paths"][route.path][method.lower()]
            ok = [c for c in op["responses"] if c.startswith("2")]
            assert ok and "schema" in op["responses"][ok[0]]["content"]["application/json"], route.path
            if route.path.startswith("/v1/"):
                assert op["security"] == [{"apiKey": []}] and "401" in op["responses"], route.path
            if method == "POST" and route.path == "/v1/columns":  # a binary body, not JSON
                assert list(op["requestBody"]["content"]) == ["application/vnd.lumarq.columns"]
            elif method == "POST":
                assert "$ref" in op["requestBody"]["content"]["application/json"]["schema"], route.path
    assert "/v1/dashboard/sync" in doc["paths"] and "/v1/batch" in doc["paths"]
    report = doc["components"]["schemas"]["DashboardReport"]
    assert list(report["properties"]) == ["pipeline", "model", "fairness"]


def test_plain_http_to_another_machine_warns_once_and_never_shows_the_key(monkeypatch):
    from lumarq.utilities.persistence import _http

    monkeypatch.setattr(_http, "CONNECT_TIMEOUT", 0.3)
    key = "lmq_0123456789ab_" + "S" * 43
    backend = _http.HTTPBackend("http://192.0.2.1:9/", key)  # documentation address: nothing answers
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        for _ in range(2):
            with pytest.raises(ConnectionError) as err:
                backend.connect()
            assert key not in str(err.value) and "not available" in str(err.value)
    texts = [str(w.message) for w in seen if issubclass(w.category, UserWarning)]
    assert len(texts) == 1 and "unencrypted" in texts[0] and key not in texts[0]
    assert [_http.is_loopback(h) for h in ("127.0.0.1", "::1", "localhost", "127.8.0.1", "10.0.0.1", "example.org")] \
        == [True, True, True, True, False, False]
