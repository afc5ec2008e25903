"""The compact body of a column batch, as the HTTP client sends it to the service.

A `GraphColumns` / `RowValueColumns` batch travels as its numpy columns'
raw little-endian buffers behind a small JSON header, instead of one JSON
array per record: encoding and decoding then cost a copy, not a Python
object per field.

Layout (all integers little-endian)::

    prefix   16 bytes, never compressed:
             b"LMQC", version (u8, 1), codec (u8: 0 none, 1 zlib),
             two zero bytes, content size after decompression (u64)
    content  header size (u32), header (UTF-8 JSON), zero bytes up to a
             multiple of 8, then each column's buffer in header order,
             each followed by zero bytes up to a multiple of 8

The header holds ``batch_id``, ``lost`` ([pipeline id, records] pairs),
``graph`` and ``row_values`` (null when absent). ``graph`` holds
``pipeline_id``, ``texts``, ``nodes`` and ``edges`` (counts), the sparse
``metadata`` as [row, value] pairs and ``columns`` as [name, dtype, length]
triples; ``row_values`` holds ``texts``, ``rows``, the sparse ``text_value``
pairs and ``columns``. Text columns are int32 codes into ``texts``, -1 for
null. The decoder accepts exactly the columns and dtypes of `NODE_COLUMNS`,
`EDGE_COLUMNS` and `ROW_COLUMNS` and refuses anything else.

Standard library and numpy only: the client must not need the web stack.
"""

from __future__ import annotations

import json
import math
import re
import struct
import zlib
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from . import _jsonutil
from ._columns import GraphColumns, RowValueColumns
from ._jsonutil import dumps_bytes, loads_bytes, plain

MEDIA_TYPE = "application/vnd.lumarq.columns"
VERSION = 1
NONE, ZLIB = 0, 1
MAGIC = b"LMQC"
_PREFIX = struct.Struct("<4sBBHQ")
_U32 = struct.Struct("<I")

NODE_COLUMNS: Tuple[Tuple[str, str], ...] = (
    ("fingerprint", "<i8"), ("node_type", "<i4"), ("operation", "<i4"), ("table_name", "<i4"),
    ("column_name", "<i4"), ("pair_id", "<i8"), ("pair_id_null", "|b1"), ("is_protected", "|b1"),
    ("entity_hash", "<i8"), ("entity_hash_null", "|b1"), ("chain_hash", "<i8"), ("chain_hash_null", "|b1"),
)
EDGE_COLUMNS: Tuple[Tuple[str, str], ...] = (("edge_parent", "<i8"), ("edge_child", "<i8"), ("edge_position", "<i4"))
ROW_COLUMNS: Tuple[Tuple[str, str], ...] = (
    ("pipeline_id", "<i8"), ("row_index", "<i8"), ("fingerprint", "<i8"), ("node_operation", "<i4"),
    ("value", "<f8"), ("value_null", "|b1"), ("column_name", "<i4"),
)
# Raw bytes per node (with its share of nothing else), edge and row value.
NODE_BYTES = sum(np.dtype(d).itemsize for _, d in NODE_COLUMNS)
EDGE_BYTES = sum(np.dtype(d).itemsize for _, d in EDGE_COLUMNS)
ROW_BYTES = sum(np.dtype(d).itemsize for _, d in ROW_COLUMNS)

_INT64_MAX = 2**63 - 1
_INT32_MIN, _INT32_MAX = -(2**31), 2**31 - 1
_BATCH_ID = re.compile(r"^[A-Za-z0-9._:-]{1,200}$")
_NUL = "\x00"
# A number of 19 digits or more may lie beyond 64 bits, which orjson reads as
# a float (a metadata value would be stored changed).
_LONG_NUMBER = re.compile(rb"\d{19}")
_SURROGATE_ESCAPE = re.compile(rb"\\u[dD][89a-fA-F]")


class ColumnBodyError(ValueError):
    """A column body the service refuses; `status` is the HTTP status to answer."""

    def __init__(self, message: str, status: int = 422):
        super().__init__(message)
        self.status = status


def _pad(n: int) -> int:
    return -n % 8


# -- encoding (client) ------------------------------------------------------------------


def _buffers(obj: Any, layout: Sequence[Tuple[str, str]], n: int, what: str) -> Tuple[list, List[np.ndarray]]:
    cols, arrays = [], []
    for name, dtype in layout:
        a = np.ascontiguousarray(getattr(obj, name), dtype=dtype)
        if a.ndim != 1 or a.shape[0] != n:
            raise ValueError("%s column %r has %d values; expected %d" % (what, name, a.size, n))
        cols.append([name, dtype, n])
        arrays.append(a)
    return cols, arrays


def encode(graph: Optional[GraphColumns], row_values: Optional[RowValueColumns], *,
           batch_id: Optional[str] = None, lost: Sequence[Tuple[int, int]] = (), compress: bool = False) -> bytes:
    """The body of one request (see the module's docstring)."""
    header: Dict[str, Any] = {"batch_id": batch_id, "lost": [[int(p), int(k)] for p, k in lost],
                              "graph": None, "row_values": None}
    arrays: List[np.ndarray] = []
    if graph is not None:
        n, m = len(graph), int(np.asarray(graph.edge_parent).shape[0])
        node_cols, node_arrays = _buffers(graph, NODE_COLUMNS, n, "graph")
        edge_cols, edge_arrays = _buffers(graph, EDGE_COLUMNS, m, "graph")
        header["graph"] = {
            "pipeline_id": int(graph.pipeline_id), "texts": list(graph.texts), "nodes": n, "edges": m,
            "metadata": [[int(i), plain(v)] for i, v in sorted(graph.metadata.items()) if v is not None],
            "columns": node_cols + edge_cols,
        }
        arrays += node_arrays + edge_arrays
    if row_values is not None:
        n = len(row_values)
        cols, row_arrays = _buffers(row_values, ROW_COLUMNS, n, "row_values")
        header["row_values"] = {
            "texts": list(row_values.texts), "rows": n,
            "text_value": [[int(i), str(t)] for i, t in sorted(row_values.text_value.items()) if t is not None],
            "columns": cols,
        }
        arrays += row_arrays
    head = dumps_bytes(header)
    parts: List[Any] = [_U32.pack(len(head)), head, bytes(_pad(4 + len(head)))]
    size = 4 + len(head) + _pad(4 + len(head))
    for a in arrays:
        parts += [a.view(np.uint8), bytes(_pad(a.nbytes))]
        size += a.nbytes + _pad(a.nbytes)
    if compress:
        content = b"".join(parts)
        return _PREFIX.pack(MAGIC, VERSION, ZLIB, 0, size) + zlib.compress(content, 1)
    return b"".join([_PREFIX.pack(MAGIC, VERSION, NONE, 0, size)] + parts)


def content_size(body: bytes) -> int:
    """The size a body declares for its content (what the service's limit applies to)."""
    return int(_PREFIX.unpack_from(body)[4])


def inflated_size(body: bytes) -> int:
    """The declared content size of a compressed body; 0 for any other body."""
    if len(body) < _PREFIX.size or body[:4] != MAGIC or body[5] == NONE:
        return 0
    return content_size(body)


# -- decoding (service) -------------------------------------------------------------------


class Decoded:
    __slots__ = ("graph", "row_values", "batch_id", "lost")

    def __init__(self, graph: Optional[GraphColumns], row_values: Optional[RowValueColumns],
                 batch_id: Optional[str], lost: List[Tuple[int, int]]):
        self.graph = graph
        self.row_values = row_values
        self.batch_id = batch_id
        self.lost = lost


def _content(body: bytes, limit: int) -> bytearray:
    if len(body) < _PREFIX.size or body[:4] != MAGIC:
        raise ColumnBodyError("not a lumarq column body (bad magic)", 400)
    _, version, codec, reserved, size = _PREFIX.unpack_from(body)
    if version != VERSION:
        raise ColumnBodyError("column body version %d is not supported (this service reads version %d)"
                              % (version, VERSION), 415)
    if codec not in (NONE, ZLIB) or reserved:
        raise ColumnBodyError("unknown compression %d of the column body (0 none, 1 zlib)" % codec, 415)
    if size > limit:
        raise ColumnBodyError("the column body declares %d bytes of content; the limit is %d bytes"
                              % (size, limit), 413)
    data = memoryview(body)[_PREFIX.size:]
    if codec == NONE:
        out = bytearray(data)
    else:
        inflate = zlib.decompressobj()
        try:
            # At most one byte beyond the declared size: enough to tell it lied.
            got = inflate.decompress(data, size + 1)
        except zlib.error as exc:
            raise ColumnBodyError("the compressed column body is corrupt: %s" % exc, 400) from None
        if len(got) > size:
            raise ColumnBodyError("the column body inflates beyond its declared %d bytes" % size, 413)
        if not inflate.eof or inflate.unused_data:
            raise ColumnBodyError("the compressed column body is truncated or has trailing bytes", 400)
        out = bytearray(got)
    if len(out) != size:
        raise ColumnBodyError("the column body has %d bytes of content; its prefix declares %d"
                              % (len(out), size), 400)
    return out


def _not_json(text: str) -> Any:
    raise ValueError("%s is not JSON" % text)


def _finite(text: str) -> float:
    v = float(text)
    if not math.isfinite(v):
        raise ValueError("number out of range")
    return v


def _load_header(raw: bytes) -> Any:
    """The header as JSON, integers exact; NaN, infinities and lone surrogates
    (which the standard module takes) are refused as orjson refuses them."""
    if _jsonutil._orjson is not None and not _LONG_NUMBER.search(raw):
        return loads_bytes(raw)
    header = json.loads(raw.decode("utf-8"), parse_constant=_not_json, parse_float=_finite)
    if _SURROGATE_ESCAPE.search(raw):
        json.dumps(header, ensure_ascii=False).encode("utf-8")  # UnicodeEncodeError on a lone one
    return header


def _int(v: Any, lo: int, hi: int, what: str) -> int:
    if type(v) is not int or not lo <= v <= hi:
        raise ColumnBodyError("%s must be an integer in [%d, %d]" % (what, lo, hi))
    return v


def _fields(obj: Any, allowed: Sequence[str], what: str) -> Dict[str, Any]:
    if not isinstance(obj, dict):
        raise ColumnBodyError("%s must be a JSON object" % what)
    unknown = sorted(set(obj) - set(allowed))
    if unknown:
        raise ColumnBodyError("unknown field %r in %s" % (unknown[0], what))
    missing = [k for k in allowed if k not in obj]
    if missing:
        raise ColumnBodyError("%s lacks the field %r" % (what, missing[0]))
    return obj


def _texts(v: Any, what: str) -> List[str]:
    if not isinstance(v, list) or not all(type(t) is str for t in v):
        raise ColumnBodyError("%s.texts must be a list of strings" % what)
    return v


def _sparse(v: Any, n: int, what: str, check) -> Dict[int, Any]:
    if not isinstance(v, list):
        raise ColumnBodyError("%s must be a list of [row, value] pairs" % what)
    out: Dict[int, Any] = {}
    for pair in v:
        if not isinstance(pair, list) or len(pair) != 2:
            raise ColumnBodyError("%s must be a list of [row, value] pairs" % what)
        i = _int(pair[0], 0, n - 1, "a row of %s" % what)
        if i in out:
            raise ColumnBodyError("row %d appears twice in %s" % (i, what))
        out[i] = check(pair[1])
    return out


class _Reader:
    """Hands out the content's column buffers in header order, as numpy views."""

    def __init__(self, content: bytearray, offset: int):
        self.content = content
        self.offset = offset

    def columns(self, cols: Any, layout: Sequence[Tuple[str, str]], counts: Dict[str, int], what: str
                ) -> Dict[str, np.ndarray]:
        expected = dict(layout)
        if not isinstance(cols, list):
            raise ColumnBodyError("%s.columns must be a list of [name, dtype, length]" % what)
        out: Dict[str, np.ndarray] = {}
        for entry in cols:
            if not isinstance(entry, list) or len(entry) != 3 or type(entry[0]) is not str:
                raise ColumnBodyError("%s.columns must be a list of [name, dtype, length]" % what)
            name, dtype, length = entry
            if name not in expected:
                raise ColumnBodyError("unknown column %r in %s" % (name, what))
            if name in out:
                raise ColumnBodyError("column %r appears twice in %s" % (name, what))
            if dtype != expected[name]:
                raise ColumnBodyError("column %s.%s has dtype %r; expected %r" % (what, name, dtype, expected[name]))
            want = counts[name]
            if type(length) is not int or length != want:
                raise ColumnBodyError("column %s.%s has length %r; the header gives %d" % (what, name, length, want))
            nbytes = length * np.dtype(dtype).itemsize
            if self.offset + nbytes > len(self.content):
                raise ColumnBodyError("the column body is truncated: %s.%s needs %d bytes, %d remain"
                                      % (what, name, nbytes, max(0, len(self.content) - self.offset)), 400)
            a = np.frombuffer(self.content, dtype=dtype, count=length, offset=self.offset)
            if dtype == "|b1" and length and a.view(np.uint8).max() > 1:
                raise ColumnBodyError("column %s.%s holds a byte other than 0 and 1" % (what, name))
            out[name] = a
            self.offset += nbytes + _pad(nbytes)
        missing = [k for k in expected if k not in out]
        if missing:
            raise ColumnBodyError("%s lacks the column %r" % (what, missing[0]))
        return out


def _codes(a: np.ndarray, texts: List[str], what: str, nullable: bool = True) -> None:
    if a.size and (int(a.min()) < (-1 if nullable else 0) or int(a.max()) >= len(texts)):
        raise ColumnBodyError("%s holds a text code outside %s texts (%d)"
                              % (what, "-1 or the" if nullable else "the", len(texts)))


def _no_nul(texts: List[str], columns: Sequence[Tuple[str, np.ndarray]], where: str) -> None:
    bad = [i for i, t in enumerate(texts) if _NUL in t]
    if not bad:
        return
    for name, codes in columns:
        hit = np.flatnonzero(np.isin(codes, bad))
        if hit.size:
            raise _refuse_nul("%s[%d].%s" % (where, int(hit[0]), name))


def _refuse_nul(field: str) -> ColumnBodyError:
    return ColumnBodyError("%s: PostgreSQL cannot store the NUL character (\\u0000) in text" % field)


def _graph(h: Any, reader: _Reader, refuse_nul: bool) -> GraphColumns:
    h = _fields(h, ("pipeline_id", "texts", "nodes", "edges", "metadata", "columns"), "graph")
    pid = _int(h["pipeline_id"], 0, _INT64_MAX, "graph.pipeline_id")
    texts = _texts(h["texts"], "graph")
    n = _int(h["nodes"], 0, _INT64_MAX, "graph.nodes")
    m = _int(h["edges"], 0, _INT64_MAX, "graph.edges")
    counts = {name: n for name, _ in NODE_COLUMNS}
    counts.update({name: m for name, _ in EDGE_COLUMNS})
    c = reader.columns(h["columns"], NODE_COLUMNS + EDGE_COLUMNS, counts, "graph")
    _codes(c["node_type"], texts, "graph.node_type", nullable=False)
    for name in ("operation", "table_name", "column_name"):
        _codes(c[name], texts, "graph." + name)
    pair = c["pair_id"][~c["pair_id_null"]]
    if pair.size and (int(pair.min()) < _INT32_MIN or int(pair.max()) > _INT32_MAX):
        raise ColumnBodyError("graph.pair_id holds a value outside the 32-bit range")
    if m and int(c["edge_position"].min()) < 0:
        raise ColumnBodyError("graph.edge_position holds a negative input position")
    metadata = _sparse(h["metadata"], n, "graph.metadata", lambda v: v)
    if refuse_nul:
        _no_nul(texts, [(k, c[k]) for k in ("node_type", "operation", "table_name", "column_name")], "nodes")
        for i, v in sorted(metadata.items()):
            text = dumps_bytes(v).decode("utf-8")
            if _NUL in text or "\\u0000" in text:
                raise _refuse_nul("nodes[%d].metadata" % i)
    return GraphColumns(pipeline_id=pid, texts=texts, metadata=metadata, **c)


def _text_value(v: Any) -> str:
    if type(v) is not str:
        raise ColumnBodyError("row_values.text_value holds a value that is not a string")
    return v


def _rows(h: Any, reader: _Reader, refuse_nul: bool) -> RowValueColumns:
    h = _fields(h, ("texts", "rows", "text_value", "columns"), "row_values")
    texts = _texts(h["texts"], "row_values")
    n = _int(h["rows"], 0, _INT64_MAX, "row_values.rows")
    c = reader.columns(h["columns"], ROW_COLUMNS, {name: n for name, _ in ROW_COLUMNS}, "row_values")
    for name in ("node_operation", "column_name"):
        _codes(c[name], texts, "row_values." + name)
    if n and int(c["pipeline_id"].min()) < 0:
        raise ColumnBodyError("row_values.pipeline_id holds a negative id")
    text_value = _sparse(h["text_value"], n, "row_values.text_value", _text_value)
    if refuse_nul:
        _no_nul(texts, [(k, c[k]) for k in ("node_operation", "column_name")], "row_values")
        for i, t in sorted(text_value.items()):
            if _NUL in t:
                raise _refuse_nul("row_values[%d].text_value" % i)
    return RowValueColumns(texts=texts, text_value=text_value, **c)


def decode(body: bytes, limit: int, *, refuse_nul: bool = False) -> Decoded:
    """The batch in `body`; `limit` bounds the content after decompression.

    Raises `ColumnBodyError` (with the HTTP status to answer) for anything
    but a well-formed body. `refuse_nul` refuses texts holding NUL, as a
    PostgreSQL store must.
    """
    content = _content(body, limit)
    if len(content) < 4:
        raise ColumnBodyError("the column body is truncated (no header)", 400)
    (hlen,) = _U32.unpack_from(content)
    if 4 + hlen > len(content):
        raise ColumnBodyError("the column body is truncated (header of %d bytes)" % hlen, 400)
    try:
        header = _load_header(bytes(content[4:4 + hlen]))
    except (ValueError, RecursionError):
        raise ColumnBodyError("the column body's header is not valid JSON", 400) from None
    header = _fields(header, ("batch_id", "lost", "graph", "row_values"), "the column body's header")
    batch_id = header["batch_id"]
    if batch_id is not None and (type(batch_id) is not str or not _BATCH_ID.fullmatch(batch_id)):
        raise ColumnBodyError("batch_id must be 1 to 200 of the characters A-Z a-z 0-9 . _ : -")
    lost_in = header["lost"]
    if not isinstance(lost_in, list) or not all(isinstance(p, list) and len(p) == 2 for p in lost_in):
        raise ColumnBodyError("lost must be a list of [pipeline id, records] pairs")
    lost = [(_int(p, 0, _INT64_MAX, "a pipeline id in lost"), _int(k, 0, _INT64_MAX, "a count in lost"))
            for p, k in lost_in]
    reader = _Reader(content, 4 + hlen + _pad(4 + hlen))
    graph = None if header["graph"] is None else _graph(header["graph"], reader, refuse_nul)
    rows = None if header["row_values"] is None else _rows(header["row_values"], reader, refuse_nul)
    if reader.offset > len(content):
        raise ColumnBodyError("the column body is truncated (padding after its last column)", 400)
    if reader.offset < len(content):
        raise ColumnBodyError("the column body has %d bytes after its last column"
                              % (len(content) - reader.offset), 400)
    return Decoded(graph, rows, batch_id, lost)
