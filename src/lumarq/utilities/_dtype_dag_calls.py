"""The DAG channel of the provenance dtype for a tracker whose logging or recording methods are
overridden: one call of the overriding method per row, as node-by-node logging would make it.
Trackers that keep the native methods never come here."""
from __future__ import annotations

import math
from typing import Any, Optional

import pandas as pd

from lumarq.utilities._dag_storage import type_name

_MERGE = 6  # NodeType.MERGE
_INT64 = (-(1 << 63), (1 << 63) - 1)


def _node_id(value: Any) -> int:
    # A node id an overriding method returned, as an int64.
    if isinstance(value, int):
        value = int.__int__(value)
    else:
        cls = type(value)
        if not (hasattr(cls, "__int__") or hasattr(cls, "__index__")):
            raise TypeError("Argument 'node id' has incorrect type (expected int, got %s)"
                            % type_name(value)[:200])
        value = int(value)
    if not _INT64[0] <= value <= _INT64[1]:
        raise OverflowError("int too big to convert")
    return value


def _merge_how(merge_type: Optional[str]) -> Any:
    return "inner" if merge_type is None else merge_type


def log_rows(tracker: Any, kind: int, op: str, words: Any, inputs: Any, merge_type: Any,
             out: Any) -> None:
    """A node per row from its input ids (ids < 0 are left out; a row without any gets none):
    log_merge for merges, else log_unary or log_binary by the inputs the row keeps."""
    k = inputs.shape[1]
    for i in range(len(words)):
        row = [int(v) for v in inputs[i]]
        kept = [v for v in row if v >= 0]
        if not kept:
            continue
        word = int(words[i])
        if kind == _MERGE:
            left = [row[0]] if row[0] >= 0 else []
            right = [row[1]] if k > 1 and row[1] >= 0 else []
            node = tracker.log_merge(left, right, word, _merge_how(merge_type))
        elif len(kept) == 1:
            node = tracker.log_unary(op, kept[0], word)
        else:
            node = tracker.log_binary(op, kept[0], kept[1], word)
        out[i] = _node_id(node)


def log_groups(tracker: Any, op: str, words: Any, offsets: Any, inputs: Any, merge: bool,
               merge_type: Any, out: Any) -> None:
    """A node per group with inputs (-1 for a group without): log_merge or log_aggregate. An
    input -2 - h names the node made for the earlier group h."""
    for g in range(len(words)):
        lo, hi = int(offsets[g]), int(offsets[g + 1])
        ids = [int(out[-2 - v]) if v < -1 else v for v in (int(x) for x in inputs[lo:hi])]
        ids = [v for v in ids if v >= 0]
        if not ids:
            out[g] = -1
            continue
        word = int(words[g])
        if merge:
            node = tracker.log_merge(ids, [], word, _merge_how(merge_type))
        else:
            node = tracker.log_aggregate(op, ids, word)
        out[g] = _node_id(node)


def record_rows(tracker: Any, op: str, words: Any, values: Any, numeric: bool,
                column: Any) -> None:
    """record_row_value for each row with a value (None, NaN, NA and NaT have none); a row whose value or
    record fails is skipped, as the native recording skips it."""
    method = tracker.record_row_value
    for i in range(len(words)):
        try:
            value = float(values[i]) if numeric else values[i]
            if value is None or value is pd.NA or value is pd.NaT or (
                    isinstance(value, float) and math.isnan(value)):
                continue
            method(i, int(words[i]), op, value, column_name=column)
        except Exception:
            pass
