"""
JSON dumps/loads over orjson when available, else the standard json module.
"""



from typing import Any, Callable, Optional, Union

def indented(obj: Any, indent: int = 2) -> Optional[str]:
    """The text `json.dumps(obj, indent=indent)` gives, written natively; None when `obj` holds anything but plain dicts, lists, tuples, strs, ints, floats, bools and None (or a cycle, or deep nesting)."""

def dumps(obj: Any, default: Optional[Callable[[Any], Any]] = None, indent: Optional[Union[int, str]] = None, sort_keys: bool = False) -> str:
    """Serialise `obj` to JSON text (numpy scalars and arrays and dates included)."""

def loads(s: Union[str, bytes]) -> Any:
    """Parse JSON text."""

BACKEND: str
"""Which JSON library is active: "orjson" or "json"."""
