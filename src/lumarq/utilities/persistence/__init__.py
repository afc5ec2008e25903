"""Storage of provenance: pipelines, DAG nodes and edges, row values, results.

`HostedStorage` opens the store named by its URL (SQLite file or memory
database, PostgreSQL, later the hosted service); `AsyncWriter` feeds it from
a background thread.
"""

from ._records import StoredEdge, StoredNode, StoredRowValue
from ._columns import GraphColumns, ResultColumns, RowValueColumns
from ._backend import UnknownPipelineError
from ._urls import mask_url
from ._writer import AsyncWriter, WriterConfig
from .storage import HostedStorage

__all__ = [
    "AsyncWriter",
    "GraphColumns",
    "HostedStorage",
    "ResultColumns",
    "RowValueColumns",
    "StoredEdge",
    "StoredNode",
    "StoredRowValue",
    "UnknownPipelineError",
    "WriterConfig",
    "mask_url",
]
