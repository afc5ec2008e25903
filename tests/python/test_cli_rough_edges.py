"""What a new user meets first on the command line: help, version, one-line errors for bad
values, no secret on the screen, and a demo whose dashboard stays reachable."""

from __future__ import annotations

import os
import pty
import re
import select
import signal
import subprocess
import sys
import time
import urllib.request

import pytest

import lumarq


def run(*args, timeout=120, **kw):
    env = dict(os.environ)
    src = os.path.dirname(os.path.dirname(lumarq.__file__))
    env["PYTHONPATH"] = src + os.pathsep + env.get("PYTHONPATH", "")
    return subprocess.run([sys.executable, "-m", "lumarq", *args], capture_output=True, text=True, env=env,
                          timeout=timeout, stdin=subprocess.DEVNULL, **kw)


def test_version_and_help_without_a_command():
    version = run("--version")
    assert (version.returncode, version.stdout.strip()) == (0, "lumarq " + lumarq.__version__)
    bare = run()
    assert bare.returncode == 0 and bare.stdout.startswith("usage: lumarq") and "demo" in bare.stdout
    assert bare.stderr == ""


@pytest.mark.parametrize("args, message", [
    (["serve", "--port", "99999"], "argument --port: 99999 is out of range (0 to 65535)"),
    (["serve", "--port", "http"], "argument --port: 'http' is not a whole number"),
    (["serve", "--max-body-mb", "0"], "argument --max-body-mb: 0 is out of range (at least 1)"),
    (["demo", "--port", "-1"], "argument --port: -1 is out of range (0 to 65535)"),
    (["demo", "--row", "-3"], "argument --row: -3 is out of range (at least 0)"),
    (["demo", "--rows", "50", "--row", "999999"], "--row must be between 0 and 49"),
    (["demo", "--no-serve", "--keep-serving"], "not allowed with argument"),
    (["demo", "--out", "{file}"], "lumarq demo: cannot use --out"),
    (["export", "--pipeline", str(2**63)],
     "argument --pipeline: %d is out of range (%d to %d)" % (2**63, -2**63, 2**63 - 1)),
])
def test_bad_values_get_one_line_errors(args, message, tmp_path):
    (tmp_path / "a-file").write_text("")
    args = [a.replace("{file}", str(tmp_path / "a-file")) for a in args]
    where = ["--out", str(tmp_path / "d")] if args[0] == "demo" else ["--db", "sqlite:///" + str(tmp_path / "x.db")]
    proc = run(*args, *(where if "--out" not in args else []))
    assert proc.returncode == 2
    assert message in proc.stderr and len(proc.stderr.strip().splitlines()) == 1, proc.stderr
    assert "Traceback" not in proc.stderr and not (tmp_path / "d" / "provenance.db").exists()


def test_revoking_by_the_whole_key_works_and_never_shows_it(tmp_path):
    db = "sqlite:///" + str(tmp_path / "k.db")
    key = run("keys", "create", "--tenant", "acme", "--db", db).stdout.strip()
    secret = key.split("_", 2)[2]
    for attempt in range(2):  # revoking again is harmless and just as quiet about the secret
        done = run("keys", "revoke", key, "--db", db)
        assert done.returncode == 0 and "revoked" in done.stdout
        assert secret not in done.stdout + done.stderr
    unknown = "lmq_0123456789ab_" + "Q" * 43
    missing = run("keys", "revoke", unknown, "--db", db)
    assert missing.returncode == 1 and "no key 0123456789ab" in missing.stderr and "Q" * 43 not in missing.stderr
    for text in ("not-a-key-" + "z" * 30,):
        out = run("keys", "revoke", text, "--db", db)
        assert out.returncode == 1 and text not in out.stderr and "(not a key id)" in out.stderr


def test_demo_off_a_terminal_stops_and_says_how_to_reopen(tmp_path):
    pytest.importorskip("fastapi")
    out = tmp_path / "demo dir"
    proc = run("demo", "--rows", "120", "--out", str(out), "--port", "0", timeout=300)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert any(re.match(r"^Dashboard: http://127\.0\.0\.1:\d+/", line) for line in lines)
    assert "Column risk report:" in lines
    assert "Ctrl-C to stop" not in proc.stdout
    again = lines[lines.index("The service has stopped. To open the dashboard again, run:") + 1].strip()
    assert again == "lumarq serve --db 'sqlite:///%s' --port 8750" % (out / "provenance.db")


def test_demo_on_a_terminal_keeps_serving_until_ctrl_c(tmp_path):
    pytest.importorskip("fastapi")
    env = {k: v for k, v in os.environ.items() if k != "CI"}  # a person at a terminal, not CI
    env["PYTHONPATH"] = os.path.dirname(os.path.dirname(lumarq.__file__)) + os.pathsep + env.get("PYTHONPATH", "")
    leader, follower = pty.openpty()
    proc = subprocess.Popen([sys.executable, "-m", "lumarq", "demo", "--rows", "100", "--out", str(tmp_path),
                             "--port", "0"], stdin=follower, stdout=follower, stderr=subprocess.DEVNULL, env=env)
    os.close(follower)
    seen = b""
    try:
        deadline = time.monotonic() + 240
        while b"Ctrl-C to stop" not in seen and time.monotonic() < deadline and proc.poll() is None:
            if select.select([leader], [], [], 1.0)[0]:
                try:
                    seen += os.read(leader, 65536)
                except OSError:
                    break
        text = seen.decode("utf-8", "replace")
        assert "Ctrl-C to stop" in text, text[-2000:]
        url = re.search(r"Serving the dashboard at (http://127\.0\.0\.1:\d+)/", text).group(1)
        with urllib.request.urlopen(url + "/healthz", timeout=10) as answer:  # the link is live
            assert answer.status == 200
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=60) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        os.close(leader)


def test_first_build_says_each_step_and_how_long_it_takes(tmp_path):
    """`make install` on a fresh environment, with a stand-in interpreter that records its calls."""
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    if not os.path.exists(os.path.join(root, "Makefile")) or subprocess.run(["which", "make"]).returncode:
        pytest.skip("needs the source tree and make")
    venv = tmp_path / "venv"
    (venv / "bin").mkdir(parents=True)
    calls = tmp_path / "calls"
    fake = venv / "bin" / "python"
    fake.write_text('#!/bin/sh\necho "$@" >> %s\n' % calls)
    fake.chmod(0o755)
    # Run as a user would: not under an outer make (`make test` passes its variables down).
    outer = ("MAKEFLAGS", "MFLAGS", "MAKELEVEL", "PYTHON", "VENV", "EXTRAS", "CONSTRAINTS",
             "BUILD_FLAGS", "PYTEST_ARGS", "DEMO_ARGS")
    env = {k: v for k, v in os.environ.items() if k not in outer}
    proc = subprocess.run(["make", "--no-print-directory", "-C", root, "install", "VENV=%s" % venv],
                          capture_output=True, text=True, timeout=120, env=env)
    assert proc.returncode == 0, proc.stderr
    steps = [line for line in proc.stdout.splitlines() if line.startswith("==> ")]
    assert [s.split()[1] for s in steps[:3]] == ["[1/3]", "[2/3]", "[3/3]"]
    assert "seconds" in steps[0] and "minute" in steps[1] and "minutes" in proc.stdout.split("[3/3]")[1]
    install = calls.read_text().splitlines()[-1]
    # The long step shows pip's progress instead of running silently.
    assert install.startswith("-m pip install") and "--quiet" not in install and ".[all,test]" in install
    assert (venv / ".lumarq-installed").exists()


def test_export_from_a_missing_database_file_says_so_and_creates_none(tmp_path):
    proc = run("export", "--pipeline", "1", "--db", "sqlite:///" + str(tmp_path / "typo.db"))
    assert proc.returncode == 1 and proc.stderr.strip() == "lumarq export: no database at %s" % (
        tmp_path / "typo.db")
    assert not (tmp_path / "typo.db").exists()


@pytest.mark.parametrize("out", ["missing-folder/lineage.json", "."])
def test_export_to_a_path_it_cannot_write_says_so_in_one_line(out, tmp_path):
    import pandas as pd

    from lumarq.utilities.vantor32_dag import DAGTracker, wrap_dataframe_dag

    db = "sqlite:///" + str(tmp_path / "prov.db")
    with DAGTracker(api_key="local", tenant_id="acme", service_url=db, pipeline_name="p") as tracker:
        df = wrap_dataframe_dag(pd.DataFrame({"a": [1.0, 2.0]}), tracker, "t")
        df["b"] = df["a"] * 2
        pipeline = tracker._pipeline_id
    key = "lmq_0123456789ab_" + "S" * 43
    proc = run("export", "--pipeline", str(pipeline), "--db", db, "--tenant", "acme", "--api-key", key,
               "--out", str(tmp_path / out))
    assert proc.returncode == 1
    assert proc.stderr.startswith("lumarq export: cannot write ") and len(proc.stderr.strip().splitlines()) == 1, \
        proc.stderr
    assert "S" * 43 not in proc.stderr + proc.stdout


def test_export_svg_that_graphviz_cannot_lay_out_in_time_says_so_in_one_line(tmp_path, monkeypatch, capsys):
    # A stored graph of a few thousand nodes can take Graphviz minutes: its time-out escaped
    # as a traceback (and as a 500 from the service).
    import pandas as pd

    import lumarq.lineage
    from lumarq import cli
    from lumarq.utilities.vantor32_dag import DAGTracker, wrap_dataframe_dag

    db = "sqlite:///" + str(tmp_path / "prov.db")
    with DAGTracker(api_key="local", tenant_id="acme", service_url=db, pipeline_name="p") as tracker:
        df = wrap_dataframe_dag(pd.DataFrame({"a": [1.0, 2.0]}), tracker, "t")
        df["b"] = df["a"] * 2
        pipeline = tracker._pipeline_id

    def too_slow(cmd, **kwargs):
        raise subprocess.TimeoutExpired(cmd, kwargs.get("timeout"))

    monkeypatch.setattr(lumarq.lineage.shutil, "which", lambda name: "/usr/bin/dot")
    monkeypatch.setattr(lumarq.lineage.subprocess, "run", too_slow)
    code = cli.main(["export", "--db", db, "--tenant", "acme", "--pipeline", str(pipeline), "--format", "svg"])
    err = capsys.readouterr().err
    assert code == 1 and len(err.strip().splitlines()) == 1
    assert "Graphviz did not lay out the graph within 300 s" in err
