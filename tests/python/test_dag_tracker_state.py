"""DAGTracker's state attributes (what spills the columnar store, what is pickled, what the
collector sees), the warning of a tracker without an API key when its first node comes from a
method written in Python, and the module-level helpers' argument rules."""
import gc
import pickle
import warnings
import weakref

import numpy as np
import pandas as pd
import pytest

from lumarq.utilities import vantor32_dag
from lumarq.utilities.vantor32_dag import DAGTracker, wrap_dataframe_dag

TYPE_ERROR = r"^Argument '{}' has incorrect type \(expected {}, got {}\)$"
PICKLED = ("_nodes", "_next_node_id", "_prov_to_nodes", "_source_nodes", "_max_nodes",
           "_value_flush_threshold", "_value_buffer", "_nodes_persisted", "_pipeline_name",
           "_tenant_id", "_dashboard_synced")


def stored_tracker():
    t = DAGTracker()
    t.log_unary("neg", t.create_source_node("t", "c", 1), 2)
    assert t._columnar
    return t


@pytest.mark.parametrize("name, write, spills", [
    ("_nodes", False, True), ("_prov_to_nodes", False, True),
    ("_nodes", True, True), ("_next_node_id", True, True),
    ("_next_node_id", False, False), ("_source_nodes", False, False),
    ("_source_nodes", True, False), ("_max_nodes", True, False), ("_writer", False, False),
])
def test_which_attribute_access_moves_the_nodes_into_dicts(name, write, spills):
    t = stored_tracker()
    value = getattr(t, name)
    if write:
        setattr(t, name, value)
    assert t._columnar is not spills
    # Either way the tracker carries on with both nodes.
    assert t.log_unary("abs", 1, 3) == 2 and len(t._nodes) == 3


def test_the_pickled_state_holds_the_graph_in_its_order_and_no_connection():
    t = stored_tracker()
    t._writer, t._api_key, t._service_url = None, "key", "https://u:pw@host"
    state = t.__getstate__()
    assert [k for k in state if k in PICKLED] == list(PICKLED)
    assert not {"_writer", "_storage", "_pipeline_id", "_api_key", "_service_url"} & set(state)
    assert sorted(state["_nodes"]) == [0, 1] and state["_next_node_id"] == 2
    back = pickle.loads(pickle.dumps(t))
    assert not back._columnar and back._api_key is None and back._service_url == ""
    assert back.get_node(1).inputs == [0] and back.log_unary("abs", 1, 3) == 2


def test_dag_stats_read_the_same_from_the_store_and_from_the_dicts():
    stored, spilled = stored_tracker(), stored_tracker()
    spilled._nodes  # moves its nodes into the dicts
    a, b = stored.dag_stats(), spilled.dag_stats()
    assert stored._columnar and not spilled._columnar
    assert list(a.items()) == list(b.items())
    assert a["operation_counts"] == {"neg": 1} and a["unique_provenances"] == 2


@pytest.mark.parametrize("name", ["_fairness_report", "_store_failures", "_records_lost",
                                  "_openlineage_run_id", "_source_nodes"])
def test_a_cycle_through_a_state_attribute_is_collected(name):
    class Marker:
        pass

    t, marker = DAGTracker(), Marker()
    setattr(t, name, [t, marker])
    assert name not in vars(t)  # a member, not an instance attribute
    seen = weakref.ref(marker)
    del t, marker
    gc.collect()
    assert seen() is None


@pytest.mark.parametrize("first", ["create_source_node", "log_merge", "log_unary"])
def test_the_missing_key_warning_names_the_callers_line(first):
    calls = {
        "create_source_node": lambda t: t.create_source_node("t", "c", 1),
        "log_merge": lambda t: t.log_merge([], [], 1),
        "log_unary": lambda t: t.log_unary("neg", 0, 1),
    }
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        t = DAGTracker(service_url="sqlite:///x.db")
        calls[first](t)
        t.log_unary("neg", 0, 2)  # warned once per tracker
    assert [c.filename for c in caught if issubclass(c.category, UserWarning)] == [__file__]


@pytest.fixture
def series():
    t = DAGTracker()
    return wrap_dataframe_dag(pd.DataFrame({"x": [1.0, 2.0]}), t, "t")["x"] * 2


@pytest.mark.parametrize("row", [1, np.int64(1), True])
def test_the_helpers_take_int_like_rows(series, row):
    dag = vantor32_dag.get_dag_for_series(series, row)
    assert dag.root_id == int(series._node_ids[int(row)])
    assert vantor32_dag.dag_audit(series, row)["dag"]["node_count"] == len(dag.nodes)


@pytest.mark.parametrize("helper", ["get_dag_for_series", "dag_audit"])
@pytest.mark.parametrize("row, got", [("1", "str"), (b"1", "bytes"), (None, "NoneType")])
def test_the_helpers_refuse_other_rows(series, helper, row, got):
    with pytest.raises(TypeError, match=TYPE_ERROR.format("row_index", "int", got)):
        getattr(vantor32_dag, helper)(series, row)


@pytest.mark.parametrize("helper", ["combine_provenances", "get_dag_for_series", "dag_audit"])
def test_the_helpers_are_the_modules_own(helper):
    fn = getattr(vantor32_dag, helper)
    assert fn.__module__ == "lumarq.utilities.vantor32_dag" and not fn.__doc__.startswith(" ")
    assert pickle.loads(pickle.dumps(fn)) is fn
