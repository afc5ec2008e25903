"""
VANTOR-32: 32-bit Provenance Encoding with Gradient Taint Model.

Every row value of a tracked column carries one unsigned 32-bit provenance word:

    bits 31-30  mode    payload layout (00 exact 0/1 pair, 01 exact 2 pairs,
                        10 exact 3 pairs, 11 dense 4+ pairs)
    bit  29     taint   derives from a protected attribute (propagates by OR)
    bits 28-26  depth   derivation distance from the source, 0-7, saturating
    bits 25-0   payload mode-specific:
        00: pair_data:10 | entity:8 | chain:8   (pair_data 0 = no pair)
        01: pair_index:17 | entity:5 | chain:4
        10: pair_combo:25 | reserved:1
        11: signature:26 (dictionary id of the pair set)

Algebra: pairs are united, entity hashes combined by XOR, chain hashes by a hash
combine, taint by OR, and depth becomes max(depth(a), depth(b)) + 1, saturating at 7.
A unary operation keeps pairs and taint and adds 1 to depth.
Risk is taint(p) x 1/(1 + depth(p)).
"""

import pandas

from lumarq._vantor32 import (
    RustProvenanceTracker as RustProvenanceTracker,
    combine_batch as combine_batch,
    encode_source_column as encode_source_column,
    explain_batch as explain_batch,
    is_tainted_batch as is_tainted_batch,
    risk_score_batch as risk_score_batch,
    update_chain_batch as update_chain_batch
)
from lumarq.utilities._tracked_glue import cache as cat, cache as dt


from typing import Any, ClassVar, Dict, Iterable, List, NamedTuple, Optional, Set, Tuple, Union
import numpy
import numpy.typing

MAX_PAIRS: int = 512

MODE_01: int = 0

MODE_2: int = 1

MODE_3: int = 2

MODE_DENSE: int = 3

HEADER_BITS: int = 6

PAYLOAD_BITS: int = 26

MODE_SHIFT: int = 30

TAINT_SHIFT: int = 29

DEPTH_SHIFT: int = 26

PAYLOAD_MASK: int = 67108863

MODE_01_PAIR_BITS: int = 10

MODE_01_ENTITY_BITS: int = 8

MODE_01_CHAIN_BITS: int = 8

MODE_2_PAIR_BITS: int = 17

MODE_2_ENTITY_BITS: int = 5

MODE_2_CHAIN_BITS: int = 4

MODE_3_PAIR_BITS: int = 25

MODE_DENSE_SIG_BITS: int = 26

MAX_DEPTH: int = 7

class OpCode:
    """Operation codes for chain hash computation."""

    RAW: int = 0

    ADD: int = 1

    SUB: int = 2

    MUL: int = 3

    DIV: int = 4

    NEG: int = 5

    CLIP: int = 6

    FILL: int = 7

    MAP: int = 8

    CMP: int = 9

    MERGE: int = 10

    AGG: int = 11

    CUSTOM: int = 15

class ProvenanceInfo(NamedTuple):
    """Full decoded provenance — includes taint and depth from header."""
    pairs: Set[int]
    entity: int
    chain: int
    taint: bool
    depth: int
    mode: str

class ProvenanceTracker:
    """VANTOR-32 provenance tracker with gradient taint model."""

    def __init__(self) -> None: ...

    def __getstate__(self) -> Dict[str, Any]: ...

    def __setstate__(self, state: Dict[str, Any]) -> None: ...

    @staticmethod
    def read_header(provenance: int) -> Tuple[int, bool, int]:
        """Extract (mode, taint, depth) from header bits."""

    @staticmethod
    def is_tainted(provenance: int) -> bool:
        """O(1) taint check — no decoding needed."""

    @staticmethod
    def get_depth(provenance: int) -> int:
        """O(1) depth read — no decoding needed."""

    def get_mode(self, provenance: int) -> str:
        """Human-readable mode name."""

    def register(self, table: str, column: str, protected: bool = False) -> int:
        """
        Register a (table, column) pair and return its ID (0-511).

        Args:
            table: Source table/file name
            column: Column name
            protected: If True, marks this source as a protected attribute.
                       Values derived from it will carry taint=1.
        """

    def register_table(self, table: str, columns: List[str], protected: bool = False) -> List[int]:
        """Register all columns for a table. Returns list of pair IDs."""

    def get_name(self, pair_id: int) -> Optional[Tuple[str, str]]:
        """Get (table, column) for a pair ID."""

    def get_id(self, table: str, column: str) -> Optional[int]:
        """Get pair ID for a (table, column)."""

    def is_protected(self, table: str, column: Optional[str] = None) -> bool:
        """Check if a table or specific column is a protected attribute."""

    def encode(self, pairs: Set[int], entity: int = 0, chain: int = 0, taint: bool = False, depth: int = 0) -> int:
        """
        Encode provenance to 32-bit value.

        Args:
            pairs: Set of source pair IDs (0-511)
            entity: Row identifier hash (truncated to fit mode)
            chain: Computation path hash (truncated to fit mode)
            taint: True if derived from protected data
            depth: Derivation distance from source (0-7, saturates)
        """

    def decode(self, provenance: int) -> Set[int]:
        """Decode to pair IDs only (legacy API)."""

    def decode_full(self, provenance: int) -> ProvenanceInfo:
        """Decode 32-bit provenance to full ProvenanceInfo."""

    def entity_from_row(self, row_id: Any) -> int:
        """Create entity hash from a row identifier."""

    def contains(self, provenance: int, pair_id: int) -> bool:
        """Check if a pair is in the provenance."""

    def contains_table(self, provenance: int, table: str) -> bool:
        """Check if a table is in the provenance."""

    @staticmethod
    def risk_score(provenance: int) -> float:
        """risk = taint * 1/(1 + depth).  Returns float in [0.0, 1.0]."""

    def explain(self, provenance: int) -> List[Tuple[str, str]]:
        """Decode to human-readable (table, column) names."""

    def explain_full(self, provenance: int) -> Dict[str, Any]:
        """Full provenance explanation including taint, depth, risk."""

    def explain_tables(self, provenance: int) -> List[str]:
        """Unique table names from provenance."""

    def has_protected(self, provenance: int) -> bool:
        """Check if provenance uses any protected tables/columns."""

    def combine(self, prov_a: int, prov_b: int, op: int = 1) -> int:
        """
        Combine two provenances.  pairs=union, entity=XOR, taint=OR, depth=max+1.
        """

    def update_chain(self, provenance: int, op: int) -> int:
        """Update provenance with a unary operation. Depth += 1, taint preserved."""

    def stats(self) -> Dict[str, Any]:
        """Tracker statistics."""

class TrackedSeries(pandas.Series):
    """Pandas Series with VANTOR-32 provenance (taint + depth aware)."""

    def __init__(self, *args: Any, _prov: Optional[numpy.typing.NDArray[numpy.uint32]] = None, _tracker: Optional[ProvenanceTracker] = None, **kwargs: Any) -> None: ...
    _prov: numpy.typing.NDArray[numpy.uint32]
    _tracker: Optional[ProvenanceTracker]

    def __sub__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __mul__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __truediv__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __floordiv__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __pow__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __rsub__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __rmul__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __rtruediv__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __gt__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __lt__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __ge__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __le__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __eq__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __ne__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __mod__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __rmod__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __rfloordiv__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __rpow__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __and__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __or__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __xor__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __rand__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __ror__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __rxor__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __neg__(self) -> TrackedSeries: ...  # type: ignore[misc,unused-ignore]

    def clip(self, lower: Any = None, upper: Any = None, **kwargs: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def fillna(self, value: Any = 0, **kwargs: Any) -> Optional[TrackedSeries]: ...  # type: ignore[override,unused-ignore]

    def map(self, arg: Any, **kwargs: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def replace(self, *args: Any, **kwargs: Any) -> Optional[TrackedSeries]: ...  # type: ignore[override,unused-ignore]

    @property
    def iloc(self) -> Any: ...  # type: ignore[override,unused-ignore]

    @property
    @dt.setter
    @property
    @cat.setter
    def __finalize__(self, other: Any, method: Optional[str] = None, **kwargs: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def combine_first(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __add__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __radd__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __divmod__(self, other: Any) -> tuple[TrackedSeries, TrackedSeries]: ...  # type: ignore[override,unused-ignore]

    def __rdivmod__(self, other: Any) -> tuple[TrackedSeries, TrackedSeries]: ...  # type: ignore[override,unused-ignore]

    def update(self, other):
        """
        pandas writes `other`'s values over this Series' in place, by label, without `_where`
            (whose words the assignment glue places): every row takes `other`'s words too, as
            combine_first gives them (a row kept its value because `other` had none there).
        """

    def isin(self, values): ...

    def where(self, cond: Any, other: Any = ..., *, inplace: bool = False, **kwargs: Any) -> Optional[TrackedSeries]: ...  # type: ignore[override,unused-ignore]

    def mask(self, cond: Any, other: Any = ..., *, inplace: bool = False, **kwargs: Any) -> Optional[TrackedSeries]: ...  # type: ignore[override,unused-ignore]

    def case_when(self, caselist: Any) -> TrackedSeries: ...  # type: ignore[override,unused-ignore]

    def __getstate__(self) -> Dict[str, Any]: ...

    def __setstate__(self, state: Dict[str, Any]) -> None: ...

    def __iadd__(self, other: Any) -> TrackedSeries: ...  # type: ignore[misc,override,unused-ignore]

    def __isub__(self, other: Any) -> TrackedSeries: ...  # type: ignore[misc,override,unused-ignore]

    def __imul__(self, other: Any) -> TrackedSeries: ...  # type: ignore[misc,override,unused-ignore]

    def __itruediv__(self, other: Any) -> TrackedSeries: ...  # type: ignore[misc,override,unused-ignore]

    def __ifloordiv__(self, other: Any) -> TrackedSeries: ...  # type: ignore[misc,override,unused-ignore]

    def __ipow__(self, other: Any) -> TrackedSeries: ...  # type: ignore[misc,override,unused-ignore]

    def __imod__(self, other: Any) -> TrackedSeries: ...  # type: ignore[misc,override,unused-ignore]

    def __iand__(self, other: Any) -> TrackedSeries: ...  # type: ignore[misc,override,unused-ignore]

    def __ior__(self, other: Any) -> TrackedSeries: ...  # type: ignore[misc,override,unused-ignore]

    def __ixor__(self, other: Any) -> TrackedSeries: ...  # type: ignore[misc,override,unused-ignore]

    def groupby(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[misc,override,unused-ignore]

    def rolling(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[misc,override,unused-ignore]

    def expanding(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[misc,override,unused-ignore]

    def ewm(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[misc,override,unused-ignore]

    def resample(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[misc,override,unused-ignore]

    __hash__: ClassVar[None]  # type: ignore[assignment,unused-ignore]

class TrackedDataFrame(pandas.DataFrame):
    """Pandas DataFrame with VANTOR-32 provenance."""

    def __init__(self, *args: Any, _tracker: Optional[ProvenanceTracker] = None, _col_prov: Optional[Dict[Any, numpy.typing.NDArray[numpy.uint32]]] = None, **kwargs: Any) -> None: ...
    _tracker: Optional[ProvenanceTracker]
    _col_prov: Dict[Any, numpy.typing.NDArray[numpy.uint32]]

    def __finalize__(self, other: Any, method: Optional[str] = None, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,unused-ignore]

    def __getitem__(self, key: Any) -> Any: ...  # type: ignore[override,unused-ignore]

    def __setitem__(self, key: Any, value: Any) -> None: ...

    def merge(self, right: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,unused-ignore]

    @property
    def iloc(self) -> Any: ...  # type: ignore[override,unused-ignore]

    @property
    def columns(self) -> pandas.Index: ...  # type: ignore[override,unused-ignore]
    @columns.setter
    def columns(self, labels: Any) -> None: ...

    def rename(self, *args: Any, **kwargs: Any) -> Optional[TrackedDataFrame]: ...  # type: ignore[override,unused-ignore]

    def insert(self, loc: int, column: Any, value: Any, *args: Any, **kwargs: Any) -> None: ...  # type: ignore[override,unused-ignore]

    def combine_first(self, other):
        """
        A frame's combine_first: each column both have unites the two sides' words, as the
            Series' does (the cells taken from `other` kept this frame's words); a column only
            `other` has takes its words.
        """

    def update(self, other, *args, **kwargs):
        """
        A frame's update writes `other`'s values into each column both have, where they are not
            missing, in place: every row of such a column unites `other`'s words of that column (as
            the Series' update gives them), whether or not its value was replaced: pandas' own steps
            carried them into the replaced rows on one pandas version and into none on the other.
            A column without words stays untracked; changed columns drop their node ids.
        """

    def where(self, cond: Any, other: Any = ..., **kwargs: Any) -> Optional[TrackedDataFrame]: ...  # type: ignore[override,unused-ignore]

    def mask(self, cond: Any, other: Any = ..., **kwargs: Any) -> Optional[TrackedDataFrame]: ...  # type: ignore[override,unused-ignore]

    def rank(self, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,unused-ignore]

    def clip(self, lower=None, upper=None, **kwargs):
        """
        pandas clips a frame through `where`, as its own step, so a tracked bound's words were
            never counted: every cell takes them, as the Series' clip gives them (each value was chosen
            by comparing it with its bound). A Series bound along the rows gives each row its own
            word; a frame bound each column its column's. Changed columns drop their node ids.
        """

    def isin(self, values): ...

    def apply(self, func, axis=0, *args, **kwargs):
        """
        apply(axis=1) hands `func` whole rows: every column of a frame result unites the words of
            every column of the row, as a Series result does (pandas builds the frame from the rows'
            results, and its new columns had no words, so a value computed from age read clean).
        """

    def groupby(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[misc,override,unused-ignore]

    def rolling(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[misc,override,unused-ignore]

    def expanding(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[misc,override,unused-ignore]

    def ewm(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[misc,override,unused-ignore]

    def resample(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[misc,override,unused-ignore]

    def __add__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __sub__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __mul__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __truediv__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __floordiv__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __mod__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __pow__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __and__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __or__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __xor__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __eq__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __ne__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __lt__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __le__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __gt__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __ge__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __radd__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __rsub__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __rmul__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __rtruediv__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __rfloordiv__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __rmod__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __rpow__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __rand__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __ror__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __rxor__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __iadd__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __isub__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __imul__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __itruediv__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __ifloordiv__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __imod__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __ipow__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __iand__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __ior__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def __ixor__(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def add(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def sub(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def mul(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def div(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def truediv(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def floordiv(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def mod(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def pow(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def radd(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def rsub(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def rmul(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def rdiv(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def rtruediv(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def rfloordiv(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def rmod(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def rpow(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def eq(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def ne(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def lt(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def le(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def gt(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    def ge(self, other: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override,misc,unused-ignore]

    __hash__: ClassVar[None]  # type: ignore[assignment,unused-ignore]

def wrap_dataframe(df: pandas.DataFrame, tracker: ProvenanceTracker, table: str, protected: Union[bool, Iterable[Any]] = False, include_entity: bool = True) -> TrackedDataFrame:
    """
    Wrap a DataFrame with VANTOR-32 provenance. Sets taint for protected columns.
    """

def source_words(df: pandas.DataFrame, tracker: ProvenanceTracker, table: str, protected: Union[bool, Iterable[Any]] = False) -> numpy.typing.NDArray[numpy.uint32]:
    """
    The words wrap_dataframe gives each column, registered the same way, as one flat uint32 block of columns x rows.
    """

def audit(series: TrackedSeries) -> Dict[str, Any]:
    pass

def audit_series_diversity(series: TrackedSeries) -> Dict[str, Any]:
    pass

def provenance_entropy(series: TrackedSeries) -> float:
    pass

def column_risk_report(df: TrackedDataFrame, tracker: Optional[ProvenanceTracker] = None) -> List[Dict[str, Any]]:
    pass
