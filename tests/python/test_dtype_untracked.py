"""Results of the provenance dtype that pandas builds without the words (no hook reaches them)
carry no tracker, and every audit refuses them: none may read as clean. Those a hook reaches
carry their source rows' words."""

from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
import pytest

import lumarq
from lumarq.utilities.vantor32 import (ProvenanceTracker, audit, column_risk_report,
                                      provenance_entropy, wrap_dataframe)


@pytest.fixture
def tracked():
    plain = pd.DataFrame({"age": [25.0, 40.0, 61.0, 40.0], "debt": [1.0, 2.0, np.nan, 4.0]},
                         index=["r0", "r1", "r2", "r3"])
    return lumarq.track(plain, ProvenanceTracker(), "L", protected=["age"])


RESULTS = {
    "stack": lambda df: df.stack(),
    "unique": lambda df: pd.Series(df["age"].unique(), name="age"),
    "mode": lambda df: df["age"].mode(),
    "value_counts index": lambda df: df["age"].value_counts().index.to_series(),
    "from a sequence": lambda df: pd.Series(pd.array([25.0, 40.0], dtype="prov[float64]")),
}


@pytest.mark.parametrize("make", RESULTS.values(), ids=list(RESULTS))
def test_results_without_words_are_refused_or_tracked(tracked, make):
    result = make(tracked)
    assert isinstance(result.dtype, lumarq.ProvenanceDtype)
    if result.prov.tracker is not None:
        # Tracked (stack on pandas 2.2 moves the arrays): then the words are the source rows'.
        if isinstance(result.index, pd.MultiIndex):
            src = wrap_dataframe(lumarq.untrack(tracked), ProvenanceTracker(), "L", ["age"])
            for (row, col), word in zip(result.index, result.prov.words):
                assert word == src._col_prov[col][tracked.index.get_loc(row)]
        else:  # the values of value_counts: the rows that hold each value
            for word in result.prov.words:
                assert result.prov.tracker.explain_full(int(word))["pairs"] == [("L", "age")]
        assert result.prov.tainted.any()
        return
    assert "error" in audit(result)
    with pytest.raises(TypeError, match="provenance_entropy expects"):
        provenance_entropy(result)
    with pytest.raises(ValueError, match="no tracker"):
        result.prov.tainted
    with pytest.raises(ValueError, match="no tracker"):
        result.prov.explain(0)
    with pytest.raises(ValueError, match="no tracker"):
        result.to_frame().prov.risk_report()


def test_risk_report_of_a_tracked_frame_still_reports(tracked):
    report = {r["column"]: r for r in tracked.prov.risk_report()}
    assert report["age"]["tainted"] and not report["debt"]["tainted"]
    # Beside tracked columns, an untracked one is left out of the report, never called clean.
    mixed = tracked.assign(untracked=pd.array([1.0, 2.0, 3.0, 4.0], dtype="prov[float64]"))
    assert set(r["column"] for r in column_risk_report(mixed)) == {"age", "debt"}


# A categorical cannot carry words: made of a column derived from a protected attribute, what is
# computed from it (a group mean by age band) reads as untouched by it, so the user is told.
CATEGORICAL = {
    "pd.cut": (lambda df: pd.cut(df["age"], 2), True),
    "pd.qcut": (lambda df: pd.qcut(df["age"], 2), True),
    "astype": (lambda df: df["age"].astype("category"), True),
    "frame astype": (lambda df: df.astype({"age": "category"}), True),
    "of a column not derived from one": (lambda df: df["debt"].astype("category"), False),
    "bin numbers keep the words": (lambda df: pd.cut(df["age"], 2, labels=False), False),
    "pandas' own categoricals": (lambda df: df.groupby("age", observed=True)["debt"].sum(), False),
    # Text replaced by numbers gives object values on pandas 3 (numbers on 2.2, which keep the
    # words): plain, and said so.
    "replace text by numbers": (lambda df: df.assign(band=(df["age"] > 30).map(
        {True: "old", False: "young"})).replace({"band": {"old": 1, "young": 0}}),
        pd.__version__ >= "3"),
    "replace of a column not derived from one": (lambda df: df.assign(
        name=pd.Series(["a", "b", "c", "d"], index=df.index)).replace({"name": {"a": 1}}), False),
}


@pytest.mark.parametrize("case", CATEGORICAL)
def test_a_categorical_of_a_protected_column_warns_at_the_caller(tracked, case):
    make, warns = CATEGORICAL[case]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = make(tracked)
    ours = [w for w in caught if "no provenance" in str(w.message)]
    assert len(ours) == int(warns) and all(w.filename == __file__ for w in ours)
    assert lumarq.untrack(result).equals(make(lumarq.untrack(tracked)))
