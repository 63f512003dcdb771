"""`zel profile run` as a user runs it: a subprocess on a real DuckDB project."""

from __future__ import annotations

import json
import re
import subprocess
from pathlib import Path

import duckdb
import pytest

from tests.cli.projects import SOURCES, run_zel, stored_rows, write_project


def zel(project: Path, *args: str, env: dict[str, str] | None = None
        ) -> subprocess.CompletedProcess:
    return run_zel("profile", "run", "--project-dir", str(project), *args, env=env)


def stored(project: Path) -> dict:
    with duckdb.connect(str(project / ".zel" / "metadata_store.duckdb"), read_only=True) as c:
        rows = c.execute("SELECT table_name, column_name, null_count, distinct_count, min_value,"
                         " max_value FROM column_profiles ORDER BY 1, 2").fetchall()
    return {(r[0], r[1]): r[2:] for r in rows}


@pytest.mark.parametrize("threads", ["1", "4"])
def test_run_stores_what_the_warehouse_computes(tmp_path, threads):
    project = write_project(tmp_path, SOURCES)
    done = zel(project, "--threads", threads)
    assert done.returncode == 0, done.stderr  # one table missing, the others succeed
    assert "FAIL raw.gone" in done.stdout and "OK raw.orders" in done.stdout
    # Run from elsewhere: the store's real place, and the command that reads it.
    assert (f"Stored in {project / '.zel' / 'metadata_store.duckdb'}; to see it: zel profile "
            f"show --project-dir {project}") in done.stdout
    rows = stored(project)
    assert rows[("orders", "id")] == (0, 10, 0.0, 9.0)
    assert rows[("orders", "maybe")] == (5, 5, 1.0, 9.0)
    assert rows[("odd", 'a"b; DROP TABLE t; --')][:2] == (0, 1)
    with duckdb.connect(str(project / "wh.duckdb"), read_only=True) as c:
        assert c.execute("SELECT * FROM t").fetchall() == [(1,)]


def test_select_exclude_and_failure_status(tmp_path):
    project = write_project(tmp_path, SOURCES)
    done = zel(project, "--select", "gone")
    assert done.returncode == 1 and "FAIL raw.gone" in done.stdout
    done = zel(project, "-s", "source:*", "--exclude", "gone odd", "--mode", "minimal")
    assert done.returncode == 0 and "raw.odd" not in done.stdout
    assert {t for t, _ in stored(project)} == {"orders"}


FAILED_GONE = "Failing the run: 1 table failed.\n"


@pytest.mark.parametrize("args, status, state, says", [
    # A table failing among measured ones fails the run only for a gate.
    (["-s", "gone many"], 0, "tables_failed", ""),
    (["-s", "gone many", "--fail-on", "error"], 1, "tables_failed", FAILED_GONE),
    (["-s", "gone many", "--fail-on", "warning"], 1, "tables_failed", FAILED_GONE),
    # 2,000 rows of 3 values: an info alert (LOW_CARDINALITY), nothing worse.
    (["-s", "many", "--fail-on", "warning"], 0, "completed", ""),
    (["-s", "many", "--fail-on", "info"], 1, "completed",
     "Failing the run: 1 alert of severity info or worse.\n"),
])
def test_fail_on_gates_failed_tables_and_info_alerts(tmp_path, args, status, state, says):
    project = write_project(tmp_path, SOURCES.replace("{name: gone}", "{name: gone}\n"
                                                      "      - {name: many}"),
                            ["CREATE TABLE many AS SELECT i % 3 AS k FROM range(2000) r(i)"])
    done = zel(project, *args)
    assert (done.returncode, done.stderr) == (status, says)
    with duckdb.connect(str(project / ".zel" / "metadata_store.duckdb"), read_only=True) as c:
        assert c.execute("SELECT status, exit_status FROM runs").fetchall() == [(state, status)]


@pytest.mark.parametrize("args, text", [(["--threads", "0"], "--threads"),
                                        (["--mode", "fast"], "--mode")])
def test_usage_errors(tmp_path, args, text):
    done = zel(write_project(tmp_path, SOURCES), *args)
    assert done.returncode == 2 and text in done.stderr


@pytest.mark.parametrize("yaml_text, message", [
    ("sources: [", "invalid YAML"),
    ("sources:\n  - schema: main\n", "missing required key 'name'"),
    ('sources: [{name: raw, schema: main, tables: [{name: orders, identifier: "a\\uD800"}]}]',
     "sources[0].tables[0].identifier holds a lone surrogate (\\ud800)"),
    *[(f"sources: [{{name: raw, schema: main, {setting}, tables: [{{name: orders}}]}}]",
       f"source 'raw': 'freshness' {message}") for setting, message in [
        ("freshness: {warn_after: soon}", "'soon' is not an age such as 30m, 12h, 3d or 2w"),
        ("freshness: {warn_after: 0h}", "'0h': an age must be more than 0"),
        ("freshness: {warn_after: 3d, error_after: 1d}", "error_after must not be shorter"),
        ("freshness: {warn: 1d}", "unknown key 'warn'"), ("freshness: 1d", "must be a mapping"),
        ("freshness: {column: updated_at}", "give warn_after, error_after or both")]],
])
def test_project_errors_are_one_line(tmp_path, yaml_text, message):
    project = write_project(tmp_path, yaml_text)
    done = zel(project)
    assert done.returncode == 2
    assert message in done.stderr and "Traceback" not in done.stderr
    assert "sources.yml" in done.stderr


def test_missing_project(tmp_path):
    done = zel(tmp_path)
    assert done.returncode == 2 and "zel_project.yml: file not found" in done.stderr


FRESHNESS = """
sources:
  - name: raw
    schema: main
    freshness: {warn_after: 1d}
    tables:
      - {name: events}
      - {name: orders}
      - name: stamped
        freshness: {warn_after: 1d, error_after: 3d, column: updated_at}
      - name: unstamped
        freshness: {error_after: 3d, column: created_at}
"""


def test_freshness_rules_alert_stale_tables_and_the_run_records_each_tables_age(tmp_path):
    # updated_at is 5 days old, loaded_on (a date) 1 day ahead: the freshest dated column.
    project = write_project(tmp_path, FRESHNESS, [
        "CREATE TABLE events AS SELECT i, now()::TIMESTAMP - INTERVAL 5 DAY AS updated_at, "
        "current_date + 1 AS loaded_on, 'x' AS created_at FROM range(3) r(i)",
        "CREATE TABLE stamped AS SELECT * FROM events", "CREATE TABLE unstamped AS "
        "SELECT * FROM events"])
    done = zel(project, "--fail-on", "error")
    assert done.returncode == 1, done.stderr
    alerts = json.loads(run_zel("profile", "show", "--project-dir", str(project), "--alerts",
                                "--format", "json").stdout)
    found = {(a["table_name"], a["column_name"], a["type"], a["severity"]) for a in alerts
             if a["type"].startswith(("STALE", "FRESHNESS"))}
    # events is fresh by loaded_on, the freshest of its dated columns; orders has none.
    assert found == {("stamped", "updated_at", "STALE", "error"),
                     ("unstamped", "created_at", "FRESHNESS_UNMEASURED", "warning"),
                     ("orders", "id", "FRESHNESS_UNMEASURED", "warning")}
    stale = next(a for a in alerts if a["type"] == "STALE")
    assert re.fullmatch(r"Latest value is 5d 0h old \(error after 3d\)", stale["message"])
    with duckdb.connect(str(project / ".zel" / "metadata_store.duckdb"), read_only=True) as c:
        ages = dict((name, (column, age)) for name, column, age in c.execute(
            "SELECT table_name, freshness_column, freshness_seconds FROM table_runs").fetchall())
    assert ages["orders"] == (None, None) and ages["unstamped"] == (None, None)
    assert ages["stamped"][0] == "updated_at" and ages["events"][0] == "loaded_on"
    assert ages["stamped"][1] == pytest.approx(5 * 86400, abs=120)
    assert -86400 <= ages["events"][1] < 0


DECLARED = """
sources:
  - name: raw
    schema: main
    tables:
      - name: orders
        columns:
          - {name: id, data_type: INTEGER}
          - {name: status, data_type: INTEGER}
          - {name: ghost, data_type: INTEGER}
"""


def test_declared_columns_are_checked_against_the_warehouse_and_diff_sees_its_schema(tmp_path):
    project = write_project(tmp_path, DECLARED)
    zel(project)
    rows = stored_rows(project)
    # status is text in the warehouse: its lengths, not a maximum read as a number.
    status = rows["orders", "status"]
    assert status["max_length"] == 2 and status["max_value"] is None
    drift = {(column, alert["severity"], alert["message"])
             for (_, column), row in rows.items() for alert in json.loads(row["alerts"] or "[]")
             if alert["type"] == "SCHEMA_DRIFT"}
    assert drift == {
        ("id", "info", "Warehouse columns not declared (not profiled): maybe"),
        ("id", "info", "Declared INTEGER, the warehouse has BIGINT"),  # a number all the same
        ("status", "warning", "Declared INTEGER, the warehouse has VARCHAR (profiled as that)"),
        ("ghost", "error", "Declared in the models file, not in the warehouse")}
    with duckdb.connect(str(project / "wh.duckdb")) as connection:
        connection.execute("ALTER TABLE orders ADD COLUMN channel VARCHAR")
    zel(project)
    changes = json.loads(run_zel("profile", "diff", "--project-dir", str(project), "--format",
                                 "json").stdout)["tables"][0]["changes"]
    assert [(c["kind"], c["column"]) for c in changes if c["kind"].startswith("column")] == [
        ("column_added", "channel")]


@pytest.mark.parametrize("command, args, says", [
    ("run", ["-s", "raw.orders"], "--select 'raw.orders' matches no source or model; "
                                  "'source:raw.orders' does."),
    ("run", ["-s", "orders", "--exclude", "nope* odd"], "--exclude 'nope*' matches no source"),
    ("diff", ["-s", "model:stg_*"], "--select 'model:stg_*' matches no source or model."),
    # the reading commands, on a store that holds the tables that do match
    ("anomalies", ["-s", "raw.measures"], "--select 'raw.measures' matches no source or "
                                          "model; 'source:raw.measures' does."),
    ("show", ["--table", "measures raw.nothere"], "--table 'raw.nothere' matches no source"),
    ("history", ["--table", "extra model:stg_*"], "--table 'model:stg_*' matches no source"),
])
def test_a_selector_that_matches_nothing_is_named(tmp_path, history_project, command, args,
                                                  says):
    project = (write_project(tmp_path, SOURCES) if command in ("run", "diff")
               else history_project)
    done = run_zel("profile", command, "--project-dir", str(project), *args)
    assert f"Warning: {says}" in done.stderr
    assert done.stderr.count("Warning:") == 1, done.stderr
    if command in ("show", "history"):  # what matched is shown all the same
        assert done.returncode == 0 and args[1].split()[0] in done.stdout


@pytest.mark.parametrize("threads", [1, 3])
def test_the_live_line_counts_a_tables_columns_and_ends_as_it_was(tmp_path, monkeypatch,
                                                                  rich_console, threads):
    from rich.progress import Progress

    from kor.profiling import profile_project

    sources = "sources:\n  - name: raw\n    schema: main\n    tables: [{name: wide}]\n"
    columns = ["a", "b [x]", "c", "d"]
    project = write_project(tmp_path, sources, [
        "CREATE TABLE wide AS SELECT " + ", ".join(f'range AS "{c}"' for c in columns)
        + " FROM range(5)"])
    shown: list[str] = []
    update = Progress.update

    def spied(self, task, **changes):
        if "description" in changes:
            shown.append(changes["description"])
        return update(self, task, **changes)

    monkeypatch.setattr(Progress, "update", spied)
    assert profile_project(project, threads=threads).succeeded
    base = "[cyan]Profiling[/cyan] [bold]raw.wide[/bold]"
    counted = [text for text in shown if text != base]
    # Each column on the line as it starts and as it ends, with the count done so far.
    assert len(counted) == 2 * len(columns)
    done = [int(re.search(r"\((\d)/4 columns\)", text)[1]) for text in counted]
    assert done[-1] == 4 and {1, 2, 3, 4} <= set(done) <= {0, 1, 2, 3, 4}
    assert r"b \[x]" in " ".join(counted)  # a name is shown, never read as markup
    assert shown[-1] == base and "columns)" not in rich_console.export_text()
