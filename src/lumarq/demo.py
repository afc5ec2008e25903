"""The demo: provenance words of a small synthetic loan table, encoded, combined and explained."""
from __future__ import annotations

import argparse

import numpy as np


def run_demo(args: argparse.Namespace) -> int:
    from lumarq._vantor32 import combine_batch, encode_source_column
    from lumarq.utilities.vantor32 import OpCode, ProvenanceTracker

    rows = max(int(args.rows), 1)
    tracker = ProvenanceTracker()
    income = tracker.register("loans", "income")
    age = tracker.register("loans", "age", protected=True)
    rng = np.random.default_rng(2024)
    entities = rng.integers(0, 256, rows, dtype=np.uint32)

    income_prov = encode_source_column(tracker._rust, income, entities, tracker.is_protected("loans", "income"))
    age_prov = encode_source_column(tracker._rust, age, entities, tracker.is_protected("loans", "age"))
    # income / age, then a unary clean-up step on the result.
    ratio_prov = combine_batch(tracker._rust, income_prov, age_prov, OpCode.DIV)
    cleaned = tracker.update_chain(int(ratio_prov[0]), OpCode.FILL)

    print(f"lumarq demo: {rows:,} rows, sources loans.income and loans.age (protected)\n")
    for label, value in [("income, row 0", int(income_prov[0])), ("age, row 0", int(age_prov[0])),
                         ("income / age, row 0", int(ratio_prov[0])), ("fillna(income / age)", cleaned)]:
        full = tracker.explain_full(value)
        sources = ", ".join(f"{t}.{c}" for t, c in full["pairs"])
        print(f"{label:22} {full['provenance_hex']}  mode {full['mode']:8} depth {full['depth']}  "
              f"taint {str(full['taint']):5}  risk {full['risk']:.3f}  <- {sources}")
    print(f"\nDerived values use a protected attribute: {tracker.has_protected(cleaned)}")
    print(f"Tracker: {tracker.stats()}")
    return 0
