import operator
import pickle

import numpy as np
import pandas as pd
import pytest

from support import PANDAS_3, depth, source_words
from lumarq.utilities import vantor32 as v
from lumarq.utilities.vantor32 import OpCode, TrackedSeries


def pair(tracker, rows=4, values=None, entities=None):
    """Two tracked series over one table: `a` plain, `b` protected."""
    a_vals = np.arange(1.0, rows + 1) if values is None else values[0]
    b_vals = np.arange(10.0, 10 + rows) if values is None else values[1]
    a = TrackedSeries(a_vals, _prov=source_words(tracker, "t", "a", rows, entities=entities),
                      _tracker=tracker)
    b = TrackedSeries(b_vals, _prov=source_words(tracker, "t", "b", rows, True, entities),
                      _tracker=tracker)
    return a, b


def test_class_protocol():
    assert TrackedSeries.__module__ == "lumarq.utilities.vantor32"
    assert TrackedSeries.__qualname__ == "TrackedSeries"
    assert TrackedSeries.__doc__ == "Pandas Series with VANTOR-32 provenance (taint + depth aware)."
    assert TrackedSeries._metadata == ["_prov", "_tracker"]
    assert issubclass(TrackedSeries, pd.Series)
    s = TrackedSeries([1, 2])
    assert s._constructor is TrackedSeries
    assert TrackedSeries._binop.__doc__.endswith("Binary operation with taint/depth propagation.")
    assert TrackedSeries._unop.__doc__.endswith("Unary operation with depth increment.")


def test_construction_defaults_and_given_prov(tracker):
    s = TrackedSeries([1, 2, 3])
    assert s._prov.dtype == np.uint32 and s._prov.tolist() == [0, 0, 0]
    assert s._tracker is None
    given = np.array([5, 6], dtype=np.int64)  # stored as given: no copy, check or conversion
    t = TrackedSeries([1.0, 2.0], index=["x", "y"], name="n", _prov=given, _tracker=tracker)
    assert t._prov is given and t._tracker is tracker
    assert list(t.index) == ["x", "y"] and t.name == "n"


def test_derived_objects_keep_metadata(tracker):
    a, _ = pair(tracker)
    clone = pickle.loads(pickle.dumps(TrackedSeries([1.0, 2.0], _prov=np.array([7, 8], np.uint32))))
    assert isinstance(clone, TrackedSeries) and clone._prov.tolist() == [7, 8]
    head = a.head(2)  # built by pandas through _constructor, then __finalize__
    assert isinstance(head, TrackedSeries) and head._tracker is tracker


BINARY = [
    ("__add__", np.add, OpCode.ADD),
    ("__sub__", np.subtract, OpCode.SUB),
    ("__mul__", np.multiply, OpCode.MUL),
    ("__truediv__", np.true_divide, OpCode.DIV),
    ("__floordiv__", np.floor_divide, OpCode.DIV),
    ("__pow__", np.power, OpCode.MUL),
    ("__radd__", lambda a, b: np.add(b, a), OpCode.ADD),
    ("__rsub__", lambda a, b: np.subtract(b, a), OpCode.SUB),
    ("__rmul__", lambda a, b: np.multiply(b, a), OpCode.MUL),
    ("__rtruediv__", lambda a, b: np.true_divide(b, a), OpCode.DIV),
    ("__gt__", operator.gt, OpCode.CMP),
    ("__lt__", operator.lt, OpCode.CMP),
    ("__ge__", operator.ge, OpCode.CMP),
    ("__le__", operator.le, OpCode.CMP),
]


@pytest.mark.parametrize("method,fn,code", BINARY, ids=[b[0] for b in BINARY])
def test_binary_operators_on_two_tracked_series(tracker, method, fn, code):
    a, b = pair(tracker, values=(np.array([1.0, 5.0, 3.0, 8.0]), np.array([2.0, 5.0, 1.0, 4.0])))
    result = getattr(a, method)(b)
    assert type(result) is TrackedSeries and result._tracker is tracker
    np.testing.assert_array_equal(result.to_numpy(), fn(a.to_numpy(), b.to_numpy()))
    expected = np.asarray(v.combine_batch(tracker._rust, a._prov, b._prov, code), np.uint32)
    np.testing.assert_array_equal(result._prov, expected)
    assert result._prov.dtype == np.uint32
    assert all(depth(p) == 1 for p in result._prov)
    assert tracker.has_protected(int(result._prov[0]))
    assert (result.dtype == bool) == (code == OpCode.CMP)


# The rest of the operator table, on integer rows (the bitwise operators refuse floats).
BINARY_INT = [
    ("__eq__", operator.eq, OpCode.CMP),
    ("__ne__", operator.ne, OpCode.CMP),
    ("__mod__", np.mod, OpCode.DIV),
    ("__rmod__", lambda a, b: np.mod(b, a), OpCode.DIV),
    ("__rfloordiv__", lambda a, b: np.floor_divide(b, a), OpCode.DIV),
    ("__rpow__", lambda a, b: np.power(b, a), OpCode.MUL),
    ("__and__", operator.and_, OpCode.CMP),
    ("__or__", operator.or_, OpCode.CMP),
    ("__xor__", operator.xor, OpCode.CMP),
    ("__rand__", lambda a, b: b & a, OpCode.CMP),
    ("__ror__", lambda a, b: b | a, OpCode.CMP),
    ("__rxor__", lambda a, b: b ^ a, OpCode.CMP),
]


@pytest.mark.parametrize("method,fn,code", BINARY_INT, ids=[b[0] for b in BINARY_INT])
def test_integer_operators_on_two_tracked_series(tracker, method, fn, code):
    a, b = pair(tracker, values=(np.array([6, 5, 3, 8]), np.array([2, 7, 1, 4])))
    result = getattr(a, method)(b)
    assert type(result) is TrackedSeries
    np.testing.assert_array_equal(result.to_numpy(), fn(a.to_numpy(), b.to_numpy()))
    expected = np.asarray(v.combine_batch(tracker._rust, a._prov, b._prov, code), np.uint32)
    np.testing.assert_array_equal(result._prov, expected)


@pytest.mark.parametrize("make_other", [
    lambda n: 2.0,
    lambda n: [2.0] * n,
    lambda n: np.full(n, 2.0),
    lambda n: pd.Series(np.full(n, 2.0), index=range(100, 100 + n)),
], ids=["scalar", "list", "ndarray", "plain Series"])
@pytest.mark.parametrize("method", ["__add__", "__sub__", "__mul__", "__rsub__", "__gt__"])
def test_untracked_operand_copies_provenance_unchanged(tracker, make_other, method):
    a, _ = pair(tracker)
    result = getattr(a, method)(make_other(len(a)))
    assert result._prov is not a._prov
    np.testing.assert_array_equal(result._prov, a._prov)  # no depth step, no chain update
    assert result.index.equals(a.index)


@pytest.mark.parametrize("expr,expected", [
    (lambda s: 5 - s, [4.0, 3.0, 2.0]),
    (lambda s: [10, 20, 30] - s, [9.0, 18.0, 27.0]),
    (lambda s: np.array([2.0, 2.0, 2.0]) / s, [2.0, 1.0, 2.0 / 3.0]),
    (lambda s: pd.Series([1.0, 1.0, 1.0], index=[7, 8, 9]) + s, [2.0, 3.0, 4.0]),
    (lambda s: 3 * s, [3.0, 6.0, 9.0]),
])
def test_reflected_operators_swap_operands_and_align_by_position(tracker, expr, expected):
    s = TrackedSeries([1.0, 2.0, 3.0], _prov=source_words(tracker, "t", "a", 3), _tracker=tracker)
    result = expr(s)
    assert isinstance(result, TrackedSeries)
    np.testing.assert_allclose(result.to_numpy(), expected)
    np.testing.assert_array_equal(result._prov, s._prov)
    assert list(result.index) == [0, 1, 2]


def test_alignment_is_positional_and_names_are_dropped(tracker):
    a, b = pair(tracker, rows=3)
    a.index = ["x", "y", "z"]
    a.name = "left"
    b.index = [10, 11, 12]
    result = a + b
    assert list(result.index) == ["x", "y", "z"]
    assert result.tolist() == [11.0, 13.0, 15.0]
    assert result.name is None


def test_left_operand_tracker_decides(tracker):
    a, b = pair(tracker)
    untracked_left = TrackedSeries(a.to_numpy(), _prov=a._prov)
    result = untracked_left + b
    np.testing.assert_array_equal(result._prov, a._prov)  # b's provenance is ignored
    assert result._tracker is None
    b._tracker = None  # the right operand's tracker is never consulted
    result = a + b
    assert result._tracker is tracker
    np.testing.assert_array_equal(result._prov, v.combine_batch(tracker._rust, a._prov, b._prov, 1))


@pytest.mark.parametrize("call,code", [
    (lambda s: -s, OpCode.NEG),
    (lambda s: s.clip(2, 3), OpCode.CLIP),
    (lambda s: s.clip(lower=2, axis=0), OpCode.CLIP),
])
def test_unary_steps(tracker, call, code):
    a, _ = pair(tracker)
    result = call(a)
    expected = np.asarray(v.update_chain_batch(tracker._rust, a._prov, code), np.uint32)
    np.testing.assert_array_equal(result._prov, expected)
    assert all(depth(p) == 1 for p in result._prov)
    untracked = TrackedSeries(a.to_numpy(), _prov=a._prov)
    np.testing.assert_array_equal(call(untracked)._prov, a._prov)
    assert a.clip(2, 3).tolist() == [2.0, 2.0, 3.0, 3.0] and (-a).tolist() == [-1.0, -2.0, -3.0, -4.0]


def test_fillna_map_replace_step_every_row(tracker):
    s = TrackedSeries([1.0, np.nan, 3.0], index=[5, 6, 7], name="n",
                      _prov=source_words(tracker, "t", "a", 3), _tracker=tracker)
    filled = s.fillna()
    assert filled.tolist() == [1.0, 0.0, 3.0] and list(filled.index) == [5, 6, 7]
    assert filled.name == "n"  # pandas keeps the name
    np.testing.assert_array_equal(filled._prov, v.update_chain_batch(tracker._rust, s._prov, OpCode.FILL))
    mapped = s.map({1.0: 10.0, 3.0: 30.0})
    assert mapped.tolist()[::2] == [10.0, 30.0]
    np.testing.assert_array_equal(mapped._prov, v.update_chain_batch(tracker._rust, s._prov, OpCode.MAP))
    replaced = s.replace(1.0, 2.0)
    assert replaced.tolist()[0] == 2.0
    np.testing.assert_array_equal(replaced._prov, mapped._prov)
    untracked = TrackedSeries([np.nan], _prov=np.array([9], np.uint32))
    assert untracked.fillna(value=4)._prov.tolist() == [9]


@pytest.mark.parametrize("method,args", [("replace", (1.0, 2.0)), ("fillna", (0.0,))])
def test_inplace_rewrites(tracker, method, args):
    s = TrackedSeries([1.0, np.nan], _prov=source_words(tracker, "t", "a", 2), _tracker=tracker)
    before, expected = s._prov, getattr(s, method)(*args)
    result = getattr(s, method)(*args, inplace=True)
    np.testing.assert_array_equal(s.to_numpy(), expected.to_numpy())
    if method == "replace":  # the words stay; pandas 3's returned Series is wrapped
        assert s._prov is before and s._prov.tolist() == before.tolist()
        if PANDAS_3:
            assert isinstance(result, TrackedSeries) and result is not s
            np.testing.assert_array_equal(result.to_numpy(), s.to_numpy())
            assert [depth(p) for p in result._prov] == [1, 1]
        else:
            assert result is None
        return
    # fillna: the words the returned result would have, and pandas' own return value
    assert s._prov.tolist() == expected._prov.tolist() and [depth(p) for p in s._prov] == [1, 1]
    assert result is (s if PANDAS_3 else None)


def test_binop_argument_conversion(tracker):
    a, b = pair(tracker)
    np.testing.assert_array_equal(a._binop(b, np.add, np.int64(OpCode.SUB))._prov, (a - b)._prov)
    np.testing.assert_array_equal(a._binop(b, np.add)._prov, (a + b)._prov)
    with pytest.raises(TypeError, match=r"^Argument 'op_code' has incorrect type \(expected int, got str\)$"):
        a._binop(b, np.add, "2")
    with pytest.raises(TypeError, match=r"^Argument 'op_code' has incorrect type \(expected int, got NoneType\)$"):
        a._unop(np.negative, None)


def test_length_mismatch_fails_in_numpy_first(tracker):
    a, _ = pair(tracker, rows=4)
    short = TrackedSeries([1.0, 2.0], _prov=source_words(tracker, "t", "c", 2), _tracker=tracker)
    before = a._prov.copy()
    with pytest.raises(ValueError, match="operands differ in length: 4 and 2"):
        a + short
    np.testing.assert_array_equal(a._prov, before)
    # equal values but a shorter provenance array: the backend's length check decides
    same_len = TrackedSeries(np.ones(4), _prov=short._prov, _tracker=tracker)
    with pytest.raises(ValueError, match="differ in length"):
        a + same_len
    # large enough for the combine to start before the values fail to broadcast
    big, other = pair(tracker, rows=70_000)
    longer = TrackedSeries(np.ones(70_001), _prov=other._prov, _tracker=tracker)
    with pytest.raises(ValueError, match="operands differ in length: 70000 and 70001"):
        big + longer


def test_subclass_overrides_are_honoured(tracker):
    calls = []

    class Logged(TrackedSeries):
        def _binop(self, other, op, op_code=OpCode.ADD):
            calls.append(("bin", op_code))
            return super()._binop(other, op, op_code)

        def _unop(self, op, op_code):
            calls.append(("un", op_code))
            return super()._unop(op, op_code)

    a, b = pair(tracker)
    s = Logged(a.to_numpy(), _prov=a._prov, _tracker=tracker)
    result = s - b
    assert type(result) is TrackedSeries  # results are always the base class
    -s
    s.clip(0, 1)
    assert calls == [("bin", OpCode.SUB), ("un", OpCode.NEG), ("un", OpCode.CLIP)]


@pytest.mark.parametrize("rows", [5, 200_000])
def test_replaced_batch_functions_are_looked_up_per_call(tracker, monkeypatch, rows):
    a, b = pair(tracker, rows=rows)
    seen = []
    real_combine, real_update = v.combine_batch, v.update_chain_batch

    def combine(rust, x, y, op):
        seen.append(("combine", op, len(x)))
        return real_combine(rust, x, y, op)

    def update(rust, x, op):
        seen.append(("update", op, len(x)))
        return real_update(rust, x, op).tolist()  # any array-like will do

    monkeypatch.setattr(v, "combine_batch", combine)
    monkeypatch.setattr(v, "update_chain_batch", update)
    summed = a * b
    negated = -a
    assert seen == [("combine", OpCode.MUL, rows), ("update", OpCode.NEG, rows)]
    assert negated._prov.dtype == np.uint32
    monkeypatch.undo()
    np.testing.assert_array_equal(summed._prov, (a * b)._prov)


def test_large_series_match_the_scalar_algebra(tracker):
    """Large operands take the multi-threaded path; derived words take its ordered slow path."""
    rows = 300_000
    rng = np.random.default_rng(3)
    ent = rng.integers(0, 256, rows)
    a, b = pair(tracker, rows=rows, entities=ent)
    c = TrackedSeries(np.ones(rows), _prov=source_words(tracker, "u", "c", rows, entities=ent[::-1]),
                      _tracker=tracker)
    d = TrackedSeries(np.ones(rows), _prov=source_words(tracker, "u", "d", rows), _tracker=tracker)
    # mixed chunks: two-pair words in the first half, single-pair words in the second
    mixed = np.concatenate([(a + b)._prov[: rows // 2], c._prov[rows // 2:]])
    m = TrackedSeries(np.ones(rows), _prov=mixed, _tracker=tracker)
    for left, right in [(a, b), (m, c), (a + b, c + d)]:  # 2, then 3, then 4 (dense) pairs
        result = left + right
        pick = rng.integers(0, rows, 400).tolist() + [0, rows - 1, rows // 2 - 1, rows // 2]
        for i in pick:
            assert int(result._prov[i]) == tracker.combine(int(left._prov[i]), int(right._prov[i]), 1)
    dense = (a + b) + (c + d)
    assert tracker.get_mode(int(dense._prov[0])) == "DENSE"
    assert tracker.decode(int(dense._prov[0])) == {0, 1, 2, 3}


def test_read_only_inputs_are_accepted_and_left_alone(tracker):
    a, b = pair(tracker, rows=100_000)
    for arr in (a._prov, b._prov):
        arr.flags.writeable = False
    before = a._prov.copy()
    result = a + b
    -a
    np.testing.assert_array_equal(a._prov, before)
    assert result._prov.flags.writeable and (a + 1)._prov.flags.writeable


def test_empty_series(tracker):
    a = TrackedSeries([], dtype=float, _prov=np.zeros(0, np.uint32), _tracker=tracker)
    assert len(a + a) == 0 and (a + a)._prov.dtype == np.uint32
    assert len((-a)._prov) == 0


@pytest.mark.parametrize("rows", [10, 100_000])
def test_invalid_words_raise_like_the_backend(tracker, rows):
    a, b = pair(tracker, rows=rows)
    bad = b._prov.copy()
    bad[-2] = 0x0FFF0000  # pair data beyond 512
    with pytest.raises(ValueError) as direct:
        v.combine_batch(tracker._rust, a._prov, bad, OpCode.ADD)
    with pytest.raises(ValueError) as via_series:
        a + TrackedSeries(b.to_numpy(), _prov=bad, _tracker=tracker)
    assert str(via_series.value) == str(direct.value) == (
        "invalid provenance value 0x0FFF0000: pair data out of range")
