"""OpenLineage run events for a tracked or stored pipeline.

The events are built from the openlineage-python client's own classes and
turned into dicts by its serialiser, so their shape is the standard's.

- inputs: the registered tables, each with a schema facet of its columns that have a source
  node (every tracked column, whether or not a computation read it);
- outputs: one dataset named after the pipeline holding every derived column
  the tracker knows by name, or the frames given as ``outputs={name: frame}``;
- ``columnLineage`` per output column: its source fields, and the operations on
  the way (with whether a protected column is among the sources);
- run facets: the pipeline (name, id, tenant) and, when the tracker holds one,
  the fairness summary.
"""
from __future__ import annotations

import datetime as _dt
import json
import logging
import urllib.parse
import urllib.request
import uuid
from typing import Any, Dict, List, Mapping, Optional, Tuple

import numpy as np
import pandas as pd

from ._graph import LUMARQ_URI, LineageGraph, producer

_INSTALL_HINT = ("OpenLineage export needs the openlineage-python package: "
                 "pip install 'lumarq[openlineage]'")


def _client() -> Any:
    try:
        import attr
        from openlineage.client import serde
        from openlineage.client.generated import base, column_lineage_dataset, job_type_job
        from openlineage.client.generated import processing_engine_run, schema_dataset
    except ImportError as exc:  # the extra is optional
        raise ImportError(_INSTALL_HINT) from exc
    return attr, serde, base, column_lineage_dataset, job_type_job, processing_engine_run, schema_dataset


def _schema_url(name: str) -> str:
    return "%s/schemas/facets/1-0-0/%s.json#/$defs/%s" % (LUMARQ_URI, name, name)


_FACET_CLASSES: Dict[str, Any] = {}


def _facet_classes() -> Dict[str, Any]:
    """The custom facets, defined once the client is importable."""
    if _FACET_CLASSES:
        return _FACET_CLASSES
    attr, _, base, *_ = _client()

    def define(name: str, parent: Any, fields: Dict[str, Any]) -> Any:
        cls = attr.make_class(name, fields, bases=(parent,), slots=True)
        cls._get_schema = staticmethod(lambda: _schema_url(name))
        return cls

    _FACET_CLASSES.update(
        pipeline=define("LumarqPipelineRunFacet", base.RunFacet, {
            k: attr.field(default=None) for k in ("name", "pipelineId", "tenant", "status")}),
        fairness=define("LumarqFairnessRunFacet", base.RunFacet, {"report": attr.field(factory=dict)}),
        columns=define("LumarqColumnsDatasetFacet", base.DatasetFacet, {"columns": attr.field(factory=dict)}),
    )
    return _FACET_CLASSES


def _now() -> str:
    return _dt.datetime.now(_dt.timezone.utc).isoformat()


def _event_time(stored: Optional[str]) -> str:
    if not stored:
        return _now()
    try:
        t = _dt.datetime.fromisoformat(stored)
    except ValueError:
        return _now()
    if t.tzinfo is None:
        t = t.replace(tzinfo=_dt.timezone.utc)
    return t.isoformat()


# Named for the rows of a column whose values pandas computed without logging nodes.
UNLOGGED = "pandas (not logged)"
# Named for the rows whose nodes the tracker evicted from memory (beyond `_max_nodes`).
EVICTED = "evicted from memory"


def _frame_columns(graph: LineageGraph, frame: Any, unlogged: Dict[str, List[str]]) -> Dict[str, List[int]]:
    """Column label -> the graph nodes behind it, for one output frame. Rows without a node
    (values pandas computed, as `sum(axis=1)`) or whose node was evicted are traced through
    their words to the source columns they name; such columns are added to `unlogged` with
    the step that stands for the missing nodes."""
    by_name = graph.columns()
    source_ids: Dict[Tuple[Any, Any], List[int]] = {}
    for i, n in graph.nodes.items():
        if n.is_source:
            source_ids.setdefault((n.table, n.column), []).append(i)
    out: Dict[str, List[int]] = {}
    for label in list(getattr(frame, "columns", [])):
        ids: List[int] = []
        rows = _column_rows(frame, label)
        owner = rows[2] if rows is not None else None
        if owner is not None and graph.tracker is not None and owner is not graph.tracker:
            pass  # another tracker's column: its node ids and pairs name nothing of this graph
        elif rows is not None:
            arr, words, tracker = rows
            ids = [int(i) for i in np.unique(arr[arr >= 0]) if int(i) in graph.nodes]
            # An evicted node leaves its rows' sources to their words, as for rows without one:
            # else a column computed from a protected one would lose that input here.
            evicted = (arr >= 0) & ~np.isin(arr, np.asarray(ids, dtype=np.int64))
            sources = _word_sources(source_ids, tracker, words, (arr < 0) | evicted)
            if sources:
                ids = sorted(set(ids) | set(sources))
                unlogged[str(label)] = ([UNLOGGED] if (arr < 0).any() else []) + ([EVICTED] if evicted.any() else [])
        elif str(label) in by_name:
            ids = by_name[str(label)]
        out[str(label)] = ids
    return out


def _as_frame(name: Any, frame: Any) -> Any:
    """An output as a frame: a Series is its one column (named after the output when it has no
    name of its own); anything without columns is refused, since it would give an empty
    dataset without a word."""
    if isinstance(frame, pd.Series):
        return frame.to_frame(str(name) if frame.name is None else frame.name)
    if not hasattr(frame, "columns"):
        raise TypeError("outputs[%r] must be a DataFrame or Series, got %s"
                        % (name, type(frame).__name__))
    return frame


def _column_rows(frame: Any, label: Any) -> Optional[Tuple[np.ndarray, Any, Any]]:
    """(node id per row, words, tracker) of a column that carries them row by row: a
    DAG-tracked frame's stored arrays, or a column of the provenance dtype; else None."""
    col_nodes = getattr(frame, "_col_nodes", None)
    if isinstance(col_nodes, Mapping):
        if label not in col_nodes:
            return None
        col_prov = getattr(frame, "_col_prov", None)
        words = col_prov.get(label) if isinstance(col_prov, Mapping) else None
        return np.asarray(col_nodes[label], dtype=np.int64), words, getattr(frame, "_tracker", None)
    from lumarq.dtype import ProvenanceDtype

    try:
        column = frame[label]
    except (KeyError, TypeError, ValueError):
        return None
    if getattr(column, "ndim", 0) == 2:
        # A repeated label gives a frame: its tracked columns' rows together, so a tainted one
        # keeps its lineage beside the others of that name.
        parts = [column.iloc[:, i] for i in range(column.shape[1])]
        parts = [s for s in parts if isinstance(s.dtype, ProvenanceDtype) and s.prov.tracker is not None]
        if not parts:
            return None
        return (np.concatenate([np.asarray(s.prov.nodes) for s in parts]),
                np.concatenate([s.prov.words for s in parts]), parts[0].prov.tracker)
    if getattr(column, "ndim", 0) != 1 or not isinstance(column.dtype, ProvenanceDtype):
        return None  # plain columns carry nothing per row
    return np.asarray(column.prov.nodes), column.prov.words, column.prov.tracker


def _word_sources(source_ids: Dict[Tuple[Any, Any], List[int]], tracker: Any, words: Any,
                  rows: np.ndarray) -> List[int]:
    """The source nodes named by the words of the column's `rows`."""
    if tracker is None or words is None or not rows.any():
        return []
    words = np.asarray(words, dtype=np.uint32)
    if len(words) == len(rows):
        words = words[rows]
    if not words.size:
        return []
    # One native pass unites the rows' pairs into one word (rows differ in their entity hashes,
    # so decoding them one by one would be a Python step per row).
    from lumarq import _vantor32
    from lumarq.utilities.vantor32 import OpCode

    united = _vantor32.group_combine(tracker._rust, words, np.zeros(words.size, np.int64), 1,
                                     int(OpCode.AGG))[0]
    return [i for p in tracker.explain(int(united)) for i in source_ids.get(tuple(p), [])]


def _json_safe(value: Any) -> Any:
    """The fairness summary as JSON values (numpy scalars and tuples included)."""
    if isinstance(value, Mapping):
        return {str(k): _json_safe(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_safe(v) for v in value]
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, float) and value != value:
        return None
    return value


def _transformation(cl: Any, ops: List[str], protected: bool) -> Any:
    text = ", ".join(ops) if ops else "identity"
    if protected:
        text += " (protected attribute)"
    return cl.Transformation(type="DIRECT", subtype="TRANSFORMATION" if ops else "IDENTITY",
                             description=text, masking=False)


def openlineage_events(graph: LineageGraph, namespace: str, job_name: str,
                       run_id: Optional[str] = None,
                       outputs: Optional[Mapping[str, Any]] = None,
                       failed: Optional[bool] = None) -> List[Dict[str, Any]]:
    """START and COMPLETE (FAIL when the pipeline failed) events as dicts."""
    if not isinstance(namespace, str) or not namespace:
        raise ValueError("namespace must be a non-empty str")
    if not isinstance(job_name, str) or not job_name:
        raise ValueError("job_name must be a non-empty str")
    if outputs is not None and not isinstance(outputs, Mapping):
        raise TypeError("outputs must be a dict of name to frame, got %s" % type(outputs).__name__)
    if run_id is None:
        run_id = str(uuid.uuid4())
    else:
        try:
            run_id = str(uuid.UUID(str(run_id)))
        except ValueError:
            raise ValueError("run_id must be a UUID, got %r" % (run_id,)) from None
    _, serde, base, cl, job_type, engine, schema = _client()
    facets = _facet_classes()
    prod = producer()
    if failed is None:
        failed = graph.status == "failed"

    # Inputs: registered tables with their columns that have a source node.
    inputs = []
    for table, columns in graph.tables().items():
        fields = [schema.SchemaDatasetFacetFields(
            name=col, description="protected attribute" if prot else None)
            for col, prot in columns.items()]
        ds_facets = {"schema": schema.SchemaDatasetFacet(fields=fields, producer=prod)} if fields else {}
        inputs.append(base.InputDataset(namespace=namespace, name=table, facets=ds_facets))

    # Outputs: explicit frames, or one dataset of every named derived column.
    unlogged: Dict[str, List[str]] = {}
    if outputs:
        targets: List[Tuple[str, Dict[str, List[int]]]] = [
            (str(name), _frame_columns(graph, _as_frame(name, frame), unlogged))
            for name, frame in outputs.items()]
    else:
        default_name = graph.pipeline_name or job_name
        targets = [(default_name, graph.columns())]
    out_datasets = []
    for name, columns in targets:
        lineage_fields: Dict[str, Any] = {}
        summary: Dict[str, Any] = {}
        for col, ids in columns.items():
            if not ids:
                continue
            info = graph.column_lineage(ids)
            protected = set(info["protected"])
            ops = info["operations"]
            if col in unlogged:  # its sources reached by words: the steps are pandas' own
                ops = ops + unlogged[col]
                info["per_source"] = {s: info["per_source"].get(s, []) + unlogged[col] for s in info["sources"]}
            description = ", ".join(ops) if ops else "identity"
            protected_text = ("protected input: %s" % ", ".join("%s.%s" % p for p in info["protected"])
                              if protected else "no protected input")
            input_fields = [
                cl.InputField(namespace=namespace, name=table, field=column, transformations=[
                    _transformation(cl, info["per_source"].get((table, column), []),
                                    (table, column) in protected)])
                for table, column in info["sources"]]
            lineage_fields[col] = cl.Fields(
                inputFields=input_fields,
                transformationDescription="%s; %s" % (description, protected_text),
                transformationType="TRANSFORMATION" if ops else "IDENTITY")
            summary[col] = {"operations": ops, "protected_inputs": ["%s.%s" % p for p in info["protected"]],
                            "reaches_protected": bool(protected), "nodes": info["nodes"]}
        ds_facets = {"schema": schema.SchemaDatasetFacet(
            fields=[schema.SchemaDatasetFacetFields(name=c) for c in columns], producer=prod)}
        if lineage_fields:
            ds_facets["columnLineage"] = cl.ColumnLineageDatasetFacet(fields=lineage_fields, producer=prod)
            ds_facets["lumarq_columns"] = facets["columns"](columns=summary, producer=prod)
        out_datasets.append(base.OutputDataset(namespace=namespace, name=name, facets=ds_facets))

    from lumarq import __version__

    run_facets: Dict[str, Any] = {
        "processing_engine": engine.ProcessingEngineRunFacet(version=__version__, name="lumarq",
                                                             producer=prod),
        "lumarq_pipeline": facets["pipeline"](name=graph.pipeline_name, pipelineId=graph.pipeline_id,
                                              tenant=graph.tenant, status=graph.status, producer=prod),
    }
    if graph.fairness:
        run_facets["lumarq_fairness"] = facets["fairness"](report=_json_safe(graph.fairness),
                                                           producer=prod)
    job = base.Job(namespace=namespace, name=job_name, facets={
        "jobType": job_type.JobTypeJobFacet(processingType="BATCH", integration="LUMARQ",
                                            jobType="PIPELINE", producer=prod)})
    start = base.RunEvent(eventType=base.EventType.START, eventTime=_event_time(graph.started_at),
                          run=base.Run(runId=run_id, facets=run_facets), job=job, inputs=inputs,
                          outputs=[], producer=prod)
    end = base.RunEvent(eventType=base.EventType.FAIL if failed else base.EventType.COMPLETE,
                        eventTime=_event_time(graph.completed_at),
                        run=base.Run(runId=run_id, facets=run_facets), job=job, inputs=inputs,
                        outputs=out_datasets, producer=prod)
    return [serde.Serde.to_dict(start), serde.Serde.to_dict(end)]


# ---------------------------------------------------------------- posting (DAGTracker(openlineage_url=...))

logger = logging.getLogger("lumarq.lineage")


def _endpoint(url: str) -> str:
    """The lineage endpoint: a URL with a path is used as it is; a bare server gets
    /api/v1/lineage, the standard HTTP endpoint."""
    parts = urllib.parse.urlsplit(url)
    if parts.path in ("", "/"):
        return urllib.parse.urlunsplit(parts._replace(path="/api/v1/lineage"))
    return url


def emit_run_event(tracker: Any, phase: str) -> None:
    """Posts the tracker's START, COMPLETE or FAIL event to its `openlineage_url`.

    Never raises: like every persistence path a lineage server that is down or refuses the
    event costs a warning, not the pipeline."""
    from lumarq.utilities.persistence._urls import Scrubber, describe_error, mask_url, url_password

    from ._graph import from_tracker

    url = tracker._openlineage_url
    if phase == "START":
        run_id = str(uuid.uuid4())
        tracker._openlineage_run_id = run_id
    else:
        run_id = tracker._openlineage_run_id
        tracker._openlineage_run_id = None
    try:
        graph = from_tracker(tracker)
        start, end = openlineage_events(graph, graph.tenant or "lumarq",
                                        graph.pipeline_name or "unnamed_pipeline", run_id,
                                        failed=phase == "FAIL")
        body = json.dumps(start if phase == "START" else end).encode("utf-8")
        request = urllib.request.Request(_endpoint(url), data=body, method="POST",
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=10) as response:
            response.read()
    except Exception as exc:  # noqa: BLE001 - lineage reporting is best effort
        logger.warning("OpenLineage %s event not delivered to %s: %s", phase, mask_url(url),
                       describe_error(exc, Scrubber([url_password(url)])))
