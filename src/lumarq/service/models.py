"""Request and response bodies of the provenance service's HTTP API.

Bulk records travel as JSON arrays in the field order of the storage records
(`StoredNode`, `StoredEdge`, `StoredRowValue`, result rows): a 100,000-row
batch is then about half the size of the same rows as objects, and validates
twice as fast. Numbers that JSON cannot carry (NaN, infinities) travel in the
value fields as the texts "NaN", "Infinity" and "-Infinity".
"""

from __future__ import annotations

from typing import Annotated, Any, Dict, List, Literal, Optional, Tuple, Union

from pydantic import AfterValidator, BaseModel, ConfigDict, Field, StrictBool, StrictFloat, StrictInt, StrictStr

from lumarq.utilities.persistence._jsonutil import NON_FINITE

INT64_MAX = 2**63 - 1
INT32_MAX = 2**31 - 1

Int64 = Annotated[StrictInt, Field(ge=-INT64_MAX - 1, le=INT64_MAX)]
Id = Annotated[StrictInt, Field(ge=0, le=INT64_MAX, description="a stored id (0 for rows recorded before any pipeline)")]
Count = Annotated[StrictInt, Field(ge=0, le=INT64_MAX)]
Position = Annotated[StrictInt, Field(ge=0, le=INT32_MAX)]
PairId = Annotated[StrictInt, Field(ge=-INT32_MAX - 1, le=INT32_MAX)]
Text = StrictStr
BatchId = Annotated[
    StrictStr,
    Field(min_length=1, max_length=200, pattern=r"^[A-Za-z0-9._:-]+$",
          description="client-chosen id; a request whose id was applied before is not applied again"),
]


def _to_float(value: Union[int, float, str]) -> float:
    if isinstance(value, str):
        return NON_FINITE[value]
    try:
        return float(value)
    except OverflowError:
        raise ValueError("number too large for a double") from None


Number = Annotated[
    Union[StrictFloat, StrictInt, Literal["NaN", "Infinity", "-Infinity"]],
    AfterValidator(_to_float),
]

SourceWire = Tuple[Optional[PairId], Text, Text, StrictBool]
NodeWire = Tuple[
    Int64,  # fingerprint
    Text,  # node_type
    Optional[Text],  # operation
    Optional[Text],  # table_name
    Optional[Text],  # column_name
    Optional[PairId],  # pair_id
    StrictBool,  # is_protected
    Optional[Int64],  # entity_hash
    Optional[Int64],  # chain_hash
    Optional[Any],  # metadata
    Id,  # pipeline_id
]
EdgeWire = Tuple[Int64, Int64, Position]  # parent fingerprint, child fingerprint, input position
ResolvedEdgeWire = Tuple[Id, Id, Position]  # parent node id, child node id, input position
RowValueWire = Tuple[
    Id,  # pipeline_id
    Int64,  # row_index
    Int64,  # fingerprint
    Optional[Text],  # node_operation
    Optional[Number],  # value
    Optional[Text],  # column_name
    Optional[Text],  # tenant_id (ignored: the key's tenant is used)
    Optional[Text],  # text_value
]
ResultWire = Tuple[Text, Text, Int64, Optional[Number], Optional[Text]]


class _In(BaseModel):
    model_config = ConfigDict(extra="forbid")


# -- storage writes ---------------------------------------------------------------


class PipelineIn(_In):
    name: Text = Field(description="human name of the pipeline")
    config: Optional[Dict[str, Any]] = None
    git_commit: Optional[Text] = None
    tenant_id: Optional[Text] = Field(None, description="ignored: pipelines belong to the API key's tenant")


class PipelineCreated(BaseModel):
    id: int


class CompleteIn(_In):
    status: Literal["completed", "failed"]


class PipelineStatusOut(BaseModel):
    id: int
    status: str = Field(description='the status now stored (a "failed" pipeline stays failed)')


class SourcesIn(_In):
    sources: List[SourceWire] = Field(description="[pair_id, table, column, is_protected] rows")


class NodesIn(_In):
    nodes: List[NodeWire] = Field(
        description="[fingerprint, node_type, operation, table_name, column_name, pair_id, is_protected, "
        "entity_hash, chain_hash, metadata, pipeline_id] rows; a fingerprint already stored in its pipeline "
        "keeps its first record"
    )


class ResolvedEdgesIn(_In):
    edges: List[ResolvedEdgeWire] = Field(
        description="[parent node id, child node id, input position] rows; duplicates and ids of other "
        "tenants or across pipelines are skipped"
    )


class EdgesIn(_In):
    edges: List[EdgeWire] = Field(description="[parent fingerprint, child fingerprint, input position] rows")


class RowValuesIn(_In):
    batch_id: Optional[BatchId] = None
    row_values: List[RowValueWire] = Field(
        description="[pipeline_id, row_index, fingerprint, node_operation, value, column_name, tenant_id, "
        "text_value] rows; tenant_id is ignored"
    )


class ResultsIn(_In):
    batch_id: Optional[BatchId] = None
    results: List[ResultWire] = Field(
        description="[row key, output name, fingerprint, value, input-row hash] rows"
    )


class EdgeGroup(_In):
    pipeline_id: Id
    edges: List[EdgeWire]


class BatchIn(_In):
    """What one transaction of the background writer holds."""

    batch_id: Optional[BatchId] = None
    sources: List[SourceWire] = Field(default_factory=list)
    nodes: List[NodeWire] = Field(default_factory=list)
    edges: List[EdgeGroup] = Field(default_factory=list, description="edges by fingerprint, per pipeline")
    row_values: List[List[RowValueWire]] = Field(default_factory=list, description="lists of row-value rows")
    lost: List[Tuple[Id, Count]] = Field(
        default_factory=list, description="(pipeline id, records) the writer gave up, added to those pipelines")


class InsertedOut(BaseModel):
    inserted: int = Field(description="records newly stored")


class EdgesStoredOut(BaseModel):
    resolved: int
    unresolved: int = Field(description="edges whose endpoints are not stored in the pipeline (not stored)")


class BatchOut(BaseModel):
    edges_unresolved: int
    duplicate: bool = Field(description="the batch id was applied before; nothing was written now")


# -- storage reads ------------------------------------------------------------------


class AuthOut(BaseModel):
    tenant_id: str
    key_id: str
    max_body_bytes: int
    max_report_bytes: int = Field(1024 * 1024, description="largest dashboard report accepted")
    api_version: str
    schema_version: int
    column_body_version: int = Field(1, description="version of the column body POST /v1/columns reads")


class FingerprintMapOut(BaseModel):
    pipeline_id: int
    pairs: List[Tuple[int, int]] = Field(description="[fingerprint, stored node id] pairs")


class SourceOut(BaseModel):
    pair_id: Optional[int]
    table_name: str
    column_name: str
    is_protected: bool
    registered_at: Optional[str]


class NodeOut(BaseModel):
    id: int
    pipeline_id: int
    fingerprint: int
    node_type: str
    operation: Optional[str]
    table_name: Optional[str]
    column_name: Optional[str]
    pair_id: Optional[int]
    is_protected: bool
    entity_hash: Optional[int]
    chain_hash: Optional[int]
    metadata: Optional[Any]


class EdgeOut(BaseModel):
    id: int
    parent_node_id: int
    child_node_id: int
    parent_fingerprint: int
    child_fingerprint: int
    input_position: int


class RowValuesOut(BaseModel):
    pipeline_id: int
    offset: int
    row_values: List[RowValueWire]


class ResultsOut(BaseModel):
    pipeline_id: int
    offset: int
    results: List[ResultWire]


class CountOut(BaseModel):
    count: int


# -- dashboard report ------------------------------------------------------------------


class _Report(BaseModel):
    # Members beyond those listed are kept with the report.
    model_config = ConfigDict(extra="allow", protected_namespaces=())


class ReportPipeline(_Report):
    pipeline_name: Text
    status: Text
    node_count: Count
    edge_count: Count
    provenance_pipeline_id: Optional[Id] = Field(
        description="the storage pipeline the report is about; null when there is none"
    )


class ReportModel(_Report):
    model_id: Text
    name: Text
    version: Text
    status: Text
    domain: Text


class FairnessDetails(_Report):
    node_count: Count
    edge_count: Count
    protected_sources: List[Text]


class Fairness(_Report):
    model_id: Text
    has_disparate_impact: StrictBool
    protected_attributes: List[Text]
    details: FairnessDetails


class DashboardReport(_Report):
    """The pipeline report a tracker posts when it flushes."""

    pipeline: ReportPipeline
    model: ReportModel
    fairness: Fairness


class ReportStoredOut(BaseModel):
    report_id: int
    pipeline_id: Optional[int] = Field(description="the pipeline the report was linked to, or null")


class FairnessOut(BaseModel):
    """The fairness record of a pipeline's latest report."""

    report_id: int
    received_at: str
    model_id: str
    has_disparate_impact: bool
    protected_attributes: List[str]
    protected_sources: List[str]


class PipelineOut(BaseModel):
    id: int
    tenant_id: str
    name: str
    status: str
    config: Optional[Dict[str, Any]]
    git_commit: Optional[str]
    created_at: Optional[str]
    completed_at: Optional[str]
    node_count: int = Field(description="nodes stored for the pipeline")
    edge_count: int = Field(description="edges stored for the pipeline")
    lost_records: int = Field(0, description="records its writers gave up (never shown as a clean completion)")
    last_write_at: Optional[str] = Field(None, description="when the pipeline was last written to")
    stored_status: str = Field("", description='the status as recorded; `status` shows "stalled" and '
                                               '"completed_with_losses" where they apply')
    fairness: Optional[FairnessOut] = Field(description="from the latest report; null before any report")


class ReportOut(BaseModel):
    id: int
    pipeline_id: Optional[int]
    received_at: str
    payload: Dict[str, Any] = Field(description="the report as received")


class PipelineDetailOut(PipelineOut):
    report: Optional[ReportOut] = Field(description="the latest report, whole; null before any report")


class ReportsOut(BaseModel):
    reports: List[ReportOut]


class ReportSummaryOut(BaseModel):
    id: int
    pipeline_id: Optional[int]
    received_at: str
    pipeline_name: str
    status: str
    node_count: int
    edge_count: int
    model_id: str
    has_disparate_impact: bool
    protected_attributes: List[str]
    size: int = Field(description="bytes of the whole report (GET /v1/dashboard/reports/{id})")


class ReportPageOut(BaseModel):
    reports: List[ReportSummaryOut] = Field(description="newest first")
    next_before: Optional[int] = Field(description="pass as `before` for the next page; null on the last page")


class DagNodeOut(BaseModel):
    id: int
    fingerprint: int
    fingerprint_hex: str = Field(description='"0x" and 8 upper-case hexadecimal digits')
    node_type: str
    operation: Optional[str]
    table: Optional[str]
    column: Optional[str]
    pair_id: Optional[int]
    is_protected: bool
    level: int = Field(description="0 for nodes without stored parents (sources), else 1 + the highest parent level")


class DagEdgeOut(BaseModel):
    parent: int
    child: int
    position: int


class DagOut(BaseModel):
    pipeline_id: int
    nodes: List[DagNodeOut]
    edges: List[DagEdgeOut]
    truncated: bool = Field(description="max_nodes cut the graph (edges are those between the nodes returned)")


class LineageBoxOut(BaseModel):
    id: int
    kind: str = Field(description='"source", "protected" (a protected source), "column" or "operation"')
    label: Optional[str]
    table: Optional[str]
    column: Optional[str]
    operation: Optional[str]
    node_count: int = Field(description="stored row-level nodes behind the box")
    row_values: int = Field(description="row values stored for the box's nodes (0 without persistence of rows)")
    is_protected: bool = Field(description="a node behind the box derives from protected data")
    level: int


class LineageOut(BaseModel):
    pipeline_id: int
    stored_nodes: int
    nodes: List[LineageBoxOut]
    edges: List[DagEdgeOut]


class RowDagNodeOut(DagNodeOut):
    value: Any = Field(None, description="the row's value at this node, when stored")
    has_value: bool
    no_value_reason: Optional[str] = Field(
        None, description="on a source whose table's row numbers are not this row's (its rows were merged "
        "in, filtered or concatenated): why no value is shown; null otherwise")


class RowDagOut(BaseModel):
    pipeline_id: int
    row: int
    row_values: int = Field(description="values stored for the row; 0 when none were recorded")
    nodes: List[RowDagNodeOut]
    edges: List[DagEdgeOut]
    truncated: bool


class ErrorOut(BaseModel):
    detail: Any


class HealthOut(BaseModel):
    status: str
