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


def run_zel(*args: str, timeout: float = 120) -> subprocess.CompletedProcess:
    env = dict(os.environ, COLUMNS="200")
    return subprocess.run([*ZEL, *args], capture_output=True, text=True, timeout=timeout,
                          env=env)
