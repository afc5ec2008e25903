"""The pipeline report a `DAGTracker` posts to the dashboard service (`_sync_to_dashboard`).

One JSON POST to ``<service_url>/v1/dashboard/sync`` with the key as a bearer token. Nothing is
sent without a service URL or key, or when the URL names a database (storage straight into
SQLite or PostgreSQL has no dashboard). A failure to deliver is logged, never raised; errors in
building the request (an unusable URL, a value JSON cannot hold) propagate, so `flush` tries
the report again later.
"""

from __future__ import annotations

import json
import re
import urllib.error  # noqa: F401  (urlopen's errors)
import urllib.parse
import urllib.request
import warnings
from typing import Any, Dict, List, Tuple

from ._dag_storage import tracker_logger
from ._net import is_loopback

_SCHEME = re.compile(r"([A-Za-z][A-Za-z0-9+.-]*):")
_TIMEOUT_S = 10


def _scheme(url: Any) -> str:
    # Not _urls.url_scheme, which needs "://": "sqlite:x.db" must still count as a database.
    m = _SCHEME.match(url) if isinstance(url, str) else None
    return m.group(1).lower() if m else ""


def _warn_plaintext(url: str) -> bool:
    """Warns when the report would carry the key unencrypted to another machine; True then."""
    host = urllib.parse.urlsplit(url).hostname
    if not isinstance(host, str) or not host or is_loopback(host):
        return False
    warnings.warn("The dashboard report sends the API key unencrypted to %s (plain http to another "
                  "machine); use https." % host, UserWarning, stacklevel=3)
    return True


def protected_sources(nodes: List[Any], disparate: bool) -> Tuple[bool, List[str]]:
    """The report's fields: whether any node is protected (`disparate` already says so for nodes
    not given), and the protected nodes that name a table and column, as "table.column", in node
    order, once each."""
    names: Dict[str, None] = {}
    for node in nodes:
        if not node.is_protected:
            continue
        disparate = True
        table, column = node.table, node.column
        if table and column:
            names["%s.%s" % (table, column)] = None
    return disparate, list(names)


def send_report(tracker: Any, plaintext_warned: bool) -> bool:
    """Posts the report of `tracker`; returns whether the plain-http warning has been given
    (once per tracker: `plaintext_warned` says whether it was before)."""
    base, key = tracker._service_url, tracker._api_key
    if not base or not key:
        return plaintext_warned
    scheme = _scheme(base)
    if scheme.split("+", 1)[0] in ("sqlite", "postgresql", "postgres"):
        return plaintext_warned

    nodes = getattr(tracker, "_nodes_written", 0)
    edges = getattr(tracker, "_edges_written", 0)
    disparate, names = tracker._protected_sources()
    name = tracker._pipeline_name or "unnamed_pipeline"
    fairness = {
        "model_id": name, "has_disparate_impact": disparate, "protected_attributes": list(names),
        "details": {"node_count": nodes, "edge_count": edges, "protected_sources": list(names)},
    }
    if tracker._fairness_report is not None:
        # Measured metrics ride beside the registered-protection flag, which stays as it is.
        fairness["metrics"] = tracker._fairness_report
    payload = {
        "pipeline": {"pipeline_name": name, "status": "completed", "node_count": nodes,
                     "edge_count": edges, "provenance_pipeline_id": tracker._pipeline_id},
        "model": {"model_id": name, "name": tracker._pipeline_name or "Unnamed Pipeline",
                  "version": "1.0", "status": "production", "domain": "credit"},
        "fairness": fairness,
    }
    url = base.rstrip("/") + "/v1/dashboard/sync"
    body = json.dumps(payload).encode("utf-8")
    request = urllib.request.Request(url, data=body, method="POST", headers={
        "Authorization": "Bearer " + key, "Content-Type": "application/json"})
    if not plaintext_warned and scheme == "http":
        plaintext_warned = _warn_plaintext(url)
    try:
        response = urllib.request.urlopen(request, timeout=_TIMEOUT_S)
        try:
            response.read()
        finally:
            response.close()
    except Exception as exc:
        tracker_logger().warning("Dashboard sync failed (non-fatal): %s", exc)
    return plaintext_warned
