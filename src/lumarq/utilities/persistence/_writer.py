"""`AsyncWriter`: moves records to a store on a background thread.

Callers hand over records (a node, a list of edges, a list of row values, a
source) and return at once unless the queue is full, in which case they wait
while the writer makes progress. One daemon thread takes up to `batch_size`
queued items, waiting at most `flush_interval` seconds for a batch to fill,
and writes them in one transaction through ``storage.write_batch``.

Failures never reach the caller: a failed batch is retried once; if it fails
again its records are counted as failed, `last_error` is set and a warning is
logged on ``lumarq.utilities.persistence``. When the second failure is not a
connection problem, the batch's items are then written one by one so that one
bad record cannot take the other records of its batch down with it.
"""

from __future__ import annotations

import atexit
import logging
import queue
import sys
import threading
import time
import uuid
import weakref
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence

from ._records import StoredEdge, StoredNode, StoredRowValue
from ._urls import describe_error

logger = logging.getLogger("lumarq.utilities.persistence")

KINDS = ("nodes", "edges", "row_values", "sources")

# A waiting producer re-checks the writer's progress this often.
_POLL = 0.1


@dataclass(frozen=True)
class WriterConfig:
    """Tuning of an `AsyncWriter`.

    batch_size: queued items (one node, one edge list, one row-value list or
        one source each) per transaction.
    flush_interval: longest time in seconds a queued item waits for its
        batch to fill before it is committed.
    queue_size: bound of the queue, in items.
    max_queued_rows: bound on row values waiting in the queue (a list of
        row values is one queue item however long; this bounds the memory).
    put_timeout: how long a producer facing a full queue waits while the
        writer makes no progress; its records are then counted as failed.
    max_batch_rows: bound on row values per transaction. A batch closes
        early when the next item would pass it, and longer lists are split
        when queued; this keeps one transaction (one request to a hosted
        service) to a bounded size.
    """

    batch_size: int = 100
    flush_interval: float = 1.0
    queue_size: int = 10000
    max_queued_rows: int = 1_000_000
    put_timeout: float = 30.0
    max_batch_rows: int = 100_000

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


class _Flush:
    __slots__ = ("event", "ok")

    def __init__(self) -> None:
        self.event = threading.Event()
        self.ok = False


class _Stop:
    pass


def _is_connection_error(exc: BaseException) -> bool:
    """True for failures of the store itself rather than of the records."""
    if isinstance(exc, (OSError, TimeoutError)):
        return True
    sa_exc = sys.modules.get("sqlalchemy.exc")
    if sa_exc is not None and isinstance(exc, sa_exc.DBAPIError):
        return bool(exc.connection_invalidated) or isinstance(exc, sa_exc.OperationalError)
    return False


def _rows_of(item: Any) -> int:
    return item[2] if item[0] == "row_values" else 0


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
        self._last_error: Optional[str] = None
        self._progress = 0  # items taken off the queue by the writer
        self._stalled_at: Optional[int] = None
        self._last_pipeline: Optional[int] = None
        self._rows_cond = threading.Condition()
        self._queued_rows = 0
        self._max_rows = int(self._config.max_queued_rows)
        self._max_batch_rows = int(self._config.max_batch_rows)
        # A store that deduplicates retried transactions gets one token per
        # batch, the same for the retry (a hosted service may have committed
        # a batch whose answer was lost).
        self._tokens = bool(getattr(storage, "wants_batch_ids", False))
        self._warned_closed = False
        self._warned_unresolved = False

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
        """Write everything queued, then end the thread. Idempotent.

        With a `timeout`, gives up waiting after that many seconds (the
        daemon thread keeps draining) and logs a warning.
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
                    self._queue.qsize(),
                )
                return
        # Items of a writer that never started (or markers that raced with
        # the stop) are handled here, on the caller's thread.
        self._drain_here()

    def _put_control(self, item: Any, t: threading.Thread, deadline: Optional[float] = None) -> bool:
        while True:
            try:
                self._queue.put(item, timeout=_POLL)
                return True
            except queue.Full:
                if not t.is_alive() or (deadline is not None and time.monotonic() >= deadline):
                    return False

    # -- producer side ----------------------------------------------------------

    def register_source(self, pair_id: Optional[int], table: str, column: str, is_protected: bool) -> None:
        self._put("sources", (pair_id, table, column, bool(is_protected)), 1)

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
            self._count_queued("edges", len(edges))
            self._record_failure(
                {"edges": len(edges)}, "no pipeline known for these edges (no node written before them)"
            )
            return
        self._put("edges", (int(pid), edges), len(edges))

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

    def _count_queued(self, kind: str, n: int) -> None:
        with self._stats_lock:
            self._counts[kind]["queued"] += n

    def _room_for(self, rows: int) -> bool:
        queued = self._queued_rows
        return rows == 0 or queued <= 0 or queued + rows <= self._max_rows

    def _put(self, kind: str, payload: Any, n: int) -> None:
        self._count_queued(kind, n)
        rows = n if kind == "row_values" else 0
        item = (kind, payload, n)
        q = self._queue
        seen, since = self._progress, time.monotonic()
        limit = float(self._config.put_timeout)
        first = True
        # With no room (queue full, or too many row values queued), wait as
        # long as the writer makes progress, so a slow store slows the
        # producer down instead of losing records. A store that makes no
        # progress for put_timeout seconds fails the records, and later
        # writes fail at once until it moves again.
        while True:
            t = self._thread
            with self._put_lock:
                if self._closed:
                    self._reject_closed(kind, n)
                    return
                if not first and t is not None and not t.is_alive():
                    self._record_failure({kind: n}, "writer thread is not running")
                    return
                if self._room_for(rows):
                    try:
                        if first:
                            q.put_nowait(item)
                        else:
                            q.put(item, timeout=_POLL)
                    except queue.Full:
                        pass
                    else:
                        if rows:
                            with self._rows_cond:
                                self._queued_rows += rows
                        return
                elif not first:
                    with self._rows_cond:
                        self._rows_cond.wait(_POLL)
            if first:
                first = False
                if self._stalled_at == self._progress:
                    self._record_failure({kind: n}, "writer queue full; storage made no progress")
                    return
                continue
            if self._progress != seen:
                seen, since = self._progress, time.monotonic()
            elif time.monotonic() - since >= limit:
                self._stalled_at = seen
                self._record_failure(
                    {kind: n},
                    "writer queue full; storage made no progress for %.1f s" % limit,
                )
                return

    def _release_rows(self, items: Sequence[Any]) -> None:
        rows = sum(n for kind, _, n in items if kind == "row_values")
        if rows:
            with self._rows_cond:
                self._queued_rows -= rows
                self._rows_cond.notify_all()

    def _reject_closed(self, kind: str, n: int) -> None:
        warn = not self._warned_closed
        self._warned_closed = True
        self._record_failure({kind: n}, "AsyncWriter is stopped", log=warn)

    # -- flush and stats ----------------------------------------------------------

    def flush(self, timeout: float = 30.0) -> bool:
        """Wait until everything queued before the call is committed.

        True when it is and no record failed since the previous flush; False
        when records failed, or when `timeout` seconds passed first (then a
        warning says so).
        """
        timeout = float(timeout)
        deadline = time.monotonic() + max(timeout, 0.0)
        t = self._thread
        if t is None or not t.is_alive():
            pending = self._queue.qsize()
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
            self._queue.qsize(),
        )
        return False

    def _take_flush_result(self) -> bool:
        with self._stats_lock:
            ok = self._failed_total == self._failed_at_marker
            self._failed_at_marker = self._failed_total
        return ok

    def get_stats(self) -> Dict[str, Any]:
        """A new dict: per kind ("nodes", "edges", "row_values", "sources") a
        dict of queued/written/failed/pending record counts ("edges" also
        "unresolved"), plus batch counts, queue depth, running and last_error."""
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
            stats["batches_committed"] = self._batches["committed"]
            stats["batches_retried"] = self._batches["retried"]
            stats["batches_failed"] = self._batches["failed"]
            stats["last_error"] = self._last_error
        stats["queue_depth"] = self._queue.qsize()
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
        item = self._queue.get(timeout=timeout) if timeout is not None else self._queue.get()
        self._progress += 1
        return item

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
                rows = _rows_of(item)
                deadline = time.monotonic() + interval
                while len(batch) < batch_size:
                    remaining = deadline - time.monotonic()
                    try:
                        nxt = self._next(remaining if remaining > 0 else 0)
                    except queue.Empty:
                        break
                    if isinstance(nxt, (_Flush, _Stop)):
                        control = nxt
                        break
                    more = _rows_of(nxt)
                    if more and rows + more > max_rows:
                        carry = nxt
                        break
                    rows += more
                    batch.append(nxt)
            if batch:
                self._commit(batch)
            if isinstance(control, _Flush):
                control.ok = self._take_flush_result()
                control.event.set()
            elif isinstance(control, _Stop):
                return

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
                item.ok = self._take_flush_result()
                item.event.set()
            elif not isinstance(item, _Stop):
                more = _rows_of(item)
                if batch and more and rows + more > self._max_batch_rows:
                    self._commit(batch)
                    batch, rows = [], 0
                batch.append(item)
                rows += more
                if len(batch) >= int(self._config.batch_size):
                    self._commit(batch)
                    batch, rows = [], 0
        if batch:
            self._commit(batch)

    def _write(self, items: Sequence[Any], token: Optional[str] = None) -> Dict[str, int]:
        groups: Dict[str, list] = {k: [] for k in KINDS}
        for kind, payload, _ in items:
            groups[kind].append(payload)
        extra = {"batch_id": token} if token is not None else {}
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
        for kind, _, n in items:
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

    def _commit(self, batch: List[Any]) -> None:
        try:
            self._commit_batch(batch)
        finally:
            self._release_rows(batch)

    def _commit_batch(self, batch: List[Any]) -> None:
        token = self._token()
        try:
            result = self._write(batch, token)
        except Exception as first:
            with self._stats_lock:
                self._batches["retried"] += 1
            logger.debug("Storage batch failed, retrying once: %s", self._describe(first))
            try:
                result = self._write(batch, token)
            except Exception as second:
                if len(batch) > 1 and not _is_connection_error(second):
                    self._commit_one_by_one(batch)
                else:
                    with self._stats_lock:
                        self._batches["failed"] += 1
                    self._record_failure(self._tally(batch), self._describe(second))
                return
        self._record_success(batch, result)

    def _commit_one_by_one(self, batch: List[Any]) -> None:
        failed: List[Any] = []
        error = ""
        for item in batch:
            try:
                result = self._write([item], self._token())
            except Exception as exc:
                failed.append(item)
                error = self._describe(exc)
            else:
                self._record_success([item], result)
        if failed:
            with self._stats_lock:
                self._batches["failed"] += 1
            self._record_failure(self._tally(failed), error)

    def _record_success(self, items: Sequence[Any], result: Dict[str, int]) -> None:
        counts = self._tally(items)
        unresolved = int(result.get("edges_unresolved", 0) or 0)
        with self._stats_lock:
            self._batches["committed"] += 1
            for kind, n in counts.items():
                self._counts[kind]["written"] += n - (unresolved if kind == "edges" else 0)
            self._edges_unresolved += unresolved
        if unresolved and not self._warned_unresolved:
            self._warned_unresolved = True
            logger.warning(
                "%d edges were not stored: an endpoint node is not stored in the edge's pipeline "
                "(further cases are only counted in get_stats()['edges']['unresolved'])",
                unresolved,
            )

    def _record_failure(self, counts: Dict[str, int], error: str, log: bool = True) -> None:
        with self._stats_lock:
            for kind, n in counts.items():
                self._counts[kind]["failed"] += n
                self._failed_total += n
            self._last_error = error
        if log:
            logger.warning(
                "Storage write failed; not stored: %s (%s)",
                ", ".join("%d %s" % (counts[k], k.replace("_", " ")) for k in KINDS if counts.get(k)),
                error,
            )
