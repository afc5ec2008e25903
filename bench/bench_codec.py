"""Batch kernels of the backend core against numpy's memory-bound floor (bitwise_xor)."""
from __future__ import annotations

import numpy as np

from _timing import Result, median_seconds, per_item

DEFAULT_ROWS = 10_000_000


def run(rows: int | None = None, repeat: int = 5) -> list[Result]:
    from lumarq._vantor32 import combine_batch, encode_source_column, update_chain_batch
    from lumarq.utilities.vantor32 import OpCode, ProvenanceTracker

    n = rows or DEFAULT_ROWS
    tracker = ProvenanceTracker()
    income = tracker.register("loans", "income")
    age = tracker.register("loans", "age", True)
    rng = np.random.default_rng(7)
    entities = rng.integers(0, 256, n, dtype=np.uint32)
    a = encode_source_column(tracker._rust, income, entities, False)
    b = encode_source_column(tracker._rust, age, entities[::-1].copy(), True)

    floor = median_seconds(lambda: np.bitwise_xor(a, b), repeat)
    results = []
    for name, fn in [
        ("combine_batch (2 single-pair columns)", lambda: combine_batch(tracker._rust, a, b, OpCode.ADD)),
        ("update_chain_batch", lambda: update_chain_batch(tracker._rust, a, OpCode.FILL)),
        ("encode_source_column", lambda: encode_source_column(tracker._rust, income, entities, False)),
    ]:
        t = median_seconds(fn, repeat)
        results.append(Result(
            name=f"{name}, {n:,} values", median_s=t, per_item=per_item(t, n, "value"),
            baseline="numpy.bitwise_xor", baseline_s=floor,
            target="ratio <= 3" if name.startswith("combine") else None))
    return results
