"""The module-level names of vantor32 and vantor32_dag that are plain Python objects: typing
aliases, the backend's functions, the word's constants, OpCode and ProvenanceInfo, the names taken
from the sibling module. Run once while the extension module initialises, defining the names in
the order the module has always listed them."""

from __future__ import annotations

import importlib
import typing

BACKEND_MISSING = (
    "VANTOR-32 Rust extension not found. Build it with: python tools/build_rust.py\n"
    "For the pure Python fallback, install from the python-vantor32-pure branch.")
_BACKEND = "lumarq._vantor32"
_BACKEND_NAMES = ("RustProvenanceTracker", "combine_batch", "update_chain_batch",
                  "encode_source_column", "is_tainted_batch", "risk_score_batch", "explain_batch")

CONSTANTS = {
    "MAX_PAIRS": 512, "MODE_01": 0, "MODE_2": 1, "MODE_3": 2, "MODE_DENSE": 3,
    "HEADER_BITS": 6, "PAYLOAD_BITS": 26, "MODE_SHIFT": 30, "TAINT_SHIFT": 29, "DEPTH_SHIFT": 26,
    "PAYLOAD_MASK": (1 << 26) - 1, "MODE_01_PAIR_BITS": 10, "MODE_01_ENTITY_BITS": 8,
    "MODE_01_CHAIN_BITS": 8, "MODE_2_PAIR_BITS": 17, "MODE_2_ENTITY_BITS": 5,
    "MODE_2_CHAIN_BITS": 4, "MODE_3_PAIR_BITS": 25, "MODE_DENSE_SIG_BITS": 26, "MAX_DEPTH": 7,
}
OP_CODES = {"RAW": 0, "ADD": 1, "SUB": 2, "MUL": 3, "DIV": 4, "NEG": 5, "CLIP": 6, "FILL": 7,
            "MAP": 8, "CMP": 9, "MERGE": 10, "AGG": 11, "CUSTOM": 15}

_MISSING = object()


def vantor32_imports(m) -> None:
    """What vantor32 holds before its own definitions: typing names, modules, the backend."""
    import math

    import numpy
    import pandas

    for name in ("Any", "Dict", "List", "NamedTuple", "Optional", "Set", "Tuple"):
        setattr(m, name, getattr(typing, name))
    m.math, m.np, m.pd = math, numpy, pandas
    # Raised inside an except block: the failure is kept as the context.
    try:
        backend = importlib.import_module(_BACKEND)
    except ImportError:
        raise ImportError(BACKEND_MISSING)
    for name in _BACKEND_NAMES:
        value = getattr(backend, name, _MISSING)
        if value is _MISSING:
            try:
                raise ImportError(f"cannot import name '{name}' from '{_BACKEND}'")
            except ImportError:
                raise ImportError(BACKEND_MISSING)
        setattr(m, name, value)


def vantor32_definitions(m) -> None:
    """The word's constants, OpCode and ProvenanceInfo."""
    for name, value in CONSTANTS.items():
        setattr(m, name, value)
    ns = {"__module__": m.__name__, "__qualname__": "OpCode",
          "__doc__": "Operation codes for chain hash computation.", **OP_CODES}
    m.OpCode = type("OpCode", (object,), ns)
    info = typing.NamedTuple("ProvenanceInfo", [
        ("pairs", typing.Set[int]), ("entity", int), ("chain", int), ("taint", bool),
        ("depth", int), ("mode", str)])
    info.__module__ = m.__name__
    info.__doc__ = "Full decoded provenance — includes taint and depth from header."
    m.ProvenanceInfo = info


_SIBLING_NAMES = ("ProvenanceTracker", "TrackedSeries", "TrackedDataFrame", "OpCode", "MAX_PAIRS",
                  "MODE_01_ENTITY_BITS", "MODE_01_CHAIN_BITS", "_hash_entity")


def vantor32_dag_imports(m):
    """What vantor32_dag holds before its own definitions; returns the sibling vantor32."""
    import dataclasses
    import enum
    import json
    import logging
    import threading

    import numpy
    import pandas

    m.dataclass, m.field = dataclasses.dataclass, dataclasses.field
    for name in ("Dict", "Set", "List", "Tuple", "Optional", "Any", "FrozenSet"):
        setattr(m, name, getattr(typing, name))
    m.Enum, m.auto = enum.Enum, enum.auto
    m.json, m.logging, m.threading, m.np, m.pd = json, logging, threading, numpy, pandas
    m.logger = logging.getLogger(m.__name__)
    sibling = importlib.import_module(".vantor32", __package__)
    for name in _SIBLING_NAMES:
        value = getattr(sibling, name, _MISSING)
        if value is _MISSING:
            # The error `from .vantor32 import <name>` gives.
            from ._dag_persist import cannot_import

            raise cannot_import(sibling, name)
        setattr(m, name, value)
    return sibling


# ---------------------------------------------------------------- the graph's record types

def node_type(m):
    """The NodeType enum of vantor32_dag."""
    kinds = m.Enum("NodeType", "SOURCE CONSTANT UNARY BINARY AGGREGATE MERGE FILTER CUSTOM",
                   module=m.__name__, qualname="NodeType")
    kinds.__doc__ = "Types of nodes in the computation DAG."
    return kinds


def _record_fields(m, name):
    T = m  # the typing names as the module holds them
    if name == "DAGNode":
        optional_str = T.Optional[str]
        return [("node_id", int), ("node_type", m.NodeType), ("operation", str),
                ("inputs", T.List[int]), ("provenance", int),
                ("metadata", T.Dict[str, T.Any], m.field(default_factory=dict)),
                ("table", optional_str, m.field(default=None)),
                ("column", optional_str, m.field(default=None)),
                ("pair_id", T.Optional[int], m.field(default=None)),
                ("is_protected", bool, m.field(default=False))]
    if name == "DAGEdge":
        return [("source_id", int), ("target_id", int), ("input_index", int)]
    return [("root_id", int), ("nodes", T.Dict[int, m.DAGNode]), ("edges", T.List[m.DAGEdge])]


def dataclass_metadata(m, cls, name) -> None:
    """Gives a native record class what a data class carries besides its methods (fields for
    dataclasses.fields/asdict/replace, match arguments, annotations and the constructor
    signature), taken from an equivalent generated data class."""
    import dataclasses
    import inspect

    twin = dataclasses.make_dataclass(name, _record_fields(m, name))
    for attr in ("__dataclass_fields__", "__dataclass_params__", "__match_args__",
                 "__annotations__"):
        setattr(cls, attr, getattr(twin, attr))
    cls.__signature__ = inspect.signature(twin)
    cls.__hash__ = None
