"""`AsyncWriter`: moves records to a store on a background thread.

Callers hand over records (a node, a list of edges, a list of row values, a
source) or column batches (`write_columns`) and return at once. One daemon
thread takes up to `batch_size` queued items, waiting at most
`flush_interval` seconds for a batch to fill, and writes them in one
transaction through ``storage.write_batch``; a column batch is a transaction
of its own, through ``storage.write_columns``.

Failures never reach the caller:

* A store that cannot be reached (connection refused, time-out, HTTP 5xx,
  a database that went away) is retried with exponential backoff and jitter
  until `retry_budget` seconds have passed since the outage began. Stores
  that take batch ids get the same id for every attempt of a batch, so a
  batch whose answer was lost is applied once.
* While the store is slow or away the in-memory queue fills; further items
  spill to an on-disk journal (an SQLite file in a temporary folder, bounded
  by `journal_max_bytes`, removed when it drains) and are written in order
  once the store is back.
* A batch the store rejects (a record it cannot hold) is split until only
  the offending records are left; those are dropped and counted.
* A key the store refuses is not retried.

Records are given up only when the budget or the journal's bound is
exhausted, or when the store rejects them. They are counted as lost (in
`get_stats()`, per pipeline, and on the stored pipeline once the store takes
writes again), and logged once per flush with the count.
"""

from __future__ import annotations

import atexit
import logging
import os
import pickle
import queue
import random
import sqlite3
import sys
import tempfile
import threading
import time
import uuid
import weakref
from collections import deque
from dataclasses import dataclass, field
from typing import Any, Deque, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np

from ._columns import GraphColumns, RowValueColumns, halve
from ._records import StoredEdge, StoredNode, StoredRowValue
from ._urls import describe_error

logger = logging.getLogger("lumarq.utilities.persistence")

KINDS = ("nodes", "edges", "row_values", "sources")
# A queue item of column batches: ("columns", (GraphColumns or None, RowValueColumns or None),
# row values), written through the store's `write_columns`. One with a graph is a transaction of
# its own; row values share a transaction with the column batches beside them, and a batch that
# also holds records is written as consecutive transactions of records and of columns, in order.
COLUMNS = "columns"
_HELD_EDGES_MAX = 1_000_000  # edges held for a pipeline's graph; a larger batch is reported


def _kind_runs(items: List[Any]) -> List[List[Any]]:
    """`items` cut where column batches and records meet, in order."""
    runs: List[List[Any]] = []
    for item in items:
        if runs and (runs[-1][-1][0] == COLUMNS) == (item[0] == COLUMNS):
            runs[-1].append(item)
        else:
            runs.append([item])
    return runs


def _alone(item: Any) -> bool:
    """True for a queue item that is a transaction of its own (a graph's columns)."""
    return item[0] == COLUMNS and item[1][0] is not None

# A waiting producer re-checks the writer's progress this often.
_POLL = 0.1
# First retry delay and its cap; each wait is drawn from [d/2, 3d/2).
_RETRY_FIRST_S = 0.25
_RETRY_MAX_S = 5.0
# Journal rows read ahead by the writer thread.
_JOURNAL_READ = 64
# Refused attempts spent on isolating the bad records of one batch.
_MAX_REFUSED_ATTEMPTS = 256
# The same warning is logged at most once per this many seconds.
_WARN_EVERY_S = 30.0


def _env_number(name: str, default: float) -> float:
    text = os.environ.get(name)
    if not text:
        return default
    try:
        return float(text)
    except ValueError:
        logger.warning("Ignoring %s=%r: not a number", name, text)
        return default


def _default_budget() -> float:
    return _env_number("LUMARQ_RETRY_BUDGET", 300.0)


def _default_journal_bytes() -> int:
    return int(_env_number("LUMARQ_JOURNAL_MAX_BYTES", 1024.0 ** 3))


@dataclass(frozen=True)
class WriterConfig:
    """Tuning of an `AsyncWriter`.

    batch_size: queued items (one node, one edge list, one row-value list or
        one source each) per transaction.
    flush_interval: longest time in seconds a queued item waits for its
        batch to fill before it is committed.
    queue_size: bound of the in-memory queue, in items.
    max_queued_rows: bound on row values waiting in the queue (a list of
        row values is one queue item however long; this bounds the memory).
    put_timeout: how long a producer facing a full queue and a full journal
        waits while the writer makes no progress; its records are then lost.
    max_batch_rows: bound on row values per transaction. A batch closes
        early when the next item would pass it, and longer lists are split
        when queued; this keeps one transaction (one request to a hosted
        service) to a bounded size.
    retry_budget: seconds an outage of the store is retried before the
        batches it holds up are given up (default 300, or the environment
        variable ``LUMARQ_RETRY_BUDGET``).
    journal_max_bytes: bound of the on-disk journal that takes items while
        the queue is full (default 1 GiB, or ``LUMARQ_JOURNAL_MAX_BYTES``);
        0 switches the journal off.
    journal_dir: folder of the journal file (default: the system's
        temporary folder).
    """

    batch_size: int = 100
    flush_interval: float = 1.0
    queue_size: int = 10000
    max_queued_rows: int = 1_000_000
    put_timeout: float = 30.0
    max_batch_rows: int = 100_000
    retry_budget: float = field(default_factory=_default_budget)
    journal_max_bytes: int = field(default_factory=_default_journal_bytes)
    journal_dir: Optional[str] = None

    def __post_init__(self) -> None:
        if int(self.batch_size) < 1:
            raise ValueError("batch_size must be at least 1")
        if int(self.queue_size) < 1:
            raise ValueError("queue_size must be at least 1")
        if int(self.max_batch_rows) < 1:
            raise ValueError("max_batch_rows must be at least 1")
        if int(self.max_queued_rows) < 1:
            raise ValueError("max_queued_rows must be at least 1")
        if not float(self.flush_interval) > 0:
            raise ValueError("flush_interval must be positive")
        if not float(self.put_timeout) >= 0:
            raise ValueError("put_timeout must not be negative")
        if not float(self.retry_budget) >= 0:
            raise ValueError("retry_budget must not be negative")
        if int(self.journal_max_bytes) < 0:
            raise ValueError("journal_max_bytes must not be negative")


class _Flush:
    __slots__ = ("event", "ok")

    def __init__(self) -> None:
        self.event = threading.Event()
        self.ok = False


class _Stop:
    pass


def _is_connection_error(exc: BaseException) -> bool:
    """True for failures of the store itself rather than of the records."""
    if isinstance(exc, PermissionError):
        return False
    if isinstance(exc, (OSError, TimeoutError)):
        return True
    sa_exc = sys.modules.get("sqlalchemy.exc")
    if sa_exc is not None and isinstance(exc, sa_exc.DBAPIError):
        if exc.connection_invalidated or isinstance(exc, (sa_exc.OperationalError, sa_exc.InterfaceError)):
            return True
    for name in ("psycopg", "sqlite3"):
        mod = sys.modules.get(name)
        if mod is not None and isinstance(exc, (mod.OperationalError, mod.InterfaceError)):
            return True
    return False


def _rows_of(item: Any) -> int:
    return item[2] if item[0] in ("row_values", COLUMNS) else 0


def graph_chunks(graph: GraphColumns, step: int) -> Iterator[GraphColumns]:
    """`graph` in pieces of at most `step` nodes or edges (views, not copies): all its nodes
    first, then its edges, whose endpoints are then stored whatever piece holds them."""
    n_nodes, n_edges = len(graph), _n_edges(graph)
    if max(n_nodes, n_edges) <= step:
        yield graph
        return
    for start in range(0, n_nodes, step):
        yield graph.slice((start, min(start + step, n_nodes)))
    for start in range(0, n_edges, step):
        yield graph.slice(edges=(start, min(start + step, n_edges)))


def _n_edges(g: Optional[GraphColumns]) -> int:
    return 0 if g is None else int(g.edge_parent.shape[0])


def _column_item(g: Optional[GraphColumns], r: Optional[RowValueColumns]) -> Tuple[str, Any, int]:
    return (COLUMNS, (g, r), len(r) if r is not None else 0)


def _concat_rows(parts: Sequence[RowValueColumns]) -> RowValueColumns:
    """One batch of the rows of `parts`, in order (their texts united)."""
    if len(parts) == 1:
        return parts[0]
    index: Dict[str, int] = {}
    ops, cols, text_value = [], [], {}
    offset = 0
    for p in parts:
        # code -> united code; the extra last entry maps -1 (None) to itself
        remap = np.array([index.setdefault(x, len(index)) for x in p.texts] + [-1], dtype=np.int32)
        ops.append(remap[p.node_operation])
        cols.append(remap[p.column_name])
        text_value.update((i + offset, v) for i, v in p.text_value.items())
        offset += len(p)
    texts = list(index)
    return RowValueColumns(
        texts=texts, pipeline_id=np.concatenate([p.pipeline_id for p in parts]),
        row_index=np.concatenate([p.row_index for p in parts]),
        fingerprint=np.concatenate([p.fingerprint for p in parts]),
        node_operation=np.concatenate(ops), value=np.concatenate([p.value for p in parts]),
        value_null=np.concatenate([p.value_null for p in parts]), column_name=np.concatenate(cols),
        text_value=text_value,
    )


def _pipeline_counts(items: Sequence[Any], fallback: Optional[int]) -> Dict[int, int]:
    """Records per pipeline id (sources count towards `fallback`)."""
    out: Dict[int, int] = {}

    def add(pid: Any, n: int) -> None:
        if pid is None or n <= 0:
            return
        try:
            key = int(pid)
        except (TypeError, ValueError):
            return
        if key > 0:
            out[key] = out.get(key, 0) + n

    for kind, payload, n in items:
        if kind == COLUMNS:
            g, r = payload
            if g is not None:
                add(g.pipeline_id, len(g) + _n_edges(g))
            if r is not None and len(r):
                pids, counts = np.unique(r.pipeline_id, return_counts=True)
                for pid, c in zip(pids.tolist(), counts.tolist()):
                    add(pid, c)
        elif kind == "nodes":
            add(getattr(payload, "pipeline_id", None), 1)
        elif kind == "edges":
            add(payload[0], n)
        elif kind == "row_values":
            for r in payload:
                add(r[0], 1)
        else:
            add(fallback, n)
    return out


def _split(items: Sequence[Any]) -> Optional[Tuple[List[Any], List[Any]]]:
    """Two halves of a batch, or of its one list item; None if it is one record."""
    if len(items) > 1:
        mid = len(items) // 2
        return list(items[:mid]), list(items[mid:])
    kind, payload, n = items[0]
    if kind == COLUMNS:
        halves = halve(payload)
        if halves is None:
            return None
        return [_column_item(*halves[0])], [_column_item(*halves[1])]
    if kind == "row_values" and n > 1:
        mid = n // 2
        return [(kind, payload[:mid], mid)], [(kind, payload[mid:], n - mid)]
    if kind == "edges" and n > 1:
        pid, edges = payload
        mid = n // 2
        return [(kind, (pid, edges[:mid]), mid)], [(kind, (pid, edges[mid:]), n - mid)]
    return None


class RateLimitedLog:
    """One warning per key and period; the next one says how many were held back."""

    def __init__(self, log: logging.Logger = logger, period: float = _WARN_EVERY_S):
        self._logger = log
        self._period = period
        self._lock = threading.Lock()
        self._last: Dict[str, float] = {}
        self._held: Dict[str, int] = {}

    def warning(self, key: str, msg: str, *args: Any) -> bool:
        """Log unless `key` was logged within the period; True if logged."""
        now = time.monotonic()
        with self._lock:
            last = self._last.get(key)
            if last is not None and now - last < self._period:
                self._held[key] = self._held.get(key, 0) + 1
                return False
            self._last[key] = now
            held = self._held.pop(key, 0)
        if held:
            msg += " (%d similar warnings in the last %g s not shown)"
            args = args + (held, self._period)
        self._logger.warning(msg, *args)
        return True


class _Journal:
    """FIFO of pickled queue items in an SQLite file, bounded in bytes.

    The file lives in a temporary folder, exists only while items are
    spilled, and is deleted when the last one is delivered. It does not
    outlive the process: it is a buffer for outages, not a store.
    """

    def __init__(self, max_bytes: int, folder: Optional[str]):
        self.max_bytes = int(max_bytes)
        self._folder = folder
        self._lock = threading.Lock()
        self._db: Optional[sqlite3.Connection] = None
        self.path: Optional[str] = None
        self.bytes = 0
        self.rows = 0  # stored, read or not
        self._unread = 0
        self._read_to = 0  # highest rowid handed to the reader
        self._ahead: Deque[Tuple[int, int, Any]] = deque()
        self.spilled_total = 0

    def _open(self) -> sqlite3.Connection:
        fd, path = tempfile.mkstemp(prefix="lumarq-journal-", suffix=".sqlite", dir=self._folder)
        os.close(fd)
        db = sqlite3.connect(path, check_same_thread=False, isolation_level=None)
        db.execute("PRAGMA journal_mode=OFF")
        db.execute("PRAGMA synchronous=OFF")
        db.execute("CREATE TABLE IF NOT EXISTS items (id INTEGER PRIMARY KEY, size INTEGER, data BLOB)")
        self._db, self.path = db, path
        return db

    @property
    def unread(self) -> int:
        return self._unread + len(self._ahead)

    def append(self, item: Any) -> bool:
        """Store `item`; False (nothing stored) when the bound would be passed."""
        data = pickle.dumps(item, protocol=pickle.HIGHEST_PROTOCOL)
        with self._lock:
            if self.bytes + len(data) > self.max_bytes:
                return False
            db = self._db or self._open()
            db.execute("INSERT INTO items (size, data) VALUES (?, ?)", (len(data), data))
            self.bytes += len(data)
            self.rows += 1
            self._unread += 1
            self.spilled_total += 1
        return True

    def take(self) -> Optional[Tuple[int, int, Any]]:
        """The oldest unread item as (rowid, size, item), or None."""
        if not self._ahead:
            with self._lock:
                if self._unread == 0 or self._db is None:
                    return None
                got = self._db.execute(
                    "SELECT id, size, data FROM items WHERE id > ? ORDER BY id LIMIT ?",
                    (self._read_to, _JOURNAL_READ),
                ).fetchall()
                if got:
                    self._read_to = got[-1][0]
                    self._unread -= len(got)
            self._ahead.extend((rid, size, pickle.loads(data)) for rid, size, data in got)
            if not self._ahead:
                return None
        return self._ahead.popleft()

    def done(self, rowids: Sequence[int], size: int) -> None:
        """Forget delivered (or given up) items; the file goes with the last."""
        if not rowids:
            return
        with self._lock:
            if self._db is None:
                return
            self._db.execute("DELETE FROM items WHERE id <= ?", (max(rowids),))
            self.bytes -= size
            self.rows -= len(rowids)
            if self.rows <= 0 and self._unread == 0 and not self._ahead:
                self._close_locked()

    def _close_locked(self) -> None:
        db, path = self._db, self.path
        self._db, self.path = None, None
        self.bytes = self.rows = self._unread = 0
        self._read_to = 0
        if db is not None:
            db.close()
        if path is not None:
            try:
                os.unlink(path)
            except OSError:
                pass

    def close(self) -> None:
        with self._lock:
            self._ahead.clear()
            self._close_locked()


# Writers still running at interpreter exit are drained first: their thread
# is a daemon and would otherwise be cut off with records still queued.
_live_writers: "weakref.WeakSet[AsyncWriter]" = weakref.WeakSet()


@atexit.register
def _stop_live_writers() -> None:
    for writer in list(_live_writers):
        try:
            writer.stop(timeout=30.0)
        except Exception:  # exiting anyway; stop() has logged what it could
            pass


class AsyncWriter:
    """Background writer over a storage object with a ``write_batch`` method.

    After `stop()`, writes are not queued: their records are counted as
    failed (with one warning per writer) and the call returns at once.
    """

    def __init__(self, storage: Any, config: Optional[WriterConfig] = None):
        self._storage = storage
        self._config = config if config is not None else WriterConfig()
        self._queue: "queue.Queue[Any]" = queue.Queue(maxsize=int(self._config.queue_size))
        self._thread: Optional[threading.Thread] = None
        self._put_lock = threading.Lock()
        self._closed = False
        self._stats_lock = threading.Lock()
        self._counts: Dict[str, Dict[str, int]] = {
            k: {"queued": 0, "written": 0, "failed": 0} for k in KINDS
        }
        self._edges_unresolved = 0
        self._batches = {"committed": 0, "retried": 0, "failed": 0}
        self._failed_total = 0
        self._failed_at_marker = 0
        self._rejected = 0
        self._lost_logged = 0
        self._last_error: Optional[str] = None
        self._progress = 0  # items taken off the queue by the writer
        self._stalled_at: Optional[int] = None
        self._last_pipeline: Optional[int] = None
        self._sources: set = set()  # (table, column) pairs sent, so later ones can follow
        self._rows_cond = threading.Condition()
        self._queued_rows = 0
        self._max_rows = int(self._config.max_queued_rows)
        self._max_batch_rows = int(self._config.max_batch_rows)
        self._budget = float(self._config.retry_budget)
        # A store that deduplicates retried transactions gets one token per
        # batch, the same for the retry (a hosted service may have committed
        # a batch whose answer was lost).
        self._tokens = bool(getattr(storage, "wants_batch_ids", False))
        # Losses not yet recorded on their pipelines in the store.
        self._takes_losses = bool(getattr(storage, "records_losses", False))
        self._unreported: Dict[int, int] = {}
        self._lost_by_pipeline: Dict[int, int] = {}
        self._journal: Optional[_Journal] = (
            _Journal(self._config.journal_max_bytes, self._config.journal_dir)
            if int(self._config.journal_max_bytes) > 0 else None
        )
        self._spilling = False
        self._outage_since: Optional[float] = None
        self._key_refused = False
        self._wake = threading.Event()
        self._log = RateLimitedLog()
        self._warned_closed = False
        self._warned_unresolved = False
        # Pipelines whose whole graph `flush` still writes: an edge to a node that graph brings
        # is held (with its batch's edges) and sent again after it, not reported as lost.
        self._graph_due: set = set()
        self._held_edges: Dict[int, List[Any]] = {}
        self._held_unresolved: Dict[int, int] = {}
        # A graph written while the writer thread has a batch at the store is noted (pipeline ->
        # stored): that batch's unresolved edges missed both the hold and the resend.
        self._at_store = False
        self._written_meanwhile: Dict[int, bool] = {}

    # -- lifecycle ------------------------------------------------------------

    def start(self) -> None:
        with self._put_lock:
            if self._closed:
                raise RuntimeError("AsyncWriter cannot be restarted after stop()")
            if self._thread is not None:
                return
            self._thread = threading.Thread(
                target=self._run, name="lumarq-persistence-writer", daemon=True
            )
            self._thread.start()
            _live_writers.add(self)

    @property
    def running(self) -> bool:
        t = self._thread
        return t is not None and t.is_alive() and not self._closed

    def stop(self, timeout: Optional[float] = None) -> None:
        """Write everything queued or journalled, then end the thread. Idempotent.

        Waits as long as delivery takes (an outage is retried for at most the
        retry budget). With a `timeout`, gives up waiting after that many
        seconds (the daemon thread keeps draining) and logs a warning.
        """
        with self._put_lock:
            self._closed = True
        _live_writers.discard(self)
        t = self._thread
        if t is not None and t.is_alive():
            self._put_control(_Stop(), t)
            t.join(timeout)
            if t.is_alive():
                logger.warning(
                    "AsyncWriter.stop: still writing after %.1f s; %d queued items not yet committed",
                    timeout or 0.0,
                    self._pending_items(),
                )
                return
        # Items of a writer that never started (or markers that raced with
        # the stop) are handled here, on the caller's thread.
        self._drain_here()
        self._report_losses(final=True)
        self._log_losses()
        if self._journal is not None:
            self._journal.close()

    def _pending_items(self) -> int:
        j = self._journal
        return self._queue.qsize() + (j.rows if j is not None else 0)

    def _put_control(self, item: Any, t: threading.Thread, deadline: Optional[float] = None) -> bool:
        while True:
            try:
                self._queue.put(item, timeout=_POLL)
                self._wake.set()
                return True
            except queue.Full:
                if not t.is_alive() or (deadline is not None and time.monotonic() >= deadline):
                    return False

    # -- producer side ----------------------------------------------------------

    def register_source(self, pair_id: Optional[int], table: str, column: str, is_protected: bool) -> None:
        self._put("sources", (pair_id, table, column, bool(is_protected)), 1)
        self._sources.add((table, column))

    def write_node(self, node: StoredNode) -> None:
        self._last_pipeline = getattr(node, "pipeline_id", None)
        self._put("nodes", node, 1)

    def write_edges(self, edges: Sequence[StoredEdge], pipeline_id: Optional[int] = None) -> None:
        """Queue edges given by fingerprints.

        Endpoints are resolved within one pipeline: `pipeline_id` if given,
        else the pipeline of the node last passed to `write_node` (the tracker
        writes a node's incoming edges right after the node).
        """
        if not edges:
            return
        pid = self._last_pipeline if pipeline_id is None else pipeline_id
        if pid is None:
            self._count_queued({"edges": len(edges)})
            self._record_failure(
                {"edges": len(edges)}, "no pipeline known for these edges (no node written before them)"
            )
            return
        self._put("edges", (int(pid), list(edges)), len(edges))

    def write_row_values(self, values: List[StoredRowValue]) -> None:
        """Queue a list of row values; the list is kept, not copied (a list
        longer than `max_batch_rows` is queued in slices)."""
        if not values:
            return
        step = self._max_batch_rows
        if len(values) <= step:
            self._put("row_values", values, len(values))
            return
        for start in range(0, len(values), step):
            part = values[start : start + step]
            self._put("row_values", part, len(part))

    def write_columns(self, graph: Optional[GraphColumns] = None,
                      row_values: Optional[RowValueColumns] = None) -> None:
        """Queue column batches: the nodes and edges of one pipeline and/or row values.

        They are delivered as records are (retries, batch ids, the journal, rejected batches
        split down to the offending rows, losses counted per pipeline), each batch through
        ``storage.write_columns``. More nodes, edges or row values than `max_batch_rows` are
        queued in slices, the graph's nodes before its edges. The arrays are kept, not copied.
        """
        g = graph if graph is not None and (len(graph) or _n_edges(graph)) else None
        r = row_values if row_values is not None and len(row_values) else None
        if g is None and r is None:
            return
        if g is not None:
            self._last_pipeline = g.pipeline_id
        step = self._max_batch_rows
        n_nodes, n_edges = (len(g), _n_edges(g)) if g is not None else (0, 0)
        n_rows = len(r) if r is not None else 0
        if max(n_nodes, n_edges, n_rows) <= step:
            self._put(COLUMNS, (g, r), n_rows)
            return
        if g is not None:
            for part in graph_chunks(g, step):
                self._put(COLUMNS, (part, None), 0)
        for start in range(0, n_rows, step):
            part_r = r.slice(start, min(start + step, n_rows))  # type: ignore[arg-type]
            self._put(COLUMNS, (None, part_r), len(part_r))

    def _count_queued(self, counts: Dict[str, int]) -> None:
        with self._stats_lock:
            for kind, n in counts.items():
                self._counts[kind]["queued"] += n

    def _room_for(self, rows: int) -> bool:
        queued = self._queued_rows
        return rows == 0 or queued <= 0 or queued + rows <= self._max_rows

    def _try_place(self, item: Any, rows: int, wait: bool) -> bool:
        """Queue or journal `item` (under the put lock); False if neither has room."""
        journal = self._journal
        if not self._spilling and self._room_for(rows):
            try:
                if wait and journal is None:
                    self._queue.put(item, timeout=_POLL)
                else:
                    self._queue.put_nowait(item)
            except queue.Full:
                pass
            else:
                if rows:
                    with self._rows_cond:
                        self._queued_rows += rows
                return True
        # Once an item is journalled, later ones follow it there until the
        # journal drains, so that records keep their order.
        if journal is None:
            return False
        try:
            placed = journal.append(item)
        except Exception as exc:  # a record that cannot be pickled waits for queue room
            logger.debug("Cannot journal a %s record: %s", item[0], exc)
            return False
        if placed:
            self._spilling = True
            self._wake.set()
        return placed

    def _put(self, kind: str, payload: Any, n: int) -> None:
        item = (kind, payload, n)
        counts = self._tally([item])
        self._count_queued(counts)
        rows = _rows_of(item)
        seen, since = self._progress, time.monotonic()
        limit = float(self._config.put_timeout)
        first = True
        # With no room anywhere (queue and journal full), wait as long as the
        # writer makes progress, so a slow store slows the producer down
        # instead of losing records. A store that makes no progress for
        # put_timeout seconds loses the records, and later writes are lost at
        # once until it moves again.
        while True:
            t = self._thread
            with self._put_lock:
                if self._closed:
                    self._reject_closed(counts)
                    return
                if not first and t is not None and not t.is_alive():
                    self._record_failure(counts, "writer thread is not running", items=[item])
                    return
                if self._try_place(item, rows, wait=not first):
                    return
            if not first:
                with self._rows_cond:
                    self._rows_cond.wait(_POLL)
            if first:
                first = False
                if self._stalled_at == self._progress:
                    # Counted, and logged with the others at the next flush.
                    self._record_failure(counts, self._full_text(), items=[item], log=False)
                    return
                continue
            if self._progress != seen:
                seen, since = self._progress, time.monotonic()
            elif time.monotonic() - since >= limit:
                self._stalled_at = seen
                self._record_failure(
                    counts, self._full_text() + " for %.1f s" % limit, items=[item], log=False
                )
                return

    def _full_text(self) -> str:
        if self._journal is None:
            return "writer queue full; storage made no progress"
        return "writer queue and journal (%d bytes) full; storage made no progress" % self._journal.max_bytes

    def _release_rows(self, items: Sequence[Any]) -> None:
        rows = sum(_rows_of(item) for item in items)
        with self._rows_cond:
            self._queued_rows -= rows
            self._rows_cond.notify_all()

    def _reject_closed(self, counts: Dict[str, int]) -> None:
        warn = not self._warned_closed
        self._warned_closed = True
        self._record_failure(counts, "AsyncWriter is stopped", log=warn)

    # -- flush and stats ----------------------------------------------------------

    def flush(self, timeout: float = 30.0) -> bool:
        """Wait until everything queued or journalled before the call is committed.

        True when it is and no record was lost since the previous flush;
        False when records were lost, or when `timeout` seconds passed first
        (then a warning says so).
        """
        timeout = float(timeout)
        deadline = time.monotonic() + max(timeout, 0.0)
        t = self._thread
        if t is None or not t.is_alive():
            pending = self._pending_items()
            if pending:
                logger.warning(
                    "AsyncWriter.flush: writer is not running; %d queued items not committed", pending
                )
                return False
            return self._take_flush_result()
        marker = _Flush()
        if self._put_control(marker, t, deadline):
            while not marker.event.wait(min(_POLL, max(deadline - time.monotonic(), 0.0))):
                if time.monotonic() >= deadline or not t.is_alive():
                    break
            else:
                return marker.ok
        logger.warning(
            "AsyncWriter.flush timed out after %.1f s; %d queued items not yet committed",
            timeout,
            self._pending_items(),
        )
        self._log_losses()
        return False

    def _take_flush_result(self) -> bool:
        self._log_losses()
        with self._stats_lock:
            ok = self._failed_total == self._failed_at_marker
            self._failed_at_marker = self._failed_total
        return ok

    def _log_losses(self) -> None:
        with self._stats_lock:
            total, new = self._failed_total, self._failed_total - self._lost_logged
            self._lost_logged = total
            error = self._last_error
        if new > 0:
            logger.warning("%d records were not stored since the last report (%d in all); last error: %s", new, total, error)

    def get_stats(self) -> Dict[str, Any]:
        """A new dict: per kind ("nodes", "edges", "row_values", "sources") a
        dict of queued/written/failed/pending record counts ("edges" also
        "unresolved"); "lost" (records given up, also per pipeline in
        "lost_by_pipeline"), "rejected" (those the store refused as invalid),
        batch counts, queue depth, journal state, running and last_error."""
        with self._stats_lock:
            stats: Dict[str, Any] = {}
            for kind, c in self._counts.items():
                d = dict(c)
                done = d["written"] + d["failed"]
                if kind == "edges":
                    d["unresolved"] = self._edges_unresolved
                    done += self._edges_unresolved
                d["pending"] = d["queued"] - done
                stats[kind] = d
            stats["lost"] = self._failed_total
            stats["rejected"] = self._rejected
            stats["lost_by_pipeline"] = dict(self._lost_by_pipeline)
            stats["batches_committed"] = self._batches["committed"]
            stats["batches_retried"] = self._batches["retried"]
            stats["batches_failed"] = self._batches["failed"]
            stats["last_error"] = self._last_error
        stats["queue_depth"] = self._queue.qsize()
        j = self._journal
        stats["journal_items"] = j.rows if j is not None else 0
        stats["journal_bytes"] = j.bytes if j is not None else 0
        stats["journal_spilled"] = j.spilled_total if j is not None else 0
        stats["running"] = self.running
        return stats

    # -- writer side ----------------------------------------------------------------

    def _run(self) -> None:
        try:
            self._loop()
        except BaseException as exc:  # keep the failure visible
            self._last_error = self._describe(exc)
            logger.error("AsyncWriter thread ended unexpectedly: %s", self._last_error)

    def _next(self, timeout: Optional[float]) -> Any:
        """The next item: queued ones first (they are older than any journalled
        one), then the journal; waits up to `timeout` (None: for ever)."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            try:
                item = self._queue.get_nowait()
            except queue.Empty:
                got = self._from_journal()
                if got is not None:
                    return got
                remaining = None if deadline is None else deadline - time.monotonic()
                if remaining is not None and remaining <= 0:
                    raise
                # Items are journalled only while the queue has no room, so an
                # empty queue can be waited on; while spilling, the journal is
                # polled (producers set the event when they journal).
                if self._spilling:
                    self._wake.wait(_POLL if remaining is None else min(_POLL, remaining))
                    self._wake.clear()
                    continue
                try:
                    item = self._queue.get(timeout=1.0 if remaining is None else min(remaining, 1.0))
                except queue.Empty:
                    continue
            self._progress += 1
            return item

    def _from_journal(self) -> Any:
        j = self._journal
        if j is None:
            return None
        got = j.take()
        if got is None:
            with self._put_lock:
                if j.unread == 0:
                    self._spilling = False
            return None
        rowid, size, item = got
        self._progress += 1
        return (item, rowid, size)

    def _loop(self) -> None:
        batch_size = int(self._config.batch_size)
        interval = float(self._config.flush_interval)
        max_rows = self._max_batch_rows
        carry: Any = None  # an item that did not fit the previous batch
        while True:
            if carry is not None:
                item, carry = carry, None
            else:
                item = self._next(None)
            control = None
            batch: List[Any] = []
            if isinstance(item, (_Flush, _Stop)):
                control = item
            else:
                batch.append(item)
                rows = _rows_of(self._plain(item))
                deadline = time.monotonic() + interval
                while len(batch) < batch_size and not _alone(self._plain(item)):
                    remaining = deadline - time.monotonic()
                    try:
                        nxt = self._next(remaining if remaining > 0 else 0)
                    except queue.Empty:
                        break
                    if isinstance(nxt, (_Flush, _Stop)):
                        control = nxt
                        break
                    more = _rows_of(self._plain(nxt))
                    if (more and rows + more > max_rows) or _alone(self._plain(nxt)):
                        carry = nxt
                        break
                    rows += more
                    batch.append(nxt)
            if batch:
                self._commit(batch)
            if control is not None:
                # What was journalled before the marker is delivered first.
                if carry is not None:
                    self._commit([carry])
                    carry = None
                if self._answer([control] + self._drain_journal()):
                    return

    def _answer(self, markers: Sequence[Any]) -> bool:
        """Answers the flush markers among `markers`; True if a stop marker is among them."""
        stop = False
        for marker in markers:
            if isinstance(marker, _Flush):
                marker.ok = self._take_flush_result()
                marker.event.set()
            else:
                stop = True
        return stop

    @staticmethod
    def _plain(entry: Any) -> Any:
        """The queue item of a batch entry (journalled ones carry their row id)."""
        return entry[0] if isinstance(entry[0], tuple) else entry

    def _drain_journal(self) -> List[Any]:
        """Delivers everything journalled so far, in the order it was written; returns the
        control markers met on the way, to be answered after.

        While the journal holds items, producers journal rather than queue, so every record
        still queued (behind a flush marker) is older than them and goes first: a node's slice
        must not reach the store after the slice of a node naming it as an input."""
        batch: List[Any] = []
        markers: List[Any] = []
        rows = 0
        j = self._journal
        while True:
            got = None
            if j is not None and j.unread:
                try:
                    got = self._queue.get_nowait()
                except queue.Empty:
                    pass
                else:
                    self._progress += 1
                    if isinstance(got, (_Flush, _Stop)):
                        markers.append(got)
                        continue
            if got is None:
                got = self._from_journal()
            if got is None:
                break
            more = _rows_of(self._plain(got))
            alone = _alone(self._plain(got))
            if batch and (alone or len(batch) >= int(self._config.batch_size) or rows + more > self._max_batch_rows):
                self._commit(batch)
                batch, rows = [], 0
            if alone:
                self._commit([got])
                continue
            batch.append(got)
            rows += more
        if batch:
            self._commit(batch)
        return markers

    def _drain_here(self) -> None:
        batch: List[Any] = []
        rows = 0
        while True:
            try:
                item = self._queue.get_nowait()
            except queue.Empty:
                break
            if isinstance(item, _Flush):
                if batch:
                    self._commit(batch)
                    batch = []
                self._answer([item] + self._drain_journal())
            elif not isinstance(item, _Stop):
                more = _rows_of(item)
                alone = _alone(item)
                if batch and (alone or (more and rows + more > self._max_batch_rows)):
                    self._commit(batch)
                    batch, rows = [], 0
                if alone:
                    self._commit([item])
                    continue
                batch.append(item)
                rows += more
                if len(batch) >= int(self._config.batch_size):
                    self._commit(batch)
                    batch, rows = [], 0
        if batch:
            self._commit(batch)
        self._answer(self._drain_journal())

    def _write(self, items: Sequence[Any], token: Optional[str] = None,
               lost: Optional[Dict[int, int]] = None) -> Dict[str, int]:
        extra: Dict[str, Any] = {"batch_id": token} if token is not None else {}
        if lost:
            extra["lost"] = sorted(lost.items())
        if items and all(item[0] == COLUMNS for item in items):
            graph = items[0][1][0]
            parts = [item[1][1] for item in items if item[1][1] is not None]
            rows = _concat_rows(parts) if parts else None
            write_columns = getattr(self._storage, "write_columns", None)
            if callable(write_columns):
                result = write_columns(graph=graph, row_values=rows, **extra)
                return result if isinstance(result, dict) else {}
            # A store that takes records only gets the batch as records.
            nodes, edges = graph.to_records() if graph is not None else ([], [])
            result = self._storage.write_batch(
                sources=[], nodes=nodes, edges=[(graph.pipeline_id, edges)] if edges else [],
                row_values=[rows.to_records()] if rows is not None else [], **extra,
            )
            return result if isinstance(result, dict) else {}
        groups: Dict[str, list] = {k: [] for k in KINDS}
        for kind, payload, _ in items:
            if kind == COLUMNS:  # (_deliver cuts batches where the two meet; other callers)
                groups["row_values"].append(payload[1].to_records())
            else:
                groups[kind].append(payload)
        result = self._storage.write_batch(
            sources=groups["sources"],
            nodes=groups["nodes"],
            edges=groups["edges"],
            row_values=groups["row_values"],
            **extra,
        )
        return result if isinstance(result, dict) else {}

    def _token(self) -> Optional[str]:
        return uuid.uuid4().hex if self._tokens else None

    @staticmethod
    def _tally(items: Sequence[Any]) -> Dict[str, int]:
        counts: Dict[str, int] = {}
        for kind, payload, n in items:
            if kind == COLUMNS:
                g, r = payload
                for k, m in (("nodes", len(g) if g is not None else 0), ("edges", _n_edges(g)),
                             ("row_values", len(r) if r is not None else 0)):
                    if m:
                        counts[k] = counts.get(k, 0) + m
            else:
                counts[kind] = counts.get(kind, 0) + n
        return counts

    def _describe(self, exc: BaseException) -> str:
        describe = getattr(self._storage, "describe_error", None)
        if callable(describe):
            try:
                return str(describe(exc))
            except Exception:
                pass
        return describe_error(exc)

    def _commit(self, entries: List[Any]) -> None:
        items: List[Any] = []
        queued: List[Any] = []
        rowids: List[int] = []
        size = 0
        for e in entries:
            if isinstance(e[0], tuple):  # (item, journal row id, size)
                items.append(e[0])
                rowids.append(e[1])
                size += e[2]
            else:
                items.append(e)
                queued.append(e)
        try:
            self._deliver(items)
        finally:
            self._release_rows(queued)
            if rowids and self._journal is not None:
                self._journal.done(rowids, size)

    def _deliver(self, items: List[Any], splits: Optional[List[int]] = None) -> None:
        """Write `items`, retrying outages within the budget and splitting a
        rejected batch until only the offending records are dropped.

        `splits` bounds the refused attempts of one batch: finding a few bad
        records takes a few dozen, but a batch refused as a whole (every
        record names a pipeline that is gone) would otherwise cost a request
        per record; what is left when the bound is reached is dropped."""
        if splits is None:
            splits = [_MAX_REFUSED_ATTEMPTS]
        runs = _kind_runs(items)
        if len(runs) > 1:
            # Row-value columns beside records: each run its own transaction, in order, so the
            # columns are not written as records (a row at a time, several times slower)
            for run in runs:
                self._deliver(run, splits)
            return
        token = self._token()
        delay = _RETRY_FIRST_S
        retried_once = False
        while True:
            lost = dict(self._unreported) if self._takes_losses and self._unreported else None
            with self._stats_lock:
                self._at_store = True
                self._written_meanwhile.clear()
            try:
                result = self._write(items, token, lost)
            except Exception as exc:
                with self._stats_lock:
                    self._at_store = False
                error = self._describe(exc)
                if isinstance(exc, PermissionError):
                    # A refused key does not come back by waiting.
                    self._key_refused = True
                    self._give_up(items, error)
                    return
                if _is_connection_error(exc):
                    now = time.monotonic()
                    if self._outage_since is None:
                        self._outage_since = now
                        self._log.warning("outage", "Storage unavailable, retrying for up to %g s: %s",
                                          self._budget, error)
                    left = self._outage_since + self._budget - now
                    if left <= 0:
                        self._give_up(items, error)
                        return
                    with self._stats_lock:
                        self._batches["retried"] += 1
                    time.sleep(min(delay * (0.5 + random.random()), left))
                    delay = min(delay * 2, _RETRY_MAX_S)
                    continue
                # A failure of unknown kind may pass: one more try as it is.
                # A refusal (ValueError: invalid records, a batch over the
                # size limit) goes straight to halves.
                if not retried_once and not isinstance(exc, ValueError):
                    retried_once = True
                    with self._stats_lock:
                        self._batches["retried"] += 1
                    logger.debug("Storage batch failed, retrying once: %s", error)
                    continue
                splits[0] -= 1
                halves = _split(items) if splits[0] > 0 else None
                if halves is None:
                    self._give_up(items, error, rejected=True)
                    return
                for half in halves:
                    self._deliver(half, splits)
                return
            else:
                if lost:
                    with self._stats_lock:
                        for pid, n in lost.items():
                            left_n = self._unreported.get(pid, 0) - n
                            if left_n > 0:
                                self._unreported[pid] = left_n
                            else:
                                self._unreported.pop(pid, None)
                if self._outage_since is not None:
                    logger.info("Storage available again after %.1f s", time.monotonic() - self._outage_since)
                    self._outage_since = None
                self._key_refused = False
                self._record_success(items, result)
                return

    def _give_up(self, items: Sequence[Any], error: str, rejected: bool = False) -> None:
        with self._stats_lock:
            self._batches["failed"] += 1
        self._record_failure(self._tally(items), error, items=items, rejected=rejected)

    def _report_losses(self, final: bool = False) -> None:
        """Record losses not yet stored with their pipelines (one attempt)."""
        if not (self._takes_losses and self._unreported) or self._key_refused:
            return
        lost = dict(self._unreported)
        try:
            self._write([], self._token(), lost)
        except Exception as exc:
            logger.warning("Could not record %d lost records with their pipelines: %s",
                           sum(lost.values()), self._describe(exc))
            return
        with self._stats_lock:
            for pid, n in lost.items():
                if self._unreported.get(pid, 0) <= n:
                    self._unreported.pop(pid, None)
                else:
                    self._unreported[pid] -= n

    def _record_success(self, items: Sequence[Any], result: Dict[str, int]) -> None:
        counts = self._tally(items)
        unresolved = int(result.get("edges_unresolved", 0) or 0)
        again = None
        with self._stats_lock:
            self._batches["committed"] += 1
            for kind, n in counts.items():
                self._counts[kind]["written"] += n - (unresolved if kind == "edges" else 0)
            self._edges_unresolved += unresolved
            meanwhile, self._at_store = self._written_meanwhile, False
            self._written_meanwhile = {}
            held = self._hold(items, unresolved) if unresolved and self._graph_due else 0
            if unresolved and not held and meanwhile:
                # The graph was stored after this batch reached the store: its endpoints are
                # there now, so the edges are sent again here rather than reported.
                again = self._batch_edges(items)
                if again is not None and not meanwhile.get(again[0]):
                    again = None
        if again is not None:
            self._warn_unresolved(self._send_again(again[0], again[1], unresolved))
        else:
            self._warn_unresolved(unresolved - held)

    def _batch_edges(self, items: Sequence[Any], held: Optional[Dict[int, List[Any]]] = None
                     ) -> Optional[Tuple[int, List[Any]]]:
        """(pipeline, edges) of a batch whose edges are all of one pipeline, when they (with those
        `held` for it) stay within the bound of held edges; else None."""
        pids = {int(payload[0]) for kind, payload, _ in items if kind == "edges"}
        pids |= {int(payload[0].pipeline_id) for kind, payload, _ in items
                 if kind == COLUMNS and _n_edges(payload[0])}
        if len(pids) != 1:
            return None
        pid = pids.pop()
        size = len(held.get(pid, ())) if held is not None else 0
        size += sum(n if kind == "edges" else _n_edges(payload[0]) if kind == COLUMNS else 0
                    for kind, payload, n in items)
        if size > _HELD_EDGES_MAX:
            return None
        edges: List[Any] = []
        for kind, payload, _ in items:
            if kind == "edges":
                edges.extend(payload[1])
            elif kind == COLUMNS and _n_edges(payload[0]):
                edges.extend(payload[0].to_records()[1])
        return pid, edges

    def _hold(self, items: Sequence[Any], unresolved: int) -> int:
        """Holds a batch's edges for its pipeline when `flush` is still to write its whole graph
        (one pipeline, within the bound); how many unresolved edges are held."""
        got = self._batch_edges(items, self._held_edges)
        if got is None or got[0] not in self._graph_due:
            return 0
        pid, edges = got
        self._held_edges.setdefault(pid, []).extend(edges)
        self._held_unresolved[pid] = self._held_unresolved.get(pid, 0) + unresolved
        return unresolved

    def _send_again(self, pipeline_id: int, edges: List[Any], n: int) -> int:
        """Sends a pipeline's edges again after its graph was stored; how many of the `n`
        unresolved among them stay so (those resolved now are counted written)."""
        left = n
        try:
            result = self._write([("edges", (pipeline_id, edges), len(edges))])
            left = min(n, int(result.get("edges_unresolved", 0) or 0))
        except Exception as exc:
            logger.debug("Held edges could not be sent again: %s", self._describe(exc))
        with self._stats_lock:
            self._edges_unresolved -= n - left
            self._counts["edges"]["written"] += n - left
        return left

    def _warn_unresolved(self, n: int) -> None:
        if n and not self._warned_unresolved:
            self._warned_unresolved = True
            logger.warning(
                "%d edges were not stored: an endpoint node is not stored in the edge's pipeline "
                "(further cases are only counted in get_stats()['edges']['unresolved'])", n)

    def expect_graph(self, pipeline_id: int) -> None:
        """`flush` will write the pipeline's whole graph: edges to nodes it brings are held."""
        with self._stats_lock:
            self._graph_due.add(int(pipeline_id))

    def graph_written(self, pipeline_id: int, stored: bool) -> None:
        """After `flush` wrote the pipeline's whole graph (`stored`) or failed to: the edges
        held for it are sent again, and what stays unresolved is reported."""
        with self._stats_lock:
            self._graph_due.discard(pipeline_id)
            edges = self._held_edges.pop(pipeline_id, [])
            n = self._held_unresolved.pop(pipeline_id, 0)
            if self._at_store:
                self._written_meanwhile[pipeline_id] = stored
        left = self._send_again(pipeline_id, edges, n) if stored and edges else n
        self._warn_unresolved(left)

    @property
    def retry_budget(self) -> float:
        """Seconds an outage of the store is retried before records are given up."""
        return self._budget

    def _record_failure(self, counts: Dict[str, int], error: str, log: bool = True,
                        items: Optional[Sequence[Any]] = None, rejected: bool = False) -> None:
        per_pipeline = _pipeline_counts(items, self._last_pipeline) if items else {}
        with self._stats_lock:
            for kind, n in counts.items():
                self._counts[kind]["failed"] += n
                self._failed_total += n
                if rejected:
                    self._rejected += n
            for pid, n in per_pipeline.items():
                self._lost_by_pipeline[pid] = self._lost_by_pipeline.get(pid, 0) + n
                self._unreported[pid] = self._unreported.get(pid, 0) + n
            self._last_error = error
        if log and self._log.warning(
            "rejected" if rejected else "lost",
            "Storage write failed; not stored: %s (%s)",
            ", ".join("%d %s" % (counts[k], k.replace("_", " ")) for k in KINDS if counts.get(k)),
            error,
        ):
            # Logged with its count already: the flush summary leaves it out.
            with self._stats_lock:
                self._lost_logged += sum(counts.values())
