"""Checks of exported lineage against the graph it came from, shared by the export tests.

A graph is given as {node id: Node}; the tracker's nodes and a stored pipeline's rows are
both turned into that form, so one set of checks covers memory and storage."""
from __future__ import annotations

import json
import uuid
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Set, Tuple
from urllib.parse import urlparse

import numpy as np
import pandas as pd

from lumarq.utilities.vantor32 import ProvenanceTracker
from lumarq.utilities.vantor32_dag import wrap_dataframe_dag


@dataclass
class Node:
    source: bool
    operation: str
    inputs: List[int]
    word: int
    protected: bool
    table: Optional[str] = None
    column: Optional[str] = None
    assigned: Optional[str] = None
    positions: Optional[List[int]] = None  # stored input positions (a stored node can repeat one)


def from_tracker(nodes) -> Dict[int, Node]:
    return {int(k): Node(n.is_source, n.operation, list(n.inputs), int(n.provenance), bool(n.is_protected),
                         n.table, n.column, (n.metadata or {}).get("column"))
            for k, n in dict(nodes).items()}


def from_storage(storage, pid) -> Dict[int, Node]:
    inputs: Dict[int, List[Tuple[int, int]]] = {}
    for e in storage.get_edges(pid):
        inputs.setdefault(e["child_node_id"], []).append((e["input_position"], e["parent_node_id"]))
    found = {c: sorted(v) for c, v in inputs.items()}
    return {r["id"]: Node(r["node_type"] == "SOURCE", r["operation"], [p for _, p in found.get(r["id"], [])],
                          r["fingerprint"], r["is_protected"], r["table_name"], r["column_name"],
                          (r["metadata"] or {}).get("column"), [k for k, _ in found.get(r["id"], [])])
            for r in storage.get_nodes(pid)}


def credit_frame(tracker, rows=6):
    """dti = debt.fillna(0) / income and score = dti + age (age protected), both assigned."""
    rng = np.random.default_rng(7)
    df = pd.DataFrame({"income": rng.uniform(1, 5, rows).round(2), "debt": [0.5, np.nan] * (rows // 2),
                       "age": rng.integers(20, 70, rows).astype(float)})
    w = wrap_dataframe_dag(df, tracker, "loans", protected=["age"])
    w["dti"] = w["debt"].fillna(0) / w["income"]
    w["score"] = w["dti"] + w["age"]
    return w


def _local(q) -> str:
    return q.localpart if q is not None else None


def check_prov(doc: dict, graph: Dict[int, Node], agents: Set[str] = frozenset()) -> None:
    """Loads `doc` with the prov library and checks every node's records and relations."""
    from prov.model import (ProvActivity, ProvAgent, ProvAssociation, ProvDerivation, ProvDocument,
                            ProvEntity, ProvGeneration, ProvUsage)

    from lumarq.lineage import to_provn

    bundle = ProvDocument.deserialize(content=json.dumps(doc), format="json")
    entities = {_local(r.identifier): r for r in bundle.get_records(ProvEntity)}
    activities = {_local(r.identifier) for r in bundle.get_records(ProvActivity)}
    used = {(_local(r.args[0]), _local(r.args[1]), next(iter(r.get_attribute("lumarq:inputIndex"))))
            for r in bundle.get_records(ProvUsage)}
    generated = {(_local(r.args[0]), _local(r.args[1])) for r in bundle.get_records(ProvGeneration)}
    derived = {(_local(r.args[0]), _local(r.args[1]), _local(r.args[2])) for r in bundle.get_records(ProvDerivation)}

    def ent(i):
        return ("source-%d" if graph[i].source else "value-%d") % i

    exp_used, exp_derived = set(), set()
    for i, n in graph.items():
        e = entities[ent(i)]
        assert e.get_attribute("lumarq:word") == {"0x%08X" % n.word}
        assert e.get_attribute("lumarq:taint") == {ProvenanceTracker.is_tainted(n.word)}
        assert e.get_attribute("lumarq:risk") == {ProvenanceTracker.risk_score(n.word)}
        assert e.get_attribute("lumarq:protected") == {n.protected}
        types = {_local(t) for t in e.get_attribute("prov:type")}
        if n.source:
            assert e.get_attribute("lumarq:column") == {n.column}
            assert types == ({"SourceColumn", "ProtectedAttribute"} if n.protected else {"SourceColumn"})
            assert "op-%d" % i not in activities
            continue
        assert types == {"Value"} and "op-%d" % i in activities
        assert e.get_attribute("lumarq:column") == ({n.assigned} if n.assigned else set())
        assert (ent(i), "op-%d" % i) in generated
        for k, j in zip(n.positions, n.inputs) if n.positions is not None else enumerate(n.inputs):
            if j in graph:
                exp_used.add(("op-%d" % i, ent(j), k))
                exp_derived.add((ent(i), ent(j), "op-%d" % i))
    assert set(entities) == {ent(i) for i in graph}
    assert used == exp_used and derived == exp_derived
    assert len(generated) == sum(not n.source for n in graph.values())
    assert {_local(r.identifier) for r in bundle.get_records(ProvAgent)} == set(agents)
    if agents:
        assert {_local(r.args[1]) for r in bundle.get_records(ProvAssociation)} == {
            a for a in agents if a.startswith("pipeline-")}
    # Our PROV-N says what the library's PROV-N of the same document says.
    assert set(to_provn(doc).splitlines()) == set(bundle.get_provn().splitlines())


def is_url(text: str) -> bool:
    u = urlparse(text)
    return u.scheme in ("http", "https") and bool(u.netloc)


def facets_of(event: dict):
    yield from event["run"].get("facets", {}).values()
    yield from event["job"].get("facets", {}).values()
    for ds in event.get("inputs", []) + event.get("outputs", []):
        for key in ("facets", "inputFacets", "outputFacets"):
            yield from ds.get(key, {}).values()


def check_event(event: dict, run_id: Optional[str] = None) -> None:
    """Required members of a run event, its URLs and every facet's _producer/_schemaURL pair."""
    for member in ("eventTime", "producer", "schemaURL", "run", "job", "eventType"):
        assert member in event, member
    assert "T" in event["eventTime"] and pd.Timestamp(event["eventTime"]).tzinfo is not None
    assert is_url(event["producer"]) and is_url(event["schemaURL"])
    from openlineage.client.event_v2 import RunEvent

    # The standard's own schema of a run event, as the client names it.
    assert event["schemaURL"] == RunEvent._get_schema()
    uuid.UUID(event["run"]["runId"])
    if run_id is not None:
        assert event["run"]["runId"] == run_id
    assert event["job"]["namespace"] and event["job"]["name"]
    for ds in event.get("inputs", []) + event.get("outputs", []):
        assert ds["namespace"] and ds["name"]
    n = 0
    for facet in facets_of(event):
        assert facet["_producer"] == event["producer"] and is_url(facet["_schemaURL"]), facet
        n += 1
    assert n >= 2


def expected_lineage(graph: Dict[int, Node], node_ids) -> Dict[Tuple[str, str], bool]:
    """(table, column) -> protected, of the sources behind `node_ids`."""
    out, stack, seen = {}, list(node_ids), set()
    while stack:
        i = stack.pop()
        if i in seen or i not in graph:
            continue
        seen.add(i)
        n = graph[i]
        if n.source:
            out[(n.table, n.column)] = n.protected
        stack.extend(n.inputs)
    return out


def check_column_lineage(event: dict, graph: Dict[int, Node], namespace: str,
                         columns: Dict[str, List[int]], dataset: Optional[str] = None) -> None:
    outputs = [d for d in event["outputs"] if dataset is None or d["name"] == dataset]
    assert len(outputs) == 1
    fields = outputs[0]["facets"]["columnLineage"]["fields"]
    assert set(fields) == {c for c, ids in columns.items() if ids}
    for col, ids in columns.items():
        if not ids:
            continue
        want = expected_lineage(graph, ids)
        got = {(f["name"], f["field"]): f for f in fields[col]["inputFields"]}
        assert set(got) == set(want), col
        for key, f in got.items():
            assert f["namespace"] == namespace
            (t,) = f["transformations"]
            assert t["type"] == "DIRECT" and ("(protected attribute)" in t["description"]) == want[key]
        protected = any(want.values())
        assert ("no protected input" in fields[col]["transformationDescription"]) is not protected
