#!/usr/bin/env python3
"""Regenerate the .pyi stubs of the extension modules with nanobind's stubgen.

    python tools/gen_stubs.py           # write src/lumarq/**/*.pyi
    python tools/gen_stubs.py --check   # exit 1 (with a diff) when a stub is out of date

Signatures come from the modules themselves and from tools/stub_patterns.txt. Run it with the
package importable (installed, or PYTHONPATH=src after tools/build_rust.py).
"""
from __future__ import annotations

import argparse
import difflib
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PATTERNS = ROOT / "tools" / "stub_patterns.txt"
MODULES = {
    "lumarq._vantor32": "src/lumarq/_vantor32.pyi",
    "lumarq.utilities.vantor32": "src/lumarq/utilities/vantor32.pyi",
    "lumarq.utilities.vantor32_dag": "src/lumarq/utilities/vantor32_dag.pyi",
    "lumarq.utilities.jsoncodec": "src/lumarq/utilities/jsoncodec.pyi",
}


def generate(module: str, out: Path) -> None:
    subprocess.run([sys.executable, "-m", "nanobind.stubgen", "-q", "-m", module, "-p", str(PATTERNS),
                    "-o", str(out)], check=True)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    args = parser.parse_args(argv)
    stale = 0
    with tempfile.TemporaryDirectory() as tmp:
        for module, target in MODULES.items():
            fresh = Path(tmp) / (module + ".pyi")
            generate(module, fresh)
            path = ROOT / target
            if not args.check:
                path.write_text(fresh.read_text())
                print(f"wrote {target}")
                continue
            old = path.read_text() if path.exists() else ""
            new = fresh.read_text()
            if old != new:
                stale += 1
                sys.stdout.writelines(difflib.unified_diff(
                    old.splitlines(True), new.splitlines(True), f"{target} (committed)", f"{target} (regenerated)"))
    if stale:
        print(f"{stale} stub(s) out of date: run python tools/gen_stubs.py", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
