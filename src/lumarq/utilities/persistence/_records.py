"""Record types exchanged between the tracker, the writer and the stores."""

from __future__ import annotations

from typing import Any, NamedTuple, Optional


class StoredNode(NamedTuple):
    """One DAG node; unique per (pipeline, fingerprint) once stored."""

    fingerprint: int
    node_type: str
    operation: str
    table_name: Optional[str]
    column_name: Optional[str]
    pair_id: Optional[int]
    is_protected: bool
    entity_hash: Optional[int] = None
    chain_hash: Optional[int] = None
    metadata: Optional[Any] = None
    pipeline_id: Optional[int] = None


class StoredEdge(NamedTuple):
    """An edge given by the fingerprints of its endpoints."""

    parent_fingerprint: int
    child_fingerprint: int
    input_position: int


class StoredRowValue(NamedTuple):
    """The value of one row at one node.

    Native code builds these with ``tuple.__new__(cls, values)`` after
    checking ``_fields``: the field names and their order are an interface.
    """

    pipeline_id: int
    row_index: int
    fingerprint: int
    node_operation: str
    value: Optional[float]
    column_name: Optional[str]
    tenant_id: Optional[str]
    text_value: Optional[str]

