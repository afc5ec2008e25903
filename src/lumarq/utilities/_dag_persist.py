"""The record writes of a DAGTracker's whole graph: persist_to_storage (into a storage the caller
hands over, once per export) and the record path of the write at flush (nodes held in dicts, or
a storage component without column batches). The graph itself is read natively. Also the import
path of the storage component when it is not in sys.modules yet."""
from __future__ import annotations

import importlib
import sys
import types
from typing import Any, Callable, List, Optional, Tuple

from lumarq.utilities._dag_storage import type_name

_NONE = object()


def cannot_import(mod: Any, name: str) -> ImportError:
    """The ImportError `from <mod> import <name>` gives for a name the module lacks."""
    modname = getattr(mod, "__name__", "<unknown module name>")
    path = vars(mod).get("__file__") if isinstance(mod, types.ModuleType) else None
    if not isinstance(path, str):
        return ImportError("cannot import name '%s' from %r (unknown location)" % (name, modname),
                           name=modname)
    return ImportError("cannot import name '%s' from %r (%s)" % (name, modname, path),
                       name=modname, path=path)


def import_from(module: str, names: Tuple[str, ...]) -> List[Any]:
    """`from <module> import <names>` through the import machinery, as the statement runs it: a
    name the module lacks may be a submodule in sys.modules."""
    mod = importlib.__import__(module, None, None, names, 0)
    out = []
    for name in names:
        try:
            out.append(getattr(mod, name))
            continue
        except AttributeError:
            pass
        full = "%s.%s" % (module, name)
        if full not in sys.modules:
            raise cannot_import(mod, name)
        out.append(sys.modules[full])
    return out


def _pipeline_id(value: Any) -> Optional[int]:
    # A value create_pipeline returned: an int or None, other numbers through int().
    if value is None or type(value) is int:
        return value
    cls = type(value)
    if isinstance(value, int) or hasattr(cls, "__int__") or hasattr(cls, "__index__"):
        return int(value)
    raise TypeError("create_pipeline() returned %s, expected an int or None"
                    % type_name(value)[:200])


def persist_to_storage(tracker: Any, storage: Any, pid: Optional[int],
                       read_graph: Callable[[], Any]) -> Optional[int]:
    """Creates the pipeline unless `pid` names one, registers the sources, stores the first node
    of each fingerprint and the resolved edges, and completes the pipeline. `read_graph()` reads
    the graph as for persist_dag_records."""
    from lumarq.utilities.persistence.storage import StoredNode

    if pid is None:
        pid = _pipeline_id(storage.create_pipeline(tracker._pipeline_name or "unnamed"))
    for item in list(tracker._id_to_name.items()):
        pair_id, name = item[0], item[1]
        table, column = name[0], name[1]
        is_protected = bool(tracker.is_protected(table, column))
        storage.register_source(pair_id, table, column, is_protected=is_protected)

    nodes, snapshot, inputs_of, assigned_column, _, _ = read_graph()
    kept, names = _by_fingerprint(snapshot, assigned_column)
    batch = []
    for node in kept.values():
        prov = node.provenance
        fields = dict(fingerprint=prov, node_type=node.node_type.name,
                      operation=node.operation, table_name=node.table, column_name=node.column,
                      pair_id=node.pair_id, is_protected=node.is_protected)
        # entity_hash, chain_hash and metadata are left to their defaults, except that the name
        # of the column a value was assigned to is kept, so exports of the stored pipeline still
        # name their columns.
        name = names.get(prov, _NONE)
        if name is not _NONE:
            fields["metadata"] = {"column": name}
        fields["pipeline_id"] = pid
        batch.append(StoredNode(**fields))
    storage.store_nodes(batch)
    fp_map = storage.get_fingerprint_node_map(pid)
    storage.store_edges_resolved(_resolve_edges(snapshot, nodes, inputs_of, fp_map, False))
    storage.complete_pipeline(pid, "completed")
    return pid if pid is None or type(pid) is int else int(pid)


def _by_fingerprint(snapshot: Any, assigned_column: Callable[[Any, Any], Any]) -> Tuple[dict, dict]:
    """The nodes indexed by provenance, in first-seen order: the first node of each, and the
    column name of the first whose metadata names the column it was assigned to. Nodes of one
    fingerprint share one stored record, which takes the name even when the first of them was
    never assigned to a column itself."""
    kept: dict = {}
    names: dict = {}
    for node in snapshot:
        prov = node.provenance
        kept.setdefault(prov, node)
        name = assigned_column(node, _NONE)
        if name is not _NONE:
            names.setdefault(prov, name)
    return kept, names


def _with_name(metadata: Any, names: dict, prov: Any) -> Any:
    """The metadata to store for a node: a copy with "column" set to the name found for its
    fingerprint, unless it names one already (the node's own dict stays as it is)."""
    if not names or not isinstance(metadata, dict):
        return metadata
    name = names.get(prov, _NONE)
    if name is _NONE or dict.__contains__(metadata, "column"):
        return metadata
    copy = dict.copy(metadata)
    copy["column"] = name
    return copy


def _int(value: Any) -> int:
    return value if type(value) is int else int(value)


def _resolve_edges(snapshot: Any, nodes: Any, inputs_of: Callable[[Any], List[Any]], fp_map: Any,
                   convert: bool) -> List[Tuple[Any, Any, int]]:
    """Edge rows (parent stored id, child stored id, position) of every node in `snapshot`, each
    (parent fingerprint, child fingerprint, position) once; inputs missing from `nodes` (evicted)
    and endpoints missing from `fp_map` are skipped. `convert`: fingerprints pass through int()."""
    rows = []
    seen = set()
    for node in snapshot:
        child_fp = _int(node.provenance) if convert else node.provenance
        for position, input_id in enumerate(inputs_of(node)):
            parent_node = nodes.get(input_id)
            if parent_node is None:
                continue
            parent_fp = _int(parent_node.provenance) if convert else parent_node.provenance
            key = (parent_fp, child_fp, position)
            if key in seen:
                continue
            seen.add(key)
            parent, child = fp_map.get(parent_fp), fp_map.get(child_fp)
            if parent is not None and child is not None:
                rows.append((parent, child, position))
    return rows


def persist_dag_records(tracker: Any, read_graph: Callable[[], Any]) -> None:
    """The record path of the whole-graph write at flush, for nodes held in dicts or a storage
    component without column batches: the first node of each fingerprint, then the resolved
    edges. `read_graph()` reads the graph natively (GraphReader in dag_persistence.cc)."""
    from lumarq.utilities.persistence.storage import StoredNode

    nodes, snapshot, inputs_of, assigned_column, record_metadata, decode = read_graph()
    kept, names = _by_fingerprint(snapshot, assigned_column)
    pipeline_id = tracker._pipeline_id
    batch = []
    for node in kept.values():
        prov = node.provenance
        entity, chain = decode(prov)
        pair_id = node.pair_id
        batch.append(StoredNode(
            fingerprint=_int(prov), node_type=node.node_type.name, operation=node.operation,
            table_name=node.table, column_name=node.column,
            pair_id=None if pair_id is None else _int(pair_id),
            is_protected=bool(node.is_protected), entity_hash=_int(entity),
            chain_hash=_int(chain), metadata=_with_name(record_metadata(node), names, prov),
            pipeline_id=pipeline_id))
    if batch:
        tracker._storage.store_nodes(batch)
        tracker._nodes_written = len(batch)
    fp_map = tracker._storage.get_fingerprint_node_map(pipeline_id)
    rows = _resolve_edges(snapshot, nodes, inputs_of, fp_map, True)
    if rows:
        tracker._storage.store_edges_resolved(rows)
        tracker._edges_written = len(rows)


def write_graph_columns(tracker: Any, storage: Any, graph: Any, n_nodes: int) -> None:
    """Hands the whole graph's column batch to `storage` and counts what it wrote. One call: a
    database writes nodes and edges in one transaction, where edges to nodes made in it need no
    look-up; the service's client cuts its own requests to the body limit."""
    n_edges = len(graph.edge_parent)
    try:
        result = storage.write_columns(graph=graph)
    except ValueError:
        # The store refused a record it cannot hold (PostgreSQL and NUL): the writer splits the
        # batch down to the offending records and drops and counts only those, where this one
        # call would have left the whole graph unstored.
        writer = tracker._writer
        if not writer:
            raise
        writer.write_columns(graph=graph)
        writer.flush()
        return
    unresolved = dict.get(result, "edges_unresolved", 0) if isinstance(result, dict) else 0
    if not isinstance(unresolved, int):
        raise TypeError("an integer is required")
    tracker._nodes_written = n_nodes
    if n_edges - unresolved > 0:
        tracker._edges_written = n_edges - unresolved
