"""ProvenanceTracker's paths that run once per call or per value asked about: its statistics,
explain_full, explain_tables, has_protected and contains_table, explain, contains and decode_full
when decoding goes through overridden methods or a backend that is not the native one,
register_table, and the records of the dense dictionary. They go through the tracker's methods,
so overrides are honoured; the decoding itself stays native."""
from __future__ import annotations

from typing import Any, Dict, List

from ._dag_storage import type_name as _type_name  # the C type name native refusals print


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
        # (a copy first: another thread may register a protected column meanwhile)
        "protected_columns": ["%s.%s" % (key[0], key[1]) for key in list(protected_columns)],
        "encoding": "VANTOR-32",
    }


def note_dense(dense: Any, word: int, pairs: Any, entity: int, chain: int) -> None:
    """Records the pair set of a dense word (4 pairs or more) as encode made it. The dense
    dictionary is keyed by the low 26 bits of the word; the latest entry wins."""
    dense[word & ((1 << 26) - 1)] = {"pairs": frozenset(pairs), "entity": entity, "chain": chain}


def decode_by_backend(rust: Any, provenance: int) -> Any:
    """decode_full through a backend that is not the native one: its dict as a ProvenanceInfo."""
    from lumarq.utilities import vantor32

    d = rust.decode_full(provenance)
    try:
        info = vars(vantor32)["ProvenanceInfo"]
    except KeyError:
        raise NameError("name 'ProvenanceInfo' is not defined") from None
    return info(set(d["pairs"]), d["entity"], d["chain"], d["taint"], d["depth"], d["mode"])


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


# ---------------------------------------------------------------- methods written here
# Argument rules of the native methods: exact built-in types for str and list, int() for ints.

def _refuse(name: str, expected: str, value: Any) -> TypeError:
    return TypeError("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
                     % (name, expected, _type_name(value)))


def _as_int(value: Any, name: str) -> int:
    if type(value) is int:
        return value
    if not (isinstance(value, int) or hasattr(type(value), "__int__")
            or hasattr(type(value), "__index__")):
        raise _refuse(name, "int", value)
    return int(value)


def _exactly(value: Any, cls: type, name: str) -> Any:
    if type(value) is not cls:
        raise _refuse(name, cls.__name__, value)
    return value


def _register_table(self, table, columns, protected=False):
    """Register all columns for a table. Returns list of pair IDs."""
    table = _exactly(table, str, "table")
    columns = _exactly(columns, list, "columns")
    protected = bool(protected)
    return [self.register(table, column, protected) for column in columns]


def _explain_tables(self, provenance):
    """Unique table names from provenance."""
    return explain_tables(self, _as_int(provenance, "provenance"))


def _has_protected(self, provenance):
    """Check if provenance uses any protected tables/columns."""
    return bool(has_protected(self, _as_int(provenance, "provenance")))


def _contains_table(self, provenance, table):
    """Check if a table is in the provenance."""
    provenance = _as_int(provenance, "provenance")
    return bool(contains_table(self, provenance, _exactly(table, str, "table")))


_METHODS = {"register_table": _register_table, "explain_tables": _explain_tables,
            "has_protected": _has_protected, "contains_table": _contains_table}


def method(cls: type, name: str) -> Any:
    """The method `name` of ProvenanceTracker written here, named as the class's own."""
    fn = _METHODS[name]
    fn.__name__, fn.__module__ = name, cls.__module__
    fn.__qualname__ = "%s.%s" % (cls.__qualname__, name)
    return fn
