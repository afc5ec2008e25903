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
from numbers import Real
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
            Default: quartiles. A numeric column given bins is binned even when it has few
            values; a single number or list applies to numeric columns only (text,
            categorical and boolean columns keep their values as groups), and a dict that
            names a non-numeric column is an error.

    Rows with a missing outcome are left out (counted under "rows_excluded"); a missing
    protected value forms the group "(missing)"; rows with a missing label are left out
    of the label metrics only.
    """
    if not isinstance(df, pd.DataFrame):
        raise TypeError("fairness_report() expects a pandas DataFrame, got %s" % type(df).__name__)
    attributes = _attribute_names(protected, df.columns)
    if not attributes:
        raise ValueError("fairness_report() needs at least one protected column")
    for name in [outcome, *attributes, *([labels] if labels is not None else [])]:
        if name not in df.columns:
            raise KeyError("fairness_report(): no column %r in the frame" % (name,))
    if outcome in attributes:
        raise ValueError("the outcome column %r cannot also be a protected attribute" % (outcome,))

    per_column = isinstance(bins, Mapping)
    bins = {k: _checked_bins(v) for k, v in bins.items()} if per_column else _checked_bins(bins)

    raw_outcome = _plain(df[outcome])
    keep = ~raw_outcome.isna().to_numpy()
    if not keep.any():
        raise ValueError("fairness_report(): no row has an outcome in column %r (%s)"
                         % (outcome, "the frame is empty" if len(df) == 0 else "all values are missing"))
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
        column = df[name]
        values = _plain(column)
        numeric = not isinstance(column.dtype, pd.CategoricalDtype) and _is_numeric(values)
        if per_column:
            column_bins = bins.get(name)
            if column_bins is not None and not numeric:
                raise ValueError("bins names %r, a %s column; only numeric columns are binned"
                                 % (name, _kind(column, values)))
        else:
            column_bins = bins if numeric else None
        groups, binning, label_of = _groups(values, column_bins, numeric)
        groups = groups[keep]
        ref = reference.get(name) if isinstance(reference, Mapping) else reference
        entry = _attribute_metrics(groups, selected, positive, label_known, ref, label_of)
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


def _attribute_names(protected: Any, columns: pd.Index) -> List[Any]:
    """The protected column labels: a scalar label (a text, or e.g. the int 0 of a frame read
    without a header) or a tuple that is itself a column label names one column."""
    if isinstance(protected, str) or not pd.api.types.is_list_like(protected):
        return [protected]
    if isinstance(protected, tuple):
        try:
            if protected in columns:
                return [protected]
        except TypeError:  # unhashable members: a sequence of names
            pass
    return list(protected)


def _checked_bins(bins: Any) -> Optional[Bins]:
    """`bins` as None, an int of quantile bins, or a list of cut points."""
    if bins is None:
        return None
    what = "bins must be a whole number of quantile bins or a list of cut points, got %r" % (bins,)
    if isinstance(bins, (bool, np.bool_)):
        raise TypeError(what)
    if isinstance(bins, (int, np.integer)):
        return int(bins)
    if isinstance(bins, (float, np.floating)):
        if math.isfinite(bins) and float(bins).is_integer():
            return int(bins)
        raise ValueError(what)
    if isinstance(bins, (str, bytes, Mapping)) or not pd.api.types.is_list_like(bins):
        raise TypeError(what)
    try:
        cuts = [float(b) for b in bins]
    except (TypeError, ValueError):
        raise ValueError(what) from None
    if any(math.isnan(c) for c in cuts):
        raise ValueError("bins: a cut point is NaN in %r" % (bins,))
    return cuts


def _is_numeric(values: pd.Series) -> bool:
    """Numbers other than booleans, also in an object column (numbers with missing values)."""
    dtype = values.infer_objects().dtype
    if pd.api.types.is_bool_dtype(dtype):
        return False
    if pd.api.types.is_numeric_dtype(dtype):
        return True
    if dtype != object:
        return False
    known = values[values.notna()]
    return len(known) > 0 and all(
        isinstance(v, Real) and not isinstance(v, (bool, np.bool_)) for v in known)


def _kind(column: pd.Series, values: pd.Series) -> str:
    if isinstance(column.dtype, pd.CategoricalDtype):
        return "categorical"
    return "boolean" if pd.api.types.is_bool_dtype(values.infer_objects().dtype) else "non-numeric"


def _is_continuous(values: pd.Series) -> bool:
    return values.nunique(dropna=True) > CONTINUOUS_MIN_VALUES


def _number(x: float) -> str:
    return format(float(x), "g")


def _unwrapped(v: Any) -> Any:
    return v.item() if isinstance(v, np.generic) else v


def _repr_label(v: Any) -> str:
    return repr(_unwrapped(v))


def _groups(values: pd.Series, bins: Optional[Bins], numeric: bool
            ) -> Tuple[np.ndarray, Optional[Dict[str, Any]], Any]:
    """Group label (text) per row, how the column was binned (None when not), and the
    function that labels a value of the column (to find a given reference group)."""
    if bins is None and not (numeric and _is_continuous(values)):
        known = values.notna().to_numpy()
        objects = values.astype(object)
        distinct = pd.unique(objects[known])
        texts = {str(v) for v in distinct}
        # Values whose texts coincide (1 and "1", or a value "(missing)" beside missing
        # values) would fall into one group: tell them apart by repr() instead.
        merged = len(texts) < len(distinct) or (MISSING_GROUP in texts and not known.all())
        label_of = _repr_label if merged else str
        labels = objects.map(label_of).to_numpy(dtype=object)
        labels[~known] = MISSING_GROUP
        return labels, None, label_of
    numbers = pd.to_numeric(values, errors="coerce").to_numpy(dtype=float)
    if bins is None or isinstance(bins, int):
        q = DEFAULT_BINS if bins is None else bins
        if q < 2:
            raise ValueError("bins must be at least 2 quantile bins")
        known = numbers[~np.isnan(numbers)]
        cuts = np.unique(np.quantile(known, np.arange(1, q) / q)) if known.size else np.array([])
        how = {"method": "quantiles", "quantiles": q}
    else:
        cuts = np.asarray(sorted(bins), dtype=float)
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
    return labels, how, str


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


def _error_rate_difference(rows: List[Dict[str, Any]], count: str, rate: str) -> Optional[float]:
    """max - min of a true or false positive rate over the groups with labelled rows.

    A group without positive (negative) labels counts with rate 0, as Fairlearn counts it:
    leaving it out would report parity where a group is never served at all. Its own rate
    stays None (undefined). None when no group has such labels."""
    labelled = [r for r in rows if r["positives"] + r["negatives"]]
    if not any(r[count] for r in labelled):
        return None
    rates = [r[rate] if r[rate] is not None else 0.0 for r in labelled]
    return max(rates) - min(rates)


def _attribute_metrics(groups: np.ndarray, selected: np.ndarray, positive: Optional[np.ndarray],
                       label_known: Optional[np.ndarray], reference: Any,
                       label_of: Any = str) -> Dict[str, Any]:
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
        # The value as the column labels it, or else the group's label itself.
        ref = next((c for c in (label_of(reference), str(reference)) if c in rates), None)
        if ref is None:
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
        tpr_diff = _error_rate_difference(rows, "positives", "true_positive_rate")
        fpr_diff = _error_rate_difference(rows, "negatives", "false_positive_rate")
        entry["equal_opportunity_difference"] = tpr_diff
        entry["false_positive_rate_difference"] = fpr_diff
        # A rate no group has (no positive, or no negative labels at all) bounds nothing: the
        # larger of the known differences, as Fairlearn, which counts that rate as 0 everywhere.
        known = [d for d in (tpr_diff, fpr_diff) if d is not None]
        entry["equalized_odds_difference"] = max(known) if known else None
    return entry


def _group_order(index: Iterable[str]) -> List[str]:
    """Bins in their order (they were labelled in order), other groups sorted, "(missing)" last."""
    names = list(index)
    missing = [g for g in names if g == MISSING_GROUP]
    rest = [g for g in names if g != MISSING_GROUP]

    def number(text: str) -> float:
        x = float(text)
        if math.isnan(x):
            raise ValueError(text)
        return x

    def key(g: str) -> Tuple[int, Any]:
        # A text group can look like a bin ("< 1 year"): what does not parse sorts as text.
        try:
            if g.startswith("< "):
                return (0, number(g[2:]))
            if g.startswith("[") and g.endswith(")"):
                return (1, number(g[1:].split(",")[0]))
            if g.startswith(">= "):
                return (2, number(g[3:]))
            return (3, number(g))
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
