"""`zel profile run` as a user runs it: a subprocess on a real DuckDB project."""

from __future__ import annotations

import subprocess
from pathlib import Path

import duckdb
import pytest

from tests.cli.projects import SOURCES, run_zel, write_project


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
