"""The dashboard in a real browser: headless Chromium against a service this
test starts and fills. The screenshot of the pipeline page is kept in the
test's temporary folder (its path is printed)."""

from __future__ import annotations

import json
import os
import random

import pytest
from browser_helpers import Chromium, find_chromium
from service_helpers import post_like_tracker, tracker_report

from lumarq.utilities.persistence import HostedStorage, StoredNode

IN_CI = os.environ.get("CI") == "true"
HOSTILE_NAME = '<img src=x onerror="window.__injected=1">bulk'
# Reports what the page's policy refused, from before any script of the page
# runs, to the test (through a binding: the record outlives reloads).
WATCH_POLICY = """
document.addEventListener("securitypolicyviolation",
  (e) => window.policyRefused(e.violatedDirective + " " + e.blockedURI));
"""


def node(fp, pid, operation, node_type="BINARY", protected=False):
    return StoredNode(fingerprint=fp, node_type=node_type, operation=operation, table_name=None, column_name=None,
                      pair_id=None, is_protected=protected, pipeline_id=pid)


def source(fp, pid, column, protected=False):
    return StoredNode(fingerprint=fp, node_type="SOURCE", operation="loans." + column, table_name="loans",
                      column_name=column, pair_id=fp, is_protected=protected, pipeline_id=pid)


def fill(svc):
    """A small credit pipeline with its report, and a large one with none."""
    s = HostedStorage(api_url=svc.url, api_key=svc.key, tenant_id=svc.tenant)
    s.connect()
    pid = s.create_pipeline("credit_scoring", git_commit="4f2a9c1")
    s.store_nodes([
        source(1, pid, "gender", protected=True), source(2, pid, "income"), source(3, pid, "debt"),
        node(10, pid, "truediv"), node(11, pid, "fillna", "UNARY"),
        node(12, pid, "score", protected=True), node(13, pid, "clip", "UNARY", protected=True),
    ])
    ids = s.get_fingerprint_node_map(pid)
    s.store_edges_resolved([(ids[3], ids[10], 0), (ids[2], ids[10], 1), (ids[10], ids[11], 0),
                            (ids[11], ids[12], 0), (ids[1], ids[12], 1), (ids[12], ids[13], 0)])
    s.complete_pipeline(pid, "completed")
    assert post_like_tracker(svc.url, svc.key, tracker_report(pid, protected=("loans.gender",)))[0] == 201

    # 500 sources (10 protected) under five layers of 500 operations, two inputs each.
    big = s.create_pipeline(HOSTILE_NAME)
    rnd = random.Random(7)
    nodes = [source(1000 + i, big, "c%d" % i, protected=i % 50 == 7) for i in range(500)]
    nodes += [node(1000 + layer * 500 + i, big, "op%d" % layer) for layer in range(1, 6) for i in range(500)]
    s.store_nodes(nodes)
    fp = s.get_fingerprint_node_map(big)
    s.store_edges_resolved([
        (fp[1000 + (layer - 1) * 500 + j], fp[1000 + layer * 500 + i], pos)
        for layer in range(1, 6) for i in range(500) for pos, j in enumerate(rnd.sample(range(500), 2))
    ])
    s.disconnect()
    return pid, ids, big


@pytest.fixture
def chromium():
    binary = find_chromium()
    if binary is None:
        if IN_CI:
            pytest.fail("chromium is required in CI (apt-get install chromium)")
        pytest.skip("no chromium binary on PATH")
    return binary


def test_dashboard_signs_in_and_shows_a_pipelines_dag_and_fairness_record(service, chromium, tmp_path):
    pid, ids, big = fill(service)
    with Chromium(chromium, tmp_path / "profile") as browser:
        page = browser.new_page(1366, 900)
        page.call("Runtime.addBinding", {"name": "policyRefused"})
        page.before_each_document(WATCH_POLICY)
        # Opened at a pipeline's address: after sign-in the page shows that pipeline.
        page.navigate(service.url + "/#/pipelines/%d" % pid)
        page.wait_for("!document.getElementById('view-sign-in').hidden")

        # A wrong key: a clear message, nothing kept.
        page.type_into("#api-key", "lmq_0123456789ab_" + "A" * 43)
        page.press_enter()
        message = page.wait_for("document.getElementById('sign-in-error').textContent")
        assert "not valid" in message and "unknown or revoked" in message
        assert page.evaluate("sessionStorage.length") == 0
        assert page.evaluate("document.getElementById('view-pipeline').hidden") is True

        page.type_into("#api-key", service.key)
        page.press_enter()
        # The column-level view is the default picture; every stored node is one click away.
        page.wait_for("document.querySelectorAll('#lineage-canvas .dag-node').length > 0")
        page.evaluate("document.getElementById('dag-all').click()")
        page.wait_for("document.querySelectorAll('#dag-canvas .dag-node').length === 7")
        # Compared here, so that a failure never prints the key.
        kept = page.evaluate("sessionStorage.getItem('lumarq.apiKey')") == service.key
        shown = service.key in page.evaluate("location.href + document.documentElement.outerHTML")
        assert kept, "the key is not in the tab's session storage"
        assert not shown, "the key shows in the address or the page"
        assert page.evaluate("document.getElementById('api-key').value") == ""
        assert page.evaluate("document.getElementById('session-tenant').textContent") == service.tenant

        # The picture: every node, coloured by kind, sources below what consumes them.
        shapes = page.evaluate("""[...document.querySelectorAll('#dag-canvas svg .dag-node')].map(g => ({
            id: +g.dataset.nodeId, kind: g.dataset.kind, fill: g.querySelector('rect').getAttribute('fill'),
            stroke: g.querySelector('rect').getAttribute('stroke'), y: g.getBBox().y + g.getCTM().f,
            label: [...g.querySelectorAll('tspan')].map(t => t.textContent)}))""")
        by_id = {s["id"]: s for s in shapes}
        assert set(by_id) == set(ids.values())
        expected = {1: ("protected", "#f59e0b", ["loans", "gender"]), 2: ("source", "#22d3ee", ["loans", "income"]),
                    3: ("source", "#22d3ee", ["loans", "debt"]), 10: ("operation", "#4ade80", ["truediv"]),
                    11: ("operation", "#4ade80", ["fillna"]), 12: ("operation", "#4ade80", ["score"]),
                    13: ("root", "#c084fc", ["clip"])}
        for fingerprint, (kind, fill_colour, label) in expected.items():
            got = by_id[ids[fingerprint]]
            assert (got["kind"], got["fill"], got["label"]) == (kind, fill_colour, label), fingerprint
        assert by_id[ids[12]]["stroke"] == "#f59e0b"  # derived from a protected source
        ys = {f: by_id[ids[f]]["y"] for f in expected}
        assert ys[1] == ys[2] == ys[3] > ys[10] > ys[11] > ys[12] > ys[13]
        assert page.evaluate("document.querySelectorAll('#dag-canvas .dag-edge').length") == 6

        fairness = page.evaluate("""Object.fromEntries([...document.querySelectorAll('#fairness-body dd')]
            .map(d => [d.dataset.field, d.textContent.trim()]))""")
        assert fairness["has_disparate_impact"] == "Yes"
        assert fairness["protected_sources"] == "loans.gender" and "protected_attributes" not in fairness
        assert (fairness["node_count"], fairness["edge_count"]) == ("7", "6")
        # The report's fixed model texts are not shown as if someone had given them.
        assert not {"model_name", "model_version", "model_domain", "model_status"} & set(fairness)
        labels = page.evaluate("[...document.querySelectorAll('#fairness-body dt')].map(d => d.textContent)")
        assert "A protected column was registered" in labels and "Disparate impact" not in labels
        assert "report_fairness" in page.evaluate("document.getElementById('metrics-body').textContent")
        assert page.evaluate("document.getElementById('pipeline-title').textContent") == "credit_scoring"

        # Keyboard: a node takes the focus and its details show.
        page.evaluate("document.querySelector('#dag-canvas .dag-node[data-kind=protected]').focus()")
        details = page.wait_for("document.getElementById('node-details').textContent")
        assert "Protected source" in details and "gender" in details

        shot = page.screenshot(tmp_path / "dashboard.png")
        print("dashboard screenshot: %s" % shot)
        assert shot.stat().st_size > 10_000

        # A reload keeps the session and the page.
        page.reload()
        page.wait_for("document.querySelectorAll('#lineage-canvas .dag-node').length > 0")

        # The list, by keyboard from the link back; names are shown as text.
        page.evaluate("document.querySelector('a.back').focus()")
        page.press_enter()
        page.wait_for("document.querySelectorAll('#pipelines-body tr').length === 2")
        rows = page.evaluate("""[...document.querySelectorAll('#pipelines-body tr')].map(tr =>
            [...tr.children].map(c => c.textContent.trim()))""")
        assert rows[0][0] == HOSTILE_NAME and rows[0][4] == "no report"
        assert rows[1][:6] == ["credit_scoring", "completed", "7", "6", "Yes", "loans.gender"]
        assert rows[1][6] and rows[1][7] != "—"

        # The large pipeline: a capped picture that says what it left out.
        page.evaluate("document.querySelector('a[href=\"#/pipelines/%d\"]').focus()" % big)
        page.press_enter()
        page.wait_for("document.getElementById('pipeline-title').textContent === %s" % json.dumps(HOSTILE_NAME))
        page.evaluate("document.getElementById('dag-all').click()")
        page.wait_for("document.querySelector('#dag-canvas svg') && "
                      "document.querySelector('#dag-canvas svg').dataset.nodesTotal === '3000'")
        drawn = page.evaluate("""(() => { const svg = document.querySelector('#dag-canvas svg');
            return {declared: +svg.dataset.nodesDrawn, shapes: svg.querySelectorAll('.dag-node').length,
                    hidden: [...svg.querySelectorAll('.dag-more')].map(g => +g.dataset.hidden),
                    protected: svg.querySelectorAll('.dag-node[data-kind=protected] rect[fill="#f59e0b"]').length,
                    note: document.getElementById('dag-note').textContent}; })()""")
        assert drawn["shapes"] == drawn["declared"] and 0 < drawn["shapes"] <= 300
        assert drawn["shapes"] + sum(drawn["hidden"]) == 3000 and len(drawn["hidden"]) == 6
        assert drawn["protected"] == 10
        assert drawn["note"].startswith("Every stored node: Showing %d of 3,000 nodes" % drawn["shapes"])
        assert page.evaluate("document.getElementById('pipeline-title').textContent") == HOSTILE_NAME
        assert page.evaluate("[window.__injected, document.querySelectorAll('img').length]") == [None, 0]

        # A small graph with one wide layer (as a per-row pipeline stores it): that layer is capped
        # too, so the picture stays readable instead of one long strip.
        s = service.storage()
        wide = s.create_pipeline("wide")
        s.store_nodes([source(1, wide, "x")] + [node(100 + i, wide, "fillna", "UNARY") for i in range(30)])
        fp = s.get_fingerprint_node_map(wide)
        s.store_edges_resolved([(fp[1], fp[100 + i], 0) for i in range(30)])
        page.navigate(service.url + "/#/pipelines/%d" % wide)
        page.wait_for("document.getElementById('pipeline-title').textContent === 'wide'")
        page.evaluate("document.getElementById('dag-all').click()")
        page.wait_for("document.querySelector('#dag-canvas svg') && "
                      "document.querySelector('#dag-canvas svg').dataset.nodesTotal === '31'")
        shown = page.evaluate("""(() => { const svg = document.querySelector('#dag-canvas svg');
            return [svg.querySelectorAll('.dag-node').length,
                    [...svg.querySelectorAll('.dag-more')].map(g => +g.dataset.hidden)]; })()""")
        assert shown[0] < 20 and shown[0] + sum(shown[1]) == 31

        # Addresses that name nothing: a page that says so.
        for address, text in (("#/pipelines/%d" % (big + 1000), "no pipeline %d" % (big + 1000)),
                              ("#/pipelines/0", "no pipeline 0"), ("#/reports", "no such page")):
            page.evaluate("location.hash = %s" % json.dumps(address))
            page.wait_for("!document.getElementById('view-not-found').hidden && "
                          "document.getElementById('not-found-text').textContent.includes(%s)" % json.dumps(text))

        # Sign-out forgets the key and the tenant's data.
        page.evaluate("document.getElementById('sign-out').click()")
        page.wait_for("!document.getElementById('view-sign-in').hidden")
        assert page.evaluate("[sessionStorage.length, document.querySelectorAll('.dag-node, #pipelines-body tr')"
                             ".length, location.hash]") == [0, 0, ""]

        # Nothing refused by the policy, no script errors, no request elsewhere.
        assert [e["payload"] for e in page.events("Runtime.bindingCalled")] == []
        assert page.events("Runtime.exceptionThrown") == []
        urls = [e["request"]["url"] for e in page.events("Network.requestWillBeSent")]
        assert urls and all(u.startswith(service.url + "/") for u in urls), json.dumps(urls, indent=1)


def test_demo_pipeline_shows_measured_fairness_lineage_and_one_rows_graph(service, chromium, tmp_path):
    import io

    from lumarq.demo import PROTECTED, Progress, make_applications, make_regions, run_pipeline
    from lumarq.utilities.vantor32_dag import DAGTracker

    tracker = DAGTracker(api_key=service.key, tenant_id=service.tenant, service_url=service.url,
                         pipeline_name="credit-scoring-demo")
    with tracker:
        scored = run_pipeline(tracker, make_applications(400), make_regions(), Progress(5, io.StringIO()))
        tracker.report_fairness(scored, "approved", PROTECTED, favorable=True, labels="repaid")
        tracker.flush()
        pid = tracker._pipeline_id

    with Chromium(chromium, tmp_path / "profile") as browser:
        page = browser.new_page(1366, 900)
        page.navigate(service.url + "/#/pipelines/%d" % pid)
        page.wait_for("!document.getElementById('view-sign-in').hidden")
        page.type_into("#api-key", service.key)
        page.press_enter()
        page.wait_for("document.querySelectorAll('#metrics-body table.metrics-table').length === 2")

        # Measured metrics: a table per attribute, bars per group, the four-fifths flag.
        groups = page.evaluate("""[...document.querySelectorAll('table.metrics-table[data-attribute=gender] tbody tr')]
            .map(tr => tr.dataset.group)""")
        assert groups == ["female", "male", "nonbinary"]
        bars = page.evaluate("""[...document.querySelectorAll('svg.rate-bars[data-attribute=age] rect.rate-bar')]
            .map(r => +r.getAttribute('width'))""")
        assert len(bars) == 4 and all(w > 0 for w in bars)
        heading = page.evaluate("document.querySelector('.attribute[data-attribute=age] h3').textContent")
        assert "four fifths" in heading
        reach = page.evaluate("""Object.fromEntries([...document.querySelectorAll('#fairness-reach li')]
            .map(li => [li.dataset.attribute, li.textContent]))""")
        assert "reaches the outcome" in reach["age"] and "registered but never used" in reach["gender"]
        risk = page.evaluate("[...document.querySelectorAll('#risk-table tbody tr')].map(tr => tr.dataset.column)")
        assert {"score", "dti", "age"} <= set(risk)
        # No model fields were given: none are shown.
        fields = page.evaluate("[...document.querySelectorAll('#fairness-body dd')].map(d => d.dataset.field)")
        assert not [f for f in fields if f.startswith("model")]

        # One row's graph, by its index.
        page.type_into("#row-index", "3")
        page.evaluate("document.getElementById('row-show').click()")
        page.wait_for("document.querySelector('#dag-canvas svg[data-row=\"3\"]') !== null")
        ops = page.evaluate("[...document.querySelectorAll('#dag-canvas .dag-node')].map(g => g.dataset.label)")
        assert "clip" in ops and 5 <= len(ops) < 40
        page.evaluate("document.querySelector('#dag-canvas .dag-node[data-kind=root]').focus()")
        details = page.wait_for("document.getElementById('node-details').textContent")
        assert "Value in this row" in details
        page.type_into("#row-index", "99999")
        page.evaluate("document.getElementById('row-show').click()")
        page.wait_for("document.getElementById('row-error').textContent.includes('No values are stored for row 99999')")
        print("demo dashboard screenshot: %s" % page.screenshot(tmp_path / "demo-dashboard.png"))

        # The column-level view is the default picture: source columns by name, protected paths marked.
        labels = page.evaluate("[...document.querySelectorAll('#lineage-canvas .dag-node')].map(g => g.dataset.label)")
        assert {"income", "debt", "age", "gender"} <= set(labels)
        assert page.evaluate("document.querySelectorAll('#lineage-canvas .dag-edge.protected-path').length") > 0
        assert page.events("Runtime.exceptionThrown") == []
        # Derived boxes are named from the "column" node metadata that frame assignments store.
        assert {"dti", "score"} <= set(labels)
