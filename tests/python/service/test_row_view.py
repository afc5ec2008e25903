"""One row's graph where the outcome's rows are not a source table's rows."""

from __future__ import annotations

import pandas as pd
import pytest
from service_helpers import call

pytest.importorskip("fastapi")

APPS = pd.DataFrame({"x": [1.0, 2.0, 3.0, 4.0, 5.0], "v": [10.0, 20.0, 30.0, 40.0, 50.0],
                     "k": ["a", "b", "c", "a", "b"]})
# A lookup table in another order than the keys it is matched by.
LOOKUP = pd.DataFrame({"k": ["c", "b", "a"], "w": [300.0, 200.0, 100.0]})


def _merged(tracker):
    import lumarq

    m = lumarq.track(APPS, tracker, "A").merge(lumarq.track(LOOKUP, tracker, "B"), on="k", how="left")
    m["y"] = m["x"] + m["w"]
    return m


def _merged_frames(tracker):
    from lumarq.utilities.vantor32_dag import wrap_dataframe_dag

    m = wrap_dataframe_dag(APPS, tracker, "A").merge(wrap_dataframe_dag(LOOKUP, tracker, "B"), on="k", how="left")
    m["y"] = m["x"] + m["w"]
    return m


def _filtered(tracker):
    import lumarq

    a = lumarq.track(APPS, tracker, "A")
    m = a[a["x"] > 2.0].reset_index(drop=True)
    m["y"] = m["x"] + m["v"]
    return m


def _concatenated(tracker):
    import lumarq

    more = pd.DataFrame({"x": [7.0, 8.0], "v": [70.0, 80.0], "k": ["z", "y"]})
    m = pd.concat([lumarq.track(APPS, tracker, "A"), lumarq.track(more, tracker, "A2")], ignore_index=True)
    m["y"] = m["x"] + m["v"]
    return m


@pytest.mark.parametrize("build, kept", [
    (_merged, {"A": range(5)}),         # the left table keeps its rows; the lookup's are matched
    (_merged_frames, {"A": range(5)}),  # the same through tracked frames (no merge node per row)
    (_filtered, {}),                    # rows 0-2 of the outcome are rows 2-4 of A
    (_concatenated, {"A": range(5)}),   # A2's rows are the outcome's rows 5 and 6
], ids=["lookup-merge", "lookup-merge-frames", "filter", "concat"])
def test_row_view_never_shows_a_source_value_of_another_row(service, build, kept):
    from lumarq.utilities.vantor32_dag import DAGTracker

    tracker = DAGTracker(api_key=service.key, tenant_id=service.tenant, service_url=service.url,
                         pipeline_name="rows")
    with tracker:
        outcome = build(tracker)
        tracker.flush()
        pid = tracker._pipeline_id

    for row in range(len(APPS) + 2):
        status, got = call(service.url, "GET", "/v1/pipelines/%d/rows/%d/dag" % (pid, row), key=service.key)
        assert status == 200
        shown = {n["operation"]: n for n in got["nodes"] if n["node_type"] == "SOURCE"}
        for op, n in shown.items():
            table, column = op.split(".")
            if n["has_value"]:
                # The value this outcome row read from that source column, and nothing else.
                assert row < len(outcome) and n["value"] == outcome[column].iloc[row], (row, op, n["value"])
                assert n.get("no_value_reason") is None
            elif table not in kept:
                assert " %s " % table in (n.get("no_value_reason") or ""), (row, op)
        for table, rows in kept.items():
            if row in rows:
                assert {op for op, n in shown.items() if n["has_value"]} >= {table + ".x", table + ".v"}, row
        # Values of operations, recorded under the outcome's own rows, stay.
        computed = [n["value"] for n in got["nodes"] if n["node_type"] != "SOURCE" and n["has_value"]]
        assert computed == ([outcome["y"].iloc[row]] if row < len(outcome) else []), row
