"""Column names of assigned values, and the PROV and OpenLineage exports of tracked graphs."""
from __future__ import annotations

import contextlib
import copy
import http.server
import json
import pickle
import threading
import uuid

import numpy as np
import pandas as pd
import pytest
from lineage_support import (check_column_lineage, check_event, check_prov, credit_frame, from_tracker)

import lumarq
from lumarq.utilities.vantor32_dag import DAGNode, DAGTracker, wrap_dataframe_dag

pytest.importorskip("prov")


class FairTracker(DAGTracker):
    """A tracker with the attribute where the fairness summary is kept."""


def names(t):
    return {i: (n.operation, n.metadata.get("column")) for i, n in t._nodes.items()}


@pytest.mark.parametrize("case", ["derived", "copy_of_source", "alias", "plain", "evicted", "label"])
def test_assignment_names_the_derived_nodes(case):
    t = DAGTracker()
    w = wrap_dataframe_dag(pd.DataFrame({"a": [1.0, 2.0, 3.0], "b": [4.0, 5.0, 6.0]}), t, "t")
    if case == "derived":
        w["s"] = w["a"] + w["b"]
        assert {n[1] for i, n in names(t).items() if n[0] == "add"} == {"s"}
    elif case == "copy_of_source":
        w["a2"] = w["a"]  # a source column copied: source nodes keep only their own fields
        assert all(n.metadata == {} for n in t._nodes.values())
    elif case == "alias":
        s = w["a"] * w["b"]
        w["first"] = s
        w["second"] = s  # the first name stays, as it may already be stored
        assert {n[1] for n in names(t).values() if n[0] == "mul"} == {"first"}
    elif case == "plain":
        w["a"] = [7.0, 8.0, 9.0]
        w["s"] = w["a"] + w["b"]  # a is untracked now: its rows have no node, so no add node
        assert not [n for n in names(t).values() if n[0] == "add"]
    elif case == "evicted":
        s = w["a"] - w["b"]
        t._nodes.pop(int(s._node_ids[0]))
        w["d"] = s  # nodes gone from the tracker are skipped
        assert {n[1] for n in names(t).values() if n[0] == "sub"} == {"d"}
    else:
        w[7] = w["a"] / w["b"]  # labels that are not texts are named by their text
        assert {n[1] for n in names(t).values() if n[0] == "div"} == {"7"}


@pytest.mark.parametrize("view", ["metadata", "to_dict", "copy", "pickle", "equality", "given_metadata",
                                  "replaced_after"])
def test_a_named_node_shows_its_name_however_it_is_read(view):
    t = DAGTracker()
    w = wrap_dataframe_dag(pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0]}), t, "t")
    s = w["a"] + w["b"]
    node, other = (t._nodes[int(i)] for i in s._node_ids)
    if view == "given_metadata":
        node.metadata = {"unit": "eur"}
    w["s"] = s
    if view == "metadata":
        assert node.metadata == {"column": "s"} and node.metadata is node.metadata
    elif view == "to_dict":
        assert node.to_dict()["metadata"] == {"column": "s"} and json.loads(t.get_dag(node.node_id).to_json())[
            "nodes"][str(node.node_id)]["metadata"] == {"column": "s"}
    elif view == "copy":
        assert copy.copy(node).metadata == {"column": "s"} and copy.deepcopy(node) == node
    elif view == "pickle":
        again = pickle.loads(pickle.dumps(node))
        assert again == node and again.metadata == {"column": "s"}
    elif view == "equality":
        fields = dict(node_id=node.node_id, node_type=node.node_type, operation="add", inputs=list(node.inputs),
                      provenance=node.provenance, is_protected=node.is_protected)
        assert node != DAGNode(**fields) and node == DAGNode(metadata={"column": "s"}, **fields)
    elif view == "given_metadata":
        assert node.metadata == {"unit": "eur", "column": "s"}
    else:
        node.metadata = {}
        w["t"] = s
        assert node.metadata == {"column": "t"} and other.metadata == {"column": "s"}


@pytest.mark.parametrize("producer", ["dag", "tracker", "tracker_named", "tracker_with_tenant",
                                      "awkward_names"])
def test_prov_documents_match_the_graph(producer):
    t = DAGTracker(pipeline_name="credit", tenant_id="acme" if producer == "tracker_with_tenant" else None)
    w = credit_frame(t)
    if producer == "awkward_names":
        # Line breaks, quotes and backslashes in names: PROV-N has raw line breaks only in
        # long strings (a one-line string with one did not parse).
        odd = lumarq.track(pd.DataFrame({'a\n"b\\': [1.0], "c\rd": [2.0]}), t, "t\n2")
        odd["sum"] = odd['a\n"b\\'] + odd["c\rd"]
        odd.prov.name_nodes()
        doc, graph, agents = t.to_prov(), from_tracker(t._nodes), {"pipeline-credit"}
    elif producer == "dag":
        dag = t.get_dag(int(w._col_nodes["score"][1]))
        doc, graph, agents = dag.to_prov(), from_tracker(dag.nodes), set()
        assert dag.to_prov() == doc  # a plain dict, made afresh
    elif producer == "tracker":
        doc, graph, agents = t.to_prov(), from_tracker(t._nodes), {"pipeline-credit"}
    elif producer == "tracker_named":
        doc, graph, agents = t.to_prov(pipeline=12), from_tracker(t._nodes), {"pipeline-12"}
    else:
        doc, graph, agents = t.to_prov(), from_tracker(t._nodes), {"pipeline-credit", "tenant-acme"}
    check_prov(doc, graph, agents)
    json.dumps(doc)  # PROV-JSON as it is written to files


def test_prov_skips_inputs_that_were_evicted():
    t = DAGTracker()
    w = credit_frame(t, rows=2)
    gone = int(w._col_nodes["dti"][0])
    t._nodes.pop(gone)
    graph = from_tracker(t._nodes)
    check_prov(t.to_prov(), graph)
    assert not any(("value-%d" % gone) in json.dumps(rel) for rel in t.to_prov().get("used", {}).values())


@pytest.mark.parametrize("bad, error", [(3.5, TypeError), (["x"], TypeError)])
def test_prov_pipeline_argument(bad, error):
    with pytest.raises(error, match="pipeline must be"):
        DAGTracker().to_prov(pipeline=bad)


@pytest.fixture
def ol():
    return pytest.importorskip("openlineage.client")


@pytest.mark.parametrize("mode", ["default", "explicit", "fairness", "run_id", "empty"])
def test_openlineage_events(ol, mode):
    t = FairTracker(pipeline_name="credit", tenant_id="acme")
    w = credit_frame(t) if mode != "empty" else None
    run_id = str(uuid.uuid4()) if mode == "run_id" else None
    if mode == "fairness":
        t._fairness_report = {"age": {"selection_rate": {"young": np.float64(0.5)}, "groups": (1, 2)}}
    outputs = {"scored": w[["income", "dti", "score"]]} if mode == "explicit" else None
    start, end = t.to_openlineage("credit-ns", "score-job", run_id=run_id, outputs=outputs)
    check_event(start, run_id)
    check_event(end, run_id)
    assert (start["eventType"], end["eventType"]) == ("START", "COMPLETE")
    assert start["run"]["runId"] == end["run"]["runId"]
    assert end["run"]["facets"]["lumarq_pipeline"]["name"] == "credit"
    assert end["run"]["facets"]["lumarq_pipeline"]["tenant"] == "acme"
    json.dumps([start, end])
    graph = from_tracker(t._nodes)
    if mode == "empty":
        assert end["inputs"] == [] and end["outputs"][0]["name"] == "credit"
        return
    assert [d["name"] for d in end["inputs"]] == ["loans"]
    schema = end["inputs"][0]["facets"]["schema"]["fields"]
    assert [f["name"] for f in schema] == ["income", "debt", "age"]
    assert [f.get("description") for f in schema] == [None, None, "protected attribute"]
    if mode == "fairness":
        assert end["run"]["facets"]["lumarq_fairness"]["report"] == {
            "age": {"selection_rate": {"young": 0.5}, "groups": [1, 2]}}
    else:
        assert "lumarq_fairness" not in end["run"]["facets"]
    if mode == "explicit":
        cols = {c: sorted({int(i) for i in w._col_nodes[c]}) for c in ("income", "dti", "score")}
        check_column_lineage(end, graph, "credit-ns", cols, "scored")
        income = end["outputs"][0]["facets"]["columnLineage"]["fields"]["income"]
        assert income["transformationType"] == "IDENTITY"
    else:
        by_name = {}
        for i, n in graph.items():
            if n.assigned:
                by_name.setdefault(n.assigned, []).append(i)
        assert set(by_name) == {"dti", "score"}
        check_column_lineage(end, graph, "credit-ns", by_name, "credit")
        score = end["outputs"][0]["facets"]["columnLineage"]["fields"]["score"]
        assert "protected input: loans.age" in score["transformationDescription"]


@pytest.mark.parametrize("kwargs, error, match", [
    ({"run_id": "not-a-uuid"}, ValueError, "run_id must be a UUID"),
    ({"outputs": [1]}, TypeError, "outputs must be a dict"),
    ({"outputs": {"o": [1.0]}}, TypeError, r"outputs\['o'\] must be a DataFrame or Series"),
    ({"namespace": ""}, ValueError, "namespace must be a non-empty str"),
])
def test_openlineage_arguments(ol, kwargs, error, match):
    args = {"namespace": "ns", "job_name": "job"}
    args.update(kwargs)
    with pytest.raises(error, match=match):
        DAGTracker().to_openlineage(**args)


class _LineageServer(http.server.ThreadingHTTPServer):
    def __init__(self, status):
        self.status, self.events = status, []

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(handler):
                body = handler.rfile.read(int(handler.headers["Content-Length"]))
                self.events.append((handler.path, json.loads(body)))
                handler.send_response(self.status)
                handler.send_header("Content-Length", "0")
                handler.end_headers()

            def log_message(handler, *args):
                pass

        super().__init__(("127.0.0.1", 0), Handler)


@pytest.mark.parametrize("case", ["complete", "fail", "server_error", "unreachable", "path_given"])
def test_a_tracker_posts_its_run_events(ol, case, caplog):
    server = _LineageServer(500 if case == "server_error" else 201)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    url = "http://127.0.0.1:%d" % server.server_address[1]
    if case == "path_given":
        url += "/lineage/events"
    if case == "unreachable":
        server.shutdown()
        server.server_close()
    try:
        with contextlib.suppress(KeyError):
            with DAGTracker(pipeline_name="credit", tenant_id="acme", openlineage_url=url) as t:
                credit_frame(t)
                if case == "fail":
                    raise KeyError("stop")
        assert t._openlineage_run_id is None
    finally:
        if case != "unreachable":
            server.shutdown()
            server.server_close()
    if case in ("server_error", "unreachable"):
        warnings = [r.getMessage() for r in caplog.records if r.name == "lumarq.lineage"]
        assert len(warnings) == 2 and "START event not delivered" in warnings[0]
        if case == "unreachable":
            return
    paths = {p for p, _ in server.events}
    assert paths == {"/lineage/events" if case == "path_given" else "/api/v1/lineage"}
    (_, start), (_, end) = server.events
    check_event(start)
    check_event(end, start["run"]["runId"])
    assert (start["eventType"], end["eventType"]) == ("START", "FAIL" if case == "fail" else "COMPLETE")
    assert end["job"] == {**end["job"], "namespace": "acme", "name": "credit"}
    graph = from_tracker(t._nodes)
    by_name = {}
    for i, n in graph.items():
        if n.assigned:
            by_name.setdefault(n.assigned, []).append(i)
    check_column_lineage(end, graph, "acme", by_name, "credit")


@pytest.mark.parametrize("derive", [lambda d: d[["a", "g"]].sum(axis=1), lambda d: d["a"].fillna(d["g"])],
                         ids=["pandas-row-sum", "fillna-from-a-tracked-column"])
def test_openlineage_traces_columns_without_nodes_by_their_words(derive):
    # Values pandas computed (no graph node per row) still name their sources and the
    # protected input: they are not left out of the column lineage.
    t = DAGTracker(pipeline_name="p")
    d = wrap_dataframe_dag(pd.DataFrame({"a": [1.0, None, 3.0], "g": [1, 0, 1]}), t, "T", protected=["g"])
    d["x"] = derive(d)
    events = t.to_openlineage("ns", "job", outputs={"o": d[["x"]]})
    (field,) = events[-1]["outputs"][0]["facets"]["columnLineage"]["fields"].values()
    assert sorted((f["name"], f["field"]) for f in field["inputFields"]) == [("T", "a"), ("T", "g")]
    assert field["transformationDescription"].endswith("protected input: T.g")


@pytest.mark.parametrize("name", [None, "r"])
@pytest.mark.parametrize("kind", ["dtype", "dag-frame"])
def test_openlineage_output_given_as_a_series_is_its_one_column(kind, name):
    # A Series among the outputs gave an empty dataset without a word.
    t = DAGTracker(pipeline_name="p")
    raw = pd.DataFrame({"a": [1.0, 2.0, 3.0], "g": [1, 0, 1]})
    d = (lumarq.track(raw, t, "T", protected=["g"]) if kind == "dtype"
         else wrap_dataframe_dag(raw, t, "T", protected=["g"]))
    s = d["a"] * d["g"]
    s.name = name
    events = t.to_openlineage("ns", "job", outputs={"o": s})
    fields = events[-1]["outputs"][0]["facets"]["columnLineage"]["fields"]
    assert list(fields) == [name or "o"]
    field = fields[name or "o"]
    assert sorted((f["name"], f["field"]) for f in field["inputFields"]) == [("T", "a"), ("T", "g")]
    assert field["transformationDescription"].endswith("protected input: T.g")


@pytest.mark.parametrize("kind", ["dtype", "dag-frame"])
def test_openlineage_gives_columns_carried_through_their_sources(kind):
    # An output frame that carries source columns unchanged next to a computed one: each
    # carried column comes out as an identity of its source, on the dtype as on the DAG frames.
    t = DAGTracker(pipeline_name="p")
    raw = pd.DataFrame({"a": [1.0, 2.0, 3.0], "g": [1, 0, 1]})
    d = (lumarq.track(raw, t, "T", protected=["g"]) if kind == "dtype"
         else wrap_dataframe_dag(raw, t, "T", protected=["g"]))
    d["x"] = d["a"] * d["g"]
    events = t.to_openlineage("ns", "job", outputs={"o": d})
    fields = events[-1]["outputs"][0]["facets"]["columnLineage"]["fields"]
    assert sorted(fields) == ["a", "g", "x"]
    for column in ("a", "g"):
        (source,) = fields[column]["inputFields"]
        assert (source["name"], source["field"]) == ("T", column)
        assert [tr["subtype"] for tr in source["transformations"]] == ["IDENTITY"]
    assert sorted(f["field"] for f in fields["x"]["inputFields"]) == ["a", "g"]


@pytest.mark.parametrize("protected_first", [True, False])
@pytest.mark.parametrize("consumer", ["risk_report", "openlineage"])
def test_a_repeated_column_label_keeps_its_protected_column(consumer, protected_first):
    # Concatenating along the columns can repeat a label: the protected column under it must
    # still read as tainted and keep its lineage, whichever column comes first.
    t = DAGTracker(pipeline_name="p")
    d = lumarq.track(pd.DataFrame({"a": [1.0, 2.0, 3.0], "g": [1, 0, 1]}), t, "T", protected=["g"])
    parts = [d[["g"]], d[["a"]].rename(columns={"a": "g"})]
    out = pd.concat(parts if protected_first else parts[::-1], axis=1)
    if consumer == "risk_report":
        (record,) = out.prov.risk_report()
        assert (record["column"], record["tainted"], record["risk_level"]) == ("g", True, "HIGH")
    else:
        events = t.to_openlineage("ns", "job", outputs={"o": out})
        field = events[-1]["outputs"][0]["facets"]["columnLineage"]["fields"]["g"]
        assert sorted((f["name"], f["field"]) for f in field["inputFields"]) == [("T", "a"), ("T", "g")]
        assert field["transformationDescription"].endswith("protected input: T.g")


@pytest.mark.parametrize("kind", ["dtype", "dag-frame"])
def test_openlineage_traces_rows_whose_nodes_were_evicted(kind):
    # Beyond the tracker's memory bound the oldest nodes go; the column computed from the
    # protected one still names it, through its rows' words.
    t = DAGTracker(pipeline_name="p")
    t._max_nodes = 20
    raw = pd.DataFrame({"a": np.arange(1.0, 31.0), "g": np.arange(30) % 2})
    d = (lumarq.track(raw, t, "T", protected=["g"]) if kind == "dtype"
         else wrap_dataframe_dag(raw, t, "T", protected=["g"]))
    d["x"] = d["a"] * d["g"]
    for _ in range(3):
        d["y"] = d["a"] + d["a"]
    events = t.to_openlineage("ns", "job", outputs={"o": d[["x"]]})
    field = events[-1]["outputs"][0]["facets"]["columnLineage"]["fields"]["x"]
    assert sorted((f["name"], f["field"]) for f in field["inputFields"]) == [("T", "a"), ("T", "g")]
    assert field["transformationDescription"] == "evicted from memory; protected input: T.g"


@pytest.mark.parametrize("exporter", [0, 1])
def test_openlineage_outputs_leave_out_columns_of_another_tracker(exporter):
    # Node ids are per tracker: a column another tracker computed shares ids with this graph's
    # nodes, and was linked to their sources.
    trackers = [DAGTracker(pipeline_name="a"), DAGTracker(pipeline_name="b")]
    frames = []
    for t, table in zip(trackers, ("A", "B")):
        d = lumarq.track(pd.DataFrame({"p": [1.0, 2.0, 3.0], "q": [4.0, 5.0, 6.0]}), t, table, protected=["p"])
        d[table.lower()] = d["p"] * d["q"]
        frames.append(d[[table.lower()]])
    out = pd.concat(frames, axis=1)
    events = trackers[exporter].to_openlineage("ns", "job", outputs={"o": out})
    fields = events[-1]["outputs"][0]["facets"]["columnLineage"]["fields"]
    own = "ab"[exporter]
    assert list(fields) == [own]
    assert sorted((f["name"], f["field"]) for f in fields[own]["inputFields"]) == [(own.upper(), "p"), (own.upper(), "q")]
