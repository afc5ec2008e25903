"""How the service protects itself and every tenant from one client.

* `Guard` (ASGI middleware): authenticates ``/v1`` requests before their
  body is read or judged (401 first, then 413); caps bodies (reports have a
  cap of their own); bounds the bytes of request bodies in flight across the
  server, so large writes beyond the bound wait, then get 503 with
  ``Retry-After``.
* `guarded_protocol` (the HTTP/1.1 protocol the server runs): closes
  connections that do not send their request headers within the header
  timeout, or stop sending their body for the body timeout, and refuses
  connections beyond a cap. uvicorn alone times out only idle kept-alive
  connections: a client that sends half a header holds its socket for ever.
"""

from __future__ import annotations

import asyncio
import logging
import resource
from dataclasses import dataclass
from typing import Any, Awaitable, Callable, Dict, List, Optional, Tuple

from lumarq.utilities.persistence._writer import RateLimitedLog

logger = logging.getLogger("lumarq.service")

MIB = 1024 * 1024


@dataclass(frozen=True)
class ServiceLimits:
    """The service's limits; every one has a `lumarq serve` option.

    max_body_bytes: largest request body (413 beyond).
    max_report_bytes: largest dashboard report (413 beyond).
    max_inflight_bytes: bodies larger than `small_body_bytes` are admitted
        only while the bodies in flight stay under this many bytes.
    inflight_wait_s: how long such a body waits for room before 503.
    header_timeout_s: time a connection has to send its request headers.
    body_timeout_s: longest pause while a request body is being sent.
    max_connections: open connections; further ones are closed at once
        (lowered to fit the process's descriptor limit).
    stall_after_s: a "running" pipeline not written to for this long is
        shown as "stalled".
    """

    max_body_bytes: int = 32 * MIB
    max_report_bytes: int = 1 * MIB
    max_inflight_bytes: int = 64 * MIB
    small_body_bytes: int = 256 * 1024
    inflight_wait_s: float = 30.0
    header_timeout_s: float = 10.0
    body_timeout_s: float = 10.0
    max_connections: int = 20_000
    stall_after_s: float = 15 * 60.0

    def __post_init__(self) -> None:
        if int(self.max_body_bytes) < 1024:
            raise ValueError("max_body_bytes must be at least 1024")
        if int(self.max_report_bytes) < 1024:
            raise ValueError("max_report_bytes must be at least 1024")
        if int(self.max_inflight_bytes) < int(self.max_body_bytes):
            raise ValueError("max_inflight_bytes must be at least max_body_bytes")
        for name in ("inflight_wait_s", "header_timeout_s", "body_timeout_s", "stall_after_s"):
            if not float(getattr(self, name)) > 0:
                raise ValueError("%s must be positive" % name)
        if int(self.max_connections) < 1:
            raise ValueError("max_connections must be at least 1")


class InflightBytes:
    """Bytes of request bodies admitted and not yet answered (event loop only)."""

    def __init__(self, limit: int):
        self.limit = int(limit)
        self.used = 0
        self.peak = 0
        self.refused = 0
        self._cond: Optional[asyncio.Condition] = None

    async def acquire(self, n: int, wait_s: float) -> bool:
        if self._cond is None:
            self._cond = asyncio.Condition()
        cond = self._cond
        async with cond:
            try:
                await asyncio.wait_for(cond.wait_for(lambda: self.used + n <= self.limit), wait_s)
            except asyncio.TimeoutError:
                self.refused += 1
                return False
            self.used += n
            self.peak = max(self.peak, self.used)
            return True

    async def release(self, n: int) -> None:
        if self._cond is None or n <= 0:
            return
        async with self._cond:
            self.used -= n
            self._cond.notify_all()


def _json_error(status: int, detail: str, headers: Optional[Dict[str, str]] = None, **extra: Any) -> Any:
    from fastapi.responses import JSONResponse

    return JSONResponse({"detail": detail, **extra}, status_code=status, headers=headers)


MISSING_KEY = "Missing API key: send the header 'Authorization: Bearer <key>'"
BAD_KEY = "Invalid or revoked API key"
REPORT_PATH = "/v1/dashboard/sync"


def bearer_token(headers: List[Tuple[bytes, bytes]]) -> Optional[str]:
    for name, value in headers:
        if name == b"authorization":
            scheme, _, token = value.decode("latin-1").partition(" ")
            token = token.strip()
            return token if scheme.lower() == "bearer" and token else None
    return None


class Guard:
    """Authentication, body caps and the in-flight bound, before any route runs.

    The principal found is left in ``scope["lumarq.principal"]`` for the
    routes, so a key is looked up once per request.
    """

    def __init__(self, app: Any, *, limits: ServiceLimits,
                 authenticate: Callable[[str], Awaitable[Optional[Tuple[str, str]]]],
                 inflight: InflightBytes):
        self.app = app
        self.limits = limits
        self.authenticate = authenticate
        self.inflight = inflight

    async def __call__(self, scope: Dict[str, Any], receive: Any, send: Any) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        path = scope.get("path", "")
        headers = scope.get("headers", ())
        if path.startswith("/v1/"):
            token = bearer_token(headers)
            found = await self.authenticate(token) if token else None
            if found is None:
                await _json_error(
                    401, BAD_KEY if token else MISSING_KEY,
                    {"WWW-Authenticate": 'Bearer error="invalid_token"' if token else "Bearer"},
                )(scope, receive, send)
                return
            scope["lumarq.principal"] = found
        is_report = path == REPORT_PATH
        limit = self.limits.max_report_bytes if is_report else self.limits.max_body_bytes
        length: Optional[int] = None
        for name, value in headers:
            if name == b"content-length":
                try:
                    length = int(value)
                except ValueError:
                    await _json_error(400, "Invalid Content-Length header")(scope, receive, send)
                    return
                break
        if length is not None and length > limit:
            await self._too_large(scope, receive, send, limit, is_report)
            return
        held = 0
        try:
            if length is not None:
                if length > self.limits.small_body_bytes:
                    if not await self.inflight.acquire(length, self.limits.inflight_wait_s):
                        await self._busy(scope, receive, send)
                        return
                    held = length
                await self.app(scope, receive, send)
                return
            # No length given (chunked): read up to the limit, holding room
            # for what arrived, then replay.
            chunks: List[bytes] = []
            seen = 0
            while True:
                message = await receive()
                if message["type"] != "http.request":
                    await self.app(scope, _replay([message]), send)
                    return
                body = message.get("body", b"")
                seen += len(body)
                if seen > limit:
                    await self._too_large(scope, receive, send, limit, is_report)
                    return
                if seen > self.limits.small_body_bytes and body:
                    if not await self.inflight.acquire(len(body), self.limits.inflight_wait_s):
                        await self._busy(scope, receive, send)
                        return
                    held += len(body)
                chunks.append(body)
                if not message.get("more_body", False):
                    break
            whole = {"type": "http.request", "body": b"".join(chunks), "more_body": False}
            await self.app(scope, _replay([whole], receive), send)
        finally:
            await self.inflight.release(held)

    async def _too_large(self, scope: Any, receive: Any, send: Any, limit: int, is_report: bool) -> None:
        what = "Report too large" if is_report else "Request body too large"
        await _json_error(413, "%s: the limit is %d bytes" % (what, limit), max_body_bytes=limit)(scope, receive, send)

    async def _busy(self, scope: Any, receive: Any, send: Any) -> None:
        await _json_error(
            503, "The service is receiving too much data at once; try again shortly",
            {"Retry-After": "5"},
        )(scope, receive, send)


def _replay(messages: List[Dict[str, Any]], then: Any = None) -> Any:
    pending = list(messages)

    async def receive() -> Dict[str, Any]:
        if pending:
            return pending.pop(0)
        if then is not None:
            return await then()
        return {"type": "http.disconnect"}

    return receive


# -- connections ------------------------------------------------------------------

def descriptor_room(wanted: int, reserve: int = 64) -> int:
    """`wanted` connections, lowered to what the descriptor limit allows."""
    try:
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if soft != resource.RLIM_INFINITY and (hard == resource.RLIM_INFINITY or soft < hard):
            # Raise the soft limit as far as allowed: every connection is a descriptor.
            target = hard if hard != resource.RLIM_INFINITY else max(soft, wanted + reserve)
            resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))
            soft = target
    except (ValueError, OSError):
        return wanted
    if soft == resource.RLIM_INFINITY:
        return wanted
    return max(1, min(wanted, int(soft) - reserve))


class ConnectionStats:
    def __init__(self) -> None:
        self.timed_out = 0
        self.refused = 0


def guarded_protocol(limits: ServiceLimits, stats: Optional[ConnectionStats] = None) -> type:
    """uvicorn's h11 protocol with read time-outs and a connection cap."""
    from uvicorn.protocols.http.h11_impl import H11Protocol, h11

    cap = descriptor_room(int(limits.max_connections))
    header_s = float(limits.header_timeout_s)
    body_s = float(limits.body_timeout_s)
    counts = stats or ConnectionStats()
    warn = RateLimitedLog(logger)

    class GuardedH11Protocol(H11Protocol):
        connection_stats = counts
        connection_cap = cap

        def connection_made(self, transport: Any) -> None:  # type: ignore[override]
            self._read_timer: Optional[asyncio.TimerHandle] = None
            self._reading_body = False
            super().connection_made(transport)
            if len(self.connections) > cap:
                counts.refused += 1
                warn.warning("cap", "Connection refused: %d connections open (the cap)", len(self.connections))
                transport.abort()
                return
            self._arm(header_s, body=False)

        def _arm(self, seconds: float, body: bool) -> None:
            if self._read_timer is not None:
                self._read_timer.cancel()
            self._reading_body = body
            self._read_timer = self.loop.call_later(seconds, self._read_timed_out)

        def _disarm(self) -> None:
            if self._read_timer is not None:
                self._read_timer.cancel()
                self._read_timer = None

        def _read_timed_out(self) -> None:
            self._read_timer = None
            if self.transport.is_closing():
                return
            if self._reading_body and self.flow.read_paused:
                # The application is not taking the body yet (it waits for
                # room); the client is not the one who is slow.
                self._arm(body_s, body=True)
                return
            counts.timed_out += 1
            warn.warning("slow", "Closed a connection that sent no complete request within its read timeout")
            self.transport.abort()

        def data_received(self, data: bytes) -> None:
            super().data_received(data)
            if self.transport.is_closing():
                return
            state = self.conn.their_state
            if state is h11.SEND_BODY:
                self._arm(body_s, body=True)
            elif state is h11.IDLE:
                if self._read_timer is None or self._reading_body:
                    self._arm(header_s, body=False)
            else:  # the request is in: the application's turn
                self._disarm()

        def on_response_complete(self) -> None:
            super().on_response_complete()
            if self.transport.is_closing():
                return
            if self.conn.their_state is h11.SEND_BODY:
                # Answered before the body was in (a 401, a 413): the rest
                # of the body still has to come at the body pace.
                self._arm(body_s, body=True)
            else:
                # A kept-alive connection waits for its next request under
                # uvicorn's keep-alive timer; its headers then get ours again.
                self._disarm()

        def connection_lost(self, exc: Optional[Exception]) -> None:
            self._disarm()
            super().connection_lost(exc)

    return GuardedH11Protocol
