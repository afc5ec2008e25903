#!/usr/bin/env python3
"""Run the lumarq benchmarks and print one table of medians and ratios.

    python bench/run.py [--rows N] [--only NAME ...] [--repeat R]

Every module bench/bench_*.py exposes `run(rows: int, repeat: int) -> list[Result]`. Ratios
compare against a baseline timed in the same run on the same data (plain pandas or numpy), so
they stay meaningful on a noisy machine; absolute times are medians.
"""
from __future__ import annotations

import argparse
import importlib
import platform
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from _timing import Result  # noqa: E402


def discover() -> list[str]:
    return sorted(p.stem for p in HERE.glob("bench_*.py"))


def fmt_seconds(s: float) -> str:
    if s < 1e-3:
        return f"{s * 1e6:.1f} us"
    if s < 1:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.3f} s"


def print_table(results: list[Result]) -> None:
    head = ["benchmark", "median", "per item", "baseline", "baseline median", "ratio", "target"]
    rows = []
    for r in results:
        ratio = r.ratio
        rows.append([
            r.name, fmt_seconds(r.median_s), r.per_item or "", r.baseline or "",
            fmt_seconds(r.baseline_s) if r.baseline_s else "",
            f"{ratio:.2f}x" if ratio is not None else "", r.target or "",
        ])
    widths = [max(len(h), *(len(row[i]) for row in rows)) if rows else len(h)
              for i, h in enumerate(head)]
    line = " | ".join(h.ljust(w) for h, w in zip(head, widths))
    print(line)
    print("-+-".join("-" * w for w in widths))
    for row in rows:
        print(" | ".join(c.ljust(w) for c, w in zip(row, widths)))
    for r in results:
        for note in r.notes:
            print(f"note ({r.name}): {note}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="lumarq benchmarks")
    parser.add_argument("--rows", type=int, default=None,
                        help="scale: rows per benchmark (each module has its own default)")
    parser.add_argument("--repeat", type=int, default=5, help="timed runs per measurement")
    parser.add_argument("--only", nargs="*", default=None,
                        help="module names (e.g. bench_codec) to run")
    args = parser.parse_args(argv)
    names = args.only or discover()
    print(f"python {platform.python_version()} on {platform.machine()}, "
          f"{__import__('os').cpu_count()} cpus")
    results: list[Result] = []
    for name in names:
        mod = importlib.import_module(name if name.startswith("bench_") else f"bench_{name}")
        print(f"running {mod.__name__} ...", file=sys.stderr, flush=True)
        results.extend(mod.run(rows=args.rows, repeat=args.repeat))
    print_table(results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
