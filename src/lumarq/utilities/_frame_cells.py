"""Where wrap_dataframe_dag reads each cell's value from, decided once per frame and column.

``df.iloc[i][col]`` gives, for a frame with unique column labels, element i of the column's
values cast to the frame's row dtype (the dtype pandas gives a cross-section), or of the column's
own values when that dtype is object or the column's. Frames where a cross-section can differ
from any column array (repeated labels, categorical columns among others) are read through the
frame itself, cell by cell, by the native caller."""
from __future__ import annotations

from typing import Any, Callable, Optional

import numpy as np
import pandas as pd

_OBJECT = np.dtype("O")


def column_values(df: Any) -> Optional[Callable[[int], Any]]:
    """A function of a column's position giving the array whose elements are that column's
    cells as ``df.iloc[i][col]`` reads them, or None when only the frame reproduces them. The
    function may raise: that column is then read cell by cell."""
    try:
        iloc = df.iloc
        columns = df.columns
        if not columns.is_unique:
            return None
        row_dtype = iloc[0].dtype
        row_object = bool(row_dtype == _OBJECT)
        if not row_object and len(columns) > 1:
            if any(isinstance(dtype, pd.CategoricalDtype) for dtype in df.dtypes):
                return None
    except Exception:
        # Every row lookup may fail as this one did: each cell's own lookup decides.
        return None

    def values(j: int) -> Any:
        column = iloc[:, j]
        own = column._values
        dtype = column.dtype
        if row_object or dtype is row_dtype or dtype == row_dtype:
            return own
        if isinstance(row_dtype, np.dtype):
            # A numpy row dtype: the cross-section assigns each cell into an array of that dtype.
            return own.astype(row_dtype)
        # An extension row dtype: the cross-section builds the array from the cells' objects.
        objects = np.asarray(own, dtype=_OBJECT)
        return row_dtype.construct_array_type()._from_sequence(objects, dtype=row_dtype)

    return values
