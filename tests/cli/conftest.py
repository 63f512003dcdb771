"""A real DuckDB project profiled twice by `zel profile run`, shared read-only by CLI tests."""

from __future__ import annotations

from pathlib import Path

import duckdb
import pytest

from tests.cli.projects import run_zel, write_project

HOSTILE = "<script>alert(1)</script>"
MARKUP = "[bold red]boom[/]"
ODD_TABLE = "odd/na?me#[b]"

PROFILED_SOURCES = f"""
sources:
  - name: raw
    schema: main
    tables:
      - {{name: orders}}
      - {{name: "{ODD_TABLE}"}}
"""


@pytest.fixture(scope="session")
def profiled_project(tmp_path_factory) -> Path:
    """`raw.orders` profiled in minimal then explorative mode; one table of hostile text."""
    project = write_project(tmp_path_factory.mktemp("profiled"), PROFILED_SOURCES, [
        f'CREATE TABLE "{ODD_TABLE}" AS SELECT * FROM (VALUES '
        f"('{HOSTILE}', 1), ('{MARKUP}', 1), ('{HOSTILE}', 1)) v(\"{HOSTILE}\", \"{MARKUP}\")",
    ])
    for mode in ("minimal", "explorative"):
        done = run_zel("profile", "run", "--project-dir", str(project), "--mode", mode)
        assert done.returncode == 0, done.stdout + done.stderr
    return project


HISTORY_SOURCES = """
sources:
  - name: raw
    schema: main
    tables:
      - {name: measures}
      - {name: shrinking}
      - {name: extra}
"""


@pytest.fixture(scope="session")
def history_project(tmp_path_factory) -> Path:
    """Three runs: all tables; all again after `measures` grew a column; then only `measures`,
    grown by a row, and `shrinking`, which has been dropped (so it fails and `extra` is stale).
    `measures` lists its columns out of alphabetical order, with exact figures that rounding
    would spoil: whole numbers past 1e15, decimals with six and more digits."""
    project = write_project(tmp_path_factory.mktemp("history"), HISTORY_SOURCES, [
        "CREATE TABLE measures AS SELECT * FROM (VALUES "
        "(1000000000000001, 104949.50::DECIMAL(12,2), 'a'), "
        "(3000000000000000, 555285.16::DECIMAL(12,2), 'b'), "
        "(2000000000000000, 3000279.60::DECIMAL(12,2), 'a')) v(zeta, amount, alpha)",
        "CREATE TABLE shrinking AS SELECT range AS n FROM range(5)",
        "CREATE TABLE extra AS SELECT 1 AS one",
    ])
    changes = ["ALTER TABLE measures ADD COLUMN beta INTEGER",
               "INSERT INTO measures VALUES (4000000000000000, 38255.10, 'c', 7)",
               "DROP TABLE shrinking"]
    for selected, change in (("source:raw.*", changes[:1]), ("source:raw.*", changes[1:]),
                             ("measures shrinking", [])):
        done = run_zel("profile", "run", "--project-dir", str(project), "-s", selected)
        assert done.returncode in (0, 1), done.stdout + done.stderr
        with duckdb.connect(str(project / "wh.duckdb")) as connection:
            for sql in change:
                connection.execute(sql)
    return project
