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
