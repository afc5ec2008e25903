"""The column-level lineage and one row's graph as the service reads them from stored nodes, and
the measured fairness a tracker sends with its report."""

from __future__ import annotations

import io

import pytest
from service_helpers import call

from lumarq.utilities.persistence import StoredNode

pytest.importorskip("fastapi")


def node(fp, pid, operation, node_type="BINARY", protected=False, column=None):
    return StoredNode(fingerprint=fp, node_type=node_type, operation=operation, table_name=None, column_name=None,
                      pair_id=None, is_protected=protected, pipeline_id=pid,
                      metadata={"column": column} if column else {})


def source(fp, pid, column, protected=False):
    return StoredNode(fingerprint=fp, node_type="SOURCE", operation="loans." + column, table_name="loans",
                      column_name=column, pair_id=fp, is_protected=protected, pipeline_id=pid)


@pytest.fixture
def demo_pipeline(service):
    """The demo's pipeline on 300 rows, persisted through the service, with measured fairness."""
    from lumarq.demo import PROTECTED, Progress, make_applications, make_regions, run_pipeline
    from lumarq.utilities.vantor32_dag import DAGTracker

    tracker = DAGTracker(api_key=service.key, tenant_id=service.tenant, service_url=service.url,
                         pipeline_name="demo")
    with tracker:
        scored = run_pipeline(tracker, make_applications(300), make_regions(), Progress(5, io.StringIO()))
        sent = tracker.report_fairness(scored, "approved", PROTECTED, favorable=True, labels="repaid",
                                       model={"name": "score v2", "version": "2.1"})
        assert tracker._fairness_report is sent
        tracker.flush()
        pid = tracker._pipeline_id
    return pid, scored, sent


def test_report_carries_measured_fairness_beside_the_registered_flag(service, demo_pipeline):
    pid, scored, sent = demo_pipeline
    status, detail = call(service.url, "GET", "/v1/pipelines/%d" % pid, key=service.key)
    assert status == 200
    fairness = detail["report"]["payload"]["fairness"]
    assert fairness["has_disparate_impact"] is True  # the design's flag, unchanged
    assert sorted(fairness["protected_attributes"]) == ["applications.age", "applications.gender"]
    metrics = fairness["metrics"]
    assert metrics["attributes"]["age"]["demographic_parity_difference"] == pytest.approx(
        sent["attributes"]["age"]["demographic_parity_difference"], abs=1e-12)
    assert metrics["attributes"]["age"]["provenance"]["status"] == "reaches the outcome"
    assert metrics["attributes"]["gender"]["provenance"]["status"] == "registered but never used"
    assert metrics["model"] == {"name": "score v2", "version": "2.1"}
    risk = {r["column"]: r for r in metrics["column_risk_report"]}
    assert risk["score"]["tainted"] is True and risk["dti"]["tainted"] is False


@pytest.mark.parametrize("bad, err", [
    (dict(model={"colour": "red"}), ValueError),
    (dict(model="v2"), TypeError),
    (dict(protected=["nope"]), KeyError),
])
def test_report_fairness_refuses_bad_arguments_and_keeps_the_last_good_report(bad, err):
    import pandas as pd

    from lumarq.utilities.vantor32_dag import DAGTracker

    tracker = DAGTracker()
    df = pd.DataFrame({"y": [1, 0, 1], "g": ["a", "b", "a"]})
    assert tracker._fairness_report is None
    good = tracker.report_fairness(df, "y", "g")
    args = {**dict(df=df, outcome="y", protected="g"), **bad}
    with pytest.raises(err):
        tracker.report_fairness(**args)
    assert tracker._fairness_report is good


def test_lineage_folds_row_nodes_into_column_boxes(service):
    s = service.storage()
    pid = s.create_pipeline("folded")
    rows = 40
    nodes = [source(1, pid, "debt"), source(2, pid, "income"), source(3, pid, "age", protected=True)]
    nodes += [node(100 + i, pid, "fillna", "UNARY") for i in range(rows)]          # no name: one box
    nodes += [node(200 + i, pid, "div", column="dti") for i in range(rows)]         # named by metadata
    nodes += [node(300, pid, "merge", "UNARY"), node(301, pid, "add", protected=True),
              node(302, pid, "clip", "UNARY", protected=True, column="score")]
    s.store_nodes(nodes)
    fp = s.get_fingerprint_node_map(pid)
    edges = [(fp[1], fp[100 + i], 0) for i in range(rows)]
    edges += [(fp[100 + i], fp[200 + i], 0) for i in range(rows)] + [(fp[2], fp[200 + i], 1) for i in range(rows)]
    edges += [(fp[200 + i], fp[300], 0) for i in range(rows)]  # a merge carries dti along
    edges += [(fp[300], fp[301], 0), (fp[3], fp[301], 1), (fp[301], fp[302], 0)]
    s.store_edges_resolved(edges)

    status, got = call(service.url, "GET", "/v1/pipelines/%d/lineage" % pid, key=service.key)
    assert status == 200 and got["stored_nodes"] == len(nodes)
    boxes = {b["label"]: b for b in got["nodes"]}
    assert sorted(boxes) == ["add", "age", "debt", "dti", "fillna", "income", "score"]
    assert {k: boxes[k]["node_count"] for k in boxes} == {
        "debt": 1, "income": 1, "age": 1, "fillna": rows, "dti": rows + 1, "add": 1, "score": 1}
    assert {k: boxes[k]["kind"] for k in boxes} == {
        "debt": "source", "income": "source", "age": "protected", "fillna": "operation", "dti": "column",
        "add": "operation", "score": "column"}
    assert [k for k in boxes if boxes[k]["is_protected"]] == ["age", "add", "score"]
    name = {b["id"]: b["label"] for b in got["nodes"]}
    assert sorted((name[e["parent"]], name[e["child"]]) for e in got["edges"]) == [
        ("add", "score"), ("age", "add"), ("debt", "fillna"), ("dti", "add"), ("fillna", "dti"), ("income", "dti")]
    assert boxes["score"]["level"] > boxes["add"]["level"] > boxes["dti"]["level"] > boxes["fillna"]["level"]


def test_one_rows_graph_follows_that_rows_nodes_only(service, demo_pipeline):
    pid, scored, _ = demo_pipeline
    status, lineage = call(service.url, "GET", "/v1/pipelines/%d/lineage" % pid, key=service.key)
    boxes = {(b["kind"], b["label"]): b for b in lineage["nodes"]}
    # Every row's value is counted in its column's box, sources matched by name.
    assert boxes[("protected", "age")]["row_values"] == len(scored)
    assert sum(b["node_count"] for b in lineage["nodes"]) == lineage["stored_nodes"]

    row = 7
    status, got = call(service.url, "GET", "/v1/pipelines/%d/rows/%d/dag" % (pid, row), key=service.key)
    assert status == 200 and got["row"] == row and got["row_values"] > 0
    ops = [n["operation"] for n in got["nodes"]]
    # One node per step of that row, not the hundreds the stored graph shares between rows.
    assert ops.count("fillna") == 1 and ops.count("clip") == 1 and len(got["nodes"]) < 30
    clip = next(n for n in got["nodes"] if n["operation"] == "clip")
    assert clip["has_value"] and clip["value"] == pytest.approx(float(scored["score"].iloc[row]))
    age = next(n for n in got["nodes"] if n["operation"] == "applications.age")
    assert age["is_protected"] and age["value"] == float(scored["age"].iloc[row])
    ids = {n["id"] for n in got["nodes"]}
    assert all(e["parent"] in ids and e["child"] in ids for e in got["edges"])

    for path, want in [
        ("/v1/pipelines/%d/rows/%d/dag" % (pid, 10_000), (200, 0)),
        ("/v1/pipelines/%d/rows/-1/dag" % pid, (422, None)),
        ("/v1/pipelines/%d/rows/1/dag" % (pid + 999), (404, None)),
        ("/v1/pipelines/%d/lineage" % (pid + 999), (404, None)),
    ]:
        status, body = call(service.url, "GET", path, key=service.key)
        assert (status, len(body["nodes"]) if status == 200 else None) == want, path
    # Another tenant sees nothing of it.
    other = service.new_key("someone-else")
    for path in ("/v1/pipelines/%d/lineage" % pid, "/v1/pipelines/%d/rows/0/dag" % pid):
        assert call(service.url, "GET", path, key=other)[0] == 404
