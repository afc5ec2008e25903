"""
Backend core of the VANTOR-32 provenance word: codec, algebra and batch kernels.
"""



from typing import Any, Dict, Iterable, List, Tuple
import numpy
import numpy.typing

class RustProvenanceTracker:
    """
    Native codec of one provenance tracker: encodes, decodes and combines 32-bit provenance words and keeps the dictionary of dense pair sets.
    """

    def __init__(self) -> None: ...

    def register(self, table: str, column: str, protected: bool = False) -> None:
        """Record a source pair announced by the front end."""

    def mark_table_protected(self, table: str) -> None:
        """Record that every column of `table` is protected."""

    def encode(self, pairs: Iterable[int], entity: int = 0, chain: int = 0, taint: bool = False, depth: int = 0) -> int:
        """
        Encode a set of pair ids (0-511) with entity, chain, taint and depth into a word.
        """

    def decode_full(self, provenance: int) -> Dict[str, Any]:
        """
        Decode a word into a dict with keys pairs (sorted ids), entity, chain, taint, depth and mode.
        """

    def combine(self, prov_a: int, prov_b: int, op: int = 1) -> int:
        """
        Combine two words: pairs united, entity XOR, chain mixed, taint OR, depth max+1.
        """

    def update_chain(self, provenance: int, op: int) -> int:
        """One unary step: pairs and taint kept, chain mixed, depth + 1."""

    def __getstate__(self) -> Tuple[Any, ...]: ...

    def __setstate__(self, state: Tuple[Any, ...]) -> None: ...

    @property
    def dense_size(self) -> int:
        """Number of distinct dense pair sets seen so far."""

    @property
    def registered(self) -> int:
        """Number of distinct source pairs announced."""

def method_hook(check: object, method: object, passed: object, gate: object | None = None, gate_at: int = 1) -> object:
    """
    A native method: check(self, ...); method(self, ...) when that answers `passed`, else
    (replacement, after): method with argument gate_at replaced, then after(self). With a
    gate, check runs only when argument gate_at is an instance of it.
    """

def combine_batch(tracker: RustProvenanceTracker, a: numpy.typing.ArrayLike, b: numpy.typing.ArrayLike, op: int) -> numpy.typing.NDArray[numpy.uint32]:
    """Element-wise combine of two equally long uint32 provenance arrays."""

def update_chain_batch(tracker: RustProvenanceTracker, arr: numpy.typing.ArrayLike, op: int) -> numpy.typing.NDArray[numpy.uint32]:
    """One unary step (depth + 1, chain mixed) for every element."""

def encode_source_column(tracker: RustProvenanceTracker, pair_id: int, entity_hashes: numpy.typing.ArrayLike, taint: bool) -> numpy.typing.NDArray[numpy.uint32]:
    """
    Depth-0 single-pair words for one source column, one per entity hash (cut to 8 bits).
    """

def is_tainted_batch(arr: numpy.typing.ArrayLike) -> numpy.typing.NDArray[numpy.bool_]:
    """Per-element taint flags (bool array)."""

def risk_score_batch(arr: numpy.typing.ArrayLike) -> numpy.typing.NDArray[numpy.float64]:
    """Per-element risk taint / (1 + depth) (float64 array)."""

def explain_batch(tracker: RustProvenanceTracker, arr: numpy.typing.ArrayLike) -> List[Tuple[int, ...]]:
    """
    Per-element source pair ids: a list with one tuple of ascending pair ids per element (equal words share one tuple).
    """

def empty_buffer(nbytes: int) -> numpy.typing.NDArray[numpy.int64]:
    """
    An uninitialised int64 array of at least `nbytes` bytes (large ones on huge pages).
    """

def take_words(words: numpy.typing.ArrayLike, indices: numpy.typing.ArrayLike, allow_fill: bool = False) -> numpy.typing.NDArray[numpy.uint32]:
    """
    words[indices] as a new uint32 array; with allow_fill, index -1 gives word 0.
    """

def concat_words(parts: Iterable[numpy.typing.ArrayLike]) -> numpy.typing.NDArray[numpy.uint32]:
    """The uint32 word arrays of `parts` one after another, in one new array."""

def group_combine(tracker: RustProvenanceTracker, words: numpy.typing.ArrayLike, ids: numpy.typing.ArrayLike, ngroups: int, op: int) -> numpy.typing.NDArray[numpy.uint32]:
    """
    One combined word per group: the words of the rows with ids == g (negative ids belong to no group) combined n-ary with `op`; an empty group gets 0.
    """

def distinct_group_members(ids: numpy.typing.ArrayLike, values: numpy.typing.ArrayLike, ngroups: int) -> Tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64]]:
    """
    (offsets, members): the distinct values of each group in the order of their first row, group g's at members[offsets[g]:offsets[g + 1]]; rows with a negative id or value belong to no group.
    """

def window_node_plan(nodes: numpy.typing.ArrayLike, columns: int, starts: numpy.typing.ArrayLike, ends: numpy.typing.ArrayLike) -> Tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64]]:
    """
    (part_starts, part_ends, part_offsets, part_inputs, offsets, inputs): the nodes of
    windows [starts[k], ends[k]) over rows with `columns` node ids each (row-major), as two
    logs of groups: part nodes (rows [part_starts[p], part_ends[p])), then one per window.
    In each, -2 - g names its group g; in the windows', -2 - windows - p names part p.
    """

def window_combine(tracker: RustProvenanceTracker, words: numpy.typing.ArrayLike, window: int, op: int) -> numpy.typing.NDArray[numpy.uint32]:
    """
    Per row, the n-ary combination of the words of the trailing window ending at it.
    """

def range_combine(tracker: RustProvenanceTracker, words: numpy.typing.ArrayLike, starts: numpy.typing.ArrayLike, ends: numpy.typing.ArrayLike, op: int, extra: numpy.typing.ArrayLike | None = None) -> numpy.typing.NDArray[numpy.uint32]:
    """
    Per window k, the combination of words[starts[k]:ends[k]] (the chain order-free),
    with extra[k] as one more member where given and non-zero.
    """

def group_running_combine(tracker: RustProvenanceTracker, words: numpy.typing.ArrayLike, ids: numpy.typing.ArrayLike, keys: numpy.typing.ArrayLike, op: int) -> numpy.typing.NDArray[numpy.uint32]:
    """
    Per row, the combination of its group's key word (keys[g], 0: none) and rows up to it;
    a row with a negative id takes one unary step.
    """
