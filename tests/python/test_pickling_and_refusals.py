"""Trackers and tracked containers pickle to equal state; untracked or non-frame input is refused
clearly; a storage URL without a key says that nothing is stored."""
import copy
import pickle
import warnings

import numpy as np
import pandas as pd
import pytest

from lumarq.utilities.vantor32 import (ProvenanceTracker, audit, audit_series_diversity,
                                       column_risk_report, provenance_entropy, wrap_dataframe)
from lumarq.utilities.vantor32_dag import (DAGTracker, dag_audit, get_dag_for_series,
                                           wrap_dataframe_dag)

FRAME = pd.DataFrame({"age": [30, 40, 50], "debt": [1.0, 2.0, 3.0]}, index=["a", "b", "c"])
REGISTRY = ("_id_to_name", "_name_to_id", "_next_id", "_dense", "_protected_tables",
            "_protected_columns")
GRAPH = ("_nodes", "_prov_to_nodes", "_source_nodes", "_next_node_id", "_max_nodes",
         "_pipeline_name", "_tenant_id", "_value_buffer")


class Custom(ProvenanceTracker):
    pass


@pytest.mark.parametrize("make, wrap", [
    (ProvenanceTracker, wrap_dataframe), (Custom, wrap_dataframe),
    (lambda: DAGTracker(tenant_id="acme", pipeline_name="credit"), wrap_dataframe_dag),
], ids=["positional", "subclass", "dag"])
@pytest.mark.parametrize("dump", [pickle.dumps, lambda o: pickle.dumps(o, protocol=2)],
                         ids=["default", "protocol-2"])
def test_trackers_and_containers_round_trip_to_equal_state(make, wrap, dump):
    t = make()
    t.note = "kept"  # instance attributes travel too
    w = wrap(FRAME, t, "loans", protected=["age"])
    dense = t.encode({1, 2, 3, 4, 5}, taint=True)  # a dense signature only this tracker knows
    derived = w["age"] * w["debt"]
    column = w["age"]  # a named Series: pandas pickles no name for these classes by itself
    frame2, series2, column2, t2 = pickle.loads(dump((w, derived, column, t)))
    assert type(t2) is type(t) and t2.note == "kept"
    assert frame2._tracker is t2 and series2._tracker is t2  # one tracker again (pickle memo)
    for before, after in ((derived, series2), (column, column2)):
        assert type(after) is type(before) and after._tracker is t2
        pd.testing.assert_series_equal(after, before)  # values, index, dtype and name
        np.testing.assert_array_equal(after._prov, before._prov)
        if isinstance(t, DAGTracker):
            np.testing.assert_array_equal(after._node_ids, before._node_ids)
    np.testing.assert_array_equal((column2 + 1)._prov, (column + 1)._prov)
    for name in REGISTRY + (GRAPH if isinstance(t, DAGTracker) else ()):
        assert getattr(t2, name) == getattr(t, name), name
    assert t2.decode_full(dense) == t.decode_full(dense) and t2._rust.dense_size == 1
    assert t2.encode({1, 2, 3, 4, 5}, taint=True) == dense  # the same signature, not a new one
    pd.testing.assert_frame_equal(frame2, w)
    for col in w.columns:
        np.testing.assert_array_equal(frame2._col_prov[col], w._col_prov[col])
    np.testing.assert_array_equal(series2._prov, derived._prov)
    # The restored tracker keeps working, with ids continuing where they were.
    again = frame2["age"] * frame2["debt"]
    np.testing.assert_array_equal(again._prov, derived._prov)
    if isinstance(t, DAGTracker):
        np.testing.assert_array_equal(series2._node_ids, derived._node_ids)
        assert int(again._node_ids[0]) == t._next_node_id
    assert column_risk_report(frame2) == column_risk_report(w)
    assert copy.deepcopy(t)._id_to_name == t._id_to_name


def test_a_pickled_dag_tracker_comes_back_with_persistence_off():
    class Writer:
        def stop(self):
            pass

    t = DAGTracker(tenant_id="acme", service_url="postgresql://u:secret@db/x")
    t._api_key, t._writer, t._storage, t._pipeline_id = "key-123", Writer(), object(), 7
    blob = pickle.dumps(t)
    assert b"secret" not in blob and b"key-123" not in blob
    t2 = pickle.loads(blob)
    assert (t2._api_key, t2._writer, t2._storage, t2._pipeline_id) == (None, None, None, None)
    assert t2._service_url == "" and t2._tenant_id == "acme" and t2.flush() is True
    assert not t2._dag_lock.locked() and t2._dag_lock is not t._dag_lock
    # It runs a pipeline block of its own without counting a store failure.
    with t2:
        pass
    assert getattr(t2, "_store_failures", 0) == 0 and t2._openlineage_url is None
    t._writer = t._storage = None


@pytest.mark.parametrize("value", [pd.Series([1.0]), None, [1.0], pd.DataFrame({"a": [1]})],
                         ids=["Series", "None", "list", "DataFrame"])
def test_untracked_input_is_refused_by_one_rule(value):
    # The documented error record where one is promised, a TypeError saying what was expected
    # everywhere else.
    error = {"error": "No tracker or empty series"}
    assert audit(value) == error and audit_series_diversity(value) == error
    assert dag_audit(value) == error
    with pytest.raises(TypeError, match="get_dag_for_series expects a DAGTrackedSeries"):
        get_dag_for_series(value)
    with pytest.raises(TypeError, match="provenance_entropy expects a tracked Series"):
        provenance_entropy(value)
    with pytest.raises(TypeError, match="column_risk_report expects a tracked frame"):
        column_risk_report(value)


@pytest.mark.parametrize("wrap", [wrap_dataframe, wrap_dataframe_dag])
@pytest.mark.parametrize("value, got", [(None, "NoneType"), ([1, 2], "list"),
                                        (pd.Series([1]), "Series"), ({"a": [1]}, "dict")])
def test_wraps_refuse_what_is_not_a_frame(wrap, value, got):
    t = DAGTracker()
    with pytest.raises(TypeError, match=rf"^{wrap.__name__} expects a pandas DataFrame, got {got}$"):
        wrap(value, t, "t")
    assert t._next_id == 0  # nothing registered


@pytest.mark.parametrize("key, url, warns", [
    (None, "sqlite:///x.db", True), ("", "sqlite:///x.db", True),
    (None, "", False), ("later", "sqlite:///x.db", False),
])
def test_a_storage_url_without_a_key_warns_at_first_use(key, url, warns):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        t = DAGTracker(service_url=url)
        if key:
            t._api_key = key  # assigned before the tracker is used: persistence was meant
        wrap_dataframe_dag(FRAME, t, "loans")
        t.log_unary("neg", 0, 1)
    texts = [str(c.message) for c in caught if issubclass(c.category, UserWarning)]
    assert len(texts) == int(warns)
    if warns:
        assert "persistence is off" in texts[0] and "api_key" in texts[0]
        assert caught[0].filename == __file__


@pytest.mark.parametrize("gather, copied", [
    (lambda mine, theirs: pd.concat([mine["r"], theirs["r"].set_axis([3, 4, 5])]), slice(3, 6)),
    (lambda mine, theirs: pd.concat([mine, theirs.set_axis([3, 4, 5])])["r"], slice(3, 6)),
    (lambda mine, theirs: pd.concat([mine[["r"]], theirs[["r"]].add_suffix("2")], axis=1)["r2"],
     slice(0, 3)),
    (lambda mine, theirs: mine.__setitem__("r2", theirs["r"]) or mine["r2"], slice(0, 3)),
    (lambda mine, theirs: mine["r"] + theirs["r"], slice(0, 3)),
], ids=["Series", "frames by rows", "frames by columns", "assigned as a column", "an operand"])
def test_results_of_a_copy_gathered_keep_no_node_of_another_tracker(gather, copied):
    # A worker process computes on its copy of the tracker, which hands out the same node ids:
    # gathered into the original's containers, those ids named unrelated nodes of its graph
    # (here a clean one, for a value taken from a protected column).
    raw = pd.DataFrame({"a": [1.0, 2.0, 3.0], "g": [0.0, 1.0, 0.0]})
    t = DAGTracker()
    w = wrap_dataframe_dag(raw, t, "T", protected=["g"])
    t2, w2 = pickle.loads(pickle.dumps((t, w)))
    w2["r"] = w2["g"] * w2["g"]  # the worker's node ids
    w["r"] = w["a"] + w["a"]     # the same ids in the original
    s = gather(w, w2)
    ids = np.asarray(s._node_ids)
    assert s._tracker is t and (ids[copied] == -1).all()
    assert ids[:copied.start].tolist() == np.asarray(w["r"]._node_ids)[:copied.start].tolist()
    assert dag_audit(s, copied.start + 1)["taint"] and get_dag_for_series(s, copied.start + 1) is None
