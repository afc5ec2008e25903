"""Node creation at its edges: the node bound in any numeric type, source nodes whichever way
they are created, and `_dag_lock` replaced by a lock of another kind."""
import threading

import numpy as np
import pytest

from lumarq.utilities.vantor32_dag import DAGTracker, NodeType


class Plain(DAGTracker):
    """A subclass: nodes are DAGNode objects in the dicts from the start."""


class Overriding(DAGTracker):
    """Every node goes through a Python `_create_node`."""

    def _create_node(self, node_type, operation, inputs, provenance, **kwargs):
        return super()._create_node(node_type, operation, inputs, provenance, **kwargs)


def make(kind):
    t = Plain() if kind == "dicts" else Overriding() if kind == "overriding" else DAGTracker()
    if kind == "spilled":
        t._nodes  # reading the node map moves the nodes into it for good
    return t


def grow(t, bound, n=95):
    t._max_nodes = bound
    a = t.create_source_node("t", "a", 1)
    b = t.create_source_node("t", "b", 2)
    for i in range(n):
        t.log_binary("add", a, b, 3 + i) if i % 2 else t.log_unary("neg", a, 3 + i)
    return a, b


def survivors(t):
    return sorted(t._node_snapshot())


KINDS = ["columnar", "spilled", "dicts", "overriding"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("bound", [30, 30.0, np.int64(30), np.float32(30.5)],
                         ids=["int", "float", "int64", "float32"])
def test_any_numeric_bound_evicts_the_oldest_operations_and_keeps_sources(kind, bound):
    reference = make("dicts")
    grow(reference, 30)
    t = make(kind)
    a, b = grow(t, bound)
    assert survivors(t) == survivors(reference)
    assert len(survivors(t)) <= 31 and {a, b} <= set(survivors(t))
    assert t.get_node(2) is None  # the oldest operation went first
    if kind == "columnar":
        # Only a plain int bound is compared in the store; any other moves the nodes to the dicts.
        assert t._columnar == (type(bound) is int)
    stats = t.dag_stats()
    assert stats["total_nodes"] == len(survivors(t)) and stats["source_nodes"] == 2


@pytest.mark.parametrize("kind", KINDS)
def test_source_nodes_are_the_same_whichever_way_they_are_made(kind):
    t = make(kind)
    t.register("loans", "income", protected=False)
    t.register("loans", "gender", protected=True)
    first = t.create_source_node("loans", "income", 11)
    second = t.create_source_node("loans", "gender", 12)
    assert t.create_source_node("loans", "income", 99) == first  # the registered node again
    assert t._source_nodes == {("loans", "income"): first, ("loans", "gender"): second}
    income, gender = t.get_node(first), t.get_node(second)
    expected = ((income, "income", 0, False), (gender, "gender", 1, True))
    for node, column, pair, protected in expected:
        assert node.node_type == NodeType.SOURCE
        assert node.operation == "loans." + column
        assert (node.table, node.column, node.pair_id) == ("loans", column, pair)
        assert node.is_protected is protected and list(node.inputs) == []
    assert income.provenance == 11 and gender.provenance == 12
    assert t.dag_stats()["protected_source_nodes"] == 1


@pytest.mark.parametrize("table, column, error, message", [
    ("", "c", ValueError, "table and column must be non-empty strings"),
    ("t", "", ValueError, "table and column must be non-empty strings"),
    (b"t", "c", TypeError, r"Argument 'table' has incorrect type \(expected str, got bytes\)"),
    ("t", 3, TypeError, r"Argument 'column' has incorrect type \(expected str, got int\)"),
])
def test_source_node_refusals_create_nothing(table, column, error, message):
    t = DAGTracker()
    with pytest.raises(error, match=message):
        t.create_source_node(table, column, 1)
    assert t._next_node_id == 0 and t._source_nodes == {}


class FailingExit:
    """A context manager whose exit fails (after the node was made)."""

    def __init__(self):
        self.entered = 0

    def __enter__(self):
        self.entered += 1

    def __exit__(self, *exc):
        raise RuntimeError("exit failed")


@pytest.mark.parametrize("kind", ["columnar", "dicts"])
@pytest.mark.parametrize("lock", [threading.Lock, threading.RLock])
def test_a_replaced_lock_is_taken_and_released_per_node(kind, lock):
    t = make(kind)
    t._dag_lock = held = lock()
    a = t.create_source_node("t", "a", 1)
    assert t.log_unary("neg", a, 2) == 1
    assert held.acquire(blocking=False)  # released after each node
    held.release()


@pytest.mark.parametrize("kind", ["columnar", "dicts"])
def test_a_failing_lock_exit_is_reported_not_swallowed(kind):
    t = make(kind)
    t._dag_lock = lock = FailingExit()
    with pytest.raises(RuntimeError, match="exit failed"):
        t.log_unary("neg", 0, 2)
    assert lock.entered == 1
    assert t._next_node_id == 1  # the id drawn stays drawn
