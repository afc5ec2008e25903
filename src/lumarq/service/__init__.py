"""The lumarq provenance service: hosted storage, pipeline reports, dashboard reads.

    lumarq keys create --tenant acme        # prints a new API key once
    lumarq serve                            # http://127.0.0.1:8750

`run_in_thread(db_url)` starts it on a background thread and returns a handle
with `url` and `stop()`. Needs the ``service`` extra (FastAPI, uvicorn); the
client side (`HostedStorage` with an http URL) needs neither.
"""

from __future__ import annotations

from typing import Any

__all__ = ["ServiceHandle", "ServiceStore", "create_app", "default_db_url", "run_in_thread", "serve"]


def __getattr__(name: str) -> Any:
    # Imported on use: the framework loads only when a service is started.
    if name in ("ServiceHandle", "run_in_thread", "serve", "default_db_url"):
        from . import server

        return getattr(server, name)
    if name == "create_app":
        from .app import create_app

        return create_app
    if name == "ServiceStore":
        from .store import ServiceStore

        return ServiceStore
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
