"""The run history from the command line: a gate on the run, diff, history, prune, JSON."""

from __future__ import annotations

import json

import duckdb

from tests.cli.projects import run_zel, write_project

ORDERS = """
sources:
  - name: raw
    schema: main
    tables: [{name: orders}, {name: t}]
"""


def zel(project, command, *args):
    return run_zel("profile", command, "--project-dir", str(project), *args)


def test_runs_are_recorded_compared_gated_and_pruned(tmp_path):
    project = write_project(tmp_path, ORDERS)
    # orders.maybe is half null: a MISSING warning, no error.
    assert zel(project, "run", "--fail-on", "error").returncode == 0
    gated = zel(project, "run", "--fail-on", "warning")
    assert gated.returncode == 1 and "Failing the run: 2 alerts of severity warning" in (
        gated.stderr)
    with duckdb.connect(str(project / "wh.duckdb")) as connection:
        connection.execute("DELETE FROM orders WHERE id < 6")  # 10 rows -> 4
        connection.execute("ALTER TABLE t ADD COLUMN extra INTEGER")
    assert zel(project, "run").returncode == 0

    done = zel(project, "diff", "--format", "json")
    assert done.returncode == 1, done.stderr  # losing 60 % of the rows is an error
    tables = {t["table_name"]: t for t in json.loads(done.stdout)["tables"]}
    kinds = {t: {(c["kind"], c["column"], c["severity"]) for c in tables[t]["changes"]}
             for t in tables}
    assert ("row_count_down", None, "error") in kinds["orders"]
    assert kinds["t"] == {("column_added", "extra", "info")}
    assert (tables["orders"]["base"]["run_id"], tables["orders"]["head"]["run_id"]) == (2, 3)
    assert zel(project, "diff", "--fail-on", "info", "-s", "t").returncode == 1
    assert zel(project, "diff", "--base", "1", "--head", "2").returncode == 0
    pinned = zel(project, "diff", "--base", "3", "--head", "1", "--select", "orders")
    assert "rows 4 → 10" in pinned.stdout and "raw.t" not in pinned.stdout

    history = zel(project, "history")
    assert history.returncode == 0
    header, *lines = history.stdout.splitlines()
    # The run --fail-on failed measured everything: its exit status says it failed the gate.
    assert header.split()[:5] == ["run", "started", "status", "exit", "tables"]
    assert [line.split()[:1] + line.split()[3:5] for line in lines] == [
        ["3", "completed", "0"], ["2", "completed", "1"], ["1", "completed", "0"]]
    assert [(r["status"], r["exit_status"]) for r in json.loads(
        zel(project, "history", "--format", "json").stdout)] == [
        ("completed", 0), ("completed", 1), ("completed", 0)]
    runs = json.loads(zel(project, "history", "--table", "orders", "--format", "json").stdout)
    assert [(r["run_id"], r["row_count"]) for r in runs] == [(3, 4), (2, 10), (1, 10)]

    assert zel(project, "prune", "--keep", "1").stdout.strip() == "Removed 2 runs."
    assert [r["run_id"] for r in json.loads(zel(project, "history", "--format",
                                                "json").stdout)] == [3]
    assert zel(project, "diff").returncode == 0  # one run left: nothing to compare with
    shown = json.loads(zel(project, "show", "--table", "orders", "--format", "json").stdout)
    assert {row["column_name"]: row["row_count"] for row in shown} == {
        "id": 4, "status": 4, "maybe": 4}


def test_history_usage_errors(tmp_path):
    project = write_project(tmp_path, ORDERS)
    # Nothing recorded yet: a gate that checked nothing fails, unless told that is fine.
    for args, status in [(("history",), 1), (("diff",), 1), (("diff", "--allow-empty"), 0)]:
        assert zel(project, *args).returncode == status, args
    zel(project, "run")
    for args, status, text in [
            (("diff", "-s", "nothing_by_this_name"), 1, "Nothing to compare"),
            (("diff", "-s", "nothing_by_this_name", "--allow-empty"), 0, "Nothing to compare"),
            *[(("prune", "--older-than", age), 2, f"'{age}': an age reaches back at most ")
              for age in ("999999999d", "99999999999999999999w", "3000000w")],
            (("diff", "--base", "99"), 2, "no recorded run with id 99"),
            (("diff", "--head", "yesterday"), 2, "neither a run id (digits) nor a date"),
            (("diff", "--base", "²"), 2, "Error: '²' is neither a run id"),
            (("diff", "--head", "2000-01-01"), 2, "no recorded run started on or before"),
            (("prune",), 2, "give one of --keep and --older-than"),
            (("prune", "--older-than", "soon"), 2, "30d, 12h or 2w"),
            (("prune", "--older-than", "30d"), 0, "Removed 0 runs.")]:
        done = zel(project, *args)
        assert (done.returncode, text in done.stdout + done.stderr) == (status, True), args
