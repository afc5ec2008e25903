"""Module bootstrap (backend missing) and both branches of the JSON codec."""
import datetime
import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from lumarq.utilities import jsoncodec

MESSAGE = ("VANTOR-32 Rust extension not found. Build it with: python tools/build_rust.py\n"
           "For the pure Python fallback, install from the python-vantor32-pure branch.")


def run_python(code: str) -> str:
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}, check=True)
    return out.stdout


def test_missing_backend_raises_the_fixed_import_error_with_context():
    out = run_python("""
        import json, sys
        sys.modules["lumarq._vantor32"] = None   # as if the backend were not built
        try:
            import lumarq.utilities.vantor32
        except ImportError as e:
            print(json.dumps([str(e), type(e).__name__, type(e.__context__).__name__,
                              e.__cause__ is None, e.__suppress_context__]))
    """)
    assert json.loads(out) == [MESSAGE, "ImportError", "ModuleNotFoundError", True, False]


def test_build_script_named_in_the_message_exists_and_runs():
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    script = os.path.join(root, "tools", "build_rust.py")
    if not os.path.exists(script):
        pytest.skip("installed without the source tree")
    out = subprocess.run([sys.executable, script, "--help"], capture_output=True, text=True, check=True)
    assert "in place" in out.stdout


STANDARD = "standard"
ORJSON = "orjson"


def codec_in(branch: str):
    """Runs the checks below in a subprocess where the chosen branch is active."""
    hide = "import sys; sys.modules['orjson'] = None\n" if branch == STANDARD else ""
    return hide


@pytest.mark.parametrize("branch", [STANDARD, ORJSON])
def test_codec_branches(branch):
    if branch == ORJSON:
        pytest.importorskip("orjson")
    out = run_python(codec_in(branch) + """
import datetime, json, numpy as np
from lumarq.utilities import jsoncodec as j
r = {}
r["backend"] = j.BACKEND
r["sorted"] = j.dumps({"b": 1, "a": 2}, sort_keys=True)
r["numpy"] = j.loads(j.dumps({"i": np.int64(5), "f": np.float64(0.5), "b": np.bool_(True),
                              "arr": np.arange(4).reshape(2, 2)}))
r["indent4"] = j.dumps({"a": 1}, indent=4)
r["indent0"] = j.dumps({"a": 1}, indent=0)
r["flat"] = j.dumps({"a": 1})
r["default"] = j.loads(j.dumps({"o": object(), "d": datetime.date(2024, 1, 31), "n": np.int32(3)},
                               default=lambda o: "custom"))
r["bytes"] = j.loads(b'{"x": [1, 2]}') if j.BACKEND == "orjson" else None
try:
    j.dumps(object())
    r["error"] = None
except Exception as e:
    r["error"] = "TypeError" if isinstance(e, TypeError) else type(e).__name__
print(json.dumps(r))
""")
    r = json.loads(out)
    assert r["backend"] == ("json" if branch == STANDARD else "orjson")
    assert json.loads(r["sorted"]) == {"a": 2, "b": 1} and r["sorted"].index('"a"') < r["sorted"].index('"b"')
    assert r["numpy"] == {"i": 5, "f": 0.5, "b": True, "arr": [[0, 1], [2, 3]]}
    assert "\n" not in r["flat"]
    if branch == STANDARD:
        assert r["indent4"] == '{\n    "a": 1\n}'
        assert r["indent0"] == '{\n"a": 1\n}'
        assert r["default"] == {"o": "custom", "d": "2024-01-31", "n": 3}
        assert r["error"] == "TypeError"
    else:
        assert r["indent4"] == '{\n  "a": 1\n}'
        assert r["indent0"] == '{"a":1}'
        assert r["default"] == {"o": "custom", "d": "2024-01-31", "n": 3}
        assert r["bytes"] == {"x": [1, 2]}
        assert r["error"] == "TypeError"


def test_standard_encoder_class_and_argument_forms():
    out = run_python(codec_in(STANDARD) + """
import datetime, json
from lumarq.utilities import jsoncodec as j
enc = j._NumpyEncoder
print(json.dumps([enc.__doc__, [c.__name__ for c in enc.__mro__[:2]], j.dumps({"a": 1}, None, 2, True),
                  j.dumps(datetime.datetime(2024, 1, 31, 12, 0))]))
""")
    doc, mro, positional, dt = json.loads(out)
    assert doc == "JSON encoder that handles numpy types for the stdlib fallback."
    assert mro == ["_NumpyEncoder", "JSONEncoder"]
    assert positional == '{\n  "a": 1\n}'
    assert dt == '"2024-01-31T12:00:00"'


def test_arity_is_checked():
    with pytest.raises(TypeError):
        jsoncodec.dumps()
    with pytest.raises(TypeError):
        jsoncodec.dumps({}, None, None, False, "extra")
    assert jsoncodec.loads(jsoncodec.dumps([1, np.int8(2)])) == [1, 2]


class Text(str):
    pass


@pytest.mark.parametrize("value, plain", [
    ({"a": [1, 2.5, None, True], "é😀\x7f": {"": [], 3: {}}, "t": (1, ("x",))}, True),
    ([float("nan"), -0.0, 1e300 * 10, 2 ** 80], True),
    ({Text("k"): 1}, False), ([np.int64(1)], False), ({"s": {1}}, False), ({(1, 2): 3}, False),
], ids=["nested", "numbers", "str-subclass", "numpy", "set", "tuple-key"])
@pytest.mark.parametrize("indent", [2, 0])
def test_indented_gives_the_text_of_json_dumps_or_none(value, plain, indent):
    text = jsoncodec.indented(value, indent)
    if plain:
        assert text == json.dumps(value, indent=indent)
    else:
        assert text is None
