"""ProvenanceTracker reads that run once per value asked about: its statistics, explain_full,
explain_tables, has_protected and contains_table, and explain and contains when decoding goes
through overridden methods or a backend that is not the native one. They go through the
tracker's methods, so overrides are honoured; the decoding itself stays native."""
from __future__ import annotations

from typing import Any, Dict, List


def explain_full(tracker: Any, provenance: int) -> Dict[str, Any]:
    info = tracker.decode_full(provenance)
    pair_ids = sorted(info.pairs)
    names = [name for name in (tracker.get_name(pid) for pid in pair_ids) if name is not None]
    return {
        "pairs": names,
        "pair_ids": pair_ids,
        "entity": info.entity,
        "chain": info.chain,
        "taint": info.taint,
        "depth": info.depth,
        "risk": tracker.risk_score(provenance),
        "mode": info.mode,
        "provenance_hex": "0x%s" % format(provenance, "08X"),
    }


def stats(next_id: Any, dense: Any, protected_tables: Any, protected_columns: Any) -> Dict[str, Any]:
    return {
        "registered_pairs": next_id,
        "dense_entries": len(dense),
        "protected_tables": list(protected_tables),
        "protected_columns": ["%s.%s" % (key[0], key[1]) for key in protected_columns],
        "encoding": "VANTOR-32",
    }


def explain(tracker: Any, provenance: int) -> List[Any]:
    # Through decode and get_name when either is overridden or the backend is not the native one.
    names = (tracker.get_name(pid) for pid in sorted(tracker.decode(provenance)))
    return [name for name in names if name]


def contains_pair(tracker: Any, provenance: int, pair_id: int) -> bool:
    return pair_id in tracker.decode(provenance)


def explain_tables(tracker: Any, provenance: int) -> List[Any]:
    # dict keeps first-seen order, as a set would not
    return list(dict.fromkeys(name[0] for name in tracker.explain(provenance)))


def has_protected(tracker: Any, provenance: int) -> bool:
    return any(tracker.is_protected(name[0], name[1]) for name in tracker.explain(provenance))


def contains_table(tracker: Any, provenance: int, table: str) -> bool:
    return table in tracker.explain_tables(provenance)
