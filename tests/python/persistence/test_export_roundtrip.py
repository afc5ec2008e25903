"""Exports of stored pipelines (SQLite and PostgreSQL): column names and protected paths survive
the round trip through storage, through the library and through `lumarq export`."""
from __future__ import annotations

import json
import shutil
import uuid

import pytest
from lineage_support import (check_column_lineage, check_event, check_prov, credit_frame, from_storage)

from lumarq.cli import main
from lumarq.lineage import EXPORT_FORMATS, export_pipeline, to_provn
from lumarq.utilities.persistence import HostedStorage
from lumarq.utilities.vantor32_dag import DAGTracker

KEY = "key-not-a-real-secret"

pytest.importorskip("prov")


def stored_pipeline(db_url, how):
    """A credit pipeline stored under tenant acme; returns its id."""
    if how == "writer":
        # Nodes are written as they are created, before the columns are assigned: the DAG
        # written at flush must still bring the names.
        with DAGTracker(api_key=KEY, tenant_id="acme", service_url=db_url, pipeline_name="credit") as t:
            credit_frame(t)
            t.flush()
            return t._pipeline_id
    t = DAGTracker(pipeline_name="credit")
    credit_frame(t)
    s = HostedStorage(api_url=db_url, api_key=None, tenant_id="acme")
    s.connect()
    try:
        return t.persist_to_storage(s)
    finally:
        s.disconnect()


@pytest.fixture(params=["writer", "persist_to_storage"])
def stored(request, db_url, make_storage):
    pid = stored_pipeline(db_url, request.param)
    return make_storage("acme"), pid


def test_stored_pipelines_export_with_column_names_and_protected_paths(stored):
    storage, pid = stored
    graph = from_storage(storage, pid)
    assert {(n.operation, n.assigned) for n in graph.values() if not n.source} == {
        ("fillna", None), ("div", "dti"), ("add", "score")}
    check_prov(json.loads(export_pipeline(storage, pid, "prov-json")), graph,
               {"pipeline-%d" % pid, "tenant-acme"})
    assert export_pipeline(storage, pid, "prov-n") == to_provn(json.loads(export_pipeline(storage, pid, "prov-json")))
    doc = json.loads(export_pipeline(storage, pid, "json"))
    assert doc["pipeline"] == {"id": pid, "name": "credit", "tenant": "acme", "status": "completed"}
    assert doc["node_count"] == len(graph) and {n["metadata"].get("column") for n in doc["nodes"].values()} >= {"dti", "score"}
    # a stored node stands for every node of its word, two of whose inputs can share a position
    assert {(e["source"], e["target"], e["input_index"]) for e in doc["edges"]} == {
        (e["parent_node_id"], e["child_node_id"], e["input_position"]) for e in storage.get_edges(pid)}
    assert export_pipeline(storage, pid, "dot").startswith("digraph ComputationDAG {")

    pytest.importorskip("openlineage.client")
    run_id = str(uuid.uuid4())
    start, end = json.loads(export_pipeline(storage, pid, "openlineage", namespace="ns", run_id=run_id))
    check_event(start, run_id)
    check_event(end, run_id)
    assert end["eventType"] == "COMPLETE" and end["job"]["name"] == "credit"
    by_name = {}
    for i, n in graph.items():
        if n.assigned:
            by_name.setdefault(n.assigned, []).append(i)
    check_column_lineage(end, graph, "ns", by_name, "credit")
    assert "protected input: loans.age" in (
        end["outputs"][0]["facets"]["columnLineage"]["fields"]["score"]["transformationDescription"])


@pytest.mark.parametrize("fmt", EXPORT_FORMATS)
def test_the_export_command_writes_every_format(db_url, tmp_path, capsys, fmt):
    if fmt == "svg" and shutil.which("dot") is None:
        pytest.skip("Graphviz is not installed")
    if fmt == "openlineage":
        pytest.importorskip("openlineage.client")
    pid = stored_pipeline(db_url, "writer")
    out = tmp_path / ("lineage." + fmt)
    run_id = str(uuid.uuid4())
    args = ["export", "--db", db_url, "--tenant", "acme", "--pipeline", str(pid), "--format", fmt,
            "--run-id", run_id]
    assert main(args + ["--out", str(out)]) == 0
    text = out.read_text(encoding="utf-8")
    assert main(args) == 0
    assert capsys.readouterr().out == text  # standard output gets the same text
    reader = HostedStorage(api_url=db_url, api_key=None, tenant_id="acme")
    reader.connect()
    try:
        if fmt == "svg":
            assert "<svg" in text and ">age</text>" in text and ">div</text>" in text
        else:
            assert text == export_pipeline(reader, pid, fmt, run_id=run_id) + "\n"
        if fmt in ("json", "prov-json", "openlineage"):  # json.dumps' own layout
            assert text == json.dumps(json.loads(text), indent=2) + "\n"
    finally:
        reader.disconnect()


@pytest.mark.parametrize("tenant, pipeline, fmt, message", [
    ("acme", 999, "json", "unknown pipeline id for this tenant: 999"),
    ("other", None, "json", "unknown pipeline id for this tenant"),
    ("acme", None, "yaml", "invalid choice: 'yaml'"),
])
def test_the_export_command_reports_bad_requests_in_one_line(db_url, capsys, tenant, pipeline, fmt, message):
    pid = stored_pipeline(db_url, "writer")
    argv = ["export", "--db", db_url, "--tenant", tenant, "--pipeline", str(pipeline or pid), "--format", fmt]
    if fmt == "yaml":
        with pytest.raises(SystemExit):
            main(argv)
    else:
        assert main(argv) == 1
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err
