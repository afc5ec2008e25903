"""The audits of vantor32: audit (one row), audit_series_diversity (its record, and the
value-by-value path for trackers that decode in Python), provenance_entropy and
column_risk_report (per column of a tracked frame, most at risk first). They read `_tracker`,
`_prov`, `_col_prov` and `columns` only, so any object with those attributes works; Series and
frames of the provenance dtype are read through their audit view. The work per row stays native:
the batch functions (read from vantor32 at each call, so replacements there are used), the
diversity, entropy and depth scans. The tracker is called through its methods, so overrides are
honoured."""
from __future__ import annotations

import math
import operator
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from ._tracker_reads import _type_name


NO_TRACKER = {"error": "No tracker or empty series"}


def row_report(tracker: Any, prov: int, info: Any, mode: Any) -> Dict[str, Any]:
    """What audit and dag_audit say of one provenance value, given its decode_full()."""
    pairs = info.pairs
    return {
        "provenance": "0x%s" % format(prov, "08X"),
        "mode": mode,
        "pair_count": len(pairs),
        "pair_ids": sorted(pairs),
        "columns": tracker.explain(prov),
        "tables": tracker.explain_tables(prov),
        "entity": info.entity,
        "chain": info.chain,
        "taint": info.taint,
        "depth": info.depth,
        "risk": tracker.risk_score(prov),
        "has_protected": tracker.has_protected(prov),
    }


def _native() -> Any:
    # Imported at call time: this module is loaded while vantor32 itself initialises.
    from lumarq.utilities import vantor32
    return vantor32


def _audit_view(obj: Any) -> Any:
    from lumarq.dtype import _audit_view
    return _audit_view(obj)


def audited(series: Any) -> Optional[Tuple[Any, Any]]:
    """The audit view of `series` and its tracker; None for untracked input, a falsy tracker or
    an empty series."""
    view = _audit_view(series)
    if not (hasattr(view, "_tracker") and hasattr(view, "_prov")):
        return None
    tracker = view._tracker
    return (view, tracker) if tracker and len(view) != 0 else None


def audit(series: Any) -> Dict[str, Any]:
    found = audited(series)
    if found is None:
        return dict(NO_TRACKER)
    view, tracker = found
    prov = int(view._prov[0])
    info = tracker.decode_full(prov)
    return row_report(tracker, prov, info, info.mode)


def diversity_record(rows: int, unique: int, pairs: int, entities: int, chains: int, tainted: int,
                     max_depth: Any) -> Dict[str, Any]:
    return {
        "total_rows": rows,
        "unique_provenances": unique,
        "unique_pair_sets": pairs,
        "unique_entities": entities,
        "unique_chains": chains,
        "entity_diversity": entities / rows,
        "tainted_provenances": tainted,
        "taint_ratio": tainted / unique if unique else 0,
        "max_depth": max_depth,
    }


def audit_series_diversity(series: Any) -> Dict[str, Any]:
    found = audited(series)
    if found is None:
        return dict(NO_TRACKER)
    view, tracker = found
    rows = len(view)
    prov = view._prov
    # Counted natively when the tracker decodes natively and prov is a uint32 array.
    counts = _native()._diversity_counts(tracker, prov)
    if counts is not None:
        return diversity_record(rows, *counts)
    return series_diversity(tracker, prov, rows)


def series_diversity(tracker: Any, prov: Any, rows: int) -> Dict[str, Any]:
    unique = {int(p) for p in prov}
    pair_ids: set = set()
    entities: set = set()
    chains: set = set()
    tainted = 0
    max_depth: Any = 0
    for value in unique:
        info = tracker.decode_full(value)
        pair_ids.update(info.pairs)
        entities.add(info.entity)
        chains.add(info.chain)
        if info.taint:
            tainted += 1
        depth = info.depth
        if depth > max_depth:
            max_depth = depth
    return diversity_record(rows, len(unique), len(pair_ids), len(entities), len(chains), tainted,
                            max_depth)


def value_counts(prov: Any) -> List[int]:
    """How often each value of `prov` occurs (as an int), in first-seen order: provenance_entropy
    over a sequence that is not a word array."""
    counts: Dict[int, int] = {}
    for p in prov:
        key = int(p)
        counts[key] = counts.get(key, 0) + 1
    return list(counts.values())


TRACKED_SERIES = "a tracked Series (a column of a wrapped frame, or of the provenance dtype)"
TRACKED_FRAME = "a tracked frame (from wrap_dataframe, wrap_dataframe_dag or lumarq.track)"


def _expected(func: str, what: str, obj: Any) -> TypeError:
    return TypeError("%s expects %s, got %s" % (func, what, _type_name(obj)))


def provenance_entropy(series: Any) -> float:
    series = _audit_view(series)
    if not hasattr(series, "_prov"):
        raise _expected("provenance_entropy", TRACKED_SERIES, series)
    rows = len(series)
    if rows == 0:
        return 0.0
    prov = series._prov
    entropy = _native()._word_entropy(prov)  # None unless prov is a uint32 array
    if entropy is not None:
        return entropy
    # Other sequences: the counts of their values as ints, in first-seen order.
    h = 0.0
    for count in value_counts(prov):
        p = count / rows
        if p > 0:
            h = h - p * math.log2(p)
    return h


def min_depth_by_values(cls: Any, prov: Any, taint: Any) -> int:
    """The smallest depth among prov[taint], through `cls.get_depth` value by value: the path of
    column_risk_report's depth scan when get_depth is overridden or the arrays are not plain."""
    get_depth = cls.get_depth
    return int(np.min(np.array([get_depth(int(p)) for p in prov[taint]])))


def _vantor_global(name: str) -> Any:
    from lumarq.utilities import vantor32

    try:
        return vars(vantor32)[name]
    except KeyError:
        raise NameError("name '%s' is not defined" % name) from None


def _risk_level(risk: float) -> str:
    if risk > 0.5:
        return "HIGH"
    if risk > 0.2:
        return "MEDIUM"
    if risk > 0:
        return "LOW"
    return "CLEAN"


def _record(column: Any, tainted: Any, max_risk: Any, min_depth: Any, level: str) -> Dict[str, Any]:
    return {"column": column, "tainted": tainted, "max_risk": max_risk, "min_depth": min_depth,
            "risk_level": level}


def column_risk_report(df: Any, tracker: Optional[Any] = None) -> List[Dict[str, Any]]:
    df = _audit_view(df)
    if not (hasattr(df, "_col_prov") and hasattr(df, "columns")):
        raise _expected("column_risk_report", TRACKED_FRAME, df)
    # The smallest depth among a column's tainted values, natively where it can be.
    min_tainted_depth = _native()._min_tainted_depth
    if tracker is None:
        tracker = df._tracker
    records: List[Dict[str, Any]] = []
    if tracker is None:
        return records
    # A column without stored words (a plain value assigned into the frame) has unknown
    # provenance: reported as such after the others, never as clean.
    untracked = []
    for column in df.columns:
        col_prov = df._col_prov
        if column not in col_prov:
            untracked.append(_record(column, None, None, None, "UNTRACKED"))
            continue
        prov = col_prov[column]
        taint = np.asarray(_vantor_global("is_tainted_batch")(prov))
        any_taint = bool(np.any(taint))
        max_risk = 0.0
        min_depth = None
        if any_taint:
            risk = np.asarray(_vantor_global("risk_score_batch")(prov))
            max_risk = float(np.max(risk))
            min_depth = min_tainted_depth(prov, taint)
        records.append(_record(column, any_taint, round(max_risk, 4), min_depth, _risk_level(max_risk)))
    # Stable, so equal risks keep the column order.
    records.sort(key=operator.itemgetter("max_risk"), reverse=True)
    records.extend(untracked)
    return records


def public(module: str) -> Dict[str, Any]:
    """The audits as functions of `module`."""
    out = {}
    for fn in (audit, audit_series_diversity, provenance_entropy, column_risk_report):
        fn.__module__ = module
        out[fn.__name__] = fn
    return out
