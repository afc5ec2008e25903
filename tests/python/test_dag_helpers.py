"""combine_provenances, get_dag_for_series and dag_audit."""
import numpy as np
import pandas as pd
import pytest

from dag_support import TYPE_ERROR
from lumarq.utilities.vantor32 import OpCode
from lumarq.utilities.vantor32_dag import (ComputationDAG, DAGTrackedSeries, DAGTracker,
                                           combine_provenances, dag_audit, get_dag_for_series,
                                           wrap_dataframe_dag)

KEYS = ["provenance", "mode", "pair_count", "pair_ids", "columns", "tables", "entity", "chain",
        "taint", "depth", "risk", "has_protected"]


@pytest.fixture
def pipeline():
    t = DAGTracker()
    df = pd.DataFrame({"income": [10.0, 20.0, 30.0], "age": [40, 50, 60]})
    w = wrap_dataframe_dag(df, t, "loans", protected=["age"])
    ratio = w["income"] / w["age"]
    return t, w, ratio


@pytest.mark.parametrize("ids, op, expected", [
    ([], None, lambda t, p: 0),
    ([0], None, lambda t, p: p[0]),
    ([0, 1], None, lambda t, p: t.combine(p[0], p[1], OpCode.CUSTOM)),
    ([0, 99, 1], None, lambda t, p: t.combine(p[0], p[1], OpCode.CUSTOM)),  # unknown ids skipped
    ((i for i in (1, 0, 2)), OpCode.ADD,
     lambda t, p: t.combine(t.combine(p[1], p[0], OpCode.ADD), p[2], OpCode.ADD)),
], ids=["none", "one", "two", "unknown-between", "generator-with-code"])
def test_combine_provenances(pipeline, ids, op, expected):
    t, _, _ = pipeline
    provs = [t.get_node(i).provenance for i in range(3)]
    assert combine_provenances(t, ids, op) == expected(t, provs)


def test_combine_provenances_restarts_from_a_zero_result():
    class Zeroing(DAGTracker):
        def combine(self, a, b, op):
            self.seen.append((a, b, op))
            return 0

    t = Zeroing()
    t.seen = []
    ids = [t.create_source_node("t", c, p) for c, p in (("a", 5), ("b", 6), ("c", 7))]
    # The running result 0 is replaced by the next provenance, not combined with it.
    assert combine_provenances(t, ids) == 7
    assert t.seen == [(5, 6, OpCode.CUSTOM)]


def test_get_dag_for_series(pipeline):
    t, w, ratio = pipeline
    dag = get_dag_for_series(ratio, 1)
    assert isinstance(dag, ComputationDAG) and dag.root_id == int(ratio._node_ids[1])
    assert set(dag.nodes) == {0, 1, int(ratio._node_ids[1])}
    assert get_dag_for_series(ratio).root_id == int(ratio._node_ids[0])
    assert get_dag_for_series(ratio, -1).root_id == int(ratio._node_ids[2])  # from the end
    assert get_dag_for_series(ratio, np.int64(2)).root_id == int(ratio._node_ids[2])
    assert get_dag_for_series(ratio, 3) is None  # row_index == len(_node_ids)
    assert get_dag_for_series(DAGTrackedSeries([1.0])) is None  # no tracker
    assert get_dag_for_series(DAGTrackedSeries([1.0], _tracker=t)) is None  # node id -1
    no_nodes = type("NoNodes", (), {"_tracker": t})()
    assert get_dag_for_series(no_nodes) is None
    evicted = DAGTrackedSeries([1.0], _tracker=t, _node_ids=np.array([12345]))
    dag = get_dag_for_series(evicted)
    assert dag.nodes == {} and dag.edges == []
    with pytest.raises(TypeError, match=TYPE_ERROR.format("row_index", "int", "str")):
        get_dag_for_series(ratio, "1")
    with pytest.raises(TypeError, match="get_dag_for_series expects a DAGTrackedSeries"):
        get_dag_for_series(pd.Series([1.0]))


def test_dag_audit_of_a_derived_row(pipeline):
    t, w, ratio = pipeline
    audit = dag_audit(ratio, 2)
    prov = int(ratio._prov[2])
    info = t.decode_full(prov)
    assert list(audit) == KEYS + ["dag"]
    assert audit["provenance"] == "0x%08X" % prov and audit["mode"] == t.get_mode(prov)
    assert audit["pair_count"] == 2 and audit["pair_ids"] == [0, 1]
    assert audit["columns"] == t.explain(prov) and audit["tables"] == ["loans"]
    assert (audit["entity"], audit["chain"], audit["taint"], audit["depth"]) == (
        info.entity, info.chain, True, 1)
    assert audit["risk"] == t.risk_score(prov) and audit["has_protected"] is True
    assert audit["dag"] == {"depth": 1, "node_count": 3, "operation_counts": {"div": 1, "loans.income": 1, "loans.age": 1},
                            "sources": [("loans", "income"), ("loans", "age")],
                            "protected_sources": [("loans", "age")]}


def test_dag_audit_of_a_source_column(pipeline):
    t, w, _ = pipeline
    audit = dag_audit(w["income"])
    assert audit["dag"] == {"depth": 0, "node_count": 1, "operation_counts": {"loans.income": 1},
                            "sources": [("loans", "income")], "protected_sources": []}
    assert audit["pair_ids"] == [0] and audit["taint"] is False and audit["has_protected"] is False


def test_dag_audit_edge_cases(pipeline):
    t, _, _ = pipeline
    error = {"error": "No tracker or empty series"}
    assert dag_audit(DAGTrackedSeries([1.0])) == error
    assert dag_audit(DAGTrackedSeries([], dtype=float, _tracker=t)) == error
    s = DAGTrackedSeries([1.0], _prov=np.array([42], np.uint32), _tracker=t)
    audit = dag_audit(s)
    assert audit["provenance"] == "0x0000002A" and list(audit) == KEYS  # node id -1: no "dag"
    evicted = DAGTrackedSeries([1.0], _prov=np.array([42], np.uint32), _tracker=t,
                               _node_ids=np.array([999]))
    assert dag_audit(evicted)["dag"]["node_count"] == 0  # a graph object, even when empty
    with pytest.raises(IndexError):
        dag_audit(s, 5)
    with pytest.raises(TypeError, match=TYPE_ERROR.format("row_index", "int", "NoneType")):
        dag_audit(s, None)


def test_a_row_of_a_longer_pipeline_and_its_export(pipeline):
    t, w, ratio = pipeline
    score = (ratio * w["income"]).clip(0, 100) > 5  # a scalar operand: the clip nodes carry over
    dag = get_dag_for_series(score, 0)
    assert dag.depth == 3 and dag.operation_counts == {"clip": 1, "mul": 1, "div": 1,
                                                       "loans.income": 1, "loans.age": 1}
    assert score.tolist() == [False, True, True]
    exported = dag.to_dict()
    assert exported["node_count"] == 5 and exported["has_protected"] is True
    assert r"loans\nage" in dag.to_graphviz()
