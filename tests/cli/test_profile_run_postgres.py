"""`zel profile run` as a subprocess against a real PostgreSQL warehouse."""

from __future__ import annotations

from pathlib import Path

import pytest

from tests.cli.projects import stored_rows
from tests.cli.test_profile_run import zel

pytestmark = pytest.mark.postgres

HOSTILE = 'a"b; DROP TABLE t; --'
NUMERIC = ("id", "maybe", "price")


def write_project(root: Path, postgres, schema: str) -> Path:
    (root / "models").mkdir(parents=True)
    settings = postgres.settings
    (root / "zel_project.yml").write_text(
        "name: shop\ntarget: pg\ntargets:\n"
        f"  pg: {{type: postgres, host: '{settings['host']}', port: {settings['port']}, "
        f"dbname: {settings['dbname']}, user: {settings['user']}, "
        "password: '${KOR_PG_PASSWORD}', connect_timeout: 5}\n")
    (root / "models" / "sources.yml").write_text(
        f"sources:\n  - name: raw\n    schema: {schema}\n    tables:\n"
        "      - {name: orders}\n      - {name: odd}\n      - {name: gone}\n")
    with postgres.connect() as c:
        c.execute(f'SET search_path TO "{schema}"')
        c.execute("CREATE TABLE orders AS SELECT i AS id, 'x' || (i % 3) AS status, "
                  "CASE WHEN i % 2 = 0 THEN NULL ELSE i END AS maybe, "
                  "CAST(i * 1.25 AS numeric(10,2)) AS price, "
                  "CASE WHEN i % 4 = 0 THEN '' ELSE repeat('n', i % 7) END::text AS note, "
                  "CASE WHEN i % 5 = 0 THEN NULL ELSE json_build_object('k', i % 3) END AS doc "
                  "FROM generate_series(1, 500) AS g(i)")
        c.execute(f'CREATE TABLE odd AS SELECT 1 AS "{HOSTILE.replace(chr(34), chr(34) * 2)}"')
        c.execute("CREATE TABLE t AS SELECT 1 AS keep")
    return root


def run(project: Path, postgres, *args: str):
    return zel(project, *args, env={"KOR_PG_PASSWORD": postgres.settings["password"]})


def direct_numeric(postgres, schema: str, column: str) -> tuple:
    with postgres.connect() as c:
        return c.execute(
            f"SELECT COUNT(*) - COUNT({column}), COUNT(DISTINCT {column}), "
            f"MIN({column})::float8, MAX({column})::float8, AVG({column})::float8, "
            f"STDDEV({column})::float8, "
            + ", ".join(f"PERCENTILE_CONT({p}) WITHIN GROUP (ORDER BY {column})"
                        for p in (0.25, 0.5, 0.75))
            + f' FROM "{schema}".orders').fetchone()


def direct_text(postgres, schema: str, column: str) -> tuple:
    with postgres.connect() as c:
        return c.execute(
            f"SELECT COUNT(*) - COUNT({column}), COUNT(DISTINCT {column}), "
            f"MIN(LENGTH({column})), MAX(LENGTH({column})), AVG(LENGTH({column}))::float8 "
            f'FROM "{schema}".orders').fetchone()


NUMERIC_FIELDS = ("null_count", "distinct_count", "min_value", "max_value", "mean_value",
                  "stddev_value", "p25", "p50", "p75")
TEXT_FIELDS = ("null_count", "distinct_count", "min_length", "max_length", "avg_length")


@pytest.mark.parametrize("threads", ["1", "4"])
def test_stored_metrics_equal_what_the_warehouse_computes(tmp_path, postgres, pg_schema,
                                                          threads):
    project = write_project(tmp_path, postgres, pg_schema)
    done = run(project, postgres, "--threads", threads)
    assert done.returncode == 0, done.stderr
    assert "FAIL raw.gone" in done.stdout and "OK raw.orders" in done.stdout
    rows = stored_rows(project)
    for column in NUMERIC:
        got = tuple(rows[("orders", column)][field] for field in NUMERIC_FIELDS)
        assert got == pytest.approx(direct_numeric(postgres, pg_schema, column)), column
    for column in ("status", "note"):
        got = tuple(rows[("orders", column)][field] for field in TEXT_FIELDS)
        assert got == pytest.approx(direct_text(postgres, pg_schema, column)), column
    assert rows[("orders", "id")]["row_count"] == 500
    # json has no equality, so even the basic counts fail: stored as not measured, not as 0.
    doc = rows[("orders", "doc")]
    assert [doc[field] for field in ("row_count", "null_count", "null_percent", "distinct_count",
                                     "distinct_percent")] == [500, None, None, None, None]
    assert '"PROFILE_ERROR"' in doc["alerts"]
    assert rows[("odd", HOSTILE)]["distinct_count"] == 1
    with postgres.connect() as c:
        assert c.execute(f'SELECT * FROM "{pg_schema}".t').fetchall() == [(1,)]


def test_threads_one_and_four_store_the_same_metrics(tmp_path, postgres, pg_schema):
    project = write_project(tmp_path, postgres, pg_schema)
    stores = []
    for threads in ("1", "4"):
        assert run(project, postgres, "--threads", threads, "-s", "orders").returncode == 0
        stores.append(stored_rows(project, latest=True,
                                  without=("profiled_at", "duration_ms", "run_id")))
    assert stores[0] == stores[1] and len(stores[0]) == 6


def test_select_exclude_mode_and_failure_status(tmp_path, postgres, pg_schema):
    project = write_project(tmp_path, postgres, pg_schema)
    done = run(project, postgres, "--select", "gone")
    assert done.returncode == 1 and "FAIL raw.gone" in done.stdout
    done = run(project, postgres, "-s", "source:*", "--exclude", "gone odd", "--mode", "minimal")
    assert done.returncode == 0 and "raw.odd" not in done.stdout
    rows = stored_rows(project)
    assert {table for table, _ in rows} == {"orders"}
    assert {row["profile_mode"] for row in rows.values()} == {"minimal"}


def test_bad_password_is_a_clear_project_error(tmp_path, postgres, pg_schema):
    project = write_project(tmp_path, postgres, pg_schema)
    done = zel(project, env={"KOR_PG_PASSWORD": "wrong"})
    assert done.returncode == 2 and "Traceback" not in done.stderr
    assert "password authentication failed" in done.stderr
