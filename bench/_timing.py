"""Timing helpers shared by the benchmark modules."""
from __future__ import annotations

import gc
import statistics
import time
from dataclasses import dataclass, field
from typing import Callable, Optional


def median_seconds(fn: Callable[[], object], repeat: int = 5, warmup: int = 1,
                   setup: Optional[Callable[[], object]] = None) -> float:
    """Median wall time of `fn()` over `repeat` runs (after `warmup` untimed runs).

    `setup`, when given, runs untimed before every call. The collector is paused while timing
    so that a collection triggered by earlier garbage does not land in one sample.
    """
    for _ in range(warmup):
        if setup:
            setup()
        fn()
    samples = []
    for _ in range(repeat):
        if setup:
            setup()
        gc_was_enabled = gc.isenabled()
        gc.disable()
        try:
            t0 = time.perf_counter()
            fn()
            samples.append(time.perf_counter() - t0)
        finally:
            if gc_was_enabled:
                gc.enable()
    return statistics.median(samples)


@dataclass
class Result:
    """One line of the benchmark table."""

    name: str
    median_s: float
    per_item: Optional[str] = None  # e.g. "2.1 ns/value"
    baseline: Optional[str] = None  # what the ratio compares against
    baseline_s: Optional[float] = None
    target: Optional[str] = None  # e.g. "ratio <= 3"
    notes: list[str] = field(default_factory=list)

    @property
    def ratio(self) -> Optional[float]:
        if self.baseline_s:
            return self.median_s / self.baseline_s
        return None


def per_item(seconds: float, count: int, unit: str) -> str:
    """Human form of seconds per item in the most readable unit."""
    each = seconds / max(count, 1)
    if each < 1e-6:
        return f"{each * 1e9:.2f} ns/{unit}"
    if each < 1e-3:
        return f"{each * 1e6:.3f} us/{unit}"
    return f"{each * 1e3:.3f} ms/{unit}"
