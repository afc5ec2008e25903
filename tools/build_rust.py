#!/usr/bin/env python3
"""Rebuild the native extension modules in place, next to their Python packages under src/.

Afterwards `PYTHONPATH=src python -c "import lumarq.utilities.vantor32"` works without an
install. Also builds the benchmark driver module into bench/. Options: --build-dir (default
build/inplace-<python tag>), --debug, --tests (also build and run the C++ unit tests), -j N.
"""
from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    tag = sysconfig.get_config_var("SOABI") or f"py{sys.version_info[0]}{sys.version_info[1]}"
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build" / f"inplace-{tag}")
    parser.add_argument("--debug", action="store_true", help="build without optimisation")
    parser.add_argument("--tests", action="store_true", help="build and run the C++ unit tests")
    parser.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 1)
    args = parser.parse_args(argv)

    if shutil.which("cmake") is None:
        print("cmake not found: install it with `pip install cmake ninja`", file=sys.stderr)
        return 1
    try:
        import nanobind  # noqa: F401
    except ImportError:
        print("nanobind not found: install it with `pip install nanobind`", file=sys.stderr)
        return 1

    configure = [
        "cmake", "-S", str(ROOT), "-B", str(args.build_dir),
        f"-DPython_EXECUTABLE={sys.executable}",
        f"-DCMAKE_BUILD_TYPE={'Debug' if args.debug else 'Release'}",
        "-DLUMARQ_INPLACE=ON",
        "-DLUMARQ_BUILD_BENCH=ON",
        f"-DLUMARQ_BUILD_TESTS={'ON' if args.tests else 'OFF'}",
    ]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    steps = [configure, ["cmake", "--build", str(args.build_dir), "-j", str(args.jobs)]]
    if args.tests:
        steps.append(["ctest", "--test-dir", str(args.build_dir), "--output-on-failure"])
    for step in steps:
        print("+", " ".join(step), flush=True)
        if subprocess.call(step) != 0:
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
