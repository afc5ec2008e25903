"""DAGTracker._sync_to_dashboard: the report as a real HTTP server on 127.0.0.1 receives it,
the time-out, failures, database URLs and plain http to another machine."""
import http.server
import json
import logging
import socket
import threading
import time
import urllib.request
import warnings

import pytest

from lumarq.utilities.vantor32_dag import DAGTracker, NodeType

LOGGER = "lumarq.utilities.vantor32_dag"
KEY = "lmq_0123456789ab_" + "K" * 43


class Recorder(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        self.server.requests.append((self.command, self.path, list(self.headers.items()), body))
        status = self.server.status
        self.send_response(status)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"{}")

    def log_message(self, *args):
        pass


@pytest.fixture
def server():
    srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Recorder)
    srv.requests, srv.status = [], 201
    threading.Thread(target=srv.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
    srv.url = "http://127.0.0.1:%d" % srv.server_address[1]
    yield srv
    srv.shutdown()
    srv.server_close()


def reporting_tracker(url, name="credit", key=KEY):
    """A tracker with persistence on as far as flush can tell (a writer and no storage)."""
    t = DAGTracker(service_url=url, pipeline_name=name)
    t._api_key = key

    class Writer:
        def write_row_values(self, rows):
            pass

        def flush(self, timeout):
            pass

        def stop(self):
            pass

    t._writer = Writer()
    return t


def expected(name, pid, nodes, edges, names, disparate=None):
    return {
        "pipeline": {"pipeline_name": name or "unnamed_pipeline", "status": "completed", "node_count": nodes,
                     "edge_count": edges, "provenance_pipeline_id": pid},
        "model": {"model_id": name or "unnamed_pipeline", "name": name or "Unnamed Pipeline", "version": "1.0",
                  "status": "production", "domain": "credit"},
        "fairness": {"model_id": name or "unnamed_pipeline", "has_disparate_impact": bool(names) if disparate is None else disparate,
                     "protected_attributes": names,
                     "details": {"node_count": nodes, "edge_count": edges, "protected_sources": names}},
    }


@pytest.mark.parametrize("slashes", ["", "/", "//"])
@pytest.mark.parametrize("name", ["crédit", None, ""])
def test_the_report_as_the_service_receives_it(server, slashes, name):
    t = reporting_tracker(server.url + slashes, name)
    t.register("loans", "gender", True)
    t.create_source_node("loans", "gender", 1)
    t._create_node(NodeType.SOURCE, "again", [], 2, table="loans", column="gender", is_protected=True)
    t._create_node(NodeType.UNARY, "x", [], 3, table="loans", column="age", is_protected=True)
    t._create_node(NodeType.UNARY, "y", [], 4, table=None, column="age", is_protected=True)
    t._create_node(NodeType.UNARY, "z", [], 5, table="loans", column="income")
    t._nodes_written, t._edges_written, t._pipeline_id = 7, 6, 42
    assert t.flush() is True and t._dashboard_synced is True
    ((method, path, headers, body),) = server.requests
    assert (method, path) == ("POST", "/v1/dashboard/sync")
    names = [k.lower() for k, _ in headers]
    assert dict((k.lower(), v) for k, v in headers)["authorization"] == "Bearer " + KEY
    assert dict((k.lower(), v) for k, v in headers)["content-type"] == "application/json"
    assert names.index("authorization") < names.index("content-type")
    got, want = json.loads(body), expected(name, 42, 7, 6, ["loans.age", "loans.gender"])
    for part in (got["fairness"], got["fairness"]["details"]):  # the lists' order is not fixed
        for member in ("protected_attributes", "protected_sources"):
            if member in part:
                part[member].sort()
    assert json.dumps(got) == json.dumps(want)  # members, values and their order
    assert body == json.dumps(json.loads(body)).encode("utf-8")  # json.dumps defaults, as UTF-8
    if name:
        assert b"cr\\u00e9dit" in body


@pytest.mark.parametrize("protected", [False, True])
def test_counts_default_to_zero_and_a_nameless_protected_node_counts(server, protected):
    t = reporting_tracker(server.url)
    t.log_unary("neg", 0, 5)
    t._create_node(NodeType.UNARY, "p", [], 6, is_protected=protected)  # no table or column
    t._sync_to_dashboard()
    assert json.loads(server.requests[0][3]) == expected("credit", None, 0, 0, [], disparate=protected)


def test_the_request_carries_a_ten_second_timeout(monkeypatch):
    seen = []

    class Response:
        def read(self):
            seen.append("read")

        def close(self):
            seen.append("close")

    def urlopen(req, timeout=None):
        seen.append((req.get_method(), req.full_url, req.header_items(), timeout))
        return Response()

    monkeypatch.setattr(urllib.request, "urlopen", urlopen)
    reporting_tracker("https://dash.example/base/")._sync_to_dashboard()
    ((method, url, headers, timeout), read, close) = seen
    assert (method, url, timeout, read, close) == ("POST", "https://dash.example/base/v1/dashboard/sync", 10,
                                                   "read", "close")
    assert [k.lower() for k, _ in headers] == ["authorization", "content-type"]


def test_a_service_that_never_answers_times_out_and_is_logged_once(monkeypatch, caplog):
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen(1)  # accepts the connection, never answers
    real_urlopen, timeouts = urllib.request.urlopen, []

    def urlopen(req, timeout):
        timeouts.append(timeout)
        return real_urlopen(req, timeout=0.3)  # the tracker's 10 s, shortened for the test

    monkeypatch.setattr(urllib.request, "urlopen", urlopen)
    t = reporting_tracker("http://127.0.0.1:%d" % silent.getsockname()[1])
    try:
        with caplog.at_level(logging.WARNING, logger=LOGGER):
            started = time.monotonic()
            assert t.flush() is True and t.flush() is True
    finally:
        silent.close()
    assert timeouts == [10] and time.monotonic() - started < 5
    (record,) = caplog.records
    assert record.msg == "Dashboard sync failed (non-fatal): %s" and "timed out" in record.getMessage()


@pytest.mark.parametrize("status", [401, 500])
def test_an_error_status_is_logged_once_and_flush_succeeds(server, caplog, status):
    server.status = status
    t = reporting_tracker(server.url)
    with caplog.at_level(logging.DEBUG, logger="lumarq"):
        assert t.flush() is True and t.flush() is True
    assert len(server.requests) == 1 and t._dashboard_synced is True
    (record,) = caplog.records
    assert (record.levelno, record.name) == (logging.WARNING, LOGGER)
    assert record.getMessage().startswith("Dashboard sync failed (non-fatal): HTTP Error %d" % status)
    assert KEY not in caplog.text


@pytest.mark.parametrize("url, key", [
    ("sqlite:///x.db", KEY), ("postgresql://u@h/db", KEY), ("postgresql+psycopg://u@h/db", KEY),
    ("SQLite:///:memory:", KEY), ("", KEY), ("http://127.0.0.1:9", ""), ("http://127.0.0.1:9", None),
])
def test_database_urls_and_missing_settings_send_nothing(monkeypatch, url, key):
    monkeypatch.setattr(urllib.request, "urlopen", lambda *a, **k: pytest.fail("nothing may be sent"))
    t = reporting_tracker(url, key=key)
    assert t.flush() is True and t._dashboard_synced is True


@pytest.mark.parametrize("url, pipeline_id, error", [
    ("dashboard.example.org", 1, ValueError), ("http://127.0.0.1:9", object(), TypeError),
])
def test_errors_before_sending_propagate_and_the_report_is_retried(monkeypatch, url, pipeline_id, error):
    monkeypatch.setattr(urllib.request, "urlopen", lambda *a, **k: pytest.fail("nothing may be sent"))
    t = reporting_tracker(url)
    t._pipeline_id = pipeline_id
    with pytest.raises(error):
        t.flush()
    assert t._dashboard_synced is False


@pytest.mark.parametrize("url, warns", [
    ("http://192.0.2.1:9/", True), ("http://dash.example.org", True), ("HTTP://10.0.0.1", True),
    ("https://192.0.2.1", False), ("http://127.0.0.1:9", False), ("http://localhost:9", False),
    ("http://[::1]:9", False), ("http://api.localhost", False),
])
def test_plain_http_to_another_machine_warns_once_per_tracker(monkeypatch, url, warns):
    sent = []

    class Response:
        read = close = lambda self: None

    monkeypatch.setattr(urllib.request, "urlopen", lambda req, timeout: sent.append(req) or Response())
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for _ in range(2):
            t = reporting_tracker(url)
            t._sync_to_dashboard()
            t._sync_to_dashboard()
    texts = [str(w.message) for w in caught if issubclass(w.category, UserWarning)]
    assert len(sent) == 4  # the report is sent all the same
    assert len(texts) == (2 if warns else 0)
    assert all("unencrypted" in x and KEY not in x for x in texts)
