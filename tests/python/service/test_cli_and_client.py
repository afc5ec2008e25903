"""The command line (keys, serve) and the client when the service is down or failing."""

from __future__ import annotations

import hashlib
import json
import logging
import os
import re
import signal
import subprocess
import sys
import time

import pytest
from service_helpers import call, free_port, start_failing_service

import lumarq
from lumarq.utilities.persistence import AsyncWriter, HostedStorage, WriterConfig
from lumarq.utilities.persistence.storage import StoredRowValue

KEY_RE = re.compile(r"^lmq_[0-9a-f]{12}_[A-Za-z0-9_-]{43}$")


def lumarq_cmd(*args, **kw):
    env = dict(os.environ)
    src = os.path.dirname(os.path.dirname(lumarq.__file__))
    env["PYTHONPATH"] = src + os.pathsep + env.get("PYTHONPATH", "")
    return subprocess.run([sys.executable, "-m", "lumarq", *args], capture_output=True, text=True, env=env,
                          timeout=60, **kw)


def test_keys_command_creates_lists_and_revokes_and_stores_only_a_hash(tmp_path):
    from lumarq.service import run_in_thread

    db = "sqlite:///" + str(tmp_path / "keys.db")
    made = lumarq_cmd("keys", "create", "--tenant", "acme", "--name", "ci", "--db", db)
    assert made.returncode == 0, made.stderr
    key = made.stdout.strip()
    assert KEY_RE.match(key) and key not in made.stderr
    key_id = key[4:16]
    assert key_id in made.stderr and "only this once" in made.stderr
    assert lumarq_cmd("keys", "create", "--tenant", "globex", "--db", db).returncode == 0

    listing = lumarq_cmd("keys", "list", "--db", db)
    assert listing.returncode == 0 and key not in listing.stdout + listing.stderr
    assert re.search(r"^%s\s+acme\s+ci\s+\S+\s+active$" % key_id, listing.stdout, re.M), listing.stdout
    entries = json.loads(lumarq_cmd("keys", "list", "--json", "--tenant", "acme", "--db", db).stdout)
    assert [(e["key_id"], e["tenant_id"], e["revoked_at"]) for e in entries] == [(key_id, "acme", None)]

    with run_in_thread(db) as svc:
        with svc.store.backend.engine.connect() as conn:
            rows = conn.exec_driver_sql("SELECT * FROM lumarq_api_keys").fetchall()
        assert not any(key in str(v) for r in rows for v in r)
        assert hashlib.sha256(key.encode()).hexdigest() in {r.key_hash for r in rows}
        assert call(svc.url, "GET", "/v1/auth", key=key)[1]["tenant_id"] == "acme"
        revoked = lumarq_cmd("keys", "revoke", key_id, "--db", db)
        assert revoked.returncode == 0 and "revoked" in revoked.stdout
        assert call(svc.url, "GET", "/v1/auth", key=key)[0] == 401
    again = lumarq_cmd("keys", "list", "--db", db)
    assert re.search(r"^%s\s+acme\s+ci\s+\S+\s+revoked " % key_id, again.stdout, re.M)
    assert lumarq_cmd("keys", "revoke", "000000000000", "--db", db).returncode == 1
    bad = lumarq_cmd("keys", "create", "--tenant", " spaced ", "--db", db)
    assert bad.returncode == 2 and "tenant" in bad.stderr
    wrong = lumarq_cmd("keys", "list", "--db", "mysql://u:Secr3tPass@h/db")
    assert wrong.returncode == 1 and "Secr3tPass" not in wrong.stderr


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_serve_prints_its_url_and_stops_cleanly_on_a_signal(tmp_path, sig):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.dirname(os.path.dirname(lumarq.__file__)) + os.pathsep + env.get("PYTHONPATH", "")
    db = "sqlite:///" + str(tmp_path / "serve.db")
    proc = subprocess.Popen([sys.executable, "-m", "lumarq", "serve", "--port", "0", "--db", db,
                             "--log-level", "warning"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=env)
    try:
        line = proc.stdout.readline()
        m = re.match(r"lumarq service on (http://127\.0\.0\.1:(\d+)) \(database (.*)\)$", line.strip())
        assert m and int(m.group(2)) > 0, line
        assert call(m.group(1), "GET", "/healthz") == (200, {"status": "ok"})
        proc.send_signal(sig)
        assert proc.wait(timeout=15) == 0
        assert "Traceback" not in proc.stderr.read()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_connect_to_a_service_that_is_down_raises_connection_error():
    key = "lmq_0123456789ab_" + "K" * 43
    storage = HostedStorage(api_url="http://127.0.0.1:%d" % free_port(), api_key=key, tenant_id="t")
    with pytest.raises(ConnectionError, match="not available") as err:
        storage.connect()
    assert key not in str(err.value) and not storage.connected
    with pytest.raises(PermissionError, match="API key is needed"):
        HostedStorage(api_url="http://127.0.0.1:1", api_key=None, tenant_id="t").connect()


def test_a_service_answering_500_fails_the_batch_after_its_retry_budget_with_three_warnings(caplog):
    server = start_failing_service()
    key = "lmq_0123456789ab_" + "Z" * 43
    try:
        storage = HostedStorage(api_url=server.url, api_key=key,
                                tenant_id="acme")
        storage.connect()
        writer = AsyncWriter(storage, WriterConfig(retry_budget=2.0))
        writer.start()
        with caplog.at_level(logging.DEBUG, logger="lumarq"):
            writer.write_row_values([StoredRowValue(1, i, 2, "ADD", 1.0, "c", None, None) for i in range(10)])
            started = time.monotonic()
            assert writer.flush(timeout=30.0) is False
            assert 2 <= time.monotonic() - started < 10
        writer.stop()
        stats = writer.get_stats()
        assert server.posts >= 3 and stats["row_values"]["failed"] == 10 and stats["lost"] == 10
        assert "HTTP 500" in stats["last_error"] and key not in stats["last_error"]
        # One notice when the outage begins, one line for what was given up, and one at the stop
        # for the loss that could not be recorded with its pipeline either.
        warnings_logged = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
        assert len(warnings_logged) == 3 and key not in caplog.text
        assert "retrying for up to 2 s" in warnings_logged[0] and "10 row values" in warnings_logged[1]
        assert "Could not record 10 lost records" in warnings_logged[2]
        storage.disconnect()
    finally:
        server.shutdown()
        server.server_close()


@pytest.mark.parametrize("status, outage", [(503, True), (429, True), (408, True), (422, False), (400, False)])
def test_a_busy_or_timed_out_answer_is_retried_and_a_refusal_drops_the_records(status, outage):
    server = start_failing_service(status)
    try:
        storage = HostedStorage(api_url=server.url, api_key="lmq_0123456789ab_" + "Z" * 43, tenant_id="acme")
        storage.connect()
        writer = AsyncWriter(storage, WriterConfig(retry_budget=1.0))
        writer.start()
        writer.write_row_values([StoredRowValue(1, i, 2, "ADD", 1.0, "c", None, None) for i in range(4)])
        assert writer.flush(timeout=30.0) is False
        writer.stop()
        stats = writer.get_stats()
        # An outage is retried as a whole until the budget is spent; a refusal is split down to
        # the single records, each dropped as rejected.
        assert (stats["lost"], stats["rejected"]) == (4, 0 if outage else 4)
        assert (stats["batches_retried"] > 0) is outage and "HTTP %d" % status in stats["last_error"]
        storage.disconnect()
    finally:
        server.shutdown()
        server.server_close()


def test_the_client_side_loads_no_web_framework_nor_database_library(service):
    script = """
import sys
from lumarq.utilities.persistence import AsyncWriter, HostedStorage, WriterConfig
from lumarq.utilities.persistence.storage import StoredRowValue
s = HostedStorage(api_url=sys.argv[1], api_key=sys.argv[2], tenant_id="acme")
s.connect()
pid = s.create_pipeline("no-framework")
w = AsyncWriter(s, WriterConfig())
w.start()
w.write_row_values([StoredRowValue(pid, 0, 1, "ADD", 1.0, "c", None, None)])
assert w.flush(timeout=30.0)
w.stop()
heavy = sorted(m for m in ("fastapi", "starlette", "pydantic", "uvicorn", "sqlalchemy", "psycopg")
               if m in sys.modules)
print(pid, heavy)
"""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.dirname(os.path.dirname(lumarq.__file__)) + os.pathsep + env.get("PYTHONPATH", "")
    out = subprocess.run([sys.executable, "-c", script, service.url, service.key], capture_output=True,
                         text=True, env=env, timeout=60)
    assert out.returncode == 0, out.stderr
    pid, heavy = out.stdout.split(" ", 1)
    assert heavy.strip() == "[]"
    assert service.storage().count_row_values(int(pid)) == 1


def test_default_database_is_in_the_per_user_data_folder(tmp_path, monkeypatch):
    from lumarq.service.server import default_db_url

    monkeypatch.setattr(sys, "platform", "linux")
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path / "data"))
    assert default_db_url() == "sqlite:///" + str(tmp_path / "data" / "lumarq" / "service.db")
    assert oct((tmp_path / "data" / "lumarq").stat().st_mode & 0o777) == "0o700"
    monkeypatch.setenv("XDG_DATA_HOME", "/proc/no-such-place")  # cannot be made
    assert default_db_url() == "sqlite:///" + os.path.abspath("lumarq-service.db")
