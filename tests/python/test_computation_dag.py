"""ComputationDAG: depth, views, taint risks and the dict, JSON and Graphviz exports."""
import json
import os
import re
import shutil
import subprocess

import numpy as np
import pytest

from lumarq.utilities.vantor32_dag import ComputationDAG, DAGEdge, DAGNode, DAGTracker, NodeType

TAINT = 1 << 29


def depth_bits(n):
    return n << 26


def src(i, table="loans", column=None, prov=0, protected=False):
    return DAGNode(i, NodeType.SOURCE, f"{table}.{column or f'c{i}'}", [], prov, table=table,
                   column=column or f"c{i}", pair_id=i, is_protected=protected)


def op(i, name, inputs, prov=0):
    return DAGNode(i, NodeType.BINARY if len(inputs) == 2 else NodeType.UNARY, name, inputs, prov)


def graph(root, *nodes):
    by_id = {n.node_id: n for n in nodes}
    edges = [DAGEdge(s, n.node_id, i) for n in nodes for i, s in enumerate(n.inputs)]
    return ComputationDAG(root, by_id, edges)


def check_dot(text):
    """Every DOT text a test produces must be accepted by Graphviz itself."""
    if shutil.which("dot") is None:
        if os.environ.get("CI") == "true":
            pytest.fail("Graphviz dot is required in CI")
        pytest.skip("Graphviz dot is not installed")
    r = subprocess.run(["dot", "-Tsvg"], input=text.encode("utf-8", "surrogatepass"),
                       capture_output=True, timeout=60)
    assert r.returncode == 0, r.stderr.decode()
    return r.stdout.decode()


# ---------------------------------------------------------------- depth

def with_text_ids(dag):
    """The same graph with text ids, whose depth is walked in Python instead of natively."""
    nodes = {str(k): DAGNode(str(n.node_id), n.node_type, n.operation, [str(i) for i in n.inputs],
                             n.provenance) for k, n in dag.nodes.items()}
    return ComputationDAG(str(dag.root_id), nodes, [])


@pytest.mark.parametrize("text_ids", [False, True])
@pytest.mark.parametrize("dag, depth", [
    (graph(0, src(0)), 0),
    (graph(2, src(0), op(2, "neg", [0])), 1),
    (graph(3, src(0), src(1), op(2, "neg", [0]), op(3, "add", [2, 1])), 2),
    (graph(3, src(0), op(1, "neg", [0]), op(2, "abs", [0]), op(3, "add", [1, 2])), 2),  # diamond
    # a node met again, after its depth is known, on a longer path
    (graph(4, src(0), op(1, "neg", [0]), op(3, "abs", [1]), op(4, "add", [1, 3])), 3),
    (graph(42, src(0)), 0),                     # unknown root
    (ComputationDAG(0, {}, []), 0),             # empty graph
    (graph(5, op(5, "neg", [4])), 1),           # input evicted: a leaf of depth 0
    (graph(1, op(1, "self", [1])), 1),          # a node naming itself
    (graph(1, op(1, "a", [2]), op(2, "b", [1])), 2),  # two-node cycle
    (graph(3, src(0), op(1, "a", [2, 0]), op(2, "b", [1]), op(3, "c", [2])), 3),
])
def test_depth(dag, depth, text_ids):
    assert (with_text_ids(dag) if text_ids else dag).depth == depth


def test_depth_of_a_million_node_chain():
    n = 1_000_000
    nodes = {i: DAGNode(i, NodeType.UNARY, "inc", [i - 1] if i else [], 0) for i in range(n)}
    assert ComputationDAG(n - 1, nodes, []).depth == n - 1


def test_depth_of_a_long_chain_of_text_ids():
    # The Python walk must not recurse either.
    n = 200_000
    nodes = {str(i): DAGNode(str(i), NodeType.UNARY, "inc", [str(i - 1)] if i else [], 0)
             for i in range(n)}
    assert ComputationDAG(str(n - 1), nodes, []).depth == n - 1


def test_depth_with_ids_that_are_not_plain_ints():
    np = pytest.importorskip("numpy")
    dag = ComputationDAG(np.int64(2), {0: src(0), 2: op(2, "neg", [np.int64(0)]), "x": op(9, "s", ["x"])}, [])
    assert dag.depth == 1
    assert ComputationDAG("x", dag.nodes, []).depth == 1  # the self-cycle through a text id


# ---------------------------------------------------------------- views

def test_views_over_sources_protection_and_operations():
    dag = graph(4, src(0, protected=True), src(1), src(2, protected=True),
                op(3, "add", [0, 1]), op(4, "add", [3, 2]))
    assert [n.node_id for n in dag.source_nodes] == [0, 1, 2]
    assert [n.node_id for n in dag.protected_sources] == [0, 2]
    assert dag.has_protected is True
    assert dag.operation_counts == {"loans.c0": 1, "loans.c1": 1, "loans.c2": 1, "add": 2}
    plain = graph(3, src(0), src(1), op(3, "add", [0, 1]))
    assert plain.protected_sources == [] and plain.has_protected is False
    # A protected operation node is not a protected source.
    assert graph(5, DAGNode(5, NodeType.UNARY, "neg", [], TAINT, is_protected=True)).has_protected is False


def test_column_taint_risks_keep_the_highest_per_column_name():
    dag = graph(9, src(0, table="a", column="age", prov=TAINT | depth_bits(1)),
                src(1, table="b", column="age", prov=TAINT),
                src(2, table="a", column="income", prov=depth_bits(0)),
                src(3, table="a", column="zip", prov=TAINT | depth_bits(3)),
                DAGNode(9, NodeType.UNARY, "neg", [0], TAINT))
    assert dag.column_taint_risks() == {"age": 1.0, "zip": 0.25}


@pytest.mark.parametrize("prov, risks", [
    (TAINT | depth_bits(2), {"c": 1 / 3}),
    (depth_bits(2), {}),
    (-1, {"c": 0.125}),  # every bit set: tainted at the greatest depth
    (2**40 | TAINT, {"c": 1.0}),  # the word is the low 32 bits
    ("x", TypeError),
    (None, TypeError),
])
def test_column_taint_risks_read_each_provenance_as_a_word(prov, risks):
    unnamed = DAGNode(1, NodeType.SOURCE, "loans.", [], TAINT, table="loans", column="")
    dag = graph(0, src(0, column="c", prov=prov), unnamed)
    if risks is TypeError:
        with pytest.raises(TypeError, match="provenance"):
            dag.column_taint_risks()
    else:
        assert dag.column_taint_risks() == pytest.approx(risks)


def test_views_read_the_nodes_through_values_and_keep_first_seen_order():
    class Nodes(dict):
        def values(self):
            return [op(7, "mul", [1], prov=TAINT), src(5, column="z", prov=TAINT | depth_bits(1)),
                    op(8, "add", [1, 2]), op(9, "mul", [1])]

    dag = ComputationDAG(0, Nodes({0: src(0, column="hidden", prov=TAINT)}), [])
    assert [n.node_id for n in dag.source_nodes] == [5]
    assert list(dag.operation_counts.items()) == [("mul", 2), ("loans.z", 1), ("add", 1)]
    assert dag.column_taint_risks() == {"z": 0.5}
    with pytest.raises(TypeError, match="unhashable"):
        graph(0, op(0, [1], [])).operation_counts


# ---------------------------------------------------------------- exports

def diamond():
    return graph(3, src(0), op(1, "neg", [0]), op(2, "abs", [0]), op(3, "add", [1, 2]))


def test_to_dict_layout():
    dag = diamond()
    out = dag.to_dict()
    assert list(out) == ["root_id", "depth", "node_count", "edge_count", "has_protected",
                         "taint_risks", "sources", "protected_sources", "operation_counts",
                         "nodes", "edges"]
    assert (out["root_id"], out["depth"], out["node_count"], out["edge_count"]) == (3, 2, 4, 4)
    assert out["has_protected"] is False and out["taint_risks"] == {}
    assert out["sources"] == [dag.nodes[0].to_dict()] and out["protected_sources"] == []
    assert list(out["nodes"]) == ["0", "1", "2", "3"] and list(dag.nodes) == [0, 1, 2, 3]
    assert out["nodes"]["3"]["inputs"] is dag.nodes[3].inputs
    assert out["edges"][0] == {"source": 0, "target": 1, "input_index": 0}


def test_to_json_round_trips_and_follows_the_indent():
    dag = diamond()
    text = dag.to_json()
    assert text.startswith('{\n  "root_id": 3')
    assert json.loads(text) == json.loads(json.dumps(dag.to_dict()))
    flat = dag.to_json(indent=0)
    assert flat.startswith('{\n"root_id": 3,\n"depth": 2')
    assert dag.to_json(indent=4.9) == dag.to_json(4)


def test_to_json_errors():
    dag = diamond()
    with pytest.raises(TypeError, match=r"Argument 'indent' has incorrect type \(expected int, got str\)"):
        dag.to_json(indent="2")
    dag.nodes[0].metadata["obj"] = object()
    assert dag.to_dict()["nodes"]["0"]["metadata"]["obj"] is dag.nodes[0].metadata["obj"]
    with pytest.raises(TypeError, match="not JSON serializable"):
        dag.to_json()


def test_to_json_goes_through_the_module_json(monkeypatch):
    """A json module replaced on vantor32_dag is the one used, with the indent as an int."""
    import lumarq.utilities.vantor32_dag as module

    calls = []

    class Replaced:
        @staticmethod
        def dumps(obj, indent):
            calls.append((obj, indent))
            return "replaced"

    dag = diamond()
    monkeypatch.setattr(module, "json", Replaced)
    assert dag.to_json(indent=3.7) == "replaced"
    assert calls == [(dag.to_dict(), 3)] and type(calls[0][1]) is int


class Label(str):
    pass


def cyclic():
    loop = []
    loop.append(loop)
    return loop


@pytest.mark.parametrize("indent", [2, 0, 4, -3])
@pytest.mark.parametrize("value", [
    "é ✓ 😀 \ud800 \x00\x1f\x7f\b\f\n\r\t \"q\" \\ /",
    [0.1, -0.0, 1e16, 1.5e-7, 123456789012345680.0, float("nan"), float("inf"), -float("inf")],
    [2 ** 70, -2 ** 63, 0, True, False, None],
    {1: "int", 2.5: "float", True: "t", False: "f", None: "n", "": []},
    [[], {}, [[]], (1, "a"), {"x": ({"y": ()},)}],
    Label("a str subclass"), {Label("k"): 1}, np.int64(3), {("tuple", "key"): 1}, {1, 2}, cyclic(),
], ids=lambda v: type(v).__name__)
def test_to_json_is_the_text_json_dumps_gives(value, indent):
    """Whatever the graph holds, to_json gives json.dumps' own text, or its own error."""
    dag = diamond()
    dag.nodes[1].metadata["value"] = value
    dag.nodes[2].operation = value if isinstance(value, str) else "op"
    try:
        expected = json.dumps(dag.to_dict(), indent=indent)
    except (TypeError, ValueError) as e:
        with pytest.raises(type(e), match=re.escape(str(e))):
            dag.to_json(indent=indent)
    else:
        assert dag.to_json(indent=indent) == expected


def test_to_graphviz_matches_the_documented_text():
    dag = ComputationDAG(2, {2: op(2, "add", [0, 1]), 0: src(0, column="income"), 1: src(1, column="age")},
                         [DAGEdge(0, 2, 0), DAGEdge(1, 2, 1)])
    text = dag.to_graphviz()
    assert text.split("\n") == [
        "digraph ComputationDAG {", "  rankdir=BT;", "  node [shape=box, style=filled];", "",
        '  n2 [label="add", fillcolor="#c084fc"];',
        '  n0 [label="loans\\nincome", fillcolor="#22d3ee"];',
        '  n1 [label="loans\\nage", fillcolor="#22d3ee"];',
        "", "  n0 -> n2;", "  n1 -> n2;", "}"]
    svg = check_dot(text)
    assert "loans" in svg and "income" in svg


@pytest.mark.parametrize("dag, lines", [
    (graph(0, src(0, protected=True)), ['  n0 [label="loans\\nc0", fillcolor="#f59e0b"];']),
    (graph(1, src(0), op(1, "neg", [0]), op(5, "abs", [0])),
     ['  n1 [label="neg", fillcolor="#c084fc"];', '  n5 [label="abs", fillcolor="#4ade80"];']),
    (graph(0, src(0)), ['  n0 [label="loans\\nc0", fillcolor="#22d3ee"];']),  # a source root
    (graph(6, op(6, "neg", [4])), ["  n4 -> n6;"]),  # the edge into an evicted node stays
])
def test_to_graphviz_colours_and_edges(dag, lines):
    text = dag.to_graphviz()
    for line in lines:
        assert line in text.split("\n")
    check_dot(text)


@pytest.mark.parametrize("label", ['say "hi"', "back\\slash", "trailing\\", '\\"', "é ✓ \\n"])
def test_to_graphviz_escapes_user_text(label):
    dag = graph(1, DAGNode(0, NodeType.SOURCE, "x", [], 0, table=label, column=label),
                op(1, label, [0]))
    text = dag.to_graphviz()
    escaped = label.replace("\\", "\\\\").replace('"', '\\"')
    assert f'  n1 [label="{escaped}", fillcolor="#c084fc"];' in text
    assert f'  n0 [label="{escaped}\\n{escaped}", fillcolor="#22d3ee"];' in text
    check_dot(text)


def test_exports_of_a_tracker_graph_go_through_graphviz():
    t = DAGTracker()
    t.register("loans", "income")
    a = t.create_source_node("loans", "income", 1)
    b = t.create_source_node("loans", "age", 2)
    root = t.log_unary("neg", t.log_binary("add", a, b, 3), 4)
    dag = t.get_dag(root)
    check_dot(dag.to_graphviz())
    assert json.loads(dag.to_json())["nodes"]["0"]["pair_id"] == 0


def test_subclass_views_are_used_by_the_exports():
    class Custom(ComputationDAG):
        @property
        def depth(self):
            return 99

        def column_taint_risks(self):
            return {"x": 0.5}

    dag = Custom(3, diamond().nodes, diamond().edges)
    out = dag.to_dict()
    assert (out["depth"], out["taint_risks"]) == (99, {"x": 0.5})
    assert json.loads(dag.to_json())["depth"] == 99
