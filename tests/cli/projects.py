"""Small real DuckDB projects and the `zel` command run as a subprocess, shared by CLI tests."""

from __future__ import annotations

import os
import subprocess
import sys
from collections.abc import Iterable
from pathlib import Path

import duckdb

ZEL = [sys.executable, "-c", "from kor.cli import main; main()"]

SOURCES = """
sources:
  - name: raw
    schema: main
    tables:
      - {name: orders}
      - {name: odd}
      - {name: gone}
"""


def write_project(root: Path, tables: str, extra_sql: Iterable[str] = ()) -> Path:
    """A project of three warehouse tables (orders, odd, t) plus whatever `extra_sql` makes."""
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
        for sql in extra_sql:
            connection.execute(sql)
    return root


def run_zel(*args: str, timeout: float = 120, env: dict[str, str] | None = None
            ) -> subprocess.CompletedProcess:
    environment = {**os.environ, "COLUMNS": "200", **(env or {})}
    return subprocess.run([*ZEL, *args], capture_output=True, text=True, timeout=timeout,
                          env=environment)


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
