"""The tracker's rare reads (utilities._dag_reads) and the DAG exports (utilities._dag_graph): the
dict paths taken after a spill agree with the columnar store's, and overrides are honoured."""
import numpy as np
import pytest

from lumarq.utilities.vantor32_dag import ComputationDAG, DAGTracker, combine_provenances

TAINT = 1 << 29


def build(t):
    a, b = t.create_source_node("t", "a", 1), t.create_source_node("t", "b", TAINT)
    add = t.log_binary("add", a, b, TAINT | (1 << 26))
    t.log_binary("add", a, b, 3)
    t.log_aggregate("sum", [a, add], 3)
    return t.log_unary("neg", add, 5)


def reads(t, root):
    dag = t.get_dag(root)
    return (t.dag_stats(), [n.node_id for n in t.get_nodes_for_provenance(3)],
            t.get_nodes_for_provenance(1 << 40), list(dag.nodes),
            [(e.source_id, e.target_id, e.input_index) for e in dag.edges],
            t.get_dag_for_provenance(3).root_id, dag.to_dict())


def test_the_dict_paths_after_a_spill_read_what_the_store_read():
    t = DAGTracker()
    root = build(t)
    assert t._columnar
    before = reads(t, root)
    t._nodes  # handing the dict out moves the nodes into it for good
    assert not t._columnar
    assert reads(t, root) == before
    assert before[0]["protected_sources"] == 2 and before[1] == [3, 4]


class Picky(DAGTracker):
    def __init__(self, found):
        super().__init__()
        self.found, self.asked = found, []

    def get_nodes_for_provenance(self, provenance):
        return self.found(self, provenance)

    def get_dag(self, root_node_id):
        self.asked.append(root_node_id)
        return super().get_dag(root_node_id)


@pytest.mark.parametrize("found, asked", [
    (lambda t, p: [], []),
    (lambda t, p: (n for n in []), []),  # truthy, yet empty
    (lambda t, p: [t.get_node(1), t.get_node(3), t.get_node(2)], [3]),
])
def test_the_dag_of_a_provenance_goes_through_the_methods(found, asked):
    t = Picky(found)
    build(t)
    dag = t.get_dag_for_provenance(3)
    assert t.asked == asked and (dag is None) == (not asked)


def test_combine_provenances_takes_an_overrides_result_as_an_int():
    class Wide(DAGTracker):
        def combine(self, a, b, op):
            return np.uint64(a + b)

    t = Wide()
    ids = [t.create_source_node("t", c, p) for c, p in (("a", 4), ("b", 5), ("c", 6))]
    out = combine_provenances(t, ids + [99])
    assert out == 15 and type(out) is int


def test_to_dict_of_a_subclass_reads_its_overridden_views():
    class OneSource(ComputationDAG):
        @property
        def source_nodes(self):
            return [n for n in self.nodes.values() if n.is_source][:1]

        @property
        def protected_sources(self):
            return []

    t = DAGTracker()
    base = t.get_dag(build(t))
    d = OneSource(base.root_id, base.nodes, base.edges).to_dict()
    assert len(d["sources"]) == 1 and d["protected_sources"] == [] and d["has_protected"] is False
    assert {k: v for k, v in d.items() if k not in ("sources", "protected_sources", "has_protected")} \
        == {k: v for k, v in base.to_dict().items() if k not in ("sources", "protected_sources", "has_protected")}


@pytest.mark.parametrize("key, expected", [
    (True, 1), (3.0, 3), (-0.0, 0), (np.int64(4), 4), (2.5, None), (float("nan"), None),
    (float("inf"), None), (1e300, int(1e300)), ("4", None), (None, None)])
def test_an_id_of_another_type_is_the_int_an_equal_dict_key_is(key, expected):
    from lumarq.utilities._dag_reads import int_key

    found = int_key(key)
    assert found == expected and (found is None or type(found) is int)
    if found is not None:
        assert {found: "node"}.get(key) == "node"
