"""Fixtures shared by the Python tests.

`pg_server_url`: a PostgreSQL server for the session (``LUMARQ_TEST_PG_URL``
or a throw-away local cluster, see pg_server.py). Without server binaries
the tests that need it skip, except in CI (``CI=true``), where they fail.

`service`: the provenance service (``lumarq serve``) running on 127.0.0.1 on
a free port over a fresh database (SQLite file; with `service_db` also
PostgreSQL), with one API key. Yields a `RunningService`:

    def test_something(service):
        tracker = DAGTracker(api_key=service.key, tenant_id=service.tenant,
                             service_url=service.url)
        ...
        service.storage()            # HostedStorage on the service's database, same tenant
        service.new_key("other")     # a key of another tenant
"""

from __future__ import annotations

import os
import sys
from dataclasses import dataclass, field
from typing import Any, Callable, List

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import pg_server  # noqa: E402

from lumarq.utilities import vantor32 as v  # noqa: E402

IN_CI = os.environ.get("CI") == "true"


@pytest.fixture(scope="session")
def pg_server_url():
    try:
        cm = pg_server.pg_server()
        url = cm.__enter__()
    except pg_server.PgUnavailable as exc:
        if IN_CI:
            pytest.fail("PostgreSQL is required in CI: %s" % exc)
        pytest.skip(str(exc))
    try:
        yield url
    finally:
        cm.__exit__(None, None, None)


@pytest.fixture
def service_db(request, tmp_path):
    """URL of an empty service database: SQLite, or the parameter's kind
    when a test is parametrized indirectly with "sqlite"/"postgresql"."""
    yield from pg_server.database_for_test(request, tmp_path, getattr(request, "param", "sqlite"))


@dataclass
class RunningService:
    url: str  # base URL, e.g. http://127.0.0.1:41234
    key: str = field(repr=False)  # API key of `tenant`; kept out of failure reports
    tenant: str
    db_url: str  # the service's database (sqlite:/// or postgresql://)
    handle: Any  # lumarq.service.ServiceHandle
    _opened: List[Any] = field(default_factory=list)

    def new_key(self, tenant: str, name: str = "test") -> str:
        return self.handle.store.create_key(tenant, name)[1]

    def storage(self, tenant: str = None) -> Any:
        """A connected HostedStorage directly on the service's database."""
        from lumarq.utilities.persistence import HostedStorage

        s = HostedStorage(api_url=self.db_url, api_key=None, tenant_id=tenant or self.tenant)
        s.connect()
        self._opened.append(s)
        return s


def _need_service_extra() -> None:
    try:
        import fastapi  # noqa: F401
        import uvicorn  # noqa: F401
    except ImportError as exc:
        if IN_CI:
            pytest.fail("the service extra is required in CI: %s" % exc)
        pytest.skip("service extra not installed: %s" % exc)


@pytest.fixture
def start_service(service_db) -> Callable[..., RunningService]:
    """start_service(**run_in_thread options) -> RunningService on `service_db`
    (one service per test; a second call reuses the database)."""
    _need_service_extra()
    from lumarq.service import run_in_thread

    started: List[RunningService] = []

    def start(tenant: str = "acme", **options: Any) -> RunningService:
        handle = run_in_thread(service_db, "127.0.0.1", 0, **options)
        svc = RunningService(handle.url, handle.store.create_key(tenant, "test")[1], tenant, service_db, handle)
        started.append(svc)
        return svc

    yield start
    for svc in started:
        for s in svc._opened:
            s.disconnect()
        svc.handle.stop()


@pytest.fixture
def service(start_service) -> RunningService:
    return start_service()


@pytest.fixture
def tracker():
    return v.ProvenanceTracker()
