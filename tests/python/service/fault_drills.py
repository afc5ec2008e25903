"""Fault drills: outages, bad records and abusive clients against a real service.

Each drill returns a dict of figures; test_fault_drills.py asserts the facts
(nothing lost, nothing duplicated, the right statuses), and running this file
prints the figures of every drill at full size:

    PYTHONPATH=src python tests/python/service/fault_drills.py [drill ...]

Everything runs on the loopback interface; every loop is bounded and stops
by itself.
"""

from __future__ import annotations

import http.client
import json
import os
import resource
import select
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from typing import Any, Callable, Dict, List, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

import pg_server  # noqa: E402

import lumarq  # noqa: E402
from lumarq.utilities.persistence import HostedStorage  # noqa: E402

TENANT = "acme"
MIB = 1024 * 1024


# -- a service in a process of its own --------------------------------------------------

def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_key(db_url: str, tenant: str = TENANT) -> str:
    from lumarq.service.store import ServiceStore

    store = ServiceStore(db_url).connect()
    try:
        return store.create_key(tenant)[1]
    finally:
        store.close()


class ServiceProcess:
    """`lumarq serve` on a fixed port, so that it can be killed and started again."""

    def __init__(self, db_url: str, *args: str):
        self.db_url = db_url
        self.port = free_port()
        self.url = "http://127.0.0.1:%d" % self.port
        self.args = list(args)
        self.proc: Optional[subprocess.Popen] = None

    def start(self, timeout: float = 30.0) -> "ServiceProcess":
        env = dict(os.environ)
        pkg_root = os.path.dirname(os.path.dirname(os.path.abspath(lumarq.__file__)))
        env["PYTHONPATH"] = os.pathsep.join([pkg_root, env.get("PYTHONPATH", "")])
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "lumarq", "serve", "--db", self.db_url, "--port", str(self.port),
             "--log-level", "warning", *self.args],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
        )
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("the service exited: %s" % self.proc.stderr.read().decode()[-2000:])
            try:
                with urllib.request.urlopen(self.url + "/healthz", timeout=1) as r:
                    if r.status == 200:
                        return self
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("the service did not start")

    def kill(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait(10)

    def stop(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.kill()

    @property
    def alive(self) -> bool:
        return self.proc is not None and self.proc.poll() is None

    def rss_kb(self) -> Dict[str, int]:
        out = {}
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith(("VmRSS", "VmHWM")):
                    name, value = line.split(":")
                    out[name] = int(value.split()[0])
        return out


def request(url: str, method: str, path: str, body: Optional[bytes] = None, key: Optional[str] = None,
            timeout: float = 60.0) -> tuple:
    host, port = url[len("http://"):].split(":")
    conn = http.client.HTTPConnection(host, int(port), timeout=timeout)
    headers = {"Content-Type": "application/json"}
    if key:
        headers["Authorization"] = "Bearer " + key
    try:
        try:
            conn.request(method, path, body=body, headers=headers)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the service answered before taking the whole body
        resp = conn.getresponse()
        data = resp.read()
        return resp.status, json.loads(data) if data else None, dict(resp.getheaders())
    finally:
        conn.close()


def row_counts(db_url: str, pipeline_id: int) -> Dict[str, int]:
    """Stored rows of a pipeline and distinct row indexes among them."""
    from sqlalchemy import create_engine, text

    url = db_url.replace("postgresql://", "postgresql+psycopg://", 1)
    engine = create_engine(url)
    try:
        with engine.connect() as conn:
            n, distinct = conn.execute(text(
                "SELECT COUNT(*), COUNT(DISTINCT row_index) FROM lumarq_row_values WHERE pipeline_id = :p"
            ), {"p": pipeline_id}).one()
    finally:
        engine.dispose()
    return {"stored": int(n), "distinct": int(distinct)}


def _written(tracker: Any) -> int:
    stats = tracker.get_persistence_stats() or {}
    return int(stats.get("row_values", {}).get("written", 0))


def _stream_with_outage(tracker: Any, rows: int, cut: Callable[[], None], restore: Callable[[], None],
                        outage_s: float) -> Dict[str, Any]:
    """Record `rows` row values; once a quarter is stored, cut the store for `outage_s`."""
    times: Dict[str, float] = {}

    def saboteur() -> None:
        deadline = time.monotonic() + 120
        while _written(tracker) < rows // 4 and time.monotonic() < deadline:
            time.sleep(0.01)
        times["written_at_cut"] = _written(tracker)
        cut()
        times["cut"] = time.monotonic()
        time.sleep(outage_s)
        restore()
        times["restored"] = time.monotonic()

    started = time.monotonic()
    th = threading.Thread(target=saboteur, daemon=True)
    th.start()
    for i in range(rows):
        tracker.record_row_value(i, 7, "drill", float(i))
    th.join(180)
    tracker.flush(timeout=300.0)
    done = time.monotonic()
    stats = tracker.get_persistence_stats()
    return {
        "rows": rows,
        "outage_s": round(times["restored"] - times["cut"], 1),
        "rows_stored_before_cut": times["written_at_cut"],
        "drained_after_restore_s": round(done - times["restored"], 1),
        "total_s": round(done - started, 1),
        "batches_retried": stats["batches_retried"],
        "writer_lost": stats["lost"],
    }


# -- drills -------------------------------------------------------------------------

def drill_service_killed(rows: int = 1_000_000, outage_s: float = 10.0) -> Dict[str, Any]:
    """SIGKILL the service mid-stream, restart it on the same database after `outage_s`."""
    from lumarq.utilities.vantor32_dag import DAGTracker

    with tempfile.TemporaryDirectory() as tmp:
        db = "sqlite:///" + os.path.join(tmp, "service.db")
        key = make_key(db)
        svc = ServiceProcess(db).start()
        try:
            t = DAGTracker(api_key=key, tenant_id=TENANT, service_url=svc.url, pipeline_name="kill-drill")
            pid = t._pipeline_id
            figures = _stream_with_outage(t, rows, svc.kill, svc.start, outage_s)
            t.__exit__(None, None, None)
            counts = row_counts(db, pid)
        finally:
            svc.stop()
    figures.update(lost=rows - counts["distinct"], duplicated=counts["stored"] - counts["distinct"])
    return figures


def drill_postgres_stopped(rows: int = 300_000, outage_s: float = 10.0) -> Dict[str, Any]:
    """Stop PostgreSQL under a tracker writing straight to it, start it again after `outage_s`."""
    from lumarq.utilities.vantor32_dag import DAGTracker

    with pg_server.stoppable_cluster() as cluster:
        db = pg_server.fresh_database(cluster.url)
        t = DAGTracker(api_key="direct", tenant_id=TENANT, service_url=db, pipeline_name="pg-drill")
        pid = t._pipeline_id
        figures = _stream_with_outage(t, rows, cluster.stop, cluster.start, outage_s)
        t.__exit__(None, None, None)
        counts = row_counts(db, pid)
    figures.update(lost=rows - counts["distinct"], duplicated=counts["stored"] - counts["distinct"])
    return figures


def drill_journal_bound(lists: int = 40, rows_per_list: int = 1000, journal_bytes: int = 256 * 1024,
                        logs: Optional[List[str]] = None, form: str = "records") -> Dict[str, Any]:
    """The service goes away; what passes the queue and a small journal is lost, counted and
    recorded on the pipeline once the service is back. `form`: the row values go to the writer
    as record lists ("records") or as column batches ("columns")."""
    import logging

    from lumarq.service import run_in_thread
    from lumarq.utilities.persistence import AsyncWriter, RowValueColumns, WriterConfig
    from lumarq.utilities.persistence.storage import StoredRowValue

    records: List[str] = [] if logs is None else logs

    class Keep(logging.Handler):
        def emit(self, record: logging.LogRecord) -> None:
            records.append(record.getMessage())

    handler = Keep(logging.WARNING)
    log = logging.getLogger("lumarq.utilities.persistence")
    log.addHandler(handler)
    with tempfile.TemporaryDirectory() as tmp:
        db = "sqlite:///" + os.path.join(tmp, "service.db")
        key = make_key(db)
        svc = run_in_thread(db)
        port = int(svc.url.rsplit(":", 1)[1])
        try:
            storage = HostedStorage(api_url=svc.url, api_key=key, tenant_id=TENANT)
            storage.connect()
            pid = storage.create_pipeline("journal-drill")
            svc.stop()
            cfg = WriterConfig(queue_size=2, max_queued_rows=rows_per_list, put_timeout=0.5,
                               journal_max_bytes=journal_bytes, journal_dir=tmp, retry_budget=120.0)
            w = AsyncWriter(storage, cfg)
            w.start()
            for k in range(lists):
                batch = [StoredRowValue(pid, k * rows_per_list + i, 7, "op", float(i), "c", None, None)
                         for i in range(rows_per_list)]
                if form == "columns":
                    w.write_columns(row_values=RowValueColumns.from_records(batch))
                else:
                    w.write_row_values(batch)
            during = w.get_stats()
            journal_files = [f for f in os.listdir(tmp) if f.startswith("lumarq-journal-")]
            svc = run_in_thread(db, port=port)
            flushed = w.flush(timeout=120.0)
            w.stop()
            storage.complete_pipeline(pid, "completed")
            stats = w.get_stats()
            from lumarq.service.store import ServiceStore

            shown = svc.store.pipeline(TENANT, pid)
            stored = storage.count_row_values(pid)
            storage.disconnect()
            left = [f for f in os.listdir(tmp) if f.startswith("lumarq-journal-")]
        finally:
            svc.stop()
            log.removeHandler(handler)
    total = lists * rows_per_list
    return {
        "rows": total, "stored": stored, "lost": stats["lost"], "journal_bytes_bound": journal_bytes,
        "journal_bytes_during_outage": during["journal_bytes"], "journal_files_during": len(journal_files),
        "journal_files_after": len(left), "flush_ok": flushed,
        "pipeline_lost_records": shown["lost_records"], "pipeline_status": shown["status"],
        "loss_log_lines": [m for m in records if "not stored" in m],
    }


def drill_exit_with_store_gone(how: str, retry_budget: float = 3.0, raise_in_block: bool = False) -> Dict[str, Any]:
    """Leave a `with` block after the service went down ("down") or the key was revoked
    ("revoked"); the writer retries an outage for `retry_budget` seconds."""
    from lumarq.service import run_in_thread
    from lumarq.utilities.vantor32_dag import DAGTracker

    saved = os.environ.get("LUMARQ_RETRY_BUDGET")
    os.environ["LUMARQ_RETRY_BUDGET"] = str(retry_budget)
    with tempfile.TemporaryDirectory() as tmp:
        db = "sqlite:///" + os.path.join(tmp, "service.db")
        svc = run_in_thread(db)
        entry, key = svc.store.create_key(TENANT)
        raised = None
        started = time.monotonic()
        try:
            t = DAGTracker(api_key=key, tenant_id=TENANT, service_url=svc.url, pipeline_name="exit-drill")
            try:
                with t:
                    for i in range(20_000):
                        t.record_row_value(i, 7, "op", float(i))
                    if how == "down":
                        svc.stop()
                    else:
                        svc.store.revoke_key(entry["key_id"])
                    for i in range(20_000, 30_000):
                        t.record_row_value(i, 7, "op", float(i))
                    if raise_in_block:
                        raise KeyError("from the block")
            except BaseException as exc:  # what the drill looks for
                raised = exc
        finally:
            svc.stop()
            if saved is None:
                os.environ.pop("LUMARQ_RETRY_BUDGET", None)
            else:
                os.environ["LUMARQ_RETRY_BUDGET"] = saved
    return {"raised": repr(raised) if raised else None, "records_lost": getattr(t, "_records_lost", 0),
            "store_failures": getattr(t, "_store_failures", 0), "exit_s": round(time.monotonic() - started, 1)}


def drill_nul_row(via: str, pg_url: str, rows: int = 100_000) -> Dict[str, Any]:
    """One NUL-bearing text value among `rows`, on PostgreSQL, direct or through the service."""
    from lumarq.utilities.vantor32_dag import DAGTracker

    db = pg_server.fresh_database(pg_url)
    svc = None
    try:
        if via == "service":
            key = make_key(db)
            svc = ServiceProcess(db).start()
            t = DAGTracker(api_key=key, tenant_id=TENANT, service_url=svc.url, pipeline_name="nul")
        else:
            t = DAGTracker(api_key="direct", tenant_id=TENANT, service_url=db, pipeline_name="nul")
        pid = t._pipeline_id
        bad = rows // 3
        for i in range(rows):
            t.record_row_value(i, 7, "op", "bad\x00text" if i == bad else "text %d" % i)
        t.flush(timeout=120.0)
        stats = t.get_persistence_stats()
        t.__exit__(None, None, None)
        counts = row_counts(db, pid)
        reader = HostedStorage(api_url=db, api_key="x", tenant_id=TENANT)
        reader.connect()
        shown = reader.get_pipeline(pid)
        reader.disconnect()
    finally:
        if svc is not None:
            svc.stop()
        pg_server.drop_database(pg_url, db)
    return {"rows": rows, "stored": counts["stored"], "rejected": stats["rejected"], "lost": stats["lost"],
            "pipeline_lost_records": shown["lost_records"], "last_error": stats["last_error"]}


def drill_big_report() -> Dict[str, Any]:
    """A 32 MB report, with and without a key."""
    with tempfile.TemporaryDirectory() as tmp:
        db = "sqlite:///" + os.path.join(tmp, "service.db")
        key = make_key(db)
        svc = ServiceProcess(db).start()
        try:
            pad = "x" * (32 * MIB)
            body = json.dumps({"pipeline": {"pipeline_name": "p", "status": "completed", "node_count": 0,
                                            "edge_count": 0, "provenance_pipeline_id": None, "pad": pad}}).encode()
            with_key = request(svc.url, "POST", "/v1/dashboard/sync", body, key)
            without_key = request(svc.url, "POST", "/v1/dashboard/sync", body, None)
            alive = svc.alive
        finally:
            svc.stop()
    return {"with_key": with_key[0], "detail": with_key[1]["detail"], "without_key": without_key[0],
            "alive": alive}


def drill_report_listing(reports: int = 10_000, report_kb: int = 10) -> Dict[str, Any]:
    """Memory of the service while it lists `reports` reports of `report_kb` KiB each."""
    from sqlalchemy import create_engine, insert

    from lumarq.utilities.persistence import _schema as S

    with tempfile.TemporaryDirectory() as tmp:
        db = "sqlite:///" + os.path.join(tmp, "service.db")
        key = make_key(db)
        pad = "y" * (report_kb * 1024)
        payload = json.dumps({"pipeline": {"pipeline_name": "p"}, "pad": pad})
        engine = create_engine(db)
        import datetime as dt

        now = dt.datetime.now(dt.timezone.utc)
        with engine.begin() as conn:
            conn.execute(insert(S.dashboard_reports), [
                dict(tenant_id=TENANT, pipeline_id=None, received_at=now, pipeline_name="p", status="completed",
                     node_count=1, edge_count=0, model_id="m", has_disparate_impact=False,
                     protected_attributes=[], protected_sources=[], payload=payload)
                for _ in range(reports)])
        engine.dispose()
        svc = ServiceProcess(db).start()
        try:
            request(svc.url, "GET", "/v1/dashboard/reports?limit=10", None, key)  # warm up
            before = svc.rss_kb()
            seen, before_id, pages = 0, None, 0
            started = time.monotonic()
            while pages < reports:  # bounded: one page at least per report
                path = "/v1/dashboard/reports?limit=1000" + ("&before=%d" % before_id if before_id else "")
                status, page, _ = request(svc.url, "GET", path, None, key)
                assert status == 200, page
                seen += len(page["reports"])
                pages += 1
                before_id = page["next_before"]
                if before_id is None:
                    break
            listing_s = time.monotonic() - started
            too_big = request(svc.url, "GET", "/v1/dashboard/reports?limit=10000", None, key)[0]
            after = svc.rss_kb()
        finally:
            svc.stop()
    return {"reports": reports, "report_kb": report_kb, "listed": seen, "pages": pages,
            "listing_s": round(listing_s, 2), "limit_10000_status": too_big,
            "rss_before_mb": round(before["VmRSS"] / 1024, 1),
            "growth_mb": round((after["VmHWM"] - before["VmRSS"]) / 1024, 1)}


def _rows_body(pid: int, n: int, batch_id: str) -> bytes:
    rows = [[pid, i, 7, "bulk-operation", float(i), "amount_column", None, None] for i in range(n)]
    return json.dumps({"batch_id": batch_id, "row_values": rows}).encode()


def drill_noisy_neighbour(db_kind: str, pg_url: Optional[str] = None, big_writes: int = 4,
                          small_writes: int = 60) -> Dict[str, Any]:
    """Tenant A posts `big_writes` concurrent 32 MB writes; tenant B's small writes are timed."""
    with tempfile.TemporaryDirectory() as tmp:
        db = ("sqlite:///" + os.path.join(tmp, "service.db")) if db_kind == "sqlite" \
            else pg_server.fresh_database(pg_url)
        try:
            key_a, key_b = make_key(db, "tenant-a"), make_key(db, "tenant-b")
            svc = ServiceProcess(db).start()
            try:
                pid_a = request(svc.url, "POST", "/v1/pipelines", b'{"name": "big"}', key_a)[1]["id"]
                pid_b = request(svc.url, "POST", "/v1/pipelines", b'{"name": "small"}', key_b)[1]["id"]
                # About 32 MB each (the default body limit is 32 MiB).
                per_row = len(json.dumps([pid_a, 10 ** 6, 7, "bulk-operation", 1.0e6, "amount_column", None, None]))
                n = int(32 * MIB * 0.97) // (per_row + 2)
                bodies = [_rows_body(pid_a, n, "big-%d" % k) for k in range(big_writes)]
                big_status: List[int] = []

                def big(body: bytes) -> None:
                    big_status.append(request(svc.url, "POST", "/v1/row-values", body, key_a, timeout=300)[0])

                small = json.dumps({"row_values": [[pid_b, i, 7, "op", 1.0, "c", None, None] for i in range(10)]}).encode()
                baseline = []
                for _ in range(10):
                    t0 = time.perf_counter()
                    assert request(svc.url, "POST", "/v1/row-values", small, key_b)[0] == 200
                    baseline.append(time.perf_counter() - t0)
                threads = [threading.Thread(target=big, args=(b,)) for b in bodies]
                for th in threads:
                    th.start()
                time.sleep(0.3)
                latencies, small_status = [], []
                for _ in range(small_writes):
                    t0 = time.perf_counter()
                    small_status.append(request(svc.url, "POST", "/v1/row-values", small, key_b)[0])
                    latencies.append(time.perf_counter() - t0)
                    if not any(th.is_alive() for th in threads):
                        break
                    time.sleep(0.05)
                for th in threads:
                    th.join(600)
                peak = svc.rss_kb()["VmHWM"]
                stored_a = request(svc.url, "GET", "/v1/row-values/count?pipeline_id=%d" % pid_a, None, key_a)[1]
            finally:
                svc.stop()
        finally:
            if db_kind == "postgresql":
                pg_server.drop_database(pg_url, db)
    lat = sorted(latencies)
    return {
        "db": db_kind, "big_body_mb": round(len(bodies[0]) / MIB, 1), "big_rows_each": n,
        "big_status": sorted(big_status), "big_rows_stored": stored_a["count"],
        "small_writes": len(lat), "small_status": sorted(set(small_status)),
        "small_baseline_p50_ms": round(statistics.median(baseline) * 1000, 1),
        "small_p50_ms": round(statistics.median(lat) * 1000, 1),
        "small_p95_ms": round(lat[max(0, int(len(lat) * 0.95) - 1)] * 1000, 1),
        "small_max_ms": round(lat[-1] * 1000, 1), "server_peak_rss_mb": round(peak / 1024, 1),
    }


def drill_half_sent(connections: int = 20_000, header_timeout: float = 10.0) -> Dict[str, Any]:
    """Hold `connections` requests that sent half a header; see the service close them."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    room = max(16, min(connections, hard - 200))
    with tempfile.TemporaryDirectory() as tmp:
        db = "sqlite:///" + os.path.join(tmp, "service.db")
        svc = ServiceProcess(db, "--header-timeout", str(header_timeout)).start()
        socks: Dict[int, socket.socket] = {}
        opened_at: Dict[int, float] = {}
        closed_after: List[float] = []  # seconds from connect() to the close
        ep = select.epoll()
        try:
            started = time.monotonic()
            partial = b"POST /v1/row-values HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Le"
            pending: Dict[int, socket.socket] = {}
            refused = 0
            for _ in range(room):
                s = socket.socket()
                s.setblocking(False)
                try:
                    s.connect(("127.0.0.1", svc.port))
                except BlockingIOError:
                    pass
                except OSError:
                    s.close()
                    break
                pending[s.fileno()] = s
                opened_at[s.fileno()] = time.monotonic()
                ep.register(s.fileno(), select.EPOLLOUT)
            # One loop sends the half header on each socket as it connects and notes when the
            # service closes a held one (bounded wait).
            held = 0
            all_sent = None
            deadline = time.monotonic() + 60 + header_timeout * 3
            while (pending or socks) and time.monotonic() < deadline:
                for fd, ev in ep.poll(0.5, len(pending) + len(socks) + 1):
                    s = pending.pop(fd, None)
                    if s is not None:
                        failed = bool(ev & (select.EPOLLERR | select.EPOLLHUP))
                        if not failed:
                            try:
                                s.send(partial)
                            except OSError:
                                failed = True
                        if failed:
                            ep.unregister(fd)
                            s.close()
                            refused += 1
                            continue
                        ep.modify(fd, select.EPOLLIN | select.EPOLLRDHUP)
                        socks[fd] = s
                        held += 1
                        continue
                    s = socks.pop(fd, None)
                    if s is not None:
                        closed_after.append(time.monotonic() - opened_at[fd])
                        ep.unregister(fd)
                        s.close()
                if not pending and all_sent is None:
                    all_sent = time.monotonic()
            if all_sent is None:
                all_sent = time.monotonic()
            for fd, s in pending.items():
                ep.unregister(fd)
                s.close()
            still_open = len(socks)
            t0 = time.perf_counter()
            status = request(svc.url, "GET", "/healthz")[0]
            legit_ms = (time.perf_counter() - t0) * 1000
            alive = svc.alive
        finally:
            for s in socks.values():
                s.close()
            ep.close()
            svc.stop()
            resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    timed = sorted(closed_after)
    return {
        "asked": connections, "descriptor_limit": hard, "held_half_sent": held,
        "opening_s": round(all_sent - started, 1),
        "refused_while_connecting": refused,
        "closed_by_service": len(timed),
        "closed_sooner_than_timeout": sum(1 for x in timed if x < header_timeout - 0.5),
        "close_after_s_min": round(timed[0], 1) if timed else None,
        "close_after_s_median": round(statistics.median(timed), 1) if timed else None,
        "close_after_s_max": round(timed[-1], 1) if timed else None,
        "still_open": still_open, "service_alive": alive,
        "legit_status": status, "legit_ms": round(legit_ms, 1),
    }


DRILLS = ["service_killed", "postgres_stopped", "journal_bound", "exit", "nul", "big_report",
          "report_listing", "noisy_neighbour", "half_sent"]


def main(argv: List[str]) -> int:
    wanted = argv or DRILLS
    with pg_server.pg_server() as pg_url:
        for name in wanted:
            if name == "exit":
                for how in ("down", "revoked"):
                    print("exit/%s" % how, json.dumps(drill_exit_with_store_gone(how)), flush=True)
            elif name == "nul":
                for via in ("direct", "service"):
                    print("nul/%s" % via, json.dumps(drill_nul_row(via, pg_url)), flush=True)
            elif name == "noisy_neighbour":
                for kind in ("sqlite", "postgresql"):
                    print("noisy_neighbour/%s" % kind, json.dumps(drill_noisy_neighbour(kind, pg_url)), flush=True)
            else:
                print(name, json.dumps(globals()["drill_" + name]()), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
