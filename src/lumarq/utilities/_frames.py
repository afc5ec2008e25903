"""Column access, assignment and merge of the tracked frames (both modules) and the handling of
their `protected` argument. Each runs once per call on a whole frame or column; the per-row work
stays in the native word helpers. The native methods keep their names and argument checks and
pass their class (and the one of their columns) in."""

from __future__ import annotations

import sys
import warnings

import numpy as np

from ._tracked_glue import (_called_from_outside, _created_columns, _fit_nodes, _words,
                           fold_condition, merge_leftovers, row_condition)

_MISSING = object()


def _int_result(value):
    # An override's result is taken as an int, as the native calls take it.
    return value if value is None or type(value) is int else int(value)


def _update_chain(tracker, word, code):
    return _int_result(tracker.update_chain(word, code))


def _column_words(tracker, prov, column, n):
    """The words of column Series `column` (n rows) that pandas has just built from a frame:
    zeros when none are stored, a copy when they line up, else the stored ones spread (the words
    the column already took from that very array, when it did)."""
    if prov is _MISSING:
        return np.zeros(n, dtype=np.uint32)
    if len(prov) == n:
        return prov.copy()
    if getattr(column, "_spread_from", _MISSING) is prov:
        words = getattr(column, "_prov", None)
        if words is not None and len(words) == n:
            return words
    return _words()._spread_words(tracker, prov, n)


def _broadcast_first(arr, n, fill, dtype):
    """n copies of arr[0] (`fill` when arr is empty), as a new array."""
    first = arr[:1] if len(arr) else np.array([fill], dtype=dtype)
    return np.broadcast_to(first, n).copy()


def _forget(columns, key):
    """Drops `key` from a column dict when it is there (an unhashable key is no column)."""
    if not isinstance(columns, dict):
        return
    try:
        present = dict.__contains__(columns, key)
    except Exception:
        return
    if present:
        dict.__delitem__(columns, key)


def _merge(frame_cls, self, right, args, kwargs, carry):
    result = super(frame_cls, self).merge(right, *args, **kwargs)
    out = carry(result)
    if "suffixes" in kwargs:
        merge_leftovers(out, self, right, kwargs["suffixes"])
    else:
        merge_leftovers(out, self, right)
    return out


# ---------------------------------------------------------------- TrackedDataFrame

def frame_getitem(frame_cls, series_cls, self, key):
    result = super(frame_cls, self).__getitem__(key)
    if not isinstance(result, _pd().Series):
        return result
    col_prov = self._col_prov
    prov = col_prov[key] if key in col_prov else _MISSING
    prov = _column_words(self._tracker, prov, result, len(result))
    return series_cls(result._values, index=result.index, name=result.name, _prov=prov,
                      _tracker=self._tracker)


def _brings_words(frame, value):
    """A Series pandas built without a tracker (multi-input ufuncs, pd.to_numeric) holds zeros
    that would read clean under the frame's tracker: it is stored as the plain values it is."""
    return value._tracker is not None or frame._tracker is None


def _set_by_condition(frame_cls, self, key, value):
    """df[cond] = x with the caller's tracked condition: the rows (cells) it chose are written,
    then every column takes its words (pandas hands the cells plain positions)."""
    if not (row_condition(key) and _called_from_outside(3)):
        return False
    _created_columns(self)  # columns an earlier .loc created are not this assignment's
    super(frame_cls, self).__setitem__(key, value)
    fold_condition(self, range(len(self.columns)), key)
    return True


def frame_setitem(frame_cls, series_cls, self, key, value):
    if _set_by_condition(frame_cls, self, key, value):
        return
    super(frame_cls, self).__setitem__(key, value)
    if isinstance(value, series_cls) and _brings_words(self, value):
        self._col_prov[key] = value._prov.copy()
    else:
        # Plain values have no words: the column's old ones would describe other values.
        _forget(self._col_prov, key)


def frame_merge(frame_cls, merge_code, self, right, args, kwargs):
    def carry(result):
        n = len(result)
        columns = result.columns
        tracker = self._tracker
        new_prov = {}
        sides = [self] + ([right] if isinstance(right, frame_cls) else [])
        for k, side in enumerate(sides):
            for col, prov in list(side._col_prov.items()):
                if col not in columns or (k and col in new_prov):
                    continue
                if tracker and len(prov):
                    # The first stored word one MERGE step deeper, for every merged row.
                    merged = _update_chain(tracker, int(prov[0]), merge_code)
                    new_prov[col] = np.full(n, merged, dtype=np.uint32)
                else:
                    new_prov[col] = _broadcast_first(prov, n, 0, np.uint32)
        return frame_cls(result, _tracker=tracker, _col_prov=new_prov)

    return _merge(frame_cls, self, right, args, kwargs, carry)


# ---------------------------------------------------------------- DAGTrackedDataFrame

def dag_frame_getitem(frame_cls, series_cls, self, key):
    result = super(frame_cls, self).__getitem__(key)
    if not isinstance(result, _pd().Series):
        return result
    n = len(result)
    prov = self._col_prov.get(key, _MISSING)
    nodes = self._col_nodes.get(key, _MISSING)
    prov = _column_words(self._tracker, prov, result, n)
    if nodes is _MISSING:
        nodes = np.full(n, -1, dtype=np.int64)
    elif len(nodes) != n:
        nodes = _fit_nodes(nodes, n)  # never another row's node
    else:
        nodes = nodes.copy()
    return series_cls(result._values, index=result.index, name=result.name, _prov=prov,
                      _tracker=self._tracker, _node_ids=nodes)


def _name_assigned_nodes(tracker, key, node_ids):
    """Every operation node behind `node_ids` gets metadata["column"] = str(key) unless it is
    named already: the first assignment wins, so a later copy or alias does not rename a value
    that may already be stored under its first name. Source nodes keep their own fields."""
    if not (isinstance(node_ids, np.ndarray) and node_ids.dtype == np.int64
            and node_ids.ndim == 1 and node_ids.flags.c_contiguous):
        return
    if tracker:
        kernels = sys.modules["lumarq.utilities._vantor32_dtype_dag"]
        kernels._name_nodes(tracker, str(key), node_ids)


def dag_frame_setitem(frame_cls, series_cls, self, key, value):
    if _set_by_condition(frame_cls, self, key, value):
        return
    super(frame_cls, self).__setitem__(key, value)
    if isinstance(value, series_cls) and _brings_words(self, value):
        node_ids = value._node_ids
        self._col_prov[key] = value._prov.copy()
        # Node ids are per tracker: another's (a worker's copy) name unrelated nodes here.
        own = value._tracker is self._tracker or self._tracker is None
        self._col_nodes[key] = node_ids.copy() if own else np.full(len(node_ids), -1, np.int64)
        _name_assigned_nodes(value._tracker, key, node_ids)
    else:
        # Plain values have no words or nodes: the column's old ones would describe other values.
        _forget(self._col_prov, key)
        _forget(self._col_nodes, key)


def merge_col_provenance(merge_code, self, col_prov, col_nodes, result_columns, n, out_prov,
                         out_nodes):
    """One side's column provenance through a merge: one merged word and one merge node per kept
    column."""
    for col, prov in list(col_prov.items()):
        if col not in result_columns or col in out_prov:
            continue
        base = int(prov[0]) if len(prov) else 0
        tracker = self._tracker
        tracked = bool(tracker)
        merged = _update_chain(tracker, base, merge_code) if tracked else base
        out_prov[col] = np.full(n, merged, dtype=np.uint32)
        if not tracked or col not in col_nodes:
            continue
        nodes = col_nodes[col]
        source = int(nodes[0]) if len(nodes) else -1
        if not source >= 0:
            continue
        out_nodes[col] = np.full(n, tracker.log_unary("merge", source, merged), dtype=np.int64)


def dag_frame_merge(frame_cls, self, right, args, kwargs):
    def carry(result):
        new_prov, new_nodes = {}, {}
        n = len(result)
        columns = set(result.columns)
        for side in [self] + ([right] if isinstance(right, frame_cls) else []):
            self._merge_col_provenance(side._col_prov, side._col_nodes, columns, n, new_prov,
                                       new_nodes)
        return frame_cls(result, _tracker=self._tracker, _col_prov=new_prov, _col_nodes=new_nodes)

    return _merge(frame_cls, self, right, args, kwargs, carry)


# ---------------------------------------------------------------- the protected argument

def _is_name_collection(protected) -> bool:
    """Any iterable except text and zero-dimensional arrays names columns; anything else is a
    flag."""
    if isinstance(protected, (list, tuple, set, frozenset)):
        return True
    if isinstance(protected, (str, bytes, bytearray)):
        return False
    kind = type(protected)
    if getattr(kind, "__iter__", None) is None and getattr(kind, "__getitem__", None) is None:
        return False
    ndim = getattr(protected, "ndim", None)
    return not (isinstance(ndim, int) and ndim == 0)


def protected_names(df, protected):
    """The set of str(name) that `protected` names (None when it is a flag), after warning
    about names that are not columns of `df` and about a text that is one."""
    names = _is_name_collection(protected)
    columns = {str(c) for c in df.columns}
    if names:
        protected = list(protected)  # once: a one-shot iterator named nothing after the warning
        unknown = [name for name in map(str, protected) if name not in columns]
        if unknown:
            warnings.warn(f"protected names {unknown} are not columns of the frame and protect "
                          "nothing", UserWarning, stacklevel=2)
        return {str(c) for c in protected}
    if isinstance(protected, str) and protected in columns:
        warnings.warn(f"protected={protected!r} is a text, which protects the whole table; to "
                      f"protect only the column, pass a list: protected=[{protected!r}]",
                      UserWarning, stacklevel=2)
    return None


def _pd():
    return sys.modules["pandas"]


def entity_of_row(tracker, df, i, bits):
    """entity_from_row(df.index[i]) % (1 << bits) through the tracker: the entity of row i
    where entity_from_row is overridden."""
    modulus = 1 << bits  # raises for a negative width before the tracker is asked
    return tracker.entity_from_row(df.index[i]) % modulus


def entity_hashes(tracker, df, n, bits):
    """The entities of the n rows of `df` through an overridden entity_from_row, as uint32."""
    hashes = []
    if n != 0:
        modulus = 1 << bits
        index = df.index
        labels = [index[i] for i in range(n)]
        hashes = [tracker.entity_from_row(label) % modulus for label in labels]
    return np.array(hashes, dtype=np.uint32)
