"""Fixtures: every storage test runs on SQLite and on PostgreSQL.

PostgreSQL comes from the session fixture `pg_server_url` of
tests/python/conftest.py (``LUMARQ_TEST_PG_URL`` or a throw-away local
cluster). Without server binaries the PostgreSQL cases skip, except in CI
(``CI=true``), where they fail.
"""

from __future__ import annotations

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import pg_server  # noqa: E402

from lumarq.utilities.persistence import HostedStorage  # noqa: E402

BACKENDS = ["sqlite", "postgresql"]


@pytest.fixture(params=BACKENDS)
def db_url(request, tmp_path):
    """URL of an empty database of each kind."""
    yield from pg_server.database_for_test(request, tmp_path, request.param)


@pytest.fixture
def make_storage(db_url):
    """make_storage(tenant) -> a connected HostedStorage on the test database."""
    made = []

    def make(tenant="tenant-a", api_key="key-not-a-real-secret", url=None):
        s = HostedStorage(api_url=url or db_url, api_key=api_key, tenant_id=tenant)
        s.connect()
        made.append(s)
        return s

    yield make
    for s in made:
        s.disconnect()


@pytest.fixture
def storage(make_storage):
    return make_storage()
