"""`lumarq demo`: a credit-scoring pipeline on synthetic loan applications, fully tracked.

It generates a deterministic data set, starts the provenance service on 127.0.0.1 with an
embedded SQLite database under the output folder, runs the pipeline on columns of the
provenance dtype (``lumarq.track``) with a DAG tracker that persists through the service, prints the audit of one scored row, the column risk report and
the tracker's statistics, writes that row's DAG as JSON, DOT and (with Graphviz) SVG, flushes
(persisting everything and posting the dashboard report) and prints the dashboard address.
"""
from __future__ import annotations

import argparse
import json
import os
import shlex
import shutil
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, TypeVar

import numpy as np
import pandas as pd

T = TypeVar("T")

REGIONS = ["north", "south", "east", "west", "central"]
# Applications scoring at least this are approved: the decision the fairness report measures.
APPROVAL_THRESHOLD = 0.3
PROTECTED = ["age", "gender"]
TENANT = "demo"
DEFAULT_PORT = 8750


def make_applications(rows: int, seed: int = 20241208) -> pd.DataFrame:
    """Synthetic loan applications; the same rows for the same `rows` and `seed`."""
    rng = np.random.default_rng(seed)
    age = rng.integers(19, 76, rows)
    income = np.round(rng.lognormal(10.6, 0.45, rows) * (1 + (age - 19) / 120), 2)
    debt = np.round(income * rng.beta(2.0, 5.0, rows) * 1.6, 2)
    # Some applicants leave their existing debt blank; the pipeline cleans that column.
    debt[rng.random(rows) < 0.04] = np.nan
    frame = pd.DataFrame({
        "applicant_id": np.arange(1, rows + 1),
        "income": income,
        "debt": debt,
        "age": age,
        "gender": rng.choice(["female", "male", "nonbinary"], rows, p=[0.49, 0.49, 0.02]),
        "region": rng.choice(REGIONS, rows),
        "credit_lines": rng.poisson(3.0, rows),
    })
    # Whether the applicant repaid an earlier loan: the true labels of the fairness report. Drawn
    # from a stream of its own, so that the columns above stay as they were.
    burden = np.nan_to_num(debt / income)
    labels = np.random.default_rng(seed + 1)
    frame["repaid"] = (labels.random(rows) < 0.93 - 0.9 * burden).astype(int)
    return frame


def make_regions() -> pd.DataFrame:
    """A second table: regional default rates, merged into the applications."""
    return pd.DataFrame({"region": REGIONS, "regional_default_rate": [0.031, 0.047, 0.038, 0.029, 0.052]})


class Progress:
    """A one-line progress bar on stderr (plain lines when stderr is not a terminal)."""

    def __init__(self, total: int, stream=None) -> None:
        self.total = total
        self.done = 0
        self.stream = stream or sys.stderr
        self.tty = self.stream.isatty()
        self.started = time.perf_counter()

    def step(self, label: str, fn: Callable[[], T]) -> T:
        t0 = time.perf_counter()
        self._draw(label, running=True)
        result = fn()
        self.done += 1
        self._draw(f"{label} ({time.perf_counter() - t0:.2f} s)", running=False)
        return result

    def _draw(self, label: str, running: bool) -> None:
        width = 24
        filled = int(width * self.done / max(self.total, 1))
        bar = "#" * filled + "-" * (width - filled)
        line = f"[{bar}] {self.done}/{self.total} {label}"
        if self.tty:
            self.stream.write("\r\033[K" + line + ("" if running else "\n" if self.done == self.total else ""))
        elif not running:
            self.stream.write(line + "\n")
        self.stream.flush()

    def close(self) -> None:
        if self.tty and self.done < self.total:
            self.stream.write("\n")
        self.stream.flush()


def start_service(db_path: Path, port: int):
    from lumarq.service import run_in_thread

    db_url = "sqlite:///" + str(db_path)
    try:
        return run_in_thread(db_url, "127.0.0.1", port)
    except OSError:
        # The usual port is taken (another demo still serving?): any free port will do.
        return run_in_thread(db_url, "127.0.0.1", 0)


def write_key(out: Path, key: str) -> Path:
    path = out / "api-key.txt"
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(key + "\n")
    return path


def run_pipeline(tracker: Any, apps: pd.DataFrame, regions: pd.DataFrame, progress: Progress) -> Any:
    import lumarq

    df = progress.step("track applications (gender and age protected)",
                       lambda: lumarq.track(apps, tracker, "applications", protected=PROTECTED))
    reg = progress.step("track regional rates", lambda: lumarq.track(regions, tracker, "regions"))

    def derive() -> None:
        df["debt_clean"] = df["debt"].fillna(0.0)
        df["dti"] = df["debt_clean"] / df["income"]
        df["income_per_line"] = df["income"] / (df["credit_lines"] + 1)
        df["young"] = df["age"] < 25
        df.prov.name_nodes()  # the graph's nodes say "dti", not only "div"

    progress.step("derived ratios and the cleaned debt column", derive)
    merged = progress.step("merge with the regional table", lambda: df.merge(reg, on="region", how="left"))

    def score() -> None:
        base = (merged["dti"] * -2.0) + 1.0
        risk = merged["regional_default_rate"] * -4.0
        # The age term makes the score depend on a protected attribute on purpose.
        age_term = (merged["age"] - 18) * 0.004
        merged["score"] = (base + risk + age_term).clip(0.0, 1.0)
        merged["approved"] = merged["score"] >= APPROVAL_THRESHOLD
        merged.prov.name_nodes()

    progress.step("score", score)
    return merged


def render_svg(dot_path: Path, svg_path: Path) -> Optional[str]:
    """SVG through Graphviz; returns a note when that is not possible."""
    dot = shutil.which("dot")
    if dot is None:
        return "Graphviz `dot` is not installed: SVG skipped (install graphviz, then run `dot -Tsvg " \
               f"{dot_path} -o {svg_path}`)."
    proc = subprocess.run([dot, "-Tsvg", str(dot_path), "-o", str(svg_path)], capture_output=True, text=True)
    if proc.returncode != 0:
        return f"Graphviz failed ({proc.returncode}): {proc.stderr.strip()[:300]}"
    return None


def write_lineage(out: Path, service_url: str, key: str, pipeline_id: int) -> List[str]:
    """The stored pipeline as W3C PROV-JSON and as OpenLineage run events; returns notes."""
    from lumarq.lineage import export_pipeline
    from lumarq.utilities.persistence import HostedStorage

    storage = HostedStorage(api_url=service_url, api_key=key, tenant_id=TENANT)
    storage.connect()
    notes = []
    try:
        (out / "lineage.prov.json").write_text(export_pipeline(storage, pipeline_id, "prov-json"),
                                               encoding="utf-8")
        try:
            events = export_pipeline(storage, pipeline_id, "openlineage", namespace="lumarq-demo")
        except ImportError as exc:
            notes.append(str(exc))
        else:
            (out / "openlineage-events.json").write_text(events, encoding="utf-8")
    finally:
        storage.disconnect()
    return notes


def _print_table(rows: Sequence[Dict[str, Any]], columns: Sequence[str]) -> None:
    widths = [max(len(c), *(len(str(r[c])) for r in rows)) for c in columns]
    print("  " + "  ".join(c.ljust(w) for c, w in zip(columns, widths)))
    for r in rows:
        print("  " + "  ".join(str(r[c]).ljust(w) for c, w in zip(columns, widths)))


def _print_fairness(fair: Dict[str, Any]) -> None:
    def num(x: Optional[float], fmt: str = ".3f") -> str:
        return "n/a" if x is None else format(x, fmt)

    print(f"\nFairness of the approval decision (score >= {APPROVAL_THRESHOLD}), "
          f"{num(fair['overall_selection_rate'], '.1%')} approved overall:")
    for name, a in fair["attributes"].items():
        di = a["disparate_impact"]
        rates = ", ".join(f"{g['group']} {num(g['selection_rate'], '.1%')}" for g in a["groups"])
        flag = "below four fifths" if di["four_fifths_violated"] else "within four fifths"
        print(f"  {name}: {a['provenance']['status']}; approval rates {rates}")
        print(f"    demographic parity difference {num(a['demographic_parity_difference'])}, "
              f"lowest disparate impact ratio {num(di['lowest_ratio'])} ({di['lowest_group']} vs "
              f"{di['reference']}): {flag}; equal opportunity difference "
              f"{num(a.get('equal_opportunity_difference'))}")


def reopen_command(db_path: Path, port: int) -> str:
    """The command that serves the demo database again."""
    return "lumarq serve --db %s --port %d" % (shlex.quote("sqlite:///" + str(db_path)), port)


def run_demo(args: argparse.Namespace) -> int:
    from lumarq.utilities.vantor32 import column_risk_report
    from lumarq.utilities.vantor32_dag import DAGTracker, dag_audit, get_dag_for_series

    rows = int(args.rows)
    if rows < 1:
        print("lumarq demo: --rows must be at least 1", file=sys.stderr)
        return 2
    if not 0 <= int(args.row) < rows:
        print(f"lumarq demo: --row must be between 0 and {rows - 1} (the demo scores {rows:,} rows)",
              file=sys.stderr)
        return 2
    row = int(args.row)
    # Serving on until Ctrl-C suits a person at a terminal; scripts and CI get their exit.
    keep_serving = bool(getattr(args, "keep_serving", False)) or (
        not getattr(args, "no_serve", False) and sys.stdout.isatty() and sys.stdin.isatty()
        and os.environ.get("CI") != "true")
    out = Path(args.out).resolve()
    try:
        out.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        print(f"lumarq demo: cannot use --out {out}: {exc.strerror or exc}", file=sys.stderr)
        return 2
    progress = Progress(total=9)

    apps = progress.step(f"generate {rows:,} loan applications", lambda: make_applications(rows))
    regions = make_regions()
    service = progress.step("start the provenance service (SQLite under the output folder)",
                            lambda: start_service(out / "provenance.db", int(args.port)))
    try:
        _, key = service.store.create_key(TENANT, "demo")
        key_file = write_key(out, key)
        tracker = DAGTracker(api_key=key, tenant_id=TENANT, service_url=service.url,
                             pipeline_name="credit-scoring-demo")
        with tracker:
            scored = run_pipeline(tracker, apps, regions, progress)
            score = scored["score"]
            audit = dag_audit(score, row)
            dag = get_dag_for_series(score, row)
            report = column_risk_report(scored)
            fair = progress.step("measure fairness of the approvals (sent with the dashboard report)",
                                 lambda: tracker.report_fairness(scored, "approved", PROTECTED,
                                                                 favorable=True, labels="repaid"))
            stats = tracker.dag_stats()
            progress.step("flush: persist nodes, edges, row values; post the dashboard report",
                          lambda: tracker.flush())
            persisted = tracker.get_persistence_stats()
            pipeline_id = tracker._pipeline_id
        progress.close()
        lineage_notes = write_lineage(out, service.url, key, pipeline_id) if pipeline_id else []

        files = {"json": out / "score-row-dag.json", "dot": out / "score-row-dag.dot",
                 "svg": out / "score-row-dag.svg"}
        note = None
        if dag is not None:
            files["json"].write_text(dag.to_json(), encoding="utf-8")
            files["dot"].write_text(dag.to_graphviz() + "\n", encoding="utf-8")
            note = render_svg(files["dot"], files["svg"])
        summary = {
            "rows": rows, "row_audited": row, "score": float(score.iloc[row]),
            "audit": audit, "column_risk_report": report, "fairness": fair, "dag_stats": stats,
            "dashboard_url": service.url + "/",
        }
        (out / "summary.json").write_text(json.dumps(summary, indent=2, default=str), encoding="utf-8")

        print(f"\nScored {rows:,} applications. Audit of the score of row {row} "
              f"(score {float(score.iloc[row]):.3f}):")
        for k, v in audit.items():
            if k != "dag":
                print(f"  {k:14} {v}")
        if "dag" in audit:
            d = audit["dag"]
            print(f"  dag: depth {d['depth']}, {d['node_count']} nodes, operations {d['operation_counts']}")
            print(f"       sources {d['sources']}")
            print(f"       protected sources {d['protected_sources']}")
        print("\nColumn risk report:")
        _print_table(report, ["column", "tainted", "max_risk", "min_depth", "risk_level"])
        _print_fairness(fair)
        print("\nTracker statistics:")
        for k, v in stats.items():
            print(f"  {k:18} {v}")
        print("\nDAG of that row:")
        for kind in ("json", "dot", "svg"):
            if files[kind].exists():
                print(f"  {kind.upper():4} {files[kind]}")
        if note:
            print(f"  note: {note}")
        print("\nLineage of the stored pipeline for other tools:")
        for name in ("lineage.prov.json", "openlineage-events.json"):
            if (out / name).exists():
                print(f"  {out / name}")
        for lineage_note in lineage_notes:
            print(f"  note: {lineage_note}")
        print(f"\nEverything is stored in {out / 'provenance.db'} (summary in {out / 'summary.json'}).")
        print(f"Dashboard: {service.url}/  (sign in with the API key in {key_file})")
        if persisted is not None:
            kinds = ", ".join(f"{persisted[k]['written']:,} {k.replace('_', ' ')}"
                              for k in ("nodes", "edges", "row_values") if isinstance(persisted.get(k), dict))
            print(f"Written through the service: {kinds}; after deduplication by fingerprint the "
                  f"pipeline's DAG holds {persisted.get('nodes_written', 0):,} nodes and "
                  f"{persisted.get('edges_written', 0):,} edges.")
        port = int(args.port) or DEFAULT_PORT
        if keep_serving:
            try:
                # inside the try: a Ctrl-C that lands as soon as the line is out is raised at
                # the end of this print
                print("Serving the dashboard at %s/ . Ctrl-C to stop." % service.url, flush=True)
                while True:
                    time.sleep(3600)
            except KeyboardInterrupt:
                print()
        print("The service has stopped. To open the dashboard again, run:\n  %s\nthen open http://127.0.0.1:%d/"
              % (reopen_command(out / "provenance.db", port), port), flush=True)
        return 0
    finally:
        service.stop()
