"""fairness_report against Fairlearn's metrics on a generated credit-like data set, and the
provenance answer (does a protected attribute reach the outcome?) on tracked frames."""
from __future__ import annotations

import io
import json
import re

import numpy as np
import pandas as pd
import pytest

import lumarq
from lumarq.fairness import FOUR_FIFTHS, NEVER_USED, REACHES

fm = pytest.importorskip("fairlearn.metrics")

TOL = 1e-9


def credit_data(rows=4000, seed=11):
    """Two protected attributes (age continuous, gender categorical), an approval decision that
    leans on both, and true repayment labels."""
    rng = np.random.default_rng(seed)
    age = rng.integers(19, 76, rows).astype(float)
    gender = rng.choice(["female", "male", "nonbinary"], rows, p=[0.47, 0.47, 0.06])
    income = rng.lognormal(10.6, 0.45, rows)
    dti = rng.beta(2.0, 5.0, rows)
    repaid = (rng.random(rows) < 0.55 + 0.3 * (0.3 - dti)).astype(int)
    score = 0.6 - dti + 0.004 * (age - 40) + 0.05 * (gender == "male") + rng.normal(0, 0.15, rows)
    return pd.DataFrame({"income": income, "dti": dti, "age": age, "gender": gender,
                         "approved": (score > 0.35).astype(int), "repaid": repaid})


def quartile_groups(values):
    cuts = np.unique(np.quantile(values, [0.25, 0.5, 0.75]))
    return np.searchsorted(cuts, values, side="right")


def oracle(df, sensitive, reference=None):
    y_true, y_pred = df["repaid"], df["approved"]
    frame = fm.MetricFrame(metrics={"sel": fm.selection_rate, "tpr": fm.true_positive_rate,
                                    "fpr": fm.false_positive_rate},
                           y_true=y_true, y_pred=y_pred, sensitive_features=sensitive)
    sel = frame.by_group["sel"]
    ref = sel.idxmax() if reference is None else reference
    return {
        "dp_difference": fm.demographic_parity_difference(y_true, y_pred, sensitive_features=sensitive),
        "dp_ratio": fm.demographic_parity_ratio(y_true, y_pred, sensitive_features=sensitive),
        "eo_difference": fm.equalized_odds_difference(y_true, y_pred, sensitive_features=sensitive),
        "eop_difference": frame.difference()["tpr"],
        "sel": sel, "tpr": frame.by_group["tpr"], "fpr": frame.by_group["fpr"],
        "di": sel / sel[ref], "reference": ref,
    }


@pytest.mark.parametrize("attribute, reference", [
    ("gender", None), ("gender", "female"), ("age", None), ("age", "lowest bin"),
])
def test_every_metric_matches_fairlearn(attribute, reference):
    df = credit_data()
    if reference == "lowest bin":
        lowest = "< %g" % np.quantile(df["age"], 0.25)
        report = lumarq.fairness_report(df, "approved", ["age", "gender"], labels="repaid",
                                        reference={"age": lowest})
    else:
        report = lumarq.fairness_report(df, "approved", ["age", "gender"], favorable=1, labels="repaid",
                                        reference={attribute: reference} if reference else None)
    got = report["attributes"][attribute]
    if attribute == "age":
        # Quartile bins by default: the oracle sees the same groups, by bin number.
        sensitive = quartile_groups(df["age"].to_numpy())
        names = got["binning"]["groups"]
        assert got["binning"]["method"] == "quantiles" and len(names) == 4
        to_key = {name: i for i, name in enumerate(names)}
        if reference:
            reference = 0
    else:
        sensitive = df["gender"].to_numpy()
        to_key = {g: g for g in ("female", "male", "nonbinary")}
    want = oracle(df, sensitive, reference)

    assert got["demographic_parity_difference"] == pytest.approx(want["dp_difference"], abs=TOL)
    assert got["demographic_parity_ratio"] == pytest.approx(want["dp_ratio"], abs=TOL)
    assert got["equalized_odds_difference"] == pytest.approx(want["eo_difference"], abs=TOL)
    assert got["equal_opportunity_difference"] == pytest.approx(want["eop_difference"], abs=TOL)
    assert {to_key[r["group"]] for r in got["groups"]} == set(want["sel"].index)
    for row in got["groups"]:
        k = to_key[row["group"]]
        assert row["selection_rate"] == pytest.approx(want["sel"][k], abs=TOL)
        assert row["true_positive_rate"] == pytest.approx(want["tpr"][k], abs=TOL)
        assert row["false_positive_rate"] == pytest.approx(want["fpr"][k], abs=TOL)
        assert row["disparate_impact_ratio"] == pytest.approx(want["di"][k], abs=TOL)
        assert row["four_fifths_violated"] == (want["di"][k] < FOUR_FIFTHS)
        assert row["size"] == int((sensitive == k).sum())
    di = got["disparate_impact"]
    assert to_key[di["reference"]] == want["reference"]
    assert di["reference_rule"] == ("given" if reference is not None else "most favoured")
    others = want["di"].drop(want["reference"])
    assert di["lowest_ratio"] == pytest.approx(others.min(), abs=TOL)
    assert di["four_fifths_violated"] == bool((want["di"] < FOUR_FIFTHS).any())
    assert (attribute in report["four_fifths_violations"]) == di["four_fifths_violated"]
    # Travels in a report as it is.
    json.dumps(report, allow_nan=False)


@pytest.mark.parametrize("bins, groups", [
    ([30, 50], ["< 30", "[30, 50)", ">= 50"]),
    (2, None),
    ({"age": [40]}, ["< 40", ">= 40"]),
])
def test_bins_are_overridable_and_bound_every_row(bins, groups):
    df = credit_data(600)
    got = lumarq.fairness_report(df, "approved", "age", bins=bins)["attributes"]["age"]
    names = [g["group"] for g in got["groups"]]
    if groups is not None:
        assert names == groups
        cuts = got["binning"]["cuts"]
        want = pd.Series(np.searchsorted(cuts, df["age"], side="right")).value_counts().sort_index()
        assert [g["size"] for g in got["groups"]] == want.tolist()
    assert len(names) == (2 if bins == 2 else len(groups))
    assert sum(g["size"] for g in got["groups"]) == len(df)


def test_favourable_function_missing_values_and_bad_input():
    df = pd.DataFrame({"score": [0.9, 0.2, np.nan, 0.7, 0.6, 0.1],
                       "sex": ["f", "m", "f", None, "m", "f"],
                       "y": [1, 0, 1, 1, np.nan, 0]})
    r = lumarq.fairness_report(df, "score", "sex", favorable=lambda s: s >= 0.5, labels="y")
    assert (r["rows"], r["rows_excluded"]) == (5, 1)
    g = {row["group"]: row for row in r["attributes"]["sex"]["groups"]}
    assert list(g) == ["f", "m", "(missing)"]
    assert (g["f"]["size"], g["f"]["selection_rate"]) == (2, 0.5)
    assert (g["m"]["positives"], g["m"]["negatives"]) == (0, 1)  # the row without a label is left out
    assert g["m"]["true_positive_rate"] is None
    assert r["attributes"]["sex"]["provenance"]["reaches_outcome"] is None

    for call, err, match in [
        (lambda: lumarq.fairness_report(df.to_dict(), "score", "sex"), TypeError, "DataFrame"),
        (lambda: lumarq.fairness_report(df, "nope", "sex"), KeyError, "nope"),
        (lambda: lumarq.fairness_report(df, "score", []), ValueError, "at least one"),
        (lambda: lumarq.fairness_report(df, "score", "sex", reference="x"), ValueError, "reference group"),
        (lambda: lumarq.fairness_report(df, "score", "score"), ValueError, "cannot also be"),
    ]:
        with pytest.raises(err, match=match):
            call()


@pytest.mark.parametrize("kind", ["plain", "dag", "dtype"])
def test_reach_tells_a_used_attribute_from_one_registered_but_never_used(kind):
    from lumarq.utilities.vantor32 import ProvenanceTracker, wrap_dataframe
    from lumarq.utilities.vantor32_dag import DAGTracker, wrap_dataframe_dag

    raw = credit_data(200)[["income", "dti", "age", "gender"]]
    if kind == "dtype":
        tracker = ProvenanceTracker()
        df = lumarq.track(raw, tracker, "loans", protected=["age", "gender"])
        df["score"] = df["dti"] * -2.0 + df["age"] * 0.01
    elif kind == "plain":
        tracker = ProvenanceTracker()
        df = wrap_dataframe(raw, tracker, "loans", protected=["age", "gender"])
    else:
        tracker = DAGTracker()
        df = wrap_dataframe_dag(raw, tracker, "loans", protected=["age", "gender"])
    if kind != "dtype":
        df["score"] = df["dti"] * -2.0 + df["age"] * 0.01
    before = len(getattr(tracker, "_nodes", ()))
    favorable = lambda s: s > -0.2  # noqa: E731
    if kind == "dtype":
        r = df.prov.fairness("score", ["age", "gender"], favorable=favorable)
    else:
        r = lumarq.fairness_report(df, "score", ["age", "gender"], favorable=favorable)
    assert r["outcome_has_provenance"] is True
    age, gender = r["attributes"]["age"]["provenance"], r["attributes"]["gender"]["provenance"]
    assert (age["reaches_outcome"], age["status"], age["sources"]) == (True, REACHES, ["loans.age"])
    assert (gender["reaches_outcome"], gender["status"]) == (False, NEVER_USED)
    # Measuring logs nothing in the user's tracker.
    assert len(getattr(tracker, "_nodes", ())) == before


def _tiny():
    return pd.DataFrame({"age": range(20, 32), "gender": list("fmx" * 4), "flag": [True, False] * 6,
                         "ok": [1, 0] * 6})


def _no_rows(empty):
    return pd.DataFrame({"g": pd.Series([], dtype=object), "y": pd.Series([], dtype=float)}) if empty \
        else pd.DataFrame({"g": ["a", "b"], "y": [np.nan, np.nan]})


def _labelled(t):
    return pd.DataFrame({"g": list("aaabbb"), "y": [1, 1, 0, 1, 0, 0], "t": t})


def _tuple_labelled():
    return pd.DataFrame({("p", "sex"): list("ffmm"), "ok": [1, 0, 1, 1]})


# (frame, outcome, protected, keywords, expected): expected is {attribute: [(group, size), ...]},
# an exception (type, message), or "fairlearn" for the label differences against the oracle.
EDGE_CASES = {
    "global bins leave text and bool columns alone": (
        _tiny, "ok", ["age", "gender", "flag"], {"bins": 3},
        {"gender": [("f", 4), ("m", 4), ("x", 4)], "flag": [("False", 6), ("True", 6)]}),
    "a bins dict naming a text column": (
        _tiny, "ok", ["age", "gender"], {"bins": {"gender": 2}}, (ValueError, "'gender', a non-numeric")),
    "an integral float bins": (_tiny, "ok", "age", {"bins": 2.0}, {"age": [("< 25.5", 6), (">= 25.5", 6)]}),
    "a fractional bins": (_tiny, "ok", "age", {"bins": 2.5}, (ValueError, "whole number")),
    "text groups that look like bins": (
        lambda: pd.DataFrame({"emp": ["< 1 year", ">= 7 years", "[4, 7) years", "< 1 year"], "y": [1, 0, 1, 0]}),
        "y", "emp", {}, {"emp": [("< 1 year", 2), (">= 7 years", 1), ("[4, 7) years", 1)]}),
    "no row has an outcome": (lambda: _no_rows(False), "y", "g", {}, (ValueError, "outcome in column 'y'")),
    "an empty frame": (lambda: _no_rows(True), "y", "g", {}, (ValueError, "outcome in column 'y'")),
    "an int column label": (
        lambda: pd.read_csv(io.StringIO("a,1\nb,0\na,1\n"), header=None), 1, 0, {}, {"0": [("a", 2), ("b", 1)]}),
    "a tuple column label": (_tuple_labelled, "ok", ("p", "sex"), {}, {"('p', 'sex')": [("f", 2), ("m", 2)]}),
    "values whose texts coincide": (
        lambda: pd.DataFrame({"g": [1, "1", 1, "1", 2], "y": [1, 0, 1, 0, 1]}), "y", "g", {},
        {"g": [("1", 2), ("2", 1), ("'1'", 2)]}),
    "a group without positive labels": (lambda: _labelled([1, 0, 1, 0, 0, 0]), "y", "g", {"labels": "t"},
                                        "fairlearn"),
    "a group without negative labels": (lambda: _labelled([1, 1, 1, 0, 1, 0]), "y", "g", {"labels": "t"},
                                        "fairlearn"),
    "no negative labels at all": (lambda: _labelled([1] * 6), "y", "g", {"labels": "t"}, "fairlearn"),
}


@pytest.mark.parametrize("make, outcome, protected, kw, expected", EDGE_CASES.values(), ids=list(EDGE_CASES))
def test_awkward_columns_and_labels(make, outcome, protected, kw, expected):
    df = make()
    if isinstance(expected, tuple):
        with pytest.raises(expected[0], match=re.escape(expected[1])):
            lumarq.fairness_report(df, outcome, protected, **kw)
        return
    report = lumarq.fairness_report(df, outcome, protected, **kw)
    if expected == "fairlearn":
        got = report["attributes"]["g"]
        y_true, y_pred, groups = df["t"], df["y"], df["g"]
        frame = fm.MetricFrame(metrics={"tpr": fm.true_positive_rate, "fpr": fm.false_positive_rate},
                               y_true=y_true, y_pred=y_pred, sensitive_features=groups)
        want = frame.difference()
        assert got["equal_opportunity_difference"] == pytest.approx(want["tpr"], abs=TOL)
        if (df["t"] == 1).all():  # no rate without negative labels, where Fairlearn says 0
            assert got["false_positive_rate_difference"] is None
        else:
            assert got["false_positive_rate_difference"] == pytest.approx(want["fpr"], abs=TOL)
        assert got["equalized_odds_difference"] == pytest.approx(
            fm.equalized_odds_difference(y_true, y_pred, sensitive_features=groups), abs=TOL)
        for row in got["groups"]:  # a rate over no labels stays undefined per group
            assert (row["true_positive_rate"] is None) == (row["positives"] == 0)
            assert (row["false_positive_rate"] is None) == (row["negatives"] == 0)
        return
    for attribute, groups in expected.items():
        assert [(g["group"], g["size"]) for g in report["attributes"][attribute]["groups"]] == groups
