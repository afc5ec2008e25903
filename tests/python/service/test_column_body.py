"""Column batches through the service: stored as the JSON batch path stores them; bad bodies refused."""

from __future__ import annotations

import json
import math
import struct
import time
import zlib

import pytest
from service_helpers import call, counts

from lumarq.utilities.persistence import HostedStorage, StoredEdge, StoredNode, _colwire
from lumarq.utilities.persistence._columns import GraphColumns, RowValueColumns
from lumarq.utilities.persistence._http import RequestRejected
from lumarq.utilities.persistence.storage import StoredRowValue

INF, NAN = float("inf"), float("nan")


def batch(pid):
    nodes = [StoredNode(0xFFFFFFFF, "SOURCE", "load", "loans", "gender", -5, True, -(2**63), None, None, pid)]
    nodes += [StoredNode(i, "BINARY", None if i % 5 == 0 else "ADD", None, "dti" if i % 3 else None, None, False,
                         None, i * 7, {"column": "dti", "w": [1.5, NAN], "n": 2**70 + 1} if i % 11 == 0 else None, pid)
              for i in range(1, 40)]
    nodes.append(StoredNode(3, "BINARY", "MUL", None, None, None, False, None, None, None, pid))  # fp seen: first wins
    edges = [StoredEdge(i // 2, i, 0) for i in range(2, 40)] + [StoredEdge(0xFFFFFFFF, i, 1) for i in range(1, 40)]
    edges.append(StoredEdge(12345, 7, 2))  # parent not stored: unresolved
    values = [None, NAN, INF, -INF, 0.0, -1e308] + [i * 0.25 for i in range(94)]
    rows = [StoredRowValue(pid, i, i % 40, None if i % 9 == 0 else "ADD", v, None if i % 4 == 0 else "dti", None,
                           "n/a" if v is None or i % 13 == 0 else None) for i, v in enumerate(values)]
    return nodes, edges, rows


def stored(db, pid):
    nodes = sorted(tuple(v for k, v in n.items() if k not in ("id", "pipeline_id")) for n in db.get_nodes(pid))
    edges = sorted((e["parent_fingerprint"], e["child_fingerprint"], e["input_position"]) for e in db.get_edges(pid))
    rows = [(r.row_index, r.fingerprint, r.node_operation, "nan" if r.value != r.value else r.value, r.column_name,
             r.text_value) for r in db.get_row_values(pid)]
    p = db.get_pipeline(pid)
    return nodes, edges, rows, p["lost_records"]


@pytest.mark.parametrize("service_db, max_body, mode", [
    ("sqlite", None, "plain"),
    ("sqlite", 2048, "zlib"),  # many pieces (each its own batch id)
    ("sqlite", 2048, "json"),  # a service without the column endpoint: the same pieces as JSON batches
    ("postgresql", None, "plain"),
], indirect=["service_db"])
def test_columns_store_what_the_json_batch_stores(service, max_body, mode):
    s = HostedStorage(api_url=service.url, api_key=service.key, tenant_id="ignored")
    s.connect()
    assert s.backend.column_body
    s.backend.column_body = mode != "json"
    s.backend.compress_columns = mode == "zlib"
    pa, pb, pc = (s.create_pipeline(name) for name in "abc")
    nodes, edges, rows = batch(pa)
    want = s.write_batch(nodes=nodes, edges=[(pa, edges)], row_values=[rows], batch_id="json-1", lost=[(pa, 2)])
    if max_body:  # the column path splits into pieces (the JSON one would refuse)
        s.backend.max_body_bytes = max_body
    nodes, edges, rows = batch(pb)
    cols = dict(graph=GraphColumns.from_records(pb, nodes, edges), row_values=RowValueColumns.from_records(rows),
                batch_id="cols-1", lost=[(pb, 2)])
    assert s.write_columns(**cols) == want == {"edges_unresolved": 1, "duplicate": 0}
    db = service.storage()
    expected = stored(db, pa)
    assert stored(db, pb) == expected and len(expected[0]) == 40 and len(expected[2]) == 100
    assert expected[2][2][3] == math.inf and expected[3] == 2
    # A retry with the same batch id is not applied again (nor is `lost`).
    before = counts(service)
    assert s.write_columns(**cols)["duplicate"] == 1
    assert counts(service) == before and stored(db, pb) == expected

    # Text the store cannot hold (NUL on PostgreSQL): refused alike on both paths, nothing stored.
    bad = [StoredRowValue(pc, 0, 1, "op", 1.0, "c\x00x", None, None)]
    outcomes = []
    for send in (lambda: s.write_batch(row_values=[bad]),
                 lambda: s.write_columns(row_values=RowValueColumns.from_records(bad))):
        try:
            send()
            outcomes.append("stored")
        except RequestRejected as exc:
            outcomes.append((exc.status, "NUL" in str(exc)))
    assert outcomes == ([(422, True)] * 2 if service_db_kind(service) == "postgresql" else ["stored"] * 2)
    s.disconnect()


def service_db_kind(svc):
    return "postgresql" if svc.db_url.startswith("postgresql") else "sqlite"


# -- malformed bodies -------------------------------------------------------------------------


def parts(body):
    """(header, buffers) of an uncompressed body."""
    content = body[16:]
    (hlen,) = struct.unpack_from("<I", content)
    return json.loads(content[4:4 + hlen]), content[4 + hlen + (-(4 + hlen) % 8):]


def framed(header, buffers, version=1, codec=0, size=None, raw_head=None):
    head = json.dumps(header).encode() if raw_head is None else raw_head
    content = struct.pack("<I", len(head)) + head + bytes(-(4 + len(head)) % 8) + buffers
    data = zlib.compress(content) if codec == 1 else content
    return struct.pack("<4sBBHQ", b"LMQC", version, codec, 0, len(content) if size is None else size) + data


def edited(change):
    def make(body):
        header, buffers = parts(body)
        change(header)
        return framed(header, buffers)
    return make


def bomb(declared):
    content = bytes(40 * 1024 * 1024)  # 40 MiB of zeros: about 40 KiB compressed
    return lambda body: struct.pack("<4sBBHQ", b"LMQC", 1, 1, 0, declared or len(content)) + zlib.compress(content)


def _set(path, value):
    def change(header):
        obj = header
        for k in path[:-1]:
            obj = obj[k]
        obj[path[-1]] = value
    return change


CASES = {
    "bad magic": (lambda b: b"XXXX" + b[4:], 400, "magic"),
    "unknown version": (lambda b: framed(*parts(b), version=2), 415, "version 2"),
    "unknown compression": (lambda b: framed(*parts(b), codec=7), 415, "compression"),
    "truncated buffer": (lambda b: framed(parts(b)[0], parts(b)[1][:-16]), 400, "truncated"),
    "trailing bytes": (lambda b: framed(parts(b)[0], parts(b)[1] + bytes(8)), 400, "after its last column"),
    "declared size wrong": (lambda b: b[:8] + struct.pack("<Q", len(b) - 8) + b[16:], 400, "declares"),
    "length mismatch": (edited(lambda h: h["graph"]["columns"][1].__setitem__(2, 39)), 422, "length"),
    "code out of range": (edited(_set(("graph", "texts"), ["SOURCE"])), 422, "text code"),
    "unknown dtype": (edited(lambda h: h["row_values"]["columns"][4].__setitem__(1, "<f4")), 422, "dtype"),
    "unknown column": (edited(lambda h: h["row_values"]["columns"][4].__setitem__(0, "score")), 422, "score"),
    "unknown field": (edited(_set(("tenant_id",), "other")), 422, "tenant_id"),
    "metadata row out of range": (edited(_set(("graph", "metadata"), [[41, {}]])), 422, "metadata"),
    "oversized decompression": (bomb(None), 413, "limit"),
    "inflates beyond declared": (bomb(1000), 413, "inflates"),
    "batch id with a newline": (edited(_set(("batch_id",), "b1\n")), 422, "batch_id"),
    "NaN literal in the header": (lambda b: framed(None, parts(b)[1], raw_head=json.dumps(parts(b)[0]).encode()
                                                   .replace(b'"lost": []', b'"lost": [[1, NaN]]')), 400, "JSON"),
    "lone surrogate in a text": (edited(lambda h: h["row_values"]["texts"].append("x\ud800")), 400, "JSON"),
    "corrupt zlib": (lambda b: struct.pack("<4sBBHQ", b"LMQC", 1, 1, 0, 100) + b"\x78\x9c" + bytes(50), 400, "corrupt"),
    "not a column body": (lambda b: b, 415, "Content-Type"),
    "wrong key": (lambda b: b, 401, "API key"),
    "another tenant's pipeline": (lambda b: b, 404, "pipeline"),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_malformed_column_bodies_are_refused_and_store_nothing(service, case):
    make, status, words = CASES[case]
    s = service.storage()
    pid = s.create_pipeline("p")
    nodes, edges, rows = batch(pid)
    good = _colwire.encode(GraphColumns.from_records(pid, nodes, edges), RowValueColumns.from_records(rows),
                           batch_id="b1")
    before = counts(service)
    key = {"wrong key": "lmq_0123456789ab_" + "A" * 43,
           "another tenant's pipeline": service.new_key("beta")}.get(case, service.key)
    media = "application/json" if case == "not a column body" else _colwire.MEDIA_TYPE
    got, answer = call_columns(service, make(good), key, media)
    assert (got, words in answer["detail"]) == (status, True), answer
    assert counts(service) == before
    # The body it was made from is stored.
    assert call_columns(service, good, service.key) == (200, {"edges_unresolved": 1, "duplicate": False})
    assert counts(service) != before


def call_columns(svc, body, key, media=_colwire.MEDIA_TYPE):
    return call(svc.url, "POST", "/v1/columns", raw=body, key=key, headers={"Content-Type": media})


def test_a_compressed_body_holds_in_flight_room_for_what_it_inflates_to(service):
    s = HostedStorage(api_url=service.url, api_key=service.key, tenant_id="ignored")
    s.connect()
    s.backend.compress_columns = True
    pid = s.create_pipeline("p")
    nodes = [StoredNode(i, "BINARY", "ADD", None, None, None, False, None, None, None, pid) for i in range(20_000)]
    graph = GraphColumns.from_records(pid, nodes)
    body = _colwire.encode(graph, None, compress=True)
    assert len(body) < 256 * 1024 < _colwire.content_size(body)  # the guard alone would hold nothing
    s.write_columns(graph=graph)
    inflight = service.handle._server.config.app.state.inflight
    for _ in range(100):  # released once the answer is out
        if inflight.used == 0:
            break
        time.sleep(0.02)
    assert inflight.peak >= _colwire.content_size(body) and inflight.used == 0
    assert s.get_pipeline(pid)["node_count"] == 20_000
    s.disconnect()
