"""`lumarq demo` end to end on a small data set, in a subprocess as a user would run it."""
import json
import os
import shutil
import sqlite3
import subprocess
import sys

import pytest

from lumarq.demo import make_applications


def test_synthetic_data_is_deterministic_and_has_gaps_to_clean():
    a, b = make_applications(500), make_applications(500)
    assert a.equals(b)
    assert a["debt"].isna().any() and not a["income"].isna().any()
    assert set(a.columns) >= {"income", "debt", "age", "gender", "region"}


def test_demo_runs_the_pipeline_and_leaves_its_files(tmp_path):
    pytest.importorskip("fastapi")
    out = tmp_path / "demo"
    proc = subprocess.run([sys.executable, "-m", "lumarq", "demo", "--rows", "300", "--out", str(out),
                           "--port", "0"], capture_output=True, text=True, timeout=300,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert proc.returncode == 0, proc.stderr
    text = proc.stdout
    for expected in ("Audit of the score of row 0", "has_protected  True", "Column risk report:",
                     "Tracker statistics:", "Dashboard: http://127.0.0.1:"):
        assert expected in text
    key = (out / "api-key.txt").read_text().strip()
    assert key not in text and key not in proc.stderr  # the key goes to a file, never the terminal
    assert oct((out / "api-key.txt").stat().st_mode & 0o777) == "0o600"

    dag = json.loads((out / "score-row-dag.json").read_text())
    assert dag["has_protected"] and dag["node_count"] >= 5
    assert {s["name"] for s in dag["protected_sources"]} == {"applications.age"}
    assert (out / "score-row-dag.dot").read_text().startswith("digraph ComputationDAG {")
    if shutil.which("dot"):
        assert (out / "score-row-dag.svg").read_text().lstrip().startswith("<?xml")

    _check_lineage_files(out)

    summary = json.loads((out / "summary.json").read_text())
    assert summary["rows"] == 300 and summary["audit"]["taint"] is True

    with sqlite3.connect(out / "provenance.db") as db:
        status, nodes = db.execute("SELECT status, COUNT(n.id) FROM lumarq_pipelines p "
                                   "JOIN lumarq_nodes n ON n.pipeline_id = p.id GROUP BY p.id").fetchone()
        reports = db.execute("SELECT COUNT(*) FROM lumarq_dashboard_reports").fetchone()[0]
        rows = db.execute("SELECT COUNT(*) FROM lumarq_row_values").fetchone()[0]
    assert status == "completed" and nodes > 0 and reports == 1 and rows > 300


def _check_lineage_files(out):
    """The stored pipeline's PROV document loads in the prov library; the OpenLineage events are
    well formed and name the columns the pipeline assigned."""
    prov = pytest.importorskip("prov.model")
    doc = prov.ProvDocument.deserialize(content=(out / "lineage.prov.json").read_text(), format="json")
    labels = {next(iter(e.get_attribute("prov:label"))) for e in doc.get_records(prov.ProvEntity)}
    assert {"dti", "score", "applications.age"} <= labels
    protected = [e for e in doc.get_records(prov.ProvEntity) if e.get_attribute("lumarq:protected") == {True}]
    assert protected and doc.get_provn().startswith("document")
    pytest.importorskip("openlineage.client")
    from lineage_support import check_event

    start, end = json.loads((out / "openlineage-events.json").read_text())
    check_event(start)
    check_event(end)
    assert end["eventType"] == "COMPLETE" and end["job"]["name"] == "credit-scoring-demo"
    lineage = end["outputs"][0]["facets"]["columnLineage"]["fields"]
    assert {"dti", "score"} <= set(lineage)
    assert "protected input: applications.age" in lineage["score"]["transformationDescription"]


def test_demo_refuses_a_non_positive_row_count(tmp_path):
    proc = subprocess.run([sys.executable, "-m", "lumarq", "demo", "--rows", "0", "--out", str(tmp_path)],
                          capture_output=True, text=True, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert proc.returncode == 2 and "--rows must be at least 1" in proc.stderr
