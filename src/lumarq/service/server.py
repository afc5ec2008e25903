"""Running the provenance service: in the foreground (`lumarq serve`) or on a
background thread (`run_in_thread`, for tests and the demo)."""

from __future__ import annotations

import logging
import os
import signal
import socket
import sys
import threading
import time
from pathlib import Path
from typing import Any, Optional

from .app import DEFAULT_MAX_BODY_BYTES, create_app
from .limits import ServiceLimits, guarded_protocol
from .store import ServiceStore

logger = logging.getLogger("lumarq.service")

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8750
# Longer than the client's idle reuse limit, so a reused connection is not
# closed under a request.
KEEP_ALIVE_S = 15


_STOP_SIGNALS = tuple(
    getattr(signal, name) for name in ("SIGINT", "SIGTERM") if hasattr(signal, name)
)


def _ignore(signum: int, frame: Any) -> None:
    pass


def data_dir() -> Path:
    """The per-user data folder of lumarq (not created here)."""
    home = Path.home()
    if sys.platform == "win32":
        base = Path(os.environ.get("LOCALAPPDATA") or home / "AppData" / "Local")
    elif sys.platform == "darwin":
        base = home / "Library" / "Application Support"
    else:
        base = Path(os.environ.get("XDG_DATA_HOME") or home / ".local" / "share")
    return base / "lumarq"


def default_db_url() -> str:
    """``sqlite:///<per-user data folder>/service.db`` (the folder is made
    on demand, private to the user), or ``sqlite:///./lumarq-service.db``
    when there is no usable home folder."""
    try:
        folder = data_dir()
        folder.mkdir(mode=0o700, parents=True, exist_ok=True)
        return "sqlite:///" + str(folder / "service.db")
    except (OSError, RuntimeError):
        return "sqlite:///" + os.path.abspath("lumarq-service.db")


def open_store(db_url: Optional[str]) -> ServiceStore:
    return ServiceStore(db_url or default_db_url()).connect()


def _bind(host: str, port: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    # IPPROTO_TCP explicitly: asyncio sets TCP_NODELAY on accepted
    # connections only for sockets that say so; without it every kept-alive
    # request waits for a delayed ACK (40 ms).
    sock = socket.socket(family, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((host, port))
    except OSError:
        sock.close()
        raise
    sock.listen(1024)
    sock.set_inheritable(True)
    return sock


def _url(sock: socket.socket, host: str) -> str:
    port = sock.getsockname()[1]
    shown = "[%s]" % host if ":" in host else host
    if host in ("0.0.0.0", "::"):
        shown = "127.0.0.1" if host == "0.0.0.0" else "[::1]"
    return "http://%s:%d" % (shown, port)


def _limits(max_body_bytes: int, limits: Optional[ServiceLimits]) -> ServiceLimits:
    if limits is not None:
        return limits
    return ServiceLimits(max_body_bytes=int(max_body_bytes),
                         max_inflight_bytes=max(ServiceLimits.max_inflight_bytes, 2 * int(max_body_bytes)))


def _server(store: ServiceStore, limits: ServiceLimits, log_level: str, log_config: Any) -> Any:
    import uvicorn

    app = create_app(store, limits=limits)
    config = uvicorn.Config(
        app,
        log_level=log_level,
        log_config=log_config,
        access_log=log_level in ("debug", "trace", "info"),
        timeout_keep_alive=KEEP_ALIVE_S,
        server_header=False,
        lifespan="off",
        # Our h11 protocol adds header and body read time-outs and a
        # connection cap (see limits.py).
        http=guarded_protocol(limits),
        h11_max_incomplete_event_size=64 * 1024,
    )
    server = uvicorn.Server(config)
    server.limits = limits
    return server


class ServiceHandle:
    """A service running on a background thread: `url`, `db_url`, `stop()`."""

    def __init__(self, server: Any, thread: threading.Thread, store: ServiceStore, url: str):
        self._server = server
        self._thread = thread
        self.store = store
        self.url = url
        self.db_url = store.db_url

    @property
    def running(self) -> bool:
        return self._thread.is_alive()

    def stop(self, timeout: float = 10.0) -> None:
        """Finish the requests in flight, stop serving, close the database."""
        self._server.should_exit = True
        self._thread.join(timeout)
        if self._thread.is_alive():
            self._server.force_exit = True
            self._thread.join(timeout)
        self.store.close()

    def __enter__(self) -> "ServiceHandle":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    def __repr__(self) -> str:
        return "ServiceHandle(url=%r, db_url=%r, running=%s)" % (self.url, self.store.masked_url, self.running)


def run_in_thread(db_url: Optional[str] = None, host: str = DEFAULT_HOST, port: int = 0, *,
                  max_body_bytes: int = DEFAULT_MAX_BODY_BYTES, log_level: str = "warning",
                  startup_timeout: float = 30.0, limits: Optional[ServiceLimits] = None) -> ServiceHandle:
    """Start the service on a daemon thread; returns once it accepts requests.

    `port` 0 picks a free port (see the handle's `url`). Logging is left as
    the caller configured it.
    """
    store = open_store(db_url)
    try:
        sock = _bind(host, int(port))
    except OSError:
        store.close()
        raise
    server = _server(store, _limits(max_body_bytes, limits), log_level, None)
    url = _url(sock, host)

    def run() -> None:
        try:
            server.run(sockets=[sock])
        finally:
            sock.close()

    thread = threading.Thread(target=run, name="lumarq-service", daemon=True)
    thread.start()
    deadline = time.monotonic() + startup_timeout
    while not server.started:
        if not thread.is_alive() or time.monotonic() > deadline:
            server.should_exit = True
            store.close()
            raise RuntimeError("the lumarq service did not start on %s" % url)
        time.sleep(0.01)
    return ServiceHandle(server, thread, store, url)


def serve(db_url: Optional[str] = None, host: str = DEFAULT_HOST, port: int = DEFAULT_PORT, *,
          max_body_bytes: int = DEFAULT_MAX_BODY_BYTES, log_level: str = "info",
          limits: Optional[ServiceLimits] = None) -> int:
    """Serve in the foreground until SIGINT or SIGTERM; returns an exit status."""
    from uvicorn.config import LOGGING_CONFIG

    log_config = {**LOGGING_CONFIG, "loggers": dict(LOGGING_CONFIG["loggers"])}
    log_config["loggers"]["lumarq"] = {"handlers": ["default"], "level": log_level.upper(), "propagate": False}
    store = open_store(db_url)
    try:
        try:
            sock = _bind(host, int(port))
        except OSError as exc:
            print("lumarq serve: cannot listen on %s:%s: %s" % (host, port, exc.strerror or exc), file=sys.stderr)
            return 1
        server = _server(store, _limits(max_body_bytes, limits), log_level, log_config)
        print("lumarq service on %s (database %s)" % (_url(sock, host), store.masked_url), flush=True)
        # uvicorn shuts down gracefully on SIGINT/SIGTERM and then raises the
        # signal again for the handler it found: with these, that ends here
        # and the database is closed before a normal exit.
        previous = {sig: signal.signal(sig, _ignore) for sig in _STOP_SIGNALS}
        try:
            server.run(sockets=[sock])
        finally:
            sock.close()
            for sig, handler in previous.items():
                signal.signal(sig, handler)
    finally:
        store.close()
    return 0
