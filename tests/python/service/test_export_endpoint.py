"""GET /v1/pipelines/{id}/export: every format, under the key's tenant, and `lumarq export`
against the service."""
from __future__ import annotations

import json
import shutil
import urllib.error
import urllib.request
import uuid

import pytest
from lineage_support import check_event, check_prov, credit_frame, from_storage

from lumarq.cli import main
from lumarq.utilities.persistence import StoredNode
from lumarq.utilities.vantor32_dag import DAGTracker

pytest.importorskip("prov")


def fetch(base, path, key=None):
    req = urllib.request.Request(base + path, headers={"Authorization": "Bearer " + key} if key else {})
    try:
        with urllib.request.urlopen(req, timeout=60) as resp:
            return resp.status, resp.headers.get("Content-Type", ""), resp.read().decode("utf-8")
    except urllib.error.HTTPError as err:
        return err.code, err.headers.get("Content-Type", ""), err.read().decode("utf-8")


@pytest.fixture
def pipeline(service):
    with DAGTracker(api_key=service.key, tenant_id=service.tenant, service_url=service.url,
                    pipeline_name="credit") as t:
        credit_frame(t)
        t.flush()
        return t._pipeline_id


@pytest.mark.parametrize("fmt, media", [("json", "application/json"), ("dot", "text/vnd.graphviz"),
                                        ("svg", "image/svg+xml"), ("prov-json", "application/json"),
                                        ("prov-n", "text/provenance-notation"),
                                        ("openlineage", "application/json")])
def test_export_endpoint_formats(service, pipeline, fmt, media):
    if fmt == "svg" and shutil.which("dot") is None:
        pytest.skip("Graphviz is not installed")
    if fmt == "openlineage":
        pytest.importorskip("openlineage.client")
    run_id = str(uuid.uuid4())
    status, ctype, text = fetch(service.url, "/v1/pipelines/%d/export?format=%s&run_id=%s&namespace=ns"
                                % (pipeline, fmt, run_id), service.key)
    assert status == 200 and ctype.startswith(media), (status, text[:300])
    graph = from_storage(service.storage(), pipeline)
    if fmt == "prov-json":
        check_prov(json.loads(text), graph, {"pipeline-%d" % pipeline, "tenant-" + service.tenant})
    elif fmt == "openlineage":
        start, end = json.loads(text)
        check_event(start, run_id)
        check_event(end, run_id)
        assert set(end["outputs"][0]["facets"]["columnLineage"]["fields"]) == {"dti", "score"}
    elif fmt == "json":
        assert json.loads(text)["node_count"] == len(graph)
    elif fmt == "prov-n":
        assert text.startswith("document\n") and text.endswith("endDocument")
    else:
        assert ("digraph" in text) if fmt == "dot" else ("<svg" in text)


@pytest.mark.parametrize("who, query, status", [
    ("none", "format=json", 401),
    ("other", "format=json", 404),
    ("owner", "format=yaml", 422),
    ("owner", "format=openlineage&run_id=nope", 422),
    ("owner with a node of an unknown type", "format=json", 422),
    ("owner with a node of an unknown type", "format=dot", 422),
])
def test_export_endpoint_refusals(service, pipeline, who, query, status):
    if "openlineage" in query:
        pytest.importorskip("openlineage.client")
    if "unknown type" in who:  # the write API takes any node type text
        service.storage().store_nodes([StoredNode(77, "SOMETHING", "op", None, None, None, False, None, None, None,
                                                  pipeline)])
    key = {"none": None, "other": service.new_key("other")}.get(who, service.key)
    got, _, text = fetch(service.url, "/v1/pipelines/%d/export?%s" % (pipeline, query), key)
    assert got == status, text
    assert service.key not in text


def test_export_command_reads_through_the_service(service, pipeline, tmp_path, capsys, monkeypatch):
    out = tmp_path / "lineage.prov.json"
    monkeypatch.setenv("LUMARQ_API_KEY", service.key)
    assert main(["export", "--db", service.url, "--pipeline", str(pipeline), "--format", "prov-json",
                 "--out", str(out)]) == 0
    check_prov(json.loads(out.read_text()), from_storage(service.storage(), pipeline),
               {"pipeline-%d" % pipeline, "tenant-" + service.tenant})
    monkeypatch.setenv("LUMARQ_API_KEY", service.new_key("other"))
    assert main(["export", "--db", service.url, "--pipeline", str(pipeline)]) == 1
    captured = capsys.readouterr()
    assert "unknown pipeline" in captured.err and service.key not in captured.err + captured.out
