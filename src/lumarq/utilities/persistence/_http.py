"""Client of the lumarq provenance service (``lumarq serve``).

`HostedStorage` picks this backend for http(s) URLs. Standard library only
(`http.client`): the tracker loads the storage component lazily and must not
need a web framework. The API key travels as a bearer token; the service
stores everything under the key's tenant, whatever tenant the caller names.

Every request has a time-out. Retrying is the writer's business (it retries
outages with backoff); what this client adds is a batch id on every append-only
write, so that a retry of a request whose answer was lost is not applied
twice. Keep-alive connections are kept per thread and dropped after a short
idle time, before the service would close them.
"""

from __future__ import annotations

import http.client
import ssl
import threading
import time
import uuid
import warnings
from typing import Any, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple
from urllib.parse import urlencode, urlsplit

from .._net import is_loopback
from . import _colwire
from ._columns import halve
from ._backend import ResultRow, SourceRow, StorageBackend, UnknownPipelineError
from ._jsonutil import NON_FINITE, dumps_bytes, loads_bytes, non_finite_text, plain
from ._records import StoredNode, StoredRowValue
from ._urls import describe_error, mask_url

REQUEST_TIMEOUT = 30.0
CONNECT_TIMEOUT = 10.0
# Reuse a kept-alive connection only if it was idle for less than this (the
# service keeps them 15 s; other front ends may keep them 5 s).
_IDLE_REUSE_S = 4.0
# Splittable requests (idempotent, or carrying batch ids) aim at this size.
_TARGET_BODY = 8 * 1024 * 1024
# Rows per page of row-value and result reads (the service's maximum).
_PAGE = 100_000
# Content of one column body (before compression): about 160,000 nodes or
# 200,000 row values, well inside the request time-out even on a slow store;
# larger pieces save little per request and hold more memory on both sides.
_COLUMN_TARGET = 8 * 1024 * 1024

try:
    from lumarq import __version__ as _VERSION
except ImportError:  # pragma: no cover
    _VERSION = "0"


class ServiceUnavailable(ConnectionError):
    """The service cannot be reached, timed out, or failed (HTTP 5xx)."""


class RequestRejected(ValueError):
    """The service refused a request as invalid (HTTP 4xx other than 401/403/404)."""

    def __init__(self, message: str, status: int = 422):
        super().__init__(message)
        self.status = status


class BatchTooLarge(ValueError):
    """A multi-item writer batch exceeds the service's request size limit.

    Raised before anything is sent; the writer then writes the batch's items
    one by one, each in requests of its own.
    """


def _num(v: Any) -> Any:
    """A row or result value for the wire: non-finite floats as text."""
    if isinstance(v, float):
        v = float(v)
        return v if v - v == 0.0 else non_finite_text(v)
    item = getattr(v, "item", None)  # numpy scalars
    if callable(item):
        return _num(item())
    return v


def _from_wire(v: Any) -> Any:
    return NON_FINITE[v] if isinstance(v, str) else v


def _opt_int(v: Any) -> Optional[int]:
    return None if v is None else int(v)


def _node_row(n: StoredNode) -> list:
    fp, ntype, op, table, column, pair, prot, ent, chain, meta, pid = n
    if pid is None:
        raise ValueError("a node record has no pipeline_id")
    return [int(fp), str(ntype), op, table, column, _opt_int(pair), bool(prot), _opt_int(ent), _opt_int(chain),
            None if meta is None else plain(meta), int(pid)]


def _row_values(chunk: Sequence[StoredRowValue]) -> list:
    # The tenant slot is left empty: the service uses the key's tenant.
    return [
        (p, i, f, o, v if v is None or (v.__class__ is float and v - v == 0.0) else _num(v), c, None, t)
        for p, i, f, o, v, c, _, t in chunk
    ]


def _halves(items: Sequence[Any]) -> Tuple[Sequence[Any], Sequence[Any]]:
    mid = len(items) // 2
    return items[:mid], items[mid:]


def _column_pieces(graph: Any, rows: Any, budget: int) -> List[Tuple[Any, Any]]:
    """(graph, row values) pieces of about `budget` raw bytes: everything in
    one when it fits, else node pieces, then edge pieces (all endpoints are
    stored by then), then row-value pieces."""
    n = len(graph) if graph is not None else 0
    m = int(graph.edge_parent.shape[0]) if graph is not None else 0
    k = len(rows) if rows is not None else 0
    texts = sum(len(t) + 4 for t in (graph.texts if graph is not None else ())) + \
        sum(len(t) + 4 for t in (rows.texts if rows is not None else ()))
    room = max(budget - texts - 4096, budget // 2)
    if n * _colwire.NODE_BYTES + m * _colwire.EDGE_BYTES + k * _colwire.ROW_BYTES <= room:
        return [(graph, rows)]
    pieces: List[Tuple[Any, Any]] = []
    step = max(1, room // _colwire.NODE_BYTES)
    pieces += [(graph.slice((a, min(n, a + step))), None) for a in range(0, n, step)]
    step = max(1, room // _colwire.EDGE_BYTES)
    pieces += [(graph.slice(edges=(a, min(m, a + step))), None) for a in range(0, m, step)]
    step = max(1, room // _colwire.ROW_BYTES)
    pieces += [(None, rows.slice(a, min(k, a + step))) for a in range(0, k, step)]
    return pieces


class _Conn:
    __slots__ = ("http", "last_used")

    def __init__(self, conn: http.client.HTTPConnection):
        self.http = conn
        self.last_used = 0.0


class HTTPBackend(StorageBackend):
    """The storage backend over the service's HTTP API."""

    remote = True

    def __init__(self, url: str, api_key: Optional[str]):
        self.masked_url = mask_url(url)
        parts = urlsplit(url)
        if parts.scheme.lower() not in ("http", "https") or not parts.hostname:
            raise ValueError("Invalid service URL %s: expected http(s)://host[:port][/path]" % self.masked_url)
        try:
            port = parts.port
        except ValueError:
            raise ValueError("Invalid port in service URL %s" % self.masked_url) from None
        self._https = parts.scheme.lower() == "https"
        self._host = parts.hostname
        self._port = port or (443 if self._https else 80)
        self._prefix = parts.path.rstrip("/")
        self._api_key = api_key
        self._local = threading.local()
        self._conns: List[_Conn] = []
        self._conns_lock = threading.Lock()
        self._ssl: Optional[ssl.SSLContext] = None
        self._warned_plaintext = False
        self.service_tenant: Optional[str] = None
        self.max_body_bytes = 32 * 1024 * 1024
        # The compact column body, where the service reads it (else JSON batches).
        self.column_body = False
        self.compress_columns: Optional[bool] = None  # None: only beyond the loopback interface

    # -- transport ----------------------------------------------------------------

    def _headers(self, content_type: Optional[str]) -> Dict[str, str]:
        headers = {
            "Authorization": "Bearer %s" % self._api_key,
            "Accept": "application/json",
            "User-Agent": "lumarq/%s" % _VERSION,
        }
        if content_type:
            headers["Content-Type"] = content_type
        return headers

    def _new_conn(self, timeout: float) -> _Conn:
        if self._https:
            if self._ssl is None:
                self._ssl = ssl.create_default_context()
            raw: http.client.HTTPConnection = http.client.HTTPSConnection(
                self._host, self._port, timeout=timeout, context=self._ssl
            )
        else:
            raw = http.client.HTTPConnection(self._host, self._port, timeout=timeout)
        conn = _Conn(raw)
        with self._conns_lock:
            self._conns.append(conn)
        return conn

    def _drop(self, conn: _Conn) -> None:
        if getattr(self._local, "conn", None) is conn:
            self._local.conn = None
        with self._conns_lock:
            if conn in self._conns:
                self._conns.remove(conn)
        try:
            conn.http.close()
        except Exception:
            pass

    def _connection(self, timeout: float) -> Tuple[_Conn, bool]:
        conn: Optional[_Conn] = getattr(self._local, "conn", None)
        if conn is not None and time.monotonic() - conn.last_used > _IDLE_REUSE_S:
            self._drop(conn)
            conn = None
        if conn is None:
            conn = self._new_conn(timeout)
            self._local.conn = conn
            return conn, False
        conn.http.timeout = timeout
        if conn.http.sock is not None:
            conn.http.sock.settimeout(timeout)
        return conn, True

    def _request(self, method: str, path: str, body: Any = None, *, query: Optional[Dict[str, Any]] = None,
                 timeout: float = REQUEST_TIMEOUT, retry_stale: bool = True,
                 content_type: str = "application/json") -> Any:
        if body is None:
            data = None
        elif isinstance(body, bytes):
            data = body
        else:
            data = dumps_bytes(body)
        target = self._prefix + path
        if query:
            target += "?" + urlencode({k: v for k, v in query.items() if v is not None})
        headers = self._headers(content_type if data is not None else None)
        for attempt in (0, 1):
            conn, reused = self._connection(timeout)
            try:
                conn.http.request(method, target, body=data, headers=headers)
                resp = conn.http.getresponse()
                payload = resp.read()
            except (http.client.RemoteDisconnected, ConnectionResetError, BrokenPipeError) as exc:
                self._drop(conn)
                # A kept-alive connection the other side closed while idle:
                # nothing was processed, so asking again on a new one is safe
                # for requests that are idempotent or carry a batch id.
                if reused and retry_stale and attempt == 0:
                    continue
                raise self._unreachable(exc) from None
            except (OSError, http.client.HTTPException) as exc:
                self._drop(conn)
                raise self._unreachable(exc) from None
            if resp.will_close:
                self._drop(conn)
            else:
                conn.last_used = time.monotonic()
            return self._answer(resp.status, payload, resp.getheader("Content-Type") or "")
        raise AssertionError("unreachable")  # pragma: no cover

    def _unreachable(self, exc: BaseException) -> ServiceUnavailable:
        return ServiceUnavailable(
            "The lumarq service at %s is not available: %s" % (self.masked_url, describe_error(exc))
        )

    def _answer(self, status: int, payload: bytes, content_type: str) -> Any:
        data: Any = None
        if payload and "json" in content_type:
            try:
                data = loads_bytes(payload)
            except ValueError:
                data = None
        if 200 <= status < 300:
            if data is None and payload:
                raise ServiceUnavailable(
                    "The service at %s answered HTTP %d without JSON; is it a lumarq service?"
                    % (self.masked_url, status)
                )
            return data
        detail = data.get("detail") if isinstance(data, dict) else None
        if not isinstance(detail, str):
            detail = "HTTP %d" % status if detail is None else str(detail)
        detail = detail[:1000]
        if status in (401, 403):
            raise PermissionError(
                "The lumarq service at %s refused the API key (HTTP %d: %s)" % (self.masked_url, status, detail)
            )
        if status == 404:
            raise UnknownPipelineError(detail)
        if 400 <= status < 500 and status not in (408, 429):  # time-out, busy: an outage, not bad records
            raise RequestRejected("The lumarq service refused the request (HTTP %d): %s" % (status, detail), status)
        raise ServiceUnavailable(
            "The lumarq service at %s failed (HTTP %d): %s" % (self.masked_url, status, detail)
        )

    def _get(self, path: str, **query: Any) -> Any:
        return self._request("GET", path, query=query or None)

    def _post(self, path: str, body: Any, *, retry_stale: bool = True) -> Any:
        return self._request("POST", path, body, retry_stale=retry_stale)

    # -- lifecycle ------------------------------------------------------------------

    def connect(self) -> None:
        if not self._api_key:
            raise PermissionError("An API key is needed for the lumarq service at %s" % self.masked_url)
        if not self._https and not is_loopback(self._host) and not self._warned_plaintext:
            self._warned_plaintext = True
            warnings.warn(
                "The API key is sent unencrypted to %s (plain http to another machine); use https."
                % self.masked_url,
                UserWarning,
                stacklevel=3,
            )
        try:
            info = self._request("GET", "/v1/auth", timeout=CONNECT_TIMEOUT)
        except UnknownPipelineError:
            raise ServiceUnavailable(
                "%s has no lumarq service API (GET /v1/auth: not found)" % self.masked_url
            ) from None
        if not isinstance(info, dict) or "tenant_id" not in info:
            raise ServiceUnavailable("%s did not answer as a lumarq service" % self.masked_url)
        self.service_tenant = info["tenant_id"]
        self.max_body_bytes = int(info.get("max_body_bytes") or self.max_body_bytes)
        self.column_body = info.get("column_body_version") == _colwire.VERSION

    def close(self) -> None:
        with self._conns_lock:
            conns, self._conns = self._conns, []
        for conn in conns:
            try:
                conn.http.close()
            except Exception:
                pass
        self._local = threading.local()

    # -- request splitting ----------------------------------------------------------

    def _target(self) -> int:
        return min(_TARGET_BODY, self.max_body_bytes)

    def _split_post(self, path: str, key: str, rows: Sequence[Any], extra: Optional[Dict[str, Any]] = None,
                    batch_id: Optional[str] = None) -> List[Any]:
        """POST `rows` under `key`, in as many requests as the size limit needs.

        Each request is a transaction of its own; with `batch_id` the parts
        carry ids derived from it, so repeating the call applies no part twice.
        """
        answers: List[Any] = []
        target = self._target()

        def send(part: Sequence[Any], name: str) -> None:
            body = dict(extra or {})
            if batch_id is not None:
                body["batch_id"] = name
            body[key] = part
            data = dumps_bytes(body)
            if len(data) > target and len(part) > 1:
                a, b = _halves(part)
                send(a, name + ".0")
                send(b, name + ".1")
                return
            if len(data) > self.max_body_bytes:
                raise RequestRejected(
                    "one record is larger than the service's request limit (%d bytes)" % self.max_body_bytes, 413
                )
            answers.append(self._post(path, data))

        send(rows, batch_id or "")
        return answers

    # -- pipelines and sources ----------------------------------------------------------

    def create_pipeline(self, tenant, name, config, git_commit) -> int:
        body = {"name": name, "config": plain(config), "git_commit": git_commit}
        # Not retried on a stale connection: it is not idempotent.
        return int(self._post("/v1/pipelines", body, retry_stale=False)["id"])

    def complete_pipeline(self, tenant, pipeline_id, status) -> None:
        self._post("/v1/pipelines/%d/complete" % int(pipeline_id), {"status": status})

    @staticmethod
    def _source_rows(rows: Iterable[SourceRow]) -> list:
        return [[_opt_int(pair), str(table), str(column), bool(prot)] for pair, table, column, prot in rows]

    def register_sources(self, tenant, rows) -> None:
        if rows:
            self._split_post("/v1/sources", "sources", self._source_rows(rows))

    # -- graph ----------------------------------------------------------------------------

    def store_nodes(self, tenant, nodes) -> int:
        if not nodes:
            return 0
        rows = [_node_row(n) for n in nodes]
        return sum(int(a["inserted"]) for a in self._split_post("/v1/nodes", "nodes", rows))

    def fingerprint_node_map(self, tenant, pipeline_id) -> Dict[int, int]:
        try:
            got = self._get("/v1/pipelines/%d/fingerprint-map" % int(pipeline_id))
        except UnknownPipelineError:
            return {}
        return {int(fp): int(i) for fp, i in got["pairs"]}

    def store_edges_resolved(self, tenant, rows) -> int:
        if not rows:
            return 0
        clean = [(int(p), int(c), int(pos)) for p, c, pos in rows]
        return sum(int(a["inserted"]) for a in self._split_post("/v1/edges/resolved", "edges", clean))

    def store_edges(self, tenant, pipeline_id, edges) -> Tuple[int, int]:
        if not edges:
            return 0, 0
        clean = [(int(p), int(c), int(pos)) for p, c, pos in edges]
        answers = self._split_post("/v1/pipelines/%d/edges" % int(pipeline_id), "edges", clean)
        return sum(int(a["resolved"]) for a in answers), sum(int(a["unresolved"]) for a in answers)

    # -- values -----------------------------------------------------------------------------

    def store_row_values(self, tenant, chunks, batch_id: Optional[str] = None) -> int:
        rows = [r for chunk in chunks for r in _row_values(chunk)]
        if not rows:
            return 0
        answers = self._split_post("/v1/row-values", "row_values", rows, batch_id=batch_id or uuid.uuid4().hex)
        return sum(int(a["inserted"]) for a in answers)

    def store_results(self, tenant, pipeline_id, rows, batch_id: Optional[str] = None) -> int:
        clean = [(str(k), str(n), int(fp), None if v is None else _num(float(v)), h) for k, n, fp, v, h in rows]
        # Sent also when empty: the service checks the pipeline, as the database backend does.
        answers = self._split_post("/v1/pipelines/%d/results" % int(pipeline_id), "results", clean,
                                   batch_id=batch_id or uuid.uuid4().hex)
        return sum(int(a["inserted"]) for a in answers)

    def write_batch(self, tenant, *, sources=(), nodes=(), edges=(), row_values=(),
                    batch_id: Optional[str] = None, lost=()) -> Dict[str, int]:
        batch_id = batch_id or uuid.uuid4().hex
        body = {
            "batch_id": batch_id,
            "sources": self._source_rows(sources),
            "nodes": [_node_row(n) for n in nodes],
            "edges": [
                {"pipeline_id": int(pid), "edges": [(int(p), int(c), int(pos)) for p, c, pos in group]}
                for pid, group in edges
            ],
            "row_values": [_row_values(chunk) for chunk in row_values],
        }
        if lost:
            body["lost"] = [(int(p), int(n)) for p, n in lost]
        data = dumps_bytes(body)
        if len(data) <= self.max_body_bytes:
            got = self._post("/v1/batch", data)
            return {"edges_unresolved": int(got.get("edges_unresolved", 0)), "duplicate": int(bool(got.get("duplicate")))}
        items = len(body["sources"]) + len(body["nodes"]) + len(body["edges"]) + len(body["row_values"])
        if items > 1 or lost:
            raise BatchTooLarge(
                "a write batch of %d bytes exceeds the service's request limit (%d bytes)"
                % (len(data), self.max_body_bytes)
            )
        # One item too large for one request: a long edge list (idempotent)
        # or row-value list (parts carry ids derived from the batch id).
        if body["row_values"]:
            return self._rows_in_parts(body["row_values"][0], batch_id)
        if body["edges"]:
            group = body["edges"][0]
            _, unresolved = self.store_edges(tenant, group["pipeline_id"], group["edges"])
            return {"edges_unresolved": unresolved}
        raise RequestRejected(
            "one record is larger than the service's request limit (%d bytes)" % self.max_body_bytes, 413
        )

    def write_columns(self, tenant, *, graph=None, row_values=None, batch_id: Optional[str] = None,
                      lost=()) -> Dict[str, int]:
        """Column batches as compact bodies (see _colwire.py): one request
        when the batch fits the service's limit, else pieces in the order
        nodes, edges, row values, each with an id derived from the batch id
        (so repeating the call applies no piece twice; `lost` travels with
        the last piece). "duplicate" is 1 when every piece had been applied.

        A service without the column endpoint gets the same pieces as JSON
        batches."""
        batch_id = batch_id or uuid.uuid4().hex
        lost = [(int(p), int(n)) for p, n in lost]
        compress = self.compress_columns
        if compress is None:
            compress = not is_loopback(self._host)
        limit = self.max_body_bytes
        columns = self.column_body

        def post(piece: Tuple[Any, Any], name: str, last: bool) -> Dict[str, Any]:
            g, r = piece
            extra = lost if last else ()
            if not columns:
                return super(HTTPBackend, self).write_columns(tenant, graph=g, row_values=r, batch_id=name,
                                                              lost=extra)
            body = _colwire.encode(g, r, batch_id=name, lost=extra, compress=compress)
            if _colwire.content_size(body) > limit or len(body) > limit:
                raise BatchTooLarge("a column body over the service's request limit")
            return self._request("POST", "/v1/columns", body, content_type=_colwire.MEDIA_TYPE)

        answers: List[Dict[str, Any]] = []

        def send(piece: Tuple[Any, Any], name: str, last: bool) -> None:
            try:
                answers.append(post(piece, name, last))
            except (BatchTooLarge, RequestRejected) as exc:
                if isinstance(exc, RequestRejected) and exc.status != 413:
                    raise
                halves = halve(piece)  # nothing was stored: send it in halves
                if halves is None:
                    raise RequestRejected(
                        "one record is larger than the service's request limit (%d bytes)" % limit, 413) from None
                send(halves[0], name + ".0", False)
                send(halves[1], name + ".1", last)

        # JSON records take about three times the bytes of their columns.
        pieces = _column_pieces(graph, row_values, min(_COLUMN_TARGET, limit) // (1 if columns else 3))
        if len(pieces) == 1:
            send(pieces[0], batch_id, True)
        else:
            for k, piece in enumerate(pieces):
                send(piece, "%s.c%d" % (batch_id, k), k == len(pieces) - 1)
        return {"edges_unresolved": sum(int(a.get("edges_unresolved", 0)) for a in answers),
                "duplicate": int(all(bool(a.get("duplicate")) for a in answers))}

    def _rows_in_parts(self, rows: list, batch_id: str) -> Dict[str, int]:
        self._split_post("/v1/row-values", "row_values", rows, batch_id=batch_id)
        return {"edges_unresolved": 0}

    # -- reads ---------------------------------------------------------------------------------

    _PIPELINE_KEYS = ("id", "tenant_id", "name", "status", "config", "git_commit", "created_at",
                      "completed_at", "node_count", "edge_count", "lost_records", "last_write_at")

    def list_pipelines(self, tenant) -> List[Dict[str, Any]]:
        return [{k: p.get(k) for k in self._PIPELINE_KEYS} for p in self._get("/v1/pipelines")]

    def get_pipeline(self, tenant, pipeline_id) -> Optional[Dict[str, Any]]:
        try:
            p = self._get("/v1/pipelines/%d" % int(pipeline_id))
        except UnknownPipelineError:
            return None
        return {k: p.get(k) for k in self._PIPELINE_KEYS}

    def list_sources(self, tenant) -> List[Dict[str, Any]]:
        return list(self._get("/v1/sources"))

    def _pipeline_list(self, path: str) -> List[Any]:
        try:
            return list(self._get(path))
        except UnknownPipelineError:
            return []

    def get_nodes(self, tenant, pipeline_id) -> List[Dict[str, Any]]:
        return self._pipeline_list("/v1/pipelines/%d/nodes" % int(pipeline_id))

    def get_edges(self, tenant, pipeline_id) -> List[Dict[str, Any]]:
        return self._pipeline_list("/v1/pipelines/%d/edges" % int(pipeline_id))

    def _pages(self, path: str, key: str, limit: Optional[int], offset: int) -> Iterator[list]:
        remaining = limit
        while remaining is None or remaining > 0:
            size = _PAGE if remaining is None else min(_PAGE, remaining)
            try:
                got = self._get(path, offset=offset, limit=size)[key]
            except UnknownPipelineError:
                return
            yield got
            if len(got) < size:
                return
            offset += len(got)
            if remaining is not None:
                remaining -= len(got)

    def get_row_values(self, tenant, pipeline_id, limit=None, offset=0) -> List[StoredRowValue]:
        out: List[StoredRowValue] = []
        path = "/v1/pipelines/%d/row-values" % int(pipeline_id)
        for page in self._pages(path, "row_values", limit, int(offset)):
            out.extend(StoredRowValue(p, i, f, o, _from_wire(v), c, t, x) for p, i, f, o, v, c, t, x in page)
        return out

    def count_row_values(self, tenant, pipeline_id=None) -> int:
        return int(self._get("/v1/row-values/count", pipeline_id=pipeline_id)["count"])

    def get_results(self, tenant, pipeline_id, limit=None, offset=0) -> List[ResultRow]:
        out: List[ResultRow] = []
        path = "/v1/pipelines/%d/results" % int(pipeline_id)
        for page in self._pages(path, "results", limit, int(offset)):
            out.extend((k, n, f, _from_wire(v), h) for k, n, f, v, h in page)
        return out
