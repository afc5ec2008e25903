"""The backend interface behind `HostedStorage`.

A backend serves many tenants: every call names the tenant explicitly, and
`HostedStorage` binds one tenant to a backend. The database backend
(`_sql.SQLBackend`) is what the provenance service (`lumarq serve`) runs
behind its HTTP API; the HTTP backend (`_http.HTTPBackend`) is the client
side of that API, where the service takes the tenant from the API key.
"""

from __future__ import annotations

import abc
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

from ._columns import GraphColumns, ResultColumns, RowValueColumns
from ._records import StoredEdge, StoredNode, StoredRowValue

PIPELINE_STATUSES = ("running", "completed", "failed")


class UnknownPipelineError(ValueError):
    """A pipeline id that does not exist for the calling tenant."""


# (pair_id, table, column, is_protected)
SourceRow = Tuple[Optional[int], str, str, bool]
# (parent node id, child node id, input position)
ResolvedEdge = Tuple[int, int, int]
# (row key, output name, fingerprint, value, input-row hash)
ResultRow = Tuple[str, str, int, Optional[float], Optional[str]]


class StorageBackend(abc.ABC):
    """Everything the storage front end and the writer need from a store."""

    @abc.abstractmethod
    def connect(self) -> None:
        """Open the store (creating the schema if needed); raise on failure."""

    @abc.abstractmethod
    def close(self) -> None:
        """Release connections; idempotent."""

    # -- pipelines and sources -------------------------------------------
    @abc.abstractmethod
    def create_pipeline(
        self, tenant: str, name: str, config: Optional[Mapping[str, Any]], git_commit: Optional[str]
    ) -> int: ...

    @abc.abstractmethod
    def complete_pipeline(self, tenant: str, pipeline_id: int, status: str) -> Optional[str]:
        """Sets the status; returns the status the pipeline has afterwards where the backend
        knows it without another read (a failed pipeline stays failed), else None."""

    @abc.abstractmethod
    def register_sources(self, tenant: str, rows: Sequence[SourceRow]) -> None: ...

    # -- graph ------------------------------------------------------------
    @abc.abstractmethod
    def store_nodes(self, tenant: str, nodes: Sequence[StoredNode]) -> int: ...

    @abc.abstractmethod
    def fingerprint_node_map(self, tenant: str, pipeline_id: int) -> Dict[int, int]: ...

    @abc.abstractmethod
    def store_edges_resolved(self, tenant: str, rows: Sequence[ResolvedEdge]) -> int: ...

    @abc.abstractmethod
    def store_edges(
        self, tenant: str, pipeline_id: int, edges: Sequence[StoredEdge]
    ) -> Tuple[int, int]:
        """Store edges given by fingerprints; returns (resolved, unresolved)."""

    # -- values -------------------------------------------------------------
    @abc.abstractmethod
    def store_row_values(
        self, tenant: str, chunks: Sequence[Sequence[StoredRowValue]], batch_id: Optional[str] = None
    ) -> int: ...

    @abc.abstractmethod
    def store_results(
        self, tenant: str, pipeline_id: int, rows: Sequence[ResultRow], batch_id: Optional[str] = None
    ) -> int: ...

    def store_result_columns(self, tenant: str, pipeline_id: int, columns: ResultColumns,
                             batch_id: Optional[str] = None) -> int:
        """`store_results` for `ResultColumns`; this default goes through the rows."""
        return self.store_results(tenant, pipeline_id, columns.to_records(), batch_id)

    @abc.abstractmethod
    def write_batch(
        self,
        tenant: str,
        *,
        sources: Sequence[SourceRow] = (),
        nodes: Sequence[StoredNode] = (),
        edges: Sequence[Tuple[int, Sequence[StoredEdge]]] = (),
        row_values: Sequence[Sequence[StoredRowValue]] = (),
        batch_id: Optional[str] = None,
        lost: Sequence[Tuple[int, int]] = (),
    ) -> Dict[str, int]:
        """Write everything in one transaction, in the order sources, nodes,
        edges (per pipeline id, by fingerprint), row values; `lost` holds
        (pipeline id, records) given up by the writer, added to the
        pipelines' delivery record. Returns {"edges_unresolved": n}.

        A batch whose `batch_id` was applied before is not applied again
        (the result then also holds "duplicate": 1). A store may commit a
        big batch in pieces; with a batch id, sending it again completes it
        without duplicates."""

    def write_columns(
        self,
        tenant: str,
        *,
        graph: Optional[GraphColumns] = None,
        row_values: Optional[RowValueColumns] = None,
        batch_id: Optional[str] = None,
        lost: Sequence[Tuple[int, int]] = (),
    ) -> Dict[str, int]:
        """`write_batch` for column batches: the graph's nodes, then its edges,
        then the row values. This default goes through the record types;
        backends override it with a path that reads the columns directly."""
        nodes: List[StoredNode] = []
        edges: List[Tuple[int, Sequence[StoredEdge]]] = []
        if graph is not None and len(graph):
            nodes, graph_edges = graph.to_records()
            if graph_edges:
                edges = [(graph.pipeline_id, graph_edges)]
        elif graph is not None and graph.edge_parent.size:
            edges = [(graph.pipeline_id, graph.to_records()[1])]
        rows = [row_values.to_records(tenant)] if row_values is not None and len(row_values) else []
        return self.write_batch(tenant, nodes=nodes, edges=edges, row_values=rows,
                                batch_id=batch_id, lost=lost)

    # -- reads --------------------------------------------------------------
    @abc.abstractmethod
    def list_pipelines(self, tenant: str) -> List[Dict[str, Any]]: ...

    @abc.abstractmethod
    def get_pipeline(self, tenant: str, pipeline_id: int) -> Optional[Dict[str, Any]]: ...

    @abc.abstractmethod
    def list_sources(self, tenant: str) -> List[Dict[str, Any]]: ...

    @abc.abstractmethod
    def get_nodes(self, tenant: str, pipeline_id: int) -> List[Dict[str, Any]]: ...

    @abc.abstractmethod
    def get_edges(self, tenant: str, pipeline_id: int) -> List[Dict[str, Any]]: ...

    @abc.abstractmethod
    def get_row_values(
        self, tenant: str, pipeline_id: int, limit: Optional[int] = None, offset: int = 0
    ) -> List[StoredRowValue]: ...

    @abc.abstractmethod
    def count_row_values(self, tenant: str, pipeline_id: Optional[int] = None) -> int: ...

    @abc.abstractmethod
    def get_results(
        self, tenant: str, pipeline_id: int, limit: Optional[int] = None, offset: int = 0
    ) -> List[ResultRow]: ...


def open_backend(url: str, api_key: Optional[str]) -> StorageBackend:
    """A backend for `url` (not yet connected); ValueError for unknown schemes."""
    from ._urls import backend_kind

    kind = backend_kind(url)
    if kind == "http":
        # Standard library only: the tracker's side needs no web framework.
        from ._http import HTTPBackend

        return HTTPBackend(url, api_key)
    # Imported here so that the package (and the record types the tracker
    # needs in memory-only mode) loads without the database libraries.
    try:
        from ._sql import SQLBackend
    except ImportError as exc:
        raise ImportError(
            "SQLAlchemy 2 and psycopg 3 are needed for %s storage (pip install "
            "'sqlalchemy>=2.0' 'psycopg[binary]>=3.1'): %s" % (kind, exc)
        ) from exc

    return SQLBackend(url, kind)
