"""How the positional tracked containers keep provenance through pandas' own machinery.

pandas derives new objects from a tracked one through ``_constructor`` and ``__finalize__``, and
runs in-place operators, ``rename`` and ``insert`` without the containers' overridden methods.
The native classes put these functions into their namespaces; each runs once per pandas
operation (never per row) and leaves the per-row work to the native word helpers.

Rules (see docs/concepts.md, "What pandas methods carry"):

* A Series derived from a tracked Series keeps its words by position; when the row count
  changed, the first-row rule applies, or one word uniting all words when they differ in pairs.
* Graph node ids (DAG kind) follow their rows: by label through selections and reorders when
  the labels are unique, by position for element-wise results; a row whose origin cannot be
  told gets -1 (or the node every row shared), never another row's node.
* A Series derived from a tracked frame: a column taken out keeps that column's words; anything
  computed across columns (``apply(axis=1)``, ``sum(axis=1)``, a row cross-section) unites the
  words of every column of the row (``OpCode.AGG``), or of the whole frame when rows changed.
* ``concat`` along rows concatenates the arrays in order; along columns each column keeps its own,
  re-aligned to the result's rows by label.
* ``.loc``/``.iloc`` assignment: rows assigned a tracked value take its words (and node ids)
  where pandas takes its values (by label under loc, by position under iloc); rows assigned
  anything else keep theirs, except that a plain value over every row drops the column's words,
  as ``df[c] = value`` does.
* ``rename``, ``set_axis`` and ``df.columns = [...]`` keep each column's words under its new
  name; reshaping methods (transpose, melt, stack, pivot, ...) and columns a merge or join brings
  in give every new column one word uniting all input columns.
"""

from __future__ import annotations

import operator
import sys
import threading
import types
import warnings
import weakref

import numpy as np
import pandas as pd
from pandas.core import roperator
from pandas.core.indexing import _iLocIndexer

from lumarq.utilities._series_methods import series_methods

# Reshaping methods whose result columns mix values of many input columns.
_RESHAPING = frozenset({
    "transpose", "melt", "stack", "unstack", "pivot", "pivot_table", "explode", "corr", "cov",
    "dot", "crosstab",
})

_INPLACE = {
    "__iadd__": "__add__", "__isub__": "__sub__", "__imul__": "__mul__",
    "__itruediv__": "__truediv__", "__ifloordiv__": "__floordiv__", "__ipow__": "__pow__",
    "__imod__": "__mod__", "__iand__": "__and__", "__ior__": "__or__", "__ixor__": "__xor__",
}
INPLACE_OPERATORS = tuple(_INPLACE)


def _words():
    # Imported at call time: this module is loaded while vantor32 itself initialises.
    from lumarq.utilities import vantor32
    return vantor32


def _tracked_series(obj) -> bool:
    return isinstance(obj, pd.Series) and "_prov" in getattr(obj, "_metadata", ())


def _tracked_frame(obj) -> bool:
    return isinstance(obj, pd.DataFrame) and "_col_prov" in getattr(obj, "_metadata", ())


def _worded_for(value, target) -> bool:
    """Whether `value` brings words to store in `target`: a tracked container with a tracker.
    pandas builds some (multi-input ufuncs, pd.to_numeric) without one: their zeros would read
    clean under the target's tracker, so they are stored as the plain values they are."""
    return ((_tracked_series(value) or _tracked_frame(value))
            and (getattr(value, "_tracker", None) is not None
                 or getattr(target, "_tracker", None) is None))


def _has_nodes(obj) -> bool:
    return "_node_ids" in obj._metadata or "_col_nodes" in obj._metadata


# Stored arrays are never written in place, so the word an array spreads to is kept per array
# (by identity, dropped with the array): row lookups and head() stay independent of its length.
_ONE_WORD = {}
_ABSENT = object()


def _one_word(tracker, prov):
    """The one word a stored column spreads to (first-row rule, or the united word)."""
    key = id(prov)
    hit = _ONE_WORD.get(key)
    if hit is not None and hit[0]() is prov and hit[1] == id(tracker):
        return hit[2]
    word = int(_words()._spread_words(tracker, prov, 1)[0])
    try:
        ref = weakref.ref(prov, lambda _ref, k=key: _ONE_WORD.pop(k, None))
    except TypeError:  # not weakly referenceable (a list): computed each time
        return word
    _ONE_WORD[key] = (ref, id(tracker), word)
    return word


def _fit(tracker, prov, n):
    """A column's words for n rows: as stored when the length matches, else spread."""
    if len(prov) == n:
        return prov
    if isinstance(prov, np.ndarray) and prov.dtype == np.uint32 and prov.ndim == 1:
        return np.full(n, _one_word(tracker, prov), dtype=np.uint32)
    return _words()._spread_words(tracker, prov, n)


def _shared_node(nodes):
    """The node every row of `nodes` has, else -1 (a row must never take another row's)."""
    if len(nodes) and nodes.min() == nodes.max():
        return int(nodes[0])
    return -1


def _fit_nodes(nodes, n):
    nodes = np.asarray(nodes, dtype=np.int64)
    if len(nodes) == n:
        return nodes
    return np.full(n, _shared_node(nodes), dtype=np.int64)


# Where the rows of a result derived from a tracked container came from. pandas keeps each row's
# label through selections and reorders (masks, loc/iloc, head, take, sort, sample, nlargest)
# and hands __finalize__ the method's name for many others.
_SAME_ROWS = object()
_BY_LABEL = frozenset({None, "take", "sort_values", "sort_index", "reindex", "repeat"})
_RELABEL = frozenset({"rename", "reset_index"})  # new labels, rows left in place
# values move between rows although the labels may stay where they were
_MOVES = frozenset({"sort_values", "sort_index", "shift", "mode", "take", "repeat", "reindex",
                    "argsort"})


def _row_origins(result, source, method):
    """The position in `source` of the row each row of `result` came from (-1 for a row it
    added), _SAME_ROWS when they line up, None when that is not certain."""
    n, m = len(result), len(source)
    index, labels = result.index, source.index
    if method == "shift":  # by an unknown count, unless a frequency moved the labels instead
        return _SAME_ROWS if n == m and not index.equals(labels) else None
    if method in _RELABEL:
        return _SAME_ROWS if n == m else None
    if (method == "take" and isinstance(result, pd.DataFrame) and n == m
            and not result.columns.equals(source.columns) and index.equals(labels)):
        return _SAME_ROWS  # columns taken (a take of rows keeps every column)
    if method in _BY_LABEL and labels.is_unique:
        if (method in ("sort_values", "sort_index") and isinstance(index, pd.RangeIndex)
                and index.equals(pd.RangeIndex(n))):
            return None  # ignore_index=True, or nothing moved: no way to tell
        try:
            where = labels.get_indexer(index)
        except (TypeError, ValueError, pd.errors.InvalidIndexError):
            return None
        if n == m and (where == np.arange(n)).all():
            return _SAME_ROWS
        return where
    if n == m and method not in _MOVES and (
            index is labels or (index.equals(labels) and (
                method is not None or _not_a_moved_view(result, source)))):
        return _SAME_ROWS  # element-wise: each row computed from its own
    return None


def _not_a_moved_view(result, source):
    """Whether a result with the (repeated) labels of `source`, its rows in the same count,
    holds them in their places: pandas then chose rows in order (a mask) or computed new
    values, unless its numpy values are a moved view of the source's (a reversed slice)."""
    if isinstance(result, pd.Series):
        pairs = [(result.to_numpy(), source.to_numpy())]
    else:
        if not (result.columns.is_unique and source.columns.is_unique):
            return False
        theirs = {c: source.iloc[:, i].to_numpy() for i, c in enumerate(source.columns)}
        pairs = [(result.iloc[:, i].to_numpy(), theirs[c]) for i, c in enumerate(result.columns)
                 if c in theirs]
    told = False
    for a, b in pairs:
        if not (isinstance(a, np.ndarray) and isinstance(b, np.ndarray)):
            continue  # an extension array tells nothing; the frame's other columns may
        if np.may_share_memory(a, b) and (
                a.__array_interface__["data"][0] != b.__array_interface__["data"][0]
                or a.strides != b.strides):
            return False
        told = True
    return told


def _moved_nodes(nodes, m, origins, n):
    """The node ids of n result rows from the m rows' `nodes` of their source: each row's own
    where its origin is known, else the node all rows share, else -1."""
    nodes = _fit_nodes(nodes, m)
    if origins is _SAME_ROWS and n == m:
        return nodes
    if origins is None or origins is _SAME_ROWS or m == 0:
        return np.full(n, _shared_node(nodes), dtype=np.int64)
    return np.where(origins >= 0, nodes[origins], -1).astype(np.int64)


def _set(obj, **attrs):
    for name, value in attrs.items():
        object.__setattr__(obj, name, value)


def _first_tracker(objs):
    for obj in objs:
        tracker = getattr(obj, "_tracker", None)
        if tracker is not None:
            return tracker
    return None


def _own_nodes(obj, tracker):
    """Whether `obj`'s node ids are `tracker`'s: ids are per tracker, and a copy of it (a worker
    process's) hands out the same ones for other nodes."""
    return (_tracked_series(obj) or _tracked_frame(obj)) and obj._tracker is tracker


def _frame_words(frame, n):
    """Per-row union over every tracked column of `frame` (n == its rows) or one word for all."""
    tracker = frame._tracker
    rows = len(frame)
    if n != rows:
        return _frames_word([frame], n)
    arrays = [_fit(tracker, p, rows) for c, p in frame._col_prov.items() if c in frame.columns]
    if not arrays:
        return None
    return _words()._aggregate_words(tracker, arrays, n)


def _frames_word(frames, n):
    """One word uniting every tracked column of several frames, spread over n rows."""
    arrays = []
    tracker = _first_tracker(frames)
    for frame in frames:
        for col, prov in frame._col_prov.items():
            if len(prov) and col in frame.columns:
                arrays.append(np.array([_one_word(tracker, prov)], dtype=np.uint32))
    if not arrays:
        return None
    # Asked for one row, the helper unites everything (it would go row by row for n rows).
    word = _words()._aggregate_words(tracker, [np.concatenate(arrays)], 1)
    return np.full(n, word[0], dtype=np.uint32)


# ---------------------------------------------------------------- Series


def _numbers(x) -> bool:
    return (isinstance(x, np.ndarray) and x.dtype.kind in "biufc") or (
        isinstance(x, (int, float, complex, np.number)) and not isinstance(x, np.timedelta64))


_PANDAS_3 = int(pd.__version__.split(".")[0]) >= 3
_PLAIN_OPERANDS = (list, np.ndarray, pd.api.extensions.ExtensionArray, pd.Index, pd.Series,
                   pd.DataFrame)


def _listlike_as_pandas(op, run):
    """`run` with pandas 3's warning for operands like tuples and ranges (one day read as
    scalars), whose conditions depend on the dtype: the containers compute on the arrays and
    never reach the Series' check, so pandas is asked on a plain Series of the values and its
    warning goes to the first caller outside pandas and lumarq; the computation is then kept
    from repeating it (pandas' own array code warns for some dtypes)."""
    if not hasattr(pd.core.ops, "maybe_warn_listlike"):
        return run

    def checked(a, b):
        if (isinstance(b, _PLAIN_OPERANDS) or not pd.api.types.is_list_like(b)
                or not _warned_listlike(op, a, b)):
            return run(a, b)
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", "Operation with ", pd.errors.Pandas4Warning)
            return run(a, b)

    return checked


def _warned_listlike(op, a, b):
    """Whether pandas warned of `b` (and the warning was passed on to the caller)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            with np.errstate(all="ignore"):
                op(pd.Series(a, copy=False), b)
        except Exception:  # noqa: BLE001 - only the warning is wanted; the operation reports
            pass
    frame, level = sys._getframe(), 1
    while frame is not None and frame.f_globals.get("__name__", "").partition(".")[0] in (
            "pandas", "lumarq"):
        frame, level = frame.f_back, level + 1
    warned = False
    for w in caught:
        if w.category is pd.errors.Pandas4Warning and str(w.message).startswith("Operation with"):
            warnings.warn(w.message, w.category, stacklevel=level)
            warned = True
    return warned


def _bools(x) -> bool:
    return isinstance(x, (bool, np.bool_)) or (isinstance(x, np.ndarray) and x.dtype.kind == "b")


def _pandas_arithmetic(op, fast=None):
    """The values of a tracked Series' `op` as plain pandas computes them: numpy's ufunc on
    numbers (the common case, and as fast), pandas' own array arithmetic otherwise (dates and
    durations against scalars, integer division by zero giving inf and NaN)."""
    from pandas.core.construction import ensure_wrapped_if_datetimelike as wrapped
    from pandas._libs.lib import item_from_zerodim
    from pandas.core.arrays.datetimelike import DatetimeLikeArrayMixin
    from pandas.core.construction import sanitize_array
    from pandas.core.ops import arithmetic_op, maybe_prepare_scalar_for_op

    def run(a, b):
        if not isinstance(b, (list, tuple)) and np.ndim(b) == 0:
            # as pandas readies a scalar for `a`: a 0-d array is its item, numpy numbers are
            # Python's (so an int8 column plus np.int64(1) stays int8), NaT and numpy
            # durations are pandas'
            b = maybe_prepare_scalar_for_op(item_from_zerodim(b), np.shape(a))
        # booleans on both sides go to pandas, which refuses `/`, `//` and `**` between them
        if fast is not None and _numbers(a) and _numbers(b) and not (_bools(a) and _bools(b)):
            with np.errstate(all="ignore"):  # as pandas: inf and NaN, without warnings
                return fast(a, b)
        a = wrapped(a)
        if not isinstance(a, DatetimeLikeArrayMixin):
            if isinstance(b, (list, tuple)):
                b = np.asarray(b)
        elif isinstance(b, list) and _PANDAS_3:
            # pandas 3 reads a list for dates and durations as an array of its own; pandas 2
            # (and any pandas, a tuple) hands it over as it is, which they refuse
            b = sanitize_array(b, None)
        with np.errstate(all="ignore"):  # as pandas: inf and NaN, without warnings
            out = arithmetic_op(a, wrapped(b), op)
        return tuple(map(_unwrapped, out)) if isinstance(out, tuple) else _unwrapped(out)

    return _listlike_as_pandas(op, run)


def _unwrapped(out):
    """numpy dates and durations back as the ndarray `values` gives (time zones stay wrapped)."""
    return out._ndarray if isinstance(getattr(out, "dtype", None), np.dtype) and hasattr(
        out, "_ndarray") else out


def _pandas_comparison(op, logical=False):
    """The values of a tracked Series' comparison (or `&`, `|`, `^`) as plain pandas computes
    them: numpy's operator on numbers (and booleans), pandas' own comparison otherwise (dates
    against text and datetimes, missing values among objects, periods)."""
    from pandas.core.construction import ensure_wrapped_if_datetimelike as wrapped
    from pandas.core.ops import comparison_op, logical_op

    by_pandas = logical_op if logical else comparison_op

    def run(a, b):
        if _numbers(a) and _numbers(b) and (not logical or (
                np.asarray(a).dtype.kind == "b" and np.asarray(b).dtype.kind == "b")):
            return op(a, b)
        out = by_pandas(wrapped(a), wrapped(b) if isinstance(b, np.ndarray) else b, op)
        return out._ndarray if isinstance(getattr(out, "dtype", None), np.dtype) and hasattr(
            out, "_ndarray") else out

    return _listlike_as_pandas(op, run)


add = _pandas_arithmetic(operator.add, np.add)
sub = _pandas_arithmetic(operator.sub, np.subtract)
radd = _pandas_arithmetic(roperator.radd, lambda a, b: np.add(b, a))
rsub = _pandas_arithmetic(roperator.rsub, lambda a, b: np.subtract(b, a))
floordiv = _pandas_arithmetic(operator.floordiv)
rfloordiv = _pandas_arithmetic(roperator.rfloordiv)
mod = _pandas_arithmetic(operator.mod)
rmod = _pandas_arithmetic(roperator.rmod)
# numpy divides durations by a pandas Timedelta into objects (or refuses, before pandas 3), and
# multiplies and divides numbers by NaT or a numpy duration unlike pandas
mul = _pandas_arithmetic(operator.mul, np.multiply)
rmul = _pandas_arithmetic(roperator.rmul, lambda a, b: np.multiply(b, a))
truediv = _pandas_arithmetic(operator.truediv, np.true_divide)
rtruediv = _pandas_arithmetic(roperator.rtruediv, lambda a, b: np.true_divide(b, a))
# `**` as pandas: ndarray's own operator (numpy takes a square root for `** 0.5`, not pow), and
# pandas' arithmetic for nullable arrays against a list or tuple, which numpy's ufunc refuses
pow_ = _pandas_arithmetic(operator.pow, operator.pow)
rpow = _pandas_arithmetic(roperator.rpow, lambda a, b: operator.pow(b, a))

gt, lt, ge, le, eq, ne = (_pandas_comparison(op) for op in (
    operator.gt, operator.lt, operator.ge, operator.le, operator.eq, operator.ne))
and_, or_, xor = (_pandas_comparison(op, True) for op in (operator.and_, operator.or_,
                                                          operator.xor))
rand_, ror_, rxor = (_pandas_comparison(op, True) for op in (roperator.rand_, roperator.ror_,
                                                             roperator.rxor))

# The native `+` of the Series classes, under these names; `__add__`/`__radd__` are add_method's.
POSITIONAL_ADD = {"__add__": "_add_by_position", "__radd__": "_radd_by_position"}


def _warned_at_caller(call, other):
    """call(other), whose warnings are re-issued two frames up, at the operator's caller, where
    the native operator would have put them without a Python method in between."""
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            return call(other)
    finally:
        for w in caught:  # outside the recording, under the caller's filters
            warnings.warn(w.message, w.category, stacklevel=3)


def add_method(name):
    """`+` (or reflected `+`) of a positional Series. pandas' window code lines up the two
    operands of a pairwise statistic (rolling/expanding/ewm corr and cov, also per group) with
    `a + 0 * b`, counting on alignment by label: there, operands on different indexes are added
    as plain pandas adds them (the window result is plain pandas anyway). Everywhere else the
    native operator matches rows by position."""
    positional = POSITIONAL_ADD[name]
    reflected = name == "__radd__"

    def method(self, other):
        if isinstance(other, pd.Series) and other.index is not self.index:
            if not other.index.equals(self.index):
                caller = sys._getframe(1).f_globals.get("__name__", "")
                if caller.startswith("pandas.core.window."):
                    a, b = pd.Series(self, copy=False), pd.Series(other, copy=False)
                    return b + a if reflected else a + b
                return _warned_at_caller(getattr(self, positional), other)
        return getattr(self, positional)(other)

    method.__name__ = method.__qualname__ = name
    return method


series_add = add_method("__add__")
series_radd = add_method("__radd__")


def series_finalize(self, other, method=None, **kwargs):
    pd.Series.__finalize__(self, other, method=method, **kwargs)
    if isinstance(other, pd.Series) and "_name" not in type(self)._metadata:
        # pandas carries a Series' name through `_metadata`, which these classes list without
        # it: without this, round(), clip() and the like return unnamed Series, and frames
        # that pandas puts back together from them by name lose the column.
        object.__setattr__(self, "_name", other._name)
    n = len(self)
    nodes = _has_nodes(self)
    if method == "concat":
        objs = list(getattr(other, "objs", ()))
        if objs and all(isinstance(o, pd.Series) for o in objs) and n == sum(map(len, objs)):
            tracked = [o for o in objs if _tracked_series(o)]
            if not tracked:
                return self
            tracker = _first_tracker(tracked)
            prov = [_fit(tracker, o._prov, len(o)) if _tracked_series(o)
                    else np.zeros(len(o), np.uint32) for o in objs]
            _set(self, _prov=np.concatenate(prov), _tracker=tracker)
            if nodes:
                ids = [_fit_nodes(o._node_ids, len(o))
                       if hasattr(o, "_node_ids") and _own_nodes(o, tracker)
                       else np.full(len(o), -1, np.int64) for o in objs]
                _set(self, _node_ids=np.concatenate(ids))
        return self
    if _tracked_series(other):
        if len(self._prov) != n:
            _set(self, _prov=_fit(self._tracker, self._prov, n))
        if nodes:
            ids = getattr(self, "_node_ids", ())
            origins = _row_origins(self, other, method)
            if not (origins is _SAME_ROWS and len(ids) == n == len(other)):
                _set(self, _node_ids=_moved_nodes(ids, len(other), origins, n))
        return self
    if _tracked_frame(other) and other._col_prov:
        name = self.name
        try:
            column = method is None and n == len(other) and name in other.columns
        except TypeError:  # an unhashable name is no column label
            column = False
        if column:
            if name in other._col_prov:
                stored = other._col_prov[name]
                _set(self, _prov=_fit(other._tracker, stored, n))
                if self._prov is not stored:  # spread: the frame's __getitem__ reuses it
                    _set(self, _spread_from=stored)
                if nodes and name in getattr(other, "_col_nodes", {}):
                    _set(self, _node_ids=_fit_nodes(other._col_nodes[name], n))
            return self
        words = _frame_words(other, n)
        if words is not None:
            _set(self, _prov=words, _tracker=other._tracker)
            if nodes:
                _set(self, _node_ids=np.full(n, -1, np.int64))
    return self


def _inplace_by_label(left, right, binary):
    """`left <op>= right` for a Series `right` of another length, as pandas does it: values
    aligned by label and kept on `left`'s rows (`df.loc[mask, c] += df[d]` adds a whole column
    to the chosen rows). The words and graph nodes are those of the positional operation with
    `right`'s rows moved to `left`'s labels (a label `right` lacks gives NaN and no word).
    None where the labels do not decide (repeated labels: pandas refuses those too)."""
    if not (isinstance(right, pd.Series) and len(right) != len(left)
            and left.index.is_unique and right.index.is_unique):
        return None
    values = getattr(pd.Series, binary)(pd.Series(left, copy=False),
                                        pd.Series(right, copy=False)).reindex(left.index)
    moved = right.reindex(left.index)
    if _tracked_series(right):
        rows = right.index.get_indexer(left.index)
        found = rows >= 0
        words = np.zeros(len(left), np.uint32)
        words[found] = _fit(right._tracker, right._prov, len(right))[rows[found]]
        _set(moved, _prov=words, _tracker=right._tracker)
        if hasattr(right, "_node_ids"):
            ids = np.full(len(left), -1, np.int64)
            ids[found] = _fit_nodes(right._node_ids, len(right))[rows[found]]
            _set(moved, _node_ids=ids)
    tracked = getattr(type(left), binary)(left, moved)
    if not _tracked_series(tracked):
        return values
    extra = {"_node_ids": tracked._node_ids} if hasattr(tracked, "_node_ids") else {}
    return type(tracked)(values, _prov=tracked._prov, _tracker=tracked._tracker, **extra)


def _inplace(name, binary):
    def method(self, other):
        results = []

        def run(left, right):
            out = _inplace_by_label(left, right, binary)
            results.append(getattr(type(left), binary)(left, right) if out is None else out)
            return results[-1]

        inplace = getattr(pd.Series, "_inplace_method", None)
        if inplace is None:  # a pandas without the hook: rebind to the binary result
            return run(self, other)
        inplace(self, other, run)
        result = results[-1]
        if _tracked_series(result) and len(result) == len(self):
            _set(self, _prov=result._prov, _tracker=result._tracker)
            if hasattr(result, "_node_ids"):
                _set(self, _node_ids=result._node_ids)
        return self

    method.__name__ = method.__qualname__ = name
    method.__doc__ = f"In place: the provenance of {binary}."
    return method


for _name, _binary in _INPLACE.items():
    globals()[_name] = _inplace(_name, _binary)


def _united(tracker, arrays, n, aligned):
    """Per-row union of equally long word arrays when `aligned`, else one word for all."""
    if aligned:
        return _words()._aggregate_words(tracker, [_fit(tracker, a, n) for a in arrays], n)
    firsts = [np.array([_one_word(tracker, a)], dtype=np.uint32) for a in arrays if len(a)]
    if not firsts:
        return np.zeros(n, np.uint32)
    word = _words()._aggregate_words(tracker, [np.concatenate(firsts)], 1)
    return np.full(n, word[0], dtype=np.uint32)


def _with_other(result, self, other, rows=None, base=None):
    """Gives `result` the union of `base` (self's words) and a tracked `other`'s words, on all
    rows or on those where `rows` is true (the others keep result's words)."""
    tracker = self._tracker
    if not _tracked_series(other) or tracker is None or not _tracked_series(result):
        return result
    n = len(result)
    aligned = (n == len(self) == len(other) and self.index.equals(other.index)
               and result.index.equals(self.index))
    base = self._prov if base is None else base
    both = _united(tracker, [base, other._prov], n, aligned)
    if rows is not None and len(rows) == n:
        words = np.array(result._prov, dtype=np.uint32, copy=True)
        words[rows] = both[rows]
        both = words
    _set(result, _prov=both)
    if _has_nodes(result):
        _set(result, _node_ids=np.full(n, -1, np.int64))
    return result


_FLEX_CODES = {
    "add": "ADD", "sub": "SUB", "mul": "MUL", "div": "DIV", "truediv": "DIV", "floordiv": "DIV",
    "mod": "DIV", "divmod": "DIV", "pow": "MUL", "eq": "CMP", "ne": "CMP", "lt": "CMP",
    "le": "CMP", "gt": "CMP", "ge": "CMP", "and": "CMP", "or": "CMP", "xor": "CMP",
}


def _op_base(name):
    """The operation of an operator or flex method name: __radd__, rsub, __iadd__ -> add."""
    base = name.strip("_")
    for prefix in ("", "r", "i"):
        if base.startswith(prefix) and base[len(prefix):] in _FLEX_CODES:
            return base[len(prefix):]
    return base or "custom"


def _op_code(name):
    return getattr(_words().OpCode, _FLEX_CODES.get(_op_base(name), "CUSTOM"))


def flex_binop(self, other, func, level=None, fill_value=None):
    """pandas' flex methods with a Series operand (s.add(t), s.eq(t), s.sub(t, fill_value=0))."""
    base = _op_base(getattr(func, "__name__", "custom"))
    code = _op_code(base)
    if level is None and fill_value is None:
        if base == "divmod":
            # pandas' flex divmod is numpy's, without the fill of its operator's division by 0
            return _divmod_pair(self, other, lambda a, b: _flex_values(func, a, b))
        # The containers' own positional operation: lengths checked, words (and nodes) combined.
        if _has_nodes(self):
            return self._binop_dag(other, func, base, code)
        return self._binop(other, func, code)
    result = pd.Series._binop(self, other, func, level=level, fill_value=fill_value)
    if isinstance(result, tuple):  # divmod's quotient and remainder
        return tuple(_with_other(r, self, other) for r in result)
    return _with_other(result, self, other)


def _flex_values(func, a, b):
    from pandas.core.construction import ensure_wrapped_if_datetimelike as wrapped

    with np.errstate(all="ignore"):
        return tuple(map(_unwrapped, func(wrapped(a), wrapped(b))))


def _divmod_pair(self, other, values):
    """Quotient and remainder as two tracked results, each with the words (and graph node) of
    `//` and `%` between the operands; `values(a, b)` gives both at once, as pandas computes
    them on this path. pandas' own divmod finalizes both from one operand only."""
    if isinstance(other, pd.DataFrame):
        return NotImplemented  # as pandas: the frame's reflected divmod
    pair = []

    def part(k):
        def fn(a, b):
            if not pair:
                pair.extend(values(a, b))
            return pair[k]
        return fn

    code = _op_code("divmod")
    if _has_nodes(self):
        return tuple(self._binop_dag(other, part(k), name, code)
                     for k, name in enumerate(("floordiv", "mod")))
    return tuple(self._binop(other, part(k), code) for k in range(2))


_divmod_values = _pandas_arithmetic(divmod)
_rdivmod_values = _pandas_arithmetic(roperator.rdivmod)


def series_divmod(self, other):
    """`divmod(s, t)`, tracked as `s // t` and `s % t`."""
    return _divmod_pair(self, other, _divmod_values)


def series_rdivmod(self, other):
    """`divmod(t, s)` when `t` defers to `s`: tracked as `t // s` and `t % s`."""
    return _divmod_pair(self, other, _rdivmod_values)


def series_combine_first(self, other):
    return _with_other(pd.Series.combine_first(self, other), self, other)


def series_update(self, other):
    """pandas writes `other`'s values over this Series' in place, by label, without `_where`
    (whose words the assignment glue places): every row takes `other`'s words too, as
    combine_first gives them (a row kept its value because `other` had none there)."""
    result = pd.Series.update(self, other)
    if _tracked_series(self):
        _with_other(self, self, other)
    return result


def frame_combine_first(self, other):
    """A frame's combine_first: each column both have unites the two sides' words, as the
    Series' does (the cells taken from `other` kept this frame's words); a column only
    `other` has takes its words."""
    result = pd.DataFrame.combine_first(self, other)
    tracker = getattr(result, "_tracker", None)
    if not (_tracked_frame(result) and _tracked_frame(other) and tracker is not None
            and result.columns.is_unique and result.index.equals(self.index)
            and other.index.equals(self.index)):
        return result
    n = len(result)
    for label in result.columns:
        theirs = other._col_prov.get(label) if label in other.columns else None
        if theirs is None or len(theirs) != n:
            continue
        mine = self._col_prov.get(label) if label in self.columns else None
        result._col_prov[label] = (np.array(theirs, np.uint32) if mine is None or len(mine) != n
                                   else _united(tracker, [mine, theirs], n, True))
        if _has_nodes(result):
            result._col_nodes[label] = np.full(n, -1, np.int64)
    return result


def _update_source(other, label):
    """The words `update` takes column `label` from in a tracked `other` (a frame's column of
    that label, or a Series of that name), None when it has none."""
    if getattr(other, "_tracker", None) is None:
        return None
    try:
        if _tracked_frame(other):
            return other._col_prov.get(label) if label in other.columns else None
        if _tracked_series(other) and other.name == label:
            return other._prov
    except (TypeError, ValueError):  # an unhashable or array-like label
        pass
    return None


def frame_update(self, other, *args, **kwargs):
    """A frame's update writes `other`'s values into each column both have, where they are not
    missing, in place: every row of such a column unites `other`'s words of that column (as
    the Series' update gives them), whether or not its value was replaced: pandas' own steps
    carried them into the replaced rows on one pandas version and into none on the other.
    A column without words stays untracked; changed columns drop their node ids."""
    result = pd.DataFrame.update(self, other, *args, **kwargs)
    tracker = getattr(self, "_tracker", None)
    if not _tracked_frame(self) or tracker is None or not self.columns.is_unique:
        return result
    n = len(self)
    for label in self.columns:
        theirs = _update_source(other, label)
        mine = self._col_prov.get(label)
        if theirs is None or mine is None or not len(theirs):
            continue
        aligned = len(other) == n and other.index.equals(self.index) and len(theirs) == n
        self._col_prov[label] = _united(tracker, [mine, theirs], n, aligned)
        if _has_nodes(self) and label in self._col_nodes:
            self._col_nodes[label] = np.full(n, -1, np.int64)
    return result


def _called_from_outside(depth=2):
    """Whether the method or hook calling this was called from outside pandas and lumarq: a
    condition or cast the user chose, not one of pandas' own steps (clip runs through `where`).
    (`depth` 3 looks one frame further up: past the lumarq method the hook sits under.)"""
    name = sys._getframe(depth).f_globals.get("__name__", "")
    return name.partition(".")[0] not in ("pandas", "lumarq")


def row_condition(key):
    """Whether an assignment's key is a positional container's tracked boolean condition
    choosing rows (a Series) or cells (a frame)."""
    if _tracked_series(key):
        return key._tracker is not None and pd.api.types.is_bool_dtype(key.dtype)
    return (_tracked_frame(key) and key._tracker is not None and len(key.columns) > 0
            and all(pd.api.types.is_bool_dtype(t) for t in key.dtypes))


def column_positions(frame, key):
    """The positions of the columns a `.loc` column key names (all for None); None when they
    cannot be told."""
    cols = frame.columns
    if key is None:
        return np.arange(len(cols))
    try:
        if isinstance(key, slice):
            return np.arange(len(cols))[cols.slice_indexer(key.start, key.stop, key.step)]
        if pd.api.types.is_list_like(key) and not isinstance(key, tuple):
            arr = np.asarray(key)
            if arr.dtype == bool:
                return np.flatnonzero(arr) if len(arr) == len(cols) else None
            pos = cols.get_indexer_for(arr)
            return None if (pos < 0).any() else pos
        loc = cols.get_loc(key)
    except (KeyError, TypeError, ValueError, pd.errors.InvalidIndexError):
        return None
    if isinstance(loc, slice):
        return np.arange(len(cols))[loc]
    if isinstance(loc, np.ndarray):
        return np.flatnonzero(loc) if loc.dtype == bool else loc
    return np.array([loc])


def fold_condition(obj, positions, cond):
    """After an assignment into rows the caller's tracked condition `cond` chose (`s[cond] = x`,
    `df.loc[cond, c] = x`): the written Series, or the frame's columns at `positions`, take its
    words in every row, as where/mask count it, so a value chosen by a protected condition reads
    tainted; so does a column the assignment created with a scalar. Changed columns drop their
    node ids, as where's do."""
    if _tracked_series(obj):
        if _tracked_series(cond):
            _with_other(obj, obj, cond)
        return
    created = _created_columns(obj)
    tracker = getattr(obj, "_tracker", None)
    if not _tracked_frame(obj) or tracker is None or not cond.index.equals(obj.index):
        return
    n = len(obj)
    for i in positions:
        label = obj.columns[i]
        if _tracked_series(cond):
            cw = cond._prov
        elif _tracked_frame(cond) and label in cond.columns:
            cw = cond._col_prov.get(label)
        else:
            continue
        words = obj._col_prov.get(label)
        if words is None and label in created:
            # created by this assignment with a literal: no sources besides the condition
            words = np.zeros(n, np.uint32)
        if cw is None or words is None or len(words) != n or len(cw) != n:
            continue
        obj._col_prov[label] = _united(tracker, [np.asarray(words, np.uint32), cw], n, True)
        if _has_nodes(obj) and label in obj._col_nodes:
            obj._col_nodes[label] = np.full(n, -1, np.int64)


def _took_other(cond, keep, inplace):
    """The rows where (keep) or mask (not keep) gave `other`. pandas fills a missing condition
    with `inplace` after mask's inversion: missing rows took `other` unless in place."""
    fill = inplace == keep
    if hasattr(cond, "to_numpy"):
        chosen = cond.to_numpy(dtype=bool, na_value=fill)
    else:
        values = np.asarray(cond)
        if values.dtype == object:
            values = np.where(pd.isna(values), fill, values)
        chosen = values.astype(bool)
    return chosen != keep


def _chosen_where(self, cond, other, keep, inplace, method, outside):
    """where/mask whose `other` is a tracked Series: the rows that take it also take its words
    (every row when the condition does not line up with this Series by position). A tracked
    condition the caller chose gives every row its words too: a value chosen by a protected
    condition derives from it. pandas' own steps (clip runs through `where`) are not counted."""
    c = cond(self) if callable(cond) else cond  # once, on the values before an in-place change
    counted = None
    if _tracked_series(c):
        if outside:
            counted = c
        # pandas fills and inverts the condition on its way: on a tracked mask those steps
        # would log nodes nothing refers to. Its words are counted afterwards.
        c = pd.Series(c._values, index=c.index, name=c.name, copy=False)
    _ASSIGNING.add(id(self))  # its words are placed here, not by series_where_inplace
    try:
        result = method(self, c, other, inplace=inplace)
    finally:
        _ASSIGNING.discard(id(self))
    target = self if inplace else result
    if not _tracked_series(target):
        return result
    if _tracked_series(other):
        rows = None
        if not isinstance(c, pd.DataFrame) and pd.api.types.is_list_like(c) and len(c) == len(self) and (
                not isinstance(c, pd.Series) or c.index.equals(self.index)):
            rows = _took_other(c, keep, inplace)
        _with_other(target, self, other, rows=rows)
    if counted is not None:
        _with_other(target, target, counted)
    return result


def series_where(self, cond, other=np.nan, *, inplace=False, **kwargs):
    return _chosen_where(self, cond, other, True, inplace,
                         lambda s, c, o, inplace: pd.Series.where(s, c, o, inplace=inplace, **kwargs),
                         _called_from_outside())


def series_mask(self, cond, other=np.nan, *, inplace=False, **kwargs):
    return _chosen_where(self, cond, other, False, inplace,
                         lambda s, c, o, inplace: pd.Series.mask(s, c, o, inplace=inplace, **kwargs),
                         _called_from_outside())


def _frame_chosen(self, cond, other, keep, kwargs, method, outside):
    """A frame's where/mask: the cells that take a tracked frame `other` also take its words, and
    a tracked condition the caller chose (a Series by row, a frame by column) gives every cell
    its words, as the Series' where/mask do. Changed columns drop their node ids."""
    c = cond(self) if callable(cond) else cond
    counted = None
    if _tracked_series(c) or _tracked_frame(c):
        if outside:
            counted = c
        # a plain condition: pandas' inversions of a tracked one would log nodes
        c = (pd.Series if isinstance(c, pd.Series) else pd.DataFrame)(c, copy=False)
    result = method(self, c, other, **kwargs)
    target = self if kwargs.get("inplace") else result
    tracker = getattr(target, "_tracker", None)
    if not _tracked_frame(target) or tracker is None or not target.columns.is_unique:
        return result
    n = len(target)
    same_rows = target.index.equals(self.index)
    chosen = None
    if _tracked_frame(other) and same_rows and other.index.equals(self.index) and isinstance(
            c, pd.DataFrame) and c.index.equals(self.index):
        # a missing cell (or column) of the condition takes `other` unless in place, as pandas
        chosen = c.reindex(columns=target.columns).fillna(
            bool(kwargs.get("inplace")) == keep).astype(bool)
    for label in target.columns:
        words = target._col_prov.get(label)
        if words is None or len(words) != n:
            continue
        parts = [np.asarray(words, dtype=np.uint32)]
        if chosen is not None and label in other._col_prov:
            took = chosen[label].to_numpy() != keep
            both = _united(tracker, [parts[0], other._col_prov[label]], n, True)
            parts[0] = np.where(took, both, parts[0]).astype(np.uint32)
        if counted is not None:
            cw = counted._prov if _tracked_series(counted) else counted._col_prov.get(label)
            if cw is not None and len(cw) == n and same_rows:
                parts.append(cw)
        new = parts[0] if len(parts) == 1 else _united(tracker, parts, n, True)
        if new is not words and not np.array_equal(new, words):
            target._col_prov[label] = new
            if _has_nodes(target) and label in target._col_nodes:
                target._col_nodes[label] = np.full(n, -1, np.int64)
    return result


def frame_where(self, cond, other=np.nan, **kwargs):
    return _frame_chosen(self, cond, other, True, kwargs,
                         lambda f, c, o, **k: pd.DataFrame.where(f, c, o, **k),
                         _called_from_outside())


def frame_mask(self, cond, other=np.nan, **kwargs):
    return _frame_chosen(self, cond, other, False, kwargs,
                         lambda f, c, o, **k: pd.DataFrame.mask(f, c, o, **k),
                         _called_from_outside())


def frame_rank(self, *args, **kwargs):
    """rank across each row (axis=1) compares a row's cells: each cell takes the union of its
    row's words (they kept their own column's, so a rank against age read clean)."""
    result = pd.DataFrame.rank(self, *args, **kwargs)
    axis = kwargs.get("axis", args[0] if args else 0)
    tracker = getattr(result, "_tracker", None)
    if axis not in (1, "columns") or not _tracked_frame(result) or tracker is None:
        return result
    n = len(result)
    parts = [w for c, w in self._col_prov.items() if c in result.columns and len(w) == n]
    if parts and result.columns.is_unique:
        row = _united(tracker, parts, n, True)
        for label in result.columns:
            result._col_prov[label] = row.copy()
            if _has_nodes(result):
                result._col_nodes[label] = np.full(n, -1, np.int64)
    return result


def _unite_into(words, tracker, n, extra):
    """Per-row union of a column's words with `extra` (n words)."""
    return _words()._aggregate_words(tracker, [_fit(tracker, words, n), extra], n)


def _one_word_of(tracker, value, label=_ABSENT):
    """One word uniting a tracked Series' words (or, for a frame, its column `label`'s, or
    every column's when `label` is not given), None for anything else."""
    if _tracked_series(value) and value._tracker is not None and len(value._prov):
        return _one_word(tracker, value._prov)
    if _tracked_frame(value) and value._tracker is not None:
        if label is _ABSENT:
            word = _frames_word([value], 1)
            return None if word is None else int(word[0])
        try:
            prov = value._col_prov.get(label) if label in value.columns else None
        except TypeError:
            return None
        return None if prov is None or not len(prov) else _one_word(tracker, prov)
    return None


def _rows_of(value, target, by_row):
    """A tracked Series' words by row of `target` when they line up with its rows, else None."""
    if (by_row and _tracked_series(value) and len(value) == len(target)
            and value.index.equals(target.index) and len(value._prov) == len(value)):
        return np.asarray(value._prov, dtype=np.uint32)
    return None


def frame_clip(self, lower=None, upper=None, **kwargs):
    """pandas clips a frame through `where`, as its own step, so a tracked bound's words were
    never counted: every cell takes them, as the Series' clip gives them (each value was chosen
    by comparing it with its bound). A Series bound along the rows gives each row its own
    word; a frame bound each column its column's. Changed columns drop their node ids."""
    result = pd.DataFrame.clip(self, lower, upper, **kwargs)
    target = self if kwargs.get("inplace") else result
    tracker = getattr(target, "_tracker", None)
    if not _tracked_frame(target) or tracker is None or not target.columns.is_unique:
        return result
    axis = kwargs.get("axis")
    by_row = axis in (0, "index", "rows")
    n = len(target)
    for bound in (lower, upper):
        if not (_tracked_series(bound) or _tracked_frame(bound)):
            continue
        rows = _rows_of(bound, target, by_row)
        whole = _one_word_of(tracker, bound) if _tracked_series(bound) else None
        for label in target.columns:
            words = target._col_prov.get(label)
            if words is None:
                continue
            extra = rows
            if extra is None:
                word = whole if _tracked_series(bound) else _one_word_of(tracker, bound, label)
                if word is None:
                    continue
                extra = np.full(n, word, np.uint32)
            target._col_prov[label] = _unite_into(words, tracker, n, extra)
            if _has_nodes(target):
                target._col_nodes.pop(label, None)
    return result


def _isin_words(result, values, columns=None):
    """Membership in tracked values depends on all of them: each row of the result (of each of
    its `columns`) also takes one word uniting the values' words. Node ids are dropped there."""
    tracker = getattr(result, "_tracker", None)
    if tracker is None:
        return result
    n = len(result)
    if columns is None:
        word = _one_word_of(tracker, values)
        if word is not None and _tracked_series(result):
            _set(result, _prov=_unite_into(result._prov, tracker, n, np.full(n, word, np.uint32)))
            if _has_nodes(result):
                _set(result, _node_ids=np.full(n, -1, np.int64))
        return result
    for label in columns:
        if isinstance(values, dict):
            word = _one_word_of(tracker, values.get(label))
        elif _tracked_frame(values):  # pandas compares column with column, by label
            word = _one_word_of(tracker, values, label)
        else:
            word = _one_word_of(tracker, values)
        words = result._col_prov.get(label)
        if word is None or words is None:
            continue
        result._col_prov[label] = _unite_into(words, tracker, n, np.full(n, word, np.uint32))
        if _has_nodes(result):
            result._col_nodes.pop(label, None)
    return result


def series_isin(self, values):
    return _isin_words(pd.Series.isin(self, values), values)


def frame_isin(self, values):
    result = pd.DataFrame.isin(self, values)
    if _tracked_frame(result) and result.columns.is_unique and len(result) == len(self):
        _isin_words(result, values, list(result.columns))
    return result


def frame_apply(self, func, axis=0, *args, **kwargs):
    """apply(axis=1) hands `func` whole rows: every column of a frame result unites the words of
    every column of the row, as a Series result does (pandas builds the frame from the rows'
    results, and its new columns had no words, so a value computed from age read clean)."""
    result = pd.DataFrame.apply(self, func, axis, *args, **kwargs)
    tracker = getattr(self, "_tracker", None)
    if (axis not in (1, "columns") or not _tracked_frame(result) or tracker is None
            or not self._col_prov):
        return result
    n = len(result)
    words = (_frame_words(self, n) if n == len(self) and result.index.equals(self.index)
             else _frames_word([self], n))
    if words is not None:
        _set(result, _tracker=tracker, _col_prov={c: words.copy() for c in result.columns})
        if _has_nodes(result):
            _set(result, _col_nodes={})
    return result


def frame_column_resolvers(self):
    """The columns DataFrame.eval and query name: pandas before 3 builds plain Series of them, so
    an expression (and a column eval assigns) lost every word; the tracked columns instead."""
    from pandas.core.computation.parsing import clean_column_name

    resolvers = pd.DataFrame._get_cleaned_column_resolvers(self)
    if not self.columns.is_unique:
        return resolvers
    for label in self.columns:
        key = clean_column_name(label)
        if key in resolvers and not _tracked_series(resolvers[key]):
            resolvers[key] = self[label]
    return resolvers


def series_case_when(self, caselist):
    """case_when, which pandas runs through `mask` from its own code: every row also takes each
    tracked condition's words (a row's value depends on each condition up to the one it met)."""
    if not (isinstance(caselist, list)
            and all(isinstance(c, tuple) and len(c) == 2 for c in caselist)):
        return pd.Series.case_when(self, caselist)  # pandas' own error
    cases = [(c(self) if callable(c) else c, r(self) if callable(r) else r) for c, r in caselist]
    result = pd.Series.case_when(self, cases)
    if _tracked_series(result):
        for cond, _ in cases:
            if _tracked_series(cond):
                _with_other(result, result, cond)
    return result


def series_where_inplace(self, cond, *args, **kwargs):
    """pandas' _where, which `s[mask] = value` ends in: the rows written with a tracked Series
    take its words and node ids (matched by label, as pandas matched the values); the rows
    whose label it lacks got NaN and keep theirs."""
    result = pd.Series._where(self, cond, *args, **kwargs)
    other = args[0] if args else kwargs.get("other")
    inplace = args[1] if len(args) > 1 else kwargs.get("inplace", False)
    if (not inplace or id(self) in _ASSIGNING or not _tracked_series(other)
            or not _tracked_series(self)):
        return result
    n = len(self)
    keep = np.asarray(cond, dtype=bool) if pd.api.types.is_list_like(cond) else None
    rows = np.flatnonzero(~keep) if keep is not None and keep.shape == (n,) else None
    pos = None if rows is None else _by_label(other, self.index, rows, len(other))
    if pos is None:
        _with_other(self, self, other)  # rows it cannot tell: all take its words
        return result
    tracker = self._tracker
    words = np.array(_fit(tracker, self._prov, n), dtype=np.uint32, copy=True)
    ids = np.array(_fit_nodes(getattr(self, "_node_ids", ()), n), copy=True)
    _put(tracker, words, ids, rows, _fit(tracker, other._prov, len(other)),
         getattr(other, "_node_ids", None), n, False, pos)
    _set(self, _prov=words)
    if _has_nodes(self):
        _set(self, _node_ids=ids)
    return result


def _has_words(obj):
    if _tracked_series(obj):
        return bool(np.any(np.asarray(obj._prov)))
    if _tracked_frame(obj):
        return any(np.any(np.asarray(v)) for v in obj._col_prov.values())
    return False


def update_inplace(self, result, *args, **kwargs):
    """pandas' in-place methods (dropna, drop_duplicates, sort_values, set_index, ...) compute
    their result as the method would return it, then take over its data: the words come along,
    or rows removed in place would leave words describing other rows."""
    series = isinstance(self, pd.Series)
    base = pd.Series if series else pd.DataFrame
    if (_tracked_series(self) or _tracked_frame(self)) and not _has_words(result):
        # Some methods hand over their result before __finalize__: give it the words the
        # returned result would have (positional, as for the containers' other results).
        if not (_tracked_series(result) or _tracked_frame(result)):
            result = self._constructor(result, copy=False)
        result = result.__finalize__(self)
    base._update_inplace(self, result, *args, **kwargs)
    if _tracked_series(self) and _tracked_series(result):
        _set(self, _prov=result._prov)
        if _has_nodes(self) and _has_nodes(result):
            _set(self, _node_ids=result._node_ids)
    elif _tracked_frame(self) and _tracked_frame(result):
        _set(self, _col_prov=dict(result._col_prov))
        if _has_nodes(self) and _has_nodes(result):
            _set(self, _col_nodes=dict(result._col_nodes))


def fill_words(result, self, value):
    """fillna with a tracked Series: the filled rows also take the value's words."""
    if isinstance(value, pd.Series) and _tracked_series(result):
        _with_other(result, self, value, rows=self.isna().to_numpy(), base=result._prov)
    return result


def dummy_words(out, data, spans):
    """get_dummies of a tracked frame: pandas gives a frame of its kind whose dummy columns have
    no words, each read as a tracked Series of zeros, clean (a dummy of sex read untouched by
    sex). Each takes the words (and node ids) of the column it encodes; `spans` pairs each
    encoded column with the positions of its dummies in `out`."""
    if not hasattr(out, "_col_prov"):
        return out
    nodes = getattr(data, "_col_nodes", None)
    for c, span in spans:
        words = data._col_prov.get(c)
        if words is None or len(words) != len(out):
            continue
        for j in span:
            out._col_prov[out.columns[j]] = words.copy()
            if nodes is not None and c in nodes and hasattr(out, "_col_nodes"):
                out._col_nodes[out.columns[j]] = nodes[c].copy()
    return out


def clip_words(result, bounds):
    """clip with tracked Series bounds: every row also takes their words, as each value was
    chosen by comparing it with its bound (a row clipped to a protected bound read clean)."""
    for bound in bounds:
        if isinstance(bound, pd.Series) and _tracked_series(result):
            _with_other(result, result, bound)
    return result


def merge_leftovers(result, left, right, suffixes=("_x", "_y")):
    """Columns a merge renamed with a suffix (present on both sides) keep their side's words as
    merge does for the others: the column's word (first-row rule) one MERGE step deeper."""
    try:
        sides = [(f, sfx) for f, sfx in zip((left, right), suffixes) if sfx and _tracked_frame(f)]
    except TypeError:
        return result
    tracker = result._tracker
    merge = _words().OpCode.MERGE
    for frame, suffix in sides:
        for col, prov in frame._col_prov.items():
            renamed = f"{col}{suffix}"
            if renamed not in result.columns or renamed in result._col_prov or not len(prov):
                continue
            word = _one_word(tracker, prov)
            if tracker is not None:
                word = tracker.update_chain(word, merge)
            result._col_prov[renamed] = np.full(len(result), word, dtype=np.uint32)
    return result


# ---------------------------------------------------------------- plain pandas

# Methods whose results pandas builds without telling the container where the rows came from
# (groups, windows, resampling): they run on a plain view of the data and return plain pandas,
# which the audits refuse, rather than a tracked result with missing pairs.
PLAIN_METHODS = ("groupby", "rolling", "expanding", "ewm", "resample")


def _plain_method(name):
    def method(self, *args, **kwargs):
        plain = (pd.Series if isinstance(self, pd.Series) else pd.DataFrame)(self, copy=False)
        return getattr(plain, name)(*args, **kwargs)

    method.__name__ = method.__qualname__ = name
    method.__doc__ = (f"pandas' {name} on a plain view of the data: the result is plain pandas "
                      "(untracked), since pandas does not say which rows each result row came "
                      "from.")
    return method


for _name in PLAIN_METHODS:
    globals()[_name] = _plain_method(_name)


# ---------------------------------------------------------------- frames


def _could_be_side_by_side(self, objs) -> bool:
    """Whether `self` can be `objs` put side by side: its rows are the union of theirs. Frames
    with disjoint columns stacked along rows have as many columns too, and as many rows when
    their labels repeat (or were dropped), which only stacking gives."""
    union = objs[0].index
    for o in objs[1:]:
        union = union.union(o.index, sort=False)
    return len(union) == len(self) and union.isin(self.index).all()


def _concat_frame(self, objs):
    n = len(self)
    tracker = _first_tracker(o for o in objs if _tracked_series(o) or _tracked_frame(o))
    if tracker is None:
        return
    nodes = _has_nodes(self)
    col_prov, col_nodes = {}, {}
    ncols = sum(1 if isinstance(o, pd.Series) else len(o.columns) for o in objs)
    if n == sum(map(len, objs)) and (len(self.columns) != ncols or len(objs) == 1
                                     or not _could_be_side_by_side(self, objs)):
        # Along rows: each column's pieces in order, rows without the column untracked.
        for col in self.columns:
            pieces, ids, tracked = [], [], False
            for o in objs:
                # (a column subset may still hold the words of columns it left out)
                prov = getattr(o, "_col_prov", {}).get(col) if _tracked_frame(o) and \
                    col in o.columns else None
                if prov is not None:
                    tracked = True
                    pieces.append(_fit(tracker, prov, len(o)))
                else:
                    pieces.append(np.zeros(len(o), np.uint32))
                node = getattr(o, "_col_nodes", {}).get(col) if _own_nodes(o, tracker) else None
                ids.append(_fit_nodes(node, len(o)) if node is not None
                           else np.full(len(o), -1, np.int64))
            if tracked:
                col_prov[col] = np.concatenate(pieces)
                col_nodes[col] = np.concatenate(ids)
    elif len(self.columns) == ncols:
        # Along columns: each column keeps its own words, re-aligned to the result's rows.
        k = 0
        for o in objs:
            if isinstance(o, pd.Series):
                own = _own_nodes(o, tracker)
                sources = [(o._prov, getattr(o, "_node_ids", None) if own else None)] \
                    if _tracked_series(o) else [(None, None)]
            else:
                cp = getattr(o, "_col_prov", {}) if _tracked_frame(o) else {}
                cn = getattr(o, "_col_nodes", {}) if _own_nodes(o, tracker) else {}
                sources = [(cp.get(c), cn.get(c)) for c in o.columns]
            for prov, node in sources:
                col = self.columns[k]
                k += 1
                if prov is None:
                    continue
                prov = _fit(tracker, prov, len(o))
                node = _fit_nodes(node, len(o)) if node is not None else None
                if not o.index.equals(self.index):
                    if o.index.is_unique:
                        where = o.index.get_indexer(self.index)
                        missing = where < 0
                        prov = np.where(missing, 0, prov[where]).astype(np.uint32)
                        if node is not None:
                            node = np.where(missing, -1, node[where]).astype(np.int64)
                    else:
                        prov = _words()._spread_words(tracker, prov, n)
                        node = None
                col_prov[col] = prov
                if node is not None:
                    col_nodes[col] = node
    else:
        word = _frames_word([o for o in objs if _tracked_frame(o)], n)
        if word is not None:
            col_prov = {c: word.copy() for c in self.columns}
    _set(self, _tracker=tracker, _col_prov=col_prov)
    if nodes:
        _set(self, _col_nodes=col_nodes)


def _spread_to_all(self, word):
    _set(self, _col_prov={c: word.copy() for c in self.columns})
    if _has_nodes(self):
        _set(self, _col_nodes={})


def frame_finalized(self, other, method=None):
    if method == "concat":
        objs = list(getattr(other, "objs", ()))
        if objs:
            _concat_frame(self, objs)
        return
    n = len(self)
    if _tracked_series(other):  # to_frame, a Series expanded to a frame
        if other._tracker is None:
            return
        if len(self.columns) == 1 and n == len(other):
            _set(self, _col_prov={self.columns[0]: other._prov})
            if _has_nodes(self) and hasattr(other, "_node_ids"):
                _set(self, _col_nodes={self.columns[0]: other._node_ids})
        else:
            _spread_to_all(self, _fit(other._tracker, other._prov, n))
        _set(self, _tracker=other._tracker)
        return
    if method == "merge":  # pandas' own merge (join): columns the right side brings in
        frames = [f for f in (getattr(other, "left", None), getattr(other, "right", None))
                  if _tracked_frame(f)]
        new = [c for c in self.columns if c not in self._col_prov]
        if frames and new:
            word = _frames_word(frames, n)
            if word is not None:
                for c in new:
                    self._col_prov[c] = word.copy()
                if self._tracker is None:
                    _set(self, _tracker=_first_tracker(frames))
        return
    if not _tracked_frame(other) or not other._col_prov:
        return
    if getattr(self, "_col_nodes", None) and method not in _RESHAPING:
        # a column's rows follow the rows of the frame, as a Series' do
        origins = _row_origins(self, other, method)
        m = len(other)
        if not (origins is _SAME_ROWS and n == m
                and all(len(ids) == n for ids in self._col_nodes.values())):
            _set(self, _col_nodes={c: _moved_nodes(ids, m, origins, n)
                                   for c, ids in self._col_nodes.items()})
    if method == "rename":
        _remap(self, list(other.columns))
    elif method in _RESHAPING:
        word = _frames_word([other], n)
        if word is not None:
            _spread_to_all(self, word)


def frame_finalize(owner, dicts):
    """__finalize__ of the tracked frame class `owner()`, whose per-column dicts are `dicts`:
    pandas' own, then every dict the derived frame shares with `other` replaced by a shallow
    copy (pandas hands a derived frame the parent's very dicts, and assigning a column on a
    filtered or copied frame must leave the parent's provenance alone; arrays are never written
    in place), then frame_finalized."""
    finalized = frame_finalized

    def __finalize__(self, other, method=None, **kwargs):
        # pandas 3 finalizes an arithmetic result from the frame, then from the other operand
        # (a plain array or Series made a frame or Series of this kind, without words): that
        # second step must not wipe the words the first gave.
        kept = None
        if method is None and getattr(self, "_col_prov", None) and isinstance(
                other, pd.DataFrame | pd.Series) and getattr(other, "_tracker", None) is None:
            kept = {name: getattr(self, name) for name in ("_tracker",) + tuple(dicts)
                    if hasattr(self, name)}
        result = super(owner(), self).__finalize__(other, method, **kwargs)
        if kept:
            for name, value in kept.items():
                object.__setattr__(self, name, value)
            return result
        if isinstance(other, pd.DataFrame):
            for name in dicts:
                mine = getattr(self, name, _ABSENT)
                if isinstance(mine, dict) and getattr(other, name, _ABSENT) is mine:
                    object.__setattr__(self, name, dict.copy(mine))
        finalized(self, other, method)
        return result

    return __finalize__


def _remap(frame, before):
    """Moves each column's words to the label now at its position (rename never reorders)."""
    after = list(frame.columns)
    if len(after) != len(before) or after == before:
        return
    for attr in ("_col_prov", "_col_nodes"):
        old = getattr(frame, attr, None)
        if old is None:
            continue
        _set(frame, **{attr: {new: old[b] for b, new in zip(before, after) if b in old}})


_FRAME_BINARY = ("add", "sub", "mul", "truediv", "floordiv", "mod", "pow", "and", "or", "xor",
                 "eq", "ne", "lt", "le", "gt", "ge")
_FRAME_FLEX = ("add", "sub", "mul", "div", "truediv", "floordiv", "mod", "pow", "radd", "rsub",
               "rmul", "rdiv", "rtruediv", "rfloordiv", "rmod", "rpow", "eq", "ne", "lt", "le",
               "gt", "ge")
FRAME_OPERATORS = tuple(
    [f"__{n}__" for n in _FRAME_BINARY]
    + [f"__r{n}__" for n in _FRAME_BINARY[:10]]
    + [f"__i{n}__" for n in _FRAME_BINARY[:10]]
    + list(_FRAME_FLEX))


def _unite_operand(result, self, other, op=""):
    """Each column of a frame computed from two operands unites both operands' words: by row
    when everything lines up, else one word for the column."""
    tracker = self._tracker
    if tracker is None or not isinstance(result, pd.DataFrame) or not _tracked_frame(result):
        return result
    if _tracked_frame(other) and other._col_prov:
        sources = [self, other]
    elif _tracked_series(other) and other._tracker is not None:
        sources = [self]
        series_word = _one_word(tracker, other._prov)
    else:
        return result
    n = len(result)
    aligned = all(len(f) == n and f.index.equals(result.index) for f in sources)
    code = _op_code(op)
    col_prov = {}
    for col in result.columns:
        parts = [f._col_prov[col] for f in sources if col in f._col_prov and col in f.columns]
        if len(sources) == 1:
            parts.append(np.full(len(self), series_word, np.uint32))
        if not parts:
            continue
        if aligned and len(parts) == 2 and len(parts[0]) == len(parts[1]) == n:
            try:  # the design's binary rule, row by row in the native batch kernel
                col_prov[col] = _words().combine_batch(tracker._rust, parts[0], parts[1], code)
                continue
            except (TypeError, ValueError):
                pass
        col_prov[col] = _united(tracker, parts, n, aligned and len(parts[0]) == len(self))
    _set(result, _col_prov=col_prov, _tracker=tracker)
    if _has_nodes(result):
        _set(result, _col_nodes={})
    return result


def _frame_operator(name):
    base = getattr(pd.DataFrame, name)

    def method(self, other, *args, **kwargs):
        # In place (__iadd__, ...), pandas returns the frame itself, values already updated.
        return _unite_operand(base(self, other, *args, **kwargs), self, other, name)

    method.__name__ = method.__qualname__ = name
    method.__doc__ = f"pandas' {name}; each result column unites both operands' words."
    return method


for _name in FRAME_OPERATORS:
    globals()["frame_op_" + _name] = _frame_operator(_name)


def frame_rename(self, *args, **kwargs):
    """pandas' rename, typed for the tracked frame. The words move in the `columns` setter (in
    place) or in __finalize__ ("rename")."""
    return pd.DataFrame.rename(self, *args, **kwargs)


def frame_insert(self, loc, column, value, *args, **kwargs):
    pd.DataFrame.insert(self, loc, column, value, *args, **kwargs)
    # Stored like __setitem__: a tracked Series of this frame's kind brings its arrays.
    if isinstance(value, self._constructor_sliced) and _worded_for(value, self):
        self._col_prov[column] = value._prov.copy()
        if hasattr(value, "_node_ids") and hasattr(self, "_col_nodes"):
            self._col_nodes[column] = value._node_ids.copy()


# ---------------------------------------------------------------- .loc / .iloc assignment

# Objects inside an assignment: the steps pandas nests in it (a new column stored through
# __setitem__, an inner iloc call) belong to the outer one, which places the words once.
_ASSIGNING = set()

# The columns the last .loc assignment of this thread created with a scalar (a literal, without
# sources): a tracked condition that chose the rows (folded in right after, by fold_condition)
# gives them its words, as it does to the existing columns it writes.
_CREATED = threading.local()


def _created_columns(frame):
    """The labels noted for `frame` by the assignment just made (forgotten once asked)."""
    noted = getattr(_CREATED, "columns", None)
    _CREATED.columns = None
    return noted[1] if noted is not None and noted[0]() is frame else ()


def _positions(idx, n):
    """The positions a positional indexer of one axis selects; None for one it cannot tell."""
    if isinstance(idx, slice):
        return np.arange(n)[idx]
    if pd.api.types.is_integer(idx):
        return np.array([idx + n if idx < 0 else idx], dtype=np.intp)
    try:
        arr = np.asarray(idx)
    except (TypeError, ValueError):
        return None
    if arr.ndim != 1:
        return None
    if arr.dtype == bool:
        return np.flatnonzero(arr) if len(arr) == n else None
    if arr.dtype.kind in "iu" or arr.size == 0:
        arr = arr.astype(np.intp)
        return np.where(arr < 0, arr + n, arr)
    return None


def _place(out, rows, piece, n, spread, in_order):
    """Writes what the assigned rows received into `out`: one entry per assigned row in order
    (as iloc writes a Series), a piece as long as the object by position in it (loc aligned it
    by label), else `spread` on every assigned row."""
    if len(piece) == len(rows) and (in_order or len(piece) != n):
        out[rows] = piece
    elif len(piece) == n:
        out[rows] = np.asarray(piece)[rows]
    else:
        out[rows] = spread


def _by_label(value, index, rows, width):
    """pandas aligns a Series or frame value by label (loc, s[mask] = t): the position in
    `value` of each written row's label (-1 where it lacks it and the row got NaN); None when
    the value's words are not one per row of it or its labels cannot be matched."""
    labels = getattr(value, "index", None)
    if labels is None or width != len(value) or not labels.is_unique:
        return None
    try:
        return labels.get_indexer(index[rows])
    except (TypeError, ValueError, pd.errors.InvalidIndexError):
        return None


def _put(tracker, words, ids, rows, prov, nodes, n, in_order, pos):
    """Writes the words and node ids of what `rows` received: by label where `pos` gives each
    row's position in the value (a row it lacks got NaN and keeps its word), else as _place."""
    if pos is not None:
        hit = pos >= 0
        words[rows[hit]] = np.asarray(prov)[pos[hit]]
        ids[rows[hit]] = -1 if nodes is None or not len(nodes) else \
            _fit_nodes(nodes, len(prov))[pos[hit]]
        return
    _place(words, rows, prov, n, _one_word(tracker, prov) if len(prov) else 0, in_order)
    if nodes is None or not len(nodes):
        ids[rows] = -1  # no node is known for what was written
    else:
        _place(ids, rows, nodes, n, nodes[0] if len(nodes) == 1 else -1, in_order)


def _value_pieces(tracker, value, name, labels, one_row):
    """Per assigned column, the (words, node ids) of what pandas wrote there, or None for a
    value without words."""
    if _tracked_frame(value):
        pieces = []
        for j, label in enumerate(labels):
            # pandas writes a frame's columns by position under iloc, by label under loc
            src = (value.columns[j] if j < len(value.columns) else None) if name == "iloc" \
                else label
            try:
                prov = value._col_prov.get(src) if src in value.columns else None
            except TypeError:  # an unhashable label
                prov = None
            if prov is None:
                pieces.append(None)
                continue
            node = getattr(value, "_col_nodes", {}).get(src)
            pieces.append((_fit(tracker, prov, len(value)),
                           None if node is None else _fit_nodes(node, len(value))))
        return pieces
    if not _tracked_series(value):
        return [None] * len(labels)
    prov, nodes = value._prov, getattr(value, "_node_ids", None)
    if len(labels) == 1:
        return [(prov, nodes)]
    if one_row and len(prov) == len(labels):  # one row: the entries go to the columns in order
        return [(prov[j:j + 1], None if nodes is None else nodes[j:j + 1])
                for j in range(len(labels))]
    # Rows and columns at once: every cell takes one word uniting the value's words.
    return [(np.array([_one_word(tracker, prov)], np.uint32), None)] * len(labels)


def _name_nodes(value, label, nodes):
    """As df[c] = value does: the operation nodes written into column `label` take its name."""
    kernels = sys.modules.get("lumarq.utilities._vantor32_dtype_dag")
    tracker = getattr(value, "_tracker", None)
    if kernels is not None and tracker is not None and len(nodes):
        kernels._name_nodes(tracker, str(label), np.ascontiguousarray(nodes, dtype=np.int64))


def _unite_everywhere(frame, labels, value):
    """For an assignment whose rows cannot be told: each tracked column assigned into unites
    the value's words into every row, so that no row reads clean."""
    tracker = frame._tracker
    n = len(frame)
    if _tracked_frame(value):
        word = _frames_word([value], 1)
    else:
        word = np.array([_one_word(tracker, value._prov)], np.uint32) if len(value._prov) \
            else None
    if word is None:
        return
    for label in labels:
        stored = frame._col_prov.get(label)
        if stored is None:
            continue
        frame._col_prov[label] = _words()._aggregate_words(
            tracker, [_fit(tracker, stored, n), np.full(n, word[0], np.uint32)], n)
        if _has_nodes(frame):
            frame._col_nodes.pop(label, None)


def _extend_rows(frame, rows_before, n):
    """Rows pandas added with plain values: each column's words (and node ids) grow by 0 (-1)
    for them, so the rows before keep their own instead of being spread into one."""
    tracker = frame._tracker
    for label, stored in list(frame._col_prov.items()):
        words = np.zeros(n, np.uint32)
        words[:rows_before] = _fit(tracker, stored, rows_before)
        frame._col_prov[label] = words
    if _has_nodes(frame):
        for label, stored in list(frame._col_nodes.items()):
            ids = np.full(n, -1, np.int64)
            ids[:rows_before] = _fit_nodes(stored, rows_before)
            frame._col_nodes[label] = ids


def _assigned_words(frame, indexer, value, name, rows_before):
    """The words of the cells a .loc/.iloc assignment has just written (`indexer` as pandas
    passed it on: positional, a dict for a label it added). Rows assigned a tracked value take
    its words and node ids; rows assigned anything else keep theirs, but a value without words
    over every row drops the column's words, as df[c] = value does."""
    tracked = _worded_for(value, frame)
    key = indexer if isinstance(indexer, tuple) else (indexer,)
    row_key = key[0] if key else slice(None)
    col_key = key[1] if len(key) > 1 else slice(None)
    n = len(frame)
    if isinstance(row_key, dict):  # rows added at the end
        rows = np.arange(rows_before, n)
        one_row = len(rows) == 1
    else:
        one_row = pd.api.types.is_integer(row_key)
        if one_row and not tracked and n > 1:
            return  # the common cell assignment: nothing to do
        rows = _positions(row_key, n)
    added = isinstance(col_key, dict)  # a column pandas created for this assignment
    if added:
        col_key = frame.columns.get_loc(col_key["key"])
    cols = _positions(col_key, len(frame.columns))
    labels = list(frame.columns) if cols is None else list(frame.columns[cols])
    if added and not tracked and not pd.api.types.is_list_like(value):
        _CREATED.columns = (weakref.ref(frame), tuple(labels))
    if rows is None or cols is None:
        if tracked:
            _unite_everywhere(frame, labels, value)
        return
    if not tracked and len(rows) < n:
        if rows_before < n:
            _extend_rows(frame, rows_before, n)
        return  # a plain value on some rows: they keep their words
    tracker = frame._tracker
    nodes_too = _has_nodes(frame)
    every = rows_before == n and len(rows) >= n and len(np.unique(rows)) == n
    written = {}
    pieces = _value_pieces(tracker, value if tracked else None, name, labels, one_row)
    for label, piece in zip(labels, pieces):
        if piece is None:
            if every and label not in written:
                frame._col_prov.pop(label, None)
                if nodes_too:
                    frame._col_nodes.pop(label, None)
            continue
        stored = frame._col_prov.get(label)
        if stored is None and not (every or added):
            continue  # a column without words keeps none: its other rows are unknown
        words = np.zeros(n, np.uint32)
        ids = np.full(n, -1, np.int64)
        if stored is not None and not every:
            words[:rows_before] = _fit(tracker, stored, rows_before)
            if nodes_too and label in frame._col_nodes:
                ids[:rows_before] = _fit_nodes(frame._col_nodes[label], rows_before)
        prov, nodes = piece
        pos = None
        if name == "loc" and not one_row and (len(labels) == 1 or _tracked_frame(value)):
            pos = _by_label(value, frame.index, rows, len(prov))
        _put(tracker, words, ids, rows, prov, nodes, n, name == "iloc", pos)
        if label in written:  # a repeated label: both values' words
            first_words, first_ids = written[label]
            words = _words()._aggregate_words(tracker, [first_words, words], n)
            ids = np.where(first_ids == ids, ids, -1)
        written[label] = words, ids
        frame._col_prov[label] = words
        if nodes_too:
            frame._col_nodes[label] = ids
            if nodes is not None:
                _name_nodes(value, label, ids[rows])


def _assigned_series_words(series, indexer, value, name, rows_before):
    """As _assigned_words, for a tracked Series: rows assigned a tracked value take its words
    and node ids, the others keep theirs; rows pandas added hold 0 (and -1) unless assigned."""
    n = len(series)
    tracked = _tracked_series(value) and _worded_for(value, series)
    if not tracked and n == rows_before:
        return
    key = indexer[0] if isinstance(indexer, tuple) and len(indexer) == 1 else indexer
    rows = np.arange(rows_before, n) if isinstance(key, dict) else _positions(key, n)
    tracker = series._tracker
    words = np.zeros(n, np.uint32)
    words[:rows_before] = _fit(tracker, series._prov, rows_before)
    ids = np.full(n, -1, np.int64)
    nodes_too = _has_nodes(series)
    if nodes_too:
        ids[:rows_before] = _fit_nodes(getattr(series, "_node_ids", ()), rows_before)
    if tracked and rows is None:  # rows it cannot tell: every row also takes the value's words
        word = _one_word(tracker, value._prov) if len(value._prov) else 0
        words = _words()._aggregate_words(tracker, [words, np.full(n, word, np.uint32)], n)
        ids[:] = -1
    elif tracked:
        prov, nodes = value._prov, getattr(value, "_node_ids", None)
        pos = _by_label(value, series.index, rows, len(prov)) if name == "loc" else None
        _put(tracker, words, ids, rows, prov, nodes, n, name == "iloc", pos)
    _set(series, _prov=words)
    if nodes_too:
        _set(series, _node_ids=ids)


def series_getstate(self):
    """pandas pickles the attributes `_metadata` lists, which for these classes leaves out the
    name (see series_finalize): it is stored along, or the unpickled Series had none at all."""
    state = pd.Series.__getstate__(self)
    state["_name"] = self._name
    return state


def series_setstate(self, state):
    pd.Series.__setstate__(self, state)
    if "_name" not in self.__dict__:  # pickled without its name
        object.__setattr__(self, "_name", None)


def series_set_values(self, key, value, *args, **kwargs):
    """pandas' _set_values, which `s[key] = value` ends in for every key but a boolean mask (a
    slice, labels, an index): pandas writes the value's entries by position, as iloc does, so
    the written rows take a tracked value's words and node ids the same way."""
    rows = len(self)
    pd.Series._set_values(self, key, value, *args, **kwargs)
    if id(self) in _ASSIGNING or not _tracked_series(self):
        return
    if isinstance(key, (pd.Index, pd.Series)):
        key = key._values
    _assigned_series_words(self, key, value, "iloc", rows)


class _ILocIndexer(_iLocIndexer):
    """pandas' iloc indexer, for the tracked containers: every .loc and .iloc assignment ends in
    its _setitem_with_indexer, after which the written cells' words are placed."""

    def _setitem_with_indexer(self, indexer, value, name="iloc"):
        obj = self.obj
        if id(obj) in _ASSIGNING:
            return super()._setitem_with_indexer(indexer, value, name)
        rows = len(obj)
        _CREATED.columns = None
        _ASSIGNING.add(id(obj))
        try:
            super()._setitem_with_indexer(indexer, value, name)
        finally:
            _ASSIGNING.discard(id(obj))
        if _tracked_frame(obj):
            _assigned_words(obj, indexer, value, name, rows)
        elif _tracked_series(obj):
            _assigned_series_words(obj, indexer, value, name, rows)


def _iloc(self):
    return _ILocIndexer("iloc", self)


# ---------------------------------------------------------------- class namespaces

SERIES_METHODS = {"__finalize__": series_finalize, "combine_first": series_combine_first,
                  "__add__": series_add, "__radd__": series_radd,
                  "__divmod__": series_divmod, "__rdivmod__": series_rdivmod,
                  "update": series_update, "isin": series_isin,
                  "where": series_where, "mask": series_mask, "_where": series_where_inplace,
                  **({"case_when": series_case_when} if hasattr(pd.Series, "case_when") else {}),
                  "_update_inplace": update_inplace, "_set_values": series_set_values,
                  "__getstate__": series_getstate, "__setstate__": series_setstate,
                  **{name: globals()[name] for name in INPLACE_OPERATORS + PLAIN_METHODS}}
FRAME_METHODS = {"rename": frame_rename, "insert": frame_insert, "_update_inplace": update_inplace,
                 "combine_first": frame_combine_first, "update": frame_update,
                 "where": frame_where, "mask": frame_mask, "rank": frame_rank,
                 "clip": frame_clip, "isin": frame_isin, "apply": frame_apply,
                 "_get_cleaned_column_resolvers": frame_column_resolvers,
                 **{name: globals()[name] for name in PLAIN_METHODS},
                 **{name: globals()["frame_op_" + name] for name in FRAME_OPERATORS}}


_AXIS_COLUMNS = pd.DataFrame.__dict__["columns"]


def _get_columns(self):
    return _AXIS_COLUMNS.__get__(self, type(self))


def _set_columns(self, labels):
    # `df.columns = [...]` relabels by position, like rename: the words follow their column.
    before = list(_AXIS_COLUMNS.__get__(self, type(self)))
    _AXIS_COLUMNS.__set__(self, labels)
    if before:
        _remap(self, before)


class _WordedAccessor:
    """pandas' `.dt` or `.cat` of a tracked Series. pandas builds their results as plain Series,
    so a date's month or a category's code read as untracked; element-wise results (same rows)
    keep the Series' words and node ids here, as `.str` results do through pandas."""

    __slots__ = ("_series", "_accessor")

    def __init__(self, series, accessor):
        object.__setattr__(self, "_series", series)
        object.__setattr__(self, "_accessor", accessor)

    def _worded(self, result):
        s = self._series
        if type(result) is pd.Series and len(result) == len(s) and result.index.equals(s.index):
            out = s._constructor(result, copy=False).__finalize__(s)
            if out.name is not result.name:  # __finalize__ takes s's; pandas' own stands (codes)
                object.__setattr__(out, "_name", result.name)
            return out
        return result

    def __getattr__(self, name):
        value = getattr(self._accessor, name)
        if not callable(value):
            return self._worded(value)

        def call(*args, **kwargs):
            return self._worded(value(*args, **kwargs))

        call.__name__, call.__doc__ = name, getattr(value, "__doc__", None)
        return call

    def __dir__(self):
        return dir(self._accessor)

    def __repr__(self):
        return repr(self._accessor)


def _worded_accessor(name):
    def get(self):
        return _WordedAccessor(self, pd.Series.__dict__[name].__get__(self, pd.Series))

    def cache(self, accessor):
        """pandas 2's descriptor caches its accessor in the instance: not here."""

    return property(get, cache, doc=pd.Series.__dict__[name].__doc__)


def methods_for(kind: str, module: str, qualname: str, dag: bool = False) -> dict:
    """Copies of the Series ("series") or frame methods, named as the class's own."""
    out = series_methods(module, qualname, dag) if kind == "series" else {}
    out["iloc"] = property(_iloc, doc=pd.DataFrame.iloc.__doc__)
    if kind != "series":
        out["columns"] = property(_get_columns, _set_columns, doc=_AXIS_COLUMNS.__doc__)
    else:
        # to_frame and other Series-to-frame results are the frame class of the same module,
        # which takes the words in __finalize__, instead of plain pandas frames.
        frame_name = qualname.replace("Series", "DataFrame")
        out["_constructor_expanddim"] = property(
            lambda self: getattr(sys.modules[module], frame_name))
        out["dt"], out["cat"] = _worded_accessor("dt"), _worded_accessor("cat")
    for name, fn in (SERIES_METHODS if kind == "series" else FRAME_METHODS).items():
        copy = types.FunctionType(fn.__code__, fn.__globals__, name, fn.__defaults__,
                                  fn.__closure__)
        copy.__kwdefaults__ = fn.__kwdefaults__
        copy.__doc__ = fn.__doc__
        copy.__module__ = module
        copy.__qualname__ = f"{qualname}.{name}"
        out[name] = copy
    return out


def dag_series_methods(module: str, qualname: str) -> dict:
    """The DAG Series also answers pandas' flex call of _binop (it has no _binop of its own)."""
    out = methods_for("series", module, qualname, dag=True)
    copy = types.FunctionType(flex_binop.__code__, flex_binop.__globals__, "_binop",
                              flex_binop.__defaults__)
    copy.__doc__, copy.__module__, copy.__qualname__ = (flex_binop.__doc__, module,
                                                        f"{qualname}._binop")
    out["_binop"] = copy
    return out
