"""ProvenanceTracker reads that run rarely: its statistics, and explain_full when decoding goes
through overridden methods (decode_full or get_name) or a backend that is not the native one. The
native decoding stays in the binding."""
from __future__ import annotations

from typing import Any, Dict


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
