"""DAGTracker: state, node creation, eviction, source nodes, pipeline restart, logging,
reconstruction, statistics, overrides and threads."""
import collections
import sys
import threading
import time

import numpy as np
import pytest

from dag_support import check_invariants
from lumarq.utilities.vantor32_dag import ComputationDAG, DAGNode, DAGTracker, NodeType

TYPE_ERROR = r"Argument '{}' has incorrect type \(expected {}, got {}\)"
TAINT = 1 << 29


class Text(str):
    pass


class FakeStorage:
    def __init__(self, fail_on=None):
        self.calls, self.fail_on, self.next_id = [], fail_on, 100

    def complete_pipeline(self, pipeline_id, status):
        self.calls.append(("complete", pipeline_id, status))
        if self.fail_on == "complete":
            raise RuntimeError("complete failed")

    def create_pipeline(self, pipeline_name, config, git_commit, tenant_id):
        self.calls.append(("create", pipeline_name, config, git_commit, tenant_id))
        if self.fail_on == "create":
            raise RuntimeError("create failed")
        self.next_id += 1
        return self.next_id

    def disconnect(self):
        self.calls.append(("disconnect",))


class FakeWriter:
    def __init__(self):
        self.calls = []

    def write_row_values(self, rows):
        self.calls.append(("rows", rows))

    def flush(self, timeout):
        self.calls.append(("flush", timeout))

    def stop(self):
        self.calls.append(("stop",))


@pytest.fixture
def t():
    return DAGTracker()


# ---------------------------------------------------------------- construction and state

def test_constructor_state():
    t = DAGTracker(api_key=None, tenant_id="acme", service_url="http://x", pipeline_name="p")
    assert t._nodes == {} and t._prov_to_nodes == {} and t._source_nodes == {} and t._value_buffer == []
    assert (t._next_node_id, t._value_flush_threshold, t._max_nodes) == (0, 5000, 500000)
    assert t._nodes_persisted is False and t._dashboard_synced is False
    assert (t._writer, t._storage, t._pipeline_id) == (None, None, None)
    assert (t._api_key, t._tenant_id, t._service_url, t._pipeline_name) == (None, "acme", "http://x", "p")
    for lock in (t._dag_lock, t._value_buffer_lock):  # two distinct non-reentrant locks
        assert lock.acquire(blocking=False) and not lock.acquire(blocking=False)
        lock.release()
    assert t._dag_lock is not t._value_buffer_lock
    assert not hasattr(t, "_nodes_written") and not hasattr(t, "_edges_written")
    assert DAGTracker()._service_url == ""
    assert DAGTracker.__doc__.startswith("Extended VANTOR-32 provenance tracker with full DAG reconstruction.")


@pytest.mark.parametrize("kwargs, name, expected, got", [
    (dict(api_key=1), "api_key", "str", "int"),
    (dict(tenant_id=b"x"), "tenant_id", "str", "bytes"),
    (dict(service_url=None), "service_url", "str", "NoneType"),
    (dict(pipeline_name=Text("p")), "pipeline_name", "str", "Text"),
])
def test_constructor_argument_types(kwargs, name, expected, got):
    with pytest.raises(TypeError, match=TYPE_ERROR.format(name, expected, got)):
        DAGTracker(**kwargs)


@pytest.mark.parametrize("key, enabled", [("secret", True), ("", False), (None, False)])
def test_a_non_empty_key_switches_persistence_on(key, enabled):
    class Recording(DAGTracker):
        def enable_persistence(self):
            self.enabled = self._max_nodes  # state is set before the call

    assert getattr(Recording(api_key=key), "enabled", None) == (500000 if enabled else None)


def test_state_attributes_are_settable(t):
    names = ["_dag_lock", "_nodes", "_next_node_id", "_value_buffer", "_value_buffer_lock",
             "_value_flush_threshold", "_nodes_persisted", "_max_nodes", "_prov_to_nodes",
             "_source_nodes", "_writer", "_storage", "_pipeline_id", "_pipeline_name", "_api_key",
             "_tenant_id", "_service_url", "_dashboard_synced"]
    for i, name in enumerate(names):
        marker = [i]
        setattr(t, name, marker)
        assert getattr(t, name) is marker
    t._nodes_written = 3
    assert t._nodes_written == 3


# ---------------------------------------------------------------- node creation

def test_ids_start_at_zero_and_lookups(t):
    assert t.create_source_node("loans", "income", 1) == 0
    assert t.log_unary("neg", 0, 2) == 1
    assert t.get_node(0).operation == "loans.income" and t.get_node(np.int64(1)).operation == "neg"
    assert t.get_node(99) is None
    assert t._next_node_id == 2


@pytest.mark.parametrize("prov, given, expected", [
    (0, False, False), (TAINT, False, True), (TAINT | (3 << 26), False, True), (5, False, False),
    (0, True, True), (5, True, True), ((1 << 40) | TAINT, False, True)])
def test_protection_marking(t, prov, given, expected):
    nid = t._create_node(NodeType.CUSTOM, "x", [], prov, is_protected=given)
    assert t.get_node(nid).is_protected is expected


def test_create_node_keeps_the_callers_list_and_indexes_it(t):
    inputs = [4, 5]
    nid = t._create_node(node_type=NodeType.CUSTOM, operation="f", inputs=inputs, provenance=9,
                         metadata={"k": 1}, table="t", column="c", pair_id=2)
    n = t.get_node(nid)
    assert n.inputs is inputs and n.metadata == {"k": 1} and (n.table, n.column, n.pair_id) == ("t", "c", 2)
    assert t._prov_to_nodes == {9: [nid]}


@pytest.mark.parametrize("kwargs, message", [
    (dict(colour=1), "DAGNode.__init__() got an unexpected keyword argument 'colour'"),
    (dict(node_id=5), "got multiple values for keyword argument 'node_id'"),
])
def test_a_failed_node_construction_loses_its_id(t, kwargs, message):
    t.log_unary("neg", 0, 1)
    with pytest.raises(TypeError) as e:
        t._create_node(NodeType.CUSTOM, "f", [], 2, **kwargs)
    assert message in str(e.value)
    assert not t._dag_lock.locked()
    assert t.log_unary("neg", 0, 3) == 2  # id 1 is lost
    assert list(t._nodes) == [0, 2] and 2 not in t._prov_to_nodes


@pytest.mark.parametrize("args, message", [
    ((NodeType.CUSTOM, 1, [], 0), TYPE_ERROR.format("operation", "str", "int")),
    ((NodeType.CUSTOM, "f", (1,), 0), TYPE_ERROR.format("inputs", "list", "tuple")),
    ((NodeType.CUSTOM, "f", [], "0"), TYPE_ERROR.format("provenance", "int", "str")),
])
def test_create_node_argument_types(t, args, message):
    with pytest.raises(TypeError, match=message):
        t._create_node(*args)
    assert t._next_node_id == 0


def test_errors_from_is_tainted_and_persist_node(t):
    class Failing(DAGTracker):
        fail = None

        def is_tainted(self, provenance):
            if self.fail == "taint":
                raise ValueError("taint")
            return False

        def _persist_node(self, node):
            if self.fail == "persist":
                raise ValueError("persist")

    f = Failing()
    f._writer = True
    f.fail = "taint"
    with pytest.raises(ValueError, match="taint"):
        f.log_unary("neg", 0, 7)
    assert f._nodes == {} and f._prov_to_nodes == {} and f._next_node_id == 1
    f.fail = "persist"
    with pytest.raises(ValueError, match="persist"):
        f.log_unary("neg", 0, 7)
    assert list(f._nodes) == [1] and f._prov_to_nodes == {7: [1]}  # stored before the hook
    assert not f._dag_lock.locked()


def test_persist_node_runs_per_node_while_a_writer_is_set():
    class Persisting(DAGTracker):
        def _persist_node(self, node):
            self.seen.append((node.node_id, self._dag_lock.locked()))

    p = Persisting()
    p.seen = []
    p.log_unary("neg", 0, 1)
    p._writer = object()
    p.log_unary("neg", 0, 2)
    p.create_source_node("t", "c", 3)
    p._writer = 0
    p.log_unary("neg", 0, 4)
    assert p.seen == [(1, True), (2, True)]


@pytest.mark.parametrize("lock", [threading.Lock, threading.RLock])
def test_a_replaced_lock_is_used(t, lock):
    t._dag_lock = lock()
    assert [t.log_unary("neg", 0, i) for i in range(3)] == [0, 1, 2]
    with pytest.raises(TypeError):
        t._create_node(NodeType.CUSTOM, "f", [], 0, bogus=1)
    assert t._dag_lock.acquire(blocking=False)  # released after the failure too


# ---------------------------------------------------------------- eviction

def model_evict(order, sources):
    count = len(order) // 10
    victims = [i for i in order if i not in sources][:count]
    return [i for i in order if i not in victims]


@pytest.mark.parametrize("mapping", [dict, collections.OrderedDict])
@pytest.mark.parametrize("prov_of", [lambda i: i, lambda i: 7, lambda i: i % 3])
def test_eviction_follows_the_oldest_first_rule(mapping, prov_of):
    t = DAGTracker()
    t._nodes, t._prov_to_nodes, t._max_nodes = mapping(), mapping(), 20
    sources = {t.create_source_node("t", "a", 1), t.create_source_node("t", "b", 1)}
    order = list(sources)
    evictions = 0
    for i in range(200):
        nid = t.log_binary("add", 0, 1, prov_of(i))
        order.append(nid)
        if len(order) > 20:
            order = model_evict(order, sources)
            evictions += 1
            check_invariants(t)
        assert list(t._nodes) == order
    assert evictions > 10 and sources <= set(t._nodes)
    assert t._next_node_id == 202  # ids are never reused


def test_the_twenty_first_node_evicts_two(t):
    t._max_nodes = 20
    a, b = t.create_source_node("t", "a", 50), t.create_source_node("t", "b", 51)
    ids = [t.log_unary("neg", a, 100 + (i % 2)) for i in range(18)]
    assert len(t._nodes) == 20
    t.log_unary("neg", a, 100)
    assert a in t._nodes and b in t._nodes
    assert ids[0] not in t._nodes and ids[1] not in t._nodes and ids[2] in t._nodes
    assert ids[0] not in t._prov_to_nodes[100] and ids[1] not in t._prov_to_nodes[101]
    check_invariants(t)


def test_eviction_drops_emptied_provenance_keys_and_keeps_sources(t):
    sources = [t.create_source_node("t", f"c{i}", 1000 + i) for i in range(12)]
    t.log_unary("neg", 0, 5)
    t.log_unary("neg", 0, 6)
    t._max_nodes = 13
    t.log_unary("neg", 0, 5)  # 15 nodes: one eviction of 1, the oldest non-source
    assert 12 not in t._nodes and t._prov_to_nodes[5] == [14] and 6 in t._prov_to_nodes
    t._evict_oldest_nodes()  # called directly: 14 // 10 = 1 more
    assert 6 not in t._prov_to_nodes
    assert sources == list(t._nodes)[:12]
    check_invariants(t)


def test_eviction_tolerates_ids_missing_from_their_list(t):
    t._max_nodes = 10
    for i in range(10):
        t.log_unary("neg", 0, 3)
    t._prov_to_nodes[3].remove(0)
    t._prov_to_nodes[3].append("stray")
    t.log_unary("neg", 0, 3)
    assert 0 not in t._nodes and t._prov_to_nodes[3][-2:] == ["stray", 10]


# ---------------------------------------------------------------- source nodes and pipelines

def test_source_nodes_are_created_once(t):
    t.register("loans", "income", protected=True)
    first = t.create_source_node("loans", "income", 11)
    assert t.create_source_node("loans", "income", 99) == first
    n = t.get_node(first)
    assert (n.node_type, n.operation, n.inputs, n.provenance) == (NodeType.SOURCE, "loans.income", [], 11)
    assert (n.table, n.column, n.pair_id, n.is_protected) == ("loans", "income", 0, True)
    other = t.get_node(t.create_source_node("loans", "age", 12))
    assert other.pair_id is None and other.is_protected is False
    assert t._source_nodes == {("loans", "income"): first, ("loans", "age"): other.node_id}


@pytest.mark.parametrize("table, column", [("", "a"), ("t", ""), ("", "")])
def test_empty_source_names_are_refused(t, table, column):
    with pytest.raises(ValueError, match="^table and column must be non-empty strings$"):
        t.create_source_node(table, column, 1)
    assert t._nodes == {} and t._next_node_id == 0


@pytest.mark.parametrize("entry", ["register table", "register column", "backend", "track",
                                   "wrap_dataframe_dag"])
def test_names_without_utf8_are_refused_and_change_nothing(t, entry):
    """A lone surrogate has no UTF-8 form: the native registry read it as a null pointer and
    crashed the process."""
    import pandas as pd

    import lumarq
    from lumarq.utilities.vantor32_dag import wrap_dataframe_dag

    bad = "b\ud800"
    calls = {
        "register table": lambda: t.register(bad, "c"),
        "register column": lambda: t.register("t", bad),
        "backend": lambda: t._rust.register("t", bad, True),
        "track": lambda: lumarq.track(pd.DataFrame({bad: [1.0]}), t, "t"),
        "wrap_dataframe_dag": lambda: wrap_dataframe_dag(pd.DataFrame({bad: [1.0]}), t, "t"),
    }
    with pytest.raises(UnicodeEncodeError):
        calls[entry]()
    assert t.register("t", "c") == 0 and t._nodes == {}  # no pair id or node was taken


@pytest.mark.parametrize("args, name, expected, got", [
    ((None, "c", 1), "table", "str", "NoneType"), (("t", Text("c"), 1), "column", "str", "Text"),
    (("t", "c", "1"), "provenance", "int", "str")])
def test_source_node_argument_types(t, args, name, expected, got):
    with pytest.raises(TypeError, match=TYPE_ERROR.format(name, expected, got)):
        t.create_source_node(*args)


def test_after_a_dashboard_sync_a_source_starts_a_new_pipeline(t):
    old = t.create_source_node("t", "c", 1)
    storage = FakeStorage()
    t._storage, t._pipeline_id, t._tenant_id, t._dashboard_synced, t._nodes_persisted = storage, 7, "acme", True, True
    cache = t._source_nodes
    new = t.create_source_node("t", "c", 2)
    assert new != old and old in t._nodes
    assert storage.calls == [("complete", 7, "completed"), ("create", "unnamed_pipeline", None, None, "acme")]
    assert t._pipeline_id == 101 and t._dashboard_synced is False and t._nodes_persisted is False
    assert t._source_nodes is cache and cache == {("t", "c"): new}
    assert (t._nodes_written, t._edges_written) == (0, 0)
    t._pipeline_name = "daily"
    t._dashboard_synced = True
    t.create_source_node("t", "d", 3)
    assert storage.calls[-1] == ("create", "daily", None, None, "acme")


@pytest.mark.parametrize("storage, pipeline_id", [(None, 7), (FakeStorage(), None), (FakeStorage(), 0)])
def test_without_storage_the_restart_does_nothing(t, storage, pipeline_id):
    known = t.create_source_node("t", "c", 1)
    t._storage, t._pipeline_id, t._dashboard_synced = storage, pipeline_id, True
    assert t.create_source_node("t", "c", 2) == known
    assert t._dashboard_synced is True and t._source_nodes == {("t", "c"): known}
    assert storage is None or storage.calls == []


@pytest.mark.parametrize("fail_on", ["complete", "create"])
def test_a_failed_restart_keeps_the_pipeline_fields(t, fail_on):
    known = t.create_source_node("t", "c", 1)
    t._storage, t._pipeline_id, t._dashboard_synced = FakeStorage(fail_on), 7, True
    with pytest.raises(RuntimeError, match=f"{fail_on} failed"):
        t.create_source_node("t", "c", 2)
    assert (t._pipeline_id, t._dashboard_synced, t._source_nodes) == (7, True, {("t", "c"): known})


# ---------------------------------------------------------------- context manager, flush, finalisation

def test_leaving_a_with_block(t):
    with t as entered:
        assert entered is t
    with pytest.raises(KeyError):
        with DAGTracker():
            raise KeyError("propagates")
    assert t.__exit__(None, None, None) is False


@pytest.mark.parametrize("exc_type, expected", [
    (None, [("complete", 7, "completed"), ("disconnect",)]),
    (ValueError, [("complete", 7, "failed"), ("disconnect",)]),  # a failed pipeline stays failed
])
def test_exit_completes_the_pipeline_and_turns_persistence_off(t, exc_type, expected):
    storage = FakeStorage()
    t._storage, t._pipeline_id = storage, 7
    assert t.__exit__(exc_type, None, None) is False
    assert storage.calls == expected and (t._storage, t._pipeline_id) == (None, None)


def test_flush_and_disable_persistence():
    class Tracker(DAGTracker):
        def _persist_dag_to_storage(self):
            self.events.append("dag")

        def _sync_to_dashboard(self):
            self.events.append("dashboard")

    t = Tracker()
    t.events = []
    t._value_buffer.append("row")
    assert t.flush() is True and t._value_buffer == ["row"] and t.events == []
    writer, storage = FakeWriter(), FakeStorage()
    t._writer, t._storage, t._pipeline_id = writer, storage, 5
    assert t.flush(timeout=2) is True and t.flush() is True
    assert writer.calls == [("rows", ["row"]), ("flush", 2.0), ("flush", 30.0)]
    assert type(writer.calls[1][1]) is float and t._value_buffer == []
    assert t.events == ["dag", "dashboard"] and t._nodes_persisted is True and t._dashboard_synced is True
    t.disable_persistence()
    assert writer.calls[-1] == ("stop",) and storage.calls == [("complete", 5, "completed"), ("disconnect",)]
    assert (t._writer, t._storage, t._pipeline_id) == (None, None, None)
    with pytest.raises(TypeError, match=TYPE_ERROR.format("timeout", "float", "str")):
        t.flush("soon")


def test_finalisation_turns_persistence_off_and_ignores_errors():
    events, unraisable = [], []

    class Tracker(DAGTracker):
        def disable_persistence(self):
            events.append(self._max_nodes)
            raise ValueError("ignored")

    old_hook, sys.unraisablehook = sys.unraisablehook, unraisable.append
    try:
        x = Tracker()
        del x
    finally:
        sys.unraisablehook = old_hook
    assert events == [500000] and unraisable == []


@pytest.mark.parametrize("in_cycle", [False, True])
def test_a_dropped_tracker_stops_its_writer(in_cycle):
    import gc
    writer = FakeWriter()
    t = DAGTracker()
    t.log_unary("neg", 0, 1)
    t._writer = writer
    if in_cycle:
        t.get_node(0).metadata["tracker"] = t  # reachable only through the collector
    del t
    if in_cycle:
        assert writer.calls == []
        gc.collect()
    assert writer.calls == [("stop",)]


# ---------------------------------------------------------------- operation logging

def test_log_methods_build_their_nodes(t):
    u = t.get_node(t.log_unary("neg", 3, 10))
    assert (u.node_type, u.operation, u.inputs, u.metadata, u.provenance) == (NodeType.UNARY, "neg", [3], {}, 10)
    assert t.get_node(t.log_binary("add", 5, 5, 11)).inputs == [5, 5]
    m = t.get_node(t.log_merge([1, 2], [3], 12))
    assert (m.node_type, m.operation, m.inputs, m.metadata) == (NodeType.MERGE, "merge_inner", [1, 2, 3], {"merge_type": "inner"})
    assert t.get_node(t.log_merge([], [], 13, "left")).operation == "merge_left"
    assert t.get_node(t._next_node_id - 1).is_leaf
    outer = t.get_node(t.log_merge([1], [2], 14, merge_type="inner", metadata={"merge_type": "outer", "on": "id"}))
    assert outer.operation == "merge_inner" and outer.metadata == {"merge_type": "outer", "on": "id"}
    ids = [1, 2]
    agg = t.get_node(t.log_aggregate("sum", ids, 15))
    ids.append(9)
    assert agg.node_type == NodeType.AGGREGATE and agg.inputs is ids and agg.inputs == [1, 2, 9]


def test_metadata_or_empty(t):
    given, empty = {"k": 1}, {}
    assert t.get_node(t.log_unary("neg", 0, 1, given)).metadata is given
    n = t.get_node(t.log_binary("add", 0, 1, 2, metadata=empty))
    assert n.metadata == {} and n.metadata is not empty
    assert t.get_node(t.log_aggregate("sum", [0], 3, None)).metadata == {}


def test_ids_and_provenance_are_converted_but_not_checked(t):
    nid = t.log_binary("add", np.int64(4), 10**30, np.uint32(7))
    n = t.get_node(nid)
    assert n.inputs == [4, 10**30] and type(n.inputs[0]) is int and n.provenance == 7
    assert type(nid) is int and t._prov_to_nodes == {7: [nid]}
    odd = t.get_node(t.log_merge(["a", True], [2.5], 1))
    assert odd.inputs == ["a", True, 2.5] and type(odd.inputs[1]) is bool


@pytest.mark.parametrize("method, args, name, expected, got", [
    ("log_unary", (1, 0, 0), "op_name", "str", "int"),
    ("log_unary", (Text("x"), 0, 0), "op_name", "str", "Text"),
    ("log_unary", ("x", "0", 0), "input_node", "int", "str"),
    ("log_unary", ("x", 0, None), "result_prov", "int", "NoneType"),
    ("log_unary", ("x", 0, 0, [1]), "metadata", "dict", "list"),
    ("log_binary", ("x", 0, [1], 0), "right_node", "int", "list"),
    ("log_binary", ("x", 0, 1, 0, collections.OrderedDict()), "metadata", "dict", "collections.OrderedDict"),
    ("log_merge", ((1,), [], 0), "left_nodes", "list", "tuple"),
    ("log_merge", ([], None, 0), "right_nodes", "list", "NoneType"),
    ("log_merge", ([], [], 0, None), "merge_type", "str", "NoneType"),
    ("log_aggregate", ("sum", (1, 2), 0), "input_nodes", "list", "tuple"),
    ("get_node", ("1",), "node_id", "int", "str"),
    ("get_nodes_for_provenance", (None,), "provenance", "int", "NoneType"),
    ("get_dag", ("0",), "root_node_id", "int", "str"),
    ("get_dag_for_provenance", ([],), "provenance", "int", "list"),
])
def test_argument_type_errors(t, method, args, name, expected, got):
    with pytest.raises(TypeError, match="^" + TYPE_ERROR.format(name, expected, got) + "$"):
        getattr(t, method)(*args)
    assert t._nodes == {}


# ---------------------------------------------------------------- reconstruction and statistics

def test_get_dag_walks_breadth_first(t):
    a, b = t.create_source_node("t", "a", 1), t.create_source_node("t", "b", 2)
    top = t.log_unary("neg", t.log_binary("add", a, b, 3), 4)
    dag = t.get_dag(top)
    assert isinstance(dag, ComputationDAG) and dag.root_id == top and list(dag.nodes) == [3, 2, 0, 1]
    assert [(e.source_id, e.target_id, e.input_index) for e in dag.edges] == [(2, 3, 0), (0, 2, 0), (1, 2, 1)]
    assert dag.nodes[3] is t.get_node(3) and dag.depth == 2
    single = t.get_dag(a)
    assert list(single.nodes) == [a] and single.edges == []


@pytest.mark.parametrize("build, nodes, edges", [
    (lambda t: t.log_binary("add", t.create_source_node("t", "a", 1), 0, 2), [1, 0], 2),  # repeated input
    (lambda t: t.log_binary("add", t.log_unary("n", t.create_source_node("t", "a", 1), 2),
                            t.log_unary("m", 0, 3), 4), [3, 1, 2, 0], 4),  # diamond
    (lambda t: t.log_unary("self", 0, 1), [0], 1),  # a node naming itself
    (lambda t: t.log_unary("b", t.log_unary("a", 1, 1), 2), [1, 0], 2),  # a two-node cycle
    (lambda t: t.log_unary("late", 57, 1), [0], 1),  # an input that does not exist (yet)
    (lambda t: t.log_aggregate("sum", [np.int64(0), "x", 0], 1), [0], 3),  # ids by Python equality
])
def test_get_dag_shapes_end_on_cycles_and_unknown_ids(t, build, nodes, edges):
    root = build(t)
    dag = t.get_dag(root)
    assert list(dag.nodes) == nodes and len(dag.edges) == edges
    assert len(dag.edges) == sum(len(n.inputs) for n in dag.nodes.values())
    assert isinstance(dag.depth, int)


def test_get_dag_of_an_unknown_or_evicted_root(t):
    empty = t.get_dag(42)
    assert (empty.root_id, empty.nodes, empty.edges, empty.depth) == (42, {}, [], 0)
    t._max_nodes = 10
    first = t.log_unary("neg", 0, 1)
    for i in range(10):
        t.log_unary("neg", first, 2)
    assert first not in t._nodes
    dag = t.get_dag(10)
    assert list(dag.nodes) == [10] and dag.edges[0].source_id == first and dag.depth == 1


def test_nodes_for_provenance(t):
    four = t.log_unary("neg", 0, 77)
    t.log_unary("neg", 0, 5)
    nine = t.log_unary("neg", 0, 77)
    assert [n.node_id for n in t.get_nodes_for_provenance(77)] == [four, nine]
    assert t.get_nodes_for_provenance(123) == []
    t._prov_to_nodes[77].insert(0, 999)  # an id evicted while a reader looks
    assert [n.node_id for n in t.get_nodes_for_provenance(77)] == [four, nine]
    assert t.get_dag_for_provenance(77).root_id == nine
    assert t.get_dag_for_provenance(123) is None


def test_dag_stats(t):
    a, b = t.create_source_node("t", "a", 1), t.create_source_node("t", "b", TAINT)
    t.log_binary("add", a, b, TAINT | (1 << 26))
    t.log_binary("add", a, b, 3)
    t.log_aggregate("sum", [a], 3)
    stats = t.dag_stats()
    assert list(stats) == ["total_nodes", "source_nodes", "protected_sources", "operation_nodes",
                           "operation_counts", "unique_provenances", "protected_source_nodes"]
    # "protected_sources" counts the tainted add node too; the new key counts source b only.
    assert stats == {"total_nodes": 5, "source_nodes": 2, "protected_sources": 2, "operation_nodes": 3,
                     "operation_counts": {"add": 2, "sum": 1}, "unique_provenances": 4,
                     "protected_source_nodes": 1}


# ---------------------------------------------------------------- Python overrides

def test_overridden_create_node_receives_keyword_calls():
    calls = []

    class Tracker(DAGTracker):
        def _create_node(self, node_type, operation, inputs, provenance, **kwargs):
            calls.append((node_type, operation, inputs, provenance, kwargs))
            return super()._create_node(node_type, operation, inputs, provenance, **kwargs)

    t = Tracker()
    ids = [7]
    t.log_unary("neg", 1, 2)
    t.log_binary("add", 1, 2, 3, {"m": 1})
    t.log_merge([1], [2], 4)
    t.log_aggregate("sum", ids, 5)
    t.create_source_node("t", "c", 6)
    assert [c[:4] for c in calls] == [
        (NodeType.UNARY, "neg", [1], 2), (NodeType.BINARY, "add", [1, 2], 3),
        (NodeType.MERGE, "merge_inner", [1, 2], 4), (NodeType.AGGREGATE, "sum", [7], 5),
        (NodeType.SOURCE, "t.c", [], 6)]
    assert calls[3][2] is ids and calls[0][4] == {"metadata": {}} and calls[1][4] == {"metadata": {"m": 1}}
    assert calls[4][4] == {"table": "t", "column": "c", "pair_id": None, "is_protected": False}
    assert list(t._nodes) == [0, 1, 2, 3, 4]


def test_instance_attributes_and_subclass_methods_are_honoured():
    class Tracker(DAGTracker):
        def is_tainted(self, provenance):
            return provenance == 5

        def get_id(self, table, column):
            return 42

        def is_protected(self, table, column=None):
            return True

        def get_nodes_for_provenance(self, provenance):
            return [self.get_node(0)]

        def get_dag(self, root_node_id):
            return ("custom", root_node_id)

        def _evict_oldest_nodes(self):
            self.evictions = getattr(self, "evictions", 0) + 1

    t = Tracker()
    assert t.get_node(t.log_unary("neg", 0, 5)).is_protected and not t.get_node(t.log_unary("neg", 0, TAINT)).is_protected
    s = t.get_node(t.create_source_node("x", "y", 0))
    assert (s.pair_id, s.is_protected) == (42, True)
    assert t.get_dag_for_provenance(999) == ("custom", 0)
    t._max_nodes = 2
    t.log_unary("neg", 0, 1)
    assert t.evictions == 1 and len(t._nodes) == 4

    plain = DAGTracker()
    plain._create_node = lambda **kw: 1234
    assert plain.log_unary("neg", 0, 1) == 1234 and plain._nodes == {}


# ---------------------------------------------------------------- the lock

def test_lock_interface():
    lock = DAGTracker()._dag_lock
    assert lock.acquire() is True and lock.locked()
    assert lock.acquire(False) is False and lock.acquire(timeout=0.01) is False
    assert "locked" in repr(lock)
    released = threading.Thread(target=lock.release)  # any thread may release it
    released.start()
    released.join()
    assert not lock.locked()
    with lock:
        assert lock.locked()
    assert not lock.locked()
    with pytest.raises(RuntimeError, match="release unlocked lock"):
        lock.release()
    with pytest.raises(ValueError, match="can't specify a timeout for a non-blocking call"):
        lock.acquire(False, 1)
    with pytest.raises(ValueError, match="timeout value must be positive"):
        lock.acquire(timeout=-2)


def test_a_blocked_acquire_lets_other_threads_run():
    lock = DAGTracker()._dag_lock
    lock.acquire()
    got = []
    waiter = threading.Thread(target=lambda: got.append(lock.acquire(timeout=30)), daemon=True)
    waiter.start()
    time.sleep(0.05)  # the waiter blocks without the GIL, so this thread keeps running
    assert got == []
    lock.release()
    waiter.join(30)
    assert got == [True] and lock.locked()


# ---------------------------------------------------------------- threads

def run_threads(targets, reader=None):
    errors, done = [], threading.Event()

    def guard(fn):
        def run():
            try:
                fn()
            except BaseException as e:  # noqa: B902 - reported below
                errors.append(e)
        return run

    threads = [threading.Thread(target=guard(fn), daemon=True) for fn in targets]
    reads = []
    if reader is not None:
        def read_loop():
            while not done.is_set():
                reads.append(reader())
        threads.append(threading.Thread(target=guard(read_loop), daemon=True))
    for th in threads:
        th.start()
    for th in threads[:len(targets)]:
        th.join(120)
    done.set()
    for th in threads:
        th.join(120)
    assert not any(th.is_alive() for th in threads), "deadlock"
    assert errors == []
    return reads


def test_eight_threads_create_unique_indexed_ids_while_stats_are_read():
    t = DAGTracker()
    a, b = t.create_source_node("t", "a", 1), t.create_source_node("t", "b", 2)
    results = [[] for _ in range(8)]

    def make(k):
        def run():
            out = results[k]
            for i in range(20_000):
                out.append(t.log_binary("add", a, b, k * 100_000 + i % 50))
        return run

    reads = run_threads([make(k) for k in range(8)], reader=t.dag_stats)
    ids = [i for r in results for i in r]
    assert len(ids) == len(set(ids)) == 160_000
    assert all(i in t._nodes for i in ids)
    assert sorted(i for lst in t._prov_to_nodes.values() for i in lst) == sorted(ids + [a, b])
    assert reads and all(r["total_nodes"] == r["source_nodes"] + r["operation_nodes"] for r in reads)
    assert t.dag_stats()["total_nodes"] == 160_002
    check_invariants(t)


def test_readers_survive_concurrent_eviction():
    t = DAGTracker()
    t._max_nodes = 2000
    src = t.create_source_node("t", "a", 1)

    def write():
        prev = src
        for i in range(6000):
            prev = t.log_binary("add", prev, src, i % 97)

    def read():
        dag = t.get_dag(t._next_node_id - 1)
        t.get_nodes_for_provenance(5)
        t.get_dag_for_provenance(7)
        return dag.depth, t.dag_stats()

    run_threads([write] * 4, reader=read)
    assert t._next_node_id == 24_001 and len(t._nodes) <= 2001
    check_invariants(t)


def test_row_values_of_threads_keep_each_threads_order():
    """Memory-only row values of four threads' operations (held as columns), text records in
    between (which turn the columns into records) and one thread handing the buffer out midway
    (records from then on): the buffer keeps the newest 100,000 rows, each thread's in order."""
    import warnings

    import pandas as pd

    from lumarq.utilities.vantor32_dag import wrap_dataframe_dag

    t, n = DAGTracker(), 20_000

    def work(k):
        def run():
            base = (k + 1) * 10_000_000
            w = wrap_dataframe_dag(pd.DataFrame({"a": base + np.arange(n, dtype=float),
                                                 "one": np.ones(n)}), t, f"t{k}")
            r = w["a"]
            for j in range(5):
                r = r + w["one"]  # op j's values: base + row + j + 1
                t.record_row_value(0, 1, "note", f"txt-{k}-{j}")
                if k == 0 and j == 2:
                    len(t._value_buffer)
        return run

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        run_threads([work(k) for k in range(4)], reader=t.dag_stats)
    buf = t._value_buffer
    assert len(buf) == 100_000
    seen = 0
    for k in range(4):  # a thread that finished early may have no rows left
        base = (k + 1) * 10_000_000
        rows = [(int(r.value) - base - r.row_index, r.row_index) for r in buf
                if r.value is not None and base <= r.value < base + n + 5]
        seen += len(rows)
        assert all(b == (a[0], a[1] + 1) or (a[1] == n - 1 and b == (a[0] + 1, 0))
                   for a, b in zip(rows, rows[1:]))
        notes = [r.text_value for r in buf if r.text_value and r.text_value.startswith(f"txt-{k}-")]
        assert notes == sorted(notes)
    assert seen > 50_000


def test_node_creation_waits_for_the_lock_without_the_gil():
    class Slow(DAGTracker):
        def _persist_node(self, node):
            # Holding the DAG lock, give the GIL away: blocked creators must not hold it.
            time.sleep(0.0005)
            self.persisted.append(node.node_id)

    t = Slow()
    t.persisted, t._writer = [], True
    run_threads([lambda: [t.log_unary("neg", 0, i) for i in range(300)]] * 4)
    assert t.persisted == list(range(1200))  # the hook sees nodes in creation order


# ---------------------------------------------------------------- the C++ entry point

def test_nodes_of_the_native_row_loop_equal_those_of_log_binary():
    """A tracked binary operation creates its nodes natively; they must be the nodes log_binary makes."""
    from lumarq.utilities.vantor32_dag import DAGTrackedSeries

    class Persisting(DAGTracker):
        def _persist_node(self, node):  # the hook still runs on the native path
            self.persisted.append(node.node_id)

    left = np.array([0, 1, 5, 0] * 3, dtype=np.int64)
    right = np.array([1, 1, 2, 1] * 3, dtype=np.int64)
    provs = np.array([TAINT, 3, 0, 3] * 3, dtype=np.uint32)
    fast, slow = Persisting(), DAGTracker()
    for t in (fast, slow):
        t.create_source_node("t", "a", 1)
        t.create_source_node("t", "b", 2)
        t._max_nodes = 5
    fast.persisted, fast._writer = [], True
    zeros = np.zeros(len(provs), dtype=np.uint32)
    a = DAGTrackedSeries(np.arange(12.0), _prov=provs.copy(), _tracker=fast, _node_ids=left.copy())
    b = DAGTrackedSeries(np.ones(12), _prov=zeros, _tracker=fast, _node_ids=right.copy())
    ids = (a + b)._node_ids
    combined = [slow.combine(int(p), 0, 1) for p in provs]
    expected = [slow.log_binary("add", int(x), int(y), c) for x, y, c in zip(left, right, combined)]
    assert ids.tolist() == expected == list(range(2, 14))
    assert fast._nodes == slow._nodes and fast._prov_to_nodes == slow._prov_to_nodes
    assert len(fast._nodes) < 14 and fast.get_node(2) is None  # evictions ran
    assert fast.get_node(13).is_protected is False and slow.get_node(10).is_protected is True
    assert fast.persisted == list(range(2, 14))
    check_invariants(fast)


_FIRST_CALLS_FROM_THREADS = """
import threading, numpy as np, pandas as pd
from lumarq.utilities.vantor32_dag import DAGTracker, wrap_dataframe_dag
t, gate = DAGTracker(), threading.Barrier(8)
def work(k):
    gate.wait()
    d = wrap_dataframe_dag(pd.DataFrame({"a": np.arange(50.0), "sex": np.arange(50) % 2}), t,
                           "t%d" % k, protected=["sex"])
    d["a"] + d["a"]
threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
for x in threads: x.start()
for x in threads: x.join()
"""


@pytest.mark.parametrize("attempt", range(4))
def test_first_native_calls_from_several_threads_do_not_deadlock(attempt):
    # The bindings' first calls import what they use: under a C++ static guard that import
    # gave up the GIL to a thread which then waited on the guard holding it (most runs hung).
    import subprocess
    import sys
    subprocess.run([sys.executable, "-c", _FIRST_CALLS_FROM_THREADS], check=True, timeout=30)


@pytest.mark.parametrize("value, stored", [
    (None, (None, None)), (float("nan"), (None, None)), (np.float64("nan"), (None, None)),
    ("pd.NA", (None, None)), ("pd.NaT", (None, None)), (np.datetime64("NaT"), (None, None)),
    (np.timedelta64("NaT"), (None, None)), (-0.0, (-0.0, None)), (float("inf"), (float("inf"), None)),
    (np.int64(-2**63), (-2.0**63, None)), ("", (None, "")), ("<NA>", (None, "<NA>")),
    ("pd.Timestamp", (None, "2020-01-02 00:00:00")),
])
def test_record_row_value_records_no_value_for_a_missing_one(value, stored):
    # NaN was recorded as a number (PostgreSQL kept it, SQLite made it null) and pandas' NA and
    # NaT as the texts "<NA>" and "NaT".
    import pandas as pd

    value = {"pd.NA": pd.NA, "pd.NaT": pd.NaT, "pd.Timestamp": pd.Timestamp("2020-01-02")}.get(
        value, value) if isinstance(value, str) else value
    t = DAGTracker()
    t.record_row_value(3, 7, "op", value, "c")
    (r,) = t._value_buffer
    assert (r.row_index, r.fingerprint, r.value, r.text_value) == (3, 7, *stored)
    if stored[0] == 0:
        assert str(r.value) == str(stored[0])  # the sign of zero kept
