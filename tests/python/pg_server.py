"""A throw-away PostgreSQL server for tests and benchmarks.

`pg_server()` yields a server URL: ``LUMARQ_TEST_PG_URL`` when set, else a
fresh cluster (initdb into a temporary directory, listening on 127.0.0.1 on a
free port, password authentication), stopped and removed afterwards. As root
the server commands run as the ``postgres`` user, since initdb refuses root.

`fresh_database(server_url)` creates an empty database on that server and
returns its URL (drop it with `drop_database`).
"""

from __future__ import annotations

import contextlib
import glob
import os
import secrets
import shutil
import socket
import subprocess
import tempfile
import time
from typing import Iterator, List, Optional
from urllib.parse import urlsplit, urlunsplit

ENV_URL = "LUMARQ_TEST_PG_URL"


class PgUnavailable(RuntimeError):
    """No PostgreSQL server binaries on this machine."""


def find_bindir() -> Optional[str]:
    """Directory holding initdb and pg_ctl, or None.

    ``LUMARQ_PG_BINDIR``, when set, is the only place looked at.
    """
    env = os.environ.get("LUMARQ_PG_BINDIR")
    candidates: List[str] = [env] if env else []

    def version(path: str) -> float:
        try:
            return float(path.rstrip("/").split("/")[-2])
        except ValueError:
            return 0.0

    if not env:
        candidates += sorted(glob.glob("/usr/lib/postgresql/*/bin"), key=version, reverse=True)
        pg_ctl = shutil.which("pg_ctl")
        if pg_ctl:
            candidates.append(os.path.dirname(pg_ctl))
    for d in candidates:
        if os.access(os.path.join(d, "initdb"), os.X_OK) and os.access(os.path.join(d, "pg_ctl"), os.X_OK):
            return d
    return None


def _free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _as_server_user(cmd: List[str]) -> List[str]:
    if os.geteuid() == 0:
        return ["runuser", "-u", "postgres", "--"] + cmd
    return cmd


def _run(cmd: List[str], **kw) -> None:
    proc = subprocess.run(_as_server_user(cmd), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, **kw)
    if proc.returncode != 0:
        raise RuntimeError("%s failed (%d):\n%s" % (os.path.basename(cmd[0]), proc.returncode, proc.stdout[-4000:]))


@contextlib.contextmanager
def throwaway_cluster(fsync: bool = False) -> Iterator[str]:
    """Start a private cluster on 127.0.0.1; yield its URL (database postgres)."""
    bindir = find_bindir()
    if bindir is None:
        raise PgUnavailable("no PostgreSQL server binaries (initdb, pg_ctl) found")
    root = tempfile.mkdtemp(prefix="lumarq-pg-")
    os.chmod(root, 0o700)
    if os.geteuid() == 0:
        shutil.chown(root, "postgres", "postgres")
    data = os.path.join(root, "data")
    user, password = "lumarq", secrets.token_hex(12)
    pwfile = os.path.join(root, "pw")
    with open(pwfile, "w") as f:
        f.write(password + "\n")
    if os.geteuid() == 0:
        shutil.chown(pwfile, "postgres", "postgres")
    started = False
    try:
        _run([os.path.join(bindir, "initdb"), "-D", data, "-U", user, "--pwfile", pwfile,
              "--auth=scram-sha-256", "-E", "UTF8", "--locale=C"])
        os.remove(pwfile)
        opts = "-c listen_addresses=127.0.0.1 -c unix_socket_directories=%s -c max_connections=50" % root
        if not fsync:
            opts += " -c fsync=off -c synchronous_commit=off -c full_page_writes=off"
        for attempt in range(3):
            port = _free_port()
            try:
                _run([os.path.join(bindir, "pg_ctl"), "-D", data, "-l", os.path.join(root, "log"),
                      "-o", "%s -p %d" % (opts, port), "-w", "-t", "60", "start"])
                started = True
                break
            except RuntimeError:
                if attempt == 2:
                    raise
                time.sleep(0.5)
        yield "postgresql://%s:%s@127.0.0.1:%d/postgres" % (user, password, port)
    finally:
        if started:
            with contextlib.suppress(Exception):
                _run([os.path.join(bindir, "pg_ctl"), "-D", data, "-m", "fast", "-w", "stop"])
        shutil.rmtree(root, ignore_errors=True)


class Cluster:
    """A throw-away cluster that can be stopped and started again on its port."""

    def __init__(self, bindir: str, url: str):
        self.url = url
        self._ctl = os.path.join(bindir, "pg_ctl")

        def show(name: str) -> str:
            proc = subprocess.run(_as_server_user([os.path.join(bindir, "psql"), url, "-Atc", "SHOW " + name]),
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, check=True)
            return proc.stdout.strip()

        self._data = show("data_directory")
        self._log = os.path.join(os.path.dirname(self._data), "log")
        self._opts = ("-c listen_addresses=127.0.0.1 -c unix_socket_directories=%s -c max_connections=50 "
                      "-c fsync=off -c synchronous_commit=off -c full_page_writes=off -p %s"
                      % (show("unix_socket_directories"), show("port")))

    def stop(self, mode: str = "fast") -> None:
        _run([self._ctl, "-D", self._data, "-m", mode, "-w", "stop"])

    def start(self) -> None:
        _run([self._ctl, "-D", self._data, "-l", self._log, "-o", self._opts, "-w", "-t", "60", "start"])


@contextlib.contextmanager
def stoppable_cluster() -> Iterator[Cluster]:
    """A private cluster (as `throwaway_cluster`) whose server can be stopped and restarted."""
    with throwaway_cluster() as url:
        bindir = find_bindir()
        assert bindir is not None
        yield Cluster(bindir, url)


@contextlib.contextmanager
def pg_server(fsync: bool = False) -> Iterator[str]:
    """URL of a reachable server: ``LUMARQ_TEST_PG_URL`` or a throw-away one."""
    url = os.environ.get(ENV_URL)
    if url:
        yield url
        return
    with throwaway_cluster(fsync=fsync) as url:
        yield url


def _with_database(url: str, name: str) -> str:
    parts = urlsplit(url)
    return urlunsplit((parts.scheme, parts.netloc, "/" + name, parts.query, parts.fragment))


def _admin(url: str):
    import psycopg

    return psycopg.connect(_with_database(url, urlsplit(url).path.lstrip("/") or "postgres")
                           .replace("postgresql+psycopg://", "postgresql://"), autocommit=True)


def fresh_database(server_url: str) -> str:
    """Create an empty database on the server; return its URL."""
    name = "lumarq_test_" + secrets.token_hex(6)
    with _admin(server_url) as conn:
        conn.execute('CREATE DATABASE "%s"' % name)
    return _with_database(server_url, name)


def drop_database(server_url: str, db_url: str) -> None:
    name = urlsplit(db_url).path.lstrip("/")
    with _admin(server_url) as conn:
        conn.execute('DROP DATABASE IF EXISTS "%s" WITH (FORCE)' % name)


def database_for_test(request, tmp_path, kind: str):
    """Yields the URL of an empty database of `kind` ("sqlite" or "postgresql") for one test;
    PostgreSQL comes from the session fixture `pg_server_url`."""
    if kind == "sqlite":
        yield "sqlite:///" + str(tmp_path / "lumarq.db")
        return
    server = request.getfixturevalue("pg_server_url")
    url = fresh_database(server)
    try:
        yield url
    finally:
        drop_database(server, url)
