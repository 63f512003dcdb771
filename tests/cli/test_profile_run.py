"""`zel profile run` as a user runs it: a subprocess on a real DuckDB project."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import duckdb
import pytest

ZEL = [sys.executable, "-c", "from kor.cli import main; main()"]


def write_project(root: Path, tables: str) -> Path:
    (root / "models").mkdir(parents=True)
    (root / "zel_project.yml").write_text(
        "name: shop\ntarget: dev\ntargets:\n  dev: {type: duckdb, path: wh.duckdb}\n")
    (root / "models" / "sources.yml").write_text(tables)
    with duckdb.connect(str(root / "wh.duckdb")) as connection:
        connection.execute("CREATE TABLE orders AS SELECT i AS id, 'x' || (i % 3) AS status, "
                           "CASE WHEN i % 2 = 0 THEN NULL ELSE i END AS maybe "
                           "FROM range(10) r(i)")
        connection.execute('CREATE TABLE odd AS SELECT 1 AS "a""b; DROP TABLE t; --"')
        connection.execute("CREATE TABLE t AS SELECT 1 AS keep")
    return root


SOURCES = """
sources:
  - name: raw
    schema: main
    tables:
      - {name: orders}
      - {name: odd}
      - {name: gone}
"""


def zel(project: Path, *args: str, env: dict[str, str] | None = None
        ) -> subprocess.CompletedProcess:
    environment = dict(os.environ, COLUMNS="200", **(env or {}))
    return subprocess.run([*ZEL, "profile", "run", "--project-dir", str(project), *args],
                          capture_output=True, text=True, timeout=120, env=environment)


def stored_rows(project: Path, latest: bool = False, without: tuple[str, ...] = ()
                ) -> dict[tuple[str, str], dict]:
    """Every stored field by (table, column); `latest` keeps only each table's last run."""
    query = "SELECT * FROM column_profiles ORDER BY profiled_at"
    if latest:
        query = ("SELECT * FROM column_profiles p WHERE profiled_at = (SELECT MAX(profiled_at) "
                 "FROM column_profiles q WHERE q.table_name = p.table_name)")
    with duckdb.connect(str(project / ".zel" / "metadata_store.duckdb"), read_only=True) as c:
        cursor = c.execute(query)
        names = [d[0] for d in cursor.description]
        rows = [dict(zip(names, row, strict=True)) for row in cursor.fetchall()]
    return {(row["table_name"], row["column_name"]):
            {k: v for k, v in row.items() if k not in without} for row in rows}


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


@pytest.mark.parametrize("args, text", [(["--threads", "0"], "--threads"),
                                        (["--mode", "fast"], "--mode")])
def test_usage_errors(tmp_path, args, text):
    done = zel(write_project(tmp_path, SOURCES), *args)
    assert done.returncode == 2 and text in done.stderr


@pytest.mark.parametrize("yaml_text, message", [
    ("sources: [", "invalid YAML"),
    ("sources:\n  - schema: main\n", "missing required key 'name'"),
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
