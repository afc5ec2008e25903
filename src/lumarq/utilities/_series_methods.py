"""clip, fillna, map and replace of the positional tracked Series.

pandas computes the values; the result takes one unary step of provenance (OpCode CLIP, FILL or
MAP): through the backend's update_chain_batch for TrackedSeries, through the Series'
_apply_tracked_unary (one graph node per row) for DAGTrackedSeries. Numeric clips run as the
Series' own unary operation (_unop / _unop_dag), so overrides of it are honoured.
"""

from __future__ import annotations

import math
import sys

import numpy as np
import pandas as pd

from ._jsoncodec import _global

# pandas' in-place methods return the object itself from pandas 3 on, None before.
_INPLACE_RETURNS_SELF = int(pd.__version__.split(".")[0]) >= 3


class _Zero:
    """fillna's default value: 0, unless a fill method is given."""

    def __repr__(self):
        return "0"


_ZERO = _Zero()


def _bound(bound):
    """A clip bound of None for a missing scalar (NaN, pd.NA), which pandas reads as no bound
    (numpy's clip would make every value NaN)."""
    if bound is pd.NA or (isinstance(bound, float) and math.isnan(bound)):
        return None
    return bound


def _open_where_missing(bound, fill):
    """An array bound whose missing entries (no bound there, to pandas) are `fill` (-inf or
    inf): numpy's clip made those rows NaN where pandas keeps the value."""
    if bound is None or np.ndim(bound) == 0:
        return bound
    values = np.asarray(bound)
    missing = pd.isna(values)
    return np.where(missing, fill, values) if missing.any() else values


def _array(series):
    """The values to rebuild a result from: `values`, but the pandas array of an extension
    dtype, whose `values` loses it (a time zone's dates come out naive UTC, periods as objects)."""
    return series.values if isinstance(series.dtype, np.dtype) else series.array


def _numpy_clippable(series):
    """Whether numpy's clip gives pandas' values: not for dates and durations (NaT is no
    number to numpy: it raised or became the bound) nor for extension dtypes."""
    return isinstance(series.dtype, np.dtype) and series.dtype.kind not in "mM"


def _plain(obj):
    """A plain Series over a tracked one's data, so pandas' own steps on it log nothing."""
    if isinstance(obj, pd.Series) and hasattr(obj, "_prov"):
        return pd.Series(_array(obj), index=obj.index, name=obj.name, copy=False)
    return obj


def _clipper(lo, hi):
    def clip(x):
        # No bound at all: the values as they are (numpy before 2 refuses np.clip(x, None, None)).
        if lo is None and hi is None:
            return np.array(x)
        return np.clip(x, lo, hi)
    return clip


def _fill_words(out, self, value):
    if isinstance(value, pd.Series):
        from lumarq.utilities._tracked_glue import fill_words
        fill_words(out, self, value)
    return out


def _named(fn, module, qualname, name):
    fn.__name__ = name
    fn.__module__ = module
    fn.__qualname__ = f"{qualname}.{name}"
    return fn


def series_methods(module: str, qualname: str, dag: bool) -> dict:
    """The methods of the Series class `qualname` of `module` (map only without the graph:
    the DAG Series keeps pandas' own)."""
    opcode = sys.modules[module].OpCode
    clip_code, fill_code, map_code = int(opcode.CLIP), int(opcode.FILL), int(opcode.MAP)

    def cls():
        return getattr(sys.modules[module], qualname)

    if dag:
        def rewrap(self, result, name, op, index=None):
            return self._apply_tracked_unary(
                _array(result), self.index if index is None else index, name, op)

        def unop(self, fn):
            return self._unop_dag(fn, "clip", clip_code)
    else:
        def rewrap(self, result, name, op, index=None):
            tracker = self._tracker
            prov = self._prov
            if tracker:
                # read at each call, so a replaced function takes effect
                batch = _global(sys.modules[module], "update_chain_batch")
                prov = np.asarray(batch(tracker._rust, prov, op), dtype=np.uint32)
            else:
                prov = prov.copy()
            return cls()(_array(result), index=self.index, name=result.name, _prov=prov,
                         _tracker=tracker)

        def unop(self, fn):
            return self._unop(fn, clip_code)

    def clip(self, lower=None, upper=None, **kwargs):
        lo, hi = _bound(lower), _bound(upper)
        if not _numpy_clippable(self):
            # pandas' own (numpy's gives nullable ints as floats and loses NaT), on plain data:
            # its comparisons with the bounds are no steps of this Series
            out = rewrap(self, _plain(self).clip(_plain(lo), _plain(hi)), "clip", clip_code)
        else:
            out = unop(self, _clipper(_open_where_missing(lo, -np.inf),
                                      _open_where_missing(hi, np.inf)))
        if isinstance(out, pd.Series):
            from lumarq.utilities._tracked_glue import clip_words
            clip_words(out, (lower, upper))
        if not kwargs.get("inplace"):
            return out
        # The result's data, words and node ids become the Series' own, as pandas' in-place
        # methods take over their result (pandas' own clip would run its masks through the
        # tracked Series and log a node per row for each). Other keywords are ignored.
        self._update_inplace(out)
        return self if _INPLACE_RETURNS_SELF else None

    def in_place(self, method, name, args, kwargs):
        """pandas' own in-place call (its return value, and its write into a frame the Series
        came from on pandas 2), after which the Series takes the words and node ids the
        returned result would have: rows filled from a tracked value read clean otherwise."""
        out = method(self, *args, **{**kwargs, "inplace": False})
        result = getattr(super(cls(), self), name)(*args, **kwargs)
        object.__setattr__(self, "_prov", out._prov)
        if dag:
            object.__setattr__(self, "_node_ids", out._node_ids)
        return result

    def fillna(self, value=_ZERO, **kwargs):
        if value is _ZERO:
            # 0 when nothing says what to fill with; pandas 2 refuses a value with a method
            value = None if kwargs.get("method") is not None else 0
        if kwargs.get("inplace"):
            return in_place(self, fillna, "fillna", (value,), kwargs)
        result = super(cls(), self).fillna(value, **kwargs)
        return _fill_words(rewrap(self, result, "fillna", fill_code), self, value)

    def replace(self, *args, **kwargs):
        # In place it leaves the words as they are (the values it writes are plain, never a
        # tracked Series), and a result pandas returns that is not a Series as it is.
        result = super(cls(), self).replace(*args, **kwargs)
        if not isinstance(result, pd.Series):
            return result
        return rewrap(self, result, "replace", map_code, result.index)

    def map(self, arg, **kwargs):
        return rewrap(self, super(cls(), self).map(arg, **kwargs), "map", map_code)

    out = {"clip": clip, "fillna": fillna, "map": map, "replace": replace}
    if dag:
        del out["map"]
    return {name: _named(fn, module, qualname, name) for name, fn in out.items()}
