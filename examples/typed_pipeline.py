"""A small pipeline written against the typed API; CI checks it with `mypy --strict`.

    python examples/typed_pipeline.py
"""
from __future__ import annotations

from typing import Any, Dict, List, Optional

import pandas as pd

from lumarq.utilities.jsoncodec import dumps
from lumarq.utilities.vantor32 import OpCode, ProvenanceInfo, ProvenanceTracker, audit, column_risk_report, wrap_dataframe
from lumarq.utilities.vantor32_dag import (
    ComputationDAG,
    DAGNode,
    DAGTracker,
    dag_audit,
    get_dag_for_series,
    wrap_dataframe_dag,
)


def loans() -> pd.DataFrame:
    return pd.DataFrame({"income": [52_000.0, 61_000.0, 38_500.0],
                         "debt": [12_000.0, 30_500.0, 4_100.0],
                         "age": [34, 51, 27]})


def word_level() -> int:
    tracker = ProvenanceTracker()
    income: int = tracker.register("loans", "income")
    age: int = tracker.register("loans", "age", protected=True)
    ratio = tracker.combine(tracker.encode({income}), tracker.encode({age}, taint=True), OpCode.DIV)
    info: ProvenanceInfo = tracker.decode_full(ratio)
    names: List[tuple[str, str]] = tracker.explain(ratio)
    assert info.taint and len(names) == 2 and tracker.has_protected(ratio)
    return ratio


def array_level() -> List[Dict[str, Any]]:
    tracker = ProvenanceTracker()
    df = wrap_dataframe(loans(), tracker, "loans", protected=["age"])
    df["dti"] = df["debt"] / df["income"]
    report: Dict[str, Any] = audit(df["dti"])
    assert report["has_protected"] is False
    return column_risk_report(df)


def dag_level() -> Optional[ComputationDAG]:
    with DAGTracker(pipeline_name="typed-example") as tracker:
        df = wrap_dataframe_dag(loans(), tracker, "loans", protected=["age"])
        score = (df["debt"] / df["income"]) * df["age"]
        summary: Dict[str, Any] = dag_audit(score, 0)
        dag = get_dag_for_series(score, 0)
        if dag is not None:
            protected: List[DAGNode] = dag.protected_sources
            assert dag.depth >= 2 and [n.column for n in protected] == ["age"]
            assert summary["taint"] is True
            text: str = dag.to_graphviz()
            assert text.startswith("digraph")
        return dag


if __name__ == "__main__":
    print(hex(word_level()))
    print(dumps(array_level(), indent=2))
    graph = dag_level()
    print(graph.to_json() if graph is not None else "no graph")
