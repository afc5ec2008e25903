"""The Python examples of the README and docs/ run as written, in order, and give the values
their text states. Names an example takes from its surroundings come from PRELUDES; examples
that talk to a running service are left out."""
import os
import re

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

_DEMO = """
from lumarq.demo import make_applications, make_regions, run_pipeline, Progress
from lumarq.utilities.vantor32_dag import DAGTracker as _T
scored = run_pipeline(_T(), make_applications(10_000), make_regions(), Progress(5))
"""

PRELUDES = {
    "README.md": _DEMO,
    "docs/concepts.md": """
import pandas as pd
from lumarq.utilities.vantor32 import ProvenanceTracker, wrap_dataframe
frame = wrap_dataframe(pd.DataFrame({"a": [1.0, 2.0]}), ProvenanceTracker(), "t", protected=["a"])
series = frame["a"]
""",
    "docs/dtype.md": """
import pandas as pd
raw = pd.DataFrame({"client": [1, 2, 3], "amount": [900.0, 300.0, 700.0], "age": [30, 50, 70]})
other = pd.DataFrame({"client": [1, 2, 3], "region": ["n", "s", "n"]})
""",
    "docs/fairness.md": _DEMO + "df = scored\n",
    "docs/lineage.md": "",
}

# What the text around each example says its names hold.
STATED = {
    "README.md": [
        ('audit["columns"], audit["taint"], audit["depth"]',
         ([("loans", "income"), ("loans", "debt"), ("loans", "age")], True, 3)),
        ('audit["dag"]["protected_sources"]', [("loans", "age")]),
        ('by_region["score"].round(6).tolist()', [1.552097, 0.735714]),
        ('by_region.prov.risk_report()[0]["risk_level"]', "MEDIUM"),
        ('report["four_fifths_violations"]', ["age"]),
        ('round(report["attributes"]["age"]["disparate_impact"]["lowest_ratio"], 3)', 0.693),
        ('report["attributes"]["gender"]["provenance"]["status"]', "registered but never used"),
    ],
    "docs/fairness.md": [
        ('report["four_fifths_violations"]', ["age"]),
        ('[g["size"] for g in report["attributes"]["age"]["groups"]]', [2456, 2492, 2470, 2582]),
        ('round(report["attributes"]["age"]["demographic_parity_difference"], 3)', 0.135),
        ('report["attributes"]["age"]["provenance"]["status"]', "reaches the outcome"),
    ],
    "docs/lineage.md": [
        ('tracker.to_prov()["entity"]["lumarq:value-4"]["lumarq:word"]', "0xA8000000"),
    ],
}


def python_blocks(doc):
    with open(os.path.join(ROOT, doc)) as f:
        return re.findall(r"```python\n(.*?)```", f.read(), re.S)


@pytest.mark.parametrize("doc", list(PRELUDES))
def test_examples_run_in_order_and_give_what_the_text_says(doc, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # examples write their databases into the working directory
    namespace = {"__name__": "__doc_example__"}
    exec(PRELUDES[doc], namespace)
    blocks = [b for b in python_blocks(doc) if 'service_url="http' not in b]
    assert blocks
    for i, block in enumerate(blocks):
        try:
            exec(compile(block, "%s example %d" % (doc, i), "exec"), namespace)
        except Exception as exc:  # name the example: the traceback points into a string
            pytest.fail("%s, example %d: %s: %s" % (doc, i, type(exc).__name__, exc))
    for expression, expected in STATED.get(doc, []):
        assert eval(expression, namespace) == expected, expression
