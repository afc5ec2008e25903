"""Outcome-aware fairness metrics for a scored or decided frame.

`fairness_report` measures, per protected attribute, how a favourable outcome
is shared out between the attribute's groups (selection rates, demographic
parity, the disparate impact ratio and the four-fifths rule) and, given true
labels, how the errors are shared out (true and false positive rates, equal
opportunity and equalized odds). When the outcome column carries provenance,
it also says whether each protected attribute reaches the outcome at all.

Only pandas and numpy do the arithmetic. The result is a plain dict of
JSON-ready values (group names are texts; an undefined quantity is None), so
it can travel in a dashboard report unchanged.
"""
from __future__ import annotations

import math
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Set, Tuple, Union

import numpy as np
import pandas as pd

__all__ = ["fairness_report", "DEFAULT_BINS", "FOUR_FIFTHS", "CONTINUOUS_MIN_VALUES"]

#: Continuous protected columns are cut at their quartiles unless `bins` says otherwise.
DEFAULT_BINS = 4
#: A numeric (not boolean) protected column with more distinct values than this is continuous.
CONTINUOUS_MIN_VALUES = 10
#: The four-fifths rule: a group selected at less than 80% of the reference group's rate.
FOUR_FIFTHS = 0.8
MISSING_GROUP = "(missing)"
REACHES = "reaches the outcome"
NEVER_USED = "registered but never used"

Bins = Union[int, Sequence[float]]


def fairness_report(
    df: pd.DataFrame,
    outcome: str,
    protected: Union[str, Sequence[str]],
    favorable: Any = 1,
    labels: Optional[str] = None,
    reference: Any = None,
    *,
    bins: Union[None, Bins, Mapping[str, Bins]] = None,
) -> Dict[str, Any]:
    """Fairness metrics of the decision in column `outcome`, per protected attribute.

    Arguments:
        df: the frame (plain, tracked, or with provenance columns).
        outcome: the decision column; a row is favourable where it equals `favorable`.
        protected: one protected column name or several.
        favorable: the favourable value, or a function of the outcome column returning a
            boolean mask (e.g. ``lambda s: s >= 0.5`` for a score).
        labels: optional column of true outcomes; a label is positive where it equals
            `favorable` (or is true, when `favorable` is a function).
        reference: the reference group of the disparate impact ratio; for several
            attributes a dict from attribute to group. Default: the most favoured group
            (the highest selection rate).
        bins: how continuous columns are grouped: a number of quantile bins, or a list
            of cut points (groups "< a", "[a, b)", ..., ">= z"); a dict per attribute.
            Default: quartiles. A column given bins is binned even when it has few values.

    Rows with a missing outcome are left out (counted under "rows_excluded"); a missing
    protected value forms the group "(missing)"; rows with a missing label are left out
    of the label metrics only.
    """
    if not isinstance(df, pd.DataFrame):
        raise TypeError("fairness_report() expects a pandas DataFrame, got %s" % type(df).__name__)
    attributes = [protected] if isinstance(protected, str) else list(protected)
    if not attributes:
        raise ValueError("fairness_report() needs at least one protected column")
    for name in [outcome, *attributes, *([labels] if labels is not None else [])]:
        if name not in df.columns:
            raise KeyError("fairness_report(): no column %r in the frame" % (name,))
    if outcome in attributes:
        raise ValueError("the outcome column %r cannot also be a protected attribute" % (outcome,))

    raw_outcome = _plain(df[outcome])
    keep = ~raw_outcome.isna().to_numpy()
    selected = _favourable(raw_outcome, favorable)[keep]
    positive = None
    label_known = None
    if labels is not None:
        raw_labels = _plain(df[labels])
        label_known = (~raw_labels.isna().to_numpy())[keep]
        positive = _label_positive(raw_labels, favorable)[keep]

    words, tracker = _provenance_of(df[outcome])
    outcome_pairs = _pairs(tracker, words) if words is not None else None

    report: Dict[str, Any] = {
        "outcome": str(outcome),
        "favorable": _json_value(favorable) if not callable(favorable) else "function",
        "labels": None if labels is None else str(labels),
        "rows": int(keep.sum()),
        "rows_excluded": int((~keep).sum()),
        "overall_selection_rate": _rate(selected.sum(), selected.size),
        "outcome_has_provenance": outcome_pairs is not None,
        "attributes": {},
    }
    for name in attributes:
        groups, binning = _groups(_plain(df[name]), _bins_for(bins, name))
        groups = groups[keep]
        ref = reference.get(name) if isinstance(reference, Mapping) else reference
        entry = _attribute_metrics(groups, selected, positive, label_known, ref)
        entry["binning"] = binning
        entry["provenance"] = _reach(df[name], name, tracker, outcome_pairs)
        report["attributes"][str(name)] = entry
    report["four_fifths_violations"] = [
        n for n, e in report["attributes"].items() if e["disparate_impact"]["four_fifths_violated"]
    ]
    return report


# -- inputs -------------------------------------------------------------------------------


def _plain(column: pd.Series) -> pd.Series:
    """The column's values as a plain Series: computing on a tracked column would log
    operations in its tracker."""
    values = column.to_numpy() if not isinstance(column.dtype, pd.CategoricalDtype) else column.astype(object).to_numpy()
    return pd.Series(values, copy=False)


def _favourable(values: pd.Series, favorable: Any) -> np.ndarray:
    if callable(favorable):
        mask = np.asarray(favorable(values))
        if mask.shape != (len(values),):
            raise ValueError("favorable(outcome) must return one truth value per row")
        return mask.astype(bool)
    return (values == favorable).to_numpy(dtype=bool)


def _label_positive(values: pd.Series, favorable: Any) -> np.ndarray:
    if callable(favorable):
        arr = values.to_numpy(dtype=object)
        known = pd.notna(arr)
        out = np.zeros(len(arr), dtype=bool)
        out[known] = arr[known].astype(bool)
        return out
    return (values == favorable).to_numpy(dtype=bool)


def _bins_for(bins: Any, name: str) -> Optional[Bins]:
    if isinstance(bins, Mapping):
        return bins.get(name)
    return bins


def _is_continuous(values: pd.Series) -> bool:
    dtype = values.infer_objects().dtype
    if pd.api.types.is_bool_dtype(dtype) or not pd.api.types.is_numeric_dtype(dtype):
        return False
    return values.nunique(dropna=True) > CONTINUOUS_MIN_VALUES


def _number(x: float) -> str:
    return format(float(x), "g")


def _groups(values: pd.Series, bins: Optional[Bins]) -> Tuple[np.ndarray, Optional[Dict[str, Any]]]:
    """Group label (text) per row, and how the column was binned (None when not)."""
    if bins is None and not _is_continuous(values):
        labels = values.astype(object).where(values.notna(), MISSING_GROUP).map(str)
        return labels.to_numpy(dtype=object), None
    numbers = pd.to_numeric(values, errors="coerce").to_numpy(dtype=float)
    if bins is None or isinstance(bins, (int, np.integer)):
        q = DEFAULT_BINS if bins is None else int(bins)
        if q < 2:
            raise ValueError("bins must be at least 2 quantile bins")
        known = numbers[~np.isnan(numbers)]
        cuts = np.unique(np.quantile(known, np.arange(1, q) / q)) if known.size else np.array([])
        how = {"method": "quantiles", "quantiles": q}
    else:
        cuts = np.asarray(sorted(float(b) for b in bins), dtype=float)
        if cuts.size == 0:
            raise ValueError("bins needs at least one cut point")
        how = {"method": "cut points"}
    # Bin i holds cuts[i-1] <= x < cuts[i]; bin 0 everything below the first cut.
    index = np.searchsorted(cuts, numbers, side="right")
    names = ["< " + _number(cuts[0])] if cuts.size else ["all"]
    names += ["[%s, %s)" % (_number(a), _number(b)) for a, b in zip(cuts[:-1], cuts[1:])]
    if cuts.size:
        names.append(">= " + _number(cuts[-1]))
    labels = np.array(names, dtype=object)[index]
    labels[np.isnan(numbers)] = MISSING_GROUP
    how["cuts"] = [float(c) for c in cuts]
    how["groups"] = names
    return labels, how


# -- metrics ------------------------------------------------------------------------------


def _rate(hits: Any, total: Any) -> Optional[float]:
    return float(hits) / float(total) if total else None


def _spread(values: Iterable[Optional[float]]) -> Tuple[Optional[float], Optional[float]]:
    """(max - min, min / max) over the defined values."""
    known = [v for v in values if v is not None]
    if not known:
        return None, None
    hi, lo = max(known), min(known)
    return hi - lo, (lo / hi if hi > 0 else None)


def _attribute_metrics(groups: np.ndarray, selected: np.ndarray, positive: Optional[np.ndarray],
                       label_known: Optional[np.ndarray], reference: Any) -> Dict[str, Any]:
    frame = pd.DataFrame({"group": groups, "selected": selected})
    by = frame.groupby("group", sort=False)["selected"].agg(["size", "sum"])
    order = _group_order(by.index)
    rows: List[Dict[str, Any]] = []
    for g in order:
        size, hits = int(by.at[g, "size"]), int(by.at[g, "sum"])
        rows.append({"group": g, "size": size, "selected": hits, "selection_rate": _rate(hits, size)})

    if positive is not None:
        assert label_known is not None
        tp = pd.DataFrame({"group": groups[label_known], "selected": selected[label_known],
                           "positive": positive[label_known]})
        pos = tp[tp["positive"]].groupby("group")["selected"].agg(["size", "sum"])
        neg = tp[~tp["positive"]].groupby("group")["selected"].agg(["size", "sum"])
        for row in rows:
            g = row["group"]
            p_n, p_hit = (int(pos.at[g, "size"]), int(pos.at[g, "sum"])) if g in pos.index else (0, 0)
            n_n, n_hit = (int(neg.at[g, "size"]), int(neg.at[g, "sum"])) if g in neg.index else (0, 0)
            row.update(positives=p_n, negatives=n_n,
                       true_positive_rate=_rate(p_hit, p_n), false_positive_rate=_rate(n_hit, n_n))

    rates = {r["group"]: r["selection_rate"] for r in rows}
    dp_difference, dp_ratio = _spread(rates.values())
    if reference is not None:
        ref = str(reference)
        if ref not in rates:
            raise ValueError("reference group %r is not among the groups %s" % (reference, list(rates)))
        rule = "given"
    else:
        ref = max(rates, key=lambda g: (rates[g] if rates[g] is not None else -1.0))
        rule = "most favoured"
    ref_rate = rates[ref]
    worst, worst_ratio = None, None
    for row in rows:
        ratio = row["selection_rate"] / ref_rate if ref_rate else None
        row["disparate_impact_ratio"] = ratio
        row["four_fifths_violated"] = ratio is not None and ratio < FOUR_FIFTHS
        if ratio is not None and row["group"] != ref and (worst_ratio is None or ratio < worst_ratio):
            worst, worst_ratio = row["group"], ratio
    entry: Dict[str, Any] = {
        "groups": rows,
        "demographic_parity_difference": dp_difference,
        "demographic_parity_ratio": dp_ratio,
        "disparate_impact": {
            "reference": ref,
            "reference_rule": rule,
            "reference_selection_rate": ref_rate,
            "lowest_ratio": worst_ratio,
            "lowest_group": worst,
            "four_fifths_violated": any(r["four_fifths_violated"] for r in rows),
        },
    }
    if positive is not None:
        tpr_diff, _ = _spread(r["true_positive_rate"] for r in rows)
        fpr_diff, _ = _spread(r["false_positive_rate"] for r in rows)
        entry["equal_opportunity_difference"] = tpr_diff
        entry["false_positive_rate_difference"] = fpr_diff
        entry["equalized_odds_difference"] = (
            None if tpr_diff is None or fpr_diff is None else max(tpr_diff, fpr_diff))
    return entry


def _group_order(index: Iterable[str]) -> List[str]:
    """Bins in their order (they were labelled in order), other groups sorted, "(missing)" last."""
    names = list(index)
    missing = [g for g in names if g == MISSING_GROUP]
    rest = [g for g in names if g != MISSING_GROUP]

    def key(g: str) -> Tuple[int, Any]:
        if g.startswith("< "):
            return (0, float(g[2:]))
        if g.startswith("[") and g.endswith(")"):
            return (1, float(g[1:].split(",")[0]))
        if g.startswith(">= "):
            return (2, float(g[3:]))
        try:
            return (3, float(g))
        except ValueError:
            return (4, g)

    try:
        rest.sort(key=key)
    except TypeError:  # numbers and texts mixed: plain text order
        rest.sort()
    return rest + missing


# -- provenance ----------------------------------------------------------------------------


def _provenance_of(column: Any) -> Tuple[Optional[np.ndarray], Any]:
    """(words, tracker) of a tracked column, or (None, None).

    Two carriers: the tracked containers (`_prov` and `_tracker`), and columns of the
    provenance dtype, whose `.prov` accessor exposes `words` and `tracker`.
    """
    words = getattr(column, "_prov", None)
    tracker = getattr(column, "_tracker", None)
    if words is None or tracker is None:
        try:
            accessor = column.prov
            words, tracker = accessor.words, accessor.tracker
        except (AttributeError, TypeError, ValueError):
            return None, None
    if words is None or tracker is None:
        return None, None
    return np.asarray(words), tracker


def _pairs(tracker: Any, words: np.ndarray) -> Set[int]:
    found: Set[int] = set()
    for w in np.unique(np.asarray(words, dtype=np.uint64)):
        found.update(int(p) for p in tracker.decode(int(w)))
    return found


def _reach(column: Any, name: str, tracker: Any, outcome_pairs: Optional[Set[int]]) -> Dict[str, Any]:
    """Whether the protected attribute `name` is among the outcome's sources."""
    if outcome_pairs is None:
        return {"reaches_outcome": None, "status": "the outcome carries no provenance", "sources": []}
    words, own_tracker = _provenance_of(column)
    if words is not None and own_tracker is tracker:
        pairs = _pairs(tracker, words)
    else:
        registry = getattr(tracker, "_name_to_id", {}) or {}
        pairs = {int(pid) for (table, col), pid in registry.items() if col == name}
    names = [tracker.get_name(p) for p in sorted(pairs)]
    sources = [".".join(map(str, n)) for n in names if n]
    if not pairs:
        return {"reaches_outcome": None, "status": "not registered with the outcome's tracker", "sources": []}
    reaches = bool(pairs & outcome_pairs)
    return {"reaches_outcome": reaches, "status": REACHES if reaches else NEVER_USED, "sources": sources}


def _json_value(v: Any) -> Any:
    if isinstance(v, (np.generic,)):
        v = v.item()
    if isinstance(v, float) and not math.isfinite(v):
        return str(v)
    if v is None or isinstance(v, (bool, int, float, str)):
        return v
    return str(v)


# -- the tracker's dashboard report ---------------------------------------------------------

MODEL_FIELDS = ("model_id", "name", "version", "status", "domain")


def tracker_report(tracker: Any, df: pd.DataFrame, outcome: str, protected: Union[str, Sequence[str]],
                   favorable: Any = 1, labels: Optional[str] = None, reference: Any = None,
                   bins: Any = None, model: Optional[Mapping[str, Any]] = None) -> Dict[str, Any]:
    """What `DAGTracker.report_fairness` keeps for the next dashboard report: the metrics,
    the column risk report of a tracked frame, and the model fields the caller gave."""
    out = fairness_report(df, outcome, protected, favorable, labels, reference, bins=bins)
    dtype_tracked = isinstance(df, pd.DataFrame) and df.prov.tracker is not None
    if getattr(df, "_tracker", None) is not None or dtype_tracked:
        from lumarq.utilities.vantor32 import column_risk_report

        out["column_risk_report"] = [
            {k: _json_value(v) for k, v in row.items()} for row in column_risk_report(df)
        ]
    if model is not None:
        if not isinstance(model, Mapping):
            raise TypeError("model must be a dict of %s" % ", ".join(MODEL_FIELDS))
        unknown = set(model) - set(MODEL_FIELDS)
        if unknown:
            raise ValueError("unknown model fields %s (known: %s)" % (sorted(unknown), ", ".join(MODEL_FIELDS)))
        out["model"] = {k: str(model[k]) for k in MODEL_FIELDS if model.get(k) not in (None, "")}
    return out
