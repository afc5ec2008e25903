"""ProvenanceTracker: constants, header readers, registry, encoding, queries and statistics."""
import numpy as np
import pytest

from lumarq.utilities import vantor32 as v
from lumarq.utilities.vantor32 import OpCode, ProvenanceInfo, ProvenanceTracker

TYPE_ERROR = r"Argument '{}' has incorrect type \(expected {}, got {}\)"


@pytest.fixture
def t():
    return ProvenanceTracker()


def test_constants_and_op_codes():
    assert (v.MAX_PAIRS, v.MODE_01, v.MODE_2, v.MODE_3, v.MODE_DENSE) == (512, 0, 1, 2, 3)
    assert (v.HEADER_BITS, v.PAYLOAD_BITS, v.MODE_SHIFT, v.TAINT_SHIFT, v.DEPTH_SHIFT) == (6, 26, 30, 29, 26)
    assert v.PAYLOAD_MASK == 0x3FFFFFF
    assert (v.MODE_01_PAIR_BITS, v.MODE_01_ENTITY_BITS, v.MODE_01_CHAIN_BITS) == (10, 8, 8)
    assert (v.MODE_2_PAIR_BITS, v.MODE_2_ENTITY_BITS, v.MODE_2_CHAIN_BITS) == (17, 5, 4)
    assert (v.MODE_3_PAIR_BITS, v.MODE_DENSE_SIG_BITS, v.MAX_DEPTH) == (25, 26, 7)
    codes = {k: getattr(OpCode, k) for k in dir(OpCode) if k.isupper()}
    assert codes == {"RAW": 0, "ADD": 1, "SUB": 2, "MUL": 3, "DIV": 4, "NEG": 5, "CLIP": 6, "FILL": 7,
                     "MAP": 8, "CMP": 9, "MERGE": 10, "AGG": 11, "CUSTOM": 15}
    assert OpCode.__bases__ == (object,) and OpCode.__doc__ == "Operation codes for chain hash computation."
    assert OpCode.__module__ == "lumarq.utilities.vantor32"
    assert ProvenanceInfo._fields == ("pairs", "entity", "chain", "taint", "depth", "mode")
    assert ProvenanceInfo.__doc__.startswith("Full decoded provenance")
    assert v.__doc__.splitlines()[0] == "VANTOR-32: 32-bit Provenance Encoding with Gradient Taint Model."
    assert ProvenanceTracker.__doc__ == "VANTOR-32 provenance tracker with gradient taint model."


@pytest.mark.parametrize("word, header, mode", [
    (0, (0, False, 0), "EXACT-0"),
    (0x00010000, (0, False, 0), "EXACT-1"),
    (0x40000000, (1, False, 0), "EXACT-2"),
    (0x80000123, (2, False, 0), "EXACT-3"),
    (0xC0FFFFFF, (3, False, 0), "DENSE"),
    (0x20000000, (0, True, 0), "EXACT-0"),
    (0x3C000000, (0, True, 7), "EXACT-0"),
    ((1 << 40) | 0x3C000000, (0, True, 7), "EXACT-0"),  # bits above 31 are ignored
    (np.uint32(0x64000000), (1, True, 1), "EXACT-2"),
])
def test_header_readers(t, word, header, mode):
    assert ProvenanceTracker.read_header(word) == header
    assert ProvenanceTracker.is_tainted(word) is header[1]
    assert ProvenanceTracker.get_depth(word) == header[2]
    assert t.get_mode(word) == mode


@pytest.mark.parametrize("word, risk", [(0x1C000000, 0.0), (0x20000000, 1.0), (0x24000000, 0.5),
                                        (0x3C000000, 0.125)])
def test_risk_score(word, risk):
    assert ProvenanceTracker.risk_score(word) == risk


def test_registration_is_dense_and_bounded(t):
    ids = [t.register("t", f"c{i}") for i in range(512)]
    assert ids == list(range(512)) and t._next_id == 512
    with pytest.raises(ValueError, match=r"^Maximum 512 pairs supported$"):
        t.register("t", "one-too-many")
    assert t._next_id == 512 and t.get_id("t", "one-too-many") is None
    assert t.register("t", "c7") == 7  # known pairs are still found
    assert t.get_name(511) == ("t", "c511") and t.get_name(99999) is None


def test_max_pairs_is_read_when_registering(t, monkeypatch):
    monkeypatch.setattr(v, "MAX_PAIRS", 2)
    t.register_table("t", ["a", "b"])
    with pytest.raises(ValueError, match="Maximum 2 pairs supported"):
        t.register("t", "c")


def test_protection_only_grows(t):
    pid = t.register("t", "c")
    assert t.register("t", "c", True) == pid and t.is_protected("t", "c")
    t.register("t", "c", False)
    assert t.is_protected("t", "c")
    assert not t.is_protected("t") and not t.is_protected("t", "")
    t._protected_tables.add("t")
    assert t.is_protected("t") and t.is_protected("t", "other")


def test_encode_keeps_dense_side_table_for_four_or_more_pairs(t):
    t.encode({1, 2, 3}, entity=4, chain=5)
    assert t._dense == {}
    w = t.encode({1, 2, 3, 4}, entity=4, chain=5, taint=True, depth=2)
    assert t._dense == {w & ((1 << 26) - 1): {"pairs": frozenset({1, 2, 3, 4}), "entity": 4, "chain": 5}}
    assert t.decode(w) == {1, 2, 3, 4} and isinstance(t.decode(w), set)
    info = t.decode_full(w)
    assert isinstance(info, ProvenanceInfo)
    assert (info.taint, info.depth, info.mode) == (True, 2, "DENSE")


def test_hash_entity():
    assert v._hash_entity(None) == 0
    assert v._hash_entity(-5) == 4294967291
    assert v._hash_entity("x") == hash("x") & 0xFFFFFFFF
    with pytest.raises(TypeError):
        v._hash_entity([1])
    assert ProvenanceTracker().entity_from_row(12) == 12


@pytest.fixture
def loans(t):
    t.register("loans", "income")
    t.register("loans", "age", True)
    t.register("bureau", "score")
    return t


def test_queries_name_sources_in_pair_order(loans):
    t = loans
    p = t.encode({2, 0}, entity=3, chain=1)
    assert t.explain(p) == [("loans", "income"), ("bureau", "score")]
    assert t.explain_tables(p) == ["loans", "bureau"]
    assert t.explain_tables(t.encode({0, 1})) == ["loans"]
    assert not t.has_protected(p) and t.has_protected(t.encode({0, 1}))
    assert t.contains(p, 2) and not t.contains(p, 1)
    assert t.contains_table(p, "bureau") and not t.contains_table(p, "x")
    assert t.explain(0) == [] and t.explain_tables(0) == [] and not t.has_protected(0)


def test_explain_full_has_fixed_keys_and_skips_unknown_ids(loans):
    w = loans.encode({0, 1, 300}, taint=True, depth=1)
    full = loans.explain_full(w)
    assert list(full) == ["pairs", "pair_ids", "entity", "chain", "taint", "depth", "risk", "mode",
                          "provenance_hex"]
    assert full["pairs"] == [("loans", "income"), ("loans", "age")]
    assert full["pair_ids"] == [0, 1, 300]
    assert (full["taint"], full["depth"], full["risk"], full["mode"]) == (True, 1, 0.5, "EXACT-3")
    assert full["provenance_hex"] == f"0x{w:08X}"
    assert loans.explain_full(31)["provenance_hex"] == "0x0000001F"
    assert loans.explain_full(1 << 32)["provenance_hex"] == "0x100000000"


def test_combine_and_update_chain_follow_the_algebra(loans):
    a = loans.encode({0}, entity=0x0F, chain=3, depth=2)
    b = loans.encode({1}, entity=0x1C, chain=9, taint=True, depth=5)
    info = loans.decode_full(loans.combine(a, b))
    assert (info.pairs, info.entity, info.taint, info.depth) == ({0, 1}, (0x0F ^ 0x1C) & 31, True, 6)
    u = loans.decode_full(loans.update_chain(b, OpCode.FILL))
    assert (u.pairs, u.entity, u.taint, u.depth) == ({1}, 0x1C, True, 6)
    assert type(loans.combine(np.uint32(a), np.int64(b))) is int


def test_stats(t):
    assert t.stats() == {"registered_pairs": 0, "dense_entries": 0, "protected_tables": [],
                         "protected_columns": [], "encoding": "VANTOR-32"}
    t.register("t", "c", True)
    t._protected_tables.add("p")
    t.encode({1, 2, 3, 4})
    assert t.stats() == {"registered_pairs": 1, "dense_entries": 1, "protected_tables": ["p"],
                         "protected_columns": ["t.c"], "encoding": "VANTOR-32"}


class RecordingBackend:
    """Stands in for the backend to see what the front end passes on."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        def call(*args):
            self.calls.append((name, args))
            if name == "decode_full":
                return {"pairs": (3, 1), "entity": 1, "chain": 2, "taint": False, "depth": 0, "mode": "EXACT-2"}
            return 7
        return call


def test_front_end_delegates_to_whatever_backend_is_installed(t):
    t._rust = RecordingBackend()
    assert t.combine(1, 2) == 7
    assert t.register("a", "b", 1) == 0
    assert t.decode(5) == {1, 3}
    assert t._rust.calls == [("combine", (1, 2, 1)), ("register", ("a", "b", True)), ("decode_full", (5,))]


def test_python_subclass_overrides_are_honoured():
    class Renaming(ProvenanceTracker):
        def get_name(self, pair_id):
            return ("renamed", str(pair_id))

        def is_protected(self, table, column=None):
            return table == "renamed"

    t = Renaming()
    t.register("loans", "income")
    w = t.encode({0})
    assert t.explain(w) == [("renamed", "0")]
    assert t.explain_full(w)["pairs"] == [("renamed", "0")]
    assert t.has_protected(w)
    assert t.contains_table(w, "renamed")


def test_explain_and_contains_follow_an_overridden_decode():
    class Decoding(ProvenanceTracker):
        def decode(self, provenance):
            return {5, 2, 0}

    t = Decoding()
    for column in "xyz":
        t.register("a", column)
    # Sorted ids; 5 has no name and is left out.
    assert t.explain(0) == [("a", "x"), ("a", "z")]
    assert [t.contains(0, pid) for pid in (5, 1, 1 << 40)] == [True, False, False]


def test_table_reads_follow_an_overridden_explain():
    class Fixed(ProvenanceTracker):
        def explain(self, provenance):
            return [("b", "x"), ("a", "y"), ("b", "z")]

    t = Fixed()
    t.register("a", "y", True)
    assert t.explain_tables(0) == ["b", "a"]  # first-seen order, no repeats
    assert t.has_protected(0) is True
    assert (t.contains_table(0, "a"), t.contains_table(0, "c")) == (True, False)


def test_instance_attribute_shadows_a_method(t):
    t.register("loans", "income")
    t.get_name = lambda pid: ("patched", pid)
    assert t.explain(t.encode({0})) == [("patched", 0)]


@pytest.mark.parametrize("call, name, expected, got", [
    (lambda t: t.register(b"t", "c"), "table", "str", "bytes"),
    (lambda t: t.register("t", None), "column", "str", "NoneType"),
    (lambda t: t.register_table("t", ("a",)), "columns", "list", "tuple"),
    (lambda t: t.encode(frozenset({1})), "pairs", "set", "frozenset"),
    (lambda t: t.encode({1}, entity="3"), "entity", "int", "str"),
    (lambda t: t.get_name("0"), "pair_id", "int", "str"),
    (lambda t: t.is_protected("t", 5), "column", "str", "int"),
    (lambda t: t.decode_full([1]), "provenance", "int", "list"),
    (lambda t: t.combine(1, "2"), "prov_b", "int", "str"),
    (lambda t: ProvenanceTracker.read_header(None), "provenance", "int", "NoneType"),
    (lambda t: t.contains_table(0, 1), "table", "str", "int"),
    # Types defined in C name their module, as the interpreter's own refusals do.
    (lambda t: t.contains_table(0, np.str_("a")), "table", "str", "numpy.str_"),
    (lambda t: t.register_table("t", np.array(["a"])), "columns", "list", "numpy.ndarray"),
    (lambda t: t.register_table(StrSub("t"), []), "table", "str", "StrSub"),
    (lambda t: t.explain_tables("0"), "provenance", "int", "str"),
    (lambda t: t.has_protected(None), "provenance", "int", "NoneType"),
])
def test_wrong_argument_types_raise_the_documented_message(t, call, name, expected, got):
    with pytest.raises(TypeError, match=TYPE_ERROR.format(name, expected, got)):
        call(t)


class StrSub(str):
    pass


def test_subclasses_of_builtin_types_are_refused_and_numbers_are_converted(t):
    with pytest.raises(TypeError, match=TYPE_ERROR.format("table", "str", "StrSub")):
        t.register(StrSub("t"), "c")
    t.register("t", "c")
    assert t.get_name(np.int64(0)) == ("t", "c") and t.get_name(0.9) == ("t", "c")
    assert t.get_depth(np.uint32(0x1C000000)) == 7


def test_stats_read_while_another_thread_registers_protected_columns():
    # stats() walked the protected set while it grew: "Set changed size during iteration"
    import threading

    t = ProvenanceTracker()
    for i in range(300):
        t.register("base", f"p{i}", True)
    done, errors = threading.Event(), []

    def read():
        while not done.is_set():
            try:
                t.stats()
            except RuntimeError as e:
                errors.append(e)
                return

    reader = threading.Thread(target=read)
    reader.start()
    for i in range(200):
        t.register("late", f"c{i}", True)
    done.set()
    reader.join()
    assert errors == [] and len(t.stats()["protected_columns"]) == 500
