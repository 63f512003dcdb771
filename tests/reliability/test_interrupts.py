"""Interrupts: queued column work is dropped, running queries are cancelled, the run stops."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import time

import duckdb
import pytest

from tests.builders import flags, manifest, source
from tests.cli.projects import ZEL, write_project
from tests.faults import Fault, FaultyAdapter, InstantAdapter, install

COLUMNS = [f"c{i:02d}" for i in range(50)]


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_interrupt_cancels_queued_columns(make_task, monkeypatch, plain_output, capsys,
                                          interrupt):
    faulty = install(monkeypatch, FaultyAdapter(InstantAdapter(delay=0.05)))
    faulty.arm(Fault("execute", error=interrupt, match=lambda args: '"c02"' in args[0]))
    wide = manifest(source("raw", "wide", columns=[(name, "DATE") for name in COLUMNS]))
    with pytest.raises(interrupt):
        make_task(flags(THREADS=2), wide).run()
    queried = {name for name in COLUMNS
               for operation, args in faulty.calls
               if operation == "execute" and f'"{name}"' in args[0]}
    # c02 raised; at most the column running beside it, and the one it took up, finish.
    assert len(queried) <= 5, sorted(queried)


SLOW_PROJECT = """
sources:
  - name: raw
    schema: main
    tables: [{name: quick}, {name: slow}, {name: after}]
"""


@pytest.mark.parametrize("signal_number", [signal.SIGINT, signal.SIGTERM])
@pytest.mark.parametrize("threads", ["1", "4"])
def test_a_signal_stops_a_real_run_at_once(tmp_path, signal_number, threads):
    """Ctrl-C or SIGTERM while DuckDB runs a long query: the query is cancelled, the run stops
    within seconds, and nothing of the interrupted table is stored as measured."""
    project = write_project(tmp_path, SLOW_PROJECT, [
        "CREATE TABLE quick AS SELECT 1 AS a",
        # Every aggregate over this view runs for minutes.
        "CREATE VIEW slow AS SELECT a.range * b.range AS x, 'v' || a.range AS y "
        "FROM range(200000) a, range(200000) b",
        "CREATE TABLE after AS SELECT 1 AS a"])
    command = [*ZEL, "profile", "run", "--project-dir", str(project), "--threads", threads]
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          env=dict(os.environ, COLUMNS="200")) as child:
        while "raw.quick" not in child.stdout.readline():
            pass
        time.sleep(1.0)  # well inside the slow table's first query
        start = time.monotonic()
        child.send_signal(signal_number)
        _, err = child.communicate(timeout=60)
        stopped_after = time.monotonic() - start
    assert child.returncode == 1 and "Aborted!" in err and "Traceback" not in err
    assert stopped_after < 10, stopped_after  # it took 23 s when queries ran to their end
    with duckdb.connect(str(project / ".zel" / "metadata_store.duckdb"), read_only=True) as c:
        # The status the command ended with: click's "Aborted!" is 1.
        assert c.execute("SELECT status, exit_status FROM runs").fetchall() == [
            ("interrupted", 1)]
        assert c.execute("SELECT DISTINCT table_name FROM column_profiles").fetchall() == [
            ("quick",)]
        assert c.execute("SELECT table_name, status FROM table_runs").fetchall() == [
            ("quick", "success")]


@pytest.mark.parametrize("prune, held, removed, shown", [
    (["--keep", "1"], "1 run holding a table's latest measured profile: 2 (--including-latest "
     "removes it)", "Removed 1 run.\n", [0, 1]),
    (["--older-than", "0h"], "2 runs holding a table's latest measured profile: 1, 2 "
     "(--including-latest removes them)", "Removed 2 runs.\n", [1, 1])],
    ids=["keep", "older-than"])
def test_a_killed_run_is_abandoned_and_prune_keeps_every_latest_profile(tmp_path, prune, held,
                                                                        removed, shown):
    """Run 1 measures `after`; run 2, SIGKILLed in `slow`, measured `quick` only; run 3
    selects nothing. Neither 2 nor 3 counts among the kept, and no prune takes a table's only
    measured profile unless told to."""
    project = write_project(tmp_path, SLOW_PROJECT, [
        "CREATE TABLE quick AS SELECT 1 AS a",
        "CREATE VIEW slow AS SELECT a.range * b.range AS x FROM range(200000) a, range(200000) b",
        "CREATE TABLE after AS SELECT 1 AS a"])

    def zel(*args: str) -> subprocess.CompletedProcess:
        return subprocess.run([*ZEL, "profile", *args, "--project-dir", str(project)],
                              capture_output=True, text=True, timeout=120,
                              env=dict(os.environ, COLUMNS="200"))

    assert zel("run", "-s", "after").returncode == 0
    with subprocess.Popen([*ZEL, "profile", "run", "--project-dir", str(project), "--threads",
                           "1"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                          env=dict(os.environ, COLUMNS="200")) as child:
        while "raw.quick" not in child.stdout.readline():
            pass
        time.sleep(0.5)
        child.kill()
    assert zel("run", "-s", "nothing_by_this_name").returncode == 1
    runs = json.loads(zel("history", "--format", "json").stdout)
    assert [(r["run_id"], r["status"], r["exit_status"], r["tables"]) for r in runs] == [
        (3, "nothing_selected", 1, 0), (2, "abandoned", None, 1), (1, "completed", 0, 1)]
    assert "abandoned" in zel("history").stdout

    pruned = zel("prune", *prune)
    assert (pruned.returncode, pruned.stdout, pruned.stderr) == (
        0, "Removed 1 run.\n", f"Kept {held}.\n")
    assert [zel("show", "--table", name).returncode for name in ("after", "quick")] == [0, 0]
    assert zel("prune", *prune, "--including-latest").stdout == removed
    assert [zel("show", "--table", name).returncode for name in ("after", "quick")] == shown
