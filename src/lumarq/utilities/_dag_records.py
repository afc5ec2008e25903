"""The rarely run code of the native graph records (DAGNode, DAGEdge, ComputationDAG): their
repr and the messages of constructor calls that do not fit. Construction itself and field access
stay native."""
from __future__ import annotations

import reprlib
from typing import Any, Dict, Optional, Sequence, Tuple


def finish_type(m: Any, cls: Any, name: str) -> None:
    """Gives a native record class its data class metadata and repr."""
    from lumarq.utilities._module_init import dataclass_metadata

    dataclass_metadata(m, cls, name)
    names = tuple(cls.__dataclass_fields__)
    # The native __reduce__ reads the fields without materialising lazily held ones; a subclass
    # that overrides __reduce__ still shows its fields.
    reduce = cls.__reduce__

    @reprlib.recursive_repr("...")
    def __repr__(self: Any) -> str:
        values = reduce(self)[1]
        fields = ", ".join("%s=%r" % (field, value) for field, value in zip(names, values))
        return "%s(%s)" % (type(self).__qualname__, fields)

    __repr__.__qualname__ = "%s.__repr__" % name
    cls.__repr__ = __repr__


def _field_index(key: Any, fields: Sequence[str]) -> int:
    if isinstance(key, str):
        for i, field in enumerate(fields):
            if str.__eq__(key, field) is True:
                return i
    return -1


def init_error(name: str, fields: Tuple[str, ...], required: int, args: Tuple[Any, ...],
               kwargs: Optional[Dict[Any, Any]]) -> str:
    """The TypeError text of `name(*args, **kwargs)` that the generated constructor of a data
    class with `fields` (the first `required` without defaults) would give."""
    n, npos = len(fields), len(args)
    if npos > n:
        if required == n:
            return "%s.__init__() takes %d positional arguments but %d were given" % (
                name, n + 1, npos + 1)
        return "%s.__init__() takes from %d to %d positional arguments but %d were given" % (
            name, required + 1, n + 1, npos + 1)
    given = [i < npos for i in range(n)]
    for key in kwargs or {}:
        index = _field_index(key, fields)
        if index < 0:
            if not isinstance(key, str):
                return "%s.__init__() keywords must be strings" % name
            return "%s.__init__() got an unexpected keyword argument '%s'" % (
                name, str.__str__(key))
        if given[index]:
            return "%s.__init__() got multiple values for argument '%s'" % (name, fields[index])
        given[index] = True
    missing = ["'%s'" % fields[i] for i in range(required) if not given[i]]
    if len(missing) == 1:
        names = missing[0]
    else:
        sep = ", " if len(missing) > 2 else " "
        names = sep.join(missing[:-1]) + sep + "and " + missing[-1]
    return "%s.__init__() missing %d required positional argument%s: %s" % (
        name, len(missing), "" if len(missing) == 1 else "s", names)


def node_kwargs_error(key: Any, field: Optional[str]) -> str:
    """The TypeError text of DAGNode(**fixed, **kwargs) for `key` of `kwargs`: not a field (None),
    or repeating the given `field`."""
    if field is None:
        return "DAGNode.__init__() got an unexpected keyword argument '%s'" % (key,)
    return ("lumarq.utilities.vantor32_dag.DAGNode() got multiple values for keyword argument "
            "'%s'" % field)
