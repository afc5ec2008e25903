import math
from collections import Counter

import numpy as np
import pandas as pd
import pytest

from support import source_words
from lumarq.utilities import vantor32 as v
from lumarq.utilities.vantor32 import (ProvenanceTracker, TrackedDataFrame, TrackedSeries, audit,
                                       audit_series_diversity, column_risk_report,
                                       provenance_entropy, wrap_dataframe)

AUDIT_KEYS = ["provenance", "mode", "pair_count", "pair_ids", "columns", "tables", "entity",
              "chain", "taint", "depth", "risk", "has_protected"]
DIVERSITY_KEYS = ["total_rows", "unique_provenances", "unique_pair_sets", "unique_entities",
                  "unique_chains", "entity_diversity", "tainted_provenances", "taint_ratio",
                  "max_depth"]
RISK_KEYS = ["column", "tainted", "max_risk", "min_depth", "risk_level"]
ERROR = {"error": "No tracker or empty series"}


class Duck:
    """Any object with `_tracker`, `_prov` and a length is audited like a tracked series."""

    def __init__(self, prov, tracker=None):
        self._prov, self._tracker = prov, tracker

    def __len__(self):
        return len(self._prov)


def series(tracker, words, values=None):
    words = np.asarray(words, np.uint32)
    values = np.zeros(len(words)) if values is None else values
    return TrackedSeries(values, _prov=words, _tracker=tracker)


def test_audit_tainted_derived_value(tracker):
    w = wrap_dataframe(pd.DataFrame({"age": [30, 40], "income": [1.0, 2.0]}, index=["p", "q"]),
                       tracker, "loans", protected=["age"])
    s = w["income"] / w["age"]
    report = audit(s)
    assert list(report) == AUDIT_KEYS
    first = int(s._prov[0])
    assert report == {
        "provenance": f"0x{first:08X}", "mode": "EXACT-2", "pair_count": 2, "pair_ids": [0, 1],
        "columns": [("loans", "age"), ("loans", "income")], "tables": ["loans"],
        "entity": tracker.decode_full(first).entity, "chain": tracker.decode_full(first).chain,
        "taint": True, "depth": 1, "risk": 0.5, "has_protected": True,
    }
    clean = audit(w["income"])
    assert clean["taint"] is False and clean["risk"] == 0.0 and clean["has_protected"] is False
    assert clean["mode"] == "EXACT-1" and clean["pair_ids"] == [1]


def test_audit_reads_only_the_first_row(tracker):
    s = series(tracker, [0x20000000, 0])
    assert audit(s) == {
        "provenance": "0x20000000", "mode": "EXACT-0", "pair_count": 0, "pair_ids": [],
        "columns": [], "tables": [], "entity": 0, "chain": 0, "taint": True, "depth": 0,
        "risk": 1.0, "has_protected": False,
    }


@pytest.mark.parametrize("fn", [audit, audit_series_diversity])
def test_error_record(tracker, fn):
    assert fn(series(None, [1, 2])) == ERROR
    assert fn(series(tracker, [])) == ERROR
    assert fn(pd.Series([1.0])) == ERROR and fn(None) == ERROR  # untracked input


def test_diversity_of_one_repeated_value(tracker):
    words = source_words(tracker, "t", "a", 4, protected=True, entities=[9, 9, 9, 9])
    report = audit_series_diversity(series(tracker, words))
    assert list(report) == DIVERSITY_KEYS
    assert report == {"total_rows": 4, "unique_provenances": 1, "unique_pair_sets": 1,
                      "unique_entities": 1, "unique_chains": 1, "entity_diversity": 0.25,
                      "tainted_provenances": 1, "taint_ratio": 1.0, "max_depth": 0}
    assert type(report["taint_ratio"]) is float
    assert provenance_entropy(series(tracker, words)) == 0.0


def test_diversity_counts_distinct_values_and_pair_union(tracker):
    for name in "abcd":
        tracker.register("t", name)
    w12 = tracker.encode({1, 2}, entity=3, chain=1)
    w23 = tracker.encode({2, 3}, entity=4, chain=1, taint=True, depth=5)
    report = audit_series_diversity(series(tracker, [w12, w12, w23]))
    assert report["unique_provenances"] == 2 and report["unique_pair_sets"] == 3
    assert report["unique_entities"] == 2 and report["unique_chains"] == 1
    assert report["tainted_provenances"] == 1 and report["taint_ratio"] == 0.5
    assert report["max_depth"] == 5 and report["entity_diversity"] == 2 / 3


def test_diversity_with_no_provenance_values(tracker):
    odd = TrackedSeries([1.0, 2.0], _prov=np.zeros(0, np.uint32), _tracker=tracker)
    report = audit_series_diversity(odd)
    assert report["taint_ratio"] == 0 and type(report["taint_ratio"]) is int
    assert report["total_rows"] == 2 and report["unique_provenances"] == 0


def test_duck_typed_inputs_and_decode_override_agree(tracker):
    words = source_words(tracker, "t", "a", 6, entities=[1, 2, 2, 3, 3, 3])
    native = audit_series_diversity(series(tracker, words))

    class Counting(ProvenanceTracker):
        decoded = 0

        def decode_full(self, provenance):
            Counting.decoded += 1
            return super().decode_full(provenance)

    counting = Counting()
    counting.register("t", "a")
    assert audit_series_diversity(Duck([int(x) for x in words], counting)) == native
    assert audit_series_diversity(Duck(np.repeat(words, 2)[::2], tracker)) == native  # strided view
    assert Counting.decoded == 3  # once per distinct value, not per row
    over_array = audit_series_diversity(series(counting, words))
    assert over_array == native and Counting.decoded == 6


@pytest.mark.parametrize("counts,expected", [
    ([4], 0.0),
    ([1, 1, 1, 1], 2.0),
    ([3, 1], 0.8112781244591328),
    ([1] * 5, math.log2(5)),
    ([5, 3, 2, 1, 1, 7], None),
])
def test_entropy(tracker, counts, expected):
    words = np.repeat(np.arange(1, len(counts) + 1, dtype=np.uint32) << 16, counts)
    np.random.default_rng(1).shuffle(words)
    n = len(words)
    reference = 0.0  # the same sum, in order of first appearance
    for c in Counter(int(w) for w in words).values():
        reference = reference - (c / n) * math.log2(c / n)
    got = provenance_entropy(series(tracker, words))
    assert got == reference
    if expected is not None:
        assert got == pytest.approx(expected, abs=1e-12)
    assert provenance_entropy(Duck(words.tolist())) == reference
    assert provenance_entropy(Duck(np.repeat(words, 2)[::2])) == reference  # strided view


def test_entropy_of_empty_series():
    assert provenance_entropy(TrackedSeries([], dtype=float)) == 0.0


def risk_frame(tracker, depths_by_column):
    """A frame whose columns hold tainted source words raised to the given depths."""
    col_prov = {}
    for i, (name, depths) in enumerate(depths_by_column.items()):
        if depths is None:
            continue
        pid = tracker.register("r", name, True)
        col_prov[name] = np.array([tracker.encode({pid}, taint=d is not None and d >= 0,
                                                  depth=max(d, 0)) for d in depths], np.uint32)
    df = TrackedDataFrame({k: [0.0] * 2 for k in depths_by_column}, _tracker=tracker,
                          _col_prov=col_prov)
    return df


def test_column_risk_levels_order_and_rounding(tracker):
    df = risk_frame(tracker, {
        "clean": [-1, -1],     # untainted words
        "low": [7, 7],         # 1/8
        "missing": None,       # no provenance stored
        "third": [2, 5],       # 1/3, min depth 2
        "half": [1, -1],       # 0.5 is MEDIUM, not HIGH
        "high": [3, 0],        # 1.0
    })
    report = column_risk_report(df)
    assert [list(r) for r in report] == [RISK_KEYS] * 6
    assert [(r["column"], r["risk_level"]) for r in report] == [
        ("high", "HIGH"), ("half", "MEDIUM"), ("third", "MEDIUM"), ("low", "LOW"),
        ("clean", "CLEAN"), ("missing", "UNTRACKED")]  # unknown provenance is never clean
    by_name = {r["column"]: r for r in report}
    assert by_name["third"]["max_risk"] == 0.3333 and by_name["third"]["min_depth"] == 2
    assert by_name["high"]["min_depth"] == 0 and by_name["low"]["max_risk"] == 0.125
    assert by_name["half"]["min_depth"] == 1  # the untainted row does not count
    clean = {"tainted": False, "max_risk": 0.0, "min_depth": None, "risk_level": "CLEAN"}
    assert {k: by_name["clean"][k] for k in clean} == clean
    assert {k: by_name["missing"][k] for k in clean} == dict.fromkeys(clean, None) | {"risk_level": "UNTRACKED"}
    assert by_name["high"]["tainted"] is True and type(by_name["high"]["min_depth"]) is int


@pytest.mark.parametrize("risk,level", [(0.5, "MEDIUM"), (0.2, "LOW"), (0.2000001, "MEDIUM"),
                                        (0.50001, "HIGH"), (1e-9, "LOW"), (0.0, "CLEAN")])
def test_risk_thresholds_are_strict(tracker, monkeypatch, risk, level):
    df = risk_frame(tracker, {"c": [0]})
    monkeypatch.setattr(v, "risk_score_batch", lambda arr: np.full(len(arr), risk))
    (record,) = column_risk_report(df)
    assert record["risk_level"] == level and record["max_risk"] == round(risk, 4)


def test_risk_report_tracker_argument(tracker):
    df = risk_frame(tracker, {"c": [0]})
    df._tracker = None
    assert column_risk_report(df) == []
    assert column_risk_report(df, tracker)[0]["risk_level"] == "HIGH"
    assert column_risk_report(df, tracker=tracker)[0]["tainted"] is True


def test_risk_report_is_stable_for_equal_risks(tracker):
    df = risk_frame(tracker, {"z": [1], "a": [1], "m": [1]})
    assert [r["column"] for r in column_risk_report(df)] == ["z", "a", "m"]


def test_risk_report_generic_arrays_and_replaced_functions(tracker, monkeypatch):
    df = risk_frame(tracker, {"c": [4, 2, 6]})
    native = column_risk_report(df)
    df._col_prov["c"] = df._col_prov["c"].astype(np.int64)  # not uint32: the generic path
    assert column_risk_report(df) == native
    seen = []
    monkeypatch.setattr(v, "is_tainted_batch", lambda arr: seen.append(len(arr)) or [True, False, True])
    (record,) = column_risk_report(df)
    assert seen == [3] and record["min_depth"] == 4  # the middle value is masked out


def test_risk_report_on_a_wrapped_derived_frame(tracker):
    w = wrap_dataframe(pd.DataFrame({"age": [1.0, 2.0], "x": [3.0, 4.0]}), tracker, "t",
                       protected=["age"])
    w["ratio"] = (w["x"] / w["age"]).clip(0, 10)
    report = {r["column"]: r for r in column_risk_report(w)}
    assert report["age"]["risk_level"] == "HIGH" and report["ratio"]["min_depth"] == 2
    assert report["ratio"]["max_risk"] == 0.3333 and report["x"]["risk_level"] == "CLEAN"
