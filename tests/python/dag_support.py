"""Helpers shared by the tests of the DAG-tracked containers."""
import math

import numpy as np
import pandas as pd

from lumarq.utilities.vantor32_dag import DAGTrackedSeries, DAGTracker

TYPE_ERROR = r"Argument '{}' has incorrect type \(expected {}, got {}\)"


def split(raw):
    """What record_row_value stores for a row value, as (numeric, text) with NaN as "nan"; None
    for a value that is not recorded (None, pandas' NA and NaT, numpy's NaT, or a NaN of type
    float or a subclass)."""
    if raw is None or raw is pd.NA or raw is pd.NaT or (isinstance(raw, float) and raw != raw):
        return None
    if isinstance(raw, (np.datetime64, np.timedelta64)) and np.isnat(raw):
        return None
    try:
        numeric = float(raw)
    except (ValueError, TypeError, OverflowError):
        return (None, str(raw))
    return ("nan" if math.isnan(numeric) else numeric, None)


def stored(record):
    """A buffered record in the form `split` gives."""
    value = record.value
    if value is not None and math.isnan(value):
        value = "nan"
    return (value, record.text_value)


def records(tracker, operation=None):
    return [r for r in tracker._value_buffer if operation is None or r.node_operation == operation]


def sources(tracker, table="t", columns=("a", "b"), rows=3, protected=()):
    """One registered source column per name: (words, source node id) of each."""
    out = []
    for col in columns:
        pair = tracker.register(table, col, col in protected)
        words = np.array([tracker.encode({pair}, entity=i, taint=col in protected) for i in range(rows)],
                         dtype=np.uint32)
        out.append((words, tracker.create_source_node(table, col, int(words[0]))))
    return out


def tracked(tracker, values, words, node):
    return DAGTrackedSeries(values, _prov=words.copy(), _tracker=tracker,
                            _node_ids=np.full(len(words), node, dtype=np.int64))


def check_invariants(t):
    ids = list(t._nodes)
    assert ids == sorted(ids) and len(set(ids)) == len(ids)
    assert all(n.node_id == k for k, n in t._nodes.items())
    indexed = set()
    for prov, lst in t._prov_to_nodes.items():
        assert lst, f"empty id list kept for {prov}"
        for i in lst:
            assert t._nodes[i].provenance == prov
            indexed.add(i)
    assert indexed == set(ids)
    assert all(i in t._nodes for i in t._source_nodes.values())


class Recording(DAGTracker):
    """A tracker whose provenance, logging and recording methods are Python overrides that
    defer to the native ones and note each call."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.calls = []

    def combine(self, a, b, op):
        self.calls.append(("combine", a, b, op))
        return super().combine(a, b, op)

    def update_chain(self, p, op):
        self.calls.append(("update_chain", p, op))
        return super().update_chain(p, op)

    def log_binary(self, op_name, left, right, prov, metadata=None):
        self.calls.append(("log_binary", op_name, left, right, prov))
        return super().log_binary(op_name, left, right, prov, metadata)

    def log_unary(self, op_name, node, prov, metadata=None):
        self.calls.append(("log_unary", op_name, node, prov))
        return super().log_unary(op_name, node, prov, metadata)

    def record_row_value(self, row_index, fingerprint, operation, value=None, column_name=None):
        self.calls.append(("record", row_index, fingerprint, operation, value, column_name))
        return super().record_row_value(row_index, fingerprint, operation, value, column_name)
