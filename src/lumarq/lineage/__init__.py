"""Lineage in formats other tools read: W3C PROV (PROV-JSON, PROV-N) and OpenLineage events.

`ComputationDAG.to_prov()`, `DAGTracker.to_prov()` and `DAGTracker.to_openlineage()` call
into this package; `export_pipeline` renders a stored pipeline in any export format (the
`lumarq export` command and the service's export endpoint).
"""
from __future__ import annotations

import json
import shutil
import subprocess
from typing import Any, Dict, List, Mapping, Optional, Union

from ..utilities import jsoncodec
from ._graph import PROV_NAMESPACE, LineageGraph, LineageNode, from_dag, from_stored, from_tracker
from .openlineage import openlineage_events
from .prov import to_prov_document, to_provn

__all__ = [
    "EXPORT_FORMATS", "PROV_NAMESPACE", "LineageGraph", "LineageNode", "dag_to_prov",
    "export_pipeline", "from_stored", "load_stored", "media_type", "openlineage_events", "render",
    "to_prov_document", "to_provn", "tracker_to_openlineage", "tracker_to_prov",
]

EXPORT_FORMATS = ("json", "dot", "svg", "prov-json", "prov-n", "openlineage")

_MEDIA = {
    "json": "application/json", "dot": "text/vnd.graphviz", "svg": "image/svg+xml",
    "prov-json": "application/json", "prov-n": "text/provenance-notation",
    "openlineage": "application/json",
}


def media_type(fmt: str) -> str:
    return _MEDIA[fmt]


# ---------------------------------------------------------------- entry points of the native classes

def dag_to_prov(dag: Any) -> Dict[str, Any]:
    """PROV-JSON of one `ComputationDAG`."""
    return to_prov_document(from_dag(dag))


def tracker_to_prov(tracker: Any, pipeline: Any = None) -> Dict[str, Any]:
    """PROV-JSON of every node a `DAGTracker` holds. `pipeline` (a name or an id) names the
    pipeline agent instead of the tracker's own pipeline."""
    if pipeline is not None and not isinstance(pipeline, (str, int)):
        raise TypeError("pipeline must be a str, an int or None, got %s" % type(pipeline).__name__)
    return to_prov_document(from_tracker(tracker, pipeline))


def tracker_to_openlineage(tracker: Any, namespace: str, job_name: str, run_id: Optional[str] = None,
                           outputs: Optional[Mapping[str, Any]] = None) -> List[Dict[str, Any]]:
    """START and COMPLETE run events of the computation a `DAGTracker` logged."""
    return openlineage_events(from_tracker(tracker), namespace, job_name, run_id, outputs)


# ---------------------------------------------------------------- stored pipelines

def load_stored(storage: Any, pipeline_id: int) -> LineageGraph:
    """The graph of a stored pipeline, read through a connected `HostedStorage` (or any object
    with its read methods). Unknown ids raise `LookupError`."""
    pid = int(pipeline_id)
    pipeline = storage.get_pipeline(pid)
    if pipeline is None:
        raise LookupError("unknown pipeline id for this tenant: %d" % pid)
    return from_stored(pipeline, storage.get_nodes(pid), storage.get_edges(pid),
                       storage.list_sources(), getattr(storage, "tenant_id", None))


def _as_dag(graph: LineageGraph) -> Any:
    from lumarq.utilities.vantor32_dag import ComputationDAG, DAGEdge, DAGNode, NodeType

    nodes = {}
    edges = []
    for nid in sorted(graph.nodes):
        n = graph.nodes[nid]
        if n.kind not in NodeType.__members__:  # the store takes any text; a KeyError here was a 500
            raise ValueError("stored node %d has a node type this version cannot export: %r" % (n.id, n.kind))
        nodes[nid] = DAGNode(node_id=n.id, node_type=NodeType[n.kind], operation=n.operation,
                             inputs=list(n.inputs), provenance=n.provenance, metadata=dict(n.metadata),
                             table=n.table, column=n.column, pair_id=n.pair_id,
                             is_protected=n.is_protected)
        edges.extend(DAGEdge(source_id=i, target_id=nid, input_index=k) for k, i in n.input_positions())
    root = graph.root_id if graph.root_id is not None else -1
    return ComputationDAG(root_id=root, nodes=nodes, edges=edges)


_SVG_TIMEOUT_S = 300


def _svg(dot: str) -> str:
    exe = shutil.which("dot")
    if exe is None:
        raise RuntimeError("svg export needs Graphviz: the 'dot' program was not found on PATH")
    try:
        done = subprocess.run([exe, "-Tsvg"], input=dot.encode("utf-8"), capture_output=True,
                              timeout=_SVG_TIMEOUT_S, check=False)
    except subprocess.TimeoutExpired:
        # Large graphs (thousands of stored nodes) can take Graphviz longer than that.
        raise RuntimeError("Graphviz did not lay out the graph within %d s; export it as dot and "
                           "lay it out separately" % _SVG_TIMEOUT_S) from None
    if done.returncode != 0:
        raise RuntimeError("Graphviz failed: %s" % done.stderr.decode("utf-8", "replace").strip())
    return done.stdout.decode("utf-8")


def _indented(obj: Any, **options: Any) -> str:
    """json.dumps(obj, indent=2, **options); with an indent the standard library encodes in pure
    Python (seconds for a large graph), so plain data is written natively."""
    text = jsoncodec.indented(obj, 2)
    return text if text is not None else json.dumps(obj, indent=2, **options)


def render(graph: LineageGraph, fmt: str, namespace: str = "lumarq",
           job_name: Optional[str] = None, run_id: Optional[str] = None) -> Union[str, Any]:
    """The text of `graph` in one of `EXPORT_FORMATS`."""
    if fmt not in EXPORT_FORMATS:
        raise ValueError("unknown export format %r; choose one of %s" % (fmt, ", ".join(EXPORT_FORMATS)))
    if fmt in ("prov-json", "prov-n"):
        doc = to_prov_document(graph)
        return _indented(doc) if fmt == "prov-json" else to_provn(doc)
    if fmt == "openlineage":
        job = job_name or graph.pipeline_name or "pipeline-%s" % graph.pipeline_id
        return _indented(openlineage_events(graph, namespace, job, run_id))
    dag = _as_dag(graph)
    if fmt == "json":
        out = {"pipeline": {"id": graph.pipeline_id, "name": graph.pipeline_name,
                            "tenant": graph.tenant, "status": graph.status}}
        out.update(dag.to_dict())
        return _indented(out, default=str)
    dot = dag.to_graphviz()
    return dot if fmt == "dot" else _svg(dot)


def export_pipeline(storage: Any, pipeline_id: int, fmt: str, **options: Any) -> str:
    """A stored pipeline rendered in `fmt` (see `render` for the options)."""
    if fmt not in EXPORT_FORMATS:
        raise ValueError("unknown export format %r; choose one of %s" % (fmt, ", ".join(EXPORT_FORMATS)))
    return render(load_stored(storage, pipeline_id), fmt, **options)
