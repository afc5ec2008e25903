"""The service's database: the provenance store plus keys and reports.

`ServiceStore` wraps the storage component's database backend (SQLite or
PostgreSQL, one schema) and adds what only the service needs: API keys,
dashboard reports and the read models of the dashboard. Every method takes
the tenant first and never touches another tenant's rows.
"""

from __future__ import annotations

import datetime as _dt
import json
from collections import defaultdict, deque
from typing import Any, Dict, Iterable, List, Optional, Tuple

from sqlalchemy import func, insert, select, update

from lumarq.utilities.persistence import _schema as S
from lumarq.utilities.persistence._backend import UnknownPipelineError
from lumarq.utilities.persistence._sql import SQLBackend
from lumarq.utilities.persistence._urls import backend_kind, describe_error, mask_url

from . import keys as K


def _now() -> _dt.datetime:
    return _dt.datetime.now(_dt.timezone.utc)


def _iso(value: Optional[_dt.datetime]) -> Optional[str]:
    if value is None:
        return None
    if value.tzinfo is None:  # SQLite drops the zone; we always write UTC
        value = value.replace(tzinfo=_dt.timezone.utc)
    return value.isoformat()


def _json_list(value: Any) -> List[Any]:
    if isinstance(value, str):  # some drivers hand JSON back as text
        value = json.loads(value)
    return list(value or [])


class ServiceStore:
    """Database of the provenance service (not connected until `connect()`)."""

    def __init__(self, db_url: str):
        kind = backend_kind(db_url)
        if kind == "http":
            raise ValueError("the service needs a database URL (sqlite:/// or postgresql://), not a service URL")
        self.db_url = db_url
        self.masked_url = mask_url(db_url)
        self.backend = SQLBackend(db_url, kind)
        # A "running" pipeline not written to for this long is shown as stalled.
        self.stall_after_s = 15 * 60.0

    def connect(self) -> "ServiceStore":
        self.backend.connect()
        return self

    def close(self) -> None:
        self.backend.close()

    def describe_error(self, exc: BaseException) -> str:
        """One line about `exc`, without the database password."""
        return describe_error(exc, self.backend._scrub)

    def scrub(self, text: str) -> str:
        return self.backend._scrub(text)

    # -- API keys -------------------------------------------------------------------

    def create_key(self, tenant: str, name: Optional[str] = None) -> Tuple[Dict[str, Any], str]:
        """Make a key for `tenant`; returns (its listing entry, the key). The
        key is not stored and cannot be shown again."""
        K.check_tenant(tenant)
        key_id, key = K.new_key()
        row = dict(
            key_id=key_id, tenant_id=tenant, name=name, key_hash=K.key_hash(key), created_at=_now(), revoked_at=None
        )
        with self.backend.transaction() as conn:
            conn.execute(insert(S.api_keys).values(**row))
        return self._key_entry(row), key

    @staticmethod
    def _key_entry(row: Any) -> Dict[str, Any]:
        return {
            "key_id": row["key_id"],
            "prefix": K.PREFIX + row["key_id"],
            "tenant_id": row["tenant_id"],
            "name": row["name"],
            "created_at": _iso(row["created_at"]),
            "revoked_at": _iso(row["revoked_at"]),
        }

    def list_keys(self, tenant: Optional[str] = None) -> List[Dict[str, Any]]:
        k = S.api_keys
        stmt = select(k.c.key_id, k.c.tenant_id, k.c.name, k.c.created_at, k.c.revoked_at).order_by(
            k.c.created_at, k.c.key_id
        )
        if tenant is not None:
            stmt = stmt.where(k.c.tenant_id == tenant)
        with self.backend.reading() as conn:
            return [self._key_entry(r) for r in conn.execute(stmt).mappings()]

    def revoke_key(self, key_id: str) -> Optional[Dict[str, Any]]:
        """Revoke a key (idempotent); its entry, or None for an unknown id."""
        k = S.api_keys
        with self.backend.transaction() as conn:
            conn.execute(update(k).where(k.c.key_id == key_id, k.c.revoked_at.is_(None)).values(revoked_at=_now()))
            row = conn.execute(select(k).where(k.c.key_id == key_id)).mappings().first()
            return None if row is None else self._key_entry(row)

    def authenticate(self, key: str) -> Optional[Tuple[str, str]]:
        """(tenant, key id) for a valid, unrevoked key; None otherwise."""
        key_id = K.key_id_of(key)
        if key_id is None:
            return None
        k = S.api_keys
        with self.backend.reading() as conn:
            row = conn.execute(
                select(k.c.tenant_id, k.c.key_hash, k.c.revoked_at).where(k.c.key_id == key_id)
            ).first()
        if row is None or row.revoked_at is not None or not K.hash_matches(key, row.key_hash):
            return None
        return row.tenant_id, key_id

    # -- reports ----------------------------------------------------------------------

    def store_report(self, tenant: str, report: Dict[str, Any]) -> Tuple[int, Optional[int]]:
        """Store a validated report; (report id, linked pipeline id or None).

        UnknownPipelineError when the report names a pipeline that is not
        the tenant's.
        """
        pipeline, fairness = report["pipeline"], report["fairness"]
        pid = pipeline.get("provenance_pipeline_id")
        with self.backend.transaction() as conn:
            if pid is not None:
                self.backend.check_pipelines(conn, tenant, [int(pid)])
            res = conn.execute(
                insert(S.dashboard_reports).values(
                    tenant_id=tenant,
                    pipeline_id=pid,
                    received_at=_now(),
                    pipeline_name=pipeline["pipeline_name"],
                    status=pipeline["status"],
                    node_count=pipeline["node_count"],
                    edge_count=pipeline["edge_count"],
                    model_id=fairness["model_id"],
                    has_disparate_impact=bool(fairness["has_disparate_impact"]),
                    protected_attributes=list(fairness["protected_attributes"]),
                    protected_sources=list(fairness["details"]["protected_sources"]),
                    payload=json.dumps(report, ensure_ascii=False, allow_nan=False),
                )
            )
            return int(res.inserted_primary_key[0]), pid

    _REPORT_COLS = (
        "id", "pipeline_id", "received_at", "model_id", "has_disparate_impact",
        "protected_attributes", "protected_sources",
    )

    @staticmethod
    def _fairness(row: Any) -> Dict[str, Any]:
        return {
            "report_id": int(row["id"]),
            "received_at": _iso(row["received_at"]),
            "model_id": row["model_id"],
            "has_disparate_impact": bool(row["has_disparate_impact"]),
            "protected_attributes": _json_list(row["protected_attributes"]),
            "protected_sources": _json_list(row["protected_sources"]),
        }

    @staticmethod
    def _report(row: Any) -> Dict[str, Any]:
        return {
            "id": int(row["id"]),
            "pipeline_id": None if row["pipeline_id"] is None else int(row["pipeline_id"]),
            "received_at": _iso(row["received_at"]),
            "payload": json.loads(row["payload"]),
        }

    def _latest_reports(self, conn: Any, tenant: str, pipeline_id: Optional[int] = None,
                        full: bool = False) -> Dict[int, Any]:
        r = S.dashboard_reports
        latest = select(func.max(r.c.id)).where(r.c.tenant_id == tenant, r.c.pipeline_id.is_not(None))
        if pipeline_id is not None:
            latest = latest.where(r.c.pipeline_id == pipeline_id)
        latest = latest.group_by(r.c.pipeline_id)
        cols = [r.c[c] for c in self._REPORT_COLS] + ([r.c.payload] if full else [])
        rows = conn.execute(select(*cols).where(r.c.id.in_(latest.scalar_subquery()))).mappings()
        return {int(row["pipeline_id"]): row for row in rows}

    def list_reports(self, tenant: str, pipeline_id: Optional[int] = None, limit: int = 100) -> List[Dict[str, Any]]:
        """Newest first, whole; all of the tenant's reports (linked or not), or one pipeline's."""
        r = S.dashboard_reports
        stmt = select(r.c.id, r.c.pipeline_id, r.c.received_at, r.c.payload).where(r.c.tenant_id == tenant)
        if pipeline_id is not None:
            stmt = stmt.where(r.c.pipeline_id == pipeline_id)
        with self.backend.reading() as conn:
            return [self._report(row) for row in conn.execute(stmt.order_by(r.c.id.desc()).limit(limit)).mappings()]

    def report_page(self, tenant: str, pipeline_id: Optional[int], limit: int,
                    before: Optional[int] = None) -> Dict[str, Any]:
        """Summaries (no payload), newest first, of ids below `before`, and the
        `next_before` of the following page (None on the last)."""
        r = S.dashboard_reports
        stmt = select(
            r.c.id, r.c.pipeline_id, r.c.received_at, r.c.pipeline_name, r.c.status, r.c.node_count,
            r.c.edge_count, r.c.model_id, r.c.has_disparate_impact, r.c.protected_attributes,
            func.length(r.c.payload).label("size"),
        ).where(r.c.tenant_id == tenant)
        if pipeline_id is not None:
            stmt = stmt.where(r.c.pipeline_id == pipeline_id)
        if before is not None:
            stmt = stmt.where(r.c.id < before)
        with self.backend.reading() as conn:
            rows = conn.execute(stmt.order_by(r.c.id.desc()).limit(limit + 1)).mappings().all()
        more = len(rows) > limit
        rows = rows[:limit]
        return {
            "reports": [
                {
                    "id": int(row["id"]),
                    "pipeline_id": None if row["pipeline_id"] is None else int(row["pipeline_id"]),
                    "received_at": _iso(row["received_at"]),
                    "pipeline_name": row["pipeline_name"],
                    "status": row["status"],
                    "node_count": int(row["node_count"]),
                    "edge_count": int(row["edge_count"]),
                    "model_id": row["model_id"],
                    "has_disparate_impact": bool(row["has_disparate_impact"]),
                    "protected_attributes": _json_list(row["protected_attributes"]),
                    "size": int(row["size"] or 0),
                }
                for row in rows
            ],
            "next_before": int(rows[-1]["id"]) if more and rows else None,
        }

    def report(self, tenant: str, report_id: int) -> Optional[Dict[str, Any]]:
        r = S.dashboard_reports
        with self.backend.reading() as conn:
            row = conn.execute(
                select(r.c.id, r.c.pipeline_id, r.c.received_at, r.c.payload)
                .where(r.c.tenant_id == tenant, r.c.id == report_id)
            ).mappings().first()
        return None if row is None else self._report(row)

    # -- dashboard reads ----------------------------------------------------------------

    def pipeline_exists(self, tenant: str, pipeline_id: int) -> bool:
        p = S.pipelines
        with self.backend.reading() as conn:
            return conn.execute(
                select(p.c.id).where(p.c.id == pipeline_id, p.c.tenant_id == tenant)
            ).first() is not None

    def require_pipeline(self, tenant: str, pipeline_id: int) -> None:
        if not self.pipeline_exists(tenant, pipeline_id):
            raise UnknownPipelineError("unknown pipeline id for this tenant: %d" % pipeline_id)

    def shown_status(self, p: Dict[str, Any], now: Optional[_dt.datetime] = None) -> Dict[str, Any]:
        """Set `status` to what the dashboard shows (and `stored_status` to the
        record): "completed_with_losses" for a completed pipeline whose
        writers gave records up, "stalled" for a running one not written to
        for `stall_after_s` seconds."""
        stored = p["status"]
        p["stored_status"] = stored
        if stored == "completed" and p.get("lost_records"):
            p["status"] = "completed_with_losses"
        elif stored == "running":
            last = p.get("last_write_at") or p.get("created_at")
            if last:
                seen = _dt.datetime.fromisoformat(last)
                if ((now or _now()) - seen).total_seconds() > self.stall_after_s:
                    p["status"] = "stalled"
        return p

    def pipelines(self, tenant: str) -> List[Dict[str, Any]]:
        """The tenant's pipelines with counts and the latest fairness record."""
        out = self.backend.list_pipelines(tenant)
        with self.backend.reading() as conn:
            latest = self._latest_reports(conn, tenant)
        now = _now()
        for p in out:
            row = latest.get(p["id"])
            p["fairness"] = None if row is None else self._fairness(row)
            self.shown_status(p, now)
        return out

    def pipeline(self, tenant: str, pipeline_id: int) -> Optional[Dict[str, Any]]:
        p = self.backend.get_pipeline(tenant, pipeline_id)
        if p is None:
            return None
        self.shown_status(p)
        with self.backend.reading() as conn:
            row = self._latest_reports(conn, tenant, pipeline_id, full=True).get(pipeline_id)
        p["fairness"] = None if row is None else self._fairness(row)
        p["report"] = None if row is None else self._report(row)
        return p

    def dag(self, tenant: str, pipeline_id: int, max_nodes: Optional[int] = None) -> Optional[Dict[str, Any]]:
        """Nodes (with a drawing level: sources 0) and edges of a pipeline."""
        if not self.pipeline_exists(tenant, pipeline_id):
            return None
        n, e = S.nodes, S.edges
        with self.backend.reading() as conn:
            stmt = (
                select(n.c.id, n.c.fingerprint, n.c.node_type, n.c.operation, n.c.table_name, n.c.column_name,
                       n.c.pair_id, n.c.is_protected)
                .where(n.c.pipeline_id == pipeline_id, n.c.tenant_id == tenant)
                .order_by(n.c.id)
            )
            if max_nodes is not None:
                stmt = stmt.limit(max_nodes + 1)
            nodes = conn.execute(stmt).all()
            truncated = max_nodes is not None and len(nodes) > max_nodes
            if truncated:
                nodes = nodes[:max_nodes]
            edges = conn.execute(
                select(e.c.parent_node_id, e.c.child_node_id, e.c.input_position)
                .where(e.c.pipeline_id == pipeline_id, e.c.tenant_id == tenant)
                .order_by(e.c.id)
            ).all()
        ids = {int(r[0]) for r in nodes}
        edge_rows = [
            (int(p), int(c), int(pos)) for p, c, pos in edges if (not truncated) or (p in ids and c in ids)
        ]
        levels = _levels(ids, edge_rows)
        return {
            "pipeline_id": pipeline_id,
            "nodes": [
                {
                    "id": int(i),
                    "fingerprint": int(fp),
                    "fingerprint_hex": "0x%08X" % int(fp),
                    "node_type": nt,
                    "operation": op,
                    "table": tn,
                    "column": cn,
                    "pair_id": pr,
                    "is_protected": bool(prot),
                    "level": levels.get(int(i), 0),
                }
                for i, fp, nt, op, tn, cn, pr, prot in nodes
            ],
            "edges": [{"parent": p, "child": c, "position": pos} for p, c, pos in edge_rows],
            "truncated": truncated,
        }


def _levels(ids: Iterable[int], edges: List[Tuple[int, int, int]]) -> Dict[int, int]:
    """Longest distance from a node without parents, by Kahn's algorithm.

    Stored graphs may hold cycles (two tracker nodes with one fingerprint are
    one stored node); nodes on a cycle get one level above their highest
    placed parent, so the result is always defined.
    """
    parents: Dict[int, List[int]] = defaultdict(list)
    children: Dict[int, List[int]] = defaultdict(list)
    indegree: Dict[int, int] = {i: 0 for i in ids}
    for p, c, _ in edges:
        if p == c or p not in indegree or c not in indegree:
            continue
        parents[c].append(p)
        children[p].append(c)
        indegree[c] += 1
    level = {i: 0 for i, d in indegree.items() if d == 0}
    todo = deque(level)
    while todo:
        node = todo.popleft()
        for c in children[node]:
            level[c] = max(level.get(c, 0), level[node] + 1)
            indegree[c] -= 1
            if indegree[c] == 0:
                todo.append(c)
    for i in sorted(set(indegree) - set(level)):  # on a cycle
        level[i] = 1 + max((level.get(p, 0) for p in parents[i]), default=0)
    return level
