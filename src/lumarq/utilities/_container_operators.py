"""The binary operators of the tracked Series classes, read once when the classes are built.

Each row names the operator method, the function that computes the values, whether that
function is called with the operands swapped, the operation's name (the text of its DAG node)
and the OpCode member whose value goes into the provenance chain. `+` is built under the names
of _tracked_glue.POSITIONAL_ADD: the classes' own `__add__`/`__radd__` call them, except from
pandas' window code, which needs pandas' alignment by label."""
from __future__ import annotations

from typing import Any, Callable, List, Tuple

from lumarq.utilities import _tracked_glue as glue

Row = Tuple[str, Callable[[Any, Any], Any], bool, str, str]


def binary_operators() -> List[Row]:
    """(method, fn, reflected, name, opcode member) per operator; a reflected fn is called as
    fn(other, self). Values are computed as plain pandas does where numpy differs (dates and
    durations against pandas scalars, division by zero)."""
    return [
        (glue.POSITIONAL_ADD["__add__"], glue.add, False, "add", "ADD"),
        ("__sub__", glue.sub, False, "sub", "SUB"),
        ("__mul__", glue.mul, False, "mul", "MUL"),
        ("__truediv__", glue.truediv, False, "div", "DIV"),
        ("__floordiv__", glue.floordiv, False, "floordiv", "DIV"),
        ("__pow__", glue.pow_, False, "pow", "MUL"),
        (glue.POSITIONAL_ADD["__radd__"], glue.radd, False, "add", "ADD"),
        ("__rsub__", glue.rsub, False, "sub", "SUB"),
        ("__rmul__", glue.rmul, False, "mul", "MUL"),
        ("__rtruediv__", glue.rtruediv, False, "div", "DIV"),
        ("__gt__", glue.gt, False, "gt", "CMP"),
        ("__lt__", glue.lt, False, "lt", "CMP"),
        ("__ge__", glue.ge, False, "ge", "CMP"),
        ("__le__", glue.le, False, "le", "CMP"),
        # Overridden so that the right operand's provenance (and node) is never dropped: pandas'
        # own operators keep only one side's metadata.
        ("__eq__", glue.eq, False, "eq", "CMP"),
        ("__ne__", glue.ne, False, "ne", "CMP"),
        ("__mod__", glue.mod, False, "mod", "DIV"),
        ("__rmod__", glue.rmod, False, "mod", "DIV"),
        ("__rfloordiv__", glue.rfloordiv, False, "floordiv", "DIV"),
        ("__rpow__", glue.rpow, False, "pow", "MUL"),
        ("__and__", glue.and_, False, "and", "CMP"),
        ("__or__", glue.or_, False, "or", "CMP"),
        ("__xor__", glue.xor, False, "xor", "CMP"),
        ("__rand__", glue.rand_, False, "and", "CMP"),
        ("__ror__", glue.ror_, False, "or", "CMP"),
        ("__rxor__", glue.rxor, False, "xor", "CMP"),
    ]
