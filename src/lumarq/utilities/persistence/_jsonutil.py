"""JSON text for stored documents (node metadata, pipeline config, wire bodies).

Standard library only: the HTTP client uses it too and must not pull in the
database libraries. orjson is used for speed when it is importable.
"""

from __future__ import annotations

import datetime as _dt
import json
import math
from typing import Any

try:  # optional fast path
    import orjson as _orjson
except ImportError:  # pragma: no cover - depends on the environment
    _orjson = None

NON_FINITE = {"NaN": math.nan, "Infinity": math.inf, "-Infinity": -math.inf}


def json_default(obj: Any) -> Any:
    item = getattr(obj, "item", None)  # numpy scalars
    if callable(item) and getattr(obj, "shape", None) == ():
        return item()
    tolist = getattr(obj, "tolist", None)  # numpy arrays
    if callable(tolist):
        return tolist()
    if isinstance(obj, (set, frozenset, tuple)):
        return list(obj)
    if isinstance(obj, (_dt.datetime, _dt.date, _dt.time)):
        return obj.isoformat()
    if isinstance(obj, bytes):
        return obj.decode("utf-8", "replace")
    return str(obj)


def non_finite_text(value: float) -> str:
    return "NaN" if value != value else ("Infinity" if value > 0 else "-Infinity")


def finite(obj: Any) -> Any:
    """Replace non-finite floats, which JSON (and PostgreSQL jsonb) refuse."""
    if isinstance(obj, float) and not math.isfinite(obj):
        return non_finite_text(obj)
    if isinstance(obj, dict):
        return {k: finite(v) for k, v in obj.items()}
    if isinstance(obj, (list, tuple)):
        return [finite(v) for v in obj]
    return obj


def plain(obj: Any) -> Any:
    """`obj` as plain JSON values (numpy and sets converted, non-finite floats as text)."""
    if obj is None or isinstance(obj, (str, int, bool)):
        return obj
    return finite(json.loads(json.dumps(obj, default=json_default)))


def dumps_json(obj: Any) -> str:
    try:
        return json.dumps(obj, default=json_default, allow_nan=False, separators=(",", ":"))
    except ValueError:
        # Round-trip through the default hook first so numpy NaNs are seen too.
        return json.dumps(plain(obj), allow_nan=False, separators=(",", ":"))


def dumps_bytes(obj: Any) -> bytes:
    """Compact JSON bytes of plain data (no NaN: callers convert those first)."""
    if _orjson is not None:
        try:
            return _orjson.dumps(obj, default=json_default)
        except TypeError:  # integers beyond 64 bits; the standard module copes
            pass
    return json.dumps(obj, default=json_default, allow_nan=False, separators=(",", ":")).encode("utf-8")


def loads_bytes(data: bytes) -> Any:
    if _orjson is not None:
        return _orjson.loads(data)
    return json.loads(data)
