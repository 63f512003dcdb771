"""Sixteen threads on a table of 200 columns, repeated: same metrics as one thread, no hang."""

from __future__ import annotations

from pathlib import Path

import duckdb
import pytest

from tests.cli.projects import stored_rows
from tests.cli.test_profile_run import zel

COLUMNS = 200
ROWS = 2000
# One column expression per type, cycling; `i` runs over the rows. Frequent values never tie
# (the warehouse may order tied counts either way): the text values occur 4, 6, 22, 68, 217,
# 683 and 1,000 times.
KINDS = ["i * {n} % 97", "'v' || (LENGTH(CAST(i * i AS VARCHAR)) + {n})",
         "CAST(i AS DOUBLE PRECISION) / ({n} + 1)",
         "CASE WHEN i % ({n} % 5 + 2) = 0 THEN NULL ELSE i END", "(i + {n}) % 3 = 0"]
UNSTABLE = ("profiled_at", "duration_ms", "run_id")


def wide_select(rows_source: str) -> str:
    columns = ", ".join(f"{KINDS[n % len(KINDS)].format(n=n)} AS c{n:03d}"
                        for n in range(COLUMNS))
    return f"SELECT {columns} FROM {rows_source}"


def duckdb_project(root: Path) -> tuple[Path, dict]:
    with duckdb.connect(str(root / "wh.duckdb")) as connection:
        connection.execute("CREATE TABLE wide AS " + wide_select(f"range({ROWS}) r(i)"))
    return root, {}


def postgres_project(root: Path, request) -> tuple[Path, dict]:
    postgres = request.getfixturevalue("postgres")
    schema = request.getfixturevalue("pg_schema")
    with postgres.connect() as connection:
        connection.execute(f'CREATE TABLE "{schema}".wide AS '
                           + wide_select(f"generate_series(0, {ROWS} - 1) g(i)"))
    s = postgres.settings
    target = (f"{{type: postgres, host: '{s['host']}', port: {s['port']}, dbname: {s['dbname']},"
              f" user: {s['user']}, password: '${{KOR_PG_PASSWORD}}'}}")
    (root / "target.yml").write_text(target)
    return root, {"KOR_PG_PASSWORD": s["password"], "schema": schema}


@pytest.mark.parametrize("kind", ["duckdb", pytest.param("postgres", marks=pytest.mark.postgres)])
def test_sixteen_threads_store_what_one_thread_stores(tmp_path, request, kind):
    if kind == "duckdb":
        project, env = duckdb_project(tmp_path)
        target, schema = "{type: duckdb, path: wh.duckdb}", "main"
    else:
        project, env = postgres_project(tmp_path, request)
        target, schema = (tmp_path / "target.yml").read_text(), env.pop("schema")
    (project / "models").mkdir()
    (project / "zel_project.yml").write_text(f"name: shop\ntarget: w\ntargets:\n  w: {target}\n")
    (project / "models" / "wide.yml").write_text(
        f"sources: [{{name: raw, schema: {schema}, tables: [{{name: wide}}]}}]\n")
    runs = []
    for threads in ("1", "16", "16", "16"):
        done = zel(project, "--threads", threads, env=env)
        assert done.returncode == 0, done.stdout + done.stderr
        runs.append(stored_rows(project, latest=True, without=UNSTABLE))
    assert len(runs[0]) == COLUMNS
    assert all(run == runs[0] for run in runs[1:])
