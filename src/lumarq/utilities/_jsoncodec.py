"""The bodies of lumarq.utilities.jsoncodec's dumps and loads, for both branches. The module's
native functions keep their signatures and call these with the module itself: `orjson`, `json`,
`_NumpyEncoder` and the rest are read from it at each call, so a name deleted from the module
raises NameError, as in any function of it."""

from __future__ import annotations

_MISSING = object()


def _global(module, name):
    value = vars(module).get(name, _MISSING)
    if value is _MISSING:
        raise NameError(f"name '{name}' is not defined")
    return value


# ---------------------------------------------------------------- orjson branch

def orjson_dumps(module, obj, default, indent, sort_keys):
    orjson = _global(module, "orjson")
    opts = _global(module, "_NUMPY_OPT")
    if indent:
        opts = opts | orjson.OPT_INDENT_2
    if sort_keys:
        opts = opts | orjson.OPT_SORT_KEYS
    if default is None:
        raw = orjson.dumps(obj, option=opts)
    else:
        raw = orjson.dumps(obj, default=default, option=opts)
    return raw.decode("utf-8")


def orjson_loads(module, s):
    return _global(module, "orjson").loads(s)


def bind_orjson(module, orjson):
    module.orjson = orjson
    module._NUMPY_OPT = orjson.OPT_SERIALIZE_NUMPY
    return orjson_dumps, orjson_loads


# ---------------------------------------------------------------- standard branch

def _numpy_default(module, encoder, o):
    json_encoder = _global(module, "json").JSONEncoder
    try:
        import numpy
    except ImportError:
        return json_encoder.default(encoder, o)
    if isinstance(o, numpy.integer):
        return int(o)
    if isinstance(o, numpy.floating):
        return float(o)
    if isinstance(o, numpy.bool_):
        return bool(o)
    if isinstance(o, numpy.ndarray):
        return o.tolist()
    if isinstance(o, _global(module, "date")) or isinstance(o, _global(module, "datetime")):
        return o.isoformat()
    return json_encoder.default(encoder, o)


def standard_dumps(module, obj, default, indent, sort_keys):
    json = _global(module, "json")
    encoder = _global(module, "_NumpyEncoder")
    if default is not None:
        # A fresh subclass per call: numpy and date conversions first, the caller's default for
        # whatever they refuse.
        base = encoder

        def combined(self, o):
            try:
                return base.default(self, o)
            except TypeError:
                pass
            return default(o)

        combined.__name__ = combined.__qualname__ = "default"
        encoder = type("_Combined", (base,), {"default": combined,
                                               "__module__": "lumarq.utilities.jsoncodec",
                                               "__qualname__": "_Combined"})
    return json.dumps(obj, cls=encoder, indent=indent, sort_keys=sort_keys)


def standard_loads(module, s):
    return _global(module, "json").loads(s)


def bind_standard(module):
    import datetime
    import json

    module.json = json
    module.date, module.datetime = datetime.date, datetime.datetime

    def default(self, o):
        return _numpy_default(module, self, o)

    default.__module__, default.__qualname__ = module.__name__, "_NumpyEncoder.default"

    module._NumpyEncoder = type("_NumpyEncoder", (json.JSONEncoder,), {
        "__doc__": "JSON encoder that handles numpy types for the stdlib fallback.",
        "default": default, "__module__": module.__name__, "__qualname__": "_NumpyEncoder"})
    return standard_dumps, standard_loads
