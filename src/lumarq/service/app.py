"""The HTTP API of the provenance service (FastAPI).

Storage endpoints mirror the storage component's backend calls, so that
`HostedStorage` with an ``http(s)://`` URL persists through the service; the
dashboard report of a tracker arrives at ``POST /v1/dashboard/sync``; read
endpoints feed the dashboard page served at ``/`` (see page.py). Every
endpoint under ``/v1`` needs a bearer API key; the key's tenant is the only
tenant a request can read or write.

One request is one database transaction: a rejected request stores nothing.
"""

from __future__ import annotations

import datetime as _dt
import itertools
import logging
import math
from typing import Any, AsyncIterator, Dict, List, Optional, Tuple

from fastapi import Depends, FastAPI, Path, Query, Request
from fastapi.concurrency import run_in_threadpool
from fastapi.exceptions import RequestValidationError
from fastapi.responses import JSONResponse, Response
from fastapi.security import HTTPAuthorizationCredentials, HTTPBearer
from pydantic import TypeAdapter, ValidationError
from sqlalchemy.exc import DataError, IntegrityError, OperationalError, SQLAlchemyError
from starlette.exceptions import HTTPException as StarletteHTTPException
from starlette.requests import ClientDisconnect

from lumarq import __version__
from lumarq.utilities.persistence import _colwire
from lumarq.utilities.persistence import _schema as S
from lumarq.utilities.persistence._backend import UnknownPipelineError
from lumarq.utilities.persistence._jsonutil import dumps_bytes, non_finite_text

from . import models as M
from . import lineage, page
from .limits import BAD_KEY, MISSING_KEY, Guard, InflightBytes, RateLimitedLog, ServiceLimits
from .store import ServiceStore

logger = logging.getLogger("lumarq.service")
_warn = RateLimitedLog(logger)

API_VERSION = "1"
DEFAULT_MAX_BODY_BYTES = 32 * 1024 * 1024
# Rows per page of the row-value and result reads.
MAX_PAGE = 100_000
# Applied batch ids are kept this long (a retry comes within seconds).
BATCH_ID_RETENTION = _dt.timedelta(days=1)

_INT64_MAX = M.INT64_MAX
# Bodies up to this size are validated on the event loop (well under a
# millisecond); larger ones on a worker thread, so the loop keeps serving.
_INLINE_PARSE_BYTES = 64 * 1024
PipelineId = Path(..., ge=1, le=_INT64_MAX, description="a pipeline id of the key's tenant")
# Report listings are summaries, a page at a time; a whole report is fetched by id.
MAX_REPORT_PAGE = 1000
ReportPage = Query(100, ge=1, le=MAX_REPORT_PAGE, description="summaries per page")
Before = Query(None, ge=1, le=_INT64_MAX, description="only reports with a smaller id (the previous page's next_before)")


class Principal:
    __slots__ = ("tenant", "key_id")

    def __init__(self, tenant: str, key_id: str):
        self.tenant = tenant
        self.key_id = key_id


class ApiError(Exception):
    def __init__(self, status: int, detail: str, headers: Optional[Dict[str, str]] = None):
        super().__init__(detail)
        self.status = status
        self.detail = detail
        self.headers = headers


def _error(status: int, detail: Any, headers: Optional[Dict[str, str]] = None, **extra: Any) -> JSONResponse:
    return JSONResponse({"detail": detail, **extra}, status_code=status, headers=headers)


def _wire_number(v: Any) -> Any:
    if isinstance(v, float) and not math.isfinite(v):
        return non_finite_text(v)
    return v


def _found(got: Any, pipeline_id: int) -> Response:
    """`got` as JSON; None means the pipeline is not the tenant's (404)."""
    if got is None:
        raise UnknownPipelineError("unknown pipeline id for this tenant: %d" % pipeline_id)
    return _json(got)


def _json(data: Any, status: int = 200) -> Response:
    return Response(dumps_bytes(data), status_code=status, media_type="application/json")


def _validation_detail(exc: RequestValidationError) -> Tuple[str, List[Dict[str, str]]]:
    errors = []
    for err in exc.errors()[:20]:
        loc = ".".join(str(p) for p in err.get("loc", ()))
        errors.append({"loc": loc, "msg": str(err.get("msg", ""))[:300], "type": str(err.get("type", ""))})
    first = errors[0] if errors else {"loc": "", "msg": "invalid request"}
    more = len(exc.errors()) - 1
    text = "Invalid request: %s: %s" % (first["loc"] or "body", first["msg"])
    if more > 0:
        text += " (and %d more error%s)" % (more, "s" if more > 1 else "")
    return text, errors


def _is_json(content_type: str) -> bool:
    media = content_type.split(";", 1)[0].strip().lower()
    return media == "application/json" or (media.startswith("application/") and media.endswith("+json"))


class _Bodies:
    """Request bodies parsed and validated in one pass from the raw bytes.

    FastAPI's own body handling parses the JSON into Python objects and then
    validates those: for a 100,000-row batch that took three times as long
    as pydantic's validation straight from the bytes. The models still
    appear in the OpenAPI document (`document`).
    """

    def __init__(self) -> None:
        self.models: Dict[str, type] = {}

    def __call__(self, model: type) -> Any:
        adapter = TypeAdapter(model)
        self.models[model.__name__] = model

        async def parse(request: Request) -> Any:
            content_type = request.headers.get("content-type")
            if content_type and not _is_json(content_type):
                raise ApiError(415, "The body must be JSON (Content-Type: application/json)")
            raw = await request.body()
            if not raw.strip():
                raise RequestValidationError([{"type": "missing", "loc": ("body",), "msg": "Field required"}])
            try:
                if len(raw) <= _INLINE_PARSE_BYTES:
                    return adapter.validate_json(raw)
                return await run_in_threadpool(adapter.validate_json, raw)
            except ValidationError as exc:
                raise RequestValidationError(
                    [{**e, "loc": ("body", *e["loc"])} for e in exc.errors(include_url=False, include_input=False)]
                ) from None

        return Depends(parse)

    @staticmethod
    def extra(model: type) -> Dict[str, Any]:
        ref = {"$ref": "#/components/schemas/%s" % model.__name__}
        return {"requestBody": {"required": True, "content": {"application/json": {"schema": ref}}}}

    def document(self, app: FastAPI) -> None:
        plain_openapi = app.openapi

        def openapi() -> Dict[str, Any]:
            if app.openapi_schema is None:
                doc = plain_openapi()
                schemas = doc.setdefault("components", {}).setdefault("schemas", {})
                for name, model in self.models.items():
                    schema = TypeAdapter(model).json_schema(ref_template="#/components/schemas/{model}")
                    for inner, definition in schema.pop("$defs", {}).items():
                        schemas.setdefault(inner, definition)
                    schemas[name] = schema
                app.openapi_schema = doc
            return app.openapi_schema

        app.openapi = openapi  # type: ignore[method-assign]


def create_app(store: ServiceStore, max_body_bytes: int = DEFAULT_MAX_BODY_BYTES, *,
               limits: Optional[ServiceLimits] = None) -> FastAPI:
    """The ASGI application over a connected `store`; `limits` default to
    `ServiceLimits` with the given `max_body_bytes`."""
    if limits is None:
        max_body_bytes = int(max_body_bytes)
        if max_body_bytes < 1024:
            raise ValueError("max_body_bytes must be at least 1024")
        limits = ServiceLimits(max_body_bytes=max_body_bytes,
                               max_inflight_bytes=max(ServiceLimits.max_inflight_bytes, 2 * max_body_bytes))
    max_body_bytes = int(limits.max_body_bytes)
    app = FastAPI(
        title="lumarq provenance service",
        version=__version__,
        description=(
            "Storage of provenance (pipelines, sources, DAG nodes and edges, row values, results), "
            "pipeline reports and the reads of a dashboard. Every /v1 endpoint needs an API key "
            "(`lumarq keys create --tenant T`) sent as `Authorization: Bearer <key>`; the key's "
            "tenant is the only tenant a request reads or writes. Bulk records are JSON arrays in "
            "the field order of the storage records; NaN and infinities travel as the texts "
            '"NaN", "Infinity" and "-Infinity".'
        ),
        # The interactive documentation pages load scripts from the network;
        # the machine-readable document is served at /openapi.json.
        docs_url=None,
        redoc_url=None,
    )
    app.state.store = store
    app.state.max_body_bytes = max_body_bytes
    app.state.limits = limits
    app.state.inflight = InflightBytes(limits.max_inflight_bytes)
    store.stall_after_s = float(limits.stall_after_s)

    async def authenticate(key: str) -> Optional[Tuple[str, str]]:
        return await run_in_threadpool(store.authenticate, key)

    app.add_middleware(Guard, limits=limits, authenticate=authenticate, inflight=app.state.inflight)
    batch_counter = itertools.count(1)
    bodies = _Bodies()

    bearer = HTTPBearer(
        auto_error=False,
        scheme_name="apiKey",
        bearerFormat="lmq key",
        description="An API key made with `lumarq keys create`; it names the tenant.",
    )

    def principal(request: Request,
                  credentials: Optional[HTTPAuthorizationCredentials] = Depends(bearer)) -> Principal:
        found = request.scope.get("lumarq.principal")  # set by Guard, before the body was read
        if found is not None:
            return Principal(*found)
        if credentials is None or not credentials.credentials:
            raise ApiError(401, MISSING_KEY, {"WWW-Authenticate": "Bearer"})
        found = store.authenticate(credentials.credentials)
        if found is None:
            raise ApiError(401, BAD_KEY, {"WWW-Authenticate": 'Bearer error="invalid_token"'})
        return Principal(*found)

    errors = {
        401: {"model": M.ErrorOut, "description": "missing, invalid or revoked API key"},
        404: {"model": M.ErrorOut, "description": "no such pipeline for this tenant"},
        413: {"model": M.ErrorOut, "description": "request body over the size limit"},
        422: {"model": M.ErrorOut, "description": "invalid request; nothing was stored"},
        503: {"model": M.ErrorOut, "description": "busy or database unavailable; retry after `Retry-After`"},
    }
    read_errors = {k: v for k, v in errors.items() if k in (401, 404, 422)}

    # -- error handling -----------------------------------------------------------

    @app.exception_handler(ApiError)
    async def _api_error(request: Request, exc: ApiError) -> JSONResponse:
        return _error(exc.status, exc.detail, exc.headers)

    @app.exception_handler(RequestValidationError)
    async def _invalid(request: Request, exc: RequestValidationError) -> JSONResponse:
        # The default answer echoes the offending input, which may be a
        # large part of a batch.
        text, details = _validation_detail(exc)
        return _error(422, text, errors=details)

    @app.exception_handler(StarletteHTTPException)
    async def _http_error(request: Request, exc: StarletteHTTPException) -> JSONResponse:
        return _error(exc.status_code, exc.detail, getattr(exc, "headers", None))

    @app.exception_handler(UnknownPipelineError)
    async def _unknown(request: Request, exc: UnknownPipelineError) -> JSONResponse:
        return _error(404, str(exc))

    @app.exception_handler(ValueError)
    @app.exception_handler(TypeError)
    async def _rejected(request: Request, exc: Exception) -> JSONResponse:
        return _error(422, "Invalid request: %s" % store.scrub(str(exc)))

    @app.exception_handler(SQLAlchemyError)
    async def _database(request: Request, exc: Exception) -> JSONResponse:
        text = store.describe_error(exc)
        if isinstance(exc, (DataError, IntegrityError)):
            return _error(422, "The database refused the data: %s" % text)
        if isinstance(exc, OperationalError):
            _warn.warning("database", "Database unavailable: %s", text)
            return _error(503, "The database is unavailable; try again later")
        logger.error("Database error: %s", text)
        return _error(500, "Internal server error")

    @app.exception_handler(ClientDisconnect)
    async def _gone(request: Request, exc: ClientDisconnect) -> JSONResponse:
        # The client left (or was closed for pausing) before its body was in: no fault of
        # the service, and one error line per such connection would let anyone flood the log.
        return _error(400, "The connection closed before the request body arrived")

    @app.exception_handler(Exception)
    async def _failed(request: Request, exc: Exception) -> JSONResponse:
        logger.error("Request failed: %s", store.describe_error(exc))
        return _error(500, "Internal server error")

    # -- service ---------------------------------------------------------------------

    @app.get("/healthz", response_model=M.HealthOut, tags=["service"], summary="Liveness (no key needed)")
    def healthz() -> Dict[str, str]:
        return {"status": "ok"}

    @app.get("/v1/auth", response_model=M.AuthOut, responses={401: errors[401]}, tags=["service"],
             summary="Check the API key; the key's tenant and the service's limits")
    def auth(who: Principal = Depends(principal)) -> Dict[str, Any]:
        return {
            "tenant_id": who.tenant,
            "key_id": who.key_id,
            "max_body_bytes": max_body_bytes,
            "max_report_bytes": int(limits.max_report_bytes),
            "api_version": API_VERSION,
            "schema_version": S.SCHEMA_VERSION,
            "column_body_version": _colwire.VERSION,
        }

    # -- pipelines ----------------------------------------------------------------------

    @app.post("/v1/pipelines", status_code=201, response_model=M.PipelineCreated, responses=errors,
              tags=["storage"], summary="Create a pipeline (status running)",
              openapi_extra=bodies.extra(M.PipelineIn))
    def create_pipeline(who: Principal = Depends(principal),
                        body: Any = bodies(M.PipelineIn)) -> Dict[str, int]:
        pid = store.backend.create_pipeline(who.tenant, body.name, body.config, body.git_commit)
        return {"id": pid}

    @app.post("/v1/pipelines/{pipeline_id}/complete", response_model=M.PipelineStatusOut, responses=errors,
              tags=["storage"], summary='Mark a pipeline "completed" or "failed"',
              openapi_extra=bodies.extra(M.CompleteIn))
    def complete_pipeline(pipeline_id: int = PipelineId,
                          who: Principal = Depends(principal),
                          body: Any = bodies(M.CompleteIn)) -> Dict[str, Any]:
        # The status comes back from the update itself: reading the pipeline would count its
        # nodes and edges, seconds for a large graph.
        status = store.backend.complete_pipeline(who.tenant, pipeline_id, body.status)
        if status is None:
            got = store.backend.get_pipeline(who.tenant, pipeline_id)
            status = got["status"] if got else body.status
        return {"id": pipeline_id, "status": status}

    @app.get("/v1/pipelines", response_model=List[M.PipelineOut], responses={401: errors[401]},
             tags=["dashboard"], summary="The tenant's pipelines with counts and latest fairness record")
    def list_pipelines(who: Principal = Depends(principal)) -> Response:
        return _json(store.pipelines(who.tenant))

    @app.get("/v1/pipelines/{pipeline_id}", response_model=M.PipelineDetailOut, responses=read_errors,
             tags=["dashboard"], summary="One pipeline with its latest report")
    def get_pipeline(pipeline_id: int = PipelineId, who: Principal = Depends(principal)) -> Response:
        return _found(store.pipeline(who.tenant, pipeline_id), pipeline_id)

    @app.get("/v1/pipelines/{pipeline_id}/dag", response_model=M.DagOut, responses=read_errors,
             tags=["dashboard"], summary="The stored DAG of a pipeline, for drawing")
    def get_dag(pipeline_id: int = PipelineId,
                max_nodes: Optional[int] = Query(None, ge=1, le=10_000_000,
                                                 description="return at most this many nodes (lowest ids)"),
                who: Principal = Depends(principal)) -> Response:
        return _found(store.dag(who.tenant, pipeline_id, max_nodes), pipeline_id)

    # -- lineage export: the formats of `lumarq export`, under the key's tenant -----------------

    text_body = {"schema": {"type": "string"}}
    export_responses: Dict[Any, Any] = {
        **read_errors, 501: {"model": M.ErrorOut, "description": "an optional extra or Graphviz is missing"}}
    export_responses[200] = {"description": "the export, in the media type of its format", "content": {
        "application/json": {"schema": {"oneOf": [{"type": "object"}, {"type": "array"}]}},
        "text/vnd.graphviz": text_body, "image/svg+xml": text_body, "text/provenance-notation": text_body}}

    @app.get("/v1/pipelines/{pipeline_id}/export", responses=export_responses, tags=["dashboard"],
             summary="A pipeline's lineage as JSON, DOT, SVG, PROV-JSON, PROV-N or OpenLineage events",
             response_class=Response)
    def export_pipeline(pipeline_id: int = PipelineId,
                        fmt: str = Query("json", alias="format",
                                         description="json, dot, svg, prov-json, prov-n or openlineage"),
                        namespace: str = Query("lumarq", min_length=1, max_length=500,
                                               description="OpenLineage namespace"),
                        job: Optional[str] = Query(None, min_length=1, max_length=500,
                                                   description="OpenLineage job name (default: the pipeline's name)"),
                        run_id: Optional[str] = Query(None, description="OpenLineage run id (a UUID)"),
                        who: Principal = Depends(principal)) -> Response:
        from lumarq import lineage

        if fmt not in lineage.EXPORT_FORMATS:
            raise ApiError(422, "unknown export format %r; choose one of %s"
                           % (fmt, ", ".join(lineage.EXPORT_FORMATS)))
        pipeline = store.backend.get_pipeline(who.tenant, pipeline_id)
        if pipeline is None:
            raise UnknownPipelineError("unknown pipeline id for this tenant: %d" % pipeline_id)
        graph = lineage.from_stored(pipeline, store.backend.get_nodes(who.tenant, pipeline_id),
                                    store.backend.get_edges(who.tenant, pipeline_id),
                                    store.backend.list_sources(who.tenant), who.tenant)
        try:
            text = lineage.render(graph, fmt, namespace=namespace, job_name=job, run_id=run_id)
        except (ImportError, RuntimeError) as exc:  # an optional extra or Graphviz is missing
            raise ApiError(501, str(exc)) from None
        return Response(text, media_type=lineage.media_type(fmt))

    @app.get("/v1/pipelines/{pipeline_id}/lineage", response_model=M.LineageOut, responses=read_errors,
             tags=["dashboard"], summary="Column-level lineage: one box per source column, derived column "
                                         "or operation, with the number of stored nodes behind it")
    def get_lineage(pipeline_id: int = PipelineId, who: Principal = Depends(principal)) -> Response:
        return _found(lineage.column_lineage(store, who.tenant, pipeline_id), pipeline_id)

    @app.get("/v1/pipelines/{pipeline_id}/rows/{row}/dag", response_model=M.RowDagOut, responses=read_errors,
             tags=["dashboard"], summary="The stored nodes one row passed through, with its values")
    def get_row_dag(pipeline_id: int = PipelineId,
                    row: int = Path(..., ge=0, le=_INT64_MAX, description="the row index"),
                    who: Principal = Depends(principal)) -> Response:
        return _found(lineage.row_dag(store, who.tenant, pipeline_id, row), pipeline_id)

    @app.get("/v1/pipelines/{pipeline_id}/reports", response_model=M.ReportPageOut, responses=read_errors,
             tags=["dashboard"], summary="A page of a pipeline's report summaries, newest first")
    def pipeline_reports(pipeline_id: int = PipelineId, limit: int = ReportPage, before: Optional[int] = Before,
                         who: Principal = Depends(principal)) -> Response:
        store.require_pipeline(who.tenant, pipeline_id)
        return _json(store.report_page(who.tenant, pipeline_id, limit, before))

    # -- sources and graph -----------------------------------------------------------------

    @app.post("/v1/sources", response_model=M.InsertedOut, responses=errors, tags=["storage"],
              summary="Register source columns (the latest registration of a column wins)",
              openapi_extra=bodies.extra(M.SourcesIn))
    def register_sources(who: Principal = Depends(principal),
                         body: Any = bodies(M.SourcesIn)) -> Dict[str, int]:
        store.backend.register_sources(who.tenant, body.sources)
        return {"inserted": len(body.sources)}

    @app.get("/v1/sources", response_model=List[M.SourceOut], responses={401: errors[401]}, tags=["storage"],
             summary="The tenant's source catalogue")
    def list_sources(who: Principal = Depends(principal)) -> Response:
        return _json(store.backend.list_sources(who.tenant))

    @app.post("/v1/nodes", response_model=M.InsertedOut, responses=errors, tags=["storage"],
              summary="Store DAG nodes (unique per pipeline and fingerprint)",
              openapi_extra=bodies.extra(M.NodesIn))
    def store_nodes(who: Principal = Depends(principal),
                    body: Any = bodies(M.NodesIn)) -> Dict[str, int]:
        return {"inserted": store.backend.store_nodes(who.tenant, body.nodes)}

    @app.get("/v1/pipelines/{pipeline_id}/nodes", response_model=List[M.NodeOut], responses=read_errors,
             tags=["storage"], summary="A pipeline's stored nodes")
    def get_nodes(pipeline_id: int = PipelineId, who: Principal = Depends(principal)) -> Response:
        store.require_pipeline(who.tenant, pipeline_id)
        return _json(store.backend.get_nodes(who.tenant, pipeline_id))

    @app.get("/v1/pipelines/{pipeline_id}/fingerprint-map", response_model=M.FingerprintMapOut,
             responses=read_errors, tags=["storage"], summary="Stored node id of every fingerprint")
    def fingerprint_map(pipeline_id: int = PipelineId, who: Principal = Depends(principal)) -> Response:
        store.require_pipeline(who.tenant, pipeline_id)
        pairs = store.backend.fingerprint_node_map(who.tenant, pipeline_id)
        return _json({"pipeline_id": pipeline_id, "pairs": list(pairs.items())})

    @app.post("/v1/edges/resolved", response_model=M.InsertedOut, responses=errors, tags=["storage"],
              summary="Store edges given by stored node ids",
              openapi_extra=bodies.extra(M.ResolvedEdgesIn))
    def store_edges_resolved(who: Principal = Depends(principal),
                             body: Any = bodies(M.ResolvedEdgesIn)) -> Dict[str, int]:
        return {"inserted": store.backend.store_edges_resolved(who.tenant, body.edges)}

    @app.post("/v1/pipelines/{pipeline_id}/edges", response_model=M.EdgesStoredOut, responses=errors,
              tags=["storage"], summary="Store edges given by fingerprints within a pipeline",
              openapi_extra=bodies.extra(M.EdgesIn))
    def store_edges(pipeline_id: int = PipelineId,
                    who: Principal = Depends(principal),
                    body: Any = bodies(M.EdgesIn)) -> Dict[str, int]:
        resolved, unresolved = store.backend.store_edges(who.tenant, pipeline_id, body.edges)
        return {"resolved": resolved, "unresolved": unresolved}

    @app.get("/v1/pipelines/{pipeline_id}/edges", response_model=List[M.EdgeOut], responses=read_errors,
             tags=["storage"], summary="A pipeline's stored edges")
    def get_edges(pipeline_id: int = PipelineId, who: Principal = Depends(principal)) -> Response:
        store.require_pipeline(who.tenant, pipeline_id)
        return _json(store.backend.get_edges(who.tenant, pipeline_id))

    # -- values ---------------------------------------------------------------------------

    @app.post("/v1/row-values", response_model=M.InsertedOut, responses=errors, tags=["storage"],
              summary="Append row values",
              openapi_extra=bodies.extra(M.RowValuesIn))
    def store_row_values(who: Principal = Depends(principal),
                         body: Any = bodies(M.RowValuesIn)) -> Dict[str, int]:
        return {"inserted": store.backend.store_row_values(who.tenant, [body.row_values], body.batch_id)}

    @app.get("/v1/pipelines/{pipeline_id}/row-values", response_model=M.RowValuesOut, responses=read_errors,
             tags=["storage"], summary="A page of a pipeline's row values, in the order stored")
    def get_row_values(pipeline_id: int = PipelineId, offset: int = Query(0, ge=0, le=_INT64_MAX),
                       limit: int = Query(MAX_PAGE, ge=1, le=MAX_PAGE),
                       who: Principal = Depends(principal)) -> Response:
        store.require_pipeline(who.tenant, pipeline_id)
        rows = store.backend.get_row_values(who.tenant, pipeline_id, limit, offset)
        return _json({
            "pipeline_id": pipeline_id,
            "offset": offset,
            "row_values": [(p, i, f, o, _wire_number(v), c, t, x) for p, i, f, o, v, c, t, x in rows],
        })

    @app.get("/v1/row-values/count", response_model=M.CountOut, responses=read_errors, tags=["storage"],
             summary="Number of row values of the tenant, or of one pipeline")
    def count_row_values(pipeline_id: Optional[int] = Query(None, ge=0, le=_INT64_MAX),
                         who: Principal = Depends(principal)) -> Dict[str, int]:
        if pipeline_id:  # 0: rows recorded before any pipeline existed
            store.require_pipeline(who.tenant, pipeline_id)
        return {"count": store.backend.count_row_values(who.tenant, pipeline_id)}

    @app.post("/v1/pipelines/{pipeline_id}/results", response_model=M.InsertedOut, responses=errors,
              tags=["storage"], summary="Append result rows of a pipeline",
              openapi_extra=bodies.extra(M.ResultsIn))
    def store_results(pipeline_id: int = PipelineId,
                      who: Principal = Depends(principal),
                      body: Any = bodies(M.ResultsIn)) -> Dict[str, int]:
        return {"inserted": store.backend.store_results(who.tenant, pipeline_id, body.results, body.batch_id)}

    @app.get("/v1/pipelines/{pipeline_id}/results", response_model=M.ResultsOut, responses=read_errors,
             tags=["storage"], summary="A page of a pipeline's result rows, in the order stored")
    def get_results(pipeline_id: int = PipelineId, offset: int = Query(0, ge=0, le=_INT64_MAX),
                    limit: int = Query(MAX_PAGE, ge=1, le=MAX_PAGE),
                    who: Principal = Depends(principal)) -> Response:
        store.require_pipeline(who.tenant, pipeline_id)
        rows = store.backend.get_results(who.tenant, pipeline_id, limit=limit, offset=offset)
        return _json({
            "pipeline_id": pipeline_id,
            "offset": offset,
            "results": [(k, n, f, _wire_number(v), h) for k, n, f, v, h in rows],
        })

    @app.post("/v1/batch", response_model=M.BatchOut, responses=errors, tags=["storage"],
              summary="One transaction of the background writer: sources, nodes, edges, row values",
              openapi_extra=bodies.extra(M.BatchIn))
    def write_batch(who: Principal = Depends(principal),
                    body: Any = bodies(M.BatchIn)) -> Dict[str, Any]:
        result = store.backend.write_batch(
            who.tenant,
            sources=body.sources,
            nodes=body.nodes,
            edges=[(g.pipeline_id, g.edges) for g in body.edges],
            row_values=body.row_values,
            batch_id=body.batch_id,
            lost=body.lost,
        )
        if body.batch_id is not None and next(batch_counter) % 1000 == 0:
            _prune(store)
        return {"edges_unresolved": int(result.get("edges_unresolved", 0)),
                "duplicate": bool(result.get("duplicate", 0))}

    # The column body's texts go to the store as they are; PostgreSQL cannot
    # hold NUL in text, so it is refused up front as the JSON path's store does.
    refuse_nul = getattr(store.backend, "kind", "") == "postgresql"

    async def column_body(request: Request) -> AsyncIterator[_colwire.Decoded]:
        media = (request.headers.get("content-type") or "").split(";", 1)[0].strip().lower()
        if media != _colwire.MEDIA_TYPE:
            raise ApiError(415, "The body must be a column body (Content-Type: %s)" % _colwire.MEDIA_TYPE)
        raw = await request.body()
        # A compressed body holds room in the in-flight bound for what it
        # inflates to (at most the body limit; Guard holds the compressed
        # bytes of a large body already), or many small bodies could each
        # expand to the limit at once.
        inflated = _colwire.inflated_size(raw)
        inflated = 0 if inflated > max_body_bytes else inflated  # refused below, unread
        held = 0
        if inflated > limits.small_body_bytes:
            held = max(0, inflated - (len(raw) if len(raw) > limits.small_body_bytes else 0))
            if held and not await app.state.inflight.acquire(held, limits.inflight_wait_s):
                raise ApiError(503, "The service is receiving too much data at once; try again shortly",
                               {"Retry-After": "5"})
        try:
            try:
                if len(raw) <= _INLINE_PARSE_BYTES and not inflated:
                    decoded = _colwire.decode(raw, max_body_bytes, refuse_nul=refuse_nul)
                else:
                    decoded = await run_in_threadpool(_colwire.decode, raw, max_body_bytes, refuse_nul=refuse_nul)
            except _colwire.ColumnBodyError as exc:
                raise ApiError(exc.status, "Invalid column body: %s" % exc) from None
            del raw
            yield decoded
        finally:
            await app.state.inflight.release(held)

    column_errors = {**errors, 400: {"model": M.ErrorOut, "description": "a malformed column body"},
                     415: {"model": M.ErrorOut, "description": "not a column body, or an unsupported version"}}

    @app.post("/v1/columns", response_model=M.BatchOut, responses=column_errors, tags=["storage"],
              summary="One transaction of column batches: a pipeline's nodes and edges, row values",
              openapi_extra={"requestBody": {"required": True, "content": {
                  _colwire.MEDIA_TYPE: {"schema": {"type": "string", "format": "binary"}}}}})
    def write_columns(who: Principal = Depends(principal),
                      body: _colwire.Decoded = Depends(column_body)) -> Dict[str, Any]:
        result = store.backend.write_columns(who.tenant, graph=body.graph, row_values=body.row_values,
                                             batch_id=body.batch_id, lost=body.lost)
        if body.batch_id is not None and next(batch_counter) % 1000 == 0:
            _prune(store)
        return {"edges_unresolved": int(result.get("edges_unresolved", 0)),
                "duplicate": bool(result.get("duplicate", 0))}

    # -- dashboard ------------------------------------------------------------------------

    @app.post("/v1/dashboard/sync", status_code=201, response_model=M.ReportStoredOut, responses=errors,
              tags=["dashboard"], summary="Receive a pipeline report",
              openapi_extra=bodies.extra(M.DashboardReport))
    def dashboard_sync(who: Principal = Depends(principal),
                       body: Any = bodies(M.DashboardReport)) -> Dict[str, Any]:
        report_id, pid = store.store_report(who.tenant, body.model_dump(mode="json"))
        return {"report_id": report_id, "pipeline_id": pid}

    @app.get("/v1/dashboard/reports", response_model=M.ReportPageOut,
             responses={k: v for k, v in errors.items() if k in (401, 422)},
             tags=["dashboard"], summary="A page of the tenant's report summaries (also those naming no pipeline), "
                                         "newest first")
    def all_reports(limit: int = ReportPage, before: Optional[int] = Before,
                    who: Principal = Depends(principal)) -> Response:
        return _json(store.report_page(who.tenant, None, limit, before))

    @app.get("/v1/dashboard/reports/{report_id}", response_model=M.ReportOut, responses=read_errors,
             tags=["dashboard"], summary="One report, whole")
    def one_report(report_id: int = Path(..., ge=1, le=_INT64_MAX), who: Principal = Depends(principal)) -> Response:
        got = store.report(who.tenant, report_id)
        if got is None:
            raise UnknownPipelineError("unknown report id for this tenant: %d" % report_id)
        return _json(got)

    bodies.document(app)
    page.mount(app)
    _prune(store)
    return app


def _prune(store: ServiceStore) -> None:
    try:
        store.backend.prune_batches(BATCH_ID_RETENTION)
    except Exception as exc:  # housekeeping only
        logger.warning("Could not prune applied batch ids: %s", store.describe_error(exc))
