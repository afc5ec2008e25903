"""vantor32_dag module bootstrap, NodeType, DAGNode and DAGEdge."""
import copy
import dataclasses
import gc
import inspect
import os
import pickle
import subprocess
import sys
import textwrap
import weakref

import pytest

import lumarq.utilities.vantor32 as v
import lumarq.utilities.vantor32_dag as d
from lumarq.utilities.vantor32_dag import DAGEdge, DAGNode, DAGTracker, NodeType

TYPE_ERROR = r"Argument '{}' has incorrect type \(expected {}, got {}\)"


def run_python(code: str) -> str:
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                         text=True, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.returncode == 0, out.stderr
    return out.stdout


# ---------------------------------------------------------------- module bootstrap

def test_module_binds_its_names_in_order():
    names = [k for k in vars(d) if not k.startswith("__")]
    assert names == [
        "dataclass", "field", "Dict", "Set", "List", "Tuple", "Optional", "Any", "FrozenSet",
        "Enum", "auto", "json", "logging", "threading", "np", "pd", "logger",
        "ProvenanceTracker", "TrackedSeries", "TrackedDataFrame", "OpCode", "MAX_PAIRS",
        "MODE_01_ENTITY_BITS", "MODE_01_CHAIN_BITS", "_hash_entity",
        "NodeType", "DAGNode", "DAGEdge", "ComputationDAG", "DAGTracker",
        "DAGTrackedSeries", "DAGTrackedDataFrame", "wrap_dataframe_dag",
        "combine_provenances", "get_dag_for_series", "dag_audit"]
    assert d.logger.name == "lumarq.utilities.vantor32_dag"
    for name in ("ProvenanceTracker", "TrackedSeries", "TrackedDataFrame", "OpCode", "_hash_entity"):
        assert getattr(d, name) is getattr(v, name)
    assert issubclass(DAGTracker, v.ProvenanceTracker)
    for cls in (NodeType, DAGNode, DAGEdge, d.ComputationDAG, DAGTracker):
        assert cls.__module__ == "lumarq.utilities.vantor32_dag"


def test_storage_component_is_not_imported_at_load():
    out = run_python("""
        import sys
        import lumarq.utilities.vantor32_dag
        print(any(m.startswith("lumarq.utilities.persistence") for m in sys.modules))
    """)
    assert out.strip() == "False"


@pytest.mark.parametrize("missing", ["_hash_entity", "MODE_01_CHAIN_BITS"])
def test_a_missing_sibling_name_fails_the_import(missing):
    out = run_python(f"""
        import lumarq.utilities.vantor32 as v
        delattr(v, {missing!r})
        try:
            import lumarq.utilities.vantor32_dag
        except ImportError as e:
            print(type(e).__name__, "|", e, "|", e.name)
    """)
    kind, message, name = [p.strip() for p in out.split("|")]
    assert kind == "ImportError" and name == "lumarq.utilities.vantor32"
    assert message.startswith(f"cannot import name '{missing}' from 'lumarq.utilities.vantor32' (")


# ---------------------------------------------------------------- NodeType

def test_node_type_is_an_enum_with_values_one_to_eight():
    import enum
    assert issubclass(NodeType, enum.Enum)
    assert [(m.name, m.value) for m in NodeType] == [
        ("SOURCE", 1), ("CONSTANT", 2), ("UNARY", 3), ("BINARY", 4), ("AGGREGATE", 5),
        ("MERGE", 6), ("FILTER", 7), ("CUSTOM", 8)]
    assert NodeType.__doc__ == "Types of nodes in the computation DAG."
    assert pickle.loads(pickle.dumps(NodeType.MERGE)) is NodeType.MERGE


# ---------------------------------------------------------------- DAGNode

def node(**kw):
    base = dict(node_id=7, node_type=NodeType.BINARY, operation="add", inputs=[1, 2], provenance=5)
    base.update(kw)
    return DAGNode(**base)


def test_constructor_defaults_positional_order_and_signature():
    n = DAGNode(3, NodeType.UNARY, "neg", [1], 9)
    assert (n.node_id, n.node_type, n.operation, n.inputs, n.provenance) == (3, NodeType.UNARY, "neg", [1], 9)
    assert (n.metadata, n.table, n.column, n.pair_id, n.is_protected) == ({}, None, None, None, False)
    full = DAGNode(0, NodeType.SOURCE, "t.c", [], 1, {"k": 1}, "t", "c", 4, True)
    assert (full.metadata, full.table, full.column, full.pair_id, full.is_protected) == ({"k": 1}, "t", "c", 4, True)
    assert [f.name for f in dataclasses.fields(DAGNode)] == [
        "node_id", "node_type", "operation", "inputs", "provenance", "metadata", "table", "column",
        "pair_id", "is_protected"]
    assert str(inspect.signature(DAGNode)).startswith("(node_id: int, node_type:")
    assert DAGNode.__doc__.startswith("A node in the computation DAG.")
    assert DAGEdge.__doc__ == "An edge in the computation DAG."


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "DAGNode.__init__() missing 5 required positional arguments: 'node_id', 'node_type', "
             "'operation', 'inputs', and 'provenance'"),
    ((1, NodeType.UNARY, "x", []), {}, "DAGNode.__init__() missing 1 required positional argument: 'provenance'"),
    ((1, NodeType.UNARY, "x", [], 0, {}, None, None, None, False, 11), {},
     "DAGNode.__init__() takes from 6 to 11 positional arguments but 12 were given"),
    ((1, NodeType.UNARY, "x", [], 0), {"colour": 1}, "DAGNode.__init__() got an unexpected keyword argument 'colour'"),
    ((1, NodeType.UNARY, "x", [], 0), {"node_id": 1}, "DAGNode.__init__() got multiple values for argument 'node_id'"),
])
def test_constructor_errors(args, kwargs, message):
    with pytest.raises(TypeError) as e:
        DAGNode(*args, **kwargs)
    assert str(e.value) == message


def test_each_node_gets_its_own_metadata_and_keeps_given_objects():
    a, b = node(), node()
    a.metadata["x"] = 1
    assert b.metadata == {} and a.metadata is a.metadata
    inputs, meta = [1, 2], {"m": 1}
    n = node(inputs=inputs, metadata=meta)
    assert n.inputs is inputs and n.metadata is meta


def test_equality_is_field_wise_and_records_are_unhashable_and_mutable():
    assert node() == node() and not (node() != node())
    assert node(metadata={"a": 1}) != node()
    assert node(is_protected=True) != node()
    assert node() != DAGEdge(1, 2, 0)
    assert DAGNode.__hash__ is None and DAGEdge.__hash__ is None
    with pytest.raises(TypeError):
        hash(node())
    n = node()
    n.operation, n.is_protected = "sub", True
    assert (n.operation, n.is_protected) == ("sub", True)

    class Sub(DAGNode):
        pass
    # A data class compares only instances of the very same class.
    assert Sub(**dataclasses.asdict(node())) != node()


def test_repr_is_the_data_class_form_and_survives_self_reference():
    n = node(metadata={"k": "v"})
    assert repr(n) == ("DAGNode(node_id=7, node_type=<NodeType.BINARY: 4>, operation='add', "
                       "inputs=[1, 2], provenance=5, metadata={'k': 'v'}, table=None, column=None, "
                       "pair_id=None, is_protected=False)")
    n.metadata["self"] = n
    assert "metadata={'k': 'v', 'self': ...}" in repr(n)
    assert repr(DAGEdge(1, 3, 0)) == "DAGEdge(source_id=1, target_id=3, input_index=0)"


class _Unprintable:
    def __repr__(self):
        raise ValueError("no repr")


def test_repr_names_a_subclass_and_a_failing_field_leaves_no_guard_behind():
    class Edge(DAGEdge):
        pass
    assert repr(Edge(1, 2, 0)).endswith("<locals>.Edge(source_id=1, target_id=2, input_index=0)")
    e = DAGEdge(_Unprintable(), 2, 0)
    with pytest.raises(ValueError, match="no repr"):
        repr(e)
    # A guard left set by the failure would make the next repr read '...'.
    e.source_id = 1
    assert repr(e) == "DAGEdge(source_id=1, target_id=2, input_index=0)"


@pytest.mark.parametrize("kw, name", [
    (dict(table="loans", column="income", operation="loans.income"), "loans.income"),
    (dict(table="loans", column=None, operation="op"), "op"),
    (dict(table="loans", column="", operation="op"), "op"),
    (dict(table=None, column=None, operation=""), "node_7"),
])
def test_to_dict_display_name(kw, name):
    assert node(**kw).to_dict()["name"] == name


@pytest.mark.parametrize("prov, text", [(0, "0x00000000"), (6699, "0x00001A2B"),
                                        (4294967295, "0xFFFFFFFF"), (1 << 36, "0x1000000000"),
                                        (1 << 70, "0x400000000000000000"), (-5, "0x-0000005"),
                                        (True, "0x00000001")])
def test_to_dict_layout_and_provenance_text(prov, text):
    n = DAGNode(0, NodeType.SOURCE, "loans.income", [], prov, table="loans", column="income", pair_id=3)
    out = n.to_dict()
    assert list(out) == ["id", "name", "type", "operation", "inputs", "provenance", "table",
                         "column", "pair_id", "is_protected", "metadata"]
    assert out["type"] == "SOURCE" and out["provenance"] == text and out["pair_id"] == 3
    assert out["inputs"] is n.inputs and out["metadata"] is n.metadata
    assert DAGEdge(4, 9, 1).to_dict() == {"source": 4, "target": 9, "input_index": 1}
    assert list(DAGEdge(4, 9, 1).to_dict()) == ["source", "target", "input_index"]


@pytest.mark.parametrize("kind, inputs, source, leaf", [
    (NodeType.SOURCE, [], True, True), (NodeType.CUSTOM, [], False, True),
    (NodeType.BINARY, [1, 2], False, False), (NodeType.SOURCE, [3], True, False)])
def test_is_source_and_is_leaf(kind, inputs, source, leaf):
    n = node(node_type=kind, inputs=inputs)
    assert (n.is_source, n.is_leaf) == (source, leaf)


def test_copy_pickle_and_dataclass_helpers_round_trip():
    n = node(metadata={"m": [1]}, table="t", column="c")
    for clone in (copy.copy(n), copy.deepcopy(n), pickle.loads(pickle.dumps(n))):
        assert clone == n and clone is not n
    assert dataclasses.replace(n, operation="mul").operation == "mul"
    assert dataclasses.asdict(DAGEdge(1, 2, 0)) == {"source_id": 1, "target_id": 2, "input_index": 0}
    e = DAGEdge(source_id=1, target_id=2, input_index=0)
    e.note = "extra"
    assert pickle.loads(pickle.dumps(e)).note == "extra"


def test_tracker_nodes_keep_their_lists_once_read():
    t = DAGTracker()
    nid = t.log_binary("add", 0, 1, 5)
    n = t.get_node(nid)
    assert n.inputs is n.inputs and n.metadata is n.metadata
    n.inputs.append(2)
    assert t.get_node(nid).inputs == [0, 1, 2]
    assert t.get_dag(nid).edges[-1].to_dict() == {"source": 2, "target": nid, "input_index": 2}


def test_cycles_through_records_are_collected():
    t = DAGTracker()
    n = t.get_node(t.log_unary("neg", 0, 1))
    n.metadata["self"] = n  # the node now owns a cycle
    e = DAGEdge(0, 1, 0)
    e.source_id = [e]
    refs = [weakref.ref(n), weakref.ref(e)]
    del t, n, e
    gc.collect()
    assert [r() for r in refs] == [None, None]


def test_deleted_fields_read_as_missing_attributes():
    n = node()
    del n.table
    with pytest.raises(AttributeError, match="table"):
        n.table
    with pytest.raises(AttributeError):
        del n.table
