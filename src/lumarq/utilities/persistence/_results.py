"""`DAGTracker.persist_results`: result columns and input-row hashes.

A result row is (str(row key), output name, int(prov[i]), float(values[i]), input-row hash),
with fingerprint 0, value None and hash None past the end of the provenance, the values and the
source frame. Numeric numpy columns convert in one call each; anything else goes element by
element through `int()` and `float()`, so their errors are the caller's to see.

The input-row hash is the SHA-256 of `source_df.iloc[i].to_json()`. Rendering every row through
its own Series costs 40-60 µs a row; pandas renders the same text for a whole frame at once
(records, one line a row) after the frame is cast to the dtype a row takes. That holds for the
column dtypes below, where a row hands the JSON writer the same values either way; other frames
take the row-by-row path, as does a frame whose first row, rendered on its own as a check,
differs. A frame of the provenance dtype renders as its values do.
"""

from __future__ import annotations

import hashlib
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from ._columns import ResultColumns

_CHUNK = 65536  # rows rendered at once: bounds the text held in memory


def _ints(prov: Any, count: int) -> List[int]:
    m = min(count, len(prov))
    if isinstance(prov, np.ndarray) and prov.ndim == 1 and prov.dtype.kind in "iu":
        got = prov[:m].tolist()
    else:
        got = [int(prov[i]) for i in range(m)]
    return got + [0] * (count - m)


def _floats(values: Any, count: int) -> List[Optional[float]]:
    m = min(count, len(values))
    if isinstance(values, np.ndarray) and values.ndim == 1 and values.dtype.kind in "fiub":
        got: List[Optional[float]] = values[:m].astype(np.float64).tolist()
    else:
        got = [float(values[i]) for i in range(m)]
    return got + [None] * (count - m)


def _dtype_renders_alike(dtype: Any) -> bool:
    import pandas as pd

    if isinstance(dtype, pd.StringDtype):
        return True
    if not isinstance(dtype, np.dtype):
        return False
    if dtype.kind == "M":
        return True  # naive datetimes: Timestamps in a mixed row, epoch milliseconds either way
    return dtype.kind in "biuO" or dtype == np.float64


def _plain_frame(df: Any) -> Any:
    """`df` as a plain DataFrame whose rows render as df's do, or None when that is not known:
    the positional containers and the provenance dtype hold the same values."""
    import pandas as pd

    from ...dtype import untrack
    from ..vantor32 import TrackedDataFrame
    from ..vantor32_dag import DAGTrackedDataFrame

    if type(df) not in (pd.DataFrame, TrackedDataFrame, DAGTrackedDataFrame):
        return None
    plain = pd.DataFrame(untrack(df))  # without a container's hooks on slicing
    return plain if _frame_renders_alike(plain) else None


def _frame_renders_alike(df: Any) -> bool:
    import pandas as pd

    cols = df.columns
    if len(cols) == 0 or isinstance(cols, pd.MultiIndex) or not cols.is_unique:
        return False
    if not all(type(c) is str for c in cols):
        return False
    return all(_dtype_renders_alike(d) for d in df.dtypes)


def _row_texts(df: Any, m: int) -> List[str]:
    if m == 0:
        return []
    plain = _plain_frame(df)
    if plain is not None:
        first = df.iloc[0]
        row_dtype = plain.iloc[0].dtype
        texts: List[str] = []
        for a in range(0, m, _CHUNK):
            part = plain.iloc[a : min(m, a + _CHUNK)].astype(row_dtype)
            # JSON escapes control characters, so every newline ends a row.
            texts.extend(part.to_json(orient="records", lines=True).split("\n")[: len(part)])
        if len(texts) == m and texts[0] == first.to_json():
            return texts
    iloc = df.iloc
    return [iloc[i].to_json() for i in range(m)]


def input_row_hashes(source_df: Any, count: int) -> List[Optional[str]]:
    """One entry per row key: the hash of source row i, None past the frame's end."""
    m = min(count, len(source_df))
    sha = hashlib.sha256
    out: List[Optional[str]] = [sha(t.encode("utf-8")).hexdigest() for t in _row_texts(source_df, m)]
    return out + [None] * (count - m)


def _words_and_values(series: Any) -> Tuple[Any, Any]:
    """An output's provenance words and values: a Series of the provenance dtype's, or what a
    tracked container (or any object with `_prov` and `values`) holds."""
    array = getattr(series, "array", None)
    words = getattr(array, "_words", None)
    if words is not None and type(array).__name__ == "ProvenanceArray":
        data = array._data
        return words, getattr(data, "_ndarray", data)  # numpy values without a copy
    return series._prov, series.values


def result_columns(pipeline_id: int, row_keys: Any, outputs: Dict[Any, Any],
                   source_df: Any = None) -> ResultColumns:
    keys = list(row_keys)
    hashes = None if source_df is None else input_row_hashes(source_df, len(keys))
    n = len(keys)
    cols = ResultColumns(pipeline_id, [str(k) for k in keys], [], [], [], hashes)
    for name, series in outputs.items():
        cols.outputs.append(name)
        words, values = _words_and_values(series)
        cols.fingerprint.append(_ints(words, n))
        cols.value.append(_floats(values, n))
    return cols


def persist_results(storage: Any, pipeline_id: int, row_keys: Any, outputs: Dict[Any, Any],
                    source_df: Any = None) -> None:
    """The rows go to `storage.store_result_columns` when the storage has it (the bulk path of
    `HostedStorage`), else to `storage.store_results` as one list of tuples."""
    cols = result_columns(pipeline_id, row_keys, outputs, source_df)
    store_columns = getattr(storage, "store_result_columns", None)
    if store_columns is not None:
        store_columns(pipeline_id, cols)
    else:
        storage.store_results(pipeline_id, cols.to_records())
