"""The service's self-protection: authentication before the body is judged, body and report
caps, the bound on bodies in flight, read time-outs and the connection cap, honest statuses."""

from __future__ import annotations

import asyncio
import datetime as dt
import json
import logging
import socket
import time

import pytest

from service_helpers import call

from lumarq.service.limits import Guard, InflightBytes, ServiceLimits

KIB = 1024


@pytest.mark.parametrize("key, size, expected", [
    (None, 40 * KIB, 401), ("lmq_0123456789ab_" + "A" * 43, 40 * KIB, 401), ("good", 40 * KIB, 413),
    (None, 100, 401), ("good", 100, 201),
])
def test_the_key_is_checked_before_the_body_is_judged(start_service, key, size, expected):
    svc = start_service(limits=ServiceLimits(max_body_bytes=16 * KIB, max_report_bytes=8 * KIB))
    body = json.dumps({"name": "p" * max(1, size - 20)}).encode()
    status, answer = call(svc.url, "POST", "/v1/pipelines", raw=body, key=svc.key if key == "good" else key)
    assert status == expected, answer


@pytest.mark.parametrize("extra, expected", [(4 * KIB, 201), (20 * KIB, 413)])
def test_reports_have_a_cap_of_their_own(start_service, extra, expected):
    from service_helpers import tracker_report

    svc = start_service(limits=ServiceLimits(max_body_bytes=64 * KIB, max_report_bytes=16 * KIB))
    report = tracker_report(None)
    report["pipeline"]["notes"] = "n" * extra
    status, answer = call(svc.url, "POST", "/v1/dashboard/sync", report, key=svc.key)
    assert status == expected, answer
    if expected == 413:
        assert "Report too large" in answer["detail"] and answer["max_body_bytes"] == 16 * KIB


def test_the_row_value_count_of_another_tenants_pipeline_is_404(service):
    other = service.new_key("other")
    pid = call(service.url, "POST", "/v1/pipelines", {"name": "mine"}, key=service.key)[1]["id"]
    assert call(service.url, "GET", "/v1/row-values/count?pipeline_id=%d" % pid, key=other)[0] == 404
    assert call(service.url, "GET", "/v1/row-values/count?pipeline_id=%d" % (pid + 99), key=service.key)[0] == 404
    assert call(service.url, "GET", "/v1/row-values/count?pipeline_id=%d" % pid, key=service.key) == (200, {"count": 0})
    assert call(service.url, "GET", "/v1/row-values/count?pipeline_id=0", key=other) == (200, {"count": 0})


NOW = dt.datetime(2026, 1, 1, 12, 0, tzinfo=dt.timezone.utc)


@pytest.mark.parametrize("stored, lost, idle_min, shown", [
    ("completed", 0, 0, "completed"),
    ("completed", 3, 0, "completed_with_losses"),
    ("failed", 3, 0, "failed"),
    ("running", 0, 1, "running"),
    ("running", 0, 16, "stalled"),
    ("running", 2, 16, "stalled"),
])
def test_shown_statuses_never_call_losses_or_silence_clean(service, stored, lost, idle_min, shown):
    store = service.handle.store
    last = (NOW - dt.timedelta(minutes=idle_min)).isoformat()
    p = {"status": stored, "lost_records": lost, "last_write_at": last, "created_at": last}
    assert store.shown_status(p, NOW)["status"] == shown and p["stored_status"] == stored


def test_losses_sent_by_a_writer_show_on_the_pipeline(service):
    pid = call(service.url, "POST", "/v1/pipelines", {"name": "p"}, key=service.key)[1]["id"]
    body = {"batch_id": "b-1", "lost": [[pid, 7]], "row_values": [[[pid, 1, 7, "op", 1.0, "c", None, None]]]}
    for _ in range(2):  # a repeated batch is applied once
        assert call(service.url, "POST", "/v1/batch", body, key=service.key)[0] == 200
    call(service.url, "POST", "/v1/pipelines/%d/complete" % pid, {"status": "completed"}, key=service.key)
    (entry,) = call(service.url, "GET", "/v1/pipelines", key=service.key)[1]
    assert (entry["status"], entry["stored_status"], entry["lost_records"]) == ("completed_with_losses", "completed", 7)
    assert entry["last_write_at"] is not None


@pytest.mark.parametrize("released_after", [None, 0.1])
def test_large_bodies_wait_for_room_in_flight_then_get_503(released_after):
    limits = ServiceLimits(max_body_bytes=4 * KIB, max_inflight_bytes=8 * KIB, small_body_bytes=1 * KIB,
                           inflight_wait_s=0.5)
    inflight = InflightBytes(limits.max_inflight_bytes)
    seen = []

    async def app(scope, receive, send):
        seen.append(scope["path"])
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"{}"})

    async def authenticate(key):
        return ("acme", "k")

    guard = Guard(app, limits=limits, authenticate=authenticate, inflight=inflight)

    async def scenario():
        assert await inflight.acquire(6 * KIB, 1)  # another big body is being received
        if released_after is not None:
            asyncio.get_running_loop().call_later(released_after, lambda: asyncio.ensure_future(inflight.release(6 * KIB)))
        sent = []

        async def send(message):
            sent.append(message)

        async def receive():
            return {"type": "http.request", "body": b"x" * 3 * KIB, "more_body": False}

        scope = {"type": "http", "path": "/v1/row-values",
                 "headers": [(b"authorization", b"Bearer k"), (b"content-length", str(3 * KIB).encode())]}
        await guard(scope, receive, send)
        return sent[0], inflight.used

    start, used = asyncio.run(scenario())
    if released_after is None:
        assert start["status"] == 503 and (b"retry-after", b"5") in start["headers"] and seen == []
        assert used == 6 * KIB
    else:
        assert start["status"] == 200 and seen == ["/v1/row-values"] and used == 0


def _closed_within(sock: socket.socket, seconds: float) -> bool:
    sock.settimeout(seconds)
    try:
        while sock.recv(4096):
            pass
        return True
    except (ConnectionResetError, BrokenPipeError):
        return True
    except socket.timeout:
        return False


@pytest.mark.parametrize("sent", [
    b"",  # connected, silent
    b"GET /healthz HTTP/1.1\r\nHost: x\r\nX-Slow",  # half a header
    b"POST /v1/pipelines HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n{\"na",  # half a body
    # half a body past the key check: the route is reading it when the connection closes
    b"POST /v1/pipelines HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer KEY\r\nContent-Length: 100\r\n\r\n{\"na",
])
def test_slow_clients_are_closed_after_the_read_timeout(start_service, sent, caplog):
    svc = start_service(limits=ServiceLimits(header_timeout_s=0.5, body_timeout_s=0.5))
    host, port = svc.url[len("http://"):].split(":")
    with caplog.at_level(logging.INFO, logger="lumarq"), socket.create_connection((host, int(port))) as s:
        s.sendall(sent.replace(b"KEY", svc.key.encode()))
        started = time.monotonic()
        assert _closed_within(s, 5.0) and time.monotonic() - started >= 0.3
        assert call(svc.url, "GET", "/healthz")[0] == 200
        time.sleep(0.2)  # the abandoned request is answered after the close
    assert [r.getMessage() for r in caplog.records if r.levelno >= logging.ERROR] == []


def test_connections_beyond_the_cap_are_closed_at_once(start_service):
    svc = start_service(limits=ServiceLimits(max_connections=3, header_timeout_s=5))
    host, port = svc.url[len("http://"):].split(":")
    socks = [socket.create_connection((host, int(port))) for _ in range(5)]
    try:
        time.sleep(0.3)
        closed = [_closed_within(s, 0.3) for s in socks]
        assert closed.count(True) == 2 and closed.count(False) == 3
    finally:
        for s in socks:
            s.close()
