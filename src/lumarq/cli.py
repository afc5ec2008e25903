"""The `lumarq` command line."""
from __future__ import annotations

import argparse
import sys
from typing import Optional, Sequence


def _demo(args: argparse.Namespace) -> int:
    from lumarq.demo import run_demo

    return run_demo(args)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="lumarq", description="Row-level provenance for pandas pipelines.")
    sub = parser.add_subparsers(dest="command", required=True)
    demo = sub.add_parser("demo", help="run the demo pipeline")
    demo.add_argument("--rows", type=int, default=10_000, help="rows of synthetic data (default 10000)")
    demo.set_defaults(func=_demo)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    return int(args.func(args) or 0)


if __name__ == "__main__":
    sys.exit(main())
