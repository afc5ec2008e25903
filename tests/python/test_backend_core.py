"""The backend core lumarq._vantor32: codec, algebra and batch kernels seen from Python."""
import pickle

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from lumarq import _vantor32 as core


@pytest.fixture
def rust():
    return core.RustProvenanceTracker()


@settings(max_examples=300, deadline=None)
@given(
    pairs=st.sets(st.integers(0, 511), max_size=12),
    entity=st.integers(0, 2**40),
    chain=st.integers(-(2**40), 2**40),
    taint=st.booleans(),
    depth=st.integers(0, 20),
)
def test_decode_full_returns_exactly_what_the_mode_holds(pairs, entity, chain, taint, depth):
    rust = core.RustProvenanceTracker()
    widths = {0: (8, 8), 1: (8, 8), 2: (5, 4), 3: (0, 0)}.get(len(pairs), (0, 0))
    d = rust.decode_full(rust.encode(pairs, entity, chain, taint, depth))
    assert d["pairs"] == sorted(pairs)
    assert d["entity"] == entity & ((1 << widths[0]) - 1)
    assert d["chain"] == chain & ((1 << widths[1]) - 1)
    assert d["taint"] is taint
    assert d["depth"] == min(depth, 7)


@pytest.mark.parametrize("n, mode", [(0, "EXACT-0"), (1, "EXACT-1"), (2, "EXACT-2"), (3, "EXACT-3"),
                                     (4, "DENSE"), (512, "DENSE")])
def test_round_trip_at_every_pair_count(rust, n, mode):
    pairs = set(range(512 - n, 512))
    d = rust.decode_full(rust.encode(pairs, 0, 0, False, 0))
    assert (d["pairs"], d["mode"]) == (sorted(pairs), mode)


def test_pickling_keeps_names_with_nul_characters(rust):
    # Sources and tables differing only after a NUL character stay apart after the round trip.
    for column in ("a\0x", "a\0y"):
        rust.register("t\0u", column, True)
    rust.mark_table_protected("p\0q")
    rust.mark_table_protected("p\0r")
    back = pickle.loads(pickle.dumps(rust))
    sets, sources, tables = back.__getstate__()
    assert (sets, sources) == rust.__getstate__()[:2]
    assert (back.registered, sorted(tables)) == (2, ["p\0q", "p\0r"])


def test_dense_signatures_never_alias_other_pair_sets(rust):
    seen = {}
    for k in range(300):
        pairs = {0, 1, 2, 3 + k}
        w = rust.encode(pairs, 0, 0, False, 0)
        assert seen.setdefault(w, frozenset(pairs)) == frozenset(pairs)
    assert rust.dense_size == 300
    assert all(set(rust.decode_full(w)["pairs"]) == set(p) for w, p in seen.items())


@pytest.mark.parametrize("bad", [{512}, {-1}, {0, 1, 2, 600}])
def test_pair_ids_outside_the_registry_are_refused(rust, bad):
    with pytest.raises(ValueError, match="pair id out of range"):
        rust.encode(bad, 0, 0, False, 0)


@pytest.mark.parametrize("word", [(514 << 16), (1 << 30) | (130816 << 9), (2 << 30) | (22238720 << 1), 3 << 30])
def test_decoding_a_word_no_encoder_made_raises(rust, word):
    with pytest.raises(ValueError, match="invalid provenance value"):
        rust.decode_full(word)


def test_negative_depth_is_refused(rust):
    with pytest.raises(ValueError, match="depth"):
        rust.encode({1}, 0, 0, False, -1)


def _column(rust, pair, n, taint=False, seed=0):
    entities = np.random.default_rng(seed).integers(0, 256, n, dtype=np.uint32)
    return core.encode_source_column(rust, pair, entities, taint)


def test_batch_kernels_agree_with_the_scalar_algebra(rust):
    words = np.array([0, rust.encode({1}, 3, 4, False, 0), rust.encode({2}, 5, 6, True, 2),
                      rust.encode({1, 2}, 7, 8, False, 1), rust.encode({1, 2, 3}, 0, 0, True, 6),
                      rust.encode({1, 2, 3, 4}, 0, 0, False, 7)], dtype=np.uint32)
    a = np.repeat(words, len(words) * 800)
    b = np.tile(np.repeat(words, 800), len(words))
    out = core.combine_batch(rust, a, b, 9)
    assert out.dtype == np.uint32 and out.flags.writeable
    expected = [rust.combine(int(x), int(y), 9) for x, y in zip(a[::800], b[::800])]
    assert out[::800].tolist() == expected
    unary = core.update_chain_batch(rust, a, 7)
    assert unary[::800].tolist() == [rust.update_chain(int(x), 7) for x in a[::800]]


def test_batch_kernels_accept_read_only_and_empty_arrays(rust):
    a = _column(rust, 0, 1000)
    b = _column(rust, 1, 1000, seed=1)
    a.flags.writeable = False
    b.flags.writeable = False
    assert np.array_equal(core.combine_batch(rust, a, b, 1),
                          [rust.combine(int(x), int(y), 1) for x, y in zip(a, b)])
    empty = np.zeros(0, dtype=np.uint32)
    for result in (core.combine_batch(rust, empty, empty, 1), core.update_chain_batch(rust, empty, 1),
                   core.encode_source_column(rust, 3, empty, True), core.is_tainted_batch(empty),
                   core.risk_score_batch(empty)):
        assert len(result) == 0
    assert core.explain_batch(rust, empty) == []


def test_combine_batch_refuses_arrays_of_different_length(rust):
    with pytest.raises(ValueError, match="differ in length"):
        core.combine_batch(rust, np.zeros(3, np.uint32), np.zeros(2, np.uint32), 1)


def test_encode_source_column_builds_depth_zero_single_pair_words(rust):
    words = core.encode_source_column(rust, 4, np.array([0, 255, 256 + 7], dtype=np.uint32), True)
    assert [rust.decode_full(int(w)) for w in words] == [
        {"pairs": [4], "entity": e, "chain": 0, "taint": True, "depth": 0, "mode": "EXACT-1"}
        for e in (0, 255, 7)
    ]


def test_taint_and_risk_batches_follow_the_header(rust):
    words = np.array([0, 0x20000000, 0x24000000, 0x3C000000, 0x1C000000], dtype=np.uint32)
    assert core.is_tainted_batch(words).tolist() == [False, True, True, True, False]
    assert core.risk_score_batch(words).tolist() == [0.0, 1.0, 0.5, 0.125, 0.0]


def test_explain_batch_lists_sorted_pair_ids_and_shares_equal_entries(rust):
    w = rust.encode({9, 2}, 0, 0, False, 0)
    out = core.explain_batch(rust, np.array([w, 0, w], dtype=np.uint32))
    assert out == [(2, 9), (), (2, 9)]
    assert out[0] is out[2]


def test_non_uint32_input_is_converted_and_garbage_is_refused(rust):
    assert core.is_tainted_batch([0, 0x20000000]).tolist() == [False, True]
    with pytest.raises(TypeError, match="Argument 'tracker' has incorrect type"):
        core.combine_batch(object(), np.zeros(1, np.uint32), np.zeros(1, np.uint32), 1)


PASSED = object()
HOOK_CASES = {
    # check's answer, gate, call -> (result, calls seen in order)
    "passed on": (lambda self, k, v=0: PASSED, None, (1,), {"v": 2}, ("m", 1, 2), ["check", "m"]),
    "replaced key, then after": (lambda self, k, v=0: (k * 10, lambda s: s.log.append("after")),
                                 None, (1,), {"v": 2}, ("m", 10, 2), ["check", "m", "after"]),
    "gate keeps check out": (lambda self, k, v=0: 1 / 0, str, (1,), {}, ("m", 1, 0), ["m"]),
    "gate lets check in": (lambda self, k, v=0: PASSED, int, (1,), {}, ("m", 1, 0), ["check", "m"]),
    "check raises": (lambda self, k, v=0: 1 / 0, None, (1,), {}, ZeroDivisionError, ["check"]),
    "a bad answer": (lambda self, k, v=0: "neither", None, (1,), {}, TypeError, ["check"]),
}


@pytest.mark.parametrize("case", HOOK_CASES)
def test_a_method_hook_hands_the_call_on_as_its_check_answers(case):
    check, gate, args, kwargs, expected, seen = HOOK_CASES[case]

    class Host:
        def __init__(self):
            self.log = []

        def m(self, k, v=0):
            self.log.append("m")
            return ("m", k, v)

    def logged(self, *a, **kw):
        self.log.append("check")
        return check(self, *a, **kw)

    Host.m = core.method_hook(logged, Host.m, PASSED, gate)
    host = Host()
    if isinstance(expected, type):
        with pytest.raises(expected):
            host.m(*args, **kwargs)
    else:
        assert host.m(*args, **kwargs) == expected
    assert host.log == seen
    assert Host.m.__name__ == "m" and Host.m.__wrapped__(host, 3) == ("m", 3, 0)
