"""The provenance dtype: pandas arrays that hold the values and one provenance word per row.

A tracked frame is a plain ``pandas.DataFrame`` whose tracked columns have dtype
``prov[<subtype>]``. pandas moves each row's word with the row through its own machinery
(``take``, concatenation, factorisation, group operations); this module supplies the array
protocol, and the per-row work runs in the native backend (``lumarq._vantor32``).
"""

from __future__ import annotations

import functools
import importlib
import inspect
import operator
import os
import re
import contextlib
import copy
import threading
import types
import warnings
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any

import numpy as np
import pandas as pd
from pandas.api.extensions import (
    ExtensionArray,
    ExtensionDtype,
    no_default,
    register_dataframe_accessor,
    register_extension_dtype,
    register_series_accessor,
)
from pandas.api.indexers import check_array_indexer
from pandas.api.types import is_float, is_integer, is_list_like, is_scalar, pandas_dtype
from pandas.core import arraylike, roperator
from pandas.core.arraylike import OpsMixin
from pandas.core.dtypes.cast import can_hold_element

# The front end first: without a built backend it raises the error that says how to build it.
from lumarq.utilities import vantor32 as _v32
from lumarq import _vantor32 as _backend  # noqa: I001
from lumarq.utilities import _tracked_glue as _glue
from lumarq.utilities._tracked_glue import _called_from_outside

__all__ = ["ProvenanceArray", "ProvenanceDtype", "track", "untrack"]

_OP = _v32.OpCode
# Operation codes of the binary operators; the others (comparisons, logic) count as CMP.
_ARITH_CODES = {
    "add": _OP.ADD, "radd": _OP.ADD, "sub": _OP.SUB, "rsub": _OP.SUB,
    "mul": _OP.MUL, "rmul": _OP.MUL, "truediv": _OP.DIV, "rtruediv": _OP.DIV,
    "floordiv": _OP.DIV, "rfloordiv": _OP.DIV, "mod": _OP.DIV, "rmod": _OP.DIV,
    "divmod": _OP.DIV, "rdivmod": _OP.DIV, "pow": _OP.MAP, "rpow": _OP.MAP,
}
# Group operations that reduce each group to one row; the others keep the rows (cumsum, rank...).
# (idxmin/idxmax give row positions: plain.)
# Group operations that keep the rows: each row's value depends on its group's rows.
_GROUP_TRANSFORMS = frozenset({"cumsum", "cumprod", "cummin", "cummax", "rank"})
_GROUP_REDUCTIONS = frozenset({
    "sum", "prod", "mean", "median", "min", "max", "first", "last", "std", "var", "sem",
    "count", "any", "all", "skew", "kurt",
})


# ---------------------------------------------------------------------------- plain arrays

def _plain(values: Any) -> ExtensionArray:
    """The pandas array a Series of `values` holds (numpy data wrapped without copying)."""
    if isinstance(values, ExtensionArray):
        return values
    arr = np.asarray(values)
    if arr.ndim != 1:
        arr = arr.reshape(-1) if arr.ndim == 0 else arr
    if arr.dtype.kind in "mM":
        return pd.array(arr, dtype=arr.dtype, copy=False)
    return pd.arrays.NumpyExtensionArray(arr)


_HUGE = 1 << 21  # below this numpy's own allocator is as good


def _empty(n: int, dtype: np.dtype) -> np.ndarray:
    """An uninitialised array; large ones come from the backend's cache of huge-page mappings,
    since fresh pages cost more here than the work that fills them."""
    nbytes = n * dtype.itemsize
    if nbytes < _HUGE or dtype.kind == "O":
        return np.empty(n, dtype=dtype)
    return _backend.empty_buffer(nbytes).view(np.uint8)[:nbytes].view(dtype)


_PANDAS_3 = int(pd.__version__.split(".")[0]) >= 3
_MASKED = (pd.arrays.IntegerArray, pd.arrays.FloatingArray, pd.arrays.BooleanArray)


def _lazy_copies() -> bool:
    # pandas 3 copies lazily; pandas 2.2 does when its copy-on-write mode is switched on.
    return _PANDAS_3 or pd.options.mode.copy_on_write is True


def _numpy_values(values: Any) -> np.ndarray | None:
    """The numpy array behind `values` when it is a plain fixed-width one (no objects)."""
    if isinstance(values, pd.arrays.NumpyExtensionArray):
        nd = values._ndarray
        if nd.dtype.kind in "biufc" and nd.ndim == 1:
            return nd
    return None


# Operators computed on the numpy values directly when both sides are float64 (the result is
# what pandas computes then, without its dispatch overhead).
_FLOAT_UFUNCS = {
    operator.add: np.add, operator.sub: np.subtract, operator.mul: np.multiply,
    operator.truediv: np.true_divide, operator.lt: np.less, operator.le: np.less_equal,
    operator.gt: np.greater, operator.ge: np.greater_equal, operator.eq: np.equal,
    operator.ne: np.not_equal,
}
_F8 = np.dtype("float64")


def _float_op(op: Callable[[Any, Any], Any], a: Any, b: Any) -> np.ndarray | None:
    ufunc = _FLOAT_UFUNCS.get(op)
    if ufunc is None:
        return None
    x = _numpy_values(a)
    if x is None or x.dtype != _F8:
        return None
    if isinstance(b, pd.arrays.NumpyExtensionArray):
        y = b._ndarray
        if y.dtype != _F8 or y.shape != x.shape:
            return None
    elif isinstance(b, float) and not isinstance(b, bool):
        y = b
    else:
        return None
    with np.errstate(all="ignore"):
        # numpy's own allocator here: its steady state reuses freed results of this size.
        return ufunc(x, y)


def _unwrap(result: Any) -> Any:
    """Plain results as pandas holds them for plain columns (numpy, not NumpyExtensionArray)."""
    if isinstance(result, pd.arrays.NumpyExtensionArray):
        return result._ndarray
    return result


def _subtype_of(values: ExtensionArray) -> Any:
    dtype = values.dtype
    return getattr(dtype, "numpy_dtype", dtype) if isinstance(
        values, pd.arrays.NumpyExtensionArray) else dtype


def _check_trackers(a: Any, b: Any) -> Any:
    if a is None:
        return b
    if b is not None and b is not a:
        raise ValueError("the operands are tracked by different trackers; their provenance "
                         "words cannot be combined")
    return a


def _combine(tracker: Any, a: np.ndarray, b: np.ndarray, code: int) -> np.ndarray:
    return _backend.combine_batch(tracker._rust, a, b, code)


def _step(tracker: Any, words: np.ndarray, code: int) -> np.ndarray:
    if tracker is None:
        return words.copy()
    return _backend.update_chain_batch(tracker._rust, words, code)


# ---------------------------------------------------------------------------- the DAG channel
# With a DAGTracker, an array also carries one int64 node id per row (-1: no node), or None when
# no row has one. Computing operations log one node per row; row moves carry the ids along.

_DAG_MODULE: Any = None
_UNARY, _BINARY, _AGGREGATE, _MERGE = 3, 4, 5, 6  # node kinds (NodeType values)
# Node operation names, as the DAG-tracked containers name them.
_OP_NAMES = {"truediv": "div", "rtruediv": "div", "rand": "and", "ror": "or", "rxor": "xor"}


_KERNELS: Any = None


def _dag() -> Any:
    """The node-logging kernels (registered by the DAG module when it loads)."""
    global _DAG_MODULE, _KERNELS
    if _DAG_MODULE is None:
        import sys

        from lumarq.utilities import vantor32_dag

        _KERNELS = sys.modules["lumarq.utilities._vantor32_dtype_dag"]
        _DAG_MODULE = vantor32_dag
    return _KERNELS


def _is_dag(tracker: Any) -> bool:
    if tracker is None:
        return False
    _dag()
    return isinstance(tracker, _DAG_MODULE.DAGTracker)


def _op_name(op: Callable[..., Any]) -> str:
    name = op.__name__.strip("_")
    name = _OP_NAMES.get(name, name)
    return name[1:] if name.startswith("r") and name[1:] in _ARITH_CODES else name


def _take_nodes(nodes: np.ndarray | None, idx: np.ndarray, allow_fill: bool) -> np.ndarray | None:
    if nodes is None:
        return None
    out = nodes.take(idx, mode="wrap") if len(nodes) else np.full(len(idx), -1, np.int64)
    if allow_fill:
        np.copyto(out, -1, where=idx < 0)
    return out


def _nodes_or_none(arr: ProvenanceArray) -> np.ndarray:
    return arr._nodes if arr._nodes is not None else np.full(len(arr), -1, dtype=np.int64)


def _record_values(values: Any) -> Any:
    """The values as the row records read them: float64 for numbers and bools, (int64 values,
    array) for dates and durations, else objects."""
    if isinstance(values, pd.arrays.NumpyExtensionArray):
        values = values._ndarray
    if isinstance(values, np.ndarray) and values.dtype.kind in "biuf":
        return np.ascontiguousarray(values, dtype=np.float64)
    if isinstance(values, ExtensionArray) and values.dtype.kind in "biuf":
        return np.ascontiguousarray(values.to_numpy(dtype=np.float64, na_value=np.nan))
    if isinstance(values, np.ndarray) and values.dtype.kind in "mM":
        values = pd.array(values)  # Timestamps and NaT, which the recorders leave out
    if isinstance(values, (pd.arrays.DatetimeArray, pd.arrays.TimedeltaArray)):
        # their int64 values beside them: a row is the text of its Timestamp or Timedelta,
        # made once per distinct value
        return (np.ascontiguousarray(values.asi8), values)
    return np.asarray(values, dtype=object)


_QUIET = threading.local()  # set while a composite operation logs its own node per row
_GROUPING = threading.local()  # the grouper of the group operation running on this thread
_DROPPING = threading.local()  # set while drop_duplicates takes the flags of `duplicated`
_DIFFING = threading.local()  # the periods of a bool column's diff running on this thread


@contextlib.contextmanager
def _grouping(grouper: Any) -> Iterator[None]:
    """`grouper` as the running group operation's for the block (nested blocks restore)."""
    outer, _GROUPING.grouper = getattr(_GROUPING, "grouper", None), grouper
    try:
        yield
    finally:
        _GROUPING.grouper = outer


def _group_ids(grouper: Any) -> np.ndarray:
    """Each row's group (-1 for none) of a pandas grouper."""
    ids = getattr(grouper, "ids", None)
    if ids is None:
        ids = grouper.group_info[0]  # pandas 2.2
    return np.asarray(ids, dtype=np.int64)


def _logs(tracker: Any, *nodes: np.ndarray | None) -> bool:
    """Whether an operation on arrays with these node ids logs nodes. Such an operation gives a
    row whose word it would copy a chain step, as the DAG-tracked containers do: a node is
    stored under its word, so it must not share its input's."""
    return (any(x is not None for x in nodes) and not getattr(_QUIET, "on", False)
            and _is_dag(tracker))


def _log_rows(tracker: Any, op: str, words: np.ndarray, inputs: Sequence[np.ndarray | None],
              values: Any = None, kind: int = _BINARY, column: Any = None,
              merge_type: str | None = None) -> np.ndarray | None:
    """One node per row whose inputs have a node; the ids (-1 where none), or None when no
    input carries node ids or the tracker keeps no graph."""
    present = [x for x in inputs if x is not None]
    if not present or getattr(_QUIET, "on", False) or not _is_dag(tracker):
        return None
    n = len(words)
    block = present[0].reshape(n, 1) if len(present) == 1 else np.stack(present, axis=1)
    rec = None if values is None else _record_values(values)
    shift = getattr(_DIFFING, "periods", 0)
    if shift and op == "xor" and rec is not None and rec.dtype == np.float64 and len(rec) == n:
        # a bool diff's `^`: the rows shifted in are missing in the result, so record none
        rec = rec.copy()
        rec[slice(None, shift) if shift > 0 else slice(shift, None)] = np.nan
    return _dag()._log_rows(tracker, kind, op, np.ascontiguousarray(words, dtype=np.uint32),
                            np.ascontiguousarray(block, dtype=np.int64), rec, column, merge_type)


def _log_groups(tracker: Any, op: str, words: np.ndarray, ids: np.ndarray,
                nodes: np.ndarray | None, ngroups: int, kind: int = _AGGREGATE,
                merge_type: str | None = None) -> np.ndarray | None:
    """One node per group; its inputs are the group's distinct member nodes, in the order of
    their first member."""
    if nodes is None or not _is_dag(tracker):
        return None
    offsets, members = _backend.distinct_group_members(
        np.ascontiguousarray(ids, dtype=np.int64), np.ascontiguousarray(nodes, dtype=np.int64),
        ngroups)
    return _dag()._log_groups(tracker, op, np.ascontiguousarray(words, dtype=np.uint32),
                              offsets, members, kind, merge_type)


def _row_members(block: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(offsets, members) as distinct_group_members gives them for groups that are the rows of
    `block` (n, k): each row's distinct node ids >= 0, in column order. Each row's few inputs
    are compared in place of a sort of all of them by group."""
    n, k = block.shape
    keep = block >= 0
    for j in range(1, k):
        for i in range(j):
            keep[:, j] &= block[:, j] != block[:, i]
    if keep.all():  # the usual merge: every row has each side's distinct key node
        return (np.arange(0, n * k + 1, k, dtype=np.int64),
                np.ascontiguousarray(block.reshape(-1), dtype=np.int64))
    offsets = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(keep.sum(axis=1), out=offsets[1:])
    return offsets, np.ascontiguousarray(block[keep], dtype=np.int64)


def _log_windows(tracker: Any, op: str, row_words: np.ndarray, columns: Sequence[np.ndarray],
                 starts: np.ndarray, ends: np.ndarray, words: np.ndarray) -> np.ndarray | None:
    """One AGGREGATE node `op` per window [starts[k], ends[k]) over rows whose nodes are
    `columns` (the values', then any key's, in window order), word words[k]: its inputs reach
    exactly the window's rows. A window extending the one before takes that window's node and
    its new rows (a running total is a chain: two inputs a row), and a long one takes
    "window_part" nodes made once for aligned runs of rows, so no window has more than a few
    dozen inputs. The window nodes' ids (-1 where none), or None when the tracker keeps no
    graph.

    Stored nodes are keyed by their word, and windows of rows with like words often share one
    (a word has no room left for row bits once three sources join): two links of a chain may
    then be one stored node with an edge to itself, as the rows themselves are one node. A
    chain that avoided that would need about twenty inputs a row."""
    if not _is_dag(tracker) or getattr(_QUIET, "on", False):
        return None
    block = columns[0] if len(columns) == 1 else np.stack(columns, axis=1).reshape(-1)
    m = len(starts)
    part_starts, part_ends, part_offsets, part_inputs, offsets, inputs = \
        _backend.window_node_plan(np.ascontiguousarray(block, dtype=np.int64), len(columns),
                                  np.ascontiguousarray(starts, dtype=np.int64),
                                  np.ascontiguousarray(ends, dtype=np.int64))
    kernels = _dag()
    if len(part_starts):
        part_words = _backend.range_combine(tracker._rust, row_words, part_starts, part_ends,
                                            _OP.AGG)
        # Stored nodes are keyed by their word, and ranges of rows with like words have like
        # words (an even count of one word cancels): a part of level k takes k + 1 more steps,
        # so it is stored apart from its halves and from the windows over it.
        sizes = part_ends - part_starts  # the lowest level's among them: parts halve down to it
        level = np.log2(sizes // sizes.min()).astype(np.int64)
        for step in range(int(level.max()) + 1):
            deeper = level >= step
            part_words[deeper] = _backend.update_chain_batch(tracker._rust,
                                                             part_words[deeper], _OP.AGG)
        part_ids = kernels._log_groups(tracker, "window_part", part_words, part_offsets,
                                       part_inputs, _AGGREGATE, None)
        named = np.flatnonzero(inputs < -1 - m)  # parts, by number: their ids now
        inputs[named] = part_ids[-2 - m - inputs[named]]
    return kernels._log_groups(tracker, op, np.ascontiguousarray(words, dtype=np.uint32),
                               offsets, inputs, _AGGREGATE, None)


def _record_window_values(tracker: Any, op: str, words: np.ndarray, values: Any) -> None:
    """Each row's value under `op`, as the element-wise operations record theirs: a window's
    row is a computed value with a node of its own."""
    _dag()._record_rows(tracker, op, np.ascontiguousarray(words, dtype=np.uint32),
                        _record_values(values), None)


def _row_key_nodes(grouper: Any, tracker: Any, n: int) -> list[np.ndarray]:
    """Each row's node of every key of `grouper` that is of the dtype under `tracker` and
    carries nodes: a group's rows were chosen by it."""
    return [arr._nodes for _, arr in _key_arrays(grouper, tracker, n) if arr._nodes is not None]


def _key_labels(frame: Any, keys: Any) -> list[Any]:
    if not isinstance(frame, pd.DataFrame) or keys is None:
        return []
    keys = keys if isinstance(keys, list | tuple) else [keys]
    out = []
    for k in keys:
        try:
            if k in frame.columns and frame.columns.get_indexer([k])[0] >= 0:
                out.append(k)
        except TypeError:  # an array key: not a column
            continue
    return out


def _merge_nodes(op: Any, result: pd.DataFrame, left_indexer: Any, right_indexer: Any) -> None:
    """One MERGE node per output row of a merge on key columns: its inputs are the nodes of the
    matched left row's keys, then the right row's (the match), its word their combination. The
    result's key columns continue from it; every other column keeps its own row's node, so a
    value's graph names only the sources it was computed from."""
    n = len(result)
    groups, nodes, words, labels = [], [], [], []
    tracker = None
    rows = None  # every output row
    lon, ron = (list(getattr(op, side, None) if getattr(op, side, None) is not None else ())
                for side in ("left_on", "right_on"))
    if lon and lon == ron and not any(
            isinstance(arr, ProvenanceArray) and arr._nodes is not None
            and _is_dag(arr._tracker) for arr in op.left_join_keys):
        # plain left keys of one key column for both sides: it holds the left row's plain key
        # where that exists, so only the rows the right side alone gave (right and outer
        # merges) continue from a node
        if left_indexer is None or len(left_indexer) != n:
            return
        rows = np.flatnonzero(np.asarray(left_indexer) < 0)
    for keys, indexer, on in ((op.left_join_keys, left_indexer, getattr(op, "left_on", None)),
                              (op.right_join_keys, right_indexer, getattr(op, "right_on", None))):
        idx = np.arange(n, dtype=np.int64) if indexer is None else np.asarray(indexer, np.int64)
        if len(idx) != n:
            return
        if rows is not None:
            idx = idx[rows]
        labels += _key_labels(result, on)
        for arr in keys:
            if not isinstance(arr, ProvenanceArray) or arr._nodes is None \
                    or not _is_dag(arr._tracker):
                continue
            tracker = _check_trackers(tracker, arr._tracker)
            groups.append(np.where(idx >= 0, np.arange(len(idx), dtype=np.int64), -1))
            nodes.append(_take_nodes(arr._nodes, idx, True))
            words.append(_backend.take_words(arr._words, idx, True))
    m = n if rows is None else len(rows)
    if tracker is None or m == 0:
        return
    # Row-major: each output row's left keys, then its right keys.
    g = np.stack(groups, axis=1).reshape(-1)
    row_words = _backend.group_combine(tracker._rust, np.stack(words, axis=1).reshape(-1), g,
                                       m, _OP.MERGE)
    how = str(getattr(op, "how", "inner"))
    offsets, members = _row_members(np.stack(nodes, axis=1))
    ids = _dag()._log_groups(tracker, f"merge_{how}", row_words, offsets, members, _MERGE, how)
    if ids is None:
        return
    if rows is not None:
        ids, some = np.full(n, -1, dtype=np.int64), ids
        ids[rows] = some
    op._lumarq_merge_ids = (ids, labels)  # pandas may rebuild the key columns after this
    _key_columns_continue(result, ids, labels)


def _integer_keys(op: Any, result: Any) -> None:
    """Integer keys of the dtype on both sides of a right or outer merge: pandas filled the
    unmatched rows' keys with NaN before taking the other side's, so the key came back as
    float where plain pandas keeps the integer type. With every key present it is cast back,
    words and nodes kept."""
    if not isinstance(result, pd.DataFrame) or not result.columns.is_unique:
        return
    for i, name in enumerate(getattr(op, "join_names", ())):
        try:
            sides = (op.left_join_keys[i], op.right_join_keys[i])
            col = result[name] if name in result.columns else None
        except (IndexError, TypeError):
            return
        if col is None or not (isinstance(col.dtype, ProvenanceDtype)
                               and col.dtype.subtype.kind == "f"):
            continue
        subs = [d.subtype if isinstance(d, ProvenanceDtype) else d
                for d in (getattr(k, "dtype", None) for k in sides)]
        if not all(isinstance(d, np.dtype) and d.kind in "iu" for d in subs) or col.isna().any():
            continue
        common = pd.core.dtypes.cast.find_common_type(subs)
        if isinstance(common, np.dtype) and common.kind in "iu":
            result.isetitem(result.columns.get_loc(name), col.astype(ProvenanceDtype(common)))


def _left_keys_words(op: Any, result: Any, left_indexer: Any = None, right_indexer: Any = None,
                     **_: Any) -> bool:
    """A key column's row takes the left key's word where the left row exists. pandas fills the
    key column only where a side misses rows: an inner or right merge of a left index against a
    right key column kept the right column as it was, so a protected left index read clean.
    (A plain left key's rows missing on the left take the right key's word, as its value.)"""
    if not isinstance(result, pd.DataFrame) or not result.columns.is_unique:
        return False
    n = len(result)
    rows = (np.arange(n, dtype=np.intp) if left_indexer is None
            else np.asarray(left_indexer, dtype=np.intp))
    if len(rows) != n:
        return False
    has = rows >= 0
    wrapped = False
    keys = zip(getattr(op, "join_names", ()), getattr(op, "left_on", ()),
               getattr(op, "right_on", ()), getattr(op, "left_join_keys", ()),
               getattr(op, "right_join_keys", ()))
    for name, lname, rname, key, rkey in keys:
        # one key column for both sides: pandas' own rule for filling it
        if not (lname is None or rname is None or lname == rname):
            continue
        if not (isinstance(key, ProvenanceArray) and key._tracker is not None):
            wrapped |= _right_keys_words(result, name, rkey, has, right_indexer)
            continue
        try:
            i = result.columns.get_loc(name)
        except (KeyError, TypeError):
            continue
        arr = result.iloc[:, i].array
        if len(key) and not isinstance(arr, ProvenanceArray) and len(arr) == n:
            # a plain right key column an inner or right merge kept: where the left row
            # exists, its value is the left key's (matched equal), and so is its word
            try:
                nodes = None if key._nodes is None else np.where(has, key._nodes[rows], -1)
                arr = key._new(arr, np.zeros(n, np.uint32), key._tracker, nodes)
            except (TypeError, ValueError):
                continue
            wrapped = True
        if not isinstance(arr, ProvenanceArray) or arr._tracker is not key._tracker \
                or len(key) == 0:
            continue
        mine = key._words[rows[has]]
        if np.array_equal(arr._words[has], mine):
            continue
        words = arr._words.copy()
        words[has] = mine
        result.isetitem(i, arr._new(arr._data, words, arr._tracker,
                                    None if arr._nodes is None else arr._nodes.copy()))
    return wrapped


def _right_keys_words(result: pd.DataFrame, name: Any, rkey: Any, has: np.ndarray,
                      right_indexer: Any) -> bool:
    """The key column `name` of a merge with a plain left key and the tracked key `rkey` on the
    right: rows only the right side gave take its key's words (pandas took its values there,
    and their words were lost), the others none. Whether it was made of the dtype."""
    if (has.all() or not isinstance(rkey, ProvenanceArray) or rkey._tracker is None
            or len(rkey) == 0):
        return False
    rows = (np.arange(len(has), dtype=np.intp) if right_indexer is None  # the right's order
            else np.asarray(right_indexer, dtype=np.intp))
    try:
        i = result.columns.get_loc(name)
    except (KeyError, TypeError):
        return False
    arr = result.iloc[:, i].array
    if len(rows) != len(has) or len(arr) != len(has) or not isinstance(i, int):
        return False
    only = ~has & (rows >= 0)
    words = np.zeros(len(has), dtype=np.uint32)
    words[only] = rkey._words[rows[only]]
    nodes = None if rkey._nodes is None else np.full(len(has), -1, dtype=np.int64)
    try:
        made = rkey._new(arr._data if isinstance(arr, ProvenanceArray) else arr, words,
                         rkey._tracker, nodes)
    except (TypeError, ValueError):
        return False
    result.isetitem(i, made)
    return True


def _key_columns_continue(result: pd.DataFrame, ids: np.ndarray, labels: list[Any]) -> None:
    for i in _tracked_columns(result):
        arr = result.iloc[:, i].array
        if result.columns[i] in labels and _is_dag(arr._tracker) and len(arr) == len(ids):
            result.isetitem(i, arr._new(arr._data, arr._words, arr._tracker, ids.copy()))


def _install_clip_hook() -> None:
    # pandas clips through comparisons, fills of missing bounds (with -inf/inf) and `where`, on
    # a Series and on each column of a frame: each would log nodes nothing refers to (and the
    # fills row values). They run quietly, and each row takes one "clip" step instead.
    from pandas.core.generic import NDFrame

    clip = NDFrame.clip
    if getattr(clip, "_lumarq", False):
        return

    def with_nodes(arr: Any) -> bool:
        return isinstance(arr, ProvenanceArray) and arr._nodes is not None

    def step(col: Any) -> Any:
        arr = col.array
        if not with_nodes(arr) or not _logs(arr._tracker, arr._nodes):
            return col
        return pd.Series(arr._unary(arr._data, _OP.CLIP, "clip"), index=col.index,
                         name=col.name, copy=False)

    @functools.wraps(clip)
    def clip_(self: Any, lower: Any = None, upper: Any = None, *args: Any, **kwargs: Any) -> Any:
        bounds = [b for b in (lower, upper) if _tracked_condition(b) and isinstance(b, pd.Series)]
        if (bounds and isinstance(self, pd.Series) and isinstance(self.dtype, ProvenanceDtype)
                and self.array._tracker is not None):
            if not kwargs.get("inplace"):
                return _clipped_by(self, _quietly(clip, self, lower, upper, *args, **kwargs),
                                   bounds)
            # In place: the bounds' step is taken from each row's word and node before pandas
            # writes (it writes a clipped row with its bound's), and written back after.
            for bound in bounds:
                _check_condition(self, bound)  # before anything is written
            arr = self.array
            before = pd.Series(arr._new(arr._data, arr._words.copy(), arr._tracker,
                                        None if arr._nodes is None else arr._nodes.copy()),
                               index=self.index, copy=False)
            result = _quietly(clip, self, lower, upper, *args, **kwargs)
            new = _clipped_by(before, self, bounds)
            if new is not self:
                _write_back(self, new)
            return result
        if (kwargs.get("inplace") and isinstance(self, pd.DataFrame) and _has_dtype_columns(self)
                and any(_tracked_condition(b) for b in (lower, upper))):
            # A frame clipped in place by a tracked bound: the cells take the words (and nodes)
            # the clip that returns a result gives them, through pandas' in-place update.
            return _in_place(self, lambda: clip_(self, lower, upper, *args, **{
                k: v for k, v in kwargs.items() if k != "inplace"}),
                lambda: _quietly(clip, self, lower, upper, *args, **kwargs))
        if isinstance(self, pd.Series):
            logs = with_nodes(self.array)
        else:
            # bounds of several values are redone for the words, nodes or not
            logs = (isinstance(self, pd.DataFrame) and _has_dtype_columns(self)
                    and (not (is_scalar(lower) and is_scalar(upper))
                         or any(with_nodes(self.iloc[:, i].array)
                                for i in _tracked_columns(self))))
        if not logs:
            return clip(self, lower, upper, *args, **kwargs)
        if kwargs.get("inplace"):  # as the form that returns a result: a `clip` step a row
            if isinstance(self, pd.DataFrame):
                return _in_place(self, lambda: clip_(self, lower, upper, *args, **{
                    k: v for k, v in kwargs.items() if k != "inplace"}),
                    lambda: _quietly(clip, self, lower, upper, *args, **kwargs))
            result = _quietly(clip, self, lower, upper, *args, **kwargs)
            new = step(self)
            if new is not self:
                _write_back(self, new)
            return result
        result = _quietly(clip, self, lower, upper, *args, **kwargs)
        if isinstance(result, pd.Series):
            return step(result)
        # A frame's cells redo the Series' clip, whose rows take the bound they took (pandas
        # 2.2 hands the array only a bound's plain values); pandas' values must agree.
        axis = kwargs.get("axis", args[0] if args else None)
        same = result.index.equals(self.index) and result.columns.equals(self.columns)
        for i in _tracked_columns(result):
            col = result.iloc[:, i]
            alt = None
            if same and self.columns.is_unique:
                try:
                    alt = self.iloc[:, i].clip(_bound_of(lower, self, i, axis),
                                               _bound_of(upper, self, i, axis))
                except (TypeError, ValueError, KeyError):
                    alt = None
            if alt is None or not (isinstance(alt.dtype, ProvenanceDtype)
                                   and untrack(alt).equals(untrack(col))):
                alt = step(col)
            if alt is not col:
                result.isetitem(i, alt)
        return result

    clip_._lumarq = True  # type: ignore[attr-defined]
    NDFrame.clip = clip_  # type: ignore[method-assign]


def _in_place(frame: pd.DataFrame, computed: Callable[[], Any], own: Callable[[], Any]) -> Any:
    """A frame's in-place step whose words come from the step that returns a result: that one
    runs first, then pandas' own in place (its return value, errors and warnings), and the frame
    takes over the computed result, words included, where its values are pandas' own."""
    result = computed()
    answer = own()
    if isinstance(result, pd.DataFrame) and untrack(result).equals(untrack(frame)):
        frame._update_inplace(result)
    return answer


def _clipped_by(s: pd.Series, result: pd.Series, bounds: list[pd.Series]) -> pd.Series:
    """`s.clip` by tracked Series bounds: each value was chosen by comparing it with its bounds,
    so every row combines its word with theirs (`OpCode.CLIP`), a missing bound included (a row
    clipped to a protected bound took only the bound's word, a row kept only its own). With a
    DAGTracker a row takes one `clip` node over its own and its bound's nodes, one more for a
    second tracked bound; a row whose label no bound has, one unary `clip` step."""
    arr = result.array
    if not (isinstance(arr, ProvenanceArray) and result.index.equals(s.index)):
        return result
    own = s.array
    tracker = own._tracker
    words, nodes = own._words, _nodes_or_none(own)
    logs = _is_dag(tracker) and own._nodes is not None
    touched = np.zeros(len(s), dtype=bool)
    for k, bound in enumerate(bounds):
        # a missing bound (no clip there) is the bound's value too: only rows the bound lacks
        # take none of its words
        barr, present = _aligned_rows(bound, s.index)
        if barr is None:  # repeated labels: pandas' result stands
            return result
        tracker = _check_trackers(tracker, barr._tracker)
        step = words.copy()
        step[present] = _combine(tracker, words[present], barr._words[present], _OP.CLIP)
        rows = present.copy()
        last = k == len(bounds) - 1
        if last and logs:  # rows no bound reached take one unary step, as a scalar clip gives
            bare = ~(touched | present)
            step[bare] = _step(tracker, words[bare], _OP.CLIP)
            rows |= bare
        if logs and rows.any():
            inputs = [nodes[rows], np.where(present, _nodes_or_none(barr), -1)[rows]]
            made = _log_rows(tracker, "clip", step[rows], inputs,
                             arr[rows] if last else None)
            nodes = nodes.copy()
            nodes[rows] = made
        touched |= present
        words = step
    out = arr._new(arr._data, words, tracker, nodes if logs else own._nodes)
    return pd.Series(out, index=result.index, name=result.name, copy=False)


def _bound_of(bound: Any, frame: pd.DataFrame, i: int, axis: Any) -> Any:
    """The bound of `frame.clip` for its i-th column, as the Series' clip takes it."""
    if bound is None or is_scalar(bound):
        return bound
    label = frame.columns[i]
    if isinstance(bound, pd.DataFrame):
        return bound.reindex(index=frame.index, columns=frame.columns)[label]
    if isinstance(bound, pd.Series) and axis in (0, "index", "rows"):
        return bound.reindex(frame.index)
    if isinstance(bound, pd.Series) and axis in (1, "columns"):
        return bound.get(label, np.nan)
    raise TypeError("a bound of another kind: pandas' result stands")


def _has_dtype_columns(frame: pd.DataFrame) -> bool:
    """Whether a column of `frame` is of the dtype, from its blocks (one per column of an
    extension dtype) when pandas has them: `frame.dtypes` builds a Series per call."""
    blocks = getattr(getattr(frame, "_mgr", None), "blocks", None)
    if blocks is None:
        return any(isinstance(d, ProvenanceDtype) for d in frame.dtypes)
    return any(isinstance(b.dtype, ProvenanceDtype) for b in blocks)


def _plain_condition(obj: Any, cond: Any) -> Any:
    """`where`/`mask`'s condition without the dtype: pandas inverts and fills it on the way,
    steps that would log nodes nothing refers to. Its words are counted afterwards
    (`_with_condition`)."""
    if callable(cond):
        cond = cond(obj)  # as pandas would, once, before an in-place change
    if isinstance(cond, pd.Series) and isinstance(cond.dtype, ProvenanceDtype):
        return pd.Series(cond.array._data, index=cond.index, name=cond.name, copy=False)
    if isinstance(cond, pd.DataFrame) and _has_dtype_columns(cond):
        return untrack(cond)
    return cond


def _by_column(frame: Any, other: Any) -> bool:
    """Whether `_words_by_column` redoes a step of `frame` and `other` column by column. pandas'
    own step then runs without logging: its nodes and row values would be replaced."""
    return (isinstance(frame, pd.DataFrame) and isinstance(other, pd.DataFrame)
            and _has_dtype_columns(frame) and frame.columns.is_unique
            and other.columns.is_unique)


def _quietly(method: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
    quiet, _QUIET.on = getattr(_QUIET, "on", False), True
    try:
        return method(*args, **kwargs)
    finally:
        _QUIET.on = quiet


def _as_outside(fn: Any) -> Any:
    """`fn`, a caller's function that a quiet step hands to pandas (a group filter's, update's
    `filter_func`), made to log as it does where the step was called; anything not callable
    as it is."""
    if not callable(fn):
        return fn
    outside = getattr(_QUIET, "on", False)

    @functools.wraps(fn)
    def call(*args: Any, **kwargs: Any) -> Any:
        quiet, _QUIET.on = getattr(_QUIET, "on", False), outside
        try:
            return fn(*args, **kwargs)
        finally:
            _QUIET.on = quiet

    return call


def _words_by_column(result: Any, frame: pd.DataFrame, other: Any,
                     per_column: Callable[[Any, Any], Any]) -> Any:
    """`result` (pandas' own, of `frame` and a frame `other`) with each column of the dtype
    replaced by `per_column(label, other's column)`, the same step on the Series, whose rows take
    the words of the operand they took. pandas runs frames block by block and hands the array
    only the other frame's plain values, so those rows kept the frame's words: a value taken
    from a protected column read clean. A column is replaced only when its values are pandas'."""
    if not (isinstance(result, pd.DataFrame) and _has_dtype_columns(result)
            and result.columns.is_unique and _by_column(frame, other)):
        return result
    try:
        aligned = other.reindex(index=frame.index, columns=frame.columns)
    except ValueError:  # repeated labels: pandas' result stands as it is
        return result
    for i, label in enumerate(result.columns):
        column = result.iloc[:, i]
        if not isinstance(column.dtype, ProvenanceDtype) or label not in frame.columns:
            continue
        try:
            alt = per_column(label, aligned[label])
        except (TypeError, ValueError, KeyError):
            continue
        if (isinstance(alt, pd.Series) and isinstance(alt.dtype, ProvenanceDtype)
                and alt.index.equals(column.index) and untrack(alt).equals(untrack(column))):
            result.isetitem(i, alt)
    return result


def _tracked_condition(cond: Any) -> bool:
    if isinstance(cond, pd.Series):
        return isinstance(cond.dtype, ProvenanceDtype) and cond.array._tracker is not None
    return isinstance(cond, pd.DataFrame) and _has_dtype_columns(cond)


def _aligned_rows(s: pd.Series, index: pd.Index) -> tuple[ProvenanceArray | None, np.ndarray]:
    """`s` (of the dtype) row by row along `index`, as pandas aligns it, and which rows it has;
    (None, ...) when its labels repeat."""
    if s.index.equals(index):
        return s.array, np.ones(len(index), dtype=bool)
    if not s.index.is_unique:
        return None, np.zeros(len(index), dtype=bool)
    pos = s.index.get_indexer(index)
    return s.array.take(pos, allow_fill=True), pos >= 0


def _counted_condition(cond: Any, index: pd.Index
                       ) -> tuple[ProvenanceArray, np.ndarray] | None:
    """The tracked condition `cond` (a Series) row by row along `index`, as pandas aligns it,
    and the rows it has (a row it lacks counts as False to pandas and takes none of its words);
    None when it is not tracked or cannot be aligned (repeated labels)."""
    if not (isinstance(cond, pd.Series) and isinstance(cond.dtype, ProvenanceDtype)):
        return None
    arr, present = _aligned_rows(cond, index)
    return None if arr is None or arr._tracker is None else (arr, present)


def _with_condition(result: Any, *conds: Any, code: int = _OP.FILL, op: str = "where") -> Any:
    """`where`/`mask`'s `result` whose rows also derive from the tracked conditions: a value
    chosen by a protected condition is tainted by it. A row of the dtype combines its word with
    the conditions' (`OpCode.FILL`, one "where" node over all); a plain column takes one
    condition's words as they are, as from a plain operand of a binary operation. (`code` and
    `op` name the step for other operands a result was computed from.)"""

    def counted(col: pd.Series, found: list[tuple[ProvenanceArray, np.ndarray] | None]
                ) -> pd.Series:
        conds = [c for c in found if c is not None]
        if not conds:
            return col
        arr = col.array
        own = isinstance(arr, ProvenanceArray) and arr._tracker is not None
        if isinstance(arr, ProvenanceArray) and not own:  # words 0, no tracker: as plain
            col = pd.Series(arr._data, index=col.index, name=col.name, copy=False)
        if not own and len(conds) == 1 and conds[0][1].all():
            c = conds[0][0]
            return _carry_row_words(col, col.index, c._tracker, c._words, c._nodes)
        if not own and not _holdable(col):
            return col
        all_rows = np.ones(len(col), dtype=bool)
        operands = ([(arr, all_rows)] if own else []) + conds
        tracker = functools.reduce(_check_trackers, [o._tracker for o, _ in operands])
        values = arr._data if own else col.array
        first, rows = operands[0]
        words = np.where(rows, first._words, 0).astype(np.uint32)
        logs = _logs(tracker, *[o._nodes for o, _ in operands])
        nodes = _nodes_or_none(first) if logs else first._nodes
        # One step per condition, in order: a "where" node each (the row's value recorded
        # once, on the last). Rows a condition lacks keep what they had.
        for k, (o, rows) in enumerate(operands[1:], 2):
            step = words.copy()
            step[rows] = _combine(tracker, words[rows], o._words[rows], code)
            if logs:
                nodes = nodes.copy()
                nodes[rows] = _log_rows(tracker, op, step[rows],
                                        [nodes[rows], _nodes_or_none(o)[rows]],
                                        values[rows] if k == len(operands) else None)
            words = step
        return pd.Series(_rebuild(values, words, tracker, nodes), index=col.index,
                         name=col.name, copy=False)

    if isinstance(result, pd.Series):
        return counted(result, [_counted_condition(c, result.index) for c in conds])
    if not (isinstance(result, pd.DataFrame) and result.columns.is_unique):
        return result
    out = result.copy(deep=False)
    for i, label in enumerate(result.columns):
        carrs = []
        for cond in conds:
            if isinstance(cond, pd.Series):
                carrs.append(_counted_condition(cond, result.index))
            elif label in cond.columns:  # a repeated label selects a frame: not counted
                carrs.append(_counted_condition(cond[label], result.index))
        col = counted(result.iloc[:, i], carrs)
        if col is not result.iloc[:, i]:
            out.isetitem(i, col)
    return out


def _install_case_when_hook() -> None:
    # pandas chooses each row's value by the first condition it meets, through `mask` from its
    # own code, so the conditions' words were never counted: a value chosen by a protected
    # condition read clean. Every row takes every tracked condition's words (the row's value
    # depends on each condition up to the one it met, and on all when it met none).
    case_when = getattr(pd.Series, "case_when", None)
    if case_when is None or getattr(case_when, "_lumarq", False):
        return

    @functools.wraps(case_when)
    def case_when_(self: Any, caselist: Any) -> Any:
        if not (isinstance(caselist, list)
                and all(isinstance(c, tuple) and len(c) == 2 for c in caselist)):
            return case_when(self, caselist)  # pandas' own error
        # callables once, as pandas would call them
        cases = _scalars_at_length(self, [(c(self) if callable(c) else c,
                                           r(self) if callable(r) else r) for c, r in caselist])
        conds = [c for c, _ in cases if _tracked_condition(c)]
        run = lambda: _caller_rows(_as_caller(case_when, self, cases), self, cases)  # noqa: E731
        if not conds:
            return run()
        return _with_condition(_quietly(run), *conds)

    def _caller_rows(result: Any, self: Any, cases: list[tuple[Any, Any]]) -> Any:
        # pandas makes a replacement not of the dtype (a scalar, plain values) an array of the
        # dtype with empty words before its `mask`: the rows it chose lost the caller's words,
        # which `mask` keeps. Those rows take the caller's words and nodes back, and the step
        # `mask` logs for them; a replacement of the dtype keeps its own, as `mask` gives them.
        arr = self.array if isinstance(self, pd.Series) else None
        if not (isinstance(arr, ProvenanceArray) and arr._tracker is not None
                and isinstance(result, pd.Series) and isinstance(result.dtype, ProvenanceDtype)
                and result.index.equals(self.index)):
            return result
        foreign = [k for k, (_, r) in enumerate(cases)
                   if not isinstance(getattr(r, "dtype", None), ProvenanceDtype)]
        if not foreign:
            return result
        try:  # which case chose each row, by pandas' own steps on the plain conditions
            which = case_when(pd.Series(np.full(len(self), -1, dtype=np.int64), index=self.index),
                              [(_plain_condition(self, c), k) for k, (c, _) in enumerate(cases)])
        except (TypeError, ValueError):
            return result
        rows = np.isin(np.asarray(which, dtype=np.int64), foreign)
        if not rows.any():
            return result
        out = result.array
        words = out._words.copy()
        words[rows] = arr._words[rows]
        tracker, nodes = out._tracker or arr._tracker, out._nodes
        if nodes is not None or arr._nodes is not None:
            nodes = _nodes_or_none(out).copy()
            nodes[rows] = _nodes_or_none(arr)[rows]
            if _logs(tracker, nodes):
                words[rows] = _step(tracker, words[rows], _OP.FILL)
                nodes[rows] = _log_rows(tracker, "where", words[rows], [nodes[rows]],
                                        out._data[rows])
        return pd.Series(_rebuild(out._data, words, tracker, nodes),
                         index=result.index, name=result.name, copy=False)

    def _scalars_at_length(self: Any, cases: list[tuple[Any, Any]]) -> list[tuple[Any, Any]]:
        # pandas makes a scalar replacement an array as long as its condition when the types
        # differ (which the dtype's always do), and keeps it a scalar when they agree: a
        # condition Series of other length than the caller's, which `mask` aligns by label,
        # raised where plain pandas keeps the scalar. There the scalar is a Series of its own
        # type along the caller's labels instead, which `mask` takes as it took the scalar.
        if not isinstance(self, pd.Series) or all(
                not isinstance(c, pd.Series) or len(c) == len(self) for c, _ in cases):
            return cases
        from pandas.core.dtypes.cast import infer_dtype_from

        try:
            kinds = [infer_dtype_from(untrack(x) if isinstance(
                x, pd.Series | pd.Index | ProvenanceArray) else x)[0]
                for x in [*(r for _, r in cases), self]]
        except (TypeError, ValueError):
            return cases
        if len(set(kinds)) > 1:
            return cases  # plain pandas makes arrays of the conditions' lengths too
        return [(c, pd.Series(r, index=self.index, dtype=kinds[-1]) if is_scalar(r) else r)
                for c, r in cases]

    case_when_._lumarq = True  # type: ignore[attr-defined]
    pd.Series.case_when = case_when_  # type: ignore[method-assign]


_FRAME_OR_FUNCTION = (pd.DataFrame, types.FunctionType)


def _install_where_hook() -> None:
    def retype_first(method: Callable[..., Any], self: Any, cond: Any, args: tuple[Any, ...],
                     kwargs: dict[str, Any]) -> None:
        # An int or bool column that `other` (NaN by default) reaches: plain pandas gives it
        # another type in place (int64 to float64), an array cannot change its type. The same
        # step on a plain copy tells pandas' type; the column takes it first, words and nodes
        # kept, as the Series itself (pandas replaces its data as well).
        frame = isinstance(self, pd.DataFrame)
        kinds = list(self.dtypes) if frame else [self.dtype]
        if not any(isinstance(k, ProvenanceDtype) and k._subtype.kind in "iub" for k in kinds):
            return
        plain = untrack(self)
        try:
            _quietly(method, plain, cond, *args, **kwargs)
        except (TypeError, ValueError, KeyError):  # pandas' own error follows
            return
        new = list(plain.dtypes) if frame else [plain.dtype]
        for i, (kind, to) in enumerate(zip(kinds, new)):
            if (isinstance(kind, ProvenanceDtype) and kind._subtype.kind in "iub"
                    and to != kind._subtype and _trackable(to)):
                col = self.iloc[:, i] if frame else self
                cast = col.array.astype(ProvenanceDtype(to))
                if frame:
                    self.isetitem(i, cast)
                else:
                    self._update_inplace(pd.Series(cast, index=self.index, name=self.name,
                                                   copy=False))

    def run(method: Callable[..., Any], keep: bool, self: Any, cond: Any, args: tuple[Any, ...],
            kwargs: dict[str, Any]) -> Any:
        cond = _plain_condition(self, cond)
        if kwargs.get("inplace"):
            retype_first(method, self, cond, args, kwargs)
        other = args[0] if args else kwargs.get("other")
        if (not isinstance(cond, pd.DataFrame) or kwargs.get("axis") is not None
                or len(args) > 1 or not _by_column(self, other)):
            return method(self, cond, *args, **kwargs)
        if kwargs.get("inplace"):
            return _in_place(self, lambda: run(method, keep, self, cond, args, {
                k: v for k, v in kwargs.items() if k != "inplace"}),
                lambda: method(self, cond, *args, **kwargs))
        result = _quietly(method, self, cond, *args, **kwargs)
        try:
            conds = cond.reindex(index=self.index, columns=self.columns)
        except ValueError:  # repeated labels: pandas' result stands as it is
            return result
        # pandas takes `other` where the condition is False (missing counts as False).
        chosen = conds.fillna(False).astype(bool)
        return _words_by_column(
            result, self, other,
            lambda c, o: self[c].where(chosen[c] if keep else ~chosen[c], o))

    def counting(method: Callable[..., Any], keep: bool, outside: bool, self: Any, cond: Any,
                 args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
        if callable(cond):
            cond = cond(self)  # as pandas would, once, before an in-place change
        # The condition's words count when the caller chose it: pandas' own steps (clip
        # runs through `where`) and lumarq's redo their operands' words themselves.
        if (not _tracked_condition(cond) or kwargs.get("level") is not None
                or kwargs.get("axis") in (1, "columns") or not outside):
            return run(method, keep, self, cond, args, kwargs)
        if kwargs.get("inplace"):
            # Written in place: every row then takes the condition's words as below.
            _check_condition(self, cond)
            result = _quietly(run, method, keep, self, cond, args, kwargs)
            _fold_condition(self, np.arange(self.shape[1]) if self.ndim == 2 else None,
                            cond, "where")
            return result
        # One node per row, over the operand it took and the condition.
        result = _quietly(run, method, keep, self, cond, args, kwargs)
        return _with_condition(result, cond)

    def hook(method: Callable[..., Any], keep: bool) -> Callable[..., Any]:
        @functools.wraps(method)
        def hooked(self: Any, cond: Any, *args: Any, **kwargs: Any) -> Any:
            return counting(method, keep, _called_from_outside(), self, cond, args, kwargs)

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    for cls in (pd.Series, pd.DataFrame):
        for name, keep in (("where", True), ("mask", False)):
            if not getattr(getattr(cls, name), "_lumarq", False):
                setattr(cls, name, hook(getattr(cls, name), keep))

    # `df[cond]` with a boolean frame is pandas' `df.where(cond)`, called from pandas itself:
    # a tracked condition's words were never counted, so `df[df["age"] > 60 ...]` read clean
    # where `df.where(...)` reads tainted. Any other key costs one type check.
    getitem, hooked_where = pd.DataFrame.__getitem__, pd.DataFrame.where
    where = getattr(hooked_where, "__wrapped__", hooked_where)
    if not getattr(getitem, "_lumarq", False):
        @functools.wraps(getitem)
        def __getitem__(self: Any, key: Any) -> Any:
            if isinstance(key, _FRAME_OR_FUNCTION):
                if not isinstance(key, pd.DataFrame):
                    key = key(self)  # as pandas would, once
                # a subclass's own `where` (the containers') runs as pandas would run it
                if (isinstance(key, pd.DataFrame) and type(self).where is hooked_where
                        and _called_from_outside()):
                    return counting(where, True, True, self, key, (), {})
            return getitem(self, key)

        __getitem__._lumarq = True  # type: ignore[attr-defined]
        pd.DataFrame.__getitem__ = __getitem__  # type: ignore[method-assign]
    fillna, combine_first = pd.DataFrame.fillna, pd.DataFrame.combine_first
    if getattr(fillna, "_lumarq", False):
        return

    @functools.wraps(fillna)
    def fillna_(self: Any, value: Any = None, *args: Any, **kwargs: Any) -> Any:
        if args or not _by_column(self, value):
            return _as_caller(fillna, self, value, *args, **kwargs)
        if kwargs.get("inplace"):
            return _in_place(self, lambda: fillna_(self, value, **{
                k: v for k, v in kwargs.items() if k != "inplace"}),
                lambda: _as_caller(fillna, self, value, **kwargs))
        result = _quietly(fillna, self, value, *args, **kwargs)
        return _words_by_column(result, self, value, lambda c, o: self[c].fillna(o))

    @functools.wraps(combine_first)
    def combine_first_(self: Any, other: Any) -> Any:
        if not _by_column(self, other):
            return combine_first(self, other)
        result = _quietly(combine_first, self, other)
        if not (isinstance(result, pd.DataFrame) and result.columns.is_unique
                and self.columns.is_unique and other.columns.is_unique):
            return result
        # Column by column, as the Series' step (rows from `other` keep their own word, a
        # filled row its own too), on the union of the rows, as pandas takes it; a column is
        # replaced only where its values are pandas' own.
        for i, label in enumerate(result.columns):
            if label not in self.columns or label not in other.columns:
                continue
            mine, theirs = self[label], other[label]
            if not (isinstance(mine.dtype, ProvenanceDtype)
                    or isinstance(theirs.dtype, ProvenanceDtype)):
                continue
            try:
                probe = _quietly(mine.combine_first, theirs)
            except (TypeError, ValueError):
                continue
            column = result.iloc[:, i]
            if (isinstance(probe.dtype, ProvenanceDtype) and probe.index.equals(column.index)
                    and untrack(probe).equals(untrack(column))):
                result.isetitem(i, mine.combine_first(theirs))
        return result

    for fn in (fillna_, combine_first_):
        fn._lumarq = True  # type: ignore[attr-defined]
    pd.DataFrame.fillna, pd.DataFrame.combine_first = fillna_, combine_first_


def _missing_rows(s: Any, chosen: Any = None) -> Any:
    """The rows of `s` (of the dtype, tracked) that are missing, among `chosen` (positions'
    booleans) when given, words and nodes moved with them; None for anything else."""
    if not _tracked_condition(s):
        return None
    rows = s.isna().to_numpy()
    return s[rows if chosen is None else rows & chosen]


def _install_missing_value_hooks() -> None:
    # combine_first and update choose each row by whether one side is missing there, which
    # pandas reads as plain booleans: a value kept because a protected column was missing read
    # clean. Those rows also take the deciding side's words (a node each, as `where` gives).
    combine_first, update = pd.Series.combine_first, pd.Series.update
    frame_update = pd.DataFrame.update
    if getattr(update, "_lumarq", False):
        return

    @functools.wraps(combine_first)
    def combine_first_(self: Any, other: Any) -> Any:
        gate = _missing_rows(self)
        if gate is None or not len(gate):
            # Nothing missing decides a row: each comes from one side, with its word and node
            # (pandas 2.2 fills the rows only `other` holds through `mask`, which logged a
            # `where` node a row).
            return _quietly(combine_first, self, other)
        result = _quietly(combine_first, self, other)
        if not isinstance(result, pd.Series):
            return result
        if _tracked_condition(other):
            # as fillna by the aligned other: one node a row; pandas' own values decide (it
            # aligns repeated labels as `align` does: by position where the indexes are equal)
            try:
                this, that = _quietly(self.align, other)
                filled = _quietly(this.array._fill, that.array, None, True, "combine_first")
            except (TypeError, ValueError):  # pandas' result stands, with the rows' words
                filled = None
            # sides of two types meet in their common one (a string and an object column
            # give objects), as pandas concatenates them
            kind = result.dtype if isinstance(result.dtype, ProvenanceDtype) else None
            if filled is not None and kind is not None and filled.dtype != kind:
                filled = _quietly(filled.astype, kind)
            if filled is not None and this.index.equals(result.index) and untrack(result).equals(
                    untrack(pd.Series(filled, index=this.index, name=result.name, copy=False))):
                filled = this.array._fill(that.array, None, True, "combine_first")
                if filled.dtype != kind:
                    filled = filled.astype(kind)
                return pd.Series(filled, index=result.index, name=result.name, copy=False)
        return _with_condition(result, gate, op="combine_first")

    @functools.wraps(update)
    def update_(self: Any, other: Any) -> Any:
        gate = _missing_rows(other)
        if gate is not None and len(gate) and isinstance(self.dtype, ProvenanceDtype):
            _check_condition(self, gate)  # before anything is written
        answer = update(self, other)
        if gate is not None and len(gate) and isinstance(self.dtype, ProvenanceDtype):
            _fold_condition(self, None, gate, "update")
        return answer

    def quiet_update(self: Any, other: Any, *args: Any, **kwargs: Any) -> Any:
        # pandas writes each column through its own `where` by the other's, which logged a
        # `where` node a row: an update is an assignment, each row written taking the other's
        # word and node, as Series.update's rows do. The filter is the caller's function.
        if "filter_func" in kwargs:
            kwargs["filter_func"] = _as_outside(kwargs["filter_func"])
        elif len(args) > 2:
            args = (*args[:2], _as_outside(args[2]), *args[3:])
        return _quietly(frame_update, self, other, *args, **kwargs)

    @functools.wraps(frame_update)
    def frame_update_(self: Any, other: Any, *args: Any, **kwargs: Any) -> Any:
        if not (isinstance(other, pd.DataFrame) and _has_dtype_columns(other)
                and self.columns.is_unique and other.columns.is_unique and not args):
            return quiet_update(self, other, *args, **kwargs)
        overwrite = kwargs.get("overwrite", True)
        keep = kwargs.get("filter_func")
        gates = {}
        for i, label in enumerate(self.columns):
            if label not in other.columns or not isinstance(self.dtypes.iloc[i], ProvenanceDtype):
                continue
            theirs = other[label]
            if not (self.index.is_unique and theirs.index.is_unique):
                continue
            # rows pandas may write: every row other holds (a row it lacks was decided by no
            # value of it), or only its missing ones, or what the filter keeps
            held = self.index.isin(theirs.index)
            theirs = theirs.reindex(self.index)
            mine = untrack(self.iloc[:, i]).to_numpy()
            chosen = held if overwrite else held & pd.isna(mine)
            if keep is not None:
                chosen = chosen & np.asarray(keep(mine), dtype=bool)
            found = [_missing_rows(theirs, chosen)]
            if not overwrite or keep is not None:
                # the rows written were chosen by their own values too (missing, or by the
                # filter): they keep their own word, as fillna's filled rows do
                column = self.iloc[:, i]
                written = chosen & pd.notna(untrack(theirs)).to_numpy()
                if written.any() and _tracked_condition(column):
                    found.append(column[written])
            found = [g for g in found if g is not None and len(g)]
            for gate in found:
                _check_condition(self.iloc[:, i], gate)
            if found:
                gates[i] = found
        answer = quiet_update(self, other, *args, **kwargs)
        for i, found in gates.items():
            for gate in found:
                _fold_condition(self, [i], gate, "update")
        return answer

    for fn in (combine_first_, update_, frame_update_):
        fn._lumarq = True  # type: ignore[attr-defined]
    pd.Series.combine_first, pd.Series.update = combine_first_, update_
    pd.DataFrame.update = frame_update_


def _install_quiet_row_steps() -> None:
    # Steps that only choose or move rows, which pandas carries out through computing steps of
    # its own on the rows' values: nsmallest/nlargest over several columns break a tie through
    # `~` on a mask of the column before, pandas 3 runs Index.putmask through `where` (an outer
    # join or align on an index of the dtype with repeated labels, Index.fillna), and a group
    # filter keeping the rows blanks the groups it drops through `where`. Each logged a node a
    # row that nothing refers to or that took the place of the row's own, whose word took a
    # chain step. They run quietly: each row keeps its word and node, and a row putmask writes
    # takes the value's, as an assignment gives (and as pandas 2.2, writing the array, gave).
    def quiet(method: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(method)
        def hooked(self: Any, *args: Any, **kwargs: Any) -> Any:
            return _quietly(method, self, *args, **kwargs)

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    def quiet_filter(method: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(method)
        def hooked(self: Any, func: Any, *args: Any, **kwargs: Any) -> Any:
            # the predicate is the caller's function: it logs as it would outside
            return _quietly(method, self, _as_outside(func), *args, **kwargs)

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    def dated(self: Any, args: tuple[Any, ...], kwargs: dict[str, Any]) -> bool:
        if isinstance(self, pd.Series):
            kinds = [self.dtype]
        else:
            cols = args[1] if len(args) > 1 else kwargs.get("columns")
            try:
                kinds = [self.dtypes[c] for c in (cols if is_list_like(cols) else [cols])]
            except (KeyError, TypeError, ValueError):
                return False
        return any(isinstance(k, ProvenanceDtype) and k._subtype.kind in "mM" for k in kinds)

    def by_plain_rows(method: Callable[..., Any]) -> Callable[..., Any]:
        # pandas selects among numbers and its own dates and durations only: rows of dates of
        # the dtype are chosen by pandas among the plain values, then taken, words moving with
        # them (nothing logged, as for a sort)
        @functools.wraps(method)
        def hooked(self: Any, *args: Any, **kwargs: Any) -> Any:
            if not dated(self, args, kwargs):
                return method(self, *args, **kwargs)
            plain = untrack(self)
            plain.index = pd.RangeIndex(len(plain))
            rows = method(plain, *args, **kwargs).index
            return self.iloc[np.asarray(rows, dtype=np.intp)]

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    def quiet_or_plain_rows(method: Callable[..., Any]) -> Callable[..., Any]:
        return by_plain_rows(quiet(method))

    from pandas.core.groupby.generic import DataFrameGroupBy, SeriesGroupBy

    for cls, name, wrap in ((pd.DataFrame, "nsmallest", quiet_or_plain_rows),
                            (pd.DataFrame, "nlargest", quiet_or_plain_rows),
                            (pd.Series, "nsmallest", by_plain_rows),
                            (pd.Series, "nlargest", by_plain_rows),
                            (pd.Index, "putmask", quiet), (SeriesGroupBy, "filter", quiet_filter),
                            (DataFrameGroupBy, "filter", quiet_filter)):
        method = getattr(cls, name)
        if not getattr(method, "_lumarq", False):
            setattr(cls, name, wrap(method))


def _install_align_hook() -> None:
    # Series.align with a fill_value fills the aligned Series through `fillna`: every row of a
    # side got a `fillna` node and a chain step, also where the side missed nothing and the
    # fill only wrote rows the alignment made up (DataFrame.align and reindex with a fill_value
    # log nothing). A side that misses values is filled first, as its own `fillna` (nothing
    # logged when nothing is missing); the rows made up take the fill value quietly, as
    # reindex gives them (word 0, no node). pandas' values are unchanged.
    align = pd.Series.align
    if getattr(align, "_lumarq", False):
        return
    sig = inspect.signature(align)

    @functools.wraps(align)
    def align_(self: Any, other: Any, *args: Any, **kwargs: Any) -> Any:
        if not (isinstance(other, pd.Series) and (_tracked_condition(self)
                                                  or _tracked_condition(other))):
            return align(self, other, *args, **kwargs)
        try:
            a = sig.bind(self, other, *args, **kwargs).arguments
        except TypeError:
            return align(self, other, *args, **kwargs)
        fill = a.get("fill_value")
        if fill is None or not is_scalar(fill) or pd.isna(fill) or any(
                a.get(k) is not None and a.get(k) is not no_default for k in ("method", "limit")):
            return align(self, other, *args, **kwargs)
        this, that = (s.fillna(fill) if _tracked_condition(s) else s for s in (self, other))
        a["self"], a["other"] = this, that
        return _quietly(align, **a)

    align_._lumarq = True  # type: ignore[attr-defined]
    pd.Series.align = align_  # type: ignore[method-assign]


def _install_missing_mask_hooks() -> None:
    # `s.isna()` gave plain booleans, so a missing-value indicator of a protected column, and
    # what it chose (`x.where(age.notna(), 0)`, `df.loc[age.isna(), c] = 0`), read clean. Each
    # row's answer is about its own value: it keeps the row's word and node, as `isin` does.
    # pandas' own calls keep its plain masks.
    def counted(obj: Any, result: Any) -> Any:
        if isinstance(obj, pd.Series):
            return _keep_row_words(obj, result) if isinstance(obj.dtype, ProvenanceDtype) \
                else result
        if not (isinstance(obj, pd.DataFrame) and isinstance(result, pd.DataFrame)
                and _has_dtype_columns(obj) and result.shape == obj.shape):
            return result
        out = None
        for i, kind in enumerate(obj.dtypes):
            if isinstance(kind, ProvenanceDtype):
                out = result.copy(deep=False) if out is None else out
                out.isetitem(i, _keep_row_words(obj.iloc[:, i], result.iloc[:, i]))
        return result if out is None else out

    def method_hook(method: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(method)
        def hooked(self: Any) -> Any:
            result = method(self)
            return counted(self, result) if _called_from_outside() else result

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    def function_hook(fn: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(fn)
        def hooked(obj: Any) -> Any:
            result = fn(obj)
            if isinstance(obj, pd.Series | pd.DataFrame) and _called_from_outside():
                return counted(obj, result)
            return result

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    for name in ("isna", "isnull", "notna", "notnull"):
        for cls in (pd.Series, pd.DataFrame):
            if not getattr(getattr(cls, name), "_lumarq", False):
                setattr(cls, name, method_hook(getattr(cls, name)))
        if not getattr(getattr(pd, name), "_lumarq", False):
            setattr(pd, name, function_hook(getattr(pd, name)))


def _numpy_flags(dtype: Any) -> bool:
    """A column of numpy booleans, plain or as the dtype's subtype (not pandas' nullable ones)."""
    sub = dtype._subtype if isinstance(dtype, ProvenanceDtype) else dtype
    return isinstance(sub, np.dtype) and sub.kind == "b"


def _install_logical_hooks() -> None:
    # pandas 2.2 aligns `&`, `|` and `^` of two Series with different indexes as plain objects,
    # so the result was plain bool (tainted conditions read untracked). The rows are aligned
    # here instead, as pandas' values come: a row the right lacks is False there, one the left
    # lacks is False.
    if _PANDAS_3 or getattr(pd.Series.__and__, "_lumarq", False):
        return

    def hook(method: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(method)
        def hooked(self: Any, other: Any) -> Any:
            if not (isinstance(other, pd.Series) and type(self) is pd.Series
                    and type(other) is pd.Series and (_tracked_condition(self)
                                                     or _tracked_condition(other))
                    and _numpy_flags(self.dtype) and _numpy_flags(other.dtype)
                    and not self.index.equals(other.index)):
                return method(self, other)
            left, right = self.align(other)
            no_left = pd.isna(untrack(left)).to_numpy()
            sides = []
            for side in (left, right):
                arr = side.array
                missing = no_left | pd.isna(untrack(side)).to_numpy()
                values = np.where(missing, False, untrack(side).to_numpy()).astype(bool)
                if isinstance(arr, ProvenanceArray):
                    side = pd.Series(_rebuild(values, arr._words,
                                              arr._tracker, arr._nodes),
                                     index=side.index, name=side.name, copy=False)
                else:
                    side = pd.Series(values, index=side.index, name=side.name)
                sides.append(side)
            return method(*sides)

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    for name in ("__and__", "__or__", "__xor__"):
        setattr(pd.Series, name, hook(getattr(pd.Series, name)))


def _small_int_diff(source: Any, result: Any) -> Any:
    """`result`, the diff of `source`, with the columns of int8 and int16 of the dtype as
    float32, as plain pandas diffs them (also within groups) where the dtype's arithmetic gave
    float64: their differences are whole and below 2**17, so float32 holds them exactly."""
    def cast(kind: Any, col: pd.Series) -> pd.Series | None:
        got = col.array
        if not (isinstance(kind, ProvenanceDtype) and kind.subtype in (np.int8, np.int16)
                and isinstance(got, ProvenanceArray) and got.dtype.subtype == np.float64):
            return None
        return pd.Series(got.astype(ProvenanceDtype(np.float32), copy=False),
                         index=col.index, name=col.name, copy=False)

    if isinstance(result, pd.Series) and isinstance(source, pd.Series):
        out = cast(source.dtype, result)
        return result if out is None else out
    if not (isinstance(result, pd.DataFrame) and isinstance(source, pd.DataFrame)
            and source.columns.is_unique):
        return result
    frame = None
    for i, label in enumerate(result.columns):
        if label in source.columns:
            out = cast(source.dtypes[label], result.iloc[:, i])
            if out is not None:
                frame = result.copy(deep=False) if frame is None else frame
                frame.isetitem(i, out)
    return result if frame is None else frame


def _install_diff_hooks() -> None:
    # pandas diffs a boolean extension array as `a ^ a.shift(n)`, and `^` counts a missing
    # operand False: the rows shifted in took their own value where plain pandas, from numpy
    # booleans, gives objects missing there. Those rows are made missing, as objects; every row
    # keeps the words and node the `^` gave it. int8 and int16 diff as float32 in plain pandas
    # (the values are whole and below 2**17, so float32 holds them exactly), not float64.
    if getattr(pd.Series.diff, "_lumarq", False):
        return

    def as_plain(source: Any, col: pd.Series, periods: int) -> pd.Series:
        got = col.array
        if not (isinstance(source.dtype, ProvenanceDtype) and isinstance(got, ProvenanceArray)):
            return col
        if not _numpy_flags(source.dtype):
            return _small_int_diff(source, col)
        values = got._data.to_numpy(dtype=object, copy=True)
        n = min(abs(periods), len(values))
        if n:
            values[slice(None, n) if periods > 0 else slice(-n, None)] = np.nan
        return pd.Series(got._new(values, got._words, got._tracker, got._nodes),
                         index=col.index, name=col.name, copy=False)

    def hook(method: Callable[..., Any], frame: bool) -> Callable[..., Any]:
        @functools.wraps(method)
        def hooked(self: Any, *args: Any, **kwargs: Any) -> Any:
            periods = kwargs.get("periods", args[0] if args else 1)
            axis = kwargs.get("axis", args[1] if len(args) > 1 else 0)
            whole = is_integer(periods) or isinstance(periods, float) and periods.is_integer()
            outer = getattr(_DIFFING, "periods", 0)
            _DIFFING.periods = int(periods) if whole and axis in (0, "index") else 0
            try:
                result = method(self, *args, **kwargs)
            finally:
                _DIFFING.periods = outer
            if not whole:
                return result
            periods = int(periods)
            if not frame:
                return as_plain(self, result, periods)
            if (axis not in (0, "index") or not isinstance(result, pd.DataFrame)
                    or result.shape != self.shape or not _has_dtype_columns(self)):
                return result
            out = None
            for i, kind in enumerate(self.dtypes):
                if isinstance(kind, ProvenanceDtype) and (
                        _numpy_flags(kind) or kind.subtype in (np.int8, np.int16)):
                    out = result.copy(deep=False) if out is None else out
                    out.isetitem(i, as_plain(self.iloc[:, i], result.iloc[:, i], periods))
            return result if out is None else out

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    pd.Series.diff = hook(pd.Series.diff, False)  # type: ignore[method-assign]
    pd.DataFrame.diff = hook(pd.DataFrame.diff, True)  # type: ignore[method-assign]


def _install_row_reduction_hooks() -> None:
    # A frame's reductions along rows that pandas computes from plain values (`count`, and on
    # pandas 2.2 `kurt`) came back plain: each row's result derives from its row's cells.
    # Only those: the others come tracked through pandas' own steps, and a hook costs plain
    # pandas' reductions a few microseconds each.
    names = ("count",) if _PANDAS_3 else ("count", "kurt", "kurtosis")
    if getattr(pd.DataFrame.count, "_lumarq", False):
        return

    def hook(method: Callable[..., Any], name: str) -> Callable[..., Any]:
        @functools.wraps(method)
        def hooked(self: Any, *args: Any, **kwargs: Any) -> Any:
            result = _as_caller(method, self, *args, **kwargs)
            axis = kwargs.get("axis", args[0] if args else 0)
            if (axis in (1, "columns") and isinstance(result, pd.Series)
                    and not isinstance(result.dtype, ProvenanceDtype) and _has_dtype_columns(self)
                    and _called_from_outside()):
                return _by_row(self, result, name)
            return result

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    for name in names:
        setattr(pd.DataFrame, name, hook(getattr(pd.DataFrame, name), name))

    # Over all cells (`axis=None`) pandas reduces numpy's dates and durations as one 2-d block
    # to numpy scalars, but an extension dtype's as one array, to a Timestamp or Timedelta.
    # Such a frame reduces as its plain values do: the result is a plain scalar either way.
    def whole(method: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(method)
        def hooked(self: Any, *args: Any, **kwargs: Any) -> Any:
            if kwargs.get("axis", args[0] if args else 0) is None and any(
                    isinstance(d, ProvenanceDtype) and isinstance(d.subtype, np.dtype)
                    and d.subtype.kind in "mM" for d in self.dtypes):
                self = untrack(self)
            return _as_caller(method, self, *args, **kwargs)

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    for name in ("min", "max", "sum", "mean", "median", "std"):
        setattr(pd.DataFrame, name, whole(getattr(pd.DataFrame, name)))


def _install_bool_only_hooks() -> None:
    # A frame's any/all with bool_only=True keep the blocks pandas finds of dtype `bool`, which
    # no extension dtype equals: the flags of the dtype were left out (an empty result). They
    # run instead on the columns plain pandas would keep, numpy's booleans and those of the
    # dtype, in the frame's order.
    if getattr(pd.DataFrame.any, "_lumarq", False):
        return

    def hook(method: Callable[..., Any]) -> Callable[..., Any]:
        # pandas 3 takes the arguments by position still (with a warning), under a
        # keyword-only signature
        signature = inspect.signature(getattr(method, "__wrapped__", method))

        @functools.wraps(method)
        def hooked(self: Any, *args: Any, **kwargs: Any) -> Any:
            try:
                a = signature.bind(self, *args, **kwargs).arguments
            except TypeError:
                return _as_caller(method, self, *args, **kwargs)
            if not (a.get("bool_only") and _has_dtype_columns(self)):
                return _as_caller(method, self, *args, **kwargs)
            at = list(signature.parameters).index("bool_only") - 1  # after self
            args, kwargs = list(args), dict(kwargs)
            if len(args) > at:
                args[at] = False
            else:
                kwargs["bool_only"] = False
            keep = [i for i, d in enumerate(self.dtypes) if _numpy_flags(d)]
            return _as_caller(method, self.iloc[:, keep], *args, **kwargs)

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    for name in ("any", "all"):
        setattr(pd.DataFrame, name, hook(getattr(pd.DataFrame, name)))


def _install_index_map_hook() -> None:
    # Index.map of an index of the dtype gave plain values on pandas 3 (and, with a function,
    # words 0 on pandas 2.2): each label maps on its own, as Series.map's rows do.
    index_map = pd.Index.map
    if getattr(index_map, "_lumarq", False):
        return

    @functools.wraps(index_map)
    def map_(self: Any, mapper: Any, na_action: Any = None) -> Any:
        arr = self.array
        if not (isinstance(arr, ProvenanceArray) and arr._tracker is not None):
            return index_map(self, mapper, na_action=na_action)
        result = _quietly(index_map, self, mapper, na_action=na_action)
        if isinstance(result, pd.MultiIndex):
            return result
        try:
            mapped = _quietly(arr.map, mapper, na_action=na_action)
        except Exception:  # pandas' result stands
            return result
        plain = pd.Index(result.array._data) if isinstance(result.array, ProvenanceArray) \
            else result
        if (isinstance(mapped, ProvenanceArray) and len(mapped) == len(result)
                and pd.Index(mapped._data).equals(plain)):
            return pd.Index(arr.map(mapper, na_action=na_action), name=result.name)
        return result

    map_._lumarq = True  # type: ignore[attr-defined]
    pd.Index.map = map_  # type: ignore[method-assign]


def _install_index_union_hook() -> None:
    # pandas 2.2 leaves the union of two sorted indexes of an extension dtype unsorted, where it
    # sorts plain ones (and pandas 3 sorts both): `a + b` of two group results by different keys,
    # an outer join or align came in another row order than plain pandas'.
    union = pd.Index.union
    if _PANDAS_3 or getattr(union, "_lumarq", False):
        return

    @functools.wraps(union)
    def union_(self: Any, other: Any, sort: Any = None) -> Any:
        result = union(self, other, sort=sort)
        if (sort is not None or not isinstance(result, pd.Index)
                or isinstance(result, pd.MultiIndex) or result.is_monotonic_increasing
                or not (isinstance(self.dtype, ProvenanceDtype)
                        or isinstance(getattr(other, "dtype", None), ProvenanceDtype))):
            return result
        try:
            plain = union(_plain_index(self), _plain_index(pd.Index(other)), sort=sort)
            ordered = result.sort_values()
        except (TypeError, ValueError):  # labels that do not sort: pandas' order stands
            return result
        if plain.is_monotonic_increasing and _plain_index(ordered).equals(plain):
            return ordered
        return result

    union_._lumarq = True  # type: ignore[attr-defined]
    pd.Index.union = union_  # type: ignore[method-assign]


def _install_index_append_hook() -> None:
    # pandas 3 builds the Index of concatenated labels from their values, and reads objects that
    # are all text as `str`: keys of Arrow text appended "All" (a pivot's margins, a concat)
    # gave `str` labels, where labels of the dtype stayed `prov[object]`. They take the type
    # plain pandas gives the same labels; each label keeps its word.
    append = pd.Index.append
    if not _PANDAS_3 or getattr(append, "_lumarq", False):
        return

    @functools.wraps(append)
    def append_(self: Any, other: Any) -> Any:
        result = append(self, other)
        if not (type(result) is pd.Index and isinstance(result.dtype, ProvenanceDtype)
                and result.dtype.subtype == object):
            return result
        arr = result.array
        plain = append(_plain_index(self), [_plain_index(o) for o in other]
                       if isinstance(other, list | tuple) else _plain_index(other))
        if plain.dtype == object or len(plain) != len(arr):
            return result
        return pd.Index(arr._new(_plain(plain.array), arr._words, arr._tracker, arr._nodes),
                        name=result.name, copy=False)

    append_._lumarq = True  # type: ignore[attr-defined]
    pd.Index.append = append_  # type: ignore[method-assign]


def _row_condition(key: Any) -> bool:
    """Whether an assignment's key is a tracked boolean condition choosing rows (a Series of
    the dtype) or cells (a frame of it), or a positional container's."""
    if isinstance(key, pd.Series) and isinstance(key.dtype, ProvenanceDtype):
        return key.array._tracker is not None and key.dtype._subtype.kind == "b"
    if isinstance(key, pd.DataFrame) and _has_dtype_columns(key):
        return all(isinstance(t, ProvenanceDtype) and t._subtype.kind == "b" for t in key.dtypes)
    return _glue.row_condition(key)


def _dtype_condition(cond: Any) -> bool:
    """Whether `cond` is a Series of the dtype or a frame with columns of it (not a positional
    container's)."""
    return (isinstance(getattr(cond, "dtype", None), ProvenanceDtype)
            or isinstance(cond, pd.DataFrame) and _has_dtype_columns(cond))


def _check_condition(obj: Any, cond: Any, positions: Any = None) -> None:
    """Refuses, before anything is written, a tracked condition whose tracker is not the one
    of the Series, or the frame's columns (at `positions`, all for None), it would be folded
    into."""
    if not _dtype_condition(cond):
        return  # a positional container's

    def tracked(frame: pd.DataFrame, at: Any) -> list[pd.Series]:
        kinds = frame.dtypes
        return [frame.iloc[:, i] for i in (range(frame.shape[1]) if at is None else at)
                if isinstance(kinds.iloc[i], ProvenanceDtype)]

    columns = [cond] if isinstance(cond, pd.Series) else tracked(cond, None)
    targets = [obj] if isinstance(obj, pd.Series) else tracked(obj, positions)
    tracker = None
    for col in columns + targets:
        if isinstance(col.dtype, ProvenanceDtype):
            tracker = _check_trackers(tracker, col.array._tracker)


def _fold_condition(obj: Any, positions: Any, cond: Any, op: str) -> None:
    """After an in-place write into rows `cond` chose: the written Series, or the frame's
    columns at `positions`, take the condition's words in every row as `where` gives them (a
    node each with a DAGTracker). A column of the dtype is rewritten through pandas, which
    copies it first where another object shares it; a frame's plain column becomes of the
    dtype, as `where` makes it; a plain Series stays as it is (its type cannot change in
    place)."""
    if _glue._tracked_series(obj) or _glue._tracked_frame(obj) or not _dtype_condition(cond):
        # a positional container's (which takes only a condition of its own kind)
        _glue.fold_condition(obj, [] if positions is None else positions, cond)
        return
    if isinstance(obj, pd.Series):
        if isinstance(obj.dtype, ProvenanceDtype):
            new = _with_condition(obj, cond, op=op)
            if new is not obj:
                _write_back(obj, new)
        return
    if positions is None or not isinstance(obj, pd.DataFrame):
        return
    for i in positions:
        col = obj.iloc[:, i]
        if isinstance(cond, pd.Series):
            c = cond
        elif obj.columns[i] in cond.columns and cond.columns.is_unique:
            c = cond[obj.columns[i]]
        else:
            continue
        new = _with_condition(col, c, op=op)
        if new is not col:
            if not _lazy_copies() and isinstance(col.dtype, ProvenanceDtype):
                # without copy-on-write a shallow copy or view shares the column and took the
                # written values: it takes their words too, written in place
                _write_back(col, new)
            else:
                obj.isetitem(int(i), new)


_PASS = object()  # a hook's check answers it to hand the call on to pandas unchanged
_SERIES_SETITEM = pd.Series.__setitem__  # pandas' own


def _write_back(s: pd.Series, new: pd.Series) -> None:
    """Writes `new`'s words and nodes (its values are `s`'s) into the Series `s` in place,
    through pandas, which copies first where another object shares the values."""
    _quietly(_SERIES_SETITEM, s, slice(None), new.array)


def _install_assignment_hooks() -> None:
    # `s[cond] = x`, `s.loc[cond] = x`, `df.loc[cond, c] = x` and `df[cond] = x` hand the array
    # plain positions, so a value chosen by a protected condition read clean. The public
    # `__setitem__` methods are hooked natively (`method_hook`): pandas looks at the caller's
    # frame and at reference counts to tell a chained assignment, and warns one frame up, which
    # a Python wrapper would change. pandas assigns with the plain condition; its words are
    # counted afterwards, in the columns written.
    from pandas.core.indexing import _iLocIndexer, _LocIndexer

    if getattr(pd.Series, "_lumarq_assignments", False):
        return

    def series_rows(self: Any, key: Any, value: Any) -> Any:
        if not (_row_condition(key) and _called_from_outside()):
            return _PASS
        _check_condition(self, key)  # before anything is written
        return _plain_condition(self, key), lambda obj: _fold_condition(obj, None, key, "setitem")

    def frame_rows(self: Any, key: Any, value: Any) -> Any:
        if not (_row_condition(key) and _called_from_outside()):
            return _PASS
        _check_condition(self, key)
        return _plain_condition(self, key), lambda obj: _fold_condition(
            obj, np.arange(obj.shape[1]), key, "setitem")

    def missing_into_ints(frame: Any, key: tuple[Any, Any], value: Any, by_position: bool
                          ) -> None:
        # pandas turns a plain int column a missing value is written into (some of its rows)
        # into float64 NaN; an array cannot change its type, so the column is cast first, its
        # words kept. (A whole column written takes pandas' own other path.)
        rows, columns = key
        if not (value is None or (isinstance(value, float) and np.isnan(value))) or (
                isinstance(rows, slice) and rows == slice(None)):
            return
        kinds = frame.dtypes

        def numpy_ints(k: Any) -> bool:
            # nullable and Arrow ints hold the missing value as plain pandas' do
            return (isinstance(k, ProvenanceDtype) and isinstance(k._subtype, np.dtype)
                    and k._subtype.kind in "iu")

        if not any(numpy_ints(k) for k in kinds):
            return
        if by_position:
            try:
                at = np.arange(frame.shape[1])[columns]
            except (IndexError, TypeError, ValueError):
                return
        else:
            at = _glue.column_positions(frame, columns)
        for i in np.atleast_1d(at if at is not None else []):
            if numpy_ints(kinds.iloc[int(i)]):
                frame.isetitem(int(i), frame.iloc[:, int(i)].astype(ProvenanceDtype("float64")))

    def retype_first(frame: Any, key: tuple[Any, Any], value: Any, by_position: bool) -> None:
        # A write into some rows of one column that plain pandas answers with another type for
        # the column: a tracked value into a plain column (`df["r"] = 0.0` then
        # `df.loc[mask, "r"] = tracked`: the written rows kept no words, and pandas 3 refused
        # an array of the dtype with NaN in it), values an int or bool column of the dtype
        # cannot hold (floats with NaN; on pandas 2.2 also a scalar such as 1.5, which it
        # upcasts). The same write into a plain copy of the column tells plain pandas' type;
        # the column takes it first, as the dtype with its words (0 for a plain one), and the
        # write then gives the rows it reaches the value's words.
        rows, columns = key
        tracked_value = isinstance(getattr(value, "dtype", None), ProvenanceDtype)
        if not tracked_value and not (
                (is_list_like(value) and not isinstance(value, pd.DataFrame)) or (
                    not _PANDAS_3 and is_scalar(value)
                    and not (is_float(value) and float(value).is_integer()))
                ) or callable(rows) or not (tracked_value or _has_dtype_columns(frame)):
            return
        if by_position:
            try:
                at = np.atleast_1d(np.arange(frame.shape[1])[columns])
            except (IndexError, TypeError, ValueError):
                return
        else:
            at = _glue.column_positions(frame, columns)
        if at is None or len(at) != 1:
            return
        col = frame.iloc[:, int(at[0])]
        kind = col.dtype
        plain = value
        if tracked_value:
            plain = value.array._data if isinstance(value, pd.Series | pd.Index) else value._data
            if isinstance(value, pd.Series):
                plain = pd.Series(plain, index=value.index, name=value.name, copy=False)
        if isinstance(kind, ProvenanceDtype):
            nd = _numpy_values(col.array._data)
            if nd is None or nd.dtype.kind not in "iub" or can_hold_element(
                    nd, np.asarray(plain) if isinstance(plain, list) else _unwrap(
                        getattr(plain, "array", plain))):
                return
        elif not (tracked_value and isinstance(kind, np.dtype) and kind.kind in "biuf"):
            return
        scratch = pd.DataFrame({0: untrack(col)}, index=col.index, copy=True)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                (scratch.iloc if by_position else scratch.loc)[_plain_condition(frame, rows), 0] \
                    = plain
            except (TypeError, ValueError, KeyError, IndexError):
                return  # pandas' own write says why
        new = scratch.dtypes.iloc[0]
        # (pandas 2.2 makes an int or bool column objects for values it cannot hold: bools
        # into ints, NaN or 0 into bools; words are kept there as in a bool column's diff)
        if not (isinstance(new, np.dtype) and new.kind in "biufO") or (
                isinstance(kind, ProvenanceDtype) and kind._subtype == new):
            return
        for w in caught:  # plain pandas 2.2's deprecation of the upcast, at the caller
            if w.filename == __file__ or w.filename.startswith(_PANDAS_DIR):
                warnings.warn(w.message, w.category, stacklevel=3)
        frame.isetitem(int(at[0]), col.astype(ProvenanceDtype(new)))

    def iloc_rows(self: Any, key: Any, value: Any) -> Any:
        if (value is None or (isinstance(value, float) and value != value)) and len(key) == 2 \
                and self.obj.ndim == 2:
            missing_into_ints(self.obj, key, value, True)
        if len(key) == 2 and self.obj.ndim == 2:
            retype_first(self.obj, key, value, True)
        return _PASS

    def loc_rows(self: Any, key: Any, value: Any) -> Any:
        # The answer holds no reference to `self.obj` (this frame is gone before pandas runs):
        # pandas counts them to tell a chained assignment.
        tupled = isinstance(key, tuple)
        if tupled and (len(key) != 2 or self.obj.ndim == 1):
            return _PASS  # labels of a MultiIndex
        if tupled:
            missing_into_ints(self.obj, key, value, False)
            retype_first(self.obj, key, value, False)
        rows, columns = key if tupled else (key, None)
        if not (_row_condition(rows) and _called_from_outside()):
            return _PASS
        obj = self.obj
        at = None if obj.ndim == 1 or isinstance(columns, pd.Series) else \
            _glue.column_positions(obj, columns)
        _check_condition(obj, rows, [] if at is None and columns is not None else at)
        plain = _plain_condition(obj, rows)

        def fold(loc: Any) -> None:
            obj = loc.obj
            if obj.ndim == 1:
                _fold_condition(obj, None, rows, "setitem")
            elif not isinstance(columns, pd.Series):
                _fold_condition(obj, _glue.column_positions(obj, columns), rows, "setitem")

        return ((plain, columns) if tupled else plain), fold

    # Each check runs only for a key of the type it looks for: other calls go straight to pandas.
    hook = _backend.method_hook
    pd.Series.__setitem__ = hook(series_rows, pd.Series.__setitem__, _PASS, pd.Series)
    pd.DataFrame.__setitem__ = hook(frame_rows, pd.DataFrame.__setitem__, _PASS,
                                    (pd.Series, pd.DataFrame))
    _LocIndexer.__setitem__ = hook(loc_rows, _LocIndexer.__setitem__, _PASS, (pd.Series, tuple))
    _iLocIndexer.__setitem__ = hook(iloc_rows, _iLocIndexer.__setitem__, _PASS, tuple)
    pd.Series._lumarq_assignments = True

    def retype_series(obj: Any, key: Any, value: Any, how: str) -> Any:
        # A value an int or bool Series of the dtype cannot hold, written into rows it has
        # (`s[1] = np.nan`, also by `loc` and `iloc`): plain pandas makes the Series float64
        # (pandas 2.2 flags objects), which an array cannot do in place, so it raised. The same
        # write into a plain copy tells plain pandas' type; the Series takes it first, as the
        # dtype with its words and nodes, and pandas then writes (an untracked value leaves
        # the row's word as it was). A row added by label takes pandas' own path (the copy grew).
        kind = obj.dtype
        if not (isinstance(kind, ProvenanceDtype) and isinstance(kind._subtype, np.dtype)
                and kind._subtype.kind in "iub"):
            return _PASS
        nd = _numpy_values(obj.array._data)
        plain = untrack(value) if isinstance(getattr(value, "dtype", None), ProvenanceDtype) \
            else value
        try:
            if nd is None or can_hold_element(nd, np.asarray(plain) if is_list_like(plain)
                                              else plain):
                return _PASS
        except (TypeError, ValueError):
            pass
        scratch = pd.Series(nd.copy(), index=obj.index, name=obj.name, copy=False)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                rows = _plain_condition(obj, key) if _row_condition(key) else key
                if how == "[]":
                    scratch[rows] = plain
                else:
                    getattr(scratch, how)[rows] = plain
            except (TypeError, ValueError, KeyError, IndexError):
                return _PASS  # pandas' own write says why
        new = scratch.dtype
        if len(scratch) != len(obj) or new == kind._subtype or not (
                isinstance(new, np.dtype) and new.kind in "biufO"):
            return _PASS
        _warn_at_caller(caught)  # plain pandas 2.2's deprecation of the upcast
        obj._update_inplace(pd.Series(obj.array.astype(ProvenanceDtype(new)), index=obj.index,
                                      name=obj.name, copy=False))
        if is_scalar(plain) and pd.isna(plain):
            # pandas writes a missing value into numbers or flags as NaN, also as objects
            return np.nan, lambda _: None
        return _PASS

    def series_write(self: Any, key: Any, value: Any) -> Any:
        return retype_series(self, key, value, "[]")

    def series_loc(self: Any, key: Any, value: Any) -> Any:
        return retype_series(self.obj, key, value, "loc") if self.obj.ndim == 1 else _PASS

    def series_iloc(self: Any, key: Any, value: Any) -> Any:
        return retype_series(self.obj, key, value, "iloc") if self.obj.ndim == 1 else _PASS

    # (the value is argument 2: the one a check may replace)
    pd.Series.__setitem__ = hook(series_write, pd.Series.__setitem__, _PASS, None, 2)
    _LocIndexer.__setitem__ = hook(series_loc, _LocIndexer.__setitem__, _PASS, None, 2)
    _iLocIndexer.__setitem__ = hook(series_iloc, _iLocIndexer.__setitem__, _PASS, None, 2)

    if not _PANDAS_3:
        # pandas 2.2 types the row a label the Series lacks adds (`s[99] = v`) by promoting
        # the Series' dtype as a numpy one (it unwraps only its own extension dtypes): ints,
        # floats and durations of the dtype raised. The values' type is promoted instead (for
        # a value that is not missing, the numpy type of an extension one's, as pandas
        # promotes its own: `Int64` raised); the new row is then concatenated as plain values
        # (word 0, no node), as on pandas 3.
        from pandas.core import indexing

        promote = indexing.maybe_promote

        def maybe_promote(dtype: Any, fill_value: Any = np.nan) -> Any:
            if isinstance(dtype, ProvenanceDtype):
                sub = dtype._subtype
                if isinstance(sub, np.dtype):
                    dtype = sub
                elif not (is_scalar(fill_value) and pd.isna(fill_value)):
                    dtype = getattr(sub, "numpy_dtype", dtype)
            return promote(dtype, fill_value)

        indexing.maybe_promote = functools.update_wrapper(maybe_promote, promote)
        join = indexing.concat_compat

        def concat_compat_(to_concat: Any, *args: Any, **kwargs: Any) -> Any:
            return _grown_by_label(join, to_concat, *args, **kwargs)

        indexing.concat_compat = functools.update_wrapper(concat_compat_, join)
    else:
        # pandas 3 grows text (`s[99] = np.nan`, a row added by label to a frame) by joining it
        # with the new rows' float64 NaN as objects, which it then types as text again: the kept
        # rows' words were lost on the way. Missing values added to text of the dtype that
        # holds any text (which plain pandas types as text in the end) are text of the dtype
        # from the start; the new rows come from no row (word 0, no node). Both names are
        # pandas' own for these steps only: the Series' join, the frame's cast of its new row.
        from pandas.core import frame as frames, indexing

        join = getattr(indexing, "concat_compat", None)
        cast = getattr(frames, "infer_and_maybe_downcast", None)
        if join is None or cast is None:  # another pandas 3 release: its own steps stand
            return

        def grows_text(orig: Any, new: Any) -> bool:
            return (isinstance(orig, ProvenanceArray)
                    and isinstance(orig.dtype.subtype, pd.StringDtype) and len(new) > 0
                    and bool(pd.isna(np.asarray(new, dtype=object)).all())
                    and not orig.isna().all())

        def missing_text(orig: ProvenanceArray, n: int) -> ProvenanceArray:
            return ProvenanceArray(pd.array([None] * n, dtype=orig.dtype.subtype))

        def concat_compat(to_concat: Any, *args: Any, **kwargs: Any) -> Any:
            if len(to_concat) == 2 and grows_text(*to_concat):
                first = to_concat[0]
                return first._concat_same_type([first, missing_text(first, len(to_concat[1]))])
            return _grown_by_label(join, to_concat, *args, **kwargs)

        def infer_and_maybe_downcast(orig: Any, new_arr: Any, **kwargs: Any) -> Any:
            if grows_text(orig, new_arr):
                return missing_text(orig, len(new_arr))
            out = cast(orig, new_arr, **kwargs)
            if (isinstance(orig, ProvenanceArray) and not isinstance(out, ProvenanceArray)
                    and out.dtype == orig.dtype.subtype):
                # The new row's values cast to the column's type, as pandas casts them for a
                # plain column so that the concatenation keeps its type (else Arrow text met
                # pandas' `str` and became `string[pyarrow]`); they come from no row.
                return ProvenanceArray(out)
            return out

        indexing.concat_compat = functools.update_wrapper(concat_compat, join)
        frames.infer_and_maybe_downcast = functools.update_wrapper(infer_and_maybe_downcast, cast)

        # After the rows are added pandas casts a column whose type changed back where it can,
        # and warns where its old type could not hold the new values, except for ints that a
        # missing value made floats; that test reads numpy's types only, so an int column of
        # the dtype grown by NaN (`s[99] = np.nan`) warned. The values decide as plain ones
        # would; the rows keep their words and nodes.
        recast = getattr(indexing, "infer_and_maybe_downcast", None)
        if recast is None:
            return

        def infer_and_maybe_downcast_(orig: Any, new_arr: Any, **kwargs: Any) -> Any:
            tracked = isinstance(orig, ProvenanceArray) and isinstance(new_arr, ProvenanceArray)
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                plain = recast(orig._data, new_arr._data, **kwargs) if tracked else \
                    recast(orig, new_arr, **kwargs)
            _warn_at_caller(caught)
            if not tracked or len(plain) != len(new_arr):
                return plain
            return new_arr._new(_unwrap(plain), new_arr._words, new_arr._tracker,
                                new_arr._nodes)

        indexing.infer_and_maybe_downcast = functools.update_wrapper(infer_and_maybe_downcast_,
                                                                     recast)


def _grown_by_label(join: Callable[..., Any], to_concat: Any, *args: Any, **kwargs: Any) -> Any:
    """pandas' join of a Series' values with the row a label it lacks adds (`s[99] = v`).
    Where no type of the dtype holds both (text and a number: objects), pandas made them
    plain objects and the kept rows lost their words: they keep them, as objects of the dtype
    (`object` as plain pandas' own result), and the new rows come from no row."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = join(to_concat, *args, **kwargs)
    _warn_at_caller(caught)
    if len(to_concat) != 2 or isinstance(result, ProvenanceArray):
        return result
    first, new = to_concat
    if not (isinstance(first, ProvenanceArray) and not isinstance(new, ProvenanceArray)
            and isinstance(result, np.ndarray) and result.dtype == object
            and len(result) == len(first) + len(new)):
        return result
    grown = len(new)
    nodes = None if first._nodes is None else np.concatenate(
        [first._nodes, np.full(grown, -1, dtype=np.int64)])
    return ProvenanceArray(result, np.concatenate([first._words, np.zeros(grown, np.uint32)]),
                           first._tracker, nodes=nodes)


def _tracked_cast(dtype: Any) -> ProvenanceDtype | None:
    """The provenance dtype a tracked column cast to the plain `dtype` becomes: numeric and bool
    targets keep the words (a cast is no computation), others give plain values."""
    try:
        target = pandas_dtype(dtype)
    except (TypeError, ValueError):
        return None
    if isinstance(target, ProvenanceDtype) or getattr(target, "kind", "O") not in "biuf":
        return None
    return ProvenanceDtype(target)


def _install_cast_hooks() -> None:
    # `s.astype(float)` and `s.isin(...)` of a tracked column gave plain values, so a value
    # computed from them with a tracked column lost the first one's sources: income times
    # `gender.isin(["f"])` read clean.
    series_astype, frame_astype, isin = pd.Series.astype, pd.DataFrame.astype, pd.Series.isin
    if getattr(series_astype, "_lumarq", False):
        return

    def text(dtype: Any) -> bool:
        # str, and pandas' string types ("string" read plain, and clean when compared), also
        # Arrow's (`pd.ArrowDtype(pa.string())`, "large_string[pyarrow]")
        if isinstance(dtype, str) and dtype.endswith("[pyarrow]"):
            try:
                dtype = pandas_dtype(dtype)
            except (TypeError, ValueError, ImportError):
                return False
        return dtype is str or isinstance(dtype, pd.StringDtype) or (
            isinstance(dtype, str) and (dtype == "str" or dtype.startswith("string"))) or (
            isinstance(dtype, pd.ArrowDtype) and dtype.type is str)

    @functools.wraps(series_astype)
    def astype(self: Any, dtype: Any, *args: Any, **kwargs: Any) -> Any:
        if isinstance(self.dtype, ProvenanceDtype) and text(dtype) and _called_from_outside():
            # Each row's text is its own value's: it keeps the row's word and node (a code
            # built as `job.astype(str) + "_" + sex` read clean of the job). pandas' own casts
            # to text (formatting, its tests of the array) keep pandas' plain result.
            return _keep_row_words(self, series_astype(untrack(self), dtype, *args, **kwargs))
        if isinstance(self.dtype, ProvenanceDtype) and not isinstance(dtype, dict):
            if categorical(dtype) and _called_from_outside():
                _warn_categorical(self.array, "astype('category')",
                                  "Compare, map or cast the tracked column to keep it.")
            dtype = _tracked_cast(dtype) or dtype
        return series_astype(self, dtype, *args, **kwargs)

    def categorical(dtype: Any) -> bool:
        return isinstance(dtype, pd.CategoricalDtype) or (isinstance(dtype, str)
                                                          and dtype == "category")

    @functools.wraps(frame_astype)
    def frame_astype_(self: Any, dtype: Any, *args: Any, **kwargs: Any) -> Any:
        if _has_dtype_columns(self) and self.columns.is_unique:
            tracked = [isinstance(d, ProvenanceDtype) for d in self.dtypes]
            outside = _called_from_outside()
            if outside:
                for c, t in zip(self.columns, tracked):
                    to = dtype.get(c) if isinstance(dtype, dict) else dtype
                    if t and categorical(to):
                        _warn_categorical(self[c].array, f"astype('category') of {c!r}",
                                          "Compare, map or cast the tracked column to keep it.")
            to_text = [c for c, t in zip(self.columns, tracked) if t and text(
                dtype.get(c) if isinstance(dtype, dict) else dtype)] if outside else []
            if to_text:  # as the Series' cast to text: each row keeps its word
                result = frame_astype(untrack(self[to_text]), {
                    c: dtype.get(c) if isinstance(dtype, dict) else dtype for c in to_text},
                    *args, **kwargs)
                rest = ({k: v for k, v in dtype.items() if k not in to_text}
                        if isinstance(dtype, dict) else {})
                out = self.astype(rest, *args, **kwargs) if rest else self.copy(
                    deep=kwargs.get("copy") is not False)
                for c in to_text:
                    out.isetitem(out.columns.get_loc(c), _keep_row_words(self[c], result[c]))
                return out
            if isinstance(dtype, dict):
                dtype = {k: (_tracked_cast(v) or v) if k in self.columns
                         and isinstance(self[k].dtype, ProvenanceDtype) else v
                         for k, v in dtype.items()}
            elif _tracked_cast(dtype) is not None:
                dtype = {c: _tracked_cast(dtype) if t else dtype
                         for c, t in zip(self.columns, tracked)}
        return frame_astype(self, dtype, *args, **kwargs)

    @functools.wraps(isin)
    def isin_(self: Any, values: Any) -> Any:
        result = isin(self, values)
        if not isinstance(self.dtype, ProvenanceDtype):
            return _isin_tracked_values(result, values)
        # As a comparison with a scalar: each row keeps its word and node, nothing is logged.
        return _isin_tracked_values(_keep_row_words(self, result), values)

    frame_isin = pd.DataFrame.isin

    @functools.wraps(frame_isin)
    def frame_isin_(self: Any, values: Any) -> Any:
        result = frame_isin(self, values)
        if not _has_dtype_columns(self) or not self.columns.is_unique:
            return result
        # Each cell says whether its own value is among `values`, as Series.isin does.
        for i, label in enumerate(result.columns):
            if label in self.columns and isinstance(self[label].dtype, ProvenanceDtype):
                result.isetitem(i, _keep_row_words(self[label], result.iloc[:, i]))
        return result

    select_dtypes = pd.DataFrame.select_dtypes

    @functools.wraps(select_dtypes)
    def select_dtypes_(self: Any, include: Any = None, exclude: Any = None) -> Any:
        if not _has_dtype_columns(self):
            return select_dtypes(self, include=include, exclude=exclude)
        # A column of the dtype is picked as its plain column would be ("number", "object",
        # "str", timedeltas...) or by the provenance dtype itself; pandas alone missed the first.
        probe = self.iloc[:0].set_axis(range(self.shape[1]), axis=1)
        by_plain = set(select_dtypes(untrack(probe), include=include, exclude=exclude).columns)
        with warnings.catch_warnings():  # pandas' deprecation notes came with the plain call
            warnings.simplefilter("ignore")
            by_own = set(select_dtypes(probe, include=include, exclude=exclude).columns)
        keep = by_plain | by_own if include is not None else by_plain & by_own
        return self.iloc[:, sorted(keep)]

    for fn in (astype, frame_astype_, isin_, select_dtypes_, frame_isin_):
        fn._lumarq = True  # type: ignore[attr-defined]
    pd.Series.astype, pd.DataFrame.astype, pd.Series.isin = astype, frame_astype_, isin_
    pd.DataFrame.select_dtypes, pd.DataFrame.isin = select_dtypes_, frame_isin_


def _install_groupby_hook() -> None:
    # pandas hands an array's group operation only the group ids; the grouper they come from is
    # kept for the call, so a group's word can also count its key values.
    try:
        from pandas.core.groupby.ops import BaseGrouper
    except ImportError:  # pragma: no cover - a pandas without it: groups count members only
        return
    operation = getattr(BaseGrouper, "_cython_operation", None)
    if operation is None or getattr(operation, "_lumarq", False):
        return

    def _cython_operation(self: Any, *args: Any, **kwargs: Any) -> Any:
        with _grouping(self):
            return operation(self, *args, **kwargs)

    _cython_operation._lumarq = True  # type: ignore[attr-defined]
    BaseGrouper._cython_operation = _cython_operation

    # Text has no cython min/max/first/last: pandas reduces each group in Python and rebuilt
    # plain values, so a group's text lost its words. They are the group's, as for numbers.
    from pandas.core.groupby.groupby import GroupBy

    fallback = getattr(GroupBy, "_agg_py_fallback", None)
    if fallback is None or getattr(fallback, "_lumarq", False):
        return

    def _agg_py_fallback(self: Any, how: str, values: Any, ndim: int, alt: Any) -> Any:
        result = fallback(self, how, values, ndim, alt)
        grouper = getattr(self, "_grouper", None)
        if not (isinstance(values, ProvenanceArray) and values._tracker is not None
                and how in _GROUP_REDUCTIONS and grouper is not None
                and getattr(result, "ndim", 0) == 1):
            return result
        ngroups = int(grouper.ngroups)
        if len(result) != ngroups:
            return result
        with _grouping(grouper):
            words, nodes = values._group_words(how, _group_ids(grouper), ngroups)
        data = result._data if isinstance(result, ProvenanceArray) else result
        return values._new(data, words, values._tracker, nodes)

    _agg_py_fallback._lumarq = True  # type: ignore[attr-defined]
    GroupBy._agg_py_fallback = _agg_py_fallback


def _install_count_hooks() -> None:
    # Group sizes and counts came back plain int64: the number of rows of a group of a protected
    # key derives from that key, and `count` of a column also from the column (which rows miss a
    # value). Each group's count takes the words and node a group reduction of the column gets.
    from pandas.core.groupby.groupby import GroupBy

    def counted(grouper: Any, arr: Any, how: str, counts: Any) -> ProvenanceArray | None:
        """`counts` (one per group) of the dtype, or None when neither `arr` nor a key is."""
        ngroups = int(grouper.ngroups)
        if getattr(counts, "ndim", 0) != 1 or len(counts) != ngroups:
            return None
        ids = _group_ids(grouper)
        with _grouping(grouper):
            if isinstance(arr, ProvenanceArray) and arr._tracker is not None and len(arr) == len(ids):
                words, nodes = arr._group_words(how, ids, ngroups)
                return arr._new(_plain(counts), words, arr._tracker, nodes)
            tracked = [arr for _, arr in _grouping_arrays(grouper) if arr._tracker is not None]
            if not tracked:
                return None
            key = tracked[0]
            tracker, n = key._tracker, len(key)
            keys = _key_words(tracker, n, ids, ngroups)
            if not keys:
                return None
            words = _one_key_word(tracker, keys, ngroups)
            pairs = _key_nodes(tracker, n, ids, ngroups)
            nodes = None if pairs is None else _log_groups(tracker, how, words, pairs[0],
                                                           pairs[1], ngroups)
        return key._new(_plain(counts), np.ascontiguousarray(words, dtype=np.uint32).copy(),
                        tracker, nodes)

    def wrap(cls: Any, name: str, after: Callable[[Any, Any, Any], Any]) -> None:
        """cls.name followed by after(groupby, grouper, result) on results of a grouper."""
        method = cls.__dict__.get(name)
        if method is None or getattr(method, "_lumarq", False):
            return

        @functools.wraps(method)
        def hooked(self: Any, *args: Any, **kwargs: Any) -> Any:
            result = method(self, *args, **kwargs)
            grouper = getattr(self, "_grouper", None)
            return result if grouper is None else after(self, grouper, result)

        hooked._lumarq = True  # type: ignore[attr-defined]
        setattr(cls, name, hooked)

    def own_counts(obj: Any, counts: np.ndarray, how: str) -> Any:
        """The counts of the rows of `obj` (a Series) in pandas' type for its values: a
        nullable column's count and size are Int64, an Arrow column's int64[pyarrow] (a
        string[pyarrow] column's size Int64), as pandas counts the plain one."""
        arr = getattr(obj, "array", None)
        data = arr._data if isinstance(arr, ProvenanceArray) else None
        if how not in ("count", "size"):
            return counts
        if isinstance(data, _MASKED):
            return pd.array(counts, dtype="Int64")
        if isinstance(data, pd.arrays.ArrowExtensionArray):
            if not isinstance(data.dtype, pd.StringDtype):
                return pd.array(counts, dtype="int64[pyarrow]")
            if how == "size" and data.dtype.na_value is pd.NA:
                return pd.array(counts, dtype="Int64")
        return counts

    def hook(cls: Any, name: str, per_column: bool) -> None:
        def after(self: Any, grouper: Any, result: Any) -> Any:
            if getattr(self, "axis", 0) not in (0, "index"):
                return result
            obj = getattr(self, "obj", None)
            if not ((isinstance(obj, pd.Series) and isinstance(obj.dtype, ProvenanceDtype))
                    or (isinstance(obj, pd.DataFrame) and _has_dtype_columns(obj))
                    or _grouping_arrays(grouper)):
                return result
            if isinstance(result, pd.Series) and not isinstance(result.dtype, ProvenanceDtype):
                arr = self.obj.array if per_column and isinstance(self.obj, pd.Series) else None
                counts = own_counts(self.obj, result.to_numpy(), name)
                made = counted(grouper, arr, name, counts)
                made = counts if made is None and counts.dtype != result.dtype else made
                if made is not None:
                    result = pd.Series(made, index=result.index, name=result.name, copy=False)
            elif isinstance(result, pd.DataFrame) and result.columns.is_unique:
                source = self._obj_with_exclusions if per_column else None
                if isinstance(source, pd.Series):  # a Series' groups with as_index=False
                    source = source.to_frame()
                labels = ([c for c in result.columns if c in source.columns]
                          if source is not None else ["size"] if "size" in result.columns
                          else [])
                if source is not None and not source.columns.is_unique:
                    return result
                result = result.copy(deep=False)
                for c in labels:
                    if isinstance(result[c].dtype, ProvenanceDtype):
                        continue
                    arr = source[c].array if source is not None else None
                    counts = own_counts(None if source is None else source[c], result[c].to_numpy(), name)
                    made = counted(grouper, arr, name, counts)
                    made = counts if made is None and counts.dtype != result[c].dtype else made
                    if made is not None:
                        result[c] = pd.Series(made, index=result.index, copy=False)
            return result

        wrap(cls, name, after)

    hook(GroupBy, "size", False)
    hook(GroupBy, "count", True)

    # value_counts with bins counts rows by interval, which pandas does on plain values (per
    # group for a number of bins): the counts came back plain. Each count takes what the
    # count without bins gives: the size of its cell grouped by the keys and the value (here
    # the cell, carrying the value's words), so by the words of the rows counted and their keys.
    from pandas.core.groupby.generic import SeriesGroupBy

    # The same with no groups: each bin's count takes the words of the rows in it (one node
    # over theirs), an empty bin those of the whole column, a share also the whole column's.
    series_counts = pd.Series.value_counts
    if not getattr(series_counts, "_lumarq", False):
        @functools.wraps(series_counts)
        def binned_series_counts(self: pd.Series, normalize: bool = False, sort: bool = True,
                                 ascending: bool = False, bins: Any = None,
                                 dropna: bool = True) -> Any:
            result = series_counts(self, normalize, sort, ascending, bins, dropna)
            arr = self.array
            # (pandas 2.2 counts a group's bins by this, which the group hook then tracks)
            if (bins is None or not isinstance(arr, ProvenanceArray) or arr._tracker is None
                    or not _called_from_outside()
                    or not isinstance(result, pd.Series)
                    or isinstance(result.dtype, ProvenanceDtype)
                    or not isinstance(result.index, pd.IntervalIndex)
                    or result.index.hasnans or not result.index.is_unique
                    or result.index.is_overlapping):
                return result
            cell = np.asarray(result.index.get_indexer(untrack(self).to_numpy()), np.int64)
            held = cell >= 0
            sizes = np.bincount(cell[held], minlength=len(result))
            shares = result.to_numpy()
            if not (np.allclose(sizes * shares.sum(), shares * sizes.sum()) if normalize
                    else np.array_equal(sizes, shares)):
                return result  # not the bins pandas counted in: its result stands
            counted = pd.Series(arr._new(cell, arr._words, arr._tracker, arr._nodes),
                                copy=False)[held].value_counts(sort=False)
            at = pd.Index(untrack(counted.index)).get_indexer(np.arange(len(result)))
            sized = counted.array
            words = sized._words[at]
            nodes = None if sized._nodes is None else sized._nodes[at]
            empty = at < 0
            if empty.any() or normalize:
                # whether a bin is empty, and a share's total, derive from every row
                whole = pd.Series(arr._new(np.zeros(len(arr), np.int64), arr._words,
                                           arr._tracker, arr._nodes),
                                  copy=False).value_counts().array
                words[empty] = whole._words[0]
                if nodes is not None:
                    nodes[empty] = _nodes_or_none(whole)[0]
                if normalize:
                    counts = pd.Series(sized._new(sizes, words, sized._tracker, nodes),
                                       copy=False)
                    share = (counts / pd.Series(whole.take(np.zeros(len(result), np.int64)),
                                                copy=False)).array
                    words, nodes = share._words, share._nodes
            return pd.Series(arr._new(result.array, words, arr._tracker, nodes),
                             index=result.index, name=result.name, copy=False)

        binned_series_counts._lumarq = True  # type: ignore[attr-defined]
        pd.Series.value_counts = binned_series_counts  # type: ignore[method-assign]

    binned_counts = SeriesGroupBy.value_counts
    if getattr(binned_counts, "_lumarq", False):
        return

    def cells(self: Any, result: pd.Series) -> tuple[np.ndarray, np.ndarray] | None:
        """The row of `result` each row of the grouped Series is counted in (-1: none), and
        the group of each row of `result`."""
        grouper = self._grouper
        ids = _group_ids(grouper)
        index = result.index
        if not (isinstance(index, pd.MultiIndex) and len(ids) == len(self.obj)):
            return None
        at = grouper.result_index.get_indexer(index.droplevel(-1))
        intervals = index.get_level_values(-1)
        if (at < 0).any() or not isinstance(getattr(intervals, "dtype", None), pd.IntervalDtype):
            return None
        values = untrack(self.obj).to_numpy()
        out = np.full(len(ids), -1, dtype=np.int64)
        for g in np.unique(at):
            mine = np.flatnonzero(at == g)
            own = pd.IntervalIndex(intervals[mine])
            held = own.notna()
            if not held.all() or not own.is_unique or own.is_overlapping:
                return None  # a missing value's cell (dropna=False): pandas' result stands
            rows = np.flatnonzero(ids == g)
            pos = own.get_indexer(values[rows])
            out[rows[pos >= 0]] = mine[pos[pos >= 0]]
        return out, at

    @functools.wraps(binned_counts)
    def grouped_value_counts(self: Any, normalize: bool = False, sort: bool = True,
                     ascending: bool = False, bins: Any = None, dropna: bool = True) -> Any:
        result = binned_counts(self, normalize, sort, ascending, bins, dropna)
        grouper = getattr(self, "_grouper", None)
        if (bins is None or not isinstance(result, pd.Series) or grouper is None
                or isinstance(result.dtype, ProvenanceDtype)
                or not (isinstance(self.obj.dtype, ProvenanceDtype)
                        or _grouping_arrays(grouper))):
            return result
        if normalize:
            counts = grouped_value_counts(self, False, sort, ascending, bins, dropna)
            if not (isinstance(counts.dtype, ProvenanceDtype) and counts.index.is_unique):
                return result
            counts = counts.reindex(result.index)
            # a share of its group: over the group's counts, as without bins
            shares = counts / counts.groupby(level=list(range(counts.index.nlevels - 1)),
                                             sort=False).transform("sum")
            arr = shares.array
            if not isinstance(arr, ProvenanceArray):
                return result
            return pd.Series(arr._new(result.array, arr._words, arr._tracker, arr._nodes),
                             index=result.index, name=result.name, copy=False)
        found = cells(self, result)
        if found is None:
            return result
        cell, group = found
        if not np.array_equal(
                np.bincount(cell[cell >= 0], minlength=len(result)), result.to_numpy()):
            return result
        keys = {}
        for j, grouping in enumerate(grouper.groupings):
            vector = getattr(grouping, "grouping_vector", None)
            if vector is None or len(vector) != len(cell):
                return result
            keys[f"key{j}"] = getattr(vector, "array", vector)
        arr = self.obj.array
        keys["cell"] = (arr._new(cell, arr._words, arr._tracker, arr._nodes)
                        if isinstance(arr, ProvenanceArray) else cell)
        frame = pd.DataFrame(keys, copy=False)[cell >= 0]
        sizes = frame.groupby(list(keys), sort=False, dropna=False).size()
        if not isinstance(sizes.dtype, ProvenanceDtype):
            return result
        at = pd.Index(untrack(sizes.index.get_level_values(-1))).get_indexer(
            np.arange(len(result)))
        counted = sizes.array
        words, nodes = counted._words[at], None if counted._nodes is None else counted._nodes[at]
        empty = at < 0
        if empty.any():
            # a bin none of its group's rows fell in: that derives from all of them, as the
            # group's count of the column does (counted for those groups only: a count node
            # of a group with no empty bin would be referenced by nothing)
            ids = _group_ids(grouper)
            needed = np.zeros(int(grouper.ngroups) + 1, dtype=bool)
            needed[group[empty]] = True
            part = {k: v for k, v in keys.items() if k != "cell"}
            part["group"], part["value"] = ids, self.obj.array
            whole = pd.DataFrame(part, copy=False)[needed[ids]].groupby(
                list(part)[:-1], sort=False, dropna=False, observed=True)["value"].count()
            if not (isinstance(whole.dtype, ProvenanceDtype)
                    and whole.array._tracker is counted._tracker):
                return result
            at = pd.Index(whole.index.get_level_values(-1)).get_indexer(group[empty])
            if (at < 0).any():
                return result
            words[empty] = whole.array._words[at]
            if nodes is not None:
                nodes[empty] = _nodes_or_none(whole.array)[at]
        return pd.Series(counted._new(result.array, words, counted._tracker, nodes),
                         index=result.index, name=result.name, copy=False)

    grouped_value_counts._lumarq = True  # type: ignore[attr-defined]
    SeriesGroupBy.value_counts = grouped_value_counts  # type: ignore[method-assign]

    # A row's group number or its place in its group is its key's value in other words: plain
    # int64 let `groupby("sex").ngroup()` carry sex as an untracked code. Each row takes its
    # group's `size` word and node.
    def per_row(name: str) -> None:
        def after(self: Any, grouper: Any, result: Any) -> Any:
            if (not isinstance(result, pd.Series) or isinstance(result.dtype, ProvenanceDtype)
                    or not _grouping_arrays(grouper)):
                return result
            ids = _group_ids(grouper)
            made = counted(grouper, None, name, np.zeros(int(grouper.ngroups), dtype=np.int64))
            if made is None or len(ids) != len(result):
                return result
            # A row in no group (a missing key) is so because of its own key values.
            own = _one_key_word(made._tracker, [
                a._words for _, a in _key_arrays(grouper, made._tracker, len(ids))], len(ids))
            return pd.Series(_rows_of_groups(made, ids, result.to_numpy(), own),
                             index=result.index, name=result.name, copy=False)

        wrap(GroupBy, name, after)

    per_row("ngroup")
    per_row("cumcount")
    from pandas.core.groupby.generic import DataFrameGroupBy, SeriesGroupBy

    hook(SeriesGroupBy, "nunique", True)  # how many distinct values: as `count`
    hook(DataFrameGroupBy, "nunique", True)

    # DataFrame.value_counts counts through the grouper itself: each count takes its group's
    # size words from the hooked `size`, matched by key.
    frame_counts = pd.DataFrame.value_counts
    if getattr(frame_counts, "_lumarq", False):
        return

    @functools.wraps(frame_counts)
    def value_counts(self: pd.DataFrame, subset: Any = None, *args: Any, **kwargs: Any) -> Any:
        result = frame_counts(self, subset, *args, **kwargs)
        keys = self.columns.tolist() if subset is None else (
            list(subset) if pd.api.types.is_list_like(subset) else [subset])
        if (not isinstance(result, pd.Series) or isinstance(result.dtype, ProvenanceDtype)
                or not self.columns.is_unique
                or not any(isinstance(self[k].dtype, ProvenanceDtype) for k in keys)):
            return result
        dropna = kwargs.get("dropna", args[3] if len(args) > 3 else True)
        sizes = self.groupby(keys, sort=False, dropna=dropna, observed=False).size()
        if not isinstance(sizes.dtype, ProvenanceDtype):
            return result
        index = sizes.index if isinstance(result.index, pd.MultiIndex) == isinstance(
            sizes.index, pd.MultiIndex) else pd.MultiIndex.from_arrays([sizes.index])
        at = index.get_indexer(result.index)
        if (at < 0).any():
            return result
        arr = sizes.array
        made = arr._new(result.array, arr._words[at], arr._tracker,
                        None if arr._nodes is None else arr._nodes[at])
        return pd.Series(made, index=result.index, name=result.name, copy=False)

    value_counts._lumarq = True  # type: ignore[attr-defined]
    pd.DataFrame.value_counts = value_counts  # type: ignore[method-assign]

    # Whether an earlier row holds the same values derives from every row holding them, as
    # their count does: each flag takes its values' group word and node.
    def duplicated_hook(cls: Any) -> None:
        method = cls.duplicated
        if getattr(method, "_lumarq", False):
            return

        @functools.wraps(method)
        def duplicated(self: Any, *args: Any, **kwargs: Any) -> Any:
            result = method(self, *args, **kwargs)
            if getattr(_DROPPING, "on", False) or not _called_from_outside():
                return result  # (pandas' own uniqueness checks: wide_to_long's of its ids)
            frame = self.to_frame() if isinstance(self, pd.Series) else self
            subset = kwargs.get("subset", args[0] if args and isinstance(self, pd.DataFrame)
                                else None)
            keys = (frame.columns.tolist() if subset is None else list(subset)
                    if is_list_like(subset) else [subset])
            if (not isinstance(result, pd.Series) or isinstance(result.dtype, ProvenanceDtype)
                    or not frame.columns.is_unique
                    or not any(isinstance(frame[k].dtype, ProvenanceDtype) for k in keys)):
                return result  # (a frame's one-column subset went through the Series')
            grouper = frame.groupby(keys, sort=False, dropna=False, observed=True)._grouper
            ids = _group_ids(grouper)
            made = counted(grouper, None, "duplicated",
                           np.zeros(int(grouper.ngroups), dtype=np.int64))
            if made is None or len(ids) != len(result):
                return result
            return pd.Series(_rows_of_groups(made, ids, result.to_numpy()), index=result.index,
                             name=result.name, copy=False)

        duplicated._lumarq = True  # type: ignore[attr-defined]
        cls.duplicated = duplicated

    duplicated_hook(pd.Series)
    duplicated_hook(pd.DataFrame)

    # drop_duplicates selects rows with the flags: their words would be computed for nothing,
    # and their nodes logged for nothing.
    drop = pd.DataFrame.drop_duplicates
    if getattr(drop, "_lumarq", False):
        return

    @functools.wraps(drop)
    def drop_duplicates(self: Any, *args: Any, **kwargs: Any) -> Any:
        outer, _DROPPING.on = getattr(_DROPPING, "on", False), True
        try:
            return drop(self, *args, **kwargs)
        finally:
            _DROPPING.on = outer

    drop_duplicates._lumarq = True  # type: ignore[attr-defined]
    pd.DataFrame.drop_duplicates = drop_duplicates  # type: ignore[method-assign]


def _rows_of_groups(groups: ProvenanceArray, ids: np.ndarray, values: Any,
                    outside: np.ndarray | None = None) -> ProvenanceArray:
    """`values`, one per row, with the word and node of the row's group in `groups`; a row in
    no group takes its word from `outside` (0 without it) and no node."""
    at = np.maximum(ids, 0)
    words = np.where(ids >= 0, groups._words[at] if len(groups) else 0,
                     0 if outside is None else outside).astype(np.uint32)
    nodes = None if groups._nodes is None else np.where(ids >= 0, groups._nodes[at], -1)
    return groups._new(_plain(values), words, groups._tracker, nodes)


def _grouping_arrays(grouper: Any) -> list[tuple[Any, ProvenanceArray]]:
    """(grouping, array) of each key of `grouper` that is of the dtype (the tracked dates of a
    resampling's bins, which pandas bins on their plain copy, with no grouping)."""
    out = []
    for grouping in getattr(grouper, "groupings", ()):
        vector = getattr(grouping, "grouping_vector", None)
        arr = getattr(vector, "array", vector)
        if isinstance(arr, ProvenanceArray):
            out.append((grouping, arr))
    dates = getattr(grouper, "_lumarq_dates", None)
    if isinstance(dates, ProvenanceArray):
        out.append((None, dates))
    return out


def _key_arrays(grouper: Any, tracker: Any, n: int) -> list[tuple[Any, ProvenanceArray]]:
    """(grouping, array) of each key of `grouper` that is of the dtype under `tracker`, one
    value per row."""
    return [(g, arr) for g, arr in _grouping_arrays(grouper)
            if arr._tracker is tracker and len(arr) == n]


def _key_words(tracker: Any, n: int, ids: np.ndarray, ngroups: int) -> list[np.ndarray]:
    """Per group, the word of each key of the running group operation that is of the dtype under
    `tracker`: its value's word, combining the rows that hold it. Kept on the grouper for the
    operation's other columns."""
    grouper = getattr(_GROUPING, "grouper", None)
    if grouper is None:
        return []
    kept = getattr(grouper, "_lumarq_key_words", None)
    if kept is not None and kept[0] is tracker:
        return kept[1]
    out = []
    single = len(getattr(grouper, "groupings", ())) == 1
    for grouping, arr in _key_arrays(grouper, tracker, n):
        # One key: its factorized values (words from `factorize`) are the groups when the
        # codes are the group ids, as they are unless pandas regrouped them.
        codes, uniques = getattr(grouping, "_codes_and_uniques", (None, None))
        if (single and isinstance(uniques, ProvenanceArray)
                and uniques._tracker is tracker and len(uniques) == ngroups
                and np.array_equal(codes, ids)):
            out.append(uniques._words)
        else:
            out.append(_backend.group_combine(tracker._rust, arr._words, ids, ngroups, _OP.AGG))
    grouper._lumarq_key_words = (tracker, out)
    return out


def _whole_node(arr: ProvenanceArray, op: str, word: Any, n: int) -> np.ndarray | None:
    """One AGGREGATE node `op` (word `word`) over the distinct nodes of all of `arr`'s rows,
    as the node of each of `n` result rows computed from the whole column; None without a
    graph."""
    if arr._nodes is None or not len(arr):
        return None
    made = _log_groups(arr._tracker, op, np.array([word], dtype=np.uint32),
                       np.zeros(len(arr), np.int64), arr._nodes, 1)
    return None if made is None else np.full(n, made[0], dtype=np.int64)


def _isin_tracked_values(result: Any, values: Any) -> Any:
    """`s.isin(values)` with tracked values (a Series or array of the dtype): whether a row's
    value is among them depends on all of them (`k.isin(age // 10)` read clean of age), so
    each row also takes their whole combination, and with a DAGTracker one `isin` node over its
    own node and one `isin_values` node over the values' distinct nodes."""
    arr = values.array if isinstance(values, pd.Series | pd.Index) else values
    if not (isinstance(arr, ProvenanceArray) and arr._tracker is not None and len(arr)
            and isinstance(result, pd.Series)):
        return result
    tracker = arr._tracker
    whole = np.full(len(result), _whole_word(tracker, arr._words), dtype=np.uint32)
    mine = result.array
    if not (isinstance(mine, ProvenanceArray) and mine._tracker is not None):
        return _carry_row_words(result, result.index, tracker, whole,
                                _whole_node(arr, "isin_values", whole[0], len(result)))
    tracker = _check_trackers(mine._tracker, tracker)
    words = _combine(tracker, mine._words, whole, _OP.CMP)
    nodes = mine._nodes
    if _logs(tracker, nodes, arr._nodes):
        of_values = _whole_node(arr, "isin_values", whole[0], len(result))
        nodes = _log_rows(tracker, "isin", words, [nodes, of_values], mine._data)
    return pd.Series(mine._new(mine._data, words, tracker, nodes), index=result.index,
                     name=result.name, copy=False)


def _whole_word(tracker: Any, words: np.ndarray) -> np.uint32:
    """The combination of all of a column's words: what a value computed from every row of it
    (a rank, a correlation) derives from."""
    return _backend.group_combine(tracker._rust, words, np.zeros(len(words), dtype=np.int64), 1,
                                  _OP.AGG)[0]


def _one_key_word(tracker: Any, keys: list[np.ndarray], ngroups: int) -> np.ndarray:
    """One word per group for the words of its keys (0 where there is no key of the dtype)."""
    if not keys:
        return np.zeros(ngroups, dtype=np.uint32)
    if len(keys) == 1:
        return keys[0]
    return _backend.group_combine(tracker._rust, np.concatenate(keys),
                                  np.tile(np.arange(ngroups, dtype=np.int64), len(keys)),
                                  ngroups, _OP.AGG)


def _key_nodes(tracker: Any, n: int, ids: np.ndarray, ngroups: int
               ) -> tuple[np.ndarray, np.ndarray] | None:
    """(group, node) pairs: each group's distinct key nodes, for the keys of the running group
    operation that are of the dtype under `tracker` and carry nodes. A group's node depends on
    them as its word does on the key's words. Few in the usual case (a source column's rows
    share one node), so they are found apart from the values' members. Kept on the grouper for
    the operation's other columns."""
    grouper = getattr(_GROUPING, "grouper", None)
    kept = getattr(grouper, "_lumarq_key_nodes", None)
    if kept is not None and kept[0] is tracker and kept[1] == (n, ngroups):
        return kept[2]
    nodes = [arr._nodes for _, arr in _key_arrays(grouper, tracker, n) if arr._nodes is not None]
    out = None
    if nodes:
        ids = np.asarray(ids, dtype=np.int64)
        offsets, members = _backend.distinct_group_members(
            np.concatenate([ids] * len(nodes)) if len(nodes) > 1 else ids,
            np.ascontiguousarray(np.concatenate(nodes) if len(nodes) > 1 else nodes[0],
                                 dtype=np.int64), ngroups)
        groups = np.repeat(np.arange(ngroups, dtype=np.int64), np.diff(offsets))
        out = (groups, np.asarray(members, dtype=np.int64))
    if grouper is not None:
        grouper._lumarq_key_nodes = (tracker, (n, ngroups), out)
    return out


def _with_key_words(gb: Any, result: Any, rows: np.ndarray | None = None,
                    anywhere: bool = False, op: str = "group") -> Any:
    """`result` of a group transform pandas computed from per-group steps (a Python function,
    `diff`, `pct_change`), its rows of the dtype combined with their group key's word: the
    value of a row was computed within the group its key chose (income minus its gender's
    mean depends on gender), as an aggregation's is. `rows`, when given, is the group of each
    result row; `anywhere` says it is unknown, and each row takes every group's key word."""
    grouper = getattr(gb, "_grouper", None)
    obj = getattr(gb, "_selected_obj", None)
    if grouper is None or obj is None or not isinstance(result, pd.Series | pd.DataFrame):
        return result
    ids = _group_ids(grouper)
    source = None  # the row of the grouped object each result row is, where known
    if anywhere:
        rows = np.zeros(len(result), dtype=np.int64)  # one stand-in group for all
    if rows is not None:
        if len(rows) != len(result):
            return result
    elif result.index.equals(obj.index):
        rows = ids  # the group of each result row
        source = np.arange(len(ids))
    else:
        # apply's rows per member, in group order, under their group keys or not, without the
        # rows of a missing key: found by their own labels
        inner = result.index
        extra = inner.nlevels - obj.index.nlevels
        if extra < 0 or not obj.index.is_unique:
            return result
        pos = obj.index.get_indexer(inner.droplevel(list(range(extra))) if extra else inner)
        if (pos < 0).any():
            return result
        rows = ids[pos]
        source = pos
    columns = [result] if isinstance(result, pd.Series) else [result.iloc[:, i]
                                                               for i in range(result.shape[1])]
    out = []
    for col in columns:
        arr = col.array
        if not (isinstance(arr, ProvenanceArray) and arr._tracker is not None):
            out.append(col)
            continue
        with _grouping(grouper):
            keys = _key_words(arr._tracker, len(ids), ids, int(grouper.ngroups))
        words, nodes = arr._words, None if arr._nodes is None else arr._nodes.copy()
        # With a DAGTracker a row takes a node per key over its node and its key row's, so its
        # graph reaches the key its word names (a shifted row's graph missed it, and a row
        # shifted in had no node at all).
        key_nodes = []
        if (source is not None or not anywhere) and _logs(arr._tracker, nodes):
            key_nodes = _row_key_nodes(grouper, arr._tracker, len(ids))
            if source is None:
                # rows known by their group alone (date bins): the node of its first member
                first = np.full(int(grouper.ngroups), -1, dtype=np.int64)
                member = np.flatnonzero(ids >= 0)[::-1]
                first[ids[member]] = member
                source = np.where(rows >= 0, first[np.maximum(rows, 0)], -1)
            key_nodes = [np.where(source >= 0, kn[np.maximum(source, 0)], -1)
                         for kn in key_nodes]
        # a row whose key is missing is in no group: its own key values chose its value (none
        # taken from another row), so it takes their words, as ngroup and cumcount give them
        own = ([] if source is None or anywhere or not (rows < 0).any() else
               [np.where(source >= 0, a._words[np.maximum(source, 0)], 0).astype(np.uint32)
                for _, a in _key_arrays(grouper, arr._tracker, len(ids))])
        for k, key in enumerate(keys):
            key = np.asarray(key, dtype=np.uint32)
            if anywhere:
                key = np.array([_whole_word(arr._tracker, key) if len(key) else 0], np.uint32)
            row = np.where(rows >= 0, key[np.maximum(rows, 0)],
                           own[k] if len(own) == len(keys) else 0)
            words = _combine(arr._tracker, words, row.astype(np.uint32), _OP.AGG)
            if len(key_nodes) == len(keys):
                nodes = _log_rows(arr._tracker, op, words, [nodes, key_nodes[k]],
                                  arr._data if k == len(keys) - 1 else None, kind=_AGGREGATE)
        out.append(col if not keys else pd.Series(
            arr._new(arr._data, words, arr._tracker, nodes),
            index=col.index, name=col.name, copy=False))
    if isinstance(result, pd.Series):
        return out[0]
    for i, col in enumerate(out):
        if col is not columns[i]:
            result.isetitem(i, col)
    return result


def _broadcast_group_words(gb: Any, result: Any) -> Any:
    """`result` of `transform` with a Python function, each plain column that comes from a
    column of the dtype given per row its group's word and node, as `transform("mean")` gives
    them: pandas rebuilt the per-group results (a scalar per group spread over its rows,
    `lambda x: x.mean()`, `len`) as plain values, so a mean income by gender read clean of both.
    Which rows of the group the function read is unknown, so all of them count, and the key."""
    grouper = getattr(gb, "_grouper", None)
    obj = getattr(gb, "_selected_obj", None)
    if (grouper is None or obj is None or not isinstance(result, pd.Series | pd.DataFrame)
            or not result.index.equals(obj.index) or not _worded_arrays(obj)):
        return result
    ids = _group_ids(grouper)
    ngroups = int(grouper.ngroups)
    if len(ids) != len(obj):
        return result
    found: dict[int, ProvenanceArray] = {}

    def tracked(source: Any, col: pd.Series) -> pd.Series:
        arr = source.array
        if (not (isinstance(arr, ProvenanceArray) and arr._tracker is not None)
                or isinstance(col.dtype, ProvenanceDtype) or not _holdable(col)):
            return col
        key = id(arr)  # the frame keeps the array alive: one node per group and column
        if key not in found:
            with _grouping(grouper):
                words, nodes = arr._group_words("transform", ids, ngroups)
            found[key] = arr._new(np.zeros(ngroups), words, arr._tracker, nodes)
        # a row in no group (a missing key) gets word 0 and no node, as named transforms give
        return pd.Series(_rows_of_groups(found[key], ids, col.array), index=col.index,
                         name=col.name, copy=False)

    if isinstance(result, pd.Series):
        return tracked(obj, result) if isinstance(obj, pd.Series) else result
    if isinstance(obj, pd.Series) or not obj.columns.is_unique:
        return result
    for i, label in enumerate(result.columns):
        if label in obj.columns:
            col = result.iloc[:, i]
            out = tracked(obj[label], col)
            if out is not col:
                result.isetitem(i, out)
    return result


_OHLC = ("open", "high", "low", "close")


def _group_reduced(gb: Any, result: Any, how: str) -> Any:
    """`result` of a group reduction pandas computes from plain values (`quantile`, `ohlc`),
    each column that comes from a column of the dtype given that column's group words and
    nodes, as `sum` gives them: one row per group, or several in group order (a list of
    quantiles)."""
    grouper = getattr(gb, "_grouper", None)
    obj = getattr(gb, "_selected_obj", None)
    if (grouper is None or obj is None or not isinstance(result, pd.Series | pd.DataFrame)
            or isinstance(getattr(gb, "keys", None), pd.Grouper) or not _worded_arrays(obj)):
        return result
    ngroups = int(grouper.ngroups)
    if ngroups == 0 or len(result) % ngroups:
        return result
    repeat = len(result) // ngroups
    ids = _group_ids(grouper)
    if len(ids) != len(obj):
        return result
    found: dict[Any, tuple[np.ndarray, np.ndarray | None]] = {}

    def tracked(source: Any, values: pd.Series) -> pd.Series:
        arr, got = source.array, values.array
        if (not (isinstance(arr, ProvenanceArray) and arr._tracker is not None)
                or (isinstance(got, ProvenanceArray) and got._tracker is not None)):
            return values  # tracked by a Series' step
        if isinstance(got, ProvenanceArray):  # pandas 2.2 casts a function's results back
            got = got._data  # into the dtype, without words
        values = pd.Series(got, index=values.index, name=values.name, copy=False)
        # Keyed by the column's array, which the frame keeps alive: a column Series is made
        # anew per look-up (pandas 3) and a freed one's id was taken by the next column's.
        key = id(arr)
        if key not in found:  # one node per group, however many columns come from it
            with _grouping(grouper):
                found[key] = arr._group_words(how, ids, ngroups)
        words, nodes = found[key]
        if repeat > 1:
            words = np.repeat(words, repeat)
            nodes = None if nodes is None else np.repeat(nodes, repeat)
        return pd.Series(arr._new(values.array, words.copy(), arr._tracker,
                                  None if nodes is None else nodes.copy()),
                         index=values.index, name=values.name, copy=False)

    if isinstance(result, pd.Series):
        return tracked(obj, result) if isinstance(obj, pd.Series) else result
    if isinstance(obj, pd.DataFrame) and not obj.columns.is_unique:
        return result
    for i, label in enumerate(result.columns):
        if isinstance(obj, pd.Series):
            # A Series' own columns: its name, or the four of ohlc (not an as_index=False key).
            if how == "ohlc":
                own = label in _OHLC
            elif how in ("agg", "describe"):  # every function's column, not a key's
                own = label not in grouper.names
            else:
                own = label == obj.name
            if not own:
                continue
            source = obj
        else:
            name = label[0] if isinstance(result.columns, pd.MultiIndex) else label
            if name not in obj.columns:
                continue
            source = obj[name]
        if isinstance(source, pd.Series):
            result.isetitem(i, tracked(source, result.iloc[:, i]))
    return result


def _keyed_group_words(tracker: Any, n: int, ids: np.ndarray, ngroups: int,
                       words: np.ndarray, group_of: np.ndarray) -> np.ndarray:
    """Each group's combination of the member words `words` (member i in group group_of[i])
    and of the running group operation's keys (n rows in groups `ids`): a group's value was
    computed over the rows its key chose, so the key joins as one more member (mean income by
    gender derives from gender)."""
    keys = _key_words(tracker, n, ids, ngroups)
    if keys:
        words = np.concatenate([words, *keys])
        group_of = np.concatenate([group_of, *[np.arange(ngroups, dtype=np.int64)] * len(keys)])
    return _backend.group_combine(tracker._rust, words, group_of, ngroups, _OP.AGG)


def _keyed_group_nodes(tracker: Any, n: int, ids: np.ndarray, ngroups: int, op: str,
                       words: np.ndarray, members: np.ndarray | None,
                       group_of: np.ndarray) -> np.ndarray | None:
    """One node `op` per group (word words[g]) over its members' distinct nodes (member i in
    group group_of[i]), then its keys': the graph reaches the keys' sources as the word does."""
    if members is not None:
        keys = _key_nodes(tracker, n, ids, ngroups)
        if keys:
            group_of = np.concatenate([group_of, keys[0]])
            members = np.concatenate([members, keys[1]])
    return _log_groups(tracker, op, words, group_of, members, ngroups)


def _group_applied(gb: Any, result: Any) -> Any:
    """`result` of `groupby(...).apply` with one row per group (a function reducing each group):
    each plain column the dtype can hold takes its group's combination over every tracked
    column the function was handed and the key, with one `apply` node per group. Which columns
    the function read is unknown, so all count."""
    grouper = getattr(gb, "_grouper", None)
    obj = getattr(gb, "_selected_obj", None)
    if grouper is None or obj is None or not isinstance(result, pd.Series | pd.DataFrame):
        return result
    arrays = _worded_arrays(obj)
    if not arrays or len({id(a._tracker) for a in arrays}) != 1:
        return result
    ngroups = int(grouper.ngroups)
    ids = _group_ids(grouper)
    if getattr(grouper, "_lumarq_bins", False):
        # date bins per group (`groupby(...).resample(...)`), tracked by the bins' own
        # reductions: the rows also take their group key's word
        rows = _bin_groups(grouper, result)
        return _with_key_words(gb, result, rows, anywhere=rows is None, op="group_resample")
    if len(result) != ngroups or _member_rows(gb, obj, grouper, result):
        # one row per member, as a transform: the rows take their key's word, as transform's
        return _with_key_words(gb, result, op="group_apply")
    if not ngroups or len(result) != ngroups or len(ids) != len(obj):
        return result
    tracker, n = arrays[0]._tracker, len(ids)
    group_of = np.tile(ids, len(arrays))
    with _grouping(grouper):
        words = _keyed_group_words(tracker, n, ids, ngroups,
                                   np.concatenate([a._words for a in arrays]), group_of)
        nodes = None
        if any(a._nodes is not None for a in arrays):
            nodes = _keyed_group_nodes(tracker, n, ids, ngroups, "apply", words,
                                       np.concatenate([_nodes_or_none(a) for a in arrays]),
                                       group_of)
    return _carry_row_words(result, result.index, tracker, words, nodes)


def _member_rows(gb: Any, obj: Any, grouper: Any, result: Any) -> bool:
    """Whether `result` of an apply with one row per group holds member rows (`nlargest(1)`):
    not under the group keys alone, its rows found by their labels (after any key levels) and
    its tracked columns holding those rows' words as they were."""
    index = result.index
    extra = index.nlevels - obj.index.nlevels
    if (not getattr(gb, "as_index", True) or extra < 0 or not obj.index.is_unique
            or not isinstance(obj, pd.DataFrame | pd.Series)):
        return False
    try:
        keys = grouper.result_index
        if index.nlevels == keys.nlevels and list(index) == list(keys):
            return False  # under the group keys: a reduction's rows
        pos = obj.index.get_indexer(index.droplevel(list(range(extra))) if extra else index)
    except (TypeError, ValueError):
        return False
    if (pos < 0).any():
        return False
    frame = obj.to_frame() if isinstance(obj, pd.Series) else obj
    cols = result.to_frame() if isinstance(result, pd.Series) else result
    found = False
    for label in cols.columns:
        if not (frame.columns.is_unique and label in frame.columns and cols.columns.is_unique):
            return False
        mine, theirs = cols[label].array, frame[label].array
        if isinstance(mine, ProvenanceArray) and isinstance(theirs, ProvenanceArray):
            if not np.array_equal(mine._words, theirs._words[pos]):
                return False
            found = True
    return found


def _bin_groups(grouper: Any, result: Any) -> np.ndarray | None:
    """The group of each row of a per-group resampling's `result`, found by the group keys that
    lead its index (pandas puts them before the bins' dates); None when the index has no keys
    (`group_keys=False`, `as_index=False`) or they cannot be found."""
    index = getattr(result, "index", None)
    nkeys = len(getattr(grouper, "groupings", ()))
    if not (isinstance(index, pd.MultiIndex) and nkeys and index.nlevels == nkeys + 1):
        return None
    try:
        rows = np.asarray(grouper.result_index.get_indexer(index.droplevel(-1)),
                          dtype=np.int64)
    except (TypeError, ValueError):  # keys pandas cannot look up here (duplicates, types)
        return None
    return None if (rows < 0).any() else rows


_PANDAS_DIR = os.path.dirname(pd.__file__)


def _as_caller(call: Callable[..., Any], /, *args: Any, **kwargs: Any) -> Any:
    """call(*args, **kwargs) for a hook. pandas points its warnings at the first frame outside
    pandas, the hook's, so a user never saw its deprecation notes (shown only for the script
    itself by default): those are raised again at the hook's caller, the others as they were.
    (`call` is positional only: pandas methods take a `method` keyword.)"""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = call(*args, **kwargs)
    for w in caught:
        if w.filename == __file__ or w.filename.startswith(_PANDAS_DIR):
            warnings.warn(w.message, w.category, stacklevel=3)
        else:
            warnings.warn_explicit(w.message, w.category, w.filename, w.lineno)
    return result


def _warn_at_caller(caught: list[warnings.WarningMessage]) -> None:
    """Warnings pandas gave inside a step of its own that a wrapper here runs, shown at the
    first frame outside pandas and this module, where pandas itself points them."""
    frame, level = inspect.currentframe(), 1
    while frame is not None and (frame.f_code.co_filename == __file__
                                 or frame.f_code.co_filename.startswith(_PANDAS_DIR)):
        frame, level = frame.f_back, level + 1
    for w in caught:
        warnings.warn(w.message, w.category, stacklevel=level)


def _named_alias(func: Any) -> bool:
    """Whether pandas runs the function `func` as its named group reduction (pandas 2.2 does
    for `np.sum`, `np.nanmax`, `max`, ...; pandas 3 calls the function)."""
    if _PANDAS_3:
        return False
    from pandas.core import common

    alias = getattr(common, "get_cython_func", None)
    return alias is not None and alias(func) is not None


def _install_group_transform_hooks() -> None:
    from pandas.core.groupby import generic, groupby

    def hook(method: Callable[..., Any], when: Callable[..., bool]) -> Callable[..., Any]:
        @functools.wraps(method)
        def hooked(self: Any, *args: Any, **kwargs: Any) -> Any:
            result = _as_caller(method, self, *args, **kwargs)
            if method.__name__ == "diff":
                result = _small_int_diff(self.obj, result)
            if not when(*args, **kwargs):
                return result
            return _with_key_words(self, result, op=f"group_{method.__name__}")

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    def transform(method: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(method)
        def hooked(self: Any, func: Any = None, *args: Any, **kwargs: Any) -> Any:
            result = _as_caller(method, self, func, *args, **kwargs)
            if not callable(func) or _named_alias(func):
                return result  # a named reduction takes the key's word already
            return _broadcast_group_words(self, _with_key_words(self, result,
                                                                op="group_transform"))

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    for cls in (generic.SeriesGroupBy, generic.DataFrameGroupBy):
        if not getattr(cls.transform, "_lumarq", False):
            cls.transform = transform(cls.transform)
    # shift, ffill and bfill take a row's value from another row of its group: which row, and
    # whether any, the key chose (the value of a row read clean of the gender that chose it)
    for name in ("diff", "pct_change", "shift", "ffill", "bfill"):
        method = getattr(groupby.GroupBy, name)
        if not getattr(method, "_lumarq", False):
            setattr(groupby.GroupBy, name, hook(method, lambda *a, **k: True))

    # Reductions pandas computes from plain values came back plain.
    def reduction(method: Callable[..., Any], track: Callable[[Any, Any], Any]
                  ) -> Callable[..., Any]:
        @functools.wraps(method)
        def hooked(self: Any, *args: Any, **kwargs: Any) -> Any:
            return track(self, _as_caller(method, self, *args, **kwargs))

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    def on_plain_values(method: Callable[..., Any]) -> Callable[..., Any]:
        # pandas 2.2 takes group quantiles through numpy, knowing only its own arrays: nullable
        # values gave float64 and dates raised. They are taken of the plain values on the same
        # groups (as the group resample below regroups them), as pandas 3 asks the values.
        @functools.wraps(method)
        def hooked(self: Any, *args: Any, **kwargs: Any) -> Any:
            obj = getattr(self, "obj", None)
            if (obj is not None and getattr(self, "axis", 0) == 0
                    and any(isinstance(t, ProvenanceDtype) for t in (
                        obj.dtypes if isinstance(obj, pd.DataFrame) else [obj.dtype]))):
                with warnings.catch_warnings():  # pandas 2.2 warned at the groupby already
                    warnings.simplefilter("ignore", FutureWarning)
                    self = type(self)(
                        untrack(obj), self.keys, level=self.level, grouper=self._grouper,
                        exclusions=self.exclusions, selection=self._selection,
                        as_index=self.as_index, sort=self.sort, group_keys=self.group_keys,
                        observed=self.observed, dropna=self.dropna)
            return _as_caller(method, self, *args, **kwargs)

        return hooked

    for name in ("quantile", "ohlc", "describe"):
        method = getattr(groupby.GroupBy, name)
        if not getattr(method, "_lumarq", False):
            if name == "quantile" and not _PANDAS_3:
                method = on_plain_values(method)
            setattr(groupby.GroupBy, name,
                    reduction(method, functools.partial(_group_reduced, how=name)))

    # A Python function (or several) per group gave plain values, so the largest credit by
    # gender read clean of gender: each group's result derives from its rows and its key, as a
    # sum does. Named reductions are tracked on their way already and stay as they come.
    def python_agg(method: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(method)
        def hooked(self: Any, func: Any = None, *args: Any, **kwargs: Any) -> Any:
            result = _as_caller(method, self, func, *args, **kwargs)
            return result if isinstance(func, str) else _group_reduced(self, result, "agg")

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    for cls in (generic.SeriesGroupBy, generic.DataFrameGroupBy):
        for name in ("aggregate", "agg"):
            method = getattr(cls, name)
            if not getattr(method, "_lumarq", False):
                setattr(cls, name, python_agg(method))
        if not getattr(cls.apply, "_lumarq", False):
            cls.apply = reduction(cls.apply, _group_applied)


def _group_key_words(grouper: Any, tracker: Any, n: int) -> np.ndarray | None:
    """Each row's key word under `grouper` (all its keys of the dtype under `tracker`
    combined; 0 for a row in no group), or None when no key is of the dtype."""
    ids = _group_ids(grouper)
    ngroups = int(grouper.ngroups)
    with _grouping(grouper):
        keys = _key_words(tracker, n, ids, ngroups)
    if not keys:
        return None
    per_group = _one_key_word(tracker, keys, ngroups)
    return np.where(ids >= 0, per_group[np.maximum(ids, 0)] if ngroups else 0,
                    0).astype(np.uint32)


def _window_bounds(win: Any, n: int) -> tuple[np.ndarray, np.ndarray]:
    """The rows each result row of the window `win` was computed from, as pandas bounds them:
    [start, end) per result row. An exponentially weighted row follows every earlier row of
    its window (its group's rows, or all rows)."""
    from pandas.core.indexers.objects import FixedWindowIndexer
    from pandas.core.window.ewm import ExponentialMovingWindow

    indexer = win._get_window_indexer()
    if (type(indexer) is FixedWindowIndexer and not getattr(win, "center", False)
            and getattr(win, "closed", None) in (None, "right")
            and getattr(win, "step", None) in (None, 1)):
        # The usual trailing window, without pandas' general bounds (half the window's cost).
        end = np.arange(1, n + 1, dtype=np.int64)
        return np.maximum(end - int(indexer.window_size), 0), end
    min_periods = win.min_periods if win.min_periods is not None else getattr(
        indexer, "window_size", 0)
    start, end = indexer.get_window_bounds(
        num_values=n, min_periods=min_periods, center=getattr(win, "center", False),
        closed=getattr(win, "closed", None), step=getattr(win, "step", None))
    start, end = np.asarray(start, dtype=np.int64), np.asarray(end, dtype=np.int64)
    if isinstance(win, ExponentialMovingWindow):
        lengths = end - start
        if lengths.sum() != n:
            raise ValueError("exponential windows do not cover the rows")
        return np.repeat(start, lengths), np.arange(1, n + 1, dtype=np.int64)
    return start, end


def _window_op(win: Any, args: tuple[Any, ...], kwargs: dict[str, Any]) -> str:
    """The node operation of a window's aggregation: "rolling_mean", "ewm_std", ..."""
    from pandas.core.window.ewm import ExponentialMovingWindow
    from pandas.core.window.expanding import Expanding

    name = kwargs.get("name", args[1] if len(args) > 1 else None)  # _apply(func, name, ...)
    kind = ("ewm" if isinstance(win, ExponentialMovingWindow)
            else "expanding" if isinstance(win, Expanding) else "rolling")
    return f"{kind}_{name}" if isinstance(name, str) and name else kind


def _window_words(win: Any, result: Any, op: str = "rolling") -> Any:
    """`result` of a rolling, expanding or exponentially weighted window over `win`'s object
    with each column of the dtype tracked again: a row carries the combination of the words
    of the rows its window covered (OpCode.AGG). pandas computes windows from plain float
    values, so its result had no words, and a rolling mean of a protected column read as
    derived from nothing. Under a DAGTracker each row also gets a node reaching exactly the
    rows of its window (and their group keys')."""
    from pandas.core.window import rolling

    obj = win._selected_obj
    if isinstance(obj, pd.Series):
        if not isinstance(result, pd.Series):
            return result
        columns = [(None, obj)]
    elif (isinstance(result, pd.DataFrame) and obj.columns.is_unique
          and result.columns.is_unique):
        on = getattr(win, "on", None)
        columns = [(label, obj[label]) for label in result.columns
                   if label in obj.columns and not (on is not None and label == on)]
    else:
        return result
    columns = [(label, column) for label, column in columns
               if isinstance(column.dtype, ProvenanceDtype) and column.array._tracker is not None]
    if not columns:
        return result
    n = len(obj)
    order = keys = None
    group_window = getattr(rolling, "BaseWindowGroupBy", None) or rolling.BaseWindowGroupby
    if isinstance(win, group_window) and n:  # (pandas 2.2 spells it BaseWindowGroupby)
        # pandas runs group windows over the rows in group order (the result still is), and
        # a group's key chose its rows: its word joins each window, as for group reductions.
        order = np.concatenate(list(win._grouper.indices.values())).astype(np.int64)
        keys = _group_key_words(win._grouper, columns[0][1].array._tracker, n)
        keys = None if keys is None else keys[order]
    try:
        start, end = _window_bounds(win, n)
    except (AttributeError, TypeError, ValueError, NotImplementedError):
        return result  # a window pandas bounds in a way not followed here stays plain
    if len(start) != len(result):
        return result
    for label, column in columns:
        arr = column.array
        words = arr._words if order is None else arr._words[order]
        out = _backend.range_combine(arr._tracker._rust, words, start, end, _OP.AGG,
                                     keys if arr._tracker is columns[0][1].array._tracker
                                     else None)
        nodes = None
        if arr._nodes is not None:
            row_nodes = [arr._nodes]
            if order is not None:
                row_nodes += _row_key_nodes(win._grouper, arr._tracker, n)
                row_nodes = [x[order] for x in row_nodes]
            nodes = _log_windows(arr._tracker, op, words, row_nodes, start, end, out)
            if nodes is not None:
                _record_window_values(arr._tracker, op, out, (
                    result if label is None else result[label]).array)
        if label is None:
            return pd.Series(arr._new(result.array, out, arr._tracker, nodes),
                             index=result.index, name=result.name, copy=False)
        i = result.columns.get_loc(label)
        result.isetitem(i, pd.Series(arr._new(result.iloc[:, i].array, out, arr._tracker,
                                              nodes), index=result.index, copy=False))
    return result


def _pairwise_window(win: Any, other: Any, result: Any, op: str) -> Any:
    """`result` of a window correlation or covariance of a Series with another Series, tracked:
    row i takes the combination (OpCode.AGG) of both Series' words over its window, and under a
    DAGTracker a node reaching exactly those rows of both. pandas computes it from plain values,
    so it came back plain."""
    from pandas.core.window import rolling

    obj = getattr(win, "_selected_obj", None)
    group_window = getattr(rolling, "BaseWindowGroupBy", None) or rolling.BaseWindowGroupby
    if not (isinstance(obj, pd.Series) and isinstance(other, pd.Series)
            and isinstance(result, pd.Series) and not isinstance(win, group_window)
            and len(result) == len(obj) and result.index.equals(obj.index)
            and other.index.equals(obj.index)):
        return result  # pandas aligned the two on the union of their labels: left plain
    sides = [x.array for x in (obj, other)
             if isinstance(x.array, ProvenanceArray) and x.array._tracker is not None]
    if not sides:
        return result
    tracker = None
    for arr in sides:
        tracker = _check_trackers(tracker, arr._tracker)
    n = len(obj)
    try:
        start, end = _window_bounds(win, n)
    except (AttributeError, TypeError, ValueError, NotImplementedError):
        return result
    if len(start) != n:
        return result
    # Both Series' rows, interleaved: a window over rows [s, e) covers cells [2s, 2e).
    cells = np.stack([arr._words for arr in sides], axis=1).reshape(-1)
    k = len(sides)
    words = _backend.range_combine(tracker._rust, cells, start * k, end * k, _OP.AGG)
    nodes = None
    if any(arr._nodes is not None for arr in sides):
        row_words = sides[0]._words if k == 1 else _combine(tracker, sides[0]._words,
                                                            sides[1]._words, _OP.AGG)
        nodes = _log_windows(tracker, op, row_words, [_nodes_or_none(arr) for arr in sides],
                             start, end, words)
        if nodes is not None:
            _record_window_values(tracker, op, words, result.array)
    return pd.Series(ProvenanceArray(result.array, words, tracker, nodes=nodes),
                     index=result.index, name=result.name, copy=False)


def _install_window_hooks() -> None:
    from pandas.core.window import ewm, rolling

    def pairwise(method: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(method)
        def hooked(self: Any, other: Any = None, *args: Any, **kwargs: Any) -> Any:
            if not isinstance(other, pd.Series) or not (
                    isinstance(other.dtype, ProvenanceDtype)
                    or isinstance(getattr(self._selected_obj, "dtype", None), ProvenanceDtype)):
                return method(self, other, *args, **kwargs)
            # pandas aligns the two through arithmetic on them (x + 0 * y), which would log
            # nodes nothing refers to.
            result = _quietly(method, self, other, *args, **kwargs)
            return _pairwise_window(self, other, result, f"{_window_op(self, (), {})}_"
                                                         f"{method.__name__}")

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    for cls in (rolling.RollingAndExpandingMixin, ewm.ExponentialMovingWindow):
        for name in ("corr", "cov"):
            method = cls.__dict__.get(name)
            if method is not None and not getattr(method, "_lumarq", False):
                setattr(cls, name, pairwise(method))

    def hook(apply: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(apply)
        def hooked(self: Any, *args: Any, **kwargs: Any) -> Any:
            return _window_words(self, apply(self, *args, **kwargs),
                                 _window_op(self, args, kwargs))

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    # Rolling, expanding and exponential windows (and their group forms) run through
    # BaseWindow._apply; weighted windows through their own.
    for cls in (rolling.BaseWindow, rolling.Window):
        if not getattr(cls.__dict__["_apply"], "_lumarq", False):
            cls._apply = hook(cls.__dict__["_apply"])

    frame_rank = pd.DataFrame.rank
    if getattr(frame_rank, "_lumarq", False):
        return

    @functools.wraps(frame_rank)
    def rank(self: pd.DataFrame, axis: Any = 0, *args: Any, **kwargs: Any) -> Any:
        # pandas ranks a frame's columns from its 2-D plain values; each column of the dtype is
        # ranked again as a Series, whose ranks carry the column's words.
        result = frame_rank(self, axis, *args, **kwargs)
        if axis in (1, "columns") and not args and isinstance(result, pd.DataFrame) and (
                result.columns.is_unique and _has_dtype_columns(self)):
            # a rank across a row derives from every cell of the row it ranked (it was plain)
            return _by_row(self[result.columns], result, "rank")
        if (args or axis not in (0, "index") or not isinstance(result, pd.DataFrame)
                or not _has_dtype_columns(self) or not result.columns.is_unique
                or not self.columns.is_unique):
            return result
        kwargs.pop("numeric_only", None)
        for i, label in enumerate(result.columns):
            column = self[label]
            if isinstance(column.dtype, ProvenanceDtype):
                alt = column.rank(**kwargs)
                if untrack(alt).equals(result.iloc[:, i]):
                    result.isetitem(i, alt)
        return result

    rank._lumarq = True  # type: ignore[attr-defined]
    pd.DataFrame.rank = rank  # type: ignore[method-assign]


def _dated(values: Any) -> bool:
    """Whether `values` (an index or column) is of the dtype with dates, durations or periods."""
    dtype = getattr(values, "dtype", None)
    return isinstance(dtype, ProvenanceDtype) and getattr(
        dtype.subtype, "kind", "O") in "mM" or (
        isinstance(dtype, ProvenanceDtype) and isinstance(dtype.subtype, pd.PeriodDtype))


def _bins_take_dates(bins: Any, dates: Any) -> None:
    """A date bin's value was computed over the rows its dates chose, as a group's over the rows
    its key chose: the tracked dates join each bin of the grouper `bins` (they read clean of a
    protected date). Only for dates in ascending order: pandas bins rows as they are then."""
    arr = getattr(dates, "array", None)
    if (isinstance(arr, ProvenanceArray) and arr._tracker is not None and bins is not None
            and getattr(dates, "is_monotonic_increasing", False)):
        bins._lumarq_dates = arr


def _install_time_hooks() -> None:
    # pandas bins by date only on a DatetimeIndex (or a date column's plain values), which an
    # index or column of the dtype is not: resampling and time-based windows raised TypeError.
    # They run on a shallow copy whose date index or `on` column is plain; the other columns
    # keep their words and the aggregations combine them by bin or window.
    def plain_dates(obj: Any, on: Any) -> Any:
        if on is not None:
            if (isinstance(obj, pd.DataFrame) and obj.columns.is_unique and on in obj.columns
                    and _dated(obj[on])):
                obj = obj.copy(deep=False)
                obj[on] = untrack(obj[on])
            return obj
        if _dated(obj.index) and not isinstance(obj.index, pd.MultiIndex):
            obj = obj.copy(deep=False)
            obj.index = _plain_index(obj.index)
        return obj

    def resample_hook(method: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(method)
        def hooked(self: Any, rule: Any, *args: Any, **kwargs: Any) -> Any:
            dates = None
            if kwargs.get("level") is None:
                on = kwargs.get("on")
                dates = (self[on] if on is not None and isinstance(self, pd.DataFrame)
                         and self.columns.is_unique and on in self.columns else
                         self.index if on is None else None)
                self = plain_dates(self, on)
            resampler = _as_caller(method, self, rule, *args, **kwargs)
            _bins_take_dates(getattr(resampler, "_grouper", None), dates)
            return resampler

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    def group_resample_hook(method: Callable[..., Any]) -> Callable[..., Any]:
        # pandas bins the whole object's dates before it splits the groups, so the groups are
        # regrouped as they are on a shallow copy whose dates are plain; the grouper, a copy
        # of theirs, tells apply that its rows are date bins of the groups (found by their
        # keys: a bin's date may be another group's row).
        @functools.wraps(method)
        def hooked(self: Any, rule: Any, *args: Any, **kwargs: Any) -> Any:
            obj = getattr(self, "obj", None)
            grouper = getattr(self, "_grouper", None)
            if (obj is not None and grouper is not None and kwargs.get("level") is None
                    and getattr(self, "axis", 0) == 0):
                plain = plain_dates(obj, kwargs.get("on"))
                if plain is not obj or _worded_arrays(obj):
                    grouper = copy.copy(grouper)
                    grouper._lumarq_bins = True
                    with warnings.catch_warnings():  # pandas 2.2 warned at the groupby already
                        warnings.simplefilter("ignore", FutureWarning)
                        self = type(self)(
                            plain, self.keys, level=self.level, grouper=grouper,
                            exclusions=self.exclusions, selection=self._selection,
                            as_index=self.as_index, sort=self.sort,
                            group_keys=self.group_keys, observed=self.observed,
                            dropna=self.dropna)
            return _as_caller(method, self, rule, *args, **kwargs)

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    def rolling_hook(method: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(method)
        def hooked(self: Any, window: Any, *args: Any, **kwargs: Any) -> Any:
            if not is_integer(window) and not hasattr(window, "get_window_bounds"):
                self = plain_dates(self, kwargs.get("on"))  # an offset needs dates
            return _as_caller(method, self, window, *args, **kwargs)

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    def groupby_hook(method: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(method)
        def hooked(self: Any, by: Any = None, *args: Any, **kwargs: Any) -> Any:
            dates = None
            for key in by if isinstance(by, list) else [by]:
                if isinstance(key, pd.Grouper) and getattr(key, "freq", None) is not None \
                        and getattr(key, "level", None) is None:
                    on = getattr(key, "key", None)
                    dates = (self.index if on is None else self[on]
                             if isinstance(self, pd.DataFrame) and self.columns.is_unique
                             and on in self.columns else None)
                    self = plain_dates(self, on)  # date bins
            grouped = _as_caller(method, self, by, *args, **kwargs)
            if not isinstance(by, list):  # one key of date bins: its dates join them
                _bins_take_dates(getattr(grouped, "_grouper", None), dates)
            return grouped

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    def date_lookup(method: Callable[..., Any]) -> Callable[..., Any]:
        name = method.__name__

        @functools.wraps(method)
        def hooked(self: Any, *args: Any, **kwargs: Any) -> Any:
            if _dated(self) and not isinstance(self, pd.MultiIndex):
                # Positions of a DatetimeIndex of the same values: partial dates ("2024-01")
                # and date strings as labels and slice bounds.
                return getattr(_plain_index(self), name)(*args, **kwargs)
            return method(self, *args, **kwargs)

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    for name in ("get_loc", "slice_indexer"):
        if not getattr(getattr(pd.Index, name), "_lumarq", False):
            setattr(pd.Index, name, date_lookup(getattr(pd.Index, name)))

    strict = pd.Index._get_indexer_strict
    if not getattr(strict, "_lumarq", False):
        @functools.wraps(strict)
        def get_indexer_strict(self: Any, key: Any, axis_name: Any) -> Any:
            try:
                return strict(self, key, axis_name)
            except KeyError:
                if not _dated(self) or isinstance(self, pd.MultiIndex):
                    raise
            # A list of date labels (`df.loc[["2024-01-02"]]`) found as a DatetimeIndex of the
            # same dates finds them; the labels are the index's own rows, words included.
            _, indexer = _plain_index(self)._get_indexer_strict(key, axis_name)
            return self.take(indexer), indexer

        get_indexer_strict._lumarq = True  # type: ignore[attr-defined]
        pd.Index._get_indexer_strict = get_indexer_strict
    # Group windows (`groupby(...).rolling("7D", on=...)`) get their object from the groupby,
    # not through Series/DataFrame.rolling.
    from pandas.core.window import rolling

    group_window = getattr(rolling, "BaseWindowGroupBy", None) or rolling.BaseWindowGroupby
    init = group_window.__init__
    if not getattr(init, "_lumarq", False):
        @functools.wraps(init)
        def group_init(self: Any, obj: Any, *args: Any, **kwargs: Any) -> None:
            window = args[0] if args else kwargs.get("window")
            if (window is not None and not is_integer(window)
                    and not hasattr(window, "get_window_bounds")):
                obj = plain_dates(obj, kwargs.get("on"))
            init(self, obj, *args, **kwargs)

        group_init._lumarq = True  # type: ignore[attr-defined]
        group_window.__init__ = group_init
    from pandas.core.groupby import groupby

    if not getattr(groupby.GroupBy.resample, "_lumarq", False):
        groupby.GroupBy.resample = group_resample_hook(groupby.GroupBy.resample)
    for cls in (pd.Series, pd.DataFrame):
        if not getattr(cls.resample, "_lumarq", False):
            cls.resample = resample_hook(cls.resample)
        if not getattr(cls.rolling, "_lumarq", False):
            cls.rolling = rolling_hook(cls.rolling)
        if not getattr(cls.groupby, "_lumarq", False):
            cls.groupby = groupby_hook(cls.groupby)
        for name, kind in _DATE_INDEX_METHODS.items():
            if not getattr(getattr(cls, name), "_lumarq", False):
                setattr(cls, name, _date_index_hook(cls, name, kind))


# pandas' methods that need a DatetimeIndex, and how they run on an index of dates of the dtype:
# "rows" select rows (the positions a DatetimeIndex of the same dates selects, taken from the
# object itself, words and index kept); "plain" run on a copy whose index is that
# DatetimeIndex (the result's index is plain, as resample's); "same rows" too, then take the
# object's own index back. The number is how many arguments come before `axis`.
_DATE_INDEX_METHODS = {"between_time": ("rows", 3), "at_time": ("rows", 2),
                       "truncate": ("rows", 2), "asfreq": ("plain", 5),
                       "tz_localize": ("plain", 1), "tz_convert": ("plain", 1),
                       "to_period": ("plain", 1), "shift": ("plain", 2),
                       "interpolate": ("same rows", 1)}


def _date_index_hook(cls: Any, name: str, kind: tuple[str, int]) -> Callable[..., Any]:
    method = getattr(cls, name)
    how, before_axis = kind

    @functools.wraps(method)
    def hooked(self: Any, *args: Any, **kwargs: Any) -> Any:
        index = self.index
        if (len(args) > before_axis or kwargs.get("axis") not in (None, 0, "index")
                or not _dated(index) or isinstance(index, pd.MultiIndex)
                or kwargs.get("inplace")
                or (name == "shift" and (args[1] if len(args) > 1 else kwargs.get("freq")) is None)
                or (name == "interpolate" and (args[0] if args else kwargs.get(
                    "method", "linear")) not in ("time", "index", "values"))):
            return _as_caller(method, self, *args, **kwargs)
        dates = _plain_index(index)
        if how == "rows":
            at = getattr(pd.Series(np.arange(len(self), dtype=np.int64), index=dates),
                         name)(*args, **kwargs)
            return self.iloc[at.to_numpy()]
        plain = self.copy(deep=False)
        plain.index = dates
        result = _as_caller(method, plain, *args, **kwargs)
        if how == "same rows" and len(result) == len(self):
            result.index = index
        return result

    hooked._lumarq = True  # type: ignore[attr-defined]
    return hooked


def _pairwise_nodes(tracker: Any, op: str, totals: np.ndarray,
                    members: list[np.ndarray | None], cells: np.ndarray) -> np.ndarray | None:
    """Nodes of a correlation or covariance matrix under a DAGTracker: one AGGREGATE node
    "<op>_column" per column over its rows' distinct nodes (word: the column's whole word),
    and one "<op>" node per cell (i, j) whose inputs are the nodes of columns i and j."""
    if not _is_dag(tracker) or all(m is None for m in members):
        return None
    present = [i for i, m in enumerate(members) if m is not None]
    ids = np.concatenate([np.full(len(members[i]), g, np.int64) for g, i in enumerate(present)])
    made = _log_groups(tracker, f"{op}_column", totals[present], ids,
                       np.concatenate([members[i] for i in present]), len(present))
    if made is None:
        return None
    column = np.full(len(members), -1, np.int64)
    column[present] = made
    k = len(members)
    pairs = np.stack([np.repeat(column, k), np.tile(column, k)], axis=1)  # cell (i, j), row-major
    pairs[pairs[:, 0] == pairs[:, 1], 1] = -1  # a column with itself: one input
    group = np.repeat(np.arange(k * k, dtype=np.int64), 2)
    out = _log_groups(tracker, op, cells.reshape(-1), group, pairs.reshape(-1), k * k)
    return None if out is None else out.reshape(k, k)


_PER_GROUP = threading.local()  # set while a group corr/cov runs the frame's per group


def _group_pairwise(gb: Any, result: Any, op: str) -> Any:
    """`result` of `groupby(...).corr()`/`.cov()` (one matrix per group, in group order, each
    computed plain): cell (i, j) of group g takes the combination of the group's words of
    columns i and j, each counting the group's key as a group reduction does (a covariance by
    gender derives from gender). Under a DAGTracker each group's column gets one AGGREGATE node
    `<op>_column` over its rows' and key's nodes, and each cell an `<op>` node over its two
    columns', as a frame's matrix has them."""
    grouper = getattr(gb, "_grouper", None)
    obj = getattr(gb, "_selected_obj", None)
    if (grouper is None or not isinstance(obj, pd.DataFrame) or not isinstance(result, pd.DataFrame)
            or not obj.columns.is_unique or not result.columns.isin(obj.columns).all()):
        return result
    k, ngroups = result.shape[1], int(grouper.ngroups)
    ids = _group_ids(grouper)
    if (not k or len(result) != k * ngroups or len(ids) != len(obj)
            or not np.array_equal(np.asarray(result.index.get_level_values(-1), dtype=object),
                                  np.asarray(list(result.columns) * ngroups, dtype=object))):
        return result
    arrays = [obj[label].array for label in result.columns]
    tracker = None
    for arr in arrays:
        if isinstance(arr, ProvenanceArray) and arr._tracker is not None:
            tracker = _check_trackers(tracker, arr._tracker)
    if tracker is None:
        return result
    n = len(ids)
    totals = np.zeros((ngroups, k), dtype=np.uint32)  # (group, column)
    members: list[np.ndarray | None] = []
    with _grouping(grouper):
        for c, arr in enumerate(arrays):
            own = isinstance(arr, ProvenanceArray) and arr._tracker is tracker
            # a column without words still counts the key that chose its rows
            words = arr._words if own else np.zeros(0, dtype=np.uint32)
            totals[:, c] = _keyed_group_words(tracker, n, ids, ngroups, words,
                                              ids if own else np.zeros(0, dtype=np.int64))
            members.append(arr._nodes if own else None)
        # cells[g, i, j]
        cells = np.stack([_combine(tracker, totals.reshape(-1),
                                   np.repeat(totals[:, j], k), _OP.AGG).reshape(ngroups, k)
                          for j in range(k)], axis=2)
        nodes = None
        if any(m is not None for m in members) and _is_dag(tracker):
            column = np.stack([
                _keyed_group_nodes(tracker, n, ids, ngroups, f"{op}_column", totals[:, c],
                                   np.full(n, -1, np.int64) if m is None else m, ids)
                for c, m in enumerate(members)], axis=1)  # (group, column)
            first = np.repeat(column, k, axis=1)  # cell (i, j) of each group, row-major
            second = np.tile(column, (1, k))
            second = np.where(first == second, -1, second)  # a column with itself: one input
            pairs = np.stack([first.reshape(-1), second.reshape(-1)], axis=1)
            group = np.repeat(np.arange(ngroups * k * k, dtype=np.int64), 2)
            made = _log_groups(tracker, op, cells.reshape(-1), group, pairs.reshape(-1),
                               ngroups * k * k)
            nodes = None if made is None else made.reshape(ngroups, k, k)
    for j in range(k):
        col = result.iloc[:, j]
        data = col.array._data if isinstance(col.array, ProvenanceArray) else col.array
        result.isetitem(j, pd.Series(
            ProvenanceArray(data, cells[:, :, j].reshape(-1).copy(), tracker,
                            nodes=None if nodes is None else nodes[:, :, j].reshape(-1).copy()),
            index=result.index, name=col.name, copy=False))
    return result


def _install_pairwise_hooks() -> None:
    # A correlation or covariance matrix came back plain: cell (i, j) derives from every row of
    # columns i and j, so it takes the combination of both columns' words.
    def hook(method: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(method)
        def hooked(self: pd.DataFrame, *args: Any, **kwargs: Any) -> Any:
            result = method(self, *args, **kwargs)
            if getattr(_PER_GROUP, "on", False):
                return result  # a group's matrix: its cells are tracked with the group's key
            if (not isinstance(result, pd.DataFrame) or not _has_dtype_columns(self)
                    or not self.columns.is_unique or not result.index.equals(result.columns)
                    or not result.columns.isin(self.columns).all()):
                return result
            tracker, totals, members = None, [], []
            for label in result.columns:
                arr = self[label].array
                if isinstance(arr, ProvenanceArray) and arr._tracker is not None and len(arr):
                    tracker = _check_trackers(tracker, arr._tracker)
                    totals.append(_whole_word(arr._tracker, arr._words))
                    members.append(arr._nodes)
                else:
                    totals.append(0)
                    members.append(None)
            if tracker is None:
                return result
            totals = np.asarray(totals, dtype=np.uint32)
            k = len(totals)
            cells = np.stack([_combine(tracker, totals, np.full(k, totals[j], np.uint32),
                                       _OP.AGG) for j in range(k)], axis=1)  # (row, column)
            nodes = _pairwise_nodes(tracker, method.__name__, totals, members, cells)
            for j in range(k):
                column = result.iloc[:, j]
                result.isetitem(j, pd.Series(
                    ProvenanceArray(column.array, cells[:, j].copy(), tracker,
                                    nodes=None if nodes is None else nodes[:, j].copy()),
                    index=result.index, copy=False))
            return result

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    # The group forms run the frame's per group: its cells took the group's rows but not the
    # key that chose them, so a covariance by gender read clean of gender.
    from pandas.core.groupby import generic

    def group_hook(method: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(method)
        def hooked(self: Any, *args: Any, **kwargs: Any) -> Any:
            outer, _PER_GROUP.on = getattr(_PER_GROUP, "on", False), True
            try:
                result = _as_caller(method, self, *args, **kwargs)
            finally:
                _PER_GROUP.on = outer
            return _group_pairwise(self, result, method.__name__)

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    for cls, wrap in ((pd.DataFrame, hook), (generic.DataFrameGroupBy, group_hook)):
        for name in ("corr", "cov"):
            method = getattr(cls, name)
            if not getattr(method, "_lumarq", False):
                setattr(cls, name, wrap(method))


def _install_replace_hook() -> None:
    # pandas replaces inside an extension array only with values of its own dtype, so a
    # replacement of another type (str -> int, int -> float) fails where plain columns are cast.
    # Replacing on the plain values and giving each row back its word and node gives plain
    # pandas' values, and a row keeps its provenance whether it was replaced or not (its new
    # value was chosen by its old one).
    from pandas.core.generic import NDFrame

    replace = NDFrame.replace
    if getattr(replace, "_lumarq", False):
        return

    def _replace(self: Any, *args: Any, **kwargs: Any) -> Any:
        frame = isinstance(self, pd.DataFrame)
        positions = ([i for i, d in enumerate(self.dtypes) if isinstance(d, ProvenanceDtype)]
                     if frame else [0] if isinstance(self.dtype, ProvenanceDtype) else [])
        if not positions:
            return _as_caller(replace, self, *args, **kwargs)
        inplace = kwargs.pop("inplace", False)
        arrays = [(self.iloc[:, i] if frame else self).array for i in positions]
        plain = self.copy(deep=False)
        if frame:
            for i, arr in zip(positions, arrays):
                plain.isetitem(i, arr._data)
        else:
            plain = pd.Series(arrays[0]._data, index=self.index, name=self.name, copy=False)
        result = _as_caller(replace, plain, *args, inplace=False, **kwargs)
        for i, arr in zip(positions, arrays):
            col = result.iloc[:, i] if frame else result
            if not _holdable(col):
                # object values that are not text (str -> int gives object ints on pandas 3):
                # plain, as other untracked results, and said so for a protected column
                _warn_untracked(arr, "replace of a column derived from a protected attribute "
                                "gives plain object values (its replacements are not text), "
                                "which carry no provenance: what is computed from them reads as "
                                "untouched by that attribute. Use map with the same mapping for "
                                "an encoding: its rows keep their words.")
                continue
            tracked = arr._new(col.array, arr._words.copy(), arr._tracker,
                               None if arr._nodes is None else arr._nodes.copy())
            if frame:
                result.isetitem(i, tracked)
            else:
                result = pd.Series(tracked, index=result.index, name=result.name, copy=False)
        if inplace:
            self._update_inplace(result)
            return None
        return result

    _replace._lumarq = True  # type: ignore[attr-defined]
    NDFrame.replace = _replace


def _reshape_function(module: str, name: str) -> tuple[Any, inspect.Signature] | None:
    """pandas' reshape function `name` of pandas.core.reshape.<module>, and its signature; None
    when pandas has no such module or the function is hooked already."""
    try:
        home = importlib.import_module(f"pandas.core.reshape.{module}")
    except ImportError:  # pragma: no cover - a pandas without it: the function as it is
        return None
    function = getattr(home, name, None)
    if function is None or getattr(function, "_lumarq", False):
        return None
    return function, inspect.signature(function)


def _set_reshape_function(module: str, name: str, hooked: Any) -> None:
    """`hooked` in place of `name` wherever pandas exposes it: pd, its reshape api, its module."""
    from pandas.core.reshape import api as reshape_api

    hooked._lumarq = True
    for where in (pd, reshape_api, importlib.import_module(f"pandas.core.reshape.{module}")):
        setattr(where, name, hooked)


def _install_crosstab_hook() -> None:
    # pd.crosstab counts with a Python `len` per cell: a table of counts by gender came back
    # plain. A cell's count, and its zero, say how the rows of its row key and of its column key
    # meet, so a cell takes the combination of the words of both groups' rows (a key of the
    # dtype contributes its rows' words), and with a DAGTracker one AGGREGATE node "crosstab"
    # over their distinct nodes. Tables with values, an aggfunc or margins stay plain.
    found = _reshape_function("pivot", "crosstab")
    if found is None:
        return
    crosstab, signature = found

    def keyed(keys: Any, labels: pd.Index, tracker: Any
              ) -> tuple[np.ndarray, tuple[np.ndarray, np.ndarray] | None]:
        """Per label of the table's axis, its rows' combined word, and their distinct nodes as
        (offsets, members) under a DAGTracker (rows whose key is not on the axis count for
        none)."""
        plain = [untrack(k) for k in keys]
        at_rows = pd.MultiIndex.from_arrays(plain) if isinstance(labels, pd.MultiIndex) else \
            pd.Index(plain[0])
        pos = labels.get_indexer(at_rows)
        tracked = [k.array for k in keys if isinstance(k.dtype, ProvenanceDtype)]
        words = _backend.group_combine(
            tracker._rust, np.concatenate([a._words for a in tracked]),
            np.tile(pos, len(tracked)), len(labels), _OP.AGG)
        nodes = [a._nodes for a in tracked if a._nodes is not None]
        if not nodes or not _is_dag(tracker):
            return words, None
        offsets, members = _backend.distinct_group_members(
            np.tile(pos, len(nodes)), np.concatenate(nodes), len(labels))
        return words, (offsets, members)

    @functools.wraps(crosstab)
    def hooked(*args: Any, **kwargs: Any) -> Any:
        result = crosstab(*args, **kwargs)
        try:
            a = signature.bind(*args, **kwargs).arguments
        except TypeError:  # pragma: no cover - pandas accepted it
            return result
        if (a.get("values") is not None or a.get("aggfunc") is not None or a.get("margins")
                or not isinstance(result, pd.DataFrame) or result.empty):
            return result
        rows, cols = (list(k) if isinstance(k, (list, tuple)) else [k]
                      for k in (a["index"], a["columns"]))
        keys = rows + cols
        tracked = [k for k in keys if isinstance(getattr(k, "dtype", None), ProvenanceDtype)]
        if (not tracked or not all(isinstance(k, pd.Series) and len(k) == len(keys[0])
                                   and k.index.equals(keys[0].index) for k in keys)):
            return result
        tracker = tracked[0].array._tracker
        if tracker is None or any(k.array._tracker is not tracker for k in tracked):
            return result
        by_row, by_col = keyed(rows, result.index, tracker), keyed(cols, result.columns, tracker)
        r, c = len(result.index), len(result.columns)
        cell = np.arange(r * c, dtype=np.int64)
        words = _backend.group_combine(
            tracker._rust, np.concatenate([np.repeat(by_row[0], c), np.tile(by_col[0], r)]),
            np.concatenate([cell, cell]), r * c, _OP.AGG).reshape(r, c)
        nodes = None
        if by_row[1] is not None or by_col[1] is not None:
            # Cell (i, j) = i * c + j takes row group i's distinct nodes, then column group j's.
            group, members = [], []
            for part, own_len, other_len, cell in (
                    (by_row[1], r, c, lambda own, other: own * c + other),
                    (by_col[1], c, r, lambda own, other: other * c + own)):
                if part is None:
                    continue
                offsets, got = part
                own = np.repeat(np.arange(own_len, dtype=np.int64), np.diff(offsets))
                members.append(np.tile(got, other_len))
                group.append(cell(np.tile(own, other_len),
                                  np.repeat(np.arange(other_len, dtype=np.int64), len(got))))
            made = _log_groups(tracker, "crosstab", words.reshape(-1), np.concatenate(group),
                               np.concatenate(members), r * c)
            nodes = None if made is None else made.reshape(r, c)
        out = result.copy(deep=False)
        array = tracked[0].array
        for j in range(c):
            out.isetitem(j, pd.Series(array._new(result.iloc[:, j].to_numpy(), words[:, j].copy(),
                                                 tracker, None if nodes is None else
                                                 nodes[:, j].copy()),
                                      index=result.index, copy=False))
        return out

    _set_reshape_function("pivot", "crosstab", hooked)


def _install_pivot_table_hook() -> None:
    # Without `columns`, pivot_table's margin row holds each value column's reduction over all
    # the rows it used (a plain scalar), so the "All" row of a sum of a protected column read
    # clean. It takes what an aggregation over those rows carries: their combined word, and
    # with a DAGTracker one AGGREGATE node over their distinct nodes. (With `columns`, pandas
    # computes the margins by group aggregations, which carry them.)
    found = _reshape_function("pivot", "pivot_table")
    if found is None:
        return
    pivot_table, signature = found

    def listed(by: Any) -> list[Any]:
        """Keys as pandas lists them."""
        if by is None:
            return []
        if is_scalar(by) or callable(by) or isinstance(by, np.ndarray | pd.Index | pd.Series |
                                                       pd.Grouper):
            return [by]
        return list(by)

    def function_of(label: Any, aggfunc: Any, many: bool) -> tuple[Any, Any] | None:
        """(value column, function) a result column holds, None when that is not plain."""
        if isinstance(aggfunc, list):
            if not (isinstance(label, tuple) and len(label) == 2):
                return None
            named = [f for f in aggfunc if getattr(f, "__name__", f) == label[0]]
            return (label[1], named[0]) if len(named) == 1 else None
        if isinstance(aggfunc, dict):
            func = aggfunc.get(label)
            return None if func is None or isinstance(func, list) else (label, func)
        return None if isinstance(label, tuple) and not many else (label, aggfunc)

    @functools.wraps(pivot_table)
    def hooked(*args: Any, **kwargs: Any) -> Any:
        result = pivot_table(*args, **kwargs)
        try:
            a = signature.bind(*args, **kwargs)
        except TypeError:  # pragma: no cover - pandas accepted it
            return result
        a.apply_defaults()
        a = a.arguments
        data, rows = a["data"], listed(a["index"])
        if (not a["margins"] or listed(a["columns"]) or not isinstance(result, pd.DataFrame)
                or not len(result) or not isinstance(data, pd.DataFrame)
                or not data.columns.is_unique):
            return result
        key = a["margins_name"] if len(rows) == 1 else \
            (a["margins_name"],) + ("",) * (len(rows) - 1)
        if result.index[-1] != key:
            return result
        # The rows pandas reduced: with dropna, those with no missing value among the keys
        # and values it kept (all columns without values).
        labels = [getattr(k, "key", k) for k in rows]
        keys = [k for k in labels if is_scalar(k) and k in data.columns]
        if a["values"] is None:
            values, kept = [c for c in data.columns if c not in keys], list(data.columns)
        else:
            values = list(a["values"]) if is_list_like(a["values"]) else [a["values"]]
            kept = keys + [v for v in values if v not in keys]
        used = data[data[kept].notna().all(axis=1)] if a["dropna"] else data
        if not len(used):
            return result
        out = None
        for i, label in enumerate(result.columns):
            arr = result.iloc[:, i].array
            got = function_of(label, a["aggfunc"], a["values"] is None or
                              is_list_like(a["values"]))
            if (not isinstance(arr, ProvenanceArray) or arr._tracker is None or got is None
                    or got[0] not in values):
                continue
            source = used[got[0]].array
            if not isinstance(source, ProvenanceArray) or source._tracker is not arr._tracker:
                continue
            func = got[1]
            op = func if isinstance(func, str) else getattr(func, "__name__", "agg")
            word = _whole_word(arr._tracker, source._words)
            node = _whole_node(source, op, word, 1)
            words = arr._words.copy()
            words[-1] = word
            nodes = arr._nodes
            if node is not None or nodes is not None:
                nodes = np.full(len(arr), -1, np.int64) if nodes is None else nodes.copy()
                nodes[-1] = -1 if node is None else node[0]
            out = result.copy(deep=False) if out is None else out
            out.isetitem(i, pd.Series(arr._new(arr._data, words, arr._tracker, nodes),
                                      index=result.index, copy=False))
        return result if out is None else out

    _set_reshape_function("pivot", "pivot_table", hooked)


def _install_get_dummies_hook() -> None:
    # get_dummies picks the columns to encode by dtype and passes over text of the dtype: the
    # same columns plain pandas would encode are named for it.
    found = _reshape_function("encoding", "get_dummies")
    if found is None:
        return
    dummies, signature = found

    def layout(a: dict[str, Any], out: Any) -> list[tuple[Any, range]]:
        """Each encoded column of a frame's dummies (None for a Series') with the positions of
        its dummy columns in `out`: pandas puts them after the columns it kept, in order."""
        data = a["data"]
        if not isinstance(data, pd.DataFrame):
            return [(None, range(out.shape[1]))]
        plain = untrack(pd.DataFrame(data, copy=False))
        widths = [dummies(plain[c], dummy_na=a.get("dummy_na", False),
                          drop_first=a.get("drop_first", False)).shape[1] for c in a["columns"]]
        at, spans = out.shape[1] - sum(widths), []
        for c, width in zip(a["columns"], widths):
            spans.append((c, range(at, at + width)))
            at += width
        return spans

    def get_dummies(data: Any, *args: Any, **kwargs: Any) -> Any:
        try:
            a = signature.bind(data, *args, **kwargs).arguments
        except TypeError:
            return dummies(data, *args, **kwargs)  # pandas' own error
        frame = isinstance(data, pd.DataFrame)
        container = frame and "_col_prov" in getattr(data, "_metadata", ())
        if not (container or isinstance(getattr(data, "dtype", None), ProvenanceDtype) or (
                frame and _has_dtype_columns(data))):
            return dummies(**a)
        if frame and a.get("columns") is None:
            kept = dummies(**{**a, "data": untrack(pd.DataFrame(data.iloc[:0]))}).columns
            a["columns"] = [c for c in data.columns if c not in kept]
        out = dummies(**a)
        if a.get("sparse") or (frame and not data.columns.is_unique) or len(out) != len(data):
            return out
        if container:  # a positional tracked frame: its dummy columns had no words
            from lumarq.utilities._tracked_glue import dummy_words

            return dummy_words(out, data, layout(a, out))
        # A dummy column says whether its row holds one value of the encoded column (as
        # `s == value` does): it keeps that column's words and node ids, logging nothing.
        for c, span in layout(a, out):
            s = data if c is None else data[c]
            if isinstance(s.dtype, ProvenanceDtype):
                # pandas gives nullable text nullable booleans and Arrow columns Arrow ones
                # (it saw the dtype, not text)
                sub = s.dtype.subtype
                own = "boolean" if a.get("dtype") is None and isinstance(
                    sub, pd.StringDtype) and sub.na_value is pd.NA else None
                if a.get("dtype") is None and isinstance(sub, pd.ArrowDtype):
                    own = "bool[pyarrow]"
                for j in span:
                    col = out.iloc[:, j]
                    out.isetitem(j, _keep_row_words(s, col if own is None else col.astype(own)))
        return out

    get_dummies.__doc__ = dummies.__doc__
    _set_reshape_function("encoding", "get_dummies", get_dummies)


def _install_from_dummies_hook() -> None:
    # from_dummies names each row's category from the row's dummy cells: pandas built a column of
    # the dtype without a tracker (words 0, so what was computed from it read clean), or a plain
    # one. Each row derives from every dummy cell of its row, as a row-wise apply does.
    found = _reshape_function("encoding", "from_dummies")
    if found is None:
        return
    decode = found[0]

    def from_dummies(data: Any, *args: Any, **kwargs: Any) -> Any:
        if not (isinstance(data, pd.DataFrame) and _has_dtype_columns(data)):
            return decode(data, *args, **kwargs)
        return _by_row(data, decode(untrack(data), *args, **kwargs), "from_dummies")

    from_dummies.__doc__ = decode.__doc__
    _set_reshape_function("encoding", "from_dummies", from_dummies)


def _keep_row_words(series: pd.Series, out: Any) -> Any:
    """`out` (a result of `.str`/`.dt` on `series`' plain values) with each column that has the
    Series' rows made of the dtype, carrying its rows' words and node ids (nothing logged): a
    row's text or date part derives from that row alone. Other results stay as pandas gives."""
    arr = series.array
    if not isinstance(arr, ProvenanceArray) or arr._tracker is None:
        return out
    return _carry_row_words(out, series.index, arr._tracker, arr._words, arr._nodes)


def _carry_row_words(out: Any, index: pd.Index, tracker: Any, words: np.ndarray,
                     nodes: np.ndarray | None) -> Any:
    """`out` (a Series or frame) with each plain column whose rows are `index`'s and whose type
    the dtype holds made of the dtype, row i carrying words[i] and nodes[i]."""

    def carry(col: Any) -> Any:
        if not (isinstance(col, pd.Series) and len(col) == len(index)
                and col.index.equals(index) and not isinstance(col.dtype, ProvenanceDtype)
                and _holdable(col)):
            return col
        return pd.Series(_rebuild(col.array, words.copy(), tracker,
                                  None if nodes is None else nodes.copy()),
                         index=col.index, name=col.name, copy=False)

    if isinstance(out, pd.DataFrame):
        out = out.copy(deep=False)
        for i in range(out.shape[1]):
            col = out.iloc[:, i]
            kept = carry(col)
            if kept is not col:
                out.isetitem(i, kept)
        return out
    return carry(out)


def _by_row(frame: pd.DataFrame, out: Any, op: str, every: bool = False) -> Any:
    """`out` (a Series or frame) computed row by row from `frame`'s rows: each plain column takes
    per row the combination over that row's tracked cells, and one AGGREGATE node `op` per row.
    With `every`, columns of the dtype too (what they hold was the function's own work on the
    row: at most their own cell's word)."""
    rows = _worded_arrays(frame)
    if (not isinstance(out, pd.Series | pd.DataFrame) or len({id(a._tracker) for a in rows}) != 1
            or len(out) != len(frame) or not out.index.equals(frame.index)):
        return out  # (columns of two trackers cannot combine: their binary ops raise)
    if every:
        out = untrack(out)
    cols = [out] if isinstance(out, pd.Series) else [out.iloc[:, i] for i in range(out.shape[1])]
    if not any(not isinstance(c.dtype, ProvenanceDtype) and _holdable(c) for c in cols):
        return out  # nothing to carry: no nodes logged (pandas' own steps tracked it already)
    tracker = rows[0]._tracker
    words, nodes = _product_words(tracker, rows, [], len(frame), op)
    return _carry_row_words(out, frame.index, tracker, words, nodes)


def _install_apply_hooks() -> None:
    # A frame's row-wise apply computes each result row from that row's cells, and a Series'
    # apply whose function returns a Series gives a frame: both came back plain (the element-wise
    # results go through ProvenanceArray.map). Which cells the function read is unknown, so a
    # row-wise result derives from every tracked cell of its row.
    frame_apply, series_apply = pd.DataFrame.apply, pd.Series.apply
    if getattr(frame_apply, "_lumarq", False):
        return

    frame_agg, frame_transform = pd.DataFrame.aggregate, pd.DataFrame.transform

    def by_function(func: Any) -> bool:
        # A Python function given the row as a Series: pandas 3 gave the Series it returned
        # columns of the dtype without words, pandas 2.2 each its own cell's word only. A
        # ufunc pandas runs per element, and a name runs pandas' own row-wise step.
        return callable(func) and not isinstance(func, np.ufunc)

    @functools.wraps(frame_apply)
    def apply_frame(self: Any, func: Any, axis: Any = 0, *args: Any, **kwargs: Any) -> Any:
        out = _as_caller(frame_apply, self, func, axis, *args, **kwargs)
        if self._get_axis_number(axis) != 1:
            return out
        return _by_row(self, out, "apply", by_function(func))

    @functools.wraps(frame_transform)
    def transform_frame(self: Any, func: Any, axis: Any = 0, *args: Any, **kwargs: Any) -> Any:
        out = _as_caller(frame_transform, self, func, axis, *args, **kwargs)
        if self._get_axis_number(axis) != 1 or not by_function(func):
            return out
        return _by_row(self, out, "transform", True)

    @functools.wraps(frame_agg)
    def agg_frame(self: Any, func: Any = None, axis: Any = 0, *args: Any, **kwargs: Any) -> Any:
        # Along rows pandas reduces the transpose's columns, whose reductions are plain (those
        # of the frame along rows are tracked): each row's value takes its row's cells, as
        # `sum(axis=1)` gives it, one node per row and function.
        out = _as_caller(frame_agg, self, func, axis, *args, **kwargs)
        if self._get_axis_number(axis) != 1 or not _has_dtype_columns(self):
            return out
        if isinstance(out, pd.DataFrame) and is_list_like(func) and not isinstance(func, dict):
            out = out.copy(deep=False)
            for i, label in enumerate(out.columns):
                out.isetitem(i, _by_row(self, out.iloc[:, i],
                                        label if isinstance(label, str) else "agg"))
            return out
        return _by_row(self, out, func if isinstance(func, str) else "agg")

    @functools.wraps(series_apply)
    def apply_series(self: Any, func: Any, *args: Any, **kwargs: Any) -> Any:
        out = _as_caller(series_apply, self, func, *args, **kwargs)
        arr = self.array
        if not (isinstance(out, pd.DataFrame) and isinstance(arr, ProvenanceArray)
                and arr._tracker is not None and len(out) == len(self)
                and out.index.equals(self.index) and out.shape[1]):
            return out
        words = _step(arr._tracker, arr._words, _OP.MAP)
        nodes = _log_rows(arr._tracker, "map", words, [arr._nodes], out.iloc[:, 0].array,
                          kind=_UNARY)
        return _carry_row_words(out, self.index, arr._tracker, words, nodes)

    frame_quantile = pd.DataFrame.quantile

    @functools.wraps(frame_quantile)
    def quantile_frame(self: Any, q: Any = 0.5, axis: Any = 0, *args: Any, **kwargs: Any) -> Any:
        # A row's quantile is computed from its row's cells, as its median is (pandas took the
        # plain reductions of the transpose's columns); a list of q gives one row per q.
        out = _as_caller(frame_quantile, self, q, axis, *args, **kwargs)
        if self._get_axis_number(axis) != 1 or not _has_dtype_columns(self):
            return out
        if isinstance(out, pd.DataFrame) and out.columns.equals(self.index):
            rows = out.T
            tracked = _by_row(self, rows, "quantile")
            return out if tracked is rows else tracked.T
        return _by_row(self, out, "quantile")

    apply_frame._lumarq = True  # type: ignore[attr-defined]
    pd.DataFrame.quantile = quantile_frame  # type: ignore[method-assign]
    pd.DataFrame.apply = apply_frame  # type: ignore[method-assign]
    pd.DataFrame.aggregate = pd.DataFrame.agg = agg_frame  # type: ignore[method-assign]
    pd.DataFrame.transform = transform_frame  # type: ignore[method-assign]
    pd.Series.apply = apply_series  # type: ignore[method-assign]


class _RowwiseAccessor:
    """`.str` or `.dt` of a Series of the dtype: pandas' accessor of its plain values, whose
    results keep the rows' words (they were plain, so `s.str.lower() == "f"` of a protected
    column read clean)."""

    def __init__(self, series: pd.Series, accessor: Any) -> None:
        self._series, self._accessor = series, accessor

    def __getattr__(self, name: str) -> Any:
        attr = getattr(self._accessor, name)
        if not callable(attr):
            return _keep_row_words(self._series, attr)

        @functools.wraps(attr)
        def call(*args: Any, **kwargs: Any) -> Any:
            # Other tracked Series a row's result is computed from (`str.cat(others)`,
            # `str.repeat(counts)`) go to pandas as their plain values (pandas read a list of
            # them as numbers), and their words join, matched by label as pandas does (a text
            # joined with sex read clean of it).
            others: list[pd.Series] = []

            def plain(v: Any) -> Any:
                if isinstance(v, list | tuple):
                    return type(v)(plain(x) for x in v)
                if isinstance(v, pd.Series) and isinstance(v.dtype, ProvenanceDtype):
                    if v.array._tracker is not None:
                        others.append(v)
                    return untrack(v)
                if isinstance(v, pd.DataFrame) and _has_dtype_columns(v):  # its columns, each
                    plain([c for _, c in v.items()])
                    return untrack(v)
                return v

            args = plain(args)
            kwargs = {k: plain(v) for k, v in kwargs.items()}
            out = _keep_row_words(self._series, attr(*args, **kwargs))
            if others and isinstance(out, pd.Series) and out.index.equals(self._series.index):
                out = _with_condition(out, *others, code=_OP.ADD, op=f"str_{name}")
            return out

        return call

    def __getitem__(self, key: Any) -> Any:
        return _keep_row_words(self._series, self._accessor[key])

    def __iter__(self) -> Any:
        return iter(self._accessor)

    def __dir__(self) -> list[str]:
        return dir(self._accessor)


def _install_conversion_hooks() -> None:
    # pd.to_datetime / pd.to_timedelta of a column of the dtype gave plain values (a date of
    # birth parsed from a protected column read clean); each row converts on its own.
    import pandas.core.tools.datetimes as datetimes
    import pandas.core.tools.numeric as numeric
    import pandas.core.tools.timedeltas as timedeltas

    for module, name in ((datetimes, "to_datetime"), (timedeltas, "to_timedelta"),
                         (numeric, "to_numeric")):
        convert = getattr(module, name)
        if getattr(convert, "_lumarq", False):
            continue

        def hooked(arg: Any, *args: Any, _convert: Any = convert, _name: str = name,
                   **kwargs: Any) -> Any:
            if isinstance(arg, pd.Series) and isinstance(arg.dtype, ProvenanceDtype):
                return _keep_row_words(arg, _convert(untrack(arg), *args, **kwargs))
            if isinstance(arg, pd.DataFrame) and _has_dtype_columns(arg):
                # a date assembled from a row's year, month, day... columns
                return _by_row(arg, _convert(untrack(arg), *args, **kwargs), _name)
            return _convert(arg, *args, **kwargs)

        functools.update_wrapper(hooked, convert)
        hooked._lumarq = True  # type: ignore[attr-defined]
        setattr(module, name, hooked)
        if getattr(pd, name) is convert:
            setattr(pd, name, hooked)

    # convert_dtypes kept the dtype's columns as they were, where plain pandas gives nullable
    # types (Int64, string, boolean): it runs on the plain values, each row keeping its word.
    from pandas.core.generic import NDFrame

    convert_dtypes = NDFrame.convert_dtypes
    if getattr(convert_dtypes, "_lumarq", False):
        return

    @functools.wraps(convert_dtypes)
    def convert_dtypes_(self: Any, *args: Any, **kwargs: Any) -> Any:
        if isinstance(self, pd.Series):
            if not isinstance(self.dtype, ProvenanceDtype):
                return convert_dtypes(self, *args, **kwargs)
            return _keep_row_words(self, convert_dtypes(untrack(self), *args, **kwargs))
        if not (isinstance(self, pd.DataFrame) and _has_dtype_columns(self)):
            return convert_dtypes(self, *args, **kwargs)
        result = convert_dtypes(untrack(self), *args, **kwargs)
        for i in _tracked_columns(self):
            result.isetitem(i, _keep_row_words(self.iloc[:, i], result.iloc[:, i]))
        return result

    convert_dtypes_._lumarq = True  # type: ignore[attr-defined]
    NDFrame.convert_dtypes = convert_dtypes_  # type: ignore[method-assign]


def _install_array_hooks() -> None:
    # pandas makes an `object` array of every frame of extension columns, and `astype(float)`
    # keeps a tracked column tracked: numpy functions and scikit-learn (which casts a frame with
    # astype(np.float64), then takes np.asarray) failed on every tracked frame. A frame of the
    # dtype gives the array plain pandas gives for the same values (words do not go into numpy).
    to_numpy, array, values = pd.DataFrame.to_numpy, pd.DataFrame.__array__, pd.DataFrame.values
    if getattr(to_numpy, "_lumarq", False):
        return

    def through_plain(convert: Any) -> Any:
        def run(self: Any, *args: Any, **kwargs: Any) -> Any:
            if not _has_dtype_columns(self):
                return convert(self, *args, **kwargs)
            out = convert(untrack(self), *args, **kwargs)  # over the values, not a copy
            # pandas hands out a read-only view of a single block; here that block is the
            # frame's own values, so a caller that writes into what it was given (scikit-learn
            # does after casting) gets a copy instead
            return out if out.flags.writeable else out.copy()

        return run

    to_numpy_ = functools.wraps(to_numpy)(through_plain(to_numpy))
    to_numpy_._lumarq = True  # type: ignore[attr-defined]
    pd.DataFrame.to_numpy = to_numpy_  # type: ignore[method-assign]
    pd.DataFrame.__array__ = functools.wraps(array)(through_plain(array))  # type: ignore
    pd.DataFrame.values = property(  # type: ignore[method-assign,assignment]
        through_plain(values.fget), doc=values.__doc__)


def _install_writer_hooks() -> None:
    # Files and databases take the values only. pandas writes extension columns as objects
    # (`to_csv` lost `date_format` and wrote date-only datetimes with their time) or asks them
    # for what only its own arrays have (`to_sql` a date's `to_pydatetime`, `to_stata` a
    # `numpy_dtype`), and raised: they write the plain frame, as plain pandas would. The Arrow
    # writers raised inside pyarrow, and a file's pandas metadata would have named "prov[...]"
    # types a reader without lumarq cannot build, as `to_json(orient="table")`'s schema did
    # (dates and durations typed "any" there, so they read back as text).
    from pandas.core.generic import NDFrame

    for owner, name in ((NDFrame, "to_csv"), (NDFrame, "to_json"), (NDFrame, "to_sql"),
                        (pd.DataFrame, "to_stata"),
                        (pd.DataFrame, "to_parquet"), (pd.DataFrame, "to_feather"),
                        (pd.DataFrame, "to_orc")):
        write = getattr(owner, name, None)
        if write is None or getattr(write, "_lumarq", False):
            continue

        def hooked(self: Any, *args: Any, _write: Any = write, **kwargs: Any) -> Any:
            return _write(untrack(self), *args, **kwargs)

        functools.update_wrapper(hooked, write)
        hooked._lumarq = True  # type: ignore[attr-defined]
        setattr(owner, name, hooked)


def _install_frame_ufunc_hook() -> None:
    # For a ufunc of several inputs over a frame (`np.maximum(df, 0)`, `np.fmax(df, other)`)
    # pandas gives up on the columns' types: it computes over `np.asarray` of each input and
    # builds a plain frame, so a tracked column came back untracked and what was computed from
    # it read clean of its sources. Over frames of the same labels, scalars and arrays of the
    # frame's shape, each tracked column is computed again as a Series of the type numpy
    # computed in, and kept where its values are pandas' own.
    array_ufunc = pd.DataFrame.__array_ufunc__
    if getattr(array_ufunc, "_lumarq", False):
        return

    def hooked(self: Any, ufunc: np.ufunc, method: str, *inputs: Any, **kwargs: Any) -> Any:
        result = array_ufunc(self, ufunc, method, *inputs, **kwargs)
        if (method != "__call__" or kwargs or ufunc.nout != 1 or len(inputs) < 2
                or not isinstance(result, pd.DataFrame) or _has_dtype_columns(result)
                or not result.columns.is_unique):
            return result
        if not any(isinstance(x, pd.DataFrame) and _has_dtype_columns(x) for x in inputs):
            return result
        kinds, inputs = {}, list(inputs)
        for i, x in enumerate(inputs):
            if isinstance(x, pd.DataFrame):
                if not (x.index.equals(result.index) and x.columns.equals(result.columns)):
                    # pandas aligned the frames: the same labels in another order only
                    if not (x.shape == result.shape and x.index.is_unique and x.columns.is_unique
                            and x.index.isin(result.index).all()
                            and x.columns.isin(result.columns).all()):
                        return result
                    inputs[i] = x = x.reindex(index=result.index, columns=result.columns)
                kinds[i] = np.asarray(x).dtype  # the type numpy computed in
                if kinds[i].kind not in "biuf":
                    return result
            elif not (is_scalar(x) or (isinstance(x, np.ndarray) and x.shape == result.shape)):
                return result
        frames = [x for x in inputs if isinstance(x, pd.DataFrame)]
        for j in range(result.shape[1]):
            if not any(isinstance(f.dtypes.iloc[j], ProvenanceDtype) for f in frames):
                continue
            # a scalar as pandas hands it to numpy: a 0-d array, which numpy 2 does not
            # fit to the column's type (float32 with 3.0 gives float64)
            args = [x.iloc[:, j].astype(kinds[i]) if i in kinds
                    else x[:, j] if isinstance(x, np.ndarray) and x.ndim else np.asarray(x)
                    for i, x in enumerate(inputs)]
            column = getattr(ufunc, method)(*args)
            plain = result.iloc[:, j]
            if (isinstance(column, pd.Series) and isinstance(column.dtype, ProvenanceDtype)
                    and column.dtype.subtype == plain.dtype
                    and np.array_equal(column.to_numpy(), plain.to_numpy(),
                                       equal_nan=plain.dtype.kind == "f")):
                result.isetitem(j, column)
        return result

    functools.update_wrapper(hooked, array_ufunc)
    hooked._lumarq = True  # type: ignore[attr-defined]
    pd.DataFrame.__array_ufunc__ = hooked  # type: ignore[method-assign]


def _install_binning_hooks() -> None:
    # pd.cut/pd.qcut with labels=False give bin numbers, which were plain: an age band of a
    # protected age read as untouched by it. They keep the rows' words: through fixed edges
    # each row's bin is its own value's (one `cut` step a row), while edges found from the
    # values (qcut's quantiles, the range split by cut's count of bins) make every bin depend
    # on every row, as a rank does. Categorical bins cannot carry words and stay plain.
    for name in ("cut", "qcut"):
        binning = getattr(pd, name)
        if getattr(binning, "_lumarq", False):
            continue

        def hooked(x: Any, *args: Any, _binning: Any = binning, _name: str = name,
                   **kwargs: Any) -> Any:
            if not (isinstance(x, pd.Series) and isinstance(x.dtype, ProvenanceDtype)
                    and x.array._tracker is not None):
                return _as_caller(_binning, x, *args, **kwargs)
            out = _as_caller(_binning, untrack(x), *args, **kwargs)
            bins = out[0] if isinstance(out, tuple) else out
            if isinstance(bins, pd.Series) and isinstance(bins.dtype, pd.CategoricalDtype):
                _warn_categorical(x.array, f"pd.{_name}", "Pass labels=False for bin numbers "
                                  "that keep it.")
            if not (isinstance(bins, pd.Series) and _holdable(bins)
                    and bins.index.equals(x.index)):
                return out
            edges = args[0] if args else kwargs.get("bins" if _name == "cut" else "q")
            tracked = _binned(x.array, bins, _name, _name == "qcut" or is_integer(edges))
            return (tracked, *out[1:]) if isinstance(out, tuple) else tracked

        functools.update_wrapper(hooked, binning)
        hooked._lumarq = True  # type: ignore[attr-defined]
        setattr(pd, name, hooked)


def _warn_categorical(arr: ProvenanceArray, call: str, advice: str) -> None:
    """Warns at the caller's caller that `call` made a plain categorical of a column derived
    from a protected attribute: categoricals cannot carry words, and what is computed from one
    (a group mean by age band) would read as untouched by that attribute."""
    _warn_untracked(arr, f"{call} of a column derived from a protected attribute gives a plain "
                    "categorical, which carries no provenance: what is computed from it reads "
                    f"as untouched by that attribute. {advice}", stacklevel=4)


def _warn_untracked(arr: ProvenanceArray, message: str, stacklevel: int = 3) -> None:
    """Warns at the caller's caller when `arr` derives from a protected attribute."""
    if arr._tracker is not None and _backend.is_tainted_batch(arr._words).any():
        warnings.warn(message, UserWarning, stacklevel=stacklevel)


def _binned(arr: ProvenanceArray, bins: pd.Series, op: str, whole: bool) -> pd.Series:
    tracker, values = arr._tracker, bins.array
    if not whole:
        words = _step(tracker, arr._words, _OP.MAP)
        nodes = _log_rows(tracker, op, words, [arr._nodes], values, kind=_UNARY)
    else:
        words = np.full(len(arr), _whole_word(tracker, arr._words), dtype=np.uint32)
        nodes = _whole_node(arr, op, words[0], len(arr)) if len(arr) else None
    return pd.Series(_rebuild(values, words, tracker, nodes), index=bins.index, name=bins.name,
                     copy=False)


def _install_describe_hook() -> None:
    # pandas describes every numeric extension column as Float64, which cannot hold the
    # Timedeltas of a duration column (describe() raised) and is not the float64 plain pandas
    # gives a numpy column. Columns of the dtype are described from their plain values, as
    # plain pandas describes them (a reduction: plain).
    import pandas.core.methods.describe as describe

    numeric = describe.describe_numeric_1d
    if getattr(numeric, "_lumarq", False):
        return

    def describe_numeric_1d(series: Any, percentiles: Any) -> Any:
        if isinstance(series.dtype, ProvenanceDtype):
            series = untrack(series)
        return numeric(series, percentiles)

    functools.update_wrapper(describe_numeric_1d, numeric)
    describe_numeric_1d._lumarq = True  # type: ignore[attr-defined]
    describe.describe_numeric_1d = describe_numeric_1d


def _cells(columns: list[Any], rows: Any = slice(None)) -> tuple[Any, Any, Any] | None:
    """The one tracker of `columns`, and the words and node ids of `rows` as (rows, columns)
    matrices (a row's vectors for an int), when every column is tracked by it; else None."""
    trackers = {id(c._tracker): c._tracker for c in columns
                if isinstance(c, ProvenanceArray) and c._tracker is not None}
    if len(trackers) != 1 or not all(isinstance(c, ProvenanceArray) for c in columns):
        return None
    words = np.stack([c._words[rows] for c in columns], axis=-1)
    nodes = None
    if any(c._nodes is not None for c in columns):
        none = np.int64(-1) if is_integer(rows) else np.full(len(columns[0]), -1,
                                                              dtype=np.int64)[rows]
        nodes = np.stack([c._nodes[rows] if c._nodes is not None else none for c in columns],
                         axis=-1)
    return next(iter(trackers.values())), words, nodes


def _install_crosswise_hooks() -> None:
    # A frame's row (iloc[i], loc[label], xs) and its transpose are built by pandas from the
    # cells' plain values, so columns of the dtype gave results without words or tracker: each
    # cell's word and node go with it.
    from pandas.core.internals.blocks import new_block
    from pandas.core.internals.managers import BlockManager, SingleBlockManager

    fast_xs = BlockManager.fast_xs
    if not getattr(fast_xs, "_lumarq", False):
        def row(self: Any, loc: int) -> Any:
            result = fast_xs(self, loc)
            arr = result.array
            if len(self.blocks) < 2 or not (isinstance(arr, ProvenanceArray)
                                            and arr._tracker is None):
                return result
            order = np.empty(len(arr), dtype=np.intp)
            columns = []
            for blk in self.blocks:
                for rl in blk.mgr_locs:
                    order[rl] = len(columns)
                    columns.append(blk.values)
            cells = _cells(columns, loc)
            if cells is None:
                return result
            tracker, words, nodes = cells
            out = arr._new(arr._data, words[order], tracker,
                           None if nodes is None else nodes[order])
            return SingleBlockManager(new_block(out, placement=result.blocks[0].mgr_locs,
                                                ndim=1), result.axes[0])

        row._lumarq = True  # type: ignore[attr-defined]
        BlockManager.fast_xs = row  # type: ignore[method-assign]

    transpose = pd.DataFrame.transpose
    if getattr(transpose, "_lumarq", False):
        return

    @functools.wraps(transpose)
    def hooked(self: Any, *args: Any, **kwargs: Any) -> Any:
        result = transpose(self, *args, **kwargs)
        if not (_has_dtype_columns(self) and result.shape[1] == len(self)
                and result.shape[1] > 0):
            return result
        cells = _cells([self.iloc[:, i].array for i in range(self.shape[1])])
        if cells is None:
            return result
        tracker, words, nodes = cells
        # Columns of several numeric subtypes transpose to object cells; plain pandas gives
        # their common type (float64 for float and int), as do the axis=1 operations that run
        # through the transpose (cumsum(axis=1), quantile(axis=1), ...).
        common = pd.core.dtypes.cast.find_common_type(list(self.dtypes))
        common = common if isinstance(common, ProvenanceDtype) else None
        arrays = []
        for j, (_, col) in enumerate(result.items()):
            arr = col.array
            if common is not None and not isinstance(arr, ProvenanceArray):
                # (object cells, or already the common type: pandas transposes `values`)
                arr = ProvenanceArray(pd.array(col.to_numpy(), dtype=common.subtype))
            if not isinstance(arr, ProvenanceArray) or arr._tracker is not None:
                return result
            arrays.append(arr._new(arr._data, words[j].copy(), tracker,
                                   None if nodes is None else nodes[j].copy()))
        out = type(result)._from_arrays(arrays, index=result.index, columns=result.columns,
                                        verify_integrity=False)
        return out.__finalize__(self, method="transpose")

    hooked._lumarq = True  # type: ignore[attr-defined]
    pd.DataFrame.transpose = hooked  # type: ignore[method-assign]


def _worded_arrays(frame: Any) -> list[ProvenanceArray]:
    """The arrays of `frame`'s columns (a DataFrame's, or a Series') that carry words."""
    if isinstance(frame, pd.Series):
        arrays = [frame.array] if isinstance(frame.dtype, ProvenanceDtype) else []
    elif isinstance(frame, pd.DataFrame):
        arrays = [frame.iloc[:, i].array for i in _tracked_columns(frame)]
    else:
        arrays = []
    return [a for a in arrays if a._tracker is not None]


def _product_words(tracker: Any, rows: list[ProvenanceArray], whole: list[ProvenanceArray],
                   n: int, op: str = "dot") -> tuple[np.ndarray, np.ndarray | None]:
    """Words and nodes of n results, result i computed from row i of each of `rows` and from
    every row of `whole` (a matrix product's row times a vector): one AGGREGATE node `op` per
    result over those rows' distinct nodes."""
    per_row = [(a._words, a._nodes, np.arange(n, dtype=np.int64)) for a in rows]
    for a in whole:
        m = len(a)
        per_row.append((np.tile(a._words, n), None if a._nodes is None else np.tile(a._nodes, n),
                        np.repeat(np.arange(n, dtype=np.int64), m)))
    ids = np.concatenate([g for _, _, g in per_row])
    words = _backend.group_combine(tracker._rust, np.concatenate([w for w, _, _ in per_row]),
                                   ids, n, _OP.AGG)
    nodes = None
    if any(x is not None for _, x, _ in per_row):
        members = np.concatenate([x if x is not None else np.full(len(g), -1, np.int64)
                                  for _, x, g in per_row])
        nodes = _log_groups(tracker, op, words, ids, members, n)
    return words, nodes


def _install_reshape_hooks() -> None:
    # pandas 3 stacks a frame of one extension dtype through its 2-D object values, and
    # DataFrame.dot multiplies object values: both gave columns of the dtype with every word 0,
    # so a value computed from a protected column read clean.
    stack = pd.DataFrame.stack
    if not getattr(stack, "_lumarq", False):
        @functools.wraps(stack)
        def stacked(self: Any, *args: Any, **kwargs: Any) -> Any:
            result = stack(self, *args, **kwargs)
            arr = getattr(result, "array", None)
            if not (isinstance(result, pd.Series) and isinstance(arr, ProvenanceArray)
                    and arr._tracker is None and not isinstance(self.columns, pd.MultiIndex)
                    and self.shape[0] * self.shape[1] > 0):
                return result
            cells = _cells([self.iloc[:, i].array for i in range(self.shape[1])])
            if cells is None:
                return result
            tracker, words, nodes = cells
            # Where each result row came from: the same stack of each cell's position.
            n, k = self.shape
            where = pd.DataFrame(np.arange(n * k, dtype=np.int64).reshape(n, k),
                                 index=self.index, columns=self.columns)
            probe = stack(where, *args, **kwargs)
            if not (isinstance(probe, pd.Series) and len(probe) == len(result)
                    and probe.index.equals(result.index)):
                return result
            at = probe.to_numpy(dtype=np.int64)
            out = arr._new(arr._data, words.reshape(-1)[at], tracker,
                           None if nodes is None else nodes.reshape(-1)[at])
            return pd.Series(out, index=result.index, name=result.name, copy=False)

        stacked._lumarq = True  # type: ignore[attr-defined]
        pd.DataFrame.stack = stacked  # type: ignore[method-assign]

    # compare finds the differing cells through comparisons and logic on the two operands,
    # which logged two nodes a row that nothing refers to; its cells keep their own words.
    from pandas.core.generic import NDFrame

    compare = NDFrame.compare
    if not getattr(compare, "_lumarq", False):
        @functools.wraps(compare)
        def quiet_compare(self: Any, *args: Any, **kwargs: Any) -> Any:
            return _quietly(compare, self, *args, **kwargs)

        quiet_compare._lumarq = True  # type: ignore[attr-defined]
        NDFrame.compare = quiet_compare  # type: ignore[method-assign]

    frame_dot = pd.DataFrame.dot
    if not getattr(frame_dot, "_lumarq", False):
        @functools.wraps(frame_dot)
        def dot(self: Any, other: Any) -> Any:
            left = _worded_arrays(self)
            right = _worded_arrays(other)
            if not left and not right:
                return frame_dot(self, other)
            tracker = None
            for a in left + right:
                tracker = _check_trackers(tracker, a._tracker)
            result = frame_dot(untrack(self), untrack(other) if isinstance(
                other, pd.Series | pd.DataFrame) else other)
            n = len(self)
            if isinstance(result, pd.Series):
                words, nodes = _product_words(tracker, left, right, n)
                return pd.Series(ProvenanceArray(result.array, words, tracker, nodes=nodes),
                                 index=result.index, name=result.name, copy=False)
            columns = [other.iloc[:, j] for j in range(other.shape[1])] if isinstance(
                other, pd.DataFrame) else [None] * result.shape[1]
            arrays = []
            for j in range(result.shape[1]):
                col = columns[j]
                whole = [col.array] if col is not None and any(
                    col.array is a for a in right) else []
                words, nodes = _product_words(tracker, left, whole, n)
                arrays.append(ProvenanceArray(result.iloc[:, j].array, words, tracker,
                                              nodes=nodes))
            return type(result)._from_arrays(arrays, index=result.index,
                                             columns=result.columns, verify_integrity=False)

        dot._lumarq = True  # type: ignore[attr-defined]
        pd.DataFrame.dot = dot  # type: ignore[method-assign]

    # A Series times a frame gave values of the dtype with no tracker (pandas 3) or object
    # values (pandas 2.2): its result j sums the Series' rows times column j's, so it derives
    # from both whole. (A Series times a Series is a scalar, plain as reductions are.)
    series_dot = pd.Series.dot
    if not getattr(series_dot, "_lumarq", False):
        @functools.wraps(series_dot)
        def sdot(self: Any, other: Any) -> Any:
            left, right = _worded_arrays(self), _worded_arrays(other)
            if not isinstance(other, pd.DataFrame) or not (left or right):
                return series_dot(self, other)
            tracker = None
            for a in left + right:
                tracker = _check_trackers(tracker, a._tracker)
            result = series_dot(untrack(self), untrack(other))
            words, nodes = [], []
            for j in range(other.shape[1]):
                col = other.iloc[:, j].array
                w, nd = _product_words(tracker, [], left + [a for a in right if a is col], 1)
                words.append(w)
                nodes.append(nd if nd is not None else np.full(1, -1, dtype=np.int64))
            any_nodes = any(x[0] >= 0 for x in nodes)
            return pd.Series(ProvenanceArray(result.array, np.concatenate(words), tracker,
                                             nodes=np.concatenate(nodes) if any_nodes else None),
                             index=result.index, name=result.name, copy=False)

        sdot._lumarq = True  # type: ignore[attr-defined]
        pd.Series.dot = sdot  # type: ignore[method-assign]


def _row_words(x: Any) -> tuple[np.ndarray, np.ndarray | None, Any] | None:
    """(words, nodes, tracker) of a tracked array (a Series or Index of the dtype too), copied:
    the source may change in place later."""
    arr = getattr(x, "array", x)
    if not isinstance(arr, ProvenanceArray) or arr._tracker is None:
        return None
    return (arr._words.copy(), None if arr._nodes is None else arr._nodes.copy(), arr._tracker)


def _take_row_words(rows: list[Any], n: int, key: Any, fill: bool = False) -> list[Any]:
    idx = np.arange(n, dtype=np.intp)[key] if not fill else np.asarray(key, dtype=np.intp)
    out = []
    for level in rows:
        if level is None:
            out.append(None)
            continue
        words, nodes, tracker = level
        out.append((_backend.take_words(words, idx.astype(np.int64), True) if fill
                    else words[idx],
                    None if nodes is None else (_take_nodes(nodes, idx.astype(np.int64), True)
                                                if fill else nodes[idx]), tracker))
    return out


def _install_multiindex_hooks() -> None:
    # A MultiIndex keeps each level's distinct values and codes: its level values were those
    # values taken by code, each row with the word of every row sharing its value (and no node),
    # so set_index([...]).reset_index() rewrote every word. The rows' own words and nodes ride
    # along where pandas selects rows of the index (take, masks, slices).
    from pandas.core.indexes.multi import MultiIndex

    from_arrays = MultiIndex.__dict__["from_arrays"].__func__
    if getattr(from_arrays, "_lumarq", False):
        return

    def keep(index: Any, rows: list[Any]) -> Any:
        if isinstance(index, MultiIndex) and any(r is not None for r in rows) \
                and all(r is None or len(r[0]) == len(index) for r in rows):
            index._lumarq_rows = rows
        return index

    @functools.wraps(from_arrays)
    def _from_arrays(cls: Any, arrays: Any, *args: Any, **kwargs: Any) -> Any:
        if is_list_like(arrays) and not isinstance(arrays, list | tuple):
            arrays = list(arrays)
        result = from_arrays(cls, arrays, *args, **kwargs)
        if isinstance(arrays, list | tuple):
            keep(result, [_row_words(a) for a in arrays])
        return result

    _from_arrays._lumarq = True  # type: ignore[attr-defined]
    MultiIndex.from_arrays = classmethod(_from_arrays)  # type: ignore[method-assign,assignment]

    def selecting(method: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(method)
        def hooked(self: Any, key: Any, *args: Any, **kwargs: Any) -> Any:
            result = method(self, key, *args, **kwargs)
            rows = getattr(self, "_lumarq_rows", None)
            if rows is None or not isinstance(result, MultiIndex) or is_scalar(key):
                return result
            if isinstance(key, pd.Index):
                key = np.asarray(key)
            try:
                fill = False
                if not isinstance(key, slice) and not pd.api.types.is_bool_dtype(
                        np.asarray(key)):
                    key = np.asarray(key, dtype=np.intp)
                    # -1 is a missing row where pandas filled (its codes say so), else the last
                    missing = key == -1
                    fill = bool(missing.any()) and all(
                        (c[missing] == -1).all() for c in result.codes)
                taken = _take_row_words(rows, len(self), key, fill)
            except (IndexError, TypeError, ValueError):
                return result
            return keep(result, taken)

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    for name in ("take", "__getitem__", "_getitem_slice"):
        setattr(MultiIndex, name, selecting(getattr(MultiIndex, name)))

    # Relabelling the levels (sort_index sorts them after taking the rows) keeps the rows in
    # their order: their words and nodes stay.
    def relabelling(method: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(method)
        def hooked(self: Any, *args: Any, **kwargs: Any) -> Any:
            result = method(self, *args, **kwargs)
            rows = getattr(self, "_lumarq_rows", None)
            if rows is None or result is self or not isinstance(result, MultiIndex) \
                    or len(result) != len(self) or result.nlevels != self.nlevels:
                return result
            return keep(result, rows)

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    MultiIndex._sort_levels_monotonic = relabelling(MultiIndex._sort_levels_monotonic)

    def with_rows(arr: ProvenanceArray, level: tuple[Any, Any, Any]) -> ProvenanceArray:
        words, nodes, tracker = level
        return arr._new(arr._data, words.copy(), tracker, None if nodes is None else nodes.copy())

    level_values = MultiIndex._get_level_values

    def _get_level_values(self: Any, level: int, unique: bool = False) -> Any:
        result = level_values(self, level, unique)
        rows = getattr(self, "_lumarq_rows", None)
        arr = result.array
        if rows is None or unique or rows[level] is None or not isinstance(arr, ProvenanceArray):
            return result
        return pd.Index(with_rows(arr, rows[level]), name=result.name, copy=False)

    MultiIndex._get_level_values = _get_level_values  # type: ignore[method-assign]

    reset_index = pd.DataFrame.reset_index

    @functools.wraps(reset_index)
    def _reset_index(self: Any, level: Any = None, *args: Any, **kwargs: Any) -> Any:
        index = self.index
        rows = getattr(index, "_lumarq_rows", None)
        if rows is None or kwargs.get("drop") or isinstance(self.columns, MultiIndex):
            return reset_index(self, level, *args, **kwargs)
        # The labels pandas gives the levels' columns, to find them in the result.
        labels = index._get_default_index_names(kwargs.get("names"),
                                                "index" if "index" not in self else "level_0")
        result = reset_index(self, level, *args, **kwargs)
        target = self if kwargs.get("inplace") else result
        if level is None:
            levels = list(range(index.nlevels))
        else:
            levels = sorted({index._get_level_number(x)
                             for x in (level if isinstance(level, list | tuple) else [level])})
        for pos, i in enumerate(levels):
            arr = target.iloc[:, pos].array if pos < target.shape[1] else None
            if (rows[i] is not None and isinstance(arr, ProvenanceArray)
                    and len(arr) == len(rows[i][0]) and target.columns[pos] == labels[i]):
                target.isetitem(pos, with_rows(arr, rows[i]))
        return result

    _reset_index._lumarq = True  # type: ignore[attr-defined]
    pd.DataFrame.reset_index = _reset_index  # type: ignore[method-assign]


def _install_rowwise_accessors() -> None:
    for name in ("str", "dt"):
        plain = pd.Series.__dict__.get(name)
        if plain is None or getattr(getattr(plain, "fget", None), "_lumarq", False):
            continue

        def accessor(self: Any, _name: str = name, _plain: Any = plain) -> Any:
            if isinstance(self.dtype, ProvenanceDtype):
                values = pd.Series(self.array._data, index=self.index, name=self.name,
                                   copy=False, dtype=_kept_object(self.dtype))
                return _RowwiseAccessor(self, getattr(values, _name))
            # pandas 2.2's descriptor caches the accessor on the Series, which a property
            # does not allow: the accessor class is called as that descriptor would.
            make = getattr(_plain, "_accessor", None)
            return make(self) if make is not None else _plain.__get__(self, type(self))

        accessor._lumarq = True  # type: ignore[attr-defined]
        setattr(pd.Series, name, property(accessor, doc=getattr(plain, "__doc__", None)))


def _install_dt_hook() -> None:
    # pandas' .dt accessor looks at the Series' dtype: a datetime column of the dtype gets the
    # accessor of its plain values (plain results, as .str gives).
    try:
        from pandas.core.indexes.accessors import CombinedDatetimelikeProperties
    except ImportError:  # pragma: no cover - a pandas without it: .dt refuses the dtype
        return
    make = CombinedDatetimelikeProperties.__new__
    if getattr(make, "_lumarq", False):
        return

    def __new__(cls: Any, data: Any) -> Any:
        if isinstance(getattr(data, "dtype", None), ProvenanceDtype):
            data = pd.Series(data.array._data, index=data.index, name=data.name, copy=False)
        return make(cls, data)

    __new__._lumarq = True  # type: ignore[attr-defined]
    CombinedDatetimelikeProperties.__new__ = __new__  # type: ignore[method-assign]


# What a DatetimeIndex, TimedeltaIndex or PeriodIndex offers that an index of the dtype with
# such values lacked (`df.index.year`, `groupby(df.index.month)`, `.floor("D")` raised
# AttributeError). Only these names: pandas probes indexes for others (`tz`, `freq`) and must
# keep finding them absent.
_DATE_INDEX_ATTRIBUTES = frozenset({
    "year", "month", "day", "hour", "minute", "second", "microsecond", "nanosecond",
    "dayofweek", "day_of_week", "weekday", "dayofyear", "day_of_year", "quarter",
    "days_in_month", "daysinmonth", "is_month_start", "is_month_end", "is_quarter_start",
    "is_quarter_end", "is_year_start", "is_year_end", "is_leap_year", "date", "time",
    "floor", "ceil", "round", "normalize", "strftime", "day_name", "month_name",
    "isocalendar", "to_pydatetime", "to_period", "to_timestamp", "days", "seconds",
    "microseconds", "nanoseconds", "total_seconds", "components", "to_pytimedelta",
    "start_time", "end_time", "qyear", "week", "weekofyear"})


def _install_date_index_attributes() -> None:
    # They run on the index's plain values; a result index of the same length keeps each row's
    # word and node (a month derives from its date alone), as `.dt` of such a column does.
    if "__getattr__" in pd.Index.__dict__:
        return

    def keep_words(index: pd.Index, out: Any) -> Any:
        if (not isinstance(out, pd.Index) or isinstance(out, pd.MultiIndex)
                or len(out) != len(index)):
            return out
        kept = _keep_row_words(pd.Series(index.array, copy=False),
                               pd.Series(out.array, copy=False))
        return pd.Index(kept.array, name=out.name) if isinstance(kept, pd.Series) else out

    def __getattr__(self: pd.Index, name: str) -> Any:
        if name == "str" and isinstance(self.dtype, ProvenanceDtype):
            # pandas 2.2's accessor infers the type of the values from an array it does not
            # know and refuses it: the accessor of the plain values, whose results are plain,
            # as pandas 3 gives them
            return _plain_index(self).str
        if name not in _DATE_INDEX_ATTRIBUTES or not _dated(self) or isinstance(
                self, pd.MultiIndex):
            raise AttributeError(f"'{type(self).__name__}' object has no attribute '{name}'")
        attr = getattr(_plain_index(self), name)
        if not callable(attr):
            return keep_words(self, attr)

        @functools.wraps(attr)
        def call(*args: Any, **kwargs: Any) -> Any:
            return keep_words(self, attr(*args, **kwargs))

        return call

    __getattr__._lumarq = True  # type: ignore[attr-defined]
    pd.Index.__getattr__ = __getattr__  # type: ignore[attr-defined]


def _install_eval_types() -> None:
    # `eval` types an expression by numpy's rules over its operands' dtypes (a float column
    # times a bool column is float) and refuses an object type of operands that are not object.
    # numpy knows no extension dtype, so pandas falls back to its common type of them, object
    # for bool with numbers (as `concat` keeps them apart), and `x * flag` raised. Operands of
    # the dtype are typed by their values' dtype here, as the plain columns are; the type stays
    # of the dtype, and the Series' own operations compute the result.
    from pandas.core.computation import ops

    plain = ops.result_type_many
    if getattr(plain, "_lumarq", False):
        return

    @functools.wraps(plain)
    def result_type_many(*arrays_and_dtypes: Any) -> Any:
        if not any(isinstance(a, ProvenanceDtype) for a in arrays_and_dtypes):
            return plain(*arrays_and_dtypes)
        subs = [a.subtype if isinstance(a, ProvenanceDtype) else a for a in arrays_and_dtypes]
        text = [isinstance(a, ProvenanceDtype) and (a.subtype == object or isinstance(
            a.subtype, pd.StringDtype)) for a in arrays_and_dtypes]
        if any(text) and not all(text):
            # text among other types can only have been compared (`x * (s == t)`): pandas
            # evaluates such comparisons of plain text first, to bools, before it types
            subs = [np.dtype(bool) if t else s for s, t in zip(subs, text)]
        common = plain(*subs)
        if common == object and any(s != object for s in subs):
            return common  # refused, as for the plain operands
        try:
            return ProvenanceDtype(common)
        except TypeError:
            return common

    result_type_many._lumarq = True  # type: ignore[attr-defined]
    ops.result_type_many = result_type_many


def _install_merge_hook() -> None:
    # pandas joins frames column by column (take on each side): the rows matched by a merge are
    # known only to its merge operation, so the hook wraps the step that assembles the result.
    try:
        from pandas.core.reshape.merge import _MergeOperation
    except ImportError:  # pragma: no cover - a pandas without it: no merge nodes
        return
    assemble = getattr(_MergeOperation, "_reindex_and_concat", None)
    if assemble is None or getattr(assemble, "_lumarq", False):
        return

    def _reindex_and_concat(self: Any, join_index: Any, left_indexer: Any, right_indexer: Any,
                            *args: Any, **kwargs: Any) -> Any:
        result = assemble(self, join_index, left_indexer, right_indexer, *args, **kwargs)
        if any(isinstance(d, ProvenanceDtype) for frame in (self.left, self.right)
               if isinstance(frame, pd.DataFrame) for d in frame.dtypes):
            _merge_nodes(self, result, left_indexer, right_indexer)
        return result

    _reindex_and_concat._lumarq = True  # type: ignore[attr-defined]
    _MergeOperation._reindex_and_concat = _reindex_and_concat

    # pandas compares the two sides' key dtypes and casts both columns to object where they
    # differ: a text key of the dtype against plain text came back as plain objects (words
    # lost, and not the `str` plain pandas gives). The dtypes are compared by their values'.
    coerce = getattr(_MergeOperation, "_maybe_coerce_merge_keys", None)
    if coerce is not None and not getattr(coerce, "_lumarq", False):
        def _maybe_coerce_merge_keys(self: Any) -> Any:
            lks, rks = self.left_join_keys, self.right_join_keys
            if not any(isinstance(k, ProvenanceArray) for k in (*lks, *rks)):
                return coerce(self)
            self.left_join_keys = [k._data if isinstance(k, ProvenanceArray) else k for k in lks]
            self.right_join_keys = [k._data if isinstance(k, ProvenanceArray) else k for k in rks]
            try:
                return coerce(self)
            finally:
                self.left_join_keys, self.right_join_keys = lks, rks

        _maybe_coerce_merge_keys._lumarq = True  # type: ignore[attr-defined]
        _MergeOperation._maybe_coerce_merge_keys = _maybe_coerce_merge_keys

    # Unmatched rows of a right or outer merge take their key from the right: pandas rebuilds
    # the key columns (through `where` on pandas 3) after the rows are assembled. Its steps log
    # nothing, and the rebuilt keys continue from the merge nodes as the others do.
    add_keys = getattr(_MergeOperation, "_maybe_add_join_keys", None)
    if add_keys is not None and not getattr(add_keys, "_lumarq", False):
        def _maybe_add_join_keys(self: Any, result: Any, *args: Any, **kwargs: Any) -> Any:
            kept = self.__dict__.pop("_lumarq_merge_ids", None)
            if kept is None:
                out = add_keys(self, result, *args, **kwargs)
            else:
                out = _quietly(add_keys, self, result, *args, **kwargs)
                _key_columns_continue(result, *kept)
            if _left_keys_words(self, result, *args[:2], **kwargs) and kept is not None:
                _key_columns_continue(result, *kept)  # a key column made of the dtype there
            _integer_keys(self, result)
            return out

        _maybe_add_join_keys._lumarq = True  # type: ignore[attr-defined]
        _MergeOperation._maybe_add_join_keys = _maybe_add_join_keys

    # Matching keys needs their values only. A key of the dtype against a plain one has the
    # dtype as common type, which pandas' numeric factorizers cannot read: they get the values.
    from pandas.core.reshape import merge as merge_module

    factorize = getattr(merge_module, "_factorize_keys", None)
    if factorize is None or getattr(factorize, "_lumarq", False):
        return

    def _factorize_keys(lk: Any, rk: Any, *args: Any, **kwargs: Any) -> Any:
        return factorize(_key_values(lk), _key_values(rk), *args, **kwargs)

    _factorize_keys._lumarq = True  # type: ignore[attr-defined]
    merge_module._factorize_keys = _factorize_keys

    # merge_asof demands keys of one dtype, so a tracked frame could not be matched against a
    # plain one (MergeError). It compares the keys' plain values; the result's columns still
    # come from the frames, words included.
    asof = getattr(merge_module, "_AsOfMerge", None)
    require = getattr(asof, "_maybe_require_matching_dtypes", None)
    if require is None or getattr(require, "_lumarq", False):
        return

    def plain(key: Any) -> Any:
        key = _key_values(key)
        # pandas 2.2 keeps object values in its own extension array; the other side has numpy's
        return key.to_numpy() if type(key) is pd.arrays.NumpyExtensionArray else key

    def _maybe_require_matching_dtypes(self: Any, left_keys: Any, right_keys: Any) -> None:
        for keys in (left_keys, right_keys):
            keys[:] = [plain(k) if isinstance(k, ProvenanceArray) else k for k in keys]
        require(self, left_keys, right_keys)

    _maybe_require_matching_dtypes._lumarq = True  # type: ignore[attr-defined]
    asof._maybe_require_matching_dtypes = _maybe_require_matching_dtypes


def _install_index_join_hooks() -> None:
    # A right join on the indexes builds its index from the right side where the labels match
    # (pandas 3 always, pandas 2.2 for unique labels): a matched row took the right row's word
    # and node, so a protected left key read clean. As a merge's key column, a row takes the
    # left row's where the left row exists, else the right's.
    join, merge, module_merge = pd.DataFrame.join, pd.DataFrame.merge, pd.merge
    if getattr(join, "_lumarq", False):
        return

    def hook(method: Callable[..., Any], on_indexes: Callable[[Any], bool]) -> Callable[..., Any]:
        sig = inspect.signature(method)

        @functools.wraps(method)
        def hooked(left: Any, right: Any, *args: Any, **kwargs: Any) -> Any:
            result = _as_caller(method, left, right, *args, **kwargs)
            index = getattr(left, "index", None)
            if not (isinstance(index, pd.Index) and any(
                    isinstance(ix.dtype, ProvenanceDtype) for ix in (
                        index.levels if isinstance(index, pd.MultiIndex) else [index]))):
                return result
            try:
                bound = sig.bind(left, right, *args, **kwargs)
            except TypeError:
                return result
            bound.apply_defaults()
            a = bound.arguments
            if (a.get("how") == "right" and isinstance(right, pd.DataFrame | pd.Series)
                    and on_indexes(a)):
                _left_rows_keep_their_index(result, left.index, right.index, bool(a["sort"]))
            return result

        hooked._lumarq = True  # type: ignore[attr-defined]
        return hooked

    pd.DataFrame.join = hook(join, lambda a: a.get("on") is None)  # type: ignore[method-assign]
    by_index = (lambda a: a.get("left_index") is True and a.get("right_index") is True
                and a.get("on") is None)
    pd.DataFrame.merge = hook(merge, by_index)  # type: ignore[method-assign]
    pd.merge = hook(module_merge, by_index)


def _left_rows_keep_their_index(result: Any, left: pd.Index, right: pd.Index,
                                sort: bool) -> None:
    """The index of `result`, a right join of indexes `left` (of the dtype) and `right`, with
    each row whose left row exists taking that row's word and node. The rows are told by
    joining the plain values as pandas joins them; anything else is left as pandas gave it."""
    index = getattr(result, "index", None)
    if not isinstance(result, pd.DataFrame):
        return
    if isinstance(index, pd.MultiIndex):
        _left_rows_keep_their_levels(result, left, right, sort)
        return
    if not (type(index) is pd.Index and isinstance(index.dtype, ProvenanceDtype)
            and type(left) is pd.Index):
        return

    def plain(ix: pd.Index) -> pd.Index:
        return (pd.Index(ix.array._data, copy=False) if isinstance(ix.dtype, ProvenanceDtype)
                else ix)

    try:
        joined, rows, _ = plain(left).join(plain(right), how="right", return_indexers=True,
                                           sort=sort)
    except (TypeError, ValueError):
        return
    if rows is None:  # every row is the left's, in its order
        rows = np.arange(len(joined), dtype=np.intp)
    if len(rows) != len(index) or not joined.equals(plain(index)):
        return
    arr, mine = index.array, left.array
    try:
        tracker = _check_trackers(mine._tracker, arr._tracker)
    except ValueError:  # words of two trackers do not mix
        return
    rows = np.asarray(rows, dtype=np.intp)
    has = rows >= 0
    words = arr._words.copy()
    words[has] = mine._words[rows[has]]
    nodes = None
    if arr._nodes is not None or mine._nodes is not None:
        nodes = _nodes_or_none(arr).copy()
        nodes[has] = _nodes_or_none(mine)[rows[has]]
    result.index = pd.Index(arr._new(arr._data, words, tracker, nodes), name=index.name,
                            copy=False)


def _left_rows_keep_their_levels(result: pd.DataFrame, left: Any, right: Any,
                                 sort: bool) -> None:
    """`_left_rows_keep_their_index` for MultiIndexes of the same level names: each level of
    the dtype takes the left row's word and node where the left row exists, else the right
    row's (pandas 2.2 gave a level the word of every row sharing its value)."""
    index = result.index
    if not (isinstance(left, pd.MultiIndex) and isinstance(right, pd.MultiIndex)
            and list(left.names) == list(right.names) == list(index.names)):
        return

    def plain(ix: pd.MultiIndex) -> pd.MultiIndex:
        return pd.MultiIndex(levels=[pd.Index(lv.array._data, copy=False)
                                     if isinstance(lv.dtype, ProvenanceDtype) else lv
                                     for lv in ix.levels],
                             codes=ix.codes, names=ix.names, verify_integrity=False)

    try:
        joined, lrows, rrows = plain(left).join(plain(right), how="right",
                                                return_indexers=True, sort=sort)
    except (TypeError, ValueError):
        return
    n = len(index)
    if len(joined) != n or not joined.equals(plain(index)):
        return
    lrows, rrows = (np.arange(n, dtype=np.intp) if r is None else np.asarray(r, dtype=np.intp)
                    for r in (lrows, rrows))
    has = lrows >= 0
    levels, changed = [], False
    for i in range(index.nlevels):
        arr = index.get_level_values(i).array
        if not isinstance(arr, ProvenanceArray):
            levels.append(None)
            continue
        words, nodes = arr._words.copy(), _nodes_or_none(arr).copy()
        tracker = arr._tracker
        for side, rows, where in ((right, rrows, ~has), (left, lrows, has)):
            mine = side.get_level_values(i).array
            if not isinstance(mine, ProvenanceArray) or mine._tracker is None \
                    or (tracker is not None and mine._tracker is not tracker):
                continue  # words of two trackers do not mix
            tracker = mine._tracker
            where = where & (rows >= 0)
            words[where] = mine._words[rows[where]]
            nodes[where] = _nodes_or_none(mine)[rows[where]]
            changed = True
        levels.append(None if tracker is None else
                      (words, None if (nodes < 0).all() else nodes, tracker))
    if changed:
        index = index.copy()
        index._lumarq_rows = levels  # as the MultiIndex hooks keep rows (see there)
        result.index = index


def _key_values(key: Any) -> Any:
    if isinstance(key, ProvenanceArray):
        key = key._data
        nd = _numpy_values(key)
        return key if nd is None else nd
    return key


# ---------------------------------------------------------------------------- the dtype

@register_extension_dtype
class ProvenanceDtype(ExtensionDtype):
    """A column of values of `subtype` with one provenance word per row, shown ``prov[<subtype>]``."""

    _metadata = ("subtype",)
    _match = re.compile(r"^prov\[(?P<subtype>.+)\]$")
    _cache: dict[Any, ProvenanceDtype] = {}

    def __new__(cls, subtype: Any = "float64") -> ProvenanceDtype:
        if isinstance(subtype, ProvenanceDtype):
            return subtype
        if isinstance(subtype, np.dtype | ExtensionDtype):
            hit = cls._cache.get(subtype)
            if hit is not None:
                return hit
        sub = pandas_dtype(subtype)
        cached = cls._cache.get(sub)
        if cached is None:
            cached = object.__new__(cls)
            cached._subtype = sub
            cls._cache[sub] = cached
        return cached

    def __getnewargs__(self) -> tuple[Any]:
        return (self._subtype,)

    def __reduce__(self) -> tuple[Any, tuple[Any]]:
        return (ProvenanceDtype, (self._subtype,))

    def __repr__(self) -> str:
        return f"ProvenanceDtype({str(self._subtype)!r})"

    @property
    def subtype(self) -> Any:
        """The dtype of the values (a numpy dtype or a pandas extension dtype)."""
        return self._subtype

    @property
    def name(self) -> str:
        return f"prov[{self._subtype}]"

    @property
    def type(self) -> type:
        return self._subtype.type

    @property
    def itemsize(self) -> int:
        return int(getattr(self._subtype, "itemsize", 8))

    @property
    def kind(self) -> str:
        return getattr(self._subtype, "kind", "O")

    @property
    def na_value(self) -> Any:
        sub = self._subtype
        if isinstance(sub, np.dtype):
            return pd.NaT if sub.kind in "mM" else np.nan
        return sub.na_value

    @property
    def _is_numeric(self) -> bool:
        # booleans too, as pandas counts bool columns (`numeric_only=True` keeps them)
        return pd.api.types.is_numeric_dtype(self._subtype)

    @property
    def _is_boolean(self) -> bool:
        return pd.api.types.is_bool_dtype(self._subtype)

    @property
    def _can_hold_na(self) -> bool:
        return True

    @classmethod
    def construct_array_type(cls) -> type[ProvenanceArray]:
        return ProvenanceArray

    @classmethod
    def construct_from_string(cls, string: str) -> ProvenanceDtype:
        if not isinstance(string, str):
            raise TypeError(f"'construct_from_string' expects a string, got {type(string)}")
        m = cls._match.match(string)
        if m is None:
            raise TypeError(f"Cannot construct a 'ProvenanceDtype' from '{string}'")
        try:
            return cls(m.group("subtype"))
        except TypeError as exc:
            raise TypeError(f"Cannot construct a 'ProvenanceDtype' from '{string}'") from exc

    def _get_common_dtype(self, dtypes: list[Any]) -> Any:
        subs = [d.subtype if isinstance(d, ProvenanceDtype) else d for d in dtypes]
        try:
            common = pd.core.dtypes.cast.find_common_type(subs)
        except (TypeError, ValueError):
            return None
        if common == np.dtype(object) and not all(
                s == np.dtype(object) or isinstance(s, pd.StringDtype)
                or (isinstance(s, pd.ArrowDtype) and s.type is str) for s in subs):
            # numbers and text have no common type of the dtype; text of any kind is text
            # (`combine_first` of a string column with an object one concatenates them)
            return None
        return ProvenanceDtype(common)


def _install_arrow_metadata_hook() -> None:
    # `pa.Table.from_pandas` names each extension column's type in the table's pandas
    # metadata by `str(dtype)`: "prov[Int64]", which a reader without lumarq cannot build and
    # one with it read back as plain numpy values. The values go as the subtype's (see
    # `__arrow_array__`), so the metadata names the subtype too, as for the untracked frame.
    # pyarrow converts every column before it builds the metadata, so the first conversion of
    # a tracked column installs this.
    from pyarrow import pandas_compat

    info = getattr(pandas_compat, "get_extension_dtype_info", None)
    if info is None or getattr(info, "_lumarq", False):
        return

    def hooked(column: Any, _info: Any = info) -> Any:
        if isinstance(column.dtype, ProvenanceDtype):
            column = pd.Series(column.array._data, copy=False)
        return _info(column)

    functools.update_wrapper(hooked, info)
    hooked._lumarq = True  # type: ignore[attr-defined]
    pandas_compat.get_extension_dtype_info = hooked


# ---------------------------------------------------------------------------- the array

class ProvenanceArray(OpsMixin, ExtensionArray):
    """Values (a pandas array) plus one uint32 provenance word per row and their tracker.

    Arrays pandas builds from sequences (``pd.array([...], dtype="prov[float64]")``) have no
    tracker and words 0.
    """

    __array_priority__ = 1000
    # Above pandas' own arrays (1000), below Index and Series: a nullable, string or Arrow array
    # on the left defers to this one, so `plain_int64_series * tracked` is tracked (it gave
    # untracked values, or raised for Int64 and Float64).
    __pandas_priority__ = 1500

    def __init__(self, values: Any, words: Any = None, tracker: Any = None, *,
                 copy: bool = False, nodes: Any = None) -> None:
        if isinstance(values, ProvenanceArray):
            if words is None:
                words, nodes = values._words, values._nodes if nodes is None else nodes
            tracker = values._tracker if tracker is None else tracker
            values = values._data
        vals = _plain(values)
        if copy:
            vals = vals.copy()
        n = len(vals)
        if words is None:
            w = np.zeros(n, dtype=np.uint32)
        else:
            w = np.asarray(words, dtype=np.uint32)
            if copy:
                w = w.copy()
            if w.shape != (n,):
                raise ValueError(f"words must be 1-d with one word per row ({n}), got shape "
                                 f"{w.shape}")
        if nodes is not None:
            nodes = np.asarray(nodes, dtype=np.int64)
            nodes = nodes.copy() if copy else nodes
            if nodes.shape != (n,):
                raise ValueError(f"nodes must be 1-d with one node id per row ({n}), got shape "
                                 f"{nodes.shape}")
        self._data = vals
        self._words = w
        self._nodes = nodes
        self._readonly = False
        self._tracker = tracker
        self._dtype = ProvenanceDtype(_subtype_of(vals))

    def _new(self, values: Any, words: np.ndarray, tracker: Any = None,
             nodes: np.ndarray | None = None) -> ProvenanceArray:
        out = object.__new__(ProvenanceArray)
        vals = _plain(values)
        out._data = vals
        out._words = words
        out._nodes = nodes
        out._readonly = False
        out._tracker = tracker
        out._dtype = ProvenanceDtype(_subtype_of(vals))
        return out

    @property
    def nodes(self) -> np.ndarray:
        """The DAG node id of each row (int64, -1 for none; read-only)."""
        view = _nodes_or_none(self).view()
        view.flags.writeable = False
        return view

    # ---------------------------------------------------------------- construction

    @classmethod
    def _from_sequence(cls, scalars: Any, *, dtype: Any = None, copy: bool = False
                       ) -> ProvenanceArray:
        if isinstance(dtype, str):
            dtype = pandas_dtype(dtype)
        sub = dtype.subtype if isinstance(dtype, ProvenanceDtype) else dtype
        if isinstance(scalars, pd.Series | pd.Index):
            scalars = scalars.array
        if isinstance(scalars, ProvenanceArray):
            return scalars.astype(ProvenanceDtype(sub), copy=copy) if sub is not None else (
                scalars.copy() if copy else scalars)
        if sub is None:
            # No dtype: pandas is casting the results of a Python function back (combine,
            # apply). Refusing sends them to plain pandas, as untracked values.
            raise TypeError("ProvenanceArray._from_sequence needs a provenance dtype")
        values = pd.array(scalars, dtype=sub, copy=copy)
        return cls(values)

    @classmethod
    def _from_scalars(cls, scalars: Any, *, dtype: Any) -> ProvenanceArray:
        # pandas 2.2 casts the results of a Python function per group back into the column's
        # dtype through here: 21.5 became 21 for an int column. Only results the subtype holds
        # as they are come in; pandas keeps the others as it infers them.
        sub = dtype.subtype if isinstance(dtype, ProvenanceDtype) else dtype
        if isinstance(sub, np.dtype):
            values = np.asarray(scalars)
            if values.dtype == object:
                values = pd.Series(list(scalars), dtype=None).to_numpy()
            if values.dtype.kind != sub.kind or not np.can_cast(values.dtype, sub, "safe"):
                raise TypeError(f"{values.dtype} results are not {sub}")
            return cls(values.astype(sub, copy=False))
        inner = pandas_dtype(sub).construct_array_type()
        strict = getattr(inner, "_from_scalars", inner._from_sequence)
        return cls(strict(scalars, dtype=sub))

    @classmethod
    def _from_factorized(cls, uniques: np.ndarray, original: ProvenanceArray) -> ProvenanceArray:
        inner = original._data
        return cls(type(inner)._from_factorized(uniques, inner))

    def factorize(self, use_na_sentinel: bool = True) -> tuple[np.ndarray, ProvenanceArray]:
        if isinstance(self._data, pd.arrays.NumpyExtensionArray):
            codes, uniques = super().factorize(use_na_sentinel=use_na_sentinel)
        else:
            # Nullable arrays factorize themselves (they have no _from_factorized): a groupby
            # on an Int64 key raised.
            codes, inner = self._data.factorize(use_na_sentinel=use_na_sentinel)
            uniques = ProvenanceArray(inner)
        if self._tracker is None or not len(uniques):
            return codes, uniques
        # A distinct value stands for every row holding it (a groupby key, for one): its word
        # combines theirs, as an aggregation over the group does, so a key taken from a
        # protected column stays tainted in the result.
        codes64 = np.asarray(codes, dtype=np.int64)
        words = _backend.group_combine(self._tracker._rust, self._words, codes64, len(uniques),
                                       _OP.AGG)
        nodes = None
        if self._nodes is not None and len(self._nodes) and \
                self._nodes.min() == self._nodes.max():  # a source column: one node
            nodes = np.full(len(uniques), self._nodes[0], dtype=np.int64)
        elif self._nodes is not None:
            # A value whose rows share one node (a source column's rows do) keeps it, so a
            # group key taken into a result still reaches its graph; values of rows with
            # several nodes have none of their own.
            offsets, members = _backend.distinct_group_members(
                codes64, np.ascontiguousarray(self._nodes, dtype=np.int64), len(uniques))
            offsets, members = np.asarray(offsets), np.asarray(members, dtype=np.int64)
            first = members[np.minimum(offsets[:-1], max(len(members) - 1, 0))] \
                if len(members) else np.full(len(uniques), -1, dtype=np.int64)
            nodes = np.where(np.diff(offsets) == 1, first, -1).astype(np.int64)
        return codes, uniques._new(uniques._data, words, self._tracker, nodes)

    def isin(self, values: Any) -> Any:
        # The values' own array decides, so missing values match (and the result's type is) as
        # for plain columns.
        if isinstance(values, pd.Series | pd.Index):
            values = values.array
        if isinstance(values, ProvenanceArray):
            # numpy's values where there are: pandas 2.2 matched no NaN in a NumpyExtensionArray
            nd = _numpy_values(values._data)
            values = values._data if nd is None else nd
        return self._data.isin(values)

    def insert(self, loc: int, item: Any) -> ProvenanceArray:
        sub = self._dtype.subtype
        if (isinstance(sub, np.dtype) and sub.kind in "iu" and pd.api.types.is_scalar(item)
                and pd.isna(item)):
            # As a plain int Index takes a missing value (get_dummies' dummy_na does): as floats.
            return self.astype(ProvenanceDtype(np.dtype(np.float64))).insert(loc, item)
        if (isinstance(sub, np.dtype) and sub.kind == "b" and pd.api.types.is_scalar(item)
                and pd.isna(item)):
            return self.astype(ProvenanceDtype(np.dtype(object))).insert(loc, item)
        nd = _numpy_values(self._data)
        if (nd is not None and not can_hold_element(nd, item)) or (
                nd is None and isinstance(sub, pd.StringDtype)
                and not (isinstance(item, str) or (pd.api.types.is_scalar(item)
                                                   and pd.isna(item)))):
            # Cast into the subtype, "All" became True in a bool index (crosstab's margins) and
            # 2.5 became 2 in an int one: pandas catches this and inserts into a common type.
            raise TypeError(f"Invalid value '{item}' for dtype '{self.dtype}'")
        return super().insert(loc, item)

    @classmethod
    def _from_sequence_of_strings(cls, strings: Any, *, dtype: Any, copy: bool = False
                                  ) -> ProvenanceArray:
        sub = dtype.subtype
        values = pd.Series(strings, dtype=object).astype(sub).array
        return cls(values)

    # ---------------------------------------------------------------- the basics

    @property
    def dtype(self) -> ProvenanceDtype:
        return self._dtype

    @property
    def words(self) -> np.ndarray:
        """The provenance words, one uint32 per row (read-only view)."""
        view = self._words.view()
        view.flags.writeable = False
        return view

    @property
    def tracker(self) -> Any:
        return self._tracker

    def __len__(self) -> int:
        return len(self._data)

    @property
    def nbytes(self) -> int:
        return int(self._data.nbytes + self._words.nbytes)

    def memory_usage(self, deep: bool = False) -> int:
        """`nbytes`, and with `deep` the objects the values hold (text), as pandas counts them
        for a plain column (pandas 2.2 raised for an object column of the dtype)."""
        data = self._data
        if hasattr(data, "memory_usage"):  # pandas' text arrays count their objects
            return int(data.memory_usage(deep=deep)) + int(self._words.nbytes)
        values = _unwrap(data)
        objects = deep and getattr(values, "dtype", None) == np.dtype(object)
        return self.nbytes + (sum(x.__sizeof__() for x in values) if objects else 0)

    def __getattr__(self, name: str) -> Any:
        # The .str accessor calls _str_* methods: the values' own, giving plain results.
        if name.startswith("_str_") and "_data" in self.__dict__:
            return getattr(self._data, name)
        raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")

    def shift(self, periods: int = 1, fill_value: Any = None) -> ProvenanceArray:
        # Moved rows keep their words; the rows shifted in have word 0 (and pandas' upcast).
        n = len(self)
        idx = np.arange(n, dtype=np.int64) - periods
        idx[(idx < 0) | (idx >= n)] = -1
        nd = _numpy_values(self._data)
        if nd is None and type(self._data) is pd.arrays.NumpyExtensionArray:
            # Object values: the fill pandas uses for plain columns (None, not NaN).
            plain = pd.Series(self._data._ndarray, copy=False).shift(periods,
                                                                     fill_value=fill_value)
            words = _backend.take_words(self._words, idx, True)
            return self._new(plain.to_numpy(), words, self._tracker,
                             _take_nodes(self._nodes, idx, True))
        return self.take(idx, allow_fill=True, fill_value=fill_value)

    def __iter__(self) -> Iterator[Any]:
        # Python scalars, as iterating a plain numeric column gives (json.dumps takes them).
        nd = _numpy_values(self._data)
        if nd is not None:
            return map(nd.item, range(len(nd)))
        return iter(self._data)

    def tolist(self) -> list[Any]:
        nd = _numpy_values(self._data)
        return nd.tolist() if nd is not None else self._data.tolist()

    def isna(self) -> Any:
        return self._data.isna()

    def copy(self) -> ProvenanceArray:
        nodes = None if self._nodes is None else self._nodes.copy()
        return self._new(self._data.copy(), self._words.copy(), self._tracker, nodes)

    def view(self, dtype: Any = None) -> Any:
        if dtype is not None:
            raise NotImplementedError("a ProvenanceArray has no views of another dtype")
        nodes = None if self._nodes is None else self._nodes.view()
        return self._new(self._data.view(), self._words.view(), self._tracker, nodes)

    def _formatter(self, boxed: bool = False) -> Callable[[Any], str | None]:
        return self._data._formatter(boxed)

    def _guard(self, arr: np.ndarray) -> np.ndarray:
        # Views of the values are handed out read-only by a read-only array and, as pandas does
        # for its own columns, under copy-on-write: the memory may be shared with other frames
        # (`track` lends its input's), which pandas copies before writing, but a write into a
        # handed-out view would bypass that.
        if ((self._readonly or _lazy_copies()) and arr.flags.writeable
                and np.shares_memory(arr, self._data)):
            arr = arr.view()
            arr.flags.writeable = False
        return arr

    def __array__(self, dtype: Any = None, copy: Any = None) -> np.ndarray:
        if copy:
            return np.array(self._data, dtype=dtype, copy=True)
        return self._guard(np.asarray(self._data, dtype=dtype))

    def __arrow_array__(self, type: Any = None) -> Any:
        # pyarrow (pa.array, Table.from_pandas) takes the values; the words stay with the
        # tracker. pandas' own arrays know their Arrow type; numpy values go as a Series would.
        import pyarrow as pa

        _install_arrow_metadata_hook()
        data = self._data
        if not hasattr(data, "__arrow_array__"):
            data = pd.Series(data, copy=False)
        return pa.array(data, type=type, from_pandas=True)

    def to_numpy(self, dtype: Any = None, copy: bool = False, na_value: Any = None,
                 **kwargs: Any) -> np.ndarray:
        if na_value is None:
            return self._guard(self._data.to_numpy(dtype=dtype, copy=copy))
        return self._guard(self._data.to_numpy(dtype=dtype, copy=copy, na_value=na_value))

    def __getitem__(self, item: Any) -> Any:
        if is_integer(item):
            return self._data[item]
        if isinstance(item, tuple):
            item = pd.core.indexers.unpack_tuple_and_ellipses(item)
            if is_integer(item):
                return self._data[item]
        if not isinstance(item, slice) and item is not Ellipsis:
            item = check_array_indexer(self, item)
        if item is Ellipsis:
            item = slice(None)
        nodes = None if self._nodes is None else self._nodes[item]
        out = self._new(self._data[item], self._words[item], self._tracker, nodes)
        out._readonly = self._readonly and isinstance(item, slice)
        return out

    def __setitem__(self, key: Any, value: Any) -> None:
        if self._readonly:
            raise ValueError("Cannot modify read-only array")
        if not (is_integer(key) or isinstance(key, slice)):
            key = check_array_indexer(self, key)
        if isinstance(value, pd.Series | pd.Index):
            value = value.array
        # Assigned rows take a tracked value's words and nodes. An untracked value leaves the
        # row's as they were, as `where` does: the rows written are often chosen by the values
        # they held (`s[s > 60] = 60`), so making them clean would hide that.
        words: Any = None
        nodes: Any = -1
        if isinstance(value, ProvenanceArray):
            self._tracker = _check_trackers(self._tracker, value._tracker)
            words = value._words
            nodes = value._nodes if value._nodes is not None else -1
            value = value._data
        elif is_list_like(value) and not isinstance(value, str | bytes):
            seq = value if isinstance(value, np.ndarray | ExtensionArray) else list(value)
            if seq is not value and any(isinstance(v, ProvenanceArray) for v in seq):
                raise TypeError("cannot assign a sequence of provenance arrays element-wise")
            value = seq
        nd = _numpy_values(self._data)
        # (pandas' numpy wrapper unwrapped: pandas' check refused every float in it, so
        # `ints.update(floats)` raised where whole floats fit, as they do for plain columns)
        if nd is not None and nd.dtype.kind in "iub" and not can_hold_element(
                nd, np.asarray(value) if isinstance(value, list) else _unwrap(value)):
            # numpy would cast silently (2.5 into ints gives 2; pandas 2.2 lets it through):
            # refused as pandas 3 refuses it for plain columns.
            raise TypeError(f"Invalid value '{value}' for dtype '{self.dtype}'")
        self._data[key] = value
        if words is None:
            return
        if self._tracker is not None and np.ndim(words) == 1 and not words.all():
            # Rows a tracked value lacks (pandas aligned it by label: word 0, no node) keep
            # their own word and node, as an untracked value leaves them; 0 read clean.
            pos = np.arange(len(self))[key]
            lacking = words == 0
            if np.ndim(nodes):
                lacking &= nodes < 0
            if np.ndim(pos) == 1 and len(pos) == len(words) and lacking.any():
                kept = ~lacking
                key, words = pos[kept], words[kept]
                nodes = nodes[kept] if np.ndim(nodes) else nodes
        self._words[key] = words
        if self._nodes is None and not (isinstance(nodes, int) and nodes == -1):
            self._nodes = np.full(len(self), -1, dtype=np.int64)
        if self._nodes is not None:
            self._nodes[key] = nodes

    def take(self, indices: Sequence[int], *, allow_fill: bool = False,
             fill_value: Any = None) -> ProvenanceArray:
        idx = np.asarray(indices, dtype=np.int64)
        nd = _numpy_values(self._data)
        if nd is not None and len(nd) and (not allow_fill or len(idx) == 0 or idx.min() >= 0):
            # The words' kernel checks every index (IndexError) before numpy takes the values.
            words = _backend.take_words(self._words, idx, allow_fill)
            out = _empty(len(idx), nd.dtype)
            np.take(nd, idx, out=out, mode="wrap")
            values: Any = pd.arrays.NumpyExtensionArray(out)
            return self._new(values, words, self._tracker,
                             _take_nodes(self._nodes, idx, allow_fill))
        if allow_fill and fill_value is not None and not pd.isna(fill_value):
            # A real fill value: the rows it fills carry no provenance (word 0).
            values = self._data.take(idx, allow_fill=True, fill_value=fill_value)
        else:
            values = self._data.take(idx, allow_fill=allow_fill)
        words = _backend.take_words(self._words, idx, allow_fill)
        return self._new(values, words, self._tracker, _take_nodes(self._nodes, idx, allow_fill))

    @classmethod
    def _concat_same_type(cls, to_concat: Sequence[ProvenanceArray]) -> ProvenanceArray:
        tracker = None
        for arr in to_concat:
            tracker = _check_trackers(tracker, arr._tracker)
        first = to_concat[0]._data
        values = type(first)._concat_same_type([a._data for a in to_concat])
        words = _backend.concat_words([a._words for a in to_concat])
        nodes = None
        if any(a._nodes is not None for a in to_concat):
            nodes = np.concatenate([_nodes_or_none(a) for a in to_concat])
        return to_concat[0]._new(values, words, tracker, nodes)

    def _values_for_factorize(self) -> tuple[np.ndarray, Any]:
        return self._data._values_for_factorize()

    def _values_for_argsort(self) -> np.ndarray:
        return self._data._values_for_argsort()

    def argsort(self, *, ascending: bool = True, kind: str = "quicksort",
                na_position: str = "last", **kwargs: Any) -> np.ndarray:
        # The values' own order: pandas' Arrow arrays sort ties stably whatever `kind`, where
        # a quicksort of their numbers put tied rows in another order than plain pandas.
        return self._data.argsort(ascending=ascending, kind=kind, na_position=na_position,
                                  **kwargs)

    def _hash_pandas_object(self, *, encoding: str, hash_key: str, categorize: bool
                            ) -> np.ndarray:
        return self._data._hash_pandas_object(encoding=encoding, hash_key=hash_key,
                                                categorize=categorize)

    def _values_for_json(self) -> np.ndarray:
        return self._data._values_for_json()

    def equals(self, other: object) -> bool:
        if not isinstance(other, ProvenanceArray) or other.dtype != self.dtype:
            return False
        return bool(self._data.equals(other._data))

    def astype(self, dtype: Any, copy: bool = True) -> Any:
        dtype = pandas_dtype(dtype)
        if isinstance(dtype, ProvenanceDtype):
            if dtype == self._dtype:
                return self.copy() if copy else self
            # A cast keeps the words: pandas casts internally (concat, merge) without a step.
            values = self._data.astype(dtype.subtype, copy=copy)
            nodes = self._nodes.copy() if copy and self._nodes is not None else self._nodes
            return self._new(values, self._words.copy() if copy else self._words, self._tracker,
                             nodes)
        return self._data.astype(dtype, copy=copy)

    def value_counts(self, dropna: bool = True) -> pd.Series:
        # In the order pandas counts the plain values in, before it sorts them (stably), so
        # `sort=False` and ties come out as for the plain column.
        nd = _numpy_values(self._data)
        counts = pd.Series(self._data if nd is None else nd, copy=False).value_counts(
            dropna=dropna, sort=False)
        if self._tracker is None or not len(counts):
            index = pd.Index(ProvenanceArray(counts.index.array), name=counts.index.name)
            return pd.Series(counts.array, index=index, name=counts.name)
        # A value and its count derive from the rows that hold it: both take the combination of
        # their words (a count of a protected column read as untracked), and with a DAGTracker
        # one node over those rows' nodes, as a group of a groupby does.
        codes, uniques = pd.factorize(pd.Series(self._data, copy=False), use_na_sentinel=dropna)
        ngroups = len(uniques)
        codes = np.asarray(codes, dtype=np.int64)
        words = _backend.group_combine(self._tracker._rust, self._words, codes, ngroups, _OP.AGG)
        nodes = _log_groups(self._tracker, "value_counts", words, codes, self._nodes, ngroups)
        at = pd.Index(uniques).get_indexer(counts.index)
        words = words[at]
        nodes = None if nodes is None else nodes[at]
        index = pd.Index(self._new(counts.index.array, words, self._tracker, nodes),
                         name=counts.index.name)
        # The counts' own type: nullable and text columns count as Int64, as in plain pandas
        return pd.Series(self._new(counts.array, words.copy(), self._tracker,
                                   None if nodes is None else nodes.copy()),
                         index=index, name=counts.name, copy=False)

    def map(self, mapper: Any, na_action: str | None = None) -> Any:
        # Series.map, Series.apply, DataFrame.map and Index.map with a function, dict or Series
        # come here. Each result row is computed from its own row (and, for a Series of the dtype
        # as the mapper, from the mapper's row it matched), so it takes that row's word, stepped:
        # `sex.map({"male": 1, "female": 0})` was plain and its products read untainted.
        tracked_mapper = isinstance(mapper, pd.Series) and isinstance(mapper.array,
                                                                       ProvenanceArray)
        if self._tracker is None and not (tracked_mapper and mapper.array._tracker is not None):
            return super().map(mapper, na_action=na_action)
        plain_mapper = untrack(mapper) if tracked_mapper else mapper
        # As pandas maps a plain column: numpy values straight through map_array (pandas 3's
        # NumpyExtensionArray.map recasts every result through objects, 28x slower), other
        # arrays through their own map.
        inner = self._data
        values = pd.Series(pd.core.algorithms.map_array(inner._ndarray, plain_mapper,
                                                        na_action=na_action)
                           if isinstance(inner, pd.arrays.NumpyExtensionArray)
                           else inner.map(plain_mapper, na_action=na_action), copy=False)
        if not (len(values) == len(self) and values.ndim == 1 and _holdable(values)):
            return _unwrap(values.array)
        tracker, words, inputs = self._tracker, self._words, [self._nodes]
        if tracked_mapper:
            table = mapper[mapper.index.notna()] if na_action == "ignore" else mapper
            at = _plain_index(table.index).get_indexer(self._data)
            other = table.array
            tracker = _check_trackers(tracker, other._tracker)
            words = _combine(tracker, words, _backend.take_words(other._words, at, True),
                             _OP.MAP)
            inputs.append(_take_nodes(other._nodes, at, True))
            kind = _BINARY
        else:
            words = _step(tracker, words, _OP.MAP)
            kind = _UNARY
        nodes = _log_rows(tracker, "map", words, inputs, values.array, kind=kind)
        return self._new(values.array, words, tracker, nodes)

    def unique(self) -> ProvenanceArray:
        uniques = self._data.unique()
        return ProvenanceArray(uniques)

    # ---------------------------------------------------------------- missing values

    def _pad_or_backfill(self, *, method: str, limit: int | None = None,
                         limit_area: str | None = None, copy: bool = True, **kwargs: Any
                         ) -> ProvenanceArray:
        mask = np.asarray(self._data.isna(), dtype=bool)
        values = self._data._pad_or_backfill(method=method, limit=limit,
                                               limit_area=limit_area, copy=True, **kwargs)
        if not mask.any():
            return self.copy() if copy else self
        # Each filled row takes the word of the row its value came from.
        pos = np.where(mask, -1, np.arange(len(mask), dtype=np.int64))
        if method in ("pad", "ffill"):
            src = np.maximum.accumulate(pos)
        else:
            rev = np.where(mask, len(mask), np.arange(len(mask), dtype=np.int64))[::-1]
            src = np.minimum.accumulate(rev)[::-1]
            src = np.where(src >= len(mask), -1, src)
        filled = mask & ~np.asarray(values.isna(), dtype=bool)
        src = np.where(filled, src, np.arange(len(mask), dtype=np.int64))
        words = _backend.take_words(self._words, src, True)
        nodes = _take_nodes(self._nodes, src, True)
        if copy:
            return self._new(values, words, self._tracker, nodes)
        self._data = values
        self._words = words
        self._nodes = nodes
        return self

    def interpolate(self, **kwargs: Any) -> ProvenanceArray:
        # pandas' interpolation of the values; a filled row derives from the valid rows around
        # it, so its word combines the nearest valid row before and after (either where only
        # one exists), and under a DAGTracker it gets an "interpolate" node over their nodes.
        copy = kwargs.pop("copy", True)
        if "axis" in kwargs:  # a frame's block passes its row axis, 1; this array is 1-D
            kwargs["axis"] = 0
        values = self._data.interpolate(copy=True, **kwargs)
        was = np.asarray(self._data.isna(), dtype=bool)
        filled = was & ~np.asarray(values.isna(), dtype=bool)
        words = self._words.copy()
        if filled.any() and self._tracker is not None:
            n = len(self)
            pos = np.arange(n, dtype=np.int64)
            before = np.maximum.accumulate(np.where(was, -1, pos))
            after = np.minimum.accumulate(np.where(was, n, pos)[::-1])[::-1]
            before = np.where(before >= 0, before, after)
            after = np.where(after < n, after, before)
            before, after = np.clip(before, 0, n - 1), np.clip(after, 0, n - 1)
            both = _combine(self._tracker, words[before], words[after], _OP.FILL)
            words[filled] = both[filled]
        nodes = None if self._nodes is None else self._nodes.copy()
        if nodes is not None and filled.any() and self._tracker is not None:
            rows = np.flatnonzero(filled)
            made = _log_groups(self._tracker, "interpolate", words[rows],
                               np.repeat(np.arange(len(rows), dtype=np.int64), 2),
                               np.stack([nodes[before[rows]], nodes[after[rows]]],
                                        axis=1).reshape(-1), len(rows))
            if made is not None:
                nodes[rows] = made
        if copy:
            return self._new(values, words, self._tracker, nodes)
        self._data, self._words, self._nodes = _plain(values), words, nodes
        return self

    def _where(self, mask: np.ndarray, value: Any) -> ProvenanceArray:
        # Rows where mask is False take `value`; with a scalar or an untracked operand the
        # row keeps its word (the value is chosen for this row), so nothing becomes clean.
        mask = np.asarray(mask, dtype=bool)
        if isinstance(value, pd.Series | pd.Index):
            value = value.array
        words = self._words.copy()
        tracker = self._tracker
        inputs = self._nodes
        if isinstance(value, ProvenanceArray):
            tracker = _check_trackers(tracker, value._tracker)
            np.copyto(words, value._words, where=~mask)
            if value._nodes is not None or inputs is not None:
                inputs = np.where(mask, _nodes_or_none(self), _nodes_or_none(value))
            value = value._data
        nd = _numpy_values(self._data)
        other = value.to_numpy() if isinstance(value, ExtensionArray) else value
        if nd is not None and not can_hold_element(nd, other):
            # int or bool values meeting NaN or a float: the dtype plain pandas gives (pandas
            # 2.2 checks a read-only `other`, a frame's broadcast bound, through a writable view)
            if isinstance(other, np.ndarray) and not other.flags.writeable:
                other = other.copy()
            values = pd.Series(self._data, copy=False).where(mask, other).array
        else:
            if nd is not None and nd.dtype.kind in "iub":
                # a float the ints can hold (0.0): pandas 2.2's array would give floats
                value = np.asarray(other).astype(nd.dtype, copy=False)
                if value.ndim == 0:
                    value = value[()]
            elif (isinstance(self._data, pd.arrays.NumpyExtensionArray)
                  and self._data._ndarray.dtype == object and isinstance(value, ExtensionArray)):
                value = np.asarray(value, dtype=object)  # boxed: numpy makes ints of dates
            try:
                values = self._data._where(mask, value)
            except (TypeError, ValueError):
                if nd is not None:
                    raise
                # text, dates or durations meeting what they cannot hold: as pandas' block
                # does on this error, the common type (object) takes both
                values = pd.Series(self._data, copy=False).where(mask, value).array
        nodes = inputs  # quiet: each row keeps the node of the operand it took
        if _logs(tracker, inputs):
            words = _step(tracker, words, _OP.FILL)
            nodes = _log_rows(tracker, "where", words, [inputs], values)
        return self._new(values, words, tracker, nodes)

    def fillna(self, value: Any = None, method: Any = None, limit: int | None = None,
               copy: bool = True) -> ProvenanceArray:
        # A filled row takes the word of the value it took; a scalar leaves its word as it was
        # (the value was chosen for this row), so a filled row is never made clean.
        if method is not None:  # pandas 2.2's fillna(method=...)
            return self._pad_or_backfill(method=method, limit=limit, copy=copy)
        return self._fill(value, limit, copy, "fillna")

    def _fill(self, value: Any, limit: int | None, copy: bool, op: str) -> ProvenanceArray:
        if isinstance(value, pd.Series | pd.Index):
            value = value.array
        mask = np.asarray(self._data.isna(), dtype=bool)
        if limit is not None and limit < len(self):
            mask &= np.cumsum(mask) <= limit
        if not mask.any() and (not isinstance(value, ProvenanceArray) or len(value) == len(self)):
            # nothing to fill: rows, words and nodes as they were, as pandas 3 never calls here
            return self.copy() if copy else self
        words = self._words.copy()
        tracker = self._tracker
        filled = None
        if isinstance(value, ProvenanceArray):
            if len(value) != len(self):
                raise ValueError(f"Length of 'value' does not match. Got ({len(value)})  "
                                 f"expected {len(self)}")
            tracker = _check_trackers(tracker, value._tracker)
            if self._tracker is not None and value._tracker is not None and mask.any():
                # a row was filled because its own value was missing: it keeps its word too
                words[mask] = _combine(tracker, value._words[mask], self._words[mask], _OP.FILL)
            else:
                np.copyto(words, value._words, where=mask)
            if value._nodes is not None:
                filled = np.where(mask, value._nodes, -1)
            value = value._data
        if not copy and self._readonly and mask.any():
            raise ValueError("Cannot modify read-only array")
        nd = _numpy_values(self._data)
        try:
            if nd is not None and is_scalar(value) and not can_hold_element(nd, value):
                raise TypeError(value)  # True into floats: pandas' blocks take objects
            if limit is not None and limit < len(self):
                # only the first `limit` missing values (pandas 2.2's array filled them all)
                values = self._data.copy() if copy else self._data
                values[mask] = value[mask] if is_list_like(value) and len(value) == len(self) \
                    else value
            else:
                values = self._data.fillna(value=value, limit=limit, copy=copy)
        except (TypeError, ValueError):
            if not (is_scalar(value) or isinstance(value, np.ndarray | ExtensionArray)
                    and len(value) == len(self)):
                raise
            # a value the subtype cannot hold: the common type plain pandas gives (its warning
            # shown at the caller); a new array, as the type changes
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                plain = pd.Series(self._data, copy=True)
                values = (plain.fillna(value) if is_scalar(value) and limit is None
                          else plain.where(~mask, value)).array
            _warn_at_caller(caught)
            copy = True
        nodes = self._nodes if filled is None else np.where(filled >= 0, filled,
                                                             _nodes_or_none(self))
        if _logs(tracker, self._nodes, filled):
            words = _step(tracker, words, _OP.FILL)
            # The node of the value a row holds, and a filled row's own node, as its word says.
            own = (None if filled is None or self._nodes is None
                   else np.where(filled >= 0, self._nodes, -1))
            nodes = _log_rows(tracker, op, words, [nodes] + ([own] if own is not None else []),
                              values)
        if copy:
            return self._new(values, words, tracker, nodes)
        self._data, self._words, self._nodes, self._tracker = _plain(values), words, nodes, tracker
        return self

    # ---------------------------------------------------------------- computation

    def _operand(self, other: Any) -> tuple[Any, np.ndarray | None, Any]:
        if isinstance(other, ProvenanceArray):
            return other._data, other._words, other._tracker
        if isinstance(other, list):
            other = pd.array(other) if other else np.asarray(other)
        return other, None, None

    def _binary(self, other: Any, op: Callable[[Any, Any], Any], code: int) -> Any:
        if isinstance(other, pd.Series | pd.Index | pd.DataFrame):
            return NotImplemented
        values, words, tracker = self._operand(other)
        if self._tracker is not None and words is not None and tracker is not None:
            out_tracker = _check_trackers(self._tracker, tracker)
            first, second = (words, self._words) if op in _REVERSED else (self._words, words)
            # One after the other: the combination already runs on the backend's worker pool,
            # and a hand-off to a further thread stalls whenever the machine is busy.
            result = self._values_op(op, values)
            out_words = _combine(out_tracker, first, second, code)
        elif words is not None and tracker is not None:
            # An array without a tracker has words 0: the tracked operand's words carry over.
            result = self._values_op(op, values)
            out_words, out_tracker = words.copy(), tracker
        else:
            result = self._values_op(op, values)
            out_words, out_tracker = self._words.copy(), self._tracker
        other_nodes = other._nodes if isinstance(other, ProvenanceArray) else None
        if not (self._tracker is not None and words is not None and tracker is not None):
            # A scalar or untracked operand: the tracked side's node ids carry over with its
            # words and nothing is logged, as for the DAG-tracked containers.
            nodes = other_nodes if self._tracker is None and tracker is not None else self._nodes
            nodes = None if nodes is None else nodes.copy()
        else:
            inputs = (other_nodes, self._nodes) if op in _REVERSED else (self._nodes, other_nodes)
            if isinstance(result, tuple):  # divmod: its parts' rows are // and % nodes
                return tuple(self._new(r, out_words.copy(), out_tracker, _log_rows(
                    out_tracker, name, out_words, inputs, r))
                    for r, name in zip(result, ("floordiv", "mod")))
            nodes = _log_rows(out_tracker, _op_name(op), out_words, inputs, result)
        if isinstance(result, tuple):
            return tuple(self._new(r, out_words.copy(), out_tracker,
                                   None if nodes is None else nodes.copy()) for r in result)
        return self._new(result, out_words, out_tracker, nodes)

    def _values_op(self, op: Callable[[Any, Any], Any], values: Any) -> Any:
        if op is operator.sub and getattr(_DIFFING, "periods", 0):
            wrapped = self._unsigned_diff(values, _DIFFING.periods)
            if wrapped is not None:
                return wrapped
        fast = _float_op(op, self._data, values)
        if fast is not None:
            return fast
        # A plain column of another pandas array (nullable, string, Arrow) whose operator
        # deferred here: it takes numpy values, as with a plain column on this side (its result
        # type wins: Int64 * int64 gives Int64; it raised against pandas' wrapper). Exact types:
        # pandas 2.2's text arrays subclass the wrapper.
        if (type(self._data) is pd.arrays.NumpyExtensionArray
                and isinstance(values, ExtensionArray)
                and type(values) is not pd.arrays.NumpyExtensionArray):
            return op(self._data._ndarray, values)
        if op in _LOGICAL and isinstance(self._data, pd.arrays.NumpyExtensionArray):
            # pandas' numpy-backed array has no &, | or ^: the routine plain columns go through
            # (NaN in object flags is False; bool & int gives bool).
            if isinstance(values, pd.arrays.NumpyExtensionArray):
                values = values.to_numpy()
            from pandas.core import ops as _pd_ops

            return pd.arrays.NumpyExtensionArray(
                np.asarray(_pd_ops.logical_op(self._data.to_numpy(), values, op)))
        if (isinstance(values, pd.arrays.NumpyExtensionArray)
                and not isinstance(self._data, pd.arrays.NumpyExtensionArray)):
            # Other pandas arrays (nullable, timedelta) take numpy operands, not pandas' numpy
            # wrapper (Int64 + int64 raised).
            values = values.to_numpy()
        return op(self._data, values)

    def _unsigned_diff(self, lagged: Any, periods: int) -> np.ndarray | None:
        """A diff's `self - self.shift(periods)` of unsigned ints as plain pandas computes it:
        in the unsigned type, wrapping around (`uint8` 0 after 255: 1), then as float64 with
        the rows shifted in missing. None for any other subtraction."""
        own = _numpy_values(self._data)
        lag = _numpy_values(lagged) if isinstance(lagged, pd.arrays.NumpyExtensionArray) \
            else None
        if own is None or own.dtype.kind != "u" or lag is None or lag.dtype.kind != "f" \
                or len(lag) != len(own):
            return None
        before = np.roll(own, periods)
        missing = np.isnan(lag)
        if not np.array_equal(lag[~missing], before[~missing].astype(np.float64)):
            return None  # not this array's own shift
        out = (own - before).astype(np.float64)
        out[missing] = np.nan
        return out

    def _arith_method(self, other: Any, op: Callable[[Any, Any], Any]) -> Any:
        name = op.__name__.strip("_")
        return self._binary(other, op, _ARITH_CODES.get(name, _OP.MAP))

    def _cmp_method(self, other: Any, op: Callable[[Any, Any], Any]) -> Any:
        return self._binary(other, op, _OP.CMP)

    def _logical_method(self, other: Any, op: Callable[[Any, Any], Any]) -> Any:
        return self._binary(other, op, _OP.CMP)

    def _unary(self, values: Any, code: int, name: str) -> ProvenanceArray:
        words = _step(self._tracker, self._words, code)
        nodes = _log_rows(self._tracker, name, words, [self._nodes], values, kind=_UNARY)
        return self._new(values, words, self._tracker, nodes)

    def __neg__(self) -> ProvenanceArray:
        return self._unary(-self._data, _OP.NEG, "neg")

    def __pos__(self) -> ProvenanceArray:
        return self.copy()

    def __abs__(self) -> ProvenanceArray:
        return self._unary(abs(self._data), _OP.MAP, "abs")

    def __invert__(self) -> ProvenanceArray:
        return self._unary(~self._data, _OP.MAP, "invert")

    def round(self, decimals: int = 0, *args: Any, **kwargs: Any) -> ProvenanceArray:
        if self.dtype._is_boolean:  # as pandas' own arrays: nothing to round (numpy made floats)
            return self.copy()
        inner = self._data
        nd = _numpy_values(inner)
        if nd is not None:
            # numpy's rounding, as a plain column's block does (pandas 3's array default
            # rounds element by element in Python: about 3 us a row)
            values = pd.arrays.NumpyExtensionArray(np.round(nd, decimals))
        else:
            values = inner.round(decimals) if hasattr(inner, "round") else np.round(
                inner.to_numpy(), decimals)
        return self._unary(values, _OP.MAP, "round")

    def __array_ufunc__(self, ufunc: np.ufunc, method: str, *inputs: Any, **kwargs: Any) -> Any:
        result = arraylike.maybe_dispatch_ufunc_to_dunder_op(self, ufunc, method, *inputs,
                                                             **kwargs)
        if result is not NotImplemented:
            return result
        if "out" in kwargs:
            return arraylike.dispatch_ufunc_with_out(self, ufunc, method, *inputs, **kwargs)
        if method == "reduce":
            result = arraylike.dispatch_reduction_ufunc(self, ufunc, method, *inputs, **kwargs)
            if result is not NotImplemented:
                return result
        running = _ACCUMULATIONS.get(ufunc) if method == "accumulate" else None
        if running and len(inputs) == 1 and not kwargs and self._tracker is not None:
            # `np.maximum.accumulate(s)` is `cummax` without skipping NaN: its words, not plain
            if isinstance(self._data, _MASKED):
                # a masked array accumulates past a missing row, which stays <NA> (not cummax)
                result = getattr(ufunc, method)(self._data)
                out = self._accumulate(running, skipna=False)
                return out if result.equals(out._data) else result
            result = getattr(ufunc, method)(np.asarray(self._data))
            out = self._accumulate(running, skipna=False)
            if np.array_equal(np.asarray(out._data), result, equal_nan=result.dtype.kind == "f"):
                return out
            return result
        tracked = [x for x in inputs if isinstance(x, ProvenanceArray)]
        # A nullable or Arrow array computes the ufunc itself, as on a plain Series: missing
        # rows stay <NA> and the result of its kind (pandas 3 keeps Arrow results Arrow),
        # where numpy would see the NaN or value under the mask.
        plain_inputs = [(x._data if isinstance(x._data, _MASKED)
                         or isinstance(x._data.dtype, pd.ArrowDtype) else np.asarray(x._data))
                        if isinstance(x, ProvenanceArray) else x for x in inputs]
        result = getattr(ufunc, method)(*plain_inputs, **kwargs)
        if method != "__call__":
            return result
        tracker = None
        for x in tracked:
            tracker = _check_trackers(tracker, x._tracker)
        live = [x for x in tracked if x._tracker is not None]
        if not live:
            words = tracked[0]._words
            words = words.copy()
        elif len(live) == 1:
            words = _step(tracker, live[0]._words, _OP.MAP)
        else:
            words = live[0]._words
            for x in live[1:]:
                words = _combine(tracker, words, x._words, _OP.MAP)
        nodes = None
        first = result[0] if isinstance(result, tuple) else result
        if (isinstance(first, (np.ndarray, *_MASKED, pd.arrays.ArrowExtensionArray))
                and first.ndim == 1 and len(first) == len(self)):
            inputs = [x._nodes for x in live if x._nodes is not None][:2]
            nodes = _log_rows(tracker, ufunc.__name__, words, inputs, first,
                              kind=_UNARY if len(inputs) == 1 else _BINARY)

        def wrap(r: Any) -> Any:
            if (isinstance(r, (np.ndarray, *_MASKED, pd.arrays.ArrowExtensionArray))
                    and r.ndim == 1 and len(r) == len(self)):
                return self._new(r, words.copy(), tracker, None if nodes is None else nodes.copy())
            return r

        if isinstance(result, tuple):
            return tuple(wrap(r) for r in result)
        return wrap(result)

    # ---------------------------------------------------------------- reductions and groups

    def _reduce(self, name: str, *, skipna: bool = True, keepdims: bool = False,
                **kwargs: Any) -> Any:
        # Reductions give plain scalars (or a plain one-element array with keepdims).
        if not keepdims:
            return _unwrap(self._data._reduce(name, skipna=skipna, **kwargs))
        # keepdims is a frame's reduction: one element of the type plain pandas gives there.
        # Dates and durations reduce as a plain column's 2-d block does (pandas 2.2 gave
        # objects, pandas 3 objects for a mean of durations), pandas' own arrays stay theirs
        # (pandas 3's text `str`, not objects), and numpy text stays objects (not `<U1`).
        if isinstance(self._data, pd.arrays.DatetimeArray | pd.arrays.TimedeltaArray):
            return self._data.reshape(1, -1)._reduce(name, skipna=skipna, axis=1, **kwargs)
        out = self._data._reduce(name, skipna=skipna, keepdims=True, **kwargs)
        if type(out) is pd.arrays.NumpyExtensionArray:
            out = out._ndarray
        return out.astype(object) if isinstance(out, np.ndarray) and out.dtype.kind in "US" else out

    def _groupby_quantile(self, **kwargs: Any) -> Any:
        # pandas 3 asks the array for group quantiles: its values' own answer, of their kind
        # (Float64 for nullable, Arrow for Arrow values), the words added by the group hook
        return _unwrap(self._data._groupby_quantile(**kwargs))

    def _quantile(self, qs: np.ndarray, interpolation: str) -> Any:
        # A reduction: plain values, as for the other reductions.
        return _unwrap(self._data._quantile(qs, interpolation))

    def _mode(self, dropna: bool = True) -> Any:
        return _unwrap(self._data._mode(dropna=dropna))

    def any(self, *, skipna: bool = True, **kwargs: Any) -> Any:
        return self._data._reduce("any", skipna=skipna)

    def all(self, *, skipna: bool = True, **kwargs: Any) -> Any:
        return self._data._reduce("all", skipna=skipna)

    def _accumulate(self, name: str, *, skipna: bool = True, **kwargs: Any) -> Any:
        # The values of plain pandas; each row's word combines the words of every row up to it
        # (a running sum or maximum depends on all of them), as a rolling window as long as the
        # column would, and its node follows the row before's and its own.
        plain = pd.Series(self._data, copy=False)
        values = getattr(plain, name)(skipna=skipna, **kwargs).array
        if self._tracker is None:
            return _unwrap(values)
        words = _backend.window_combine(self._tracker._rust, self._words, max(len(self), 1),
                                        _OP.AGG)
        nodes = None
        if self._nodes is not None:
            n = len(self)
            nodes = _log_windows(self._tracker, name, self._words, [self._nodes],
                                 np.zeros(n, np.int64), np.arange(1, n + 1, dtype=np.int64),
                                 words)
            if nodes is not None:
                _record_window_values(self._tracker, name, words, values)
        return self._new(values, words, self._tracker, nodes)

    def _cast_pointwise_result(self, values: Any) -> Any:
        # Results of a Python function per element are plain, as pandas infers them; text keeps
        # the subtype's missing value and storage, as pandas' own text arrays keep theirs.
        sub = self.dtype.subtype
        if isinstance(values, ProvenanceArray):
            # Not a function's results: pandas 3 casts a column that rows added by `loc` widened
            # back to its type, as it casts the plain column, and recasts a Series grown by a
            # value it cannot hold (`s[99] = np.nan` on ints); the rows keep their words.
            data = pd.array([], dtype=sub)._cast_pointwise_result(values._data)
            return values._new(_unwrap(data), values._words, values._tracker, values._nodes)
        if isinstance(sub, ExtensionDtype):
            # pandas' own arrays type them as for the plain column: Arrow values stay Arrow
            # values (a row added by label kept `large_string`), nullable ones nullable
            return pd.array([], dtype=sub)._cast_pointwise_result(values)
        return pd.Series(list(values), dtype=None).array

    def _groupby_op(self, *, how: str, has_dropped_na: bool, min_count: int, ngroups: int,
                    ids: np.ndarray, **kwargs: Any) -> Any:
        inner = self._data
        if type(inner) is pd.arrays.NumpyExtensionArray:  # pandas' text arrays run their own
            # numpy values: the very routine pandas runs for plain columns, so the values
            # (and their dtype) are those of plain pandas.
            result = _cython_group_op(inner.to_numpy(), how, has_dropped_na, min_count,
                                      ngroups, ids, kwargs)
        else:
            result = inner._groupby_op(how=how, has_dropped_na=has_dropped_na,
                                       min_count=min_count, ngroups=ngroups, ids=ids, **kwargs)
        if how in _GROUP_TRANSFORMS and len(result) == len(self):
            words = self._group_transform_words(how, ids, ngroups)
            nodes = self._group_transform_nodes(how, ids, ngroups, words)
            if nodes is not None and how != "rank":  # a rank's rows share their group's node
                _record_window_values(self._tracker, how, words, result)
            return self._new(result, words, self._tracker, nodes)
        if how not in _GROUP_REDUCTIONS or len(result) != ngroups:
            return _unwrap(result)
        words, nodes = self._group_words(how, ids, ngroups)
        return self._new(result, words, self._tracker, nodes)

    def _group_transform_words(self, how: str, ids: np.ndarray, ngroups: int) -> np.ndarray:
        """Each row's word for the group transform `how`: a cumulative one combines the key's
        word with the group's rows up to the row, a rank the whole group's. Rows in no group
        (a missing key) take one step of their own."""
        if self._tracker is None:
            return np.zeros(len(self), dtype=np.uint32)
        ids = np.asarray(ids, dtype=np.int64)
        if how != "rank":  # each group's keys join its rows as one first member
            keys = _key_words(self._tracker, len(self), ids, ngroups)
            key = _one_key_word(self._tracker, keys, ngroups)
            return _backend.group_running_combine(self._tracker._rust, self._words, ids, key,
                                                  _OP.AGG)
        totals = self._group_totals(ids, ngroups)  # as a group reduction's
        out = totals[np.maximum(ids, 0)] if ngroups else np.zeros(len(ids), np.uint32)
        missing = ids < 0
        if missing.any():
            out[missing] = _backend.update_chain_batch(self._tracker._rust,
                                                       self._words[missing], _OP.AGG)
        return out

    def _group_transform_nodes(self, how: str, ids: np.ndarray, ngroups: int,
                               words: np.ndarray) -> np.ndarray | None:
        """Each row's node for the group transform `how` (words as given): a cumulative row's
        follows its group's rows up to it and their keys' nodes, a rank row takes its group's
        node (made as a group reduction's), and a row in no group one step of its own."""
        if self._nodes is None or not _is_dag(self._tracker):
            return None
        ids = np.asarray(ids, dtype=np.int64)
        n = len(self)
        if how == "rank":
            totals = np.zeros(ngroups, dtype=np.uint32)  # every member carries its group's
            totals[ids[ids >= 0]] = words[ids >= 0]
            per_group = self._group_nodes("rank", totals, ids, ngroups)
            if per_group is None:
                return None
            out = per_group[np.maximum(ids, 0)] if ngroups else np.full(n, -1, np.int64)
            missing = ids < 0
            if missing.any():
                own = _log_rows(self._tracker, "rank", words[missing], [self._nodes[missing]],
                                kind=_UNARY)
                out[missing] = -1 if own is None else own
            return out
        # Cumulative: windows over the rows in group order, each from its group's first row
        # (a row in no group is a window of its own).
        order = np.argsort(ids, kind="stable")
        sorted_ids = ids[order]
        first = np.searchsorted(sorted_ids, sorted_ids, side="left")
        positions = np.arange(n, dtype=np.int64)
        starts = np.where(sorted_ids >= 0, first, positions)
        columns = [self._nodes[order]] + [k[order] for k in _row_key_nodes(
            getattr(_GROUPING, "grouper", None), self._tracker, n)]
        made = _log_windows(self._tracker, how, self._words[order], columns, starts,
                            positions + 1, words[order])
        if made is None:
            return None
        out = np.empty(n, dtype=np.int64)
        out[order] = made
        return out

    def _rank(self, *, axis: int = 0, method: str = "average", na_option: str = "keep",
              ascending: bool = True, pct: bool = False) -> Any:
        # pandas ranks a Series through its array; each rank depends on every row's value.
        ranks = ProvenanceArray._plain_rank(self._data, axis=axis, method=method,
                                            na_option=na_option, ascending=ascending, pct=pct)
        if self._tracker is None or len(self) == 0:
            words = np.zeros(len(ranks), dtype=np.uint32)
        else:
            words = np.full(len(ranks), _whole_word(self._tracker, self._words),
                            dtype=np.uint32)
        # One node for the whole column, every row's: each rank was computed from all rows.
        nodes = _whole_node(self, "rank", words[0], len(ranks)) if len(self) else None
        return self._new(ranks, words, self._tracker, nodes)

    @staticmethod
    def _plain_rank(values: Any, **kwargs: Any) -> Any:
        if isinstance(values, pd.arrays.NumpyExtensionArray):
            from pandas.core.algorithms import rank

            return rank(values.to_numpy(), **kwargs)
        return values._rank(**kwargs)

    def _group_totals(self, ids: np.ndarray, ngroups: int) -> np.ndarray:
        """Each group's combination of its members' words. A group's value was computed over
        the rows its key chose, so the key's word (the key column's in the result) joins as one
        more member: mean income by gender derives from gender."""
        if self._tracker is None:
            return np.zeros(ngroups, dtype=np.uint32)
        ids = np.asarray(ids, dtype=np.int64)
        return _keyed_group_words(self._tracker, len(self), ids, ngroups, self._words, ids)

    def _group_words(self, how: str, ids: np.ndarray, ngroups: int
                     ) -> tuple[np.ndarray, np.ndarray | None]:
        """Each group's word and node for the reduction `how` of its members' rows."""
        words = self._group_totals(ids, ngroups)
        return words, self._group_nodes(how, words, ids, ngroups)

    def _group_nodes(self, op: str, words: np.ndarray, ids: np.ndarray,
                     ngroups: int) -> np.ndarray | None:
        """One node `op` per group (word words[g]) over its members' distinct nodes, then its
        key's: the graph reaches the key's sources as the word does."""
        ids = np.asarray(ids, dtype=np.int64)
        return _keyed_group_nodes(self._tracker, len(self), ids, ngroups, op, words,
                                  self._nodes, ids)

    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild, (self._data, self._words, self._tracker, self._nodes))


def _cython_group_op(values: np.ndarray, how: str, has_dropped_na: bool, min_count: int,
                     ngroups: int, ids: np.ndarray, kwargs: dict[str, Any]) -> Any:
    from pandas.core.groupby.ops import WrappedCythonOp

    try:
        op = WrappedCythonOp(how=how, has_dropped_na=has_dropped_na)
    except TypeError:  # pandas 2.2 also takes the kind
        kind = "aggregate" if how in WrappedCythonOp._CYTHON_FUNCTIONS["aggregate"] else \
            "transform"
        op = WrappedCythonOp(kind=kind, how=how, has_dropped_na=has_dropped_na)
    return op.cython_operation(values=values, axis=0, min_count=min_count, comp_ids=ids,
                               ngroups=ngroups, **kwargs)


def _reduction(name: str) -> Callable[..., Any]:
    def method(self: ProvenanceArray, *, skipna: bool = True, **kwargs: Any) -> Any:
        return self._reduce(name, skipna=skipna, **kwargs)

    method.__name__ = name
    method.__doc__ = f"The {name} of the values (a plain scalar)."
    return method


for _name in ("sum", "prod", "mean", "median", "min", "max", "std", "var", "sem", "skew",
              "kurt"):
    setattr(ProvenanceArray, _name, _reduction(_name))


def _rebuild(values: Any, words: np.ndarray, tracker: Any,
             nodes: np.ndarray | None = None) -> ProvenanceArray:
    return ProvenanceArray(values, words, tracker, nodes=nodes)


_ACCUMULATIONS = {np.add: "cumsum", np.multiply: "cumprod", np.maximum: "cummax",
                  np.minimum: "cummin"}
_LOGICAL = frozenset({operator.and_, operator.or_, operator.xor, roperator.rand_, roperator.ror_,
                      roperator.rxor})
_REVERSED = frozenset({roperator.radd, roperator.rsub, roperator.rmul, roperator.rtruediv,
                       roperator.rfloordiv, roperator.rmod, roperator.rdivmod, roperator.rpow,
                       roperator.rand_, roperator.ror_, roperator.rxor})


# ---------------------------------------------------------------------------- track / untrack

def _trackable(dtype: Any) -> bool:
    if isinstance(dtype, ProvenanceDtype):
        return True
    if isinstance(dtype, pd.CategoricalDtype | pd.PeriodDtype | pd.IntervalDtype
                  | pd.SparseDtype):
        return False
    if isinstance(dtype, np.dtype):
        return dtype.kind in "biufmM"
    return (pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype)
            or pd.api.types.is_string_dtype(dtype) or isinstance(dtype, pd.DatetimeTZDtype))


def _holdable(col: pd.Series) -> bool:
    """Whether the dtype holds `col`'s values as pandas infers them (numbers, bools, dates,
    text)."""
    return _trackable(col.dtype) or _is_text(col)


def _is_text(col: pd.Series) -> bool:
    if col.dtype != np.dtype(object):
        return False
    kind = pd.api.types.infer_dtype(col, skipna=True)
    return kind in ("string", "empty")


def _protected_names(protected: Any) -> set[str] | None:
    """The protected column names, or None when `protected` is a flag for the whole table."""
    if isinstance(protected, str | bytes) or protected is None:
        return None
    if isinstance(protected, np.ndarray) and protected.ndim == 0:
        return None
    if isinstance(protected, Iterable):
        return {str(c) for c in protected}
    return None


def track(data: pd.DataFrame | pd.Series, tracker: Any, table: str,
          protected: Any = None) -> Any:
    """Return `data` with its tracked columns of dtype ``prov[<subtype>]``.

    Registers the (table, column) pairs on `tracker` exactly as ``wrap_dataframe`` does (same
    `protected` rules: a flag for the whole table, or a list/tuple/set of column names; same
    entity hashing of the row labels), so the words equal ``wrap_dataframe``'s. Numeric, bool,
    datetime, timedelta and text columns are tracked; other columns stay as they are, with a
    warning; a protected column that cannot be tracked raises ``TypeError``.
    """
    if isinstance(data, pd.Series):
        if data.name is None:
            raise ValueError("track: a Series needs a name (its column name in `table`)")
        return track(data.to_frame(), tracker, table, protected)[data.name]
    if not isinstance(data, pd.DataFrame):
        raise TypeError(f"track: expected a pandas DataFrame or Series, got "
                        f"{type(data).__name__}")
    if not isinstance(table, str):
        raise TypeError(f"track: table must be str, not {type(table).__name__}")
    frame = untrack(data)
    names = _protected_names(protected)
    if names is not None:
        protected = sorted(names)  # read once: a one-shot iterator would name nothing later
    flag = bool(protected) if names is None else False
    cols = list(frame.columns)
    series = [col for _, col in frame.items()]  # by position: names may repeat
    dtypes = [col.dtype for col in series]
    untrackable = [c for i, c in enumerate(cols)
                   if not (_trackable(dtypes[i]) or _is_text(series[i]))]
    bad = [c for c in untrackable if flag or (names is not None and str(c) in names)]
    if bad:
        raise TypeError(f"track: protected column(s) {bad!r} cannot be tracked (dtype "
                        f"{', '.join(str(dtypes[cols.index(c)]) for c in bad)})")
    if untrackable:
        warnings.warn(f"track: column(s) {untrackable!r} are not tracked (unsupported dtype); "
                      f"they stay as they are", UserWarning, stacklevel=2)
    n = len(frame)
    skip = set(map(str, untrackable))
    arrays: dict[int, Any] = {}
    plain_numpy: dict[np.dtype, list[int]] = {}
    for i, c in enumerate(cols):
        col = series[i]
        nd = None if str(c) in skip else _numpy_values(col.array)
        if nd is not None:
            plain_numpy.setdefault(nd.dtype, []).append(i)
            arrays[i] = nd
        elif str(c) in skip and not _lazy_copies():
            arrays[i] = col.copy()  # an untracked column must not be shared either
        else:
            arrays[i] = col
    # The words of every column in one block, registered exactly as wrap_dataframe does.
    words = _v32.source_words(frame, tracker, table,
                              protected if protected is not None else False)
    words = words.reshape(len(cols), n)
    lent: list[int] = []
    if _lazy_copies() and _can_share_refs(frame):
        # Copy-on-write: contiguous numeric columns are lent, not copied, and pandas is told
        # (_share_refs), so it copies before either frame writes, as with its own lazy copies.
        for positions in plain_numpy.values():
            lent += [i for i in positions if arrays[i].flags.c_contiguous]
        for i in lent:
            arrays[i] = ProvenanceArray(pd.arrays.NumpyExtensionArray(arrays[i]), words[i],
                                        tracker)
        taken = set(lent)
        for dtype, positions in list(plain_numpy.items()):
            plain_numpy[dtype] = [i for i in positions if i not in taken]
    # Columns of one numpy dtype are copied into one block (one allocation, as pandas keeps
    # them); without copy-on-write the tracked frame never shares memory with its input.
    groups = [positions for positions in plain_numpy.values() if positions]
    blocks = _copy_blocks([[arrays[i] for i in positions] for positions in groups], n)
    for block, positions in zip(blocks, groups):
        for row, i in enumerate(positions):
            arrays[i] = ProvenanceArray(pd.arrays.NumpyExtensionArray(block[row]), words[i],
                                        tracker)
    for i, c in enumerate(cols):
        if str(c) not in skip and isinstance(arrays[i], pd.Series):
            arrays[i] = ProvenanceArray(arrays[i].array.copy(), words[i], tracker)
    if _is_dag(tracker):
        _source_nodes(tracker, table, cols, arrays, skip, n)
    out = pd.DataFrame(arrays, index=frame.index, copy=False)
    _share_refs(frame, out, lent)
    out.columns = frame.columns
    return out


def _can_share_refs(frame: pd.DataFrame) -> bool:
    mgr = frame._mgr
    return (hasattr(mgr, "blknos") and bool(mgr.blocks)
            and hasattr(getattr(mgr.blocks[0], "refs", None), "add_reference"))


def _share_refs(src: pd.DataFrame, out: pd.DataFrame, positions: list[int]) -> None:
    """Count each column of `out` at `positions` as a reference to the block of `src` whose
    memory it views: pandas' copy-on-write then copies before writing into either."""
    smgr, omgr = src._mgr, out._mgr
    for i in positions:
        shared = smgr.blocks[smgr.blknos[i]]
        block = omgr.blocks[omgr.blknos[i]]
        shared.refs.add_reference(block)
        block.refs = shared.refs


def _source_nodes(tracker: Any, table: str, cols: list[Any], arrays: dict[int, Any],
                  skip: set[str], n: int) -> None:
    """One SOURCE node per column, every row's node, and each cell's value recorded, as
    ``wrap_dataframe_dag`` does."""
    for i, c in enumerate(cols):
        arr = arrays[i]
        if str(c) in skip or not isinstance(arr, ProvenanceArray) or n == 0:
            continue
        source = tracker.create_source_node(table, str(c), int(arr._words[0]))
        arr._nodes = np.full(n, source, dtype=np.int64)
        _dag()._record_rows(tracker, f"{table}.{c}", arr._words, _record_values(arr._data),
                            str(c))


_install_merge_hook()
_install_index_join_hooks()
_install_clip_hook()
_install_where_hook()
_install_case_when_hook()
_install_missing_value_hooks()
_install_missing_mask_hooks()
_install_align_hook()
_install_quiet_row_steps()
_install_logical_hooks()
_install_diff_hooks()
_install_row_reduction_hooks()
_install_bool_only_hooks()
_install_index_map_hook()
_install_index_union_hook()
_install_index_append_hook()
_install_assignment_hooks()
_install_binning_hooks()
_install_cast_hooks()
_install_group_transform_hooks()
_install_window_hooks()
_install_time_hooks()
_install_pairwise_hooks()
_install_replace_hook()
_install_groupby_hook()
_install_count_hooks()
_install_dt_hook()
_install_date_index_attributes()
_install_eval_types()
_install_rowwise_accessors()
_install_conversion_hooks()
_install_array_hooks()
_install_writer_hooks()
_install_frame_ufunc_hook()
_install_describe_hook()
_install_crosswise_hooks()
_install_reshape_hooks()
_install_multiindex_hooks()
_install_get_dummies_hook()
_install_from_dummies_hook()
_install_crosstab_hook()
_install_pivot_table_hook()
_install_apply_hooks()


def _copy_blocks(groups: list[list[np.ndarray]], n: int) -> list[np.ndarray]:
    blocks = []
    for columns in groups:
        base = columns[0].base
        if (isinstance(base, np.ndarray) and base.shape == (len(columns), n)
                and base.flags.c_contiguous
                and all(c.base is base and c.ctypes.data == base[k].ctypes.data
                        for k, c in enumerate(columns))):
            # The columns are the rows of one block in order (a frame pandas consolidated):
            # one copy, as pandas' own deep copy makes.
            blocks.append(base.copy())
            continue
        # numpy's allocator: a block this large is a fresh mapping either way, and numpy
        # advises it for huge pages as pandas' copy does.
        block = np.empty((len(columns), n), dtype=columns[0].dtype)
        for row, values in enumerate(columns):
            np.copyto(block[row], values)
        blocks.append(block)
    return blocks


def untrack(obj: Any) -> Any:
    """`obj` (a Series, DataFrame, Index or ProvenanceArray) with plain dtypes: the values
    only."""
    if isinstance(obj, ProvenanceArray):
        return _writable(obj._data)
    if isinstance(obj, pd.Index):
        return _plain_index(obj)
    if isinstance(obj, pd.Series):
        if isinstance(obj.dtype, ProvenanceDtype) or _tracked_index(obj.index):
            values = (_writable(obj.array._data) if isinstance(obj.dtype, ProvenanceDtype)
                      else obj.array)
            return pd.Series(values, index=_plain_index(obj.index), name=obj.name, copy=False,
                             dtype=_kept_object(obj.dtype))
        return obj
    if isinstance(obj, pd.DataFrame):
        positions = [i for i, d in enumerate(obj.dtypes) if isinstance(d, ProvenanceDtype)]
        if not positions and not _tracked_index(obj.index) and not _tracked_index(obj.columns):
            return obj
        out = obj.copy(deep=False)
        for i in positions:
            data = obj.iloc[:, i].array._data
            if _kept_object(obj.dtypes.iloc[i]) is not None:
                data = pd.Series(data, index=obj.index, dtype=object, copy=False)
            out.isetitem(i, data)
        out.index = _plain_index(obj.index)
        out.columns = _plain_index(obj.columns)
        return out
    raise TypeError(f"untrack: expected a pandas Series, DataFrame, Index or ProvenanceArray, "
                    f"got {type(obj).__name__}")


def _kept_object(dtype: Any) -> Any:
    # pandas 3 reads an object array of text as `str`: a plain `object` column stays `object`
    sub = getattr(dtype, "subtype", None)
    return sub if isinstance(sub, np.dtype) and sub == object else None


def _writable(values: Any) -> Any:
    # A copy: a write into what untrack hands out must reach neither the tracked array (its
    # words would go stale) nor, through it, the input `track` lent the values from.
    return values.copy()


def _tracked_index(index: pd.Index) -> bool:
    if isinstance(index, pd.MultiIndex):
        return any(isinstance(level.dtype, ProvenanceDtype) for level in index.levels)
    return isinstance(index.dtype, ProvenanceDtype)


def _plain_index(index: pd.Index) -> pd.Index:
    """Group keys and set_index of tracked columns give indexes of the dtype: plain copies."""
    if isinstance(index, pd.MultiIndex):
        if not _tracked_index(index):
            return index
        # the levels themselves, so that pandas 3 reads no `object` level of text as `str`
        return index.set_levels([_plain_index(lv) for lv in index.levels],
                                verify_integrity=False)
    if isinstance(index.dtype, ProvenanceDtype):
        return pd.Index(index.array._data, name=index.name, dtype=_kept_object(index.dtype))
    return index


# ---------------------------------------------------------------------------- audits

class _AuditView:
    """What the audits read of a tracked container, built from arrays of the dtype."""

    def __init__(self, tracker: Any, prov: np.ndarray | None = None,
                 col_prov: dict[Any, np.ndarray] | None = None,
                 columns: list[Any] | None = None, nodes: np.ndarray | None = None) -> None:
        self._tracker = tracker
        self._prov = prov
        if nodes is not None:
            self._node_ids = nodes
        self._col_prov = col_prov if col_prov is not None else {}
        self.columns = columns if columns is not None else []

    def __len__(self) -> int:
        return len(self._prov) if self._prov is not None else len(self.columns)


def _tracked_columns(df: pd.DataFrame) -> list[int]:
    return [i for i, d in enumerate(df.dtypes) if isinstance(d, ProvenanceDtype)]


def _audit_view(obj: Any) -> Any:
    """The object the audits read: `obj` itself unless it holds arrays of the dtype."""
    # Arrays without a tracker (built by pandas from plain values) are untracked, never clean:
    # a Series of them stays as it is, so the audits refuse it; a frame leaves them out.
    if isinstance(obj, pd.Series) and isinstance(obj.dtype, ProvenanceDtype):
        arr = obj.array
        return obj if arr._tracker is None else _AuditView(arr._tracker, prov=arr._words,
                                                           nodes=arr._nodes)
    if isinstance(obj, pd.DataFrame):
        positions = [i for i in _tracked_columns(obj) if obj.iloc[:, i].array._tracker is not None]
        if not positions:
            return obj
        tracker = None
        col_prov: dict[Any, np.ndarray] = {}
        for i in positions:
            arr = obj.iloc[:, i].array
            tracker = tracker if tracker is not None else arr._tracker
            label = obj.columns[i]
            # A repeated label (concat along columns) is reported once over all its columns'
            # words: keeping only the last column's would call a tainted one clean.
            col_prov[label] = (np.concatenate((col_prov[label], arr._words)) if label in col_prov
                               else arr._words)
        return _AuditView(tracker, col_prov=col_prov, columns=list(col_prov))
    return obj


# ---------------------------------------------------------------------------- accessors

_ROLLING_AGGS = ("sum", "mean", "min", "max", "median", "std", "var", "count")


# Options of pandas' rolling and the values that keep its windows those the words follow.
_TRAILING = {"closed": (None, "right"), "step": (None, 1), "on": (None,), "axis": (None, 0, "index")}


class TrackedRolling:
    """``s.prov.rolling(window)``: pandas' rolling aggregations, each row carrying the
    combination of the words of its window."""

    def __init__(self, series: pd.Series, window: int, **kwargs: Any) -> None:
        if not is_integer(window) or window < 1:
            raise ValueError(f"window must be a positive integer, got {window!r}")
        # The words follow windows of `window` rows ending at the row, or centred on it;
        # options that move or thin the windows would leave them behind.
        moving = {k: kwargs[k] for k, same in _TRAILING.items() if kwargs.get(k) not in same}
        if moving:
            raise NotImplementedError(
                f"s.prov.rolling supports window, center, min_periods and win_type; got {moving}")
        self._series = series
        self._window = int(window)
        self._kwargs = kwargs

    def _agg(self, name: str, *args: Any, **kwargs: Any) -> pd.Series:
        arr = self._series.array
        plain = untrack(self._series)
        result = getattr(plain.rolling(self._window, **self._kwargs), name)(*args, **kwargs)
        if arr._tracker is None:
            words = np.zeros(len(arr), dtype=np.uint32)
        else:
            # A centred window reaches (window - 1) // 2 rows ahead: the trailing window of the
            # row that many places on, with word-0 rows past the end.
            ahead = (self._window - 1) // 2 if self._kwargs.get("center") else 0
            padded = np.concatenate((arr._words, np.zeros(ahead, np.uint32))) if ahead else arr._words
            words = _backend.window_combine(arr._tracker._rust, padded, self._window,
                                            _OP.AGG)[ahead:]
        nodes = None
        if arr._nodes is not None:  # nodes as pandas' own rolling logs them
            last = np.minimum(np.arange(len(arr), dtype=np.int64) + ahead + 1, len(arr))
            starts = np.clip(np.arange(len(arr), dtype=np.int64) + ahead + 1 - self._window,
                             0, len(arr))
            nodes = _log_windows(arr._tracker, f"rolling_{name}", arr._words, [arr._nodes],
                                 starts, last, words)
            if nodes is not None:
                _record_window_values(arr._tracker, f"rolling_{name}", words, result.array)
        tracked = ProvenanceArray(result.array, words, arr._tracker, nodes=nodes)
        return pd.Series(tracked, index=result.index, name=result.name, copy=False)

    def __getattr__(self, name: str) -> Any:
        if name in _ROLLING_AGGS:
            return lambda *a, **k: self._agg(name, *a, **k)
        raise AttributeError(name)


@register_series_accessor("prov")
class ProvenanceSeriesAccessor:
    """Provenance of a Series of the provenance dtype: ``s.prov.words``, ``explain(i)``, ..."""

    def __init__(self, series: pd.Series) -> None:
        if not isinstance(series.dtype, ProvenanceDtype):
            raise AttributeError(f"'.prov' needs a Series of the provenance dtype, got dtype "
                                 f"{series.dtype} (use lumarq.track)")
        self._s = series

    @property
    def _arr(self) -> ProvenanceArray:
        return self._s.array

    @property
    def words(self) -> np.ndarray:
        """One uint32 word per row, aligned with the Series (read-only)."""
        return self._arr.words

    @property
    def tracker(self) -> Any:
        return self._arr._tracker

    @property
    def nodes(self) -> np.ndarray:
        """The DAG node id of each row (numpy int64, read-only; -1 for a row without one)."""
        return self._arr.nodes

    def dag(self, i: int) -> Any:
        """The ``ComputationDAG`` behind the i-th row (positional), or None when the row has no
        node (or its node was evicted). Needs a ``DAGTracker``."""
        tracker = self._need_tracker()
        if not _is_dag(tracker):
            raise ValueError("this Series is tracked by a tracker that keeps no graph (use a "
                             "DAGTracker)")
        self._word(i)
        node = int(self.nodes[i])
        if node < 0 or tracker.get_node(node) is None:  # get_dag would give an empty graph
            return None
        return tracker.get_dag(node)

    def _need_tracker(self) -> Any:
        if self._arr._tracker is None:
            raise ValueError("this Series carries no tracker (its words are all 0)")
        return self._arr._tracker

    def _word(self, i: int) -> int:
        n = len(self._s)
        if not is_integer(i) or not -n <= i < n:
            raise IndexError(f"row {i!r} is out of range for {n} rows")
        return int(self._arr._words[i])

    def explain(self, i: int) -> dict[str, Any]:
        """``explain_full`` of the word of the i-th row (positional)."""
        return self._need_tracker().explain_full(self._word(i))

    @property
    def tainted(self) -> np.ndarray:
        """Per row: derives from a protected attribute. Without a tracker the words say
        nothing (not that the rows are clean): that raises ValueError."""
        self._need_tracker()
        return _backend.is_tainted_batch(self._arr._words)

    def audit(self, i: int = 0) -> dict[str, Any]:
        """The ``audit`` record of the i-th row (positional)."""
        word = self._word(i)
        return _v32.audit(_AuditView(self._need_tracker(),
                                     prov=np.array([word], dtype=np.uint32)))

    def where(self, cond: Any, other: Any = np.nan) -> pd.Series:
        """``Series.where`` whose rows also derive from the condition's words (when tracked),
        as ``Series.where`` itself counts them when called from outside pandas."""
        if not _tracked_condition(cond):
            return self._s.where(cond, other)
        # one node per row, over the operand it took and the condition
        return _with_condition(_quietly(self._s.where, cond, other), cond)

    def rolling(self, window: int, **kwargs: Any) -> TrackedRolling:
        """Rolling aggregations whose rows carry the combination over their window."""
        return TrackedRolling(self._s, window, **kwargs)


@register_dataframe_accessor("prov")
class ProvenanceFrameAccessor:
    """Provenance of a DataFrame's columns of the provenance dtype."""

    def __init__(self, frame: pd.DataFrame) -> None:
        self._df = frame

    @property
    def tracked_columns(self) -> list[Any]:
        return [self._df.columns[i] for i in _tracked_columns(self._df)]

    @property
    def tracker(self) -> Any:
        for i in _tracked_columns(self._df):
            t = self._df.iloc[:, i].array._tracker
            if t is not None:
                return t
        return None

    def name_nodes(self) -> pd.DataFrame:
        """Give each tracked column's label to the operation nodes behind its rows (the
        ``column`` of their metadata; the first name a node gets stays), so graphs, exports and
        stored nodes say "dti" and not only "div". Source nodes keep their own names. Returns
        the frame."""
        for i in _tracked_columns(self._df):
            arr = self._df.iloc[:, i].array
            if arr._nodes is not None and _is_dag(arr._tracker):
                _dag()._name_nodes(arr._tracker, str(self._df.columns[i]), arr._nodes)
        return self._df

    def risk_report(self) -> list[dict[str, Any]]:
        """``column_risk_report`` over the tracked columns."""
        if not _tracked_columns(self._df):
            raise ValueError("the frame has no columns of the provenance dtype")
        tracker = self.tracker
        if tracker is None:
            # Words 0 without a tracker mean unknown provenance, not a clean frame.
            raise ValueError("the frame's columns of the provenance dtype carry no tracker "
                             "(their words are all 0): their provenance is unknown")
        return _v32.column_risk_report(_audit_view(self._df), tracker)

    def fairness(self, outcome: Any, protected: Any, favorable: Any = 1, labels: Any = None,
                 reference: Any = None, **kwargs: Any) -> dict[str, Any]:
        """``lumarq.fairness_report`` of this frame; says which protected columns reach the outcome."""
        from lumarq.fairness import fairness_report

        return fairness_report(self._df, outcome, protected, favorable, labels, reference, **kwargs)

