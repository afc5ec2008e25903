"""Throughput through the provenance service, beside the same writes straight into SQLite.

    PYTHONPATH=src python bench/bench_service.py [--rows N] [--nodes N] [--repeats N] [--in-thread]

The service (`lumarq serve`) runs in its own process on 127.0.0.1 over a fresh
SQLite file for every run (as it would in use: the client and the service
each get a core); ``--in-thread`` runs it on a thread of the benchmark
process instead. The client is `HostedStorage` with the service's http URL;
the direct figures use a `HostedStorage` on a sqlite:/// URL, with the same
code (bench_storage.py) and data in the same run:

* row values through `AsyncWriter` (lists of 5000, as the tracker hands
  them over) + flush;
* the bulk DAG write of the tracker's flush: store_nodes + fingerprint map +
  store_edges_resolved;
* the per-node path: write_node/write_edges for every node + flush.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Callable, Dict, Iterator, List, Optional, Tuple

_HERE = os.path.dirname(os.path.abspath(__file__))
_SRC = os.path.join(os.path.dirname(_HERE), "src")
if _SRC not in sys.path:
    sys.path.insert(0, _SRC)
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

import bench_storage as direct  # noqa: E402


@contextlib.contextmanager
def _service(in_thread: bool) -> Iterator[Tuple[str, str]]:
    """(base URL, API key) of a service over a fresh SQLite file."""
    from lumarq.service.store import ServiceStore

    with tempfile.TemporaryDirectory(prefix="lumarq-bench-service-") as d:
        db = "sqlite:///" + os.path.join(d, "service.db")
        store = ServiceStore(db).connect()
        key = store.create_key("bench", "bench")[1]
        store.close()
        if in_thread:
            from lumarq.service import run_in_thread

            handle = run_in_thread(db)
            try:
                yield handle.url, key
            finally:
                handle.stop()
            return
        env = dict(os.environ, PYTHONPATH=_SRC + os.pathsep + os.environ.get("PYTHONPATH", ""))
        proc = subprocess.Popen(
            [sys.executable, "-m", "lumarq", "serve", "--port", "0", "--db", db, "--log-level", "warning"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env,
        )
        try:
            line = proc.stdout.readline()  # "lumarq service on http://127.0.0.1:PORT (database ...)"
            if not line.startswith("lumarq service on "):
                raise RuntimeError("the service did not start: %r" % line)
            yield line.split()[3], key
        finally:
            proc.terminate()
            proc.wait(timeout=30)


def _through_service(fn: Callable, in_thread: bool) -> Callable[[int], float]:
    def timed(n: int) -> float:
        with _service(in_thread) as (url, key):
            return fn(url, n, open_storage=lambda u: _connected(u, key))

    return timed


def _connected(url: str, key: str):
    from lumarq.utilities.persistence import HostedStorage

    s = HostedStorage(api_url=url, api_key=key, tenant_id="bench")
    s.connect()
    return s


def _direct(fn: Callable) -> Callable[[int], float]:
    def timed(n: int) -> float:
        with direct._sqlite_url() as url:
            return fn(url, n)

    return timed


def _median(fn: Callable[[int], float], n: int, repeats: int) -> Tuple[float, List[float]]:
    times = [fn(n) for _ in range(repeats)]
    return statistics.median(times), times


CASES = [
    ("row values via AsyncWriter (lists of 5000) + flush", "rows", direct.time_row_values, "rows"),
    ("DAG bulk write: store_nodes + fingerprint map + store_edges_resolved", "nodes", direct.time_dag, "nodes"),
    ("DAG per-node write: write_node/write_edges + flush", "nodes", direct.time_writer_nodes, "nodes"),
]


def measure(rows: int = 1_000_000, nodes: int = 100_000, repeats: int = 3,
            in_thread: bool = False) -> List[Dict[str, object]]:
    out = []
    for name, unit, fn, size in CASES:
        n = rows if size == "rows" else nodes
        base, base_times = _median(_direct(fn), n, repeats)
        med, times = _median(_through_service(fn, in_thread), n, repeats)
        out.append({"name": name, "unit": unit, "n": n, "service_s": med, "service_times": times,
                    "direct_s": base, "direct_times": base_times})
    return out


def run(rows: Optional[int] = None, repeat: int = 3) -> list:
    """Entry point of bench/run.py: service figures with direct SQLite as baseline."""
    from _timing import Result, per_item

    results = []
    for r in measure(rows=rows or 1_000_000, repeats=max(1, min(repeat, 3))):
        n, unit = int(r["n"]), str(r["unit"])
        results.append(Result(
            name="service (http, SQLite): %s, %s %s" % (r["name"], format(n, ","), unit),
            median_s=float(r["service_s"]), per_item=per_item(float(r["service_s"]), n, unit[:-1]),
            baseline="direct SQLite, same code", baseline_s=float(r["direct_s"]),
            notes=["%s %s/s through the service, %s %s/s direct" % (
                format(round(n / float(r["service_s"])), ","), unit,
                format(round(n / float(r["direct_s"])), ","), unit)],
        ))
    return results


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--nodes", type=int, default=100_000)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--in-thread", action="store_true", help="run the service on a thread of this process")
    args = ap.parse_args(argv)
    started = time.perf_counter()
    for r in measure(args.rows, args.nodes, args.repeats, args.in_thread):
        n = int(r["n"])
        print("%-70s n=%-8d service median %.3f s (%9.0f %s/s)   direct SQLite %.3f s (%9.0f %s/s)   "
              "ratio %.2fx   (runs: %s | %s)" % (
                  r["name"], n, r["service_s"], n / r["service_s"], r["unit"], r["direct_s"],
                  n / r["direct_s"], r["unit"], r["service_s"] / r["direct_s"],
                  ", ".join("%.3f" % t for t in r["service_times"]),
                  ", ".join("%.3f" % t for t in r["direct_times"])))
    print("total %.1f s" % (time.perf_counter() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
