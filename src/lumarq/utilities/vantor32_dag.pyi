"""
VANTOR-32 DAG: operation-level lineage for tracked pandas pipelines.

Every operation on tracked data can be logged as a node of a computation DAG;
the graph behind any result value can be rebuilt, audited for protected sources
and exported as a dict, JSON text or Graphviz DOT text.
"""

import enum
import logging

import pandas

from lumarq.utilities._tracked_glue import cache as cat, cache as dt
import lumarq.utilities.vantor32
from lumarq.utilities.vantor32 import (
    OpCode as OpCode,
    ProvenanceTracker as ProvenanceTracker,
    TrackedDataFrame as TrackedDataFrame,
    TrackedSeries as TrackedSeries
)


from typing import Any, ClassVar, Dict, Iterable, List, Literal, Optional, Union
import pandas
import numpy
import numpy.typing

logger: logging.Logger = ...

MAX_PAIRS: int = 512

MODE_01_ENTITY_BITS: int = 8

MODE_01_CHAIN_BITS: int = 8

class NodeType(enum.Enum):
    """Types of nodes in the computation DAG."""

    SOURCE = 1
    """Types of nodes in the computation DAG."""

    CONSTANT = 2
    """Types of nodes in the computation DAG."""

    UNARY = 3
    """Types of nodes in the computation DAG."""

    BINARY = 4
    """Types of nodes in the computation DAG."""

    AGGREGATE = 5
    """Types of nodes in the computation DAG."""

    MERGE = 6
    """Types of nodes in the computation DAG."""

    FILTER = 7
    """Types of nodes in the computation DAG."""

    CUSTOM = 8
    """Types of nodes in the computation DAG."""

class DAGNode:
    """
    A node in the computation DAG.

    Represents either a source column (leaf node) or a computation step
    (internal node).
    """
    node_id: int
    node_type: NodeType
    operation: str
    inputs: List[int]
    provenance: int
    metadata: Dict[str, Any]
    table: Optional[str]
    column: Optional[str]
    pair_id: Optional[int]
    is_protected: bool
    __hash__: None  # type: ignore[assignment]
    def __init__(self, node_id: int, node_type: NodeType, operation: str, inputs: List[int], provenance: int, metadata: Dict[str, Any] = ..., table: Optional[str] = None, column: Optional[str] = None, pair_id: Optional[int] = None, is_protected: bool = False) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    @property
    def is_source(self) -> bool: ...
    @property
    def is_leaf(self) -> bool: ...
    def to_dict(self) -> Dict[str, Any]: ...

class DAGEdge:
    """An edge in the computation DAG."""
    source_id: int
    target_id: int
    input_index: int
    __hash__: None  # type: ignore[assignment]
    def __init__(self, source_id: int, target_id: int, input_index: int) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def to_dict(self) -> Dict[str, Any]: ...

class ComputationDAG:
    """
    Complete computation graph for a result value.

    Contains all nodes and edges needed to reconstruct how a value was derived
    from source data.
    """
    root_id: int
    nodes: Dict[int, DAGNode]
    edges: List[DAGEdge]
    __hash__: None  # type: ignore[assignment]
    def __init__(self, root_id: int, nodes: Dict[int, DAGNode], edges: List[DAGEdge]) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    @property
    def depth(self) -> int: ...
    @property
    def source_nodes(self) -> List[DAGNode]: ...
    @property
    def protected_sources(self) -> List[DAGNode]: ...
    @property
    def has_protected(self) -> bool: ...
    @property
    def operation_counts(self) -> Dict[str, int]: ...
    def column_taint_risks(self) -> Dict[str, float]: ...
    def to_dict(self) -> Dict[str, Any]: ...
    def to_json(self, indent: int = 2) -> str: ...
    def to_graphviz(self) -> str: ...
    def to_prov(self) -> Dict[str, Any]: ...

class DAGTracker(lumarq.utilities.vantor32.ProvenanceTracker):
    """
    Extended VANTOR-32 provenance tracker with full DAG reconstruction.

    Inherits all of the base tracker's behaviour (taint propagation, depth
    tracking, gradient risk scoring) and adds complete operation logging, DAG
    reconstruction from any provenance value, export, and optional persistence
    to storage.
    """

    def __init__(self, api_key: Optional[str] = None, tenant_id: Optional[str] = None, service_url: str = '', pipeline_name: Optional[str] = None, openlineage_url: Optional[str] = None) -> None: ...

    def __getstate__(self) -> Dict[str, Any]: ...

    def __setstate__(self, state: Dict[str, Any]) -> None: ...

    def enable_persistence(self) -> None:
        """
        Connect to the hosted storage, start a pipeline and an asynchronous writer.
        """

    def record_row_value(self, row_index: int, fingerprint: int, operation: str, value: Any = None, column_name: Optional[str] = None) -> None:
        """
        Record the value of one row at one node (buffered; handed to the writer in batches).
        """

    def get_persistence_stats(self) -> Optional[Dict[str, Any]]:
        """
        The writer's statistics plus the nodes and edges written in bulk, or None.
        """

    def persist_to_storage(self, storage: Any, pipeline_id: Optional[int] = None) -> int:
        """
        Write the source registry and the DAG to `storage` and complete the pipeline;
        returns the pipeline id used.
        """

    @staticmethod
    def persist_results(storage: Any, pipeline_id: int, row_keys: Iterable[Any], outputs: Union[Dict[str, DAGTrackedSeries], Dict[str, pandas.Series]], source_df: Optional[pandas.DataFrame] = None) -> None:
        """
        Write per-row result values of tracked output columns, with a hash of each
        input row when `source_df` is given.
        """

    def log_unary(self, op_name: str, input_node: int, result_prov: int, metadata: Optional[Dict[str, Any]] = None) -> int:
        """Log a unary operation and return the new node ID."""

    def log_binary(self, op_name: str, left_node: int, right_node: int, result_prov: int, metadata: Optional[Dict[str, Any]] = None) -> int:
        """Log a binary operation and return the new node ID."""

    def log_aggregate(self, op_name: str, input_nodes: List[int], result_prov: int, metadata: Optional[Dict[str, Any]] = None) -> int:
        """Log an aggregation and return the new node ID."""

    def get_node(self, node_id: int) -> Optional[DAGNode]:
        """Get a node by ID."""

    def get_nodes_for_provenance(self, provenance: int) -> List[DAGNode]:
        """Get all nodes that produced a given provenance value."""

    def get_dag(self, root_node_id: int) -> ComputationDAG:
        """Reconstruct the full computation DAG from a root node."""

    def dag_stats(self) -> Dict[str, Any]:
        """
        Get statistics about the DAG.

        "protected_sources" counts every stored node marked protected, operation nodes
        derived from a protected attribute included; "protected_source_nodes" counts the
        protected source columns only.
        """

    def __enter__(self) -> DAGTracker: ...

    def __exit__(self, exc_type: Any, exc_val: Any, exc_tb: Any) -> Literal[False]: ...

    def __del__(self) -> None: ...

    def disable_persistence(self) -> None:
        """Stop the writer, complete the pipeline and disconnect from storage."""

    def flush(self, timeout: float = 30.0) -> bool:
        """
        Hand buffered rows to the writer and wait for it; write the DAG and report to the
        dashboard once per pipeline. Returns True.
        """

    def report_fairness(self, df: pandas.DataFrame, outcome: str, protected: Union[str, List[str]], favorable: Any = 1, labels: Optional[str] = None, reference: Any = None, bins: Any = None, model: Optional[Dict[str, str]] = None) -> Dict[str, Any]:
        """
        Measure fairness of the decision `outcome` over the protected columns of `df`
        (lumarq.fairness_report), keep it with the column risk report of a tracked `df` and
        the given model fields, and send it with the next dashboard report.
        """

    def log_merge(self, left_nodes: List[int], right_nodes: List[int], result_prov: int, merge_type: str = "inner", metadata: Optional[Dict[str, Any]] = None) -> int:
        """Log a merge operation and return the new node ID."""

    def create_source_node(self, table: str, column: str, provenance: int) -> int:
        """
        Create (or return the existing) source node for a (table, column) pair.
        """

    def get_dag_for_provenance(self, provenance: int) -> Optional[ComputationDAG]:
        """
        Reconstruct the DAG for the newest node that produced a provenance value.
        """

    def to_prov(self, pipeline: Union[str, int, None] = None) -> Dict[str, Any]:
        """
        Export every tracked node as a W3C PROV-JSON document (a dict); `pipeline`
        names the pipeline agent instead of the tracker's own pipeline.
        """

    def to_openlineage(self, namespace: str, job_name: str, run_id: Optional[str] = None, outputs: Optional[Dict[str, Any]] = None) -> List[Dict[str, Any]]:
        """
        The START and COMPLETE OpenLineage run events of the tracked computation, as dicts
        (needs the openlineage extra).
        """

class DAGTrackedSeries(pandas.Series):
    """Pandas Series with DAG-tracked provenance."""

    def __init__(self, *args: Any, _prov: Optional[numpy.typing.NDArray[numpy.uint32]] = None, _tracker: Optional[DAGTracker] = None, _node_ids: Optional[numpy.typing.NDArray[numpy.int64]] = None, **kwargs: Any) -> None: ...
    _prov: numpy.typing.NDArray[numpy.uint32]
    _tracker: Optional[DAGTracker]
    _node_ids: numpy.typing.NDArray[numpy.int64]

    def __sub__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __mul__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __truediv__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __floordiv__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __pow__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __rsub__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __rmul__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __rtruediv__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __gt__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __lt__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __ge__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __le__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __eq__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __ne__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __mod__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __rmod__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __rfloordiv__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __rpow__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __and__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __or__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __xor__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __rand__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __ror__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __rxor__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __neg__(self) -> DAGTrackedSeries: ...  # type: ignore[misc,unused-ignore]

    def clip(self, lower: Any = None, upper: Any = None, **kwargs: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def fillna(self, value: Any = 0, **kwargs: Any) -> Optional[DAGTrackedSeries]: ...  # type: ignore[override,unused-ignore]

    def replace(self, *args: Any, **kwargs: Any) -> Optional[DAGTrackedSeries]: ...  # type: ignore[override,unused-ignore]

    @property
    def iloc(self) -> Any: ...  # type: ignore[override,unused-ignore]

    @property
    @dt.setter
    @property
    @cat.setter
    def __finalize__(self, other: Any, method: Optional[str] = None, **kwargs: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def combine_first(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __add__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __radd__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __divmod__(self, other: Any) -> tuple[DAGTrackedSeries, DAGTrackedSeries]: ...  # type: ignore[override,unused-ignore]

    def __rdivmod__(self, other: Any) -> tuple[DAGTrackedSeries, DAGTrackedSeries]: ...  # type: ignore[override,unused-ignore]

    def update(self, other):
        """
        pandas writes `other`'s values over this Series' in place, by label, without `_where`
            (whose words the assignment glue places): every row takes `other`'s words too, as
            combine_first gives them (a row kept its value because `other` had none there).
        """

    def isin(self, values): ...

    def where(self, cond: Any, other: Any = ..., *, inplace: bool = False, **kwargs: Any) -> Optional[DAGTrackedSeries]: ...  # type: ignore[override,unused-ignore]

    def mask(self, cond: Any, other: Any = ..., *, inplace: bool = False, **kwargs: Any) -> Optional[DAGTrackedSeries]: ...  # type: ignore[override,unused-ignore]

    def case_when(self, caselist: Any) -> DAGTrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __getstate__(self) -> Dict[str, Any]: ...

    def __setstate__(self, state: Dict[str, Any]) -> None: ...

    def __iadd__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[misc,override,unused-ignore]

    def __isub__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[misc,override,unused-ignore]

    def __imul__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[misc,override,unused-ignore]

    def __itruediv__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[misc,override,unused-ignore]

    def __ifloordiv__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[misc,override,unused-ignore]

    def __ipow__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[misc,override,unused-ignore]

    def __imod__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[misc,override,unused-ignore]

    def __iand__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[misc,override,unused-ignore]

    def __ior__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[misc,override,unused-ignore]

    def __ixor__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[misc,override,unused-ignore]

    def groupby(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[misc,override,unused-ignore]

    def rolling(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[misc,override,unused-ignore]

    def expanding(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[misc,override,unused-ignore]

    def ewm(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[misc,override,unused-ignore]

    def resample(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[misc,override,unused-ignore]

    __hash__: ClassVar[None]  # type: ignore[assignment,unused-ignore]

class DAGTrackedDataFrame(pandas.DataFrame):
    """Pandas DataFrame with DAG-tracked provenance."""

    def __init__(self, *args: Any, _tracker: Optional[DAGTracker] = None, _col_prov: Optional[Dict[Any, numpy.typing.NDArray[numpy.uint32]]] = None, _col_nodes: Optional[Dict[Any, numpy.typing.NDArray[numpy.int64]]] = None, **kwargs: Any) -> None: ...
    _tracker: Optional[DAGTracker]
    _col_prov: Dict[Any, numpy.typing.NDArray[numpy.uint32]]
    _col_nodes: Dict[Any, numpy.typing.NDArray[numpy.int64]]

    def __finalize__(self, other: Any, method: Optional[str] = None, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,unused-ignore]

    def __getitem__(self, key: Any) -> Any: ...  # type: ignore[override,unused-ignore]

    def __setitem__(self, key: Any, value: Any) -> None: ...

    def _merge_col_provenance(self, col_prov: Dict[Any, numpy.typing.NDArray[numpy.uint32]], col_nodes: Dict[Any, numpy.typing.NDArray[numpy.int64]], result_columns: Any, n: int, out_prov: Dict[Any, numpy.typing.NDArray[numpy.uint32]], out_nodes: Dict[Any, numpy.typing.NDArray[numpy.int64]]) -> None: ...

    def merge(self, right: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,unused-ignore]

    @property
    def iloc(self) -> Any: ...  # type: ignore[override,unused-ignore]

    @property
    def columns(self) -> pandas.Index: ...  # type: ignore[override,unused-ignore]
    @columns.setter
    def columns(self, labels: Any) -> None: ...

    def rename(self, *args: Any, **kwargs: Any) -> Optional[DAGTrackedDataFrame]: ...  # type: ignore[override,unused-ignore]

    def insert(self, loc: int, column: Any, value: Any, *args: Any, **kwargs: Any) -> None: ...  # type: ignore[override,unused-ignore]

    def combine_first(self, other):
        """
        A frame's combine_first: each column both have unites the two sides' words, as the
            Series' does (the cells taken from `other` kept this frame's words); a column only
            `other` has takes its words.
        """

    def update(self, other, *args, **kwargs):
        """
        A frame's update writes `other`'s values into each column both have, where they are not
            missing, in place: every row of such a column unites `other`'s words of that column (as
            the Series' update gives them), whether or not its value was replaced: pandas' own steps
            carried them into the replaced rows on one pandas version and into none on the other.
            A column without words stays untracked; changed columns drop their node ids.
        """

    def where(self, cond: Any, other: Any = ..., **kwargs: Any) -> Optional[DAGTrackedDataFrame]: ...  # type: ignore[override,unused-ignore]

    def mask(self, cond: Any, other: Any = ..., **kwargs: Any) -> Optional[DAGTrackedDataFrame]: ...  # type: ignore[override,unused-ignore]

    def rank(self, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,unused-ignore]

    def clip(self, lower=None, upper=None, **kwargs):
        """
        pandas clips a frame through `where`, as its own step, so a tracked bound's words were
            never counted: every cell takes them, as the Series' clip gives them (each value was chosen
            by comparing it with its bound). A Series bound along the rows gives each row its own
            word; a frame bound each column its column's. Changed columns drop their node ids.
        """

    def isin(self, values): ...

    def apply(self, func, axis=0, *args, **kwargs):
        """
        apply(axis=1) hands `func` whole rows: every column of a frame result unites the words of
            every column of the row, as a Series result does (pandas builds the frame from the rows'
            results, and its new columns had no words, so a value computed from age read clean).
        """

    def groupby(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[misc,override,unused-ignore]

    def rolling(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[misc,override,unused-ignore]

    def expanding(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[misc,override,unused-ignore]

    def ewm(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[misc,override,unused-ignore]

    def resample(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[misc,override,unused-ignore]

    def __add__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __sub__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __mul__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __truediv__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __floordiv__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __mod__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __pow__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __and__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __or__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __xor__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __eq__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __ne__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __lt__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __le__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __gt__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __ge__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __radd__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __rsub__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __rmul__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __rtruediv__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __rfloordiv__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __rmod__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __rpow__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __rand__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __ror__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __rxor__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __iadd__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __isub__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __imul__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __itruediv__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __ifloordiv__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __imod__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __ipow__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __iand__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __ior__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __ixor__(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def add(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def sub(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def mul(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def div(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def truediv(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def floordiv(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def mod(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def pow(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def radd(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def rsub(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def rmul(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def rdiv(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def rtruediv(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def rfloordiv(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def rmod(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def rpow(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def eq(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def ne(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def lt(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def le(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def gt(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def ge(self, other: Any, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    __hash__: ClassVar[None]  # type: ignore[assignment,unused-ignore]

def wrap_dataframe_dag(df: pandas.DataFrame, tracker: DAGTracker, table: str, protected: Union[bool, Iterable[Any]] = False, include_entity: bool = True) -> DAGTrackedDataFrame:
    """
    Wrap a DataFrame with DAG-tracked provenance: one source pair and one SOURCE node per
    column, one provenance value and one recorded value per cell.
    """

def combine_provenances(tracker: DAGTracker, node_ids: Iterable[int], op_code: Optional[int] = None) -> int:
    """
    Fold the provenance values of several graph nodes into one (unknown ids are skipped).
    """

def get_dag_for_series(series: DAGTrackedSeries, row_index: int = 0) -> Optional[ComputationDAG]:
    """
    Reconstruct the computation DAG behind one row of a DAGTrackedSeries (None when the
    row has no node).
    """

def dag_audit(series: DAGTrackedSeries, row_index: int = 0) -> Dict[str, Any]:
    """Explain one row's provenance value and summarise its computation DAG."""
