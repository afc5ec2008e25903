"""Requests as the tracker sends them, and database counts."""

from __future__ import annotations

import http.server
import json
import socket
import threading
import urllib.error
import urllib.request
from typing import Any, Dict, Optional, Tuple

TABLES = ("lumarq_pipelines", "lumarq_sources", "lumarq_nodes", "lumarq_edges", "lumarq_row_values",
          "lumarq_results", "lumarq_dashboard_reports")


def call(base: str, method: str, path: str, body: Any = None, key: Optional[str] = None,
         raw: Optional[bytes] = None, headers: Optional[Dict[str, str]] = None) -> Tuple[int, Any]:
    """(status, parsed JSON answer) of one request; never raises for HTTP errors."""
    data = raw if raw is not None else (None if body is None else json.dumps(body).encode("utf-8"))
    h = {"Content-Type": "application/json"} if data is not None else {}
    if key is not None:
        h["Authorization"] = "Bearer " + key
    h.update(headers or {})
    req = urllib.request.Request(base.rstrip("/") + path, data=data, method=method, headers=h)
    try:
        with urllib.request.urlopen(req, timeout=30) as resp:
            status, text = resp.status, resp.read()
    except urllib.error.HTTPError as err:
        status, text = err.code, err.read()
    return status, json.loads(text) if text else None


def tracker_report(pipeline_id: Optional[int], name: Optional[str] = "credit_scoring",
                   protected=("loans.gender", "loans.age"), nodes: int = 7, edges: int = 6) -> Dict[str, Any]:
    """The pipeline report exactly as DAGTracker._sync_to_dashboard builds it."""
    names = list(dict.fromkeys(protected))
    return {
        "pipeline": {
            "pipeline_name": name or "unnamed_pipeline",
            "status": "completed",
            "node_count": nodes,
            "edge_count": edges,
            "provenance_pipeline_id": pipeline_id,
        },
        "model": {
            "model_id": name or "unnamed_pipeline",
            "name": name or "Unnamed Pipeline",
            "version": "1.0",
            "status": "production",
            "domain": "credit",
        },
        "fairness": {
            "model_id": name or "unnamed_pipeline",
            "has_disparate_impact": bool(names),
            "protected_attributes": list(names),
            "details": {"node_count": nodes, "edge_count": edges, "protected_sources": list(names)},
        },
    }


def post_like_tracker(base: str, key: str, payload: Dict[str, Any]) -> Tuple[int, Any]:
    """POST the report the way the tracker does (urllib, header order, 10 s)."""
    url = base.rstrip("/") + "/v1/dashboard/sync"
    req = urllib.request.Request(
        url, data=json.dumps(payload).encode("utf-8"), method="POST",
        headers={"Authorization": "Bearer " + key, "Content-Type": "application/json"},
    )
    try:
        with urllib.request.urlopen(req, timeout=10) as resp:
            return resp.status, json.loads(resp.read())
    except urllib.error.HTTPError as err:
        return err.code, json.loads(err.read() or b"null")


def counts(svc) -> Dict[str, int]:
    with svc.handle.store.backend.engine.connect() as conn:
        return {t: conn.exec_driver_sql("SELECT count(*) FROM %s" % t).scalar() for t in TABLES}


def free_port() -> int:
    """A port nothing listens on (bound once, then released)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class _Failing(http.server.BaseHTTPRequestHandler):
    """Accepts any key at /v1/auth, then answers `server.status` to every write (counted in server.posts)."""

    def _answer(self, status, body):
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        self._answer(200, {"tenant_id": "acme", "key_id": "x", "max_body_bytes": 1 << 20})

    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length") or 0))
        self.server.posts += 1
        self._answer(self.server.status, {"detail": "Internal server error"})

    def log_message(self, *args):
        pass


def start_failing_service(status: int = 500) -> http.server.ThreadingHTTPServer:
    """A running server that answers `status` to every write; `.url`, `.posts`; shut it down after."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Failing)
    server.posts = 0
    server.status = status
    server.url = "http://127.0.0.1:%d" % server.server_address[1]
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
    return server
